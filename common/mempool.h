// Fixed-size block pools whose control data may live in shared memory.
//
// The control region (header + one metadata record per block) and the blocks
// are two caller-supplied regions. The free list holds block indexes and the
// lock is a process-shared mutex, so several processes may share one pool,
// each passing its own mapping of the blocks base. Every block carries a magic
// word and the call stack of its last alloc, free or tag, to trace leaks and
// double frees. Any corruption (bad magic, bad address) is a fatal assertion.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "common/zel_out_sink.h"

inline constexpr uint32_t MP_MAGIC_FREE = 0xDEADDEAD;
inline constexpr uint32_t MP_MAGIC_INUSE = 0xBEEFBEEF;
inline constexpr int MP_STACK_DEPTH = 16;

struct mempool_t {
    int32_t mp_first_free;  // -1 when the pool is empty
    uint64_t mp_blk_size;
    int32_t mp_nblks;
    int32_t mp_nfree;  // atomic; readable without the lock
    pthread_mutex_t mp_lock;
};
static_assert(sizeof(mempool_t) == 64);
static_assert(offsetof(mempool_t, mp_blk_size) == 8);
static_assert(offsetof(mempool_t, mp_nblks) == 16);
static_assert(offsetof(mempool_t, mp_nfree) == 20);
static_assert(offsetof(mempool_t, mp_lock) == 24);

struct mempool_meta_t {
    uint32_t mp_magic;
    uint32_t mp_tag;
    void *mp_stack[MP_STACK_DEPTH];
};
static_assert(sizeof(mempool_meta_t) == 136);
static_assert(offsetof(mempool_meta_t, mp_stack) == 8);

// Bytes of control region for nblks blocks: 64 + 136 * nblks.
size_t mempool_meta_size(int nblks);

// Builds the pool in ctrl (mempool_meta_size(nblks) bytes, 8-byte aligned) over
// nblks blocks of blk_size bytes at base. Returns the pool, or nullptr when the
// arguments are unusable (blk_size < 4, nblks < 0) or the mutex cannot be made.
// The first allocation then returns block nblks - 1.
mempool_t *mempool_init(void *ctrl, void *base, uint64_t blk_size, int nblks);
// Every block must be free.
void mempool_destroy(mempool_t *mp);

void *mempool_alloc(mempool_t *mp, void *base);  // nullptr when empty
void mempool_free(mempool_t *mp, void *base, void *addr);
void mempool_tag(mempool_t *mp, void *base, void *addr, uint32_t tag);
bool mempool_is_free(mempool_t *mp, void *base, int idx);

void *mempool_block(const mempool_t *mp, void *base, int idx);
int mempool_index(const mempool_t *mp, const void *base, const void *addr);
int mempool_nfree(const mempool_t *mp);
int mempool_nused(const mempool_t *mp);
uint64_t mempool_block_size(const mempool_t *mp);
int mempool_nblks(const mempool_t *mp);
int mempool_first_free(const mempool_t *mp);
uint32_t mempool_get_tag(const mempool_t *mp, int idx);

// Each allocated block's address and saved call stack (at most limit blocks); the header values.
// A null sink is standard output.
void mempool_dump_inuse(mempool_t *mp, void *base, int limit, const zel_out_sink *out = nullptr);
void mempool_dump_stats(const mempool_t *mp, const zel_out_sink *out = nullptr);
