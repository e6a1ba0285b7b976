// The balanced search tree that holds the members of a large structure: AVL with
// parent links, the balance (right minus left height) kept, plus one, in the low
// bits of the parent word. Nodes come from the caller (the context's pools); the
// tree only links them.
//
//   StructureNode* parent; int order;
//   if (!FindNode(root, name, parent, order)) InsertNode(root, parent, order, node);
#pragma once

#include <cstdint>
#include <string_view>

#include <kav/binding/value.h>
#include "same_bytes.h"

namespace Vemi::Binding::detail {

// Byte-wise order of a name against a key; most names differ in their first byte.
inline int CompareName(std::string_view name, const StringEntry* key) noexcept {
    const auto a = static_cast<uint8_t>(name.empty() ? '\0' : name[0]);
    const auto b = static_cast<uint8_t>(key->Text()[0]);
    if (a != b) return a < b ? -1 : 1;
    if (name.size() == key->length && SameBytes(name.data(), key->Text(), name.size())) return 0;
    return name.compare(key->View());
}

// The node whose member has that name, or null; then `parent` and `order` (the
// name's order against the parent's) say where a new node would hang.
inline StructureNode* FindNode(StructureNode* root, std::string_view name, StructureNode*& parent,
                               int& order) noexcept {
    parent = nullptr;
    order = 0;
    for (StructureNode* n = root; n != nullptr; n = order < 0 ? n->left : n->right) {
        order = CompareName(name, n->member->key);
        if (order == 0) return n;
        parent = n;
    }
    return nullptr;
}

// Hangs a new node where FindNode said (the root when `parent` is null) and
// restores the balance; the node's own links are set here.
void InsertNode(StructureNode*& root, StructureNode* parent, int order, StructureNode* node) noexcept;

// A perfectly balanced tree of nodes[0, count), which are in name order.
[[nodiscard]] StructureNode* BuildBalanced(StructureNode* const* nodes, uint32_t count) noexcept;

[[nodiscard]] inline StructureNode* FirstNode(StructureNode* root) noexcept {
    while (root != nullptr && root->left != nullptr) root = root->left;
    return root;
}

// Hands every node to `release` once, taking the tree apart on the way (by right
// rotations, without recursion or a stack); `release` may free the node.
template <class Release>
void DismantleTree(StructureNode* root, Release&& release) noexcept {
    for (StructureNode* n = root; n != nullptr;) {
        if (n->left != nullptr) {
            StructureNode* l = n->left;
            n->left = l->right;
            l->right = n;
            n = l;
            continue;
        }
        StructureNode* next = n->right;
        release(n);
        n = next;
    }
}

}  // namespace Vemi::Binding::detail
