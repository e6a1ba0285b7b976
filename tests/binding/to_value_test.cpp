#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <kav/binding/limits.h>
#include <kav/binding/to_value.h>
#include <kav/binding/typed.h>

using namespace Vemi::Binding;

namespace {

enum class Mode : int16_t { Off = 0, On = 1, Both = 2 };
enum class Wide : int64_t { Big = 3 };

struct Leaf {
    int8_t small = -1;
    uint8_t byte = 255;
    float ratio = 0.1f;
    Mode mode = Mode::On;
};

struct Omitting {
    int32_t number = 0;
    bool flag = false;
    std::string text;
    std::vector<int32_t> list;
    double real = 0.0;
    Mode mode = Mode::Off;
    BindingValue object;
    std::string kept;  // without the flag
};

struct Everything {
    std::vector<Leaf> leaves;
    std::map<std::string, Mode> modes;
    std::unordered_map<std::string, Leaf> byName;
    std::map<std::string, std::vector<uint8_t>> blobs;
    std::vector<std::string> names;
    std::optional<int32_t> maybe;
    Wide wide = Wide::Big;
};

void Describe(Enumeration<Mode>& e) { e.Name("Mode").Value("Off", Mode::Off).Value("On", Mode::On); }
void Describe(Enumeration<Wide>& e) { e.Name("Wide").Value("Big", Wide::Big); }
void Describe(Record<Leaf>& r) {
    r.Name("Leaf").Field("small", &Leaf::small).Field("byte", &Leaf::byte).Field("ratio", &Leaf::ratio).Field("mode", &Leaf::mode);
}
void Describe(Record<Omitting>& r) {
    using O = Omitting;
    constexpr uint32_t omit = kFieldOmitWhenDefault;
    r.Name("Omitting").Field("number", &O::number, omit).Field("flag", &O::flag, omit).Field("text", &O::text, omit);
    r.Field("list", &O::list, omit).Field("real", &O::real, omit).Field("mode", &O::mode, omit);
    r.Field("object", &O::object, omit).Field("kept", &O::kept);
}
void Describe(Record<Everything>& r) {
    using E = Everything;
    r.Name("Everything").Field("leaves", &E::leaves).Field("modes", &E::modes).Field("byName", &E::byName);
    r.Field("blobs", &E::blobs).Field("names", &E::names).Field("maybe", &E::maybe).Field("wide", &E::wide);
}

std::vector<std::string> MemberNames(const BindingValue& value) {
    std::vector<std::string> names;
    for (auto [name, member] : value.Members()) names.emplace_back(name);
    return names;
}

struct ToValueTest : ::testing::Test {
    void SetUp() override {
        RegisterType<Everything>(registry, "");
        RegisterType<Omitting>(registry, "");
    }
    TypeRegistry registry;
};

}  // namespace

TEST_F(ToValueTest, ScalarFieldsKeepTheirWidthAndSign) {
    BindingResult result;
    ToValue(result, Leaf{}, registry);
    const BindingValue& v = result.value;
    ASSERT_TRUE(result.Ok());
    EXPECT_EQ(v.GetMember("small").AsSigned(), -1);  // AsSigned answers 0 for other kinds
    EXPECT_EQ(v.GetMember("byte").AsUnsigned(), 255u);
    EXPECT_EQ(v.GetMember("ratio").AsFloat(), static_cast<double>(0.1f));  // not the double 0.1
    EXPECT_EQ(v.GetMember("mode").AsEnum(), (EnumValue{1, StaticType::Of<Mode>().id}));
}

