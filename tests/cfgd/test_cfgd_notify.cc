// Notification queues and the throttler.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "cfgd/cfgd_internal.h"
#include "cfgd/cfgd_util.h"
#include "cfgd_harness.h"
#include "yang/zel_yang_hashes.h"

namespace
{

int enqueue(std::vector<confd_tag_value_t> v)
{
    return cfgd_enqueue_notification(v.data(), static_cast<int>(v.size()));
}

TEST(Notify, MoreValuesThanAnItemHoldsAreFatalAtTheQueue)
{
    auto v = policy_status(1, "p", 14);
    ASSERT_EQ(v.size(), 21u);
    EXPECT_DEATH(enqueue(v), "num_values <= CFGD_NOTIF_MAX_VALUES");
}

TEST(Notify, QueueCapacityDropsTheNewest)
{
    cfgd_context ctx{};
    ASSERT_EQ(cfgd_notification_throttler_init(&ctx), 0);
    cfgd_notification_throttler_connection_reset();    // queue without sending
    EXPECT_EQ(enqueue(policy_status(2, "p", 12)), 0);  // 19 values pass
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(enqueue(policy_status(1, "p")), 0) << i;
    EXPECT_EQ(enqueue(policy_status(1, "p")), -2);
    for (int i = 1; i < 50; i++)
        ASSERT_EQ(enqueue(policy_status(3, "p")), 0) << i;
    EXPECT_EQ(enqueue(policy_status(3, "p")), 0);
    EXPECT_EQ(enqueue(policy_status(3, "p")), -2);
    EXPECT_EQ(cfgd_notification_queue_count(0), 100u);
    EXPECT_EQ(cfgd_notification_queue_count(1), 1u);
    EXPECT_EQ(cfgd_notification_queue_count(2), 50u);
    cfgd_notification_throttler_free();
    EXPECT_EQ(enqueue(policy_status(1, "p")), -1);
}

// The throttler against the database: order across queues, stream and syslog line.
TEST(NotifyDb, HigherPriorityOvertakesQueuedOnes)
{
    CdbSim sim;
    ASSERT_TRUE(sim.start());
    Loop loop;
    cfgd_module_params params = bare_module_params(loop, 41);
    cfgd_context *ctx = nullptr;
    ASSERT_EQ(cfgd_module_init(&params, nullptr, &ctx), 0);
    ASSERT_NE(ctx->params.notif_ctx, nullptr);

    cfgd_notification_throttler_connection_reset();
    for (const char *name : {"low-a", "low-b", "low-c"})
        ASSERT_EQ(enqueue(policy_status(2, name)), 0);
    ASSERT_EQ(enqueue(policy_status(1, "urgent")), 0);
    ASSERT_EQ(cfgd_notification_throttler_init(ctx), 0);

    std::string out;
    ASSERT_TRUE(loop.run_until([&] {
        sim.cli({"notifications"}, &out);
        return out.find("low-c") != std::string::npos;
    }));
    size_t urgent = out.find("urgent"), low = out.find("low-a");
    ASSERT_NE(urgent, std::string::npos) << out;
    EXPECT_LT(urgent, low) << out;
    EXPECT_LT(low, out.find("low-b")) << out;
    EXPECT_NE(out.find("\"notification\":\"policy-status\""), std::string::npos) << out;
    cfgd_module_free(ctx);
}

}  // namespace
