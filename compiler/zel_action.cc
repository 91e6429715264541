#include "compiler/zel_action.h"

#include "common/zel_log.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace
{

constexpr std::array<const char *, 24> kActionNames = {"-",
                                                       "reject",
                                                       "accept",
                                                       "set tloc",
                                                       "set tloc-color-encap",
                                                       "mirror",
                                                       "cflowd-v9",
                                                       "police",
                                                       "count",
                                                       "set fc",
                                                       "set next-hop",
                                                       "set nat use-vpn",
                                                       "sla-class",
                                                       "tloc-list",
                                                       "set dscp",
                                                       "set svc-type",
                                                       "set nat pool-id",
                                                       "log",
                                                       "set svc-local",
                                                       "set svc-local-strict",
                                                       "set backup-preferred-color",
                                                       "set traffic-class",
                                                       "set local-tloc-list",
                                                       "tcp optimization"};

void copy_name(char (&dst)[ZEL_ACTION_NAME_LEN], const char *src)
{
    if (src)
        strncpy(dst, src, sizeof dst);
}

bool name_eq(const char (&slot_name)[ZEL_ACTION_NAME_LEN], const char *name)
{
    return strncmp(slot_name, name, ZEL_ACTION_NAME_LEN) == 0;
}

void encode_police(zel_slot_police &p, const zel_action_spec &a, uint64_t clock_hz)
{
    const zel_police_rate r = zel_police_rate_of(a.rate_bps, a.burst_bytes, clock_hz);
    p.bank = 0;
    p.rate = r.rate;
    p.burst = r.burst;
    p.oob_action = a.exceed;
    p.flags = ZEL_POLICE_ENCODED;
    snprintf(p.name, sizeof p.name, "%d.%s", a.seq, a.name ? a.name : "");
}

void encode_params(zel_action_slot &s, const zel_action_spec &a, uint64_t clock_hz)
{
    switch (a.param_type) {
    case ZEL_ACT_SET_TLOC:
        s.p.tloc = {a.tloc_index, a.vpn_label, static_cast<uint8_t>(a.tloc_resolved ? 1 : 0)};
        break;
    case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
        s.p.color_encap = {a.color, a.encap};
        break;
    case ZEL_ACT_MIRROR:
        s.p.mirror.value = a.mirror_value;
        s.p.mirror.src = a.mirror_src;
        s.p.mirror.dst = a.mirror_dst;
        break;
    case ZEL_ACT_POLICE:
        encode_police(s.p.police, a, clock_hz);
        break;
    case ZEL_ACT_COUNT:
        s.p.count.bank = 0;
        copy_name(s.p.count.name, a.name);
        break;
    case ZEL_ACT_SET_FC:
        s.p.fc = static_cast<int32_t>(a.value);
        break;
    case ZEL_ACT_SET_NEXT_HOP:
        s.p.next_hop = a.next_hop;
        break;
    case ZEL_ACT_SET_NAT_USE_VPN:
        s.p.vrf_id = a.vrf_id;
        break;
    case ZEL_ACT_SLA_CLASS:
        s.p.sla.primary = a.sla_index;
        s.p.sla.backup = a.strict ? 5 : 0;
        s.p.sla.preferred_color = a.color;
        break;
    case ZEL_ACT_TLOC_LIST:
        zel_tloc_list_fill(a.tlocs, s.p.tloc_list);
        break;
    case ZEL_ACT_SET_DSCP:
    case ZEL_ACT_SET_SVC_TYPE:
    case ZEL_ACT_SET_TRAFFIC_CLASS:
        s.p.u8 = static_cast<uint8_t>(a.value);
        break;
    case ZEL_ACT_SET_NAT_POOL:
    case ZEL_ACT_SET_BACKUP_PREF_COLOR:
        s.p.u32 = static_cast<uint32_t>(a.value);
        break;
    case ZEL_ACT_SET_LOCAL_TLOC_LIST:
        s.p.local_tloc = {a.color, a.encap, static_cast<uint8_t>(a.restrict_ ? 1 : 0)};
        break;
    default:  // 6, 17, 18, 19, 23: the type alone
        break;
    }
}

}  // namespace

const char *zel_action_name(uint32_t code) { return code < kActionNames.size() ? kActionNames[code] : "-"; }

