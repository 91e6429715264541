// Loading zeld's YANG modules with libyang and computing the tag and namespace hashes that the
// configuration database and its clients use instead of names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ly_ctx;
struct lysc_node;
struct lys_module;

// Default hash of a node name or a namespace URI: FNV-1a 32-bit with the top bit cleared.
constexpr uint32_t zel_yang_default_hash(std::string_view s)
{
    uint32_t h = 0x811c9dc5u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x01000193u;
    }
    return h & 0x7fffffffu;
}

// The modules, in load order (each one's imports come before it).
inline constexpr const char *zel_yang_module_names[] = {
    "ardenta-extensions", "ardenta-policy", "ardenta-vpn", "ardenta-snmp", "ardenta-cfgd", "ardenta-zel-oper",
};

// Creates a libyang context searching only `dir` (plus libyang's built-in modules) and loads every
// module of zel_yang_module_names. 0 and the context in *out (free with ly_ctx_destroy); 22 and a
// message in *err when a module is missing or invalid; 12 when libyang cannot allocate.
int zel_yang_load(const char *dir, ly_ctx **out, std::string *err);

// True for nodes that carry a tag: containers, leaves, leaf-lists, lists, anydata, RPCs, actions
// and notifications (not choices, cases, inputs or outputs).
bool zel_yang_is_tagged(const lysc_node *node);

// The node's tag: its ax:tag-hash value when it has one, else the default hash of its name.
// 0, or 22 when the extension value is not a number of at most 31 bits.
int zel_yang_node_hash(const lysc_node *node, uint32_t *out);

// The module's namespace hash: its ax:ns-hash value, else the default hash of its namespace URI.
int zel_yang_module_hash(const lys_module *mod, uint32_t *out);

// The argument of the node's extension instance `name` from ardenta-extensions, or null.
const char *zel_yang_ext_arg(const lysc_node *node, std::string_view name);

// Hash consistency of the loaded zeld modules and of any other module that imports
// ardenta-extensions: within a module a name has one hash, no two names
// share a hash, no two modules share a namespace hash, and every extension value parses. Returns
// one line per problem; empty when consistent.
std::vector<std::string> zel_yang_check_hashes(const ly_ctx *ctx);

// The text of zel_yang_hashes.h for the same modules, in load order. 0, or 22 with the problem in *err when
// the hashes are inconsistent or two constants would get the same identifier.
int zel_yang_generate_header(const ly_ctx *ctx, std::string *out, std::string *err);
