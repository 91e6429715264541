// The publication path and the commit pass.
#include "policy/zel_publish.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "cfgd/cfgd_api.h"
#include "common/msgq_util.h"
#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "dataplane/fp_common.h"
#include "platform/cdb/confd_lib.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_internal.h"
#include "policy/zel_policy_rules.h"
#include "yang/zel_yang_hashes.h"

// ----------------------------------------------------------------------------------------------------
// The path every owner takes.

int zel_publish(zel_ctx *ctx, zel_filter *f, rule_table *rt, bool was_without_memory, const zel_publish_ops &ops,
                void *owner)
{
    compile_context *cc = ctx->compile.compiler;
    void *image = nullptr;
    uint32_t size = 0;
    int rc = zel_compile(cc, rt, &image, &size);
    // Only a lack of program memory waits for freed blocks; the compiler's own memory running out is a
    // failure of this configuration.
    if (rc != 0 && (rc != 12 || zel_compile_no_memory(cc) == ZEL_NO_MEMORY_COMPILER)) {
        zel_rule_table_free(rt);
        zel_compile_context_reset(cc);
        ops.compile_failed(ctx, owner, rc);
        return rc;
    }
    const uint32_t filter_type = f->filter_type;
    zel_unpublish(ctx, f, ops, owner);
    f->filter_type = filter_type;
    f->rules = rt;
    const bool was_failed = f->failed != 0;
    f->failed = 0;
    if (rc == 12) {
        f->filter_index = ctx->policy_db->no_filter;
        ops.no_memory(ctx, owner, size);
    } else {
        f->program = image;
        f->program_size = size;
        f->filter_index = static_cast<uint32_t>(zel_compile_filter_index(cc));
        if (was_without_memory || was_failed)
            ops.reprogrammed(ctx, owner);
    }
    ops.bind(ctx, owner);
    zel_compile_context_reset(cc);
    return 0;
}

void zel_unpublish(zel_ctx *ctx, zel_filter *f, const zel_publish_ops &ops, void *owner)
{
    if (f->filter_index != ZEL_FILTER_UNBOUND) {
        ops.unbind(ctx, owner);
        f->filter_index = ZEL_FILTER_UNBOUND;
        f->filter_type = 0;
    }
    zel_program_free(ctx->compile.program_memory, f->program);
    f->program = nullptr;
    f->program_size = 0;
    zel_rule_table_free(f->rules);
    f->rules = nullptr;
}

// ----------------------------------------------------------------------------------------------------
// Policy vpn-lists as owners.

