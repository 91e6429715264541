#include "tools/zelc/zelc_rules.h"

#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <unordered_map>

namespace
{

constexpr uint32_t MATCH_ANY_VALUE = ZEL_FP_MATCH_ANY_VALUE;
constexpr uint64_t DEFAULT_CLOCK_HZ = 1000000000;

// Whitespace-separated tokens of one line, read front to back.
class tokens
{
public:
    explicit tokens(std::string_view line) : rest_(line) {}
    bool next(std::string_view *tok)
    {
        size_t b = rest_.find_first_not_of(" \t\r");
        if (b == std::string_view::npos) {
            rest_ = {};
            return false;
        }
        size_t e = rest_.find_first_of(" \t\r", b);
        *tok = rest_.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
        rest_ = e == std::string_view::npos ? std::string_view{} : rest_.substr(e);
        return true;
    }
    bool peek(std::string_view *tok) const
    {
        tokens copy = *this;
        return copy.next(tok);
    }

private:
    std::string_view rest_;
};

// Decimal, or hexadecimal with 0x.
bool parse_num(std::string_view s, uint64_t max, uint64_t *out)
{
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    uint64_t v;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size() || v > max)
        return false;
    *out = v;
    return true;
}

bool parse_u32(std::string_view s, uint32_t max, uint32_t *out)
{
    uint64_t v;
    if (!parse_num(s, max, &v))
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool parse_ipv4(std::string_view s, uint8_t addr[4])
{
    char buf[INET_ADDRSTRLEN];
    if (s.size() >= sizeof buf)
        return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = 0;
    return inet_pton(AF_INET, buf, addr) == 1;
}

uint32_t addr_value(const uint8_t a[4])
{
    return uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
}

// "A.B.C.D/LEN" (or "A.B.C.D" for /32 when allowed) as a prefix condition.
bool parse_prefix(std::string_view s, uint32_t field, bool len_optional, zelc_cond *c)
{
    size_t slash = s.find('/');
    c->field = field;
    c->prefix = true;
    if (!parse_ipv4(s.substr(0, slash), c->addr))
        return false;
    c->len = 32;
    if (slash == std::string_view::npos ? !len_optional : !parse_u32(s.substr(slash + 1), 32, &c->len))
        return false;
    uint32_t span = c->len == 0 ? 0xFFFFFFFFu : (uint32_t{1} << (32 - c->len)) - 1;
    c->lo = addr_value(c->addr) & ~span;
    c->hi = c->lo | span;
    return true;
}

std::string quoted(std::string_view tok, bool have)
{
    return have ? "'" + std::string(tok) + "'" : std::string("end of line");
}

int expected(std::string *what, const char *thing, std::string_view tok, bool have)
{
    *what = std::string("expected ") + thing + ", got " + quoted(tok, have);
    return 22;
}

std::unique_ptr<zel_action_data> zeroed_action()
{
    auto a = std::make_unique<zel_action_data>();
    std::memset(a.get(), 0, sizeof *a);
    return a;
}

// ClassBench rules count and reject unmatched packets.
std::unique_ptr<zel_action_data> count_action(const std::string &name)
{
    zel_action_spec s;
    s.code = s.param_type = ZEL_ACT_COUNT;
    s.name = name.c_str();
    auto a = zeroed_action();
    zel_compile_sequence_actions({&s, 1}, DEFAULT_CLOCK_HZ, a.get());
    return a;
}

std::unique_ptr<zel_action_data> default_action(uint32_t code, uint32_t type, uint8_t sla, bool strict, uint32_t color)
{
    auto a = zeroed_action();
    zel_default_action(code, type, sla, strict, color, a.get());
    return a;
}

// ----------------------------------------------------------------------------------------------------
// Native format.

struct field_word {
    const char *word;
    uint32_t field;
};
constexpr field_word FIELD_WORDS[] = {
    {"protocol", ZEL_CF_PROTOCOL},
    {"src-port", ZEL_CF_SRC_PORT},
    {"dst-port", ZEL_CF_DST_PORT},
    {"src-addr", ZEL_CF_SRC_ADDR},
    {"dst-addr", ZEL_CF_DST_ADDR},
    {"dscp", ZEL_CF_DSCP},
    {"fc", ZEL_CF_FC},
    {"tcp", ZEL_CF_TCP},
    {"pkt-len", ZEL_CF_PKT_LEN},
    {"app", ZEL_CF_APP},
    {"app-family", ZEL_CF_APP_FAMILY},
    {"match-any", ZEL_CF_MATCH_ANY},
    {"traffic-class", ZEL_CF_TRAFFIC_CLASS},
    {"next-header", ZEL_CF_NEXT_HEADER},
    {"plp", ZEL_CF_PLP},
};

// Action words and the arguments each takes.
struct action_word {
    const char *word;
    uint32_t code;
    bool params;  // whether the slot carries parameters
    const char *args;
};
constexpr action_word ACTION_WORDS[] = {
    {"reject", ZEL_ACT_REJECT, false, ""},
    {"accept", ZEL_ACT_ACCEPT, false, ""},
    {"set-tloc", ZEL_ACT_SET_TLOC, true, "TLOC-INDEX VPN-LABEL up|down"},
    {"set-tloc-color-encap", ZEL_ACT_SET_TLOC_COLOR_ENCAP, true, "COLOR ENCAP"},
    {"mirror", ZEL_ACT_MIRROR, true, "VALUE SRC-ADDR DST-ADDR"},
    {"cflowd", ZEL_ACT_CFLOWD, true, ""},
    {"police", ZEL_ACT_POLICE, true, "NAME RATE-BPS BURST-BYTES drop|plp-high"},
    {"count", ZEL_ACT_COUNT, true, "NAME"},
    {"set-fc", ZEL_ACT_SET_FC, true, "VALUE"},
    {"set-next-hop", ZEL_ACT_SET_NEXT_HOP, true, "ADDRESS"},
    {"set-nat-use-vpn", ZEL_ACT_SET_NAT_USE_VPN, true, "VRF-ID"},
    {"sla-class", ZEL_ACT_SLA_CLASS, true, "INDEX PREFERRED-COLOR [strict]"},
    {"tloc-list", ZEL_ACT_TLOC_LIST, true, "INDEX:LABEL:PREFERENCE:WEIGHT[,...]"},
    {"set-dscp", ZEL_ACT_SET_DSCP, true, "VALUE"},
    {"set-svc-type", ZEL_ACT_SET_SVC_TYPE, true, "VALUE"},
    {"set-nat-pool", ZEL_ACT_SET_NAT_POOL, true, "VALUE"},
    {"log", ZEL_ACT_LOG, true, ""},
    {"set-svc-local", ZEL_ACT_SET_SVC_LOCAL, true, ""},
    {"set-svc-local-strict", ZEL_ACT_SET_SVC_LOCAL_STRICT, true, ""},
    {"set-backup-preferred-color", ZEL_ACT_SET_BACKUP_PREF_COLOR, true, "COLOR"},
    {"set-traffic-class", ZEL_ACT_SET_TRAFFIC_CLASS, true, "VALUE"},
    {"set-local-tloc-list", ZEL_ACT_SET_LOCAL_TLOC_LIST, true, "COLOR-MASK ENCAP-MASK yes|no"},
    {"tcp-optimization", ZEL_ACT_TCP_OPT, true, ""},
};

bool parse_addr_record(std::string_view s, zel_addr_record *rec)
{
    char buf[INET6_ADDRSTRLEN];
    if (s.size() >= sizeof buf)
        return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = 0;
    *rec = {};
    uint8_t v4[4];
    if (inet_pton(AF_INET, buf, v4) == 1) {
        uint32_t host = addr_value(v4);
        std::memcpy(rec->addr, &host, 4);
        rec->family = 1;
        return true;
    }
    rec->family = 2;
    return inet_pton(AF_INET6, buf, rec->addr) == 1;
}

// Storage the action specs point into while one line is encoded.
struct action_line {
    std::vector<zel_action_spec> specs;
    std::vector<std::string> names;
    std::vector<std::vector<zel_tloc_choice>> tlocs;
};

int parse_tloc_list(std::string_view s, std::vector<zel_tloc_choice> *out)
{
    while (!s.empty()) {
        size_t comma = s.find(',');
        std::string_view item = s.substr(0, comma);
        s = comma == std::string_view::npos ? std::string_view{} : s.substr(comma + 1);
        uint32_t v[4];
        for (int k = 0; k < 4; k++) {
            size_t colon = item.find(':');
            if ((colon == std::string_view::npos) != (k == 3) || !parse_u32(item.substr(0, colon), 0xFFFFFFFF, &v[k]))
                return 22;
            item = colon == std::string_view::npos ? std::string_view{} : item.substr(colon + 1);
        }
        out->push_back({v[1], v[2], v[0], v[3], true, true});
    }
    return out->empty() ? 22 : 0;
}

// One action with its arguments; *tok is the action word.
int parse_action(tokens &in, std::string_view word, uint32_t seq, action_line *line, std::string *what)
{
    const action_word *aw = nullptr;
    for (const action_word &a : ACTION_WORDS)
        if (word == a.word)
            aw = &a;
    if (!aw)
        return expected(what, "an action (accept, reject, count NAME, ...)", word, true);
    zel_action_spec s;
    s.code = aw->code;
    s.param_type = aw->params ? aw->code : 0;
    s.seq = static_cast<int32_t>(seq);
    std::string_view a[4];
    int nargs = 0;
    for (const char *p = aw->args; *p; p++)
        nargs += *p == ' ' || p == aw->args;
    if (s.code == ZEL_ACT_SLA_CLASS)
        nargs = 2;
    std::string thing = std::string("arguments '") + aw->args + "' of " + aw->word;
    for (int k = 0; k < nargs; k++)
        if (!in.next(&a[k]))
            return expected(what, thing.c_str(), {}, false);
    bool ok = true;
    uint32_t u = 0, u2 = 0;
    uint64_t big = 0, big2 = 0;
    switch (s.code) {
    case ZEL_ACT_SET_TLOC:
        ok = parse_u32(a[0], 0xFFFFFFFF, &s.tloc_index) && parse_u32(a[1], 0xFFFFFFFF, &s.vpn_label) &&
             (a[2] == "up" || a[2] == "down");
        s.tloc_resolved = a[2] == "up";
        break;
    case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
        ok = parse_u32(a[0], 0xFFFFFFFF, &s.color) && parse_u32(a[1], 0xFFFFFFFF, &s.encap);
        break;
    case ZEL_ACT_MIRROR:
        ok = parse_u32(a[0], 0xFFFFFFFF, &s.mirror_value) && parse_addr_record(a[1], &s.mirror_src) &&
             parse_addr_record(a[2], &s.mirror_dst);
        break;
    case ZEL_ACT_POLICE:
        ok = parse_num(a[1], UINT64_MAX, &big) && big > 0 && parse_num(a[2], UINT64_MAX, &big2) &&
             (a[3] == "drop" || a[3] == "plp-high");
        s.rate_bps = big;
        s.burst_bytes = big2;
        s.exceed = a[3] == "plp-high";
        [[fallthrough]];
    case ZEL_ACT_COUNT:
        ok = ok && a[0].size() < ZEL_ACTION_NAME_LEN;
        line->names.emplace_back(a[0]);
        break;
    case ZEL_ACT_SET_FC:
        ok = parse_u32(a[0], 0x7FFFFFFF, &u);
        s.value = u;
        break;
    case ZEL_ACT_SET_NEXT_HOP:
        ok = parse_addr_record(a[0], &s.next_hop);
        break;
    case ZEL_ACT_SET_NAT_USE_VPN:
        ok = parse_u32(a[0], 0xFFFF, &u);
        s.vrf_id = static_cast<uint16_t>(u);
        break;
    case ZEL_ACT_SLA_CLASS: {
        ok = parse_u32(a[0], 0xFF, &u) && parse_u32(a[1], 0xFFFFFFFF, &s.color);
        s.sla_index = static_cast<uint8_t>(u);
        std::string_view strict;
        if (in.peek(&strict) && strict == "strict") {
            in.next(&strict);
            s.strict = true;
        }
        break;
    }
    case ZEL_ACT_TLOC_LIST:
        line->tlocs.emplace_back();
        ok = parse_tloc_list(a[0], &line->tlocs.back()) == 0;
        break;
    case ZEL_ACT_SET_DSCP:
    case ZEL_ACT_SET_SVC_TYPE:
    case ZEL_ACT_SET_TRAFFIC_CLASS:
        ok = parse_u32(a[0], 0xFF, &u);
        s.value = u;
        break;
    case ZEL_ACT_SET_NAT_POOL:
    case ZEL_ACT_SET_BACKUP_PREF_COLOR:
        ok = parse_u32(a[0], 0xFFFFFFFF, &u);
        s.value = u;
        break;
    case ZEL_ACT_SET_LOCAL_TLOC_LIST:
        ok = parse_u32(a[0], 0xFFFFFFFF, &u) && parse_u32(a[1], 0xFFFFFFFF, &u2) && (a[2] == "yes" || a[2] == "no");
        s.color = u;
        s.encap = u2;
        s.restrict_ = a[2] == "yes";
        break;
    default:
        break;
    }
    if (!ok) {
        std::string got;
        for (int k = 0; k < nargs; k++)
            got += (k ? " " : "") + std::string(a[k]);
        return expected(what, thing.c_str(), got, true);
    }
    line->specs.push_back(s);
    return 0;
}

// Names and lists are bound only once every action of the line is parsed:
// the vectors may move while they grow.
int encode_actions(action_line *line, uint64_t clock_hz, std::unique_ptr<zel_action_data> *out, std::string *what)
{
    size_t name = 0, tl = 0;
    for (zel_action_spec &s : line->specs) {
        if (s.code == ZEL_ACT_POLICE || s.code == ZEL_ACT_COUNT)
            s.name = line->names[name++].c_str();
        if (s.code == ZEL_ACT_TLOC_LIST)
            s.tlocs = line->tlocs[tl++];
    }
    *out = zeroed_action();
    if (zel_compile_sequence_actions(line->specs, clock_hz, out->get()) != 0) {
        *what = "expected at most " + std::to_string(MAX_ACTIONS_IN_RULE) + " actions, got " +
                std::to_string(line->specs.size());
        return 22;
    }
    return 0;
}

// FIELD VALUE[,VALUE...]; a value is N, N-M, or for addresses A.B.C.D[/LEN].
int parse_match(uint32_t field, std::string_view list, zelc_rule *r, std::string *what)
{
    uint32_t max = zel_cfield_max_value(field);
    bool addr = field == ZEL_CF_SRC_ADDR || field == ZEL_CF_DST_ADDR;
    std::string thing = addr ? "address prefixes 'A.B.C.D[/LEN][,...]'"
                             : "values 'N' or 'N-M' up to " + std::to_string(max) + ", comma-separated";
    std::string_view all = list;
    do {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        zelc_cond c{field, 0, 0};
        if (addr) {
            if (!parse_prefix(item, field, true, &c))
                return expected(what, thing.c_str(), all, true);
        } else {
            size_t dash = item.find('-');
            if (!parse_u32(item.substr(0, dash), max, &c.lo) ||
                !parse_u32(dash == std::string_view::npos ? item : item.substr(dash + 1), max, &c.hi) || c.lo > c.hi)
                return expected(what, thing.c_str(), all, true);
        }
        r->conds.push_back(c);
    } while (!list.empty());
    return 0;
}

struct native_state {
    uint64_t clock_hz = DEFAULT_CLOCK_HZ;
    bool named = false;
    bool has_default = false;
};

int parse_native_line(std::string_view line, uint32_t number, native_state *st, zelc_ruleset *rs, std::string *what)
{
    if (size_t hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    tokens in(line);
    std::string_view kw, tok;
    if (!in.next(&kw))
        return 0;
    if (kw == "name") {
        if (!in.next(&tok) || tok.size() > 127)
            return expected(what, "a policy name of at most 127 characters", tok, !tok.empty());
        rs->name = tok;
        st->named = true;
    } else if (kw == "clock") {
        if (!in.next(&tok) || !parse_num(tok, UINT64_MAX, &st->clock_hz) || st->clock_hz == 0)
            return expected(what, "a clock rate in Hz", tok, !tok.empty());
    } else if (kw == "default") {
        if (!in.next(&tok))
            return expected(what, "a default action", tok, false);
        const action_word *aw = nullptr;
        for (const action_word &a : ACTION_WORDS)
            if (tok == a.word)
                aw = &a;
        if (!aw)
            return expected(what, "a default action", tok, true);
        uint32_t sla = 0, color = 0;
        bool strict = false;
        std::string_view a1, a2;
        if (aw->code == ZEL_ACT_SLA_CLASS) {
            if (!in.next(&a1) || !parse_u32(a1, 0xFF, &sla) || !in.next(&a2) || !parse_u32(a2, 0xFFFFFFFF, &color))
                return expected(what, "'sla-class INDEX PREFERRED-COLOR [strict]'", a1, !a1.empty());
            strict = in.peek(&tok) && tok == "strict" && in.next(&tok);
        }
        rs->default_action =
            default_action(aw->code, aw->params ? aw->code : 0, static_cast<uint8_t>(sla), strict, color);
        st->has_default = true;
    } else if (kw == "rule") {
        zelc_rule r;
        uint32_t seq;
        if (!in.next(&tok) || !parse_u32(tok, 0x7FFFFFFF, &seq))
            return expected(what, "a sequence number after 'rule'", tok, !tok.empty());
        r.name = tok;
        r.line = number;
        action_line actions;
        bool in_actions = false;
        while (in.next(&tok)) {
            if (!in_actions && tok == "action") {
                in_actions = true;
                continue;
            }
            if (in_actions) {
                if (int rc = parse_action(in, tok, seq, &actions, what))
                    return rc;
                continue;
            }
            const field_word *fw = nullptr;
            for (const field_word &f : FIELD_WORDS)
                if (tok == f.word)
                    fw = &f;
            if (!fw)
                return expected(what, "a match field (protocol, src-addr, ...) or 'action'", tok, true);
            std::string_view values;
            if (!in.next(&values))
                return expected(what, (std::string("values of ") + fw->word).c_str(), {}, false);
            if (int rc = parse_match(fw->field, values, &r, what))
                return rc;
        }
        if (int rc = encode_actions(&actions, st->clock_hz, &r.action, what))
            return rc;
        rs->rules.push_back(std::move(r));
    } else {
        return expected(what, "'rule', 'default', 'name' or 'clock'", kw, true);
    }
    if (in.next(&tok))
        return expected(what, "end of line", tok, true);
    return 0;
}

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string b = slash == std::string::npos ? path : path.substr(slash + 1);
    return b.substr(0, 127);
}

int read_file(const std::string &path, std::string *text, std::string *err)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *err = path + ": cannot open: " + std::strerror(errno);
        return 2;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    *text = ss.str();
    return 0;
}

