#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <kav/api/api_context.h>
#include <kav/api/dispatch.h>

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

// A null text shows as "(null)", so an expected "" catches it.
std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }

std::string Tags(const char* const* tags, uint32_t count) {
    std::string text;
    for (uint32_t i = 0; i < count; ++i) text += (i > 0 ? "|" : "") + Text(tags[i]);
    return text;
}

// The parameters as "name kind/element type?'description'" and then the location nodes.
std::string Parameters(const ApiFunctionEntry& f) {
    std::string text;
    for (const ApiParameterEntry* p : Walk(f.parameters)) {
        text += Text(p->name) + " " + std::to_string(p->kind) + "/" + std::to_string(p->element_kind) + " " +
                Text(p->type_name) + (p->optional != 0 ? "?" : "") + "'" + Text(p->description) + "', ";
    }
    text += "at";
    for (const ApiLocationNode* node : Walk(f.locations)) text += " " + std::to_string(node->location);
    return text;
}

// Everything else of a function but its name and handler, as one line.
std::string Summary(const ApiFunctionEntry& f) {
    return std::to_string(f.method) + " " + Text(f.custom_method) + " " + Text(f.path) + " -> " +
           std::to_string(f.return_kind) + "/" + std::to_string(f.return_element_kind) + " " +
           Text(f.return_type_name) + " async " + Text(f.async_type_name) + " safe " + std::to_string(f.thread_safe) +
           " ns " + Text(f.name_space) + " '" + Text(f.description) + "' '" + Text(f.help) + "' [" +
           Tags(f.tags, f.tag_count) + "]";
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
    const struct { const char *name, *summary, *parameters; } table[] = {
        {"PostKavV1RegistrationBySequenceEventNameByPriority",
         "6  /kav/v1/registration/{sequenceEventName}/{priority} -> 0/0  async  safe 0 ns  '' '' []",
         "sequenceEventName 12/0 '', priority 6/0 '', at 2 2"},
        {"DeleteKavV1RegistrationBySequenceEventName",
         "1  /kav/v1/registration/{sequenceEventName} -> 0/0  async  safe 0 ns  '' '' []",
         "sequenceEventName 12/0 '', at 2"},
        {"PostKavV1CompleteBySequenceEventName",  // one trailing slash dropped
         "6  /kav/v1/complete/{sequenceEventName} -> 0/0  async  safe 0 ns  '' '' []",
         "sequenceEventName 12/0 '', at 2"},
        {"GetKavV1CurrentSequenceEvent",
         "2  /kav/v1/currentSequenceEvent -> 17/0 KavSequenceEvent async  safe 0 ns  '' '' []", "at"},
        // A vector of strings has no type name; a struct parameter names its type.
        {"PutKavV1Names", "7  /kav/v1/names -> 0/0  async  safe 0 ns  '' '' []",
         "names 15/12 '', event 17/0 KavSequenceEvent'', at 0 0"},
    };
    for (const auto& row : table) {
        ASSERT_EQ(functions_.count(row.name), 1u) << row.name;
        const ApiFunctionEntry& f = *functions_[row.name];
        EXPECT_EQ(Summary(f), row.summary);
        EXPECT_EQ(Parameters(f), row.parameters);
        EXPECT_EQ(Walk(f.parameters).size(), +f.parameter_count) << row.name;
        EXPECT_TRUE(f.reserved == 0 && f.endpoint_flag == 0 && f.string_groups == nullptr && f.group_count == 0)
            << row.name;
        EXPECT_EQ(+f.handler, &HandleRequest);
        ASSERT_NE(+f.handler_context, nullptr);
        EXPECT_EQ(static_cast<HandlerContext*>(f.handler_context)->context, &context_);
    }
}

