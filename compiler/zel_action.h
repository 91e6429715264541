// Action blocks: 12 slots of 256 bytes per rule, shared with the forwarding plane.
//
// Encoding a sequence's configured actions into a block, the weighted TLOC-list fill, the counter and
// policer banks inside published programs (read totals, clear by flipping the bank) and slot printing.
#pragma once

#include "common/zel_out_sink.h"
#include "compiler/zel_image.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

inline constexpr uint32_t MAX_ACTIONS_IN_RULE = 12;
inline constexpr uint32_t ZEL_ACTION_SLOT_SIZE = 256;
inline constexpr uint32_t ZEL_ACTION_DATA_SIZE = MAX_ACTIONS_IN_RULE * ZEL_ACTION_SLOT_SIZE;            // 3072
inline constexpr uint32_t ZEL_ACTION_BLOCK_SIZE = ZEL_ACTION_DATA_SIZE + sizeof(zel_action_block_hdr);  // 3080
inline constexpr uint32_t ZEL_TLOC_LIST_ENTRIES = 16;
inline constexpr uint32_t ZEL_ACTION_NAME_LEN = 64;

// Action codes; also the parameter type of a slot that carries that action's parameters.
enum zel_action_code : uint32_t {
    ZEL_ACT_REJECT = 1,
    ZEL_ACT_ACCEPT = 2,
    ZEL_ACT_SET_TLOC = 3,
    ZEL_ACT_SET_TLOC_COLOR_ENCAP = 4,
    ZEL_ACT_MIRROR = 5,
    ZEL_ACT_CFLOWD = 6,
    ZEL_ACT_POLICE = 7,
    ZEL_ACT_COUNT = 8,
    ZEL_ACT_SET_FC = 9,
    ZEL_ACT_SET_NEXT_HOP = 10,
    ZEL_ACT_SET_NAT_USE_VPN = 11,
    ZEL_ACT_SLA_CLASS = 12,
    ZEL_ACT_TLOC_LIST = 13,
    ZEL_ACT_SET_DSCP = 14,
    ZEL_ACT_SET_SVC_TYPE = 15,
    ZEL_ACT_SET_NAT_POOL = 16,
    ZEL_ACT_LOG = 17,
    ZEL_ACT_SET_SVC_LOCAL = 18,
    ZEL_ACT_SET_SVC_LOCAL_STRICT = 19,
    ZEL_ACT_SET_BACKUP_PREF_COLOR = 20,
    ZEL_ACT_SET_TRAFFIC_CLASS = 21,
    ZEL_ACT_SET_LOCAL_TLOC_LIST = 22,
    ZEL_ACT_TCP_OPT = 23,
};

// "reject", "accept", ... ; "-" for any other code.
const char *zel_action_name(uint32_t code);

// Address record as kept in slots: 16 address bytes (an IPv4 address as a host-order word in the first
// four), the family word (1 IPv4, 2 IPv6), 4 bytes of 0.
struct zel_addr_record {
    uint8_t addr[16];
    uint32_t family;
    uint32_t reserved;
};
static_assert(sizeof(zel_addr_record) == 24);

struct zel_slot_tloc {  // 3 set tloc
    uint32_t tloc_index;
    uint32_t vpn_label;
    uint8_t resolved;
};
struct zel_slot_color_encap {  // 4 set tloc-color-encap
    uint32_t color;
    uint32_t encap;
};
struct zel_slot_mirror {  // 5 mirror
    uint32_t value;
    uint8_t reserved[36];
    zel_addr_record src;  // slot offset 104
    zel_addr_record dst;  // slot offset 128
};
struct zel_slot_police {  // 7 police
    uint8_t bank;
    uint8_t reserved0[7];
    uint64_t rate;   // clock cycles per byte
    uint64_t burst;  // clock cycles
    uint64_t last_seen;
    uint64_t tokens;
    uint64_t drops[2];
    uint8_t reserved1[8];
    uint64_t bytes[2];               // slot offset 128
    uint32_t oob_action;             // 0 drop, otherwise mark PLP high
    uint8_t flags;                   // ZEL_POLICE_ENCODED
    char name[ZEL_ACTION_NAME_LEN];  // "%d.%s": sequence number, policer name
};
inline constexpr uint8_t ZEL_POLICE_ENCODED = 0x2;
struct zel_slot_count {  // 8 count
    uint8_t bank;
    uint8_t reserved0[7];
    uint64_t packets[2];
    uint64_t bytes[2];
    char name[ZEL_ACTION_NAME_LEN];
};
struct zel_slot_sla {  // 12 sla-class
    uint8_t primary;
    uint8_t backup;  // 5 when strict
    uint8_t reserved[2];
    uint32_t preferred_color;
};
struct zel_slot_tloc_entry {
    uint32_t tloc_index;
    uint32_t vpn_label;
    uint8_t resolved;
    uint8_t reserved[3];
};
struct zel_slot_local_tloc_list {  // 22 set local-tloc-list
    uint32_t color_mask;
    uint32_t encap_mask;
    uint8_t restrict_;
};

