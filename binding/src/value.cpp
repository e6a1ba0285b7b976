// BindingValue bodies, their release and deep copy, and BindingResult.
#include "binding/value.h"

#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "binding/hash.h"
#include "same_bytes.h"
#include "small_stack.h"

namespace Vemi::Binding {

namespace detail {

// A structure of up to kListMembers members lists them sorted by name right after
// the body; a larger one holds its tree's root there instead.
struct StructureBody {
    BodyHead head;
    uint32_t count;
    uint32_t capacity;  // entries of the list; 0: the members are in a tree
};

struct BlobBody {
    uint8_t* data;
    uint32_t size;
    uint32_t capacity;
};

struct EnumBody {
    int32_t value;
    uint32_t typeId;
};

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

}  // namespace detail

using detail::BlobBody;
using detail::CollectionBody;
using detail::EnumBody;
using MemberSlot = detail::Member;
using detail::StructureBody;
using detail::StructureNode;

namespace {

constexpr uint8_t kEmpty = static_cast<uint8_t>(ValueKind::Empty);
constexpr uint8_t kFloat = static_cast<uint8_t>(ValueKind::Float);
constexpr uint8_t kString = static_cast<uint8_t>(ValueKind::String);
constexpr uint8_t kBlob = static_cast<uint8_t>(ValueKind::Blob);
constexpr uint8_t kEnum = static_cast<uint8_t>(ValueKind::Enum);
constexpr uint8_t kCollection = static_cast<uint8_t>(ValueKind::Collection);
constexpr uint8_t kStructure = static_cast<uint8_t>(ValueKind::Structure);

// Element arrays are sized in 32 bits of bytes.
constexpr size_t kMaxElements = UINT32_MAX / sizeof(BindingValue);

// Structure bodies: a list of members fills at most one pool block; the first
// holds a few.
inline MemberSlot** List(StructureBody* body) noexcept { return reinterpret_cast<MemberSlot**>(body + 1); }
inline StructureNode*& Root(StructureBody* body) noexcept { return *reinterpret_cast<StructureNode**>(body + 1); }
constexpr uint32_t kListMembers =
    static_cast<uint32_t>((ValueContext::kMaxBlockSize - sizeof(StructureBody)) / sizeof(MemberSlot*));
constexpr uint32_t kFirstListMembers = 3;
constexpr size_t BodySize(uint32_t capacity) noexcept {
    return sizeof(StructureBody) + sizeof(void*) * (capacity == 0 ? 1 : capacity);
}
static_assert(BodySize(kListMembers) <= ValueContext::kMaxBlockSize && kFirstListMembers < kListMembers);

// Element arrays that fit a pool block stay in the pools.
constexpr uint32_t kPoolElements = ValueContext::kMaxBlockSize / sizeof(BindingValue);
constexpr uint32_t kSlowGrowthElements = kPageSize / sizeof(BindingValue);

constinit BindingValue gNullValue;

constexpr const char* kKindNames[] = {"empty", "bool",  "signed", "unsigned",   "float",
                                      "string", "blob", "enum",   "collection", "structure"};

// Byte-wise order of a name against a key; most names differ in their first byte.
inline int CompareName(std::string_view name, const StringEntry* key) noexcept {
    const auto a = static_cast<uint8_t>(name.empty() ? '\0' : name[0]);
    const auto b = static_cast<uint8_t>(key->Text()[0]);
    if (a != b) return a < b ? -1 : 1;
    if (name.size() == key->length && detail::SameBytes(name.data(), key->Text(), name.size())) return 0;
    return name.compare(key->View());
}

// ---- Structure tree: AVL with parent links; the balance (right minus left height)
// is kept, plus one, in the low bits of the parent word.

inline int Balance(const StructureNode* n) noexcept { return static_cast<int>(n->parentAndBalance & 3u) - 1; }
inline void SetBalance(StructureNode* n, int balance) noexcept {
    n->parentAndBalance = (n->parentAndBalance & ~uintptr_t{3}) | static_cast<uintptr_t>(balance + 1);
}
inline void SetParent(StructureNode* n, StructureNode* parent) noexcept {
    n->parentAndBalance = reinterpret_cast<uintptr_t>(parent) | (n->parentAndBalance & 3u);
}

// Places `child` where `old` hung below `parent` (or as the root).
inline void Replace(StructureBody* body, StructureNode* parent, StructureNode* old, StructureNode* child) noexcept {
    SetParent(child, parent);
    if (parent == nullptr) Root(body) = child;
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
void RebalanceAfterInsert(StructureBody* body, StructureNode* node) noexcept {
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
        Replace(body, grand, parent, top);
        return;
    }
}

// A perfectly balanced tree of nodes[lo, hi) below `parent`, with the balance of
// every node set; `height` receives its height.
StructureNode* BuildBalanced(StructureNode* const* nodes, uint32_t lo, uint32_t hi, StructureNode* parent,
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
    n->left = BuildBalanced(nodes, lo, mid, n, left);
    n->right = BuildBalanced(nodes, mid + 1, hi, n, right);
    SetBalance(n, right - left);
    height = 1 + (left > right ? left : right);
    return n;
}

template <class Value>
BasicMemberIterator<Value> FirstMember(StructureBody* body) noexcept {
    if (body->capacity != 0) return BasicMemberIterator<Value>(List(body), body->count);
    StructureNode* n = Root(body);
    while (n != nullptr && n->left != nullptr) n = n->left;
    return BasicMemberIterator<Value>(n);
}

// Index of the first listed member not ordered before `name`; `found` when it has
// that name.
inline uint32_t LowerBound(MemberSlot* const* list, uint32_t count, std::string_view name, bool& found) noexcept {
    uint32_t lo = 0;
    uint32_t hi = count;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        const int order = CompareName(name, list[mid]->key);
        if (order == 0) {
            found = true;
            return mid;
        }
        if (order < 0) hi = mid;
        else lo = mid + 1;
    }
    found = false;
    return lo;
}

}  // namespace

