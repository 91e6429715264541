// What the configuration handlers share: the daemon context of a point, name keys, and the link
// between a sequence's TLOC preference list and its "tloc-list" action.
#pragma once

#include "cfgd/cfgd_api.h"
#include "policy/zel_config.h"
#include "policy/zel_conv.h"

inline zel_ctx *zel_handler_ctx(cfgd_sub_point *point)
{
    return static_cast<zel_ctx *>(point->context->params.app_ctx);
}

// A name key (C_BUF) into a character array.
#define zel_handler_key_name(p_key_arg, out)                                                                           \
    do {                                                                                                               \
        confd_value_t *p_key = (p_key_arg);                                                                            \
        ZEL_CONFD_KEY_TYPE(p_key, C_BUF);                                                                              \
        zel_conv_buf(p_key, out, sizeof(out));                                                                         \
    } while (0)

// A model operation the database says must succeed: else the message (whose last argument is the
// result) and the daemon stops.
#define ZEL_HANDLER_CHECK(op_expr, ...)                                                                                \
    do {                                                                                                               \
        if (const int rc_ = (op_expr); rc_ != 0) {                                                                     \
            ZEL_LOG(__VA_ARGS__, rc_);                                                                                 \
            ZEL_CONFD_FATAL();                                                                                         \
        }                                                                                                              \
    } while (0)

// A point's entry: one handler body serves several points, each passing what sets it apart (a
// policy type, a list source).
#define ZEL_POINT_ENTRY(entry, body, arg)                                                                              \
    int entry(cfgd_sub_point *point, enum cdb_iter_op op, uint8_t num_keys, confd_value_t *keys, uint16_t num_values,  \
              confd_tag_value_t *values)                                                                               \
    {                                                                                                                  \
        return body(point, arg, op, num_keys, keys, num_values, values);                                               \
    }

// A data-policy sequence whose TLOC preference list gained its first entry carries the "tloc-list"
// action (instead of "set tloc" and "set svc-local"); one whose list lost its last entry drops it
// unless "set svc-type" needs it. Nothing happens while the sequence does not exist yet: the
// sequence handler looks for the list when it creates the sequence.
void zel_handler_tloc_list_presence(zel_ctx *ctx, const char *policy, const char *vpn_list, uint32_t seq);

// How an action element carries its parameter.
enum class zel_action_param { u8, u32, name, fc_name, next_hop };
// Reads an action element's parameter into *v, with the element's type check; nothing for an
// element being deleted (C_NOEXISTS).
void zel_handler_action_param(zel_action_param kind, confd_tag_value_t *p_curr_val, zel_action_value *v);
