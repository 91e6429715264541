// Clearing the statistics of policies: the counter and policer banks inside their published programs.
#include <cstdio>
#include <string>

#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "compiler/zel_action.h"
#include "oper/zel_oper_internal.h"
#include "policy/zel_config.h"

namespace
{

// The optional name parameter; empty when not given.
std::string name_param(const confd_tag_value_t *params, int n)
{
    for (int i = 0; i < n; i++) {
        const confd_value_t *v = &params[i].v;
        if (v->type == C_XMLBEGIN || v->type == C_XMLEND)
            continue;
        ZEL_ASSERT_AT("zel_clear", __LINE__, (&params[i].v)->type == C_BUF);
        return std::string(reinterpret_cast<const char *>(v->val.buf.ptr), v->val.buf.size)
            .substr(0, ZEL_POLICY_NAME_LEN - 1);
    }
    return {};
}

// Counters, then policers, of one vpn-list whose program is published.
void clear_pvl(const zel_ctx *ctx, zel_policy_vpn_list &pvl)
{
    if (pvl.filter_index == ZEL_FILTER_UNBOUND || pvl.filter_index >= ctx->policy_db->no_filter || !pvl.program)
        return;
    for (const auto &[counter, uses] : pvl.counters)
        zel_counter_clear(pvl.program, counter.c_str());
    for (const auto &[num, seq] : pvl.sequences)
        for (const auto &act : seq->actions)
            if (act->param_type == ZEL_ACT_POLICE) {
                char key[ZEL_POLICY_NAME_LEN + 16];
                snprintf(key, sizeof key, "%d.%s", act->seq, act->v.name);
                zel_policer_clear(pvl.program, key);
            }
}

int clear_policies(const confd_user_info *uinfo, uint32_t type, const confd_tag_value_t *params, int n)
{
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (!ctx || !ctx->policy_db)
        return 0;
    const std::string name = name_param(params, n);
    for (auto &[key, policy] : ctx->policy_db->policies) {
        if (policy->type != type || (!name.empty() && policy->name != name))
            continue;
        for (auto &[vl, pvl] : policy->vpn_lists)
            clear_pvl(ctx, *pvl);
    }
    return 0;
}

}  // namespace

int zel_clear_data_policy(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    return clear_policies(uinfo, ZEL_POLICY_TYPE_DATA, params, n);
}

int zel_clear_app_route_policy(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    return clear_policies(uinfo, ZEL_POLICY_TYPE_PFR, params, n);
}
