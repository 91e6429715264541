#include "compiler/zel_field.h"

#include "common/zel_log.h"
#include "compiler/eclass.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_ruletable.h"

#include <array>
#include <new>

namespace
{

constexpr std::array<const char *, 20> kMatchNames = {
    "MIN",           "PROTOCOL",    "SRC_PORT", "DST_PORT", "SRC_ADDR", "DST_ADDR",   "SRC_PFX_LIST", "DST_PFX_LIST",
    "DSCP",          "FC",          "TCP",      "PKT_LEN",  "APP",      "APP_FAMILY", "APP_LIST",     "MATCH_ANY",
    "TRAFFIC_CLASS", "NEXT_HEADER", "PLP",      "MAX"};

struct cfield_def {
    uint32_t match;
    uint32_t max_value;
};

// Indexed by compiler field id.
constexpr std::array<cfield_def, ZEL_CF_LAST + 1> kCFields = {{
    {ZEL_MATCH_MIN, 0},
    {ZEL_MATCH_PROTOCOL, 255},
    {ZEL_MATCH_SRC_PORT, 65535},
    {ZEL_MATCH_DST_PORT, 65535},
    {ZEL_MATCH_SRC_ADDR, 0xFFFFFFFF},
    {ZEL_MATCH_DST_ADDR, 0xFFFFFFFF},
    {ZEL_MATCH_DSCP, 255},
    {ZEL_MATCH_FC, 64},
    {ZEL_MATCH_TCP, 255},
    {ZEL_MATCH_PKT_LEN, 65535},
    {ZEL_MATCH_APP, 4000},
    {ZEL_MATCH_APP_FAMILY, 100},
    {ZEL_MATCH_MATCH_ANY, 2},
    {ZEL_MATCH_TRAFFIC_CLASS, 255},
    {ZEL_MATCH_NEXT_HEADER, 255},
    {ZEL_MATCH_PLP, 5},
}};

eclass_table *leaf_table(compile_context *ctx, uint32_t table_id)
{
    rbst_node *n = rbst_find(&ctx->tables, &table_id);
    auto *t = n ? static_cast<eclass_table *>(n->value) : nullptr;
    return t && !t->combined ? t : nullptr;
}

}  // namespace

const char *zel_match_field_name(uint32_t match_field)
{
    return match_field < kMatchNames.size() ? kMatchNames[match_field] : "?";
}

uint32_t zel_cfield_of_match(uint32_t match_field)
{
    for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
        if (kCFields[f].match == match_field)
            return f;
    return 0;
}

uint32_t zel_cfield_max_value(uint32_t cfield)
{
    return cfield >= ZEL_CF_FIRST && cfield <= ZEL_CF_LAST ? kCFields[cfield].max_value : 0;
}

uint32_t zel_field_table(compile_context *ctx, uint32_t cfield)
{
    if (cfield < ZEL_CF_FIRST || cfield > ZEL_CF_LAST)
        return 0;
    zel_field_entry &e = ctx->fields[cfield];
    if (e.table_id != 0)
        return e.table_id;
    eclass_table *t = eclass_table_new(ctx, true);
    if (!t)
        return 0;
    if (eclass_add_boundary(t, 0) != 0 || eclass_add_boundary(t, 0xFFFFFFFF) != 0) {
        rbst_node *gone = rbst_remove(&ctx->tables, rbst_find(&ctx->tables, &t->id));
        eclass_table_free(static_cast<eclass_table *>(gone->value));
        rbst_free_node(gone);
        return 0;
    }
    e.table_id = t->id;
    return t->id;
}

static int add_range_common(compile_context *ctx, rule *r, uint32_t table_id, uint32_t min, uint32_t max)
{
    eclass_table *t = leaf_table(ctx, table_id);
    if (!t)
        return 22;
    field_match *m = zel_rule_match(r, table_id);
    try {
        if (!m) {
            uint32_t field = 0;
            for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
                if (ctx->fields[f].table_id == table_id)
                    field = f;
            m = &r->matches.emplace_back(field_match{table_id, field, {}});
        }
        m->ranges.push_back({min, max});
    } catch (const std::bad_alloc &) {
        return 12;
    }
    // max + 1 wraps to 0 for max 0xFFFFFFFF: already a boundary.
    return eclass_add_boundary(t, min) != 0 || eclass_add_boundary(t, max + 1) != 0 ? 12 : 0;
}

int zel_field_add_range(compile_context *ctx, rule *r, uint32_t table_id, uint32_t a, uint32_t b)
{
    return add_range_common(ctx, r, table_id, a < b ? a : b, a < b ? b : a);
}

void zel_prefix_range(const uint8_t addr[4], uint32_t len, uint32_t *low, uint32_t *high)
{
    const uint32_t a = uint32_t{addr[0]} << 24 | uint32_t{addr[1]} << 16 | uint32_t{addr[2]} << 8 | addr[3];
    const uint32_t host_mask = len >= 32 ? 0 : (0xFFFFFFFFu >> len);
    *low = a & ~host_mask;
    *high = *low | host_mask;
}

int zel_field_add_prefix(compile_context *ctx, rule *r, uint32_t table_id, const uint8_t addr[4], uint32_t len)
{
    if (len > 32)
        return 22;
    uint32_t low, high;
    zel_prefix_range(addr, len, &low, &high);
    return add_range_common(ctx, r, table_id, low, high);
}

int zel_rule_add_range(compile_context *ctx, rule *r, uint32_t cfield, uint32_t a, uint32_t b)
{
    const uint32_t id = zel_field_table(ctx, cfield);
    return id ? zel_field_add_range(ctx, r, id, a, b) : 22;
}

int zel_rule_add_prefix(compile_context *ctx, rule *r, uint32_t cfield, const uint8_t addr[4], uint32_t len)
{
    if (len > 32)
        return 22;
    const uint32_t id = zel_field_table(ctx, cfield);
    return id ? zel_field_add_prefix(ctx, r, id, addr, len) : 22;
}

void zel_field_eval_rules(const rule_table *rt, const eclass_table *t, epi *v, uint32_t value)
{
    const rule *rule = rt->head;
    ZEL_ASSERT(rule != NULL);
    for (int32_t i = 0; rule; rule = rule->next, i++) {
        const field_match *m = zel_rule_match(rule, t->id);
        int bit = 1;
        if (m) {
            bit = 0;
            for (const zel_range &rg : m->ranges)
                if (rg.min <= value && value <= rg.max)
                    bit = 1;
        }
        epi_set_bit(v, i, bit);
    }
}
