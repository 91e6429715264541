// The ConfD connection of a module: init, reconnection, its sockets and events on
// the daemon's event loop, the helper-thread bookkeeping and the shared region.
//
// Everything here runs on the daemon's event-loop thread except the helper
// threads, which reach the loop only through the context's pipe.
#include "cfgd/cfgd_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "cfgd/cfgd_internal.h"
#include "common/ip_util.h"
#include "common/qor_util.h"
#include "common/timer.h"
#include "platform/cdb/confd_maapi.h"

using namespace cfgd_internal;

namespace
{

constexpr const char *kIpcSecret = "/etc/confd/confd_ipc_secret";
constexpr const char *kStreamName = "ardenta";
constexpr const char *kSnmpNotification = "ardenta_snmpv2_trap";
constexpr uint32_t kRetryMs = 2000;
constexpr char kPipeRetry = '1';
constexpr char kPipeSubscribed = 'S';

std::atomic<bool> g_debug_on{false};
std::atomic<uint32_t> g_debug_level{0};
int g_first_module_id = -1;
// Serialises the helper threads' pipe writes with the loop closing the pipe.
std::mutex g_pipe_mu;

void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

void free_event(event **ev)
{
    if (*ev != nullptr)
        event_free(*ev);
    *ev = nullptr;
}

cfgd_context *ctx_of(confd_daemon_ctx *dx) { return static_cast<cfgd_context *>(dx->d_opaque); }

// ---- shared region -------------------------------------------------------------------

constexpr const char *kShmName = "cfgd_shared_region";
constexpr size_t kShmSize = 280;
constexpr size_t kShmTextOffset = 24;
constexpr size_t kShmTextMax = 253;

const uint8_t *g_shm = nullptr;
ip_addr_t g_shm_addr_cache{};

// ---- connection ----------------------------------------------------------------------

void fill_context_fds(cfgd_context *ctx)
{
    ctx->pipe_fd[0] = ctx->pipe_fd[1] = -1;
    ctx->ctrl_sock = ctx->sub_sock = ctx->work_sock = ctx->data_sock = ctx->maapi_sock = ctx->notif_sock = -1;
}

// Closes every socket, event and the daemon context; the context itself stays.
void close_connection(cfgd_context *ctx)
{
    free_event(&ctx->ctrl_ev);
    free_event(&ctx->work_ev);
    free_event(&ctx->sub_ev);
    free_event(&ctx->notif_ev);
    free_event(&ctx->pipe_ev);
    {
        std::lock_guard lk(g_pipe_mu);
        ctx->generation++;
        close_fd(&ctx->pipe_fd[0]);
        close_fd(&ctx->pipe_fd[1]);
    }
    close_fd(&ctx->ctrl_sock);
    close_fd(&ctx->work_sock);
    close_fd(&ctx->data_sock);
    close_fd(&ctx->sub_sock);
    close_fd(&ctx->maapi_sock);
    close_fd(&ctx->notif_sock);
    if (ctx->dctx != nullptr)
        confd_release_daemon(ctx->dctx);
    ctx->dctx = nullptr;
    ctx->params.notif_ctx = nullptr;
    ctx->params.snmp_notif_ctx = nullptr;
}

void free_secondary(cfgd_context *ctx)
{
    if (ctx->secondary == nullptr)
        return;
    close_connection(ctx->secondary);
    delete ctx->secondary;
    ctx->secondary = nullptr;
}

void cfgd_retry_cb(timer_obj *, void *arg1, void *, void *, void *)
{
    auto *ctx = static_cast<cfgd_context *>(arg1);
    if (cfgd_module_init(nullptr, ctx, nullptr) != 0)
        CFGD_DEBUG("cfgd retry: Failed to init cfgd");
}

int cfgd_trans_init(confd_trans_ctx *tctx)
{
    confd_trans_set_fd(tctx, ctx_of(tctx->dx)->work_sock);
    return CONFD_OK;
}

int cfgd_action_init(confd_user_info *uinfo)
{
    confd_action_set_fd(uinfo, ctx_of(uinfo->dx)->work_sock);
    return CONFD_OK;
}

int cfgd_init_validation(confd_trans_ctx *tctx)
{
    cfgd_context *ctx = ctx_of(tctx->dx);
    confd_trans_set_fd(tctx, ctx->work_sock);
    if (maapi_attach(ctx->maapi_sock, 0, tctx) != CONFD_OK) {
        ZEL_LOG("Failed to do maapi attach for init validation (%u)%s (%d) : %s", static_cast<unsigned>(tctx->thandle),
                CFGD_ERR_ARGS);
        return CONFD_ERR;
    }
    return CONFD_OK;
}

int cfgd_stop_validation(confd_trans_ctx *tctx)
{
    cfgd_context *ctx = ctx_of(tctx->dx);
    if (maapi_detach(ctx->maapi_sock, tctx) != CONFD_OK)
        ZEL_LOG("Failed to do maapi detach for stop validation (%u)%s (%d) : %s", static_cast<unsigned>(tctx->thandle),
                CFGD_ERR_ARGS);
    return CONFD_OK;
}

// A database that accepts and then stops answering is taken as gone (and retried) instead of holding the
// loop.
int open_loop_socket() { return cfgd_open_socket(CFGD_LOOP_ANSWER_MS); }

// Opens the daemon context and its control and worker sockets with their events.
bool open_daemon(cfgd_context *ctx, const char *name)
{
    if (confd_init_vsn_sz(name, stderr, CONFD_SILENT, CONFD_LIB_API_VSN, MAXDEPTH, MAXKEYLEN) != CONFD_OK ||
        (ctx->dctx = confd_init_daemon(name)) == nullptr) {
        ZEL_LOG("Failed to initialize confdlib (%s)", name);
        return false;
    }
    ctx->dctx->d_opaque = ctx;
    if ((ctx->ctrl_sock = open_loop_socket()) < 0) {
        ZEL_LOG("Failed to open control socket (%s)", strerror(errno));
        return false;
    }
    if ((ctx->work_sock = open_loop_socket()) < 0) {
        ZEL_LOG("Failed to open worker socket (%s)", strerror(errno));
        return false;
    }
    return true;
}

bool connect_daemon(cfgd_context *ctx, const sockaddr_in &addr)
{
    auto *sa = reinterpret_cast<const sockaddr *>(&addr);
    if (confd_connect(ctx->dctx, ctx->ctrl_sock, CONTROL_SOCKET, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect control socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (confd_connect(ctx->dctx, ctx->work_sock, WORKER_SOCKET, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect worker socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    return true;
}

bool add_daemon_events(cfgd_context *ctx)
{
    event_base *base = ctx->params.base;
    const char *name = mod_name(ctx);
    ctx->ctrl_ev = event_new(base, ctx->ctrl_sock, EV_READ | EV_PERSIST, cfgd_ctrl_cb, ctx);
    if (ctx->ctrl_ev == nullptr || event_add(ctx->ctrl_ev, nullptr) != 0) {
        ZEL_LOG("Failed to create control event for module %s", name);
        return false;
    }
    ctx->work_ev = event_new(base, ctx->work_sock, EV_READ | EV_PERSIST, cfgd_work_cb, ctx);
    if (ctx->work_ev == nullptr || event_add(ctx->work_ev, nullptr) != 0) {
        ZEL_LOG("Failed to create worker event for module %s", name);
        return false;
    }
    return true;
}

// Transaction, action, validation and data callbacks; a secondary connection takes
// no validation.
bool register_daemon_cbs(cfgd_context *ctx, bool primary)
{
    confd_trans_validate_cbs vcbs{cfgd_init_validation, cfgd_stop_validation};
    if (primary && confd_register_trans_validate_cb(ctx->dctx, &vcbs) != CONFD_OK) {
        ZEL_LOG("Failed to register validation call backs (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    confd_trans_cbs trans{};
    trans.init = cfgd_trans_init;
    if (confd_register_trans_cb(ctx->dctx, &trans) != CONFD_OK) {
        ZEL_LOG("Failed to register transaction call backs (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    for (confd_action_cbs *a = ctx->params.actionpoints; a->actionpoint[0] != '\0'; ++a) {
        confd_action_cbs cbs = *a;
        cbs.init = cfgd_action_init;
        if (confd_register_action_cbs(ctx->dctx, &cbs) != CONFD_OK) {
            ZEL_LOG("Failed to register %s action call back (%s - %d)", a->actionpoint, confd_strerror(confd_errno),
                    confd_errno);
            return false;
        }
    }
    for (confd_valpoint_cb *v = ctx->params.valpoints; primary && v->valpoint[0] != '\0'; ++v) {
        if (confd_register_valpoint_cb(ctx->dctx, v) != CONFD_OK) {
            ZEL_LOG("Failed to register %s validation call back (%s - %d)", v->valpoint, confd_strerror(confd_errno),
                    confd_errno);
            return false;
        }
    }
    if (ctx->params.register_cbs_cb(ctx) != 0) {
        ZEL_LOG("Failed to register data call backs");
        return false;
    }
    return true;
}

bool register_callbacks(cfgd_context *ctx)
{
    if (!register_daemon_cbs(ctx, true))
        return false;
    confd_notification_stream_cbs ncbs{};
    snprintf(ncbs.streamname, sizeof ncbs.streamname, "%s", kStreamName);
    ncbs.fd = ctx->work_sock;
    if (confd_register_notification_stream(ctx->dctx, &ncbs, &ctx->params.notif_ctx) != CONFD_OK) {
        ZEL_LOG("confd_register_notification_stream() failed (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (confd_register_snmp_notification(ctx->dctx, ctx->work_sock, kSnmpNotification, "",
                                         &ctx->params.snmp_notif_ctx) != CONFD_OK) {
        ZEL_LOG("confd_register_snmp_notification() failed (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (confd_register_done(ctx->dctx) != CONFD_OK) {
        ZEL_LOG("confd_register_done() failed (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    return true;
}

bool setup_pipe(cfgd_context *ctx)
{
    int fds[2];
    if (pipe(fds) != 0) {
        ZEL_LOG("Failed to setup pipe");
        return false;
    }
    {
        std::lock_guard lk(g_pipe_mu);
        ctx->pipe_fd[0] = fds[0];
        ctx->pipe_fd[1] = fds[1];
    }
    if (fcntl(fds[0], F_SETFD, FD_CLOEXEC) != 0 || fcntl(fds[1], F_SETFD, FD_CLOEXEC) != 0) {
        ZEL_LOG("Failed to set fd flags");
        return false;
    }
    ctx->pipe_ev = event_new(ctx->params.base, fds[0], EV_READ | EV_PERSIST, cfgd_pipe_cb, ctx);
    if (ctx->pipe_ev == nullptr) {
        ZEL_LOG("Failed to create event for pipe");
        return false;
    }
    if (event_add(ctx->pipe_ev, nullptr) != 0) {
        ZEL_LOG("Failed to add event for pipe");
        return false;
    }
    return true;
}

// Init steps after the context exists; false after any failure (logged).
bool connect_module(cfgd_context *ctx)
{
    const char *name = mod_name(ctx);
    if (!open_daemon(ctx, name))
        return false;
    if ((ctx->data_sock = open_loop_socket()) < 0) {
        ZEL_LOG("Failed to open data socket (%s)", strerror(errno));
        return false;
    }
    if ((ctx->sub_sock = open_loop_socket()) < 0) {
        ZEL_LOG("Failed to open subscription socket (%s)", strerror(errno));
        return false;
    }
    if ((ctx->maapi_sock = open_loop_socket()) < 0) {
        ZEL_LOG("Failed to open maapi socket (%s)", strerror(errno));
        return false;
    }
    if (ctx->params.event_notif_req != nullptr) {
        // This client library has no ConfD event-notification socket.
        ZEL_LOG("Failed to open confd notification socket (%s)", strerror(EPROTONOSUPPORT));
        return false;
    }
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    auto *sa = reinterpret_cast<const sockaddr *>(&addr);
    if (!connect_daemon(ctx, addr))
        return false;
    if (cdb_connect(ctx->data_sock, CDB_DATA_SOCKET, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to connect data socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (maapi_connect(ctx->maapi_sock, sa, sizeof addr) != CONFD_OK) {
        ZEL_LOG("Failed to do maapi_connect (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (!add_daemon_events(ctx))
        return false;
    ctx->sub_ev = event_new(ctx->params.base, ctx->sub_sock, EV_READ | EV_PERSIST, cfgd_sub_cb, ctx);
    if (ctx->sub_ev == nullptr) {
        ZEL_LOG("Failed to create subscription event for module %s", name);
        return false;
    }
    return register_callbacks(ctx) && setup_pipe(ctx);
}

void *registration_thread(void *arg)
{
    auto *ctx = static_cast<cfgd_context *>(arg);
    cfgd_thread_register_subscriptions(ctx);
    cfgd_thread_leave(ctx);
    return nullptr;
}

bool any_point(cfgd_context *ctx)
{
    bool found = false;
    for_each_point(ctx, [&](cfgd_sub_point *) { return !(found = true); });
    return found;
}

bool check_params(const cfgd_module_params *p, cfgd_context **out)
{
    return p->app_ctx != nullptr && p->sub_points != nullptr && p->valpoints != nullptr && p->actionpoints != nullptr &&
           p->register_cbs_cb != nullptr && p->base != nullptr && p->timer_ctx != nullptr && out != nullptr;
}

}  // namespace

bool cfgd_internal::start_detached(void *(*fn)(void *), cfgd_context *ctx, void *arg)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    cfgd_thread_enter(ctx);
    int rc = pthread_create(&tid, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        cfgd_thread_leave(ctx);
        ZEL_LOG("Failed to create cfgd thread (error %d, errno %d))", rc, errno);
        return false;
    }
    return true;
}

// ---- process-wide --------------------------------------------------------------------

// Module ids are the platform's daemon identifiers; the names come from its one table.
static_assert(CFGD_NUM_MODULES == QOR_DAEMON_ID_MAX + 1 && CFGD_MODULE_ZELD == QOR_DAEMON_ID_ZELD);

const char *cfgd_module_name(uint8_t module_id)
{
    return module_id < CFGD_NUM_MODULES ? qor_util_confd_module_name(module_id) : "unknown";
}

void cfgd_debug_on(uint32_t level)
{
    g_debug_level = level;
    g_debug_on = true;
}

void cfgd_debug_off() { g_debug_on = false; }

bool cfgd_debug_enabled() { return g_debug_on.load(std::memory_order_relaxed); }

void cfgd_confd_addr(sockaddr_in *addr)
{
    memset(addr, 0, sizeof *addr);
    int port = CONFD_PORT;
    if (const char *e = getenv("CONFD_IPC_PORT"); e != nullptr && atoi(e) > 0 && atoi(e) < 65536)
        port = atoi(e);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(static_cast<uint16_t>(port));
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

int cfgd_open_socket(int timeout_ms)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock >= 0 && confd_set_socket_timeout(sock, timeout_ms) != 0) {
        const int err = errno;
        close(sock);
        errno = err;
        return -1;
    }
    return sock;
}

void cfgd_thread_enter(cfgd_context *ctx) { ctx->live_threads++; }
void cfgd_thread_leave(cfgd_context *ctx) { ctx->live_threads--; }

static void pipe_write(cfgd_context *ctx, uint32_t generation, char byte)
{
    std::lock_guard lk(g_pipe_mu);
    if (ctx->generation != generation || ctx->pipe_fd[1] < 0)
        return;
    if (write(ctx->pipe_fd[1], &byte, 1) != 1)
        ZEL_LOG("Failed to write to the pipe (%s)", strerror(errno));
}

void cfgd_thread_report_failure(cfgd_context *ctx, uint32_t generation) { pipe_write(ctx, generation, kPipeRetry); }
void cfgd_thread_report_subscribed(cfgd_context *ctx, uint32_t generation)
{
    pipe_write(ctx, generation, kPipeSubscribed);
}

// ---- module init, retry, free --------------------------------------------------------

int cfgd_module_init(const cfgd_module_params *params, cfgd_context *ctx, cfgd_context **out_context)
{
    cfgd_trap_init();
    setenv("CONFD_IPC_ACCESS_FILE", kIpcSecret, 1);
    setenv("NCS_IPC_ACCESS_FILE", kIpcSecret, 1);
    if (ctx == nullptr) {
        // Neither parameters nor an out pointer: a retry that lost its context.
        CFGD_FATAL_UNLESS(params != nullptr || out_context != nullptr, "NULL cfgd context pointer");
        CFGD_FATAL_UNLESS(params != nullptr && check_params(params, out_context),
                          "Invalid cfgd registration: NULL Parameters");
        ctx = new (std::nothrow) cfgd_context{};
        if (ctx == nullptr) {
            ZEL_LOG("Failed to allocate memory for cfgd context");
            return 2;
        }
        fill_context_fds(ctx);
        *out_context = ctx;
        ctx->params = *params;
        if (g_first_module_id < 0)
            g_first_module_id = params->module_id;
    }
    if (!connect_module(ctx)) {
        cfgd_retry_connect(ctx);
        return 3;
    }
    if (any_point(ctx) && !start_detached(registration_thread, ctx, ctx)) {
        cfgd_retry_connect(ctx);
        return 3;
    }
    if (ctx->retry_timer != nullptr) {
        timer_util_delete(ctx->retry_timer);
        ctx->retry_timer = nullptr;
    }
    if (ctx->params.post_init_cb != nullptr)
        ctx->params.post_init_cb(ctx);
    cfgd_setup_shm();
    cfgd_notification_throttler_init(ctx);
    return 0;
}

void cfgd_retry_connect(cfgd_context *ctx)
{
    CFGD_FATAL_UNLESS(ctx != nullptr, "NULL cfgd context pointer");
    if (ctx->primary != nullptr)
        ctx = ctx->primary;
    free_secondary(ctx);
    if (ctx->sub_sock >= 0) {
        cfgd_notification_throttler_connection_reset();
        cfgd_trap_deinit();
    }
    close_connection(ctx);
    if (ctx->retry_timer == nullptr) {
        ctx->retry_timer = timer_util_create(ctx->params.timer_ctx, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, kRetryMs,
                                             cfgd_retry_cb, ctx, nullptr, nullptr, nullptr, "cfgd_timer");
        CFGD_FATAL_UNLESS(ctx->retry_timer != nullptr, "Failed to create cfgd retry timer");
        timer_enable(ctx->retry_timer);
    }
}

void cfgd_module_free(cfgd_context *ctx)
{
    if (ctx == nullptr)
        return;
    cfgd_notification_throttler_free();
    cfgd_free_shm();
    free_secondary(ctx);
    close_connection(ctx);
    if (ctx->retry_timer != nullptr)
        timer_util_delete(ctx->retry_timer);
    ctx->retry_timer = nullptr;
    cfgd_oper_writes_join(ctx);
    cfgd_trap_deinit();
    // Helper threads end once their sockets see the connection gone; never free under them.
    for (int i = 0; i < 500 && ctx->live_threads > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ctx->live_threads > 0) {
        ZEL_LOG("cfgd context of %s left to %d running threads", mod_name(ctx), ctx->live_threads.load());
        return;
    }
    for_each_point(ctx, [ctx](cfgd_sub_point *p) {
        if (p->context == ctx)
            p->context = nullptr;
        return true;
    });
    delete ctx;
}

int cfgd_module_secondary_context_register(const cfgd_module_params *params, cfgd_context *primary)
{
    CFGD_FATAL_UNLESS(params != nullptr && primary != nullptr, "Invalid cfgd registration: NULL Parameters");
    auto *sec = new (std::nothrow) cfgd_context{};
    if (sec == nullptr) {
        ZEL_LOG("Failed to allocate memory for cfgd context");
        return 2;
    }
    fill_context_fds(sec);
    sec->params = *params;
    sec->primary = primary;
    free_secondary(primary);
    primary->secondary = sec;
    char name[MAX_DAEMON_NAME_LEN];
    snprintf(name, sizeof name, "%s-secondary", mod_name(primary));
    sockaddr_in addr;
    cfgd_confd_addr(&addr);
    if (!open_daemon(sec, name) || !connect_daemon(sec, addr) || !add_daemon_events(sec) ||
        !register_daemon_cbs(sec, false) || confd_register_done(sec->dctx) != CONFD_OK) {
        cfgd_retry_connect(sec);
        return 3;
    }
    return 0;
}

// ---- socket callbacks ----------------------------------------------------------------

static void daemon_socket_ready(cfgd_context *ctx, evutil_socket_t fd, bool control)
{
    int rc = confd_fd_ready(ctx->dctx, fd);
    if (rc == CONFD_EOF) {
        if (control)
            ZEL_LOG("Control socket closed");
        else
            CFGD_DEBUG("Worker socket closed");
        cfgd_retry_connect(ctx);
    } else if (rc == CONFD_ERR && confd_errno != CONFD_ERR_EXTERNAL) {
        if (control)
            ZEL_LOG("Error on control socket request: %s (%d): %s", CFGD_ERR_ARGS);
        else
            ZEL_LOG("Error on worker socket request: %s (%d): %s", CFGD_ERR_ARGS);
        // A request cut off (or never finished) by the database: the connection is unusable.
        if (confd_errno == CONFD_ERR_OS)
            cfgd_retry_connect(ctx);
    }
}

void cfgd_ctrl_cb(evutil_socket_t fd, short, void *arg)
{
    daemon_socket_ready(static_cast<cfgd_context *>(arg), fd, true);
}

void cfgd_work_cb(evutil_socket_t fd, short, void *arg)
{
    daemon_socket_ready(static_cast<cfgd_context *>(arg), fd, false);
}

void cfgd_notification_cb(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<cfgd_context *>(arg);
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
        ZEL_LOG("Notification socket closed");
        cfgd_retry_connect(ctx);
    } else if (n < 0 && errno != EAGAIN) {
        ZEL_LOG("Error on notification socket request: %s (%d): %s", strerror(errno), errno, "");
    }
}

void cfgd_pipe_cb(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<cfgd_context *>(arg);
    char c = 0;
    if (read(fd, &c, 1) != 1) {
        ZEL_LOG("Failed to read from the pipe");
        return;
    }
    if (c == kPipeRetry) {
        CFGD_DEBUG("Thread notification for retry");
        cfgd_retry_connect(ctx);
    } else if (c == kPipeSubscribed && ctx->sub_ev != nullptr) {
        event_add(ctx->sub_ev, nullptr);
    }
}

// ---- shared region -------------------------------------------------------------------

void cfgd_setup_shm()
{
    if (g_shm != nullptr)
        return;
    int fd = shm_open(kShmName, O_RDONLY, 0400);
    if (fd < 0) {
        ZEL_LOG("Failed to open shared memory %s with an error %d", kShmName, errno);
        return;
    }
    struct stat st;
    void *p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(kShmSize))
        p = mmap(nullptr, kShmSize, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        ZEL_LOG("Failed to map shared memory %s", kShmName);
        return;
    }
    g_shm = static_cast<const uint8_t *>(p);
    CFGD_DEBUG("Succesfully mapped shared memory %s", kShmName);
}

void cfgd_free_shm()
{
    if (g_shm == nullptr)
        return;
    if (munmap(const_cast<uint8_t *>(g_shm), kShmSize) != 0)
        ZEL_LOG("Failed to unmap shared memory %s", kShmName);
    else
        CFGD_DEBUG("Succesfully freed shared memory %s", kShmName);
    g_shm = nullptr;
}

const char *cfgd_shm_get_text()
{
    static char text[kShmTextMax + 1];
    text[0] = '\0';
    if (g_shm != nullptr) {
        memcpy(text, g_shm + kShmTextOffset, kShmTextMax);
        text[kShmTextMax] = '\0';
    }
    return text;
}

void cfgd_shm_get_addr(ip_addr_t *addr)
{
    if (g_shm != nullptr)
        memcpy(&g_shm_addr_cache, g_shm, sizeof g_shm_addr_cache);
    *addr = g_shm_addr_cache;
}
