#include "compiler/zel_image.h"
#include "compiler/zel_action.h"
#include "compiler/zel_compiler.h"

#include <cstring>

void zel_program_dump(const void *image, const zel_out_sink *out)
{
    const auto *base = static_cast<const uint8_t *>(image);
    const auto *h = static_cast<const zel_image_header *>(image);
    zel_out_printf(out, "length = %d \n", static_cast<int>(h->size));
    zel_out_printf(out, "(field type, ec) map size = %d \n", static_cast<int>(h->field_map_count));
    for (uint32_t i = 0; i < h->field_map_count && i < ZEL_MAX_TABLES; i++)
        zel_out_printf(out, "Entry %d: field type = %d, ec_id = %d \n", static_cast<int>(i), h->field_map[i].field,
                       h->field_map[i].table);
    zel_out_printf(out, "Table dir length = %d \n", static_cast<int>(h->dir_count));
    zel_out_printf(out, "n instructions = %d \n", static_cast<int>(h->instr_count));
    const zel_table_dir_entry *dir = zel_image_dir(image);
    for (uint32_t d = 0; d < h->dir_count; d++) {
        uint32_t word;
        memcpy(&word, base + dir[d].offset, sizeof word);
        const uint8_t *first = base + dir[d].offset + 4;
        if (zel_table_word_kind(word) == ZEL_TABLE_KIND_LOOKUP) {
            zel_out_printf(out, "Lookup Table:  \n");
            const auto *e = reinterpret_cast<const zel_lookup_entry *>(first);
            for (uint32_t i = 0; i < dir[d].count; i++) {
                zel_out_printf(out, "Entry %d: [%d - ", static_cast<int>(i), static_cast<int>(e[i].low));
                zel_out_printf(out, "%d] -> ", static_cast<int>(e[i].high));
                zel_out_printf(out, "%d\n", static_cast<int>(e[i].class_id));
            }
        } else if (zel_table_word_kind(word) == ZEL_TABLE_KIND_ACTION) {
            zel_out_printf(out, "Action Table:  \n");
            const uint8_t *blocks = base + uint64_t{h->action_offset} * 4;
            for (uint32_t i = 0; i < dir[d].count; i++) {
                const auto *b = reinterpret_cast<const zel_action_block *>(blocks + uint64_t{i} * dir[d].entry_size);
                zel_out_printf(out, "flags = 0x%x \n", b->hdr.flags);
                zel_out_printf(out, "length = %d \n", static_cast<int>(b->hdr.length));
                if (b->hdr.length >= ZEL_ACTION_BLOCK_SIZE)
                    zel_action_slots_print(&b->data, out);
            }
        }
        zel_out_printf(out, "\n");
    }
}
