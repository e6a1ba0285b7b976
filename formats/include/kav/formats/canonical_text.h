// CanonicalText: one line that shows a value's kinds exactly, for tools and tests.
//
//   empty  bool:true  signed:-5  unsigned:5  float:1.5 (printf "%.17g")
//   string:"a\"b\n" (JSON escapes; other bytes below 0x20 as \u00xx)  blob:0aff
//   enum:3  [item, item]  {"name": value, "other": value} (the structure's order)
//
// Walks with an explicit stack, so any depth is safe.
#pragma once

#include <string>

#include <kav/binding/value.h>

namespace Vemi::Formats {

[[nodiscard]] std::string CanonicalText(const Binding::BindingValue& value);

}  // namespace Vemi::Formats
