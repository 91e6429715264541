#include "common/avl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace
{

// The node sits at a nonzero offset so that node/element conversion is exercised.
struct item {
    uint64_t tag;
    avl_node_t node;
    int key;
};

int item_cmp(const void *a, const void *b)
{
    int ka = static_cast<const item *>(a)->key, kb = static_cast<const item *>(b)->key;
    return (ka > kb) - (ka < kb);
}

int key_of(void *data) { return data ? static_cast<item *>(data)->key : -1; }

// Checks links, packing (decoded independently of the tree code), balance and order below n;
// returns the height.
int check_subtree(avl_node_t *n, avl_node_t *parent, int side, std::vector<int> &keys)
{
    if (!n)
        return 0;
    EXPECT_EQ(reinterpret_cast<avl_node_t *>(n->avl_pcb & ~uintptr_t{7}), parent);
    if (parent) {
        EXPECT_EQ(static_cast<int>((n->avl_pcb >> 2) & 1), side);
    }
    const int hl = check_subtree(n->avl_child[0], n, 0, keys);
    keys.push_back(reinterpret_cast<item *>(reinterpret_cast<char *>(n) - offsetof(item, node))->key);
    const int hr = check_subtree(n->avl_child[1], n, 1, keys);
    EXPECT_LE(n->avl_pcb & 3, 2u);
    EXPECT_EQ(static_cast<int>(n->avl_pcb & 3) - 1, hr - hl) << "key " << keys.back();
    return 1 + std::max(hl, hr);
}

// What a walk saw; with `unlink` set, its callback removes each element and scribbles over it, as
// a callback freeing it would.
struct Walk {
    std::vector<int> keys;
    int stop_at = -1;
    avl_tree_t *unlink = nullptr;
};

int walk_cb(void *elem, void *arg1, void *arg2, void *elem2)
{
    auto *w = static_cast<Walk *>(arg1);
    EXPECT_EQ(elem, elem2);
    EXPECT_EQ(arg2, &w->keys);
    w->keys.push_back(key_of(elem));
    if (w->unlink) {
        avl_remove(w->unlink, elem);
        memset(&static_cast<item *>(elem)->node, 0xA5, sizeof(avl_node_t));
    }
    return w->keys.back() == w->stop_at ? 42 : 0;
}

class AvlTest : public testing::Test
{
protected:
    static constexpr int key_space = 400;

    void SetUp() override
    {
        avl_create(&tree, item_cmp, sizeof(item), offsetof(item, node));
        for (int k = 0; k < key_space; k++)
            pool.push_back(std::make_unique<item>(item{0, {}, k}));
    }
    void TearDown() override
    {
        void *cookie = nullptr;
        while (avl_destroy_nodes(&tree, &cookie)) {}
        avl_destroy(&tree);
    }
    void add(int key) { avl_add(&tree, pool[key].get()); }
    int walk(Walk &w, bool reverse = false)
    {
        return (reverse ? avl_foreach_reverse : avl_foreach)(&tree, walk_cb, &w, &w.keys);
    }

    avl_tree_t tree;
    std::vector<std::unique_ptr<item>> pool;
};

// Inserts, removals, neighbour inserts and in-place key changes against std::set, with the links,
// packing, balance and order checked after every step; at random sizes, walks in both directions,
// a stopped walk, and an emptying by avl_destroy_nodes or by a walk that unlinks every element.
TEST_F(AvlTest, RandomOperationsMatchOrderedSet)
{
    std::mt19937 rng(12345);
    std::set<int> model;
    int teardowns = 0;
    for (int step = 0; step < 20000; step++) {
        const int key = rng() % key_space, new_key = rng() % key_space;
        item t{0, {}, key};
        avl_index_t where = 0;
        void *found = avl_find(&tree, &t, &where);
        ASSERT_EQ(found != nullptr, model.count(key) == 1);
        auto above = model.upper_bound(key), at_or_above = model.lower_bound(key);
        const int next_key = above == model.end() ? -1 : *above;
        const int prev_key = at_or_above == model.begin() ? -1 : *std::prev(at_or_above);
        ASSERT_EQ(key_of(avl_find_next(&tree, &t)), next_key);
        ASSERT_EQ(key_of(avl_find_or_next(&tree, &t, nullptr)), at_or_above == model.end() ? -1 : *at_or_above);
        // A found element's neighbours, or the neighbours of the gap the position names.
        ASSERT_EQ(key_of(found ? AVL_PREV(&tree, found) : avl_nearest(&tree, where, AVL_BEFORE)), prev_key);
        ASSERT_EQ(key_of(found ? AVL_NEXT(&tree, found) : avl_nearest(&tree, where, AVL_AFTER)), next_key);

        const int op = rng() % 5;
        if (!found && op < 2) {
            avl_insert(&tree, pool[key].get(), where);
            model.insert(key);
        } else if (!found && op == 3 && !model.empty()) {
            // Next to a neighbour instead of at the found position.
            if (void *after = avl_nearest(&tree, where, AVL_AFTER))
                avl_insert_here(&tree, pool[key].get(), after, AVL_BEFORE);
            else
                avl_insert_here(&tree, pool[key].get(), avl_nearest(&tree, where, AVL_BEFORE), AVL_AFTER);
            model.insert(key);
        } else if (found && op == 2) {
            avl_remove(&tree, found);
            model.erase(key);
        } else if (found && op == 4 && !model.count(new_key)) {
            // A key changed in place: the element moves only when out of order.
            const bool in_order = prev_key < new_key && (next_key == -1 || new_key < next_key);
            pool[key]->key = new_key;
            pool[new_key]->key = key;
            std::swap(pool[key], pool[new_key]);
            ASSERT_EQ(avl_update(&tree, found), in_order ? 0 : 1);
            model.erase(key);
            model.insert(new_key);
        }
        std::vector<int> keys;
        check_subtree(tree.avl_root, nullptr, 0, keys);
        ASSERT_EQ(keys, std::vector<int>(model.begin(), model.end())) << "step " << step;
        ASSERT_EQ(avl_numnodes(&tree), model.size());
        ASSERT_EQ(avl_is_empty(&tree), model.empty());
        if (model.empty() || rng() % 500)
            continue;

        Walk fwd, rev, cut{{}, keys[rng() % keys.size()]}, all{{}, -1, &tree};
        ASSERT_EQ(walk(fwd), 0);
        ASSERT_EQ(fwd.keys, keys);
        ASSERT_EQ(walk(rev, true), 0);
        ASSERT_EQ(rev.keys, std::vector<int>(keys.rbegin(), keys.rend()));
        ASSERT_EQ(walk(cut), 42);
        ASSERT_EQ(cut.keys, std::vector<int>(keys.begin(), std::find(keys.begin(), keys.end(), cut.stop_at) + 1));
        ASSERT_EQ(key_of(avl_first(&tree)), keys.front());
        ASSERT_EQ(key_of(avl_last(&tree)), keys.back());
        if (++teardowns % 2) {
            ASSERT_EQ(walk(all), 0);
        } else {
            void *cookie = nullptr;
            while (void *data = avl_destroy_nodes(&tree, &cookie)) {
                EXPECT_EQ(static_cast<item *>(data)->node.avl_child[0], nullptr);
                EXPECT_EQ(static_cast<item *>(data)->node.avl_child[1], nullptr);
                all.keys.push_back(key_of(data));
            }
            EXPECT_EQ(avl_destroy_nodes(&tree, &cookie), nullptr);  // stays finished
            std::sort(all.keys.begin(), all.keys.end());
        }
        ASSERT_EQ(all.keys, keys) << "each element handed back once";
        ASSERT_EQ(tree.avl_root, nullptr);
        model.clear();
    }
    EXPECT_GT(teardowns, 20);
    EXPECT_EQ(avl_foreach(&tree, nullptr, nullptr, nullptr), 0);
}

// ---- assertions --------------------------------------------------------------

}  // namespace
