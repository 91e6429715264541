// Lists and shared objects of the policy model: vpn-lists, prefix and application lists, TLOCs and
// TLOC lists, mirrors and policers, with the references their users hold.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "common/zel_app_family.h"
#include "common/zel_log.h"
#include "dataplane/zel_if_octeon.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_internal.h"

namespace
{

zel_policy_db *db_of(zel_ctx *ctx) { return ctx ? ctx->policy_db : nullptr; }

// A use count seen as the reference record the invariants name.
struct ref_record {
    uint32_t ref_count;
};

// Sets the changed marks of every policy vpn-list user that still exists.
void mark_policy_users(zel_ctx *ctx, const std::map<zel_pvl_key, uint32_t> &users)
{
    for (const auto &[key, count] : users) {
        zel_policy *policy;
        if (zel_config_policy_find(ctx, key.policy.type, key.policy.name.c_str(), &policy) != 0)
            continue;
        policy->changed = 1;
        auto it = policy->vpn_lists.find(key.vpn_list);
        if (it != policy->vpn_lists.end())
            it->second->changed = 1;
    }
}

// Sets the changed mark of every access-list user that still exists.
void mark_acl_users(zel_ctx *ctx, const std::map<zel_acl_key, uint32_t> &users)
{
    for (const auto &[key, count] : users)
        if (zel_access_list *acl =
                zel_acl_find(ctx, key.family == ZEL_ACL_FAMILY_V6 ? ZEL_ACL_V6 : ZEL_ACL_V4, key.name.c_str()))
            acl->changed = 1;
}

// Binds (or unbinds) every bound user of a vpn-list to the VPNs of some ranges.
void vpn_range_notify(zel_ctx *ctx, const zel_vpn_list &list, std::span<const zel_vpn_range> ranges, uint8_t opcode)
{
    for (const zel_policy_key &user : list.users) {
        zel_policy_vpn_list *pvl;
        if (zel_config_policy_vpn_list_find(ctx, user.type, user.name.c_str(), list.name.c_str(), &pvl) != 0)
            continue;
        if (pvl->filter_index == ZEL_FILTER_UNBOUND)
            continue;
        zel_policy *policy;
        zel_config_policy_find(ctx, user.type, user.name.c_str(), &policy);
        zel_policy_send_ranges(ctx, policy, pvl, ranges, opcode);
    }
}

// The parts of r that no range of the list covers (ranges may overlap).
std::vector<zel_vpn_range> uncovered(const zel_vpn_list &list, zel_vpn_range r)
{
    std::vector<zel_vpn_range> out;
    if (r.low > r.high)
        return out;
    uint64_t from = r.low;
    for (const zel_vpn_range &o : list.ranges) {  // ascending low
        if (o.low > o.high || o.high < from)
            continue;
        if (o.low > r.high)
            break;
        if (o.low > from)
            out.push_back({from, o.low - 1});
        if (o.high >= r.high)
            return out;
        from = o.high + 1;
    }
    out.push_back({from, r.high});
    return out;
}

uint32_t app_entry_id(zel_ctx *ctx, uint32_t kind, const char *entry)
{
    if (kind == ZEL_APP_LIST_KIND_FAMILIES)
        return zel_app_family_id(entry);
    if (strcmp(entry, "unclassified") == 0)
        return 1;
    uint32_t id = ctx->dpi.app_id ? ctx->dpi.app_id(entry) : 0;
    if (id == 0)
        ZEL_LOG("Could not find protocol! : %s", entry);
    return id;
}

}  // namespace

// ----------------------------------------------------------------------------------------------------
// VPN lists.

zel_vpn_list *zel_config_vpn_list_find(zel_ctx *ctx, const char *name)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return nullptr;
    auto it = db->vpn_lists.find(name);
    return it == db->vpn_lists.end() ? nullptr : it->second.get();
}

int zel_config_vpn_list_add(zel_ctx *ctx, const char *name)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto &slot = db->vpn_lists[name];
    if (slot)
        return 17;
    slot = std::make_unique<zel_vpn_list>();
    slot->name = name;
    return 0;
}

