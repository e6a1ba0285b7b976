#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <kav/binding/limits.h>
#include <kav/binding/to_native.h>
#include <kav/binding/typed.h>

using namespace Vemi::Binding;

namespace {

enum class Color : int32_t { Red = 1, Blue = 7 };
enum class Small : int8_t { Low = -2, High = 100 };

struct Inner {
    int32_t a = -1;
};
struct Outer {
    std::string name = "keep";
    int32_t count = 5;
    Inner inner;
    Color color = Color::Red;
    std::vector<bool> flags;
};

void Describe(Enumeration<Color>& e) { e.Name("Color").Value("Red", Color::Red).Value("Blue", Color::Blue); }
void Describe(Enumeration<Small>& e) { e.Name("Small").Value("Low", Small::Low).Value("High", Small::High); }
void Describe(Record<Inner>& r) { r.Name("Inner").Field("a", &Inner::a, kFieldRequired); }
void Describe(Record<Outer>& r) {
    r.Name("Outer").Field("name", &Outer::name).Field("count", &Outer::count).Field("inner", &Outer::inner);
    r.Field("color", &Outer::color).Field("flags", &Outer::flags);
}

// Builds a value with one setter call: Make(&BindingValue::SetSigned, int64_t{1}).
template <class... Args>
BindingValue Make(void (BindingValue::*set)(Args...), Args... args) {
    BindingValue v;
    (v.*set)(args...);
    return v;
}
BindingValue Str(const char* text) { return Make<const char*>(&BindingValue::SetString, text); }
BindingValue Int(int64_t n) { return Make(&BindingValue::SetSigned, n); }
BindingValue UInt(uint64_t n) { return Make(&BindingValue::SetUnsigned, n); }
BindingValue Flt(double d) { return Make(&BindingValue::SetFloat, d); }
BindingValue Bool(bool b) { return Make(&BindingValue::SetBool, b); }
BindingValue List() { return Make(&BindingValue::MakeCollection); }
BindingValue Struct() { return Make(&BindingValue::MakeStructure); }
BindingValue Blob() { return Make<const void*, size_t>(&BindingValue::SetBlob, "ab", 2); }
BindingValue Enum(int32_t n) { return Make<int32_t, uint32_t>(&BindingValue::SetEnum, n, StaticType::Of<Color>().id); }

// "=value" on success, else the message.
template <class T>
std::string Convert(const BindingValue& input, const TypeRegistry& registry) {
    BindingResult result;
    T native{};
    ToNative(result, native, input, "x", registry);
    if (!result.Ok()) return result.ErrorMessage();
    if constexpr (std::is_same_v<T, std::string>) return "=" + native;
    else if constexpr (std::is_enum_v<T>) return "=" + std::to_string(static_cast<int64_t>(native));
    else if constexpr (std::is_arithmetic_v<T>) return "=" + std::to_string(native);
    else return "=";
}

struct ToNativeTest : ::testing::Test {
    void SetUp() override {
        RegisterType<Outer>(registry, "T");
        RegisterType<Small>(registry, "T");
    }
    TypeRegistry registry;
};

// Decimal text one step further from zero ("-128" -> "-129", "255" -> "256"), for the
// neighbours of the 64-bit edges, which no native integer holds.
std::string AwayFromZero(std::string text) {
    size_t i = text.size();
    while (i > 0 && text[i - 1] == '9') text[--i] = '0';
    if (i == 0 || text[i - 1] == '-') text.insert(i, "1");
    else ++text[i - 1];
    return text;
}

template <class T>
void CheckIntegerEdges(const char* typeName, const TypeRegistry& registry) {
    const T lo = std::numeric_limits<T>::min();
    const T hi = std::numeric_limits<T>::max();
    const std::string loText = std::to_string(lo), hiText = std::to_string(hi);
    const std::string belowText = lo == 0 ? "-1" : AwayFromZero(loText), aboveText = AwayFromZero(hiText);
    const std::string below = "Value " + belowText + " for 'x' of type " + typeName + " is out of range";
    const std::string above = "Value " + aboveText + " for 'x' of type " + typeName + " is out of range";
    // Texts: every edge, both sides; numbers: the edges the input kinds can carry.
    std::vector<std::pair<BindingValue, std::string>> rows = {
        {Str(loText.c_str()), "=" + loText},          {Str(hiText.c_str()), "=" + hiText},
        {Str(belowText.c_str()), below},              {Str(aboveText.c_str()), above},
        {Int(static_cast<int64_t>(lo)), "=" + loText}, {UInt(static_cast<uint64_t>(hi)), "=" + hiText},
        {Flt(static_cast<double>(lo)), "=" + loText},
    };
    if constexpr (!std::is_same_v<T, int64_t>) rows.emplace_back(Int(static_cast<int64_t>(lo) - 1), below);
    if constexpr (!std::is_same_v<T, uint64_t>) rows.emplace_back(UInt(static_cast<uint64_t>(hi) + 1), above);
    for (const auto& [input, expected] : rows) EXPECT_EQ(Convert<T>(input, registry), expected) << typeName;
    // Floats: the largest double inside, the next one outside (for 64 bits the maximum
    // itself rounds up to 2^63 or 2^64, which is outside).
    const double top = std::ldexp(1.0, sizeof(T) * 8 - (std::is_signed_v<T> ? 1 : 0));  // hi + 1
    const double inside = sizeof(T) < 8 ? static_cast<double>(hi) : std::nextafter(top, 0.0);
    const double outside = sizeof(T) < 8 ? std::nextafter(static_cast<double>(hi), INFINITY) : top;
    const double under = lo == 0 ? -0.5 : std::nextafter(static_cast<double>(lo), -INFINITY);
    EXPECT_EQ(Convert<T>(Flt(inside), registry).substr(0, 1), "=") << typeName;
    for (double out : {outside, under}) {
        EXPECT_NE(Convert<T>(Flt(out), registry).find("out of range"), std::string::npos) << typeName << " " << out;
    }
}

}  // namespace