TEST_F(DescribedApi, TypesHaveFieldsOrEnumerators) {
    // The unused record and its enum are there too.
    EXPECT_EQ(types_.size(), +description_->type_count);
    ASSERT_EQ(types_.count("KavSession") + types_.count("KavPhase") + types_.count("KavSequenceEvent"), 3u);
    const auto members = [](const ApiTypeEntry& t) {
        std::string text = std::to_string(t.member_count) + ":";
        for (const ApiFieldEntry* f : Walk(t.fields)) {
            text += " " + Text(f->name) + "@" + std::to_string(f->offset) + " " + std::to_string(f->kind) + " " +
                    Text(f->type_name);
        }
        for (const ApiEnumeratorEntry* e : Walk(t.enumerators)) {
            text += " " + Text(e->name) + "=" + std::to_string(e->value);
        }
        return text;
    };
    EXPECT_EQ(+types_["KavSession"]->size, sizeof(Session));
    EXPECT_EQ(members(*types_["KavSession"]), "1: phase@0 16 KavPhase");
    EXPECT_EQ(members(*types_["KavPhase"]), "3: Lobby=1 None=0 PreEndOfGame=11");  // the descriptor's name order
    EXPECT_EQ(members(*types_["KavSequenceEvent"]),
              "2: name@0 12  priority@" + std::to_string(offsetof(Event, priority)) + " 6 ");
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
    EXPECT_EQ(Tags(entry.tags, entry.tag_count), "Plugins|Plugin kav");
    EXPECT_EQ(+entry.next, nullptr);

    // A rebuild sees later endpoints and keeps each function's handler context.
    context.BindEndpoint(HttpMethod::Delete, "/kav/v1/registration/{sequenceEventName}", plugin, &Plugin::Deregister,
                         {"sequenceEventName"});
    const ApiDescription* second = context.BuildApiDescription();
    EXPECT_EQ(+second->function_count, 2u);
    for (const ApiFunctionEntry* f : Walk(second->functions)) {
        EXPECT_TRUE(std::string(f->name) != "GetKavV1CurrentSequenceEvent" || f->handler_context == handler);
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

TEST(Description, FieldsBeyondTheBasicsAndUndefinedNumbers) {
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

    // Numbers the record does not define are written as zero; the last numbers of the record stay.
    Binding::FunctionBuilder odd(context.Registry(), "Odd", 2);
    odd.Argument("past", "", false, {static_cast<BindingTypeKind>(20), static_cast<BindingTypeKind>(0xFFFFFFFF)})
        .Argument("last", "", false, {BindingTypeKind::Map, BindingTypeKind::Bool})
        .Returns({static_cast<BindingTypeKind>(20)});
    Endpoint* oddEndpoint = context.DeclareEndpoint(*odd.Finish(), HttpMethod::Get, "/odd", std::make_unique<NoCall>());
    ASSERT_NE(oddEndpoint, nullptr);
    oddEndpoint->method = static_cast<HttpMethod>(9);
    oddEndpoint->DeclareLocation(0, static_cast<ArgumentLocation>(6));
    oddEndpoint->DeclareLocation(1, ArgumentLocation::Body);

    std::map<std::string, const ApiFunctionEntry*> byName;
    for (const ApiFunctionEntry* f : Walk(context.BuildApiDescription()->functions)) byName[f->name] = f;
    ASSERT_EQ(byName.count("Watch") + byName.count("Plain") + byName.count("Odd"), 3u);
    EXPECT_EQ(Summary(*byName["Watch"]), "8 WATCH /kav/v1/watch -> 15/17 KavSequenceEvent async KavSequenceEvent "
                                         "safe 1 ns kav 'Follows events' 'Long help' [Plugins|Plugin kav]");
    // No second reference for "limit": the first is described.
    EXPECT_EQ(Parameters(*byName["Watch"]), "filter 15/17 KavSequenceEvent?'what to watch', limit 6/0 '', at 0 4");
    EXPECT_EQ(Summary(*byName["Plain"]), "2  /kav/v1/plain -> 17/0 KavSequenceEvent async  safe 0 ns  '' '' []");
    EXPECT_EQ(Summary(*byName["Odd"]), "0  /odd -> 0/0  async  safe 0 ns  '' '' []");
    EXPECT_EQ(Parameters(*byName["Odd"]), "past 0/0 '', last 19/1 '', at 0 5");
}
