// PositionalFormat against snprintf. Each input becomes one directive (flags, width,
// precision, length modifier and conversion drawn among those C defines for the
// argument's type, with "*" fields and explicit positions), between a text before it
// that leaves the directive anywhere from all to none of the room, and a text after it.
// PositionalFormat must give the first 4095 characters of what snprintf prints.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <type_traits>

#include <kav/logging/positional_format.h>

namespace {

constexpr size_t kKept = Vemi::kPositionalFormatBufferSize - 1;

struct Rules {
    const char* conversions;  // the natural one first
    const char* modifier;     // the argument's own length modifier
    bool integer;
};

// Mostly small, often around the room and past the caps PositionalFormat puts on
// the fields it hands to the C library.
int FieldSize(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return in.ConsumeIntegralInRange(0, 12);
        case 1: return in.ConsumeIntegralInRange(0, 400);
        default: return in.ConsumeIntegralInRange(3800, 12000);
    }
}

std::string Filler(FuzzedDataProvider& in, size_t length) {
    std::string text(length, ' ');
    const char first = static_cast<char>('A' + in.ConsumeIntegralInRange(0, 25));
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 26);  // never "%"
    return text;
}

// The flags C defines for a conversion ("0" and "#" are undefined for some).
const char* FlagsFor(char conversion) {
    switch (conversion) {
        case 'd': case 'i': case 'u': return "-+ 0";
        case 'c': case 's': return "-";
        default: return "-+ #0";
    }
}

template <class... Args>
std::string CPrint(const std::string& format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format.c_str(), args...);
    if (n < 0) std::abort();  // the fields stay below the C library's limits
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format.c_str(), args...);
    out.pop_back();
    return out;
}

std::string Visible(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t run = 1;
        while (i + run < text.size() && text[i + run] == text[i]) ++run;
        if (run > 8) out += "[" + std::to_string(run) + "x'" + text[i] + "']";
        else out.append(text, i, run);
        i += run;
    }
    return out;
}

template <class T>
std::string CPrintWith(const std::string& format, const int* stars, size_t starCount, T value) {
    switch (starCount) {
        case 0: return CPrint(format, value);
        case 1: return CPrint(format, stars[0], value);
        default: return CPrint(format, stars[0], stars[1], value);
    }
}

// `value` as PositionalFormat takes it; `print` gives what snprintf prints for the
// C directive, its "*" arguments, the conversion and the length modifier.
template <class V, class Print>
void Compare(FuzzedDataProvider& in, const V& value, const Rules& rules, Print print) {
    const std::string before = Filler(in, static_cast<size_t>(FieldSize(in)));
    const std::string after = Filler(in, in.ConsumeIntegralInRange<size_t>(0, 3));

    std::string ours;    // after the "%" (and the position)
    std::string theirs;  // the same for snprintf
    int stars[2] = {0, 0};
    size_t starCount = 0;
    bool explicitPosition = in.ConsumeBool();
    char conversion = rules.conversions[0];
    std::string modifier = rules.modifier;
    const bool natural = in.ConsumeIntegralInRange(0, 7) == 0;
    long long leadingWidth = -1;  // a width in digits right after the "%"
    if (natural) {
        explicitPosition = true;
        theirs = modifier + conversion;
    } else {
        const size_t count = std::strlen(rules.conversions);
        conversion = rules.conversions[in.ConsumeIntegralInRange<size_t>(0, count - 1)];
        const char* flags = FlagsFor(conversion);
        for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
            theirs += flags[in.ConsumeIntegralInRange<size_t>(0, std::strlen(flags) - 1)];
        }
        const auto field = [&](bool precision) {
            switch (in.ConsumeIntegralInRange(0, 2)) {
                case 0: break;
                case 1: {
                    const int n = FieldSize(in);
                    if (!precision && n == 0) break;  // a "0" here is a flag
                    if (!precision && theirs.empty()) leadingWidth = n;
                    theirs += std::to_string(n);
                    break;
                }
                default: {
                    const int n = FieldSize(in);
                    stars[starCount++] = in.ConsumeBool() ? -n : n;  // "-" flag, or no precision
                    theirs += '*';
                    break;
                }
            }
        };
        field(false);
        if (conversion != 'c' && in.ConsumeBool()) {
            theirs += '.';
            field(true);
        }
        if (rules.integer && conversion != 'c') {
            switch (in.ConsumeIntegralInRange(0, 2)) {
                case 1: modifier = "h"; break;
                case 2: modifier = "hh"; break;
                default: break;
            }
        } else {
            modifier.clear();
        }
        theirs += modifier + conversion;
        ours = theirs;
    }
    // Leading digits no greater than the argument count would be read as a position.
    if (leadingWidth >= 0 && leadingWidth <= static_cast<long long>(starCount + 1)) explicitPosition = true;
    if (explicitPosition && starCount > 0) {
        // The value first, then the "*" arguments.
        std::string positioned;
        size_t star = 0;
        for (char ch : ours) {
            positioned += ch;
            if (ch == '*') positioned += std::to_string(2 + star++) + "$";
        }
        ours = positioned;
    }
    const std::string format = before + (natural ? "%1" : explicitPosition ? "%1$" : "%") + ours + after;
    const std::string cFormat = "%" + theirs;

    std::string got;
    switch (starCount) {
        case 0: got = Vemi::PositionalFormat(format.c_str(), value); break;
        case 1:
            got = explicitPosition ? Vemi::PositionalFormat(format.c_str(), value, stars[0])
                                   : Vemi::PositionalFormat(format.c_str(), stars[0], value);
            break;
        default:
            got = explicitPosition ? Vemi::PositionalFormat(format.c_str(), value, stars[0], stars[1])
                                   : Vemi::PositionalFormat(format.c_str(), stars[0], stars[1], value);
            break;
    }
    const std::string expected = (before + print(cFormat, stars, starCount, conversion, modifier) + after).substr(0, kKept);
    if (got != expected) {
        size_t at = 0;
        while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
        std::fprintf(stderr, "%zu characters, then %s (C: %s, stars %d %d, a %s)\nfrom character %zu:\nexpected %s\ngot      %s\n",
                     before.size(), Visible(format.substr(before.size())).c_str(), cFormat.c_str(), stars[0], stars[1],
                     std::is_same_v<V, std::string> ? "string object" : "value", at,
                     Visible(expected.substr(at)).c_str(), Visible(got.substr(at)).c_str());
        std::abort();
    }
}

