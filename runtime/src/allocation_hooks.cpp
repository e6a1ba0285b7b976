// Linked only into the plugin shared library, together with the linker's
// --wrap for malloc, free, realloc, calloc, strdup, strndup, aligned_alloc and
// posix_memalign: every C allocation made by code inside the library (ours, the static
// C++ runtime, libyaml) and every operator new/delete lands here and is counted. The
// symbols stay local to the library, so the host's own allocator is untouched.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "runtime/memory.h"

using namespace Vemi;

extern "C" {
void* __real_malloc(size_t size);
void __real_free(void* block);
void* __real_realloc(void* block, size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_aligned_alloc(size_t alignment, size_t size);
int __real_posix_memalign(void** out, size_t alignment, size_t size);

void* __wrap_malloc(size_t size) {
    void* block = __real_malloc(size);
    Memory::RecordAllocation(block);
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    void* block = __real_calloc(count, size);
    Memory::RecordAllocation(block);
    return block;
}

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

void __wrap_free(void* block) {
    Memory::RecordFree(block);
    __real_free(block);
}

void* __wrap_realloc(void* block, size_t size) {
    // An empty old pointer counts as a free of size 0, then an allocation.
    size_t oldSize = Platform::HeapBlockSize(block);
    void* moved = __real_realloc(block, size);
    if (moved == nullptr && (size != 0 || block == nullptr)) return nullptr;  // nothing changed hands
    Memory::RecordReallocation(block, oldSize, moved);
    return moved;
}

char* __wrap_strdup(const char* text) {
    size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(__wrap_malloc(n));
    if (copy != nullptr) std::memcpy(copy, text, n);
    return copy;
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

namespace {
void* NewBlock(size_t size) {
    if (size == 0) size = 1;
    void* block = __wrap_malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* NewAligned(size_t size, std::align_val_t alignment) {
    size_t a = static_cast<size_t>(alignment);
    void* block = __wrap_aligned_alloc(a, (size + a - 1) / a * a);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
}  // namespace

void* operator new(size_t size) { return NewBlock(size); }
void* operator new[](size_t size) { return NewBlock(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return __wrap_malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return __wrap_malloc(size ? size : 1); }
void* operator new(size_t size, std::align_val_t a) { return NewAligned(size, a); }
void* operator new[](size_t size, std::align_val_t a) { return NewAligned(size, a); }
void operator delete(void* p) noexcept { __wrap_free(p); }
void operator delete[](void* p) noexcept { __wrap_free(p); }
void operator delete(void* p, size_t) noexcept { __wrap_free(p); }
void operator delete[](void* p, size_t) noexcept { __wrap_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __wrap_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __wrap_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __wrap_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __wrap_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __wrap_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __wrap_free(p); }
