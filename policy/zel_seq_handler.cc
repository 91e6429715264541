// The sequence handler: the match and action leaves of a data-policy or app-route-policy sequence
// become matches and actions of one rule of the model.
//
// Match elements and simple actions are applied as the values are walked. Composite actions
// ("sla-class", "set tloc", "tloc-list", "set svc-local", "set svc-type", "set tloc-color-encap",
// "set local-tloc-list") gather leaves spread over the sequence and are added after the walk; a
// modification rebuilds each composite it touched from the rule's existing action and the new parts.
// "set tloc", "tloc-list" and "set svc-local" exclude one another, and "set svc-type" needs one of
// them ("tloc-list" without choices when none is given).
#include <arpa/inet.h>

#include <cstring>

#include "common/zel_log.h"
#include "policy/zel_config.h"
#include "policy/zel_conv.h"
#include "policy/zel_handler_util.h"
#include "policy/zel_handlers.h"
#include "yang/zel_yang_hashes.h"

namespace
{

constexpr uint32_t kSlaId = zel_tag_policy_sla_class;
constexpr uint32_t kTlocId = zel_tag_policy_tloc;
constexpr uint32_t kTlocListId = zel_tag_policy_qor_tloc_pref_list;
constexpr uint32_t kSvcLocalId = zel_tag_policy_local;
constexpr uint32_t kSvcTypeId = zel_tag_policy_svc_type;
constexpr uint32_t kTceId = zel_tag_policy_tloc_color_encap;
constexpr uint32_t kLtlId = zel_tag_policy_local_tloc_list;

// The rule the handler works on.
struct rule_ref {
    zel_ctx *ctx;
    uint32_t type;
    char policy[ZEL_POLICY_NAME_LEN];
    char vpn_list[ZEL_POLICY_NAME_LEN];
    uint32_t seq;
    zel_sequence *rule;
};

// One part of a composite action: given with a value, or deleted (given, default value).
template <typename T>
struct part {
    bool given = false;
    bool deleted = false;
    T value{};
    void set(T v) { given = true, deleted = false, value = v; }
    void clear(T def) { given = true, deleted = true, value = def; }
};

struct composites {
    part<bool> sla_seen;  // any leaf of the SLA class
    char sla_name[ZEL_CLASS_NAME_LEN] = {};
    part<bool> sla_name_part, strict;
    part<uint32_t> preferred;

    part<uint32_t> tloc_addr, tloc_color, tloc_encap, tloc_label;
    part<bool> tloc_list, svc_local;
    part<uint32_t> svc_type;
    part<uint32_t> tce_color, tce_encap;
    part<uint32_t> ltl_color, ltl_encap;
    part<uint8_t> ltl_restrict;

