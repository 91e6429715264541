// Program image: what the forwarding plane reads, byte for byte.
//
// A compiled policy is one contiguous, pointer-free block of memory (8-byte aligned: it starts on a
// 128-byte filter-memory block). Every multi-byte field is an unsigned 32-bit word in host order unless
// noted; every internal reference is an offset from the start of the image. The block is zero-filled
// before it is written, so every field not mentioned below is 0.
//
//   +--------------------------+ 0
//   | zel_image_header  (472)  |
//   +--------------------------+ 472
//   | directory: 24 bytes per  |  one zel_table_dir_entry per lookup table (in emission order),
//   | table, then one for the  |  then one for the action table
//   | action table             |
//   +--------------------------+
//   | instructions: 4 bytes ea |  executed in order, last one is ACTION
//   +--------------------------+
//   | lookup tables            |  per table: header word (kind 1 | id << 8), then rows x zel_lookup_entry
//   +--------------------------+
//   | action table             |  header word (kind 2), a zero word when needed for 8-byte alignment,
//   |                          |  then one action block per class of the root table
//   +--------------------------+ header.size
//
// Instruction word:
//
//    31    28 27    24 23    20 19    16 15    12 11             0
//   +--------+--------+--------+--------+--------+----------------+
//   | opcode |  kind  | source |  dest  | table  |                |
//   +--------+--------+--------+--------+--------+----------------+
//                                       |       immediate (MUL)   |
//                                       +-------------------------+
//   opcode: 1 LOOKUP, 2 ADD, 3 MUL, 4 ACTION
//   kind:   1 = source is the packet field of leaf table <source>, 2 = source is register <source>
//   Every field holds only the low bits of its value (a table id or register above 15 wraps).
//
//   LOOKUP src,dst,table : reg[dst] = class found for value(src) in lookup table <table>
//   MUL    a,a,imm       : reg[a] *= imm
//   ADD    a,b           : reg[b] = reg[a] + reg[b]
//   ACTION src (dst=0xF) : the result is the action block of class reg[src]
//
// A combined table is looked up with (class of its left table) x (class count of its right table) +
// (class of its right table); its rows are one value wide.
//
// Lookup entries form a binary search tree laid out in pre-order (node, right subtree, left subtree), so
// the root is entry 0 and a child link of 0 means "no child". Links are word offsets counted from the
// table's first entry. Search for v: start at entry 0; v < low goes left, v >= high goes right, otherwise
// the entry's class is the result. Rows cover [0, 0xFFFFFFFF) of a leaf field; 0xFFFFFFFF lies in no row.
//
// The header's table_offset[t] is the word offset of the first entry of table t, action_offset the word
// offset of the first action block; block of class c = action_offset * 4 + c * (directory entry size).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t ZEL_MAX_REGISTERS = 32;
inline constexpr uint32_t ZEL_MAX_TABLES = 32;
inline constexpr uint32_t ZEL_IMAGE_NAME_LEN = 128;

inline constexpr uint32_t ZEL_TABLE_KIND_LOOKUP = 1;
inline constexpr uint32_t ZEL_TABLE_KIND_ACTION = 2;

inline constexpr uint32_t ZEL_OP_LOOKUP = 1;
inline constexpr uint32_t ZEL_OP_ADD = 2;
inline constexpr uint32_t ZEL_OP_MUL = 3;
inline constexpr uint32_t ZEL_OP_ACTION = 4;
inline constexpr uint32_t ZEL_OPND_FIELD = 1;
inline constexpr uint32_t ZEL_OPND_REG = 2;

// Bit 0 of an action block's flags: the rule table's default action.
inline constexpr uint32_t ZEL_ACTION_FLAG_DEFAULT = 0x1;

struct zel_field_map_entry {
    uint8_t field;  // compiler field id (1 ... 15)
    uint8_t table;  // its leaf table id
};

