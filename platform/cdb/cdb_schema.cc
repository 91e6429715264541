#include "platform/cdb/cdb_schema.h"

#include <libyang/plugins_types.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>

namespace cdbsim
{

namespace
{

bool ends_with_ext(const char *name, const char *ext)
{
    if (!name)
        return false;
    const char *colon = strrchr(name, ':');
    return strcmp(colon ? colon + 1 : name, ext) == 0;
}

const char *ext_in(const lysp_ext_instance *exts, const char *ext)
{
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i)
    {
        if (ends_with_ext(exts[i].name, ext))
            return exts[i].argument;
    }
    return nullptr;
}

std::string canonical(ly_ctx *ctx, const lysc_node *leaf, const std::string &text, const lysc_type **rt,
                      std::string *err)
{
    const char *canon = nullptr;
    LY_ERR e = lyd_value_validate(ctx, leaf, text.data(), text.size(), nullptr, rt, &canon);
    if (e == LY_SUCCESS || e == LY_EINCOMPLETE) {
        std::string s = canon ? canon : text;
        if (canon)
            lydict_remove(ctx, canon);
        return s;
    }
    if (err) {
        const char *m = ly_errmsg(ctx);
        *err = "invalid value \"" + text + "\" for " + leaf->name + (m ? std::string(": ") + m : "");
    }
    return {};
}

// Enumeration names by value, for numeric keys written with %x / C_ENUM_VALUE.
const char *enum_name(const lysc_type *t, int32_t v)
{
    if (!t)
        return nullptr;
    if (t->basetype == LY_TYPE_LEAFREF)
        return enum_name(reinterpret_cast<const lysc_type_leafref *>(t)->realtype, v);
    if (t->basetype == LY_TYPE_UNION) {
        auto *u = reinterpret_cast<const lysc_type_union *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            if (const char *n = enum_name(u->types[i], v))
                return n;
        }
        return nullptr;
    }
    if (t->basetype != LY_TYPE_ENUM)
        return nullptr;
    auto *e = reinterpret_cast<const lysc_type_enum *>(t);
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(e->enums, i)
    {
        if (e->enums[i].value == v)
            return e->enums[i].name;
    }
    return nullptr;
}

const lysc_type *bits_type(const lysc_type *t)
{
    if (!t)
        return nullptr;
    if (t->basetype == LY_TYPE_LEAFREF)
        return bits_type(reinterpret_cast<const lysc_type_leafref *>(t)->realtype);
    return t->basetype == LY_TYPE_BITS ? t : nullptr;
}

confd_vtype vtype_of(const lysc_type *t)
{
    if (!t)
        return C_BUF;
    switch (t->basetype) {
    case LY_TYPE_LEAFREF:
        return vtype_of(reinterpret_cast<const lysc_type_leafref *>(t)->realtype);
    case LY_TYPE_STRING: {
        const char *id = t->plugin && t->plugin->id ? t->plugin->id : "";
        if (strstr(id, "ipv4-prefix"))
            return C_IPV4PREFIX;
        if (strstr(id, "ipv6-prefix"))
            return C_IPV6PREFIX;
        if (strstr(id, "ipv4-address"))
            return C_IPV4;
        if (strstr(id, "ipv6-address"))
            return C_IPV6;
        return C_BUF;
    }
    case LY_TYPE_INT8:
        return C_INT8;
    case LY_TYPE_INT16:
        return C_INT16;
    case LY_TYPE_INT32:
        return C_INT32;
    case LY_TYPE_INT64:
        return C_INT64;
    case LY_TYPE_UINT8:
        return C_UINT8;
    case LY_TYPE_UINT16:
        return C_UINT16;
    case LY_TYPE_UINT32:
        return C_UINT32;
    case LY_TYPE_UINT64:
        return C_UINT64;
    case LY_TYPE_BOOL:
        return C_BOOL;
    case LY_TYPE_EMPTY:
        return C_XMLTAG;
    case LY_TYPE_ENUM:
        return C_ENUM_VALUE;
    case LY_TYPE_BITS: {
        auto *b = reinterpret_cast<const lysc_type_bits *>(t);
        LY_ARRAY_COUNT_TYPE i;
        uint32_t maxpos = 0;
        LY_ARRAY_FOR(b->bits, i) { maxpos = std::max(maxpos, b->bits[i].position); }
        return maxpos < 32 ? C_BIT32 : C_BIT64;
    }
    case LY_TYPE_DEC64:
        return C_DECIMAL64;
    default:
        return C_BUF;
    }
}