    bool tloc_touched() const { return tloc_addr.given || tloc_color.given || tloc_encap.given || tloc_label.given; }
    bool sla_touched() const { return sla_name_part.given || strict.given || preferred.given; }
    bool tce_touched() const { return tce_color.given || tce_encap.given; }
    bool ltl_touched() const { return ltl_color.given || ltl_encap.given || ltl_restrict.given; }
};

struct containers {
    bool set = false, tce = false, ltl = false;
};

// Encapsulations inside the colour containers: gre (1) and ipsec (2) take bits of their own.
uint32_t container_encap_bits(const confd_value_t *v)
{
    auto mapped = [](uint32_t e) {
        return e == ENCAP_GRE ? ZEL_ENCAP_MASK_GRE : e == ENCAP_IPSEC ? ZEL_ENCAP_MASK_IPSEC : zel_conv_enum_bit(e);
    };
    if (v->type == C_ENUM_VALUE)
        return mapped(CONFD_GET_ENUM_VALUE(v));
    uint32_t mask = 0;
    for (unsigned i = 0; i < CONFD_GET_LISTSIZE(v); i++)
        mask |= mapped(CONFD_GET_ENUM_VALUE(&CONFD_GET_LIST(v)[i]));
    return mask;
}

// ---------------------------------------------------------------------------------------------------
// Matches.

struct match_elem {
    uint32_t tag;
    uint32_t field;
};
constexpr match_elem kMatches[] = {
    {zel_tag_policy_source_ip, ZEL_MATCH_SRC_ADDR},
    {zel_tag_policy_destination_ip, ZEL_MATCH_DST_ADDR},
    {zel_tag_policy_source_port, ZEL_MATCH_SRC_PORT},
    {zel_tag_policy_destination_port, ZEL_MATCH_DST_PORT},
    {zel_tag_policy_source_data_prefix_list, ZEL_MATCH_SRC_PFX_LIST},
    {zel_tag_policy_destination_data_prefix_list, ZEL_MATCH_DST_PFX_LIST},
    {zel_tag_policy_protocol, ZEL_MATCH_PROTOCOL},
    {zel_tag_policy_dscp, ZEL_MATCH_DSCP},
    {zel_tag_policy_tcp, ZEL_MATCH_TCP},
    {zel_tag_policy_packet_length, ZEL_MATCH_PKT_LEN},
    {zel_tag_policy_application_list, ZEL_MATCH_APP_LIST},
    {zel_tag_policy_plp, ZEL_MATCH_PLP},
};

uint32_t match_field(uint32_t tag, const containers &in)
{
    if (tag == zel_tag_policy_dscp && in.set)
        return 0;  // "set dscp"
    for (const match_elem &m : kMatches)
        if (m.tag == tag)
            return m.field;
    return 0;
}

void match_add(const rule_ref &r, uint32_t field, const zel_match_value &mv)
{
    ZEL_HANDLER_CHECK(zel_config_match_add(r.ctx, field, &mv, r.rule),
                      "Failed to add match %u to rule (%s, %d) err(%d)\n", field, r.vpn_list, static_cast<int>(r.seq));
}

// The values of one match element. An application-list match takes the list reference itself.
void match_values(const rule_ref &r, uint32_t field, confd_tag_value_t *p_curr_val)
{
    zel_match_value mv{};
    char name[ZEL_POLICY_NAME_LEN];
    switch (field) {
    case ZEL_MATCH_SRC_PFX_LIST:
    case ZEL_MATCH_DST_PFX_LIST:
    case ZEL_MATCH_APP_LIST:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
        zel_conv_buf(&p_curr_val->v, name, sizeof name);
        mv.name = name;
        mv.list_type = ZEL_LIST_SOURCE_CONTROLLER;
        match_add(r, field, mv);
        return;
    case ZEL_MATCH_TCP:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BIT32);
        mv.low = mv.high = zel_conv_tcp_flags(CONFD_GET_BIT32(&p_curr_val->v));
        match_add(r, field, mv);
        return;
    case ZEL_MATCH_PLP:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
        mv.low = mv.high = zel_conv_plp(CONFD_GET_ENUM_VALUE(&p_curr_val->v));
        match_add(r, field, mv);
        return;
    default:
        break;
    }
    ZEL_CONFD_VAL_TYPE(p_curr_val, C_LIST);
    for (unsigned num = 0; num < CONFD_GET_LISTSIZE(&p_curr_val->v); num++) {
        const confd_value_t *e = &CONFD_GET_LIST(&p_curr_val->v)[num];
        mv = zel_match_value{};
        if (field == ZEL_MATCH_SRC_ADDR || field == ZEL_MATCH_DST_ADDR) {
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_IPV4PREFIX);
            memcpy(mv.addr, &CONFD_GET_IPV4PREFIX(e).ip, 4);
            mv.length = CONFD_GET_IPV4PREFIX(e).len;
        } else if (field == ZEL_MATCH_PROTOCOL || field == ZEL_MATCH_DSCP) {
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_UINT8);
            mv.low = mv.high = CONFD_GET_UINT8(e);
        } else {  // ports and lengths
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_BUF);
            char text[32];
            zel_conv_buf(e, text, sizeof text);
            if (!zel_conv_range(text, &mv.low, &mv.high)) {
                ZEL_LOG("Ignoring range %s of rule (%s, %d)", text, r.vpn_list, static_cast<int>(r.seq));
                continue;
            }
        }
        match_add(r, field, mv);
    }
}

