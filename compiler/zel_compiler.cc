#include "compiler/zel_compiler.h"

#include "common/zel_log.h"
#include "compiler/zel_work.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <thread>
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
                const eclass_words v = eclass_class_words(leaf, c);
                int n = 0;
                for (uint32_t j = 0; j < v.count; j++)
                    n += std::popcount(w[v.index[j]] & v.word[j]);
                if (n > best) {
                    best = n;
                    best_class = c;
                }
            }
            and_with(w, eclass_class_words(leaf, best_class));
        }
    }

    // w &= v, v sparse.
    void and_with(std::vector<uint64_t> &w, const eclass_words &v) const
    {
        uint32_t j = 0;
        for (uint32_t k = 0; k < nwords_; k++)
            w[k] = j < v.count && v.index[j] == k ? w[k] & v.word[j++] : 0;
    }

    // A point drawn from a private generator (the process's random() sequence shapes the trees).
    void random_point(uint32_t fields, std::vector<uint64_t> &w)
    {
        w.assign(nwords_, ~0ull);
        for (uint32_t id = 1; id < 32; id++) {
            if (!(fields & field_bit(id)) || !leaf_[id])
                continue;
            and_with(w, eclass_class_words(leaf_[id], static_cast<uint32_t>(rng_() % leaf_[id]->class_count)));
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
                const eclass_words v = eclass_class_words(x, c);
                uint64_t h = 0x243F6A8885A308D3ull;
                for (uint32_t j = 0; j < v.count; j++) {
                    const uint64_t m = v.word[j] & w[v.index[j]];
                    h += m ? (m ^ (0x9E3779B97F4A7C15ull * (v.index[j] + 1u))) * 0xBF58476D1CE4E5B9ull : 0;
                }
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

// The draw-free half of a compilation: leaf classes, then the combination plan pass by pass with the
// early out-of-memory bound before each cross product. Run ahead of the draws, on a worker thread when
// the work is large enough to pay for one; it never touches random() or the context's set of tables.
class class_phase
{
public:
    class_phase(compile_context *ctx, const rule_table *rt, std::vector<eclass_table *> leaves, bool reuse)
        : ctx_(ctx), rt_(rt), leaves_(std::move(leaves)), reuse_(reuse)
    {
    }

    void run()
    {
        try {
            run_tables();
        } catch (const std::bad_alloc &) {
            stop(ZEL_NO_MEMORY_COMPILER, ZEL_IMAGE_HEADER_SIZE);
        }
    }

    // Table k of the plan (leaves first, then combined tables as they are made) once its classes are
    // there; nullptr when the phase stopped before it.
    eclass_table *table(size_t k)
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return ready_ > k || finished_; });
        return ready_ > k ? made_[k] : nullptr;
    }
    bool finished()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return finished_;
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] { return finished_; });
    }
    void cancel()
    {
        std::lock_guard<std::mutex> lock(mu_);
        cancelled_ = true;
    }

    // Valid once finished.
    uint32_t no_memory() const { return no_memory_; }
    uint64_t needed() const { return needed_; }
    eclass_table *root() const { return root_; }
    const std::vector<eclass_table *> &combined() const { return combined_; }

