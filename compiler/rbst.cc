#include "compiler/rbst.h"

#include "common/zel_log.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// ---- ptr_stack ------------------------------------------------------------------------------------------

void ptr_stack_init(ptr_stack *s) { *s = ptr_stack{}; }

int ptr_stack_push(ptr_stack *s, void *item)
{
    ptr_stack_cell *c = s->spare;
    if (c) {
        s->spare = c->next;
    } else {
        c = new (std::nothrow) ptr_stack_cell;
        if (!c)
            return 12;
    }
    c->item = item;
    c->next = s->head;
    s->head = c;
    return 0;
}

void *ptr_stack_pop(ptr_stack *s)
{
    ptr_stack_cell *c = s->head;
    if (!c)
        return nullptr;
    s->head = c->next;
    c->next = s->spare;
    s->spare = c;
    return c->item;
}

void *ptr_stack_peek(const ptr_stack *s) { return s->head ? s->head->item : nullptr; }

bool ptr_stack_is_empty(const ptr_stack *s) { return s->head == nullptr; }

void ptr_stack_apply(ptr_stack *s, void (*fn)(void *item, void *arg), void *arg)
{
    // Pop everything onto a reversed chain, apply, and push back: the former order is kept.
    ptr_stack_cell *rev = nullptr;
    while (ptr_stack_cell *c = s->head) {
        s->head = c->next;
        fn(c->item, arg);
        c->next = rev;
        rev = c;
    }
    while (ptr_stack_cell *c = rev) {
        rev = c->next;
        c->next = s->head;
        s->head = c;
    }
}

void ptr_stack_release(ptr_stack *s)
{
    for (ptr_stack_cell *list : {s->head, s->spare}) {
        while (list) {
            ptr_stack_cell *n = list->next;
            delete list;
            list = n;
        }
    }
    *s = ptr_stack{};
}

// ---- draws --------------------------------------------------------------------------------------------
//
// Tree shapes must follow the process's random() sequence, but random() takes a lock per call and the
// compiler draws tens of millions of times. Inside a batch the glibc additive-feedback generator
// (TYPE_3: degree 31, separation 3) is run on the process's own state array, handed over by setstate(),
// and handed back with the position it reached: the sequence is exactly the one random() would give.

namespace
{

int g_draw_depth = 0;
alignas(8) char g_parking[128];  // the state random() uses while a batch holds the real one

constexpr int kType3 = 3, kMaxTypes = 5, kDegree = RBST_DRAW_DEGREE, kSep = RBST_DRAW_SEP;

// The emulation takes random()'s words, oldest first (the front is overwritten next).
bool take_state(int32_t *word)
{
    rbst_draw_state &b = g_rbst_draws;
    b.fast = false;
    if (word[0] % kMaxTypes != kType3)
        return false;
    b.word = word;
    b.rear = word[0] / kMaxTypes;
    b.front = (b.rear + kSep) % kDegree;
    b.oldest = 0;
    for (int j = 0; j < kDegree; j++)
        b.ring[j] = b.ring[j + kDegree] = static_cast<uint32_t>(word[1 + (b.front + j) % kDegree]);
    b.fast = true;
    return true;
}

// And hands them back with the position reached.
void give_state()
{
    rbst_draw_state &b = g_rbst_draws;
    const int front = static_cast<int>((b.front + b.oldest) % kDegree);
    for (int j = 0; j < kDegree; j++)
        b.word[1 + (front + j) % kDegree] = static_cast<int32_t>(b.ring[b.oldest + j]);
    b.word[0] = kMaxTypes * static_cast<int>((b.rear + b.oldest) % kDegree) + kType3;
    b.fast = false;
}

// Once per process: the emulation must give what random() gives on a private state.
bool emulation_matches()
{
    alignas(8) static char probe[128];
    char *orig = initstate(12345, probe, sizeof probe);
    if (!orig)
        return false;
    alignas(8) char copy[128];
    memcpy(copy, probe, sizeof copy);
    const rbst_draw_state saved = g_rbst_draws;
    bool ok = take_state(reinterpret_cast<int32_t *>(copy));
    for (int i = 0; ok && i < 100; i++)
        ok = static_cast<uint32_t>(random()) == rbst_draw();
    g_rbst_draws = saved;
    setstate(orig);
    return ok;
}

inline long draw() { return static_cast<long>(rbst_draw()); }

}  // namespace

