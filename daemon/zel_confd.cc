#include "daemon/zel_confd.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "cfgd/cfgd_util.h"
#include "common/zel_log.h"
#include "dpi/zel_dpi.h"
#include "oper/zel_oper.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_points.h"
#include "policy/zel_publish.h"
#include "yang/zel_yang_hashes.h"

namespace
{

// The layer writes into its subscription entries, so the rows are copied into writable ones.
cfgd_sub_point g_points[ZEL_POLICY_NUM_POINTS + 1];
confd_valpoint_cb g_valpoints[1];
confd_action_cbs g_actions[ZEL_CONFD_NUM_ACTIONS + 1];

void fill_points()
{
    const auto rows = zel_policy_points();
    for (size_t i = 0; i < rows.size(); i++) {
        cfgd_sub_point &p = g_points[i];
        p = {};
        snprintf(p.path, sizeof p.path, "%s", rows[i].keypath);
        p.ns = rows[i].ns;
        p.num_keys = rows[i].num_keys;
        p.priorities = cfgd_prio(rows[i].add_prio, rows[i].del_prio);
        p.handler = rows[i].handler;
        // Points of the policy module's table that the inspection glue serves.
        for (const cfgd_point_handler &h : zel_dpi_points)
            if (p.handler == nullptr && strcmp(h.keypath, rows[i].keypath) == 0)
                p.handler = h.handler;
    }
    g_points[rows.size()] = {};
}

// Every action point of the model, in its order, with the callbacks of the module that serves it.
void fill_actions()
{
    const std::span<const confd_action_cbs> served[] = {zel_oper_actions(), zel_dpi_actions};
    for (unsigned i = 0; i < ZEL_CONFD_NUM_ACTIONS; i++) {
        g_actions[i] = {};
        for (std::span<const confd_action_cbs> table : served)
            for (const confd_action_cbs &a : table)
                if (strcmp(a.actionpoint, zel_yang_actionpoints[i]) == 0)
                    g_actions[i] = a;
        snprintf(g_actions[i].actionpoint, sizeof g_actions[i].actionpoint, "%s", zel_yang_actionpoints[i]);
    }
    g_actions[ZEL_CONFD_NUM_ACTIONS] = {};
}

int register_cbs(cfgd_context *cfgd) { return zel_show_init(cfgd); }

void subs_done(cfgd_context *cfgd, int) { zel_commit_done(static_cast<zel_ctx *>(cfgd->params.app_ctx)); }

int notify(zel_ctx *ctx, confd_tag_value_t *values, int n)
{
    return ctx->cfg.cfgd != nullptr ? cfgd_event_send_notification(ctx->cfg.cfgd, values, n) : -1;
}

}  // namespace

void zel_commit_done(zel_ctx *ctx)
{
    zel_process_policies(ctx);
    zel_dpi_sync_state(ctx);
    zel_policy_flow_visibility_sync(ctx);
}

int zel_confd_stage(zel_ctx *ctx)
{
    fill_points();
    fill_actions();
    cfgd_module_params params{};
    params.app_ctx = ctx;
    params.sub_points = g_points;
    params.valpoints = g_valpoints;
    params.actionpoints = g_actions;
    params.register_cbs_cb = register_cbs;
    params.subs_done_cb = subs_done;
    params.base = ctx->base;
    params.timer_ctx = ctx->tmr_mgr;
    params.module_id = CFGD_MODULE_ZELD;
    ctx->cfg.notify = notify;
    ctx->cfg.vrf_id = zel_policy_cdb_vrf_id;
    int rc = cfgd_module_init(&params, nullptr, &ctx->cfg.cfgd);
    if (rc == 3)
        ZEL_LOG("ConfD not reachable yet; retrying in the background");
    if (rc == 0 || rc == 3)
        return 0;
    ctx->cfg = {};
    return rc;
}

void zel_confd_unstage(zel_ctx *ctx)
{
    cfgd_module_free(ctx->cfg.cfgd);
    ctx->cfg = {};
}
