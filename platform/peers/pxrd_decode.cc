#include "platform/peers/pxrd_decode.h"

#include <cstring>
#include <string_view>

#include "platform/peers/peer_sim.h"

namespace
{

constexpr uint32_t kNameOff = 7;
constexpr uint32_t kNameLen = 128;
constexpr uint32_t kCountOff = 135;
constexpr uint32_t kHdrLen = 139;
constexpr uint32_t kAttachEntryLen = 38;
constexpr uint32_t kIfnameLen = 33;
constexpr uint8_t kDpiOpcode = 5;

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

// A NUL-terminated text within a fixed field; false when the field has no NUL.
bool fixed_text(const uint8_t *p, uint32_t field_len, std::string_view *out)
{
    const void *nul = memchr(p, 0, field_len);
    if (!nul)
        return false;
    *out = std::string_view(reinterpret_cast<const char *>(p), static_cast<const uint8_t *>(nul) - p);
    return true;
}

std::string undecodable(const uint8_t *msg, uint32_t len, const char *why)
{
    peer_sim::json j;
    j.str("event", "undecodable").num("len", len).str("reason", why);
    if (len > 0)
        j.num("opcode", msg[0]);
    return j.text();
}

// The count and name every binding-style message starts with; the reason when
// the message is not what its count says.
const char *common_part(const uint8_t *msg, uint32_t len, uint32_t entry_len, uint32_t *n, std::string_view *name)
{
    *n = be32(msg + kCountOff);
    if (*n > (len - kHdrLen) / entry_len || len != kHdrLen + entry_len * *n)
        return "length does not match count";
    if (!fixed_text(msg + kNameOff, kNameLen, name))
        return "name not terminated";
    return nullptr;
}

std::string decode_binding(const uint8_t *msg, uint32_t len)
{
    uint32_t n;
    std::string_view name;
    if (const char *why = common_part(msg, len, 4, &n, &name))
        return undecodable(msg, len, why);
    std::string vpns = "[";
    for (uint32_t i = 0; i < n; i++) {
        if (i)
            vpns += ",";
        vpns += std::to_string(be32(msg + kHdrLen + 4 * i));
    }
    vpns += "]";
    return peer_sim::json()
        .str("event", msg[0] == 1 ? "bind" : "unbind")
        .num("opcode", msg[0])
        .num("filter_type", msg[1])
        .num("direction", msg[2])
        .num("filter_index", be32(msg + 3))
        .str("name", name)
        .num("count", n)
        .raw("vpns", vpns)
        .text();
}

std::string decode_attach(const uint8_t *msg, uint32_t len)
{
    uint32_t n;
    std::string_view name;
    if (const char *why = common_part(msg, len, kAttachEntryLen, &n, &name))
        return undecodable(msg, len, why);
    std::string bindings = "[";
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t *b = msg + kHdrLen + kAttachEntryLen * i;
        std::string_view ifname;
        if (!fixed_text(b + 5, kIfnameLen, &ifname))
            return undecodable(msg, len, "interface name not terminated");
        if (i)
            bindings += ",";
        bindings += peer_sim::json().num("vpn", be32(b)).num("direction", b[4]).str("interface", ifname).text();
    }
    bindings += "]";
    return peer_sim::json()
        .str("event", msg[0] == 3 ? "attach" : "detach")
        .num("opcode", msg[0])
        .num("family", msg[1])
        .num("filter_index", be32(msg + 3))
        .str("name", name)
        .num("count", n)
        .raw("bindings", bindings)
        .text();
}

}  // namespace

void PxrdBindings::apply(const uint8_t *msg, uint32_t len)
{
    uint32_t n;
    std::string_view name;
    if (len < kHdrLen || msg[0] < 1 || msg[0] > 4)
        return;
    const bool binding = msg[0] <= 2, add = msg[0] == 1 || msg[0] == 3;
    if (common_part(msg, len, binding ? 4 : kAttachEntryLen, &n, &name) != nullptr)
        return;
    const Filter f{be32(msg + 3), std::string(name)};
    auto update = [&](auto &table, const auto &key) {
        auto it = table.find(key);
        if (add)
            table[key] = f;
        else if (it != table.end() && it->second.index == f.index)
            table.erase(it);
    };
    for (uint32_t i = 0; i < n; i++) {
        if (binding) {
            update(vpns_, std::make_tuple(int{msg[1]}, int{msg[2]}, be32(msg + kHdrLen + 4 * i)));
            continue;
        }
        const uint8_t *b = msg + kHdrLen + kAttachEntryLen * i;
        std::string_view ifname;
        if (fixed_text(b + 5, kIfnameLen, &ifname))
            update(interfaces_, std::make_tuple(int{msg[1]}, be32(b), int{b[4]}, std::string(ifname)));
    }
}

std::vector<std::string> PxrdBindings::lines() const
{
    std::vector<std::string> out;
    for (const auto &[k, f] : vpns_)
        out.push_back(peer_sim::json()
                          .str("event", "binding")
                          .num("filter_type", static_cast<uint64_t>(std::get<0>(k)))
                          .num("direction", static_cast<uint64_t>(std::get<1>(k)))
                          .num("vpn", std::get<2>(k))
                          .num("filter_index", f.index)
                          .str("name", f.name)
                          .text());
    for (const auto &[k, f] : interfaces_)
        out.push_back(peer_sim::json()
                          .str("event", "attached")
                          .num("family", static_cast<uint64_t>(std::get<0>(k)))
                          .num("vpn", std::get<1>(k))
                          .num("direction", static_cast<uint64_t>(std::get<2>(k)))
                          .str("interface", std::get<3>(k))
                          .num("filter_index", f.index)
                          .str("name", f.name)
                          .text());
    return out;
}

std::string pxrd_decode(const uint8_t *msg, uint32_t len)
{
    if (len == 0)
        return undecodable(msg, len, "empty");
    switch (msg[0]) {
    case 1:
    case 2:
        return len < kHdrLen ? undecodable(msg, len, "short") : decode_binding(msg, len);
    case 3:
    case 4:
        return len < kHdrLen ? undecodable(msg, len, "short") : decode_attach(msg, len);
    case kDpiOpcode:
        if (len != 1)
            return undecodable(msg, len, "inspection message is one byte");
        return peer_sim::json().str("event", "dpi").num("opcode", kDpiOpcode).text();
    default:
        return undecodable(msg, len, "unknown opcode");
    }
}