// ---------------------------------------------------------------------------------------------------
// Actions.

void action_add(const rule_ref &r, uint32_t tag, uint32_t code, uint32_t param_type, const zel_action_value &v)
{
    int rc = zel_config_action_add(r.ctx, r.type, r.policy, r.vpn_list, r.seq, code, param_type, &v, tag);
    if (rc != 0) {
        ZEL_LOG("Failed to add action %u to rule (%s, %d) err(%d)\n", code, r.vpn_list, static_cast<int>(r.seq), rc);
        ZEL_CONFD_FATAL();
    }
}

// Deleting an action the rule does not hold is no error: a modification deletes before it adds.
void action_delete(const rule_ref &r, uint32_t tag)
{
    int rc = zel_config_action_delete(r.ctx, r.type, r.policy, r.vpn_list, r.seq, tag);
    if (rc != 0 && rc != 2) {
        ZEL_LOG("Failed to delete action %#x of rule (%s, %d) err(%d)\n", tag, r.vpn_list, static_cast<int>(r.seq), rc);
        ZEL_CONFD_FATAL();
    }
}

const zel_action *action_find(const rule_ref &r, uint32_t tag)
{
    zel_action *a = nullptr;
    zel_config_action_find(r.ctx, r.type, r.policy, r.vpn_list, r.seq, tag, &a);
    return a;
}

