// Built twice on Linux: with the stand-in "Advapi32.dll" on the run path, and without it.
// On Windows "Advapi32.dll" is always the system's own (KAV_ADVAPI_SYSTEM).
#include <kav/logging/event_tracing.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include <kav/platform/platform.h>

using namespace Vemi;
using namespace Vemi::EventTracing;

namespace {
const char* const kGuids[] = {"2F9EFE86-4AF7-4F37-A40F-94B909A157D6", "EA08C559-95A8-4AA2-AFA6-18738EEC6D37",
                              "10F6728C-EF92-4BF1-8397-49E693A6EB74", "46DD7F96-60CB-416B-8085-DA5CD8F491DD"};
}  // namespace

#if KAV_ADVAPI_STANDIN || KAV_ADVAPI_SYSTEM
#define RULES_SUITE EventTracingRules
#else
#define RULES_SUITE EventTracingRulesWithoutLibrary
#endif

TEST(RULES_SUITE, EnableCallbackFollowsLevelAndKeywords) {
    static const EventClass kClasses[] = {{0, 0}, {3, 0}, {0, 1}, {0, 3}, {5, 2}};
    struct Case { uint32_t code; uint8_t level; uint64_t any, all; uint32_t bits; };
    const Case cases[] = {
        {Platform::kEventControlEnable, 0, 0, 0, 0b00011},        // level 0: every level; keywords need a match
        {Platform::kEventControlEnable, 2, ~0ull, 0, 0b01101},    // levels 3 and 5 are above 2
        {Platform::kEventControlEnable, 5, 1, 0, 0b01111},
        {Platform::kEventControlEnable, 5, 2, 0, 0b11011},
        {Platform::kEventControlCaptureState, 1, 0, 0, 0b11011},  // ignored: the previous state stays
        {Platform::kEventControlEnable, 5, 3, 3, 0b01011},        // all-mask 3: only keyword 3 holds both bits
        {Platform::kEventControlEnable, 5, 1, 2, 0b01011},        // keyword 1 matches any but not all
        {Platform::kEventControlDisable, 5, 3, 3, 0},
    };
    TraceContext context{0, false, 0, 0, 0, kClasses, 5, 0};
    for (const Case& c : cases) {
        EnableCallback(nullptr, c.code, c.level, c.any, c.all, nullptr, &context);
        EXPECT_EQ(context.enableBits, c.bits) << "code " << c.code << " level " << int(c.level) << " any " << c.any;
    }
    EXPECT_FALSE(context.enabled);
    EXPECT_EQ(context.level, 0);
    EXPECT_EQ(context.matchAnyKeyword | context.matchAllKeyword, 0u);
    EnableCallback(nullptr, Platform::kEventControlEnable, 7, 9, 8, nullptr, nullptr);  // no context: no effect
}

#if KAV_ADVAPI_STANDIN

