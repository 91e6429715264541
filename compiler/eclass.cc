#include "compiler/eclass.h"

#include "common/zel_log.h"
#include "compiler/zel_compiler.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <vector>

namespace
{

struct boundary_rec {
    rbst_node node;
    uint32_t value;
};

// A row's node in the table's interval tree: what an insertion reads on its way down. The trees of combined
// tables reach millions of rows and every insertion walks one path, so nodes are kept to a quarter of a
// cache line: 32-bit indices into the row arrays (0 = none; rows start at 1), no parent links (the
// insertion and the emitter know the parent of every node they reach).
struct row_node {
    uint32_t low, size, left, right;
};
static_assert(sizeof(row_node) == 16);

// Row arrays can reach hundreds of megabytes: map them directly, on huge pages where the kernel allows.
struct mapped_deleter {
    size_t bytes;
    void operator()(void *p) const
    {
        if (p)
            munmap(p, bytes);
    }
};

void *map_zeroed(size_t bytes)
{
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (bytes >= (2u << 20))
        madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

struct class_rec {
    rbst_node node;
    epi vec;
};

inline uint64_t hash_words(const uint64_t *w, uint32_t n)
{
    // Independent multiplies per word so that long vectors hash at full speed.
    uint64_t h = 0x243F6A8885A308D3ull ^ n;
    for (uint32_t k = 0; k < n; k++)
        h += (w[k] ^ (0x9E3779B97F4A7C15ull * (k + 1))) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

}  // namespace

// Everything a table owns besides its record: rows in one array, class vectors in chunks (stable
// addresses, as ec_map keys point at them) and an open-addressing hash from vector to class id in front
// of ec_map, so finding a class costs one hash instead of a tree descent with vector compares.
struct eclass_store {
    compile_context *ctx = nullptr;
    std::deque<boundary_rec> bounds;
    // One mapping: nodes, then class ids, then (leaf tables) high bounds; a combined table's rows are one
    // value wide.
    std::unique_ptr<void, mapped_deleter> row_mem{nullptr, mapped_deleter{0}};
    row_node *nodes = nullptr;
    uint32_t *row_class = nullptr;
    uint32_t *row_high = nullptr;
    uint32_t nrows = 0;
    uint32_t root = 0;

    uint32_t high_of(uint32_t n) const { return row_high ? row_high[n] : nodes[n].low + 1; }
    std::deque<class_rec> classes;  // by class id
    std::vector<uint64_t> class_hash;
    std::vector<std::unique_ptr<uint64_t[]>> chunks;
    uint64_t *chunk_pos = nullptr;
    size_t chunk_left = 0;
    std::vector<uint32_t> slots;  // class id + 1; 0 empty
    uint64_t mem = 0;

    void charge(uint64_t bytes)
    {
        mem += bytes;
        ctx->mem_used += bytes;
    }

    uint64_t *alloc_words(uint32_t n)
    {
        if (chunk_left < n) {
            const size_t sz = std::max<size_t>(n, 8192);
            chunks.emplace_back(new uint64_t[sz]);
            chunk_pos = chunks.back().get();
            chunk_left = sz;
            charge(sz * sizeof(uint64_t));
        }
        uint64_t *p = chunk_pos;
        chunk_pos += n;
        chunk_left -= n;
        return p;
    }

    uint32_t find(const uint64_t *w, uint32_t nwords, uint64_t h) const
    {
        if (slots.empty())
            return ECLASS_NONE;
        const size_t mask = slots.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            const uint32_t s = slots[i];
            if (s == 0)
                return ECLASS_NONE;
            const uint32_t id = s - 1;
            if (class_hash[id] == h && memcmp(classes[id].vec.w, w, nwords * sizeof(uint64_t)) == 0)
                return id;
        }
    }

    void place(uint32_t id)
    {
        const size_t mask = slots.size() - 1;
        size_t i = class_hash[id] & mask;
        while (slots[i])
            i = (i + 1) & mask;
        slots[i] = id + 1;
    }

    void grow_if_needed()
    {
        if ((classes.size() + 1) * 2 <= slots.size())
            return;
        const size_t n = slots.empty() ? 64 : slots.size() * 2;
        charge((n - slots.size()) * sizeof(uint32_t));
        slots.assign(n, 0);
        for (uint32_t id = 0; id < classes.size(); id++)
            place(id);
    }
};

eclass_table *eclass_table_new(compile_context *ctx, bool add)
{
    auto *t = new (std::nothrow) eclass_table{};
    if (!t)
        return nullptr;
    t->store = new (std::nothrow) eclass_store;
    if (!t->store) {
        delete t;
        return nullptr;
    }
    t->store->ctx = ctx;
    t->id = ++ctx->table_counter;
    t->reg = ++ctx->c_reg_allocated;
    rbst_init(&t->boundaries);
    rbst_init(&t->ec_map);
    t->ec_map.compare = zel_epi_key_cmp;
    if (add)
        rbst_insert(&ctx->tables, t, t);
    return t;
}

void eclass_table_free(eclass_table *t)
{
    if (!t)
        return;
    // Nodes live in the store: unlinking is all the trees need.
    ptr_stack_release(&t->boundaries.stack);
    ptr_stack_release(&t->ec_map.stack);
    t->store->ctx->mem_used -= std::min(t->store->ctx->mem_used, t->store->mem);
    delete t->store;
    delete t;
}

namespace
{

uint32_t lookup_words(eclass_table *t, const uint64_t *w, uint32_t nwords, uint64_t h)
{
    return t->store->find(w, nwords, h);
}

uint32_t add_words(eclass_table *t, int32_t nbits, const uint64_t *w, uint32_t nwords, uint64_t h)
{
    eclass_store &s = *t->store;
    s.grow_if_needed();
    const uint32_t id = t->class_count++;
    class_rec &c = s.classes.emplace_back();
    s.charge(sizeof(class_rec) + sizeof(uint64_t));
    c.vec.nbits = nbits;
    c.vec.ndigits = static_cast<uint16_t>(ceil_div(nbits, 8));
    c.vec.nwords = static_cast<uint16_t>(nwords);
    c.vec.w = s.alloc_words(nwords);
    memcpy(c.vec.w, w, nwords * sizeof(uint64_t));
    c.node.key = &c.vec;
    c.node.value = reinterpret_cast<void *>(static_cast<uintptr_t>(id));
    s.class_hash.push_back(h);
    s.place(id);
    rbst_link_new(&t->ec_map, &c.node);  // absent: the hash said so
    return id;
}

// Class ids in ec_map (bit-vector) order.
std::vector<uint32_t> ids_in_map_order(const eclass_table *t)
{
    std::vector<uint32_t> ids;
    ids.reserve(t->class_count);
    for (rbst_node *n = rbst_next(&t->ec_map, nullptr); n; n = rbst_next(&t->ec_map, n))
        ids.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n->value)));
    return ids;
}

