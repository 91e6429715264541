// nDPI as the inspection engine: its identifiers and the family of each of its protocols.
//
// nDPI numbers its protocols from 0, its "Unknown"; the glue's identifiers are nDPI's plus one, so
// that 1 is "unclassified". Families come from one reviewed table: nDPI's category first, and a
// per-protocol override where the category is too coarse (dpi/README.md prints both).
#pragma once

#include <cstdint>
#include <span>

constexpr uint32_t zel_ndpi_app_id(uint16_t ndpi_proto) { return uint32_t{ndpi_proto} + 1; }
constexpr uint16_t zel_ndpi_proto_id(uint32_t app_id) { return static_cast<uint16_t>(app_id - 1); }

struct zel_ndpi_category_family {
    uint32_t category;  // ndpi_protocol_category_t
    uint32_t family;    // 1 ... 31, 0: none
};
struct zel_ndpi_family_override {
    uint16_t proto;  // nDPI protocol id
    uint32_t family;
};
std::span<const zel_ndpi_category_family> zel_ndpi_category_families();
std::span<const zel_ndpi_family_override> zel_ndpi_family_overrides();

// The family 1 ... 31 of an nDPI protocol of that category; 0 when neither maps to one.
uint32_t zel_ndpi_family(uint16_t ndpi_proto, uint32_t category);
