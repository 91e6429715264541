// Translation of the policy model into rule tables: matches become ranges per field, actions become
// action blocks resolved against the current classes, lists, mirrors and locators.
#include "policy/zel_policy_rules.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_internal.h"

namespace
{

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
    case ZEL_ACT_SLA_CLASS:
        a.sla_index = zel_sla_class_id(ctx, a.v.sla_name);
        s.sla_index = a.sla_index;
        s.strict = a.v.strict != 0;
        s.color = a.v.preferred_color;
        break;
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
        // The forwarding plane copies to one destination: the first configured.
        if (!a.mirror.dests.empty()) {
            s.mirror_dst = addr_record(a.mirror.dests.front().dst);
            s.mirror_src = addr_record(a.mirror.dests.front().src);
        }
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

// A sequence that names an application list none of whose applications the inspection engine knows
// matches no packet: without a value its field would match every packet.
bool matches_nothing(const zel_sequence &seq)
{
    for (const auto &[match_type, name] : seq.list_refs) {
        if (match_type != ZEL_MATCH_APP_LIST)
            continue;
        if (std::none_of(seq.matches.begin(), seq.matches.end(),
                         [&](const zel_match &m) { return m.match_type == ZEL_MATCH_APP_LIST && name == m.list_name; }))
            return true;
    }
    return false;
}

}  // namespace

int zel_compile_sequence(zel_ctx *ctx, rule *r, zel_sequence *seq)
{
    compile_context *cc = ctx->compile.compiler;
    // Packets always carry 1 in the MATCH_ANY field: 0 there is a rule no packet matches.
    if (matches_nothing(*seq)) {
        ZEL_DEBUG(ZEL_DEBUG_POLICY, "Sequence %u of policy %s names only unknown applications", seq->number,
                  seq->acl ? seq->acl->name.c_str() : seq->policy->name.c_str());
        if (int rc = zel_rule_add_range(cc, r, ZEL_CF_MATCH_ANY, 0, 0); rc != 0)
            return rc;
    }
    for (const zel_match &m : seq->matches) {
        if (m.field == ZEL_MATCH_MATCH_ANY && matches_nothing(*seq))
            continue;
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

int zel_policy_refresh(zel_ctx *ctx, const zel_policy *policy, zel_policy_vpn_list *pvl)
{
    // The default is resolved by name like the sequences' actions: an id kept from a deleted class
    // may since belong to another one.
    if (zel_action *def = pvl->default_action.get(); def && def->param_type == ZEL_ACT_SLA_CLASS)
        def->sla_index = zel_sla_class_id(ctx, def->v.sla_name);

    for (auto &[num, seq] : pvl->sequences)
        if (int rc = zel_sequence_refresh(ctx, seq.get(), ZEL_LIST_SOURCE_CONTROLLER, policy->name.c_str()); rc != 0)
            return rc;
    return 0;
}

int zel_sequence_refresh(zel_ctx *ctx, zel_sequence *seq, uint32_t source, const char *owner)
{
    // Re-derive list matches from the lists' current contents; the references stay.
    std::erase_if(seq->matches, [](const zel_match &m) { return is_list_match(m.match_type); });
    for (const auto &[match_type, name] : seq->list_refs) {
        if (match_type == ZEL_MATCH_APP_LIST) {
            zel_app_list *list = zel_config_app_list_find(ctx, name.c_str(), source);
            if (!list || zel_config_app_list_fields(ctx, ZEL_MATCH_APP_LIST, list, seq) != 0)
                ZEL_LOG("Could not add app list %s to policy %s", name.c_str(), owner);
        } else if (zel_pfx_list *list = zel_config_pfx_list_find(ctx, name.c_str(), source)) {
            zel_pfx_list_fields(seq, match_type, *list);
        }
    }
    for (auto &act : seq->actions) {
        if (act->param_type == ZEL_ACT_MIRROR) {
            zel_mirror *m = zel_config_mirror_find(ctx, act->v.name);
            ZEL_ASSERT(m != nullptr);
            act->mirror = *m;
            act->v.mirror = m->number;
        } else if (act->param_type == ZEL_ACT_TLOC_LIST) {
            zel_tloc_list_refs_drop(ctx, seq, act.get());
            if (int rc = zel_tloc_list_refs_take(ctx, seq, act.get()); rc != 0)
                return rc;
        }
    }
    return 0;
}

int zel_policy_rule_table(zel_ctx *ctx, const zel_policy *policy, zel_policy_vpn_list *pvl, rule_table **out)
{
    *out = nullptr;
    auto def = std::make_unique<zel_action_data>();
    const zel_action *da = pvl->default_action.get();
    zel_default_action(da ? da->code : 0, da ? da->param_type : 0, da ? da->sla_index : 0, da && da->v.strict,
                       da ? da->v.preferred_color : 0, def.get());
    char alias[ZEL_POLICY_NAME_LEN + 16];
    snprintf(alias, sizeof alias, "%u%s", policy->type, pvl->name.c_str());
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
            zel_compile_context_reset(ctx->compile.compiler);
            return 12;
        }
    }
    *out = rt;
    return 0;
}

const rule *zel_rule_table_first_match(const rule_table *rt, std::span<const uint32_t, ZEL_CF_LAST + 1> values)
{
    for (const rule *r = rt ? rt->head : nullptr; r; r = r->next) {
        const bool all = std::all_of(r->matches.begin(), r->matches.end(), [&](const field_match &m) {
            const uint32_t v = m.field <= ZEL_CF_LAST ? values[m.field] : 0;
            return std::any_of(m.ranges.begin(), m.ranges.end(),
                               [v](const zel_range &x) { return x.min <= v && v <= x.max; });
        });
        if (all)
            return r;
    }
    return nullptr;
}
