// The inspection engine as the glue sees it: the few operations it relies on, nothing more.
//
// Identifiers are the glue's: 1 is "unclassified", every protocol of the catalogue has one above 1,
// unique and below FP_NUM_DPI_PROTO_FAMILY_MAPPING. Results are 0 or more on success and a negative
// engine code on failure; error_text() turns a code into a printable message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

// One protocol of the catalogue.
struct zel_dpi_proto {
    uint32_t id;
    std::string_view name;       // short name, e.g. "YouTube"
    std::string_view long_name;  // as the engine describes it (nDPI has none: the short name)
    std::string_view family;     // the engine's family text
};

// Start-up options. Defaults come from default_params(); the glue then sets what it wants.
struct zel_dpi_params {
    bool catalogue_only = false;  // no packet will be inspected: skip what only inspection needs
};

class zel_dpi_engine
{
public:
    virtual ~zel_dpi_engine() = default;

    virtual zel_dpi_params default_params() const { return {}; }
    // Engines with an exception hook call handler(code) on an engine exception; false: no hook.
    virtual bool set_exception_handler(void (*)(int code)) { return false; }
    virtual const char *exception_text(int code) const { return error_text(code); }

    virtual int init(const zel_dpi_params &params) = 0;
    virtual int enable_all() = 0;
    // Every protocol of the catalogue in identifier order, with the family text the glue maps from
    // (one of the engine family names when the engine has one for it). 0 or a negative code.
    virtual int walk(const std::function<void(const zel_dpi_proto &)> &fn) const = 0;
    virtual const char *error_text(int code) const = 0;
    // Identifier of a name as the engine compares names; 0 when unknown.
    virtual uint32_t id_of(std::string_view name) const = 0;
    // Short name, long name and the engine's own family text of an identifier.
    virtual std::optional<zel_dpi_proto> proto(uint32_t id) const = 0;
    virtual const char *version() const = 0;
    virtual void shutdown() = 0;
};

// The engine on nDPI (zel_dpi_ndpi.cc).
std::unique_ptr<zel_dpi_engine> zel_dpi_ndpi_engine();
