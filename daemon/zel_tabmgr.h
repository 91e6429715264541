// Table-manager link: zeld is the SERVER that pxrd registers with.
//
// When pxrd registers, every policy announces the VPNs of each of its VPN lists and every access
// list its interfaces (zel_policy_announce); the binding message itself belongs to the policy
// module (policy/zel_bind.h).
#pragma once

#include "common/msgq_util.h"
#include "daemon/zel.h"

// SERVER link on "/var/run/.zeld" for pxrd (own 9, target 3); 12 on failure.
int zel_tabmgr_init(zel_ctx *ctx);
void zel_tabmgr_deinit(zel_ctx *ctx);

// pxrd registered: every binding is announced again.
void zel_tabmgr_up(msgq_handle_t *h, void *arg);