int zel_config_vpn_list_delete(zel_ctx *ctx, const char *name)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto it = db->vpn_lists.find(name);
    if (it == db->vpn_lists.end())
        return 2;
    zel_vpn_list &list = *it->second;
    std::vector<zel_vpn_range> all(list.ranges.begin(), list.ranges.end());
    list.ranges.clear();
    for (const zel_vpn_range &r : all)
        if (auto gone = uncovered(list, r); !gone.empty()) {
            vpn_range_notify(ctx, list, gone, ZEL_BIND_OP_UNBIND);
            list.ranges.insert(r);  // so that overlapping ranges are unbound once
        }
    list.ranges.clear();
    const auto *p_vpn_list_policy = list.users.empty() ? nullptr : &*list.users.begin();
    ZEL_ASSERT_AT("zel_config", __LINE__, p_vpn_list_policy == NULL);
    db->vpn_lists.erase(it);
    return 0;
}

// Adds (bind) or removes (unbind) one range of a vpn-list and tells the bound users. A removal
// unbinds only the VPNs that no other range of the list still names.
static int vpn_range_change(zel_ctx *ctx, const char *name, zel_vpn_range r, uint8_t opcode)
{
    if (!db_of(ctx) || !name)
        return 74;
    zel_vpn_list *list = zel_config_vpn_list_find(ctx, name);
    if (!list)
        return 2;
    const bool present = list->ranges.contains(r);
    if (opcode == ZEL_BIND_OP_BIND && present)
        return 17;
    if (opcode == ZEL_BIND_OP_UNBIND && !present)
        return 2;
    if (opcode == ZEL_BIND_OP_BIND) {
        list->ranges.insert(r);
        vpn_range_notify(ctx, *list, std::span(&r, 1), opcode);
        return 0;
    }
    list->ranges.erase(r);
    if (auto gone = uncovered(*list, r); !gone.empty())
        vpn_range_notify(ctx, *list, gone, opcode);
    return 0;
}

int zel_config_vpn_range_add(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high)
{
    return vpn_range_change(ctx, name, {low, high}, ZEL_BIND_OP_BIND);
}

int zel_config_vpn_range_delete(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high)
{
    return vpn_range_change(ctx, name, {low, high}, ZEL_BIND_OP_UNBIND);
}

int zel_config_vpn_instance_apply(zel_ctx *ctx, uint64_t vpn)
{
    zel_policy_db *db = db_of(ctx);
    if (!db)
        return 74;
    for (auto &[name, list] : db->vpn_lists)
        for (const zel_vpn_range &r : list->ranges)
            if (r.low == vpn || (r.low < vpn && vpn <= r.high))
                vpn_range_notify(ctx, *list, std::span(&r, 1), ZEL_BIND_OP_BIND);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Prefix lists.

zel_pfx_list *zel_config_pfx_list_find(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return nullptr;
    auto it = db->pfx_lists.find({source, name});
    return it == db->pfx_lists.end() ? nullptr : it->second.get();
}

int zel_config_pfx_list_add(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    if (source <= ZEL_POLICY_PFX_LIST_TYPE_INVALID || source >= ZEL_POLICY_PFX_LIST_TYPE_MAX)
        return 22;
    auto &slot = db->pfx_lists[{source, name}];
    if (slot)
        return 17;
    slot = std::make_unique<zel_pfx_list>();
    slot->name = name;
    slot->source = source;
    return 0;
}

int zel_config_pfx_list_delete(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto it = db->pfx_lists.find({source, name});
    if (it == db->pfx_lists.end())
        return 2;
    const auto &users = it->second->policy_users;
    const auto *p_pfx_list_vpn_list = users.empty() ? nullptr : &*users.begin();
    ZEL_ASSERT_AT("zel_config", __LINE__, p_pfx_list_vpn_list == NULL);
    db->pfx_lists.erase(it);
    return 0;
}

int zel_config_pfx_list_prefix_add(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix)
{
    zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, source);
    if (!list)
        return 2;
    if (prefix.len > 32)
        return 22;
    return list->prefixes.insert(prefix).second ? 0 : 17;
}

int zel_config_pfx_list_prefix_delete(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix)
{
    zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, source);
    if (!list)
        return 2;
    return list->prefixes.erase(prefix) ? 0 : 2;
}

int zel_config_pfx_list_change(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, source);
    if (!list)
        return 2;
    mark_policy_users(ctx, list->policy_users);
    mark_acl_users(ctx, list->acl_users);
    return 0;
}

int zel_config_pfx_list_ref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    if (!policy || !pvl)
        return 74;
    zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, ZEL_LIST_SOURCE_CONTROLLER);
    if (!list)
        return 2;
    list->policy_users[zel_pvl_key{{policy->type, policy->name}, pvl->name}]++;
    pvl->pfx_lists[name]++;
    return 0;
}

