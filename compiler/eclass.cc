#include "compiler/eclass.h"

#include "common/zel_log.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_work.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

// The classes of a table. Vectors are stored sparse, as their non-zero 64-bit words: one bit per rule,
// but a cell of a combined table is matched by few rules, so most words of most vectors are zero and
// AND, hash and compare only visit the others.
struct eclass_classes {
    zel_compile_work *work = nullptr;
    uint32_t nbits = 0, nwords = 0;
    std::vector<uint32_t> off{0};  // class c: words off[c] ... off[c + 1] - 1
    std::vector<uint16_t> index;
    std::vector<uint64_t> word;
    std::vector<uint64_t> hash;
    std::vector<uint32_t> slots;  // open addressing over hash: class id + 1, 0 empty
    std::vector<uint32_t> order;  // class ids in vector order (the class map's in-order walk)
    std::vector<uint32_t> rank;   // position of each class in that order
    std::vector<uint32_t> cuts;   // leaf tables: the boundaries; row k is [cuts[k], cuts[k + 1])
    zel_work_buf cells;           // class of each row, in the order rows are drawn
    uint32_t nrows = 0;
    uint64_t charged = 0;

    uint32_t count() const { return static_cast<uint32_t>(off.size() - 1); }
    const uint32_t *cell() const { return static_cast<const uint32_t *>(cells.p); }

    ~eclass_classes()
    {
        if (work) {
            work->put(cells);
            work->uncharge(charged);
        }
    }
};

