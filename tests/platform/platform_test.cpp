#include <kav/platform/platform.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

using namespace Vemi::Platform;

namespace {
// What each system calls this program and the C library that has cos.
#ifdef _WIN32
constexpr const char* kProgramName = "platform_test.exe";
constexpr const char* kMathLibrary = "msvcrt.dll";
constexpr const char* kMissingLibrary = "no-such-library-kav.dll";
#else
constexpr const char* kProgramName = "platform_test";
constexpr const char* kMathLibrary = "libm.so.6";
constexpr const char* kMissingLibrary = "no-such-library-kav.so";
#endif
}  // namespace

TEST(Platform, RecursiveLockReentersOnOneThreadAndExcludesOthers) {
    RecursiveLock lock;
    lock.lock();
    ASSERT_TRUE(lock.try_lock());
    std::atomic<bool> other{true};
    std::thread([&] { other = lock.try_lock(); }).join();
    EXPECT_FALSE(other);
    lock.unlock();
    lock.unlock();
    std::thread([&] {
        other = lock.try_lock();
        if (other) lock.unlock();
    }).join();
    EXPECT_TRUE(other);
}

TEST(Platform, LocalTimeFieldsAreInRange) {
    LocalTime t = GetLocalTime();
    EXPECT_GE(t.year, 2020);
    EXPECT_TRUE(t.month >= 1 && t.month <= 12);
    EXPECT_TRUE(t.day >= 1 && t.day <= 31);
    EXPECT_TRUE(t.hour >= 0 && t.hour <= 23);
    EXPECT_TRUE(t.minute >= 0 && t.minute <= 59);
    EXPECT_TRUE(t.second >= 0 && t.second <= 60);
    EXPECT_TRUE(t.millisecond >= 0 && t.millisecond <= 999);
}

TEST(Platform, CountersAdvance) {
    uint64_t a = QueryPerformanceCounter();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    uint64_t b = QueryPerformanceCounter();
    EXPECT_GT(b, a);
    EXPECT_GE((b - a) * 1000 / QueryPerformanceFrequency(), 1u);
    // 2020-01-01 is 132223104000000000 ticks after 1601-01-01.
    EXPECT_GT(SystemTimeTicks(), 132223104000000000ull);
}

TEST(Platform, ThreadIdsDifferBetweenThreads) {
    uint32_t mine = CurrentThreadId();
    uint32_t theirs = 0;
    std::thread([&] { theirs = CurrentThreadId(); }).join();
    EXPECT_NE(mine, 0u);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(mine, CurrentThreadId());
}

TEST(Platform, ExecutablePathNamesThisTestAndTruncates) {
    char path[1024];
    size_t n = ExecutablePath(path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::strlen(path), n);
    const char* name = std::strrchr(path, kPathSeparator);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name + 1, kProgramName);

    char small[5];
    EXPECT_EQ(ExecutablePath(small, sizeof small), 4u);
    EXPECT_EQ(std::strlen(small), 4u);
    EXPECT_EQ(ExecutablePath(nullptr, 10), 0u);
}

TEST(Platform, RegionsAreAlignedWritableAndReleased) {
    void* regions[4];
    for (void*& r : regions) {
        r = ReserveRegion();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % 4096, 0u);
        std::memset(r, 0xAB, kRegionSize);
    }
    EXPECT_EQ(static_cast<unsigned char*>(regions[3])[kRegionSize - 1], 0xAB);
    // A discarded region keeps its address and stays writable; its old bytes may be gone.
    DiscardRegion(regions[0]);
    DiscardRegion(nullptr);
    auto* bytes = static_cast<unsigned char*>(regions[0]);
    EXPECT_TRUE(bytes[100] == 0xAB || bytes[100] == 0);
    std::memset(bytes, 0x5A, kRegionSize);
    EXPECT_EQ(bytes[kRegionSize - 1], 0x5A);
    for (void* r : regions) ReleaseRegion(r);
    ReleaseRegion(nullptr);
}

TEST(Platform, LibraryLookup) {
    LibraryHandle libm = LoadLibrary(kMathLibrary);
    ASSERT_NE(libm, nullptr);
    auto cosine = reinterpret_cast<double (*)(double)>(FindSymbol(libm, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(FindSymbol(libm, "no_such_symbol_here"), nullptr);
    FreeLibrary(libm);

    EXPECT_EQ(LoadLibrary(kMissingLibrary), nullptr);
    EXPECT_EQ(LoadLibrary(nullptr), nullptr);
    EXPECT_EQ(FindSymbol(nullptr, "cos"), nullptr);
    FreeLibrary(nullptr);
    DebuggerConsoleWrite("discarded\n");
}
