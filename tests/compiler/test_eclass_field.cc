#include "compiler/eclass.h"
#include "compiler/zel_compiler.h"

#include <gtest/gtest.h>

#include <random>
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

TEST_F(Classes, FieldWithoutRangesHasOneAllOnesRow)
{
    zel_rule_add(rt, "1");
    zel_rule_add(rt, "2");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_DSCP);
    eclass_table *t = table(id);
    ASSERT_EQ(eclass_build_field(ctx, rt, t), 0);
    EXPECT_EQ(rows(t), (std::vector<row>{{0, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(bits(eclass_vector(t, 0)), 0x3u);
}

TEST_F(Classes, OneRangeGivesThreeRowsTwoClasses)
{
    rule *r = zel_rule_add(rt, "1");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_SRC_PORT);
    ASSERT_EQ(zel_field_add_range(ctx, r, id, 20, 10), 0);  // either order
    EXPECT_EQ(r->matches[0].ranges[0].min, 10u);
    EXPECT_EQ(r->matches[0].ranges[0].max, 20u);
    EXPECT_EQ(r->matches[0].field, uint32_t{ZEL_CF_SRC_PORT});
    eclass_table *t = table(id);
    ASSERT_EQ(eclass_build_field(ctx, rt, t), 0);
    EXPECT_EQ(rows(t), (std::vector<row>{{0, 10, 0}, {10, 21, 1}, {21, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(t->class_count, 2u);
}

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

TEST_F(Classes, RangeToTheTopAddsNoWrappedBoundary)
{
    rule *r = zel_rule_add(rt, "0");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_DST_ADDR);
    zel_field_add_range(ctx, r, id, 0x80000000, 0xFFFFFFFF);
    EXPECT_EQ(boundaries(table(id)), (std::vector<uint32_t>{0, 0x80000000, 0xFFFFFFFF}));
    ASSERT_EQ(eclass_build_field(ctx, rt, table(id)), 0);
    EXPECT_EQ(rows(table(id)), (std::vector<row>{{0, 0x80000000, 0}, {0x80000000, 0xFFFFFFFF, 1}}));
}

TEST_F(Classes, CombineNumbersKeysByClassPairs)
{
    // A: 2 classes on PROTOCOL; B: 3 classes on DSCP.
    rule *r0 = zel_rule_add(rt, "0"), *r1 = zel_rule_add(rt, "1");
    const uint32_t a = zel_field_table(ctx, ZEL_CF_PROTOCOL), b = zel_field_table(ctx, ZEL_CF_DSCP);
    zel_field_add_range(ctx, r0, a, 6, 6);
    zel_field_add_range(ctx, r1, a, 6, 6);
    zel_field_add_range(ctx, r0, b, 1, 1);
    zel_field_add_range(ctx, r1, b, 2, 2);
    ASSERT_EQ(eclass_build_field(ctx, rt, table(a)), 0);
    ASSERT_EQ(eclass_build_field(ctx, rt, table(b)), 0);
    ASSERT_EQ(table(a)->class_count, 2u);
    ASSERT_EQ(table(b)->class_count, 3u);
    eclass_table *t = eclass_combine(ctx, table(a), table(b));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->id, 3u);
    EXPECT_EQ(t->reg, 3u);
    EXPECT_EQ(t->combined, 1);
    const auto rs = rows(t);
    ASSERT_EQ(rs.size(), 6u);
    for (uint32_t key = 0; key < 6; key++) {
        EXPECT_EQ(std::get<0>(rs[key]), key);
        EXPECT_EQ(std::get<1>(rs[key]), key + 1);
        // Key = class of A x 3 + class of B; its vector is the AND of the two.
        const uint32_t want = bits(eclass_vector(table(a), key / 3)) & bits(eclass_vector(table(b), key % 3));
        EXPECT_EQ(bits(eclass_vector(t, std::get<2>(rs[key]))), want) << key;
    }
    // Class ids follow first appearance while both sides are visited in bit-vector order.
    EXPECT_EQ(bits(eclass_vector(t, 0)), 0u);
}

TEST_F(Classes, PrefixToRangeForEveryLength)
{
    const uint8_t addr[4] = {0xC0, 0xA8, 0x01, 0x37};
    const uint32_t a = 0xC0A80137;
    for (uint32_t len = 0; len <= 32; len++) {
        uint32_t lo, hi;
        zel_prefix_range(addr, len, &lo, &hi);
        const uint64_t span = 1ull << (32 - len);
        EXPECT_EQ(lo, static_cast<uint32_t>(a / span * span)) << len;
        EXPECT_EQ(uint64_t{hi} - lo + 1, span) << len;
    }
    rule *r = zel_rule_add(rt, "0");
    const uint32_t id = zel_field_table(ctx, ZEL_CF_SRC_ADDR);
    const uint8_t net[4] = {192, 168, 1, 0};
    ASSERT_EQ(zel_field_add_prefix(ctx, r, id, net, 24), 0);
    EXPECT_EQ(r->matches[0].ranges[0].min, 0xC0A80100u);
    EXPECT_EQ(r->matches[0].ranges[0].max, 0xC0A801FFu);
    EXPECT_EQ(boundaries(table(id)), (std::vector<uint32_t>{0, 0xC0A80100, 0xC0A80200, 0xFFFFFFFF}));
    EXPECT_EQ(zel_field_add_prefix(ctx, r, id, net, 33), 22);
    ASSERT_EQ(zel_field_add_prefix(ctx, r, id, net, 0), 0);
    EXPECT_EQ(boundaries(table(id)).size(), 4u);  // [0, 0xFFFFFFFF] adds only 0, already there
}

TEST_F(Classes, FieldTablesAndNames)
{
    EXPECT_EQ(zel_field_table(ctx, 0), 0u);
    EXPECT_EQ(zel_field_table(ctx, 16), 0u);
    const uint32_t first = zel_field_table(ctx, ZEL_CF_APP);
    EXPECT_EQ(zel_field_table(ctx, ZEL_CF_APP), first);
    EXPECT_EQ(zel_field_table(ctx, ZEL_CF_PLP), first + 1);
    EXPECT_EQ(zel_cfield_of_match(ZEL_MATCH_PLP), uint32_t{ZEL_CF_PLP});
    EXPECT_EQ(zel_cfield_of_match(ZEL_MATCH_APP_LIST), 0u);
    EXPECT_EQ(zel_cfield_max_value(ZEL_CF_APP), 4000u);
    EXPECT_STREQ(zel_match_field_name(ZEL_MATCH_TRAFFIC_CLASS), "TRAFFIC_CLASS");
    rule *r = zel_rule_add(rt, "0");
    EXPECT_EQ(zel_field_add_range(ctx, r, 99, 1, 2), 22);
    EXPECT_EQ(zel_rule_add_range(ctx, r, 0, 1, 2), 22);
}

TEST(RuleTable, OrderIdsActionsAndListing)
{
    rule_table *t = zel_rule_table_create(std::string(200, 'n').c_str(), "1vpn", 0, nullptr);
    EXPECT_EQ(strlen(t->name), 127u);
    EXPECT_EQ(t->default_action.hdr.length, 8u);
    EXPECT_EQ(t->default_action.hdr.flags, 1u);
    rule *a = zel_rule_add(t, "10"), *b = zel_rule_add(t, "20");
    EXPECT_EQ(a->id, 1u);
    EXPECT_EQ(b->id, 2u);
    EXPECT_EQ(zel_rule_count(t), 2u);
    EXPECT_EQ(zel_rule_at(t, 1), b);
    const uint8_t data[3] = {0xAB, 1, 2};
    const action_block *blk = zel_rule_set_action(a, 3, data);
    EXPECT_EQ(blk->hdr.length, 11u);
    EXPECT_EQ(blk->hdr.flags, 0u);
    EXPECT_EQ(zel_rule_match(a, 1), nullptr);
    a->matches.push_back({1, ZEL_CF_TCP, {{5, 6}}});
    EXPECT_EQ(zel_rule_match(a, 1), &a->matches[0]);

    testing::internal::CaptureStdout();
    zel_print_table(t);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind(" zel_print_table: table " + std::string(127, 'n') + " alias: 1vpn\n", 0), 0u);
    EXPECT_NE(out.find("-------------------------------- Rule 10 \n-------------------------------- \tField Id 8 \n"
                       "\t\tmin = 0x5 \n\t\tmax_val = 0x6 \n\tAction:\n \t\tflags = 0x0 \n \t\tlen = 11 \n "
                       "\t\tdata[0] = 0xab \n \n"),
              std::string::npos);
    zel_rule_table_free(t);
    zel_rule_table_free(nullptr);
}

TEST(RuleTableDeath, RuleBeyondTheListIsAnInvariant)
{
    rule_table *t = zel_rule_table_create("x", "y", 0, nullptr);
    EXPECT_DEATH(zel_rule_at(t, 0), "zel_ruletable:[0-9]+: failed assertion `r != NULL'");
    zel_rule_table_free(t);
}

TEST(RuleTableDeath, ActionLengthWithoutDataIsAnInvariant)
{
    EXPECT_DEATH(zel_rule_table_create("x", "y", 8, nullptr), "zel_ruletable:[0-9]+: failed assertion `action_data'");
}

}  // namespace
