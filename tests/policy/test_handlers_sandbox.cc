// A VPN instance that appears binds the bound users of every vpn-list covering it, with the whole
// covering range: the daemon's start-up in this process with fp-sim, pxrd-sim and krod-sim.
#include <event2/event.h>
#include <sys/mman.h>

#include <regex>
#include <thread>

#include "daemon/zel.h"
#include "daemon/zel_confd.h"
#include "dataplane/fp_common.h"
#include "fp_sim_harness.h"
#include "policy/zel_config.h"
#include "sandbox.h"

namespace
{

using namespace std::chrono_literals;

class VpnInstance : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        fp = e2e::start_fp_sim();
        pxrd = e2e::Process::start({e2e::binary("pxrd-sim")});
        krod = e2e::Process::start({e2e::binary("krod-sim")});
        ASSERT_TRUE(fp && pxrd && krod);
        ASSERT_EQ(zel_init(ctx), 0) << syslog().dump();
        started = true;
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms).has_value(); }));
    }
    void TearDown() override
    {
        if (started)
            zel_deinit(ctx);
        shm_unlink(FP_SHMEM_NAME);
    }
    bool pump_until(const std::function<bool()> &pred)
    {
        for (auto end = std::chrono::steady_clock::now() + e2e::kWait; std::chrono::steady_clock::now() < end;) {
            event_base_loop(ctx->base, EVLOOP_NONBLOCK);
            if (pred())
                return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    bool pxrd_line(const std::string &re, size_t *cursor)
    {
        std::regex r(re);
        return pump_until([&] { return pxrd->wait_stdout_regex(r, 0ms, cursor).has_value(); });
    }

    zel_ctx *ctx = &g_zel_ctx;
    bool started = false;
    std::unique_ptr<e2e::Process> fp, pxrd, krod;
};

TEST_F(VpnInstance, BindsTheCoveringRangesOfBoundUsers)
{
    for (const char *list : {"A", "B"})
        ASSERT_EQ(zel_config_vpn_list_add(ctx, list), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "A", 10, 20), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "A", 30, 31), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "B", 12, 13), 0);
    // P on A is bound; Q on B has no sequence, so no program and no binding.
    ASSERT_EQ(zel_config_policy_add(ctx, ZEL_POLICY_TYPE_DATA, "P", 1), 0);
    ASSERT_EQ(zel_config_policy_vpn_list_add(ctx, ZEL_POLICY_TYPE_DATA, "P", "A", ZEL_ACT_ACCEPT, nullptr), 0);
    ASSERT_EQ(zel_config_rule_add(ctx, ZEL_POLICY_TYPE_DATA, "P", "A", 10, nullptr), 0);
    ASSERT_EQ(zel_config_policy_add(ctx, ZEL_POLICY_TYPE_DATA, "Q", 1), 0);
    ASSERT_EQ(zel_config_policy_vpn_list_add(ctx, ZEL_POLICY_TYPE_DATA, "Q", "B", ZEL_ACT_ACCEPT, nullptr), 0);
    zel_commit_done(ctx);
    size_t cur = 0;
    ASSERT_TRUE(pxrd_line(R"("event":"bind".*"name":"P".*"count":13)", &cur)) << pxrd->stdout_text();

    ASSERT_EQ(zel_config_vpn_instance_apply(ctx, 15), 0);
    ASSERT_TRUE(pxrd_line(R"("event":"bind".*"name":"P","count":11,"vpns":\[10,11,12,13,14,15,16,17,18,19,20\])", &cur))
        << pxrd->stdout_text();
    // VPN 30 is a range's low end; 25 lies in no range.
    ASSERT_EQ(zel_config_vpn_instance_apply(ctx, 25), 0);
    ASSERT_EQ(zel_config_vpn_instance_apply(ctx, 30), 0);
    ASSERT_TRUE(pxrd_line(R"("event":"bind".*"name":"P","count":2,"vpns":\[30,31\])", &cur)) << pxrd->stdout_text();
    std::this_thread::sleep_for(200ms);
    event_base_loop(ctx->base, EVLOOP_NONBLOCK);
    EXPECT_EQ(pxrd->stdout_text().find("\"Q\""), std::string::npos);
}

}  // namespace
