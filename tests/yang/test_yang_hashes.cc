// Tag and namespace hashes: the fixed values the daemon compares against, the default hash of
// every other node, the consistency checks, and the checked-in header.
#include "yang/zel_yang_hashes.h"
#include "yang_test_util.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <unistd.h>

using yang_test::Models;
using yang_test::node_code;

namespace
{

const std::string P = "/ardenta-policy:policy";
const std::string ACL = P + "/access-list/sequence";
const std::string ACL6 = P + "/ipv6/access-list/sequence";
const std::string DP = "/ardenta-policy:policy-from-ostrel/data-policy/vpn-list/sequence";
const std::string AR = "/ardenta-policy:policy-from-ostrel/app-route-policy/vpn-list";
const std::string QOR = DP + "/action/set/qor-tloc-pref-list";

struct fixed_row {
    uint32_t hash;
    std::string path;
    std::string code;
};

// Every tag the handlers, the commit pass and the notifications compare against, where it sits and
// the value type the handler expects there.
const std::vector<fixed_row> fixed_tags = {
    {0x0bb0ec92, P + "/app-visibility", "bool"},
    {0x209c98ce, P + "/flow-visibility", "bool"},
    {0x6f44232a, P + "/log-frequency", "int32"},
    {0x47fac177, P + "/class-map/class/queue", "uint8"},
    {0x440eedc0, P + "/mirror/remote-dest/source", "ipaddr"},
    {0x31c4ad27, P + "/policer/rate", "uint64"},
    {0x4b124597, P + "/policer/burst", "uint32"},
    {0x03fe4de6, P + "/policer/exceed", "enum"},
    {0x31c4ad27, "/ardenta-policy:policy-from-ostrel/policer/rate", "uint64"},
    {0x4b124597, "/ardenta-policy:policy-from-ostrel/policer/burst", "uint32"},
    {0x03fe4de6, "/ardenta-policy:policy-from-ostrel/policer/exceed", "enum"},
    {0x5780daa2, "/ardenta-policy:policy-from-ostrel/data-policy/direction", "enum"},
    {0x7037c488, "/ardenta-policy:policy-from-ostrel/data-policy/vpn-list/default-action", "enum"},
    {0x1fc19c53, AR + "/sla-class-name", "buf"},
    // Access lists.
    {0x7037c488, P + "/access-list/default-action", "enum"},
    {0x7037c488, P + "/ipv6/access-list/default-action", "enum"},
    {0x598628e6, ACL + "/match", "container"},
    {0x553788af, ACL + "/match/source-ip", "list:ipv4prefix"},
    {0x22688857, ACL + "/match/destination-ip", "list:ipv4prefix"},
    {0x0f472580, ACL + "/match/source-port", "list:buf"},
    {0x6475b955, ACL + "/match/destination-port", "list:buf"},
    {0x32d6e4cb, ACL + "/match/source-data-prefix-list", "buf"},
    {0x4db8ee1a, ACL + "/match/destination-data-prefix-list", "buf"},
    {0x3838f6e1, ACL + "/match/protocol", "list:uint8"},
    {0x42a50984, ACL + "/match/dscp", "list:uint8"},
    {0x10f34729, ACL + "/match/class-name", "buf"},
    {0x4f1498b9, ACL + "/match/tcp", "bits"},
    {0x5b2c4c8c, ACL + "/match/packet-length", "list:buf"},
    {0x542ece51, ACL + "/match/application-list", "buf"},
    {0x6e505df6, ACL + "/match/plp", "enum"},
    {0x2216416f, ACL + "/action", "container"},
    {0x0369ffb7, ACL + "/action/base-action", "enum"},
    {0x6a7435bb, ACL + "/action/set", "container"},
    {0x42a50984, ACL + "/action/set/dscp", "uint8"},
    {0x10f34729, ACL + "/action/set/class-name", "buf"},
    {0x0ac83abe, ACL + "/action/count", "buf"},
    {0x58e2217b, ACL + "/action/policer-name", "buf"},
    {0x65975b28, ACL + "/action/mirror-name", "buf"},
    {0x70a1c5a8, ACL + "/action/set/next-hop", "buf"},
    {0x4ca57cf4, ACL + "/action/log", "empty"},
    {0x464d7cce, ACL6 + "/match/next-header", "list:uint8"},
    {0x63457662, ACL6 + "/match/traffic-class", "list:uint8"},
    {0x63457662, ACL6 + "/action/set/traffic-class", "uint8"},
    {0x10f34729, ACL6 + "/match/class-name", "buf"},
    {0x1683963e, "/ardenta-vpn:vpn/vpn-instance/interface/access-list/acl-name", "buf"},
    {0x1683963e, "/ardenta-vpn:vpn/vpn-instance/interface/ipv6/access-list/acl-name", "buf"},
    // Data-policy sequences: matches, containers, simple and composite actions.
    {0x598628e6, DP + "/match", "container"},
    {0x553788af, DP + "/match/source-ip", "list:ipv4prefix"},
    {0x22688857, DP + "/match/destination-ip", "list:ipv4prefix"},
    {0x0f472580, DP + "/match/source-port", "list:buf"},
    {0x6475b955, DP + "/match/destination-port", "list:buf"},
    {0x32d6e4cb, DP + "/match/source-data-prefix-list", "buf"},
    {0x4db8ee1a, DP + "/match/destination-data-prefix-list", "buf"},
    {0x3838f6e1, DP + "/match/protocol", "list:uint8"},
    {0x42a50984, DP + "/match/dscp", "list:uint8"},
    {0x4f1498b9, DP + "/match/tcp", "bits"},
    {0x5b2c4c8c, DP + "/match/packet-length", "list:buf"},
    {0x542ece51, DP + "/match/application-list", "buf"},
    {0x6e505df6, DP + "/match/plp", "enum"},
    {0x2216416f, DP + "/action", "container"},
    {0x6a7435bb, DP + "/action/set", "container"},
    {0x0369ffb7, DP + "/action/base-action", "enum"},
    {0x42a50984, DP + "/action/set/dscp", "uint8"},
    {0x19c134f9, DP + "/action/set/nat/use-vpn", "uint32"},
    {0x7273b107, DP + "/action/set/nat/pool-id", "uint32"},
    {0x23e66386, DP + "/action/set/backup-preferred-color", "list:enum"},
    {0x0ac83abe, DP + "/action/count", "buf"},
    {0x58e2217b, DP + "/action/policer-name", "buf"},
    {0x65975b28, DP + "/action/mirror-name", "buf"},
    {0x6854f46f, DP + "/action/set/forwarding-class", "buf"},
    {0x70a1c5a8, DP + "/action/set/next-hop", "buf"},
    {0x2bf83993, DP + "/action/cflowd", "empty"},
    {0x4ca57cf4, DP + "/action/log", "empty"},
    {0x6f889001, DP + "/action/tcp-optimization", "empty"},
    {0x0add765d, DP + "/action/set/service/restrict", "empty"},
    {0x7ef235bf, DP + "/action/set/service/local", "empty"},
    {0x6ccfcce4, DP + "/action/set/service/svc-type", "enum"},
    {0x33c074ce, DP + "/action/set/tloc", "container"},
    {0x61fa2cdb, DP + "/action/set/tloc/ip", "ipv4"},
    {0x2b503622, DP + "/action/set/tloc/color", "enum"},
    {0x5a62686b, DP + "/action/set/tloc/encap", "enum"},
    {0x22266391, DP + "/action/set/tloc/label", "uint32"},
    {0x3da6fd46, DP + "/action/set/tloc-color-encap", "container"},
    {0x2b503622, DP + "/action/set/tloc-color-encap/color", "enum"},
    {0x5a62686b, DP + "/action/set/tloc-color-encap/encap", "enum"},
    {0x078cd2b7, DP + "/action/set/local-tloc-list", "container"},
    {0x2b503622, DP + "/action/set/local-tloc-list/color", "list:enum"},
    {0x5a62686b, DP + "/action/set/local-tloc-list/encap", "list:enum"},
    {0x0add765d, DP + "/action/set/local-tloc-list/restrict", "empty"},
    {0x72d28bfe, QOR, "list"},
    {0x53af7f02, QOR + "/tloc-ip", "ipv4"},
    {0x0b235208, QOR + "/tloc-color", "enum"},
    {0x1d213356, QOR + "/tloc-encap", "enum"},
    {0x41bc4274, QOR + "/vpn-label", "uint32"},
    {0x6aa74198, QOR + "/preference", "uint32"},
    // App-route sequences.
    {0x598628e6, AR + "/sequence/match", "container"},
    {0x2216416f, AR + "/sequence/action", "container"},
    {0x58223d85, AR + "/sequence/action/sla-class", "container"},
    {0x1fc19c53, AR + "/sequence/action/sla-class/sla-class-name", "buf"},
    {0x5c327362, AR + "/sequence/action/sla-class/strict", "bool"},
    {0x6464ce5d, AR + "/sequence/action/sla-class/preferred-color", "list:enum"},
    // Status notifications.
    {0x73E916A8, "/ardenta-policy:policy-status", "notification"},
    {0x18F30F38, "/ardenta-policy:policy-status/severity-level", "enum"},
    {0x5808A665, "/ardenta-policy:policy-status/host-name", "buf"},
    {0x5E5F3F28, "/ardenta-policy:policy-status/system-ip", "ipaddr"},
    {0x61FE004E, "/ardenta-policy:policy-status/policy-name", "buf"},
    {0x0ED4D8E3, "/ardenta-policy:policy-status/vpn-list-name", "buf"},
    {0x74470328, "/ardenta-policy:policy-status/status", "buf"},
    {0x026DB0D4, "/ardenta-policy:access-list-status", "notification"},
    {0x1420CBFA, "/ardenta-policy:access-list-status/access-list-name", "buf"},
    {0x74470328, "/ardenta-policy:access-list-status/status", "buf"},
};

// Loads the modules of `dir` with the given names into a fresh context.
ly_ctx *load_dir(const std::filesystem::path &dir, std::initializer_list<const char *> names)
{
    ly_ctx *ctx = nullptr;
    if (ly_ctx_new(dir.c_str(), LY_CTX_DISABLE_SEARCHDIR_CWD, &ctx) != LY_SUCCESS)
        return nullptr;
    for (const char *name : names)
        if (!ly_ctx_load_module(ctx, name, nullptr, nullptr)) {
            ly_ctx_destroy(ctx);
            return nullptr;
        }
    return ctx;
}

bool mentions(const std::vector<std::string> &problems, const std::string &what)
{
    for (const std::string &p : problems)
        if (p.find(what) != std::string::npos)
            return true;
    return false;
}

}  // namespace

