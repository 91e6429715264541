// libkro stand-in: the records exchanged with krod and their wire encoding.
//
// Wire format (all integers big-endian):
//   0  u8   version (1)
//   1  u8   message type
//   2  u16  body length: bytes after this 8-byte header
//   4  u32  source daemon identifier
//   8  body
// Bodies:
//   type 1 (request):   u32 index, u8 subscribe, u8 resync                       (6 bytes)
//   types 5 and 6 (locator update / withdrawal):
//       u32 family, 16 address bytes (IPv4: the first 4, network order; rest 0),
//       u8 colour, u8 encapsulation, u8 local, u32 state, u32 TLOC index,
//       u32 preference, u32 weight                                              (39 bytes)
//   any other type: the record's raw body bytes, at most 1008.
// A payload decodes only when its version is known and its length is exactly
// the header plus the body its type calls for.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t KRO_MSG_REQUEST = 1;
inline constexpr uint32_t KRO_MSG_TLOC_UPDATE = 5;
inline constexpr uint32_t KRO_MSG_TLOC_WITHDRAW = 6;

inline constexpr uint8_t KRO_WIRE_VERSION = 1;
inline constexpr size_t KRO_WIRE_HDR_LEN = 8;
inline constexpr size_t KRO_WIRE_REQ_LEN = KRO_WIRE_HDR_LEN + 6;
inline constexpr size_t KRO_WIRE_TLOC_LEN = KRO_WIRE_HDR_LEN + 39;
inline constexpr size_t KRO_MSG_LEN = 1024;
inline constexpr size_t KRO_BODY_LEN = KRO_MSG_LEN - 16;

// Body of a request (type 1): what krod should send back.
struct kro_req_body_t {
    uint8_t subscribe;  // 1: keep reporting changes
    uint8_t resync;     // 1: report the whole table again first
};

// Body of a locator update or withdrawal (types 5 and 6).
struct kro_tloc_body_t {
    uint8_t rsvd0[8];
    uint32_t family;  // AF_INET 2, AF_INET6 10
    uint32_t rsvd1;
    union {
        uint32_t v4;  // network byte order
        uint8_t v6[16];
    } addr;
    uint8_t color;
    uint8_t encap;
    uint8_t rsvd2[6];
    uint8_t local;  // 1: the locator is one of this router's own
    uint8_t rsvd3[3];
    uint32_t state;  // 1 up
    uint32_t tloc_index;
    uint8_t rsvd4[240];
    uint32_t pref;
    uint32_t weight;
};
static_assert(offsetof(kro_tloc_body_t, family) == 8);
static_assert(offsetof(kro_tloc_body_t, addr) == 16);
static_assert(offsetof(kro_tloc_body_t, color) == 32);
static_assert(offsetof(kro_tloc_body_t, encap) == 33);
static_assert(offsetof(kro_tloc_body_t, local) == 40);
static_assert(offsetof(kro_tloc_body_t, state) == 44);
static_assert(offsetof(kro_tloc_body_t, tloc_index) == 48);
static_assert(offsetof(kro_tloc_body_t, pref) == 292);
static_assert(offsetof(kro_tloc_body_t, weight) == 296);

// One message, decoded or to encode.
struct kro_msg_t {
    uint32_t type;
    uint32_t src;    // sender's daemon identifier
    uint32_t index;  // requests
    uint32_t rsvd;
    union {
        kro_req_body_t req;
        kro_tloc_body_t tloc;
        uint8_t raw[KRO_BODY_LEN];
    } body;
};
static_assert(sizeof(kro_msg_t) == KRO_MSG_LEN);
static_assert(offsetof(kro_msg_t, src) == 4);
static_assert(offsetof(kro_msg_t, index) == 8);
static_assert(offsetof(kro_msg_t, body) == 16);
static_assert(offsetof(kro_msg_t, body.req.resync) == 17);

// Encodes msg into buf (cap bytes); the encoded length goes to *len.
// 0, or 22 for a type above 255, 90 when buf is too small.
int kro_msg_encode(const kro_msg_t *msg, void *buf, size_t cap, uint32_t *len);
// Decodes a payload into *msg (zeroed first). 0, or 22 when the payload is
// short, too long, of an unknown version or not the length its type needs.
int kro_msg_decode(kro_msg_t *msg, const void *payload, size_t len);
