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
#include "msgq_fixture.h"
#include "standins.h"

namespace
{

using e2e::kWait;

class PeerLinks : public e2e::StandIns
{
protected:
    bool with_sysmgr() const override { return true; }
    void SetUp() override
    {
        rlimit saved;
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
        setrlimit(RLIMIT_NOFILE, &low);  // zeld and the stand-ins get the usual limit, which a flood can reach
        StandIns::SetUp();
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    // A stand-in killed and started again, once it has started.
    void restart(std::unique_ptr<e2e::Process> &p, const char *name)
    {
        p->signal(SIGKILL);
        p->wait_exit();
        p = e2e::Process::start({e2e::binary(name)});
        ASSERT_TRUE(p && p->wait_stdout_line("\"event\":\"started\"")) << name;
    }
    // Both requests, in order.
    void expect_two_requests()
    {
        size_t cur = 0;
        for (const char *index : {"0", "1"})
            EXPECT_TRUE(krod_->wait_stdout_line(std::string("\"type\":1,\"source\":9,\"index\":") + index +
                                                    ",\"subscribe\":1,\"resync\":0",
                                                kWait, &cur))
                << krod_->stdout_text();
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

// As nobody, in a child: register as pxrd, then what used to stop zeld. Its exit status: 0 when zeld
// closed the connection.
int impostor()
{
    pid_t pid = fork();
    if (pid == 0) {
        const msgq_hdr_t reg{MSGQ_MAGIC1, 8, QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER, MSGQ_MAGIC2};
        const msgq_hdr_t empty{MSGQ_MAGIC1, 8, QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, MSGQ_MAGIC2};
        int fd = setgid(65534) == 0 && setuid(65534) == 0 ? unix_connect(0) : -1;
        for (const msgq_hdr_t *h : {&reg, &empty, &reg})
            send(fd, h, sizeof *h, MSG_NOSIGNAL);
        _exit(fd < 0 ? 10 : closed_by_peer(fd) ? 0 : 12);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
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
    size_t log = syslog().mark();
    {
        Stray stray;
        ASSERT_TRUE(stray.send_bytes({'h', 'e', 'l', 'l', 'o', ' ', 'z', 'e', 'l', 'd', '\n'}));
        EXPECT_TRUE(stray.closed_by_peer());
    }
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("^\\[MSG-ERR\\] \\w+\\[\\d+\\]: Bad header from fd"), kWait, &log));
    {
        Stray stray;
        ASSERT_TRUE(stray.send_bytes(msgq_test::register_frame(77, QOR_DAEMON_ID_ZELD)));
        EXPECT_TRUE(stray.closed_by_peer());
    }
    EXPECT_TRUE(zeld_->running());
    // The real pxrd still gets in.
    ASSERT_NO_FATAL_FAILURE(restart(pxrd_, "pxrd-sim"));
    EXPECT_TRUE(pxrd_->wait_stdout_line("\"event\":\"up\""));
}

TEST_F(PeerLinks, EmptyMessageFromRegisteredPeerIsFatal)
{
    Stray stray;
    ASSERT_TRUE(stray.send_bytes(msgq_test::register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(stray.send_bytes(msgq_test::frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {})));
    auto st = zeld_->wait_exit();
    EXPECT_EQ(e2e::term_signal(st), SIGABRT) << e2e::describe_status(st);
    EXPECT_TRUE(std::regex_search(zeld_->stderr_text(), std::regex("msgq_util:\\d+: failed assertion `size > hlen'")))
        << zeld_->stderr_text();
}

// The socket is open to every user; one of another user is refused before it can register.
TEST_F(PeerLinks, AnotherUserCannotStopZeldOrTakeThePxrdLink)
{
    size_t log = syslog().mark();

    EXPECT_EQ(impostor(), 0);
    EXPECT_TRUE(
        syslog().wait_for_regex(std::regex("Refusing peer pid \\d+ uid 65534 on /var/run/\\.zeld"), kWait, &log))
        << syslog().dump();
    EXPECT_TRUE(zeld_->running()) << zeld_->stderr_text();
    EXPECT_EQ(pxrd_->stdout_text().find("\"event\":\"down\""), std::string::npos) << pxrd_->stdout_text();
}

// Idle connections cannot use up zeld's descriptors: links that drop meanwhile come back, krod
// with both requests on every connection.
TEST_F(PeerLinks, FloodOfIdleConnectionsLeavesTheLinksToRecover)
{
    expect_two_requests();
    ASSERT_TRUE(sysmgr_->wait_stdout_line("\"event\":\"hello\""));
    const std::vector<int> idle = flood(2000);
    // Both peers restart while the flood holds.
    ASSERT_NO_FATAL_FAILURE(restart(krod_, "krod-sim"));
    ASSERT_NO_FATAL_FAILURE(restart(sysmgr_, "sysmgr-sim"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int fd : idle)
        close(fd);

    expect_two_requests();
    EXPECT_TRUE(sysmgr_->wait_stdout_line("\"pid\":" + std::to_string(zeld_->pid()))) << sysmgr_->stdout_text();
    // Reports reach zeld; one that does not decode is logged and dropped.
    ASSERT_TRUE(krod_->write_stdin("raw 0105"));
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("Discarding KRO Msg of 2 bytes that does not decode")));
    ASSERT_TRUE(krod_->write_stdin("update 10.0.0.1 mpls ipsec index=4 weight=3"));
    EXPECT_TRUE(krod_->wait_stdout_line("\"event\":\"sent\",\"type\":5"));
    EXPECT_TRUE(zeld_->running());
}

}  // namespace
