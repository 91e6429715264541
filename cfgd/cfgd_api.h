// The daemon's ConfD layer: one connection per module, its sockets on the
// daemon's event loop, the CDB subscription engine, reconnection on loss.
//
// A module hands cfgd_module_init its parameters (subscription points, action
// and validation points, hooks); the engine connects, subscribes, triggers the
// initial read in turn with the other daemons of the platform and then calls
// each point's handler for every change, and the module's subs_done_cb once a
// notification has been handled completely, before acknowledging it.
#pragma once

#include <event2/event.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <utility>

#include "platform/cdb/confd_cdb.h"
#include "platform/cdb/confd_lib.h"

struct timer_mgr;
struct timer_obj;
struct cfgd_context;
struct cfgd_sub_point;

// Called for every changed entry below a point (keys outermost first); both arrays
// belong to the engine and live only during the call. 0 success, else failure.
using cfgd_sub_handler = int (*)(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                 uint16_t num_values, confd_tag_value_t *values);

inline constexpr size_t CFGD_PATH_LEN = 128;

// The handler a module serves for a point of another module's table, by keypath.
struct cfgd_point_handler {
    const char *keypath;
    cfgd_sub_handler handler;
};

// One list below a bulk-read point; its handler is called once per changed entry.
struct cfgd_bulk_list {
    char path[CFGD_PATH_LEN];  // absolute schema path without leading slash
    cfgd_sub_handler handler;
};

// cfgd_sub_point.flags
inline constexpr uint8_t CFGD_SUB_NUM_BULK_MASK = 0x0f;
inline constexpr uint8_t CFGD_SUB_FLAG_OPER = 0x10;
inline constexpr uint8_t CFGD_SUB_FLAG_TWO_PHASE = 0x20;
inline constexpr uint8_t CFGD_SUB_FLAG_INIT_READ = 0x40;  // initial read seen
inline constexpr uint8_t CFGD_SUB_FLAG_FAILED = 0x80;     // last handler call failed
// cfgd_sub_point.state
inline constexpr uint8_t CFGD_SUB_STATE_IN_PROGRESS = 0x01;
// Back from a disconnection with changes to catch up on: plain notifications wait for them.
inline constexpr uint8_t CFGD_SUB_STATE_CATCH_UP = 0x02;

// Priorities byte: low nibble add priority, high nibble delete priority (0 = none).
constexpr uint8_t cfgd_prio(uint8_t add, uint8_t del) { return static_cast<uint8_t>((del << 4) | (add & 0x0f)); }

// One entry of a subscription table; tables end with an entry whose path is empty.
// The engine writes into the entries, so tables live in writable memory.
struct cfgd_sub_point {
    cfgd_context *context;  // set at registration
    char path[CFGD_PATH_LEN];
    cfgd_sub_handler handler;
    cfgd_bulk_list *bulk_lists;  // non-null: a bulk-read point
    uint32_t ns;
    int32_t sub_id;      // the "ADD" subscription
    int32_t del_sub_id;  // the "DEL" subscription, when a delete priority is set
    uint8_t num_keys;
    uint8_t priorities;
    uint8_t flags;
    uint8_t state;
    time_t time_received;
    time_t time_done;
};

// ConfD event notifications wanted by a module (not used by zeld).
struct cfgd_event_notif_req {
    int mask;
    void (*handler)(cfgd_context *ctx, void *event);
};

// What a module hands to cfgd_module_init; copied whole into the context.
struct cfgd_module_params {
    void *app_ctx;                                  // reached as the context's first field
    cfgd_sub_point *sub_points;                     // required, may be empty
    struct confd_valpoint_cb *valpoints;            // required, ends with an empty name
    struct confd_action_cbs *actionpoints;          // required, ends with an empty name
    struct confd_notification_ctx *notif_ctx;       // filled by the engine
    cfgd_event_notif_req *event_notif_req;          // may be null
    struct confd_notification_ctx *snmp_notif_ctx;  // filled by the engine
    int (*register_cbs_cb)(cfgd_context *ctx);      // required: data callbacks
    void (*subs_done_cb)(cfgd_context *ctx, int trigger);
    void (*post_init_cb)(cfgd_context *ctx);
    event_base *base;      // required
    timer_mgr *timer_ctx;  // required
    uint8_t module_id;     // index into the platform's process-name table
};

