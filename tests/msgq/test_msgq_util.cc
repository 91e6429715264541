#include "common/msgq_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "common/hand_clock.h"
#include "common/qor_util.h"
#include "msgq_fixture.h"

namespace
{

using msgq_test::frame;
using msgq_test::RawPeer;
using msgq_test::register_frame;

using msgq_test::Recorder;
const msgq_cbs_t &kCbs = msgq_test::kRecCbs;

std::vector<uint8_t> pattern(size_t len, uint8_t seed)
{
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class Msgq : public msgq_test::Loop
{
protected:
    // Recorders outlive the handles, which TearDown closes.
    Recorder &recorder() { return recs_.emplace_back(); }
    std::deque<Recorder> recs_;

    // A SERVER as zeld (9) waiting for pxrd (3).
    msgq_handle_t *server(Recorder &rec, const msgq_cbs_t &cbs = kCbs)
    {
        const msgq_params_t p = params();
        msgq_handle_t *srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &cbs, &rec);
        EXPECT_NE(srv, nullptr);
        return srv;
    }
    // The same, registered by a raw peer.
    msgq_handle_t *registered_server(RawPeer &peer, Recorder &rec, const msgq_cbs_t &cbs = kCbs)
    {
        msgq_handle_t *srv = server(rec, cbs);
        EXPECT_TRUE(peer.connect_to(path_of("zeld")));
        EXPECT_TRUE(peer.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
        EXPECT_TRUE(pump_until([&] { return msgq_is_connected(srv); }));
        return srv;
    }
    // A small send buffer, so that a few large messages fill the socket.
    static void small_send_buffer(msgq_handle_t *h)
    {
        int small = 4096;
        ASSERT_EQ(setsockopt(h->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    }
    // Sends a copy of the payload: msgq_write's result.
    static int write(msgq_handle_t *h, const std::vector<uint8_t> &payload)
    {
        void *msg = msgq_alloc_msg(h, static_cast<uint32_t>(payload.size()));
        EXPECT_NE(msg, nullptr);
        memcpy(msg, payload.data(), payload.size());
        return msgq_write(h, msg, static_cast<uint32_t>(payload.size()));
    }
};

// Parses a byte stream into the payloads of its frames; false on a bad frame.
bool parse_stream(const std::vector<uint8_t> &in, std::vector<std::vector<uint8_t>> *out)
{
    size_t at = 0;
    while (at + MSGQ_HDR_LEN <= in.size()) {
        msgq_hdr_t hdr;
        memcpy(&hdr, in.data() + at, sizeof hdr);
        if (hdr.magic1 != MSGQ_MAGIC1 || hdr.magic2 != MSGQ_MAGIC2 || hdr.type != MSGQ_TYPE_DATA ||
            hdr.src != QOR_DAEMON_ID_ZELD || hdr.tgt != QOR_DAEMON_ID_PXRD || at + hdr.size > in.size())
            return false;
        out->emplace_back(in.begin() + static_cast<long>(at + MSGQ_HDR_LEN),
                          in.begin() + static_cast<long>(at + hdr.size));
        at += hdr.size;
    }
    return at == in.size();
}

TEST_F(Msgq, PartialSendResumesAtTheRightByteWithLaterMessagesQueuedBehind)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);
    ASSERT_NO_FATAL_FAILURE(small_send_buffer(srv));
    int small = 4096;
    ASSERT_EQ(setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);

    // Fill the socket until a message stays partly sent, then queue more behind it.
    std::vector<std::vector<uint8_t>> sent;
    auto write_one = [&](size_t len) {
        sent.push_back(pattern(len, static_cast<uint8_t>(sent.size())));
        ASSERT_EQ(write(srv, sent.back()), 0);
    };
    while (srv->stats.tx_resched == 0 && sent.size() < 200)
        write_one(30001);
    ASSERT_GT(srv->stats.tx_resched, 0u);
    ASSERT_NE(srv->p_txq_head, nullptr);
    EXPECT_GT(srv->p_txq_head->sent, 0u);
    for (int i = 0; i < 3; i++)
        write_one(100 + static_cast<size_t>(i));

    std::vector<uint8_t> stream;
    size_t expected = 0;
    for (const auto &m : sent)
        expected += MSGQ_HDR_LEN + m.size();
    // While anything waits, exactly one write event is armed, and each write-ready
    // callback hands over to the other one.
    int out_of_turn = 0;
    auto check_turn = [&] {
        if (srv->wr_idx != srv->stats.tx_write_cb % 2)
            out_of_turn++;
        if (srv->p_txq_head && (!srv->wr_armed[srv->wr_idx] || srv->wr_armed[srv->wr_idx ^ 1]))
            out_of_turn++;
    };
    check_turn();
    ASSERT_TRUE(pump_until([&] {
        auto got = peer.drain();
        stream.insert(stream.end(), got.begin(), got.end());
        check_turn();
        return stream.size() >= expected;
    }));
    EXPECT_EQ(out_of_turn, 0);
    EXPECT_GE(srv->stats.tx_write_cb, 2u) << "both write events took a turn";
    std::vector<std::vector<uint8_t>> received;
    ASSERT_TRUE(parse_stream(stream, &received));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(srv->p_txq_head, nullptr);
}

TEST_F(Msgq, BadArgumentsToWriteAndAllocAndWriteWhileDown)
{
    Recorder &rec = recorder();
    const msgq_params_t p = params();
    msgq_handle_t *cli = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec);
    ASSERT_NE(cli, nullptr);
    EXPECT_EQ(msgq_write(nullptr, nullptr, 1), MSGQ_ERR_BAD_BUF);
    EXPECT_EQ(msgq_write(cli, nullptr, 1), MSGQ_ERR_BAD_BUF);
    EXPECT_EQ(msgq_alloc_msg(cli, MSGQ_MAX_PAYLOAD + 1), nullptr);
    EXPECT_EQ(cli->stats.alloc_failed, 1u);
    void *msg = msgq_alloc_msg(cli, MSGQ_MAX_PAYLOAD);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msgq_write(cli, msg, 0), MSGQ_ERR_BAD_BUF);
    // Not connected: refused, nothing queued, the buffer stays the caller's.
    EXPECT_FALSE(msgq_is_connected(cli));
    EXPECT_EQ(msgq_write(cli, msg, 16), MSGQ_ERR_DOWN);
    EXPECT_EQ(cli->p_txq_head, nullptr);
    EXPECT_EQ(cli->stats.tx_queued, 0u);
    msgq_free_msg(cli, msg);
    EXPECT_EQ(cli->stats.msg_allocs, cli->stats.msg_frees);
    EXPECT_EQ(msgq_init(0, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec), nullptr);
    EXPECT_EQ(msgq_init(QOR_DAEMON_ID_ZELD, MSGQ_ID_MAX + 1, MSGQ_CLIENT, &p, &kCbs, &rec), nullptr);
}

