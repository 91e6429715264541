#include "daemon/zel_sysmgr.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/qor_util.h"
#include "common/timer.h"
#include "common/zel_log.h"

namespace
{

void send_hello(sysmgr_link *link)
{
    auto *msg = static_cast<sysmgr_msg_t *>(msgq_alloc_msg(link->p_msgq, SYSMGR_MSG_LEN));
    if (!msg)
        return;
    memset(msg, 0, sizeof *msg);
    msg->version = SYSMGR_MSG_VERSION;
    msg->type = SYSMGR_MSG_HELLO;
    msg->length = SYSMGR_MSG_LEN;
    msg->pid = static_cast<uint32_t>(link->pid);
    if (msgq_write(link->p_msgq, msg, SYSMGR_MSG_LEN) != 0) {
        msgq_free_msg(link->p_msgq, msg);
        return;
    }
    link->last_hello = time(nullptr);
}

void hello_timer_cb(timer_obj *, void *arg, void *, void *, void *) { send_hello(static_cast<sysmgr_link *>(arg)); }

void sysmgr_up(msgq_handle_t *, void *arg)
{
    auto *link = static_cast<sysmgr_link *>(arg);
    send_hello(link);
    timer_enable(link->p_hello_timer);
}

void sysmgr_down(msgq_handle_t *, void *arg) { timer_disable(static_cast<sysmgr_link *>(arg)->p_hello_timer); }

void sysmgr_aux(msgq_handle_t *, void *) {}

void sysmgr_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg)
{
    auto *link = static_cast<sysmgr_link *>(arg);
    const auto *bytes = static_cast<const uint8_t *>(payload);
    if (len > offsetof(sysmgr_msg_t, type) && bytes[offsetof(sysmgr_msg_t, type)] == SYSMGR_MSG_TYPE4 && link->type4_cb)
        link->type4_cb(link, payload, len, link->user_arg);
    msgq_free_msg(h, payload);
}

void *sysmgr_alloc(size_t size) { return calloc(1, size); }
void sysmgr_free(void *p) { free(p); }

}  // namespace

sysmgr_link *app_sysmgr_connect(event_base *base, timer_mgr *p_tmr, void *, uint32_t own_id, void *user_arg,
                                sysmgr_type4_cb type4_cb)
{
    auto *link = static_cast<sysmgr_link *>(calloc(1, sizeof(sysmgr_link)));
    if (!link)
        return nullptr;
    link->pid = getpid();
    link->user_arg = user_arg;
    link->type4_cb = type4_cb;
    link->p_hello_timer = timer_util_create(p_tmr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, SYSMGR_HELLO_MS, hello_timer_cb,
                                            link, nullptr, nullptr, nullptr, "sysmgr-hello");
    if (!link->p_hello_timer) {
        free(link);
        return nullptr;
    }
    const msgq_params_t params = msgq_unix_params(base, p_tmr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {sysmgr_up, sysmgr_down, sysmgr_aux, sysmgr_read, sysmgr_alloc, sysmgr_free};
    link->p_msgq = msgq_init(own_id, QOR_DAEMON_ID_SYSMGR, MSGQ_CLIENT, &params, &cbs, link);
    if (!link->p_msgq) {
        ZEL_LOG("Module %s .. msgq_init FAILED", own_id <= QOR_DAEMON_ID_MAX ? qor_util_daemon_name(own_id) : "?");
        timer_util_delete(link->p_hello_timer);
        free(link);
        return nullptr;
    }
    return link;
}

void app_sysmgr_disconnect(sysmgr_link *link)
{
    if (!link)
        return;
    msgq_close(link->p_msgq);
    timer_util_delete(link->p_hello_timer);
    free(link);
}

int zel_sysmgr_init(zel_ctx *ctx)
{
    ctx->links.sysmgr = app_sysmgr_connect(ctx->base, ctx->tmr_mgr, nullptr, QOR_DAEMON_ID_ZELD, ctx, nullptr);
    if (!ctx->links.sysmgr)
        return -10;
    ctx->links.sysmgr_last_hello = [](const sysmgr_link *link) { return link->last_hello; };
    return 0;
}

void zel_sysmgr_deinit(zel_ctx *ctx)
{
    app_sysmgr_disconnect(ctx->links.sysmgr);
    ctx->links.sysmgr = nullptr;
    ctx->links.sysmgr_last_hello = nullptr;
}
