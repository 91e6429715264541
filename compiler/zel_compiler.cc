#include "compiler/zel_compiler.h"

#include "common/zel_log.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <random>
#include <unordered_map>
#include <vector>

namespace
{

eclass_table *table_of(rbst_node *n) { return static_cast<eclass_table *>(n->value); }

uint32_t action_size_of(const rule_table *rt)
{
    const rule *first = rt->head;
    return first && first->action ? first->action->hdr.length : rt->default_action.hdr.length;
}

uint64_t program_capacity(const program_allocator &a)
{
    const uint64_t cap = a.capacity ? a.capacity(a.arg) : 0xFFFFFFFFull;
    return std::min<uint64_t>(cap, 0xFFFFFFFFull);
}

void release_table_node(rbst_node *n)
{
    eclass_table_free(table_of(n));
    rbst_free_node(n);
}

uint64_t table_bytes(uint64_t rows) { return 4 + uint64_t{ZEL_LOOKUP_ENTRY_SIZE} * rows; }

// Lower bound of the image size while tables are still being combined, so that a policy whose cross
// product cannot fit is refused before the compiler builds it.
//
// Classes of a table T over the fields F: the vector of a cell of T is the set of rules that match at one
// point of F's value space. Take a table X made so far over fields G within F and fix one point p of the
// fields F \ G (one class of each of their leaf tables; every combination is a point). The cells of T that
// pair a class x of X with p have the vectors v(x) AND w(p), so T has at least as many classes as there are
// distinct such vectors, and cells at several points together give at least as many as their distinct
// vectors. Any X and any set of points give a lower bound.
class image_bound
{
public:
    image_bound(const rule_table *rt, const std::vector<eclass_table *> &leaves)
        : rt_(rt), nleaves_(static_cast<uint32_t>(leaves.size())),
          nwords_(epi_words_for(static_cast<int32_t>(rt->rule_count)))
    {
        for (eclass_table *t : leaves)
            leaf_[t->id] = t;
    }

    // Coarse: one point per bound (cheap). Fine: as many points as a fixed amount of work allows.
    void set_fine(bool fine) { fine_ = fine; }

    void add(eclass_table *t)
    {
        fields_[t->id] = t->combined ? fields_[t->left->id] | fields_[t->right->id] : field_bit(t->id);
        made_.push_back(t);
        made_bytes_ += table_bytes(eclass_row_count(t));
    }

    // work: this pass's tables in id order; pairs before first_pair are done, their tables made.
    uint64_t now(const std::vector<eclass_table *> &work, size_t first_pair, uint32_t next_id)
    {
        struct node {
            uint32_t id;
            uint32_t fields;
            uint64_t classes;
        };
        uint64_t future_bytes = 0;
        auto make = [&](const node &a, const node &b) {
            future_bytes += table_bytes(a.classes * b.classes);
            const uint32_t f = a.fields | b.fields;
            return node{next_id++, f, std::max<uint64_t>(1, classes_at_least(f))};
        };
        auto existing = [&](eclass_table *t) { return node{t->id, fields_[t->id], t->class_count}; };

        std::vector<node> set;
        for (eclass_table *t : made_)
            if (t->combined && !t->parent && t->id > work.back()->id)
                set.push_back(existing(t));  // made in this pass
        size_t i = 2 * first_pair;
        for (; i + 1 < work.size(); i += 2)
            set.push_back(make(existing(work[i]), existing(work[i + 1])));
        if (i < work.size())
            set.push_back(existing(work[i]));
        while (set.size() >= 2) {
            std::sort(set.begin(), set.end(), [](const node &a, const node &b) { return a.id < b.id; });
            std::vector<node> next;
            size_t k = 0;
            for (; k + 1 < set.size(); k += 2)
                next.push_back(make(set[k], set[k + 1]));
            if (k < set.size())
                next.push_back(set[k]);
            set = std::move(next);
        }
        const uint32_t ntables = 2 * nleaves_ - 1;
        const uint32_t ninstr = nleaves_ + 3 * (nleaves_ - 1) + 1;
        return uint64_t{ZEL_IMAGE_HEADER_SIZE} + uint64_t{ZEL_DIR_ENTRY_SIZE} * (ntables + 1) + 4ull * ninstr +
               made_bytes_ + future_bytes + 8 + set.front().classes * action_size_of(rt_);
    }

private:
    static uint32_t field_bit(uint32_t table_id) { return table_id < 32 ? 1u << table_id : 0; }

