#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <kav/binding/builtins.h>

using namespace Vemi::Binding;

namespace {

struct FieldRow {
    const char* name;
    BindingTypeKind kind;
    const char* typeName = "";  // enum or struct type
    BindingTypeKind element = BindingTypeKind::None;
    const char* description = "";
};

struct TypeRow {
    const char* name;
    const char* description;
    std::vector<std::string> tags;
    std::vector<FieldRow> fields;
};

constexpr auto S = BindingTypeKind::String;
constexpr auto B = BindingTypeKind::Bool;
constexpr auto V = BindingTypeKind::Vector;
constexpr auto R = BindingTypeKind::Struct;
constexpr auto U32 = BindingTypeKind::UInt32;
constexpr auto O = BindingTypeKind::Object;
constexpr auto N = BindingTypeKind::None;
const std::vector<std::string> kHelp{"$builtin", "help"};
const std::vector<std::string> kAsync{"$builtin", "async"};

const char* const kIdentifier = "BindingFullTypeIdentifier";
const char* const kToken = "Asynchronous operation token";
const TypeRow kRecords[] = {
    {kIdentifier, "Describes the type of a value.", kHelp, {{"type", S}, {"elementType", S}}},
    {"BindingFullArgumentHelp", "Describes a function parameter.", kHelp,
     {{"name", S}, {"description", S}, {"type", R, kIdentifier}, {"optional", B}}},
    {"BindingFullFunctionHelp", "Describes a function.", kHelp,
     {{"name", S}, {"nameSpace", S}, {"arguments", V, "BindingFullArgumentHelp", R}, {"returns", R, kIdentifier},
      {"description", S}, {"help", S}, {"threadSafe", B}, {"async", S}, {"tags", V, "", S}}},
    {"BindingFullEnumValueHelp", "Describes an enumerator.", kHelp,
     {{"name", S}, {"description", S}, {"value", BindingTypeKind::Int32}}},
    {"BindingFullFieldHelp", "Describes a member of a struct.", kHelp,
     {{"name", S}, {"description", S}, {"offset", U32}, {"type", R, kIdentifier}, {"optional", B}}},
    {"BindingFullTypeHelp", "Describes a struct or enum type.", kHelp,
     {{"name", S}, {"nameSpace", S}, {"size", U32}, {"description", S}, {"tags", V, "", S},
      {"fields", V, "BindingFullFieldHelp", R}, {"values", V, "BindingFullEnumValueHelp", R}}},
    {"BindingFullEventHelp", "Describes an event.", kHelp,
     {{"name", S}, {"nameSpace", S}, {"type", R, kIdentifier}, {"description", S}, {"tags", V, "", S}}},
    {"BindingFullApiHelp", "Describes the exposed native API.", kHelp,
     {{"functions", V, "BindingFullFunctionHelp", R}, {"types", V, "BindingFullTypeHelp", R},
      {"events", V, "BindingFullEventHelp", R}}},
    {"BindingGenericEvent", "Represents generic data for an event.", {"$builtin"}, {{"data", O, "", N, "Event data"}}},
    {"BindingCallbackEvent", "Represents the parameters of a call to a provided callback.", {"$builtin"},
     {{"id", U32, "", N, "ID of the callback being invoked"}, {"parameters", V, "", O, "Callback parameters"}}},
    {"BindingGenericAsyncEvent", "Represents generic data for an asynchronous event.", kAsync,
     {{"asyncToken", U32, "", N, kToken}, {"data", O, "", N, "Event data"}}},
    {"BindingAsyncFailureEvent", "Represents a failed asynchronous operation.", kAsync,
     {{"asyncToken", U32, "", N, kToken}, {"error", S, "", N, "Error message"}}},
    {"BindingAsyncCancelEvent", "Represents a cancelled asynchronous operation.", kAsync,
     {{"asyncToken", U32, "", N, kToken}}},
};

void ExpectEnum(const TypeRegistry& registry, const char* name, const char* description,
                const std::vector<std::string>& tags,
                const std::vector<std::tuple<std::string, int32_t, std::string>>& enumerators) {
    const TypeDescriptor* d = registry.FindType(name);
    ASSERT_NE(d, nullptr) << name;
    EXPECT_TRUE(d->isEnum);
    EXPECT_EQ(d->nativeSize, 4u);
    EXPECT_EQ(d->description, description);
    EXPECT_EQ(d->tags, tags);
    std::vector<std::tuple<std::string, int32_t, std::string>> actual;
    for (const auto& [key, e] : d->enumerators) actual.emplace_back(e.name, e.value, e.description);
    EXPECT_EQ(actual, enumerators) << name;
}

}  // namespace

