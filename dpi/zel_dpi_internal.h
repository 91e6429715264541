// The glue's seams for its commands and its tests: the shared tables it works on, where its
// engine comes from, and the printers behind the operator commands.
#pragma once

#include <cstdint>
#include <span>

#include "common/zel_out_sink.h"
#include "dataplane/fp_common.h"
#include "dpi/zel_dpi.h"
#include "dpi/zel_dpi_engine.h"

inline constexpr uint32_t ZEL_DPI_MSG_LEN = 140;  // the buffer of the message to pxrd; one byte is sent
inline constexpr uint32_t ZEL_DPI_LOG_FREQUENCY_DEFAULT = 1000;

// The shared tables; members are null or empty while the shared block is not attached.
struct zel_dpi_tables {
    std::span<uint32_t> family_map;  // "fp_dpi_proto_family_mapping"
    std::span<uint32_t> hits;        // "fp_dpi_proto_hits"
    uint32_t *state;                 // "DPI App Visibility knob"
    fp_filter_log_cfg *log_cfg;      // "Filter Log Configuration"
};
// The shared block's tables, unless tables were given (null: the shared block's again).
zel_dpi_tables zel_dpi_current_tables();
void zel_dpi_use_tables(const zel_dpi_tables *tables);

// Where zel_dpi_init gets its engine; null: nDPI.
using zel_dpi_engine_factory = std::unique_ptr<zel_dpi_engine> (*)();
void zel_dpi_set_engine_factory(zel_dpi_engine_factory factory);
// The running engine, null when none started.
const zel_dpi_engine *zel_dpi_engine_running();

struct zel_dpi_switches {
    bool app_visibility;
    bool flow_visibility;
    const char *version;  // "" until the engine started
};
zel_dpi_switches zel_dpi_current_switches();
uint32_t zel_dpi_policy_refs(zel_ctx *ctx);  // 0 without the count
// A log frequency as stored: a power of two is kept, anything else becomes the next lower one.
uint32_t zel_dpi_log_frequency(int32_t configured);

// Logs an engine exception with the engine's text for it.
void zel_dpi_exception_handler(int code);

// The commands' work, written to `out` (null: standard output). ctx may be null.
int zel_dpi_show_protocol_list(const zel_out_sink *out);
int zel_dpi_show_family_mapping(const zel_out_sink *out);
int zel_dpi_show_hits(const zel_out_sink *out);
int zel_dpi_show_configuration(zel_ctx *ctx, const zel_out_sink *out);
int zel_dpi_clear_hits();
