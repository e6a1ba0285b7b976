#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <kav/binding/typed.h>
#include "recorded_log.h"

namespace Demo {

enum class Phase : int32_t { None = 0, Lobby = 1 };
struct Session {
    Phase phase = Phase::None;
};
struct Event {
    std::string name;
    int32_t priority = 0;
};
// As wide as a fixed-width integer but another type: long long beside a long int64_t
// (64-bit Linux), long beside an int int32_t (32-bit targets and Windows).
using OtherInteger = std::conditional_t<std::is_same_v<int64_t, long>, long long, long>;

struct Tree {
    std::string label;
    std::vector<Tree> children;
    std::optional<Event> event;
    OtherInteger big = 0;
    std::unordered_map<std::string, int32_t> counts;
};

inline void Describe(Vemi::Binding::Enumeration<Phase>& e) {
    e.Name("Phase").Value("None", Phase::None).Value("Lobby", Phase::Lobby);
}
inline void Describe(Vemi::Binding::Record<Session>& r) { r.Name("Session").Field("phase", &Session::phase); }
inline void Describe(Vemi::Binding::Record<Event>& r) {
    r.Name("Event").NameSpace("ns").Field("name", &Event::name).Field("priority", &Event::priority,
                                                                       Vemi::Binding::kFieldRequired, "Order");
}
inline void Describe(Vemi::Binding::Record<Tree>& r) {
    r.Name("Tree").Field("label", &Tree::label).Field("children", &Tree::children).Field("event", &Tree::event);
    r.Field("big", &Tree::big).Field("counts", &Tree::counts);
}

// Enumerations of every width held side by side, with guards between them that no
// conversion may touch.
enum class Tiny : int8_t { Low = -128, Mid = 1, High = 127 };
enum class Half : int16_t { Low = -32768, Mid = 1, High = 32767 };
enum class Wide : int64_t { Low = -5, Mid = 1, High = 0x7FFFFFFF };
struct Widths {
    Tiny tiny = Tiny::Mid;
    uint8_t guard1 = 0x5A;
    Half half = Half::Mid;
    uint16_t guard2 = 0x5A5A;
    Wide wide = Wide::Mid;
    uint64_t guard3 = 0x5A5A5A5A5A5A5A5A;
};
template <class E>
void DescribeLowMidHigh(Vemi::Binding::Enumeration<E>& e, const char* name) {
    e.Name(name).Value("Low", E::Low).Value("Mid", E::Mid).Value("High", E::High);
}
inline void Describe(Vemi::Binding::Enumeration<Tiny>& e) { DescribeLowMidHigh(e, "Tiny"); }
inline void Describe(Vemi::Binding::Enumeration<Half>& e) { DescribeLowMidHigh(e, "Half"); }
inline void Describe(Vemi::Binding::Enumeration<Wide>& e) { DescribeLowMidHigh(e, "Wide"); }
inline void Describe(Vemi::Binding::Record<Widths>& r) {
    r.Name("Widths").Field("tiny", &Widths::tiny).Field("half", &Widths::half).Field("wide", &Widths::wide);
}

// Two enumerations of different widths that both call themselves "Mode".
enum class WideMode : int64_t { A = 1, B = 2 };
enum class NarrowMode : uint8_t { A = 1 };
struct First {
    WideMode mode = WideMode::B;
};
struct Second {
    NarrowMode mode = NarrowMode::A;
    uint8_t guard = 0x5A;
};
inline void Describe(Vemi::Binding::Enumeration<WideMode>& e) { e.Name("Mode").Value("A", WideMode::A).Value("B", WideMode::B); }
inline void Describe(Vemi::Binding::Enumeration<NarrowMode>& e) { e.Name("Mode").Value("A", NarrowMode::A); }
inline void Describe(Vemi::Binding::Record<First>& r) { r.Name("First").Field("mode", &First::mode); }
inline void Describe(Vemi::Binding::Record<Second>& r) { r.Name("Second").Field("mode", &Second::mode); }

}  // namespace Demo

using namespace Vemi::Binding;
using Demo::Event;
using Demo::Phase;
using Demo::Session;
using Demo::Tree;
using Demo::Widths;

