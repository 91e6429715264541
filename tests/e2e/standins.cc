#include "standins.h"
#include "test_dirs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "cfgd_harness.h"

namespace e2e
{

using namespace std::chrono_literals;

std::string addr_text(uint32_t a)
{
    char b[16];
    snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    return b;
}

std::string Prefix::text() const { return addr_text(addr) + "/" + std::to_string(len); }

Generated::Generated(uint32_t seed, Kind kind) : rng_(seed), kind_(kind)
{
    for (uint32_t n = 0; n < (kind == compact ? 4u : 8u); n++) {
        pool_.push_back({0x0A000000u | n << 16, 16});
        pool_.push_back({0x0A000000u | n << 16 | (n + 1) << 8, 24});
        if (kind != compact)
            pool_.push_back({0xC0A80000u | n << 8, 24});
    }
    for (int l = 0; kind != compact && l < 4; l++)
        lists.push_back(two());
}

uint32_t Generated::uni(size_t n)
{
    return static_cast<uint32_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng_));
}

std::vector<Prefix> Generated::two()
{
    const Prefix a = pick(), b = pick();
    return a.addr == b.addr ? std::vector<Prefix>{a} : std::vector<Prefix>{a, b};
}

// DSCP values, or traffic classes, that sequences name (the first four) and one more.
static uint32_t tos_value(bool v6, uint32_t i)
{
    constexpr uint32_t dscp[] = {0, 10, 46, 48, 8}, tclass[] = {0, 16, 40, 184, 255};
    return v6 ? tclass[i] : dscp[i];
}

GenSequence Generated::sequence(int num)
{
    // A data policy's program over every field would not fit: its sequences leave some out.
    const bool small = kind_ == compact, all = kind_ != data;
    GenSequence s;
    s.num = num;
    auto side = [&](std::vector<Prefix> &prefixes, int &list) {
        if (const uint32_t k = uni(4); k == 0 || (small && k == 1))
            prefixes = small ? std::vector<Prefix>{pick()} : two();
        else if (k == 1)
            list = static_cast<int>(uni(lists.size()));
    };
    // One or two ranges of distinct lows (a leaf-list holds each value once); compact ports have few
    // distinct boundaries, which keeps the program's tables small.
    auto ranges = [&](std::vector<Range> &out, uint32_t base, uint32_t span, uint32_t width) {
        if (small && base == 0) {
            const uint32_t lo = 500 * uni(5);
            out = {{lo, lo + (uni(2) ? 99 : 999)}};
            return;
        }
        for (uint32_t n = small ? 1 : 1 + uni(2); n > 0; n--)
            if (const uint32_t lo = base + uni(span); out.empty() || out[0].lo != lo)
                out.push_back({lo, lo + (uni(4) ? uni(width) : 0)});
    };
    const uint32_t icmp = v6() ? 58 : 1;
    const std::vector<Range> protos[] = {{{6, 6}}, {{17, 17}}, {{6, 6}, {17, 17}}, {}, {{icmp, icmp}}};
    do {
        if (!v6()) {
            side(s.src, s.src_list);
            side(s.dst, s.dst_list);
        }
        s.proto = protos[uni(small ? 4 : 5)];
        if (all && uni(small ? 6 : 4) == 0)
            ranges(s.sport, 0, 2000, 600);
        if (uni(2))
            ranges(s.dport, 0, 2000, 600);
        if (all && uni(small ? 8 : 3) == 0) {
            if (small)
                s.len = {uni(2) ? Range{64, 511} : Range{512, 1500}};
            else
                ranges(s.len, 40, 1200, 500);
        }
        if (all && uni(small ? 3 : 4) == 0)
            for (uint32_t n = small ? 1 : 1 + uni(2); n > 0; n--)
                if (const uint32_t t = tos_value(v6(), uni(4)); s.tos.empty() || s.tos[0].lo != t)
                    s.tos.push_back({t, t});
        s.syn = kind_ >= acl4 && uni(6) == 0;
    } while (small && s.src.empty() && s.dst.empty() && s.proto.empty() && s.dport.empty() && s.sport.empty() &&
             s.tos.empty() && s.len.empty());
    s.drop = uni(2) == 0;
    return s;
}

std::vector<GenSequence> Generated::sequences(int n, int step)
{
    std::set<int> nums;
    while (static_cast<int>(nums.size()) < n)
        nums.insert(step * (1 + static_cast<int>(uni(65535 / step))));
    std::vector<GenSequence> seqs;
    for (int num : nums)
        seqs.push_back(sequence(num));
    std::shuffle(seqs.begin(), seqs.end(), rng_);
    return seqs;
}

