// Access lists of the policy model: lists per family, their sequences, actions and interface bindings.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/zel_log.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_internal.h"

namespace
{

using acl_table = std::map<std::string, std::unique_ptr<zel_access_list>>;

acl_table *table_of(zel_ctx *ctx, uint32_t family)
{
    if (!ctx || !ctx->policy_db || family > ZEL_ACL_V6)
        return nullptr;
    return &ctx->policy_db->access_lists[family];
}

// Undoes what adding the action referenced.
void action_release(zel_ctx *ctx, zel_access_list *acl, zel_action *act)
{
    zel_policy_db *db = ctx->policy_db;
    if (act->param_type == ZEL_ACT_MIRROR) {
        if (auto it = db->mirrors.find(act->v.name); it != db->mirrors.end() && it->second->refs > 0)
            it->second->refs--;
    } else if (act->param_type == ZEL_ACT_POLICE) {
        if (auto own = acl->policers.find(act->v.name); own != acl->policers.end() && --own->second == 0)
            acl->policers.erase(own);
        // Both families' lists of one name share the policer's instance.
        if (zel_policer *pol = zel_config_policer_find(ctx, ZEL_LIST_SOURCE_LOCAL, act->v.name)) {
            auto it = pol->instances.find(acl->name);
            if (it != pol->instances.end() && --it->second.acl_refs == 0)
                pol->instances.erase(it);
        }
    }
}

void sequence_release(zel_ctx *ctx, zel_access_list *acl, zel_sequence *seq)
{
    for (auto &act : seq->actions)
        action_release(ctx, acl, act.get());
    seq->actions.clear();
    zel_seq_release_matches(ctx, seq);
}

void binding_entry(const zel_acl_binding &b, zel_attach_entry *e)
{
    *e = {b.vpn, static_cast<uint8_t>(b.direction), b.ifname.c_str()};
}

// Removes the bindings `gone` selects from every list of both families, detaching each first.
template <typename Pred>
void unbind_where(zel_ctx *ctx, Pred gone)
{
    if (!ctx || !ctx->policy_db)
        return;
    for (auto &family : ctx->policy_db->access_lists)
        for (auto &[name, acl] : family)
            for (auto it = acl->bindings.begin(); it != acl->bindings.end();) {
                if (!gone(it->second)) {
                    ++it;
                    continue;
                }
                if (acl->filter_index != ZEL_FILTER_UNBOUND)
                    zel_acl_attach_send(ctx, *acl, ZEL_ATTACH_OP_DETACH, &it->second);
                it = acl->bindings.erase(it);
            }
}

}  // namespace

zel_access_list *zel_acl_find(zel_ctx *ctx, uint32_t family, const char *name)
{
    acl_table *t = table_of(ctx, family);
    if (!t || !name)
        return nullptr;
    auto it = t->find(name);
    return it == t->end() ? nullptr : it->second.get();
}

int zel_config_access_list_find(zel_ctx *ctx, const char *name, uint32_t family, zel_access_list **out)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (out)
        *out = acl;
    return acl ? 0 : 2;
}

int zel_config_access_list_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t default_action)
{
    acl_table *t = table_of(ctx, family);
    if (!t || !name || name[0] == '\0' || strnlen(name, ZEL_POLICY_NAME_LEN) >= ZEL_POLICY_NAME_LEN)
        return t ? 22 : 74;
    auto [it, inserted] = t->try_emplace(name);
    if (!inserted)
        return 17;
    it->second = std::make_unique<zel_access_list>();
    zel_access_list &acl = *it->second;
    acl.name = name;
    acl.family = family;
    acl.default_action = default_action;
    acl.added = 1;
    return 0;
}

int zel_config_access_list_modify(zel_ctx *ctx, const char *name, uint32_t family, uint32_t default_action)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 2;
    acl->default_action = default_action;
    acl->changed = 1;
    return 0;
}

int zel_config_access_list_delete(zel_ctx *ctx, const char *name, uint32_t family)
{
    acl_table *t = table_of(ctx, family);
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 2;
    zel_access_list_unpublish(ctx, acl);
    for (auto &[num, seq] : acl->sequences)
        sequence_release(ctx, acl, seq.get());
    t->erase(acl->name);
    return 0;
}

int zel_config_access_list_rule_find(zel_ctx *ctx, const char *name, uint32_t family, uint32_t seq, zel_sequence **out)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    auto it = acl ? acl->sequences.find(seq) : decltype(acl->sequences)::iterator{};
    const bool found = acl && it != acl->sequences.end();
    if (out)
        *out = found ? it->second.get() : nullptr;
    return found ? 0 : 2;
}

int zel_intf_config_rule_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t number, zel_sequence **out)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 2;
    auto [it, inserted] = acl->sequences.try_emplace(number);
    if (!inserted)
        return 17;
    it->second = std::make_unique<zel_sequence>();
    zel_sequence *seq = it->second.get();
    seq->number = number;
    seq->acl = acl;
    acl->changed = 1;
    if (out)
        *out = seq;
    if (int rc = zel_config_match_add(ctx, ZEL_MATCH_MATCH_ANY, nullptr, seq); rc != 0)
        ZEL_LOG("Failed to add match any rule (%s, %d) err(%d)\n", name, static_cast<int>(number), rc);
    return 0;
}

