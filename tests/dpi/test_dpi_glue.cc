// The inspection glue on a scripted engine: start-up and its failures, the family
// table, names, the switches and the state word, the root policy point and the commands' output.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "dpi/zel_dpi_internal.h"
#include "yang/zel_yang_hashes.h"

namespace
{

// An engine whose catalogue and failures the test sets.
struct script {
    std::vector<zel_dpi_proto> protos;
    int init_rc = 0, enable_rc = 0, walk_rc = 0;
    int lookups = 0;
    void (*handler)(int) = nullptr;
};
script g_script;

class scripted_engine : public zel_dpi_engine
{
public:
    bool set_exception_handler(void (*h)(int)) override { return (g_script.handler = h) != nullptr; }
    const char *exception_text(int code) const override { return code == 7 ? "flow table full" : "?"; }
    int init(const zel_dpi_params &p) override { return p.catalogue_only ? g_script.init_rc : -99; }
    int enable_all() override { return g_script.enable_rc; }
    int walk(const std::function<void(const zel_dpi_proto &)> &fn) const override
    {
        if (g_script.walk_rc < 0)
            return g_script.walk_rc;
        for (const zel_dpi_proto &p : g_script.protos)
            fn(p);
        return 0;
    }
    const char *error_text(int code) const override { return code == -5 ? "licence expired" : "other failure"; }
    uint32_t id_of(std::string_view name) const override
    {
        g_script.lookups++;
        for (const zel_dpi_proto &p : g_script.protos)
            if (p.name == name)
                return p.id;
        return 0;
    }
    std::optional<zel_dpi_proto> proto(uint32_t id) const override
    {
        for (const zel_dpi_proto &p : g_script.protos)
            if (p.id == id)
                return zel_dpi_proto{p.id, p.name, p.long_name, "Engine"};
        return std::nullopt;
    }
    const char *version() const override { return "9.9-test"; }
    void shutdown() override {}
};

std::unique_ptr<zel_dpi_engine> make_scripted() { return std::make_unique<scripted_engine>(); }

class Glue : public testing::Test
{
protected:
    void SetUp() override
    {
        g_script = {};
        g_script.protos = {{2, "Alpha", "Alpha Protocol", "Web"},
                           {3, "Beta", "Beta Protocol", "Peer to Peer"},
                           {7, "Gamma", "Gamma Protocol", "Xylophone"}};
        zctx = {};
        map.fill(0);
        hits.fill(0);
        state = 0;
        log_cfg = {};
        zel_dpi_tables t{map, hits, &state, &log_cfg};
        zel_dpi_use_tables(&t);
        zel_dpi_set_engine_factory(make_scripted);
        zel_debug_flags = ZEL_DEBUG_STDOUT | ZEL_DEBUG_DPI;
    }
    void TearDown() override
    {
        zel_dpi_destroy(ctx);
        zel_dpi_use_tables(nullptr);
        zel_dpi_set_engine_factory(nullptr);
        zel_debug_flags = 0;
    }

    int init_quiet(std::string *log)
    {
        testing::internal::CaptureStdout();
        const int rc = zel_dpi_init(ctx);
        *log = testing::internal::GetCapturedStdout();
        return rc;
    }

    template <typename Fn>
    std::string output(Fn &&fn)
    {
        std::string text;
        const zel_out_sink sink{
            [](void *arg, const char *s, size_t n) { static_cast<std::string *>(arg)->append(s, n); }, &text};
        fn(&sink);
        return text;
    }

