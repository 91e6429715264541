#include "compiler/zel_prog_heap.h"

#include <algorithm>
#include <map>
#include <new>
#include <sys/mman.h>
#include <unordered_map>
#include <vector>

// One mapping reserved at creation and never returned while the heap lives: an image goes into a run of
// blocks of it (first fit), and a freed run keeps its pages for the next image, as the forwarding plane's
// filter memory does.
struct zel_prog_heap {
    uint8_t *base = nullptr;
    size_t bytes = 0;
    uint32_t blocks = 0;
    uint32_t used = 0;
    std::vector<bool> slot_used;
    std::map<uint32_t, uint32_t> free_runs;  // first block -> blocks
    struct run {
        uint32_t first, blocks;
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
    auto slot = std::find(h->slot_used.begin(), h->slot_used.end(), false);
    if (slot == h->slot_used.end())
        return nullptr;
    auto fit = std::find_if(h->free_runs.begin(), h->free_runs.end(), [&](const auto &r) { return r.second >= n; });
    if (fit == h->free_runs.end())
        return nullptr;
    const uint32_t first = fit->first, left = fit->second - static_cast<uint32_t>(n);
    uint8_t *mem = h->base + uint64_t{first} * ZEL_PROG_BLOCK_SIZE;
    const auto slot_index = static_cast<int32_t>(slot - h->slot_used.begin());
    try {
        h->live.emplace(mem, zel_prog_heap::run{first, static_cast<uint32_t>(n), slot_index});
        if (left)
            h->free_runs.emplace(first + static_cast<uint32_t>(n), left);
    } catch (const std::bad_alloc &) {
        h->live.erase(mem);
        return nullptr;
    }
    h->free_runs.erase(fit);
    *slot = true;
    h->used += static_cast<uint32_t>(n);
    *filter_index = slot_index;
    return mem;
}

void heap_free(void *arg, void *mem)
{
    auto *h = static_cast<zel_prog_heap *>(arg);
    auto it = h->live.find(mem);
    if (it == h->live.end())
        return;
    uint32_t first = it->second.first, n = it->second.blocks;
    h->used -= n;
    h->slot_used[it->second.slot] = false;
    h->live.erase(it);
    // Merge with the free neighbours; the map node of the run before is reused, so nothing is allocated
    // unless the run stands alone.
    auto next = h->free_runs.lower_bound(first);
    if (next != h->free_runs.end() && next->first == first + n) {
        n += next->second;
        next = h->free_runs.erase(next);
    }
    if (next != h->free_runs.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == first) {
            prev->second += n;
            return;
        }
    }
    try {
        h->free_runs.emplace(first, n);
    } catch (const std::bad_alloc &) {
        // The run is lost to the heap; its pages stay mapped until the heap goes.
    }
}

uint64_t heap_capacity(void *arg)
{
    auto *h = static_cast<zel_prog_heap *>(arg);
    uint64_t largest = 0;
    for (const auto &r : h->free_runs)
        largest = std::max<uint64_t>(largest, r.second);
    return largest * ZEL_PROG_BLOCK_SIZE;
}

}  // namespace

zel_prog_heap *zel_prog_heap_new(uint32_t blocks, uint32_t slots)
{
    auto *h = new (std::nothrow) zel_prog_heap{};
    if (!h)
        return nullptr;
    h->blocks = blocks;
    h->bytes = uint64_t{blocks} * ZEL_PROG_BLOCK_SIZE;
    void *mem =
        blocks ? mmap(nullptr, h->bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
               : nullptr;
    if (mem == MAP_FAILED) {
        delete h;
        return nullptr;
    }
    h->base = static_cast<uint8_t *>(mem);
    if (h->bytes >= (2u << 20))
        madvise(mem, h->bytes, MADV_HUGEPAGE);
    try {
        h->slot_used.assign(slots, false);
        if (blocks)
            h->free_runs.emplace(0, blocks);
    } catch (const std::bad_alloc &) {
        zel_prog_heap_delete(h);
        return nullptr;
    }
    return h;
}

void zel_prog_heap_delete(zel_prog_heap *h)
{
    if (!h)
        return;
    if (h->base)
        munmap(h->base, h->bytes);
    delete h;
}

program_allocator zel_prog_heap_allocator(zel_prog_heap *h)
{
    return program_allocator{heap_allocate, heap_free, heap_capacity, h};
}

uint32_t zel_prog_heap_blocks_used(const zel_prog_heap *h) { return h->used; }

uint32_t zel_prog_heap_programs(const zel_prog_heap *h) { return static_cast<uint32_t>(h->live.size()); }
