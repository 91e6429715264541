// CDB calls: sessions, reads and operational writes, subscriptions and the
// local walk of a delivered change set (cdb_diff_iterate, cdb_get_modifications*).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "platform/cdb/confd_cdb.h"
#include "platform/cdb/confd_internal.h"

using cdbwire::WireReader;
using cdbwire::WireWriter;
using confd_internal::set_err;

namespace
{

enum NodeKind : uint8_t { kLeaf = 0, kContainer = 1, kPresence = 2, kListEntry = 3, kLeafList = 4 };

// One changed node of a delivered change set, as sent by the server.
struct DiffNode {
    uint8_t op = 0;
    uint8_t kind = 0;
    uint32_t tag = 0, ns = 0;
    confd_value_t oldv{}, newv{};
    std::vector<confd_tag_value_t> keys;
    std::vector<DiffNode> children;

    DiffNode() = default;
    DiffNode(const DiffNode &) = delete;
    DiffNode &operator=(const DiffNode &) = delete;
    DiffNode(DiffNode &&o) noexcept { *this = std::move(o); }
    DiffNode &operator=(DiffNode &&o) noexcept
    {
        std::swap(op, o.op);
        std::swap(kind, o.kind);
        std::swap(tag, o.tag);
        std::swap(ns, o.ns);
        std::swap(oldv, o.oldv);
        std::swap(newv, o.newv);
        keys.swap(o.keys);
        children.swap(o.children);
        return *this;
    }
    ~DiffNode()
    {
        confd_free_value(&oldv);
        confd_free_value(&newv);
        for (auto &k : keys)
            confd_free_value(&k.v);
    }
};

struct DiffRoot {
    confd_hkeypath_t kp;
    DiffNode node;
    DiffRoot() { memset(&kp, 0, sizeof kp); }
    DiffRoot(const DiffRoot &) = delete;
    DiffRoot(DiffRoot &&o) noexcept : kp(o.kp), node(std::move(o.node)) { memset(&o.kp, 0, sizeof o.kp); }
    ~DiffRoot()
    {
        for (int i = 0; i < kp.len; i++)
            for (int k = 0; k < MAXKEYLEN && kp.v[i][k].type != C_NOEXISTS && kp.v[i][k].type != 0; k++)
                confd_free_value(&kp.v[i][k]);
    }
};

bool read_node(WireReader &r, DiffNode *n, int depth)
{
    if (depth > MAXDEPTH * 2)
        return false;
    n->op = r.u8();
    n->kind = r.u8();
    n->tag = r.u32();
    n->ns = r.u32();
    if (!r.value(&n->oldv) || !r.value(&n->newv))
        return false;
    uint32_t nk = r.u32();
    if (nk >= MAXKEYLEN)
        return false;
    n->keys.resize(nk);
    for (auto &k : n->keys) {
        memset(&k, 0, sizeof k);
        if (!r.tagvalue(&k))
            return false;
    }
    uint32_t nc = r.u32();
    if (!r.ok() || nc > 1u << 24)
        return false;
    n->children.reserve(nc);
    for (uint32_t i = 0; i < nc; i++) {
        n->children.emplace_back();
        if (!read_node(r, &n->children.back(), depth + 1))
            return false;
    }
    return r.ok();
}

int fetch_diff(int sock, int subid, std::vector<DiffRoot> *roots)
{
    WireWriter w;
    w.i32(subid);
    std::string body;
    if (confd_internal::request(sock, cdbwire::kOpDiff, w, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    uint32_t n = r.u32();
    if (!r.ok() || n > 1u << 24)
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed change set");
    roots->reserve(n);
    for (uint32_t i = 0; i < n; i++) {
        roots->emplace_back();
        if (!r.hkeypath(&roots->back().kp) || !read_node(r, &roots->back().node, 0))
            return set_err(CONFD_ERR_PROTOUSAGE, "malformed change set");
    }
    return CONFD_OK;
}

void push(std::vector<confd_tag_value_t> &out, uint32_t tag, uint32_t ns, const confd_value_t &v)
{
    confd_tag_value_t tv;
    memset(&tv, 0, sizeof tv);
    tv.tag.tag = tag;
    tv.tag.ns = ns;
    confd_value_dup_to(&v, &tv.v);
    out.push_back(tv);
}

void push_mark(std::vector<confd_tag_value_t> &out, const DiffNode &n, confd_vtype type)
{
    confd_value_t v;
    memset(&v, 0, sizeof v);
    v.type = type;
    v.val.xmltag.tag = n.tag;
    v.val.xmltag.ns = n.ns;
    push(out, n.tag, n.ns, v);
}

void modifications(const std::vector<DiffNode> &nodes, int flags, std::vector<confd_tag_value_t> &out);

// The modifications of one node: a leaf's value, or its subtree bracketed.
void node_modifications(const DiffNode &n, int flags, std::vector<confd_tag_value_t> &out)
{
    confd_value_t noexists;
    memset(&noexists, 0, sizeof noexists);
    noexists.type = C_NOEXISTS;
    switch (n.kind) {
    case kLeaf:
    case kLeafList:
        push(out, n.tag, n.ns, n.op == MOP_DELETED ? noexists : n.newv);
        break;
    case kContainer:
    case kPresence: {
        if (n.op == MOP_DELETED) {
            push(out, n.tag, n.ns, noexists);
            break;
        }
        size_t mark = out.size();
        push_mark(out, n, C_XMLBEGIN);
        size_t before = out.size();
        modifications(n.children, flags, out);
        if (out.size() == before && n.kind == kContainer && n.op != MOP_CREATED) {
            for (size_t i = mark; i < out.size(); i++)
                confd_free_value(&out[i].v);
            out.resize(mark);
            break;
        }
        push_mark(out, n, C_XMLEND);
        break;
    }
    case kListEntry: {
        if (!(flags & CDB_GET_MODS_INCLUDE_LISTS))
            break;
        push_mark(out, n, n.op == MOP_DELETED ? C_XMLBEGINDEL : C_XMLBEGIN);
        for (auto &k : n.keys)
            push(out, k.tag.tag, k.tag.ns, k.v);
        if (n.op != MOP_DELETED) {
            for (auto &c : n.children) {
                bool is_key = false;
                for (auto &k : n.keys)
                    is_key |= (c.kind == kLeaf && c.tag == k.tag.tag);
                if (!is_key)
                    node_modifications(c, flags, out);
            }
        }
        push_mark(out, n, C_XMLEND);
        break;
    }
    default:
        break;
    }
}

void modifications(const std::vector<DiffNode> &nodes, int flags, std::vector<confd_tag_value_t> &out)
{
    for (auto &n : nodes)
        node_modifications(n, flags, out);
}

int hand_out(std::vector<confd_tag_value_t> &mods, confd_tag_value_t **values, int *nvalues)
{
    *values = nullptr;
    *nvalues = static_cast<int>(mods.size());
    if (mods.empty())
        return CONFD_OK;
    *values = static_cast<confd_tag_value_t *>(malloc(mods.size() * sizeof(confd_tag_value_t)));
    if (!*values) {
        for (auto &m : mods)
            confd_free_value(&m.v);
        *nvalues = 0;
        return set_err(CONFD_ERR_MALLOC, "out of memory");
    }
    memcpy(*values, mods.data(), mods.size() * sizeof(confd_tag_value_t));
    return CONFD_OK;
}

// State of the cdb_diff_iterate in progress on this thread (for cdb_get_modifications_iter).
struct IterFrame {
    int sock;
    const DiffNode *node;
};
thread_local IterFrame *t_iter = nullptr;

using IterFn = enum cdb_iter_ret (*)(confd_hkeypath_t *, enum cdb_iter_op, confd_value_t *, confd_value_t *, void *);

struct IterCtx {
    IterFn fn;
    int flags;
    void *state;
    int sock;
};

void kp_push_tag(confd_hkeypath_t *kp, uint32_t tag, uint32_t ns)
{
    memmove(&kp->v[1], &kp->v[0], sizeof(kp->v[0]) * (MAXDEPTH - 1));
    memset(&kp->v[0], 0, sizeof kp->v[0]);
    CONFD_SET_XMLTAG(&kp->v[0][0], tag, ns);
    kp->v[0][1].type = C_NOEXISTS;
    kp->len++;
}

void kp_push_keys(confd_hkeypath_t *kp, const std::vector<confd_tag_value_t> &keys)
{
    memmove(&kp->v[1], &kp->v[0], sizeof(kp->v[0]) * (MAXDEPTH - 1));
    memset(&kp->v[0], 0, sizeof kp->v[0]);
    size_t i = 0;
    for (; i < keys.size() && i + 1 < MAXKEYLEN; i++)
        kp->v[0][i] = keys[i].v;  // shallow: lives in the node
    kp->v[0][i].type = C_NOEXISTS;
    kp->len++;
}

void kp_pop(confd_hkeypath_t *kp, int n)
{
    memmove(&kp->v[0], &kp->v[n], sizeof(kp->v[0]) * (MAXDEPTH - n));
    kp->len -= n;
}

enum cdb_iter_ret visit_list(IterCtx &c, const std::vector<DiffNode> &nodes, confd_hkeypath_t *kp);

// kp already names n. Returns ITER_STOP to end everything, ITER_UP to leave this level.
enum cdb_iter_ret visit(IterCtx &c, const DiffNode &n, confd_hkeypath_t *kp)
{
    if (n.kind == kContainer && n.op == MOP_MODIFIED)
        return visit_list(c, n.children, kp);
    IterFrame frame{c.sock, &n};
    IterFrame *saved = t_iter;
    t_iter = &frame;
    confd_value_t *newv = nullptr, *oldv = nullptr;
    if (n.kind == kLeaf || n.kind == kLeafList) {
        if (n.op != MOP_DELETED)
            newv = const_cast<confd_value_t *>(&n.newv);
        if (c.flags & ITER_WANT_PREV)
            oldv = const_cast<confd_value_t *>(&n.oldv);
    }
    if (kp->len > MAXDEPTH) {
        t_iter = saved;
        return ITER_CONTINUE;
    }
    enum cdb_iter_ret r = c.fn(kp, static_cast<cdb_iter_op>(n.op), oldv, newv, c.state);
    t_iter = saved;
    if (r == ITER_RECURSE && !n.children.empty())
        return visit_list(c, n.children, kp) == ITER_STOP ? ITER_STOP : ITER_CONTINUE;
    if (r == ITER_STOP || r == ITER_UP)
        return r;
    return ITER_CONTINUE;
}

enum cdb_iter_ret visit_list(IterCtx &c, const std::vector<DiffNode> &nodes, confd_hkeypath_t *kp)
{
    for (auto &n : nodes) {
        if (kp->len + 2 > MAXDEPTH)
            break;
        kp_push_tag(kp, n.tag, n.ns);
        int pushed = 1;
        if (n.kind == kListEntry) {
            kp_push_keys(kp, n.keys);
            pushed = 2;
        }
        enum cdb_iter_ret r = visit(c, n, kp);
        kp_pop(kp, pushed);
        if (r == ITER_STOP)
            return ITER_STOP;
        if (r == ITER_UP)
            return ITER_CONTINUE;
    }
    return ITER_CONTINUE;
}

int path_of(std::string *path, const char *fmt, va_list ap) { return confd_internal::format_path(path, fmt, ap); }

int simple_request(int sock, uint32_t op, const std::string &path, std::string *reply = nullptr)
{
    WireWriter w;
    w.str(path);
    return confd_internal::request(sock, op, w, reply);
}

// A request on a path answered by one number (cdb_exists: u8, cdb_num_instances: i32).
int path_query(int sock, uint32_t op, const char *fmt, va_list ap)
{
    std::string path, body;
    if (path_of(&path, fmt, ap) != CONFD_OK || simple_request(sock, op, path, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    int n = op == cdbwire::kOpExists ? r.u8() : r.i32();
    return r.ok() ? n : set_err(CONFD_ERR_PROTOUSAGE, "malformed reply");
}

int get_value(int sock, confd_value_t *v, const char *fmt, va_list ap)
{
    std::string path, body;
    if (path_of(&path, fmt, ap) != CONFD_OK)
        return CONFD_ERR;
    if (simple_request(sock, cdbwire::kOpGet, path, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    if (!r.value(v))
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed value");
    return CONFD_OK;
}

// Reads one value and checks its type; the typed getters share it.
int get_typed(int sock, confd_value_t *v, confd_vtype want, const char *fmt, va_list ap)
{
    if (get_value(sock, v, fmt, ap) != CONFD_OK)
        return CONFD_ERR;
    if (v->type != want) {
        int got = v->type;
        confd_free_value(v);
        return set_err(CONFD_ERR_BADTYPE, "value has type %d, not %d", got, want);
    }
    return CONFD_OK;
}

#define CDB_TYPED_GETTER(fn, ctype, vtype, field)                                                                      \
    int fn(int sock, ctype *rval, const char *fmt, ...)                                                                \
    {                                                                                                                  \
        confd_value_t v;                                                                                               \
        va_list ap;                                                                                                    \
        va_start(ap, fmt);                                                                                             \
        int rc = get_typed(sock, &v, vtype, fmt, ap);                                                                  \
        va_end(ap);                                                                                                    \
        if (rc == CONFD_OK)                                                                                            \
            *rval = v.val.field;                                                                                       \
        return rc;                                                                                                     \
    }

int write_op(int sock, uint32_t op, const confd_value_t *val, const char *fmt, va_list ap)
{
    std::string path;
    if (path_of(&path, fmt, ap) != CONFD_OK)
        return CONFD_ERR;
    WireWriter w;
    w.str(path);
    if (val)
        w.value(*val);
    return confd_internal::request(sock, op, w, nullptr);
}

int subscribe(int sock, enum cdb_sub_type type, int flags, int prio, int *spoint, int ns, const char *fmt, va_list ap)
{
    std::string path, body;
    if (path_of(&path, fmt, ap) != CONFD_OK)
        return CONFD_ERR;
    WireWriter w;
    w.u32(type);
    w.u32(static_cast<uint32_t>(flags));
    w.i32(prio);
    w.u32(static_cast<uint32_t>(ns));
    w.str(path);
    if (confd_internal::request(sock, cdbwire::kOpSubscribe, w, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    int id = r.i32();
    if (!r.ok())
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed subscribe reply");
    if (spoint)
        *spoint = id;
    return CONFD_OK;
}

int trigger(int sock, bool oper, int flags, const int ids[], int len)
{
    WireWriter w;
    w.u8(oper ? 1 : 0);
    w.u32(static_cast<uint32_t>(flags));
    w.u32(static_cast<uint32_t>(len < 0 ? 0 : len));
    for (int i = 0; i < len; i++)
        w.i32(ids[i]);
    return confd_internal::request(sock, cdbwire::kOpTrigger, w, nullptr);
}

}  // namespace

extern "C" {

int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz)
{
    return cdb_connect_name(sock, type, srv, srv_sz, nullptr);
}

int cdb_connect_name(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int srv_sz, const char *name)
{
    if (type != CDB_READ_SOCKET && type != CDB_SUBSCRIPTION_SOCKET && type != CDB_DATA_SOCKET)
        return set_err(CONFD_ERR_PROTOUSAGE, "bad socket type %d", type);
    int rc = confd_internal::hello(sock, srv, srv_sz, static_cast<cdbwire::ConnKind>(type), name, 0, nullptr);
    return rc < 0 ? CONFD_ERR : CONFD_OK;
}

int cdb_close(int sock) { return close(sock) == 0 ? CONFD_OK : set_err(CONFD_ERR_OS, "close failed"); }

int cdb_start_session(int sock, enum cdb_db_type db) { return cdb_start_session2(sock, db, CDB_LOCK_WAIT); }

int cdb_start_session2(int sock, enum cdb_db_type db, int flags)
{
    WireWriter w;
    w.u32(db);
    w.u32(static_cast<uint32_t>(flags));
    return confd_internal::request(sock, cdbwire::kOpStartSession, w, nullptr);
}

int cdb_end_session(int sock)
{
    WireWriter w;
    return confd_internal::request(sock, cdbwire::kOpEndSession, w, nullptr);
}

int cdb_get_phase(int sock, struct cdb_phase *phase)
{
    WireWriter w;
    std::string body;
    if (confd_internal::request(sock, cdbwire::kOpGetPhase, w, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    memset(phase, 0, sizeof *phase);
    phase->phase = r.i32();
    phase->flags = r.i32();
    phase->init = (phase->flags & CDB_FLAG_INIT) != 0;
    phase->upgrade = (phase->flags & CDB_FLAG_UPGRADE) != 0;
    return r.ok() ? CONFD_OK : set_err(CONFD_ERR_PROTOUSAGE, "malformed phase reply");
}

int cdb_wait_start(int sock)
{
    WireWriter w;
    return confd_internal::request(sock, cdbwire::kOpWaitStart, w, nullptr);
}

int cdb_exists(int sock, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_query(sock, cdbwire::kOpExists, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_num_instances(int sock, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_query(sock, cdbwire::kOpNumInstances, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_vget(int sock, confd_value_t *v, const char *fmt, va_list args) { return get_value(sock, v, fmt, args); }

int cdb_get(int sock, confd_value_t *v, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = get_value(sock, v, fmt, ap);
    va_end(ap);
    return rc;
}

CDB_TYPED_GETTER(cdb_get_int32, int32_t, C_INT32, i32)
CDB_TYPED_GETTER(cdb_get_u_int8, uint8_t, C_UINT8, u8)
CDB_TYPED_GETTER(cdb_get_u_int16, uint16_t, C_UINT16, u16)
CDB_TYPED_GETTER(cdb_get_u_int32, uint32_t, C_UINT32, u32)
CDB_TYPED_GETTER(cdb_get_int64, int64_t, C_INT64, i64)
CDB_TYPED_GETTER(cdb_get_u_int64, uint64_t, C_UINT64, u64)
CDB_TYPED_GETTER(cdb_get_bool, int, C_BOOL, boolean)
CDB_TYPED_GETTER(cdb_get_enum_value, int32_t, C_ENUM_VALUE, enumvalue)
CDB_TYPED_GETTER(cdb_get_bit32, uint32_t, C_BIT32, b32)
CDB_TYPED_GETTER(cdb_get_ipv4, struct in_addr, C_IPV4, ip)
CDB_TYPED_GETTER(cdb_get_ipv6, struct in6_addr, C_IPV6, ip6)

int cdb_get_str(int sock, char *rval, int n, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = get_value(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return rc;
    const char *p = nullptr;
    size_t len = 0;
    if (v.type == C_BUF) {
        p = reinterpret_cast<const char *>(v.val.buf.ptr);
        len = v.val.buf.size;
    } else if (v.type == C_STR) {
        p = v.val.s;
        len = strlen(p);
    } else {
        int t = v.type;
        confd_free_value(&v);
        return set_err(CONFD_ERR_BADTYPE, "value has type %d, not a string", t);
    }
    if (n > 0) {
        size_t m = len < static_cast<size_t>(n - 1) ? len : static_cast<size_t>(n - 1);
        memcpy(rval, p, m);
        rval[m] = '\0';
    }
    confd_free_value(&v);
    return CONFD_OK;
}

int cdb_get_buf(int sock, unsigned char **rval, int *bufsiz, const char *fmt, ...)
{
    confd_value_t v;
    va_list ap;
    va_start(ap, fmt);
    int rc = get_value(sock, &v, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return rc;
    if (v.type != C_BUF) {
        int t = v.type;
        confd_free_value(&v);
        return set_err(CONFD_ERR_BADTYPE, "value has type %d, not C_BUF", t);
    }
    *rval = v.val.buf.ptr;  // ownership passes to the caller
    *bufsiz = static_cast<int>(v.val.buf.size);
    return CONFD_OK;
}

int cdb_vset_elem(int sock, confd_value_t *val, const char *fmt, va_list args)
{
    return write_op(sock, cdbwire::kOpSetElem, val, fmt, args);
}

int cdb_set_elem(int sock, confd_value_t *val, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = write_op(sock, cdbwire::kOpSetElem, val, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_set_elem2(int sock, const char *strval, const char *fmt, ...)
{
    std::string path;
    va_list ap;
    va_start(ap, fmt);
    int rc = path_of(&path, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return rc;
    WireWriter w;
    w.str(path);
    w.str(strval ? strval : "");
    return confd_internal::request(sock, cdbwire::kOpSetElem2, w, nullptr);
}

int cdb_vcreate(int sock, const char *fmt, va_list args)
{
    return write_op(sock, cdbwire::kOpCreate, nullptr, fmt, args);
}

int cdb_create(int sock, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = write_op(sock, cdbwire::kOpCreate, nullptr, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_vdelete(int sock, const char *fmt, va_list args)
{
    return write_op(sock, cdbwire::kOpDelete, nullptr, fmt, args);
}

int cdb_delete(int sock, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = write_op(sock, cdbwire::kOpDelete, nullptr, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = subscribe(sock, CDB_SUB_RUNNING, 0, priority, spoint, nspace, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_subscribe2(int sock, enum cdb_sub_type type, int flags, int priority, int *spoint, int nspace, const char *fmt,
                   ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = subscribe(sock, type, flags, priority, spoint, nspace, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = subscribe(sock, CDB_SUB_OPERATIONAL, 0, 0, spoint, nspace, fmt, ap);
    va_end(ap);
    return rc;
}

int cdb_subscribe_done(int sock)
{
    WireWriter w;
    return confd_internal::request(sock, cdbwire::kOpSubscribeDone, w, nullptr);
}

int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags, int *subpoints[],
                                  int *resultlen)
{
    uint32_t op = 0;
    std::string payload;
    int rc = cdbwire::read_frame(sock, &op, &payload);
    if (rc != CONFD_OK)
        return rc;
    if (op != cdbwire::kOpNotify)
        return set_err(CONFD_ERR_PROTOUSAGE, "unexpected message %u on subscription socket", op);
    WireReader r(payload);
    uint32_t t = r.u32();
    uint32_t f = r.u32();
    uint32_t n = r.u32();
    if (!r.ok() || n > 1u << 20)
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed notification");
    int *ids = static_cast<int *>(malloc((n ? n : 1) * sizeof(int)));
    if (!ids)
        return set_err(CONFD_ERR_MALLOC, "out of memory");
    for (uint32_t i = 0; i < n; i++)
        ids[i] = r.i32();
    if (!r.ok()) {
        free(ids);
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed notification");
    }
    if (type)
        *type = static_cast<cdb_sub_notification>(t);
    if (flags)
        *flags = static_cast<int>(f);
    *resultlen = static_cast<int>(n);
    if (subpoints)
        *subpoints = ids;
    else
        free(ids);
    return CONFD_OK;
}

int cdb_read_subscription_socket(int sock, int sub_points[], int *resultlen)
{
    int *ids = nullptr;
    int n = 0;
    int rc = cdb_read_subscription_socket2(sock, nullptr, nullptr, &ids, &n);
    if (rc != CONFD_OK)
        return rc;
    for (int i = 0; i < n; i++)
        sub_points[i] = ids[i];
    *resultlen = n;
    free(ids);
    return CONFD_OK;
}

int cdb_diff_iterate(int sock, int subid,
                     enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *oldv,
                                               confd_value_t *newv, void *state),
                     int flags, void *initstate)
{
    if (!iter)
        return set_err(CONFD_ERR_PROTOUSAGE, "no iterator");
    std::vector<DiffRoot> roots;
    if (fetch_diff(sock, subid, &roots) != CONFD_OK)
        return CONFD_ERR;
    IterCtx c{iter, flags, initstate, sock};
    for (auto &root : roots) {
        confd_hkeypath_t kp = root.kp;  // shallow copy: values stay owned by root
        if (visit(c, root.node, &kp) == ITER_STOP)
            break;
    }
    return CONFD_OK;
}

int cdb_get_modifications_iter(int sock, int flags, confd_tag_value_t **values, int *nvalues)
{
    if (!t_iter || t_iter->sock != sock)
        return set_err(CONFD_ERR_PROTOUSAGE, "cdb_get_modifications_iter outside cdb_diff_iterate");
    std::vector<confd_tag_value_t> mods;
    const DiffNode &n = *t_iter->node;
    if (n.kind == kLeaf || n.kind == kLeafList)
        node_modifications(n, flags, mods);
    else if (n.op != MOP_DELETED)
        modifications(n.children, flags, mods);
    return hand_out(mods, values, nvalues);
}

int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values, int *nvalues, const char *fmt,
                          ...)
{
    (void)fmt;  // the whole subscription is always returned
    std::vector<DiffRoot> roots;
    if (fetch_diff(sock, subid, &roots) != CONFD_OK)
        return CONFD_ERR;
    std::vector<confd_tag_value_t> mods;
    for (auto &root : roots) {
        if (root.node.kind == kContainer && root.node.op == MOP_MODIFIED)
            modifications(root.node.children, flags, mods);
        else
            node_modifications(root.node, flags, mods);
    }
    return hand_out(mods, values, nvalues);
}

int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st)
{
    WireWriter w;
    w.u32(st);
    return confd_internal::request(sock, cdbwire::kOpSync, w, nullptr);
}

int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t apptag_ns, uint32_t apptag_tag, const char *fmt,
                        ...)
{
    char msg[1024] = "";
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(msg, sizeof msg, fmt, ap);
        va_end(ap);
    }
    WireWriter w;
    w.u32(code);
    w.u32(apptag_ns);
    w.u32(apptag_tag);
    w.str(msg);
    return confd_internal::request(sock, cdbwire::kOpSubAbort, w, nullptr);
}

int cdb_trigger_subscriptions(int sock, int sub_points[], int len) { return trigger(sock, false, 0, sub_points, len); }

int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags)
{
    return trigger(sock, true, flags, sub_points, len);
}

int cdb_get_txid(int sock, struct cdb_txid *txid)
{
    WireWriter w;
    std::string body;
    if (confd_internal::request(sock, cdbwire::kOpGetTxid, w, &body) != CONFD_OK)
        return CONFD_ERR;
    WireReader r(body);
    memset(txid, 0, sizeof *txid);
    txid->s1 = r.u32();
    txid->s2 = r.u32();
    txid->s3 = r.u32();
    snprintf(txid->primary, sizeof txid->primary, "%s", r.str().c_str());
    return r.ok() ? CONFD_OK : set_err(CONFD_ERR_PROTOUSAGE, "malformed txid reply");
}

int cdb_trigger_subscriptions_since(int sock, int sub_points[], const struct cdb_txid since[], int len)
{
    WireWriter w;
    w.u32(static_cast<uint32_t>(len < 0 ? 0 : len));
    for (int i = 0; i < len; i++) {
        w.i32(sub_points[i]);
        w.u32(since[i].s1);
        w.u32(since[i].s2);
        w.u32(since[i].s3);
    }
    return confd_internal::request(sock, cdbwire::kOpTriggerSince, w, nullptr);
}

}  // extern "C"