private:
    eclass_classes *cached(uint32_t id) const
    {
        const std::vector<eclass_classes *> &c = ctx_->work->cached;
        return reuse_ && id < c.size() ? c[id] : nullptr;
    }
    bool take_cached(eclass_table *t)
    {
        eclass_classes *c = cached(t->id);
        if (!c)
            return false;
        ctx_->work->cached[t->id] = nullptr;
        eclass_adopt_classes(t, c);
        return true;
    }

    bool publish(eclass_table *t)
    {
        std::lock_guard<std::mutex> lock(mu_);
        made_.push_back(t);
        ready_ = made_.size();
        cv_.notify_all();
        return !cancelled_;
    }

    void stop(uint32_t kind, uint64_t needed)
    {
        std::lock_guard<std::mutex> lock(mu_);
        no_memory_ = kind;
        needed_ = needed;
        finished_ = true;
        cv_.notify_all();
    }

    void run_tables()
    {
        made_.reserve(2 * leaves_.size());
        combined_.reserve(leaves_.size());
        for (eclass_table *t : leaves_) {
            if (!take_cached(t) && eclass_field_classes(ctx_, rt_, t) != 0)
                return stop(ZEL_NO_MEMORY_COMPILER, ZEL_IMAGE_HEADER_SIZE);
            if (!publish(t))
                return stop(ZEL_NO_MEMORY_COMPILER, 0);
        }
        image_bound bound(rt_, leaves_);
        for (eclass_table *t : leaves_)
            bound.add(t);
        const uint64_t capacity = program_capacity(ctx_->program_memory);

        // Pairs tables up pass by pass until one is left, as the draws will (ascending ids; a table left
        // over goes first in the next pass).
        std::vector<eclass_table *> work = leaves_;
        while (work.size() >= 2) {
            std::vector<eclass_table *> next;
            if (work.size() % 2)
                next.push_back(work.back());
            for (size_t pair = 0; pair + 1 < work.size(); pair += 2) {
                // The fine bound only where the coarse one comes within reach of the capacity.
                bound.set_fine(false);
                uint64_t at_least = bound.now(work, pair / 2, ctx_->table_counter + 1);
                if (at_least <= capacity && at_least > capacity / 8) {
                    bound.set_fine(true);
                    at_least = bound.now(work, pair / 2, ctx_->table_counter + 1);
                }
                if (at_least > capacity)
                    return stop(ZEL_NO_MEMORY_PROGRAM, at_least);
                eclass_table *a = work[pair], *b = work[pair + 1];
                eclass_table *t = eclass_table_new(ctx_, false);
                if (!t)
                    return stop(ZEL_NO_MEMORY_COMPILER, at_least);
                combined_.push_back(t);
                t->combined = 1;
                t->left = a;
                t->right = b;
                a->parent = b->parent = t;
                if (!take_cached(t) && eclass_combine_classes(ctx_, t, a, b) != 0)
                    return stop(ZEL_NO_MEMORY_COMPILER, at_least);
                bound.add(t);
                next.push_back(t);
                if (!publish(t))
                    return stop(ZEL_NO_MEMORY_COMPILER, 0);
            }
            work = std::move(next);
        }
        root_ = work.front();
        stop(ZEL_NO_MEMORY_NONE, 0);
    }

    compile_context *ctx_;
    const rule_table *rt_;
    std::vector<eclass_table *> leaves_;
    bool reuse_;
    std::vector<eclass_table *> combined_;  // made by this phase; the draws put them in the context's set
    eclass_table *root_ = nullptr;

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<eclass_table *> made_;
    size_t ready_ = 0;
    bool finished_ = false, cancelled_ = false;
    uint32_t no_memory_ = ZEL_NO_MEMORY_NONE;
    uint64_t needed_ = 0;
};

// Runs a class phase on a worker thread, or on the caller's when none can be had; joins on destruction.
class class_runner
{
public:
    class_runner(class_phase &phase, bool threaded) : phase_(phase)
    {
        if (threaded) {
            try {
                worker_ = std::thread([this] { phase_.run(); });
                return;
            } catch (const std::exception &) {
            }
        }
        phase_.run();
    }
    ~class_runner()
    {
        if (worker_.joinable()) {
            phase_.cancel();
            worker_.join();
        }
    }
    class_runner(const class_runner &) = delete;
    class_runner &operator=(const class_runner &) = delete;

private:
    class_phase &phase_;
    std::thread worker_;
};

// Rule tables of this many rules or more compute classes on a worker thread.
constexpr uint32_t kThreadedRules = 128;
// Bytes of drawn trees that may wait for the image while the worker still computes classes.
constexpr uint64_t kMaxWaitingTrees = uint64_t{32} << 20;
// A tree this large waits for the image instead (see draw_phase::draw).
constexpr uint64_t kLargeTree = uint64_t{1} << 20;

int no_memory(compile_context *ctx, uint32_t kind, uint64_t needed, uint32_t *size)
{
    ctx->no_memory = kind;
    *size = static_cast<uint32_t>(std::min<uint64_t>(needed, 0xFFFFFFFFull));
    return 12;
}

// The draws of a compilation in the order of the one-step construction: every leaf's rows and classes in
// id order, then the working set of tables, and per pair the new table's entry in the context's set, its
// rows and classes, and its entry in the next working set. Tables are emitted as soon as there is an image
// to write them into; until the class phase has finished (and the image could be sized) they wait.
class draw_phase
{
public:
    draw_phase(compile_context *ctx, const rule_table *rt, class_phase &classes, size_t nleaves)
        : ctx_(ctx), rt_(rt), classes_(classes), nleaves_(nleaves)
    {
    }

