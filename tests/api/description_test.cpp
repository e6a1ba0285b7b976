#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "api/api_context.h"
#include "api/dispatch.h"

using namespace Vemi;
using namespace Vemi::Api;

namespace {

enum class Phase : int32_t { None = 0, Lobby = 1, PreEndOfGame = 11 };
void Describe(Binding::Enumeration<Phase>& e) {
    e.Name("Phase").Value("None", Phase::None).Value("Lobby", Phase::Lobby).Value("PreEndOfGame", Phase::PreEndOfGame);
}

struct Session {
    Phase phase = Phase::None;
};
void Describe(Binding::Record<Session>& r) { r.Name("Session").Field("phase", &Session::phase); }

struct Event {
    std::string name;
    int32_t priority = -1;
};
void Describe(Binding::Record<Event>& r) { r.Name("SequenceEvent").Field("name", &Event::name).Field("priority", &Event::priority); }

struct Plugin {
    void Register(const std::string&, int32_t) {}
    void Deregister(const std::string&) {}
    void Complete(const std::string&) {}
    Event Current() { return {}; }
    void Names(const std::vector<std::string>&, const Event&) {}
};

template <class Entry>
std::vector<const Entry*> Walk(const Entry* first) {
    std::vector<const Entry*> entries;
    for (const Entry* e = first; e != nullptr; e = e->next) entries.push_back(e);
    return entries;
}

}  // namespace

class DescribedApi : public ::testing::Test {
protected:
    void SetUp() override {
        context_.SetApiNamePrefix("Kav");
        Binding::RegisterType<Session>(context_.Registry(), "Kav");  // no function uses it
        context_.BindEndpoint(HttpMethod::Post, "/kav/v1/registration/{sequenceEventName}/{priority}", plugin_,
                              &Plugin::Register, {"sequenceEventName", "priority"});
        context_.BindEndpoint(HttpMethod::Delete, "/kav/v1/registration/{sequenceEventName}", plugin_,
                              &Plugin::Deregister, {"sequenceEventName"});
        context_.BindEndpoint(HttpMethod::Post, "/kav/v1/complete/{sequenceEventName}/", plugin_, &Plugin::Complete,
                              {"sequenceEventName"});
        context_.BindEndpoint(HttpMethod::Get, "/kav/v1/currentSequenceEvent", plugin_, &Plugin::Current, {});
        context_.BindEndpoint(HttpMethod::Put, "/kav/v1/names", plugin_, &Plugin::Names, {"names", "event"});
        // A function without an endpoint is not described.
        Binding::FunctionBuilder(context_.Registry(), "Unbound", 0);
        description_ = context_.BuildApiDescription();
        for (const ApiFunctionEntry* f : Walk(description_->functions)) functions_[f->name] = f;
        for (const ApiTypeEntry* t : Walk(description_->types)) types_[t->name] = t;
    }

    ApiContext context_;
    Plugin plugin_;
    const ApiDescription* description_ = nullptr;
    std::map<std::string, const ApiFunctionEntry*> functions_;
    std::map<std::string, const ApiTypeEntry*> types_;
};

