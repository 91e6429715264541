#include "yang/zel_yang_schema.h"

#include <libyang/libyang.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace
{

constexpr const char *ext_module = "ardenta-extensions";

const char *ext_arg(const lysc_ext_instance *exts, std::string_view name)
{
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(exts, i)
    {
        const lysc_ext *def = exts[i].def;
        if (def && def->module && std::strcmp(def->module->name, ext_module) == 0 && name == def->name)
            return exts[i].argument;
    }
    return nullptr;
}

// Extension values are decimal or 0x-prefixed and must fit the 31 bits of a default hash.
int parse_hash(const char *text, uint32_t *out)
{
    if (!text || !*text)
        return 22;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || *end || text[0] == '-' || v > 0x7fffffffull)
        return 22;
    *out = static_cast<uint32_t>(v);
    return 0;
}

// zeld's modules and any other module that imports ardenta-extensions.
bool is_hashed(const lys_module *mod)
{
    if (!mod->implemented || !mod->compiled || !mod->parsed)
        return false;
    for (const char *name : zel_yang_module_names)
        if (std::strcmp(mod->name, name) == 0)
            return true;
    LY_ARRAY_COUNT_TYPE i;
    LY_ARRAY_FOR(mod->parsed->imports, i)
    {
        const lys_module *imp = mod->parsed->imports[i].module;
        if (imp && std::strcmp(imp->name, ext_module) == 0)
            return true;
    }
    return false;
}

std::string schema_path(const lysc_node *node)
{
    char *p = lysc_path(node, LYSC_PATH_DATA, nullptr, 0);
    std::string s = p ? p : node->name;
    std::free(p);
    return s;
}

// One tagged node as the hash checks and the generator see it.
struct tagged_node {
    const lysc_node *node;
    uint32_t hash;
    bool fixed;  // carries ax:tag-hash
    int rc;
};

// Every tagged node of the module in document order, RPCs and notifications included.
std::vector<tagged_node> collect(const lys_module *mod)
{
    std::vector<tagged_node> nodes;
    lysc_module_dfs_full(
        mod,
        [](lysc_node *node, void *data, ly_bool *) -> LY_ERR {
            if (zel_yang_is_tagged(node)) {
                tagged_node t{node, 0, zel_yang_ext_arg(node, "tag-hash") != nullptr, 0};
                t.rc = zel_yang_node_hash(node, &t.hash);
                static_cast<std::vector<tagged_node> *>(data)->push_back(t);
            }
            return LY_SUCCESS;
        },
        &nodes);
    return nodes;
}

// The modules to hash, in the order the context loaded them.
std::vector<const lys_module *> hashed_modules(const ly_ctx *ctx)
{
    std::vector<const lys_module *> mods;
    uint32_t idx = 0;
    while (const lys_module *mod = ly_ctx_get_module_iter(ctx, &idx))
        if (is_hashed(mod))
            mods.push_back(mod);
    return mods;
}

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIx32, v);
    return buf;
}

std::string identifier(std::string_view s)
{
    std::string id(s);
    for (char &c : id)
        if (c == '-' || c == '.')
            c = '_';
    return id;
}

// Short module word used in constant names: ardenta-policy -> policy, ardenta-zel-oper -> oper.
std::string short_name(std::string_view module)
{
    if (module == "ardenta-zel-oper")
        return "oper";
    if (module.substr(0, 8) == "ardenta-")
        module.remove_prefix(8);
    return identifier(module);
}

}  // namespace

int zel_yang_load(const char *dir, ly_ctx **out, std::string *err)
{
    *out = nullptr;
    ly_ctx *ctx = nullptr;
    LY_ERR rc = ly_ctx_new(dir, LY_CTX_DISABLE_SEARCHDIR_CWD, &ctx);
    if (rc != LY_SUCCESS) {
        if (err)
            *err = std::string("cannot create a libyang context for ") + dir;
        return rc == LY_EMEM ? 12 : 22;
    }
    for (const char *name : zel_yang_module_names) {
        if (!ly_ctx_load_module(ctx, name, nullptr, nullptr)) {
            if (err) {
                const ly_err_item *e = ly_err_last(ctx);
                *err = std::string("module ") + name + ": " + (e && e->msg ? e->msg : "not found");
                if (e && e->path)
                    *err += std::string(" (") + e->path + ")";
            }
            ly_ctx_destroy(ctx);
            return 22;
        }
    }
    *out = ctx;
    return 0;
}

bool zel_yang_is_tagged(const lysc_node *node)
{
    switch (node->nodetype) {
    case LYS_CONTAINER:
    case LYS_LEAF:
    case LYS_LEAFLIST:
    case LYS_LIST:
    case LYS_ANYDATA:
    case LYS_ANYXML:
    case LYS_RPC:
    case LYS_ACTION:
    case LYS_NOTIF:
        return true;
    default:
        return false;
    }
}

const char *zel_yang_ext_arg(const lysc_node *node, std::string_view name) { return ext_arg(node->exts, name); }

int zel_yang_node_hash(const lysc_node *node, uint32_t *out)
{
    if (const char *arg = zel_yang_ext_arg(node, "tag-hash"))
        return parse_hash(arg, out);
    *out = zel_yang_default_hash(node->name);
    return 0;
}

