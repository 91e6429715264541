// KRO link: transport locators (TLOCs) learned from krod.
//
// zeld is krod's CLIENT. When the link comes up it sends two requests; krod
// then reports locator updates (type 5) and withdrawals (type 6), which keep
// the KRO peer table in the daemon context. Policies that name a locator hold
// reference records in its entry; a change of the locator marks them changed
// and runs a processing pass through the policy hooks below.
#pragma once

#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/msgq_util.h"
#include "daemon/zel.h"
#include "platform/kro/kro_msg.h"

// Entry of the KRO peer table, ordered by key (zel_kro_peer_cmp).
struct zel_kro_peer {
    avl_node_t node;
    tloc_key_t key;
    uint32_t tloc_index;  // written into TLOC actions
    uint32_t pref;        // second value reported with the locator
    uint32_t weight;
    uint8_t state;     // 1 up
    uint8_t resolved;  // 1 while krod reports the locator
    uint8_t flags;     // 1 when krod flags the locator as local
    avl_tree_t refs;   // zel_kro_ref records of the policy side
};
static_assert(offsetof(zel_kro_peer, node) == 0);

// A reference to a locator; the policy side embeds it in its own record
// (the one that links the policy, the VPN-list binding and the sequence).
struct zel_kro_ref {
    avl_node_t node;
    void *p_rec;
};

// What the KRO link needs of the policy model. Until the policy side installs
// its operations, references are ordered by record address, marking them
// does nothing (74) and no processing pass runs.
struct zel_kro_policy_ops {
    avl_compar_fn ref_compar;
    // Marks the policy, VPN-list binding and sequence of the reference changed;
    // 74 when the reference has no record or the record no policy.
    int (*mark_changed)(zel_kro_ref *ref);
    // Recompiles every policy VPN list marked changed (zel_process_policies).
    int (*process_policies)(zel_ctx *ctx);
};
void zel_kro_set_policy_ops(const zel_kro_policy_ops *ops);

inline constexpr uint32_t ZEL_KRO_REQ_SUBSCRIBE = 1;

// The link (own 9, target krod 2, CLIENT) and the peer table; 12 when the
// link cannot be made.
int zel_kro_init(zel_ctx *ctx);
// Closes the link and frees every entry no policy refers to; the rest go when
// their last reference is dropped (zel_kro_ref_remove).
void zel_kro_deinit(zel_ctx *ctx);

// The empty peer table alone (zel_kro_init does this).
void zel_kro_table_init(zel_ctx *ctx);

void zel_kro_up(msgq_handle_t *h, void *arg);
void zel_kro_down(msgq_handle_t *h, void *arg);
void zel_kro_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg);

// Locator update (type 5) and withdrawal (type 6) of a decoded message.
// 0; 74 for a locator that is not IPv4; 12 without memory; 2 for the
// withdrawal of an unknown locator.
int zel_kro_tloc_update(zel_ctx *ctx, const kro_msg_t *msg);
int zel_kro_tloc_withdraw(zel_ctx *ctx, const kro_msg_t *msg);

int zel_kro_peer_cmp(const void *a, const void *b);
zel_kro_peer *zel_kro_peer_find(zel_ctx *ctx, const tloc_key_t *key);
// The entry of a locator a policy names; made unresolved when krod has not
// reported it. Null without memory.
zel_kro_peer *zel_kro_peer_get(zel_ctx *ctx, const tloc_key_t *key);
void zel_kro_ref_add(zel_kro_peer *peer, zel_kro_ref *ref);
// Drops a reference; an entry left without references is freed when krod does
// not report it or the link is closed.
void zel_kro_ref_remove(zel_ctx *ctx, zel_kro_peer *peer, zel_kro_ref *ref);