int zel_config_pfx_list_unref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl)
{
    if (!policy || !pvl)
        return 74;
    zel_pfx_list *list = zel_config_pfx_list_find(ctx, name, ZEL_LIST_SOURCE_CONTROLLER);
    auto own = pvl->pfx_lists.find(name);
    const ref_record own_rec{own != pvl->pfx_lists.end() ? own->second : 0};
    const ref_record *p_vpn_list_pfx_list = own != pvl->pfx_lists.end() ? &own_rec : nullptr;
    ZEL_INVARIANT("zel_config", "p_vpn_list_pfx_list && p_vpn_list_pfx_list->ref_count>0",
                  p_vpn_list_pfx_list && p_vpn_list_pfx_list->ref_count > 0);
    if (--own->second == 0)
        pvl->pfx_lists.erase(own);
    if (!list)
        return 2;
    auto user = list->policy_users.find(zel_pvl_key{{policy->type, policy->name}, pvl->name});
    const ref_record user_rec{user != list->policy_users.end() ? user->second : 0};
    const ref_record *p_pfx_list_vpn_list = user != list->policy_users.end() ? &user_rec : nullptr;
    ZEL_INVARIANT("zel_config", "p_pfx_list_vpn_list && p_pfx_list_vpn_list->ref_count>0",
                  p_pfx_list_vpn_list && p_pfx_list_vpn_list->ref_count > 0);
    if (--user->second == 0)
        list->policy_users.erase(user);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Application lists.

uint32_t zel_app_family_id(const char *name)
{
    const uint32_t id = name ? zel_dpi_family_id(name) : ZEL_DPI_FAMILY_NONE;
    return id == ZEL_DPI_FAMILY_NONE ? 0 : id;
}

zel_app_list *zel_config_app_list_find(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return nullptr;
    auto it = db->app_lists.find({strlen(name), name, source});
    return it == db->app_lists.end() ? nullptr : it->second.get();
}

int zel_config_app_list_add(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto &slot = db->app_lists[{strlen(name), name, source}];
    if (slot)
        return 17;
    slot = std::make_unique<zel_app_list>();
    slot->name = name;
    slot->source = source;
    slot->kind = ZEL_APP_LIST_KIND_APPS;
    return 0;
}

int zel_config_app_list_delete(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto it = db->app_lists.find({strlen(name), name, source});
    if (it == db->app_lists.end())
        return 2;
    // A policy's matches and references would outlive the list: the user goes first.
    if (!it->second->policy_users.empty())
        return 16;
    db->app_lists.erase(it);
    return 0;
}

int zel_config_app_list_entry_add(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry)
{
    zel_app_list *list = zel_config_app_list_find(ctx, name, source);
    if (!list || !entry)
        return 2;
    uint32_t id = app_entry_id(ctx, kind, entry);
    if (id == 0)
        return 2;
    if (list->kind != kind)
        list->entries.clear();
    list->kind = kind;
    return list->entries.emplace(id, entry).second ? 0 : 17;
}

int zel_config_app_list_entry_delete(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry)
{
    zel_app_list *list = zel_config_app_list_find(ctx, name, source);
    if (!list || !entry)
        return 2;
    uint32_t id = app_entry_id(ctx, kind, entry);
    if (id == 0 || list->kind != kind)
        return 2;
    list->entries.erase(id);
    return 0;
}

int zel_config_app_list_change(zel_ctx *ctx, const char *name, uint32_t source)
{
    zel_app_list *list = zel_config_app_list_find(ctx, name, source);
    if (!list)
        return 2;
    mark_policy_users(ctx, list->policy_users);
    mark_acl_users(ctx, list->acl_users);
    return 0;
}

int zel_config_policy_app_list_ref(zel_ctx *ctx, const char *name, uint32_t user_kind, uint32_t type, const char *user,
                                   const char *vpn_list)
{
    zel_app_list *list = zel_config_app_list_find(ctx, name, user_kind);
    if (!list || !user)
        return 2;
    if (user_kind == ZEL_LIST_SOURCE_LOCAL) {
        list->acl_users[zel_acl_key{type, user}]++;
        return 0;
    }
    zel_policy_vpn_list *pvl;
    if (zel_config_policy_vpn_list_find(ctx, type, user, vpn_list, &pvl) != 0)
        return 2;
    ctx->dpi_refs++;
    list->policy_users[zel_pvl_key{{type, user}, vpn_list}]++;
    pvl->app_lists[name]++;
    return 0;
}

int zel_config_policy_app_list_unref(zel_ctx *ctx, const char *name, uint32_t user_kind, uint32_t type,
                                     const char *user, const char *vpn_list)
{
    zel_app_list *list = zel_config_app_list_find(ctx, name, user_kind);
    if (!list || !user)
        return 2;
    if (user_kind == ZEL_LIST_SOURCE_LOCAL) {
        auto it = list->acl_users.find(zel_acl_key{type, user});
        ZEL_ASSERT(it != list->acl_users.end() && it->second > 0);
        if (--it->second == 0)
            list->acl_users.erase(it);
        return 0;
    }
    zel_policy_vpn_list *pvl;
    if (zel_config_policy_vpn_list_find(ctx, type, user, vpn_list, &pvl) != 0)
        return 2;
    auto it = list->policy_users.find(zel_pvl_key{{type, user}, vpn_list});
    auto own = pvl->app_lists.find(name);
    ZEL_ASSERT(it != list->policy_users.end() && it->second > 0);
    ZEL_ASSERT(own != pvl->app_lists.end() && own->second > 0);
    ZEL_ASSERT(ctx->dpi_refs > 0);
    ctx->dpi_refs--;
    if (--it->second == 0)
        list->policy_users.erase(it);
    if (--own->second == 0)
        pvl->app_lists.erase(own);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// TLOCs and TLOC lists.

zel_kro_peer *zel_tloc_ref_take(zel_ctx *ctx, zel_sequence *seq, const tloc_key_t &key)
{
    zel_kro_peer *peer = zel_kro_peer_get(ctx, &key);
    if (!peer)
        return nullptr;
    auto &ref = seq->tloc_refs[peer];
    if (!ref) {
        ref = std::make_unique<zel_tloc_ref>();
        ref->kref.p_rec = ref.get();
        ref->policy = seq->policy;
        ref->pvl = seq->pvl;
        ref->seq = seq;
        ref->peer = peer;
        zel_kro_ref_add(peer, &ref->kref);
    }
    ref->count++;
    return peer;
}

void zel_tloc_ref_drop(zel_ctx *ctx, zel_sequence *seq, zel_kro_peer *peer)
{
    auto it = seq->tloc_refs.find(peer);
    ZEL_ASSERT(it != seq->tloc_refs.end() && it->second->count > 0);
    if (--it->second->count > 0)
        return;
    zel_kro_ref_remove(ctx, peer, &it->second->kref);
    seq->tloc_refs.erase(it);
}

zel_tloc_list *zel_config_tloc_list_get(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                        uint32_t seq)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !policy || !vpn_list)
        return nullptr;
    auto &slot = db->tloc_lists[{seq, type, policy, vpn_list}];
    if (!slot)
        slot = std::make_unique<zel_tloc_list>();
    return slot.get();
}

