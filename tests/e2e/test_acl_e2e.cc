// Access lists of both families end to end: generated lists against a linear first match over
// generated captures, recompilation when a prefix list changes, bindings that follow interfaces and
// VPN instances, the retry after running out of program memory with its alerts and status
// notifications, and configuration the database refuses.
#include "standins.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace
{

using e2e::kWait;
using e2e::Prefix;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------------
// Generated access lists, captures and their reference classifier.

struct Range {
    int lo, hi;
    bool has(int v) const { return lo <= v && v <= hi; }
};

using Packet = e2e::CapPacket;

struct AclSeq {
    int num = 0;
    std::vector<Prefix> src, dst;  // IPv4 only, as the prefix lists
    int src_list = -1, dst_list = -1;
    std::vector<int> protos;  // protocol, or next header
    std::vector<Range> sport, dport, len;
    bool syn = false;
    std::vector<int> tos;  // IPv4: DSCP values; IPv6: traffic classes
    bool drop = false;
};

class AclGen
{
public:
    AclGen(uint32_t seed, bool six) : v6(six), rng_(seed)
    {
        for (uint32_t n = 0; n < 8; n++) {
            pool_.push_back({0x0A000000u | n << 16, 16});
            pool_.push_back({0xC0A80000u | n << 8, 24});
        }
        for (int l = 0; l < 4; l++)
            lists.push_back(two());
    }

    AclSeq sequence(int num)
    {
        AclSeq s;
        s.num = num;
        auto side = [&](std::vector<Prefix> &ex, int &list) {
            if (const uint32_t k = uni(4); k == 0)
                ex = two();
            else if (k == 1)
                list = static_cast<int>(uni(lists.size()));
        };
        if (!v6) {
            side(s.src, s.src_list);
            side(s.dst, s.dst_list);
        }
        const std::vector<std::vector<int>> protos{{6}, {17}, {6, 17}, {v6 ? 58 : 1}, {}};
        s.protos = protos[uni(protos.size())];
        auto ranges = [&](std::vector<Range> &out, int base, int span, int width) {
            for (uint32_t n = 1 + uni(2); n > 0; n--) {
                const int lo = base + static_cast<int>(uni(span));
                if (out.empty() || out[0].lo != lo)  // a leaf-list holds each value once
                    out.push_back({lo, lo + (uni(4) ? static_cast<int>(uni(width)) : 0)});
            }
        };
        if (uni(4) == 0)
            ranges(s.sport, 0, 2000, 600);
        if (uni(2) == 0)
            ranges(s.dport, 0, 2000, 600);
        if (uni(3) == 0)
            ranges(s.len, 40, 1200, 500);
        s.syn = uni(6) == 0;
        if (uni(4) == 0)
            for (uint32_t n = 1 + uni(2); n > 0; n--)
                if (const int t = tos_values()[uni(4)]; s.tos.empty() || s.tos[0] != t)
                    s.tos.push_back(t);
        s.drop = uni(2) == 0;
        return s;
    }

    std::vector<Packet> trace(size_t n)
    {
        std::vector<Packet> out;
        auto addr = [&] { return uni(5) ? pick().addr | (uni(256) & 0xFF) : static_cast<uint32_t>(rng_()); };
        const int protos[] = {6, 17, v6 ? 58 : 1};
        const int flags[] = {0x02, 0x12, 0x10, 0x18};
        for (size_t i = 0; i < n; i++) {
            Packet p;
            p.proto = protos[uni(3)];
            if (!v6) {
                p.src = addr();
                p.dst = addr();
            }
            if (p.proto != protos[2]) {
                p.sport = static_cast<int>(uni(2600));
                p.dport = static_cast<int>(uni(2600));
            }
            if (p.proto == 6)
                p.flags = flags[uni(4)];
            const int head = (v6 ? 40 : 20) + (p.proto == 6 ? 20 : 8);
            p.len = head + static_cast<int>(uni(1500 - head));
            // Values the lists name, one more, and anything.
            const int t = uni(3) ? tos_values()[uni(5)] : static_cast<int>(uni(v6 ? 256 : 64));
            p.tos = v6 ? t : t << 2;
            out.push_back(p);
        }
        return out;
    }

    bool matches(const AclSeq &s, const Packet &p) const
    {
        auto side = [&](const std::vector<Prefix> &ex, int list, uint32_t a) {
            const auto &in = list >= 0 ? lists[list] : ex;
            return (list < 0 && ex.empty()) || std::any_of(in.begin(), in.end(), [&](auto &x) { return x.covers(a); });
        };
        auto within = [](const std::vector<Range> &rs, int v) {
            return rs.empty() || std::any_of(rs.begin(), rs.end(), [&](auto &r) { return r.has(v); });
        };
        auto one_of = [](const std::vector<int> &vs, int v) {
            return vs.empty() || std::find(vs.begin(), vs.end(), v) != vs.end();
        };
        return side(s.src, s.src_list, p.src) && side(s.dst, s.dst_list, p.dst) && one_of(s.protos, p.proto) &&
               within(s.sport, p.sport) && within(s.dport, p.dport) && within(s.len, p.len) &&
               (!s.syn || (p.proto == 6 && p.flags == 0x02)) && one_of(s.tos, v6 ? p.tos : p.tos >> 2);
    }

    // The first matching sequence in ascending order, nullptr for the default action.
    const AclSeq *first_match(const std::vector<AclSeq> &seqs, const Packet &p) const
    {
        const AclSeq *best = nullptr;
        for (const AclSeq &s : seqs)
            if ((!best || s.num < best->num) && matches(s, p))
                best = &s;
        return best;
    }

    std::string json_lists() const
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

    std::string json_acl(const std::string &name, bool drop, const std::vector<AclSeq> &seqs) const
    {
        std::ostringstream o;
        o << R"({"name":")" << name << R"(","default-action":")" << (drop ? "drop" : "accept") << R"(","sequence":[)";
        for (size_t i = 0; i < seqs.size(); i++) {
            const AclSeq &s = seqs[i];
            std::vector<std::string> m;
            auto items = [&](const char *leaf, const auto &vs, auto text) {
                if (vs.empty())
                    return;
                std::string t = std::string("\"") + leaf + "\":[";
                for (size_t k = 0; k < vs.size(); k++)
                    t += (k ? "," : "") + text(vs[k]);
                m.push_back(t + "]");
            };
            auto quoted = [](const auto &x) { return "\"" + x.text() + "\""; };
            auto range = [](const Range &r) {
                return "\"" + std::to_string(r.lo) + (r.hi != r.lo ? "-" + std::to_string(r.hi) : "") + "\"";
            };
            auto number = [](int v) { return std::to_string(v); };
            items("source-ip", s.src, quoted);
            items("destination-ip", s.dst, quoted);
            if (s.src_list >= 0)
                m.push_back(R"("source-data-prefix-list":"pl-)" + std::to_string(s.src_list) + "\"");
            if (s.dst_list >= 0)
                m.push_back(R"("destination-data-prefix-list":"pl-)" + std::to_string(s.dst_list) + "\"");
            items(v6 ? "next-header" : "protocol", s.protos, number);
            items("source-port", s.sport, range);
            items("destination-port", s.dport, range);
            items("packet-length", s.len, range);
            items(v6 ? "traffic-class" : "dscp", s.tos, number);
            if (s.syn)
                m.push_back(R"("tcp":"syn")");
            o << (i ? "," : "") << e2e::sequence_json(s.num, m, s.drop);
        }
        o << "]}";
        return o.str();
    }

    uint32_t uni(size_t n) { return static_cast<uint32_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng_)); }
    Prefix pick() { return pool_[uni(pool_.size())]; }
    // One or two distinct prefixes.
    std::vector<Prefix> two()
    {
        const Prefix a = pick(), b = pick();
        return a.addr == b.addr ? std::vector<Prefix>{a} : std::vector<Prefix>{a, b};
    }

    std::vector<std::vector<Prefix>> lists;  // the local prefix lists pl-0...
    const bool v6;

