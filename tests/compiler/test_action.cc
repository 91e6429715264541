#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "image_eval.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{

zel_action_spec act(uint32_t code, uint32_t type = 0)
{
    zel_action_spec a;
    a.code = code;
    a.param_type = type;
    return a;
}

// The policer's place and encoding are checked through the native reader (tests/zelc).
TEST(ActionEncode, UnresolvedClassTakesNoSlotAndOverflowIsRefused)
{
    zel_action_spec fc = act(ZEL_ACT_SET_FC, ZEL_ACT_SET_FC);
    fc.unresolved = true;
    zel_action_spec dscp = act(ZEL_ACT_SET_DSCP, ZEL_ACT_SET_DSCP);
    dscp.value = 46;
    zel_action_data d;
    const zel_action_spec a[] = {act(ZEL_ACT_ACCEPT), fc, dscp};
    ASSERT_EQ(zel_compile_sequence_actions(a, 0, &d), 0);
    EXPECT_EQ(d.slot[0].code, ZEL_ACT_ACCEPT);
    EXPECT_EQ(d.slot[1].code, ZEL_ACT_SET_DSCP);
    EXPECT_EQ(d.slot[1].p.u8, 46);
    EXPECT_EQ(d.slot[2].code, 0u);

    std::vector<zel_action_spec> many(13, act(ZEL_ACT_LOG, ZEL_ACT_LOG));
    EXPECT_EQ(zel_compile_sequence_actions(many, 0, &d), 22);
    many.pop_back();
    EXPECT_EQ(zel_compile_sequence_actions(many, 0, &d), 0);
}

// How many of the 16 entries each TLOC takes; `order` receives the entries' TLOCs.
std::map<uint32_t, int> tloc_counts(const std::vector<zel_tloc_choice> &c, std::vector<uint32_t> *order = nullptr)
{
    zel_slot_tloc_entry e[ZEL_TLOC_LIST_ENTRIES] = {};
    zel_tloc_list_fill(c, e);
    std::map<uint32_t, int> n;
    for (const auto &x : e) {
        if (x.resolved)
            n[x.tloc_index]++;
        if (order)
            order->push_back(x.tloc_index);
    }
    return n;
}

zel_tloc_choice choice(uint32_t idx, uint32_t weight, uint32_t pref = 0, uint32_t label = 100)
{
    return {label, pref, idx, weight, true, true};
}

TEST(TlocList, WeightedFillOfTheUsableBestPreference)
{
    using counts = std::map<uint32_t, int>;
    EXPECT_EQ(tloc_counts({choice(1, 3), choice(2, 1)}), (counts{{1, 12}, {2, 4}}));
    // Sorted by weight: the lighter first choice does not take the extra entries.
    EXPECT_EQ(tloc_counts({choice(3, 1), choice(1, 10), choice(2, 10)}), (counts{{1, 8}, {2, 7}, {3, 1}}));
    std::vector<uint32_t> order;
    tloc_counts({choice(1, 5), choice(2, 5), choice(3, 5)}, &order);
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1}));

    zel_tloc_choice down = choice(7, 1), unresolved = choice(8, 1);
    down.up = false;
    unresolved.resolved = false;
    EXPECT_EQ(tloc_counts({down, unresolved, choice(9, 1, 5, 0), choice(1, 1, 5), choice(2, 1, 4), choice(3, 1, 6)}),
              (counts{{1, 8}, {3, 8}}));
    EXPECT_TRUE(tloc_counts({down}).empty());
}

