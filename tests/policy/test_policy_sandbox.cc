// The daemon's start-up run in this process inside the sandbox, with fp-sim, pxrd-sim and krod-sim:
// policies built through the model operations are compiled into fp-sim's shared memory, bound at
// pxrd, counted by fp-sim, retried after running out of program memory and re-resolved on TLOC
// reports. Shutdown then runs with every policy still installed (the sanitizer build checks leaks).
#include <arpa/inet.h>
#include <event2/event.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "compiler/zel_ruletable.h"
#include "daemon/zel.h"
#include "daemon/zel_confd.h"
#include "dataplane/fp_common.h"
#include "fp_sim_harness.h"
#include "oper/zel_oper.h"
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
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms).has_value(); }, e2e::kWait));
        ASSERT_TRUE(pump_until([&] { return krod->wait_stdout_line("\"request\"", 0ms).has_value(); }, e2e::kWait));
    }
    void TearDown() override
    {
        if (started)
            zel_deinit(ctx);
        shm_unlink(FP_SHMEM_NAME);
    }

    // Runs the daemon's event loop until pred holds or the time is up.
    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        do {
            event_base_loop(ctx->base, EVLOOP_NONBLOCK);
            if (pred())
                return true;
            std::this_thread::sleep_for(2ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    void pump_for(std::chrono::milliseconds t)
    {
        pump_until([] { return false; }, t);
    }

    // The next pxrd-sim line at or after *cursor that matches.
    bool pxrd_line(const std::string &re, size_t *cursor)
    {
        std::regex r(re);
        return pump_until([&] { return pxrd->wait_stdout_regex(r, 0ms, cursor).has_value(); }, e2e::kWait);
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

TEST_F(PolicySandbox, PolicyIsBoundRebuiltAndCountsItsPackets)
{
    ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 10, 12), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 20, 20), 0);
    policy("P", "V");
    add_rule("P", 20, 17, "udp20");
    add_rule("P", 10, 6, "tcp10");
    size_t cur = 0;
    zel_commit_done(ctx);
    ASSERT_NE(pvl("P")->program, nullptr);
    const uint32_t slot = pvl("P")->filter_index;
    ASSERT_TRUE(pxrd_line(R"("event": ?"bind".*"filter_index": ?)" + std::to_string(slot) +
                              R"(.*"name": ?"P".*"count": ?4.*"vpns": ?\[10,11,12,20\])",
                          &cur))
        << pxrd->stdout_text();

    // Packets through the published program: three TCP, one UDP.
    const std::string trace = "/run/policy_trace";
    {
        std::ofstream t(trace);
        for (uint32_t i = 0; i < 3; i++)
            t << "167772161\t167772162\t1000\t80\t6\t0\t0\n";
        t << "167772161\t167772162\t1000\t53\t17\t0\t0\n";
    }
    auto run = e2e::Process::start({e2e::binary("fp-sim"), "run", "--filter", std::to_string(slot), trace},
                                   {.pipe_stdin = false});
    ASSERT_TRUE(run);
    ASSERT_EQ(e2e::exit_code(run->wait_exit()), 0) << run->stderr_text();
    uint64_t packets = 0, bytes = 0;
    zel_counter_totals(pvl("P")->program, "tcp10", &packets, &bytes);
    EXPECT_EQ(packets, 3u) << run->stdout_text();
    zel_counter_totals(pvl("P")->program, "udp20", &packets, &bytes);
    EXPECT_EQ(packets, 1u);
    unlink(trace.c_str());

    // A sequence change unbinds, then binds the new program.
    add_rule("P", 30, 1, "icmp30");
    zel_commit_done(ctx);
    ASSERT_TRUE(pxrd_line(R"("event": ?"unbind".*"name": ?"P".*"vpns": ?\[10,11,12,20\])", &cur));
    ASSERT_TRUE(pxrd_line(R"("event": ?"bind".*"name": ?"P".*"vpns": ?\[10,11,12,20\])", &cur));
    std::vector<std::string> order;
    for (const ::rule *r = pvl("P")->rules->head; r; r = r->next)
        order.push_back(r->name);
    EXPECT_EQ(order, (std::vector<std::string>{"10", "20", "30"}));
}

