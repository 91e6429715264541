#include "dataplane/zel_if_octeon.h"

#include "common/dll.h"
#include "common/timer.h"
#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "compiler/zel_action.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace
{

// One entry per filter-memory block; only the first block of a run is marked.
struct zel_mem {
    dll_node_t link;  // on the delayed-delete list
    uint32_t is_allocated;
    void *ptr;
    uint32_t nblocks;
    uint32_t filter_idx;
};
static_assert(sizeof(zel_mem) == 40);
static_assert(offsetof(zel_mem, is_allocated) == 16);
static_assert(offsetof(zel_mem, ptr) == 24);
static_assert(offsetof(zel_mem, nblocks) == 32);
static_assert(offsetof(zel_mem, filter_idx) == 36);

struct dp_state {
    zel_dp_regions r{};
    zel_mem *mem = nullptr;  // r.blocks entries
    dll_head_t delayed{};
    timer_obj *del_timer = nullptr;
    int32_t current_filter = -1;
    bool attached = false;  // init attached the shared block
};
dp_state g;

std::atomic_ref<uint8_t> activity(fp_filter_slot &s) { return std::atomic_ref<uint8_t>(s.flags); }

bool slot_valid(const fp_filter_slot &s)
{
    return std::atomic_ref<const uint16_t>(s.valid).load(std::memory_order_acquire) != 0;
}

bool slot_active(fp_filter_slot &s) { return activity(s).load(std::memory_order_relaxed) & FP_FILTER_ACTIVE; }

void wait_for(bool (*ready)(), const char *what)
{
    bool told = false;
    while (!ready()) {
        if (!told)
            ZEL_LOG("Waiting for %s", what);
        told = true;
        sleep(1);
    }
}

int32_t lowest_free_slot()
{
    for (uint32_t i = 0; i < g.r.nfilters; i++)
        if (!slot_valid(g.r.filters[i]))
            return static_cast<int32_t>(i);
    return -1;
}

// First fit: the start of the first run of n free blocks, or -1.
int64_t first_fit(uint32_t n)
{
    uint32_t i = 0;
    while (i < g.r.blocks) {
        if (g.mem[i].is_allocated) {
            i += g.mem[i].nblocks;
            continue;
        }
        const uint32_t start = i;
        while (i < g.r.blocks && !g.mem[i].is_allocated && i - start < n)
            i++;
        if (i - start == n)
            return start;
    }
    return -1;
}

void delayed_delete_pass(timer_obj *, void *arg1, void *, void *, void *)
{
    auto *ctx = static_cast<zel_ctx *>(arg1);
    uint32_t freed = 0;
    dll_node_t *n = dll_first(&g.delayed);
    while (n != nullptr) {
        dll_node_t *next = dll_next(n);
        zel_mem *e = DLL_ENTRY(n, zel_mem, link);
        fp_filter_slot &slot = g.r.filters[e->filter_idx];
        if (slot_active(slot)) {
            activity(slot).fetch_and(static_cast<uint8_t>(~FP_FILTER_ACTIVE), std::memory_order_relaxed);
        } else {
            freed += e->nblocks;
            dll_remove(&g.delayed, n);
            // Unpublish before the memory goes, though the forwarding plane stopped using it a period ago.
            std::atomic_ref<uint16_t>(slot.valid).store(0, std::memory_order_release);
            memset(&slot, 0, sizeof slot);
            memset(e->ptr, 0, uint64_t{e->nblocks} * FP_FILTER_BLOCK_SIZE);
            memset(e, 0, sizeof *e);
        }
        n = next;
    }
    if (!dll_is_empty(&g.delayed))
        timer_restart(g.del_timer, ZEL_DP_DELAYED_DEL_MS);
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Delayed delete: %u blocks freed, %d programs pending", freed, dll_count(&g.delayed));
    if (freed != 0)
        zel_dp_octeon_ops()->oom_retry(ctx, freed);
}

// ----------------------------------------------------------------------------------------------------
// Operations.

int dp_init(zel_ctx *ctx, int clear)
{
    wait_for(fp_platform_ready, "the forwarding plane's shared memory");
    if (int rc = fp_shmem_attach(0, 1); rc != 0)
        return rc;
    g.attached = true;
    wait_for(fp_ready_bit, "the forwarding plane to be ready");
    int rc = zel_dp_start(ctx, zel_dp_shmem_regions(), clear);
    if (rc != 0) {
        fp_shmem_detach();
        g.attached = false;
    }
    return rc;
}

int dp_deinit(zel_ctx *)
{
    if (g.del_timer != nullptr)
        timer_util_delete(g.del_timer);
    free(g.mem);
    if (g.attached)
        fp_shmem_detach();
    g = dp_state{};
    return 0;
}

void *dp_allocate(uint32_t size)
{
    g.current_filter = -1;
    const uint64_t n = (uint64_t{size} + FP_FILTER_BLOCK_SIZE - 1) / FP_FILTER_BLOCK_SIZE;
    if (g.mem == nullptr || n == 0 || n > g.r.blocks)
        return nullptr;
    const int32_t slot = lowest_free_slot();
    if (slot < 0)
        return nullptr;
    g.current_filter = slot;
    const int64_t start = first_fit(static_cast<uint32_t>(n));
    if (start < 0) {
        g.current_filter = -1;
        return nullptr;
    }
    zel_mem &e = g.mem[start];
    e.is_allocated = 1;
    e.nblocks = static_cast<uint32_t>(n);
    e.filter_idx = static_cast<uint32_t>(slot);
    e.ptr = g.r.filter_mem + uint64_t(start) * FP_FILTER_BLOCK_SIZE;

    fp_filter_slot &s = g.r.filters[slot];
    activity(s).fetch_and(static_cast<uint8_t>(~FP_FILTER_ACTIVE), std::memory_order_relaxed);
    s.reserved = 0;
    s.hw_index = static_cast<uint32_t>(start);
    s.nblocks = static_cast<uint32_t>(n);
    std::atomic_ref<uint16_t>(s.valid).store(1, std::memory_order_release);
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Filter %d: %u bytes in blocks %ld..%ld", slot, size, static_cast<long>(start),
              static_cast<long>(start + n - 1));
    return e.ptr;
}

