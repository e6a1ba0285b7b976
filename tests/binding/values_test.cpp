#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <latch>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <kav/binding/hash.h>
#include <kav/binding/value.h>

using namespace Vemi::Binding;

namespace {

std::vector<std::string> MemberNames(const BindingValue& v) {
    std::vector<std::string> names;
    for (auto [name, value] : v.Members()) names.emplace_back(name);
    return names;
}

// Texts and numbers appended in turn. Built this way because g++ 12 at -O3 warns
// falsely (-Wrestrict) about "literal" + std::to_string(n).
template <class... Parts>
std::string Join(const Parts&... parts) {
    std::string text;
    auto add = [&text](const auto& part) {
        if constexpr (std::is_arithmetic_v<std::decay_t<decltype(part)>>) text += std::to_string(part);
        else text += part;
    };
    (add(parts), ...);
    return text;
}

uint32_t Refs(const BindingValue& root, const char* text) {
    const StringEntry* e = root.Context() != nullptr ? root.Context()->FindString(text) : nullptr;
    return e != nullptr ? e->refs : 0;
}

// What a tree holds in its context: strings and blocks of every class.
std::vector<uint32_t> Holdings(const BindingValue& root) {
    std::vector<uint32_t> held{root.Context()->StringCount()};
    for (uint32_t c = 0; c < ValueContext::kBlockClasses; ++c) held.push_back(root.Context()->BlocksInUse(c));
    return held;
}

// The canonical shape of a value, to compare before and after a failed operation.
std::string Dump(const BindingValue& v) {
    switch (v.Kind()) {
        case ValueKind::String: return Join("\"", std::string(v.AsStringView()), "\"");
        case ValueKind::Signed: return std::to_string(v.AsSigned());
        case ValueKind::Collection: {
            std::string text = "[";
            for (const BindingValue& e : v.Elements()) text += Dump(e) + ",";
            return text + "]";
        }
        case ValueKind::Structure: {
            std::string text = "{";
            for (auto [name, member] : v.Members()) text += Join(std::string(name), ":", Dump(member), ",");
            return text + "}";
        }
        default: return KindName(v.Kind());
    }
}

// Injected exhaustion: the allocation after `allowed` more fails, once.
int gAllocationsLeft = -1;
bool CountedFailure() noexcept { return gAllocationsLeft >= 0 && gAllocationsLeft-- == 0; }
class FailAfter {
public:
    explicit FailAfter(int allowed) : previous_(PageSupply::SetFailureHook(&CountedFailure)) { gAllocationsLeft = allowed; }
    ~FailAfter() {
        PageSupply::SetFailureHook(previous_);
        gAllocationsLeft = -1;
    }
    FailAfter(const FailAfter&) = delete;
    FailAfter& operator=(const FailAfter&) = delete;
    // Whether the failure was reached.
    [[nodiscard]] static bool Spent() noexcept { return gAllocationsLeft < 0; }

private:
    PageSupply::FailureHook previous_;
};

}  // namespace

