// Random rule tables over every field, compiled and run against a first-match linear search.
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "image_eval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace
{

struct model_rule {
    // ranges[f]: alternatives on compiler field f; empty = no condition.
    std::vector<zel_range> ranges[16];
};

struct generator {
    std::mt19937 rng;
    explicit generator(uint32_t seed) : rng(seed) {}

    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
    uint32_t any() { return static_cast<uint32_t>(rng()); }

    // A small pool per field so that ranges of different rules share and straddle bounds.
    std::vector<uint32_t> pool()
    {
        std::vector<uint32_t> p = {0, 1, 0xFFFFFFFE, 0xFFFFFFFF};
        const uint32_t span = below(2) ? 1000 : 0xFFFFFFFF;
        for (int i = 0; i < 10; i++)
            p.push_back(span == 0xFFFFFFFF ? any() : below(span));
        return p;
    }
};

struct PropertyCase {
    uint32_t seed;
    uint32_t max_rules;
    uint32_t max_fields;
};

class CompilerProperty : public testing::TestWithParam<PropertyCase>
{
};

// A random rule table over up to max_fields fields (conditions added in a shuffled field order, so leaf
// ids follow first use); model receives the same rules for the linear search.
rule_table *random_table(generator &g, compile_context *ctx, uint32_t max_rules, uint32_t max_fields,
                         std::vector<model_rule> *out)
{
    bool ok = true;
    // At most 8 fields: 15 tables, so table ids and registers fit the 4-bit instruction fields.
    std::vector<uint32_t> fields;
    for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
        fields.push_back(f);
    std::shuffle(fields.begin(), fields.end(), g.rng);
    fields.resize(1 + g.below(max_fields));
    std::vector<std::vector<uint32_t>> pools(16);
    for (uint32_t f : fields)
        pools[f] = g.pool();

    zel_action_data data{};
    rule_table *rt = zel_rule_table_create("prop", "1x", sizeof data, &data);
    std::vector<model_rule> &model = *out;
    const uint32_t nrules = 1 + g.below(max_rules);
    for (uint32_t i = 0; i < nrules; i++) {
        model_rule m;
        if (i > 0 && g.below(8) == 0) {
            m = model[g.below(i)];  // an identical rule further down
        } else {
            for (uint32_t f : fields) {
                if (g.below(3) == 0)
                    continue;
                const uint32_t n = 1 + (g.below(4) == 0 ? g.below(3) : 0);
                for (uint32_t k = 0; k < n; k++) {
                    const auto &p = pools[f];
                    switch (g.below(4)) {
                    case 0: {  // prefix of any length
                        const uint32_t len = g.below(33);
                        const uint32_t a = p[g.below(static_cast<uint32_t>(p.size()))];
                        const uint32_t mask = len == 0 ? 0 : ~0u << (32 - len);
                        m.ranges[f].push_back({a & mask, (a & mask) | ~mask});
                        break;
                    }
                    case 1:
                        m.ranges[f].push_back({0, 0xFFFFFFFF});
                        break;
                    default: {  // a range, bounds in either order
                        const uint32_t a = p[g.below(static_cast<uint32_t>(p.size()))];
                        const uint32_t b = p[g.below(static_cast<uint32_t>(p.size()))];
                        m.ranges[f].push_back({std::min(a, b), std::max(a, b)});
                    }
                    }
                }
            }
        }
        rule *r = zel_rule_add(rt, std::to_string(i).c_str());
        // Conditions go in in a shuffled field order: the leaf ids follow first use.
        std::vector<uint32_t> order = fields;
        std::shuffle(order.begin(), order.end(), g.rng);
        for (uint32_t f : order) {
            for (const zel_range &rg : m.ranges[f]) {
                const uint8_t addr[4] = {uint8_t(rg.min >> 24), uint8_t(rg.min >> 16), uint8_t(rg.min >> 8),
                                         uint8_t(rg.min)};
                const uint32_t host = rg.max - rg.min;
                if ((host & (host + 1)) == 0 && (rg.min & host) == 0 && g.below(2))
                    ok = ok && zel_rule_add_prefix(ctx, r, f, addr, 32 - std::popcount(host)) == 0;
                else if (g.below(2))
                    ok = ok && zel_rule_add_range(ctx, r, f, rg.max, rg.min) == 0;
                else
                    ok = ok && zel_rule_add_range(ctx, r, f, rg.min, rg.max) == 0;
            }
        }
        data.slot[0].p.u32 = i + 1;
        zel_rule_set_action(r, sizeof data, &data);
        model.push_back(std::move(m));
    }

    if (!ok) {
        zel_rule_table_free(rt);
        return nullptr;
    }
    return rt;
}

uint32_t first_match(const std::vector<model_rule> &rules, const uint32_t v[16])
{
    for (uint32_t i = 0; i < rules.size(); i++) {
        bool all = true;
        for (uint32_t f = 1; f < 16 && all; f++) {
            const auto &rs = rules[i].ranges[f];
            all = rs.empty() ||
                  std::any_of(rs.begin(), rs.end(), [&](const zel_range &r) { return r.min <= v[f] && v[f] <= r.max; });
        }
        if (all)
            return i + 1;
    }
    return 0;
}

TEST_P(CompilerProperty, ImageAgreesWithFirstMatchSearch)
{
    const PropertyCase pc = GetParam();
    generator g(pc.seed);
    zel_prog_heap *heap = zel_prog_heap_new(1u << 18, 4);
    program_allocator alloc = zel_prog_heap_allocator(heap);
    compile_context *ctx = zel_compile_context_new(&alloc);

    int skipped = 0;
    for (int iteration = 0; iteration < 40; iteration++) {
        std::vector<model_rule> model;
        rule_table *rt = random_table(g, ctx, pc.max_rules, pc.max_fields, &model);
        ASSERT_NE(rt, nullptr);
        void *image = nullptr;
        uint32_t size = 0;
        const int rc = zel_compile(ctx, rt, &image, &size);
        ASSERT_TRUE(rc == 0 || rc == 12) << rc;
        bool constrained[16] = {};
        for (const model_rule &m : model)
            for (uint32_t f = 1; f < 16; f++)
                constrained[f] = constrained[f] || !m.ranges[f].empty();
        if (rc == 12) {  // a cross product beyond the program memory: refused, and said so
            EXPECT_GT(uint64_t{size}, (1ull << 18) * ZEL_PROG_BLOCK_SIZE);
            skipped++;
        } else if (!image) {
            EXPECT_EQ(std::count(constrained, constrained + 16, true), 0);
        } else {
            // Interesting values per field: every bound and its neighbours, the extremes, random ones.
            std::vector<std::vector<uint32_t>> probe(16);
            for (uint32_t f = 1; f < 16; f++) {
                probe[f] = {0, 0xFFFFFFFF, g.any()};
                for (const model_rule &m : model)
                    for (const zel_range &rg : m.ranges[f])
                        for (uint32_t b : {rg.min, rg.max})
                            probe[f].insert(probe[f].end(), {b - 1, b, b + 1});
            }
            for (int k = 0; k < 400; k++) {
                uint32_t v[16] = {};
                bool top = false;
                for (uint32_t f = 1; f < 16; f++) {
                    v[f] = probe[f][g.below(static_cast<uint32_t>(probe[f].size()))];
                    top = top || (constrained[f] && v[f] == 0xFFFFFFFF);
                }
                const auto cls = test_image_eval(image, v);
                if (top) {  // 0xFFFFFFFF lies in no row of a leaf table
                    EXPECT_FALSE(cls.has_value());
                    continue;
                }
                ASSERT_TRUE(cls.has_value());
                const auto *b = reinterpret_cast<const zel_action_block *>(test_image_action(image, *cls));
                const uint32_t want = first_match(model, v);
                ASSERT_EQ(b->data.slot[0].p.u32, want) << "iteration " << iteration << " packet " << k;
                ASSERT_EQ(b->hdr.flags, want == 0 ? 1u : 0u);
            }
        }
        zel_program_free(&ctx->program_memory, image);
        zel_compile_context_reset(ctx);
        zel_rule_table_free(rt);
    }
    EXPECT_LE(skipped, 4);
    zel_compile_context_free(ctx);
    zel_prog_heap_delete(heap);
}

// Compiles the table make() gives into ample program memory, then again into exactly the image's blocks:
// the early out-of-memory stop must never refuse an image that fits. Returns the size.
template <typename Make>
uint32_t compiles_into_its_own_size(compile_context *ctx, Make make, uint32_t *root_classes = nullptr)
{
    uint32_t sizes[2] = {};
    for (int round = 0; round < 2; round++) {
        rule_table *rt = make();
        zel_prog_heap *heap = zel_prog_heap_new(round == 0 ? 1u << 20 : (sizes[0] + 127) / 128, 2);
        ctx->program_memory = zel_prog_heap_allocator(heap);
        void *image = nullptr;
        EXPECT_EQ(zel_compile(ctx, rt, &image, &sizes[round]), 0) << round;
        if (root_classes && ctx->root)
            *root_classes = ctx->root->class_count;
        zel_program_free(&ctx->program_memory, image);
        zel_compile_context_reset(ctx);
        zel_rule_table_free(rt);
        ctx->program_memory = {};
        zel_prog_heap_delete(heap);
    }
    EXPECT_EQ(sizes[0], sizes[1]);
    return sizes[0];
}

TEST(CompilerBound, NeverRefusesWhatFits)
{
    compile_context *ctx = zel_compile_context_new(nullptr);
    for (uint32_t seed = 100; seed < 140; seed++) {
        const uint32_t size = compiles_into_its_own_size(ctx, [&] {
            generator g(seed);
            std::vector<model_rule> model;
            return random_table(g, ctx, 30, 5, &model);
        });
        EXPECT_GT(size, 0u) << seed;
    }
    zel_compile_context_free(ctx);
}

// Restricting a table's classes to rules that can still match elsewhere does not bound the cross product:
// field A splits two rules into the four classes {}, {0}, {0,1}, {1}, field B separates them at single
// points, and A x B has only the three classes {}, {0}, {1}.
TEST(CompilerBound, FewerRootClassesThanALeafHas)
{
    compile_context *ctx = zel_compile_context_new(nullptr);
    uint32_t root_classes = 0;
    compiles_into_its_own_size(
        ctx,
        [&] {
            zel_action_data data{};
            rule_table *rt = zel_rule_table_create("split", "1x", sizeof data, &data);
            for (uint32_t i = 0; i < 2; i++) {
                rule *r = zel_rule_add(rt, std::to_string(i).c_str());
                EXPECT_EQ(zel_rule_add_range(ctx, r, ZEL_CF_SRC_PORT, i * 5, i * 5 + 10), 0);
                EXPECT_EQ(zel_rule_add_range(ctx, r, ZEL_CF_PROTOCOL, i + 1, i + 1), 0);
                data.slot[0].code = ZEL_ACT_COUNT + i;
                zel_rule_set_action(r, sizeof data, &data);
            }
            return rt;
        },
        &root_classes);
    EXPECT_EQ(root_classes, 3u);
    zel_compile_context_free(ctx);
}

INSTANTIATE_TEST_SUITE_P(Tables, CompilerProperty,
                         testing::Values(PropertyCase{1, 12, 4},    // few rules, few fields
                                         PropertyCase{2, 24, 6},    // mixed
                                         PropertyCase{3, 200, 1},   // many rules on one field
                                         PropertyCase{4, 1, 8},     // one rule on many fields
                                         PropertyCase{5, 60, 3}));  // overlapping ranges on a few fields

}  // namespace
