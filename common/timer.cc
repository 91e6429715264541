#include "common/timer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int64_t NSEC_PER_SEC = 1000000000;
constexpr int64_t NSEC_PER_MSEC = 1000000;
// Extra time a run may take beyond its budget before it yields.
constexpr uint64_t BUDGET_SLACK_MS = 50;
// A single callback slower than this is worth a log line.
constexpr uint64_t SLOW_TIMER_MS = 5000;

bool g_debug = false;

void monotonic_now(struct timespec *now) { clock_gettime(CLOCK_MONOTONIC, now); }

timer_clock_fn g_clock = monotonic_now;

constexpr const char *type_name(uint8_t type) { return type == TIMER_TYPE_CYCLIC ? "cyclic" : "one-shot"; }

constexpr const char *state_name(uint8_t state)
{
    switch (state) {
    case TIMER_STATE_DISABLED:
        return "Disabled";
    case TIMER_STATE_ENABLED:
        return "Enabled";
    default:
        return "Deleted";
    }
}

constexpr const char *pri_name(uint8_t pri) { return pri == TIMER_PRI_HIGH ? "high" : "normal"; }

// Whole milliseconds from `from` to `to`; 0 if `to` is earlier.
uint64_t ms_between(const struct timespec &from, const struct timespec &to)
{
    const int64_t ns = (to.tv_sec - from.tv_sec) * NSEC_PER_SEC + (to.tv_nsec - from.tv_nsec);
    return ns > 0 ? static_cast<uint64_t>(ns / NSEC_PER_MSEC) : 0;
}

// Records come from the manager's allocator, zeroed.
template <class T>
T *zalloc(timer_alloc_fn alloc_fn)
{
    auto *p = static_cast<T *>(alloc_fn(sizeof(T)));
    if (p)
        memset(p, 0, sizeof(T));
    return p;
}

timer_obj *bucket_timer(dll_node_t *node) { return node ? DLL_ENTRY(node, timer_obj, bucket_link) : nullptr; }

// Moves the tick count forward by the whole ticks elapsed since the base time; the
// remainder stays behind the base time for the next advance.
void advance_clock(timer_mgr *p_mgr)
{
    struct timespec now;
    g_clock(&now);
    const uint64_t n = timer_ms_to_ticks(p_mgr->res, ms_between(p_mgr->base_time, now), false);
    if (n == 0)
        return;
    p_mgr->cur_ticks += n;
    const int64_t ns = static_cast<int64_t>(timer_ticks_to_ms(p_mgr->res, n)) * NSEC_PER_MSEC;
    p_mgr->base_time.tv_sec += ns / NSEC_PER_SEC;
    p_mgr->base_time.tv_nsec += ns % NSEC_PER_SEC;
    if (p_mgr->base_time.tv_nsec >= NSEC_PER_SEC) {
        p_mgr->base_time.tv_sec++;
        p_mgr->base_time.tv_nsec -= NSEC_PER_SEC;
    }
}

void bucket_append(timer_mgr *p_mgr, timer_obj *p_timer)
{
    timer_wheel *p_wheel = p_mgr->wheel[p_timer->pri];
    p_timer->bucket = static_cast<uint16_t>(p_timer->expire_ticks & TIMER_BUCKET_MASK);
    dll_insert_tail(&p_wheel->buckets[p_timer->bucket], &p_timer->bucket_link);
}

void bucket_unlink(timer_mgr *p_mgr, timer_obj *p_timer)
{
    dll_remove(&p_mgr->wheel[p_timer->pri]->buckets[p_timer->bucket], &p_timer->bucket_link);
    p_timer->bucket = TIMER_BUCKET_NULL;
}

void set_interval(timer_obj *p_timer, uint32_t interval_ms)
{
    p_timer->interval_ticks = static_cast<uint32_t>(timer_ms_to_ticks(p_timer->p_mgr->res, interval_ms, true));
}

// State of one timer_exec_pri run, shared by the wheels it serves.
struct exec_run {
    struct timespec start;
    struct timespec last_check;
    uint32_t budget_ms;
    bool over_budget;
    char last_name[32];
};

