// Value-to-native conversion: a decoded BindingValue becomes a native record, vector,
// map, enumeration or primitive. Every entry writes into a caller-supplied
// BindingResult, does nothing when that result has already failed, and reports the
// first problem as a message naming the target:
//
//   BindingResult result;
//   int32_t priority = 0;
//   ConvertInteger(result, priority, input.GetMember("priority"), "priority");
//   ConvertValue(result, &event, input, "<value>", eventType, registry);   // a struct
//   if (!result.Ok()) Log(..., result.ErrorMessage());
//
// The native forms are: bool, the fixed-width integers, float, double, std::string
// (string), BindingValue (object), std::vector<uint8_t> (blob), std::vector<E>
// (vector), std::map<std::string, E> (map), enums in 1, 2, 4 or 8 bytes, and records
// described by a TypeDescriptor. Typed code normally goes through ToNative<T>
// (kav/binding/typed.h), which picks the rule from the C++ type. Nothing here throws for
// bad input; only allocation failure raises std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <kav/binding/host_value.h>
#include <kav/binding/registry.h>
#include <kav/binding/type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

// The rules, one per native kind. `targetName` is what messages print as the target.
void ConvertBool(BindingResult& result, bool& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, int8_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, uint8_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, int16_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, uint16_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, int32_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, uint32_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, int64_t& native, const BindingValue& input, std::string_view targetName);
void ConvertInteger(BindingResult& result, uint64_t& native, const BindingValue& input, std::string_view targetName);
// The integer rule's step for texts on its own, for readers that resolve tagged
// scalars: the whole NUL-terminated text in automatic base; an unsigned target
// refuses any minus sign, blanks before it included. Messages name `typeName`.
void ConvertIntegerText(BindingResult& result, int64_t& native, const char* text, std::string_view targetName,
                        const char* typeName);
void ConvertIntegerText(BindingResult& result, uint64_t& native, const char* text, std::string_view targetName,
                        const char* typeName);
void ConvertFloating(BindingResult& result, float& native, const BindingValue& input, std::string_view targetName);
void ConvertFloating(BindingResult& result, double& native, const BindingValue& input, std::string_view targetName);
// An enum input gives the name of its enumerator, looked up in the registry.
void ConvertString(BindingResult& result, std::string& native, const BindingValue& input,
                   std::string_view targetName, const TypeRegistry& registry);
// Accepts enumerator names, numbers and texts of numbers that name an enumerator, and
// enum values; stores in the enum's native size.
void ConvertEnum(BindingResult& result, void* native, const BindingValue& input, std::string_view targetName,
                 const TypeDescriptor* enumType);
// The same rule, answering the enumerator's value.
void ConvertEnum(BindingResult& result, int32_t& value, const BindingValue& input, std::string_view targetName,
                 const TypeDescriptor* enumType);
// Blob bytes, or a base64 text.
void ConvertBlob(BindingResult& result, std::vector<uint8_t>& native, const BindingValue& input,
                 std::string_view targetName);
// A deep copy of anything, the empty value included.
void ConvertObject(BindingResult& result, BindingValue& native, const BindingValue& input);

// The entry for a registered struct: an empty input is a missing value, anything
// else goes to the struct rule.
void ConvertValue(BindingResult& result, void* record, const BindingValue& input, std::string_view targetName,
                  const TypeDescriptor* structType, const TypeRegistry& registry);
// The struct rule: every field present in the input is converted; absent fields keep
// their native value unless required.
void ConvertStruct(BindingResult& result, void* record, const BindingValue& input, std::string_view targetName,
                   const TypeDescriptor* structType, const TypeRegistry& registry);
// One field of a record (at record + field.offset); the field's converter handles
// optional fields and kinds without a built-in rule.
void ConvertField(BindingResult& result, void* record, const BindingValue& input, const FieldDescriptor& field,
                  std::string_view targetName, const TypeRegistry& registry);
// The built-in dispatch by kind into a native object of the built-in form of `type`.
// Vectors and maps of enums or structs, and callbacks, have no built-in form here:
// they need a field converter (or the typed entries) and fail otherwise.
void ConvertNative(BindingResult& result, void* native, const BindingValue& input, const TypeReference& type,
                   std::string_view targetName, const TypeRegistry& registry);

// The host value rule: a host value, as the host hands it over, becomes `destination`
// (which is replaced). Texts and blobs are read within their given length (a text
// stops at a NUL inside it), null pointers read as empty, a null key as "".
// Containers nested more than kMaxNestingDepth levels fail.
void ConvertHostValue(BindingResult& result, BindingValue& destination, const HostValue& source,
                      std::string_view targetName);

namespace detail {
// The container rules' input checks, shared with the typed entries. Each fails the
// result with the rule's message and answers false when the input does not fit.
[[nodiscard]] bool CheckVectorInput(BindingResult& result, const BindingValue& input, BindingTypeKind elementKind,
                                    std::string_view targetName);
[[nodiscard]] bool CheckMapInput(BindingResult& result, const BindingValue& input, std::string_view targetName);
// For kinds that need a converter and have none.
void FailNoConverter(BindingResult& result, BindingTypeKind kind, std::string_view targetName);
}  // namespace detail

}  // namespace Vemi::Binding