// Calls fn(line, number) for every line; stops at the first non-zero result.
template <typename Fn>
int for_each_line(std::string_view text, Fn fn)
{
    uint32_t number = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (int rc = fn(line, ++number))
            return rc;
    }
    return 0;
}

bool blank(std::string_view line) { return line.find_first_not_of(" \t\r") == std::string_view::npos; }

}  // namespace

int zelc_parse_classbench_rule(std::string_view line, uint32_t number, zelc_rule *out, std::string *what)
{
    tokens in(line);
    std::string_view tok;
    zelc_rule r;
    r.name = std::to_string(number);
    r.line = number;
    zelc_cond c{};
    bool have = in.next(&tok);
    if (!have || tok[0] != '@' || !parse_prefix(tok.substr(1), ZEL_CF_SRC_ADDR, false, &c))
        return expected(what, "source prefix '@A.B.C.D/LEN'", tok, have);
    if (c.len != 0)
        r.conds.push_back(c);
    have = in.next(&tok);
    if (!have || !parse_prefix(tok, ZEL_CF_DST_ADDR, false, &c))
        return expected(what, "destination prefix 'A.B.C.D/LEN'", tok, have);
    if (c.len != 0)
        r.conds.push_back(c);
    for (uint32_t field : {ZEL_CF_SRC_PORT, ZEL_CF_DST_PORT}) {
        const char *thing = field == ZEL_CF_SRC_PORT ? "source port range 'LOW : HIGH' within 0 ... 65535"
                                                     : "destination port range 'LOW : HIGH' within 0 ... 65535";
        // "LOW : HIGH", also accepted without the blanks.
        std::string range;
        for (int k = 0; k < 3 && in.next(&tok); k++) {
            range += (k ? " " : "") + std::string(tok);
            size_t colon = range.find(':');
            if (colon != std::string::npos && colon + 1 < range.size())
                break;
        }
        size_t colon = range.find(':');
        auto side = [&](size_t b, size_t e) {
            std::string_view s = std::string_view(range).substr(b, e - b);
            size_t f = s.find_first_not_of(' '), l = s.find_last_not_of(' ');
            return f == std::string_view::npos ? std::string_view{} : s.substr(f, l - f + 1);
        };
        zelc_cond p{field, 0, 0};
        if (colon == std::string::npos || !parse_u32(side(0, colon), 65535, &p.lo) ||
            !parse_u32(side(colon + 1, range.size()), 65535, &p.hi) || p.lo > p.hi)
            return expected(what, thing, range, !range.empty());
        if (p.lo != 0 || p.hi != 65535)
            r.conds.push_back(p);
    }
    have = in.next(&tok);
    size_t slash = have ? tok.find('/') : std::string_view::npos;
    uint32_t proto, mask;
    if (slash == std::string_view::npos || !parse_u32(tok.substr(0, slash), 0xFF, &proto) ||
        !parse_u32(tok.substr(slash + 1), 0xFF, &mask) || (mask != 0 && mask != 0xFF))
        return expected(what, "protocol 'VALUE/MASK' with mask 0xFF or 0x00", tok, have);
    if (mask == 0xFF)
        r.conds.push_back({ZEL_CF_PROTOCOL, proto, proto});
    if (in.next(&tok)) {
        slash = tok.find('/');
        uint32_t flags;
        if (slash == std::string_view::npos || !parse_u32(tok.substr(0, slash), 0xFFFF, &flags) ||
            !parse_u32(tok.substr(slash + 1), 0xFFFF, &flags))
            return expected(what, "TCP flags 'VALUE/MASK' or end of line", tok, true);
        if (in.next(&tok))
            return expected(what, "end of line", tok, true);
    }
    r.action = count_action(r.name);
    *out = std::move(r);
    return 0;
}