    zel_ctx zctx{};  // no pxrd link: the off message finds no buffer
    zel_ctx *ctx = &zctx;
    std::array<uint32_t, 16> map{}, hits{};
    uint32_t state = 0;
    fp_filter_log_cfg log_cfg{};
};

TEST_F(Glue, StartFillsTheFamilyTableAndNamesResolveThroughTheEngine)
{
    std::string log;
    ASSERT_EQ(init_quiet(&log), 0) << log;
    EXPECT_NE(log.find("Initializing DPI..."), std::string::npos) << log;
    EXPECT_NE(log.find("Error when getting the family for protocol [7] Gamma - Xylophone"), std::string::npos) << log;
    EXPECT_NE(log.find("DPI Initialization done! Version: 9.9-test"), std::string::npos) << log;
    EXPECT_EQ(map[0], 7u) << "the highest identifier";
    EXPECT_EQ(map[2], 30u);
    EXPECT_EQ(map[3], 20u);
    EXPECT_EQ(map[7], 0u);
    EXPECT_EQ(hits[0], 7u);
    EXPECT_STREQ(zel_dpi_current_switches().version, "9.9-test");

    // Names resolve through the engine, but "unclassified" never asks it.
    g_script.lookups = 0;
    EXPECT_EQ(zel_dpi_app_id("unclassified"), 1u);
    EXPECT_EQ(g_script.lookups, 0);
    EXPECT_EQ(zel_dpi_app_id("Beta"), 3u);
    EXPECT_EQ(zel_dpi_app_id("unclassifiedx"), 0u) << "compared over the whole word";
    EXPECT_STREQ(zel_dpi_app_name(1), "unclassified");
    EXPECT_STREQ(zel_dpi_app_name(3), "Beta");
    EXPECT_EQ(zel_dpi_app_name(5), nullptr);

    ASSERT_NE(g_script.handler, nullptr);
    testing::internal::CaptureStdout();
    g_script.handler(7);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error: DPI ixEngine exception: flow table full"),
              std::string::npos);
}

TEST_F(Glue, AFailedStartIsLoggedWithTheEnginesTextAndLeavesNoEngine)
{
    struct step {
        int script::*rc;
        const char *line;
        int want;
    };
    for (const step &s : {step{&script::init_rc, "Error: Could not initialize DPI engine: err: licence expired", -5},
                          step{&script::enable_rc,
                               "Error: Could not enable all available protocols: err: licence "
                               "expired",
                               -5},
                          step{&script::walk_rc, "Error: Could not register for protocol families; err: -1", -1}}) {
        SetUp();
        g_script.*s.rc = -5;
        std::string log;
        EXPECT_EQ(init_quiet(&log), s.want) << s.line;
        EXPECT_NE(log.find(s.line), std::string::npos) << log;
        EXPECT_EQ(zel_dpi_engine_running(), nullptr);
        EXPECT_EQ(zel_dpi_app_id("Alpha"), 0u);
        EXPECT_EQ(zel_dpi_app_id("unclassified"), 1u);
        EXPECT_EQ(map[0], 0u);
        EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_family_mapping(o); }),
                  "Dumping protocol to family mapping: 0 entries\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_protocol_list(o); }), "");
        EXPECT_NE(testing::internal::GetCapturedStdout().find("Error when getting the protocol list - the engine did "
                                                              "not start"),
                  std::string::npos);
    }
}

