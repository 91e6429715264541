#include "common/avl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "death_regex.h"

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
    int ka = static_cast<const item *>(a)->key;
    int kb = static_cast<const item *>(b)->key;
    return (ka > kb) - (ka < kb);
}

// Decodes the packed parent word independently of the tree code.
avl_node_t *pcb_parent(const avl_node_t *n) { return reinterpret_cast<avl_node_t *>(n->avl_pcb & ~uintptr_t{7}); }
int pcb_child(const avl_node_t *n) { return static_cast<int>((n->avl_pcb >> 2) & 1); }
int pcb_balance(const avl_node_t *n) { return static_cast<int>(n->avl_pcb & 3) - 1; }

item *node_item(avl_node_t *n) { return reinterpret_cast<item *>(reinterpret_cast<char *>(n) - offsetof(item, node)); }

// Checks links, packing, balance and order below n; returns the height.
int check_subtree(avl_node_t *n, avl_node_t *parent, int side, std::vector<int> &keys)
{
    if (!n)
        return 0;
    EXPECT_EQ(pcb_parent(n), parent);
    if (parent) {
        EXPECT_EQ(pcb_child(n), side);
    }
    int hl = check_subtree(n->avl_child[0], n, 0, keys);
    keys.push_back(node_item(n)->key);
    int hr = check_subtree(n->avl_child[1], n, 1, keys);
    EXPECT_LE(n->avl_pcb & 3, 2u);
    EXPECT_EQ(pcb_balance(n), hr - hl) << "key " << node_item(n)->key;
    return 1 + std::max(hl, hr);
}

void check_tree(avl_tree_t *tree, const std::set<int> &model)
{
    std::vector<int> keys;
    check_subtree(tree->avl_root, nullptr, 0, keys);
    ASSERT_EQ(keys, std::vector<int>(model.begin(), model.end()));
    ASSERT_EQ(avl_numnodes(tree), model.size());
    ASSERT_EQ(avl_is_empty(tree), model.empty());
}

class AvlTest : public testing::Test
{
protected:
    static constexpr int key_space = 400;

    void SetUp() override
    {
        avl_create(&tree, item_cmp, sizeof(item), offsetof(item, node));
        pool.resize(key_space);
        for (int k = 0; k < key_space; k++) {
            pool[k] = std::make_unique<item>();
            pool[k]->key = k;
        }
    }
    void TearDown() override
    {
        void *cookie = nullptr;
        while (avl_destroy_nodes(&tree, &cookie)) {}
        avl_destroy(&tree);
    }

    item probe(int key) const
    {
        item t{};
        t.key = key;
        return t;
    }
    int key_of(void *data) const { return data ? static_cast<item *>(data)->key : -1; }
    void add(int key) { avl_add(&tree, pool[key].get()); }

    avl_tree_t tree;
    std::vector<std::unique_ptr<item>> pool;
};

