// Operator commands served on the configuration database's action points (dumps, clearing statistics,
// switching the debug categories, explaining a packet) and the show data served on its callpoints.
// Each module that serves commands exports its records; the configuration-database stage registers
// them under the action points of the YANG model.
#pragma once

#include <span>

#include "platform/cdb/confd_lib.h"

struct zel_ctx;
struct cfgd_context;

// The clear and debug commands, one record each (name and action callback).
std::span<const confd_action_cbs> zel_oper_actions();

// The daemon context of a command's session (the one the configuration layer registered).
zel_ctx *zel_oper_ctx(const confd_user_info *uinfo);

// Registers the show callpoints' data callbacks on the database connection: 0, or non-zero (logged) at
// the first registration that fails.
int zel_show_init(cfgd_context *cfgd);
