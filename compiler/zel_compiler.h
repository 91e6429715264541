// Program compiler: rule table -> program image (layout in compiler/zel_image.h).
//
// Typical use, one compilation at a time on the daemon's one context:
//   rule_table *rt = zel_rule_table_create(name, alias, ZEL_ACTION_DATA_SIZE, &default_data);
//   rule *r = zel_rule_add(rt, "10");
//   zel_rule_add_range(ctx, r, ZEL_CF_PROTOCOL, 6, 6);
//   zel_rule_set_action(r, ZEL_ACTION_DATA_SIZE, &data);
//   int rc = zel_compile(ctx, rt, &image, &size);   // 0, or 12: no memory (zel_compile_no_memory says which)
//   int32_t slot = zel_compile_filter_index(ctx);
//   zel_compile_context_reset(ctx);
//
// Worth knowing:
//  - Lack of memory is 12, like every "no memory" at a module boundary of this daemon, and nothing else
//    leaves a compilation: no exception, no abort on a failed allocation. Two kinds of 12 need different
//    handling, and zel_compile_no_memory(ctx) tells them apart until the next compile or reset:
//      ZEL_NO_MEMORY_PROGRAM   the image does not fit the program memory (the filter memory): alert, and
//                              retry when program memory is freed;
//      ZEL_NO_MEMORY_COMPILER  the compiler's own working memory ran out or a table passed 2^32 rows:
//                              freeing program memory cannot help; report once and retry only when the
//                              configuration changes.
//    Either way the caller's earlier images are untouched and nothing of the failed one is left allocated.
//  - When the allocator offers `capacity`, the compiler refuses (12) as soon as a lower bound of the image
//    exceeds it, before building the table that could not fit; the six size lines are then not logged, the
//    out size is the bound, and one debug line says "Program size: at least N, program memory M".
//  - The compiler's own tables for one compilation are capped at compile_context::mem_budget; beyond it
//    the result is 12 (ZEL_NO_MEMORY_COMPILER).
//  - Inside a compilation the classes of the tables (which never depend on random()) are computed on a
//    worker thread for large rule tables, ahead of the one thread that replays the tree draws in order;
//    zel_compile itself stays synchronous. The classes of the last compilation are kept in the context's
//    working memory, so a recompilation of the same matches (only actions changed) only redraws and emits.
//    Working arrays are kept between compilations (up to ZEL_WORK_KEEP bytes of spare buffers).
//  - Table ids and registers above 15 and MUL immediates above 0xFFFF keep only the bits their instruction
//    fields hold (a program of all 15 fields has 29 tables); readers take the full values from the
//    directory and the tables (see compiler/zel_fpinterp.h).
#pragma once

#include "common/zel_out_sink.h"
#include "compiler/eclass.h"
#include "compiler/rbst.h"
#include "compiler/zel_field.h"
#include "compiler/zel_image.h"
#include "compiler/zel_ruletable.h"

#include <cstdint>
#include <cstdio>

// Program memory: the forwarding plane's filter memory in the daemon, a bounded heap in tools and tests.
// Each compile context holds its own copy.
struct program_allocator {
    // Zeroing is the compiler's job. On success *filter_index is the filter slot the memory is published in.
    void *(*allocate)(void *arg, uint32_t size, int32_t *filter_index);
    void (*free)(void *arg, void *mem);
    // Optional: the largest image an allocation could give right now. The compiler stops as soon as a lower
    // bound of the image size exceeds it. nullptr: no bound but the 32-bit size field.
    uint64_t (*capacity)(void *arg);
    void *arg;
};

struct zel_field_entry {
    uint32_t field;
    uint32_t max_value;
    uint32_t table_id;  // leaf table of the field in the current compilation, 0 when unused
};

class zel_compile_work;

// Kind of the last 12 (see the notes above).
enum zel_no_memory : uint32_t {
    ZEL_NO_MEMORY_NONE = 0,
    ZEL_NO_MEMORY_PROGRAM = 1,
    ZEL_NO_MEMORY_COMPILER = 2,
};

struct compile_context {
    uint32_t table_counter;
    rbst tables;  // eclass_table by id
    eclass_table *root;
    uint32_t c_reg_allocated;
    uint32_t instr_cursor, data_cursor, dir_cursor;
    uint32_t table_bytes, dir_count, instr_count;
    uint8_t *image;
    int32_t filter_index;
    zel_field_entry fields[ZEL_FIELD_TABLE_SIZE];
    uint32_t action_offset;
    uint32_t table_offsets[ZEL_MAX_TABLES];
    // Bytes the compiler itself may hold for one compilation's tables before giving up with 12.
    uint64_t mem_budget;
    uint64_t mem_used;                 // after a compilation: working bytes it held
    program_allocator program_memory;  // where images go; no allocate: every compile finds no memory
    uint32_t no_memory;                // zel_no_memory of the last 12
    zel_compile_work *work;            // working memory kept between compilations (compiler/zel_work.h)
};

inline constexpr uint64_t ZEL_COMPILE_MEM_BUDGET = 1ull << 30;

// program_memory is copied (null: none); nullptr when out of memory.
compile_context *zel_compile_context_new(const program_allocator *program_memory);
void zel_compile_context_free(compile_context *ctx);
// Releases every table; counters, cursors and leaf-table ids to 0, image forgotten, filter index -1.
void zel_compile_context_reset(compile_context *ctx);

// Compiles rt (whose matches were added through ctx) into *image of *size bytes.
// 0: success (*image nullptr when no rule placed any match); 12: no memory, *image nullptr, the kind in
// zel_compile_no_memory(ctx) and, for ZEL_NO_MEMORY_PROGRAM, *size the bytes needed (a lower bound when
// compilation stopped early); 22: bad arguments.
int zel_compile(compile_context *ctx, rule_table *rt, void **image, uint32_t *size);
// ZEL_NO_MEMORY_NONE, or the kind of the last compile's 12.
uint32_t zel_compile_no_memory(const compile_context *ctx);
// The emitter's fixed part, once every table has its classes: counting pass, the six size log lines,
// allocation, header, directory and instructions. Lookup entries are written as each table's tree is
// drawn, at ctx->table_offsets[id]; the action blocks last, by zel_compile_write_actions (until then their
// memory may hold a table's tree). nullptr (ctx->no_memory = ZEL_NO_MEMORY_PROGRAM) when the
// program memory has no room.
void *zel_compile_program_ec(compile_context *ctx, const rule_table *rt, uint32_t *size);
void zel_compile_write_actions(compile_context *ctx, const rule_table *rt);
int32_t zel_compile_filter_index(const compile_context *ctx);
// Returns an image to the program memory it came from; accepts nullptr for either.
void zel_program_free(const program_allocator *program_memory, void *image);

// Debug dump of an image: "length = %d \n", the field map, the directory, tables and action slots.
void zel_program_dump(const void *image, const zel_out_sink *out);
