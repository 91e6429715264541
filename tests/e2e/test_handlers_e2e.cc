// Configuration from the database to the forwarding plane, end to end: cdb-cli commits into cdb-sim,
// zeld's handlers and commit pass publish programs into fp-sim's shared block and bind them at
// pxrd-sim; fp-sim runs traces through the published programs.
#include "standins.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

namespace
{

using e2e::kWait;
using namespace std::chrono_literals;

using e2e::GenSequence;

using HandlersE2e = e2e::StandIns;

TEST_F(HandlersE2e, GeneratedDataPolicyFirstMatchThroughReplaceAndRestarts)
{
    e2e::Generated g(20240607, e2e::Generated::data);
    const auto seqs = g.sequences(40, 10);
    const auto trace = g.packets(3000);

    apply(g.json(seqs));
    int filter = settled_filter("gen");
    ASSERT_GE(filter, 0) << pxrd_->stdout_text() << syslog().dump();
    expect_first_match(g, seqs, true, trace, filter);

    // Some sequences go, some flip their action, new ones come.
    std::vector<GenSequence> next;
    for (size_t i = 0; i < seqs.size(); i++) {
        if (i % 5 == 0)
            continue;
        next.push_back(seqs[i]);
        if (i % 3 == 0)
            next.back().drop = !next.back().drop;
    }
    for (int i = 0; i < 8; i++)
        next.push_back(g.sequence(2005 + 10 * i));
    size_t cur = pxrd_lines();
    apply(g.json(next), "replace");
    ASSERT_FALSE(pxrd_line(R"("event": ?"unbind".*"name": ?"gen".*"vpns": ?\[100,101,102\])", &cur).empty());
    filter = settled_filter("gen");
    ASSERT_GE(filter, 0) << pxrd_->stdout_text();
    expect_first_match(g, next, true, trace, filter);

    // pxrd comes back: it learns every binding again, unchanged.
    restart_pxrd();
    cur = 0;
    ASSERT_FALSE(
        pxrd_line(R"("event": ?"bind".*"filter_index": ?)" + std::to_string(filter) + R"(,.*"vpns": ?\[100,101,102\])",
                  &cur)
            .empty())
        << pxrd_->stdout_text();

    // zeld comes back: the initial read re-creates an equivalent program, bound once.
    size_t mark = syslog().mark();
    zeld_->signal(SIGUSR2);
    ASSERT_EQ(e2e::exit_code(zeld_->wait_exit()), 0);
    cur = pxrd_lines();
    start_zeld();
    filter = settled_filter("gen|gen-vpns");
    ASSERT_GE(filter, 0) << pxrd_->stdout_text();
    expect_first_match(g, next, true, trace, filter);
    // One program: whether pxrd hears of it from the commit or from the announcement when it
    // registers, it is bound to one filter, and the VPNs are those of the list.
    std::set<std::string> filters;
    for (std::smatch m;
         !(m = pxrd_line(R"re("event":"bind".*"filter_index":(\d+),"name":"(gen|gen-vpns)")re", &cur, 0ms)).empty();)
        filters.insert(m[1]);
    EXPECT_EQ(filters, (std::set<std::string>{std::to_string(filter)})) << pxrd_->stdout_text();
    EXPECT_FALSE(syslog().wait_for_regex(
        std::regex("failed assertion|Failed to (add|delete|change|find|update|allocate|program)"), 0ms, &mark))
        << syslog().dump();
}

constexpr const char *kObjects = R"({
  "ardenta-policy:policy": {
    "mirror": [{"name": "m1", "remote-dest": [{"address": "10.20.0.5", "source": "10.20.0.1"}]}]
  },
  "ardenta-policy:policy-from-ostrel": {
    "lists": {"vpn-list": [{"name": "vl", "vpn": [{"id": "30"}, {"id": "40-41"}]},
                           {"name": "idle", "vpn": [{"id": "50"}]}]},
    "policer": [{"name": "slow", "rate": "8", "burst": 1}],
    "data-policy": [
      {"name": "objs", "vpn-list": [{"name": "vl", "default-action": "accept", "sequence": [
        {"number": 10, "match": {"protocol": [17]},
         "action": {"base-action": "accept", "count": "c10", "policer-name": "slow"}},
        {"number": 20, "match": {"protocol": [6]},
         "action": {"base-action": "accept", "count": "c20", "mirror-name": "m1"}},
        {"number": 30, "match": {"protocol": [1]},
         "action": {"base-action": "accept", "count": "c30", "set": {"qor-tloc-pref-list": [
           {"index": 1, "tloc-ip": "172.16.0.1", "tloc-color": "mpls", "tloc-encap": "ipsec",
            "vpn-label": 1001, "preference": 100},
           {"index": 2, "tloc-ip": "172.16.0.2", "tloc-color": "biz-internet", "tloc-encap": "ipsec",
            "vpn-label": 1002, "preference": 100}]}}}]}]},
      {"name": "idle-pol", "vpn-list": [{"name": "idle", "default-action": "drop"}]}
    ]
  }
})";

