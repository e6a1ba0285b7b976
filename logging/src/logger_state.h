// The Logger's state, shared by the Logger, the targets and the C tables.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include <kav/logging/logger.h>

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
    Logger* nextRetired = nullptr;
};

// References taken through the LoggingInterface; the last Release destroys the Logger.
extern constinit std::atomic<uint32_t> gReferences;

// The Logger, created if there is none; null only when it cannot be built.
Logger* CreateLogger() noexcept;
// Only once no reference is left: out of service at once, freed when the uses in
// progress are done.
void DestroyLogger() noexcept;

// One use of the Logger: the Logger it holds stays alive until the use ends, even
// when the last reference goes meanwhile. With create, a missing Logger is built.
class LoggerUse {
public:
    explicit LoggerUse(bool create) noexcept;
    ~LoggerUse();
    LoggerUse(const LoggerUse&) = delete;
    LoggerUse& operator=(const LoggerUse&) = delete;

    [[nodiscard]] Logger* get() const noexcept { return logger_; }
    Logger* operator->() const noexcept { return logger_; }
    explicit operator bool() const noexcept { return logger_ != nullptr; }

private:
    static void End() noexcept;
    Logger* logger_ = nullptr;
};
void RemoveAll(Logger& logger, LogTargetInterface* target);

}  // namespace Vemi::detail
