// The configuration handlers, driven with ConfD keys and values as the subscription engine hands
// them over, and the model behaviour they rely on.
#include <gtest/gtest.h>

#include <cstring>

#include "compiler/zel_compiler.h"
#include "handler_env.h"
#include "policy/zel_publish.h"

namespace
{

using namespace policy_test;
constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;
constexpr uint32_t PFR = ZEL_POLICY_TYPE_PFR;

// A change that removes a leaf inside a container arrives in two calls: at the delete priority the
// removed leaf within its container's brackets, at the add priority the brackets alone.
TEST(SequenceHandler, ModificationSplitAtTheDeletePriority)
{
    HandlerEnv env;
    env.data_policy("P", "V");
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 10,
                       Vals()
                           .begin(zel_tag_policy_action)
                           .enm(zel_tag_policy_base_action, 0)
                           .buf(zel_tag_policy_count, "c")
                           .end(zel_tag_policy_action)),
              0);
    zel_sequence *s = env.seq(DATA, "P", "V", 10);
    ASSERT_EQ(action_codes(s), (std::vector<uint32_t>{ZEL_ACT_ACCEPT, ZEL_ACT_COUNT}));

    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10,
                       Vals().begin(zel_tag_policy_action).gone(zel_tag_policy_count).end(zel_tag_policy_action)),
              0);
    EXPECT_EQ(action_codes(s), (std::vector<uint32_t>{ZEL_ACT_ACCEPT}));
    EXPECT_TRUE(env.pvl(DATA, "P", "V")->counters.empty());
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().begin(zel_tag_policy_action).end(zel_tag_policy_action)), 0);
    EXPECT_EQ(action_codes(s), (std::vector<uint32_t>{ZEL_ACT_ACCEPT}));

    // A leaf given again replaces the action; a match list replaces the field's values.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10,
                       Vals()
                           .begin(zel_tag_policy_match)
                           .u8s(zel_tag_policy_protocol, {6})
                           .end(zel_tag_policy_match)
                           .begin(zel_tag_policy_action)
                           .enm(zel_tag_policy_base_action, 1)
                           .end(zel_tag_policy_action)),
              0);
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().u8s(zel_tag_policy_protocol, {17, 1})), 0);
    EXPECT_EQ(action_codes(s), (std::vector<uint32_t>{ZEL_ACT_REJECT}));
    int protocols = 0;
    for (const zel_match &m : s->matches)
        protocols += m.field == ZEL_MATCH_PROTOCOL && (m.low == 17 || m.low == 1);
    EXPECT_EQ(protocols, 2);
    EXPECT_EQ(s->matches.size(), 3u);  // MATCH_ANY and the two protocols
}

TEST(SequenceHandler, CompositeActionsRebuiltFromWhatTheRuleHolds)
{
    HandlerEnv env;
    env.data_policy("P", "V");
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 10,
                       Vals()
                           .begin(zel_tag_policy_set)
                           .begin(zel_tag_policy_tloc)
                           .ipv4(zel_tag_policy_ip, "172.16.0.1")
                           .enm(zel_tag_policy_color, 2)
                           .u32(zel_tag_policy_label, 1003)
                           .end(zel_tag_policy_tloc)
                           .end(zel_tag_policy_set)),
              0);
    zel_action *t = nullptr;
    ASSERT_EQ(zel_config_action_find(&env.ctx, DATA, "P", "V", 10, zel_tag_policy_tloc, &t), 0);
    EXPECT_EQ(t->v.tloc.encap, 2);  // ipsec when not given

    // Only the label changes: address, colour and encapsulation stay.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().u32(zel_tag_policy_label, 2000)), 0);
    ASSERT_EQ(zel_config_action_find(&env.ctx, DATA, "P", "V", 10, zel_tag_policy_tloc, &t), 0);
    EXPECT_EQ(t->v.tloc.addr.v4, 0xAC100001u);
    EXPECT_EQ(t->v.tloc.color, 2);
    EXPECT_EQ(t->v.vpn_label, 2000u);

    // "set svc-local" replaces "set tloc"; deleting the service type removes all three.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().enm(zel_tag_policy_svc_type, 3).empty(zel_tag_policy_local)), 0);
    EXPECT_EQ(action_codes(env.seq(DATA, "P", "V", 10)),
              (std::vector<uint32_t>{ZEL_ACT_SET_SVC_LOCAL, ZEL_ACT_SET_SVC_TYPE}));
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().gone(zel_tag_policy_svc_type)), 0);
    EXPECT_TRUE(env.seq(DATA, "P", "V", 10)->actions.empty());

    // The local TLOC list keeps the parts it had; encapsulation ipsec is bit 4.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10,
                       Vals()
                           .begin(zel_tag_policy_local_tloc_list)
                           .enums(zel_tag_policy_color, {4, 6})
                           .empty(zel_tag_policy_restrict)
                           .end(zel_tag_policy_local_tloc_list)),
              0);
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10,
                       Vals()
                           .begin(zel_tag_policy_local_tloc_list)
                           .enums(zel_tag_policy_encap, {2})
                           .end(zel_tag_policy_local_tloc_list)),
              0);
    ASSERT_EQ(zel_config_action_find(&env.ctx, DATA, "P", "V", 10, zel_tag_policy_local_tloc_list, &t), 0);
    EXPECT_EQ(t->v.color, (1u << 4) | (1u << 6));
    EXPECT_EQ(t->v.encap, 1u << 4);
    EXPECT_EQ(t->v.restrict_, 1);
    EXPECT_EQ(t->v.given, ZEL_LTL_COLOR | ZEL_LTL_ENCAP | ZEL_LTL_RESTRICT);
}