TEST_F(DescribedApi, EveryEndpointIsAFunctionEntry) {
    EXPECT_EQ(+description_->function_count, 5u);
    ASSERT_EQ(functions_.size(), 5u);
    const struct {
        const char* name;
        const char* path;
        uint32_t method;
        size_t nodes;
        uint32_t returnKind;
        const char* returnType;
    } table[] = {
        {"PostKavV1RegistrationBySequenceEventNameByPriority", "/kav/v1/registration/{sequenceEventName}/{priority}",
         6, 2, 0, ""},
        {"DeleteKavV1RegistrationBySequenceEventName", "/kav/v1/registration/{sequenceEventName}", 1, 1, 0, ""},
        {"PostKavV1CompleteBySequenceEventName", "/kav/v1/complete/{sequenceEventName}", 6, 1, 0, ""},
        {"GetKavV1CurrentSequenceEvent", "/kav/v1/currentSequenceEvent", 2, 0, 17, "KavSequenceEvent"},
    };
    for (const auto& row : table) {
        ASSERT_EQ(functions_.count(row.name), 1u) << row.name;
        const ApiFunctionEntry& f = *functions_[row.name];
        EXPECT_EQ(+f.reserved, 0u);
        EXPECT_STREQ(f.path, row.path);
        EXPECT_EQ(+f.method, row.method);
        EXPECT_EQ(+f.return_kind, row.returnKind);
        EXPECT_STREQ(f.return_type_name, row.returnType);
        EXPECT_STREQ(f.custom_method, "");
        EXPECT_STREQ(f.async_type_name, "");
        EXPECT_EQ(+f.endpoint_flag, 0);
        EXPECT_EQ(+f.string_groups, nullptr);
        EXPECT_EQ(+f.group_count, 0u);
        EXPECT_EQ(+f.handler, &HandleRequest);
        ASSERT_NE(+f.handler_context, nullptr);
        EXPECT_EQ(static_cast<HandlerContext*>(f.handler_context)->context, &context_);
        const auto nodes = Walk(f.locations);
        EXPECT_EQ(nodes.size(), row.nodes);
        for (const ApiLocationNode* node : nodes) EXPECT_EQ(+node->location, 2u);
        const auto parameters = Walk(f.parameters);
        EXPECT_EQ(parameters.size(), +f.parameter_count);
        EXPECT_EQ(parameters.size(), row.nodes);
    }
}

TEST_F(DescribedApi, ParametersCarryNameKindAndTypeName) {
    const ApiFunctionEntry& registration = *functions_["PostKavV1RegistrationBySequenceEventNameByPriority"];
    EXPECT_STREQ(registration.parameters[0].name, "sequenceEventName");
    EXPECT_EQ(+registration.parameters[0].kind, 12u);
    EXPECT_STREQ(registration.parameters[1].name, "priority");
    EXPECT_EQ(+registration.parameters[1].kind, 6u);
    EXPECT_EQ(+registration.parameters[1].optional, 0);

    // Vector of string: element kind 12, no type name; a struct parameter names its type.
    const ApiFunctionEntry& names = *functions_["PutKavV1Names"];
    ASSERT_EQ(+names.parameter_count, 2u);
    EXPECT_EQ(+names.parameters[0].kind, 15u);
    EXPECT_EQ(+names.parameters[0].element_kind, 12u);
    EXPECT_STREQ(names.parameters[0].type_name, "");
    EXPECT_EQ(+names.parameters[1].kind, 17u);
    EXPECT_STREQ(names.parameters[1].type_name, "KavSequenceEvent");
    EXPECT_EQ(Walk(names.locations).size(), 2u);
    EXPECT_EQ(+names.locations->location, 0u);
}

TEST_F(DescribedApi, TypesHaveFieldsOrEnumerators) {
    // The unused record and its enum are there too.
    EXPECT_EQ(types_.size(), +description_->type_count);
    ASSERT_EQ(types_.count("KavSession"), 1u);
    ASSERT_EQ(types_.count("KavPhase"), 1u);
    ASSERT_EQ(types_.count("KavSequenceEvent"), 1u);
    const ApiTypeEntry& session = *types_["KavSession"];
    EXPECT_EQ(+session.size, sizeof(Session));
    EXPECT_EQ(+session.enumerators, nullptr);
    ASSERT_EQ(+session.member_count, 1u);
    EXPECT_STREQ(session.fields->name, "phase");
    EXPECT_EQ(+session.fields->kind, 16u);
    EXPECT_STREQ(session.fields->type_name, "KavPhase");
    const ApiTypeEntry& phase = *types_["KavPhase"];
    EXPECT_EQ(+phase.fields, nullptr);
    EXPECT_EQ(+phase.member_count, 3u);
    const auto enumerators = Walk(phase.enumerators);
    ASSERT_EQ(enumerators.size(), 3u);
    EXPECT_STREQ(enumerators[0]->name, "Lobby");  // the descriptor's name order
    EXPECT_EQ(+enumerators[0]->value, 1);
    EXPECT_EQ(+enumerators[2]->value, 11);
    const auto eventFields = Walk(types_["KavSequenceEvent"]->fields);
    ASSERT_EQ(eventFields.size(), 2u);
    EXPECT_EQ(+eventFields[1]->offset, offsetof(Event, priority));
    EXPECT_EQ(+eventFields[1]->kind, 6u);
}

