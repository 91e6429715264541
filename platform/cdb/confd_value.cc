// Library core: errors, init, values and keypaths, framing helpers.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/cdb/confd_internal.h"

__thread int confd_errno = 0;

namespace
{
__thread char g_lasterr[1024];
std::mutex g_name_mu;
std::string g_name = "confd-client";

std::mutex g_write_mu;
std::map<int, std::shared_ptr<std::mutex>> g_fd_mu;

std::shared_ptr<std::mutex> fd_mutex(int fd)
{
    std::lock_guard<std::mutex> lk(g_write_mu);
    auto &m = g_fd_mu[fd];
    if (!m)
        m = std::make_shared<std::mutex>();
    return m;
}
}  // namespace

namespace confd_internal
{

int set_err(int code, const char *fmt, ...)
{
    confd_errno = code;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_lasterr, sizeof g_lasterr, fmt, ap);
    va_end(ap);
    return CONFD_ERR;
}

void free_tag_values(confd_tag_value_t *tv, int n)
{
    if (!tv)
        return;
    for (int i = 0; i < n; i++)
        confd_free_value(&tv[i].v);
    free(tv);
}

const char *client_name()
{
    std::lock_guard<std::mutex> lk(g_name_mu);
    static thread_local std::string copy;
    copy = g_name;
    return copy.c_str();
}

int send_frame(int sock, uint32_t op, cdbwire::WireWriter &w)
{
    auto mu = fd_mutex(sock);
    std::lock_guard<std::mutex> lk(*mu);
    return cdbwire::write_all(sock, w.frame(op));
}

int request(int sock, uint32_t op, cdbwire::WireWriter &w, std::string *reply)
{
    if (send_frame(sock, op, w) != CONFD_OK)
        return CONFD_ERR;
    uint32_t rop = 0;
    std::string payload;
    int rc = cdbwire::read_frame(sock, &rop, &payload);
    if (rc == CONFD_EOF)
        return set_err(CONFD_ERR_OS, "connection to the database closed");
    if (rc != CONFD_OK)
        return CONFD_ERR;
    if (rop != cdbwire::kOpReply)
        return set_err(CONFD_ERR_PROTOUSAGE, "unexpected message %u instead of a reply", rop);
    cdbwire::WireReader r(payload);
    int32_t err = r.i32();
    std::string msg = r.str();
    if (!r.ok())
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed reply");
    if (err != 0)
        return set_err(err, "%s", msg.c_str());
    if (reply)
        *reply = payload.substr(8 + msg.size());
    return CONFD_OK;
}

int hello(int sock, const struct sockaddr *srv, int srv_sz, cdbwire::ConnKind kind, const char *name,
          uint32_t daemon_id, uint32_t *daemon_id_out)
{
    if (!srv)
        return set_err(CONFD_ERR_PROTOUSAGE, "no server address");
    if (connect(sock, srv, static_cast<socklen_t>(srv_sz)) != 0)
        return set_err(CONFD_ERR_OS, "failed to connect to the database: %s", strerror(errno));
    cdbwire::WireWriter w;
    w.u8(kind);
    w.str(name ? name : client_name());
    w.u32(daemon_id);
    std::string body;
    if (request(sock, cdbwire::kOpHello, w, &body) != CONFD_OK)
        return CONFD_ERR;
    cdbwire::WireReader r(body);
    uint32_t id = r.u32();
    uint32_t did = r.u32();
    if (!r.ok())
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed hello reply");
    if (daemon_id_out)
        *daemon_id_out = did;
    return static_cast<int>(id);
}

