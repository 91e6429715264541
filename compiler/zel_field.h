// Match fields: the policy model's field ids, the compiler's fields, and how matches become ranges.
#pragma once

#include <cstdint>

struct compile_context;
struct rule;
struct rule_table;
struct eclass_table;
struct epi;

// Match field ids of the policy model.
enum zel_match_field : uint32_t {
    ZEL_MATCH_MIN = 0,
    ZEL_MATCH_PROTOCOL = 1,
    ZEL_MATCH_SRC_PORT = 2,
    ZEL_MATCH_DST_PORT = 3,
    ZEL_MATCH_SRC_ADDR = 4,
    ZEL_MATCH_DST_ADDR = 5,
    ZEL_MATCH_SRC_PFX_LIST = 6,
    ZEL_MATCH_DST_PFX_LIST = 7,
    ZEL_MATCH_DSCP = 8,
    ZEL_MATCH_FC = 9,
    ZEL_MATCH_TCP = 10,
    ZEL_MATCH_PKT_LEN = 11,
    ZEL_MATCH_APP = 12,
    ZEL_MATCH_APP_FAMILY = 13,
    ZEL_MATCH_APP_LIST = 14,
    ZEL_MATCH_MATCH_ANY = 15,
    ZEL_MATCH_TRAFFIC_CLASS = 16,
    ZEL_MATCH_NEXT_HEADER = 17,
    ZEL_MATCH_PLP = 18,
    ZEL_MATCH_MAX = 19,
};

// Compiler field ids (entries 1 ... 15 of the compile context's field table).
enum zel_cfield : uint32_t {
    ZEL_CF_PROTOCOL = 1,
    ZEL_CF_SRC_PORT = 2,
    ZEL_CF_DST_PORT = 3,
    ZEL_CF_SRC_ADDR = 4,
    ZEL_CF_DST_ADDR = 5,
    ZEL_CF_DSCP = 6,
    ZEL_CF_FC = 7,
    ZEL_CF_TCP = 8,
    ZEL_CF_PKT_LEN = 9,
    ZEL_CF_APP = 10,
    ZEL_CF_APP_FAMILY = 11,
    ZEL_CF_MATCH_ANY = 12,
    ZEL_CF_TRAFFIC_CLASS = 13,
    ZEL_CF_NEXT_HEADER = 14,
    ZEL_CF_PLP = 15,
};
inline constexpr uint32_t ZEL_CF_FIRST = 1;
inline constexpr uint32_t ZEL_CF_LAST = 15;
inline constexpr uint32_t ZEL_FIELD_TABLE_SIZE = 32;

const char *zel_match_field_name(uint32_t match_field);  // "PROTOCOL", ...; "?" when out of range
// Compiler field of a model field; 0 for MIN, MAX and the list fields.
uint32_t zel_cfield_of_match(uint32_t match_field);
uint32_t zel_cfield_max_value(uint32_t cfield);  // 0 for unused entries

// Leaf table id of a compiler field in the current compilation, made on first use. 0 for an invalid field
// or when out of memory.
uint32_t zel_field_table(compile_context *ctx, uint32_t cfield);
// [min(a, b), max(a, b)] on the rule. 0, 12 out of memory, 22 unknown table.
int zel_field_add_range(compile_context *ctx, rule *r, uint32_t table_id, uint32_t a, uint32_t b);
// An IPv4 prefix (address bytes in network order, length 0 ... 32). 22 for a longer length.
int zel_field_add_prefix(compile_context *ctx, rule *r, uint32_t table_id, const uint8_t addr[4], uint32_t len);
// Range [low, high] of a prefix.
void zel_prefix_range(const uint8_t addr[4], uint32_t len, uint32_t *low, uint32_t *high);

// Conveniences by compiler field: zel_field_table, then add.
int zel_rule_add_range(compile_context *ctx, rule *r, uint32_t cfield, uint32_t a, uint32_t b);
int zel_rule_add_prefix(compile_context *ctx, rule *r, uint32_t cfield, const uint8_t addr[4], uint32_t len);

// Bit i of v = rule i of rt matches value on leaf table t.
void zel_field_eval_rules(const rule_table *rt, const eclass_table *t, epi *v, uint32_t value);
