#include "daemon/zel_tabmgr.h"

#include <syslog.h>

#include <cstdlib>

#include "common/qor_util.h"
#include "common/zel_log.h"
#include "policy/zel_publish.h"

namespace
{

void *tabmgr_alloc(size_t size) { return calloc(1, size); }
void tabmgr_free(void *p) { free(p); }
void tabmgr_ignore(msgq_handle_t *, void *) {}

// pxrd has nothing to tell us.
void tabmgr_read(msgq_handle_t *h, void *payload, uint32_t, void *) { msgq_free_msg(h, payload); }

}  // namespace

int zel_tabmgr_init(zel_ctx *ctx)
{
    const msgq_params_t params = msgq_unix_params(ctx->base, ctx->tmr_mgr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {zel_tabmgr_up, tabmgr_ignore, tabmgr_ignore, tabmgr_read, tabmgr_alloc, tabmgr_free};
    ctx->links.tabmgr = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_PXRD, MSGQ_SERVER, &params, &cbs, ctx);
    return ctx->links.tabmgr ? 0 : 12;
}

void zel_tabmgr_deinit(zel_ctx *ctx)
{
    msgq_close(ctx->links.tabmgr);
    ctx->links.tabmgr = nullptr;
}

void zel_tabmgr_up(msgq_handle_t *, void *arg)
{
    ZEL_LOG("pxrd registered, announcing policy and access-list bindings");
    zel_policy_announce(static_cast<zel_ctx *>(arg));
}
