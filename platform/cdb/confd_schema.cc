// Schema information loaded from the server (confd_load_schemas): names of tags
// and namespaces, the confd_cs_node tree and value/text conversion by type.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/cdb/confd_internal.h"

struct confd_type {
    confd_vtype vtype = C_BUF;
    std::vector<std::pair<std::string, int32_t>> enums;
    std::vector<std::pair<std::string, uint32_t>> bits;
    uint8_t fraction_digits = 0;
};

namespace
{

struct Schema {
    std::deque<confd_cs_node> nodes;
    std::deque<confd_type> types;
    std::deque<std::vector<uint32_t>> keys;
    std::deque<std::string> strings;
    std::vector<confd_cs_node *> roots;
    std::vector<confd_nsinfo> ns;
    std::unordered_map<uint32_t, std::string> tag_names;
    std::unordered_map<std::string, uint32_t> name_tags;
    std::string source;  // the server's reply it was read from
};

std::mutex g_mu;
Schema *g_schema = nullptr;                      // replaced whole by each load
std::vector<std::unique_ptr<Schema>> g_retired;  // earlier loads: callers may still hold their nodes

const char *keep(Schema &s, std::string v)
{
    s.strings.push_back(std::move(v));
    return s.strings.back().c_str();
}

confd_cs_node *read_node(Schema &s, cdbwire::WireReader &r, confd_cs_node *parent, int depth)
{
    if (depth > 64) {
        r.fail();
        return nullptr;
    }
    std::string name = r.str();
    s.nodes.emplace_back();
    confd_cs_node *n = &s.nodes.back();
    memset(n, 0, sizeof *n);
    n->tag = r.u32();
    n->ns = r.u32();
    n->info.flags = static_cast<int>(r.u32());
    n->info.shallow_type = static_cast<confd_vtype>(r.u8());
    auto elem_type = static_cast<confd_vtype>(r.u8());
    n->parent = parent;
    s.tag_names.emplace(n->tag, name);
    s.name_tags.emplace(name, n->tag);
    uint32_t nkeys = r.u32();
    if (nkeys > 0 && r.ok() && nkeys < 64) {
        s.keys.emplace_back();
        for (uint32_t i = 0; i < nkeys; i++)
            s.keys.back().push_back(r.u32());
        s.keys.back().push_back(0);
        n->info.keys = s.keys.back().data();
    }
    s.types.emplace_back();
    confd_type &t = s.types.back();
    t.vtype = elem_type;
    uint32_t ne = r.u32();
    for (uint32_t i = 0; i < ne && r.ok(); i++) {
        std::string en = r.str();
        t.enums.emplace_back(en, r.i32());
    }
    uint32_t nb = r.u32();
    for (uint32_t i = 0; i < nb && r.ok(); i++) {
        std::string bn = r.str();
        t.bits.emplace_back(bn, r.u32());
    }
    t.fraction_digits = r.u8();
    n->info.type = &t;
    n->info.maxOccurs = (n->info.flags & CS_NODE_IS_LIST) ? -1 : 1;
    uint32_t nch = r.u32();
    confd_cs_node *last = nullptr;
    for (uint32_t i = 0; i < nch && r.ok(); i++) {
        confd_cs_node *c = read_node(s, r, n, depth + 1);
        if (!c)
            break;
        if (last)
            last->next = c;
        else
            n->children = c;
        last = c;
    }
    return r.ok() ? n : nullptr;
}

Schema *current()
{
    std::lock_guard<std::mutex> lk(g_mu);
    return g_schema;
}

const confd_cs_node *child_by_name(const confd_cs_node *first, const std::string &name)
{
    std::string local = name.substr(name.find(':') == std::string::npos ? 0 : name.find(':') + 1);
    for (const confd_cs_node *c = first; c; c = c->next) {
        const char *cn = confd_hash2str(c->tag);
        if (cn && local == cn)
            return c;
    }
    return nullptr;
}

}  // namespace

namespace confd_internal
{
const char *tag_name(uint32_t tag)
{
    Schema *s = current();
    if (s) {
        auto it = s->tag_names.find(tag);
        if (it != s->tag_names.end())
            return it->second.c_str();
    }
    static thread_local char buf[16];
    snprintf(buf, sizeof buf, "%u", tag);
    return buf;
}
}  // namespace confd_internal

using confd_internal::set_err;