// ---- Release ---------------------------------------------------------------------

// Releases container bodies without recursion: bodies waiting for release are
// chained through their head word, tagged 1 for structures.
void DestroyBodies(ValueContext& context, void* first) noexcept {
    uintptr_t pending = 0;
    auto release = [&](BindingValue& v) noexcept {
        switch (v.kind_) {
            case kString:
                context.Release(v.payload_.string);
                break;
            case kBlob: {
                auto* blob = static_cast<BlobBody*>(v.payload_.body);
                context.Free(blob->data, blob->capacity);
                context.Free(blob, sizeof(BlobBody));
                break;
            }
            case kEnum:
                context.Free(v.payload_.body, sizeof(EnumBody));
                break;
            case kCollection:
                v.payload_.collection->head.pendingNext = pending;
                pending = reinterpret_cast<uintptr_t>(v.payload_.collection);
                break;
            case kStructure:
                v.payload_.structure->head.pendingNext = pending;
                pending = reinterpret_cast<uintptr_t>(v.payload_.structure) | 1u;
                break;
            default:
                break;
        }
    };
    BindingValue& root = *static_cast<BindingValue*>(first);
    release(root);
    while (pending != 0) {
        const uintptr_t item = pending;
        if ((item & 1u) == 0) {
            auto* body = reinterpret_cast<CollectionBody*>(item);
            pending = body->head.pendingNext;
            for (uint32_t i = 0; i < body->count; ++i) release(body->items[i]);
            context.Free(body->items, body->capacity * sizeof(BindingValue));
            context.Free(body, sizeof(CollectionBody));
        } else {
            auto* body = reinterpret_cast<StructureBody*>(item & ~uintptr_t{1});
            pending = body->head.pendingNext;
            auto releaseMember = [&](MemberSlot* m) noexcept {
                context.Release(m->key);
                release(m->value);
                context.Free(m, sizeof(MemberSlot));
            };
            if (body->capacity != 0) {
                MemberSlot* const* list = List(body);
                for (uint32_t i = 0; i < body->count; ++i) releaseMember(list[i]);
                context.Free(body, BodySize(body->capacity));
                continue;
            }
            // Flatten the tree by right rotations; frees each node once it has no left child.
            for (StructureNode* n = Root(body); n != nullptr;) {
                if (n->left != nullptr) {
                    StructureNode* l = n->left;
                    n->left = l->right;
                    l->right = n;
                    n = l;
                    continue;
                }
                StructureNode* next = n->right;
                releaseMember(n->member);
                context.Free(n, sizeof(StructureNode));
                n = next;
            }
            context.Free(body, BodySize(0));
        }
    }
}

