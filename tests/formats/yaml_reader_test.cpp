#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <kav/binding/to_native.h>
#include "decode_case.h"
#include <kav/formats/yaml_reader.h>

using Vemi::Formats::CanonicalText;
using Vemi::Formats::DecodeYaml;
using Vemi::Formats::YamlAliasBudget;

namespace {

using Case = DecodeCase;

std::string Decode(const std::string& input) {
    return DecodeCopy(BytesOf(input), [](const char* data, size_t size) { return DecodeYaml(data, size); });
}

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(Decode(c.input), c.expected) << c.input;
}

std::string Repeat(const std::string& piece, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += piece;
    return text;
}

// Level "a" holds ten values; each later one up to `last` holds ten aliases of the one before.
std::string Laughs(char last) {
    std::string text = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
    for (char c = 'b'; c <= last; ++c) {
        text += std::string(1, c) + ": &" + c + " [" + Repeat(std::string("*") + char(c - 1) + ", ", 9) + "*" +
                char(c - 1) + "]\n";
    }
    return text;
}

}  // namespace

TEST(YamlReader, NullWordsAndEmptyInput) {
    Check({
        {"", "empty"}, {"~", "empty"}, {"null", "empty"},
        {"- ~\n- null\n- Null\n- NULL\n- nULL\n-\n- ''\n- \"null\"\n",
         R"([empty, empty, empty, empty, string:"nULL", empty, string:"", string:"null"])"},
    });
    EXPECT_TRUE(DecodeYaml(static_cast<const char*>(nullptr)).Ok());
}

TEST(YamlReader, ScalarResolution) {
    Check({
        {"a: 1\nb: -2\nc: 1.5\nd: yes\ne: '1'\nf: 1e3\n",
         R"({"a": unsigned:1, "b": signed:-2, "c": float:1.5, "d": bool:true, "e": string:"1", "f": unsigned:1000})"},
        {"- 0x10\n- .5\n- inf\n- nan\n", R"([unsigned:16, float:0.5, string:"inf", float:nan])"},
        {"- -0\n- +7\n- 1e-400\n- 1e400\n- -inf\n- 1e30\n- 12abc\n- \"-3\"\n",
         R"([unsigned:0, unsigned:7, unsigned:0, string:"1e400", float:-inf, float:1e+30, string:"12abc", string:"-3"])"},
        // Past 2^53 decimal integers are read exactly; beyond 64 bits they stay floats.
        {"- 9007199254740993\n- -9007199254740993\n- 18446744073709551615\n- 18446744073709551616\n"
         "- -9223372036854775808\n- -9223372036854775809\n- 1e19\n",
         "[unsigned:9007199254740993, signed:-9007199254740993, unsigned:18446744073709551615, "
         "float:1.8446744073709552e+19, signed:-9223372036854775808, float:-9.2233720368547758e+18, "
         "unsigned:10000000000000000000]"},
        // Plain decimal integers of up to 18 digits and the longer ones read the same way.
        {"- 007\n- -000\n- '-'\n- -12a\n- 999999999999999999\n- -999999999999999999\n- 1234567890123456789\n",
         "[unsigned:7, unsigned:0, string:\"-\", string:\"-12a\", unsigned:999999999999999999, "
         "signed:-999999999999999999, unsigned:1234567890123456789]"},
        {"- |\n  text\n- >-\n  12\n- 'it''s'\n- \"a\\tb\\0c\"\n",
         R"([string:"text\n", unsigned:12, string:"it's", string:"a\tb"])"},
        // Decimal fractions as strtod reads them.
        {"- 5.0\n- -0.0\n- 0.1\n- -12.375\n- 1.\n- .5\n- -.5\n- 1.2.3\n- 123456789012345.6\n- 0.000000000000001\n",
         "[unsigned:5, unsigned:0, float:0.10000000000000001, float:-12.375, unsigned:1, float:0.5, float:-0.5, "
         "string:\"1.2.3\", float:123456789012345.59, float:1.0000000000000001e-15]"},
    });
}

// What the whole-text strtod rule makes of a plain scalar, for texts that hold
// no null or bool word: "" when it is not a number.
std::string ExpectedByStrtod(const std::string& text) {
    char* end = nullptr;
    const double d = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || (std::isinf(d) && d > 0)) return "";
    const bool integral = !std::isnan(d) && std::trunc(d) == d;
    // A decimal integer text that fits 64 bits is read exactly, even where its double rounds out of range.
    errno = 0;
    if (d < 0) (void)std::strtoll(text.c_str(), &end, 10);
    else (void)std::strtoull(text.c_str(), &end, 10);
    const bool fits = errno == 0 && end == text.c_str() + text.size();
    if (integral && ((d >= -9223372036854775808.0 && d < 18446744073709551616.0) || fits)) {
        return d < 0 ? "signed" : "unsigned";
    }
    return "float";
}