// Before each timer of a bucket walk: past budget + slack the run stops after the current bucket.
void check_budget(exec_run &run)
{
    struct timespec now;
    g_clock(&now);
    if (ms_between(run.start, now) > run.budget_ms + BUDGET_SLACK_MS) {
        const uint64_t took = ms_between(run.last_check, now);
        if (took > SLOW_TIMER_MS)
            ZEL_LOG("%s timer took %u msecs!", run.last_name, static_cast<unsigned>(took));
        run.over_budget = true;
    }
    run.last_check = now;
}

void walk_bucket(timer_mgr *p_mgr, timer_wheel *p_wheel, exec_run &run)
{
    const uint64_t next = p_wheel->next_bucket_ticks;
    dll_head_t *p_bucket = &p_wheel->buckets[next & TIMER_BUCKET_MASK];

    timer_obj *p_timer;
    while ((p_timer = bucket_timer(dll_first(p_bucket))) != nullptr && !p_timer->walked) {
        check_budget(run);
        bucket_unlink(p_mgr, p_timer);

        if (p_timer->expire_ticks != next) {
            if (p_timer->expire_ticks < next) {
                ZEL_LOG("timer %s (%p) stale by %d ticks", p_timer->name, static_cast<void *>(p_timer),
                        static_cast<int>(next - p_timer->expire_ticks));
                ZEL_ASSERT_AT("timer", 538, p_timer->expire_ticks > p_wheel->next_bucket_ticks);
            }
            // Due on a later turn of the wheel.
            bucket_append(p_mgr, p_timer);
            p_timer->walked = 1;
            if (g_debug)
                ZEL_LOG("p_timer %p %s needs to be skipped. cur_bucket %x expire_ticks %lx cur_ticks %lx walked %d\n",
                        static_cast<void *>(p_timer), p_timer->name, static_cast<unsigned>(next & TIMER_BUCKET_MASK),
                        p_timer->expire_ticks, p_mgr->cur_ticks, p_timer->walked);
            continue;
        }

        p_mgr->nactive--;
        p_mgr->nfired++;
        if (p_timer->type == TIMER_TYPE_CYCLIC) {
            p_timer->expire_ticks = next + p_timer->interval_ticks;
            bucket_append(p_mgr, p_timer);
            p_mgr->nactive++;
        } else {
            p_timer->state = TIMER_STATE_DISABLED;
        }
        if (g_debug)
            ZEL_LOG("exec timer %s (%p) cur_bucket %#x next_bucket %#x", p_timer->name, static_cast<void *>(p_timer),
                    static_cast<unsigned>(next & TIMER_BUCKET_MASK),
                    static_cast<unsigned>((next + 1) & TIMER_BUCKET_MASK));
        static_assert(sizeof run.last_name >= sizeof p_timer->name);
        memcpy(run.last_name, p_timer->name, sizeof p_timer->name);
        // The callback may delete p_timer: it is not touched afterwards.
        p_timer->cb(p_timer, p_timer->args[0], p_timer->args[1], p_timer->args[2], p_timer->args[3]);
    }

    for (dll_node_t *node = dll_first(p_bucket); node; node = dll_next(node)) {
        p_timer = bucket_timer(node);
        p_timer->walked = 0;
        if (g_debug)
            ZEL_LOG("timer %s %p walked = 0 bucket %x", p_timer->name, static_cast<void *>(p_timer),
                    static_cast<unsigned>(next & TIMER_BUCKET_MASK));
    }
    for (dll_node_t *node = dll_first(p_bucket); node; node = dll_next(node)) {
        p_timer = bucket_timer(node);
        ZEL_ASSERT_AT("timer", 657, p_timer->walked == 0);
    }
}

int serve_wheel(timer_mgr *p_mgr, timer_wheel *p_wheel, exec_run &run)
{
    while (p_wheel->next_bucket_ticks <= p_mgr->cur_ticks) {
        if (run.over_budget)
            return TIMER_EXEC_MORE;
        walk_bucket(p_mgr, p_wheel, run);
        p_wheel->next_bucket_ticks++;
    }
    return 0;
}

void dump_wheel_window(const timer_wheel *p_wheel, uint32_t window)
{
    // Half the wheel on each side already covers every bucket once.
    const uint64_t w = window < TIMER_NUM_BUCKETS / 2 ? window : TIMER_NUM_BUCKETS / 2;
    for (uint64_t t = p_wheel->next_bucket_ticks - w; t != p_wheel->next_bucket_ticks + w; t++) {
        const dll_head_t *p_bucket = &p_wheel->buckets[t & TIMER_BUCKET_MASK];
        for (dll_node_t *node = dll_first(p_bucket); node; node = dll_next(node))
            timer_dump(bucket_timer(node));
    }
}

}  // namespace