namespace
{

struct boundary_rec {
    rbst_node node;
    uint32_t value;
};

// A node of an interval tree or class map. Links are 32-bit byte offsets into the node array (0 = none;
// node k, from 1, sits at offset 16 k), so that following a link is one load with no index arithmetic:
// the draws wait on that chain of loads. No parent links (the insertion and the emitter know the parent of
// every node they reach), so four nodes share a cache line on the paths the draws walk.
struct tree_node {
    uint32_t key, size, left, right;
};
static_assert(sizeof(tree_node) == 16);
constexpr uint32_t kNodeShift = 4;
// Offsets are 32-bit: a tree is at most 4 GiB (the working-memory cap and the image field are smaller).
constexpr uint64_t kMaxTreeNodes = (uint64_t{1} << (32 - kNodeShift)) - 1;

inline tree_node &node_at(tree_node *r, uint32_t off)
{
    return *reinterpret_cast<tree_node *>(reinterpret_cast<char *>(r) + off);
}
inline const tree_node &node_at(const tree_node *r, uint32_t off)
{
    return *reinterpret_cast<const tree_node *>(reinterpret_cast<const char *>(r) + off);
}

constexpr uint64_t kHashSeed = 0x243F6A8885A308D3ull;

inline uint64_t mix_word(uint32_t k, uint64_t w)
{
    return (w ^ (0x9E3779B97F4A7C15ull * (k + 1))) * 0xBF58476D1CE4E5B9ull;
}

inline uint64_t finish_hash(uint64_t h, uint32_t n)
{
    h ^= n;
    h ^= h >> 31;
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

// Unsigned order of two sparse vectors: the highest word where they differ decides.
int sparse_cmp(const eclass_classes &c, uint32_t x, uint32_t y)
{
    uint32_t i = c.off[x + 1], j = c.off[y + 1];
    const uint32_t i0 = c.off[x], j0 = c.off[y];
    while (i > i0 && j > j0) {
        const uint16_t a = c.index[i - 1], b = c.index[j - 1];
        if (a != b)
            return a > b ? 1 : -1;
        if (c.word[i - 1] != c.word[j - 1])
            return c.word[i - 1] > c.word[j - 1] ? 1 : -1;
        i--;
        j--;
    }
    return (i > i0) - (j > j0);
}

// Collects the classes of one table while its rows are enumerated.
class class_builder
{
public:
    class_builder(eclass_classes &c, zel_compile_work &work) : c_(c), work_(work) {}

    // Class of the vector held in idx/w (n non-zero words); added when new. ECLASS_NONE when out of memory.
    uint32_t intern(const uint16_t *idx, const uint64_t *w, uint32_t n, uint64_t h)
    {
        if (!c_.slots.empty()) {
            const size_t mask = c_.slots.size() - 1;
            for (size_t i = h & mask;; i = (i + 1) & mask) {
                const uint32_t s = c_.slots[i];
                if (s == 0)
                    break;
                const uint32_t id = s - 1;
                const uint32_t o = c_.off[id];
                if (c_.hash[id] == h && c_.off[id + 1] - o == n && same(idx, w, n, o))
                    return id;
            }
        }
        return add(idx, w, n, h);
    }

private:
    // Vectors have a few non-zero words: a plain loop, where a library compare would cost a call each.
    bool same(const uint16_t *idx, const uint64_t *w, uint32_t n, uint32_t o) const
    {
        const uint64_t *cw = c_.word.data() + o;
        const uint16_t *ci = c_.index.data() + o;
        for (uint32_t j = 0; j < n; j++)
            if (w[j] != cw[j] || idx[j] != ci[j])
                return false;
        return true;
    }

    uint32_t add(const uint16_t *idx, const uint64_t *w, uint32_t n, uint64_t h)
    {
        const uint32_t id = c_.count();
        const uint64_t bytes = n * 10ull + 16;
        if (!work_.charge(bytes))
            return ECLASS_NONE;
        c_.charged += bytes;
        c_.index.insert(c_.index.end(), idx, idx + n);
        c_.word.insert(c_.word.end(), w, w + n);
        c_.off.push_back(static_cast<uint32_t>(c_.word.size()));
        c_.hash.push_back(h);
        if ((id + 1) * 2 > c_.slots.size()) {
            const size_t sz = c_.slots.empty() ? 64 : c_.slots.size() * 2;
            if (!work_.charge((sz - c_.slots.size()) * 4))
                return ECLASS_NONE;
            c_.charged += (sz - c_.slots.size()) * 4;
            c_.slots.assign(sz, 0);
            for (uint32_t k = 0; k < id; k++)
                place(k);
        }
        place(id);
        return id;
    }

    void place(uint32_t id)
    {
        const size_t mask = c_.slots.size() - 1;
        size_t i = c_.hash[id] & mask;
        while (c_.slots[i])
            i = (i + 1) & mask;
        c_.slots[i] = id + 1;
    }

    eclass_classes &c_;
    zel_compile_work &work_;
};

// The class map's order and each class's rank in it.
void finish_order(eclass_classes &c)
{
    const uint32_t n = c.count();
    c.order.resize(n);
    for (uint32_t i = 0; i < n; i++)
        c.order[i] = i;
    std::sort(c.order.begin(), c.order.end(), [&](uint32_t x, uint32_t y) { return sparse_cmp(c, x, y) < 0; });
    c.rank.resize(n);
    for (uint32_t i = 0; i < n; i++)
        c.rank[c.order[i]] = i;
}

// A randomized search tree over a node array, with the insertion of rbst_link_new: the same draws in the
// same order give the same shape.
class draw_tree
{
public:
    explicit draw_tree(tree_node *nodes) : r_(nodes) {}

    uint32_t root() const { return root_; }

    // Appends a node with `key` (absent from the tree) and links it in.
    void add(uint32_t key)
    {
        rbst_draw_cursor draws;
        if (draws.fast())
            insert<true>(key, draws);
        else
            insert<false>(key, draws);
    }

private:
    template <bool Emulated>
    void insert(uint32_t key, rbst_draw_cursor &draws)
    {
        const uint32_t n = ++count_ << kNodeShift;
        at(n) = tree_node{key, 1, 0, 0};
        uint32_t v = root_, *link = &root_;
        while (v) {
            tree_node &x = at(v);
            // Draws are below 2^31 and sizes 32-bit: a 32-bit modulo gives the same test.
            if (draws.next<Emulated>() % ++x.size == 0) {
                *link = insert_at_root(v, n);
                return;
            }
            link = key >= x.key ? &x.right : &x.left;
            v = *link;
        }
        *link = n;
    }

    tree_node &at(uint32_t off) const { return node_at(r_, off); }
    uint32_t size_of(uint32_t n) const { return n ? at(n).size : 0; }

    uint32_t rotate_left(uint32_t x)
    {
        const uint32_t y = at(x).right;
        at(x).right = at(y).left;
        at(y).left = x;
        at(y).size = at(x).size;
        at(x).size = 1 + size_of(at(x).left) + size_of(at(x).right);
        return y;
    }

    uint32_t rotate_right(uint32_t x)
    {
        const uint32_t y = at(x).left;
        at(x).left = at(y).right;
        at(y).right = x;
        at(y).size = at(x).size;
        at(x).size = 1 + size_of(at(x).left) + size_of(at(x).right);
        return y;
    }

    // n at the root of the subtree v; returns the subtree's new top (the caller links it).
    uint32_t insert_at_root(uint32_t v, uint32_t n)
    {
        if (!v)
            return n;
        if (at(n).key < at(v).key) {
            at(v).left = insert_at_root(at(v).left, n);
            return rotate_right(v);
        }
        at(v).right = insert_at_root(at(v).right, n);
        return rotate_left(v);
    }

    tree_node *r_;
    uint32_t root_ = 0, count_ = 0;
};

}  // namespace

// Everything a table owns besides its record.
struct eclass_store {
    compile_context *ctx = nullptr;
    std::deque<boundary_rec> bounds;
    eclass_classes *cls = nullptr;
    zel_work_buf tree;           // interval tree: node k is row k - 1 in drawing order
    bool tree_borrowed = false;  // the tree lives in the caller's memory, not in the pool
    uint32_t root = 0;
    std::deque<epi> dense;  // vectors made by eclass_vector
    std::deque<std::vector<uint64_t>> dense_words;
    std::vector<const epi *> dense_of;

