// The process-wide Logger: created on demand, filters and counts records and
// hands them to its targets in order.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "logger_state.h"
#include "logging/event_tracing.h"

namespace Vemi {
namespace detail {

namespace {

constinit std::atomic<Logger*> gLogger{nullptr};
// Serialises creation and destruction of the Logger.
constinit std::mutex gLifecycle;

}  // namespace

constinit std::atomic<uint32_t> gReferences{0};

Logger* ExistingLogger() noexcept { return gLogger.load(std::memory_order_acquire); }

Logger* TheLogger() noexcept {
    if (Logger* logger = ExistingLogger()) return logger;
    std::lock_guard guard(gLifecycle);
    if (Logger* logger = ExistingLogger()) return logger;
    Logger* logger = nullptr;
    try {
        logger = new Logger;
    } catch (...) {
        return nullptr;
    }
    // Publish under the Logger's lock: a concurrent record waits until the
    // built-in targets are registered.
    std::lock_guard built(logger->lock);
    gLogger.store(logger, std::memory_order_release);
    logger->stdErr.Register();
    logger->debugger.Register();
    return logger;
}

void DestroyLogger() noexcept {
    std::lock_guard guard(gLifecycle);
    Logger* logger = ExistingLogger();
    if (logger == nullptr || gReferences.load(std::memory_order_acquire) != 0) return;
    {
        std::lock_guard locked(logger->lock);
        // Each Unregister removes its table; a foreign table that does not is dropped here.
        while (!logger->targets.empty()) {
            LogTargetInterface* target = logger->targets.back();
            target->Unregister(target);
            if (!logger->targets.empty() && logger->targets.back() == target) logger->targets.pop_back();
        }
    }
    gLogger.store(nullptr, std::memory_order_release);
    delete logger;
}

void RemoveAll(Logger& logger, LogTargetInterface* target) {
    std::lock_guard locked(logger.lock);
    std::erase(logger.targets, target);
}

}  // namespace detail

using detail::ExistingLogger;
using detail::Logger;
using detail::Takes;
using detail::TheLogger;

uint64_t LoggedWarningCount() noexcept {
    Logger* logger = ExistingLogger();
    if (logger == nullptr) return 0;
    std::lock_guard locked(logger->lock);
    return logger->warnings;
}

uint64_t LoggedErrorCount() noexcept {
    Logger* logger = ExistingLogger();
    if (logger == nullptr) return 0;
    std::lock_guard locked(logger->lock);
    return logger->errors;
}

const char* ExecutableName() noexcept {
    Logger* logger = TheLogger();
    return logger != nullptr ? logger->executableName : "<unknown>";
}

void LogV(LogLevel level, LogCategories categories, const char* format, va_list args) {
    Logger* logger = TheLogger();
    if (logger == nullptr) return;
    // The pre-checks read the settings without the lock.
    if (logger->suppressed.load(std::memory_order_relaxed) ||
        level < logger->minimumLevel.load(std::memory_order_relaxed) ||
        (categories & logger->dropped.load(std::memory_order_relaxed)) != 0) {
        return;
    }
    char message[kLogBufferSize];
    if (format == nullptr || std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';

    LogRecord record{};
    record.time = LocalTime();
    record.level = level;
    record.categoriesLow = static_cast<uint32_t>(categories);
    record.categoriesHigh = static_cast<uint32_t>(categories >> 32);
    record.message = message;

    std::lock_guard locked(logger->lock);
    if (level == kLogWarn) ++logger->warnings;
    if (level == kLogError) ++logger->errors;
    // By index: a target may change the sequence from inside its Write.
    for (size_t i = 0; i < logger->targets.size(); ++i) {
        LogTargetInterface* target = logger->targets[i];
        if (Takes(target->GetLevel(target), target->GetInclude(target), target->GetExclude(target), level,
                  categories)) {
            target->Write(target, &record);
        }
    }
}

void Log(LogLevel level, LogCategories categories, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, categories, format, args);
    va_end(args);
}

namespace {

// At library load "LOC" takes the first free slot (8, mask 256).
[[maybe_unused]] const LogCategories kCategoryLOC = CategoryFromName("LOC");

// Whoever logs also gets the event-tracing providers registered at load.
[[gnu::used]] const void* const kEventTracingAtLoad = &EventTracing::kRegisteredAtLoad;

}  // namespace

}  // namespace Vemi