rbst_draw_state g_rbst_draws{};

uint32_t rbst_draw_slow() { return static_cast<uint32_t>(random()); }

void rbst_draws_begin()
{
    if (g_draw_depth++ > 0)
        return;
    static const bool usable = [] {
        alignas(8) static char init[128];
        char *orig = initstate(1, init, sizeof init);  // prepares the parking state, then back
        memcpy(g_parking, init, sizeof g_parking);
        setstate(orig);
        return emulation_matches();
    }();
    g_rbst_draws.fast = false;
    if (!usable)
        return;
    auto *word = reinterpret_cast<int32_t *>(setstate(g_parking));
    if (word && !take_state(word))
        setstate(reinterpret_cast<char *>(word));
}

void rbst_draws_end()
{
    if (--g_draw_depth > 0 || !g_rbst_draws.fast)
        return;
    give_state();
    setstate(reinterpret_cast<char *>(g_rbst_draws.word));
}

// ---- rbst -----------------------------------------------------------------------------------------------

int rbst_default_cmp(const void *a, const void *b)
{
    const uint32_t x = *static_cast<const uint32_t *>(a);
    const uint32_t y = *static_cast<const uint32_t *>(b);
    return x < y ? -1 : (x == y ? 0 : 1);
}

void rbst_init(rbst *t)
{
    *t = rbst{};
    t->compare = rbst_default_cmp;
}

rbst *rbst_new()
{
    auto *tree = new (std::nothrow) rbst;
    ZEL_ASSERT(tree);
    rbst_init(tree);
    return tree;
}

void rbst_free_node(rbst_node *n) { delete n; }

void rbst_delete(rbst *t)
{
    if (!t)
        return;
    rbst_clear(t, rbst_free_node);
    ptr_stack_release(&t->stack);
    delete t;
}