TEST(Builtins, ResetRegistersEveryTypeOnceWithItsFields) {
    TypeRegistry registry;
    EXPECT_FALSE(registry.BuiltinsRegistered());
    for (int round = 0; round < 2; ++round) {
        registry.Reset();
        EXPECT_TRUE(registry.BuiltinsRegistered());
        EXPECT_EQ(registry.Types().size(), 15u);
        ExpectEnum(registry, "BindingHelpFormat", "Help format for binding functions and types.", kHelp,
                   {{"Epytext", 2, "Python epytext format"}, {"Full", 1, "Native help format"}});
        ExpectEnum(registry, "BindingAsyncState", "Possible states of an asynchronous operation.", kAsync,
                   {{"Cancelled", 3, "The operation was cancelled"},
                    {"Cancelling", 2, "A request to cancel the operation has been made"},
                    {"Failed", 5, "The operation encountered an error"},
                    {"None", 0, "Invalid state"},
                    {"Running", 1, "The operation is in flight"},
                    {"Succeeded", 4, "The operation completed successfully"}});
        for (const TypeRow& row : kRecords) {
            const TypeDescriptor* d = registry.FindType(row.name);
            ASSERT_NE(d, nullptr) << row.name;
            EXPECT_FALSE(d->isEnum);
            EXPECT_EQ(d->description, row.description);
            EXPECT_EQ(d->tags, row.tags) << row.name;
            EXPECT_EQ(registry.FindTypeById(d->typeId), d);
            ASSERT_EQ(d->fields.size(), row.fields.size()) << row.name;
            for (size_t i = 0; i < row.fields.size(); ++i) {
                const FieldDescriptor& f = d->fields[i];
                const FieldRow& want = row.fields[i];
                EXPECT_EQ(f.name, want.name) << row.name;
                EXPECT_EQ(f.type.kind, want.kind) << row.name << "." << want.name;
                EXPECT_EQ(f.type.elementKind, want.element) << row.name << "." << want.name;
                EXPECT_EQ(f.type.descriptor != nullptr ? f.type.descriptor->name : "", want.typeName);
                EXPECT_EQ(f.description, want.description);
                EXPECT_EQ(f.flags, 0u);
                EXPECT_NE(f.converter, nullptr);
            }
        }
        const auto events = registry.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0]->name, "OnCallback");
        EXPECT_EQ(events[0]->payload, registry.FindType("BindingCallbackEvent"));
        EXPECT_EQ(events[0]->description, "Fired when a callback is invoked.");
        EXPECT_EQ(events[0]->tags, std::vector<std::string>{"$builtin"});
    }
}

TEST(Builtins, RegistrationKeepsWhatIsThere) {
    TypeRegistry registry;
    TypeBuilder own(registry, 1, "BindingAsyncCancelEvent", StaticType::Placeholder(), false);
    bool existed = false;
    EventRecord* event = registry.RegisterEvent("OnCallback", nullptr, &existed);
    event->description = "mine";
    RegisterAsyncBuiltins(registry);
    RegisterCallbackEvent(registry);
    EXPECT_EQ(registry.FindType("BindingAsyncCancelEvent")->nativeSize, 1u);
    EXPECT_TRUE(registry.FindType("BindingAsyncCancelEvent")->fields.empty());
    EXPECT_EQ(registry.FindEvent("OnCallback")->description, "mine");
    EXPECT_EQ(registry.Types().size(), 15u);
}

TEST(Builtins, CallbackPayloadConverts) {
    TypeRegistry registry;
    registry.Reset();
    BindingValue input;
    input.Member("id").SetUnsigned(9);
    input.Member("parameters").Element(1).Member("k").SetString("v");
    BindingCallbackEvent event;
    BindingResult result;
    ToNative(result, event, input, "payload", registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_EQ(event.id, 9u);
    ASSERT_EQ(event.parameters.size(), 2u);
    EXPECT_TRUE(event.parameters[0].IsEmpty());
    EXPECT_STREQ(event.parameters[1].GetMember("k").AsString(), "v");

    BindingFullApiHelp api;
    api.types.resize(1);
    api.types[0].values.push_back({"A", "", 1});
    ToValue(result, api, registry);
    ASSERT_TRUE(result.Ok()) << result.ErrorMessage();
    EXPECT_STREQ(result.value.GetMember("types").GetElement(0).GetMember("values").GetElement(0).GetMember("name").AsString(),
                 "A");
}
