#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <kav/binding/value.h>
#include "member_tree.h"

using namespace Vemi::Binding;
using detail::StructureNode;

namespace {

// Nodes whose members carry the names k0000, k0001, ... interned in one context.
class Nodes {
public:
    explicit Nodes(int count) : context_(ValueContext::Create()), members_(count), nodes_(count) {
        for (int i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "k%04d", i);
            members_[i].key = context_->Intern(name);
            nodes_[i].member = &members_[i];
        }
    }
    ~Nodes() {
        for (detail::Member& m : members_) context_->Release(m.key);
        ValueContext::Destroy(context_);
    }
    StructureNode* operator[](int i) { return &nodes_[i]; }
    std::string_view Name(int i) const { return members_[i].key->View(); }

private:
    ValueContext* context_;
    std::vector<detail::Member> members_;
    std::vector<StructureNode> nodes_;
};

int Balance(const StructureNode* n) { return static_cast<int>(n->parentAndBalance & 3u) - 1; }

// Checks links, stored balances and the AVL bound below `n`; answers the height.
int CheckSubtree(const StructureNode* n, const StructureNode* parent, int& count) {
    if (n == nullptr) return 0;
    EXPECT_EQ(n->Parent(), parent);
    ++count;
    const int left = CheckSubtree(n->left, n, count);
    const int right = CheckSubtree(n->right, n, count);
    EXPECT_EQ(Balance(n), right - left) << n->member->key->Text();
    EXPECT_LE(std::abs(right - left), 1);
    return 1 + std::max(left, right);
}

// A valid AVL tree of exactly `expected` (in name order), walked by Next.
void CheckTree(const StructureNode* root, const std::vector<std::string_view>& expected) {
    int count = 0;
    CheckSubtree(root, nullptr, count);
    EXPECT_EQ(count, static_cast<int>(expected.size()));
    std::vector<std::string_view> walked;
    for (const StructureNode* n = detail::FirstNode(const_cast<StructureNode*>(root)); n != nullptr; n = n->Next()) {
        walked.push_back(n->member->key->View());
    }
    EXPECT_EQ(walked, expected);
}

}  // namespace

TEST(MemberTree, InsertKeepsBalanceOrderAndLinks) {
    constexpr int kCount = 300;
    std::vector<int> ascending(kCount);
    std::iota(ascending.begin(), ascending.end(), 0);
    std::vector<int> descending(ascending.rbegin(), ascending.rend());
    std::vector<int> shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    std::vector<int> zigzag;  // outside in: exercises both double rotations
    for (int lo = 0, hi = kCount - 1; lo <= hi; ++lo, --hi) {
        zigzag.push_back(lo);
        if (lo != hi) zigzag.push_back(hi);
    }
    const std::vector<std::pair<const char*, const std::vector<int>*>> orders = {
        {"ascending", &ascending}, {"descending", &descending}, {"shuffled", &shuffled}, {"zigzag", &zigzag}};
    for (const auto& [what, order] : orders) {
        SCOPED_TRACE(what);
        Nodes nodes(kCount);
        StructureNode* root = nullptr;
        std::vector<int> inserted;
        for (int i : *order) {
            StructureNode* parent = nullptr;
            int side = 0;
            ASSERT_EQ(detail::FindNode(root, nodes.Name(i), parent, side), nullptr);
            detail::InsertNode(root, parent, side, nodes[i]);
            inserted.insert(std::lower_bound(inserted.begin(), inserted.end(), i), i);
            if (inserted.size() % 37 == 0 || inserted.size() == kCount) {
                std::vector<std::string_view> names;
                for (int k : inserted) names.push_back(nodes.Name(k));
                CheckTree(root, names);
            }
        }
        // Every name is found at its own node; names between them are not.
        for (int i = 0; i < kCount; ++i) {
            StructureNode* parent = nullptr;
            int side = 0;
            EXPECT_EQ(detail::FindNode(root, nodes.Name(i), parent, side), nodes[i]);
            EXPECT_EQ(detail::FindNode(root, std::string(nodes.Name(i)) + "x", parent, side), nullptr);
        }
    }
}

TEST(MemberTree, BuildBalancedFromEveryCount) {
    for (int count = 0; count <= 33; ++count) {
        SCOPED_TRACE(count);
        Nodes nodes(count);
        std::vector<StructureNode*> sorted;
        std::vector<std::string_view> names;
        for (int i = 0; i < count; ++i) {
            sorted.push_back(nodes[i]);
            names.push_back(nodes.Name(i));
        }
        StructureNode* root = detail::BuildBalanced(sorted.data(), static_cast<uint32_t>(count));
        CheckTree(root, names);
    }
}

TEST(MemberTree, DismantleHandsOverEveryNodeOnce) {
    for (int count : {0, 1, 2, 9, 100}) {
        Nodes nodes(count);
        StructureNode* root = nullptr;
        std::vector<int> order(count);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(count));
        for (int i : order) {
            StructureNode* parent = nullptr;
            int side = 0;
            (void)detail::FindNode(root, nodes.Name(i), parent, side);
            detail::InsertNode(root, parent, side, nodes[i]);
        }
        std::vector<std::string_view> released;
        detail::DismantleTree(root, [&](StructureNode* n) noexcept { released.push_back(n->member->key->View()); });
        std::vector<std::string_view> expected;
        for (int i = 0; i < count; ++i) expected.push_back(nodes.Name(i));
        EXPECT_EQ(released, expected) << count;  // in name order, each once
    }
}
