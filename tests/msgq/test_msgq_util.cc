#include "common/msgq_util.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/qor_util.h"
#include "msgq_fixture.h"

namespace {

using msgq_test::frame;
using msgq_test::RawPeer;
using msgq_test::register_frame;

// What a handle's callbacks saw, in order.
struct Recorder {
    std::vector<std::string> events;
    std::vector<std::vector<uint8_t>> msgs;
    bool close_in_read = false;
};

void rec_up(msgq_handle_t *, void *arg) { static_cast<Recorder *>(arg)->events.push_back("up"); }
void rec_down(msgq_handle_t *, void *arg) { static_cast<Recorder *>(arg)->events.push_back("down"); }
void rec_aux(msgq_handle_t *, void *) {}
void rec_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg)
{
    auto *rec = static_cast<Recorder *>(arg);
    auto *p = static_cast<uint8_t *>(payload);
    rec->msgs.emplace_back(p, p + len);
    rec->events.push_back("read");
    msgq_free_msg(h, payload);
    if (rec->close_in_read)
        msgq_close(h);
}

const msgq_cbs_t kCbs = {rec_up, rec_down, rec_aux, rec_read, nullptr, nullptr};

std::vector<uint8_t> pattern(size_t len, uint8_t seed)
{
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class Msgq : public msgq_test::Loop {
protected:
    // Recorders outlive the handles, which TearDown closes.
    Recorder &recorder() { return recs_.emplace_back(); }
    std::deque<Recorder> recs_;

    // A SERVER as zeld (9) waiting for pxrd (3), registered by a raw peer.
    msgq_handle_t *registered_server(RawPeer &peer, Recorder &rec)
    {
        const msgq_params_t p = params();
        msgq_handle_t *srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &rec);
        EXPECT_NE(srv, nullptr);
        EXPECT_TRUE(peer.connect_to(path_of("zeld")));
        EXPECT_TRUE(peer.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
        EXPECT_TRUE(pump_until([&] { return msgq_is_connected(srv); }));
        return srv;
    }
};

TEST_F(Msgq, MessageSplitOverManyReadsIsDeliveredOnceWhole)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);
    const std::vector<uint8_t> payload = pattern(300, 1);
    const std::vector<uint8_t> bytes = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload);
    for (uint8_t b : bytes) {
        ASSERT_TRUE(peer.send_bytes({b}));
        pump(1);
    }
    ASSERT_TRUE(pump_until([&] { return !rec.msgs.empty(); }));
    pump(5);
    ASSERT_EQ(rec.msgs.size(), 1u);
    EXPECT_EQ(rec.msgs[0], payload);
    EXPECT_EQ(srv->stats.rx_msg, 1u);
    EXPECT_EQ(srv->stats.msg_allocs, srv->stats.msg_frees);
}

TEST_F(Msgq, SeveralMessagesInOneReadAreDeliveredInOrder)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    std::vector<uint8_t> burst;
    std::vector<std::vector<uint8_t>> sent;
    for (uint8_t i = 0; i < 5; i++) {
        sent.push_back(pattern(1 + i * 50, i));
        auto f = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, sent.back());
        burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(peer.send_bytes(burst));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == sent.size(); }));
    EXPECT_EQ(rec.msgs, sent);
}

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
        out->emplace_back(in.begin() + static_cast<long>(at + MSGQ_HDR_LEN), in.begin() + static_cast<long>(at + hdr.size));
        at += hdr.size;
    }
    return at == in.size();
}

