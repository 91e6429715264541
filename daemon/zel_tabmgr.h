// Table-manager link: zeld is the SERVER that pxrd registers with.
//
// When pxrd registers, every policy announces the VPNs of each of its VPN
// lists and every access list its interfaces, through the announcement hook
// the policy side installs. The filter binding message is the one message
// format both announcements and later policy changes use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/msgq_util.h"
#include "daemon/zel.h"

inline constexpr uint8_t ZEL_BIND_OP_BIND = 1;
inline constexpr uint8_t ZEL_BIND_OP_UNBIND = 2;

// Filter binding message: opcode, filter type, direction, filter index,
// a 128-byte NUL-padded name, VPN id count n, then n VPN ids; big-endian.
inline constexpr size_t ZEL_BIND_NAME_LEN = 128;
inline constexpr size_t ZEL_BIND_OFF_INDEX = 3;
inline constexpr size_t ZEL_BIND_OFF_NAME = 7;
inline constexpr size_t ZEL_BIND_OFF_COUNT = 135;
inline constexpr size_t ZEL_BIND_HDR_LEN = 139;

struct zel_vpn_range {
    uint32_t low;
    uint32_t high;
};

// Number of VPN ids the ranges name (an inverted range names none).
uint32_t zel_vpn_range_count(std::span<const zel_vpn_range> ranges);

// Writes a filter binding message for n = zel_vpn_range_count(ranges) ids into
// buf; returns its length (139 + 4n) or 0 when it does not fit in cap. The
// name is cut at 127 characters.
size_t zel_binding_msg_encode(uint8_t *buf, size_t cap, uint8_t opcode, uint8_t filter_type, uint8_t direction,
                              uint32_t filter_index, const char *name, std::span<const zel_vpn_range> ranges);

// One VPN-list binding of a policy, as the announcement needs it.
struct zel_vpn_list_view {
    const char *vpn_list_name;
    uint8_t filter_type;
    uint8_t direction;
    uint32_t filter_index;
    std::span<const zel_vpn_range> ranges;  // of the VPN list of that name
};

// SERVER link on "/var/run/.zeld" for pxrd (own 9, target 3); 12 on failure.
int zel_tabmgr_init(zel_ctx *ctx);
void zel_tabmgr_deinit(zel_ctx *ctx);

// pxrd registered: the announcement hook runs for every policy and access list.
void zel_tabmgr_up(msgq_handle_t *h, void *arg);

// Announces each VPN list of one policy, in the order given: a binding
// message with opcode 1 and the list's VPN ids, sent even without ids.
// 0; 12 when a buffer cannot be had (the rest are not sent). No link: 0.
int zel_tabmgr_send_vpn_lists(std::span<const zel_vpn_list_view> lists, zel_ctx *ctx);

// Installed by the policy side: announces every policy (through
// zel_tabmgr_send_vpn_lists) and then every access list. None: nothing to announce.
using zel_tabmgr_announce_fn = void (*)(zel_ctx *ctx);
void zel_tabmgr_set_announce(zel_tabmgr_announce_fn fn);
