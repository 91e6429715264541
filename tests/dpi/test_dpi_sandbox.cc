// The daemon's start-up run in this process inside the sandbox, with cdb-sim, fp-sim and pxrd-sim:
// the inspection switch from the configuration database, the DPI state word and pxrd's message,
// the inspection commands through cdb-cli, an application policy classifying a generated capture
// in fp-sim with hits counted and cleared, unknown application names refused at commit, and a
// daemon that runs on when the engine does not start.
#include <ndpi/ndpi_protocol_ids.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "cfgd_harness.h"
#include "daemon/zel.h"
#include "daemon/zel_confd.h"
#include "dataplane/fp_common.h"
#include "dpi/zel_dpi_internal.h"
#include "dpi/zel_dpi_ndpi.h"
#include "fp_sim_harness.h"
#include "loop_harness.h"
#include "policy/zel_config.h"
#include "sandbox.h"

namespace
{

using namespace std::chrono_literals;
constexpr uint32_t DATA = ZEL_POLICY_TYPE_DATA;
const uint32_t kYouTube = zel_ndpi_app_id(NDPI_PROTOCOL_YOUTUBE);
const uint32_t kHighest = zel_ndpi_app_id(NDPI_MAX_SUPPORTED_PROTOCOLS - 1);

// A capture of the usual mix, made here: TCP flows (SYN, SYN-ACK, ACK, then the client's payload,
// on which nDPI decides) of HTTP requests to youtube, netflix and another server, a DNS query over
// UDP and a BitTorrent handshake; raw IPv4 packets 1 ms apart.
class Capture
{
public:
    explicit Capture(const std::string &path)
    {
        uint16_t port = 40001;
        for (const char *host : {"www.youtube.com", "www.netflix.com", "www.example.com"})
            tcp(port++, 80, text(std::string("GET / HTTP/1.1\r\nHost: ") + host + "\r\nAccept: */*\r\n\r\n"));
        Bytes dns{0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};  // one recursive question: www.example.com, A, IN
        append(dns, text("\3www\7example\3com"));
        append(dns, {0, 0, 1, 0, 1});
        Bytes udp;
        put(udp, {40004, 53, 8 + dns.size(), 0}, 2);
        append(udp, dns);
        frame(true, 17, udp);
        // The handshake: reserved bits, info hash, peer id.
        tcp(40005, 6881,
            text("\23BitTorrent protocol" + std::string(8, '\0') + std::string(20, '\xA5') + "-ZL0001-abcdefghijkl"));
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(pcap_.data()), static_cast<std::streamsize>(pcap_.size()));
        ok = out.good();
    }
    bool ok = false;

private:
    using Bytes = std::vector<uint8_t>;
    static void append(Bytes &b, const Bytes &more) { b.insert(b.end(), more.begin(), more.end()); }
    static Bytes text(const std::string &s) { return {s.begin(), s.end()}; }
    // Fields of `width` bytes, in network order unless `little`.
    static void put(Bytes &b, std::initializer_list<size_t> vs, int width, bool little = false)
    {
        for (size_t v : vs)
            for (int i = 0; i < width; i++)
                b.push_back(static_cast<uint8_t>(v >> (8 * (little ? i : width - 1 - i))));
    }
    void tcp(uint16_t cport, uint16_t sport, const Bytes &payload)
    {
        const struct {
            bool client;
            size_t seq, ack, flags;
        } segs[] = {
            {true, 1000, 0, 0x02}, {false, 5000, 1001, 0x12}, {true, 1001, 5001, 0x10}, {true, 1001, 5001, 0x18}};
        for (const auto &s : segs) {
            Bytes t;
            put(t, {s.client ? cport : sport, s.client ? sport : cport}, 2);
            put(t, {s.seq, s.ack}, 4);
            put(t, {0x5000 | s.flags, 0xFFFF, 0, 0}, 2);
            if (&s == &segs[3])
                append(t, payload);
            frame(s.client, 6, t);
        }
    }
    // Raw IPv4 around a transport segment.
    void frame(bool from_client, uint8_t proto, const Bytes &l4)
    {
        Bytes ip;
        put(ip, {0x4500, 20 + l4.size(), 0, 0x4000, 0x4000u | proto, 0}, 2);
        const Bytes client{10, 1, 0, 1}, server{10, 2, 0, 1};
        append(ip, from_client ? client : server);
        append(ip, from_client ? server : client);
        append(ip, l4);
        if (pcap_.empty())  // the file header: version 2.4, snapshot length 65535, raw IP
            put(pcap_, {0xA1B2C3D4, 0x00040002, 0, 0, 65535, 101}, 4, true);
        put(pcap_, {1700000000 + ms_ / 1000, ms_ % 1000 * 1000, ip.size(), ip.size()}, 4, true);
        append(pcap_, ip);
        ms_++;
    }
    Bytes pcap_;
    size_t ms_ = 0;
};

