// The commit pass: rebuild, compile, publish and bind every marked policy vpn-list; retry those
// that found no program memory once blocks come free.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/msgq_util.h"
#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "dataplane/zel_if_octeon.h"
#include "platform/cdb/confd_lib.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_internal.h"

namespace
{

void (*g_dpi_sync)(zel_ctx *ctx);

bool is_list_match(uint32_t match_type)
{
    return match_type == ZEL_MATCH_SRC_PFX_LIST || match_type == ZEL_MATCH_DST_PFX_LIST ||
           match_type == ZEL_MATCH_APP_LIST;
}

zel_addr_record addr_record(const ip_addr_t &a)
{
    zel_addr_record r{};
    if (a.family == AF_INET) {
        memcpy(r.addr, &a.v4, sizeof a.v4);
        r.family = 1;
    } else if (a.family == AF_INET6) {
        memcpy(r.addr, a.v6, sizeof a.v6);
        r.family = 2;
    }
    return r;
}

void status_notify(zel_ctx *ctx, const zel_policy *policy, const zel_policy_vpn_list *pvl, const char *status)
{
    const zel_status_source &src = ctx->policy_db->status;
    if (!src.send)
        return;
    const char *text = src.text ? src.text() : nullptr;
    ip_addr_t addr{};
    addr.family = AF_INET;
    if (src.addr)
        src.addr(&addr);
    confd_tag_value_t values[8];
    zel_policy_status_values(values, text, addr, policy->name.c_str(), pvl->name.c_str(), status);
    src.send(values, 8);
}

// The compiler's view of one configured action, resolved against the current model.
zel_action_spec action_spec(zel_ctx *ctx, zel_action &a, std::vector<zel_tloc_choice> &choices)
{
    zel_action_spec s;
    s.code = a.code;
    s.param_type = a.param_type;
    switch (a.param_type) {
    case ZEL_ACT_SET_TLOC:
        if (a.tloc) {
            s.tloc_index = a.tloc->tloc_index;
            s.tloc_resolved = a.tloc->resolved && a.tloc->state == 1;
        }
        s.vpn_label = a.v.vpn_label;
        break;
    case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
    case ZEL_ACT_SET_LOCAL_TLOC_LIST:
        s.color = a.v.color;
        s.encap = a.v.encap;
        s.restrict_ = a.v.restrict_ != 0;
        break;
    case ZEL_ACT_SLA_CLASS: {
        zel_sla_class *c;
        a.sla_index = zel_sla_class_find(ctx, a.v.sla_name, &c) == 0 ? c->id : 0;
        s.sla_index = a.sla_index;
        s.strict = a.v.strict != 0;
        s.color = a.v.preferred_color;
        break;
    }
    case ZEL_ACT_POLICE:
        s.name = a.v.name;
        s.rate_bps = a.rate_bps;
        s.burst_bytes = a.burst_bytes;
        s.exceed = a.exceed;
        s.seq = a.seq;
        break;
    case ZEL_ACT_COUNT:
        s.name = a.v.name;
        break;
    case ZEL_ACT_MIRROR:
        s.mirror_value = a.mirror.number;
        s.mirror_src = a.mirror.src;
        s.mirror_dst = a.mirror.dst;
        break;
    case ZEL_ACT_SET_NEXT_HOP:
        s.next_hop = addr_record(a.v.next_hop);
        break;
    case ZEL_ACT_SET_NAT_USE_VPN:
        s.vrf_id = a.vrf_id;
        break;
    case ZEL_ACT_SET_FC:
        if (zel_fwd_class *c = zel_fwd_class_find(ctx, a.v.fc_name)) {
            a.fc = c->info;
            a.fc_unresolved = false;
        } else {
            a.fc_unresolved = true;
        }
        s.unresolved = a.fc_unresolved;
        s.value = a.fc.id;
        break;
    case ZEL_ACT_TLOC_LIST: {
        choices.clear();
        for (size_t i = 0; i < a.tloc_list_refs.size(); i++) {
            const zel_kro_peer *peer = a.tloc_list_refs[i]->peer;
            zel_tloc_choice c{};
            c.vpn_label = a.tloc_choices[i].vpn_label;
            c.preference = a.tloc_choices[i].preference;
            c.tloc_index = peer->tloc_index;
            c.weight = peer->weight;
            c.resolved = peer->resolved != 0;
            c.up = peer->state == 1;
            choices.push_back(c);
        }
        s.tlocs = choices;
        break;
    }
    default:
        s.value = static_cast<int64_t>(a.v.value);
        break;
    }
    return s;
}

}  // namespace

// ----------------------------------------------------------------------------------------------------
// Binding message.

