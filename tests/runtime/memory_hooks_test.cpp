// The allocation counters under threads that allocate and free through the real hooks,
// read the way a host reads them, while the figures move.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <kav/host_abi.h>

extern "C" void kav_probe_churn(uint32_t rounds, uint32_t seed);
extern "C" void kav_probe_stats(PluginMemoryStats* out);

namespace {

// What a host may rely on in any one reading.
std::string Inconsistency(const PluginMemoryStats& s) {
    if (s.peak_bytes > s.bytes_allocated) return "peak above the bytes ever allocated";
    if (s.bytes_freed > s.bytes_allocated) return "more bytes freed than allocated";
    if (s.peak_live_allocations > s.allocations) return "more blocks live at the peak than ever allocated";
    if (s.peak_bytes != 0 && s.peak_live_allocations == 0) return "a peak without a live block";
    return {};
}

PluginMemoryStats Read() {
    PluginMemoryStats s{};
    kav_probe_stats(&s);
    return s;
}

}  // namespace

TEST(MemoryHooks, FiguresStayConsistentWhileThreadsAllocate) {
    const PluginMemoryStats before = Read();
    std::atomic<bool> done{false};
    std::string firstProblem;
    uint64_t readings = 0;
    std::thread reader([&] {
        while (!done.load()) {
            const PluginMemoryStats s = Read();
            ++readings;
            if (firstProblem.empty()) firstProblem = Inconsistency(s);
        }
    });
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < 4; ++t) workers.emplace_back([t] { kav_probe_churn(20000, t); });
    for (auto& w : workers) w.join();
    done = true;
    reader.join();

    const PluginMemoryStats after = Read();
    EXPECT_EQ(firstProblem, "") << "after " << readings << " readings";
    EXPECT_EQ(Inconsistency(after), "");
    // Every block went back: only the totals grew.
    EXPECT_EQ(after.bytes_allocated - before.bytes_allocated, after.bytes_freed - before.bytes_freed);
    // Six blocks a round; a reallocation counts a free and an allocation, also of an
    // empty pointer.
    EXPECT_EQ(after.allocations - before.allocations, 4u * 20000u * 6u);
    EXPECT_EQ(after.frees - before.frees, 4u * 20000u * 7u);
    EXPECT_GE(after.peak_bytes, before.peak_bytes);
    EXPECT_LT(after.peak_bytes, uint64_t{1} << 32);
}
