// cdb-sim's view of the YANG schema: libyang context, tag and namespace hashes,
// ConfD keypath resolution and conversion between libyang data and ConfD values.
#pragma once

#include <libyang/libyang.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/cdb/cdb_wire.h"
#include "platform/cdb/confd_lib.h"

namespace cdbsim
{

// A ConfD value owning its memory (freed with confd_free_value).
struct OwnedValue {
    confd_value_t v{};
    OwnedValue() { v.type = C_NOEXISTS; }
    OwnedValue(const OwnedValue &o) { confd_value_dup_to(&o.v, &v); }
    OwnedValue &operator=(const OwnedValue &o)
    {
        if (this != &o) {
            confd_free_value(&v);
            confd_value_dup_to(&o.v, &v);
        }
        return *this;
    }
    ~OwnedValue() { confd_free_value(&v); }
};

// One element of a resolved keypath.
struct PathElem {
    const lysc_node *schema = nullptr;
    std::vector<std::string> keys;  // canonical key values, empty when none were given
};

struct ResolvedPath {
    std::vector<PathElem> elems;
    std::string lypath;  // libyang data path of the whole path
    const lysc_node *schema() const { return elems.empty() ? nullptr : elems.back().schema; }
    bool keys_complete = true;  // every list on the path carries its keys
};

class Schema
{
public:
    ~Schema();
    // Loads every *.yang module of each directory of a colon-separated list. Returns an empty
    // string or the error.
    std::string load(const std::string &dirs);
    ly_ctx *ctx() const { return ctx_; }

    uint32_t tag(const lysc_node *n) const;
    uint32_t ns(const lys_module *m) const;
    uint32_t ns(const lysc_node *n) const { return ns(n->module); }
    std::string callpoint(const lysc_node *n) const { return ext_arg(n, "callpoint"); }
    std::string actionpoint(const lysc_node *n) const { return ext_arg(n, "actionpoint"); }

    // "/a/b{k1 k2}/c" (ConfD style, optional "prefix:" on names) -> schema nodes and libyang path.
    bool resolve(const std::string &path, ResolvedPath *out, std::string *err) const;
    // Schema node of a subscription path (keys ignored).
    const lysc_node *schema_of(const std::string &path, std::string *err) const;

    // Data children of a schema node (nullptr: top-level nodes of every module), choices looked through.
    std::vector<const lysc_node *> children(const lysc_node *parent) const;
    std::vector<const lysc_node *> keys(const lysc_node *list) const;
    const lysc_node *child_by_tag(const lysc_node *parent, uint32_t tag) const;
    // Every node (data, action, notification) carrying the named extension with this argument.
    const lysc_node *find_by_ext(const char *ext, const std::string &arg) const;
    const lysc_node *find_any_by_tag(uint32_t tag) const;

    // Value conversions.
    bool value_of(const lyd_node *term, confd_value_t *out) const;
    bool value_from_string(const lysc_node *leaf, const std::string &text, confd_value_t *out, std::string *err) const;
    std::string string_of(const lysc_node *leaf, const confd_value_t &v) const;

    // The schema as sent to confd_load_schemas.
    void write_blob(cdbwire::WireWriter &w) const;
    // JSON object rendering of tagged values below parent (nullptr = top level).
    std::string render(const lysc_node *parent, const confd_tag_value_t *tv, int n) const;

private:
    std::string ext_arg(const lysc_node *n, const char *ext) const;
    void index(const lysc_node *n);
    void write_node(cdbwire::WireWriter &w, const lysc_node *n, int flags_extra) const;
    bool convert(const lysc_type *t, const char *canon, const lysc_node *leaf, confd_value_t *out) const;

    ly_ctx *ctx_ = nullptr;
    std::unordered_map<const lysc_node *, uint32_t> tags_;
    std::unordered_map<const lys_module *, uint32_t> ns_;
    std::unordered_multimap<uint32_t, const lysc_node *> by_tag_;
    std::vector<const lys_module *> modules_;
};

const lysc_type *leaf_type(const lysc_node *n);
bool is_np_container(const lysc_node *n);
using cdbwire::json_quote;

}  // namespace cdbsim
