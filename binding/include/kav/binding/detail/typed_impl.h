// The machinery behind kav/binding/typed.h: traits of native types, the conversions by
// C++ type, the field converters and the registration of field types on the way.
// Only typed.h includes this.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <kav/binding/registry.h>
#include <kav/binding/static_type.h>
#include <kav/binding/to_native.h>
#include <kav/binding/to_value.h>
#include <kav/binding/type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

template <class T>
class Record;
template <class E>
class Enumeration;
template <class T>
const TypeDescriptor* RegisterType(TypeRegistry& registry, std::string_view namePrefix);

// Types with a Describe function that RegisterType can use.
template <class T>
concept DescribedRecord = std::is_class_v<T> && requires(Record<T>& r) { Describe(r); };
template <class T>
concept DescribedEnum = std::is_enum_v<T> && requires(Enumeration<T>& e) { Describe(e); };

namespace detail {

template <class T>
struct VectorTraits {
    static constexpr bool kIs = false;
};
template <class E, class A>
struct VectorTraits<std::vector<E, A>> {
    static constexpr bool kIs = true;
    using Element = E;
};

template <class T>
struct MapTraits {
    static constexpr bool kIs = false;
};
template <class E, class C, class A>
struct MapTraits<std::map<std::string, E, C, A>> {
    static constexpr bool kIs = true;
    using Element = E;
};
template <class E, class H, class Q, class A>
struct MapTraits<std::unordered_map<std::string, E, H, Q, A>> {
    static constexpr bool kIs = true;
    using Element = E;
};

template <class T>
struct OptionalTraits {
    static constexpr bool kIs = false;
    using Inner = T;
};
template <class T>
struct OptionalTraits<std::optional<T>> {
    static constexpr bool kIs = true;
    using Inner = T;
};

// The fixed-width integer the built-in rules use for an integer type.
template <class T>
using FixedInteger = std::conditional_t<
    std::is_signed_v<T>,
    std::conditional_t<sizeof(T) == 1, int8_t,
                       std::conditional_t<sizeof(T) == 2, int16_t, std::conditional_t<sizeof(T) == 4, int32_t, int64_t>>>,
    std::conditional_t<sizeof(T) == 1, uint8_t,
                       std::conditional_t<sizeof(T) == 2, uint16_t,
                                          std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>>;

// The binding kind of a native type (an optional has the kind of what it holds).
template <class T>
[[nodiscard]] constexpr BindingTypeKind NativeKind() noexcept {
    using U = typename OptionalTraits<std::remove_cv_t<T>>::Inner;
    if constexpr (std::is_same_v<U, bool>) {
        return BindingTypeKind::Bool;
    } else if constexpr (std::is_integral_v<U>) {
        static_assert(sizeof(U) <= 8, "integers of at most 64 bits");
        constexpr bool s = std::is_signed_v<U>;
        if constexpr (sizeof(U) == 1) return s ? BindingTypeKind::Int8 : BindingTypeKind::UInt8;
        else if constexpr (sizeof(U) == 2) return s ? BindingTypeKind::Int16 : BindingTypeKind::UInt16;
        else if constexpr (sizeof(U) == 4) return s ? BindingTypeKind::Int32 : BindingTypeKind::UInt32;
        else return s ? BindingTypeKind::Int64 : BindingTypeKind::UInt64;
    } else if constexpr (std::is_same_v<U, float>) {
        return BindingTypeKind::Float;
    } else if constexpr (std::is_same_v<U, double>) {
        return BindingTypeKind::Double;
    } else if constexpr (std::is_same_v<U, std::string>) {
        return BindingTypeKind::String;
    } else if constexpr (std::is_same_v<U, BindingValue>) {
        return BindingTypeKind::Object;
    } else if constexpr (std::is_same_v<U, std::vector<uint8_t>>) {
        return BindingTypeKind::Blob;
    } else if constexpr (VectorTraits<U>::kIs) {
        return BindingTypeKind::Vector;
    } else if constexpr (MapTraits<U>::kIs) {
        return BindingTypeKind::Map;
    } else if constexpr (std::is_enum_v<U>) {
        return BindingTypeKind::Enum;
    } else if constexpr (std::is_class_v<U>) {
        return BindingTypeKind::Struct;
    } else {
        return BindingTypeKind::None;
    }
}

template <class T>
inline constexpr bool kIsScalar = NativeKind<T>() != BindingTypeKind::Vector && NativeKind<T>() != BindingTypeKind::Map &&
                                  NativeKind<T>() != BindingTypeKind::Struct && NativeKind<T>() != BindingTypeKind::None;

template <class C>
constexpr void CheckElement() noexcept {
    using E = typename std::conditional_t<VectorTraits<C>::kIs, VectorTraits<C>, MapTraits<C>>::Element;
    static_assert(!OptionalTraits<E>::kIs, "elements cannot be optional");
    static_assert(NativeKind<E>() != BindingTypeKind::Vector && NativeKind<E>() != BindingTypeKind::Map,
                  "elements of vectors and maps are primitives, blobs, objects, enums or structs");
}

// True when the built-in rules can work on T in place (see kav/binding/to_native.h).
template <class T>
constexpr bool IsBuiltinForm() noexcept {
    constexpr BindingTypeKind kind = NativeKind<T>();
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        return std::is_same_v<T, FixedInteger<T>>;
    } else if constexpr (kind == BindingTypeKind::Vector) {
        using E = typename VectorTraits<T>::Element;
        return std::is_same_v<T, std::vector<E>> && IsBuiltinForm<E>();
    } else if constexpr (kind == BindingTypeKind::Map) {
        using E = typename MapTraits<T>::Element;
        return std::is_same_v<T, std::map<std::string, E>> && IsBuiltinForm<E>();
    } else {
        return true;
    }
}

