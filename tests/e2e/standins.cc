#include "standins.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

std::string sequence_json(int num, const std::vector<std::string> &matches, bool drop)
{
    std::string o = R"({"number":)" + std::to_string(num) + R"(,"match":{)";
    for (size_t k = 0; k < matches.size(); k++)
        o += (k ? "," : "") + matches[k];
    return o + R"(},"action":{"base-action":")" + (drop ? "drop" : "accept") + R"(","count":"c)" + std::to_string(num) +
           R"("}})";
}

Generated::Generated(uint32_t seed, bool compact) : rng_(seed), compact_(compact)
{
    for (uint32_t n = 0; n < (compact ? 4u : 8u); n++) {
        pool_.push_back({0x0A000000u | n << 16, 16});
        pool_.push_back({0x0A000000u | n << 16 | (n + 1) << 8, 24});
        if (!compact)
            pool_.push_back({0xC0A80000u | n << 8, 24});
    }
    for (int l = 0; !compact && l < 4; l++)
        lists_.push_back({pick(), pick(), pick()});
}

uint32_t Generated::uni(size_t n)
{
    return static_cast<uint32_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng_));
}

constexpr uint32_t kDscps[] = {0, 10, 26, 46};

GenSequence Generated::sequence(int num)
{
    GenSequence s;
    s.num = num;
    auto side = [&](std::vector<Prefix> &prefixes, int &list) {
        const uint32_t k = uni(4);
        if (k == 0 || (compact_ && k == 1)) {
            prefixes = {pick()};
            if (!compact_ && uni(2))
                prefixes.push_back(pick());
        } else if (k == 1) {
            list = static_cast<int>(uni(lists_.size()));
        }
    };
    // Compact ports have few distinct boundaries, which keeps the program's tables small.
    auto ports = [&] {
        const uint32_t lo = compact_ ? 500 * uni(5) : uni(2000);
        return Range{lo, lo + (compact_ ? (uni(2) ? 99 : 999) : uni(500))};
    };
    do {
        side(s.src, s.src_list);
        side(s.dst, s.dst_list);
        const uint32_t p = uni(4);
        if (p < 3)
            s.proto = p == 0   ? std::vector<Range>{{6, 6}}
                      : p == 1 ? std::vector<Range>{{17, 17}}
                               : std::vector<Range>{{6, 6}, {17, 17}};
        if (uni(2))
            s.dport = {ports()};
        if (compact_ && uni(6) == 0)
            s.sport = {ports()};
        if (compact_ && uni(3) == 0) {
            const uint32_t d = kDscps[uni(4)];
            s.dscp = {{d, d}};
        }
        if (compact_ && uni(8) == 0)
            s.len = {uni(2) ? Range{64, 511} : Range{512, 1500}};
    } while (compact_ && s.src.empty() && s.dst.empty() && s.proto.empty() && s.dport.empty() && s.sport.empty() &&
             s.dscp.empty() && s.len.empty());
    s.drop = uni(2) == 0;
    return s;
}

GenPacket Generated::packet()
{
    auto addr = [&] {
        const Prefix p = pick();
        return uni(6) ? p.addr | (static_cast<uint32_t>(rng_()) & (0xFFFFFFFFu >> p.len))
                      : static_cast<uint32_t>(rng_());
    };
    const uint32_t protos[] = {6, 17, 1};
    GenPacket p{addr(),        addr(), protos[uni(3)], uni(3000), uni(3000), uni(4) ? kDscps[uni(4)] : uni(64),
                40 + uni(1400)};
    if (p.proto == 1)
        p.sport = p.dport = 0;
    return p;
}

int Generated::first_match(const std::vector<GenSequence> &seqs, const GenPacket &p) const
{
    auto in = [](const std::vector<Range> &rs, uint32_t v) {
        return rs.empty() || std::any_of(rs.begin(), rs.end(), [v](const Range &r) { return r.has(v); });
    };
    auto side = [&](const std::vector<Prefix> &prefixes, int list, uint32_t a) {
        const auto &alts = list >= 0 ? lists_[list] : prefixes;
        return (list < 0 && prefixes.empty()) ||
               std::any_of(alts.begin(), alts.end(), [a](const Prefix &x) { return x.covers(a); });
    };
    const GenSequence *first = nullptr;
    for (const GenSequence &s : seqs)
        if ((!first || s.num < first->num) && side(s.src, s.src_list, p.src) && side(s.dst, s.dst_list, p.dst) &&
            in(s.proto, p.proto) && in(s.sport, p.sport) && in(s.dport, p.dport) && in(s.dscp, p.dscp) &&
            in(s.len, p.len))
            first = &s;
    return first ? first->num : -1;
}