int zel_yang_module_hash(const lys_module *mod, uint32_t *out)
{
    if (mod->compiled)
        if (const char *arg = ext_arg(mod->compiled->exts, "ns-hash"))
            return parse_hash(arg, out);
    *out = zel_yang_default_hash(mod->ns);
    return 0;
}

std::vector<std::string> zel_yang_check_hashes(const ly_ctx *ctx)
{
    std::vector<std::string> problems;
    std::map<uint32_t, std::string> ns_owner;
    std::map<uint32_t, std::pair<std::string, std::string>> hash_owner;  // hash -> (name, path)

    for (const lys_module *mod : hashed_modules(ctx)) {
        uint32_t ns = 0;
        if (zel_yang_module_hash(mod, &ns) != 0)
            problems.push_back(std::string(mod->name) + ": invalid ax:ns-hash");
        else if (auto [it, fresh] = ns_owner.emplace(ns, mod->name); !fresh)
            problems.push_back(std::string(mod->name) + ": namespace hash " + hex(ns) + " already used by " +
                               it->second);

        std::map<std::string, std::pair<uint32_t, std::string>> name_hash;  // name -> (hash, path)
        for (const tagged_node &t : collect(mod)) {
            std::string path = schema_path(t.node);
            if (t.rc != 0) {
                problems.push_back(path + ": invalid ax:tag-hash \"" + zel_yang_ext_arg(t.node, "tag-hash") + "\"");
                continue;
            }
            auto [nit, nfresh] = name_hash.emplace(t.node->name, std::make_pair(t.hash, path));
            if (!nfresh && nit->second.first != t.hash)
                problems.push_back(path + ": hash " + hex(t.hash) + " differs from " + hex(nit->second.first) +
                                   " of the same name at " + nit->second.second);
            auto [hit, hfresh] = hash_owner.emplace(t.hash, std::make_pair(std::string(t.node->name), path));
            if (!hfresh && hit->second.first != t.node->name)
                problems.push_back(path + ": hash " + hex(t.hash) + " collides with " + hit->second.second);
        }
    }
    return problems;
}

int zel_yang_generate_header(const ly_ctx *ctx, std::string *out, std::string *err)
{
    std::vector<std::string> problems = zel_yang_check_hashes(ctx);
    if (!problems.empty()) {
        if (err)
            *err = problems.front();
        return 22;
    }

    std::string consts, tags, nss, callpoints, actionpoints;
    std::set<std::string> idents;
    size_t n_callpoints = 0, n_actionpoints = 0;

    for (const lys_module *mod : hashed_modules(ctx)) {
        std::vector<tagged_node> nodes = collect(mod);
        if (nodes.empty())
            continue;
        uint32_t ns = 0;
        zel_yang_module_hash(mod, &ns);
        std::string word = short_name(mod->name);
        std::string ns_ident = "zel_ns_" + word;
        idents.insert(ns_ident);
        bool fixed_ns = mod->compiled && ext_arg(mod->compiled->exts, "ns-hash");
        nss += "inline constexpr uint32_t " + ns_ident + " = " + hex(ns) + "u;  // " + mod->name +
               (fixed_ns ? ", fixed\n" : "\n");
        consts += "\n// " + std::string(mod->name) + "\n";
        std::set<std::string> seen;
        for (const tagged_node &t : nodes) {
            std::string path = schema_path(t.node);
            if (const char *cp = zel_yang_ext_arg(t.node, "callpoint")) {
                callpoints += std::string("  \"") + cp + "\",\n";
                ++n_callpoints;
            }
            if (const char *ap = zel_yang_ext_arg(t.node, "actionpoint")) {
                actionpoints += std::string("  \"") + ap + "\",\n";
                ++n_actionpoints;
            }
            if (!seen.insert(t.node->name).second)
                continue;
            std::string ident = "zel_tag_" + word + "_" + identifier(t.node->name);
            if (!idents.insert(ident).second) {
                if (err)
                    *err = "two constants would be named " + ident;
                return 22;
            }
            consts += "inline constexpr uint32_t " + ident + " = " + hex(t.hash) + "u;  // " + path +
                      (t.fixed ? ", fixed\n" : "\n");
            tags += "  {\"" + path + "\", " + ident + "},\n";
        }
    }

    *out = "// Generated by zel_yang_hashgen from the YANG modules in yang/; do not edit.\n"
           "// Regenerate with: zel_yang_hashgen yang yang/zel_yang_hashes.h\n"
           "// Tags marked \"fixed\" carry an ax:tag-hash; the others are the default hash of the name.\n"
           "#pragma once\n\n#include <cstdint>\n\n// Namespace hashes.\n" +
           nss + consts +
           "\nstruct zel_yang_tag_entry {\n  const char* path;  // schema path of one node with the tag\n"
           "  uint32_t hash;\n};\n\n// Every tag above with the first node that carries it.\n"
           "inline constexpr zel_yang_tag_entry zel_yang_tag_table[] = {\n" +
           tags +
           "};\n\n// Callpoints, in the order of the modules.\ninline constexpr const char* zel_yang_callpoints[" +
           std::to_string(n_callpoints) + "] = {\n" + callpoints +
           "};\n\n// Action points, in the order of the modules.\ninline constexpr const char* zel_yang_actionpoints[" +
           std::to_string(n_actionpoints) + "] = {\n" + actionpoints + "};\n";
    return 0;
}
