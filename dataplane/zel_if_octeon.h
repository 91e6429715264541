// Data-plane publication: program memory in the forwarding plane's shared filter memory.
//
// A compiled program lives in a run of 128-byte blocks of the filter memory and is published through
// the lowest free filter slot. A freed program stays published on the delayed-delete list until a
// 500 ms period ("zel-delayed-del-timer") passes in which the forwarding plane did not set the slot's
// activity bit; only then are its slot and blocks released, and the out-of-memory retry hook learns
// how many blocks came free.
//
// Single-threaded: every call comes from the daemon's event-loop thread. The forwarding plane reads
// the filter memory and slots concurrently and only ever sets activity bits and counts into action
// slots.
#pragma once

#include "compiler/zel_compiler.h"
#include "dataplane/fp_common.h"
#include "common/zel_out_sink.h"

#include <cstdint>

struct zel_ctx;

inline constexpr uint32_t ZEL_DP_DELAYED_DEL_MS = 500;
inline constexpr const char *ZEL_DP_DELAYED_DEL_TIMER = "zel-delayed-del-timer";
inline constexpr uint32_t ZEL_POLICER_NAME_LEN = 128;

// A policer's forwarding parameters, pushed into every published program that polices with it.
struct zel_policer_stats {
    char name[ZEL_POLICER_NAME_LEN];
    uint64_t rate;        // clock cycles per byte
    uint64_t burst;       // clock cycles
    uint32_t oob_action;  // 0 drop, otherwise mark PLP high
};

// The forwarding-plane operations table, installed in the daemon context at start-up.
struct zel_dp_ops {
    // Waits for the forwarding plane, attaches the shared block and starts the module; with `clear`
    // the policy regions are zeroed. 0, the attachment's error, or 12.
    int (*init)(zel_ctx *ctx, int clear);
    int (*deinit)(zel_ctx *ctx);       // 0
    void *(*allocate)(uint32_t size);  // program memory in a newly claimed slot, or nullptr
    void (*free)(void *mem);           // onto the delayed-delete list
    int (*policer_update)(uint32_t filter_index, const zel_policer_stats *stats);  // 0 or 22
    // After a pass that freed blocks: the policy retry in ctx->dp.oom_retry, when one is set.
    void (*oom_retry)(zel_ctx *ctx, uint32_t blocks_freed);
};

const zel_dp_ops *zel_dp_octeon_ops();

// The regions this module works on; init takes them from the attached shared block.
struct zel_dp_regions {
    uint8_t *filter_mem;
    uint32_t blocks;
    fp_filter_slot *filters;
    uint32_t nfilters;
    const fp_global_ctrl *ctrl;  // clock rate for the views; may be null
    // Zeroed on a clearing start.
    uint32_t *family_map;
    uint32_t family_map_count;
    uint32_t *proto_hits;
    uint32_t proto_hits_count;
    uint32_t *app_visibility;
    uint32_t *flow_visibility;
    fp_filter_log_cfg *log_cfg;
};
zel_dp_regions zel_dp_shmem_regions();

// Init without the wait and the attachment: block table, clearing, delayed-delete timer (on
// ctx->tmr_mgr). 0 or 12.
int zel_dp_start(zel_ctx *ctx, const zel_dp_regions &regions, int clear);

// The slot claimed by the latest allocation, -1 when it failed.
int32_t zel_dp_current_filter_index();
// Longest run of free blocks, 0 when no filter slot is free.
uint32_t zel_dp_largest_free_run();
// Programs freed and not yet released.
uint32_t zel_dp_delayed_count();
// The program published in a valid slot, else nullptr.
void *zel_dp_filter_program(uint32_t filter_index);

// The compiler's view of allocate and free.
const program_allocator *zel_dp_program_memory();

// Debug views.
void zel_dp_show_filters(const zel_out_sink *out);
void zel_dp_show_filter_summary(const zel_out_sink *out);
void zel_dp_show_memory_map(const zel_out_sink *out);

// Start-up stages of the daemon and their undo.
int zel_dp_bind_stage(zel_ctx *ctx);
void zel_dp_unbind_stage(zel_ctx *ctx);
int zel_dp_start_stage(zel_ctx *ctx);
void zel_dp_stop_stage(zel_ctx *ctx);
int zel_dp_allocator_stage(zel_ctx *ctx);
void zel_dp_allocator_unstage(zel_ctx *ctx);
