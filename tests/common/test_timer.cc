#include "common/timer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

// The monotonic clock the tests drive by hand.
struct timespec g_now;

void fake_clock(struct timespec *now) { *now = g_now; }

void advance_ms(uint64_t ms)
{
    const uint64_t ns = static_cast<uint64_t>(g_now.tv_nsec) + ms * 1000000;
    g_now.tv_sec += static_cast<time_t>(ns / 1000000000);
    g_now.tv_nsec = static_cast<long>(ns % 1000000000);
}

// What the callbacks saw: per firing, the timer's name and the manager's tick.
struct Fired {
    std::string name;
    uint64_t tick;
};
using FireLog = std::vector<Fired>;

void record_cb(timer_obj *p_timer, void *log, void *, void *, void *)
{
    static_cast<FireLog *>(log)->push_back({p_timer->name, p_timer->p_mgr->cur_ticks});
}

class Timer : public testing::Test
{
protected:
    void SetUp() override
    {
        g_now = {100, 0};
        timer_set_clock(fake_clock);
        mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_NE(mgr, nullptr);
    }
    void TearDown() override
    {
        timer_set_debug(0);
        zel_debug_flags = 0;
        for (timer_obj *t : owned)
            timer_util_delete(t);
        if (mgr) {
            EXPECT_EQ(mgr->nactive, 0u);
            timer_mgr_destroy(mgr);
        }
        timer_set_clock(nullptr);
    }

    timer_obj *make(const char *name, uint32_t ms, uint8_t type = TIMER_TYPE_ONESHOT, uint8_t pri = TIMER_PRI_NORMAL,
                    timer_cb_fn cb = record_cb, void *arg2 = nullptr)
    {
        timer_obj *t = timer_util_create(mgr, pri, type, ms, cb, &fired, arg2, nullptr, nullptr, name);
        EXPECT_NE(t, nullptr);
        owned.push_back(t);
        return t;
    }

    // One base-timer event per tick, as the daemon's loop runs it.
    void run_ticks(int n)
    {
        for (int i = 0; i < n; i++) {
            advance_ms(10);
            ASSERT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
        }
    }

    timer_mgr *mgr = nullptr;
    std::vector<timer_obj *> owned;
    FireLog fired;
};

std::vector<uint64_t> ticks_of(const FireLog &log, const std::string &name)
{
    std::vector<uint64_t> out;
    for (const Fired &f : log)
        if (f.name == name)
            out.push_back(f.tick);
    return out;
}

TEST(TimerConversions, RoundingAndResolutions)
{
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_10MS, 4, true), 0u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_10MS, 5, true), 1u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_10MS, 14, true), 1u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_10MS, 15, true), 2u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_10MS, 19, false), 1u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_1MIN, 29999, true), 0u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_1MIN, 30000, true), 1u);
    EXPECT_EQ(timer_ms_to_ticks(TIMER_RES_500MS, 1249, true), 2u);
    EXPECT_EQ(timer_ticks_to_ms(TIMER_RES_50MS, 3), 150u);
    EXPECT_EQ(timer_ticks_to_ms(TIMER_RES_1SEC, 2), 2000u);

    struct {
        uint32_t res;
        time_t sec;
        suseconds_t usec;
    } const cases[] = {{TIMER_RES_10MS, 0, 10000}, {TIMER_RES_500MS, 0, 500000}, {TIMER_RES_1MIN, 60, 0}};
    for (const auto &c : cases) {
        timer_mgr *m = timer_mgr_create(c.res, nullptr, nullptr, nullptr, TIMER_PRI_MASK_NORMAL);
        struct timeval tv {
        };
        EXPECT_EQ(timer_get_tick(m, &tv), c.res);
        EXPECT_EQ(tv.tv_sec, c.sec);
        EXPECT_EQ(tv.tv_usec, c.usec);
        timer_mgr_destroy(m);
    }
}

