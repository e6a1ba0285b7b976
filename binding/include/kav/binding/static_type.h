// Process-wide identities of the native types that take part in binding: a 32-bit
// identifier (distinct per type, fixed at build time) and a display name.
//
//   // At global scope, with the type's fully qualified name:
//   KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::SequenceEvent, "struct");
//   KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::GameflowPhase, "enum");
//   KAV_STATIC_TYPE_ID(Vemi::PluginResourceEvent, 0xA54F35FD);            // fixed identifier
//   KAV_STATIC_TYPE_NAME_ID(Vemi::Resource, "struct", 0x063574AD);       // both
//
//   const StaticType& t = StaticType::Of<Vemi::Client::PreEndOfGame::Api::SequenceEvent>();
//   t.name == "const char *__cdecl StaticType::Name<struct Vemi::Client::PreEndOfGame::Api::SequenceEvent>(void)"
//   StaticType::Of<int32_t>().name   // "#%08X" of its identifier
//
// A declared name gives the identifier FNV-1a(qualified name) unless one is fixed; an
// undeclared type gets an identifier derived from the compiler's name for it and the
// "#%08X" display name. Identities are compared by identifier.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <kav/binding/hash.h>

namespace Vemi::Binding {

class BindingValue;

struct StaticType {
    uint32_t id;
    const char* name;  // display name

    template <class T>
    [[nodiscard]] static constexpr const StaticType& Of() noexcept;
    // The display name of T's identity.
    template <class T>
    [[nodiscard]] static constexpr const char* Name() noexcept {
        return Of<T>().name;
    }
    // The runtime's placeholder identity: never entered in a registry's identifier map.
    [[nodiscard]] static constexpr const StaticType& Placeholder() noexcept;

    friend constexpr bool operator==(const StaticType& a, const StaticType& b) noexcept { return a.id == b.id; }
};

// Specialised by the KAV_STATIC_TYPE_* macros.
template <class T>
struct StaticTypeTraits {
    static constexpr bool kDeclared = false;
};

namespace detail {

struct HexName {
    char text[10];
};

constexpr HexName MakeHexName(uint32_t id) noexcept {
    HexName name{};
    name.text[0] = '#';
    for (int i = 0; i < 8; ++i) name.text[1 + i] = "0123456789ABCDEF"[(id >> (28 - 4 * i)) & 0xF];
    name.text[9] = '\0';
    return name;
}

template <uint32_t Id>
inline constexpr HexName kHexName = MakeHexName(Id);

template <class T>
constexpr std::string_view CompilerTypeText() noexcept {
    return __PRETTY_FUNCTION__;
}

template <class T>
constexpr uint32_t IdentifierOf() noexcept {
    if constexpr (StaticTypeTraits<T>::kDeclared) return StaticTypeTraits<T>::kId;
    else return Fnv1a(CompilerTypeText<T>());
}

template <class T>
constexpr StaticType MakeStaticType() noexcept {
    constexpr uint32_t id = IdentifierOf<T>();
    if constexpr (StaticTypeTraits<T>::kDeclared) {
        if constexpr (StaticTypeTraits<T>::kName != nullptr) return {id, StaticTypeTraits<T>::kName};
        else return {id, kHexName<id>.text};
    } else {
        return {id, kHexName<id>.text};
    }
}

template <class T>
inline constexpr StaticType kStaticType = MakeStaticType<T>();

}  // namespace detail

template <class T>
constexpr const StaticType& StaticType::Of() noexcept {
    return detail::kStaticType<std::remove_cvref_t<T>>;
}

namespace detail {
struct PlaceholderType {};
}  // namespace detail

constexpr const StaticType& StaticType::Placeholder() noexcept { return Of<detail::PlaceholderType>(); }

}  // namespace Vemi::Binding

#define KAV_STATIC_TYPE_DECLARE_(Type, identifier, displayName) \
    template <>                                                 \
    struct Vemi::Binding::StaticTypeTraits<Type> {              \
        static constexpr bool kDeclared = true;                 \
        static constexpr uint32_t kId = (identifier);           \
        static constexpr const char* kName = displayName;       \
    }

// Named identity: "const char *__cdecl StaticType::Name<keyword Type>(void)".
#define KAV_STATIC_TYPE_NAME(Type, keyword)                           \
    KAV_STATIC_TYPE_DECLARE_(Type, ::Vemi::Binding::Fnv1a(#Type),     \
                             "const char *__cdecl StaticType::Name<" keyword " " #Type ">(void)")
#define KAV_STATIC_TYPE_NAME_ID(Type, keyword, identifier) \
    KAV_STATIC_TYPE_DECLARE_(Type, identifier, "const char *__cdecl StaticType::Name<" keyword " " #Type ">(void)")
// Fixed identifier, "#%08X" display name.
#define KAV_STATIC_TYPE_ID(Type, identifier) KAV_STATIC_TYPE_DECLARE_(Type, identifier, nullptr)

// Primitive types that fields are made of, with identifiers fixed by name.
KAV_STATIC_TYPE_ID(bool, ::Vemi::Binding::Fnv1a("bool"));
KAV_STATIC_TYPE_ID(int8_t, ::Vemi::Binding::Fnv1a("int8"));
KAV_STATIC_TYPE_ID(uint8_t, ::Vemi::Binding::Fnv1a("uint8"));
KAV_STATIC_TYPE_ID(int16_t, ::Vemi::Binding::Fnv1a("int16"));
KAV_STATIC_TYPE_ID(uint16_t, ::Vemi::Binding::Fnv1a("uint16"));
KAV_STATIC_TYPE_ID(int32_t, ::Vemi::Binding::Fnv1a("int32"));
KAV_STATIC_TYPE_ID(uint32_t, ::Vemi::Binding::Fnv1a("uint32"));
KAV_STATIC_TYPE_ID(int64_t, ::Vemi::Binding::Fnv1a("int64"));
KAV_STATIC_TYPE_ID(uint64_t, ::Vemi::Binding::Fnv1a("uint64"));
KAV_STATIC_TYPE_ID(float, ::Vemi::Binding::Fnv1a("float"));
KAV_STATIC_TYPE_ID(double, ::Vemi::Binding::Fnv1a("double"));
KAV_STATIC_TYPE_ID(std::string, ::Vemi::Binding::Fnv1a("string"));
KAV_STATIC_TYPE_ID(std::vector<uint8_t>, ::Vemi::Binding::Fnv1a("blob"));
KAV_STATIC_TYPE_ID(Vemi::Binding::BindingValue, ::Vemi::Binding::Fnv1a("object"));
