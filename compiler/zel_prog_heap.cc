#include "compiler/zel_prog_heap.h"

#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <unordered_map>
#include <vector>

struct zel_prog_heap {
    uint32_t blocks;
    uint32_t used = 0;
    std::vector<bool> slot_used;
    struct run {
        uint32_t blocks;
        int32_t slot;
    };
    std::unordered_map<void *, run> live;
};

namespace
{

void *heap_allocate(void *arg, uint32_t size, int32_t *filter_index)
{
    auto *h = static_cast<zel_prog_heap *>(arg);
    *filter_index = -1;
    const uint64_t n = (uint64_t{size} + ZEL_PROG_BLOCK_SIZE - 1) / ZEL_PROG_BLOCK_SIZE;
    if (n == 0 || n > h->blocks - h->used)
        return nullptr;
    int32_t slot = -1;
    for (size_t i = 0; i < h->slot_used.size(); i++) {
        if (!h->slot_used[i]) {
            slot = static_cast<int32_t>(i);
            break;
        }
    }
    if (slot < 0)
        return nullptr;
    const size_t bytes = n * ZEL_PROG_BLOCK_SIZE;
    void *mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED)
        return nullptr;
    if (bytes >= (2u << 20))
        madvise(mem, bytes, MADV_HUGEPAGE);
    try {
        h->live.emplace(mem, zel_prog_heap::run{static_cast<uint32_t>(n), slot});
    } catch (const std::bad_alloc &) {
        munmap(mem, bytes);
        return nullptr;
    }
    h->slot_used[slot] = true;
    h->used += static_cast<uint32_t>(n);
    *filter_index = slot;
    return mem;
}

void heap_free(void *arg, void *mem)
{
    auto *h = static_cast<zel_prog_heap *>(arg);
    auto it = h->live.find(mem);
    if (it == h->live.end())
        return;
    h->used -= it->second.blocks;
    h->slot_used[it->second.slot] = false;
    munmap(mem, uint64_t{it->second.blocks} * ZEL_PROG_BLOCK_SIZE);
    h->live.erase(it);
}

uint64_t heap_capacity(void *arg)
{
    auto *h = static_cast<zel_prog_heap *>(arg);
    return uint64_t{h->blocks - h->used} * ZEL_PROG_BLOCK_SIZE;
}

}  // namespace

zel_prog_heap *zel_prog_heap_new(uint32_t blocks, uint32_t slots)
{
    auto *h = new (std::nothrow) zel_prog_heap{};
    if (!h)
        return nullptr;
    h->blocks = blocks;
    h->slot_used.assign(slots, false);
    return h;
}

void zel_prog_heap_delete(zel_prog_heap *h)
{
    if (!h)
        return;
    for (auto &[mem, r] : h->live)
        munmap(mem, uint64_t{r.blocks} * ZEL_PROG_BLOCK_SIZE);
    delete h;
}

program_allocator zel_prog_heap_allocator(zel_prog_heap *h)
{
    return program_allocator{heap_allocate, heap_free, heap_capacity, h};
}

uint32_t zel_prog_heap_blocks_used(const zel_prog_heap *h) { return h->used; }

uint32_t zel_prog_heap_programs(const zel_prog_heap *h) { return static_cast<uint32_t>(h->live.size()); }