private:
    const std::vector<int> &tos_values() const
    {
        static const std::vector<int> dscp{0, 10, 46, 48, 8}, tclass{0, 16, 40, 184, 255};
        return v6 ? tclass : dscp;
    }
    std::mt19937 rng_;
    std::vector<Prefix> pool_;
};

std::vector<AclSeq> sequences(AclGen &g, int n)
{
    std::vector<AclSeq> seqs;
    std::set<int> nums;
    while (static_cast<int>(nums.size()) < n)
        nums.insert(1 + static_cast<int>(g.uni(65535)));
    for (int num : nums)
        seqs.push_back(g.sequence(num));
    std::shuffle(seqs.begin(), seqs.end(), std::mt19937(n));  // configuration order is not evaluation order
    return seqs;
}

class AclE2e : public e2e::StandIns
{
protected:
    // The filter the next attach of `name` in `family` at or after *cur names; -1 when none came.
    int attached(const std::string &name, int family, size_t *cur)
    {
        auto m = pxrd_line(R"("event":"attach","opcode":3,"family":)" + std::to_string(family) +
                               R"(,"filter_index":(\d+),"name":")" + name + "\"",
                           cur);
        return m.empty() ? -1 : std::stoi(m[1]);
    }

    // Every packet of the capture gets the verdict of the first matching sequence, the list's
    // default otherwise; the number of packets that matched a sequence.
    int expect_first_match(const AclGen &g, const std::vector<AclSeq> &seqs, bool default_drop,
                           const std::vector<Packet> &trace, int filter)
    {
        return StandIns::expect_first_match(run_capture(filter, trace, g.v6), trace.size(), [&](size_t i) {
            const AclSeq *s = g.first_match(seqs, trace[i]);
            return std::pair{s ? s->num : -1, s ? s->drop : default_drop};
        });
    }

    bool logged(const std::string &text, size_t *cur, std::chrono::milliseconds wait = kWait)
    {
        return syslog().wait_for(text, wait, cur).has_value();
    }
};

