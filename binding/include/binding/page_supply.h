// The process-wide supply of 4096-byte pages that every tree's pools draw on.
//
//   void* page = PageSupply::Take();     // throws std::bad_alloc when none can be had
//   PageSupply::Return(page);
//   PageSupply::ReleaseReserve();        // plugin shutdown: the reserve goes back
//
// Thread-safe: one lock, taken per page, never per block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vemi::Binding {

inline constexpr size_t kPageSize = 4096;

// 4096-byte pages cut from 64 KiB regions of the operating system. A region whose
// sixteen pages have all come back joins a reserve with no system call and serves
// the next pages asked for. A region left unused in the reserve for
// kDecayMilliseconds is discarded (the system may reclaim its memory), and after as
// long again unmapped; this is checked only when a region enters the reserve or a
// new one is mapped. The reserve holds at most kMaxReservedRegions; ReleaseReserve
// gives all of it back at once (plugin shutdown).
class PageSupply {
public:
    static constexpr size_t kPagesPerRegion = 16;
    static constexpr size_t kMaxReservedRegions = 256;  // 16 MiB
    static constexpr uint64_t kDecayMilliseconds = 1000;

    // A page aligned to 4096 bytes; throws std::bad_alloc when no region can be had.
    [[nodiscard]] static void* Take();
    // Hands back a page obtained from Take.
    static void Return(void* page) noexcept;
    // Unmaps every wholly free region kept in the reserve.
    static void ReleaseReserve() noexcept;

    // Pages handed out and not returned, and regions currently reserved.
    [[nodiscard]] static size_t PagesInUse() noexcept;
    [[nodiscard]] static size_t RegionsInUse() noexcept;      // regions with a page in use
    [[nodiscard]] static size_t RegionsReserved() noexcept;   // wholly free, kept or discarded
    [[nodiscard]] static size_t RegionsDiscarded() noexcept;  // of those, discarded

    // Region calls made to the system since the process started.
    struct Counters {
        uint64_t mapped = 0;
        uint64_t discarded = 0;
        uint64_t unmapped = 0;
    };
    [[nodiscard]] static Counters RegionCounters() noexcept;

    // Milliseconds of a monotonic clock. Tests replace it; null restores the
    // platform's. Answers the clock it replaced.
    using Clock = uint64_t (*)() noexcept;
    static Clock SetClock(Clock clock) noexcept;
};

}  // namespace Vemi::Binding
