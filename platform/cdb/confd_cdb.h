/* CDB part of the client library: sessions on the running, operational and
 * pre-commit running datastores, reads and operational writes, subscriptions
 * and their delivery, start phases. Names and semantics follow ConfD's
 * confd_lib_cdb. Paths are ConfD keypath formats: "/a/b{%s}/c", where %x takes a
 * confd_value_t *, %*x a count and an array of key values, and the printf
 * conversions %s %d %u %ld %lu %x (hex int only when given as %X is not used). */
#ifndef ZEL_CONFD_CDB_H
#define ZEL_CONFD_CDB_H

#include <stdarg.h>

#include "platform/cdb/confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

enum cdb_db_type { CDB_RUNNING = 1, CDB_STARTUP = 2, CDB_OPERATIONAL = 3, CDB_PRE_COMMIT_RUNNING = 4 };
enum cdb_sub_type { CDB_SUB_RUNNING = 1, CDB_SUB_RUNNING_TWOPHASE = 2, CDB_SUB_OPERATIONAL = 3 };
enum cdb_sub_notification { CDB_SUB_PREPARE = 1, CDB_SUB_COMMIT = 2, CDB_SUB_ABORT = 3, CDB_SUB_OPER = 4 };
enum cdb_sock_type { CDB_READ_SOCKET = 0, CDB_SUBSCRIPTION_SOCKET = 1, CDB_DATA_SOCKET = 2 };
enum cdb_subscription_sync_type {
    CDB_DONE_PRIORITY = 1,
    CDB_DONE_SOCKET = 2,
    CDB_DONE_TRANSACTION = 3,
    CDB_DONE_OPERATIONAL = 4
};
enum cdb_iter_op {
    MOP_CREATED = 1,
    MOP_DELETED = 2,
    MOP_MODIFIED = 3,
    MOP_VALUE_SET = 4,
    MOP_MOVED_AFTER = 5,
    MOP_ATTR_SET = 6
};
enum cdb_iter_ret { ITER_STOP = 1, ITER_RECURSE = 2, ITER_CONTINUE = 3, ITER_SUSPEND = 4, ITER_UP = 5 };

#define CDB_LOCK_WAIT (1 << 0)
#define CDB_LOCK_SESSION (1 << 1)
#define CDB_LOCK_REQUEST (1 << 2)
#define CDB_LOCK_PARTIAL (1 << 3)

#define CDB_SUB_FLAG_IS_LAST (1 << 0)
#define CDB_SUB_FLAG_TRIGGER (1 << 1)
#define CDB_SUB_FLAG_REVERT (1 << 2)
#define CDB_SUB_FLAG_HA_SYNC (1 << 3)

#define CDB_GET_MODS_INCLUDE_LISTS (1 << 0)
#define CDB_GET_MODS_REVERSE (1 << 1)
#define CDB_GET_MODS_SUPPRESS_DEFAULTS (1 << 2)

#define ITER_WANT_PREV (1 << 0)
#define ITER_WANT_ANCESTOR_DELETE (1 << 1)

enum cdb_phase_flags { CDB_FLAG_INIT = 1, CDB_FLAG_UPGRADE = 2 };

struct cdb_phase {
    int phase;
    int flags;
    int init;
    int upgrade;
};

/* The id of the running datastore's last transaction, as ConfD keeps it: a client that lost its
 * sockets compares it with the id it last saw to learn whether it missed a commit. */
struct cdb_txid {
    unsigned int s1;
    unsigned int s2;
    unsigned int s3;
    char primary[64]; /* empty: no high-availability primary */
};

int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz);
int cdb_connect_name(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz, const char *name);
int cdb_close(int sock);
int cdb_start_session(int sock, enum cdb_db_type db);
int cdb_start_session2(int sock, enum cdb_db_type db, int flags);
int cdb_end_session(int sock);
int cdb_get_phase(int sock, struct cdb_phase *phase);
int cdb_wait_start(int sock);

int cdb_exists(int sock, const char *fmt, ...);
int cdb_num_instances(int sock, const char *fmt, ...);
int cdb_get(int sock, confd_value_t *v, const char *fmt, ...);
int cdb_vget(int sock, confd_value_t *v, const char *fmt, va_list args);
int cdb_get_int32(int sock, int32_t *rval, const char *fmt, ...);
int cdb_get_u_int8(int sock, uint8_t *rval, const char *fmt, ...);
int cdb_get_u_int16(int sock, uint16_t *rval, const char *fmt, ...);
int cdb_get_u_int32(int sock, uint32_t *rval, const char *fmt, ...);
int cdb_get_int64(int sock, int64_t *rval, const char *fmt, ...);
int cdb_get_u_int64(int sock, uint64_t *rval, const char *fmt, ...);
int cdb_get_bool(int sock, int *rval, const char *fmt, ...);
int cdb_get_enum_value(int sock, int32_t *rval, const char *fmt, ...);
int cdb_get_bit32(int sock, uint32_t *rval, const char *fmt, ...);
int cdb_get_ipv4(int sock, struct in_addr *rval, const char *fmt, ...);
int cdb_get_ipv6(int sock, struct in6_addr *rval, const char *fmt, ...);
int cdb_get_str(int sock, char *rval, int n, const char *fmt, ...);
/* *rval is malloc'ed; the caller frees it. */
int cdb_get_buf(int sock, unsigned char **rval, int *bufsiz, const char *fmt, ...);
int cdb_get_object(int sock, confd_value_t *values, int n, const char *fmt, ...);

int cdb_set_elem(int sock, confd_value_t *val, const char *fmt, ...);
int cdb_vset_elem(int sock, confd_value_t *val, const char *fmt, va_list args);
int cdb_set_elem2(int sock, const char *strval, const char *fmt, ...);
int cdb_create(int sock, const char *fmt, ...);
int cdb_vcreate(int sock, const char *fmt, va_list args);
int cdb_delete(int sock, const char *fmt, ...);
int cdb_vdelete(int sock, const char *fmt, va_list args);

int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt, ...);
int cdb_subscribe2(int sock, enum cdb_sub_type type, int flags, int priority, int *spoint, int nspace, const char *fmt,
                   ...);
int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...);
int cdb_subscribe_done(int sock);
int cdb_read_subscription_socket(int sock, int sub_points[], int *resultlen);
/* *subpoints is malloc'ed; the caller frees it. */
int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags, int *subpoints[],
                                  int *resultlen);
int cdb_diff_iterate(int sock, int subid,
                     enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *oldv,
                                               confd_value_t *newv, void *state),
                     int flags, void *initstate);
/* Values are malloc'ed (confd_free_value each, then free the array). */
int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values, int *nvalues, const char *fmt,
                          ...);
int cdb_get_modifications_iter(int sock, int flags, confd_tag_value_t **values, int *nvalues);
int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st);
int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t apptag_ns, uint32_t apptag_tag, const char *fmt,
                        ...);
int cdb_trigger_subscriptions(int sock, int sub_points[], int len);
int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags);
int cdb_get_txid(int sock, struct cdb_txid *txid);
/* The stand-in's catch-up: like cdb_trigger_subscriptions, but each subscription point is told the
 * changes from the running datastore of transaction since[i] to the current one (deletes included),
 * flagged CDB_SUB_FLAG_TRIGGER. CONFD_ERR_NOEXISTS when a transaction is no longer kept. */
int cdb_trigger_subscriptions_since(int sock, int sub_points[], const struct cdb_txid since[], int len);

#ifdef __cplusplus
}
#endif

#endif