// A simple action: code and parameter type by its element, the parameter from the value. False for
// an element that is no simple action.
bool simple_action(const rule_ref &r, uint32_t tag, const containers &in, confd_tag_value_t *p_curr_val, uint32_t *code,
                   zel_action_value *v)
{
    *v = zel_action_value{};
    const confd_value_t *val = &p_curr_val->v;
    const bool gone = val->type == C_NOEXISTS;
    switch (tag) {
    case zel_tag_policy_base_action:
        if (!gone) {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
            *code = zel_conv_base_action(CONFD_GET_ENUM_VALUE(val));
        }
        return true;
    case zel_tag_policy_dscp:
        if (!in.set)
            return false;
        zel_handler_action_param(zel_action_param::u8, p_curr_val, v);
        break;
    case zel_tag_policy_use_vpn:
    case zel_tag_policy_pool_id:
        zel_handler_action_param(zel_action_param::u32, p_curr_val, v);
        break;
    case zel_tag_policy_backup_preferred_color:
        if (!gone)
            v->value = zel_conv_enum_bits(val);
        break;
    case zel_tag_policy_count:
    case zel_tag_policy_policer_name:
    case zel_tag_policy_mirror_name:
        zel_handler_action_param(zel_action_param::name, p_curr_val, v);
        break;
    case zel_tag_policy_forwarding_class:
        zel_handler_action_param(zel_action_param::fc_name, p_curr_val, v);
        break;
    case zel_tag_policy_next_hop:
        zel_handler_action_param(zel_action_param::next_hop, p_curr_val, v);
        break;
    case zel_tag_policy_restrict:
        if (in.ltl)
            return false;
        v->value = r.seq;
        break;
    case zel_tag_policy_cflowd:
    case zel_tag_policy_log:
    case zel_tag_policy_tcp_optimization:
        v->value = r.seq;  // presence actions carry no parameter the model uses
        break;
    default:
        return false;
    }
    switch (tag) {
    case zel_tag_policy_use_vpn:
        *code = ZEL_ACT_SET_NAT_USE_VPN;
        break;
    case zel_tag_policy_count:
        *code = ZEL_ACT_COUNT;
        break;
    case zel_tag_policy_policer_name:
        *code = ZEL_ACT_POLICE;
        break;
    case zel_tag_policy_mirror_name:
        *code = ZEL_ACT_MIRROR;
        break;
    case zel_tag_policy_forwarding_class:
        *code = ZEL_ACT_SET_FC;
        break;
    case zel_tag_policy_cflowd:
        *code = ZEL_ACT_CFLOWD;
        break;
    default:
        *code = zel_conv_action_type(tag);
        break;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// The walk over the values.

// Leaves of composite actions: recorded, applied after the walk.
bool composite_leaf(uint32_t tag, const containers &in, confd_tag_value_t *p_curr_val, composites &c)
{
    const confd_value_t *val = &p_curr_val->v;
    const bool gone = val->type == C_NOEXISTS;
    switch (tag) {
    case zel_tag_policy_sla_class_name:
        if (gone) {
            snprintf(c.sla_name, sizeof c.sla_name, "%s", ZEL_SLA_ALL_TUNNELS);
            c.sla_name_part.clear(false);
        } else {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
            zel_conv_buf(val, c.sla_name, sizeof c.sla_name);
            c.sla_name_part.set(true);
        }
        return true;
    case zel_tag_policy_strict:
        if (gone) {
            c.strict.clear(false);
        } else {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_BOOL);
            c.strict.set(CONFD_GET_BOOL(val) != 0);
        }
        return true;
    case zel_tag_policy_preferred_color:
        gone ? c.preferred.clear(0) : c.preferred.set(zel_conv_enum_bits(val));
        return true;
    case zel_tag_policy_ip:
        if (gone) {
            c.tloc_addr.clear(0);
        } else {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_IPV4);
            c.tloc_addr.set(ntohl(CONFD_GET_IPV4(val).s_addr));
        }
        return true;
    case zel_tag_policy_color:
    case zel_tag_policy_encap: {
        const bool color = tag == zel_tag_policy_color;
        if (in.tce) {
            part<uint32_t> &p = color ? c.tce_color : c.tce_encap;
            gone ? p.clear(0) : p.set(color ? zel_conv_enum_bits(val) : container_encap_bits(val));
        } else if (in.ltl) {
            part<uint32_t> &p = color ? c.ltl_color : c.ltl_encap;
            gone ? p.clear(0) : p.set(color ? zel_conv_enum_bits(val) : container_encap_bits(val));
        } else {
            part<uint32_t> &p = color ? c.tloc_color : c.tloc_encap;
            if (gone) {
                p.clear(color ? 0 : 2);
            } else {
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
                p.set(CONFD_GET_ENUM_VALUE(val));
            }
        }
        return true;
    }
    case zel_tag_policy_label:
        if (gone) {
            c.tloc_label.clear(0);
        } else {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT32);
            c.tloc_label.set(CONFD_GET_UINT32(val));
        }
        return true;
    case zel_tag_policy_restrict:
        if (!in.ltl)
            return false;
        gone ? c.ltl_restrict.clear(0) : c.ltl_restrict.set(1);
        return true;
    case zel_tag_policy_qor_tloc_pref_list:
        gone ? c.tloc_list.clear(false) : c.tloc_list.set(true);
        return true;
    case zel_tag_policy_local:
        gone ? c.svc_local.clear(false) : c.svc_local.set(true);
        return true;
    case zel_tag_policy_svc_type:
        if (gone) {
            c.svc_type.clear(0);
        } else {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
            c.svc_type.set(CONFD_GET_ENUM_VALUE(val));
        }
        return true;
    default:
        return false;
    }
}

// A container deleted as a whole: each of its parts is deleted.
void container_deleted(uint32_t tag, composites &c)
{
    if (tag == kTlocId) {
        c.tloc_addr.clear(0);
    } else if (tag == kTceId) {
        c.tce_color.clear(0);
        c.tce_encap.clear(0);
    } else if (tag == kLtlId) {
        c.ltl_color.clear(0);
        c.ltl_encap.clear(0);
        c.ltl_restrict.clear(0);
    } else if (tag == kSlaId) {
        snprintf(c.sla_name, sizeof c.sla_name, "%s", ZEL_SLA_ALL_TUNNELS);
        c.sla_name_part.clear(false);
        c.strict.clear(false);
        c.preferred.clear(0);
    }
}