TEST_F(Glue, RootPolicyPointSetsTheSwitchesAndTheLogFrequency)
{
    cfgd_context cfgd{};
    cfgd.params.app_ctx = ctx;
    cfgd_sub_point point{};
    point.context = &cfgd;
    auto call = [&](std::vector<confd_tag_value_t> v, cdb_iter_op op = MOP_MODIFIED) {
        return zel_dpi_config_policy_root(&point, op, 0, nullptr, static_cast<uint16_t>(v.size()), v.data());
    };
    // A boolean, a 32-bit integer or an absent leaf.
    auto tv = [](uint32_t tag, int type, int32_t n = 0) {
        confd_tag_value_t t{};
        if (type == C_BOOL)
            CONFD_SET_TAG_BOOL(&t, tag, n != 0);
        else if (type == C_INT32)
            CONFD_SET_TAG_INT32(&t, tag, n);
        else
            CONFD_SET_TAG_NOEXISTS(&t, tag);
        return t;
    };
    auto boolean = [&](uint32_t tag, bool on) { return tv(tag, C_BOOL, on); };
    auto i32 = [&](uint32_t tag, int32_t n) { return tv(tag, C_INT32, n); };
    auto absent = [&](uint32_t tag) { return tv(tag, C_NOEXISTS); };
    ASSERT_EQ(call({boolean(zel_tag_policy_app_visibility, true), boolean(zel_tag_policy_flow_visibility, true),
                    i32(zel_tag_policy_log_frequency, 1000)},
                   MOP_CREATED),
              0);
    EXPECT_EQ(zctx.dpi_refs, 1u);
    EXPECT_EQ(zctx.flow_refs, 1u);
    EXPECT_EQ(log_cfg.words[0], 512u);
    EXPECT_TRUE(zel_dpi_current_switches().app_visibility);
    EXPECT_TRUE(zel_dpi_current_switches().flow_visibility);

    // Only what the call carries changes; a leaf inside a container is not a root leaf.
    confd_tag_value_t begin{}, end{};
    CONFD_SET_TAG_XMLBEGIN(&begin, 0x1234, zel_ns_policy);
    CONFD_SET_TAG_XMLEND(&end, 0x1234, zel_ns_policy);
    ASSERT_EQ(
        call({begin, boolean(zel_tag_policy_app_visibility, false), end, i32(zel_tag_policy_log_frequency, 1024)}), 0);
    EXPECT_EQ(zctx.dpi_refs, 1u);
    EXPECT_EQ(log_cfg.words[0], 1024u);
    ASSERT_EQ(call({absent(zel_tag_policy_app_visibility), absent(zel_tag_policy_log_frequency)}), 0);
    EXPECT_EQ(zctx.dpi_refs, 0u) << "absent is off";
    EXPECT_EQ(zctx.flow_refs, 1u);
    EXPECT_EQ(log_cfg.words[0], 512u) << "absent is 1000";
    ASSERT_EQ(call({i32(zel_tag_policy_log_frequency, 0)}), 0);
    EXPECT_EQ(log_cfg.words[0], 0u);
    ASSERT_EQ(call({boolean(zel_tag_policy_flow_visibility, false)}, MOP_VALUE_SET), 0);
    EXPECT_EQ(zctx.flow_refs, 1u) << "other operations are ignored";
}

TEST_F(Glue, CommandsPrintTheSpecifiedLines)
{
    std::string log;
    ASSERT_EQ(init_quiet(&log), 0);
    EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_protocol_list(o); }),
              "[2] App: Alpha Family: Web\n[3] App: Beta Family: Peer to Peer\n[7] App: Gamma Family: Xylophone\n");
    EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_family_mapping(o); }),
              "Dumping protocol to family mapping: 7 entries\n"
              "Protocol: [2] Alpha (Alpha Protocol) Family: [30] [30] Local: Web Qosmos: Engine\n"
              "Protocol: [3] Beta (Beta Protocol) Family: [20] [20] Local: Peer to Peer Qosmos: Engine\n");

    hits[1] = 4;
    hits[2] = 2;
    hits[7] = 1;
    EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_hits(o); }),
              "Dumping protocol hits: 7 entries\n"
              "Protocol: [1] unclassified (unclassified) Hits: 4\n"
              "Protocol: [2] Alpha (Alpha Protocol) Hits: 2\n"
              "    Family: [30] [30] Local: Web Qosmos: Engine\n"
              "Protocol: [7] Gamma (Gamma Protocol) Hits: 1\n");
    ASSERT_EQ(zel_dpi_clear_hits(), 0);
    EXPECT_EQ(hits[0], 7u) << "clearing keeps the entry count";
    EXPECT_EQ(hits[1] + hits[2] + hits[7], 0u);

    zel_dpi_set_app_visibility(ctx, true);
    zel_dpi_sync_state(ctx);
    EXPECT_EQ(output([&](const zel_out_sink *o) { return zel_dpi_show_configuration(ctx, o); }),
              "Protocol bundle Version   : 9.9-test\n"
              "App Visibility            : 1\n"
              "Policy DPI Reference      : 1\n"
              "DPI state (Control)       : 1\n"
              "DPI state                 : 1\n");
    EXPECT_EQ(output([](const zel_out_sink *o) { return zel_dpi_show_configuration(nullptr, o); }),
              "DPI state                 : 1\n");
}

}  // namespace