void BindingValue::ReleaseBody() noexcept {
    if (kind_ > kFloat && context_ != 0) DestroyBodies(*Context(), this);
}

BindingValue::~BindingValue() {
    // A root takes its whole tree down at once instead of releasing body by body.
    if (ownsContext_ != 0 && context_ != 0 && Context()->DropAll()) {
        ValueContext::Destroy(Context());
        return;
    }
    ReleaseBody();
    if (ownsContext_ != 0) ValueContext::Destroy(Context());
}

ValueContext& BindingValue::EnsureContext() {
    if (context_ == 0) {
        context_ = AddressOf(ValueContext::Create());
        ownsContext_ = 1;
    }
    return *Context();
}

// ---- Scalars and strings ---------------------------------------------------------

void BindingValue::SetStringEntry(StringEntry* entry) noexcept {
    ReleaseBody();
    payload_.u64 = 0;
    payload_.string = entry;
    kind_ = kString;
}

void BindingValue::SetString(const char* text) {
    SetString(text != nullptr ? std::string_view(text) : std::string_view());
}

void BindingValue::SetString(std::string_view text) {
    // Interned before the old content goes: the text may live in it.
    SetStringEntry(EnsureContext().Intern(detail::UpToNul(text)));
}

void BindingValue::SetBlob(const void* data, size_t size) {
    if (size > UINT32_MAX) throw std::bad_alloc();
    ValueContext& context = EnsureContext();
    auto* blob = static_cast<BlobBody*>(context.Allocate(sizeof(BlobBody)));
    blob->data = nullptr;
    blob->size = blob->capacity = static_cast<uint32_t>(size);
    if (size != 0) {
        try {
            blob->data = static_cast<uint8_t*>(context.Allocate(size));
        } catch (...) {
            context.Free(blob, sizeof(BlobBody));
            throw;
        }
        std::memcpy(blob->data, data, size);
    }
    ReleaseBody();
    payload_.u64 = 0;
    payload_.body = blob;
    kind_ = kBlob;
}

void BindingValue::SetEnum(int32_t value, uint32_t typeId) {
    auto* body = static_cast<EnumBody*>(EnsureContext().Allocate(sizeof(EnumBody)));
    body->value = value;
    body->typeId = typeId;
    ReleaseBody();
    payload_.u64 = 0;
    payload_.body = body;
    kind_ = kEnum;
}

// ---- Collections -----------------------------------------------------------------

void BindingValue::MakeCollection() {
    if (kind_ == kCollection) return;
    Reset();
    ValueContext& context = EnsureContext();
    auto* body = static_cast<CollectionBody*>(context.Allocate(sizeof(CollectionBody)));
    body->head.context = &context;
    body->items = nullptr;
    body->count = body->capacity = 0;
    payload_.collection = body;
    kind_ = kCollection;
}

void BindingValue::GrowCollection(size_t capacity) {
    if (capacity > kMaxElements) throw std::bad_alloc();
    CollectionBody* body = payload_.collection;
    body->items = static_cast<BindingValue*>(Context()->Reallocate(
        body->items, body->capacity * sizeof(BindingValue), capacity * sizeof(BindingValue)));
    body->capacity = static_cast<uint32_t>(capacity);
}

void BindingValue::Reserve(size_t count) {
    if (kind_ == kCollection && payload_.collection->capacity < count) GrowCollection(count);
}

BindingValue& BindingValue::GrowToElement(size_t index) {
    // Checked before anything changes: index + 1 would wrap at the top of size_t.
    if (index >= kMaxElements) throw std::bad_alloc();
    MakeCollection();
    CollectionBody* body = payload_.collection;
    if (index < body->count) return body->items[index];
    if (index >= body->capacity) {
        size_t capacity = index + 1;
        // Doubling while small; past a page by half, so a long array holds at most a
        // third of its block unused.
        const size_t grown = body->capacity < kSlowGrowthElements ? size_t{body->capacity} * 2
                                                                   : size_t{body->capacity} + body->capacity / 2;
        if (capacity < grown) capacity = grown;
        if (capacity < 2) capacity = 2;
        if (capacity > kMaxElements) capacity = kMaxElements;
        // Stay in a pool block as long as the elements fit one.
        if (capacity > kPoolElements && index < kPoolElements) capacity = kPoolElements;
        GrowCollection(capacity);
    }
    while (body->count <= index) new (&body->items[body->count++]) BindingValue(Context());
    return body->items[index];
}