TEST(TimerConversionsDeathTest, UnknownResolutionIsFatal)
{
    EXPECT_DEATH(timer_ms_to_ticks(6, 10, true), "^timer:97: failed assertion `res <= TIMER_RES_MAX'");
    EXPECT_DEATH(timer_ticks_to_ms(6, 1), "^timer:134: failed assertion `res <= TIMER_RES_MAX'");
    EXPECT_DEATH(timer_mgr_create(6, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL), "timer:97: failed assertion");
}

TEST_F(Timer, ShortIntervalsRunAfterOneTick)
{
    timer_obj *t0 = make("zero", 0);
    timer_obj *t4 = make("four", 4);
    timer_obj *t5 = make("five", 5);
    EXPECT_EQ(timer_get_interval_ticks(t4), 0);
    EXPECT_EQ(timer_get_interval_ticks(t5), 1);
    for (timer_obj *t : {t0, t4, t5})
        timer_enable(t);
    EXPECT_EQ(timer_get_interval_ticks(t0), 1);
    EXPECT_EQ(timer_remaining_ticks(t4), 1);

    advance_ms(9);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_TRUE(fired.empty());
    advance_ms(1);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    ASSERT_EQ(fired.size(), 3u);
    for (const Fired &f : fired)
        EXPECT_EQ(f.tick, 1u) << f.name;
    for (timer_obj *t : {t0, t4, t5}) {
        EXPECT_EQ(t->state, TIMER_STATE_DISABLED);
        EXPECT_FALSE(timer_is_running(t));
        EXPECT_EQ(timer_remaining_ticks(t), -1);
    }
    EXPECT_EQ(mgr->nfired, 3u);
    EXPECT_EQ(mgr->nactive, 0u);
}

TEST_F(Timer, LongTimersAreSkippedUntilTheirLap)
{
    timer_obj *lap = make("lap", 2048 * 10);
    timer_obj *three = make("three-laps", 5000 * 10);
    timer_obj *short_one = make("short", 10);
    timer_enable(lap);
    timer_enable(three);
    timer_enable(short_one);
    // "lap" shares its bucket with the tick-0 bucket; "three-laps" is revisited on every turn.
    EXPECT_EQ(lap->bucket, 0);
    EXPECT_EQ(three->bucket, 5000 % 2048);

    run_ticks(5000);
    EXPECT_EQ(ticks_of(fired, "short"), std::vector<uint64_t>{1});
    EXPECT_EQ(ticks_of(fired, "lap"), std::vector<uint64_t>{2048});
    EXPECT_EQ(ticks_of(fired, "three-laps"), std::vector<uint64_t>{5000});
    EXPECT_EQ(mgr->nactive, 0u);
}

TEST_F(Timer, CyclicTimersKeepTheirPeriodAcrossClockJumps)
{
    timer_obj *c = make("cyclic", 30, TIMER_TYPE_CYCLIC, TIMER_PRI_HIGH);
    timer_enable(c);
    run_ticks(10);
    EXPECT_EQ(ticks_of(fired, "cyclic"), (std::vector<uint64_t>{3, 6, 9}));

    // 95 ms at once: buckets 11..19 are all served in this run, the 5 ms stay for later.
    fired.clear();
    advance_ms(95);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(mgr->cur_ticks, 19u);
    EXPECT_EQ(fired.size(), 3u);  // at 12, 15 and 18
    advance_ms(5);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(mgr->cur_ticks, 20u);
    EXPECT_TRUE(timer_is_running(c));
    EXPECT_EQ(timer_remaining_ticks(c), 1);
}

TEST_F(Timer, SubTickRemaindersAreNotLost)
{
    for (int i = 0; i < 10; i++) {
        advance_ms(7);
        timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100);
    }
    EXPECT_EQ(mgr->cur_ticks, 7u);
    // timer_enable advances the clock too.
    advance_ms(12);
    timer_obj *t = make("t", 20);
    timer_enable(t);
    EXPECT_EQ(mgr->cur_ticks, 8u);
    EXPECT_EQ(t->expire_ticks, 10u);
}