namespace
{

struct pvl_owner {
    zel_policy *policy;
    zel_policy_vpn_list *pvl;
};

void status_notify(zel_ctx *ctx, const pvl_owner &o, const char *status);

// A build that failed for a reason other than program memory, or a binding that cannot be sent:
// told once, until the vpn-list is published again.
void report_failed(zel_ctx *ctx, const pvl_owner &o, const char *why)
{
    if (o.pvl->failed)
        return;
    o.pvl->failed = 1;
    zel_event_line(zel_severity::alert, ZEL_EVENT_POLICY_FAILED, "Failed to program policy %s - %s: %s",
                   o.policy->name.c_str(), o.pvl->name.c_str(), why);
    status_notify(ctx, o, "Failed");
}

// The policy status notification's eight values for (policy, vpn-list), for the owner to adjust; false
// when no notification can be sent.
bool status_values(zel_ctx *ctx, confd_tag_value_t *values, const char *policy, const char *vpn_list,
                   const char *status)
{
    if (!ctx->cfg.notify)
        return false;
    ip_addr_t addr{};
    addr.family = AF_INET;
    cfgd_shm_get_addr(&addr);
    zel_policy_status_values(values, cfgd_shm_get_text(), addr, policy, vpn_list, status);
    return true;
}

void status_notify(zel_ctx *ctx, const pvl_owner &o, const char *status)
{
    confd_tag_value_t values[8];
    if (status_values(ctx, values, o.policy->name.c_str(), o.pvl->name.c_str(), status))
        ctx->cfg.notify(ctx, values, 8);
}

const zel_publish_ops kPvlOps{
    [](zel_ctx *ctx, void *owner, int rc) {
        auto &o = *static_cast<pvl_owner *>(owner);
        ZEL_LOG("Failed to compile policy %s - %s: %d", o.policy->name.c_str(), o.pvl->name.c_str(), rc);
        report_failed(ctx, o, "the compiler refused it; the previous program stays");
    },
    [](zel_ctx *ctx, void *owner, uint32_t size) {
        auto &o = *static_cast<pvl_owner *>(owner);
        ZEL_DEBUG(
            ZEL_DEBUG_POLICY, "Failed to allocate memory [%d/%d] for policy %s - %s. Continuing without the policy.",
            static_cast<int>(size), static_cast<int>((size + 127) / 128), o.policy->name.c_str(), o.pvl->name.c_str());
        zel_event_line(zel_severity::alert, ZEL_EVENT_POLICY_NO_MEMORY,
                       "Failed to allocate memory for policy %s - %s. Continuing without the policy.",
                       o.policy->name.c_str(), o.pvl->name.c_str());
        status_notify(ctx, o, "Failed");
    },
    [](zel_ctx *ctx, void *owner) {
        auto &o = *static_cast<pvl_owner *>(owner);
        zel_event_line(zel_severity::info, ZEL_EVENT_POLICY_REPROGRAMMED, "Successfully re-programmed policy %s - %s",
                       o.policy->name.c_str(), o.pvl->name.c_str());
        status_notify(ctx, o, "Success");
    },
    [](zel_ctx *ctx, void *owner) {
        auto &o = *static_cast<pvl_owner *>(owner);
        zel_policy_send_binding(ctx, o.policy, o.pvl, nullptr, ZEL_BIND_OP_BIND);
    },
    [](zel_ctx *ctx, void *owner) {
        auto &o = *static_cast<pvl_owner *>(owner);
        zel_policy_send_binding(ctx, o.policy, o.pvl, nullptr, ZEL_BIND_OP_UNBIND);
    },
};

// A vpn-list that fails is reported and does not hold up the others; the first failure is returned.
int process_policies(zel_ctx *ctx)
{
    int first = 0;
    for (auto &[key, policy] : ctx->policy_db->policies) {
        if (!policy->added && !policy->changed)
            continue;
        for (auto &[name, pvl] : policy->vpn_lists) {
            if (int rc = zel_process_policy_vpn_list(ctx, pvl.get(), policy.get()); rc != 0 && first == 0)
                first = rc;
            if (ctx->kick)
                ctx->kick();
        }
        policy->added = policy->changed = 0;
    }
    return first;
}

void oom_mark_policies(zel_ctx *ctx)
{
    for (auto &[key, policy] : ctx->policy_db->policies) {
        for (auto &[name, pvl] : policy->vpn_lists) {
            if (pvl->filter_index != ctx->policy_db->no_filter)
                continue;
            policy->changed = 1;
            pvl->changed = 1;
            ZEL_LOG("Retry programming for policy: %s-%d-%s", policy->name.c_str(), static_cast<int>(policy->type),
                    name.c_str());
        }
    }
}

// Each vpn-list of each policy: opcode 1, its filter, the vpn-list's name and all its VPNs, sent even
// without VPNs so that pxrd learns the filter.
void announce_policies(zel_ctx *ctx)
{
    for (auto &[key, policy] : ctx->policy_db->policies) {
        for (auto &[name, pvl] : policy->vpn_lists) {
            std::vector<zel_vpn_range> ranges;
            if (zel_vpn_list *vl = zel_config_vpn_list_find(ctx, name.c_str()))
                ranges.assign(vl->ranges.begin(), vl->ranges.end());
            const zel_bind_fields f{ZEL_BIND_OP_BIND, static_cast<uint8_t>(pvl->filter_type),
                                    static_cast<uint8_t>(pvl->direction), pvl->filter_index, pvl->name.c_str()};
            int rc = zel_bind_send(ctx, f, ranges, true);
            if (rc == 22)
                ZEL_LOG("VPN list %s has %u VPNs, too many for one binding message", pvl->name.c_str(),
                        zel_vpn_range_count(ranges));
            else if (rc != 0)
                break;
        }
    }
}

// ----------------------------------------------------------------------------------------------------
// Access lists as owners.

void acl_status_notify(zel_ctx *ctx, const zel_access_list &acl, const char *status)
{
    // The policy notification's head, the list's name in place of policy and vpn-list.
    confd_tag_value_t values[8];
    if (!status_values(ctx, values, "", "", status))
        return;
    CONFD_SET_TAG_XMLBEGIN(&values[0], zel_tag_policy_access_list_status, zel_ns_policy);
    CONFD_SET_TAG_BUF(&values[4], zel_tag_policy_access_list_name, acl.name.c_str(), acl.name.size());
    values[5] = values[6];
    CONFD_SET_TAG_XMLEND(&values[6], zel_tag_policy_access_list_status, zel_ns_policy);
    ctx->cfg.notify(ctx, values, 7);
}

const zel_publish_ops kAclOps{
    [](zel_ctx *ctx, void *owner, int rc) {
        auto &acl = *static_cast<zel_access_list *>(owner);
        ZEL_LOG("Failed to compile access list %s: %d", acl.name.c_str(), rc);
        if (!acl.failed)
            acl_status_notify(ctx, acl, "Failed");
        acl.failed = 1;
    },
    [](zel_ctx *ctx, void *owner, uint32_t size) {
        auto &acl = *static_cast<zel_access_list *>(owner);
        ZEL_LOG("Failed to allocate program memory [%d/%d] for access list - %s. Continuing without the access-list.",
                static_cast<int>(size), static_cast<int>((size + 127) / 128), acl.name.c_str());
        zel_event_line(zel_severity::alert, ZEL_EVENT_ACL_NO_MEMORY,
                       "Failed to allocate program memory for access list - %s. Continuing without the access-list.",
                       acl.name.c_str());
        acl_status_notify(ctx, acl, "Failed");
    },
    [](zel_ctx *ctx, void *owner) {
        auto &acl = *static_cast<zel_access_list *>(owner);
        zel_event_line(zel_severity::info, ZEL_EVENT_ACL_REPROGRAMMED, "Successfully re-programmed access list - %s",
                       acl.name.c_str());
        acl_status_notify(ctx, acl, "Success");
    },
    [](zel_ctx *ctx, void *owner) {
        zel_acl_attach_send(ctx, *static_cast<zel_access_list *>(owner), ZEL_ATTACH_OP_ATTACH, nullptr);
    },
    [](zel_ctx *ctx, void *owner) {
        auto &acl = *static_cast<zel_access_list *>(owner);
        // Without a link to pxrd (74) there is nothing attached to take back: pxrd learns the
        // bindings anew when it registers.
        if (int rc = zel_acl_attach_send(ctx, acl, ZEL_ATTACH_OP_DETACH, nullptr); rc != 0 && rc != 74)
            ZEL_LOG("Failed to unbind filter %d from all interfaces\n", static_cast<int>(acl.filter_index));
    },
};

// IPv4 lists, then IPv6 lists; the first failure is returned.
int process_access_lists(zel_ctx *ctx)
{
    int first = 0;
    for (auto &family : ctx->policy_db->access_lists)
        for (auto &[name, acl] : family) {
            if (int rc = zel_process_access_list_change(ctx, acl.get()); rc != 0 && first == 0)
                first = rc;
            if (ctx->kick)
                ctx->kick();
        }
    return first;
}

void oom_mark_access_lists(zel_ctx *ctx)
{
    for (auto &family : ctx->policy_db->access_lists)
        for (auto &[name, acl] : family) {
            if (acl->filter_index != ctx->policy_db->no_filter)
                continue;
            acl->changed = 1;
            ZEL_LOG(acl->family == ZEL_ACL_V6 ? "Retry programming for ACL6: %s" : "Retry programming for ACL: %s",
                    name.c_str());
        }
}

void announce_access_lists(zel_ctx *ctx)
{
    for (auto &family : ctx->policy_db->access_lists)
        for (auto &[name, acl] : family)
            if (acl->filter_index != ZEL_FILTER_UNBOUND &&
                zel_acl_attach_send(ctx, *acl, ZEL_ATTACH_OP_ATTACH, nullptr) == 74)
                return;
}

// Policies first, then the access lists.
constexpr std::array kOwnerKinds{
    zel_owner_kind{"policy", process_policies, oom_mark_policies, announce_policies},
    zel_owner_kind{"access-list", process_access_lists, oom_mark_access_lists, announce_access_lists},
};

}  // namespace

