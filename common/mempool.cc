#include "common/mempool.h"

#include "common/zel_log.h"

#include <execinfo.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

mempool_meta_t *meta_table(const mempool_t *mp)
{
    return reinterpret_cast<mempool_meta_t *>(const_cast<mempool_t *>(mp) + 1);
}

// A free block's first 32 bits link to the next free block.
int32_t *next_link(const mempool_t *mp, void *base, int idx)
{
    return static_cast<int32_t *>(mempool_block(mp, base, idx));
}

void record_stack(mempool_meta_t *p_meta)
{
    int n = backtrace(p_meta->mp_stack, MP_STACK_DEPTH);
    for (int i = n; i < MP_STACK_DEPTH; i++)
        p_meta->mp_stack[i] = nullptr;
}

void count_free(mempool_t *mp, int delta)
{
    std::atomic_ref<int32_t>(mp->mp_nfree).fetch_add(delta, std::memory_order_relaxed);
}

// The lock may be shared with another process. If that process died holding it, whatever
// it was changing is half done: going on with the pool is not safe, so the survivor stops
// (the robust mutex reports the death instead of leaving us waiting for ever).
void lock_pool(pthread_mutex_t *m)
{
    const int rc = pthread_mutex_lock(m);
    if (rc == EOWNERDEAD || rc == ENOTRECOVERABLE)
        ZEL_LOG("mempool lock %p: its holder died while changing the pool; stopping", static_cast<void *>(m));
    ZEL_INVARIANT(__FILE__, "pool lock taken (a holder that died leaves the pool possibly corrupt)", rc == 0);
}

struct pool_lock {
    explicit pool_lock(mempool_t *mp) : m(&mp->mp_lock) { lock_pool(m); }
    ~pool_lock() { pthread_mutex_unlock(m); }
    pool_lock(const pool_lock &) = delete;
    pool_lock &operator=(const pool_lock &) = delete;
    pthread_mutex_t *m;
};

// Refuses any address that is not exactly the start of one of the pool's blocks.
int checked_index(const mempool_t *mp, void *base, void *addr)
{
    int idx = mempool_index(mp, base, addr);
    ZEL_ASSERT(idx >= 0 && idx < mp->mp_nblks);
    void *addr2 = mempool_block(mp, base, idx);
    ZEL_ASSERT(addr == addr2);
    int block_index = idx;
    ZEL_ASSERT((block_index >= 0) && (block_index < mp->mp_nblks));
    return block_index;
}

}  // namespace

size_t mempool_meta_size(int nblks) { return sizeof(mempool_t) + sizeof(mempool_meta_t) * static_cast<size_t>(nblks); }

mempool_t *mempool_init(void *ctrl, void *base, uint64_t blk_size, int nblks)
{
    if (ctrl == nullptr || blk_size < sizeof(int32_t) || nblks < 0 || (nblks > 0 && base == nullptr))
        return nullptr;
    auto *mp = static_cast<mempool_t *>(ctrl);
    mp->mp_blk_size = blk_size;
    mp->mp_nblks = nblks;
    mp->mp_first_free = -1;
    mp->mp_nfree = 0;

    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return nullptr;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(&mp->mp_lock, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!ok)
        return nullptr;

    // Same list as freeing blocks 0..n-1 one by one: highest index first.
    mempool_meta_t *meta_tbl = meta_table(mp);
    for (int i = 0; i < nblks; i++) {
        meta_tbl[i] = mempool_meta_t{MP_MAGIC_FREE, 0, {}};
        *next_link(mp, base, i) = i - 1;
    }
    mp->mp_first_free = nblks - 1;
    mp->mp_nfree = nblks;
    return mp;
}

void mempool_destroy(mempool_t *mp)
{
    ZEL_ASSERT(mp->mp_nfree == mp->mp_nblks);
    pthread_mutex_destroy(&mp->mp_lock);
}

void *mempool_alloc(mempool_t *mp, void *base)
{
    void *blk;
    {
        pool_lock lock(mp);
        int32_t block_index = mp->mp_first_free;
        ZEL_ASSERT((block_index < mp->mp_nblks));
        if (block_index == -1)
            return nullptr;
        blk = mempool_block(mp, base, block_index);
        mp->mp_first_free = *next_link(mp, base, block_index);
        mempool_meta_t *p_meta = &meta_table(mp)[block_index];
        ZEL_ASSERT(p_meta->mp_magic == MP_MAGIC_FREE);
        p_meta->mp_magic = MP_MAGIC_INUSE;
        record_stack(p_meta);
    }
    count_free(mp, -1);
    return blk;
}