TEST_F(Msgq, SecondConnectionFromRegisteredPeerReplacesTheFirst)
{
    RawPeer first;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(first, rec);
    RawPeer second;
    ASSERT_TRUE(second.connect_to(path_of("zeld")));
    ASSERT_TRUE(second.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(pump_until([&] { return srv->stats.conn_up == 2; }));
    EXPECT_EQ(srv->stats.conn_exist, 1u);
    EXPECT_EQ(srv->stats.rx_register, 2u);
    EXPECT_EQ(srv->stats.conn_close, 1u);
    EXPECT_EQ(srv->stats.conn_down, 1u);
    EXPECT_EQ(srv->stats.rx_fail, 0u) << "the old connection was replaced, not lost";
    EXPECT_EQ(rec.events, (std::vector<std::string>{"up", "down", "up"}));
    ASSERT_TRUE(pump_until_eof(first));

    const std::vector<uint8_t> payload = pattern(20, 9);
    ASSERT_TRUE(second.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload)));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], payload);
}

TEST_F(Msgq, ReadCallbackMayCloseItsOwnHandle)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    rec.close_in_read = true;
    std::vector<uint8_t> two = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {1});
    auto second = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {2});
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(peer.send_bytes(two));
    ASSERT_TRUE(pump_until([&] { return !rec.msgs.empty(); }));
    pump(5);
    EXPECT_EQ(rec.msgs.size(), 1u);
    EXPECT_EQ(msgq_instance(), nullptr);
}

