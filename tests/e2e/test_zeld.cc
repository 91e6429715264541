// The daemon's process lifecycle, seen from outside: options, pid file, syslog, signals.
#include "fp_sim_harness.h"
#include "sandbox.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>

namespace
{

using e2e::kWait;

constexpr int kLocal7Info = (23 << 3) | 6;   // 190
constexpr int kLocal7Debug = (23 << 3) | 7;  // 191
constexpr const char *kPidFile = "/var/run/zeld.0.pid";

// A diagnostic line: "func[line]: text", at LOG_LOCAL7|LOG_DEBUG from "ZELD".
std::regex diag(const std::string &text) { return std::regex("^\\w+\\[\\d+\\]: " + text + "$"); }

class Zeld : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            fp_sim = e2e::start_fp_sim();
    }
    void TearDown() override { unlink(kPidFile); }
    std::unique_ptr<e2e::Process> fp_sim;  // zeld starts only once a forwarding plane is ready

    // Starts `zeld -f` and waits for the end of start-up; *cursor is left after the Starting line.
    std::unique_ptr<e2e::Process> start_foreground(size_t *cursor)
    {
        size_t from = syslog().mark();
        auto p = e2e::Process::start({e2e::binary("zeld"), "-f"});
        if (!p)
            return nullptr;
        auto started = syslog().wait_until(
            [&](const e2e::SyslogLine &l) { return l.pid == p->pid() && l.msg.ends_with(": Starting"); }, kWait, &from);
        *cursor = from;
        size_t probe = from;
        if (!started || !syslog().wait_for_regex(diag("Initialization - Stage 2 complete"), kWait, &probe))
            ADD_FAILURE() << "zeld did not start; syslog:\n" << syslog().dump() << "stderr:\n" << p->stderr_text();
        return p;
    }

    void stop(e2e::Process &p)
    {
        size_t from = syslog().mark();
        ASSERT_TRUE(p.signal(SIGUSR2));
        EXPECT_TRUE(syslog().wait_for_regex(
            diag("Received termination signal\\. Stopping and exiting gracefully\\.\\."), kWait, &from));
        auto st = p.wait_exit();
        EXPECT_EQ(e2e::exit_code(st), 0) << e2e::describe_status(st) << "\nstderr:\n" << p.stderr_text();
    }
};

TEST_F(Zeld, UnknownOptionPrintsUsageAndExits1)
{
    auto p = e2e::Process::start({e2e::binary("zeld"), "-x"});
    ASSERT_TRUE(p);
    auto st = p->wait_exit();
    EXPECT_EQ(e2e::exit_code(st), 1) << e2e::describe_status(st);
    EXPECT_EQ(p->stderr_text(), "usage: zeld [-f]\n");
}

TEST_F(Zeld, AnyPidFileMeansAlreadyRunning)
{
    ASSERT_TRUE(e2e::write_file(kPidFile, "4242\n"));
    size_t from = syslog().mark();
    auto p = e2e::Process::start({e2e::binary("zeld"), "-f"});
    ASSERT_TRUE(p);
    auto st = p->wait_exit();
    EXPECT_EQ(e2e::exit_code(st), 255) << e2e::describe_status(st);
    EXPECT_TRUE(syslog().wait_for_regex(diag("Daemon zeld already exists @ pid 4242"), kWait, &from))
        << syslog().dump();
    EXPECT_FALSE(syslog().wait_for("Starting", std::chrono::milliseconds(0), &from));
}

TEST_F(Zeld, ForegroundStartsInOrderAndStopsOnSigusr2)
{
    size_t cur = syslog().mark();
    auto p = e2e::Process::start({e2e::binary("zeld"), "-f"});
    ASSERT_TRUE(p);
    auto start = syslog().wait_for(": Starting", kWait, &cur);
    ASSERT_TRUE(start) << syslog().dump() << p->stderr_text();
    EXPECT_EQ(start->pri, kLocal7Info);
    EXPECT_EQ(start->tag, "ZELD");
    EXPECT_EQ(start->pid, p->pid());
    EXPECT_EQ(start->msg, "%Ardenta-" + e2e::hostname() + "-ZELD-6-INFO-1100001: Starting");

    for (const char *text : {"Initialization - Stage 1 complete", "Inline initialization - DPI start",
                             "Inline Initialization - DPI end", "Initialization - Stage 2 complete"}) {
        auto l = syslog().wait_for_regex(diag(text), kWait, &cur);
        ASSERT_TRUE(l) << "missing in order: " << text << "\n" << syslog().dump();
        EXPECT_EQ(l->pri, kLocal7Debug) << l->raw;
        EXPECT_EQ(l->pid, p->pid());
    }

    stop(*p);
}

TEST_F(Zeld, DebugOptionIsAcceptedAndTheDaemonDetaches)
{
    size_t cur = syslog().mark();
    auto parent = e2e::Process::start({e2e::binary("zeld"), "-d"});
    ASSERT_TRUE(parent);
    auto st = parent->wait_exit();
    EXPECT_EQ(e2e::exit_code(st), 0) << e2e::describe_status(st) << parent->stderr_text();
    auto start = syslog().wait_for(": Starting", kWait, &cur);
    ASSERT_TRUE(start) << syslog().dump();
    ASSERT_GT(start->pid, 0);
    EXPECT_NE(start->pid, parent->pid());
    auto daemon = e2e::Process::adopt(start->pid);
    EXPECT_TRUE(syslog().wait_for_regex(diag("Initialization - Stage 2 complete"), kWait, &cur));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(start->pid) + "/cwd", ec), "/");
    stop(*daemon);
}

// SIGTERM ends at once with status 0; the abnormal-end signals fail the signal assertion.
TEST_F(Zeld, EndSignals)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT}) {
        SCOPED_TRACE(strsignal(sig));
        size_t cur = 0;
        auto p = start_foreground(&cur);
        ASSERT_TRUE(p);
        ASSERT_TRUE(p->signal(sig));
        auto st = p->wait_exit();
        if (sig == SIGTERM) {
            EXPECT_EQ(e2e::exit_code(st), 0) << e2e::describe_status(st);
            EXPECT_FALSE(syslog().wait_for("Received termination signal", std::chrono::milliseconds(0), &cur));
            continue;
        }
        EXPECT_EQ(e2e::term_signal(st), SIGABRT) << e2e::describe_status(st);
        EXPECT_NE(p->stderr_text().find("qor_signal:64: failed assertion `0'\n"), std::string::npos)
            << p->stderr_text();
    }
}

// No pid file names the first one, yet the second must not take over its sockets.
TEST_F(Zeld, SecondInstanceIsRefusedWhileOneRuns)
{
    size_t cur = 0;
    auto first = start_foreground(&cur);
    ASSERT_TRUE(first);
    auto second = e2e::Process::start({e2e::binary("zeld"), "-f"});
    ASSERT_TRUE(second);
    auto st = second->wait_exit();
    EXPECT_EQ(e2e::exit_code(st), 255) << e2e::describe_status(st);
    EXPECT_TRUE(
        syslog().wait_for_regex(diag("Daemon zeld already exists @ pid " + std::to_string(first->pid())), kWait, &cur))
        << syslog().dump();
    EXPECT_TRUE(first->running());
    stop(*first);
}

}  // namespace
