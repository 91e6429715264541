// The filter binding message: how pxrd learns which VPNs use which filter.
//
// One message format serves the commit pass (bind and unbind of a policy vpn-list), VPN-range
// changes of a bound vpn-list and the announcement of every binding when pxrd registers; all of
// them go out through zel_bind_send on the table-manager link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

struct zel_ctx;

inline constexpr uint8_t ZEL_BIND_OP_BIND = 1;
inline constexpr uint8_t ZEL_BIND_OP_UNBIND = 2;

// Opcode, filter type, direction, filter index, a 128-byte NUL-padded name, VPN id count n, then n
// VPN ids; integers big-endian.
inline constexpr size_t ZEL_BIND_NAME_LEN = 128;
inline constexpr size_t ZEL_BIND_OFF_INDEX = 3;
inline constexpr size_t ZEL_BIND_OFF_NAME = 7;
inline constexpr size_t ZEL_BIND_OFF_COUNT = 135;
inline constexpr size_t ZEL_BIND_HDR_LEN = 139;

struct __attribute__((packed)) zel_bind_msg_hdr {
    uint8_t opcode;
    uint8_t filter_type;
    uint8_t direction;
    uint32_t filter_index;
    char name[ZEL_BIND_NAME_LEN];
    uint32_t count;
};
static_assert(std::is_standard_layout_v<zel_bind_msg_hdr>);
static_assert(offsetof(zel_bind_msg_hdr, filter_index) == ZEL_BIND_OFF_INDEX);
static_assert(offsetof(zel_bind_msg_hdr, name) == ZEL_BIND_OFF_NAME);
static_assert(offsetof(zel_bind_msg_hdr, count) == ZEL_BIND_OFF_COUNT);
static_assert(sizeof(zel_bind_msg_hdr) == ZEL_BIND_HDR_LEN);

// A range of VPN ids, inclusive; the one range type of vpn-lists and binding messages. The message
// carries 32-bit ids.
struct zel_vpn_range {
    uint64_t low;
    uint64_t high;
    auto operator<=>(const zel_vpn_range &) const = default;
};

// Number of VPN ids the ranges name (an inverted range names none), saturated at UINT32_MAX.
uint32_t zel_vpn_range_count(std::span<const zel_vpn_range> ranges);

// What one message says besides its VPN ids.
struct zel_bind_fields {
    uint8_t opcode;
    uint8_t filter_type;
    uint8_t direction;
    uint32_t filter_index;
    const char *name;  // cut at 127 characters
};

// Writes the message for zel_vpn_range_count(ranges) ids into buf; its length (139 + 4n), or 0 when
// it does not fit in cap.
size_t zel_bind_encode(uint8_t *buf, size_t cap, const zel_bind_fields &f, std::span<const zel_vpn_range> ranges);

// Sends one message to pxrd. An empty range set is sent only with send_empty. 0 (also when there is
// nothing to send); 74 without the link; 22 when the ids do not fit in one message; 12 without a
// message buffer.
int zel_bind_send(zel_ctx *ctx, const zel_bind_fields &f, std::span<const zel_vpn_range> ranges, bool send_empty);

// Access-list attach and detach: the header above (the family in place of the filter type, direction
// 0), then per binding the VPN's low 32 bits, the direction and a 33-byte NUL-padded interface name.
inline constexpr uint8_t ZEL_ATTACH_OP_ATTACH = 3;
inline constexpr uint8_t ZEL_ATTACH_OP_DETACH = 4;
inline constexpr size_t ZEL_ATTACH_IFNAME_LEN = 33;
inline constexpr size_t ZEL_ATTACH_ENTRY_LEN = 38;

struct zel_attach_entry {
    uint64_t vpn;
    uint8_t direction;
    const char *ifname;
};

// Writes the message; its length (139 + 38n), or 0 when it does not fit in cap or an interface name
// is over 32 characters.
size_t zel_attach_encode(uint8_t *buf, size_t cap, const zel_bind_fields &f, std::span<const zel_attach_entry> entries);
// Sends one to pxrd: 0 (nothing for no entries), 22 for a name over 32 characters or too many
// entries, 74 without the link, 12 without a message buffer.
int zel_attach_send(zel_ctx *ctx, const zel_bind_fields &f, std::span<const zel_attach_entry> entries);
