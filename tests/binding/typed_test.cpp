#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "binding/typed.h"

namespace Demo {

enum class Phase : int32_t { None = 0, Lobby = 1 };
struct Session {
    Phase phase = Phase::None;
};
struct Event {
    std::string name;
    int32_t priority = 0;
};
struct Tree {
    std::string label;
    std::vector<Tree> children;
    std::optional<Event> event;
    long long big = 0;  // same width as int64_t; another type where int64_t is long
    std::unordered_map<std::string, int32_t> counts;
};

inline void Describe(Vemi::Binding::Enumeration<Phase>& e) {
    e.Name("Phase").Description("d").Tags({"t1", "t2"}).Value("None", Phase::None).Value("Lobby", Phase::Lobby, "In lobby");
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

}  // namespace Demo

KAV_STATIC_TYPE_NAME(Demo::Event, "struct");

using namespace Vemi::Binding;
using Demo::Event;
using Demo::Phase;
using Demo::Session;
using Demo::Tree;

TEST(TypedRegistration, DescriptorsFromDeclarations) {
    TypeRegistry registry;
    const TypeDescriptor* session = RegisterType<Session>(registry, "Kav");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->name, "KavSession");
    EXPECT_EQ(session->nativeSize, sizeof(Session));
    const TypeDescriptor* phase = registry.FindType("KavPhase");  // registered on the way
    ASSERT_NE(phase, nullptr);
    EXPECT_TRUE(phase->isEnum);
    EXPECT_EQ(phase->nativeSize, 4u);
    EXPECT_EQ(phase->description, "d");
    EXPECT_EQ(phase->tags, (std::vector<std::string>{"t1", "t2"}));
    EXPECT_EQ(phase->FindEnumerator("Lobby")->description, "In lobby");
    const FieldDescriptor& f = session->fields.at(0);
    EXPECT_EQ(f.type, (TypeReference{BindingTypeKind::Enum, BindingTypeKind::None, phase}));
    EXPECT_EQ(f.identity, &StaticType::Of<Phase>());
    EXPECT_EQ(f.flags, 0u);
    EXPECT_NE(f.converter, nullptr);

    // A type already present is used as it is, whatever prefix the caller gives.
    const TypeDescriptor* again = RegisterType<Session>(registry, "Other");
    EXPECT_EQ(registry.FindType("OtherSession")->fields.at(0).type.descriptor, phase);
    EXPECT_NE(again, session);

    const TypeDescriptor* event = RegisterType<Event>(registry, "Kav");
    EXPECT_EQ(event->identity->name, std::string("const char *__cdecl StaticType::Name<struct Demo::Event>(void)"));
    EXPECT_EQ(event->nameSpace, "ns");
    ASSERT_EQ(event->fields.size(), 2u);
    EXPECT_EQ(event->fields[1].offset, offsetof(Event, priority));
    EXPECT_EQ(event->fields[1].flags, kFieldRequired);
    EXPECT_EQ(event->fields[1].description, "Order");
    EXPECT_EQ(event->fields[1].type.kind, BindingTypeKind::Int32);
}

TEST(TypedRegistration, RecursiveOptionalAndCustomNativeFields) {
    TypeRegistry registry;
    const TypeDescriptor* tree = RegisterType<Tree>(registry, "");
    ASSERT_EQ(tree->fields.size(), 5u);
    EXPECT_EQ(tree->fields[1].type, (TypeReference{BindingTypeKind::Vector, BindingTypeKind::Struct, tree}));
    EXPECT_TRUE(tree->fields[2].optional);
    EXPECT_EQ(tree->fields[2].type.descriptor, FindType<Event>(registry));
    EXPECT_EQ(tree->fields[3].type.kind, BindingTypeKind::Int64);
    // Where int64_t is long long (Windows, 32-bit Linux) the field has the built-in form.
    EXPECT_EQ(tree->fields[3].flags, (std::is_same_v<long long, int64_t> ? 0u : kFieldCustomNative));
    EXPECT_EQ(tree->fields[4].type, (TypeReference{BindingTypeKind::Map, BindingTypeKind::Int32, nullptr}));
    EXPECT_EQ(tree->fields[4].flags, kFieldCustomNative);

    Tree t;
    t.label = "root";
    t.children.resize(1);
    t.children[0].label = "leaf";
    t.children[0].event = Event{"e", -3};
    t.big = -5;
    t.counts["c"] = 2;
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
    ToNative(result, event, input, "<value>", registry);
    EXPECT_STREQ(result.ErrorMessage(),
                 "Couldn't assign value to '<value>' because the input is an unregistered structure or not a structure at all.");
    ToNative(result, event, input, "<value>", registry);  // a failed result stays as it is
    EXPECT_STREQ(result.ErrorMessage(),
                 "Couldn't assign value to '<value>' because the input is an unregistered structure or not a structure at all.");

    RegisterType<Event>(registry, "");
    result.Clear();
    ToNative(result, event, input, "<value>", registry);
    EXPECT_TRUE(result.Ok());
    EXPECT_EQ(event.priority, 7);
    result.Clear();
    ToNative(result, event, BindingValue(), "<value>", registry);
    EXPECT_STREQ(result.ErrorMessage(), "A value for '<value>' is required.");

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