const BindingValue& BindingValue::GetElement(size_t index) const noexcept {
    if (kind_ != kCollection || index >= payload_.collection->count) return gNullValue;
    return payload_.collection->items[index];
}

std::span<BindingValue> BindingValue::Elements() noexcept {
    if (kind_ != kCollection) return {};
    return {payload_.collection->items, payload_.collection->count};
}

std::span<const BindingValue> BindingValue::Elements() const noexcept {
    if (kind_ != kCollection) return {};
    return {payload_.collection->items, payload_.collection->count};
}

// ---- Structures ------------------------------------------------------------------

void BindingValue::MakeStructure() {
    if (kind_ == kStructure) return;
    Reset();
    ValueContext& context = EnsureContext();
    auto* body = static_cast<StructureBody*>(context.Allocate(BodySize(kFirstListMembers)));
    body->head.context = &context;
    body->count = 0;
    body->capacity = kFirstListMembers;
    payload_.structure = body;
    kind_ = kStructure;
}

MemberSlot* BindingValue::FindSlot(std::string_view name) const noexcept {
    if (kind_ != kStructure) return nullptr;
    name = detail::UpToNul(name);
    StructureBody* body = payload_.structure;
    if (body->capacity != 0) {
        bool found = false;
        MemberSlot* const* list = List(body);
        const uint32_t at = LowerBound(list, body->count, name, found);
        return found ? list[at] : nullptr;
    }
    StructureNode* n = Root(body);
    while (n != nullptr) {
        const int order = CompareName(name, n->member->key);
        if (order == 0) return n->member;
        n = order < 0 ? n->left : n->right;
    }
    return nullptr;
}

// A new empty member of this structure's tree. `sourceKey` is the key of the member
// being copied, if any: shared when it is of this tree, else its hash is reused.
MemberSlot* BindingValue::NewMember(std::string_view name, const StringEntry* sourceKey, bool sameTree) {
    ValueContext& context = *Context();
    auto* m = static_cast<MemberSlot*>(context.Allocate(sizeof(MemberSlot)));
    if (sourceKey != nullptr && sameTree) {
        m->key = const_cast<StringEntry*>(sourceKey);
        ValueContext::AddRef(m->key);
    } else {
        try {
            m->key = sourceKey != nullptr ? context.Intern(name, sourceKey->hash) : context.Intern(name);
        } catch (...) {
            context.Free(m, sizeof(MemberSlot));
            throw;
        }
    }
    new (&m->value) BindingValue(&context);
    return m;
}

namespace {

void DropMember(ValueContext& context, MemberSlot* m) noexcept {
    context.Release(m->key);
    context.Free(m, sizeof(MemberSlot));
}

// A full list of kListMembers and the new member `m` (to go at `at`) become a
// perfectly balanced tree; the body is replaced by a tree body.
StructureBody* ListToTree(ValueContext& context, StructureBody* body, MemberSlot* m, uint32_t at) {
    constexpr uint32_t kCount = kListMembers + 1;
    StructureNode* nodes[kCount];
    uint32_t made = 0;
    StructureBody* tree = nullptr;
    try {
        for (; made < kCount; ++made) nodes[made] = static_cast<StructureNode*>(context.Allocate(sizeof(StructureNode)));
        tree = static_cast<StructureBody*>(context.Allocate(BodySize(0)));
    } catch (...) {
        for (uint32_t i = 0; i < made; ++i) context.Free(nodes[i], sizeof(StructureNode));
        throw;
    }
    MemberSlot* const* list = List(body);
    for (uint32_t i = 0, from = 0; i < kCount; ++i) nodes[i]->member = i == at ? m : list[from++];
    int height = 0;
    tree->head = body->head;
    tree->count = kCount;
    tree->capacity = 0;
    Root(tree) = BuildBalanced(nodes, 0, kCount, nullptr, height);
    context.Free(body, BodySize(kListMembers));
    return tree;
}

}  // namespace