    uint64_t classes_at_least(uint32_t fields)
    {
        uint64_t best = 1;
        for (eclass_table *x : made_) {
            const uint32_t g = fields_[x->id];
            if ((g & ~fields) == 0)
                best = std::max(best, distinct(x, fields & ~g));
        }
        return best;
    }

    // The greedy point of the leaf fields in `fields`: leaf by leaf, the class that keeps the most rules
    // alive.
    void greedy_point(uint32_t fields, std::vector<uint64_t> &w) const
    {
        w.assign(nwords_, ~0ull);
        for (uint32_t id = 1; id < 32; id++) {
            if (!(fields & field_bit(id)) || !leaf_[id])
                continue;
            const eclass_table *leaf = leaf_[id];
            int best = -1;
            uint32_t best_class = 0;
            for (uint32_t c = 0; c < leaf->class_count; c++) {
                const uint64_t *v = eclass_vector(leaf, c)->w;
                int n = 0;
                for (uint32_t k = 0; k < nwords_; k++)
                    n += std::popcount(w[k] & v[k]);
                if (n > best) {
                    best = n;
                    best_class = c;
                }
            }
            const uint64_t *v = eclass_vector(leaf, best_class)->w;
            for (uint32_t k = 0; k < nwords_; k++)
                w[k] &= v[k];
        }
    }

    // A point drawn from a private generator (the process's random() sequence shapes the trees).
    void random_point(uint32_t fields, std::vector<uint64_t> &w)
    {
        w.assign(nwords_, ~0ull);
        for (uint32_t id = 1; id < 32; id++) {
            if (!(fields & field_bit(id)) || !leaf_[id])
                continue;
            const uint64_t *v = eclass_vector(leaf_[id], static_cast<uint32_t>(rng_() % leaf_[id]->class_count))->w;
            for (uint32_t k = 0; k < nwords_; k++)
                w[k] &= v[k];
        }
    }

    // Distinct vectors among x's classes ANDed with each of a few points of the fields `other`: every one
    // is the vector of a cell of the table over both (hash collisions can only lower the count, which
    // keeps it a lower bound). The number of points is held to a fixed amount of work.
    uint64_t distinct(eclass_table *x, uint32_t other)
    {
        const uint64_t key = uint64_t{x->id} << 33 | uint64_t{fine_} << 32 | other;
        if (auto it = cache_.find(key); it != cache_.end())
            return it->second;
        constexpr uint64_t kWords = 2u << 20;
        const uint64_t per_point = uint64_t{x->class_count} * std::max<uint32_t>(nwords_, 1);
        const uint64_t npoints = other == 0 || !fine_ ? 1 : std::clamp<uint64_t>(kWords / per_point, 1, 64);
        std::vector<uint64_t> hashes;
        hashes.reserve(npoints * x->class_count);
        std::vector<uint64_t> w;
        for (uint64_t p = 0; p < npoints; p++) {
            if (p == 0)
                greedy_point(other, w);
            else
                random_point(other, w);
            for (uint32_t c = 0; c < x->class_count; c++) {
                const uint64_t *v = eclass_vector(x, c)->w;
                uint64_t h = 0x243F6A8885A308D3ull;
                for (uint32_t k = 0; k < nwords_; k++)
                    h += ((v[k] & w[k]) ^ (0x9E3779B97F4A7C15ull * (k + 1))) * 0xBF58476D1CE4E5B9ull;
                hashes.push_back(h ^ (h >> 31));
            }
        }
        std::sort(hashes.begin(), hashes.end());
        const uint64_t n = static_cast<uint64_t>(std::unique(hashes.begin(), hashes.end()) - hashes.begin());
        cache_.emplace(key, n);
        return n;
    }

    const rule_table *rt_;
    uint32_t nleaves_;
    uint32_t nwords_;
    const eclass_table *leaf_[32] = {};
    uint32_t fields_[ZEL_MAX_TABLES * 2] = {};
    std::vector<eclass_table *> made_;
    uint64_t made_bytes_ = 0;
    std::unordered_map<uint64_t, uint64_t> cache_;
    std::minstd_rand rng_{12345};
    bool fine_ = false;
};

int out_of_program_memory(const rule_table *rt, uint64_t lower_bound, uint64_t capacity, uint32_t *size)
{
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: at least %llu, program memory %llu", rt->name,
              static_cast<unsigned long long>(lower_bound), static_cast<unsigned long long>(capacity));
    *size = static_cast<uint32_t>(std::min<uint64_t>(lower_bound, 0xFFFFFFFFull));
    return 12;
}