TEST_F(AvlTest, RandomOperationsMatchOrderedSet)
{
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> key_dist(0, key_space - 1);
    std::set<int> model;

    for (int step = 0; step < 20000; step++) {
        const int key = key_dist(rng);
        item t = probe(key);
        avl_index_t where = 0;
        void *found = avl_find(&tree, &t, &where);
        ASSERT_EQ(found != nullptr, model.count(key) == 1);

        auto above = model.upper_bound(key);
        auto at_or_above = model.lower_bound(key);
        const int next_key = above == model.end() ? -1 : *above;
        ASSERT_EQ(key_of(avl_find_next(&tree, &t)), next_key);
        ASSERT_EQ(key_of(avl_find_or_next(&tree, &t, nullptr)), at_or_above == model.end() ? -1 : *at_or_above);

        if (!found) {
            // The position names the gap between the neighbours of the key.
            const int prev_key = at_or_above == model.begin() ? -1 : *std::prev(at_or_above);
            ASSERT_EQ(key_of(avl_nearest(&tree, where, AVL_BEFORE)), prev_key);
            ASSERT_EQ(key_of(avl_nearest(&tree, where, AVL_AFTER)), next_key);
        } else {
            auto it = model.find(key);
            ASSERT_EQ(key_of(AVL_NEXT(&tree, found)), std::next(it) == model.end() ? -1 : *std::next(it));
            ASSERT_EQ(key_of(AVL_PREV(&tree, found)), it == model.begin() ? -1 : *std::prev(it));
        }

        switch (rng() % 4) {
        case 0:
        case 1:
            if (!found) {
                avl_insert(&tree, pool[key].get(), where);
                model.insert(key);
            }
            break;
        case 2:
            if (found) {
                avl_remove(&tree, found);
                model.erase(key);
            }
            break;
        case 3:
            // Insert next to a neighbour instead of at the found position.
            if (!found && !model.empty()) {
                void *after = avl_nearest(&tree, where, AVL_AFTER);
                void *before = avl_nearest(&tree, where, AVL_BEFORE);
                if (after)
                    avl_insert_here(&tree, pool[key].get(), after, AVL_BEFORE);
                else
                    avl_insert_here(&tree, pool[key].get(), before, AVL_AFTER);
                model.insert(key);
            }
            break;
        }
        ASSERT_NO_FATAL_FAILURE(check_tree(&tree, model));
    }
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(key_of(avl_first(&tree)), *model.begin());
    EXPECT_EQ(key_of(avl_last(&tree)), *model.rbegin());
}

TEST_F(AvlTest, AscendingAndDescendingInsertsStayBalanced)
{
    std::set<int> model;
    for (int k = 0; k < key_space / 2; k++) {
        add(k);
        add(key_space - 1 - k);
        model.insert({k, key_space - 1 - k});
    }
    check_tree(&tree, model);
    // The sparsest AVL tree 13 levels high has 609 nodes, so 400 fit in 12.
    std::vector<int> keys;
    EXPECT_LE(check_subtree(tree.avl_root, nullptr, 0, keys), 12);
    for (int k = 0; k < key_space; k += 2) {
        avl_remove(&tree, pool[k].get());
        model.erase(k);
        ASSERT_NO_FATAL_FAILURE(check_tree(&tree, model));
    }
}

TEST_F(AvlTest, UpdateMovesOnlyOutOfOrderElements)
{
    for (int k : {10, 20, 30, 40})
        add(k);
    item *e = pool[20].get();

    e->key = 25;  // still between 10 and 30
    EXPECT_EQ(avl_update(&tree, e), 0);
    EXPECT_EQ(AVL_PREV(&tree, e), pool[10].get());
    EXPECT_EQ(AVL_NEXT(&tree, e), pool[30].get());

    e->key = 35;  // now after 30
    EXPECT_EQ(avl_update(&tree, e), 1);
    EXPECT_EQ(AVL_PREV(&tree, e), pool[30].get());
    EXPECT_EQ(AVL_NEXT(&tree, e), pool[40].get());

    e->key = 5;  // now first
    EXPECT_EQ(avl_update(&tree, e), 1);
    EXPECT_EQ(avl_first(&tree), e);
    EXPECT_EQ(avl_numnodes(&tree), 4u);

    std::vector<int> keys;
    check_subtree(tree.avl_root, nullptr, 0, keys);
    EXPECT_EQ(keys, (std::vector<int>{5, 10, 30, 40}));
    e->key = 20;  // restore so TearDown sees a consistent tree
    EXPECT_EQ(avl_update(&tree, e), 1);
}

