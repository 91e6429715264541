// The explain command end to end: for every packet of a generated capture, the sequence zeld names
// is the first match of the generated rules, and the action block it names is the one fp-sim's run of
// the same capture through the published program selects. Bad input is refused with a message.
#include "standins.h"

#include <algorithm>
#include <bit>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

namespace
{

using e2e::kWait;
using namespace std::chrono_literals;

struct Range {
    uint32_t lo, hi;
    bool has(uint32_t v) const { return lo <= v && v <= hi; }
};

// A sequence: per field the alternatives it accepts (none: any value).
struct Sequence {
    int num;
    std::vector<Range> src, dst, proto, sport, dport, dscp, len;
    bool drop;
};

struct Packet {
    uint32_t src, dst, proto, sport, dport, dscp, len;
};

std::string addr_text(uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

constexpr uint32_t kDscps[] = {0, 10, 26, 46};

class Generated
{
public:
    explicit Generated(uint32_t seed) : rng_(seed)
    {
        for (uint32_t n = 0; n < 4; n++) {
            prefixes_.push_back({0x0A000000u | n << 16, 16});
            prefixes_.push_back({0x0A000000u | n << 16 | (n + 1) << 8, 24});
        }
    }

    uint32_t uni(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    Sequence sequence(int num)
    {
        Sequence s{num, {}, {}, {}, {}, {}, {}, {}, uni(2) == 0};
        auto prefix = [&] {
            auto [a, len] = prefixes_[uni(static_cast<uint32_t>(prefixes_.size()))];
            return Range{a, a | (0xFFFFFFFFu >> len)};
        };
        // Few distinct boundaries per field keep the program's tables small.
        auto ports = [&] {
            const uint32_t lo = 500 * uni(5);
            return Range{lo, lo + (uni(2) ? 99 : 999)};
        };
        // Every sequence matches on something: a catch-all would hide the ones after it.
        while (s.src.empty() && s.dst.empty() && s.proto.empty() && s.sport.empty() && s.dport.empty() &&
               s.dscp.empty() && s.len.empty()) {
            if (uni(2))
                s.src = {prefix()};
            if (uni(3) == 0)
                s.dst = {prefix()};
            if (uni(2))
                s.proto = uni(2) ? std::vector<Range>{{6, 6}} : std::vector<Range>{{6, 6}, {17, 17}};
            if (uni(6) == 0)
                s.sport = {ports()};
            if (uni(3) == 0)
                s.dport = {ports()};
            if (uni(3) == 0) {
                const uint32_t d = kDscps[uni(4)];
                s.dscp = {{d, d}};
            }
            if (uni(8) == 0)
                s.len = {uni(2) ? Range{64, 511} : Range{512, 1500}};
        }
        return s;
    }

    Packet packet()
    {
        auto addr = [&] {
            auto [a, len] = prefixes_[uni(static_cast<uint32_t>(prefixes_.size()))];
            return uni(6) ? a | (uni(0xFFFFFFFFu) & (0xFFFFFFFFu >> len)) : static_cast<uint32_t>(rng_());
        };
        const uint32_t protos[] = {6, 17, 1};
        Packet p{addr(),        addr(), protos[uni(3)], uni(3000), uni(3000), uni(4) ? kDscps[uni(4)] : uni(64),
                 40 + uni(1400)};
        if (p.proto == 1)
            p.sport = p.dport = 0;
        return p;
    }

    std::string json(const std::vector<Sequence> &seqs) const
    {
        std::ostringstream o;
        o << R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"ex-vpns","vpn":[{"id":"100"}]}]},)"
          << R"("data-policy":[{"name":"ex","direction":"from-service","vpn-list":[{"name":"ex-vpns",)"
          << R"("default-action":"drop","sequence":[)";
        auto leaf = [](const char *name, const std::vector<Range> &rs, bool prefix, bool text) {
            std::string t = std::string("\"") + name + "\":[";
            for (size_t k = 0; k < rs.size(); k++) {
                std::string v;
                if (prefix)
                    v = addr_text(rs[k].lo) + "/" + std::to_string(32 - std::popcount(rs[k].hi ^ rs[k].lo));
                else
                    v = std::to_string(rs[k].lo) + (rs[k].hi != rs[k].lo ? "-" + std::to_string(rs[k].hi) : "");
                t += (k ? "," : "") + (text ? "\"" + v + "\"" : v);
            }
            return t + "]";
        };
        for (size_t i = 0; i < seqs.size(); i++) {
            const Sequence &s = seqs[i];
            std::vector<std::string> m;
            if (!s.src.empty())
                m.push_back(leaf("source-ip", s.src, true, true));
            if (!s.dst.empty())
                m.push_back(leaf("destination-ip", s.dst, true, true));
            if (!s.proto.empty())
                m.push_back(leaf("protocol", s.proto, false, false));
            if (!s.sport.empty())
                m.push_back(leaf("source-port", s.sport, false, true));
            if (!s.dport.empty())
                m.push_back(leaf("destination-port", s.dport, false, true));
            if (!s.dscp.empty())
                m.push_back(leaf("dscp", s.dscp, false, false));
            if (!s.len.empty())
                m.push_back(leaf("packet-length", s.len, false, true));
            o << (i ? "," : "") << R"({"number":)" << s.num << R"(,"match":{)";
            for (size_t k = 0; k < m.size(); k++)
                o << (k ? "," : "") << m[k];
            o << R"(},"action":{"base-action":")" << (s.drop ? "drop" : "accept") << R"(","count":"c)" << s.num
              << R"("}})";
        }
        o << "]}]}]}}";
        return o.str();
    }

