#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <kav/binding/registry.h>

namespace Vemi {
struct Resource {};
namespace Client::PreEndOfGame::Api {
struct SequenceEvent {
    std::string name;
    int32_t priority = -1;
};
enum class Phase : int32_t { None = 0 };
}  // namespace Client::PreEndOfGame::Api
struct FixedIdOnly {};
struct LowIdentifier {};
struct Undeclared {};
}  // namespace Vemi

KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::SequenceEvent, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::Phase, "enum");
KAV_STATIC_TYPE_NAME_ID(Vemi::Resource, "struct", 0x063574AD);
KAV_STATIC_TYPE_ID(Vemi::FixedIdOnly, 0xA54F35FD);
KAV_STATIC_TYPE_ID(Vemi::LowIdentifier, 0x00AB12CD);

using namespace Vemi::Binding;
using Vemi::Client::PreEndOfGame::Api::SequenceEvent;

namespace {

// Counts destructions so tests can see that the registry owns its converters.
struct CountingConverter : FieldConverter {
    explicit CountingConverter(int& destroyed) : destroyed_(destroyed) {}
    ~CountingConverter() override { ++destroyed_; }
    void ToNative(BindingResult&, void*, const BindingValue&, const FieldDescriptor&, std::string_view,
                  const TypeRegistry&) override {}
    void ToValue(BindingResult&, const void*, const FieldDescriptor&, const TypeRegistry&) override {}
    int& destroyed_;
};

template <class T>
const TypeDescriptor* RegisterEnum(TypeRegistry& registry, const char* name,
                                   std::vector<std::pair<const char*, int32_t>> enumerators) {
    TypeBuilder b(registry, 4, name, StaticType::Of<T>(), true);
    for (auto [n, v] : enumerators) b.Enumerator(n, v);
    return b.Finish();
}

std::vector<std::string> Names(const auto& records) {
    std::vector<std::string> names;
    for (const auto* r : records) names.push_back(r->name);
    return names;
}

}  // namespace

TEST(TypeRegistry, TypeKindNames) {
    const char* expected[] = {"",      "bool",   "int8",  "uint8",  "int16",  "uint16", "int32",
                              "uint32", "int64",  "uint64", "float",  "double", "string", "object",
                              "blob",  "vector", "enum",  "struct", "callback", "map"};
    for (uint32_t kind = 0; kind < std::size(expected); ++kind) EXPECT_STREQ(TypeKindName(kind), expected[kind]);
    for (uint32_t kind : {20u, static_cast<uint32_t>(-1)}) EXPECT_STREQ(TypeKindName(kind), "") << kind;
}

TEST(StaticType, DisplayNamesAndIdentifiers) {
    struct Case {
        const StaticType& identity;
        const char* name;
        uint32_t id;
    };
    const Case cases[] = {
        {StaticType::Of<SequenceEvent>(),
         "const char *__cdecl StaticType::Name<struct Vemi::Client::PreEndOfGame::Api::SequenceEvent>(void)",
         Fnv1a("Vemi::Client::PreEndOfGame::Api::SequenceEvent")},
        {StaticType::Of<Vemi::Client::PreEndOfGame::Api::Phase>(),
         "const char *__cdecl StaticType::Name<enum Vemi::Client::PreEndOfGame::Api::Phase>(void)",
         Fnv1a("Vemi::Client::PreEndOfGame::Api::Phase")},
        {StaticType::Of<Vemi::Resource>(), "const char *__cdecl StaticType::Name<struct Vemi::Resource>(void)",
         0x063574ADu},
        {StaticType::Of<Vemi::FixedIdOnly>(), "#A54F35FD", 0xA54F35FDu},
        {StaticType::Of<Vemi::LowIdentifier>(), "#00AB12CD", 0x00AB12CDu},
        {StaticType::Of<int32_t>(), nullptr, Fnv1a("int32")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.identity.id, c.id) << c.identity.name;
        if (c.name != nullptr) {
            EXPECT_STREQ(c.identity.name, c.name);
        }
    }
    EXPECT_STREQ(StaticType::Name<Vemi::Resource>(),
                 "const char *__cdecl StaticType::Name<struct Vemi::Resource>(void)");

    // Undeclared types: "#" and exactly eight upper-case hexadecimal digits of the identifier.
    const StaticType* undeclared[] = {&StaticType::Of<Vemi::Undeclared>(), &StaticType::Of<int32_t>(),
                                      &StaticType::Of<std::vector<std::string>>(), &StaticType::Placeholder()};
    for (const StaticType* t : undeclared) {
        char expected[16];
        std::snprintf(expected, sizeof expected, "#%08X", t->id);
        EXPECT_STREQ(t->name, expected);
    }
    EXPECT_EQ(&StaticType::Of<const SequenceEvent&>(), &StaticType::Of<SequenceEvent>());
    EXPECT_NE(StaticType::Of<Vemi::Undeclared>().id, StaticType::Of<std::vector<std::string>>().id);
    EXPECT_NE(StaticType::Of<int8_t>().id, StaticType::Of<char>().id);
}

