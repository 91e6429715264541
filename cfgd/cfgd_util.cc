// Operational writes, keypath keys, address helpers and the notification throttler.
#include "cfgd/cfgd_util.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cfgd/cfgd_internal.h"

namespace
{

// ---- operational writes ----

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

// ---- notification queues and throttler ----

struct NotifQueue {
    pthread_spinlock_t lock;
    cfgd_notif_item *head;
    cfgd_notif_item *tail;
    unsigned count;
};

enum : uint32_t { kThrottleNone = 0, kThrottleReset = 1, kThrottleRunning = 2, kThrottleTerminated = 3 };

struct Throttler {
    NotifQueue queues[CFGD_NOTIF_QUEUES];
    pthread_spinlock_t state_lock;
    std::atomic<uint32_t> state{kThrottleNone};
    std::atomic<uint32_t> interval_ms{CFGD_NOTIF_DEFAULT_INTERVAL_MS};
    confd_notification_ctx *stream_ctx = nullptr;
    confd_notification_ctx *snmp_ctx = nullptr;
    pthread_t thread;
    bool started = false;
};

Throttler g_thr;
void *(*g_alloc)(size_t) = malloc;
void (*g_free)(void *) = free;

constexpr unsigned queue_capacity(unsigned q) { return q == 0 ? 100 : 50; }

void item_free(cfgd_notif_item *item)
{
    cfgd_trap_item_free(item);
    for (int i = 0; i < item->num_copies; i++)
        g_free(item->copies[i]);
    g_free(item);
}

cfgd_notif_item *queue_pop(unsigned q)
{
    NotifQueue &nq = g_thr.queues[q];
    if (pthread_spin_lock(&nq.lock) != 0) {
        ZEL_LOG("Lock error on notification queue %u", q);
        return nullptr;
    }
    cfgd_notif_item *item = nq.head;
    if (item != nullptr) {
        nq.head = item->next;
        if (nq.head == nullptr)
            nq.tail = nullptr;
        nq.count--;
    }
    if (pthread_spin_unlock(&nq.lock) != 0)
        ZEL_LOG("Unlock error on notification queue %u", q);
    return item;
}

void cfgd_add_to_syslog(const cfgd_notif_item *item)
{
    if (item->num_values < 1) {
        ZEL_LOG("Notification: Failed to write notification information to syslog");
        return;
    }
    constexpr size_t kMax = 2048;
    char text[kMax];
    size_t len = 0;
    auto append = [&](const char *fmt, const char *a, const char *b) {
        if (len >= kMax - 1)
            return;
        int n = snprintf(text + len, kMax - len, fmt, a, b);
        if (n > 0)
            len = std::min(kMax - 1, len + static_cast<size_t>(n));
    };
    const char *notif = confd_hash2str(item->values[0].tag.tag);
    append("%s%s ", notif != nullptr ? notif : "notification", "");
    for (int i = 1; i < item->num_values - 1; i++) {
        const confd_tag_value_t &tv = item->values[i];
        const char *leaf = confd_hash2str(tv.tag.tag);
        char value[128];
        const char *shown = value;
        confd_pp_value(value, sizeof value, &tv.v);
        if (tv.v.type == C_ENUM_VALUE && notif != nullptr && leaf != nullptr) {
            const confd_cs_node *n = confd_cs_node_cd(nullptr, "/%s/%s", notif, leaf);
            const char *name = nullptr;
            if (n != nullptr && confd_val2str_ptr(n->info.type, &tv.v, &name) == CONFD_OK && name != nullptr)
                shown = name;
        }
        append("%s:%s ", leaf != nullptr ? leaf : "?", shown);
    }
    const confd_datetime &t = item->time;
    zel_event_line(zel_severity::info, ZEL_EVENT_NOTIFICATION, "Notification: %d/%d/%d %d:%d:%d %s", t.month, t.day,
                   t.year, t.hour, t.min, t.sec, text);
}

// One tick: at most one item, from the highest non-empty queue.
void cfgd_notification_throttler_send()
{
    if (pthread_spin_trylock(&g_thr.state_lock) != 0)
        return;
    if (g_thr.state == kThrottleRunning) {
        cfgd_notif_item *item = nullptr;
        for (unsigned q = 0; q < CFGD_NOTIF_QUEUES && item == nullptr; q++)
            item = queue_pop(q);
        if (item != nullptr) {
            if (g_thr.stream_ctx == nullptr)
                ZEL_LOG("Empty notification context. Shouldn't be reaching here");
            else if (confd_notification_send(g_thr.stream_ctx, &item->time, item->values, item->num_values) != CONFD_OK)
                ZEL_LOG("Failed to send notification : %s (%d) %s", CFGD_ERR_ARGS);
            if (g_thr.snmp_ctx == nullptr)
                ZEL_LOG("Empty snmp notification context. Shouldn't be reaching here");
            else
                cfgd_trap_send(item, g_thr.snmp_ctx);
            cfgd_add_to_syslog(item);
            item_free(item);
        }
    }
    pthread_spin_unlock(&g_thr.state_lock);
}

void *throttler_thread(void *)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (g_thr.state != kThrottleTerminated) {
        usleep(g_thr.interval_ms * 1000);
        cfgd_notification_throttler_send();
    }
    return nullptr;
}

