// Message-queue transport: framed messages between the daemons of the
// appliance over stream sockets, driven by the event loop.
//
// A handle is one link: a SERVER listens on "/var/run/.<own name>" and waits
// for the peer's register message; a CLIENT connects to "/var/run/.<target
// name>", retries every 500 ms and registers. Writes never block in the
// default mode: what the socket does not take waits in the handle's queue
// and goes out when the socket becomes writable. The read callback receives
// whole messages and owns them (free with msgq_free_msg). Single-threaded.
//
// A SERVER's socket is mode 0777, so the peer's credentials decide: only the
// daemon's own uid or root is served. A connection that does not register
// within 5 s is closed, and at most 32 wait at once (the oldest gives way). A
// listener that cannot accept (no descriptors left) pauses and tries again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/dll.h"

struct event;
struct event_base;
struct evconnlistener;
struct timer_mgr;
struct timer_obj;

inline constexpr uint16_t MSGQ_MAGIC1 = 0xBEAF;
inline constexpr uint8_t MSGQ_MAGIC2 = 0x0C;
inline constexpr uint8_t MSGQ_TYPE_REGISTER = 1;
inline constexpr uint8_t MSGQ_TYPE_DATA = 2;

// Daemon identifiers a handle may use.
inline constexpr uint32_t MSGQ_ID_MIN = 1;
inline constexpr uint32_t MSGQ_ID_MAX = 160;

// Wire header in front of every message, host byte order.
struct msgq_hdr_t {
    uint16_t magic1;  // MSGQ_MAGIC1
    uint16_t size;    // whole message, header included
    uint8_t src;
    uint8_t tgt;
    uint8_t type;    // MSGQ_TYPE_*
    uint8_t magic2;  // MSGQ_MAGIC2
};
static_assert(sizeof(msgq_hdr_t) == 8);
static_assert(offsetof(msgq_hdr_t, size) == 2);
static_assert(offsetof(msgq_hdr_t, src) == 4);
static_assert(offsetof(msgq_hdr_t, tgt) == 5);
static_assert(offsetof(msgq_hdr_t, type) == 6);
static_assert(offsetof(msgq_hdr_t, magic2) == 7);

inline constexpr uint32_t MSGQ_HDR_LEN = sizeof(msgq_hdr_t);
inline constexpr uint32_t MSGQ_MAX_PAYLOAD = 0xFFFF - MSGQ_HDR_LEN;  // 65527
inline constexpr uint32_t MSGQ_APP_HDR_MAX = 64;
inline constexpr size_t MSGQ_PATH_LEN = 64;
inline constexpr size_t MSGQ_IP_ADDR_LEN = 128;

// Results of msgq_write besides 0.
inline constexpr int MSGQ_ERR_BAD_BUF = 10;
inline constexpr int MSGQ_ERR_AGAIN = 11;
inline constexpr int MSGQ_ERR_DOWN = 14;

enum msgq_role : uint8_t { MSGQ_SERVER = 1, MSGQ_CLIENT = 2 };

inline constexpr uint8_t MSGQ_SOCK_UNIX = 1;
inline constexpr uint8_t MSGQ_SOCK_INET = 2;

// Flag byte of a handle.
inline constexpr uint8_t MSGQ_F_NO_REGISTER = 0x01;
inline constexpr uint8_t MSGQ_F_IN_REG = 0x02;
inline constexpr uint8_t MSGQ_F_IN_UNREG = 0x04;
inline constexpr uint8_t MSGQ_F_IN_TMP = 0x08;
inline constexpr uint8_t MSGQ_F_APP_HDR = 0x10;
inline constexpr uint8_t MSGQ_F_BLOCKING = 0x20;
inline constexpr uint8_t MSGQ_F_DOWN_PENDING = 0x40;

// Parameters of msgq_init; zero what is not used.
struct msgq_params_t {
    event_base *evbase;
    timer_mgr *p_timer_mgr;  // CLIENTs need one for the connect retry
    uint8_t no_register;
    // The application's own header replaces msgq_hdr_t: it lies in front of
    // the payload like msgq_hdr_t does, the application fills it, nothing
    // is stamped and no register message is sent.
    uint8_t app_hdr;
    uint8_t app_hdr_len;             // 1..64
    uint8_t app_hdr_size_offset;     // offset of its big-endian 16-bit whole-message size
    uint8_t blocking;                // CLIENTs only
    int facility;                    // syslog facility of the transport's lines
    uint8_t sock_type;               // MSGQ_SOCK_UNIX or MSGQ_SOCK_INET
    uint16_t port;                   // MSGQ_SOCK_INET
    char ip_addr[MSGQ_IP_ADDR_LEN];  // MSGQ_SOCK_INET, dotted text
    char path[MSGQ_PATH_LEN];        // optional socket path (MSGQ_SOCK_UNIX)
};

// Unix-domain parameters with only the loop, the timer manager and the facility set.
msgq_params_t msgq_unix_params(event_base *evbase, timer_mgr *p_timer_mgr, int facility);

struct msgq_handle;
using msgq_handle_t = msgq_handle;

using msgq_state_cb = void (*)(msgq_handle_t *h, void *user_arg);
using msgq_read_cb = void (*)(msgq_handle_t *h, void *payload, uint32_t len, void *user_arg);
using msgq_alloc_cb = void *(*)(size_t size);
using msgq_free_cb = void (*)(void *ptr);

