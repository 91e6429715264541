// Policy model operations: policies, their vpn-lists, sequences, matches and actions.
#include "policy/zel_config.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cfgd/cfgd_api.h"
#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "policy/zel_policy_internal.h"

namespace
{

bool valid_name(const char *name)
{
    return name != nullptr && name[0] != '\0' && strnlen(name, ZEL_POLICY_NAME_LEN) < ZEL_POLICY_NAME_LEN;
}

zel_policy_vpn_list *pvl_of(zel_policy *policy, const char *vpn_list)
{
    auto it = policy->vpn_lists.find(vpn_list);
    return it == policy->vpn_lists.end() ? nullptr : it->second.get();
}

// The default action as given to vpn-list add and modify.
std::unique_ptr<zel_action> make_default_action(zel_ctx *ctx, uint32_t type, uint32_t code, const char *sla_class)
{
    auto act = std::make_unique<zel_action>();
    act->code = code;
    if (type == ZEL_POLICY_TYPE_PFR && sla_class != nullptr) {
        act->param_type = ZEL_ACT_SLA_CLASS;
        snprintf(act->v.sla_name, sizeof act->v.sla_name, "%s", sla_class);
        act->sla_index = zel_sla_class_id(ctx, act->v.sla_name);
    }
    return act;
}

std::string policer_instance_name(const zel_policy *policy, const zel_policy_vpn_list *pvl)
{
    char buf[2 * ZEL_POLICY_NAME_LEN + 2];
    snprintf(buf, sizeof buf, "%s_%s", pvl->name.c_str(), policy->name.c_str());
    return buf;
}

// Undoes what adding the action referenced.
void action_release(zel_ctx *ctx, zel_sequence *seq, zel_action *act)
{
    zel_policy_db *db = ctx->policy_db;
    zel_policy_vpn_list *pvl = seq->pvl;
    switch (act->param_type) {
    case ZEL_ACT_SET_TLOC:
        if (act->tloc)
            zel_tloc_ref_drop(ctx, seq, act->tloc);
        act->tloc = nullptr;
        break;
    case ZEL_ACT_TLOC_LIST:
        zel_tloc_list_refs_drop(ctx, seq, act);
        break;
    case ZEL_ACT_POLICE: {
        std::string inst = policer_instance_name(seq->policy, pvl);
        zel_config_policer_unref(ctx, ZEL_LIST_SOURCE_CONTROLLER, act->v.name, inst.c_str());
        pvl->policers.erase(inst);
        break;
    }
    case ZEL_ACT_MIRROR:
        if (auto it = db->mirrors.find(act->v.name); it != db->mirrors.end() && it->second->refs > 0)
            it->second->refs--;
        break;
    case ZEL_ACT_COUNT:
        if (auto it = pvl->counters.find(act->v.name); it != pvl->counters.end() && --it->second == 0)
            pvl->counters.erase(it);
        break;
    default:
        break;
    }
}

void sequence_release(zel_ctx *ctx, zel_sequence *seq)
{
    for (auto &act : seq->actions)
        action_release(ctx, seq, act.get());
    seq->actions.clear();
    zel_seq_release_matches(ctx, seq);
    ZEL_ASSERT(seq->tloc_refs.empty());
    if (seq->policy->type == ZEL_POLICY_TYPE_DATA)
        zel_config_tloc_list_delete(ctx, seq->policy->type, seq->policy->name.c_str(), seq->pvl->name.c_str(),
                                    seq->number);
}

// Frees the rule table, unbinds, frees the program and every sequence of a vpn-list, and lets go
// of the global vpn-list.
void pvl_remove(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    zel_policy_unpublish(ctx, policy, pvl);
    for (auto &[num, seq] : pvl->sequences)
        sequence_release(ctx, seq.get());
    pvl->sequences.clear();
    const auto *p_vpn_list_pfx_list = pvl->pfx_lists.empty() ? nullptr : &*pvl->pfx_lists.begin();
    ZEL_ASSERT_AT("zel_config", __LINE__, p_vpn_list_pfx_list == NULL);
    pvl->default_action.reset();
    if (zel_vpn_list *vl = zel_config_vpn_list_find(ctx, pvl->name.c_str()))
        vl->users.erase(zel_policy_key{policy->type, policy->name});
}

}  // namespace