TEST_F(HandlersE2e, PolicersMirrorsTlocListsAndVpnRangesReachTheForwardingPlane)
{
    apply(kObjects);
    const int filter = settled_filter("objs");
    ASSERT_GE(filter, 0) << pxrd_->stdout_text() << syslog().dump();
    auto lines = run_trace(filter, std::string(e2e::kThreePackets) + e2e::kThreePackets);
    ASSERT_EQ(lines.size(), 6u);
    // The policer of 8 bit/s lets nothing through; the mirror is number 1 with its destination; the
    // TLOC list has no usable locator before krod reports them.
    EXPECT_NE(lines[3].find("police 10.slow"), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find("dropped"), std::string::npos) << lines[3];
    EXPECT_NE(lines[1].find("mirror 1"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("tloc-list 0"), std::string::npos) << lines[2];
    // A policy whose vpn-list has no sequences has no program and no binding.
    EXPECT_EQ(pxrd_->stdout_text().find("idle-pol"), std::string::npos);

    // krod reports both locators up: the list's slot fills.
    size_t cur = pxrd_lines();
    ASSERT_TRUE(krod_->write_stdin("update 172.16.0.1 2 ipsec"));
    ASSERT_TRUE(krod_->write_stdin("update 172.16.0.2 4 ipsec"));
    ASSERT_FALSE(pxrd_line(R"("event":"unbind".*"name":"objs")", &cur).empty()) << krod_->stdout_text();
    int now = settled_filter("objs");
    ASSERT_GE(now, 0);
    lines = run_trace(now, e2e::kThreePackets);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("tloc-list 16"), std::string::npos) << lines[2];

    // A faster policer is written into the published program: same filter, no new binding.
    cur = pxrd_lines();
    apply(R"({"ardenta-policy:policy-from-ostrel":{"policer":[
        {"name":"slow","rate":"10000000000","burst":1000000}]}})");
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(pxrd_lines(), cur) << pxrd_->stdout_text();
    lines = run_trace(now, e2e::kThreePackets);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].find("dropped"), std::string::npos) << lines[0];

    // VPN ranges bind and unbind at once, and only for a bound vpn-list.
    apply(R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[
        {"name":"vl","vpn":[{"id":"60-61"}]},{"name":"idle","vpn":[{"id":"55"}]}]}}})");
    auto m =
        pxrd_line(R"re("event":"(bind|unbind)".*"filter_index":(\d+),"name":"([^"]+)".*"vpns":\[([0-9,]*)\])re", &cur);
    EXPECT_EQ(m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4),
              "bind " + std::to_string(now) + " objs 60,61");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(pxrd_lines(), cur) << "one binding only: " << pxrd_->stdout_text();

    std::string cfg = kObjects;
    const std::string range = R"(, {"id": "40-41"})";
    apply(cfg.replace(cfg.find(range), range.size(), R"(, {"id": "60-61"})"), "replace");
    m = pxrd_line(R"re("event":"(bind|unbind)".*"name":"([^"]+)".*"vpns":\[([0-9,]*)\])re", &cur);
    EXPECT_EQ(m.str(1) + " " + m.str(3), "unbind 40,41");
    EXPECT_TRUE(zeld_->running());
}

// What the schema lets through is applied or reported, never a reason to stop.
TEST_F(HandlersE2e, OddButValidConfigurationIsAppliedOrReported)
{
    std::string out;
    // A vpn-list too large for one binding message: a failed policy, said so.
    size_t mark = syslog().mark();
    apply(R"({"ardenta-policy:policy-from-ostrel":{
        "lists":{"vpn-list":[{"name":"huge","vpn":[{"id":"1-20000"}]},{"name":"empty"}]},
        "data-policy":[{"name":"big","vpn-list":[{"name":"huge","sequence":[{"number":1}]}]},
                       {"name":"nothing","vpn-list":[{"name":"empty","sequence":[{"number":65535}]}]}]}})");
    EXPECT_TRUE(syslog().wait_for_regex(
        std::regex("ALRT-1100006: Failed to program policy big - huge: its VPNs do not fit"), kWait, &mark))
        << syslog().dump();
    e2e::poll_until([&] { return cli({"notifications"}).find("\"big\"") != std::string::npos; }, 5s);
    EXPECT_NE(cli({"notifications"}).find("Failed"), std::string::npos) << cli({"notifications"});

    // Refused at commit: the error says why, and nothing reaches zeld.
    struct {
        const char *json, *error;
    } refused[] = {
        {R"({"ardenta-policy:policy-from-ostrel":{"lists":{"vpn-list":[{"name":"huge","vpn":[{"id":"10-10"}]}]}}})",
         "low below high"},
        {R"({"ardenta-policy:policy-from-ostrel":{"data-policy":[{"name":"x","vpn-list":[{"name":"nope"}]}]}})",
         "nope"},
    };
    for (auto &r : refused) {
        EXPECT_NE(commit("load", r.json, &out), 0) << r.json;
        EXPECT_NE(out.find(r.error), std::string::npos) << out;
    }
    // Deleting a list a policy still names is refused too.
    EXPECT_NE(commit("replace", R"({"ardenta-policy:policy-from-ostrel":{
        "lists":{"vpn-list":[{"name":"huge","vpn":[{"id":"1-20000"}]}]},
        "data-policy":[{"name":"nothing","vpn-list":[{"name":"empty","sequence":[{"number":65535}]}]}]}})",
                     &out),
              0);

    // The examples: every handler, one after another.
    load_examples();
    const int ar = settled_filter("corp-app-route");
    ASSERT_GE(ar, 0) << pxrd_->stdout_text();
    // Port 22 goes to sequence 30 (no class named: "__all_tunnels__", 0); the rest to the default
    // "best-effort", the third class configured.
    auto lines = run_trace(ar, "167772161\t167772162\t1000\t22\t6\t0\t0\n167772161\t167772162\t1000\t23\t6\t0\t0\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("sla-class 0"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("default sla-class 3"), std::string::npos) << lines[1];
    EXPECT_GE(settled_filter("corp-data"), 0) << pxrd_->stdout_text();

    // Everything goes: zeld lets go of every object in order.
    int rc = -1;
    out = cli({"replace", "--empty"}, &rc);
    EXPECT_EQ(rc, 0) << out;
    std::this_thread::sleep_for(800ms);
    EXPECT_TRUE(zeld_->running());
    EXPECT_FALSE(syslog().wait_for_regex(std::regex("failed assertion"), 0ms, &mark));
}

