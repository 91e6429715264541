// The daemon context and the process lifecycle: start-up, the event loop, signals, shutdown.
#pragma once

#include <event2/event.h>

#include <cstdint>
#include <ctime>

#include "common/zel_ctx.h"

extern zel_ctx g_zel_ctx;
extern int zel_foreground;

// Budget of one timer run from the event loop, and the least spacing of timer kicks.
inline constexpr uint32_t ZEL_TIMER_BUDGET_MS = 100;
inline constexpr uint64_t ZEL_TIMER_KICK_MIN_MS = 4;

int appmain(int argc, char **argv);

// Runs every start-up stage in order; on failure every completed stage is undone in
// reverse and the failing stage's code is returned.
int zel_init(zel_ctx *ctx);
// Undoes every stage in reverse; always 0.
int zel_deinit(zel_ctx *ctx);

// Serves the high-priority timers from inside long work in the loop's thread, at most
// once per ZEL_TIMER_KICK_MIN_MS. Always 0.
int zel_timer_kick();

// Event base (one thread, two priorities), the SIGUSR1/SIGUSR2 events and the plain
// signal handlers. 12 when no configuration or base, 5 when an event cannot be made.
int zel_event_init(zel_ctx *ctx);
void zel_event_deinit(zel_ctx *ctx);
// The base timer event and the 10 ms timer manager; 12 on failure.
int zel_base_timer_init(zel_ctx *ctx);
void zel_base_timer_deinit(zel_ctx *ctx);

void zel_base_timer_cb(evutil_socket_t fd, short what, void *arg);
void zel_usr1_signal(evutil_socket_t fd, short what, void *arg);
void zel_usr2_signal(evutil_socket_t fd, short what, void *arg);