TEST(TypedRegistration, DescriptorsFromDeclarations) {
    TypeRegistry registry;
    const TypeDescriptor* session = RegisterType<Session>(registry, "Kav");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->name, "KavSession");
    const TypeDescriptor* phase = registry.FindType("KavPhase");  // registered on the way
    ASSERT_NE(phase, nullptr);
    EXPECT_TRUE(phase->isEnum);
    EXPECT_EQ(phase->nativeSize, 4u);
    const FieldDescriptor& f = session->fields.at(0);
    EXPECT_EQ(f.type, (TypeReference{BindingTypeKind::Enum, BindingTypeKind::None, phase}));
    EXPECT_EQ(f.identity, &StaticType::Of<Phase>());

    // A type already present is used as it is, whatever prefix the caller gives.
    EXPECT_NE(RegisterType<Session>(registry, "Other"), session);
    EXPECT_EQ(registry.FindType("OtherSession")->fields.at(0).type.descriptor, phase);

    const TypeDescriptor* event = RegisterType<Event>(registry, "Kav");
    EXPECT_EQ(event->nameSpace, "ns");
    ASSERT_EQ(event->fields.size(), 2u);
    EXPECT_EQ(event->fields[1].offset, offsetof(Event, priority));
    EXPECT_EQ(event->fields[1].flags, kFieldRequired);
    EXPECT_EQ(event->fields[1].type.kind, BindingTypeKind::Int32);
}

TEST(TypedRegistration, RecursiveOptionalAndCustomNativeFields) {
    TypeRegistry registry;
    const TypeDescriptor* tree = RegisterType<Tree>(registry, "");
    ASSERT_EQ(tree->fields.size(), 5u);
    EXPECT_EQ(tree->fields[1].type, (TypeReference{BindingTypeKind::Vector, BindingTypeKind::Struct, tree}));
    EXPECT_TRUE(tree->fields[2].optional);
    EXPECT_EQ(tree->fields[2].type.descriptor, FindType<Event>(registry));
    EXPECT_EQ(tree->fields[3].type.kind, sizeof(Demo::OtherInteger) == 8 ? BindingTypeKind::Int64 : BindingTypeKind::Int32);
    EXPECT_EQ(tree->fields[3].flags, kFieldCustomNative);
    EXPECT_EQ(tree->fields[4].type, (TypeReference{BindingTypeKind::Map, BindingTypeKind::Int32, nullptr}));
    EXPECT_EQ(tree->fields[4].flags, kFieldCustomNative);

    const Tree t{"root", {Tree{"leaf", {}, Event{"e", -3}, 0, {}}}, std::nullopt, -5, {{"c", 2}}};
    BindingResult result;
    ToValue(result, t, registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(result.value.GetMember("children").GetElement(0).GetMember("event").GetMember("priority").AsSigned(), -3);
    Tree back;
    const BindingValue value = result.value;
    ToNative(result, back, value, "t", registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(back.children.at(0).label, "leaf");
    EXPECT_EQ(back.children[0].event->priority, -3);
    EXPECT_FALSE(back.event.has_value());
    EXPECT_EQ(back.big, -5);
    EXPECT_EQ(back.counts.at("c"), 2);

    // The required field of the optional record still counts.
    BindingValue bad = value;
    bad.Member("children").Element(0).Member("event").Member("priority").Reset();
    ToNative(result, back, bad, "t", registry);
    EXPECT_STREQ(result.ErrorMessage(),
                 "Couldn't assign value to 'event' of type Event because the input structure doesn't have required field "
                 "'priority'.");
}

TEST(TypedConversion, TopLevelEntries) {
    TypeRegistry registry;
    BindingResult result;
    Event event;
    BindingValue input;
    input.Member("priority").SetString("7");
    const char* unregistered =
        "Couldn't assign value to '<value>' because the input is an unregistered structure or not a structure at all.";
    ToNative(result, event, input, "<value>", registry);
    EXPECT_STREQ(result.ErrorMessage(), unregistered);
    ToNative(result, event, input, "<value>", registry);  // a failed result stays as it is
    EXPECT_STREQ(result.ErrorMessage(), unregistered);

    RegisterType<Event>(registry, "");
    result.Clear();
    ToNative(result, event, input, "<value>", registry);
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(event.priority, 7);

    Phase phase = Phase::None;
    result.Clear();
    ToNative(result, phase, input, "p", registry);
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't assign value to 'p' because its enumeration type is not registered.");

    std::optional<int32_t> maybe = 3;
    result.Clear();
    ToNative(result, maybe, BindingValue(), "m", registry);
    EXPECT_TRUE(result.Ok());
    EXPECT_FALSE(maybe.has_value());
}

TEST(TypedRegistration, ANameTakenByAnotherTypeIsNotBound) {
    TypeRegistry registry;
    const TypeDescriptor* first = RegisterType<Demo::First>(registry, "Clash");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->fields.at(0).type.descriptor, registry.FindType("ClashMode"));
    const std::string wide = StaticType::Name<Demo::WideMode>(), narrow = StaticType::Name<Demo::NarrowMode>();
    EXPECT_EQ(RegisterType<Demo::NarrowMode>(registry, "Clash"), nullptr);
    const TypeDescriptor* second = RegisterType<Demo::Second>(registry, "Clash");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->fields.at(0).type.descriptor, nullptr);
    const std::string refused = "Type ClashMode is already registered for " + wide + "; " + narrow + " is not bound to it.";
    EXPECT_EQ(Vemi::Testing::RecordedLogMessages(), (std::vector<std::string>{refused, refused}));

    // A field handed another type's descriptor directly is not bound to it either.
    TypeBuilder manual(registry, sizeof(Demo::Second), "Manual", StaticType::Placeholder(), false);
    manual.Field("mode", "", 0, StaticType::Of<Demo::NarrowMode>(),
                 {BindingTypeKind::Enum, BindingTypeKind::None, registry.FindType("ClashMode")});
    EXPECT_EQ(manual.Finish()->fields.at(0).type.descriptor, nullptr);
    EXPECT_EQ(Vemi::Testing::RecordedLogMessages().back(),
              "Field mode of Manual is not bound to type ClashMode, which describes another native type.");

    // Both directions fail cleanly instead of using the 8-byte descriptor on a 1-byte field.
    BindingValue input;
    input.Member("mode").SetString("A");
    Demo::Second native;
    BindingResult result;
    ToNative(result, native, input, "s", registry);
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't assign value to 'mode' because its enumeration type is not registered.");
    EXPECT_EQ(native.guard, 0x5A);
    result.Clear();
    ToValue(result, native, registry);
    EXPECT_STREQ(result.ErrorMessage(), "Couldn't convert native value because it's an unregistered enumeration.");
}

