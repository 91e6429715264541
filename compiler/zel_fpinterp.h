// Reference forwarding-plane interpreter for compiled classification programs.
//
// A program image is pointer-free: every reference inside it is a byte or word
// offset. load() checks the whole image once against its length (header,
// directory, every lookup tree, the instruction stream, the action table) and
// decodes the instructions; run() then classifies packets without further
// checks beyond the class bound. A lookup tree must be a search tree over
// disjoint rows (load() walks each in order), so run() finds a value's row by
// what the walk from the root would find: a binary search over the rows in
// order, or, for a combined table whose rows are the keys 0, 1, 2 ... one wide,
// the class at the key's index. The image must stay mapped and unchanged in
// structure while the program is used (counter banks inside action blocks may
// change).
//
// Reading rules beyond the bare format:
//  - table ids and registers are 4-bit fields in an instruction; load() takes
//    the full ids from the directory (the k-th LOOKUP belongs to the k-th
//    lookup table, as the emitter writes each table's instructions right after
//    its rows) and rejects instructions whose low bits disagree, so programs
//    with more than 15 tables run too;
//  - MUL's 16-bit immediate is the low half of the right table's class count;
//    load() takes the count itself from that table's rows (every class is the
//    class of some row), so right tables of more than 65535 classes run too;
//  - a row whose high bound is 0xFFFFFFFF also holds 0xFFFFFFFF: boundaries
//    are 32-bit, so the top row cannot name an end past the value space.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Packet values are indexed by compiler field id (1 ... 15); index 0 is unused.
inline constexpr unsigned ZEL_FP_FIELDS = 16;
// Value a packet supplies for the MATCH_ANY field.
inline constexpr uint32_t ZEL_FP_MATCH_ANY_VALUE = 1;

// Image layout read by the interpreter.
inline constexpr uint32_t ZEL_FP_HEADER_SIZE = 472;
inline constexpr uint32_t ZEL_FP_DIR_ENTRY_SIZE = 24;
inline constexpr uint32_t ZEL_FP_LOOKUP_ENTRY_SIZE = 20;
inline constexpr uint32_t ZEL_FP_MAX_TABLES = 32;
inline constexpr uint32_t ZEL_FP_ACTION_HEADER_SIZE = 8;  // flags, length

enum class zel_fp_opcode : uint8_t { lookup = 1, add = 2, mul = 3, action = 4 };

class zel_fp_program
{
public:
    // 0, or 22 when the image is malformed; error() then says what is wrong.
    int load(std::span<const uint8_t> image);

    // Classifies one packet (values[field id], ZEL_FP_FIELDS entries). 0 and the
    // action index (class of the root table); 2 when a value lies in no row of a
    // lookup table; 22 when the root class has no action block.
    int run(const uint32_t *values, uint32_t *action_index) const;

    uint32_t action_count() const { return action_count_; }
    uint32_t action_size() const { return action_size_; }
    // The whole action block (flags, length, data) of an index below action_count().
    std::span<const uint8_t> action(uint32_t index) const;
    uint32_t table_count() const { return static_cast<uint32_t>(steps_.size()); }  // lookup tables
    uint32_t instruction_count() const { return instruction_count_; }
    const std::string &error() const { return error_; }

private:
    struct table {
        const uint8_t *first = nullptr;  // first lookup_entry
        uint32_t rows = 0;
        uint64_t classes = 0;  // largest class id + 1
        // The rows in ascending order (row_high only when not all one wide), or
        // direct[key] when the rows are exactly [k, k + 1) for k = 0 ... rows - 1.
        std::vector<uint32_t> row_low, row_high, row_class, direct;
        uint32_t find(uint32_t v) const;
    };
    // One decoded step: a leaf lookup (field != 0) or a combination
    // regs[a] *= mul; regs[b] += regs[a]; then regs[dst] = lookup(table, regs[b]).
    struct step {
        uint32_t field;
        uint32_t a, b, mul;
        uint32_t dst;
        uint32_t table;
    };

    int fail(std::string why);
    int check_tree(uint32_t id, table &t);
    int decode(std::span<const uint8_t> img, uint32_t instr_off, const std::vector<uint32_t> &dir_ids,
               const uint32_t *field_of);

    std::vector<table> tables_;  // indexed by table id
    std::vector<step> steps_;
    uint32_t root_reg_ = 0;
    const uint8_t *actions_ = nullptr;
    uint32_t action_count_ = 0;
    uint32_t action_size_ = 0;
    uint32_t instruction_count_ = 0;
    std::string error_;
};
