// The lookup tables' entry order and child links, checked against a second, deliberately plain reading
// of the construction: pointer trees inserted one random() draw per visited node, dense class vectors, the
// whole draw order of a compilation (tables, boundaries, rows, class maps, working sets) written out
// literally. It shares nothing with the compiler but the rule set, and must reproduce every lookup entry
// byte for byte from the same random() state.
#include "compiler/zel_image.h"
#include "tools/zelc/zelc_rules.h"
#include "zelc_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <vector>

namespace
{

using bits = std::vector<uint64_t>;

// Three-way order of keys: words compared from the highest (class vectors), a single word for values.
int compare(const bits &a, const bits &b)
{
    for (size_t k = a.size(); k-- > 0;)
        if (a[k] != b[k])
            return a[k] < b[k] ? -1 : 1;
    return 0;
}

// Randomized search tree as the compiler's documentation states it, with random() for every draw.
class plain_tree
{
public:
    struct node {
        bits key;
        uint32_t value = 0, size = 1;
        node *left = nullptr, *right = nullptr;
    };

    // false when the key is present (no draw is made then).
    bool insert(const bits &key, uint32_t value)
    {
        for (node *v = root_; v;) {
            const int c = compare(key, v->key);
            if (c == 0)
                return false;
            v = c < 0 ? v->left : v->right;
        }
        node *n = &nodes_.emplace_back(node{key, value});
        node **link = &root_;
        for (node *v = root_; v; v = *link) {
            v->size++;
            if (static_cast<unsigned long>(random()) % v->size == 0) {
                *link = at_root(v, n);
                return true;
            }
            link = compare(key, v->key) >= 0 ? &v->right : &v->left;
        }
        *link = n;
        return true;
    }

    std::vector<const node *> in_order() const
    {
        std::vector<const node *> out;
        std::function<void(const node *)> go = [&](const node *v) {
            if (v) {
                go(v->left);
                out.push_back(v);
                go(v->right);
            }
        };
        go(root_);
        return out;
    }
    const node *root() const { return root_; }

private:
    static uint32_t size(const node *n) { return n ? n->size : 0; }
    node *at_root(node *v, node *n)
    {
        if (!v)
            return n;
        node *y;
        if (compare(n->key, v->key) < 0) {
            v->left = at_root(v->left, n);
            y = v->left;
            v->left = y->right;
            y->right = v;
        } else {
            v->right = at_root(v->right, n);
            y = v->right;
            v->right = y->left;
            y->left = v;
        }
        y->size = v->size;
        v->size = 1 + size(v->left) + size(v->right);
        return y;
    }