class broken_engine : public zel_dpi_engine
{
public:
    int init(const zel_dpi_params &) override { return -1; }
    int enable_all() override { return 0; }
    int walk(const std::function<void(const zel_dpi_proto &)> &) const override { return 0; }
    const char *error_text(int) const override { return "engine initialisation failed"; }
    uint32_t id_of(std::string_view) const override { return 0; }
    std::optional<zel_dpi_proto> proto(uint32_t) const override { return std::nullopt; }
    const char *version() const override { return ""; }
    void shutdown() override {}
};

class DpiSandbox : public e2e::SandboxTest
{
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(e2e::use_sim_size("small"), "");
        char dir[] = "/run/cdb-dpi-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        unsetenv("CONFD_IPC_PORT");
        fp = e2e::start_fp_sim();
        pxrd = e2e::Process::start({e2e::binary("pxrd-sim")});
        cdb = e2e::Process::start({e2e::binary("cdb-sim"), "--state-dir", dir, "--phase", "2"});
        ASSERT_TRUE(fp && pxrd && cdb);
        ASSERT_TRUE(cdb->wait_stdout_regex(std::regex(":4565")));
        // The daemons that read their configuration before zeld are done.
        ASSERT_TRUE(CdbSim().set_prio_mask(0x7));
        ASSERT_EQ(zel_init(ctx), 0) << syslog().dump();
        started = true;
        ASSERT_TRUE(pump_until([&] { return pxrd->wait_stdout_line("\"up\"", 0ms).has_value(); }));
        ASSERT_TRUE(pump_until([&] { return ctx->cfg.cfgd != nullptr && ctx->cfg.cfgd->initial_read_done == 1; }))
            << syslog().dump();
    }
    void TearDown() override
    {
        if (started)
            zel_deinit(ctx);
        zel_dpi_set_engine_factory(nullptr);
        shm_unlink(FP_SHMEM_NAME);
    }

    bool pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = e2e::kWait)
    {
        return e2e::run_loop_until(ctx->base, pred, timeout);
    }

    // Runs a tool while the daemon's loop serves it; its stdout and stderr.
    std::string run(const std::vector<std::string> &argv, int want = 0)
    {
        auto p = e2e::Process::start(argv, {.pipe_stdin = false});
        if (!p) {
            ADD_FAILURE() << "cannot start " << argv[0];
            return {};
        }
        std::optional<int> st;
        pump_until([&] { return (st = p->wait_exit(0ms)).has_value(); }, 60s);
        EXPECT_EQ(e2e::exit_code(st), want) << argv[1] << ": " << p->stdout_text() << p->stderr_text();
        return p->stdout_text() + p->stderr_text();
    }
    std::string cli(const std::vector<std::string> &args, int want = 0)
    {
        std::vector<std::string> argv{e2e::binary("cdb-cli")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, want);
    }
    std::string load(const std::string &json, int want = 0)
    {
        const std::string file = "/run/dpi-config.json";
        EXPECT_TRUE(e2e::write_file(file, json));
        return cli({"load", file}, want);
    }

    uint32_t state_word()
    {
        return std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(fp_table(FP_TBL_DPI_APP_VISIBILITY))).load();
    }

    zel_ctx *ctx = &g_zel_ctx;
    bool started = false;
    std::unique_ptr<e2e::Process> fp, pxrd, cdb;
};

