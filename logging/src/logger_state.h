// The Logger's state, shared by the Logger, the targets and the C tables.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "logging/logger.h"

namespace Vemi::detail {

// A target's level and masks; records without categories pass the masks.
inline bool Takes(LogLevel minimum, LogCategories include, LogCategories exclude, LogLevel level,
           LogCategories categories) noexcept {
    if (level < minimum) return false;
    if (categories == 0) return true;
    return (categories & exclude) == 0 && (include == 0 || (include & categories) != 0);
}

class Logger {
public:
    Logger() {
        targets.reserve(8);
        stdErr.SetLevel(kLogWarn);
        stdErr.SetMasks(kCategoryDBG, kCategoryGEN);
        stdOut.SetLevel(kLogWarn);
        stdOut.SetMasks(kCategoryGEN, kCategoryDBG);
        debugger.SetLevel(kLogWarn);
        debugger.SetMasks(kCategoryDBG, 0);
        if (Platform::ExecutablePath(modulePath, sizeof modulePath) > 0) {
            const char* separator = std::strrchr(modulePath, Platform::kPathSeparator);
            executableName = separator != nullptr ? separator + 1 : modulePath;
        }
    }

    // The lock is declared first so that it outlives everything that uses it.
    Platform::RecursiveLock lock;
    std::vector<LogTargetInterface*> targets;
    bool flag = false;
    std::atomic<bool> suppressed{false};
    std::atomic<LogLevel> minimumLevel{kLogWarn};
    std::atomic<LogCategories> dropped{kCategoryXTR};
    char modulePath[1024] = {};
    const char* executableName = "<unknown>";
    uint64_t warnings = 0;
    uint64_t errors = 0;
    StdErrLogTarget stdErr;
    StdOutLogTarget stdOut;
    DebuggerConsoleLogTarget debugger;
};

// References taken through the LoggingInterface; the last Release destroys the Logger.
extern constinit std::atomic<uint32_t> gReferences;

[[nodiscard]] Logger* ExistingLogger() noexcept;
// The Logger, created on demand; null only when it cannot be built.
[[nodiscard]] Logger* TheLogger() noexcept;
// Only once no reference is left.
void DestroyLogger() noexcept;
void RemoveAll(Logger& logger, LogTargetInterface* target);

}  // namespace Vemi::detail