extern "C" {

int confd_load_schemas(const struct sockaddr *srv, int srv_sz)
{
    int sock = socket(srv ? srv->sa_family : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return set_err(CONFD_ERR_OS, "socket: %s", strerror(errno));
    std::string body;
    cdbwire::WireWriter w;
    int rc = confd_internal::hello(sock, srv, srv_sz, cdbwire::kConnSchema, nullptr, 0, nullptr);
    if (rc >= 0)
        rc = confd_internal::request(sock, cdbwire::kOpSchemaGet, w, &body);
    close(sock);
    if (rc < 0)
        return CONFD_ERR;
    {
        // Every reconnection loads the schemas again; the same schemas replace nothing, so
        // reconnecting does not pile up retired copies.
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_schema && g_schema->source == body)
            return CONFD_OK;
    }
    auto *s = new Schema;
    cdbwire::WireReader r(body);
    uint32_t nns = r.u32();
    for (uint32_t i = 0; i < nns && r.ok(); i++) {
        confd_nsinfo info{};
        info.hash = r.u32();
        info.uri = keep(*s, r.str());
        info.prefix = keep(*s, r.str());
        info.module = keep(*s, r.str());
        info.revision = keep(*s, r.str());
        s->ns.push_back(info);
    }
    uint32_t nroots = r.u32();
    for (uint32_t i = 0; i < nroots && r.ok(); i++) {
        confd_cs_node *n = read_node(*s, r, nullptr, 0);
        if (n)
            s->roots.push_back(n);
    }
    for (size_t i = 0; i + 1 < s->roots.size(); i++)
        s->roots[i]->next = s->roots[i + 1];
    if (!r.ok()) {
        delete s;
        return set_err(CONFD_ERR_PROTOUSAGE, "malformed schema from the database");
    }
    s->source = std::move(body);
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_schema)
        g_retired.emplace_back(g_schema);
    g_schema = s;
    return CONFD_OK;
}

char *confd_hash2str(uint32_t hash)
{
    Schema *s = current();
    if (!s)
        return nullptr;
    auto it = s->tag_names.find(hash);
    return it == s->tag_names.end() ? nullptr : const_cast<char *>(it->second.c_str());
}

uint32_t confd_str2hash(const char *str)
{
    Schema *s = current();
    if (!s || !str)
        return 0;
    auto it = s->name_tags.find(str);
    return it == s->name_tags.end() ? 0 : it->second;
}

const char *confd_ns2prefix(uint32_t ns)
{
    Schema *s = current();
    if (!s)
        return nullptr;
    for (auto &n : s->ns)
        if (n.hash == ns)
            return n.prefix;
    return nullptr;
}

int confd_get_nslist(struct confd_nsinfo **listp)
{
    Schema *s = current();
    if (!s) {
        *listp = nullptr;
        return 0;
    }
    *listp = s->ns.data();
    return static_cast<int>(s->ns.size());
}

struct confd_cs_node *confd_find_cs_root(uint32_t ns)
{
    Schema *s = current();
    if (!s)
        return nullptr;
    for (auto *n : s->roots)
        if (n->ns == ns)
            return n;
    return nullptr;
}

struct confd_cs_node *confd_find_cs_node_child(const struct confd_cs_node *parent, struct xml_tag xmltag)
{
    for (confd_cs_node *c = parent->children; c; c = c->next)
        if (c->tag == xmltag.tag && (xmltag.ns == 0 || c->ns == xmltag.ns))
            return c;
    return nullptr;
}

struct confd_cs_node *confd_find_cs_node(const confd_hkeypath_t *hkp, int len)
{
    Schema *s = current();
    if (!s || len <= 0)
        return nullptr;
    confd_cs_node *node = nullptr;
    for (int i = hkp->len - 1; i >= hkp->len - len && i >= 0; i--) {
        const confd_value_t &e = hkp->v[i][0];
        if (e.type != C_XMLTAG)
            continue;
        confd_cs_node *next = nullptr;
        if (!node) {
            for (auto *r : s->roots)
                if (r->tag == e.val.xmltag.tag && (e.val.xmltag.ns == 0 || r->ns == e.val.xmltag.ns))
                    next = r;
        } else {
            next = confd_find_cs_node_child(node, e.val.xmltag);
        }
        if (!next)
            return nullptr;
        node = next;
    }
    return node;
}

struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start, const char *fmt, ...)
{
    Schema *s = current();
    if (!s) {
        set_err(CONFD_ERR_LIB_NOT_INITIALIZED, "schemas not loaded");
        return nullptr;
    }
    std::string path;
    va_list ap;
    va_start(ap, fmt);
    int rc = confd_internal::format_path(&path, fmt, ap);
    va_end(ap);
    if (rc != CONFD_OK)
        return nullptr;
    const confd_cs_node *node = start;
    size_t i = 0;
    if (!path.empty() && path[0] == '/')
        node = nullptr;
    while (i < path.size()) {
        if (path[i] == '/') {
            i++;
            continue;
        }
        size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '{')
            j++;
        std::string name = path.substr(i, j - i);
        if (j < path.size() && path[j] == '{') {
            size_t close = path.find('}', j);
            j = close == std::string::npos ? path.size() : close + 1;
        }
        i = j;
        if (name == "..") {
            node = node ? node->parent : nullptr;
            continue;
        }
        const confd_cs_node *next = nullptr;
        if (!node) {
            std::string local = name.substr(name.find(':') == std::string::npos ? 0 : name.find(':') + 1);
            for (auto *r : s->roots) {
                const char *rn = confd_hash2str(r->tag);
                if (rn && local == rn) {
                    next = r;
                    break;
                }
            }
        } else {
            next = child_by_name(node->children, name);
        }
        if (!next) {
            set_err(CONFD_ERR_BADPATH, "no schema node %s in %s", name.c_str(), path.c_str());
            return nullptr;
        }
        node = next;
    }
    return const_cast<confd_cs_node *>(node);
}