void mempool_free(mempool_t *mp, void *base, void *addr)
{
    int block_index = checked_index(mp, base, addr);
    {
        pool_lock lock(mp);
        mempool_meta_t *p_meta = &meta_table(mp)[block_index];
        ZEL_ASSERT(p_meta->mp_magic == MP_MAGIC_INUSE);
        p_meta->mp_magic = MP_MAGIC_FREE;
        record_stack(p_meta);
        *next_link(mp, base, block_index) = mp->mp_first_free;
        mp->mp_first_free = block_index;
    }
    count_free(mp, +1);
}

void mempool_tag(mempool_t *mp, void *base, void *addr, uint32_t tag)
{
    int block_index = checked_index(mp, base, addr);
    pool_lock lock(mp);
    mempool_meta_t *p_meta = &meta_table(mp)[block_index];
    ZEL_ASSERT(p_meta->mp_magic == MP_MAGIC_INUSE);
    p_meta->mp_tag = tag;
    record_stack(p_meta);
}

bool mempool_is_free(mempool_t *mp, void *base, int idx)
{
    pool_lock lock(mp);
    const mempool_meta_t *meta_tbl = meta_table(mp);
    for (int cur_idx = mp->mp_first_free; cur_idx != -1; cur_idx = *next_link(mp, base, cur_idx)) {
        ZEL_ASSERT(cur_idx >= 0 && cur_idx < mp->mp_nblks);
        ZEL_ASSERT(meta_tbl[cur_idx].mp_magic == MP_MAGIC_FREE);
        if (cur_idx == idx)
            return true;
    }
    return false;
}

void *mempool_block(const mempool_t *mp, void *base, int idx)
{
    return static_cast<char *>(base) + static_cast<uint64_t>(idx) * mp->mp_blk_size;
}

int mempool_index(const mempool_t *mp, const void *base, const void *addr)
{
    auto off = reinterpret_cast<intptr_t>(addr) - reinterpret_cast<intptr_t>(base);
    if (off < 0)
        return -1;
    return static_cast<int>(static_cast<uint64_t>(off) / mp->mp_blk_size);
}

int mempool_nfree(const mempool_t *mp)
{
    return std::atomic_ref<int32_t>(const_cast<mempool_t *>(mp)->mp_nfree).load(std::memory_order_relaxed);
}

int mempool_nused(const mempool_t *mp) { return mp->mp_nblks - mempool_nfree(mp); }
uint64_t mempool_block_size(const mempool_t *mp) { return mp->mp_blk_size; }
int mempool_nblks(const mempool_t *mp) { return mp->mp_nblks; }
int mempool_first_free(const mempool_t *mp) { return mp->mp_first_free; }
uint32_t mempool_get_tag(const mempool_t *mp, int idx) { return meta_table(mp)[idx].mp_tag; }

void mempool_dump_inuse(mempool_t *mp, void *base, int limit, const zel_out_sink *out)
{
    pool_lock lock(mp);
    const mempool_meta_t *meta_tbl = meta_table(mp);
    int shown = 0;
    for (int i = 0; i < mp->mp_nblks; i++) {
        if (meta_tbl[i].mp_magic != MP_MAGIC_INUSE)
            continue;
        if (++shown > limit)
            break;
        zel_out_printf(out, "%p: ", mempool_block(mp, base, i));
        for (void *ret : meta_tbl[i].mp_stack)
            zel_out_printf(out, "%p <- ", ret);
        zel_out_printf(out, "\n");
    }
    if (out == nullptr)
        fflush(stdout);
}

void mempool_dump_stats(const mempool_t *mp, const zel_out_sink *out)
{
    zel_out_printf(out, "=======================================================\n");
    zel_out_printf(out, "mempool %p stats:\n", static_cast<const void *>(mp));
    zel_out_printf(out, "block size:\t\t%lu\n", static_cast<unsigned long>(mp->mp_blk_size));
    zel_out_printf(out, "number of blocks:\t%d\n", mp->mp_nblks);
    zel_out_printf(out, "number of free blocks:\t%d\n", mempool_nfree(mp));
    zel_out_printf(out, "first free block:\t%d\n", mp->mp_first_free);
    zel_out_printf(out, "\n");
    if (out == nullptr)
        fflush(stdout);
}
