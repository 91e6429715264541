// What a listening handle does about peers that never register and about running out
// of descriptors, and how a client link comes back after it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <vector>

#include "common/qor_util.h"
#include "msgq_fixture.h"

namespace
{

using msgq_test::RawPeer;

void none(msgq_handle_t *, void *) {}
void drop(msgq_handle_t *h, void *payload, uint32_t, void *) { msgq_free_msg(h, payload); }
const msgq_cbs_t kCbs = {none, none, none, drop, nullptr, nullptr};

int pending()
{
    int reg, unreg, tmp;
    msgq_list_counts(&reg, &unreg, &tmp);
    return tmp;
}

// Uses up every descriptor of the process until released.
class FdExhaustion
{
public:
    FdExhaustion()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fds_.push_back(fd);
    }
    ~FdExhaustion() { release(); }
    void release()
    {
        for (int fd : fds_)
            close(fd);
        fds_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> fds_;
};

class MsgqGuard : public msgq_test::Loop
{
protected:
    msgq_handle_t *server()
    {
        const msgq_params_t p = params();
        return msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, nullptr);
    }
};

TEST_F(MsgqGuard, ConnectionsThatNeverRegisterAreCappedAndTimedOut)
{
    ASSERT_NE(server(), nullptr);
    std::vector<RawPeer> idle(40);
    for (auto &peer : idle)
        ASSERT_TRUE(peer.connect_to(path_of("zeld")));
    // The oldest give way to the newest.
    ASSERT_TRUE(pump_until([&] {
        idle.front().drain();
        idle.back().drain();
        return idle.front().eof() && pending() == 32;
    }));
    EXPECT_FALSE(idle.back().eof());

    // The rest are closed once their time to register is over.
    ASSERT_TRUE(pump_until_eof(idle.back()));
    EXPECT_EQ(pending(), 0);
}

// Out of descriptors, the listener pauses instead of waking the loop again at once.
TEST_F(MsgqGuard, AcceptWithoutDescriptorsPausesTheListener)
{
    msgq_handle_t *srv = server();
    ASSERT_NE(srv, nullptr);
    RawPeer peer;
    ASSERT_TRUE(peer.connect_to(path_of("zeld")));
    int wakeups = 0;
    {
        FdExhaustion full;
        bool done = false;
        event *stop = evtimer_new(
            base_, [](evutil_socket_t, short, void *arg) { *static_cast<bool *>(arg) = true; }, &done);
        ASSERT_NE(stop, nullptr);
        const timeval window = {0, 300000};
        evtimer_add(stop, &window);
        while (!done && wakeups < 100000) {
            event_base_loop(base_, EVLOOP_ONCE);
            wakeups++;
        }
        event_free(stop);
    }
    EXPECT_LT(wakeups, 100) << "the loop spun on a listener it cannot serve";
    // With descriptors back, the waiting connection is taken.
    EXPECT_TRUE(pump_until([] { return pending() == 1; }));
}

TEST_F(MsgqGuard, ClientWhoseSocketCannotBeMadeIsRetried)
{
    msgq_handle_t *cli = nullptr;
    {
        FdExhaustion full;
        const msgq_params_t p = params();
        cli = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, nullptr);
        ASSERT_NE(cli, nullptr);
        // The first attempt, 500 ms on, finds no descriptor to spare.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
        pump_until([&] { return std::chrono::steady_clock::now() > end; });
    }
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path_of("krod").c_str());
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    EXPECT_TRUE(pump_until([&] { return msgq_is_connected(cli); }));
    close(lfd);
}

}  // namespace
