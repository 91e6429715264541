// The TLOC table: transport locators learned from krod, and the policy records that name them.
//
// krod's reports (through the KRO link) keep one entry per locator, ordered by key. A policy
// sequence that names a locator holds a reference record in the entry; a change of the locator
// marks every referring policy, vpn-list and sequence changed and runs a processing pass. An entry
// lives while krod reports it or a policy refers to it.
#pragma once

#include <cstdint>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/zel_ctx.h"
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
    avl_tree_t refs;   // zel_kro_ref records, ordered by the record they belong to
};
static_assert(offsetof(zel_kro_peer, node) == 0);

// A reference to a locator, embedded in the policy record that holds it (p_rec points back to that
// record, a zel_tloc_ref).
struct zel_kro_ref {
    avl_node_t node;
    void *p_rec;
};

// The empty table (the KRO link's stage makes it).
void zel_kro_table_init(zel_ctx *ctx);
// Frees every entry no policy refers to; the rest go with their last reference.
void zel_kro_table_prune(zel_ctx *ctx);

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
