// Program memory and filter slots over private regions: allocation, the delayed delete, policer
// updates, counters as the forwarding plane stand-in keeps them, and the debug views.
#include "common/timer.h"
#include "daemon/zel.h"
#include "dataplane/zel_if_octeon.h"
#include "dp_test_util.h"
#include "platform/fpsim/fp_sim_fwd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

timespec g_now;
void fake_clock(timespec *now) { *now = g_now; }
void advance_ms(long ms)
{
    g_now.tv_nsec += ms * 1000000;
    g_now.tv_sec += g_now.tv_nsec / 1000000000;
    g_now.tv_nsec %= 1000000000;
}

std::vector<uint32_t> g_retries;
void record_retry(zel_ctx *, uint32_t freed) { g_retries.push_back(freed); }

using counts = std::pair<uint64_t, uint64_t>;

void append(void *arg, const char *text, size_t len) { static_cast<std::string *>(arg)->append(text, len); }

class Publication : public testing::Test
{
protected:
    void SetUp() override
    {
        g_now = {1000, 0};
        timer_set_clock(fake_clock);
        ctx.tmr_mgr = timer_mgr_create(TIMER_RES_10MS, nullptr, nullptr, nullptr, TIMER_PRI_MASK_ALL);
        ASSERT_NE(ctx.tmr_mgr, nullptr);
        g_retries.clear();
        ctx.dp.oom_retry = record_retry;
        start(1024, 8);
    }
    void TearDown() override
    {
        ops->deinit(&ctx);
        timer_mgr_destroy(ctx.tmr_mgr);
        timer_set_clock(nullptr);
    }
    void start(uint32_t blocks, uint32_t filters, int clear = 1)
    {
        if (!mem.empty())
            ops->deinit(&ctx);
        mem.assign(uint64_t{blocks} * 128 + 8, 0xAB);
        slots.assign(filters, fp_filter_slot{1, 0xFF, 0, 7, 7});
        family.assign(16, 5);
        hits.assign(16, 6);
        knobs[0] = knobs[1] = 9;
        log_cfg.words[3] = 4;
        ctrl.clock_hz = 1000000000;
        // 8-byte aligned filter memory, as the shared block's 128-byte tables are.
        base = mem.data() + (8 - reinterpret_cast<uintptr_t>(mem.data()) % 8) % 8;
        regions = {base, blocks,      slots.data(), filters,   &ctrl,     family.data(),
                   16,   hits.data(), 16,           &knobs[0], &knobs[1], &log_cfg};
        ASSERT_EQ(zel_dp_start(&ctx, regions, clear), 0);
    }
    // One delayed-delete period later.
    void pass()
    {
        advance_ms(ZEL_DP_DELAYED_DEL_MS);
        timer_exec_pri(ctx.tmr_mgr, TIMER_PRI_MASK_ALL, 100);
    }
    uint32_t block_of(const void *p) const
    {
        return static_cast<uint32_t>((static_cast<const uint8_t *>(p) - base) / 128);
    }
    uint32_t valid_slots() const
    {
        uint32_t n = 0;
        for (const auto &s : slots)
            n += s.valid;
        return n;
    }
    // The published program as the forwarding plane stand-in runs it.
    void load(const dptest::compiled &c, fpsim_filter *f)
    {
        ASSERT_NE(c.image, nullptr);
        std::string err;
        ASSERT_EQ(f->load(&slots[c.slot], base, regions.blocks, &err), 0) << err;
    }
    std::string view(void (*fn)(const zel_out_sink *))
    {
        std::string out;
        zel_out_sink sink{append, &out};
        fn(&sink);
        return out;
    }

    const zel_dp_ops *ops = zel_dp_octeon_ops();
    zel_ctx ctx{};
    std::vector<uint8_t> mem;
    uint8_t *base = nullptr;
    std::vector<fp_filter_slot> slots;
    std::vector<uint32_t> family, hits;
    uint32_t knobs[2] = {};
    fp_filter_log_cfg log_cfg{};
    fp_global_ctrl ctrl{};
    zel_dp_regions regions{};
};

