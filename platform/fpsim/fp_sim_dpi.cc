#include "platform/fpsim/fp_sim_dpi.h"

#include <ndpi/ndpi_api.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "compiler/zel_field.h"
#include "dataplane/fp_common.h"
#include "dpi/zel_dpi_ndpi.h"

namespace
{

uint32_t load(const uint32_t &word) { return std::atomic_ref<const uint32_t>(word).load(std::memory_order_acquire); }

}  // namespace

fpsim_inspector::fpsim_inspector()
{
    mod_ = ndpi_init_detection_module(ndpi_no_prefs);
    if (mod_ == nullptr)
        return;
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(mod_, &all);
    ndpi_finalize_initialization(mod_);
}

fpsim_inspector::~fpsim_inspector()
{
    for (auto &[k, f] : flows_)
        if (f.state != nullptr)
            ndpi_free_flow(f.state);
    if (mod_ != nullptr)
        ndpi_exit_detection_module(mod_);
}

uint32_t fpsim_inspector::classify(const fpsim_packet &p)
{
    const std::vector<uint8_t> &ip = p.l3;
    if (mod_ == nullptr || ip.empty())
        return FPSIM_APP_UNCLASSIFIED;
    const bool v6 = (ip[0] >> 4) == 6;
    const size_t alen = v6 ? 16 : 4, at = v6 ? 8 : 12;
    if (ip.size() < at + 2 * alen)
        return FPSIM_APP_UNCLASSIFIED;
    std::string src(reinterpret_cast<const char *>(&ip[at]), alen);
    std::string dst(reinterpret_cast<const char *>(&ip[at + alen]), alen);
    uint32_t sport = p.fields.v[ZEL_CF_SRC_PORT], dport = p.fields.v[ZEL_CF_DST_PORT];
    // Both directions are one flow.
    if (std::tie(dst, dport) < std::tie(src, sport)) {
        std::swap(src, dst);
        std::swap(sport, dport);
    }
    flow &f = flows_[key{static_cast<uint8_t>(p.fields.v[ZEL_CF_PROTOCOL]), src, sport, dst, dport}];
    if (f.decided)
        return f.app;
    if (f.state == nullptr) {
        f.state = static_cast<ndpi_flow_struct *>(ndpi_flow_malloc(SIZEOF_FLOW_STRUCT));
        if (f.state == nullptr)
            return FPSIM_APP_UNCLASSIFIED;
        memset(f.state, 0, SIZEOF_FLOW_STRUCT);
    }
    const auto len = static_cast<unsigned short>(std::min<size_t>(ip.size(), 0xFFFF));
    const ndpi_protocol r = ndpi_detection_process_packet(mod_, f.state, ip.data(), len, p.time_ms);
    const uint16_t proto = r.app_protocol != NDPI_PROTOCOL_UNKNOWN ? r.app_protocol : r.master_protocol;
    if (proto != NDPI_PROTOCOL_UNKNOWN) {
        f.app = zel_ndpi_app_id(proto);
        f.decided = true;
        ndpi_free_flow(f.state);
        f.state = nullptr;
    }
    return f.app;
}

std::string fpsim_inspector::name(uint32_t app) const
{
    if (app == FPSIM_APP_UNCLASSIFIED)
        return "unclassified";
    const char *n = mod_ != nullptr && app > 1 ? ndpi_get_proto_name(mod_, zel_ndpi_proto_id(app)) : nullptr;
    return n != nullptr ? n : std::to_string(app);
}

fpsim_dpi_tables fpsim_dpi_shared_tables()
{
    fpsim_dpi_tables t{};
    if (auto *map = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_FAMILY_MAPPING)))
        t.family_map = {map, fp_table_count(FP_TBL_DPI_PROTO_FAMILY_MAPPING)};
    if (auto *hits = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_HITS)))
        t.hits = {hits, fp_table_count(FP_TBL_DPI_PROTO_HITS)};
    t.state = static_cast<const uint32_t *>(fp_table(FP_TBL_DPI_APP_VISIBILITY));
    return t;
}

uint32_t fpsim_app_family(const fpsim_dpi_tables &t, uint32_t app)
{
    if (app == 0 || app >= t.family_map.size() || app > load(t.family_map[0]))
        return 0;
    return load(t.family_map[app]);
}

bool fpsim_count_hit(const fpsim_dpi_tables &t, uint32_t app)
{
    if (t.state == nullptr || load(*t.state) == 0 || t.hits.empty() || app == 0 || app >= t.hits.size() ||
        app > load(t.hits[0]))
        return false;
    std::atomic_ref<uint32_t>(t.hits[app]).fetch_add(1, std::memory_order_relaxed);
    return true;
}
