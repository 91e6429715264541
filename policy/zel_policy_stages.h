// The policy module's start-up stages (run from the daemon's start-up table) and their undo.
#pragma once

#include "common/zel_ctx.h"

int zel_fwd_class_stage(zel_ctx *ctx);
void zel_fwd_class_unstage(zel_ctx *ctx);
int zel_sla_class_stage(zel_ctx *ctx);
void zel_sla_class_unstage(zel_ctx *ctx);
int zel_policy_tables_stage(zel_ctx *ctx);
void zel_policy_tables_unstage(zel_ctx *ctx);
int zel_compiler_context_stage(zel_ctx *ctx);
void zel_compiler_context_unstage(zel_ctx *ctx);