class Hashes : public Models
{
};

TEST(DefaultHash, IsFnv1aWithTheTopBitCleared)
{
    // Published FNV-1a 32-bit vectors: "" 0x811c9dc5, "a" 0xe40c292c, "foobar" 0xbf9cf968.
    static_assert(zel_yang_default_hash("") == 0x011c9dc5u);
    static_assert(zel_yang_default_hash("a") == 0x640c292cu);
    static_assert(zel_yang_default_hash("foobar") == 0x3f9cf968u);
    EXPECT_EQ(zel_yang_default_hash("policy-from-ostrel"), zel_tag_policy_policy_from_ostrel);
}

TEST_F(Hashes, FixedTagsSitWhereTheHandlersLook)
{
    for (const fixed_row &t : fixed_tags) {
        const lysc_node *n = find(t.path);
        ASSERT_NE(n, nullptr) << t.path;
        uint32_t h = 0;
        ASSERT_EQ(zel_yang_node_hash(n, &h), 0) << t.path;
        EXPECT_EQ(h, t.hash) << t.path;
        EXPECT_NE(zel_yang_ext_arg(n, "tag-hash"), nullptr) << t.path;
        EXPECT_EQ(node_code(n), t.code) << t.path;
    }
}

TEST_F(Hashes, NoInventedFixedTags)
{
    struct ctx_t {
        std::set<uint32_t> known;
        std::vector<std::string> invented;
    } c;
    for (const fixed_row &t : fixed_tags)
        c.known.insert(t.hash);
    for (const char *name : zel_yang_module_names)
        lysc_module_dfs_full(
            ly_ctx_get_module_implemented(ctx_, name),
            [](lysc_node *n, void *data, ly_bool *) -> LY_ERR {
                auto *c = static_cast<ctx_t *>(data);
                uint32_t h = 0;
                if (zel_yang_ext_arg(n, "tag-hash") && (zel_yang_node_hash(n, &h) != 0 || !c->known.count(h)))
                    c->invented.push_back(n->name);
                return LY_SUCCESS;
            },
            &c);
    EXPECT_TRUE(c.invented.empty()) << c.invented.front();
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
    std::ifstream in(std::string(yang_test::yang_dir()) + "/zel_yang_hashes.h");
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
    fs::copy_file(fs::path(yang_test::yang_dir()) / "ardenta-extensions.yang", dir / "ardenta-extensions.yang",
                  fs::copy_options::overwrite_existing);
    const auto write = [&](const char *name, const std::string &body) {
        std::ofstream(dir / (std::string(name) + ".yang"))
            << "module " << name << " { yang-version 1.1; namespace \"urn:" << name << "\"; prefix x;\n"
            << "import ardenta-extensions { prefix ax; }\n"
            << body << "}\n";
    };
    write("bad-clash", "ax:ns-hash \"0x25640284\";\n"
                       "container a { ax:tag-hash \"0x1234\"; leaf b { type string; ax:tag-hash \"0x1234\"; } }\n"
                       "container c { leaf b { type string; ax:tag-hash \"0x99\"; } }\n");
    write("bad-values", "ax:ns-hash \"0x25640284\";\n"
                        "leaf big { type string; ax:tag-hash \"0x80000000\"; }\n"
                        "leaf junk { type string; ax:tag-hash \"0x12zz\"; }\n");

    ly_ctx *ctx = load_dir(dir, {"bad-clash", "bad-values"});
    ASSERT_NE(ctx, nullptr);
    std::vector<std::string> problems = zel_yang_check_hashes(ctx);
    EXPECT_TRUE(mentions(problems, "/bad-clash:a/b: hash 0x00001234 collides with /bad-clash:a")) << problems.size();
    EXPECT_TRUE(mentions(problems, "/bad-clash:c/b: hash 0x00000099 differs from 0x00001234"));
    EXPECT_TRUE(mentions(problems, "bad-values: namespace hash 0x25640284 already used by bad-clash"));
    EXPECT_TRUE(mentions(problems, "/bad-values:big: invalid ax:tag-hash"));
    EXPECT_TRUE(mentions(problems, "/bad-values:junk: invalid ax:tag-hash"));

    std::string text, err;
    EXPECT_EQ(zel_yang_generate_header(ctx, &text, &err), 22);
    EXPECT_FALSE(err.empty());
    ly_ctx_destroy(ctx);
    fs::remove_all(dir);
}
