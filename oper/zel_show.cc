// Show data: the 21 callpoints of the operational model, each a list served whole with the object
// interface. Answers are computed at each call from the policy model and, for counters and policers,
// from the program the owner has published; nothing is kept between calls, so a listing that spans a
// commit sees the model as it stands at each step.
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "cfgd/cfgd_api.h"
#include "cfgd/cfgd_util.h"
#include "common/zel_ctx.h"
#include "common/zel_log.h"
#include "compiler/zel_action.h"
#include "oper/zel_oper_internal.h"
#include "policy/zel_policy_model.h"
#include "yang/zel_yang_hashes.h"

namespace
{

using seq_map = std::map<uint32_t, std::unique_ptr<zel_sequence>>;

// Replies carry names in one static buffer: the callbacks run one at a time on the main thread.
char g_name[ZEL_CLASS_NAME_LEN];

const char *reply_name(std::string_view name)
{
    const size_t n = std::min(name.size(), sizeof g_name - 1);
    memcpy(g_name, name.data(), n);
    g_name[n] = '\0';
    return g_name;
}

// The values of one reply: a name or key text, then up to two totals.
struct reply_buf {
    confd_tag_value_t tv[3];
    int n = 0;
    char key[ZEL_POLICY_NAME_LEN];
    // The ConfD setters name their target more than once: each value is placed first.
    void str(uint32_t tag, const char *text)
    {
        confd_tag_value_t *t = &tv[n++];
        CONFD_SET_TAG_STR(t, tag, text);
    }
    void u64(uint32_t tag, uint64_t v)
    {
        confd_tag_value_t *t = &tv[n++];
        CONFD_SET_TAG_UINT64(t, tag, v);
    }
    void enumeration(uint32_t tag, int32_t v)
    {
        confd_tag_value_t *t = &tv[n++];
        CONFD_SET_TAG_ENUM_VALUE(t, tag, v);
    }
};

// Name text of a key; a key of another type means the database broke the model's contract.
std::string key_text(const confd_value_t *v, const char *check)
{
    ZEL_INVARIANT("zel_show", check, v->type == C_BUF);
    const size_t n = std::min<size_t>(v->val.buf.size, ZEL_POLICY_NAME_LEN - 1);
    return std::string(reinterpret_cast<const char *>(v->val.buf.ptr), n);
}
constexpr const char *kKeypathCheck = "(p_key)->type == C_BUF";
constexpr const char *kKeysCheck = "(keys)->type == C_BUF";

// The keys of one list of the keypath, nullptr when the keypath does not carry them.
const confd_value_t *path_keys(const confd_hkeypath_t *kp, uint32_t list_tag, int n, confd_value_t (&buf)[MAXKEYLEN])
{
    return cfgd_keypath_get_keys(kp, buf, n, list_tag);
}

// A policer key "index.name"; nothing when the text is not one.
std::optional<std::pair<std::string, int32_t>> policer_key(const std::string &text)
{
    int index = 0, used = 0;
    if (sscanf(text.c_str(), "%d.%n", &index, &used) != 1 || used == 0 || text[static_cast<size_t>(used) - 1] != '.')
        return std::nullopt;
    return std::make_pair(text.substr(static_cast<size_t>(used)), static_cast<int32_t>(index));
}

void add_totals(reply_buf &r, const void *program, uint32_t tag_a, uint32_t tag_b, bool counter, const char *name)
{
    if (!program)
        return;
    uint64_t a = 0, b = 0;
    (counter ? zel_counter_totals : zel_policer_totals)(program, name, &a, &b);
    r.u64(tag_a, a);
    r.u64(tag_b, b);
}

void counter_reply(reply_buf &r, const zel_ctx *ctx, const zel_filter &owner, const std::string &name)
{
    r.str(zel_tag_oper_counter_name, reply_name(name));
    add_totals(r, zel_oper_program(ctx, owner), zel_tag_oper_packets, zel_tag_oper_bytes, true, name.c_str());
}

void policer_reply(reply_buf &r, const zel_ctx *ctx, const zel_filter &owner, const std::pair<std::string, int32_t> &k)
{
    snprintf(r.key, sizeof r.key, "%d.%s", k.second, k.first.c_str());
    r.str(zel_tag_oper_policer_name, r.key);
    add_totals(r, zel_oper_program(ctx, owner), zel_tag_oper_drops, zel_tag_oper_bytes, false, r.key);
}

zel_policy *find_policy(const zel_ctx *ctx, uint32_t type, const std::string &name)
{
    auto it = ctx->policy_db->policies.find(zel_policy_key{type, name});
    return it == ctx->policy_db->policies.end() ? nullptr : it->second.get();
}

// ---- sources: one per family -------------------------------------------------------------------------
//
// A source resolves the parents named by the keypath (map() is null when one is unknown), turns the
// list's own keys into a key of its map, says which entries its list shows and builds an entry's reply.

template <uint32_t Type>
struct policy_src {
    static constexpr uint32_t list_tag =
        Type == ZEL_POLICY_TYPE_DATA ? zel_tag_oper_data_policy_filter : zel_tag_oper_app_route_policy_filter;
    static constexpr int num_keys = 1;
    // The tree holds both types: a position that vanished cannot be placed among the other type's names.
    static constexpr bool ends_on_miss = true;
    using map_type = std::map<zel_policy_key, std::unique_ptr<zel_policy>>;
    const map_type *m;
    policy_src(const zel_ctx *ctx, const confd_hkeypath_t *) : m(&ctx->policy_db->policies) {}
    const map_type *map() const { return m; }
    static std::optional<zel_policy_key> key(const confd_value_t *k, const char *check)
    {
        return zel_policy_key{Type, key_text(k, check)};
    }
    static bool wanted(map_type::const_iterator it) { return it->first.type == Type; }
    void reply(reply_buf &r, map_type::const_iterator it) const
    {
        r.str(zel_tag_oper_name, reply_name(it->second->name));
    }
};

template <uint32_t Type>
struct pvl_src {
    static constexpr uint32_t list_tag = zel_tag_oper_vpnlist;
    static constexpr int num_keys = 1;
    static constexpr bool ends_on_miss = false;
    using map_type = std::map<std::string, std::unique_ptr<zel_policy_vpn_list>>;
    const zel_policy *policy = nullptr;
    pvl_src(const zel_ctx *ctx, const confd_hkeypath_t *kp)
    {
        confd_value_t buf[MAXKEYLEN];
        if (const confd_value_t *k = path_keys(kp, policy_src<Type>::list_tag, 1, buf))
            policy = find_policy(ctx, Type, key_text(k, kKeypathCheck));
    }
    const map_type *map() const { return policy ? &policy->vpn_lists : nullptr; }
    static std::optional<std::string> key(const confd_value_t *k, const char *check) { return key_text(k, check); }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const { r.str(zel_tag_oper_name, reply_name(it->first)); }
};

// The vpn-list a counter or policer listing is below.
template <uint32_t Type>
const zel_policy_vpn_list *find_pvl(const zel_ctx *ctx, const confd_hkeypath_t *kp)
{
    pvl_src<Type> parent(ctx, kp);
    confd_value_t buf[MAXKEYLEN];
    const confd_value_t *k = parent.map() ? path_keys(kp, zel_tag_oper_vpnlist, 1, buf) : nullptr;
    if (!k)
        return nullptr;
    auto it = parent.map()->find(key_text(k, kKeypathCheck));
    return it == parent.map()->end() ? nullptr : it->second.get();
}

template <uint32_t Type>
struct pvl_counter_src {
    static constexpr uint32_t list_tag = zel_tag_oper_counter;
    static constexpr int num_keys = 1;
    static constexpr bool ends_on_miss = false;
    using map_type = std::map<std::string, uint32_t>;
    const zel_ctx *ctx;
    const zel_policy_vpn_list *pvl;
    pvl_counter_src(const zel_ctx *c, const confd_hkeypath_t *kp) : ctx(c), pvl(find_pvl<Type>(c, kp)) {}
    const map_type *map() const { return pvl ? &pvl->counters : nullptr; }
    static std::optional<std::string> key(const confd_value_t *k, const char *check) { return key_text(k, check); }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const { counter_reply(r, ctx, *pvl, it->first); }
};

using policer_set = std::set<std::pair<std::string, int32_t>>;  // name, index

// Policers of one owner (a data-policy vpn-list or an access list): their keys from its sequences.
template <class Owner>
struct policer_src_base {
    static constexpr uint32_t list_tag = zel_tag_oper_policer;
    static constexpr int num_keys = 1;
    static constexpr bool ends_on_miss = false;
    using map_type = policer_set;
    const zel_ctx *ctx;
    const Owner *owner;
    policer_set keys;
    policer_src_base(const zel_ctx *c, const Owner *o) : ctx(c), owner(o)
    {
        if (owner)
            zel_oper_stat_names(owner->sequences, nullptr, &keys);
    }
    const map_type *map() const { return owner ? &keys : nullptr; }
    static std::optional<policer_set::key_type> key(const confd_value_t *k, const char *check)
    {
        return policer_key(key_text(k, check));
    }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const { policer_reply(r, ctx, *owner, *it); }
};

struct pvl_policer_src : policer_src_base<zel_policy_vpn_list> {
    pvl_policer_src(const zel_ctx *c, const confd_hkeypath_t *kp)
        : policer_src_base(c, find_pvl<ZEL_POLICY_TYPE_DATA>(c, kp))
    {
    }
};

// Access lists, as one of the four lists that name them (ListTag); Fam selects the IPv4 or IPv6 tree.
template <uint32_t Fam, uint32_t ListTag>
struct acl_src {
    static constexpr uint32_t list_tag = ListTag;
    static constexpr int num_keys = 1;
    static constexpr bool ends_on_miss = false;
    using map_type = std::map<std::string, std::unique_ptr<zel_access_list>>;
    const map_type *m;
    acl_src(const zel_ctx *ctx, const confd_hkeypath_t *) : m(&ctx->policy_db->access_lists[Fam]) {}
    const map_type *map() const { return m; }
    static std::optional<std::string> key(const confd_value_t *k, const char *check) { return key_text(k, check); }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const { r.str(zel_tag_oper_name, reply_name(it->first)); }
};

template <uint32_t Fam, uint32_t ParentTag>
const zel_access_list *find_acl(const zel_ctx *ctx, const confd_hkeypath_t *kp)
{
    confd_value_t buf[MAXKEYLEN];
    const confd_value_t *k = path_keys(kp, ParentTag, 1, buf);
    if (!k)
        return nullptr;
    auto &tree = ctx->policy_db->access_lists[Fam];
    auto it = tree.find(key_text(k, kKeypathCheck));
    return it == tree.end() ? nullptr : it->second.get();
}

template <uint32_t Fam>
struct acl_counter_src {
    static constexpr uint32_t list_tag = zel_tag_oper_counter;
    static constexpr int num_keys = 1;
    static constexpr bool ends_on_miss = false;
    using map_type = std::set<std::string>;
    const zel_ctx *ctx;
    const zel_access_list *acl;
    std::set<std::string> names;
    acl_counter_src(const zel_ctx *c, const confd_hkeypath_t *kp)
        : ctx(c), acl(find_acl<Fam, zel_tag_oper_access_list_counters>(c, kp))
    {
        if (acl)
            zel_oper_stat_names(acl->sequences, &names, nullptr);
    }
    const map_type *map() const { return acl ? &names : nullptr; }
    static std::optional<std::string> key(const confd_value_t *k, const char *check) { return key_text(k, check); }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const { counter_reply(r, ctx, *acl, *it); }
};

template <uint32_t Fam>
struct acl_policer_src : policer_src_base<zel_access_list> {
    acl_policer_src(const zel_ctx *c, const confd_hkeypath_t *kp)
        : policer_src_base(c, find_acl<Fam, zel_tag_oper_access_list_policers>(c, kp))
    {
    }
};

// Bindings keep directions 1 in, 2 out; the model's enumeration numbers them from 0.
constexpr uint32_t kDirectionBase = 1;

template <uint32_t Fam>
struct acl_interface_src {
    static constexpr uint32_t list_tag = zel_tag_oper_interface;
    static constexpr int num_keys = 2;
    static constexpr bool ends_on_miss = false;
    using map_type = std::map<std::pair<std::string, uint32_t>, zel_acl_binding>;
    const zel_access_list *acl;
    acl_interface_src(const zel_ctx *c, const confd_hkeypath_t *kp)
        : acl(find_acl<Fam, zel_tag_oper_access_list_associations>(c, kp))
    {
    }
    const map_type *map() const { return acl ? &acl->bindings : nullptr; }
    static std::optional<map_type::key_type> key(const confd_value_t *k, const char *check)
    {
        if (k[1].type != C_ENUM_VALUE)
            return std::nullopt;
        std::string ifname = key_text(&k[0], check);
        ifname.resize(std::min(ifname.size(), ZEL_ACL_IFNAME_LEN - 1));
        return std::make_pair(ifname, static_cast<uint32_t>(k[1].val.enumvalue) + kDirectionBase);
    }
    static bool wanted(map_type::const_iterator) { return true; }
    void reply(reply_buf &r, map_type::const_iterator it) const
    {
        r.str(zel_tag_oper_interface_name, reply_name(it->first.first));
        r.enumeration(zel_tag_oper_direction, static_cast<int32_t>(it->first.second - kDirectionBase));
    }
};

// ---- the object interface over a source --------------------------------------------------------------

zel_ctx *show_ctx(const confd_trans_ctx *tctx)
{
    if (!tctx || !tctx->dx || !tctx->dx->d_opaque)
        return nullptr;
    auto *ctx = static_cast<zel_ctx *>(static_cast<cfgd_context *>(tctx->dx->d_opaque)->params.app_ctx);
    return ctx && ctx->policy_db ? ctx : nullptr;
}

void check_reply(int rc)
{
    if (rc != CONFD_OK)
        ZEL_LOG("Failed to send oper data reply - %s (%d) : %s", confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
}

void trace(const confd_hkeypath_t *kp)
{
    if (!(zel_debug_flags & ZEL_DEBUG_POLICY))
        return;
    char path[128];
    confd_pp_kpath(path, sizeof path, kp);
    ZEL_LOG("show %s", path);
}

template <class S>
struct show_family {
    using iter = typename S::map_type::const_iterator;

    static void reply_next(confd_trans_ctx *tctx, const S &src, iter it)
    {
        if (it == src.map()->end()) {
            check_reply(confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1));
            return;
        }
        reply_buf r;
        src.reply(r, it);
        check_reply(confd_data_reply_next_object_tag_value_array(tctx, r.tv, r.n, -1));
    }

    static iter first_wanted(const S &src, iter it)
    {
        while (it != src.map()->end() && !S::wanted(it))
            ++it;
        return it;
    }

    static int get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
    {
        trace(kp);
        const zel_ctx *ctx = show_ctx(tctx);
        std::optional<S> src;
        if (ctx)
            src.emplace(ctx, kp);
        confd_value_t buf[MAXKEYLEN];
        const confd_value_t *k = src && src->map() ? path_keys(kp, S::list_tag, S::num_keys, buf) : nullptr;
        const auto key = k ? S::key(k, kKeypathCheck) : std::nullopt;
        iter it = key ? src->map()->find(*key) : iter{};
        if (!key || it == src->map()->end() || !S::wanted(it)) {
            check_reply(confd_data_reply_not_found(tctx));
            return CONFD_OK;
        }
        reply_buf r;
        src->reply(r, it);
        check_reply(confd_data_reply_tag_value_array(tctx, r.tv, r.n));
        return CONFD_OK;
    }

    // Only the start of a listing is served here; the database goes on with find_next_object.
    static int get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
    {
        trace(kp);
        const zel_ctx *ctx = show_ctx(tctx);
        std::optional<S> src;
        if (ctx && next == -1)
            src.emplace(ctx, kp);
        if (!src || !src->map()) {
            check_reply(confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1));
            return CONFD_OK;
        }
        reply_next(tctx, *src, first_wanted(*src, src->map()->begin()));
        return CONFD_OK;
    }

