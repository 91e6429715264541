// Access-list handlers: the lists of both families, their sequences, and their bindings to the
// interfaces of VPN instances.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/zel_log.h"
#include "policy/zel_handler_util.h"
#include "policy/zel_handlers.h"
#include "policy/zel_publish.h"
#include "yang/zel_yang_hashes.h"

namespace
{

int access_list(cfgd_sub_point *point, uint32_t family, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                uint16_t num_values, confd_tag_value_t *values)
{
    zel_ctx *ctx = zel_handler_ctx(point);
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: %s, oper:%d, num_values:%u", name, op, num_values);
    if (op == MOP_DELETED) {
        if (int rc = zel_config_access_list_delete(ctx, name, family); rc != 0)
            ZEL_LOG("Failed to delete access list %s, err(%d)\n", name, rc);
        return 0;
    }
    if (op != MOP_CREATED && op != MOP_MODIFIED)
        return 0;
    uint32_t def = 0;
    for (confd_tag_value_t *v = values; v < values + num_values; v++)
        if (CONFD_GET_TAG_TAG(v) == zel_tag_policy_default_action && v->v.type == C_ENUM_VALUE)
            def = zel_conv_base_action(CONFD_GET_ENUM_VALUE(&v->v));
    int rc = op == MOP_CREATED ? zel_config_access_list_add(ctx, name, family, def)
                               : zel_config_access_list_modify(ctx, name, family, def);
    if (rc != 0)
        ZEL_LOG("Failed to add access list %s, err(%d)\n", name, rc);
    return 0;
}

struct seq_ref {
    zel_ctx *ctx;
    char name[ZEL_POLICY_NAME_LEN];
    uint32_t family;
    uint32_t seq;
    zel_sequence *rule;
};

// Where the walk is: inside the set container, and which of match and action came last.
struct seq_walk {
    bool set = false;
    uint32_t last = 0;  // zel_tag_policy_match or zel_tag_policy_action
};

uint32_t match_field(uint32_t tag, const seq_walk &w)
{
    switch (tag) {
    case zel_tag_policy_source_ip:
        return ZEL_MATCH_SRC_ADDR;
    case zel_tag_policy_destination_ip:
        return ZEL_MATCH_DST_ADDR;
    case zel_tag_policy_source_port:
        return ZEL_MATCH_SRC_PORT;
    case zel_tag_policy_destination_port:
        return ZEL_MATCH_DST_PORT;
    case zel_tag_policy_source_data_prefix_list:
        return ZEL_MATCH_SRC_PFX_LIST;
    case zel_tag_policy_destination_data_prefix_list:
        return ZEL_MATCH_DST_PFX_LIST;
    case zel_tag_policy_protocol:
        return ZEL_MATCH_PROTOCOL;
    case zel_tag_policy_dscp:
        return w.set ? 0u : uint32_t{ZEL_MATCH_DSCP};
    case zel_tag_policy_traffic_class:
        return w.set ? 0u : uint32_t{ZEL_MATCH_TRAFFIC_CLASS};
    case zel_tag_policy_next_header:
        return ZEL_MATCH_NEXT_HEADER;
    case zel_tag_policy_class_name:
        return w.last == zel_tag_policy_match ? uint32_t{ZEL_MATCH_FC} : 0u;
    case zel_tag_policy_tcp:
        return ZEL_MATCH_TCP;
    case zel_tag_policy_packet_length:
        return ZEL_MATCH_PKT_LEN;
    case zel_tag_policy_application_list:
        return ZEL_MATCH_APP_LIST;
    case zel_tag_policy_plp:
        return ZEL_MATCH_PLP;
    default:
        return 0;
    }
}

void match_add(const seq_ref &r, uint32_t field, const zel_match_value &mv)
{
    ZEL_HANDLER_CHECK(zel_config_match_add(r.ctx, field, &mv, r.rule),
                      "Failed to add match %u to rule (%s - %d, %d) err(%d)\n", field, r.name,
                      static_cast<int>(r.family), static_cast<int>(r.seq));
}

void match_values(const seq_ref &r, uint32_t field, confd_tag_value_t *p_curr_val)
{
    zel_match_value mv{};
    char name[ZEL_POLICY_NAME_LEN];
    const confd_value_t *val = &p_curr_val->v;
    switch (field) {
    case ZEL_MATCH_SRC_PFX_LIST:
    case ZEL_MATCH_DST_PFX_LIST:
    case ZEL_MATCH_APP_LIST:
    case ZEL_MATCH_FC:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BUF);
        zel_conv_buf(val, name, sizeof name);
        mv.name = name;
        mv.list_type = ZEL_LIST_SOURCE_LOCAL;
        match_add(r, field, mv);
        return;
    case ZEL_MATCH_TCP:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_BIT32);
        mv.low = mv.high = zel_conv_tcp_flags(CONFD_GET_BIT32(val));
        match_add(r, field, mv);
        return;
    case ZEL_MATCH_PLP:
        ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
        mv.low = mv.high = zel_conv_plp(CONFD_GET_ENUM_VALUE(val));
        match_add(r, field, mv);
        return;
    default:
        break;
    }
    ZEL_CONFD_VAL_TYPE(p_curr_val, C_LIST);
    for (unsigned num = 0; num < CONFD_GET_LISTSIZE(val); num++) {
        const confd_value_t *e = &CONFD_GET_LIST(val)[num];
        mv = zel_match_value{};
        if (field == ZEL_MATCH_SRC_ADDR || field == ZEL_MATCH_DST_ADDR) {
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_IPV4PREFIX);
            memcpy(mv.addr, &CONFD_GET_IPV4PREFIX(e).ip, 4);
            mv.length = CONFD_GET_IPV4PREFIX(e).len;
        } else if (field == ZEL_MATCH_SRC_PORT || field == ZEL_MATCH_DST_PORT || field == ZEL_MATCH_PKT_LEN) {
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_BUF);
            char text[32];
            zel_conv_buf(e, text, sizeof text);
            if (!zel_conv_range(text, &mv.low, &mv.high)) {
                ZEL_LOG("Ignoring range %s of rule (%s, %d)", text, r.name, static_cast<int>(r.seq));
                continue;
            }
        } else {
            ZEL_CONFD_ELEM_TYPE(p_curr_val, num, C_UINT8);
            mv.low = mv.high = CONFD_GET_UINT8(e);
        }
        match_add(r, field, mv);
    }
}