std::span<const zel_owner_kind> zel_owner_kinds() { return kOwnerKinds; }

int zel_policy_change(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    if (!ctx || !policy || !pvl)
        return 74;
    zel_policy_unpublish(ctx, policy, pvl);
    return zel_policy_refresh(ctx, policy, pvl);
}

void zel_policy_unpublish(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    pvl_owner o{policy, pvl};
    zel_unpublish(ctx, pvl, kPvlOps, &o);
}

int zel_process_policy_vpn_list(zel_ctx *ctx, zel_policy_vpn_list *pvl, zel_policy *policy)
{
    if (!ctx || !pvl || !policy)
        return 74;
    if (!policy->added && !pvl->changed)
        return 0;
    const bool was_without_memory = pvl->filter_index == ctx->policy_db->no_filter;
    pvl->changed = 0;
    pvl_owner o{policy, pvl};
    if (pvl->sequences.empty()) {
        zel_policy_unpublish(ctx, policy, pvl);
        pvl->failed = 0;
        return 0;
    }
    // The previous program stays published until the new one is built.
    rule_table *rt = nullptr;
    int rc = zel_policy_refresh(ctx, policy, pvl);
    if (rc == 0)
        rc = zel_policy_rule_table(ctx, policy, pvl, &rt);
    if (rc != 0) {
        report_failed(ctx, o, "its rules could not be built; the previous program stays");
        return rc;
    }
    pvl->filter_type = policy->type == ZEL_POLICY_TYPE_DATA ? ZEL_FILTER_TYPE_DATA : ZEL_FILTER_TYPE_PFR;
    return zel_publish(ctx, pvl, rt, was_without_memory, kPvlOps, &o);
}

