#include "platform/cdb/cdb_wire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/cdb/confd_internal.h"

namespace cdbwire
{

void WireWriter::u32(uint32_t v)
{
    char b[4];
    for (int i = 0; i < 4; i++)
        b[i] = static_cast<char>(v >> (8 * i));
    buf_.append(b, 4);
}

void WireWriter::u64(uint64_t v)
{
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
}

void WireWriter::str(std::string_view s)
{
    u32(static_cast<uint32_t>(s.size()));
    buf_.append(s.data(), s.size());
}

void WireWriter::value(const confd_value_t &v)
{
    u8(static_cast<uint8_t>(v.type));
    switch (v.type) {
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        u32(v.val.xmltag.tag);
        u32(v.val.xmltag.ns);
        break;
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR:
        str(std::string_view(reinterpret_cast<const char *>(v.val.buf.ptr), v.val.buf.ptr ? v.val.buf.size : 0));
        break;
    case C_STR:
        str(v.val.s ? v.val.s : "");
        break;
    case C_INT8:
        i64(v.val.i8);
        break;
    case C_INT16:
        i64(v.val.i16);
        break;
    case C_INT32:
        i64(v.val.i32);
        break;
    case C_INT64:
        i64(v.val.i64);
        break;
    case C_UINT8:
        u64(v.val.u8);
        break;
    case C_UINT16:
        u64(v.val.u16);
        break;
    case C_UINT32:
        u64(v.val.u32);
        break;
    case C_UINT64:
        u64(v.val.u64);
        break;
    case C_DOUBLE:
        bytes(&v.val.d, sizeof v.val.d);
        break;
    case C_IPV4:
        bytes(&v.val.ip, 4);
        break;
    case C_IPV6:
        bytes(&v.val.ip6, 16);
        break;
    case C_IPV4PREFIX:
        bytes(&v.val.ipv4prefix.ip, 4);
        u8(v.val.ipv4prefix.len);
        break;
    case C_IPV6PREFIX:
        bytes(&v.val.ipv6prefix.ip6, 16);
        u8(v.val.ipv6prefix.len);
        break;
    case C_BOOL:
        u8(v.val.boolean ? 1 : 0);
        break;
    case C_ENUM_VALUE:
        i32(v.val.enumvalue);
        break;
    case C_BIT32:
        u32(v.val.b32);
        break;
    case C_BIT64:
        u64(v.val.b64);
        break;
    case C_DECIMAL64:
        i64(v.val.d64.value);
        u8(v.val.d64.fraction_digits);
        break;
    case C_IDENTITYREF:
        u32(v.val.idref.ns);
        u32(v.val.idref.id);
        break;
    case C_DATETIME: {
        const confd_datetime &d = v.val.datetime;
        i32(d.year);
        u8(d.month);
        u8(d.day);
        u8(d.hour);
        u8(d.min);
        u8(d.sec);
        u32(d.micro);
        u8(static_cast<uint8_t>(d.timezone));
        u8(static_cast<uint8_t>(d.timezone_minutes));
        break;
    }
    case C_LIST:
        u32(v.val.list.ptr ? v.val.list.size : 0);
        for (unsigned i = 0; v.val.list.ptr && i < v.val.list.size; i++)
            value(v.val.list.ptr[i]);
        break;
    default:
        break;  // C_NOEXISTS, C_EMPTY, C_DEFAULT: the type says it all
    }
}

void WireWriter::tagvalue(const confd_tag_value_t &tv)
{
    u32(tv.tag.tag);
    u32(tv.tag.ns);
    value(tv.v);
}

void WireWriter::tagvalues(const confd_tag_value_t *tv, int n)
{
    u32(static_cast<uint32_t>(n < 0 ? 0 : n));
    for (int i = 0; i < n; i++)
        tagvalue(tv[i]);
}

void WireWriter::hkeypath(const confd_hkeypath_t &kp)
{
    int len = kp.len < 0 ? 0 : (kp.len > MAXDEPTH ? MAXDEPTH : kp.len);
    u8(static_cast<uint8_t>(len));
    for (int i = 0; i < len; i++) {
        int n = 0;
        while (n < MAXKEYLEN && kp.v[i][n].type != C_NOEXISTS && kp.v[i][n].type != 0 &&
               !(n > 0 && kp.v[i][0].type == C_XMLTAG))
            n++;
        u8(static_cast<uint8_t>(n));
        for (int k = 0; k < n; k++)
            value(kp.v[i][k]);
    }
}

std::string WireWriter::frame(uint32_t op) const
{
    WireWriter h;
    h.u32(static_cast<uint32_t>(buf_.size()));
    h.u32(op);
    return h.buf_ + buf_;
}

bool WireReader::need(size_t n)
{
    if (!ok_ || static_cast<size_t>(end_ - p_) < n) {
        ok_ = false;
        return false;
    }
    return true;
}

uint8_t WireReader::u8()
{
    if (!need(1))
        return 0;
    return static_cast<uint8_t>(*p_++);
}

uint32_t WireReader::u32()
{
    if (!need(4))
        return 0;
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(p_[i])) << (8 * i);
    p_ += 4;
    return v;
}

