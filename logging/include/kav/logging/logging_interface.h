// The Logger's records and its C function tables, with the slot checks that
// keep their layout fixed for callers built separately.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include <kav/logging/log.h>

namespace Vemi {

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

}  // namespace Vemi