// The member of that name, created empty when absent.
BindingValue& BindingValue::InsertMember(std::string_view name, const StringEntry* sourceKey, bool sameTree) {
    StructureBody* body = payload_.structure;
    ValueContext& context = *Context();
    if (body->capacity != 0) {
        bool found = false;
        const uint32_t at = LowerBound(List(body), body->count, name, found);
        if (found) return List(body)[at]->value;
        MemberSlot* m = NewMember(name, sourceKey, sameTree);
        if (body->count == body->capacity) {
            try {
                if (body->capacity == kListMembers) {
                    payload_.structure = ListToTree(context, body, m, at);
                    return m->value;
                }
                body = static_cast<StructureBody*>(
                    context.Reallocate(body, BodySize(body->capacity), BodySize(kListMembers)));
            } catch (...) {
                DropMember(context, m);
                throw;
            }
            body->capacity = kListMembers;
            payload_.structure = body;
        }
        MemberSlot** list = List(body);
        for (uint32_t i = body->count; i > at; --i) list[i] = list[i - 1];  // at most a few
        list[at] = m;
        ++body->count;
        return m->value;
    }
    StructureNode* parent = nullptr;
    int order = 0;
    for (StructureNode* n = Root(body); n != nullptr; n = order < 0 ? n->left : n->right) {
        order = CompareName(name, n->member->key);
        if (order == 0) return n->member->value;
        parent = n;
    }
    MemberSlot* m = NewMember(name, sourceKey, sameTree);
    StructureNode* node;
    try {
        node = static_cast<StructureNode*>(context.Allocate(sizeof(StructureNode)));
    } catch (...) {
        DropMember(context, m);
        throw;
    }
    node->left = node->right = nullptr;
    node->parentAndBalance = reinterpret_cast<uintptr_t>(parent) | 1u;  // balance 0
    node->member = m;
    if (parent == nullptr) Root(body) = node;
    else if (order < 0) parent->left = node;
    else parent->right = node;
    ++body->count;
    RebalanceAfterInsert(body, node);
    return m->value;
}

BindingValue& BindingValue::Member(const char* name) {
    return Member(name != nullptr ? std::string_view(name) : std::string_view());
}

BindingValue& BindingValue::Member(std::string_view name) {
    name = detail::UpToNul(name);
    if (kind_ == kStructure) return InsertMember(name, nullptr, false);
    // Interned before the old content goes: the name may live in it.
    StringEntry* key = EnsureContext().Intern(name);
    try {
        MakeStructure();
        BindingValue& member = InsertMember(key->View(), key, true);
        Context()->Release(key);
        return member;
    } catch (...) {
        Context()->Release(key);
        throw;
    }
}

const BindingValue& BindingValue::GetMember(const char* name) const noexcept {
    return GetMember(name != nullptr ? std::string_view(name) : std::string_view());
}

const BindingValue& BindingValue::GetMember(std::string_view name) const noexcept {
    const MemberSlot* m = FindSlot(name);
    return m != nullptr ? m->value : gNullValue;
}

BindingValue* BindingValue::FindMember(std::string_view name) noexcept {
    MemberSlot* m = FindSlot(name);
    return m != nullptr ? &m->value : nullptr;
}

BasicMemberRange<BindingValue> BindingValue::Members() noexcept {
    if (kind_ != kStructure) return BasicMemberRange<BindingValue>({});
    return BasicMemberRange<BindingValue>(FirstMember<BindingValue>(payload_.structure));
}

BasicMemberRange<const BindingValue> BindingValue::Members() const noexcept {
    if (kind_ != kStructure) return BasicMemberRange<const BindingValue>({});
    return BasicMemberRange<const BindingValue>(FirstMember<const BindingValue>(payload_.structure));
}

// ---- Readers ---------------------------------------------------------------------