TEST_F(Msgq, PartialSendResumesAtTheRightByteWithLaterMessagesQueuedBehind)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);
    int small = 4096;
    ASSERT_EQ(setsockopt(srv->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);

    // Fill the socket until a message stays partly sent, then queue more behind it.
    std::vector<std::vector<uint8_t>> sent;
    auto write_one = [&](size_t len) {
        sent.push_back(pattern(len, static_cast<uint8_t>(sent.size())));
        void *msg = msgq_alloc_msg(srv, static_cast<uint32_t>(len));
        ASSERT_NE(msg, nullptr);
        memcpy(msg, sent.back().data(), len);
        ASSERT_EQ(msgq_write(srv, msg, static_cast<uint32_t>(len)), 0);
    };
    while (srv->stats.tx_resched == 0 && sent.size() < 200)
        write_one(30001);
    ASSERT_GT(srv->stats.tx_resched, 0u);
    ASSERT_NE(srv->p_txq_head, nullptr);
    EXPECT_GT(srv->p_txq_head->sent, 0u);
    for (int i = 0; i < 3; i++)
        write_one(100 + static_cast<size_t>(i));
    EXPECT_EQ(srv->stats.tx_queued, sent.size());
    EXPECT_LT(srv->stats.tx_msg, sent.size());

    std::vector<uint8_t> stream;
    size_t expected = 0;
    for (const auto &m : sent)
        expected += MSGQ_HDR_LEN + m.size();
    ASSERT_TRUE(pump_until([&] {
        auto got = peer.drain();
        stream.insert(stream.end(), got.begin(), got.end());
        return stream.size() >= expected;
    }));
    std::vector<std::vector<uint8_t>> received;
    ASSERT_TRUE(parse_stream(stream, &received));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(srv->p_txq_head, nullptr);
    EXPECT_EQ(srv->stats.tx_msg, sent.size());
    EXPECT_EQ(srv->stats.tx_dequeued, sent.size());
    EXPECT_GT(srv->stats.tx_write_cb, 0u);
}

TEST_F(Msgq, WriteWhileDownReturns14AndQueuesNothing)
{
    Recorder &rec = recorder();
    const msgq_params_t p = params();
    msgq_handle_t *cli = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec);
    ASSERT_NE(cli, nullptr);
    EXPECT_FALSE(msgq_is_connected(cli));
    void *msg = msgq_alloc_msg(cli, 16);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msgq_write(cli, msg, 16), MSGQ_ERR_DOWN);
    EXPECT_EQ(cli->p_txq_head, nullptr);
    EXPECT_EQ(cli->stats.tx_queued, 0u);
    msgq_free_msg(cli, msg);
    EXPECT_EQ(cli->stats.msg_allocs, cli->stats.msg_frees);
}

TEST_F(Msgq, BadArgumentsToWriteAndAlloc)
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
    msgq_free_msg(cli, msg);
    EXPECT_EQ(msgq_init(0, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec), nullptr);
    EXPECT_EQ(msgq_init(QOR_DAEMON_ID_ZELD, MSGQ_ID_MAX + 1, MSGQ_CLIENT, &p, &kCbs, &rec), nullptr);
}

TEST_F(Msgq, RegisterThatMatchesNoHandleClosesOnlyTheNewConnection)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);
    RawPeer stranger;
    ASSERT_TRUE(stranger.connect_to(path_of("zeld")));
    ASSERT_TRUE(stranger.send_bytes(register_frame(42, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(pump_until_eof(stranger));
    int reg, unreg, tmp;
    msgq_list_counts(&reg, &unreg, &tmp);
    EXPECT_EQ(reg, 1);
    EXPECT_EQ(tmp, 0);
    EXPECT_TRUE(msgq_is_connected(srv));
    EXPECT_EQ(rec.events, std::vector<std::string>{"up"});

    const std::vector<uint8_t> payload = pattern(10, 3);
    ASSERT_TRUE(peer.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload)));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], payload);
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
    EXPECT_EQ(rec.events, (std::vector<std::string>{"up", "down", "up"}));
    ASSERT_TRUE(pump_until_eof(first));

    const std::vector<uint8_t> payload = pattern(20, 9);
    ASSERT_TRUE(second.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload)));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], payload);
}