// Two data policies and an app-route policy whose names interleave, and a data policy whose name
// is longer than a reply carries.
const std::string kLongName = "policy-with-a-name-of-forty-characters-x";
const std::string kShowPolicies = R"({"ardenta-policy:policy-from-ostrel":{
  "lists":{"vpn-list":[{"name":"vl-a","vpn":[{"id":"30"}]},{"name":"vl-g","vpn":[{"id":"31"}]},
                       {"name":"vl-l","vpn":[{"id":"32"}]}]},
  "data-policy":[
    {"name":"alpha","vpn-list":[{"name":"vl-a","sequence":[
      {"number":10,"match":{"protocol":[17]},"action":{"base-action":"accept","count":"a-udp"}}]}]},
    {"name":"gamma","vpn-list":[{"name":"vl-g","sequence":[
      {"number":10,"match":{"protocol":[6]},"action":{"base-action":"accept","count":"g-tcp"}}]}]},
    {"name":")" + kLongName + R"(","vpn-list":[{"name":"vl-l","sequence":[
      {"number":10,"action":{"base-action":"accept"}}]}]}],
  "app-route-policy":[{"name":"beta","vpn-list":[{"name":"vl-a","sequence":[
    {"number":10,"match":{"protocol":[6]},"action":{"sla-class":{"preferred-color":["mpls"]}}}]}]}]}})";

