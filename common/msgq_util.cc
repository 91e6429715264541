#include "common/msgq_util.h"

#include <arpa/inet.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/qor_util.h"
#include "common/timer.h"
#include "common/zel_log.h"

struct msgq_server_t {
    dll_node_t link;
    char path[MSGQ_PATH_LEN];
    uint8_t own_id;  // of the first handle on this path
    uint8_t app_hdr;
    evconnlistener *p_listener;
    msgq_handle_t *p_app_handle;  // the one handle served in application-header mode
    uint32_t refcnt;
    // Out of descriptors the listener stays readable: it pauses instead of spinning.
    event *p_backoff_ev;
    uint32_t backoff_ms;
};

struct msgq_inst_t {
    dll_head_t reg;    // connected and identified
    dll_head_t unreg;  // not connected
    dll_head_t tmp;    // accepted, waiting for the register message
    dll_head_t servers;
    event_base *evbase;
    timer_mgr *p_timer_mgr;
    int facility;
};

namespace
{

msgq_inst_t *g_inst;
bool g_debug;
char g_sock_dir[MSGQ_PATH_LEN] = "/var/run";

constexpr uint32_t MSGQ_CONNECT_RETRY_MS = 500;
constexpr uint64_t MSGQ_READ_BURST_MS = 1000;
constexpr int MSGQ_INET_CONNECT_WAIT_S = 5;
// A peer registers right after it connects; a connection that does not is closed,
// and only this many may wait at once (the oldest gives way).
constexpr uint64_t MSGQ_REGISTER_WAIT_MS = 5000;
constexpr int MSGQ_MAX_PENDING = 32;
// Accept failures for lack of descriptors pause the listener, doubling up to the maximum.
constexpr uint32_t MSGQ_ACCEPT_BACKOFF_MIN_MS = 50;
constexpr uint32_t MSGQ_ACCEPT_BACKOFF_MAX_MS = 1000;
// Lines about refused or misbehaving peers: a burst per window, then one count.
constexpr uint64_t MSGQ_PEER_LOG_WINDOW_MS = 10000;
constexpr uint32_t MSGQ_PEER_LOG_BURST = 10;

__attribute__((format(printf, 1, 2))) void msgq_log(const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (zel_debug_flags & ZEL_DEBUG_STDOUT) {
        printf("%s\n", msg);
        fflush(stdout);
    } else {
        syslog((g_inst ? g_inst->facility : LOG_LOCAL7) | LOG_DEBUG, "%s", msg);
    }
}

#define MSGQ_ERR(fmt, ...) msgq_log("[MSG-ERR] %s[%d]: " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define MSGQ_DBG(...)                                                                                                  \
    do {                                                                                                               \
        if (g_debug)                                                                                                   \
            msgq_log(__VA_ARGS__);                                                                                     \
    } while (0)

const char *name_of(uint32_t id) { return qor_util_daemon_name(id); }

uint64_t mono_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Anyone may connect to a socket of mode 0777, and descriptors may run out: lines about
// refused peers and failing sockets must not flood the log.
struct {
    uint64_t start;
    uint32_t lines;
    uint32_t suppressed;
} g_peer_log;

bool peer_log_allowed()
{
    const uint64_t now = mono_ms();
    if (g_peer_log.start == 0 || now - g_peer_log.start >= MSGQ_PEER_LOG_WINDOW_MS) {
        const uint32_t suppressed = g_peer_log.suppressed;
        g_peer_log = {now, 0, 0};
        if (suppressed)
            MSGQ_ERR("%u more lines about refused peers and failing sockets suppressed", suppressed);
    }
    if (g_peer_log.lines < MSGQ_PEER_LOG_BURST) {
        g_peer_log.lines++;
        return true;
    }
    g_peer_log.suppressed++;
    return false;
}

#define MSGQ_ERR_LIMITED(...)                                                                                          \
    do {                                                                                                               \
        if (peer_log_allowed())                                                                                        \
            MSGQ_ERR(__VA_ARGS__);                                                                                     \
    } while (0)

// ---- handles, lists and buffers ---------------------------------------------------------

msgq_handle_t *handle_of(dll_node_t *node) { return DLL_ENTRY(node, msgq_handle_t, link); }

uint32_t hdr_len(const msgq_handle_t *h) { return (h->flags & MSGQ_F_APP_HDR) ? h->app_hdr_len : MSGQ_HDR_LEN; }

dll_head_t *list_of(msgq_handle_t *h)
{
    if (h->flags & MSGQ_F_IN_REG)
        return &h->p_inst->reg;
    if (h->flags & MSGQ_F_IN_UNREG)
        return &h->p_inst->unreg;
    if (h->flags & MSGQ_F_IN_TMP)
        return &h->p_inst->tmp;
    return nullptr;
}

void list_unlink(msgq_handle_t *h)
{
    if (dll_head_t *list = list_of(h))
        dll_remove(list, &h->link);
    h->flags &= ~(MSGQ_F_IN_REG | MSGQ_F_IN_UNREG | MSGQ_F_IN_TMP);
}

void list_move(msgq_handle_t *h, uint8_t list_flag)
{
    list_unlink(h);
    h->flags |= list_flag;
    dll_insert_tail(list_of(h), &h->link);
}

uint8_t *buf_alloc(msgq_handle_t *h, size_t size)
{
    void *p = h->cbs.alloc ? h->cbs.alloc(size) : calloc(1, size);
    return static_cast<uint8_t *>(p);
}

void buf_free(msgq_handle_t *h, uint8_t *buf)
{
    if (h->cbs.free)
        h->cbs.free(buf);
    else
        free(buf);
}

// Runs an application callback. False when the callback closed the handle:
// the caller must not touch it any more.
template <typename Fn>
bool run_cb(msgq_handle_t *h, Fn &&fn)
{
    h->cb_depth++;
    fn();
    h->cb_depth--;
    if (!h->closed)
        return true;
    if (h->cb_depth == 0)
        free(h);
    return false;
}

bool run_state_cb(msgq_handle_t *h, msgq_state_cb cb)
{
    if (!cb)
        return !h->closed;
    return run_cb(h, [&] { cb(h, h->user_arg); });
}

msgq_handle_t *find_handle(dll_head_t *list, uint32_t own, uint32_t tgt, msgq_role role, const char *path)
{
    for (dll_node_t *n = dll_first(list); n; n = dll_next(n)) {
        msgq_handle_t *h = handle_of(n);
        if (h->own_id == own && h->tgt_id == tgt && h->role == role && strcmp(h->path, path) == 0)
            return h;
    }
    return nullptr;
}

void free_events(msgq_handle_t *h)
{
    auto drop = [](event *&ev) {
        if (ev)
            event_free(ev);
        ev = nullptr;
    };
    drop(h->p_rd_ev);
    for (int i = 0; i < 2; i++) {
        drop(h->p_wr_ev[i]);
        drop(h->p_rdh_ev[i]);
        h->wr_armed[i] = 0;
        h->rdh_scheduled[i] = 0;
    }
    h->wr_idx = 0;
    h->rdh_idx = 0;
}

void reset_rx(msgq_handle_t *h, bool free_buf)
{
    if (free_buf && h->p_rx_buf) {
        buf_free(h, h->p_rx_buf);
        h->stats.msg_frees++;
    }
    h->p_rx_buf = nullptr;
    h->hdr_got = 0;
    h->rx_got = 0;
    h->rx_size = 0;
}

void free_txq(msgq_handle_t *h)
{
    while (msgq_txq_entry_t *e = h->p_txq_head) {
        h->p_txq_head = e->p_next;
        buf_free(h, e->p_buf);
        h->stats.msg_frees++;
        free(e);
    }
    h->p_txq_tail = nullptr;
}

// A temporary handle never reached the application: close and forget it.
void tmp_free(msgq_handle_t *h)
{
    list_unlink(h);
    free_events(h);
    reset_rx(h, false);
    if (h->fd >= 0)
        close(h->fd);
    free(h);
}

void read_handler(msgq_handle_t *h);
void flush(msgq_handle_t *h);

// Closes the connection; false when the down callback closed the handle.
bool close_conn(msgq_handle_t *h, bool reconnect)
{
    MSGQ_DBG("[MSG] Closing connection with fd: %d", h->fd);
    h->stats.conn_close++;
    h->flags &= ~MSGQ_F_DOWN_PENDING;
    free_events(h);
    free_txq(h);
    // The queue counters describe the current connection's queue.
    h->stats.tx_queued = 0;
    h->stats.tx_dequeued = 0;
    reset_rx(h, true);
    if (h->fd >= 0) {
        shutdown(h->fd, SHUT_RDWR);
        close(h->fd);
        h->fd = -1;
    }
    if (h->flags & MSGQ_F_IN_REG) {
        list_move(h, MSGQ_F_IN_UNREG);
        h->stats.conn_down++;
        if (!run_state_cb(h, h->cbs.down))
            return false;
    }
    if (reconnect && h->role == MSGQ_CLIENT && h->p_conn_timer)
        timer_enable(h->p_conn_timer);
    return true;
}

template <int I>
void write_ev_cb(evutil_socket_t, short, void *arg)
{
    auto *h = static_cast<msgq_handle_t *>(arg);
    h->wr_armed[I] = 0;
    h->wr_idx = I ^ 1;
    h->stats.tx_write_cb++;
    if (h->flags & MSGQ_F_DOWN_PENDING)
        close_conn(h, true);
    else
        flush(h);
}

template <int I>
void read_helper_cb(evutil_socket_t, short, void *arg)
{
    auto *h = static_cast<msgq_handle_t *>(arg);
    h->rdh_scheduled[I] = 0;
    h->rdh_idx = I ^ 1;
    h->stats.rx_read_helper_cb++;
    if (!(h->flags & MSGQ_F_DOWN_PENDING))
        read_handler(h);
}

void read_ev_cb(evutil_socket_t, short what, void *arg)
{
    auto *h = static_cast<msgq_handle_t *>(arg);
    if ((what & EV_TIMEOUT) && (h->flags & MSGQ_F_IN_TMP)) {
        MSGQ_ERR_LIMITED("No register message on fd %d within %u ms, closing", h->fd,
                         static_cast<unsigned>(MSGQ_REGISTER_WAIT_MS));
        tmp_free(h);
        return;
    }
    read_handler(h);
}

// A waiting connection's one-shot read event, for what is left of its time to register.
int arm_tmp_read(msgq_handle_t *h)
{
    const uint64_t now = mono_ms();
    const uint64_t left = h->reg_deadline_ms > now ? h->reg_deadline_ms - now : 1;
    timeval tv = {static_cast<time_t>(left / 1000), static_cast<suseconds_t>(left % 1000 * 1000)};
    return event_add(h->p_rd_ev, &tv);
}

void schedule_read_helper(msgq_handle_t *h)
{
    const int i = h->rdh_idx;
    if (!h->p_rdh_ev[i] || h->rdh_scheduled[i])
        return;
    h->rdh_scheduled[i] = 1;
    h->stats.rx_read_helper_scheduled++;
    event_active(h->p_rdh_ev[i], 0, 0);
}

// The events of a connected handle; false when one could not be made.
bool conn_events(msgq_handle_t *h, bool with_read)
{
    event_base *base = h->p_inst->evbase;
    h->p_wr_ev[0] = event_new(base, h->fd, EV_WRITE, write_ev_cb<0>, h);
    h->p_wr_ev[1] = event_new(base, h->fd, EV_WRITE, write_ev_cb<1>, h);
    h->p_rdh_ev[0] = event_new(base, -1, 0, read_helper_cb<0>, h);
    h->p_rdh_ev[1] = event_new(base, -1, 0, read_helper_cb<1>, h);
    if (!h->p_rdh_ev[0] || !h->p_rdh_ev[1]) {
        MSGQ_ERR("Failed to create read helper events");
        return false;
    }
    if (!h->p_wr_ev[0] || !h->p_wr_ev[1])
        return false;
    if (with_read) {
        h->p_rd_ev = event_new(base, h->fd, EV_READ | EV_PERSIST, read_ev_cb, h);
        if (!h->p_rd_ev || event_add(h->p_rd_ev, nullptr) != 0)
            return false;
    }
    return true;
}

// ---- register handling --------------------------------------------------------------------

void handle_register(msgq_handle_t *tmp, const msgq_hdr_t &hdr)
{
    msgq_inst_t *inst = tmp->p_inst;
    tmp->stats.rx_register++;
    msgq_handle_t *h = find_handle(&inst->unreg, hdr.tgt, hdr.src, MSGQ_SERVER, tmp->path);
    if (!h) {
        if (msgq_handle_t *old = find_handle(&inst->reg, hdr.tgt, hdr.src, MSGQ_SERVER, tmp->path)) {
            // The peer came back before we saw it go: the new connection wins.
            old->stats.conn_exist++;
            close_conn(old, false);
            h = find_handle(&inst->unreg, hdr.tgt, hdr.src, MSGQ_SERVER, tmp->path);
        }
    }
    if (!h) {
        MSGQ_ERR_LIMITED("No handle waits for register from %u to %u at %s", hdr.src, hdr.tgt, tmp->path);
        tmp_free(tmp);
        return;
    }
    h->fd = tmp->fd;
    tmp->fd = -1;
    tmp_free(tmp);
    h->stats.rx_register++;
    reset_rx(h, true);
    if (!conn_events(h, true)) {
        close_conn(h, false);
        return;
    }
    list_move(h, MSGQ_F_IN_REG);
    h->stats.conn_up++;
    run_state_cb(h, h->cbs.up);
}

// The socket is open to everyone: only our own user or root may talk to the daemon.
bool peer_trusted(int fd, const char *path)
{
    ucred cr{};
    socklen_t len = sizeof cr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) != 0) {
        MSGQ_ERR_LIMITED("No credentials of the peer on %s (%s), closing", path, strerror(errno));
        return false;
    }
    if (cr.uid == 0 || cr.uid == geteuid())
        return true;
    MSGQ_ERR_LIMITED("Refusing peer pid %d uid %u on %s: only uid %u or root may connect", cr.pid, cr.uid, path,
                     geteuid());
    return false;
}

