// A small library built like the plugin: its allocations go through the real hooks
// (the linker's --wrap and the replaced operator new/delete), so a test can make
// several threads allocate and free inside it and read the counters as the host does.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <kav/host_abi.h>
#include <kav/runtime/memory.h>

namespace {
// Every pointer passes through here, so the compiler can neither drop an allocation
// with its free nor turn the reallocation of an empty pointer into a malloc. (Not a
// volatile thread_local: mingw's emulated thread-locals lose the volatile, and with it
// half of the allocations.)
template <class T>
T* Seen(T* block) {
    asm volatile("" : "+r"(block) : : "memory");
    return block;
}
}  // namespace

extern "C" {

// Allocates and frees through malloc, calloc, realloc (also of an empty pointer), strdup
// and new/delete, with sizes that vary with the round.
KAV_EXPORT void kav_probe_churn(uint32_t rounds, uint32_t seed) {
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < rounds; ++i) {
        state = state * 1664525u + 1013904223u;
        const size_t size = 16 + (state >> 16) % 4096;
        void* a = Seen(std::malloc(size));
        char* b = Seen(new char[size / 2 + 1]);
        void* c = Seen(std::realloc(Seen<void>(nullptr), size / 4 + 1));
        c = Seen(std::realloc(c, size + 64));
        void* d = Seen(std::calloc(4, size / 8 + 1));
        char* e = Seen(strdup("probe"));
        std::free(a);
        delete[] b;
        std::free(c);
        std::free(d);
        std::free(e);
    }
}

KAV_EXPORT void kav_probe_stats(PluginMemoryStats* out) {
    const Vemi::Memory::Counters c = Vemi::Memory::Snapshot();
    *out = PluginMemoryStats{c.peakBytes, c.liveAllocationsAtPeak, c.bytesAllocated, c.allocations,
                             c.bytesFreed, c.frees, 0};
}

}  // extern "C"
