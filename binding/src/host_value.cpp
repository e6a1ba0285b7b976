// Host values: their release (without recursion: nested arrays wait on an explicit
// stack), their kind names, and their conversion into a BindingValue.
#include <kav/binding/host_value.h>

#include <cstdlib>
#include <cstring>

#include <kav/binding/limits.h>
#include <kav/binding/to_native.h>
#include "conversion_messages.h"
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

std::string_view HostText(const char* data, uint32_t length) noexcept {
    if (data == nullptr) return {};
    const void* nul = std::memchr(data, '\0', length);
    return nul == nullptr ? std::string_view(data, length)
                          : std::string_view(data, static_cast<size_t>(static_cast<const char*>(nul) - data));
}

// `depth` counts the containers around `source`.
bool FromHost(BindingResult& result, BindingValue& destination, const HostValue& source, std::string_view targetName,
              size_t depth) {
    switch (source.kind) {
        case HOST_VALUE_NONE:
            destination.Reset();
            return true;
        case HOST_VALUE_BOOL:
            destination.SetBool(source.u.boolean != 0);
            return true;
        case HOST_VALUE_SIGNED:
            destination.SetSigned(source.u.i64);
            return true;
        case HOST_VALUE_UNSIGNED:
            destination.SetUnsigned(source.u.u64);
            return true;
        case HOST_VALUE_FLOAT:
            destination.SetFloat(source.u.f64);
            return true;
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED:
            destination.SetString(HostText(source.u.string.data, source.u.string.length));
            return true;
        case HOST_VALUE_BLOB:
        case HOST_VALUE_BLOB_OWNED: {
            const uint8_t* data = source.u.blob.data;
            destination.SetBlob(data, data != nullptr ? source.u.blob.size : 0);
            return true;
        }
        case HOST_VALUE_COLLECTION:
        case HOST_VALUE_STRUCTURE:
            break;
        default:
            Fail(result, kHostIncompatible, targetName, HostKindName(source.kind));
            return false;
    }
    if (depth >= kMaxNestingDepth) {
        Fail(result, kHostTooDeep, targetName, static_cast<uint32_t>(kMaxNestingDepth));
        return false;
    }
    destination.Reset();
    if (source.kind == HOST_VALUE_COLLECTION) {
        const HostValue* items = source.u.collection.items;
        const uint32_t count = items != nullptr ? source.u.collection.count : 0;
        destination.MakeCollection();
        destination.Reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            // Capacity is reserved: earlier elements do not move.
            if (!FromHost(result, destination.Append(), items[i], targetName, depth + 1)) return false;
        }
    } else {
        const HostStructEntry* entries = source.u.structure.entries;
        const uint32_t count = entries != nullptr ? source.u.structure.count : 0;
        destination.MakeStructure();
        for (uint32_t i = 0; i < count; ++i) {
            const char* key = entries[i].key != nullptr ? entries[i].key : "";
            const HostValue value = entries[i].value;
            if (!FromHost(result, destination.Member(key), value, targetName, depth + 1)) return false;
        }
    }
    return true;
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

void ConvertHostValue(BindingResult& result, BindingValue& destination, const HostValue& source,
                      std::string_view targetName) {
    if (!result.Ok()) return;
    (void)FromHost(result, destination, source, targetName, 0);
}

}  // namespace Vemi::Binding
