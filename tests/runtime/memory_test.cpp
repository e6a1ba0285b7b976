#include <kav/runtime/memory.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <kav/platform/platform.h>

using namespace Vemi;

namespace {
// What was counted between two snapshots: "allocations/bytes frees/bytes".
std::string Moved(const Memory::Counters& a, const Memory::Counters& b) {
    return std::to_string(b.allocations - a.allocations) + "/" + std::to_string(b.bytesAllocated - a.bytesAllocated) +
           " " + std::to_string(b.frees - a.frees) + "/" + std::to_string(b.bytesFreed - a.bytesFreed);
}
}  // namespace

TEST(MemoryAccounting, CountsActualBlockSizesAndRaisesThePeakOnlyOnAllocation) {
    auto before = Memory::Snapshot();
    void* a = std::malloc(10);
    void* b = std::malloc(1000);
    size_t sa = Platform::HeapBlockSize(a), sb = Platform::HeapBlockSize(b);
    ASSERT_GE(sa, 10u);
    Memory::RecordAllocation(a);
    Memory::RecordAllocation(b);
    auto mid = Memory::Snapshot();
    EXPECT_EQ(Moved(before, mid), "2/" + std::to_string(sa + sb) + " 0/0");
    EXPECT_GE(mid.peakBytes, sa + sb);
    uint64_t peak = mid.peakBytes;

    Memory::RecordFree(b);
    Memory::RecordFree(nullptr);
    Memory::RecordAllocation(nullptr);
    auto after = Memory::Snapshot();
    EXPECT_EQ(Moved(mid, after), "0/0 1/" + std::to_string(sb));
    EXPECT_EQ(after.peakBytes, peak);  // a free never moves the peak
    // A reallocation of an empty pointer: a free of size 0 and one allocation.
    Memory::RecordReallocation(nullptr, 0, b);
    auto last = Memory::Snapshot();
    EXPECT_EQ(Moved(after, last), "1/" + std::to_string(sb) + " 1/0");
    Memory::RecordFree(a);
    Memory::RecordFree(b);
    std::free(a);
    std::free(b);
}

TEST(MemoryAccounting, PeakRecordsLiveAllocationsAtThatMoment) {
    auto start = Memory::Snapshot();
    uint64_t inUse = start.bytesAllocated - start.bytesFreed;
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) {
        blocks.push_back(std::malloc(1 << 20));
        Memory::RecordAllocation(blocks.back());
    }
    auto peak = Memory::Snapshot();
    if (peak.peakBytes > start.peakBytes) {
        EXPECT_EQ(peak.peakBytes, peak.bytesAllocated - peak.bytesFreed);
        // The blocks really live: none but these five are counted and not freed here
        // (an empty-pointer reallocation counts a free that frees no block).
        EXPECT_EQ(peak.liveAllocationsAtPeak, 5u);
    }
    EXPECT_GE(peak.peakBytes, inUse + 5 * (1 << 20));
    for (void* b : blocks) {
        Memory::RecordFree(b);
        std::free(b);
    }
}

TEST(MemoryAccounting, ConcurrentUpdatesLoseNothing) {
    auto before = Memory::Snapshot();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 10000; ++i) {
                void* p = std::malloc(32);
                Memory::RecordAllocation(p);
                Memory::RecordFree(p);
                std::free(p);
            }
        });
    }
    for (auto& t : threads) t.join();
    auto after = Memory::Snapshot();
    const std::string bytes = std::to_string(after.bytesAllocated - before.bytesAllocated);
    EXPECT_EQ(Moved(before, after), "40000/" + bytes + " 40000/" + bytes);
}
