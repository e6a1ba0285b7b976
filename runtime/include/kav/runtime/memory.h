// Allocation accounting of the plugin library. Inside the shared library every
// malloc/free/realloc/calloc/strdup and every operator new/delete is routed through
// these counters (see allocation_hooks.cpp); the host process is never affected.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vemi::Memory {

struct Counters {
    uint64_t peakBytes = 0;              // most bytes in use at once
    uint64_t liveAllocationsAtPeak = 0;  // blocks live when the peak was taken
    uint64_t bytesAllocated = 0;
    uint64_t allocations = 0;
    uint64_t bytesFreed = 0;
    uint64_t frees = 0;
};

[[nodiscard]] Counters Snapshot() noexcept;

// Counting primitives: sizes are the heap's actual block sizes, not the requested ones.
void RecordAllocation(void* block) noexcept;     // null is ignored
void RecordFree(void* block) noexcept;           // null is ignored
void RecordFreeOfSize(size_t blockSize) noexcept;  // a block already gone
// A reallocation: a free of the old block (its size; an empty old pointer counts as a
// free of size 0) and an allocation of moved (null when old was freed, nothing allocated).
void RecordReallocation(void* old, size_t oldSize, void* moved) noexcept;


}  // namespace Vemi::Memory
