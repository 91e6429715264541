// Randomised runs of the receive path and of the decoders and readers of outside input;
// bounded, seeded. The readers start from a small corpus in corpus/ and mutate it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cfgd/cfgd_util.h"
#include "common/qor_util.h"
#include "compiler/zel_fpinterp.h"
#include "daemon/zel_kro.h"
#include "msgq_fixture.h"
#include "platform/kro/kro_msg.h"
#include "policy/zel_tloc.h"
#include "test_dirs.h"
#include "tools/zelc/zelc_rules.h"

namespace
{

using msgq_test::frame;
using msgq_test::RawPeer;
using msgq_test::register_frame;

class Fuzz : public msgq_test::Loop
{
protected:
    void spin(int rounds)
    {
        for (int i = 0; i < rounds; i++)
            event_base_loop(base_, EVLOOP_NONBLOCK);
    }
    std::mt19937 rng_{20261205};
};

// Frames of random sizes cut at random points arrive whole and in order; a
// frame whose magic is broken ends the connection after everything before it.
TEST_F(Fuzz, ReceivePathReassemblesRandomSplits)
{
    msgq_test::Recorder sink;
    const msgq_params_t p = params();
    msgq_handle_t *srv = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &p, &msgq_test::kRecCbs, &sink);
    ASSERT_NE(srv, nullptr);
    for (int iter = 0; iter < 60; iter++) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect_to(path_of("zeld")));
        ASSERT_TRUE(peer.send_bytes(register_frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD)));
        ASSERT_TRUE(pump_until([&] { return msgq_is_connected(srv); }));
        sink.msgs.clear();
        const size_t downs = sink.count("down");

        std::vector<std::vector<uint8_t>> sent;
        std::vector<uint8_t> stream;
        const int nframes = 1 + static_cast<int>(rng_() % 20);
        const bool corrupt = rng_() % 3 == 0;
        const int bad = corrupt ? static_cast<int>(rng_() % nframes) : -1;
        for (int f = 0; f < nframes; f++) {
            std::vector<uint8_t> payload(1 + rng_() % (rng_() % 4 == 0 ? 20000 : 300));
            for (auto &b : payload)
                b = static_cast<uint8_t>(rng_());
            auto bytes = frame(QOR_DAEMON_ID_PXRD, QOR_DAEMON_ID_ZELD, MSGQ_TYPE_DATA, payload);
            if (f == bad)
                bytes[rng_() % 2 ? 0 : 7] ^= static_cast<uint8_t>(1 + rng_() % 255);
            else if (bad < 0 || f < bad)
                sent.push_back(payload);
            stream.insert(stream.end(), bytes.begin(), bytes.end());
        }
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, static_cast<size_t>(1 + rng_() % 700));
            if (!peer.send_bytes({stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n)}))
                break;  // zeld already closed a corrupt stream
            at += n;
            spin(2);
        }
        if (corrupt) {
            ASSERT_TRUE(pump_until([&] { return sink.count("down") == downs + 1; })) << "iteration " << iter;
        } else {
            ASSERT_TRUE(pump_until([&] { return sink.msgs.size() == sent.size(); })) << "iteration " << iter;
        }
        EXPECT_EQ(sink.msgs, sent) << "iteration " << iter;
        peer.close_fd();
        ASSERT_TRUE(pump_until([&] { return !msgq_is_connected(srv); }));
    }
    EXPECT_EQ(srv->stats.msg_allocs, srv->stats.msg_frees);
}

// ---- corpus-seeded readers ----------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> corpus(const char *name)
{
    std::vector<Bytes> seeds;
    const auto dir = std::filesystem::path(zel_test_source_dir()) / "tests/msgq/corpus" / name;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_FALSE(seeds.empty()) << dir;
    return seeds;
}

