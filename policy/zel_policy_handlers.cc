// Configuration handlers of policies and their vpn-lists, TLOC preference lists, classes, mirrors
// and policers.
#include <arpa/inet.h>

#include <cstring>

#include "common/zel_log.h"
#include "policy/zel_config.h"
#include "policy/zel_conv.h"
#include "policy/zel_handler_util.h"
#include "policy/zel_handlers.h"
#include "yang/zel_yang_hashes.h"

// ----------------------------------------------------------------------------------------------------
// Data policies and app-route policies.

namespace
{

// The direction leaf of a data policy among the values: its conversion, absent counting as "all".
uint32_t direction_of(uint16_t num_values, confd_tag_value_t *values)
{
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        if (CONFD_GET_TAG_TAG(p_curr_val) != zel_tag_policy_direction || p_curr_val->v.type == C_NOEXISTS)
            continue;
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
        return zel_conv_direction(true, CONFD_GET_ENUM_VALUE(&p_curr_val->v));
    }
    return zel_conv_direction(false, 0);
}

}  // namespace

int zel_config_fwding_policy(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op, uint8_t num_keys,
                             confd_value_t *keys, uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, policy_type == ZEL_POLICY_TYPE_DATA || policy_type == ZEL_POLICY_TYPE_PFR);
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: %s, oper:%d, num_values:%u", name, op, num_values);
    const int type = static_cast<int>(policy_type);

    if (op == MOP_CREATED) {
        const uint32_t direction = policy_type == ZEL_POLICY_TYPE_DATA ? direction_of(num_values, values) : 0;
        ZEL_HANDLER_CHECK(zel_config_policy_add(ctx, policy_type, name, direction),
                          "Failed to add Fwding Policy %s (type: %d), err(%d)\n", name, type);
    } else if (op == MOP_MODIFIED && policy_type == ZEL_POLICY_TYPE_DATA) {
        const uint32_t direction = direction_of(num_values, values);
        zel_policy *policy;
        ZEL_HANDLER_CHECK(zel_config_policy_find(ctx, policy_type, name, &policy),
                          "Failed to find Fwding Policy %s (type %d), err(%d)\n", name, type);
        if (policy->direction != direction) {
            ZEL_HANDLER_CHECK(zel_config_policy_direction_set(ctx, policy, direction),
                              "Failed to update direction on Fwding Policy %s (type %d), err(%d)\n", name, type);
        }
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_policy_delete(ctx, policy_type, name),
                          "Failed to delete Fwding Policy %s (type %d), err(%d)\n", name, type);
    }
    return 0;
}

int zel_config_fwding_policy_vpn_list(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op,
                                      uint8_t num_keys, confd_value_t *keys, uint16_t num_values,
                                      confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, policy_type == ZEL_POLICY_TYPE_DATA || policy_type == ZEL_POLICY_TYPE_PFR);
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    zel_ctx *ctx = zel_handler_ctx(point);
    char policy[ZEL_POLICY_NAME_LEN], vpn_list[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], policy);
    zel_handler_key_name(&keys[1], vpn_list);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: %s (type: %d), vpn-list: %s, oper:%d, num_values:%u", policy,
              static_cast<int>(policy_type), vpn_list, op, num_values);

    if (op == MOP_CREATED || op == MOP_MODIFIED) {
        uint32_t action = 0;
        char sla_buf[ZEL_CLASS_NAME_LEN];
        snprintf(sla_buf, sizeof sla_buf, "%s", ZEL_SLA_ALL_TUNNELS);
        for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
            if (p_curr_val->v.type == C_NOEXISTS)
                continue;
            if (CONFD_GET_TAG_TAG(p_curr_val) == zel_tag_policy_default_action) {
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
                action = zel_conv_base_action(CONFD_GET_ENUM_VALUE(&p_curr_val->v));
            } else if (CONFD_GET_TAG_TAG(p_curr_val) == zel_tag_policy_sla_class_name) {
                ZEL_ASSERT_AT("zel_confd", __LINE__, policy_type == ZEL_POLICY_TYPE_PFR);
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
                zel_conv_buf(&p_curr_val->v, sla_buf, sizeof sla_buf);
            }
        }
        const char *sla = policy_type == ZEL_POLICY_TYPE_PFR ? sla_buf : nullptr;
        int rc = op == MOP_CREATED ? zel_config_policy_vpn_list_add(ctx, policy_type, policy, vpn_list, action, sla)
                                   : zel_config_policy_vpn_list_modify(ctx, policy_type, policy, vpn_list, action, sla);
        if (rc != 0) {
            ZEL_LOG("Failed to add/modify vpn-list (%s, %s) err(%d)\n", policy, vpn_list, rc);
            ZEL_CONFD_FATAL();
        }
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_policy_vpn_list_delete(ctx, policy_type, policy, vpn_list),
                          "Failed to delete vpn-list (%s, %s) err(%d)\n", policy, vpn_list);
    }
    return 0;
}

