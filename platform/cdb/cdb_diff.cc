#include "platform/cdb/cdb_diff.h"

#include <cstring>
#include <map>
#include <vector>

#include "platform/cdb/confd_cdb.h"

namespace cdbsim
{

namespace
{

enum NodeKind : uint8_t { kLeaf = 0, kContainer = 1, kPresence = 2, kListEntry = 3, kLeafList = 4 };

struct Change {
    uint8_t op = 0, kind = 0;
    const lysc_node *sn = nullptr;
    OwnedValue oldv, newv;
    std::vector<std::pair<const lysc_node *, OwnedValue>> keys;
    std::vector<Change> children;
};

struct KpElem {
    uint32_t tag = 0, ns = 0;
    std::vector<OwnedValue> keys;  // empty for a plain tag
};

class Differ
{
public:
    explicit Differ(const Schema &s) : s_(s) {}

    std::vector<const lyd_node *> instances(const lyd_node *first, const lysc_node *cs) const
    {
        std::vector<const lyd_node *> out;
        for (const lyd_node *n = first; n; n = n->next) {
            if (n->schema != cs)
                continue;
            if ((cs->nodetype & (LYS_LEAF | LYS_LEAFLIST)) && (n->flags & LYD_DEFAULT))
                continue;
            out.push_back(n);
        }
        return out;
    }

    std::string identity(const lyd_node *entry) const
    {
        std::string id;
        for (const lyd_node *c = lyd_child(entry); c && c->schema && (c->schema->flags & LYS_KEY); c = c->next) {
            id += lyd_get_value(c);
            id.push_back('\0');
        }
        return id;
    }

    void keys_of(const lyd_node *entry, Change &c) const
    {
        for (const lyd_node *k = lyd_child(entry); k && k->schema && (k->schema->flags & LYS_KEY); k = k->next) {
            OwnedValue v;
            s_.value_of(k, &v.v);
            c.keys.emplace_back(k->schema, v);
        }
    }

    void leaflist_value(const std::vector<const lyd_node *> &items, OwnedValue *out) const
    {
        auto *vals = static_cast<confd_value_t *>(calloc(items.empty() ? 1 : items.size(), sizeof(confd_value_t)));
        for (size_t i = 0; i < items.size(); i++)
            s_.value_of(items[i], &vals[i]);
        confd_free_value(&out->v);
        CONFD_SET_LIST(&out->v, vals, static_cast<unsigned>(items.size()));
    }

    void children_diff(const lyd_node *o, const lyd_node *n, const lysc_node *parent, std::vector<Change> &out) const
    {
        for (auto *cs : s_.children(parent)) {
            schema_diff(cs, instances(o ? lyd_child(o) : nullptr, cs), instances(n ? lyd_child(n) : nullptr, cs), out);
        }
    }

    // Changes of the instances of cs between the old and the new siblings.
    void schema_diff(const lysc_node *cs, const std::vector<const lyd_node *> &ov,
                     const std::vector<const lyd_node *> &nv, std::vector<Change> &out) const
    {
        switch (cs->nodetype) {
        case LYS_LEAF: {
            const lyd_node *o = ov.empty() ? nullptr : ov[0];
            const lyd_node *n = nv.empty() ? nullptr : nv[0];
            if (!o && !n)
                return;
            if (o && n && strcmp(lyd_get_value(o), lyd_get_value(n)) == 0)
                return;
            Change c;
            c.sn = cs;
            c.kind = kLeaf;
            c.op = n ? MOP_VALUE_SET : MOP_DELETED;
            if (o)
                s_.value_of(o, &c.oldv.v);
            if (n)
                s_.value_of(n, &c.newv.v);
            out.push_back(std::move(c));
            return;
        }
        case LYS_LEAFLIST: {
            bool same = ov.size() == nv.size();
            for (size_t i = 0; same && i < ov.size(); i++)
                same = strcmp(lyd_get_value(ov[i]), lyd_get_value(nv[i])) == 0;
            if (same)
                return;
            Change c;
            c.sn = cs;
            c.kind = kLeafList;
            c.op = nv.empty() ? MOP_DELETED : MOP_VALUE_SET;
            if (!ov.empty())
                leaflist_value(ov, &c.oldv);
            if (!nv.empty())
                leaflist_value(nv, &c.newv);
            out.push_back(std::move(c));
            return;
        }
        case LYS_CONTAINER: {
            const lyd_node *o = ov.empty() ? nullptr : ov[0];
            const lyd_node *n = nv.empty() ? nullptr : nv[0];
            if (!o && !n)
                return;
            Change c;
            c.sn = cs;
            if (is_np_container(cs)) {
                c.kind = kContainer;
                c.op = MOP_MODIFIED;
            } else {
                c.kind = kPresence;
                c.op = !o ? MOP_CREATED : (!n ? MOP_DELETED : MOP_MODIFIED);
            }
            if (c.op != MOP_DELETED)
                children_diff(o, n, cs, c.children);
            if (c.op == MOP_MODIFIED && c.children.empty())
                return;
            out.push_back(std::move(c));
            return;
        }
        case LYS_LIST: {
            std::map<std::string, const lyd_node *> old_by_id;
            for (auto *o : ov)
                old_by_id[identity(o)] = o;
            std::map<std::string, bool> seen;
            for (auto *n : nv) {
                std::string id = identity(n);
                seen[id] = true;
                auto it = old_by_id.find(id);
                Change c;
                c.sn = cs;
                c.kind = kListEntry;
                keys_of(n, c);
                c.op = it == old_by_id.end() ? MOP_CREATED : MOP_MODIFIED;
                children_diff(it == old_by_id.end() ? nullptr : it->second, n, cs, c.children);
                if (c.op == MOP_MODIFIED && c.children.empty())
                    continue;
                out.push_back(std::move(c));
            }
            for (auto *o : ov) {
                if (seen.count(identity(o)))
                    continue;
                Change c;
                c.sn = cs;
                c.kind = kListEntry;
                c.op = MOP_DELETED;
                keys_of(o, c);
                out.push_back(std::move(c));
            }
            return;
        }
        default:
            return;
        }
    }

