// The modules give the daemon every configuration point, operational node, callpoint, action point
// and notification it relies on, with the key and value types its handlers expect. The example
// configurations validate against them; configurations the daemon could not apply are refused by
// the schema with a message that names the problem.
#include "policy/zel_policy_points.h"
#include "yang/zel_yang_hashes.h"
#include "yang_test_util.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

using namespace yang_test;

namespace
{

struct parse_result {
    bool ok;
    std::string error;  // message and data path of the first error
    lyd_node *tree;
};

// Parses and validates configuration data from JSON text or, with `file`, from the file it names.
parse_result parse(ly_ctx *ctx, const std::string &json, bool file = false)
{
    ly_err_clean(ctx, nullptr);
    parse_result r{false, "", nullptr};
    constexpr uint32_t opts = LYD_PARSE_STRICT | LYD_PARSE_NO_STATE;
    r.ok = (file ? lyd_parse_data_path(ctx, json.c_str(), LYD_JSON, opts, LYD_VALIDATE_NO_STATE, &r.tree)
                 : lyd_parse_data_mem(ctx, json.c_str(), LYD_JSON, opts, LYD_VALIDATE_NO_STATE, &r.tree)) == LY_SUCCESS;
    if (const ly_err_item *e = ly_err_last(ctx))
        r.error = std::string(e->msg ? e->msg : "") + (e->path ? std::string(" at ") + e->path : "");
    return r;
}

std::string value_at(const lyd_node *tree, const std::string &path)
{
    lyd_node *n = nullptr;
    return lyd_find_path(tree, path.c_str(), 0, &n) == LY_SUCCESS ? lyd_get_value(n) : "<absent>";
}

// A data policy over one vpn-list with one sequence whose match and action are given.
std::string data_policy(const std::string &match, const std::string &action)
{
    return R"({"ardenta-policy:policy-from-ostrel": {
      "lists": {"vpn-list": [{"name": "v", "vpn": [{"id": "1"}]}],
                "data-prefix-list": [{"name": "p", "ip-prefix": [{"ip-prefix": "10.0.0.0/8"}]}]},
      "data-policy": [{"name": "d", "vpn-list": [{"name": "v", "sequence": [{"number": 1,
          "match": )" +
           match + R"(, "action": )" + action + "}]}]}]}}";
}

std::string sla_classes(int n)
{
    std::string list;
    for (int i = 1; i <= n; ++i)
        list += (i > 1 ? "," : "") + std::string(R"({"name": "sla)") + std::to_string(i) + "\"}";
    return R"({"ardenta-policy:policy-from-ostrel": {"sla-class": [)" + list + "]}}";
}

}  // namespace

TEST_F(Models, AllModulesLoadWithoutWarningsAndCarryTheirNamespaceHashes)
{
    EXPECT_TRUE(log_lines_.empty()) << log_lines_.front();
    const std::map<std::string, uint32_t> fixed = {{"ardenta-policy", 0x25640284u}, {"ardenta-vpn", 0x09ae20f2u}};
    for (const char *name : zel_yang_module_names) {
        const lys_module *mod = ly_ctx_get_module_implemented(ctx_, name);
        ASSERT_NE(mod, nullptr) << name;
        EXPECT_EQ(mod->parsed->version, LYS_VERSION_1_1) << name;
        uint32_t h = 0;
        ASSERT_EQ(zel_yang_module_hash(mod, &h), 0) << name;
        EXPECT_EQ(h, fixed.count(name) ? fixed.at(name) : zel_yang_default_hash(mod->ns)) << name;
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
    for (const auto &e : fs::directory_iterator(yang_dir()))
        if (e.path().extension() == ".yang")
            fs::copy_file(e.path(), dir / e.path().filename());
    std::ofstream(dir / "ardenta-policy.yang") << "module ardenta-policy { yang-version 1.1; namespace \"urn:p\"; "
                                                  "prefix ap; container policy { leaf x { type strng; } } }\n";
    EXPECT_EQ(zel_yang_load(dir.c_str(), &ctx, &err), 22);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(err.find("module ardenta-policy"), std::string::npos) << err;
    fs::remove_all(dir);
}

TEST_F(Models, SubscriptionPointsHaveTheirKeys)
{
    // The policy module's subscription table followed by the library's trap-group points.
    std::vector<zel_point_row> points(zel_policy_points().begin(), zel_policy_points().end());
    points.push_back({"snmp/trap/group", zel_ns_snmp, 1, 0, 0, nullptr});
    points.push_back({"snmp/trap/group/enable", zel_ns_snmp, 2, 0, 0, nullptr});
    const std::map<uint32_t, std::string> modules = {
        {zel_ns_policy, "ardenta-policy"}, {zel_ns_vpn, "ardenta-vpn"}, {zel_ns_snmp, "ardenta-snmp"}};
    for (const zel_point_row &p : points) {
        const std::string &module = modules.at(p.ns);
        const lysc_node *n = find("/" + module + ":" + p.keypath);
        ASSERT_NE(n, nullptr) << p.keypath;
        EXPECT_EQ(n->module->name, module) << p.keypath;
        EXPECT_TRUE(n->flags & LYS_CONFIG_W) << p.keypath;
        const std::string keys = key_codes(n);
        EXPECT_EQ(keys.empty() ? 0 : std::count(keys.begin(), keys.end(), ',') + 1, p.num_keys) << p.keypath;
    }
}

// Callpoints in registration order, each an operational list; action points in table order, with
// the one optional text input of the clearing commands and the packet fields of explain.
TEST_F(Models, CallpointsAndActionPointsInTableOrder)
{
    const std::vector<std::string> callpoints = words(
        "app-route-policy-filters app-route-policy-vpnlist app-route-policy-counters data-policy-filters "
        "data-policy-vpnlist data-policy-counters data-policy-policers access-list-names access-list-counters "
        "access-policy-counter-list policer-policy-name access-policy-policer-list access-policy-list-for-interface "
        "access-policy-interface-list access-list-names-v6 access-list-counters-v6 access-policy-counter-list-v6 "
        "access-list-policers-v6 access-policy-policer-list-v6 access-list-associations-v6 "
        "access-policy-interface-list-v6");
    const std::vector<std::string> actionpoints = words(
        "zel_dump_admin_tech zel_dump_filter zel_dump_msgq zel_dump_memory_stats zel_dump_memory_map zel_dump_config "
        "zel_dump_policy zel_dump_acl zel_dump_acl6 zel_dump_vpn_list zel_dump_prefix_list zel_dump_tloc_list "
        "zel_dump_tloc zel_dump_mirror zel_dump_policer zel_dump_class zel_dump_sla_class zel_dump_all "
        "zel_dump_app_list zel_dpi_dump_protocol_list zel_dpi_dump_protocol_family_mapping "
        "zel_dpi_dump_protocol_hits zel_dpi_dump_configuration zel_dpi_clear_protocol_hits "
        "zel_clear_policy_acl(name=buf) "
        "zel_clear_policy_acl6(name=buf) zel_clear_data_policy(name=buf) zel_clear_app_route_policy(name=buf) "
        "zel_debug_config zel_debug_kro zel_debug_dpi zel_debug_policy zel_debug_all zel_debug_disable_all "
        "zel_explain(vpn=uint32,interface=buf,direction=enum,source-address=ipv4,destination-address=ipv4,"
        "source-port=uint16,destination-port=uint16,protocol=uint8,dscp=uint8,packet-length=uint16,app=buf)");
    for (const char *ext : {"callpoint", "actionpoint"}) {
        std::vector<std::string> found;
        for (const auto &[point, n] : ext_nodes(ctx_, ext)) {
            EXPECT_EQ(n->nodetype, ext[0] == 'c' ? LYS_LIST : LYS_RPC) << point;
            EXPECT_FALSE(n->flags & LYS_CONFIG_W) << point;
            std::string inputs;
            for (const lysc_node *in =
                     n->nodetype == LYS_RPC ? reinterpret_cast<const lysc_node_action *>(n)->input.child : nullptr;
                 in; in = in->next)
                inputs += (inputs.empty() ? "" : ",") + std::string(in->name) +
                          (in->flags & LYS_MAND_TRUE ? "!=" : "=") + node_code(in);
            found.push_back(point + (inputs.empty() ? "" : "(" + inputs + ")"));
        }
        EXPECT_EQ(found, ext[0] == 'c' ? callpoints : actionpoints);
    }
}

using Examples = Models;

TEST_F(Examples, ExampleFilesValidateAndTheInvalidOneIsRejectedWithAClearMessage)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(yang_dir()) + "/../examples")) {
        if (entry.path().extension() != ".json")
            continue;
        parse_result r = parse(ctx_, entry.path(), true);
        if (entry.path().filename() == "invalid-vpn-range.json") {
            EXPECT_FALSE(r.ok);
            EXPECT_NE(r.error.find("expected a VPN number 0..65535 or a range low-high"), std::string::npos) << r.error;
            EXPECT_NE(r.error.find("vpn-list[name='corp-vpns']/vpn/id"), std::string::npos) << r.error;
        } else {
            EXPECT_TRUE(r.ok) << entry.path().filename() << ": " << r.error;
            ++files;
        }
        lyd_free_all(r.tree);
    }
    EXPECT_GE(files, 4);
}

TEST_F(Examples, DefaultsMatchWhatTheHandlersAssume)
{
    parse_result r =
        parse(ctx_, data_policy(R"({"protocol": [6]})", R"({"set": {"tloc": {"ip": "1.1.1.1", "color": "mpls"}}})"));
    ASSERT_TRUE(r.ok) << r.error;
    const std::string dp = "/ardenta-policy:policy-from-ostrel/data-policy[name='d']";
    // An absent direction counts as enumeration value 2 and an absent encapsulation as 2 (ipsec).
    EXPECT_EQ(value_at(r.tree, dp + "/direction"), "all");
    EXPECT_EQ(value_at(r.tree, dp + "/vpn-list[name='v']/sequence[number='1']/action/set/tloc/encap"), "ipsec");
    EXPECT_EQ(value_at(r.tree, "/ardenta-policy:policy/log-frequency"), "1000");
    lyd_free_all(r.tree);

    auto values = enum_values(find("/ardenta-policy:policy-from-ostrel/data-policy/direction"));
    EXPECT_EQ(values["all"], 2);
    EXPECT_EQ(values["from-service"], 1);
}

TEST_F(Examples, SchemaRefusesWhatTheDaemonCannotApply)
{
    const std::string P = R"({"ardenta-policy:policy": )",
                      V = R"({"ardenta-vpn:vpn": {"vpn-instance": [{"vpn-id": "1", )";
    const std::pair<std::string, const char *> cases[] = {
        // An eighth SLA class.
        {sla_classes(8), "Too many \"sla-class\" instances"},
        // Applications and families in one list; an unknown family.
        {P + R"({"lists": {"app-list": [{"name": "a", "app": [{"name": "x"}], "app-family": [{"name": "web"}]}]}}})",
         "Data for both cases"},
        {P + R"({"lists": {"app-list": [{"name": "a", "app-family": [{"name": "webs"}]}]}}})",
         "unknown application family"},
        {P + R"({"class-map": {"class": [{"name": "__control_fc"}]}}})", "reserved for built-in classes"},
        // A missing prefix list, a missing policer.
        {data_policy(R"({"source-data-prefix-list": "nope"})", R"({"base-action": "drop"})"),
         "Invalid leafref value \"nope\""},
        {data_policy(R"({"protocol": [1]})", R"({"policer-name": "nope"})"), "Invalid leafref value \"nope\""},
        // Out of range: a port, a DSCP; a next hop that is no address.
        {data_policy(R"({"source-port": ["70000"]})", R"({"base-action": "drop"})"),
         "expected a number 0..65535 or a range low-high"},
        {data_policy(R"({"protocol": [1]})", R"({"set": {"dscp": 64}})"), "is out of the allowed range"},
        {data_policy(R"({"protocol": [1]})", R"({"set": {"next-hop": "gw-1"}})"), "expected an IPv4 or IPv6 address"},
        // A TLOC preference entry without colour.
        {data_policy(R"({"protocol": [1]})",
                     R"({"set": {"qor-tloc-pref-list": [{"index": 1, "tloc-ip": "1.1.1.1", "tloc-encap": "gre"}]}})"),
         "Mandatory node \"tloc-color\""},
        // Binding to an IPv4 list as IPv6.
        {R"({"ardenta-policy:policy": {"access-list": [{"name": "a"}]}, )" + V.substr(1) +
             R"("interface": [{"if-name": "ge0/0", "ipv6": {"access-list": [{"direction": "in", "acl-name": "a"}]}}]}]}})",
         "Invalid leafref value \"a\""},
        // An interface name over 32 characters; an unknown leaf.
        {V + R"("interface": [{"if-name": "ge0/0-a-very-long-interface-name-x"}]}]}})", "Unsatisfied length"},
        {P + R"({"app-visibilty": true}})", "\"app-visibilty\" not found"},
    };
    for (const auto &[json, message] : cases) {
        parse_result r = parse(ctx_, json);
        EXPECT_FALSE(r.ok) << json;
        EXPECT_NE(r.error.find(message), std::string::npos) << json << ": " << r.error;
        lyd_free_all(r.tree);
    }
    // The limits themselves are accepted.
    parse_result seven = parse(ctx_, sla_classes(7));
    EXPECT_TRUE(seven.ok) << seven.error;
    lyd_free_all(seven.tree);
}
