// Policy model: the daemon's copy of the forwarding-policy configuration, and the commit pass that
// turns its changed marks into published programs.
//
// Configuration handlers change the model one operation at a time; each operation only sets
// "changed" marks. zel_process_policies then rebuilds, compiles, publishes and binds exactly the
// marked policy vpn-lists. Everything runs on the event-loop thread.
//
// Results are errno numbers: 0, 2 not found, 12 no memory, 17 exists, 22 invalid, 74 missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/avl.h"
#include "common/ip_util.h"
#include "compiler/zel_action.h"
#include "compiler/zel_field.h"
#include "daemon/zel.h"
#include "daemon/zel_kro.h"
#include "daemon/zel_tabmgr.h"

struct rule_table;
struct rule;

inline constexpr uint32_t ZEL_POLICY_TYPE_DATA = 1;
inline constexpr uint32_t ZEL_POLICY_TYPE_PFR = 2;

inline constexpr size_t ZEL_POLICY_NAME_LEN = 128;  // 127 characters
inline constexpr size_t ZEL_CLASS_NAME_LEN = 33;    // 32 characters

inline constexpr uint32_t ZEL_LIST_SOURCE_LOCAL = 1;
inline constexpr uint32_t ZEL_LIST_SOURCE_CONTROLLER = 2;
inline constexpr uint32_t ZEL_POLICY_PFX_LIST_TYPE_INVALID = 0;
inline constexpr uint32_t ZEL_POLICY_PFX_LIST_TYPE_MAX = 3;
inline constexpr uint32_t ZEL_APP_LIST_KIND_APPS = 1;
inline constexpr uint32_t ZEL_APP_LIST_KIND_FAMILIES = 2;

inline constexpr uint32_t ZEL_FILTER_UNBOUND = 0xFFFFFFFFu;
inline constexpr uint32_t ZEL_FILTER_TYPE_DATA = 1;
inline constexpr uint32_t ZEL_FILTER_TYPE_PFR = 2;

inline constexpr const char *ZEL_SLA_ALL_TUNNELS = "__all_tunnels__";
inline constexpr const char *ZEL_FC_CONTROL = "__control_fc";
inline constexpr uint32_t ZEL_SLA_CLASS_MAX = 8;
inline constexpr uint32_t ZEL_FWD_CLASS_MAX = 72;
inline constexpr uint32_t ZEL_TLOC_LIST_MAX = 16;

// ---------------------------------------------------------------------------------------------------
// Classes.

struct zel_sla_class {
    avl_node_t node;
    char name[ZEL_CLASS_NAME_LEN];
    uint8_t id;
};

struct zel_fwd_class_info {
    char name[ZEL_CLASS_NAME_LEN];
    uint32_t id;
    uint8_t queue;
};

struct zel_fwd_class {
    avl_node_t node;
    zel_fwd_class_info info;
};

// ---------------------------------------------------------------------------------------------------
// Shared objects.

struct zel_policy;
struct zel_policy_vpn_list;
struct zel_sequence;

// Policy identity as lists and vpn-lists record their users: type, then name length, then name.
struct zel_policy_key {
    uint32_t type;
    std::string name;
    bool operator<(const zel_policy_key &o) const;
    bool operator==(const zel_policy_key &o) const = default;
};

// A policy vpn-list as a list user: policy, then vpn-list name (each length first).
struct zel_pvl_key {
    zel_policy_key policy;
    std::string vpn_list;
    bool operator<(const zel_pvl_key &o) const;
};

// Names compared length first, then bytes ("b" before "aa").
struct zel_len_name_less {
    bool operator()(const std::string &a, const std::string &b) const;
};

struct zel_vpn_range64 {
    uint64_t low;
    uint64_t high;
    auto operator<=>(const zel_vpn_range64 &) const = default;
};

struct zel_vpn_list {
    std::string name;
    std::set<zel_vpn_range64> ranges;
    std::set<zel_policy_key> users;
};

struct zel_prefix {
    uint8_t addr[4];  // network order
    uint32_t len;
    bool operator<(const zel_prefix &o) const;
};

struct zel_pfx_list {
    std::string name;
    uint32_t source;
    std::set<zel_prefix> prefixes;
    std::map<zel_pvl_key, uint32_t> policy_users;
    std::map<std::string, uint32_t> acl_users;
};

struct zel_app_list {
    std::string name;
    uint32_t source;
    uint32_t kind;
    std::map<uint32_t, std::string> entries;
    std::map<zel_pvl_key, uint32_t> policy_users;
    std::map<std::string, uint32_t> acl_users;
};