// Two sequences of one vpn-list name one prefix list: the references are counted per use.
TEST(ListReferences, SharedPrefixListAndApplicationListTakenOnce)
{
    HandlerEnv env;
    env.data_policy("P", "V");
    env.controller_pfx_list("PL", {"10.0.0.0/8"});
    ASSERT_EQ(env.call(zel_config_policy_app_list, MOP_CREATED, env.names({"AL"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_app_list_app_family, MOP_CREATED, env.names({"AL", "web"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_app_list, MOP_CREATED, env.names({"AL2"})), 0);
    for (uint16_t n : {10, 20})
        ASSERT_EQ(env.dseq(MOP_CREATED, "P", n, Vals().buf(zel_tag_policy_source_data_prefix_list, "PL")), 0);
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 30, Vals().buf(zel_tag_policy_application_list, "AL")), 0);
    zel_pfx_list *pl = zel_config_pfx_list_find(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER);
    zel_app_list *al = zel_config_app_list_find(&env.ctx, "AL", ZEL_LIST_SOURCE_CONTROLLER);
    EXPECT_EQ(pl->policy_users.begin()->second, 2u);
    EXPECT_EQ(al->policy_users.begin()->second, 1u);
    EXPECT_EQ(env.ctx.dpi_refs, 1u);

    // Sequence 10 lets go of its match: the list stays referenced by sequence 20.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 10, Vals().gone(zel_tag_policy_source_data_prefix_list)), 0);
    ASSERT_EQ(pl->policy_users.size(), 1u);
    EXPECT_EQ(pl->policy_users.begin()->second, 1u);
    EXPECT_EQ(env.pvl(DATA, "P", "V")->pfx_lists.at("PL"), 1u);

    // The application-list match moves to another list: one reference moves with it.
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "P", 30, Vals().buf(zel_tag_policy_application_list, "AL2")), 0);
    EXPECT_TRUE(al->policy_users.empty());
    EXPECT_EQ(env.ctx.dpi_refs, 1u);
    // A list still in use is not deleted (the schema's references keep the database from asking).
    EXPECT_EQ(zel_config_app_list_delete(&env.ctx, "AL2", ZEL_LIST_SOURCE_CONTROLLER), 16);
    EXPECT_NE(zel_config_app_list_find(&env.ctx, "AL2", ZEL_LIST_SOURCE_CONTROLLER), nullptr);

    ASSERT_EQ(env.call(zel_config_data_policy, MOP_DELETED, env.names({"P"})), 0);
    EXPECT_TRUE(pl->policy_users.empty());
    EXPECT_EQ(env.ctx.dpi_refs, 0u);
    EXPECT_EQ(zel_config_app_list_delete(&env.ctx, "AL2", ZEL_LIST_SOURCE_CONTROLLER), 0);
}