void accept_cb(evconnlistener *, evutil_socket_t fd, sockaddr *, int, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    msgq_inst_t *inst = g_inst;
    srv->backoff_ms = 0;
    if (!peer_trusted(fd, srv->path)) {
        close(fd);
        return;
    }
    if (srv->app_hdr) {
        msgq_handle_t *h = srv->p_app_handle;
        if (h->fd >= 0) {
            h->stats.conn_exist++;
            if (!close_conn(h, false)) {
                close(fd);
                return;
            }
        }
        h->fd = fd;
        if (!conn_events(h, true)) {
            close_conn(h, false);
            return;
        }
        list_move(h, MSGQ_F_IN_REG);
        h->stats.conn_up++;
        run_state_cb(h, h->cbs.up);
        return;
    }
    if (dll_count(&inst->tmp) >= MSGQ_MAX_PENDING) {
        msgq_handle_t *oldest = handle_of(dll_first(&inst->tmp));
        MSGQ_ERR_LIMITED("%d connections wait for their register message, closing the oldest (fd %d)", MSGQ_MAX_PENDING,
                         oldest->fd);
        tmp_free(oldest);
    }
    auto *tmp = static_cast<msgq_handle_t *>(calloc(1, sizeof(msgq_handle_t)));
    if (!tmp) {
        MSGQ_ERR("Alloc failed");
        close(fd);
        return;
    }
    tmp->own_id = srv->own_id;
    tmp->role = MSGQ_SERVER;
    tmp->p_inst = inst;
    tmp->p_server = srv;
    tmp->fd = fd;
    tmp->sock_type = MSGQ_SOCK_UNIX;
    memcpy(tmp->path, srv->path, sizeof tmp->path);
    tmp->flags = MSGQ_F_IN_TMP;
    dll_insert_tail(&inst->tmp, &tmp->link);
    tmp->reg_deadline_ms = mono_ms() + MSGQ_REGISTER_WAIT_MS;
    tmp->p_rd_ev = event_new(inst->evbase, fd, EV_READ, read_ev_cb, tmp);
    if (!tmp->p_rd_ev || arm_tmp_read(tmp) != 0) {
        MSGQ_ERR("Alloc failed");
        tmp_free(tmp);
    }
}