// ---------------------------------------------------------------------------------------------- start

TEST_F(Publication, AClearingStartZeroesEveryPolicyRegion)
{
    EXPECT_EQ(std::count(base, base + 1024 * 128, 0), 1024 * 128);
    EXPECT_EQ(valid_slots(), 0u);
    EXPECT_EQ(slots[0].hw_index | slots[7].nblocks | slots[3].flags, 0u);
    EXPECT_EQ(std::count(family.begin(), family.end(), 0u) + std::count(hits.begin(), hits.end(), 0u), 32);
    EXPECT_EQ(knobs[0] | knobs[1] | log_cfg.words[3], 0u);

    start(16, 2, 0);
    EXPECT_EQ(base[5], 0xAB) << "without clearing, nothing is touched";
    EXPECT_EQ(valid_slots(), 2u);
    EXPECT_EQ(knobs[1], 9u);
}

// ----------------------------------------------------------------------------------------- allocation

TEST_F(Publication, SizesRoundUpToWholeBlocksInTheLowestFreeSlot)
{
    void *a = ops->allocate(128);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(zel_dp_current_filter_index(), 0);
    void *b = ops->allocate(129);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(zel_dp_current_filter_index(), 1);
    EXPECT_EQ(slots[0].nblocks, 1u);
    EXPECT_EQ(slots[1].nblocks, 2u);
    EXPECT_EQ(slots[1].hw_index, 1u);
    EXPECT_EQ(block_of(b), 1u);
    EXPECT_EQ(slots[1].valid, 1);
    EXPECT_EQ(ops->allocate(0), nullptr);
    EXPECT_EQ(zel_dp_current_filter_index(), -1);
}

TEST_F(Publication, FirstFitSkipsRunsThatAreTooShort)
{
    start(10, 4);
    void *a = ops->allocate(4 * 128), *b = ops->allocate(2 * 128), *c = ops->allocate(4 * 128);
    ASSERT_TRUE(a && b && c);
    ASSERT_EQ(block_of(b), 4u);
    ops->free(a);
    ops->free(c);
    pass();
    ASSERT_EQ(g_retries, std::vector<uint32_t>{8});
    // Blocks 0-3 free, 4-5 used, 6-9 free.
    void *d = ops->allocate(4 * 128);
    EXPECT_EQ(zel_dp_current_filter_index(), 0);
    void *e = ops->allocate(4 * 128);
    EXPECT_EQ(zel_dp_current_filter_index(), 2) << "the lowest free slot, not the next one";
    ASSERT_TRUE(d && e);
    EXPECT_EQ(block_of(d), 0u);
    EXPECT_EQ(block_of(e), 6u);
    EXPECT_EQ(ops->allocate(1), nullptr);
}

TEST_F(Publication, NoFreeSlotOrNoRunGivesNothingAndKeepsTheSlotFree)
{
    start(10, 4);
    for (int i = 0; i < 4; i++)
        ASSERT_NE(ops->allocate(100), nullptr);
    EXPECT_EQ(zel_dp_largest_free_run(), 0u) << "no slot: nothing can be had";
    EXPECT_EQ(ops->allocate(100), nullptr);
    EXPECT_EQ(zel_dp_current_filter_index(), -1);

    start(10, 4);
    ASSERT_NE(ops->allocate(8 * 128), nullptr);
    EXPECT_EQ(zel_dp_largest_free_run(), 2u);
    EXPECT_EQ(ops->allocate(3 * 128), nullptr);
    EXPECT_EQ(zel_dp_current_filter_index(), -1);
    EXPECT_EQ(valid_slots(), 1u);
    EXPECT_NE(ops->allocate(2 * 128), nullptr);
}

// ---------------------------------------------------------------------------------- delayed delete