// An action element: its code and parameter; false for an element that is no action.
bool action_of(uint32_t tag, const seq_walk &w, confd_tag_value_t *p_curr_val, uint32_t *code, zel_action_value *v)
{
    *v = zel_action_value{};
    const confd_value_t *val = &p_curr_val->v;
    const bool gone = val->type == C_NOEXISTS;
    switch (tag) {
    case zel_tag_policy_base_action:
        if (!gone) {
            ZEL_CONFD_VAL_TYPE(p_curr_val, C_ENUM_VALUE);
            *code = CONFD_GET_ENUM_VALUE(val) == 1 ? ZEL_ACT_REJECT : ZEL_ACT_ACCEPT;
        }
        return true;
    case zel_tag_policy_dscp:
    case zel_tag_policy_traffic_class:
        if (!w.set)
            return false;
        zel_handler_action_param(zel_action_param::u8, p_curr_val, v);
        *code = tag == zel_tag_policy_dscp ? ZEL_ACT_SET_DSCP : ZEL_ACT_SET_TRAFFIC_CLASS;
        return true;
    case zel_tag_policy_class_name:
        if (w.last != zel_tag_policy_action)
            return false;
        zel_handler_action_param(zel_action_param::fc_name, p_curr_val, v);
        *code = ZEL_ACT_SET_FC;
        return true;
    case zel_tag_policy_count:
    case zel_tag_policy_policer_name:
    case zel_tag_policy_mirror_name:
        zel_handler_action_param(zel_action_param::name, p_curr_val, v);
        *code = tag == zel_tag_policy_count          ? ZEL_ACT_COUNT
                : tag == zel_tag_policy_policer_name ? ZEL_ACT_POLICE
                                                     : ZEL_ACT_MIRROR;
        return true;
    case zel_tag_policy_next_hop:
        zel_handler_action_param(zel_action_param::next_hop, p_curr_val, v);
        *code = ZEL_ACT_SET_NEXT_HOP;
        return true;
    case zel_tag_policy_log:
        *code = ZEL_ACT_LOG;
        return true;
    default:
        return false;
    }
}

