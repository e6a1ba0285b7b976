// Differential fuzzer of the value store: random operation sequences on a few trees
// (set kinds, members named like the texts, copies and moves across trees and into
// descendants, trees of one shape rebuilt, drops), each step compared with a plain
// model. Copies and moves also run with one allocation made to fail: they must then
// throw std::bad_alloc and leave every tree as it was.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kav/binding/hash.h>
#include <kav/binding/value.h>

using namespace Vemi::Binding;

namespace {

[[noreturn]] void Diverged(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "value store diverged from the model: %s %s\n", what, detail.c_str());
    std::abort();
}

struct Model {
    ValueKind kind = ValueKind::Empty;
    int64_t i = 0;  // bool, signed, enum value
    uint64_t u = 0;  // unsigned, float bits, enum type
    std::string text;  // string or blob bytes
    std::vector<Model> items;
    std::map<std::string, Model> members;  // std::string orders by unsigned bytes
};

size_t Nodes(const Model& m) {
    size_t n = 1;
    for (const Model& e : m.items) n += Nodes(e);
    for (const auto& [name, v] : m.members) n += Nodes(v);
    return n;
}

// Texts shared by values and member names, so that the two alias in the table.
const std::string kTexts[] = {"", "a", "b", "B", "name", "id", "tags", "\xff", "\xc3\xa9", "aa",
                              std::string("a\0b", 3), std::string(100, 'L'), "error", "x"};
constexpr size_t kTextCount = sizeof kTexts / sizeof kTexts[0];

