// Shared helpers of the YANG model tests: one libyang context per test binary, node lookup and a
// short code for each node's value type in the terms of the database's value types.
#pragma once

#include "yang/zel_yang_schema.h"

#include <gtest/gtest.h>
#include <libyang/libyang.h>
#include <libyang/plugins_types.h>

#include <cstring>
#include <string>
#include <vector>

namespace yang_test
{

inline const char *yang_dir() { return ZEL_YANG_DIR; }

// libyang messages of warning level or worse, collected while a context loads.
inline std::vector<std::string> &log_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline void collect_log(LY_LOG_LEVEL level, const char *msg, const char *path)
{
    if (level <= LY_LLWRN)
        log_lines().push_back(std::string(msg) + (path ? std::string(" (") + path + ")" : ""));
}

class Models : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ly_set_log_clb(collect_log, 1);
        log_lines().clear();
        std::string err;
        load_rc_ = zel_yang_load(yang_dir(), &ctx_, &err);
        load_err_ = err;
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
};

inline const char *plugin_id(const lysc_type *t) { return t->plugin && t->plugin->id ? t->plugin->id : ""; }

// The value type the database delivers for a leaf type: "buf" text, "ipv4", "ipv4prefix",
// "ipaddr" (IPv4 or IPv6), "enum", "bits", "bool", "empty", "int32", "uint8".."uint64".
inline std::string type_code(const lysc_type *t)
{
    switch (t->basetype) {
    case LY_TYPE_LEAFREF:
        return type_code(reinterpret_cast<const lysc_type_leafref *>(t)->realtype);
    case LY_TYPE_STRING:
        if (std::strstr(plugin_id(t), "ipv4-prefix"))
            return "ipv4prefix";
        if (std::strstr(plugin_id(t), "ipv4-address"))
            return "ipv4";
        return "buf";
    case LY_TYPE_UNION: {
        const auto *u = reinterpret_cast<const lysc_type_union *>(t);
        bool v4 = false, v6 = false;
        LY_ARRAY_COUNT_TYPE i;
        LY_ARRAY_FOR(u->types, i)
        {
            v4 = v4 || std::strstr(plugin_id(u->types[i]), "ipv4-address");
            v6 = v6 || std::strstr(plugin_id(u->types[i]), "ipv6-address");
        }
        return v4 && v6 ? "ipaddr" : "union";
    }
    case LY_TYPE_ENUM:
        return "enum";
    case LY_TYPE_BITS:
        return "bits";
    case LY_TYPE_BOOL:
        return "bool";
    case LY_TYPE_EMPTY:
        return "empty";
    case LY_TYPE_INT32:
        return "int32";
    case LY_TYPE_UINT8:
        return "uint8";
    case LY_TYPE_UINT16:
        return "uint16";
    case LY_TYPE_UINT32:
        return "uint32";
    case LY_TYPE_UINT64:
        return "uint64";
    default:
        return "other";
    }
}

// Node kind and value type: "container", "list", "notification", "rpc", or the type code of a
// leaf, prefixed with "list:" for a leaf-list.
inline std::string node_code(const lysc_node *n)
{
    switch (n->nodetype) {
    case LYS_CONTAINER:
        return "container";
    case LYS_LIST:
        return "list";
    case LYS_NOTIF:
        return "notification";
    case LYS_RPC:
        return "rpc";
    case LYS_LEAF:
        return type_code(reinterpret_cast<const lysc_node_leaf *>(n)->type);
    case LYS_LEAFLIST:
        return "list:" + type_code(reinterpret_cast<const lysc_node_leaflist *>(n)->type);
    default:
        return "other";
    }
}

// Type codes of the keys of every list from the root down to `n`, outermost first.
inline std::vector<std::string> key_codes(const lysc_node *n)
{
    std::vector<const lysc_node *> chain;
    for (const lysc_node *p = n; p; p = p->parent)
        chain.insert(chain.begin(), p);
    std::vector<std::string> keys;
    for (const lysc_node *p : chain) {
        if (p->nodetype != LYS_LIST)
            continue;
        for (const lysc_node *c = lysc_node_child(p); c && (c->flags & LYS_KEY); c = c->next)
            keys.push_back(node_code(c));
    }
    return keys;
}

// Hashes of the data children of `n` in schema order.
inline std::vector<uint32_t> child_hashes(const lysc_node *n)
{
    std::vector<uint32_t> hashes;
    for (const lysc_node *c = lysc_node_child(n); c; c = c->next) {
        uint32_t h = 0;
        EXPECT_EQ(zel_yang_node_hash(c, &h), 0) << c->name;
        hashes.push_back(h);
    }
    return hashes;
}

}  // namespace yang_test
