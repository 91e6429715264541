// The policy model's operations and invariants, and the SLA and forwarding-class tables.
#include "policy_fixture.h"

using policy_test::named;
using policy_test::PolicyEnv;

namespace
{

constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;
constexpr uint32_t PFR = ZEL_POLICY_TYPE_PFR;

TEST(PolicyModel, VpnListAddChecksPolicyGlobalListAndDuplicates)
{
    PolicyEnv env;
    EXPECT_EQ(zel_config_policy_vpn_list_add(&env.ctx, DATA, "P", "V", ZEL_ACT_ACCEPT, nullptr), 2);
    ASSERT_EQ(zel_config_policy_add(&env.ctx, DATA, "P"), 0);
    EXPECT_EQ(zel_config_policy_vpn_list_add(&env.ctx, DATA, "P", "V", ZEL_ACT_ACCEPT, nullptr), 2);
    ASSERT_EQ(zel_config_vpn_list_add(&env.ctx, "V"), 0);
    EXPECT_EQ(zel_config_policy_vpn_list_add(&env.ctx, DATA, "P", "V", ZEL_ACT_ACCEPT, nullptr), 0);
    EXPECT_EQ(zel_config_policy_vpn_list_add(&env.ctx, DATA, "P", "V", ZEL_ACT_ACCEPT, nullptr), 17);
    zel_vpn_list *vl = zel_config_vpn_list_find(&env.ctx, "V");
    ASSERT_EQ(vl->users.size(), 1u);
    EXPECT_EQ(vl->users.begin()->name, "P");
    zel_policy_vpn_list *pvl = env.pvl(DATA, "P", "V");
    EXPECT_EQ(pvl->filter_index, ZEL_FILTER_UNBOUND);
    EXPECT_EQ(pvl->filter_type, 0u);
    EXPECT_EQ(pvl->default_action->code, ZEL_ACT_ACCEPT);

    EXPECT_EQ(zel_config_policy_vpn_list_modify(&env.ctx, DATA, "P", "W", ZEL_ACT_REJECT, nullptr), 2);
    zel_policy *p;
    zel_config_policy_find(&env.ctx, DATA, "P", &p);
    p->changed = pvl->changed = 0;
    EXPECT_EQ(zel_config_policy_vpn_list_modify(&env.ctx, DATA, "P", "V", ZEL_ACT_REJECT, nullptr), 0);
    EXPECT_EQ(pvl->default_action->code, ZEL_ACT_REJECT);
    EXPECT_TRUE(p->changed && pvl->changed);

    EXPECT_EQ(zel_config_policy_vpn_list_delete(&env.ctx, DATA, "P", nullptr), 74);
    EXPECT_EQ(zel_config_policy_vpn_list_delete(&env.ctx, DATA, "P", "W"), 2);
    EXPECT_EQ(zel_config_policy_vpn_list_delete(&env.ctx, DATA, "P", "V"), 0);
    EXPECT_TRUE(vl->users.empty());
    EXPECT_EQ(zel_config_vpn_list_delete(&env.ctx, "V"), 0);
}

TEST(PolicyModel, SequencesResolveControllerListsWhateverSourceIsGiven)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    env.pfx_list("L", {{"10.0.0.0", 8}});
    // A local list of a controller list's name is another list.
    ASSERT_EQ(zel_config_pfx_list_add(&env.ctx, "L", ZEL_LIST_SOURCE_LOCAL), 0);
    EXPECT_EQ(zel_config_pfx_list_add(&env.ctx, "L", ZEL_LIST_SOURCE_CONTROLLER), 17);
    EXPECT_EQ(zel_config_pfx_list_add(&env.ctx, "X", ZEL_POLICY_PFX_LIST_TYPE_MAX), 22);
    for (const char *a : {"1.0.0.0", "2.0.0.0", "3.0.0.0"})
        ASSERT_EQ(zel_config_pfx_list_prefix_add(&env.ctx, "L", ZEL_LIST_SOURCE_LOCAL, PolicyEnv::prefix(a, 8)), 0);
    ASSERT_EQ(zel_config_app_list_add(&env.ctx, "L", ZEL_LIST_SOURCE_CONTROLLER), 0);
    ASSERT_EQ(zel_config_app_list_entry_add(&env.ctx, "L", ZEL_LIST_SOURCE_CONTROLLER, ZEL_APP_LIST_KIND_APPS,
                                            "unclassified"),
              0);
    ASSERT_EQ(zel_config_app_list_add(&env.ctx, "L", ZEL_LIST_SOURCE_LOCAL), 0);
    zel_sequence *s;
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, &s), 0);
    // A caller passing the local source (or an application-list kind) still gets the controller list.
    zel_match_value pv = PolicyEnv::list_value("L", ZEL_LIST_SOURCE_LOCAL);
    zel_match_value av = PolicyEnv::list_value("L", ZEL_APP_LIST_KIND_APPS);
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_SRC_PFX_LIST, &pv, s), 0);
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_APP_LIST, &av, s), 0);
    std::vector<uint32_t> addrs, apps;
    for (const zel_match &m : s->matches) {
        if (m.match_type == ZEL_MATCH_SRC_PFX_LIST)
            addrs.push_back(m.addr[0]);
        if (m.match_type == ZEL_MATCH_APP_LIST)
            apps.push_back(m.low);
    }
    EXPECT_EQ(addrs, (std::vector<uint32_t>{10}));
    EXPECT_EQ(apps, (std::vector<uint32_t>{1}));
    EXPECT_TRUE(zel_config_pfx_list_find(&env.ctx, "L", ZEL_LIST_SOURCE_LOCAL)->policy_users.empty());
    EXPECT_TRUE(zel_config_app_list_find(&env.ctx, "L", ZEL_LIST_SOURCE_LOCAL)->policy_users.empty());
    EXPECT_EQ(zel_config_app_list_find(&env.ctx, "L", ZEL_LIST_SOURCE_CONTROLLER)->policy_users.size(), 1u);
}

