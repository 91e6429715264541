/* Client library of the configuration database (cdb-sim), with the names, types,
 * constants and semantics of the ConfD C API (libconfd). Common part: values,
 * keypaths, errors, schema information and the daemon (data provider, action,
 * notification) interface. CDB and MAAPI calls are in confd_cdb.h and
 * confd_maapi.h. Every call returns CONFD_OK (0) or CONFD_ERR (-1) with
 * confd_errno / confd_lasterr() set, or CONFD_EOF (-2) where a closed socket is
 * reported. The library never aborts on bad input from the server. */
#ifndef ZEL_CONFD_LIB_H
#define ZEL_CONFD_LIB_H

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONFD_PORT 4565
#define CONFD_LIB_API_VSN 0x06030100
#define MAXDEPTH 20
#define MAXKEYLEN 9
#define MAX_CALLPOINT_LEN 256
#define MAX_STREAMNAME_LEN 256
#define MAX_DAEMON_NAME_LEN 256

#define CONFD_OK 0
#define CONFD_ERR (-1)
#define CONFD_EOF (-2)
#define CONFD_DELAYED_RESPONSE 2

enum confd_debug_level { CONFD_SILENT = 0, CONFD_DEBUG = 1, CONFD_TRACE = 2, CONFD_PROTO_TRACE = 3 };

enum confd_vtype {
    C_NOEXISTS = 1,
    C_XMLTAG = 2,
    C_SYMBOL = 3,
    C_STR = 4,
    C_BUF = 5,
    C_INT8 = 6,
    C_INT16 = 7,
    C_INT32 = 8,
    C_INT64 = 9,
    C_UINT8 = 10,
    C_UINT16 = 11,
    C_UINT32 = 12,
    C_UINT64 = 13,
    C_DOUBLE = 14,
    C_IPV4 = 15,
    C_IPV6 = 16,
    C_BOOL = 17,
    C_QNAME = 18,
    C_DATETIME = 19,
    C_DATE = 20,
    C_TIME = 23,
    C_DURATION = 27,
    C_ENUM_VALUE = 28,
    C_BIT32 = 29,
    C_BIT64 = 30,
    C_LIST = 31,
    C_XMLBEGIN = 32,
    C_XMLEND = 33,
    C_OBJECTREF = 34,
    C_UNION = 35,
    C_PTR = 36,
    C_CDBBEGIN = 37,
    C_OID = 38,
    C_BINARY = 39,
    C_IPV4PREFIX = 40,
    C_IPV6PREFIX = 41,
    C_DEFAULT = 42,
    C_DECIMAL64 = 43,
    C_IDENTITYREF = 44,
    C_XMLBEGINDEL = 45,
    C_DQUAD = 46,
    C_HEXSTR = 47,
    C_IPV4_AND_PLEN = 48,
    C_IPV6_AND_PLEN = 49,
    C_BITBIG = 50,
    C_XMLMOVEFIRST = 51,
    C_XMLMOVEAFTER = 52,
    C_EMPTY = 53,
    C_MAXTYPE
};
#define C_ENUM_HASH C_ENUM_VALUE

enum confd_errors {
    CONFD_ERR_NOEXISTS = 1,
    CONFD_ERR_ALREADY_EXISTS = 2,
    CONFD_ERR_ACCESS_DENIED = 3,
    CONFD_ERR_NOT_WRITABLE = 4,
    CONFD_ERR_BADTYPE = 5,
    CONFD_ERR_NOTCREATABLE = 6,
    CONFD_ERR_NOTDELETABLE = 7,
    CONFD_ERR_BADPATH = 8,
    CONFD_ERR_NOSTACK = 9,
    CONFD_ERR_LOCKED = 10,
    CONFD_ERR_INUSE = 11,
    CONFD_ERR_NOTSET = 12,
    CONFD_ERR_NON_UNIQUE = 13,
    CONFD_ERR_BAD_KEYREF = 14,
    CONFD_ERR_TOO_FEW_ELEMS = 15,
    CONFD_ERR_TOO_MANY_ELEMS = 16,
    CONFD_ERR_BADSTATE = 17,
    CONFD_ERR_INTERNAL = 18,
    CONFD_ERR_EXTERNAL = 19,
    CONFD_ERR_MALLOC = 20,
    CONFD_ERR_PROTOUSAGE = 21,
    CONFD_ERR_NOSESSION = 22,
    CONFD_ERR_TOOMANYTRANS = 23,
    CONFD_ERR_OS = 24,
    CONFD_ERR_LIB_NOT_INITIALIZED = 34,
    CONFD_ERR_INCONSISTENT_VALUE = 38,
    CONFD_ERR_APPLICATION_INTERNAL = 39,
    CONFD_ERR_UNAVAILABLE = 44,
    CONFD_ERR_EOF = 45,
    CONFD_ERR_ABORTED = 49,
    CONFD_ERR_NOT_IMPLEMENTED = 51
};

