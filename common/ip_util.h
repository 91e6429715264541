// Address, prefix and locator (TLOC) key records; their order, parsing and
// printing; colour, encapsulation and service-type names; MAC text, time
// stamps and CRC-32.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/zel_log.h"

// family 2 (AF_INET): v4 holds the address as a host-order number.
// family 10 (AF_INET6): v6 holds the 16 bytes in network order.
struct ip_addr_t {
    uint32_t family;
    union {
        uint32_t v4;
        uint8_t v6[16];
        uint64_t align8;
    };
};
static_assert(sizeof(ip_addr_t) == 24);
static_assert(offsetof(ip_addr_t, v4) == 8);
static_assert(offsetof(ip_addr_t, v6) == 8);

struct ip_addr_port_t {
    ip_addr_t addr;
    uint16_t port;
};
static_assert(offsetof(ip_addr_port_t, port) == 24);

struct ip_prefix_t {
    ip_addr_t addr;
    uint8_t len;  // up to 32 for IPv4, 128 for IPv6
};
static_assert(offsetof(ip_prefix_t, len) == 24);
static_assert(sizeof(ip_prefix_t) == 32);

// Transport locator: system address, colour, encapsulation.
struct tloc_key_t {
    ip_addr_t addr;
    uint8_t color;
    uint8_t encap;
};
static_assert(offsetof(tloc_key_t, color) == 24);
static_assert(offsetof(tloc_key_t, encap) == 25);
static_assert(sizeof(tloc_key_t) == 32);

// Compact address of log lines: IPv6 bytes in network order, or (is_v4 == 1)
// the IPv4 address as a host-order number in the first 4 bytes.
struct zel_addr_t {
    union {
        uint32_t v4;
        uint8_t v6[16];
    };
    uint32_t is_v4;
};
static_assert(sizeof(zel_addr_t) == 20);
static_assert(offsetof(zel_addr_t, is_v4) == 16);

// Colour codes.
inline constexpr uint8_t COLOR_INVALID = 0;
inline constexpr uint8_t COLOR_DEFAULT = 1;
inline constexpr uint8_t COLOR_MAX = 22;  // "private6"
// Encapsulation codes.
inline constexpr uint8_t ENCAP_GRE = 1;
inline constexpr uint8_t ENCAP_IPSEC = 2;

inline constexpr size_t IP_ADDR_STR_LEN = 46;  // INET6_ADDRSTRLEN
inline constexpr size_t ZEL_ADDR_RING = 8;
inline constexpr size_t ZEL_ADDR_BUF = 128;

// ---- order ----------------------------------------------------------------

// -1, 0, +1: family first, then the IPv4 number or the 16 IPv6 bytes.
// Families other than IPv4 and IPv6 are a fatal assertion.
inline int ip_addr_cmp(const ip_addr_t *a, const ip_addr_t *b)
{
    if (a->family != b->family)
        return a->family < b->family ? -1 : 1;
    if (a->family == AF_INET) {
        if (a->v4 == b->v4)
            return 0;
        return a->v4 < b->v4 ? -1 : 1;
    }
    ZEL_ASSERT_AT("ip_util", 229, a->family == AF_INET6);
    int diff = memcmp(a->v6, b->v6, sizeof a->v6);
    return (diff > 0) - (diff < 0);
}

// Address, then colour, then encapsulation.
inline int tloc_key_cmp(const tloc_key_t *a, const tloc_key_t *b)
{
    if (int diff = ip_addr_cmp(&a->addr, &b->addr))
        return diff;
    if (a->color != b->color)
        return a->color < b->color ? -1 : 1;
    if (a->encap != b->encap)
        return a->encap < b->encap ? -1 : 1;
    return 0;
}

// ---- printing and parsing -------------------------------------------------
// The *_to_str functions write a zero-terminated text (cut to size) and return buf.

// IPv4 "%d.%d.%d.%d", IPv6 per inet_ntop, other families "--".
const char *ip_addr_to_str(const ip_addr_t *addr, char *buf, size_t size);
// "addr:port"
const char *ip_addr_port_to_str(const ip_addr_port_t *ap, char *buf, size_t size);
// "addr/len"
const char *ip_prefix_to_str(const ip_prefix_t *prefix, char *buf, size_t size);
// 1 and the address when text is IPv4 (inet_network, host order) or IPv6
// (inet_pton); else 0 and an all-zero address (family 0).
int ip_addr_parse(const char *text, ip_addr_t *addr);

// "Originator: %s Color: %u Encap: %u"
const char *tloc_to_str(const tloc_key_t *key, char *buf, size_t size);
// "%s : %s : %s" with the colour and encapsulation names.
const char *tloc_to_name_str(const tloc_key_t *key, char *buf, size_t size);

// "default", "mpls", ... ; "--" for unknown codes.
const char *color_name(unsigned code);
// Prefix match against the parse names ("met-eth", "biz-int", "pub-int", ...); 0 when none.
uint8_t color_parse(const char *text);
// "gre", "ipsec"; "--" for unknown codes.
const char *encap_name(unsigned code);
// "ipsec" 2, "gre" 1, else 0.
uint8_t encap_parse(const char *text);
// "FW", "IDS", ... "TE"; nullptr for codes without a name.
const char *service_name(unsigned code);

// "aa:bb:..." text of six bytes.
const char *mac_to_str(const uint8_t mac[6], char *buf, size_t size);
// Six ':'-separated hex fields, each at most ff, nothing after: 0; else 22 and mac untouched.
int mac_parse(const char *text, uint8_t mac[6]);

// Local time as "%b %d %T"; empty when the clock reads 0.
const char *time_stamp_str(char *buf, size_t size);
const char *time_stamp_str_at(long long seconds, char *buf, size_t size);

// True for "loopback*" and "natpool*" interfaces.
bool is_internal_ifname(const char *ifname);

// Reflected CRC-32 (polynomial 0xEDB88320) update, no pre/post complement.
uint32_t crc32(uint32_t crc, const void *bytes, size_t len);
// Standard CRC-32: ~crc32(0xFFFFFFFF, bytes, len).
uint32_t crc32_buf(const void *bytes, size_t len);

// Formats a compact address into buf; returns the text length.
int zel_addr_format(const zel_addr_t *addr, char *buf, size_t size);

// Text of a compact address in the next of 8 rotating buffers, so that up to
// 8 addresses can appear in one log line. Each source file has its own ring.
// The length of the text goes to *len when given.
static inline const char *zel_addr_str(const zel_addr_t *addr, int *len = nullptr)
{
    static char ring[ZEL_ADDR_RING][ZEL_ADDR_BUF];
    static unsigned next;
    char *buf = ring[next];
    next = (next + 1) % ZEL_ADDR_RING;
    int n = zel_addr_format(addr, buf, ZEL_ADDR_BUF);
    if (len)
        *len = n;
    return buf;
}
