// The daemon context: one per process, owned by the start-up table.
//
// Every module below the daemon sees the process through this record only, so it names other
// layers by forward declaration and never includes their headers. Where a lower layer must call
// up (the data plane into the policy retry, the policy model into the configuration database or
// the inspection engine), it calls through a services block. Each block belongs to one start-up
// stage: that stage fills it and its undo clears it, so a second init/deinit cycle starts from
// exactly the state of the first. A null member means the service is not running; callers treat
// it as the service's absence (no notification sent, names resolving to 0), never as an error.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/avl.h"

struct event;
struct event_base;
struct timer_mgr;
struct msgq_handle;
struct sysmgr_link;
struct zel_policy_db;
struct compile_context;
struct program_allocator;
struct zel_dp_ops;
struct cfgd_context;
struct confd_tag_value;
struct zel_ctx;

// Forwarding plane ("dataplane-ops" stage; the retry is the "policy-tables" stage's).
struct zel_dp_services {
    const zel_dp_ops *ops;
    // Programs and access lists that found no program memory are retried once blocks come free.
    void (*oom_retry)(zel_ctx *ctx, uint32_t blocks_freed);
};

// Program memory ("program-allocator" stage) and the one compile context that uses it
// ("compiler-context" stage).
struct zel_compile_services {
    const program_allocator *program_memory;
    compile_context *compiler;
};

// Links to the peer daemons, each owned by its link's stage.
struct zel_link_services {
    msgq_handle *tabmgr;  // pxrd
    msgq_handle *kro;     // krod
    sysmgr_link *sysmgr;
    // Wall-clock time of the last hello sent to the system manager, 0 before the first.
    time_t (*sysmgr_last_hello)(const sysmgr_link *link);
};

// The configuration database ("confd" stage).
struct zel_cfg_services {
    cfgd_context *cfgd;
    // Sends one notification of n tag values on the daemon's stream; -1 when it cannot.
    int (*notify)(zel_ctx *ctx, confd_tag_value *values, int n);
    // The VRF id of a VPN read from the running configuration; false when it cannot be read.
    bool (*vrf_id)(uint64_t vpn, uint16_t *vrf);
};

// The inspection engine ("dpi" stage).
struct zel_dpi_services {
    // The engine's identifier of an application name, 0 when unknown.
    uint32_t (*app_id)(const char *name);
};

struct zel_ctx {
    event_base *base;
    event *usr1_ev;
    event *usr2_ev;
    event *base_timer_ev;  // pure timeout, re-added every tick
    timer_mgr *tmr_mgr;
    // Serves high-priority timers from inside long work ("base-timer" stage).
    int (*kick)();
    struct timespec last_kick;  // monotonic time of the last kick that ran

    zel_dp_services dp;
    zel_compile_services compile;
    zel_link_services links;
    zel_cfg_services cfg;
    zel_dpi_services dpi;

    // Who needs the forwarding plane to inspect applications ("Policy DPI Reference": the
    // app-visibility switch and every policy reference on an application list) and to report flows
    // ("Policy Flow Reference"); the commit hook hands both to the forwarding plane.
    uint32_t dpi_refs;
    uint32_t flow_refs;

    // Tables, each owned by its stage.
    zel_policy_db *policy_db;
    avl_tree_t kro_peers;
    avl_tree_t fc_table;
};
