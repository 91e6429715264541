// The policy database's life in the daemon: created with the forwarding classes at start-up,
// emptied and freed at shutdown.
#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "policy/zel_config.h"

int zel_policy_db_init(zel_ctx *ctx, uint32_t no_filter)
{
    if (!ctx)
        return 74;
    if (ctx->policy_db)
        return 17;
    ctx->policy_db = new (std::nothrow) zel_policy_db{};
    if (!ctx->policy_db)
        return 12;
    ctx->policy_db->no_filter = no_filter;
    return 0;
}

void zel_policy_db_free(zel_ctx *ctx)
{
    zel_policy_db *db = ctx ? ctx->policy_db : nullptr;
    if (!db)
        return;
    while (!db->policies.empty()) {
        const zel_policy &p = *db->policies.begin()->second;
        zel_config_policy_delete(ctx, p.type, p.name.c_str());
    }
    for (uint32_t family : {ZEL_ACL_V4, ZEL_ACL_V6})
        while (!db->access_lists[family].empty())
            zel_config_access_list_delete(ctx, db->access_lists[family].begin()->first.c_str(), family);
    if (db->sla_classes.avl_compar)
        zel_sla_class_deinit(ctx);
    if (ctx->fc_table.avl_compar)
        zel_fwd_class_deinit(ctx);
    delete db;
    ctx->policy_db = nullptr;
}
