#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_case.h"
#include <kav/formats/json_reader.h>

using Vemi::Formats::CanonicalText;
using Vemi::Formats::DecodeJson;

namespace {

using Case = DecodeCase;

std::string Decode(const std::string& input) {
    return DecodeCopy(BytesOf(input), [](const char* data, size_t size) { return DecodeJson(data, size); });
}

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.input), c.expected) << c.input;
        // The NUL-terminated form agrees whenever the input holds no NUL.
        if (c.input.find('\0') == std::string::npos) {
            EXPECT_EQ(ResultText(DecodeJson(c.input.c_str())), c.expected) << c.input;
        }
    }
}

std::string Nested(size_t depth, const std::string& open, const std::string& close) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += open;
    for (size_t i = 0; i < depth; ++i) text += close;
    return text;
}

}  // namespace

TEST(JsonReader, EmptyInputIsAnEmptyValue) {
    Check({{"", "empty"}, {" \r\n\t ", "empty"}, {"null", "empty"}, {" null ", "empty"}});
    EXPECT_TRUE(DecodeJson(static_cast<const char*>(nullptr)).Ok());
}

TEST(JsonReader, NumberMapping) {
    Check({
        {"0", "unsigned:0"}, {"-0", "signed:0"}, {"4294967295", "unsigned:4294967295"},
        {"4294967296", "unsigned:4294967296"}, {"18446744073709551615", "unsigned:18446744073709551615"},
        {"18446744073709551616", "float:1.8446744073709552e+19"}, {"-2147483648", "signed:-2147483648"},
        {"-2147483649", "signed:-2147483649"}, {"-9223372036854775808", "signed:-9223372036854775808"},
        {"-9223372036854775809", "float:-9.2233720368547758e+18"}, {"1.0", "float:1"}, {"1e0", "float:1"},
        {"-1.5e-3", "float:-0.0015"},
        {"[1, null, -1, 4294967296, -2147483649, 1.5]",
         "[unsigned:1, empty, signed:-1, unsigned:4294967296, signed:-2147483649, float:1.5]"},
        {"[true, false]", "[bool:true, bool:false]"},
    });
}

TEST(JsonReader, Strings) {
    Check({
        {R"("\"\\\/\b\f\n\r\t")", R"(string:"\"\\/\b\f\n\r\t")"},
        {R"("\u00e9\u20AC")", "string:\"\xC3\xA9\xE2\x82\xAC\""}, {R"("\ud83d\ude00")", "string:\"\xF0\x9F\x98\x80\""},
        {R"("\udc00")", "string:\"\xED\xB0\x80\""},  // a lone low surrogate is encoded as it is
        {R"("ab\u0000cd")", R"(string:"ab")"},        // strings end at NUL
        {"\"\x7f\xff\"", "string:\"\x7f\xff\""},      // no encoding check
        {R"({"k\u0000x": 1})", R"({"k": unsigned:1})"},
    });
}

TEST(JsonReader, DuplicateMembersMerge) {
    Check({
        {R"({"a":1,"a":2})", R"({"a": unsigned:2})"}, {R"({"a":[1],"a":[2]})", R"({"a": [unsigned:1, unsigned:2]})"},
        {R"({"a":{"x":1},"a":{"y":2}})", R"({"a": {"x": unsigned:1, "y": unsigned:2}})"},
        {R"({"a":{"x":1},"a":3})", R"({"a": unsigned:3})"}, {R"({"a":1,"a":null})", R"({"a": unsigned:1})"},
        {R"({"b":1,"B":2,"a":3})", R"({"B": unsigned:2, "a": unsigned:3, "b": unsigned:1})"},
    });
}

TEST(JsonReader, ErrorsWithOffsets) {
    Check({
        {"{} {}", "Error: The document root must not be followed by other values. at offset 3."},
        {"[1,]", "Error: Invalid value. at offset 3."}, {"nul", "Error: Invalid value. at offset 3."},
        {"[NaN]", "Error: Invalid value. at offset 1."}, {"{\"a\":", "Error: Invalid value. at offset 5."},
        {"{\"a\":1,}", "Error: Missing a name for object member. at offset 7."},
        {"{\"a\" 1}", "Error: Missing a colon after a name of object member. at offset 5."},
        {"{\"a\":1 \"b\"", "Error: Missing a comma or '}' after an object member. at offset 7."},
        {"[1 2]", "Error: Missing a comma or ']' after an array element. at offset 3."},
        {"[1, 2", "Error: Missing a comma or ']' after an array element. at offset 5."},
        {R"("\u12G4")", "Error: Incorrect hex digit after \\u escape in string. at offset 1."},
        {R"("\ud83d")", "Error: The surrogate pair in string is invalid. at offset 1."},
        {R"("\ud83d\u0041")", "Error: The surrogate pair in string is invalid. at offset 1."},
        {R"("\x")", "Error: Invalid escape character in string. at offset 1."},
        {"\"abc", "Error: Missing a closing quotation mark in string. at offset 4."},
        {"\"a\x01" "b\"", "Error: Invalid encoding in string. at offset 2."},
        {"[\"\t\"]", "Error: Invalid encoding in string. at offset 2."},
        {"1e400", "Error: Number too big to be stored in double. at offset 0."},
        {"1.", "Error: Miss fraction part in number. at offset 2."},
        {"1e", "Error: Miss exponent in number. at offset 2."},
        {"[1] // c", "Error: The document root must not be followed by other values. at offset 4."},
    });
}

TEST(JsonReader, TextEndsAtNul) {
    Check({
        {std::string("[1]\0 garbage", 12), "[unsigned:1]"},
        {std::string("[1,\0 2]", 7), "Error: Invalid value. at offset 3."},
        {std::string("\"ab\0cd\"", 7), "Error: Missing a closing quotation mark in string. at offset 3."},
        {std::string("\0[", 2), "empty"},
    });
}

TEST(JsonReader, NestingDepthIsBounded) {
    const std::string arrays512 = Nested(512, "[", "]");
    auto ok = DecodeJson(arrays512);
    ASSERT_TRUE(ok.Ok()) << ok.ErrorMessage();
    EXPECT_EQ(CanonicalText(ok.value), arrays512);

    std::string objects512 = Nested(511, "{\"a\":", "}");
    objects512.insert(511 * 5, "[]");
    EXPECT_TRUE(DecodeJson(objects512).Ok());

    Check({
        {Nested(513, "[", "]"), "Error: Nesting is deeper than 512 levels. at offset 512."},
        // Appended, not " " + a temporary: g++ 12 -O3 warns falsely (-Wrestrict) on that.
        {std::string(" ").append(Nested(513, "{\"a\":", "}")), "Error: Nesting is deeper than 512 levels. at offset 2561."},
        // The reader refuses before RapidJSON's recursion gets anywhere near the stack's end.
        {std::string(300000, '['), "Error: Nesting is deeper than 512 levels. at offset 512."},
    });
}