uint64_t WireReader::u64()
{
    uint64_t lo = u32();
    uint64_t hi = u32();
    return lo | (hi << 32);
}

std::string WireReader::str()
{
    uint32_t n = u32();
    if (!need(n))
        return {};
    std::string s(p_, n);
    p_ += n;
    return s;
}

bool WireReader::bytes(void *out, size_t n)
{
    if (!need(n))
        return false;
    memcpy(out, p_, n);
    p_ += n;
    return true;
}

bool WireReader::value(confd_value_t *v)
{
    memset(v, 0, sizeof *v);
    v->type = C_NOEXISTS;
    auto type = static_cast<confd_vtype>(u8());
    if (!ok_)
        return false;
    switch (type) {
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        v->val.xmltag.tag = u32();
        v->val.xmltag.ns = u32();
        break;
    case C_BUF:
    case C_BINARY:
    case C_HEXSTR:
    case C_STR: {
        uint32_t n = u32();
        if (!need(n))
            return false;
        auto *p = static_cast<char *>(malloc(n + 1));
        if (!p) {
            ok_ = false;
            return false;
        }
        memcpy(p, p_, n);
        p[n] = '\0';
        p_ += n;
        if (type == C_STR) {
            v->val.s = p;
        } else {
            v->val.buf.ptr = reinterpret_cast<unsigned char *>(p);
            v->val.buf.size = n;
        }
        break;
    }
    case C_INT8:
        v->val.i8 = static_cast<int8_t>(i64());
        break;
    case C_INT16:
        v->val.i16 = static_cast<int16_t>(i64());
        break;
    case C_INT32:
        v->val.i32 = static_cast<int32_t>(i64());
        break;
    case C_INT64:
        v->val.i64 = i64();
        break;
    case C_UINT8:
        v->val.u8 = static_cast<uint8_t>(u64());
        break;
    case C_UINT16:
        v->val.u16 = static_cast<uint16_t>(u64());
        break;
    case C_UINT32:
        v->val.u32 = static_cast<uint32_t>(u64());
        break;
    case C_UINT64:
        v->val.u64 = u64();
        break;
    case C_DOUBLE:
        bytes(&v->val.d, sizeof v->val.d);
        break;
    case C_IPV4:
        bytes(&v->val.ip, 4);
        break;
    case C_IPV6:
        bytes(&v->val.ip6, 16);
        break;
    case C_IPV4PREFIX:
        bytes(&v->val.ipv4prefix.ip, 4);
        v->val.ipv4prefix.len = u8();
        break;
    case C_IPV6PREFIX:
        bytes(&v->val.ipv6prefix.ip6, 16);
        v->val.ipv6prefix.len = u8();
        break;
    case C_BOOL:
        v->val.boolean = u8();
        break;
    case C_ENUM_VALUE:
        v->val.enumvalue = i32();
        break;
    case C_BIT32:
        v->val.b32 = u32();
        break;
    case C_BIT64:
        v->val.b64 = u64();
        break;
    case C_DECIMAL64:
        v->val.d64.value = i64();
        v->val.d64.fraction_digits = u8();
        break;
    case C_IDENTITYREF:
        v->val.idref.ns = u32();
        v->val.idref.id = u32();
        break;
    case C_DATETIME: {
        confd_datetime &d = v->val.datetime;
        d.year = static_cast<int16_t>(i32());
        d.month = u8();
        d.day = u8();
        d.hour = u8();
        d.min = u8();
        d.sec = u8();
        d.micro = u32();
        d.timezone = static_cast<int8_t>(u8());
        d.timezone_minutes = static_cast<int8_t>(u8());
        break;
    }
    case C_LIST: {
        uint32_t n = u32();
        if (!ok_ || n > static_cast<uint32_t>(end_ - p_)) {
            ok_ = false;
            return false;
        }
        auto *items = static_cast<confd_value_t *>(calloc(n ? n : 1, sizeof(confd_value_t)));
        if (!items) {
            ok_ = false;
            return false;
        }
        v->type = C_LIST;
        v->val.list.ptr = items;
        v->val.list.size = 0;
        for (uint32_t i = 0; i < n; i++) {
            if (!value(&items[i]))
                return false;
            v->val.list.size = i + 1;
        }
        return ok_;
    }
    case C_NOEXISTS:
    case C_EMPTY:
    case C_DEFAULT:
        break;
    default:
        ok_ = false;
        return false;
    }
    if (ok_)
        v->type = type;
    else
        confd_free_value(v);
    return ok_;
}

