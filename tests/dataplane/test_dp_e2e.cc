// The shared block, zeld, fp-sim and programs published through the data-plane operations, in the sandbox.
#include "common/hand_clock.h"
#include "common/timer.h"
#include "daemon/zel.h"
#include "dataplane/zel_if_octeon.h"
#include "fp_sim_harness.h"
#include "sandbox.h"
#include "test_dirs.h"
#include "tools/zelc/zelc_rules.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

namespace
{

using e2e::kWait;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

class DataPlane : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            ASSERT_EQ(e2e::use_sim_size("small"), "");
        }
    }
    void TearDown() override { shm_unlink(FP_SHMEM_NAME); }

    // Runs a tool to its end; its stdout.
    std::string run(const std::vector<std::string> &argv, int want_status = 0)
    {
        auto p = e2e::Process::start(argv, {.pipe_stdin = false});
        if (!p) {
            ADD_FAILURE() << "cannot start " << argv[0];
            return {};
        }
        auto st = p->wait_exit(std::chrono::milliseconds(120000));
        EXPECT_EQ(e2e::exit_code(st), want_status) << argv[0] << " " << argv[1] << ": " << p->stderr_text();
        return p->stdout_text();
    }
};

TEST_F(DataPlane, ZeldWaitsForTheForwardingPlaneAndLeavesItRunning)
{
    size_t cur = syslog().mark();
    auto zeld = e2e::Process::start({e2e::binary("zeld"), "-f"});
    ASSERT_TRUE(zeld);
    ASSERT_TRUE(syslog().wait_for("Waiting for the forwarding plane", kWait, &cur)) << syslog().dump();
    auto fp = e2e::start_fp_sim();
    ASSERT_TRUE(fp);
    ASSERT_TRUE(syslog().wait_for("Initialization - Stage 2 complete", kWait, &cur))
        << syslog().dump() << zeld->stderr_text();

    ASSERT_TRUE(zeld->signal(SIGUSR2));
    auto stz = zeld->wait_exit();
    EXPECT_EQ(e2e::exit_code(stz), 0) << e2e::describe_status(stz) << zeld->stderr_text();
    EXPECT_TRUE(fp->running()) << "zeld's stop leaves the forwarding plane alone";
}

// The shared block in a private /dev/shm: layout, the info table and two processes that attach.
class SharedBlock : public DataPlane
{
protected:
    void SetUp() override
    {
        DataPlane::SetUp();
        fp_scaling_reset();
        shm_unlink(FP_SHMEM_NAME);
    }
    void TearDown() override
    {
        fp_shmem_detach();
        DataPlane::TearDown();
    }
    static const fp_shmem_info_entry *info_table()
    {
        return reinterpret_cast<const fp_shmem_info_entry *>(fp_shmem_base() + FP_SHMEM_TABLES_OFFSET);
    }
};

TEST_F(SharedBlock, TwoProcessesAgreeOnEveryTable)
{
    auto fp = e2e::start_fp_sim();
    ASSERT_TRUE(fp);
    ASSERT_EQ(fp_shmem_attach(0, 1), 0);
    EXPECT_TRUE(fp_ready_bit());

    static const std::regex row(R"(^table (\d+)\.(\d+) .* offset (\d+)$)");
    uint32_t rows = 0;
    for (const std::string &line : lines_of(run({e2e::binary("fp-sim"), "show", "--tables"}))) {
        std::smatch m;
        if (!std::regex_match(line, m, row))
            continue;
        const uint32_t t = std::stoul(m[1]), c = std::stoul(m[2]);
        EXPECT_EQ(static_cast<uint8_t *>(fp_table(t, c)) - fp_shmem_base(), std::stol(m[3])) << line;
        rows++;
    }
    EXPECT_EQ(rows, FP_NUM_TABLES + 2) << "two per-core tables, two copies each";
}

TEST_F(SharedBlock, ADifferentElementSizeStopsTheSecondProcess)
{
    ASSERT_EQ(fp_shmem_attach(1, 1), 0);
    fp_shmem_detach();
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            // fp_policer: 1024 policers of 128 bytes on the other side.
            g_shmem_tbl[14].elem_size = 64;
            dup2(2, 1);
            setvbuf(stdout, nullptr, _IONBF, 0);
            g_fp_console = 1;
            fp_shmem_attach(0, 1);
        },
        "fp and pxrd images not compatible! tbl-num 14 Expected size 131072 actual-size 65536 Expected offset "
        "[0-9]+ actual-offset [0-9]+\n(.|\n)*fp_common:[0-9]+: failed assertion");

    // The loser released the lock on its way out: this side attaches and agrees.
    ASSERT_EQ(fp_shmem_attach(0, 1), 0);
    EXPECT_EQ(info_table()[14].size, 131072u);
}