int zelc_parse_trace_line(std::string_view line, zelc_packet *out, std::string *what)
{
    static constexpr struct {
        uint32_t field;
        uint32_t max;
        const char *thing;
    } COLUMNS[] = {
        {ZEL_CF_SRC_ADDR, 0xFFFFFFFF, "source address (decimal 0 ... 4294967295)"},
        {ZEL_CF_DST_ADDR, 0xFFFFFFFF, "destination address (decimal 0 ... 4294967295)"},
        {ZEL_CF_SRC_PORT, 65535, "source port (0 ... 65535)"},
        {ZEL_CF_DST_PORT, 65535, "destination port (0 ... 65535)"},
        {ZEL_CF_PROTOCOL, 255, "protocol (0 ... 255)"},
    };
    tokens in(line);
    zelc_packet p;
    p.v[ZEL_CF_MATCH_ANY] = MATCH_ANY_VALUE;
    for (const auto &col : COLUMNS) {
        std::string_view tok;
        bool have = in.next(&tok);
        uint64_t v;
        if (!have || tok.starts_with("0x") || !parse_num(tok, col.max, &v))
            return expected(what, col.thing, tok, have);
        p.v[col.field] = static_cast<uint32_t>(v);
    }
    *out = p;
    return 0;
}

int zelc_read_rules_text(std::string_view text, const std::string &path, zelc_format fmt, zelc_ruleset *out,
                         std::string *err)
{
    zelc_ruleset rs;
    rs.name = base_name(path);
    native_state st;
    std::string what;
    int rc = for_each_line(text, [&](std::string_view line, uint32_t number) {
        int r = 0;
        if (fmt == zelc_format::native) {
            r = parse_native_line(line, number, &st, &rs, &what);
        } else if (!blank(line)) {
            zelc_rule rule;
            r = zelc_parse_classbench_rule(line, static_cast<uint32_t>(rs.rules.size() + 1), &rule, &what);
            rule.line = number;
            if (r == 0)
                rs.rules.push_back(std::move(rule));
        }
        if (r)
            *err = path + ":" + std::to_string(number) + ": " + what;
        return r;
    });
    if (rc)
        return rc;
    if (!rs.default_action)
        rs.default_action = default_action(ZEL_ACT_REJECT, 0, 0, false, 0);
    *out = std::move(rs);
    return 0;
}