enum confd_errcode {
    CONFD_ERRCODE_IN_USE = 0,
    CONFD_ERRCODE_RESOURCE_DENIED = 1,
    CONFD_ERRCODE_INCONSISTENT_VALUE = 2,
    CONFD_ERRCODE_ACCESS_DENIED = 3,
    CONFD_ERRCODE_APPLICATION = 4,
    CONFD_ERRCODE_APPLICATION_INTERNAL = 5,
    CONFD_ERRCODE_PROTO_USAGE = 6,
    CONFD_ERRCODE_INTERNAL = 7,
    CONFD_ERRCODE_DATA_MISSING = 8,
    CONFD_ERRCODE_INTERRUPT = 9
};

struct xml_tag {
    uint32_t tag;
    uint32_t ns;
};

typedef struct confd_buf {
    unsigned int size;
    unsigned char *ptr;
} confd_buf_t;

struct confd_list {
    unsigned int size;
    struct confd_value *ptr;
};

struct confd_datetime {
    int16_t year;
    uint8_t month, day, hour, min, sec;
    uint32_t micro;
    int8_t timezone;
    int8_t timezone_minutes;
};

struct confd_ipv4_prefix {
    struct in_addr ip;
    uint8_t len;
};

struct confd_ipv6_prefix {
    struct in6_addr ip6;
    uint8_t len;
};

struct confd_decimal64 {
    int64_t value;
    uint8_t fraction_digits;
};

struct confd_qname {
    confd_buf_t prefix;
    confd_buf_t name;
};

struct confd_identityref {
    uint32_t ns;
    uint32_t id;
};

typedef struct confd_value {
    enum confd_vtype type;
    union {
        struct xml_tag xmltag;
        uint32_t symbol;
        confd_buf_t buf;
        char *s;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        double d;
        struct in_addr ip;
        struct in6_addr ip6;
        int boolean;
        struct confd_datetime datetime;
        int32_t enumvalue;
        uint32_t b32;
        uint64_t b64;
        struct confd_list list;
        struct confd_ipv4_prefix ipv4prefix;
        struct confd_ipv6_prefix ipv6prefix;
        struct confd_decimal64 d64;
        struct confd_identityref idref;
    } val;
} confd_value_t;

typedef struct confd_tag_value {
    struct xml_tag tag;
    confd_value_t v;
} confd_tag_value_t;

/* v[0] is the innermost element. A tag element holds C_XMLTAG in v[i][0]; a key
 * element holds the key values followed by a C_NOEXISTS. */
typedef struct confd_hkeypath {
    int len;
    confd_value_t v[MAXDEPTH][MAXKEYLEN];
} confd_hkeypath_t;

/* Value access, in ConfD's macro style. */
#define CONFD_GET_BUFPTR(v) ((v)->val.buf.ptr)
#define CONFD_GET_BUFSIZE(v) ((v)->val.buf.size)
#define CONFD_GET_CBUFPTR(v) ((const char *)(v)->val.buf.ptr)
#define CONFD_GET_STR(v) ((v)->val.s)
#define CONFD_GET_INT8(v) ((v)->val.i8)
#define CONFD_GET_INT16(v) ((v)->val.i16)
#define CONFD_GET_INT32(v) ((v)->val.i32)
#define CONFD_GET_INT64(v) ((v)->val.i64)
#define CONFD_GET_UINT8(v) ((v)->val.u8)
#define CONFD_GET_UINT16(v) ((v)->val.u16)
#define CONFD_GET_UINT32(v) ((v)->val.u32)
#define CONFD_GET_UINT64(v) ((v)->val.u64)
#define CONFD_GET_BOOL(v) ((v)->val.boolean)
#define CONFD_GET_ENUM_VALUE(v) ((v)->val.enumvalue)
#define CONFD_GET_ENUM_HASH(v) ((v)->val.enumvalue)
#define CONFD_GET_BIT32(v) ((v)->val.b32)
#define CONFD_GET_BIT64(v) ((v)->val.b64)
#define CONFD_GET_IPV4(v) ((v)->val.ip)
#define CONFD_GET_IPV6(v) ((v)->val.ip6)
#define CONFD_GET_IPV4PREFIX(v) ((v)->val.ipv4prefix)
#define CONFD_GET_IPV6PREFIX(v) ((v)->val.ipv6prefix)
#define CONFD_GET_DATETIME(v) ((v)->val.datetime)
#define CONFD_GET_LIST(v) ((v)->val.list.ptr)
#define CONFD_GET_LISTSIZE(v) ((v)->val.list.size)
#define CONFD_GET_XMLTAG(v) ((v)->val.xmltag.tag)
#define CONFD_GET_XMLTAG_NS(v) ((v)->val.xmltag.ns)