// Entries reported after their list was deleted (one priority, the list first) are no error, and
// an application the inspection engine does not know leaves the list without it.
TEST(ListHandlers, DeletionOrderUnknownApplicationsAndVpnText)
{
    HandlerEnv env;
    env.controller_pfx_list("PL", {"10.0.0.0/8"});
    ASSERT_EQ(env.call(zel_config_policy_pfx_list, MOP_DELETED, env.names({"PL"})), 0);
    auto k = env.names({"PL"});
    k.push_back(Vals::key_prefix("10.0.0.0/8"));
    EXPECT_EQ(env.call(zel_config_policy_pfx_list_ip, MOP_DELETED, k), 0);

    ASSERT_EQ(env.call(zel_config_policy_local_app_list, MOP_CREATED, env.names({"AL"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_local_app_list_app, MOP_CREATED, env.names({"AL", "unclassified"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_local_app_list_app, MOP_CREATED, env.names({"AL", "no-such-app"})), 0);
    EXPECT_EQ(zel_config_app_list_find(&env.ctx, "AL", ZEL_LIST_SOURCE_LOCAL)->entries.size(), 1u);
    ASSERT_EQ(env.call(zel_config_policy_local_app_list, MOP_DELETED, env.names({"AL"})), 0);
    EXPECT_EQ(env.call(zel_config_policy_local_app_list_app, MOP_DELETED, env.names({"AL", "unclassified"})), 0);

    ASSERT_EQ(env.call(zel_config_policy_vpn_list, MOP_CREATED, env.names({"V"})), 0);
    struct {
        const char *text;
        int rc;
        zel_vpn_range want;
    } vpns[] = {{"10", 0, {10, 10}}, {"10-20", 0, {10, 20}}, {"20-10", 0, {20, 10}}, {"abc", -1, {}}};
    for (auto &c : vpns) {
        EXPECT_EQ(env.call(zel_config_policy_vpn_id, MOP_CREATED, env.names({"V", c.text})), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_TRUE(zel_config_vpn_list_find(&env.ctx, "V")->ranges.contains(c.want)) << c.text;
        }
    }
    ASSERT_EQ(env.call(zel_config_policy_vpn_list, MOP_DELETED, env.names({"V"})), 0);
    EXPECT_EQ(env.call(zel_config_policy_vpn_id, MOP_DELETED, env.names({"V", "10"})), 0);
}

std::vector<std::string> g_status;

int capture_status(zel_ctx *, confd_tag_value *values, int n)
{
    auto text = [&](int i) {
        return std::string(reinterpret_cast<char *>(values[i].v.val.buf.ptr), values[i].v.val.buf.size);
    };
    if (n == 8)
        g_status.push_back(text(4) + "/" + text(5) + "/" + text(6));
    return 0;
}

const zel_action_slot &default_slot(const zel_policy_vpn_list *pvl)
{
    return reinterpret_cast<const zel_action_data *>(pvl->rules->default_action.data.data())->slot[0];
}

// A sequence's SLA class defaults to "__all_tunnels__" and changes in place; a default naming a class
// that was deleted takes "__all_tunnels__", not the id the class had and a new class now holds.
TEST(CommitPass, SlaClassesOfSequencesAndDefaultsFollowTheirNames)
{
    HandlerEnv env;
    ASSERT_EQ(env.call(zel_config_policy_sla_class, MOP_CREATED, env.names({"gold"})), 0);
    env.data_policy("A", "V", {"10"}, PFR);
    ASSERT_EQ(env.call(zel_config_app_route_policy_vpn_list, MOP_MODIFIED, env.names({"A", "V"}),
                       Vals().buf(zel_tag_policy_sla_class_name, "gold")),
              0);
    ASSERT_EQ(env.call(zel_config_app_route_policy_seq, MOP_CREATED, env.seq_keys("A", "V", 10),
                       Vals()
                           .begin(zel_tag_policy_sla_class)
                           .enums(zel_tag_policy_preferred_color, {2})
                           .end(zel_tag_policy_sla_class)),
              0);
    zel_action *sla = nullptr;
    ASSERT_EQ(zel_config_action_find(&env.ctx, PFR, "A", "V", 10, zel_tag_policy_sla_class, &sla), 0);
    EXPECT_STREQ(sla->v.sla_name, ZEL_SLA_ALL_TUNNELS);
    EXPECT_EQ(sla->v.preferred_color, 4u);
    ASSERT_EQ(env.call(zel_config_app_route_policy_seq, MOP_MODIFIED, env.seq_keys("A", "V", 10),
                       Vals().buf(zel_tag_policy_sla_class_name, "gold").boolean(zel_tag_policy_strict, true)),
              0);
    ASSERT_EQ(zel_config_action_find(&env.ctx, PFR, "A", "V", 10, zel_tag_policy_sla_class, &sla), 0);
    EXPECT_STREQ(sla->v.sla_name, "gold");
    EXPECT_EQ(sla->sla_index, 1);
    EXPECT_EQ(sla->v.strict, 1);
    EXPECT_EQ(sla->v.preferred_color, 0u);  // chosen for the old class
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_policy_vpn_list *pvl = env.pvl(PFR, "A", "V");
    EXPECT_EQ(default_slot(pvl).p.sla.primary, 1);

    ASSERT_EQ(env.call(zel_config_policy_sla_class, MOP_DELETED, env.names({"gold"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_sla_class, MOP_CREATED, env.names({"silver"})), 0);
    zel_sla_class *silver;
    ASSERT_EQ(zel_sla_class_find(&env.ctx, "silver", &silver), 0);
    ASSERT_EQ(silver->id, 1);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(pvl->default_action->sla_index, 0);
    EXPECT_EQ(default_slot(pvl).p.sla.primary, 0);
    EXPECT_EQ(default_slot(pvl).param_type, static_cast<uint32_t>(ZEL_ACT_SLA_CLASS));

    // The class comes back under its name: the default takes its new id.
    ASSERT_EQ(env.call(zel_config_policy_sla_class, MOP_CREATED, env.names({"gold"})), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(default_slot(pvl).p.sla.primary, 2);
}

// A vpn-list whose rules cannot be built (more actions than a block holds) is reported once, keeps
// its previous program, does not hold up the other vpn-lists, and is rebuilt once it changes.
TEST(CommitPass, BuildFailureIsReportedOnceAndKeepsThePreviousProgram)
{
    HandlerEnv env;
    env.ctx.cfg.notify = capture_status;
    g_status.clear();
    env.data_policy("A", "V");
    env.data_policy("B", "V");
    for (const char *p : {"A", "B"})
        ASSERT_EQ(env.dseq(MOP_CREATED, p, 10, Vals().enm(zel_tag_policy_base_action, 0)), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_policy_vpn_list *a = env.pvl(DATA, "A", "V"), *b = env.pvl(DATA, "B", "V");
    void *a_program = a->program;
    ASSERT_NE(a_program, nullptr);

    // Thirteen actions for A: one more than a block has slots. B changes in the same commit.
    Vals many;
    many.buf(zel_tag_policy_count, "c")
        .empty(zel_tag_policy_log)
        .empty(zel_tag_policy_cflowd)
        .empty(zel_tag_policy_tcp_optimization)
        .begin(zel_tag_policy_set)
        .u8(zel_tag_policy_dscp, 1)
        .buf(zel_tag_policy_next_hop, "192.0.2.1")
        .u32(zel_tag_policy_use_vpn, 0)
        .u32(zel_tag_policy_pool_id, 1)
        .enums(zel_tag_policy_backup_preferred_color, {2})
        .buf(zel_tag_policy_forwarding_class, "__control_fc")
        .begin(zel_tag_policy_service)
        .enm(zel_tag_policy_svc_type, 1)
        .empty(zel_tag_policy_restrict)
        .end(zel_tag_policy_service)
        .end(zel_tag_policy_set);
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "A", 10, many), 0);
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "B", 10, Vals().enm(zel_tag_policy_base_action, 1)), 0);
    void *b_program = b->program;
    EXPECT_NE(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(g_status, (std::vector<std::string>{"A/V/Failed"}));
    EXPECT_EQ(a->program, a_program);
    EXPECT_NE(a->filter_index, ZEL_FILTER_UNBOUND);
    EXPECT_NE(b->program, b_program);

    // Nothing changed: no second report. A change of A builds it again.
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(g_status.size(), 1u);
    ASSERT_EQ(env.dseq(MOP_MODIFIED, "A", 10, Vals().gone(zel_tag_policy_tcp_optimization).gone(zel_tag_policy_cflowd)),
              0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_NE(a->program, a_program);
    EXPECT_EQ(g_status, (std::vector<std::string>{"A/V/Failed", "A/V/Success"}));
}

// An application list of applications the inspection engine does not know matches no packet, even
// when it is the vpn-list's only sequence.
TEST(CommitPass, UnknownApplicationsMatchNothing)
{
    HandlerEnv env;
    env.data_policy("P", "V");
    ASSERT_EQ(env.call(zel_config_policy_app_list, MOP_CREATED, env.names({"AL"})), 0);
    ASSERT_EQ(env.call(zel_config_policy_app_list_app, MOP_CREATED, env.names({"AL", "no-such-app"})), 0);
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 10,
                       Vals().buf(zel_tag_policy_application_list, "AL").enm(zel_tag_policy_base_action, 1)),
              0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_policy_vpn_list *pvl = env.pvl(DATA, "P", "V");
    ASSERT_NE(pvl->program, nullptr);
    ASSERT_EQ(zel_rule_count(pvl->rules), 1u);
    // The rule asks for 0 in the MATCH_ANY field, which no packet carries, and for nothing else.
    const rule *r = zel_rule_at(pvl->rules, 0);
    ASSERT_EQ(r->matches.size(), 1u);
    ASSERT_EQ(r->matches[0].ranges.size(), 1u);
    EXPECT_EQ(r->matches[0].ranges[0].max, 0u);
}

// Sizes the schema allows: every sequence number in one vpn-list, and a prefix list of 10,000
// prefixes. Both fit in 2 MB of program memory (sequences with the same actions share one block).
TEST(CommitPass, LargestSequenceCountAndLongPrefixLists)
{
    HandlerEnv env(1u << 14);
    env.ctx.cfg.notify = capture_status;
    g_status.clear();
    env.data_policy("P", "V");
    ASSERT_EQ(env.call(zel_config_policy_pfx_list, MOP_CREATED, env.names({"big"})), 0);
    for (uint32_t i = 0; i < 10000; i++) {
        auto k = env.names({"big"});
        k.push_back(Vals::key_prefix("10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24"));
        ASSERT_EQ(env.call(zel_config_policy_pfx_list_ip, MOP_CREATED, k), 0);
    }
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 1, Vals().buf(zel_tag_policy_source_data_prefix_list, "big")), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_NE(env.pvl(DATA, "P", "V")->program, nullptr);

    env.data_policy("Q", "W");
    for (uint32_t n = 1; n <= 65535; n++)
        ASSERT_EQ(env.call(zel_config_data_policy_seq, MOP_CREATED, env.seq_keys("Q", "W", static_cast<uint16_t>(n)),
                           Vals().enm(zel_tag_policy_base_action, n % 2)),
                  0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_policy_vpn_list *q = env.pvl(DATA, "Q", "W");
    EXPECT_NE(q->program, nullptr);
    EXPECT_EQ(zel_rule_count(q->rules), 65535u);
    EXPECT_TRUE(g_status.empty());
    ASSERT_EQ(env.call(zel_config_data_policy, MOP_DELETED, env.names({"Q"})), 0);
}

// A service type with no way to the service given rides on the sequence's TLOC list, empty until
// preference entries fill it; the list goes with the sequence.
TEST(SequenceHandler, ServiceTypeAloneTakesTheSequencesTlocList)
{
    HandlerEnv env;
    env.data_policy("P", "V");
    ASSERT_EQ(env.dseq(MOP_CREATED, "P", 15, Vals().enm(zel_tag_policy_svc_type, 2)), 0);
    EXPECT_EQ(action_codes(env.seq(DATA, "P", "V", 15)),
              (std::vector<uint32_t>{ZEL_ACT_SET_SVC_TYPE, ZEL_ACT_TLOC_LIST}));
    const zel_tloc_list *tl = zel_config_tloc_list_find(&env.ctx, DATA, "P", "V", 15);
    ASSERT_NE(tl, nullptr);
    EXPECT_TRUE(tl->entries.empty());

    auto key = env.seq_keys("P", "V", 15);
    key.push_back(Vals::key_u32(1));
    ASSERT_EQ(env.call(zel_config_data_policy_seq_tloc_pref_list, MOP_CREATED, key,
                       Vals()
                           .ipv4(zel_tag_policy_tloc_ip, "10.0.0.1")
                           .enm(zel_tag_policy_tloc_color, 2)
                           .enm(zel_tag_policy_tloc_encap, 2)
                           .u32(zel_tag_policy_vpn_label, 1003)),
              0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_action *act = nullptr;
    ASSERT_EQ(zel_config_action_find(&env.ctx, DATA, "P", "V", 15, zel_tag_policy_qor_tloc_pref_list, &act), 0);
    ASSERT_EQ(act->tloc_choices.size(), 1u);
    EXPECT_EQ(act->tloc_choices[0].vpn_label, 1003u);

    ASSERT_EQ(env.dseq(MOP_DELETED, "P", 15), 0);
    EXPECT_EQ(zel_config_tloc_list_find(&env.ctx, DATA, "P", "V", 15), nullptr);
}

}  // namespace
