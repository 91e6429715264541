// Bounded program memory: a fixed number of 128-byte blocks and filter slots in one mapping reserved at
// creation and kept until the heap is deleted, for tools and tests until the forwarding plane's shared
// filter memory is attached.
#pragma once

#include "compiler/zel_compiler.h"

#include <cstdint>

inline constexpr uint32_t ZEL_PROG_BLOCK_SIZE = 128;

struct zel_prog_heap;

zel_prog_heap *zel_prog_heap_new(uint32_t blocks, uint32_t slots);  // nullptr when out of memory
void zel_prog_heap_delete(zel_prog_heap *h);                        // frees what is still allocated
// The allocator operations over h (hand them to zel_compile_context_new).
program_allocator zel_prog_heap_allocator(zel_prog_heap *h);
uint32_t zel_prog_heap_blocks_used(const zel_prog_heap *h);
uint32_t zel_prog_heap_programs(const zel_prog_heap *h);