// %x takes a confd_value_t *, %*x a count and an array; other conversions are printf's.
int format_path(std::string *out, const char *fmt, va_list args)
{
    out->clear();
    if (!fmt)
        return set_err(CONFD_ERR_BADPATH, "no path");
    char vbuf[512];
    auto add_value = [&](const confd_value_t *v) {
        confd_pp_value(vbuf, sizeof vbuf, v);
        bool quote = strpbrk(vbuf, " \t{}\"") != nullptr || vbuf[0] == '\0';
        if (quote)
            out->push_back('"');
        for (const char *p = vbuf; *p; p++) {
            if (quote && (*p == '"' || *p == '\\'))
                out->push_back('\\');
            out->push_back(*p);
        }
        if (quote)
            out->push_back('"');
    };
    for (const char *p = fmt; *p; p++) {
        if (*p != '%') {
            out->push_back(*p);
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            out->push_back('%');
            continue;
        }
        if (*p == '*' && p[1] == 'x') {
            p++;
            int n = va_arg(args, int);
            const confd_value_t *vs = va_arg(args, const confd_value_t *);
            for (int i = 0; i < n; i++) {
                if (i)
                    out->push_back(' ');
                add_value(&vs[i]);
            }
            continue;
        }
        if (*p == 'x') {
            add_value(va_arg(args, const confd_value_t *));
            continue;
        }
        // a printf conversion: flags, width, precision, length, type
        while (*p && strchr("-+ #0123456789.", *p))
            p++;
        int longs = 0;
        bool half = false, size_t_len = false;
        while (*p == 'l' || *p == 'h' || *p == 'z' || *p == 'j') {
            if (*p == 'l')
                longs++;
            if (*p == 'h')
                half = true;
            if (*p == 'z' || *p == 'j')
                size_t_len = true;
            p++;
        }
        if (!*p)
            return set_err(CONFD_ERR_BADPATH, "bad path format %s", fmt);
        std::string conv(start, p + 1);
        char buf[256];
        switch (*p) {
        case 'd':
        case 'i':
            if (longs >= 2)
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, long long));
            else if (longs == 1 || size_t_len)
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, long));
            else
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, int));
            break;
        case 'u':
        case 'X':
        case 'o':
            if (longs >= 2)
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, unsigned long long));
            else if (longs == 1 || size_t_len)
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, unsigned long));
            else
                snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, unsigned));
            break;
        case 'c':
            snprintf(buf, sizeof buf, "%c", va_arg(args, int));
            break;
        case 's': {
            const char *s = va_arg(args, const char *);
            out->append(s ? s : "");
            buf[0] = '\0';
            break;
        }
        case 'f':
        case 'g':
            snprintf(buf, sizeof buf, conv.c_str(), va_arg(args, double));
            break;
        default:
            return set_err(CONFD_ERR_BADPATH, "unsupported conversion in path format %s", fmt);
        }
        (void)half;
        out->append(buf);
    }
    return CONFD_OK;
}

}  // namespace confd_internal

using confd_internal::set_err;

