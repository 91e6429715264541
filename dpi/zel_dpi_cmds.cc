// The operator's inspection commands: the catalogue, the family table, the hit counts and the
// inspection state, printed to the requesting CLI session; and the clearing of the hit counts.
#include <atomic>
#include <cstring>
#include <thread>

#include "common/zel_log.h"
#include "dpi/zel_dpi_internal.h"
#include "platform/cdb/confd_maapi.h"

namespace
{

int view(std::string_view s) { return static_cast<int>(s.size()); }

uint32_t count_of(std::span<uint32_t> table)
{
    return table.empty() ? 0 : std::atomic_ref<uint32_t>(table[0]).load(std::memory_order_acquire);
}

// "Family: [3] [3] Local: Audio/Video Qosmos: Media": the table's family and the engine's own text.
void print_family(const zel_out_sink *out, const char *prefix, uint32_t family, const zel_dpi_proto &p)
{
    const char *local = zel_dpi_family_engine_name(family);
    zel_out_printf(out, "%sFamily: [%d] [%d] Local: %s Qosmos: %.*s\n", prefix, static_cast<int>(family),
                   static_cast<int>(family), local != nullptr ? local : "", view(p.family), p.family.data());
}

// The CLI session of a command: its output goes through the configuration database's session.
struct cli_session {
    int sock;
    int usid;
};

void cli_write(void *arg, const char *text, size_t len)
{
    auto *s = static_cast<const cli_session *>(arg);
    maapi_cli_printf(s->sock, s->usid, "%.*s", static_cast<int>(len), text);
}

cfgd_context *cfgd_of(const confd_user_info *uinfo)
{
    return uinfo != nullptr && uinfo->dx != nullptr ? static_cast<cfgd_context *>(uinfo->dx->d_opaque) : nullptr;
}

template <typename Fn>
int with_session(confd_user_info *uinfo, Fn &&fn)
{
    cfgd_context *cfgd = cfgd_of(uinfo);
    if (cfgd == nullptr)
        return -1;
    cli_session s{cfgd->maapi_sock, uinfo->usid};
    const zel_out_sink out{cli_write, &s};
    return fn(static_cast<zel_ctx *>(cfgd->params.app_ctx), &out);
}

}  // namespace

int zel_dpi_show_protocol_list(const zel_out_sink *out)
{
    const zel_dpi_engine *engine = zel_dpi_engine_running();
    const int rc = engine != nullptr ? engine->walk([&](const zel_dpi_proto &p) {
        zel_out_printf(out, "[%d] App: %.*s Family: %.*s\n", static_cast<int>(p.id), view(p.name), p.name.data(),
                       view(p.family), p.family.data());
    })
                                     : -1;
    if (rc < 0) {
        ZEL_LOG("Error when getting the protocol list - %s\n",
                engine != nullptr ? engine->error_text(rc) : "the engine did not start");
        return -1;
    }
    return 0;
}

int zel_dpi_show_family_mapping(const zel_out_sink *out)
{
    const std::span<uint32_t> map = zel_dpi_current_tables().family_map;
    const uint32_t n = map.empty() ? 0 : map[0];
    zel_out_printf(out, "Dumping protocol to family mapping: %d entries\n", static_cast<int>(n));
    const zel_dpi_engine *engine = zel_dpi_engine_running();
    for (uint32_t i = 1; i <= n && i < map.size() && engine != nullptr; i++) {
        const std::optional<zel_dpi_proto> p = map[i] != 0 ? engine->proto(i) : std::nullopt;
        if (!p)
            continue;
        zel_out_printf(out, "Protocol: [%d] %.*s (%.*s) ", static_cast<int>(i), view(p->name), p->name.data(),
                       view(p->long_name), p->long_name.data());
        print_family(out, "", map[i], *p);
    }
    return 0;
}

int zel_dpi_show_hits(const zel_out_sink *out)
{
    const zel_dpi_tables t = zel_dpi_current_tables();
    const uint32_t n = count_of(t.hits);
    zel_out_printf(out, "Dumping protocol hits: %d entries\n", static_cast<int>(n));
    const zel_dpi_engine *engine = zel_dpi_engine_running();
    for (uint32_t i = 1; i <= n && i < t.hits.size(); i++) {
        const uint32_t hits = std::atomic_ref<uint32_t>(t.hits[i]).load(std::memory_order_relaxed);
        if (hits == 0)
            continue;
        if (i == 1) {
            zel_out_printf(out, "Protocol: [%d] unclassified (unclassified) Hits: %u\n", 1, hits);
            continue;
        }
        const std::optional<zel_dpi_proto> p = engine != nullptr ? engine->proto(i) : std::nullopt;
        if (!p)
            continue;
        zel_out_printf(out, "Protocol: [%d] %.*s (%.*s) Hits: %u\n", static_cast<int>(i), view(p->name), p->name.data(),
                       view(p->long_name), p->long_name.data(), hits);
        if (i < t.family_map.size() && t.family_map[i] != 0)
            print_family(out, "    ", t.family_map[i], *p);
    }
    return 0;
}

int zel_dpi_show_configuration(zel_ctx *ctx, const zel_out_sink *out)
{
    const uint32_t *word = zel_dpi_current_tables().state;
    const uint32_t state = word != nullptr ? std::atomic_ref<const uint32_t>(*word).load() : 0;
    if (ctx != nullptr) {
        const zel_dpi_switches s = zel_dpi_current_switches();
        zel_out_printf(out, "Protocol bundle Version   : %s\n", s.version);
        zel_out_printf(out, "App Visibility            : %d\n", s.app_visibility ? 1 : 0);
        zel_out_printf(out, "Policy DPI Reference      : %d\n", static_cast<int>(zel_dpi_policy_refs(ctx)));
        zel_out_printf(out, "DPI state (Control)       : %u\n", state);
    }
    zel_out_printf(out, "DPI state                 : %u\n", state);
    return 0;
}

// The forwarding plane counts only while entry 0 is set: it is cleared first, and the counters
// are zeroed once every count in flight has landed.
int zel_dpi_clear_hits()
{
    const std::span<uint32_t> hits = zel_dpi_current_tables().hits;
    if (hits.empty())
        return 0;
    std::atomic_ref<uint32_t> entries(hits[0]);
    const uint32_t n = entries.load(std::memory_order_acquire);
    entries.store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    memset(hits.data(), 0, hits.size_bytes());
    entries.store(n, std::memory_order_release);
    return 0;
}

int zel_dpi_dump_protocol_list(confd_user_info *uinfo, char *, int, char **)
{
    return with_session(uinfo, [](zel_ctx *, const zel_out_sink *out) { return zel_dpi_show_protocol_list(out); });
}

int zel_dpi_dump_protocol_family_mapping(confd_user_info *uinfo, char *, int, char **)
{
    return with_session(uinfo, [](zel_ctx *, const zel_out_sink *out) { return zel_dpi_show_family_mapping(out); });
}

int zel_dpi_dump_protocol_hits(confd_user_info *uinfo, char *, int, char **)
{
    return with_session(uinfo, [](zel_ctx *, const zel_out_sink *out) { return zel_dpi_show_hits(out); });
}

int zel_dpi_dump_configuration(confd_user_info *uinfo, char *, int, char **)
{
    return with_session(uinfo, zel_dpi_show_configuration);
}

int zel_dpi_clear_protocol_hits(confd_user_info *, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *, int)
{
    return zel_dpi_clear_hits();
}
