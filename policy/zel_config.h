// Operations on the policy model: what configuration handlers call. No I/O but the messages a VPN-range
// change of a bound vpn-list sends at once.
//
// Results are errno numbers: 0, 2 not found, 12 no memory, 17 exists, 22 invalid, 74 missing.
#pragma once

#include "policy/zel_policy_model.h"

// ---------------------------------------------------------------------------------------------------
// Database lifecycle.

// Creates ctx->policy_db (no classes yet); 12 without memory. no_filter: the filter count.
int zel_policy_db_init(zel_ctx *ctx, uint32_t no_filter);
// Removes every policy (unbinding and freeing programs), list and class; ctx->policy_db null.
void zel_policy_db_free(zel_ctx *ctx);

// ---------------------------------------------------------------------------------------------------
// SLA and forwarding classes.

int zel_sla_class_init(zel_ctx *ctx);
void zel_sla_class_deinit(zel_ctx *ctx);
int zel_sla_class_add(zel_ctx *ctx, const char *name);
int zel_sla_class_delete(zel_ctx *ctx, const char *name);
int zel_sla_class_find(zel_ctx *ctx, const char *name, zel_sla_class **out);
// The id of the class of that name, 0 ("__all_tunnels__") when there is none.
uint8_t zel_sla_class_id(zel_ctx *ctx, const char *name);

int zel_fwd_class_init(zel_ctx *ctx);
void zel_fwd_class_deinit(zel_ctx *ctx);
int zel_fwd_class_add(zel_ctx *ctx, const char *name, uint8_t queue);
int zel_fwd_class_modify(zel_ctx *ctx, const char *name, uint8_t queue);
int zel_fwd_class_delete(zel_ctx *ctx, const char *name);
zel_fwd_class *zel_fwd_class_find(zel_ctx *ctx, const char *name);

// ---------------------------------------------------------------------------------------------------
// Policies.

// direction: what binding messages carry for the policy's vpn-lists (0 for app-route policies).
int zel_config_policy_add(zel_ctx *ctx, uint32_t type, const char *name, uint32_t direction = 0);
int zel_config_policy_find(zel_ctx *ctx, uint32_t type, const char *name, zel_policy **out);
int zel_config_policy_delete(zel_ctx *ctx, uint32_t type, const char *name);
int zel_config_policy_direction_set(zel_ctx *ctx, zel_policy *policy, uint32_t direction);

int zel_config_policy_vpn_list_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                   uint32_t action, const char *sla_class);
int zel_config_policy_vpn_list_modify(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                      uint32_t action, const char *sla_class);
int zel_config_policy_vpn_list_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                    zel_policy_vpn_list **out);
int zel_config_policy_vpn_list_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list);

int zel_config_sequence_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                             zel_sequence **out);
inline int zel_config_rule_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                                zel_sequence **out)
{
    return zel_config_sequence_find(ctx, type, policy, vpn_list, seq, out);
}
int zel_config_rule_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                        zel_sequence **out);
int zel_config_rule_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq);

// What a match gives: values for single and range fields, a prefix, a list name, or a class name
// for FC. Policies resolve controller lists only, so list_type does not select the list.
struct zel_match_value {
    uint32_t low;
    uint32_t high;
    uint8_t addr[4];
    uint8_t length;
    const char *name;
    uint32_t list_type;
};
// A list match also takes the policy vpn-list's reference on the list (and, for an application
// list, the DPI reference); callers must not take it themselves. Rule delete releases it.
int zel_config_match_add(zel_ctx *ctx, uint32_t field, const zel_match_value *value, zel_sequence *seq);
int zel_config_app_list_fields(zel_ctx *ctx, uint32_t match_type, zel_app_list *list, zel_sequence *seq);
// Removes every value configured for `field` (a list field releases its list references); the
// sequence's MATCH_ANY entry stays. 74 for a field out of range.
int zel_config_rule_field_clear(zel_ctx *ctx, uint32_t field, zel_sequence *seq);

// The VRF id of a VPN read from the running configuration over a short-lived connection; false
// (logged) when it cannot be read. The daemon installs it as zel_policy_db::vrf_id.
bool zel_policy_cdb_vrf_id(uint64_t vpn, uint16_t *vrf);

// tag: the configuration element the action came from, by which it is found and deleted again.
int zel_config_action_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                          uint32_t code, uint32_t param_type, const zel_action_value *value, uint32_t tag = 0);
// The sequence's action added with `tag`: 2 when the sequence or the action does not exist.
int zel_config_action_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                           uint32_t tag, zel_action **out);
// Deletes that action with the references it holds: 2 when the sequence or the action does not exist.
int zel_config_action_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                             uint32_t tag);

// ---------------------------------------------------------------------------------------------------
// Lists.

int zel_config_vpn_list_add(zel_ctx *ctx, const char *name);
int zel_config_vpn_list_delete(zel_ctx *ctx, const char *name);
int zel_config_vpn_range_add(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high);
int zel_config_vpn_range_delete(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high);
int zel_config_vpn_instance_apply(zel_ctx *ctx, uint64_t vpn);
zel_vpn_list *zel_config_vpn_list_find(zel_ctx *ctx, const char *name);

