// SLA classes and forwarding classes: two small name-to-number tables whose changes re-mark the
// policies that name a class.
#include <cstdlib>
#include <cstring>

#include "common/zel_log.h"
#include "policy/zel_config.h"

namespace
{

int class_name_cmp(const char *a, const char *b)
{
    int c = strncmp(a, b, ZEL_CLASS_NAME_LEN);
    return (c > 0) - (c < 0);
}

int sla_cmp(const void *a, const void *b)
{
    return class_name_cmp(static_cast<const zel_sla_class *>(a)->name, static_cast<const zel_sla_class *>(b)->name);
}

int fc_cmp(const void *a, const void *b)
{
    return class_name_cmp(static_cast<const zel_fwd_class *>(a)->info.name,
                          static_cast<const zel_fwd_class *>(b)->info.name);
}

bool valid_class_name(const char *name)
{
    return name != nullptr && strnlen(name, ZEL_CLASS_NAME_LEN) < ZEL_CLASS_NAME_LEN;
}

template <typename Fn>
void for_each_sequence_action(zel_policy_vpn_list &pvl, Fn &&fn)
{
    for (auto &[num, seq] : pvl.sequences)
        for (auto &act : seq->actions)
            fn(*act);
}

// App-route actions and default actions naming the class take its id; their vpn-lists and
// policies become changed.
void sla_mark_users(zel_ctx *ctx, const char *name, uint8_t id)
{
    for (auto &[key, policy] : ctx->policy_db->policies) {
        if (policy->type != ZEL_POLICY_TYPE_PFR)
            continue;
        for (auto &[vname, pvl] : policy->vpn_lists) {
            bool hit = false;
            auto visit = [&](zel_action &a) {
                if (a.param_type == ZEL_ACT_SLA_CLASS && strncmp(a.v.sla_name, name, ZEL_CLASS_NAME_LEN) == 0) {
                    a.sla_index = id;
                    hit = true;
                }
            };
            for_each_sequence_action(*pvl, visit);
            if (pvl->default_action)
                visit(*pvl->default_action);
            if (hit) {
                pvl->changed = 1;
                policy->changed = 1;
            }
        }
    }
}

void fc_mark_users(zel_ctx *ctx, const char *name)
{
    for (auto &[key, policy] : ctx->policy_db->policies) {
        for (auto &[vname, pvl] : policy->vpn_lists) {
            bool hit = false;
            for_each_sequence_action(*pvl, [&](zel_action &a) {
                if (a.code == ZEL_ACT_SET_FC && strncmp(a.v.fc_name, name, ZEL_CLASS_NAME_LEN) == 0)
                    hit = true;
            });
            if (hit) {
                pvl->changed = 1;
                policy->changed = 1;
            }
        }
    }
}

int lowest_clear_bit(const uint8_t *bitmap, uint32_t bits)
{
    for (uint32_t i = 0; i < bits; i++)
        if (!(bitmap[i / 8] & (1u << (i % 8))))
            return static_cast<int>(i);
    return -1;
}

void bit_set(uint8_t *bitmap, uint32_t i) { bitmap[i / 8] |= static_cast<uint8_t>(1u << (i % 8)); }
void bit_clear(uint8_t *bitmap, uint32_t i) { bitmap[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8))); }

}  // namespace

// ----------------------------------------------------------------------------------------------------
// SLA classes.

int zel_sla_class_init(zel_ctx *ctx)
{
    zel_policy_db *db = ctx->policy_db;
    avl_create(&db->sla_classes, sla_cmp, sizeof(zel_sla_class), offsetof(zel_sla_class, node));
    db->sla_bitmap = 0;
    if (int rc = zel_sla_class_add(ctx, ZEL_SLA_ALL_TUNNELS); rc != 0) {
        ZEL_LOG("Failed to add 'all tunnels' sla class, err(%d)\n", rc);
        return -1;
    }
    return 0;
}

void zel_sla_class_deinit(zel_ctx *ctx)
{
    zel_policy_db *db = ctx->policy_db;
    void *cookie = nullptr;
    while (void *c = avl_destroy_nodes(&db->sla_classes, &cookie))
        free(c);
    avl_destroy(&db->sla_classes);
    db->sla_bitmap = 0;
}

int zel_sla_class_find(zel_ctx *ctx, const char *name, zel_sla_class **out)
{
    if (!valid_class_name(name))
        return 2;
    zel_sla_class key{};
    strncpy(key.name, name, ZEL_CLASS_NAME_LEN - 1);
    auto *c = static_cast<zel_sla_class *>(avl_find(&ctx->policy_db->sla_classes, &key, nullptr));
    if (out)
        *out = c;
    return c ? 0 : 2;
}