rbst_node *rbst_find(const rbst *t, const void *key)
{
    rbst_node *n = t->root;
    while (n) {
        const int c = t->compare(key, n->key);
        if (c == 0)
            return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

namespace
{

inline uint32_t size_of(const rbst_node *n) { return n ? n->size : 0; }

// Puts y where x was under x's parent (or as the root).
inline void replace_child(rbst *t, rbst_node *x, rbst_node *y)
{
    rbst_node *p = x->parent;
    y->parent = p;
    if (!p)
        t->root = y;
    else if (p->left == x)
        p->left = y;
    else
        p->right = y;
}

rbst_node *rotate_left(rbst *t, rbst_node *x)
{
    ZEL_ASSERT(x->right);
    rbst_node *y = x->right;
    x->right = y->left;
    if (y->left)
        y->left->parent = x;
    replace_child(t, x, y);
    y->left = x;
    x->parent = y;
    y->size = x->size;
    x->size = 1 + size_of(x->left) + size_of(x->right);
    return y;
}

rbst_node *rotate_right(rbst *t, rbst_node *x)
{
    ZEL_ASSERT(x->left);
    rbst_node *y = x->left;
    x->left = y->right;
    if (y->right)
        y->right->parent = x;
    replace_child(t, x, y);
    y->right = x;
    x->parent = y;
    y->size = x->size;
    x->size = 1 + size_of(x->left) + size_of(x->right);
    return y;
}

// Inserts n at the root of the subtree v (whose parent link is already in place); returns the new top.
rbst_node *insert_at_root(rbst *t, rbst_node *v, rbst_node *n)
{
    if (!v)
        return n;
    if (t->compare(n->key, v->key) < 0) {
        rbst_node *sub = insert_at_root(t, v->left, n);
        v->left = sub;
        sub->parent = v;
        return rotate_right(t, v);
    }
    rbst_node *sub = insert_at_root(t, v->right, n);
    v->right = sub;
    sub->parent = v;
    return rotate_left(t, v);
}

}  // namespace

void rbst_link_new(rbst *t, rbst_node *n)
{
    n->size = 1;
    n->parent = n->left = n->right = nullptr;
    rbst_node *v = t->root;
    rbst_node *parent = nullptr;
    bool go_right = false;
    // Draws are below 2^31 and sizes 32-bit: a 32-bit modulo gives the same test, faster.
    const bool word_keys = t->compare == rbst_default_cmp;
    const uint32_t nk = word_keys ? *static_cast<const uint32_t *>(n->key) : 0;
    while (v) {
        v->size++;
        if (static_cast<uint32_t>(draw()) % v->size == 0) {
            insert_at_root(t, v, n);
            return;
        }
        parent = v;
        go_right = word_keys ? nk >= *static_cast<const uint32_t *>(v->key) : t->compare(n->key, v->key) >= 0;
        v = go_right ? v->right : v->left;
    }
    n->parent = parent;
    if (!parent)
        t->root = n;
    else if (go_right)
        parent->right = n;
    else
        parent->left = n;
}

int rbst_insert_node(rbst *t, rbst_node *n)
{
    if (rbst_find(t, n->key))
        return 0;
    rbst_link_new(t, n);
    return 1;
}

int rbst_insert(rbst *t, void *key, void *value)
{
    if (rbst_find(t, key))
        return 0;
    auto *n = new (std::nothrow) rbst_node{};
    if (!n)
        return -12;
    n->key = key;
    n->value = value;
    rbst_link_new(t, n);
    return 1;
}

rbst_node *rbst_first(rbst_node *n)
{
    if (!n)
        return nullptr;
    while (n->left)
        n = n->left;
    return n;
}

rbst_node *rbst_next(const rbst *t, rbst_node *n)
{
    if (!n)
        return rbst_first(t->root);
    if (n->right)
        return rbst_first(n->right);
    rbst_node *p = n->parent;
    while (p && n == p->right) {
        n = p;
        p = p->parent;
    }
    return p;
}

int rbst_next_pair(const rbst *t, rbst_node *prev, rbst_node **a, rbst_node **b)
{
    *a = rbst_next(t, prev);
    if (!*a) {
        *b = nullptr;
        return 0;
    }
    *b = rbst_next(t, *a);
    return *b != nullptr;
}

bool rbst_is_empty(const rbst *t) { return t->root == nullptr; }

void rbst_walk(rbst *t, void (*cb)(rbst *t, rbst_node *n))
{
    if (!t->root)
        return;
    ptr_stack s;
    ptr_stack_init(&s);
    ZEL_ASSERT(ptr_stack_push(&s, t->root) == 0);
    while (auto *n = static_cast<rbst_node *>(ptr_stack_pop(&s))) {
        cb(t, n);
        if (n->left)
            ZEL_ASSERT(ptr_stack_push(&s, n->left) == 0);
        if (n->right)
            ZEL_ASSERT(ptr_stack_push(&s, n->right) == 0);
    }
    ptr_stack_release(&s);
}

uint32_t rbst_count(rbst *t)
{
    t->count = 0;
    rbst_walk(t, [](rbst *tree, rbst_node *) { tree->count++; });
    return t->count;
}

int rbst_height(const rbst_node *n)
{
    if (!n)
        return -1;
    const int l = rbst_height(n->left);
    const int r = rbst_height(n->right);
    return 1 + (l > r ? l : r);
}

rbst_node *rbst_remove(rbst *t, rbst_node *z)
{
    rbst_node *y = (z->left && z->right) ? rbst_first(z->right) : z;
    rbst_node *x = y->left ? y->left : y->right;
    if (x)
        x->parent = y->parent;
    if (!y->parent)
        t->root = x;
    else if (y == y->parent->left)
        y->parent->left = x;
    else
        y->parent->right = x;
    if (y != z) {
        std::swap(y->key, z->key);
        std::swap(y->value, z->value);
        z->size = y->size;
    }
    y->parent = y->left = y->right = nullptr;
    return y;
}

void rbst_clear(rbst *t, void (*release)(rbst_node *n))
{
    // Reverse walk order is post-order (left, right, node): every node leaves as a leaf, after all of its
    // descendants. Following parent links needs no memory, so clearing works when none is left.
    rbst_node *v = t->root;
    while (v) {
        while (v->left || v->right)
            v = v->left ? v->left : v->right;
        rbst_node *p = v->parent;
        rbst_node *gone = rbst_remove(t, v);
        if (release)
            release(gone);
        v = p;
    }
    t->root = nullptr;
    t->count = 0;
}