std::vector<eclass_table *> tables_of(const rbst &set)
{
    std::vector<eclass_table *> out;
    for (rbst_node *n = rbst_next(&set, nullptr); n; n = rbst_next(&set, n))
        out.push_back(table_of(n));
    return out;
}

// Pairs tables up pass by pass until one is left. Stops with 12 as soon as the image can no longer fit.
int combine_tables(compile_context *ctx, const rule_table *rt, uint32_t *size)
{
    rbst work;
    rbst_init(&work);
    for (rbst_node *n = rbst_next(&ctx->tables, nullptr); n; n = rbst_next(&ctx->tables, n))
        rbst_insert(&work, table_of(n), table_of(n));
    const std::vector<eclass_table *> leaves = tables_of(work);
    image_bound bound(rt, leaves);
    for (eclass_table *t : leaves)
        bound.add(t);
    const uint64_t capacity = program_capacity(ctx->program_memory);
    int rc = 0;

    while (rc == 0 && rbst_count(&work) >= 2) {
        const std::vector<eclass_table *> pass = tables_of(work);
        rbst next;
        rbst_init(&next);
        rbst_node *prev = nullptr, *a, *b;
        for (size_t pair_index = 0;; pair_index++) {
            const int pair = rbst_next_pair(&work, prev, &a, &b);
            if (!a)
                break;
            if (!pair) {
                rbst_insert(&next, table_of(a), table_of(a));
                break;
            }
            // The fine bound only where the coarse one comes within reach of the capacity.
            bound.set_fine(false);
            uint64_t at_least = bound.now(pass, pair_index, ctx->table_counter + 1);
            if (at_least <= capacity && at_least > capacity / 8) {
                bound.set_fine(true);
                at_least = bound.now(pass, pair_index, ctx->table_counter + 1);
            }
            if (at_least > capacity) {
                rc = out_of_program_memory(rt, at_least, capacity, size);
                break;
            }
            eclass_table *ta = table_of(a), *tb = table_of(b);
            eclass_table *t = eclass_combine(ctx, ta, tb);
            if (!t) {
                rc = out_of_program_memory(rt, at_least, capacity, size);
                break;
            }
            t->left = ta;
            t->right = tb;
            ta->parent = tb->parent = t;
            bound.add(t);
            rbst_insert(&next, t, t);
            prev = b;
        }
        rbst_clear(&work, rbst_free_node);
        ptr_stack_release(&work.stack);
        work = next;
    }
    if (rc == 0)
        ctx->root = table_of(work.root);
    rbst_clear(&work, rbst_free_node);
    ptr_stack_release(&work.stack);
    return rc;
}

void count_tables(compile_context *ctx, eclass_table *t)
{
    if (t->left)
        count_tables(ctx, t->left);
    if (t->right)
        count_tables(ctx, t->right);
    ctx->dir_count++;
    ctx->table_bytes += static_cast<uint32_t>(table_bytes(eclass_row_count(t)));
    ctx->instr_count += t->combined ? 3 : 1;
    if (!t->parent)
        ctx->root = t;
}

inline uint32_t *word_at(compile_context *ctx, uint32_t byte_off)
{
    return reinterpret_cast<uint32_t *>(ctx->image + byte_off);
}

void put_instr(compile_context *ctx, uint32_t w)
{
    *word_at(ctx, ctx->instr_cursor) = w;
    ctx->instr_cursor += 4;
}

void emit_table(compile_context *ctx, eclass_table *t)
{
    if (t->left)
        emit_table(ctx, t->left);
    if (t->right)
        emit_table(ctx, t->right);
    ZEL_ASSERT(t->id < ZEL_MAX_TABLES);
    const uint32_t rows = eclass_row_count(t);
    auto *dir = reinterpret_cast<zel_table_dir_entry *>(ctx->image + ctx->dir_cursor);
    dir->offset = ctx->data_cursor;
    dir->count = rows;
    dir->entry_size = ZEL_LOOKUP_ENTRY_SIZE;
    ctx->dir_cursor += ZEL_DIR_ENTRY_SIZE;
    *word_at(ctx, ctx->data_cursor) = zel_table_word(ZEL_TABLE_KIND_LOOKUP, t->id);
    ctx->data_cursor += 4;
    ctx->table_offsets[t->id] = ctx->data_cursor / 4;
    eclass_emit_rows(t, reinterpret_cast<zel_lookup_entry *>(ctx->image + ctx->data_cursor));
    ctx->data_cursor += rows * ZEL_LOOKUP_ENTRY_SIZE;

    if (!t->combined) {
        put_instr(ctx, zel_instr_lookup(ZEL_OPND_FIELD, t->id, t->reg, t->id));
        return;
    }
    const eclass_table *a = t->left, *b = t->right;
    put_instr(ctx, zel_instr(ZEL_OP_MUL, ZEL_OPND_REG, a->reg, a->reg, b->class_count));
    put_instr(ctx, zel_instr(ZEL_OP_ADD, ZEL_OPND_REG, a->reg, b->reg, 0));
    put_instr(ctx, zel_instr_lookup(ZEL_OPND_REG, b->reg, t->reg, t->id));
}

