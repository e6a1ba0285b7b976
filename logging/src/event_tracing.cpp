#include <kav/logging/event_tracing.h>

#include <mutex>

#include "lasting_mutex.h"
#include <kav/platform/platform.h>

namespace Vemi::EventTracing {

namespace {

constexpr Platform::Guid kGuids[kProviderCount] = {
    {0x2F9EFE86, 0x4AF7, 0x4F37, {0xA4, 0x0F, 0x94, 0xB9, 0x09, 0xA1, 0x57, 0xD6}},
    {0xEA08C559, 0x95A8, 0x4AA2, {0xAF, 0xA6, 0x18, 0x73, 0x8E, 0xEC, 0x6D, 0x37}},
    {0x10F6728C, 0xEF92, 0x4BF1, {0x83, 0x97, 0x49, 0xE6, 0x93, 0xA6, 0xEB, 0x74}},
    {0x46DD7F96, 0x60CB, 0x416B, {0x80, 0x85, 0xDA, 0x5C, 0xD8, 0xF4, 0x91, 0xDD}},
};

// The plugin writes only through the second provider; the others keep one
// class (two for the last) so that tools see them enabled by keyword.
constexpr EventClass kGeneralClasses[] = {{0, 0}};
constexpr EventClass kMainThreadClasses[] = {{0, 1}};
constexpr EventClass kDetailClasses[] = {{0, 1}, {0, 2}};

constinit TraceContext gContexts[kProviderCount] = {
    {0, false, 0, 0, 0, kGeneralClasses, 1, 0},
    {0, false, 0, 0, 0, kMainThreadClasses, 1, 0},
    {0, false, 0, 0, 0, kGeneralClasses, 1, 0},
    {0, false, 0, 0, 0, kDetailClasses, 2, 0},
};

struct TracingFunctions {
    Platform::LibraryHandle library;
    Platform::EventRegisterFunction eventRegister;
    Platform::EventWriteFunction eventWrite;
    Platform::EventUnregisterFunction eventUnregister;
};
constinit TracingFunctions gFunctions{};
// Users of the providers (Acquire minus Release); guarded by the registration lock.
constinit size_t gUsers = 0;

// Registration, unregistration and writing, one at a time. Never held by the enable
// callback, so the system may call it from inside EventRegister on this thread, and
// EventUnregister may wait for callbacks running on its threads.
struct RegistrationLockTag;
std::mutex& RegistrationLock() noexcept { return LastingMutex<RegistrationLockTag>(); }
// The trace contexts' fields, which the enable callback writes on a thread of the
// system's: on a 32-bit system a 64-bit mask is no single store.
struct ContextLockTag;
std::mutex& ContextLock() noexcept { return LastingMutex<ContextLockTag>(); }

constexpr Platform::EventDescriptor kMainThreadEvent{103, 0, 0, 0, 14, 2, 1};

bool ClassEnabled(const EventClass& c, const TraceContext& context) noexcept {
    bool levelOk = context.level == 0 || c.level <= context.level;
    bool keywordOk = c.keyword == 0 || ((c.keyword & context.matchAnyKeyword) != 0 &&
                                        (c.keyword & context.matchAllKeyword) == context.matchAllKeyword);
    return levelOk && keywordOk;
}

// Under the registration lock.
bool WriteMainThreadEventRegistered() noexcept {
    Platform::RegistrationHandle handle = 0;
    uint32_t enableBits = 0;
    {
        std::lock_guard guard(ContextLock());
        const TraceContext& context = gContexts[kMainThreadProvider];
        handle = context.handle;
        enableBits = context.enableBits;
    }
    if (gFunctions.eventWrite == nullptr || handle == 0 || (enableBits & 1u) == 0) return false;
    uint32_t threadId = Platform::CurrentThreadId();
    static constexpr char kText[] = "Main thread";
    Platform::EventDataDescriptor data[2] = {
        {reinterpret_cast<uintptr_t>(&threadId), sizeof threadId, 0},
        {reinterpret_cast<uintptr_t>(kText), sizeof kText, 0},
    };
    gFunctions.eventWrite(handle, &kMainThreadEvent, 2, data);
    return true;
}

// Under the registration lock.
size_t RegisterRegistered() noexcept {
    if (gFunctions.library == nullptr) {
        gFunctions.library = Platform::LoadLibrary(kLibraryName);
        if (gFunctions.library == nullptr) return 0;
        gFunctions.eventRegister =
            reinterpret_cast<Platform::EventRegisterFunction>(Platform::FindSymbol(gFunctions.library, "EventRegister"));
        gFunctions.eventWrite =
            reinterpret_cast<Platform::EventWriteFunction>(Platform::FindSymbol(gFunctions.library, "EventWrite"));
        gFunctions.eventUnregister = reinterpret_cast<Platform::EventUnregisterFunction>(
            Platform::FindSymbol(gFunctions.library, "EventUnregister"));
    }
    if (gFunctions.eventRegister == nullptr) return 0;
    size_t registered = 0;
    for (size_t i = 0; i < kProviderCount; ++i) {
        TraceContext& context = gContexts[i];
        if (context.handle != 0) continue;
        // The system may call the enable callback before this returns.
        Platform::RegistrationHandle handle = 0;
        if (gFunctions.eventRegister(&kGuids[i], &EnableCallback, &context, &handle) == 0 && handle != 0) {
            std::lock_guard guard(ContextLock());
            context.handle = handle;
            ++registered;
        }
    }
    WriteMainThreadEventRegistered();
    return registered;
}

// Under the registration lock.
void UnregisterRegistered() noexcept {
    for (size_t i = kProviderCount; i-- > 0;) {
        TraceContext& context = gContexts[i];
        Platform::RegistrationHandle handle = 0;
        {
            std::lock_guard guard(ContextLock());
            handle = context.handle;
            context.handle = 0;
        }
        // Without the context lock: the system waits here for callbacks in flight.
        if (handle != 0 && gFunctions.eventUnregister != nullptr) gFunctions.eventUnregister(handle);
    }
}

}  // namespace

const Platform::Guid& ProviderGuid(size_t index) noexcept { return kGuids[index < kProviderCount ? index : 0]; }

TraceContext& ProviderContext(size_t index) noexcept { return gContexts[index < kProviderCount ? index : 0]; }

TraceContext ProviderSnapshot(size_t index) noexcept {
    std::lock_guard guard(ContextLock());
    return ProviderContext(index);
}

void KAV_SYSTEM_CALL EnableCallback(const Platform::Guid*, uint32_t controlCode, uint8_t level, uint64_t matchAnyKeyword,
                    uint64_t matchAllKeyword, Platform::EventFilterDescriptor*, void* callbackContext) {
    auto* context = static_cast<TraceContext*>(callbackContext);
    if (context == nullptr) return;
    std::lock_guard guard(ContextLock());
    if (controlCode == Platform::kEventControlDisable) {
        context->enabled = false;
        context->level = 0;
        context->matchAnyKeyword = 0;
        context->matchAllKeyword = 0;
        context->enableBits = 0;
    } else if (controlCode == Platform::kEventControlEnable) {
        context->enabled = true;
        context->level = level;
        context->matchAnyKeyword = matchAnyKeyword;
        context->matchAllKeyword = matchAllKeyword;
        for (uint32_t i = 0; i < context->classCount && i < 32; ++i) {
            uint32_t bit = 1u << i;
            if (ClassEnabled(context->classes[i], *context)) {
                context->enableBits |= bit;
            } else {
                context->enableBits &= ~bit;
            }
        }
    }
}

size_t RegisterProviders() noexcept {
    std::lock_guard guard(RegistrationLock());
    return RegisterRegistered();
}

void UnregisterProviders() noexcept {
    std::lock_guard guard(RegistrationLock());
    UnregisterRegistered();
}

bool WriteMainThreadEvent() noexcept {
    std::lock_guard guard(RegistrationLock());
    return WriteMainThreadEventRegistered();
}

size_t Acquire() noexcept {
    std::lock_guard guard(RegistrationLock());
    if (gUsers++ != 0) return 0;
    return RegisterRegistered();
}

void Release() noexcept {
    std::lock_guard guard(RegistrationLock());
    if (gUsers == 0 || --gUsers != 0) return;
    UnregisterRegistered();
    Platform::FreeLibrary(gFunctions.library);
    gFunctions = TracingFunctions{};
}

namespace {

// A host that unloads the library without releasing its user must not leave the
// system a callback into unmapped code. Only the unregistration happens here: the
// tracing library itself is never loaded or freed while the loader lock is held.
struct UnloadGuard {
    ~UnloadGuard() {
        std::lock_guard guard(RegistrationLock());
        if (gUsers != 0) UnregisterRegistered();
    }
};
const UnloadGuard gUnloadGuard;

}  // namespace

}  // namespace Vemi::EventTracing
