// The modules give the daemon every configuration point, operational node, callpoint, action point
// and notification it relies on, with the key and value types its handlers expect, and the tag and
// namespace hashes it compares against. The example configurations validate against them;
// configurations the daemon could not apply are refused by the schema with a message that names
// the problem.
#include <gtest/gtest.h>
#include <libyang/libyang.h>
#include <libyang/plugins_types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "dpi/zel_dpi.h"
#include "oper/zel_oper.h"
#include "policy/zel_policy_points.h"
#include "yang/zel_yang_hashes.h"
#include "yang/zel_yang_schema.h"

namespace fs = std::filesystem;

namespace
{

class Models : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // libyang messages of warning level or worse, collected while the context loads.
        ly_set_log_clb(
            [](LY_LOG_LEVEL level, const char *msg, const char *path) {
                if (level <= LY_LLWRN)
                    log_lines_.push_back(std::string(msg) + (path ? std::string(" (") + path + ")" : ""));
            },
            1);
        load_rc_ = zel_yang_load(ZEL_YANG_DIR, &ctx_, &load_err_);
    }
    static void TearDownTestSuite()
    {
        ly_ctx_destroy(ctx_);
        ctx_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(load_rc_, 0) << load_err_; }

    static const lysc_node *find(const std::string &path) { return lys_find_path(ctx_, nullptr, path.c_str(), 0); }

    static inline ly_ctx *ctx_ = nullptr;
    static inline int load_rc_ = 0;
    static inline std::string load_err_;
    static inline std::vector<std::string> log_lines_;
};

bool plugin_is(const lysc_type *t, const char *id)
{
    return t->plugin && t->plugin->id && std::strstr(t->plugin->id, id);
}

// The value type the database delivers for a leaf type: "buf" text, "ipv4", "ipv4prefix",
// "ipaddr" (IPv4 or IPv6), "enum", "bits", "bool", "empty", "int32", "uint8".."uint64".
std::string type_code(const lysc_type *t)
{
    static const std::map<LY_DATA_TYPE, const char *> plain = {
        {LY_TYPE_ENUM, "enum"},     {LY_TYPE_BITS, "bits"},     {LY_TYPE_BOOL, "bool"},
        {LY_TYPE_EMPTY, "empty"},   {LY_TYPE_INT32, "int32"},   {LY_TYPE_UINT8, "uint8"},
        {LY_TYPE_UINT16, "uint16"}, {LY_TYPE_UINT32, "uint32"}, {LY_TYPE_UINT64, "uint64"}};
    if (t->basetype == LY_TYPE_LEAFREF)
        return type_code(reinterpret_cast<const lysc_type_leafref *>(t)->realtype);
    if (t->basetype == LY_TYPE_STRING)
        return plugin_is(t, "ipv4-prefix") ? "ipv4prefix" : plugin_is(t, "ipv4-address") ? "ipv4" : "buf";
    if (t->basetype == LY_TYPE_UNION) {
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        bool v4 = false, v6 = false;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            v4 = v4 || plugin_is(u->types[i], "ipv4-address");
            v6 = v6 || plugin_is(u->types[i], "ipv6-address");
        }
        return v4 && v6 ? "ipaddr" : "union";
    }
    auto it = plain.find(t->basetype);
    return it == plain.end() ? "other" : it->second;
}

// Node kind and value type: "container", "list", "notification", "rpc", or the type code of a
// leaf, prefixed with "list:" for a leaf-list.
std::string node_code(const lysc_node *n)
{
    static const std::map<uint16_t, const char *> kinds = {
        {LYS_CONTAINER, "container"}, {LYS_LIST, "list"}, {LYS_NOTIF, "notification"}, {LYS_RPC, "rpc"}};
    if (n->nodetype == LYS_LEAF)
        return type_code(reinterpret_cast<const lysc_node_leaf *>(n)->type);
    if (n->nodetype == LYS_LEAFLIST)
        return "list:" + type_code(reinterpret_cast<const lysc_node_leaflist *>(n)->type);
    auto it = kinds.find(n->nodetype);
    return it == kinds.end() ? "other" : it->second;
}

// Every node of the daemon's modules that carries the extension `ext`, with its argument, in
// schema order.
std::vector<std::pair<std::string, const lysc_node *>> ext_nodes(ly_ctx *ctx, const char *ext)
{
    struct walk_t {
        const char *ext;
        std::vector<std::pair<std::string, const lysc_node *>> found;
    } w{ext, {}};
    for (const char *name : zel_yang_module_names)
        lysc_module_dfs_full(
            ly_ctx_get_module_implemented(ctx, name),
            [](lysc_node *n, void *data, ly_bool *) -> LY_ERR {
                auto *w = static_cast<walk_t *>(data);
                if (const char *arg = zel_yang_ext_arg(n, w->ext))
                    w->found.emplace_back(arg, n);
                return LY_SUCCESS;
            },
            &w);
    return w.found;
}

// The keys of every list from the root down to `n`.
int key_count(const lysc_node *n)
{
    int keys = n->parent ? key_count(n->parent) : 0;
    for (const lysc_node *c = n->nodetype == LYS_LIST ? lysc_node_child(n) : nullptr; c && (c->flags & LYS_KEY);
         c = c->next)
        keys++;
    return keys;
}

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