void walk(const rule_ref &r, bool modify, uint16_t num_values, confd_tag_value_t *values, composites &c)
{
    containers in;
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        const uint32_t tag = CONFD_GET_TAG_TAG(p_curr_val);
        const int type = p_curr_val->v.type;
        if (type == C_XMLBEGIN || type == C_XMLEND ||
            (type == C_NOEXISTS && (tag == zel_tag_policy_set || tag == kTceId || tag == kLtlId))) {
            const bool open = type == C_XMLBEGIN;
            if (tag == zel_tag_policy_set)
                in.set = open;
            else if (tag == kTceId)
                in.tce = open;
            else if (tag == kLtlId)
                in.ltl = open;
            if (type == C_NOEXISTS && modify)
                container_deleted(tag, c);
            continue;
        }
        if (type == C_NOEXISTS && !modify)
            continue;
        if (type == C_NOEXISTS && (tag == kTlocId || tag == kSlaId)) {
            container_deleted(tag, c);
            continue;
        }
        if (const uint32_t field = match_field(tag, in)) {
            if (modify && zel_config_rule_field_clear(r.ctx, field, r.rule) != 0)
                ZEL_CONFD_FATAL();
            if (type != C_NOEXISTS)
                match_values(r, field, p_curr_val);
            continue;
        }
        uint32_t code = 0;
        zel_action_value v;
        if (simple_action(r, tag, in, p_curr_val, &code, &v)) {
            if (modify)
                action_delete(r, tag);
            if (type != C_NOEXISTS)
                action_add(r, tag, code, tag == zel_tag_policy_base_action ? 0 : code, v);
            continue;
        }
        composite_leaf(tag, in, p_curr_val, c);  // anything else is not the handler's
    }
}

// ---------------------------------------------------------------------------------------------------
// Composite actions.

void add_sla(const rule_ref &r, const char *name, bool strict, uint32_t preferred)
{
    zel_action_value v{};
    snprintf(v.sla_name, sizeof v.sla_name, "%s", name);
    v.strict = strict ? 1 : 0;
    v.preferred_color = preferred;
    action_add(r, kSlaId, ZEL_ACT_SLA_CLASS, ZEL_ACT_SLA_CLASS, v);
}

void add_tloc(const rule_ref &r, uint32_t addr, uint32_t color, uint32_t encap, uint32_t label)
{
    zel_action_value v{};
    v.tloc.addr.family = AF_INET;
    v.tloc.addr.v4 = addr;
    v.tloc.color = static_cast<uint8_t>(color);
    v.tloc.encap = static_cast<uint8_t>(encap);
    v.vpn_label = label;
    action_add(r, kTlocId, ZEL_ACT_SET_TLOC, ZEL_ACT_SET_TLOC, v);
}

void add_presence(const rule_ref &r, uint32_t tag, uint32_t code)
{
    zel_action_value v{};
    v.value = r.seq;
    action_add(r, tag, code, code, v);
}

void add_svc_type(const rule_ref &r, uint32_t svc)
{
    zel_action_value v{};
    v.value = svc;
    action_add(r, kSvcTypeId, ZEL_ACT_SET_SVC_TYPE, ZEL_ACT_SET_SVC_TYPE, v);
}

void add_tce(const rule_ref &r, uint32_t color, uint32_t encap)
{
    zel_action_value v{};
    v.color = color;
    v.encap = encap;
    action_add(r, kTceId, ZEL_ACT_SET_TLOC_COLOR_ENCAP, ZEL_ACT_SET_TLOC_COLOR_ENCAP, v);
}

void add_ltl(const rule_ref &r, uint32_t color, uint32_t encap, uint8_t restrict_, uint8_t given)
{
    zel_action_value v{};
    v.color = color;
    v.encap = encap;
    v.restrict_ = restrict_;
    v.given = given;
    action_add(r, kLtlId, ZEL_ACT_SET_LOCAL_TLOC_LIST, ZEL_ACT_SET_LOCAL_TLOC_LIST, v);
}

