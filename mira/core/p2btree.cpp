// Intrusive AVL tree with parent pointers: the node header is the record's
// first member, so a record's address is its node. Nothing is allocated.
#include "p2btree.h"

#include <algorithm>

namespace {

using Node = p2BtreeNode_t;

int heightOf(const Node* n) { return n ? n->height : 0; }

void updateHeight(Node* n) { n->height = 1 + std::max(heightOf(n->left), heightOf(n->right)); }

// Puts `to` where `from` hangs under parent (or at the root).
void replaceChild(Node* parent, Node* from, Node* to, void** root) {
    if (!parent)
        *root = to;
    else if (parent->left == from)
        parent->left = to;
    else
        parent->right = to;
    if (to) to->parent = parent;
}

Node* rotateLeft(Node* x, void** root) {
    Node* y = x->right;
    x->right = y->left;
    if (y->left) y->left->parent = x;
    replaceChild(x->parent, x, y, root);
    y->left = x;
    x->parent = y;
    updateHeight(x);
    updateHeight(y);
    return y;
}

Node* rotateRight(Node* x, void** root) {
    Node* y = x->left;
    x->left = y->right;
    if (y->right) y->right->parent = x;
    replaceChild(x->parent, x, y, root);
    y->right = x;
    x->parent = y;
    updateHeight(x);
    updateHeight(y);
    return y;
}

// Restores balance at n; returns the node now at n's place.
Node* rebalance(Node* n, void** root) {
    updateHeight(n);
    int balance = heightOf(n->left) - heightOf(n->right);
    if (balance > 1) {
        if (heightOf(n->left->left) < heightOf(n->left->right)) rotateLeft(n->left, root);
        return rotateRight(n, root);
    }
    if (balance < -1) {
        if (heightOf(n->right->right) < heightOf(n->right->left)) rotateRight(n->right, root);
        return rotateLeft(n, root);
    }
    return n;
}

void retrace(Node* n, void** root) {
    while (n) n = rebalance(n, root)->parent;
}

Node* leftmost(Node* n) {
    while (n && n->left) n = n->left;
    return n;
}

}  // namespace

int p2BtreeInsert(void* record, void** root, p2BtreeCompare_t compare) {
    if (!record || !root || !compare) return -1;
    Node* node = static_cast<Node*>(record);
    Node* parent = nullptr;
    Node* cur = static_cast<Node*>(*root);
    int c = 0;
    while (cur) {
        c = compare(node, cur);
        if (c == 0) return 1;
        parent = cur;
        cur = c < 0 ? cur->left : cur->right;
    }
    node->parent = parent;
    node->left = node->right = nullptr;
    node->height = 1;
    if (!parent)
        *root = node;
    else if (c < 0)
        parent->left = node;
    else
        parent->right = node;
    retrace(parent, root);
    return 0;
}

int p2BtreeDelete(void* record, void** root) {
    if (!record || !root || !*root) return -1;
    Node* n = static_cast<Node*>(record);
    if (!n->parent && *root != n) return -1;  // not in this tree
    Node* start;
    if (n->left && n->right) {
        // The in-order successor takes n's place.
        Node* s = leftmost(n->right);
        if (s->parent != n) {
            Node* sParent = s->parent;
            sParent->left = s->right;
            if (s->right) s->right->parent = sParent;
            s->right = n->right;
            n->right->parent = s;
            start = sParent;
        } else {
            start = s;
        }
        s->left = n->left;
        n->left->parent = s;
        replaceChild(n->parent, n, s, root);
        s->height = n->height;
    } else {
        Node* child = n->left ? n->left : n->right;
        replaceChild(n->parent, n, child, root);
        start = n->parent;
    }
    retrace(start, root);
    n->parent = n->left = n->right = nullptr;
    n->height = 0;
    return 0;
}

void* p2BtreeFirst(void** root) { return root ? leftmost(static_cast<Node*>(*root)) : nullptr; }

void* p2BtreeNext(void* record) {
    Node* n = static_cast<Node*>(record);
    if (!n) return nullptr;
    if (n->right) return leftmost(n->right);
    while (n->parent && n->parent->right == n) n = n->parent;
    return n->parent;
}

void* findNode(const void* key, void* root, p2BtreeCompare_t compare) {
    if (!key || !compare) return nullptr;
    Node* cur = static_cast<Node*>(root);
    while (cur) {
        int c = compare(key, cur);
        if (c == 0) return cur;
        cur = c < 0 ? cur->left : cur->right;
    }
    return nullptr;
}