// ---- receive ------------------------------------------------------------------------------

uint32_t wire_size(const msgq_handle_t *h)
{
    if (h->flags & MSGQ_F_APP_HDR) {
        const uint8_t *p = h->hdr + h->app_hdr_size_offset;
        return static_cast<uint32_t>(p[0]) << 8 | p[1];
    }
    msgq_hdr_t hdr;
    memcpy(&hdr, h->hdr, sizeof hdr);
    return hdr.size;
}

// Receives into dst; >0 bytes, 0 wait for more, -1 the connection ended.
ssize_t rx_some(msgq_handle_t *h, uint8_t *dst, size_t want, int flags)
{
    for (;;) {
        ssize_t n = recv(h->fd, dst, want, flags);
        if (n > 0)
            return n;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return -1;
    }
}

// The connection ended or sent something this transport cannot frame.
void rx_drop(msgq_handle_t *h)
{
    if (h->flags & MSGQ_F_IN_TMP) {
        tmp_free(h);
        return;
    }
    h->stats.rx_fail++;
    close_conn(h, true);
}

void wait_more(msgq_handle_t *h)
{
    // A temporary handle's read event is one-shot.
    if ((h->flags & MSGQ_F_IN_TMP) && h->p_rd_ev)
        arm_tmp_read(h);
}