// The alternatives to `keep` go.
void drop_alternatives(const rule_ref &r, uint32_t keep)
{
    for (uint32_t id : {kTlocId, kTlocListId, kSvcLocalId})
        if (id != keep)
            action_delete(r, id);
}

// "set svc-type" without a way to the service gets the TLOC list.
void implicit_tloc_list(const rule_ref &r)
{
    if (action_find(r, kSvcTypeId) && !action_find(r, kTlocId) && !action_find(r, kTlocListId) &&
        !action_find(r, kSvcLocalId))
        add_presence(r, kTlocListId, ZEL_ACT_TLOC_LIST);
}

bool has_tloc_list(const rule_ref &r)
{
    const zel_tloc_list *tl = zel_config_tloc_list_find(r.ctx, r.type, r.policy, r.vpn_list, r.seq);
    return tl && !tl->entries.empty();
}

void create_composites(const rule_ref &r, const composites &c)
{
    if (r.type == ZEL_POLICY_TYPE_PFR) {
        const bool named = c.sla_name_part.given && !c.sla_name_part.deleted;
        add_sla(r, named ? c.sla_name : ZEL_SLA_ALL_TUNNELS, named && c.strict.value, c.preferred.value);
    }
    if (c.tloc_touched())
        add_tloc(r, c.tloc_addr.value, c.tloc_color.value, c.tloc_encap.given ? c.tloc_encap.value : 2,
                 c.tloc_label.value);
    if (c.tloc_list.given || (r.type == ZEL_POLICY_TYPE_DATA && has_tloc_list(r)))
        add_presence(r, kTlocListId, ZEL_ACT_TLOC_LIST);
    if (c.svc_local.given)
        add_presence(r, kSvcLocalId, ZEL_ACT_SET_SVC_LOCAL);
    if (c.svc_type.given) {
        add_svc_type(r, c.svc_type.value);
        if (!c.svc_local.given)
            implicit_tloc_list(r);
    }
    if (c.tce_color.value != 0 || c.tce_encap.value != 0)
        add_tce(r, c.tce_color.value, c.tce_encap.value);
    if (c.ltl_touched()) {
        const uint8_t given = (c.ltl_color.given ? ZEL_LTL_COLOR : 0) | (c.ltl_encap.given ? ZEL_LTL_ENCAP : 0) |
                              (c.ltl_restrict.given ? ZEL_LTL_RESTRICT : 0);
        add_ltl(r, c.ltl_color.value, c.ltl_encap.value, c.ltl_restrict.value, given);
    }
}

template <typename T>
T merged(const part<T> &p, bool have_old, T old, T def)
{
    return p.given ? p.value : have_old ? old : def;
}

