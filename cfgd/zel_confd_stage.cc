#include "cfgd/zel_confd_stage.h"

#include <cstdio>
#include <cstring>

#include "common/zel_log.h"
#include "yang/zel_yang_hashes.h"

namespace
{

constexpr uint32_t P = zel_ns_policy;
constexpr uint32_t V = zel_ns_vpn;

cfgd_sub_point point(const char *path, uint32_t ns, uint8_t keys, uint8_t add, uint8_t del)
{
    cfgd_sub_point p{};
    snprintf(p.path, sizeof p.path, "%s", path);
    p.ns = ns;
    p.num_keys = keys;
    p.priorities = cfgd_prio(add, del);
    return p;
}

// Lists are added first and deleted last; access lists, their bindings and SLA classes
// are added last and deleted first.
cfgd_sub_point g_points[ZEL_CONFD_NUM_POINTS + 1] = {
    point("policy/class-map/class", P, 1, 6, 0),
    point("policy/lists/data-prefix-list", P, 1, 1, 6),
    point("policy/lists/data-prefix-list/ip-prefix", P, 2, 1, 6),
    point("policy/lists/app-list", P, 1, 1, 6),
    point("policy/lists/app-list/app", P, 2, 1, 6),
    point("policy/lists/app-list/app-family", P, 2, 1, 6),
    point("policy-from-ostrel/sla-class", P, 1, 6, 1),
    point("policy-from-ostrel/lists/vpn-list", P, 1, 1, 6),
    point("policy-from-ostrel/lists/vpn-list/vpn", P, 2, 1, 6),
    point("policy-from-ostrel/lists/data-prefix-list", P, 1, 1, 6),
    point("policy-from-ostrel/lists/data-prefix-list/ip-prefix", P, 2, 1, 6),
    point("policy-from-ostrel/lists/app-list", P, 1, 1, 6),
    point("policy-from-ostrel/lists/app-list/app", P, 2, 1, 6),
    point("policy-from-ostrel/lists/app-list/app-family", P, 2, 1, 6),
    point("policy-from-ostrel/policer", P, 1, 1, 6),
    point("policy-from-ostrel/data-policy", P, 1, 2, 5),
    point("policy-from-ostrel/data-policy/vpn-list", P, 2, 3, 4),
    point("policy-from-ostrel/data-policy/vpn-list/sequence/action/set/qor-tloc-pref-list", P, 4, 3, 4),
    point("policy-from-ostrel/data-policy/vpn-list/sequence", P, 3, 4, 3),
    point("policy-from-ostrel/app-route-policy", P, 1, 2, 5),
    point("policy-from-ostrel/app-route-policy/vpn-list", P, 2, 3, 4),
    point("policy-from-ostrel/app-route-policy/vpn-list/sequence", P, 3, 4, 3),
    point("policy", P, 0, 1, 6),
    point("policy/mirror", P, 1, 1, 6),
    point("policy/mirror/interface", P, 2, 1, 6),
    point("policy/mirror/remote-dest", P, 2, 1, 6),
    point("policy/policer", P, 1, 1, 6),
    point("policy/access-list", P, 1, 6, 1),
    point("policy/access-list/sequence", P, 2, 6, 1),
    point("policy/ipv6/access-list", P, 1, 6, 1),
    point("policy/ipv6/access-list/sequence", P, 2, 6, 1),
    point("vpn/vpn-instance/interface/access-list", V, 3, 6, 1),
    point("vpn/vpn-instance/interface/ipv6/access-list", V, 3, 6, 1),
    point("vpn/vpn-instance/interface", V, 2, 6, 1),
    point("vpn/vpn-instance", V, 1, 6, 1),
    {},
};

confd_valpoint_cb g_valpoints[1] = {};
confd_action_cbs g_actions[ZEL_CONFD_NUM_ACTIONS + 1] = {};

zel_confd_commit_fn g_commit_hook = nullptr;
zel_confd_data_cbs_fn g_data_cbs_hook = nullptr;
cfgd_context *g_cfgd = nullptr;

int zel_confd_register_cbs(cfgd_context *cfgd) { return g_data_cbs_hook != nullptr ? g_data_cbs_hook(cfgd) : 0; }

// The end of every configuration notification: the policy model commits the batch.
void zel_confd_subs_done(cfgd_context *cfgd, int trigger)
{
    if (g_commit_hook != nullptr)
        g_commit_hook(static_cast<zel_ctx *>(cfgd->params.app_ctx), trigger);
}

}  // namespace

cfgd_sub_point *zel_confd_sub_points() { return g_points; }

confd_action_cbs *zel_confd_action_points()
{
    if (g_actions[0].actionpoint[0] == '\0')
        for (unsigned i = 0; i < ZEL_CONFD_NUM_ACTIONS; i++)
            snprintf(g_actions[i].actionpoint, sizeof g_actions[i].actionpoint, "%s", zel_yang_actionpoints[i]);
    return g_actions;
}

int zel_confd_set_handler(const char *path, cfgd_sub_handler handler)
{
    for (cfgd_sub_point *p = g_points; p->path[0] != '\0'; ++p)
        if (strcmp(p->path, path) == 0) {
            p->handler = handler;
            return 0;
        }
    return 2;
}

int zel_confd_set_action(const char *actionpoint, decltype(confd_action_cbs::command) command,
                         decltype(confd_action_cbs::action) action)
{
    for (confd_action_cbs *a = zel_confd_action_points(); a->actionpoint[0] != '\0'; ++a)
        if (strcmp(a->actionpoint, actionpoint) == 0) {
            a->command = command;
            a->action = action;
            return 0;
        }
    return 2;
}

void zel_confd_set_commit_hook(zel_confd_commit_fn fn) { g_commit_hook = fn; }
void zel_confd_set_data_cbs_hook(zel_confd_data_cbs_fn fn) { g_data_cbs_hook = fn; }

cfgd_context *zel_confd_context() { return g_cfgd; }

int zel_confd_init(zel_ctx *ctx)
{
    cfgd_module_params params{};
    params.app_ctx = ctx;
    params.sub_points = g_points;
    params.valpoints = g_valpoints;
    params.actionpoints = zel_confd_action_points();
    params.register_cbs_cb = zel_confd_register_cbs;
    params.subs_done_cb = zel_confd_subs_done;
    params.base = ctx->base;
    params.timer_ctx = ctx->tmr_mgr;
    params.module_id = CFGD_MODULE_ZELD;
    int rc = cfgd_module_init(&params, nullptr, &g_cfgd);
    if (rc == 3)
        ZEL_LOG("ConfD not reachable yet; retrying in the background");
    return rc == 0 || rc == 3 ? 0 : rc;
}

void zel_confd_deinit(zel_ctx *)
{
    cfgd_module_free(g_cfgd);
    g_cfgd = nullptr;
}
