#include "common/zel_log.h"
#include "daemon/zel_confd.h"
#include "daemon/zel_kro.h"
#include "daemon/zel_stages.h"
#include "daemon/zel_sysmgr.h"
#include "daemon/zel_tabmgr.h"
#include "dataplane/zel_if_octeon.h"
#include "dpi/zel_dpi.h"
#include "policy/zel_config.h"
#include "policy/zel_policy_stages.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>

namespace
{

int zel_hostname_init(zel_ctx *)
{
    char host[128];
    if (gethostname(host, sizeof host) != 0)
        strcpy(host, "kDevice");
    host[sizeof host - 1] = '\0';
    zel_log_set_host(host);
    return 0;
}

int zel_syslog_init(zel_ctx *)
{
    zel_log_open();
    return 0;
}

void zel_syslog_deinit(zel_ctx *) { zel_log_close(); }

int zel_start_event(zel_ctx *)
{
    zel_event_line(zel_severity::info, ZEL_EVENT_START, "Starting");
    return 0;
}

int zel_stage1_complete(zel_ctx *)
{
    ZEL_LOG("Initialization - Stage 1 complete");
    return 0;
}

// The engine's failure is only logged: names then resolve to 0 and the daemon runs on.
int zel_dpi_stage(zel_ctx *ctx)
{
    ctx->dpi.app_id = zel_dpi_app_id;
    return zel_dpi_inline_init(ctx, zel_dpi_init);
}

void zel_dpi_unstage(zel_ctx *ctx)
{
    zel_dpi_destroy(ctx);
    ctx->dpi = {};
}

// Start-up order; shutdown and failed start-ups undo it from the bottom up.
// A stage with no operations yet belongs to a subsystem still to come.
constexpr std::array g_stages{
    zel_stage{"hostname", zel_hostname_init, nullptr},
    zel_stage{"syslog", zel_syslog_init, zel_syslog_deinit},
    zel_stage{"start-event", zel_start_event, nullptr},
    zel_stage{"event-loop", zel_event_init, zel_event_deinit},
    zel_stage{"dataplane-ops", zel_dp_bind_stage, zel_dp_unbind_stage},
    zel_stage{"base-timer", zel_base_timer_init, zel_base_timer_deinit},
    zel_stage{"dataplane-start", zel_dp_start_stage, zel_dp_stop_stage},
    zel_stage{"program-allocator", zel_dp_allocator_stage, zel_dp_allocator_unstage},
    zel_stage{"dpi-mode", nullptr, nullptr},
    zel_stage{"forwarding-classes", zel_fwd_class_stage, zel_fwd_class_unstage},
    zel_stage{"sla-classes", zel_sla_class_stage, zel_sla_class_unstage},
    zel_stage{"policy-tables", zel_policy_tables_stage, zel_policy_tables_unstage},
    zel_stage{"access-lists", nullptr, nullptr},
    zel_stage{"tabmgr-link", zel_tabmgr_init, zel_tabmgr_deinit},
    zel_stage{"kro-link", zel_kro_init, zel_kro_deinit},
    zel_stage{"compiler-context", zel_compiler_context_stage, zel_compiler_context_unstage},
    zel_stage{"confd", zel_confd_stage, zel_confd_unstage},
    zel_stage{"sysmgr-link", zel_sysmgr_init, zel_sysmgr_deinit},
    zel_stage{"stage1-complete", zel_stage1_complete, nullptr},
    zel_stage{"dpi", zel_dpi_stage, zel_dpi_unstage},
};

// An orderly stop closes the links to the other daemons before it frees what they
// announce, then the data plane, the timers and the loop; a failed start-up simply
// undoes its completed stages in reverse.
constexpr std::array g_teardown{
    "sysmgr-link",     "dpi",           "confd",         "compiler-context",   "tabmgr-link", "kro-link",
    "access-lists",    "policy-tables", "sla-classes",   "forwarding-classes", "dpi-mode",    "program-allocator",
    "dataplane-start", "base-timer",    "dataplane-ops", "event-loop",         "syslog",
};

}  // namespace

std::span<const zel_stage> zel_default_stages() { return g_stages; }

std::span<const char *const> zel_teardown_order() { return g_teardown; }

int zel_init_with(zel_ctx *ctx, std::span<const zel_stage> stages)
{
    for (size_t i = 0; i < stages.size(); i++) {
        int rc = stages[i].init != nullptr ? stages[i].init(ctx) : 0;
        if (rc != 0) {
            ZEL_LOG("Start-up stage %s failed: %d", stages[i].name, rc);
            zel_deinit_with(ctx, stages.first(i));
            return rc;
        }
    }
    ZEL_LOG("Initialization - Stage 2 complete");
    return 0;
}

int zel_deinit_with(zel_ctx *ctx, std::span<const zel_stage> stages)
{
    for (auto it = stages.rbegin(); it != stages.rend(); ++it)
        if (it->undo != nullptr)
            it->undo(ctx);
    return 0;
}

int zel_dpi_inline_init(zel_ctx *ctx, int (*dpi_init)(zel_ctx *))
{
    ZEL_LOG("Inline initialization - DPI start");
    int rc = dpi_init != nullptr ? dpi_init(ctx) : 0;
    if (rc != 0)
        ZEL_LOG("Inline DPI initialization failed: %d", rc);
    ZEL_LOG("Inline Initialization - DPI end");
    return 0;
}

int zel_init(zel_ctx *ctx) { return zel_init_with(ctx, zel_default_stages()); }

int zel_deinit(zel_ctx *ctx)
{
    for (std::string_view name : g_teardown)
        for (const zel_stage &stage : g_stages)
            if (name == stage.name && stage.undo != nullptr)
                stage.undo(ctx);
    return 0;
}
