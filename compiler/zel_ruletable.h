// Rule table: the compiler's input. Ordered rules (first match wins), each with its ranges per field and
// its action block, plus the default action for packets no rule matches.
#pragma once

#include "compiler/zel_image.h"

#include <cstdint>
#include <vector>

inline constexpr uint32_t ZEL_RULE_NAME_LEN = 128;  // 127 characters and the terminator

struct zel_range {
    uint32_t min;
    uint32_t max;  // inclusive
};

// The ranges one rule places on one leaf table.
struct field_match {
    uint32_t table_id;
    uint32_t field;                 // compiler field id
    std::vector<zel_range> ranges;  // in the order added
};

// {flags, length including the 8 header bytes, data}.
struct action_block {
    zel_action_block_hdr hdr;
    std::vector<uint8_t> data;
};

struct rule {
    char name[ZEL_RULE_NAME_LEN];
    uint32_t id;
    std::vector<field_match> matches;
    action_block *action;  // nullptr until set
    rule *next;
};

struct rule_table {
    char name[ZEL_RULE_NAME_LEN];
    char alias[ZEL_RULE_NAME_LEN];
    uint32_t rule_count;
    rule *head;
    rule *tail;
    std::vector<rule *> by_index;  // rule i = bit i of every class vector
    action_block default_action;
    uint32_t last_id;
};

// name and alias are copied with at most 127 characters. data may be nullptr only when data_len is 0.
rule_table *zel_rule_table_create(const char *name, const char *alias, uint32_t data_len, const void *data);
void zel_rule_table_free(rule_table *t);              // accepts nullptr
rule *zel_rule_add(rule_table *t, const char *name);  // appended; nullptr when out of memory
rule *zel_rule_at(const rule_table *t, uint32_t index);
uint32_t zel_rule_count(const rule_table *t);
// Replaces the rule's action; nullptr (the old action kept) when out of memory.
const action_block *zel_rule_set_action(rule *r, uint32_t data_len, const void *data);
field_match *zel_rule_match(rule *r, uint32_t table_id);
const field_match *zel_rule_match(const rule *r, uint32_t table_id);
void zel_print_table(const rule_table *t);  // debug listing on stdout
