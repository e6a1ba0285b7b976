// Native-to-value conversion: a native record, vector, map, enumeration or primitive
// becomes a BindingValue (the result's value), and a BindingValue becomes the host's
// value form.
//
//   BindingResult result;
//   ConvertFromNative(result, &event, {BindingTypeKind::Struct, {}, eventType}, registry);
//   HostValue host{};
//   ToHostValue(result, host, result.value, &registry);   // enums go by name
//   ...; ReleaseHostValue(host);
//
// The native forms are those of binding/to_native.h. Every native-to-value
// conversion starts its result afresh (ok, empty). Typed code normally goes through ToValue<T>
// (kav/binding/typed.h). Nothing here throws except for allocation failure.
#pragma once

#include <string_view>

#include <kav/binding/host_value.h>
#include <kav/binding/registry.h>
#include <kav/binding/type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

// The built-in dispatch by kind from a native object of the built-in form of `type`.
// Vectors and maps of enums or structs, and callbacks, need a field converter (or the
// typed entries) and fail here.
void ConvertFromNative(BindingResult& result, const void* native, const TypeReference& type,
                       const TypeRegistry& registry);
// The struct rule: fields in declaration order; omit-when-default fields are left
// out while they hold the default of their kind.
void ConvertStructFromNative(BindingResult& result, const void* record, const TypeDescriptor* structType,
                             const TypeRegistry& registry);
// One field of a record (at record + field.offset).
void ConvertFieldFromNative(BindingResult& result, const void* record, const FieldDescriptor& field,
                            const TypeRegistry& registry);
// The enum's value read in its native size, with the enum's type identity.
void ConvertEnumFromNative(BindingResult& result, const void* native, const TypeDescriptor* enumType);

// What omit-when-default leaves out: empty; false; 0; 0.0 of either sign (NaN is not
// a default); a string, blob, collection or structure of size 0; an enum of value 0.
[[nodiscard]] bool IsDefaultValue(const BindingValue& value) noexcept;

// The value in the host's form, every text, blob and array owned (allocated with
// malloc; ReleaseHostValue frees it). With a registry, an enum value that has an
// enumerator goes as its name, else as a signed number. Containers nested more than
// kMaxNestingDepth levels fail the result and leave `host` released (kind 0). `host`
// is overwritten, not released first; the result is written only on failure (so
// `value` may be the result's own value).
void ToHostValue(BindingResult& result, HostValue& host, const BindingValue& value, const TypeRegistry* registry);

}  // namespace Vemi::Binding
