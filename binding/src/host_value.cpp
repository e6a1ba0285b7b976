// Release of host values, without recursion: nested arrays wait on an explicit stack.
#include "binding/host_value.h"

#include <cstdlib>
#include <cstring>

#include "small_stack.h"

namespace Vemi::Binding {
namespace {

struct Frame {
    HostValue* items;         // a collection's elements, or
    HostStructEntry* entries;  // a structure's entries
    uint32_t count;
    uint32_t next;
};

// Frees what one value owns directly; arrays are queued so their contents go first.
void ReleaseOwned(const HostValue& value, detail::SmallStack<Frame, 16>& stack) {
    switch (value.kind) {
        case HOST_VALUE_STRING_OWNED:
            std::free(const_cast<char*>(value.u.string.data));
            break;
        case HOST_VALUE_BLOB_OWNED:
            std::free(const_cast<uint8_t*>(value.u.blob.data));
            break;
        case HOST_VALUE_COLLECTION:
            if (value.u.collection.items != nullptr) {
                stack.Push({value.u.collection.items, nullptr, value.u.collection.count, 0});
            }
            break;
        case HOST_VALUE_STRUCTURE:
            if (value.u.structure.entries != nullptr) {
                stack.Push({nullptr, value.u.structure.entries, value.u.structure.count, 0});
            }
            break;
        default:
            break;
    }
}

}  // namespace

void ReleaseHostValue(HostValue& value) noexcept {
    detail::SmallStack<Frame, 16> stack;
    ReleaseOwned(value, stack);
    while (!stack.Empty()) {
        Frame& frame = stack.Top();
        if (frame.next == frame.count) {
            if (frame.items != nullptr) std::free(frame.items);
            else std::free(frame.entries);
            stack.Pop();
            continue;
        }
        const uint32_t i = frame.next++;
        if (frame.items != nullptr) {
            ReleaseOwned(frame.items[i], stack);
        } else {
            HostStructEntry& entry = frame.entries[i];
            if (entry.key_owned != 0) std::free(const_cast<char*>(entry.key));
            ReleaseOwned(entry.value, stack);
        }
    }
    std::memset(&value, 0, sizeof value);
}

const char* HostKindName(uint32_t kind) noexcept {
    switch (kind) {
        case HOST_VALUE_BOOL:
            return "bool";
        case HOST_VALUE_SIGNED:
            return "signed";
        case HOST_VALUE_UNSIGNED:
            return "unsigned";
        case HOST_VALUE_FLOAT:
            return "float";
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED:
            return "string";
        case HOST_VALUE_BLOB:
        case HOST_VALUE_BLOB_OWNED:
            return "blob";
        case HOST_VALUE_COLLECTION:
            return "collection";
        case HOST_VALUE_STRUCTURE:
            return "structure";
        default:
            return "";
    }
}

}  // namespace Vemi::Binding