const char *timer_res_name(uint32_t res) { return res <= TIMER_RES_MAX ? timer_res_names[res] : "?"; }

void timer_set_clock(timer_clock_fn fn) { g_clock = fn ? fn : monotonic_now; }

void timer_clock_now(struct timespec *now) { g_clock(now); }

uint64_t timer_clock_ms(void)
{
    struct timespec now;
    g_clock(&now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / NSEC_PER_MSEC);
}

uint32_t timer_ms_to_next_boundary(uint32_t period_ms)
{
    ZEL_ASSERT(period_ms != 0);
    return period_ms - static_cast<uint32_t>(timer_clock_ms() % period_ms);
}

timer_mgr *timer_mgr_create(uint32_t res, timer_alloc_fn alloc_fn, timer_free_fn free_fn, void *user_arg,
                            uint32_t pri_mask)
{
    timer_ms_to_ticks(res, 0, false);  // fatal for an unknown resolution
    if (!alloc_fn || !free_fn) {
        alloc_fn = malloc;
        free_fn = free;
    }
    auto *p_mgr = zalloc<timer_mgr>(alloc_fn);
    if (!p_mgr)
        return nullptr;
    p_mgr->res = res;
    p_mgr->alloc_fn = alloc_fn;
    p_mgr->free_fn = free_fn;
    p_mgr->user_arg = user_arg;
    dll_init(&p_mgr->timers);
    for (uint32_t pri = 0; pri < TIMER_NUM_PRI; pri++) {
        if (!(pri_mask & (1u << pri)))
            continue;
        auto *p_wheel = zalloc<timer_wheel>(alloc_fn);
        if (!p_wheel) {
            for (timer_wheel *w : p_mgr->wheel)
                if (w)
                    free_fn(w);
            free_fn(p_mgr);
            return nullptr;
        }
        p_mgr->wheel[pri] = p_wheel;
    }
    g_clock(&p_mgr->base_time);
    return p_mgr;
}

void timer_mgr_destroy(timer_mgr *p_mgr)
{
    if (!p_mgr)
        return;
    if (p_mgr->ncreated != p_mgr->ndeleted || p_mgr->nactive != 0) {
        timer_mgr_dump(p_mgr, 1024);
        ZEL_ASSERT_AT("timer", 232, p_mgr->ncreated == p_mgr->ndeleted && p_mgr->nactive == 0);
    }
    timer_free_fn free_fn = p_mgr->free_fn;
    for (timer_wheel *p_wheel : p_mgr->wheel)
        if (p_wheel)
            free_fn(p_wheel);
    free_fn(p_mgr);
}

void *timer_mgr_user_arg(const timer_mgr *p_mgr) { return p_mgr->user_arg; }

uint32_t timer_get_tick(const timer_mgr *p_mgr, struct timeval *tv)
{
    if (tv) {
        const uint64_t ms = timer_ticks_to_ms(p_mgr->res, 1);
        tv->tv_sec = static_cast<time_t>(ms / 1000);
        tv->tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    }
    return p_mgr->res;
}

int timer_exec_pri(timer_mgr *p_mgr, uint32_t pri_mask, uint32_t budget_ms)
{
    advance_clock(p_mgr);
    exec_run run{};
    g_clock(&run.start);
    run.last_check = run.start;
    run.budget_ms = budget_ms;
    for (int pri = TIMER_NUM_PRI - 1; pri >= 0; pri--) {
        timer_wheel *p_wheel = p_mgr->wheel[pri];
        const uint32_t bit = 1u << pri;
        // A nested run (zel_timer_kick from a callback) must not walk the bucket its caller is walking.
        if (!(pri_mask & bit) || !p_wheel || (p_mgr->serving & bit))
            continue;
        p_mgr->serving |= bit;
        int rc = serve_wheel(p_mgr, p_wheel, run);
        p_mgr->serving &= ~bit;
        if (rc != 0)
            return rc;
    }
    return 0;
}