    void collect(const std::vector<const lysc_node *> &chain, size_t level, const lyd_node *ofirst,
                 const lyd_node *nfirst, std::vector<KpElem> &kp,
                 std::vector<std::pair<std::vector<KpElem>, Change>> &roots) const
    {
        const lysc_node *cs = chain[level];
        auto ov = instances(ofirst, cs);
        auto nv = instances(nfirst, cs);
        if (level + 1 == chain.size()) {
            std::vector<Change> changes;
            schema_diff(cs, ov, nv, changes);
            for (auto &c : changes) {
                KpElem tagel{s_.tag(cs), s_.ns(cs), {}};
                std::vector<KpElem> full = kp;
                full.push_back(tagel);
                if (c.kind == kListEntry) {
                    KpElem keyel;
                    for (auto &k : c.keys)
                        keyel.keys.push_back(k.second);
                    full.push_back(keyel);
                }
                roots.emplace_back(std::move(full), std::move(c));
            }
            return;
        }
        // Pair the instances of this ancestor level and descend into each.
        std::vector<std::pair<const lyd_node *, const lyd_node *>> pairs;
        if (cs->nodetype == LYS_LIST) {
            std::map<std::string, const lyd_node *> old_by_id;
            for (auto *o : ov)
                old_by_id[identity(o)] = o;
            std::map<std::string, bool> seen;
            for (auto *n : nv) {
                std::string id = identity(n);
                seen[id] = true;
                auto it = old_by_id.find(id);
                pairs.emplace_back(it == old_by_id.end() ? nullptr : it->second, n);
            }
            for (auto *o : ov)
                if (!seen.count(identity(o)))
                    pairs.emplace_back(o, nullptr);
        } else {
            const lyd_node *o = ov.empty() ? nullptr : ov[0];
            const lyd_node *n = nv.empty() ? nullptr : nv[0];
            if (o || n)
                pairs.emplace_back(o, n);
        }
        for (auto &p : pairs) {
            size_t mark = kp.size();
            kp.push_back(KpElem{s_.tag(cs), s_.ns(cs), {}});
            if (cs->nodetype == LYS_LIST) {
                KpElem keyel;
                for (const lyd_node *k = lyd_child(p.second ? p.second : p.first);
                     k && k->schema && (k->schema->flags & LYS_KEY); k = k->next) {
                    OwnedValue v;
                    s_.value_of(k, &v.v);
                    keyel.keys.push_back(v);
                }
                kp.push_back(std::move(keyel));
            }
            collect(chain, level + 1, p.first ? lyd_child(p.first) : nullptr, p.second ? lyd_child(p.second) : nullptr,
                    kp, roots);
            kp.resize(mark);
        }
    }

    void encode(cdbwire::WireWriter &w, const Change &c) const
    {
        w.u8(c.op);
        w.u8(c.kind);
        w.u32(s_.tag(c.sn));
        w.u32(s_.ns(c.sn));
        w.value(c.oldv.v);
        w.value(c.newv.v);
        w.u32(static_cast<uint32_t>(c.keys.size()));
        for (auto &k : c.keys) {
            w.u32(s_.tag(k.first));
            w.u32(s_.ns(k.first));
            w.value(k.second.v);
        }
        w.u32(static_cast<uint32_t>(c.children.size()));
        for (auto &ch : c.children)
            encode(w, ch);
    }

private:
    const Schema &s_;
};

}  // namespace

std::string encode_changes(const Schema &schema, const lyd_node *old_tree, const lyd_node *new_tree,
                           const lysc_node *sub, uint32_t *nroots)
{
    std::vector<const lysc_node *> chain;
    for (const lysc_node *n = sub; n; n = n->parent)
        if (!(n->nodetype & (LYS_CHOICE | LYS_CASE)))
            chain.insert(chain.begin(), n);
    Differ d(schema);
    std::vector<KpElem> kp;
    std::vector<std::pair<std::vector<KpElem>, Change>> roots;
    if (!chain.empty())
        d.collect(chain, 0, old_tree, new_tree, kp, roots);
    cdbwire::WireWriter w;
    w.u32(static_cast<uint32_t>(roots.size()));
    for (auto &r : roots) {
        auto &elems = r.first;
        size_t len = elems.size() > MAXDEPTH ? MAXDEPTH : elems.size();
        w.u8(static_cast<uint8_t>(len));
        for (size_t i = 0; i < len; i++) {
            const KpElem &e = elems[elems.size() - 1 - i];
            if (e.keys.empty()) {
                w.u8(1);
                confd_value_t t;
                CONFD_SET_XMLTAG(&t, e.tag, e.ns);
                w.value(t);
            } else {
                w.u8(static_cast<uint8_t>(e.keys.size()));
                for (auto &k : e.keys)
                    w.value(k.v);
            }
        }
        d.encode(w, r.second);
    }
    if (nroots)
        *nroots = static_cast<uint32_t>(roots.size());
    return w.data();
}

}  // namespace cdbsim
