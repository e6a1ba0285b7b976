#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <kav/binding/host_value.h>
#include <kav/binding/limits.h>
#include <kav/binding/to_native.h>

using namespace Vemi::Binding;

namespace {

HostValue Host(uint32_t kind, const void* data = nullptr, uint32_t length = 0) {
    HostValue h{};
    h.kind = kind;
    h.u.string.data = static_cast<const char*>(data);
    h.u.string.length = length;
    return h;
}

}  // namespace

TEST(HostValueRule, ReadsWithinLengthsAndToleratesNulls) {
    // Exactly three bytes with no terminator: reading on would leave the buffer.
    const std::vector<char> abc{'a', 'b', 'c'};
    const uint8_t bytes[] = {1, 2};
    HostValue items[] = {Host(HOST_VALUE_STRING, abc.data(), 3), Host(HOST_VALUE_STRING_OWNED, "ab\0cd", 5),
                         Host(HOST_VALUE_STRING, nullptr, 7),     Host(HOST_VALUE_BLOB, bytes, 2),
                         Host(HOST_VALUE_BLOB_OWNED, nullptr, 9), Host(HOST_VALUE_COLLECTION, nullptr, 4)};
    HostStructEntry entries[3] = {{nullptr, Host(HOST_VALUE_BOOL, nullptr, 0), 0},
                                  {"list", Host(HOST_VALUE_COLLECTION, items, 6), 0},
                                  {"list", Host(HOST_VALUE_COLLECTION, items, 6), 0}};  // a repeated key replaces
    entries[0].value.u.boolean = 1;
    BindingResult result;
    BindingValue value;
    value.SetString("replaced");
    ConvertHostValue(result, value, Host(HOST_VALUE_STRUCTURE, entries, 3), "payload");
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(value.Size(), 2u);
    EXPECT_TRUE(value.GetMember("").AsBool());
    const BindingValue& list = value.GetMember("list");
    ASSERT_EQ(list.Size(), 6u);
    const struct {
        ValueKind kind;
        size_t size;
    } expected[] = {{ValueKind::String, 3}, {ValueKind::String, 2},     {ValueKind::String, 0},
                    {ValueKind::Blob, 2},   {ValueKind::Blob, 0},       {ValueKind::Collection, 0}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(list.GetElement(i).Kind(), expected[i].kind) << i;
        EXPECT_EQ(list.GetElement(i).Size(), expected[i].size) << i;
    }
    EXPECT_EQ(list.GetElement(0).AsStringView(), "abc");
}

TEST(HostValueRule, UnknownKindsAndDepthBound) {
    for (uint32_t kind : {11u, 0xFFFFFFFFu}) {
        HostValue inner = Host(kind);
        BindingResult result;
        BindingValue value;
        ConvertHostValue(result, value, Host(HOST_VALUE_COLLECTION, &inner, 1), "p");
        EXPECT_STREQ(result.ErrorMessage(),
                     "Couldn't assign value to 'p' of type object because the input is of an incompatible type ''.");
    }
    // A chain of collections: kMaxNestingDepth levels pass, one more fails.
    std::vector<HostValue> chain(kMaxNestingDepth + 1, Host(HOST_VALUE_COLLECTION));
    for (size_t i = 0; i + 1 < chain.size(); ++i) chain[i] = Host(HOST_VALUE_COLLECTION, &chain[i + 1], 1);
    BindingResult deep, ok;
    BindingValue value;
    ConvertHostValue(deep, deep.value, chain[0], "p");  // the failure replaces the half-built tree
    EXPECT_STREQ(deep.ErrorMessage(),
                 "Couldn't assign value to 'p' of type object because the input is nested more than 512 levels deep.");
    ConvertHostValue(ok, value, chain[1], "p");
    EXPECT_TRUE(ok.Ok());
}

TEST(HostValue, ReleaseFreesEverythingOwned) {
    auto text = [](const char* s) {
        const size_t size = std::strlen(s) + 1;
        return static_cast<char*>(std::memcpy(std::malloc(size), s, size));
    };
    auto owned = [&](const char* s) {
        return Host(HOST_VALUE_STRING_OWNED, text(s), static_cast<uint32_t>(std::strlen(s)));
    };
    // {"owned": "x", "borrowed": "y", <literal key>: [blob, [nested string], {}], <no key>: 5}
    auto* nested = static_cast<HostValue*>(std::calloc(1, sizeof(HostValue)));
    nested[0] = owned("nested");
    auto* items = static_cast<HostValue*>(std::calloc(3, sizeof(HostValue)));
    items[0] = Host(HOST_VALUE_BLOB_OWNED, std::malloc(16), 16);
    items[1] = Host(HOST_VALUE_COLLECTION, nested, 1);
    items[2] = Host(HOST_VALUE_STRUCTURE);  // empty structure without an array
    auto* entries = static_cast<HostStructEntry*>(std::calloc(4, sizeof(HostStructEntry)));
    entries[0] = {text("owned"), owned("x"), 1};
    entries[1] = {text("borrowed"), Host(HOST_VALUE_STRING, "y", 1), 1};
    entries[2] = {"literal key", Host(HOST_VALUE_COLLECTION, items, 3), 0};
    entries[3] = {nullptr, Host(HOST_VALUE_SIGNED), 0};
    entries[3].value.u.i64 = 5;
    HostValue root = Host(HOST_VALUE_STRUCTURE, entries, 4);
    ReleaseHostValue(root);  // the sanitizer build proves nothing leaks

    HostValue zero{};
    EXPECT_EQ(std::memcmp(&root, &zero, sizeof root), 0);
    HostValue scalar = Host(HOST_VALUE_FLOAT);
    scalar.u.f64 = 2.5;
    ReleaseHostValue(scalar);
    EXPECT_EQ(std::memcmp(&scalar, &zero, sizeof scalar), 0);
}
