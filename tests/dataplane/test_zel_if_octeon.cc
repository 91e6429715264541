// Program memory and filter slots over private regions: allocation, the delayed delete, and policer
// updates as the forwarding plane stand-in reads them.
#include "common/hand_clock.h"
#include "common/timer.h"
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_fpinterp.h"
#include "daemon/zel.h"
#include "dataplane/zel_if_octeon.h"
#include "platform/fpsim/fp_sim_fwd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{

std::vector<uint32_t> g_retries;
void record_retry(zel_ctx *, uint32_t freed) { g_retries.push_back(freed); }

// A count (rate 0) or police action.
zel_action_spec action(const char *name, int32_t seq = 0, uint64_t rate_bps = 0, uint64_t burst_bytes = 0)
{
    zel_action_spec s;
    s.code = s.param_type = rate_bps ? ZEL_ACT_POLICE : ZEL_ACT_COUNT;
    s.name = name;
    s.seq = seq;
    s.rate_bps = rate_bps;
    s.burst_bytes = burst_bytes;
    return s;
}

class Publication : public testing::Test
{
protected:
    void SetUp() override
    {
        ctx.tmr_mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        g_retries.clear();
        ctx.dp.oom_retry = record_retry;
        start(1024, 8);
    }
    void TearDown() override
    {
        ops->deinit(&ctx);
        timer_mgr_destroy(ctx.tmr_mgr);
    }
    // Regions full of stale bytes; 8-byte aligned filter memory, as the shared block's tables are.
    void start(uint32_t blocks, uint32_t filters, int clear = 1)
    {
        if (!mem.empty())
            ops->deinit(&ctx);
        mem.assign(uint64_t{blocks} * 128 + 8, 0xAB);
        slots.assign(filters, fp_filter_slot{1, 0xFF, 0, 7, 7});
        memset(&x, 5, sizeof x);
        ctrl.clock_hz = 1000000000;
        base = mem.data() + (8 - reinterpret_cast<uintptr_t>(mem.data()) % 8) % 8;
        regions = {base, blocks, slots.data(), filters, &ctrl, x.family, 16, x.hits, 16, &x.app, &x.flow, &x.log};
        ASSERT_EQ(zel_dp_start(&ctx, regions, clear), 0);
    }
    // One delayed-delete period later.
    void pass()
    {
        HandClock::advance(ZEL_DP_DELAYED_DEL_MS);
        timer_exec_pri(ctx.tmr_mgr, TIMER_PRI_MASK_ALL, 100);
    }
    uint32_t valid_slots() const
    {
        uint32_t n = 0;
        for (const auto &s : slots)
            n += s.valid;
        return n;
    }

    HandClock clock_;
    const zel_dp_ops *ops = zel_dp_octeon_ops();
    zel_ctx ctx{};
    std::vector<uint8_t> mem;
    uint8_t *base = nullptr;
    std::vector<fp_filter_slot> slots;
    struct {
        uint32_t family[16], hits[16], app, flow;
        fp_filter_log_cfg log;
    } x;
    fp_global_ctrl ctrl{};
    zel_dp_regions regions{};
};

TEST_F(Publication, AClearingStartZeroesEveryPolicyRegion)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&x);
    EXPECT_EQ(std::count(bytes, bytes + sizeof x, 0), static_cast<long>(sizeof x));
    EXPECT_EQ(std::count(base, base + 1024 * 128, 0), 1024 * 128);
    for (const fp_filter_slot &sl : slots)
        EXPECT_EQ(sl.valid | sl.flags | sl.hw_index | sl.nblocks, 0u);
    start(16, 2, 0);
    EXPECT_EQ(base[5] + bytes[5] + slots[1].valid, 0xAB + 5 + 1) << "without clearing, nothing is touched";
}