#define CONFD_SET_NOEXISTS(v) ((v)->type = C_NOEXISTS)
#define CONFD_SET_BUF(v, p, n)                                                                                         \
    ((v)->type = C_BUF, (v)->val.buf.ptr = (unsigned char *)(p), (v)->val.buf.size = (unsigned int)(n))
#define CONFD_SET_CBUF(v, p, n) CONFD_SET_BUF(v, p, n)
#define CONFD_SET_STR(v, x) ((v)->type = C_STR, (v)->val.s = (char *)(x))
#define CONFD_SET_INT8(v, x) ((v)->type = C_INT8, (v)->val.i8 = (x))
#define CONFD_SET_INT16(v, x) ((v)->type = C_INT16, (v)->val.i16 = (x))
#define CONFD_SET_INT32(v, x) ((v)->type = C_INT32, (v)->val.i32 = (x))
#define CONFD_SET_INT64(v, x) ((v)->type = C_INT64, (v)->val.i64 = (x))
#define CONFD_SET_UINT8(v, x) ((v)->type = C_UINT8, (v)->val.u8 = (x))
#define CONFD_SET_UINT16(v, x) ((v)->type = C_UINT16, (v)->val.u16 = (x))
#define CONFD_SET_UINT32(v, x) ((v)->type = C_UINT32, (v)->val.u32 = (x))
#define CONFD_SET_UINT64(v, x) ((v)->type = C_UINT64, (v)->val.u64 = (x))
#define CONFD_SET_BOOL(v, x) ((v)->type = C_BOOL, (v)->val.boolean = (x))
#define CONFD_SET_ENUM_VALUE(v, x) ((v)->type = C_ENUM_VALUE, (v)->val.enumvalue = (x))
#define CONFD_SET_BIT32(v, x) ((v)->type = C_BIT32, (v)->val.b32 = (x))
#define CONFD_SET_BIT64(v, x) ((v)->type = C_BIT64, (v)->val.b64 = (x))
#define CONFD_SET_IPV4(v, x) ((v)->type = C_IPV4, (v)->val.ip = (x))
#define CONFD_SET_IPV6(v, x) ((v)->type = C_IPV6, (v)->val.ip6 = (x))
#define CONFD_SET_DATETIME(v, x) ((v)->type = C_DATETIME, (v)->val.datetime = (x))
#define CONFD_SET_LIST(v, p, n) ((v)->type = C_LIST, (v)->val.list.ptr = (p), (v)->val.list.size = (n))
#define CONFD_SET_XMLTAG(v, t, n) ((v)->type = C_XMLTAG, (v)->val.xmltag.tag = (t), (v)->val.xmltag.ns = (n))

#define CONFD_GET_TAG_TAG(tv) ((tv)->tag.tag)
#define CONFD_GET_TAG_NS(tv) ((tv)->tag.ns)
#define CONFD_GET_TAG_VALUE(tv) (&(tv)->v)
#define CONFD_SET_TAG_TAG(tv, t, n) ((tv)->tag.tag = (t), (tv)->tag.ns = (n))
#define CONFD_SET_TAG_XMLBEGIN(tv, t, n)                                                                               \
    (CONFD_SET_TAG_TAG(tv, t, n), (tv)->v.type = C_XMLBEGIN, (tv)->v.val.xmltag.tag = (t), (tv)->v.val.xmltag.ns = (n))
#define CONFD_SET_TAG_XMLEND(tv, t, n)                                                                                 \
    (CONFD_SET_TAG_TAG(tv, t, n), (tv)->v.type = C_XMLEND, (tv)->v.val.xmltag.tag = (t), (tv)->v.val.xmltag.ns = (n))