TEST_F(AclE2e, GeneratedListsOfBothFamiliesGiveTheFirstMatchAndPrefixListsRecompileTheirUsers)
{
    AclGen g4(20250101, false), g6(20250102, true);
    auto seqs4 = sequences(g4, 24), seqs6 = sequences(g6, 24);
    // The first sequence of the IPv4 list names only pl-0, so that changing pl-0 changes verdicts.
    auto first = std::min_element(seqs4.begin(), seqs4.end(), [](auto &a, auto &b) { return a.num < b.num; });
    *first = AclSeq{.num = first->num, .src_list = 0};
    const AclSeq other{.num = 5, .src_list = 3, .protos = {17}};
    std::ostringstream cfg;
    cfg << R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[)" << g4.json_lists() << R"(]},"access-list":[)"
        << g4.json_acl("gen4", true, seqs4) << "," << g4.json_acl("other4", false, {other})
        << R"(],"ipv6":{"access-list":[)" << g6.json_acl("gen6", false, seqs6) << R"(]}},
        "ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"10","interface":[
          {"if-name":"ge0/1","access-list":[{"direction":"in","acl-name":"gen4"}],
           "ipv6":{"access-list":[{"direction":"in","acl-name":"gen6"}]}},
          {"if-name":"ge0/2","access-list":[{"direction":"out","acl-name":"other4"}]}]}]}})";
    std::string out;
    ASSERT_EQ(commit("load", cfg.str(), &out), 0) << out;
    size_t cur = 0;
    const int f4 = attached("gen4", 0, &cur);
    ASSERT_GE(f4, 0) << pxrd_->stdout_text() << syslog().dump();
    cur = 0;
    const int f6 = attached("gen6", 1, &cur);
    ASSERT_GE(f6, 0) << pxrd_->stdout_text();
    ASSERT_LT(f6, 256) << syslog().dump();
    cur = 0;
    ASSERT_GE(attached("other4", 0, &cur), 0) << pxrd_->stdout_text();

    const auto trace4 = g4.trace(2500), trace6 = g6.trace(2500);
    const int hit4 = expect_first_match(g4, seqs4, true, trace4, f4);
    EXPECT_GT(hit4, 2500 / 4) << "the trace should mostly hit sequences";
    EXPECT_GT(expect_first_match(g6, seqs6, false, trace6, f6), 2500 / 4);

    // pl-0 grows: gen4 alone is compiled again and attached where it was; other4 and gen6 are left alone.
    Prefix added;
    do
        added = g4.pick();
    while (std::any_of(g4.lists[0].begin(), g4.lists[0].end(), [&](auto &p) { return p.addr == added.addr; }));
    std::vector<const AclSeq *> before;
    for (const Packet &p : trace4)
        before.push_back(g4.first_match(seqs4, p));
    g4.lists[0].push_back(added);
    int changed = 0;
    for (size_t i = 0; i < trace4.size(); i++)
        changed += g4.first_match(seqs4, trace4[i]) != before[i];
    ASSERT_GT(changed, 0) << "the trace should notice the change";
    cur = pxrd_quiet();
    ASSERT_EQ(commit("load",
                     R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[{"name":"pl-0",
        "ip-prefix":[{"ip-prefix":")" +
                         added.text() + R"("}]}]}}})",
                     &out),
              0)
        << out;
    EXPECT_FALSE(
        pxrd_line(R"("event":"detach","opcode":4,"family":0,"filter_index":)" + std::to_string(f4) +
                      R"(,"name":"gen4","count":1,"bindings":\[\{"vpn":10,"direction":1,"interface":"ge0/1"\}\])",
                  &cur)
            .empty())
        << pxrd_->stdout_text();
    const int now4 = attached("gen4", 0, &cur);
    ASSERT_GE(now4, 0) << pxrd_->stdout_text();
    const size_t end = pxrd_quiet();
    EXPECT_EQ(end, cur) << "only gen4 is sent again: " << pxrd_->stdout_text();
    expect_first_match(g4, seqs4, true, trace4, now4);
}