struct zel_mirror {
    uint32_t number;
    zel_addr_record src;
    zel_addr_record dst;
    uint32_t refs;
};

// A policer's users: a policy vpn-list ("%s_%s", vpn-list, policy) or an access list (its name).
struct zel_policer_instance {
    std::string name;
    zel_policy_vpn_list *pvl;  // null for an access-list user
};

struct zel_policer {
    std::string name;
    uint64_t rate_bps;
    uint64_t burst_bytes;
    uint32_t exceed;  // 0 drop, else mark PLP high
    std::map<std::string, zel_policer_instance> instances;
};

// One choice of a TLOC list as configured.
struct zel_tloc_choice_cfg {
    uint32_t vpn_label;
    uint32_t preference;
    tloc_key_t tloc;
};

// The TLOC list a data-policy sequence names, kept per (type, policy, vpn-list, sequence).
struct zel_tloc_list {
    std::vector<zel_tloc_choice_cfg> entries;  // at most ZEL_TLOC_LIST_MAX
};
using zel_tloc_list_key = std::tuple<uint32_t, std::string, std::string, uint32_t>;

// ---------------------------------------------------------------------------------------------------
// Policy records.

struct zel_match {
    uint32_t field;       // what the compiler sees
    uint32_t match_type;  // as configured; a list field for list-derived entries
    char list_name[ZEL_POLICY_NAME_LEN];
    union {
        uint32_t low;
        uint8_t addr[4];  // network order
    };
    union {
        uint32_t high;
        uint32_t length;
    };
};

// Parameters of an action as a handler gives them; also kept in the action record.
struct zel_action_value {
    uint64_t value;  // single-value actions; the VPN of set nat use-vpn
    // 3 set tloc, 13 tloc-list labels
    uint32_t vpn_label;
    tloc_key_t tloc;
    // 4 set tloc-color-encap, 22 set local-tloc-list
    uint32_t color;
    uint32_t encap;
    uint8_t restrict_;
    // 12 sla-class
    char sla_name[ZEL_CLASS_NAME_LEN];
    uint8_t strict;
    uint32_t preferred_color;
    // 7 police, 8 count
    char name[ZEL_POLICY_NAME_LEN];
    // 5 mirror
    uint32_t mirror;
    // 10 set next-hop
    ip_addr_t next_hop;
    // 9 set fc
    char fc_name[ZEL_CLASS_NAME_LEN];
};

struct zel_tloc_ref;

struct zel_action {
    uint32_t code;
    uint32_t param_type;
    uint32_t tag;
    zel_action_value v;
    // Resolved state.
    zel_kro_peer *tloc;  // set tloc
    uint8_t sla_index;   // sla-class
    uint64_t rate_bps;   // police: copy of the policer
    uint64_t burst_bytes;
    uint32_t exceed;
    int32_t seq;
    zel_mirror mirror;      // copy of the mirror definition
    uint16_t vrf_id;        // set nat use-vpn
    zel_fwd_class_info fc;  // set fc, when resolved
    bool fc_unresolved;
    // tloc-list: the choices read from the sequence's TLOC list, each with its locator reference.
    std::vector<zel_tloc_choice_cfg> tloc_choices;
    std::vector<zel_tloc_ref *> tloc_list_refs;
};

// A sequence's use of one TLOC; the KRO peer table holds its embedded reference.
struct zel_tloc_ref {
    zel_kro_ref kref;  // first: p_rec points back here
    zel_policy *policy;
    zel_policy_vpn_list *pvl;
    zel_sequence *seq;
    zel_kro_peer *peer;
    uint32_t count;
};

struct zel_sequence {
    uint32_t number;
    std::string vpn_list_name;
    std::vector<zel_match> matches;
    std::vector<std::unique_ptr<zel_action>> actions;
    zel_policy *policy;
    zel_policy_vpn_list *pvl;
    std::map<zel_kro_peer *, std::unique_ptr<zel_tloc_ref>> tloc_refs;
    // One entry per list reference taken by a list match: (match type, list name).
    std::vector<std::pair<uint32_t, std::string>> list_refs;
    uint8_t changed;
};

struct zel_policy_vpn_list {
    std::string name;
    uint8_t changed = 0;
    std::map<uint32_t, std::unique_ptr<zel_sequence>> sequences;  // ascending number
    std::unique_ptr<zel_action> default_action;
    std::map<std::string, uint32_t> counters;   // name -> count actions using it
    std::map<std::string, uint32_t> pfx_lists;  // controller prefix lists referenced
    std::map<std::string, uint32_t> app_lists;  // controller application lists referenced
    std::set<std::string> policers;             // instance names held with policers
    rule_table *rules = nullptr;
    void *program = nullptr;
    uint32_t program_size = 0;
    uint32_t filter_index = ZEL_FILTER_UNBOUND;
    uint32_t filter_type = 0;
    uint32_t direction = 0;
};