bool pending(const zel_mem *e)
{
    return e->link.p_next != nullptr || e->link.p_prev != nullptr || dll_first(&g.delayed) == &e->link;
}

void dp_free(void *ptr)
{
    const auto off = static_cast<uint8_t *>(ptr) - g.r.filter_mem;
    ZEL_ASSERT(off >= 0 && static_cast<uint64_t>(off) < uint64_t{g.r.blocks} * FP_FILTER_BLOCK_SIZE);
    const uint64_t hw_index = static_cast<uint64_t>(off) / FP_FILTER_BLOCK_SIZE;
    zel_mem *zel_mem = g.mem;
    ZEL_ASSERT(zel_mem[hw_index].is_allocated == 1);
    ZEL_ASSERT(zel_mem[hw_index].ptr == ptr);
    // A second free before the release would link the entry into the list twice.
    ZEL_ASSERT(!pending(&zel_mem[hw_index]));
    zel_mem[hw_index].link = {};
    dll_insert_tail(&g.delayed, &zel_mem[hw_index].link);
    timer_restart(g.del_timer, ZEL_DP_DELAYED_DEL_MS);
}

struct policer_visit {
    const zel_policer_stats *stats;
};

void update_police_slots(zel_action_data *data, void *arg)
{
    const zel_policer_stats *st = static_cast<policer_visit *>(arg)->stats;
    for (zel_action_slot &slot : data->slot) {
        if (slot.param_type != ZEL_ACT_POLICE)
            continue;
        char name[ZEL_ACTION_NAME_LEN + 1] = {};
        memcpy(name, slot.p.police.name, ZEL_ACTION_NAME_LEN);
        char *dot = nullptr;
        strtol(name, &dot, 10);
        if (dot == name || *dot != '.' || strncmp(dot + 1, st->name, ZEL_ACTION_NAME_LEN) != 0)
            continue;
        std::atomic_ref<uint64_t>(slot.p.police.rate).store(st->rate, std::memory_order_relaxed);
        std::atomic_ref<uint64_t>(slot.p.police.burst).store(st->burst, std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(slot.p.police.oob_action).store(st->oob_action, std::memory_order_relaxed);
    }
}

int dp_policer_update(uint32_t filter_index, const zel_policer_stats *stats)
{
    void *image = zel_dp_filter_program(filter_index);
    if (image == nullptr || stats == nullptr)
        return 22;
    policer_visit v{stats};
    zel_action_blocks_visit(image, update_police_slots, &v);
    return 0;
}

void dp_oom_retry(zel_ctx *ctx, uint32_t blocks_freed)
{
    if (ctx->dp.oom_retry != nullptr)
        ctx->dp.oom_retry(ctx, blocks_freed);
}

constexpr zel_dp_ops kOps{dp_init, dp_deinit, dp_allocate, dp_free, dp_policer_update, dp_oom_retry};

// ----------------------------------------------------------------------------------------------------
// The compiler's allocator.

void *prog_allocate(void *, uint32_t size, int32_t *filter_index)
{
    void *mem = dp_allocate(size);
    *filter_index = g.current_filter;
    return mem;
}

void prog_free(void *, void *mem) { dp_free(mem); }

uint64_t prog_capacity(void *) { return uint64_t{zel_dp_largest_free_run()} * FP_FILTER_BLOCK_SIZE; }

// ----------------------------------------------------------------------------------------------------
// Views.

void filter_rows(const zel_out_sink *out, uint32_t *listed, uint32_t *blocks)
{
    zel_out_printf(out, "%-5s\t%-5s\t%-8s\t%-13s\t%-8s\n", "Index", "Valid", "HW Index", "Num HW Blocks", "Activity");
    for (uint32_t i = 0; i < g.r.nfilters; i++) {
        fp_filter_slot &s = g.r.filters[i];
        const bool active = slot_active(s);
        if (!slot_valid(s) && !active)
            continue;
        zel_out_printf(out, "%5d\t%5d\t%8d\t%13d\t%8d\n", static_cast<int>(i), s.valid, static_cast<int>(s.hw_index),
                       static_cast<int>(s.nblocks), active ? 1 : 0);
        if (listed)
            ++*listed;
        if (blocks)
            *blocks += s.nblocks;
    }
}

}  // namespace

