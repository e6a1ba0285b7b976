// What every fuzz target does with a decoded value: the walks that callers run.
#pragma once

#include <string>

#include <kav/binding/value.h>
#include <kav/formats/canonical_text.h>

namespace Vemi::Formats::Fuzz {

inline void Walk(Binding::BindingResult& result) {
    const std::string text = CanonicalText(result.value);
    if (text.empty()) __builtin_trap();
    Binding::BindingValue copy = result.value;
    if (CanonicalText(copy) != text) __builtin_trap();
    if (!result.Ok() && result.ErrorMessage()[0] == '\0') __builtin_trap();
    result.value.Reset();
}

}  // namespace Vemi::Formats::Fuzz
