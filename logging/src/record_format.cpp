// Level words, timestamps and a record as one line of a target's format.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <kav/logging/logger.h>

namespace Vemi {

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

}  // namespace Vemi
