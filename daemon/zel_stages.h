// The start-up sequence as data: each stage with the operation that undoes it.
#pragma once

#include <span>

#include "daemon/zel.h"

struct zel_stage {
    const char *name;
    int (*init)(zel_ctx *ctx);   // 0 or the code zel_init returns; null: nothing to do yet
    void (*undo)(zel_ctx *ctx);  // null: nothing to undo
};

// The daemon's stages, in start-up order.
std::span<const zel_stage> zel_default_stages();

// Stage names in the order an orderly stop undoes them (zel_deinit).
std::span<const char *const> zel_teardown_order();

// zel_init over any sequence of stages; zel_deinit_with undoes them in reverse.
int zel_init_with(zel_ctx *ctx, std::span<const zel_stage> stages);
int zel_deinit_with(zel_ctx *ctx, std::span<const zel_stage> stages);

// The inline inspection-engine start: logs around dpi_init (null: no engine); a
// failure is logged and does not fail start-up.
int zel_dpi_inline_init(zel_ctx *ctx, int (*dpi_init)(zel_ctx *));