ZEL_POINT_ENTRY(zel_config_data_policy, zel_config_fwding_policy, ZEL_POLICY_TYPE_DATA)
ZEL_POINT_ENTRY(zel_config_app_route_policy, zel_config_fwding_policy, ZEL_POLICY_TYPE_PFR)
ZEL_POINT_ENTRY(zel_config_data_policy_vpn_list, zel_config_fwding_policy_vpn_list, ZEL_POLICY_TYPE_DATA)
ZEL_POINT_ENTRY(zel_config_app_route_policy_vpn_list, zel_config_fwding_policy_vpn_list, ZEL_POLICY_TYPE_PFR)
ZEL_POINT_ENTRY(zel_config_data_policy_seq, zel_config_fwding_policy_seq, ZEL_POLICY_TYPE_DATA)
ZEL_POINT_ENTRY(zel_config_app_route_policy_seq, zel_config_fwding_policy_seq, ZEL_POLICY_TYPE_PFR)

// ----------------------------------------------------------------------------------------------------
// TLOC preference lists.

namespace
{

// The leaves of one entry; a deleted leaf gives 0.
void tloc_entry_fill(zel_tloc_choice_cfg &e, uint16_t num_values, confd_tag_value_t *values)
{
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        const uint32_t tag = CONFD_GET_TAG_TAG(p_curr_val);
        const bool gone = p_curr_val->v.type == C_NOEXISTS;
        if (tag == zel_tag_policy_tloc_ip) {
            e.tloc.addr = ip_addr_t{};
            if (!gone) {
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_IPV4);
                e.tloc.addr.family = AF_INET;
                e.tloc.addr.v4 = ntohl(CONFD_GET_IPV4(&p_curr_val->v).s_addr);
            }
        } else if (tag == zel_tag_policy_tloc_color || tag == zel_tag_policy_tloc_encap) {
            uint32_t v = 0;
            if (!gone) {
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
                v = CONFD_GET_ENUM_VALUE(&p_curr_val->v);
            }
            (tag == zel_tag_policy_tloc_color ? e.tloc.color : e.tloc.encap) = static_cast<uint8_t>(v);
        } else if (tag == zel_tag_policy_vpn_label || tag == zel_tag_policy_preference) {
            uint32_t v = 0;
            if (!gone) {
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT32);
                v = CONFD_GET_UINT32(&p_curr_val->v);
            }
            (tag == zel_tag_policy_vpn_label ? e.vpn_label : e.preference) = v;
        }
    }
}

}  // namespace