namespace {

// The stand-in's own functions, found in the library the providers use. The test keeps
// the library loaded, so its journal outlives the providers' own use of it.
template <class Function>
Function Standin(const char* name) {
    static const Platform::LibraryHandle library = Platform::LoadLibrary(kLibraryName);
    return reinterpret_cast<Function>(Platform::FindSymbol(library, name));
}

std::string Journal() { return Standin<const char* (*)()>("StandinJournal")(); }

void SetEnable(uint32_t code, uint32_t level, uint64_t any, uint64_t all) {
    Standin<void (*)(uint32_t, uint32_t, uint64_t, uint64_t)>("StandinSetEnable")(code, level, any, all);
}

std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

TEST(EventTracingPresent, FirstUserRegistersInOrderAndWritesMainThreadLastUnregisters) {
    // Loading the library called nothing: the journal starts empty.
    EXPECT_EQ(Journal(), "");
    std::string expected;
    for (size_t i = 0; i < kProviderCount; ++i) {
        expected += "R " + std::string(kGuids[i]) + " " + Pointer(reinterpret_cast<void*>(&EnableCallback)) + " " +
                    Pointer(&ProviderContext(i)) + " " + std::to_string(100 + i) + "\n";
    }
    expected += "W 101 id=103 v=0 ch=0 lv=0 op=14 task=2 kw=1 [" + std::to_string(Platform::CurrentThreadId()) +
                "] 'Main thread\\0'\n";
    EXPECT_EQ(Acquire(), kProviderCount);
    EXPECT_EQ(Acquire(), 0u);  // a second user changes nothing
    EXPECT_EQ(Journal(), expected);
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(ProviderContext(i).handle, 0x100 + i);
    Release();
    EXPECT_EQ(Journal(), expected);
    Release();
    EXPECT_EQ(Journal(), expected + "U 103\nU 102\nU 101\nU 100\n");
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(ProviderContext(i).handle, 0u);
    Release();  // no user left: nothing
    EXPECT_FALSE(WriteMainThreadEvent());
}

TEST(EventTracingPresent, UnregistersInReverseOrderAndClearsHandles) {
    ASSERT_EQ(RegisterProviders(), kProviderCount);
    std::string expected;  // the stand-in numbers handles on from wherever it stands
    for (size_t i = kProviderCount; i-- > 0;) {
        char line[32];
        std::snprintf(line, sizeof line, "U %llx\n", static_cast<unsigned long long>(ProviderContext(i).handle));
        expected += line;
    }
    size_t mark = Journal().size();
    UnregisterProviders();
    UnregisterProviders();  // nothing left
    EXPECT_EQ(Journal().substr(mark), expected);
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(ProviderContext(i).handle, 0u);
    EXPECT_FALSE(WriteMainThreadEvent());
    EXPECT_EQ(RegisterProviders(), kProviderCount);
}

// The system calls the enable callback on a thread of its own while the plugin reads the
// context: every reader must see one notification whole, never half of two.
TEST(EventTracingPresent, ConcurrentEnableNotificationsAreSeenWhole) {
    TraceContext& context = ProviderContext(kMainThreadProvider);
    EnableCallback(nullptr, Platform::kEventControlEnable, 1, 0x0000000100000001ull, 0xFFFFFFFEFFFFFFFEull, nullptr,
                   &context);
    std::atomic<bool> started{false}, done{false};
    std::thread system([&] {
        started = true;
        for (uint32_t i = 0; i < 200000; ++i) {
            const uint64_t mask = i % 2 == 0 ? 0x0000000100000001ull : 0xFFFFFFFEFFFFFFFEull;
            EnableCallback(nullptr, Platform::kEventControlEnable, static_cast<uint8_t>(i % 2 + 1), mask, ~mask,
                           nullptr, &context);
        }
        done = true;
    });
    while (!started) std::this_thread::yield();
    size_t torn = 0;
    for (size_t i = 0; !done || i < 1000; ++i) {
        const TraceContext seen = ProviderSnapshot(kMainThreadProvider);
        if (i % 64 == 0) (void)WriteMainThreadEvent();
        const bool whole = seen.matchAllKeyword == ~seen.matchAnyKeyword &&
                           (seen.matchAnyKeyword == 0x0000000100000001ull ? seen.level == 1 : seen.level == 2);
        if (!whole) ++torn;
    }
    system.join();
    EXPECT_EQ(torn, 0u);
    EnableCallback(nullptr, Platform::kEventControlEnable, 4, 1, 0, nullptr, &context);
}

TEST(EventTracingPresent, MainThreadEventOnlyWhenItsClassIsEnabled) {
    struct Case { uint32_t code, level; uint64_t any, all; bool written; };
    const Case cases[] = {
        {99, 0, 0, 0, false},                                   // never enabled
        {Platform::kEventControlEnable, 4, 2, 0, false},        // keyword 1 not among the any-mask
        {Platform::kEventControlEnable, 0, 1, 1, true},         // level 0: any level
        {Platform::kEventControlDisable, 4, 1, 0, false},
        {Platform::kEventControlCaptureState, 4, 1, 0, false},  // not an enable
        {Platform::kEventControlEnable, 4, 1, 0, true},         // back to the stand-in's default
    };
    for (const Case& c : cases) {
        UnregisterProviders();
        EnableCallback(nullptr, Platform::kEventControlDisable, 0, 0, 0, nullptr, &ProviderContext(kMainThreadProvider));
        SetEnable(c.code, c.level, c.any, c.all);
        size_t mark = Journal().size();
        EXPECT_EQ(RegisterProviders(), kProviderCount);
        EXPECT_EQ(Journal().find("\nW ", mark) != std::string::npos, c.written) << "control code " << c.code;
    }
}

#elif KAV_ADVAPI_SYSTEM

TEST(EventTracingSystem, ProvidersRegisterWithTheSystemForTheirFirstUser) {
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(ProviderContext(i).handle, 0u) << "provider " << i;
    EXPECT_EQ(Acquire(), kProviderCount);
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_NE(ProviderContext(i).handle, 0u) << "provider " << i;
    UnregisterProviders();
    for (size_t i = 0; i < kProviderCount; ++i) EXPECT_EQ(ProviderContext(i).handle, 0u);
    EXPECT_FALSE(WriteMainThreadEvent());
    EXPECT_EQ(RegisterProviders(), kProviderCount);
}

TEST(EventTracingSystem, MainThreadEventIsWrittenOnceItsClassIsEnabled) {
    // Each test runs in a process of its own, and nothing registers at load.
    (void)Acquire();
    TraceContext& context = ProviderContext(kMainThreadProvider);
    ASSERT_NE(context.handle, 0u);
    // No trace session listens here: enable the class as a session's notification would.
    EnableCallback(nullptr, Platform::kEventControlEnable, 4, 1, 0, nullptr, &context);
    EXPECT_TRUE(WriteMainThreadEvent());
    EnableCallback(nullptr, Platform::kEventControlDisable, 0, 0, 0, nullptr, &context);
    EXPECT_FALSE(WriteMainThreadEvent());
    Release();
}

#else

namespace {
std::string GuidText(const Platform::Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1, g.data2, g.data3,
                  g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return text;
}
}  // namespace

TEST(EventTracingAbsent, WithoutTheLibraryNothingIsRegisteredOrWritten) {
    ASSERT_EQ(Platform::LoadLibrary(kLibraryName), nullptr) << "the stand-in must not be on this test's path";
    for (size_t i = 0; i < kProviderCount; ++i) {
        EXPECT_EQ(ProviderContext(i).handle, 0u);
        EXPECT_FALSE(ProviderContext(i).enabled);
        EXPECT_EQ(GuidText(ProviderGuid(i)), kGuids[i]);
    }
    EXPECT_EQ(RegisterProviders(), 0u);
    EXPECT_EQ(Acquire(), 0u);
    EXPECT_FALSE(WriteMainThreadEvent());
    UnregisterProviders();
    Release();
}

#endif
