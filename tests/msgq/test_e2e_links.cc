// zeld's peer links seen from the stand-ins, inside the end-to-end sandbox.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/qor_util.h"
#include "fp_sim_harness.h"
#include "msgq_fixture.h"
#include "sandbox.h"

namespace
{

using e2e::kWait;

class PeerLinks : public e2e::SandboxTest
{
protected:
    std::unique_ptr<e2e::Process> start(const char *name)
    {
        auto p = e2e::Process::start({e2e::binary(name)});
        EXPECT_NE(p, nullptr) << name;
        if (p) {
            EXPECT_TRUE(p->wait_stdout_line("\"event\":\"started\"")) << name << ": " << p->stderr_text();
        }
        return p;
    }
    std::unique_ptr<e2e::Process> start_zeld()
    {
        if (!fp_sim)
            fp_sim = e2e::start_fp_sim();  // zeld waits for a ready forwarding plane
        size_t from = syslog().mark();
        auto p = e2e::Process::start({e2e::binary("zeld"), "-f"});
        EXPECT_NE(p, nullptr);
        if (p) {
            EXPECT_TRUE(syslog().wait_for_regex(std::regex("Initialization - Stage 2 complete"), kWait, &from))
                << syslog().dump() << p->stderr_text();
        }
        return p;
    }
    std::unique_ptr<e2e::Process> fp_sim;
    void stop_zeld(e2e::Process &zeld)
    {
        zeld.signal(SIGUSR2);
        EXPECT_EQ(e2e::exit_code(zeld.wait_exit()), 0) << zeld.stderr_text();
    }
    // Both requests, in order, from this cursor on.
    void expect_two_requests(e2e::Process &krod, size_t *cursor)
    {
        EXPECT_TRUE(
            krod.wait_stdout_line("\"type\":1,\"source\":9,\"index\":0,\"subscribe\":1,\"resync\":0", kWait, cursor))
            << krod.stdout_text();
        EXPECT_TRUE(
            krod.wait_stdout_line("\"type\":1,\"source\":9,\"index\":1,\"subscribe\":1,\"resync\":0", kWait, cursor))
            << krod.stdout_text();
    }
};

int unix_connect(int flags)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    strcpy(sun.sun_path, "/var/run/.zeld");
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// True when zeld closed the connection within the wait; closed with our bytes still unread,
// the socket is reset instead.
bool closed_by_peer(int fd)
{
    timeval tv{static_cast<time_t>(kWait.count() / 1000), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char c;
    ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// A local socket that speaks to zeld's listening path directly.
struct Stray : msgq_test::RawPeer {
    Stray() { connect_to("/var/run/.zeld"); }
    bool closed_by_peer() const { return ::closed_by_peer(fd()); }
};

std::vector<uint8_t> header(uint8_t src, uint8_t tgt, uint8_t type) { return msgq_test::frame(src, tgt, type, {}); }

// Exit status of a forked child that runs fn (only async-signal-safe calls in fn).
int in_child(int (*fn)())
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// As nobody: register as pxrd, then what used to stop zeld. 0 when zeld closed the connection.
int impostor()
{
    if (setgid(65534) != 0 || setuid(65534) != 0)
        return 10;
    int fd = unix_connect(0);
    if (fd < 0)
        return 11;
    const msgq_hdr_t reg{MSGQ_MAGIC1, 8, QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER, MSGQ_MAGIC2};
    const msgq_hdr_t empty{MSGQ_MAGIC1, 8, QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, MSGQ_MAGIC2};
    send(fd, &reg, sizeof reg, MSG_NOSIGNAL);
    send(fd, &empty, sizeof empty, MSG_NOSIGNAL);
    send(fd, &reg, sizeof reg, MSG_NOSIGNAL);
    return closed_by_peer(fd) ? 0 : 12;
}

// Connections to zeld that never register, as many of `count` as it lets in; the caller closes them.
std::vector<int> flood(int count)
{
    rlimit saved, high;
    getrlimit(RLIMIT_NOFILE, &saved);
    high = saved;
    high.rlim_cur = high.rlim_max;
    setrlimit(RLIMIT_NOFILE, &high);
    std::vector<int> fds;
    for (int tries = 0; static_cast<int>(fds.size()) < count && tries < 20 * count; tries++) {
        if (int fd = unix_connect(SOCK_NONBLOCK); fd >= 0)
            fds.push_back(fd);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the backlog is full: let zeld accept
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    return fds;
}

TEST_F(PeerLinks, StrayGarbageOnZeldsSocketIsClosedAndLogged)
{
    auto zeld = start_zeld();
    ASSERT_TRUE(zeld);
    size_t log = syslog().mark();
    {
        Stray stray;
        ASSERT_TRUE(stray.send_bytes({'h', 'e', 'l', 'l', 'o', ' ', 'z', 'e', 'l', 'd', '\n'}));
        EXPECT_TRUE(stray.closed_by_peer());
    }
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("^\\[MSG-ERR\\] \\w+\\[\\d+\\]: Bad header from fd"), kWait, &log));
    {
        Stray stray;
        ASSERT_TRUE(stray.send_bytes(header(77, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER)));
        EXPECT_TRUE(stray.closed_by_peer());
    }
    EXPECT_TRUE(zeld->running());
    // The real pxrd still gets in.
    auto pxrd = start("pxrd-sim");
    ASSERT_TRUE(pxrd);
    EXPECT_TRUE(pxrd->wait_stdout_line("\"event\":\"up\""));
    stop_zeld(*zeld);
}

TEST_F(PeerLinks, EmptyMessageFromRegisteredPeerIsFatal)
{
    auto zeld = start_zeld();
    ASSERT_TRUE(zeld);
    Stray stray;
    ASSERT_TRUE(stray.send_bytes(header(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER)));
    ASSERT_TRUE(stray.send_bytes(header(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA)));
    auto st = zeld->wait_exit();
    EXPECT_EQ(e2e::term_signal(st), SIGABRT) << e2e::describe_status(st);
    EXPECT_TRUE(std::regex_search(zeld->stderr_text(), std::regex("msgq_util:\\d+: failed assertion `size > hlen'")))
        << zeld->stderr_text();
}

// The socket is open to every user; one of another user is refused before it can register.
TEST_F(PeerLinks, AnotherUserCannotStopZeldOrTakeThePxrdLink)
{
    auto zeld = start_zeld();
    ASSERT_TRUE(zeld);
    auto pxrd = start("pxrd-sim");
    ASSERT_TRUE(pxrd);
    ASSERT_TRUE(pxrd->wait_stdout_line("\"event\":\"up\""));
    size_t log = syslog().mark();

    EXPECT_EQ(in_child(impostor), 0);
    EXPECT_TRUE(
        syslog().wait_for_regex(std::regex("Refusing peer pid \\d+ uid 65534 on /var/run/\\.zeld"), kWait, &log))
        << syslog().dump();
    EXPECT_TRUE(zeld->running()) << zeld->stderr_text();
    EXPECT_EQ(pxrd->stdout_text().find("\"event\":\"down\""), std::string::npos) << pxrd->stdout_text();
    stop_zeld(*zeld);
}

// Idle connections cannot use up zeld's descriptors: links that drop meanwhile come back, krod
// with both requests on every connection.
TEST_F(PeerLinks, FloodOfIdleConnectionsLeavesTheLinksToRecover)
{
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
    setrlimit(RLIMIT_NOFILE, &low);  // zeld and the stand-ins inherit the usual limit
    auto krod = start("krod-sim");
    auto sysmgr = start("sysmgr-sim");
    auto zeld = start_zeld();
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(krod && sysmgr && zeld);
    size_t kcur = 0;
    expect_two_requests(*krod, &kcur);
    ASSERT_TRUE(sysmgr->wait_stdout_line("\"event\":\"hello\""));

    const std::vector<int> idle = flood(2000);
    // Both peers restart while the flood holds.
    krod->signal(SIGKILL);
    sysmgr->signal(SIGKILL);
    krod->wait_exit();
    sysmgr->wait_exit();
    auto krod2 = start("krod-sim");
    auto sysmgr2 = start("sysmgr-sim");
    ASSERT_TRUE(krod2 && sysmgr2);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int fd : idle)
        close(fd);

    size_t kcur2 = 0;
    expect_two_requests(*krod2, &kcur2);
    EXPECT_TRUE(sysmgr2->wait_stdout_line("\"pid\":" + std::to_string(zeld->pid()))) << sysmgr2->stdout_text();
    // Reports reach zeld; one that does not decode is logged and dropped.
    ASSERT_TRUE(krod2->write_stdin("raw 0105"));
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("Discarding KRO Msg of 2 bytes that does not decode")));
    ASSERT_TRUE(krod2->write_stdin("update 10.0.0.1 mpls ipsec index=4 weight=3"));
    EXPECT_TRUE(krod2->wait_stdout_line("\"event\":\"sent\",\"type\":5"));
    EXPECT_TRUE(zeld->running());
    stop_zeld(*zeld);
}

}  // namespace