// A complete header. False when the handle must not be used any more.
bool header_done(msgq_handle_t *h)
{
    const uint32_t hlen = hdr_len(h);
    if (!(h->flags & MSGQ_F_APP_HDR)) {
        msgq_hdr_t hdr;
        memcpy(&hdr, h->hdr, sizeof hdr);
        if (hdr.magic1 != MSGQ_MAGIC1 || hdr.magic2 != MSGQ_MAGIC2) {
            MSGQ_ERR_LIMITED("Bad header from fd %d (magic %#x/%#x), closing", h->fd, hdr.magic1, hdr.magic2);
            rx_drop(h);
            return false;
        }
        if (hdr.type == MSGQ_TYPE_REGISTER) {
            ZEL_ASSERT(h->flags & MSGQ_F_IN_TMP);
            if (hdr.size != MSGQ_HDR_LEN) {
                MSGQ_ERR_LIMITED("Register message of size %u from fd %d, closing", hdr.size, h->fd);
                tmp_free(h);
            } else {
                handle_register(h, hdr);
            }
            return false;
        }
        if (h->flags & MSGQ_F_IN_TMP) {
            MSGQ_ERR_LIMITED("Message of type %u before register on fd %d, closing", hdr.type, h->fd);
            tmp_free(h);
            return false;
        }
    }
    const uint32_t size = wire_size(h);
    ZEL_ASSERT(size > hlen);
    h->p_rx_buf = buf_alloc(h, size);
    h->stats.msg_allocs++;
    if (!h->p_rx_buf)
        h->stats.alloc_failed++;
    ZEL_ASSERT(h->p_rx_buf != nullptr);
    memcpy(h->p_rx_buf, h->hdr, hlen);
    memset(h->hdr, 0, sizeof h->hdr);
    h->rx_got = hlen;
    h->rx_size = size;
    return true;
}

void read_handler(msgq_handle_t *h)
{
    // The timer service's clock, so that tests can drive the burst limit.
    const uint64_t start = timer_clock_ms();
    const bool blocking = h->flags & MSGQ_F_BLOCKING;
    for (;;) {
        const uint32_t hlen = hdr_len(h);
        if (h->hdr_got < hlen) {
            ssize_t n = rx_some(h, h->hdr + h->hdr_got, hlen - h->hdr_got, MSG_DONTWAIT);
            if (n < 0) {
                rx_drop(h);
                return;
            }
            h->hdr_got += static_cast<uint32_t>(n);
            if (h->hdr_got < hlen) {
                wait_more(h);
                return;
            }
            if (!header_done(h))
                return;
        }
        ssize_t n = rx_some(h, h->p_rx_buf + h->rx_got, h->rx_size - h->rx_got, blocking ? MSG_WAITALL : MSG_DONTWAIT);
        if (n < 0) {
            rx_drop(h);
            return;
        }
        h->rx_got += static_cast<uint32_t>(n);
        if (h->rx_got < h->rx_size)
            return;
        uint8_t *buf = h->p_rx_buf;
        const uint32_t len = h->rx_size - hlen;
        reset_rx(h, false);
        h->stats.rx_msg++;
        if (!run_cb(h, [&] { h->cbs.read(h, buf + hlen, len, h->user_arg); }))
            return;
        if (h->fd < 0 || (h->flags & MSGQ_F_DOWN_PENDING))
            return;
        if (timer_clock_ms() - start > MSGQ_READ_BURST_MS)
            return;
    }
}

// ---- send ---------------------------------------------------------------------------------

void flush(msgq_handle_t *h)
{
    while (msgq_txq_entry_t *e = h->p_txq_head) {
        const size_t left = e->total - e->sent;
        ssize_t n = send(h->fd, e->p_buf + e->sent, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(left)) {
            h->stats.tx_msg++;
            MSGQ_DBG("[MSG] Sent Message of size %d to target %s", e->total, name_of(h->tgt_id));
            h->p_txq_head = e->p_next;
            if (!h->p_txq_head)
                h->p_txq_tail = nullptr;
            buf_free(h, e->p_buf);
            free(e);
            h->stats.msg_frees++;
            h->stats.tx_dequeued++;
            continue;
        }
        if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (n > 0)
                e->sent = static_cast<uint16_t>(e->sent + n);
            h->stats.tx_resched++;
            break;
        }
        if (errno == EINTR)
            continue;
        const int err = errno;
        h->stats.tx_fail++;
        h->flags |= MSGQ_F_DOWN_PENDING;
        if (h->sock_type == MSGQ_SOCK_INET) {
            MSGQ_ERR("Error in sending message to %d, err %d, msg_size is %d", h->tgt_id, err, e->total);
            if (err == EPIPE)
                MSGQ_ERR("BROKEN PIPE");
        }
        break;
    }
    if (h->p_txq_head && !h->wr_armed[h->wr_idx] && h->p_wr_ev[h->wr_idx]) {
        h->wr_armed[h->wr_idx] = 1;
        event_add(h->p_wr_ev[h->wr_idx], nullptr);
    }
}