void set_buf(confd_value_t *out, const std::string &s)
{
    auto *p = static_cast<unsigned char *>(malloc(s.size() + 1));
    memcpy(p, s.c_str(), s.size() + 1);
    CONFD_SET_BUF(out, p, s.size());
}

}  // namespace

const lysc_type *leaf_type(const lysc_node *n)
{
    if (!n)
        return nullptr;
    if (n->nodetype == LYS_LEAF)
        return reinterpret_cast<const lysc_node_leaf *>(n)->type;
    if (n->nodetype == LYS_LEAFLIST)
        return reinterpret_cast<const lysc_node_leaflist *>(n)->type;
    return nullptr;
}

bool is_np_container(const lysc_node *n) { return n && n->nodetype == LYS_CONTAINER && !(n->flags & LYS_PRESENCE); }

Schema::~Schema()
{
    if (ctx_)
        ly_ctx_destroy(ctx_);
}

std::string Schema::load(const std::string &dirs)
{
    if (ly_ctx_new(nullptr, LY_CTX_SET_PRIV_PARSED, &ctx_) != LY_SUCCESS)
        return "cannot create the YANG context";
    ly_log_options(LY_LOSTORE_LAST);
    std::vector<std::string> files;
    std::istringstream list(dirs);
    for (std::string dir; std::getline(list, dir, ':');) {
        DIR *d = opendir(dir.c_str());
        if (!d || ly_ctx_set_searchdir(ctx_, dir.c_str()) != LY_SUCCESS) {
            if (d)
                closedir(d);
            return "cannot open YANG directory " + dir;
        }
        std::vector<std::string> here;
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".yang") == 0)
                here.push_back(dir + "/" + n);
        }
        closedir(d);
        std::sort(here.begin(), here.end());
        files.insert(files.end(), here.begin(), here.end());
    }
    for (auto &f : files) {
        std::ifstream in(f);
        std::string word;
        in >> word;
        if (word == "submodule")
            continue;  // pulled in by its module
        lys_module *mod = nullptr;
        if (lys_parse_path(ctx_, f.c_str(), LYS_IN_YANG, &mod) != LY_SUCCESS) {
            const char *m = ly_errmsg(ctx_);
            return "cannot load " + f + ": " + (m ? m : "unknown error");
        }
        if (mod && std::find(modules_.begin(), modules_.end(), mod) == modules_.end())
            modules_.push_back(mod);
    }
    for (auto *m : modules_) {
        const char *h = m->parsed ? ext_in(m->parsed->exts, "ns-hash") : nullptr;
        ns_[m] = h ? static_cast<uint32_t>(strtoul(h, nullptr, 0)) : cdbwire::fnv1a_hash(m->ns);
        if (!m->compiled)
            continue;
        for (auto *n : children(nullptr))
            if (n->module == m)
                index(n);
        for (const lysc_node *r = reinterpret_cast<const lysc_node *>(m->compiled->rpcs); r; r = r->next)
            index(r);
        for (const lysc_node *r = reinterpret_cast<const lysc_node *>(m->compiled->notifs); r; r = r->next)
            index(r);
    }
    return {};
}

