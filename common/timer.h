// Timer service: every software timer of the daemon on one base timer event.
//
// A hashed timing wheel of 2048 buckets per priority with a fixed tick per
// manager. The event loop calls timer_exec_pri once per tick; each run
// advances the manager's tick count from the monotonic clock (the remainder
// below one tick carries into the next run) and serves the high wheel, then
// the normal one, within a time budget. Single-threaded: a manager and its
// timers belong to the event-loop thread.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/dll.h"
#include "common/zel_log.h"

// Resolution indexes.
inline constexpr uint32_t TIMER_RES_10MS = 0;
inline constexpr uint32_t TIMER_RES_50MS = 1;
inline constexpr uint32_t TIMER_RES_100MS = 2;
inline constexpr uint32_t TIMER_RES_500MS = 3;
inline constexpr uint32_t TIMER_RES_1SEC = 4;
inline constexpr uint32_t TIMER_RES_1MIN = 5;
inline constexpr uint32_t TIMER_RES_MAX = TIMER_RES_1MIN;

// Priorities and the mask bits that select their wheels.
inline constexpr uint8_t TIMER_PRI_NORMAL = 0;
inline constexpr uint8_t TIMER_PRI_HIGH = 1;
inline constexpr uint32_t TIMER_NUM_PRI = 2;
inline constexpr uint32_t TIMER_PRI_MASK_NORMAL = 1u << TIMER_PRI_NORMAL;
inline constexpr uint32_t TIMER_PRI_MASK_HIGH = 1u << TIMER_PRI_HIGH;
inline constexpr uint32_t TIMER_PRI_MASK_ALL = TIMER_PRI_MASK_NORMAL | TIMER_PRI_MASK_HIGH;

inline constexpr uint8_t TIMER_TYPE_ONESHOT = 0;
inline constexpr uint8_t TIMER_TYPE_CYCLIC = 1;

inline constexpr uint8_t TIMER_STATE_DISABLED = 0;
inline constexpr uint8_t TIMER_STATE_ENABLED = 1;
inline constexpr uint8_t TIMER_STATE_DELETED = 2;

inline constexpr uint32_t TIMER_NUM_BUCKETS = 2048;
inline constexpr uint32_t TIMER_BUCKET_MASK = TIMER_NUM_BUCKETS - 1;
inline constexpr uint16_t TIMER_BUCKET_NULL = 65535;
inline constexpr size_t TIMER_NAME_LEN = 16;

// Result of timer_exec_pri when the budget ran out with timers still due.
inline constexpr int TIMER_EXEC_MORE = 11;

struct timer_obj;
struct timer_mgr;

using timer_alloc_fn = void *(*)(size_t size);
using timer_free_fn = void (*)(void *ptr);
using timer_cb_fn = void (*)(timer_obj *p_timer, void *arg1, void *arg2, void *arg3, void *arg4);
// Monotonic clock source; tests install their own.
using timer_clock_fn = void (*)(struct timespec *now);

struct timer_wheel {
    uint64_t next_bucket_ticks;  // the tick this wheel serves next
    dll_head_t buckets[TIMER_NUM_BUCKETS];
};

struct timer_mgr {
    uint32_t res;
    timer_alloc_fn alloc_fn;
    timer_free_fn free_fn;
    void *user_arg;
    struct timespec base_time;  // monotonic time of cur_ticks
    uint64_t cur_ticks;
    timer_wheel *wheel[TIMER_NUM_PRI];  // by priority; null when not in the creation mask
    dll_head_t timers;                  // every created timer
    uint32_t ncreated;
    uint32_t ndeleted;
    uint32_t nactive;  // timers sitting in a bucket
    uint32_t nfired;
    uint32_t serving;  // priority mask of the wheels a run is walking now
};

struct timer_obj {
    dll_node_t bucket_link;
    dll_node_t mgr_link;
    timer_mgr *p_mgr;
    uint8_t type;
    uint8_t state;
    uint8_t pri;         // priority actually used
    uint8_t walked : 1;  // already looked at in the current bucket walk
    uint8_t : 7;
    uint16_t bucket;  // TIMER_BUCKET_NULL when in no bucket
    uint32_t interval_ticks;
    uint64_t expire_ticks;
    char name[TIMER_NAME_LEN];
    timer_cb_fn cb;
    void *args[4];
};
static_assert(offsetof(timer_obj, mgr_link) == 16);
static_assert(offsetof(timer_obj, p_mgr) == 32);
static_assert(offsetof(timer_obj, type) == 40);
static_assert(offsetof(timer_obj, bucket) == 44);
static_assert(offsetof(timer_obj, interval_ticks) == 48);
static_assert(offsetof(timer_obj, expire_ticks) == 56);
static_assert(offsetof(timer_obj, name) == 64);
static_assert(offsetof(timer_obj, cb) == 80);

// --- Resolution conversions ---------------------------------------------------------------