int zel_config_access_list_rule_delete(zel_ctx *ctx, const char *name, uint32_t family, uint32_t number)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 2;
    auto it = acl->sequences.find(number);
    if (it == acl->sequences.end())
        return 2;
    sequence_release(ctx, acl, it->second.get());
    acl->sequences.erase(it);
    acl->changed = 1;
    return 0;
}

int zel_intf_config_action_add(zel_ctx *ctx, const char *name, uint32_t family, uint32_t number, uint32_t code,
                               uint32_t param_type, const zel_action_value *value, uint32_t tag)
{
    zel_sequence *seq;
    if (int rc = zel_config_access_list_rule_find(ctx, name, family, number, &seq); rc != 0)
        return rc;
    if (param_type != 0 && !value)
        return 74;
    zel_access_list *acl = seq->acl;
    std::unique_ptr<zel_action> act = zel_action_make(code, param_type, tag, value);
    switch (param_type) {
    case ZEL_ACT_POLICE: {
        zel_policer *pol = zel_config_policer_find(ctx, ZEL_LIST_SOURCE_LOCAL, act->v.name);
        if (!pol)
            return 22;
        auto [it, fresh] = pol->instances.try_emplace(acl->name, zel_policer_instance{acl->name, nullptr});
        it->second.acl_refs++;
        acl->policers[act->v.name]++;
        zel_action_copy_policer(act.get(), *pol, number);
        break;
    }
    case ZEL_ACT_MIRROR:
        if (int rc = zel_action_take_mirror(ctx, act.get()); rc != 0)
            return rc;
        break;
    case ZEL_ACT_SET_FC: {
        zel_fwd_class *c = zel_fwd_class_find(ctx, act->v.fc_name);
        if (!c)
            return 2;
        act->fc = c->info;
        break;
    }
    default:
        break;
    }
    zel_seq_action_insert(seq, std::move(act));
    acl->changed = 1;
    return 0;
}

int zel_config_access_list_action_delete(zel_ctx *ctx, const char *name, uint32_t family, uint32_t number, uint32_t tag)
{
    zel_sequence *seq;
    if (int rc = zel_config_access_list_rule_find(ctx, name, family, number, &seq); rc != 0)
        return rc;
    std::unique_ptr<zel_action> act = zel_seq_action_take(seq, tag);
    if (!act)
        return 2;
    action_release(ctx, seq->acl, act.get());
    seq->acl->changed = 1;
    return 0;
}

int zel_config_access_list_bind(zel_ctx *ctx, uint32_t family, const char *name, const zel_acl_binding &b)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 2;
    if (b.ifname.empty() || b.ifname.size() >= ZEL_ACL_IFNAME_LEN)
        return 22;
    auto [it, inserted] = acl->bindings.try_emplace({b.ifname, b.direction}, b);
    if (!inserted)
        return 17;
    // A list not compiled yet is attached everywhere at the commit.
    if (acl->filter_index != ZEL_FILTER_UNBOUND)
        return zel_acl_attach_send(ctx, *acl, ZEL_ATTACH_OP_ATTACH, &it->second);
    return 0;
}

int zel_config_access_list_unbind(zel_ctx *ctx, uint32_t family, const char *name, const zel_acl_binding &b)
{
    zel_access_list *acl = zel_acl_find(ctx, family, name);
    if (!acl)
        return 0;
    auto it = acl->bindings.find({b.ifname, b.direction});
    if (it == acl->bindings.end())
        return 2;
    if (acl->filter_index != ZEL_FILTER_UNBOUND)
        zel_acl_attach_send(ctx, *acl, ZEL_ATTACH_OP_DETACH, &it->second);
    acl->bindings.erase(it);
    return 0;
}

zel_access_list *zel_acl_bound_at(zel_ctx *ctx, uint32_t family, const zel_acl_binding &b)
{
    acl_table *t = table_of(ctx, family);
    if (!t)
        return nullptr;
    for (auto &[name, acl] : *t)
        if (acl->bindings.contains({b.ifname, b.direction}))
            return acl.get();
    return nullptr;
}

void zel_config_intf_unbind_all(zel_ctx *ctx, const char *ifname)
{
    if (ifname)
        unbind_where(ctx, [ifname](const zel_acl_binding &b) { return b.ifname == ifname; });
}

void zel_config_vpn_unbind_all(zel_ctx *ctx, uint64_t vpn)
{
    unbind_where(ctx, [vpn](const zel_acl_binding &b) { return b.vpn == vpn; });
}

int zel_acl_attach_send(zel_ctx *ctx, const zel_access_list &acl, uint8_t op, const zel_acl_binding *one)
{
    std::vector<zel_attach_entry> entries;
    if (one) {
        entries.resize(1);
        binding_entry(*one, &entries[0]);
    } else {
        for (const auto &[key, b] : acl.bindings)
            binding_entry(b, &entries.emplace_back());
    }
    const zel_bind_fields f{op, static_cast<uint8_t>(acl.family), 0, acl.filter_index, acl.name.c_str()};
    int rc = zel_attach_send(ctx, f, entries);
    if (rc != 0 && rc != 74)
        ZEL_LOG("Failed to %s access list %s: %d", op == ZEL_ATTACH_OP_ATTACH ? "attach" : "detach", acl.name.c_str(),
                rc);
    return rc;
}
