// The LoggingInterface: the Logger's operations as one C table.
#include <cstring>
#include <mutex>

#include "logger_state.h"

namespace Vemi {

using detail::DestroyLogger;
using detail::gReferences;
using detail::Logger;
using detail::RemoveAll;
using detail::LoggerUse;

namespace {

int32_t SlotVersion(LoggingInterface*) noexcept { return 1; }

uint32_t SlotAddRef(LoggingInterface*) noexcept {
    uint32_t previous = gReferences.fetch_add(1, std::memory_order_acq_rel);
    if (previous == 0) (void)detail::CreateLogger();
    return previous + 1;
}

uint32_t SlotRelease(LoggingInterface*) noexcept {
    uint32_t count = gReferences.load(std::memory_order_acquire);
    // Never below zero: an unmatched Release does nothing.
    do {
        if (count == 0) return 0;
    } while (!gReferences.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    if (count == 1) DestroyLogger();
    return count - 1;
}

template <class Body>
void WithLogger(Body body) noexcept {
    if (LoggerUse logger(true); logger) {
        std::lock_guard locked(logger->lock);
        body(*logger.get());
    }
}

void SlotSetMinimumLevel(LoggingInterface*, LogLevel level) noexcept {
    WithLogger([&](Logger& l) { l.minimumLevel.store(level, std::memory_order_relaxed); });
}
LogLevel SlotGetMinimumLevel(LoggingInterface*) noexcept {
    LogLevel level = kLogWarn;
    WithLogger([&](Logger& l) { level = l.minimumLevel.load(std::memory_order_relaxed); });
    return level;
}
void SlotSetDropped(LoggingInterface*, LogCategories categories) noexcept {
    WithLogger([&](Logger& l) { l.dropped.store(categories, std::memory_order_relaxed); });
}
LogCategories SlotGetDropped(LoggingInterface*) noexcept {
    LogCategories categories = kCategoryXTR;
    WithLogger([&](Logger& l) { categories = l.dropped.load(std::memory_order_relaxed); });
    return categories;
}
void SlotSuppress(LoggingInterface*) noexcept {
    WithLogger([](Logger& l) { l.suppressed.store(true, std::memory_order_relaxed); });
}
void SlotUnsuppress(LoggingInterface*) noexcept {
    WithLogger([](Logger& l) { l.suppressed.store(false, std::memory_order_relaxed); });
}
void SlotSetFlag(LoggingInterface*) noexcept {
    WithLogger([](Logger& l) { l.flag = true; });
}
void SlotClearFlag(LoggingInterface*) noexcept {
    WithLogger([](Logger& l) { l.flag = false; });
}

void SlotAddTarget(LoggingInterface*, LogTargetInterface* target) noexcept {
    // A table of another layout cannot be called safely.
    if (target == nullptr || target->Version == nullptr || target->Version(target) != 1) return;
    WithLogger([&](Logger& l) {
        try {
            l.targets.push_back(target);
        } catch (...) {
        }
    });
}

void SlotRemoveTarget(LoggingInterface*, LogTargetInterface* target) noexcept {
    if (LoggerUse logger(false); logger) RemoveAll(*logger.get(), target);
}

LogTargetInterface* SlotFindTarget(LoggingInterface*, const char* name) noexcept {
    LogTargetInterface* found = nullptr;
    if (name == nullptr) return found;
    WithLogger([&](Logger& l) {
        for (LogTargetInterface* target : l.targets) {
            const char* targetName = target->GetName(target);
            if (targetName != nullptr && std::strcmp(targetName, name) == 0) {
                found = target;
                return;
            }
        }
    });
    return found;
}

LogTargetInterface* SlotStdOut(LoggingInterface*) noexcept {
    LoggerUse logger(true);
    return logger ? logger->stdOut.Interface() : nullptr;
}
LogTargetInterface* SlotStdErr(LoggingInterface*) noexcept {
    LoggerUse logger(true);
    return logger ? logger->stdErr.Interface() : nullptr;
}
LogTargetInterface* SlotDebugger(LoggingInterface*) noexcept {
    LoggerUse logger(true);
    return logger ? logger->debugger.Interface() : nullptr;
}

LogCategories SlotCategoryFromName(LoggingInterface*, const char* name) noexcept { return CategoryFromName(name); }
size_t SlotCategoryNames(LoggingInterface*, char* buffer, size_t size, LogCategories categories) noexcept {
    return CategoryNames(buffer, size, categories);
}
size_t SlotFormatRecord(LoggingInterface*, char* buffer, size_t size, const char* format,
                        const LogRecord* record) noexcept {
    static const LogRecord kEmpty{};
    return FormatRecord(buffer, size, format, record != nullptr ? *record : kEmpty);
}
const char* SlotLevelWord(LoggingInterface*, LogLevel level) noexcept { return LevelWord(level); }
const char* SlotExecutableName(LoggingInterface*) noexcept { return ExecutableName(); }
void SlotLocalTime(LoggingInterface*, LogTime* time) noexcept {
    if (time != nullptr) *time = LocalTime();
}
size_t SlotFormatTimestamp(LoggingInterface*, char* buffer, size_t size, const LogTime* time) noexcept {
    return time != nullptr ? FormatTimestamp(buffer, size, *time) : 0;
}
size_t SlotFormatFileTimestamp(LoggingInterface*, char* buffer, size_t size, const LogTime* time) noexcept {
    return time != nullptr ? FormatFileTimestamp(buffer, size, *time) : 0;
}
void SlotLogV(LoggingInterface*, LogLevel level, uint32_t low, uint32_t high, const char* format,
              va_list args) noexcept {
    try {
        LogV(level, (static_cast<LogCategories>(high) << 32) | low, format, args);
    } catch (...) {
    }
}

LoggingInterface gLoggingInterface = {
    .Version = &SlotVersion,
    .AddRef = &SlotAddRef,
    .Release = &SlotRelease,
    .SetMinimumLevel = &SlotSetMinimumLevel,
    .GetMinimumLevel = &SlotGetMinimumLevel,
    .SetDroppedCategories = &SlotSetDropped,
    .GetDroppedCategories = &SlotGetDropped,
    .Suppress = &SlotSuppress,
    .Unsuppress = &SlotUnsuppress,
    .SetFlag = &SlotSetFlag,
    .ClearFlag = &SlotClearFlag,
    .AddTarget = &SlotAddTarget,
    .RemoveTarget = &SlotRemoveTarget,
    .FindTarget = &SlotFindTarget,
    .StdOutTarget = &SlotStdOut,
    .StdErrTarget = &SlotStdErr,
    .DebuggerConsoleTarget = &SlotDebugger,
    .CategoryFromName = &SlotCategoryFromName,
    .CategoryNames = &SlotCategoryNames,
    .FormatRecord = &SlotFormatRecord,
    .LevelWord = &SlotLevelWord,
    .ExecutableName = &SlotExecutableName,
    .LocalTime = &SlotLocalTime,
    .FormatTimestamp = &SlotFormatTimestamp,
    .FormatFileTimestamp = &SlotFormatFileTimestamp,
    .LogV = &SlotLogV,
};

}  // namespace

LoggingInterface* GetLoggingInterface() noexcept { return &gLoggingInterface; }

}  // namespace Vemi