TEST(TypeRegistry, BuilderKeepsTheFirstRegistration) {
    TypeRegistry registry;
    int destroyed = 0;
    TypeBuilder first(registry, sizeof(SequenceEvent), "KavSequenceEvent", StaticType::Of<SequenceEvent>(), false);
    EXPECT_FALSE(first.Exists());
    first.Field("name", "Event name", offsetof(SequenceEvent, name), StaticType::Of<std::string>(),
                {BindingTypeKind::String}, {BindingTypeKind::None, BindingTypeKind::Int32}, kFieldRequired,
                std::make_unique<CountingConverter>(destroyed));
    first.Field("priority", "", offsetof(SequenceEvent, priority), StaticType::Of<int32_t>(),
                {BindingTypeKind::Int32}, {BindingTypeKind::String}, kFieldOmitWhenDefault);
    first.Description("An event").Tag("qhost").Tag("extra");

    TypeBuilder second(registry, 1, "KavSequenceEvent", StaticType::Of<int32_t>(), true);
    EXPECT_TRUE(second.Exists());
    second.Field("ignored", "", 0, StaticType::Of<int32_t>(), {BindingTypeKind::Int32}, {}, 0,
                 std::make_unique<CountingConverter>(destroyed));
    second.Enumerator("X", 1).Description("replaced?").Tags({"no"});
    EXPECT_EQ(destroyed, 1);  // the dropped field's converter
    EXPECT_EQ(second.Finish(), first.Finish());

    const TypeDescriptor* d = registry.FindType("KavSequenceEvent");
    ASSERT_EQ(d, first.Finish());
    EXPECT_EQ(d->nativeSize, sizeof(SequenceEvent));
    EXPECT_FALSE(d->isEnum);
    EXPECT_EQ(d->typeId, StaticType::Of<SequenceEvent>().id);
    EXPECT_EQ(d->description, "An event");
    EXPECT_EQ(d->tags, (std::vector<std::string>{"qhost", "extra"}));
    EXPECT_TRUE(d->enumerators.empty());
    ASSERT_EQ(d->fields.size(), 2u);
    const FieldDescriptor& name = d->fields[0];
    EXPECT_EQ(name.nameHash, Fnv1a("name"));
    EXPECT_EQ(name.secondType, TypeReference{});  // a second reference of kind 0 is not copied
    EXPECT_EQ(name.owner, d);
    EXPECT_NE(name.converter, nullptr);
    EXPECT_EQ(d->fields[1].secondType.kind, BindingTypeKind::String);
    EXPECT_EQ(d->FindField("priority"), &d->fields[1]);
    EXPECT_EQ(d->FindField("missing"), nullptr);

    EXPECT_EQ(registry.FindType(StaticType::Of<SequenceEvent>()), d);
    EXPECT_EQ(registry.FindType(StaticType::Of<int32_t>()), nullptr);
    EXPECT_EQ(registry.FindType("Other"), nullptr);
}

TEST(TypeRegistry, Enumerators) {
    TypeRegistry registry;
    using Phase = Vemi::Client::PreEndOfGame::Api::Phase;
    TypeBuilder b(registry, 4, "Phase", StaticType::Of<Phase>(), true);
    b.Enumerator("b", 1, "first b").Enumerator("a", 1).Enumerator("c", -7).Enumerator("b", 2, "second b");
    const TypeDescriptor* d = b.Finish();
    ASSERT_EQ(d->enumerators.size(), 3u);
    EXPECT_EQ(d->FindEnumerator("b")->value, 2);  // replaced
    EXPECT_EQ(d->FindEnumerator("b")->description, "second b");
    EXPECT_EQ(d->FindEnumerator("b")->owner, d);

    struct Case {
        int32_t value;
        const char* name;
    };
    const Case cases[] = {{1, "a"}, {2, "b"}, {-7, "c"}, {0, nullptr}, {3, nullptr}};
    for (const Case& c : cases) {
        EXPECT_STREQ(registry.EnumeratorName(StaticType::Of<Phase>(), c.value), c.name) << c.value;
        EXPECT_STREQ(registry.EnumeratorName(StaticType::Of<Phase>().id, c.value), c.name) << c.value;
        EXPECT_EQ(registry.IsEnumeratorValue(*d, c.value), c.name != nullptr) << c.value;
    }
    // Same value under two names: the first in byte order wins, whatever the insertion order.
    const TypeDescriptor* twin = RegisterEnum<Vemi::Undeclared>(registry, "Twin", {{"b", 1}, {"a", 1}, {"B", 5}});
    EXPECT_STREQ(twin->EnumeratorName(1), "a");
    EXPECT_STREQ(registry.EnumeratorName(StaticType::Of<Vemi::Undeclared>(), 5), "B");
    EXPECT_EQ(registry.EnumeratorName(StaticType::Of<int64_t>(), 1), nullptr);
}