uint8_t zel_sla_class_id(zel_ctx *ctx, const char *name)
{
    zel_sla_class *c;
    return zel_sla_class_find(ctx, name, &c) == 0 ? c->id : 0;
}

int zel_sla_class_add(zel_ctx *ctx, const char *name)
{
    if (!valid_class_name(name))
        return 22;
    zel_policy_db *db = ctx->policy_db;
    if (zel_sla_class_find(ctx, name, nullptr) == 0)
        return 17;
    int id = lowest_clear_bit(&db->sla_bitmap, ZEL_SLA_CLASS_MAX);
    if (id < 0)
        return 12;
    auto *c = static_cast<zel_sla_class *>(calloc(1, sizeof(zel_sla_class)));
    if (!c)
        return 12;
    bit_set(&db->sla_bitmap, static_cast<uint32_t>(id));
    strncpy(c->name, name, ZEL_CLASS_NAME_LEN - 1);
    c->id = static_cast<uint8_t>(id);
    avl_add(&db->sla_classes, c);
    sla_mark_users(ctx, c->name, c->id);
    return 0;
}

int zel_sla_class_delete(zel_ctx *ctx, const char *name)
{
    zel_sla_class *c;
    if (zel_sla_class_find(ctx, name, &c) != 0)
        return 2;
    zel_policy_db *db = ctx->policy_db;
    avl_remove(&db->sla_classes, c);
    bit_clear(&db->sla_bitmap, c->id);
    // Users fall back to "__all_tunnels__": the freed id may go to another class before the
    // commit re-resolves them by name.
    sla_mark_users(ctx, c->name, 0);
    free(c);
    return 0;
}

// ----------------------------------------------------------------------------------------------------
// Forwarding classes.

int zel_fwd_class_init(zel_ctx *ctx)
{
    avl_create(&ctx->fc_table, fc_cmp, sizeof(zel_fwd_class), offsetof(zel_fwd_class, node));
    memset(ctx->policy_db->fc_bitmap, 0, sizeof ctx->policy_db->fc_bitmap);
    return zel_fwd_class_add(ctx, ZEL_FC_CONTROL, 0);
}

void zel_fwd_class_deinit(zel_ctx *ctx)
{
    void *cookie = nullptr;
    while (void *c = avl_destroy_nodes(&ctx->fc_table, &cookie))
        free(c);
    avl_destroy(&ctx->fc_table);
    if (ctx->policy_db)
        memset(ctx->policy_db->fc_bitmap, 0, sizeof ctx->policy_db->fc_bitmap);
}

zel_fwd_class *zel_fwd_class_find(zel_ctx *ctx, const char *name)
{
    if (!valid_class_name(name) || ctx->fc_table.avl_compar == nullptr)
        return nullptr;
    zel_fwd_class key{};
    strncpy(key.info.name, name, ZEL_CLASS_NAME_LEN - 1);
    return static_cast<zel_fwd_class *>(avl_find(&ctx->fc_table, &key, nullptr));
}

int zel_fwd_class_add(zel_ctx *ctx, const char *name, uint8_t queue)
{
    if (!valid_class_name(name))
        return 22;
    if (zel_fwd_class_find(ctx, name))
        return 17;
    uint8_t *bitmap = ctx->policy_db->fc_bitmap;
    int id = lowest_clear_bit(bitmap, ZEL_FWD_CLASS_MAX);
    if (id < 0)
        return 12;
    auto *c = static_cast<zel_fwd_class *>(calloc(1, sizeof(zel_fwd_class)));
    if (!c)
        return 12;
    bit_set(bitmap, static_cast<uint32_t>(id));
    strncpy(c->info.name, name, ZEL_CLASS_NAME_LEN - 1);
    c->info.id = static_cast<uint32_t>(id);
    c->info.queue = queue;
    avl_add(&ctx->fc_table, c);
    fc_mark_users(ctx, c->info.name);
    return 0;
}

int zel_fwd_class_modify(zel_ctx *ctx, const char *name, uint8_t queue)
{
    zel_fwd_class *c = zel_fwd_class_find(ctx, name);
    if (!c)
        return 2;
    c->info.queue = queue;
    fc_mark_users(ctx, c->info.name);
    return 0;
}

int zel_fwd_class_delete(zel_ctx *ctx, const char *name)
{
    zel_fwd_class *c = zel_fwd_class_find(ctx, name);
    if (!c)
        return 2;
    avl_remove(&ctx->fc_table, c);
    bit_clear(ctx->policy_db->fc_bitmap, c->info.id);
    fc_mark_users(ctx, c->info.name);
    free(c);
    return 0;
}
