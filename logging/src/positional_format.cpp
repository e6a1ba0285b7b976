#include <kav/logging/positional_format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

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

// The C runtime is never asked for a field wider than the room can show (some C
// libraries put a whole field on the stack). A precision this long already holds every
// exact digit of a double (at most 1074) and more digits than the room: what a longer
// one adds is zeros past the room, so it is cut to the cap and the width loses as much,
// which keeps the padding. A number under the cap is at most 320 characters longer, so
// a width past kWidthCap shows only its padding in the room.
constexpr long long kPrecisionCap = static_cast<long long>(kPositionalFormatBufferSize) + 64;
constexpr long long kWidthCap = kPrecisionCap + 320 + static_cast<long long>(kPositionalFormatBufferSize);

// A run of digits as a field; false past INT_MAX, which printf refuses.
bool ReadField(const char*& p, const char* end, long long& value) noexcept {
    value = 0;
    for (; p < end && IsDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return false;
    }
    return true;
}

template <class T>
int Print(char* out, size_t room, const char* pattern, T value) noexcept {
    return std::snprintf(out, room, pattern, value);
}

// Texts are padded and cut here, not by printf: "-" is their only flag, and no C
// library ever sees their field. Answers the room used, like snprintf's result.
size_t PutText(const char* s, size_t length, long long width, bool leftAlign, char* out, size_t room) noexcept {
    const size_t pad = width > static_cast<long long>(length) ? static_cast<size_t>(width) - length : 0;
    const size_t total = pad > SIZE_MAX - length ? SIZE_MAX : pad + length;
    const size_t shown = std::min(total, room - 1);
    const size_t chars = std::min(length, leftAlign ? shown : shown - std::min(pad, shown));
    const size_t spacesFirst = leftAlign ? 0 : std::min(pad, shown);
    std::memset(out, ' ', spacesFirst);
    std::memcpy(out + spacesFirst, s, chars);
    std::memset(out + spacesFirst + chars, ' ', shown - spacesFirst - chars);
    out[shown] = '\0';
    return std::min(total, room);
}

// A directive's flags, width and precision, read once for both kinds of argument.
struct Fields {
    char pattern[kDirectiveLimit + 32];  // "%" and the flags so far
    size_t n = 0;
    bool leftAlign = false;
    bool alternate = false;  // "#"
    long long width = 0;
    long long precision = -1;  // none
};

// Reads "%", flags, width and precision; false when the C library would refuse them
// (a width or precision past its limits).
bool ReadFields(const char* text, size_t length, const int* stars, size_t starCount, Fields& f) noexcept {
    f.pattern[f.n++] = '%';
    const char* p = text + 1;
    const char* end = text + length;
    for (; p < end && std::strchr("-+ #0", *p) != nullptr; ++p) {
        if (*p == '-') f.leftAlign = true;
        if (*p == '#') f.alternate = true;
        f.pattern[f.n++] = *p;
    }
    size_t star = 0;
    if (p < end && *p == '*') {
        ++p;
        const int w = star < starCount ? stars[star] : 0;
        ++star;
        if (w == INT_MIN) return false;  // "-" and a width past INT_MAX
        if (w < 0) {
            f.leftAlign = true;
            f.pattern[f.n++] = '-';
        }
        f.width = w < 0 ? -static_cast<long long>(w) : w;
    } else if (!ReadField(p, end, f.width)) {
        return false;
    }
    if (p < end && *p == '.') {
        ++p;
        if (p < end && *p == '*') {
            ++p;
            const int v = star < starCount ? stars[star] : 0;
            f.precision = v < 0 ? -1 : v;  // a negative one counts as none
        } else if (!ReadField(p, end, f.precision)) {
            return false;
        }
    }
    return true;
}

size_t PutTextArgument(const Argument& a, const Fields& f, char* out, size_t room) noexcept {
    // Text up to the field's width or the room, whichever is more, is all that decides
    // the padding and what shows: a longer one is not read further.
    const size_t enough = std::max(static_cast<size_t>(f.width), room);
    const size_t limit = std::min(f.precision < 0 ? SIZE_MAX : static_cast<size_t>(f.precision), enough);
    if (a.kind == ArgumentKind::CString) {
        const char* s = a.data != nullptr ? a.data : "";
        return PutText(s, strnlen(s, limit), f.width, f.leftAlign, out, room);
    }
    if (a.kind == ArgumentKind::Chars) {
        // Not NUL-terminated: never read past its size.
        const char* s = a.data != nullptr ? a.data : "";
        const size_t size = a.data != nullptr ? a.size : 0;
        return PutText(s, strnlen(s, std::min(size, limit)), f.width, f.leftAlign, out, room);
    }
    char form[kPositionalFormatBufferSize];
    form[0] = '\0';
    if (a.writer != nullptr) a.writer(a.object, form, sizeof form);
    form[sizeof form - 1] = '\0';
    return PutText(form, strnlen(form, limit), f.width, f.leftAlign, out, room);
}