uint32_t zel_tloc_list_fill(std::span<const zel_tloc_choice> choices, zel_slot_tloc_entry out[ZEL_TLOC_LIST_ENTRIES])
{
    std::vector<const zel_tloc_choice *> kept;
    for (const zel_tloc_choice &c : choices) {
        if (!c.resolved || !c.up || c.vpn_label == 0)
            continue;
        if (!kept.empty() && c.preference < kept.front()->preference)
            continue;
        if (kept.size() == ZEL_TLOC_LIST_ENTRIES)
            break;
        kept.push_back(&c);
    }
    uint32_t n = 0;
    uint64_t total = 0;
    bool equal = true;
    auto put = [&](const zel_tloc_choice *c) { out[n++] = {c->tloc_index, c->vpn_label, 1, {}}; };
    for (const zel_tloc_choice *c : kept) {
        put(c);
        total += c->weight;
        equal = equal && c->weight == kept.front()->weight;
    }
    if (kept.empty())
        return 0;
    if (equal) {
        for (size_t k = 0; n < ZEL_TLOC_LIST_ENTRIES; k++)
            put(kept[k % kept.size()]);
        return static_cast<uint32_t>(kept.size());
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const zel_tloc_choice *a, const zel_tloc_choice *b) { return a->weight > b->weight; });
    for (const zel_tloc_choice *c : kept) {
        const uint64_t share = uint64_t{c->weight} * ZEL_TLOC_LIST_ENTRIES / total;
        for (uint64_t k = 1; k < share && n < ZEL_TLOC_LIST_ENTRIES; k++)
            put(c);
    }
    for (size_t k = 0; n < ZEL_TLOC_LIST_ENTRIES; k++)
        put(kept[k % kept.size()]);
    return static_cast<uint32_t>(kept.size());
}

int zel_compile_sequence_actions(std::span<const zel_action_spec> actions, uint64_t clock_hz, zel_action_data *out)
{
    memset(out, 0, sizeof *out);
    uint32_t i = 0;
    int police = -1;
    for (const zel_action_spec &a : actions) {
        if (i >= MAX_ACTIONS_IN_RULE)
            return 22;
        zel_action_slot &s = out->slot[i];
        s.code = a.code;
        s.param_type = 0;
        if (a.code == ZEL_ACT_SET_FC && a.unresolved)
            continue;  // the next action reuses this slot
        if (a.param_type != 0) {
            s.param_type = a.param_type;
            encode_params(s, a, clock_hz);
        }
        if (a.code == ZEL_ACT_POLICE && i >= 2)
            police = static_cast<int>(i);
        i++;
    }
    ZEL_ASSERT(i <= MAX_ACTIONS_IN_RULE);
    // The forwarding plane looks for a policer in slot 1.
    if (police >= 2)
        std::swap(out->slot[1], out->slot[police]);
    return 0;
}

void zel_default_action(uint32_t code, uint32_t param_type, uint8_t sla_primary, bool strict, uint32_t preferred_color,
                        zel_action_data *out)
{
    memset(out, 0, sizeof *out);
    zel_action_slot &s = out->slot[0];
    s.code = code;
    s.param_type = param_type;
    if (param_type == ZEL_ACT_SLA_CLASS) {
        s.p.sla.primary = sla_primary;
        s.p.sla.backup = strict ? 5 : 0;
        s.p.sla.preferred_color = preferred_color;
    }
}

// ---- statistics ----------------------------------------------------------------------------------------

void zel_action_blocks_visit(void *image, void (*fn)(zel_action_data *data, void *arg), void *arg)
{
    auto *base = static_cast<uint8_t *>(image);
    const auto *h = static_cast<const zel_image_header *>(image);
    const zel_table_dir_entry *dir = zel_image_dir(image);
    for (uint32_t d = 0; d < h->dir_count; d++) {
        uint32_t word;
        memcpy(&word, base + dir[d].offset, sizeof word);
        if (zel_table_word_kind(word) != ZEL_TABLE_KIND_ACTION || dir[d].entry_size < ZEL_ACTION_BLOCK_SIZE)
            continue;
        uint32_t pos = dir[d].offset + 4;
        if (pos % 8)
            pos += 4;
        for (uint32_t i = 0; i < dir[d].count; i++) {
            auto *b = reinterpret_cast<zel_action_block *>(base + pos + uint64_t{i} * dir[d].entry_size);
            fn(&b->data, arg);
        }
    }
}