// Copies strings and buffers into item-owned memory.
bool copy_item_values(cfgd_notif_item *item)
{
    for (int i = 0; i < item->num_values; i++) {
        confd_value_t &v = item->values[i].v;
        if (v.type == C_STR) {
            size_t n = strlen(v.val.s) + 1;
            char *p = static_cast<char *>(g_alloc(n));
            if (p == nullptr) {
                ZEL_LOG("Unable to allocate memory for string field size %u", static_cast<unsigned>(n));
                return false;
            }
            memcpy(p, v.val.s, n);
            v.val.s = p;
            item->copies[item->num_copies++] = p;
        } else if (v.type == C_BUF) {
            unsigned n = v.val.buf.size;
            auto *p = static_cast<unsigned char *>(g_alloc(n + 1));
            if (p == nullptr) {
                ZEL_LOG("Unable to allocate memory for buffer field size %u", n);
                return false;
            }
            if (n > 0)
                memcpy(p, v.val.buf.ptr, n);
            p[n] = '\0';
            v.val.buf.ptr = p;
            item->copies[item->num_copies++] = p;
        }
    }
    return true;
}

int enqueue_item(cfgd_notif_item *item, unsigned q, unsigned capacity)
{
    NotifQueue &nq = g_thr.queues[q];
    if (pthread_spin_lock(&nq.lock) != 0) {
        ZEL_LOG("Lock error on notification queue %u", q);
        return -1;
    }
    int rc = -2;
    if (nq.count < capacity && g_thr.state != kThrottleTerminated) {
        item->next = nullptr;
        if (nq.tail != nullptr)
            nq.tail->next = item;
        else
            nq.head = item;
        nq.tail = item;
        nq.count++;
        rc = 0;
    }
    if (pthread_spin_unlock(&nq.lock) != 0)
        ZEL_LOG("Unlock error on notification queue %u", q);
    if (rc == -2)
        CFGD_DEBUG("Notification throttler has terminated or max queue size reached");
    return rc;
}

