// Every ClassBench rule set, compiled and run through the interpreter, must
// select for every packet the rule a first-match linear search finds.
#include "compiler/zel_field.h"
#include "tools/zelc/zelc_rules.h"
#include "zelc_test_util.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

constexpr uint32_t DEFAULT_BLOCKS = 1048576;

zelc_ruleset read_set(const std::string &path, zelc_format fmt = zelc_format::classbench)
{
    zelc_ruleset rs;
    std::string err;
    EXPECT_EQ(zelc_read_rules(path, fmt, &rs, &err), 0) << err;
    return rs;
}

// Classifies every packet; returns how many matched no rule.
size_t expect_agreement(const zelc_ruleset &rs, const zelc_compiled &c, const std::vector<zelc_packet> &pkts,
                        const std::string &what)
{
    zelc_classifier cl;
    std::string err;
    EXPECT_EQ(cl.load(rs, c.image, &err), 0) << what << ": " << err;
    size_t unmatched = 0, wrong = 0;
    for (size_t i = 0; i < pkts.size(); i++) {
        uint32_t want = zelc_linear_match(rs, pkts[i]);
        unmatched += want == 0;
        int64_t got = cl.classify(pkts[i]);
        if (got != want && wrong++ < 5)
            ADD_FAILURE() << what << " packet " << i << " (" << zelc_trace_line(pkts[i], 0) << "): image selects "
                          << got << ", linear search " << want;
    }
    EXPECT_EQ(wrong, 0u) << what;
    return unmatched;
}

// The 1000-rule sets on their traces and on generated packets, with and without their catch-all rules; the
// 100-rule sets on generated packets (the exact fit of program memory: CompilerBound in tests/compiler).
TEST(ClassBench, TracesAgreeWithLinearSearch)
{
    ZELC_NEED_CLASSBENCH(dir);
    for (const char *set : {"acl1", "fw1", "ipc1"}) {
        zelc_ruleset rs = read_set(dir + "/" + set + "_100.rules");
        zelc_compiled c;
        ASSERT_EQ(zelc_compile(rs, DEFAULT_BLOCKS, &c), 0) << set;
        EXPECT_GT(expect_agreement(rs, c, zelc_generate_packets(rs, 5000, 3), set), 0u) << set;

        const std::string base = dir + "/" + set + "_1000";
        rs = read_set(base + ".rules");
        std::vector<zelc_packet> pkts;
        std::string err;
        ASSERT_EQ(zelc_read_trace(base + ".trace", &pkts, &err), 0) << err;
        std::vector<zelc_packet> extra = zelc_generate_packets(rs, 3000, 11);
        pkts.insert(pkts.end(), extra.begin(), extra.end());
        ASSERT_EQ(zelc_compile(rs, DEFAULT_BLOCKS, &c), 0) << set;
        EXPECT_EQ(c.image.size(), c.size);
        expect_agreement(rs, c, pkts, set);

        // These sets end in rules that match everything; without them random headers mostly reach the default.
        std::erase_if(rs.rules, [](const zelc_rule &r) { return r.conds.empty(); });
        ASSERT_EQ(zelc_compile(rs, DEFAULT_BLOCKS, &c), 0) << set;
        EXPECT_GT(expect_agreement(rs, c, pkts, std::string(set) + " without catch-all"), 1000u) << set;
    }
}

// All fifteen fields give 29 tables: table ids and registers above 15 wrap in
// the instruction words, the interpreter resolves them through the directory.
TEST(Native, AllFieldsBeyondFifteenTables)
{
    std::ostringstream text;
    const char *fields[] = {"protocol", "src-port", "dst-port", "src-addr",   "dst-addr",      "dscp",        "fc",
                            "tcp",      "pkt-len",  "app",      "app-family", "traffic-class", "next-header", "plp"};
    const char *values[][3] = {{"6", "17", "1-50"},
                               {"1000-2000", "53", "0-1023"},
                               {"80,443", "53", "22"},
                               {"10.0.0.0/8", "10.1.0.0/16", "192.168.0.0/16"},
                               {"172.16.0.0/12", "8.8.8.8", "0.0.0.0/1"},
                               {"46", "0-10", "46"},
                               {"1", "2-3", "64"},
                               {"2", "18", "16-31"},
                               {"64-1500", "0-63", "1501-65535"},
                               {"300", "1-400", "4000"},
                               {"7", "1-20", "100"},
                               {"5", "0-3", "255"},
                               {"58", "6", "17"},
                               {"0-1", "2", "5"}};
    for (int r = 0; r < 12; r++) {
        text << "rule " << (r + 1) * 10;
        for (int f = 0; f < 14; f++)
            if ((r + f) % 3 != 0)
                text << " " << fields[f] << " " << values[f][(r + f) % 3];
        text << " action accept count c" << r << "\n";
    }
    text << "rule 200 protocol 6 action reject\n";
    zelc_ruleset rs;
    std::string err;
    ASSERT_EQ(zelc_read_rules_text(text.str(), "all.zel", zelc_format::native, &rs, &err), 0) << err;
    zelc_compiled c;
    ASSERT_EQ(zelc_compile(rs, DEFAULT_BLOCKS, &c), 0);
    EXPECT_EQ(c.leaf_tables, 15u);
    EXPECT_EQ(c.combined_tables, 14u);
    expect_agreement(rs, c, zelc_generate_packets(rs, 20000, 9), "all fields");
}

}  // namespace
