// Equivalence-class tables: for one field (leaf) or for the cross product of two tables (combined), the
// rows of the value line and, per row, the class of rules that match it.
//
// A table is made in two steps. The classes (which rows exist, which class each row has, the class vectors
// and their order) never depend on random(), so they can be computed ahead, on any thread, and kept across
// compilations whose matches did not change. The draws (inserting the rows into the table's interval tree
// and each new class into its class map, in the order the classes appeared) then replay exactly the
// random() sequence the one-step construction would consume; only the interval tree is emitted.
#pragma once

#include "compiler/epi.h"
#include "compiler/rbst.h"
#include "compiler/zel_image.h"

#include <cstdint>
#include <vector>

struct compile_context;
struct rule_table;
struct eclass_store;
struct eclass_classes;

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
    eclass_table *left;
    eclass_table *right;
    eclass_table *parent;
    uint32_t reg;
    eclass_store *store;  // classes, interval tree, boundary records
};

inline constexpr uint32_t ECLASS_NONE = 0xFFFFFFFF;

// Makes a table (id and register from the context's counters); add: also put it in the context's set.
// nullptr when out of memory.
eclass_table *eclass_table_new(compile_context *ctx, bool add);
void eclass_table_free(eclass_table *t);
// Inserts a boundary (once). 0, or 12 when out of memory.
int eclass_add_boundary(eclass_table *t, uint32_t value);

// ---- classes (no draws) -------------------------------------------------------------------------------

// Rows and classes of a leaf table. 0, or 12 when out of memory.
int eclass_field_classes(compile_context *ctx, const rule_table *rt, eclass_table *t);
// Classes of t = a x b (a and b have their classes). 0, or 12 when out of memory or beyond 2^32 rows.
int eclass_combine_classes(compile_context *ctx, eclass_table *t, const eclass_table *a, const eclass_table *b);
// Takes over classes computed in an earlier compilation (the table's classes must be unset).
void eclass_adopt_classes(eclass_table *t, eclass_classes *c);
// Hands the classes over (for reuse) and leaves the table without them.
eclass_classes *eclass_release_classes(eclass_table *t);
void eclass_classes_free(eclass_classes *c);
bool eclass_has_classes(const eclass_table *t);

uint32_t eclass_row_count(const eclass_table *t);
// Finds a vector among the classes; ECLASS_NONE when absent.
uint32_t eclass_lookup(const eclass_table *t, const epi *v);
// The class's vector as an epi, made on first use (tests and debugging; the compiler reads words).
const epi *eclass_vector(const eclass_table *t, uint32_t class_id);
// The non-zero 64-bit words of a class vector, ascending word index.
struct eclass_words {
    const uint16_t *index;
    const uint64_t *word;
    uint32_t count;
};
eclass_words eclass_class_words(const eclass_table *t, uint32_t class_id);
uint32_t eclass_words_per_vector(const eclass_table *t);
// Lowest rule of the class (its lowest set bit); the rule count when none matches.
uint32_t eclass_first_rule(const eclass_table *t, uint32_t class_id);
// The rows in ascending order.
std::vector<eclass_interval> eclass_rows(const eclass_table *t);

// ---- draws --------------------------------------------------------------------------------------------

// Inserts the rows into the interval tree and the new classes into the class map, consuming the draws of
// the unsplit construction, in its order. The tree goes into tree_mem (eclass_tree_bytes of it, 4-byte
// aligned, the caller's until the tree is dropped) or, when nullptr, into working memory. 0, or 12 when
// out of memory (then nothing was drawn).
int eclass_draw(compile_context *ctx, eclass_table *t, void *tree_mem = nullptr);
uint64_t eclass_tree_bytes(const eclass_table *t);
// Writes the rows as lookup entries in the walk order of the interval tree (node, right subtree, left
// subtree), each child linked from its parent by its word offset from base.
void eclass_emit_rows(const eclass_table *t, zel_lookup_entry *base);
// Releases the interval tree (after emission); the classes stay.
void eclass_drop_tree(eclass_table *t);

// ---- both steps ---------------------------------------------------------------------------------------

// Classes and draws of a leaf table. 0, or 12 when out of memory.
int eclass_build_field(compile_context *ctx, const rule_table *rt, eclass_table *t);
// The cross product of a and b, in the context's set (caller links left/right/parent). nullptr when out
// of memory.
eclass_table *eclass_combine(compile_context *ctx, eclass_table *a, eclass_table *b);