    // 0; 12 when the class phase or the draws ran out of memory (ctx->no_memory says which).
    int run(uint32_t *size)
    {
        const int rc = draw_all();
        classes_.wait();
        if (rc)
            return no_memory(ctx_, ZEL_NO_MEMORY_COMPILER, ZEL_IMAGE_HEADER_SIZE, size);
        if (classes_.no_memory() == ZEL_NO_MEMORY_PROGRAM)
            ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: at least %llu, program memory %llu", rt_->name,
                      static_cast<unsigned long long>(classes_.needed()),
                      static_cast<unsigned long long>(program_capacity(ctx_->program_memory)));
        if (classes_.no_memory() != ZEL_NO_MEMORY_NONE)
            return no_memory(ctx_, classes_.no_memory(), classes_.needed(), size);
        if (!image_tried_)
            try_image();
        *size = image_size_;
        if (!ctx_->image)
            return no_memory(ctx_, ZEL_NO_MEMORY_PROGRAM, image_size_, size);
        zel_compile_write_actions(ctx_, rt_);
        return 0;
    }

private:
    int draw_all()
    {
        for (size_t k = 0; k < nleaves_; k++) {
            eclass_table *t = classes_.table(k);
            if (!t)
                return 0;
            if (int rc = draw(t, k + 1 == 2 * nleaves_ - 1))
                return rc;
        }
        // The working sets are cleared however the draws end (an emission can run out of memory too).
        rbst work, next;
        rbst_init(&work);
        rbst_init(&next);
        int rc = 0;
        try {
            rc = draw_pairs(work, next);
        } catch (const std::bad_alloc &) {
            rc = 12;
        }
        rbst_clear(&work, rbst_free_node);
        rbst_clear(&next, rbst_free_node);
        return rc;
    }

    int draw_pairs(rbst &work, rbst &next)
    {
        int rc = 0;
        size_t next_table = nleaves_, in_work = 0;
        for (rbst_node *n = rbst_next(&ctx_->tables, nullptr); n && rc == 0; n = rbst_next(&ctx_->tables, n), in_work++)
            rc = rbst_insert(&work, table_of(n), table_of(n)) < 0 ? 12 : 0;
        while (rc == 0 && in_work >= 2) {
            size_t in_next = 0;
            rbst_node *prev = nullptr, *a, *b;
            while (rc == 0) {
                const int pair = rbst_next_pair(&work, prev, &a, &b);
                if (!a)
                    break;
                if (!pair) {
                    rc = rbst_insert(&next, table_of(a), table_of(a)) < 0 ? 12 : 0;
                    in_next++;
                    break;
                }
                eclass_table *t = classes_.table(next_table++);
                if (!t) {
                    in_next = 0;  // stopped before this pair
                    break;
                }
                ZEL_ASSERT(t->left == table_of(a) && t->right == table_of(b));
                rc = rbst_insert(&ctx_->tables, t, t) < 0 ? 12 : 0;
                if (rc == 0)
                    rc = draw(t, next_table == 2 * nleaves_ - 1);
                if (rc == 0)
                    rc = rbst_insert(&next, t, t) < 0 ? 12 : 0;
                in_next++;
                prev = b;
            }
            rbst_clear(&work, rbst_free_node);
            work = next;
            rbst_init(&next);
            in_work = in_next;
        }
        return rc;
    }

    // last: the root table, drawn after every other.
    int draw(eclass_table *t, bool last)
    {
        // A drawn tree waits for the image in working memory; past a bound, waiting for the last classes
        // costs less than holding a large tree beside the image. A large tree, and the root's (its classes
        // are the last ones), are drawn once the image is there: they go where the action blocks will be
        // written after the last table, so that tree and blocks never take memory side by side.
        const uint64_t tree_bytes = eclass_tree_bytes(t);
        if (!image_tried_ && (last || tree_bytes >= kLargeTree || waiting_bytes_ + tree_bytes > kMaxWaitingTrees))
            classes_.wait();
        if (!image_tried_ && classes_.finished())
            try_image();
        void *tree_mem = nullptr;
        if (ctx_->image && tree_bytes <= uint64_t{ctx_->root->class_count} * action_size_of(rt_))
            tree_mem = ctx_->image + ctx_->action_offset * 4ull;
        if (eclass_row_count(t) && eclass_draw(ctx_, t, tree_mem) != 0)
            return 12;
        if (image_tried_) {
            emit(t);
        } else {
            waiting_.push_back(t);
            waiting_bytes_ += tree_bytes;
        }
        return 0;
    }

    // Sizes and allocates the image once all classes are known, then writes the tables drawn so far.
    void try_image()
    {
        image_tried_ = true;
        if (classes_.no_memory() != ZEL_NO_MEMORY_NONE)
            return;
        ctx_->root = classes_.root();
        ctx_->image = static_cast<uint8_t *>(zel_compile_program_ec(ctx_, rt_, &image_size_));
        for (eclass_table *t : waiting_)
            emit(t);
        waiting_.clear();
    }

    void emit(eclass_table *t)
    {
        if (ctx_->image && eclass_row_count(t))
            eclass_emit_rows(t, reinterpret_cast<zel_lookup_entry *>(ctx_->image + ctx_->table_offsets[t->id] * 4ull));
        eclass_drop_tree(t);
    }

    compile_context *ctx_;
    const rule_table *rt_;
    class_phase &classes_;
    size_t nleaves_;
    bool image_tried_ = false;
    uint32_t image_size_ = 0;
    uint64_t waiting_bytes_ = 0;
    std::vector<eclass_table *> waiting_;
};