const zel_dp_ops *zel_dp_octeon_ops() { return &kOps; }

zel_dp_regions zel_dp_shmem_regions()
{
    zel_dp_regions r{};
    r.filter_mem = static_cast<uint8_t *>(fp_table(FP_TBL_FILTER_MEM));
    r.blocks = fp_table_count(FP_TBL_FILTER_MEM);
    r.filters = static_cast<fp_filter_slot *>(fp_table(FP_TBL_FILTERS));
    r.nfilters = fp_table_count(FP_TBL_FILTERS);
    r.ctrl = static_cast<const fp_global_ctrl *>(fp_table(FP_TBL_GLOBAL_CTRL));
    r.family_map = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_FAMILY_MAPPING));
    r.family_map_count = fp_table_count(FP_TBL_DPI_PROTO_FAMILY_MAPPING);
    r.proto_hits = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_PROTO_HITS));
    r.proto_hits_count = fp_table_count(FP_TBL_DPI_PROTO_HITS);
    r.app_visibility = static_cast<uint32_t *>(fp_table(FP_TBL_DPI_APP_VISIBILITY));
    r.flow_visibility = static_cast<uint32_t *>(fp_table(FP_TBL_FILTER_FLOW_VISIBILITY));
    r.log_cfg = static_cast<fp_filter_log_cfg *>(fp_table(FP_TBL_FILTER_LOG_CFG));
    return r;
}

int zel_dp_start(zel_ctx *ctx, const zel_dp_regions &r, int clear)
{
    g.r = r;
    g.mem = static_cast<zel_mem *>(calloc(r.blocks, sizeof(zel_mem)));
    if (g.mem == nullptr)
        return 12;
    if (clear) {
        memset(r.filter_mem, 0, uint64_t{r.blocks} * FP_FILTER_BLOCK_SIZE);
        memset(static_cast<void *>(r.filters), 0, uint64_t{r.nfilters} * sizeof(fp_filter_slot));
        if (r.family_map)
            memset(r.family_map, 0, uint64_t{r.family_map_count} * sizeof(uint32_t));
        if (r.proto_hits)
            memset(r.proto_hits, 0, uint64_t{r.proto_hits_count} * sizeof(uint32_t));
        if (r.app_visibility)
            *r.app_visibility = 0;
        if (r.flow_visibility)
            *r.flow_visibility = 0;
        if (r.log_cfg)
            *r.log_cfg = {};
    }
    dll_init(&g.delayed);
    g.current_filter = -1;
    g.del_timer = timer_util_create(ctx->tmr_mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, ZEL_DP_DELAYED_DEL_MS,
                                    delayed_delete_pass, ctx, nullptr, nullptr, nullptr, ZEL_DP_DELAYED_DEL_TIMER);
    if (g.del_timer == nullptr) {
        free(g.mem);
        g.mem = nullptr;
        return 12;
    }
    return 0;
}

