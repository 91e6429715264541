// The modules give the daemon every configuration point, operational node, callpoint, action point
// and notification it relies on, with the key and value types its handlers expect.
#include "policy/zel_policy_points.h"
#include "yang/zel_yang_hashes.h"
#include "yang_test_util.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <unistd.h>

using yang_test::key_codes;
using yang_test::Models;
using yang_test::node_code;

namespace
{

const std::string B = "buf";

// Key types of the subscribed lists, outermost first, where a key is not text.
const std::map<std::string, std::vector<std::string>> typed_keys = {
    {"policy/lists/data-prefix-list/ip-prefix", {B, "ipv4prefix"}},
    {"policy-from-ostrel/lists/data-prefix-list/ip-prefix", {B, "ipv4prefix"}},
    {"policy-from-ostrel/data-policy/vpn-list/sequence/action/set/qor-tloc-pref-list", {B, B, "uint16", "uint32"}},
    {"policy-from-ostrel/data-policy/vpn-list/sequence", {B, B, "uint16"}},
    {"policy-from-ostrel/app-route-policy/vpn-list/sequence", {B, B, "uint16"}},
    {"policy/mirror/remote-dest", {B, "ipaddr"}},
    {"policy/access-list/sequence", {B, "uint16"}},
    {"policy/ipv6/access-list/sequence", {B, "uint16"}},
    {"vpn/vpn-instance/interface/access-list", {"uint64", B, "enum"}},
    {"vpn/vpn-instance/interface/ipv6/access-list", {"uint64", B, "enum"}},
    {"vpn/vpn-instance/interface", {"uint64", B}},
    {"vpn/vpn-instance", {"uint64"}},
    {"snmp/trap/group/enable", {B, "enum"}},
};

std::string abs_path(const char *module, const char *path) { return std::string("/") + module + ":" + path; }

}  // namespace

TEST_F(Models, AllModulesLoadWithoutWarnings)
{
    EXPECT_TRUE(yang_test::log_lines().empty()) << yang_test::log_lines().front();
    for (const char *name : zel_yang_module_names) {
        const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name);
        ASSERT_NE(mod, nullptr) << name;
        EXPECT_EQ(mod->parsed->version, LYS_VERSION_1_1) << name;
    }
}

TEST(Load, ReportsWhatIsMissingOrBroken)
{
    namespace fs = std::filesystem;
    ly_ctx *ctx = nullptr;
    std::string err;
    EXPECT_EQ(zel_yang_load("/nonexistent-yang-dir", &ctx, &err), 22);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(err.find("/nonexistent-yang-dir"), std::string::npos) << err;

    fs::path dir = fs::temp_directory_path() / ("zel-yang-load-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    EXPECT_EQ(zel_yang_load(dir.c_str(), &ctx, &err), 22);
    EXPECT_NE(err.find("module ardenta-extensions"), std::string::npos) << err;

    // A copy of the modules with a typo in the policy module names that module.
    for (const auto &e : fs::directory_iterator(yang_test::yang_dir()))
        if (e.path().extension() == ".yang")
            fs::copy_file(e.path(), dir / e.path().filename());
    std::ofstream(dir / "ardenta-policy.yang") << "module ardenta-policy { yang-version 1.1; namespace \"urn:p\"; "
                                                  "prefix ap; container policy { leaf x { type strng; } } }\n";
    EXPECT_EQ(zel_yang_load(dir.c_str(), &ctx, &err), 22);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(err.find("module ardenta-policy"), std::string::npos) << err;
    fs::remove_all(dir);
}

TEST_F(Models, NamespaceHashes)
{
    uint32_t h = 0;
    ASSERT_EQ(zel_yang_module_hash(ly_ctx_get_module_implemented(ctx_, "ardenta-policy"), &h), 0);
    EXPECT_EQ(h, 0x25640284u);
    ASSERT_EQ(zel_yang_module_hash(ly_ctx_get_module_implemented(ctx_, "ardenta-vpn"), &h), 0);
    EXPECT_EQ(h, 0x09ae20f2u);
    for (const char *name : {"ardenta-snmp", "ardenta-cfgd", "ardenta-zel-oper"}) {
        const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name);
        ASSERT_EQ(zel_yang_module_hash(mod, &h), 0);
        EXPECT_EQ(h, zel_yang_default_hash(mod->ns)) << name;
    }
}

