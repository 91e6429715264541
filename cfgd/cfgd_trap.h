// SNMP traps: the MIB name table, the operator's trap groups and the variable
// bindings of a queued notification.
#pragma once

#include <cstdint>

#include "cfgd/cfgd_api.h"

inline constexpr uint32_t CFGD_TRAP_MAX_INDEX = 97;
inline constexpr unsigned CFGD_TRAP_NAME_LEN = 64;
inline constexpr unsigned CFGD_TRAP_GROUP_NAME_LEN = 32;
inline constexpr unsigned CFGD_TRAP_BUF_LEN = 128;
inline constexpr unsigned CFGD_TRAP_MAX_BUFS = 20;
inline constexpr unsigned CFGD_TRAP_MIB_ROWS = 255;

// Trap module selectors and levels of the configuration.
inline constexpr unsigned CFGD_TRAP_MODULES = 14;  // 0 = all, 1-13 one module each
inline constexpr unsigned CFGD_TRAP_LEVELS = 3;    // 0 critical, 1 major, 2 minor

// Trap indices of the daemon's own notifications.
inline constexpr uint32_t CFGD_TRAP_POLICY_STATUS = 44;
inline constexpr uint32_t CFGD_TRAP_ACCESS_LIST_STATUS = 45;

// What a notification item carries for its trap.
struct cfgd_trap_item {
    char name[CFGD_TRAP_NAME_LEN];
    uint32_t index;
    struct confd_snmp_varbind *varbinds;
    int num_varbinds;
    char *bufs[CFGD_TRAP_MAX_BUFS];
    int num_bufs;
};

struct cfgd_notif_item;

// Handlers of the library-wide points "snmp/trap/group" and "snmp/trap/group/enable".
int cfgd_config_trap_group(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                           uint16_t num_values, confd_tag_value_t *values);
int cfgd_config_trap_group_enable(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                  uint16_t num_values, confd_tag_value_t *values);

// Variable bindings for a queued notification (producer side) and the sends per group.
void cfgd_trap_populate(cfgd_notif_item *item);
void cfgd_trap_send(cfgd_notif_item *item, struct confd_notification_ctx *snmp_ctx);
void cfgd_trap_item_free(cfgd_notif_item *item);

// Table and group primitives.
int cfgd_trap_add_hash_entry(uint32_t tag, uint32_t ns, const char *mib_name, uint32_t trap_index);
// The MIB name of (tag, ns) (ns 0 matches any namespace) and its trap index; null if none.
const char *cfgd_trap_get_mib_name(uint32_t tag, uint32_t ns, uint32_t *trap_index);
bool cfgd_trap_is_enabled(const char *group, uint32_t trap_index);
int cfgd_trap_set(uint8_t *bitmap, uint32_t trap_index, bool on);
int cfgd_trap_add_tag(const char *group);
bool cfgd_trap_find_tag(const char *group);
void cfgd_trap_bitmap_dump(const char *group);
// Rows in the MIB table and groups configured (diagnostics and tests).
unsigned cfgd_trap_mib_rows();
unsigned cfgd_trap_group_count();
