// Tag and namespace hashes: the fixed values the daemon compares against, the default hash of
// every other node, the consistency checks, and the checked-in header.
#include "yang/zel_yang_hashes.h"
#include "yang_test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

using namespace yang_test;

namespace
{

// Every node with a fixed tag as "path hash value-type", sorted.
std::vector<std::string> fixed_tag_lines(ly_ctx *ctx)
{
    std::vector<std::string> lines;
    for (const auto &[arg, n] : ext_nodes(ctx, "tag-hash")) {
        uint32_t h = 0;
        char *path = lysc_path(n, LYSC_PATH_DATA, nullptr, 0);
        char hash[16];
        snprintf(hash, sizeof hash, "%08x", zel_yang_node_hash(n, &h) == 0 ? h : 0xFFFFFFFFu);
        lines.push_back(std::string(path) + " " + hash + " " + node_code(n));
        free(path);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

using Hashes = Models;

TEST(DefaultHash, IsFnv1aWithTheTopBitCleared)
{
    // Published FNV-1a 32-bit vectors: "" 0x811c9dc5, "a" 0xe40c292c, "foobar" 0xbf9cf968.
    static_assert(zel_yang_default_hash("") == 0x011c9dc5u);
    static_assert(zel_yang_default_hash("a") == 0x640c292cu);
    static_assert(zel_yang_default_hash("foobar") == 0x3f9cf968u);
    EXPECT_EQ(zel_yang_default_hash("policy-from-ostrel"), zel_tag_policy_policy_from_ostrel);
}

// The tags the handlers, the commit pass and the notifications compare against: where each sits, its
// hash and its value type, pinned by count and by the FNV-1a 64 digest of the sorted lines (printed
// in full when either changes).
TEST_F(Hashes, FixedTagsAreWhereAndWhatTheHandlersExpect)
{
    const std::vector<std::string> lines = fixed_tag_lines(ctx_);
    std::string all;
    for (const std::string &line : lines)
        all += line + "\n";
    uint64_t digest = 0xcbf29ce484222325ull;
    for (char c : all)
        digest = (digest ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    EXPECT_EQ(lines.size(), 146u) << all;
    EXPECT_EQ(digest, 0x3bb49bc6cde2ecbcull) << all;
    // Two of them by hand: a policy leaf and a notification value.
    EXPECT_NE(all.find("/ardenta-policy:policy/class-map/class/queue 47fac177 uint8\n"), std::string::npos);
    EXPECT_NE(all.find("/ardenta-policy:policy-status/system-ip 5e5f3f28 ipaddr\n"), std::string::npos);
}

TEST_F(Hashes, ModulesAreConsistent)
{
    std::vector<std::string> problems = zel_yang_check_hashes(ctx_);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(Hashes, CheckedInHeaderIsUpToDate)
{
    std::string text, err;
    ASSERT_EQ(zel_yang_generate_header(ctx_, &text, &err), 0) << err;
    std::ifstream in(std::string(yang_dir()) + "/zel_yang_hashes.h");
    std::stringstream disk;
    disk << in.rdbuf();
    EXPECT_TRUE(disk.str() == text)
        << "yang/zel_yang_hashes.h is stale: run zel_yang_hashgen yang yang/zel_yang_hashes.h";
}

TEST(HashChecks, RejectBrokenModules)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("zel-yang-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::copy_file(fs::path(yang_dir()) / "ardenta-extensions.yang", dir / "ardenta-extensions.yang",
                  fs::copy_options::overwrite_existing);
    const std::pair<std::string, const char *> modules[] = {
        {"bad-clash", "container a { ax:tag-hash \"0x1234\"; leaf b { type string; ax:tag-hash \"0x1234\"; } }\n"
                      "container c { leaf b { type string; ax:tag-hash \"0x99\"; } }\n"},
        {"bad-values", "leaf big { type string; ax:tag-hash \"0x80000000\"; }\n"
                       "leaf junk { type string; ax:tag-hash \"0x12zz\"; }\n"}};
    ly_ctx *ctx = nullptr;
    ASSERT_EQ(ly_ctx_new(dir.c_str(), LY_CTX_DISABLE_SEARCHDIR_CWD, &ctx), LY_SUCCESS);
    for (const auto &[name, body] : modules) {
        std::ofstream(dir / (name + ".yang")) << "module " << name << " { yang-version 1.1; namespace \"urn:" << name
                                              << "\"; prefix x;\nimport ardenta-extensions { prefix ax; }\n"
                                              << "ax:ns-hash \"0x25640284\";\n"
                                              << body << "}\n";
        ASSERT_NE(ly_ctx_load_module(ctx, name.c_str(), nullptr, nullptr), nullptr) << name;
    }
    std::string problems;
    for (const std::string &p : zel_yang_check_hashes(ctx))
        problems += p + "\n";
    for (const char *want : {"/bad-clash:a/b: hash 0x00001234 collides with /bad-clash:a",
                             "/bad-clash:c/b: hash 0x00000099 differs from 0x00001234",
                             "bad-values: namespace hash 0x25640284 already used by bad-clash",
                             "/bad-values:big: invalid ax:tag-hash", "/bad-values:junk: invalid ax:tag-hash"})
        EXPECT_NE(problems.find(want), std::string::npos) << want << "\n" << problems;

    std::string text, err;
    EXPECT_EQ(zel_yang_generate_header(ctx, &text, &err), 22);
    EXPECT_FALSE(err.empty());
    ly_ctx_destroy(ctx);
    fs::remove_all(dir);
}
