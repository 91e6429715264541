// What pxrd-sim understands of zeld's messages on the table-manager link.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// One JSON object (without newline) for a message: a filter binding (opcode 1
// or 2), an access-list attach or detach (3 or 4), the one-byte inspection
// message (5), or {"event":"undecodable",...} when the bytes are none of them.
std::string pxrd_decode(const uint8_t *msg, uint32_t len);

// The bindings the messages leave in place: which filter each VPN uses per filter type and
// direction, and each interface per family, VPN and direction. An unbind or detach removes an
// entry only while it still names that filter, so a binding to a new filter survives the
// unbinding of the old one whichever comes first.
class PxrdBindings
{
public:
    void apply(const uint8_t *msg, uint32_t len);  // ignores what does not decode
    void clear() { vpns_.clear(), interfaces_.clear(); }
    // One JSON object per entry, in key order.
    std::vector<std::string> lines() const;

private:
    struct Filter {
        uint32_t index;
        std::string name;
    };
    std::map<std::tuple<int, int, uint32_t>, Filter> vpns_;                     // type, direction, vpn
    std::map<std::tuple<int, uint32_t, int, std::string>, Filter> interfaces_;  // family, vpn, direction, if
};
