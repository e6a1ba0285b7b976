// Native-to-value rules and the conversion of values to the host's form.
#include <kav/binding/to_value.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include <kav/binding/limits.h>
#include <kav/binding/typed.h>
#include <kav/logging/positional_format.h>
#include "element_kinds.h"

namespace Vemi::Binding {
namespace {

constexpr const char* kUnregisteredStruct = "Couldn't convert native value because it's an unregistered structure.";
// Messages of our own, for cases the rules above leave open.
constexpr const char* kUnregisteredEnum = "Couldn't convert native value because it's an unregistered enumeration.";
constexpr const char* kEnumSize = "Couldn't convert native value because enumeration type %1 has native size %2.";
constexpr const char* kNoConverter = "Couldn't convert native value of type %1 because it has no converter.";
constexpr const char* kTooDeep =
    "Couldn't convert value to a host value because it is nested more than %1 levels deep.";

void FailNoConverter(BindingResult& result, BindingTypeKind kind) {
    result.Fail(PositionalFormat(kNoConverter, TypeKindName(kind)));
}

bool NeedsConverter(const FieldDescriptor& field) noexcept {
    const BindingTypeKind kind = field.type.kind;
    const BindingTypeKind element = field.type.elementKind;
    if (field.optional || (field.flags & kFieldCustomNative) != 0 || kind == BindingTypeKind::Callback) return true;
    return (kind == BindingTypeKind::Vector || kind == BindingTypeKind::Map) &&
           (element == BindingTypeKind::Enum || element == BindingTypeKind::Struct);
}

// The kinds WriteScalar handles.
constexpr bool IsPlainScalar(BindingTypeKind kind) noexcept {
    return kind >= BindingTypeKind::Bool && kind <= BindingTypeKind::Blob;
}

// Writes a scalar of the built-in form straight into `out`; false for other kinds.
bool WriteScalar(BindingValue& out, const void* native, const TypeReference& type) {
    switch (type.kind) {
        case BindingTypeKind::Bool: detail::WriteScalar(out, *static_cast<const bool*>(native), type); return true;
        case BindingTypeKind::Int8: detail::WriteScalar(out, *static_cast<const int8_t*>(native), type); return true;
        case BindingTypeKind::UInt8: detail::WriteScalar(out, *static_cast<const uint8_t*>(native), type); return true;
        case BindingTypeKind::Int16: detail::WriteScalar(out, *static_cast<const int16_t*>(native), type); return true;
        case BindingTypeKind::UInt16: detail::WriteScalar(out, *static_cast<const uint16_t*>(native), type); return true;
        case BindingTypeKind::Int32: detail::WriteScalar(out, *static_cast<const int32_t*>(native), type); return true;
        case BindingTypeKind::UInt32: detail::WriteScalar(out, *static_cast<const uint32_t*>(native), type); return true;
        case BindingTypeKind::Int64: detail::WriteScalar(out, *static_cast<const int64_t*>(native), type); return true;
        case BindingTypeKind::UInt64: detail::WriteScalar(out, *static_cast<const uint64_t*>(native), type); return true;
        case BindingTypeKind::Float: detail::WriteScalar(out, *static_cast<const float*>(native), type); return true;
        case BindingTypeKind::Double: detail::WriteScalar(out, *static_cast<const double*>(native), type); return true;
        case BindingTypeKind::String:
            detail::WriteScalar(out, *static_cast<const std::string*>(native), type);
            return true;
        case BindingTypeKind::Object:
            detail::WriteScalar(out, *static_cast<const BindingValue*>(native), type);
            return true;
        case BindingTypeKind::Blob:
            detail::WriteScalar(out, *static_cast<const std::vector<uint8_t>*>(native), type);
            return true;
        default:
            return false;
    }
}

char* CopyText(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void* ZeroedArray(size_t count, size_t size) {
    if (count == 0) return nullptr;
    void* array = std::calloc(count, size);
    if (array == nullptr) throw std::bad_alloc();
    return array;
}

void SetOwnedText(HostValue& host, std::string_view text) {
    host.u.string.data = CopyText(text);
    host.u.string.length = static_cast<uint32_t>(text.size());
    host.kind = HOST_VALUE_STRING_OWNED;
}

// `depth` counts the containers around `value`. Arrays are zero-filled before their
// elements are converted, so a half-built value can always be released.
bool ToHost(BindingResult& result, HostValue& host, const BindingValue& value, const TypeRegistry* registry,
            size_t depth) {
    std::memset(&host, 0, sizeof host);
    switch (value.Kind()) {
        case ValueKind::Empty:
            return true;
        case ValueKind::Bool:
            host.kind = HOST_VALUE_BOOL;
            host.u.boolean = value.AsBool() ? 1 : 0;
            return true;
        case ValueKind::Signed:
            host.kind = HOST_VALUE_SIGNED;
            host.u.i64 = value.AsSigned();
            return true;
        case ValueKind::Unsigned:
            host.kind = HOST_VALUE_UNSIGNED;
            host.u.u64 = value.AsUnsigned();
            return true;
        case ValueKind::Float:
            host.kind = HOST_VALUE_FLOAT;
            host.u.f64 = value.AsFloat();
            return true;
        case ValueKind::String:
            SetOwnedText(host, value.AsStringView());
            return true;
        case ValueKind::Blob: {
            const auto bytes = value.AsBlob();
            auto* copy = static_cast<uint8_t*>(ZeroedArray(bytes.size(), 1));
            if (copy != nullptr) std::memcpy(copy, bytes.data(), bytes.size());
            host.u.blob.data = copy;
            host.u.blob.size = static_cast<uint32_t>(bytes.size());
            host.kind = HOST_VALUE_BLOB_OWNED;
            return true;
        }
        case ValueKind::Enum: {
            const EnumValue e = value.AsEnum();
            const char* name = registry != nullptr ? registry->EnumeratorName(e.typeId, e.value) : nullptr;
            if (name != nullptr) {
                SetOwnedText(host, name);
            } else {
                host.kind = HOST_VALUE_SIGNED;
                host.u.i64 = e.value;
            }
            return true;
        }
        case ValueKind::Collection:
        case ValueKind::Structure:
            break;
    }
    if (depth >= kMaxNestingDepth) {
        result.Fail(PositionalFormat(kTooDeep, static_cast<uint32_t>(kMaxNestingDepth)));
        return false;
    }
    if (value.Kind() == ValueKind::Collection) {
        const auto elements = value.Elements();
        auto* items = static_cast<HostValue*>(ZeroedArray(elements.size(), sizeof(HostValue)));
        host.kind = HOST_VALUE_COLLECTION;
        host.u.collection.items = items;
        host.u.collection.count = static_cast<uint32_t>(elements.size());
        for (size_t i = 0; i < elements.size(); ++i) {
            if (!ToHost(result, items[i], elements[i], registry, depth + 1)) return false;
        }
        return true;
    }
    const size_t count = value.Size();
    auto* entries = static_cast<HostStructEntry*>(ZeroedArray(count, sizeof(HostStructEntry)));
    host.kind = HOST_VALUE_STRUCTURE;
    host.u.structure.entries = entries;
    host.u.structure.count = static_cast<uint32_t>(count);
    size_t i = 0;
    for (auto [name, member] : value.Members()) {
        HostStructEntry& entry = entries[i++];
        entry.key = CopyText(name);
        entry.key_owned = 1;
        if (!ToHost(result, entry.value, member, registry, depth + 1)) return false;
    }
    return true;
}

}  // namespace

void ConvertFromNative(BindingResult& result, const void* native, const TypeReference& type,
                       const TypeRegistry& registry) {
    result.Clear();
    if (WriteScalar(result.value, native, type)) return;
    switch (type.kind) {
        case BindingTypeKind::Enum:
            return ConvertEnumFromNative(result, native, type.descriptor);
        case BindingTypeKind::Struct:
            return ConvertStructFromNative(result, native, type.descriptor, registry);
        case BindingTypeKind::Vector:
        case BindingTypeKind::Map:
            break;
        default:
            return FailNoConverter(result, type.kind);
    }
    const bool isMap = type.kind == BindingTypeKind::Map;
    auto convert = [&]<class E>(E*) {
        if (isMap) detail::ValueMap(result, *static_cast<const std::map<std::string, E>*>(native), type, registry);
        else detail::ValueVector(result, *static_cast<const std::vector<E>*>(native), type, registry);
    };
    if (!detail::VisitBuiltinElement(type.elementKind, convert)) FailNoConverter(result, type.kind);
}

void ConvertStructFromNative(BindingResult& result, const void* record, const TypeDescriptor* structType,
                             const TypeRegistry& registry) {
    result.Clear();
    if (structType == nullptr) {
        result.Fail(kUnregisteredStruct);
        return;
    }
    result.value.MakeStructure();
    for (const FieldDescriptor& field : structType->fields) {
        const void* native = static_cast<const unsigned char*>(record) + field.offset;
        // Scalars cannot fail: without omit-when-default they go straight in.
        if ((field.flags & kFieldOmitWhenDefault) == 0 && IsPlainScalar(field.type.kind) && !NeedsConverter(field)) {
            (void)WriteScalar(result.value.Member(std::string_view(field.name)), native, field.type);
            continue;
        }
        BindingResult item;
        ConvertFieldFromNative(item, record, field, registry);
        if (!item.Ok()) {
            result.Fail(item.ErrorMessage());
            return;
        }
        if ((field.flags & kFieldOmitWhenDefault) != 0 && IsDefaultValue(item.value)) continue;
        result.value.Member(std::string_view(field.name)) = std::move(item.value);
    }
}

void ConvertFieldFromNative(BindingResult& result, const void* record, const FieldDescriptor& field,
                            const TypeRegistry& registry) {
    const void* native = static_cast<const unsigned char*>(record) + field.offset;
    if (field.converter != nullptr && NeedsConverter(field)) {
        field.converter->ToValue(result, native, field, registry);
    } else if (field.optional || (field.flags & kFieldCustomNative) != 0) {
        result.Clear();
        FailNoConverter(result, field.type.kind);
    } else {
        ConvertFromNative(result, native, field.type, registry);
    }
}

void ConvertEnumFromNative(BindingResult& result, const void* native, const TypeDescriptor* enumType) {
    result.Clear();
    if (enumType == nullptr) {
        result.Fail(kUnregisteredEnum);
        return;
    }
    int32_t value;
    switch (enumType->nativeSize) {
        case 1: {
            int8_t v;
            std::memcpy(&v, native, sizeof v);
            value = v;
            break;
        }
        case 2: {
            int16_t v;
            std::memcpy(&v, native, sizeof v);
            value = v;
            break;
        }
        case 4:
            std::memcpy(&value, native, sizeof value);
            break;
        case 8: {
            int64_t v;
            std::memcpy(&v, native, sizeof v);
            value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
            break;
        }
        default:
            result.Fail(PositionalFormat(kEnumSize, enumType->name, enumType->nativeSize));
            return;
    }
    result.value.SetEnum(value, enumType->typeId);
}

bool IsDefaultValue(const BindingValue& value) noexcept {
    switch (value.Kind()) {
        case ValueKind::Empty:
            return true;
        case ValueKind::Bool:
            return !value.AsBool();
        case ValueKind::Signed:
            return value.AsSigned() == 0;
        case ValueKind::Unsigned:
            return value.AsUnsigned() == 0;
        case ValueKind::Float:
            return value.AsFloat() == 0.0;  // both zeros; NaN compares unequal
        case ValueKind::Enum:
            return value.AsEnum().value == 0;
        default:
            return value.Size() == 0;
    }
}

void ToHostValue(BindingResult& result, HostValue& host, const BindingValue& value, const TypeRegistry* registry) {
    // The result is only written on failure: `value` may live inside it.
    try {
        if (!ToHost(result, host, value, registry, 0)) ReleaseHostValue(host);
    } catch (...) {
        ReleaseHostValue(host);
        throw;
    }
}

}  // namespace Vemi::Binding
