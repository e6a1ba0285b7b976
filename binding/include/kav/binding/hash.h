// 32-bit FNV-1a text hash, shared by the value store, the type registry and the
// request dispatcher. Usable in constant expressions:
//   static_assert(Vemi::Binding::Fnv1a("") == 2166136261u);
#pragma once

#include <cstdint>
#include <string_view>

namespace Vemi::Binding {

inline constexpr uint32_t kFnvOffsetBasis = 2166136261u;
inline constexpr uint32_t kFnvPrime = 16777619u;

// Hashes every byte of the view.
[[nodiscard]] constexpr uint32_t Fnv1a(std::string_view text) noexcept {
    uint32_t hash = kFnvOffsetBasis;
    for (char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

// Hashes a NUL-terminated text; null hashes like "".
[[nodiscard]] constexpr uint32_t Fnv1a(const char* text) noexcept {
    uint32_t hash = kFnvOffsetBasis;
    for (; text != nullptr && *text != '\0'; ++text) {
        hash ^= static_cast<uint8_t>(*text);
        hash *= kFnvPrime;
    }
    return hash;
}

}  // namespace Vemi::Binding
