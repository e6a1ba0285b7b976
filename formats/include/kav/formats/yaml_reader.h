// YAML reader: one YAML document into one BindingValue, through libyaml's events.
//
//   BindingResult r = Vemi::Formats::DecodeYaml("a: 1\nb: [x, ~]\n");
//   r.value.GetMember("a").AsUnsigned();   // 1
//
// Plain scalars resolve to null, numbers (strtod), bool words or strings; quoted
// scalars stay strings; !!str, !!int, !!float and !!bool are honoured. The sized
// forms read exactly `length` bytes: a NUL among them is a parser error, as libyaml
// refuses control characters; the NUL-terminated form ends at its NUL. Containers nest
// at most Binding::kMaxNestingDepth deep, and aliases copy at most
// max(100000, 10 * input bytes) values in total. Never throws for bad input.
#pragma once

#include <cstddef>
#include <string_view>

#include <kav/binding/value.h>

namespace Vemi::Formats {

[[nodiscard]] Binding::BindingResult DecodeYaml(const char* text);
[[nodiscard]] Binding::BindingResult DecodeYaml(const char* data, size_t length);
[[nodiscard]] inline Binding::BindingResult DecodeYaml(std::string_view text) {
    return DecodeYaml(text.data(), text.size());
}

// The most values all aliases of one document may copy.
[[nodiscard]] constexpr size_t YamlAliasBudget(size_t inputBytes) noexcept {
    constexpr size_t kFloor = 100000;
    return inputBytes > kFloor / 10 ? inputBytes * 10 : kFloor;
}

}  // namespace Vemi::Formats
