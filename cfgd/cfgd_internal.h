// Private to the cfgd library: log helpers and the calls between its units.
#pragma once

#include <initializer_list>

#include "cfgd/cfgd_api.h"
#include "common/zel_log.h"

// Informational lines, written while cfgd_debug or the daemon's configuration
// category is on.
#define CFGD_DEBUG(...)                                                                                                \
    do {                                                                                                               \
        if (cfgd_debug_enabled() || (zel_debug_flags & ZEL_DEBUG_CONFIG))                                              \
            ZEL_LOG(__VA_ARGS__);                                                                                      \
    } while (0)

// A fatal stop: the message, then the assertion line of the calling unit.
#define CFGD_FATAL_UNLESS(cond, ...)                                                                                   \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            ZEL_LOG(__VA_ARGS__);                                                                                      \
            zel_assert_fail(__FILE__, __LINE__, #cond);                                                                \
        }                                                                                                              \
    } while (0)

// The ConfD error triple every failure line ends with.
#define CFGD_ERR_ARGS confd_strerror(confd_errno), confd_errno, confd_lasterr()

// Helpers shared by the connection and the subscription engine; a namespace rather than
// a prefix, so that start_detached's log lines keep their function name.
namespace cfgd_internal
{

inline bool point_end(const cfgd_sub_point *p) { return p == nullptr || p->path[0] == '\0'; }

// Both tables in walking order: the module's points, then the library-wide ones.
template <typename Fn>
void for_each_point(cfgd_context *ctx, Fn &&fn)
{
    for (cfgd_sub_point *table : {ctx->params.sub_points, cfgd_lib_sub_points()})
        for (cfgd_sub_point *p = table; !point_end(p); ++p)
            if (!fn(p))
                return;
}

inline const char *mod_name(const cfgd_context *ctx) { return cfgd_module_name(ctx->params.module_id); }

// Runs fn(arg) on a detached helper thread counted on ctx; false (logged) when none starts.
bool start_detached(void *(*fn)(void *), cfgd_context *ctx, void *arg);

}  // namespace cfgd_internal

// A helper thread of this connection failed: ask the main loop to reconnect, unless
// the connection it belonged to is already gone.
void cfgd_thread_report_failure(cfgd_context *ctx, uint32_t generation);
// The registration thread finished subscribing: the main loop starts reading the socket.
void cfgd_thread_report_subscribed(cfgd_context *ctx, uint32_t generation);
// Helper threads that use the context are counted so that teardown can wait for them.
void cfgd_thread_enter(cfgd_context *ctx);
void cfgd_thread_leave(cfgd_context *ctx);

// Notification throttler (cfgd_notify).
int cfgd_notification_throttler_init(cfgd_context *ctx);
void cfgd_notification_throttler_connection_reset();
void cfgd_notification_throttler_free();
// The allocation pair of notification items (replaceable by the daemon).
void *cfgd_notif_alloc(size_t size);
void cfgd_notif_free(void *p);
// Joins the context's queued operational writes (cfgd_oper).
void cfgd_oper_writes_join(cfgd_context *ctx);

// Trap tables (cfgd_trap).
void cfgd_trap_init();
void cfgd_trap_deinit();