timer_obj *timer_util_create(timer_mgr *p_mgr, uint8_t pri, uint8_t type, uint32_t interval_ms, timer_cb_fn cb,
                             void *arg1, void *arg2, void *arg3, void *arg4, const char *name)
{
    uint8_t actual = pri < TIMER_NUM_PRI ? pri : TIMER_PRI_HIGH;
    while (actual > 0 && !p_mgr->wheel[actual])
        actual--;
    if (!p_mgr->wheel[actual])
        return nullptr;

    auto *p_timer = zalloc<timer_obj>(p_mgr->alloc_fn);
    if (!p_timer)
        return nullptr;
    p_timer->p_mgr = p_mgr;
    p_timer->pri = actual;
    p_timer->type = type;
    p_timer->state = TIMER_STATE_DISABLED;
    p_timer->bucket = TIMER_BUCKET_NULL;
    snprintf(p_timer->name, sizeof p_timer->name, "%s", name ? name : "");
    set_interval(p_timer, interval_ms);
    p_timer->cb = cb;
    p_timer->args[0] = arg1;
    p_timer->args[1] = arg2;
    p_timer->args[2] = arg3;
    p_timer->args[3] = arg4;

    p_mgr->ncreated++;
    dll_insert_tail(&p_mgr->timers, &p_timer->mgr_link);
    if (g_debug)
        ZEL_LOG("name %s, priority %d (actual %d), type %d, interval %u msecs (%u ticks)", p_timer->name, pri, actual,
                type, interval_ms, p_timer->interval_ticks);
    return p_timer;
}

int timer_util_delete(timer_obj *p_timer)
{
    if (!p_timer)
        return 22;
    timer_mgr *p_mgr = p_timer->p_mgr;
    if (g_debug)
        ZEL_LOG("name %s, priority %d, type %d, interval %u msecs (%u ticks)", p_timer->name, p_timer->pri,
                p_timer->type, static_cast<unsigned>(timer_ticks_to_ms(p_mgr->res, p_timer->interval_ticks)),
                p_timer->interval_ticks);
    timer_disable(p_timer);
    dll_remove(&p_mgr->timers, &p_timer->mgr_link);
    p_timer->state = TIMER_STATE_DELETED;
    p_mgr->free_fn(p_timer);
    p_mgr->ndeleted++;
    return 0;
}

int timer_enable(timer_obj *p_timer)
{
    if (!p_timer)
        return 22;
    if (p_timer->state == TIMER_STATE_ENABLED)
        return 0;
    ZEL_ASSERT_AT("timer", 334, p_timer->bucket == TIMER_BUCKET_NULL);

    timer_mgr *p_mgr = p_timer->p_mgr;
    timer_wheel *p_wheel = p_mgr->wheel[p_timer->pri];
    advance_clock(p_mgr);
    if (p_timer->interval_ticks == 0)
        p_timer->interval_ticks = 1;
    p_timer->expire_ticks = p_mgr->cur_ticks + p_timer->interval_ticks;
    // A wheel behind the clock has not served those ticks yet; never land in or before
    // the bucket it serves next.
    if (p_timer->expire_ticks < p_wheel->next_bucket_ticks)
        p_timer->expire_ticks = p_wheel->next_bucket_ticks + 1;
    bucket_append(p_mgr, p_timer);
    p_timer->state = TIMER_STATE_ENABLED;
    p_timer->walked = 0;
    p_mgr->nactive++;
    if (g_debug) {
        ZEL_LOG("p_timer %p %s cur_ticks %#lx next_bucket_ticks %#lx expire_ticks: %#lx", static_cast<void *>(p_timer),
                p_timer->name, p_mgr->cur_ticks, p_wheel->next_bucket_ticks, p_timer->expire_ticks);
        timer_dump(p_timer);
    }
    return 0;
}

int timer_disable(timer_obj *p_timer)
{
    if (!p_timer)
        return 22;
    if (p_timer->state != TIMER_STATE_ENABLED)
        return 0;
    p_timer->state = TIMER_STATE_DISABLED;
    if (p_timer->bucket != TIMER_BUCKET_NULL) {
        timer_mgr *p_mgr = p_timer->p_mgr;
        bucket_unlink(p_mgr, p_timer);
        p_mgr->nactive--;
        if (g_debug) {
            ZEL_LOG("p_timer %p %s cur_ticks %#lx next_bucket_ticks %#lx", static_cast<void *>(p_timer), p_timer->name,
                    p_mgr->cur_ticks, p_mgr->wheel[p_timer->pri]->next_bucket_ticks);
            timer_dump(p_timer);
        }
    }
    return 0;
}