TEST(BindingValue, SizeAndReadersByKind) {
    const uint8_t bytes[] = {1, 2, 3, 4};
    struct Case {
        const char* what;
        std::function<void(BindingValue&)> set;
        ValueKind kind;
        size_t size;
    };
    const std::vector<Case> cases = {
        {"empty", [](BindingValue& v) { v.Reset(); }, ValueKind::Empty, 0},
        {"bool", [](BindingValue& v) { v.SetBool(false); }, ValueKind::Bool, 1},
        {"signed", [](BindingValue& v) { v.SetSigned(-5); }, ValueKind::Signed, 1},
        {"unsigned", [](BindingValue& v) { v.SetUnsigned(5); }, ValueKind::Unsigned, 1},
        {"float", [](BindingValue& v) { v.SetFloat(0.5); }, ValueKind::Float, 1},
        {"enum", [](BindingValue& v) { v.SetEnum(3, 77); }, ValueKind::Enum, 1},
        {"string", [](BindingValue& v) { v.SetString("abc"); }, ValueKind::String, 3},
        {"string to NUL", [](BindingValue& v) { v.SetString(std::string_view("ab\0cd", 5)); }, ValueKind::String, 2},
        {"null text", [](BindingValue& v) { v.SetString(static_cast<const char*>(nullptr)); }, ValueKind::String, 0},
        {"blob", [&](BindingValue& v) { v.SetBlob(bytes, 4); }, ValueKind::Blob, 4},
        {"collection", [](BindingValue& v) { v.Element(2); }, ValueKind::Collection, 3},
        {"structure", [](BindingValue& v) { v.Member("a"); v.Member("b"); }, ValueKind::Structure, 2},
    };
    for (const Case& c : cases) {
        BindingValue v;
        v.SetString("previous");
        c.set(v);
        v.Reserve(10);  // only collections take it
        EXPECT_EQ(v.Kind(), c.kind) << c.what;
        EXPECT_EQ(v.Size(), c.size) << c.what;
        // Readers of another kind answer their default, never a conversion.
        EXPECT_EQ(v.AsBool(true), c.kind != ValueKind::Bool) << c.what;
        EXPECT_EQ(v.AsSigned(42), c.kind == ValueKind::Signed ? -5 : 42) << c.what;
        EXPECT_EQ(v.AsUnsigned(42), c.kind == ValueKind::Unsigned ? 5u : 42u) << c.what;
        EXPECT_EQ(v.AsFloat(9.0), c.kind == ValueKind::Float ? 0.5 : 9.0) << c.what;
        const EnumValue expectedEnum = c.kind == ValueKind::Enum ? EnumValue{3, 77} : EnumValue{1, 2};
        EXPECT_EQ(v.AsEnum({1, 2}), expectedEnum) << c.what;
        EXPECT_EQ(v.AsBlob().size(), c.kind == ValueKind::Blob ? 4u : 0u) << c.what;
        if (c.kind != ValueKind::String) {
            EXPECT_STREQ(v.AsString("dflt"), "dflt") << c.what;
        }
        // Read-only access never creates, whatever the kind.
        EXPECT_EQ(&v.GetElement(5), &BindingValue::Null()) << c.what;
        EXPECT_TRUE(v.GetMember("x").IsEmpty()) << c.what;
        EXPECT_EQ(v.FindMember("x"), nullptr) << c.what;
        EXPECT_EQ(v.Kind(), c.kind) << c.what;
        // "previous" was released when the new content came in.
        EXPECT_EQ(Refs(v, "previous"), 0u) << c.what;
    }
}

TEST(BindingValue, ElementAccess) {
    BindingValue v;
    for (int i = 0; i < 3; ++i) v.Element(i).SetSigned(i);
    v.Element(5).SetSigned(5);
    ASSERT_EQ(v.Size(), 6u);
    for (const BindingValue& e : v.Elements()) {
        EXPECT_EQ(e.Context(), v.Context());
        EXPECT_FALSE(e.OwnsContext());
    }
    // Growth from pool blocks to the general allocator keeps the elements; the gap stays empty.
    for (int i = 6; i < 200; ++i) v.Append().SetSigned(i);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(v.GetElement(i).IsEmpty(), i == 3 || i == 4) << i;
        EXPECT_EQ(v.GetElement(i).AsSigned(-1), i == 3 || i == 4 ? -1 : i);
    }
}

TEST(BindingValue, MutatorsReadTextsFromTheValueTheyReplace) {
    struct Case {
        const char* what;
        std::function<void(BindingValue&)> before;
        std::function<const char*(BindingValue&)> text;  // lives in what the mutator may release
        std::vector<std::string> names;                  // members after Member(text)
    };
    const std::vector<Case> cases = {
        {"own string", [](BindingValue& v) { v.SetString("abcdefghijk"); },
         [](BindingValue& v) { return v.AsString(); }, {"abcdefghijk"}},
        {"element of own collection", [](BindingValue& v) { v.Element(0).SetString("abcdefghijk"); },
         [](BindingValue& v) { return v.GetElement(0).AsString(); }, {"abcdefghijk"}},
        {"member of own structure", [](BindingValue& v) { v.Member("m").SetString("abcdefghijk"); },
         [](BindingValue& v) { return v.GetMember("m").AsString(); }, {"abcdefghijk", "m"}},
    };
    for (const Case& c : cases) {
        BindingValue member;
        c.before(member);
        member.Member(c.text(member)).SetSigned(1);
        EXPECT_EQ(MemberNames(member), c.names) << c.what;
        EXPECT_EQ(member.GetMember("abcdefghijk").AsSigned(), 1) << c.what;

        BindingValue text;
        c.before(text);
        text.SetString(c.text(text));
        EXPECT_STREQ(text.AsString(), "abcdefghijk") << c.what;
        EXPECT_EQ(Refs(text, "abcdefghijk"), 1u) << c.what;
    }
}

TEST(BindingValue, ElementBeyondTheLargestArrayFailsAsAllocation) {
    const size_t huge[] = {SIZE_MAX, SIZE_MAX - 1, size_t{UINT32_MAX}, UINT32_MAX / sizeof(BindingValue)};
    for (size_t index : huge) {
        BindingValue v;
        v.SetString("kept");
        EXPECT_THROW(v.Element(index), std::bad_alloc) << index;
        EXPECT_STREQ(v.AsString(), "kept") << index;  // nothing changed

        BindingValue c;
        c.Element(2).SetSigned(2);
        EXPECT_THROW(c.Element(index), std::bad_alloc) << index;
        EXPECT_EQ(c.Size(), 3u) << index;
        EXPECT_EQ(c.GetElement(2).AsSigned(), 2) << index;
    }
}