TEST_F(Msgq, ClientReconnectsAfterItsPeerVanished)
{
    Recorder &srv_rec = recorder(), &cli_rec = recorder();
    const msgq_params_t p = params();
    msgq_handle_t *srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &srv_rec);
    msgq_handle_t *cli = msgq_init(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_CLIENT, &p, &kCbs, &cli_rec);
    ASSERT_NE(srv, nullptr);
    ASSERT_NE(cli, nullptr);
    ASSERT_NE(cli->p_conn_timer, nullptr);
    EXPECT_STREQ(cli->p_conn_timer->name, "msgq-timer");
    EXPECT_EQ(timer_get_interval_ms(cli->p_conn_timer), 500);
    ASSERT_TRUE(pump_until([&] { return msgq_is_connected(cli) && msgq_is_connected(srv); }));
    EXPECT_EQ(cli->stats.tx_register, 1u);
    EXPECT_EQ(srv->stats.rx_register, 1u);

    msgq_close(srv);
    ASSERT_TRUE(pump_until([&] { return cli->stats.conn_down == 1; }));
    EXPECT_EQ(cli->stats.rx_fail, 1u);
    EXPECT_TRUE(timer_is_running(cli->p_conn_timer));

    srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &srv_rec);
    ASSERT_TRUE(pump_until([&] { return msgq_is_connected(cli) && msgq_is_connected(srv); }));
    EXPECT_EQ(cli->stats.conn_up, 2u);
    EXPECT_EQ(cli_rec.events, (std::vector<std::string>{"up", "down", "up"}));

    // The link carries data both ways again.
    void *msg = msgq_alloc_msg(cli, 4);
    memcpy(msg, "ping", 4);
    ASSERT_EQ(msgq_write(cli, msg, 4), 0);
    ASSERT_TRUE(pump_until([&] { return srv_rec.msgs.size() == 1; }));
    EXPECT_EQ(srv_rec.msgs[0], (std::vector<uint8_t>{'p', 'i', 'n', 'g'}));
}

TEST_F(Msgq, ClosingTheLastHandleFreesTheInstance)
{
    Recorder &rec = recorder();
    const msgq_params_t p = params();
    msgq_handle_t *a = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &rec);
    msgq_handle_t *b = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec);
    ASSERT_NE(msgq_instance(), nullptr);
    msgq_close(a);
    EXPECT_NE(msgq_instance(), nullptr);
    EXPECT_NE(access(path_of("zeld").c_str(), F_OK), 0) << "the last server on a path removes its socket";
    msgq_close(b);
    EXPECT_EQ(msgq_instance(), nullptr);

    msgq_handle_t *c = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &rec);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(msgq_instance(), nullptr);
    EXPECT_EQ(c->p_inst, msgq_instance());
    EXPECT_EQ(access(path_of("zeld").c_str(), F_OK), 0);
}

