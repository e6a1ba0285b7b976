#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_case.h"
#include <kav/formats/msgpack_reader.h>

using Vemi::Formats::DecodeMessagePack;
using Vemi::Formats::LooksLikeMessagePack;

namespace {

using Bytes = std::vector<uint8_t>;

struct Case {
    Bytes input;
    std::string expected;  // canonical text, or the error message
    size_t consumed;
};

std::string Decode(const Bytes& input, size_t& consumed) {
    return DecodeCopy(input, [&](const uint8_t* data, size_t size) { return DecodeMessagePack(data, size, &consumed); });
}

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        size_t consumed = ~size_t{0};
        EXPECT_EQ(Decode(c.input, consumed), c.expected) << ::testing::PrintToString(c.input);
        EXPECT_EQ(consumed, c.consumed) << ::testing::PrintToString(c.input);
    }
}

Bytes Repeat(uint8_t byte, size_t count, Bytes tail = {}) {
    Bytes b(count, byte);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

std::string NestedText(size_t depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

}  // namespace

TEST(MessagePackReader, EveryClass) {
    Check({
        {{}, "empty", 0}, {{0x00}, "signed:0", 1}, {{0x7F}, "signed:127", 1}, {{0xE0}, "signed:-32", 1},
        {{0xFF}, "signed:-1", 1}, {{0xC0}, "empty", 1}, {{0xC2}, "bool:false", 1}, {{0xC3}, "bool:true", 1},
        {{0x80}, "{}", 1}, {{0x90}, "[]", 1}, {{0xA0}, R"(string:"")", 1},
        {{0xA3, 'a', 'b', 'c'}, R"(string:"abc")", 4}, {{0xA3, 'a', 0, 'c'}, R"(string:"a")", 4},
        {{0xD9, 2, 'h', 'i'}, R"(string:"hi")", 4}, {{0xDA, 0, 2, 'h', 'i'}, R"(string:"hi")", 5},
        {{0xDB, 0, 0, 0, 2, 'h', 'i'}, R"(string:"hi")", 7}, {{0xC4, 2, 0x0A, 0xFF}, "blob:0aff", 4},
        {{0xC5, 0, 1, 0x01}, "blob:01", 4}, {{0xC6, 0, 0, 0, 0}, "blob:", 5},
        {{0xCA, 0x3F, 0xC0, 0, 0}, "float:1.5", 5}, {{0xCB, 0xC0, 0x04, 0, 0, 0, 0, 0, 0}, "float:-2.5", 9},
        {{0xCC, 0xFF}, "unsigned:255", 2}, {{0xCD, 0xFF, 0xFE}, "unsigned:65534", 3},
        {{0xCE, 0xFF, 0xFF, 0xFF, 0xFF}, "unsigned:4294967295", 5},
        {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "unsigned:18446744073709551615", 9},
        {{0xD0, 0xFF}, "signed:-1", 2}, {{0xD1, 0xFF, 0xFE}, "signed:-2", 3},
        {{0xD2, 0x80, 0, 0, 0}, "signed:-2147483648", 5},
        {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "signed:-9223372036854775808", 9},
        {{0xD3, 0, 0, 0, 0, 0, 0, 0, 5}, "signed:5", 9}, {{0x92, 0x01, 0xC0}, "[signed:1, empty]", 3},
        {{0xDC, 0, 1, 0x01}, "[signed:1]", 4}, {{0xDD, 0, 0, 0, 1, 0x01}, "[signed:1]", 6},
        {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0xC0}, R"({"a": empty, "b": signed:1})", 7},
        {{0xDE, 0, 1, 0xA1, 'a', 0x01}, R"({"a": signed:1})", 6},
        {{0xDF, 0, 0, 0, 1, 0xA1, 'a', 0x01}, R"({"a": signed:1})", 8},
    });
}

TEST(MessagePackReader, EndsAndDuplicates) {
    Check({
        {{0x01, 0x02}, "signed:1", 1},                     // bytes after the value are not read
        {{0x91, 0x01, 0xC3}, "[signed:1]", 2},
        {{0x92, 0x01}, "[signed:1]", 2},                   // input ends inside the array
        {{0x85, 0xA1, 'a', 0x01, 0xA1, 'b', 0x02}, R"({"a": signed:1, "b": signed:2})", 7},
        {{0x81, 0xA1, 'a'}, R"({})", 3},                  // a name without its value
        {{0x82, 0xA1, 'a', 0x01, 0xA1, 'a', 0x02}, R"({"a": signed:2})", 7},
        // A repeated name refers to the member already made: containers merge item by item.
        {{0x82, 0xA1, 'a', 0x92, 0x01, 0x02, 0xA1, 'a', 0x91, 0x05}, R"({"a": [signed:5, signed:2]})", 10},
        {{0x82, 0xA1, 'a', 0x81, 0xA1, 'x', 0x01, 0xA1, 'a', 0x81, 0xA1, 'y', 0x02},
         R"({"a": {"x": signed:1, "y": signed:2}})", 13},
        {{0x82, 0xA1, 'a', 0x91, 0x01, 0xA1, 'a', 0x05}, R"({"a": signed:5})", 8},
    });
}