TEST(BindingValue, InterningCounts) {
    BindingValue v;
    v.Member("a").SetString("");
    v.Member("b").SetString(static_cast<const char*>(nullptr));
    const uint32_t names = v.Context()->StringCount();  // "a" and "b"
    EXPECT_EQ(names, 2u);

    v.Member("a").SetString("shared");
    v.Member("b").SetString(std::string("shared"));
    EXPECT_EQ(v.Context()->StringCount(), names + 1);
    EXPECT_EQ(Refs(v, "shared"), 2u);
    EXPECT_EQ(v.GetMember("a").StringKey(), v.GetMember("b").StringKey());

    v.Member("a").Reset();
    EXPECT_EQ(Refs(v, "shared"), 1u);
    v.Member("b").Reset();
    EXPECT_EQ(v.Context()->FindString("shared"), nullptr);
    EXPECT_EQ(v.Context()->StringCount(), names);

    // Member names are counted like values.
    v.Member("a").SetString("a");
    EXPECT_EQ(Refs(v, "a"), 2u);
    v.Reset();
    EXPECT_EQ(v.Context()->StringCount(), 0u);
}

TEST(BindingValue, TextsEndAtTheirFirstNul) {
    // Every length around the word-at-a-time checks, with a NUL at every place.
    for (size_t length = 1; length <= 20; ++length) {
        for (size_t nul = 0; nul <= length; ++nul) {
            std::string text(length, 'x');
            for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i);
            if (nul < length) text[nul] = '\0';
            BindingValue v;
            v.SetString(text);
            const std::string_view expected(text.data(), nul);
            EXPECT_EQ(v.AsStringView(), expected) << length << " " << nul;
            EXPECT_EQ(v.Member(text).IsEmpty(), true);
            EXPECT_EQ((*v.Members().begin()).name, expected) << length << " " << nul;
        }
    }
}

TEST(BindingValue, RecurringTextsStayCountedAndFreed) {
    // Names that recur are found again without the table; counts and freeing must
    // not notice the difference, also when an entry goes and comes back.
    BindingValue v;
    const char* const names[] = {"id", "name", "email", "active", "score", "tags", "parent", "kind", "records"};
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 50; ++i) {
            BindingValue& record = v.Element(i);
            for (const char* n : names) record.Member(n).SetString(n);
        }
        for (const char* n : names) EXPECT_EQ(Refs(v, n), 100u) << n;
        for (int i = 0; i < 50; ++i) v.Element(i).Reset();
        for (const char* n : names) EXPECT_EQ(v.Context()->FindString(n), nullptr) << n;
        EXPECT_EQ(v.Context()->StringCount(), 0u);
    }
    // An entry freed and made again is a new one, found and counted from one.
    v.Element(0).Member("name").SetString("x");
    v.Element(1).Member("name").SetString("x");
    v.Element(0).Reset();
    v.Element(1).Reset();
    v.Element(2).SetString("name");
    EXPECT_EQ(Refs(v, "name"), 1u);
    EXPECT_EQ(v.GetElement(2).AsStringView(), "name");
}

TEST(BindingValue, StringTableGrowsAndShrinks) {
    BindingValue v;
    for (int i = 0; i < 5000; ++i) v.Element(i).SetString(Join("text-", i % 2500));
    EXPECT_EQ(v.Context()->StringCount(), 2500u);
    EXPECT_EQ(Refs(v, "text-17"), 2u);
    // Erase every other entry; the rest must still be found after the probing runs shifted.
    for (int i = 0; i < 5000; ++i) {
        if ((i % 2500) % 2 == 0) v.Element(i).Reset();
    }
    EXPECT_EQ(v.Context()->StringCount(), 1250u);
    for (int i = 0; i < 2500; ++i) {
        EXPECT_EQ(Refs(v, Join("text-", i).c_str()), i % 2 == 0 ? 0u : 2u) << i;
    }
}

TEST(BindingValue, MembersInByteOrder) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"b", "B", "a"}, {"B", "a", "b"}},
        {{"ab", "a", "", "b"}, {"", "a", "ab", "b"}},
        {{"\xC3\xA9", "z", "Z", "0"}, {"0", "Z", "z", "\xC3\xA9"}},
    };
    for (const auto& [inserted, expected] : cases) {
        BindingValue v;
        for (const std::string& name : inserted) v.Member(name);
        EXPECT_EQ(MemberNames(v), expected);
    }
}

