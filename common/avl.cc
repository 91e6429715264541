#include "common/avl.h"

#include "common/zel_log.h"

namespace
{

constexpr uintptr_t PCB_BALANCE_MASK = 0x3;
constexpr uintptr_t PCB_CHILD_BIT = 0x4;
constexpr uintptr_t PCB_PARENT_MASK = ~uintptr_t{0x7};
constexpr uintptr_t INDEX_CHILD_BIT = 0x1;

// Balance -1 / +1 leans towards child 0 / 1; balance 0 picks child 0.
constexpr int balance2child[] = {0, 0, 1};
constexpr int child2balance[] = {-1, 1};

avl_node_t *xparent(const avl_node_t *n) { return reinterpret_cast<avl_node_t *>(n->avl_pcb & PCB_PARENT_MASK); }
int xchild(const avl_node_t *n) { return (n->avl_pcb & PCB_CHILD_BIT) != 0; }
int xbalance(const avl_node_t *n) { return static_cast<int>(n->avl_pcb & PCB_BALANCE_MASK) - 1; }

void set_pcb(avl_node_t *n, avl_node_t *parent, int child, int balance)
{
    n->avl_pcb =
        reinterpret_cast<uintptr_t>(parent) | (child ? PCB_CHILD_BIT : 0) | static_cast<uintptr_t>(balance + 1);
}
void set_parent(avl_node_t *n, avl_node_t *p)
{
    n->avl_pcb = (n->avl_pcb & ~PCB_PARENT_MASK) | reinterpret_cast<uintptr_t>(p);
}
void set_child(avl_node_t *n, int c) { n->avl_pcb = (n->avl_pcb & ~PCB_CHILD_BIT) | (c ? PCB_CHILD_BIT : 0); }
void set_balance(avl_node_t *n, int b)
{
    n->avl_pcb = (n->avl_pcb & ~PCB_BALANCE_MASK) | static_cast<uintptr_t>(b + 1);
}

avl_node_t *data2node(const avl_tree_t *tree, const void *data)
{
    return reinterpret_cast<avl_node_t *>(reinterpret_cast<uintptr_t>(data) + tree->avl_offset);
}
void *node2data(const avl_tree_t *tree, avl_node_t *node) { return reinterpret_cast<char *>(node) - tree->avl_offset; }

avl_node_t *index2node(avl_index_t where) { return reinterpret_cast<avl_node_t *>(where & ~INDEX_CHILD_BIT); }
int index2child(avl_index_t where) { return static_cast<int>(where & INDEX_CHILD_BIT); }
avl_index_t make_index(avl_node_t *node, int child) { return reinterpret_cast<uintptr_t>(node) | child; }

int compare(const avl_tree_t *tree, const void *a, const void *b)
{
    int diff = tree->avl_compar(a, b);
    ZEL_ASSERT(-1 <= diff && diff <= 1);
    return diff;
}

// Hangs child (or nothing) in parent's slot `side`, keeping the child's balance.
void set_link(avl_node_t *parent, int side, avl_node_t *child)
{
    parent->avl_child[side] = child;
    if (child) {
        set_parent(child, parent);
        set_child(child, side);
    }
}

// Points the parent's slot (or the root) at node.
void replace_in_parent(avl_tree_t *tree, avl_node_t *parent, int which, avl_node_t *node)
{
    if (parent)
        parent->avl_child[which] = node;
    else
        tree->avl_root = node;
}

// Restores balance at a node whose balance would be +/-2. Returns 1 when the
// subtree became shorter than before the change that unbalanced it.
int rotate(avl_tree_t *tree, avl_node_t *node, int balance)
{
    const int heavy = balance < 0 ? 0 : 1;  // the taller side
    const int light = 1 - heavy;
    const int heavy_bal = balance >> 1;  // -1 or +1, the balance that leans to `heavy`
    const int light_bal = -heavy_bal;
    avl_node_t *parent = xparent(node);
    const int which = xchild(node);
    avl_node_t *child = node->avl_child[heavy];
    int child_bal = xbalance(child);

    if (child_bal != light_bal) {
        // Single rotation: child rises, node becomes its light-side child.
        child_bal += light_bal;
        set_link(node, heavy, child->avl_child[light]);
        child->avl_child[light] = node;
        set_pcb(node, child, light, -child_bal);
        set_pcb(child, parent, which, child_bal);
        replace_in_parent(tree, parent, which, child);
        return child_bal == 0;
    }

    // Double rotation: the grandchild on the inner side rises above both.
    avl_node_t *gchild = child->avl_child[light];
    const int g_bal = xbalance(gchild);
    set_link(node, heavy, gchild->avl_child[light]);
    set_link(child, light, gchild->avl_child[heavy]);
    gchild->avl_child[heavy] = child;
    set_pcb(child, gchild, heavy, g_bal == light_bal ? heavy_bal : 0);
    gchild->avl_child[light] = node;
    set_pcb(node, gchild, light, g_bal == heavy_bal ? light_bal : 0);
    set_pcb(gchild, parent, which, 0);
    replace_in_parent(tree, parent, which, gchild);
    return 1;
}

avl_node_t *extreme(const avl_tree_t *tree, int side)
{
    avl_node_t *node = tree->avl_root;
    if (!node)
        return nullptr;
    while (node->avl_child[side])
        node = node->avl_child[side];
    return node;
}

}  // namespace