// Allocates the row arrays of a table; false when the compile budget forbids it.
bool alloc_rows(eclass_table *t, uint64_t n, bool with_high)
{
    eclass_store &s = *t->store;
    const uint64_t bytes = (n + 1) * (sizeof(row_node) + sizeof(uint32_t) * (with_high ? 2 : 1));
    if (s.ctx->mem_used + bytes > s.ctx->mem_budget)
        return false;
    void *mem = map_zeroed(bytes);
    if (!mem)
        return false;
    s.row_mem = std::unique_ptr<void, mapped_deleter>(mem, mapped_deleter{bytes});
    s.nodes = static_cast<row_node *>(mem);
    s.row_class = reinterpret_cast<uint32_t *>(s.nodes + n + 1);
    s.row_high = with_high ? s.row_class + n + 1 : nullptr;
    s.charge(bytes);
    return true;
}

// The interval tree of the rows, with the insertion of rbst_link_new: the same draws give the same shape.
class row_tree
{
public:
    explicit row_tree(eclass_store &s) : s_(s), r_(s.nodes) {}

    // Appends a row with low bound `low` and links it into the tree; returns its index.
    uint32_t add(uint32_t low)
    {
        const uint32_t n = ++s_.nrows;
        r_[n] = row_node{low, 1, 0, 0};
        uint32_t v = s_.root, parent = 0;
        bool go_right = false;
        rbst_draw_cursor draws;
        while (v) {
            // Draws are below 2^31 and sizes 32-bit: a 32-bit modulo gives the same test.
            if (draws.next() % ++r_[v].size == 0) {
                link(parent, go_right, insert_at_root(v, n));
                return n;
            }
            parent = v;
            go_right = low >= r_[v].low;
            v = go_right ? r_[v].right : r_[v].left;
        }
        link(parent, go_right, n);
        return n;
    }

private:
    void link(uint32_t parent, bool right, uint32_t n)
    {
        if (!parent)
            s_.root = n;
        else
            (right ? r_[parent].right : r_[parent].left) = n;
    }