    static int find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp, enum confd_find_next_type type,
                                confd_value_t *keys, int nkeys)
    {
        trace(kp);
        if (nkeys == 0)
            return get_next_object(tctx, kp, -1);
        const zel_ctx *ctx = show_ctx(tctx);
        std::optional<S> src;
        if (ctx)
            src.emplace(ctx, kp);
        const auto key = src && src->map() && nkeys >= S::num_keys ? S::key(keys, kKeysCheck) : std::nullopt;
        if (!key) {
            check_reply(confd_data_reply_next_key(tctx, nullptr, -1, -1));
            return CONFD_OK;
        }
        const auto &m = *src->map();
        iter it = m.find(*key);
        if (it == m.end()) {
            if (S::ends_on_miss) {
                check_reply(confd_data_reply_next_key(tctx, nullptr, -1, -1));
                return CONFD_OK;
            }
            it = m.upper_bound(*key);
        } else if (type != CONFD_FIND_SAME_OR_NEXT || !S::wanted(it)) {
            ++it;
        }
        it = first_wanted(*src, it);
        if (it == m.end())
            check_reply(confd_data_reply_next_key(tctx, nullptr, -1, -1));
        else
            reply_next(tctx, *src, it);
        return CONFD_OK;
    }
};

// ---- the callpoint table -----------------------------------------------------------------------------