template <class E>
[[nodiscard]] int32_t EnumNumber(E value) noexcept {
    const auto raw = static_cast<std::underlying_type_t<E>>(value);
    if constexpr (sizeof(E) == 1) return static_cast<int8_t>(raw);
    else if constexpr (sizeof(E) == 2) return static_cast<int16_t>(raw);
    else return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(raw)));
}

template <class T>
void NativeFrom(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName,
                const TypeReference& type, const TypeRegistry& registry);
template <class T>
void ValueFrom(BindingResult& result, const T& native, const TypeReference& type, const TypeRegistry& registry);

template <class V>
void NativeVector(BindingResult& result, V& native, const BindingValue& input, std::string_view targetName,
                  const TypeReference& type, const TypeRegistry& registry) {
    using E = typename V::value_type;
    CheckElement<V>();
    if (!result.Ok()) return;
    native.clear();
    if (!CheckVectorInput(result, input, type.elementKind, targetName)) return;
    const auto elements = input.Elements();
    native.resize(elements.size());
    const TypeReference elementType{type.elementKind, BindingTypeKind::None, type.descriptor};
    for (size_t i = 0; i < elements.size() && result.Ok(); ++i) {
        if (elements[i].IsEmpty()) continue;  // keeps the default
        if constexpr (std::is_same_v<E, bool>) {
            bool value = false;
            ConvertBool(result, value, elements[i], targetName);
            native[i] = value;
        } else {
            NativeFrom(result, native[i], elements[i], targetName, elementType, registry);
        }
    }
}

template <class M>
void NativeMap(BindingResult& result, M& native, const BindingValue& input, std::string_view targetName,
               const TypeReference& type, const TypeRegistry& registry) {
    CheckElement<M>();
    if (!result.Ok()) return;
    native.clear();
    if (!CheckMapInput(result, input, targetName)) return;
    if constexpr (requires { native.reserve(size_t{}); }) native.reserve(input.Size());
    const TypeReference elementType{type.elementKind, BindingTypeKind::None, type.descriptor};
    for (auto [name, member] : input.Members()) {
        if (!result.Ok()) break;
        if (member.IsEmpty()) continue;
        NativeFrom(result, native[std::string(name)], member, targetName, elementType, registry);
    }
}

