#include "common/zel_log.h"
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"
#include "compiler/zel_prog_heap.h"
#include "image_eval.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace
{

struct Compiler : testing::Test {
    zel_prog_heap *heap = zel_prog_heap_new(1 << 16, 64);
    compile_context *ctx = zel_compile_context_new(nullptr);
    rule_table *rt = nullptr;
    void *image = nullptr;
    uint32_t size = 0;

    Compiler() { ctx->program_memory = zel_prog_heap_allocator(heap); }
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
    // Drops the image and the table, keeps the context for the next compile.
    void reset()
    {
        zel_program_free(&ctx->program_memory, image);
        image = nullptr;
        zel_compile_context_reset(ctx);
        zel_rule_table_free(rt);
        rt = nullptr;
    }
    void use_heap(uint32_t blocks)
    {
        zel_prog_heap_delete(heap);
        heap = zel_prog_heap_new(blocks, 4);
        ctx->program_memory = zel_prog_heap_allocator(heap);
    }
    const zel_image_header &hdr() const { return *static_cast<const zel_image_header *>(image); }
};

TEST_F(Compiler, WorkedExampleIsExactByteForByte)
{
    srandom(1);  // the trees' shapes follow random()
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

    // Every byte: header, directory, instructions, the three trees and the action blocks.
    ASSERT_EQ(size, 10132u);
    EXPECT_EQ(test_image_hash(image, size), 0x91ca1fafaab33bd6ull);
    EXPECT_EQ(zel_prog_heap_blocks_used(heap), (10132u + 127) / 128);

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

// Program memory comes back from the forwarding plane with old contents: the image must not depend on them.
// Each table is compiled twice from the same random() state, into clean and into dirty memory.
TEST_F(Compiler, ImageDoesNotDependOnOldMemoryContents)
{
    struct dirty_alloc {
        program_allocator inner;
        static void *allocate(void *arg, uint32_t size, int32_t *filter_index)
        {
            const program_allocator &in = static_cast<dirty_alloc *>(arg)->inner;
            void *mem = in.allocate(in.arg, size, filter_index);
            return mem ? memset(mem, 0xA5, (size + 127) / 128 * 128) : nullptr;
        }
        static void free(void *arg, void *mem)
        {
            const program_allocator &in = static_cast<dirty_alloc *>(arg)->inner;
            in.free(in.arg, mem);
        }
    } dirty{zel_prog_heap_allocator(heap)};
    const program_allocator clean = dirty.inner, dirty_ops{dirty_alloc::allocate, dirty_alloc::free, nullptr, &dirty};

    // One field with 2 rows (the action table is aligned: no alignment word, though its 8 bytes are counted),
    // 3 rows (an alignment word first), and two fields.
    const struct {
        uint32_t low, action_at, size;
    } cases[] = {{0, 576, 576 + 2 * 3080 + 4}, {1, 600, 600 + 2 * 3080}, {5, 0, 0}};
    for (const auto &c : cases) {
        std::string images[2];
        for (int round = 0; round < 2; round++) {
            ctx->program_memory = round == 0 ? clean : dirty_ops;
            srandom(1);  // every insertion draws, from the first table made on
            make_table();
            zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, c.low, 3);
            if (c.low == 5)
                zel_rule_add_range(ctx, add_rule("2", ZEL_ACT_COUNT), ZEL_CF_DSCP, 10, 20);
            ASSERT_EQ(compile(), 0);
            if (c.action_at) {
                EXPECT_EQ(hdr().action_offset * 4, c.action_at);
                EXPECT_EQ(size, c.size);
            }
            images[round].assign(static_cast<const char *>(image), size);
            reset();
        }
        EXPECT_EQ(images[0], images[1]) << c.low;
        EXPECT_EQ(images[0].compare(images[0].size() - 4, 4, std::string(4, '\0')), 0) << c.low;
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
    use_heap(10);
    make_table();
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 1, 3);
    EXPECT_EQ(compile(), 12);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(size, 600u + 2 * 3080u);
    EXPECT_EQ(zel_compile_filter_index(ctx), -1);
    reset();

    // 3000 distinct classes on each of two fields: 9e6 combined rows, far above 2 MiB: stops before combining.
    use_heap(16384);
    make_table();
    for (uint32_t i = 0; i < 3000; i++) {
        rule *r = add_rule(std::to_string(i).c_str(), ZEL_ACT_ACCEPT);
        zel_rule_add_range(ctx, r, ZEL_CF_SRC_ADDR, i * 10, i * 10 + 5);
        zel_rule_add_range(ctx, r, ZEL_CF_DST_ADDR, i * 10, i * 10 + 5);
    }
    EXPECT_EQ(compile(), 12);
    EXPECT_EQ(image, nullptr);
    EXPECT_GT(size, 16384u * 128);
    EXPECT_EQ(zel_prog_heap_programs(heap), 0u);
    EXPECT_EQ(rbst_count(&ctx->tables), 2u);
}

TEST_F(Compiler, DumpListsHeaderTablesAndSlots)
{
    make_table("dumpme");
    zel_rule_add_range(ctx, add_rule("1", ZEL_ACT_ACCEPT), ZEL_CF_PLP, 1, 3);
    ASSERT_EQ(compile(), 0);
    std::string out;
    const zel_out_sink sink = test_string_sink(&out);
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
