// The dump commands end to end: cdb-cli asks cdb-sim, which runs zeld's command callback; what the
// callback prints to the CLI session is cdb-cli's output. Every stand-in runs, the examples are loaded.
#include "standins.h"

#include <utility>

namespace
{

using e2e::kWait;
using namespace std::chrono_literals;

class DumpE2e : public e2e::StandIns
{
protected:
    bool with_sysmgr() const override { return true; }
};

TEST_F(DumpE2e, EveryDumpCommandPrintsItsDatabasesToTheCliSession)
{
    // Nothing configured: the policy section is its header alone.
    EXPECT_EQ(request("zel_dump_policy"), "\nPolicy Database\n");

    // Requests that cannot be served say why and fail.
    struct refused {
        std::vector<std::string> args;
        std::string why;
    };
    for (const refused &r :
         {refused{{"request", "zel_dump_nothing"}, "no daemon serves action point zel_dump_nothing"},
          refused{{"request", "zel_dump_all", "verbose"}, "NAME VALUE pairs"}, refused{{"request"}, "usage"}}) {
        int rc = 0;
        const std::string out = cli(r.args, &rc);
        EXPECT_NE(rc, 0) << out;
        EXPECT_NE(out.find(r.why), std::string::npos) << out;
    }

    load_examples();
    // Published once the data policy holds a filter slot.
    const std::regex published("Name: corp-vpns, FilterId: ([0-9]|[1-9][0-9]), FilterType: 1");
    std::string all;
    ASSERT_TRUE(e2e::poll_until([&] { return std::regex_search(all = request("zel_dump_all"), published); })) << all;
    // Programs a commit replaced are released later: dump once the memory map holds still.
    std::string map, prev;
    e2e::poll_until(
        [&] {
            prev = std::exchange(map, request("zel_dump_memory_map"));
            return prev == map;
        },
        kWait, 1s);
    all = request("zel_dump_all");

    // The 17 sections of dump-all, in order.
    size_t at = 0;
    for (const char *head :
         {"\nFilter info\nLog Frequency        : ", "\nPolicy Database\n", "\nAccess List Database\n",
          "\nAccess List IPv6 Database\n", "\nVPN List Database\n", "\nPrefix List Database\n",
          "\nTLOC List Database\n", "\nTLOC Database\n", "\nMirror Database\n", "\nPolicer Database\n",
          "\nClass Database\n", "\nSLA Class Database\n", "\nAPP-List Database\n",
          "Number of filters: ", "Dumping the filter memory map", "FILTER ", "\n   DUMPING MSGQs"}) {
        const size_t found = all.find(head, at);
        ASSERT_NE(found, std::string::npos) << "section " << head << " missing or out of order:\n" << all;
        at = found + 1;
    }

    // Records with their values.
    for (
        const char *line : {
            R"(  Policy: corp-data Type: 1 Direction: \d+ Old: \d+\n    Added: \d Changed: \d\n    VPN List db: \[1\])",
            R"(\n  ACL: acl-guest-in Type: 0 FilterId: \d+\n    Intf db: \d+\n    Rule db: \d+)",
            R"(\n  Idx: \d+ 172\.16\.255\.11 : mpls : ipsec\n    Pref: \d+, Weight: \d+, Status: \d+, Resolved: \d+)",
            R"(\n      Rule Name: \[1\] corp-data - corp-vpns, Id: 10 \(#1\))",
            R"(\n  TLOC list \[1\]: corp-data - corp-vpns Sequence: 20\n    TLOCs \[2\]\n)"
            R"(        \[Idx: 1\] VPN Label: 1003 Preference: 200 172\.16\.255\.11 : mpls : ipsec\n)",
            R"(\n  VPN list: lab-vpns\n    VPN \[3\] Policy \[1\]\n      VPN: 300-309\n)",
            R"(\n                 Counter: web-to-servers\n)",
            R"(\n                 Color Mask: 0x50 biz-internet lte , Encap Mask: 0x10 ipsec , Restrict: Yes\n)",
            R"(\n                 TLOC_C/E: color: 0x40 lte  encap: 0x20 gre \n)",
            R"(\n  mirror-1 type: \d+\n    Ref: \d+\n        Remote Dest: 10\.20\.0\.5 Source: 10\.20\.0\.1\n)",
            R"(\n  voice class: \d+ queue: 1 ignore: 0\n)",
            R"(\n  video-apps Loc: 2 app-id db: 2 vpn ref: \d+ acl ref: 0\n)",
            R"(\n    Src: zeld, Tgt: krod)",
        })
        EXPECT_TRUE(std::regex_search(all, std::regex(line))) << line << "\n" << all;

    // A vpn-list with two sequences: number order under "Rule db", then again with details under "Rule List".
    EXPECT_TRUE(std::regex_search(
        all, std::regex(R"(Rule db #2\n        \[5\] lab-vpns [^\n]*\n        \[15\] lab-vpns [^\n]*\n)"
                        R"(        Default action 2\n      Rule List\n        \[5\] lab-vpns [^\n]*\n)"
                        R"(          Match Conditions: \n(            [^\n]*\n)+          Actions:\n)"
                        R"((            [^\n]*\n)+          TLOC Ctx db \(#0\)\n        \[15\] lab-vpns )")))
        << all;

    // Each single-database command prints what dump-all prints for it (nothing changes in between).
    for (const char *cmd :
         {"zel_dump_policy", "zel_dump_acl", "zel_dump_acl6", "zel_dump_vpn_list", "zel_dump_prefix_list",
          "zel_dump_tloc_list", "zel_dump_tloc", "zel_dump_mirror", "zel_dump_policer", "zel_dump_class",
          "zel_dump_sla_class", "zel_dump_app_list", "zel_dump_memory_map", "zel_dump_filter"}) {
        const std::string one = request(cmd);
        EXPECT_GT(one.size(), 20u) << cmd;
        EXPECT_NE(all.find(one), std::string::npos) << cmd << ":\n" << one;
    }
    // The configuration dump is the model part of dump-all, the hello time aside.
    const std::string config = request("zel_dump_config");
    const size_t model = all.find("\nPolicy Database\n");
    EXPECT_EQ(config.substr(config.find("\nPolicy Database\n")), all.substr(model, all.find("Index\tValid") - model));
    for (const auto &[cmd, text] : std::initializer_list<std::pair<const char *, const char *>>{
             {"zel_dump_msgq", "\n   DUMPING MSGQs"},
             {"zel_dump_memory_stats", "Number of blocks used: "},
             {"zel_dump_memory_stats", " stats:\nblock size:\t\t"},
             {"zel_dump_admin_tech", "Protocol bundle Version   : "},
             {"zel_dump_admin_tech", "\nAPP-List Database\n"}}) {
        const std::string out = request(cmd);
        EXPECT_NE(out.find(text), std::string::npos) << cmd << ":\n" << out;
    }
}

}  // namespace
