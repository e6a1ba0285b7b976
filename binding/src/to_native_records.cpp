// Value-to-native rules for records and containers: structures field by field,
// fields through their converters or the built-in rules, vectors and maps.
#include <kav/binding/to_native.h>
#include <kav/binding/typed.h>
#include "conversion_messages.h"
#include "element_kinds.h"

namespace Vemi::Binding {
namespace {

// Whether the field goes through its converter rather than the built-in rules.
bool NeedsConverter(const FieldDescriptor& field) noexcept {
    const BindingTypeKind kind = field.type.kind;
    const BindingTypeKind element = field.type.elementKind;
    if (field.optional || (field.flags & kFieldCustomNative) != 0) return true;
    if (kind == BindingTypeKind::Blob || kind == BindingTypeKind::Callback) return true;
    return (kind == BindingTypeKind::Vector || kind == BindingTypeKind::Map) &&
           (element == BindingTypeKind::Enum || element == BindingTypeKind::Struct);
}

}  // namespace

void ConvertValue(BindingResult& result, void* record, const BindingValue& input, std::string_view targetName,
                  const TypeDescriptor* structType, const TypeRegistry& registry) {
    if (!result.Ok()) return;
    if (input.IsEmpty()) {
        Fail(result, kRequired, targetName);
        return;
    }
    ConvertStruct(result, record, input, targetName, structType, registry);
}

void ConvertStruct(BindingResult& result, void* record, const BindingValue& input, std::string_view targetName,
                   const TypeDescriptor* structType, const TypeRegistry& registry) {
    if (!result.Ok()) return;
    if (structType == nullptr) {
        Fail(result, kUnregisteredStruct, targetName);
        return;
    }
    if (input.Kind() != ValueKind::Structure) {
        Fail(result, kNotStructure, targetName, structType->name);
        return;
    }
    for (const FieldDescriptor& field : structType->fields) {
        if (!result.Ok()) return;
        const BindingValue& member = input.GetMember(std::string_view(field.name));
        if (!member.IsEmpty()) {
            ConvertField(result, record, member, field, field.name, registry);
        } else if ((field.flags & kFieldRequired) != 0) {
            Fail(result, kMissingField, targetName, structType->name, field.name);
        }
    }
}

void ConvertField(BindingResult& result, void* record, const BindingValue& input, const FieldDescriptor& field,
                  std::string_view targetName, const TypeRegistry& registry) {
    if (!result.Ok()) return;
    void* native = static_cast<unsigned char*>(record) + field.offset;
    if (field.converter != nullptr && NeedsConverter(field)) {
        field.converter->ToNative(result, native, input, field, targetName, registry);
    } else if (field.optional || (field.flags & kFieldCustomNative) != 0) {
        // The native object is not of the built-in form: nothing else may touch it.
        detail::FailNoConverter(result, field.type.kind, targetName);
    } else {
        ConvertNative(result, native, input, field.type, targetName, registry);
    }
}

void ConvertNative(BindingResult& result, void* native, const BindingValue& input, const TypeReference& type,
                   std::string_view targetName, const TypeRegistry& registry) {
    if (!result.Ok()) return;
    switch (type.kind) {
        case BindingTypeKind::Bool:
            return ConvertBool(result, *static_cast<bool*>(native), input, targetName);
        case BindingTypeKind::Int8:
            return ConvertInteger(result, *static_cast<int8_t*>(native), input, targetName);
        case BindingTypeKind::UInt8:
            return ConvertInteger(result, *static_cast<uint8_t*>(native), input, targetName);
        case BindingTypeKind::Int16:
            return ConvertInteger(result, *static_cast<int16_t*>(native), input, targetName);
        case BindingTypeKind::UInt16:
            return ConvertInteger(result, *static_cast<uint16_t*>(native), input, targetName);
        case BindingTypeKind::Int32:
            return ConvertInteger(result, *static_cast<int32_t*>(native), input, targetName);
        case BindingTypeKind::UInt32:
            return ConvertInteger(result, *static_cast<uint32_t*>(native), input, targetName);
        case BindingTypeKind::Int64:
            return ConvertInteger(result, *static_cast<int64_t*>(native), input, targetName);
        case BindingTypeKind::UInt64:
            return ConvertInteger(result, *static_cast<uint64_t*>(native), input, targetName);
        case BindingTypeKind::Float:
            return ConvertFloating(result, *static_cast<float*>(native), input, targetName);
        case BindingTypeKind::Double:
            return ConvertFloating(result, *static_cast<double*>(native), input, targetName);
        case BindingTypeKind::String:
            return ConvertString(result, *static_cast<std::string*>(native), input, targetName, registry);
        case BindingTypeKind::Object:
            return ConvertObject(result, *static_cast<BindingValue*>(native), input);
        case BindingTypeKind::Blob:
            return ConvertBlob(result, *static_cast<std::vector<uint8_t>*>(native), input, targetName);
        case BindingTypeKind::Enum:
            return ConvertEnum(result, native, input, targetName, type.descriptor);
        case BindingTypeKind::Struct:
            return ConvertStruct(result, native, input, targetName, type.descriptor, registry);
        case BindingTypeKind::Vector:
        case BindingTypeKind::Map:
            break;
        default:
            return detail::FailNoConverter(result, type.kind, targetName);
    }
    // Containers of the built-in element kinds.
    const bool isMap = type.kind == BindingTypeKind::Map;
    auto convert = [&]<class E>(E*) {
        if (isMap) detail::NativeMap(result, *static_cast<std::map<std::string, E>*>(native), input, targetName, type, registry);
        else detail::NativeVector(result, *static_cast<std::vector<E>*>(native), input, targetName, type, registry);
    };
    if (!detail::VisitBuiltinElement(type.elementKind, convert)) detail::FailNoConverter(result, type.kind, targetName);
}

namespace detail {

bool CheckVectorInput(BindingResult& result, const BindingValue& input, BindingTypeKind elementKind,
                      std::string_view targetName) {
    if (input.Kind() == ValueKind::Collection) return true;
    if (input.IsEmpty() && elementKind == BindingTypeKind::Bool) Fail(result, kRequired, targetName);
    else Fail(result, kNotCollection, targetName);
    return false;
}

bool CheckMapInput(BindingResult& result, const BindingValue& input, std::string_view targetName) {
    if (input.Kind() == ValueKind::Structure) return true;
    Fail(result, kNotStructureMap, targetName);
    return false;
}

void FailNoConverter(BindingResult& result, BindingTypeKind kind, std::string_view targetName) {
    Fail(result, kNoConverter, targetName, TypeKindName(kind));
}

}  // namespace detail

}  // namespace Vemi::Binding
