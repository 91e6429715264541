// The command callbacks of the oper module's source units.
#pragma once

#include <cstddef>

#include "oper/zel_oper.h"

// Debug categories 0 config, 1 kro, 2 dpi, 3 policy.
template <size_t I>
int zel_debug_one(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_debug_all(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_debug_disable_all(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);

int zel_clear_data_policy(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);
int zel_clear_app_route_policy(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                               int n);
int zel_clear_policy_acl(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params, int n);
int zel_clear_policy_acl6(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                          int n);