TEST_F(DpiSandbox, AppVisibilityDrivesTheStateWordAndTellsPxrdWhenInspectionEnds)
{
    ASSERT_EQ(state_word(), 0u);
    const std::string on = R"({"ardenta-policy:policy": {"app-visibility": true}})";
    load(on);
    ASSERT_TRUE(pump_until([&] { return state_word() == 1; })) << syslog().dump();
    load(R"({"ardenta-policy:policy": {"app-visibility": true, "log-frequency": 100}})");
    pump_until([] { return false; }, 200ms);
    EXPECT_EQ(ctx->dpi_refs, 1u) << "on twice counts once";
    EXPECT_EQ(state_word(), 1u);
    EXPECT_EQ(static_cast<fp_filter_log_cfg *>(fp_table(FP_TBL_FILTER_LOG_CFG))->words[0], 64u);

    EXPECT_NE(cli({"request", "zel_dpi_dump_configuration"}).find("Policy DPI Reference      : 1\n"),
              std::string::npos);

    size_t cur = 0;
    load(R"({"ardenta-policy:policy": {"app-visibility": false}})");
    ASSERT_TRUE(pump_until([&] { return state_word() == 0; }));
    ASSERT_TRUE(pump_until([&] {
        return pxrd->wait_stdout_regex(std::regex(R"("event": ?"dpi")"), 0ms, &cur).has_value();
    })) << pxrd->stdout_text();
    load(R"({"ardenta-policy:policy": {"app-visibility": false, "log-frequency": 8}})");
    pump_until([] { return false; }, 300ms);
    EXPECT_FALSE(pxrd->wait_stdout_regex(std::regex(R"("event": ?"dpi")"), 0ms, &cur)) << "one message per fall to 0";
    EXPECT_EQ(pxrd->stdout_text().find("undecodable"), std::string::npos) << pxrd->stdout_text();
}

