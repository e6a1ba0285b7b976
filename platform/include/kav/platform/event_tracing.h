// Records and function types of Event Tracing for Windows, laid out as the
// system's own (Advapi32's EventRegister/EventWrite/EventUnregister), so the
// functions can be looked up at run time without any OS header.
#pragma once

#include <cstddef>
#include <cstdint>

// The system's calling convention for these functions and the enable callback
// (WINAPI): it differs from the C one only on 32-bit Windows.
#if defined(_WIN32) && !defined(_WIN64)
#define KAV_SYSTEM_CALL __stdcall
#else
#define KAV_SYSTEM_CALL
#endif

namespace Vemi::Platform {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

struct EventDescriptor {
    uint16_t id;
    uint8_t version;
    uint8_t channel;
    uint8_t level;
    uint8_t opcode;
    uint16_t task;
    uint64_t keyword;
};

struct EventDataDescriptor {
    uint64_t ptr;  // address of the item
    uint32_t size;
    uint32_t reserved;
};

struct EventFilterDescriptor {
    uint64_t ptr;
    uint32_t size;
    uint32_t type;
};

using RegistrationHandle = uint64_t;

// Control codes passed to the enable callback.
inline constexpr uint32_t kEventControlDisable = 0;
inline constexpr uint32_t kEventControlEnable = 1;
inline constexpr uint32_t kEventControlCaptureState = 2;

using EventEnableCallback = void(KAV_SYSTEM_CALL*)(const Guid* sourceId, uint32_t controlCode, uint8_t level,
                                     uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                                     EventFilterDescriptor* filterData, void* callbackContext);
using EventRegisterFunction = uint32_t(KAV_SYSTEM_CALL*)(const Guid* providerId, EventEnableCallback callback,
                                           void* callbackContext, RegistrationHandle* handle);
using EventWriteFunction = uint32_t(KAV_SYSTEM_CALL*)(RegistrationHandle handle, const EventDescriptor* descriptor,
                                        uint32_t dataCount, EventDataDescriptor* data);
using EventUnregisterFunction = uint32_t(KAV_SYSTEM_CALL*)(RegistrationHandle handle);

static_assert(sizeof(Guid) == 16);
static_assert(sizeof(EventDescriptor) == 16 && offsetof(EventDescriptor, task) == 6 &&
              offsetof(EventDescriptor, keyword) == 8);
static_assert(sizeof(EventDataDescriptor) == 16 && offsetof(EventDataDescriptor, size) == 8);
static_assert(sizeof(EventFilterDescriptor) == 16);

}  // namespace Vemi::Platform