TEST(BindingValue, StructuresOfEverySizeAndInsertionOrder) {
    // Around the sizes where a structure's list grows and where it becomes a tree, in
    // ascending, descending and shuffled order: every member found and never moved,
    // iteration in name order, and a copy (which inserts in name order) the same.
    std::mt19937 rng(11);
    for (int size = 0; size <= 40; ++size) {
        std::vector<std::string> names;
        for (int i = 0; i < size; ++i) names.push_back(Join("k", 100 + i));
        std::vector<std::string> shuffled = names;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::vector<std::string> descending(names.rbegin(), names.rend());
        for (const auto* order : {&names, &descending, &shuffled}) {
            BindingValue v;
            v.MakeStructure();
            std::vector<BindingValue*> made;
            for (const std::string& n : *order) {
                made.push_back(&v.Member(n));
                made.back()->SetString(n);
            }
            // Asking again finds the member, where it was made, instead of adding one.
            for (size_t i = 0; i < order->size(); ++i) {
                EXPECT_EQ(&v.Member((*order)[i]), made[i]) << size;
                EXPECT_EQ(v.FindMember((*order)[i]), made[i]) << size;
                EXPECT_EQ(v.Member((*order)[i]).AsStringView(), (*order)[i]);
            }
            ASSERT_EQ(v.Size(), static_cast<size_t>(size));
            EXPECT_EQ(MemberNames(v), names) << size;
            EXPECT_TRUE(v.GetMember("k099").IsEmpty());
            EXPECT_TRUE(v.GetMember("k1000").IsEmpty());
            BindingValue copy = v;
            copy.Member("k0").SetBool(true);  // one more, after the copy's own inserts
            EXPECT_EQ(copy.Size(), static_cast<size_t>(size + 1));
            for (const std::string& n : names) EXPECT_EQ(copy.GetMember(n).AsStringView(), n) << size;
        }
    }
}

TEST(BindingValue, StructuresOfOneTreeAgreeWithAModel) {
    // Many structures of one tree, built from a few names in shapes that repeat, change
    // and come back, with names repeated, freed and made anew in between (a structure
    // of the same shape reuses the last ones' positions): each must list its members in
    // byte order and hold what a map given the same inserts holds.
    std::mt19937 rng(5);
    const std::vector<std::string> names = {"a", "ab", "b", "id", "kind", "name", "x", "y", "k1", "k10", "k2", "zz"};
    std::vector<std::vector<std::string>> shapes;
    for (int i = 0; i < 6; ++i) {
        std::vector<std::string> shape(names.begin(), names.begin() + 2 + rng() % 9);
        std::shuffle(shape.begin(), shape.end(), rng);
        shapes.push_back(shape);
    }
    BindingValue root;
    std::vector<std::map<std::string, int64_t>> model(48);
    for (int round = 0; round < 3000; ++round) {
        const size_t at = rng() % model.size();
        BindingValue& s = root.Element(at);
        s.SetSigned(0);  // the old structure goes, and with it names no other holds
        s.MakeStructure();
        model[at].clear();
        std::vector<std::string> order = shapes[rng() % shapes.size()];
        switch (rng() % 4) {
            case 0: order.push_back(Join("u", round)); break;  // a name seen once
            case 1: order.insert(order.begin() + rng() % order.size(), order[rng() % order.size()]); break;
            case 2: std::swap(order[rng() % order.size()], order[rng() % order.size()]); break;
            default: order.push_back(std::string("kind\0tail", 9)); break;  // named "kind"
        }
        for (size_t i = 0; i < order.size(); ++i) {
            s.Member(order[i]).SetSigned(round * 100 + static_cast<int64_t>(i));
            model[at][order[i].substr(0, order[i].find('\0'))] = round * 100 + static_cast<int64_t>(i);
        }
    }
    for (size_t at = 0; at < model.size(); ++at) {
        std::vector<std::string> expected;
        for (const auto& [name, value] : model[at]) {
            expected.push_back(name);
            EXPECT_EQ(root.GetElement(at).GetMember(name).AsSigned(-1), value) << at << " " << name;
        }
        if (!expected.empty()) {
            EXPECT_EQ(MemberNames(root.GetElement(at)), expected) << at;
        }
    }
}

