// Shared helpers of the YANG model tests: one libyang context per test binary, node lookup and a
// short code for each node's value type in the terms of the database's value types.
#pragma once

#include "yang/zel_yang_schema.h"

#include <gtest/gtest.h>
#include <libyang/libyang.h>
#include <libyang/plugins_types.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace yang_test
{

inline const char *yang_dir() { return ZEL_YANG_DIR; }

// The space-separated words of `text`.
inline std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> out;
    for (size_t b = text.find_first_not_of(' '), e; b != std::string::npos; b = text.find_first_not_of(' ', e))
        out.push_back(text.substr(b, (e = text.find(' ', b)) - b));
    return out;
}

class Models : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // libyang messages of warning level or worse, collected while the context loads.
        ly_set_log_clb(
            [](LY_LOG_LEVEL level, const char *msg, const char *path) {
                if (level <= LY_LLWRN)
                    log_lines_.push_back(std::string(msg) + (path ? std::string(" (") + path + ")" : ""));
            },
            1);
        load_rc_ = zel_yang_load(yang_dir(), &ctx_, &load_err_);
    }
    static void TearDownTestSuite()
    {
        ly_ctx_destroy(ctx_);
        ctx_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(load_rc_, 0) << load_err_; }

    static const lysc_node *find(const std::string &path) { return lys_find_path(ctx_, nullptr, path.c_str(), 0); }

    static inline ly_ctx *ctx_ = nullptr;
    static inline int load_rc_ = 0;
    static inline std::string load_err_;
    static inline std::vector<std::string> log_lines_;
};

inline bool plugin_is(const lysc_type *t, const char *id)
{
    return t->plugin && t->plugin->id && std::strstr(t->plugin->id, id);
}

// The value type the database delivers for a leaf type: "buf" text, "ipv4", "ipv4prefix",
// "ipaddr" (IPv4 or IPv6), "enum", "bits", "bool", "empty", "int32", "uint8".."uint64".
inline std::string type_code(const lysc_type *t)
{
    static const std::map<LY_DATA_TYPE, const char *> plain = {
        {LY_TYPE_ENUM, "enum"},     {LY_TYPE_BITS, "bits"},     {LY_TYPE_BOOL, "bool"},
        {LY_TYPE_EMPTY, "empty"},   {LY_TYPE_INT32, "int32"},   {LY_TYPE_UINT8, "uint8"},
        {LY_TYPE_UINT16, "uint16"}, {LY_TYPE_UINT32, "uint32"}, {LY_TYPE_UINT64, "uint64"}};
    if (t->basetype == LY_TYPE_LEAFREF)
        return type_code(reinterpret_cast<const lysc_type_leafref *>(t)->realtype);
    if (t->basetype == LY_TYPE_STRING)
        return plugin_is(t, "ipv4-prefix") ? "ipv4prefix" : plugin_is(t, "ipv4-address") ? "ipv4" : "buf";
    if (t->basetype == LY_TYPE_UNION) {
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        bool v4 = false, v6 = false;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            v4 = v4 || plugin_is(u->types[i], "ipv4-address");
            v6 = v6 || plugin_is(u->types[i], "ipv6-address");
        }
        return v4 && v6 ? "ipaddr" : "union";
    }
    auto it = plain.find(t->basetype);
    return it == plain.end() ? "other" : it->second;
}

// Node kind and value type: "container", "list", "notification", "rpc", or the type code of a
// leaf, prefixed with "list:" for a leaf-list.
inline std::string node_code(const lysc_node *n)
{
    static const std::map<uint16_t, const char *> kinds = {
        {LYS_CONTAINER, "container"}, {LYS_LIST, "list"}, {LYS_NOTIF, "notification"}, {LYS_RPC, "rpc"}};
    if (n->nodetype == LYS_LEAF)
        return type_code(reinterpret_cast<const lysc_node_leaf *>(n)->type);
    if (n->nodetype == LYS_LEAFLIST)
        return "list:" + type_code(reinterpret_cast<const lysc_node_leaflist *>(n)->type);
    auto it = kinds.find(n->nodetype);
    return it == kinds.end() ? "other" : it->second;
}

// Every node of the daemon's modules that carries the extension `ext`, with its argument, in
// schema order.
inline std::vector<std::pair<std::string, const lysc_node *>> ext_nodes(ly_ctx *ctx, const char *ext)
{
    struct walk_t {
        const char *ext;
        std::vector<std::pair<std::string, const lysc_node *>> found;
    } w{ext, {}};
    for (const char *name : zel_yang_module_names)
        lysc_module_dfs_full(
            ly_ctx_get_module_implemented(ctx, name),
            [](lysc_node *n, void *data, ly_bool *) -> LY_ERR {
                auto *w = static_cast<walk_t *>(data);
                if (const char *arg = zel_yang_ext_arg(n, w->ext))
                    w->found.emplace_back(arg, n);
                return LY_SUCCESS;
            },
            &w);
    return w.found;
}

// Type codes of the keys of every list from the root down to `n`, outermost first, comma-separated.
inline std::string key_codes(const lysc_node *n)
{
    std::string keys = n->parent ? key_codes(n->parent) : "";
    if (n->nodetype == LYS_LIST)
        for (const lysc_node *c = lysc_node_child(n); c && (c->flags & LYS_KEY); c = c->next)
            keys += (keys.empty() ? "" : ",") + node_code(c);
    return keys;
}

// Value of each enumeration name of a leaf.
inline std::map<std::string, int> enum_values(const lysc_node *leaf)
{
    std::map<std::string, int> values;
    const auto *en = reinterpret_cast<const lysc_type_enum *>(reinterpret_cast<const lysc_node_leaf *>(leaf)->type);
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(en->enums, i) values[en->enums[i].name] = en->enums[i].value;
    return values;
}

}  // namespace yang_test