// A seed with a few mutations: byte flips, cuts, repeated or inserted runs, bytes from another seed.
Bytes mutate(const std::vector<Bytes> &seeds, std::mt19937 &rng)
{
    Bytes b = seeds[rng() % seeds.size()];
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; k--) {
        const size_t at = b.empty() ? 0 : rng() % b.size();
        switch (rng() % 5) {
        case 0:
            if (!b.empty())
                b[at] ^= static_cast<uint8_t>(1 + rng() % 255);
            break;
        case 1:
            b.resize(at);
            break;
        case 2:
            b.insert(b.begin() + static_cast<long>(at), static_cast<uint8_t>(rng()));
            break;
        case 3: {
            const size_t n = std::min<size_t>(b.size() - at, rng() % 16);
            Bytes run(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n));
            b.insert(b.begin() + static_cast<long>(at), run.begin(), run.end());
            break;
        }
        default: {
            const Bytes &o = seeds[rng() % seeds.size()];
            if (!o.empty() && !b.empty())
                b[at] = o[rng() % o.size()];
            break;
        }
        }
    }
    return b;
}

std::string text(const Bytes &b) { return {b.begin(), b.end()}; }

std::vector<uint8_t> encoded(std::mt19937 &rng, kro_msg_t *sent = nullptr)
{
    kro_msg_t m{};
    const uint32_t types[] = {KRO_MSG_REQUEST, KRO_MSG_TLOC_UPDATE, KRO_MSG_TLOC_WITHDRAW};
    m.type = types[rng() % 3];
    m.src = rng() % 200;
    if (m.type == KRO_MSG_REQUEST) {
        m.index = rng();
        m.body.req.subscribe = static_cast<uint8_t>(rng());
        m.body.req.resync = static_cast<uint8_t>(rng() % 2);
    } else {
        m.body.tloc.family = rng() % 4 ? AF_INET : rng();
        m.body.tloc.addr.v4 = rng();
        m.body.tloc.color = static_cast<uint8_t>(rng());
        m.body.tloc.encap = static_cast<uint8_t>(rng() % 3);
        m.body.tloc.state = rng() % 3;
        m.body.tloc.local = static_cast<uint8_t>(rng() % 2);
        m.body.tloc.tloc_index = rng();
        m.body.tloc.pref = rng();
        m.body.tloc.weight = rng();
    }
    std::vector<uint8_t> buf(KRO_MSG_LEN);
    uint32_t len = 0;
    EXPECT_EQ(kro_msg_encode(&m, buf.data(), buf.size(), &len), 0);
    buf.resize(len);
    if (sent)
        *sent = m;
    return buf;
}

// What was encoded decodes to the same message; whatever else decodes re-encodes to the same
// bytes; nothing reads past the payload.
TEST_F(Fuzz, KroDecodeAcceptsOnlyWhatItCanReencode)
{
    const auto seeds = corpus("kro");
    int decoded = 0;
    for (int i = 0; i < 200000; i++) {
        kro_msg_t sent;
        std::vector<uint8_t> in = encoded(rng_, &sent);
        switch (rng_() % 5) {
        case 3:
            in = mutate(seeds, rng_);
            break;
        case 0:  // a few random byte flips
            for (int k = 1 + static_cast<int>(rng_() % 3); k > 0; k--)
                in[rng_() % in.size()] ^= static_cast<uint8_t>(1 + rng_() % 255);
            break;
        case 1:  // cut short or grown
            in.resize(rng_() % (in.size() + 8));
            break;
        case 2:  // random bytes
            in.resize(rng_() % 64);
            for (auto &b : in)
                b = static_cast<uint8_t>(rng_());
            break;
        default: {
            kro_msg_t out;
            ASSERT_EQ(kro_msg_decode(&out, in.data(), in.size()), 0) << "iteration " << i;
            ASSERT_EQ(memcmp(&out, &sent, sizeof out), 0) << "iteration " << i;
            break;
        }
        }
        kro_msg_t out;
        if (kro_msg_decode(&out, in.data(), in.size()) != 0)
            continue;
        decoded++;
        if (out.type != KRO_MSG_REQUEST && out.type != KRO_MSG_TLOC_UPDATE && out.type != KRO_MSG_TLOC_WITHDRAW)
            continue;
        std::vector<uint8_t> again(KRO_MSG_LEN);
        uint32_t len = 0;
        ASSERT_EQ(kro_msg_encode(&out, again.data(), again.size(), &len), 0);
        again.resize(len);
        ASSERT_EQ(again, in) << "iteration " << i;
    }
    EXPECT_GT(decoded, 0);
}