TEST(BindingValue, CopyIsDeepAndIndependent) {
    const uint8_t bytes[] = {9, 8, 7};
    BindingValue a;
    a.Member("s").SetString("text");
    a.Member("b").SetBlob(bytes, 3);
    a.Member("e").SetEnum(-2, 5);
    a.Member("list").Element(1).Member("deep").SetFloat(1.5);

    BindingValue b = a;
    EXPECT_NE(b.Context(), a.Context());
    EXPECT_EQ(MemberNames(b), MemberNames(a));
    EXPECT_STREQ(b.GetMember("s").AsString(), "text");
    EXPECT_EQ(b.GetMember("s").StringKey(), b.Context()->FindString("text"));  // re-interned
    EXPECT_EQ(std::vector<uint8_t>(b.GetMember("b").AsBlob().begin(), b.GetMember("b").AsBlob().end()),
              std::vector<uint8_t>(bytes, bytes + 3));
    EXPECT_EQ(b.GetMember("e").AsEnum(), (EnumValue{-2, 5}));
    EXPECT_EQ(b.GetMember("list").Size(), 2u);
    EXPECT_EQ(b.GetMember("list").GetElement(1).GetMember("deep").AsFloat(), 1.5);

    b.Member("s").SetString("changed");
    b.Member("list").Element(1).Member("deep").SetBool(false);
    EXPECT_STREQ(a.GetMember("s").AsString(), "text");
    EXPECT_EQ(a.GetMember("list").GetElement(1).GetMember("deep").AsFloat(), 1.5);

    const BindingValue& same = b;
    b = same;  // copy onto itself does nothing
    EXPECT_STREQ(b.GetMember("s").AsString(), "changed");
}

TEST(BindingValue, CopyWithinOneTree) {
    BindingValue v;
    v.Member("a").Member("x").SetString("inner");
    v.Member("b") = v.GetMember("a");  // sibling: shares the interned entry
    EXPECT_STREQ(v.GetMember("b").GetMember("x").AsString(), "inner");
    EXPECT_EQ(Refs(v, "inner"), 2u);

    v.Member("a").Member("self") = v;  // ancestor into descendant
    EXPECT_STREQ(v.GetMember("a").GetMember("self").GetMember("b").GetMember("x").AsString(), "inner");

    v = v.GetMember("a");  // descendant into ancestor
    EXPECT_EQ(MemberNames(v), (std::vector<std::string>{"self", "x"}));
    EXPECT_STREQ(v.GetMember("x").AsString(), "inner");

    BindingValue w;
    w.Element(0).SetSigned(1);
    w = w.GetElement(0);  // a scalar read from inside the target
    EXPECT_EQ(w.AsSigned(), 1);
}

TEST(BindingValue, MoveRules) {
    BindingValue a, b;
    a.SetString("from a");
    b.SetString("from b");
    ValueContext* contextA = a.Context();
    ValueContext* contextB = b.Context();
    b = std::move(a);  // two roots swap
    EXPECT_EQ(b.Context(), contextA);
    EXPECT_EQ(a.Context(), contextB);
    EXPECT_STREQ(b.AsString(), "from a");
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(Refs(a, "from b"), 0u);

    BindingValue tree;
    tree.Member("m").Member("k").SetString("v");
    BindingValue root;
    root.SetBool(true);
    root = std::move(tree.Member("m"));  // member into a root: deep copy
    EXPECT_NE(root.Context(), tree.Context());
    EXPECT_STREQ(root.GetMember("k").AsString(), "v");
    EXPECT_TRUE(tree.GetMember("m").IsEmpty());
    EXPECT_EQ(tree.Size(), 1u);

    BindingValue constructed(std::move(root));
    EXPECT_TRUE(root.IsEmpty());
    EXPECT_STREQ(constructed.GetMember("k").AsString(), "v");

    tree.Member("x").SetString("moved");
    tree.Member("y") = std::move(tree.Member("x"));  // within one tree
    EXPECT_TRUE(tree.GetMember("x").IsEmpty());
    EXPECT_STREQ(tree.GetMember("y").AsString(), "moved");
    EXPECT_EQ(Refs(tree, "moved"), 1u);
    tree = std::move(tree.Member("y"));
    EXPECT_STREQ(tree.AsString(), "moved");
}