TEST_F(Timer, ClockJumpRunsEveryDueTimerInOrder)
{
    const char *names[] = {"d", "a", "c", "b"};
    const uint32_t ms[] = {40000, 30, 25000, 900};
    for (int i = 0; i < 4; i++)
        timer_enable(make(names[i], ms[i]));
    timer_obj *later = make("later", 3600 * 1000 + 10);
    timer_enable(later);

    advance_ms(3600 * 1000);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[0].name, "a");
    EXPECT_EQ(fired[1].name, "b");
    EXPECT_EQ(fired[2].name, "c");
    EXPECT_EQ(fired[3].name, "d");
    EXPECT_EQ(timer_remaining_ticks(later), 1);
    run_ticks(1);
    EXPECT_EQ(fired.back().name, "later");
}

void delete_self_cb(timer_obj *p_timer, void *log, void *, void *, void *)
{
    record_cb(p_timer, log, nullptr, nullptr, nullptr);
    timer_util_delete(p_timer);
}

TEST_F(Timer, CallbackDeletesItsOwnTimer)
{
    // Not in `owned`: the callbacks free them.
    timer_obj *once = timer_util_create(mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, 20, delete_self_cb, &fired, nullptr,
                                        nullptr, nullptr, "once");
    timer_obj *c = timer_util_create(mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, 20, delete_self_cb, &fired, nullptr,
                                     nullptr, nullptr, "cyc");
    timer_obj *neighbour = make("neighbour", 20, TIMER_TYPE_CYCLIC);
    timer_enable(c);
    timer_enable(once);
    timer_enable(neighbour);

    run_ticks(4);
    EXPECT_EQ(ticks_of(fired, "cyc"), std::vector<uint64_t>{2});
    EXPECT_EQ(ticks_of(fired, "once"), std::vector<uint64_t>{2});
    EXPECT_EQ(ticks_of(fired, "neighbour"), (std::vector<uint64_t>{2, 4}));
    EXPECT_EQ(mgr->ndeleted, 2u);
    EXPECT_EQ(mgr->nactive, 1u);
    EXPECT_EQ(dll_count(&mgr->timers), 1);
}

void delete_other_cb(timer_obj *p_timer, void *log, void *victim, void *, void *)
{
    record_cb(p_timer, log, nullptr, nullptr, nullptr);
    timer_util_delete(*static_cast<timer_obj **>(victim));
    *static_cast<timer_obj **>(victim) = nullptr;
}

TEST_F(Timer, CallbackDeletesTheNextTimerOfItsBucket)
{
    timer_obj *victim = timer_util_create(mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, 30, record_cb, &fired, nullptr,
                                          nullptr, nullptr, "victim");
    timer_obj *killer = make("killer", 30, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, delete_other_cb, &victim);
    timer_enable(killer);
    timer_enable(victim);
    run_ticks(5);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].name, "killer");
    EXPECT_EQ(victim, nullptr);
}

void enable_other_cb(timer_obj *p_timer, void *log, void *other, void *, void *)
{
    record_cb(p_timer, log, nullptr, nullptr, nullptr);
    timer_enable(static_cast<timer_obj *>(other));
}

TEST_F(Timer, CallbackEnablesATimerIntoTheBucketBeingWalked)
{
    // The new timer is due one full lap later, in the very bucket the wheel is walking.
    timer_obj *lap = make("lap", 2048 * 10, TIMER_TYPE_CYCLIC);
    timer_obj *trigger = make("trigger", 50, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, enable_other_cb, lap);
    timer_obj *same_bucket = make("same", 50);
    timer_enable(trigger);
    timer_enable(same_bucket);

    run_ticks(5);
    EXPECT_EQ(lap->bucket, 5);
    EXPECT_EQ(lap->expire_ticks, 5u + 2048);
    EXPECT_EQ(lap->walked, 0);
    EXPECT_EQ(ticks_of(fired, "same"), std::vector<uint64_t>{5});

    run_ticks(2 * 2048);
    EXPECT_EQ(ticks_of(fired, "lap"), (std::vector<uint64_t>{5 + 2048, 5 + 2 * 2048}));
    EXPECT_EQ(mgr->nactive, 1u);
}