TEST_F(Publication, AnActiveFilterSurvivesOnePassAndGoesOnTheNextInactiveOne)
{
    auto *p = static_cast<uint8_t *>(ops->allocate(300));
    ASSERT_NE(p, nullptr);
    memset(p, 0x5A, 300);
    ops->free(p);
    EXPECT_EQ(slots[0].valid, 1) << "still published after the free";
    slots[0].flags |= FP_FILTER_ACTIVE;  // the forwarding plane ran it

    advance_ms(ZEL_DP_DELAYED_DEL_MS - 10);
    timer_exec_pri(ctx.tmr_mgr, TIMER_PRI_MASK_ALL, 100);
    EXPECT_EQ(zel_dp_delayed_count(), 1u) << "no pass before the period is over";
    advance_ms(10);
    timer_exec_pri(ctx.tmr_mgr, TIMER_PRI_MASK_ALL, 100);
    EXPECT_EQ(slots[0].valid, 1);
    EXPECT_EQ(slots[0].flags & FP_FILTER_ACTIVE, 0) << "the pass clears the bit";
    EXPECT_TRUE(g_retries.empty()) << "a pass that frees nothing does not retry";
    EXPECT_EQ(p[0], 0x5A);

    pass();
    EXPECT_EQ(g_retries, std::vector<uint32_t>{3});
    EXPECT_EQ(zel_dp_delayed_count(), 0u);
    EXPECT_EQ(slots[0].valid | slots[0].hw_index | slots[0].nblocks, 0u);
    EXPECT_EQ(std::count(p, p + 3 * 128, 0), 3 * 128) << "released memory is zeroed";
    pass();
    EXPECT_EQ(g_retries.size(), 1u) << "the timer stops with the list empty";
}

TEST_F(Publication, OnePassReleasesEveryInactiveProgramAndRetriesOnce)
{
    void *a = ops->allocate(128), *b = ops->allocate(3 * 128), *c = ops->allocate(128);
    ops->free(a);
    ops->free(b);
    ops->free(c);
    slots[1].flags |= FP_FILTER_ACTIVE;
    pass();
    EXPECT_EQ(g_retries, std::vector<uint32_t>{2});
    EXPECT_EQ(valid_slots(), 1u);
    pass();
    EXPECT_EQ(g_retries, (std::vector<uint32_t>{2, 3}));
}

using PublicationDeath = Publication;

TEST_F(PublicationDeath, FreeingAnythingButAPublishedProgramIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto *p = static_cast<uint8_t *>(ops->allocate(2 * 128));
    EXPECT_DEATH(ops->free(p + 8), "zel_if_octeon:[0-9]+: failed assertion `zel_mem\\[hw_index\\].ptr == ptr'");
    EXPECT_DEATH(ops->free(p + 128),
                 "zel_if_octeon:[0-9]+: failed assertion `zel_mem\\[hw_index\\].is_allocated == 1'");
    ops->free(p);
    EXPECT_DEATH(ops->free(p), "zel_if_octeon:[0-9]+: failed assertion `!pending\\(&zel_mem\\[hw_index\\]\\)'")
        << "a second free while the first is pending";
}

// ------------------------------------------------------------------------------------------ programs

TEST_F(Publication, AProgramThatFoundNoMemoryFitsAfterTheRelease)
{
    start(100, 8);
    const dptest::rule_spec rules[] = {{6, 6, dptest::encode(std::vector{dptest::count_spec("tcp")})}};
    dptest::compiled first = dptest::compile_rules("first", rules);
    ASSERT_NE(first.image, nullptr);
    dptest::compiled second = dptest::compile_rules("second", rules);
    EXPECT_EQ(second.rc, 12);
    EXPECT_EQ(second.image, nullptr);
    EXPECT_EQ(valid_slots(), 1u) << "the failed compilation claimed no slot";

    zel_program_free(zel_dp_program_memory(), first.image);
    pass();
    ASSERT_EQ(g_retries.size(), 1u);
    EXPECT_GE(g_retries[0] * 128, second.size);
    dptest::compiled again = dptest::compile_rules("second", rules);
    EXPECT_NE(again.image, nullptr);
    EXPECT_EQ(again.slot, 0);
}