TEST(BindingValue, MoveIntoOwnDescendantLeavesNothingBehind) {
    auto build = [](BindingValue& v) {
        v.Member("a").Member("b").Member("c").SetString("text");
        v.Member("a").Member("d").Element(1).SetString("x");
        v.Member("a").Member("d").Element(0).Member("e").SetBlob("blob", 4);
    };
    struct Case {
        const char* what;
        std::function<void(BindingValue&)> move;
        std::function<void(BindingValue&)> expected;  // builds what should be left
    };
    const std::vector<Case> cases = {
        {"member into its member", [](BindingValue& v) { v.Member("a").Member("b") = std::move(v.Member("a")); },
         [](BindingValue& v) { v.Member("a"); }},
        {"member into a deep element",
         [](BindingValue& v) { v.Member("a").Member("d").Element(0).Member("e") = std::move(v.Member("a")); },
         [](BindingValue& v) { v.Member("a"); }},
        {"root into its member", [](BindingValue& v) { v.Member("a").Member("b") = std::move(v); },
         [](BindingValue& v) { v.SetString("gone"); v.Reset(); }},
        {"root into its element", [](BindingValue& v) { v.Member("a").Member("d").Element(1) = std::move(v); },
         [](BindingValue& v) { v.SetString("gone"); v.Reset(); }},
    };
    for (const Case& c : cases) {
        BindingValue v, expected;
        build(v);
        c.move(v);
        c.expected(expected);
        EXPECT_EQ(MemberNames(v), MemberNames(expected)) << c.what;
        EXPECT_TRUE(v.GetMember("a").IsEmpty()) << c.what;
        EXPECT_EQ(Holdings(v), Holdings(expected)) << c.what;
    }
}

TEST(BindingValue, DeepNestingNeedsNoRecursion) {
    BindingValue v;
    BindingValue* cursor = &v;
    for (int i = 0; i < 200000; ++i) cursor = i % 2 == 0 ? &cursor->Element(0) : &cursor->Member("n");
    cursor->SetString("bottom");
    BindingValue copy = v;
    const BindingValue* read = &copy;
    for (int i = 0; i < 200000; ++i) read = i % 2 == 0 ? &read->GetElement(0) : &read->GetMember("n");
    EXPECT_STREQ(read->AsString(), "bottom");
}

TEST(BindingResult, FailAndErrorMessage) {
    BindingResult r;
    EXPECT_TRUE(r.Ok());
    EXPECT_TRUE(r.value.IsEmpty());
    EXPECT_TRUE(r.value.OwnsContext());
    EXPECT_STREQ(r.ErrorMessage(), "");

    r.value.SetString("partial");
    r.Fail("Value 1 is bad");
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(MemberNames(r.value), std::vector<std::string>{"error"});
    EXPECT_STREQ(r.ErrorMessage(), "Value 1 is bad");
    EXPECT_EQ(Refs(r.value, "partial"), 0u);

    r.Fail(r.ErrorMessage());  // the message may come from the value it replaces
    EXPECT_STREQ(r.ErrorMessage(), "Value 1 is bad");

    r.value.Member("error").SetSigned(3);
    EXPECT_STREQ(r.ErrorMessage(), "");
    r.Clear();
    EXPECT_TRUE(r.Ok());
    EXPECT_TRUE(r.value.IsEmpty());
}

TEST(ValueContext, BlocksInAndBeyondThePools) {
    const size_t pagesBefore = PageSupply::PagesInUse();
    const size_t regionsBefore = PageSupply::RegionsInUse();
    ValueContext* context = ValueContext::Create();
    for (uint32_t sizeClass = 0; sizeClass < ValueContext::kBlockClasses; ++sizeClass) {
        const size_t size = (sizeClass + 1) * 4;
        const uint32_t count = 3000;
        std::vector<uint32_t*> blocks;
        for (uint32_t i = 0; i < count; ++i) {
            auto* block = static_cast<uint32_t*>(context->Allocate(size));
            if (size % 8 == 0) {
                ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << size;
            }
            for (size_t w = 0; w < size / 4; ++w) block[w] = i;
            blocks.push_back(block);
        }
        EXPECT_EQ(context->BlocksInUse(sizeClass), count);
        EXPECT_GE(context->PagesInUse(), size * count / kPageSize) << size;
        for (uint32_t i = 0; i < count; ++i) {
            for (size_t w = 0; w < size / 4; ++w) ASSERT_EQ(blocks[i][w], i) << size;  // no overlap
        }
        // Return odd blocks first, then even ones, so pages fill and empty out of order.
        for (uint32_t i = 1; i < count; i += 2) context->Free(blocks[i], size);
        for (uint32_t i = 0; i < 50; i += 2) {
            blocks[i] = static_cast<uint32_t*>(context->Reallocate(blocks[i], size, size));
        }
        for (uint32_t i = 0; i < count; i += 2) context->Free(blocks[i], size);
        EXPECT_EQ(context->BlocksInUse(sizeClass), 0u) << size;
        EXPECT_EQ(context->PagesInUse(), 0u) << size;
        EXPECT_EQ(PageSupply::PagesInUse(), pagesBefore) << size;
        EXPECT_EQ(PageSupply::RegionsInUse(), regionsBefore) << size;
    }
    // Blocks beyond the pools take no pool page and keep their content when they move;
    // a context destroyed with blocks still taken frees them all (the leak checker sees
    // any that it misses).
    struct Step {
        size_t from, to;
    };
    const Step steps[] = {{8, 100}, {100, 5000}, {5000, 80}, {80, 40}, {40, 73}};
    std::vector<void*> kept;
    for (int copy = 0; copy < 3; ++copy) {
        auto* block = static_cast<unsigned char*>(context->Allocate(steps[0].from));
        std::memset(block, 0x5A, steps[0].from);
        for (const Step& step : steps) {
            block = static_cast<unsigned char*>(context->Reallocate(block, step.from, step.to));
            const size_t same = std::min(step.from, step.to);
            ASSERT_EQ(std::count(block, block + same, 0x5A), static_cast<long>(same)) << step.from << "->" << step.to;
            std::memset(block, 0x5A, step.to);
        }
        kept.push_back(block);
    }
    EXPECT_EQ(context->PagesInUse(), 0u);
    context->Free(kept[1], 73);  // unlinking from the middle
    (void)context->Intern(std::string(200, 's'));
    ValueContext::Destroy(context);
}

