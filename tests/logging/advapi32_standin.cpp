// Stand-in for the system tracing library, built as "Advapi32.dll". It keeps a
// text journal of the calls, one line each, for the test to compare.
#include <cstdio>
#include <string>

#include <kav/platform/event_tracing.h>

using namespace Vemi::Platform;

namespace {
std::string gJournal;
// What EventRegister passes to the enable callback before it returns (99: no call).
// By default keyword 1 at level 4, so the "Main thread" class is on at load.
uint32_t gCode = kEventControlEnable, gLevel = 4;
uint64_t gAny = 1, gAll = 0;
uint64_t gNextHandle = 0x100;

void Add(const char* format, auto... args) {
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    gJournal += line;
}
}  // namespace

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

STANDIN_EXPORT uint32_t EventRegister(const Guid* g, EventEnableCallback callback, void* context,
                                      RegistrationHandle* handle) {
    *handle = gNextHandle++;
    Add("R %08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X %p %p %llx\n", g->data1, g->data2, g->data3, g->data4[0],
        g->data4[1], g->data4[2], g->data4[3], g->data4[4], g->data4[5], g->data4[6], g->data4[7],
        reinterpret_cast<void*>(callback), context, static_cast<unsigned long long>(*handle));
    if (gCode != 99) callback(g, gCode, static_cast<uint8_t>(gLevel), gAny, gAll, nullptr, context);
    return 0;
}

STANDIN_EXPORT uint32_t EventWrite(RegistrationHandle handle, const EventDescriptor* d, uint32_t count,
                                   EventDataDescriptor* data) {
    Add("W %llx id=%u v=%u ch=%u lv=%u op=%u task=%u kw=%llu", static_cast<unsigned long long>(handle), d->id,
        d->version, d->channel, d->level, d->opcode, d->task, static_cast<unsigned long long>(d->keyword));
    for (uint32_t i = 0; i < count; ++i) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data[i].ptr);
        if (data[i].size == 4) {
            Add(" [%u]", bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
        } else {
            gJournal += " '";
            for (uint32_t k = 0; k < data[i].size; ++k) gJournal += bytes[k] != 0 ? std::string(1, char(bytes[k])) : "\\0";
            gJournal += "'";
        }
    }
    gJournal += "\n";
    return 0;
}

STANDIN_EXPORT uint32_t EventUnregister(RegistrationHandle handle) {
    Add("U %llx\n", static_cast<unsigned long long>(handle));
    return 0;
}

STANDIN_EXPORT const char* StandinJournal() { return gJournal.c_str(); }
STANDIN_EXPORT void StandinSetEnable(uint32_t code, uint32_t level, uint64_t any, uint64_t all) {
    gCode = code, gLevel = level, gAny = any, gAll = all;
}