int zel_policy_binding_encode(zel_ctx *ctx, const zel_policy *policy, const zel_policy_vpn_list *pvl,
                              const zel_vpn_range64 *range, uint8_t opcode, std::vector<uint8_t> *out)
{
    if (!ctx || !pvl || !policy)
        return 74;
    zel_vpn_list *list = zel_config_vpn_list_find(ctx, pvl->name.c_str());
    if (!list)
        return 2;
    std::vector<zel_vpn_range> ranges;
    auto add = [&](const zel_vpn_range64 &r) {
        ranges.push_back({static_cast<uint32_t>(r.low), static_cast<uint32_t>(r.high)});
    };
    if (range)
        add(*range);
    else
        for (const zel_vpn_range64 &r : list->ranges)
            add(r);
    out->clear();
    const uint32_t n = zel_vpn_range_count(ranges);
    if (n == 0)
        return 0;
    out->resize(ZEL_BIND_HDR_LEN + 4ull * n);
    size_t len =
        zel_binding_msg_encode(out->data(), out->size(), opcode, static_cast<uint8_t>(pvl->filter_type),
                               static_cast<uint8_t>(pvl->direction), pvl->filter_index, policy->name.c_str(), ranges);
    out->resize(len);
    return 0;
}

int zel_policy_send_binding(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl, const zel_vpn_range64 *range,
                            uint8_t opcode)
{
    if (!ctx || !pvl || !ctx->tabmgr_link)
        return 74;
    std::vector<uint8_t> msg;
    if (int rc = zel_policy_binding_encode(ctx, policy, pvl, range, opcode, &msg); rc != 0 || msg.empty())
        return rc;
    if (msg.size() > MSGQ_MAX_PAYLOAD) {
        ZEL_LOG("Binding of policy %s - %s names too many VPNs", policy->name.c_str(), pvl->name.c_str());
        return 22;
    }
    auto *buf = static_cast<uint8_t *>(msgq_alloc_msg(ctx->tabmgr_link, static_cast<uint32_t>(msg.size())));
    if (!buf)
        return 12;
    memcpy(buf, msg.data(), msg.size());
    if (msgq_write(ctx->tabmgr_link, buf, static_cast<uint32_t>(msg.size())) != 0)
        msgq_free_msg(ctx->tabmgr_link, buf);
    return 0;
}

void zel_pvl_unbind(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    if (pvl->filter_index == ZEL_FILTER_UNBOUND)
        return;
    zel_policy_send_binding(ctx, policy, pvl, nullptr, ZEL_BIND_OP_UNBIND);
    pvl->filter_index = ZEL_FILTER_UNBOUND;
    pvl->filter_type = 0;
}

// ----------------------------------------------------------------------------------------------------
// Status notification.

void zel_policy_status_values(confd_tag_value *values, const char *text, const ip_addr_t &addr, const char *policy,
                              const char *vpn_list, const char *status)
{
    confd_tag_value_t *v = values;
    if (!text || text[0] == '\0')
        text = "default";
    CONFD_SET_TAG_XMLBEGIN(&v[0], ZEL_STATUS_TAG_CONTAINER, ZEL_POLICY_NS);
    CONFD_SET_TAG_ENUM_VALUE(&v[1], ZEL_STATUS_TAG_PRIORITY, 2);
    CONFD_SET_TAG_BUF(&v[2], ZEL_STATUS_TAG_TEXT, text, strlen(text));
    if (addr.family == AF_INET) {
        in_addr a{htonl(addr.v4)};
        CONFD_SET_TAG_IPV4(&v[3], ZEL_STATUS_TAG_ADDR, a);
    } else {
        in6_addr a{};
        memcpy(&a, addr.v6, sizeof a);
        CONFD_SET_TAG_IPV6(&v[3], ZEL_STATUS_TAG_ADDR, a);
    }
    CONFD_SET_TAG_BUF(&v[4], ZEL_STATUS_TAG_POLICY, policy, strlen(policy));
    CONFD_SET_TAG_BUF(&v[5], ZEL_STATUS_TAG_VPN_LIST, vpn_list, strlen(vpn_list));
    CONFD_SET_TAG_BUF(&v[6], ZEL_STATUS_TAG_STATUS, status, strlen(status));
    CONFD_SET_TAG_XMLEND(&v[7], ZEL_STATUS_TAG_CONTAINER, ZEL_POLICY_NS);
}

// ----------------------------------------------------------------------------------------------------
// Compilation.

