// Operational values in CDB: queued and synchronous writes, and the labels kept there.
#include "cfgd/cfgd_util.h"

#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cfgd/cfgd_internal.h"

namespace
{

struct OperWrite {
    cfgd_context *ctx;
    confd_value_t value;
    char keypath[CFGD_OPER_KEYPATH_LEN];
    int op;
    int lock;
    pthread_t prev;
    bool has_prev;
};

void *cfgd_thread_set_cdb_oper_value(void *arg)
{
    std::unique_ptr<OperWrite> req(static_cast<OperWrite *>(arg));
    if (!req) {
        ZEL_LOG("argument is NULL");
        return nullptr;
    }
    if (req->has_prev) {
        CFGD_DEBUG("\n%s Waiting for previous thread: %lu to exit", req->keypath,
                   static_cast<unsigned long>(req->prev));
        void *ret = nullptr;
        int rc = pthread_join(req->prev, &ret);
        CFGD_DEBUG("\n%s: Previous thread: %lu exited, ret_val: %d", req->keypath,
                   static_cast<unsigned long>(req->prev), rc);
    }
    int rc = cfgd_set_cdb_oper_value_now(req->ctx, req->value.type == C_NOEXISTS ? nullptr : &req->value, req->op,
                                         req->lock, "%s", req->keypath);
    if (rc != 0)
        ZEL_LOG("Failed to do operation %d for %s with type %d", req->op, req->keypath, req->value.type);
    cfgd_free_confd_value_copy(&req->value);
    return nullptr;
}

const char *oper_verb(int op) { return op == CFGD_OPER_CREATE ? "create" : op == CFGD_OPER_SET ? "add" : "del"; }

int label_keypath_write(cfgd_context *ctx, int32_t label, const char *fmt, ...)
{
    confd_value_t v;
    CONFD_SET_INT32(&v, label);
    va_list ap;
    va_start(ap, fmt);
    int rc = cfgd_vset_cdb_oper_value(ctx, &v, CFGD_OPER_SET, 0, fmt, ap);
    va_end(ap);
    if (rc != 0) {
        ZEL_LOG("Failed to set VPN label value in CDB");
        return -1;
    }
    return 0;
}

int32_t label_read(cfgd_context *ctx, const char *keypath)
{
    int32_t v = -1;
    return cfgd_get_cdb_int32_value(ctx, &v, keypath, 0) == 0 ? v : -1;
}

}  // namespace

// ---- operational values ----

int cfgd_copy_confd_value(confd_value_t *dst, const confd_value_t *src)
{
    *dst = *src;
    if (src->type == C_STR) {
        dst->val.s = strdup(src->val.s);
        if (dst->val.s == nullptr) {
            ZEL_LOG("Failed to allocate memory");
            dst->type = C_NOEXISTS;
            return 2;
        }
    } else if (src->type == C_BUF) {
        auto *p = static_cast<unsigned char *>(malloc(src->val.buf.size + 1));
        if (p == nullptr) {
            ZEL_LOG("Failed to allocate memory");
            dst->type = C_NOEXISTS;
            return 2;
        }
        if (src->val.buf.size > 0)
            memcpy(p, src->val.buf.ptr, src->val.buf.size);
        p[src->val.buf.size] = '\0';
        dst->val.buf.ptr = p;
    }
    return 0;
}

void cfgd_free_confd_value_copy(confd_value_t *v)
{
    if (v->type == C_STR)
        free(v->val.s);
    else if (v->type == C_BUF)
        free(v->val.buf.ptr);
    v->type = C_NOEXISTS;
}

int cfgd_set_cdb_oper_value(cfgd_context *ctx, const confd_value_t *value, const char *keypath, int op, int lock)
{
    auto *req = new (std::nothrow) OperWrite{};
    if (req == nullptr) {
        ZEL_LOG("Failed to allocate memory for list");
        return 2;
    }
    req->ctx = ctx;
    snprintf(req->keypath, sizeof req->keypath, "%s", keypath);
    req->op = op;
    req->lock = lock;
    req->value.type = C_NOEXISTS;
    if (value != nullptr && cfgd_copy_confd_value(&req->value, value) != 0) {
        delete req;
        return 2;
    }
    req->prev = ctx->last_write;
    req->has_prev = ctx->has_last_write;
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, cfgd_thread_set_cdb_oper_value, req);
    if (rc != 0) {
        ZEL_LOG("Failed to create cfgd thread (error %d, errno %d))", rc, errno);
        cfgd_free_confd_value_copy(&req->value);
        delete req;
        return 1;
    }
    ctx->last_write = tid;
    ctx->has_last_write = true;
    return 0;
}

