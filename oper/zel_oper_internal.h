// The command callbacks of the oper module's source units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "oper/zel_oper.h"

struct zel_filter;
struct zel_sequence;

// The program an owner (policy vpn-list or access list) has published, nullptr when its filter slot is
// unbound or the no-memory one.
const void *zel_oper_program(const zel_ctx *ctx, const zel_filter &owner);

// The counter names and the policer keys (name, index) an owner's sequences act with; either output
// may be null.
void zel_oper_stat_names(const std::map<uint32_t, std::unique_ptr<zel_sequence>> &seqs, std::set<std::string> *counters,
                         std::set<std::pair<std::string, int32_t>> *policers);

// Dump commands ("command" callbacks): each prints its databases to the requesting CLI session.
// 0; -1 without a daemon context.
using zel_dump_command = int(confd_user_info *uinfo, char *path, int argc, char **argv);
zel_dump_command zel_dump_admin_tech, zel_dump_filter, zel_dump_msgq, zel_dump_memory_stats, zel_dump_memory_map,
    zel_dump_config, zel_dump_policy, zel_dump_acl, zel_dump_acl6, zel_dump_vpn_list, zel_dump_prefix_list,
    zel_dump_tloc_list, zel_dump_tloc, zel_dump_mirror, zel_dump_policer, zel_dump_class, zel_dump_sla_class,
    zel_dump_all, zel_dump_app_list;

// Debug categories 0 config, 1 kro, 2 dpi, 3 policy.
template <size_t I>
int zel_debug_one(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_debug_all(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_debug_disable_all(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);

int zel_clear_data_policy(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);
int zel_clear_app_route_policy(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                               int n);
int zel_clear_policy_acl(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_clear_policy_acl6(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);

// Which filter, sequence and action block apply to one packet (oper/zel_explain.cc).
int zel_explain(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