void walk(const seq_ref &r, bool modify, uint16_t num_values, confd_tag_value_t *values)
{
    seq_walk w;
    for (confd_tag_value_t *p_curr_val = values; p_curr_val < values + num_values; p_curr_val++) {
        const uint32_t tag = CONFD_GET_TAG_TAG(p_curr_val);
        const int type = p_curr_val->v.type;
        if (tag == zel_tag_policy_set && (type == C_XMLBEGIN || type == C_XMLEND || type == C_NOEXISTS)) {
            w.set = type == C_XMLBEGIN;
            continue;
        }
        if (tag == zel_tag_policy_match || tag == zel_tag_policy_action) {
            w.last = tag;
            continue;
        }
        if (type == C_XMLBEGIN || type == C_XMLEND || (type == C_NOEXISTS && !modify))
            continue;
        // The class name means a match or an action only after its container.
        ZEL_ASSERT_AT("zel_confd", __LINE__, tag != zel_tag_policy_class_name || w.last != 0);
        if (const uint32_t field = match_field(tag, w)) {
            if (modify && zel_config_rule_field_clear(r.ctx, field, r.rule) != 0)
                ZEL_CONFD_FATAL();
            if (type != C_NOEXISTS)
                match_values(r, field, p_curr_val);
            continue;
        }
        uint32_t code = 0;
        zel_action_value v;
        if (!action_of(tag, w, p_curr_val, &code, &v))
            continue;
        if (modify) {
            int rc = zel_config_access_list_action_delete(r.ctx, r.name, r.family, r.seq, tag);
            if (rc != 0 && rc != 2)
                ZEL_CONFD_FATAL();
        }
        if (type == C_NOEXISTS)
            continue;
        const uint32_t param = tag == zel_tag_policy_base_action ? 0 : code;
        ZEL_HANDLER_CHECK(zel_intf_config_action_add(r.ctx, r.name, r.family, r.seq, code, param, &v, tag),
                          "Failed to add action %u to rule (%s - %d, %d) err(%d)\n", code, r.name,
                          static_cast<int>(r.family), static_cast<int>(r.seq));
    }
}

int access_list_seq(cfgd_sub_point *point, uint32_t family, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                    uint16_t num_values, confd_tag_value_t *values)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    seq_ref r{zel_handler_ctx(point), {}, family, 0, nullptr};
    zel_handler_key_name(&keys[0], r.name);
    confd_value_t *p_key = &keys[1];
    ZEL_CONFD_KEY_TYPE(p_key, C_UINT16);
    r.seq = CONFD_GET_UINT16(p_key);
    const int fam = static_cast<int>(family), seq = static_cast<int>(r.seq);
    if (op == MOP_DELETED) {
        // A list deleted in the same transaction (same priority, earlier row) took its sequences along.
        if (!zel_acl_find(r.ctx, family, r.name))
            return 0;
        ZEL_HANDLER_CHECK(zel_config_access_list_rule_find(r.ctx, r.name, family, r.seq, &r.rule),
                          "Failed to change rule (%s - %d, %d) err(%d)\n", r.name, fam, seq);
        ZEL_HANDLER_CHECK(zel_config_access_list_rule_delete(r.ctx, r.name, family, r.seq),
                          "Failed to delete rule (%s - %d, %d) err(%d)\n", r.name, fam, seq);
    } else if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_intf_config_rule_add(r.ctx, r.name, family, r.seq, &r.rule),
                          "Failed to add rule (%s - %d, %d) err(%d)\n", r.name, fam, seq);
        walk(r, false, num_values, values);
    } else if (op == MOP_MODIFIED) {
        ZEL_HANDLER_CHECK(zel_config_access_list_rule_find(r.ctx, r.name, family, r.seq, &r.rule),
                          "Failed to change rule (%s - %d, %d) err(%d)\n", r.name, fam, seq);
        r.rule->acl->changed = 1;
        walk(r, true, num_values, values);
    }
    return 0;
}

// The list bound to the interface and direction before this transaction, from the pre-commit view
// of the database; false (logged) when it cannot be read.
bool precommit_acl_name(uint32_t family, uint64_t vpn, const char *ifname, uint32_t dir_enum, char *out, size_t size)
{
    const int sock = cfgd_open_socket(CFGD_LOOP_ANSWER_MS);  // read inside a commit, on the loop
    if (sock < 0) {
        ZEL_LOG("Cannot open data socket to confd : %d", errno);
        return false;
    }
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    bool ok = false;
    int rc = cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (rc != CONFD_OK) {
        ZEL_LOG("Cannot connect to CDB (%d) %s (%d) : %s", rc, confd_strerror(confd_errno), confd_errno,
                confd_lasterr());
    } else if (rc = cdb_start_session(sock, CDB_PRE_COMMIT_RUNNING); rc != CONFD_OK) {
        ZEL_LOG("Failed to start cdb session %s (%d) : %s", confd_strerror(confd_errno), confd_errno, confd_lasterr());
    } else {
        const char *dir = dir_enum == 0 ? "in" : "out";
        rc = family == ZEL_ACL_V6 ? cdb_get_str(sock, out, static_cast<int>(size),
                                                "/vpn/vpn-instance{%lu}/interface{%s}/ipv6/access-list{%s}/acl-name",
                                                static_cast<unsigned long>(vpn), ifname, dir)
                                  : cdb_get_str(sock, out, static_cast<int>(size),
                                                "/vpn/vpn-instance{%lu}/interface{%s}/access-list{%s}/acl-name",
                                                static_cast<unsigned long>(vpn), ifname, dir);
        if (rc == CONFD_OK)
            ok = true;
        else
            ZEL_LOG("Failed to get access-list name %s (%d) : %s", confd_strerror(confd_errno), confd_errno,
                    confd_lasterr());
        cdb_end_session(sock);
    }
    cdb_close(sock);
    return ok;
}

