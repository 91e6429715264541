// KRO link: transport locators (TLOCs) learned from krod.
//
// zeld is krod's CLIENT. When the link comes up it sends two requests; krod then reports locator
// updates (type 5) and withdrawals (type 6), which the link hands to the TLOC table of the policy
// model (policy/zel_tloc.h).
#pragma once

#include <cstdint>

#include "common/msgq_util.h"
#include "daemon/zel.h"

inline constexpr uint32_t ZEL_KRO_REQ_SUBSCRIBE = 1;

// The link (own 9, target krod 2, CLIENT) and the peer table; 12 when the
// link cannot be made.
int zel_kro_init(zel_ctx *ctx);
// Closes the link and frees every entry no policy refers to; the rest go when
// their last reference is dropped (zel_kro_ref_remove).
void zel_kro_deinit(zel_ctx *ctx);

void zel_kro_up(msgq_handle_t *h, void *arg);
void zel_kro_down(msgq_handle_t *h, void *arg);
void zel_kro_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg);
