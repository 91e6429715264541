// zeld's module on the ConfD layer: its subscription points, action points and
// hooks, and the configuration-database start-up stage.
#pragma once

#include "cfgd/cfgd_api.h"
#include "daemon/zel.h"

inline constexpr unsigned ZEL_CONFD_NUM_POINTS = 35;
inline constexpr unsigned ZEL_CONFD_NUM_ACTIONS = 34;

// The daemon's subscription table in subscription order (ZEL_CONFD_NUM_POINTS entries
// and the empty end entry). Handlers are filled in by the configuration handlers
// before the stage runs; a point without one is subscribed and acknowledged only.
cfgd_sub_point *zel_confd_sub_points();
// The action table (ZEL_CONFD_NUM_ACTIONS entries and the empty end entry).
confd_action_cbs *zel_confd_action_points();

// Handlers and callbacks of the modules that serve points of the tables, set before the stage
// runs (null clears). 0; 2 when the table has no such point.
int zel_confd_set_handler(const char *path, cfgd_sub_handler handler);
int zel_confd_set_action(const char *actionpoint, decltype(confd_action_cbs::command) command,
                         decltype(confd_action_cbs::action) action);

// The commit hook run after every fully handled notification, and the registration of
// the data callbacks; both optional until their subsystems exist.
using zel_confd_commit_fn = void (*)(zel_ctx *ctx, int trigger);
using zel_confd_data_cbs_fn = int (*)(cfgd_context *cfgd);
void zel_confd_set_commit_hook(zel_confd_commit_fn fn);
void zel_confd_set_data_cbs_hook(zel_confd_data_cbs_fn fn);

// Start-up stage: 0 (also when ConfD is not up yet: the layer keeps retrying), else the
// layer's fatal result. The teardown frees the connection.
int zel_confd_init(zel_ctx *ctx);
void zel_confd_deinit(zel_ctx *ctx);
// The daemon's connection, null outside the stage.
cfgd_context *zel_confd_context();
