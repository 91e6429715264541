// Out of memory inside the compiler: every allocation of a compilation is made to fail in turn (this binary
// replaces the global allocator), and each time the compile returns 12 or succeeds, never throws or aborts,
// leaves nothing allocated in program memory and does not touch an image compiled before. The two kinds of
// 12 are told apart.
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "image_eval.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace
{

// -1: allocations succeed; n >= 0: the allocation after n more fails, then all succeed again.
std::atomic<long> g_fail_in{-1};
std::atomic<long> g_seen{0};

bool fail_now()
{
    g_seen.fetch_add(1, std::memory_order_relaxed);
    long n = g_fail_in.load(std::memory_order_relaxed);
    while (n >= 0 && !g_fail_in.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {}
    return n == 0;
}

void *allocate(size_t n, size_t align)
{
    if (fail_now())
        return nullptr;
    if (align <= alignof(std::max_align_t))
        return std::malloc(n ? n : 1);
    void *p = nullptr;
    return posix_memalign(&p, align, n ? n : 1) == 0 ? p : nullptr;
}

void *allocate_or_throw(size_t n, size_t align)
{
    void *p = allocate(n, align);
    if (!p)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void *operator new(size_t n) { return allocate_or_throw(n, 0); }
void *operator new[](size_t n) { return allocate_or_throw(n, 0); }
void *operator new(size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<size_t>(a)); }
void *operator new[](size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<size_t>(a)); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return allocate(n, 0); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return allocate(n, 0); }
void *operator new(size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate(n, static_cast<size_t>(a));
}
void *operator new[](size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return allocate(n, static_cast<size_t>(a));
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace
{

struct Policy {
    compile_context *ctx = nullptr;
    rule_table *rt = nullptr;

    // `rules` rules over three fields; from 128 rules on the classes are computed on a worker thread.
    Policy(const program_allocator &memory, uint32_t rules, uint32_t seed)
    {
        ctx = zel_compile_context_new(&memory);
        fill(rules, seed);
    }
    // Also what a recompilation after an action change does: the same matches again.
    void fill(uint32_t rules, uint32_t seed)
    {
        zel_compile_context_reset(ctx);
        zel_rule_table_free(rt);
        const uint8_t def[16] = {1};
        rt = zel_rule_table_create("oom", "1vpn", sizeof def, def);
        srand(seed);
        for (uint32_t i = 0; i < rules; i++) {
            rule *r = zel_rule_add(rt, "r");
            uint8_t data[16] = {};
            memcpy(data, &i, sizeof i);
            zel_rule_set_action(r, sizeof data, data);
            const uint32_t p = static_cast<uint32_t>(rand()) % 64;
            zel_rule_add_range(ctx, r, ZEL_CF_DST_PORT, p * 100, p * 100 + static_cast<uint32_t>(rand()) % 500);
            if (i % 3)
                zel_rule_add_range(ctx, r, ZEL_CF_PROTOCOL, i % 7, i % 7);
            const uint8_t addr[4] = {10, static_cast<uint8_t>(rand()), static_cast<uint8_t>(rand()), 0};
            zel_rule_add_prefix(ctx, r, ZEL_CF_SRC_ADDR, addr, 8 + static_cast<uint32_t>(rand()) % 17);
        }
    }
    ~Policy()
    {
        zel_compile_context_free(ctx);
        zel_rule_table_free(rt);
    }
};

// Program memory whose own bookkeeping is spared the failures: only the compiler's allocations fail.
program_allocator spared(zel_prog_heap *heap)
{
    static program_allocator inner;
    inner = zel_prog_heap_allocator(heap);
    program_allocator a = inner;
    a.arg = &inner;
    a.allocate = [](void *arg, uint32_t size, int32_t *slot) {
        const long saved = g_fail_in.exchange(-1);
        void *p = inner.allocate(static_cast<program_allocator *>(arg)->arg, size, slot);
        g_fail_in = saved;
        return p;
    };
    a.free = [](void *arg, void *mem) { inner.free(static_cast<program_allocator *>(arg)->arg, mem); };
    a.capacity = [](void *arg) { return inner.capacity(static_cast<program_allocator *>(arg)->arg); };
    return a;
}

// Fails allocation k of one compile for every k of it; `warm`: the context compiled the same matches
// before, so the compile reuses classes.
void fail_each_allocation(uint32_t rules, bool warm)
{
    zel_prog_heap *heap = zel_prog_heap_new(1 << 16, 8);
    const program_allocator memory = spared(heap);
    Policy published(memory, 20, 7);
    void *kept = nullptr;
    uint32_t kept_size = 0;
    ASSERT_EQ(zel_compile(published.ctx, published.rt, &kept, &kept_size), 0);
    const uint64_t kept_hash = test_image_hash(kept, kept_size);

    int failures = 0;
    for (long k = 0;; k++) {
        Policy p(memory, rules, 11);
        if (warm) {
            void *img = nullptr;
            uint32_t sz = 0;
            ASSERT_EQ(zel_compile(p.ctx, p.rt, &img, &sz), 0);
            zel_program_free(&p.ctx->program_memory, img);
            p.fill(rules, 11);
        }
        void *image = nullptr;
        uint32_t size = 0;
        g_seen = 0;
        g_fail_in = k;
        const int rc = zel_compile(p.ctx, p.rt, &image, &size);
        const bool injected = g_fail_in.exchange(-1) < 0;
        ASSERT_TRUE(rc == 0 || rc == 12) << "allocation " << k << ": " << rc;
        if (rc == 12) {
            failures++;
            EXPECT_EQ(image, nullptr);
            EXPECT_EQ(zel_compile_no_memory(p.ctx), ZEL_NO_MEMORY_COMPILER) << k;
        }
        zel_program_free(&p.ctx->program_memory, image);
        EXPECT_EQ(zel_prog_heap_programs(heap), 1u) << k;
        EXPECT_EQ(test_image_hash(kept, kept_size), kept_hash) << k;
        if (!injected)
            break;  // the compile made fewer than k + 1 allocations: every one has failed once
    }
    EXPECT_GT(failures, 10);
    zel_program_free(&published.ctx->program_memory, kept);
    zel_prog_heap_delete(heap);
}

// 140 rules: the classes are computed on a worker thread.
TEST(CompilerOutOfMemory, EveryAllocationOfACompileCanFail)
{
    for (uint32_t rules : {12, 140})
        for (bool warm : {false, true})
            fail_each_allocation(rules, warm);
}

TEST(CompilerOutOfMemory, ProgramAndCompilerMemoryAreToldApart)
{
    zel_prog_heap *heap = zel_prog_heap_new(4, 8);  // 512 bytes: no image of three fields fits
    const program_allocator memory = zel_prog_heap_allocator(heap);
    void *image = nullptr;
    uint32_t size = 0;
    {
        Policy p(memory, 12, 3);
        EXPECT_EQ(zel_compile(p.ctx, p.rt, &image, &size), 12);
        EXPECT_EQ(zel_compile_no_memory(p.ctx), ZEL_NO_MEMORY_PROGRAM);
        EXPECT_GT(size, 512u);
    }
    {
        Policy p(memory, 12, 3);
        p.ctx->mem_budget = 256;  // not even the first leaf table's rows
        EXPECT_EQ(zel_compile(p.ctx, p.rt, &image, &size), 12);
        EXPECT_EQ(zel_compile_no_memory(p.ctx), ZEL_NO_MEMORY_COMPILER);
        EXPECT_EQ(zel_prog_heap_programs(heap), 0u);
        // The kind holds until the next compile or reset.
        zel_compile_context_reset(p.ctx);
        EXPECT_EQ(zel_compile_no_memory(p.ctx), ZEL_NO_MEMORY_NONE);
    }
    zel_prog_heap_delete(heap);
}

}  // namespace