void zel_access_list_unpublish(zel_ctx *ctx, zel_access_list *acl) { zel_unpublish(ctx, acl, kAclOps, acl); }

int zel_process_access_list_change(zel_ctx *ctx, zel_access_list *acl)
{
    if (!ctx || !acl)
        return 74;
    if (acl->filter_index != ctx->policy_db->no_filter && !acl->added && !acl->changed)
        return 0;
    const bool was_without_memory = acl->filter_index == ctx->policy_db->no_filter;
    acl->added = acl->changed = 0;
    if (acl->sequences.empty()) {
        zel_access_list_unpublish(ctx, acl);
        acl->failed = 0;
        return 0;
    }
    // The previous program stays attached until the new one is built.
    for (auto &[num, seq] : acl->sequences)
        if (int rc = zel_sequence_refresh(ctx, seq.get(), ZEL_LIST_SOURCE_LOCAL, acl->name.c_str()); rc != 0)
            return rc;
    auto def = std::make_unique<zel_action_data>();
    zel_default_action(acl->default_action, 0, 0, false, 0, def.get());
    char alias[16];
    snprintf(alias, sizeof alias, "%d", static_cast<int>(acl->family));
    rule_table *rt = zel_rule_table_create(acl->name.c_str(), alias, ZEL_ACTION_DATA_SIZE, def.get());
    if (!rt)
        return 12;
    for (auto &[num, seq] : acl->sequences) {
        char rname[16];
        snprintf(rname, sizeof rname, "%u", num);
        rule *r = zel_rule_add(rt, rname);
        if (int rc = r ? zel_compile_sequence(ctx, r, seq.get()) : 12; rc != 0) {
            ZEL_LOG("Failed to build sequence %u of access list %s: %d", num, acl->name.c_str(), rc);
            zel_rule_table_free(rt);
            zel_compile_context_reset(ctx->compile.compiler);
            kAclOps.compile_failed(ctx, acl, rc);
            return rc;
        }
    }
    return zel_publish(ctx, acl, rt, was_without_memory, kAclOps, acl);
}

// ----------------------------------------------------------------------------------------------------
// Binding messages of policy vpn-lists.

namespace
{

// The ranges a binding names: only `range`, or every range of the vpn-list; false when the global
// vpn-list is gone.
bool binding_ranges(zel_ctx *ctx, const zel_policy_vpn_list *pvl, const zel_vpn_range *range,
                    std::vector<zel_vpn_range> *out)
{
    zel_vpn_list *list = zel_config_vpn_list_find(ctx, pvl->name.c_str());
    if (!list)
        return false;
    if (range)
        out->assign(1, *range);
    else
        out->assign(list->ranges.begin(), list->ranges.end());
    return true;
}

}  // namespace

int zel_policy_binding_encode(zel_ctx *ctx, const zel_policy *policy, const zel_policy_vpn_list *pvl,
                              const zel_vpn_range *range, uint8_t opcode, std::vector<uint8_t> *out)
{
    if (!ctx || !pvl || !policy)
        return 74;
    std::vector<zel_vpn_range> ranges;
    if (!binding_ranges(ctx, pvl, range, &ranges))
        return 2;
    out->clear();
    const uint32_t n = zel_vpn_range_count(ranges);
    if (n == 0)
        return 0;
    out->resize(ZEL_BIND_HDR_LEN + 4ull * n);
    const zel_bind_fields f{opcode, static_cast<uint8_t>(pvl->filter_type), static_cast<uint8_t>(pvl->direction),
                            pvl->filter_index, policy->name.c_str()};
    out->resize(zel_bind_encode(out->data(), out->size(), f, ranges));
    return 0;
}