int intf_access_list(cfgd_sub_point *point, uint32_t family, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                     uint16_t num_values, confd_tag_value_t *values)
{
    zel_ctx *ctx = zel_handler_ctx(point);
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 3);
    ZEL_CONFD_KEY_TYPE(&keys[0], C_UINT64);
    ZEL_CONFD_KEY_TYPE(&keys[2], C_ENUM_VALUE);
    zel_acl_binding b;
    b.vpn = CONFD_GET_UINT64(&keys[0]);
    char ifname[64];
    zel_handler_key_name(&keys[1], ifname);
    b.ifname = ifname;
    const uint32_t dir_enum = CONFD_GET_ENUM_VALUE(&keys[2]);
    b.direction = dir_enum == 0 ? 1 : dir_enum == 1 ? 2 : 0;
    char name[ZEL_POLICY_NAME_LEN] = {};
    for (confd_tag_value_t *v = values; v < values + num_values; v++)
        if (CONFD_GET_TAG_TAG(v) == zel_tag_vpn_acl_name && v->v.type == C_BUF)
            zel_conv_buf(&v->v, name, sizeof name);
    if (op != MOP_CREATED && op != MOP_MODIFIED && op != MOP_DELETED)
        return 0;
    if (op != MOP_CREATED) {
        char old[ZEL_ACL_IFNAME_LEN] = {};
        if (precommit_acl_name(family, b.vpn, ifname, dir_enum, old, sizeof old)) {
            // The database gives back 32 characters of the name: a longer name is that of the list
            // that holds the binding and starts with them.
            std::string was = old;
            if (zel_access_list *holder = zel_acl_bound_at(ctx, family, b);
                holder && holder->name.size() > was.size() && holder->name.starts_with(was))
                was = holder->name;
            if (int rc = zel_config_access_list_unbind(ctx, family, was.c_str(), b); rc != 0)
                ZEL_LOG("Failed to unbind acl : %s", old);
        }
    }
    if (op != MOP_DELETED)
        if (int rc = zel_config_access_list_bind(ctx, family, name, b); rc != 0)
            ZEL_LOG("Failed to bind acl: %s", name);
    return 0;
}

}  // namespace

ZEL_POINT_ENTRY(zel_config_ipv4_access_list, access_list, ZEL_ACL_V4)
ZEL_POINT_ENTRY(zel_config_ipv6_access_list, access_list, ZEL_ACL_V6)
ZEL_POINT_ENTRY(zel_config_ipv4_access_list_seq, access_list_seq, ZEL_ACL_V4)
ZEL_POINT_ENTRY(zel_config_ipv6_access_list_seq, access_list_seq, ZEL_ACL_V6)
ZEL_POINT_ENTRY(zel_config_ipv4_intf_access_list, intf_access_list, ZEL_ACL_V4)
ZEL_POINT_ENTRY(zel_config_ipv6_intf_access_list, intf_access_list, ZEL_ACL_V6)

int zel_config_vpn_intf(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys, uint16_t,
                        confd_tag_value_t *)
{
    if (op != MOP_DELETED || num_keys != 2)
        return 0;
    char ifname[64];
    zel_handler_key_name(&keys[1], ifname);
    zel_config_intf_unbind_all(zel_handler_ctx(point), ifname);
    return 0;
}

int zel_config_vpn_instance(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys, uint16_t,
                            confd_tag_value_t *)
{
    if (num_keys != 1 || keys[0].type != C_UINT64)
        return 0;
    const uint64_t vpn = CONFD_GET_UINT64(&keys[0]);
    if (op == MOP_DELETED)
        zel_config_vpn_unbind_all(zel_handler_ctx(point), vpn);
    else if (op == MOP_CREATED || op == MOP_MODIFIED)
        zel_config_vpn_instance_apply(zel_handler_ctx(point), vpn);
    return 0;
}