int parse_prefix(const char *text, ip_prefix_t *prefix, int family)
{
    memset(prefix, 0, sizeof *prefix);
    char addr[128];
    const char *slash = strchr(text, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (n >= sizeof addr)
        return 22;
    memcpy(addr, text, n);
    addr[n] = '\0';
    in_addr v4;
    if (family != AF_INET6 && inet_aton(addr, &v4) != 0) {
        prefix->addr.family = AF_INET;
        prefix->addr.v4 = ntohl(v4.s_addr);
        prefix->len = 32;
    } else if (family != AF_INET && inet_pton(AF_INET6, addr, prefix->addr.v6) == 1) {
        prefix->addr.family = AF_INET6;
        prefix->len = 128;
    } else {
        memset(prefix, 0, sizeof *prefix);
        return 22;
    }
    if (slash != nullptr)
        prefix->len = static_cast<uint8_t>(strtoul(slash + 1, nullptr, 10));
    return 0;
}

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

// ---- keypaths and addresses ----

confd_value_t *cfgd_keypath_get_keys(const confd_hkeypath_t *kp, confd_value_t *keys, int num_keys, uint32_t list_tag)
{
    if (num_keys <= 0)
        return nullptr;
    int found = 0;
    int elem = -1;
    for (int i = kp->len - 2; i >= 0 && elem < 0; i--) {
        const confd_value_t &parent = kp->v[i + 1][0];
        if (kp->v[i][0].type != C_XMLTAG && parent.type == C_XMLTAG && parent.val.xmltag.tag == list_tag)
            elem = i;
    }
    if (elem >= 0)
        while (found < MAXKEYLEN && kp->v[elem][found].type != C_NOEXISTS)
            found++;
    if (found != num_keys) {
        ZEL_LOG("Number of keys given (%d) != number of keys found (%d) !", num_keys, found);
        return nullptr;
    }
    confd_value_t *out = keys;
    if (out == nullptr) {
        out = static_cast<confd_value_t *>(calloc(static_cast<size_t>(num_keys), sizeof *out));
        if (out == nullptr) {
            ZEL_LOG("Could not allocate memory");
            return nullptr;
        }
    }
    for (int k = 0; k < num_keys; k++)
        out[k] = kp->v[elem][k];
    return out;
}

int cfgd_cdb_get_ip_addr(int sock, ip_addr_t *addr, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = cdb_vget(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return confd_errno;
    CFGD_FATAL_UNLESS(v.type == C_IPV4 || v.type == C_IPV6, "Unexpected address type %d", v.type);
    memset(addr, 0, sizeof *addr);
    if (v.type == C_IPV4) {
        addr->family = AF_INET;
        addr->v4 = ntohl(v.val.ip.s_addr);
    } else {
        addr->family = AF_INET6;
        memcpy(addr->v6, &v.val.ip6, sizeof addr->v6);
    }
    return 0;
}

int cfgd_cdb_get_ip_prefix_from_str(int sock, ip_prefix_t *prefix, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = cdb_vget(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK) {
        CFGD_DEBUG("Cannot read IP prefix from CDB (%d)%s (%d) : %s", rc, CFGD_ERR_ARGS);
        return confd_errno;
    }
    int result = 22;
    if (v.type == C_BUF) {
        char text[128];
        size_t n = std::min<size_t>(v.val.buf.size, sizeof text - 1);
        memcpy(text, v.val.buf.ptr, n);
        text[n] = '\0';
        result = cfgd_parse_ip_prefix(text, prefix);
    }
    confd_free_value(&v);
    return result;
}

int cfgd_parse_ipv4_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_INET); }
int cfgd_parse_ipv6_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_INET6); }
int cfgd_parse_ip_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_UNSPEC); }

const char *cfgd_format_addr_port(const ip_addr_t *addr, uint16_t port, char *buf, size_t size)
{
    char text[INET6_ADDRSTRLEN + 8];
    ip_addr_to_str(addr, text, sizeof text);
    snprintf(buf, size, "%s.%u.%u", text, static_cast<unsigned>(port >> 8), static_cast<unsigned>(port & 0xff));
    return buf;
}

void cfgd_time_to_datetime(time_t t, confd_datetime *dt)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    memset(dt, 0, sizeof *dt);
    dt->year = static_cast<int16_t>(tm.tm_year + 1900);
    dt->month = static_cast<uint8_t>(tm.tm_mon + 1);
    dt->day = static_cast<uint8_t>(tm.tm_mday);
    dt->hour = static_cast<uint8_t>(tm.tm_hour);
    dt->min = static_cast<uint8_t>(tm.tm_min);
    dt->sec = static_cast<uint8_t>(tm.tm_sec);
}

