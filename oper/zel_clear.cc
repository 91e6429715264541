// Clearing the statistics of policies and access lists: the counter and policer banks inside their
// published programs.
#include <set>
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

// Counters, then policers, of one owner (a policy vpn-list or an access list) whose program is published.
void clear_owner(const zel_ctx *ctx, const zel_filter &f, const std::map<uint32_t, std::unique_ptr<zel_sequence>> &seqs)
{
    if (!zel_oper_program(ctx, f))
        return;
    // Each name once: a clear flips the name's bank in every slot that carries it.
    std::set<std::string> counters;
    std::set<std::pair<std::string, int32_t>> policers;
    zel_oper_stat_names(seqs, &counters, &policers);
    for (const std::string &c : counters)
        zel_counter_clear(f.program, c.c_str());
    for (const auto &[name, index] : policers)
        zel_policer_clear(f.program, (std::to_string(index) + "." + name).c_str());
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
            clear_owner(ctx, *pvl, pvl->sequences);
    }
    return 0;
}

int clear_access_lists(const confd_user_info *uinfo, uint32_t family, const confd_tag_value_t *params, int n)
{
    zel_ctx *ctx = zel_oper_ctx(uinfo);
    if (!ctx || !ctx->policy_db)
        return 0;
    const std::string name = name_param(params, n);
    for (auto &[acl_name, acl] : ctx->policy_db->access_lists[family])
        if (name.empty() || acl_name == name)
            clear_owner(ctx, *acl, acl->sequences);
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

int zel_clear_policy_acl(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    return clear_access_lists(uinfo, ZEL_ACL_V4, params, n);
}

int zel_clear_policy_acl6(confd_user_info *uinfo, xml_tag *, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    return clear_access_lists(uinfo, ZEL_ACL_V6, params, n);
}
