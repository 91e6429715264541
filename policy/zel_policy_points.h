// The policy module's configuration points: one row per subscribed YANG list or container, with the
// priorities that order a transaction's changes and the handler that applies them.
//
// Adds run in ascending add priority, deletes in ascending delete priority: what is named (lists,
// mirrors, policers) is created before and deleted after whatever names it.
#pragma once

#include <cstdint>
#include <span>

#include "cfgd/cfgd_api.h"

// Add priorities.
inline constexpr uint8_t ZEL_ADD_LISTS = 1;  // lists, mirrors, policers, the root switches
inline constexpr uint8_t ZEL_ADD_POLICY = 2;
inline constexpr uint8_t ZEL_ADD_POLICY_VPN_LIST = 3;
inline constexpr uint8_t ZEL_ADD_SEQUENCE = 4;
inline constexpr uint8_t ZEL_ADD_LAST = 6;  // classes, access lists and their bindings

// Delete priorities (0: deletes are delivered with the adds).
inline constexpr uint8_t ZEL_DEL_WITH_ADD = 0;
inline constexpr uint8_t ZEL_DEL_FIRST = 1;  // SLA classes, access lists and their bindings
inline constexpr uint8_t ZEL_DEL_SEQUENCE = 3;
inline constexpr uint8_t ZEL_DEL_POLICY_VPN_LIST = 4;
inline constexpr uint8_t ZEL_DEL_POLICY = 5;
inline constexpr uint8_t ZEL_DEL_LISTS = 6;

struct zel_point_row {
    const char *keypath;  // below the module's root, without leading slash
    uint32_t ns;
    uint8_t num_keys;
    uint8_t add_prio;
    uint8_t del_prio;
    cfgd_sub_handler handler;  // null: subscribed and acknowledged only
};

inline constexpr unsigned ZEL_POLICY_NUM_POINTS = 35;

// The rows in subscription order.
std::span<const zel_point_row> zel_policy_points();