void cfgd_get_datetime(confd_datetime *dt)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    cfgd_time_to_datetime(tv.tv_sec, dt);
    dt->micro = static_cast<uint32_t>(tv.tv_usec);
}

// ---- notifications ----

int cfgd_enqueue_notification(confd_tag_value_t *values, int num_values)
{
    CFGD_FATAL_UNLESS(num_values <= CFGD_NOTIF_MAX_VALUES, "Too many notification values (%d)", num_values);
    uint32_t state = g_thr.state;
    if (state == kThrottleTerminated) {
        CFGD_DEBUG("Notification throttler has terminated.");
        return -1;
    }
    if (state == kThrottleNone) {
        CFGD_DEBUG("Notification throttler hasn't been initialized");
        return -1;
    }
    CFGD_FATAL_UNLESS(num_values >= 2 && values[1].v.type == C_ENUM_VALUE, "Notification priority is no enumeration");
    const int prio = CONFD_GET_ENUM_VALUE(&values[1].v);
    const unsigned q = prio == 1 ? 0 : prio == 2 ? 1 : 2;
    const unsigned capacity = prio == 1 ? queue_capacity(0) : queue_capacity(1);
    auto *item = static_cast<cfgd_notif_item *>(g_alloc(sizeof(cfgd_notif_item)));
    if (item == nullptr) {
        ZEL_LOG("Unable to allocate memory for notification queue item");
        return -1;
    }
    memset(item, 0, sizeof *item);
    memcpy(item->values, values, sizeof(confd_tag_value_t) * static_cast<size_t>(num_values));
    item->num_values = num_values;
    cfgd_get_datetime(&item->time);
    int rc = -1;
    if (copy_item_values(item)) {
        cfgd_trap_populate(item);
        rc = enqueue_item(item, q, capacity);
    }
    if (rc != 0) {
        CFGD_DEBUG("Failed to send notification. Freeing memory");
        item_free(item);
    }
    return rc;
}

int cfgd_event_send_notification(cfgd_context *ctx, confd_tag_value_t *values, int num_values)
{
    CFGD_FATAL_UNLESS(num_values < 20, "Too many notification values (%d)", num_values);
    cdb_phase phase{};
    if (cdb_get_phase(ctx->data_sock, &phase) != CONFD_OK) {
        CFGD_DEBUG("Failed to get confd phase : %s (%d) %s", CFGD_ERR_ARGS);
        return 1;
    }
    if (phase.phase < 2) {
        CFGD_DEBUG("Confd in phase %d; Not sending notification", phase.phase);
        return 0;
    }
    int rc = cfgd_enqueue_notification(values, num_values);
    if (rc != -1)
        return 0;
    CFGD_DEBUG("Trying to send the notification directly");
    confd_datetime now;
    cfgd_get_datetime(&now);
    if (ctx->params.notif_ctx == nullptr ||
        confd_notification_send(ctx->params.notif_ctx, &now, values, num_values) != CONFD_OK) {
        CFGD_DEBUG("Failed to send notification directly: %s (%d) %s", CFGD_ERR_ARGS);
        return 1;
    }
    return 0;
}

