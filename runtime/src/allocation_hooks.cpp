// Linked only into the plugin shared library, together with the linker's --wrap for
// the C runtime's allocation functions (KAV_ALLOCATION_WRAP_OPTIONS): every C
// allocation made by code inside the library (ours, the static C++ runtime, libyaml)
// and every operator new/delete lands here and is counted. The symbols stay local to
// the library, so the host's own allocator is untouched. The functions only some C
// runtimes have (aligned_alloc, posix_memalign, strndup) are in allocation_hooks_posix.cpp.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <kav/platform/platform.h>
#include <kav/runtime/memory.h>

using namespace Vemi;

extern "C" {
void* __real_malloc(size_t size);
void __real_free(void* block);
void* __real_realloc(void* block, size_t size);
void* __real_calloc(size_t count, size_t size);

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

// The Microsoft C runtime's name for strdup.
char* __wrap__strdup(const char* text) { return __wrap_strdup(text); }
}  // extern "C"

namespace {
void* NewBlock(size_t size) {
    if (size == 0) size = 1;
    void* block = __wrap_malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
// Over-aligned objects: a plain block with room to align, the block's address kept
// just below the object (not every C runtime has an aligned allocation that free takes).
void* NewAlignedOrNull(size_t size, std::align_val_t alignment) noexcept {
    size_t a = static_cast<size_t>(alignment);
    if (a < alignof(void*)) a = alignof(void*);
    if (size > SIZE_MAX - a - sizeof(void*)) return nullptr;
    void* block = __wrap_malloc(size + a + sizeof(void*));
    if (block == nullptr) return nullptr;
    uintptr_t object = (reinterpret_cast<uintptr_t>(block) + sizeof(void*) + a - 1) / a * a;
    reinterpret_cast<void**>(object)[-1] = block;
    return reinterpret_cast<void*>(object);
}
void* NewAligned(size_t size, std::align_val_t alignment) {
    void* object = NewAlignedOrNull(size, alignment);
    if (object == nullptr) throw std::bad_alloc();
    return object;
}
void DeleteAligned(void* object) noexcept {
    if (object != nullptr) __wrap_free(static_cast<void**>(object)[-1]);
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
void operator delete(void* p, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { DeleteAligned(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { DeleteAligned(p); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return NewAlignedOrNull(size, a); }
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept { return NewAlignedOrNull(size, a); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { DeleteAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { DeleteAligned(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __wrap_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __wrap_free(p); }
