#include "logging/positional_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format_directive.h"

namespace Vemi::PositionalFormatDetail {

namespace {

constexpr size_t kNumberCap = 1000000000;

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Reads a decimal number, saturating instead of overflowing.
size_t ReadNumber(const char*& p) noexcept {
    size_t n = 0;
    for (; IsDigit(*p); ++p) n = std::min(n * 10 + static_cast<size_t>(*p - '0'), kNumberCap);
    return n;
}

struct DirectiveWriter {
    Directive& d;
    bool overflow = false;
    void Put(char c) noexcept {
        if (d.length >= kDirectiveLimit) {
            overflow = true;
            return;
        }
        d.text[d.length++] = c;
    }
};

// "*" (optionally "N$") or a run of digits.
void ParseWidth(const char*& p, size_t& nextSequential, Directive& d, DirectiveWriter& out) noexcept {
    if (*p == '*') {
        out.Put('*');
        ++p;
        const char* digits = p;
        if (*p >= '1' && *p <= '9') {
            size_t n = ReadNumber(p);
            if (*p == '$') {
                ++p;
                d.stars[d.starCount++] = n;
                return;
            }
        }
        p = digits;
        d.stars[d.starCount++] = nextSequential++;
        return;
    }
    while (IsDigit(*p)) out.Put(*p++);
}

}  // namespace

bool ParseDirective(const char*& cursor, size_t argumentCount, size_t& nextSequential, Directive& d) noexcept {
    d = Directive{};
    DirectiveWriter out{d};
    const char* p = cursor;
    out.Put(*p++);
    if (*p >= '1' && *p <= '9') {
        const char* digits = p;
        size_t n = ReadNumber(p);
        if (n <= argumentCount) {
            d.position = n;
            d.explicitPosition = true;
            if (*p != '$') {
                // "%N": the natural form of argument N.
                d.text[d.length] = '\0';
                cursor = p;
                return true;
            }
            ++p;
        } else {
            p = digits;  // not a position: the digits are a width
        }
    }
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) out.Put(*p++);
    ParseWidth(p, nextSequential, d, out);
    if (*p == '.') {
        out.Put(*p++);
        ParseWidth(p, nextSequential, d, out);
    }
    if (*p == 'L' || *p == 'j' || *p == 't' || *p == 'z') {
        out.Put(*p++);
    } else if (*p == 'h' || *p == 'l') {
        char modifier = *p;
        out.Put(*p++);
        if (*p == modifier) out.Put(*p++);
    }
    if (*p != '\0') out.Put(*p++);
    if (!d.explicitPosition) d.position = nextSequential++;
    if (out.overflow) return false;
    d.text[d.length] = '\0';
    cursor = p;
    return true;
}

namespace {

struct TypeRules {
    char natural;
    const char* allowed;
    const char* length;  // length modifier matching how the value is passed
    bool integer;
};

TypeRules RulesOf(ArgumentKind kind) noexcept {
    switch (kind) {
        case ArgumentKind::Int32: return {'d', "dciouxX", "", true};
        case ArgumentKind::UInt32: return {'u', "ucdioxX", "", true};
        case ArgumentKind::Int64: return {'d', "dciouxX", "ll", true};
        case ArgumentKind::UInt64: return {'u', "ucdioxX", "ll", true};
        case ArgumentKind::Char: return {'c', "cdiouxX", "", true};
        case ArgumentKind::Double: return {'g', "gaefGAEF", "", false};
        default: return {'s', "s", "", false};
    }
}

int32_t AsInt(const Argument& a) noexcept {
    // 64-bit values give their low 32 bits.
    return a.kind == ArgumentKind::UInt32 || a.kind == ArgumentKind::UInt64
               ? static_cast<int32_t>(static_cast<uint32_t>(a.unsignedValue))
               : static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(a.signedValue)));
}

template <class T>
int Print(char* out, size_t room, const char* pattern, const int* stars, size_t starCount, T value) noexcept {
    switch (starCount) {
        case 0: return std::snprintf(out, room, pattern, value);
        case 1: return std::snprintf(out, room, pattern, stars[0], value);
        default: return std::snprintf(out, room, pattern, stars[0], stars[1], value);
    }
}