// Makes the clock jump inside a callback, as a slow callback would.
void slow_cb(timer_obj *p_timer, void *log, void *ms, void *, void *)
{
    record_cb(p_timer, log, nullptr, nullptr, nullptr);
    advance_ms(reinterpret_cast<uintptr_t>(ms));
}

TEST_F(Timer, BudgetOverrunYieldsBeforeTheNextBucket)
{
    make("slow", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH, slow_cb, reinterpret_cast<void *>(200));
    make("same-bucket", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    make("next-bucket", 20, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    make("normal", 10);
    for (timer_obj *t : owned)
        timer_enable(t);

    advance_ms(20);
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_MORE);
    // The rest of the bucket ran; the next high bucket and the normal wheel waited.
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].name, "slow");
    EXPECT_EQ(fired[1].name, "same-bucket");
    EXPECT_EQ(mgr->wheel[TIMER_PRI_HIGH]->next_bucket_ticks, 2u);
    EXPECT_EQ(mgr->wheel[TIMER_PRI_NORMAL]->next_bucket_ticks, 0u);

    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[2].name, "next-bucket");
    EXPECT_EQ(fired[3].name, "normal");
}

// Long work inside a callback that keeps timers alive, as zel_timer_kick does.
void nested_run_cb(timer_obj *p_timer, void *log, void *mgr, void *, void *)
{
    record_cb(p_timer, log, nullptr, nullptr, nullptr);
    EXPECT_EQ(timer_exec_pri(static_cast<timer_mgr *>(mgr), TIMER_PRI_MASK_ALL, 100), 0);
}

TEST_F(Timer, RunFromInsideACallbackLeavesTheCallersWheelAlone)
{
    make("nest", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH, nested_run_cb, mgr);
    make("same-bucket", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    make("after", 20, TIMER_TYPE_ONESHOT, TIMER_PRI_HIGH);
    make("lo", 10);
    for (timer_obj *t : owned)
        timer_enable(t);

    run_ticks(3);
    // The nested run served the normal wheel only; the high wheel went on bucket by bucket.
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[0].name, "nest");
    EXPECT_EQ(fired[1].name, "lo");
    EXPECT_EQ(fired[2].name, "same-bucket");
    EXPECT_EQ(ticks_of(fired, "after"), std::vector<uint64_t>{2});
    EXPECT_EQ(mgr->wheel[TIMER_PRI_HIGH]->next_bucket_ticks, 4u);
}

TEST_F(Timer, BudgetIsCheckedAtSkippedTimersToo)
{
    make("slow", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow_cb, reinterpret_cast<void *>(200));
    make("lap", (2048 + 2) * 10);  // sits in bucket 2, one lap early
    make("next", 30);
    for (timer_obj *t : owned)
        timer_enable(t);

    advance_ms(30);
    // Bucket 2 holds only a timer to skip; looking at it already finds the run over budget.
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_MORE);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(mgr->wheel[TIMER_PRI_NORMAL]->next_bucket_ticks, 3u);

    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(ticks_of(fired, "next").size(), 1u);
    EXPECT_TRUE(ticks_of(fired, "lap").empty());
}

