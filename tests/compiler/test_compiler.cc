#include "common/zel_log.h"
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "image_eval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace
{

struct Compiler : testing::Test {
    zel_prog_heap *heap = zel_prog_heap_new(1 << 16, 64);
    compile_context *ctx = zel_compile_context_new(nullptr);
    rule_table *rt = nullptr;
    void *image = nullptr;
    uint32_t size = 0;

    Compiler()
    {
        program_allocator a = zel_prog_heap_allocator(heap);
        ctx->program_memory = a;
    }
    ~Compiler() override
    {
        zel_program_free(&ctx->program_memory, image);
        zel_rule_table_free(rt);
        zel_compile_context_free(ctx);
        zel_prog_heap_delete(heap);
    }

    static zel_action_data action_with_code(uint32_t code)
    {
        zel_action_data d{};
        d.slot[0].code = code;
        return d;
    }
    void make_table(const char *name = "pol")
    {
        zel_action_data def = action_with_code(ZEL_ACT_REJECT);
        rt = zel_rule_table_create(name, "1vpn", sizeof def, &def);
    }
    rule *add_rule(const char *name, uint32_t code)
    {
        rule *r = zel_rule_add(rt, name);
        zel_action_data d = action_with_code(code);
        zel_rule_set_action(r, sizeof d, &d);
        return r;
    }
    int compile() { return zel_compile(ctx, rt, &image, &size); }
    const zel_image_header &hdr() const { return *static_cast<const zel_image_header *>(image); }
    const uint8_t *bytes() const { return static_cast<const uint8_t *>(image); }

    // The rows of lookup table t as a set of (low, high, class).
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> rows_of(uint32_t dir_index) const
    {
        const zel_table_dir_entry &d = zel_image_dir(image)[dir_index];
        std::set<std::tuple<uint32_t, uint32_t, uint32_t>> out;
        const auto *e = reinterpret_cast<const zel_lookup_entry *>(bytes() + d.offset + 4);
        for (uint32_t i = 0; i < d.count; i++)
            out.emplace(e[i].low, e[i].high, e[i].class_id);
        return out;
    }
};

TEST_F(Compiler, WorkedExampleIsExactByteForByte)
{
    make_table("pol");
    rule *r0 = add_rule("10", ZEL_ACT_ACCEPT);
    ASSERT_EQ(zel_rule_add_range(ctx, r0, ZEL_CF_MATCH_ANY, 1, 1), 0);
    ASSERT_EQ(zel_rule_add_range(ctx, r0, ZEL_CF_PROTOCOL, 6, 6), 0);
    rule *r1 = add_rule("20", ZEL_ACT_COUNT);
    ASSERT_EQ(zel_rule_add_range(ctx, r1, ZEL_CF_MATCH_ANY, 1, 1), 0);
    ASSERT_EQ(zel_rule_add_range(ctx, r1, ZEL_CF_PROTOCOL, 17, 17), 0);

    const uint64_t saved = zel_debug_flags;
    zel_debug_flags = ZEL_DEBUG_STDOUT | ZEL_DEBUG_POLICY;
    testing::internal::CaptureStdout();
    ASSERT_EQ(compile(), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    zel_debug_flags = saved;

    // The six size lines, in order.
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l.substr(l.find(": ") + 2));
    const std::vector<std::string> want = {
        "Policy: pol  Program size: 472 [Header]",
        "Policy: pol  Program size: 764 [Context]",
        "Policy: pol  Program size: 860 [Table directory entry]",
        "Policy: pol  Program size: 884 [Instruction]",
        "Policy: pol  Program size: 10132 [Action]",
        "Policy: pol  Program size: 10132 [Final]",
    };
    EXPECT_EQ(lines, want);
    EXPECT_EQ(log.rfind("zel_compile_program_ec:", 0), 0u);

    ASSERT_NE(image, nullptr);
    EXPECT_EQ(size, 10132u);
    EXPECT_EQ(zel_prog_heap_blocks_used(heap), (10132u + 127) / 128);
    const zel_image_header &h = hdr();
    EXPECT_EQ(h.reserved, 0u);
    EXPECT_EQ(h.size, 10132u);
    EXPECT_STREQ(h.name, "pol");
    EXPECT_EQ(h.dir_count, 4u);
    EXPECT_EQ(h.instr_count, 6u);
    EXPECT_EQ(h.action_offset, 222u);
    EXPECT_EQ(h.table_offset[0], 0u);
    EXPECT_EQ(h.table_offset[1], 149u);
    EXPECT_EQ(h.table_offset[2], 165u);
    EXPECT_EQ(h.table_offset[3], 191u);
    EXPECT_EQ(h.table_offset[4], 0u);
    EXPECT_EQ(h.field_map_count, 2u);
    EXPECT_EQ(h.field_map[0].field, 1);
    EXPECT_EQ(h.field_map[0].table, 2);
    EXPECT_EQ(h.field_map[1].field, 12);
    EXPECT_EQ(h.field_map[1].table, 1);
    EXPECT_EQ(h.table_field[1], 12u);
    EXPECT_EQ(h.table_field[2], 1u);
    EXPECT_EQ(h.table_field[3], 0u);

    const zel_table_dir_entry *d = zel_image_dir(image);
    const uint32_t want_dir[4][3] = {{592, 3, 20}, {656, 5, 20}, {760, 6, 20}, {884, 3, 3080}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(d[i].offset, want_dir[i][0]) << i;
        EXPECT_EQ(d[i].count, want_dir[i][1]) << i;
        EXPECT_EQ(d[i].entry_size, want_dir[i][2]) << i;
        EXPECT_EQ(d[i].reserved[0] | d[i].reserved[1] | d[i].reserved[2], 0u);
    }
    const uint32_t want_code[6] = {0x11111000, 0x11222000, 0x32110003, 0x22120000, 0x12233000, 0x423F0000};
    const uint32_t *code = zel_image_instrs(image);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(code[i], want_code[i]) << i;

    // Table header words and rows (the order of entries inside a table is the tree's).
    uint32_t word;
    memcpy(&word, bytes() + 592, 4);
    EXPECT_EQ(word, 0x101u);
    memcpy(&word, bytes() + 656, 4);
    EXPECT_EQ(word, 0x201u);
    memcpy(&word, bytes() + 760, 4);
    EXPECT_EQ(word, 0x301u);
    memcpy(&word, bytes() + 884, 4);
    EXPECT_EQ(word, 0x2u);
    using row = std::tuple<uint32_t, uint32_t, uint32_t>;
    EXPECT_EQ(rows_of(0), (std::set<row>{{0, 1, 0}, {1, 2, 1}, {2, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows_of(1), (std::set<row>{{0, 6, 0}, {6, 7, 1}, {7, 17, 0}, {17, 18, 2}, {18, 0xFFFFFFFF, 0}}));
    EXPECT_EQ(rows_of(2), (std::set<row>{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 4, 0}, {4, 5, 1}, {5, 6, 2}}));

    // Action blocks: default, rule 0, rule 1.
    const uint32_t want_code_of[3] = {ZEL_ACT_REJECT, ZEL_ACT_ACCEPT, ZEL_ACT_COUNT};
    for (uint32_t c = 0; c < 3; c++) {
        const auto *b = reinterpret_cast<const zel_action_block *>(bytes() + 888 + c * 3080);
        EXPECT_EQ(b->hdr.flags, c == 0 ? 1u : 0u) << c;
        EXPECT_EQ(b->hdr.length, 3080u) << c;
        EXPECT_EQ(b->data.slot[0].code, want_code_of[c]) << c;
    }

    // The trees are searchable: packets land on the right class.
    uint32_t v[16] = {};
    v[ZEL_CF_MATCH_ANY] = 1;
    v[ZEL_CF_PROTOCOL] = 17;
    EXPECT_EQ(test_image_eval(image, v), 2u);
    v[ZEL_CF_PROTOCOL] = 6;
    EXPECT_EQ(test_image_eval(image, v), 1u);
    v[ZEL_CF_MATCH_ANY] = 0;
    EXPECT_EQ(test_image_eval(image, v), 0u);
    EXPECT_EQ(zel_compile_filter_index(ctx), 0);
}

TEST_F(Compiler, AlignmentWordOnlyWhenNeeded)
{
    // One leaf with 2 rows: 472 + 48 + 8 + (4 + 40) = 572, header word at 572, next word 576 is aligned.
    make_table();
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 0, 3);
    ASSERT_EQ(compile(), 0);
    const zel_table_dir_entry &act = zel_image_dir(image)[1];
    EXPECT_EQ(act.offset, 572u);
    EXPECT_EQ(hdr().action_offset * 4, 576u);
    EXPECT_EQ(size, 576u + 2 * 3080u + 4u);  // the reserved 8 bytes are counted anyway
    zel_program_free(&ctx->program_memory, image);
    image = nullptr;
    zel_compile_context_reset(ctx);
    zel_rule_table_free(rt);

    // Three rows: header word at 592, the next word 596 is not aligned.
    make_table();
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 1, 3);
    ASSERT_EQ(compile(), 0);
    EXPECT_EQ(zel_image_dir(image)[1].offset, 592u);
    EXPECT_EQ(hdr().action_offset * 4, 600u);
}

// Program memory comes back from the forwarding plane with old contents: the image must not depend on them.
// Each table is compiled twice from the same random() state, into clean and into dirty memory.
TEST_F(Compiler, ImageDoesNotDependOnOldMemoryContents)
{
    struct dirty_alloc {
        program_allocator inner;
        static void *allocate(void *arg, uint32_t size, int32_t *filter_index)
        {
            auto *self = static_cast<dirty_alloc *>(arg);
            void *mem = self->inner.allocate(self->inner.arg, size, filter_index);
            if (mem)
                memset(mem, 0xA5, (size + 127) / 128 * 128);
            return mem;
        }
        static void free(void *arg, void *mem)
        {
            auto *self = static_cast<dirty_alloc *>(arg);
            self->inner.free(self->inner.arg, mem);
        }
    };
    dirty_alloc dirty{zel_prog_heap_allocator(heap)};
    const program_allocator clean = dirty.inner;
    const program_allocator dirty_ops{dirty_alloc::allocate, dirty_alloc::free, nullptr, &dirty};

    // One field with 2 and 3 rows (action table aligned, or after an alignment word), and two fields.
    const uint32_t lows[] = {0, 1, 5};
    for (uint32_t low : lows) {
        std::string images[2];
        for (int round = 0; round < 2; round++) {
            ctx->program_memory = round == 0 ? clean : dirty_ops;
            srandom(1);  // every insertion draws, from the first table made on
            make_table();
            rule *r = add_rule("1", ZEL_ACT_ACCEPT);
            zel_rule_add_range(ctx, r, ZEL_CF_PLP, low, 3);
            if (low == 5)
                zel_rule_add_range(ctx, add_rule("2", ZEL_ACT_COUNT), ZEL_CF_DSCP, 10, 20);
            ASSERT_EQ(compile(), 0);
            images[round].assign(reinterpret_cast<const char *>(image), size);
            zel_program_free(&ctx->program_memory, image);
            image = nullptr;
            zel_compile_context_reset(ctx);
            zel_rule_table_free(rt);
            rt = nullptr;
        }
        ASSERT_EQ(images[0].size(), images[1].size()) << low;
        const auto diff = std::mismatch(images[0].begin(), images[0].end(), images[1].begin());
        EXPECT_EQ(diff.first - images[0].begin(), static_cast<ptrdiff_t>(images[0].size()))
            << "first difference, " << low;
        EXPECT_EQ(images[0].compare(images[0].size() - 4, 4, std::string(4, '\0')), 0) << low;
    }
    ctx->program_memory = clean;
}

TEST_F(Compiler, NothingToCompileIsSuccessWithoutImage)
{
    make_table();
    add_rule("1", ZEL_ACT_ACCEPT);
    EXPECT_EQ(compile(), 0);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(zel_prog_heap_programs(heap), 0u);
}

TEST_F(Compiler, NoProgramMemoryReportsBytesNeeded)
{
    zel_prog_heap *small = zel_prog_heap_new(10, 4);
    program_allocator a = zel_prog_heap_allocator(small);
    ctx->program_memory = a;
    make_table();
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 1, 3);
    EXPECT_EQ(compile(), 12);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(size, 600u + 2 * 3080u);
    EXPECT_EQ(zel_compile_filter_index(ctx), -1);
    zel_compile_context_reset(ctx);
    zel_prog_heap_delete(small);
}

