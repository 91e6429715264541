#include "compiler/zel_fpinterp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

inline uint32_t rd32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Header fields.
constexpr uint32_t OFF_SIZE = 4;
constexpr uint32_t OFF_DIR_COUNT = 136;
constexpr uint32_t OFF_INSTR_COUNT = 140;
constexpr uint32_t OFF_ACTION_WORD = 144;
constexpr uint32_t OFF_TABLE_WORDS = 148;
constexpr uint32_t OFF_TABLE_FIELDS = 344;

constexpr uint32_t TABLE_KIND_LOOKUP = 1;
constexpr uint32_t TABLE_KIND_ACTION = 2;
constexpr uint32_t KIND_FIELD = 1;
constexpr uint32_t KIND_REGISTER = 2;
constexpr uint32_t ENTRY_WORDS = ZEL_FP_LOOKUP_ENTRY_SIZE / 4;
constexpr uint32_t NO_ROW = 0xFFFFFFFFu;

struct instr {
    uint32_t op, kind, src, dst, table, imm;
    explicit instr(uint32_t w)
        : op(w >> 28), kind((w >> 24) & 0xF), src((w >> 20) & 0xF), dst((w >> 16) & 0xF), table((w >> 12) & 0xF),
          imm(w & 0xFFFF)
    {
    }
};