// Rows of a show table below its header, as cells.
std::vector<std::vector<std::string>> table_rows(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream cells(line);
        rows.emplace_back(std::istream_iterator<std::string>(cells), std::istream_iterator<std::string>());
    }
    return rows;
}

// Packets per counter name in fp-sim's verdict lines.
std::map<std::string, uint64_t> tally(const std::vector<std::string> &verdicts)
{
    std::map<std::string, uint64_t> n;
    const std::regex count(" count (\\S+)");
    for (const std::string &v : verdicts)
        for (auto it = std::sregex_iterator(v.begin(), v.end(), count); it != std::sregex_iterator(); ++it)
            n[(*it)[1]]++;
    return n;
}

// Random packets, with a share aimed at the first sequence of each list (branch servers to 443,
// guests to management hosts, UDP for alpha).
std::string show_trace(std::mt19937 &rng, size_t n)
{
    std::ostringstream o;
    for (size_t i = 0; i < n; i++) {
        const uint32_t src = rng() % 3 == 0 ? 0x0A010000u | (rng() & 0xFFFF) : 0xC0A83200u | (rng() & 0xFF);
        const uint32_t dst = rng() % 2 ? 0x0A640000u | (rng() & 0xFF) : static_cast<uint32_t>(rng());
        const int proto = rng() % 2 ? 6 : 17;
        o << src << '\t' << dst << '\t' << 1000 + rng() % 1000 << '\t' << (rng() % 2 ? 443 : 53) << '\t' << proto
          << "\t0\t0\n";
    }
    return o.str();
}