void Schema::index(const lysc_node *n)
{
    const lysp_node *pn = static_cast<const lysp_node *>(n->priv);
    const char *h = pn ? ext_in(pn->exts, "tag-hash") : nullptr;
    uint32_t t = h ? static_cast<uint32_t>(strtoul(h, nullptr, 0)) : cdbwire::fnv1a_hash(n->name);
    tags_[n] = t;
    by_tag_.emplace(t, n);
    for (auto *c : children(n))
        index(c);
    if (n->nodetype & (LYS_RPC | LYS_ACTION)) {
        for (const lysc_node *c = nullptr; (c = lys_getnext(c, n, nullptr, LYS_GETNEXT_OUTPUT));)
            index(c);
        return;
    }
    for (auto *a = lysc_node_actions(n); a; a = reinterpret_cast<const lysc_node_action *>(a->next))
        index(reinterpret_cast<const lysc_node *>(a));
    for (auto *x = lysc_node_notifs(n); x; x = reinterpret_cast<const lysc_node_notif *>(x->next))
        index(reinterpret_cast<const lysc_node *>(x));
}

uint32_t Schema::tag(const lysc_node *n) const
{
    auto it = tags_.find(n);
    return it == tags_.end() ? cdbwire::fnv1a_hash(n ? n->name : "") : it->second;
}

uint32_t Schema::ns(const lys_module *m) const
{
    auto it = ns_.find(m);
    return it == ns_.end() ? cdbwire::fnv1a_hash(m ? m->ns : "") : it->second;
}

std::string Schema::ext_arg(const lysc_node *n, const char *ext) const
{
    const lysp_node *pn = n ? static_cast<const lysp_node *>(n->priv) : nullptr;
    const char *a = pn ? ext_in(pn->exts, ext) : nullptr;
    return a ? a : "";
}

std::vector<const lysc_node *> Schema::children(const lysc_node *parent) const
{
    std::vector<const lysc_node *> out;
    if (parent) {
        if (parent->nodetype & (LYS_LEAF | LYS_LEAFLIST))
            return out;
        for (const lysc_node *c = nullptr; (c = lys_getnext(c, parent, nullptr, 0));)
            out.push_back(c);
        return out;
    }
    for (auto *m : modules_) {
        if (!m->compiled)
            continue;
        for (const lysc_node *c = nullptr; (c = lys_getnext(c, nullptr, m->compiled, 0));)
            out.push_back(c);
    }
    return out;
}

std::vector<const lysc_node *> Schema::keys(const lysc_node *list) const
{
    std::vector<const lysc_node *> out;
    if (!list || list->nodetype != LYS_LIST)
        return out;
    for (const lysc_node *c = lysc_node_child(list); c && (c->flags & LYS_KEY); c = c->next)
        out.push_back(c);
    return out;
}

const lysc_node *Schema::child_by_tag(const lysc_node *parent, uint32_t t) const
{
    for (auto *c : children(parent))
        if (tag(c) == t)
            return c;
    if (parent) {
        for (auto *a = lysc_node_actions(parent); a; a = reinterpret_cast<const lysc_node_action *>(a->next))
            if (tag(&a->node) == t)
                return &a->node;
        for (auto *x = lysc_node_notifs(parent); x; x = reinterpret_cast<const lysc_node_notif *>(x->next))
            if (tag(&x->node) == t)
                return &x->node;
    } else {
        for (auto *m : modules_) {
            if (!m->compiled)
                continue;
            for (auto *r = reinterpret_cast<const lysc_node *>(m->compiled->notifs); r; r = r->next)
                if (tag(r) == t)
                    return r;
            for (auto *r = reinterpret_cast<const lysc_node *>(m->compiled->rpcs); r; r = r->next)
                if (tag(r) == t)
                    return r;
        }
    }
    return nullptr;
}

const lysc_node *Schema::find_by_ext(const char *ext, const std::string &arg) const
{
    for (auto &e : tags_)
        if (ext_arg(e.first, ext) == arg)
            return e.first;
    return nullptr;
}

const lysc_node *Schema::find_any_by_tag(uint32_t t) const
{
    auto it = by_tag_.find(t);
    return it == by_tag_.end() ? nullptr : it->second;
}

