// Equivalence-class tables: for one field (leaf) or for the cross product of two tables (combined), the
// rows of the value line and, per row, the class of rules that match it.
#pragma once

#include "compiler/epi.h"
#include "compiler/rbst.h"
#include "compiler/zel_image.h"

#include <cstdint>
#include <vector>

struct compile_context;
struct rule_table;
struct eclass_store;

struct eclass_interval {
    uint32_t low;   // inclusive
    uint32_t high;  // exclusive
    uint32_t class_id;
};

struct eclass_table {
    uint32_t id;  // first word: the set of tables is keyed by it
    uint32_t class_count;
    uint8_t combined;
    rbst boundaries;  // leaf tables: cut points of the value line
    rbst ec_map;      // epi -> class id, in bit-vector order
    eclass_table *left;
    eclass_table *right;
    eclass_table *parent;
    uint32_t reg;
    eclass_store *store;  // boundaries, rows with their interval tree, class vectors and the hash in front of ec_map
};

inline constexpr uint32_t ECLASS_NONE = 0xFFFFFFFF;

// Makes a table (id and register from the context's counters); add: also put it in the context's set.
eclass_table *eclass_table_new(compile_context *ctx, bool add);
void eclass_table_free(eclass_table *t);
uint32_t eclass_lookup(eclass_table *t, const epi *v);  // ECLASS_NONE when absent
uint32_t eclass_add(eclass_table *t, const epi *v);     // the new class id
const epi *eclass_vector(const eclass_table *t, uint32_t class_id);
uint32_t eclass_row_count(const eclass_table *t);
// The rows in ascending order.
std::vector<eclass_interval> eclass_rows(const eclass_table *t);
// Writes the rows as lookup entries in the walk order of their interval tree (node, right subtree, left
// subtree), each child linked from its parent by its word offset from base.
void eclass_emit_rows(const eclass_table *t, zel_lookup_entry *base);
// Inserts a boundary; 1 when new.
int eclass_add_boundary(eclass_table *t, uint32_t value);

// Rows and classes of a leaf table. 0, or 12 when out of memory.
int eclass_build_field(compile_context *ctx, const rule_table *rt, eclass_table *t);
// The cross product of a and b (caller links left/right/parent). nullptr when out of memory.
eclass_table *eclass_combine(compile_context *ctx, eclass_table *a, eclass_table *b);
