#include "common/ip_util.h"

#include <arpa/inet.h>

#include <array>
#include <cctype>
#include <ctime>
#include <string_view>

namespace
{

constexpr std::array<const char *, COLOR_MAX + 1> color_names = {
    "invalid", "default",  "mpls",     "metro-ethernet", "biz-internet", "public-internet", "lte",      "3g",
    "red",     "green",    "blue",     "gold",           "silver",       "bronze",          "custom1",  "custom2",
    "custom3", "private1", "private2", "private3",       "private4",     "private5",        "private6",
};

// Parse names in test order; colours 3..5 use short forms. Each entry matches
// any text that starts with it.
struct color_key {
    std::string_view name;
    uint8_t code;
};
constexpr color_key color_parse_table[] = {
    {"default", 1},   {"mpls", 2},      {"met-eth", 3},   {"biz-int", 4},   {"pub-int", 5},   {"lte", 6},
    {"3g", 7},        {"red", 8},       {"green", 9},     {"blue", 10},     {"gold", 11},     {"silver", 12},
    {"bronze", 13},   {"custom1", 14},  {"custom2", 15},  {"custom3", 16},  {"private1", 17}, {"private2", 18},
    {"private3", 19}, {"private4", 20}, {"private5", 21}, {"private6", 22},
};

constexpr const char *service_names[] = {nullptr, "FW", "IDS", "IDP", "netsvc1", "netsvc2", "netsvc3", "netsvc4", "TE"};

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

bool starts_with(const char *text, std::string_view prefix)
{
    return text && std::string_view(text).starts_with(prefix);
}

}  // namespace

const char *ip_addr_to_str(const ip_addr_t *addr, char *buf, size_t size)
{
    if (size == 0)
        return buf;
    if (addr->family == AF_INET) {
        const uint32_t a = addr->v4;
        snprintf(buf, size, "%d.%d.%d.%d", static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xff),
                 static_cast<int>((a >> 8) & 0xff), static_cast<int>(a & 0xff));
    } else if (addr->family == AF_INET6) {
        char tmp[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, addr->v6, tmp, sizeof tmp);
        snprintf(buf, size, "%s", tmp);
    } else {
        snprintf(buf, size, "--");
    }
    return buf;
}

const char *ip_addr_port_to_str(const ip_addr_port_t *ap, char *buf, size_t size)
{
    char a[INET6_ADDRSTRLEN];
    snprintf(buf, size, "%s:%u", ip_addr_to_str(&ap->addr, a, sizeof a), ap->port);
    return buf;
}

const char *ip_prefix_to_str(const ip_prefix_t *prefix, char *buf, size_t size)
{
    char a[INET6_ADDRSTRLEN];
    snprintf(buf, size, "%s/%u", ip_addr_to_str(&prefix->addr, a, sizeof a), prefix->len);
    return buf;
}

int ip_addr_parse(const char *text, ip_addr_t *addr)
{
    *addr = {};
    if (!text)
        return 0;
    in_addr_t v4 = inet_network(text);
    // inet_network reports failure as INADDR_NONE, which is also the value of
    // 255.255.255.255; inet_pton tells the two apart.
    in_addr v4_bytes;
    if (v4 != INADDR_NONE || inet_pton(AF_INET, text, &v4_bytes) == 1) {
        addr->family = AF_INET;
        addr->v4 = v4;
        return 1;
    }
    if (inet_pton(AF_INET6, text, addr->v6) == 1) {
        addr->family = AF_INET6;
        return 1;
    }
    *addr = {};
    return 0;
}

const char *tloc_to_str(const tloc_key_t *key, char *buf, size_t size)
{
    char a[INET6_ADDRSTRLEN];
    snprintf(buf, size, "Originator: %s Color: %u Encap: %u", ip_addr_to_str(&key->addr, a, sizeof a), key->color,
             key->encap);
    return buf;
}