TEST(TypedConversion, EnumerationsOfEveryWidthThroughFields) {
    using Demo::Half;
    using Demo::Tiny;
    using Demo::Wide;
    TypeRegistry registry;
    ASSERT_NE(RegisterType<Widths>(registry, ""), nullptr);
    auto number = [](int64_t n) { BindingValue v; v.SetSigned(n); return v; };
    auto text = [](const char* t) { BindingValue v; v.SetString(t); return v; };
    struct Case {
        BindingValue tiny, half, wide;
        Tiny nativeTiny;
        Half nativeHalf;
        Wide nativeWide;
    };
    const Case cases[] = {
        {text("Low"), text("Low"), text("Low"), Tiny::Low, Half::Low, Wide::Low},
        {text("High"), text("High"), text("High"), Tiny::High, Half::High, Wide::High},
        {number(-128), number(-32768), number(-5), Tiny::Low, Half::Low, Wide::Low},
        {text("127"), text("32767"), text("2147483647"), Tiny::High, Half::High, Wide::High},
        {number(1), text("0x1"), number(0x100000001), Tiny::Mid, Half::Mid, Wide::Mid},  // low 32 bits
    };
    for (const Case& c : cases) {
        BindingValue input;
        input.Member("tiny") = c.tiny;
        input.Member("half") = c.half;
        input.Member("wide") = c.wide;
        Widths native;
        BindingResult result;
        ToNative(result, native, input, "w", registry);
        ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
        EXPECT_EQ(native.tiny, c.nativeTiny);
        EXPECT_EQ(native.half, c.nativeHalf);
        EXPECT_EQ(native.wide, c.nativeWide);
        EXPECT_EQ(native.guard1, 0x5A);
        EXPECT_EQ(native.guard2, 0x5A5A);
        EXPECT_EQ(native.guard3, 0x5A5A5A5A5A5A5A5Au);

        ToValue(result, native, registry);
        ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
        EXPECT_EQ(result.value.GetMember("tiny").AsEnum(),
                  (EnumValue{static_cast<int8_t>(c.nativeTiny), StaticType::Of<Tiny>().id}));
        EXPECT_EQ(result.value.GetMember("half").AsEnum(),
                  (EnumValue{static_cast<int16_t>(c.nativeHalf), StaticType::Of<Half>().id}));
        EXPECT_EQ(result.value.GetMember("wide").AsEnum(),
                  (EnumValue{static_cast<int32_t>(c.nativeWide), StaticType::Of<Wide>().id}));
    }

    // Native to value reads only the enum's own width: the high half of an 8-byte
    // enumeration is dropped, and the neighbours of narrow ones are never read.
    Widths native;
    native.wide = static_cast<Wide>(0x500000001);
    native.guard1 = 0xFF;
    native.guard2 = 0xFFFF;
    BindingResult result;
    ToValue(result, native, registry);
    EXPECT_EQ(result.value.GetMember("tiny").AsEnum().value, 1);
    EXPECT_EQ(result.value.GetMember("half").AsEnum().value, 1);
    EXPECT_EQ(result.value.GetMember("wide").AsEnum().value, 1);

    // Values beyond a width are not enumerators of it.
    BindingValue input;
    input.Member("tiny").SetSigned(128);
    ToNative(result, native, input, "w", registry);
    EXPECT_STREQ(result.ErrorMessage(), "128 is not a valid Tiny enumeration value for 'tiny'.");
}