TEST(PolicyModelDeathTest, BrokenReferenceInvariantsStopWithTheirLines)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto line = [](const char *expr) { return std::string("zel_config:[0-9]+: failed assertion `") + expr + "'"; };
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    env.pfx_list("PL", {{"10.0.0.0", 8}});
    zel_policy *p;
    ASSERT_EQ(zel_config_policy_find(&env.ctx, DATA, "P", &p), 0);
    zel_policy_vpn_list *pvl = env.pvl(DATA, "P", "V");

    EXPECT_DEATH(zel_config_pfx_list_unref(&env.ctx, "PL", p, pvl),
                 line("p_vpn_list_pfx_list && p_vpn_list_pfx_list->ref_count>0"));
    EXPECT_DEATH(zel_config_vpn_list_delete(&env.ctx, "V"), line("p_vpn_list_policy == NULL"));
    // A reference no sequence holds outlives the sequences.
    ASSERT_EQ(zel_config_pfx_list_ref(&env.ctx, "PL", p, pvl), 0);
    EXPECT_DEATH(zel_config_pfx_list_delete(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER),
                 line("p_pfx_list_vpn_list == NULL"));
    EXPECT_DEATH(zel_config_policy_delete(&env.ctx, DATA, "P"), line("p_vpn_list_pfx_list == NULL"));
    ASSERT_EQ(zel_config_pfx_list_unref(&env.ctx, "PL", p, pvl), 0);
}

