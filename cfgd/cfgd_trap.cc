// MIB names, trap groups and the SNMP side of every published notification.
#include "cfgd/cfgd_trap.h"

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include "cfgd/cfgd_internal.h"
#include "cfgd/cfgd_util.h"
#include "yang/zel_yang_hashes.h"

namespace
{

constexpr unsigned kBuckets = 256;
constexpr size_t kBitmapBytes = 256 / 8;

struct MibRow {
    uint32_t tag;
    uint32_t ns;
    char name[CFGD_TRAP_NAME_LEN];
    uint32_t trap_index;
    MibRow *next;
};

struct TrapGroup {
    char name[CFGD_TRAP_GROUP_NAME_LEN + 1];
    uint8_t per_module[kBitmapBytes];
    uint8_t all_modules[kBitmapBytes];
    TrapGroup *next;
};

std::array<MibRow *, kBuckets> g_mib{};
unsigned g_mib_rows = 0;
// Groups change on the loop thread and are read by the throttler's sends.
std::mutex g_group_mu;
TrapGroup *g_groups = nullptr;

// ---- module/level table ----

using IndexList = std::vector<uint8_t>;

// Trap indices per module selector and level; module 0 is the union below.
const IndexList kModuleSets[CFGD_TRAP_MODULES][CFGD_TRAP_LEVELS] = {
    {{}, {}, {}},
    {{}, {5}, {}},
    {{}, {4}, {}},
    {{29, 30}, {25, 26, 27, 28}, {}},
    {{}, {63, 64, 65}, {61, 62}},
    {{}, {6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, {}},
    {{}, {20, 21, 22, 23, 24}, {}},
    {{}, {56, 66, 67, 68, 69, 70}, {}},
    {{}, {36, 37, 38, 39, 40, 41, 42, 43, 72}, {31, 32, 33, 34, 35, 82, 86}},
    {{97}, {2, 3, 44, 45, 46, 47, 54, 71, 77, 81, 96}, {1, 48, 49, 50, 51, 52, 53, 55}},
    {{}, {57, 58, 80, 83, 84, 85, 87, 88, 89, 92}, {59, 60, 73}},
    {{}, {}, {74, 75, 76}},
    {{}, {79}, {78}},
    {{}, {90, 93, 94, 95}, {}},
};

constexpr uint8_t kAllLevel0[] = {29, 30, 97};
constexpr uint8_t kAllLevel1Modules[] = {2, 1, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13};
constexpr uint8_t kAllLevel2Modules[] = {11, 4, 8, 9, 10, 12};

void set_list(uint8_t *bitmap, const IndexList &list, bool on)
{
    for (uint8_t idx : list)
        cfgd_trap_set(bitmap, idx, on);
}

void set_level(uint8_t *bitmap, unsigned module, unsigned level, bool on)
{
    if (module >= CFGD_TRAP_MODULES || level >= CFGD_TRAP_LEVELS)
        return;
    if (module != 0) {
        set_list(bitmap, kModuleSets[module][level], on);
        return;
    }
    if (level == 0) {
        for (uint8_t idx : kAllLevel0)
            cfgd_trap_set(bitmap, idx, on);
        return;
    }
    for (uint8_t m :
         level == 1 ? std::span<const uint8_t>(kAllLevel1Modules) : std::span<const uint8_t>(kAllLevel2Modules))
        set_list(bitmap, kModuleSets[m][level], on);
}

bool bit_set(const uint8_t *bitmap, uint32_t idx) { return (bitmap[idx / 8] >> (idx % 8)) & 1; }

bool group_enabled(const TrapGroup *g, uint32_t idx)
{
    if (idx < 1 || idx > CFGD_TRAP_MAX_INDEX) {
        ZEL_LOG("Trap value out of bounds: trap_index %d", static_cast<int>(idx));
        return false;
    }
    return bit_set(g->per_module, idx) || bit_set(g->all_modules, idx);
}

TrapGroup *find_group(const char *name)
{
    for (TrapGroup *g = g_groups; g != nullptr; g = g->next)
        if (strncmp(g->name, name, CFGD_TRAP_GROUP_NAME_LEN) == 0)
            return g;
    return nullptr;
}

void key_text(const confd_value_t *v, char *out, size_t size)
{
    if (v->type == C_BUF) {
        size_t n = std::min<size_t>(v->val.buf.size, size - 1);
        memcpy(out, v->val.buf.ptr, n);
        out[n] = '\0';
    } else {
        confd_pp_value(out, static_cast<int>(size), v);
    }
}

uint32_t name_hash(const char *s)
{
    uint32_t h = 0x811c9dc5u;
    for (; *s != '\0'; s++)
        h = (h ^ static_cast<uint8_t>(*s)) * 0x01000193u;
    return h & 0x7fffffffu;
}

// The platform's notifications and their fields; the daemon's own carry the YANG hashes.
void fill_mib_table()
{
    const uint32_t platform_ns = name_hash("ardenta-platform-notifications");
    char name[CFGD_TRAP_NAME_LEN];
    for (uint32_t idx = 1; idx <= CFGD_TRAP_MAX_INDEX; idx++) {
        if (idx == CFGD_TRAP_POLICY_STATUS) {
            cfgd_trap_add_hash_entry(zel_tag_policy_policy_status, zel_ns_policy, "ardentaPolicyStatus", idx);
        } else if (idx == CFGD_TRAP_ACCESS_LIST_STATUS) {
            cfgd_trap_add_hash_entry(zel_tag_policy_access_list_status, zel_ns_policy, "ardentaAccessListStatus", idx);
        } else {
            snprintf(name, sizeof name, "ardentaNotification%02u", idx);
            cfgd_trap_add_hash_entry(name_hash(name), platform_ns, name, idx);
        }
    }
    struct Field {
        uint32_t tag;
        const char *name;
    };
    constexpr Field kOwn[] = {
        {zel_tag_policy_severity_level, "ardentaSeverityLevel"},
        {zel_tag_policy_host_name, "ardentaHostName"},
        {zel_tag_policy_system_ip, "ardentaSystemIp"},
        {zel_tag_policy_policy_name, "ardentaPolicyName"},
        {zel_tag_policy_vpn_list_name, "ardentaVpnListName"},
        {zel_tag_policy_status, "ardentaStatus"},
        {zel_tag_policy_access_list_name, "ardentaAccessListName"},
    };
    for (const Field &f : kOwn)
        cfgd_trap_add_hash_entry(f.tag, zel_ns_policy, f.name, 0);
    constexpr unsigned kFields = CFGD_TRAP_MIB_ROWS - CFGD_TRAP_MAX_INDEX;
    for (unsigned i = std::size(kOwn); i < kFields; i++) {
        snprintf(name, sizeof name, "ardentaField%03u", i);
        cfgd_trap_add_hash_entry(name_hash(name), platform_ns, name, 0);
    }
}

void free_mib_table()
{
    for (MibRow *&head : g_mib) {
        while (head != nullptr) {
            MibRow *next = head->next;
            delete head;
            head = next;
        }
    }
    g_mib_rows = 0;
}

void free_groups()
{
    std::lock_guard lk(g_group_mu);
    while (g_groups != nullptr) {
        TrapGroup *next = g_groups->next;
        delete g_groups;
        g_groups = next;
    }
}

}  // namespace

void cfgd_trap_init()
{
    // A retry after a failed init refills the table: start from an empty one.
    free_mib_table();
    free_groups();
    fill_mib_table();
}

void cfgd_trap_deinit()
{
    free_mib_table();
    free_groups();
}

unsigned cfgd_trap_mib_rows() { return g_mib_rows; }

unsigned cfgd_trap_group_count()
{
    std::lock_guard lk(g_group_mu);
    unsigned n = 0;
    for (TrapGroup *g = g_groups; g != nullptr; g = g->next)
        n++;
    return n;
}

int cfgd_trap_add_hash_entry(uint32_t tag, uint32_t ns, const char *mib_name, uint32_t trap_index)
{
    auto *row = new (std::nothrow) MibRow{};
    if (row == nullptr)
        return 12;
    row->tag = tag;
    row->ns = ns;
    snprintf(row->name, sizeof row->name, "%s", mib_name);
    row->trap_index = trap_index;
    MibRow **slot = &g_mib[tag & 0xff];
    while (*slot != nullptr)
        slot = &(*slot)->next;
    *slot = row;
    g_mib_rows++;
    return 0;
}

const char *cfgd_trap_get_mib_name(uint32_t tag, uint32_t ns, uint32_t *trap_index)
{
    for (const MibRow *r = g_mib[tag & 0xff]; r != nullptr; r = r->next) {
        if (r->tag == tag && (ns == 0 || r->ns == ns)) {
            if (trap_index != nullptr)
                *trap_index = r->trap_index;
            return r->name;
        }
    }
    return nullptr;
}

int cfgd_trap_set(uint8_t *bitmap, uint32_t trap_index, bool on)
{
    if (trap_index < 1 || trap_index > CFGD_TRAP_MAX_INDEX) {
        ZEL_LOG("Trap value out of bounds: trap_index %d", static_cast<int>(trap_index));
        return 22;
    }
    const uint8_t bit = static_cast<uint8_t>(1u << (trap_index % 8));
    bitmap[trap_index / 8] = static_cast<uint8_t>(on ? bitmap[trap_index / 8] | bit : bitmap[trap_index / 8] & ~bit);
    return 0;
}

bool cfgd_trap_is_enabled(const char *group, uint32_t trap_index)
{
    std::lock_guard lk(g_group_mu);
    const TrapGroup *g = find_group(group);
    return g != nullptr && group_enabled(g, trap_index);
}

int cfgd_trap_add_tag(const char *group)
{
    auto *g = new (std::nothrow) TrapGroup{};
    if (g == nullptr) {
        ZEL_LOG("Failed to allocate memory for trap tag %s", group);
        return 2;
    }
    snprintf(g->name, sizeof g->name, "%s", group);
    std::lock_guard lk(g_group_mu);
    TrapGroup **slot = &g_groups;
    while (*slot != nullptr)
        slot = &(*slot)->next;
    *slot = g;
    return 0;
}

bool cfgd_trap_find_tag(const char *group)
{
    std::lock_guard lk(g_group_mu);
    return find_group(group) != nullptr;
}

void cfgd_trap_bitmap_dump(const char *group)
{
    if (!cfgd_debug_enabled() && (zel_debug_flags & ZEL_DEBUG_CONFIG) == 0)
        return;
    char bits[CFGD_TRAP_MAX_INDEX + 1];
    {
        std::lock_guard lk(g_group_mu);
        const TrapGroup *g = find_group(group);
        if (g == nullptr)
            return;
        for (uint32_t i = 1; i <= CFGD_TRAP_MAX_INDEX; i++)
            bits[i - 1] = group_enabled(g, i) ? '1' : '0';
    }
    bits[CFGD_TRAP_MAX_INDEX] = '\0';
    ZEL_LOG("Trap group %s has a combined bitmap %s", group, bits);
}

int cfgd_config_trap_group(cfgd_sub_point *, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys, uint16_t,
                           confd_tag_value_t *)
{
    if (num_keys != 1) {
        ZEL_LOG("Incorrect number of keys %u", num_keys);
        return 1;
    }
    char name[CFGD_TRAP_GROUP_NAME_LEN + 1];
    key_text(&keys[0], name, sizeof name);
    CFGD_DEBUG("Configuring group %s with %d operation", name, op);
    if (op == MOP_DELETED) {
        std::lock_guard lk(g_group_mu);
        for (TrapGroup **slot = &g_groups; *slot != nullptr; slot = &(*slot)->next) {
            if (strncmp((*slot)->name, name, CFGD_TRAP_GROUP_NAME_LEN) == 0) {
                TrapGroup *g = *slot;
                *slot = g->next;
                delete g;
                return 0;
            }
        }
        ZEL_LOG("Failed to find tag %s", name);
    } else if (op == MOP_CREATED && cfgd_trap_add_tag(name) != 0) {
        ZEL_LOG("Unable to create a new tag for group %s", name);
        return 2;
    }
    return 0;
}

int cfgd_config_trap_group_enable(cfgd_sub_point *, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                                  uint16_t num_values, confd_tag_value_t *values)
{
    if (num_keys != 2) {
        ZEL_LOG("Incorrect number of keys %u", num_keys);
        return 1;
    }
    char name[CFGD_TRAP_GROUP_NAME_LEN + 1];
    key_text(&keys[0], name, sizeof name);
    const unsigned module = keys[1].type == C_ENUM_VALUE ? static_cast<unsigned>(CONFD_GET_ENUM_VALUE(&keys[1])) : 0;
    {
        std::lock_guard lk(g_group_mu);
        TrapGroup *g = find_group(name);
        if (g == nullptr) {
            ZEL_LOG("Failed to find tag entry for %s group", name);
            return 1;
        }
        uint8_t saved[kBitmapBytes];
        memcpy(saved, g->per_module, sizeof saved);
        for (unsigned level = 0; level < CFGD_TRAP_LEVELS; level++)
            set_level(g->per_module, module, level, false);
        for (uint16_t i = 0; i < num_values && (op == MOP_CREATED || op == MOP_MODIFIED); i++) {
            const confd_value_t &v = values[i].v;
            if (values[i].tag.tag != zel_tag_snmp_level || v.type != C_LIST)
                continue;
            for (unsigned k = 0; k < v.val.list.size; k++)
                if (v.val.list.ptr[k].type == C_ENUM_VALUE)
                    set_level(g->per_module, module, static_cast<unsigned>(v.val.list.ptr[k].val.enumvalue), true);
        }
        if (module == 0) {
            memcpy(g->all_modules, g->per_module, sizeof saved);
            memcpy(g->per_module, saved, sizeof saved);
        }
    }
    CFGD_DEBUG("Finished configuring %s group %d module", name, module);
    cfgd_trap_bitmap_dump(name);
    return 0;
}

void cfgd_trap_item_free(cfgd_notif_item *item)
{
    cfgd_trap_item &t = item->trap;
    for (int i = 0; i < t.num_bufs; i++)
        cfgd_notif_free(t.bufs[i]);
    t.num_bufs = 0;
    if (t.varbinds != nullptr)
        cfgd_notif_free(t.varbinds);
    t.varbinds = nullptr;
    t.num_varbinds = 0;
}

void cfgd_trap_populate(cfgd_notif_item *item)
{
    cfgd_trap_item &t = item->trap;
    if (item->num_values <= 4) {
        ZEL_LOG("Cannot populate empty notification queue item");
        return;
    }
    const size_t nvb = static_cast<size_t>(item->num_values - 3);
    t.varbinds = static_cast<confd_snmp_varbind *>(cfgd_notif_alloc(nvb * sizeof(confd_snmp_varbind)));
    if (t.varbinds == nullptr) {
        ZEL_LOG("Cannot allocate for trap item");
        return;
    }
    memset(t.varbinds, 0, nvb * sizeof(confd_snmp_varbind));
    const confd_tag_value_t &head = item->values[0];
    if (head.v.type != C_XMLBEGIN) {
        ZEL_LOG("Notification starts with wrong tag value type");
        cfgd_trap_item_free(item);
        return;
    }
    const uint32_t ns = head.tag.ns;
    const char *trap_name = cfgd_trap_get_mib_name(head.tag.tag, ns, &t.index);
    if (trap_name == nullptr) {
        ZEL_LOG("Notification name couldn't be found in trap table for tag:%u ns:%u", head.tag.tag, ns);
        cfgd_trap_item_free(item);
        return;
    }
    snprintf(t.name, sizeof t.name, "%s", trap_name);
    auto bind = [&](const char *name, const confd_value_t &v) {
        confd_snmp_varbind &vb = t.varbinds[t.num_varbinds++];
        vb.type = CONFD_SNMP_VARIABLE;
        snprintf(vb.var.name, sizeof vb.var.name, "%s", name);
        vb.val = v;
    };
    confd_value_t when;
    CONFD_SET_DATETIME(&when, item->time);
    bind("eventTime", when);
    CFGD_FATAL_UNLESS(item->values[1].v.type == C_ENUM_VALUE, "Notification severity is no enumeration");
    bind("netconfNotificationSeverity", item->values[1].v);
    // An item that does not end with its end tag must not bind past the array.
    for (int i = 4; i < item->num_values && static_cast<size_t>(t.num_varbinds) < nvb; i++) {
        const confd_tag_value_t &tv = item->values[i];
        if (tv.v.type == C_XMLEND)
            continue;
        const char *field = cfgd_trap_get_mib_name(tv.tag.tag, tv.tag.ns != 0 ? tv.tag.ns : ns, nullptr);
        if (field == nullptr) {
            ZEL_LOG("Notification field name couldn't be found in trap table");
            continue;
        }
        if (tv.v.type != C_IPV4 && tv.v.type != C_IPV6) {
            bind(field, tv.v);
            continue;
        }
        char *buf = t.num_bufs < static_cast<int>(CFGD_TRAP_MAX_BUFS)
                        ? static_cast<char *>(cfgd_notif_alloc(CFGD_TRAP_BUF_LEN))
                        : nullptr;
        if (buf == nullptr) {
            ZEL_LOG("Failed to allocate memory for trap buffer fields");
            continue;
        }
        t.bufs[t.num_bufs++] = buf;
        if (tv.v.type == C_IPV4)
            inet_ntop(AF_INET, &tv.v.val.ip, buf, CFGD_TRAP_BUF_LEN);
        else
            inet_ntop(AF_INET6, &tv.v.val.ip6, buf, CFGD_TRAP_BUF_LEN);
        confd_value_t text;
        CONFD_SET_STR(&text, buf);
        bind(field, text);
    }
}

void cfgd_trap_send(cfgd_notif_item *item, confd_notification_ctx *snmp_ctx)
{
    cfgd_trap_item &t = item->trap;
    if (t.varbinds == nullptr || t.name[0] == '\0')
        return;
    CFGD_DEBUG("Processing trap %s", t.name);
    std::lock_guard lk(g_group_mu);
    for (const TrapGroup *g = g_groups; g != nullptr; g = g->next) {
        if (!group_enabled(g, t.index))
            continue;
        if (confd_notification_set_snmp_notify_name(snmp_ctx, g->name) != CONFD_OK) {
            ZEL_LOG("Failed to set snmp notify/tag name : %s (%d) %s", CFGD_ERR_ARGS);
            continue;
        }
        if (confd_notification_send_snmp(snmp_ctx, t.name, t.varbinds, t.num_varbinds) != CONFD_OK) {
            ZEL_LOG("Failed to send snmp notification %s : %s (%d) %s", t.name, CFGD_ERR_ARGS);
            continue;
        }
        CFGD_DEBUG("Sending trap %s", t.name);
    }
}
