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

using e2e::GenSequence;
using e2e::kWait;
using e2e::Prefix;
using namespace std::chrono_literals;

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

    bool logged(const std::string &text, size_t *cur, std::chrono::milliseconds wait = kWait)
    {
        return syslog().wait_for(text, wait, cur).has_value();
    }
};

TEST_F(AclE2e, GeneratedListsOfBothFamiliesGiveTheFirstMatchAndPrefixListsRecompileTheirUsers)
{
    e2e::Generated g4(20250101, e2e::Generated::acl4), g6(20250102, e2e::Generated::acl6);
    auto seqs4 = g4.sequences(24, 1), seqs6 = g6.sequences(24, 1);
    // The first sequence of the IPv4 list names only pl-0, so that changing pl-0 changes verdicts.
    auto first = std::min_element(seqs4.begin(), seqs4.end(), [](auto &a, auto &b) { return a.num < b.num; });
    *first = GenSequence{.num = first->num, .src_list = 0};
    const GenSequence other{.num = 5, .src_list = 3, .proto = {{17, 17}}};
    std::ostringstream cfg;
    cfg << R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[)" << g4.lists_json() << R"(]},"access-list":[)"
        << g4.acl_json("gen4", true, seqs4) << "," << g4.acl_json("other4", false, {other})
        << R"(],"ipv6":{"access-list":[)" << g6.acl_json("gen6", false, seqs6) << R"(]}},
        "ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"10","interface":[
          {"if-name":"ge0/1","access-list":[{"direction":"in","acl-name":"gen4"}],
           "ipv6":{"access-list":[{"direction":"in","acl-name":"gen6"}]}},
          {"if-name":"ge0/2","access-list":[{"direction":"out","acl-name":"other4"}]}]}]}})";
    std::string out;
    apply(cfg.str());
    size_t cur = 0;
    const int f4 = attached("gen4", 0, &cur);
    ASSERT_GE(f4, 0) << pxrd_->stdout_text() << syslog().dump();
    cur = 0;
    const int f6 = attached("gen6", 1, &cur);
    ASSERT_GE(f6, 0) << pxrd_->stdout_text();
    ASSERT_LT(f6, 256) << syslog().dump();
    cur = 0;
    ASSERT_GE(attached("other4", 0, &cur), 0) << pxrd_->stdout_text();

    const auto trace4 = g4.packets(2500), trace6 = g6.packets(2500);
    expect_first_match(g4, seqs4, true, trace4, f4);
    expect_first_match(g6, seqs6, false, trace6, f6);

    // pl-0 grows: gen4 alone is compiled again and attached where it was; other4 and gen6 are left alone.
    Prefix added;
    do
        added = g4.pick();
    while (std::any_of(g4.lists[0].begin(), g4.lists[0].end(), [&](auto &p) { return p.addr == added.addr; }));
    std::vector<const GenSequence *> before;
    for (const auto &p : trace4)
        before.push_back(g4.first_match(seqs4, p));
    g4.lists[0].push_back(added);
    int changed = 0;
    for (size_t i = 0; i < trace4.size(); i++)
        changed += g4.first_match(seqs4, trace4[i]) != before[i];
    ASSERT_GT(changed, 0) << "the trace should notice the change";
    cur = pxrd_quiet();
    apply(R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[{"name":"pl-0",
        "ip-prefix":[{"ip-prefix":")" +
          added.text() + R"("}]}]}}})");
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
    apply(kBound);
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
    apply(R"({"ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"15"}]}})");
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
    restart_pxrd();
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

TEST_F(AclE2e, SameNameInBothFamiliesAndMovingBetweenLists)
{
    std::string out;
    size_t cur = 0;
    apply(acl_config(kLongA));
    const int fa = attached(kLongA, 0, &cur);
    ASSERT_GE(fa, 0) << pxrd_->stdout_text() << syslog().dump();
    size_t c6 = 0;
    const int f6 = attached(kLongA, 1, &c6);
    ASSERT_GE(f6, 0) << pxrd_->stdout_text();
    EXPECT_NE(f6, fa) << "an IPv4 and an IPv6 list of one name are distinct";

    auto lines = run_trace(fa, e2e::kThreePackets);
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
    EXPECT_EQ(run_trace(fa, e2e::kThreePackets), lines);
    EXPECT_FALSE(syslog().wait_for_regex(std::regex("failed assertion|Failed to"), 0ms, &mark)) << syslog().dump();

    // The interface moves from A to B in one commit: A is detached there, B attached.
    apply(acl_config("acl-b"), "replace");
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
    apply(big_lists(v4, v6));
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
    apply(big_lists(keep4, keep6), "replace");
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