TEST(PolicyModel, PolicyDeleteReleasesEveryReference)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    env.pfx_list("PL", {{"10.0.0.0", 8}});
    ASSERT_EQ(zel_config_app_list_add(&env.ctx, "AL", ZEL_LIST_SOURCE_CONTROLLER), 0);
    ASSERT_EQ(
        zel_config_app_list_entry_add(&env.ctx, "AL", ZEL_LIST_SOURCE_CONTROLLER, ZEL_APP_LIST_KIND_FAMILIES, "web"),
        0);
    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 1000000, 15000, 0), 0);
    zel_sequence *s;
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, &s), 0);
    zel_match_value pv = PolicyEnv::list_value("PL");
    zel_match_value av = PolicyEnv::list_value("AL");
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_DST_PFX_LIST, &pv, s), 0);
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_APP_LIST, &av, s), 0);
    EXPECT_EQ(s->matches.back().field, ZEL_MATCH_APP_FAMILY);
    EXPECT_EQ(s->matches.back().low, 30u);
    EXPECT_EQ(env.ctx.dpi_refs, 1u);
    zel_action_value pol{};
    snprintf(pol.name, sizeof pol.name, "pol");
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &pol), 0);
    zel_action_value t{};
    t.tloc.addr.family = AF_INET;
    t.tloc.addr.v4 = 0x01010101;
    t.tloc.color = 3;
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_SET_TLOC, ZEL_ACT_SET_TLOC, &t), 0);
    EXPECT_EQ(avl_numnodes(&env.ctx.kro_peers), 1u);
    EXPECT_EQ(zel_config_policer_find(&env.ctx, ZEL_LIST_SOURCE_CONTROLLER, "pol")->instances.count("V_P"), 1u);

    ASSERT_EQ(zel_config_policy_delete(&env.ctx, DATA, "P"), 0);
    EXPECT_TRUE(zel_config_pfx_list_find(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER)->policy_users.empty());
    EXPECT_TRUE(zel_config_app_list_find(&env.ctx, "AL", ZEL_LIST_SOURCE_CONTROLLER)->policy_users.empty());
    EXPECT_EQ(env.ctx.dpi_refs, 0u);
    EXPECT_TRUE(zel_config_policer_find(&env.ctx, ZEL_LIST_SOURCE_CONTROLLER, "pol")->instances.empty());
    EXPECT_TRUE(zel_config_vpn_list_find(&env.ctx, "V")->users.empty());
    // The locator krod never reported goes with its last reference.
    EXPECT_EQ(avl_numnodes(&env.ctx.kro_peers), 0u);
}

TEST(PolicyModel, ActionAddResolutionRules)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, nullptr), 0);
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 11, ZEL_ACT_ACCEPT, 0, nullptr), 2);
    zel_action_value v{};
    snprintf(v.name, sizeof v.name, "nopolicer");
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &v), 22);
    v.mirror = 4;
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_MIRROR, ZEL_ACT_MIRROR, &v), 22);
    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 8000, 100, 1), 0);
    snprintf(v.name, sizeof v.name, "pol");
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &v), 0);
    // The instance "V_P" is held once per vpn-list.
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 20, nullptr), 0);
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 20, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &v), 17);

    zel_action_value fc = named("nosuch");
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_SET_FC, ZEL_ACT_SET_FC, &fc), 0);
    snprintf(v.name, sizeof v.name, "c1");
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_COUNT, ZEL_ACT_COUNT, &v), 0);
    EXPECT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_ACCEPT, 0, nullptr), 0);

    zel_sequence *s;
    ASSERT_EQ(zel_config_sequence_find(&env.ctx, DATA, "P", "V", 10, &s), 0);
    ASSERT_EQ(s->actions.size(), 4u);
    EXPECT_EQ(s->actions[0]->code, ZEL_ACT_ACCEPT);  // base action first
    EXPECT_EQ(s->actions[1]->code, ZEL_ACT_POLICE);
    EXPECT_EQ(s->actions[1]->rate_bps, 8000u);
    EXPECT_EQ(s->actions[1]->exceed, 1u);
    EXPECT_EQ(s->actions[1]->seq, 10);
    EXPECT_TRUE(s->actions[2]->fc_unresolved);
    EXPECT_EQ(env.pvl(DATA, "P", "V")->counters.at("c1"), 1u);
    ASSERT_EQ(zel_config_rule_delete(&env.ctx, DATA, "P", "V", 10), 0);
    EXPECT_TRUE(env.pvl(DATA, "P", "V")->counters.empty());
}