    uint32_t size_of(uint32_t n) const { return n ? r_[n].size : 0; }

    uint32_t rotate_left(uint32_t x)
    {
        const uint32_t y = r_[x].right;
        r_[x].right = r_[y].left;
        r_[y].left = x;
        r_[y].size = r_[x].size;
        r_[x].size = 1 + size_of(r_[x].left) + size_of(r_[x].right);
        return y;
    }

    uint32_t rotate_right(uint32_t x)
    {
        const uint32_t y = r_[x].left;
        r_[x].left = r_[y].right;
        r_[y].right = x;
        r_[y].size = r_[x].size;
        r_[x].size = 1 + size_of(r_[x].left) + size_of(r_[x].right);
        return y;
    }

    // n at the root of the subtree v; returns the subtree's new top (the caller links it).
    uint32_t insert_at_root(uint32_t v, uint32_t n)
    {
        if (!v)
            return n;
        if (r_[n].low < r_[v].low) {
            r_[v].left = insert_at_root(r_[v].left, n);
            return rotate_right(v);
        }
        r_[v].right = insert_at_root(r_[v].right, n);
        return rotate_left(v);
    }

    eclass_store &s_;
    row_node *r_;
};

}  // namespace

uint32_t eclass_lookup(eclass_table *t, const epi *v)
{
    return lookup_words(t, v->w, v->nwords, hash_words(v->w, v->nwords));
}

uint32_t eclass_add(eclass_table *t, const epi *v)
{
    return add_words(t, v->nbits, v->w, v->nwords, hash_words(v->w, v->nwords));
}

const epi *eclass_vector(const eclass_table *t, uint32_t class_id)
{
    return class_id < t->class_count ? &t->store->classes[class_id].vec : nullptr;
}

uint32_t eclass_row_count(const eclass_table *t) { return t->store->nrows; }

int eclass_add_boundary(eclass_table *t, uint32_t value)
{
    if (rbst_find(&t->boundaries, &value))
        return 0;
    boundary_rec &b = t->store->bounds.emplace_back();
    t->store->charge(sizeof(boundary_rec));
    b.value = value;
    b.node = rbst_node{};
    b.node.key = &b.value;
    rbst_link_new(&t->boundaries, &b.node);
    return 1;
}

int eclass_build_field(compile_context *ctx, const rule_table *rt, eclass_table *t)
{
    (void)ctx;
    std::vector<uint32_t> cuts;
    for (rbst_node *n = rbst_next(&t->boundaries, nullptr); n; n = rbst_next(&t->boundaries, n))
        cuts.push_back(*static_cast<uint32_t *>(n->key));
    if (cuts.size() < 2)
        return 0;
    if (!alloc_rows(t, cuts.size() - 1, true))
        return 12;
    row_tree tree(*t->store);
    for (size_t k = 0; k + 1 < cuts.size(); k++)
        t->store->row_high[tree.add(cuts[k])] = cuts[k + 1];  // boundaries are distinct, so are the low bounds

    // Sweep the value line once: a rule's bit is on while one of its ranges covers the row's low bound,
    // or always when the rule places no range on this field. Every range start and end + 1 is a cut, so
    // coverage changes only at row starts.
    const int32_t nbits = static_cast<int32_t>(rt->rule_count);
    const uint32_t nwords = epi_words_for(nbits);
    std::vector<uint64_t> vec(nwords ? nwords : 1, 0);
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

    size_t e = 0;
    for (uint32_t k = 1; k <= t->store->nrows; k++) {
        const uint32_t low = t->store->nodes[k].low;
        for (; e < events.size() && events[e].at <= low; e++) {
            const event &ev = events[e];
            const uint32_t before = cover[ev.rule];
            cover[ev.rule] = before + ev.delta;
            if ((before == 0) != (cover[ev.rule] == 0))
                vec[ev.rule / 64] ^= 1ull << (ev.rule % 64);
        }
        const uint64_t h = hash_words(vec.data(), nwords);
        uint32_t id = lookup_words(t, vec.data(), nwords, h);
        if (id == ECLASS_NONE)
            id = add_words(t, nbits, vec.data(), nwords, h);
        t->store->row_class[k] = id;
    }
    return 0;
}