std::vector<GenPacket> Generated::packets(size_t n)
{
    auto addr = [&] {
        const Prefix p = pick();
        return uni(6) ? p.addr | (static_cast<uint32_t>(rng_()) & (0xFFFFFFFFu >> p.len))
                      : static_cast<uint32_t>(rng_());
    };
    const uint32_t protos[] = {6, 17, v6() ? 58u : 1u}, flags[] = {0x02, 0x12, 0x10, 0x18};
    std::vector<GenPacket> out(n);
    for (GenPacket &p : out) {
        p.proto = protos[uni(3)];
        if (!v6())
            p.src = addr(), p.dst = addr();
        if (p.proto != protos[2])
            p.sport = uni(2600), p.dport = uni(2600);
        if (p.proto == 6)
            p.flags = flags[uni(4)];
        const uint32_t head = (v6() ? 40 : 20) + (p.proto == 6 ? 20 : 8);
        p.len = head + uni(1500 - head);
        const uint32_t t = uni(3) ? tos_value(v6(), uni(5)) : uni(v6() ? 256 : 64);
        p.tos = v6() ? t : t << 2;
    }
    return out;
}

const GenSequence *Generated::first_match(const std::vector<GenSequence> &seqs, const GenPacket &p) const
{
    auto in = [](const std::vector<Range> &rs, uint32_t v) {
        return rs.empty() || std::any_of(rs.begin(), rs.end(), [v](const Range &r) { return r.has(v); });
    };
    auto side = [&](const std::vector<Prefix> &prefixes, int list, uint32_t a) {
        const auto &alts = list >= 0 ? lists[list] : prefixes;
        return (list < 0 && prefixes.empty()) ||
               std::any_of(alts.begin(), alts.end(), [a](const Prefix &x) { return x.covers(a); });
    };
    const GenSequence *first = nullptr;
    for (const GenSequence &s : seqs)
        if ((!first || s.num < first->num) && side(s.src, s.src_list, p.src) && side(s.dst, s.dst_list, p.dst) &&
            in(s.proto, p.proto) && in(s.sport, p.sport) && in(s.dport, p.dport) &&
            in(s.tos, v6() ? p.tos : p.tos >> 2) && in(s.len, p.len) && (!s.syn || (p.proto == 6 && p.flags == 0x02)))
            first = &s;
    return first;
}

std::string Generated::sequence_json(const GenSequence &s) const
{
    std::string o = R"({"number":)" + std::to_string(s.num) + R"(,"match":{)";
    auto leaf = [&](const char *name, const std::string &value) {
        o += (o.back() == '{' ? "\"" : ",\"") + std::string(name) + "\":" + value;
    };
    auto items = [&](const char *name, const auto &vs, auto text) {
        std::string t;
        for (const auto &v : vs)
            t += (t.empty() ? "[" : ",") + text(v);
        if (!t.empty())
            leaf(name, t + "]");
    };
    auto prefix = [](const Prefix &x) { return "\"" + x.text() + "\""; };
    auto range = [](const Range &r) {
        return "\"" + std::to_string(r.lo) + (r.hi != r.lo ? "-" + std::to_string(r.hi) : "") + "\"";
    };
    auto number = [](const Range &r) { return std::to_string(r.lo); };
    items("source-ip", s.src, prefix);
    items("destination-ip", s.dst, prefix);
    if (s.src_list >= 0)
        leaf("source-data-prefix-list", "\"pl-" + std::to_string(s.src_list) + "\"");
    if (s.dst_list >= 0)
        leaf("destination-data-prefix-list", "\"pl-" + std::to_string(s.dst_list) + "\"");
    items(v6() ? "next-header" : "protocol", s.proto, number);
    items("source-port", s.sport, range);
    items("destination-port", s.dport, range);
    items("packet-length", s.len, range);
    items(v6() ? "traffic-class" : "dscp", s.tos, number);
    if (s.syn)
        leaf("tcp", "\"syn\"");
    return o + R"(},"action":{"base-action":")" + (s.drop ? "drop" : "accept") + R"(","count":"c)" +
           std::to_string(s.num) + R"("}})";
}

std::string Generated::lists_json() const
{
    std::ostringstream o;
    for (size_t l = 0; l < lists.size(); l++) {
        o << (l ? "," : "") << R"({"name":"pl-)" << l << R"(","ip-prefix":[)";
        for (size_t i = 0; i < lists[l].size(); i++)
            o << (i ? "," : "") << R"({"ip-prefix":")" << lists[l][i].text() << R"("})";
        o << "]}";
    }
    return o.str();
}

std::string Generated::acl_json(const std::string &name, bool drop, const std::vector<GenSequence> &seqs) const
{
    std::string o =
        R"({"name":")" + name + R"(","default-action":")" + (drop ? "drop" : "accept") + R"(","sequence":[)";
    for (size_t i = 0; i < seqs.size(); i++)
        o += (i ? "," : "") + sequence_json(seqs[i]);
    return o + "]}";
}