TEST_F(ToValueTest, OmitWhenDefault) {
    const struct {
        void (*set)(Omitting&);
        std::vector<std::string> members;
    } cases[] = {
        {[](Omitting&) {}, {"kept"}},  // kept has no flag: present though empty
        {[](Omitting& o) { o.number = -1; }, {"kept", "number"}},
        {[](Omitting& o) { o.flag = true; }, {"flag", "kept"}},
        {[](Omitting& o) { o.text = "t"; }, {"kept", "text"}},
        {[](Omitting& o) { o.list = {0}; }, {"kept", "list"}},
        {[](Omitting& o) { o.real = NAN; }, {"kept", "real"}},
        {[](Omitting& o) { o.real = 1e-300; }, {"kept", "real"}},
        {[](Omitting& o) { o.real = -0.0; }, {"kept"}},
        {[](Omitting& o) { o.mode = Mode::Both; }, {"kept", "mode"}},
        {[](Omitting& o) { o.object.SetBool(false); }, {"kept"}},
        {[](Omitting& o) { o.object.SetBlob("", 0); }, {"kept"}},
        {[](Omitting& o) { o.object.MakeStructure(); }, {"kept"}},
        {[](Omitting& o) { o.object.SetEnum(0, 1); }, {"kept"}},
        {[](Omitting& o) { o.object.SetUnsigned(1); }, {"kept", "object"}},
    };
    for (const auto& c : cases) {
        Omitting o;
        c.set(o);
        BindingResult result;
        ToValue(result, o, registry);
        EXPECT_EQ(MemberNames(result.value), c.members) << c.members.back();
    }
}