bool BindingValue::AsBool(bool fallback) const noexcept {
    return kind_ == static_cast<uint8_t>(ValueKind::Bool) ? payload_.boolean != 0 : fallback;
}
int64_t BindingValue::AsSigned(int64_t fallback) const noexcept {
    return kind_ == static_cast<uint8_t>(ValueKind::Signed) ? payload_.i64 : fallback;
}
uint64_t BindingValue::AsUnsigned(uint64_t fallback) const noexcept {
    return kind_ == static_cast<uint8_t>(ValueKind::Unsigned) ? payload_.u64 : fallback;
}
double BindingValue::AsFloat(double fallback) const noexcept {
    return kind_ == kFloat ? payload_.f64 : fallback;
}
const char* BindingValue::AsString(const char* fallback) const noexcept {
    return kind_ == kString ? payload_.string->Text() : fallback;
}
std::string_view BindingValue::AsStringView(std::string_view fallback) const noexcept {
    return kind_ == kString ? payload_.string->View() : fallback;
}
std::span<const uint8_t> BindingValue::AsBlob(std::span<const uint8_t> fallback) const noexcept {
    if (kind_ != kBlob) return fallback;
    const auto* blob = static_cast<const BlobBody*>(payload_.body);
    return {blob->data, blob->size};
}
EnumValue BindingValue::AsEnum(EnumValue fallback) const noexcept {
    if (kind_ != kEnum) return fallback;
    const auto* body = static_cast<const EnumBody*>(payload_.body);
    return {body->value, body->typeId};
}
const StringEntry* BindingValue::StringKey() const noexcept {
    return kind_ == kString ? payload_.string : nullptr;
}

size_t BindingValue::Size() const noexcept {
    switch (kind_) {
        case kEmpty:
            return 0;
        case kString:
            return payload_.string->length;
        case kBlob:
            return static_cast<const BlobBody*>(payload_.body)->size;
        case kCollection:
            return payload_.collection->count;
        case kStructure:
            return payload_.structure->count;
        default:
            return 1;
    }
}

const BindingValue& BindingValue::Null() noexcept { return gNullValue; }

const char* KindName(uint32_t kind) noexcept {
    return kind < std::size(kKindNames) ? kKindNames[kind] : "";
}

// ---- Copy and move ---------------------------------------------------------------

// Deep copy of `source` into this empty value, walking containers with an explicit
// stack so that deeply nested trees cannot exhaust the call stack.
void BindingValue::CopyFrom(const BindingValue& source) {
    struct Frame {
        const BindingValue* source;
        BindingValue* target;
        uint32_t index;
        BasicMemberIterator<const BindingValue> member;
    };
    detail::SmallStack<Frame, 32> stack;
    auto start = [&stack](BindingValue& target, const BindingValue& from) {
        switch (from.kind_) {
            case kString: {
                ValueContext& context = target.EnsureContext();
                StringEntry* entry = from.payload_.string;
                if (from.Context() == &context) ValueContext::AddRef(entry);
                else entry = context.Intern(entry->View(), entry->hash);
                target.SetStringEntry(entry);
                break;
            }
            case kBlob: {
                const auto* blob = static_cast<const BlobBody*>(from.payload_.body);
                target.SetBlob(blob->data, blob->size);
                break;
            }
            case kEnum: {
                const auto* body = static_cast<const EnumBody*>(from.payload_.body);
                target.SetEnum(body->value, body->typeId);
                break;
            }
            case kCollection:
                target.MakeCollection();
                if (from.payload_.collection->count != 0) {
                    target.Reserve(from.payload_.collection->count);
                    stack.Push({&from, &target, 0, {}});
                }
                break;
            case kStructure:
                target.MakeStructure();
                if (from.payload_.structure->count != 0) {
                    stack.Push({&from, &target, 0, FirstMember<const BindingValue>(from.payload_.structure)});
                }
                break;
            default:
                target.Reset();
                target.payload_ = from.payload_;
                target.kind_ = from.kind_;
                break;
        }
    };
    start(*this, source);
    while (!stack.Empty()) {
        Frame& frame = stack.Top();
        if (frame.source->kind_ == kCollection) {
            const CollectionBody* body = frame.source->payload_.collection;
            if (frame.index == body->count) {
                stack.Pop();
                continue;
            }
            const BindingValue& from = body->items[frame.index++];
            // Capacity was reserved: appending moves no sibling.
            BindingValue& target = frame.target->Append();
            start(target, from);
        } else {
            if (frame.member == BasicMemberIterator<const BindingValue>()) {
                stack.Pop();
                continue;
            }
            const BasicMemberIterator<const BindingValue> member = frame.member++;
            const StringEntry& key = member.Key();
            const bool sameTree = frame.source->context_ == frame.target->context_;
            BindingValue& target = frame.target->InsertMember(key.View(), &key, sameTree);
            start(target, (*member).value);
        }
    }
}