int zelc_read_rules(const std::string &path, zelc_format fmt, zelc_ruleset *out, std::string *err)
{
    std::string text;
    if (int rc = read_file(path, &text, err))
        return rc;
    return zelc_read_rules_text(text, path, fmt, out, err);
}

int zelc_read_trace_text(std::string_view text, const std::string &path, std::vector<zelc_packet> *out,
                         std::string *err)
{
    std::vector<zelc_packet> pkts;
    std::string what;
    int rc = for_each_line(text, [&](std::string_view line, uint32_t number) {
        if (blank(line))
            return 0;
        zelc_packet p;
        if (int r = zelc_parse_trace_line(line, &p, &what)) {
            *err = path + ":" + std::to_string(number) + ": " + what;
            return r;
        }
        pkts.push_back(p);
        return 0;
    });
    if (rc == 0)
        *out = std::move(pkts);
    return rc;
}

int zelc_read_trace(const std::string &path, std::vector<zelc_packet> *out, std::string *err)
{
    std::string text;
    if (int rc = read_file(path, &text, err))
        return rc;
    return zelc_read_trace_text(text, path, out, err);
}

std::string zelc_trace_line(const zelc_packet &p, uint32_t filter)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "%u\t%u\t%u\t%u\t%u\t0\t%u", p.v[ZEL_CF_SRC_ADDR], p.v[ZEL_CF_DST_ADDR],
                  p.v[ZEL_CF_SRC_PORT], p.v[ZEL_CF_DST_PORT], p.v[ZEL_CF_PROTOCOL], filter);
    return buf;
}