bool WireReader::tagvalue(confd_tag_value_t *tv)
{
    tv->tag.tag = u32();
    tv->tag.ns = u32();
    return value(&tv->v);
}

bool WireReader::tagvalues(confd_tag_value_t **out, int *n)
{
    *out = nullptr;
    *n = 0;
    uint32_t cnt = u32();
    if (!ok_ || cnt > static_cast<uint32_t>(end_ - p_)) {
        ok_ = false;
        return false;
    }
    if (cnt == 0)
        return true;
    auto *tv = static_cast<confd_tag_value_t *>(calloc(cnt, sizeof(confd_tag_value_t)));
    if (!tv) {
        ok_ = false;
        return false;
    }
    for (uint32_t i = 0; i < cnt; i++) {
        if (!tagvalue(&tv[i])) {
            confd_internal::free_tag_values(tv, static_cast<int>(i));
            return false;
        }
    }
    *out = tv;
    *n = static_cast<int>(cnt);
    return true;
}

bool WireReader::hkeypath(confd_hkeypath_t *kp)
{
    memset(kp, 0, sizeof *kp);
    int len = u8();
    if (len > MAXDEPTH) {
        ok_ = false;
        return false;
    }
    for (int i = 0; i < len; i++) {
        int n = u8();
        if (n >= MAXKEYLEN) {
            ok_ = false;
            return false;
        }
        for (int k = 0; k < n; k++) {
            if (!value(&kp->v[i][k])) {
                kp->len = i + 1;
                return false;
            }
        }
        kp->v[i][n].type = C_NOEXISTS;
        kp->len = i + 1;
    }
    return ok_;
}

std::string json_quote(const std::string &s)
{
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += static_cast<char>(c);
        }
    }
    return o + "\"";
}

uint32_t fnv1a_hash(std::string_view s)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h & 0x7FFFFFFFu;
}

int write_all(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return confd_internal::set_err(CONFD_ERR_OS, "the database took nothing in time");
            return confd_internal::set_err(CONFD_ERR_OS, "write failed: %s", strerror(errno));
        }
        off += static_cast<size_t>(n);
    }
    return CONFD_OK;
}

static int read_exact(int fd, char *p, size_t n)
{
    size_t off = 0;
    while (off < n) {
        ssize_t r = read(fd, p + off, n - off);
        if (r == 0)
            return CONFD_EOF;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ECONNRESET)
                return CONFD_EOF;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return confd_internal::set_err(CONFD_ERR_OS, "the database did not answer in time");
            return confd_internal::set_err(CONFD_ERR_OS, "read failed: %s", strerror(errno));
        }
        off += static_cast<size_t>(r);
    }
    return CONFD_OK;
}

int read_frame(int fd, uint32_t *op, std::string *payload)
{
    char hdr[8];
    int rc = read_exact(fd, hdr, sizeof hdr);
    if (rc == CONFD_EOF) {
        confd_internal::set_err(CONFD_ERR_OS, "socket closed by peer");
        return CONFD_EOF;
    }
    if (rc != CONFD_OK)
        return rc;
    WireReader r(hdr, sizeof hdr);
    uint32_t len = r.u32();
    *op = r.u32();
    if (len > kMaxFrame)
        return confd_internal::set_err(CONFD_ERR_PROTOUSAGE, "frame too large (%u bytes)", len);
    payload->resize(len);
    rc = read_exact(fd, payload->data(), len);
    if (rc == CONFD_EOF) {
        confd_internal::set_err(CONFD_ERR_OS, "socket closed by peer");
        return CONFD_EOF;
    }
    return rc;
}

}  // namespace cdbwire