// Prints one argument for the directive; answers the room used, or false when the C
// library refuses the directive (a width or precision past its limits).
bool FormatArgument(const Argument& a, const Directive& d, const int* stars, char* out, size_t room,
                    size_t& used) noexcept {
    used = 0;
    const TypeRules rules = RulesOf(a.kind);
    char pattern[kDirectiveLimit + 8];
    size_t length = d.length;
    std::memcpy(pattern, d.text, length);
    char conversion = rules.natural;
    if (length > 1) {
        char last = pattern[--length];
        // "n" would store instead of print: it prints nothing.
        if (last == 'n') return true;
        if (std::strchr(rules.allowed, last) != nullptr) conversion = last;
    }
    // The length modifier always comes from the argument's own type, so a
    // directive like "%hd" or "%lld" cannot make printf read the wrong width.
    while (length > 1 && std::strchr("hlLjtz", pattern[length - 1]) != nullptr) --length;
    size_t starCount = static_cast<size_t>(std::count(pattern, pattern + length, '*'));
    starCount = std::min(starCount, d.starCount);
    if (rules.integer && conversion != 'c') {
        for (const char* m = rules.length; *m != '\0'; ++m) pattern[length++] = *m;
    }
    pattern[length++] = conversion;
    pattern[length] = '\0';

    int written = 0;
    char text[kPositionalFormatBufferSize];
    switch (a.kind) {
        case ArgumentKind::Int32:
        case ArgumentKind::Char:
            written = Print(out, room, pattern, stars, starCount, static_cast<int>(a.signedValue));
            break;
        case ArgumentKind::UInt32:
            written = Print(out, room, pattern, stars, starCount, static_cast<unsigned>(a.unsignedValue));
            break;
        case ArgumentKind::Int64:
            written = conversion == 'c' ? Print(out, room, pattern, stars, starCount, static_cast<int>(a.signedValue))
                                        : Print(out, room, pattern, stars, starCount, static_cast<long long>(a.signedValue));
            break;
        case ArgumentKind::UInt64:
            written = conversion == 'c'
                          ? Print(out, room, pattern, stars, starCount, static_cast<int>(a.unsignedValue))
                          : Print(out, room, pattern, stars, starCount, static_cast<unsigned long long>(a.unsignedValue));
            break;
        case ArgumentKind::Double:
            written = Print(out, room, pattern, stars, starCount, a.doubleValue);
            break;
        case ArgumentKind::CString:
            written = Print(out, room, pattern, stars, starCount, a.data != nullptr ? a.data : "");
            break;
        case ArgumentKind::Chars: {
            // Not NUL-terminated: a copy of what can ever be printed.
            size_t n = a.data != nullptr ? std::min(a.size, sizeof text - 1) : 0;
            if (n > 0) std::memcpy(text, a.data, n);
            text[n] = '\0';
            written = Print(out, room, pattern, stars, starCount, static_cast<const char*>(text));
            break;
        }
        case ArgumentKind::TextForm: {
            text[0] = '\0';
            if (a.writer != nullptr) a.writer(a.object, text, sizeof text);
            text[sizeof text - 1] = '\0';
            written = Print(out, room, pattern, stars, starCount, static_cast<const char*>(text));
            break;
        }
    }
    // A failed call may have left anything in the room: none of it counts.
    if (written < 0) return false;
    used = std::min(static_cast<size_t>(written), room);
    return true;
}

}  // namespace

std::string Format(const char* format, const Argument* arguments, size_t count) {
    if (format == nullptr) return {};
    char out[kPositionalFormatBufferSize];
    size_t n = 0;
    size_t nextSequential = 1;
    const char* p = format;
    while (*p != '\0' && n < sizeof out) {
        if (*p != '%') {
            out[n++] = *p++;
            continue;
        }
        if (p[1] == '%') {
            out[n++] = '%';
            p += 2;
            continue;
        }
        Directive d;
        if (!ParseDirective(p, count, nextSequential, d)) break;
        if (d.position == 0 || d.position > count) break;
        int stars[2] = {0, 0};
        bool starsOk = true;
        for (size_t i = 0; i < d.starCount; ++i) {
            size_t position = d.stars[i];
            if (position == 0 || position > count) {
                starsOk = false;
                break;
            }
            const Argument& star = arguments[position - 1];
            if (!RulesOf(star.kind).integer) {
                starsOk = false;
                break;
            }
            stars[i] = AsInt(star);
        }
        if (!starsOk) break;
        size_t used = 0;
        if (!FormatArgument(arguments[d.position - 1], d, stars, out + n, sizeof out - n, used)) break;
        n += used;
    }
    return std::string(out, std::min(n, sizeof out - 1));
}

}  // namespace Vemi::PositionalFormatDetail