void emit_actions(compile_context *ctx, const rule_table *rt, uint32_t action_size)
{
    const eclass_table *root = ctx->root;
    auto *dir = reinterpret_cast<zel_table_dir_entry *>(ctx->image + ctx->dir_cursor);
    dir->offset = ctx->data_cursor;
    dir->count = root->class_count;
    dir->entry_size = rt->default_action.hdr.length;
    ctx->dir_cursor += ZEL_DIR_ENTRY_SIZE;
    *word_at(ctx, ctx->data_cursor) = zel_table_word(ZEL_TABLE_KIND_ACTION, 0);
    ctx->data_cursor += 4;
    if (ctx->data_cursor % 8) {
        *word_at(ctx, ctx->data_cursor) = 0;
        ctx->data_cursor += 4;
    }
    ctx->action_offset = ctx->data_cursor / 4;
    for (uint32_t c = 0; c < root->class_count; c++) {
        int32_t pos;
        const action_block *action = &rt->default_action;
        if (epi_first_set(eclass_vector(root, c), &pos)) {
            const auto idx = static_cast<size_t>(pos);
            const rule *r = idx < rt->by_index.size() ? rt->by_index[idx] : nullptr;
            ZEL_ASSERT(r != NULL);
            action = r->action;
            ZEL_ASSERT(action);
        }
        uint8_t *dst = ctx->image + ctx->data_cursor + uint64_t{c} * action_size;
        const uint32_t len = std::min(action->hdr.length, action_size);
        size_t done = std::min<uint32_t>(len, sizeof action->hdr);
        memcpy(dst, &action->hdr, done);
        if (len > sizeof action->hdr) {
            const size_t n = std::min<size_t>(len - sizeof action->hdr, action->data.size());
            memcpy(dst + sizeof action->hdr, action->data.data(), n);
            done += n;
        }
        memset(dst + done, 0, action_size - done);
    }
    ctx->data_cursor += root->class_count * action_size;
}

void fill_header(compile_context *ctx, const rule_table *rt, uint32_t size)
{
    auto *h = reinterpret_cast<zel_image_header *>(ctx->image);
    h->size = size;
    memcpy(h->name, rt->name, std::min(sizeof h->name, strnlen(rt->name, sizeof rt->name)));
    h->dir_count = ctx->dir_count;
    h->instr_count = ctx->instr_count;
    h->action_offset = ctx->action_offset;
    memcpy(h->table_offset, ctx->table_offsets, sizeof h->table_offset);
    uint32_t n = 0;
    for (uint32_t f = 0; f <= ZEL_CF_LAST; f++) {
        const uint32_t tid = ctx->fields[f].table_id;
        if (tid == 0 || tid >= ZEL_MAX_TABLES)
            continue;
        h->field_map[n++] = {static_cast<uint8_t>(f), static_cast<uint8_t>(tid)};
        h->table_field[tid] = f;
    }
    h->field_map_count = n;
}

}  // namespace

void zel_program_free(const program_allocator *program_memory, void *image)
{
    if (image && program_memory && program_memory->free)
        program_memory->free(program_memory->arg, image);
}

compile_context *zel_compile_context_new(const program_allocator *program_memory)
{
    auto *ctx = new (std::nothrow) compile_context{};
    if (!ctx)
        return nullptr;
    if (program_memory)
        ctx->program_memory = *program_memory;
    rbst_init(&ctx->tables);
    for (uint32_t f = ZEL_CF_FIRST; f <= ZEL_CF_LAST; f++)
        ctx->fields[f] = {f, zel_cfield_max_value(f), 0};
    ctx->filter_index = -1;
    ctx->mem_budget = ZEL_COMPILE_MEM_BUDGET;
    return ctx;
}