bool send_all(int fd, const uint8_t *p, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// ---- client -------------------------------------------------------------------------------

int inet_wait_connected(msgq_handle_t *h, int fd)
{
    fd_set wset;
    FD_ZERO(&wset);
    FD_SET(fd, &wset);
    struct timeval tv = {MSGQ_INET_CONNECT_WAIT_S, 0};
    int rc = select(fd + 1, nullptr, &wset, nullptr, &tv);
    if (rc == 0) {
        MSGQ_ERR("Timeout in select");
        return -1;
    }
    if (rc < 0) {
        MSGQ_ERR("Failed to connect for fd: %d, error: %d", fd, errno);
        return -1;
    }
    int soerr = 0;
    socklen_t slen = sizeof soerr;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &slen) < 0) {
        MSGQ_ERR("ERROR in getsockopt: %d - %s", errno, strerror(errno));
        return -1;
    }
    if (soerr) {
        MSGQ_DBG("[MSG] ERROR in delayed connection: %d - %s", soerr, strerror(soerr));
        return -1;
    }
    (void)h;
    return 0;
}

// One connection attempt; 0 when connected (and registered).
int connect_attempt(msgq_handle_t *h)
{
    ZEL_ASSERT(h->fd < 0);
    sockaddr_storage ss{};
    socklen_t slen;
    int family;
    if (h->sock_type == MSGQ_SOCK_UNIX) {
        auto *sun = reinterpret_cast<sockaddr_un *>(&ss);
        sun->sun_family = AF_UNIX;
        snprintf(sun->sun_path, sizeof sun->sun_path, "%s", h->path);
        slen = sizeof *sun;
        family = AF_UNIX;
    } else {
        auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(h->port);
        inet_pton(AF_INET, h->ip_addr, &sin->sin_addr);
        slen = sizeof *sin;
        family = AF_INET;
    }
    const bool blocking = h->flags & MSGQ_F_BLOCKING;
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) {
        // Out of descriptors, say: the link must come back once there are some again.
        MSGQ_ERR_LIMITED("Socket init failed %d", errno);
        if (h->p_conn_timer)
            timer_enable(h->p_conn_timer);
        return -1;
    }
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&ss), slen);
    if (rc < 0 && family == AF_INET && errno == EINPROGRESS)
        rc = inet_wait_connected(h, fd);
    if (rc < 0) {
        close(fd);
        if (h->p_conn_timer)
            timer_enable(h->p_conn_timer);
        return -1;
    }
    if (h->p_conn_timer)
        timer_disable(h->p_conn_timer);
    h->fd = fd;
    if (!conn_events(h, !blocking)) {
        close_conn(h, true);
        return -1;
    }
    if (!(h->flags & MSGQ_F_NO_REGISTER)) {
        const msgq_hdr_t reg = {MSGQ_MAGIC1, MSGQ_HDR_LEN, h->own_id, h->tgt_id, MSGQ_TYPE_REGISTER, MSGQ_MAGIC2};
        if (!send_all(fd, reinterpret_cast<const uint8_t *>(&reg), sizeof reg)) {
            MSGQ_DBG("[MSG] Error in sending register message to %d, err %d", h->tgt_id, errno);
            close_conn(h, true);
            return -1;
        }
        h->stats.tx_register++;
    }
    list_move(h, MSGQ_F_IN_REG);
    h->stats.conn_up++;
    run_state_cb(h, h->cbs.up);
    return 0;
}

void connect_timer_cb(timer_obj *, void *arg, void *, void *, void *)
{
    connect_attempt(static_cast<msgq_handle_t *>(arg));
}

void client_start(msgq_handle_t *h)
{
    if (h->flags & MSGQ_F_BLOCKING) {
        while (connect_attempt(h) != 0 && h->fd < 0)
            usleep(MSGQ_CONNECT_RETRY_MS * 1000);
        return;
    }
    h->p_conn_timer =
        timer_util_create(h->p_inst->p_timer_mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, MSGQ_CONNECT_RETRY_MS,
                          connect_timer_cb, h, nullptr, nullptr, nullptr, "msgq-timer");
    if (!h->p_conn_timer) {
        MSGQ_ERR("Failed to init connect timer for %p", static_cast<void *>(h));
        return;
    }
    timer_enable(h->p_conn_timer);
}

// ---- server -------------------------------------------------------------------------------

msgq_server_t *find_server(const char *path)
{
    for (dll_node_t *n = dll_first(&g_inst->servers); n; n = dll_next(n)) {
        auto *srv = DLL_ENTRY(n, msgq_server_t, link);
        if (strcmp(srv->path, path) == 0)
            return srv;
    }
    return nullptr;
}

void backoff_done_cb(evutil_socket_t, short, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    if (srv->p_listener)
        evconnlistener_enable(srv->p_listener);
}

// accept failed with something other than "try again" (EMFILE, ENFILE, ENOBUFS ...): the
// listener would report the same pending connection at once, so it pauses instead.
void accept_error_cb(evconnlistener *lev, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    const int err = EVUTIL_SOCKET_ERROR();
    srv->backoff_ms = std::clamp(srv->backoff_ms * 2, MSGQ_ACCEPT_BACKOFF_MIN_MS, MSGQ_ACCEPT_BACKOFF_MAX_MS);
    MSGQ_ERR_LIMITED("Accept on %s failed: %s; pausing the listener for %u ms", srv->path, strerror(err),
                     srv->backoff_ms);
    if (!srv->p_backoff_ev)
        srv->p_backoff_ev = evtimer_new(g_inst->evbase, backoff_done_cb, srv);
    if (!srv->p_backoff_ev)
        return;  // nothing to wake the listener with: keep accepting
    evconnlistener_disable(lev);
    const timeval tv = {static_cast<time_t>(srv->backoff_ms / 1000),
                        static_cast<suseconds_t>(srv->backoff_ms % 1000 * 1000)};
    evtimer_add(srv->p_backoff_ev, &tv);
}

