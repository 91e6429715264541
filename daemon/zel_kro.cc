#include "daemon/zel_kro.h"

#include <syslog.h>

#include <cstdlib>

#include "common/qor_util.h"
#include "common/zel_log.h"
#include "policy/zel_tloc.h"

namespace
{

void *kro_alloc(size_t size) { return calloc(1, size); }
void kro_free(void *p) { free(p); }
void kro_aux(msgq_handle_t *, void *) {}

}  // namespace

int zel_kro_init(zel_ctx *ctx)
{
    const msgq_params_t params = msgq_unix_params(ctx->base, ctx->tmr_mgr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {zel_kro_up, zel_kro_down, kro_aux, zel_kro_read, kro_alloc, kro_free};
    ctx->links.kro = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &params, &cbs, ctx);
    if (!ctx->links.kro)
        return 12;
    zel_kro_table_init(ctx);
    return 0;
}

void zel_kro_deinit(zel_ctx *ctx)
{
    msgq_close(ctx->links.kro);
    ctx->links.kro = nullptr;
    zel_kro_table_prune(ctx);
}

void zel_kro_up(msgq_handle_t *h, void *arg)
{
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Connection to KRO came up. p_msgq %p p_zel %p\n", static_cast<void *>(h), arg);
    for (uint32_t index = 0; index < 2; index++) {
        void *p_msg = msgq_alloc_msg(h, KRO_MSG_LEN);
        ZEL_ASSERT_AT("zel_kro", 139, p_msg != NULL);
        kro_msg_t req{};
        req.type = KRO_MSG_REQUEST;
        req.src = QOR_DAEMON_ID_ZELD;
        req.index = index;
        req.body.req.subscribe = ZEL_KRO_REQ_SUBSCRIBE;
        req.body.req.resync = 0;
        uint32_t len = 0;
        int rc = kro_msg_encode(&req, p_msg, KRO_MSG_LEN, &len);
        if (rc != 0)
            msgq_free_msg(h, p_msg);
        ZEL_ASSERT_AT("zel_kro", 147, rc == 0);
        rc = msgq_write(h, p_msg, len);
        if (rc != 0)
            msgq_free_msg(h, p_msg);
        ZEL_ASSERT_AT("zel_kro", 152, rc == 0);
    }
}

void zel_kro_down(msgq_handle_t *h, void *arg)
{
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Connection to KRO went down. p_msgq %p p_zel %p\n", static_cast<void *>(h), arg);
}

void zel_kro_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg)
{
    auto *ctx = static_cast<zel_ctx *>(arg);
    kro_msg_t msg;
    int rc = kro_msg_decode(&msg, payload, len);
    if (rc != 0 || msg.src > QOR_DAEMON_ID_MAX) {
        ZEL_LOG("Discarding KRO Msg of %u bytes that does not decode (%d)", len, rc);
        msgq_free_msg(h, payload);
        return;
    }
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Received KRO Msg %d of %d bytes from %s\n", static_cast<int>(msg.type),
              static_cast<int>(len), qor_util_daemon_name(msg.src));
    if (msg.type == KRO_MSG_TLOC_UPDATE)
        zel_kro_tloc_update(ctx, &msg);
    else if (msg.type == KRO_MSG_TLOC_WITHDRAW)
        zel_kro_tloc_withdraw(ctx, &msg);
    msgq_free_msg(h, payload);
}