template <class T>
void NativeFrom(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName,
                const TypeReference& type, const TypeRegistry& registry) {
    constexpr BindingTypeKind kind = NativeKind<T>();
    if constexpr (OptionalTraits<T>::kIs) {
        if (!result.Ok()) return;
        if (input.IsEmpty()) {
            native.reset();
            return;
        }
        if (!native.has_value()) native.emplace();
        NativeFrom(result, *native, input, targetName, type, registry);
    } else if constexpr (kind == BindingTypeKind::Bool) {
        ConvertBool(result, native, input, targetName);
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_same_v<T, FixedInteger<T>>) {
            ConvertInteger(result, native, input, targetName);
        } else {
            FixedInteger<T> value{};
            ConvertInteger(result, value, input, targetName);
            if (result.Ok()) native = static_cast<T>(value);
        }
    } else if constexpr (kind == BindingTypeKind::Float || kind == BindingTypeKind::Double) {
        ConvertFloating(result, native, input, targetName);
    } else if constexpr (kind == BindingTypeKind::String) {
        ConvertString(result, native, input, targetName, registry);
    } else if constexpr (kind == BindingTypeKind::Object) {
        ConvertObject(result, native, input);
    } else if constexpr (kind == BindingTypeKind::Blob) {
        ConvertBlob(result, native, input, targetName);
    } else if constexpr (kind == BindingTypeKind::Enum) {
        int32_t value = 0;
        ConvertEnum(result, value, input, targetName, type.descriptor);
        if (result.Ok()) native = static_cast<T>(value);
    } else if constexpr (kind == BindingTypeKind::Struct) {
        ConvertValue(result, &native, input, targetName, type.descriptor, registry);
    } else if constexpr (kind == BindingTypeKind::Vector) {
        NativeVector(result, native, input, targetName, type, registry);
    } else if constexpr (kind == BindingTypeKind::Map) {
        NativeMap(result, native, input, targetName, type, registry);
    } else {
        static_assert(kind != BindingTypeKind::None, "not a bindable type");
    }
}

// Writes a scalar that cannot fail straight into a value.
template <class T>
void WriteScalar(BindingValue& out, const T& native, const TypeReference& type) {
    constexpr BindingTypeKind kind = NativeKind<T>();
    if constexpr (kind == BindingTypeKind::Bool) {
        out.SetBool(native);
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_signed_v<T>) out.SetSigned(static_cast<int64_t>(native));
        else out.SetUnsigned(static_cast<uint64_t>(native));
    } else if constexpr (kind == BindingTypeKind::Float || kind == BindingTypeKind::Double) {
        out.SetFloat(static_cast<double>(native));
    } else if constexpr (kind == BindingTypeKind::String) {
        out.SetString(std::string_view(native));
    } else if constexpr (kind == BindingTypeKind::Object) {
        out = native;
    } else if constexpr (kind == BindingTypeKind::Blob) {
        out.SetBlob(native.data(), native.size());
    } else if constexpr (kind == BindingTypeKind::Enum) {
        out.SetEnum(EnumNumber(native), type.descriptor != nullptr ? type.descriptor->typeId : StaticType::Of<T>().id);
    }
}

template <class C>
void ValueVector(BindingResult& result, const C& native, const TypeReference& type, const TypeRegistry& registry) {
    CheckElement<C>();
    using E = typename C::value_type;
    result.Clear();
    result.value.MakeCollection();
    result.value.Reserve(native.size());
    const TypeReference elementType{type.elementKind, BindingTypeKind::None, type.descriptor};
    for (size_t i = 0; i < native.size(); ++i) {
        const E& element = native[i];
        if constexpr (kIsScalar<E>) {
            WriteScalar(result.value.Append(), element, elementType);
        } else {
            BindingResult item;
            ValueFrom(item, element, elementType, registry);
            if (!item.Ok()) {
                result.Fail(item.ErrorMessage());
                return;
            }
            result.value.Append() = std::move(item.value);
        }
    }
}

template <class M>
void ValueMap(BindingResult& result, const M& native, const TypeReference& type, const TypeRegistry& registry) {
    CheckElement<M>();
    using E = typename M::mapped_type;
    result.Clear();
    result.value.MakeStructure();
    const TypeReference elementType{type.elementKind, BindingTypeKind::None, type.descriptor};
    for (const auto& [key, element] : native) {
        if constexpr (kIsScalar<E>) {
            WriteScalar(result.value.Member(std::string_view(key)), element, elementType);
        } else {
            BindingResult item;
            ValueFrom(item, element, elementType, registry);
            if (!item.Ok()) {
                result.Fail(item.ErrorMessage());
                return;
            }
            result.value.Member(std::string_view(key)) = std::move(item.value);
        }
    }
}