TEST_F(AvlTest, ForeachVisitsInOrderAndStopsOnNonzero)
{
    for (int k : {3, 1, 4, 5, 9, 2, 6})
        add(k);
    struct seen {
        std::vector<int> keys;
        int stop_at = -1;
    } s;
    auto cb = [](void *elem, void *arg1, void *arg2, void *elem2) -> int {
        EXPECT_EQ(elem, elem2);
        EXPECT_EQ(arg2, reinterpret_cast<void *>(0x77));
        auto *st = static_cast<seen *>(arg1);
        int key = static_cast<item *>(elem)->key;
        st->keys.push_back(key);
        return key == st->stop_at ? 42 : 0;
    };
    EXPECT_EQ(avl_foreach(&tree, cb, &s, reinterpret_cast<void *>(0x77)), 0);
    EXPECT_EQ(s.keys, (std::vector<int>{1, 2, 3, 4, 5, 6, 9}));

    s.keys.clear();
    EXPECT_EQ(avl_foreach_reverse(&tree, cb, &s, reinterpret_cast<void *>(0x77)), 0);
    EXPECT_EQ(s.keys, (std::vector<int>{9, 6, 5, 4, 3, 2, 1}));

    s.keys.clear();
    s.stop_at = 4;
    EXPECT_EQ(avl_foreach(&tree, cb, &s, reinterpret_cast<void *>(0x77)), 42);
    EXPECT_EQ(s.keys, (std::vector<int>{1, 2, 3, 4}));

    EXPECT_EQ(avl_foreach(&tree, nullptr, nullptr, nullptr), 0);
}

// Elements owned by the tree alone: the callback unlinks and frees each one.
TEST(AvlOwned, ForeachMayFreeEachElement)
{
    avl_tree_t tree;
    avl_create(&tree, item_cmp, sizeof(item), offsetof(item, node));
    for (int k = 0; k < 100; k++) {
        auto *e = new item{};
        e->key = (k * 37) % 100;
        avl_add(&tree, e);
    }
    std::vector<int> visited;
    auto cb = [](void *elem, void *arg1, void *, void *) -> int {
        auto *t = static_cast<avl_tree_t *>(arg1);
        auto *e = static_cast<item *>(elem);
        avl_remove(t, e);
        delete e;
        return 0;
    };
    auto record = [](void *elem, void *arg1, void *, void *) -> int {
        static_cast<std::vector<int> *>(arg1)->push_back(static_cast<item *>(elem)->key);
        return 0;
    };
    avl_foreach(&tree, record, &visited, nullptr);
    EXPECT_EQ(visited.size(), 100u);
    EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end()));
    EXPECT_EQ(avl_foreach(&tree, cb, &tree, nullptr), 0);
    EXPECT_TRUE(avl_is_empty(&tree));
    avl_destroy(&tree);
}

TEST(AvlOwned, DestroyNodesHandsBackEveryElementOnce)
{
    for (int n : {0, 1, 2, 3, 7, 8, 100, 1000}) {
        avl_tree_t tree;
        avl_create(&tree, item_cmp, sizeof(item), offsetof(item, node));
        std::mt19937 rng(static_cast<unsigned>(n));
        std::vector<int> keys(static_cast<size_t>(n));
        for (int i = 0; i < n; i++)
            keys[i] = i;
        std::shuffle(keys.begin(), keys.end(), rng);
        for (int k : keys) {
            auto *e = new item{};
            e->key = k;
            avl_add(&tree, e);
        }
        std::set<int> returned;
        void *cookie = nullptr;
        while (void *data = avl_destroy_nodes(&tree, &cookie)) {
            auto *e = static_cast<item *>(data);
            EXPECT_EQ(e->node.avl_child[0], nullptr);
            EXPECT_EQ(e->node.avl_child[1], nullptr);
            EXPECT_TRUE(returned.insert(e->key).second) << "key " << e->key << " returned twice";
            delete e;
        }
        EXPECT_EQ(returned.size(), static_cast<size_t>(n));
        EXPECT_EQ(avl_numnodes(&tree), 0u);
        EXPECT_EQ(tree.avl_root, nullptr);
        EXPECT_EQ(avl_destroy_nodes(&tree, &cookie), nullptr);  // stays finished
        avl_destroy(&tree);
    }
}

// ---- assertions --------------------------------------------------------------

int bad_cmp(const void *, const void *) { return 2; }