// ---------------------------------------------------------------------------------------------------
// Bindings.

// pxrd-sim's attach and detach events from *cur on, once it is quiet, as "event family name bindings".
std::multiset<std::string> attach_events(const std::string &text, size_t from_line)
{
    std::multiset<std::string> out;
    std::istringstream in(text);
    const std::regex re(R"re("event":"(attach|detach)".*"family":(\d).*"name":"([^"]*)".*"bindings":(\[.*\]))re");
    size_t n = 0;
    for (std::string l; std::getline(in, l); n++) {
        std::smatch m;
        if (n >= from_line && std::regex_search(l, m, re))
            out.insert(m[1].str() + " " + m[2].str() + " " + m[3].str() + " " + m[4].str());
    }
    return out;
}

std::string binding(int vpn, int dir, const char *ifname)
{
    return R"({"vpn":)" + std::to_string(vpn) + R"(,"direction":)" + std::to_string(dir) + R"(,"interface":")" +
           ifname + "\"}";
}

constexpr const char *kBound = R"({
  "ardenta-policy:policy": {
    "access-list": [{"name": "acl-a", "sequence": [
      {"number": 10, "match": {"protocol": [6]}, "action": {"base-action": "drop", "count": "tcp"}}]}],
    "ipv6": {"access-list": [{"name": "acl-a", "sequence": [
      {"number": 10, "match": {"next-header": [58]}, "action": {"base-action": "accept"}}]}]}
  },
  "ardenta-policy:policy-from-ostrel": {
    "lists": {"vpn-list": [{"name": "vl", "vpn": [{"id": "10-20"}]}]},
    "data-policy": [{"name": "dp", "vpn-list": [{"name": "vl", "sequence": [{"number": 1, "match": {"protocol": [17]}}]}]}]
  },
  "ardenta-vpn:vpn": {"vpn-instance": [
    {"vpn-id": "10", "interface": [
      {"if-name": "ge0/2", "access-list": [{"direction": "in", "acl-name": "acl-a"}]},
      {"if-name": "ge0/1", "access-list": [{"direction": "out", "acl-name": "acl-a"}, {"direction": "in", "acl-name": "acl-a"}],
       "ipv6": {"access-list": [{"direction": "in", "acl-name": "acl-a"}]}}]},
    {"vpn-id": "11", "interface": [
      {"if-name": "ge1/1", "ipv6": {"access-list": [{"direction": "out", "acl-name": "acl-a"}]}}]}]}
})";