extern "C" {

int confd_set_socket_timeout(int sock, int timeout_ms)
{
    if (timeout_ms < 0) {
        errno = EINVAL;
        return -1;
    }
    const timeval tv = {timeout_ms / 1000, timeout_ms % 1000 * 1000};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return -1;
    return 0;
}

const char *confd_lasterr(void) { return g_lasterr; }

const char *confd_strerror(int code)
{
    switch (code) {
    case CONFD_ERR_NOEXISTS:
        return "item does not exist";
    case CONFD_ERR_ALREADY_EXISTS:
        return "item already exists";
    case CONFD_ERR_ACCESS_DENIED:
        return "access denied";
    case CONFD_ERR_NOT_WRITABLE:
        return "item is not writable";
    case CONFD_ERR_BADTYPE:
        return "bad type";
    case CONFD_ERR_NOTCREATABLE:
        return "item is not creatable";
    case CONFD_ERR_NOTDELETABLE:
        return "item is not deletable";
    case CONFD_ERR_BADPATH:
        return "bad path";
    case CONFD_ERR_NOSTACK:
        return "no stack";
    case CONFD_ERR_LOCKED:
        return "locked";
    case CONFD_ERR_INUSE:
        return "in use";
    case CONFD_ERR_NOTSET:
        return "not set";
    case CONFD_ERR_BADSTATE:
        return "bad state";
    case CONFD_ERR_INTERNAL:
        return "internal error";
    case CONFD_ERR_EXTERNAL:
        return "application error";
    case CONFD_ERR_MALLOC:
        return "memory allocation failed";
    case CONFD_ERR_PROTOUSAGE:
        return "protocol usage error";
    case CONFD_ERR_NOSESSION:
        return "no session";
    case CONFD_ERR_OS:
        return "system call failed";
    case CONFD_ERR_LIB_NOT_INITIALIZED:
        return "library not initialized";
    case CONFD_ERR_INCONSISTENT_VALUE:
        return "inconsistent value";
    case CONFD_ERR_APPLICATION_INTERNAL:
        return "application internal error";
    case CONFD_ERR_UNAVAILABLE:
        return "unavailable";
    case CONFD_ERR_EOF:
        return "end of file";
    case CONFD_ERR_ABORTED:
        return "aborted";
    case CONFD_ERR_NOT_IMPLEMENTED:
        return "not implemented";
    default:
        return "unknown error";
    }
}

int confd_init_vsn_sz(const char *name, FILE *, const enum confd_debug_level, int, int maxdepth, int maxkeylen)
{
    if (maxdepth > MAXDEPTH || maxkeylen > MAXKEYLEN)
        return set_err(CONFD_ERR_PROTOUSAGE, "keypath limits %d/%d exceed %d/%d", maxdepth, maxkeylen, MAXDEPTH,
                       MAXKEYLEN);
    std::lock_guard<std::mutex> lk(g_name_mu);
    g_name = name ? name : "confd-client";
    return CONFD_OK;
}

int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v)
{
    char tmp[INET6_ADDRSTRLEN + 8];
    std::string s;
    switch (v->type) {
    case C_NOEXISTS:
        s = "NOEXISTS";
        break;
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        s = confd_internal::tag_name(v->val.xmltag.tag);
        break;
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR:
        if (v->val.buf.ptr)
            s.assign(reinterpret_cast<const char *>(v->val.buf.ptr), v->val.buf.size);
        break;
    case C_STR:
        s = v->val.s ? v->val.s : "";
        break;
    case C_INT8:
        s = std::to_string(v->val.i8);
        break;
    case C_INT16:
        s = std::to_string(v->val.i16);
        break;
    case C_INT32:
        s = std::to_string(v->val.i32);
        break;
    case C_INT64:
        s = std::to_string(v->val.i64);
        break;
    case C_UINT8:
        s = std::to_string(v->val.u8);
        break;
    case C_UINT16:
        s = std::to_string(v->val.u16);
        break;
    case C_UINT32:
        s = std::to_string(v->val.u32);
        break;
    case C_UINT64:
        s = std::to_string(v->val.u64);
        break;
    case C_DOUBLE:
        snprintf(tmp, sizeof tmp, "%g", v->val.d);
        s = tmp;
        break;
    case C_BOOL:
        s = v->val.boolean ? "true" : "false";
        break;
    case C_ENUM_VALUE:
        s = std::to_string(v->val.enumvalue);
        break;
    case C_BIT32:
        snprintf(tmp, sizeof tmp, "0x%x", v->val.b32);
        s = tmp;
        break;
    case C_BIT64:
        snprintf(tmp, sizeof tmp, "0x%llx", static_cast<unsigned long long>(v->val.b64));
        s = tmp;
        break;
    case C_IPV4:
        inet_ntop(AF_INET, &v->val.ip, tmp, sizeof tmp);
        s = tmp;
        break;
    case C_IPV6:
        inet_ntop(AF_INET6, &v->val.ip6, tmp, sizeof tmp);
        s = tmp;
        break;
    case C_IPV4PREFIX:
        inet_ntop(AF_INET, &v->val.ipv4prefix.ip, tmp, sizeof tmp);
        s = std::string(tmp) + "/" + std::to_string(v->val.ipv4prefix.len);
        break;
    case C_IPV6PREFIX:
        inet_ntop(AF_INET6, &v->val.ipv6prefix.ip6, tmp, sizeof tmp);
        s = std::string(tmp) + "/" + std::to_string(v->val.ipv6prefix.len);
        break;
    case C_DECIMAL64: {
        int64_t val = v->val.d64.value;
        int fd = v->val.d64.fraction_digits;
        int64_t div = 1;
        for (int i = 0; i < fd; i++)
            div *= 10;
        char dec[96];
        snprintf(dec, sizeof dec, "%s%lld.%0*lld", val < 0 ? "-" : "", static_cast<long long>(llabs(val) / div),
                 fd > 18 ? 18 : fd, static_cast<long long>(llabs(val) % div));
        s = dec;
        break;
    }
    case C_DATETIME: {
        const confd_datetime &d = v->val.datetime;
        char dt[64];
        snprintf(dt, sizeof dt, "%04d-%02u-%02uT%02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.min, d.sec);
        s = dt;
        break;
    }
    case C_LIST:
        s = "[";
        for (unsigned i = 0; v->val.list.ptr && i < v->val.list.size; i++) {
            char item[256];
            confd_pp_value(item, sizeof item, &v->val.list.ptr[i]);
            if (i)
                s += " ";
            s += item;
        }
        s += "]";
        break;
    case C_IDENTITYREF:
        s = confd_internal::tag_name(v->val.idref.id);
        break;
    default:
        s = "<value type " + std::to_string(v->type) + ">";
        break;
    }
    if (buf && bufsiz > 0)
        snprintf(buf, static_cast<size_t>(bufsiz), "%s", s.c_str());
    return static_cast<int>(s.size());
}

int confd_pp_kpath_len(char *buf, int n, const confd_hkeypath_t *kp, int len)
{
    std::string s;
    if (len > kp->len)
        len = kp->len;
    for (int i = kp->len - 1; i >= kp->len - len && i >= 0; i--) {
        const confd_value_t *e = kp->v[i];
        if (e[0].type == C_XMLTAG) {
            s += "/";
            s += confd_internal::tag_name(e[0].val.xmltag.tag);
            continue;
        }
        s += "{";
        for (int k = 0; k < MAXKEYLEN && e[k].type != C_NOEXISTS && e[k].type != 0; k++) {
            char vb[256];
            confd_pp_value(vb, sizeof vb, &e[k]);
            if (k)
                s += " ";
            s += vb;
        }
        s += "}";
    }
    if (buf && n > 0)
        snprintf(buf, static_cast<size_t>(n), "%s", s.c_str());
    return static_cast<int>(s.size());
}

int confd_pp_kpath(char *buf, int n, const confd_hkeypath_t *kp) { return confd_pp_kpath_len(buf, n, kp, kp->len); }

void confd_free_value(confd_value_t *v)
{
    if (!v)
        return;
    switch (v->type) {
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR:
        free(v->val.buf.ptr);
        v->val.buf.ptr = nullptr;
        break;
    case C_STR:
        free(v->val.s);
        v->val.s = nullptr;
        break;
    case C_LIST:
        for (unsigned i = 0; v->val.list.ptr && i < v->val.list.size; i++)
            confd_free_value(&v->val.list.ptr[i]);
        free(v->val.list.ptr);
        v->val.list.ptr = nullptr;
        break;
    default:
        break;
    }
    v->type = C_NOEXISTS;
}

confd_value_t *confd_value_dup_to(const confd_value_t *v, confd_value_t *newv)
{
    *newv = *v;
    switch (v->type) {
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR: {
        auto *p = static_cast<unsigned char *>(malloc(v->val.buf.size + 1));
        if (!p)
            return nullptr;
        if (v->val.buf.size)
            memcpy(p, v->val.buf.ptr, v->val.buf.size);
        p[v->val.buf.size] = 0;
        newv->val.buf.ptr = p;
        break;
    }
    case C_STR:
        newv->val.s = strdup(v->val.s ? v->val.s : "");
        if (!newv->val.s)
            return nullptr;
        break;
    case C_LIST: {
        auto *items =
            static_cast<confd_value_t *>(calloc(v->val.list.size ? v->val.list.size : 1, sizeof(confd_value_t)));
        if (!items)
            return nullptr;
        for (unsigned i = 0; i < v->val.list.size; i++)
            confd_value_dup_to(&v->val.list.ptr[i], &items[i]);
        newv->val.list.ptr = items;
        break;
    }
    default:
        break;
    }
    return newv;
}

int confd_val_eq(const confd_value_t *a, const confd_value_t *b)
{
    if (a->type != b->type)
        return 0;
    switch (a->type) {
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR:
        return a->val.buf.size == b->val.buf.size &&
               (a->val.buf.size == 0 || memcmp(a->val.buf.ptr, b->val.buf.ptr, a->val.buf.size) == 0);
    case C_STR:
        return strcmp(a->val.s ? a->val.s : "", b->val.s ? b->val.s : "") == 0;
    case C_LIST:
        if (a->val.list.size != b->val.list.size)
            return 0;
        for (unsigned i = 0; i < a->val.list.size; i++)
            if (!confd_val_eq(&a->val.list.ptr[i], &b->val.list.ptr[i]))
                return 0;
        return 1;
    case C_NOEXISTS:
        return 1;
    default: {
        char x[512], y[512];
        confd_pp_value(x, sizeof x, a);
        confd_pp_value(y, sizeof y, b);
        return strcmp(x, y) == 0;
    }
    }
}

void confd_free_hkeypath(confd_hkeypath_t *hkp)
{
    if (!hkp)
        return;
    for (int i = 0; i < hkp->len && i < MAXDEPTH; i++)
        for (int k = 0; k < MAXKEYLEN; k++) {
            if (hkp->v[i][k].type == C_NOEXISTS || hkp->v[i][k].type == 0)
                break;
            confd_free_value(&hkp->v[i][k]);
        }
    free(hkp);
}

confd_hkeypath_t *confd_hkeypath_dup(const confd_hkeypath_t *src)
{
    auto *kp = static_cast<confd_hkeypath_t *>(calloc(1, sizeof(confd_hkeypath_t)));
    if (!kp)
        return nullptr;
    kp->len = src->len;
    for (int i = 0; i < src->len && i < MAXDEPTH; i++)
        for (int k = 0; k < MAXKEYLEN; k++) {
            confd_value_dup_to(&src->v[i][k], &kp->v[i][k]);
            if (src->v[i][k].type == C_NOEXISTS || src->v[i][k].type == 0)
                break;
        }
    return kp;
}

}  // extern "C"
