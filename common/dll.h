// Intrusive doubly linked list with a count.
//
// The links live inside the element (dll_node_t member); inserting never
// allocates and an element leaves the list in constant time. A node that is
// not on a list has both links empty. Misuse is a fatal assertion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/zel_log.h"

struct dll_node_t {
    dll_node_t *p_next;
    dll_node_t *p_prev;
};
static_assert(sizeof(dll_node_t) == 16);
static_assert(offsetof(dll_node_t, p_prev) == 8);

struct dll_head_t {
    dll_node_t *p_first;
    dll_node_t *p_last;
    int32_t count;
};
static_assert(offsetof(dll_head_t, p_last) == 8);
static_assert(offsetof(dll_head_t, count) == 16);

// The element that holds `node` as its member `member`.
#define DLL_ENTRY(node, type, member) reinterpret_cast<type *>(reinterpret_cast<char *>(node) - offsetof(type, member))

inline void dll_init(dll_head_t *p_list)
{
    p_list->p_first = nullptr;
    p_list->p_last = nullptr;
    p_list->count = 0;
}

inline dll_node_t *dll_first(const dll_head_t *p_list) { return p_list->p_first; }
inline dll_node_t *dll_last(const dll_head_t *p_list) { return p_list->p_last; }
inline dll_node_t *dll_next(const dll_node_t *p_node) { return p_node->p_next; }
inline dll_node_t *dll_prev(const dll_node_t *p_node) { return p_node->p_prev; }
inline int32_t dll_count(const dll_head_t *p_list) { return p_list->count; }
inline bool dll_is_empty(const dll_head_t *p_list) { return p_list->count == 0; }

// Appends the node.
inline void dll_insert_tail(dll_head_t *p_list, dll_node_t *p_newnode)
{
    ZEL_ASSERT_AT("dll", 112, p_newnode->p_next == NULL && p_newnode->p_prev == NULL);
    dll_node_t *last = p_list->p_last;
    if (last) {
        ZEL_ASSERT_AT("dll", 116, p_list->count > 0);
        last->p_next = p_newnode;
        p_newnode->p_prev = last;
    } else {
        ZEL_ASSERT_AT("dll", 124, p_list->count == 0);
        p_list->p_first = p_newnode;
    }
    p_newnode->p_next = nullptr;
    p_list->p_last = p_newnode;
    p_list->count++;
}

// Links a free node between two neighbours (either may be null at an end).
inline void dll_link_between(dll_head_t *p_list, dll_node_t *prev, dll_node_t *next, dll_node_t *p_newnode)
{
    p_newnode->p_prev = prev;
    p_newnode->p_next = next;
    if (prev)
        prev->p_next = p_newnode;
    else
        p_list->p_first = p_newnode;
    if (next)
        next->p_prev = p_newnode;
    else
        p_list->p_last = p_newnode;
    p_list->count++;
}

// Inserts after p_node, or at the head when p_node is null.
inline void dll_insert_after(dll_head_t *p_list, dll_node_t *p_node, dll_node_t *p_newnode)
{
    ZEL_ASSERT_AT("dll", 140, p_newnode->p_next == NULL && p_newnode->p_prev == NULL);
    dll_link_between(p_list, p_node, p_node ? p_node->p_next : p_list->p_first, p_newnode);
}

// Inserts before p_node, or at the tail when p_node is null.
inline void dll_insert_before(dll_head_t *p_list, dll_node_t *p_node, dll_node_t *p_newnode)
{
    ZEL_ASSERT_AT("dll", 174, p_newnode->p_next == NULL && p_newnode->p_prev == NULL);
    dll_link_between(p_list, p_node ? p_node->p_prev : p_list->p_last, p_node, p_newnode);
}

// Unlinks the node and clears its links.
inline void dll_remove(dll_head_t *p_list, dll_node_t *p_node)
{
    if (p_node->p_prev)
        p_node->p_prev->p_next = p_node->p_next;
    else
        p_list->p_first = p_node->p_next;
    if (p_node->p_next)
        p_node->p_next->p_prev = p_node->p_prev;
    else
        p_list->p_last = p_node->p_prev;
    ZEL_ASSERT_AT("dll", 217, p_list->count > 0);
    p_list->count--;
    p_node->p_next = nullptr;
    p_node->p_prev = nullptr;
}