TEST_F(ToNativeTest, IntegerEdgesOfEveryWidth) {
    CheckIntegerEdges<int8_t>("int8", registry);
    CheckIntegerEdges<uint8_t>("uint8", registry);
    CheckIntegerEdges<int16_t>("int16", registry);
    CheckIntegerEdges<uint16_t>("uint16", registry);
    CheckIntegerEdges<int32_t>("int32", registry);
    CheckIntegerEdges<uint32_t>("uint32", registry);
    CheckIntegerEdges<int64_t>("int64", registry);
    CheckIntegerEdges<uint64_t>("uint64", registry);
    EXPECT_EQ(Convert<uint64_t>(Flt(18446744073709549568.0), registry), "=18446744073709549568");
}

TEST_F(ToNativeTest, ScalarRulesAndMessages) {
    const BindingValue empty, red = Enum(1), unknownEnum = Enum(3);
    struct Case {
        std::string (*convert)(const BindingValue&, const TypeRegistry&);
        BindingValue input;
        std::string expected;
    };
    const Case cases[] = {
        {Convert<int8_t>, Str("12a"), "Value 12a for 'x' of type int8 is in an incorrect format"},
        {Convert<int8_t>, Str("0x10"), "=16"},
        {Convert<int8_t>, Str("010"), "=8"},
        {Convert<int8_t>, Str(" -5"), "=-5"},
        {Convert<int8_t>, Str(""), "=0"},
        {Convert<int8_t>, Str(" "), "Value   for 'x' of type int8 is in an incorrect format"},
        {Convert<int32_t>, Str("99999999999999999999"), "Value 99999999999999999999 for 'x' of type int32 is out of range"},
        {Convert<uint64_t>, Str("-1"), "Value -1 for 'x' of type uint64 is out of range"},
        {Convert<uint64_t>, Str(" -0"), "Value  -0 for 'x' of type uint64 is out of range"},
        {Convert<int32_t>, Flt(3.9), "=3"},
        {Convert<int32_t>, Flt(-3.9), "=-3"},
        {Convert<uint32_t>, Flt(-0.5), "Value -0.5 for 'x' of type uint32 is out of range"},
        {Convert<int32_t>, Flt(NAN), "Value nan for 'x' of type int32 is out of range"},
        {Convert<int32_t>, red, "=1"},
        {Convert<uint8_t>, Int(300), "Value 300 for 'x' of type uint8 is out of range"},
        {Convert<int16_t>, empty, "A value for 'x' is required."},
        {Convert<int16_t>, Bool(true), "Couldn't assign value to 'x' of type int16 because the input is of an invalid type bool."},
        {Convert<uint16_t>, List(), "Couldn't assign value to 'x' of type uint16 because the input is of an invalid type collection."},
        {Convert<float>, Flt(1e39), "Value 1e+39 for 'x' of type float is out of range"},
        {Convert<double>, Flt(1e39), "=" + std::to_string(1e39)},
        {Convert<float>, Str("1e39"), "Value 1e39 for 'x' of type float is out of range"},
        {Convert<double>, Str("1e400"), "Value 1e400 for 'x' of type double is out of range"},
        {Convert<double>, Str("2.5x"), "Value 2.5x for 'x' of type double is in an incorrect format"},
        {Convert<double>, Str("-2.5"), "=-2.500000"},
        {Convert<double>, UInt(UINT64_MAX), "=" + std::to_string(18446744073709551615.0)},
        {Convert<float>, Int(INT64_MIN), "=" + std::to_string(static_cast<float>(INT64_MIN))},
        // Integers reach a float through double: the tie left by the first rounding
        // goes to even, where a direct conversion would round up.
        {Convert<float>, Int((int64_t{1} << 60) + (int64_t{1} << 36) + 1), "=1152921504606846976.000000"},
        {Convert<float>, Int(-(int64_t{1} << 60) - (int64_t{1} << 36) - 1), "=-1152921504606846976.000000"},
        {Convert<float>, UInt((uint64_t{1} << 63) + (uint64_t{1} << 39) + 1), "=9223372036854775808.000000"},
        {Convert<double>, Int((int64_t{1} << 60) + (int64_t{1} << 36) + 1), "=1152921573326323712.000000"},
        {Convert<double>, Bool(false), "Couldn't assign value to 'x' of type double because the input is of an invalid type bool."},
        {Convert<double>, empty, "A value for 'x' is required."},
        {Convert<bool>, Str("true"), "=1"},
        {Convert<bool>, Str("0"), "=0"},
        {Convert<bool>, Str("TRUE"),
         "Value TRUE for 'x' of type bool is in an incorrect format. Options are \"true\", \"false\", \"1\", \"0\"."},
        {Convert<bool>, UInt(1), "Couldn't assign value to 'x' of type bool because the input is of an invalid type unsigned."},
        {Convert<bool>, empty, "A value for 'x' is required."},
        {Convert<std::string>, Str("hi"), "=hi"},
        {Convert<std::string>, red, "=Red"},
        {Convert<std::string>, unknownEnum, "3 is not a valid enumeration value for 'x'."},
        {Convert<std::string>, Int(5), "Couldn't assign value to 'x' because the input is not a string."},
        {Convert<std::string>, empty, "A value for 'x' is required."},
        {Convert<Color>, Str("Blue"), "=7"},
        {Convert<Color>, Str("7"), "=7"},
        {Convert<Color>, Str("0x7"), "=7"},
        {Convert<Color>, Str("2"), "2 is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, Str("blue"), "blue is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, Str("99999999999999999999"), "99999999999999999999 is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, Int(4294967297), "=1"},  // low 32 bits
        {Convert<Color>, Int(2), "2 is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, UInt(18446744073709551615u), "18446744073709551615 is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, red, "=1"},
        {Convert<Color>, unknownEnum, "3 is not a valid TColor enumeration value for 'x'."},
        {Convert<Color>, Flt(1.0), "Couldn't assign value to 'x' of enum type because the input is of an invalid type float."},
        {Convert<Color>, empty, "A value for 'x' is required."},
        {Convert<Small>, Str("High"), "=100"},
        {Convert<Small>, Int(-2), "=-2"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.convert(c.input, registry), c.expected) << c.expected;
}

TEST_F(ToNativeTest, Base64Blobs) {
    struct Case {
        BindingValue input;
        std::vector<uint8_t> bytes;
        const char* error;
    };
    const Case cases[] = {
        {Str("QUJD"), {'A', 'B', 'C'}, nullptr},
        {Str("QUI="), {'A', 'B'}, nullptr},
        {Str("QQ=="), {'A'}, nullptr},
        {Str("QUJDRA"), {'A', 'B', 'C', 'D'}, nullptr},
        {Str("QUJDR"), {'A', 'B', 'C'}, nullptr},  // a lone leftover character gives nothing
        {Str("QQ=x"), {'A'}, nullptr},              // decoding stops at the first "="
        {Str("+/+/"), {0xFB, 0xFF, 0xBF}, nullptr},
        {Str(""), {}, nullptr},
        {Blob(), {'a', 'b'}, nullptr},
        {Str("QU JD"), {}, "Couldn't assign string value to 'x' of type blob because the input has invalid base64 characters."},
        {Str("QUJD-"), {}, "Couldn't assign string value to 'x' of type blob because the input has invalid base64 characters."},
        {Int(1), {}, "Couldn't assign value to 'x' of type blob because the input is not a blob."},
        {BindingValue(), {}, "A value for 'x' is required."},
    };
    for (const Case& c : cases) {
        BindingResult result;
        std::vector<uint8_t> native{9, 9};
        ToNative(result, native, c.input, "x", registry);
        EXPECT_EQ(result.ErrorMessage(), std::string(c.error != nullptr ? c.error : ""));
        EXPECT_EQ(native, c.bytes);
    }
}

TEST_F(ToNativeTest, ObjectsCopyAnything) {
    BindingValue input;
    input.Member("k").Element(2).SetString("v");
    BindingValue native = Str("old");
    BindingResult result;
    ToNative(result, native, input, "x", registry);
    ASSERT_TRUE(result.Ok());
    EXPECT_STREQ(native.GetMember("k").GetElement(2).AsString(), "v");
    ToNative(result, native, BindingValue(), "x", registry);
    EXPECT_TRUE(result.Ok());
    EXPECT_TRUE(native.IsEmpty());
}

TEST_F(ToNativeTest, StructRule) {
    BindingValue input;
    input.Member("name").SetString("n");
    input.Member("count");  // empty counts as absent
    input.Member("inner").Member("a").SetSigned(3);
    input.Member("color").SetString("Blue");
    input.Member("flags").Element(1).SetString("true");
    input.Member("unknown").SetSigned(1);
    Outer outer;
    BindingResult result;
    ToNative(result, outer, input, "v", registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(outer.name, "n");
    EXPECT_EQ(outer.count, 5);
    EXPECT_EQ(outer.inner.a, 3);
    EXPECT_EQ(outer.color, Color::Blue);
    EXPECT_EQ(outer.flags, (std::vector<bool>{false, true}));

    BindingValue missing = Struct(), badField = Struct(), badNested = Struct();
    missing.Member("inner").Member("b").SetSigned(1);
    badField.Member("count").SetString("x1");
    badNested.Member("inner").SetSigned(1);
    const struct Case {
        BindingValue input;
        std::string error;
    } cases[] = {
        {BindingValue(), "A value for 'v' is required."},
        {Int(1), "Couldn't assign value to 'v' of type TOuter because the input not a structure."},
        {missing, "Couldn't assign value to 'inner' of type TInner because the input structure doesn't have required field 'a'."},
        {badField, "Value x1 for 'count' of type int32 is in an incorrect format"},
        {badNested, "Couldn't assign value to 'inner' of type TInner because the input not a structure."},
    };
    for (const Case& c : cases) {
        BindingResult r;
        ToNative(r, outer, c.input, "v", registry);
        EXPECT_EQ(r.ErrorMessage(), c.error);
    }
}

TEST_F(ToNativeTest, ContainersOfEveryElementKind) {
    BindingValue list;
    list.Element(0).SetString("1");
    list.Element(2).SetUnsigned(3);  // element 1 stays empty: skipped
    BindingValue members;
    members.Member("b").SetSigned(2);
    members.Member("a").SetString("1");
    members.Member("skip");
    // Built-in forms through the dispatch by kind.
    BindingResult r;
    std::vector<int16_t> shorts{7};
    ConvertNative(r, &shorts, list, {BindingTypeKind::Vector, BindingTypeKind::Int16, nullptr}, "x", registry);
    EXPECT_EQ(shorts, (std::vector<int16_t>{1, 0, 3}));
    std::map<std::string, double> doubles{{"old", 1}};
    ConvertNative(r, &doubles, members, {BindingTypeKind::Map, BindingTypeKind::Double, nullptr}, "x", registry);
    EXPECT_EQ(doubles, (std::map<std::string, double>{{"a", 1}, {"b", 2}}));
    ASSERT_TRUE(r.Ok());
    ConvertNative(r, &shorts, {}, {BindingTypeKind::Vector, BindingTypeKind::Struct, FindType<Inner>(registry)}, "x", registry);
    EXPECT_STREQ(r.ErrorMessage(), "Couldn't assign value to 'x' of type vector because it has no converter.");

    // Typed (maps of enums and structs go both ways in to_value_test).
    BindingValue colors = List(), inners = List(), blobs = List();
    colors.Element(0).SetString("Blue");
    colors.Element(1).SetSigned(1);
    inners.Element(0).Member("a").SetSigned(4);
    inners.Element(1);
    blobs.Element(0).SetString("QQ==");
    std::vector<Color> colorList;
    std::vector<Inner> innerList;
    std::vector<std::vector<uint8_t>> blobList;
    r.Clear();
    ToNative(r, colorList, colors, "x", registry);
    ToNative(r, innerList, inners, "x", registry);
    ToNative(r, blobList, blobs, "x", registry);
    ASSERT_TRUE(r.Ok()) << r.ErrorMessage();
    EXPECT_EQ(colorList, (std::vector<Color>{Color::Blue, Color::Red}));
    ASSERT_EQ(innerList.size(), 2u);
    EXPECT_EQ(innerList[0].a, 4);
    EXPECT_EQ(innerList[1].a, -1);  // empty element keeps the default
    EXPECT_EQ(blobList, (std::vector<std::vector<uint8_t>>{{'A'}}));

    BindingValue badElement;
    badElement.Element(1).SetString("Green");
    const struct {
        std::string (*convert)(const BindingValue&, const TypeRegistry&);
        BindingValue input;
        std::string expected;
    } cases[] = {
        {Convert<std::vector<bool>>, BindingValue(), "A value for 'x' is required."},
        {Convert<std::vector<int32_t>>, BindingValue(), "Couldn't assign value to 'x' of type vector because the input not a collection."},
        {Convert<std::vector<int32_t>>, Struct(), "Couldn't assign value to 'x' of type vector because the input not a collection."},
        {Convert<std::map<std::string, int32_t>>, List(), "Couldn't assign value to 'x' of type map because the input not a structure."},
        {Convert<std::vector<Color>>, badElement, "Green is not a valid TColor enumeration value for 'x'."},
        {Convert<std::map<std::string, Inner>>, badElement, "Couldn't assign value to 'x' of type map because the input not a structure."},
    };
    for (const auto& c : cases) EXPECT_EQ(c.convert(c.input, registry), c.expected);
}