int zel_config_pfx_list_add(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_delete(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_prefix_add(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix);
int zel_config_pfx_list_prefix_delete(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix);
int zel_config_pfx_list_change(zel_ctx *ctx, const char *name, uint32_t source);
zel_pfx_list *zel_config_pfx_list_find(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_ref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl);
int zel_config_pfx_list_unref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl);

int zel_config_app_list_add(zel_ctx *ctx, const char *name, uint32_t source);
// 16 while a policy still references the list (the list stays).
int zel_config_app_list_delete(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_app_list_entry_add(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry);
int zel_config_app_list_entry_delete(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry);
int zel_config_app_list_change(zel_ctx *ctx, const char *name, uint32_t source);
zel_app_list *zel_config_app_list_find(zel_ctx *ctx, const char *name, uint32_t source);
// user_kind: 2 a policy vpn-list (policy type, policy, vpn-list), 1 an access list (type: its family
// ZEL_ACL_FAMILY_V4 or _V6, user: its name).
int zel_config_policy_app_list_ref(zel_ctx *ctx, const char *list, uint32_t user_kind, uint32_t type, const char *user,
                                   const char *vpn_list);
int zel_config_policy_app_list_unref(zel_ctx *ctx, const char *list, uint32_t user_kind, uint32_t type,
                                     const char *user, const char *vpn_list);
// Application-family number 1..31 of a name, 0 when unknown.
uint32_t zel_app_family_id(const char *name);

// The TLOC list of one sequence, created when absent (null without memory).
zel_tloc_list *zel_config_tloc_list_get(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                        uint32_t seq);
// The same without creating it.
zel_tloc_list *zel_config_tloc_list_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                         uint32_t seq);
int zel_config_tloc_list_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq);

// Mirrors by name. With neither interface nor destination the mirror itself is added or deleted;
// else one interface or one remote destination of an existing mirror (modify: the destination's
// source address). Every change marks the policies whose actions copy the mirror.
int zel_config_mirror_add(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest);
int zel_config_mirror_modify(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest);
int zel_config_mirror_delete(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest);
zel_mirror *zel_config_mirror_find(zel_ctx *ctx, const char *name);

// Policers: add (17 when it exists), modify the values in `mask` (2 when absent; written into the
// published programs in place, without recompiling), delete (2 when absent).
int zel_config_policer_add(zel_ctx *ctx, const zel_policer_cfg &cfg);
int zel_config_policer_modify(zel_ctx *ctx, const zel_policer_cfg &cfg, uint8_t mask);
int zel_config_policer_delete(zel_ctx *ctx, const zel_policer_cfg &cfg);
zel_policer *zel_config_policer_find(zel_ctx *ctx, uint32_t source, const char *name, int32_t id = -1);
// Adds a controller policer or redefines every value of an existing one.
int zel_config_policer_set(zel_ctx *ctx, const char *name, uint64_t rate_bps, uint64_t burst_bytes, uint32_t exceed);
int zel_config_policer_ref(zel_ctx *ctx, uint32_t source, const char *policer, const char *instance,
                           zel_policy_vpn_list *pvl);
int zel_config_policer_unref(zel_ctx *ctx, uint32_t source, const char *policer, const char *instance);

// ---------------------------------------------------------------------------------------------------
// Access lists, per family (ZEL_ACL_V4, ZEL_ACL_V6): an IPv4 and an IPv6 list may share a name. Their
// sequences take matches through zel_config_match_add and zel_config_rule_field_clear, with local
// lists.

zel_access_list *zel_acl_find(zel_ctx *ctx, uint32_t family, const char *name);
int zel_config_access_list_find(zel_ctx *ctx, const char *name, uint32_t family, zel_access_list **out);
// New list, flagged new; 17 when it exists.
int zel_config_access_list_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t default_action);
int zel_config_access_list_modify(zel_ctx *ctx, const char *name, uint32_t family, uint32_t default_action);
// Detaches and frees the program, then every sequence and binding.
int zel_config_access_list_delete(zel_ctx *ctx, const char *name, uint32_t family);

int zel_intf_config_rule_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq, zel_sequence **out);
int zel_config_access_list_rule_find(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq, zel_sequence **out);
int zel_config_access_list_rule_delete(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq);
// As zel_config_action_add; police names a local policer, set fc a class that must exist (2).
int zel_intf_config_action_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq, uint32_t code,
                               uint32_t param_type, const zel_action_value *value, uint32_t tag);
int zel_config_access_list_action_delete(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq, uint32_t tag);

// Stores the binding and attaches a published filter to it: 2 without the list, 17 when the
// interface and direction carry it already, 22 for an interface name over 32 characters.
int zel_config_access_list_bind(zel_ctx *ctx, uint32_t family, const char *name, const zel_acl_binding &b);
// Detaches and removes the binding: an absent list is no error, an absent binding gives 2.
int zel_config_access_list_unbind(zel_ctx *ctx, uint32_t family, const char *name, const zel_acl_binding &b);
// The list of the family that the interface and direction of `b` carry; nullptr when none does.
zel_access_list *zel_acl_bound_at(zel_ctx *ctx, uint32_t family, const zel_acl_binding &b);
// The interface or VPN went: its bindings in every list of both families go with it.
void zel_config_intf_unbind_all(zel_ctx *ctx, const char *ifname);
void zel_config_vpn_unbind_all(zel_ctx *ctx, uint64_t vpn);