TEST_F(Publication, PolicerUpdatesReachOnlyThatPolicersSlots)
{
    const dptest::rule_spec rules[] = {
        {6, 6, dptest::encode(std::vector{dptest::police_spec("pol", 10, 8000, 100)})},
        {17, 17, dptest::encode(std::vector{dptest::count_spec("udp"), dptest::police_spec("other", 20, 8000, 100)})},
    };
    dptest::compiled c = dptest::compile_rules("p", rules);
    ASSERT_NE(c.image, nullptr);
    const std::vector<uint8_t> before(base, base + 1024 * 128);

    zel_policer_stats st{};
    strcpy(st.name, "pol");
    st.rate = 12345;
    st.burst = 678;
    st.oob_action = 1;
    EXPECT_EQ(ops->policer_update(8, &st), 22);
    EXPECT_EQ(ops->policer_update(3, &st), 22) << "a free slot";
    EXPECT_TRUE(std::equal(before.begin(), before.end(), base)) << "a refused update changes nothing";

    ASSERT_EQ(ops->policer_update(static_cast<uint32_t>(c.slot), &st), 0);
    fpsim_filter f;
    ASSERT_NO_FATAL_FAILURE(load(c, &f));
    int updated = 0, untouched = 0;
    for (uint32_t a = 0; zel_action_block *b = f.block(a); a++) {
        for (const zel_action_slot &s : b->data.slot) {
            if (s.param_type != ZEL_ACT_POLICE)
                continue;
            if (strcmp(s.p.police.name, "10.pol") == 0) {
                EXPECT_EQ(s.p.police.rate, 12345u);
                EXPECT_EQ(s.p.police.burst, 678u);
                EXPECT_EQ(s.p.police.oob_action, 1u);
                updated++;
            } else {
                EXPECT_EQ(s.p.police.rate, 1000000u) << "1e9 cycles/s over 1000 bytes/s";
                untouched++;
            }
        }
    }
    EXPECT_EQ(updated, 1);
    EXPECT_EQ(untouched, 1);
}

// The forwarding plane counts into the bank the selector names; a clear flips it and zeroes the other.
TEST_F(Publication, ClearingFlipsBanksWhileCountingGoesOn)
{
    const dptest::rule_spec rules[] = {{6, 6, dptest::encode(std::vector{dptest::count_spec("web")})}};
    dptest::compiled c = dptest::compile_rules("c", rules);
    fpsim_filter f;
    ASSERT_NO_FATAL_FAILURE(load(c, &f));
    uint32_t v[ZEL_FP_FIELDS] = {};
    v[ZEL_CF_MATCH_ANY] = 1;
    v[ZEL_CF_PROTOCOL] = 6;
    auto send = [&](int n, uint32_t len) {
        for (int i = 0; i < n; i++) {
            fpsim_verdict verdict;
            ASSERT_EQ(f.forward(v, len, 1, &verdict), 0);
            EXPECT_FALSE(verdict.is_default);
        }
    };
    auto totals = [&] {
        uint64_t p = 0, b = 0;
        zel_counter_totals(c.image, "web", &p, &b);
        return counts{p, b};
    };
    send(3, 100);
    EXPECT_EQ(totals(), counts(3, 300));
    EXPECT_EQ(slots[c.slot].flags & FP_FILTER_ACTIVE, FP_FILTER_ACTIVE);
    zel_counter_clear(c.image, "web");
    EXPECT_EQ(totals(), counts(0, 0));
    send(2, 50);
    EXPECT_EQ(totals(), counts(2, 100));
    zel_counter_clear(c.image, "web");
    send(1, 10);
    EXPECT_EQ(totals(), counts(1, 10)) << "back on the first bank, zeroed at the first clear";

    v[ZEL_CF_PROTOCOL] = 17;
    fpsim_verdict verdict;
    ASSERT_EQ(f.forward(v, 10, 1, &verdict), 0);
    EXPECT_TRUE(verdict.is_default);
    EXPECT_EQ(totals().first, 1u);
}

