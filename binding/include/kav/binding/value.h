// BindingValue: the dynamic value that every payload is held in between decoding
// and conversion, and BindingResult, the value-with-ok-flag every decoder and
// conversion returns.
//
//   BindingValue root;                       // a root: owns the tree's ValueContext
//   root.Member("name").SetString("Alice");  // mutable access creates
//   root.Member("tags").Element(1).SetString("b");   // grows to two elements
//   root.GetMember("missing").IsEmpty();     // read-only access never creates
//   for (auto [name, value] : root.Members()) ...    // byte-wise name order
//
//   BindingResult result;                    // ok, empty
//   result.Fail("Bad input");                // {"error": "Bad input"}, ok cleared
//   result.ErrorMessage();                   // "Bad input"
//
// Every value of a tree shares the root's ValueContext. References returned by
// Element/Member stay valid until the container changes shape (elements move when a
// collection grows; members never move) and never outlive the root. Copying deep-
// copies into the target's tree; moving one root into another swaps them, and a
// move inside one tree hands the body over (into one of its own descendants it copies,
// and the source's reset then drops the target too). A tree is used by one thread
// at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>

#include <kav/binding/value_context.h>

namespace Vemi::Binding {

enum class ValueKind : uint8_t {
    Empty = 0,
    Bool = 1,
    Signed = 2,
    Unsigned = 3,
    Float = 4,
    String = 5,
    Blob = 6,
    Enum = 7,
    Collection = 8,
    Structure = 9,
};

// "empty", "bool", ... "structure" for 0..9; "" for any other number.
[[nodiscard]] const char* KindName(uint32_t kind) noexcept;
[[nodiscard]] inline const char* KindName(ValueKind kind) noexcept {
    return KindName(static_cast<uint32_t>(kind));
}

// An enumerator held in a value: its number and the type identifier of its enum.
struct EnumValue {
    int32_t value = 0;
    uint32_t typeId = 0;
    friend bool operator==(const EnumValue&, const EnumValue&) = default;
};

namespace detail {
struct CollectionBody;
struct StructureBody;
struct StructureNode;
struct Member;
}  // namespace detail

template <class Value>
class BasicMemberRange;

class BindingValue {
public:
    // An empty root (it owns the context it creates on first need).
    constexpr BindingValue() noexcept = default;
    BindingValue(const BindingValue& other);
    // Two roots swap; from a value inside a tree the content is deep-copied. A move
    // that copies may run out of memory like a copy: it then throws std::bad_alloc
    // and leaves both values as they were, so neither move is noexcept.
    BindingValue(BindingValue&& other);
    BindingValue& operator=(const BindingValue& other);
    BindingValue& operator=(BindingValue&& other);
    ~BindingValue();

    // Setters release what the value held first.
    void Reset() noexcept {
        if (meta_.kind > kLastScalarKind) ReleaseBody();
        meta_.kind = 0;
        payload_.u64 = 0;
    }
    void SetBool(bool value) noexcept {
        Reset();
        payload_.boolean = value ? 1 : 0;
        meta_.kind = static_cast<uint8_t>(ValueKind::Bool);
    }
    void SetSigned(int64_t value) noexcept {
        Reset();
        payload_.i64 = value;
        meta_.kind = static_cast<uint8_t>(ValueKind::Signed);
    }
    void SetUnsigned(uint64_t value) noexcept {
        Reset();
        payload_.u64 = value;
        meta_.kind = static_cast<uint8_t>(ValueKind::Unsigned);
    }
    void SetFloat(double value) noexcept {
        Reset();
        payload_.f64 = value;
        meta_.kind = static_cast<uint8_t>(ValueKind::Float);
    }
    // The text up to its first NUL is interned in the tree's context; null reads as "".
    void SetString(const char* text);
    void SetString(std::string_view text);
    void SetBlob(const void* data, size_t size);
    void SetEnum(int32_t value, uint32_t typeId);
    // Turn the value into an empty container; an existing one of that kind is kept.
    void MakeCollection();
    void MakeStructure();

    // Mutable access: makes the value a collection (structure) if it is not one and
    // creates what is missing. Element grows the collection with empty elements.
    BindingValue& Element(size_t index);  // inline below
    BindingValue& Append();               // inline below
    BindingValue& Member(const char* name);
    BindingValue& Member(std::string_view name);
    // Read-only access: the shared null value when the kind differs or nothing is there.
    [[nodiscard]] const BindingValue& GetElement(size_t index) const noexcept;
    [[nodiscard]] const BindingValue& GetMember(const char* name) const noexcept;
    [[nodiscard]] const BindingValue& GetMember(std::string_view name) const noexcept;
    // The member, or null; never creates.
    [[nodiscard]] BindingValue* FindMember(std::string_view name) noexcept;
    // Collections only: capacity for at least count elements.
    void Reserve(size_t count);

