// Application recognition in the forwarding plane stand-in: nDPI per flow for captured packets,
// the application family from the family table the daemon publishes, and the per-application hit
// counts while inspection is on.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <tuple>

#include "platform/fpsim/fp_sim_packets.h"

struct ndpi_detection_module_struct;
struct ndpi_flow_struct;

inline constexpr uint32_t FPSIM_APP_UNCLASSIFIED = 1;

class fpsim_inspector
{
public:
    fpsim_inspector();
    ~fpsim_inspector();
    fpsim_inspector(const fpsim_inspector &) = delete;
    fpsim_inspector &operator=(const fpsim_inspector &) = delete;

    // The application identifier of a captured IP packet: its flow's (both directions of a 5-tuple)
    // once nDPI has decided on the flow, with this packet or an earlier one; 1 before.
    uint32_t classify(const fpsim_packet &p);
    // "YouTube"; "unclassified" for 1.
    std::string name(uint32_t app) const;

private:
    struct flow {
        ndpi_flow_struct *state = nullptr;
        uint32_t app = FPSIM_APP_UNCLASSIFIED;
        bool decided = false;
    };
    using key = std::tuple<uint8_t, std::string, uint32_t, std::string, uint32_t>;

    ndpi_detection_module_struct *mod_ = nullptr;
    std::map<key, flow> flows_;
};

// The daemon's tables in the shared block (empty or null before it is attached).
struct fpsim_dpi_tables {
    std::span<uint32_t> family_map;  // entry 0: highest identifier; entry i: family of application i
    std::span<uint32_t> hits;        // entry 0: entries counted (0: do not count); entry i: hits of i
    const uint32_t *state;           // inspection users; 0: inspection not needed
};
fpsim_dpi_tables fpsim_dpi_shared_tables();

// The family of an application from the family table, 0 when it has none.
uint32_t fpsim_app_family(const fpsim_dpi_tables &t, uint32_t app);
// Counts one hit of the application while inspection is on and the hit table counts.
bool fpsim_count_hit(const fpsim_dpi_tables &t, uint32_t app);
