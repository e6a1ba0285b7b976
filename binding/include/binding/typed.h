// Declaring bound types once, and converting by C++ type.
//
// A record or enumeration is described next to its definition, in its own namespace
// (found by argument-dependent lookup):
//
//   struct SequenceEvent {
//       std::string name;
//       int32_t priority = 0;
//   };
//   inline void Describe(Binding::Record<SequenceEvent>& r) {
//       r.Name("SequenceEvent")
//           .Field("name", &SequenceEvent::name)
//           .Field("priority", &SequenceEvent::priority, Binding::kFieldRequired, "Lower runs first");
//   }
//   enum class GameflowPhase : int32_t { None = 0, Lobby = 1 };
//   inline void Describe(Binding::Enumeration<GameflowPhase>& e) {
//       e.Name("GameflowPhase").Value("None", GameflowPhase::None).Value("Lobby", GameflowPhase::Lobby);
//   }
//
// Then:
//   const TypeDescriptor* d = RegisterType<SequenceEvent>(registry, "KavPreEndOfGame");
//       // "KavPreEndOfGameSequenceEvent"; enum and struct field types are looked up
//       // by identity or registered first with the same prefix
//   ToValue(result, event, registry);                       // SequenceEvent -> value
//   ToNative(result, event, input, "<value>", registry);     // value -> SequenceEvent
//
// ToNative/ToValue dispatch on the native type: bool, every integer width, float,
// double, std::string, BindingValue (object), std::vector<uint8_t> (blob),
// std::vector<E>, std::map<std::string, E> and std::unordered_map<std::string, E>,
// std::optional<T> (an optional field; empty input gives nullopt), and enums and
// records registered in the registry (looked up by StaticType identity). Every field
// gets a TypedFieldConverter made for its native type.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/registry.h"
#include "binding/static_type.h"
#include "binding/to_native.h"
#include "binding/to_value.h"
#include "binding/type.h"
#include "binding/value.h"

namespace Vemi::Binding {

template <class T>
class Record;
template <class E>
class Enumeration;

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

}  // namespace detail

// The binding kind of a native type (an optional has the kind of what it holds).
template <class T>
[[nodiscard]] constexpr BindingTypeKind KindOf() noexcept {
    using U = typename detail::OptionalTraits<std::remove_cv_t<T>>::Inner;
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
    } else if constexpr (detail::VectorTraits<U>::kIs) {
        return BindingTypeKind::Vector;
    } else if constexpr (detail::MapTraits<U>::kIs) {
        return BindingTypeKind::Map;
    } else if constexpr (std::is_enum_v<U>) {
        return BindingTypeKind::Enum;
    } else if constexpr (std::is_class_v<U>) {
        return BindingTypeKind::Struct;
    } else {
        return BindingTypeKind::None;
    }
}

namespace detail {

template <class T>
inline constexpr bool kIsScalar = KindOf<T>() != BindingTypeKind::Vector && KindOf<T>() != BindingTypeKind::Map &&
                                  KindOf<T>() != BindingTypeKind::Struct && KindOf<T>() != BindingTypeKind::None;

template <class C>
constexpr void CheckElement() noexcept {
    using E = typename std::conditional_t<VectorTraits<C>::kIs, VectorTraits<C>, MapTraits<C>>::Element;
    static_assert(!OptionalTraits<E>::kIs, "elements cannot be optional");
    static_assert(KindOf<E>() != BindingTypeKind::Vector && KindOf<E>() != BindingTypeKind::Map,
                  "elements of vectors and maps are primitives, blobs, objects, enums or structs");
}

// True when the built-in rules can work on T in place (see binding/to_native.h).
template <class T>
constexpr bool IsBuiltinForm() noexcept {
    constexpr BindingTypeKind kind = KindOf<T>();
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
    constexpr BindingTypeKind kind = KindOf<T>();
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
    constexpr BindingTypeKind kind = KindOf<T>();
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
    constexpr BindingTypeKind kind = KindOf<T>();
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

template <class T>
[[nodiscard]] const TypeDescriptor* RegisteredOrDescribed(TypeRegistry& registry, std::string_view namePrefix);

// The reference of a field of type M, registering enum and struct types on the way.
template <class M>
TypeReference RegisterReference(TypeRegistry& registry, std::string_view namePrefix) {
    using U = typename OptionalTraits<M>::Inner;
    constexpr BindingTypeKind kind = KindOf<U>();
    TypeReference type{kind, BindingTypeKind::None, nullptr};
    if constexpr (kind == BindingTypeKind::Vector || kind == BindingTypeKind::Map) {
        using E = typename std::conditional_t<VectorTraits<U>::kIs, VectorTraits<U>, MapTraits<U>>::Element;
        type.elementKind = KindOf<E>();
        if constexpr (KindOf<E>() == BindingTypeKind::Enum || KindOf<E>() == BindingTypeKind::Struct) {
            type.descriptor = RegisteredOrDescribed<E>(registry, namePrefix);
        }
    } else if constexpr (kind == BindingTypeKind::Enum || kind == BindingTypeKind::Struct) {
        type.descriptor = RegisteredOrDescribed<U>(registry, namePrefix);
    }
    return type;
}

template <class M>
std::unique_ptr<FieldConverter> MakeConverter();

}  // namespace detail

// The converter object of a field whose native type is M.
template <class M>
class TypedFieldConverter final : public FieldConverter {
public:
    void ToNative(BindingResult& result, void* native, const BindingValue& input, const FieldDescriptor& field,
                  std::string_view targetName, const TypeRegistry& registry) override {
        detail::NativeFrom(result, *static_cast<M*>(native), input, targetName, field.type, registry);
    }
    void ToValue(BindingResult& result, const void* native, const FieldDescriptor& field,
                 const TypeRegistry& registry) override {
        detail::ValueFrom(result, *static_cast<const M*>(native), field.type, registry);
    }
};

template <class M>
std::unique_ptr<FieldConverter> detail::MakeConverter() {
    return std::make_unique<TypedFieldConverter<M>>();
}

// The description of a record type, filled by its Describe function.
template <class T>
class Record {
public:
    explicit Record(const T& probe) noexcept : probe_(&probe) {}

