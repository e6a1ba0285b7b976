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
// gets a converter made for its native type. The machinery is in detail/typed_impl.h.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <kav/binding/detail/typed_impl.h>
#include <kav/binding/registry.h>
#include <kav/binding/static_type.h>
#include <kav/binding/type.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

// The binding kind of a native type (an optional has the kind of what it holds).
template <class T>
[[nodiscard]] constexpr BindingTypeKind KindOf() noexcept {
    return detail::NativeKind<T>();
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

// Registers T, which has a Describe function (DescribedRecord or DescribedEnum),
// under namePrefix + its own name (a type of that name already present keeps its
// first registration) and answers its descriptor, or null when that name
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

// The registered descriptor of T, or null.
template <class T>
[[nodiscard]] const TypeDescriptor* FindType(const TypeRegistry& registry) {
    return registry.FindType(StaticType::Of<T>());
}

// The reference of native type T, with the descriptor of an enum or struct (or of the
// element type of a vector or map) looked up in the registry.
template <class T>
[[nodiscard]] TypeReference ReferenceOf(const TypeRegistry& registry) {
    static_assert(KindOf<T>() != BindingTypeKind::None, "not a bindable type");
    return detail::FoundReference<T>(registry);
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
