// The allocation functions that the GNU C library has and the Microsoft one lacks,
// counted like the rest (see allocation_hooks.cpp).
#include <cstdlib>
#include <cstring>

#include <kav/runtime/memory.h>

using namespace Vemi;

extern "C" {
void* __real_aligned_alloc(size_t alignment, size_t size);
int __real_posix_memalign(void** out, size_t alignment, size_t size);
void* __wrap_malloc(size_t size);

void* __wrap_aligned_alloc(size_t alignment, size_t size) {
    void* block = __real_aligned_alloc(alignment, size);
    Memory::RecordAllocation(block);
    return block;
}

int __wrap_posix_memalign(void** out, size_t alignment, size_t size) {
    int rc = __real_posix_memalign(out, alignment, size);
    if (rc == 0) Memory::RecordAllocation(*out);
    return rc;
}

char* __wrap_strndup(const char* text, size_t max) {
    size_t n = strnlen(text, max);
    char* copy = static_cast<char*>(__wrap_malloc(n + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, n);
        copy[n] = '\0';
    }
    return copy;
}
}  // extern "C"
