// Placeholder until the Logger lands: writes straight to standard error.
#include <cstdio>

#include "logging/log.h"

namespace Vemi {

void LogV(LogLevel level, LogCategories, const char* format, va_list args) {
    if (level < kLogWarn) return;
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

void Log(LogLevel level, LogCategories categories, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, categories, format, args);
    va_end(args);
}

}  // namespace Vemi
