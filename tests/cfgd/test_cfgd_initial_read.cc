// The initial read runs once in the life of the process, and not at all until it has succeeded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cfgd_harness.h"
#include "yang/zel_yang_hashes.h"

namespace
{

int g_creates;  // handler calls that created the prefix list

int count_creates(cfgd_sub_point *, enum cdb_iter_op op, uint8_t, confd_value_t *, uint16_t, confd_tag_value_t *)
{
    g_creates += op == MOP_CREATED;
    return 0;
}

class InitialRead : public testing::Test
{
protected:
    void SetUp() override
    {
        g_creates = 0;
        ASSERT_TRUE(sim_.start());
        ASSERT_EQ(sim_.load_json(R"({"ardenta-policy:policy":{"lists":{"data-prefix-list":[{"name":"pl1"}]}}})"), 0);
        snprintf(points_[0].path, sizeof points_[0].path, "policy/lists/data-prefix-list");
        points_[0].handler = count_creates;
        points_[0].ns = zel_ns_policy;
        points_[0].num_keys = 1;
        points_[0].priorities = cfgd_prio(1, 6);
        params_ = bare_module_params(loop_, 40);  // level 3, like zeld: waits for the mask
        params_.sub_points = points_;
        // The mask lacks level 2: the module subscribes and waits.
        ASSERT_TRUE(sim_.set_prio_mask(0x3));
        ASSERT_EQ(cfgd_module_init(&params_, nullptr, &ctx_), 0);
        ASSERT_TRUE(loop_.run_until([&] { return ctx_->sub_ev != nullptr && points_[0].sub_id > 0; }));
        loop_.run_for(std::chrono::milliseconds(100));
        ASSERT_EQ(g_creates, 0);
    }
    void TearDown() override { cfgd_module_free(ctx_); }

    CdbSim sim_;
    Loop loop_;
    cfgd_sub_point points_[2] = {};
    cfgd_module_params params_{};
    cfgd_context *ctx_ = nullptr;
};

TEST_F(InitialRead, QuickMaskWritesReadOnce)
{
    // Each mask notification asks for the read; the second and third come while the first runs.
    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(cfgd_read_sub_config_all(ctx_), 0);
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->initial_read_done == 1; }));
    loop_.run_for(std::chrono::milliseconds(300));
    EXPECT_EQ(g_creates, 1);
    EXPECT_EQ(cfgd_can_read_initial_config(ctx_), 0) << "never again in this process";
}

TEST_F(InitialRead, RefusedTriggerIsRetriedUntilItSucceeds)
{
    // The database refuses a trigger naming a subscription it does not know.
    const int real_id = points_[0].sub_id;
    points_[0].sub_id = real_id + 1000;
    ASSERT_TRUE(sim_.set_prio_mask(0x7));
    loop_.run_for(std::chrono::milliseconds(300));
    EXPECT_NE(ctx_->initial_read_done, 1u);
    // The retry reconnects and subscribes afresh, with ids the database knows.
    ASSERT_TRUE(loop_.run_until([&] { return ctx_->initial_read_done == 1; }));
    EXPECT_EQ(g_creates, 1);
}

}  // namespace