private:
    std::mt19937 rng_;
    std::vector<std::pair<uint32_t, int>> prefixes_;
};

// The reference: sequences in ascending number, the first whose every field accepts the packet; -1 for
// the default action.
int first_match(std::vector<Sequence> seqs, const Packet &p)
{
    std::sort(seqs.begin(), seqs.end(), [](auto &a, auto &b) { return a.num < b.num; });
    auto ok = [](const std::vector<Range> &rs, uint32_t v) {
        return rs.empty() || std::any_of(rs.begin(), rs.end(), [v](const Range &r) { return r.has(v); });
    };
    for (const Sequence &s : seqs)
        if (ok(s.src, p.src) && ok(s.dst, p.dst) && ok(s.proto, p.proto) && ok(s.sport, p.sport) &&
            ok(s.dport, p.dport) && ok(s.dscp, p.dscp) && ok(s.len, p.len))
            return s.num;
    return -1;
}

// A capture of raw IPv4 packets (link type 101) carrying the packets' DSCP and total length.
std::string capture(const std::vector<Packet> &ps)
{
    std::string out;
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char *>(&v), 2); };
    u32(0xa1b2c3d4);
    u16(2);
    u16(4);
    u32(0);
    u32(0);
    u32(65535);
    u32(101);
    uint32_t t = 0;
    for (const Packet &p : ps) {
        std::string ip(p.len, '\0');
        auto be = [&](size_t at, uint32_t v, int bytes) {
            for (int k = 0; k < bytes; k++)
                ip[at + k] = static_cast<char>(v >> (8 * (bytes - 1 - k)));
        };
        be(0, 0x45, 1);
        be(1, p.dscp << 2, 1);
        be(2, p.len, 2);
        be(8, 64, 1);
        be(9, p.proto, 1);
        be(12, p.src, 4);
        be(16, p.dst, 4);
        be(20, p.sport, 2);
        be(22, p.dport, 2);
        if (p.proto == 6)
            be(32, 0x50, 1);  // data offset; no flags
        u32(++t);
        u32(0);
        u32(p.len);
        u32(p.len);
        out += ip;
    }
    return out;
}

class ExplainE2e : public e2e::StandIns
{
protected:
    // Program memory for fifty sequences over seven fields (about 18 MB).
    const char *sim_size() const override { return "large"; }

    std::vector<std::string> explain_args(const Packet &p)
    {
        auto n = [](uint32_t v) { return std::to_string(v); };
        return {"request",
                "zel_explain",
                "vpn",
                "100",
                "source-address",
                addr_text(p.src),
                "destination-address",
                addr_text(p.dst),
                "protocol",
                n(p.proto),
                "source-port",
                n(p.sport),
                "destination-port",
                n(p.dport),
                "dscp",
                n(p.dscp),
                "packet-length",
                n(p.len)};
    }
    // explain's answer once the program it reads is published.
    std::string explained(const std::vector<std::string> &args, int *rc)
    {
        std::string text;
        for (auto end = std::chrono::steady_clock::now() + kWait; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(200ms))
            if (text = cli(args, rc); *rc == 0 && text.find("program: filter") != std::string::npos)
                break;
        return text;
    }
};