    // The type's own name; registration puts the prefix before it.
    Record& Name(std::string_view name) {
        name_ = name;
        return *this;
    }
    Record& Description(std::string_view description) {
        description_ = description;
        return *this;
    }
    Record& NameSpace(std::string_view nameSpace) {
        nameSpace_ = nameSpace;
        return *this;
    }
    Record& Tags(std::initializer_list<std::string_view> tags) {
        for (std::string_view tag : tags) tags_.emplace_back(tag);
        return *this;
    }
    // Fields in declaration order. Flags: kFieldOmitWhenDefault, kFieldRequired.
    template <class M>
    Record& Field(std::string_view name, M T::*member, uint32_t flags = 0, std::string_view description = {}) {
        static_assert(KindOf<M>() != BindingTypeKind::None, "not a bindable field type");
        using U = typename detail::OptionalTraits<M>::Inner;
        FieldSpec& f = fields_.emplace_back();
        f.name = name;
        f.description = description;
        f.offset = static_cast<uint32_t>(reinterpret_cast<const unsigned char*>(&(probe_->*member)) -
                                         reinterpret_cast<const unsigned char*>(probe_));
        f.identity = &StaticType::Of<U>();
        f.flags = flags | (detail::IsBuiltinForm<U>() ? 0u : kFieldCustomNative);
        f.optional = detail::OptionalTraits<M>::kIs;
        f.reference = &detail::RegisterReference<M>;
        f.converter = &detail::MakeConverter<M>;
        return *this;
    }

private:
    struct FieldSpec {
        std::string name;
        std::string description;
        uint32_t offset = 0;
        const StaticType* identity = nullptr;
        uint32_t flags = 0;
        bool optional = false;
        TypeReference (*reference)(TypeRegistry&, std::string_view) = nullptr;
        std::unique_ptr<FieldConverter> (*converter)() = nullptr;
    };

    template <class U>
    friend const TypeDescriptor* RegisterType(TypeRegistry& registry, std::string_view namePrefix);

    const T* probe_;
    std::string name_;
    std::string description_;
    std::string nameSpace_;
    std::vector<std::string> tags_;
    std::vector<FieldSpec> fields_;
};

// The description of an enumeration, filled by its Describe function.
template <class E>
class Enumeration {
    static_assert(std::is_enum_v<E>);

public:
    Enumeration& Name(std::string_view name) {
        name_ = name;
        return *this;
    }
    Enumeration& Description(std::string_view description) {
        description_ = description;
        return *this;
    }
    Enumeration& NameSpace(std::string_view nameSpace) {
        nameSpace_ = nameSpace;
        return *this;
    }
    Enumeration& Tags(std::initializer_list<std::string_view> tags) {
        for (std::string_view tag : tags) tags_.emplace_back(tag);
        return *this;
    }
    Enumeration& Value(std::string_view name, E value, std::string_view description = {}) {
        values_.push_back({std::string(name), detail::EnumNumber(value), std::string(description)});
        return *this;
    }

private:
    struct ValueSpec {
        std::string name;
        int32_t value;
        std::string description;
    };

    template <class U>
    friend const TypeDescriptor* RegisterType(TypeRegistry& registry, std::string_view namePrefix);