TEST_F(Timer, BudgetBoundaryAndSlowTimerLine)
{
    zel_debug_flags = ZEL_DEBUG_STDOUT;
    // Exactly budget + 50 ms is still within the run.
    make("at-limit", 10, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow_cb, reinterpret_cast<void *>(150));
    make("after", 20);
    make("very-slow", 30, TIMER_TYPE_ONESHOT, TIMER_PRI_NORMAL, slow_cb, reinterpret_cast<void *>(6000));
    make("after-slow", 30);
    make("last", 40);
    for (timer_obj *t : owned)
        timer_enable(t);

    advance_ms(40);
    testing::internal::CaptureStdout();
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_MORE);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ticks_of(fired, "after"), std::vector<uint64_t>{4});
    EXPECT_EQ(ticks_of(fired, "after-slow").size(), 1u);
    EXPECT_TRUE(ticks_of(fired, "last").empty());
    EXPECT_NE(out.find(": very-slow timer took 6000 msecs!\n"), std::string::npos) << out;

    // A high-only kick leaves the normal wheel alone.
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_HIGH, 100), 0);
    EXPECT_TRUE(ticks_of(fired, "last").empty());
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(ticks_of(fired, "last").size(), 1u);
}

TEST_F(Timer, PriorityFallsBackToALowerWheel)
{
    timer_mgr *lo = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_NORMAL);
    timer_mgr *hi = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_HIGH);
    timer_mgr *none = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, 0);
    timer_obj *t = timer_util_create(lo, TIMER_PRI_HIGH, TIMER_TYPE_ONESHOT, 10, record_cb, &fired, nullptr, nullptr,
                                     nullptr, "t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->pri, TIMER_PRI_NORMAL);
    EXPECT_EQ(timer_util_create(hi, TIMER_PRI_NORMAL, TIMER_TYPE_ONESHOT, 10, record_cb, nullptr, nullptr, nullptr,
                                nullptr, "t"),
              nullptr);
    EXPECT_EQ(timer_util_create(none, TIMER_PRI_HIGH, TIMER_TYPE_ONESHOT, 10, record_cb, nullptr, nullptr, nullptr,
                                nullptr, "t"),
              nullptr);
    EXPECT_EQ(hi->ncreated + none->ncreated, 0u);
    timer_util_delete(t);
    for (timer_mgr *m : {lo, hi, none})
        timer_mgr_destroy(m);
}

TEST_F(Timer, RestartAndUpdateInterval)
{
    timer_obj *t = make("t", 100);
    EXPECT_EQ(timer_update_interval(t, 50), 0);
    EXPECT_FALSE(timer_is_running(t));
    EXPECT_EQ(timer_get_interval_ms(t), 50);

    EXPECT_EQ(timer_restart(t, 70), 0);
    EXPECT_TRUE(timer_is_running(t));
    EXPECT_EQ(timer_remaining_ticks(t), 7);

    run_ticks(3);
    EXPECT_EQ(timer_update_interval(t, 20), 0);
    EXPECT_EQ(timer_remaining_ticks(t), 2);  // counted again from now
    EXPECT_EQ(mgr->nactive, 1u);

    EXPECT_EQ(timer_disable(t), 0);
    EXPECT_EQ(timer_disable(t), 0);
    EXPECT_EQ(mgr->nactive, 0u);
    timer_enable(t);
    timer_enable(t);
    EXPECT_EQ(mgr->nactive, 1u);
    run_ticks(2);
    EXPECT_EQ(ticks_of(fired, "t"), std::vector<uint64_t>{5});
}

TEST_F(Timer, NextBoundary)
{
    g_now = {7, 250 * 1000000};
    EXPECT_EQ(timer_ms_to_next_boundary(1000), 750u);
    EXPECT_EQ(timer_ms_to_next_boundary(250), 250u);
    EXPECT_EQ(timer_ms_to_next_boundary(300), 250u);  // 7250 % 300 = 50
}

// Counts what goes through the manager's allocator; fails once `fail_at` allocations are made.
struct Heap {
    int allocs = 0;
    int frees = 0;
    int fail_at = -1;
} g_heap;

void *heap_alloc(size_t n)
{
    if (g_heap.allocs == g_heap.fail_at)
        return nullptr;
    g_heap.allocs++;
    return malloc(n);
}

void heap_free(void *p)
{
    g_heap.frees++;
    free(p);
}