const lysc_node *Schema::schema_of(const std::string &path, std::string *err) const
{
    ResolvedPath rp;
    if (!resolve(path, &rp, err))
        return nullptr;
    return rp.schema();
}

bool Schema::resolve(const std::string &path, ResolvedPath *out, std::string *err) const
{
    out->elems.clear();
    out->lypath.clear();
    out->keys_complete = true;
    const lysc_node *cur = nullptr;
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '/') {
            i++;
            continue;
        }
        size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '{')
            j++;
        std::string name = path.substr(i, j - i);
        std::vector<std::string> keyv;
        bool has_keys = false;
        if (j < path.size() && path[j] == '{') {
            has_keys = true;
            size_t k = j + 1;
            std::string token;
            bool in_tok = false, quoted = false;
            for (; k < path.size(); k++) {
                char c = path[k];
                if (quoted) {
                    if (c == '\\' && k + 1 < path.size())
                        token += path[++k];
                    else if (c == '"')
                        quoted = false;
                    else
                        token += c;
                    continue;
                }
                if (c == '"') {
                    quoted = in_tok = true;
                } else if (c == '}') {
                    break;
                } else if (c == ' ' || c == '\t') {
                    if (in_tok)
                        keyv.push_back(token);
                    token.clear();
                    in_tok = false;
                } else {
                    token += c;
                    in_tok = true;
                }
            }
            if (k >= path.size()) {
                *err = "unterminated key in " + path;
                return false;
            }
            if (in_tok)
                keyv.push_back(token);
            j = k + 1;
        }
        i = j;
        std::string prefix;
        if (auto c = name.find(':'); c != std::string::npos) {
            prefix = name.substr(0, c);
            name = name.substr(c + 1);
        }
        const lysc_node *found = nullptr;
        for (auto *c : children(cur)) {
            if (name != c->name)
                continue;
            if (!prefix.empty() && prefix != c->module->name && prefix != c->module->prefix)
                continue;
            found = c;
            break;
        }
        if (!found) {
            *err = "bad path element \"" + name + "\" in " + path;
            return false;
        }
        PathElem e;
        e.schema = found;
        out->lypath += "/";
        out->lypath += found->module->name;
        out->lypath += ":";
        out->lypath += found->name;
        auto quote = [](const std::string &v) {
            return v.find('\'') == std::string::npos ? "'" + v + "'" : "\"" + v + "\"";
        };
        if (found->nodetype == LYS_LIST) {
            auto ks = keys(found);
            if (!has_keys) {
                out->keys_complete = false;
            } else if (keyv.size() != ks.size()) {
                *err = "wrong number of keys for " + std::string(found->name) + " in " + path;
                return false;
            } else {
                for (size_t k = 0; k < ks.size(); k++) {
                    std::string text = keyv[k];
                    const lysc_type *t = leaf_type(ks[k]);
                    char *end = nullptr;
                    long num = strtol(text.c_str(), &end, 10);
                    if (!text.empty() && !*end)
                        if (const char *en = enum_name(t, static_cast<int32_t>(num)))
                            text = en;
                    std::string canon = canonical(ctx_, ks[k], text, nullptr, err);
                    if (canon.empty() && !err->empty())
                        return false;
                    e.keys.push_back(canon);
                    out->lypath += "[" + std::string(ks[k]->name) + "=" + quote(canon) + "]";
                }
            }
        } else if (has_keys) {
            if (found->nodetype != LYS_LEAFLIST || keyv.size() != 1) {
                *err = std::string(found->name) + " takes no keys in " + path;
                return false;
            }
            e.keys.push_back(keyv[0]);
            out->lypath += "[.=" + quote(keyv[0]) + "]";
        }
        out->elems.push_back(e);
        cur = found;
    }
    if (out->elems.empty()) {
        *err = "empty path";
        return false;
    }
    return true;
}