TEST(MessagePackReader, MessagesWithPositions) {
    Check({
        {{0xC1}, "Invalid MessagePack data at position 1.", 1},
        {{0x91, 0xC7, 0x01, 0x01, 0x00}, "Invalid MessagePack data at position 2.", 2},
        {{0xC8}, "Invalid MessagePack data at position 1.", 1}, {{0xC9}, "Invalid MessagePack data at position 1.", 1},
        {{0xD4, 0x01, 0x01}, "Invalid MessagePack data at position 1.", 1},
        {{0xD8}, "Invalid MessagePack data at position 1.", 1},
        {{0x81, 0x01, 0x02}, "Invalid MessagePack data at position 2. Map keys must be strings.", 2},
        {{0x92, 0x80, 0x81, 0xC0, 0x01}, "Invalid MessagePack data at position 4. Map keys must be strings.", 4},
        {{0xCC}, "Invalid MessagePack data. 8-bit integer value at position 1 is truncated.", 1},
        {{0xCD}, "Invalid MessagePack data. 16-bit integer value at position 1 is truncated.", 1},
        {{0xCE, 0, 0, 0}, "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.", 1},
        {{0xCF, 1, 2}, "Invalid MessagePack data. 64-bit integer value at position 1 is truncated.", 1},
        {{0xCA, 0}, "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.", 1},
        {{0x91, 0xCB}, "Invalid MessagePack data. 64-bit integer value at position 2 is truncated.", 2},
        {{0xD9}, "Invalid MessagePack data. 8-bit integer value at position 1 is truncated.", 1},
        {{0xDC, 0}, "Invalid MessagePack data. 16-bit integer value at position 1 is truncated.", 1},
        {{0xDF, 0, 0}, "Invalid MessagePack data. 32-bit integer value at position 1 is truncated.", 1},
        {{0xA5, 'a', 'b', 'c'}, "Invalid MessagePack data. String of size 5 at position 1 is truncated.", 1},
        {{0xDA, 0, 3, 'a'}, "Invalid MessagePack data. String of size 3 at position 3 is truncated.", 3},
        {{0x81, 0xA3, 'a'}, "Invalid MessagePack data. String of size 3 at position 2 is truncated.", 2},
        {{0x81, 0xDB, 0xFF, 0xFF, 0xFF, 0xFF}, "Invalid MessagePack data. String of size 4294967295 at position 6 is truncated.", 6},
        {{0xC4, 3, 1}, "Invalid MessagePack data. Raw bytes of size 3 at position 2 are truncated.", 2},
        {{0xC6, 0xFF, 0xFF, 0xFF, 0xFF}, "Invalid MessagePack data. Raw bytes of size 4294967295 at position 5 are truncated.", 5},
    });
}

TEST(MessagePackReader, HugeAnnouncedCountsWithTinyInput) {
    Check({
        {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "[signed:1]", 6},
        {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, "[]", 5},
        {{0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xA1, 'k', 0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, R"({"k": []})", 12},
    });
    // Huge arrays nested 500 deep over 4 MB: counts the bytes left can't hold reserve at
    // most a thousand elements each (each reserving what is left would take 48 GB, and the
    // outermost alone the input's size in elements, 100 MB).
    Bytes many;
    for (int i = 0; i < 500; ++i) many.insert(many.end(), {0xDD, 0xFF, 0xFF, 0xFF, 0xFF});
    many.resize(many.size() + (4u << 20), 0xC3);
    size_t consumed = 0;
    auto result = DecodeMessagePack(many.data(), many.size(), &consumed);
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(consumed, many.size());
}

TEST(MessagePackReader, NestingDepthIsBounded) {
    Check({
        {Repeat(0x91, 512, {0x01}), NestedText(512, "signed:1"), 513},
        {Repeat(0x91, 513, {0x01}), "Invalid MessagePack data at position 513. Nesting is deeper than 512 levels.", 513},
        {Repeat(0x81, 1, {0xA1, 'a', 0xDC, 0, 1, 0x91, 0x80}), R"({"a": [[{}]]})", 8},
        {Repeat(0x91, 200000), "Invalid MessagePack data at position 513. Nesting is deeper than 512 levels.", 513},
    });
    Bytes maps;
    for (int i = 0; i < 513; ++i) maps.insert(maps.end(), {0x81, 0xA1, 'k'});
    size_t consumed = 0;
    auto result = DecodeMessagePack(maps.data(), maps.size(), &consumed);
    EXPECT_STREQ(result.ErrorMessage(), "Invalid MessagePack data at position 1537. Nesting is deeper than 512 levels.");
}

TEST(MessagePackReader, LooksLikeMessagePack) {
    const std::vector<std::pair<Bytes, bool>> cases = {
        {{}, false},     {{0x80}, true},  {{0x8F}, true},  {{0x90}, true}, {{0x9F}, true},  {{0xDC}, true},
        {{0xDF}, true},  {{0x7F}, false}, {{0xA0}, false}, {{0xDB}, false}, {{0xE0}, false}, {{'{'}, false},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(LooksLikeMessagePack(bytes.data(), bytes.size()), expected) << ::testing::PrintToString(bytes);
    }
    EXPECT_FALSE(LooksLikeMessagePack(nullptr, 1));
}
