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
struct rbst_draw_state {
    bool fast;
    int32_t *word;  // encoded type and position, followed by the 31 state words
    int rear, front;
};
extern rbst_draw_state g_rbst_draws;
uint32_t rbst_draw_slow();
// A copy of the draw position in local variables for a tight loop (stores into other 32-bit arrays cannot
// then alias it); the position goes back to the shared state when the cursor ends.
class rbst_draw_cursor
{
public:
    rbst_draw_cursor()
        : fast_(g_rbst_draws.fast), st_(fast_ ? g_rbst_draws.word + 1 : nullptr), rear_(g_rbst_draws.rear),
          front_(g_rbst_draws.front)
    {
    }
    ~rbst_draw_cursor()
    {
        if (fast_) {
            g_rbst_draws.rear = rear_;
            g_rbst_draws.front = front_;
        }
    }
    rbst_draw_cursor(const rbst_draw_cursor &) = delete;
    rbst_draw_cursor &operator=(const rbst_draw_cursor &) = delete;

    uint32_t next()
    {
        if (!fast_)
            return rbst_draw_slow();
        st_[front_] = static_cast<int32_t>(static_cast<uint32_t>(st_[front_]) + static_cast<uint32_t>(st_[rear_]));
        const uint32_t v = static_cast<uint32_t>(st_[front_]) >> 1;
        front_ = front_ + 1 == 31 ? 0 : front_ + 1;
        rear_ = rear_ + 1 == 31 ? 0 : rear_ + 1;
        return v;
    }

private:
    bool fast_;
    int32_t *st_;
    int rear_, front_;
};

inline uint32_t rbst_draw()
{
    rbst_draw_state &b = g_rbst_draws;
    if (!b.fast)
        return rbst_draw_slow();
    int32_t *st = b.word + 1;
    st[b.front] = static_cast<int32_t>(static_cast<uint32_t>(st[b.front]) + static_cast<uint32_t>(st[b.rear]));
    const uint32_t v = static_cast<uint32_t>(st[b.front]) >> 1;
    b.front = b.front + 1 == 31 ? 0 : b.front + 1;
    b.rear = b.rear + 1 == 31 ? 0 : b.rear + 1;
    return v;
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
