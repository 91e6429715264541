// The daemon's start-up run in this process inside the sandbox, with fp-sim, pxrd-sim and krod-sim:
// data policies retried after running out of program memory, and start-up run twice. Shutdown then
// runs with every policy still installed (the sanitizer build checks leaks).
#include <arpa/inet.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "compiler/zel_ruletable.h"
#include "daemon/zel.h"
#include "daemon/zel_confd.h"
#include "dataplane/fp_common.h"
#include "fp_sim_harness.h"
#include "loop_harness.h"
#include "platform/cdb/confd_lib.h"
#include "policy/zel_config.h"
#include "sandbox.h"

namespace
{

using namespace std::chrono_literals;
constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;

class PolicySandbox : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(e2e::use_sim_size("small"), "");
        fp = e2e::start_fp_sim();
        ASSERT_TRUE(fp);
        pxrd = e2e::Process::start({e2e::binary("pxrd-sim")});
        krod = e2e::Process::start({e2e::binary("krod-sim")});
        ASSERT_TRUE(pxrd && krod);
        ASSERT_EQ(zel_init(ctx), 0) << syslog().dump();
        started = true;
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms).has_value(); }));
        ASSERT_TRUE(pump_until([&] { return krod->wait_stdout_line("\"request\"", 0ms).has_value(); }));
    }
    void TearDown() override
    {
        if (started)
            zel_deinit(ctx);
        shm_unlink(FP_SHMEM_NAME);
    }

    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = e2e::kWait)
    {
        return e2e::run_loop_until(ctx->base, pred, timeout);
    }

    // The next pxrd-sim line at or after *cursor that matches.
    bool pxrd_line(const std::string &re, size_t *cursor)
    {
        std::regex r(re);
        return pump_until([&] { return pxrd->wait_stdout_regex(r, 0ms, cursor).has_value(); });
    }

    void policy(const char *name, const char *vpn_list)
    {
        ASSERT_EQ(zel_config_policy_add(ctx, DATA, name), 0);
        ASSERT_EQ(zel_config_policy_vpn_list_add(ctx, DATA, name, vpn_list, ZEL_ACT_ACCEPT, nullptr), 0);
    }
    void add_rule(const char *p, uint32_t seq, uint32_t proto, const char *counter)
    {
        zel_sequence *s;
        ASSERT_EQ(zel_config_rule_add(ctx, DATA, p, "V", seq, &s), 0);
        zel_match_value v{};
        v.low = proto;
        ASSERT_EQ(zel_config_match_add(ctx, ZEL_MATCH_PROTOCOL, &v, s), 0);
        zel_action_value a{};
        snprintf(a.name, sizeof a.name, "%s", counter);
        ASSERT_EQ(zel_config_action_add(ctx, DATA, p, "V", seq, ZEL_ACT_COUNT, ZEL_ACT_COUNT, &a), 0);
        ASSERT_EQ(zel_config_action_add(ctx, DATA, p, "V", seq, ZEL_ACT_ACCEPT, 0, nullptr), 0);
    }
    zel_policy_vpn_list *pvl(const char *p)
    {
        zel_policy_vpn_list *out = nullptr;
        zel_config_policy_vpn_list_find(ctx, DATA, p, "V", &out);
        return out;
    }

    zel_ctx *ctx = &g_zel_ctx;
    bool started = false;
    std::unique_ptr<e2e::Process> fp, pxrd, krod;
};

