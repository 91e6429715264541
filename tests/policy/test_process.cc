// The commit pass over heap program memory: what it compiles, binds, retries and reports.
#include <arpa/inet.h>

#include "dataplane/zel_if_octeon.h"
#include "platform/cdb/confd_lib.h"
#include "policy/zel_policy_internal.h"
#include "policy_fixture.h"
#include "yang/zel_yang_hashes.h"

using policy_test::be32;
using policy_test::PolicyEnv;

namespace
{

constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;

std::vector<std::string> rule_names(const rule_table *rt)
{
    std::vector<std::string> out;
    for (const rule *r = rt ? rt->head : nullptr; r; r = r->next)
        out.push_back(r->name);
    return out;
}

struct SlotFind {
    uint32_t param_type;
    const zel_action_slot *slot = nullptr;
};

const zel_action_slot *find_slot(void *image, uint32_t param_type)
{
    SlotFind f{param_type};
    zel_action_blocks_visit(
        image,
        [](zel_action_data *data, void *arg) {
            auto *f = static_cast<SlotFind *>(arg);
            for (const zel_action_slot &s : data->slot)
                if (!f->slot && s.param_type == f->param_type)
                    f->slot = &s;
        },
        &f);
    return f.slot;
}

using PolicyPass = testing::Test;

TEST_F(PolicyPass, BindCarriesEveryVpnOfEveryRange)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V", {{10, 12}, {20, 20}});
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    zel_policy *p;
    zel_config_policy_find(&env.ctx, DATA, "P", &p);
    zel_policy_vpn_list *pvl = env.pvl(DATA, "P", "V");
    ASSERT_NE(pvl->program, nullptr);
    ASSERT_LT(pvl->filter_index, policy_test::kSlots);
    EXPECT_EQ(pvl->filter_type, ZEL_FILTER_TYPE_DATA);

    std::vector<uint8_t> msg;
    ASSERT_EQ(zel_policy_binding_encode(&env.ctx, p, pvl, nullptr, ZEL_BIND_OP_BIND, &msg), 0);
    ASSERT_EQ(msg.size(), 155u);
    zel_bind_msg_hdr hdr;
    memcpy(&hdr, msg.data(), sizeof hdr);
    EXPECT_EQ(hdr.opcode, ZEL_BIND_OP_BIND);
    EXPECT_EQ(hdr.filter_type, 1);
    EXPECT_EQ(ntohl(hdr.filter_index), pvl->filter_index);
    EXPECT_STREQ(hdr.name, "P");
    EXPECT_EQ(ntohl(hdr.count), 4u);
    std::vector<uint32_t> ids;
    for (size_t off = ZEL_BIND_HDR_LEN; off < msg.size(); off += 4)
        ids.push_back(be32(&msg[off]));
    EXPECT_EQ(ids, (std::vector<uint32_t>{10, 11, 12, 20}));

    // One range alone, as a range change sends it.
    zel_vpn_range one{20, 20};
    ASSERT_EQ(zel_policy_binding_encode(&env.ctx, p, pvl, &one, ZEL_BIND_OP_UNBIND, &msg), 0);
    EXPECT_EQ(msg.size(), 143u);
    EXPECT_EQ(msg[0], ZEL_BIND_OP_UNBIND);

    // A vpn-list without VPNs sends nothing; a missing global list is 2.
    ASSERT_EQ(zel_config_vpn_range_delete(&env.ctx, "V", 10, 12), 0);
    ASSERT_EQ(zel_config_vpn_range_delete(&env.ctx, "V", 20, 20), 0);
    ASSERT_EQ(zel_policy_binding_encode(&env.ctx, p, pvl, nullptr, ZEL_BIND_OP_BIND, &msg), 0);
    EXPECT_TRUE(msg.empty());
    EXPECT_EQ(zel_policy_send_binding(&env.ctx, p, pvl, nullptr, ZEL_BIND_OP_BIND), 74);  // no pxrd link
}

TEST_F(PolicyPass, SequencesCompileInNumberOrderAndEmptyListsStayUnbound)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    env.policy_on(DATA, "P", "Empty");
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 20, nullptr), 0);
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(rule_names(env.pvl(DATA, "P", "V")->rules), (std::vector<std::string>{"10", "20"}));
    EXPECT_STREQ(env.pvl(DATA, "P", "V")->rules->alias, "1V");
    EXPECT_EQ(env.pvl(DATA, "P", "Empty")->program, nullptr);
    EXPECT_EQ(env.pvl(DATA, "P", "Empty")->filter_index, ZEL_FILTER_UNBOUND);
    EXPECT_EQ(zel_prog_heap_programs(env.heap), 1u);
    zel_policy *p;
    zel_config_policy_find(&env.ctx, DATA, "P", &p);
    EXPECT_FALSE(p->added || p->changed);
}

