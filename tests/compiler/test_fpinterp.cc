// The interpreter on hand-made images: classification through leaf and combined tables, and malformed
// images that must be refused (mutated images at random: tests/msgq fuzz).
#include "compiler/zel_fpinterp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace
{

struct row {
    uint32_t lo, hi, cls;
};
struct table_def {
    uint32_t id;
    uint32_t field;         // 0 for a combined table
    std::vector<row> rows;  // ascending
};
struct image_def {
    std::vector<table_def> tables;  // directory order
    std::vector<uint32_t> instrs;
    std::vector<uint32_t> action_flags;  // one block per class
    uint32_t action_size = 16;
};

uint32_t ins(uint32_t op, uint32_t kind, uint32_t src, uint32_t dst, uint32_t low16)
{
    return op << 28 | kind << 24 | (src & 0xF) << 20 | (dst & 0xF) << 16 | low16;
}
uint32_t leaf(uint32_t t) { return ins(1, 1, t, t, (t & 0xF) << 12); }

void put(std::vector<uint8_t> &img, size_t off, uint32_t v) { std::memcpy(&img[off], &v, 4); }

// Balanced tree in walk order (node, right subtree, left subtree); returns the entry index or -1.
int lay(const std::vector<row> &rows, int lo, int hi, std::vector<std::array<uint32_t, 5>> *out)
{
    if (lo >= hi)
        return -1;
    int mid = (lo + hi) / 2, idx = static_cast<int>(out->size());
    out->push_back({rows[mid].lo, rows[mid].hi, rows[mid].cls, 0, 0});
    int r = lay(rows, mid + 1, hi, out), l = lay(rows, lo, mid, out);
    (*out)[idx][4] = r < 0 ? 0 : 5 * r;
    (*out)[idx][3] = l < 0 ? 0 : 5 * l;
    return idx;
}

std::vector<uint8_t> build(const image_def &d)
{
    size_t ndir = d.tables.size() + 1;
    size_t pos = 472 + 24 * ndir + 4 * d.instrs.size();
    std::vector<size_t> table_pos;
    for (const table_def &t : d.tables) {
        table_pos.push_back(pos);
        pos += 4 + 20 * t.rows.size();
    }
    size_t action_hdr = pos, first = pos + 4;
    if (first % 8)
        first += 4;
    size_t size = first + d.action_size * d.action_flags.size();
    std::vector<uint8_t> img(size, 0);
    put(img, 4, static_cast<uint32_t>(size));
    std::memcpy(&img[8], "test", 4);
    put(img, 136, static_cast<uint32_t>(ndir));
    put(img, 140, static_cast<uint32_t>(d.instrs.size()));
    put(img, 144, static_cast<uint32_t>(first / 4));
    uint32_t nfields = 0;
    for (size_t k = 0; k < d.tables.size(); k++) {
        const table_def &t = d.tables[k];
        put(img, 472 + 24 * k, static_cast<uint32_t>(table_pos[k]));
        put(img, 472 + 24 * k + 4, static_cast<uint32_t>(t.rows.size()));
        put(img, 472 + 24 * k + 8, 20);
        put(img, table_pos[k], 1 | t.id << 8);
        put(img, 148 + 4 * t.id, static_cast<uint32_t>((table_pos[k] + 4) / 4));
        put(img, 344 + 4 * t.id, t.field);
        if (t.field) {
            img[280 + 2 * nfields] = static_cast<uint8_t>(t.field);
            img[281 + 2 * nfields++] = static_cast<uint8_t>(t.id);
        }
        std::vector<std::array<uint32_t, 5>> entries;
        lay(t.rows, 0, static_cast<int>(t.rows.size()), &entries);
        for (size_t e = 0; e < entries.size(); e++)
            for (size_t w = 0; w < 5; w++)
                put(img, table_pos[k] + 4 + 20 * e + 4 * w, entries[e][w]);
    }
    put(img, 276, nfields);
    size_t k = d.tables.size();
    put(img, 472 + 24 * k, static_cast<uint32_t>(action_hdr));
    put(img, 472 + 24 * k + 4, static_cast<uint32_t>(d.action_flags.size()));
    put(img, 472 + 24 * k + 8, d.action_size);
    put(img, action_hdr, 2);
    for (size_t c = 0; c < d.action_flags.size(); c++) {
        put(img, first + d.action_size * c, d.action_flags[c]);
        put(img, first + d.action_size * c + 4, d.action_size);
        put(img, first + d.action_size * c + 8, static_cast<uint32_t>(100 + c));  // marks the block
    }
    for (size_t i = 0; i < d.instrs.size(); i++)
        put(img, 472 + 24 * ndir + 4 * i, d.instrs[i]);
    return img;
}

constexpr uint32_t MATCH_ANY = 12, PROTOCOL = 1, TOP = 0xFFFFFFFF;

// Two rules: protocol 6 and protocol 17, each also on MATCH_ANY [1, 1].
image_def two_protocols()
{
    image_def d;
    d.tables = {{1, MATCH_ANY, {{0, 1, 0}, {1, 2, 1}, {2, TOP, 0}}},
                {2, PROTOCOL, {{0, 6, 0}, {6, 7, 1}, {7, 17, 0}, {17, 18, 2}, {18, TOP, 0}}},
                {3, 0, {{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 4, 0}, {4, 5, 1}, {5, 6, 2}}}};
    d.instrs = {0x11111000, 0x11222000, 0x32110003, 0x22120000, 0x12233000, 0x423F0000};
    d.action_flags = {1, 0, 0};
    return d;
}

int classify(const zel_fp_program &p, uint32_t field, uint32_t v, uint32_t match_any, uint32_t *out)
{
    uint32_t values[ZEL_FP_FIELDS] = {};
    values[MATCH_ANY] = match_any;
    values[field] = v;
    return p.run(values, out);
}

// A right table of 65537 classes: MUL's immediate holds only the low 16 bits
// of the count (1), the interpreter must still multiply by 65537.
TEST(FpInterp, RightTableBeyondSixteenBitsOfClasses)
{
    constexpr uint32_t DSCP = 6, NB = 65537;
    image_def d;
    table_def b{2, DSCP, {}}, t{3, 0, {}};
    for (uint32_t k = 0; k + 1 < NB; k++)
        b.rows.push_back({k, k + 1, k});
    b.rows.push_back({NB - 1, TOP, NB - 1});
    for (uint32_t k = 0; k < 2 * NB; k++)
        t.rows.push_back({k, k + 1, k});
    d.tables = {{1, PROTOCOL, {{0, 1, 0}, {1, TOP, 1}}}, b, t};
    d.instrs = {leaf(1),
                leaf(2),
                ins(3, 2, 1, 1, NB & 0xFFFF),
                ins(2, 2, 1, 2, 0),
                ins(1, 2, 2, 3, 3 << 12),
                ins(4, 2, 3, 0xF, 0)};
    d.action_flags.assign(2 * NB, 0);
    std::vector<uint8_t> img = build(d);
    zel_fp_program p;
    ASSERT_EQ(p.load(img), 0) << p.error();
    uint32_t values[ZEL_FP_FIELDS] = {}, idx = 0;
    values[PROTOCOL] = 7;
    values[DSCP] = 5;
    ASSERT_EQ(p.run(values, &idx), 0);
    EXPECT_EQ(idx, NB + 5);

    // An immediate that is not the count's low half is a malformed program.
    d.instrs[2] = ins(3, 2, 1, 1, 2);
    EXPECT_EQ(p.load(build(d)), 22);
}

// One leaf table: values on either side of each bound, the top of the value space, values in no row (2)
// and a class without an action block (22).
TEST(FpInterp, LeafProgramBoundsAndGaps)
{
    image_def d;
    d.tables = {{1, 5, {{0, 10, 0}, {10, 21, 1}, {21, TOP, 0}}}};
    d.instrs = {leaf(1), ins(4, 2, 1, 0xF, 0)};
    d.action_flags = {1, 0};
    zel_fp_program p;
    ASSERT_EQ(p.load(build(d)), 0) << p.error();
    const std::vector<std::tuple<uint32_t, int, uint32_t>> cases = {{0, 0, 0},  {9, 0, 0},       {10, 0, 1}, {20, 0, 1},
                                                                    {21, 0, 0}, {TOP - 1, 0, 0}, {TOP, 0, 0}};
    for (auto [v, rc, want] : cases) {
        uint32_t idx = 99;
        EXPECT_EQ(classify(p, 5, v, 1, &idx), rc) << v;
        EXPECT_EQ(idx, want) << v;
    }
    d.tables = {{1, 2, {{5, 10, 0}, {10, 20, 3}}}};
    ASSERT_EQ(p.load(build(d)), 0) << p.error();
    uint32_t idx;
    for (auto [v, rc] : std::vector<std::pair<uint32_t, int>>{{4, 2}, {20, 2}, {7, 0}, {15, 22}})
        EXPECT_EQ(classify(p, 2, v, 1, &idx), rc) << v;
}

// Offsets inside the image built from two_protocols().
constexpr size_t DIR = 472, INSTR = 472 + 4 * 24;
constexpr size_t TABLE2 = INSTR + 6 * 4 + 4 + 3 * 20;  // header word of table 2

TEST(FpInterp, RefusesMalformedImages)
{
    struct corruption {
        const char *what;
        size_t off;
        uint32_t value;
        const char *error;
    };
    const corruption cases[] = {
        {"size beyond the buffer", 4, 1u << 20, "does not fit"},
        {"size below the header", 4, 100, "does not fit"},
        {"directory count 0", 136, 0, "directory count"},
        {"huge instruction count", 140, 0x40000000, "instructions run past"},
        {"table offset outside", DIR, 0xFFFFFFF0, "outside the image"},
        {"misaligned table offset", DIR, TABLE2 + 2, "outside the image"},
        {"rows beyond the end", DIR + 4, 100000, "do not fit"},
        {"wrong entry size", DIR + 8, 24, "not a lookup table"},
        {"header offset disagrees", 148 + 4, 3, "header offset disagrees"},
        {"table kind", TABLE2, 2 | 2 << 8, "not a lookup table"},
        {"repeated table id", TABLE2, 1 | 1 << 8, "repeated table id"},
        {"table id beyond 31", TABLE2, 1 | 40 << 8, "bad or repeated"},
        {"child offset not an entry", TABLE2 + 4 + 12, 7, "is not an entry"},
        {"child offset past the rows", TABLE2 + 4 + 16, 25, "is not an entry"},
        {"child loop", TABLE2 + 4 + 20 + 16, 5, "reached twice"},
        {"empty row", TABLE2 + 4, 100, "out of order"},
        {"rows overlap", TABLE2 + 4 + 4, 20, "out of order"},
        {"action offset", 144, 3, "do not fit"},
        {"action entry size", DIR + 3 * 24 + 8, 4, "not an action table"},
        {"action count beyond the end", DIR + 3 * 24 + 4, 1000, "do not fit"},
        {"unknown opcode", INSTR, 0x71111000, "unknown opcode"},
        {"lookup of another table", INSTR, 0x11112000, "names table"},
        {"register LOOKUP first", INSTR + 8, 0x12233000, "register LOOKUP"},
        {"field of the combined table", 344 + 12, 4, "has a packet field"},
        {"leaf without a field", 344 + 4, 0, "reads no packet field"},
        {"MUL of the wrong register", INSTR + 8, 0x32220003, "MUL does not scale"},
        {"ADD missing", INSTR + 12, 0x12120000, "expected ADD"},
        {"ACTION on a leaf", INSTR + 20, 0x421F0000, "ACTION is not"},
        {"no ACTION", INSTR + 20, 0, "unknown opcode"},
    };
    const std::vector<uint8_t> good = build(two_protocols());
    zel_fp_program p;
    for (const corruption &c : cases) {
        std::vector<uint8_t> img = good;
        put(img, c.off, c.value);
        EXPECT_EQ(p.load(img), 22) << c.what;
        EXPECT_NE(p.error().find(c.error), std::string::npos) << c.what << ": " << p.error();
        uint32_t values[ZEL_FP_FIELDS] = {}, idx;
        EXPECT_EQ(p.run(values, &idx), 22) << c.what;
    }
    image_def no_action = two_protocols();
    no_action.instrs.pop_back();
    EXPECT_EQ(p.load(build(no_action)), 22);
    EXPECT_NE(p.error().find("no ACTION"), std::string::npos) << p.error();
    image_def unused_table = two_protocols();
    unused_table.instrs = {leaf(1), ins(4, 2, 1, 0xF, 0)};
    EXPECT_EQ(p.load(build(unused_table)), 22);
    EXPECT_NE(p.error().find("not used"), std::string::npos) << p.error();
    for (size_t len = 0; len < good.size(); len++)
        EXPECT_EQ(p.load({good.data(), len}), 22) << "truncated to " << len;
    EXPECT_EQ(p.load(good), 0);
}

}  // namespace
