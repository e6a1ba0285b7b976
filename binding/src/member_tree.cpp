// The member tree of large structures: insertion with AVL rebalancing, balanced
// building from a sorted list, in-order stepping.
#include "member_tree.h"

namespace Vemi::Binding::detail {
namespace {

inline int Balance(const StructureNode* n) noexcept { return static_cast<int>(n->parentAndBalance & 3u) - 1; }
inline void SetBalance(StructureNode* n, int balance) noexcept {
    n->parentAndBalance = (n->parentAndBalance & ~uintptr_t{3}) | static_cast<uintptr_t>(balance + 1);
}
inline void SetParent(StructureNode* n, StructureNode* parent) noexcept {
    n->parentAndBalance = reinterpret_cast<uintptr_t>(parent) | (n->parentAndBalance & 3u);
}

// Places `child` where `old` hung below `parent` (or as the root).
inline void Replace(StructureNode*& root, StructureNode* parent, StructureNode* old, StructureNode* child) noexcept {
    SetParent(child, parent);
    if (parent == nullptr) root = child;
    else if (parent->left == old) parent->left = child;
    else parent->right = child;
}

StructureNode* RotateRight(StructureNode* x, StructureNode* z) noexcept {
    StructureNode* inner = z->right;
    x->left = inner;
    if (inner != nullptr) SetParent(inner, x);
    z->right = x;
    SetParent(x, z);
    if (Balance(z) == 0) {
        SetBalance(x, -1);
        SetBalance(z, 1);
    } else {
        SetBalance(x, 0);
        SetBalance(z, 0);
    }
    return z;
}

StructureNode* RotateLeft(StructureNode* x, StructureNode* z) noexcept {
    StructureNode* inner = z->left;
    x->right = inner;
    if (inner != nullptr) SetParent(inner, x);
    z->left = x;
    SetParent(x, z);
    if (Balance(z) == 0) {
        SetBalance(x, 1);
        SetBalance(z, -1);
    } else {
        SetBalance(x, 0);
        SetBalance(z, 0);
    }
    return z;
}

// x leans left by two, its left child z leans right.
StructureNode* RotateLeftRight(StructureNode* x, StructureNode* z) noexcept {
    StructureNode* y = z->right;
    StructureNode* a = y->left;
    StructureNode* b = y->right;
    z->right = a;
    if (a != nullptr) SetParent(a, z);
    y->left = z;
    SetParent(z, y);
    x->left = b;
    if (b != nullptr) SetParent(b, x);
    y->right = x;
    SetParent(x, y);
    const int by = Balance(y);
    SetBalance(x, by < 0 ? 1 : 0);
    SetBalance(z, by > 0 ? -1 : 0);
    SetBalance(y, 0);
    return y;
}

// x leans right by two, its right child z leans left.
StructureNode* RotateRightLeft(StructureNode* x, StructureNode* z) noexcept {
    StructureNode* y = z->left;
    StructureNode* a = y->right;
    StructureNode* b = y->left;
    z->left = a;
    if (a != nullptr) SetParent(a, z);
    y->right = z;
    SetParent(z, y);
    x->right = b;
    if (b != nullptr) SetParent(b, x);
    y->left = x;
    SetParent(x, y);
    const int by = Balance(y);
    SetBalance(x, by > 0 ? -1 : 0);
    SetBalance(z, by < 0 ? 1 : 0);
    SetBalance(y, 0);
    return y;
}

// Restores balance upwards after `node` was hung in as a leaf.
void RebalanceAfterInsert(StructureNode*& root, StructureNode* node) noexcept {
    for (StructureNode* child = node, *parent = node->Parent(); parent != nullptr;
         child = parent, parent = parent->Parent()) {
        const int grown = child == parent->left ? -1 : 1;
        const int balance = Balance(parent);
        if (balance == -grown) {
            SetBalance(parent, 0);
            return;
        }
        if (balance == 0) {
            SetBalance(parent, grown);
            continue;
        }
        StructureNode* grand = parent->Parent();
        StructureNode* top;
        if (grown < 0) top = Balance(child) > 0 ? RotateLeftRight(parent, child) : RotateRight(parent, child);
        else top = Balance(child) < 0 ? RotateRightLeft(parent, child) : RotateLeft(parent, child);
        Replace(root, grand, parent, top);
        return;
    }
}

// A perfectly balanced tree of nodes[lo, hi) below `parent`, with the balance of
// every node set; `height` receives its height.
StructureNode* BuildRange(StructureNode* const* nodes, uint32_t lo, uint32_t hi, StructureNode* parent,
                          int& height) noexcept {
    if (lo == hi) {
        height = 0;
        return nullptr;
    }
    const uint32_t mid = lo + (hi - lo) / 2;
    StructureNode* n = nodes[mid];
    n->parentAndBalance = reinterpret_cast<uintptr_t>(parent);
    int left = 0;
    int right = 0;
    n->left = BuildRange(nodes, lo, mid, n, left);
    n->right = BuildRange(nodes, mid + 1, hi, n, right);
    SetBalance(n, right - left);
    height = 1 + (left > right ? left : right);
    return n;
}

}  // namespace

StructureNode* StructureNode::Next() const noexcept {
    if (right != nullptr) {
        StructureNode* n = right;
        while (n->left != nullptr) n = n->left;
        return n;
    }
    const StructureNode* n = this;
    StructureNode* parent = n->Parent();
    while (parent != nullptr && n == parent->right) {
        n = parent;
        parent = parent->Parent();
    }
    return parent;
}

void InsertNode(StructureNode*& root, StructureNode* parent, int order, StructureNode* node) noexcept {
    node->left = node->right = nullptr;
    node->parentAndBalance = reinterpret_cast<uintptr_t>(parent) | 1u;  // balance 0
    if (parent == nullptr) root = node;
    else if (order < 0) parent->left = node;
    else parent->right = node;
    RebalanceAfterInsert(root, node);
}

StructureNode* BuildBalanced(StructureNode* const* nodes, uint32_t count) noexcept {
    int height = 0;
    return BuildRange(nodes, 0, count, nullptr, height);
}

}  // namespace Vemi::Binding::detail
