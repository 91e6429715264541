// Configuration handlers of the named lists: vpn-lists (controller only), prefix lists and
// application lists of both sources.
//
// A list and its entries are deleted at one priority, the list first: entries reported after
// their list are already gone with it.
#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/zel_log.h"
#include "policy/zel_config.h"
#include "policy/zel_conv.h"
#include "policy/zel_handler_util.h"
#include "policy/zel_handlers.h"

// ----------------------------------------------------------------------------------------------------
// VPN lists.

int zel_config_policy_vpn_list(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                               uint16_t num_values, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: vpn-list: %s, oper:%d, num_values:%u", name, op, num_values);
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_config_vpn_list_add(ctx, name), "Failed to add vpn-list %s err(%d)\n", name);
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_vpn_list_delete(ctx, name), "Failed to delete vpn-list %s err(%d)\n", name);
    }
    return 0;
}

int zel_config_policy_vpn_id(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                             uint16_t num_values, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN], text[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    zel_handler_key_name(&keys[1], text);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: vpn-list: %s, vpn: %s, oper:%d, num_values:%u", name, text, op,
              num_values);
    unsigned long low = 0, high = 0;
    const int n = sscanf(text, "%lu-%lu", &low, &high);
    if (n < 1) {
        ZEL_LOG("Invalid vpn list range %s in list %s", text, name);
        return -1;
    }
    if (n == 1)
        high = low;
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_config_vpn_range_add(ctx, name, low, high), "Failed to add vpn (%s, %lu-%lu) err(%d)\n",
                          name, low, high);
    } else if (op == MOP_DELETED && zel_config_vpn_list_find(ctx, name)) {
        ZEL_HANDLER_CHECK(zel_config_vpn_range_delete(ctx, name, low, high),
                          "Failed to delete vpn (%s, %lu-%lu) err(%d)\n", name, low, high);
    }
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Prefix lists.

namespace
{

int pfx_list(cfgd_sub_point *point, uint32_t source, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
             uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: prefix list: %s (source %u), oper:%d", name, source, op);
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_config_pfx_list_add(ctx, name, source), "Failed to add Fwding Pfx list %s, err(%d)\n",
                          name);
    } else if (op == MOP_MODIFIED) {
        ZEL_HANDLER_CHECK(zel_config_pfx_list_change(ctx, name, source),
                          "Failed to change Fwding Pfx list %s, err(%d)\n", name);
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_pfx_list_delete(ctx, name, source),
                          "Failed to delete Fwding Pfx list %s, err(%d)\n", name);
    }
    return 0;
}

int pfx_list_ip(cfgd_sub_point *point, uint32_t source, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    confd_value_t *p_key = &keys[1];
    ZEL_CONFD_KEY_TYPE(p_key, C_IPV4PREFIX);
    zel_prefix prefix{};
    memcpy(prefix.addr, &CONFD_GET_IPV4PREFIX(p_key).ip, 4);
    prefix.len = CONFD_GET_IPV4PREFIX(p_key).len;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, prefix.addr, text, sizeof text);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: prefix list: %s (source %u), prefix: %s/%u, oper:%d", name, source,
              text, prefix.len, op);
    int rc = 0;
    if (op == MOP_CREATED)
        rc = zel_config_pfx_list_prefix_add(ctx, name, source, prefix);
    else if (op == MOP_DELETED && zel_config_pfx_list_find(ctx, name, source))
        rc = zel_config_pfx_list_prefix_delete(ctx, name, source, prefix);
    else
        return 0;
    if (rc != 0) {
        ZEL_LOG("Failed to %s prefix %s/%u in Fwding Pfx list %s, err(%d)\n", op == MOP_CREATED ? "add" : "delete",
                text, prefix.len, name, rc);
        ZEL_CONFD_FATAL();
    }
    if (rc = zel_config_pfx_list_change(ctx, name, source); rc != 0) {
        ZEL_LOG("Failed to change Fwding Pfx list %s, err(%d)\n", name, rc);
        ZEL_CONFD_FATAL();
    }
    return 0;
}

}  // namespace

ZEL_POINT_ENTRY(zel_config_policy_local_pfx_list, pfx_list, ZEL_LIST_SOURCE_LOCAL)
ZEL_POINT_ENTRY(zel_config_policy_pfx_list, pfx_list, ZEL_LIST_SOURCE_CONTROLLER)
ZEL_POINT_ENTRY(zel_config_policy_local_pfx_list_ip, pfx_list_ip, ZEL_LIST_SOURCE_LOCAL)
ZEL_POINT_ENTRY(zel_config_policy_pfx_list_ip, pfx_list_ip, ZEL_LIST_SOURCE_CONTROLLER)

// ----------------------------------------------------------------------------------------------------
// Application lists.

