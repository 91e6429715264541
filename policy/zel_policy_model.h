// Policy model: the daemon's copy of the forwarding-policy configuration, as records.
//
// The database (zel_policy_db, one per process in the daemon context) owns every policy, list and
// class. Configuration handlers change it through the operations of policy/zel_config.h, which only
// set "changed" marks; the commit pass (policy/zel_publish.h) turns the marks into published
// programs. Everything runs on the event-loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/avl.h"
#include "common/ip_util.h"
#include "common/zel_ctx.h"
#include "compiler/zel_action.h"
#include "compiler/zel_field.h"
#include "policy/zel_bind.h"
#include "policy/zel_tloc.h"

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

struct zel_vpn_list {
    std::string name;
    std::set<zel_vpn_range> ranges;  // may overlap
    std::set<zel_policy_key> users;
};

struct zel_prefix {
    uint8_t addr[4];  // network order
    uint32_t len;
    bool operator<(const zel_prefix &o) const;
};

// An access list as a list user: IPv4 and IPv6 access lists of one name are distinct users.
inline constexpr uint32_t ZEL_ACL_FAMILY_V4 = 4;
inline constexpr uint32_t ZEL_ACL_FAMILY_V6 = 6;
struct zel_acl_key {
    uint32_t family;
    std::string name;
    auto operator<=>(const zel_acl_key &) const = default;
};

struct zel_pfx_list {
    std::string name;
    uint32_t source;
    std::set<zel_prefix> prefixes;
    std::map<zel_pvl_key, uint32_t> policy_users;
    std::map<zel_acl_key, uint32_t> acl_users;
};

struct zel_app_list {
    std::string name;
    uint32_t source;
    uint32_t kind;
    std::map<uint32_t, std::string> entries;
    std::map<zel_pvl_key, uint32_t> policy_users;
    std::map<zel_acl_key, uint32_t> acl_users;
};

// One remote destination of a mirror and the source address its copies carry.
struct zel_mirror_dest {
    ip_addr_t dst;
    ip_addr_t src;
};

struct zel_mirror {
    std::string name;
    uint32_t number;  // what the forwarding plane's mirror slot carries
    std::set<std::string> interfaces;
    std::vector<zel_mirror_dest> dests;  // in the order added
    uint32_t refs;
};

// A policer's users: a policy vpn-list ("%s_%s", vpn-list, policy) or an access list (its name).
struct zel_policer_instance {
    std::string name;
    zel_policy_vpn_list *pvl;  // null for an access-list user
    uint32_t acl_refs = 0;     // access-list user: sequences of either family that police with it
};

// Which values of a policer a change gives.
inline constexpr uint8_t ZEL_POLICER_RATE = 0x1;
inline constexpr uint8_t ZEL_POLICER_BURST = 0x2;
inline constexpr uint8_t ZEL_POLICER_EXCEED = 0x4;

// A policer as configured: local (source 1) and controller (source 2) policers of one name are
// distinct, and so are policers of one name with different identifiers.
struct zel_policer_cfg {
    std::string name;
    uint32_t source = ZEL_LIST_SOURCE_CONTROLLER;
    int32_t id = -1;
    uint64_t rate_bps = 0;
    uint64_t burst_bytes = 0;
    uint32_t exceed = 0;  // 0 drop, else mark PLP high
    uint8_t mask = 0;     // ZEL_POLICER_* given
};
using zel_policer_key = std::tuple<uint32_t, std::string, int32_t>;  // source, name, identifier

struct zel_policer {
    std::string name;
    uint32_t source;
    int32_t id;
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

// The TLOC preference list of a data-policy sequence: its entries by index.
struct zel_tloc_list {
    std::map<uint32_t, zel_tloc_choice_cfg> entries;
};
// Sequence number, policy type, policy name, vpn-list name: the order the lists are kept in.
using zel_tloc_list_key = std::tuple<uint32_t, uint32_t, std::string, std::string>;

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
    uint8_t given;  // 22: ZEL_LTL_* parts that were configured
    // 12 sla-class
    char sla_name[ZEL_CLASS_NAME_LEN];
    uint8_t strict;
    uint32_t preferred_color;
    // 5 mirror, 7 police, 8 count
    char name[ZEL_POLICY_NAME_LEN];
    // 5 mirror: its number, once resolved
    uint32_t mirror;
    // 10 set next-hop
    ip_addr_t next_hop;
    // 9 set fc
    char fc_name[ZEL_CLASS_NAME_LEN];
};

