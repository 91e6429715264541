// The inspection-engine glue: engine start and stop, names and identifiers, the family table, the
// visibility switches and the DPI state word.
#include "dpi/zel_dpi.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "dpi/zel_dpi_internal.h"
#include "yang/zel_yang_hashes.h"

namespace
{

// Everything the glue keeps between calls.
struct zel_dpi_state {
    std::unique_ptr<zel_dpi_engine> engine;  // null: not started, failed or shut down
    zel_dpi_engine_factory factory = nullptr;
    std::optional<zel_dpi_tables> tables;  // given by a test; else the shared block's
    char version[128] = {};
    bool app_visibility = false;
    bool flow_visibility = false;
};
zel_dpi_state g_dpi;

// A switch change moves its reference count by one; false when there is no count to move.
bool apply_switch(bool *stored, bool on, uint32_t *count)
{
    if (count == nullptr)
        return false;
    if (*stored == on)
        return true;
    *stored = on;
    if (on)
        ++*count;
    else if (*count > 0)
        --*count;
    return true;
}

int fill_family_mapping(const zel_dpi_engine &engine)
{
    const zel_dpi_tables t = zel_dpi_current_tables();
    uint32_t highest = t.family_map.empty() ? 0 : t.family_map[0];
    const int rc = engine.walk([&](const zel_dpi_proto &p) {
        ZEL_INVARIANT("zel_dpi", "((int)p_proto->unique_id) < FP_NUM_DPI_PROTO_FAMILY_MAPPING",
                      p.id < FP_NUM_DPI_PROTO_FAMILY_MAPPING);
        highest = std::max(highest, p.id);
        const uint32_t family = zel_dpi_engine_family_id(p.family);
        if (family == ZEL_DPI_FAMILY_NONE)
            ZEL_LOG("Error when getting the family for protocol [%d] %.*s - %.*s\n", static_cast<int>(p.id),
                    static_cast<int>(p.name.size()), p.name.data(), static_cast<int>(p.family.size()), p.family.data());
        else if (p.id < t.family_map.size())
            t.family_map[p.id] = family;
    });
    if (rc < 0) {
        ZEL_LOG("Error when getting the protocol list for protocol-family init - %s\n", engine.error_text(rc));
        return -1;
    }
    if (!t.family_map.empty())
        t.family_map[0] = highest;
    if (!t.hits.empty())
        std::atomic_ref<uint32_t>(t.hits[0]).store(highest, std::memory_order_release);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Seams.

zel_dpi_tables zel_dpi_current_tables()
{
    if (g_dpi.tables)
        return *g_dpi.tables;
    auto *map = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_FAMILY_MAPPING));
    auto *hits = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_HITS));
    zel_dpi_tables t{};
    if (map != nullptr)
        t.family_map = {map, fp_table_count(FP_TBL_DPI_PROTO_FAMILY_MAPPING)};
    if (hits != nullptr)
        t.hits = {hits, fp_table_count(FP_TBL_DPI_PROTO_HITS)};
    t.state = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_APP_VISIBILITY));
    t.log_cfg = static_cast<fp_filter_log_cfg *>(fp_table(FP_TBL_FILTER_LOG_CFG));
    return t;
}

void zel_dpi_use_tables(const zel_dpi_tables *tables)
{
    g_dpi.tables = tables != nullptr ? std::optional(*tables) : std::nullopt;
}

void zel_dpi_set_engine_factory(zel_dpi_engine_factory factory) { g_dpi.factory = factory; }

const zel_dpi_engine *zel_dpi_engine_running() { return g_dpi.engine.get(); }

zel_dpi_switches zel_dpi_current_switches() { return {g_dpi.app_visibility, g_dpi.flow_visibility, g_dpi.version}; }

uint32_t zel_dpi_policy_refs(zel_ctx *ctx) { return ctx != nullptr ? ctx->dpi_refs : 0; }

// ---------------------------------------------------------------------------------------------------
// Start and stop.

void zel_dpi_exception_handler(int code)
{
    ZEL_LOG("Error: DPI ixEngine exception: %s\n",
            g_dpi.engine != nullptr ? g_dpi.engine->exception_text(code) : "no engine");
}

int zel_dpi_init(zel_ctx *)
{
    ZEL_DEBUG(ZEL_DEBUG_DPI, "Initializing DPI...\n");
    std::unique_ptr<zel_dpi_engine> engine = g_dpi.factory != nullptr ? g_dpi.factory() : zel_dpi_ndpi_engine();
    if (engine == nullptr)
        return -1;
    zel_dpi_params params = engine->default_params();
    params.catalogue_only = true;
    // The engine logs through the handler once it is the running one.
    g_dpi.engine = std::move(engine);
    g_dpi.engine->set_exception_handler(zel_dpi_exception_handler);

    int rc = g_dpi.engine->init(params);
    if (rc < 0) {
        ZEL_LOG("Error: Could not initialize DPI engine: err: %s", g_dpi.engine->error_text(rc));
    } else if ((rc = g_dpi.engine->enable_all()) < 0) {
        ZEL_LOG("Error: Could not enable all available protocols: err: %s", g_dpi.engine->error_text(rc));
    } else if ((rc = fill_family_mapping(*g_dpi.engine)) != 0) {
        ZEL_LOG("Error: Could not register for protocol families; err: %d", rc);
    }
    if (rc < 0) {
        g_dpi.engine->shutdown();
        g_dpi.engine.reset();
        return rc;
    }
    snprintf(g_dpi.version, sizeof g_dpi.version, "%s", g_dpi.engine->version());
    ZEL_DEBUG(ZEL_DEBUG_DPI, "DPI Initialization done! Version: %s\n", g_dpi.version);
    return 0;
}