eclass_table *eclass_combine(compile_context *ctx, eclass_table *a, eclass_table *b)
{
    eclass_table *t = eclass_table_new(ctx, true);
    if (!t)
        return nullptr;
    t->combined = 1;
    const uint64_t nrows = uint64_t{a->class_count} * b->class_count;
    if (nrows == 0 || nrows >= 0xFFFFFFFFull || !alloc_rows(t, nrows, false))
        return nullptr;  // stays in the context's set; the reset releases it

    const epi *first = eclass_vector(a, 0);
    const int32_t nbits = first->nbits;
    const uint32_t nwords = first->nwords;
    std::vector<uint64_t> scratch(nwords ? nwords : 1, 0);
    const std::vector<uint32_t> order_a = ids_in_map_order(a);
    const std::vector<uint32_t> order_b = ids_in_map_order(b);
    const uint32_t nb = b->class_count;
    row_tree tree(*t->store);
    uint32_t *row_class = t->store->row_class;

    for (uint32_t ia : order_a) {
        const uint64_t *va = a->store->classes[ia].vec.w;
        for (uint32_t ib : order_b) {
            const uint64_t *vb = b->store->classes[ib].vec.w;
            const uint32_t key = ia * nb + ib;
            const uint32_t row = tree.add(key);  // every key is new
            for (uint32_t k = 0; k < nwords; k++)
                scratch[k] = va[k] & vb[k];
            const uint64_t h = hash_words(scratch.data(), nwords);
            uint32_t id = lookup_words(t, scratch.data(), nwords, h);
            if (id == ECLASS_NONE) {
                if (ctx->mem_used > ctx->mem_budget)
                    return nullptr;
                id = add_words(t, nbits, scratch.data(), nwords, h);
            }
            row_class[row] = id;
        }
    }
    return t;
}

std::vector<eclass_interval> eclass_rows(const eclass_table *t)
{
    const eclass_store &s = *t->store;
    std::vector<eclass_interval> out;
    for (uint32_t k = 1; k <= s.nrows; k++)
        out.push_back({s.nodes[k].low, s.high_of(k), s.row_class[k]});
    std::sort(out.begin(), out.end(), [](const eclass_interval &a, const eclass_interval &b) { return a.low < b.low; });
    return out;
}

void eclass_emit_rows(const eclass_table *t, zel_lookup_entry *base)
{
    // Node, right subtree, left subtree; each child's entry is linked from its parent's.
    const eclass_store &s = *t->store;
    if (!s.root)
        return;
    struct pending {
        uint32_t node;
        uint32_t parent_entry;  // + 1; 0 for the root
        bool left;
    };
    std::vector<pending> stack{{s.root, 0, false}};
    uint32_t next = 0;
    while (!stack.empty()) {
        const pending p = stack.back();
        stack.pop_back();
        const uint32_t idx = next++;
        const row_node &n = s.nodes[p.node];
        base[idx] = zel_lookup_entry{n.low, s.high_of(p.node), s.row_class[p.node], 0, 0};
        if (p.parent_entry) {
            zel_lookup_entry &pe = base[p.parent_entry - 1];
            (p.left ? pe.left : pe.right) = idx * ZEL_LOOKUP_ENTRY_WORDS;
        }
        if (n.left)
            stack.push_back({n.left, idx + 1, true});
        if (n.right)
            stack.push_back({n.right, idx + 1, false});
    }
}