void avl_create(avl_tree_t *tree, avl_compar_fn compar, size_t size, size_t offset)
{
    ZEL_ASSERT(tree);
    ZEL_ASSERT(compar);
    ZEL_ASSERT(size > 0);
    ZEL_INVARIANT(__FILE__, "size >= offset + sizeof (avl_node_t)", size >= offset + sizeof(avl_node_t));
    ZEL_ASSERT((offset & 0x7) == 0);
    tree->avl_root = nullptr;
    tree->avl_compar = compar;
    tree->avl_offset = offset;
    tree->avl_numnodes = 0;
    tree->avl_size = size;
}

void avl_destroy(avl_tree_t *tree)
{
    ZEL_ASSERT(tree);
    ZEL_ASSERT(tree->avl_numnodes == 0);
    ZEL_ASSERT(tree->avl_root == ((void *)0));
}

void *avl_find(avl_tree_t *tree, const void *value, avl_index_t *where)
{
    avl_node_t *prev = nullptr;
    int child = 0;
    for (avl_node_t *node = tree->avl_root; node; node = node->avl_child[child]) {
        prev = node;
        int diff = compare(tree, value, node2data(tree, node));
        if (diff == 0) {
            if (where)
                *where = 0;
            return node2data(tree, node);
        }
        child = balance2child[1 + diff];
    }
    if (where)
        *where = prev ? make_index(prev, child) : 0;
    return nullptr;
}

void avl_insert(avl_tree_t *tree, void *new_data, avl_index_t where)
{
    ZEL_ASSERT(tree);
    ZEL_ASSERT(((uintptr_t)new_data & 0x7) == 0);
    avl_node_t *parent = index2node(where);
    int which_child = index2child(where);
    avl_node_t *node = data2node(tree, new_data);

    ++tree->avl_numnodes;
    node->avl_child[0] = nullptr;
    node->avl_child[1] = nullptr;
    set_pcb(node, parent, which_child, 0);
    if (parent) {
        ZEL_ASSERT(parent->avl_child[which_child] == ((void *)0));
        parent->avl_child[which_child] = node;
    } else {
        ZEL_ASSERT(tree->avl_root == ((void *)0));
        tree->avl_root = node;
    }

    // Walk up adjusting balances; stop at the first subtree whose height did
    // not change, or rotate at the first one that leans by two.
    int new_balance = 0;
    for (;;) {
        node = parent;
        if (!node)
            return;
        int old_balance = xbalance(node);
        new_balance = old_balance + child2balance[which_child];
        if (new_balance == 0) {
            set_balance(node, 0);
            return;
        }
        if (old_balance != 0)
            break;
        set_balance(node, new_balance);
        parent = xparent(node);
        which_child = xchild(node);
    }
    rotate(tree, node, new_balance);
}