TEST_F(Models, SubscriptionPointsHaveTheirKeys)
{
    // The policy module's subscription table followed by the library's trap-group points.
    std::vector<zel_point_row> points(zel_policy_points().begin(), zel_policy_points().end());
    points.push_back({"snmp/trap/group", zel_ns_snmp, 1, 0, 0, nullptr});
    points.push_back({"snmp/trap/group/enable", zel_ns_snmp, 2, 0, 0, nullptr});
    const std::map<uint32_t, const char *> modules = {
        {zel_ns_policy, "ardenta-policy"}, {zel_ns_vpn, "ardenta-vpn"}, {zel_ns_snmp, "ardenta-snmp"}};
    for (const zel_point_row &p : points) {
        const char *module = modules.at(p.ns);
        const lysc_node *n = find(abs_path(module, p.keypath));
        ASSERT_NE(n, nullptr) << p.keypath;
        EXPECT_STREQ(n->module->name, module) << p.keypath;
        EXPECT_TRUE(n->flags & LYS_CONFIG_W) << p.keypath;
        auto typed = typed_keys.find(p.keypath);
        const std::vector<std::string> keys =
            typed != typed_keys.end() ? typed->second : std::vector<std::string>(p.num_keys, B);
        EXPECT_EQ(keys.size(), p.num_keys) << p.keypath;
        EXPECT_EQ(key_codes(n), keys) << p.keypath;
    }
    // The trap-group handler reads the levels as a list of enumeration values.
    const lysc_node *level = find("/ardenta-snmp:snmp/trap/group/enable/level");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(node_code(level), "list:enum");
}