TEST_F(Msgq, SendErrorTakesTheLinkDownAndDropsItsQueue)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);
    ASSERT_NO_FATAL_FAILURE(small_send_buffer(srv));
    while (srv->stats.tx_resched == 0 && srv->stats.tx_queued < 200)
        ASSERT_EQ(write(srv, pattern(30001, 0)), 0);
    ASSERT_NE(srv->p_txq_head, nullptr);
    ASSERT_GT(srv->stats.tx_queued, 0u);

    // The peer vanishes; the next send fails and marks the link down pending.
    peer.close_fd();
    EXPECT_EQ(write(srv, pattern(10, 0)), 0) << "queued behind the others";
    EXPECT_EQ(srv->stats.tx_fail, 1u);
    EXPECT_FALSE(msgq_is_connected(srv));
    void *late = msgq_alloc_msg(srv, 10);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(msgq_write(srv, late, 10), MSGQ_ERR_DOWN);
    msgq_free_msg(srv, late);

    ASSERT_TRUE(pump_until([&] { return srv->stats.conn_down == 1; }));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"up", "down"}));
    EXPECT_EQ(srv->p_txq_head, nullptr);
    EXPECT_EQ(srv->stats.tx_queued, 0u);
    EXPECT_EQ(srv->stats.tx_dequeued, 0u);
    EXPECT_EQ(srv->stats.msg_allocs, srv->stats.msg_frees) << "every queued message was freed";
    EXPECT_EQ(srv->fd, -1);
}

// A connection is matched on the path it arrived at and on its register message; any that
// matches nothing is closed alone and the registered link carries on.
TEST_F(Msgq, RegisterIsMatchedOnThePathItArrivedAt)
{
    Recorder &rec = recorder();
    msgq_params_t at_a = params(), at_b = params();
    snprintf(at_a.path, sizeof at_a.path, "%s/a", dir_.c_str());
    snprintf(at_b.path, sizeof at_b.path, "%s/b", dir_.c_str());
    msgq_handle_t *for_pxrd = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &at_a, &kCbs, &rec);
    msgq_handle_t *other = msgq_init(QOR_DAEMON_ID_ZELD, 20, MSGQ_SERVER, &at_b, &kCbs, &rec);
    ASSERT_NE(for_pxrd, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_NE(for_pxrd->p_server, other->p_server);

    RawPeer wrong_door, right_door, early;
    ASSERT_TRUE(wrong_door.connect_to(at_b.path));
    ASSERT_TRUE(wrong_door.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(pump_until_eof(wrong_door));
    EXPECT_FALSE(msgq_is_connected(for_pxrd));
    EXPECT_TRUE(rec.events.empty());

    ASSERT_TRUE(right_door.connect_to(at_a.path));
    ASSERT_TRUE(right_door.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(pump_until([&] { return msgq_is_connected(for_pxrd); }));
    EXPECT_FALSE(msgq_is_connected(other));

    // Data before any register message.
    ASSERT_TRUE(early.connect_to(at_a.path));
    ASSERT_TRUE(early.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {1, 2, 3})));
    ASSERT_TRUE(pump_until_eof(early));
    int reg, unreg, tmp;
    msgq_list_counts(&reg, &unreg, &tmp);
    EXPECT_EQ(reg, 1);
    EXPECT_EQ(tmp, 0);
    EXPECT_EQ(for_pxrd->stats.rx_register, 1u);
    EXPECT_EQ(rec.events, std::vector<std::string>{"up"});
    const std::vector<uint8_t> payload = pattern(10, 3);
    ASSERT_TRUE(right_door.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload)));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], payload);
}

int pending()
{
    int reg, unreg, tmp;
    msgq_list_counts(&reg, &unreg, &tmp);
    return tmp;
}

// Uses up every descriptor of the process while it lives.
struct FdExhaustion {
    FdExhaustion()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = 256;
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fds.push_back(fd);
    }
    ~FdExhaustion()
    {
        for (int fd : fds)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    rlimit saved{};
    std::vector<int> fds;
};