    const tree_node *nodes() const { return static_cast<const tree_node *>(tree.p); }
};

namespace
{

zel_compile_work &work_of(compile_context *ctx) { return *ctx->work; }

eclass_classes *new_classes(compile_context *ctx, uint32_t nbits)
{
    auto *c = new (std::nothrow) eclass_classes;
    if (!c)
        return nullptr;
    c->work = ctx->work;
    c->nbits = nbits;
    c->nwords = epi_words_for(static_cast<int32_t>(nbits));
    return c;
}

bool alloc_cells(compile_context *ctx, eclass_classes &c, uint64_t nrows)
{
    c.cells = work_of(ctx).get(nrows * sizeof(uint32_t));
    c.nrows = static_cast<uint32_t>(nrows);
    return c.cells.p != nullptr;
}

// Key of drawn row k (from 1) of a combined table.
inline uint32_t combined_key(const eclass_classes &a, const eclass_classes &b, uint32_t k)
{
    const uint32_t nb = b.count();
    return a.order[(k - 1) / nb] * nb + b.order[(k - 1) % nb];
}

}  // namespace

eclass_table *eclass_table_new(compile_context *ctx, bool add)
{
    auto *t = new (std::nothrow) eclass_table{};
    if (!t)
        return nullptr;
    try {
        t->store = new eclass_store;  // its containers may allocate as they are made
    } catch (const std::bad_alloc &) {
        delete t;
        return nullptr;
    }
    t->store->ctx = ctx;
    t->id = ++ctx->table_counter;
    t->reg = ++ctx->c_reg_allocated;
    rbst_init(&t->boundaries);
    if (add && rbst_insert(&ctx->tables, t, t) < 0) {
        eclass_table_free(t);
        return nullptr;
    }
    return t;
}

void eclass_table_free(eclass_table *t)
{
    if (!t)
        return;
    // Nodes live in the store: unlinking is all the trees need.
    ptr_stack_release(&t->boundaries.stack);
    eclass_drop_tree(t);
    eclass_classes_free(t->store->cls);
    delete t->store;
    delete t;
}

int eclass_add_boundary(eclass_table *t, uint32_t value)
{
    if (rbst_find(&t->boundaries, &value))
        return 0;
    try {
        boundary_rec &b = t->store->bounds.emplace_back();
        b.value = value;
        b.node = rbst_node{};
        b.node.key = &b.value;
        rbst_link_new(&t->boundaries, &b.node);
    } catch (const std::bad_alloc &) {
        return 12;
    }
    return 0;
}

void eclass_classes_free(eclass_classes *c) { delete c; }

bool eclass_has_classes(const eclass_table *t) { return t->store->cls != nullptr; }

void eclass_adopt_classes(eclass_table *t, eclass_classes *c)
{
    ZEL_ASSERT(!t->store->cls);
    t->store->cls = c;
    t->class_count = c->count();
}

eclass_classes *eclass_release_classes(eclass_table *t)
{
    eclass_classes *c = t->store->cls;
    t->store->cls = nullptr;
    return c;
}

int eclass_field_classes(compile_context *ctx, const rule_table *rt, eclass_table *t)
{
    std::unique_ptr<eclass_classes> c(new_classes(ctx, rt->rule_count));
    if (!c)
        return 12;
    for (rbst_node *n = rbst_next(&t->boundaries, nullptr); n; n = rbst_next(&t->boundaries, n))
        c->cuts.push_back(*static_cast<uint32_t *>(n->key));
    if (c->cuts.size() < 2) {
        c->cuts.clear();
        t->store->cls = c.release();
        return 0;
    }
    if (!alloc_cells(ctx, *c, c->cuts.size() - 1))
        return 12;

    // Sweep the value line once: a rule's bit is on while one of its ranges covers the row's low bound,
    // or always when the rule places no range on this field. Every range start and end + 1 is a cut, so
    // coverage changes only at row starts.
    const uint32_t nwords = c->nwords;
    std::vector<uint64_t> vec(nwords + 1, 0), sw(nwords + 1);
    std::vector<uint16_t> si(nwords + 1);
    struct event {
        uint32_t at;
        uint32_t rule;
        int32_t delta;
    };
    std::vector<event> events;
    std::vector<uint32_t> cover(rt->rule_count, 0);
    for (uint32_t i = 0; i < rt->rule_count; i++) {
        const field_match *m = zel_rule_match(rt->by_index[i], t->id);
        if (!m) {
            vec[i / 64] |= 1ull << (i % 64);
            continue;
        }
        for (const zel_range &rg : m->ranges) {
            events.push_back({rg.min, i, +1});
            if (rg.max != 0xFFFFFFFF)
                events.push_back({rg.max + 1, i, -1});
        }
    }
    std::sort(events.begin(), events.end(), [](const event &a, const event &b) { return a.at < b.at; });

    class_builder classes(*c, work_of(ctx));
    auto *cell = static_cast<uint32_t *>(c->cells.p);
    size_t e = 0;
    for (uint32_t k = 0; k < c->nrows; k++) {
        const uint32_t low = c->cuts[k];
        for (; e < events.size() && events[e].at <= low; e++) {
            const event &ev = events[e];
            const uint32_t before = cover[ev.rule];
            cover[ev.rule] = before + ev.delta;
            if ((before == 0) != (cover[ev.rule] == 0))
                vec[ev.rule / 64] ^= 1ull << (ev.rule % 64);
        }
        uint32_t n = 0;
        uint64_t h = kHashSeed;
        for (uint32_t w = 0; w < nwords; w++) {
            si[n] = static_cast<uint16_t>(w);
            sw[n] = vec[w];
            h += vec[w] ? mix_word(w, vec[w]) : 0;
            n += vec[w] != 0;
        }
        const uint32_t id = classes.intern(si.data(), sw.data(), n, finish_hash(h, n));
        if (id == ECLASS_NONE)
            return 12;
        cell[k] = id;
    }
    finish_order(*c);
    t->class_count = c->count();
    t->store->cls = c.release();
    return 0;
}

int eclass_combine_classes(compile_context *ctx, eclass_table *t, const eclass_table *a, const eclass_table *b)
{
    const eclass_classes &A = *a->store->cls, &B = *b->store->cls;
    const uint64_t nrows = uint64_t{A.count()} * B.count();
    if (nrows == 0 || nrows >= 0xFFFFFFFFull)
        return 12;
    std::unique_ptr<eclass_classes> c(new_classes(ctx, A.nbits));
    if (!c || !alloc_cells(ctx, *c, nrows))
        return 12;
    t->combined = 1;

    // a's vector is spread into a dense scratch once; each cell then ANDs b's non-zero words with it. The
    // result's non-zero words are appended without a branch (write, then advance when non-zero).
    const uint32_t nwords = A.nwords;
    std::vector<uint64_t> dense(nwords + 1, 0), sw(nwords + 1);
    std::vector<uint16_t> si(nwords + 1);
    class_builder classes(*c, work_of(ctx));
    auto *cell = static_cast<uint32_t *>(c->cells.p);
    const uint16_t *bi = B.index.data();
    const uint64_t *bw = B.word.data();
    for (uint32_t ia : A.order) {
        for (uint32_t p = A.off[ia]; p < A.off[ia + 1]; p++)
            dense[A.index[p]] = A.word[p];
        for (uint32_t ib : B.order) {
            uint32_t n = 0;
            uint64_t h = kHashSeed;
            for (uint32_t p = B.off[ib], end = B.off[ib + 1]; p < end; p++) {
                const uint16_t k = bi[p];
                const uint64_t w = dense[k] & bw[p];
                si[n] = k;
                sw[n] = w;
                h += w ? mix_word(k, w) : 0;
                n += w != 0;
            }
            const uint32_t id = classes.intern(si.data(), sw.data(), n, finish_hash(h, n));
            if (id == ECLASS_NONE)
                return 12;
            *cell++ = id;
        }
        for (uint32_t p = A.off[ia]; p < A.off[ia + 1]; p++)
            dense[A.index[p]] = 0;
    }
    finish_order(*c);
    t->class_count = c->count();
    t->store->cls = c.release();
    return 0;
}

uint32_t eclass_row_count(const eclass_table *t) { return t->store->cls ? t->store->cls->nrows : 0; }

uint32_t eclass_words_per_vector(const eclass_table *t) { return t->store->cls ? t->store->cls->nwords : 0; }

eclass_words eclass_class_words(const eclass_table *t, uint32_t class_id)
{
    const eclass_classes &c = *t->store->cls;
    const uint32_t o = c.off[class_id];
    return {c.index.data() + o, c.word.data() + o, c.off[class_id + 1] - o};
}

uint32_t eclass_first_rule(const eclass_table *t, uint32_t class_id)
{
    const eclass_words v = eclass_class_words(t, class_id);
    if (v.count == 0)
        return t->store->cls->nbits;
    return v.index[0] * 64u + static_cast<uint32_t>(__builtin_ctzll(v.word[0]));
}

uint32_t eclass_lookup(const eclass_table *t, const epi *v)
{
    const eclass_classes *c = t->store->cls;
    if (!c || static_cast<uint32_t>(v->nbits) != c->nbits)
        return ECLASS_NONE;
    for (uint32_t id = 0; id < c->count(); id++) {
        const eclass_words x = eclass_class_words(t, id);
        uint32_t j = 0;
        bool same = true;
        for (uint32_t k = 0; k < c->nwords && same; k++) {
            const uint64_t w = j < x.count && x.index[j] == k ? x.word[j++] : 0;
            same = w == v->w[k];
        }
        if (same)
            return id;
    }
    return ECLASS_NONE;
}

const epi *eclass_vector(const eclass_table *t, uint32_t class_id)
{
    eclass_store &s = *t->store;
    if (!s.cls || class_id >= s.cls->count())
        return nullptr;
    try {
        if (s.dense_of.size() < s.cls->count())
            s.dense_of.resize(s.cls->count(), nullptr);
        if (!s.dense_of[class_id]) {
            std::vector<uint64_t> &w = s.dense_words.emplace_back(s.cls->nwords + 1, 0);
            const eclass_words x = eclass_class_words(t, class_id);
            for (uint32_t j = 0; j < x.count; j++)
                w[x.index[j]] = x.word[j];
            epi &e = s.dense.emplace_back();
            e.nbits = static_cast<int32_t>(s.cls->nbits);
            e.ndigits = static_cast<uint16_t>(ceil_div(e.nbits, 8));
            e.nwords = static_cast<uint16_t>(s.cls->nwords);
            e.w = w.data();
            s.dense_of[class_id] = &e;
        }
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return s.dense_of[class_id];
}

std::vector<eclass_interval> eclass_rows(const eclass_table *t)
{
    std::vector<eclass_interval> out;
    const eclass_classes *c = t->store->cls;
    if (!c)
        return out;
    for (uint32_t k = 1; k <= c->nrows; k++) {
        if (t->combined) {
            const uint32_t key = combined_key(*t->left->store->cls, *t->right->store->cls, k);
            out.push_back({key, key + 1, c->cell()[k - 1]});
        } else {
            out.push_back({c->cuts[k - 1], c->cuts[k], c->cell()[k - 1]});
        }
    }
    std::sort(out.begin(), out.end(), [](const eclass_interval &a, const eclass_interval &b) { return a.low < b.low; });
    return out;
}

uint64_t eclass_tree_bytes(const eclass_table *t) { return (uint64_t{eclass_row_count(t)} + 1) * sizeof(tree_node); }

int eclass_draw(compile_context *ctx, eclass_table *t, void *tree_mem)
{
    eclass_store &s = *t->store;
    const eclass_classes &c = *s.cls;
    eclass_drop_tree(t);
    if (c.nrows > kMaxTreeNodes)
        return 12;
    if (tree_mem) {
        s.tree = {tree_mem, eclass_tree_bytes(t)};
        s.tree_borrowed = true;
    } else {
        s.tree = work_of(ctx).get(eclass_tree_bytes(t));
    }
    zel_work_buf map = work_of(ctx).get((uint64_t{c.count()} + 1) * sizeof(tree_node));
    if (!s.tree.p || !map.p) {
        work_of(ctx).put(map);
        eclass_drop_tree(t);
        return 12;
    }
    draw_tree rows(static_cast<tree_node *>(s.tree.p));
    draw_tree class_map(static_cast<tree_node *>(map.p));
    const uint32_t *cell = c.cell();
    uint32_t next_class = 0;
    // A class enters the class map when its first row is classified: for a leaf table after all rows are
    // in the tree, for a combined table right after the row.
    auto classify = [&](uint32_t k) {
        if (cell[k] == next_class)
            class_map.add(c.rank[next_class++]);
    };
    if (!t->combined) {
        for (uint32_t k = 0; k < c.nrows; k++)
            rows.add(c.cuts[k]);
        for (uint32_t k = 0; k < c.nrows; k++)
            classify(k);
    } else {
        const eclass_classes &a = *t->left->store->cls, &b = *t->right->store->cls;
        const uint32_t nb = b.count();
        uint32_t k = 0;
        for (uint32_t ia : a.order) {
            const uint32_t base = ia * nb;
            for (uint32_t ib : b.order) {
                rows.add(base + ib);
                classify(k++);
            }
        }
    }
    s.root = rows.root();
    work_of(ctx).put(map);
    return 0;
}

void eclass_drop_tree(eclass_table *t)
{
    eclass_store &s = *t->store;
    if (s.tree.p && !s.tree_borrowed)
        s.ctx->work->put(s.tree);
    s.tree = {};
    s.tree_borrowed = false;
    s.root = 0;
}

void eclass_emit_rows(const eclass_table *t, zel_lookup_entry *base)
{
    // Node, right subtree, left subtree: a node at entry i has its right child at i + 1 and its left child
    // after the right subtree, at i + 1 + size(right). Every entry is written whole, once, in order.
    const eclass_store &s = *t->store;
    const eclass_classes &c = *s.cls;
    const tree_node *r = s.nodes();
    if (!s.root)
        return;
    const uint32_t *cell = c.cell();
    std::vector<uint32_t> stack{s.root};
    stack.reserve(64);
    uint32_t next = 0;
    while (!stack.empty()) {
        const uint32_t v = stack.back();
        stack.pop_back();
        const uint32_t idx = next++;
        const tree_node &n = node_at(r, v);
        const uint32_t k = v >> kNodeShift;
        const uint32_t right_size = n.right ? node_at(r, n.right).size : 0;
        const uint32_t high = t->combined ? n.key + 1 : c.cuts[k];
        base[idx] =
            zel_lookup_entry{n.key, high, cell[k - 1], n.left ? (idx + 1 + right_size) * ZEL_LOOKUP_ENTRY_WORDS : 0,
                             n.right ? (idx + 1) * ZEL_LOOKUP_ENTRY_WORDS : 0};
        if (n.left)
            stack.push_back(n.left);
        if (n.right)
            stack.push_back(n.right);
    }
}

int eclass_build_field(compile_context *ctx, const rule_table *rt, eclass_table *t)
{
    if (!eclass_has_classes(t))
        if (int rc = eclass_field_classes(ctx, rt, t))
            return rc;
    return eclass_row_count(t) ? eclass_draw(ctx, t) : 0;
}

eclass_table *eclass_combine(compile_context *ctx, eclass_table *a, eclass_table *b)
{
    eclass_table *t = eclass_table_new(ctx, true);
    if (!t)
        return nullptr;
    t->left = a;
    t->right = b;
    // On failure t stays in the context's set; the reset releases it.
    if (eclass_combine_classes(ctx, t, a, b) != 0 || eclass_draw(ctx, t) != 0)
        return nullptr;
    return t;
}