TEST_F(ToValueTest, ContainersOfEnumsStructsBlobsAndOptionals) {
    Everything e;
    e.leaves.resize(2);
    e.leaves[1].small = 5;
    e.modes = {{"x", Mode::Off}, {"y", Mode::On}};
    e.byName["k"].byte = 7;
    e.blobs["b"] = {1, 2, 3};
    e.names = {"n1", "n2"};
    BindingResult result;
    ToValue(result, e, registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    const BindingValue& v = result.value;
    EXPECT_EQ(v.GetMember("leaves").Size(), 2u);
    EXPECT_EQ(v.GetMember("leaves").GetElement(1).GetMember("small").AsSigned(), 5);
    EXPECT_EQ(v.GetMember("modes").GetMember("y").AsEnum().value, 1);
    EXPECT_EQ(v.GetMember("byName").GetMember("k").GetMember("byte").AsUnsigned(), 7u);
    EXPECT_EQ(v.GetMember("blobs").GetMember("b").Size(), 3u);
    EXPECT_STREQ(v.GetMember("names").GetElement(1).AsString(), "n2");
    EXPECT_EQ(v.GetMember("maybe").Kind(), ValueKind::Empty);
    EXPECT_EQ(v.GetMember("wide").AsEnum().value, 3);

    // And back: the same record.
    Everything back;
    ToNative(result, back, BindingValue(result.value), "e", registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(back.leaves[1].small, 5);
    EXPECT_EQ(back.modes, e.modes);
    EXPECT_EQ(back.byName.at("k").byte, 7);
    EXPECT_EQ(back.blobs, e.blobs);
    EXPECT_EQ(back.names, e.names);
    EXPECT_FALSE(back.maybe.has_value());
    e.maybe = 4;
    ToValue(result, e, registry);
    ToNative(result, back, BindingValue(result.value), "e", registry);
    EXPECT_EQ(back.maybe, 4);
}

TEST_F(ToValueTest, UnregisteredTypesFail) {
    struct Loose {
        int32_t a = 0;
    };
    BindingResult result;
    ToValue(result, Loose{}, registry);
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered structure.");
    const int32_t raw = 1;
    ConvertEnumFromNative(result, &raw, nullptr);
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered enumeration.");
    TypeBuilder odd(registry, 3, "Odd", StaticType::Placeholder(), true);
    ConvertEnumFromNative(result, &raw, odd.Finish());
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't convert native value because enumeration type Odd has native size 3.");
}

TEST_F(ToValueTest, ToHostValue) {
    BindingValue value;
    value.Member("b").SetBool(true);
    value.Member("s").SetSigned(-4);
    value.Member("u").SetUnsigned(4);
    value.Member("f").SetFloat(0.5);
    value.Member("t").SetString("text");
    value.Member("blob").SetBlob("\x01\x02", 2);
    value.Member("on").SetEnum(1, StaticType::Of<Mode>().id);
    value.Member("unnamed").SetEnum(-9, StaticType::Of<Mode>().id);
    value.Member("list").Element(1).SetString("x");
    value.Member("empty");
    for (const TypeRegistry* reg : {&registry, static_cast<TypeRegistry*>(nullptr)}) {
        BindingResult result;
        HostValue host{};
        ToHostValue(result, host, value, reg);
        ASSERT_TRUE(result.Ok());
        ASSERT_EQ(host.kind, static_cast<uint32_t>(HOST_VALUE_STRUCTURE));
        std::map<std::string, HostValue> m;
        for (uint32_t i = 0; i < host.u.structure.count; ++i) {
            EXPECT_EQ(host.u.structure.entries[i].key_owned, 1);
            m[host.u.structure.entries[i].key] = host.u.structure.entries[i].value;
        }
        EXPECT_EQ(m.size(), 10u);
        EXPECT_STREQ(host.u.structure.entries[0].key, "b");  // name order
        const std::pair<const char*, uint32_t> kinds[] = {
            {"b", HOST_VALUE_BOOL},          {"s", HOST_VALUE_SIGNED},
            {"u", HOST_VALUE_UNSIGNED},      {"f", HOST_VALUE_FLOAT},
            {"t", HOST_VALUE_STRING_OWNED},  {"blob", HOST_VALUE_BLOB_OWNED},
            {"unnamed", HOST_VALUE_SIGNED},  {"list", HOST_VALUE_COLLECTION},
            {"empty", HOST_VALUE_NONE},      {"on", reg != nullptr ? HOST_VALUE_STRING_OWNED : HOST_VALUE_SIGNED}};
        for (auto [member, kind] : kinds) EXPECT_EQ(m[member].kind, kind) << member;
        // Host records are packed: their numbers are read by value, never by reference.
        EXPECT_EQ(int64_t{m["s"].u.i64}, -4);
        EXPECT_EQ(double{m["f"].u.f64}, 0.5);
        EXPECT_EQ(std::string(m["t"].u.string.data, m["t"].u.string.length), "text");
        const HostValue& on = m["on"];  // the enumerator's name where a registry knows it
        EXPECT_EQ(reg != nullptr ? std::string(on.u.string.data, on.u.string.length) : std::to_string(int64_t{on.u.i64}),
                  reg != nullptr ? "On" : "1");
        EXPECT_EQ(int64_t{m["unnamed"].u.i64}, -9);
        EXPECT_EQ(std::memcmp(m["blob"].u.blob.data, "\x01\x02", 2), 0);
        EXPECT_EQ(m["t"].u.string.data[4], '\0');
        ASSERT_EQ(m["list"].u.collection.count, 2u);
        EXPECT_EQ(m["list"].u.collection.items[0].kind, static_cast<uint32_t>(HOST_VALUE_NONE));
        ReleaseHostValue(host);
    }
}

TEST_F(ToValueTest, ToHostValueBoundsDepth) {
    for (size_t levels : {kMaxNestingDepth, kMaxNestingDepth + 1}) {
        BindingValue root;
        BindingValue* v = &root;
        for (size_t i = 0; i < levels; ++i) v = (i % 2 == 0) ? &v->Element(0) : &v->Member("m");
        BindingResult result;
        HostValue host{};
        ToHostValue(result, host, root, nullptr);
        if (levels == kMaxNestingDepth) {
            EXPECT_TRUE(result.Ok());
            EXPECT_EQ(host.kind, static_cast<uint32_t>(HOST_VALUE_COLLECTION));
        } else {
            EXPECT_STREQ(result.ErrorMessage(),
                         "Couldn't convert value to a host value because it is nested more than 512 levels deep.");
            EXPECT_EQ(host.kind, static_cast<uint32_t>(HOST_VALUE_NONE));
        }
        ReleaseHostValue(host);
    }
}
