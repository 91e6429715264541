// Working memory of a compile context, kept from one compilation to the next: the large arrays (row
// classes, interval trees) come from a pool of buffers that are handed out again instead of being
// returned to the system, and the classes of the last compilation wait here for a recompilation of the
// same matches. Every byte handed out counts against the context's budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct eclass_classes;
struct rule_table;
struct compile_context;

struct zel_work_buf {
    void *p = nullptr;
    size_t bytes = 0;
};

class zel_compile_work
{
public:
    ~zel_compile_work();

    // A buffer of at least `bytes` (contents undefined); p nullptr when the budget or the heap refuses.
    // Safe from any thread.
    zel_work_buf get(size_t bytes);
    void put(zel_work_buf b);
    // Counts memory held outside the pool; false (nothing counted) when it would pass the budget.
    bool charge(uint64_t bytes);
    void uncharge(uint64_t bytes);
    uint64_t used() const { return used_.load(std::memory_order_relaxed); }
    void set_budget(uint64_t bytes) { budget_ = bytes; }
    // Frees spare buffers beyond `keep` bytes.
    void trim(size_t keep);

    // Classes of the last compilation by table id, valid for rule tables with this signature.
    std::vector<uint32_t> signature;
    std::vector<eclass_classes *> cached;
    bool armed = false;  // a compilation ran since the last reset: its classes go to the cache
    void drop_cache();

private:
    std::mutex mu_;
    std::vector<zel_work_buf> spare_;
    std::atomic<uint64_t> used_{0};
    uint64_t budget_ = UINT64_MAX;
};

// Bytes of spare buffers a context keeps between compilations.
inline constexpr size_t ZEL_WORK_KEEP = size_t{256} << 20;

// The matches of a rule table as one word string: equal strings give equal classes. 0, or 12.
int zel_match_signature(const compile_context *ctx, const rule_table *rt, std::vector<uint32_t> *out);