void cfgd_oper_writes_join(cfgd_context *ctx)
{
    if (!ctx->has_last_write)
        return;
    pthread_join(ctx->last_write, nullptr);
    ctx->has_last_write = false;
}

int cfgd_vset_cdb_oper_value(cfgd_context *, const confd_value_t *value, int op, int lock, const char *fmt,
                             va_list args)
{
    int sock = cfgd_open_socket();
    if (sock < 0) {
        ZEL_LOG("Cannot allocate socket (errno: %d)", errno);
        return CONFD_ERR_OS;
    }
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    int err = 0;
    if (cdb_connect(sock, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != CONFD_OK) {
        err = confd_errno;
        ZEL_LOG("Cannot connect to CDB (%d)%s (%d) : %s", err, CFGD_ERR_ARGS);
        close(sock);
        return err;
    }
    if (cdb_start_session2(sock, CDB_OPERATIONAL, lock == 1 ? CDB_LOCK_WAIT | CDB_LOCK_REQUEST : 0) != CONFD_OK) {
        err = confd_errno;
        ZEL_LOG("Failed start session %s (%d) : %s", CFGD_ERR_ARGS);
        cdb_close(sock);
        return err;
    }
    int rc = CONFD_OK;
    confd_value_t copy;
    if (op == CFGD_OPER_SET && value != nullptr) {
        copy = *value;
        rc = cdb_vset_elem(sock, &copy, fmt, args);
    } else if (op == CFGD_OPER_DELETE) {
        rc = cdb_vdelete(sock, fmt, args);
    } else if (op == CFGD_OPER_CREATE) {
        rc = cdb_vcreate(sock, fmt, args);
    }
    if (rc != CONFD_OK) {
        err = confd_errno;
        bool benign = ((op == CFGD_OPER_CREATE || op == CFGD_OPER_SET) && err == CONFD_ERR_ALREADY_EXISTS) ||
                      (op == CFGD_OPER_DELETE && err == CONFD_ERR_NOEXISTS);
        if (benign)
            err = 0;
        else
            ZEL_LOG("Failed to %s elem %s (%d) : %s", oper_verb(op), CFGD_ERR_ARGS);
    }
    cdb_end_session(sock);
    cdb_close(sock);
    return err;
}

int cfgd_set_cdb_oper_value_now(cfgd_context *ctx, const confd_value_t *value, int op, int lock, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = cfgd_vset_cdb_oper_value(ctx, value, op, lock, fmt, ap);
    va_end(ap);
    return rc;
}

int cfgd_get_cdb_int32_value(cfgd_context *ctx, int32_t *value, const char *keypath, int lock)
{
    if (cdb_start_session2(ctx->data_sock, CDB_OPERATIONAL, lock == 1 ? CDB_LOCK_WAIT | CDB_LOCK_REQUEST : 0) !=
        CONFD_OK) {
        ZEL_LOG("Failed start session %s (%d) : %s", CFGD_ERR_ARGS);
        return 1;
    }
    int rc = cdb_get_int32(ctx->data_sock, value, "%s", keypath);
    cdb_end_session(ctx->data_sock);
    return rc == CONFD_OK ? 0 : 1;
}

int cfgd_set_vpn_label(cfgd_context *ctx, uint64_t vpn_id, int32_t label)
{
    return label_keypath_write(ctx, label, "/vpn/vpn-instance{%lu}/label", static_cast<unsigned long>(vpn_id));
}

int32_t cfgd_get_vpn_label(cfgd_context *ctx, uint64_t vpn_id)
{
    char kp[CFGD_PATH_LEN];
    snprintf(kp, sizeof kp, "/vpn/vpn-instance{%lu}/label", static_cast<unsigned long>(vpn_id));
    return label_read(ctx, kp);
}

int cfgd_set_service_label(cfgd_context *ctx, uint64_t vpn_id, unsigned service, int32_t label)
{
    const char *name = service_name(service);
    if (name == nullptr)
        return -1;
    return label_keypath_write(ctx, label, "/vpn/vpn-instance{%lu}/service{%s}/label",
                               static_cast<unsigned long>(vpn_id), name);
}

int32_t cfgd_get_service_label(cfgd_context *ctx, uint64_t vpn_id, unsigned service)
{
    const char *name = service_name(service);
    if (name == nullptr)
        return -1;
    char kp[CFGD_PATH_LEN];
    snprintf(kp, sizeof kp, "/vpn/vpn-instance{%lu}/service{%s}/label", static_cast<unsigned long>(vpn_id), name);
    return label_read(ctx, kp);
}