struct zel_policy {
    std::string name;
    uint32_t type;
    uint32_t direction = 0;
    uint32_t prev_direction = 0;
    uint8_t added = 0;
    uint8_t changed = 0;
    std::map<std::string, std::unique_ptr<zel_policy_vpn_list>> vpn_lists;
};

// What the access-list module lends the pass (null members: no access lists).
struct zel_acl_hooks {
    int (*process)(zel_ctx *ctx);    // the IPv4 then IPv6 walk of the pass
    void (*oom_mark)(zel_ctx *ctx);  // mark access lists left without program memory
    // Filter index of the access list of that name, false when there is none.
    bool (*filter_index)(zel_ctx *ctx, const char *name, bool ipv6, uint32_t *index);
    void (*mark_changed)(zel_ctx *ctx, const char *name);  // a list the access list uses changed
    void (*announce)(zel_ctx *ctx);                        // pxrd registered
};

// The status notification's sender: eight tag values (see zel_policy_status_values).
struct confd_tag_value;
using zel_status_send_fn = int (*)(confd_tag_value *values, int n);
struct zel_status_source {
    zel_status_send_fn send;        // null: nothing is sent
    const char *(*text)();          // text of the shared region, may be null
    void (*addr)(ip_addr_t *addr);  // address of the shared region, may be null
};

struct zel_policy_db {
    std::map<zel_policy_key, std::unique_ptr<zel_policy>> policies;
    std::map<std::string, std::unique_ptr<zel_vpn_list>, zel_len_name_less> vpn_lists;
    std::map<std::pair<uint32_t, std::string>, std::unique_ptr<zel_pfx_list>> pfx_lists;  // source, name
    std::map<std::tuple<size_t, std::string, uint32_t>, std::unique_ptr<zel_app_list>> app_lists;
    std::map<zel_tloc_list_key, std::unique_ptr<zel_tloc_list>> tloc_lists;
    std::map<uint32_t, std::unique_ptr<zel_mirror>> mirrors;
    std::map<std::string, std::unique_ptr<zel_policer>> policers;
    avl_tree_t sla_classes;
    uint8_t sla_bitmap = 0;
    uint8_t fc_bitmap[9] = {};
    uint32_t dpi_refs = 0;   // "Policy DPI Reference"
    uint32_t flow_refs = 0;  // "Policy Flow Reference"
    uint32_t no_filter = 0;  // filter index of a vpn-list that found no program memory
    uint64_t clock_hz = 1000000000;
    zel_acl_hooks acl{};
    zel_status_source status{};
    // Application ids by name (the inspection engine's table); null: only "unclassified".
    uint32_t (*app_id)(const char *name) = nullptr;
    // Serves high-priority timers during long passes (zel_timer_kick once the daemon runs).
    int (*kick)() = nullptr;
    // VRF id of a VPN from the configuration database; null or false: 0.
    bool (*vrf_id)(uint64_t vpn, uint16_t *vrf) = nullptr;
};

// ---------------------------------------------------------------------------------------------------
// Database lifecycle.

// Creates ctx->policy_db (no classes yet); 12 without memory. no_filter: the filter count.
int zel_policy_db_init(zel_ctx *ctx, uint32_t no_filter);
// Removes every policy (unbinding and freeing programs), list and class; ctx->policy_db null.
void zel_policy_db_free(zel_ctx *ctx);

// Start-up stages (forwarding classes, SLA classes, policy tables, compile context) and undo.
int zel_fwd_class_stage(zel_ctx *ctx);
void zel_fwd_class_unstage(zel_ctx *ctx);
int zel_sla_class_stage(zel_ctx *ctx);
void zel_sla_class_unstage(zel_ctx *ctx);
int zel_policy_tables_stage(zel_ctx *ctx);
void zel_policy_tables_unstage(zel_ctx *ctx);
int zel_compiler_context_stage(zel_ctx *ctx);
void zel_compiler_context_unstage(zel_ctx *ctx);

// ---------------------------------------------------------------------------------------------------
// SLA and forwarding classes.

int zel_sla_class_init(zel_ctx *ctx);
void zel_sla_class_deinit(zel_ctx *ctx);
int zel_sla_class_add(zel_ctx *ctx, const char *name);
int zel_sla_class_delete(zel_ctx *ctx, const char *name);
int zel_sla_class_find(zel_ctx *ctx, const char *name, zel_sla_class **out);

