#include "logging/logger.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "logging/event_tracing.h"

namespace Vemi {

// ---------------------------------------------------------------------------
// Category names: 64 slots of three characters, packed into one word each so
// that readers on the logging path never see a half-written name.

namespace {

constexpr uint32_t PackName(const char* name) noexcept {
    uint32_t packed = 0;
    for (int i = 0; i < 3 && name[i] != '\0'; ++i) packed |= static_cast<uint32_t>(static_cast<unsigned char>(name[i])) << (8 * i);
    return packed;
}

// A zero word is a slot without a name ("???").
constinit std::atomic<uint32_t> gCategoryNames[kCategorySlotCount] = {
    PackName("DBG"), PackName("GEN"), PackName("XTR"), PackName("PRF"),
    PackName("MEM"), PackName("DSK"), PackName("NET"), PackName("TST"),
};
constinit std::atomic<uint32_t> gCategoryCount{8};
constinit std::mutex gCategoryRegistration;

struct SlotName {
    char text[4];
};

SlotName ReadSlot(size_t slot) noexcept {
    uint32_t packed = gCategoryNames[slot].load(std::memory_order_acquire);
    if (packed == 0) return SlotName{{'?', '?', '?', '\0'}};
    SlotName name{};
    for (int i = 0; i < 3; ++i) name.text[i] = static_cast<char>((packed >> (8 * i)) & 0xFF);
    return name;
}

// Slot of the name among the first `count` slots, or kCategorySlotCount.
size_t FindSlot(const char* name, size_t from, size_t count) noexcept {
    for (size_t slot = from; slot < count; ++slot) {
        if (std::strncmp(name, ReadSlot(slot).text, 3) == 0) return slot;
    }
    return kCategorySlotCount;
}

}  // namespace

LogCategories CategoryFromName(const char* name) noexcept {
    if (name == nullptr || name[0] == '\0') return 0;
    size_t count = gCategoryCount.load(std::memory_order_acquire);
    size_t slot = FindSlot(name, 0, count);
    if (slot < kCategorySlotCount) return LogCategories{1} << slot;

    // Registration is rare; the lock keeps two threads from taking two slots for one name.
    std::lock_guard guard(gCategoryRegistration);
    size_t now = gCategoryCount.load(std::memory_order_acquire);
    slot = FindSlot(name, count, now);
    if (slot < kCategorySlotCount) return LogCategories{1} << slot;
    if (now >= kCategorySlotCount) return 0;
    gCategoryNames[now].store(PackName(name), std::memory_order_release);
    gCategoryCount.fetch_add(1, std::memory_order_acq_rel);
    return LogCategories{1} << now;
}

size_t CategoryNames(char* buffer, size_t size, LogCategories categories) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    size_t n = 0;
    bool first = true;
    for (size_t bit = 0; bit < kCategorySlotCount; ++bit) {
        if ((categories & (LogCategories{1} << bit)) == 0) continue;
        if (size - n < 2) break;
        if (!first) buffer[n++] = ';';
        first = false;
        SlotName name = ReadSlot(bit);
        for (const char* c = name.text; *c != '\0' && size - n >= 2; ++c) buffer[n++] = *c;
    }
    buffer[n] = '\0';
    return n;
}

const char* LevelWord(LogLevel level) noexcept {
    static constexpr const char* kWords[] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};
    if (level < 0 || level > kLogAlways) return "     ?";
    return kWords[level];
}

LogTime LocalTime() noexcept {
    Platform::LocalTime t = Platform::GetLocalTime();
    return LogTime{t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
}

namespace {

// snprintf's answer turned into the length actually written.
size_t Written(int result, size_t size) noexcept {
    if (result < 0 || size == 0) return 0;
    return std::min(static_cast<size_t>(result), size - 1);
}

}  // namespace

size_t FormatTimestamp(char* buffer, size_t size, const LogTime& t) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    return Written(std::snprintf(buffer, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.year, t.month, t.day,
                                 t.hour, t.minute, t.second, t.millisecond),
                   size);
}

size_t FormatFileTimestamp(char* buffer, size_t size, const LogTime& t) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    return Written(std::snprintf(buffer, size, "%04d-%02d-%02dT%02d-%02d-%02d", t.year, t.month, t.day, t.hour,
                                 t.minute, t.second),
                   size);
}

// ---------------------------------------------------------------------------
// Line formatting.

namespace {

// Seconds since the first use of the high-resolution clock.
double ElapsedSeconds() noexcept {
    struct Origin {
        uint64_t frequency = Platform::QueryPerformanceFrequency();
        uint64_t counter = Platform::QueryPerformanceCounter();
    };
    static const Origin origin;
    uint64_t now = Platform::QueryPerformanceCounter();
    if (origin.frequency == 0) return 0.0;
    return static_cast<double>(now - origin.counter) / static_cast<double>(origin.frequency);
}

}  // namespace

