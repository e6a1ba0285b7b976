#include <kav/runtime/memory.h>

#include <atomic>
#include <thread>

#include <kav/platform/platform.h>

namespace Vemi::Memory {
namespace {

// Every allocation and free updates these together: one cache line holds them all, so
// that threads taking turns at the allocator move one line between them, not two.
struct alignas(64) Totals {
    std::atomic<uint64_t> bytesAllocated{0};
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> bytesFreed{0};
    std::atomic<uint64_t> frees{0};
    // Bytes allocated - bytes freed, and the blocks live, each kept in one word: two
    // totals read one after the other while other threads allocate and free can be from
    // different moments (a difference that wraps). A block's free always follows its
    // allocation, so neither word ever goes below zero.
    std::atomic<uint64_t> bytesInUse{0};
    std::atomic<uint64_t> liveBlocks{0};
    std::atomic<uint64_t> peakHint{0};  // gPeakBytes, readable without the lock
};
static_assert(sizeof(Totals) == 64);
Totals gTotals;

// The peak and the live blocks at that peak change together, under a spin lock taken
// only when the peak rises (a mutex could allocate on some platforms, from inside the
// allocation hooks).
std::atomic_flag gPeakLock = ATOMIC_FLAG_INIT;
uint64_t gPeakBytes = 0;
uint64_t gLiveAtPeak = 0;

class PeakGuard {
public:
    PeakGuard() noexcept {
        while (gPeakLock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~PeakGuard() { gPeakLock.clear(std::memory_order_release); }
    PeakGuard(const PeakGuard&) = delete;
    PeakGuard& operator=(const PeakGuard&) = delete;
};

// inUse and live are the values the caller's own update produced.
void UpdatePeak(uint64_t inUse, uint64_t live) noexcept {
    if (inUse <= gTotals.peakHint.load(std::memory_order_relaxed)) return;
    PeakGuard guard;
    if (inUse <= gPeakBytes) return;
    gPeakBytes = inUse;
    gLiveAtPeak = live;
    gTotals.peakHint.store(inUse, std::memory_order_relaxed);
}

}  // namespace

Counters Snapshot() noexcept {
    Counters c;
    {
        PeakGuard guard;
        c.peakBytes = gPeakBytes;
        c.liveAllocationsAtPeak = gLiveAtPeak;
    }
    // Frees before allocations, both after the peak: whatever a figure read first counts
    // was allocated before it and so is in the totals read after it.
    c.bytesFreed = gTotals.bytesFreed.load(std::memory_order_acquire);
    c.frees = gTotals.frees.load(std::memory_order_acquire);
    c.bytesAllocated = gTotals.bytesAllocated.load(std::memory_order_acquire);
    c.allocations = gTotals.allocations.load(std::memory_order_acquire);
    return c;
}

void RecordAllocation(void* block) noexcept {
    if (block == nullptr) return;
    const uint64_t size = Platform::HeapBlockSize(block);
    gTotals.bytesAllocated.fetch_add(size, std::memory_order_relaxed);
    gTotals.allocations.fetch_add(1, std::memory_order_relaxed);
    const uint64_t live = gTotals.liveBlocks.fetch_add(1, std::memory_order_acq_rel) + 1;
    UpdatePeak(gTotals.bytesInUse.fetch_add(size, std::memory_order_acq_rel) + size, live);
}

void RecordFree(void* block) noexcept {
    if (block == nullptr) return;
    RecordFreeOfSize(Platform::HeapBlockSize(block));
}

void RecordFreeOfSize(size_t blockSize) noexcept {
    gTotals.bytesInUse.fetch_sub(blockSize, std::memory_order_acq_rel);
    gTotals.liveBlocks.fetch_sub(1, std::memory_order_acq_rel);
    gTotals.bytesFreed.fetch_add(blockSize, std::memory_order_release);
    gTotals.frees.fetch_add(1, std::memory_order_release);
}

void RecordReallocation(void* old, size_t oldSize, void* moved) noexcept {
    const uint64_t newSize = moved != nullptr ? Platform::HeapBlockSize(moved) : 0;
    gTotals.bytesFreed.fetch_add(oldSize, std::memory_order_release);
    gTotals.frees.fetch_add(1, std::memory_order_release);
    if (moved != nullptr) {
        gTotals.bytesAllocated.fetch_add(newSize, std::memory_order_relaxed);
        gTotals.allocations.fetch_add(1, std::memory_order_relaxed);
    }
    // The blocks really live: an empty old pointer counts as a free in the totals, yet
    // frees no block, so allocations - frees would fall short and could go below zero.
    const uint64_t liveDelta = uint64_t{moved != nullptr} - uint64_t{old != nullptr};
    const uint64_t live = gTotals.liveBlocks.fetch_add(liveDelta, std::memory_order_acq_rel) + liveDelta;
    // One update of the bytes in use: a free then an allocation would show a dip.
    const uint64_t inUse = gTotals.bytesInUse.fetch_add(newSize - oldSize, std::memory_order_acq_rel) + (newSize - oldSize);
    if (moved != nullptr) UpdatePeak(inUse, live);
}

}  // namespace Vemi::Memory
