// Reflection records of bound types, functions and events. They are created and
// owned by a TypeRegistry (kav/binding/registry.h) through its builders and never change
// after registration, so conversions read them without a lock:
//
//   const TypeDescriptor* d = registry.FindType(StaticType::Of<SequenceEvent>());
//   for (const FieldDescriptor& f : d->fields) { ... record + f.offset ... }
//   const EnumeratorDescriptor* e = phase->FindEnumerator("Lobby");
//   const char* name = phase->EnumeratorName(11);   // first in name order, or null
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <kav/binding/static_type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

class TypeRegistry;
struct TypeDescriptor;
struct FieldDescriptor;

enum class BindingTypeKind : uint32_t {
    None = 0,
    Bool = 1,
    Int8 = 2,
    UInt8 = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    Object = 13,
    Blob = 14,
    Vector = 15,
    Enum = 16,
    Struct = 17,
    Callback = 18,
    Map = 19,
};

// "bool", "int8", ... "map" for 1..19; "" for any other number (0 included).
[[nodiscard]] const char* TypeKindName(uint32_t kind) noexcept;
[[nodiscard]] inline const char* TypeKindName(BindingTypeKind kind) noexcept {
    return TypeKindName(static_cast<uint32_t>(kind));
}

// What a field, argument or result holds. The element kind is set for vectors and
// maps; the descriptor when the kind (or element kind) is an enum or a struct.
struct TypeReference {
    BindingTypeKind kind = BindingTypeKind::None;
    BindingTypeKind elementKind = BindingTypeKind::None;
    const TypeDescriptor* descriptor = nullptr;

    friend bool operator==(const TypeReference&, const TypeReference&) = default;
};

// Field flags.
inline constexpr uint32_t kFieldOmitWhenDefault = 1;  // left out of values when default
inline constexpr uint32_t kFieldRequired = 2;         // missing input fails the conversion
// The native form is not the one the built-in rules know (a hashed map, another
// integer type of the same width, ...): the field always goes through its converter.
inline constexpr uint32_t kFieldCustomNative = 0x100;

// Per-field conversion for kinds without a built-in rule and for optional fields.
// `native` is the field's own address (record + offset). Destroying it is its third
// operation.
class FieldConverter {
public:
    virtual void ToNative(BindingResult& result, void* native, const BindingValue& input,
                          const FieldDescriptor& field, std::string_view targetName,
                          const TypeRegistry& registry) = 0;
    virtual void ToValue(BindingResult& result, const void* native, const FieldDescriptor& field,
                         const TypeRegistry& registry) = 0;
    virtual ~FieldConverter() = default;
};

struct FieldDescriptor {
    std::string name;
    uint32_t nameHash = 0;  // FNV-1a of name
    std::string description;
    const StaticType* identity = nullptr;  // the field's native type
    uint32_t offset = 0;                   // bytes from the start of the record
    TypeReference type;
    TypeReference secondType;  // zero unless given
    uint32_t flags = 0;
    std::unique_ptr<FieldConverter> converter;
    const TypeDescriptor* owner = nullptr;
    bool optional = false;  // converted through the converter, not the built-in rules
};

struct EnumeratorDescriptor {
    int32_t value = 0;
    std::string name;
    std::string description;
    const TypeDescriptor* owner = nullptr;
};

struct TypeDescriptor {
    uint32_t nativeSize = 0;
    bool isEnum = false;
    std::string name;
    uint32_t typeId = 0;
    const StaticType* identity = nullptr;
    std::string nameSpace;
    std::string description;
    std::vector<std::string> tags;
    std::map<std::string, size_t, std::less<>> fieldIndex;  // name -> index in fields
    std::vector<FieldDescriptor> fields;                    // declaration order
    std::map<std::string, EnumeratorDescriptor, std::less<>> enumerators;  // byte-wise name order
    TypeRegistry* registry = nullptr;

    [[nodiscard]] const FieldDescriptor* FindField(std::string_view fieldName) const noexcept;
    [[nodiscard]] const EnumeratorDescriptor* FindEnumerator(std::string_view enumeratorName) const noexcept;
    [[nodiscard]] bool HasEnumeratorValue(int32_t value) const noexcept;
    // The first enumerator in name order with that value, or null.
    [[nodiscard]] const char* EnumeratorName(int32_t value) const noexcept;
};

struct ArgumentRecord {
    std::string name;
    uint32_t nameHash = 0;
    std::string description;
    bool optional = false;
    TypeReference type;
    TypeReference secondType;  // copied only when given with a kind other than 0
};

struct FunctionRecord {
    std::string name;
    std::vector<ArgumentRecord> arguments;  // parameter order
    TypeReference returnType;               // kind 0: returns nothing
    TypeReference secondReturnType;
    std::vector<std::string> tags;
    std::string nameSpace;
    std::string description;
    std::string help;
    bool threadSafe = false;
    bool async = false;
    TypeRegistry* registry = nullptr;

    // Index of the argument of that name, or -1.
    [[nodiscard]] int32_t FindArgument(std::string_view argumentName) const noexcept;
};

struct EventRecord {
    std::string name;
    const TypeDescriptor* payload = nullptr;
    std::string nameSpace;
    std::string description;
    std::vector<std::string> tags;
};

}  // namespace Vemi::Binding
