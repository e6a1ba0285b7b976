// The logging calls every subsystem uses.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace Vemi {

using LogLevel = int32_t;
inline constexpr LogLevel kLogOkay = 0;
inline constexpr LogLevel kLogWarn = 1;
inline constexpr LogLevel kLogError = 2;
inline constexpr LogLevel kLogAlways = 3;

using LogCategories = uint64_t;
inline constexpr LogCategories kCategoryDBG = 1;
inline constexpr LogCategories kCategoryGEN = 2;
inline constexpr LogCategories kCategoryXTR = 4;

// printf-style record through the process-wide Logger (created on demand).
void Log(LogLevel level, LogCategories categories, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogV(LogLevel level, LogCategories categories, const char* format, va_list args);

// Debug tracing: the format and its arguments are checked, then discarded. A library
// linked with kav_trace_lines logs them instead, at level Okay as "[trace] MESSAGE".
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Vemi