int cfgd_notification_throttler_init(cfgd_context *ctx)
{
    if (!g_thr.started) {
        for (unsigned q = 0; q < CFGD_NOTIF_QUEUES; q++) {
            int rc = pthread_spin_init(&g_thr.queues[q].lock, PTHREAD_PROCESS_PRIVATE);
            if (rc != 0) {
                ZEL_LOG("Failed to init spinlock for queue %u with error number %d", q, rc);
                return rc;
            }
            g_thr.queues[q].head = g_thr.queues[q].tail = nullptr;
            g_thr.queues[q].count = 0;
        }
        int rc = pthread_spin_init(&g_thr.state_lock, PTHREAD_PROCESS_PRIVATE);
        if (rc != 0) {
            ZEL_LOG("Failed to init spinlock for state_lock with error number %d", rc);
            return rc;
        }
        g_thr.interval_ms = CFGD_NOTIF_DEFAULT_INTERVAL_MS;
        g_thr.state = kThrottleNone;  // a throttler freed before is started afresh
        rc = pthread_create(&g_thr.thread, nullptr, throttler_thread, nullptr);
        if (rc != 0) {
            ZEL_LOG("Failed to spawn a thread with error number %d", rc);
            return rc;
        }
        g_thr.started = true;
    }
    pthread_spin_lock(&g_thr.state_lock);
    uint32_t prev = g_thr.state;
    g_thr.stream_ctx = ctx->params.notif_ctx;
    g_thr.snmp_ctx = ctx->params.snmp_notif_ctx;
    g_thr.state = kThrottleRunning;
    pthread_spin_unlock(&g_thr.state_lock);
    CFGD_DEBUG("Notification throttler thread init with state %u", prev);
    return 0;
}

void cfgd_notification_throttler_connection_reset()
{
    if (!g_thr.started)
        return;
    if (pthread_spin_lock(&g_thr.state_lock) != 0) {
        ZEL_LOG("Lock error on notification throtler queue");
        return;
    }
    g_thr.state = kThrottleReset;
    g_thr.stream_ctx = nullptr;
    g_thr.snmp_ctx = nullptr;
    pthread_spin_unlock(&g_thr.state_lock);
}

void cfgd_notification_throttler_free()
{
    if (!g_thr.started)
        return;
    pthread_spin_lock(&g_thr.state_lock);
    for (auto &q : g_thr.queues)
        pthread_spin_lock(&q.lock);
    CFGD_DEBUG("Setting terminate on notification throttler");
    g_thr.state = kThrottleTerminated;
    for (int q = CFGD_NOTIF_QUEUES - 1; q >= 0; q--)
        pthread_spin_unlock(&g_thr.queues[q].lock);
    pthread_spin_unlock(&g_thr.state_lock);
    if (pthread_join(g_thr.thread, nullptr) != 0)
        ZEL_LOG("pthread join failed");
    for (unsigned q = 0; q < CFGD_NOTIF_QUEUES; q++) {
        if (g_thr.queues[q].count > 0)
            CFGD_DEBUG("Pending notifications from queue %u are being dropped", q);
        while (cfgd_notif_item *item = queue_pop(q))
            item_free(item);
        g_thr.queues[q].count = 0;
        CFGD_DEBUG("Notification queue %u destroyed", q);
        int rc = pthread_spin_destroy(&g_thr.queues[q].lock);
        if (rc != 0)
            ZEL_LOG("Failed to destroy spinlock for queue %u with error number %d", q, rc);
        else
            CFGD_DEBUG("Queue spinlock %u destroyed", q);
    }
    if (pthread_spin_destroy(&g_thr.state_lock) != 0)
        ZEL_LOG("Failed to destroy spinlock for send_lock");
    g_thr.started = false;
    g_thr.stream_ctx = g_thr.snmp_ctx = nullptr;
}

int cfgd_notification_throttler_set_interval(uint32_t ms)
{
    if (ms == 0 || ms >= 1000)
        return 22;
    g_thr.interval_ms = ms;
    return 0;
}

void cfgd_notification_set_mem_hooks(void *(*alloc_fn)(size_t), void (*free_fn)(void *))
{
    const bool both = alloc_fn != nullptr && free_fn != nullptr;
    g_alloc = both ? alloc_fn : malloc;
    g_free = both ? free_fn : free;
}

void *cfgd_notif_alloc(size_t size) { return g_alloc(size); }
void cfgd_notif_free(void *p) { g_free(p); }

unsigned cfgd_notification_queue_count(unsigned queue)
{
    return queue < CFGD_NOTIF_QUEUES ? g_thr.queues[queue].count : 0;
}
