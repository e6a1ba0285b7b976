// The process-wide Logger's log targets and line helpers; its records and C
// function tables are in logging_interface.h. Everything outside logging/
// normally needs only log.h.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include <kav/logging/log.h>
#include <kav/logging/logging_interface.h>
#include <kav/platform/platform.h>

namespace Vemi {

// Size of every formatting buffer on the logging path (stack).
inline constexpr size_t kLogBufferSize = 4096;
inline constexpr size_t kCategorySlotCount = 64;
inline constexpr const char* kConsoleLineFormat = "#E(#T): #L| #M";
inline constexpr const char* kHostLineFormat = "#D| #L| #G| #M";

struct LogTargetSettings;

// Base of every target. It owns the lock, the level and the category masks and
// does the bookkeeping with the Logger; a concrete target only writes lines.
class LogTarget {
public:
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    virtual ~LogTarget();
    virtual void Unregister() noexcept;
    [[nodiscard]] virtual const char* GetName() const noexcept;
    [[nodiscard]] virtual const char* GetFormat(const LogRecord& record) const noexcept;
    // Under the lock: drops what this target's level and masks exclude, formats the
    // record in this target's format and hands the line to WriteLine. A target that
    // needs the record itself (not a line) overrides this instead. The table's Write
    // slot always comes here, so an override is reached without further wiring.
    virtual bool Write(const LogRecord& record);

    [[nodiscard]] LogTargetInterface* Interface() noexcept { return &binding_.table; }
    void Register() noexcept;
    [[nodiscard]] bool IsRegistered() const noexcept { return registered_.load(std::memory_order_acquire); }
    void SetLevel(LogLevel level) noexcept;
    [[nodiscard]] LogLevel GetLevel() const noexcept { return level_.load(std::memory_order_relaxed); }
    // Stores include without the bits of exclude, and exclude.
    void SetMasks(LogCategories include, LogCategories exclude) noexcept;
    [[nodiscard]] LogCategories GetInclude() const noexcept { return include_.load(std::memory_order_relaxed); }
    [[nodiscard]] LogCategories GetExclude() const noexcept { return exclude_.load(std::memory_order_relaxed); }

protected:
    LogTarget(LogLevel level, LogCategories include, LogCategories exclude, const char* format);

    // One formatted line, ending in a newline; called with the lock held. The base
    // writes nothing and answers false.
    virtual bool WriteLine(const char* line, size_t length);

    [[nodiscard]] Platform::RecursiveLock& Lock() const noexcept { return lock_; }
    // The record as one line in this target's format (see FormatRecord).
    size_t FormatLine(const LogRecord& record, char* buffer, size_t size) const noexcept;

private:
    friend struct LogTargetSlots;
    friend void Configure(LogTarget& target, const LogTargetSettings& settings);

    // The table comes first so that its address leads back to the target.
    struct Binding {
        LogTargetInterface table;
        LogTarget* owner;
    };
    Binding binding_;
    mutable Platform::RecursiveLock lock_;
    std::atomic<bool> registered_{false};
    std::atomic<LogLevel> level_;
    std::atomic<LogCategories> include_;
    std::atomic<LogCategories> exclude_;
    std::string format_;
};

class BaseConsoleLogTarget : public LogTarget {
public:
    [[nodiscard]] const char* GetName() const noexcept override { return "BaseConsoleLogTarget"; }
    virtual void Flush() noexcept = 0;

protected:
    explicit BaseConsoleLogTarget(const char* format) : LogTarget(kLogWarn, 0, 0, format) {}
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
public:
    explicit StdErrLogTarget(const char* format = kConsoleLineFormat);
    ~StdErrLogTarget() override;
    [[nodiscard]] const char* GetName() const noexcept override { return "StdErrLogTarget"; }
    void Flush() noexcept override;

protected:
    bool WriteLine(const char* line, size_t length) override;
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
public:
    explicit StdOutLogTarget(const char* format = "#M");
    ~StdOutLogTarget() override;
    [[nodiscard]] const char* GetName() const noexcept override { return "StdOutLogTarget"; }
    void Flush() noexcept override;

protected:
    bool WriteLine(const char* line, size_t length) override;
};

class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
public:
    explicit DebuggerConsoleLogTarget(const char* format = kConsoleLineFormat);
    ~DebuggerConsoleLogTarget() override;
    [[nodiscard]] const char* GetName() const noexcept override { return "DebuggerConsoleLogTarget"; }
    void Flush() noexcept override {}

protected:
    bool WriteLine(const char* line, size_t length) override;
};

struct LogTargetSettings {
    LogLevel level;
    LogCategories include;
    LogCategories exclude;
    const char* format;
};

// Re-registers the target (it moves to the end of the sequence) with new settings.
void Configure(LogTarget& target, const LogTargetSettings& settings);

// Line and name helpers; the LoggingInterface exposes the same operations.
// FormatRecord answers the length of the line, which always ends in one newline.
size_t FormatRecord(char* buffer, size_t size, const char* format, const LogRecord& record) noexcept;
size_t CategoryNames(char* buffer, size_t size, LogCategories categories) noexcept;
// 0 for an empty name and once all 64 slots are taken.
[[nodiscard]] LogCategories CategoryFromName(const char* name) noexcept;
[[nodiscard]] const char* LevelWord(LogLevel level) noexcept;
[[nodiscard]] const char* ExecutableName() noexcept;
[[nodiscard]] LogTime LocalTime() noexcept;
size_t FormatTimestamp(char* buffer, size_t size, const LogTime& time) noexcept;
size_t FormatFileTimestamp(char* buffer, size_t size, const LogTime& time) noexcept;

// Records of level 1 and 2 that passed the Logger's own filters.
[[nodiscard]] uint64_t LoggedWarningCount() noexcept;
[[nodiscard]] uint64_t LoggedErrorCount() noexcept;

}  // namespace Vemi