void avl_insert_here(avl_tree_t *tree, void *new_data, void *here, int direction)
{
    ZEL_ASSERT(tree != ((void *)0));
    ZEL_ASSERT(new_data != ((void *)0));
    ZEL_ASSERT(here != ((void *)0));
    ZEL_ASSERT(direction == (0) || direction == (1));

    // With that side taken, the slot is the nearest free one on the other
    // side of the neighbour.
    avl_node_t *node = data2node(tree, here);
    int child = direction;
    if (node->avl_child[child]) {
        node = node->avl_child[child];
        child = 1 - child;
        while (node->avl_child[child])
            node = node->avl_child[child];
    }
    avl_insert(tree, new_data, make_index(node, child));
}

void avl_add(avl_tree_t *tree, void *new_data)
{
    avl_index_t where = 0;
    void *found = avl_find(tree, new_data, &where);
    ZEL_ASSERT(found == ((void *)0));
    avl_insert(tree, new_data, where);
}

void avl_remove(avl_tree_t *tree, void *data)
{
    ZEL_ASSERT(tree);
    ZEL_ASSERT(tree->avl_numnodes > 0);
    avl_node_t *del = data2node(tree, data);
    avl_node_t *parent;
    int which_child;

    if (del->avl_child[0] && del->avl_child[1]) {
        // Two children: the in-order neighbour on the taller side (which has
        // at most one child) leaves its place and takes del's.
        const int left = balance2child[xbalance(del) + 1];
        const int right = 1 - left;
        avl_node_t *repl = del->avl_child[left];
        while (repl->avl_child[right])
            repl = repl->avl_child[right];

        parent = xparent(repl);
        which_child = xchild(repl);
        avl_node_t *orphan = repl->avl_child[left];
        if (parent == del)
            parent = repl;

        repl->avl_child[0] = del->avl_child[0];
        repl->avl_child[1] = del->avl_child[1];
        repl->avl_pcb = del->avl_pcb;
        replace_in_parent(tree, xparent(del), xchild(del), repl);

        set_link(parent, which_child, orphan);
        for (avl_node_t *c : repl->avl_child)
            if (c)
                set_parent(c, repl);
    } else {
        parent = xparent(del);
        which_child = xchild(del);
        avl_node_t *only = del->avl_child[0] ? del->avl_child[0] : del->avl_child[1];
        if (only) {
            set_parent(only, parent);
            set_child(only, which_child);
        }
        replace_in_parent(tree, parent, which_child, only);
    }
    --tree->avl_numnodes;
    del->avl_child[0] = nullptr;
    del->avl_child[1] = nullptr;
    del->avl_pcb = 0;

    // The subtree at parent->avl_child[which_child] got shorter: walk up
    // until a height stays the same.
    while (parent) {
        avl_node_t *node = parent;
        int old_balance = xbalance(node);
        int new_balance = old_balance - child2balance[which_child];
        parent = xparent(node);
        which_child = xchild(node);
        if (old_balance == 0) {
            set_balance(node, new_balance);
            break;
        }
        if (new_balance == 0)
            set_balance(node, 0);
        else if (!rotate(tree, node, new_balance))
            break;
    }
}

int avl_update(avl_tree_t *tree, void *data)
{
    void *prev = AVL_PREV(tree, data);
    void *next = AVL_NEXT(tree, data);
    if ((prev && compare(tree, data, prev) < 0) || (next && compare(tree, data, next) > 0)) {
        avl_remove(tree, data);
        avl_add(tree, data);
        return 1;
    }
    return 0;
}

void *avl_first(avl_tree_t *tree)
{
    avl_node_t *node = extreme(tree, 0);
    return node ? node2data(tree, node) : nullptr;
}

void *avl_last(avl_tree_t *tree)
{
    avl_node_t *node = extreme(tree, 1);
    return node ? node2data(tree, node) : nullptr;
}

void *avl_walk(avl_tree_t *tree, void *data, int direction)
{
    if (!data)
        return nullptr;
    const int other = 1 - direction;
    avl_node_t *node = data2node(tree, data);
    if (node->avl_child[direction]) {
        node = node->avl_child[direction];
        while (node->avl_child[other])
            node = node->avl_child[other];
    } else {
        for (;;) {
            int was_child = xchild(node);
            node = xparent(node);
            if (!node)
                return nullptr;
            if (was_child == other)
                break;
        }
    }
    return node2data(tree, node);
}

