// Randomized binary search tree with parent pointers, and the pointer stack its walks use.
//
// Insertion puts the new node at the root of a subtree with probability 1/size, drawn from the process's
// unseeded random(): every run of the process draws the same trees. The emitted lookup tables of a
// program are images of these trees, so the draw sequence is part of the output.
#pragma once

#include <cstdint>

struct ptr_stack_cell {
    void *item;
    ptr_stack_cell *next;
};

struct ptr_stack {
    ptr_stack_cell *head;
    ptr_stack_cell *spare;  // popped cells kept for reuse; released by ptr_stack_release
};

void ptr_stack_init(ptr_stack *s);
int ptr_stack_push(ptr_stack *s, void *item);  // 0, or 12 when out of memory
void *ptr_stack_pop(ptr_stack *s);             // nullptr when empty
void *ptr_stack_peek(const ptr_stack *s);      // top item or nullptr
bool ptr_stack_is_empty(const ptr_stack *s);
void ptr_stack_apply(ptr_stack *s, void (*fn)(void *item, void *arg), void *arg);
void ptr_stack_release(ptr_stack *s);  // frees every cell

struct rbst_node {
    void *key;
    void *value;
    uint32_t emit_pos;  // caller scratch (the program emitter's entry index)
    uint32_t size;
    rbst_node *parent;
    rbst_node *left;
    rbst_node *right;
};

using rbst_cmp_fn = int (*)(const void *a, const void *b);

struct rbst {
    uint32_t count;
    rbst_node *root;
    rbst_cmp_fn compare;
    ptr_stack stack;
    uintptr_t scratch[2];  // free for walk callbacks
};

// Brackets a run of insertions (nestable): draws stay those of random(), without its per-call lock. No other
// code may call random() inside the brackets.
void rbst_draws_begin();
void rbst_draws_end();

// The next draw of the insertion sequence: random(), or its emulation inside the brackets. Inline because
// the row trees of the compiler draw once per level of every insertion.
//
// The emulation keeps the generator's 31 words oldest first in a ring written twice over (slot i and
// i + 31), so that the word three draws back is always at oldest + 28 and a draw needs no wrap but the
// oldest position's.
inline constexpr uint32_t RBST_DRAW_DEGREE = 31;  // glibc's TYPE_3 generator: 31 words,
inline constexpr uint32_t RBST_DRAW_SEP = 3;      // the second operand three draws back

struct rbst_draw_state {
    bool fast;
    int32_t *word;    // random()'s state: encoded type and position, followed by the 31 words
    int rear, front;  // its positions when the brackets opened
    uint32_t oldest;  // draws taken since, modulo 31
    uint32_t ring[2 * RBST_DRAW_DEGREE];
};
extern rbst_draw_state g_rbst_draws;
uint32_t rbst_draw_slow();

// One step of the emulation.
inline uint32_t rbst_ring_step(uint32_t *ring, uint32_t &oldest)
{
    const uint32_t v = ring[oldest] + ring[oldest + RBST_DRAW_DEGREE - RBST_DRAW_SEP];
    ring[oldest] = v;
    ring[oldest + RBST_DRAW_DEGREE] = v;
    oldest = oldest + 1 == RBST_DRAW_DEGREE ? 0 : oldest + 1;
    return v >> 1;
}

// A copy of the draw position in a local variable for a tight loop (stores into other 32-bit arrays cannot
// then alias it); the position goes back to the shared state when the cursor ends.
class rbst_draw_cursor
{
public:
    rbst_draw_cursor() : fast_(g_rbst_draws.fast), oldest_(g_rbst_draws.oldest) {}
    ~rbst_draw_cursor()
    {
        if (fast_)
            g_rbst_draws.oldest = oldest_;
    }
    rbst_draw_cursor(const rbst_draw_cursor &) = delete;
    rbst_draw_cursor &operator=(const rbst_draw_cursor &) = delete;

    bool fast() const { return fast_; }
    // The next draw, for a loop that has checked fast() once (a test per draw costs the row trees more
    // than the rest of a draw).
    template <bool Emulated>
    uint32_t next()
    {
        if constexpr (Emulated)
            return rbst_ring_step(g_rbst_draws.ring, oldest_);
        else
            return rbst_draw_slow();
    }

private:
    bool fast_;
    uint32_t oldest_;
};

inline uint32_t rbst_draw()
{
    rbst_draw_cursor c;
    return c.fast() ? c.next<true>() : c.next<false>();
}

int rbst_default_cmp(const void *a, const void *b);  // first unsigned 32-bit word of each key

void rbst_init(rbst *t);
rbst *rbst_new();
void rbst_delete(rbst *t);  // clear (freeing nodes) and free the record
// 1 when inserted; 0 when an equal key is present (the caller keeps its key); -12 when out of memory.
int rbst_insert(rbst *t, void *key, void *value);
// Same with a node owned by the caller (key and value already set): 1, or 0 when the key is present.
int rbst_insert_node(rbst *t, rbst_node *n);
// Same without the duplicate search: the caller guarantees the key is absent.
void rbst_link_new(rbst *t, rbst_node *n);
rbst_node *rbst_find(const rbst *t, const void *key);
rbst_node *rbst_first(rbst_node *n);
rbst_node *rbst_next(const rbst *t, rbst_node *n);  // in-order successor; nullptr gives the smallest
int rbst_next_pair(const rbst *t, rbst_node *prev, rbst_node **a, rbst_node **b);
bool rbst_is_empty(const rbst *t);
uint32_t rbst_count(rbst *t);
int rbst_height(const rbst_node *n);
// Visits every node: node, right subtree, left subtree.
void rbst_walk(rbst *t, void (*cb)(rbst *t, rbst_node *n));
rbst_node *rbst_remove(rbst *t, rbst_node *z);
// Removes every node (each as a leaf, in reverse walk order) and hands it to release (nullptr: the node is
// just unlinked). Allocates nothing.
void rbst_clear(rbst *t, void (*release)(rbst_node *n));
void rbst_free_node(rbst_node *n);  // release for nodes made by rbst_insert