// Checks one scalar against strtod: the kind it implies, and the same value.
void ExpectAgreesWithStrtod(const Vemi::Binding::BindingValue& got, const std::string& text) {
    using Vemi::Binding::ValueKind;
    const std::string kind = ExpectedByStrtod(text);
    const double d = std::strtod(text.c_str(), nullptr);
    if (kind.empty()) {
        EXPECT_EQ(got.Kind(), ValueKind::String) << "[" << text << "]";
        EXPECT_EQ(got.AsStringView(), text);
    } else if (kind == "float") {
        ASSERT_EQ(got.Kind(), ValueKind::Float) << "[" << text << "]";
        if (std::isnan(d)) EXPECT_TRUE(std::isnan(got.AsFloat())) << "[" << text << "]";
        else EXPECT_EQ(got.AsFloat(), d) << "[" << text << "]";
    } else if (kind == "signed") {
        ASSERT_EQ(got.Kind(), ValueKind::Signed) << "[" << text << "]";
        EXPECT_EQ(static_cast<double>(got.AsSigned()), d) << "[" << text << "]";
    } else {
        ASSERT_EQ(got.Kind(), ValueKind::Unsigned) << "[" << text << "]";
        EXPECT_EQ(static_cast<double>(got.AsUnsigned()), d) << "[" << text << "]";
    }
}

// Literal blocks keep a text as it is, leading blanks included, and resolve like plain scalars.
void CheckAgainstStrtod(const std::vector<std::string>& texts) {
    for (size_t first = 0; first < texts.size(); first += 1000) {
        const size_t count = std::min<size_t>(1000, texts.size() - first);
        std::string document;
        for (size_t i = first; i < first + count; ++i) document += "- |2-\n  " + texts[i] + "\n";
        const auto result = DecodeYaml(document);
        ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
        ASSERT_EQ(result.value.Size(), count);
        for (size_t i = 0; i < count; ++i) ExpectAgreesWithStrtod(result.value.GetElement(i), texts[first + i]);
    }
}

TEST(YamlReader, NumbersAgreeWithStrtodOnEveryText) {
    std::vector<std::string> texts = {
        ".5.5", "..5", ".1.2", "5..", "1.2.3", "-.5.5", "+.5", "+5", "-5", "--5", "+-5", "-+5", "0x1p3", "0x.8",
        "0x", "0X1F", "-0x10", "1e", "1e+", "1e-3", "1E3", ".e1", "1.e1", "1.5e", "00.5", "000", "-00",
        "9007199254740993", "-9007199254740993", "18446744073709551615", "18446744073709551616",
        "123456789012345678", "1234567890123456789.5", "0.0000000000000001", "99999999999999999999.5",
        "inf", "-inf", "+inf", "INF", "infinity", "-Infinity", "nan", "-nan", "NAN", "nan(1)", "1e400",
        "-1e400", "1e-400", " 5", "  -5", "\t1.5", " .5.5", "5 ", "5\t", " ", "1 2", "1_000",
    };
    // Every text of up to five characters over digits, points, signs, exponents, "x" and blanks.
    const std::string alphabet = "019.-+ex \t";
    std::string text;
    const auto all = [&](auto& self, size_t length) -> void {
        if (!text.empty()) texts.push_back(text);
        if (length == 5) return;
        for (char c : alphabet) {
            text.push_back(c);
            self(self, length + 1);
            text.pop_back();
        }
    };
    all(all, 0);
    // Every split of many digit strings into whole and fraction parts.
    uint64_t x = 0x9E3779B97F4A7C15ull;
    const auto next = [&x] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int i = 0; i < 2000; ++i) {
        next();
        const std::string digits = std::to_string(x % 1000000000000000ull);
        const size_t point = 1 + x % digits.size();
        // Appended, not "literal" + std::string: g++ 12 -O3 warns falsely (-Wrestrict) on that.
        std::string t(i % 2 == 0 ? "-" : "");
        t.append(digits, 0, point).append(".").append(digits, point);
        texts.push_back(t);
    }
    // Longer ones at random, mostly digits and points.
    static constexpr char kWeighted[] = "0123456789..........--++eE x";
    x = 0x2545F4914F6CDD1Dull;
    for (int i = 0; i < 20000; ++i) {
        next();
        std::string t;
        uint64_t bits = x;  // 64 bits on every target: the shift below needs them
        for (uint64_t n = 6 + x % 19; n > 0; --n, bits = bits * 6364136223846793005ull + 1442695040888963407ull) {
            t.push_back(kWeighted[(bits >> 33) % (sizeof kWeighted - 1)]);
        }
        texts.push_back(t);
    }
    CheckAgainstStrtod(texts);
}

