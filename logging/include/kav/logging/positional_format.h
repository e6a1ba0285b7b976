// PositionalFormat: messages with numbered arguments ("%1", "%2$08x") whose
// types travel with them, so a directive never reads a value as the wrong type.
//
// Supported arguments: int32_t, uint32_t, int64_t, uint64_t (and the other
// integer types of those sizes), char, double, const char*, char arrays,
// std::string, std::string_view, and any type T for which a function
//     size_t PositionalText(const T& value, char* buffer, size_t size)
// is found by argument-dependent lookup. That function writes the value's text
// form (NUL-terminated, at most size - 1 characters) and answers its length;
// the text is then printed like a string.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace Vemi {

inline constexpr size_t kPositionalFormatBufferSize = 4096;

namespace PositionalFormatDetail {

enum class ArgumentKind : uint8_t { Int32, UInt32, Int64, UInt64, Char, Double, CString, Chars, TextForm };

using TextFormWriter = size_t (*)(const void* value, char* buffer, size_t size);

struct Argument {
    ArgumentKind kind;
    union {
        int64_t signedValue;
        uint64_t unsignedValue;
        double doubleValue;
    };
    const char* data = nullptr;  // CString: NUL-terminated; Chars: `size` characters
    size_t size = 0;
    const void* object = nullptr;  // TextForm
    TextFormWriter writer = nullptr;
};

[[nodiscard]] std::string Format(const char* format, const Argument* arguments, size_t count);

template <class T>
concept HasTextForm = requires(const T& value, char* buffer, size_t size) {
    { PositionalText(value, buffer, size) } -> std::convertible_to<size_t>;
};

template <class T>
size_t WriteTextForm(const void* value, char* buffer, size_t size) {
    return PositionalText(*static_cast<const T*>(value), buffer, size);
}

template <class T>
Argument MakeArgument(const T& value) noexcept {
    using U = std::remove_cv_t<T>;
    Argument a{};
    if constexpr (std::is_same_v<U, char>) {
        a.kind = ArgumentKind::Char;
        a.signedValue = static_cast<signed char>(value);  // widened with its sign
    } else if constexpr (std::is_same_v<U, bool>) {
        static_assert(sizeof(T) == 0, "PositionalFormat takes no bool; pass an integer or a text");
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U> && sizeof(U) <= 4) {
        a.kind = ArgumentKind::Int32;
        a.signedValue = value;
    } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U> && sizeof(U) <= 4) {
        a.kind = ArgumentKind::UInt32;
        a.unsignedValue = value;
    } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U> && sizeof(U) == 8) {
        a.kind = ArgumentKind::Int64;
        a.signedValue = value;
    } else if constexpr (std::is_integral_v<U> && std::is_unsigned_v<U> && sizeof(U) == 8) {
        a.kind = ArgumentKind::UInt64;
        a.unsignedValue = value;
    } else if constexpr (std::is_floating_point_v<U>) {
        a.kind = ArgumentKind::Double;
        a.doubleValue = static_cast<double>(value);
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        a.kind = ArgumentKind::CString;
        a.data = value;
    } else if constexpr (std::is_array_v<U> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<U>>, char>) {
        a.kind = ArgumentKind::Chars;
        a.data = value;
        const void* end = std::memchr(value, '\0', std::extent_v<U>);
        a.size = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - value) : std::extent_v<U>;
    } else if constexpr (HasTextForm<U>) {
        a.kind = ArgumentKind::TextForm;
        a.object = &value;
        a.writer = &WriteTextForm<U>;
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        std::string_view text = value;
        a.kind = ArgumentKind::Chars;
        a.data = text.data();
        a.size = text.size();
    } else {
        static_assert(sizeof(T) == 0, "PositionalFormat: unsupported argument type");
    }
    return a;
}

}  // namespace PositionalFormatDetail

// The message, at most 4095 characters. A malformed directive, a position
// beyond the arguments, a width taken from a non-integer or a directive the C
// library refuses (a width or precision of 2^31 or more) ends it early.
template <class... Args>
[[nodiscard]] std::string PositionalFormat(const char* format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return PositionalFormatDetail::Format(format, nullptr, 0);
    } else {
        const PositionalFormatDetail::Argument arguments[] = {PositionalFormatDetail::MakeArgument(args)...};
        return PositionalFormatDetail::Format(format, arguments, sizeof...(Args));
    }
}

}  // namespace Vemi