void modify_composites(const rule_ref &r, const composites &c)
{
    if (r.type == ZEL_POLICY_TYPE_PFR && c.sla_touched()) {
        const zel_action *old = action_find(r, kSlaId);
        const char *name = c.sla_name_part.given ? c.sla_name : old ? old->v.sla_name : ZEL_SLA_ALL_TUNNELS;
        // A new class does not take over the strictness and colours chosen for the old one.
        const bool same = old && strncmp(old->v.sla_name, name, ZEL_CLASS_NAME_LEN) == 0;
        char keep[ZEL_CLASS_NAME_LEN];
        snprintf(keep, sizeof keep, "%s", name);
        const bool strict = merged<bool>(c.strict, same, old && old->v.strict, false);
        const uint32_t preferred = merged<uint32_t>(c.preferred, same, old ? old->v.preferred_color : 0, 0);
        action_delete(r, kSlaId);
        add_sla(r, keep, strict, preferred);
    }
    if (c.tloc_touched()) {
        const zel_action *old = action_find(r, kTlocId);
        if (c.tloc_addr.deleted) {
            action_delete(r, kTlocId);
        } else {
            const bool o = old != nullptr;
            const uint32_t addr = merged<uint32_t>(c.tloc_addr, o, o ? old->v.tloc.addr.v4 : 0, 0);
            const uint32_t color = merged<uint32_t>(c.tloc_color, o, o ? old->v.tloc.color : 0, 0);
            const uint32_t encap = merged<uint32_t>(c.tloc_encap, o, o ? old->v.tloc.encap : 2, 2);
            const uint32_t label = merged<uint32_t>(c.tloc_label, o, o ? old->v.vpn_label : 0, 0);
            action_delete(r, kTlocId);
            drop_alternatives(r, kTlocId);
            add_tloc(r, addr, color, encap, label);
        }
    }
    if (c.tloc_list.given) {
        action_delete(r, kTlocListId);
        if (!c.tloc_list.deleted) {
            drop_alternatives(r, kTlocListId);
            add_presence(r, kTlocListId, ZEL_ACT_TLOC_LIST);
        }
    }
    if (c.svc_local.given) {
        action_delete(r, kSvcLocalId);
        if (!c.svc_local.deleted) {
            drop_alternatives(r, kSvcLocalId);
            add_presence(r, kSvcLocalId, ZEL_ACT_SET_SVC_LOCAL);
        }
    }
    if (c.svc_type.deleted) {
        for (uint32_t id : {kSvcTypeId, kTlocId, kTlocListId, kSvcLocalId})
            action_delete(r, id);
    } else if (c.svc_type.given) {
        action_delete(r, kSvcTypeId);
        add_svc_type(r, c.svc_type.value);
    }
    if ((c.svc_type.given || c.tloc_touched() || c.tloc_list.given || c.svc_local.given) &&
        !(c.svc_local.given && !c.svc_local.deleted))
        implicit_tloc_list(r);
    if (c.tce_touched()) {
        const zel_action *old = action_find(r, kTceId);
        const uint32_t color = merged<uint32_t>(c.tce_color, old, old ? old->v.color : 0, 0);
        const uint32_t encap = merged<uint32_t>(c.tce_encap, old, old ? old->v.encap : 0, 0);
        action_delete(r, kTceId);
        if (color != 0 || encap != 0)
            add_tce(r, color, encap);
    }
    if (c.ltl_touched()) {
        const zel_action *old = action_find(r, kLtlId);
        const uint8_t old_given = old ? old->v.given : 0;
        auto given_of = [&](const auto &p, uint8_t bit) {
            return p.given ? (p.deleted ? 0 : bit) : static_cast<uint8_t>(old_given & bit);
        };
        const uint8_t given = given_of(c.ltl_color, ZEL_LTL_COLOR) | given_of(c.ltl_encap, ZEL_LTL_ENCAP) |
                              given_of(c.ltl_restrict, ZEL_LTL_RESTRICT);
        const uint32_t color = merged<uint32_t>(c.ltl_color, old, old ? old->v.color : 0, 0);
        const uint32_t encap = merged<uint32_t>(c.ltl_encap, old, old ? old->v.encap : 0, 0);
        const uint8_t restrict_ = merged<uint8_t>(c.ltl_restrict, old, old ? old->v.restrict_ : 0, 0);
        action_delete(r, kLtlId);
        if (given != 0)
            add_ltl(r, color, encap, restrict_, given);
    }
}

bool rule_ref_init(rule_ref *r, cfgd_sub_point *point, uint32_t policy_type, uint8_t num_keys, confd_value_t *keys)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, policy_type == ZEL_POLICY_TYPE_DATA || policy_type == ZEL_POLICY_TYPE_PFR);
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 3);
    r->ctx = zel_handler_ctx(point);
    r->type = policy_type;
    zel_handler_key_name(&keys[0], r->policy);
    zel_handler_key_name(&keys[1], r->vpn_list);
    confd_value_t *p_key = &keys[2];
    ZEL_CONFD_KEY_TYPE(p_key, C_UINT16);
    r->seq = CONFD_GET_UINT16(p_key);
    r->rule = nullptr;
    return true;
}

}  // namespace

