// The zelc command line: the two-protocol example image, the ClassBench images byte for byte, errors on bad
// input, and classification against DPDK's rte_acl.
#include "zelc_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

namespace
{

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

    std::string trace = temp_path("two.trace");
    write_file(trace, "1 2 3 4 6\n1 2 3 4 17\n1 2 3 4 7\n4294967295 4294967295 65535 65535 17\n");
    r = run_command(zelc_binary() + " classify " + rules + " " + trace + " --format=classbench");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n2\n0\n2\n");
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

// Images of the ClassBench 100- and 1000-rule sets stay byte for byte what they were when first verified
// against a first-match search. Each set is compiled by zelc in a fresh process: the interval trees follow
// the process's unseeded random() sequence, so only a new process draws them the same way every time.
TEST(ZelcGolden, ClassBenchImagesAreUnchanged)
{
    ZELC_NEED_CLASSBENCH(dir);
    struct golden {
        const char *set;
        size_t size;
        uint64_t hash;
    };
    const golden sets[] = {
        {"acl1_100", 527868, 0x5537fe4f36bcd5b0ull},    {"fw1_100", 1935060, 0x8eee3df3b86a49d1ull},
        {"ipc1_100", 1174880, 0x7ea031410210d013ull},   {"acl1_1000", 5746348, 0x419cb0815ef9b5a8ull},
        {"fw1_1000", 129648500, 0x3a5449b42d92d832ull}, {"ipc1_1000", 57561600, 0xb8d3a51283e0aba7ull},
        {"acl5_1000", 8841988, 0xd742aa068e8ae859ull},
    };
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer build's zelc takes minutes over the 1000-rule sets; the normal build checks them.
    const size_t nsets = 3;
#else
    const size_t nsets = std::size(sets);
#endif
    const std::string image = temp_path("golden.img");
    for (size_t i = 0; i < nsets; i++) {
        const golden &g = sets[i];
        // The largest program memory the 32-bit image size allows, so that every set compiles.
        command_result r = run_command(zelc_binary() + " compile --format classbench --blocks 33554431 " + dir + "/" +
                                       g.set + ".rules -o " + image);
        ASSERT_EQ(r.status, 0) << g.set << "\n" << r.out;
        size_t size = 0;
        EXPECT_EQ(image_hash(image, &size), g.hash) << g.set;
        EXPECT_EQ(size, g.size) << g.set;
    }
    std::remove(image.c_str());
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