// One per module connection; survives every reconnection.
struct cfgd_context {
    cfgd_module_params params;  // first: the module's context is its first field
    struct confd_daemon_ctx *dctx;
    cfgd_context *primary;
    cfgd_context *secondary;
    event *ctrl_ev;
    event *work_ev;
    event *sub_ev;
    event *notif_ev;
    event *pipe_ev;
    timer_obj *retry_timer;
    int pipe_fd[2];
    int ctrl_sock;
    int sub_sock;
    int work_sock;
    int data_sock;
    int maapi_sock;
    int notif_sock;
    int init_prio_sub_id;
    std::atomic<uint32_t> initial_read_done;  // 0 not yet, 2 running, 1 done: once per process
    // Library-private: connection generation, live helper threads, last queued write.
    std::atomic<uint32_t> generation;
    std::atomic<int> live_threads;
    pthread_t last_write;
    bool has_last_write;
    // The database transaction whose configuration each point's handlers hold, per side (false: the
    // ADD subscription, true: the DEL one, which a commit reaches later): after a reconnect each side
    // is told what changed since. Main thread, and the registration thread before the subscription
    // socket is read.
    std::map<std::pair<const cfgd_sub_point *, bool>, cdb_txid> applied_txid;
    cdb_txid delivery_txid;  // of the notification round being handled
    bool delivery_txid_valid;
};

// Module ids of the platform's process-name table.
inline constexpr uint8_t CFGD_MODULE_ZELD = 9;
inline constexpr unsigned CFGD_NUM_MODULES = 161;
const char *cfgd_module_name(uint8_t module_id);

// 0 success, 2 no memory for the context, 3 a ConfD step failed and a retry is
// scheduled. First call: params and out_context, context null. Retry: context only.
int cfgd_module_init(const cfgd_module_params *params, cfgd_context *context, cfgd_context **out_context);
void cfgd_module_free(cfgd_context *context);
void cfgd_retry_connect(cfgd_context *context);
int cfgd_module_secondary_context_register(const cfgd_module_params *params, cfgd_context *primary);

// The library's informational lines are written only while this is on.
void cfgd_debug_on(uint32_t level);
void cfgd_debug_off();
bool cfgd_debug_enabled();

// Address of the configuration database: 127.0.0.1, port 4565 or $CONFD_IPC_PORT.
void cfgd_confd_addr(struct sockaddr_in *addr);

// How long a socket waits for the database: an answer on a socket of the event loop (the loop must not
// stall longer), an answer elsewhere, its start phase, a whole triggered delivery (answered only once the
// daemon has handled it). A database that stops answering then counts as lost.
inline constexpr int CFGD_LOOP_ANSWER_MS = 1000;
inline constexpr int CFGD_ANSWER_MS = 5000;
inline constexpr int CFGD_START_WAIT_MS = 60000;
inline constexpr int CFGD_DELIVERY_MS = 600000;

// A TCP socket for the database that waits at most timeout_ms per read or write, or -1 (errors are
// the caller's to log). Every exchange with the database goes through one: none may wait forever.
int cfgd_open_socket(int timeout_ms = CFGD_ANSWER_MS);

// Shared region "cfgd_shared_region", mapped read-only at every init.
void cfgd_setup_shm();
void cfgd_free_shm();
// The text of the region (empty when unmapped), in a static buffer.
const char *cfgd_shm_get_text();
struct ip_addr_t;
// The region's address record, or the last good copy when unmapped.
void cfgd_shm_get_addr(ip_addr_t *addr);

// Subscription engine.
int cfgd_read_sub_config_all(cfgd_context *context);
int cfgd_read_sub_config(cfgd_context *context, const int *sub_ids, unsigned count);
int cfgd_can_read_initial_config(cfgd_context *context);
int cfgd_set_initial_config_read_done(cfgd_context *context);
void cfgd_thread_register_subscriptions(cfgd_context *context);
void cfgd_sub_cb(evutil_socket_t fd, short what, void *arg);

// Socket and timer callbacks, exposed for the event loop.
void cfgd_ctrl_cb(evutil_socket_t fd, short what, void *arg);
void cfgd_work_cb(evutil_socket_t fd, short what, void *arg);
void cfgd_notification_cb(evutil_socket_t fd, short what, void *arg);
void cfgd_pipe_cb(evutil_socket_t fd, short what, void *arg);

// The library-wide trap-group points walked after every module's table.
cfgd_sub_point *cfgd_lib_sub_points();

// Initial-read order: levels 0-2 belong to modules 21, 5 and 3; every other module is level 3.
inline constexpr unsigned CFGD_INIT_LEVELS = 3;
unsigned cfgd_module_init_level(uint8_t module_id);