zel_tloc_list *zel_config_tloc_list_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                         uint32_t seq)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !policy || !vpn_list)
        return nullptr;
    auto it = db->tloc_lists.find({seq, type, policy, vpn_list});
    return it == db->tloc_lists.end() ? nullptr : it->second.get();
}

int zel_config_tloc_list_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !policy || !vpn_list)
        return 74;
    return db->tloc_lists.erase({seq, type, policy, vpn_list}) ? 0 : 2;
}

int zel_tloc_list_refs_take(zel_ctx *ctx, zel_sequence *seq, zel_action *act)
{
    zel_tloc_list *tl = zel_config_tloc_list_get(ctx, seq->policy->type, seq->policy->name.c_str(),
                                                 seq->pvl->name.c_str(), seq->number);
    if (!tl)
        return 12;
    for (const auto &[index, entry] : tl->entries) {
        if (act->tloc_choices.size() == ZEL_TLOC_LIST_MAX)
            break;
        zel_kro_peer *peer = zel_tloc_ref_take(ctx, seq, entry.tloc);
        if (!peer) {
            zel_tloc_list_refs_drop(ctx, seq, act);
            return 12;
        }
        act->tloc_choices.push_back(entry);
        act->tloc_list_refs.push_back(seq->tloc_refs[peer].get());
    }
    return 0;
}

void zel_tloc_list_refs_drop(zel_ctx *ctx, zel_sequence *seq, zel_action *act)
{
    for (zel_tloc_ref *ref : act->tloc_list_refs)
        zel_tloc_ref_drop(ctx, seq, ref->peer);
    act->tloc_list_refs.clear();
    act->tloc_choices.clear();
}