TEST(Description, EventsAndRebuilds) {
    ApiContext context;
    const Binding::TypeDescriptor* session = Binding::RegisterType<Session>(context.Registry(), "Kav");
    Binding::EventRecord* event = context.Registry().RegisterEvent("OnSession", session);
    event->tags = {"Plugins", "Plugin kav"};
    Plugin plugin;
    context.BindEndpoint(HttpMethod::Get, "/kav/v1/currentSequenceEvent", plugin, &Plugin::Current, {});

    const ApiDescription* first = context.BuildApiDescription();
    const void* handler = first->functions->handler_context;
    ASSERT_EQ(+first->event_count, 1u);
    const ApiEventEntry& entry = *first->events;
    EXPECT_STREQ(entry.name, "OnSession");
    EXPECT_STREQ(entry.payload_type_name, Binding::StaticType::Of<Session>().name);
    ASSERT_EQ(+entry.tag_count, 2u);
    EXPECT_STREQ(entry.tags[1], "Plugin kav");
    EXPECT_EQ(+entry.next, nullptr);

    // A rebuild sees later endpoints and keeps each function's handler context.
    context.BindEndpoint(HttpMethod::Delete, "/kav/v1/registration/{sequenceEventName}", plugin, &Plugin::Deregister,
                         {"sequenceEventName"});
    const ApiDescription* second = context.BuildApiDescription();
    EXPECT_EQ(+second->function_count, 2u);
    for (const ApiFunctionEntry* f : Walk(second->functions)) {
        if (std::string(f->name) == "GetKavV1CurrentSequenceEvent") {
            EXPECT_EQ(+f->handler_context, handler);
        }
    }
    EXPECT_EQ(context.EndpointsSnapshot().size(), 2u);
}

namespace {

class NoCall final : public Callable {
public:
    void* Prepare(ApiResponse&, std::span<Binding::BindingValue>, uint32_t, ArgumentStorage&) override { return nullptr; }
    void Call(ApiResponse&, const RequestInfo*, void*, uint32_t) override {}
    void Release(void*) noexcept override {}
    size_t ArgumentCount() const noexcept override { return 1; }
    const Binding::StaticType* RequestInfoType() const noexcept override { return nullptr; }
};

}  // namespace

