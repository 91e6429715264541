#include "compiler/eclass.h"
#include "compiler/zel_compiler.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace
{

struct Classes : testing::Test {
    compile_context *ctx = zel_compile_context_new(nullptr);
    rule_table *rt = zel_rule_table_create("t", "a", 0, nullptr);
    ~Classes() override
    {
        zel_compile_context_free(ctx);
        zel_rule_table_free(rt);
    }
    eclass_table *table(uint32_t id)
    {
        rbst_node *n = rbst_find(&ctx->tables, &id);
        return n ? static_cast<eclass_table *>(n->value) : nullptr;
    }
    // Rows in order as (low, high, class).
    static std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> rows(eclass_table *t)
    {
        std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> out;
        for (const eclass_interval &iv : eclass_rows(t))
            out.emplace_back(iv.low, iv.high, iv.class_id);
        return out;
    }
    static uint32_t bits(const epi *v)
    {
        uint32_t b = 0;
        for (int32_t i = 0; i < v->nbits; i++)
            b |= static_cast<uint32_t>(epi_get_bit(v, i)) << i;
        return b;
    }
    std::vector<uint32_t> boundaries(eclass_table *t)
    {
        std::vector<uint32_t> out;
        for (rbst_node *n = rbst_next(&t->boundaries, nullptr); n; n = rbst_next(&t->boundaries, n))
            out.push_back(*static_cast<uint32_t *>(n->key));
        return out;
    }
};

using row = std::tuple<uint32_t, uint32_t, uint32_t>;

TEST_F(Classes, OverlappingRangesSplitIntoClassesPerRuleSet)
{
    // r0 [10,30], r1 [20,40] and [50,60], r2 no condition, r3 identical to r0.
    rule *r0 = zel_rule_add(rt, "0"), *r1 = zel_rule_add(rt, "1");
    zel_rule_add(rt, "2");
    rule *r3 = zel_rule_add(rt, "3");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_PKT_LEN);
    zel_field_add_range(ctx, r0, id, 10, 30);
    zel_field_add_range(ctx, r1, id, 20, 40);
    zel_field_add_range(ctx, r1, id, 50, 60);
    zel_field_add_range(ctx, r3, id, 10, 30);
    eclass_table *t = table(id);
    EXPECT_EQ(boundaries(t), (std::vector<uint32_t>{0, 10, 20, 31, 41, 50, 61, 0xFFFFFFFF}));
    ASSERT_EQ(eclass_build_field(ctx, rt, t), 0);
    std::vector<uint32_t> got;
    for (const row &r : rows(t))
        got.push_back(bits(eclass_vector(t, std::get<2>(r))));
    EXPECT_EQ(got, (std::vector<uint32_t>{0b0100, 0b1101, 0b1111, 0b0110, 0b0100, 0b0110, 0b0100}));
    EXPECT_EQ(t->class_count, 4u);

    // The sweep agrees with evaluating every rule at each row's low bound.
    epi *v = epi_new(4);
    for (const row &r : rows(t)) {
        zel_field_eval_rules(rt, t, v, std::get<0>(r));
        EXPECT_EQ(bits(v), bits(eclass_vector(t, std::get<2>(r))));
        EXPECT_EQ(eclass_lookup(t, v), std::get<2>(r));
    }
    epi_free(v);
}

// Prefixes of random lengths are compared with a linear search in the property test; here the lengths
// outside 0 ... 32.
TEST_F(Classes, PrefixLengthBeyond32IsRefused)
{
    rule *r = zel_rule_add(rt, "0");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_SRC_ADDR);
    const uint8_t net[4] = {192, 168, 1, 0};
    EXPECT_EQ(zel_field_add_prefix(ctx, r, id, net, 33), 22);
    ASSERT_EQ(zel_field_add_prefix(ctx, r, id, net, 0), 0);
    EXPECT_EQ(boundaries(table(id)), (std::vector<uint32_t>{0, 0xFFFFFFFF}));
}

TEST(RuleTableDeath, NamesAreCutAndInvariantsHold)
{
    rule_table *t = zel_rule_table_create(std::string(200, 'n').c_str(), "1vpn", 0, nullptr);
    EXPECT_EQ(strlen(t->name), 127u);
    EXPECT_DEATH(zel_rule_at(t, 0), "zel_ruletable:[0-9]+: failed assertion `r != NULL'");
    zel_rule_table_free(t);
    EXPECT_DEATH(zel_rule_table_create("x", "y", 8, nullptr), "zel_ruletable:[0-9]+: failed assertion `action_data'");
}

}  // namespace