TEST_F(Msgq, ServersOnOnePathShareOneListener)
{
    Recorder &pxrd_rec = recorder(), &other_rec = recorder();
    const msgq_params_t p = params();
    msgq_handle_t *for_pxrd = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &pxrd_rec);
    msgq_handle_t *for_other = msgq_init(QOR_DAEMON_ID_ZELD, 20, MSGQ_SERVER, &p, &kCbs, &other_rec);
    ASSERT_EQ(for_pxrd->p_server, for_other->p_server);
    RawPeer a, b;
    ASSERT_TRUE(a.connect_to(path_of("zeld")));
    ASSERT_TRUE(b.connect_to(path_of("zeld")));
    ASSERT_TRUE(a.send_bytes(register_frame(20, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(b.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
    ASSERT_TRUE(pump_until([&] { return msgq_is_connected(for_pxrd) && msgq_is_connected(for_other); }));
    msgq_close(for_other);
    EXPECT_EQ(access(path_of("zeld").c_str(), F_OK), 0) << "the path still has a server";
    ASSERT_TRUE(pump_until_eof(a));
    EXPECT_TRUE(msgq_is_connected(for_pxrd));
}

TEST_F(Msgq, GarbageIsClosedAndLogged)
{
    RawPeer peer;
    Recorder &rec = recorder();
    msgq_handle_t *srv = registered_server(peer, rec);

    // Before registering: bad magic, then data instead of a register message.
    RawPeer junk, early;
    ASSERT_TRUE(junk.connect_to(path_of("zeld")));
    ASSERT_TRUE(junk.send_bytes({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}));
    ASSERT_TRUE(early.connect_to(path_of("zeld")));
    ASSERT_TRUE(early.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {1, 2, 3})));
    ASSERT_TRUE(pump_until([&] {
        junk.drain();
        early.drain();
        return junk.eof() && early.eof();
    }));
    EXPECT_TRUE(msgq_is_connected(srv));

    // A registered peer that starts sending garbage loses its connection.
    ASSERT_TRUE(peer.send_bytes({0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0}));
    ASSERT_TRUE(pump_until([&] { return srv->stats.conn_down == 1; }));
    EXPECT_EQ(srv->stats.rx_fail, 1u);
    EXPECT_EQ(rec.events, (std::vector<std::string>{"up", "down"}));
    EXPECT_TRUE(rec.msgs.empty());
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

TEST_F(Msgq, ApplicationHeaderModeFramesByTheApplicationsSize)
{
    Recorder &rec = recorder();
    msgq_params_t p = params();
    p.app_hdr = 1;
    p.app_hdr_len = 4;
    p.app_hdr_size_offset = 2;
    msgq_handle_t *srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &kCbs, &rec);
    ASSERT_NE(srv, nullptr);
    RawPeer peer;
    ASSERT_TRUE(peer.connect_to(path_of("zeld")));
    ASSERT_TRUE(pump_until([&] { return msgq_is_connected(srv); }));
    // Application header: two opaque bytes, then the big-endian whole-message size.
    ASSERT_TRUE(peer.send_bytes({0xAA, 0xBB, 0x00, 0x07, 'a', 'b', 'c'}));
    ASSERT_TRUE(pump_until([&] { return rec.msgs.size() == 1; }));
    EXPECT_EQ(rec.msgs[0], (std::vector<uint8_t>{'a', 'b', 'c'}));

    auto *msg = static_cast<uint8_t *>(msgq_alloc_msg(srv, 2));
    ASSERT_NE(msg, nullptr);
    const uint8_t hdr[4] = {1, 2, 0, 6};
    memcpy(msg - 4, hdr, sizeof hdr);
    msg[0] = 'x';
    msg[1] = 'y';
    ASSERT_EQ(msgq_write(srv, msg, 2), 0);
    std::vector<uint8_t> got;
    ASSERT_TRUE(pump_until([&] {
        auto more = peer.drain();
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 6;
    }));
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 0, 6, 'x', 'y'}));
}

TEST_F(Msgq, DumpListsEveryHandleWithItsCounters)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    const msgq_params_t p = params();
    msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec);
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    msgq_dump_all(out);
    fclose(out);
    std::string dump(text, size);
    free(text);
    EXPECT_NE(dump.find("\n   DUMPING MSGQs"), std::string::npos);
    const size_t reg = dump.find("\n In Reg. list"), unreg = dump.find("\n In Unreg. list");
    ASSERT_NE(reg, std::string::npos);
    ASSERT_NE(unreg, std::string::npos);
    const size_t server_at = dump.find("type: SERVER"), client_at = dump.find("type: CLIENT");
    EXPECT_TRUE(reg < server_at && server_at < unreg) << dump;
    EXPECT_GT(client_at, unreg) << dump;
    EXPECT_NE(dump.find("Src: zeld, Tgt: pxrd"), std::string::npos);
    EXPECT_NE(dump.find("\n    conn_up                        1         "), std::string::npos) << dump;
    EXPECT_NE(dump.find("rx_read_helper_scheduled"), std::string::npos);
}

using MsgqDeath = Msgq;

TEST_F(MsgqDeath, MissingReadCallbackIsFatal)
{
    const msgq_params_t p = params();
    msgq_cbs_t cbs = kCbs;
    cbs.read = nullptr;
    EXPECT_DEATH(msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &cbs, nullptr),
                 "msgq_util:[0-9]+: failed assertion `params_ok'");
}

TEST_F(MsgqDeath, DuplicateHandleIsFatal)
{
    const msgq_params_t p = params();
    Recorder &rec = recorder();
    msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec);
    EXPECT_DEATH(msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &p, &kCbs, &rec),
                 "msgq_util:[0-9]+: failed assertion `dup == nullptr'");
}

TEST_F(MsgqDeath, HeaderWithoutPayloadIsFatal)
{
    RawPeer peer;
    Recorder &rec = recorder();
    registered_server(peer, rec);
    ASSERT_TRUE(peer.send_bytes(frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, {})));
    EXPECT_DEATH(pump(50), "msgq_util:[0-9]+: failed assertion `size > hlen'");
}

}  // namespace
