// Counts calls to the general allocator (malloc, calloc, realloc) in a benchmark
// executable that links allocation_counter.cpp.
#pragma once

#include <cstdint>

namespace Vemi::Bench {

[[nodiscard]] uint64_t AllocationCount() noexcept;

}  // namespace Vemi::Bench
