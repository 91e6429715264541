#include "policy/zel_policy_points.h"

#include <array>

#include "policy/zel_handlers.h"
#include "yang/zel_yang_hashes.h"

namespace
{

constexpr std::array<zel_point_row, ZEL_POLICY_NUM_POINTS> kPoints{{
    {"policy/class-map/class", zel_ns_policy, 1, ZEL_ADD_LAST, ZEL_DEL_WITH_ADD, zel_config_policy_fwd_class},
    {"policy/lists/data-prefix-list", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_local_pfx_list},
    {"policy/lists/data-prefix-list/ip-prefix", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_local_pfx_list_ip},
    {"policy/lists/app-list", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_local_app_list},
    {"policy/lists/app-list/app", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_local_app_list_app},
    {"policy/lists/app-list/app-family", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_local_app_list_app_family},
    {"policy-from-ostrel/sla-class", zel_ns_policy, 1, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_policy_sla_class},
    {"policy-from-ostrel/lists/vpn-list", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_vpn_list},
    {"policy-from-ostrel/lists/vpn-list/vpn", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_vpn_id},
    {"policy-from-ostrel/lists/data-prefix-list", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_pfx_list},
    {"policy-from-ostrel/lists/data-prefix-list/ip-prefix", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_pfx_list_ip},
    {"policy-from-ostrel/lists/app-list", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_app_list},
    {"policy-from-ostrel/lists/app-list/app", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_app_list_app},
    {"policy-from-ostrel/lists/app-list/app-family", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS,
     zel_config_policy_app_list_app_family},
    {"policy-from-ostrel/policer", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_policer},
    {"policy-from-ostrel/data-policy", zel_ns_policy, 1, ZEL_ADD_POLICY, ZEL_DEL_POLICY, zel_config_data_policy},
    {"policy-from-ostrel/data-policy/vpn-list", zel_ns_policy, 2, ZEL_ADD_POLICY_VPN_LIST, ZEL_DEL_POLICY_VPN_LIST,
     zel_config_data_policy_vpn_list},
    {"policy-from-ostrel/data-policy/vpn-list/sequence/action/set/qor-tloc-pref-list", zel_ns_policy, 4,
     ZEL_ADD_POLICY_VPN_LIST, ZEL_DEL_POLICY_VPN_LIST, zel_config_data_policy_seq_tloc_pref_list},
    {"policy-from-ostrel/data-policy/vpn-list/sequence", zel_ns_policy, 3, ZEL_ADD_SEQUENCE, ZEL_DEL_SEQUENCE,
     zel_config_data_policy_seq},
    {"policy-from-ostrel/app-route-policy", zel_ns_policy, 1, ZEL_ADD_POLICY, ZEL_DEL_POLICY,
     zel_config_app_route_policy},
    {"policy-from-ostrel/app-route-policy/vpn-list", zel_ns_policy, 2, ZEL_ADD_POLICY_VPN_LIST, ZEL_DEL_POLICY_VPN_LIST,
     zel_config_app_route_policy_vpn_list},
    {"policy-from-ostrel/app-route-policy/vpn-list/sequence", zel_ns_policy, 3, ZEL_ADD_SEQUENCE, ZEL_DEL_SEQUENCE,
     zel_config_app_route_policy_seq},
    {"policy", zel_ns_policy, 0, ZEL_ADD_LISTS, ZEL_DEL_LISTS, nullptr},
    {"policy/mirror", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_mirror},
    {"policy/mirror/interface", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_mirror_intf},
    {"policy/mirror/remote-dest", zel_ns_policy, 2, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_mirror_dest},
    {"policy/policer", zel_ns_policy, 1, ZEL_ADD_LISTS, ZEL_DEL_LISTS, zel_config_policy_local_policer},
    {"policy/access-list", zel_ns_policy, 1, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_ipv4_access_list},
    {"policy/access-list/sequence", zel_ns_policy, 2, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_ipv4_access_list_seq},
    {"policy/ipv6/access-list", zel_ns_policy, 1, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_ipv6_access_list},
    {"policy/ipv6/access-list/sequence", zel_ns_policy, 2, ZEL_ADD_LAST, ZEL_DEL_FIRST,
     zel_config_ipv6_access_list_seq},
    {"vpn/vpn-instance/interface/access-list", zel_ns_vpn, 3, ZEL_ADD_LAST, ZEL_DEL_FIRST,
     zel_config_ipv4_intf_access_list},
    {"vpn/vpn-instance/interface/ipv6/access-list", zel_ns_vpn, 3, ZEL_ADD_LAST, ZEL_DEL_FIRST,
     zel_config_ipv6_intf_access_list},
    {"vpn/vpn-instance/interface", zel_ns_vpn, 2, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_vpn_intf},
    {"vpn/vpn-instance", zel_ns_vpn, 1, ZEL_ADD_LAST, ZEL_DEL_FIRST, zel_config_vpn_instance},
}};

}  // namespace

std::span<const zel_point_row> zel_policy_points() { return kPoints; }