void zel_seq_mark_changed(zel_sequence *seq)
{
    if (seq->acl) {
        seq->acl->changed = 1;
        return;
    }
    seq->policy->changed = 1;
    seq->pvl->changed = 1;
}

// Access lists hold local lists (source 1) under their (family, name) key; policies controller lists.
void zel_seq_list_unref(zel_ctx *ctx, zel_sequence *seq, uint32_t match_type, const char *name)
{
    if (seq->acl) {
        const zel_acl_key key = zel_acl_user_key(*seq->acl);
        if (match_type == ZEL_MATCH_APP_LIST) {
            zel_config_policy_app_list_unref(ctx, name, ZEL_LIST_SOURCE_LOCAL, key.family, key.name.c_str(), nullptr);
        } else if (zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, ZEL_LIST_SOURCE_LOCAL)) {
            auto it = list->acl_users.find(key);
            ZEL_ASSERT(it != list->acl_users.end() && it->second > 0);
            if (--it->second == 0)
                list->acl_users.erase(it);
        }
        return;
    }
    if (match_type == ZEL_MATCH_APP_LIST)
        zel_config_policy_app_list_unref(ctx, name, ZEL_LIST_SOURCE_CONTROLLER, seq->policy->type,
                                         seq->policy->name.c_str(), seq->pvl->name.c_str());
    else
        zel_config_pfx_list_unref(ctx, name, seq->policy, seq->pvl);
}

void zel_seq_release_matches(zel_ctx *ctx, zel_sequence *seq)
{
    for (auto &[match_type, name] : seq->list_refs)
        zel_seq_list_unref(ctx, seq, match_type, name.c_str());
    seq->list_refs.clear();
    seq->matches.clear();
}

// ----------------------------------------------------------------------------------------------------
// Keys.

