#include <kav/platform/platform.h>

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace Vemi::Platform {

static_assert(sizeof(pthread_mutex_t) <= 64, "RecursiveLock storage too small");

namespace {
pthread_mutex_t* Mutex(unsigned char* storage) { return reinterpret_cast<pthread_mutex_t*>(storage); }
}  // namespace

RecursiveLock::RecursiveLock() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}
RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(Mutex(storage_)); }
void RecursiveLock::lock() noexcept { pthread_mutex_lock(Mutex(storage_)); }
void RecursiveLock::unlock() noexcept { pthread_mutex_unlock(Mutex(storage_)); }
bool RecursiveLock::try_lock() noexcept { return pthread_mutex_trylock(Mutex(storage_)) == 0; }

LocalTime GetLocalTime() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,     static_cast<int32_t>(ts.tv_nsec / 1000000)};
}

uint64_t QueryPerformanceCounter() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t QueryPerformanceFrequency() noexcept { return 1000000000u; }

uint64_t SystemTimeTicks() noexcept {
    // Seconds between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDelta = 11644473600ull;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + kEpochDelta) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

uint32_t CurrentThreadId() noexcept { return static_cast<uint32_t>(syscall(SYS_gettid)); }

size_t ExecutablePath(char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[n] = '\0';
    return static_cast<size_t>(n);
}

bool IsTerminal(int stream) noexcept { return (stream == 1 || stream == 2) && isatty(stream) == 1; }

void DebuggerConsoleWrite(const char*) noexcept {}

void* ReserveRegion() noexcept {
    void* p = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void ReleaseRegion(void* region) noexcept {
    if (region != nullptr) munmap(region, kRegionSize);
}

void DiscardRegion(void* region) noexcept {
    if (region == nullptr) return;
    // Lazy freeing needs Linux 4.5; older kernels drop the pages at once.
    if (madvise(region, kRegionSize, MADV_FREE) != 0) madvise(region, kRegionSize, MADV_DONTNEED);
}

size_t HeapBlockSize(void* block) noexcept { return block == nullptr ? 0 : malloc_usable_size(block); }

namespace {
thread_local char libraryError[512];
}  // namespace

LibraryHandle LoadLibrary(const char* fileName) noexcept {
    libraryError[0] = '\0';
    if (fileName == nullptr) return nullptr;
    void* library = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        // dlerror's text lasts only until the next dl call; keep a copy.
        const char* reason = dlerror();
        std::snprintf(libraryError, sizeof libraryError, "%s", reason != nullptr ? reason : "");
    }
    return library;
}

const char* LibraryError() noexcept { return libraryError; }

void* FindSymbol(LibraryHandle library, const char* name) noexcept {
    if (library == nullptr || name == nullptr) return nullptr;
    return dlsym(library, name);
}

void FreeLibrary(LibraryHandle library) noexcept {
    if (library != nullptr) dlclose(library);
}

bool EnsureOwnUnwindTables() noexcept { return false; }  // the ELF unwinder finds every loaded module

}  // namespace Vemi::Platform