TEST_F(PolicyPass, OnlyMarkedVpnListsAreRebuilt)
{
    PolicyEnv env;
    env.policy_on(DATA, "P1", "V");
    env.policy_on(DATA, "P2", "V");
    env.pfx_list("PL", {{"10.0.0.0", 8}, {"11.0.0.0", 8}, {"12.0.0.0", 8}});
    for (const char *p : {"P1", "P2"})
        ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, p, "V", 10, nullptr), 0);
    zel_sequence *s;
    ASSERT_EQ(zel_config_sequence_find(&env.ctx, DATA, "P1", "V", 10, &s), 0);
    zel_match_value v = PolicyEnv::list_value("PL");
    ASSERT_EQ(zel_config_match_add(&env.ctx, ZEL_MATCH_SRC_PFX_LIST, &v, s), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    // A rebuilt vpn-list gets a new rule table; the alias marks the old ones.
    rule_table *rt1 = env.pvl(DATA, "P1", "V")->rules;
    rule_table *rt2 = env.pvl(DATA, "P2", "V")->rules;
    ASSERT_NE(rt1, nullptr);
    ASSERT_NE(rt2, nullptr);
    rt1->alias[0] = rt2->alias[0] = 'X';

    // A pass with nothing marked keeps every program.
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(env.pvl(DATA, "P1", "V")->rules->alias[0], 'X');

    // A prefix removed from the list rebuilds its user only, from the list's new contents.
    ASSERT_EQ(
        zel_config_pfx_list_prefix_delete(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER, PolicyEnv::prefix("11.0.0.0", 8)),
        0);
    ASSERT_EQ(zel_config_pfx_list_change(&env.ctx, "PL", ZEL_LIST_SOURCE_CONTROLLER), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_STREQ(env.pvl(DATA, "P1", "V")->rules->alias, "1V");
    EXPECT_EQ(env.pvl(DATA, "P2", "V")->rules->alias[0], 'X');
    int addr_entries = 0;
    for (const zel_match &m : s->matches)
        addr_entries += m.field == ZEL_MATCH_SRC_ADDR;
    EXPECT_EQ(addr_entries, 2);
    EXPECT_EQ(zel_prog_heap_programs(env.heap), 2u);
}

TEST_F(PolicyPass, StatusNotificationTagValues)
{
    confd_tag_value_t v[8];
    ip_addr_t addr{};
    addr.family = AF_INET;
    addr.v4 = 0x0A000001;
    zel_policy_status_values(v, "", addr, "P", "V", "Failed");
    const uint32_t tags[8] = {0x73E916A8, 0x18F30F38, 0x5808A665, 0x5E5F3F28,
                              0x61FE004E, 0x0ED4D8E3, 0x74470328, 0x73E916A8};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(v[i].tag.tag, tags[i]) << i;
    EXPECT_EQ(v[0].v.type, C_XMLBEGIN);
    EXPECT_EQ(v[0].tag.ns, zel_ns_policy);
    EXPECT_EQ(v[1].v.type, C_ENUM_VALUE);
    EXPECT_EQ(v[1].v.val.enumvalue, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v[2].v.val.buf.ptr), v[2].v.val.buf.size), "default");
    EXPECT_EQ(v[3].v.type, C_IPV4);
    EXPECT_EQ(v[3].v.val.ip.s_addr, htonl(0x0A000001));
    EXPECT_EQ(v[7].v.type, C_XMLEND);
    addr.family = AF_INET6;
    zel_policy_status_values(v, "region", addr, "P", "V", "Success");
    EXPECT_EQ(v[3].v.type, C_IPV6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v[2].v.val.buf.ptr), v[2].v.val.buf.size), "region");
}

TEST_F(PolicyPass, ForwardingClassResolvesAtCommit)
{
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, nullptr), 0);
    zel_action_value fc = policy_test::named("late");
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_SET_FC, ZEL_ACT_SET_FC, &fc), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    EXPECT_EQ(find_slot(env.pvl(DATA, "P", "V")->program, ZEL_ACT_SET_FC), nullptr);
    ASSERT_EQ(zel_fwd_class_add(&env.ctx, "late", 4), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    const zel_action_slot *slot = find_slot(env.pvl(DATA, "P", "V")->program, ZEL_ACT_SET_FC);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->p.fc, static_cast<int32_t>(zel_fwd_class_find(&env.ctx, "late")->info.id));
}

