// The process-wide Logger, its records, its C function tables and the log
// targets. Everything outside logging/ normally needs only log.h.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "logging/log.h"
#include "platform/platform.h"

namespace Vemi {

// Size of every formatting buffer on the logging path (stack).
inline constexpr size_t kLogBufferSize = 4096;
inline constexpr size_t kCategorySlotCount = 64;
inline constexpr const char* kConsoleLineFormat = "#E(#T): #L| #M";
inline constexpr const char* kHostLineFormat = "#D| #L| #G| #M";

// Local time of a record, month 1..12.
struct LogTime {
    int32_t year, month, day, hour, minute, second, millisecond;
};

struct LogRecord {
    LogTime time;
    LogLevel level;
    uint32_t categoriesLow;
    uint32_t categoriesHigh;
    const char* message;  // owned by the caller of Log for the dispatch

    [[nodiscard]] LogCategories Categories() const noexcept {
        return (static_cast<LogCategories>(categoriesHigh) << 32) | categoriesLow;
    }
};
static_assert(sizeof(LogTime) == 28);
static_assert(offsetof(LogRecord, level) == 28 && offsetof(LogRecord, categoriesLow) == 32 &&
              offsetof(LogRecord, categoriesHigh) == 36 && offsetof(LogRecord, message) == 40);

// How the Logger reaches a target. Every slot takes the table's own address.
struct LogTargetInterface {
    int32_t (*Version)(LogTargetInterface* self);
    void (*SetLevel)(LogTargetInterface* self, LogLevel level);
    LogLevel (*GetLevel)(LogTargetInterface* self);
    void (*SetMasks)(LogTargetInterface* self, LogCategories include, LogCategories exclude);
    LogCategories (*GetInclude)(LogTargetInterface* self);
    LogCategories (*GetExclude)(LogTargetInterface* self);
    const char* (*GetName)(LogTargetInterface* self);
    const char* (*GetFormat)(LogTargetInterface* self, const LogRecord* record);
    void (*Register)(LogTargetInterface* self);
    void (*Unregister)(LogTargetInterface* self);
    bool (*IsRegistered)(LogTargetInterface* self);
    bool (*Write)(LogTargetInterface* self, const LogRecord* record);
};

// The Logger's operations for callers built separately.
struct LoggingInterface {
    int32_t (*Version)(LoggingInterface* self);
    uint32_t (*AddRef)(LoggingInterface* self);
    uint32_t (*Release)(LoggingInterface* self);
    void (*SetMinimumLevel)(LoggingInterface* self, LogLevel level);
    LogLevel (*GetMinimumLevel)(LoggingInterface* self);
    void (*SetDroppedCategories)(LoggingInterface* self, LogCategories categories);
    LogCategories (*GetDroppedCategories)(LoggingInterface* self);
    void (*Suppress)(LoggingInterface* self);
    void (*Unsuppress)(LoggingInterface* self);
    void (*SetFlag)(LoggingInterface* self);
    void (*ClearFlag)(LoggingInterface* self);
    void (*AddTarget)(LoggingInterface* self, LogTargetInterface* target);
    void (*RemoveTarget)(LoggingInterface* self, LogTargetInterface* target);
    LogTargetInterface* (*FindTarget)(LoggingInterface* self, const char* name);
    LogTargetInterface* (*StdOutTarget)(LoggingInterface* self);
    LogTargetInterface* (*StdErrTarget)(LoggingInterface* self);
    LogTargetInterface* (*DebuggerConsoleTarget)(LoggingInterface* self);
    LogCategories (*CategoryFromName)(LoggingInterface* self, const char* name);
    size_t (*CategoryNames)(LoggingInterface* self, char* buffer, size_t size, LogCategories categories);
    size_t (*FormatRecord)(LoggingInterface* self, char* buffer, size_t size, const char* format,
                           const LogRecord* record);
    const char* (*LevelWord)(LoggingInterface* self, LogLevel level);
    const char* (*ExecutableName)(LoggingInterface* self);
    void (*LocalTime)(LoggingInterface* self, LogTime* time);
    size_t (*FormatTimestamp)(LoggingInterface* self, char* buffer, size_t size, const LogTime* time);
    size_t (*FormatFileTimestamp)(LoggingInterface* self, char* buffer, size_t size, const LogTime* time);
    void (*LogV)(LoggingInterface* self, LogLevel level, uint32_t categoriesLow, uint32_t categoriesHigh,
                 const char* format, va_list args);
};

#define KAV_SLOT(table, member, slot) static_assert(offsetof(table, member) == (slot) * sizeof(void*))
KAV_SLOT(LogTargetInterface, Version, 0);
KAV_SLOT(LogTargetInterface, SetLevel, 1);
KAV_SLOT(LogTargetInterface, GetLevel, 2);
KAV_SLOT(LogTargetInterface, SetMasks, 3);
KAV_SLOT(LogTargetInterface, GetInclude, 4);
KAV_SLOT(LogTargetInterface, GetExclude, 5);
KAV_SLOT(LogTargetInterface, GetName, 6);
KAV_SLOT(LogTargetInterface, GetFormat, 7);
KAV_SLOT(LogTargetInterface, Register, 8);
KAV_SLOT(LogTargetInterface, Unregister, 9);
KAV_SLOT(LogTargetInterface, IsRegistered, 10);
KAV_SLOT(LogTargetInterface, Write, 11);
static_assert(sizeof(LogTargetInterface) == 12 * sizeof(void*));
KAV_SLOT(LoggingInterface, Version, 0);
KAV_SLOT(LoggingInterface, AddRef, 1);
KAV_SLOT(LoggingInterface, Release, 2);
KAV_SLOT(LoggingInterface, SetMinimumLevel, 3);
KAV_SLOT(LoggingInterface, GetMinimumLevel, 4);
KAV_SLOT(LoggingInterface, SetDroppedCategories, 5);
KAV_SLOT(LoggingInterface, GetDroppedCategories, 6);
KAV_SLOT(LoggingInterface, Suppress, 7);
KAV_SLOT(LoggingInterface, Unsuppress, 8);
KAV_SLOT(LoggingInterface, SetFlag, 9);
KAV_SLOT(LoggingInterface, ClearFlag, 10);
KAV_SLOT(LoggingInterface, AddTarget, 11);
KAV_SLOT(LoggingInterface, RemoveTarget, 12);
KAV_SLOT(LoggingInterface, FindTarget, 13);
KAV_SLOT(LoggingInterface, StdOutTarget, 14);
KAV_SLOT(LoggingInterface, StdErrTarget, 15);
KAV_SLOT(LoggingInterface, DebuggerConsoleTarget, 16);
KAV_SLOT(LoggingInterface, CategoryFromName, 17);
KAV_SLOT(LoggingInterface, CategoryNames, 18);
KAV_SLOT(LoggingInterface, FormatRecord, 19);
KAV_SLOT(LoggingInterface, LevelWord, 20);
KAV_SLOT(LoggingInterface, ExecutableName, 21);
KAV_SLOT(LoggingInterface, LocalTime, 22);
KAV_SLOT(LoggingInterface, FormatTimestamp, 23);
KAV_SLOT(LoggingInterface, FormatFileTimestamp, 24);
KAV_SLOT(LoggingInterface, LogV, 25);
static_assert(sizeof(LoggingInterface) == 26 * sizeof(void*));
#undef KAV_SLOT

// The one LoggingInterface of the process.
[[nodiscard]] LoggingInterface* GetLoggingInterface() noexcept;

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
    // needs the record itself (not a line) overrides this instead.
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

    // One formatted line, ending in a newline; called with the lock held.
    virtual bool WriteLine(const char* line, size_t length);

    // Until a concrete class calls this, the table's Write slot writes nothing.
    void ForwardWrites() noexcept;
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