struct zel_action_slot {
    uint32_t code;        // configured action
    uint32_t param_type;  // action whose parameters follow, 0 for none
    uint8_t reserved[56];
    union {
        zel_slot_tloc tloc;
        zel_slot_color_encap color_encap;
        zel_slot_mirror mirror;
        zel_slot_police police;
        zel_slot_count count;
        int32_t fc;                // 9 set fc
        zel_addr_record next_hop;  // 10 set next-hop
        uint16_t vrf_id;           // 11 set nat use-vpn
        zel_slot_sla sla;
        zel_slot_tloc_entry tloc_list[ZEL_TLOC_LIST_ENTRIES];  // 13 tloc-list
        uint8_t u8;                                            // 14 set dscp, 15 set svc-type, 21 set traffic-class
        uint32_t u32;                                          // 16 set nat pool-id, 20 set backup-preferred-color
        zel_slot_local_tloc_list local_tloc;
        uint8_t raw[192];
    } p;
};
static_assert(sizeof(zel_action_slot) == ZEL_ACTION_SLOT_SIZE);
static_assert(offsetof(zel_action_slot, param_type) == 4);
static_assert(offsetof(zel_action_slot, p) == 64);
static_assert(offsetof(zel_action_slot, p.tloc.resolved) == 72);
static_assert(offsetof(zel_action_slot, p.color_encap.encap) == 68);
static_assert(offsetof(zel_action_slot, p.mirror.src) == 104);
static_assert(offsetof(zel_action_slot, p.mirror.dst) == 128);
static_assert(offsetof(zel_action_slot, p.police.rate) == 72);
static_assert(offsetof(zel_action_slot, p.police.burst) == 80);
static_assert(offsetof(zel_action_slot, p.police.last_seen) == 88);
static_assert(offsetof(zel_action_slot, p.police.tokens) == 96);
static_assert(offsetof(zel_action_slot, p.police.drops) == 104);
static_assert(offsetof(zel_action_slot, p.police.bytes) == 128);
static_assert(offsetof(zel_action_slot, p.police.oob_action) == 144);
static_assert(offsetof(zel_action_slot, p.police.flags) == 148);
static_assert(offsetof(zel_action_slot, p.police.name) == 149);
static_assert(offsetof(zel_action_slot, p.count.packets) == 72);
static_assert(offsetof(zel_action_slot, p.count.bytes) == 88);
static_assert(offsetof(zel_action_slot, p.count.name) == 104);
static_assert(offsetof(zel_action_slot, p.next_hop.family) == 80);
static_assert(offsetof(zel_action_slot, p.sla.backup) == 65);
static_assert(offsetof(zel_action_slot, p.sla.preferred_color) == 68);
static_assert(sizeof(zel_slot_tloc_entry) == 12);
static_assert(offsetof(zel_action_slot, p.local_tloc.restrict_) == 72);

// The data of one action block.
struct zel_action_data {
    zel_action_slot slot[MAX_ACTIONS_IN_RULE];
};
static_assert(sizeof(zel_action_data) == ZEL_ACTION_DATA_SIZE);

// An action block as it lies in the image's action table.
struct zel_action_block {
    zel_action_block_hdr hdr;
    zel_action_data data;
};
static_assert(sizeof(zel_action_block) == ZEL_ACTION_BLOCK_SIZE);
static_assert(offsetof(zel_action_block, data) == 8);

