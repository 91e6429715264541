// The notifications the daemon publishes (stream, SNMP trap, syslog line), queued by
// priority and sent one per tick by the throttler thread.
#include "cfgd/cfgd_util.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfgd/cfgd_internal.h"

namespace
{

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

}  // namespace

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