#define CONFD_SET_TAG_XMLTAG(tv, t, n) (CONFD_SET_TAG_TAG(tv, t, n), CONFD_SET_XMLTAG(&(tv)->v, t, n))
#define CONFD_SET_TAG_NOEXISTS(tv, t) (CONFD_SET_TAG_TAG(tv, t, 0), (tv)->v.type = C_NOEXISTS)
#define CONFD_SET_TAG_BUF(tv, t, p, n) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_BUF(&(tv)->v, p, n))
#define CONFD_SET_TAG_STR(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_STR(&(tv)->v, x))
#define CONFD_SET_TAG_INT32(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_INT32(&(tv)->v, x))
#define CONFD_SET_TAG_UINT8(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_UINT8(&(tv)->v, x))
#define CONFD_SET_TAG_UINT16(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_UINT16(&(tv)->v, x))
#define CONFD_SET_TAG_UINT32(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_UINT32(&(tv)->v, x))
#define CONFD_SET_TAG_UINT64(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_UINT64(&(tv)->v, x))
#define CONFD_SET_TAG_BOOL(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_BOOL(&(tv)->v, x))
#define CONFD_SET_TAG_ENUM_VALUE(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_ENUM_VALUE(&(tv)->v, x))
#define CONFD_SET_TAG_IPV4(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_IPV4(&(tv)->v, x))
#define CONFD_SET_TAG_IPV6(tv, t, x) (CONFD_SET_TAG_TAG(tv, t, 0), CONFD_SET_IPV6(&(tv)->v, x))
#define CONFD_SET_TAG_VALUE(tv, t, vp) (CONFD_SET_TAG_TAG(tv, t, 0), (tv)->v = *(vp))

/* ---- errors, init, printing ---- */
extern __thread int confd_errno;
const char *confd_lasterr(void);
const char *confd_strerror(int code);

int confd_init_vsn_sz(const char *name, FILE *estream, const enum confd_debug_level debug, int vsn, int maxdepth,
                      int maxkeylen);
#define confd_init(name, estream, debug) confd_init_vsn_sz(name, estream, debug, CONFD_LIB_API_VSN, MAXDEPTH, MAXKEYLEN)

/* Bounds every exchange on sock (connect, each request and reply, each read of a frame)
   to timeout_ms; 0 waits for ever, as a new socket does. A database that does not answer
   in time gives CONFD_ERR with confd_errno CONFD_ERR_OS. 0, or -1 with errno. */
int confd_set_socket_timeout(int sock, int timeout_ms);

int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v);
int confd_pp_kpath(char *buf, int n, const confd_hkeypath_t *hkeypath);
int confd_pp_kpath_len(char *buf, int n, const confd_hkeypath_t *hkeypath, int len);
void confd_free_value(confd_value_t *v);
confd_value_t *confd_value_dup_to(const confd_value_t *v, confd_value_t *newv);
int confd_val_eq(const confd_value_t *v1, const confd_value_t *v2);
void confd_free_hkeypath(confd_hkeypath_t *hkp);
confd_hkeypath_t *confd_hkeypath_dup(const confd_hkeypath_t *src);

/* ---- schema information (confd_load_schemas) ---- */
struct confd_type;

struct confd_cs_node_info {
    uint32_t *keys; /* key tags, 0-terminated; NULL when not a list */
    int minOccurs;
    int maxOccurs; /* -1 unbounded */
    enum confd_vtype shallow_type;
    struct confd_type *type;
    confd_value_t *defval;
    void *choices;
    int flags;
    uint8_t cmp;
    void *meta_data;
};

#define CS_NODE_IS_LIST 1
#define CS_NODE_IS_WRITE 2
#define CS_NODE_IS_CDB 4
#define CS_NODE_IS_ACTION 8
#define CS_NODE_IS_PARAM 16
#define CS_NODE_IS_RESULT 32
#define CS_NODE_IS_NOTIF 64
#define CS_NODE_IS_CASE 128
#define CS_NODE_IS_CONTAINER 256
#define CS_NODE_IS_LEAF_LIST 8192

struct confd_cs_node {
    uint32_t tag;
    uint32_t ns;
    struct confd_cs_node_info info;
    struct confd_cs_node *parent;
    struct confd_cs_node *children;
    struct confd_cs_node *next;
    void *opaque;
};

struct confd_nsinfo {
    const char *uri;
    const char *prefix;
    uint32_t hash;
    const char *revision;
    const char *module;
};