void server_start(msgq_handle_t *h)
{
    const bool app = h->flags & MSGQ_F_APP_HDR;
    msgq_server_t *srv = find_server(h->path);
    if (!srv) {
        srv = static_cast<msgq_server_t *>(calloc(1, sizeof(msgq_server_t)));
        if (!srv) {
            MSGQ_ERR("Failed to allocate memory for server at %s", h->path);
            return;
        }
        memcpy(srv->path, h->path, sizeof srv->path);
        srv->own_id = h->own_id;
        srv->app_hdr = app;
        dll_insert_tail(&g_inst->servers, &srv->link);
    }
    ZEL_ASSERT(srv->app_hdr == app);
    if (app) {
        ZEL_ASSERT(srv->p_app_handle == nullptr);
        srv->p_app_handle = h;
    }
    h->p_server = srv;
    srv->refcnt++;
    if (srv->p_listener) {
        MSGQ_DBG("[MSG] Server is on at %s, ignore server start", h->path);
        return;
    }
    if (unlink(h->path) < 0 && errno != ENOENT)
        MSGQ_ERR("Path %s exists, failed to remove", h->path);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof sun.sun_path, "%s", h->path);
    srv->p_listener = evconnlistener_new_bind(g_inst->evbase, accept_cb, srv,
                                              LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE, -1,
                                              reinterpret_cast<sockaddr *>(&sun), sizeof sun);
    if (!srv->p_listener) {
        MSGQ_ERR("Failed to start listener for %s", h->path);
        return;
    }
    evconnlistener_set_error_cb(srv->p_listener, accept_error_cb);
    if (chmod(h->path, 0777) < 0)
        MSGQ_ERR("Failed to change permission for %s", h->path);
}

void server_release(msgq_handle_t *h)
{
    msgq_server_t *srv = h->p_server;
    h->p_server = nullptr;
    if (!srv)
        return;
    if (srv->p_app_handle == h)
        srv->p_app_handle = nullptr;
    if (--srv->refcnt > 0)
        return;
    dll_remove(&g_inst->servers, &srv->link);
    if (srv->p_listener)
        evconnlistener_free(srv->p_listener);
    if (srv->p_backoff_ev)
        event_free(srv->p_backoff_ev);
    // Connections still waiting for their register message lose their server.
    for (dll_node_t *n = dll_first(&g_inst->tmp); n;) {
        msgq_handle_t *tmp = handle_of(n);
        n = dll_next(n);
        if (tmp->p_server == srv)
            tmp_free(tmp);
    }
    if (unlink(srv->path) < 0)
        MSGQ_DBG("[MSG] Failed to remove the file: %s", srv->path);
    free(srv);
}

void inst_free_if_idle()
{
    if (!g_inst || !dll_is_empty(&g_inst->reg) || !dll_is_empty(&g_inst->unreg) || !dll_is_empty(&g_inst->tmp))
        return;
    free(g_inst);
    g_inst = nullptr;
}

bool params_valid(msgq_role role, const msgq_params_t *params, const msgq_cbs_t *cbs)
{
    if (!params || !params->evbase || !cbs || !cbs->read || !cbs->aux)
        return false;
    if (role == MSGQ_CLIENT && !params->p_timer_mgr)
        return false;
    if (params->app_hdr && (params->app_hdr_len < 1 || params->app_hdr_len > MSGQ_APP_HDR_MAX ||
                            params->app_hdr_size_offset + 2u > params->app_hdr_len))
        return false;
    return true;
}

}  // namespace

// ---- public interface -----------------------------------------------------------------------

msgq_handle_t *msgq_init(uint32_t own_id, uint32_t tgt_id, msgq_role role, const msgq_params_t *params,
                         const msgq_cbs_t *cbs, void *user_arg)
{
    if (own_id < MSGQ_ID_MIN || own_id > MSGQ_ID_MAX || tgt_id < MSGQ_ID_MIN || tgt_id > MSGQ_ID_MAX)
        return nullptr;
    if (!g_inst) {
        g_inst = static_cast<msgq_inst_t *>(calloc(1, sizeof(msgq_inst_t)));
        ZEL_ASSERT(g_inst != nullptr);
        dll_init(&g_inst->reg);
        dll_init(&g_inst->unreg);
        dll_init(&g_inst->tmp);
        dll_init(&g_inst->servers);
        if (params) {
            g_inst->evbase = params->evbase;
            g_inst->p_timer_mgr = params->p_timer_mgr;
            g_inst->facility = params->facility;
        }
    }
    MSGQ_DBG("[MSG] Msg init with src: %s, tgt: %s, type: %d", name_of(own_id), name_of(tgt_id), role);
    const bool params_ok = params_valid(role, params, cbs);
    if (!params_ok)
        MSGQ_ERR("Validation of parameters failed");
    ZEL_ASSERT(params_ok);
    if (!g_inst->evbase) {
        g_inst->evbase = params->evbase;
        g_inst->facility = params->facility;
    }
    if (!g_inst->p_timer_mgr)
        g_inst->p_timer_mgr = params->p_timer_mgr;

    char path[MSGQ_PATH_LEN] = "";
    if (params->sock_type == MSGQ_SOCK_UNIX) {
        if (params->path[0])
            snprintf(path, sizeof path, "%.*s", static_cast<int>(sizeof params->path), params->path);
        else if (snprintf(path, sizeof path, "%s/.%s", g_sock_dir, name_of(role == MSGQ_SERVER ? own_id : tgt_id)) >=
                 static_cast<int>(sizeof path))
            MSGQ_ERR("Socket path %s is cut", path);
    }
    msgq_handle_t *dup = find_handle(&g_inst->reg, own_id, tgt_id, role, path);
    if (!dup)
        dup = find_handle(&g_inst->unreg, own_id, tgt_id, role, path);
    if (dup)
        MSGQ_ERR("Duplicate msgq_handle found");
    ZEL_ASSERT(dup == nullptr);

    auto *h = static_cast<msgq_handle_t *>(calloc(1, sizeof(msgq_handle_t)));
    if (!h) {
        inst_free_if_idle();
        return nullptr;
    }
    h->own_id = static_cast<uint8_t>(own_id);
    h->tgt_id = static_cast<uint8_t>(tgt_id);
    h->role = role;
    h->p_inst = g_inst;
    h->fd = -1;
    h->cbs = *cbs;
    if (params->no_register || params->app_hdr)
        h->flags |= MSGQ_F_NO_REGISTER;
    if (params->app_hdr) {
        h->flags |= MSGQ_F_APP_HDR;
        h->app_hdr_len = params->app_hdr_len;
        h->app_hdr_size_offset = params->app_hdr_size_offset;
    }
    if (params->blocking && role == MSGQ_CLIENT)
        h->flags |= MSGQ_F_BLOCKING;
    h->user_arg = user_arg;
    h->sock_type = params->sock_type;
    h->port = params->port;
    snprintf(h->ip_addr, sizeof h->ip_addr, "%.*s", static_cast<int>(sizeof params->ip_addr), params->ip_addr);
    memcpy(h->path, path, sizeof h->path);
    h->flags |= MSGQ_F_IN_UNREG;
    dll_insert_tail(&g_inst->unreg, &h->link);

    const bool family_ok = h->sock_type == MSGQ_SOCK_UNIX || h->sock_type == MSGQ_SOCK_INET;
    if (!family_ok)
        MSGQ_ERR("Unsupported socket type");
    ZEL_ASSERT(family_ok);
    if (role == MSGQ_SERVER) {
        ZEL_ASSERT(h->sock_type == MSGQ_SOCK_UNIX);
        server_start(h);
    } else {
        client_start(h);
    }
    return h;
}

