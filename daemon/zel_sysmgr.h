// System-manager link: a hello every second to the system manager (identifier 7).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/msgq_util.h"
#include "daemon/zel.h"

inline constexpr uint8_t SYSMGR_MSG_VERSION = 1;
inline constexpr uint8_t SYSMGR_MSG_HELLO = 1;
inline constexpr uint8_t SYSMGR_MSG_TYPE4 = 4;
inline constexpr uint16_t SYSMGR_MSG_LEN = 32;
inline constexpr uint32_t SYSMGR_HELLO_MS = 1000;

// Every message on the link is 32 bytes; a hello fills only these fields.
struct sysmgr_msg_t {
    uint8_t version;
    uint8_t type;
    uint16_t length;
    uint32_t rsvd0;
    uint32_t pid;
    uint8_t rsvd1[12];
    uint64_t value;  // types 5 and 6
};
static_assert(sizeof(sysmgr_msg_t) == SYSMGR_MSG_LEN);
static_assert(offsetof(sysmgr_msg_t, length) == 2);
static_assert(offsetof(sysmgr_msg_t, pid) == 8);
static_assert(offsetof(sysmgr_msg_t, value) == 24);

struct sysmgr_link;
using sysmgr_type4_cb = void (*)(sysmgr_link *link, const void *msg, uint32_t len, void *user_arg);

struct sysmgr_link {
    msgq_handle_t *p_msgq;
    timer_obj *p_hello_timer;  // "sysmgr-hello"
    pid_t pid;
    void *user_arg;
    sysmgr_type4_cb type4_cb;
    time_t last_hello;  // wall-clock time of the last hello sent
};

// The link (CLIENT of identifier 7), or null. `unused` is not looked at.
sysmgr_link *app_sysmgr_connect(event_base *base, timer_mgr *p_tmr, void *unused, uint32_t own_id, void *user_arg,
                                sysmgr_type4_cb type4_cb);
// Closes the message queue, deletes the hello timer and frees the link.
void app_sysmgr_disconnect(sysmgr_link *link);

// Start-up stage: the daemon's link; -10 when it cannot be made.
int zel_sysmgr_init(zel_ctx *ctx);
void zel_sysmgr_deinit(zel_ctx *ctx);