TEST_F(Compiler, HugeCrossProductStopsEarlyWithLowerBound)
{
    // 3000 distinct classes on each of two fields: 9e6 combined rows, far above 2 MiB of program memory.
    zel_prog_heap *small = zel_prog_heap_new(16384, 4);
    program_allocator a = zel_prog_heap_allocator(small);
    ctx->program_memory = a;
    make_table();
    for (uint32_t i = 0; i < 3000; i++) {
        rule *r = add_rule(std::to_string(i).c_str(), ZEL_ACT_ACCEPT);
        zel_rule_add_range(ctx, r, ZEL_CF_SRC_ADDR, i * 10, i * 10 + 5);
        zel_rule_add_range(ctx, r, ZEL_CF_DST_ADDR, i * 10, i * 10 + 5);
    }
    EXPECT_EQ(compile(), 12);
    EXPECT_EQ(image, nullptr);
    EXPECT_GT(size, 16384u * 128);
    EXPECT_EQ(zel_prog_heap_programs(small), 0u);
    EXPECT_EQ(rbst_count(&ctx->tables), 2u);  // nothing was combined
    zel_compile_context_reset(ctx);
    zel_prog_heap_delete(small);
}

TEST_F(Compiler, DumpListsHeaderTablesAndSlots)
{
    make_table("dumpme");
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 1, 3);
    ASSERT_EQ(compile(), 0);
    std::string out;
    const zel_out_sink sink{
        [](void *arg, const char *text, size_t n) { static_cast<std::string *>(arg)->append(text, n); }, &out};
    zel_program_dump(image, &sink);
    EXPECT_EQ(out.rfind("length = 6760 \n(field type, ec) map size = 1 \nEntry 0: field type = 15, ec_id = 1 \n"
                        "Table dir length = 2 \nn instructions = 2 \nLookup Table:  \n",
                        0),
              0u);
    EXPECT_NE(out.find(": [1 - 4] -> 1\n"), std::string::npos);
    EXPECT_NE(
        out.find("Action Table:  \nflags = 0x1 \nlength = 3080 \nreject\nflags = 0x0 \nlength = 3080 \naccept\n\n"),
        std::string::npos);
}

}  // namespace
