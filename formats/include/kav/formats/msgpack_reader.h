// MessagePack reader: the first MessagePack value of a byte array into one
// BindingValue, read iteratively (no recursion).
//
//   size_t consumed = 0;
//   BindingResult r = Vemi::Formats::DecodeMessagePack(bytes, size, &consumed);
//   if (r.Ok() && consumed != size) ...   // bytes after the value were not read
//
// Empty input is a successful empty value; input that ends inside an open map or
// array succeeds with the items read so far. Containers nest at most
// Binding::kMaxNestingDepth deep. Never throws for bad input.
#pragma once

#include <cstddef>
#include <string_view>

#include <kav/binding/value.h>

namespace Vemi::Formats {

// `consumed` (optional) receives the position reached: the end of the value, or
// the failure position.
[[nodiscard]] Binding::BindingResult DecodeMessagePack(const void* data, size_t length, size_t* consumed = nullptr);
[[nodiscard]] inline Binding::BindingResult DecodeMessagePack(std::string_view bytes, size_t* consumed = nullptr) {
    return DecodeMessagePack(bytes.data(), bytes.size(), consumed);
}

// True when the first byte is a map or array header (0x80-0x9F, 0xDC-0xDF).
[[nodiscard]] bool LooksLikeMessagePack(const void* data, size_t length) noexcept;

}  // namespace Vemi::Formats
