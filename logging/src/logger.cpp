// The process-wide Logger: created on demand, filters and counts records and
// hands them to its targets in order.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "lasting_mutex.h"
#include "logger_state.h"

namespace Vemi {
namespace detail {

namespace {

constinit std::atomic<Logger*> gLogger{nullptr};
// Serialises creation and destruction of the Logger.
struct LifecycleTag;
// Uses of the Logger in progress (see LoggerUse), and the Loggers taken out of
// service that some of them may still be using.
constinit std::atomic<uint32_t> gUses{0};
constinit Logger* gRetired = nullptr;  // under the lifecycle lock, linked through nextRetired
constinit std::atomic<bool> gAnyRetired{false};
// Set while this thread holds the lifecycle lock: a use that ends meanwhile (a target
// registered or unregistered by the holder) leaves freeing to the holder.
thread_local bool tHoldsLifecycle = false;

class LifecycleLock {
public:
    LifecycleLock() : guard_(LastingMutex<LifecycleTag>()) { tHoldsLifecycle = true; }
    ~LifecycleLock() { tHoldsLifecycle = false; }
    LifecycleLock(const LifecycleLock&) = delete;
    LifecycleLock& operator=(const LifecycleLock&) = delete;

private:
    std::lock_guard<std::mutex> guard_;
};

// Frees the retired Loggers once no use is in progress: a use that began before a
// Logger was taken out of service has ended, and later ones cannot find it.
void ReclaimRetired() noexcept {
    if (!gAnyRetired.load(std::memory_order_seq_cst)) return;
    Logger* retired = nullptr;
    {
        LifecycleLock lifecycle;
        if (gRetired == nullptr || gUses.load(std::memory_order_seq_cst) != 0) return;
        retired = gRetired;
        gRetired = nullptr;
        gAnyRetired.store(false, std::memory_order_relaxed);
    }
    while (retired != nullptr) {
        Logger* next = retired->nextRetired;
        delete retired;
        retired = next;
    }
}

}  // namespace

constinit std::atomic<uint32_t> gReferences{0};

Logger* CreateLogger() noexcept {
    Logger* logger = nullptr;
    {
        LifecycleLock lifecycle;
        logger = gLogger.load(std::memory_order_acquire);
        if (logger != nullptr) return logger;
        try {
            logger = new Logger;
        } catch (...) {
            return nullptr;
        }
        // Publish under the Logger's lock: a concurrent record waits until the
        // built-in targets are registered.
        std::lock_guard built(logger->lock);
        gLogger.store(logger, std::memory_order_seq_cst);
        logger->stdErr.Register();
        logger->debugger.Register();
    }
    ReclaimRetired();
    return logger;
}

LoggerUse::LoggerUse(bool create) noexcept {
    for (;;) {
        gUses.fetch_add(1, std::memory_order_seq_cst);
        logger_ = gLogger.load(std::memory_order_seq_cst);
        if (logger_ != nullptr) return;
        End();
        if (!create || CreateLogger() == nullptr) return;
    }
}

LoggerUse::~LoggerUse() {
    if (logger_ != nullptr) End();
}

void LoggerUse::End() noexcept {
    if (gUses.fetch_sub(1, std::memory_order_seq_cst) == 1 && gAnyRetired.load(std::memory_order_seq_cst) &&
        !tHoldsLifecycle) {
        ReclaimRetired();
    }
}

void DestroyLogger() noexcept {
    {
        LifecycleLock lifecycle;
        Logger* logger = gLogger.load(std::memory_order_acquire);
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
        // Out of service at once; freed when the records being dispatched are done.
        gLogger.store(nullptr, std::memory_order_seq_cst);
        logger->nextRetired = gRetired;
        gRetired = logger;
        gAnyRetired.store(true, std::memory_order_seq_cst);
    }
    ReclaimRetired();
}

void RemoveAll(Logger& logger, LogTargetInterface* target) {
    std::lock_guard locked(logger.lock);
    std::erase(logger.targets, target);
}

}  // namespace detail

using detail::Logger;
using detail::Takes;
using detail::LoggerUse;

uint64_t LoggedWarningCount() noexcept {
    LoggerUse logger(false);
    if (!logger) return 0;
    std::lock_guard locked(logger->lock);
    return logger->warnings;
}

uint64_t LoggedErrorCount() noexcept {
    LoggerUse logger(false);
    if (!logger) return 0;
    std::lock_guard locked(logger->lock);
    return logger->errors;
}

const char* ExecutableName() noexcept {
    LoggerUse logger(true);
    return logger ? logger->executableName : "<unknown>";
}

void LogV(LogLevel level, LogCategories categories, const char* format, va_list args) {
    LoggerUse logger(true);
    if (!logger) return;
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

}  // namespace

}  // namespace Vemi
