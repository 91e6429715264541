// Conversions from configuration-database values into policy-model values, shared by every
// configuration handler, and the type checks the handlers make on keys and values.
//
// The database's schema fixes every key and value type, so a type that differs means the daemon
// and the database disagree on the model: the checks stop the daemon (unit "zel_confd").
#pragma once

#include <cstdint>

#include "common/ip_util.h"
#include "common/zel_log.h"
#include "platform/cdb/confd_lib.h"

// A key of the expected ConfD type, or the daemon stops.
#define ZEL_CONFD_KEY_TYPE(p_key, T) ZEL_INVARIANT("zel_confd", "(p_key)->type == " #T, (p_key)->type == (T))
// A value of the expected ConfD type, or the daemon stops.
#define ZEL_CONFD_VAL_TYPE(p_curr_val, T)                                                                              \
    ZEL_INVARIANT("zel_confd", "(&p_curr_val->v)->type == " #T, (&(p_curr_val)->v)->type == (T))
// One element of a list value.
#define ZEL_CONFD_ELEM_TYPE(p_curr_val, num, T)                                                                        \
    ZEL_INVARIANT("zel_confd", "(&p_curr_val->v.val.list.ptr[num])->type == " #T,                                      \
                  (&(p_curr_val)->v.val.list.ptr[num])->type == (T))
// A model operation the database says must succeed did not: the model has diverged.
#define ZEL_CONFD_FATAL() ZEL_ASSERT_AT("zel_confd", __LINE__, 0)

// Direction of a data policy: enumeration 1 gives 1, 0 gives 2, anything else 3. `given` false
// (the leaf absent) counts as enumeration 2.
uint32_t zel_conv_direction(bool given, uint32_t enum_val);
// Base action: enumeration 1 gives 1 (reject), 0 gives 2 (accept), anything else 0.
uint32_t zel_conv_base_action(uint32_t enum_val);
// The model action type of an action element's tag; 0 for a tag that is not in the table.
uint32_t zel_conv_action_type(uint32_t tag);
// Colour or encapsulation enumeration to its bit (0 gives 0); the value must be below 32.
uint32_t zel_conv_enum_bit(uint32_t enum_val);
// The OR of the bits of an enumeration value or of a list of them.
uint32_t zel_conv_enum_bits(const confd_value_t *v);
// TCP flags: bit 0 (syn) gives 2, the TCP SYN bit; else 0.
uint32_t zel_conv_tcp_flags(uint32_t bits);
// Loss priority: enumeration 0 gives 0, anything else 1.
uint32_t zel_conv_plp(uint32_t enum_val);
// A power of two is kept, anything else becomes the largest power of two below it (0 stays 0).
int32_t zel_conv_log_frequency(int32_t v);
// "n" or "low-high"; false for text that starts with no number.
bool zel_conv_range(const char *text, uint32_t *low, uint32_t *high);
// Dotted IPv4 (host order, family AF_INET), else IPv6 text (AF_INET6), else family 0 and zeros.
ip_addr_t zel_conv_address(const char *text);

// A C_BUF copied into a NUL-terminated field of `size` bytes (cut to size - 1).
void zel_conv_buf(const confd_value_t *v, char *out, size_t size);