TEST_F(Models, PathsReadByTheDaemon)
{
    struct read_path {
        const char *path;
        const char *code;
        bool config;
    };
    const read_path paths[] = {
        {"/ardenta-vpn:vpn/vpn-instance/interface/access-list/acl-name", "buf", true},
        {"/ardenta-vpn:vpn/vpn-instance/interface/ipv6/access-list/acl-name", "buf", true},
        {"/ardenta-vpn:vpn/vpn-instance/vrf-id", "uint32", true},
        {"/ardenta-vpn:vpn/vpn-instance/label", "int32", false},
        {"/ardenta-vpn:vpn/vpn-instance/service/label", "int32", false},
        {"/ardenta-cfgd:cfgd-initial-read-priority", "bits", false},
        {"/ardenta-zel-oper:debugs/zel/config", "empty", false},
        {"/ardenta-zel-oper:debugs/zel/kro", "empty", false},
        {"/ardenta-zel-oper:debugs/zel/dpi", "empty", false},
        {"/ardenta-zel-oper:debugs/zel/policy", "empty", false},
        {"/ardenta-zel-oper:debugs/zel/all", "empty", false},
    };
    for (const read_path &p : paths) {
        const lysc_node *n = find(p.path);
        ASSERT_NE(n, nullptr) << p.path;
        EXPECT_EQ(node_code(n), p.code) << p.path;
        EXPECT_EQ((n->flags & LYS_CONFIG_W) != 0, p.config) << p.path;
    }

    // Levels 0, 1 and 2 own bits 0x1, 0x2 and 0x4 of the initial-read mask.
    const auto *prio = reinterpret_cast<const lysc_node_leaf *>(find("/ardenta-cfgd:cfgd-initial-read-priority"));
    const auto *bits = reinterpret_cast<const lysc_type_bits *>(prio->type);
    ASSERT_EQ(LY_ARRAY_COUNT(bits->bits), 3u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(bits->bits[i].position, i);
}

TEST_F(Models, CallpointsInRegistrationOrder)
{
    const std::vector<std::string> expected = {
        "app-route-policy-filters",
        "app-route-policy-vpnlist",
        "app-route-policy-counters",
        "data-policy-filters",
        "data-policy-vpnlist",
        "data-policy-counters",
        "data-policy-policers",
        "access-list-names",
        "access-list-counters",
        "access-policy-counter-list",
        "policer-policy-name",
        "access-policy-policer-list",
        "access-policy-list-for-interface",
        "access-policy-interface-list",
        "access-list-names-v6",
        "access-list-counters-v6",
        "access-policy-counter-list-v6",
        "access-list-policers-v6",
        "access-policy-policer-list-v6",
        "access-list-associations-v6",
        "access-policy-interface-list-v6",
    };
    struct found_t {
        std::vector<std::string> names;
        std::vector<const lysc_node *> nodes;
    } found;
    for (const char *name : zel_yang_module_names)
        lysc_module_dfs_full(
            ly_ctx_get_module_implemented(ctx_, name),
            [](lysc_node *n, void *data, ly_bool *) -> LY_ERR {
                if (const char *cp = zel_yang_ext_arg(n, "callpoint")) {
                    static_cast<found_t *>(data)->names.push_back(cp);
                    static_cast<found_t *>(data)->nodes.push_back(n);
                }
                return LY_SUCCESS;
            },
            &found);
    EXPECT_EQ(found.names, expected);
    for (const lysc_node *n : found.nodes) {
        EXPECT_EQ(n->nodetype, LYS_LIST) << n->name;
        EXPECT_FALSE(n->flags & LYS_CONFIG_W) << n->name;
    }

    // Replies carry the values in schema order: name, then the two totals.
    for (const char *counters : {"/ardenta-zel-oper:policy-show/data-policy-filter/vpnlist/counter",
                                 "/ardenta-zel-oper:policy-show/ipv6/access-list-counters/counter"}) {
        const lysc_node *n = find(counters);
        ASSERT_NE(n, nullptr) << counters;
        std::vector<std::string> kids;
        for (const lysc_node *c = lysc_node_child(n); c; c = c->next)
            kids.push_back(node_code(c));
        EXPECT_EQ(kids, (std::vector<std::string>{"buf", "uint64", "uint64"})) << counters;
    }
    const lysc_node *assoc = find("/ardenta-zel-oper:policy-show/access-list-associations/interface");
    ASSERT_NE(assoc, nullptr);
    EXPECT_EQ(key_codes(assoc), (std::vector<std::string>{"buf", "buf", "enum"}));
}

TEST_F(Models, ActionPointsInTableOrder)
{
    const std::vector<std::string> expected = {
        "zel_dump_admin_tech",
        "zel_dump_filter",
        "zel_dump_msgq",
        "zel_dump_memory_stats",
        "zel_dump_memory_map",
        "zel_dump_config",
        "zel_dump_policy",
        "zel_dump_acl",
        "zel_dump_acl6",
        "zel_dump_vpn_list",
        "zel_dump_prefix_list",
        "zel_dump_tloc_list",
        "zel_dump_tloc",
        "zel_dump_mirror",
        "zel_dump_policer",
        "zel_dump_class",
        "zel_dump_sla_class",
        "zel_dump_all",
        "zel_dump_app_list",
        "zel_dpi_dump_protocol_list",
        "zel_dpi_dump_protocol_family_mapping",
        "zel_dpi_dump_protocol_hits",
        "zel_dpi_dump_configuration",
        "zel_dpi_clear_protocol_hits",
        "zel_clear_policy_acl",
        "zel_clear_policy_acl6",
        "zel_clear_data_policy",
        "zel_clear_app_route_policy",
        "zel_debug_config",
        "zel_debug_kro",
        "zel_debug_dpi",
        "zel_debug_policy",
        "zel_debug_all",
        "zel_debug_disable_all",
    };
    const std::set<std::string> with_name_input = {"zel_clear_policy_acl", "zel_clear_policy_acl6",
                                                   "zel_clear_data_policy", "zel_clear_app_route_policy"};
    std::vector<std::string> found;
    const lys_module *oper = ly_ctx_get_module_implemented(ctx_, "ardenta-zel-oper");
    for (const lysc_node_action *rpc = oper->compiled->rpcs; rpc;
         rpc = reinterpret_cast<const lysc_node_action *>(rpc->next)) {
        const char *ap = zel_yang_ext_arg(&rpc->node, "actionpoint");
        ASSERT_NE(ap, nullptr) << rpc->name;
        found.push_back(ap);
        const lysc_node *input = rpc->input.child;
        if (with_name_input.count(ap)) {
            ASSERT_NE(input, nullptr) << ap;
            EXPECT_STREQ(input->name, "name");
            EXPECT_EQ(node_code(input), "buf");
            EXPECT_FALSE(input->flags & LYS_MAND_TRUE) << ap;
            EXPECT_EQ(input->next, nullptr) << ap;
        } else {
            EXPECT_EQ(input, nullptr) << ap;
        }
    }
    EXPECT_EQ(found, expected);
}

TEST_F(Models, NotificationValuesInSendOrder)
{
    const lysc_node *policy = find("/ardenta-policy:policy-status");
    ASSERT_NE(policy, nullptr);
    EXPECT_EQ(yang_test::child_hashes(policy),
              (std::vector<uint32_t>{0x18F30F38, 0x5808A665, 0x5E5F3F28, 0x61FE004E, 0x0ED4D8E3, 0x74470328}));
    const lysc_node *acl = find("/ardenta-policy:access-list-status");
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(yang_test::child_hashes(acl),
              (std::vector<uint32_t>{0x18F30F38, 0x5808A665, 0x5E5F3F28, 0x1420CBFA, 0x74470328}));

    // The throttler queues a notification by the value of its second element: 2 for status.
    const auto *sev = reinterpret_cast<const lysc_node_leaf *>(lysc_node_child(policy));
    const auto *en = reinterpret_cast<const lysc_type_enum *>(sev->type);
    bool has_two = false;
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(en->enums, i) has_two = has_two || en->enums[i].value == 2;
    EXPECT_TRUE(has_two);
}
