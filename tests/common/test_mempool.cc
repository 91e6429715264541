#include "common/mempool.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace
{

// A pool whose control region and blocks are heap buffers.
struct HeapPool {
    HeapPool(uint64_t blk, int n) : ctrl(mempool_meta_size(n)), blocks(blk * n)
    {
        mp = mempool_init(ctrl.data(), blocks.data(), blk, n);
    }
    std::vector<uint64_t> ctrl;  // uint64_t keeps the header aligned
    std::vector<char> blocks;
    mempool_t *mp;
    void *base() { return blocks.data(); }
};

// The model: the free blocks are a stack, block n - 1 on top at the start; a freed block goes on
// top; every in-use slot keeps its last tag.
TEST(Mempool, RandomAllocFreeAndTagMatchAStackOfFreeSlots)
{
    constexpr int n = 37;
    HeapPool p(24, n), bad(2, 4);
    EXPECT_EQ(bad.mp, nullptr) << "blocks under 4 bytes";
    EXPECT_EQ(mempool_init(bad.ctrl.data(), bad.base(), 16, -1), nullptr);
    ASSERT_NE(p.mp, nullptr);
    std::vector<int> free_stack, in_use;
    for (int i = 0; i < n; i++)
        free_stack.push_back(i);
    std::vector<uint32_t> tags(n);
    std::mt19937 rng(99);
    for (int step = 0; step < 5000; step++) {
        const uint32_t r = rng();
        if (r % 2 && !free_stack.empty()) {
            void *b = mempool_alloc(p.mp, p.base());
            ASSERT_EQ(b, p.blocks.data() + 24 * free_stack.back());
            ASSERT_EQ(mempool_index(p.mp, p.base(), b), free_stack.back());
            in_use.push_back(free_stack.back());
            free_stack.pop_back();
        } else if (r % 2) {
            ASSERT_EQ(mempool_alloc(p.mp, p.base()), nullptr);
        } else if (!in_use.empty()) {
            const size_t k = rng() % in_use.size();
            void *b = mempool_block(p.mp, p.base(), in_use[k]);
            if (r % 4 == 0) {
                mempool_tag(p.mp, p.base(), b, tags[in_use[k]] = rng());
            } else {
                mempool_free(p.mp, p.base(), b);
                free_stack.push_back(in_use[k]);
                in_use.erase(in_use.begin() + static_cast<long>(k));
            }
        }
        ASSERT_EQ(mempool_nfree(p.mp), static_cast<int>(free_stack.size()));
        ASSERT_EQ(mempool_nused(p.mp), static_cast<int>(in_use.size()));
        ASSERT_EQ(mempool_first_free(p.mp), free_stack.empty() ? -1 : free_stack.back());
        for (int i : in_use) {
            ASSERT_FALSE(mempool_is_free(p.mp, p.base(), i));
            ASSERT_EQ(mempool_get_tag(p.mp, i), tags[i]);
        }
        for (int i : free_stack)
            ASSERT_TRUE(mempool_is_free(p.mp, p.base(), i));
    }
    for (int i : in_use)
        mempool_free(p.mp, p.base(), mempool_block(p.mp, p.base(), i));
    mempool_destroy(p.mp);
}

TEST(MempoolDeathTest, DoubleFreeAndCorruptionAreFatal)
{
    HeapPool p(16, 3);
    char *a = static_cast<char *>(mempool_alloc(p.mp, p.base()));
    EXPECT_DEATH(
        {
            mempool_free(p.mp, p.base(), a);
            mempool_free(p.mp, p.base(), a);
        },
        "mempool:[0-9]+: failed assertion `p_meta->mp_magic == MP_MAGIC_INUSE'");

    // Block 1 is first free; make the in-use block 2 look like its successor.
    *static_cast<int32_t *>(mempool_block(p.mp, p.base(), 1)) = mempool_index(p.mp, p.base(), a);
    EXPECT_DEATH(mempool_is_free(p.mp, p.base(), 0),
                 "failed assertion `meta_tbl\\[cur_idx\\].mp_magic == MP_MAGIC_FREE'");
    EXPECT_DEATH(
        {
            mempool_alloc(p.mp, p.base());
            mempool_alloc(p.mp, p.base());
        },
        "failed assertion `p_meta->mp_magic == MP_MAGIC_FREE'");
}

// Another process that dies inside the pool's lock, as a fatal assertion there does.
TEST(MempoolDeathTest, LockHolderThatDiedStopsTheSurvivor)
{
    constexpr int n = 2;
    const size_t ctrl = (mempool_meta_size(n) + 127) / 128 * 128;
    void *shm = mmap(nullptr, ctrl + 16 * n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shm, MAP_FAILED);
    auto *mp = mempool_init(shm, static_cast<char *>(shm) + ctrl, 16, n);
    ASSERT_NE(mp, nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        pthread_mutex_lock(&mp->mp_lock);
        _exit(0);
    }
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    // Without owner-death detection the survivor would wait for ever; the alarm ends that.
    EXPECT_DEATH(
        {
            alarm(5);
            mempool_alloc(mp, static_cast<char *>(shm) + ctrl);
        },
        "failed assertion `pool lock taken \\(a holder that died");
    munmap(shm, ctrl + 16 * n);
}

// Two processes share one pool: the control region in a shared mapping, and
// each process reaches the blocks through its own mapping at another address.
TEST(MempoolShared, TwoProcessesShareOnePool)
{
    constexpr int n = 64;
    constexpr uint64_t blk = 64;
    int fd = memfd_create("mempool-test", 0);
    ASSERT_GE(fd, 0);
    const size_t ctrl_len = (mempool_meta_size(n) + 4095) & ~size_t{4095};
    const size_t len = ctrl_len + n * blk;
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(len)), 0);
    auto *map = static_cast<char *>(mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(map, MAP_FAILED);
    mempool_t *mp = mempool_init(map, map + ctrl_len, blk, n);
    ASSERT_NE(mp, nullptr);

    constexpr int rounds = 2000;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto *blocks = static_cast<char *>(
            mmap(nullptr, n * blk, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(ctrl_len)));
        if (blocks == MAP_FAILED)
            _exit(2);
        // Churn, then keep four blocks allocated and tagged for the parent to find.
        for (int i = 0; i < rounds; i++) {
            void *b = mempool_alloc(mp, blocks);
            if (b == nullptr)
                _exit(3);
            mempool_free(mp, blocks, b);
        }
        for (int i = 0; i < 4; i++)
            mempool_tag(mp, blocks, mempool_alloc(mp, blocks), 1000 + i);
        _exit(0);
    }
    char *base = map + ctrl_len;
    for (int i = 0; i < rounds; i++) {
        void *b = mempool_alloc(mp, base);
        ASSERT_NE(b, nullptr);
        mempool_free(mp, base, b);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(mempool_nused(mp), 4);
    std::set<uint32_t> tags;
    for (int i = 0; i < n; i++) {
        if (mempool_is_free(mp, base, i))
            continue;
        tags.insert(mempool_get_tag(mp, i));
        mempool_free(mp, base, mempool_block(mp, base, i));
    }
    EXPECT_EQ(tags, (std::set<uint32_t>{1000, 1001, 1002, 1003}));
    mempool_destroy(mp);
    munmap(map, len);
    close(fd);
}

}  // namespace