    std::deque<node> nodes_;
    node *root_ = nullptr;
};

bits word(uint32_t v) { return bits{v}; }

struct plain_table {
    uint32_t id;
    plain_tree rows;     // key: low bound; value: row number
    plain_tree classes;  // key: vector; value: class id
    std::vector<uint32_t> high, row_class;
    std::vector<bits> vectors;  // by class id
    std::vector<uint32_t> order;
    plain_tree bounds;
    const plain_table *left = nullptr, *right = nullptr;
};

// Entries of a table in walk order (node, right subtree, left subtree), as the forwarding plane reads them.
std::vector<zel_lookup_entry> entries(const plain_table &t)
{
    std::vector<zel_lookup_entry> out;
    struct item {
        const plain_tree::node *n;
        size_t parent;
        bool left;
    };
    std::vector<item> stack{{t.rows.root(), SIZE_MAX, false}};
    while (!stack.empty()) {
        const item it = stack.back();
        stack.pop_back();
        const uint32_t r = it.n->value;
        out.push_back({static_cast<uint32_t>(it.n->key[0]), t.high[r], t.row_class[r], 0, 0});
        const uint32_t at = static_cast<uint32_t>(out.size() - 1) * 5;
        if (it.parent != SIZE_MAX)
            (it.left ? out[it.parent].left : out[it.parent].right) = at;
        if (it.n->left)
            stack.push_back({it.n->left, out.size() - 1, true});
        if (it.n->right)
            stack.push_back({it.n->right, out.size() - 1, false});
    }
    return out;
}

// What zelc_compile does to a rule set, draw by draw; returns the lookup tables by id.
std::map<uint32_t, std::vector<zel_lookup_entry>> plain_compile(const zelc_ruleset &rs)
{
    std::deque<plain_table> tables;
    plain_tree set;  // the context's set of tables
    std::map<uint32_t, plain_table *> leaf_of;
    std::vector<std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>> ranges(rs.rules.size());
    auto table_for = [&](uint32_t field) {
        if (!leaf_of.count(field)) {
            plain_table &t = tables.emplace_back();
            t.id = static_cast<uint32_t>(tables.size());
            set.insert(word(t.id), t.id);
            t.bounds.insert(word(0), 0);
            t.bounds.insert(word(0xFFFFFFFF), 0);
            leaf_of[field] = &t;
        }
        return leaf_of[field];
    };
    auto add = [&](size_t rule, uint32_t field, uint32_t lo, uint32_t hi) {
        plain_table *t = table_for(field);
        ranges[rule][t->id].push_back({lo, hi});
        t->bounds.insert(word(lo), 0);
        t->bounds.insert(word(hi + 1), 0);
    };
    for (size_t i = 0; i < rs.rules.size(); i++) {
        add(i, 12, 1, 1);  // MATCH_ANY
        for (const zelc_cond &c : rs.rules[i].conds) {
            if (!c.prefix) {
                add(i, c.field, c.lo, c.hi);
                continue;
            }
            const uint32_t a =
                uint32_t{c.addr[0]} << 24 | uint32_t{c.addr[1]} << 16 | uint32_t{c.addr[2]} << 8 | c.addr[3];
            const uint32_t host = c.len >= 32 ? 0 : 0xFFFFFFFFu >> c.len;
            add(i, c.field, a & ~host, (a & ~host) | host);
        }
    }

    const size_t nwords = (rs.rules.size() + 63) / 64;
    auto add_class = [&](plain_table &t, const bits &v) {
        for (const auto *n : t.classes.in_order())
            if (compare(n->key, v) == 0)
                return n->value;
        const uint32_t id = static_cast<uint32_t>(t.vectors.size());
        t.vectors.push_back(v);
        t.classes.insert(v, id);
        return id;
    };
    auto finish = [](plain_table &t) {
        for (const auto *n : t.classes.in_order())
            t.order.push_back(n->value);
    };
    const size_t nleaves = tables.size();
    for (size_t k = 0; k < nleaves; k++) {
        plain_table &t = tables[k];
        std::vector<uint32_t> cuts;
        for (const auto *n : t.bounds.in_order())
            cuts.push_back(static_cast<uint32_t>(n->key[0]));
        for (size_t r = 0; r + 1 < cuts.size(); r++) {
            t.rows.insert(word(cuts[r]), static_cast<uint32_t>(r));
            t.high.push_back(cuts[r + 1]);
        }
        for (size_t r = 0; r + 1 < cuts.size(); r++) {
            bits v(nwords, 0);
            for (size_t i = 0; i < rs.rules.size(); i++) {
                auto m = ranges[i].find(t.id);
                bool on = m == ranges[i].end();
                for (size_t j = 0; !on && j < m->second.size(); j++)
                    on = m->second[j].first <= cuts[r] && cuts[r] <= m->second[j].second;
                v[i / 64] |= uint64_t{on} << (i % 64);
            }
            t.row_class.push_back(add_class(t, v));
        }
        finish(t);
    }

    plain_tree work;
    std::vector<plain_table *> now;
    for (size_t k = 0; k < nleaves; k++) {
        work.insert(word(tables[k].id), tables[k].id);
        now.push_back(&tables[k]);
    }
    while (now.size() >= 2) {
        plain_tree next;
        std::vector<plain_table *> later;
        for (size_t p = 0; p + 1 < now.size(); p += 2) {
            const plain_table &a = *now[p], &b = *now[p + 1];
            plain_table &t = tables.emplace_back();
            t.id = static_cast<uint32_t>(tables.size());
            t.left = &a;
            t.right = &b;
            set.insert(word(t.id), t.id);
            const uint32_t nb = static_cast<uint32_t>(b.vectors.size());
            for (uint32_t ia : a.order) {
                for (uint32_t ib : b.order) {
                    const uint32_t key = ia * nb + ib;
                    t.rows.insert(word(key), static_cast<uint32_t>(t.high.size()));
                    t.high.push_back(key + 1);
                    bits v(nwords);
                    for (size_t w = 0; w < nwords; w++)
                        v[w] = a.vectors[ia][w] & b.vectors[ib][w];
                    t.row_class.push_back(add_class(t, v));
                }
            }
            finish(t);
            next.insert(word(t.id), t.id);
            later.push_back(&t);
        }
        if (now.size() % 2) {
            next.insert(word(now.back()->id), now.back()->id);
            later.insert(later.begin(), now.back());
        }
        now = later;
    }
    std::map<uint32_t, std::vector<zel_lookup_entry>> out;
    for (const plain_table &t : tables)
        out[t.id] = entries(t);
    return out;
}

void expect_same_tables(const zelc_ruleset &rs, const std::string &what)
{
    srandom(20241205);
    zelc_compiled c;
    ASSERT_EQ(zelc_compile(rs, 1u << 20, &c), 0) << what;
    srandom(20241205);
    const auto want = plain_compile(rs);
    const auto *h = reinterpret_cast<const zel_image_header *>(c.image.data());
    ASSERT_EQ(h->dir_count - 1, want.size()) << what;
    const zel_table_dir_entry *dir = zel_image_dir(c.image.data());
    for (uint32_t d = 0; d + 1 < h->dir_count; d++) {
        uint32_t hw;
        std::memcpy(&hw, c.image.data() + dir[d].offset, 4);
        const auto &rows = want.at(zel_table_word_id(hw));
        ASSERT_EQ(dir[d].count, rows.size()) << what << " table " << zel_table_word_id(hw);
        EXPECT_EQ(std::memcmp(c.image.data() + dir[d].offset + 4, rows.data(), rows.size() * sizeof rows[0]), 0)
            << what << " table " << zel_table_word_id(hw);
    }
}

TEST(TreeShapes, HundredRuleSetsMatchThePlainConstruction)
{
    const std::string dir = classbench_dir();
    int checked = 0;
    for (const char *set : {"acl1_100", "fw1_100", "ipc1_100"}) {
        zelc_ruleset rs;
        std::string err;
        if (dir.empty() || zelc_read_rules(dir + "/" + set + ".rules", zelc_format::classbench, &rs, &err) != 0)
            continue;
        expect_same_tables(rs, set);
        checked++;
    }
    // Generated sets where the files are missing, and always one that mixes wildcards and exact values.
    std::mt19937 rng(5);
    for (int n = checked ? 2 : 3; n-- > 0;) {
        std::string text;
        for (int i = 0; i < 100; i++) {
            auto pfx = [&] {
                const uint32_t len = rng() % 4 == 0 ? 0 : 8 + rng() % 25;
                return std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ".0.0/" + std::to_string(len);
            };
            const uint32_t p = rng() % 4 ? 0 : rng() % 1000, q = rng() % 3 ? 65535 : p + rng() % 100;
            text += "@" + pfx() + " " + pfx() + " 0 : 65535 " + std::to_string(p) + " : " + std::to_string(q) + " " +
                    (rng() % 2 ? "0x06/0xFF" : "0x00/0x00") + "\n";
        }
        zelc_ruleset rs;
        std::string err;
        ASSERT_EQ(zelc_read_rules_text(text, "generated", zelc_format::classbench, &rs, &err), 0) << err;
        expect_same_tables(rs, "generated");
    }
}

}  // namespace
