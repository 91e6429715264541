// Keypath keys, address readers and parsers, and ConfD dates.
#include "cfgd/cfgd_util.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cfgd/cfgd_internal.h"

namespace
{

int parse_prefix(const char *text, ip_prefix_t *prefix, int family)
{
    memset(prefix, 0, sizeof *prefix);
    char addr[128];
    const char *slash = strchr(text, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (n >= sizeof addr)
        return 22;
    memcpy(addr, text, n);
    addr[n] = '\0';
    in_addr v4;
    if (family != AF_INET6 && inet_aton(addr, &v4) != 0) {
        prefix->addr.family = AF_INET;
        prefix->addr.v4 = ntohl(v4.s_addr);
        prefix->len = 32;
    } else if (family != AF_INET && inet_pton(AF_INET6, addr, prefix->addr.v6) == 1) {
        prefix->addr.family = AF_INET6;
        prefix->len = 128;
    } else {
        memset(prefix, 0, sizeof *prefix);
        return 22;
    }
    if (slash != nullptr) {
        // Only digits, and no more bits than the address has: "/810" is no /42.
        const char *digits = slash + 1;
        char *end = nullptr;
        const unsigned long len = strtoul(digits, &end, 10);
        if (!isdigit(static_cast<unsigned char>(*digits)) || *end != '\0' || len > prefix->len) {
            memset(prefix, 0, sizeof *prefix);
            return 22;
        }
        prefix->len = static_cast<uint8_t>(len);
    }
    return 0;
}

}  // namespace

// ---- keypaths and addresses ----

confd_value_t *cfgd_keypath_get_keys(const confd_hkeypath_t *kp, confd_value_t *keys, int num_keys, uint32_t list_tag)
{
    if (num_keys <= 0)
        return nullptr;
    int found = 0;
    int elem = -1;
    for (int i = kp->len - 2; i >= 0 && elem < 0; i--) {
        const confd_value_t &parent = kp->v[i + 1][0];
        if (kp->v[i][0].type != C_XMLTAG && parent.type == C_XMLTAG && parent.val.xmltag.tag == list_tag)
            elem = i;
    }
    if (elem >= 0)
        while (found < MAXKEYLEN && kp->v[elem][found].type != C_NOEXISTS)
            found++;
    if (found != num_keys) {
        ZEL_LOG("Number of keys given (%d) != number of keys found (%d) !", num_keys, found);
        return nullptr;
    }
    confd_value_t *out = keys;
    if (out == nullptr) {
        out = static_cast<confd_value_t *>(calloc(static_cast<size_t>(num_keys), sizeof *out));
        if (out == nullptr) {
            ZEL_LOG("Could not allocate memory");
            return nullptr;
        }
    }
    for (int k = 0; k < num_keys; k++)
        out[k] = kp->v[elem][k];
    return out;
}

int cfgd_cdb_get_ip_addr(int sock, ip_addr_t *addr, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = cdb_vget(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return confd_errno;
    CFGD_FATAL_UNLESS(v.type == C_IPV4 || v.type == C_IPV6, "Unexpected address type %d", v.type);
    memset(addr, 0, sizeof *addr);
    if (v.type == C_IPV4) {
        addr->family = AF_INET;
        addr->v4 = ntohl(v.val.ip.s_addr);
    } else {
        addr->family = AF_INET6;
        memcpy(addr->v6, &v.val.ip6, sizeof addr->v6);
    }
    return 0;
}

int cfgd_cdb_get_ip_prefix_from_str(int sock, ip_prefix_t *prefix, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = cdb_vget(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK) {
        CFGD_DEBUG("Cannot read IP prefix from CDB (%d)%s (%d) : %s", rc, CFGD_ERR_ARGS);
        return confd_errno;
    }
    int result = 22;
    if (v.type == C_BUF) {
        char text[128];
        size_t n = std::min<size_t>(v.val.buf.size, sizeof text - 1);
        memcpy(text, v.val.buf.ptr, n);
        text[n] = '\0';
        result = cfgd_parse_ip_prefix(text, prefix);
    }
    confd_free_value(&v);
    return result;
}

int cfgd_parse_ipv4_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_INET); }
int cfgd_parse_ipv6_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_INET6); }
int cfgd_parse_ip_prefix(const char *text, ip_prefix_t *prefix) { return parse_prefix(text, prefix, AF_UNSPEC); }

const char *cfgd_format_addr_port(const ip_addr_t *addr, uint16_t port, char *buf, size_t size)
{
    char text[INET6_ADDRSTRLEN + 8];
    ip_addr_to_str(addr, text, sizeof text);
    snprintf(buf, size, "%s.%u.%u", text, static_cast<unsigned>(port >> 8), static_cast<unsigned>(port & 0xff));
    return buf;
}

void cfgd_time_to_datetime(time_t t, confd_datetime *dt)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    memset(dt, 0, sizeof *dt);
    dt->year = static_cast<int16_t>(tm.tm_year + 1900);
    dt->month = static_cast<uint8_t>(tm.tm_mon + 1);
    dt->day = static_cast<uint8_t>(tm.tm_mday);
    dt->hour = static_cast<uint8_t>(tm.tm_hour);
    dt->min = static_cast<uint8_t>(tm.tm_min);
    dt->sec = static_cast<uint8_t>(tm.tm_sec);
}

void cfgd_get_datetime(confd_datetime *dt)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    cfgd_time_to_datetime(tv.tv_sec, dt);
    dt->micro = static_cast<uint32_t>(tv.tv_usec);
}
