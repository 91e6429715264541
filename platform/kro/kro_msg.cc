#include "platform/kro/kro_msg.h"

#include <cstring>
#include <span>

namespace
{

constexpr int KRO_EINVAL = 22;
constexpr int KRO_EMSGSIZE = 90;

class writer
{
public:
    explicit writer(std::span<uint8_t> out) : out_(out) {}
    void u8(uint8_t v) { out_[pos_++] = v; }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void bytes(const uint8_t *p, size_t n)
    {
        memcpy(out_.data() + pos_, p, n);
        pos_ += n;
    }

private:
    std::span<uint8_t> out_;
    size_t pos_ = 0;
};

// Bounds are checked once, against the exact length, before reading.
class reader
{
public:
    explicit reader(std::span<const uint8_t> in) : in_(in) {}
    uint8_t u8() { return in_[pos_++]; }
    uint16_t u16()
    {
        uint16_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }
    uint32_t u32()
    {
        uint32_t hi = u16();
        return hi << 16 | u16();
    }
    void bytes(uint8_t *p, size_t n)
    {
        memcpy(p, in_.data() + pos_, n);
        pos_ += n;
    }

private:
    std::span<const uint8_t> in_;
    size_t pos_ = 0;
};

size_t body_len(const kro_msg_t *msg)
{
    switch (msg->type) {
    case KRO_MSG_REQUEST:
        return KRO_WIRE_REQ_LEN - KRO_WIRE_HDR_LEN;
    case KRO_MSG_TLOC_UPDATE:
    case KRO_MSG_TLOC_WITHDRAW:
        return KRO_WIRE_TLOC_LEN - KRO_WIRE_HDR_LEN;
    default:
        return KRO_BODY_LEN;
    }
}

}  // namespace

int kro_msg_encode(const kro_msg_t *msg, void *buf, size_t cap, uint32_t *len)
{
    if (!msg || !buf || !len || msg->type > 0xFF)
        return KRO_EINVAL;
    const size_t blen = body_len(msg);
    if (cap < KRO_WIRE_HDR_LEN + blen)
        return KRO_EMSGSIZE;
    writer w({static_cast<uint8_t *>(buf), cap});
    w.u8(KRO_WIRE_VERSION);
    w.u8(static_cast<uint8_t>(msg->type));
    w.u16(static_cast<uint16_t>(blen));
    w.u32(msg->src);
    switch (msg->type) {
    case KRO_MSG_REQUEST:
        w.u32(msg->index);
        w.u8(msg->body.req.subscribe);
        w.u8(msg->body.req.resync);
        break;
    case KRO_MSG_TLOC_UPDATE:
    case KRO_MSG_TLOC_WITHDRAW: {
        const kro_tloc_body_t &t = msg->body.tloc;
        w.u32(t.family);
        w.bytes(t.addr.v6, sizeof t.addr.v6);
        w.u8(t.color);
        w.u8(t.encap);
        w.u8(t.local);
        w.u32(t.state);
        w.u32(t.tloc_index);
        w.u32(t.pref);
        w.u32(t.weight);
        break;
    }
    default:
        w.bytes(msg->body.raw, blen);
        break;
    }
    *len = static_cast<uint32_t>(KRO_WIRE_HDR_LEN + blen);
    return 0;
}

int kro_msg_decode(kro_msg_t *msg, const void *payload, size_t len)
{
    if (!msg || !payload || len < KRO_WIRE_HDR_LEN)
        return KRO_EINVAL;
    memset(msg, 0, sizeof *msg);
    reader r({static_cast<const uint8_t *>(payload), len});
    if (r.u8() != KRO_WIRE_VERSION)
        return KRO_EINVAL;
    msg->type = r.u8();
    const size_t blen = r.u16();
    msg->src = r.u32();
    if (len != KRO_WIRE_HDR_LEN + blen)
        return KRO_EINVAL;
    switch (msg->type) {
    case KRO_MSG_REQUEST:
        if (blen != KRO_WIRE_REQ_LEN - KRO_WIRE_HDR_LEN)
            return KRO_EINVAL;
        msg->index = r.u32();
        msg->body.req.subscribe = r.u8();
        msg->body.req.resync = r.u8();
        return 0;
    case KRO_MSG_TLOC_UPDATE:
    case KRO_MSG_TLOC_WITHDRAW: {
        if (blen != KRO_WIRE_TLOC_LEN - KRO_WIRE_HDR_LEN)
            return KRO_EINVAL;
        kro_tloc_body_t &t = msg->body.tloc;
        t.family = r.u32();
        r.bytes(t.addr.v6, sizeof t.addr.v6);
        t.color = r.u8();
        t.encap = r.u8();
        t.local = r.u8();
        t.state = r.u32();
        t.tloc_index = r.u32();
        t.pref = r.u32();
        t.weight = r.u32();
        return 0;
    }
    default:
        if (blen > KRO_BODY_LEN)
            return KRO_EINVAL;
        r.bytes(msg->body.raw, blen);
        return 0;
    }
}
