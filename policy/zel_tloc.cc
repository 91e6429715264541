#include "policy/zel_tloc.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <type_traits>

#include "policy/zel_config.h"
#include "policy/zel_publish.h"

namespace
{

// References are ordered by the policy record they belong to.
int tloc_ref_cmp(const void *a, const void *b)
{
    auto pa = reinterpret_cast<uintptr_t>(static_cast<const zel_kro_ref *>(a)->p_rec);
    auto pb = reinterpret_cast<uintptr_t>(static_cast<const zel_kro_ref *>(b)->p_rec);
    return (pa > pb) - (pa < pb);
}

void mark_tloc_ref(zel_kro_ref *ref)
{
    auto *rec = static_cast<zel_tloc_ref *>(ref->p_rec);
    if (!rec || !rec->policy)
        return;
    rec->policy->changed = 1;
    if (rec->pvl)
        rec->pvl->changed = 1;
    if (rec->seq)
        rec->seq->changed = 1;
}

zel_kro_peer *peer_new(zel_ctx *ctx, const tloc_key_t *key)
{
    auto *peer = static_cast<zel_kro_peer *>(calloc(1, sizeof(zel_kro_peer)));
    if (!peer)
        return nullptr;
    peer->key = *key;
    avl_add(&ctx->kro_peers, peer);
    avl_create(&peer->refs, tloc_ref_cmp, sizeof(zel_kro_ref), offsetof(zel_kro_ref, node));
    return peer;
}

void peer_free(zel_ctx *ctx, zel_kro_peer *peer)
{
    avl_remove(&ctx->kro_peers, peer);
    avl_destroy(&peer->refs);
    free(peer);
}

// Marks every policy-side record that uses the locator, then recompiles.
void rerun_policies(zel_ctx *ctx, zel_kro_peer *peer)
{
    for (auto *ref = static_cast<zel_kro_ref *>(avl_first(&peer->refs)); ref;
         ref = static_cast<zel_kro_ref *>(AVL_NEXT(&peer->refs, ref)))
        mark_tloc_ref(ref);
    zel_process_policies(ctx);
}

// The IPv4 key of a locator body; false for other families.
bool body_key(const kro_tloc_body_t &body, tloc_key_t *key)
{
    if (body.family != AF_INET)
        return false;
    *key = {};
    key->addr.family = AF_INET;
    key->addr.v4 = ntohl(body.addr.v4);
    key->color = body.color;
    key->encap = body.encap;
    return true;
}

}  // namespace

int zel_kro_peer_cmp(const void *a, const void *b)
{
    return tloc_key_cmp(&static_cast<const zel_kro_peer *>(a)->key, &static_cast<const zel_kro_peer *>(b)->key);
}

void zel_kro_table_init(zel_ctx *ctx)
{
    avl_create(&ctx->kro_peers, zel_kro_peer_cmp, sizeof(zel_kro_peer), offsetof(zel_kro_peer, node));
}

void zel_kro_table_prune(zel_ctx *ctx)
{
    if (!ctx->kro_peers.avl_compar)
        return;
    for (auto *peer = static_cast<zel_kro_peer *>(avl_first(&ctx->kro_peers)); peer;) {
        auto *next = static_cast<zel_kro_peer *>(AVL_NEXT(&ctx->kro_peers, peer));
        if (avl_is_empty(&peer->refs))
            peer_free(ctx, peer);
        peer = next;
    }
}

int zel_kro_tloc_update(zel_ctx *ctx, const kro_msg_t *msg)
{
    const kro_tloc_body_t &body = msg->body.tloc;
    tloc_key_t key;
    if (!body_key(body, &key))
        return 74;
    zel_kro_peer *peer = zel_kro_peer_find(ctx, &key);
    const bool was_resolved = peer && peer->resolved;
    if (!peer) {
        peer = peer_new(ctx, &key);
        if (!peer)
            return 12;
        peer->resolved = 1;
    }
    bool changed = false;
    auto store = [&changed](auto &field, uint32_t value) {
        if (field != value)
            changed = true;
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
    };
    store(peer->pref, body.pref);
    store(peer->weight, body.weight);
    store(peer->state, body.state);
    store(peer->tloc_index, body.tloc_index);
    peer->flags = body.local == 1 ? 1 : 0;
    if (was_resolved && !changed)
        return 0;
    peer->resolved = 1;
    rerun_policies(ctx, peer);
    return 0;
}

int zel_kro_tloc_withdraw(zel_ctx *ctx, const kro_msg_t *msg)
{
    tloc_key_t key;
    if (!body_key(msg->body.tloc, &key))
        return 74;
    zel_kro_peer *peer = zel_kro_peer_find(ctx, &key);
    if (!peer)
        return 2;
    if (!avl_is_empty(&peer->refs)) {
        peer->resolved = 0;
        rerun_policies(ctx, peer);
    } else {
        peer_free(ctx, peer);
    }
    return 0;
}

zel_kro_peer *zel_kro_peer_find(zel_ctx *ctx, const tloc_key_t *key)
{
    zel_kro_peer probe;
    probe.key = *key;
    return static_cast<zel_kro_peer *>(avl_find(&ctx->kro_peers, &probe, nullptr));
}

zel_kro_peer *zel_kro_peer_get(zel_ctx *ctx, const tloc_key_t *key)
{
    if (zel_kro_peer *peer = zel_kro_peer_find(ctx, key))
        return peer;
    return peer_new(ctx, key);
}

void zel_kro_ref_add(zel_kro_peer *peer, zel_kro_ref *ref) { avl_add(&peer->refs, ref); }

void zel_kro_ref_remove(zel_ctx *ctx, zel_kro_peer *peer, zel_kro_ref *ref)
{
    avl_remove(&peer->refs, ref);
    if (avl_is_empty(&peer->refs) && (!peer->resolved || !ctx->links.kro))
        peer_free(ctx, peer);
}