int confd_load_schemas(const struct sockaddr *srv, int srv_sz);
char *confd_hash2str(uint32_t hash);
uint32_t confd_str2hash(const char *str);
const char *confd_ns2prefix(uint32_t ns);
int confd_get_nslist(struct confd_nsinfo **listp);
struct confd_cs_node *confd_find_cs_root(uint32_t ns);
struct confd_cs_node *confd_find_cs_node(const confd_hkeypath_t *hkeypath, int len);
struct confd_cs_node *confd_find_cs_node_child(const struct confd_cs_node *parent, struct xml_tag xmltag);
struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start, const char *fmt, ...);
struct confd_type *confd_get_leaf_list_type(struct confd_cs_node *node);
int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf, int bufsiz);
/* Enumeration (and other fixed-name) values only: *strp points at the name held by the schema. */
int confd_val2str_ptr(struct confd_type *type, const confd_value_t *val, const char **strp);
int confd_str2val(struct confd_type *type, const char *str, confd_value_t *val);

/* ---- daemon interface ---- */
enum confd_sock_type { CONTROL_SOCKET = 0, WORKER_SOCKET = 1 };
enum confd_dbname {
    CONFD_NO_DB = 0,
    CONFD_CANDIDATE = 1,
    CONFD_RUNNING = 2,
    CONFD_STARTUP = 3,
    CONFD_OPERATIONAL = 4,
    CONFD_TRANSACTION = 5,
    CONFD_PRE_COMMIT_RUNNING = 6
};
enum confd_trans_mode { CONFD_READ = 1, CONFD_READ_WRITE = 2 };
enum confd_find_next_type { CONFD_FIND_NEXT = 0, CONFD_FIND_SAME_OR_NEXT = 1 };
enum confd_proto {
    CONFD_PROTO_UNKNOWN = 0,
    CONFD_PROTO_TCP = 1,
    CONFD_PROTO_SSH = 2,
    CONFD_PROTO_SYSTEM = 3,
    CONFD_PROTO_CONSOLE = 4
};

struct confd_daemon_ctx {
    char name[MAX_DAEMON_NAME_LEN];
    int ctl_sock;
    void *d_opaque;
    void *impl; /* library-private */
};

struct confd_action_ctx {
    enum confd_dbname dbname;
    int thandle;
    void *actx_opaque;
    int fd; /* worker socket chosen by confd_action_set_fd */
};

struct confd_user_info {
    int af;
    union {
        struct in_addr v4;
        struct in6_addr v6;
    } ip;
    int port;
    char username[256];
    int usid;
    char context[256];
    enum confd_proto proto;
    struct confd_action_ctx actx;
    int lmode;
    char snmp_v3_ctx[256];
    char clearpass[256];
    int flags;
    void *u_opaque;
    struct confd_daemon_ctx *dx;
    void *impl; /* library-private */
};

struct confd_trans_ctx {
    int fd;
    int vfd;
    struct confd_daemon_ctx *dx;
    enum confd_trans_mode mode;
    enum confd_dbname dbname;
    struct confd_user_info *uinfo;
    void *t_opaque;
    int thandle;
    void *impl; /* library-private */
};

struct confd_trans_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*trans_lock)(struct confd_trans_ctx *tctx);
    int (*trans_unlock)(struct confd_trans_ctx *tctx);
    int (*write_start)(struct confd_trans_ctx *tctx);
    int (*prepare)(struct confd_trans_ctx *tctx);
    int (*abort)(struct confd_trans_ctx *tctx);
    int (*commit)(struct confd_trans_ctx *tctx);
    int (*finish)(struct confd_trans_ctx *tctx);
    void (*interrupt)(struct confd_trans_ctx *tctx);
};

struct confd_trans_validate_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*stop)(struct confd_trans_ctx *tctx);
};

struct confd_valpoint_cb {
    char valpoint[MAX_CALLPOINT_LEN];
    int (*validate)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, confd_value_t *newval);
    void *cb_opaque;
};

struct confd_data_cbs {
    char callpoint[MAX_CALLPOINT_LEN];
    int (*exists_optional)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_elem)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_next)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    int (*set_elem)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, confd_value_t *newval);
    int (*create)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*remove)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*find_next)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, enum confd_find_next_type type,
                     confd_value_t *keys, int nkeys);
    int (*num_instances)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    int (*find_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, enum confd_find_next_type type,
                            confd_value_t *keys, int nkeys);
    void *cb_opaque;
    int flags;
};