bool Schema::convert(const lysc_type *t, const char *canon, const lysc_node *leaf, confd_value_t *out) const
{
    memset(out, 0, sizeof *out);
    std::string s = canon ? canon : "";
    if (!t) {
        set_buf(out, s);
        return true;
    }
    if (t->basetype == LY_TYPE_LEAFREF)
        return convert(reinterpret_cast<const lysc_type_leafref *>(t)->realtype, canon, leaf, out);
    if (t->basetype == LY_TYPE_UNION) {
        auto *u = reinterpret_cast<const lysc_type_union *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            confd_vtype vt = vtype_of(u->types[i]);
            if (vt == C_BUF)
                continue;
            if (convert(u->types[i], canon, leaf, out))
                return true;
        }
        set_buf(out, s);
        return true;
    }
    char *end = nullptr;
    errno = 0;
    switch (vtype_of(t)) {
    case C_IPV4: {
        std::string a = s.substr(0, s.find('%'));
        if (inet_pton(AF_INET, a.c_str(), &out->val.ip) != 1)
            return false;
        out->type = C_IPV4;
        return true;
    }
    case C_IPV6: {
        std::string a = s.substr(0, s.find('%'));
        if (inet_pton(AF_INET6, a.c_str(), &out->val.ip6) != 1)
            return false;
        out->type = C_IPV6;
        return true;
    }
    case C_IPV4PREFIX:
    case C_IPV6PREFIX: {
        auto slash = s.find('/');
        if (slash == std::string::npos)
            return false;
        std::string a = s.substr(0, slash);
        int len = atoi(s.c_str() + slash + 1);
        bool v4 = vtype_of(t) == C_IPV4PREFIX;
        if (inet_pton(v4 ? AF_INET : AF_INET6, a.c_str(),
                      v4 ? static_cast<void *>(&out->val.ipv4prefix.ip)
                         : static_cast<void *>(&out->val.ipv6prefix.ip6)) != 1)
            return false;
        if (v4)
            out->val.ipv4prefix.len = static_cast<uint8_t>(len);
        else
            out->val.ipv6prefix.len = static_cast<uint8_t>(len);
        out->type = v4 ? C_IPV4PREFIX : C_IPV6PREFIX;
        return true;
    }
    case C_INT8:
    case C_INT16:
    case C_INT32:
    case C_INT64: {
        long long x = strtoll(s.c_str(), &end, 10);
        if (s.empty() || *end || errno)
            return false;
        out->type = vtype_of(t);
        if (out->type == C_INT8)
            out->val.i8 = static_cast<int8_t>(x);
        else if (out->type == C_INT16)
            out->val.i16 = static_cast<int16_t>(x);
        else if (out->type == C_INT32)
            out->val.i32 = static_cast<int32_t>(x);
        else
            out->val.i64 = x;
        return true;
    }
    case C_UINT8:
    case C_UINT16:
    case C_UINT32:
    case C_UINT64: {
        unsigned long long x = strtoull(s.c_str(), &end, 10);
        if (s.empty() || *end || errno || s[0] == '-')
            return false;
        out->type = vtype_of(t);
        if (out->type == C_UINT8)
            out->val.u8 = static_cast<uint8_t>(x);
        else if (out->type == C_UINT16)
            out->val.u16 = static_cast<uint16_t>(x);
        else if (out->type == C_UINT32)
            out->val.u32 = static_cast<uint32_t>(x);
        else
            out->val.u64 = x;
        return true;
    }
    case C_BOOL:
        if (s != "true" && s != "false")
            return false;
        CONFD_SET_BOOL(out, s == "true");
        return true;
    case C_XMLTAG:
        CONFD_SET_XMLTAG(out, tag(leaf), ns(leaf));
        return true;
    case C_ENUM_VALUE: {
        auto *e = reinterpret_cast<const lysc_type_enum *>(t);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(e->enums, i)
        {
            if (s == e->enums[i].name) {
                CONFD_SET_ENUM_VALUE(out, e->enums[i].value);
                return true;
            }
        }
        return false;
    }
    case C_BIT32:
    case C_BIT64: {
        auto *b = reinterpret_cast<const lysc_type_bits *>(t);
        uint64_t bits = 0;
        std::istringstream in(s);
        std::string w;
        while (in >> w) {
            bool hit = false;
            LY_ARRAY_COUNT_TYPE i;
            LY_ARRAY_FOR(b->bits, i)
            {
                if (w == b->bits[i].name) {
                    bits |= 1ull << b->bits[i].position;
                    hit = true;
                }
            }
            if (!hit)
                return false;
        }
        if (vtype_of(t) == C_BIT32)
            CONFD_SET_BIT32(out, static_cast<uint32_t>(bits));
        else
            CONFD_SET_BIT64(out, bits);
        return true;
    }
    case C_DECIMAL64: {
        auto *d = reinterpret_cast<const lysc_type_dec *>(t);
        auto dot = s.find('.');
        std::string ip = s.substr(0, dot), fp = dot == std::string::npos ? "" : s.substr(dot + 1);
        fp.resize(d->fraction_digits, '0');
        bool neg = !ip.empty() && ip[0] == '-';
        int64_t v = strtoll((ip + fp).c_str(), &end, 10);
        if (neg && v > 0)
            v = -v;
        out->type = C_DECIMAL64;
        out->val.d64.value = v;
        out->val.d64.fraction_digits = d->fraction_digits;
        return true;
    }
    default:
        set_buf(out, s);
        return true;
    }
}

