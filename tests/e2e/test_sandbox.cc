// The harness itself: what every end-to-end test relies on.
#include "sandbox.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <linux/magic.h>

namespace
{

TEST(SyslogParse, PriorityTagPidAndMessage)
{
    auto l = e2e::parse_syslog_line("<191>Dec  5 10:00:00 ZELD[42]: zel_init[7]: text: more\n");
    EXPECT_EQ(l.pri, 191);
    EXPECT_EQ(l.tag, "ZELD");
    EXPECT_EQ(l.pid, 42);
    EXPECT_EQ(l.msg, "zel_init[7]: text: more");

    auto nopid = e2e::parse_syslog_line("<14>Jan 15 23:59:59 tag: x");
    EXPECT_EQ(nopid.pri, 14);
    EXPECT_EQ(nopid.tag, "tag");
    EXPECT_EQ(nopid.pid, -1);
    EXPECT_EQ(nopid.msg, "x");

    auto junk = e2e::parse_syslog_line("not syslog");
    EXPECT_EQ(junk.pri, -1);
    EXPECT_EQ(junk.msg, "not syslog");
}

class Sandbox : public e2e::SandboxTest
{
};

bool is_tmpfs(const char *path)
{
    struct statfs st {
    };
    return statfs(path, &st) == 0 && st.f_type == TMPFS_MAGIC;
}

TEST_F(Sandbox, PrivateRunShmAndDevWithLoopbackUp)
{
    EXPECT_TRUE(is_tmpfs("/run"));
    EXPECT_TRUE(is_tmpfs("/var/run"));
    EXPECT_TRUE(is_tmpfs("/dev"));
    EXPECT_TRUE(is_tmpfs("/dev/shm"));
    EXPECT_TRUE(e2e::write_file("/dev/null", "x"));
    ASSERT_TRUE(e2e::write_file("/var/run/e2e-probe", "1"));
    EXPECT_EQ(e2e::read_file("/run/e2e-probe"), "1");
    unlink("/run/e2e-probe");

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    ASSERT_EQ(ioctl(s, SIOCGIFFLAGS, &ifr), 0);
    EXPECT_TRUE(ifr.ifr_flags & IFF_UP);
    // Nothing but loopback in the private network namespace.
    struct if_nameindex *ifs = if_nameindex();
    ASSERT_NE(ifs, nullptr);
    EXPECT_STREQ(ifs[0].if_name, "lo");
    EXPECT_EQ(ifs[1].if_name, nullptr);
    if_freenameindex(ifs);
    close(s);
}

TEST_F(Sandbox, SyslogLinesArriveInOrderWithTheirPriority)
{
    size_t cur = syslog().mark();
    auto p = e2e::Process::start({"sh", "-c",
                                  "logger -p local7.info -t PROBE --id=77 first && "
                                  "logger -p local7.debug -t PROBE second"});
    ASSERT_TRUE(p);
    EXPECT_EQ(e2e::exit_code(p->wait_exit()), 0) << p->stderr_text();
    auto first = syslog().wait_for("first", e2e::kWait, &cur);
    ASSERT_TRUE(first) << syslog().dump();
    EXPECT_EQ(first->pri, (23 << 3) | 6);
    EXPECT_EQ(first->tag, "PROBE");
    EXPECT_EQ(first->pid, 77);
    auto second = syslog().wait_for_regex(std::regex("^sec.nd$"), e2e::kWait, &cur);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->pri, (23 << 3) | 7);
    size_t again = cur;
    EXPECT_FALSE(syslog().wait_for("first", std::chrono::milliseconds(0), &again)) << "cursor moved past it";
}

TEST_F(Sandbox, ChildStdinAndStdoutLineByLine)
{
    auto p = e2e::Process::start({"cat"});
    ASSERT_TRUE(p);
    size_t cur = 0;
    ASSERT_TRUE(p->write_stdin("alpha"));
    EXPECT_EQ(p->wait_stdout_line("alpha", e2e::kWait, &cur), "alpha");
    ASSERT_TRUE(p->write_stdin("beta 42"));
    EXPECT_EQ(p->wait_stdout_regex(std::regex("[0-9]+$"), e2e::kWait, &cur), "beta 42");
    EXPECT_TRUE(p->running());
    p->close_stdin();
    EXPECT_EQ(e2e::exit_code(p->wait_exit()), 0);
    EXPECT_EQ(p->stdout_text(), "alpha\nbeta 42\n");
}

TEST_F(Sandbox, ExitStatusStderrAndSignals)
{
    auto p = e2e::Process::start({"sh", "-c", "echo oops >&2; exit 3"}, {.pipe_stdin = false});
    ASSERT_TRUE(p);
    auto st = p->wait_exit();
    EXPECT_EQ(e2e::exit_code(st), 3) << e2e::describe_status(st);
    EXPECT_EQ(p->stderr_text(), "oops\n");

    auto sleeper = e2e::Process::start({"sleep", "600"});
    ASSERT_TRUE(sleeper);
    EXPECT_TRUE(sleeper->signal(SIGTERM));
    st = sleeper->wait_exit();
    EXPECT_EQ(e2e::term_signal(st), SIGTERM) << e2e::describe_status(st);

    EXPECT_FALSE(e2e::Process::start({"/nonexistent/program"}));
}

}  // namespace
