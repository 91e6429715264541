// Operational values in CDB, keypath keys, address readers and parsers, and the
// notifications the daemon publishes (stream, SNMP trap, syslog line) through a
// rate-limiting throttler thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>

#include "cfgd/cfgd_api.h"
#include "cfgd/cfgd_trap.h"
#include "common/ip_util.h"

// Operations of an operational write.
inline constexpr int CFGD_OPER_CREATE = 1;
inline constexpr int CFGD_OPER_SET = 2;
inline constexpr int CFGD_OPER_DELETE = 3;
inline constexpr size_t CFGD_OPER_KEYPATH_LEN = 100;

// Queues one write; writes reach CDB one at a time in request order, each on a thread
// of its own. 0 queued, 2 no memory, 1 no thread.
int cfgd_set_cdb_oper_value(cfgd_context *ctx, const confd_value_t *value, const char *keypath, int op, int lock);
// The synchronous write: 0 (creating what exists or deleting what does not counts as
// success) or the ConfD error number.
int cfgd_vset_cdb_oper_value(cfgd_context *ctx, const confd_value_t *value, int op, int lock, const char *fmt,
                             va_list args);
int cfgd_set_cdb_oper_value_now(cfgd_context *ctx, const confd_value_t *value, int op, int lock, const char *fmt, ...);
// Deep copy of a string or buffer value (a buffer gets a terminating byte); 0 or 2.
int cfgd_copy_confd_value(confd_value_t *dst, const confd_value_t *src);
void cfgd_free_confd_value_copy(confd_value_t *v);

// Reads an int32 leaf over the context's data socket: 0, or 1 on failure.
int cfgd_get_cdb_int32_value(cfgd_context *ctx, int32_t *value, const char *keypath, int lock);
// Operational labels of a VPN and of a service in it: setters 0 or -1, readers the label or -1.
int cfgd_set_vpn_label(cfgd_context *ctx, uint64_t vpn_id, int32_t label);
int32_t cfgd_get_vpn_label(cfgd_context *ctx, uint64_t vpn_id);
int cfgd_set_service_label(cfgd_context *ctx, uint64_t vpn_id, unsigned service, int32_t label);
int32_t cfgd_get_service_label(cfgd_context *ctx, uint64_t vpn_id, unsigned service);

// The key values of the list whose tag is list_tag, copied shallow into `keys` or into
// a new array the caller frees; null when the number found is not num_keys.
confd_value_t *cfgd_keypath_get_keys(const confd_hkeypath_t *kp, confd_value_t *keys, int num_keys, uint32_t list_tag);

// An address leaf read through CDB; any type but C_IPV4/C_IPV6 is fatal. 0 or the ConfD error.
int cfgd_cdb_get_ip_addr(int sock, ip_addr_t *addr, const char *fmt, ...);
// A string leaf holding a prefix: 0 or the ConfD error (22 for text that is no prefix).
int cfgd_cdb_get_ip_prefix_from_str(int sock, ip_prefix_t *prefix, const char *fmt, ...);
// "address[/len]" text: 0 or 22. Without a length the prefix is a host route.
int cfgd_parse_ipv4_prefix(const char *text, ip_prefix_t *prefix);
int cfgd_parse_ipv6_prefix(const char *text, ip_prefix_t *prefix);
// Either family; text that is no address gives family 0 and length 0.
int cfgd_parse_ip_prefix(const char *text, ip_prefix_t *prefix);
// "address.hi.lo": the address, then the port's two bytes in network order.
const char *cfgd_format_addr_port(const ip_addr_t *addr, uint16_t port, char *buf, size_t size);

// Current time, or a given one, as a ConfD date and time in UTC.
void cfgd_get_datetime(struct confd_datetime *dt);
void cfgd_time_to_datetime(time_t t, struct confd_datetime *dt);

// ---- notifications ----

inline constexpr int CFGD_NOTIF_MAX_VALUES = 20;
inline constexpr unsigned CFGD_NOTIF_QUEUES = 3;
inline constexpr uint32_t CFGD_NOTIF_DEFAULT_INTERVAL_MS = 200;

struct cfgd_notif_item {
    struct confd_datetime time;
    confd_tag_value_t values[CFGD_NOTIF_MAX_VALUES];
    int num_values;
    void *copies[CFGD_NOTIF_MAX_VALUES];  // owned string and buffer copies
    int num_copies;
    cfgd_trap_item trap;
    cfgd_notif_item *next;
};

// values[0] the notification's start tag, values[1] its priority (an enumeration:
// 1 highest), last its end tag. 0 sent or queued (or discarded before start phase 2), 1 failure.
int cfgd_event_send_notification(cfgd_context *ctx, confd_tag_value_t *values, int num_values);
// 0 queued, -1 not queued (throttler not running, no memory), -2 dropped (queue full).
int cfgd_enqueue_notification(confd_tag_value_t *values, int num_values);
// Milliseconds between two sends, below 1000; 22 otherwise.
int cfgd_notification_throttler_set_interval(uint32_t ms);
// Allocation pair for notification items and their copies; null restores malloc/free.
void cfgd_notification_set_mem_hooks(void *(*alloc_fn)(size_t), void (*free_fn)(void *));
// Items waiting in each queue.
unsigned cfgd_notification_queue_count(unsigned queue);