TEST(YamlReader, BoolWords) {
    std::string input, expected = "[";
    const std::pair<std::vector<const char*>, const char*> groups[] = {
        {{"true", "True", "TRUE", "y", "Y", "yes", "Yes", "YES", "on", "On", "ON"}, "bool:true, "},
        {{"false", "False", "FALSE", "n", "N", "no", "No", "NO", "off", "Off", "OFF"}, "bool:false, "}};
    for (const auto& [words, value] : groups) {
        for (const char* w : words) input += std::string("- ") + w + "\n", expected += value;
    }
    input += "- tRUE\n- 'yes'\n";
    expected += R"(string:"tRUE", string:"yes"])";
    Check({{input, expected}});
}

TEST(YamlReader, Tags) {
    Check({
        {"x: !!str 12", R"({"x": string:"12"})"}, {"x: !!int 12", R"({"x": unsigned:12})"},
        {"x: !!int -0x10", R"({"x": signed:-16})"}, {"x: !!int 010", R"({"x": unsigned:8})"},
        {"x: !!int ''", R"({"x": unsigned:0})"},
        {"x: !!int 12a", "Value 12a for 'yaml' of type uint64_t is in an incorrect format"},
        {"x: !!int -1.5", "Value -1.5 for 'yaml' of type int64_t is in an incorrect format"},
        {"x: !!int 18446744073709551616", "Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
        {"x: !!int -9223372036854775809", "Value -9223372036854775809 for 'yaml' of type int64_t is out of range"},
        {"x: !!int \" -1\"", "Value  -1 for 'yaml' of type uint64_t is out of range"},
        {"x: !!int \"\\t-0\"", "Value \t-0 for 'yaml' of type uint64_t is out of range"},
        {"x: !!int \" 12\"", R"({"x": unsigned:12})"}, {"x: !!float 2", R"({"x": float:2})"},
        {"x: !!float 1.5x", "Value 1.5x for 'yaml' of type double is in an incorrect format"},
        {"x: !!float 1e400", "Value 1e400 for 'yaml' of type double is out of range"},
        {"x: !!bool yes\ny: !!bool maybe\n", R"({"x": bool:true, "y": empty})"},
        {"x: !foo 1", "Unsupported YAML tag '!foo'."},
        {"x: !!null ~", "Unsupported YAML tag 'tag:yaml.org,2002:null'."},
        {"!!map {a: !!seq [1]}", R"({"a": [unsigned:1]})"},
    });
}

// A tagged integer follows the conversions' integer rule exactly: the same texts
// pass, with the same values, and fail with the same messages.
TEST(YamlReader, TaggedIntegersFollowTheConversionRule) {
    const char* texts[] = {"0", "12", "-12", "+12", " 12", "\\t12", "12 ", " -1", "\\t-1", "-0", " -0", "0x1F",
                           "-0x10", "010", "09", "", "-", "+", "1e3", "1.0", "0x", "18446744073709551615",
                           "18446744073709551616", "9223372036854775807", "-9223372036854775808",
                           "-9223372036854775809", "--1", "+-1", "1_0"};
    for (const char* text : texts) {
        const auto yaml = DecodeYaml(std::string("!!int \"") + text + "\"");
        const auto decoded = DecodeYaml(std::string("\"") + text + "\"");  // the same text as a string
        const Vemi::Binding::BindingValue& input = decoded.value;
        Vemi::Binding::BindingResult conversion;
        const auto convert = [&](auto n, const char* kind) {
            Vemi::Binding::ConvertInteger(conversion, n, input, "yaml");
            return std::string(kind).append(std::to_string(n));
        };
        const std::string value =
            input.AsString()[0] == '-' ? convert(int64_t{0}, "signed:") : convert(uint64_t{0}, "unsigned:");
        if (conversion.Ok()) {
            ASSERT_TRUE(yaml.Ok()) << "[" << input.AsString() << "] " << yaml.ErrorMessage();
            EXPECT_EQ(CanonicalText(yaml.value), value) << "[" << input.AsString() << "]";
        } else {
            // Only the type's spelling differs: int64 for the conversions, int64_t for YAML.
            std::string expected = conversion.ErrorMessage();
            expected.insert(expected.rfind("int64") + 5, "_t");
            EXPECT_EQ(yaml.ErrorMessage(), expected);
        }
    }
}

TEST(YamlReader, AnchorsAndAliases) {
    Check({
        {"base: &b {k: 1}\ncopy: *b\n", R"({"base": {"k": unsigned:1}, "copy": {"k": unsigned:1}})"},
        {"- &s 5\n- *s\n- &l [a]\n- *l\n", R"([unsigned:5, unsigned:5, [string:"a"], [string:"a"]])"},
        {"&k 12: 1\nother: *k\n", R"({"12": unsigned:1, "other": string:"12"})"},
        // The node is found by its location when the alias is met, after later growth.
        {"a: &x [1]\nb: [2, 3, 4, 5, 6, 7, 8, 9, 10]\nc: *x\n",
         "{\"a\": [unsigned:1], \"b\": [unsigned:2, unsigned:3, unsigned:4, unsigned:5, unsigned:6, unsigned:7, "
         "unsigned:8, unsigned:9, unsigned:10], \"c\": [unsigned:1]}"},
        // Anchored nodes are found again after their collection moved or their parent was replaced.
        {"- &x [1]\n- *x\n- 3\n- 4\n- 5\n- *x\n",
         "[[unsigned:1], [unsigned:1], unsigned:3, unsigned:4, unsigned:5, [unsigned:1]]"},
        {"a: &x {k: 1}\nb: *x\na: 5\nc: *x\n", R"({"a": unsigned:5, "b": {"k": unsigned:1}, "c": unsigned:5})"},
        {"a: {k: &x [1]}\nb: *x\na: 7\nc: *x\n", R"({"a": unsigned:7, "b": [unsigned:1], "c": empty})"},
        {"a: &x [1, *x]", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 1 col: 11"},
        {"a: &x {b: {c: *x}}", "Cannot deserialize cyclic aliases. Alias \"x\". At line: 1 col: 15"},
        {"a: *nope", "Undefined alias encountered: \"nope\". At line: 1 col: 4"},
        {"a: &x 1\nb: &x 2\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
        {"&x a: 1\nb: &x 2\n", "Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
        {"a: &x 1\n*x : 2\n", "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
    });
}

TEST(YamlReader, DuplicateKeysAndEmptyKeys) {
    Check({
        {"a: 1\na: 2\n", R"({"a": unsigned:2})"}, {"a: [1]\na: [2]\n", R"({"a": [unsigned:1, unsigned:2]})"},
        {"a: {x: 1}\na: {y: 2}\n", R"({"a": {"x": unsigned:1, "y": unsigned:2}})"},
        {"a: {x: 1}\na: 5\nb: 6\n", R"({"a": unsigned:5, "b": unsigned:6})"},
        {"a: {x: 1}\na: [5]\n", R"({"a": [unsigned:5]})"}, {"a: 1\na: !!bool maybe\n", R"({"a": empty})"},
        {"a: [1]\na: !!bool maybe\n", R"({"a": empty})"}, {"a: {x: 1}\na: !!bool no\n", R"({"a": bool:false})"}, {"\"\": 1\nb: 2\n", R"({"": unsigned:1, "b": unsigned:2})"},
    });
}

TEST(YamlReader, MessagesWithLineAndColumn) {
    Check({
        {"? [1, 2]\n: v\n", "Unexpected start of sequence. At line: 1 col: 3"},
        {"? {a: 1}\n: v\n", "Unexpected start of mapping. At line: 1 col: 3"},
        {"x: 1\n!!int 5: v\n", "Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
        {"!!str 5: v\n", R"({"5": string:"v"})"}, {"--- 1\n--- 2\n", "Multi-document YAML is not supported."},
        {"---\n--- 2\n", "Multi-document YAML is not supported."},
        {"a: [1, 2", "YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0"},
        {"a: b: c", "YAML parser error: mapping values are not allowed in this context. At line: 0 col: 4"},
        {"\t- x", "YAML parser error: found character that cannot start any token. At line: 0 col: 0"},
    });
}

TEST(YamlReader, ReadsTheWholeLengthNulsIncluded) {
    // libyaml refuses the NUL as a control character (its reader gives no line or
    // column); nothing after it is dropped silently.
    const std::string refused = "YAML parser error: control characters are not allowed. At line: 0 col: 0";
    Check({
        {std::string("a: 1\0b: 2", 10), refused},
        {std::string("\0a", 2), refused},
        {std::string("a: 1\n\0", 6), refused},
        {"a: \"x\\0y\"", R"({"a": string:"x"})"},  // an escaped NUL is no control character
    });
    // The NUL-terminated form reads up to its terminator.
    EXPECT_EQ(CanonicalText(DecodeYaml("k: v").value), R"({"k": string:"v"})");
}

TEST(YamlReader, NestingDepthIsBounded) {
    const std::string deepest = Repeat("[", 512) + Repeat("]", 512);
    Check({
        {deepest, deepest},
        {Repeat("[", 513) + Repeat("]", 513), "Nesting is deeper than 512 levels. At line: 1 col: 513"},
        {Repeat("{a: ", 513) + "1" + Repeat("}", 513), "Nesting is deeper than 512 levels. At line: 1 col: 2049"},
        {Repeat("[", 200000), "Nesting is deeper than 512 levels. At line: 1 col: 513"},
    });
    // An alias copy counts its own depth below where it lands.
    const std::string anchored = "a: &x " + Repeat("[", 300) + Repeat("]", 300) + "\n";
    EXPECT_TRUE(DecodeYaml(anchored + "b: " + Repeat("[", 211) + "*x" + Repeat("]", 211) + "\n").Ok());
    Check({{anchored + "b: " + Repeat("[", 212) + "*x" + Repeat("]", 212) + "\n",
            "Nesting is deeper than 512 levels. At line: 2 col: 216"}});
}

TEST(YamlReader, AliasExpansionIsBounded) {
    // 10^9 values from a few lines.
    const std::string message = Decode(Laughs('i'));
    EXPECT_EQ(message.rfind("Aliases expand to more than 100000 values. At line: ", 0), 0u) << message;

    // Within the budget an expansion is fine: three levels copy 12330 values.
    EXPECT_TRUE(DecodeYaml(Laughs('d')).Ok()) << Decode(Laughs('d'));

    // The budget grows with the input: ten values for each byte.
    EXPECT_EQ(YamlAliasBudget(10), 100000u);
    EXPECT_EQ(YamlAliasBudget(50000), 500000u);
    const std::string wide = "a: &a [" + Repeat("1, ", 99999) + "1]\nb: *a\n";
    EXPECT_TRUE(DecodeYaml(wide).Ok());
    // 31 copies of 100001 values pass the budget of a 300 KB input at the last one.
    const std::string many = "a: &a [" + Repeat("1, ", 99999) + "1]\nb: [" + Repeat("*a, ", 30) + "*a]\n";
    EXPECT_EQ(Decode(many), "Aliases expand to more than " + std::to_string(YamlAliasBudget(many.size())) +
                                " values. At line: 2 col: 125");
}