int zel_config_fwding_policy_seq(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op, uint8_t num_keys,
                                 confd_value_t *keys, uint16_t num_values, confd_tag_value_t *values)
{
    rule_ref r;
    rule_ref_init(&r, point, policy_type, num_keys, keys);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: %s (type: %d), vpn-list: %s, sequence: %u, oper:%d, num_values:%u",
              r.policy, static_cast<int>(policy_type), r.vpn_list, r.seq, op, num_values);
    const int seq = static_cast<int>(r.seq);

    if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_rule_find(r.ctx, r.type, r.policy, r.vpn_list, r.seq, &r.rule),
                          "Failed to change rule (%s, %d) err(%d)\n", r.vpn_list, seq);
        ZEL_HANDLER_CHECK(zel_config_rule_delete(r.ctx, r.type, r.policy, r.vpn_list, r.seq),
                          "Failed to delete rule (%s, %d) err(%d)\n", r.vpn_list, seq);
        return 0;
    }
    composites c;
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_config_rule_add(r.ctx, r.type, r.policy, r.vpn_list, r.seq, &r.rule),
                          "Failed to add rule (%s, %d) err(%d)\n", r.vpn_list, seq);
        walk(r, false, num_values, values, c);
        create_composites(r, c);
    } else if (op == MOP_MODIFIED) {
        zel_policy *policy = nullptr;
        zel_policy_vpn_list *pvl = nullptr;
        int rc = zel_config_policy_find(r.ctx, r.type, r.policy, &policy);
        if (rc == 0)
            rc = zel_config_policy_vpn_list_find(r.ctx, r.type, r.policy, r.vpn_list, &pvl);
        if (rc == 0)
            rc = zel_config_rule_find(r.ctx, r.type, r.policy, r.vpn_list, r.seq, &r.rule);
        if (rc != 0) {
            ZEL_LOG("Failed to change rule (%s, %d) err(%d)\n", r.vpn_list, seq, rc);
            ZEL_CONFD_FATAL();
        }
        policy->changed = pvl->changed = 1;
        walk(r, true, num_values, values, c);
        modify_composites(r, c);
    }
    return 0;
}

void zel_handler_tloc_list_presence(zel_ctx *ctx, const char *policy, const char *vpn_list, uint32_t seq)
{
    rule_ref r{ctx, ZEL_POLICY_TYPE_DATA, {}, {}, seq, nullptr};
    snprintf(r.policy, sizeof r.policy, "%s", policy);
    snprintf(r.vpn_list, sizeof r.vpn_list, "%s", vpn_list);
    if (zel_config_rule_find(ctx, r.type, r.policy, r.vpn_list, seq, &r.rule) != 0)
        return;
    const bool listed = has_tloc_list(r);
    const bool acting = action_find(r, kTlocListId) != nullptr;
    if (listed && !acting) {
        drop_alternatives(r, kTlocListId);
        add_presence(r, kTlocListId, ZEL_ACT_TLOC_LIST);
    } else if (!listed && acting && !action_find(r, kSvcTypeId)) {
        action_delete(r, kTlocListId);
    }
}

void zel_handler_action_param(zel_action_param kind, confd_tag_value_t *p_curr_val, zel_action_value *v)
{
    const confd_value_t *val = &p_curr_val->v;
    if (val->type == C_NOEXISTS)
        return;
    switch (kind) {
    case zel_action_param::u8:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT8);
        v->value = CONFD_GET_UINT8(val);
        break;
    case zel_action_param::u32:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT32);
        v->value = CONFD_GET_UINT32(val);
        break;
    case zel_action_param::name:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
        zel_conv_buf(val, v->name, sizeof v->name);
        break;
    case zel_action_param::fc_name:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
        zel_conv_buf(val, v->fc_name, sizeof v->fc_name);
        break;
    case zel_action_param::next_hop: {
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
        char text[64];
        zel_conv_buf(val, text, sizeof text);
        v->next_hop = zel_conv_address(text);
        break;
    }
    }
}
