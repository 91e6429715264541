#include "daemon/zel_kro.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common/qor_util.h"
#include "common/zel_log.h"

namespace
{

int ref_addr_cmp(const void *a, const void *b)
{
    auto pa = reinterpret_cast<uintptr_t>(static_cast<const zel_kro_ref *>(a)->p_rec);
    auto pb = reinterpret_cast<uintptr_t>(static_cast<const zel_kro_ref *>(b)->p_rec);
    return (pa > pb) - (pa < pb);
}

int no_mark(zel_kro_ref *) { return 74; }
int no_pass(zel_ctx *) { return 0; }

zel_kro_policy_ops g_policy_ops = {ref_addr_cmp, no_mark, no_pass};

void *kro_alloc(size_t size) { return calloc(1, size); }
void kro_free(void *p) { free(p); }
void kro_aux(msgq_handle_t *, void *) {}

zel_kro_peer *peer_new(zel_ctx *ctx, const tloc_key_t *key)
{
    auto *peer = static_cast<zel_kro_peer *>(calloc(1, sizeof(zel_kro_peer)));
    if (!peer)
        return nullptr;
    peer->key = *key;
    avl_add(&ctx->kro_peers, peer);
    avl_create(&peer->refs, g_policy_ops.ref_compar, sizeof(zel_kro_ref), offsetof(zel_kro_ref, node));
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
        g_policy_ops.mark_changed(ref);
    g_policy_ops.process_policies(ctx);
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

void zel_kro_set_policy_ops(const zel_kro_policy_ops *ops)
{
    g_policy_ops = ops ? *ops : zel_kro_policy_ops{ref_addr_cmp, no_mark, no_pass};
}

int zel_kro_peer_cmp(const void *a, const void *b)
{
    return tloc_key_cmp(&static_cast<const zel_kro_peer *>(a)->key, &static_cast<const zel_kro_peer *>(b)->key);
}

void zel_kro_table_init(zel_ctx *ctx)
{
    avl_create(&ctx->kro_peers, zel_kro_peer_cmp, sizeof(zel_kro_peer), offsetof(zel_kro_peer, node));
}

int zel_kro_init(zel_ctx *ctx)
{
    const msgq_params_t params = msgq_unix_params(ctx->base, ctx->tmr_mgr, LOG_LOCAL7);
    const msgq_cbs_t cbs = {zel_kro_up, zel_kro_down, kro_aux, zel_kro_read, kro_alloc, kro_free};
    ctx->kro_link = msgq_init(QOR_DAEMON_ID_ZELD, QOR_DAEMON_ID_KROD, MSGQ_CLIENT, &params, &cbs, ctx);
    if (!ctx->kro_link)
        return 12;
    zel_kro_table_init(ctx);
    return 0;
}

void zel_kro_deinit(zel_ctx *ctx)
{
    msgq_close(ctx->kro_link);
    ctx->kro_link = nullptr;
    if (!ctx->kro_peers.avl_compar)
        return;
    for (auto *peer = static_cast<zel_kro_peer *>(avl_first(&ctx->kro_peers)); peer;) {
        auto *next = static_cast<zel_kro_peer *>(AVL_NEXT(&ctx->kro_peers, peer));
        if (avl_is_empty(&peer->refs))
            peer_free(ctx, peer);
        peer = next;
    }
}

void zel_kro_up(msgq_handle_t *h, void *arg)
{
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Connection to KRO came up. p_msgq %p p_zel %p\n", static_cast<void *>(h), arg);
    for (uint32_t index = 0; index < 2; index++) {
        void *p_msg = msgq_alloc_msg(h, KRO_MSG_LEN);
        ZEL_ASSERT_AT("zel_kro", 139, p_msg != NULL);
        kro_msg_t req{};
        req.type = KRO_MSG_REQUEST;
        req.src = QOR_DAEMON_ID_ZELD;
        req.index = index;
        req.body.req.subscribe = ZEL_KRO_REQ_SUBSCRIBE;
        req.body.req.resync = 0;
        uint32_t len = 0;
        int rc = kro_msg_encode(&req, p_msg, KRO_MSG_LEN, &len);
        if (rc != 0)
            msgq_free_msg(h, p_msg);
        ZEL_ASSERT_AT("zel_kro", 147, rc == 0);
        rc = msgq_write(h, p_msg, len);
        if (rc != 0)
            msgq_free_msg(h, p_msg);
        ZEL_ASSERT_AT("zel_kro", 152, rc == 0);
    }
}

void zel_kro_down(msgq_handle_t *h, void *arg)
{
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Connection to KRO went down. p_msgq %p p_zel %p\n", static_cast<void *>(h), arg);
}

void zel_kro_read(msgq_handle_t *h, void *payload, uint32_t len, void *arg)
{
    auto *ctx = static_cast<zel_ctx *>(arg);
    kro_msg_t msg;
    int rc = kro_msg_decode(&msg, payload, len);
    if (rc != 0 || msg.src > QOR_DAEMON_ID_MAX) {
        ZEL_LOG("Discarding KRO Msg of %u bytes that does not decode (%d)", len, rc);
        msgq_free_msg(h, payload);
        return;
    }
    ZEL_DEBUG(ZEL_DEBUG_KRO, "Received KRO Msg %d of %d bytes from %s\n", static_cast<int>(msg.type),
              static_cast<int>(len), qor_util_daemon_name(msg.src));
    if (msg.type == KRO_MSG_TLOC_UPDATE)
        zel_kro_tloc_update(ctx, &msg);
    else if (msg.type == KRO_MSG_TLOC_WITHDRAW)
        zel_kro_tloc_withdraw(ctx, &msg);
    msgq_free_msg(h, payload);
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
    if (avl_is_empty(&peer->refs) && (!peer->resolved || !ctx->kro_link))
        peer_free(ctx, peer);
}