uint32_t zelc_linear_match(const zelc_ruleset &rs, const zelc_packet &p)
{
    if (p.v[ZEL_CF_MATCH_ANY] != MATCH_ANY_VALUE)
        return 0;
    for (size_t i = 0; i < rs.rules.size(); i++) {
        uint32_t constrained = 0, matched = 0;
        for (const zelc_cond &c : rs.rules[i].conds) {
            constrained |= 1u << c.field;
            if (c.lo <= p.v[c.field] && p.v[c.field] <= c.hi)
                matched |= 1u << c.field;
        }
        if (constrained == matched)
            return static_cast<uint32_t>(i + 1);
    }
    return 0;
}

std::vector<zelc_packet> zelc_generate_packets(const zelc_ruleset &rs, uint32_t random_count, uint32_t seed)
{
    std::mt19937 rng(seed);
    auto uniform = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    auto random_packet = [&] {
        zelc_packet p;
        for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
            p.v[f] = uniform(0, zel_cfield_max_value(f));
        p.v[ZEL_CF_MATCH_ANY] = MATCH_ANY_VALUE;
        return p;
    };
    std::vector<zelc_packet> out;
    for (const zelc_rule &r : rs.rules) {
        for (int corner = 0; corner < 3; corner++) {
            zelc_packet p = random_packet();
            uint32_t seen = 0;
            for (const zelc_cond &c : r.conds) {
                if (seen & (1u << c.field))
                    continue;
                seen |= 1u << c.field;
                p.v[c.field] = corner == 0 ? c.lo : corner == 1 ? c.hi : uniform(c.lo, c.hi);
            }
            out.push_back(p);
        }
    }
    for (uint32_t i = 0; i < random_count; i++)
        out.push_back(random_packet());
    return out;
}