const char *tloc_to_name_str(const tloc_key_t *key, char *buf, size_t size)
{
    char a[INET6_ADDRSTRLEN];
    snprintf(buf, size, "%s : %s : %s", ip_addr_to_str(&key->addr, a, sizeof a), color_name(key->color),
             encap_name(key->encap));
    return buf;
}

const char *color_name(unsigned code) { return code < color_names.size() ? color_names[code] : "--"; }

uint8_t color_parse(const char *text)
{
    for (const color_key &k : color_parse_table)
        if (starts_with(text, k.name))
            return k.code;
    return COLOR_INVALID;
}

const char *encap_name(unsigned code)
{
    switch (code) {
    case ENCAP_GRE:
        return "gre";
    case ENCAP_IPSEC:
        return "ipsec";
    default:
        return "--";
    }
}

uint8_t encap_parse(const char *text)
{
    if (!text)
        return 0;
    std::string_view t(text);
    if (t == "ipsec")
        return ENCAP_IPSEC;
    if (t == "gre")
        return ENCAP_GRE;
    return 0;
}

const char *service_name(unsigned code) { return code < std::size(service_names) ? service_names[code] : nullptr; }

const char *mac_to_str(const uint8_t mac[6], char *buf, size_t size)
{
    snprintf(buf, size, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

int mac_parse(const char *text, uint8_t mac[6])
{
    if (!text)
        return 22;
    unsigned v[6];
    int end = -1;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%n", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &end) != 6 || end < 0)
        return 22;
    for (const char *rest = text + end; *rest; rest++)
        if (!isspace(static_cast<unsigned char>(*rest)))
            return 22;
    for (unsigned x : v)
        if (x > 0xff)
            return 22;
    for (int i = 0; i < 6; i++)
        mac[i] = static_cast<uint8_t>(v[i]);
    return 0;
}

const char *time_stamp_str_at(long long seconds, char *buf, size_t size)
{
    if (size == 0)
        return buf;
    buf[0] = '\0';
    if (seconds == 0)
        return buf;
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    if (localtime_r(&t, &tm) && strftime(buf, size, "%b %d %T", &tm) == 0)
        buf[0] = '\0';
    return buf;
}

const char *time_stamp_str(char *buf, size_t size)
{
    return time_stamp_str_at(static_cast<long long>(time(nullptr)), buf, size);
}

bool is_internal_ifname(const char *ifname)
{
    return starts_with(ifname, "loopback") || starts_with(ifname, "natpool");
}

uint32_t crc32(uint32_t crc, const void *bytes, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(bytes);
    for (size_t i = 0; i < len; i++)
        crc = crc_table[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

uint32_t crc32_buf(const void *bytes, size_t len) { return ~crc32(0xFFFFFFFFu, bytes, len); }

int zel_addr_format(const zel_addr_t *addr, char *buf, size_t size)
{
    if (size == 0)
        return 0;
    if (addr->is_v4 == 1) {
        const uint32_t a = addr->v4;
        return snprintf(buf, size, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    }

    unsigned groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = static_cast<unsigned>(addr->v6[2 * i]) << 8 | addr->v6[2 * i + 1];

    // Longest run of zero groups; the first of equal runs wins, one group counts.
    int best_start = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            i++;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            j++;
        if (j - i > best_len) {
            best_start = i;
            best_len = j - i;
        }
        i = j;
    }

    // Every group but the last is followed by ':'; the run becomes "::" at the
    // start and ":" elsewhere (the previous group's ':' makes the pair).
    size_t n = 0;
    auto put = [&](const char *fmt, unsigned v) {
        if (n < size)
            n += static_cast<size_t>(snprintf(buf + n, size - n, fmt, v));
    };
    for (int i = 0; i < 8;) {
        if (i == best_start) {
            put(i == 0 ? "::" : ":", 0);
            i += best_len;
            continue;
        }
        put(i < 7 ? "%x:" : "%x", groups[i]);
        i++;
    }
    return static_cast<int>(n < size ? n : size - 1);
}