TEST_F(DpiSandbox, AnApplicationPolicyClassifiesACaptureAndCountsHits)
{
    ASSERT_EQ(zel_config_vpn_list_add(ctx, "V"), 0);
    ASSERT_EQ(zel_config_vpn_range_add(ctx, "V", 10, 10), 0);
    ASSERT_EQ(zel_config_policy_add(ctx, DATA, "P"), 0);
    ASSERT_EQ(zel_config_policy_vpn_list_add(ctx, DATA, "P", "V", ZEL_ACT_ACCEPT, nullptr), 0);
    struct list {
        const char *name;
        uint32_t kind;
        const char *entry;
        uint32_t seq;
    };
    for (const list &l : {list{"video", ZEL_APP_LIST_KIND_APPS, "YouTube", 10},
                          list{"p2p", ZEL_APP_LIST_KIND_FAMILIES, "peer_to_peer", 20},
                          list{"unknown", ZEL_APP_LIST_KIND_APPS, "unclassified", 30}}) {
        ASSERT_EQ(zel_config_app_list_add(ctx, l.name, ZEL_LIST_SOURCE_CONTROLLER), 0);
        ASSERT_EQ(zel_config_app_list_entry_add(ctx, l.name, ZEL_LIST_SOURCE_CONTROLLER, l.kind, l.entry), 0)
            << l.entry;
        zel_sequence *s;
        ASSERT_EQ(zel_config_rule_add(ctx, DATA, "P", "V", l.seq, &s), 0);
        zel_match_value v{};
        v.name = l.name;
        ASSERT_EQ(zel_config_match_add(ctx, ZEL_MATCH_APP_LIST, &v, s), 0);
        zel_action_value a{};
        snprintf(a.name, sizeof a.name, "%s", l.name);
        ASSERT_EQ(zel_config_action_add(ctx, DATA, "P", "V", l.seq, ZEL_ACT_COUNT, ZEL_ACT_COUNT, &a), 0);
        ASSERT_EQ(zel_config_action_add(ctx, DATA, "P", "V", l.seq, ZEL_ACT_ACCEPT, 0, nullptr), 0);
    }
    ASSERT_EQ(
        zel_config_app_list_entry_add(ctx, "video", ZEL_LIST_SOURCE_CONTROLLER, ZEL_APP_LIST_KIND_APPS, "netflix"), 0);
    zel_commit_done(ctx);
    zel_policy_vpn_list *pvl = nullptr;
    ASSERT_EQ(zel_config_policy_vpn_list_find(ctx, DATA, "P", "V", &pvl), 0);
    ASSERT_NE(pvl->program, nullptr) << syslog().dump();
    EXPECT_EQ(state_word(), 3u) << "one inspection user per application-list reference";

    const std::string capture = "/run/dpi-mixed.pcap";
    ASSERT_TRUE(Capture(capture).ok);
    const std::string out = run({e2e::binary("fp-sim"), "run", "--filter", std::to_string(pvl->filter_index), capture});
    // The handshake packets come before nDPI decides: unclassified.
    const std::string u = "unknown unclassified";
    const std::vector<std::string> want{u, u, u,        "video YouTube", u, u, u, "video NetFlix", u,
                                        u, u, "- HTTP", "- DNS",         u, u, u, "p2p BitTorrent"};
    static const std::regex row(R"(^packet (\d+): action \d+( default accept| accept count (\S+)) app (\S+)$)");
    std::vector<std::string> got;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (std::regex_match(l, m, row))
            got.push_back((m[3].matched ? m[3].str() : "-") + " " + m[4].str());
    }
    EXPECT_EQ(got, want) << out;
    uint64_t packets = 0, bytes = 0;
    zel_counter_totals(pvl->program, "video", &packets, &bytes);
    EXPECT_EQ(packets, 2u);
    zel_counter_totals(pvl->program, "p2p", &packets, &bytes);
    EXPECT_EQ(packets, 1u);

    const std::string hits = cli({"request", "zel_dpi_dump_protocol_hits"});
    EXPECT_TRUE(hits.starts_with("Dumping protocol hits: " + std::to_string(kHighest) + " entries\n")) << hits;
    EXPECT_NE(hits.find("Protocol: [1] unclassified (unclassified) Hits: 12\n"), std::string::npos) << hits;
    EXPECT_NE(hits.find("Protocol: [" + std::to_string(kYouTube) +
                        "] YouTube (YouTube) Hits: 1\n    Family: [3] [3] Local: Audio/Video Qosmos: Media\n"),
              std::string::npos)
        << hits;

    EXPECT_EQ(cli({"request", "zel_dpi_clear_protocol_hits"}), "");
    EXPECT_EQ(cli({"request", "zel_dpi_dump_protocol_hits"}),
              "Dumping protocol hits: " + std::to_string(kHighest) + " entries\n");
    unlink(capture.c_str());
}

TEST_F(DpiSandbox, AnUnknownApplicationIsRefusedAtCommitAndNothingChanges)
{
    load(R"({"ardenta-policy:policy": {"lists": {"app-list": [{"name": "video", "app": [{"name": "youtube"}]}]}}})");
    const std::string before = cli({"show-config"});
    ASSERT_NE(before.find("youtube"), std::string::npos) << before;
    // The message is the generated module's, checked with it.
    load(R"({"ardenta-policy:policy": {"lists": {"app-list": [{"name": "video",
        "app": [{"name": "YOUTUBE"}, {"name": "youtubex"}]}]}}})",
         1);
    EXPECT_EQ(cli({"show-config"}), before);
}

class DpiSandboxBrokenEngine : public DpiSandbox
{
protected:
    void SetUp() override
    {
        zel_dpi_set_engine_factory(
            []() -> std::unique_ptr<zel_dpi_engine> { return std::make_unique<broken_engine>(); });
        DpiSandbox::SetUp();
    }
};

TEST_F(DpiSandboxBrokenEngine, TheDaemonRunsOnWithoutTheEngine)
{
    const std::string log = syslog().dump();
    EXPECT_NE(log.find("Inline DPI initialization failed: -1"), std::string::npos) << log;
    EXPECT_NE(log.find("Initialization - Stage 2 complete"), std::string::npos) << log;
    EXPECT_EQ(zel_dpi_app_id("youtube"), 0u);
    // Configuration still flows: the switch is counted and the state word follows.
    load(R"({"ardenta-policy:policy": {"app-visibility": true}})");
    EXPECT_TRUE(pump_until([&] { return state_word() == 1; }));
}

}  // namespace
