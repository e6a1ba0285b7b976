// The process-wide supply of 4096-byte pages that every tree's pools draw on.
//
//   void* page = PageSupply::Take();     // throws std::bad_alloc when none can be had
//   PageSupply::Return(page);
//   PageSupply::Maintain();              // off the hot path: lets idle regions decay
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
// long again unmapped. This is checked when a region enters the reserve, when a new
// one is mapped and at each Maintain, and each such visit handles at most
// kDecayBatch regions, so no caller pays for a whole reserve at once. The reserve
// holds at most kMaxReservedRegions; ReleaseReserve gives all of it back at once
// (plugin shutdown).
class PageSupply {
public:
    static constexpr size_t kPagesPerRegion = 16;
    static constexpr size_t kMaxReservedRegions = 256;  // 16 MiB
    static constexpr uint64_t kDecayMilliseconds = 1000;
    static constexpr size_t kDecayBatch = 4;  // regions discarded or unmapped per visit

    // A page aligned to 4096 bytes; throws std::bad_alloc when no region can be had.
    [[nodiscard]] static void* Take();
    // Hands back a page obtained from Take.
    static void Return(void* page) noexcept;
    // Unmaps every wholly free region kept in the reserve.
    static void ReleaseReserve() noexcept;
    // Decays up to kDecayBatch idle regions whose time has come. For points off the
    // hot path (request completion, the host's memory-stats call): with nothing in
    // the reserve it reads one word; with nothing due, the clock and no lock.
    static void Maintain() noexcept;

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

    // Tests and fuzzers: asked before each page is taken and each heap block of the
    // value store is allocated; true makes that allocation fail as exhaustion does.
    // Null (the default) never fails. Answers the hook it replaced.
    using FailureHook = bool (*)() noexcept;
    static FailureHook SetFailureHook(FailureHook hook) noexcept;
    // The hook's answer for the allocation about to be made (false without one).
    [[nodiscard]] static bool InjectedFailure() noexcept;
};

}  // namespace Vemi::Binding
