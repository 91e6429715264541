#include "policy/zel_bind.h"

#include <cstdio>
#include <cstring>

#include "common/msgq_util.h"
#include "common/zel_ctx.h"

namespace
{

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

uint32_t zel_vpn_range_count(std::span<const zel_vpn_range> ranges)
{
    uint64_t n = 0;
    for (const zel_vpn_range &r : ranges)
        if (r.low <= r.high)
            n += r.high - r.low + 1;
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

size_t zel_bind_encode(uint8_t *buf, size_t cap, const zel_bind_fields &f, std::span<const zel_vpn_range> ranges)
{
    const uint64_t n = zel_vpn_range_count(ranges);
    const uint64_t len = ZEL_BIND_HDR_LEN + 4 * n;
    if (len > cap)
        return 0;
    buf[0] = f.opcode;
    buf[1] = f.filter_type;
    buf[2] = f.direction;
    put_be32(buf + ZEL_BIND_OFF_INDEX, f.filter_index);
    char *name_field = reinterpret_cast<char *>(buf + ZEL_BIND_OFF_NAME);
    memset(name_field, 0, ZEL_BIND_NAME_LEN);
    snprintf(name_field, ZEL_BIND_NAME_LEN, "%s", f.name ? f.name : "");
    put_be32(buf + ZEL_BIND_OFF_COUNT, static_cast<uint32_t>(n));
    uint8_t *p = buf + ZEL_BIND_HDR_LEN;
    for (const zel_vpn_range &r : ranges)
        for (uint64_t vpn = r.low; r.low <= r.high && vpn <= r.high; vpn++, p += 4)
            put_be32(p, static_cast<uint32_t>(vpn));
    return static_cast<size_t>(len);
}

int zel_bind_send(zel_ctx *ctx, const zel_bind_fields &f, std::span<const zel_vpn_range> ranges, bool send_empty)
{
    msgq_handle_t *h = ctx ? ctx->links.tabmgr : nullptr;
    if (!h)
        return 74;
    const uint32_t n = zel_vpn_range_count(ranges);
    if (n == 0 && !send_empty)
        return 0;
    const uint64_t len = ZEL_BIND_HDR_LEN + 4ull * n;
    if (len > MSGQ_MAX_PAYLOAD)
        return 22;
    // The buffer keeps one byte past the message, as pxrd's own senders do; only the message is sent.
    const uint64_t alloc_len = len < MSGQ_MAX_PAYLOAD ? len + 1 : len;
    auto *buf = static_cast<uint8_t *>(msgq_alloc_msg(h, static_cast<uint32_t>(alloc_len)));
    if (!buf)
        return 12;
    zel_bind_encode(buf, alloc_len, f, ranges);
    if (msgq_write(h, buf, static_cast<uint32_t>(len)) != 0)
        msgq_free_msg(h, buf);
    return 0;
}

size_t zel_attach_encode(uint8_t *buf, size_t cap, const zel_bind_fields &f, std::span<const zel_attach_entry> entries)
{
    const uint64_t len = ZEL_BIND_HDR_LEN + ZEL_ATTACH_ENTRY_LEN * entries.size();
    if (len > cap)
        return 0;
    for (const zel_attach_entry &e : entries)
        if (!e.ifname || strnlen(e.ifname, ZEL_ATTACH_IFNAME_LEN) >= ZEL_ATTACH_IFNAME_LEN)
            return 0;
    memset(buf, 0, static_cast<size_t>(len));
    zel_bind_encode(buf, cap, f, {});
    put_be32(buf + ZEL_BIND_OFF_COUNT, static_cast<uint32_t>(entries.size()));
    uint8_t *p = buf + ZEL_BIND_HDR_LEN;
    for (const zel_attach_entry &e : entries) {
        put_be32(p, static_cast<uint32_t>(e.vpn));
        p[4] = e.direction;
        memcpy(p + 5, e.ifname, strlen(e.ifname));
        p += ZEL_ATTACH_ENTRY_LEN;
    }
    return static_cast<size_t>(len);
}

int zel_attach_send(zel_ctx *ctx, const zel_bind_fields &f, std::span<const zel_attach_entry> entries)
{
    msgq_handle_t *h = ctx ? ctx->links.tabmgr : nullptr;
    if (!h)
        return 74;
    if (entries.empty())
        return 0;
    const uint64_t len = ZEL_BIND_HDR_LEN + ZEL_ATTACH_ENTRY_LEN * entries.size();
    if (len > MSGQ_MAX_PAYLOAD)
        return 22;
    auto *buf = static_cast<uint8_t *>(msgq_alloc_msg(h, static_cast<uint32_t>(len)));
    if (!buf)
        return 12;
    if (zel_attach_encode(buf, len, f, entries) == 0) {
        msgq_free_msg(h, buf);
        return 22;
    }
    if (msgq_write(h, buf, static_cast<uint32_t>(len)) != 0)
        msgq_free_msg(h, buf);
    return 0;
}