zelc_session::zelc_session(uint32_t blocks) : heap_(zel_prog_heap_new(blocks, 1), zel_prog_heap_delete)
{
    const program_allocator program_memory = heap_ ? zel_prog_heap_allocator(heap_.get()) : program_allocator{};
    ctx_ = heap_ ? zel_compile_context_new(&program_memory) : nullptr;
}

zelc_session::~zelc_session()
{
    if (ctx_)
        zel_program_free(&ctx_->program_memory, image_);
    zel_compile_context_free(ctx_);
}

int zelc_session::compile(const zelc_ruleset &rs, zelc_compiled *out)
{
    *out = {};
    if (ctx_) {
        zel_program_free(&ctx_->program_memory, image_);
        image_ = nullptr;
    }
    rule_table *rt =
        ctx_ ? zel_rule_table_create(rs.name.c_str(), "1", ZEL_ACTION_DATA_SIZE, rs.default_action.get()) : nullptr;
    int rc = rt ? 0 : 12;
    for (size_t i = 0; rc == 0 && i < rs.rules.size(); i++) {
        const zelc_rule &zr = rs.rules[i];
        rule *r = zel_rule_add(rt, zr.name.c_str());
        if (!r || !zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, zr.action.get())) {
            rc = 12;
            break;
        }
        rc = zel_rule_add_range(ctx_, r, ZEL_CF_MATCH_ANY, MATCH_ANY_VALUE, MATCH_ANY_VALUE);
        for (const zelc_cond &c : zr.conds) {
            if (rc)
                break;
            rc = c.prefix ? zel_rule_add_prefix(ctx_, r, c.field, c.addr, c.len)
                          : zel_rule_add_range(ctx_, r, c.field, c.lo, c.hi);
        }
    }
    if (rc == 12)
        out->no_memory = ZEL_NO_MEMORY_COMPILER;
    if (rc == 0) {
        auto t0 = std::chrono::steady_clock::now();
        const double c0 = zelc_thread_cpu_seconds(), p0 = zelc_process_cpu_seconds();
        rc = zel_compile(ctx_, rt, &image_, &out->size);
        out->process_cpu_seconds = zelc_process_cpu_seconds() - p0;
        out->cpu_seconds = zelc_thread_cpu_seconds() - c0;
        out->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        out->no_memory = zel_compile_no_memory(ctx_);
        if (rc == 0 && image_) {
            auto *h = static_cast<const zel_image_header *>(image_);
            out->image = {static_cast<const uint8_t *>(image_), out->size};
            out->memory = heap_;
            out->leaf_tables = h->field_map_count;
            out->combined_tables = h->dir_count - 1 - h->field_map_count;
            out->root_classes = zel_image_dir(image_)[h->dir_count - 1].count;
        } else if (rc == 0) {
            rc = 2;  // no rule, nothing to compile
        }
    }
    if (ctx_)
        zel_compile_context_reset(ctx_);
    zel_rule_table_free(rt);
    return rc;
}