// Callbacks, in the order msgq_init takes them. read and aux must be given;
// aux is never called by the transport. Without alloc/free, calloc/free.
struct msgq_cbs_t {
    msgq_state_cb up;
    msgq_state_cb down;
    msgq_state_cb aux;
    msgq_read_cb read;
    msgq_alloc_cb alloc;
    msgq_free_cb free;
};

// Counters of a handle, in dump order.
struct msgq_stats_t {
    uint32_t tx_msg;
    uint32_t tx_fail;
    uint32_t rx_msg;
    uint32_t rx_fail;
    uint32_t tx_resched;
    uint32_t tx_write_cb;
    uint32_t rx_register;
    uint32_t tx_register;
    uint32_t conn_up;
    uint32_t conn_down;
    uint32_t conn_close;
    uint32_t conn_exist;
    uint32_t msg_allocs;
    uint32_t msg_frees;
    uint32_t alloc_failed;
    uint32_t tx_queued;
    uint32_t tx_dequeued;
    uint32_t tx_queue_failed;
    uint32_t rx_read_helper_cb;
    uint32_t rx_read_helper_scheduled;
};

struct msgq_inst_t;
struct msgq_server_t;

struct msgq_txq_entry_t {
    msgq_txq_entry_t *p_next;
    uint16_t sent;  // bytes already on the wire
    uint16_t total;
    uint8_t *p_buf;  // whole message, header included
};

struct msgq_handle {
    uint8_t own_id;
    uint8_t tgt_id;
    msgq_role role;
    msgq_inst_t *p_inst;
    msgq_server_t *p_server;  // SERVER handles
    int fd;                   // -1 when not connected
    dll_node_t link;          // in one of the instance's lists
    timer_obj *p_conn_timer;  // CLIENT connect retry, "msgq-timer"
    msgq_cbs_t cbs;
    uint8_t flags;  // MSGQ_F_*
    uint8_t app_hdr_size_offset;
    uint8_t app_hdr_len;
    event *p_rd_ev;
    // receive state
    uint32_t hdr_got;
    uint8_t hdr[MSGQ_APP_HDR_MAX];
    uint32_t rx_got;
    uint32_t rx_size;
    uint8_t *p_rx_buf;
    // two write events used in turn
    event *p_wr_ev[2];
    uint8_t wr_armed[2];
    uint8_t wr_idx;
    // two read-helper events used in turn
    event *p_rdh_ev[2];
    uint8_t rdh_scheduled[2];
    uint8_t rdh_idx;
    void *user_arg;
    uint8_t sock_type;
    uint16_t port;
    char ip_addr[MSGQ_IP_ADDR_LEN];
    msgq_txq_entry_t *p_txq_head;
    msgq_txq_entry_t *p_txq_tail;
    char path[MSGQ_PATH_LEN];
    msgq_stats_t stats;
    // A temporary handle is closed when no register message came by then (monotonic ms).
    uint64_t reg_deadline_ms;
    // A callback of this handle is running: msgq_close defers the free to its end.
    uint8_t cb_depth;
    uint8_t closed;
};

// A new handle, or null: identifiers outside 1..160 or no memory. Invalid
// parameters, an unsupported socket family and a duplicate handle are fatal.
msgq_handle_t *msgq_init(uint32_t own_id, uint32_t tgt_id, msgq_role role, const msgq_params_t *params,
                         const msgq_cbs_t *cbs, void *user_arg);
// Closes the connection (no reconnect), the retry timer and the server
// record's reference, frees the handle; frees the instance with its last handle.
void msgq_close(msgq_handle_t *h);
// Closes every handle and frees the instance.
void msgq_close_all();

// Payload pointer of a new message of `size` payload bytes, header stamped;
// null when size exceeds MSGQ_MAX_PAYLOAD or memory runs out.
void *msgq_alloc_msg(msgq_handle_t *h, uint32_t size);
void msgq_free_msg(msgq_handle_t *h, void *payload);

// 0: sent or queued, the transport owns the buffer. MSGQ_ERR_BAD_BUF: no
// handle or buffer; MSGQ_ERR_DOWN: not connected; MSGQ_ERR_AGAIN: could not
// queue or send. On every nonzero result the caller still owns the buffer.
int msgq_write(msgq_handle_t *h, void *payload, uint32_t len);

bool msgq_is_connected(const msgq_handle_t *h);
void msgq_set_user_arg(msgq_handle_t *h, void *user_arg);
void msgq_set_blocking(msgq_handle_t *h, bool blocking);
bool msgq_get_blocking(const msgq_handle_t *h);

// "[MSG]" lines, process-wide; "[MSG-ERR]" lines are always written.
void msgq_set_debug(bool on);
bool msgq_get_debug();

// The instance and every handle with its counters.
void msgq_dump_all(FILE *out);

// The live transport instance, null when no handle exists.
const msgq_inst_t *msgq_instance();
// Number of handles in the registered, unregistered and temporary lists.
void msgq_list_counts(int *reg, int *unreg, int *tmp);

// Directory of default socket paths ("/var/run"). Only tests and the peer
// stand-ins change it; null restores the default.
void msgq_set_sock_dir(const char *dir);