int zel_policy_send_binding(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl, const zel_vpn_range *range,
                            uint8_t opcode)
{
    if (!ctx || !pvl || !policy || !ctx->links.tabmgr)
        return 74;
    std::vector<zel_vpn_range> ranges;
    if (!binding_ranges(ctx, pvl, range, &ranges))
        return 2;
    return zel_policy_send_ranges(ctx, policy, pvl, ranges, opcode);
}

int zel_policy_send_ranges(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl,
                           std::span<const zel_vpn_range> ranges, uint8_t opcode)
{
    if (!ctx || !pvl || !policy || !ctx->links.tabmgr)
        return 74;
    const zel_bind_fields f{opcode, static_cast<uint8_t>(pvl->filter_type), static_cast<uint8_t>(pvl->direction),
                            pvl->filter_index, policy->name.c_str()};
    int rc = zel_bind_send(ctx, f, ranges, false);
    if (rc == 22) {
        ZEL_LOG("Binding of policy %s - %s names %u VPNs, too many for one message", policy->name.c_str(),
                pvl->name.c_str(), zel_vpn_range_count(ranges));
        pvl_owner o{policy, pvl};
        report_failed(ctx, o, "its VPNs do not fit in one binding message");
    }
    return rc;
}

// ----------------------------------------------------------------------------------------------------
// The pass over every kind of owner.

int zel_process_policies(zel_ctx *ctx)
{
    if (!ctx || !ctx->policy_db || !ctx->compile.compiler)
        return 74;
    for (const zel_owner_kind &k : kOwnerKinds)
        if (int rc = k.process(ctx); rc != 0)
            return rc;
    return 0;
}

int zel_process_oom_policies(zel_ctx *ctx, uint32_t blocks_freed)
{
    if (!ctx || !ctx->policy_db)
        return 0;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Processing oom policy (freed memory: %d)", static_cast<int>(blocks_freed));
    for (const zel_owner_kind &k : kOwnerKinds)
        k.oom_mark(ctx);
    zel_process_policies(ctx);
    return 0;
}

void zel_policy_announce(zel_ctx *ctx)
{
    if (!ctx->policy_db)
        return;
    for (const zel_owner_kind &k : kOwnerKinds)
        k.announce(ctx);
}

void zel_policy_flow_visibility_sync(zel_ctx *ctx)
{
    if (!ctx->policy_db || !fp_shmem_base())
        return;
    auto *knob = static_cast<uint32_t *>(fp_table(FP_TBL_FILTER_FLOW_VISIBILITY));
    if (knob && *knob != ctx->flow_refs)
        *knob = ctx->flow_refs;
}

// ----------------------------------------------------------------------------------------------------
// Status notification.

void zel_policy_status_values(confd_tag_value *values, const char *text, const ip_addr_t &addr, const char *policy,
                              const char *vpn_list, const char *status)
{
    confd_tag_value_t *v = values;
    if (!text || text[0] == '\0')
        text = "default";
    CONFD_SET_TAG_XMLBEGIN(&v[0], zel_tag_policy_policy_status, zel_ns_policy);
    CONFD_SET_TAG_ENUM_VALUE(&v[1], zel_tag_policy_severity_level, 2);
    CONFD_SET_TAG_BUF(&v[2], zel_tag_policy_host_name, text, strlen(text));
    if (addr.family == AF_INET) {
        in_addr a{htonl(addr.v4)};
        CONFD_SET_TAG_IPV4(&v[3], zel_tag_policy_system_ip, a);
    } else {
        in6_addr a{};
        memcpy(&a, addr.v6, sizeof a);
        CONFD_SET_TAG_IPV6(&v[3], zel_tag_policy_system_ip, a);
    }
    CONFD_SET_TAG_BUF(&v[4], zel_tag_policy_policy_name, policy, strlen(policy));
    CONFD_SET_TAG_BUF(&v[5], zel_tag_policy_vpn_list_name, vpn_list, strlen(vpn_list));
    CONFD_SET_TAG_BUF(&v[6], zel_tag_policy_status, status, strlen(status));
    CONFD_SET_TAG_XMLEND(&v[7], zel_tag_policy_policy_status, zel_ns_policy);
}
