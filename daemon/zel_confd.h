// The configuration-database stage: zeld's module on the ConfD layer.
//
// The stage hands the layer the policy module's configuration points, the action points and the
// commit hook, and fills the configuration services of the daemon context while connected.
#pragma once

#include <iterator>

#include "cfgd/cfgd_api.h"
#include "daemon/zel.h"
#include "yang/zel_yang_hashes.h"

inline constexpr unsigned ZEL_CONFD_NUM_ACTIONS = std::size(zel_yang_actionpoints);

// Start-up stage: 0 (also when ConfD is not up yet: the layer keeps retrying), else the layer's
// fatal result. The undo frees the connection and clears the services.
int zel_confd_stage(zel_ctx *ctx);
void zel_confd_unstage(zel_ctx *ctx);

// The commit hook: the processing pass, then the state words in shared memory.
void zel_commit_done(zel_ctx *ctx);