TEST_F(PolicySandbox, OutOfProgramMemoryAlertsAndRetriesOnceBlocksAreFreed)
{
    std::string host(256, '\0');
    gethostname(host.data(), host.size());
    host.resize(strlen(host.c_str()));
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
    ASSERT_TRUE(pump_until(
        [&] {
            for (const auto &l : syslog().lines())
                if (l.msg.find(ok) != std::string::npos)
                    return true;
            return false;
        },
        e2e::kWait))
        << syslog().dump();
    pump_for(1500ms);
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

TEST_F(PolicySandbox, TlocReportFromKrodFlipsTheResolvedByte)
{
    ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 5, 5), 0);
    policy("T", "V");
    ASSERT_EQ(zel_config_rule_add(ctx, DATA, "T", "V", 10, nullptr), 0);
    zel_action_value t{};
    t.tloc.addr.family = AF_INET;
    t.tloc.addr.v4 = 0x0A000001;
    t.tloc.color = color_parse("mpls");
    t.tloc.encap = encap_parse("ipsec");
    t.vpn_label = 1001;
    ASSERT_EQ(zel_config_action_add(ctx, DATA, "T", "V", 10, ZEL_ACT_SET_TLOC, ZEL_ACT_SET_TLOC, &t), 0);
    zel_commit_done(ctx);
    auto resolved = [&]() -> int {
        void *image = pvl("T")->program;
        if (!image)
            return -1;
        int out = -1;
        zel_action_blocks_visit(
            image,
            [](zel_action_data *d, void *arg) {
                for (const zel_action_slot &s : d->slot)
                    if (s.param_type == ZEL_ACT_SET_TLOC)
                        *static_cast<int *>(arg) = s.p.tloc.resolved;
            },
            &out);
        return out;
    };
    ASSERT_EQ(resolved(), 0);
    ASSERT_TRUE(krod->write_stdin("update 10.0.0.1 mpls ipsec state=1 index=9"));
    EXPECT_TRUE(pump_until([&] { return resolved() == 1; }, e2e::kWait)) << krod->stdout_text();
    ASSERT_TRUE(krod->write_stdin("withdraw 10.0.0.1 mpls ipsec"));
    EXPECT_TRUE(pump_until([&] { return resolved() == 0; }, e2e::kWait));
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
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms, &cur).has_value(); }, e2e::kWait));
    }
}

// The clear commands reset the counters of exactly the policies they name, of their type only.
TEST_F(PolicySandbox, ClearResetsTheCountersOfTheNamedPolicyOnly)
{
    ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 10, 10), 0);
    for (const char *p : {"P", "Q"}) {
        policy(p, "V");
        add_rule(p, 10, 6, "tcp10");
    }
    zel_commit_done(ctx);
    const std::string trace = "/run/clear_trace";
    {
        std::ofstream t(trace);
        for (uint32_t i = 0; i < 3; i++)
            t << "167772161\t167772162\t1000\t80\t6\t0\t0\n";
    }
    for (const char *p : {"P", "Q"}) {
        auto run =
            e2e::Process::start({e2e::binary("fp-sim"), "run", "--filter", std::to_string(pvl(p)->filter_index), trace},
                                {.pipe_stdin = false});
        ASSERT_TRUE(run);
        ASSERT_EQ(e2e::exit_code(run->wait_exit()), 0) << run->stderr_text();
    }
    unlink(trace.c_str());
    auto count = [&](const char *p) {
        uint64_t packets = 0, bytes = 0;
        zel_counter_totals(pvl(p)->program, "tcp10", &packets, &bytes);
        return packets;
    };
    ASSERT_EQ(count("P"), 3u);
    ASSERT_EQ(count("Q"), 3u);

    // A session of the configuration layer, as the database runs the command.
    confd_daemon_ctx dx{};
    dx.d_opaque = ctx->cfg.cfgd;
    confd_user_info uinfo{};
    uinfo.dx = &dx;
    auto clear = [&](auto fn, const char *name) {
        confd_tag_value_t param{};
        if (name)
            CONFD_SET_TAG_BUF(&param, 0, name, strlen(name));
        return fn(&uinfo, nullptr, nullptr, name ? &param : nullptr, name ? 1 : 0);
    };
    const auto actions = zel_oper_actions();
    auto action = [&](const char *point) {
        for (const confd_action_cbs &a : actions)
            if (strcmp(a.actionpoint, point) == 0)
                return a.action;
        return decltype(actions[0].action){};
    };
    ASSERT_NE(ctx->cfg.cfgd, nullptr);
    EXPECT_EQ(clear(action("zel_clear_data_policy"), "nosuch"), 0);
    EXPECT_EQ(clear(action("zel_clear_app_route_policy"), nullptr), 0);
    EXPECT_EQ(count("P"), 3u) << "another type or an unknown name clears nothing";
    EXPECT_EQ(clear(action("zel_clear_data_policy"), "P"), 0);
    EXPECT_EQ(count("P"), 0u);
    EXPECT_EQ(count("Q"), 3u);
    EXPECT_EQ(clear(action("zel_clear_data_policy"), nullptr), 0);
    EXPECT_EQ(count("Q"), 0u);
}