TEST(PolicyLists, ListChangeMarksExactlyItsUsers)
{
    PolicyEnv env;
    env.policy_on(DATA, "P1", "V");
    env.policy_on(DATA, "P2", "V");
    env.policy_on(DATA, "P1", "W");
    env.pfx_list("PL", {{"10.0.0.0", 8}});
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P1", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P2", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P1", "W", 10, nullptr), 0);
    zel_sequence *s;
    ASSERT_EQ(zel_config_sequence_find(&env.ctx, DATA, "P1", "V", 10, &s), 0);
    zel_match_value v = PolicyEnv::list_value("PL");
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_SRC_PFX_LIST, &v, s), 0);
    env.clear_marks();
    ASSERT_EQ(zel_config_pfx_list_change(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER), 0);
    zel_policy *p1, *p2;
    zel_config_policy_find(&env.ctx, DATA, "P1", &p1);
    zel_config_policy_find(&env.ctx, DATA, "P2", &p2);
    EXPECT_TRUE(p1->changed);
    EXPECT_TRUE(env.pvl(DATA, "P1", "V")->changed);
    EXPECT_FALSE(env.pvl(DATA, "P1", "W")->changed);
    EXPECT_FALSE(p2->changed);
    EXPECT_EQ(zel_config_pfx_list_change(&env.ctx, "nosuch", ZEL_LIST_SOURCE_CONTROLLER), 2);
}

// A class change marks the users of the class: SLA classes app-route policies only, forwarding
// classes data and app-route policies alike.
TEST(PolicyClasses, ClassChangesRemarkTheirUsers)
{
    PolicyEnv env;
    ASSERT_EQ(zel_fwd_class_add(&env.ctx, "voice", 1), 0);
    env.policy_on(PFR, "A", "V");
    env.policy_on(DATA, "D", "V");
    env.policy_on(DATA, "Other", "V");
    zel_action_value fc = named("voice"), sla = named("gold", true);
    zel_sequence *seq[2];
    for (int i : {0, 1}) {
        const auto [type, name] = i ? std::pair{DATA, "D"} : std::pair{PFR, "A"};
        ASSERT_EQ(zel_config_rule_add(&env.ctx, type, name, "V", 10, &seq[i]), 0);
        ASSERT_EQ(zel_config_action_add(&env.ctx, type, name, "V", 10, ZEL_ACT_SET_FC, ZEL_ACT_SET_FC, &fc), 0);
        ASSERT_EQ(zel_config_action_add(&env.ctx, type, name, "V", 10, ZEL_ACT_SLA_CLASS, ZEL_ACT_SLA_CLASS, &sla), 0);
    }
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "Other", "V", 10, nullptr), 0);
    // Marked policies; "?" when only one of policy and vpn-list is.
    auto marked = [&] {
        std::vector<std::string> out;
        for (auto &[k, p] : env.db().policies)
            if (p->changed || p->vpn_lists.at("V")->changed)
                out.push_back(p->name + (p->changed && p->vpn_lists.at("V")->changed ? "" : "?"));
        env.clear_marks();
        return out;
    };
    auto sla_index = [](const zel_sequence *s) {
        for (auto &a : s->actions)
            if (a->code == ZEL_ACT_SLA_CLASS)
                return int(a->sla_index);
        return -1;
    };
    env.clear_marks();
    ASSERT_EQ(zel_sla_class_add(&env.ctx, "bronze"), 0);
    ASSERT_EQ(zel_sla_class_add(&env.ctx, "gold"), 0);
    EXPECT_EQ(marked(), std::vector<std::string>{"A"});
    EXPECT_EQ(sla_index(seq[0]), 2);
    EXPECT_EQ(sla_index(seq[1]), 0);
    ASSERT_EQ(zel_fwd_class_modify(&env.ctx, "voice", 5), 0);
    EXPECT_EQ(marked(), (std::vector<std::string>{"D", "A"}));
    ASSERT_EQ(zel_fwd_class_delete(&env.ctx, "voice"), 0);
    EXPECT_EQ(marked(), (std::vector<std::string>{"D", "A"}));
    ASSERT_EQ(zel_fwd_class_add(&env.ctx, "video", 5), 0);
    EXPECT_TRUE(marked().empty());
}

}  // namespace