int zel_config_data_policy_seq_tloc_pref_list(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys,
                                              confd_value_t *keys, uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 4);
    zel_ctx *ctx = zel_handler_ctx(point);
    char policy[ZEL_POLICY_NAME_LEN], vpn_list[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], policy);
    zel_handler_key_name(&keys[1], vpn_list);
    confd_value_t *p_key = &keys[2];
    ZEL_CONFD_KEY_TYPE(p_key, C_UINT16);
    const uint32_t seq = CONFD_GET_UINT16(p_key);
    p_key = &keys[3];
    ZEL_CONFD_KEY_TYPE(p_key, C_UINT32);
    const uint32_t index = CONFD_GET_UINT32(p_key);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: %s, vpn-list: %s, sequence: %u, tloc pref: %u, oper:%d", policy,
              vpn_list, seq, index, op);
    constexpr uint32_t type = ZEL_POLICY_TYPE_DATA;

    zel_policy *p = nullptr;
    zel_policy_vpn_list *pvl = nullptr;
    int rc = zel_config_policy_find(ctx, type, policy, &p);
    if (rc == 0)
        rc = zel_config_policy_vpn_list_find(ctx, type, policy, vpn_list, &pvl);

    if (op == MOP_DELETED) {
        // Deleting a whole policy removes its vpn-lists (and with their sequences these lists)
        // before the entries are reported: nothing is left to do then.
        zel_tloc_list *tl = zel_config_tloc_list_find(ctx, type, policy, vpn_list, seq);
        if (tl) {
            tl->entries.erase(index);
            if (tl->entries.empty())
                zel_config_tloc_list_delete(ctx, type, policy, vpn_list, seq);
        }
        if (rc == 0) {
            p->changed = pvl->changed = 1;
            zel_handler_tloc_list_presence(ctx, policy, vpn_list, seq);
        }
        return 0;
    }
    if (op != MOP_CREATED && op != MOP_MODIFIED)
        return 0;
    if (rc != 0) {
        ZEL_LOG("Failed to change rule (%s, %d) err(%d)\n", vpn_list, static_cast<int>(seq), rc);
        ZEL_CONFD_FATAL();
    }
    zel_tloc_list *tl = zel_config_tloc_list_get(ctx, type, policy, vpn_list, seq);
    ZEL_ASSERT_AT("zel_confd", __LINE__, tl != NULL);
    auto it = tl->entries.find(index);
    if (op == MOP_MODIFIED) {
        ZEL_ASSERT_AT("zel_confd", __LINE__, it != tl->entries.end());
        tloc_entry_fill(it->second, num_values, values);
    } else {
        ZEL_ASSERT_AT("zel_confd", __LINE__, it == tl->entries.end());
        zel_tloc_choice_cfg e{};
        tloc_entry_fill(e, num_values, values);
        tl->entries.emplace(index, e);
    }
    p->changed = pvl->changed = 1;
    zel_handler_tloc_list_presence(ctx, policy, vpn_list, seq);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Classes.

int zel_config_policy_fwd_class(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_CLASS_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    uint8_t queue = 0;
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        if (CONFD_GET_TAG_TAG(p_curr_val) != zel_tag_policy_queue || p_curr_val->v.type == C_NOEXISTS)
            continue;
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT8);
        queue = CONFD_GET_UINT8(&p_curr_val->v);
    }
    int rc = 0;
    if (op == MOP_CREATED)
        rc = zel_fwd_class_add(ctx, name, queue);
    else if (op == MOP_MODIFIED)
        rc = zel_fwd_class_modify(ctx, name, queue);
    else if (op == MOP_DELETED)
        rc = zel_fwd_class_delete(ctx, name);
    return rc != 0 ? 1 : 0;
}

int zel_config_policy_sla_class(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_CLASS_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_sla_class_add(ctx, name), "Failed to add sla class '%s', err(%d)\n", name);
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_sla_class_delete(ctx, name), "Failed to delete SLA class %s, err(%d)\n", name);
    }
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Mirrors.