TEST_F(Publication, PolicingSpendsTheBurstThenDrops)
{
    // 8000 bit/s = 1000 bytes/s: 1e6 cycles per byte; a burst of 1000 bytes.
    const dptest::rule_spec rules[] = {{6, 6, dptest::encode(std::vector{dptest::police_spec("p", 1, 8000, 1000)})}};
    dptest::compiled c = dptest::compile_rules("pol", rules);
    fpsim_filter f;
    ASSERT_NO_FATAL_FAILURE(load(c, &f));
    uint32_t v[ZEL_FP_FIELDS] = {};
    v[ZEL_CF_MATCH_ANY] = 1;
    v[ZEL_CF_PROTOCOL] = 6;
    std::vector<bool> dropped;
    const uint64_t t0 = 5000000000;
    for (uint64_t now : {t0, t0, t0, t0 + uint64_t{500000000}}) {
        fpsim_verdict verdict;
        ASSERT_EQ(f.forward(v, 500, now, &verdict), 0);
        dropped.push_back(verdict.dropped);
    }
    EXPECT_EQ(dropped, (std::vector<bool>{false, false, true, false})) << "half a second refills 500 bytes";
    uint64_t drops = 0, bytes = 0;
    zel_policer_totals(c.image, "1.p", &drops, &bytes);
    EXPECT_EQ(drops, 1u);
    EXPECT_EQ(bytes, 1500u);
}

// -------------------------------------------------------------------------------------------- views

TEST_F(Publication, MemoryMapShowsRunsAndFreeStretches)
{
    start(10, 4);
    void *a = ops->allocate(2 * 128);
    ASSERT_NE(ops->allocate(3 * 128), nullptr);
    ops->free(a);
    pass();
    EXPECT_EQ(view(zel_dp_show_memory_map), "Dumping the filter memory map\n\n"
                                            "Free Block start index: 0 - end index 1\n"
                                            "Used Block start index: 2/2 - end index 5 (#3/3)\n"
                                            "\tFilterId: 1\n"
                                            "Free Block start index: 5 - end index 9\n"
                                            "\n");
}

TEST_F(Publication, SummaryAndFilterListShowPublishedPrograms)
{
    const dptest::rule_spec rules[] = {{6, 6, dptest::encode(std::vector{dptest::count_spec("tcp")})}};
    dptest::compiled c = dptest::compile_rules("listed", rules);
    ASSERT_NE(c.image, nullptr);
    void *raw = ops->allocate(128);
    ASSERT_NE(raw, nullptr);
    const uint32_t n = slots[c.slot].nblocks;
    slots[1].flags |= FP_FILTER_ACTIVE;

    char rows[256];
    snprintf(rows, sizeof rows,
             "Index\tValid\tHW Index\tNum HW Blocks\tActivity\n%5d\t%5d\t%8d\t%13d\t%8d\n%5d\t%5d\t%8d\t%13d\t%8d\n", 0,
             1, 0, n, 0, 1, 1, n, 1, 1);
    EXPECT_EQ(view(zel_dp_show_filter_summary), std::string(rows) + "Number of filters: 2/8\nNumber of blocks used: " +
                                                    std::to_string(n + 1) + "/1024\n\n");

    const std::string list = view(zel_dp_show_filters);
    EXPECT_EQ(list.rfind(rows, 0), 0u);
    EXPECT_NE(list.find("\n\nFILTER     0 Activity: 0\n====== =====\n\nlength = " + std::to_string(c.size) + " \n"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("FILTER     1 Activity: 1\n"), std::string::npos);
    EXPECT_NE(list.find("  tcp\n"), std::string::npos) << "the count slot is printed";
    EXPECT_TRUE(list.ends_with("\t Clock Rate: 1000000000\n")) << list;
}

}  // namespace
