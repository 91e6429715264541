// zeld and the ConfD layer in the sandbox: registration, initial read, commits,
// reconnection, notifications and traps.
#include "fp_sim_harness.h"
#include "sandbox.h"
#include "test_dirs.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <regex>

#include "cfgd/cfgd_trap.h"
#include "cfgd/cfgd_util.h"
#include "cfgd_harness.h"
#include "platform/cdb/confd_cdb.h"
#include "yang/zel_yang_hashes.h"

namespace
{

using e2e::kWait;

std::regex diag(const std::string &text) { return std::regex("^\\w+\\[\\d+\\]: " + text); }

class CfgdE2e : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        char tmpl[] = "/run/cdb-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        state_ = tmpl;
        unsetenv("CONFD_IPC_PORT");
        fp_sim_ = e2e::start_fp_sim();
        start_cdb();
    }
    void TearDown() override
    {
        if (zeld_) {
            zeld_->signal(SIGUSR2);
            zeld_->wait_exit();
        }
    }

    void start_cdb()
    {
        cdb_ = e2e::Process::start({e2e::binary("cdb-sim"), "--state-dir", state_, "--phase", "2"});
        ASSERT_TRUE(cdb_);
        ASSERT_TRUE(cdb_->wait_stdout_regex(std::regex(":4565")));
    }
    std::string cli(const std::vector<std::string> &args, int *rc = nullptr) { return e2e::cdb_cli(args, rc); }
    // zeld's subscriptions of one type in `cdb-cli status` (no other daemon connects here).
    int subscriptions(const std::string &type)
    {
        const std::string out = cli({"status"}), key = "\"type\":\"" + type + "\"";
        int n = 0;
        for (size_t p = out.find(key); p != std::string::npos; p = out.find(key, p + 1))
            n++;
        return n;
    }
    bool set_mask(uint32_t mask)
    {
        CdbSim dummy;  // only for its address and writer
        return dummy.set_prio_mask(mask);
    }

    std::string state_;
    std::unique_ptr<e2e::Process> fp_sim_, cdb_, zeld_;
};