inline constexpr uint32_t timer_res_tick_ms[TIMER_RES_MAX + 1] = {10, 50, 100, 500, 1000, 60000};
inline constexpr const char *timer_res_names[TIMER_RES_MAX + 1] = {"10ms", "50ms", "100ms", "500ms", "1sec", "1min"};

// Milliseconds to ticks, rounded to the nearest tick when `round` is set, else truncated.
inline uint64_t timer_ms_to_ticks(uint32_t res, uint64_t ms, bool round)
{
    ZEL_ASSERT_AT("timer.h", 97, res <= TIMER_RES_MAX);
    const uint32_t tick = timer_res_tick_ms[res];
    return (ms + (round ? tick / 2 : 0)) / tick;
}

inline uint64_t timer_ticks_to_ms(uint32_t res, uint64_t ticks)
{
    ZEL_ASSERT_AT("timer.h", 134, res <= TIMER_RES_MAX);
    return ticks * timer_res_tick_ms[res];
}

// "10ms" ... "1min", or "?" for an index out of range.
const char *timer_res_name(uint32_t res);

// --- Clock ----------------------------------------------------------------------------------

// Installs the monotonic clock source; null restores clock_gettime(CLOCK_MONOTONIC).
void timer_set_clock(timer_clock_fn fn);
// Reads the installed monotonic clock.
void timer_clock_now(struct timespec *now);
// The installed monotonic clock in whole milliseconds.
uint64_t timer_clock_ms(void);

// Period minus (monotonic milliseconds modulo period); a period of 0 is fatal.
uint32_t timer_ms_to_next_boundary(uint32_t period_ms);

// --- Manager ------------------------------------------------------------------------------

// A manager of `res` ticks with one wheel per set bit of `pri_mask` (TIMER_PRI_MASK_*). Both
// functions or neither: when one is null, malloc and free are used. Null on allocation
// failure. An index above TIMER_RES_MAX is fatal.
timer_mgr *timer_mgr_create(uint32_t res, timer_alloc_fn alloc_fn, timer_free_fn free_fn, void *user_arg,
                            uint32_t pri_mask);
// Every timer must have been deleted first (fatal otherwise, after a dump).
void timer_mgr_destroy(timer_mgr *p_mgr);
void *timer_mgr_user_arg(const timer_mgr *p_mgr);

// Returns the resolution index; fills `tv` (if given) with one tick.
uint32_t timer_get_tick(const timer_mgr *p_mgr, struct timeval *tv);

// Runs due timers of the wheels in `pri_mask`, high first. 0 when every due timer ran,
// TIMER_EXEC_MORE (11) when more than budget_ms + 50 ms went by with timers still due.
// A call from inside a timer callback leaves the wheel that callback runs from alone.
int timer_exec_pri(timer_mgr *p_mgr, uint32_t pri_mask, uint32_t budget_ms);

// --- Timers -------------------------------------------------------------------------------

// A disabled timer. The priority falls back to a lower wheel when the requested one is
// missing; null when no wheel can take it or allocation fails. The name is cut to 15
// characters; the interval is rounded to the nearest tick (0 ticks run after one tick).
timer_obj *timer_util_create(timer_mgr *p_mgr, uint8_t pri, uint8_t type, uint32_t interval_ms, timer_cb_fn cb,
                             void *arg1, void *arg2, void *arg3, void *arg4, const char *name);
// Disables, unlinks and frees the timer. Safe from the timer's own callback.
int timer_util_delete(timer_obj *p_timer);

// Puts a disabled timer on its wheel, one interval from now; no effect when enabled.
int timer_enable(timer_obj *p_timer);
// Takes an enabled timer off its wheel; no effect otherwise.
int timer_disable(timer_obj *p_timer);
// New interval, then disable and enable: starts an idle timer too.
int timer_restart(timer_obj *p_timer, uint32_t interval_ms);
// New interval; restarts the timer only when it is running.
int timer_update_interval(timer_obj *p_timer, uint32_t interval_ms);

// 1 when enabled and in a bucket, else 0.
int timer_is_running(const timer_obj *p_timer);
// Expiry tick minus current tick, or -1 when not running.
int64_t timer_remaining_ticks(const timer_obj *p_timer);
// The interval, or -1 for no timer.
int64_t timer_get_interval_ticks(const timer_obj *p_timer);
int64_t timer_get_interval_ms(const timer_obj *p_timer);
// Fills each given slot with the matching callback argument; 22 for no timer.
int timer_get_args(const timer_obj *p_timer, void **arg1, void **arg2, void **arg3, void **arg4);

// --- Diagnostics --------------------------------------------------------------------------

// Verbose timer logging, process-wide.
void timer_set_debug(int on);
int timer_get_debug(void);
// One log line for the timer.
void timer_dump(const timer_obj *p_timer);
// Every created timer, the clock and counters, then every timer in buckets
// next_bucket - window .. next_bucket + window - 1 of each wheel.
void timer_mgr_dump(const timer_mgr *p_mgr, uint32_t window);