template <class T>
void ValueFrom(BindingResult& result, const T& native, const TypeReference& type, const TypeRegistry& registry) {
    constexpr BindingTypeKind kind = NativeKind<T>();
    if constexpr (OptionalTraits<T>::kIs) {
        if (native.has_value()) ValueFrom(result, *native, type, registry);
        else result.Clear();
    } else if constexpr (kind == BindingTypeKind::Struct) {
        ConvertStructFromNative(result, &native, type.descriptor, registry);
    } else if constexpr (kind == BindingTypeKind::Vector) {
        ValueVector(result, native, type, registry);
    } else if constexpr (kind == BindingTypeKind::Map) {
        ValueMap(result, native, type, registry);
    } else {
        static_assert(kind != BindingTypeKind::None, "not a bindable type");
        result.Clear();
        WriteScalar(result.value, native, type);
    }
}

// The reference of native type M; `descriptor<E>()` gives the descriptor of an enum
// or struct E (M itself, or the element type of a vector or map).
template <class M, class Lookup>
TypeReference ReferenceWith(Lookup descriptor) {
    using U = typename OptionalTraits<M>::Inner;
    constexpr BindingTypeKind kind = NativeKind<U>();
    TypeReference type{kind, BindingTypeKind::None, nullptr};
    if constexpr (kind == BindingTypeKind::Vector || kind == BindingTypeKind::Map) {
        using E = typename std::conditional_t<VectorTraits<U>::kIs, VectorTraits<U>, MapTraits<U>>::Element;
        type.elementKind = NativeKind<E>();
        if constexpr (NativeKind<E>() == BindingTypeKind::Enum || NativeKind<E>() == BindingTypeKind::Struct) {
            type.descriptor = descriptor.template operator()<E>();
        }
    } else if constexpr (kind == BindingTypeKind::Enum || kind == BindingTypeKind::Struct) {
        type.descriptor = descriptor.template operator()<U>();
    }
    return type;
}

// The descriptor of T in the registry, registered first (with the prefix) when T has
// a Describe function and is not there yet.
template <class T>
[[nodiscard]] const TypeDescriptor* RegisteredOrDescribed(TypeRegistry& registry, std::string_view namePrefix) {
    if (const TypeDescriptor* found = registry.FindType(StaticType::Of<T>())) return found;
    if constexpr (DescribedRecord<T> || DescribedEnum<T>) return RegisterType<T>(registry, namePrefix);
    else return nullptr;  // conversions report the type as unregistered
}

// The reference of a field of type M, registering enum and struct types on the way.
template <class M>
TypeReference RegisterReference(TypeRegistry& registry, std::string_view namePrefix) {
    return ReferenceWith<M>([&]<class E>() { return RegisteredOrDescribed<E>(registry, namePrefix); });
}

// The reference of M with descriptors only looked up.
template <class M>
TypeReference FoundReference(const TypeRegistry& registry) {
    return ReferenceWith<M>([&]<class E>() { return registry.FindType(StaticType::Of<E>()); });
}

// The converter object of a field whose native type is M.
template <class M>
class TypedFieldConverter final : public FieldConverter {
public:
    void ToNative(BindingResult& result, void* native, const BindingValue& input, const FieldDescriptor& field,
                  std::string_view targetName, const TypeRegistry& registry) override {
        NativeFrom(result, *static_cast<M*>(native), input, targetName, field.type, registry);
    }
    void ToValue(BindingResult& result, const void* native, const FieldDescriptor& field,
                 const TypeRegistry& registry) override {
        ValueFrom(result, *static_cast<const M*>(native), field.type, registry);
    }
};

template <class M>
std::unique_ptr<FieldConverter> MakeConverter() {
    return std::make_unique<TypedFieldConverter<M>>();
}

}  // namespace detail
}  // namespace Vemi::Binding
