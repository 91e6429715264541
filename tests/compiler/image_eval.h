// A deliberately small reader of program images for tests: runs the instruction words literally.
#pragma once

#include "common/zel_out_sink.h"
#include "compiler/zel_image.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

// values[f] is the packet's value of compiler field f. Returns the root class, or nothing when a value
// lies in no row.
inline std::optional<uint32_t> test_image_eval(const void *image, const uint32_t values[16])
{
    const auto *base = static_cast<const uint8_t *>(image);
    const auto *h = static_cast<const zel_image_header *>(image);
    const uint32_t *code = zel_image_instrs(image);
    uint32_t reg[16] = {};
    for (uint32_t i = 0; i < h->instr_count; i++) {
        const uint32_t w = code[i];
        const uint32_t src = zel_instr_src(w), dst = zel_instr_dst(w);
        switch (zel_instr_op(w)) {
        case ZEL_OP_MUL:
            reg[src] *= zel_instr_imm(w);
            break;
        case ZEL_OP_ADD:
            reg[dst] += reg[src];
            break;
        case ZEL_OP_ACTION:
            return reg[src];
        case ZEL_OP_LOOKUP: {
            const uint32_t v = zel_instr_kind(w) == ZEL_OPND_FIELD ? values[h->table_field[src]] : reg[src];
            const uint8_t *first = base + 4 * h->table_offset[zel_instr_table(w)];
            uint32_t at = 0;
            for (;;) {
                zel_lookup_entry e;
                memcpy(&e, first + 4 * at, sizeof e);
                const uint32_t next = v < e.low ? e.left : (v >= e.high ? e.right : ~0u);
                if (next == ~0u) {
                    reg[dst] = e.class_id;
                    break;
                }
                if (next == 0)
                    return std::nullopt;
                at = next;
            }
            break;
        }
        }
    }
    return std::nullopt;
}

// A sink that appends to *text.
inline zel_out_sink test_string_sink(std::string *text)
{
    return {[](void *arg, const char *t, size_t n) { static_cast<std::string *>(arg)->append(t, n); }, text};
}

// FNV-1a over the bytes: compares whole images.
inline uint64_t test_image_hash(const void *p, size_t n)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; i++)
        h = (h ^ static_cast<const uint8_t *>(p)[i]) * 0x100000001b3ull;
    return h;
}

// The action block of a root class.
inline const zel_action_block_hdr *test_image_action(const void *image, uint32_t cls)
{
    const auto *h = static_cast<const zel_image_header *>(image);
    const zel_table_dir_entry &act = zel_image_dir(image)[h->dir_count - 1];
    return reinterpret_cast<const zel_action_block_hdr *>(static_cast<const uint8_t *>(image) +
                                                          4ull * h->action_offset + uint64_t{cls} * act.entry_size);
}