TEST_F(Msgq, ConnectionsThatNeverRegisterAreCappedAndTimedOut)
{
    server(recorder());
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
TEST_F(Msgq, AcceptWithoutDescriptorsPausesTheListener)
{
    server(recorder());
    RawPeer peer;
    ASSERT_TRUE(peer.connect_to(path_of("zeld")));
    int wakeups = 0;
    {
        FdExhaustion full;
        bool done = false;
        event *stop = evtimer_new(
            base_, [](evutil_socket_t, short, void *arg) { *static_cast<bool *>(arg) = true; }, &done);
        const timeval window = {0, 300000};
        evtimer_add(stop, &window);
        for (; !done && wakeups < 100000; wakeups++)
            event_base_loop(base_, EVLOOP_ONCE);
        event_free(stop);
    }
    EXPECT_LT(wakeups, 100) << "the loop spun on a listener it cannot serve";
    // With descriptors back, the waiting connection is taken.
    EXPECT_TRUE(pump_until([] { return pending() == 1; }));
}

TEST_F(Msgq, ClientWhoseSocketCannotBeMadeIsRetried)
{
    const msgq_params_t p = params();
    // Taken before the descriptors run out: the sanitizer's check of the fixture's type needs one.
    Recorder *rec = &recorder();
    msgq_handle_t *cli = nullptr;
    {
        FdExhaustion full;
        cli = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, rec);
        ASSERT_NE(cli, nullptr);
        // The first attempt, 500 ms on, finds no descriptor to spare.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
        pump_until([&] { return std::chrono::steady_clock::now() > end; });
    }
    ASSERT_NE(msgq_init(QOR_DAEMON_ID_KROD, QOR_DAEMON_ID_ZELD, MSGQ_SERVER, &p, &kCbs, &recorder()), nullptr);
    EXPECT_TRUE(pump_until([&] { return msgq_is_connected(cli); }));
}

class ClockedMsgq : public Msgq
{
protected:
    // One pass of the event loop, without the timers.
    void one_pass() { event_base_loop(base_, EVLOOP_ONCE | EVLOOP_NONBLOCK); }
    HandClock clock_;
};

TEST_F(ClockedMsgq, ReadBurstIsCutOnceMoreThanASecondHasPassed)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    auto send_burst = [&](int count) {
        std::vector<uint8_t> burst;
        for (int i = 0; i < count; i++) {
            auto f = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {static_cast<uint8_t>(i)});
            burst.insert(burst.end(), f.begin(), f.end());
        }
        ASSERT_TRUE(peer.send_bytes(burst));
    };

    // Time stands still: one pass takes the whole burst.
    send_burst(3);
    one_pass();
    EXPECT_EQ(rec.msgs.size(), 3u);

    // 0.6 s per message: the pass stops after the message that crossed one second.
    HandClock::step_ms = 600;
    send_burst(3);
    one_pass();
    EXPECT_EQ(rec.msgs.size(), 5u);
    one_pass();
    EXPECT_EQ(rec.msgs.size(), 6u) << "the persistent read event picks up the rest";

    // Exactly one second is not more than one.
    HandClock::step_ms = 1000;
    send_burst(3);
    one_pass();
    EXPECT_EQ(rec.msgs.size(), 8u);
    one_pass();
    EXPECT_EQ(rec.msgs.size(), 9u);
    HandClock::step_ms = 0;
}

using MsgqDeath = Msgq;

TEST_F(MsgqDeath, RegisterOnARegisteredConnectionIsFatal)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    ASSERT_TRUE(peer.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    EXPECT_DEATH(pump(50), "msgq_util:[0-9]+: failed assertion `h->flags & MSGQ_F_IN_TMP'");
}

void *no_memory(size_t) { return nullptr; }

TEST_F(MsgqDeath, NoMemoryForAReceivedMessageIsFatal)
{
    msgq_cbs_t cbs = kCbs;
    cbs.alloc = no_memory;
    Recorder &rec = recorder();
    RawPeer peer;
    ASSERT_TRUE(msgq_is_connected(registered_server(peer, rec, cbs)));
    ASSERT_TRUE(peer.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {1, 2})));
    EXPECT_DEATH(pump(50), "msgq_util:[0-9]+: failed assertion `h->p_rx_buf != nullptr'");
}

}  // namespace