void msgq_close(msgq_handle_t *h)
{
    if (!h || h->closed)
        return;
    h->closed = 1;
    h->cb_depth++;
    close_conn(h, false);
    if (h->p_conn_timer) {
        timer_util_delete(h->p_conn_timer);
        h->p_conn_timer = nullptr;
    }
    server_release(h);
    list_unlink(h);
    h->cb_depth--;
    if (h->cb_depth == 0)
        free(h);
    inst_free_if_idle();
}

void msgq_close_all()
{
    if (!g_inst)
        return;
    while (!dll_is_empty(&g_inst->tmp))
        tmp_free(handle_of(dll_first(&g_inst->tmp)));
    // Closing the last handle frees the instance.
    while (g_inst && !dll_is_empty(&g_inst->reg))
        msgq_close(handle_of(dll_first(&g_inst->reg)));
    while (g_inst && !dll_is_empty(&g_inst->unreg))
        msgq_close(handle_of(dll_first(&g_inst->unreg)));
    inst_free_if_idle();
}

void *msgq_alloc_msg(msgq_handle_t *h, uint32_t size)
{
    if (!h)
        return nullptr;
    const uint32_t hlen = hdr_len(h);
    uint8_t *buf = size <= 0xFFFFu - hlen ? buf_alloc(h, hlen + size) : nullptr;
    if (!buf) {
        h->stats.alloc_failed++;
        return nullptr;
    }
    h->stats.msg_allocs++;
    if (!(h->flags & MSGQ_F_APP_HDR)) {
        msgq_hdr_t hdr{};
        hdr.magic1 = MSGQ_MAGIC1;
        hdr.magic2 = MSGQ_MAGIC2;
        hdr.size = static_cast<uint16_t>(hlen + size);
        memcpy(buf, &hdr, sizeof hdr);
    }
    return buf + hlen;
}

void msgq_free_msg(msgq_handle_t *h, void *payload)
{
    if (!h || !payload)
        return;
    buf_free(h, static_cast<uint8_t *>(payload) - hdr_len(h));
    h->stats.msg_frees++;
}

int msgq_write(msgq_handle_t *h, void *payload, uint32_t len)
{
    if (!h || !payload)
        return MSGQ_ERR_BAD_BUF;
    const uint32_t hlen = hdr_len(h);
    uint8_t *buf = static_cast<uint8_t *>(payload) - hlen;
    if (len == 0 || len > 0xFFFFu - hlen) {
        MSGQ_ERR("Bad message buffer provided");
        return MSGQ_ERR_BAD_BUF;
    }
    if (!(h->flags & MSGQ_F_APP_HDR)) {
        msgq_hdr_t hdr;
        memcpy(&hdr, buf, sizeof hdr);
        ZEL_ASSERT(hdr.magic1 == MSGQ_MAGIC1 && hdr.magic2 == MSGQ_MAGIC2);
        ZEL_ASSERT(hdr.size >= MSGQ_HDR_LEN && hdr.size - MSGQ_HDR_LEN >= len);
        hdr.src = h->own_id;
        hdr.tgt = h->tgt_id;
        hdr.type = MSGQ_TYPE_DATA;
        hdr.size = static_cast<uint16_t>(len + MSGQ_HDR_LEN);
        memcpy(buf, &hdr, sizeof hdr);
    }
    if (!msgq_is_connected(h))
        return MSGQ_ERR_DOWN;

    const uint16_t total = static_cast<uint16_t>(len + hlen);
    if (h->flags & MSGQ_F_BLOCKING) {
        if (!send_all(h->fd, buf, total)) {
            h->stats.tx_fail++;
            ZEL_ASSERT(errno != EAGAIN);
            return MSGQ_ERR_AGAIN;
        }
        h->stats.tx_msg++;
        buf_free(h, buf);
        h->stats.msg_frees++;
        schedule_read_helper(h);
        return 0;
    }
    auto *e = static_cast<msgq_txq_entry_t *>(calloc(1, sizeof(msgq_txq_entry_t)));
    if (!e) {
        h->stats.tx_queue_failed++;
        return MSGQ_ERR_AGAIN;
    }
    e->total = total;
    e->p_buf = buf;
    if (h->p_txq_tail)
        h->p_txq_tail->p_next = e;
    else
        h->p_txq_head = e;
    h->p_txq_tail = e;
    h->stats.tx_queued++;
    MSGQ_DBG("[MSG] Queued Message of size %d to target %s", total, name_of(h->tgt_id));
    flush(h);
    return 0;
}

