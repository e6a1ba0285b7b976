#include "runtime/memory.h"

#include <atomic>

#include "platform/platform.h"

namespace Vemi::Memory {
namespace {

std::atomic<uint64_t> gPeakBytes{0};
std::atomic<uint64_t> gLiveAtPeak{0};
std::atomic<uint64_t> gBytesAllocated{0};
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gBytesFreed{0};
std::atomic<uint64_t> gFrees{0};

// The peak is checked after allocations only, never after a free.
void UpdatePeak() noexcept {
    uint64_t inUse = gBytesAllocated.load(std::memory_order_relaxed) - gBytesFreed.load(std::memory_order_relaxed);
    uint64_t peak = gPeakBytes.load(std::memory_order_relaxed);
    while (inUse > peak) {
        if (gPeakBytes.compare_exchange_weak(peak, inUse, std::memory_order_relaxed)) {
            gLiveAtPeak.store(gAllocations.load(std::memory_order_relaxed) - gFrees.load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
            break;
        }
    }
}

}  // namespace

Counters Snapshot() noexcept {
    Counters c;
    c.peakBytes = gPeakBytes.load(std::memory_order_relaxed);
    c.liveAllocationsAtPeak = gLiveAtPeak.load(std::memory_order_relaxed);
    c.bytesAllocated = gBytesAllocated.load(std::memory_order_relaxed);
    c.allocations = gAllocations.load(std::memory_order_relaxed);
    c.bytesFreed = gBytesFreed.load(std::memory_order_relaxed);
    c.frees = gFrees.load(std::memory_order_relaxed);
    return c;
}

void RecordAllocation(void* block) noexcept {
    if (block == nullptr) return;
    gBytesAllocated.fetch_add(Platform::HeapBlockSize(block), std::memory_order_relaxed);
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    UpdatePeak();
}

void RecordFree(void* block) noexcept {
    if (block == nullptr) return;
    RecordFreeOfSize(Platform::HeapBlockSize(block));
}

void RecordFreeOfSize(size_t blockSize) noexcept {
    gBytesFreed.fetch_add(blockSize, std::memory_order_relaxed);
    gFrees.fetch_add(1, std::memory_order_relaxed);
}


}  // namespace Vemi::Memory