TEST_F(Timer, AllocatorHooksAndUserArgument)
{
    g_heap = {};
    int user = 0;
    timer_mgr *m = timer_mgr_create(TIMER_RES_1SEC, heap_alloc, heap_free, &user, TIMER_PRI_MASK_ALL);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(timer_mgr_user_arg(m), &user);
    const int mgr_allocs = g_heap.allocs;
    timer_obj *t = timer_util_create(m, TIMER_PRI_HIGH, TIMER_TYPE_ONESHOT, 1000, record_cb, &fired, nullptr, nullptr,
                                     nullptr, "t");
    EXPECT_EQ(g_heap.allocs, mgr_allocs + 1);

    g_heap.fail_at = g_heap.allocs;
    EXPECT_EQ(timer_util_create(m, TIMER_PRI_HIGH, TIMER_TYPE_ONESHOT, 1000, record_cb, &fired, nullptr, nullptr,
                                nullptr, "u"),
              nullptr);
    EXPECT_EQ(m->ncreated, 1u);
    EXPECT_EQ(dll_count(&m->timers), 1);

    timer_util_delete(t);
    timer_mgr_destroy(m);
    EXPECT_EQ(g_heap.frees, g_heap.allocs);

    // Only one of the two hooks: both fall back to malloc and free.
    g_heap = {};
    m = timer_mgr_create(TIMER_RES_1SEC, heap_alloc, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    timer_mgr_destroy(m);
    EXPECT_EQ(g_heap.allocs, 0);

    // A failure at any allocation of the manager leaves nothing behind.
    for (int fail = 0; fail < 3; fail++) {
        g_heap = {};
        g_heap.fail_at = fail;
        EXPECT_EQ(timer_mgr_create(TIMER_RES_1SEC, heap_alloc, heap_free, nullptr, TIMER_PRI_MASK_ALL), nullptr);
        EXPECT_EQ(g_heap.frees, g_heap.allocs);
    }
}

TEST_F(Timer, DumpListsTimersAndCounters)
{
    zel_debug_flags = ZEL_DEBUG_STDOUT;
    make("idle", 20, TIMER_TYPE_CYCLIC, TIMER_PRI_HIGH);
    timer_enable(make("sample", 50));
    testing::internal::CaptureStdout();
    timer_mgr_dump(mgr, 8);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" idle cyclic Disabled high  interval 2 expire 0 (-1) cb "), std::string::npos) << out;
    EXPECT_NE(out.find(" sample one-shot Enabled normal  interval 5 expire 0x5 (5) cb "), std::string::npos) << out;
    EXPECT_NE(out.find("ncreated 2 ndeleted 0 nactive 1 nfired 0\n"), std::string::npos) << out;
}

using TimerDeathTest = Timer;

TEST_F(TimerDeathTest, DestroyWithLiveTimerIsFatal)
{
    timer_obj *t = make("live", 10);
    timer_enable(t);
    EXPECT_DEATH(timer_mgr_destroy(mgr),
                 "^timer:232: failed assertion `p_mgr->ncreated == p_mgr->ndeleted && p_mgr->nactive == 0'");
    // Created but never enabled counts as live too.
    timer_disable(t);
    EXPECT_DEATH(timer_mgr_destroy(mgr), "^timer:232: failed assertion");
}

TEST_F(TimerDeathTest, StaleTimerIsFatal)
{
    timer_obj *t = make("stale", 100);
    run_ticks(3000);
    timer_enable(t);
    t->expire_ticks -= 2048;  // same bucket, one lap in the past
    EXPECT_DEATH(run_ticks(10), "^timer:538: failed assertion `p_timer->expire_ticks > p_wheel->next_bucket_ticks'");
}

TEST_F(TimerDeathTest, EnablingATimerStillInABucketIsFatal)
{
    timer_obj *t = make("t", 100);
    timer_enable(t);
    t->state = TIMER_STATE_DISABLED;
    EXPECT_DEATH(timer_enable(t), "^timer:334: failed assertion `p_timer->bucket == TIMER_BUCKET_NULL'");
    t->state = TIMER_STATE_ENABLED;
}

}  // namespace