int zel_fwd_class_init(zel_ctx *ctx);
void zel_fwd_class_deinit(zel_ctx *ctx);
int zel_fwd_class_add(zel_ctx *ctx, const char *name, uint8_t queue);
int zel_fwd_class_modify(zel_ctx *ctx, const char *name, uint8_t queue);
int zel_fwd_class_delete(zel_ctx *ctx, const char *name);
zel_fwd_class *zel_fwd_class_find(zel_ctx *ctx, const char *name);

// ---------------------------------------------------------------------------------------------------
// Policies.

int zel_config_policy_add(zel_ctx *ctx, uint32_t type, const char *name);
int zel_config_policy_find(zel_ctx *ctx, uint32_t type, const char *name, zel_policy **out);
int zel_config_policy_delete(zel_ctx *ctx, uint32_t type, const char *name);
int zel_config_policy_direction_set(zel_ctx *ctx, zel_policy *policy, uint32_t direction);

int zel_config_policy_vpn_list_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                   uint32_t action, const char *sla_class);
int zel_config_policy_vpn_list_modify(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                      uint32_t action, const char *sla_class);
int zel_config_policy_vpn_list_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                    zel_policy_vpn_list **out);
int zel_config_policy_vpn_list_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list);

int zel_config_sequence_find(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                             zel_sequence **out);
int zel_config_rule_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                        zel_sequence **out);
int zel_config_rule_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq);

// What a match gives: values for single and range fields, a prefix, a list name, or a class name
// for FC. Policies resolve controller lists only, so list_type does not select the list.
struct zel_match_value {
    uint32_t low;
    uint32_t high;
    uint8_t addr[4];
    uint8_t length;
    const char *name;
    uint32_t list_type;
};
// A list match also takes the policy vpn-list's reference on the list (and, for an application
// list, the DPI reference); callers must not take it themselves. Rule delete releases it.
int zel_config_match_add(zel_ctx *ctx, uint32_t field, const zel_match_value *value, zel_sequence *seq);
int zel_config_app_list_fields(zel_ctx *ctx, uint32_t match_type, zel_app_list *list, zel_sequence *seq);

// The VRF id of a VPN read from the running configuration over a short-lived connection; false
// (logged) when it cannot be read. The daemon installs it as zel_policy_db::vrf_id.
bool zel_policy_cdb_vrf_id(uint64_t vpn, uint16_t *vrf);

int zel_config_action_add(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq,
                          uint32_t code, uint32_t param_type, const zel_action_value *value, uint32_t tag = 0);

// ---------------------------------------------------------------------------------------------------
// Lists.

int zel_config_vpn_list_add(zel_ctx *ctx, const char *name);
int zel_config_vpn_list_delete(zel_ctx *ctx, const char *name);
int zel_config_vpn_range_add(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high);
int zel_config_vpn_range_delete(zel_ctx *ctx, const char *name, uint64_t low, uint64_t high);
int zel_config_vpn_instance_apply(zel_ctx *ctx, uint64_t vpn);
zel_vpn_list *zel_config_vpn_list_find(zel_ctx *ctx, const char *name);

