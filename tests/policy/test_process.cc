// The commit pass over heap program memory: what it compiles, binds, retries and reports.
#include <arpa/inet.h>

#include "dataplane/zel_if_octeon.h"
#include "platform/cdb/confd_lib.h"
#include "policy/zel_policy_internal.h"
#include "policy_fixture.h"
#include "yang/zel_yang_hashes.h"

using policy_test::PolicyEnv;

namespace
{

constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;

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

struct PolicerCall {
    uint32_t index;
    zel_policer_stats stats;
};
std::vector<PolicerCall> g_policer_calls;

// A new definition reaches published programs in place, and programs compiled later, the ones
// recompiled for another change included.
TEST_F(PolicyPass, PolicerRedefinitionUpdatesPublishedProgramsInPlaceAndSurvivesRecompilation)
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
    auto police = [&](const char *p) { return find_slot(env.pvl(DATA, p, p)->program, ZEL_ACT_POLICE)->p.police; };
    const zel_slot_police before = police("Bound");

    ASSERT_EQ(zel_config_policer_set(&env.ctx, "pol", 2000000, 40000, 1), 0);
    EXPECT_EQ(zel_prog_heap_programs(env.heap), programs) << "nothing is recompiled";
    // The bound vpn-list; the unbound one has nothing to update.
    ASSERT_EQ(g_policer_calls.size(), 1u);
    EXPECT_EQ(g_policer_calls[0].index, env.pvl(DATA, "Bound", "Bound")->filter_index);
    // An unrelated change recompiles Bound.
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "Bound", "Bound", 20, nullptr), 0);
    ASSERT_EQ(zel_process_policies(&env.ctx), 0);
    const zel_slot_police compiled = police("Unbound"), after = police("Bound");
    EXPECT_NE(before.rate, compiled.rate);
    EXPECT_EQ(after.rate, compiled.rate);
    EXPECT_EQ(after.burst, compiled.burst);
    EXPECT_EQ(after.oob_action, 1u);
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