TEST_F(PolicySandbox, OutOfProgramMemoryAlertsAndRetriesOnceBlocksAreFreed)
{
    const std::string host = e2e::hostname();
    ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 7, 7), 0);
    std::vector<std::string> statuses;
    static std::vector<std::string> *g_statuses;
    g_statuses = &statuses;
    ctx->cfg.notify = [](zel_ctx *, confd_tag_value *values, int n) {
        const auto &buf = values[n - 2].v.val.buf;  // the status, before the container's end
        g_statuses->emplace_back(reinterpret_cast<const char *>(buf.ptr), buf.size);
        return 0;
    };
    // Policies whose programs are a cross product of 200 source and destination ports each:
    // the small class's filter memory holds a few of them, not all.
    const char *names[] = {"A", "B", "C", "D", "E", "F", "G", "H"};
    for (const char *n : names) {
        policy(n, "V");
        for (uint32_t i = 1; i <= 200; i++) {
            zel_sequence *s;
            ASSERT_EQ(zel_config_rule_add(ctx, DATA, n, "V", i, &s), 0);
            zel_match_value v{};
            v.low = v.high = 1000 + 2 * i;
            ASSERT_EQ(zel_config_match_add(ctx, ZEL_MATCH_SRC_PORT, &v, s), 0);
            ASSERT_EQ(zel_config_match_add(ctx, ZEL_MATCH_DST_PORT, &v, s), 0);
        }
    }
    size_t cur = syslog().mark();
    zel_commit_done(ctx);
    const char *failed = nullptr;
    const char *fitted = nullptr;
    for (const char *n : names) {
        if (pvl(n)->filter_index == ctx->policy_db->no_filter)
            failed = failed ? failed : n;
        else if (pvl(n)->program)
            fitted = n;
    }
    ASSERT_NE(failed, nullptr) << "every program fitted; the test needs larger ones";
    ASSERT_NE(fitted, nullptr);
    const std::string alert = "%Ardenta-" + host + "-ZELD-1-ALRT-1100002: Failed to allocate memory for policy " +
                              failed + " - V. Continuing without the policy.";
    auto line = syslog().wait_for(alert, e2e::kWait, &cur);
    ASSERT_TRUE(line) << syslog().dump();
    EXPECT_EQ(line->pri, LOG_LOCAL7 | LOG_ALERT);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), "Failed");
    const size_t failures = statuses.size();

    // Deleting one fitted policy frees its blocks after a quiet period; the retry then programs
    // the failed ones, each logged once.
    const std::string ok = std::string("Successfully re-programmed policy ") + failed + " - V";
    ASSERT_EQ(zel_config_policy_delete(ctx, DATA, fitted), 0);
    ASSERT_TRUE(pump_until([&] { return syslog().wait_for(ok, 0ms).has_value(); })) << syslog().dump();
    pump_until([] { return false; }, 1500ms);  // a second success line would show here
    int seen = 0;
    for (const auto &l : syslog().lines())
        if (l.msg.find(ok) != std::string::npos) {
            seen++;
            EXPECT_EQ(l.pri, LOG_LOCAL7 | LOG_INFO);
            EXPECT_NE(l.msg.find("%Ardenta-" + host + "-ZELD-6-INFO-1100004: "), std::string::npos) << l.msg;
        }
    EXPECT_EQ(seen, 1);
    EXPECT_NE(pvl(failed)->program, nullptr);
    ASSERT_GT(statuses.size(), failures);
    EXPECT_EQ(statuses[failures], "Success");
}

}  // namespace

// Every stage's undo clears what its start set up: a second start in the same process begins from the
// state of the first and publishes and binds the same policy again.
TEST_F(PolicySandbox, StopAndStartAgainLeavesNothingBehind)
{
    size_t cur = 0;
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
        ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 7, 7), 0);
        policy("P", "V");
        add_rule("P", 10, 6, "tcp10");
        zel_commit_done(ctx);
        ASSERT_NE(pvl("P")->program, nullptr) << round;
        ASSERT_TRUE(pxrd_line(R"("event": ?"bind".*"name": ?"P".*"vpns": ?\[7\])", &cur)) << round;

        zel_deinit(ctx);
        started = false;
        const zel_ctx clean{};
        auto same = [](const auto &a, const auto &b) { return memcmp(&a, &b, sizeof a) == 0; };
        EXPECT_TRUE(same(ctx->dp, clean.dp)) << round;
        EXPECT_TRUE(same(ctx->compile, clean.compile)) << round;
        EXPECT_TRUE(same(ctx->links, clean.links)) << round;
        EXPECT_TRUE(same(ctx->cfg, clean.cfg)) << round;
        EXPECT_TRUE(same(ctx->dpi, clean.dpi)) << round;
        EXPECT_EQ(ctx->policy_db, nullptr);
        EXPECT_EQ(ctx->tmr_mgr, nullptr);
        EXPECT_EQ(ctx->kick, nullptr);
        EXPECT_EQ(avl_numnodes(&ctx->kro_peers), 0u);
        EXPECT_EQ(avl_numnodes(&ctx->fc_table), 0u);

        ASSERT_EQ(zel_init(ctx), 0) << syslog().dump();
        started = true;
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms, &cur).has_value(); }));
    }
}