TEST(TypeRegistry, PlaceholderIdentityIsFoundByNameOnly) {
    TypeRegistry registry;
    const TypeDescriptor* d = TypeBuilder(registry, 8, "Holder", StaticType::Placeholder(), false).Finish();
    EXPECT_EQ(registry.FindType("Holder"), d);
    EXPECT_EQ(registry.FindType(StaticType::Placeholder()), nullptr);
    EXPECT_EQ(d->typeId, StaticType::Placeholder().id);
}

TEST(TypeRegistry, FunctionsEventsAndSnapshots) {
    TypeRegistry registry;
    const TypeDescriptor* payload =
        TypeBuilder(registry, 4, "Payload", StaticType::Of<Vemi::Resource>(), false).Finish();
    RegisterEnum<Vemi::FixedIdOnly>(registry, "Alpha", {{"x", 0}});

    FunctionBuilder post(registry, "PostV1Thing", 2);
    EXPECT_FALSE(post.Exists());
    post.Argument("name", "The name", false, {BindingTypeKind::String})
        .Argument("items", "", true, {BindingTypeKind::Vector, BindingTypeKind::Struct, payload},
                  {BindingTypeKind::Vector, BindingTypeKind::String})
        .Returns({BindingTypeKind::Struct, BindingTypeKind::None, payload})
        .Description("Posts").Help("Longer").NameSpace("ns").Tag("$builtin").ThreadSafe(true).Async(true);
    FunctionBuilder again(registry, "PostV1Thing", 0);
    EXPECT_TRUE(again.Exists());
    again.Argument("third", "", false, {BindingTypeKind::Bool}).Description("no");
    FunctionBuilder(registry, "DeleteV1Thing", 0);

    const FunctionRecord* f = registry.FindFunction("PostV1Thing");
    ASSERT_EQ(f, post.Finish());
    ASSERT_EQ(f->arguments.size(), 2u);
    EXPECT_EQ(f->arguments[0].nameHash, Fnv1a("name"));
    EXPECT_EQ(f->arguments[0].secondType, TypeReference{});
    EXPECT_EQ(f->arguments[1].secondType.elementKind, BindingTypeKind::String);
    EXPECT_EQ(f->FindArgument("items"), 1);
    EXPECT_EQ(f->FindArgument("third"), -1);
    EXPECT_EQ(f->description, "Posts");
    EXPECT_EQ(f->registry, &registry);

    bool existed = true;
    EventRecord* e = registry.RegisterEvent("OnThing", payload, &existed);
    EXPECT_FALSE(existed);
    EXPECT_EQ(registry.RegisterEvent("OnThing", nullptr, &existed), e);
    EXPECT_TRUE(existed);
    EXPECT_EQ(e->payload, payload);
    (void)registry.RegisterEvent("OnAnother", nullptr);

    EXPECT_EQ(registry.FunctionCount(), 2u);
    EXPECT_EQ(Names(registry.Functions()), (std::vector<std::string>{"DeleteV1Thing", "PostV1Thing"}));
    EXPECT_EQ(Names(registry.Types()), (std::vector<std::string>{"Alpha", "Payload"}));
    EXPECT_EQ(Names(registry.Events()), (std::vector<std::string>{"OnAnother", "OnThing"}));
}

TEST(TypeRegistry, ResetClearsOnlyAfterBuiltins) {
    TypeRegistry registry;
    int destroyed = 0;
    TypeBuilder(registry, 4, "Early", StaticType::Of<Vemi::Undeclared>(), false)
        .Field("f", "", 0, StaticType::Of<int32_t>(), {BindingTypeKind::Int32}, {}, 0,
               std::make_unique<CountingConverter>(destroyed));
    EXPECT_FALSE(registry.BuiltinsRegistered());
    registry.Reset();  // nothing registered as built-in yet: keeps what is there
    EXPECT_TRUE(registry.BuiltinsRegistered());
    EXPECT_NE(registry.FindType("Early"), nullptr);

    FunctionBuilder(registry, "F", 0);
    (void)registry.RegisterEvent("E", registry.FindType("Early"));
    registry.Reset();
    EXPECT_TRUE(registry.BuiltinsRegistered());
    EXPECT_EQ(registry.FindType("Early"), nullptr);
    EXPECT_EQ(registry.FindType(StaticType::Of<Vemi::Undeclared>()), nullptr);
    EXPECT_EQ(registry.FindFunction("F"), nullptr);
    EXPECT_EQ(registry.FindEvent("E"), nullptr);
    EXPECT_EQ(destroyed, 1);
}

TEST(TypeRegistry, ConcurrentRegistrationAndLookup) {
    TypeRegistry registry;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&registry, t] {
            for (int i = 0; i < 200; ++i) {
                // Appended, not "literal" + std::to_string: g++ 12 -O3 warns falsely (-Wrestrict) on those.
                const std::string name = std::string("T").append(std::to_string(i % 50));
                TypeBuilder b(registry, 4, name, StaticType::Of<Vemi::Undeclared>(), true);
                b.Enumerator(std::string("e").append(std::to_string(t)), i);
                (void)registry.FindType(name);
                (void)registry.Types();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(registry.Types().size(), 50u);
    for (const TypeDescriptor* d : registry.Types()) EXPECT_EQ(d->enumerators.size(), 1u) << d->name;
}