class AvlDeathTest : public AvlTest
{
};

TEST_F(AvlDeathTest, CompareOutsideMinusOneToOneIsFatal)
{
    avl_tree_t bad;
    avl_create(&bad, bad_cmp, sizeof(item), offsetof(item, node));
    add(1);
    add(2);
    bad.avl_root = tree.avl_root;  // any comparison at all
    item t = probe(1);
    EXPECT_DEATH(avl_find(&bad, &t, nullptr), assertion_regex("avl", "[0-9]+", "-1 <= diff && diff <= 1"));
}

TEST_F(AvlDeathTest, CreateArguments)
{
    avl_tree_t t;
    EXPECT_DEATH(avl_create(nullptr, item_cmp, sizeof(item), 8), assertion_regex("avl", "[0-9]+", "tree"));
    EXPECT_DEATH(avl_create(&t, nullptr, sizeof(item), 8), assertion_regex("avl", "[0-9]+", "compar"));
    EXPECT_DEATH(avl_create(&t, item_cmp, 0, 0), assertion_regex("avl", "[0-9]+", "size > 0"));
    EXPECT_DEATH(avl_create(&t, item_cmp, 16, 0),
                 assertion_regex("avl", "[0-9]+", "size >= offset + sizeof (avl_node_t)"));
    EXPECT_DEATH(avl_create(&t, item_cmp, 64, 4), assertion_regex("avl", "[0-9]+", "(offset & 0x7) == 0"));
}

TEST_F(AvlDeathTest, InsertionMisuse)
{
    add(1);
    EXPECT_DEATH(add(1), assertion_regex("avl", "[0-9]+", "found == ((void *)0)"));
    // Position 0 means the root of an empty tree.
    EXPECT_DEATH(avl_insert(&tree, pool[2].get(), 0),
                 assertion_regex("avl", "[0-9]+", "tree->avl_root == ((void *)0)"));
    // A position whose slot is already taken.
    const avl_index_t taken = reinterpret_cast<uintptr_t>(tree.avl_root) | 0;
    add(0);
    EXPECT_DEATH(avl_insert(&tree, pool[3].get(), taken),
                 assertion_regex("avl", "[0-9]+", "parent->avl_child[which_child] == ((void *)0)"));
    alignas(8) char raw[sizeof(item) + 8];
    EXPECT_DEATH(avl_insert(&tree, raw + 4, 0), assertion_regex("avl", "[0-9]+", "((uintptr_t)new_data & 0x7) == 0"));
    EXPECT_DEATH(avl_insert_here(&tree, pool[3].get(), pool[1].get(), 2),
                 assertion_regex("avl", "[0-9]+", "direction == (0) || direction == (1)"));
    EXPECT_DEATH(avl_insert_here(&tree, pool[3].get(), nullptr, AVL_AFTER),
                 assertion_regex("avl", "[0-9]+", "here != ((void *)0)"));
    EXPECT_DEATH(avl_insert_here(&tree, nullptr, pool[1].get(), AVL_AFTER),
                 assertion_regex("avl", "[0-9]+", "new_data != ((void *)0)"));
    EXPECT_DEATH(avl_insert_here(nullptr, pool[3].get(), pool[1].get(), AVL_AFTER),
                 assertion_regex("avl", "[0-9]+", "tree != ((void *)0)"));
}

TEST_F(AvlDeathTest, RemoveAndDestroyMisuse)
{
    EXPECT_DEATH(avl_remove(&tree, pool[1].get()), assertion_regex("avl", "[0-9]+", "tree->avl_numnodes > 0"));
    add(1);
    EXPECT_DEATH(avl_destroy(&tree), assertion_regex("avl", "[0-9]+", "tree->avl_numnodes == 0"));
    avl_tree_t stale = tree;
    stale.avl_numnodes = 0;
    EXPECT_DEATH(avl_destroy(&stale), assertion_regex("avl", "[0-9]+", "tree->avl_root == ((void *)0)"));
}

}  // namespace