    std::string name_;
    std::string description_;
    std::string nameSpace_;
    std::vector<std::string> tags_;
    std::vector<ValueSpec> values_;
};

// Types with a Describe function that RegisterType can use.
template <class T>
concept DescribedRecord = std::is_class_v<T> && requires(Record<T>& r) { Describe(r); };
template <class T>
concept DescribedEnum = std::is_enum_v<T> && requires(Enumeration<T>& e) { Describe(e); };

// Registers T under namePrefix + its own name (a type of that name already present
// keeps its first registration) and answers its descriptor, or null when that name
// belongs to another native type (logged). Enum and struct field
// types already in the registry (by identity) are used as they are; the others are
// registered first, with the same prefix.
template <class T>
const TypeDescriptor* RegisterType(TypeRegistry& registry, std::string_view namePrefix) {
    static_assert(DescribedRecord<T> || DescribedEnum<T>, "T needs a Describe(Record<T>&) or Describe(Enumeration<T>&)");
    if constexpr (DescribedEnum<T>) {
        Enumeration<T> e;
        Describe(e);
        std::string name(namePrefix);
        name += e.name_;
        TypeBuilder builder(registry, sizeof(T), name, StaticType::Of<T>(), true);
        if (!builder.Exists()) {
            builder.Description(e.description_).NameSpace(e.nameSpace_).Tags(std::move(e.tags_));
            for (const auto& v : e.values_) builder.Enumerator(v.name, v.value, v.description);
        }
        return builder.FinishFor(StaticType::Of<T>());
    } else {
        static_assert(std::is_default_constructible_v<T>, "records are default-constructible");
        const T probe{};
        Record<T> r(probe);
        Describe(r);
        std::string name(namePrefix);
        name += r.name_;
        TypeBuilder builder(registry, sizeof(T), name, StaticType::Of<T>(), false);
        if (!builder.Exists()) {
            builder.Description(r.description_).NameSpace(r.nameSpace_).Tags(std::move(r.tags_));
            for (const auto& f : r.fields_) {
                const TypeReference type = f.reference(registry, namePrefix);
                builder.Field(f.name, f.description, f.offset, *f.identity, type, {}, f.flags, f.converter(),
                              f.optional);
            }
        }
        return builder.FinishFor(StaticType::Of<T>());
    }
}

template <class T>
const TypeDescriptor* detail::RegisteredOrDescribed(TypeRegistry& registry, std::string_view namePrefix) {
    if (const TypeDescriptor* found = registry.FindType(StaticType::Of<T>())) return found;
    if constexpr (DescribedRecord<T> || DescribedEnum<T>) return RegisterType<T>(registry, namePrefix);
    else return nullptr;  // conversions report the type as unregistered
}

// The registered descriptor of T, or null.
template <class T>
[[nodiscard]] const TypeDescriptor* FindType(const TypeRegistry& registry) {
    return registry.FindType(StaticType::Of<T>());
}

// The reference of native type T, with the descriptor of an enum or struct (or of the
// element type of a vector or map) looked up in the registry.
template <class T>
[[nodiscard]] TypeReference ReferenceOf(const TypeRegistry& registry) {
    using U = typename detail::OptionalTraits<T>::Inner;
    constexpr BindingTypeKind kind = KindOf<U>();
    static_assert(kind != BindingTypeKind::None, "not a bindable type");
    TypeReference type{kind, BindingTypeKind::None, nullptr};
    if constexpr (kind == BindingTypeKind::Vector || kind == BindingTypeKind::Map) {
        using E = typename std::conditional_t<detail::VectorTraits<U>::kIs, detail::VectorTraits<U>,
                                              detail::MapTraits<U>>::Element;
        type.elementKind = KindOf<E>();
        if constexpr (KindOf<E>() == BindingTypeKind::Enum || KindOf<E>() == BindingTypeKind::Struct) {
            type.descriptor = FindType<E>(registry);
        }
    } else if constexpr (kind == BindingTypeKind::Enum || kind == BindingTypeKind::Struct) {
        type.descriptor = FindType<U>(registry);
    }
    return type;
}

// Value to native by C++ type. Does nothing when the result has already failed; a
// record or primitive at the top needs a non-empty input.
template <class T>
void ToNative(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName,
              const TypeRegistry& registry) {
    if (!result.Ok()) return;
    detail::NativeFrom(result, native, input, targetName, ReferenceOf<T>(registry), registry);
}
// The same with the reference already known (as a function record holds it).
template <class T>
void ToNative(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName,
              const TypeReference& type, const TypeRegistry& registry) {
    detail::NativeFrom(result, native, input, targetName, type, registry);
}

// Native to value by C++ type; the result starts afresh.
template <class T>
void ToValue(BindingResult& result, const T& native, const TypeRegistry& registry) {
    detail::ValueFrom(result, native, ReferenceOf<T>(registry), registry);
}
template <class T>
void ToValue(BindingResult& result, const T& native, const TypeReference& type, const TypeRegistry& registry) {
    detail::ValueFrom(result, native, type, registry);
}

}  // namespace Vemi::Binding
