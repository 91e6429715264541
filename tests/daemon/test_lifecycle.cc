#include "common/qor_util.h"
#include "common/timer.h"
#include "common/zel_log.h"
#include "daemon/zel.h"
#include "daemon/zel_stages.h"

#include <event2/event.h>
#include <gtest/gtest.h>

#include <string_view>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace
{

// Log lines go to standard output so a test can read them.
struct LogCapture {
    LogCapture()
    {
        saved = zel_debug_flags;
        zel_debug_flags = ZEL_DEBUG_STDOUT;
        testing::internal::CaptureStdout();
    }
    std::string take()
    {
        zel_debug_flags = saved;
        return testing::internal::GetCapturedStdout();
    }
    uint64_t saved;
};

// ---------------------------------------------------------------------------- stage table

std::vector<std::string> g_trace;
int g_fail_code = 0;

template <int N>
int record_init(zel_ctx *)
{
    g_trace.push_back("init" + std::to_string(N));
    return 0;
}
template <int N>
void record_undo(zel_ctx *)
{
    g_trace.push_back("undo" + std::to_string(N));
}
int failing_init(zel_ctx *)
{
    g_trace.push_back("fail");
    return g_fail_code;
}
void failing_undo(zel_ctx *) { g_trace.push_back("undo-of-failed"); }

class Stages : public testing::Test
{
protected:
    void SetUp() override { g_trace.clear(); }
    zel_ctx ctx{};
};

TEST_F(Stages, FailureUndoesCompletedStagesInReverseSuccessRunsAllAndDeinitUndoesAll)
{
    for (int code : {12, 5, -10}) {
        g_trace.clear();
        g_fail_code = code;
        const std::array table{
            zel_stage{"a", record_init<1>, record_undo<1>}, zel_stage{"b", nullptr, nullptr},
            zel_stage{"c", record_init<3>, record_undo<3>}, zel_stage{"d", record_init<4>, nullptr},
            zel_stage{"bad", failing_init, failing_undo},   zel_stage{"late", record_init<6>, record_undo<6>},
        };
        LogCapture log;
        EXPECT_EQ(zel_init_with(&ctx, table), code);
        std::string out = log.take();
        EXPECT_EQ(g_trace, (std::vector<std::string>{"init1", "init3", "init4", "fail", "undo3", "undo1"}));
        EXPECT_EQ(out.find("Stage 2 complete"), std::string::npos);
        EXPECT_NE(out.find("bad"), std::string::npos) << "the failing stage is named";
    }
    // A first stage that fails has nothing to undo.
    g_trace.clear();
    g_fail_code = 22;
    const std::array first{zel_stage{"bad", failing_init, failing_undo},
                           zel_stage{"a", record_init<1>, record_undo<1>}};
    LogCapture log;
    EXPECT_EQ(zel_init_with(&ctx, first), 22);
    EXPECT_EQ(g_trace, (std::vector<std::string>{"fail"}));

    // Success runs them all; deinit undoes all in reverse, those without a start included.
    g_trace.clear();
    const std::array ok{zel_stage{"a", record_init<1>, record_undo<1>}, zel_stage{"b", nullptr, record_undo<2>},
                        zel_stage{"c", record_init<3>, record_undo<3>}};
    EXPECT_EQ(zel_init_with(&ctx, ok), 0);
    EXPECT_EQ(zel_deinit_with(&ctx, ok), 0);
    log.take();
    EXPECT_EQ(g_trace, (std::vector<std::string>{"init1", "init3", "undo3", "undo2", "undo1"}));
}

int sysmgr_fails(zel_ctx *) { return -10; }

// The real event-loop and base-timer stages are released again when a later stage fails.
TEST_F(Stages, LateFailureReleasesTheEventLoopAndTimers)
{
    const std::array table{zel_stage{"event-loop", zel_event_init, zel_event_deinit},
                           zel_stage{"base-timer", zel_base_timer_init, zel_base_timer_deinit},
                           zel_stage{"sysmgr-link", sysmgr_fails, nullptr}};
    LogCapture log;
    EXPECT_EQ(zel_init_with(&ctx, table), -10);
    log.take();
    EXPECT_EQ(ctx.base, nullptr);
    EXPECT_EQ(ctx.usr1_ev, nullptr);
    EXPECT_EQ(ctx.usr2_ev, nullptr);
    EXPECT_EQ(ctx.base_timer_ev, nullptr);
    EXPECT_EQ(ctx.tmr_mgr, nullptr);
}

// An orderly stop must undo every stage exactly once, closing the peer links before the
// tables they announce and stopping the data plane only after the policy tables are gone.
TEST(DefaultStages, TeardownOrderCoversEveryUndoOnce)
{
    auto stages = zel_default_stages();
    auto order = zel_teardown_order();
    auto pos = [&](std::string_view name) {
        for (size_t i = 0; i < order.size(); i++)
            if (name == order[i])
                return static_cast<long>(i);
        return -1L;
    };
    for (const auto &s : stages) {
        EXPECT_FALSE(s.undo != nullptr && s.init == nullptr) << s.name << " undoes what it never did";
        if (s.undo != nullptr) {
            EXPECT_GE(pos(s.name), 0) << s.name << " is never undone";
        }
    }
    for (size_t i = 0; i < order.size(); i++)
        for (size_t j = i + 1; j < order.size(); j++)
            EXPECT_STRNE(order[i], order[j]);
    EXPECT_LT(pos("sysmgr-link"), pos("confd"));
    EXPECT_LT(pos("tabmgr-link"), pos("kro-link"));
    EXPECT_LT(pos("kro-link"), pos("policy-tables"));
    EXPECT_LT(pos("policy-tables"), pos("dataplane-start"));
    EXPECT_LT(pos("dataplane-start"), pos("base-timer"));
    EXPECT_LT(pos("base-timer"), pos("event-loop"));
    EXPECT_EQ(std::string_view(order.back()), "syslog");
}

// ---------------------------------------------------------------------------- base timer

// A monotonic clock the test moves by hand.
struct timespec g_now;
void fake_clock(struct timespec *now) { *now = g_now; }
void advance_ms(long ms)
{
    g_now.tv_nsec += ms * 1000000;
    g_now.tv_sec += g_now.tv_nsec / 1000000000;
    g_now.tv_nsec %= 1000000000;
}

int g_fired[8];
void count_cb(timer_obj *, void *arg1, void *, void *, void *) { g_fired[reinterpret_cast<intptr_t>(arg1)]++; }
// A timer whose work takes far longer than the run's budget.
void slow_cb(timer_obj *t, void *arg1, void *a2, void *a3, void *a4)
{
    count_cb(t, arg1, a2, a3, a4);
    advance_ms(400);
}

class BaseTimer : public testing::Test
{
protected:
    void SetUp() override
    {
        g_now = {1000, 0};
        timer_set_clock(fake_clock);
        std::fill(std::begin(g_fired), std::end(g_fired), 0);
        ASSERT_EQ(zel_event_init(&ctx), 0);
        ASSERT_EQ(zel_base_timer_init(&ctx), 0);
    }
    void TearDown() override
    {
        for (timer_obj *t : timers)
            timer_util_delete(t);
        zel_base_timer_deinit(&ctx);
        zel_event_deinit(&ctx);
        timer_set_clock(nullptr);
    }
    timer_obj *add(uint8_t pri, uint32_t ms, intptr_t id, timer_cb_fn cb = count_cb)
    {
        timer_obj *t = timer_util_create(ctx.tmr_mgr, pri, TIMER_TYPE_ONESHOT, ms, cb, reinterpret_cast<void *>(id),
                                         nullptr, nullptr, nullptr, "test");
        timer_enable(t);
        timers.push_back(t);
        return t;
    }
    int active_events() { return event_base_get_num_events(ctx.base, EVENT_BASE_COUNT_ACTIVE); }
    zel_ctx ctx{};
    std::vector<timer_obj *> timers;
};

TEST_F(BaseTimer, ExhaustedBudgetReactivatesTheBaseEventAtOnce)
{
    add(TIMER_PRI_NORMAL, 10, 1, slow_cb);
    add(TIMER_PRI_NORMAL, 20, 2);
    add(TIMER_PRI_NORMAL, 30, 3);
    advance_ms(60);
    LogCapture log;  // the slow timer is reported
    zel_base_timer_cb(-1, EV_TIMEOUT, &ctx);
    log.take();
    EXPECT_EQ(g_fired[1], 1);
    EXPECT_EQ(g_fired[3], 0) << "the run stops once over budget";
    EXPECT_EQ(active_events(), 1);

    // The loop comes straight back (what = 0) and finishes the due timers.
    event_base_loop(ctx.base, EVLOOP_NONBLOCK | EVLOOP_ONCE);
    EXPECT_EQ(g_fired[3], 1);
}

TEST_F(BaseTimer, KickServesOnlyHighPriorityAndNotTooOften)
{
    g_zel_ctx.tmr_mgr = ctx.tmr_mgr;
    g_zel_ctx.last_kick = {0, 0};
    add(TIMER_PRI_HIGH, 10, 1);
    add(TIMER_PRI_NORMAL, 10, 2);
    advance_ms(20);
    EXPECT_EQ(zel_timer_kick(), 0);
    EXPECT_EQ(g_fired[1], 1);
    EXPECT_EQ(g_fired[2], 0);

    add(TIMER_PRI_HIGH, 10, 3);
    advance_ms(20);
    g_zel_ctx.last_kick = g_now;
    advance_ms(3);
    zel_timer_kick();
    EXPECT_EQ(g_fired[3], 0) << "3 ms after the last kick";
    advance_ms(1);
    zel_timer_kick();
    EXPECT_EQ(g_fired[3], 1);
    g_zel_ctx.tmr_mgr = nullptr;
    EXPECT_EQ(zel_timer_kick(), 0);
}

// ---------------------------------------------------------------------------- pid files

TEST(PidFile, FirstIntegerOrZeroOrMissing)
{
    char path[] = "/tmp/zel-pid-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    auto put = [&](const char *s) {
        FILE *f = fopen(path, "w");
        fputs(s, f);
        fclose(f);
    };
    put("1234\n");
    EXPECT_EQ(qor_util_read_pid(path, nullptr), 1234);
    put("  77 88");
    EXPECT_EQ(qor_util_read_pid(path, nullptr), 77);
    put("");
    EXPECT_EQ(qor_util_read_pid(path, nullptr), 0);
    put("pid");
    EXPECT_EQ(qor_util_read_pid(path, nullptr), 0);
    unlink(path);
    int err = 0;
    EXPECT_EQ(qor_util_read_pid(path, &err), -1);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(qor_util_daemon_pid("zel-no-such-daemon", 3, &err), -1);
}

}  // namespace