// Two rules that both count into "c" and police with "pol": two classes carry them. The counters' totals,
// clear and bank flip are checked against the forwarding plane in tests/dataplane.
TEST(Stats, PolicerTotalsAndClear)
{
    zel_prog_heap *heap = zel_prog_heap_new(4096, 4);
    const program_allocator memory = zel_prog_heap_allocator(heap);
    compile_context *ctx = zel_compile_context_new(&memory);
    zel_action_data def{};
    rule_table *rt = zel_rule_table_create("p", "1v", sizeof def, &def);
    zel_action_spec c = act(ZEL_ACT_COUNT, ZEL_ACT_COUNT), p = act(ZEL_ACT_POLICE, ZEL_ACT_POLICE);
    c.name = "c";
    p.name = "pol";
    p.seq = 1;
    const zel_action_spec a[] = {act(ZEL_ACT_ACCEPT), c, p};
    zel_action_data d;
    ASSERT_EQ(zel_compile_sequence_actions(a, 1000, &d), 0);
    for (uint32_t i = 0; i < 2; i++) {
        rule *r = zel_rule_add(rt, std::to_string(i).c_str());
        zel_rule_add_range(ctx, r, ZEL_CF_DSCP, i * 10, i * 10 + 5);
        zel_rule_set_action(r, sizeof d, &d);
    }
    void *image = nullptr;
    uint32_t size;
    ASSERT_EQ(zel_compile(ctx, rt, &image, &size), 0);

    // What the forwarding plane does: 2 packets of 50 bytes into each block's counter and policer banks.
    zel_action_blocks_visit(
        image,
        [](zel_action_data *b, void *) {
            for (zel_action_slot &s : b->slot) {
                if (s.param_type == ZEL_ACT_COUNT) {
                    s.p.count.packets[s.p.count.bank] += 2;
                    s.p.count.bytes[s.p.count.bank] += 50;
                } else if (s.param_type == ZEL_ACT_POLICE) {
                    s.p.police.drops[s.p.police.bank] += 2;
                    s.p.police.bytes[s.p.police.bank] += 50;
                }
            }
        },
        nullptr);
    uint64_t drops, bytes, pk, by;
    zel_policer_totals(image, "1.pol", &drops, &bytes);
    EXPECT_EQ(drops, 4u);
    EXPECT_EQ(bytes, 100u);
    zel_policer_clear(image, "1.pol");
    zel_policer_totals(image, "1.pol", &drops, &bytes);
    EXPECT_EQ(drops + bytes, 0u);
    zel_counter_totals(image, "c", &pk, &by);
    EXPECT_EQ(pk, 4u);  // the counter bank is not the policer's

    zel_program_free(&ctx->program_memory, image);
    zel_rule_table_free(rt);
    zel_compile_context_free(ctx);
    zel_prog_heap_delete(heap);
}

TEST(ActionPrint, SlotsAndAddresses)
{
    zel_action_spec nh = act(ZEL_ACT_SET_NEXT_HOP, ZEL_ACT_SET_NEXT_HOP);
    const uint32_t v4 = 0x0A000001;
    memcpy(nh.next_hop.addr, &v4, 4);
    nh.next_hop.family = 1;
    zel_action_spec lt = act(ZEL_ACT_SET_LOCAL_TLOC_LIST, ZEL_ACT_SET_LOCAL_TLOC_LIST);
    lt.color = 0x30;
    lt.encap = 2;
    lt.restrict_ = true;
    zel_action_spec cnt = act(ZEL_ACT_COUNT, ZEL_ACT_COUNT);
    cnt.name = "web";
    const zel_action_spec a[] = {act(ZEL_ACT_ACCEPT), nh, lt, cnt, act(ZEL_ACT_TCP_OPT, ZEL_ACT_TCP_OPT)};
    zel_action_data d;
    ASSERT_EQ(zel_compile_sequence_actions(a, 0, &d), 0);
    std::string out;
    const zel_out_sink sink = test_string_sink(&out);
    zel_action_slots_print(&d, &sink);
    EXPECT_EQ(out, "accept\nset next-hop\n\tnext-hop: 10.0.0.1\nset local-tloc-list\n"
                   "\tColor Mask: 0x30, Encap Mask: 0x2, Restrict: Yes\ncount\n  web\n"
                   "tcp optimization\n\tTCP Optimization\n");

    zel_addr_record r6{};
    r6.family = 2;
    const uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    memcpy(r6.addr, a6, 16);
    EXPECT_STREQ(zel_addr_record_str(&r6), "2001:db8:0:0:1::");
}

}  // namespace