bool Schema::value_of(const lyd_node *node, confd_value_t *out) const
{
    auto *t = reinterpret_cast<const lyd_node_term *>(node);
    const lysc_type *rt = t->value.realtype;
    if (rt && rt->basetype == LY_TYPE_UNION && t->value.subvalue)
        rt = t->value.subvalue->value.realtype;
    if (!convert(rt, lyd_get_value(node), node->schema, out)) {
        set_buf(out, lyd_get_value(node) ? lyd_get_value(node) : "");
    }
    return true;
}

bool Schema::value_from_string(const lysc_node *leaf, const std::string &text, confd_value_t *out,
                               std::string *err) const
{
    const lysc_type *rt = nullptr;
    std::string e;
    std::string canon = canonical(ctx_, leaf, text, &rt, &e);
    if (!e.empty()) {
        if (err)
            *err = e;
        return false;
    }
    if (!convert(rt ? rt : leaf_type(leaf), canon.c_str(), leaf, out))
        set_buf(out, canon);
    return true;
}

std::string Schema::string_of(const lysc_node *leaf, const confd_value_t &v) const
{
    const lysc_type *t = leaf_type(leaf);
    switch (v.type) {
    case C_ENUM_VALUE:
        if (const char *n = enum_name(t, v.val.enumvalue))
            return n;
        break;
    case C_BIT32:
    case C_BIT64: {
        const lysc_type *bt = bits_type(t);
        if (!bt)
            break;
        uint64_t bits = v.type == C_BIT32 ? v.val.b32 : v.val.b64;
        std::string s;
        auto *b = reinterpret_cast<const lysc_type_bits *>(bt);
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(b->bits, i)
        {
            if (b->bits[i].position < 64 && ((bits >> b->bits[i].position) & 1))
                s += (s.empty() ? "" : " ") + std::string(b->bits[i].name);
        }
        return s;
    }
    case C_XMLTAG:
        return "";
    default:
        break;
    }
    char buf[1024];
    confd_pp_value(buf, sizeof buf, &v);
    return buf;
}

