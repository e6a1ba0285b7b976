// Limits shared by everything that builds or walks value trees (readers, the host
// value rule, the conversion to host values).
#pragma once

#include <cstddef>

namespace Vemi::Binding {

// Deepest nesting of containers that is read or converted. Deeper input fails with a
// message instead of exhausting the call stack; the value store itself allows more.
inline constexpr size_t kMaxNestingDepth = 512;

}  // namespace Vemi::Binding