std::string Generated::json(const std::vector<GenSequence> &seqs) const
{
    std::ostringstream o;
    o << R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"gen-vpns","vpn":[{"id":"100-102"}]}])";
    for (size_t l = 0; l < lists_.size(); l++) {
        o << (l ? "," : R"(,"data-prefix-list":[)") << R"({"name":"pl-)" << l << R"(","ip-prefix":[)";
        for (size_t i = 0; i < lists_[l].size(); i++)
            o << (i ? "," : "") << R"({"ip-prefix":")" << lists_[l][i].text() << R"("})";
        o << "]}" << (l + 1 == lists_.size() ? "]" : "");
    }
    o << R"(},"data-policy":[{"name":"gen","direction":"from-service","vpn-list":[{"name":"gen-vpns",)"
      << R"("default-action":"drop","sequence":[)";
    auto prefixes = [](const char *leaf, const std::vector<Prefix> &ps) {
        std::string t = std::string("\"") + leaf + "\":[";
        for (size_t k = 0; k < ps.size(); k++)
            t += (k ? ",\"" : "\"") + ps[k].text() + "\"";
        return t + "]";
    };
    auto ranges = [](const char *leaf, const std::vector<Range> &rs, bool quoted) {
        std::string t = std::string("\"") + leaf + "\":[";
        for (size_t k = 0; k < rs.size(); k++) {
            const std::string v =
                std::to_string(rs[k].lo) + (rs[k].hi != rs[k].lo ? "-" + std::to_string(rs[k].hi) : "");
            t += (k ? "," : "") + (quoted ? "\"" + v + "\"" : v);
        }
        return t + "]";
    };
    for (size_t i = 0; i < seqs.size(); i++) {
        const GenSequence &s = seqs[i];
        std::vector<std::string> m;
        if (!s.src.empty())
            m.push_back(prefixes("source-ip", s.src));
        if (!s.dst.empty())
            m.push_back(prefixes("destination-ip", s.dst));
        if (s.src_list >= 0)
            m.push_back(R"("source-data-prefix-list":"pl-)" + std::to_string(s.src_list) + "\"");
        if (s.dst_list >= 0)
            m.push_back(R"("destination-data-prefix-list":"pl-)" + std::to_string(s.dst_list) + "\"");
        const std::pair<const char *, const std::vector<Range> *> fields[] = {{"protocol", &s.proto},
                                                                              {"source-port", &s.sport},
                                                                              {"destination-port", &s.dport},
                                                                              {"dscp", &s.dscp},
                                                                              {"packet-length", &s.len}};
        for (auto [leaf, rs] : fields)
            if (!rs->empty())
                m.push_back(ranges(leaf, *rs, rs != &s.proto && rs != &s.dscp));
        o << (i ? "," : "") << sequence_json(s.num, m, s.drop);
    }
    o << "]}]}]}}";
    return o.str();
}

std::string pcap(const std::vector<CapPacket> &ps, bool v6)
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
    for (const CapPacket &p : ps) {
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
    cdb_ = Process::start({binary("cdb-sim"), "--state-dir", dir_, "--phase", "2"});
    ASSERT_TRUE(cdb_ && cdb_->wait_stdout_regex(std::regex(":4565")));
    CdbSim writer;  // its address and operational writer only
    ASSERT_TRUE(writer.set_prio_mask(0x7));
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

std::vector<std::string> StandIns::run_capture(int filter, const std::vector<CapPacket> &ps, bool v6)
{
    const std::string path = dir_ + "/trace.pcap";
    EXPECT_TRUE(write_file(path, pcap(ps, v6)));
    return run_file(filter, path);
}

std::vector<std::string> StandIns::run_capture(int filter, const std::vector<GenPacket> &ps)
{
    std::vector<CapPacket> cs;
    for (const GenPacket &p : ps)
        cs.push_back({p.src, p.dst, int(p.proto), int(p.sport), int(p.dport), 0, int(p.len), int(p.dscp << 2)});
    return run_capture(filter, cs, false);
}

int StandIns::expect_first_match(const std::vector<std::string> &lines, size_t n,
                                 const std::function<std::pair<int, bool>(size_t)> &want)
{
    EXPECT_EQ(lines.size(), n);
    int matched = 0, mismatches = 0;
    for (size_t i = 0; i < n && i < lines.size(); i++) {
        const auto [num, drop] = want(i);
        const std::string seq = num >= 0 ? " count c" + std::to_string(num) : " default";
        const std::string &l = lines[i];
        const size_t at = l.find(seq);
        matched += num >= 0;
        if ((at == std::string::npos || l.find(drop ? " reject" : " accept") == std::string::npos ||
             (num >= 0 && l.find(" count c", at + 1) != std::string::npos)) &&
            mismatches++ < 5)
            ADD_FAILURE() << "packet " << i + 1 << " wants" << seq << (drop ? " reject" : " accept") << ": " << l;
    }
    EXPECT_EQ(mismatches, 0);
    return matched;
}

std::vector<std::string> StandIns::run_trace(int filter, const std::string &trace)
{
    const std::string path = dir_ + "/trace";
    EXPECT_TRUE(write_file(path, trace));
    return run_file(filter, path);
}

}  // namespace e2e
