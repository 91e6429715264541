// What pxrd-sim understands of zeld's messages on the table-manager link.
#pragma once

#include <cstdint>
#include <string>

// One JSON object (without newline) for a message: a filter binding (opcode 1
// or 2), an access-list attach or detach (3 or 4), the one-byte inspection
// message (5), or {"event":"undecodable",...} when the bytes are none of them.
std::string pxrd_decode(const uint8_t *msg, uint32_t len);