std::string Generated::json(const std::vector<GenSequence> &seqs) const
{
    std::string o =
        R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"gen-vpns","vpn":[{"id":"100-102"}]}])";
    if (!lists.empty())
        o += R"(,"data-prefix-list":[)" + lists_json() + "]";
    o += R"(},"data-policy":[{"name":"gen","direction":"from-service","vpn-list":[{"name":"gen-vpns",)"
         R"("default-action":"drop","sequence":[)";
    for (size_t i = 0; i < seqs.size(); i++)
        o += (i ? "," : "") + sequence_json(seqs[i]);
    return o + "]}]}]}}";
}

std::string pcap(const std::vector<GenPacket> &ps, bool v6)
{
    std::string o;
    auto le = [&](uint32_t v, int n) {
        for (int i = 0; i < n; i++)
            o.push_back(static_cast<char>(v >> 8 * i));
    };
    auto be = [](std::string &s, uint32_t v, int n) {
        for (int i = n - 1; i >= 0; i--)
            s.push_back(static_cast<char>(v >> 8 * i));
    };
    le(0xa1b2c3d4, 4), le(2, 2), le(4, 2), le(0, 4), le(0, 4), le(65535, 4), le(1, 4);
    uint32_t n = 0;
    for (const GenPacket &p : ps) {
        std::string f(12, '\x02');
        be(f, v6 ? 0x86dd : 0x0800, 2);
        if (v6) {
            be(f, 0x60000000u | uint32_t(p.tos) << 20, 4);
            be(f, p.len - 40, 2), be(f, p.proto, 1), be(f, 64, 1);
            for (int k = 0; k < 2; k++)
                be(f, 0x20010db8, 4), be(f, 0, 4), be(f, k, 4), be(f, n, 4);
        } else {
            be(f, 0x45, 1), be(f, p.tos, 1), be(f, p.len, 2), be(f, 0, 4), be(f, 64, 1), be(f, p.proto, 1);
            be(f, 0, 2), be(f, p.src, 4), be(f, p.dst, 4);
        }
        be(f, p.sport, 2), be(f, p.dport, 2);
        if (p.proto == 6)
            be(f, n, 4), be(f, 0, 4), be(f, 0x50, 1), be(f, p.flags, 1), be(f, 1024, 2), be(f, 0, 4);
        else
            be(f, p.len - (v6 ? 40 : 20), 2), be(f, 0, 2);
        f.resize(14 + p.len, '\0');
        le(n / 1000, 4), le(n % 1000 * 1000, 4), le(f.size(), 4), le(f.size(), 4);
        o += f;
        n++;
    }
    return o;
}

void StandIns::SetUp()
{
    SandboxTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    char tmpl[] = "/run/standins-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    unsetenv("CONFD_IPC_PORT");
    ASSERT_EQ(use_sim_size(sim_size()), "");
    fp_ = start_fp_sim();
    ASSERT_TRUE(fp_);
    start_cdb();
    krod_ = Process::start({binary("krod-sim")});
    ASSERT_TRUE(krod_);
    start_zeld();
    pxrd_ = Process::start({binary("pxrd-sim")});
    ASSERT_TRUE(pxrd_ && pxrd_->wait_stdout_line("\"up\""));
    if (with_sysmgr()) {
        sysmgr_ = Process::start({binary("sysmgr-sim")});
        ASSERT_TRUE(sysmgr_);
    }
}

void StandIns::TearDown()
{
    if (zeld_ && zeld_->running()) {
        zeld_->signal(SIGUSR2);
        EXPECT_EQ(exit_code(zeld_->wait_exit()), 0) << zeld_->stderr_text();
    }
}

void StandIns::start_zeld()
{
    size_t cur = syslog().mark();
    zeld_ = Process::start({binary("zeld"), "-f"});
    ASSERT_TRUE(zeld_);
    ASSERT_TRUE(syslog().wait_for_regex(std::regex("Initialization - Stage 2 complete"), kWait, &cur))
        << syslog().dump();
}

void StandIns::start_cdb()
{
    cdb_ = Process::start({binary("cdb-sim"), "--state-dir", dir_, "--phase", "2"});
    ASSERT_TRUE(cdb_ && cdb_->wait_stdout_regex(std::regex(":4565")));
    // The other daemons have read their configuration: a zeld that starts may read its own.
    CdbSim writer;  // its address and operational writer only
    ASSERT_TRUE(writer.set_prio_mask(0x7));
}

void StandIns::restart_pxrd()
{
    pxrd_->signal(SIGKILL);
    pxrd_->wait_exit();
    pxrd_ = Process::start({binary("pxrd-sim")});
    ASSERT_TRUE(pxrd_ && pxrd_->wait_stdout_line("\"up\""));
}