// snprintf gets the type the directive names: the argument's own, or an int that C
// narrows for "h" and "hh" (64-bit values give their low 32 bits first), signed for
// "d" and "i".
template <class T>
void CompareInteger(FuzzedDataProvider& in, T value, const Rules& rules) {
    Compare(in, value, rules,
            [value](const std::string& f, const int* stars, size_t n, char conversion, const std::string& modifier) {
                const bool isSigned = conversion == 'd' || conversion == 'i';
                if (conversion == 'c' || modifier == "h" || modifier == "hh") {
                    return CPrintWith(f, stars, n, static_cast<int>(static_cast<uint32_t>(value)));
                }
                if (modifier == "ll") {
                    return isSigned ? CPrintWith(f, stars, n, static_cast<long long>(value))
                                    : CPrintWith(f, stars, n, static_cast<unsigned long long>(value));
                }
                return isSigned ? CPrintWith(f, stars, n, static_cast<int>(value))
                                : CPrintWith(f, stars, n, static_cast<unsigned>(value));
            });
}

double AnyDouble(FuzzedDataProvider& in) {
    static constexpr double kChosen[] = {0.0, -0.0, 1.0, 2.5, 0.1, 1e308, -1.7976931348623157e308, 5e-324,
                                         2.2250738585072014e-308, 123456789.0, 1e-5, 1e15};
    switch (in.ConsumeIntegralInRange(0, 2)) {
        case 0: return kChosen[in.ConsumeIntegralInRange<size_t>(0, std::size(kChosen) - 1)];
        case 1: return in.ConsumeFloatingPoint<double>();
        default: {
            const uint64_t bits = in.ConsumeIntegral<uint64_t>();  // infinities and NaNs too
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: CompareInteger(in, in.ConsumeIntegral<int32_t>(), {"dciouxX", "", true}); break;
        case 1: CompareInteger(in, in.ConsumeIntegral<uint32_t>(), {"ucdioxX", "", true}); break;
        case 2: CompareInteger(in, in.ConsumeIntegral<int64_t>(), {"dciouxX", "ll", true}); break;
        case 3: CompareInteger(in, in.ConsumeIntegral<uint64_t>(), {"ucdioxX", "ll", true}); break;
        case 4: CompareInteger(in, in.ConsumeIntegral<char>(), {"cdiouxX", "", true}); break;
        case 5: {
            const double value = AnyDouble(in);
            Compare(in, value, {"gaefGAEF", "", false},
                    [value](const std::string& f, const int* stars, size_t n, char, const std::string&) {
                        return CPrintWith(f, stars, n, value);
                    });
            break;
        }
        default: {
            // Texts around the room's size, as a C string or as a string object.
            const std::string value = Filler(in, static_cast<size_t>(FieldSize(in)));
            const auto print = [&value](const std::string& f, const int* stars, size_t n, char, const std::string&) {
                return CPrintWith(f, stars, n, value.c_str());
            };
            if (in.ConsumeBool()) Compare(in, value, {"s", "", false}, print);
            else Compare(in, value.c_str(), {"s", "", false}, print);
            break;
        }
    }
    return 0;
}