void *avl_nearest(avl_tree_t *tree, avl_index_t where, int direction)
{
    avl_node_t *node = index2node(where);
    if (!node)
        return nullptr;
    void *data = node2data(tree, node);
    // The empty slot lies just after (child 1) or before (child 0) its parent.
    if (index2child(where) != direction)
        return data;
    return avl_walk(tree, data, direction);
}

void *avl_find_next(avl_tree_t *tree, const void *value)
{
    avl_node_t *greater = nullptr;
    avl_node_t *node = tree->avl_root;
    while (node) {
        void *data = node2data(tree, node);
        int diff = compare(tree, value, data);
        if (diff == 0)
            return AVL_NEXT(tree, data);
        if (diff < 0)
            greater = node;
        node = node->avl_child[balance2child[1 + diff]];
    }
    return greater ? node2data(tree, greater) : nullptr;
}

void *avl_find_or_next(avl_tree_t *tree, const void *value, avl_index_t *where)
{
    avl_index_t pos = 0;
    void *found = avl_find(tree, value, &pos);
    if (where)
        *where = pos;
    return found ? found : avl_nearest(tree, pos, AVL_AFTER);
}

namespace
{

int foreach_dir(avl_tree_t *tree, avl_foreach_cb cb, void *arg1, void *arg2, int direction)
{
    if (!cb)
        return 0;
    void *data = direction == AVL_AFTER ? avl_first(tree) : avl_last(tree);
    while (data) {
        void *next = avl_walk(tree, data, direction);  // before cb may free data
        if (int rc = cb(data, arg1, arg2, data))
            return rc;
        data = next;
    }
    return 0;
}

}  // namespace

int avl_foreach(avl_tree_t *tree, avl_foreach_cb cb, void *arg1, void *arg2)
{
    return foreach_dir(tree, cb, arg1, arg2, AVL_AFTER);
}

int avl_foreach_reverse(avl_tree_t *tree, avl_foreach_cb cb, void *arg1, void *arg2)
{
    return foreach_dir(tree, cb, arg1, arg2, AVL_BEFORE);
}

unsigned long avl_numnodes(const avl_tree_t *tree)
{
    ZEL_ASSERT(tree);
    return tree->avl_numnodes;
}

bool avl_is_empty(const avl_tree_t *tree)
{
    ZEL_ASSERT(tree);
    return tree->avl_numnodes == 0;
}

// Post-order walk that detaches each returned leaf on the next call. The cookie
// holds the returned node's parent with its child index in bit 0; a cookie of
// just the bit means the root was returned.
void *avl_destroy_nodes(avl_tree_t *tree, void **cookie)
{
    avl_node_t *node;
    avl_node_t *parent;

    if (*cookie == nullptr) {
        node = extreme(tree, 0);
        if (!node) {
            *cookie = reinterpret_cast<void *>(INDEX_CHILD_BIT);
            return nullptr;
        }
        parent = xparent(node);
    } else {
        const uintptr_t c = reinterpret_cast<uintptr_t>(*cookie);
        parent = index2node(c);
        if (!parent) {
            if (tree->avl_root) {
                ZEL_ASSERT(tree->avl_numnodes == 1);
                tree->avl_root = nullptr;
                tree->avl_numnodes = 0;
            }
            return nullptr;
        }
        const int child = index2child(c);
        parent->avl_child[child] = nullptr;
        ZEL_ASSERT(tree->avl_numnodes > 1);
        --tree->avl_numnodes;

        if (child == 1 || !parent->avl_child[1]) {
            // Both subtrees are gone: the parent is the next leaf.
            node = parent;
            parent = xparent(parent);
            goto done;
        }
        // Otherwise descend into the right subtree's leftmost node.
        node = parent->avl_child[1];
        while (node->avl_child[0]) {
            parent = node;
            node = node->avl_child[0];
        }
    }

    // A leftmost node may still have one leaf on its right.
    if (node->avl_child[1]) {
        parent = node;
        node = node->avl_child[1];
    }

done:
    ZEL_ASSERT(node->avl_child[0] == ((void *)0) && node->avl_child[1] == ((void *)0));
    if (parent) {
        *cookie = reinterpret_cast<void *>(make_index(parent, xchild(node)));
    } else {
        ZEL_ASSERT(node == tree->avl_root);
        *cookie = reinterpret_cast<void *>(INDEX_CHILD_BIT);
    }
    return node2data(tree, node);
}