void Schema::write_node(cdbwire::WireWriter &w, const lysc_node *n, int flags_extra) const
{
    w.str(n->name);
    w.u32(tag(n));
    w.u32(ns(n));
    int flags = flags_extra;
    if (n->nodetype == LYS_LIST)
        flags |= CS_NODE_IS_LIST;
    if (n->nodetype == LYS_CONTAINER)
        flags |= CS_NODE_IS_CONTAINER;
    if (n->nodetype == LYS_LEAFLIST)
        flags |= CS_NODE_IS_LEAF_LIST;
    if (n->nodetype & (LYS_RPC | LYS_ACTION))
        flags |= CS_NODE_IS_ACTION;
    if (n->nodetype == LYS_NOTIF)
        flags |= CS_NODE_IS_NOTIF;
    if ((n->flags & LYS_CONFIG_W) && !(flags & (CS_NODE_IS_PARAM | CS_NODE_IS_RESULT)))
        flags |= CS_NODE_IS_WRITE | CS_NODE_IS_CDB;
    w.u32(static_cast<uint32_t>(flags));
    const lysc_type *t = leaf_type(n);
    confd_vtype vt = t ? vtype_of(t) : C_XMLTAG;
    w.u8(static_cast<uint8_t>(n->nodetype == LYS_LEAFLIST ? C_LIST : vt));
    w.u8(static_cast<uint8_t>(vt));
    auto ks = keys(n);
    w.u32(static_cast<uint32_t>(ks.size()));
    for (auto *k : ks)
        w.u32(tag(k));
    std::vector<std::pair<std::string, int32_t>> enums;
    std::vector<std::pair<std::string, uint32_t>> bits;
    uint8_t fd = 0;
    std::vector<const lysc_type *> todo{t};
    while (!todo.empty()) {
        const lysc_type *x = todo.back();
        todo.pop_back();
        if (!x)
            continue;
        LY_ARRAY_COUNT_TYPE i;
        if (x->basetype == LY_TYPE_LEAFREF)
            todo.push_back(reinterpret_cast<const lysc_type_leafref *>(x)->realtype);
        if (x->basetype == LY_TYPE_UNION) {
            auto *u = reinterpret_cast<const lysc_type_union *>(x);
            LY_ARRAY_FOR(u->types, i) { todo.push_back(u->types[i]); }
        }
        if (x->basetype == LY_TYPE_ENUM) {
            auto *e = reinterpret_cast<const lysc_type_enum *>(x);
            LY_ARRAY_FOR(e->enums, i) { enums.emplace_back(e->enums[i].name, e->enums[i].value); }
        }
        if (x->basetype == LY_TYPE_BITS) {
            auto *b = reinterpret_cast<const lysc_type_bits *>(x);
            LY_ARRAY_FOR(b->bits, i) { bits.emplace_back(b->bits[i].name, b->bits[i].position); }
        }
        if (x->basetype == LY_TYPE_DEC64)
            fd = reinterpret_cast<const lysc_type_dec *>(x)->fraction_digits;
    }
    w.u32(static_cast<uint32_t>(enums.size()));
    for (auto &e : enums) {
        w.str(e.first);
        w.i32(e.second);
    }
    w.u32(static_cast<uint32_t>(bits.size()));
    for (auto &b : bits) {
        w.str(b.first);
        w.u32(b.second);
    }
    w.u8(fd);
    std::vector<std::pair<const lysc_node *, int>> kids;
    int child_extra = flags_extra & (CS_NODE_IS_PARAM | CS_NODE_IS_RESULT);
    if (n->nodetype & (LYS_RPC | LYS_ACTION)) {
        for (const lysc_node *c = nullptr; (c = lys_getnext(c, n, nullptr, 0));)
            kids.emplace_back(c, CS_NODE_IS_PARAM);
        for (const lysc_node *c = nullptr; (c = lys_getnext(c, n, nullptr, LYS_GETNEXT_OUTPUT));)
            kids.emplace_back(c, CS_NODE_IS_RESULT);
    } else {
        for (auto *c : children(n))
            kids.emplace_back(c, child_extra);
        for (auto *a = lysc_node_actions(n); a; a = reinterpret_cast<const lysc_node_action *>(a->next))
            kids.emplace_back(&a->node, 0);
        for (auto *x = lysc_node_notifs(n); x; x = reinterpret_cast<const lysc_node_notif *>(x->next))
            kids.emplace_back(&x->node, 0);
    }
    w.u32(static_cast<uint32_t>(kids.size()));
    for (auto &k : kids)
        write_node(w, k.first, k.second);
}