// The model: per block its owner slot, per slot its program's first block, length and whether it is
// published, run by the forwarding plane since the last pass, or freed. A program takes the lowest
// free slot and the first run of whole free blocks; a pass releases every freed program the
// forwarding plane did not run (zeroing its memory and reporting the blocks to the retry), and only
// clears the run mark of the others.
TEST_F(Publication, RandomAllocateFreeRunAndPassMatchAModelOfBlocksAndSlots)
{
    constexpr uint32_t nblocks = 40, nslots = 6;
    start(nblocks, nslots);
    struct Prog {
        bool valid = false, ran = false, freed = false;
        uint32_t first = 0, n = 0;
    };
    std::vector<Prog> prog(nslots);
    std::vector<int> owner(nblocks, -1);
    std::vector<uint32_t> retries;
    std::mt19937 rng(31);
    auto free_run_at = [&](uint32_t n) -> int64_t {
        for (uint32_t s = 0; s + n <= nblocks; s++)
            if (std::all_of(owner.begin() + s, owner.begin() + s + n, [](int o) { return o < 0; }))
                return s;
        return -1;
    };
    for (int step = 0; step < 3000; step++) {
        const uint32_t r = rng() % 8, k = rng() % nslots;
        if (r < 3) {
            const uint32_t size = rng() % 3 == 0 ? rng() % (nblocks * 128 + 200) : rng() % 900;
            const uint32_t n = (size + 127) / 128;
            auto slot = std::find_if(prog.begin(), prog.end(), [](const Prog &p) { return !p.valid; });
            const int64_t first = n == 0 || slot == prog.end() ? -1 : free_run_at(n);
            auto *got = static_cast<uint8_t *>(ops->allocate(size));
            if (first < 0) {
                ASSERT_EQ(got, nullptr) << "step " << step;
                ASSERT_EQ(zel_dp_current_filter_index(), -1);
                continue;
            }
            ASSERT_EQ(got, base + first * 128) << "step " << step;
            ASSERT_EQ(zel_dp_current_filter_index(), slot - prog.begin());
            *slot = {true, false, false, static_cast<uint32_t>(first), n};
            std::fill(owner.begin() + first, owner.begin() + first + n, slot - prog.begin());
            memset(got, 0x5A, size_t{n} * 128);
        } else if (r < 5 && prog[k].valid && !prog[k].freed) {
            ops->free(base + prog[k].first * 128);
            prog[k].freed = true;
        } else if (r < 6 && prog[k].valid) {
            slots[k].flags |= FP_FILTER_ACTIVE;  // the forwarding plane ran it
            prog[k].ran = true;
        } else if (r < 8) {
            pass();
            uint32_t freed = 0;
            for (uint32_t i = 0; i < nslots; i++) {
                Prog &p = prog[i];
                if (!p.freed || std::exchange(p.ran, false))
                    continue;
                ASSERT_EQ(std::count(base + p.first * 128, base + (p.first + p.n) * 128, 0), p.n * 128);
                std::fill(owner.begin() + p.first, owner.begin() + p.first + p.n, -1);
                freed += p.n;
                p = {};
            }
            if (freed)
                retries.push_back(freed);
        }
        uint32_t longest = 0, run = 0, pending = 0;
        for (int o : owner)
            longest = std::max(longest, run = o < 0 ? run + 1 : 0);
        for (uint32_t i = 0; i < nslots; i++) {
            ASSERT_EQ(slots[i].valid, prog[i].valid) << "slot " << i << " step " << step;
            ASSERT_EQ(slots[i].hw_index, prog[i].first) << "slot " << i;
            ASSERT_EQ(slots[i].nblocks, prog[i].n) << "slot " << i;
            ASSERT_EQ((slots[i].flags & FP_FILTER_ACTIVE) != 0, prog[i].ran) << "slot " << i;
            pending += prog[i].freed;
        }
        ASSERT_EQ(zel_dp_largest_free_run(), valid_slots() < nslots ? longest : 0u);
        ASSERT_EQ(zel_dp_delayed_count(), pending);
        ASSERT_EQ(g_retries, retries);
    }
}

TEST_F(Publication, PolicerUpdatesReachOnlyThatPolicersSlots)
{
    // Two rules, default "reject", compiled through the installed program allocator.
    compile_context *cc = zel_compile_context_new(zel_dp_program_memory());
    zel_action_data def{}, act{};
    zel_default_action(ZEL_ACT_REJECT, 0, 0, false, 0, &def);
    rule_table *rt = zel_rule_table_create("p", "1", ZEL_ACTION_DATA_SIZE, &def);
    const std::vector<std::vector<zel_action_spec>> seqs = {{action("pol", 10, 8000, 100)},
                                                            {action("udp"), action("other", 20, 8000, 100)}};
    for (size_t i = 0; i < seqs.size(); i++) {
        rule *r = zel_rule_add(rt, std::to_string(10 * (i + 1)).c_str());
        zel_compile_sequence_actions(seqs[i], 1000000000, &act);
        zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, &act);
        zel_rule_add_range(cc, r, ZEL_CF_PROTOCOL, i ? 17 : 6, i ? 17 : 6);
    }
    void *image = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(zel_compile(cc, rt, &image, &size), 0);
    const uint32_t slot = static_cast<uint32_t>(zel_compile_filter_index(cc));
    zel_compile_context_reset(cc);
    zel_rule_table_free(rt);
    zel_compile_context_free(cc);
    const std::vector<uint8_t> before(base, base + 1024 * 128);
    zel_policer_stats st{};
    strcpy(st.name, "pol");
    st.rate = 12345;
    st.burst = 678;
    st.oob_action = 1;
    EXPECT_EQ(ops->policer_update(8, &st), 22);
    EXPECT_EQ(ops->policer_update(3, &st), 22) << "a free slot";
    EXPECT_TRUE(std::equal(before.begin(), before.end(), base)) << "a refused update changes nothing";

    ASSERT_EQ(ops->policer_update(slot, &st), 0);
    // The published program as the forwarding plane stand-in reads it.
    fpsim_filter f;
    std::string err;
    ASSERT_EQ(f.load(&slots[slot], base, regions.blocks, &err), 0) << err;
    std::vector<std::string> policers;
    for (uint32_t a = 0; zel_action_block *b = f.block(a); a++)
        for (const zel_action_slot &s : b->data.slot)
            if (s.param_type == ZEL_ACT_POLICE)
                policers.push_back(std::string(s.p.police.name) + " " + std::to_string(s.p.police.rate) + " " +
                                   std::to_string(s.p.police.burst) + " " + std::to_string(s.p.police.oob_action));
    std::sort(policers.begin(), policers.end());
    // The other one keeps 1e9 cycles/s over 1000 bytes/s.
    EXPECT_EQ(policers, (std::vector<std::string>{"10.pol 12345 678 1", "20.other 1000000 100000000 0"}));
}

}  // namespace