TEST_F(AclE2e, BindingsFollowInterfacesAndVpnInstances)
{
    std::string out;
    ASSERT_EQ(commit("load", kBound, &out), 0) << out;
    size_t mark = syslog().mark();
    size_t cur = 0;
    ASSERT_GE(settled_filter("dp"), 0) << pxrd_->stdout_text() << syslog().dump();
    // One attach per list with all its bindings, by interface name and then direction.
    const std::string v4 =
        "[" + binding(10, 1, "ge0/1") + "," + binding(10, 2, "ge0/1") + "," + binding(10, 1, "ge0/2") + "]";
    const std::string v6 = "[" + binding(10, 1, "ge0/1") + "," + binding(11, 2, "ge1/1") + "]";
    EXPECT_EQ(attach_events(pxrd_->stdout_text(), 0),
              (std::multiset<std::string>{"attach 0 acl-a " + v4, "attach 1 acl-a " + v6}))
        << pxrd_->stdout_text();

    // A new VPN instance inside the vpn-list's range binds the policy to the whole range.
    cur = pxrd_lines();
    ASSERT_EQ(commit("load", R"({"ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"15"}]}})", &out), 0) << out;
    EXPECT_FALSE(
        pxrd_line(R"("event":"bind".*"name":"dp","count":11,"vpns":\[10,11,12,13,14,15,16,17,18,19,20\])", &cur)
            .empty())
        << pxrd_->stdout_text();

    // An interface goes: each of its bindings in either family is detached once; the other stays.
    cur = pxrd_quiet();
    ASSERT_EQ(cli({"delete", "/vpn/vpn-instance{10}/interface{ge0/1}"}, nullptr).find("Error"), std::string::npos);
    pxrd_quiet();
    EXPECT_EQ(attach_events(pxrd_->stdout_text(), cur),
              (std::multiset<std::string>{"detach 0 acl-a [" + binding(10, 1, "ge0/1") + "]",
                                          "detach 0 acl-a [" + binding(10, 2, "ge0/1") + "]",
                                          "detach 1 acl-a [" + binding(10, 1, "ge0/1") + "]"}))
        << pxrd_->stdout_text();
    // A VPN instance goes with its interfaces' bindings.
    cur = pxrd_lines();
    ASSERT_EQ(cli({"delete", "/vpn/vpn-instance{11}"}, nullptr).find("Error"), std::string::npos);
    pxrd_quiet();
    EXPECT_EQ(attach_events(pxrd_->stdout_text(), cur),
              (std::multiset<std::string>{"detach 1 acl-a [" + binding(11, 2, "ge1/1") + "]"}))
        << pxrd_->stdout_text();

    // What is left is what a restarted pxrd hears: the IPv4 list on ge0/2, the IPv6 list nowhere.
    pxrd_->signal(SIGKILL);
    pxrd_->wait_exit();
    pxrd_ = e2e::Process::start({e2e::binary("pxrd-sim")});
    ASSERT_TRUE(pxrd_ && pxrd_->wait_stdout_line("\"up\""));
    ASSERT_GE(settled_filter("vl"), 0) << pxrd_->stdout_text();
    EXPECT_EQ(attach_events(pxrd_->stdout_text(), 0),
              (std::multiset<std::string>{"attach 0 acl-a [" + binding(10, 1, "ge0/2") + "]"}))
        << pxrd_->stdout_text();
    EXPECT_FALSE(syslog().wait_for_regex(std::regex("failed assertion|Failed to (unbind|bind) acl"), 0ms, &mark))
        << syslog().dump();
}

