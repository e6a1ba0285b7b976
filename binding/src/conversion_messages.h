// The message templates of the value-to-native rules (positional: %1, %2, ...),
// shared by the files that apply them.
#pragma once

#include <kav/binding/value.h>
#include <kav/logging/positional_format.h>

namespace Vemi::Binding {

inline constexpr const char* kRequired = "A value for '%1' is required.";
inline constexpr const char* kBoolInvalidType =
    "Couldn't assign value to '%1' of type bool because the input is of an invalid type %2.";
inline constexpr const char* kBoolFormat =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", \"false\", \"1\", \"0\".";
inline constexpr const char* kInvalidType = "Couldn't assign value to '%1' of type %2 because the input is of an invalid type %3.";
inline constexpr const char* kIncorrectFormat = "Value %1 for '%2' of type %3 is in an incorrect format";
inline constexpr const char* kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
inline constexpr const char* kNotValidEnum = "%1 is not a valid %2 enumeration value for '%3'.";
inline constexpr const char* kEnumInvalidType =
    "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.";
inline constexpr const char* kNotString = "Couldn't assign value to '%1' because the input is not a string.";
inline constexpr const char* kNoEnumerator = "%1 is not a valid enumeration value for '%2'.";
inline constexpr const char* kNotBlob = "Couldn't assign value to '%1' of type blob because the input is not a blob.";
inline constexpr const char* kBadBase64 =
    "Couldn't assign string value to '%1' of type blob because the input has invalid base64 characters.";
inline constexpr const char* kNotCollection =
    "Couldn't assign value to '%1' of type vector because the input not a collection.";
inline constexpr const char* kNotStructureMap = "Couldn't assign value to '%1' of type map because the input not a structure.";
inline constexpr const char* kUnregisteredStruct =
    "Couldn't assign value to '%1' because the input is an unregistered structure or not a structure at all.";
inline constexpr const char* kNotStructure = "Couldn't assign value to '%1' of type %2 because the input not a structure.";
inline constexpr const char* kMissingField =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't have required field '%3'.";
// Messages of our own, for cases the rules above leave open.
inline constexpr const char* kUnregisteredEnum =
    "Couldn't assign value to '%1' because its enumeration type is not registered.";
inline constexpr const char* kEnumSize = "Couldn't assign value to '%1' because enumeration type %2 has native size %3.";
inline constexpr const char* kNoConverter = "Couldn't assign value to '%1' of type %2 because it has no converter.";

// Messages of host-value conversion.
inline constexpr const char* kHostIncompatible =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible type '%2'.";
inline constexpr const char* kHostTooDeep =
    "Couldn't assign value to '%1' of type object because the input is nested more than %2 levels deep.";

template <class... Args>
void Fail(BindingResult& result, const char* format, const Args&... args) {
    result.Fail(PositionalFormat(format, args...));
}

}  // namespace Vemi::Binding