inline constexpr uint8_t ZEL_LTL_COLOR = 0x1;
inline constexpr uint8_t ZEL_LTL_ENCAP = 0x2;
inline constexpr uint8_t ZEL_LTL_RESTRICT = 0x4;
// Encapsulation bits of the colour containers' masks (set tloc-color-encap, set local-tloc-list).
inline constexpr uint32_t ZEL_ENCAP_MASK_IPSEC = 1u << 4;
inline constexpr uint32_t ZEL_ENCAP_MASK_GRE = 1u << 5;

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

struct zel_access_list;

struct zel_sequence {
    uint32_t number;
    zel_access_list *acl = nullptr;  // set for an access-list sequence (policy and pvl are null)
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

// What the publication path keeps for one filter owner: its rule table, its program and the filter slot
// it is published in (ZEL_FILTER_UNBOUND before the first compile, the no-filter index after one
// that found no program memory).
struct zel_filter {
    rule_table *rules = nullptr;
    void *program = nullptr;
    uint32_t program_size = 0;
    uint32_t filter_index = ZEL_FILTER_UNBOUND;
    uint32_t filter_type = 0;
    // The last build or binding failed for a reason other than program memory: reported once, rebuilt
    // when something the owner uses changes; the previous program stays published meanwhile.
    uint8_t failed = 0;
};

struct zel_policy_vpn_list : zel_filter {
    std::string name;
    uint8_t changed = 0;
    std::map<uint32_t, std::unique_ptr<zel_sequence>> sequences;  // ascending number
    std::unique_ptr<zel_action> default_action;
    std::map<std::string, uint32_t> counters;   // name -> count actions using it
    std::map<std::string, uint32_t> pfx_lists;  // controller prefix lists referenced
    std::map<std::string, uint32_t> app_lists;  // controller application lists referenced
    std::set<std::string> policers;             // instance names held with policers
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

// Access lists: family 0 IPv4, 1 IPv6 (what attach messages carry).
inline constexpr uint32_t ZEL_ACL_V4 = 0;
inline constexpr uint32_t ZEL_ACL_V6 = 1;
inline constexpr size_t ZEL_ACL_IFNAME_LEN = 33;  // 32 characters

// One interface and direction (1 in, 2 out) a list is attached to.
struct zel_acl_binding {
    std::string ifname;
    uint32_t direction;
    uint64_t vpn;
};

struct zel_access_list : zel_filter {
    std::string name;
    uint32_t family = ZEL_ACL_V4;
    uint8_t added = 0;
    uint8_t changed = 0;
    uint32_t default_action = 0;  // 1 reject, 2 accept, 0 not configured
    std::map<uint32_t, std::unique_ptr<zel_sequence>> sequences;
    // By interface name (byte-wise), then direction: the order attach messages list them in.
    std::map<std::pair<std::string, uint32_t>, zel_acl_binding> bindings;
    std::map<std::string, uint32_t> policers;  // local policers its sequences police with, with counts
};

// The key an access list is a list user under.
inline zel_acl_key zel_acl_user_key(const zel_access_list &acl)
{
    return {acl.family == ZEL_ACL_V6 ? ZEL_ACL_FAMILY_V6 : ZEL_ACL_FAMILY_V4, acl.name};
}

struct zel_policy_db {
    std::map<std::string, std::unique_ptr<zel_access_list>> access_lists[2];  // by family
    std::map<zel_policy_key, std::unique_ptr<zel_policy>> policies;
    std::map<std::string, std::unique_ptr<zel_vpn_list>, zel_len_name_less> vpn_lists;
    std::map<std::pair<uint32_t, std::string>, std::unique_ptr<zel_pfx_list>> pfx_lists;  // source, name
    std::map<std::tuple<size_t, std::string, uint32_t>, std::unique_ptr<zel_app_list>> app_lists;
    std::map<zel_tloc_list_key, std::unique_ptr<zel_tloc_list>> tloc_lists;
    std::map<std::string, std::unique_ptr<zel_mirror>> mirrors;
    std::map<zel_policer_key, std::unique_ptr<zel_policer>> policers;
    avl_tree_t sla_classes;
    uint8_t sla_bitmap = 0;
    uint8_t fc_bitmap[9] = {};
    uint32_t no_filter = 0;  // filter index of a vpn-list that found no program memory
    uint64_t clock_hz = 1000000000;
};