int zel_config_pfx_list_add(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_delete(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_prefix_add(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix);
int zel_config_pfx_list_prefix_delete(zel_ctx *ctx, const char *name, uint32_t source, const zel_prefix &prefix);
int zel_config_pfx_list_change(zel_ctx *ctx, const char *name, uint32_t source);
zel_pfx_list *zel_config_pfx_list_find(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_pfx_list_ref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl);
int zel_config_pfx_list_unref(zel_ctx *ctx, const char *name, zel_policy *policy, zel_policy_vpn_list *pvl);

int zel_config_app_list_add(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_app_list_delete(zel_ctx *ctx, const char *name, uint32_t source);
int zel_config_app_list_entry_add(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry);
int zel_config_app_list_entry_delete(zel_ctx *ctx, const char *name, uint32_t source, uint32_t kind, const char *entry);
int zel_config_app_list_change(zel_ctx *ctx, const char *name, uint32_t source);
zel_app_list *zel_config_app_list_find(zel_ctx *ctx, const char *name, uint32_t source);
// user_kind: 2 a policy vpn-list (policy type, policy, vpn-list), 1 an access list (user name).
int zel_config_policy_app_list_ref(zel_ctx *ctx, const char *list, uint32_t user_kind, uint32_t type, const char *user,
                                   const char *vpn_list);
int zel_config_policy_app_list_unref(zel_ctx *ctx, const char *list, uint32_t user_kind, uint32_t type,
                                     const char *user, const char *vpn_list);
// Application-family number 1..31 of a name, 0 when unknown.
uint32_t zel_app_family_id(const char *name);

// The TLOC list of one sequence, created when absent (null without memory).
zel_tloc_list *zel_config_tloc_list_get(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list,
                                        uint32_t seq);
int zel_config_tloc_list_delete(zel_ctx *ctx, uint32_t type, const char *policy, const char *vpn_list, uint32_t seq);

int zel_config_mirror_set(zel_ctx *ctx, const zel_mirror &def);
int zel_config_mirror_delete(zel_ctx *ctx, uint32_t number);
// Adds or redefines a policer; a redefinition is written into published programs in place.
int zel_config_policer_set(zel_ctx *ctx, const char *name, uint64_t rate_bps, uint64_t burst_bytes, uint32_t exceed);
int zel_config_policer_delete(zel_ctx *ctx, const char *name);
int zel_config_policer_ref(zel_ctx *ctx, const char *policer, const char *instance, zel_policy_vpn_list *pvl);
int zel_config_policer_unref(zel_ctx *ctx, const char *policer, const char *instance);

// ---------------------------------------------------------------------------------------------------
// Commit processing.

int zel_process_policies(zel_ctx *ctx);
int zel_process_policy_vpn_list(zel_ctx *ctx, zel_policy_vpn_list *pvl, zel_policy *policy);
int zel_policy_change(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl);
int zel_process_oom_policies(zel_ctx *ctx, uint32_t blocks_freed);
// Matches and actions of one sequence into rule r of the compilation in progress.
int zel_compile_sequence(zel_ctx *ctx, rule *r, zel_sequence *seq);
// One binding message for a policy vpn-list (all ranges of its vpn-list, or only `range`).
int zel_policy_send_binding(zel_ctx *ctx, zel_policy *policy, zel_policy_vpn_list *pvl, const zel_vpn_range64 *range,
                            uint8_t opcode);
// The message zel_policy_send_binding sends; empty when the vpn-list has no VPNs.
int zel_policy_binding_encode(zel_ctx *ctx, const zel_policy *policy, const zel_policy_vpn_list *pvl,
                              const zel_vpn_range64 *range, uint8_t opcode, std::vector<uint8_t> *out);

// Header of the binding message as it lies on the wire (integers big-endian).
struct __attribute__((packed)) zel_bind_msg_hdr {
    uint8_t opcode;
    uint8_t filter_type;
    uint8_t direction;
    uint32_t filter_index;
    char name[ZEL_BIND_NAME_LEN];
    uint32_t count;
};
static_assert(std::is_standard_layout_v<zel_bind_msg_hdr>);
static_assert(offsetof(zel_bind_msg_hdr, filter_index) == ZEL_BIND_OFF_INDEX);
static_assert(offsetof(zel_bind_msg_hdr, name) == ZEL_BIND_OFF_NAME);
static_assert(offsetof(zel_bind_msg_hdr, count) == ZEL_BIND_OFF_COUNT);
static_assert(sizeof(zel_bind_msg_hdr) == ZEL_BIND_HDR_LEN);

// The commit hook: the pass, then the inspection and flow-visibility state words.
void zel_policy_commit_done(zel_ctx *ctx);
// Inspection-state sync run by the commit hook after the pass (null: none yet).
void zel_policy_set_dpi_sync(void (*fn)(zel_ctx *ctx));

// The eight tag values of the policy status notification. text and the names must outlive values.
void zel_policy_status_values(confd_tag_value *values, const char *text, const ip_addr_t &addr, const char *policy,
                              const char *vpn_list, const char *status);
inline constexpr uint32_t ZEL_POLICY_NS = 0x25640284;
inline constexpr uint32_t ZEL_STATUS_TAG_CONTAINER = 0x73E916A8;
inline constexpr uint32_t ZEL_STATUS_TAG_PRIORITY = 0x18F30F38;
inline constexpr uint32_t ZEL_STATUS_TAG_TEXT = 0x5808A665;
inline constexpr uint32_t ZEL_STATUS_TAG_ADDR = 0x5E5F3F28;
inline constexpr uint32_t ZEL_STATUS_TAG_POLICY = 0x61FE004E;
inline constexpr uint32_t ZEL_STATUS_TAG_VPN_LIST = 0x0ED4D8E3;
inline constexpr uint32_t ZEL_STATUS_TAG_STATUS = 0x74470328;

// Policy-side operations of the KRO link and the table-manager announcement.
void zel_policy_install_hooks();
