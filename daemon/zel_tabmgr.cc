#include "daemon/zel_tabmgr.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/qor_util.h"
#include "common/zel_log.h"

namespace
{

zel_tabmgr_announce_fn g_announce;

void *tabmgr_alloc(size_t size) { return calloc(1, size); }
void tabmgr_free(void *p) { free(p); }
void tabmgr_ignore(msgq_handle_t *, void *) {}

// pxrd has nothing to tell us.
void tabmgr_read(msgq_handle_t *h, void *payload, uint32_t, void *) { msgq_free_msg(h, payload); }

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
            n += static_cast<uint64_t>(r.high) - r.low + 1;
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

size_t zel_binding_msg_encode(uint8_t *buf, size_t cap, uint8_t opcode, uint8_t filter_type, uint8_t direction,
                              uint32_t filter_index, const char *name, std::span<const zel_vpn_range> ranges)
{
    const uint64_t n = zel_vpn_range_count(ranges);
    const uint64_t len = ZEL_BIND_HDR_LEN + 4 * n;
    if (len > cap)
        return 0;
    buf[0] = opcode;
    buf[1] = filter_type;
    buf[2] = direction;
    put_be32(buf + ZEL_BIND_OFF_INDEX, filter_index);
    char *name_field = reinterpret_cast<char *>(buf + ZEL_BIND_OFF_NAME);
    memset(name_field, 0, ZEL_BIND_NAME_LEN);
    snprintf(name_field, ZEL_BIND_NAME_LEN, "%s", name ? name : "");
    put_be32(buf + ZEL_BIND_OFF_COUNT, static_cast<uint32_t>(n));
    uint8_t *p = buf + ZEL_BIND_HDR_LEN;
    for (const zel_vpn_range &r : ranges) {
        for (uint64_t vpn = r.low; r.low <= r.high && vpn <= r.high; vpn++, p += 4)
            put_be32(p, static_cast<uint32_t>(vpn));
    }
    return static_cast<size_t>(len);
}

void zel_tabmgr_set_announce(zel_tabmgr_announce_fn fn) { g_announce = fn; }

int zel_tabmgr_init(zel_ctx *ctx)
{
    const msgq_params_t params = msgq_unix_params(ctx->base, ctx->tmr_mgr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {zel_tabmgr_up, tabmgr_ignore, tabmgr_ignore, tabmgr_read, tabmgr_alloc, tabmgr_free};
    ctx->tabmgr_link = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &params, &cbs, ctx);
    return ctx->tabmgr_link ? 0 : 12;
}

void zel_tabmgr_deinit(zel_ctx *ctx)
{
    msgq_close(ctx->tabmgr_link);
    ctx->tabmgr_link = nullptr;
}

void zel_tabmgr_up(msgq_handle_t *, void *arg)
{
    auto *ctx = static_cast<zel_ctx *>(arg);
    ZEL_LOG("pxrd registered, announcing policy and access-list bindings");
    if (g_announce)
        g_announce(ctx);
}

int zel_tabmgr_send_vpn_lists(std::span<const zel_vpn_list_view> lists, zel_ctx *ctx)
{
    msgq_handle_t *h = ctx->tabmgr_link;
    if (!h)
        return 0;
    for (const zel_vpn_list_view &list : lists) {
        const uint32_t n = zel_vpn_range_count(list.ranges);
        // Room for one byte past the message; only the message is sent.
        const uint64_t alloc_len = ZEL_BIND_HDR_LEN + 1 + 4ull * n;
        if (alloc_len > MSGQ_MAX_PAYLOAD) {
            ZEL_LOG("VPN list %s has %u VPNs, too many for one binding message", list.vpn_list_name, n);
            continue;
        }
        auto *buf = static_cast<uint8_t *>(msgq_alloc_msg(h, static_cast<uint32_t>(alloc_len)));
        if (!buf)
            return 12;
        size_t len = zel_binding_msg_encode(buf, alloc_len, ZEL_BIND_OP_BIND, list.filter_type, list.direction,
                                            list.filter_index, list.vpn_list_name, list.ranges);
        if (msgq_write(h, buf, static_cast<uint32_t>(len)) != 0)
            msgq_free_msg(h, buf);
    }
    return 0;
}