TEST_F(ExplainE2e, AgreesWithFirstMatchAndTheForwardingPlaneOnEveryPacket)
{
    Generated g(20260112);
    std::vector<Sequence> seqs;
    for (int i = 0; i < 50; i++)
        seqs.push_back(g.sequence(10 * (1 + i)));
    std::shuffle(seqs.begin(), seqs.end(), std::mt19937(3));  // configuration order is not evaluation order
    std::vector<Packet> trace;
    for (int i = 0; i < 300; i++)
        trace.push_back(g.packet());
    std::string text;
    ASSERT_EQ(commit("load", g.json(seqs), &text), 0) << text;

    const std::regex program_re(R"(program: filter (\d+) action block (\d+)( default)?: (.*))");
    std::smatch m;
    int rc = -1;
    text = explained(explain_args(trace[0]), &rc);
    ASSERT_TRUE(std::regex_search(text, m, program_re)) << text << syslog().dump();
    const std::string filter = m[1];

    ASSERT_TRUE(e2e::write_file(dir_ + "/trace.pcap", capture(trace)));
    const auto verdicts = run_file(std::stoi(filter), dir_ + "/trace.pcap");
    ASSERT_EQ(verdicts.size(), trace.size());

    const std::regex model_re(R"(model: (sequence (\d+)|default action): (.*))");
    const std::regex verdict_re(R"(^packet \d+: action (\d+)( default)?.*)");
    int mismatches = 0, matched = 0;
    for (size_t i = 0; i < trace.size(); i++) {
        text = cli(explain_args(trace[i]), &rc);
        const int want = first_match(seqs, trace[i]);
        matched += want >= 0;
        std::smatch mm, pm, vm;
        const bool ok = rc == 0 && std::regex_search(text, mm, model_re) && std::regex_search(text, pm, program_re) &&
                        std::regex_search(verdicts[i], vm, verdict_re) &&
                        (want < 0 ? mm[2].str().empty() : mm[2] == std::to_string(want)) && pm[1] == filter &&
                        pm[2] == vm[1] && pm[3] == vm[2] && mm[3] == pm[4] &&
                        text.find("disagreement") == std::string::npos &&
                        (want < 0 || pm[4].str().find("count c" + std::to_string(want)) != std::string::npos);
        if (!ok && mismatches++ < 5)
            ADD_FAILURE() << "packet " << i << " wants sequence " << want << "; explain: " << text
                          << "fp-sim: " << verdicts[i];
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(matched, static_cast<int>(trace.size() / 4)) << "the trace should mostly hit sequences";
}

TEST_F(ExplainE2e, AccessListsByInterfaceAndBadInput)
{
    int rc = -1;
    std::string text = cli({"load", std::string(ZEL_TEST_SOURCE_DIR) + "/examples/access-lists.json"}, &rc);
    ASSERT_EQ(rc, 0) << text;
    text = explained(
        {"request", "zel_explain", "interface", "ge0/1", "direction", "in", "protocol", "6", "destination-port", "22"},
        &rc);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("access-list acl-guest-in interface ge0/1 direction in\n"), std::string::npos) << text;
    EXPECT_NE(text.find("program: filter"), std::string::npos) << text;
    EXPECT_EQ(text.find("disagreement"), std::string::npos) << text;

    const struct {
        std::vector<std::string> args;
        const char *says;
    } bad[] = {
        {{"vpn", "100", "dscp", "lots"}, "Error: "},
        {{"vpn", "100", "dscp", "64"}, "Error: "},
        {{"vpn", "100", "colour", "3"}, "unknown parameter colour"},
        {{"vpn", "100", "app", "no-such-application"}, "unknown application no-such-application"},
        {{"protocol", "6"}, "give vpn, or interface and direction"},
        {{"interface", "ge0/1"}, "interface and direction go together"},
    };
    for (const auto &b : bad) {
        std::vector<std::string> args{"request", "zel_explain"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        text = cli(args, &rc);
        EXPECT_EQ(rc, 1) << b.args[0] << " " << b.args[1] << ": " << text;
        EXPECT_NE(text.find(b.says), std::string::npos) << text;
        EXPECT_EQ(text.find("packet:"), std::string::npos) << text;
    }
    EXPECT_TRUE(zeld_->running());
}

}  // namespace