namespace {

// True when `inner` lies somewhere below `outer`.
bool Encloses(const BindingValue& outer, const BindingValue* inner) {
    detail::SmallStack<const BindingValue*, 32> stack;
    stack.Push(&outer);
    auto visit = [&](const BindingValue& v) {
        if (&v == inner) return true;
        if (v.Kind() >= ValueKind::Collection) stack.Push(&v);
        return false;
    };
    while (!stack.Empty()) {
        const BindingValue* v = stack.Top();
        stack.Pop();
        for (const BindingValue& e : v->Elements()) {
            if (visit(e)) return true;
        }
        for (auto [name, member] : v->Members()) {
            if (visit(member)) return true;
        }
    }
    return false;
}

}  // namespace

// Takes the content of a value of the same tree; `other` is left empty.
void BindingValue::TakeOver(BindingValue& other) noexcept {
    const Payload payload = other.payload_;
    const uint8_t kind = other.kind_;
    other.payload_.u64 = 0;
    other.kind_ = kEmpty;
    ReleaseBody();
    payload_ = payload;
    kind_ = kind;
}

BindingValue::BindingValue(const BindingValue& other) : BindingValue() { *this = other; }

BindingValue::BindingValue(BindingValue&& other) noexcept : BindingValue() {
    if (other.ownsContext_ != 0) {
        payload_ = other.payload_;
        context_ = other.context_;
        kind_ = other.kind_;
        other.payload_.u64 = 0;
        other.context_ = 0;
        other.kind_ = kEmpty;
    } else {
        *this = other;
        other.Reset();
    }
}

BindingValue& BindingValue::operator=(const BindingValue& other) {
    if (this == &other) return *this;
    if (other.kind_ <= kFloat) {
        // Read before releasing: the source may live inside this value.
        const Payload payload = other.payload_;
        const uint8_t kind = other.kind_;
        Reset();
        payload_ = payload;
        kind_ = kind;
    } else if (context_ != 0 && context_ == other.context_) {
        // Same tree: the source may be inside this value or contain it, so copy aside.
        BindingValue copy(Context());
        copy.CopyFrom(other);
        TakeOver(copy);
    } else {
        Reset();
        EnsureContext();
        CopyFrom(other);
    }
    return *this;
}

BindingValue& BindingValue::operator=(BindingValue&& other) noexcept {
    if (this == &other) return *this;
    if (ownsContext_ != 0 && other.ownsContext_ != 0) {
        std::swap(payload_, other.payload_);
        const uint64_t context = context_;
        const uint64_t kind = kind_;
        context_ = other.context_;
        kind_ = other.kind_;
        other.context_ = context;
        other.kind_ = kind;
        other.Reset();
    } else if (context_ != 0 && context_ == other.context_) {
        if (other.kind_ >= kCollection && Encloses(other, this)) {
            // Handing the body over would make it hold itself: copy, then the reset
            // of the source takes the target along.
            *this = other;
            other.Reset();
        } else {
            // Same tree: the bodies already belong here, so they change hands as they are.
            TakeOver(other);
        }
    } else {
        *this = other;
        other.Reset();
    }
    return *this;
}

// ---- BindingResult ---------------------------------------------------------------

void BindingResult::Fail(std::string_view message) {
    // Interned first: the message may be the text of the value being replaced.
    StringEntry* entry = value.EnsureContext().Intern(detail::UpToNul(message));
    value.Reset();
    ok_ = 0;
    value.MakeStructure();
    value.Member("error").SetStringEntry(entry);
}

const char* BindingResult::ErrorMessage() const noexcept {
    if (ok_ != 0) return "";
    return value.GetMember("error").AsString("");
}

}  // namespace Vemi::Binding