namespace
{

struct stat_query {
    const char *name;
    uint32_t type;
    bool clear;
    uint64_t a, b;
};

void visit_stats(zel_action_data *data, void *arg)
{
    auto *q = static_cast<stat_query *>(arg);
    for (zel_action_slot &s : data->slot) {
        if (s.param_type != q->type)
            continue;
        if (q->type == ZEL_ACT_COUNT && name_eq(s.p.count.name, q->name)) {
            zel_slot_count &c = s.p.count;
            const uint8_t bank = c.bank & 1;
            if (q->clear) {
                c.bank = bank ^ 1;
                c.packets[bank] = c.bytes[bank] = 0;
            } else {
                q->a += c.packets[bank];
                q->b += c.bytes[bank];
            }
        } else if (q->type == ZEL_ACT_POLICE && name_eq(s.p.police.name, q->name)) {
            zel_slot_police &p = s.p.police;
            const uint8_t bank = p.bank & 1;
            if (q->clear) {
                p.bank = bank ^ 1;
                p.drops[bank] = p.bytes[bank] = 0;
            } else {
                q->a += p.drops[bank];
                q->b += p.bytes[bank];
            }
        }
    }
}

void run_stats(const void *image, stat_query &q)
{
    zel_action_blocks_visit(const_cast<void *>(image), visit_stats, &q);
}

}  // namespace

void zel_counter_totals(const void *image, const char *name, uint64_t *packets, uint64_t *bytes)
{
    stat_query q{name, ZEL_ACT_COUNT, false, 0, 0};
    run_stats(image, q);
    *packets = q.a;
    *bytes = q.b;
}

void zel_counter_clear(void *image, const char *name)
{
    stat_query q{name, ZEL_ACT_COUNT, true, 0, 0};
    run_stats(image, q);
}

void zel_policer_totals(const void *image, const char *name, uint64_t *drops, uint64_t *bytes)
{
    stat_query q{name, ZEL_ACT_POLICE, false, 0, 0};
    run_stats(image, q);
    *drops = q.a;
    *bytes = q.b;
}

void zel_policer_clear(void *image, const char *name)
{
    stat_query q{name, ZEL_ACT_POLICE, true, 0, 0};
    run_stats(image, q);
}

// ---- printing ------------------------------------------------------------------------------------------

const char *zel_addr_record_str(const zel_addr_record *rec)
{
    static char ring[8][128];
    static unsigned next;
    char *buf = ring[next++ % 8];
    if (rec->family == 1) {
        uint32_t v;
        memcpy(&v, rec->addr, sizeof v);
        snprintf(buf, 128, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
        return buf;
    }
    uint16_t g[8];
    for (int i = 0; i < 8; i++)
        g[i] = static_cast<uint16_t>(rec->addr[2 * i] << 8 | rec->addr[2 * i + 1]);
    int best = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0)
            j++;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j > i ? j : i + 1;
    }
    size_t len = 0;
    for (int i = 0; i < 8; i++) {
        if (i == best) {
            len += snprintf(buf + len, 128 - len, "::");
            i += best_len - 1;
            continue;
        }
        const bool sep = i > 0 && i != best + best_len;
        len += snprintf(buf + len, 128 - len, "%s%x", sep ? ":" : "", g[i]);
    }
    return buf;
}