std::string UpToNul(const std::string& text) { return text.substr(0, text.find('\0')); }

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    [[nodiscard]] bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint64_t Word() {
        uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v = v << 8 | Byte();
        return v;
    }
    const std::string& Text() { return kTexts[Byte() % kTextCount]; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Injected exhaustion: the allocation after `gAllowed` more fails, once.
int gAllowed = -1;
bool Fail() noexcept { return gAllowed >= 0 && gAllowed-- == 0; }

constexpr int kTrees = 3;
constexpr size_t kMaxNodes = 3000;

struct Place {
    BindingValue* value;
    Model* model;
    std::vector<int> path;  // element index, or -1 - member rank
};

// ---- Comparison --------------------------------------------------------------------

void Occurrences(const Model& m, std::map<std::string, uint32_t>& counts) {
    if (m.kind == ValueKind::String && !m.text.empty()) ++counts[m.text];
    for (const Model& e : m.items) Occurrences(e, counts);
    for (const auto& [name, v] : m.members) {
        if (!name.empty()) ++counts[name];
        Occurrences(v, counts);
    }
}

void Compare(const BindingValue& v, const Model& m, const std::string& at) {
    if (v.Kind() != m.kind) Diverged("kind", at + " " + KindName(v.Kind()) + " vs " + KindName(m.kind));
    switch (m.kind) {
        case ValueKind::Empty:
            if (v.Size() != 0) Diverged("empty size", at);
            return;
        case ValueKind::Bool:
            if (v.AsBool(!m.i) != (m.i != 0)) Diverged("bool", at);
            break;
        case ValueKind::Signed:
            if (v.AsSigned(~m.i) != m.i) Diverged("signed", at);
            break;
        case ValueKind::Unsigned:
            if (v.AsUnsigned(~m.u) != m.u) Diverged("unsigned", at);
            break;
        case ValueKind::Float: {
            const double f = v.AsFloat();
            uint64_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            if (bits != m.u) Diverged("float", at);
            break;
        }
        case ValueKind::String: {
            if (v.AsStringView() != m.text || v.Size() != m.text.size()) Diverged("string", at);
            if (v.StringKey()->hash != Fnv1a(m.text)) Diverged("string hash", at);
            return;
        }
        case ValueKind::Blob: {
            const auto blob = v.AsBlob();
            if (blob.size() != m.text.size() || (blob.size() != 0 && std::memcmp(blob.data(), m.text.data(), blob.size()) != 0)) {
                Diverged("blob", at);
            }
            return;
        }
        case ValueKind::Enum: {
            const EnumValue e = v.AsEnum();
            if (e.value != static_cast<int32_t>(m.i) || e.typeId != static_cast<uint32_t>(m.u)) Diverged("enum", at);
            break;
        }
        case ValueKind::Collection: {
            const auto elements = v.Elements();
            if (elements.size() != m.items.size() || v.Size() != m.items.size()) Diverged("element count", at);
            for (size_t k = 0; k < elements.size(); ++k) {
                Compare(elements[k], m.items[k], at + "[" + std::to_string(k) + "]");
                if (&v.GetElement(k) != &elements[k]) Diverged("element lookup", at);
            }
            if (!v.GetElement(elements.size()).IsEmpty()) Diverged("element past the end", at);
            return;
        }
        case ValueKind::Structure: {
            if (v.Size() != m.members.size()) Diverged("member count", at);
            auto expected = m.members.begin();
            for (auto [name, member] : v.Members()) {
                if (expected == m.members.end() || name != expected->first) Diverged("member order", at + "." + std::string(name));
                if (&v.GetMember(name) != &member) Diverged("member lookup", at + "." + std::string(name));
                Compare(member, expected->second, at + "." + std::string(name));
                ++expected;
            }
            if (expected != m.members.end()) Diverged("missing members", at);
            for (const std::string& text : kTexts) {
                const std::string name = UpToNul(text);
                if (m.members.count(name) == 0 && !v.GetMember(name).IsEmpty()) Diverged("absent member found", at + "." + name);
            }
            return;
        }
    }
    if (v.Size() != 1) Diverged("scalar size", at);
}

void CompareTree(const BindingValue& root, const Model& model, int tree) {
    const std::string at = "tree" + std::to_string(tree);
    Compare(root, model, at);
    std::map<std::string, uint32_t> counts;
    Occurrences(model, counts);
    const ValueContext* context = root.Context();
    if (context == nullptr) {
        if (!counts.empty()) Diverged("strings without a context", at);
        return;
    }
    if (context->StringCount() != counts.size()) {
        Diverged("string count", at + " " + std::to_string(context->StringCount()) + " vs " + std::to_string(counts.size()));
    }
    for (const auto& [text, count] : counts) {
        const StringEntry* e = context->FindString(text);
        if (e == nullptr || e->refs != count) Diverged("string references", at + " " + text);
    }
}

// ---- Navigation ----------------------------------------------------------------------

// A value somewhere in a tree, chosen by the input; the model's twin beside it.
Place Pick(Input& in, BindingValue& root, Model& model) {
    Place p{&root, &model, {}};
    for (int depth = 0; depth < 8; ++depth) {
        const uint8_t choice = in.Byte();
        if (p.model->kind == ValueKind::Collection && !p.model->items.empty()) {
            const size_t k = choice % (p.model->items.size() + 1);
            if (k == p.model->items.size()) break;
            p.value = &p.value->Elements()[k];
            p.model = &p.model->items[k];
            p.path.push_back(static_cast<int>(k));
        } else if (p.model->kind == ValueKind::Structure && !p.model->members.empty()) {
            const size_t k = choice % (p.model->members.size() + 1);
            if (k == p.model->members.size()) break;
            auto it = std::next(p.model->members.begin(), static_cast<std::ptrdiff_t>(k));
            p.value = p.value->FindMember(it->first);
            if (p.value == nullptr) Diverged("member to pick", it->first);
            p.model = &it->second;
            p.path.push_back(-1 - static_cast<int>(k));
        } else {
            break;
        }
    }
    return p;
}

// Whether `inner` lies inside `outer` (or is it): one path starts the other.
bool Within(const Place& outer, const Place& inner) {
    if (inner.path.size() < outer.path.size()) return false;
    for (size_t k = 0; k < outer.path.size(); ++k) {
        if (outer.path[k] != inner.path[k]) return false;
    }
    return true;
}

Model Shaped(int records, int variant) {
    Model list;
    list.kind = ValueKind::Collection;
    for (int r = 0; r < records; ++r) {
        Model record;
        record.kind = ValueKind::Structure;
        Model& id = record.members["id"];
        id.kind = ValueKind::Signed;
        id.i = r;
        Model& name = record.members["name"];
        name.kind = ValueKind::String;
        name.text = UpToNul(kTexts[static_cast<size_t>(r + variant) % kTextCount]);
        if (((r + variant) & 1) != 0) {
            Model& tags = record.members["tags"];
            tags.kind = ValueKind::Collection;
            tags.items.resize(2);
            tags.items[0].kind = ValueKind::String;
            tags.items[0].text = "b";
        }
        list.items.push_back(std::move(record));
    }
    return list;
}

void BuildShaped(BindingValue& v, int records, int variant) {
    v.Reset();
    v.MakeCollection();
    for (int r = 0; r < records; ++r) {
        BindingValue& record = v.Append();
        // Members in varying insertion order: the structure keeps name order.
        if ((variant & 2) != 0) record.Member("name").SetString(kTexts[static_cast<size_t>(r + variant) % kTextCount]);
        record.Member("id").SetSigned(r);
        if (((r + variant) & 1) != 0) {
            BindingValue& tags = record.Member(std::string_view("tags"));
            tags.Element(1).Reset();
            tags.Element(0).SetString("b");
        }
        if ((variant & 2) == 0) record.Member(std::string("name")).SetString(kTexts[static_cast<size_t>(r + variant) % kTextCount]);
    }
}

// ---- The run -------------------------------------------------------------------------

struct Trees {
    std::optional<BindingValue> roots[kTrees];
    Model models[kTrees];
    Trees() {
        for (auto& root : roots) root.emplace();
    }
    void CheckAll() {
        for (int t = 0; t < kTrees; ++t) CompareTree(*roots[t], models[t], t);
    }
    [[nodiscard]] size_t TotalNodes() const {
        size_t n = 0;
        for (const Model& m : models) n += Nodes(m);
        return n;
    }
};

// Runs a copy or move with one allocation failing after `allowed` (negative: none).
// Answers whether it went through; when it failed every tree must be unchanged.
template <class Op>
bool MaybeFailing(Trees& trees, int allowed, Op op) {
    gAllowed = allowed;
    bool done = true;
    try {
        op();
    } catch (const std::bad_alloc&) {
        done = false;
    }
    const bool spent = gAllowed < 0 && allowed >= 0;
    gAllowed = -1;
    if (!done) {
        if (!spent) Diverged("bad_alloc without an injected failure");
        trees.CheckAll();  // as before the operation
    }
    return done;
}

void Step(Input& in, Trees& trees) {
    const uint8_t op = in.Byte();
    const int t = in.Byte() % kTrees;
    Place p = Pick(in, *trees.roots[t], trees.models[t]);
    BindingValue& v = *p.value;
    Model& m = *p.model;
    const bool large = trees.TotalNodes() > kMaxNodes;
    switch (op % 20) {
        case 0:
            v.Reset();
            m = Model{};
            break;
        case 1: {
            const bool b = (in.Byte() & 1) != 0;
            v.SetBool(b);
            m = Model{};
            m.kind = ValueKind::Bool;
            m.i = b;
            break;
        }
        case 2: {
            const auto i = static_cast<int64_t>(in.Word());
            v.SetSigned(i);
            m = Model{};
            m.kind = ValueKind::Signed;
            m.i = i;
            break;
        }
        case 3: {
            const uint64_t u = in.Word();
            v.SetUnsigned(u);
            m = Model{};
            m.kind = ValueKind::Unsigned;
            m.u = u;
            break;
        }
        case 4: {
            uint64_t bits = in.Word();
            double f;
            std::memcpy(&f, &bits, sizeof f);
            v.SetFloat(f);
            m = Model{};
            m.kind = ValueKind::Float;
            m.u = bits;
            break;
        }
        case 5:
        case 6: {
            const std::string& text = in.Text();
            if ((op & 1) != 0) v.SetString(text.c_str());
            else v.SetString(std::string_view(text));
            m = Model{};
            m.kind = ValueKind::String;
            m.text = UpToNul(text);
            break;
        }
        case 7: {
            const std::string& bytes = in.Text();
            v.SetBlob(bytes.data(), bytes.size());
            m = Model{};
            m.kind = ValueKind::Blob;
            m.text = bytes;
            break;
        }
        case 8: {
            const auto number = static_cast<int32_t>(in.Word());
            const uint32_t type = in.Byte();
            v.SetEnum(number, type);
            m = Model{};
            m.kind = ValueKind::Enum;
            m.i = number;
            m.u = type;
            break;
        }
        case 9:
            v.MakeCollection();
            if (m.kind != ValueKind::Collection) m = Model{}, m.kind = ValueKind::Collection;
            break;
        case 10:
            v.MakeStructure();
            if (m.kind != ValueKind::Structure) m = Model{}, m.kind = ValueKind::Structure;
            break;
        case 11: {
            if (large) break;
            const size_t index = in.Byte() % 12;
            const int64_t number = static_cast<int8_t>(in.Byte());
            v.Element(index).SetSigned(number);
            if (m.kind != ValueKind::Collection) m = Model{}, m.kind = ValueKind::Collection;
            if (m.items.size() <= index) m.items.resize(index + 1);
            m.items[index] = Model{};
            m.items[index].kind = ValueKind::Signed;
            m.items[index].i = number;
            break;
        }
        case 12: {
            const std::string& name = in.Text();
            const std::string& text = in.Text();
            BindingValue& member = (in.Byte() & 1) != 0 ? v.Member(name.c_str()) : v.Member(std::string_view(name));
            if (m.kind != ValueKind::Structure) m = Model{}, m.kind = ValueKind::Structure;
            Model& modelMember = m.members[UpToNul(name)];
            if ((in.Byte() & 1) != 0) {
                member.SetString(std::string_view(text));
                modelMember = Model{};
                modelMember.kind = ValueKind::String;
                modelMember.text = UpToNul(text);
            }
            break;
        }
        case 13:
        case 14:
        case 15: {
            // Copy or move from anywhere (this tree or another) onto the picked value.
            const int ts = in.Byte() % kTrees;
            Place s = Pick(in, *trees.roots[ts], trees.models[ts]);
            const int allowed = (in.Byte() & 3) == 0 ? static_cast<int>(in.Byte() % 24) : -1;
            if (op % 20 == 13) {
                if (large && Nodes(*s.model) > 64) break;
                const Model copy = *s.model;  // the source may lie inside the target
                if (MaybeFailing(trees, allowed, [&] { v = *s.value; })) m = copy;
                break;
            }
            if (s.value == p.value) break;  // a self-move leaves the value as it is
            Model content = *s.model;
            const bool sameTree = ts == t;
            if (!MaybeFailing(trees, allowed, [&] { v = std::move(*s.value); })) break;
            if (sameTree && Within(s, p)) {
                *s.model = Model{};  // the target lay inside the source and went with it
            } else {
                *s.model = Model{};
                // Moved out of the source first: the target may contain it.
                *p.model = std::move(content);
            }
            break;
        }
        case 16: {
            // A new root made by move construction, then swapped in for a whole tree.
            const int ts = in.Byte() % kTrees;
            Place s = Pick(in, *trees.roots[ts], trees.models[ts]);
            const int allowed = (in.Byte() & 3) == 0 ? static_cast<int>(in.Byte() % 24) : -1;
            std::optional<BindingValue> made;
            Model content = *s.model;
            if (!MaybeFailing(trees, allowed, [&] { made.emplace(std::move(*s.value)); })) break;
            *s.model = Model{};
            *trees.roots[t] = std::move(*made);
            trees.models[t] = std::move(content);
            break;
        }
        case 17: {
            // Drop a whole tree (its root destroyed) and start it again.
            trees.roots[t].reset();
            trees.roots[t].emplace();
            trees.models[t] = Model{};
            break;
        }
        case 18: {
            if (large) break;
            const int records = in.Byte() % 40;
            const int variant = in.Byte();
            BuildShaped(v, records, variant);
            m = Shaped(records, variant);
            break;
        }
        case 19: {
            const size_t count = in.Byte();
            v.Reserve(count);
            break;
        }
    }
    trees.CheckAll();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool hooked = [] {
        PageSupply::SetFailureHook(&Fail);
        return true;
    }();
    (void)hooked;
    Input in(data, size);
    Trees trees;
    for (int steps = 0; steps < 400 && !in.Empty(); ++steps) Step(in, trees);
    return 0;
}