struct confd_action_cbs {
    char actionpoint[MAX_CALLPOINT_LEN];
    int (*init)(struct confd_user_info *uinfo);
    int (*abort)(struct confd_user_info *uinfo);
    int (*action)(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp, confd_tag_value_t *params,
                  int nparams);
    int (*command)(struct confd_user_info *uinfo, char *path, int argc, char **argv);
    int (*completion)(struct confd_user_info *uinfo, int cli_style, char *token, int completion_char,
                      confd_hkeypath_t *kp, char *cmdpath, char *cmdparam_id, struct confd_qname *simpleType,
                      char *extra);
    void *cb_opaque;
};

struct confd_notification_ctx {
    char streamname[MAX_STREAMNAME_LEN];
    int notif_worker_fd;
    char snmp_notify_name[256];
    char ctx_name[256];
    void *cb_opaque;
    struct confd_daemon_ctx *dx;
};

struct confd_notification_stream_cbs {
    char streamname[MAX_STREAMNAME_LEN];
    int fd;
    int (*get_log_times)(struct confd_notification_ctx *nctx);
    int (*replay)(struct confd_notification_ctx *nctx, struct confd_datetime *start, struct confd_datetime *stop);
    void *cb_opaque;
};

enum confd_snmp_var_type { CONFD_SNMP_VARIABLE = 1, CONFD_SNMP_OID = 2, CONFD_SNMP_COL_VARIABLE = 3 };

struct confd_snmp_col {
    char name[256];
    uint32_t rowindex[128];
    int rowlen;
};

struct confd_snmp_varbind {
    enum confd_snmp_var_type type;
    union {
        char name[256];
        uint32_t oid[128];
        struct confd_snmp_col col;
    } var;
    int oidlen;
    confd_value_t val;
};

struct confd_daemon_ctx *confd_init_daemon(const char *name);
void confd_release_daemon(struct confd_daemon_ctx *dx);
int confd_set_daemon_flags(struct confd_daemon_ctx *dx, int flags);
int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type, const struct sockaddr *srv,
                  int addrsz);
int confd_register_trans_cb(struct confd_daemon_ctx *dx, const struct confd_trans_cbs *trans);
int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx, const struct confd_trans_validate_cbs *vcbs);
int confd_register_valpoint_cb(struct confd_daemon_ctx *dx, const struct confd_valpoint_cb *vcb);
int confd_register_data_cb(struct confd_daemon_ctx *dx, const struct confd_data_cbs *data);
int confd_register_action_cbs(struct confd_daemon_ctx *dx, const struct confd_action_cbs *acb);
int confd_register_notification_stream(struct confd_daemon_ctx *dx, const struct confd_notification_stream_cbs *ncbs,
                                       struct confd_notification_ctx **nctx);
int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd, const char *notify_name, const char *ctx_name,
                                     struct confd_notification_ctx **nctx);
int confd_register_done(struct confd_daemon_ctx *dx);
int confd_fd_ready(struct confd_daemon_ctx *dx, int fd);

void confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock);
void confd_action_set_fd(struct confd_user_info *uinfo, int sock);
void confd_trans_seterr(struct confd_trans_ctx *tctx, const char *fmt, ...);
void confd_action_seterr(struct confd_user_info *uinfo, const char *fmt, ...);
int confd_action_reply_values(struct confd_user_info *uinfo, confd_tag_value_t *values, int nvalues);

int confd_data_reply_value(struct confd_trans_ctx *tctx, const confd_value_t *v);
int confd_data_reply_value_array(struct confd_trans_ctx *tctx, const confd_value_t *vs, int n);
int confd_data_reply_tag_value_array(struct confd_trans_ctx *tctx, const confd_tag_value_t *tvs, int n);
int confd_data_reply_next_key(struct confd_trans_ctx *tctx, const confd_value_t *v, int num_vals_in_key, long next);
int confd_data_reply_not_found(struct confd_trans_ctx *tctx);
int confd_data_reply_found(struct confd_trans_ctx *tctx);
int confd_data_reply_next_object_array(struct confd_trans_ctx *tctx, const confd_value_t *v, int n, long next);
int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *tctx, const confd_tag_value_t *tv, int n,
                                                 long next);

int confd_notification_send(struct confd_notification_ctx *nctx, struct confd_datetime *time, confd_tag_value_t *values,
                            int nvalues);
int confd_notification_send_snmp(struct confd_notification_ctx *nctx, const char *notification,
                                 struct confd_snmp_varbind *varbinds, int num_vars);
int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx, const char *notify_name);

#ifdef __cplusplus
}
#endif

#endif
