// The zelc command line: the two-protocol example image byte for byte,
// errors on bad input, and classification against DPDK's rte_acl.
#include "zelc_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>
#include <vector>

namespace
{

uint32_t word(const std::string &img, size_t off)
{
    uint32_t v;
    std::memcpy(&v, img.data() + off, 4);
    return v;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Rows of a lookup table as a sorted list (the order inside a table follows the tree shape).
std::vector<std::array<uint32_t, 3>> rows(const std::string &img, uint32_t dir_entry)
{
    uint32_t off = word(img, 472 + 24 * dir_entry), n = word(img, 472 + 24 * dir_entry + 4);
    std::vector<std::array<uint32_t, 3>> out;
    for (uint32_t i = 0; i < n; i++)
        out.push_back({word(img, off + 4 + 20 * i), word(img, off + 8 + 20 * i), word(img, off + 12 + 20 * i)});
    std::sort(out.begin(), out.end());
    return out;
}

TEST(ZelcCli, TwoProtocolRulesGiveTheReferenceImage)
{
    std::string rules = temp_path("two.rules"), image = temp_path("two.img");
    write_file(rules, "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t0 : 65535\t0x06/0xFF\t0x0000/0x0000\t\n"
                      "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t0 : 65535\t0x11/0xFF\t0x0000/0x0000\t\n");
    command_result r = run_command(zelc_binary() + " compile --format classbench " + rules + " -o " + image);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string policy = rules.substr(rules.rfind('/') + 1);
    const std::pair<uint32_t, const char *> sizes[] = {
        {472, "Header"},      {764, "Context"},  {860, "Table directory entry"},
        {884, "Instruction"}, {10132, "Action"}, {10132, "Final"}};
    for (auto [size, label] : sizes) {
        std::string line = "Policy: " + policy + "  Program size: " + std::to_string(size) + " [" + label + "]\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    EXPECT_NE(r.out.find("rules: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("classes of the root: 3\n"), std::string::npos) << r.out;

    std::string img = read_file(image);
    ASSERT_EQ(img.size(), 10132u);
    EXPECT_EQ(word(img, 0), 0u);
    EXPECT_EQ(word(img, 4), 10132u);
    EXPECT_STREQ(img.c_str() + 8, policy.c_str());
    EXPECT_EQ(word(img, 136), 4u);
    EXPECT_EQ(word(img, 140), 6u);
    EXPECT_EQ(word(img, 144), 222u);
    EXPECT_EQ(word(img, 148 + 4), 149u);
    EXPECT_EQ(word(img, 148 + 8), 165u);
    EXPECT_EQ(word(img, 148 + 12), 191u);
    EXPECT_EQ(word(img, 276), 2u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 280, img.begin() + 284), (std::vector<uint8_t>{1, 2, 12, 1}));
    EXPECT_EQ(word(img, 344 + 4), 12u);
    EXPECT_EQ(word(img, 344 + 8), 1u);
    EXPECT_EQ(word(img, 344 + 12), 0u);
    const uint32_t dir[4][3] = {{592, 3, 20}, {656, 5, 20}, {760, 6, 20}, {884, 3, 3080}};
    for (int k = 0; k < 4; k++)
        for (int w = 0; w < 3; w++)
            EXPECT_EQ(word(img, 472 + 24 * k + 4 * w), dir[k][w]) << "directory " << k << " word " << w;
    const uint32_t instrs[] = {0x11111000, 0x11222000, 0x32110003, 0x22120000, 0x12233000, 0x423F0000};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(word(img, 568 + 4 * i), instrs[i]) << "instruction " << i;
    EXPECT_EQ(word(img, 592), 1u | 1u << 8);
    EXPECT_EQ(word(img, 656), 1u | 2u << 8);
    EXPECT_EQ(word(img, 760), 1u | 3u << 8);
    EXPECT_EQ(word(img, 884), 2u);
    using R = std::vector<std::array<uint32_t, 3>>;
    EXPECT_EQ(rows(img, 0), (R{{0, 1, 0}, {1, 2, 1}, {2, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows(img, 1), (R{{0, 6, 0}, {6, 7, 1}, {7, 17, 0}, {17, 18, 2}, {18, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows(img, 2), (R{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 4, 0}, {4, 5, 1}, {5, 6, 2}}));
    // Blocks: the default (reject), then rule 1's and rule 2's count actions.
    const uint32_t blocks[] = {888, 3968, 7048};
    for (int b = 0; b < 3; b++) {
        EXPECT_EQ(word(img, blocks[b]), b == 0 ? 1u : 0u) << b;
        EXPECT_EQ(word(img, blocks[b] + 4), 3080u) << b;
    }
    EXPECT_EQ(word(img, 888 + 8), 1u);
    EXPECT_EQ(word(img, 3968 + 8), 8u);
    EXPECT_STREQ(img.c_str() + 3968 + 8 + 104, "1");
    EXPECT_STREQ(img.c_str() + 7048 + 8 + 104, "2");

    std::string trace = temp_path("two.trace");
    write_file(trace, "1 2 3 4 6\n1 2 3 4 17\n1 2 3 4 7\n4294967295 4294967295 65535 65535 17\n");
    r = run_command(zelc_binary() + " classify " + rules + " " + trace + " --format=classbench");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n2\n0\n2\n");
    r = run_command(zelc_binary() + " dump --format classbench " + rules);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("length = 10132 \n", 0), 0u) << r.out.substr(0, 200);
    std::filesystem::remove(rules);
    std::filesystem::remove(image);
    std::filesystem::remove(trace);
}

TEST(ZelcCli, BadInputAndUsageErrors)
{
    std::string rules = temp_path("bad.rules");
    write_file(rules, "rule 10 protocol 6 action accept\nrule 20 protocol 6-x action accept\n");
    command_result r = run_command(zelc_binary() + " compile " + rules + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "zelc: " + rules + ":2: expected values 'N' or 'N-M' up to 255, comma-separated, got '6-x'\n");
    r = run_command(zelc_binary() + " compile /nonexistent/x.rules 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("/nonexistent/x.rules: cannot open"), std::string::npos) << r.out;
    for (const char *args :
         {"", "frob x", "compile", "compile a b", "classify a", "compile x --blocks 0", "compile x --blocks many",
          "compile x --format csv", "compile x --bogus", "compile x -o"}) {
        r = run_command(zelc_binary() + " " + args + " 2>&1");
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.out.find("usage: zelc"), std::string::npos) << args;
    }
    write_file(rules, "rule 10 protocol 6 action accept\n");
    r = run_command(zelc_binary() + " compile --blocks 10 " + rules + " 2>&1");
    EXPECT_EQ(r.status, 1);
    // The compiler may stop at a lower bound of the size as soon as it exceeds the memory.
    EXPECT_NE(r.out.find("zelc: " + rules + ": out of program memory: the image needs at least "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the program memory has 10 blocks\n"), std::string::npos) << r.out;
    write_file(rules, "# nothing\n");
    r = run_command(zelc_binary() + " compile " + rules + " 2>&1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no rules, nothing to compile"), std::string::npos) << r.out;
    std::filesystem::remove(rules);
}

// dpdk-test-acl prints "result: R" per packet (0-based rule, 4294967295 for none).
std::vector<std::string> dpdk_results(const std::string &rules, const std::string &trace, bool *ran)
{
    command_result r = run_command(
        "dpdk-test-acl --no-huge --no-pci --file-prefix=zelc-test -l 0 -m 1024 --log-level=1 -- --rulesf=" + rules +
        " --tracef=" + trace + " --verbose=3 2>/dev/null");
    std::vector<std::string> out;
    *ran = r.status == 0;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find("result: ");
        if (at == std::string::npos)
            continue;
        unsigned long v = std::stoul(line.substr(at + 8));
        out.push_back(v == 4294967295ul ? "0" : std::to_string(v + 1));
    }
    return out;
}

TEST(ZelcCli, ClassifyAgreesWithDpdkAcl)
{
    ZELC_NEED_CLASSBENCH(dir);
    if (run_command("command -v dpdk-test-acl >/dev/null").status != 0)
        GTEST_SKIP() << "dpdk-test-acl is not installed";
    for (std::string set : {"acl1_100", "fw1_100", "ipc1_100", "acl1_1000", "fw1_1000", "ipc1_1000"}) {
        std::string rules = dir + "/" + set + ".rules", trace = dir + "/" + set + ".trace";
        if (!std::filesystem::exists(trace)) {
            trace = temp_path(set + ".trace");
            command_result g =
                run_command(zelc_binary() + " trace --format classbench --count 3000 " + rules + " > " + trace);
            ASSERT_EQ(g.status, 0) << set;
        }
        bool ran;
        std::vector<std::string> want = dpdk_results(rules, trace, &ran);
        if (!ran)
            GTEST_SKIP() << "dpdk-test-acl cannot run here";
        command_result r = run_command(zelc_binary() + " classify --format classbench " + rules + " " + trace);
        ASSERT_EQ(r.status, 0) << set;
        std::vector<std::string> got;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            got.push_back(line);
        ASSERT_EQ(got.size(), want.size()) << set;
        size_t differ = 0;
        for (size_t i = 0; i < got.size(); i++)
            if (got[i] != want[i] && differ++ < 5)
                ADD_FAILURE() << set << " packet " << i << ": zelc " << got[i] << ", rte_acl " << want[i];
        EXPECT_EQ(differ, 0u) << set;
        if (trace.find(dir) != 0) {
            EXPECT_NE(std::count(want.begin(), want.end(), "0"), 0) << set << ": no packet without a rule";
            std::filesystem::remove(trace);
        }
    }
}

}  // namespace