TEST_F(CfgdE2e, ZeldRegistersReadsCommitsAndSurvivesTheDatabase)
{
    size_t cur = syslog().mark();
    zeld_ = e2e::Process::start({e2e::binary("zeld"), "-f"});
    ASSERT_TRUE(zeld_);
    ASSERT_TRUE(syslog().wait_for_regex(diag("Initialization - Stage 2 complete"), kWait, &cur))
        << syslog().dump() << zeld_->stderr_text();
    // Two toggles turn every category on, the configuration lines included.
    ASSERT_TRUE(zeld_->signal(SIGUSR1));
    ASSERT_TRUE(syslog().wait_for_regex(diag("Setting debug-flags to 0x20"), kWait, &cur));
    ASSERT_TRUE(zeld_->signal(SIGUSR1));
    ASSERT_TRUE(syslog().wait_for_regex(diag("Setting debug-flags to 0xfffffffffffffffe"), kWait, &cur));

    // 35 points, 34 of them with a delete subscription, and the two trap-group points.
    ASSERT_TRUE(e2e::poll_until([&] { return subscriptions("running") == 35 + 34 + 2; })) << cli({"status"});
    EXPECT_EQ(subscriptions("operational"), 1);
    std::string status = cli({"status"});
    EXPECT_NE(status.find("\"path\":\"/snmp/trap/group/enable\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"ardenta\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"ardenta_snmpv2_trap\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"zel_debug_disable_all\""), std::string::npos) << status;

    size_t mark = syslog().mark();
    ASSERT_TRUE(set_mask(0x7));
    EXPECT_TRUE(syslog().wait_for_regex(diag("Initial config read done"), kWait, &mark)) << syslog().dump();

    int rc = -1;
    std::string src = zel_test_source_dir();
    std::string out = cli({"load", src + "/examples/data-policy.json"}, &rc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(syslog().wait_for_regex(diag("Received ADD subscription policy-from-ostrel/data-policy"), kWait, &mark))
        << syslog().dump();
    EXPECT_TRUE(syslog().wait_for_regex(diag("Sync subscription from zeld succeeded"), kWait, &mark));

    // The database goes away: zeld keeps running and retries every 2 s.
    mark = syslog().mark();
    cdb_->signal(SIGKILL);
    cdb_->wait_exit();
    ASSERT_TRUE(syslog().wait_for_regex(diag("(Control|Subscription|Worker) socket closed"), kWait, &mark));
    size_t retries = mark;
    ASSERT_TRUE(syslog().wait_for_regex(diag("cfgd retry: Failed to init cfgd"), kWait, &retries));
    ASSERT_TRUE(syslog().wait_for_regex(diag("cfgd retry: Failed to init cfgd"), kWait, &retries));
    EXPECT_TRUE(zeld_->running());

    size_t after = syslog().mark();
    start_cdb();
    ASSERT_TRUE(e2e::poll_until([&] { return subscriptions("running") == 71; })) << cli({"status"});
    out = cli({"load", src + "/examples/app-route-policy.json"}, &rc);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_TRUE(syslog().wait_for_regex(diag("Sync subscription from zeld succeeded"), kWait, &after));
    size_t none = syslog().mark() > after ? after : after;
    EXPECT_FALSE(
        syslog().wait_for_regex(diag("Triggered \\d+ config subscriptions"), std::chrono::milliseconds(0), &none));
    EXPECT_TRUE(zeld_->running());
}

// A module in this process publishes a notification: stream, syslog line and trap.
TEST_F(CfgdE2e, NotificationReachesStreamSyslogAndTrapGroup)
{
    ASSERT_TRUE(set_mask(0x7));
    int rc = -1;
    std::string groups = state_ + "/groups.json";
    ASSERT_TRUE(e2e::write_file(groups, R"({"ardenta-snmp:snmp":{"trap":{"group":[
        {"name":"ops","enable":[{"module":"module-9","level":["major"]}]},{"name":"quiet"}]}}})"));
    ASSERT_EQ((cli({"load", groups}, &rc), rc), 0);

    Loop loop;
    cfgd_module_params params = bare_module_params(loop, 42);
    cfgd_context *ctx = nullptr;
    ASSERT_EQ(cfgd_module_init(&params, nullptr, &ctx), 0);
    ASSERT_TRUE(loop.run_until([] { return cfgd_trap_is_enabled("ops", CFGD_TRAP_POLICY_STATUS); }));
    EXPECT_FALSE(cfgd_trap_is_enabled("quiet", CFGD_TRAP_POLICY_STATUS));

    auto v = policy_status(2, "corp-data", 1);
    size_t cur = syslog().mark();
    ASSERT_EQ(cfgd_event_send_notification(ctx, v.data(), static_cast<int>(v.size())), 0);

    auto line = syslog().wait_for_regex(
        std::regex("^%Ardenta-[^-]+-ZELD-6-INFO-1400002: Notification: .*policy-status .*policy-name:corp-data"), kWait,
        &cur);
    EXPECT_TRUE(line) << syslog().dump();
    std::string out;
    ASSERT_TRUE(e2e::poll_until([&] { return (out = cli({"notifications"})).find("corp-data") != std::string::npos; }));
    EXPECT_NE(out.find("\"stream\":\"ardenta\""), std::string::npos) << out;
    ASSERT_TRUE(
        e2e::poll_until([&] { return (out = cli({"traps"})).find("ardentaPolicyStatus") != std::string::npos; }));
    EXPECT_NE(out.find("\"notify_name\":\"ops\""), std::string::npos) << out;
    EXPECT_EQ(out.find("\"notify_name\":\"quiet\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"ardentaVpnListName\",\"value\":\"vl\""), std::string::npos) << out;
    cfgd_module_free(ctx);
}

// A database that takes connections and never answers is a lost database, not a reason
// to stop the loop: start-up completes and the hellos go on.
TEST_F(CfgdE2e, SilentDatabaseDoesNotStopTheLoop)
{
    SilentDatabase silent;
    ASSERT_TRUE(silent.ok());
    auto sysmgr = e2e::Process::start({e2e::binary("sysmgr-sim")});
    ASSERT_TRUE(sysmgr);
    size_t cur = syslog().mark();
    e2e::ProcessOptions opts;
    opts.env = {"CONFD_IPC_PORT=" + std::to_string(silent.port())};
    zeld_ = e2e::Process::start({e2e::binary("zeld"), "-f"}, opts);
    ASSERT_TRUE(zeld_);
    EXPECT_TRUE(syslog().wait_for_regex(diag("Initialization - Stage 2 complete"), kWait, &cur)) << syslog().dump();
    size_t hellos = 0;
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(sysmgr->wait_stdout_line("\"event\":\"hello\"", kWait, &hellos)) << sysmgr->stdout_text();
    EXPECT_TRUE(syslog().wait_for_regex(diag("Failed to connect control socket to confd"), kWait, &cur));
}

}  // namespace
