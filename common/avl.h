// Intrusive AVL tree with the illumos interface and node layout.
//
// Each element embeds an avl_node_t at a fixed offset (a multiple of 8) and
// must be 8-byte aligned. The tree never allocates. The compare function gets
// (search element, tree element) and must return exactly -1, 0 or +1.
#pragma once

#include <cstddef>
#include <cstdint>

// Packed parent word (avl_pcb): bits 63..3 parent node address, bit 2 the
// index of this node in its parent (0 left, 1 right), bits 1..0 balance + 1
// (0 left-heavy, 1 balanced, 2 right-heavy).
struct avl_node_t {
    avl_node_t *avl_child[2];
    uintptr_t avl_pcb;
};
static_assert(sizeof(avl_node_t) == 24);
static_assert(offsetof(avl_node_t, avl_pcb) == 16);

using avl_compar_fn = int (*)(const void *, const void *);

struct avl_tree_t {
    avl_node_t *avl_root;
    avl_compar_fn avl_compar;
    size_t avl_offset;
    unsigned long avl_numnodes;
    size_t avl_size;
};
static_assert(offsetof(avl_tree_t, avl_compar) == 8);
static_assert(offsetof(avl_tree_t, avl_offset) == 16);
static_assert(offsetof(avl_tree_t, avl_numnodes) == 24);
static_assert(offsetof(avl_tree_t, avl_size) == 32);
static_assert(sizeof(avl_tree_t) == 40);

// Insertion position: a parent node address with the child index in bit 0;
// 0 is the root slot of an empty tree.
using avl_index_t = uintptr_t;

#define AVL_BEFORE (0)
#define AVL_AFTER (1)

#define AVL_NEXT(tree, elem) avl_walk(tree, elem, AVL_AFTER)
#define AVL_PREV(tree, elem) avl_walk(tree, elem, AVL_BEFORE)

// Callback of avl_foreach: (element, arg1, arg2, element); nonzero stops the walk.
using avl_foreach_cb = int (*)(void *elem, void *arg1, void *arg2, void *elem2);

void avl_create(avl_tree_t *tree, avl_compar_fn compar, size_t size, size_t offset);
void avl_destroy(avl_tree_t *tree);

void *avl_find(avl_tree_t *tree, const void *value, avl_index_t *where);
void avl_insert(avl_tree_t *tree, void *new_data, avl_index_t where);
void avl_insert_here(avl_tree_t *tree, void *new_data, void *here, int direction);
void avl_add(avl_tree_t *tree, void *new_data);
void avl_remove(avl_tree_t *tree, void *data);
// After a key change: re-sorts the element if it is out of order; 1 when it moved.
int avl_update(avl_tree_t *tree, void *data);

void *avl_first(avl_tree_t *tree);
void *avl_last(avl_tree_t *tree);
void *avl_walk(avl_tree_t *tree, void *data, int direction);
void *avl_nearest(avl_tree_t *tree, avl_index_t where, int direction);
// First element strictly greater than value.
void *avl_find_next(avl_tree_t *tree, const void *value);
// The equal element, else the first greater one.
void *avl_find_or_next(avl_tree_t *tree, const void *value, avl_index_t *where);

// Ascending / descending walk; the callback may remove and free its element.
// Returns the first nonzero callback result, else 0.
int avl_foreach(avl_tree_t *tree, avl_foreach_cb cb, void *arg1, void *arg2);
int avl_foreach_reverse(avl_tree_t *tree, avl_foreach_cb cb, void *arg1, void *arg2);

unsigned long avl_numnodes(const avl_tree_t *tree);
bool avl_is_empty(const avl_tree_t *tree);

// Teardown without rebalancing: start with *cookie == nullptr and call until it
// returns nullptr; each returned element is already unlinked and may be freed.
void *avl_destroy_nodes(avl_tree_t *tree, void **cookie);
