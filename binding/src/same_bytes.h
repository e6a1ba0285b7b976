// Equality of two short byte ranges without a library call: member names and
// most interned strings are a few bytes long, and the call costs more than the
// comparison. Reads only inside both ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Vemi::Binding::detail {

[[nodiscard]] inline bool SameBytes(const char* a, const char* b, size_t n) noexcept {
    const auto load8 = [](const char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    };
    const auto load4 = [](const char* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    if (n >= 8) {
        if (n > 16) return std::memcmp(a, b, n) == 0;
        // Two loads that overlap when n < 16 cover every byte.
        return ((load8(a) ^ load8(b)) | (load8(a + n - 8) ^ load8(b + n - 8))) == 0;
    }
    if (n >= 4) return ((load4(a) ^ load4(b)) | (load4(a + n - 4) ^ load4(b + n - 4))) == 0;
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// The text up to its first NUL (most texts have none: checked a word at a time).
[[nodiscard]] inline std::string_view UpToNul(std::string_view text) noexcept {
    const size_t n = text.size();
    const char* p = text.data();
    if (n >= 8 && n <= 16) {
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        constexpr uint64_t kHighs = 0x8080808080808080ull;
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + n - 8, 8);
        if (((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) == 0) return text;
    } else if (n >= 4 && n < 8) {
        constexpr uint32_t kOnes = 0x01010101u;
        constexpr uint32_t kHighs = 0x80808080u;
        uint32_t a;
        uint32_t b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        if (((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) == 0) return text;
    } else if (n < 4) {
        for (size_t i = 0; i < n; ++i) {
            if (p[i] == '\0') return text.substr(0, i);
        }
        return text;
    }
    const void* nul = n == 0 ? nullptr : std::memchr(p, '\0', n);
    return nul == nullptr ? text : text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - p));
}

}  // namespace Vemi::Binding::detail