// Two IPv4 lists and an IPv6 list of the same name as one of them; ge0/1 in VPN 10 bound inbound to A,
// whose name is longer than the 32 characters the database gives back of a bound name.
constexpr const char *kLongA = "acl-a-whose-name-is-longer-than-32-characters";

std::string acl_config(const char *bound)
{
    return std::string(R"({
  "ardenta-policy:policy": {
    "class-map": {"class": [{"name": "voice", "queue": 1}]},
    "access-list": [
      {"name": "acl-a-whose-name-is-longer-than-32-characters", "default-action": "accept", "sequence": [
        {"number": 10, "match": {"protocol": [17]}, "action": {"base-action": "drop", "count": "a10"}},
        {"number": 20, "match": {"protocol": [17, 6]}, "action": {"base-action": "accept", "count": "a20"}}]},
      {"name": "acl-b", "default-action": "drop", "sequence": [
        {"number": 10, "match": {"protocol": [6]}, "action": {"base-action": "accept", "count": "b10"}}]}],
    "ipv6": {"access-list": [
      {"name": "acl-a-whose-name-is-longer-than-32-characters", "default-action": "drop", "sequence": [
        {"number": 10, "match": {"next-header": [58]}, "action": {"base-action": "accept"}}]}]}
  },
  "ardenta-vpn:vpn": {"vpn-instance": [{"vpn-id": "10", "interface": [{"if-name": "ge0/1",
    "access-list": [{"direction": "in", "acl-name": ")") +
           bound +
           R"("}], "ipv6": {"access-list": [{"direction": "out", "acl-name": "acl-a-whose-name-is-longer-than-32-characters"}]}}]}]}
})";
}

// One UDP, TCP and ICMP packet each.
constexpr const char *kThreePackets = "167772161\t167772162\t1000\t53\t17\t0\t0\n"
                                      "167772161\t167772162\t1000\t80\t6\t0\t0\n"
                                      "167772161\t167772162\t0\t0\t1\t0\t0\n";

TEST_F(AclE2e, SameNameInBothFamiliesAndMovingBetweenLists)
{
    std::string out;
    size_t cur = 0;
    ASSERT_EQ(commit("load", acl_config(kLongA), &out), 0) << out;
    const int fa = attached(kLongA, 0, &cur);
    ASSERT_GE(fa, 0) << pxrd_->stdout_text() << syslog().dump();
    size_t c6 = 0;
    const int f6 = attached(kLongA, 1, &c6);
    ASSERT_GE(f6, 0) << pxrd_->stdout_text();
    EXPECT_NE(f6, fa) << "an IPv4 and an IPv6 list of one name are distinct";

    auto lines = run_trace(fa, kThreePackets);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("count a10"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" reject"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("count a20"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" default"), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(" accept"), std::string::npos) << lines[2];

    // Refused at commit with the reason, and nothing reaches pxrd: the program stays attached.
    cur = pxrd_quiet();
    size_t mark = syslog().mark();
    auto binding_doc = [](const char *vpn, const char *entries) {
        return std::string(R"({"ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":")") + vpn +
               R"(","interface":[{"if-name":"ge0/9","access-list":[)" + entries + "]}]}]}}";
    };
    auto sequence_doc = [](const char *match, const char *action) {
        return std::string(
                   R"({"ardenta-policy:policy":{"access-list":[{"name":"acl-b","sequence":[{"number":30,"match":)") +
               match + R"(,"action":)" + action + "}]}]}}";
    };
    const struct {
        std::string json;
        const char *error;
    } refused[] = {
        {binding_doc("70000", R"({"direction":"in","acl-name":"acl-b"})"), "70000"},
        {binding_doc("10", R"({"direction":"in","acl-name":"nope"})"), "nope"},
        {binding_doc("10", R"({"direction":"in","acl-name":"acl-b"},{"direction":"in","acl-name":"acl-b"})"),
         "Duplicate instance of \"access-list\""},
        {sequence_doc(R"({"source-ip":["2001:db8::/32"]})", R"({"base-action":"drop"})"), "2001:db8::/32"},
        {sequence_doc(R"({"protocol":[6]})", R"({"set":{"class-name":"nope"}})"), "nope"},
    };
    for (auto &r : refused) {
        EXPECT_NE(commit("load", r.json, &out), 0) << r.json;
        EXPECT_NE(out.find(r.error), std::string::npos) << out;
    }
    EXPECT_EQ(pxrd_quiet(), cur) << pxrd_->stdout_text();
    EXPECT_EQ(run_trace(fa, kThreePackets), lines);
    EXPECT_FALSE(syslog().wait_for_regex(std::regex("failed assertion|Failed to"), 0ms, &mark)) << syslog().dump();

    // The interface moves from A to B in one commit: A is detached there, B attached.
    ASSERT_EQ(commit("replace", acl_config("acl-b"), &out), 0) << out;
    ASSERT_FALSE(pxrd_line(R"("event":"detach","opcode":4,"family":0,"filter_index":)" + std::to_string(fa) +
                               R"(,"name":")" + kLongA +
                               R"(","count":1,"bindings":\[\{"vpn":10,"direction":1,"interface":"ge0/1"\}\])",
                           &cur)
                     .empty())
        << pxrd_->stdout_text() << syslog().dump();
    EXPECT_GE(attached("acl-b", 0, &cur), 0) << pxrd_->stdout_text();
}

