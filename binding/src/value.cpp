// BindingValue: setters, containers, lookups and readers, and the release of bodies.
#include <kav/binding/value.h>

#include <cstring>
#include <iterator>
#include <new>

#include "member_tree.h"
#include "same_bytes.h"
#include "value_bodies.h"

namespace Vemi::Binding {

namespace {

// Element arrays are sized in 32 bits of bytes.
constexpr size_t kMaxElements = UINT32_MAX / sizeof(BindingValue);

// Element arrays that fit a pool block stay in the pools.
constexpr uint32_t kPoolElements = ValueContext::kMaxBlockSize / sizeof(BindingValue);
constexpr uint32_t kSlowGrowthElements = kPageSize / sizeof(BindingValue);

constinit BindingValue gNullValue;

constexpr const char* kKindNames[] = {"empty", "bool",  "signed", "unsigned",   "float",
                                      "string", "blob", "enum",   "collection", "structure"};

// Index of the first listed member not ordered before `name`; `found` when it has
// that name.
inline uint32_t LowerBound(MemberSlot* const* list, uint32_t count, std::string_view name, bool& found) noexcept {
    uint32_t lo = 0;
    uint32_t hi = count;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        const int order = detail::CompareName(name, list[mid]->key);
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
        switch (v.meta_.kind) {
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
            detail::DismantleTree(Root(body), [&](StructureNode* n) noexcept {
                releaseMember(n->member);
                context.Free(n, sizeof(StructureNode));
            });
            context.Free(body, BodySize(0));
        }
    }
}

void BindingValue::ReleaseBody() noexcept {
    if (meta_.kind > kFloat && meta_.context != 0) DestroyBodies(*Context(), this);
}

BindingValue::~BindingValue() {
    // A root takes its whole tree down at once instead of releasing body by body.
    if (meta_.owns != 0 && meta_.context != 0 && Context()->DropAll()) {
        ValueContext::Destroy(Context());
        return;
    }
    ReleaseBody();
    if (meta_.owns != 0) ValueContext::Destroy(Context());
}

ValueContext& BindingValue::EnsureContext() {
    if (meta_.context == 0) {
        meta_.context = AddressOf(ValueContext::Create());
        meta_.owns = 1;
    }
    return *Context();
}

// ---- Scalars and strings ---------------------------------------------------------

void BindingValue::SetStringEntry(StringEntry* entry) noexcept {
    ReleaseBody();
    payload_.u64 = 0;
    payload_.string = entry;
    meta_.kind = kString;
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
    meta_.kind = kBlob;
}

void BindingValue::SetEnum(int32_t value, uint32_t typeId) {
    auto* body = static_cast<EnumBody*>(EnsureContext().Allocate(sizeof(EnumBody)));
    body->value = value;
    body->typeId = typeId;
    ReleaseBody();
    payload_.u64 = 0;
    payload_.body = body;
    meta_.kind = kEnum;
}

// ---- Collections -----------------------------------------------------------------

void BindingValue::MakeCollection() {
    if (meta_.kind == kCollection) return;
    Reset();
    ValueContext& context = EnsureContext();
    auto* body = static_cast<CollectionBody*>(context.Allocate(sizeof(CollectionBody)));
    body->head.context = &context;
    body->items = nullptr;
    body->count = body->capacity = 0;
    payload_.collection = body;
    meta_.kind = kCollection;
}

void BindingValue::GrowCollection(size_t capacity) {
    if (capacity > kMaxElements) throw std::bad_alloc();
    CollectionBody* body = payload_.collection;
    body->items = static_cast<BindingValue*>(Context()->Reallocate(
        body->items, body->capacity * sizeof(BindingValue), capacity * sizeof(BindingValue)));
    body->capacity = static_cast<uint32_t>(capacity);
}

void BindingValue::Reserve(size_t count) {
    if (meta_.kind == kCollection && payload_.collection->capacity < count) GrowCollection(count);
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
    if (meta_.kind != kCollection || index >= payload_.collection->count) return gNullValue;
    return payload_.collection->items[index];
}

std::span<BindingValue> BindingValue::Elements() noexcept {
    if (meta_.kind != kCollection) return {};
    return {payload_.collection->items, payload_.collection->count};
}

std::span<const BindingValue> BindingValue::Elements() const noexcept {
    if (meta_.kind != kCollection) return {};
    return {payload_.collection->items, payload_.collection->count};
}

// ---- Structures ------------------------------------------------------------------

void BindingValue::MakeStructure() {
    if (meta_.kind == kStructure) return;
    Reset();
    ValueContext& context = EnsureContext();
    auto* body = static_cast<StructureBody*>(context.Allocate(BodySize(kFirstListMembers)));
    body->head.context = &context;
    body->count = 0;
    body->capacity = kFirstListMembers;
    payload_.structure = body;
    meta_.kind = kStructure;
}

MemberSlot* BindingValue::FindSlot(std::string_view name) const noexcept {
    if (meta_.kind != kStructure) return nullptr;
    name = detail::UpToNul(name);
    StructureBody* body = payload_.structure;
    if (body->capacity != 0) {
        bool found = false;
        MemberSlot* const* list = List(body);
        const uint32_t at = LowerBound(list, body->count, name, found);
        return found ? list[at] : nullptr;
    }
    StructureNode* parent = nullptr;
    int order = 0;
    StructureNode* n = detail::FindNode(Root(body), name, parent, order);
    return n != nullptr ? n->member : nullptr;
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

// A new empty member whose key is a hinted entry of this tree's table.
inline MemberSlot* BindingValue::NewMember(StringEntry* key) {
    static_assert(kListMembers <= ValueContext::kMemberHints);
    ValueContext& context = *Context();
    auto* m = static_cast<MemberSlot*>(context.Allocate(sizeof(MemberSlot)));
    m->key = key;
    ++key->refs;  // never the shared empty entry: empty names get no hint
    new (&m->value) BindingValue(&context);
    return m;
}

namespace {

// The previous structure put its member of this rank, named `name`, at `hint.at`
// between the same two keys as this list has there: the strings compare as they
// did, so the position holds and the name is not in the list.
// Hints are kept by the count of members before theirs, so `hint.at` is never past it.
template <class Hint>
[[gnu::always_inline]] inline bool HintHolds(const Hint& hint, MemberSlot* const* list, uint32_t count,
                                             std::string_view name) noexcept {
    if (hint.length != name.size() || hint.length == 0) return false;
    if ((hint.at == 0 ? nullptr : list[hint.at - 1]->key) != hint.before) return false;
    if ((hint.at == count ? nullptr : list[hint.at]->key) != hint.after) return false;
    return detail::SameBytes(hint.key->Text(), name.data(), name.size());
}

// The last two structures' hints for this rank: the one that holds, if any.
template <class Hint>
[[gnu::always_inline]] inline const Hint* MatchingHint(const Hint (&hints)[2], MemberSlot* const* list,
                                                       uint32_t count, std::string_view name) noexcept {
    if (HintHolds(hints[0], list, count, name)) return &hints[0];
    if (HintHolds(hints[1], list, count, name)) return &hints[1];
    return nullptr;
}

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
    tree->head = body->head;
    tree->count = kCount;
    tree->capacity = 0;
    Root(tree) = detail::BuildBalanced(nodes, kCount);
    context.Free(body, BodySize(kListMembers));
    return tree;
}

}  // namespace

// The member of that name, created empty when absent.
BindingValue& BindingValue::InsertMember(std::string_view name, const StringEntry* sourceKey, bool sameTree) {
    StructureBody* body = payload_.structure;
    ValueContext& context = *Context();
    if (body->capacity != 0) {
        const uint32_t count = body->count;
        const bool hinted = count < kListMembers;  // else the list becomes a tree
        auto& hints = context.memberHints_[hinted ? count : 0];
        const auto* hint = hinted ? MatchingHint(hints, List(body), count, name) : nullptr;
        MemberSlot* m;
        uint32_t at;
        if (hint != nullptr) {
            m = NewMember(hint->key);
            at = hint->at;
        } else {
            bool found = false;
            at = LowerBound(List(body), count, name, found);
            if (found) return List(body)[at]->value;
            m = NewMember(name, sourceKey, sameTree);
            if (hinted && m->key->length != 0) {
                hints[1] = hints[0];
                hints[0] = {m->key, at == 0 ? nullptr : List(body)[at - 1]->key,
                            at == count ? nullptr : List(body)[at]->key, at, m->key->length};
                context.hintsUsed_ = true;
            }
        }
        if (body->count == body->capacity) {
            try {
                if (body->capacity == kListMembers) {
                    payload_.structure = ListToTree(context, body, m, at);
                    return m->value;
                }
                // Lists start at kFirstListMembers and grow once, straight to the most.
                auto* grown = static_cast<StructureBody*>(context.Allocate(BodySize(kListMembers)));
                std::memcpy(grown, body, BodySize(kFirstListMembers));
                context.Free(body, BodySize(kFirstListMembers));
                body = grown;
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
    if (StructureNode* n = detail::FindNode(Root(body), name, parent, order)) return n->member->value;
    MemberSlot* m = NewMember(name, sourceKey, sameTree);
    StructureNode* node;
    try {
        node = static_cast<StructureNode*>(context.Allocate(sizeof(StructureNode)));
    } catch (...) {
        DropMember(context, m);
        throw;
    }
    node->member = m;
    detail::InsertNode(Root(body), parent, order, node);
    ++body->count;
    return m->value;
}

BindingValue& BindingValue::Member(const char* name) {
    return Member(name != nullptr ? std::string_view(name) : std::string_view());
}

// A new member of a listed structure where the last structures of this shape put
// theirs, or null when no hint holds or the list must grow. The name is compared
// whole with a key, which holds no NUL, so it needs no cutting.
inline BindingValue* BindingValue::HintedMember(std::string_view name) {
    StructureBody* body = payload_.structure;
    const uint32_t count = body->count;
    if (count >= body->capacity) return nullptr;  // full, or a tree (capacity 0)
    MemberSlot** list = List(body);
    const auto* hint = MatchingHint(Context()->memberHints_[count], list, count, name);
    if (hint == nullptr) return nullptr;
    MemberSlot* m = NewMember(hint->key);
    for (uint32_t i = count; i > hint->at; --i) list[i] = list[i - 1];
    list[hint->at] = m;
    body->count = count + 1;
    return &m->value;
}

BindingValue& BindingValue::Member(std::string_view name) {
    if (meta_.kind == kStructure) {
        if (BindingValue* hinted = HintedMember(name)) return *hinted;
        return InsertMember(detail::UpToNul(name), nullptr, false);
    }
    name = detail::UpToNul(name);
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
    if (meta_.kind != kStructure) return BasicMemberRange<BindingValue>({});
    return BasicMemberRange<BindingValue>(FirstMember<BindingValue>(payload_.structure));
}

BasicMemberRange<const BindingValue> BindingValue::Members() const noexcept {
    if (meta_.kind != kStructure) return BasicMemberRange<const BindingValue>({});
    return BasicMemberRange<const BindingValue>(FirstMember<const BindingValue>(payload_.structure));
}

// ---- Readers ---------------------------------------------------------------------

bool BindingValue::AsBool(bool fallback) const noexcept {
    return meta_.kind == static_cast<uint8_t>(ValueKind::Bool) ? payload_.boolean != 0 : fallback;
}
int64_t BindingValue::AsSigned(int64_t fallback) const noexcept {
    return meta_.kind == static_cast<uint8_t>(ValueKind::Signed) ? payload_.i64 : fallback;
}
uint64_t BindingValue::AsUnsigned(uint64_t fallback) const noexcept {
    return meta_.kind == static_cast<uint8_t>(ValueKind::Unsigned) ? payload_.u64 : fallback;
}
double BindingValue::AsFloat(double fallback) const noexcept {
    return meta_.kind == kFloat ? payload_.f64 : fallback;
}
const char* BindingValue::AsString(const char* fallback) const noexcept {
    return meta_.kind == kString ? payload_.string->Text() : fallback;
}
std::string_view BindingValue::AsStringView(std::string_view fallback) const noexcept {
    return meta_.kind == kString ? payload_.string->View() : fallback;
}
std::span<const uint8_t> BindingValue::AsBlob(std::span<const uint8_t> fallback) const noexcept {
    if (meta_.kind != kBlob) return fallback;
    const auto* blob = static_cast<const BlobBody*>(payload_.body);
    return {blob->data, blob->size};
}
EnumValue BindingValue::AsEnum(EnumValue fallback) const noexcept {
    if (meta_.kind != kEnum) return fallback;
    const auto* body = static_cast<const EnumBody*>(payload_.body);
    return {body->value, body->typeId};
}
const StringEntry* BindingValue::StringKey() const noexcept {
    return meta_.kind == kString ? payload_.string : nullptr;
}

size_t BindingValue::Size() const noexcept {
    switch (meta_.kind) {
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

}  // namespace Vemi::Binding
