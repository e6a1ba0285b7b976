// The plugin's Event Tracing for Windows providers. They are registered when the
// plugin's runtime is made (the host's call of the export) and unregistered when the
// last one is destroyed (Shutdown): never from a static initialiser or destructor,
// where Windows holds its loader lock and loading or freeing a library may deadlock.
#pragma once

#include <cstddef>
#include <cstdint>

#include <kav/platform/event_tracing.h>

namespace Vemi::EventTracing {

inline constexpr size_t kProviderCount = 4;
inline constexpr const char* kLibraryName = "Advapi32.dll";
// Index of the provider that carries the "Main thread" event.
inline constexpr size_t kMainThreadProvider = 1;

struct EventClass {
    uint8_t level;     // 0: any level
    uint64_t keyword;  // 0: any keyword
};

// One per provider; the enable callback keeps it current.
struct TraceContext {
    Platform::RegistrationHandle handle;
    bool enabled;
    uint8_t level;
    uint64_t matchAnyKeyword;
    uint64_t matchAllKeyword;
    const EventClass* classes;
    uint32_t classCount;
    uint32_t enableBits;  // bit n: event class n is enabled
};

[[nodiscard]] const Platform::Guid& ProviderGuid(size_t index) noexcept;
[[nodiscard]] TraceContext& ProviderContext(size_t index) noexcept;
// A copy taken under the lock the enable callback writes under.
[[nodiscard]] TraceContext ProviderSnapshot(size_t index) noexcept;

// The callback registered with every provider; the context is its TraceContext.
void KAV_SYSTEM_CALL EnableCallback(const Platform::Guid* sourceId, uint32_t controlCode, uint8_t level, uint64_t matchAnyKeyword,
                    uint64_t matchAllKeyword, Platform::EventFilterDescriptor* filterData, void* context);

// Looks the functions up, registers the providers in order and writes the
// "Main thread" event when its class is enabled. Answers the providers registered.
size_t RegisterProviders() noexcept;
// Unregisters in reverse order and clears the handles.
void UnregisterProviders() noexcept;
// Writes event 103 with the calling thread's id; false when it was not written.
bool WriteMainThreadEvent() noexcept;

// One user more: the first loads the tracing library and registers the providers
// (answering how many); the others change nothing and answer 0.
size_t Acquire() noexcept;
// One user less: the last unregisters the providers and frees the library.
void Release() noexcept;

}  // namespace Vemi::EventTracing
