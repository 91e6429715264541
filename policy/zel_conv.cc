#include "policy/zel_conv.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "compiler/zel_action.h"
#include "yang/zel_yang_hashes.h"

namespace
{

constexpr std::array<std::pair<uint32_t, uint32_t>, 14> kActionTypes{{
    {zel_tag_policy_dscp, ZEL_ACT_SET_DSCP},
    {zel_tag_policy_local_tloc_list, ZEL_ACT_SET_LOCAL_TLOC_LIST},
    {zel_tag_policy_restrict, ZEL_ACT_SET_SVC_LOCAL_STRICT},
    {zel_tag_policy_backup_preferred_color, ZEL_ACT_SET_BACKUP_PREF_COLOR},
    {zel_tag_policy_tloc, ZEL_ACT_SET_TLOC},
    {zel_tag_policy_tloc_color_encap, ZEL_ACT_SET_TLOC_COLOR_ENCAP},
    {zel_tag_policy_log, ZEL_ACT_LOG},
    {zel_tag_policy_traffic_class, ZEL_ACT_SET_TRAFFIC_CLASS},
    {zel_tag_policy_svc_type, ZEL_ACT_SET_SVC_TYPE},
    {zel_tag_policy_tcp_optimization, ZEL_ACT_TCP_OPT},
    {zel_tag_policy_next_hop, ZEL_ACT_SET_NEXT_HOP},
    {zel_tag_policy_pool_id, ZEL_ACT_SET_NAT_POOL},
    {zel_tag_policy_qor_tloc_pref_list, ZEL_ACT_TLOC_LIST},
    {zel_tag_policy_local, ZEL_ACT_SET_SVC_LOCAL},
}};

}  // namespace

uint32_t zel_conv_direction(bool given, uint32_t enum_val)
{
    if (!given)
        enum_val = 2;
    return enum_val == 1 ? 1 : enum_val == 0 ? 2 : 3;
}

uint32_t zel_conv_base_action(uint32_t enum_val)
{
    if (enum_val > 1)
        return 0;
    return enum_val == 1 ? ZEL_ACT_REJECT : ZEL_ACT_ACCEPT;
}

uint32_t zel_conv_action_type(uint32_t tag)
{
    for (const auto &[t, type] : kActionTypes)
        if (t == tag)
            return type;
    return 0;
}

uint32_t zel_conv_enum_bit(uint32_t enum_val)
{
    ZEL_ASSERT_AT("zel_confd", __LINE__, enum_val < 32);
    return enum_val == 0 ? 0 : 1u << enum_val;
}

uint32_t zel_conv_enum_bits(const confd_value_t *v)
{
    if (v->type == C_ENUM_VALUE)
        return zel_conv_enum_bit(CONFD_GET_ENUM_VALUE(v));
    ZEL_INVARIANT("zel_confd", "(v)->type == C_LIST", v->type == C_LIST);
    uint32_t mask = 0;
    for (unsigned i = 0; i < CONFD_GET_LISTSIZE(v); i++) {
        const confd_value_t *e = &CONFD_GET_LIST(v)[i];
        ZEL_INVARIANT("zel_confd", "(e)->type == C_ENUM_VALUE", e->type == C_ENUM_VALUE);
        mask |= zel_conv_enum_bit(CONFD_GET_ENUM_VALUE(e));
    }
    return mask;
}

uint32_t zel_conv_tcp_flags(uint32_t bits) { return (bits & 1u) ? 2 : 0; }

uint32_t zel_conv_plp(uint32_t enum_val) { return enum_val == 0 ? 0 : 1; }

int32_t zel_conv_log_frequency(int32_t v)
{
    if (v <= 0)
        return v;
    int32_t p = 1;
    while (p <= v / 2)
        p <<= 1;
    return p;
}

bool zel_conv_range(const char *text, uint32_t *low, uint32_t *high)
{
    unsigned lo = 0, hi = 0;
    int n = sscanf(text, "%u-%u", &lo, &hi);
    if (n < 1)
        return false;
    *low = lo;
    *high = n == 2 ? hi : lo;
    return true;
}

ip_addr_t zel_conv_address(const char *text)
{
    ip_addr_t a{};
    in_addr v4;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        a.family = AF_INET;
        a.v4 = ntohl(v4.s_addr);
    } else if (inet_pton(AF_INET6, text, a.v6) == 1) {
        a.family = AF_INET6;
    } else {
        a = ip_addr_t{};
    }
    return a;
}

void zel_conv_buf(const confd_value_t *v, char *out, size_t size)
{
    size_t n = CONFD_GET_BUFSIZE(v);
    if (n >= size)
        n = size - 1;
    memcpy(out, CONFD_GET_BUFPTR(v), n);
    out[n] = '\0';
    // A buffer may carry its own terminator inside.
    out[strnlen(out, n)] = '\0';
}
