// Deep copies and moves of BindingValues, and BindingResult.
#include <utility>

#include <kav/binding/value.h>
#include "same_bytes.h"
#include "small_stack.h"
#include "value_bodies.h"

namespace Vemi::Binding {

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
        switch (from.meta_.kind) {
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
                target.meta_.kind = from.meta_.kind;
                break;
        }
    };
    start(*this, source);
    while (!stack.Empty()) {
        Frame& frame = stack.Top();
        if (frame.source->meta_.kind == kCollection) {
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
            const bool sameTree = frame.source->meta_.context == frame.target->meta_.context;
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
    const uint8_t kind = other.meta_.kind;
    other.payload_.u64 = 0;
    other.meta_.kind = kEmpty;
    ReleaseBody();
    payload_ = payload;
    meta_.kind = kind;
}

BindingValue::BindingValue(const BindingValue& other) : BindingValue() { *this = other; }

BindingValue::BindingValue(BindingValue&& other) : BindingValue() {
    if (other.meta_.owns != 0) {
        payload_ = other.payload_;
        meta_.context = other.meta_.context;
        meta_.kind = other.meta_.kind;
        other.payload_.u64 = 0;
        other.meta_.context = 0;
        other.meta_.kind = kEmpty;
    } else {
        *this = other;
        other.Reset();
    }
}

BindingValue& BindingValue::operator=(const BindingValue& other) {
    if (this == &other) return *this;
    if (other.meta_.kind <= kFloat) {
        // Read before releasing: the source may live inside this value.
        const Payload payload = other.payload_;
        const uint8_t kind = other.meta_.kind;
        Reset();
        payload_ = payload;
        meta_.kind = kind;
    } else if (meta_.context != 0 && meta_.context == other.meta_.context) {
        // Same tree: the source may be inside this value or contain it, so copy aside.
        BindingValue copy(Context());
        copy.CopyFrom(other);
        TakeOver(copy);
    } else {
        // Built aside, so that running out of memory leaves this value as it was.
        BindingValue copy(&EnsureContext());
        copy.CopyFrom(other);
        TakeOver(copy);
    }
    return *this;
}

BindingValue& BindingValue::operator=(BindingValue&& other) {
    if (this == &other) return *this;
    if (meta_.owns != 0 && other.meta_.owns != 0) {
        std::swap(payload_, other.payload_);
        std::swap(meta_, other.meta_);  // both own their contexts
        other.Reset();
    } else if (meta_.context != 0 && meta_.context == other.meta_.context) {
        if (other.meta_.kind >= kCollection && Encloses(other, this)) {
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