std::string StandIns::request(const std::string &action)
{
    int rc = -1;
    std::string out = cli({"request", action}, &rc);
    EXPECT_EQ(rc, 0) << action << ": " << out;
    return out;
}

int StandIns::commit(const std::string &how, const std::string &json, std::string *out)
{
    const std::string path = dir_ + "/config.json";
    EXPECT_TRUE(write_file(path, json));
    int rc = -1;
    std::string text = cli({how, path}, &rc);
    if (out)
        *out = text;
    return rc;
}

void StandIns::load_examples(const std::vector<std::string> &names)
{
    for (const std::string &ex : names) {
        int rc = -1;
        const std::string out = cli({"load", zel_test_source_dir() + "/examples/" + ex}, &rc);
        ASSERT_EQ(rc, 0) << ex << ": " << out;
    }
}

void StandIns::apply(const std::string &json, const std::string &how)
{
    std::string out;
    ASSERT_EQ(commit(how, json, &out), 0) << out;
}

std::smatch StandIns::pxrd_line(const std::string &re, size_t *cursor, std::chrono::milliseconds wait)
{
    std::smatch m;
    auto line = pxrd_->wait_stdout_regex(std::regex(re), wait, cursor);
    if (line) {
        static std::string kept;
        kept = *line;
        std::regex_search(kept, m, std::regex(re));
    }
    return m;
}

// Each priority of a commit is a pass of its own, and a pass that finds no program memory is retried
// when the programs it replaced are released: only silence says that it is over.
std::string StandIns::quiet_output(const std::string &must)
{
    std::string text = pxrd_->stdout_text();
    for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(800ms);
        std::string now = pxrd_->stdout_text();
        if (now == text && (must.empty() || std::regex_search(now, std::regex(must))))
            break;
        text = now;
    }
    return text;
}

size_t StandIns::pxrd_quiet()
{
    const std::string t = quiet_output("");
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
}

int StandIns::settled_filter(const std::string &name)
{
    // pxrd's registration is answered with vpn-list names, hence a regular expression.
    const std::string text = quiet_output("\"name\":\"(" + name + ")\"");
    std::smatch last;
    const std::regex re(R"re("event":"(bind|unbind)".*"filter_index":(\d+),"name":"()re" + name + ")\"");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        last = *it;
    if (last.empty() || last[1] != "bind" || std::stoi(last[2]) >= 256)
        return -1;
    return std::stoi(last[2]);
}

size_t StandIns::pxrd_lines() const
{
    const std::string t = pxrd_->stdout_text();
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
}

std::vector<std::string> StandIns::run_file(int filter, const std::string &path)
{
    auto p = Process::start({binary("fp-sim"), "run", "--filter", std::to_string(filter), path}, {.pipe_stdin = false});
    EXPECT_EQ(exit_code(p->wait_exit()), 0) << p->stderr_text();
    std::vector<std::string> out;
    std::istringstream in(p->stdout_text());
    for (std::string l; std::getline(in, l);)
        if (l.starts_with("packet "))
            out.push_back(l);
    return out;
}

std::vector<std::string> StandIns::run_capture(int filter, const std::vector<GenPacket> &ps, bool v6)
{
    const std::string path = dir_ + "/trace.pcap";
    EXPECT_TRUE(write_file(path, pcap(ps, v6)));
    return run_file(filter, path);
}

void StandIns::expect_first_match(const Generated &g, const std::vector<GenSequence> &seqs, bool default_drop,
                                  const std::vector<GenPacket> &trace, int filter)
{
    const auto lines = run_capture(filter, trace, g.v6());
    ASSERT_EQ(lines.size(), trace.size());
    size_t matched = 0, mismatches = 0;
    for (size_t i = 0; i < trace.size(); i++) {
        const GenSequence *s = g.first_match(seqs, trace[i]);
        const std::string want = s ? " count c" + std::to_string(s->num) : " default";
        const bool drop = s ? s->drop : default_drop;
        const std::string &l = lines[i];
        const size_t at = l.find(want);
        matched += s != nullptr;
        if ((at == std::string::npos || l.find(drop ? " reject" : " accept") == std::string::npos ||
             (s && l.find(" count c", at + 1) != std::string::npos)) &&
            mismatches++ < 5)
            ADD_FAILURE() << "packet " << i + 1 << " wants" << want << (drop ? " reject" : " accept") << ": " << l;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(matched, trace.size() / 4) << "the trace should mostly hit sequences";
}

std::vector<std::string> StandIns::run_trace(int filter, const std::string &trace)
{
    const std::string path = dir_ + "/trace";
    EXPECT_TRUE(write_file(path, trace));
    return run_file(filter, path);
}

}  // namespace e2e
