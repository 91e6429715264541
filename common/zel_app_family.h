// Application families: identifiers 1 to 31, each with the inspection engine's name and the name
// configuration uses for it. Entry 0 is a placeholder; ZEL_DPI_FAMILY_NONE means no such family.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr uint32_t ZEL_DPI_NUM_FAMILIES = 31;
inline constexpr uint32_t ZEL_DPI_FAMILY_NONE = 32;

struct zel_dpi_family_names {
    const char *engine;  // "Audio/Video"
    const char *config;  // "audio_video"
};

// Sorted by engine name.
inline constexpr std::array<zel_dpi_family_names, ZEL_DPI_NUM_FAMILIES + 1> zel_dpi_families{{
    {"Min", "min"},
    {"Antivirus", "antivirus"},
    {"Application Service", "application_service"},
    {"Audio/Video", "audio_video"},
    {"Authentication", "authentication"},
    {"Behavioral", "behavioral"},
    {"Compression", "compression"},
    {"Database", "database"},
    {"Encrypted", "encrypted"},
    {"ERP", "erp"},
    {"File Server", "file_server"},
    {"File Transfer", "file_transfer"},
    {"Forum", "forum"},
    {"Game", "game"},
    {"Instant Messaging", "instant_messaging"},
    {"Mail", "mail"},
    {"Microsoft Office", "microsoft_office"},
    {"Middleware", "middleware"},
    {"Network Management", "network_management"},
    {"Network Service", "network_service"},
    {"Peer to Peer", "peer_to_peer"},
    {"Printer", "printer"},
    {"Routing", "routing"},
    {"Security Service", "security_service"},
    {"Standard", "standard"},
    {"Telephony", "telephony"},
    {"Terminal", "terminal"},
    {"Thin Client", "thin_client"},
    {"Tunneling", "tunneling"},
    {"Wap", "wap"},
    {"Web", "web"},
    {"Webmail", "webmail"},
}};

// Family identifiers by name, 1 ... 31; ZEL_DPI_FAMILY_NONE when the name is not in the table.
// Names compare exactly.
uint32_t zel_dpi_engine_family_id(std::string_view engine_name);
uint32_t zel_dpi_family_id(std::string_view config_name);
// The engine name of a family 1 ... 31, nullptr for any other identifier.
const char *zel_dpi_family_engine_name(uint32_t family);
