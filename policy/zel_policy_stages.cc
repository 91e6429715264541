// The policy module's start-up stages: classes, tables and hooks, the compile context.
#include "policy/zel_policy_stages.h"
#include "compiler/zel_compiler.h"
#include "dataplane/fp_common.h"
#include "policy/zel_config.h"
#include "policy/zel_publish.h"

int zel_fwd_class_stage(zel_ctx *ctx)
{
    if (int rc = zel_policy_db_init(ctx, ZEL_FILTER_UNBOUND - 1); rc != 0)
        return rc;
    if (int rc = zel_fwd_class_init(ctx); rc != 0) {
        zel_policy_db_free(ctx);
        return rc;
    }
    return 0;
}

void zel_fwd_class_unstage(zel_ctx *ctx) { zel_policy_db_free(ctx); }

int zel_sla_class_stage(zel_ctx *ctx) { return zel_sla_class_init(ctx) == 0 ? 0 : 12; }

void zel_sla_class_unstage(zel_ctx *ctx)
{
    if (!ctx->policy_db)
        return;
    // Policies go first: their actions name the classes.
    while (!ctx->policy_db->policies.empty()) {
        const zel_policy &p = *ctx->policy_db->policies.begin()->second;
        zel_config_policy_delete(ctx, p.type, p.name.c_str());
    }
    zel_sla_class_deinit(ctx);
}

int zel_policy_tables_stage(zel_ctx *ctx)
{
    zel_policy_db *db = ctx->policy_db;
    if (!db)
        return 74;
    // With the forwarding plane attached, the filter count is the no-program marker and its
    // clock rates the policers.
    if (fp_shmem_base()) {
        db->no_filter = fp_table_count(FP_TBL_FILTERS);
        if (auto *ctrl = static_cast<const fp_global_ctrl *>(fp_table(FP_TBL_GLOBAL_CTRL)); ctrl && ctrl->clock_hz)
            db->clock_hz = ctrl->clock_hz;
    }
    ctx->dp.oom_retry = [](zel_ctx *c, uint32_t blocks_freed) { zel_process_oom_policies(c, blocks_freed); };
    return 0;
}

void zel_policy_tables_unstage(zel_ctx *ctx)
{
    zel_policy_db *db = ctx->policy_db;
    if (!db)
        return;
    while (!db->policies.empty()) {
        const zel_policy &p = *db->policies.begin()->second;
        zel_config_policy_delete(ctx, p.type, p.name.c_str());
    }
    db->vpn_lists.clear();
    db->pfx_lists.clear();
    db->app_lists.clear();
    db->tloc_lists.clear();
    db->mirrors.clear();
    db->policers.clear();
    ctx->dp.oom_retry = nullptr;
}

int zel_compiler_context_stage(zel_ctx *ctx)
{
    ctx->compile.compiler = zel_compile_context_new(ctx->compile.program_memory);
    return ctx->compile.compiler ? 0 : 12;
}

void zel_compiler_context_unstage(zel_ctx *ctx)
{
    zel_compile_context_free(ctx->compile.compiler);
    ctx->compile.compiler = nullptr;
}
