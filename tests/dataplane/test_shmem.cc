// The shared block in a private /dev/shm: layout, the info table and two processes that attach.
#include "dataplane/fp_common.h"
#include "fp_sim_harness.h"
#include "sandbox.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <regex>
#include <sstream>
#include <vector>

namespace
{

class SharedBlock : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(e2e::use_sim_size("small"), "");
        fp_scaling_reset();
        shm_unlink(FP_SHMEM_NAME);
    }
    void TearDown() override
    {
        fp_shmem_detach();
        shm_unlink(FP_SHMEM_NAME);
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

    auto show = e2e::Process::start({e2e::binary("fp-sim"), "show", "--tables"});
    ASSERT_TRUE(show);
    ASSERT_EQ(e2e::exit_code(show->wait_exit()), 0) << show->stderr_text();
    std::istringstream lines(show->stdout_text());
    static const std::regex row(R"(^table (\d+)\.(\d+) .* offset (\d+)$)");
    std::string line;
    uint32_t rows = 0;
    while (std::getline(lines, line)) {
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

}  // namespace