void zel_dpi_destroy(zel_ctx *)
{
    ZEL_DEBUG(ZEL_DEBUG_DPI, "DPI Cleanup...\n");
    if (g_dpi.engine != nullptr)
        g_dpi.engine->shutdown();
    g_dpi.engine.reset();
    g_dpi.version[0] = '\0';
    g_dpi.app_visibility = g_dpi.flow_visibility = false;
    ZEL_DEBUG(ZEL_DEBUG_DPI, "DPI Cleaup done!\n");
}

// ---------------------------------------------------------------------------------------------------
// Names.

uint32_t zel_dpi_app_id(const char *name)
{
    if (name == nullptr)
        return 0;
    if (strncmp(name, "unclassified", 13) == 0)
        return 1;
    return g_dpi.engine != nullptr ? g_dpi.engine->id_of(name) : 0;
}

uint32_t zel_dpi_get_qosmos_id(const char *name)
{
    const uint32_t id = zel_dpi_app_id(name);
    if (id == 0)
        ZEL_LOG("Could not find protocol! : %s", name != nullptr ? name : "");
    return id;
}

const char *zel_dpi_app_name(uint32_t id)
{
    if (id == 1)
        return "unclassified";
    if (g_dpi.engine == nullptr)
        return nullptr;
    const std::optional<zel_dpi_proto> p = g_dpi.engine->proto(id);
    return p ? p->name.data() : nullptr;
}

uint32_t zel_dpi_app_family(uint32_t id)
{
    const std::span<uint32_t> map = zel_dpi_current_tables().family_map;
    if (id == 0 || id >= map.size() || id > map[0])
        return 0;
    return map[id];
}

// ---------------------------------------------------------------------------------------------------
// Switches and the state word.

int zel_dpi_set_app_visibility(zel_ctx *ctx, bool on)
{
    if (ctx == nullptr)
        return 74;
    return apply_switch(&g_dpi.app_visibility, on, &ctx->dpi_refs) ? 0 : 74;
}

int zel_dpi_sync_state(zel_ctx *ctx)
{
    if (ctx == nullptr)
        return 74;
    uint32_t *word = zel_dpi_current_tables().state;
    if (word == nullptr)
        return 0;
    std::atomic_ref<uint32_t> state(*word);
    const uint32_t refs = zel_dpi_policy_refs(ctx);
    if (state.load(std::memory_order_relaxed) == refs)
        return 0;
    state.store(refs, std::memory_order_release);
    if (refs != 0)
        return 0;
    // Inspection is no longer needed: pxrd is told so.
    msgq_handle_t *link = ctx->links.tabmgr;
    auto *msg = link != nullptr ? static_cast<uint8_t *>(msgq_alloc_msg(link, ZEL_DPI_MSG_LEN)) : nullptr;
    if (msg == nullptr)
        return 12;
    memset(msg, 0, ZEL_DPI_MSG_LEN);
    msg[0] = ZEL_DPI_MSG_OFF;
    if (msgq_write(link, msg, 1) != 0)
        msgq_free_msg(link, msg);
    return 0;
}

uint32_t zel_dpi_log_frequency(int32_t configured)
{
    return configured > 0 ? std::bit_floor(static_cast<uint32_t>(configured)) : 0;
}

int zel_dpi_config_policy_root(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *,
                               uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT(num_keys == 0);
    if (op != MOP_CREATED && op != MOP_DELETED && op != MOP_MODIFIED)
        return 0;
    auto *ctx = static_cast<zel_ctx *>(point->context->params.app_ctx);
    std::optional<bool> app, flow;
    int depth = 0;
    for (uint16_t i = 0; i < num_values; i++) {
        const confd_value_t &v = values[i].v;
        if (v.type == C_XMLBEGIN || v.type == C_XMLBEGINDEL) {
            depth++;
            continue;
        }
        if (v.type == C_XMLEND) {
            depth--;
            continue;
        }
        if (depth != 0)
            continue;
        const bool absent = v.type == C_NOEXISTS;
        switch (values[i].tag.tag) {
        case zel_tag_policy_app_visibility:
        case zel_tag_policy_flow_visibility:
            ZEL_ASSERT(absent || v.type == C_BOOL);
            (values[i].tag.tag == zel_tag_policy_app_visibility ? app : flow) = !absent && CONFD_GET_BOOL(&v) != 0;
            break;
        case zel_tag_policy_log_frequency: {
            ZEL_ASSERT(absent || v.type == C_INT32);
            const int32_t configured = absent ? ZEL_DPI_LOG_FREQUENCY_DEFAULT : CONFD_GET_INT32(&v);
            if (fp_filter_log_cfg *log = zel_dpi_current_tables().log_cfg)
                log->words[0] = zel_dpi_log_frequency(configured);
            break;
        }
        default:
            break;
        }
    }
    if (app)
        zel_dpi_set_app_visibility(ctx, *app);
    if (flow)
        apply_switch(&g_dpi.flow_visibility, *flow, &ctx->flow_refs);
    return 0;
}
