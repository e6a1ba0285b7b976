// JSON reader: one JSON text into one BindingValue.
//
//   BindingResult r = Vemi::Formats::DecodeJson(R"({"a": [1, -2, 1.5]})");
//   r.value.GetMember("a").GetElement(1).AsSigned();   // -2
//   DecodeJson("[1,]").ErrorMessage();   // "Error: Invalid value. at offset 3."
//
// The text ends at its first NUL byte (the sized form never reads past `length`
// either). Empty or all-whitespace input is a successful empty value. Containers
// nest at most Binding::kMaxNestingDepth deep. Never throws for bad input.
#pragma once

#include <cstddef>
#include <string_view>

#include <kav/binding/value.h>

namespace Vemi::Formats {

[[nodiscard]] Binding::BindingResult DecodeJson(const char* text);
[[nodiscard]] Binding::BindingResult DecodeJson(const char* data, size_t length);
[[nodiscard]] inline Binding::BindingResult DecodeJson(std::string_view text) {
    return DecodeJson(text.data(), text.size());
}

}  // namespace Vemi::Formats