// ---------------------------------------------------------------------------------------------------
// Program memory running out.

class AclSmallE2e : public AclE2e
{
protected:
    // 2 MiB of program memory: room for a few of the lists below, not for all.
    const char *sim_size() const override { return "small"; }
};

// Lists whose programs are each a cross product of source and destination ports, bound inbound to an
// interface of their own in VPN 10.
constexpr int kBigSeqs = 120;
std::string big_lists(const std::vector<std::string> &v4, const std::vector<std::string> &v6)
{
    auto lists = [](const std::vector<std::string> &names) {
        std::ostringstream o;
        for (size_t k = 0; k < names.size(); k++) {
            o << (k ? "," : "") << R"({"name":")" << names[k] << R"(","sequence":[)";
            for (int i = 1; i <= kBigSeqs; i++)
                o << (i > 1 ? "," : "") << R"({"number":)" << i << R"(,"match":{"source-port":[")" << 1000 + 2 * i
                  << R"("],"destination-port":[")" << 1000 + 2 * i << R"("]},"action":{"base-action":"accept"}})";
            o << "]}";
        }
        return o.str();
    };
    std::ostringstream o;
    o << R"({"ardenta-policy:policy":{"access-list":[)" << lists(v4) << R"(],"ipv6":{"access-list":[)" << lists(v6)
      << R"(]}},"ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"10","interface":[)";
    bool first = true;
    for (const auto *names : {&v4, &v6})
        for (const std::string &n : *names) {
            o << (first ? "" : ",") << R"({"if-name":"if-)" << n << R"(",)" << (names == &v6 ? R"("ipv6":{)" : "")
              << R"("access-list":[{"direction":"in","acl-name":")" << n << R"("}])" << (names == &v6 ? "}" : "")
              << "}";
            first = false;
        }
    o << "]}]}}";
    return o.str();
}