int32_t zel_dp_current_filter_index() { return g.current_filter; }

uint32_t zel_dp_largest_free_run()
{
    if (g.mem == nullptr || lowest_free_slot() < 0)
        return 0;
    uint32_t best = 0, i = 0;
    while (i < g.r.blocks) {
        if (g.mem[i].is_allocated) {
            i += g.mem[i].nblocks;
            continue;
        }
        const uint32_t start = i;
        while (i < g.r.blocks && !g.mem[i].is_allocated)
            i++;
        best = std::max(best, i - start);
    }
    return best;
}

uint32_t zel_dp_delayed_count() { return static_cast<uint32_t>(dll_count(&g.delayed)); }

void *zel_dp_filter_program(uint32_t filter_index)
{
    if (filter_index >= g.r.nfilters || !slot_valid(g.r.filters[filter_index]))
        return nullptr;
    return g.r.filter_mem + uint64_t{g.r.filters[filter_index].hw_index} * FP_FILTER_BLOCK_SIZE;
}

const program_allocator *zel_dp_program_memory()
{
    static constexpr program_allocator kProgramMemory{prog_allocate, prog_free, prog_capacity, nullptr};
    return &kProgramMemory;
}

void zel_dp_show_filters(const zel_out_sink *out)
{
    filter_rows(out, nullptr, nullptr);
    zel_out_printf(out, "\n\n");
    for (uint32_t i = 0; i < g.r.nfilters; i++) {
        fp_filter_slot &s = g.r.filters[i];
        const bool active = slot_active(s);
        if (!slot_valid(s) && !active)
            continue;
        zel_out_printf(out, "FILTER %5d Activity: %d\n", static_cast<int>(i), active ? 1 : 0);
        zel_out_printf(out, "====== %5s\n\n", "=====");
        if (void *image = zel_dp_filter_program(i))
            zel_program_dump(image, out);
    }
    zel_out_printf(out, "\t%11s: %lu\n", "Clock Rate",
                   static_cast<unsigned long>(g.r.ctrl != nullptr ? g.r.ctrl->clock_hz : 0));
}

void zel_dp_show_filter_summary(const zel_out_sink *out)
{
    uint32_t listed = 0, blocks = 0;
    filter_rows(out, &listed, &blocks);
    zel_out_printf(out, "Number of filters: %d/%d\n", static_cast<int>(listed), static_cast<int>(g.r.nfilters));
    zel_out_printf(out, "Number of blocks used: %d/%d\n", static_cast<int>(blocks), static_cast<int>(g.r.blocks));
    zel_out_printf(out, "\n");
}

void zel_dp_show_memory_map(const zel_out_sink *out)
{
    zel_out_printf(out, "Dumping the filter memory map");
    zel_out_printf(out, "\n\n");
    uint32_t i = 0;
    while (g.mem != nullptr && i < g.r.blocks) {
        const zel_mem &e = g.mem[i];
        if (e.is_allocated) {
            const fp_filter_slot &s = g.r.filters[e.filter_idx];
            zel_out_printf(out, "Used Block start index: %d/%u - end index %d (#%u/%u)\n", static_cast<int>(i),
                           s.hw_index, static_cast<int>(i + e.nblocks), e.nblocks, s.nblocks);
            zel_out_printf(out, "\tFilterId: %u\n", e.filter_idx);
            i += e.nblocks;
            continue;
        }
        const uint32_t start = i;
        while (i < g.r.blocks && !g.mem[i].is_allocated)
            i++;
        zel_out_printf(out, "Free Block start index: %d - end index %d\n", static_cast<int>(start),
                       static_cast<int>(i - 1));
    }
    zel_out_printf(out, "\n");
}

// ----------------------------------------------------------------------------------------------------
// Start-up stages.

int zel_dp_bind_stage(zel_ctx *ctx)
{
    ctx->dp.ops = zel_dp_octeon_ops();
    return 0;
}

void zel_dp_unbind_stage(zel_ctx *ctx) { ctx->dp.ops = nullptr; }

int zel_dp_start_stage(zel_ctx *ctx) { return ctx->dp.ops->init(ctx, 1); }

void zel_dp_stop_stage(zel_ctx *ctx) { ctx->dp.ops->deinit(ctx); }

int zel_dp_allocator_stage(zel_ctx *ctx)
{
    ctx->compile.program_memory = zel_dp_program_memory();
    return 0;
}

void zel_dp_allocator_unstage(zel_ctx *ctx) { ctx->compile.program_memory = nullptr; }