TEST_F(PolicyPass, PolicerRedefinitionSurvivesRecompilation)
{
    PolicyEnv env;
    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 8000000, 10000, 0), 0);
    env.policy_on(DATA, "P", "V");
    zel_action_value pol{};
    snprintf(pol.name, sizeof pol.name, "pol");
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &pol), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    const zel_slot_police before = find_slot(env.pvl(DATA, "P", "V")->program, ZEL_ACT_POLICE)->p.police;

    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 2000000, 40000, 1), 0);
    // A policy compiled after the redefinition shows what the new definition compiles to.
    env.policy_on(DATA, "Fresh", "V");
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "Fresh", "V", 10, nullptr), 0);
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "Fresh", "V", 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &pol), 0);
    // An unrelated change recompiles P.
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 20, nullptr), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    const zel_slot_police fresh = find_slot(env.pvl(DATA, "Fresh", "V")->program, ZEL_ACT_POLICE)->p.police;
    const zel_slot_police after = find_slot(env.pvl(DATA, "P", "V")->program, ZEL_ACT_POLICE)->p.police;
    EXPECT_NE(before.rate, fresh.rate);
    EXPECT_EQ(after.rate, fresh.rate);
    EXPECT_EQ(after.burst, fresh.burst);
    EXPECT_EQ(after.oob_action, 1u);
}

struct PolicerCall {
    uint32_t index;
    zel_policer_stats stats;
};
std::vector<PolicerCall> g_policer_calls;

TEST_F(PolicyPass, PolicerRedefinitionUpdatesPublishedProgramsInPlace)
{
    PolicyEnv env;
    g_policer_calls.clear();
    zel_dp_ops ops{};
    ops.policer_update = [](uint32_t index, const zel_policer_stats *st) {
        g_policer_calls.push_back({index, *st});
        return 0;
    };
    env.ctx.dp.ops = &ops;
    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 8000000, 10000, 0), 0);
    EXPECT_TRUE(g_policer_calls.empty()) << "a new policer has no published users";
    zel_action_value pol{};
    snprintf(pol.name, sizeof pol.name, "pol");
    for (const char *p : {"Bound", "Unbound"}) {
        env.policy_on(DATA, p, p);
        ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, p, p, 10, nullptr), 0);
        ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, p, p, 10, ZEL_ACT_POLICE, ZEL_ACT_POLICE, &pol), 0);
        if (std::string(p) == "Bound") {
            ASSERT_EQ(zel_process_policies(&env.ctx), 0);
        }
    }
    const uint32_t programs = zel_prog_heap_programs(env.heap);

    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 2000000, 40000, 1), 0);
    EXPECT_EQ(zel_prog_heap_programs(env.heap), programs) << "nothing is recompiled";
    // The bound vpn-list; the unbound one has nothing to update.
    ASSERT_EQ(g_policer_calls.size(), 1u);
    EXPECT_EQ(g_policer_calls[0].index, env.pvl(DATA, "Bound", "Bound")->filter_index);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    const zel_slot_police compiled = find_slot(env.pvl(DATA, "Unbound", "Unbound")->program, ZEL_ACT_POLICE)->p.police;
    for (const PolicerCall &c : g_policer_calls) {
        EXPECT_STREQ(c.stats.name, "pol");
        EXPECT_EQ(c.stats.rate, compiled.rate);
        EXPECT_EQ(c.stats.burst, compiled.burst);
        EXPECT_EQ(c.stats.oob_action, 1u);
    }
    env.ctx.dp.ops = nullptr;
}

TEST_F(PolicyPass, ListEntryReachingTheCompilerIsAnInvariantFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PolicyEnv env;
    env.policy_on(DATA, "P", "V");
    zel_sequence *s;
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, &s), 0);
    // A list field the rebuild does not recognise as list-derived (a corrupted entry) is never
    // skipped silently.
    zel_match_push(s, ZEL_MATCH_SRC_PFX_LIST, ZEL_MATCH_SRC_ADDR, "PL", 0, 0);
    EXPECT_DEATH(zel_process_policies(&env.ctx), "zel_config:[0-9]+: failed assertion `0'");
}

}  // namespace