// Modules that are missing or do not compile are reported at load, clashing or invalid hashes by the
// hash checks.
TEST(BrokenModules, AreReportedAtLoadAndByTheHashChecks)
{
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
    for (const auto &e : fs::directory_iterator(ZEL_YANG_DIR))
        if (e.path().extension() == ".yang")
            fs::copy_file(e.path(), dir / e.path().filename());
    std::ofstream(dir / "ardenta-policy.yang") << "module ardenta-policy { yang-version 1.1; namespace \"urn:p\"; "
                                                  "prefix ap; container policy { leaf x { type strng; } } }\n";
    EXPECT_EQ(zel_yang_load(dir.c_str(), &ctx, &err), 22);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(err.find("module ardenta-policy"), std::string::npos) << err;

    // Modules of their own, beside copies of the daemon's, with clashing and invalid hashes.
    const std::pair<std::string, const char *> modules[] = {
        {"bad-clash", "container a { ax:tag-hash \"0x1234\"; leaf b { type string; ax:tag-hash \"0x1234\"; } }\n"
                      "container c { leaf b { type string; ax:tag-hash \"0x99\"; } }\n"},
        {"bad-values", "leaf big { type string; ax:tag-hash \"0x80000000\"; }\n"
                       "leaf junk { type string; ax:tag-hash \"0x12zz\"; }\n"}};
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

    std::string text;
    err.clear();
    EXPECT_EQ(zel_yang_generate_header(ctx, &text, &err), 22);
    EXPECT_FALSE(err.empty());
    ly_ctx_destroy(ctx);
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
        EXPECT_EQ(key_count(n), p.num_keys) << p.keypath;
    }
}

// Callpoints are operational lists (their order is the show table's, checked where it is built);
// every action point is served by one of the daemon's command tables, the clearing commands with one
// optional text input and explain with the packet fields.
TEST_F(Models, CallpointsAreListsAndEveryActionPointIsServed)
{
    const std::span<const confd_action_cbs> served[] = {zel_oper_actions(), zel_dpi_actions};
    std::map<std::string, std::string> inputs;
    for (const char *ext : {"callpoint", "actionpoint"})
        for (const auto &[point, n] : ext_nodes(ctx_, ext)) {
            EXPECT_EQ(n->nodetype, ext[0] == 'c' ? LYS_LIST : LYS_RPC) << point;
            EXPECT_FALSE(n->flags & LYS_CONFIG_W) << point;
            if (n->nodetype != LYS_RPC)
                continue;
            EXPECT_TRUE(std::ranges::any_of(served, [&](auto table) {
                return std::ranges::any_of(table, [&](const confd_action_cbs &a) { return point == a.actionpoint; });
            })) << point;
            for (const lysc_node *in = reinterpret_cast<const lysc_node_action *>(n)->input.child; in; in = in->next)
                inputs[point] += (inputs[point].empty() ? "" : ",") + std::string(in->name) +
                                 (in->flags & LYS_MAND_TRUE ? "!=" : "=") + node_code(in);
        }
    std::erase_if(inputs, [](const auto &kv) { return kv.second.empty(); });
    const std::string clear = "name=buf";
    EXPECT_EQ(inputs, (std::map<std::string, std::string>{
                          {"zel_clear_app_route_policy", clear},
                          {"zel_clear_data_policy", clear},
                          {"zel_clear_policy_acl", clear},
                          {"zel_clear_policy_acl6", clear},
                          {"zel_explain", "vpn=uint32,interface=buf,direction=enum,source-address=ipv4,"
                                          "destination-address=ipv4,source-port=uint16,destination-port=uint16,"
                                          "protocol=uint8,dscp=uint8,packet-length=uint16,app=buf"}}));
}

using Examples = Models;

TEST_F(Examples, ExampleFilesValidateAndTheInvalidOneIsRejectedWithAClearMessage)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(ZEL_YANG_DIR) + "/../examples")) {
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

    std::map<std::string, int> values;
    const auto *en = reinterpret_cast<const lysc_type_enum *>(
        reinterpret_cast<const lysc_node_leaf *>(find("/ardenta-policy:policy-from-ostrel/data-policy/direction"))
            ->type);
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(en->enums, i) values[en->enums[i].name] = en->enums[i].value;
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
    std::vector<std::string> lines;
    for (const auto &[arg, n] : ext_nodes(ctx_, "tag-hash")) {
        uint32_t h = 0;
        char *path = lysc_path(n, LYSC_PATH_DATA, nullptr, 0);
        char hash[16];
        snprintf(hash, sizeof hash, "%08x", zel_yang_node_hash(n, &h) == 0 ? h : 0xFFFFFFFFu);
        lines.push_back(std::string(path) + " " + hash + " " + node_code(n));
        free(path);
    }
    std::sort(lines.begin(), lines.end());
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

TEST_F(Hashes, ModulesAreConsistentAndTheCheckedInHeaderIsUpToDate)
{
    std::vector<std::string> problems = zel_yang_check_hashes(ctx_);
    EXPECT_TRUE(problems.empty()) << problems.front();
    std::string text, err;
    ASSERT_EQ(zel_yang_generate_header(ctx_, &text, &err), 0) << err;
    std::ifstream in(std::string(ZEL_YANG_DIR) + "/zel_yang_hashes.h");
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == text)
        << "yang/zel_yang_hashes.h is stale: run zel_yang_hashgen yang yang/zel_yang_hashes.h";
}

}  // namespace
