#include "oper/zel_oper.h"

#include <array>

#include "cfgd/cfgd_api.h"
#include "oper/zel_oper_internal.h"
#include "policy/zel_policy_model.h"

namespace
{

// Dumps first, then the clearing and debug commands; the inspection engine serves its own rows
// between them (zel_dpi_actions).
const std::array kActions{
    confd_action_cbs{"zel_dump_admin_tech", nullptr, nullptr, nullptr, zel_dump_admin_tech},
    confd_action_cbs{"zel_dump_filter", nullptr, nullptr, nullptr, zel_dump_filter},
    confd_action_cbs{"zel_dump_msgq", nullptr, nullptr, nullptr, zel_dump_msgq},
    confd_action_cbs{"zel_dump_memory_stats", nullptr, nullptr, nullptr, zel_dump_memory_stats},
    confd_action_cbs{"zel_dump_memory_map", nullptr, nullptr, nullptr, zel_dump_memory_map},
    confd_action_cbs{"zel_dump_config", nullptr, nullptr, nullptr, zel_dump_config},
    confd_action_cbs{"zel_dump_policy", nullptr, nullptr, nullptr, zel_dump_policy},
    confd_action_cbs{"zel_dump_acl", nullptr, nullptr, nullptr, zel_dump_acl},
    confd_action_cbs{"zel_dump_acl6", nullptr, nullptr, nullptr, zel_dump_acl6},
    confd_action_cbs{"zel_dump_vpn_list", nullptr, nullptr, nullptr, zel_dump_vpn_list},
    confd_action_cbs{"zel_dump_prefix_list", nullptr, nullptr, nullptr, zel_dump_prefix_list},
    confd_action_cbs{"zel_dump_tloc_list", nullptr, nullptr, nullptr, zel_dump_tloc_list},
    confd_action_cbs{"zel_dump_tloc", nullptr, nullptr, nullptr, zel_dump_tloc},
    confd_action_cbs{"zel_dump_mirror", nullptr, nullptr, nullptr, zel_dump_mirror},
    confd_action_cbs{"zel_dump_policer", nullptr, nullptr, nullptr, zel_dump_policer},
    confd_action_cbs{"zel_dump_class", nullptr, nullptr, nullptr, zel_dump_class},
    confd_action_cbs{"zel_dump_sla_class", nullptr, nullptr, nullptr, zel_dump_sla_class},
    confd_action_cbs{"zel_dump_all", nullptr, nullptr, nullptr, zel_dump_all},
    confd_action_cbs{"zel_dump_app_list", nullptr, nullptr, nullptr, zel_dump_app_list},
    confd_action_cbs{"zel_clear_policy_acl", nullptr, nullptr, zel_clear_policy_acl},
    confd_action_cbs{"zel_clear_policy_acl6", nullptr, nullptr, zel_clear_policy_acl6},
    confd_action_cbs{"zel_clear_data_policy", nullptr, nullptr, zel_clear_data_policy},
    confd_action_cbs{"zel_clear_app_route_policy", nullptr, nullptr, zel_clear_app_route_policy},
    confd_action_cbs{"zel_debug_config", nullptr, nullptr, zel_debug_one<0>},
    confd_action_cbs{"zel_debug_kro", nullptr, nullptr, zel_debug_one<1>},
    confd_action_cbs{"zel_debug_dpi", nullptr, nullptr, zel_debug_one<2>},
    confd_action_cbs{"zel_debug_policy", nullptr, nullptr, zel_debug_one<3>},
    confd_action_cbs{"zel_debug_all", nullptr, nullptr, zel_debug_all},
    confd_action_cbs{"zel_debug_disable_all", nullptr, nullptr, zel_debug_disable_all},
    confd_action_cbs{"zel_explain", nullptr, nullptr, zel_explain},
};

}  // namespace

std::span<const confd_action_cbs> zel_oper_actions() { return kActions; }

zel_ctx *zel_oper_ctx(const confd_user_info *uinfo)
{
    if (!uinfo || !uinfo->dx || !uinfo->dx->d_opaque)
        return nullptr;
    return static_cast<zel_ctx *>(static_cast<cfgd_context *>(uinfo->dx->d_opaque)->params.app_ctx);
}

const void *zel_oper_program(const zel_ctx *ctx, const zel_filter &f)
{
    if (f.filter_index == ZEL_FILTER_UNBOUND || f.filter_index >= ctx->policy_db->no_filter)
        return nullptr;
    return f.program;
}

void zel_oper_stat_names(const std::map<uint32_t, std::unique_ptr<zel_sequence>> &seqs, std::set<std::string> *counters,
                         std::set<std::pair<std::string, int32_t>> *policers)
{
    for (const auto &[num, seq] : seqs)
        for (const auto &act : seq->actions) {
            if (act->param_type == ZEL_ACT_COUNT && counters)
                counters->insert(act->v.name);
            else if (act->param_type == ZEL_ACT_POLICE && policers)
                policers->emplace(act->v.name, act->seq);
        }
}