// A process killed while it held the attach lock leaves the word set; the next one must not
// spin for ever.
class StaleLock : public SharedBlock
{
protected:
    void SetUp() override
    {
        SharedBlock::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(fp_shmem_attach(1, 1), 0);
        std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(fp_shmem_base())).store(1);
        fp_shmem_detach();
    }
};

TEST_F(StaleLock, IsTakenOverAfterABoundedWaitWithAMessage)
{
    size_t cur = syslog().mark();
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);  // the guard against waiting for ever
        _exit(fp_shmem_attach(0, 1) == 0 ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("attach lock of shared block .* stale lock"), e2e::kWait, &cur))
        << syslog().dump();
}

TEST_F(StaleLock, ForwardingPlaneStopsOnSigtermWhileItWaits)
{
    auto fp = e2e::Process::start({e2e::binary("fp-sim"), "serve"});
    ASSERT_TRUE(fp);
    usleep(200000);
    ASSERT_TRUE(fp->signal(SIGTERM));
    auto st = fp->wait_exit();
    EXPECT_TRUE(st) << "fp-sim did not stop";
    EXPECT_EQ(fp->stdout_text().find("fp-sim: ready"), std::string::npos) << fp->stdout_text();
}

// ------------------------------------------------------------------------------------------ ClassBench

std::vector<uint32_t> g_retries;
void record_retry(zel_ctx *, uint32_t freed) { g_retries.push_back(freed); }

// The daemon's side, in this process: the data-plane operations on the shared block.
class Published : public DataPlane
{
protected:
    void SetUp() override
    {
        DataPlane::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        data = zel_test_source_dir() + "/../shared/data/classbench";
        if (!std::filesystem::exists(data + "/acl1_100.rules"))
            GTEST_SKIP() << "no ClassBench data in " << data;
        fp = e2e::start_fp_sim();
        ASSERT_TRUE(fp);
        ctx.tmr_mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        fp_scaling_reset();
        ASSERT_EQ(ops->init(&ctx, 1), 0);
        started = true;
        g_retries.clear();
        ctx.dp.oom_retry = record_retry;
    }
    void TearDown() override
    {
        if (started)
            ops->deinit(&ctx);
        if (ctx.tmr_mgr)
            timer_mgr_destroy(ctx.tmr_mgr);
        DataPlane::TearDown();
    }

    // Compiles a ClassBench set straight into the shared filter memory.
    void *publish(const std::string &set, zelc_ruleset *rs, int32_t *slot)
    {
        std::string err;
        if (zelc_read_rules(data + "/" + set + ".rules", zelc_format::classbench, rs, &err) != 0) {
            ADD_FAILURE() << err;
            return nullptr;
        }
        compile_context *cc = zel_compile_context_new(zel_dp_program_memory());
        rule_table *rt = zel_rule_table_create(set.c_str(), "1", ZEL_ACTION_DATA_SIZE, rs->default_action.get());
        for (const zelc_rule &zr : rs->rules) {
            rule *r = zel_rule_add(rt, zr.name.c_str());
            zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, zr.action.get());
            zel_rule_add_range(cc, r, ZEL_CF_MATCH_ANY, ZEL_FP_MATCH_ANY_VALUE, ZEL_FP_MATCH_ANY_VALUE);
            for (const zelc_cond &c : zr.conds)
                c.prefix ? zel_rule_add_prefix(cc, r, c.field, c.addr, c.len)
                         : zel_rule_add_range(cc, r, c.field, c.lo, c.hi);
        }
        void *image = nullptr;
        uint32_t size = 0;
        EXPECT_EQ(zel_compile(cc, rt, &image, &size), 0) << set;
        *slot = zel_compile_filter_index(cc);
        zel_compile_context_reset(cc);
        zel_rule_table_free(rt);
        zel_compile_context_free(cc);
        return image;
    }

    // fp-sim's per-packet answers as rule numbers (0: the default action), like zelc classify's.
    std::vector<std::string> fp_answers(int32_t slot, const std::string &packets)
    {
        std::vector<std::string> out;
        static const std::regex row(R"(^packet \d+: action \d+( default)?(?: count (\S+))?.*$)");
        for (const std::string &l :
             lines_of(run({e2e::binary("fp-sim"), "run", "--filter", std::to_string(slot), packets}))) {
            std::smatch m;
            if (std::regex_match(l, m, row))
                out.push_back(m[1].matched ? "0" : m[2].str());
        }
        return out;
    }

    void pass()
    {
        HandClock::advance(ZEL_DP_DELAYED_DEL_MS);
        timer_exec_pri(ctx.tmr_mgr, TIMER_PRI_MASK_ALL, 100);
    }

    HandClock clock_;
    const zel_dp_ops *ops = zel_dp_octeon_ops();
    zel_ctx ctx{};
    bool started = false;
    std::string data;
    std::unique_ptr<e2e::Process> fp;
};