// The bytes "h" (2) or "hh" (1) narrow an integer to; 0 for any other modifier.
size_t NarrowedSize(std::string_view modifier) noexcept {
    if (modifier == "h") return sizeof(short);
    if (modifier == "hh") return sizeof(char);
    return 0;
}

// An integer argument narrowed as "h" or "hh" do it in C: to short or char, signed for
// "d" and "i", passed as the int C promotes it to.
int Narrow(const Argument& a, size_t size, char conversion) noexcept {
    const uint64_t bits = a.kind == ArgumentKind::UInt32 || a.kind == ArgumentKind::UInt64
                              ? a.unsignedValue
                              : static_cast<uint64_t>(a.signedValue);
    const bool isSigned = conversion == 'd' || conversion == 'i';
    if (size == sizeof(char)) {
        return isSigned ? static_cast<signed char>(bits) : static_cast<unsigned char>(bits);
    }
    return isSigned ? static_cast<short>(bits) : static_cast<unsigned short>(bits);
}

// Numbers go to snprintf with their fields capped; answers its result.
int PrintNumber(const Argument& a, Fields& f, const TypeRules& rules, char conversion, size_t narrowTo, char* out,
                size_t room) noexcept {
    long long width = f.width;
    long long precision = f.precision;
    if (precision > kPrecisionCap) {
        // "c", infinities and NaNs take no precision, and "g" without "#" drops the zeros it would add.
        const bool sameLength = conversion == 'c' || (a.kind == ArgumentKind::Double && !std::isfinite(a.doubleValue)) ||
                                ((conversion == 'g' || conversion == 'G') && !f.alternate);
        if (!sameLength) width = std::max(width - (precision - kPrecisionCap), 0LL);
        precision = kPrecisionCap;
    }
    char* pattern = f.pattern;
    size_t n = f.n;
    if (width > 0) {
        n += static_cast<size_t>(std::snprintf(pattern + n, sizeof f.pattern - n, "%lld", std::min(width, kWidthCap)));
    }
    if (precision >= 0) {
        n += static_cast<size_t>(std::snprintf(pattern + n, sizeof f.pattern - n, ".%lld", precision));
    }
    const bool narrowed = rules.integer && conversion != 'c' && narrowTo != 0;
    if (rules.integer && conversion != 'c' && !narrowed) {
        for (const char* m = rules.length; *m != '\0'; ++m) pattern[n++] = *m;
    }
    pattern[n++] = conversion;
    pattern[n] = '\0';

    if (narrowed) return Print(out, room, pattern, Narrow(a, narrowTo, conversion));
    switch (a.kind) {
        case ArgumentKind::Int32:
        case ArgumentKind::Char:
            return Print(out, room, pattern, static_cast<int>(a.signedValue));
        case ArgumentKind::UInt32:
            return Print(out, room, pattern, static_cast<unsigned>(a.unsignedValue));
        case ArgumentKind::Int64:
            return conversion == 'c' ? Print(out, room, pattern, static_cast<int>(a.signedValue))
                                     : Print(out, room, pattern, static_cast<long long>(a.signedValue));
        case ArgumentKind::UInt64:
            return conversion == 'c' ? Print(out, room, pattern, static_cast<int>(a.unsignedValue))
                                     : Print(out, room, pattern, static_cast<unsigned long long>(a.unsignedValue));
        case ArgumentKind::Double:
            return Print(out, room, pattern, a.doubleValue);
        default:
            return 0;
    }
}

// Prints one argument for the directive; answers the room used, or false when the C
// library refuses the directive (a width or precision past its limits).
bool FormatArgument(const Argument& a, const Directive& d, const int* stars, char* out, size_t room,
                    size_t& used) noexcept {
    used = 0;
    const TypeRules rules = RulesOf(a.kind);
    const char* text = d.text;
    size_t length = d.length;
    char conversion = rules.natural;
    if (length > 1) {
        char last = text[--length];
        // "n" would store instead of print: it prints nothing.
        if (last == 'n') return true;
        if (std::strchr(rules.allowed, last) != nullptr) conversion = last;
    }
    // printf reads the argument at its own type's width, whatever the directive says
    // ("%lld" of an int would read past it); "h" and "hh" narrow the value as C does.
    const size_t modifierEnd = length;
    while (length > 1 && std::strchr("hlLjtz", text[length - 1]) != nullptr) --length;
    const size_t narrowTo = NarrowedSize(std::string_view(text + length, modifierEnd - length));

    // What is left is "%", flags, width and precision: rebuilt with the fields as numbers.
    Fields f;
    if (!ReadFields(text, length, stars, d.starCount, f)) return false;
    if (a.kind == ArgumentKind::CString || a.kind == ArgumentKind::Chars || a.kind == ArgumentKind::TextForm) {
        used = PutTextArgument(a, f, out, room);
        return true;
    }
    const int written = PrintNumber(a, f, rules, conversion, narrowTo, out, room);
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