namespace
{

int app_list(cfgd_sub_point *point, uint32_t source, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
             uint16_t, confd_tag_value_t *)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 1);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: app list: %s (source %u), oper:%d", name, source, op);
    if (op == MOP_CREATED) {
        ZEL_HANDLER_CHECK(zel_config_app_list_add(ctx, name, source), "Failed to add App List %s, err(%d)\n", name);
    } else if (op == MOP_MODIFIED && source == ZEL_LIST_SOURCE_LOCAL) {
        ZEL_HANDLER_CHECK(zel_config_app_list_change(ctx, name, source), "Failed to change App List %s, err(%d)\n",
                          name);
    } else if (op == MOP_DELETED) {
        ZEL_HANDLER_CHECK(zel_config_app_list_delete(ctx, name, source), "Failed to delete App list %s, err(%d)\n",
                          name);
    }
    return 0;
}

// One kind of entry point: its list source, entry kind and messages.
struct app_entry_kind {
    uint32_t source;
    uint32_t kind;
    const char *add_failed;
    const char *delete_failed;
};
constexpr app_entry_kind kApp{ZEL_LIST_SOURCE_CONTROLLER, ZEL_APP_LIST_KIND_APPS,
                              "Failed to add app %s in app-list %s, err(%d)",
                              "Failed to delete app %s in app list %s, err(%d)\n"};
constexpr app_entry_kind kLocalApp{ZEL_LIST_SOURCE_LOCAL, ZEL_APP_LIST_KIND_APPS,
                                   "Failed to add app %s in app-list %s, err(%d)",
                                   "Failed to delete app %s app list %s, err(%d)\n"};
constexpr app_entry_kind kFamily{ZEL_LIST_SOURCE_CONTROLLER, ZEL_APP_LIST_KIND_FAMILIES,
                                 "Failed to add app-family %s in app-list %s, err(%d)",
                                 "Failed to delete app-family %s app list %s, err(%d)\n"};
constexpr app_entry_kind kLocalFamily{ZEL_LIST_SOURCE_LOCAL, ZEL_APP_LIST_KIND_FAMILIES,
                                      "Failed to add app-family %s in app-list %s, err(%d)",
                                      "Failed to change app-family %s app list %s, err(%d)\n"};

int app_entry(cfgd_sub_point *point, const app_entry_kind &k, enum cdb_iter_op op, uint8_t num_keys,
              confd_value_t *keys, uint16_t, confd_tag_value_t *)
{
    const uint32_t source = k.source, kind = k.kind;
    ZEL_ASSERT_AT("zel_confd", __LINE__, num_keys == 2);
    zel_ctx *ctx = zel_handler_ctx(point);
    char name[ZEL_POLICY_NAME_LEN], entry[ZEL_POLICY_NAME_LEN];
    zel_handler_key_name(&keys[0], name);
    zel_handler_key_name(&keys[1], entry);
    ZEL_DEBUG(ZEL_DEBUG_CONFIG, "Fwding Policy: app list: %s (source %u), %s: %s, oper:%d", name, source,
              kind == ZEL_APP_LIST_KIND_APPS ? "app" : "app-family", entry, op);
    if (op != MOP_CREATED && op != MOP_DELETED)
        return 0;
    if (op == MOP_DELETED && !zel_config_app_list_find(ctx, name, source))
        return 0;
    if (int rc = zel_config_app_list_change(ctx, name, source); rc != 0) {
        if (op == MOP_CREATED)
            ZEL_LOG("Failed to change app list %s, err(%d)\n", name, rc);
        else
            ZEL_LOG(k.delete_failed, entry, name, rc);
        ZEL_CONFD_FATAL();
    }
    if (op == MOP_DELETED) {
        zel_config_app_list_entry_delete(ctx, name, source, kind, entry);
        return 0;
    }
    int rc = zel_config_app_list_entry_add(ctx, name, source, kind, entry);
    if (rc == 0)
        return 0;
    ZEL_LOG(k.add_failed, entry, name, rc);
    // The catalogue of applications is the inspection engine's, not the schema's: a name it does not
    // know (2) or one that names an application already in the list (17) leaves the list without
    // the entry.
    if (rc != 2 && rc != 17)
        ZEL_CONFD_FATAL();
    return 0;
}

}  // namespace

ZEL_POINT_ENTRY(zel_config_policy_local_app_list, app_list, ZEL_LIST_SOURCE_LOCAL)
ZEL_POINT_ENTRY(zel_config_policy_app_list, app_list, ZEL_LIST_SOURCE_CONTROLLER)
ZEL_POINT_ENTRY(zel_config_policy_local_app_list_app, app_entry, kLocalApp)
ZEL_POINT_ENTRY(zel_config_policy_local_app_list_app_family, app_entry, kLocalFamily)
ZEL_POINT_ENTRY(zel_config_policy_app_list_app, app_entry, kApp)
ZEL_POINT_ENTRY(zel_config_policy_app_list_app_family, app_entry, kFamily)