// ----------------------------------------------------------------------------------------------------
// Mirrors.

namespace
{

bool same_addr(const ip_addr_t &a, const ip_addr_t &b) { return ip_addr_cmp(&a, &b) == 0; }

// Policies whose actions copy the mirror take the new definition at the next commit.
void mirror_mark_users(zel_ctx *ctx, const std::string &name)
{
    for (auto &[key, policy] : ctx->policy_db->policies)
        for (auto &[vname, pvl] : policy->vpn_lists)
            for (auto &[num, seq] : pvl->sequences)
                for (auto &act : seq->actions)
                    if (act->param_type == ZEL_ACT_MIRROR && name == act->v.name) {
                        pvl->changed = 1;
                        policy->changed = 1;
                    }
    for (auto &family : ctx->policy_db->access_lists)
        for (auto &[aname, acl] : family)
            for (auto &[num, seq] : acl->sequences)
                for (auto &act : seq->actions)
                    if (act->param_type == ZEL_ACT_MIRROR && name == act->v.name)
                        acl->changed = 1;
}

uint32_t mirror_number(const zel_policy_db &db)
{
    std::set<uint32_t> used;
    for (const auto &[name, m] : db.mirrors)
        used.insert(m->number);
    uint32_t n = 1;
    while (used.contains(n))
        n++;
    return n;
}

}  // namespace

zel_mirror *zel_config_mirror_find(zel_ctx *ctx, const char *name)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return nullptr;
    auto it = db->mirrors.find(name);
    return it == db->mirrors.end() ? nullptr : it->second.get();
}

int zel_config_mirror_add(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    if (!intf && !dest) {
        if (db->mirrors.contains(name))
            return 17;
        auto m = std::make_unique<zel_mirror>();
        m->name = name;
        m->number = mirror_number(*db);
        db->mirrors.emplace(name, std::move(m));
        return 0;
    }
    zel_mirror *m = zel_config_mirror_find(ctx, name);
    if (!m)
        return 2;
    if (intf && !m->interfaces.insert(intf).second)
        return 17;
    if (dest) {
        for (const zel_mirror_dest &d : m->dests)
            if (same_addr(d.dst, dest->dst))
                return 17;
        m->dests.push_back(*dest);
    }
    mirror_mark_users(ctx, m->name);
    return 0;
}

int zel_config_mirror_modify(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest)
{
    zel_mirror *m = zel_config_mirror_find(ctx, name);
    if (!m)
        return db_of(ctx) && name ? 2 : 74;
    if (intf && !m->interfaces.contains(intf))
        return 2;
    if (dest) {
        auto it = std::find_if(m->dests.begin(), m->dests.end(),
                               [&](const zel_mirror_dest &d) { return same_addr(d.dst, dest->dst); });
        if (it == m->dests.end())
            return 2;
        it->src = dest->src;
    }
    mirror_mark_users(ctx, m->name);
    return 0;
}

int zel_config_mirror_delete(zel_ctx *ctx, const char *name, const char *intf, const zel_mirror_dest *dest)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return 74;
    auto it = db->mirrors.find(name);
    if (it == db->mirrors.end())
        return 2;
    zel_mirror &m = *it->second;
    if (!intf && !dest) {
        db->mirrors.erase(it);
        return 0;
    }
    if (intf && m.interfaces.erase(intf) == 0)
        return 2;
    if (dest && std::erase_if(m.dests, [&](const zel_mirror_dest &d) { return same_addr(d.dst, dest->dst); }) == 0)
        return 2;
    mirror_mark_users(ctx, m.name);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Policers.

zel_policer *zel_config_policer_find(zel_ctx *ctx, uint32_t source, const char *name, int32_t id)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || !name)
        return nullptr;
    auto it = db->policers.find({source, name, id});
    return it == db->policers.end() ? nullptr : it->second.get();
}

int zel_config_policer_add(zel_ctx *ctx, const zel_policer_cfg &cfg)
{
    zel_policy_db *db = db_of(ctx);
    if (!db || cfg.name.empty())
        return 74;
    if (cfg.name.size() >= ZEL_POLICY_NAME_LEN)
        return 22;
    auto &slot = db->policers[{cfg.source, cfg.name, cfg.id}];
    if (slot)
        return 17;
    slot = std::make_unique<zel_policer>();
    *slot = zel_policer{cfg.name, cfg.source, cfg.id, cfg.rate_bps, cfg.burst_bytes, cfg.exceed, {}};
    return 0;
}