size_t FormatRecord(char* buffer, size_t size, const char* format, const LogRecord& record) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    if (format == nullptr) format = "";
    // Two bytes stay reserved for the closing newline and the terminator.
    const size_t limit = size - 2;
    size_t n = 0;
    auto put = [&](const char* text, size_t length) {
        size_t take = std::min(length, limit - n);
        std::memcpy(buffer + n, text, take);
        n += take;
    };
    char scratch[64];
    for (const char* p = format; *p != '\0' && n < limit; ++p) {
        if (*p != '#') {
            buffer[n++] = *p;
            continue;
        }
        char directive = *++p;
        if (directive == '\0') break;
        switch (directive) {
            case 'D':
                put(scratch, FormatTimestamp(scratch, sizeof scratch, record.time));
                break;
            case 'E': {
                const char* name = ExecutableName();
                put(name, std::strlen(name));
                break;
            }
            case 'G':
                n += CategoryNames(buffer + n, limit - n + 1, record.Categories());
                break;
            case 'H': {
                float seconds = static_cast<float>(ElapsedSeconds());
                auto whole = static_cast<long long>(seconds);
                auto millis = static_cast<long long>(seconds * 1000.0f) % 1000;
                put(scratch, Written(std::snprintf(scratch, sizeof scratch, "%06lld.%03lld", whole, millis),
                                     sizeof scratch));
                break;
            }
            case 'L': {
                const char* word = LevelWord(record.level);
                put(word, std::strlen(word));
                break;
            }
            case 'M': {
                const char* message = record.message != nullptr ? record.message : "";
                put(message, std::strlen(message));
                break;
            }
            case 'T': {
                void* id = reinterpret_cast<void*>(static_cast<uintptr_t>(Platform::CurrentThreadId()));
                put(scratch, Written(std::snprintf(scratch, sizeof scratch, "%p", id), sizeof scratch));
                break;
            }
            default:
                buffer[n++] = directive;
                break;
        }
    }
    if (n > 0 && buffer[n - 1] == '\n') {
        buffer[n] = '\0';
        return n;
    }
    buffer[n++] = '\n';
    buffer[n] = '\0';
    return n;
}

// ---------------------------------------------------------------------------
// The Logger.

namespace {

// A target's level and masks; records without categories pass the masks.
bool Takes(LogLevel minimum, LogCategories include, LogCategories exclude, LogLevel level,
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

constinit std::atomic<Logger*> gLogger{nullptr};
constinit std::atomic<uint32_t> gReferences{0};
// Serialises creation and destruction of the Logger.
constinit std::mutex gLifecycle;

Logger* ExistingLogger() noexcept { return gLogger.load(std::memory_order_acquire); }

// The Logger, created on demand; null only when it cannot be built.
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

}  // namespace

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

// ---------------------------------------------------------------------------
// Log targets.

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
    static bool WriteNothing(LogTargetInterface*, const LogRecord*) noexcept { return false; }
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
                .Write = &LogTargetSlots::WriteNothing},
               this},
      level_(level),
      include_(include),
      exclude_(exclude),
      format_(format != nullptr ? format : "") {}

// Derived targets unregister in their own destructors, before their state goes;
// this is the last safety net.
LogTarget::~LogTarget() { LogTarget::Unregister(); }

void LogTarget::ForwardWrites() noexcept { binding_.table.Write = &LogTargetSlots::Write; }

const char* LogTarget::GetName() const noexcept { return "LogTarget"; }

const char* LogTarget::GetFormat(const LogRecord&) const noexcept {
    std::lock_guard guard(lock_);
    return format_.c_str();
}

void LogTarget::Register() noexcept {
    Logger* logger = TheLogger();
    if (logger == nullptr) return;
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
    if (Logger* logger = ExistingLogger()) RemoveAll(*logger, Interface());
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

StdErrLogTarget::StdErrLogTarget(const char* format) : BaseConsoleLogTarget(format) { ForwardWrites(); }
StdErrLogTarget::~StdErrLogTarget() { Unregister(); }

bool StdErrLogTarget::WriteLine(const char* line, size_t) {
    std::fputs(line, stderr);
    return true;
}

void StdErrLogTarget::Flush() noexcept { std::fflush(stderr); }

StdOutLogTarget::StdOutLogTarget(const char* format) : BaseConsoleLogTarget(format) { ForwardWrites(); }
StdOutLogTarget::~StdOutLogTarget() { Unregister(); }

bool StdOutLogTarget::WriteLine(const char* line, size_t) {
    std::fputs(line, stdout);
    return true;
}

void StdOutLogTarget::Flush() noexcept { std::fflush(stdout); }

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget(const char* format) : BaseConsoleLogTarget(format) {
    ForwardWrites();
}
DebuggerConsoleLogTarget::~DebuggerConsoleLogTarget() { Unregister(); }

bool DebuggerConsoleLogTarget::WriteLine(const char* line, size_t) {
    Platform::DebuggerConsoleWrite(line);
    return true;
}

// ---------------------------------------------------------------------------
// The LoggingInterface.

namespace {

int32_t SlotVersion(LoggingInterface*) noexcept { return 1; }

uint32_t SlotAddRef(LoggingInterface*) noexcept {
    uint32_t previous = gReferences.fetch_add(1, std::memory_order_acq_rel);
    if (previous == 0) (void)TheLogger();
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
    if (Logger* logger = TheLogger()) {
        std::lock_guard locked(logger->lock);
        body(*logger);
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
    if (Logger* logger = ExistingLogger()) RemoveAll(*logger, target);
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
    Logger* logger = TheLogger();
    return logger != nullptr ? logger->stdOut.Interface() : nullptr;
}
LogTargetInterface* SlotStdErr(LoggingInterface*) noexcept {
    Logger* logger = TheLogger();
    return logger != nullptr ? logger->stdErr.Interface() : nullptr;
}
LogTargetInterface* SlotDebugger(LoggingInterface*) noexcept {
    Logger* logger = TheLogger();
    return logger != nullptr ? logger->debugger.Interface() : nullptr;
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

// At library load "LOC" takes the first free slot (8, mask 256).
[[maybe_unused]] const LogCategories kCategoryLOC = CategoryFromName("LOC");

// Whoever logs also gets the event-tracing providers registered at load.
[[gnu::used]] const void* const kEventTracingAtLoad = &EventTracing::kRegisteredAtLoad;

}  // namespace

LoggingInterface* GetLoggingInterface() noexcept { return &gLoggingInterface; }

}  // namespace Vemi