    [[nodiscard]] ValueKind Kind() const noexcept { return static_cast<ValueKind>(meta_.kind); }
    [[nodiscard]] bool IsEmpty() const noexcept { return meta_.kind == 0; }
    // Readers answer the default when the kind differs; there is no conversion.
    [[nodiscard]] bool AsBool(bool fallback = false) const noexcept;
    [[nodiscard]] int64_t AsSigned(int64_t fallback = 0) const noexcept;
    [[nodiscard]] uint64_t AsUnsigned(uint64_t fallback = 0) const noexcept;
    [[nodiscard]] double AsFloat(double fallback = 0.0) const noexcept;
    [[nodiscard]] const char* AsString(const char* fallback = "") const noexcept;
    [[nodiscard]] std::string_view AsStringView(std::string_view fallback = {}) const noexcept;
    [[nodiscard]] std::span<const uint8_t> AsBlob(std::span<const uint8_t> fallback = {}) const noexcept;
    [[nodiscard]] EnumValue AsEnum(EnumValue fallback = {}) const noexcept;
    // 0 empty; text length; blob bytes; element or member count; 1 otherwise.
    [[nodiscard]] size_t Size() const noexcept;

    // The elements of a collection (empty span for other kinds).
    [[nodiscard]] std::span<BindingValue> Elements() noexcept;
    [[nodiscard]] std::span<const BindingValue> Elements() const noexcept;
    // The members of a structure in name order (empty range for other kinds).
    [[nodiscard]] BasicMemberRange<BindingValue> Members() noexcept;
    [[nodiscard]] BasicMemberRange<const BindingValue> Members() const noexcept;

    [[nodiscard]] ValueContext* Context() const noexcept {
        return reinterpret_cast<ValueContext*>(static_cast<uintptr_t>(meta_.context));
    }
    [[nodiscard]] bool OwnsContext() const noexcept { return meta_.owns != 0; }
    // The interned entry of a string value, else null.
    [[nodiscard]] const StringEntry* StringKey() const noexcept;

    // The shared immutable empty value returned by lookups that find nothing.
    [[nodiscard]] static const BindingValue& Null() noexcept;

private:
    union Payload {
        uint8_t boolean;
        int64_t i64;
        uint64_t u64;
        double f64;
        StringEntry* string;
        void* body;
        detail::CollectionBody* collection;
        detail::StructureBody* structure;
    };

    // Kinds up to this one hold no body.
    static constexpr uint8_t kLastScalarKind = static_cast<uint8_t>(ValueKind::Float);

    // A value inside a tree: shares the context, does not own it.
    // The whole word in one store: kind and owner flag 0 (the address fits 48 bits).
    explicit BindingValue(ValueContext* context) noexcept : meta_(std::bit_cast<Meta>(AddressOf(context))) {}

    static uint64_t AddressOf(const ValueContext* context) noexcept { return reinterpret_cast<uintptr_t>(context); }

    ValueContext& EnsureContext();
    void ReleaseBody() noexcept;
    void SetStringEntry(StringEntry* entry) noexcept;
    void TakeOver(BindingValue& other) noexcept;
    void CopyFrom(const BindingValue& source);
    void GrowCollection(size_t capacity);
    BindingValue& GrowToElement(size_t index);
    BindingValue& InsertMember(std::string_view name, const StringEntry* sourceKey, bool sameTree);
    [[nodiscard]] detail::Member* FindSlot(std::string_view name) const noexcept;
    [[nodiscard]] detail::Member* NewMember(std::string_view name, const StringEntry* sourceKey, bool sameTree);
    [[nodiscard]] detail::Member* NewMember(StringEntry* key);
    [[nodiscard]] BindingValue* HintedMember(std::string_view name);

    // Sixteen bytes on every system: the context's address shares a word with the
    // kind (ValueContext::Create makes sure it fits 48 bits).
    struct Meta {
        uint64_t context : 48;
        uint64_t kind : 8;
        uint64_t owns : 8;
    };
#if !defined(__clang__) || __clang_major__ >= 15  // clang 14 can't bit_cast bit-fields in a constant
    static_assert(std::bit_cast<Meta>(uint64_t{5}).context == 5 && std::bit_cast<Meta>(uint64_t{5}).kind == 0 &&
                  std::bit_cast<Meta>(uint64_t{1} << 56).owns == 1, "the address is the word's low 48 bits");
#endif

    Payload payload_{.u64 = 0};
    Meta meta_{0, 0, 1};

