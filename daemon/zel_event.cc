#include "common/timer.h"
#include "common/zel_log.h"
#include "daemon/qor_signal.h"
#include "daemon/zel.h"

#include <csignal>
#include <initializer_list>

zel_ctx g_zel_ctx;

int zel_event_init(zel_ctx *ctx)
{
    event_config *cfg = event_config_new();
    if (cfg == nullptr)
        return 12;
    event_config_require_features(cfg, EV_FEATURE_ET | EV_FEATURE_O1);
    // Only the main thread touches the base.
    event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
    ctx->base = event_base_new_with_config(cfg);
    event_config_free(cfg);
    if (ctx->base == nullptr)
        return 12;
    event_base_priority_init(ctx->base, 2);

    ctx->usr1_ev = event_new(ctx->base, SIGUSR1, EV_SIGNAL | EV_PERSIST, zel_usr1_signal, ctx);
    if (ctx->usr1_ev == nullptr || event_add(ctx->usr1_ev, nullptr) != 0) {
        zel_event_deinit(ctx);
        return 5;
    }
    ctx->usr2_ev = event_new(ctx->base, SIGUSR2, EV_SIGNAL | EV_PERSIST, zel_usr2_signal, ctx);
    if (ctx->usr2_ev == nullptr || event_add(ctx->usr2_ev, nullptr) != 0) {
        zel_event_deinit(ctx);
        return 5;
    }
    qor_signal_init();
    return 0;
}

void zel_event_deinit(zel_ctx *ctx)
{
    for (event **ev : {&ctx->usr1_ev, &ctx->usr2_ev}) {
        if (*ev != nullptr)
            event_free(*ev);
        *ev = nullptr;
    }
    if (ctx->base != nullptr)
        event_base_free(ctx->base);
    ctx->base = nullptr;
}

namespace
{

int base_timer_arm(zel_ctx *ctx)
{
    timeval tick;
    timer_get_tick(ctx->tmr_mgr, &tick);
    return event_add(ctx->base_timer_ev, &tick);
}

}  // namespace

int zel_base_timer_init(zel_ctx *ctx)
{
    ctx->base_timer_ev = event_new(ctx->base, -1, 0, zel_base_timer_cb, ctx);
    if (ctx->base_timer_ev == nullptr)
        return 12;
    ctx->tmr_mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
    ctx->kick = zel_timer_kick;
    if (ctx->tmr_mgr == nullptr || base_timer_arm(ctx) != 0) {
        zel_base_timer_deinit(ctx);
        return 12;
    }
    return 0;
}

void zel_base_timer_deinit(zel_ctx *ctx)
{
    if (ctx->base_timer_ev != nullptr)
        event_free(ctx->base_timer_ev);
    ctx->base_timer_ev = nullptr;
    ctx->kick = nullptr;
    if (ctx->tmr_mgr != nullptr)
        timer_mgr_destroy(ctx->tmr_mgr);
    ctx->tmr_mgr = nullptr;
}

void zel_base_timer_cb(evutil_socket_t, short what, void *arg)
{
    auto *ctx = static_cast<zel_ctx *>(arg);
    if (what != 0 && what != EV_TIMEOUT) {
        ZEL_LOG("Spurious timer ignored what = %#x arg = %p", what, arg);
        return;
    }
    base_timer_arm(ctx);
    // Out of budget with timers still due: let other events run, then come straight back.
    if (timer_exec_pri(ctx->tmr_mgr, TIMER_PRI_MASK_ALL, ZEL_TIMER_BUDGET_MS) == TIMER_EXEC_MORE)
        event_active(ctx->base_timer_ev, 0, 0);
}

int zel_timer_kick()
{
    zel_ctx *ctx = &g_zel_ctx;
    if (ctx->tmr_mgr == nullptr)
        return 0;
    timespec now;
    timer_clock_now(&now);
    auto ms = [](const timespec &t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
    };
    if (ms(now) - ms(ctx->last_kick) < ZEL_TIMER_KICK_MIN_MS)
        return 0;
    timer_exec_pri(ctx->tmr_mgr, TIMER_PRI_MASK_HIGH, ZEL_TIMER_BUDGET_MS);
    timer_clock_now(&ctx->last_kick);
    return 0;
}

void zel_usr1_signal(evutil_socket_t, short, void *)
{
    zel_debug_flags = zel_debug_flags == ZEL_DEBUG_OFF ? ZEL_DEBUG_ALL : ZEL_DEBUG_OFF;
    ZEL_LOG("Setting debug-flags to %#lx", zel_debug_flags);
}

void zel_usr2_signal(evutil_socket_t, short, void *arg)
{
    auto *ctx = static_cast<zel_ctx *>(arg);
    ZEL_LOG("Received termination signal. Stopping and exiting gracefully..");
    event_base_loopbreak(ctx->base);
}