msgq_params_t msgq_unix_params(event_base *evbase, timer_mgr *p_timer_mgr, int facility)
{
    msgq_params_t params{};
    params.evbase = evbase;
    params.p_timer_mgr = p_timer_mgr;
    params.facility = facility;
    params.sock_type = MSGQ_SOCK_UNIX;
    return params;
}

bool msgq_is_connected(const msgq_handle_t *h) { return h && h->fd >= 0 && !(h->flags & MSGQ_F_DOWN_PENDING); }

void msgq_set_user_arg(msgq_handle_t *h, void *user_arg)
{
    if (h)
        h->user_arg = user_arg;
}

void msgq_set_blocking(msgq_handle_t *h, bool blocking)
{
    if (!h)
        return;
    if (blocking)
        h->flags |= MSGQ_F_BLOCKING;
    else
        h->flags &= ~MSGQ_F_BLOCKING;
}

bool msgq_get_blocking(const msgq_handle_t *h) { return h && (h->flags & MSGQ_F_BLOCKING); }

void msgq_set_debug(bool on) { g_debug = on; }
bool msgq_get_debug() { return g_debug; }

const msgq_inst_t *msgq_instance() { return g_inst; }

void msgq_list_counts(int *reg, int *unreg, int *tmp)
{
    *reg = g_inst ? dll_count(&g_inst->reg) : 0;
    *unreg = g_inst ? dll_count(&g_inst->unreg) : 0;
    *tmp = g_inst ? dll_count(&g_inst->tmp) : 0;
}

void msgq_set_sock_dir(const char *dir) { snprintf(g_sock_dir, sizeof g_sock_dir, "%s", dir ? dir : "/var/run"); }

namespace
{

void dump_handle(FILE *out, const msgq_handle_t *h)
{
    const char *type = h->role == MSGQ_SERVER ? "SERVER" : h->role == MSGQ_CLIENT ? "CLIENT" : "Unknown";
    auto yes_no = [](bool b) { return b ? "Yes" : "No"; };
    fprintf(out, "\n  msgq_p: %p", static_cast<const void *>(h));
    fprintf(out, "\n    Src: %s, Tgt: %s", name_of(h->own_id), name_of(h->tgt_id));
    fprintf(out, "\n    type: %s, path:%s server_p: %p", type, h->path, static_cast<const void *>(h->p_server));
    fprintf(out, "\n    register: %s, user_arg: %p, down-pending: %d", yes_no(!(h->flags & MSGQ_F_NO_REGISTER)),
            h->user_arg, (h->flags & MSGQ_F_DOWN_PENDING) ? 1 : 0);
    fprintf(out, "\n    fd: %d, Rd ev: %p, Wr ev[0]: %p, Wr ev[1]: %p", h->fd, static_cast<const void *>(h->p_rd_ev),
            static_cast<const void *>(h->p_wr_ev[0]), static_cast<const void *>(h->p_wr_ev[1]));
    fprintf(out, "\n    Read Helper ev[0]: %p (%s), Read helper ev[1]: %p (%s), index:%d",
            static_cast<const void *>(h->p_rdh_ev[0]), yes_no(h->rdh_scheduled[0]),
            static_cast<const void *>(h->p_rdh_ev[1]), yes_no(h->rdh_scheduled[1]), h->rdh_idx);
    fprintf(out, "\n    List: In Reg: %s, In Unreg: %s, In Tmp: %s", yes_no(h->flags & MSGQ_F_IN_REG),
            yes_no(h->flags & MSGQ_F_IN_UNREG), yes_no(h->flags & MSGQ_F_IN_TMP));
    fprintf(out, "\n STATS:");
    static constexpr const char *names[] = {
        "tx_msg",      "tx_fail",     "rx_msg",          "rx_fail",           "tx_resched",
        "tx_write_cb", "rx_register", "tx_register",     "conn_up",           "conn_down",
        "conn_close",  "conn_exist",  "msg_allocs",      "msg_frees",         "alloc_failed",
        "tx_queued",   "tx_dequeued", "tx_queue_failed", "rx_read_helper_cb", "rx_read_helper_scheduled"};
    static_assert(sizeof names / sizeof names[0] == sizeof(msgq_stats_t) / sizeof(uint32_t));
    uint32_t values[sizeof names / sizeof names[0]];
    memcpy(values, &h->stats, sizeof values);
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++)
        fprintf(out, "\n    %-30s %-10d", names[i], static_cast<int>(values[i]));
}

void dump_list(FILE *out, const char *title, const dll_head_t *list)
{
    fprintf(out, "%s", title);
    for (dll_node_t *n = dll_first(list); n; n = dll_next(n))
        dump_handle(out, handle_of(n));
}

}  // namespace

void msgq_dump_all(FILE *out)
{
    fprintf(out, "\n   =============");
    fprintf(out, "\n   DUMPING MSGQs");
    fprintf(out, "\n  inst: %p", static_cast<const void *>(g_inst));
    if (!g_inst) {
        fprintf(out, "\n");
        return;
    }
    fprintf(out, "\n  event base: %p, timer: %p", static_cast<const void *>(g_inst->evbase),
            static_cast<const void *>(g_inst->p_timer_mgr));
    fprintf(out, "\n Dumping all message Q handles");
    dump_list(out, "\n In Reg. list", &g_inst->reg);
    dump_list(out, "\n In Unreg. list", &g_inst->unreg);
    dump_list(out, "\n In tmp list", &g_inst->tmp);
    fprintf(out, "\n");
}
