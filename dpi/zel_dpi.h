// The inspection-engine glue: the application catalogue and its identifiers, the application-family
// table and the inspection state word shared with the forwarding plane, the root policy switches,
// and the operator's inspection commands.
//
// Identifier 1 is "unclassified"; 0 means the name is unknown (or the engine did not start).
// Everything runs on the event-loop thread. Results are errno numbers unless said otherwise.
#pragma once

#include <cstdint>

#include "cfgd/cfgd_api.h"
#include "common/msgq_util.h"
#include "common/zel_app_family.h"

struct zel_ctx;

// Starts the engine and fills the family table: 0, the engine's negative code, or -1 when the
// catalogue cannot be walked. A failure leaves the engine unused; the daemon runs on without it.
int zel_dpi_init(zel_ctx *ctx);
// Shuts the engine down and forgets the switches.
void zel_dpi_destroy(zel_ctx *ctx);

// Identifier of an application name (compared as the engine compares names); 0 when unknown.
uint32_t zel_dpi_app_id(const char *name);
// The same, logging "Could not find protocol! : NAME" for an unknown name.
uint32_t zel_dpi_get_qosmos_id(const char *name);
// The engine's name of an identifier ("unclassified" for 1), nullptr when unknown.
const char *zel_dpi_app_name(uint32_t id);
// The family the forwarding plane gives an application (the shared family table), 0 when it has none.
uint32_t zel_dpi_app_family(uint32_t id);

// The application-visibility switch: a change moves the policy DPI reference count by one.
// 0; 74 without a context or without the count.
int zel_dpi_set_app_visibility(zel_ctx *ctx, bool on);
// Brings the DPI state word up to the policy DPI reference count; when it falls to 0, pxrd is told
// with the one-byte message 5. 0; 74 without a context; 12 when no message buffer can be had.
int zel_dpi_sync_state(zel_ctx *ctx);
inline constexpr uint8_t ZEL_DPI_MSG_OFF = 5;  // the first byte of the message to pxrd

// Handler of the root "policy" point (keys none): app-visibility, flow-visibility, log-frequency.
// The daemon context is point->context->params.app_ctx.
int zel_dpi_config_policy_root(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys,
                               uint16_t num_values, confd_tag_value_t *values);

// Operator commands: four dumps to the requesting CLI session ("command" callbacks) and the
// clearing of the hit counts (an "action" callback). 0, or -1 when a dump cannot be made.
int zel_dpi_dump_protocol_list(confd_user_info *uinfo, char *path, int argc, char **argv);
int zel_dpi_dump_protocol_family_mapping(confd_user_info *uinfo, char *path, int argc, char **argv);
int zel_dpi_dump_protocol_hits(confd_user_info *uinfo, char *path, int argc, char **argv);
int zel_dpi_dump_configuration(confd_user_info *uinfo, char *path, int argc, char **argv);
int zel_dpi_clear_protocol_hits(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                                int nparams);

// The configuration point and the commands the glue serves, for the daemon to register.
inline constexpr cfgd_point_handler zel_dpi_points[] = {{"policy", zel_dpi_config_policy_root}};
inline const confd_action_cbs zel_dpi_actions[] = {
    {"zel_dpi_dump_protocol_list", nullptr, nullptr, nullptr, zel_dpi_dump_protocol_list},
    {"zel_dpi_dump_protocol_family_mapping", nullptr, nullptr, nullptr, zel_dpi_dump_protocol_family_mapping},
    {"zel_dpi_dump_protocol_hits", nullptr, nullptr, nullptr, zel_dpi_dump_protocol_hits},
    {"zel_dpi_dump_configuration", nullptr, nullptr, nullptr, zel_dpi_dump_configuration},
    {"zel_dpi_clear_protocol_hits", nullptr, nullptr, zel_dpi_clear_protocol_hits},
};
