// Configuration handlers: one per configuration point of policy/zel_policy_points.cc. Each turns
// the changes the configuration database reports below its point into policy-model operations;
// nothing is compiled here, the commit hook publishes what the operations marked.
//
// Every handler has the cfgd_sub_handler signature and reaches the daemon context through the
// point's cfgd context. Operations other than created, deleted and modified are ignored. Handlers
// return 0: a model error means that the model and the database have diverged, and the daemon
// stops. Only the VPN entry handler (-1 for text it cannot read) and the forwarding-class handler
// (1 when the class operation fails) report a failed point instead.
#pragma once

#include <cstdint>

#include "cfgd/cfgd_api.h"

// Policies, their vpn-lists and sequences: one body per kind, the policy type from the point.
int zel_config_fwding_policy(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op, uint8_t num_keys,
                             confd_value_t *keys, uint16_t num_values, confd_tag_value_t *values);
int zel_config_fwding_policy_vpn_list(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op,
                                      uint8_t num_keys, confd_value_t *keys, uint16_t num_values,
                                      confd_tag_value_t *values);
int zel_config_fwding_policy_seq(cfgd_sub_point *point, uint32_t policy_type, enum cdb_iter_op op, uint8_t num_keys,
                                 confd_value_t *keys, uint16_t num_values, confd_tag_value_t *values);

// The point entries for data policies (rows 16, 17, 19) and app-route policies (rows 20, 21, 22).
int zel_config_data_policy(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t, confd_tag_value_t *);
int zel_config_data_policy_vpn_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *);
int zel_config_data_policy_seq(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                               confd_tag_value_t *);
int zel_config_app_route_policy(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                confd_tag_value_t *);
int zel_config_app_route_policy_vpn_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                         confd_tag_value_t *);
int zel_config_app_route_policy_seq(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *);

// TLOC preference entries of a data-policy sequence (row 18).
int zel_config_data_policy_seq_tloc_pref_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                              confd_tag_value_t *);

// Classes (rows 1 and 7).
int zel_config_policy_fwd_class(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                confd_tag_value_t *);
int zel_config_policy_sla_class(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                confd_tag_value_t *);

// Mirrors (rows 24-26) and policers (15: controller, 27: local).
int zel_config_policy_mirror(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                             confd_tag_value_t *);
int zel_config_policy_mirror_intf(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                  confd_tag_value_t *);
int zel_config_policy_mirror_dest(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                  confd_tag_value_t *);
int zel_config_policy_policer(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                              confd_tag_value_t *);
int zel_config_policy_local_policer(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *);

// Lists (rows 2-6 local, 8-14 controller).
int zel_config_policy_vpn_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                               confd_tag_value_t *);
int zel_config_policy_vpn_id(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                             confd_tag_value_t *);
int zel_config_policy_local_pfx_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                     confd_tag_value_t *);
int zel_config_policy_local_pfx_list_ip(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                        confd_tag_value_t *);
int zel_config_policy_pfx_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                               confd_tag_value_t *);
int zel_config_policy_pfx_list_ip(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                  confd_tag_value_t *);
int zel_config_policy_local_app_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                     confd_tag_value_t *);
int zel_config_policy_local_app_list_app(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                         confd_tag_value_t *);
int zel_config_policy_local_app_list_app_family(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                                confd_tag_value_t *);
int zel_config_policy_app_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                               confd_tag_value_t *);
int zel_config_policy_app_list_app(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                   confd_tag_value_t *);
int zel_config_policy_app_list_app_family(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                          confd_tag_value_t *);

// Access lists (rows 28-35): lists, sequences and interface bindings per family, interfaces and VPN
// instances for their deletion.
int zel_config_ipv4_access_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                confd_tag_value_t *);
int zel_config_ipv6_access_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                confd_tag_value_t *);
int zel_config_ipv4_access_list_seq(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *);
int zel_config_ipv6_access_list_seq(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                    confd_tag_value_t *);
int zel_config_ipv4_intf_access_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                     confd_tag_value_t *);
int zel_config_ipv6_intf_access_list(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                                     confd_tag_value_t *);
int zel_config_vpn_intf(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t, confd_tag_value_t *);
int zel_config_vpn_instance(cfgd_sub_point *, enum cdb_iter_op, uint8_t, confd_value_t *, uint16_t,
                            confd_tag_value_t *);