void Schema::write_blob(cdbwire::WireWriter &w) const
{
    w.u32(static_cast<uint32_t>(modules_.size()));
    for (auto *m : modules_) {
        w.u32(ns(m));
        w.str(m->ns ? m->ns : "");
        w.str(m->prefix ? m->prefix : "");
        w.str(m->name ? m->name : "");
        w.str(m->revision ? m->revision : "");
    }
    std::vector<const lysc_node *> roots = children(nullptr);
    for (auto *m : modules_) {
        if (!m->compiled)
            continue;
        for (auto *r = reinterpret_cast<const lysc_node *>(m->compiled->rpcs); r; r = r->next)
            roots.push_back(r);
        for (auto *r = reinterpret_cast<const lysc_node *>(m->compiled->notifs); r; r = r->next)
            roots.push_back(r);
    }
    w.u32(static_cast<uint32_t>(roots.size()));
    for (auto *r : roots)
        write_node(w, r, 0);
}

std::string Schema::render(const lysc_node *parent, const confd_tag_value_t *tv, int n) const
{
    // Builds {"name": value, ...}; repeated names (list entries) become arrays.
    std::vector<std::pair<std::string, std::vector<std::string>>> fields;
    auto add = [&](const std::string &name, const std::string &json) {
        for (auto &f : fields)
            if (f.first == name) {
                f.second.push_back(json);
                return;
            }
        fields.push_back({name, {json}});
    };
    for (int i = 0; i < n; i++) {
        const confd_tag_value_t &x = tv[i];
        const lysc_node *sn = child_by_tag(parent, x.tag.tag);
        if (!sn)
            sn = find_any_by_tag(x.tag.tag);
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08x", x.tag.tag);
        std::string name = sn ? sn->name : hex;
        if (x.v.type == C_XMLBEGIN || x.v.type == C_XMLBEGINDEL) {
            int depth = 1, j = i + 1;
            for (; j < n; j++) {
                if (tv[j].v.type == C_XMLBEGIN || tv[j].v.type == C_XMLBEGINDEL)
                    depth++;
                if (tv[j].v.type == C_XMLEND && --depth == 0)
                    break;
            }
            add(name, render(sn, tv + i + 1, j - i - 1));
            i = j;
            continue;
        }
        if (x.v.type == C_XMLEND)
            continue;
        std::string js;
        switch (x.v.type) {
        case C_NOEXISTS:
            js = "null";
            break;
        case C_XMLTAG:
            js = "[null]";
            break;
        case C_BOOL:
            js = x.v.val.boolean ? "true" : "false";
            break;
        case C_INT8:
        case C_INT16:
        case C_INT32:
        case C_INT64:
        case C_UINT8:
        case C_UINT16:
        case C_UINT32:
        case C_UINT64: {
            char b[32];
            confd_pp_value(b, sizeof b, &x.v);
            js = b;
            break;
        }
        case C_LIST: {
            js = "[";
            for (unsigned k = 0; k < x.v.val.list.size; k++)
                js += (k ? "," : "") + json_quote(string_of(sn, x.v.val.list.ptr[k]));
            js += "]";
            break;
        }
        default:
            js = json_quote(string_of(sn, x.v));
            break;
        }
        add(name, js);
    }
    std::string o = "{";
    for (size_t i = 0; i < fields.size(); i++) {
        if (i)
            o += ",";
        o += json_quote(fields[i].first) + ":";
        auto &vals = fields[i].second;
        if (vals.size() == 1) {
            o += vals[0];
        } else {
            o += "[";
            for (size_t k = 0; k < vals.size(); k++)
                o += (k ? "," : "") + vals[k];
            o += "]";
        }
    }
    return o + "}";
}

}  // namespace cdbsim
