// The example configurations validate against the models; configurations the daemon could not
// apply are refused by the schema with a message that names the problem.
#include "yang_test_util.h"

#include <filesystem>
#include <string>

using yang_test::Models;

namespace
{

struct parse_result {
    bool ok;
    std::string error;  // message and data path of the first error
    lyd_node *tree;
};

// Parses and validates configuration data; `rc` and the tree come from one of libyang's parsers.
parse_result finish(ly_ctx *ctx, LY_ERR rc, lyd_node *tree)
{
    parse_result r{rc == LY_SUCCESS, "", tree};
    if (const ly_err_item *e = ly_err_last(ctx))
        r.error = std::string(e->msg ? e->msg : "") + (e->path ? std::string(" at ") + e->path : "");
    return r;
}

constexpr uint32_t parse_opts = LYD_PARSE_STRICT | LYD_PARSE_NO_STATE;

parse_result parse(ly_ctx *ctx, const std::string &json)
{
    ly_err_clean(ctx, nullptr);
    lyd_node *tree = nullptr;
    LY_ERR rc = lyd_parse_data_mem(ctx, json.c_str(), LYD_JSON, parse_opts, LYD_VALIDATE_NO_STATE, &tree);
    return finish(ctx, rc, tree);
}

parse_result parse_file(ly_ctx *ctx, const std::filesystem::path &file)
{
    ly_err_clean(ctx, nullptr);
    lyd_node *tree = nullptr;
    LY_ERR rc = lyd_parse_data_path(ctx, file.c_str(), LYD_JSON, parse_opts, LYD_VALIDATE_NO_STATE, &tree);
    return finish(ctx, rc, tree);
}

std::string value_at(const lyd_node *tree, const char *path)
{
    lyd_node *n = nullptr;
    if (lyd_find_path(tree, path, 0, &n) != LY_SUCCESS)
        return "<absent>";
    return lyd_get_value(n);
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

class Examples : public Models
{
};

TEST_F(Examples, ValidExamplesValidate)
{
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::string(yang_test::yang_dir()) + "/../examples")) {
        if (entry.path().extension() != ".json" || entry.path().filename().string().rfind("invalid-", 0) == 0)
            continue;
        ++files;
        parse_result r = parse_file(ctx_, entry.path());
        EXPECT_TRUE(r.ok) << entry.path().filename() << ": " << r.error;
        lyd_free_all(r.tree);
    }
    EXPECT_GE(files, 4);
}

TEST_F(Examples, InvalidExampleIsRejectedWithAClearMessage)
{
    parse_result r = parse_file(ctx_, std::string(yang_test::yang_dir()) + "/../examples/invalid-vpn-range.json");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("expected a VPN number 0..65535 or a range low-high"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("vpn-list[name='corp-vpns']/vpn/id"), std::string::npos) << r.error;
    lyd_free_all(r.tree);
}

TEST_F(Examples, DefaultsMatchWhatTheHandlersAssume)
{
    parse_result r =
        parse(ctx_, data_policy(R"({"protocol": [6]})", R"({"set": {"tloc": {"ip": "1.1.1.1", "color": "mpls"}}})"));
    ASSERT_TRUE(r.ok) << r.error;
    const char *seq =
        "/ardenta-policy:policy-from-ostrel/data-policy[name='d']/vpn-list[name='v']/sequence[number='1']";
    // An absent direction counts as enumeration value 2 and an absent encapsulation as 2 (ipsec).
    EXPECT_EQ(value_at(r.tree, "/ardenta-policy:policy-from-ostrel/data-policy[name='d']/direction"), "all");
    EXPECT_EQ(value_at(r.tree, (std::string(seq) + "/action/set/tloc/encap").c_str()), "ipsec");
    EXPECT_EQ(value_at(r.tree, "/ardenta-policy:policy/log-frequency"), "1000");
    lyd_free_all(r.tree);

    const lysc_node *dir = find("/ardenta-policy:policy-from-ostrel/data-policy/direction");
    const auto *en = reinterpret_cast<const lysc_type_enum *>(reinterpret_cast<const lysc_node_leaf *>(dir)->type);
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(en->enums, i)
    {
        if (std::string(en->enums[i].name) == "all") {
            EXPECT_EQ(en->enums[i].value, 2);
        }
        if (std::string(en->enums[i].name) == "from-service") {
            EXPECT_EQ(en->enums[i].value, 1);
        }
    }
}

TEST_F(Examples, SchemaRefusesWhatTheDaemonCannotApply)
{
    struct bad_case {
        const char *what;
        std::string json;
        const char *message;
    };
    const bad_case cases[] = {
        {"eighth SLA class", sla_classes(8), "Too many \"sla-class\" instances"},
        {"applications and families in one list",
         R"({"ardenta-policy:policy": {"lists": {"app-list": [{"name": "a", "app": [{"name": "x"}],
         "app-family": [{"name": "web"}]}]}}})",
         "Data for both cases"},
        {"unknown application family",
         R"({"ardenta-policy:policy": {"lists": {"app-list": [{"name": "a", "app-family": [{"name": "webs"}]}]}}})",
         "unknown application family"},
        {"reserved class name", R"({"ardenta-policy:policy": {"class-map": {"class": [{"name": "__control_fc"}]}}})",
         "reserved for built-in classes"},
        {"missing prefix list", data_policy(R"({"source-data-prefix-list": "nope"})", R"({"base-action": "drop"})"),
         "Invalid leafref value \"nope\""},
        {"missing policer", data_policy(R"({"protocol": [1]})", R"({"policer-name": "nope"})"),
         "Invalid leafref value \"nope\""},
        {"port out of range", data_policy(R"({"source-port": ["70000"]})", R"({"base-action": "drop"})"),
         "expected a number 0..65535 or a range low-high"},
        {"DSCP out of range", data_policy(R"({"protocol": [1]})", R"({"set": {"dscp": 64}})"),
         "is out of the allowed range"},
        {"next hop that is no address", data_policy(R"({"protocol": [1]})", R"({"set": {"next-hop": "gw-1"}})"),
         "expected an IPv4 or IPv6 address"},
        {"TLOC preference entry without colour",
         data_policy(R"({"protocol": [1]})",
                     R"({"set": {"qor-tloc-pref-list": [{"index": 1, "tloc-ip": "1.1.1.1", "tloc-encap": "gre"}]}})"),
         "Mandatory node \"tloc-color\""},
        {"binding to an IPv4 list as IPv6",
         R"({"ardenta-policy:policy": {"access-list": [{"name": "a"}]},
         "ardenta-vpn:vpn": {"vpn-instance": [{"vpn-id": "1", "interface": [{"if-name": "ge0/0",
           "ipv6": {"access-list": [{"direction": "in", "acl-name": "a"}]}}]}]}})",
         "Invalid leafref value \"a\""},
        {"interface name over 32 characters",
         R"({"ardenta-vpn:vpn": {"vpn-instance": [{"vpn-id": "1",
         "interface": [{"if-name": "ge0/0-a-very-long-interface-name-x"}]}]}})",
         "Unsatisfied length"},
        {"unknown leaf", R"({"ardenta-policy:policy": {"app-visibilty": true}})", "\"app-visibilty\" not found"},
    };
    for (const bad_case &c : cases) {
        parse_result r = parse(ctx_, c.json);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << c.what << ": " << r.error;
        lyd_free_all(r.tree);
    }

    // The limits themselves are accepted.
    parse_result seven = parse(ctx_, sla_classes(7));
    EXPECT_TRUE(seven.ok) << seven.error;
    lyd_free_all(seven.tree);
}