int zel_compile_sequence(zel_ctx *ctx, rule *r, zel_sequence *seq)
{
    compile_context *cc = ctx->compiler;
    for (const zel_match &m : seq->matches) {
        // Lists were expanded into elementary entries by the model; anything else is a model bug.
        const uint32_t cf = zel_cfield_of_match(m.field);
        if (cf == 0)
            ZEL_ASSERT_AT("zel_config", __LINE__, 0);
        int rc = m.field == ZEL_MATCH_SRC_ADDR || m.field == ZEL_MATCH_DST_ADDR
                     ? zel_rule_add_prefix(cc, r, cf, m.addr, m.length)
                     : zel_rule_add_range(cc, r, cf, m.low, m.high);
        if (rc != 0)
            return rc;
    }
    std::vector<zel_action_spec> specs;
    std::vector<std::vector<zel_tloc_choice>> choices(seq->actions.size());
    specs.reserve(seq->actions.size());
    for (size_t i = 0; i < seq->actions.size(); i++)
        specs.push_back(action_spec(ctx, *seq->actions[i], choices[i]));
    auto data = std::make_unique<zel_action_data>();
    if (int rc = zel_compile_sequence_actions(specs, ctx->policy_db->clock_hz, data.get()); rc != 0)
        return rc;
    return zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, data.get()) ? 0 : 12;
}

int zel_policy_change(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    if (!ctx || !policy || !pvl)
        return 74;
    zel_pvl_unbind(ctx, policy, pvl);
    zel_program_free(pvl->program);
    pvl->program = nullptr;
    pvl->program_size = 0;
    zel_rule_table_free(pvl->rules);
    pvl->rules = nullptr;

    zel_action *def = pvl->default_action.get();
    if (def && def->param_type == ZEL_ACT_SLA_CLASS && def->sla_index == 0 &&
        strncmp(def->v.sla_name, ZEL_SLA_ALL_TUNNELS, ZEL_CLASS_NAME_LEN) != 0) {
        zel_sla_class *c;
        if (zel_sla_class_find(ctx, def->v.sla_name, &c) == 0)
            def->sla_index = c->id;
    }

    for (auto &[num, seq] : pvl->sequences) {
        // Re-derive list matches from the lists' current contents; the references stay.
        std::erase_if(seq->matches, [](const zel_match &m) { return is_list_match(m.match_type); });
        for (const auto &[match_type, name] : seq->list_refs) {
            if (match_type == ZEL_MATCH_APP_LIST) {
                zel_app_list *list = zel_config_app_list_find(ctx, name.c_str(), ZEL_LIST_SOURCE_CONTROLLER);
                if (!list || zel_config_app_list_fields(ctx, ZEL_MATCH_APP_LIST, list, seq.get()) != 0)
                    ZEL_LOG("Could not add app list %s to policy %s", name.c_str(), policy->name.c_str());
            } else if (zel_pfx_list *list = zel_config_pfx_list_find(ctx, name.c_str(), ZEL_LIST_SOURCE_CONTROLLER)) {
                zel_pfx_list_fields(seq.get(), match_type, *list);
            }
        }
        for (auto &act : seq->actions) {
            if (act->param_type == ZEL_ACT_MIRROR) {
                auto it = ctx->policy_db->mirrors.find(act->v.mirror);
                ZEL_ASSERT(it != ctx->policy_db->mirrors.end());
                const uint32_t refs = act->mirror.refs;
                act->mirror = *it->second;
                act->mirror.refs = refs;
            } else if (act->param_type == ZEL_ACT_TLOC_LIST) {
                zel_tloc_list_refs_drop(ctx, seq.get(), act.get());
                if (int rc = zel_tloc_list_refs_take(ctx, seq.get(), act.get()); rc != 0)
                    return rc;
            }
        }
    }
    return 0;
}

