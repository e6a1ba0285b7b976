// Equality of two short byte ranges, and the search for a NUL, without a library
// call: member names and most interned strings are a few bytes long, and the call
// costs more than the work. Reads only inside the ranges given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Vemi::Binding::detail {

template <class Word>
[[nodiscard]] inline Word LoadWord(const char* p) noexcept {
    Word v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Two words that overlap when n < 2 * sizeof(Word) cover every byte of [p, p + n).
template <class Word>
[[nodiscard]] inline bool SameWords(const char* a, const char* b, size_t n) noexcept {
    constexpr size_t k = sizeof(Word);
    return ((LoadWord<Word>(a) ^ LoadWord<Word>(b)) | (LoadWord<Word>(a + n - k) ^ LoadWord<Word>(b + n - k))) == 0;
}

template <class Word>
[[nodiscard]] inline bool WordsHoldNoNul(const char* p, size_t n) noexcept {
    constexpr Word kOnes = static_cast<Word>(~Word{0} / 0xFF);
    constexpr Word kHighs = static_cast<Word>(kOnes * 0x80);
    const Word a = LoadWord<Word>(p);
    const Word b = LoadWord<Word>(p + n - sizeof(Word));
    return ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) == 0;
}

[[nodiscard]] inline bool SameBytes(const char* a, const char* b, size_t n) noexcept {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return SameWords<uint64_t>(a, b, n);
    if (n >= 4) return SameWords<uint32_t>(a, b, n);
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
        if (WordsHoldNoNul<uint64_t>(p, n)) return text;
    } else if (n >= 4 && n < 8) {
        if (WordsHoldNoNul<uint32_t>(p, n)) return text;
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
