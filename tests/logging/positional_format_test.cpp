#include <kav/logging/positional_format.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

using Vemi::PositionalFormat;

namespace textform {

// Stands in for the runtime's version record: printed through its text form.
struct Version { int major, minor; };

size_t PositionalText(const Version& v, char* buffer, size_t size) {
    int n = std::snprintf(buffer, size, "%d.%d", v.major, v.minor);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace textform

TEST(PositionalFormat, Conversions) {
    const char* nothing = nullptr;
    std::string_view unterminated = std::string_view("abcdef").substr(0, 3);
    struct Row { std::string got; const char* expected; };
    const Row rows[] = {
        // Natural forms by position.
        {PositionalFormat("%1.%2.%3", 18u, 0u, 0u), "18.0.0"}, {PositionalFormat("%1%2/", "", "abc"), "abc/"},
        {PositionalFormat("%2 %1", "a", "b"), "b a"}, {PositionalFormat("%s-%s", "a", "b"), "a-b"},
        {PositionalFormat("%1 %1", int64_t{-5}), "-5 -5"}, {PositionalFormat("%1", UINT64_MAX), "18446744073709551615"},
        {PositionalFormat("%1|%2", 'A', 2.5), "A|2.5"},
        {PositionalFormat("%1/%2/%3", std::string("s"), unterminated, nothing), "s/abc/"},
        {PositionalFormat("%1", textform::Version{1, 2}), "1.2"},
        // printf directives, with and without positions.
        {PositionalFormat("%1$5d", 42), "   42"}, {PositionalFormat("%2$08x", 1, 255u), "000000ff"},
        {PositionalFormat("%x", -1), "ffffffff"}, {PositionalFormat("%X", uint64_t{1} << 40), "10000000000"},
        {PositionalFormat("%d|%u|%x", char(-1), char(-1), 'A'), "-1|4294967295|41"},
        {PositionalFormat("%.2f|%e", 3.14159, 1.0), "3.14|1.000000e+00"},
        {PositionalFormat("%.2s|%-4s|", "abcdef", std::string_view("ab")), "ab|ab  |"},
        {PositionalFormat("%-6s|", textform::Version{10, 4}), "10.4  |"},
        {PositionalFormat("%c%c", 72, int64_t{105}), "Hi"},
        // The argument's own length modifier is used; "h" and "hh" narrow the value to short and char.
        {PositionalFormat("%lld|%hhd", 5, int64_t{300}), "5|44"}, {PositionalFormat("%hhd|%hx", 300, 70000), "44|1170"},
        {PositionalFormat("%hhu|%hd|%hi|%hu", -1, 40000u, (int64_t{1} << 32) + 65535, -1), "255|-25536|-1|65535"},
        {PositionalFormat("%hhX|%hhc|%ho", UINT64_MAX, 'A', 'A'), "FF|A|101"},
        {PositionalFormat("%hs|%hf|%1$hh", 70000, 2.5), "4464|2.500000|4464"},  // "%hh" at the end: "h" and "d"
        {PositionalFormat("%ld|%jx|%zu|%Lf", 5, 255u, 7, 0.5), "5|ff|7|0.500000"},
        // Conversions that do not suit the argument fall back to its natural one.
        {PositionalFormat("%d", "text"), "text"}, {PositionalFormat("%s|%x", 7, 2.5), "7|2.5"},
        {PositionalFormat("%d", textform::Version{3, 0}), "3.0"},
        {PositionalFormat("%5", 7), "7"},  // 5 is no position: a width whose last digit is taken as conversion
        // Widths and precisions from arguments.
        {PositionalFormat("%*d|", 5, 42), "   42|"}, {PositionalFormat("%-*d|", 4, 7), "7   |"},
        {PositionalFormat("%.*f", 2, 3.14159), "3.14"}, {PositionalFormat("%3$*1$.*2$f", 8, 2, 3.14159), "    3.14"},
        {PositionalFormat("%*2$d", 42, 6), "    42"},
        {PositionalFormat("%*d", (int64_t{1} << 32) + 3, 9), "  9"},  // low 32 bits
        {PositionalFormat("a%*db", "x", 5), "a"},                      // a text is no width
        {PositionalFormat("a%*9$db", 3, 5), "a"},                      // width position beyond the arguments
        // Escapes, "n", missing arguments, malformed directives.
        {PositionalFormat("100%%"), "100%"}, {PositionalFormat("a%nb|%1$n|", 5), "ab||"},
        {PositionalFormat("%s %s|", "x"), "x "}, {PositionalFormat("50%"), "50"}, {PositionalFormat("50%", 1), "501"},
        {PositionalFormat("plain"), "plain"}, {PositionalFormat(nullptr, 1), ""},
        {PositionalFormat(("%" + std::string(58, '-') + "d|").c_str(), 5), "5|"},  // 60 characters
        {PositionalFormat(("a%" + std::string(59, '-') + "d|").c_str(), 5), "a"},  // 61: parsing fails
        // Widths and precisions the C library refuses (2^31 and more) end the message there.
        {PositionalFormat("ab%99999999999999999999dcd", 5), "ab"}, {PositionalFormat("ab%.2147483648dcd", 5), "ab"},
        {PositionalFormat("ab%1$2147483648scd", "x"), "ab"}, {PositionalFormat("ab%-2147483648.3fcd", 1.5), "ab"},
        {PositionalFormat("ab%*dcd", INT32_MIN, 5), "ab"},
        // Texts take "-" as their only flag.
        {PositionalFormat("%05s|%-*s|%*s|", "ab", -3, "c", 2, std::string_view("xyz")), "   ab|c  |xyz|"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) EXPECT_EQ(rows[i].got, rows[i].expected) << "row " << i;
}

// g++ 12 -O3 takes the inserts of `"text" + std::string` below for overlapping copies.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
// Messages stop at 4095 characters; fields wider than the room show their start.
TEST(PositionalFormat, CutsAt4095Characters) {
    const std::string spaces(4095, ' ');
    const std::string longText(6000, 't');
    struct Row { std::string got; std::string expected; };
    const Row rows[] = {
        {PositionalFormat(std::string(5000, 'z').c_str()), std::string(4095, 'z')},
        {PositionalFormat("%1", std::string(5000, 'y')), std::string(4095, 'y')},
        {PositionalFormat("%1%2%3", std::string(4090, 'y'), "abcdefgh", 7), std::string(4090, 'y') + "abcde"},
        {PositionalFormat("%1$4100d", 1), spaces}, {PositionalFormat("%2000000000d", 5), spaces},
        {PositionalFormat("%*d", 2147483647, 5), spaces},
        {PositionalFormat("%-2000000000d", 5), "5" + spaces.substr(1)},
        {PositionalFormat("%*x", -2000000000, 255u), "ff" + spaces.substr(2)},
        {PositionalFormat("%+.2000000000d", 5), "+" + std::string(4094, '0')},
        {PositionalFormat("%#.*x", 2000000000, 1u), "0x" + std::string(4093, '0')},
        {PositionalFormat("%08000000i", -7), "-" + std::string(4094, '0')},
        {PositionalFormat("%.2000000000f", 0.5), "0.5" + std::string(4092, '0')},
        {PositionalFormat("%.2000000000e", 1.0), "1." + std::string(4093, '0')},
        {PositionalFormat("%2000000000s", "x"), spaces},
        {PositionalFormat("%-2000000000s", "x"), "x" + spaces.substr(1)},
        {PositionalFormat("%.2000000000s|", "abc"), "abc|"},
        {PositionalFormat("%6010s", longText.c_str()), std::string(10, ' ') + longText.substr(0, 4085)},
        {PositionalFormat("%-5000.3s|", "abcdef"), "abc" + spaces.substr(3)},
        // Past the precision's cap the padding is still C's.
        {PositionalFormat("%4161.4161x", 1u), std::string(4095, '0')},
        {PositionalFormat("%4200.4200f", 1.0), "1." + std::string(4093, '0')},
        {PositionalFormat("%*.*e", 6000, 5000, 2.5), std::string(994, ' ') + "2.5" + std::string(3098, '0')},
        {PositionalFormat("%#4400.4300g", 1.0), std::string(99, ' ') + "1." + std::string(3994, '0')},
        {PositionalFormat("%-4300.4300d|", -7), "-" + std::string(4094, '0')},
        {PositionalFormat("%4000.5000g|", 1.5), std::string(3997, ' ') + "1.5|"},
        {PositionalFormat("%4000.5000c|", 'x'), std::string(3999, ' ') + "x|"},
        {PositionalFormat("%300.5000f|%-4.5000E|", -HUGE_VAL, HUGE_VAL), std::string(296, ' ') + "-inf|INF |"},
        // Texts longer than the room are padded by their whole length.
        {PositionalFormat("%4097s", std::string(4096, 's')), " " + std::string(4094, 's')},
        {PositionalFormat("%4097s", std::string(4096, 's').c_str()), " " + std::string(4094, 's')},
        {PositionalFormat("ab%4100s", std::string_view(longText).substr(0, 4098)), "ab  " + longText.substr(0, 4091)},
        {PositionalFormat("%*s", 10000, longText), std::string(4000, ' ') + longText.substr(0, 95)},
        {PositionalFormat("%.4096s|", longText), longText.substr(0, 4095)},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) EXPECT_EQ(rows[i].got, rows[i].expected) << "row " << i;
}
#pragma GCC diagnostic pop