int zel_process_policy_vpn_list(zel_ctx *ctx, zel_policy_vpn_list *pvl, zel_policy *policy)
{
    if (!ctx || !pvl || !policy)
        return 74;
    zel_policy_db *db = ctx->policy_db;
    const uint32_t old_index = pvl->filter_index;
    bool rebuilt = false;
    if (policy->changed && pvl->changed) {
        zel_policy_change(ctx, policy, pvl);
        rebuilt = true;
    }
    if (!policy->added && !pvl->changed)
        return 0;
    // An added policy whose vpn-list still holds an older program drops it first.
    if (!rebuilt && (pvl->program || pvl->rules || pvl->filter_index != ZEL_FILTER_UNBOUND))
        zel_policy_change(ctx, policy, pvl);
    pvl->changed = 0;
    if (pvl->sequences.empty())
        return 0;

    auto def = std::make_unique<zel_action_data>();
    const zel_action *da = pvl->default_action.get();
    zel_default_action(da ? da->code : 0, da ? da->param_type : 0, da ? da->sla_index : 0, da && da->v.strict,
                       da ? da->v.preferred_color : 0, def.get());
    char alias[ZEL_POLICY_NAME_LEN + 16];
    snprintf(alias, sizeof alias, "%u%s", policy->type, pvl->name.c_str());
    compile_context *cc = ctx->compiler;
    rule_table *rt = zel_rule_table_create(policy->name.c_str(), alias, ZEL_ACTION_DATA_SIZE, def.get());
    if (!rt)
        return 12;
    for (auto &[num, seq] : pvl->sequences) {
        char rname[16];
        snprintf(rname, sizeof rname, "%u", num);
        rule *r = zel_rule_add(rt, rname);
        int rc = r ? zel_compile_sequence(ctx, r, seq.get()) : 12;
        if (rc != 0) {
            ZEL_LOG("Failed to build sequence %u of policy %s - %s: %d", num, policy->name.c_str(), pvl->name.c_str(),
                    rc);
            zel_rule_table_free(rt);
            zel_compile_context_reset(cc);
            return 12;
        }
    }
    pvl->rules = rt;
    pvl->filter_type = policy->type == ZEL_POLICY_TYPE_DATA ? ZEL_FILTER_TYPE_DATA : ZEL_FILTER_TYPE_PFR;

    void *image = nullptr;
    uint32_t size = 0;
    int rc = zel_compile(cc, rt, &image, &size);
    if (rc != 0 && rc != 12) {
        ZEL_LOG("Failed to compile policy %s - %s: %d", policy->name.c_str(), pvl->name.c_str(), rc);
        zel_compile_context_reset(cc);
        return rc;
    }
    if (rc == 12) {
        pvl->filter_index = db->no_filter;
        ZEL_DEBUG(
            ZEL_DEBUG_POLICY, "Failed to allocate memory [%d/%d] for policy %s - %s. Continuing without the policy.",
            static_cast<int>(size), static_cast<int>((size + 127) / 128), policy->name.c_str(), pvl->name.c_str());
        zel_event_line(zel_severity::alert, ZEL_EVENT_POLICY_NO_MEMORY,
                       "Failed to allocate memory for policy %s - %s. Continuing without the policy.",
                       policy->name.c_str(), pvl->name.c_str());
        status_notify(ctx, policy, pvl, "Failed");
    } else {
        pvl->program = image;
        pvl->program_size = size;
        pvl->filter_index = static_cast<uint32_t>(zel_compile_filter_index(cc));
        if (old_index == db->no_filter) {
            zel_event_line(zel_severity::info, ZEL_EVENT_POLICY_REPROGRAMMED,
                           "Successfully re-programmed policy %s - %s", policy->name.c_str(), pvl->name.c_str());
            status_notify(ctx, policy, pvl, "Success");
        }
    }
    zel_policy_send_binding(ctx, policy, pvl, nullptr, ZEL_BIND_OP_BIND);
    zel_compile_context_reset(cc);
    return 0;
}

int zel_process_policies(zel_ctx *ctx)
{
    if (!ctx || !ctx->policy_db || !ctx->compiler)
        return 74;
    for (auto &[key, policy] : ctx->policy_db->policies) {
        if (!policy->added && !policy->changed)
            continue;
        for (auto &[name, pvl] : policy->vpn_lists) {
            if (int rc = zel_process_policy_vpn_list(ctx, pvl.get(), policy.get()); rc != 0) {
                policy->added = policy->changed = 0;
                return rc;
            }
            if (ctx->policy_db->kick)
                ctx->policy_db->kick();
        }
        policy->added = policy->changed = 0;
    }
    if (ctx->policy_db->acl.process)
        return ctx->policy_db->acl.process(ctx);
    return 0;
}

int zel_process_oom_policies(zel_ctx *ctx, uint32_t blocks_freed)
{
    if (!ctx || !ctx->policy_db)
        return 0;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Processing oom policy (freed memory: %d)", static_cast<int>(blocks_freed));
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
    if (ctx->policy_db->acl.oom_mark)
        ctx->policy_db->acl.oom_mark(ctx);
    zel_process_policies(ctx);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Commit hook.

void zel_policy_set_dpi_sync(void (*fn)(zel_ctx *ctx)) { g_dpi_sync = fn; }

void zel_policy_commit_done(zel_ctx *ctx)
{
    zel_process_policies(ctx);
    if (g_dpi_sync)
        g_dpi_sync(ctx);
    if (!ctx->policy_db || !fp_shmem_base())
        return;
    auto *knob = static_cast<uint32_t *>(fp_table(FP_TBL_FILTER_FLOW_VISIBILITY));
    if (knob && *knob != ctx->policy_db->flow_refs)
        *knob = ctx->policy_db->flow_refs;
}