TEST(Description, FieldsBeyondTheBasics) {
    using Binding::BindingTypeKind;
    ApiContext context;
    const Binding::TypeDescriptor* event = Binding::RegisterType<Event>(context.Registry(), "Kav");
    const Binding::TypeDescriptor* session = Binding::RegisterType<Session>(context.Registry(), "Kav");
    // The second type reference, where its kind is set, is the one described.
    Binding::FunctionBuilder watch(context.Registry(), "Watch", 2);
    watch.Argument("filter", "what to watch", true, {BindingTypeKind::Struct, BindingTypeKind::None, session},
                   {BindingTypeKind::Vector, BindingTypeKind::Struct, event})
        .Argument("limit", "", false, {BindingTypeKind::Int32}, {})
        .Returns({BindingTypeKind::Struct, BindingTypeKind::None, session},
                 {BindingTypeKind::Vector, BindingTypeKind::Struct, event})
        .Description("Follows events")
        .Help("Long help")
        .NameSpace("kav")
        .Tags({"Plugins", "Plugin kav"})
        .ThreadSafe(true)
        .Async(true);
    Endpoint* endpoint =
        context.DeclareEndpoint(*watch.Finish(), HttpMethod::Custom, "/kav/v1/watch", std::make_unique<NoCall>());
    ASSERT_NE(endpoint, nullptr);
    endpoint->SetMethod(HttpMethod::Custom, "WATCH");
    endpoint->DeclareLocation(1, ArgumentLocation::Header);
    // Synchronous, not thread-safe: no async type name.
    Binding::FunctionBuilder plain(context.Registry(), "Plain", 0);
    plain.Returns({BindingTypeKind::Struct, BindingTypeKind::None, event});
    context.DeclareEndpoint(*plain.Finish(), HttpMethod::Get, "/kav/v1/plain", std::make_unique<NoCall>());

    const ApiDescription* description = context.BuildApiDescription();
    std::map<std::string, const ApiFunctionEntry*> byName;
    for (const ApiFunctionEntry* f : Walk(description->functions)) byName[f->name] = f;
    ASSERT_EQ(byName.count("Watch"), 1u);
    const ApiFunctionEntry& f = *byName["Watch"];
    EXPECT_STREQ(f.name_space, "kav");
    EXPECT_STREQ(f.description, "Follows events");
    EXPECT_STREQ(f.help, "Long help");
    EXPECT_EQ(+f.thread_safe, 1);
    EXPECT_STREQ(f.async_type_name, "KavSequenceEvent");
    EXPECT_EQ(+f.return_kind, 15u);
    EXPECT_EQ(+f.return_element_kind, 17u);
    EXPECT_STREQ(f.return_type_name, "KavSequenceEvent");
    ASSERT_EQ(+f.tag_count, 2u);
    EXPECT_STREQ(f.tags[0], "Plugins");
    EXPECT_STREQ(f.tags[1], "Plugin kav");
    EXPECT_EQ(+f.method, 8u);
    EXPECT_STREQ(f.custom_method, "WATCH");
    ASSERT_EQ(+f.parameter_count, 2u);
    const ApiParameterEntry& filter = f.parameters[0];
    EXPECT_STREQ(filter.description, "what to watch");
    EXPECT_EQ(+filter.kind, 15u);
    EXPECT_EQ(+filter.element_kind, 17u);
    EXPECT_STREQ(filter.type_name, "KavSequenceEvent");
    EXPECT_EQ(+filter.optional, 1);
    EXPECT_EQ(+f.parameters[1].kind, 6u);  // no second reference: the first
    const auto nodes = Walk(f.locations);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(+nodes[0]->location, 0u);
    EXPECT_EQ(+nodes[1]->location, 4u);

    ASSERT_EQ(byName.count("Plain"), 1u);
    const ApiFunctionEntry& p = *byName["Plain"];
    EXPECT_EQ(+p.thread_safe, 0);
    EXPECT_STREQ(p.async_type_name, "");
    EXPECT_STREQ(p.return_type_name, "KavSequenceEvent");
    EXPECT_EQ(+p.tag_count, 0u);
    EXPECT_STREQ(p.custom_method, "");
}

TEST(Description, NumbersTheRecordDoesNotDefineAreWrittenAsZero) {
    using Binding::BindingTypeKind;
    ApiContext context;
    Binding::FunctionBuilder odd(context.Registry(), "Odd", 2);
    odd.Argument("past", "", false, {static_cast<BindingTypeKind>(20), static_cast<BindingTypeKind>(0xFFFFFFFF)})
        .Argument("last", "", false, {BindingTypeKind::Map, BindingTypeKind::Bool})
        .Returns({static_cast<BindingTypeKind>(20)});
    Endpoint* endpoint = context.DeclareEndpoint(*odd.Finish(), HttpMethod::Get, "/odd", std::make_unique<NoCall>());
    ASSERT_NE(endpoint, nullptr);
    endpoint->method = static_cast<HttpMethod>(9);
    endpoint->DeclareLocation(0, static_cast<ArgumentLocation>(6));
    endpoint->DeclareLocation(1, ArgumentLocation::Body);
    const ApiFunctionEntry& f = *context.BuildApiDescription()->functions;
    EXPECT_EQ(+f.method, 0u);
    EXPECT_EQ(+f.return_kind, 0u);
    EXPECT_EQ(+f.parameters[0].kind, 0u);
    EXPECT_EQ(+f.parameters[0].element_kind, 0u);
    EXPECT_EQ(+f.parameters[1].kind, 19u);  // the last numbers of the record stay
    EXPECT_EQ(+f.parameters[1].element_kind, 1u);
    const auto nodes = Walk(f.locations);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(+nodes[0]->location, 0u);
    EXPECT_EQ(+nodes[1]->location, 5u);
}