int zel_config_policer_modify(zel_ctx *ctx, const zel_policer_cfg &cfg, uint8_t mask)
{
    zel_policy_db *db = db_of(ctx);
    if (!db)
        return 74;
    zel_policer *pol = zel_config_policer_find(ctx, cfg.source, cfg.name.c_str(), cfg.id);
    if (!pol)
        return 2;
    if (mask & ZEL_POLICER_RATE)
        pol->rate_bps = cfg.rate_bps;
    if (mask & ZEL_POLICER_BURST)
        pol->burst_bytes = cfg.burst_bytes;
    if (mask & ZEL_POLICER_EXCEED)
        pol->exceed = cfg.exceed;
    // Every filter the policer's users publish: a vpn-list, or the IPv4 and the IPv6 access list of
    // the user's name, where they exist.
    std::vector<zel_filter *> filters;
    auto follow = [&](zel_filter *f, auto &sequences) {
        filters.push_back(f);
        // The actions' copies follow, so that a later recompilation keeps the new definition.
        for (auto &[num, seq] : sequences)
            for (auto &act : seq->actions)
                if (act->param_type == ZEL_ACT_POLICE && pol->name == act->v.name) {
                    act->rate_bps = pol->rate_bps;
                    act->burst_bytes = pol->burst_bytes;
                    act->exceed = pol->exceed;
                }
    };
    for (auto &[inst, use] : pol->instances) {
        if (use.pvl) {
            follow(use.pvl, use.pvl->sequences);
            continue;
        }
        for (uint32_t family : {ZEL_ACL_V4, ZEL_ACL_V6})
            if (zel_access_list *acl = zel_acl_find(ctx, family, inst.c_str()))
                follow(acl, acl->sequences);
    }
    if (!ctx->dp.ops || !ctx->dp.ops->policer_update)
        return 0;

    // A redefinition goes straight into the published programs, without recompiling.
    zel_policer_stats st{};
    snprintf(st.name, sizeof st.name, "%s", pol->name.c_str());
    const zel_police_rate r = zel_police_rate_of(pol->rate_bps, pol->burst_bytes, db->clock_hz);
    st.rate = r.rate;
    st.burst = r.burst;
    st.oob_action = pol->exceed;
    for (zel_filter *f : filters)
        if (f->program && f->filter_index != ZEL_FILTER_UNBOUND && f->filter_index != db->no_filter)
            ctx->dp.ops->policer_update(f->filter_index, &st);
    return 0;
}

int zel_config_policer_delete(zel_ctx *ctx, const zel_policer_cfg &cfg)
{
    zel_policy_db *db = db_of(ctx);
    if (!db)
        return 74;
    return db->policers.erase({cfg.source, cfg.name, cfg.id}) ? 0 : 2;
}

int zel_config_policer_set(zel_ctx *ctx, const char *name, uint64_t rate_bps, uint64_t burst_bytes, uint32_t exceed)
{
    if (!name)
        return 74;
    zel_policer_cfg cfg{name,
                        ZEL_LIST_SOURCE_CONTROLLER,
                        -1,
                        rate_bps,
                        burst_bytes,
                        exceed,
                        ZEL_POLICER_RATE | ZEL_POLICER_BURST | ZEL_POLICER_EXCEED};
    if (zel_config_policer_find(ctx, cfg.source, name))
        return zel_config_policer_modify(ctx, cfg, cfg.mask);
    return zel_config_policer_add(ctx, cfg);
}

int zel_config_policer_ref(zel_ctx *ctx, uint32_t source, const char *policer, const char *instance,
                           zel_policy_vpn_list *pvl)
{
    if (!db_of(ctx) || !policer || !instance)
        return 74;
    zel_policer *pol = zel_config_policer_find(ctx, source, policer);
    if (!pol)
        return 22;
    return pol->instances.emplace(instance, zel_policer_instance{instance, pvl}).second ? 0 : 17;
}

int zel_config_policer_unref(zel_ctx *ctx, uint32_t source, const char *policer, const char *instance)
{
    if (!db_of(ctx) || !policer || !instance)
        return 74;
    zel_policer *pol = zel_config_policer_find(ctx, source, policer);
    if (!pol)
        return 2;
    return pol->instances.erase(instance) ? 0 : 2;
}
