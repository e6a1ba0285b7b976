#include <kav/platform/platform.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

// <windows.h> maps LoadLibrary to LoadLibraryA; ours is the platform function.
#undef LoadLibrary

namespace Vemi::Platform {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "RecursiveLock storage too small");

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }
}  // namespace

// Critical sections are recursive by design.
RecursiveLock::RecursiveLock() noexcept { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(Section(storage_)); }
void RecursiveLock::lock() noexcept { EnterCriticalSection(Section(storage_)); }
void RecursiveLock::unlock() noexcept { LeaveCriticalSection(Section(storage_)); }
bool RecursiveLock::try_lock() noexcept { return TryEnterCriticalSection(Section(storage_)) != 0; }

LocalTime GetLocalTime() noexcept {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

uint64_t QueryPerformanceCounter() noexcept {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<uint64_t>(counter.QuadPart);
}

uint64_t QueryPerformanceFrequency() noexcept {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(frequency.QuadPart);
}

uint64_t SystemTimeTicks() noexcept {
    FILETIME t{};
    GetSystemTimeAsFileTime(&t);  // already 100 ns since 1601
    return static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

uint32_t CurrentThreadId() noexcept { return GetCurrentThreadId(); }

size_t ExecutablePath(char* buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    size_t n = GetModuleFileNameA(nullptr, buffer, capacity);
    // On truncation older systems leave the buffer unterminated.
    if (n >= capacity) n = capacity - 1;
    buffer[n] = '\0';
    return n;
}

bool IsTerminal(int stream) noexcept {
    if (stream != 1 && stream != 2) return false;
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

void DebuggerConsoleWrite(const char* text) noexcept {
    if (text != nullptr) OutputDebugStringA(text);
}

// 64 KiB is the allocation granularity: one region is one reservation, committed whole.
void* ReserveRegion() noexcept {
    return VirtualAlloc(nullptr, kRegionSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleaseRegion(void* region) noexcept {
    if (region != nullptr) VirtualFree(region, 0, MEM_RELEASE);
}

void DiscardRegion(void* region) noexcept {
    // The pages stay committed; the system may drop their contents instead of paging them out.
    if (region != nullptr) VirtualAlloc(region, kRegionSize, MEM_RESET, PAGE_READWRITE);
}

size_t HeapBlockSize(void* block) noexcept { return block == nullptr ? 0 : _msize(block); }

namespace {
thread_local char libraryError[512];

// The system's text for the last error, without its trailing line break.
void KeepLibraryError(DWORD code) noexcept {
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             libraryError, sizeof libraryError, nullptr);
    while (n > 0 && (libraryError[n - 1] == '\n' || libraryError[n - 1] == '\r' || libraryError[n - 1] == ' ')) --n;
    if (n == 0) {
        std::snprintf(libraryError, sizeof libraryError, "error %lu", static_cast<unsigned long>(code));
    } else {
        libraryError[n] = '\0';
    }
}

HMODULE LoadWithBackslashes(const char* fileName) noexcept {
    // The system's loader takes only backslashes as separators.
    if (std::strchr(fileName, '/') == nullptr) return LoadLibraryA(fileName);
    try {
        std::string path(fileName);
        for (char& c : path) c = c == '/' ? '\\' : c;
        return LoadLibraryA(path.c_str());
    } catch (...) {
        return nullptr;
    }
}
}  // namespace

LibraryHandle LoadLibrary(const char* fileName) noexcept {
    libraryError[0] = '\0';
    if (fileName == nullptr) return nullptr;
    HMODULE library = LoadWithBackslashes(fileName);
    if (library == nullptr) KeepLibraryError(GetLastError());
    return library;
}

const char* LibraryError() noexcept { return libraryError; }

void* FindSymbol(LibraryHandle library, const char* name) noexcept {
    if (library == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeLibrary(LibraryHandle library) noexcept {
    if (library != nullptr) ::FreeLibrary(static_cast<HMODULE>(library));
}

#if defined(__i386__) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)

}  // namespace Vemi::Platform

// libgcc's frame registry (unwind-dw2-fde), linked in statically with this module.
extern "C" {
struct KavUnwindBases {
    void* tbase;
    void* dbase;
    void* func;
};
const void* _Unwind_Find_FDE(void* pc, KavUnwindBases* bases);
void __register_frame(void* begin);
void __deregister_frame(void* begin);
extern IMAGE_DOS_HEADER __ImageBase;
}

namespace Vemi::Platform {

namespace {

// Something of ours inside the unwind tables, so that their section is found by
// address: in an image, the section's long name may not be readable.
[[gnu::section(".eh_frame"), gnu::used]] const char kInsideUnwindTables[] = {};

// Start of this module's .eh_frame section, from its own section headers.
void* OwnUnwindTables() noexcept {
    auto* base = reinterpret_cast<unsigned char*>(&__ImageBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    const uintptr_t inside = reinterpret_cast<uintptr_t>(kInsideUnwindTables) - reinterpret_cast<uintptr_t>(base);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        const uintptr_t start = section->VirtualAddress;
        if (inside >= start && inside <= start + section->Misc.VirtualSize) return base + start;
    }
    return nullptr;
}

struct OwnRegistration {
    void* tables = nullptr;
    ~OwnRegistration() {
        // Module unload: our static unwinder must forget tables that are about to go.
        if (tables != nullptr) __deregister_frame(tables);
    }
};
OwnRegistration gOwnRegistration;
CRITICAL_SECTION* RegistrationLock() noexcept {
    static CRITICAL_SECTION* const section = [] {
        static CRITICAL_SECTION storage;
        InitializeCriticalSection(&storage);
        return &storage;
    }();
    return section;
}

}  // namespace

bool EnsureOwnUnwindTables() noexcept {
    KavUnwindBases bases{};
    // Any address of our own code will do: this function's.
    if (_Unwind_Find_FDE(reinterpret_cast<void*>(&EnsureOwnUnwindTables), &bases) != nullptr) return false;
    EnterCriticalSection(RegistrationLock());
    bool registered = false;
    if (gOwnRegistration.tables == nullptr &&
        _Unwind_Find_FDE(reinterpret_cast<void*>(&EnsureOwnUnwindTables), &bases) == nullptr) {
        if (void* tables = OwnUnwindTables()) {
            __register_frame(tables);
            gOwnRegistration.tables = tables;
            registered = true;
        }
    }
    LeaveCriticalSection(RegistrationLock());
    return registered;
}

#else

bool EnsureOwnUnwindTables() noexcept { return false; }  // table-based (SEH) unwinding needs no registry

#endif

}  // namespace Vemi::Platform
