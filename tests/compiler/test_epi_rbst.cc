#include "compiler/epi.h"
#include "compiler/rbst.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace
{

struct EpiDeleter {
    void operator()(epi *v) const { epi_free(v); }
};
using epi_ptr = std::unique_ptr<epi, EpiDeleter>;
epi_ptr make(int32_t n) { return epi_ptr(epi_new(n)); }

// A negative position is out of range like one past the end (before, it shifted by a negative count).
TEST(EpiDeath, PositionsOutsideTheVectorAreInvariants)
{
    epi_ptr v = make(70);
    const char *msg = "epi:[0-9]+: failed assertion `bitPos < pVal->nbits'";
    EXPECT_DEATH(epi_get_bit(v.get(), -1), msg);
    EXPECT_DEATH(epi_set_bit(v.get(), -64, 1), msg);
    EXPECT_DEATH(epi_get_bit(v.get(), 70), msg);
    EXPECT_DEATH(epi_set_bit(v.get(), INT32_MIN, 0), msg);
}

TEST(Epi, CompareIsUnsignedLittleEndianOrder)
{
    // Against the order of the integers themselves, across word boundaries.
    std::mt19937 rng(7);
    for (int i = 0; i < 500; i++) {
        epi_ptr x = make(70), y = make(70);
        unsigned __int128 xi = 0, yi = 0;
        for (uint32_t k = 0; k < 9; k++) {
            const uint8_t bx = rng() % 3 == 0 ? 0 : rng(), by = rng() % 3 == 0 ? bx : rng();
            const uint8_t mx = k == 8 ? bx & 0x3F : bx, my = k == 8 ? by & 0x3F : by;
            epi_set_digit(x.get(), k, mx);
            epi_set_digit(y.get(), k, my);
            xi |= static_cast<unsigned __int128>(mx) << (8 * k);
            yi |= static_cast<unsigned __int128>(my) << (8 * k);
        }
        const int want = xi < yi ? -1 : (xi == yi ? 0 : 1);
        EXPECT_EQ(zel_epi_cmp(x.get(), y.get()), want);
        EXPECT_EQ(zel_epi_key_cmp(x.get(), y.get()), want);
    }
}

struct Tree : testing::Test {
    rbst t;
    std::vector<std::unique_ptr<uint32_t>> keys;
    Tree() { rbst_init(&t); }
    ~Tree() override
    {
        rbst_clear(&t, rbst_free_node);
        ptr_stack_release(&t.stack);
    }
    uint32_t *key(uint32_t v) { return keys.emplace_back(new uint32_t(v)).get(); }
    static uint32_t k(const rbst_node *n) { return *static_cast<uint32_t *>(n->key); }

    // Sizes, parent links and search order hold everywhere.
    static uint32_t check(const rbst_node *n, const rbst_node *parent, int64_t lo, int64_t hi)
    {
        if (!n)
            return 0;
        EXPECT_EQ(n->parent, parent);
        EXPECT_GE(int64_t{k(n)}, lo);
        EXPECT_LE(int64_t{k(n)}, hi);
        const uint32_t s = 1 + check(n->left, n, lo, int64_t{k(n)} - 1) + check(n->right, n, int64_t{k(n)} + 1, hi);
        EXPECT_EQ(n->size, s);
        return s;
    }
};

TEST_F(Tree, BehavesLikeStdMap)
{
    std::map<uint32_t, uintptr_t> ref;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; i++) {
        const uint32_t v = rng() % 2000;
        const int inserted = rbst_insert(&t, key(v), reinterpret_cast<void *>(uintptr_t{v} + 1));
        EXPECT_EQ(inserted, ref.emplace(v, v + 1).second ? 1 : 0);
    }
    check(t.root, nullptr, 0, UINT32_MAX);
    EXPECT_EQ(rbst_count(&t), ref.size());
    auto it = ref.begin();
    for (rbst_node *n = rbst_next(&t, nullptr); n; n = rbst_next(&t, n), ++it) {
        ASSERT_NE(it, ref.end());
        EXPECT_EQ(k(n), it->first);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(n->value), it->second);
    }
    EXPECT_EQ(it, ref.end());
    for (uint32_t v = 0; v < 2000; v += 7) {
        rbst_node *n = rbst_find(&t, &v);
        EXPECT_EQ(n != nullptr, ref.count(v) == 1);
    }
    // Expected logarithmic depth: far below the size.
    EXPECT_LT(rbst_height(t.root), 60);

    // Removal keeps the order of what is left.
    for (uint32_t v = 0; v < 2000; v += 3) {
        if (rbst_node *n = rbst_find(&t, &v)) {
            rbst_free_node(rbst_remove(&t, n));
            ref.erase(v);
        }
    }
    it = ref.begin();
    for (rbst_node *n = rbst_next(&t, nullptr); n; n = rbst_next(&t, n), ++it)
        ASSERT_EQ(k(n), it->first);
    EXPECT_EQ(it, ref.end());
}

// Shape (walk order) of a tree of 2000 keys inserted in a scrambled order, then the next random() value.
std::pair<std::vector<uint32_t>, long> shape_and_next(unsigned seed, bool batched)
{
    srandom(seed);
    if (batched)
        rbst_draws_begin();
    rbst u;
    rbst_init(&u);
    std::vector<uint32_t> vals(2000);
    for (uint32_t i = 0; i < vals.size(); i++) {
        vals[i] = (i * 7919u) % 2000u;
        rbst_insert(&u, &vals[i], nullptr);
    }
    if (batched)
        rbst_draws_end();
    static std::vector<uint32_t> order;
    order.clear();
    rbst_walk(&u, [](rbst *, rbst_node *n) { order.push_back(*static_cast<uint32_t *>(n->key)); });
    rbst_clear(&u, rbst_free_node);
    ptr_stack_release(&u.stack);
    return {order, random()};
}

TEST(Draws, BatchedInsertionsDrawExactlyWhatRandomDraws)
{
    for (unsigned seed : {1u, 42u, 1234567u}) {
        const auto plain = shape_and_next(seed, false);
        const auto batched = shape_and_next(seed, true);
        EXPECT_EQ(plain.first, batched.first) << seed;
        EXPECT_EQ(plain.second, batched.second) << seed;  // the process sequence continues where it was
    }
}

}  // namespace