// Sizes of the image, in the emitter's post-order (left, right, node); 64-bit so that no sum wraps.
struct image_layout {
    uint64_t table_bytes = 0;
    uint32_t dir_count = 0, instr_count = 0;
};

void count_tables(eclass_table *t, image_layout &l)
{
    if (t->left)
        count_tables(t->left, l);
    if (t->right)
        count_tables(t->right, l);
    l.dir_count++;
    l.table_bytes += table_bytes(eclass_row_count(t));
    l.instr_count += t->combined ? 3 : 1;
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

// Directory entry, header word and instructions of a table and its subtrees; the rows are written when the
// table's tree is drawn, at ctx->table_offsets[id].
void place_table(compile_context *ctx, eclass_table *t)
{
    if (t->left)
        place_table(ctx, t->left);
    if (t->right)
        place_table(ctx, t->right);
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

// The action table's directory entry and header word; its blocks are written by zel_compile_write_actions.
void place_actions(compile_context *ctx, const rule_table *rt, uint32_t action_size)
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

// Tables the class phase made but the draws never reached are not in the context's set: free them, after
// unlinking them from their children (which may be unreached tables too).
void free_unreached(compile_context *ctx, const std::vector<eclass_table *> &made)
{
    auto reached = [&](eclass_table *t) {
        rbst_node *n = rbst_find(&ctx->tables, &t->id);
        return n && table_of(n) == t;
    };
    for (eclass_table *t : made)
        if (!reached(t))
            for (eclass_table *c : {t->left, t->right})
                if (c && c->parent == t)
                    c->parent = nullptr;
    for (eclass_table *t : made)
        if (!reached(t))
            eclass_table_free(t);
}

int compile(compile_context *ctx, rule_table *rt, uint32_t *size)
{
    std::vector<eclass_table *> leaves;
    for (rbst_node *n = rbst_next(&ctx->tables, nullptr); n; n = rbst_next(&ctx->tables, n))
        leaves.push_back(table_of(n));
    zel_compile_work &work = *ctx->work;
    work.set_budget(ctx->mem_budget);
    std::vector<uint32_t> signature;
    const bool reuse =
        zel_match_signature(ctx, rt, &signature) == 0 && !signature.empty() && signature == work.signature;
    if (!reuse) {
        work.drop_cache();
        work.signature = std::move(signature);
    }
    work.armed = true;

    struct draws_guard {
        draws_guard() { rbst_draws_begin(); }
        ~draws_guard() { rbst_draws_end(); }
    } draws;
    class_phase classes(ctx, rt, leaves, reuse);
    struct unreached_guard {
        compile_context *ctx;
        class_phase &classes;
        ~unreached_guard() { free_unreached(ctx, classes.combined()); }
    } unreached{ctx, classes};
    class_runner runner(classes, rt->rule_count >= kThreadedRules);
    draw_phase drawing(ctx, rt, classes, leaves.size());
    const int rc = drawing.run(size);
    ctx->mem_used = work.used();
    return rc;
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
    ctx->work = new (std::nothrow) zel_compile_work;
    if (!ctx->work) {
        delete ctx;
        return nullptr;
    }
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
    // The classes of a compilation wait in the working memory for a recompilation of the same matches.
    zel_compile_work &work = *ctx->work;
    if (work.armed) {
        for (rbst_node *n = rbst_next(&ctx->tables, nullptr); n; n = rbst_next(&ctx->tables, n)) {
            eclass_table *t = table_of(n);
            if (!eclass_has_classes(t))
                continue;
            try {
                if (work.cached.size() <= t->id)
                    work.cached.resize(t->id + 1, nullptr);
            } catch (const std::bad_alloc &) {
                continue;
            }
            eclass_classes_free(work.cached[t->id]);
            work.cached[t->id] = eclass_release_classes(t);
        }
    }
    rbst_clear(&ctx->tables, release_table_node);
    work.trim(ZEL_WORK_KEEP);
    work.armed = false;
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
    ctx->no_memory = ZEL_NO_MEMORY_NONE;
}

void zel_compile_context_free(compile_context *ctx)
{
    if (!ctx)
        return;
    ctx->work->armed = false;
    zel_compile_context_reset(ctx);
    ptr_stack_release(&ctx->tables.stack);
    delete ctx->work;
    delete ctx;
}

int32_t zel_compile_filter_index(const compile_context *ctx) { return ctx->filter_index; }

uint32_t zel_compile_no_memory(const compile_context *ctx) { return ctx->no_memory; }

void *zel_compile_program_ec(compile_context *ctx, const rule_table *rt, uint32_t *size)
{
    const char *name = rt->name;
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "Policy: %s  Program size: %u [Header]", name, ZEL_IMAGE_HEADER_SIZE);
    for (rbst_node *n = rbst_next(&ctx->tables, nullptr); !ctx->root && n; n = rbst_next(&ctx->tables, n))
        if (!table_of(n)->parent)
            ctx->root = table_of(n);
    image_layout l;
    count_tables(ctx->root, l);
    ctx->dir_count = l.dir_count + 1;
    ctx->instr_count = l.instr_count + 1;
    ctx->table_bytes = static_cast<uint32_t>(std::min<uint64_t>(l.table_bytes, 0xFFFFFFFFull));

    const uint32_t action_size = action_size_of(rt);
    uint64_t sz = uint64_t{ZEL_IMAGE_HEADER_SIZE} + l.table_bytes;
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
    if (!mem) {
        ctx->no_memory = ZEL_NO_MEMORY_PROGRAM;
        return nullptr;
    }
    // Every byte is written once: the fixed part is zeroed here, lookup entries and action blocks are
    // written whole, and what the size reserves past the last block is zeroed at the end.
    ctx->image = static_cast<uint8_t *>(mem);
    ctx->filter_index = filter_index;

    ctx->dir_cursor = ZEL_IMAGE_HEADER_SIZE;
    ctx->instr_cursor = ctx->dir_cursor + ZEL_DIR_ENTRY_SIZE * ctx->dir_count;
    ctx->data_cursor = ctx->instr_cursor + 4 * ctx->instr_count;
    memset(mem, 0, ctx->data_cursor);
    place_table(ctx, ctx->root);
    compile_context *context = ctx;
    ZEL_ASSERT(context->c_reg_allocated <= (ZEL_MAX_REGISTERS - 1));
    put_instr(ctx, zel_instr(ZEL_OP_ACTION, ZEL_OPND_REG, ctx->c_reg_allocated, 0xF, 0));
    place_actions(ctx, rt, action_size);
    memset(ctx->image + ctx->data_cursor, 0, *size - ctx->data_cursor);
    fill_header(ctx, rt, *size);
    return mem;
}

void zel_compile_write_actions(compile_context *ctx, const rule_table *rt)
{
    const eclass_table *root = ctx->root;
    const uint32_t action_size = action_size_of(rt);
    uint8_t *blocks = ctx->image + ctx->action_offset * 4ull;
    for (uint32_t c = 0; c < root->class_count; c++) {
        const uint32_t first = eclass_first_rule(root, c);
        const action_block *action = &rt->default_action;
        if (first < rt->rule_count) {
            const rule *r = first < rt->by_index.size() ? rt->by_index[first] : nullptr;
            ZEL_ASSERT(r != NULL);
            action = r->action;
            ZEL_ASSERT(action);
        }
        uint8_t *dst = blocks + uint64_t{c} * action_size;
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
}

int zel_compile(compile_context *ctx, rule_table *rt, void **image, uint32_t *size)
{
    if (!ctx || !rt || !image || !size)
        return 22;
    *image = nullptr;
    *size = 0;
    ctx->no_memory = ZEL_NO_MEMORY_NONE;
    if (rbst_is_empty(&ctx->tables))
        return 0;
    int rc;
    try {
        rc = compile(ctx, rt, size);
    } catch (const std::exception &) {
        rc = no_memory(ctx, ZEL_NO_MEMORY_COMPILER, ZEL_IMAGE_HEADER_SIZE, size);
    }
    if (rc != 0 && ctx->image) {
        zel_program_free(&ctx->program_memory, ctx->image);
        ctx->image = nullptr;
        ctx->filter_index = -1;
    }
    *image = ctx->image;
    return rc;
}