int timer_restart(timer_obj *p_timer, uint32_t interval_ms)
{
    if (!p_timer)
        return 22;
    set_interval(p_timer, interval_ms);
    timer_disable(p_timer);
    return timer_enable(p_timer);
}

int timer_update_interval(timer_obj *p_timer, uint32_t interval_ms)
{
    if (!p_timer)
        return 22;
    set_interval(p_timer, interval_ms);
    if (!timer_is_running(p_timer))
        return 0;
    timer_disable(p_timer);
    return timer_enable(p_timer);
}

int timer_is_running(const timer_obj *p_timer)
{
    return p_timer && p_timer->state == TIMER_STATE_ENABLED && p_timer->bucket != TIMER_BUCKET_NULL;
}

int64_t timer_remaining_ticks(const timer_obj *p_timer)
{
    if (!timer_is_running(p_timer))
        return -1;
    return static_cast<int64_t>(p_timer->expire_ticks - p_timer->p_mgr->cur_ticks);
}

int64_t timer_get_interval_ticks(const timer_obj *p_timer)
{
    return p_timer ? static_cast<int64_t>(p_timer->interval_ticks) : -1;
}

int64_t timer_get_interval_ms(const timer_obj *p_timer)
{
    return p_timer ? static_cast<int64_t>(timer_ticks_to_ms(p_timer->p_mgr->res, p_timer->interval_ticks)) : -1;
}

int timer_get_args(const timer_obj *p_timer, void **arg1, void **arg2, void **arg3, void **arg4)
{
    if (!p_timer)
        return 22;
    void **outs[4] = {arg1, arg2, arg3, arg4};
    for (int i = 0; i < 4; i++)
        if (outs[i])
            *outs[i] = p_timer->args[i];
    return 0;
}

void timer_set_debug(int on) { g_debug = on != 0; }

int timer_get_debug(void) { return g_debug; }

void timer_dump(const timer_obj *p_timer)
{
    ZEL_LOG("[bucket %#x] %p %s %s %s %s %s interval %u expire %#lx (%d) cb %p %p %p %p %p", p_timer->bucket,
            static_cast<const void *>(p_timer), p_timer->name, type_name(p_timer->type), state_name(p_timer->state),
            pri_name(p_timer->pri), p_timer->walked ? "walked" : "", p_timer->interval_ticks, p_timer->expire_ticks,
            static_cast<int>(timer_remaining_ticks(p_timer)), reinterpret_cast<void *>(p_timer->cb), p_timer->args[0],
            p_timer->args[1], p_timer->args[2], p_timer->args[3]);
}

void timer_mgr_dump(const timer_mgr *p_mgr, uint32_t window)
{
    ZEL_LOG("List of Created Timers:");
    for (dll_node_t *node = dll_first(&p_mgr->timers); node; node = dll_next(node))
        timer_dump(DLL_ENTRY(node, timer_obj, mgr_link));

    struct timespec now;
    g_clock(&now);
    const timer_wheel *p_hi = p_mgr->wheel[TIMER_PRI_HIGH];
    const timer_wheel *p_lo = p_mgr->wheel[TIMER_PRI_NORMAL];
    ZEL_LOG("resolution %s cur-time %u.%u actual-time %u.%u cur_ticks %lu next_hi_ticks %lu next_lo_ticks %lu",
            timer_res_name(p_mgr->res), static_cast<unsigned>(p_mgr->base_time.tv_sec),
            static_cast<unsigned>(p_mgr->base_time.tv_nsec), static_cast<unsigned>(now.tv_sec),
            static_cast<unsigned>(now.tv_nsec), p_mgr->cur_ticks, p_hi ? p_hi->next_bucket_ticks : 0,
            p_lo ? p_lo->next_bucket_ticks : 0);
    ZEL_LOG("ncreated %u ndeleted %u nactive %u nfired %u", p_mgr->ncreated, p_mgr->ndeleted, p_mgr->nactive,
            p_mgr->nfired);
    for (int pri = TIMER_NUM_PRI - 1; pri >= 0; pri--)
        if (p_mgr->wheel[pri])
            dump_wheel_window(p_mgr->wheel[pri], window);
}
