// The bodies behind blob, enum and structure values (collections' is in value.h),
// shared by the files that build, read, release and copy them.
#pragma once

#include <cstdint>

#include <kav/binding/value.h>
#include "member_tree.h"

namespace Vemi::Binding::detail {

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

inline constexpr uint8_t kEmpty = static_cast<uint8_t>(ValueKind::Empty);
inline constexpr uint8_t kFloat = static_cast<uint8_t>(ValueKind::Float);
inline constexpr uint8_t kString = static_cast<uint8_t>(ValueKind::String);
inline constexpr uint8_t kBlob = static_cast<uint8_t>(ValueKind::Blob);
inline constexpr uint8_t kEnum = static_cast<uint8_t>(ValueKind::Enum);
inline constexpr uint8_t kCollection = static_cast<uint8_t>(ValueKind::Collection);
inline constexpr uint8_t kStructure = static_cast<uint8_t>(ValueKind::Structure);

// Structure bodies: a list of members fills at most one pool block; the first
// holds a few.
inline Member** List(StructureBody* body) noexcept { return reinterpret_cast<Member**>(body + 1); }
inline StructureNode*& Root(StructureBody* body) noexcept { return *reinterpret_cast<StructureNode**>(body + 1); }
inline constexpr uint32_t kListMembers =
    static_cast<uint32_t>((ValueContext::kMaxBlockSize - sizeof(StructureBody)) / sizeof(Member*));
inline constexpr uint32_t kFirstListMembers = 3;
constexpr size_t BodySize(uint32_t capacity) noexcept {
    return sizeof(StructureBody) + sizeof(void*) * (capacity == 0 ? 1 : capacity);
}
static_assert(BodySize(kListMembers) <= ValueContext::kMaxBlockSize && kFirstListMembers < kListMembers);

template <class Value>
BasicMemberIterator<Value> FirstMember(StructureBody* body) noexcept {
    if (body->capacity != 0) return BasicMemberIterator<Value>(List(body), body->count);
    return BasicMemberIterator<Value>(FirstNode(Root(body)));
}

}  // namespace Vemi::Binding::detail

// The files that build, release and copy values use these names unqualified.
namespace Vemi::Binding {

using detail::BlobBody;
using detail::BodySize;
using detail::CollectionBody;
using detail::EnumBody;
using detail::FirstMember;
using detail::kBlob;
using detail::kCollection;
using detail::kEmpty;
using detail::kEnum;
using detail::kFirstListMembers;
using detail::kFloat;
using detail::kListMembers;
using detail::kString;
using detail::kStructure;
using detail::List;
using detail::Root;
using detail::StructureBody;
using detail::StructureNode;
using MemberSlot = detail::Member;

}  // namespace Vemi::Binding