namespace
{

ip_addr_t addr_of(const confd_value_t *v)
{
    ip_addr_t a{};
    if (v->type == C_IPV4) {
        a.family = AF_INET;
        a.v4 = ntohl(CONFD_GET_IPV4(v).s_addr);
    } else {
        ZEL_INVARIANT("zel_confd", "(v)->type == C_IPV6", v->type == C_IPV6);
        a.family = AF_INET6;
        memcpy(a.v6, &CONFD_GET_IPV6(v), sizeof a.v6);
    }
    return a;
}

// The part of a mirror a point names: the mirror itself, one interface or one destination.
// Whatever a deleted mirror held is reported after it: nothing is left to delete then.
void mirror_change(zel_ctx *ctx, enum cdb_iter_op op, const char *name, const char *intf, const zel_mirror_dest *dest)
{
    int rc = 0;
    if (op == MOP_CREATED)
        rc = zel_config_mirror_add(ctx, name, intf, dest);
    else if (op == MOP_MODIFIED && dest)
        rc = zel_config_mirror_modify(ctx, name, intf, dest);
    else if (op == MOP_DELETED && (zel_config_mirror_find(ctx, name) || (!intf && !dest)))
        rc = zel_config_mirror_delete(ctx, name, intf, dest);
    if (rc != 0) {
        ZEL_LOG("Failed to change mirror %s (oper %d), err(%d)\n", name, op, rc);
        ZEL_CONFD_FATAL();
    }
}

}  // namespace

int zel_config_policy_mirror(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                             uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: mirror: %s, oper:%d", name, op);
    mirror_change(zel_handler_ctx(point), op, name, nullptr, nullptr);
    return 0;
}

int zel_config_policy_mirror_intf(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                  uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    char name[ZEL_POLICY_NAME_LEN], intf[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    // The configured interface name is the platform's internal one here.
    zel_handler_key_name(&keys[1], intf);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: mirror: %s, interface: %s, oper:%d", name, intf, op);
    if (op != MOP_MODIFIED)
        mirror_change(zel_handler_ctx(point), op, name, intf, nullptr);
    return 0;
}

int zel_config_policy_mirror_dest(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                  uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    zel_mirror_dest dest{};
    dest.dst = addr_of(&keys[1]);
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++)
        if (CONFD_GET_TAG_TAG(p_curr_val) == zel_tag_policy_source && p_curr_val->v.type != C_NOEXISTS)
            dest.src = addr_of(&p_curr_val->v);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: mirror: %s, remote destination, oper:%d, num_values:%u", name, op,
              num_values);
    mirror_change(zel_handler_ctx(point), op, name, nullptr, &dest);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Policers.

namespace
{

int policer_change(cfgd_sub_point *point, uint32_t source, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                   uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    zel_policer_cfg cfg;
    cfg.name = name;
    cfg.source = source;
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        const uint32_t tag = CONFD_GET_TAG_TAG(p_curr_val);
        const bool gone = p_curr_val->v.type == C_NOEXISTS;
        if (tag == zel_tag_policy_rate) {
            if (!gone)
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT64);
            cfg.rate_bps = gone ? 0 : CONFD_GET_UINT64(&p_curr_val->v);
            cfg.mask |= ZEL_POLICER_RATE;
        } else if (tag == zel_tag_policy_burst) {
            if (!gone)
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_UINT32);
            cfg.burst_bytes = gone ? 0 : CONFD_GET_UINT32(&p_curr_val->v);
            cfg.mask |= ZEL_POLICER_BURST;
        } else if (tag == zel_tag_policy_exceed) {
            if (!gone)
                ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
            cfg.exceed = gone ? 0 : CONFD_GET_ENUM_VALUE(&p_curr_val->v);
            cfg.mask |= ZEL_POLICER_EXCEED;
        }
    }
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: policer: %s (source %u), oper:%d, num_values:%u", name, source, op,
              num_values);
    int rc = 0;
    if (op == MOP_CREATED)
        rc = zel_config_policer_add(ctx, cfg);
    else if (op == MOP_MODIFIED)
        rc = zel_config_policer_modify(ctx, cfg, cfg.mask);
    else if (op == MOP_DELETED)
        rc = zel_config_policer_delete(ctx, cfg);
    if (rc != 0) {
        ZEL_LOG("Failed to change policer %s (oper %d), err(%d)\n", name, op, rc);
        ZEL_CONFD_FATAL();
    }
    return 0;
}

}  // namespace

ZEL_POINT_ENTRY(zel_config_policy_policer, policer_change, ZEL_LIST_SOURCE_CONTROLLER)
ZEL_POINT_ENTRY(zel_config_policy_local_policer, policer_change, ZEL_LIST_SOURCE_LOCAL)
