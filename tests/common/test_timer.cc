#include "common/hand_clock.h"
#include "common/timer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace
{

// Per firing: "name@tick", the manager's tick at the time.
using FireLog = std::vector<std::string>;

void record_cb(timer_obj *t, void *log, void *, void *, void *)
{
    static_cast<FireLog *>(log)->push_back(std::string(t->name) + "@" + std::to_string(t->p_mgr->cur_ticks));
}

// What a callback does after recording its firing, with arg2 as operand: delete its own timer,
// delete the timer arg2 points at, enable timer arg2, make the clock jump by arg2 ms (as a slow
// callback would) or run manager arg2 (as zel_timer_kick does).
enum Then { RECORD, DELETE_SELF, DELETE_OTHER, ENABLE_OTHER, SLOW, RUN };

void act_cb(timer_obj *t, void *log, void *arg, void *then, void *)
{
    record_cb(t, log, nullptr, nullptr, nullptr);
    switch (reinterpret_cast<intptr_t>(then)) {
    case DELETE_SELF:
        timer_util_delete(t);
        break;
    case DELETE_OTHER:
        timer_util_delete(std::exchange(*static_cast<timer_obj **>(arg), nullptr));
        break;
    case ENABLE_OTHER:
        timer_enable(static_cast<timer_obj *>(arg));
        break;
    case SLOW:
        HandClock::advance(reinterpret_cast<uintptr_t>(arg));
        break;
    case RUN:
        EXPECT_EQ(timer_exec_pri(static_cast<timer_mgr *>(arg), TIMER_PRI_MASK_ALL, 100), 0);
    }
}

void *ms_arg(uintptr_t ms) { return reinterpret_cast<void *>(ms); }

constexpr uint8_t HIGH = TIMER_PRI_HIGH, NORMAL = TIMER_PRI_NORMAL, CYCLIC = TIMER_TYPE_CYCLIC;

class Timer : public testing::Test
{
protected:
    void SetUp() override { mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL); }
    void TearDown() override
    {
        zel_debug_flags = 0;
        for (timer_obj *t : owned)
            timer_util_delete(t);
        EXPECT_EQ(mgr->nactive, 0u);
        timer_mgr_destroy(mgr);
    }

    // An enabled one-shot timer unless told otherwise; `owned` ones are deleted by the fixture.
    timer_obj *make(const char *name, uint32_t ms, uint8_t pri = NORMAL, Then then = RECORD, void *arg2 = nullptr,
                    uint8_t type = TIMER_TYPE_ONESHOT, bool enable = true, bool own = true)
    {
        timer_obj *t = timer_util_create(mgr, pri, type, ms, act_cb, &fired, arg2,
                                         reinterpret_cast<void *>(intptr_t{then}), nullptr, name);
        if (own)
            owned.push_back(t);
        if (enable)
            timer_enable(t);
        return t;
    }

    // One base-timer event per tick, as the daemon's loop runs it.
    void run_ticks(int n)
    {
        for (int i = 0; i < n; i++) {
            HandClock::advance(10);
            ASSERT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
        }
    }

    HandClock clock_{100000};
    timer_mgr *mgr = nullptr;
    std::vector<timer_obj *> owned;
    FireLog fired;
};

// Per firing: the model index and the tick of the bucket being served.
using Shot = std::pair<int, uint64_t>;

void shot_cb(timer_obj *t, void *log, void *idx, void *, void *)
{
    static_cast<std::vector<Shot> *>(log)->push_back(
        {static_cast<int>(reinterpret_cast<intptr_t>(idx)), t->p_mgr->wheel[t->pri]->next_bucket_ticks});
}

// The model: a running timer is a deadline in ticks (clock / 10 ms, remainders carried; the interval
// rounded to the nearest tick, at least one) with the number of its last insertion. A run fires the
// high wheel's due deadlines, then the normal one's, each in (deadline, insertion) order; a cyclic
// timer comes back one interval after its deadline. Intervals and clock jumps span several laps.
TEST_F(Timer, RandomOperationsMatchASortedListOfDeadlines)
{
    struct Model {
        timer_obj *t;
        uint8_t pri;
        bool cyclic;
        uint64_t ticks, expire = 0, seq = 0;
        bool on = false;
    };
    std::mt19937 rng(2024);
    auto pick_ms = [&]() -> uint32_t {
        const uint32_t r = rng();
        return r % 3 == 0 ? r % 60 : r % 3 == 1 ? r % 3000 : 20000 + r % 50000;
    };
    uint64_t elapsed_ms = 0, seq = 0;
    std::vector<Shot> shots, want;
    std::vector<Model> m;
    for (intptr_t i = 0; i < 24; i++) {
        const uint8_t pri = rng() % 2, cyclic = rng() % 2;
        const uint32_t ms = pick_ms();
        m.push_back({timer_util_create(mgr, pri, cyclic, ms, shot_cb, &shots, reinterpret_cast<void *>(i), 0, 0, "m"),
                     pri, cyclic != 0, (ms + 5) / 10});
        owned.push_back(m.back().t);
    }
    auto start = [&](Model &x) {
        x.ticks = std::max<uint64_t>(x.ticks, 1);
        x.expire = elapsed_ms / 10 + x.ticks;
        x.seq = ++seq;
        x.on = true;
    };
    for (int step = 0; step < 4000; step++) {
        Model &x = m[rng() % m.size()];
        const uint32_t ms = pick_ms(), op = rng() % 6;
        if (op == 0) {
            timer_enable(x.t);
            if (!x.on)
                start(x);
        } else if (op == 1) {
            timer_disable(x.t);
            x.on = false;
        } else if (op == 2 || op == 3) {
            (op == 2 ? timer_restart : timer_update_interval)(x.t, ms);
            x.ticks = (ms + 5) / 10;
            if (op == 2 || x.on)
                start(x);
        } else {
            const uint64_t jump = rng() % 8 ? rng() % 40 : rng() % 30000;
            HandClock::advance(jump);
            elapsed_ms += jump;
            shots.clear();
            want.clear();
            ASSERT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
            const uint64_t now = elapsed_ms / 10;
            for (uint8_t pri : {HIGH, NORMAL}) {
                using Due = std::tuple<uint64_t, uint64_t, int>;
                std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
                for (int i = 0; i < static_cast<int>(m.size()); i++)
                    if (m[i].on && m[i].pri == pri && m[i].expire <= now)
                        due.push({m[i].expire, m[i].seq, i});
                for (; !due.empty(); due.pop()) {
                    const int i = std::get<2>(due.top());
                    want.push_back({i, m[i].expire});
                    m[i].on = m[i].cyclic;
                    m[i].expire += m[i].ticks;
                    m[i].seq = ++seq;
                    if (m[i].cyclic && m[i].expire <= now)
                        due.push({m[i].expire, m[i].seq, i});
                }
            }
            ASSERT_EQ(shots, want) << "step " << step;
            ASSERT_EQ(mgr->cur_ticks, now);
            uint32_t active = 0;
            for (const Model &y : m) {
                ASSERT_EQ(timer_remaining_ticks(y.t), y.on ? static_cast<int64_t>(y.expire - now) : -1);
                active += y.on;
            }
            ASSERT_EQ(mgr->nactive, active);
        }
    }
}