// zeld's KRO read path takes any payload: the table stays consistent and every
// buffer is freed.
TEST_F(Fuzz, KroReadPathTakesAnyPayload)
{
    zel_ctx ctx{};
    ctx.base = base_;
    ctx.tmr_mgr = tmr_;
    ASSERT_EQ(zel_kro_init(&ctx), 0);
    msgq_handle_t *h = ctx.links.kro;
    for (int i = 0; i < 20000; i++) {
        std::vector<uint8_t> in = encoded(rng_);
        if (rng_() % 4 == 0)
            in[rng_() % in.size()] ^= static_cast<uint8_t>(1 + rng_() % 255);
        void *payload = msgq_alloc_msg(h, static_cast<uint32_t>(in.size()));
        ASSERT_NE(payload, nullptr);
        memcpy(payload, in.data(), in.size());
        zel_kro_read(h, payload, static_cast<uint32_t>(in.size()), &ctx);
    }
    EXPECT_EQ(h->stats.msg_allocs, h->stats.msg_frees);
    tloc_key_t prev{};
    bool first = true;
    for (auto *p = static_cast<zel_kro_peer *>(avl_first(&ctx.kro_peers)); p;
         p = static_cast<zel_kro_peer *>(AVL_NEXT(&ctx.kro_peers, p))) {
        EXPECT_EQ(p->key.addr.family, static_cast<uint32_t>(AF_INET));
        EXPECT_TRUE(first || tloc_key_cmp(&prev, &p->key) < 0);
        prev = p->key;
        first = false;
    }
    zel_kro_deinit(&ctx);
}

TEST_F(Fuzz, PrefixTextConversions)
{
    const auto seeds = corpus("prefix");
    for (int i = 0; i < 20000; i++) {
        const std::string in = text(mutate(seeds, rng_));
        ip_prefix_t p{};
        if (cfgd_parse_ipv4_prefix(in.c_str(), &p) == 0) {
            ASSERT_LE(p.len, 32) << in;
        }
        if (cfgd_parse_ipv6_prefix(in.c_str(), &p) == 0) {
            ASSERT_LE(p.len, 128) << in;
        }
        cfgd_parse_ip_prefix(in.c_str(), &p);
        char buf[64];
        cfgd_format_addr_port(&p.addr, static_cast<uint16_t>(rng_()), buf, sizeof buf);
    }
}

TEST_F(Fuzz, RuleAndTraceReaders)
{
    const auto classbench = corpus("classbench"), native = corpus("native"), trace = corpus("trace");
    for (int i = 0; i < 20000; i++) {
        zelc_ruleset rs;
        std::string err;
        const int rc = zelc_read_rules_text(text(mutate(classbench, rng_)), "cb", zelc_format::classbench, &rs, &err);
        ASSERT_TRUE(rc == 0 || !err.empty());
        zelc_ruleset rs2;
        const int rc2 = zelc_read_rules_text(text(mutate(native, rng_)), "native", zelc_format::native, &rs2, &err);
        ASSERT_TRUE(rc2 == 0 || !err.empty());
        std::vector<zelc_packet> pkts;
        zelc_read_trace_text(text(mutate(trace, rng_)), "trace", &pkts, &err);
    }
}

// The reader of program images checks everything once; what it accepts runs without faults.
TEST_F(Fuzz, ImageReaderOfMutatedImages)
{
    const auto seeds = corpus("image");
    int loaded = 0;
    for (int i = 0; i < 20000; i++) {
        const Bytes in = mutate(seeds, rng_);
        zel_fp_program prog;
        if (prog.load(in) != 0) {
            ASSERT_FALSE(prog.error().empty());
            continue;
        }
        loaded++;
        for (int k = 0; k < 8; k++) {
            uint32_t values[ZEL_FP_FIELDS];
            for (auto &v : values)
                v = rng_() % 3 ? rng_() % 70000 : rng_();
            values[0] = 0;
            uint32_t action = 0;
            if (prog.run(values, &action) == 0) {
                ASSERT_LT(action, prog.action_count());
            }
        }
    }
    EXPECT_GT(loaded, 0);
}

}  // namespace
