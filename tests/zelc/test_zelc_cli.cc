// The zelc command line: the two-protocol example image (hash and decoded tables),
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
    // The policy name inside the image is the rule file's name: a fixed one keeps the bytes fixed.
    const std::string work = temp_path("two");
    std::filesystem::create_directories(work);
    std::string rules = work + "/two.rules", image = work + "/two.img";
    write_file(rules, "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t0 : 65535\t0x06/0xFF\t0x0000/0x0000\t\n"
                      "@0.0.0.0/0\t0.0.0.0/0\t0 : 65535\t0 : 65535\t0x11/0xFF\t0x0000/0x0000\t\n");
    command_result r = run_command(zelc_binary() + " compile --format classbench " + rules + " -o " + image);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("rules: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("classes of the root: 3\n"), std::string::npos) << r.out;

    size_t size = 0;
    EXPECT_EQ(image_hash(image, &size), 0x2c5ccd66356f1975ull);
    EXPECT_EQ(size, 10132u);
    // The same image decoded: the rows of the two leaf tables and of the combined table.
    std::string img = read_file(image);
    ASSERT_EQ(img.size(), 10132u);
    using R = std::vector<std::array<uint32_t, 3>>;
    EXPECT_EQ(rows(img, 0), (R{{0, 1, 0}, {1, 2, 1}, {2, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows(img, 1), (R{{0, 6, 0}, {6, 7, 1}, {7, 17, 0}, {17, 18, 2}, {18, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows(img, 2), (R{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 4, 0}, {4, 5, 1}, {5, 6, 2}}));

    std::string trace = temp_path("two.trace");
    write_file(trace, "1 2 3 4 6\n1 2 3 4 17\n1 2 3 4 7\n4294967295 4294967295 65535 65535 17\n");
    r = run_command(zelc_binary() + " classify " + rules + " " + trace + " --format=classbench");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n2\n0\n2\n");
    r = run_command(zelc_binary() + " dump --format classbench " + rules);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("length = 10132 \n", 0), 0u) << r.out.substr(0, 200);
    std::filesystem::remove_all(work);
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