// What `cdb-cli show` reports against the model and fp-sim's own counts, and what a clear resets.
TEST_F(HandlersE2e, ShowListsTheModelAndCountsWhatTheForwardingPlaneCounted)
{
    load_examples({"data-policy.json", "access-lists.json"});
    std::string out;
    apply(kShowPolicies);
    const int corp = settled_filter("corp-data"), alpha = settled_filter("alpha|vl-a");
    ASSERT_GE(corp, 0) << pxrd_->stdout_text();
    ASSERT_GE(alpha, 0) << pxrd_->stdout_text();
    size_t cur = 0;
    auto att = pxrd_line(R"("event":"attach","opcode":3,"family":0,"filter_index":(\d+),"name":"acl-guest-in")", &cur);
    ASSERT_FALSE(att.empty()) << pxrd_->stdout_text();
    const int guest = std::stoi(att[1]);

    // Names by type in the model's order; the long name cut to 32 characters ends the listing.
    auto names = [&](const std::vector<std::string> &args) {
        std::vector<std::string> v;
        int rc = -1;
        for (auto &row : table_rows(cli(args, &rc)))
            v.push_back(row.at(0));
        EXPECT_EQ(rc, 0);
        return v;
    };
    const std::string cut = kLongName.substr(0, 32);
    const std::pair<std::vector<std::string>, std::vector<std::string>> lists[] = {
        {{"data-policy-filters"}, {"alpha", "gamma", "corp-data", cut}},
        {{"app-route-policy-filters"}, {"beta"}},
        {{"data-policy-filters", "--from", "corp-data"}, {"corp-data", cut}},
        {{"data-policy-filters", "delta"}, {}},
        {{"data-policy-vpnlist", "corp-data"}, {"corp-vpns"}},
        {{"data-policy-policers", "corp-data", "corp-vpns"}, {"20.rate-10m"}},
        {{"access-list-names"}, {"acl-guest-in"}},
        {{"access-list-names-v6"}, {"acl6-mgmt"}},
        {{"access-policy-policer-list", "acl-guest-in"}, {"20.guest-5m"}},
    };
    for (const auto &[args, want] : lists) {
        std::vector<std::string> show{"show"};
        show.insert(show.end(), args.begin(), args.end());
        EXPECT_EQ(names(show), want) << args[0];
    }
    EXPECT_EQ(table_rows(cli({"show", "access-policy-interface-list", "acl-guest-in"})),
              (std::vector<std::vector<std::string>>{{"ge0/1", "in"}, {"ge0/2", "out"}}));
    EXPECT_EQ(table_rows(cli({"show", "access-policy-interface-list-v6", "acl6-mgmt"})),
              (std::vector<std::vector<std::string>>{{"ge0/1", "in"}, {"ge0/1", "out"}}));

    // Counters: what fp-sim counted per name, in the table and in the JSON document alike.
    std::mt19937 rng(7);
    const auto corp_n = tally(run_trace(corp, show_trace(rng, 60)));
    const auto alpha_n = tally(run_trace(alpha, show_trace(rng, 40)));
    const auto guest_n = tally(run_trace(guest, show_trace(rng, 60)));
    ASSERT_GT(corp_n.count("web-to-servers") + guest_n.count("guest-to-mgmt") + alpha_n.count("a-udp"), 2u);
    auto expect_counters = [&](const std::vector<std::string> &show, const std::map<std::string, uint64_t> &want) {
        std::vector<std::string> args{"show"};
        args.insert(args.end(), show.begin(), show.end());
        const auto rows = table_rows(cli(args));
        ASSERT_FALSE(rows.empty()) << show[0];
        for (const auto &row : rows) {
            ASSERT_EQ(row.size(), 3u) << show[0];
            const uint64_t n = want.count(row[0]) ? want.at(row[0]) : 0;
            EXPECT_EQ(row[1], std::to_string(n)) << show[0] << " " << row[0];
        }
        args.push_back("--json");
        int rc = -1;
        const std::string doc = cli(args, &rc);
        EXPECT_EQ(rc, 0) << doc;
        for (const auto &row : rows)
            EXPECT_NE(
                doc.find("{\"counter-name\":\"" + row[0] + "\",\"packets\":" + row[1] + ",\"bytes\":" + row[2] + "}"),
                std::string::npos)
                << doc;
    };
    expect_counters({"data-policy-counters", "corp-data", "corp-vpns"}, corp_n);
    expect_counters({"data-policy-counters", "alpha", "vl-a"}, alpha_n);
    expect_counters({"access-policy-counter-list", "acl-guest-in"}, guest_n);

    // Clearing corp-data resets its counters and nobody else's.
    int rc = -1;
    out = cli({"request", "zel_clear_data_policy", "name", "corp-data"}, &rc);
    ASSERT_EQ(rc, 0) << out;
    expect_counters({"data-policy-counters", "corp-data", "corp-vpns"}, {});
    expect_counters({"data-policy-counters", "alpha", "vl-a"}, alpha_n);
    expect_counters({"access-policy-counter-list", "acl-guest-in"}, guest_n);
    // Another type's clear leaves data policies alone; one without a name clears every one of its type.
    ASSERT_EQ((cli({"request", "zel_clear_app_route_policy"}, &rc), rc), 0);
    expect_counters({"data-policy-counters", "alpha", "vl-a"}, alpha_n);
    ASSERT_EQ((cli({"request", "zel_clear_data_policy"}, &rc), rc), 0);
    expect_counters({"data-policy-counters", "alpha", "vl-a"}, {});

    // Unknown parents and callpoints: an empty answer, and an error that scripts can read.
    EXPECT_EQ(cli({"show", "data-policy-counters", "nobody", "corp-vpns", "--json"}),
              "{\"callpoint\":\"data-policy-counters\",\"keys\":[\"nobody\",\"corp-vpns\"],\"entries\":[]}\n");
    EXPECT_NE(cli({"show", "data-policy-counter", "--json"}, &rc).find("\"error\":"), std::string::npos);
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(zeld_->running());
}

}  // namespace
