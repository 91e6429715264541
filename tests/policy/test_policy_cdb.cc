// The VRF id of set nat use-vpn, read from a running configuration database.
#include "../cfgd/cfgd_harness.h"
#include "policy_fixture.h"

#include <string>

using policy_test::PolicyEnv;

namespace
{

constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;

TEST(PolicyCdb, NatUseVpnTakesTheVrfIdOfTheVpn)
{
    CdbSim sim;
    ASSERT_TRUE(sim.start());
    ASSERT_EQ(sim.load_json(R"({"ardenta-vpn:vpn":{"vpn-instance":[{"vpn-id":"10","vrf-id":7},{"vpn-id":"11"}]}})"), 0);

    uint16_t vrf = 99;
    EXPECT_TRUE(zel_policy_cdb_vrf_id(10, &vrf));
    EXPECT_EQ(vrf, 7u);
    EXPECT_FALSE(zel_policy_cdb_vrf_id(11, &vrf)) << "a VPN without vrf-id";
    EXPECT_FALSE(zel_policy_cdb_vrf_id(12, &vrf)) << "no such VPN";

    PolicyEnv env;
    env.ctx.cfg.vrf_id = zel_policy_cdb_vrf_id;
    env.policy_on(DATA, "P", "V");
    zel_sequence *s;
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 10, &s), 0);
    zel_action_value v{};
    v.value = 10;
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 10, ZEL_ACT_SET_NAT_USE_VPN, ZEL_ACT_SET_NAT_USE_VPN, &v),
              0);
    ASSERT_EQ(s->actions.size(), 1u);
    EXPECT_EQ(s->actions[0]->vrf_id, 7u);

    // Without the database the action is still added, with VRF 0.
    sim.stop();
    v.value = 10;
    ASSERT_EQ(zel_config_rule_add(&env.ctx, DATA, "P", "V", 20, &s), 0);
    ASSERT_EQ(zel_config_action_add(&env.ctx, DATA, "P", "V", 20, ZEL_ACT_SET_NAT_USE_VPN, ZEL_ACT_SET_NAT_USE_VPN, &v),
              0);
    EXPECT_EQ(s->actions[0]->vrf_id, 0u);
    EXPECT_FALSE(zel_policy_cdb_vrf_id(10, &vrf));
}

// A database that takes the connection and never answers: the read gives up after the loop's answer
// time instead of holding the commit that asked, and the loop with it (without a timeout this test
// never ends).
TEST(PolicyCdb, ADatabaseThatNeverAnswersIsGivenUp)
{
    SilentDatabase silent;
    ASSERT_TRUE(silent.ok());
    const char *was = getenv("CONFD_IPC_PORT");
    const std::string saved = was ? was : "";
    setenv("CONFD_IPC_PORT", std::to_string(silent.port()).c_str(), 1);

    uint16_t vrf = 99;
    EXPECT_FALSE(zel_policy_cdb_vrf_id(10, &vrf));
    EXPECT_EQ(vrf, 99u);

    if (was)
        setenv("CONFD_IPC_PORT", saved.c_str(), 1);
    else
        unsetenv("CONFD_IPC_PORT");
}

}  // namespace