struct confd_type *confd_get_leaf_list_type(struct confd_cs_node *node) { return node ? node->info.type : nullptr; }

int confd_val2str_ptr(struct confd_type *type, const confd_value_t *val, const char **strp)
{
    if (!type || !val || !strp)
        return set_err(CONFD_ERR_PROTOUSAGE, "missing argument");
    if (val->type == C_ENUM_VALUE) {
        for (auto &e : type->enums)
            if (e.second == val->val.enumvalue) {
                *strp = e.first.c_str();
                return CONFD_OK;
            }
        return set_err(CONFD_ERR_BADTYPE, "no enumeration name for value %d", val->val.enumvalue);
    }
    if (val->type == C_BOOL) {
        *strp = val->val.boolean ? "true" : "false";
        return CONFD_OK;
    }
    return set_err(CONFD_ERR_BADTYPE, "value type %d has no fixed string", val->type);
}

int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf, int bufsiz)
{
    if (!type || !val)
        return set_err(CONFD_ERR_PROTOUSAGE, "missing argument");
    const char *fixed = nullptr;
    if ((val->type == C_ENUM_VALUE || val->type == C_BOOL) && confd_val2str_ptr(type, val, &fixed) == CONFD_OK)
        return snprintf(buf, static_cast<size_t>(bufsiz), "%s", fixed);
    if (val->type == C_BIT32 || val->type == C_BIT64) {
        uint64_t bits = val->type == C_BIT32 ? val->val.b32 : val->val.b64;
        std::string s;
        for (auto &b : type->bits)
            if (b.second < 64 && (bits >> b.second) & 1)
                s += (s.empty() ? "" : " ") + b.first;
        return snprintf(buf, static_cast<size_t>(bufsiz), "%s", s.c_str());
    }
    return confd_pp_value(buf, bufsiz, val);
}

int confd_str2val(struct confd_type *type, const char *str, confd_value_t *v)
{
    if (!type || !str || !v)
        return set_err(CONFD_ERR_PROTOUSAGE, "missing argument");
    char *end = nullptr;
    errno = 0;
    switch (type->vtype) {
    case C_ENUM_VALUE:
        for (auto &e : type->enums)
            if (e.first == str) {
                CONFD_SET_ENUM_VALUE(v, e.second);
                return CONFD_OK;
            }
        return set_err(CONFD_ERR_BADTYPE, "\"%s\" is not an enumeration name", str);
    case C_BOOL:
        if (!strcmp(str, "true") || !strcmp(str, "false")) {
            CONFD_SET_BOOL(v, str[0] == 't');
            return CONFD_OK;
        }
        return set_err(CONFD_ERR_BADTYPE, "\"%s\" is not a boolean", str);
    case C_INT8:
    case C_INT16:
    case C_INT32:
    case C_INT64: {
        long long x = strtoll(str, &end, 10);
        if (errno || !*str || *end)
            return set_err(CONFD_ERR_BADTYPE, "\"%s\" is not an integer", str);
        v->type = type->vtype;
        if (type->vtype == C_INT8)
            v->val.i8 = static_cast<int8_t>(x);
        else if (type->vtype == C_INT16)
            v->val.i16 = static_cast<int16_t>(x);
        else if (type->vtype == C_INT32)
            v->val.i32 = static_cast<int32_t>(x);
        else
            v->val.i64 = x;
        return CONFD_OK;
    }
    case C_UINT8:
    case C_UINT16:
    case C_UINT32:
    case C_UINT64: {
        unsigned long long x = strtoull(str, &end, 10);
        if (errno || !*str || *end || *str == '-')
            return set_err(CONFD_ERR_BADTYPE, "\"%s\" is not an unsigned integer", str);
        v->type = type->vtype;
        if (type->vtype == C_UINT8)
            v->val.u8 = static_cast<uint8_t>(x);
        else if (type->vtype == C_UINT16)
            v->val.u16 = static_cast<uint16_t>(x);
        else if (type->vtype == C_UINT32)
            v->val.u32 = static_cast<uint32_t>(x);
        else
            v->val.u64 = x;
        return CONFD_OK;
    }
    case C_IPV4:
        if (inet_pton(AF_INET, str, &v->val.ip) != 1)
            return set_err(CONFD_ERR_BADTYPE, "bad IPv4 address %s", str);
        v->type = C_IPV4;
        return CONFD_OK;
    case C_IPV6:
        if (inet_pton(AF_INET6, str, &v->val.ip6) != 1)
            return set_err(CONFD_ERR_BADTYPE, "bad IPv6 address %s", str);
        v->type = C_IPV6;
        return CONFD_OK;
    default: {
        size_t n = strlen(str);
        auto *p = static_cast<unsigned char *>(malloc(n + 1));
        if (!p)
            return set_err(CONFD_ERR_MALLOC, "out of memory");
        memcpy(p, str, n + 1);
        CONFD_SET_BUF(v, p, n);
        return CONFD_OK;
    }
    }
}

}  // extern "C"