TEST_F(AclSmallE2e, OutOfProgramMemoryAlertsAndRetriesOnceBlocksAreFreed)
{
    const std::string host = e2e::hostname();
    std::smatch slots;
    const std::string ready = fp_->stdout_text();
    ASSERT_TRUE(std::regex_search(ready, slots, std::regex(R"((\d+) filters)"))) << ready;
    const int no_filter = std::stoi(slots[1]);

    // IPv4 lists are compiled first: the last of them and every IPv6 list find no room.
    const std::vector<std::string> v4{"big4-0", "big4-1", "big4-2", "big4-3"}, v6{"big6-0", "big6-1"};
    size_t mark = syslog().mark();
    std::string out;
    ASSERT_EQ(commit("load", big_lists(v4, v6), &out), 0) << out;
    // Compiles take their time on a loaded machine: wait for each list's word before the quiet.
    for (const auto *names : {&v4, &v6})
        for (const std::string &n : *names) {
            size_t c = 0;
            ASSERT_FALSE(pxrd_line(R"("event":"attach".*"name":")" + n + "\"", &c).empty()) << pxrd_->stdout_text();
        }
    pxrd_quiet();
    // Every list is attached, those without program memory with the no-filter index.
    auto filters = [&] {
        std::map<std::string, int> last;
        const std::string text = pxrd_->stdout_text();
        const std::regex re(R"re("event":"attach".*"filter_index":(\d+),"name":"(big[46]-\d)")re");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
            last[(*it)[2]] = std::stoi((*it)[1]);
        return last;
    };
    const std::map<std::string, int> filter = filters();
    const std::string text = pxrd_->stdout_text();
    ASSERT_EQ(filter.size(), v4.size() + v6.size()) << text;
    std::vector<std::string> fitted, failed;
    for (auto &[name, f] : filter)
        (f == no_filter ? failed : fitted).push_back(name);
    ASSERT_TRUE(std::count(failed.begin(), failed.end(), "big4-3") &&
                std::count(failed.begin(), failed.end(), "big6-1"))
        << "the lists should not all fit: " << text;
    ASSERT_LE(failed.size(), fitted.size()) << "the retry should have room for them: " << text;
    for (const std::string &n : failed) {
        auto line = syslog().wait_for("%Ardenta-" + host + "-ZELD-1-ALRT-1100003: Failed to allocate program memory " +
                                          "for access list - " + n + ". Continuing without the access-list.",
                                      kWait, &mark);
        ASSERT_TRUE(line) << syslog().dump();
        EXPECT_EQ(line->pri, LOG_LOCAL7 | LOG_ALERT);
    }

    // The fitted lists go; once their blocks are released every failed list is retried and attached.
    std::vector<std::string> keep4, keep6;
    for (const std::string &n : failed)
        (n.starts_with("big4") ? keep4 : keep6).push_back(n);
    mark = syslog().mark();
    size_t cur = pxrd_lines();
    ASSERT_EQ(commit("replace", big_lists(keep4, keep6), &out), 0) << out;
    for (const std::string &n : failed) {
        const bool six = n.starts_with("big6");
        size_t at = mark;
        EXPECT_TRUE(logged(std::string(six ? "Retry programming for ACL6: " : "Retry programming for ACL: ") + n, &at))
            << syslog().dump();
        auto line = syslog().wait_for(
            "%Ardenta-" + host + "-ZELD-6-INFO-1100005: Successfully re-programmed access list - " + n, kWait, &at);
        ASSERT_TRUE(line) << syslog().dump();
        EXPECT_EQ(line->pri, LOG_LOCAL7 | LOG_INFO);
        size_t from = cur;
        EXPECT_GE(attached(n, six ? 1 : 0, &from), 0);
    }
    pxrd_quiet();
    auto now = filters();
    for (const std::string &n : failed)
        EXPECT_LT(now[n], no_filter) << n << " is left without a program: " << pxrd_->stdout_text();

    // The status notifications: each failed list once "Failed", then "Success".
    // Notifications are sent from a writer thread: poll until the last one is there.
    std::string notes;
    e2e::poll_until([&] {
        notes = cli({"notifications"});
        return std::all_of(failed.begin(), failed.end(), [&](const std::string &n) {
            return std::regex_search(notes, std::regex("access-list-status.*\"" + n + "\".*\"Success\""));
        });
    });
    for (const std::string &n : failed)
        EXPECT_TRUE(std::regex_search(notes, std::regex("access-list-status.*\"" + n + "\".*\"Failed\"[\\s\\S]*" +
                                                        "access-list-status.*\"" + n + "\".*\"Success\"")))
            << notes;
}

}  // namespace
