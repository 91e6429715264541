// Publication: from a rule table to a program that the forwarding plane runs, and the commit pass
// that publishes every marked filter owner.
//
// One path serves every owner of a filter (a policy vpn-list today, an access list next):
//   rule table -> zel_compile -> program memory and filter slot -> bind -> alert -> status.
// What differs between owners (their log and alert lines, which of them are debug-gated, how they
// bind and unbind, their status notification) comes from the owner's zel_publish_ops, not from flags
// inside the path. The pass walks every kind of owner in the order of zel_owner_kinds().
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "policy/zel_policy_model.h"

struct confd_tag_value;

// What an owner does at the points where owners differ; `owner` is the owner's own record.
struct zel_publish_ops {
    void (*compile_failed)(zel_ctx *ctx, void *owner, int rc);
    // The image of `size` bytes found no program memory; the filter is left on the no-filter index.
    void (*no_memory)(zel_ctx *ctx, void *owner, uint32_t size);
    // Published again after an earlier lack of program memory.
    void (*reprogrammed)(zel_ctx *ctx, void *owner);
    void (*bind)(zel_ctx *ctx, void *owner);
    void (*unbind)(zel_ctx *ctx, void *owner);  // only called while bound
};

// Compiles rt and publishes the program in place of the filter's previous one (unbound and freed
// only once the new one exists); the compile context is reset after. 0 (also when the program found
// no memory: the previous one is dropped and the owner told), or the compiler's code: then rt is
// freed, the owner told, and the previous program stays published.
int zel_publish(zel_ctx *ctx, zel_filter *f, rule_table *rt, bool was_without_memory, const zel_publish_ops &ops,
                void *owner);
// Unbinds a bound filter and frees its program and rule table.
void zel_unpublish(zel_ctx *ctx, zel_filter *f, const zel_publish_ops &ops, void *owner);

// One kind of filter owner as the pass, the memory retry and pxrd's registration see it.
struct zel_owner_kind {
    const char *name;
    int (*process)(zel_ctx *ctx);    // publish every marked owner
    void (*oom_mark)(zel_ctx *ctx);  // mark every owner left without program memory
    void (*announce)(zel_ctx *ctx);  // send every binding again
};
std::span<const zel_owner_kind> zel_owner_kinds();

// The commit pass over every kind; 0 or the first failing kind's code.
int zel_process_policies(zel_ctx *ctx);
// Blocks came free: every owner left without program memory is marked and the pass runs.
int zel_process_oom_policies(zel_ctx *ctx, uint32_t blocks_freed);
// pxrd registered: every kind announces its bindings.
void zel_policy_announce(zel_ctx *ctx);
// The flow-visibility state word follows the policies that ask for flow visibility.
void zel_policy_flow_visibility_sync(zel_ctx *ctx);

// Policy vpn-lists.
int zel_process_policy_vpn_list(zel_ctx *ctx, zel_policy_vpn_list *pvl, zel_policy *policy);
// Drops the published program, then re-derives the vpn-list from the model for a rebuild.
int zel_policy_change(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl);
// Unbinds a bound vpn-list (opcode 2), frees its program and rule table.
void zel_policy_unpublish(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl);
// One binding message for a policy vpn-list (all ranges of its vpn-list, or only `range`). A message
// too large to send (22) is reported as a failed policy: alert and status notification.
int zel_policy_send_binding(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl, const zel_vpn_range *range,
                            uint8_t opcode);
// The same for some ranges of the vpn-list.
int zel_policy_send_ranges(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl,
                           std::span<const zel_vpn_range> ranges, uint8_t opcode);
// The message zel_policy_send_binding sends; empty when the vpn-list has no VPNs.
int zel_policy_binding_encode(zel_ctx *ctx, const zel_policy *policy, const zel_policy_vpn_list *pvl,
                              const zel_vpn_range *range, uint8_t opcode, std::vector<uint8_t> *out);

// The eight tag values of the policy status notification. text and the names must outlive values.
void zel_policy_status_values(confd_tag_value *values, const char *text, const ip_addr_t &addr, const char *policy,
                              const char *vpn_list, const char *status);

// Access lists: compiled at commit when new or changed, attached to all their bindings.
int zel_process_access_list_change(zel_ctx *ctx, zel_access_list *acl);
// Detaches a published list from all its bindings, frees its program and rule table.
void zel_access_list_unpublish(zel_ctx *ctx, zel_access_list *acl);
// One attach (3) or detach (4) message: the binding `one`, or all of the list's bindings.
int zel_acl_attach_send(zel_ctx *ctx, const zel_access_list &acl, uint8_t op, const zel_acl_binding *one);