int zelc_compile(const zelc_ruleset &rs, uint32_t blocks, zelc_compiled *out)
{
    // The image stays in the session's program memory, which the result shares.
    zelc_session session(blocks);
    const int rc = session.compile(rs, out);
    if (rc == 0)
        session.keep_image();
    return rc;
}

int zelc_classifier::load(const zelc_ruleset &rs, std::span<const uint8_t> image, std::string *err)
{
    rule_of_.clear();
    if (prog_.load(image) != 0) {
        *err = "malformed image: " + prog_.error();
        return 22;
    }
    std::unordered_map<std::string_view, uint32_t> by_action;
    for (size_t i = rs.rules.size(); i-- > 0;)
        by_action[std::string_view(reinterpret_cast<const char *>(rs.rules[i].action.get()), ZEL_ACTION_DATA_SIZE)] =
            static_cast<uint32_t>(i + 1);
    for (uint32_t c = 0; c < prog_.action_count(); c++) {
        std::span<const uint8_t> b = prog_.action(c);
        uint32_t flags, len;
        std::memcpy(&flags, b.data(), 4);
        std::memcpy(&len, b.data() + 4, 4);
        if (flags & ZEL_ACTION_FLAG_DEFAULT) {
            rule_of_.push_back(0);
            continue;
        }
        auto it =
            len == ZEL_ACTION_BLOCK_SIZE
                ? by_action.find(std::string_view(reinterpret_cast<const char *>(b.data() + 8), ZEL_ACTION_DATA_SIZE))
                : by_action.end();
        if (it == by_action.end()) {
            *err = "action block " + std::to_string(c) + " belongs to no rule";
            return 22;
        }
        rule_of_.push_back(it->second);
    }
    return 0;
}

long zelc_rss_kib()
{
    long pages = 0, rss = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2)
            rss = 0;
        std::fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

double zelc_process_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double zelc_thread_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long zelc_peak_kib()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