TEST_F(Timer, CallbacksDeleteOrEnableTimersOfTheBucketBeingWalked)
{
    make("cyc", 20, HIGH, DELETE_SELF, nullptr, CYCLIC, true, false);
    make("once", 20, NORMAL, DELETE_SELF, nullptr, TIMER_TYPE_ONESHOT, true, false);
    timer_obj *victim = make("victim", 30, NORMAL, RECORD, nullptr, TIMER_TYPE_ONESHOT, false, false);
    timer_obj *neighbour = make("neighbour", 20, NORMAL, RECORD, nullptr, CYCLIC);
    make("killer", 30, NORMAL, DELETE_OTHER, &victim);
    timer_enable(victim);
    // "lap" is due one full lap later, in the very bucket the wheel is walking when "trigger" runs.
    timer_obj *lap = make("lap", 2048 * 10, NORMAL, RECORD, nullptr, CYCLIC, false);
    make("trigger", 50, NORMAL, ENABLE_OTHER, lap);
    make("same", 50);

    run_ticks(5);
    EXPECT_EQ(fired, (FireLog{"cyc@2", "once@2", "neighbour@2", "killer@3", "neighbour@4", "trigger@5", "same@5"}));
    EXPECT_EQ(victim, nullptr);
    EXPECT_EQ(mgr->ndeleted, 3u);
    EXPECT_EQ(lap->bucket, 5);
    EXPECT_EQ(lap->expire_ticks, 5u + 2048);
    EXPECT_EQ(lap->walked, 0);

    fired.clear();
    timer_disable(neighbour);
    run_ticks(2 * 2048);
    EXPECT_EQ(fired, (FireLog{"lap@2053", "lap@4101"}));
}

TEST_F(Timer, BudgetOverrunYieldsBeforeTheNextBucketAndNamesASlowTimer)
{
    zel_debug_flags = ZEL_DEBUG_STDOUT;
    // Exactly budget + 50 ms is still within the run: bucket 3 is walked; the check after "very-slow"
    // is past it, so the rest of bucket 3 runs and bucket 4 and the normal wheel wait.
    make("at-limit", 10, HIGH, SLOW, ms_arg(150));
    make("after", 20, HIGH);
    make("very-slow", 30, HIGH, SLOW, ms_arg(6000));
    make("same-bucket", 30, HIGH);
    make("next-bucket", 40, HIGH);
    make("normal", 10);

    HandClock::advance(40);
    testing::internal::CaptureStdout();
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), TIMER_EXEC_MORE);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(": very-slow timer took 6000 msecs!\n"), std::string::npos) << out;
    EXPECT_EQ(fired, (FireLog{"at-limit@4", "after@4", "very-slow@4", "same-bucket@4"}));
    EXPECT_EQ(mgr->wheel[HIGH]->next_bucket_ticks, 4u);
    EXPECT_EQ(mgr->wheel[NORMAL]->next_bucket_ticks, 0u);

    // A high-only kick leaves the normal wheel alone.
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_HIGH, 100), 0);
    EXPECT_EQ(fired.back(), "next-bucket@619");
    EXPECT_EQ(timer_exec_pri(mgr, TIMER_PRI_MASK_ALL, 100), 0);
    EXPECT_EQ(fired.back(), "normal@619");
}

TEST_F(Timer, RunFromInsideACallbackLeavesTheCallersWheelAlone)
{
    make("nest", 10, HIGH, RUN, mgr);
    make("same-bucket", 10, HIGH);
    make("after", 20, HIGH);
    make("lo", 10);
    run_ticks(3);
    // The nested run served the normal wheel only; the high wheel went on bucket by bucket.
    EXPECT_EQ(fired, (FireLog{"nest@1", "lo@1", "same-bucket@1", "after@2"}));
    EXPECT_EQ(mgr->wheel[HIGH]->next_bucket_ticks, 4u);
}

}  // namespace
