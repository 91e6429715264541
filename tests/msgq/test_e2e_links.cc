// zeld's peer links seen from the stand-ins, inside the end-to-end sandbox.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/msgq_util.h"
#include "common/qor_util.h"
#include "fp_sim_harness.h"
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

// A local socket that speaks to zeld's listening path directly.
class Stray
{
public:
    Stray()
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        strcpy(sun.sun_path, "/var/run/.zeld");
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0;
    }
    ~Stray() { close(fd_); }
    bool connected() const { return connected_; }
    bool write_bytes(const std::vector<uint8_t> &b) { return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) > 0; }
    // True when zeld closed the connection within the wait.
    bool closed_by_peer()
    {
        timeval tv{static_cast<time_t>(kWait.count() / 1000), 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        ssize_t n = recv(fd_, &c, 1, 0);
        // Closed with our bytes still unread, the socket is reset instead.
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::vector<uint8_t> header(uint8_t src, uint8_t tgt, uint8_t type, uint16_t size)
{
    const msgq_hdr_t h{MSGQ_MAGIC1, size, src, tgt, type, MSGQ_MAGIC2};
    std::vector<uint8_t> out(sizeof h);
    memcpy(out.data(), &h, sizeof h);
    return out;
}

TEST_F(PeerLinks, KrodGetsTwoRequestsOnEveryConnection)
{
    auto krod = start("krod-sim");
    auto zeld = start_zeld();
    ASSERT_TRUE(krod && zeld);
    size_t cur = 0;
    expect_two_requests(*krod, &cur);

    krod->signal(SIGKILL);
    krod->wait_exit();
    auto krod2 = start("krod-sim");
    ASSERT_TRUE(krod2);
    size_t cur2 = 0;
    expect_two_requests(*krod2, &cur2);

    // Reports reach zeld; one that does not decode is logged and dropped.
    ASSERT_TRUE(krod2->write_stdin("raw 0105"));
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("Discarding KRO Msg of 2 bytes that does not decode")));
    ASSERT_TRUE(krod2->write_stdin("update 10.0.0.1 mpls ipsec index=4 weight=3"));
    EXPECT_TRUE(krod2->wait_stdout_line("\"event\":\"sent\",\"type\":5"));
    EXPECT_TRUE(zeld->running());
    stop_zeld(*zeld);
}

TEST_F(PeerLinks, SystemManagerHearsHelloWithZeldsPid)
{
    auto sysmgr = start("sysmgr-sim");
    auto zeld = start_zeld();
    ASSERT_TRUE(sysmgr && zeld);
    const std::string hello =
        "{\"event\":\"hello\",\"version\":1,\"type\":1,\"length\":32,\"pid\":" + std::to_string(zeld->pid()) + "}";
    size_t cur = 0;
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(sysmgr->wait_stdout_line(hello, kWait, &cur)) << sysmgr->stdout_text();
    // A type-4 message is taken and dropped: zeld gives no callback for it.
    ASSERT_TRUE(sysmgr->write_stdin("type4"));
    EXPECT_TRUE(sysmgr->wait_stdout_line(hello, kWait, &cur));
    stop_zeld(*zeld);
}

TEST_F(PeerLinks, PxrdIsAnnouncedToOnEveryRegistration)
{
    auto zeld = start_zeld();
    ASSERT_TRUE(zeld);
    size_t log = syslog().mark();
    const std::regex up("pxrd registered, announcing policy and access-list bindings");
    auto pxrd = start("pxrd-sim");
    ASSERT_TRUE(pxrd);
    EXPECT_TRUE(pxrd->wait_stdout_line("\"event\":\"up\""));
    EXPECT_TRUE(syslog().wait_for_regex(up, kWait, &log));

    pxrd->signal(SIGKILL);
    pxrd->wait_exit();
    auto pxrd2 = start("pxrd-sim");
    ASSERT_TRUE(pxrd2);
    EXPECT_TRUE(pxrd2->wait_stdout_line("\"event\":\"up\""));
    EXPECT_TRUE(syslog().wait_for_regex(up, kWait, &log));
    // What pxrd says is dropped.
    ASSERT_TRUE(pxrd2->write_stdin("raw 0102030405"));
    EXPECT_TRUE(pxrd2->wait_stdout_line("\"event\":\"sent\""));
    stop_zeld(*zeld);
}

TEST_F(PeerLinks, StrayGarbageOnZeldsSocketIsClosedAndLogged)
{
    auto zeld = start_zeld();
    ASSERT_TRUE(zeld);
    size_t log = syslog().mark();
    {
        Stray stray;
        ASSERT_TRUE(stray.connected());
        ASSERT_TRUE(stray.write_bytes({'h', 'e', 'l', 'l', 'o', ' ', 'z', 'e', 'l', 'd', '\n'}));
        EXPECT_TRUE(stray.closed_by_peer());
    }
    EXPECT_TRUE(syslog().wait_for_regex(std::regex("^\\[MSG-ERR\\] \\w+\\[\\d+\\]: Bad header from fd"), kWait, &log));
    {
        Stray stray;
        ASSERT_TRUE(stray.write_bytes(header(77, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER, 8)));
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
    ASSERT_TRUE(stray.write_bytes(header(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_REGISTER, 8)));
    ASSERT_TRUE(stray.write_bytes(header(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, 8)));
    auto st = zeld->wait_exit();
    EXPECT_EQ(e2e::term_signal(st), SIGABRT) << e2e::describe_status(st);
    EXPECT_TRUE(std::regex_search(zeld->stderr_text(), std::regex("msgq_util:\\d+: failed assertion `size > hlen'")))
        << zeld->stderr_text();
}

}  // namespace