// A dropped root hands its context back to the thread for the next tree: that tree
// must find it empty, with no text of the first one still interned. Every page goes
// back, also those of contexts kept by a thread that ends.
TEST(ValueContext, NextTreeStartsEmptyAndPagesGoBack) {
    const size_t pagesBefore = PageSupply::PagesInUse();
    auto rounds = [] {
        for (int round = 0; round < 3; ++round) {
            BindingValue v;
            for (int i = 0; i < 20000; ++i) {
                BindingValue& record = v.Element(i);
                record.Member("round").SetSigned(round);
                record.Member("text").SetString(Join("r", round, "-", i));
                record.Member("blob").SetBlob(std::string(100, 'b').data(), 100);  // beyond a pool block
            }
            const ValueContext* context = v.Context();
            EXPECT_GT(context->PagesInUse(), 0u);
            EXPECT_EQ(context->StringCount(), 20003u) << round;  // three names and the texts
            EXPECT_NE(context->FindString(Join("r", round, "-19999")), nullptr);
            if (round > 0) {
                EXPECT_EQ(context->FindString(Join("r", round - 1, "-5")), nullptr);
            }
            EXPECT_EQ(v.GetElement(19999).GetMember("text").AsStringView(), Join("r", round, "-19999"));
        }
    };
    rounds();
    EXPECT_EQ(PageSupply::PagesInUse(), pagesBefore);
    std::thread(rounds).join();
    EXPECT_EQ(PageSupply::PagesInUse(), pagesBefore);
}

// A move that must copy (from inside a tree, or into the source's own descendant)
// runs out of memory like a copy: std::bad_alloc, both values as they were, and
// nothing of the attempt left in either tree. Every allocation on the way fails
// once in turn, until the move goes through.
TEST(BindingValue, MoveThatCopiesFailsCleanlyWhenMemoryRunsOut) {
    auto build = [](BindingValue& tree) {
        BindingValue& big = tree.Member("big");
        for (int i = 0; i < 600; ++i) {
            BindingValue& record = big.Element(static_cast<size_t>(i));
            record.Member("n").SetSigned(i);
            record.Member(Join("name-", i % 7)).SetString(Join("text-", i, std::string(static_cast<size_t>(i % 90), 'x')));
            record.Member("deep").Element(0).Member("leaf").SetString("leaf");
        }
        tree.Member("other").SetString("kept");
    };
    struct Case {
        const char* what;
        // Moves the tree's "big" somewhere; answers the target.
        std::function<BindingValue*(BindingValue& tree, BindingValue& elsewhere, std::optional<BindingValue>& made)> move;
    };
    const Case cases[] = {
        {"member into a root", [](BindingValue& tree, BindingValue& root, std::optional<BindingValue>&) {
             root = std::move(tree.Member("big"));
             return &root;
         }},
        {"member into a member of another tree", [](BindingValue& tree, BindingValue& root, std::optional<BindingValue>&) {
             BindingValue& slot = root.Member("slot");
             slot = std::move(tree.Member("big"));
             return &slot;
         }},
        {"member into its own descendant", [](BindingValue& tree, BindingValue&, std::optional<BindingValue>&) {
             BindingValue& inner = tree.Member("big").Element(599).Member("deep").Element(0);
             inner = std::move(tree.Member("big"));
             return &inner;
         }},
        {"constructed from a member", [](BindingValue& tree, BindingValue&, std::optional<BindingValue>& made) {
             made.emplace(std::move(tree.Member("big")));
             return &*made;
         }},
    };
    for (const Case& c : cases) {
        BindingValue tree;
        build(tree);
        const std::string treeBefore = Dump(tree);
        const uint32_t stringsBefore = tree.Context()->StringCount();
        int failures = 0;
        for (int allowed = 0;; allowed += 1 + allowed / 8) {
            BindingValue elsewhere;
            elsewhere.Member("slot").SetSigned(7);
            elsewhere.Member("near").SetString("near");
            const std::string elsewhereBefore = Dump(elsewhere);
            std::optional<BindingValue> made;
            bool threw = false;
            {
                FailAfter fail(allowed);
                try {
                    (void)c.move(tree, elsewhere, made);
                } catch (const std::bad_alloc&) {
                    threw = true;
                }
                ASSERT_EQ(threw, FailAfter::Spent()) << c.what << " " << allowed;
            }
            if (!threw) break;
            ++failures;
            ASSERT_EQ(Dump(tree), treeBefore) << c.what << " " << allowed;
            ASSERT_EQ(tree.Context()->StringCount(), stringsBefore) << c.what << " " << allowed;
            ASSERT_EQ(Dump(elsewhere), elsewhereBefore) << c.what << " " << allowed;
            ASSERT_FALSE(made.has_value()) << c.what;
        }
        EXPECT_GT(failures, 3) << c.what;
        // Rebuilt and moved without failure: the usual result.
        BindingValue fresh;
        build(fresh);
        const std::string big = Dump(fresh.GetMember("big"));
        BindingValue elsewhere;
        std::optional<BindingValue> made;
        BindingValue* target = c.move(fresh, elsewhere, made);
        if (std::string(c.what) == "member into its own descendant") {
            EXPECT_TRUE(fresh.GetMember("big").IsEmpty()) << c.what;  // the target went with the source
        } else {
            EXPECT_EQ(Dump(*target), big) << c.what;
            EXPECT_TRUE(fresh.GetMember("big").IsEmpty()) << c.what;
        }
        EXPECT_STREQ(fresh.GetMember("other").AsString(), "kept") << c.what;
    }
}