// ---------------------------------------------------------------------------------------------------------
// Encoding: the compiler's view of one configured action (the policy model fills these in).

struct zel_tloc_choice {
    uint32_t vpn_label;
    uint32_t preference;
    uint32_t tloc_index;
    uint32_t weight;
    bool resolved;
    bool up;
};

struct zel_action_spec {
    uint32_t code = 0;
    uint32_t param_type = 0;  // 0: the action carries no parameters
    bool unresolved = false;  // set fc whose class did not exist: takes no slot
    // 3 set tloc
    uint32_t tloc_index = 0;
    uint32_t vpn_label = 0;
    bool tloc_resolved = false;
    // 4 set tloc-color-encap, 22 set local-tloc-list (masks), 12 sla-class preferred color
    uint32_t color = 0;
    uint32_t encap = 0;
    bool restrict_ = false;
    // 12 sla-class
    uint8_t sla_index = 0;
    bool strict = false;
    // 7 police, 8 count
    const char *name = nullptr;  // policer or counter name
    uint64_t rate_bps = 0;
    uint64_t burst_bytes = 0;
    uint32_t exceed = 0;  // 0 drop, otherwise mark PLP high
    int32_t seq = 0;      // sequence number of the police action
    // 5 mirror
    uint32_t mirror_value = 0;
    zel_addr_record mirror_src{};
    zel_addr_record mirror_dst{};
    // 10 set next-hop
    zel_addr_record next_hop{};
    // 11 set nat use-vpn
    uint16_t vrf_id = 0;
    // 9 set fc (signed), 14/15/21 (one byte), 16/20 (word)
    int64_t value = 0;
    // 13 tloc-list
    std::span<const zel_tloc_choice> tlocs{};
};

// A policer's rate as the forwarding plane meters it: clock cycles per byte (0 for a zero rate) and the
// burst in clock cycles.
struct zel_police_rate {
    uint64_t rate;
    uint64_t burst;
};
constexpr zel_police_rate zel_police_rate_of(uint64_t rate_bps, uint64_t burst_bytes, uint64_t clock_hz)
{
    const uint64_t bytes_per_sec = rate_bps / 8;
    const uint64_t rate = bytes_per_sec ? clock_hz / bytes_per_sec : 0;
    return {rate, rate * burst_bytes};
}

// Encodes one sequence's actions, in configuration order, into a zeroed 3072-byte block. clock_hz is the
// forwarding plane's clock rate (cycles per second) for policer rates. Returns 0, or 22 when more than
// MAX_ACTIONS_IN_RULE slots would be needed.
int zel_compile_sequence_actions(std::span<const zel_action_spec> actions, uint64_t clock_hz, zel_action_data *out);

// The weighted fill of one tloc-list slot (16 entries). Returns the number of usable choices.
uint32_t zel_tloc_list_fill(std::span<const zel_tloc_choice> choices, zel_slot_tloc_entry out[ZEL_TLOC_LIST_ENTRIES]);

// A rule table's default action: slot 0 carries the code and parameter type (sla-class parameters too).
void zel_default_action(uint32_t code, uint32_t param_type, uint8_t sla_primary, bool strict, uint32_t preferred_color,
                        zel_action_data *out);

// ---------------------------------------------------------------------------------------------------------
// Statistics over a published program image (every action table, every block, all 12 slots; names
// compared over at most 64 characters).

void zel_counter_totals(const void *image, const char *name, uint64_t *packets, uint64_t *bytes);
void zel_counter_clear(void *image, const char *name);
void zel_policer_totals(const void *image, const char *name, uint64_t *drops, uint64_t *bytes);
void zel_policer_clear(void *image, const char *name);
// Calls fn(data, arg) for every action block of the image.
void zel_action_blocks_visit(void *image, void (*fn)(zel_action_data *data, void *arg), void *arg);

// Debug print of the 12 slots of a block.
void zel_action_slots_print(const zel_action_data *data, const zel_out_sink *out);
// Address formatting for slots ("%u.%u.%u.%u" for family 1, else IPv6 with "::"); a ring of 8 buffers.
const char *zel_addr_record_str(const zel_addr_record *rec);