    friend class BindingResult;
    friend void DestroyBodies(ValueContext&, void*) noexcept;
};

static_assert(sizeof(BindingValue) == 16, "payload; context, kind and owns-context in one word");

namespace detail {
// Bodies start with the context; while a tree is torn down that word links the
// bodies still waiting to be released, so no recursion is needed.
union BodyHead {
    ValueContext* context;
    uintptr_t pendingNext;
};

struct CollectionBody {
    BodyHead head;
    BindingValue* items;
    uint32_t count;
    uint32_t capacity;
};
}  // namespace detail

// Readers append element after element: that case stays inline.
inline BindingValue& BindingValue::Element(size_t index) {
    if (meta_.kind == static_cast<uint8_t>(ValueKind::Collection)) {
        detail::CollectionBody* body = payload_.collection;
        if (index < body->count) return body->items[index];
        if (index == body->count && index < body->capacity) {
            ++body->count;
            return *new (&body->items[index]) BindingValue(Context());
        }
    }
    return GrowToElement(index);
}

inline BindingValue& BindingValue::Append() {
    return Element(meta_.kind == static_cast<uint8_t>(ValueKind::Collection) ? payload_.collection->count : 0);
}

namespace detail {
// A structure member: its interned name and its value. Members never move once made.
struct Member {
    StringEntry* key;
    BindingValue value;
};

// A structure of more members than its body lists keeps them in a balanced search
// tree of these nodes, all from the pools.
struct StructureNode {
    StructureNode* left;
    StructureNode* right;
    uintptr_t parentAndBalance;  // parent pointer; low two bits hold balance + 1
    Member* member;

    [[nodiscard]] StructureNode* Parent() const noexcept {
        return reinterpret_cast<StructureNode*>(parentAndBalance & ~uintptr_t{3});
    }
    [[nodiscard]] StructureNode* Next() const noexcept;
};
}  // namespace detail

// One member seen through a member range.
template <class Value>
struct MemberView {
    std::string_view name;
    Value& value;
};

// Walks a small structure's sorted list of members, or a large one's tree (the
// cursor then has its low bit set).
template <class Value>
class BasicMemberIterator {
public:
    using value_type = MemberView<Value>;
    using difference_type = std::ptrdiff_t;

    BasicMemberIterator() noexcept = default;
    BasicMemberIterator(detail::Member* const* list, uint32_t count) noexcept
        : cursor_(count != 0 ? reinterpret_cast<uintptr_t>(list) : 0), remaining_(count) {}
    explicit BasicMemberIterator(detail::StructureNode* node) noexcept
        : cursor_(node != nullptr ? reinterpret_cast<uintptr_t>(node) | 1u : 0) {}

    MemberView<Value> operator*() const noexcept {
        detail::Member* m = Current();
        return {m->key->View(), m->value};
    }
    BasicMemberIterator& operator++() noexcept {
        if ((cursor_ & 1u) != 0) {
            detail::StructureNode* next = reinterpret_cast<detail::StructureNode*>(cursor_ - 1)->Next();
            cursor_ = next != nullptr ? reinterpret_cast<uintptr_t>(next) | 1u : 0;
        } else if (--remaining_ == 0) {
            cursor_ = 0;
        } else {
            cursor_ += sizeof(detail::Member*);
        }
        return *this;
    }
    BasicMemberIterator operator++(int) noexcept {
        BasicMemberIterator before = *this;
        ++*this;
        return before;
    }
    [[nodiscard]] const StringEntry& Key() const noexcept { return *Current()->key; }
    friend bool operator==(const BasicMemberIterator&, const BasicMemberIterator&) = default;

private:
    [[nodiscard]] detail::Member* Current() const noexcept {
        if ((cursor_ & 1u) != 0) return reinterpret_cast<detail::StructureNode*>(cursor_ - 1)->member;
        return *reinterpret_cast<detail::Member* const*>(cursor_);
    }

    uintptr_t cursor_ = 0;
    uint32_t remaining_ = 0;
};

template <class Value>
class BasicMemberRange {
public:
    explicit BasicMemberRange(BasicMemberIterator<Value> first) noexcept : first_(first) {}
    [[nodiscard]] BasicMemberIterator<Value> begin() const noexcept { return first_; }
    [[nodiscard]] BasicMemberIterator<Value> end() const noexcept { return {}; }

private:
    BasicMemberIterator<Value> first_;
};

// The result of every decode and conversion: a value and an ok flag. Its failure
// form is a structure with the single string member "error".
class BindingResult {
public:
    BindingValue value;

    [[nodiscard]] bool Ok() const noexcept { return ok_ != 0; }
    // Resets the value to {"error": message} and clears ok.
    void Fail(std::string_view message);
    void Fail(const char* message) { Fail(std::string_view(message != nullptr ? message : "")); }
    // Empties the value and sets ok again.
    void Clear() noexcept {
        value.Reset();
        ok_ = 1;
    }
    // "" while ok; else the "error" member's text when it is a string, else "".
    [[nodiscard]] const char* ErrorMessage() const noexcept;

private:
    uint8_t ok_ = 1;
};

}  // namespace Vemi::Binding
