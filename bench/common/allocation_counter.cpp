// The executable's own malloc family wins symbol lookup over the C library's, so every
// allocation in the process (operator new included) passes through here.
#include "allocation_counter.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {
std::atomic<uint64_t> gAllocations{0};
}  // namespace

extern "C" void* malloc(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace Vemi::Bench {
uint64_t AllocationCount() noexcept { return gAllocations.load(std::memory_order_relaxed); }
}  // namespace Vemi::Bench