// The table is keyed by FNV-1a: a caller that hashed a text the same way finds its
// entry, whichever form interned it first.
TEST(ValueContext, HashedInternFindsTheEntryOfItsText) {
    const std::string texts[] = {"a", "name", "priority", std::string(200, 'z'), "\xff\x80 high bytes", "tags"};
    ValueContext* context = ValueContext::Create();
    for (const std::string& text : texts) {
        for (bool hashedFirst : {false, true}) {
            const uint32_t hash = Fnv1a(text);
            StringEntry* first = hashedFirst ? context->Intern(text, hash) : context->Intern(text);
            const uint32_t count = context->StringCount();
            StringEntry* second = hashedFirst ? context->Intern(text) : context->Intern(text, hash);
            StringEntry* third = context->Intern(text, hash);
            EXPECT_EQ(second, first) << text << hashedFirst;
            EXPECT_EQ(third, first) << text << hashedFirst;
            EXPECT_EQ(context->StringCount(), count) << text << hashedFirst;
            EXPECT_EQ(first->hash, hash) << text;
            EXPECT_EQ(first->refs, 3u) << text;
            EXPECT_EQ(context->FindString(text), first) << text;
            for (int i = 0; i < 3; ++i) context->Release(first);
            EXPECT_EQ(context->FindString(text), nullptr) << text;
        }
    }
    EXPECT_EQ(ValueContext::EmptyString()->hash, Fnv1a(""));
    EXPECT_EQ(context->StringCount(), 0u);
    ValueContext::Destroy(context);
}

// Plugin shutdown frees the contexts (and their kept string tables) that every
// thread still alive keeps for its next tree; the threads go on working after it.
TEST(ValueContext, ReleaseCachedFreesTheContextsOfEveryThread) {
    constexpr int kThreads = 6;
    ValueContext::ReleaseCached();
    std::latch built(kThreads);
    std::latch released(1);
    auto work = [&built, &released](int id) {
        auto trees = [id] {
            std::vector<BindingValue> roots(3);  // several at once: several contexts kept
            for (BindingValue& root : roots) {
                for (int i = 0; i < 3000; ++i) root.Element(static_cast<size_t>(i)).SetString(Join("t", id, "-", i));
            }
        };
        trees();
        built.count_down();
        released.wait();
        trees();
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id) threads.emplace_back(work, id);
    built.wait();
    EXPECT_GE(ValueContext::CachedCount(), size_t{kThreads});
    ValueContext::ReleaseCached();
    EXPECT_EQ(ValueContext::CachedCount(), 0u);
    released.count_down();
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ValueContext::CachedCount(), 0u);  // ending threads free their own
}