void zel_action_slots_print(const zel_action_data *data, const zel_out_sink *out)
{
    for (const zel_action_slot &s : data->slot) {
        if (s.param_type == 0) {
            if (s.code != 0)
                zel_out_printf(out, "%s\n", zel_action_name(s.code));
            continue;
        }
        zel_out_printf(out, "%s\n", zel_action_name(s.param_type));
        switch (s.param_type) {
        case ZEL_ACT_SET_TLOC:
            zel_out_printf(out, "\tresolved: %d\n", s.p.tloc.resolved);
            zel_out_printf(out, "\tvpn-label: %d\n", static_cast<int>(s.p.tloc.vpn_label));
            zel_out_printf(out, "\ttloc-index: %d\n", static_cast<int>(s.p.tloc.tloc_index));
            break;
        case ZEL_ACT_SET_TLOC_COLOR_ENCAP:
            zel_out_printf(out, "\tcolor: 0x%x\n", s.p.color_encap.color);
            zel_out_printf(out, "\tencap: 0x%x\n", s.p.color_encap.encap);
            break;
        case ZEL_ACT_MIRROR: {
            zel_addr_record src = s.p.mirror.src, dst = s.p.mirror.dst;
            for (zel_addr_record *r : {&src, &dst}) {
                uint32_t w;
                memcpy(&w, r->addr, sizeof w);
                w = __builtin_bswap32(w);
                memcpy(r->addr, &w, sizeof w);
            }
            zel_out_printf(out, "\tsrc-ip: %s\n", zel_addr_record_str(&src));
            zel_out_printf(out, "\tdst-ip: %s\n", zel_addr_record_str(&dst));
            break;
        }
        case ZEL_ACT_POLICE: {
            const zel_slot_police &p = s.p.police;
            const int bank = p.bank & 1;
            zel_out_printf(out, "\t%11s %.64s\n", "name:", p.name);
            zel_out_printf(out, "\t%11s %#016lx\n", "rate:", static_cast<unsigned long>(p.rate));
            zel_out_printf(out, "\t%11s %#016lx\n", "burst:", static_cast<unsigned long>(p.burst));
            zel_out_printf(out, "\t%11s %s\n", "oob-action:", p.oob_action ? "plp-high" : "drop");
            zel_out_printf(out, "\t%11s %#016lx\n", "Last Seen:", static_cast<unsigned long>(p.last_seen));
            zel_out_printf(out, "\t%11s %#016lx\n", "Tokens:", static_cast<unsigned long>(p.tokens));
            zel_out_printf(out, "\t%11s %#016lx\n", "Drops:", static_cast<unsigned long>(p.drops[bank]));
            zel_out_printf(out, "\t%11s %#016lx\n", "Bytes:", static_cast<unsigned long>(p.bytes[bank]));
            break;
        }
        case ZEL_ACT_COUNT:
            zel_out_printf(out, "  %.64s\n", s.p.count.name);
            break;
        case ZEL_ACT_SET_FC:
            zel_out_printf(out, "  %d\n", s.p.fc);
            break;
        case ZEL_ACT_SET_NEXT_HOP:
            zel_out_printf(out, "\tnext-hop: %s\n", zel_addr_record_str(&s.p.next_hop));
            break;
        case ZEL_ACT_SET_NAT_USE_VPN:
            zel_out_printf(out, "\tnat use-vpn (vrid): %u\n", s.p.vrf_id);
            break;
        case ZEL_ACT_SLA_CLASS:
            zel_out_printf(out, "\tprimary: %d\n", s.p.sla.primary);
            zel_out_printf(out, "\tbackup: %d\n", s.p.sla.backup);
            zel_out_printf(out, "\tpreferred_color: 0x%x\n", s.p.sla.preferred_color);
            break;
        case ZEL_ACT_TLOC_LIST:
            for (const zel_slot_tloc_entry &e : s.p.tloc_list) {
                zel_out_printf(out, "\tresolved: %d\n", e.resolved);
                zel_out_printf(out, "\tvpn-label: %d\n", static_cast<int>(e.vpn_label));
                zel_out_printf(out, "\ttloc-index: %d\n", static_cast<int>(e.tloc_index));
            }
            break;
        case ZEL_ACT_SET_DSCP:
            zel_out_printf(out, "\tdscp: %u\n", s.p.u8);
            break;
        case ZEL_ACT_SET_SVC_TYPE:
            zel_out_printf(out, "\tsvc-type: %d\n", s.p.u8);
            break;
        case ZEL_ACT_SET_NAT_POOL:
            zel_out_printf(out, "\tnat pool-id: %u\n", s.p.u32);
            break;
        case ZEL_ACT_LOG:
            zel_out_printf(out, "\tLog\n");
            break;
        case ZEL_ACT_SET_SVC_LOCAL:
            zel_out_printf(out, "\tSvc-Local\n");
            break;
        case ZEL_ACT_SET_SVC_LOCAL_STRICT:
            zel_out_printf(out, "\tSvc-Local-Strict\n");
            break;
        case ZEL_ACT_SET_BACKUP_PREF_COLOR:
            zel_out_printf(out, "\tBackup preferred color: 0x%x\n", s.p.u32);
            break;
        case ZEL_ACT_SET_TRAFFIC_CLASS:
            zel_out_printf(out, "\tTraffic-Class: %u\n", s.p.u8);
            break;
        case ZEL_ACT_SET_LOCAL_TLOC_LIST:
            zel_out_printf(out, "\tColor Mask: 0x%x, Encap Mask: 0x%x, Restrict: %s\n", s.p.local_tloc.color_mask,
                           s.p.local_tloc.encap_mask, s.p.local_tloc.restrict_ ? "Yes" : "No");
            break;
        case ZEL_ACT_TCP_OPT:
            zel_out_printf(out, "\tTCP Optimization\n");
            break;
        default:
            break;
        }
    }
}