std::string format(const char *fmt, auto... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

int zel_fp_program::fail(std::string why)
{
    error_ = std::move(why);
    tables_.clear();
    steps_.clear();
    actions_ = nullptr;
    action_count_ = 0;
    root_reg_ = 0;
    return 22;
}

// Every child link must name a real entry other than the root, and no entry may
// be reached twice: then every walk from the root ends within `rows` steps. The
// entries reached from the root, in order, must be ascending disjoint rows, so
// that a walk and a search over them agree.
int zel_fp_program::check_tree(uint32_t id, table &t)
{
    std::vector<uint8_t> reached(t.rows, 0);
    for (uint32_t j = 0; j < t.rows; j++) {
        const uint8_t *e = t.first + static_cast<size_t>(j) * ZEL_FP_LOOKUP_ENTRY_SIZE;
        t.classes = std::max<uint64_t>(t.classes, uint64_t{rd32(e + 8)} + 1);
        for (uint32_t link : {rd32(e + 12), rd32(e + 16)}) {
            if (link == 0)
                continue;
            if (link % ENTRY_WORDS != 0 || link / ENTRY_WORDS >= t.rows)
                return fail(format("table %u entry %u: child offset %u is not an entry of the table", id, j, link));
            if (reached[link / ENTRY_WORDS]++)
                return fail(format("table %u entry %u: entry %u is reached twice", id, j, link / ENTRY_WORDS));
        }
    }
    auto entry = [&](uint32_t j) { return t.first + static_cast<size_t>(j) * ZEL_FP_LOOKUP_ENTRY_SIZE; };
    std::vector<uint32_t> stack;
    bool one_wide = true, have_prev = false;
    uint32_t prev_high = 0;
    for (uint32_t j = 0, go = 1; go || !stack.empty();) {
        if (go) {
            stack.push_back(j);
            uint32_t left = rd32(entry(j) + 12);
            go = left != 0;
            j = left / ENTRY_WORDS;
            continue;
        }
        j = stack.back();
        stack.pop_back();
        uint32_t lo = rd32(entry(j)), hi = rd32(entry(j) + 4);
        if ((hi <= lo && hi != 0xFFFFFFFFu) || (have_prev && (lo < prev_high || prev_high == 0xFFFFFFFFu)))
            return fail(format("table %u entry %u: row [%u, %u) is out of order", id, j, lo, hi));
        have_prev = true;
        prev_high = hi;
        one_wide = one_wide && lo == t.row_low.size() && hi == lo + 1;
        t.row_low.push_back(lo);
        t.row_high.push_back(hi);
        t.row_class.push_back(rd32(entry(j) + 8));
        uint32_t right = rd32(entry(j) + 16);
        go = right != 0;
        j = right / ENTRY_WORDS;
    }
    if (one_wide) {
        t.direct = std::move(t.row_class);
        t.row_low = {};
        t.row_high = {};
        t.row_class = {};
    }
    return 0;
}

uint32_t zel_fp_program::table::find(uint32_t v) const
{
    if (!direct.empty())
        return v < direct.size() ? direct[v] : NO_ROW;
    auto it = std::upper_bound(row_low.begin(), row_low.end(), v);
    if (it == row_low.begin())
        return NO_ROW;
    size_t k = static_cast<size_t>(it - row_low.begin()) - 1;
    // The compiler's rows end at the boundary 0xFFFFFFFF, exclusive, so no row holds that value: high
    // bounds are 32-bit and cannot name the end past it. A forwarding plane must classify every packet,
    // so this reader lets the top row hold it too (the class of 0xFFFFFFFF - 1, the closest the rules
    // come); the compiler's rows and the image format stay as they are.
    return v < row_high[k] || row_high[k] == 0xFFFFFFFFu ? row_class[k] : NO_ROW;
}

int zel_fp_program::load(std::span<const uint8_t> img)
{
    error_.clear();
    tables_.assign(ZEL_FP_MAX_TABLES, table{});
    steps_.clear();
    actions_ = nullptr;
    action_count_ = action_size_ = instruction_count_ = 0;

    if (img.size() < ZEL_FP_HEADER_SIZE)
        return fail(format("image of %zu bytes is shorter than its header", img.size()));
    const uint8_t *p = img.data();
    uint32_t size = rd32(p + OFF_SIZE);
    if (size < ZEL_FP_HEADER_SIZE || size > img.size())
        return fail(format("image size field %u does not fit the %zu bytes given", size, img.size()));
    uint32_t dir_count = rd32(p + OFF_DIR_COUNT);
    uint32_t instr_count = rd32(p + OFF_INSTR_COUNT);
    if (dir_count < 2 || dir_count > ZEL_FP_MAX_TABLES)
        return fail(format("directory count %u is out of range", dir_count));
    uint64_t instr_off = ZEL_FP_HEADER_SIZE + uint64_t{ZEL_FP_DIR_ENTRY_SIZE} * dir_count;
    if (instr_off + 4ull * instr_count > size)
        return fail(format("%u instructions run past the image end", instr_count));

    uint32_t field_of[ZEL_FP_MAX_TABLES];
    for (uint32_t t = 0; t < ZEL_FP_MAX_TABLES; t++)
        field_of[t] = rd32(p + OFF_TABLE_FIELDS + 4 * t);

    std::vector<uint32_t> dir_ids;
    for (uint32_t k = 0; k < dir_count; k++) {
        const uint8_t *d = p + ZEL_FP_HEADER_SIZE + ZEL_FP_DIR_ENTRY_SIZE * k;
        uint32_t off = rd32(d), n = rd32(d + 4), esize = rd32(d + 8);
        if (off % 4 != 0 || uint64_t{off} + 4 > size)
            return fail(format("directory entry %u: offset %u is outside the image", k, off));
        uint32_t hw = rd32(p + off);
        bool last = k + 1 == dir_count;
        if (!last) {
            uint32_t id = hw >> 8;
            if ((hw & 0xFF) != TABLE_KIND_LOOKUP || esize != ZEL_FP_LOOKUP_ENTRY_SIZE)
                return fail(format("directory entry %u: not a lookup table", k));
            if (id == 0 || id >= ZEL_FP_MAX_TABLES || tables_[id].first)
                return fail(format("directory entry %u: bad or repeated table id %u", k, id));
            if (n == 0 || off + 4 + uint64_t{ZEL_FP_LOOKUP_ENTRY_SIZE} * n > size)
                return fail(format("table %u: %u rows do not fit the image", id, n));
            if (uint64_t{rd32(p + OFF_TABLE_WORDS + 4 * id)} * 4 != off + 4)
                return fail(format("table %u: header offset disagrees with the directory", id));
            tables_[id] = table{p + off + 4, n, 0, {}, {}, {}, {}};
            if (int rc = check_tree(id, tables_[id]))
                return rc;
            dir_ids.push_back(id);
            continue;
        }
        if ((hw & 0xFF) != TABLE_KIND_ACTION || esize < ZEL_FP_ACTION_HEADER_SIZE || n == 0)
            return fail(format("directory entry %u: not an action table", k));
        uint64_t first = uint64_t{rd32(p + OFF_ACTION_WORD)} * 4;
        if (first < off + 4ull || first > off + 8ull || first + uint64_t{esize} * n > size)
            return fail(format("action table: %u blocks of %u bytes do not fit the image", n, esize));
        for (uint32_t c = 0; c < n; c++) {
            uint32_t len = rd32(p + first + uint64_t{esize} * c + 4);
            if (len < ZEL_FP_ACTION_HEADER_SIZE || len > esize)
                return fail(format("action block %u: length %u exceeds the block size %u", c, len, esize));
        }
        actions_ = p + first;
        action_count_ = n;
        action_size_ = esize;
    }
    instruction_count_ = instr_count;
    return decode(img.first(size), static_cast<uint32_t>(instr_off), dir_ids, field_of);
}

// The instructions are the post-order walk of the table tree: a leaf pushes its
// table, a combination pops its two children and pushes itself, ACTION takes the
// one table left.
int zel_fp_program::decode(std::span<const uint8_t> img, uint32_t instr_off, const std::vector<uint32_t> &dir_ids,
                           const uint32_t *field_of)
{
    std::vector<uint32_t> stack;
    size_t next_table = 0;
    auto word = [&](uint32_t i) { return instr(rd32(img.data() + instr_off + 4 * i)); };
    auto take_table = [&](uint32_t i, const instr &in, uint32_t *t) {
        if (next_table == dir_ids.size())
            return fail(format("instruction %u: LOOKUP without a table", i));
        *t = dir_ids[next_table++];
        if (in.table != (*t & 0xF) || in.dst != (*t & 0xF))
            return fail(format("instruction %u: LOOKUP names table %u, expected %u", i, in.table, *t));
        return 0;
    };
    for (uint32_t i = 0; i < instruction_count_; i++) {
        instr in = word(i);
        uint32_t t = 0;
        if (in.op == static_cast<uint32_t>(zel_fp_opcode::lookup)) {
            if (in.kind != KIND_FIELD)
                return fail(format("instruction %u: register LOOKUP without MUL and ADD", i));
            if (int rc = take_table(i, in, &t))
                return rc;
            uint32_t field = field_of[t];
            if (in.src != (t & 0xF) || field == 0 || field >= ZEL_FP_FIELDS)
                return fail(format("instruction %u: table %u reads no packet field", i, t));
            steps_.push_back({field, 0, 0, 0, t, t});
            stack.push_back(t);
        } else if (in.op == static_cast<uint32_t>(zel_fp_opcode::mul)) {
            if (i + 2 >= instruction_count_ || stack.size() < 2)
                return fail(format("instruction %u: MUL without two tables to combine", i));
            uint32_t b = stack.back();
            stack.pop_back();
            uint32_t a = stack.back();
            stack.pop_back();
            instr add = word(i + 1), look = word(i + 2);
            if (in.kind != KIND_REGISTER || in.src != (a & 0xF) || in.dst != (a & 0xF))
                return fail(format("instruction %u: MUL does not scale register %u", i, a));
            if (add.op != static_cast<uint32_t>(zel_fp_opcode::add) || add.kind != KIND_REGISTER ||
                add.src != (a & 0xF) || add.dst != (b & 0xF))
                return fail(format("instruction %u: expected ADD of registers %u and %u", i + 1, a, b));
            if (look.op != static_cast<uint32_t>(zel_fp_opcode::lookup) || look.kind != KIND_REGISTER ||
                look.src != (b & 0xF))
                return fail(format("instruction %u: expected LOOKUP of register %u", i + 2, b));
            if (int rc = take_table(i + 2, look, &t))
                return rc;
            if (field_of[t] != 0)
                return fail(format("instruction %u: combined table %u has a packet field", i + 2, t));
            const uint64_t mul = tables_[b].classes;
            if ((mul & 0xFFFF) != in.imm || mul > 0xFFFFFFFFull)
                return fail(format("instruction %u: MUL by %u, but table %u has %llu classes", i, in.imm, b,
                                   static_cast<unsigned long long>(mul)));
            steps_.push_back({0, a, b, static_cast<uint32_t>(mul), t, t});
            stack.push_back(t);
            i += 2;
        } else if (in.op == static_cast<uint32_t>(zel_fp_opcode::action)) {
            if (i + 1 != instruction_count_ || stack.size() != 1 || in.kind != KIND_REGISTER ||
                in.src != (stack[0] & 0xF) || in.dst != 0xF)
                return fail(format("instruction %u: ACTION is not the last step on the root table", i));
            if (next_table != dir_ids.size())
                return fail(format("%zu lookup tables are not used by any instruction", dir_ids.size() - next_table));
            root_reg_ = stack[0];
            return 0;
        } else {
            return fail(format("instruction %u: unknown opcode %u", i, in.op));
        }
    }
    return fail("the program has no ACTION instruction");
}

int zel_fp_program::run(const uint32_t *values, uint32_t *action_index) const
{
    if (steps_.empty())
        return 22;
    uint32_t regs[ZEL_FP_MAX_TABLES];
    for (const step &s : steps_) {
        uint32_t v;
        if (s.field) {
            v = values[s.field];
        } else {
            regs[s.a] *= s.mul;
            regs[s.b] += regs[s.a];
            v = regs[s.b];
        }
        uint32_t cls = tables_[s.table].find(v);
        if (cls == NO_ROW)
            return 2;
        regs[s.dst] = cls;
    }
    uint32_t cls = regs[root_reg_];
    if (cls >= action_count_)
        return 22;
    *action_index = cls;
    return 0;
}

std::span<const uint8_t> zel_fp_program::action(uint32_t index) const
{
    if (index >= action_count_)
        return {};
    return {actions_ + static_cast<size_t>(index) * action_size_, action_size_};
}