TEST_F(Published, ClassBenchSetsClassifyLikeZelcAndAreReleasedAfterAQuietPass)
{
    struct set {
        const char *name, *trace;
        zelc_ruleset rs;
        void *image = nullptr;
        int32_t slot = -1;
    } sets[] = {{"acl1_100", "acl1_1000"}, {"ipc1_100", "ipc1_1000"}};
    for (set &s : sets) {
        s.image = publish(s.name, &s.rs, &s.slot);
        ASSERT_NE(s.image, nullptr) << s.name;
    }
    ASSERT_NE(sets[0].slot, sets[1].slot);

    for (set &s : sets) {
        SCOPED_TRACE(s.name);
        const std::string rules = data + "/" + s.name + ".rules", trace = data + "/" + s.trace + ".trace";
        const auto want = lines_of(run({e2e::binary("zelc"), "classify", rules, trace, "--format", "classbench"}));
        const auto got = fp_answers(s.slot, trace);
        ASSERT_EQ(got.size(), want.size());
        std::map<std::string, uint64_t> per_rule;
        for (size_t i = 0; i < want.size(); i++) {
            ASSERT_EQ(got[i], want[i]) << "packet " << i + 1;
            if (want[i] != "0")
                per_rule[want[i]]++;
        }
        // The forwarding plane counted every packet into its rule's active bank (64 bytes each).
        auto totals = [&](const std::string &name) {
            uint64_t p = 0, b = 0;
            zel_counter_totals(s.image, name.c_str(), &p, &b);
            EXPECT_EQ(b, 64 * p) << name;
            return p;
        };
        for (const zelc_rule &r : s.rs.rules)
            ASSERT_EQ(totals(r.name), per_rule[r.name]) << "rule " << r.name;
        // Clearing flips the banks; counting goes on in the other bank and the totals start from 0.
        for (const zelc_rule &r : s.rs.rules)
            zel_counter_clear(s.image, r.name.c_str());
        for (const zelc_rule &r : s.rs.rules)
            ASSERT_EQ(totals(r.name), 0u) << "rule " << r.name;
        fp_answers(s.slot, trace);
        for (const zelc_rule &r : s.rs.rules)
            ASSERT_EQ(totals(r.name), per_rule[r.name]) << "rule " << r.name << " after the clear";
    }

    // Freed programs stay published while the forwarding plane runs them.
    const uint32_t blocks0 = zel_dp_shmem_regions().filters[sets[0].slot].nblocks;
    const uint32_t blocks1 = zel_dp_shmem_regions().filters[sets[1].slot].nblocks;
    zel_program_free(zel_dp_program_memory(), sets[0].image);
    zel_program_free(zel_dp_program_memory(), sets[1].image);
    pass();
    EXPECT_TRUE(g_retries.empty()) << "both ran in the last period";
    EXPECT_NE(zel_dp_filter_program(sets[1].slot), nullptr);
    fp_answers(sets[0].slot, data + "/acl1_1000.trace");

    pass();
    EXPECT_EQ(g_retries, std::vector<uint32_t>{blocks1}) << "only the idle program goes";
    EXPECT_NE(zel_dp_filter_program(sets[0].slot), nullptr);
    EXPECT_EQ(zel_dp_filter_program(sets[1].slot), nullptr);
    pass();
    EXPECT_EQ(g_retries, (std::vector<uint32_t>{blocks1, blocks0}));
    EXPECT_EQ(zel_dp_filter_program(sets[0].slot), nullptr);

    const std::string show = run({e2e::binary("fp-sim"), "show"});
    EXPECT_NE(show.find("filters: 0/256 valid\nblocks: 0/16384 used\n"), std::string::npos) << show;
    run({e2e::binary("fp-sim"), "run", "--filter", std::to_string(sets[0].slot), data + "/acl1_1000.trace"}, 1);
}

}  // namespace