void zel_compile_context_reset(compile_context *ctx)
{
    rbst_clear(&ctx->tables, release_table_node);
    ctx->table_counter = 0;
    ctx->root = nullptr;
    ctx->c_reg_allocated = 0;
    ctx->instr_cursor = ctx->data_cursor = ctx->dir_cursor = 0;
    ctx->table_bytes = ctx->dir_count = ctx->instr_count = 0;
    ctx->image = nullptr;
    ctx->filter_index = -1;
    for (zel_field_entry &e : ctx->fields)
        e.table_id = 0;
    ctx->action_offset = 0;
    memset(ctx->table_offsets, 0, sizeof ctx->table_offsets);
    ctx->mem_used = 0;
}

void zel_compile_context_free(compile_context *ctx)
{
    if (!ctx)
        return;
    zel_compile_context_reset(ctx);
    ptr_stack_release(&ctx->tables.stack);
    delete ctx;
}

int32_t zel_compile_filter_index(const compile_context *ctx) { return ctx->filter_index; }

void *zel_compile_program_ec(compile_context *ctx, const rule_table *rt, uint32_t *size)
{
    const char *name = rt->name;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Header]", name, ZEL_IMAGE_HEADER_SIZE);
    ctx->table_bytes = ctx->dir_count = ctx->instr_count = 0;
    count_tables(ctx, ctx->root);
    ctx->dir_count++;
    ctx->instr_count++;

    const uint32_t action_size = action_size_of(rt);
    uint64_t sz = uint64_t{ZEL_IMAGE_HEADER_SIZE} + ctx->table_bytes;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Context]", name, static_cast<uint32_t>(sz));
    sz += uint64_t{ZEL_DIR_ENTRY_SIZE} * ctx->dir_count;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Table directory entry]", name,
              static_cast<uint32_t>(sz));
    sz += 4ull * ctx->instr_count;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Instruction]", name, static_cast<uint32_t>(sz));
    sz += 8 + uint64_t{ctx->root->class_count} * action_size;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Action]", name, static_cast<uint32_t>(sz));
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Final]", name, static_cast<uint32_t>(sz));
    *size = static_cast<uint32_t>(std::min<uint64_t>(sz, 0xFFFFFFFFull));

    int32_t filter_index = -1;
    const program_allocator &pm = ctx->program_memory;
    void *mem = (sz <= 0xFFFFFFFFull && pm.allocate) ? pm.allocate(pm.arg, *size, &filter_index) : nullptr;
    if (!mem)
        return nullptr;
    // Every byte is written once: the fixed part is zeroed here, lookup entries and action blocks are
    // written whole, and what the size reserves past the last block is zeroed at the end.
    ctx->image = static_cast<uint8_t *>(mem);
    ctx->filter_index = filter_index;

    ctx->dir_cursor = ZEL_IMAGE_HEADER_SIZE;
    ctx->instr_cursor = ctx->dir_cursor + ZEL_DIR_ENTRY_SIZE * ctx->dir_count;
    ctx->data_cursor = ctx->instr_cursor + 4 * ctx->instr_count;
    memset(mem, 0, ctx->data_cursor);
    emit_table(ctx, ctx->root);
    compile_context *context = ctx;
    ZEL_ASSERT(context->c_reg_allocated <= (ZEL_MAX_REGISTERS - 1));
    put_instr(ctx, zel_instr(ZEL_OP_ACTION, ZEL_OPND_REG, ctx->c_reg_allocated, 0xF, 0));
    emit_actions(ctx, rt, action_size);
    memset(ctx->image + ctx->data_cursor, 0, *size - ctx->data_cursor);
    fill_header(ctx, rt, *size);
    return mem;
}

int zel_compile(compile_context *ctx, rule_table *rt, void **image, uint32_t *size)
{
    if (!ctx || !rt || !image || !size)
        return 22;
    *image = nullptr;
    *size = 0;
    if (rbst_is_empty(&ctx->tables))
        return 0;
    struct draws_guard {
        draws_guard() { rbst_draws_begin(); }
        ~draws_guard() { rbst_draws_end(); }
    } draws;
    for (rbst_node *n = rbst_next(&ctx->tables, nullptr); n; n = rbst_next(&ctx->tables, n)) {
        if (eclass_build_field(ctx, rt, table_of(n)) != 0)
            return out_of_program_memory(rt, ZEL_IMAGE_HEADER_SIZE, program_capacity(ctx->program_memory), size);
    }
    if (int rc = combine_tables(ctx, rt, size); rc != 0)
        return rc;
    *image = zel_compile_program_ec(ctx, rt, size);
    return *image ? 0 : 12;
}
