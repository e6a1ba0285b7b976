// Operating-system services behind one small interface. This folder is the only
// place that includes OS headers; everything above it calls these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vemi::Platform {

// Recursive lock: the same thread may take it again; each lock needs an unlock.
class RecursiveLock {
public:
    RecursiveLock() noexcept;
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void lock() noexcept;
    void unlock() noexcept;
    [[nodiscard]] bool try_lock() noexcept;

private:
    alignas(8) unsigned char storage_[64];
};

// Local wall-clock time, month 1..12.
struct LocalTime {
    int32_t year, month, day, hour, minute, second, millisecond;
};
[[nodiscard]] LocalTime GetLocalTime() noexcept;

// Monotonic high-resolution counter and its ticks per second.
[[nodiscard]] uint64_t QueryPerformanceCounter() noexcept;
[[nodiscard]] uint64_t QueryPerformanceFrequency() noexcept;

// System clock in 100-nanosecond ticks since 1601-01-01 UTC.
[[nodiscard]] uint64_t SystemTimeTicks() noexcept;

// Kernel identifier of the calling thread.
[[nodiscard]] uint32_t CurrentThreadId() noexcept;

// Separator of path components on this platform.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Writes the executable's full path (NUL-terminated, truncated to size - 1).
// Answers the length written, 0 when the path is unknown.
size_t ExecutablePath(char* buffer, size_t size) noexcept;

// Whether a standard stream (1 output, 2 error) is a terminal.
[[nodiscard]] bool IsTerminal(int stream) noexcept;

// Debugger console (OutputDebugStringA). Linux has none: the text is discarded.
void DebuggerConsoleWrite(const char* text) noexcept;

// 64 KiB read-write regions, aligned to at least 4096 bytes. Null on failure.
inline constexpr size_t kRegionSize = 64 * 1024;
[[nodiscard]] void* ReserveRegion() noexcept;
void ReleaseRegion(void* region) noexcept;
// Lets the system take back a region's memory when it needs it, while the region
// stays reserved and writable: afterwards it reads as its old bytes or as zeros.
void DiscardRegion(void* region) noexcept;

// Usable size of a block from the C runtime's heap (0 for null).
[[nodiscard]] size_t HeapBlockSize(void* block) noexcept;

// Run-time library lookup by file name (the dynamic loader's search rules).
using LibraryHandle = void*;
[[nodiscard]] LibraryHandle LoadLibrary(const char* fileName) noexcept;  // null when absent
// The loader's reason for the last failure of LoadLibrary on this thread ("" when none).
[[nodiscard]] const char* LibraryError() noexcept;
[[nodiscard]] void* FindSymbol(LibraryHandle library, const char* name) noexcept;
void FreeLibrary(LibraryHandle library) noexcept;

// Makes sure this module's own exceptions unwind with its own unwinder. On 32-bit
// Windows (DWARF-2 unwinding, libgcc linked in) the start-up code hands the module's
// unwind tables to a libgcc_s_dw2-1.dll already in the process instead, and every
// throw would end the process. Answers true when the tables had to be registered
// here. Call it outside the loader lock (not from a static initialiser); the
// registration is undone when the module unloads. Elsewhere it does nothing.
bool EnsureOwnUnwindTables() noexcept;

}  // namespace Vemi::Platform