struct show_point {
    const char *callpoint;
    int (*get_object)(confd_trans_ctx *, confd_hkeypath_t *);
    int (*get_next_object)(confd_trans_ctx *, confd_hkeypath_t *, long);
    int (*find_next_object)(confd_trans_ctx *, confd_hkeypath_t *, enum confd_find_next_type, confd_value_t *, int);
    bool interfaces;  // its registration failure names the access-list interfaces
};

template <class S>
constexpr show_point point(const char *callpoint, bool interfaces = false)
{
    return {callpoint, show_family<S>::get_object, show_family<S>::get_next_object, show_family<S>::find_next_object,
            interfaces};
}

constexpr uint32_t kData = ZEL_POLICY_TYPE_DATA, kPfr = ZEL_POLICY_TYPE_PFR, kV4 = ZEL_ACL_V4, kV6 = ZEL_ACL_V6;

// In registration order.
constexpr std::array kShowPoints{
    point<policy_src<kPfr>>("app-route-policy-filters"),
    point<pvl_src<kPfr>>("app-route-policy-vpnlist"),
    point<pvl_counter_src<kPfr>>("app-route-policy-counters"),
    point<policy_src<kData>>("data-policy-filters"),
    point<pvl_src<kData>>("data-policy-vpnlist"),
    point<pvl_counter_src<kData>>("data-policy-counters"),
    point<pvl_policer_src>("data-policy-policers"),
    point<acl_src<kV4, zel_tag_oper_access_list_names>>("access-list-names"),
    point<acl_src<kV4, zel_tag_oper_access_list_counters>>("access-list-counters"),
    point<acl_counter_src<kV4>>("access-policy-counter-list"),
    point<acl_src<kV4, zel_tag_oper_access_list_policers>>("policer-policy-name", true),
    point<acl_policer_src<kV4>>("access-policy-policer-list"),
    point<acl_src<kV4, zel_tag_oper_access_list_associations>>("access-policy-list-for-interface", true),
    point<acl_interface_src<kV4>>("access-policy-interface-list", true),
    point<acl_src<kV6, zel_tag_oper_access_list_names>>("access-list-names-v6"),
    point<acl_src<kV6, zel_tag_oper_access_list_counters>>("access-list-counters-v6"),
    point<acl_counter_src<kV6>>("access-policy-counter-list-v6"),
    point<acl_src<kV6, zel_tag_oper_access_list_policers>>("access-list-policers-v6", true),
    point<acl_policer_src<kV6>>("access-policy-policer-list-v6"),
    point<acl_src<kV6, zel_tag_oper_access_list_associations>>("access-list-associations-v6", true),
    point<acl_interface_src<kV6>>("access-policy-interface-list-v6", true),
};

// The model's callpoints, in its order, are the ones served here.
constexpr bool same_as_model()
{
    if (kShowPoints.size() != std::size(zel_yang_callpoints))
        return false;
    for (size_t i = 0; i < kShowPoints.size(); i++)
        if (std::string_view(kShowPoints[i].callpoint) != zel_yang_callpoints[i])
            return false;
    return true;
}
static_assert(same_as_model());

}  // namespace

int zel_show_init(cfgd_context *cfgd)
{
    for (const show_point &p : kShowPoints) {
        confd_data_cbs cb{};
        snprintf(cb.callpoint, sizeof cb.callpoint, "%s", p.callpoint);
        cb.get_object = p.get_object;
        cb.get_next_object = p.get_next_object;
        cb.find_next_object = p.find_next_object;
        if (confd_register_data_cb(cfgd->dctx, &cb) != CONFD_OK) {
            ZEL_LOG(p.interfaces ? "Failed to register data cb for access-list interfaces"
                                 : "Failed to register data cb");
            return 1;
        }
    }
    return 0;
}