struct zel_image_header {
    uint32_t reserved;
    uint32_t size;                  // total image size in bytes
    char name[ZEL_IMAGE_NAME_LEN];  // rule table name, NUL-terminated only when shorter
    uint32_t dir_count;             // directory entries (lookup tables + 1)
    uint32_t instr_count;
    uint32_t action_offset;                 // word offset of the first action block
    uint32_t table_offset[ZEL_MAX_TABLES];  // word offset of the first entry of table t; [0] unused
    uint32_t field_map_count;
    zel_field_map_entry field_map[ZEL_MAX_TABLES];  // ascending compiler field order
    uint32_t table_field[ZEL_MAX_TABLES];           // compiler field of leaf table t, 0 for combined tables
};
static_assert(sizeof(zel_image_header) == 472);
static_assert(offsetof(zel_image_header, size) == 4);
static_assert(offsetof(zel_image_header, name) == 8);
static_assert(offsetof(zel_image_header, dir_count) == 136);
static_assert(offsetof(zel_image_header, instr_count) == 140);
static_assert(offsetof(zel_image_header, action_offset) == 144);
static_assert(offsetof(zel_image_header, table_offset) == 148);
static_assert(offsetof(zel_image_header, field_map_count) == 276);
static_assert(offsetof(zel_image_header, field_map) == 280);
static_assert(offsetof(zel_image_header, table_field) == 344);

struct zel_table_dir_entry {
    uint32_t offset;      // byte offset of the table's header word
    uint32_t count;       // rows, or action blocks
    uint32_t entry_size;  // 20 for lookup tables, the action block size for the action table
    uint32_t reserved[3];
};
static_assert(sizeof(zel_table_dir_entry) == 24);
static_assert(offsetof(zel_table_dir_entry, entry_size) == 8);

struct zel_lookup_entry {
    uint32_t low;   // inclusive
    uint32_t high;  // exclusive
    uint32_t class_id;
    uint32_t left;  // word offset from the table's first entry, 0 = none
    uint32_t right;
};
static_assert(sizeof(zel_lookup_entry) == 20);
static_assert(offsetof(zel_lookup_entry, class_id) == 8);
static_assert(offsetof(zel_lookup_entry, right) == 16);

// Header of every action block, in rule tables and in the image: data follows directly.
struct zel_action_block_hdr {
    uint32_t flags;
    uint32_t length;  // bytes including this header
};
static_assert(sizeof(zel_action_block_hdr) == 8);

inline constexpr uint32_t ZEL_IMAGE_HEADER_SIZE = sizeof(zel_image_header);
inline constexpr uint32_t ZEL_DIR_ENTRY_SIZE = sizeof(zel_table_dir_entry);
inline constexpr uint32_t ZEL_LOOKUP_ENTRY_SIZE = sizeof(zel_lookup_entry);
inline constexpr uint32_t ZEL_LOOKUP_ENTRY_WORDS = ZEL_LOOKUP_ENTRY_SIZE / 4;

// Table header word.
constexpr uint32_t zel_table_word(uint32_t kind, uint32_t table_id) { return (kind & 0xFF) | (table_id << 8); }
constexpr uint32_t zel_table_word_kind(uint32_t w) { return w & 0xFF; }
constexpr uint32_t zel_table_word_id(uint32_t w) { return w >> 8; }

// Instruction words.
constexpr uint32_t zel_instr(uint32_t op, uint32_t kind, uint32_t src, uint32_t dst, uint32_t low16)
{
    return (op & 0xF) << 28 | (kind & 0xF) << 24 | (src & 0xF) << 20 | (dst & 0xF) << 16 | (low16 & 0xFFFF);
}
constexpr uint32_t zel_instr_lookup(uint32_t kind, uint32_t src, uint32_t dst, uint32_t table)
{
    return zel_instr(ZEL_OP_LOOKUP, kind, src, dst, (table & 0xF) << 12);
}
constexpr uint32_t zel_instr_op(uint32_t w) { return w >> 28; }
constexpr uint32_t zel_instr_kind(uint32_t w) { return (w >> 24) & 0xF; }
constexpr uint32_t zel_instr_src(uint32_t w) { return (w >> 20) & 0xF; }
constexpr uint32_t zel_instr_dst(uint32_t w) { return (w >> 16) & 0xF; }
constexpr uint32_t zel_instr_table(uint32_t w) { return (w >> 12) & 0xF; }
constexpr uint32_t zel_instr_imm(uint32_t w) { return w & 0xFFFF; }

// Directory of an image.
inline const zel_table_dir_entry *zel_image_dir(const void *image)
{
    return reinterpret_cast<const zel_table_dir_entry *>(static_cast<const uint8_t *>(image) + ZEL_IMAGE_HEADER_SIZE);
}
inline const uint32_t *zel_image_instrs(const void *image)
{
    auto *h = static_cast<const zel_image_header *>(image);
    return reinterpret_cast<const uint32_t *>(static_cast<const uint8_t *>(image) + ZEL_IMAGE_HEADER_SIZE +
                                              h->dir_count * ZEL_DIR_ENTRY_SIZE);
}