bool zel_len_name_less::operator()(const std::string &a, const std::string &b) const
{
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

bool zel_policy_key::operator<(const zel_policy_key &o) const
{
    if (type != o.type)
        return type < o.type;
    return zel_len_name_less{}(name, o.name);
}

bool zel_pvl_key::operator<(const zel_pvl_key &o) const
{
    if (policy < o.policy)
        return true;
    if (o.policy < policy)
        return false;
    return zel_len_name_less{}(vpn_list, o.vpn_list);
}

bool zel_prefix::operator<(const zel_prefix &o) const
{
    if (len != o.len)
        return len < o.len;
    return memcmp(addr, o.addr, 4) < 0;
}

// ----------------------------------------------------------------------------------------------------
// Policies.

int zel_config_policy_add(zel_ctx *ctx, uint32_t type, const char *name, uint32_t direction)
{
    if (!ctx || !ctx->policy_db || !name)
        return 74;
    if ((type != ZEL_POLICY_TYPE_DATA && type != ZEL_POLICY_TYPE_PFR) || !valid_name(name))
        return 22;
    auto &slot = ctx->policy_db->policies[zel_policy_key{type, name}];
    if (slot)
        return 17;
    slot = std::make_unique<zel_policy>();
    slot->name = name;
    slot->type = type;
    slot->direction = direction;
    slot->added = 1;
    return 0;
}

int zel_config_policy_find(zel_ctx *ctx, uint32_t type, const char *name, zel_policy **out)
{
    if (!ctx || !ctx->policy_db || !name)
        return 74;
    auto &policies = ctx->policy_db->policies;
    auto it = policies.find(zel_policy_key{type, name});
    if (out)
        *out = it == policies.end() ? nullptr : it->second.get();
    return it == policies.end() ? 2 : 0;
}

int zel_config_policy_delete(zel_ctx *ctx, uint32_t type, const char *name)
{
    if (!ctx || !ctx->policy_db || !name)
        return 74;
    auto &policies = ctx->policy_db->policies;
    auto it = policies.find(zel_policy_key{type, name});
    if (it == policies.end())
        return 2;
    zel_policy *policy = it->second.get();
    for (auto &[vname, pvl] : policy->vpn_lists)
        pvl_remove(ctx, policy, pvl.get());
    policy->vpn_lists.clear();
    policies.erase(it);
    return 0;
}

int zel_config_policy_direction_set(zel_ctx *ctx, zel_policy *policy, uint32_t direction)
{
    if (!ctx || !policy)
        return 74;
    if (policy->direction == direction)
        return 0;
    policy->prev_direction = policy->direction;
    policy->direction = direction;
    for (auto &[vname, pvl] : policy->vpn_lists) {
        pvl->direction = direction;
        if (pvl->filter_index != ZEL_FILTER_UNBOUND)
            zel_policy_send_binding(ctx, policy, pvl.get(), nullptr, ZEL_BIND_OP_BIND);
    }
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Policy vpn-lists.

int zel_config_policy_vpn_list_add(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list,
                                   uint32_t action, const char *sla_class)
{
    if (!ctx || !ctx->policy_db || !policy_name || !vpn_list)
        return 74;
    zel_policy *policy;
    if (zel_config_policy_find(ctx, type, policy_name, &policy) != 0)
        return 2;
    if (!valid_name(vpn_list))
        return 22;
    if (pvl_of(policy, vpn_list))
        return 17;
    zel_vpn_list *global = zel_config_vpn_list_find(ctx, vpn_list);
    if (!global)
        return 2;
    zel_policy_key user{type, policy->name};
    if (global->users.contains(user))
        return 17;
    auto pvl = std::make_unique<zel_policy_vpn_list>();
    pvl->name = vpn_list;
    pvl->direction = policy->direction;
    pvl->default_action = make_default_action(ctx, type, action, sla_class);
    global->users.insert(user);
    policy->vpn_lists.emplace(pvl->name, std::move(pvl));
    return 0;
}

int zel_config_policy_vpn_list_modify(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list,
                                      uint32_t action, const char *sla_class)
{
    if (!ctx || !ctx->policy_db || !policy_name || !vpn_list)
        return 74;
    zel_policy_vpn_list *pvl;
    if (zel_config_policy_vpn_list_find(ctx, type, policy_name, vpn_list, &pvl) != 0 || !pvl->default_action)
        return 2;
    zel_policy *policy;
    zel_config_policy_find(ctx, type, policy_name, &policy);
    pvl->default_action = make_default_action(ctx, type, action, sla_class);
    policy->changed = 1;
    pvl->changed = 1;
    return 0;
}

int zel_config_policy_vpn_list_find(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list,
                                    zel_policy_vpn_list **out)
{
    if (!vpn_list)
        return 74;
    zel_policy *policy;
    if (int rc = zel_config_policy_find(ctx, type, policy_name, &policy); rc != 0)
        return rc;
    zel_policy_vpn_list *pvl = pvl_of(policy, vpn_list);
    if (out)
        *out = pvl;
    return pvl ? 0 : 2;
}

int zel_config_policy_vpn_list_delete(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list)
{
    if (!ctx || !ctx->policy_db || !policy_name || !vpn_list)
        return 74;
    zel_policy *policy;
    if (zel_config_policy_find(ctx, type, policy_name, &policy) != 0)
        return 2;
    auto it = policy->vpn_lists.find(vpn_list);
    if (it == policy->vpn_lists.end())
        return 2;
    pvl_remove(ctx, policy, it->second.get());
    policy->vpn_lists.erase(it);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Sequences.

int zel_config_sequence_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                             zel_sequence **out)
{
    zel_policy_vpn_list *pvl;
    if (int rc = zel_config_policy_vpn_list_find(ctx, type, policy, vpn_list, &pvl); rc != 0)
        return rc;
    auto it = pvl->sequences.find(seq);
    if (out)
        *out = it == pvl->sequences.end() ? nullptr : it->second.get();
    return it == pvl->sequences.end() ? 2 : 0;
}

int zel_config_rule_add(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list, uint32_t number,
                        zel_sequence **out)
{
    zel_policy *policy;
    zel_policy_vpn_list *pvl;
    if (int rc = zel_config_policy_find(ctx, type, policy_name, &policy); rc != 0)
        return rc;
    if (int rc = zel_config_policy_vpn_list_find(ctx, type, policy_name, vpn_list, &pvl); rc != 0)
        return rc;
    auto [it, inserted] = pvl->sequences.try_emplace(number);
    if (!inserted)
        return 17;
    it->second = std::make_unique<zel_sequence>();
    zel_sequence *seq = it->second.get();
    seq->number = number;
    seq->vpn_list_name = pvl->name;
    seq->policy = policy;
    seq->pvl = pvl;
    policy->changed = 1;
    pvl->changed = 1;
    if (out)
        *out = seq;
    if (int rc = zel_config_match_add(ctx, ZEL_MATCH_MATCH_ANY, nullptr, seq); rc != 0)
        ZEL_LOG("Failed to add match any rule (%s, %d) err(%d)\n", policy_name, static_cast<int>(number), rc);
    return 0;
}

int zel_config_rule_delete(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list, uint32_t number)
{
    zel_policy *policy;
    zel_policy_vpn_list *pvl;
    if (int rc = zel_config_policy_find(ctx, type, policy_name, &policy); rc != 0)
        return rc;
    if (int rc = zel_config_policy_vpn_list_find(ctx, type, policy_name, vpn_list, &pvl); rc != 0)
        return rc;
    auto it = pvl->sequences.find(number);
    if (it == pvl->sequences.end())
        return 2;
    sequence_release(ctx, it->second.get());
    pvl->sequences.erase(it);
    policy->changed = 1;
    pvl->changed = 1;
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Matches.

void zel_match_push(zel_sequence *seq, uint32_t field, uint32_t match_type, const char *list, uint32_t low,
                    uint32_t high)
{
    zel_match m{};
    m.field = field;
    m.match_type = match_type;
    if (list)
        snprintf(m.list_name, sizeof m.list_name, "%s", list);
    m.low = low;
    m.high = high;
    seq->matches.push_back(m);
}

void zel_pfx_list_fields(zel_sequence *seq, uint32_t match_type, const zel_pfx_list &list)
{
    const uint32_t field = match_type == ZEL_MATCH_SRC_PFX_LIST ? ZEL_MATCH_SRC_ADDR : ZEL_MATCH_DST_ADDR;
    for (const zel_prefix &p : list.prefixes) {
        zel_match m{};
        m.field = field;
        m.match_type = match_type;
        snprintf(m.list_name, sizeof m.list_name, "%s", list.name.c_str());
        memcpy(m.addr, p.addr, 4);
        m.length = p.len;
        seq->matches.push_back(m);
    }
}

int zel_config_app_list_fields(zel_ctx *, uint32_t match_type, zel_app_list *list, zel_sequence *seq)
{
    if (!list || !seq) {
        ZEL_LOG("Error in populating app list fields");
        return 74;
    }
    const uint32_t field = list->kind == ZEL_APP_LIST_KIND_FAMILIES ? ZEL_MATCH_APP_FAMILY : ZEL_MATCH_APP;
    for (const auto &[id, name] : list->entries)
        zel_match_push(seq, field, match_type, list->name.c_str(), id, id);
    return 0;
}

int zel_config_match_add(zel_ctx *ctx, uint32_t field, const zel_match_value *v, zel_sequence *seq)
{
    if (field == ZEL_MATCH_MIN || field >= ZEL_MATCH_MAX || !seq || !ctx || !ctx->policy_db)
        return 74;
    if (field != ZEL_MATCH_MATCH_ANY && !v)
        return 74;
    switch (field) {
    case ZEL_MATCH_PROTOCOL:
    case ZEL_MATCH_DSCP:
    case ZEL_MATCH_TCP:
    case ZEL_MATCH_TRAFFIC_CLASS:
    case ZEL_MATCH_NEXT_HEADER:
    case ZEL_MATCH_PLP:
        zel_match_push(seq, field, field, nullptr, v->low, v->low);
        break;
    case ZEL_MATCH_SRC_PORT:
    case ZEL_MATCH_DST_PORT:
    case ZEL_MATCH_PKT_LEN:
        zel_match_push(seq, field, field, nullptr, v->low, v->high);
        break;
    case ZEL_MATCH_SRC_ADDR:
    case ZEL_MATCH_DST_ADDR: {
        if (v->length > 32)
            return 22;
        zel_match m{};
        m.field = m.match_type = field;
        memcpy(m.addr, v->addr, 4);
        m.length = v->length;
        seq->matches.push_back(m);
        break;
    }
    case ZEL_MATCH_SRC_PFX_LIST:
    case ZEL_MATCH_DST_PFX_LIST: {
        if (!v->name)
            return 74;
        zel_pfx_list *list =
            zel_config_pfx_list_find(ctx, v->name, seq->acl ? ZEL_LIST_SOURCE_LOCAL : ZEL_LIST_SOURCE_CONTROLLER);
        if (!list)
            return 2;
        if (seq->acl)
            list->acl_users[zel_acl_user_key(*seq->acl)]++;
        else if (int rc = zel_config_pfx_list_ref(ctx, v->name, seq->policy, seq->pvl); rc != 0)
            return rc;
        seq->list_refs.emplace_back(field, list->name);
        zel_pfx_list_fields(seq, field, *list);
        break;
    }
    case ZEL_MATCH_FC: {
        zel_fwd_class *c = v->name ? zel_fwd_class_find(ctx, v->name) : nullptr;
        if (!c)
            return 22;
        zel_match_push(seq, field, field, nullptr, c->info.id, c->info.id);
        break;
    }
    case ZEL_MATCH_APP_LIST: {
        if (!v->name)
            return 74;
        const uint32_t source = seq->acl ? ZEL_LIST_SOURCE_LOCAL : ZEL_LIST_SOURCE_CONTROLLER;
        zel_app_list *list = zel_config_app_list_find(ctx, v->name, source);
        if (!list)
            return 2;
        const zel_acl_key key = seq->acl ? zel_acl_user_key(*seq->acl) : zel_acl_key{};
        const int rc = seq->acl
                           ? zel_config_policy_app_list_ref(ctx, v->name, source, key.family, key.name.c_str(), nullptr)
                           : zel_config_policy_app_list_ref(ctx, v->name, source, seq->policy->type,
                                                            seq->policy->name.c_str(), seq->pvl->name.c_str());
        if (rc != 0)
            return rc;
        seq->list_refs.emplace_back(field, list->name);
        zel_config_app_list_fields(ctx, field, list, seq);
        break;
    }
    case ZEL_MATCH_MATCH_ANY:
        zel_match_push(seq, field, field, nullptr, 1, 1);
        break;
    default:  // APP, APP_FAMILY come only from lists
        return 22;
    }
    zel_seq_mark_changed(seq);
    return 0;
}

int zel_config_rule_field_clear(zel_ctx *ctx, uint32_t field, zel_sequence *seq)
{
    if (!ctx || !seq || field == ZEL_MATCH_MIN || field >= ZEL_MATCH_MAX || field == ZEL_MATCH_MATCH_ANY)
        return 74;
    std::erase_if(seq->matches, [field](const zel_match &m) { return m.match_type == field; });
    // List fields let go of the lists they named.
    auto refs = std::stable_partition(seq->list_refs.begin(), seq->list_refs.end(),
                                      [field](const auto &r) { return r.first != field; });
    for (auto it = refs; it != seq->list_refs.end(); ++it)
        zel_seq_list_unref(ctx, seq, it->first, it->second.c_str());
    seq->list_refs.erase(refs, seq->list_refs.end());
    zel_seq_mark_changed(seq);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Actions.

std::unique_ptr<zel_action> zel_action_make(uint32_t code, uint32_t param_type, uint32_t tag,
                                            const zel_action_value *value)
{
    auto act = std::make_unique<zel_action>();
    act->code = code;
    act->param_type = param_type;
    act->tag = tag;
    if (value)
        act->v = *value;
    act->v.sla_name[ZEL_CLASS_NAME_LEN - 1] = '\0';
    act->v.fc_name[ZEL_CLASS_NAME_LEN - 1] = '\0';
    act->v.name[ZEL_POLICY_NAME_LEN - 1] = '\0';
    return act;
}

void zel_action_copy_policer(zel_action *act, const zel_policer &pol, uint32_t number)
{
    act->rate_bps = pol.rate_bps;
    act->burst_bytes = pol.burst_bytes;
    act->exceed = pol.exceed;
    act->seq = static_cast<int32_t>(number);
}

int zel_action_take_mirror(zel_ctx *ctx, zel_action *act)
{
    auto it = ctx->policy_db->mirrors.find(act->v.name);
    if (it == ctx->policy_db->mirrors.end())
        return 22;
    act->mirror = *it->second;
    act->v.mirror = it->second->number;
    it->second->refs++;
    return 0;
}

int zel_config_action_add(zel_ctx *ctx, uint32_t type, const char *policy_name, const char *vpn_list, uint32_t number,
                          uint32_t code, uint32_t param_type, const zel_action_value *value, uint32_t tag)
{
    zel_sequence *seq;
    if (int rc = zel_config_sequence_find(ctx, type, policy_name, vpn_list, number, &seq); rc != 0)
        return rc;
    if (param_type != 0 && !value)
        return 74;
    zel_policy *policy = seq->policy;
    zel_policy_vpn_list *pvl = seq->pvl;
    std::unique_ptr<zel_action> act = zel_action_make(code, param_type, tag, value);

    switch (param_type) {
    case ZEL_ACT_SET_TLOC:
        act->tloc = zel_tloc_ref_take(ctx, seq, act->v.tloc);
        if (!act->tloc)
            return 12;
        break;
    case ZEL_ACT_SLA_CLASS:
        act->sla_index = zel_sla_class_id(ctx, act->v.sla_name);
        break;
    case ZEL_ACT_POLICE: {
        zel_policer *pol = zel_config_policer_find(ctx, ZEL_LIST_SOURCE_CONTROLLER, act->v.name);
        if (!pol)
            return 22;
        std::string inst = policer_instance_name(policy, pvl);
        if (pvl->policers.contains(inst))
            return 17;
        if (int rc = zel_config_policer_ref(ctx, ZEL_LIST_SOURCE_CONTROLLER, act->v.name, inst.c_str(), pvl); rc != 0)
            return rc;
        pvl->policers.insert(inst);
        zel_action_copy_policer(act.get(), *pol, number);
        break;
    }
    case ZEL_ACT_MIRROR:
        if (int rc = zel_action_take_mirror(ctx, act.get()); rc != 0)
            return rc;
        break;
    case ZEL_ACT_COUNT:
        pvl->counters[act->v.name]++;
        break;
    case ZEL_ACT_TLOC_LIST:
        if (int rc = zel_tloc_list_refs_take(ctx, seq, act.get()); rc != 0)
            return rc;
        break;
    case ZEL_ACT_SET_FC:
        if (zel_fwd_class *c = zel_fwd_class_find(ctx, act->v.fc_name)) {
            act->fc = c->info;
        } else {
            act->fc_unresolved = true;
        }
        break;
    case ZEL_ACT_SET_NAT_USE_VPN: {
        uint16_t vrf = 0;
        if (ctx->cfg.vrf_id && ctx->cfg.vrf_id(act->v.value, &vrf))
            act->vrf_id = vrf;
        break;
    }
    default:
        break;
    }
    zel_seq_action_insert(seq, std::move(act));
    policy->changed = 1;
    pvl->changed = 1;
    return 0;
}

void zel_seq_action_insert(zel_sequence *seq, std::unique_ptr<zel_action> act)
{
    // The base action (no parameters) goes first so that it lands in slot 0 of the block.
    if (act->param_type == 0)
        seq->actions.insert(seq->actions.begin(), std::move(act));
    else
        seq->actions.push_back(std::move(act));
}

std::unique_ptr<zel_action> zel_seq_action_take(zel_sequence *seq, uint32_t tag)
{
    auto it = std::find_if(seq->actions.begin(), seq->actions.end(), [&](const auto &a) { return a->tag == tag; });
    if (it == seq->actions.end())
        return nullptr;
    std::unique_ptr<zel_action> act = std::move(*it);
    seq->actions.erase(it);
    return act;
}

int zel_config_action_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t number,
                           uint32_t tag, zel_action **out)
{
    zel_sequence *seq;
    if (int rc = zel_config_sequence_find(ctx, type, policy, vpn_list, number, &seq); rc != 0)
        return rc;
    for (auto &act : seq->actions) {
        if (act->tag == tag) {
            if (out)
                *out = act.get();
            return 0;
        }
    }
    if (out)
        *out = nullptr;
    return 2;
}

int zel_config_action_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t number,
                             uint32_t tag)
{
    zel_sequence *seq;
    if (int rc = zel_config_sequence_find(ctx, type, policy, vpn_list, number, &seq); rc != 0)
        return rc;
    std::unique_ptr<zel_action> act = zel_seq_action_take(seq, tag);
    if (!act)
        return 2;
    action_release(ctx, seq, act.get());
    seq->policy->changed = 1;
    seq->pvl->changed = 1;
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// VRF ids from the configuration database.

bool zel_policy_cdb_vrf_id(uint64_t vpn, uint16_t *vrf)
{
    const int sock = cfgd_open_socket(CFGD_LOOP_ANSWER_MS);  // read inside a commit, on the loop
    if (sock < 0) {
        ZEL_LOG("Cannot open a socket for CDB (%d)", errno);
        return false;
    }
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    bool ok = false;
    int rc = cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (rc != CONFD_OK) {
        ZEL_LOG("Cannot connect with CDB (%d)%s (%d) : %s", rc, confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
    } else if (rc = cdb_start_session(sock, CDB_RUNNING); rc != CONFD_OK) {
        ZEL_LOG("Cannot start session with CDB (%d)%s (%d) : %s", rc, confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
    } else {
        char key[24];
        snprintf(key, sizeof key, "%" PRIu64, vpn);
        confd_value_t v;
        rc = cdb_get(sock, &v, "/vpn/vpn-instance{%s}/vrf-id", key);
        if (rc == CONFD_OK && (v.type == C_UINT32 || v.type == C_UINT16)) {
            *vrf = static_cast<uint16_t>(v.type == C_UINT32 ? CONFD_GET_UINT32(&v) : CONFD_GET_UINT16(&v));
            ok = true;
        } else {
            if (rc == CONFD_OK)
                confd_free_value(&v);
            ZEL_LOG("Failed to get vrf-id for vpn-id %lu (%d)%s (%d) : %s", static_cast<unsigned long>(vpn), rc,
                    confd_strerror(confd_errno), confd_errno, confd_lasterr());
        }
        cdb_end_session(sock);
    }
    cdb_close(sock);
    return ok;
}
