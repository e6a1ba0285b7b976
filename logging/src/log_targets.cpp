// The base of the log targets and the console targets.
#include <cstdio>
#include <mutex>

#include "logger_state.h"

namespace Vemi {

using detail::Logger;
using detail::LoggerUse;
using detail::Takes;

struct LogTargetSlots {
    static LogTarget& Owner(LogTargetInterface* self) noexcept {
        return *reinterpret_cast<LogTarget::Binding*>(self)->owner;
    }
    static int32_t Version(LogTargetInterface*) noexcept { return 1; }
    static void SetLevel(LogTargetInterface* self, LogLevel level) noexcept { Owner(self).SetLevel(level); }
    static LogLevel GetLevel(LogTargetInterface* self) noexcept { return Owner(self).GetLevel(); }
    static void SetMasks(LogTargetInterface* self, LogCategories include, LogCategories exclude) noexcept {
        Owner(self).SetMasks(include, exclude);
    }
    static LogCategories GetInclude(LogTargetInterface* self) noexcept { return Owner(self).GetInclude(); }
    static LogCategories GetExclude(LogTargetInterface* self) noexcept { return Owner(self).GetExclude(); }
    static const char* GetName(LogTargetInterface* self) noexcept { return Owner(self).GetName(); }
    static const char* GetFormat(LogTargetInterface* self, const LogRecord* record) noexcept {
        static const LogRecord kEmpty{};
        return Owner(self).GetFormat(record != nullptr ? *record : kEmpty);
    }
    static void Register(LogTargetInterface* self) noexcept { Owner(self).Register(); }
    static void Unregister(LogTargetInterface* self) noexcept { Owner(self).Unregister(); }
    static bool IsRegistered(LogTargetInterface* self) noexcept { return Owner(self).IsRegistered(); }
    static bool Write(LogTargetInterface* self, const LogRecord* record) noexcept {
        if (record == nullptr) return false;
        try {
            return Owner(self).Write(*record);
        } catch (...) {
            return false;
        }
    }
};

LogTarget::LogTarget(LogLevel level, LogCategories include, LogCategories exclude, const char* format)
    : binding_{{.Version = &LogTargetSlots::Version,
                .SetLevel = &LogTargetSlots::SetLevel,
                .GetLevel = &LogTargetSlots::GetLevel,
                .SetMasks = &LogTargetSlots::SetMasks,
                .GetInclude = &LogTargetSlots::GetInclude,
                .GetExclude = &LogTargetSlots::GetExclude,
                .GetName = &LogTargetSlots::GetName,
                .GetFormat = &LogTargetSlots::GetFormat,
                .Register = &LogTargetSlots::Register,
                .Unregister = &LogTargetSlots::Unregister,
                .IsRegistered = &LogTargetSlots::IsRegistered,
                .Write = &LogTargetSlots::Write},
               this},
      level_(level),
      include_(include),
      exclude_(exclude),
      format_(format != nullptr ? format : "") {}

// Derived targets unregister in their own destructors, before their state goes;
// this is the last safety net.
LogTarget::~LogTarget() { LogTarget::Unregister(); }

const char* LogTarget::GetName() const noexcept { return "LogTarget"; }

const char* LogTarget::GetFormat(const LogRecord&) const noexcept {
    std::lock_guard guard(lock_);
    return format_.c_str();
}

void LogTarget::Register() noexcept {
    LoggerUse logger(true);
    if (!logger) return;
    std::lock_guard locked(logger->lock);
    if (registered_.exchange(true, std::memory_order_acq_rel)) return;
    try {
        logger->targets.push_back(Interface());
    } catch (...) {
        registered_.store(false, std::memory_order_release);
    }
}

void LogTarget::Unregister() noexcept {
    if (!registered_.exchange(false, std::memory_order_acq_rel)) return;
    // Never called with this target's lock held: the Logger's lock comes first.
    if (LoggerUse logger(false); logger) RemoveAll(*logger.get(), Interface());
}

void LogTarget::SetLevel(LogLevel level) noexcept {
    std::lock_guard guard(lock_);
    level_.store(level, std::memory_order_relaxed);
}

void LogTarget::SetMasks(LogCategories include, LogCategories exclude) noexcept {
    std::lock_guard guard(lock_);
    include_.store(include & ~exclude, std::memory_order_relaxed);
    exclude_.store(exclude, std::memory_order_relaxed);
}

size_t LogTarget::FormatLine(const LogRecord& record, char* buffer, size_t size) const noexcept {
    std::lock_guard guard(lock_);
    return FormatRecord(buffer, size, GetFormat(record), record);
}

bool LogTarget::Write(const LogRecord& record) {
    std::lock_guard guard(lock_);
    if (!Takes(GetLevel(), GetInclude(), GetExclude(), record.level, record.Categories())) return true;
    char line[kLogBufferSize];
    size_t length = FormatRecord(line, sizeof line, GetFormat(record), record);
    return WriteLine(line, length);
}

bool LogTarget::WriteLine(const char*, size_t) { return false; }

void Configure(LogTarget& target, const LogTargetSettings& settings) {
    target.Unregister();
    {
        std::lock_guard guard(target.lock_);
        target.level_.store(settings.level, std::memory_order_relaxed);
        target.include_.store(settings.include, std::memory_order_relaxed);
        target.exclude_.store(settings.exclude, std::memory_order_relaxed);
        target.format_ = settings.format != nullptr ? settings.format : "";
    }
    target.Register();
    target.SetLevel(settings.level);
    target.SetMasks(settings.include, settings.exclude);
}

StdErrLogTarget::StdErrLogTarget(const char* format) : BaseConsoleLogTarget(format) {}
StdErrLogTarget::~StdErrLogTarget() { Unregister(); }

bool StdErrLogTarget::WriteLine(const char* line, size_t) {
    std::fputs(line, stderr);
    return true;
}

void StdErrLogTarget::Flush() noexcept { std::fflush(stderr); }

StdOutLogTarget::StdOutLogTarget(const char* format) : BaseConsoleLogTarget(format) {}
StdOutLogTarget::~StdOutLogTarget() { Unregister(); }

bool StdOutLogTarget::WriteLine(const char* line, size_t) {
    std::fputs(line, stdout);
    return true;
}

void StdOutLogTarget::Flush() noexcept { std::fflush(stdout); }

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget(const char* format) : BaseConsoleLogTarget(format) {}
DebuggerConsoleLogTarget::~DebuggerConsoleLogTarget() { Unregister(); }

bool DebuggerConsoleLogTarget::WriteLine(const char* line, size_t) {
    Platform::DebuggerConsoleWrite(line);
    return true;
}

}  // namespace Vemi
