// The runtime against the replacement host: subscriptions, events, outbound requests
// and service-proxy replies.
#include <kav/runtime/plugin_runtime.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <kav/host/host.h>
#include <kav/host/host_value.h>

using namespace Vemi;
using Vemi::Host::Entry;
using Vemi::Host::EntryKind;
using Vemi::Host::HostReply;
using Vemi::Host::OwnedValue;
using Vemi::Host::RequestData;
using Vemi::Host::StreamSpec;
using Vemi::Host::StringValue;
using Vemi::Host::StructureValue;
using Api::HttpMethod;

// Allocations above the limit fail, as the heap's would when it runs out.
std::atomic<size_t> gAllocationLimit{SIZE_MAX};

void* operator new(size_t size) {
    if (size > gAllocationLimit.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}
// Every form that a replaced delete may free: the sanitizers tell their own
// allocations from malloc's.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (size > gAllocationLimit.load(std::memory_order_relaxed)) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
// g++ takes the free inside a replaced operator delete for a mismatch with new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

struct AllocationLimit {
    explicit AllocationLimit(size_t limit) { gAllocationLimit = limit; }
    ~AllocationLimit() { gAllocationLimit = SIZE_MAX; }
};

struct Unregistered {
    int32_t x = 0;
};

class TestRuntime final : public PluginRuntime {
public:
    std::vector<std::string> seen;
    bool OnInitialized() override {
        EXPECT_TRUE(SubscribeToResource<Binding::BindingValue>("/kav-x/v1/items/*", [this](const auto& u) {
            seen.push_back("pattern " + u.uri);
        }).Ok());
        return true;
    }
};

TestRuntime* gRuntime = nullptr;

void TestEntry(PluginLoadRecord* record) {
    gRuntime = new TestRuntime();
    RunLoadSequence(gRuntime, record, "test-plugin");
}

struct Fixture {
    Vemi::Host::Host host;
    TestRuntime* runtime = nullptr;
    explicit Fixture(Vemi::Host::Version version = {}) {
        EXPECT_TRUE(host.LoadEntry(&TestEntry, version, "test-plugin"));
        runtime = gRuntime;
        EXPECT_TRUE(host.Initialize(9));
        host.GetTranscript().Clear();
    }
    std::vector<Entry> Sent(EntryKind kind) { return host.GetTranscript().OfKind(kind); }
    // The host answers `path` with `reply` every time.
    void Answer(const char* path, const HostReply& reply) {
        host.SetRequestHandler(path, [reply](const RequestData&) { return reply; });
    }
};

HostReply Streaming(StreamSpec spec) {
    HostReply r;
    r.stream = std::move(spec);
    return r;
}

// A structure of text members.
OwnedValue Texts(std::initializer_list<std::pair<const char*, const char*>> members) {
    std::vector<std::pair<std::string, OwnedValue>> values;
    for (const auto& [name, text] : members) values.emplace_back(name, StringValue(text));
    return StructureValue(std::move(values));
}

OwnedValue ResourceEvent(const char* uri, const char* type) {
    return Texts({{"uri", uri}, {"eventType", type}, {"data", "payload"}});
}

OwnedValue ProxyResponse(const char* uuid, const char* service, const char* method) {
    return Texts({{"uuid", uuid}, {"serviceName", service}, {"methodName", method}});
}

}  // namespace

TEST(Runtime, NamesVersionAndUserAgent) {
    Fixture f(Vemi::Host::Version{18, 2, 0});
    EXPECT_EQ(f.runtime->UserAgent(), "VemiClient/18.2.0 (test-plugin)");
    EXPECT_EQ(f.runtime->Names().fullName, "tnc-be-test-plugin");
    EXPECT_EQ(f.runtime->ApiNamePrefix(), "TestPlugin");
    EXPECT_EQ(f.runtime->ApiTags(), (std::vector<std::string>{"Plugins", "Plugin test-plugin"}));
    EXPECT_EQ(f.runtime->PluginId(), 9u);
    for (const char* type : {"PluginManagerState", "PluginManagerResource", "PluginResourceEventType",
                             "PluginResourceEvent", "PluginLcdsEvent", "PluginLcdsResponse",
                             "PluginServiceProxyResponse"}) {
        const Binding::TypeDescriptor* d = f.runtime->Registry().FindType(type);
        ASSERT_NE(d, nullptr) << type;
        EXPECT_EQ(d->tags, std::vector<std::string>{"qhost"});
    }
    EXPECT_EQ(f.runtime->Registry().FindType("PluginResourceEvent")->typeId, 0xA54F35FDu);
    EXPECT_NE(f.runtime->Registry().FindEvent("OnServiceProxyAsyncEvent"), nullptr);
}

TEST(Runtime, SubscriptionsAreCountedPerEventKey) {
    Fixture f;
    const std::string key = "OnJsonApiEvent_kav-gameflow_v1_session";
    f.runtime->Subscribe("/kav-gameflow/v1/session");
    f.runtime->Subscribe("/kav-gameflow/v1/session/x");
    EXPECT_EQ(f.runtime->SubscriptionCount(key), 2);
    EXPECT_EQ(f.Sent(EntryKind::Subscribe).size(), 1u);
    f.runtime->Unsubscribe("/kav-gameflow/v1/session");
    EXPECT_TRUE(f.host.FindSubscription(key).has_value());
    f.runtime->Unsubscribe("/kav-gameflow/v1/session/x");
    EXPECT_FALSE(f.host.FindSubscription(key).has_value());
    // Below zero: the next Subscribe only brings it back to 0 and asks the host nothing.
    f.runtime->Unsubscribe("/kav-other/v1/x");
    EXPECT_EQ(f.runtime->SubscriptionCount("OnJsonApiEvent_kav-other_v1_x"), -1);
    f.runtime->Subscribe("/kav-other/v1/x");
    EXPECT_EQ(f.runtime->SubscriptionCount("OnJsonApiEvent_kav-other_v1_x"), 0);
    EXPECT_FALSE(f.host.FindSubscription("OnJsonApiEvent_kav-other_v1_x").has_value());
}

TEST(Runtime, ResourceEventsReachExactAndPatternObservers) {
    Fixture f;
    std::vector<std::string> exact;
    EXPECT_TRUE(f.runtime->SubscribeToResource<Binding::BindingValue>("/kav-x/v1/items/7", [&](const auto& u) {
        exact.push_back(u.uri + " " + std::to_string(static_cast<int>(u.eventType)));
    }).Ok());
    const std::string key = "OnJsonApiEvent_kav-x_v1_items";
    f.host.PublishEvent(key, ResourceEvent("kav-x/v1/items/7", "Update"));      // no leading slash
    f.host.PublishEvent(key, ResourceEvent("/kav-x/v1/items/7/detail", "Update"));
    f.host.PublishEvent(key, ResourceEvent("/kav-x/v1/items/8", "Delete"));
    f.host.PublishEvent(key, ResourceEvent("/kav-x/v1/items/9", "Bogus"));       // not convertible: dropped
    EXPECT_EQ(exact, (std::vector<std::string>{"/kav-x/v1/items/7 1"}));
    EXPECT_EQ(f.runtime->seen, (std::vector<std::string>{"pattern /kav-x/v1/items/7", "pattern /kav-x/v1/items/8"}));
    // The exact uri was fetched once at subscription (the host answered 404: nothing delivered).
    ASSERT_EQ(f.Sent(EntryKind::SendRequest).size(), 1u);
    EXPECT_EQ(f.Sent(EntryKind::SendRequest)[0].request.path, "/kav-x/v1/items/7");
}

TEST(Runtime, RequestErrorsUseTheTemplates) {
    Fixture f;
    HostReply unavailable, noStatus, abc;
    unavailable.status = 503, unavailable.error = "unavailable";
    noStatus.status = 0, noStatus.error = "no status";
    abc.body = StringValue("abc");
    f.Answer("/down", unavailable);
    f.Answer("/quiet", noStatus);
    f.Answer("/text", abc);
    f.Answer("/stream", Streaming({16, {"{\"a\":", "", "[1,2]}"}, std::nullopt}));

    Outcome<void> down = f.runtime->Request<void>(HttpMethod::Post, "/down", "body");
    ASSERT_FALSE(down.Ok());
    EXPECT_EQ(down.Error().code, 503u);
    EXPECT_EQ(down.Error().message, "Error response for POST /down: unavailable");
    const auto& fields = down.Error().fields;
    EXPECT_EQ(fields.at("method").text + " " + fields.at("url").text + " " + fields.at("error").text,
              "POST /down unavailable");
    EXPECT_EQ(fields.at("errorCode_int").unsignedValue, 503u);

    Outcome<void> quiet = f.runtime->Request<void>(HttpMethod::Get, "/quiet");
    EXPECT_EQ(quiet.Error().fields.count("errorCode_int"), 0u);

    Outcome<int32_t> text = f.runtime->Request<int32_t>(HttpMethod::Get, "/text");
    EXPECT_EQ(text.Error().message,
              "Error converting response for GET /text: Value abc for '<result>' of type int32 is in an incorrect format");

    Outcome<Binding::BindingValue> streamed = f.runtime->Request<Binding::BindingValue>(HttpMethod::Get, "/stream");
    ASSERT_TRUE(streamed.Ok()) << streamed.Error().message;
    EXPECT_EQ(streamed.Value().GetMember("a").Size(), 2u);
    // Each short read that announced more asked the host to run its pending work.
    std::vector<EntryKind> waits;
    for (const Entry& e : f.host.GetTranscript().Entries())
        if (e.kind == EntryKind::WaitEnter || e.kind == EntryKind::WaitYield || e.kind == EntryKind::WaitLeave)
            waits.push_back(e.kind);
    EXPECT_EQ(waits, (std::vector<EntryKind>{EntryKind::WaitEnter, EntryKind::WaitYield, EntryKind::WaitLeave,
                                             EntryKind::WaitEnter, EntryKind::WaitYield, EntryKind::WaitLeave}));

    const size_t sent = f.Sent(EntryKind::SendRequest).size();
    Outcome<void> unconvertible = f.runtime->Request<void>(HttpMethod::Post, "/x", Unregistered{});
    EXPECT_EQ(unconvertible.Error().code, 400u);
    EXPECT_EQ(unconvertible.Error().message,
              "Request not sent: Error converting parameters for POST /x: Couldn't convert native value because it's "
              "an unregistered structure.");
    EXPECT_EQ(f.Sent(EntryKind::SendRequest).size(), sent);  // nothing sent
    EXPECT_EQ(f.host.OutstandingHostReplies(), 0);           // every reply released
    EXPECT_EQ(f.host.HostStreamStats().opened, f.host.HostStreamStats().closed);
}

TEST(Runtime, EmitEventSendsUnderTheDerivedKeyFirst) {
    Fixture f;
    PluginResourceEvent event;
    event.uri = "/kav-pre-end-of-game/v1/currentSequenceEvent";
    event.eventType = PluginResourceEventType::Update;
    ASSERT_TRUE(f.runtime->EmitEvent("OnJsonApiEvent", event, 5).Ok());
    ASSERT_TRUE(f.runtime->EmitEvent("OnJsonApiEvent_kav-a_v1_b", PluginResourceEvent{"/kav-a/v1/b", {}, {}}, 0).Ok());
    std::vector<std::string> names;
    for (const Entry& e : f.Sent(EntryKind::SendEvent)) names.push_back(e.text);
    EXPECT_EQ(names, (std::vector<std::string>{"OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent",
                                               "OnJsonApiEvent", "OnJsonApiEvent_kav-a_v1_b"}));
    EXPECT_EQ(f.Sent(EntryKind::SendEvent)[0].number, 5);
}

TEST(Runtime, ServiceProxyRepliesAndAsyncMessages) {
    Fixture f;
    f.host.PublishEvent("OnServiceProxyMethodEvent", ProxyResponse("", "svc", "m"));
    f.host.PublishEvent("OnServiceProxyUuidEvent", ProxyResponse("u1", "", ""));
    f.host.PublishEvent("OnServiceProxyUuidEvent", ProxyResponse("u1", "", ""));
    EXPECT_EQ(f.runtime->ReceivedServiceProxyResponses(), 2u);  // svc.m and u1

    std::vector<std::string> fulfilled;
    f.runtime->AddPendingServiceProxyRequest("svc.m", [&](const auto& r) { fulfilled.push_back(r.serviceName); });
    f.runtime->AddPendingServiceProxyRequest("u1", [&](const auto& r) { fulfilled.push_back(r.uuid); });
    f.host.PublishEvent("OnServiceProxyMethodEvent", ProxyResponse("", "other", "x"));
    EXPECT_EQ(fulfilled.size(), 1u);  // one per event
    f.host.PublishEvent("OnServiceProxyMethodEvent", ProxyResponse("", "other", "y"));
    EXPECT_EQ(fulfilled.size(), 2u);

    f.host.PublishEvent("OnServiceProxyAsyncEvent", ProxyResponse("", "svc", "m"));
    std::vector<std::pair<int64_t, std::string>> logs;
    for (const Entry& e : f.Sent(EntryKind::Log)) logs.emplace_back(e.number, e.text);
    EXPECT_NE(std::find(logs.begin(), logs.end(),
                        std::pair<int64_t, std::string>{
                            2, "test-plugin: Could not find registered handler for async service proxy event svc.m"}),
              logs.end());
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const auto& l) { return l.first == 3 && l.second.find("Fulfilled service proxy request") != std::string::npos; }),
              2);
}

TEST(Runtime, LogTargetSwitchesOnInitialize) {
    Fixture f;
    Log(kLogOkay, kCategoryGEN, "okay line %d", 1);
    Log(kLogAlways, kCategoryXTR, "dropped");
    std::vector<std::string> lines;
    for (const Entry& e : f.Sent(EntryKind::Log)) lines.push_back(e.text);
    EXPECT_EQ(lines, std::vector<std::string>{"okay line 1"});
    LoggingInterface* logging = GetLoggingInterface();
    EXPECT_FALSE(logging->StdErrTarget(logging)->IsRegistered(logging->StdErrTarget(logging)));
    // A second Initialize leaves the targets alone.
    ASSERT_NE(f.runtime->Initialize(f.runtime->GetHostInit()), false);
    EXPECT_EQ(logging->GetMinimumLevel(logging), kLogOkay);
}

TEST(Runtime, ShutdownEmptiesTheValueStoreReserve) {
    Fixture f;
    {
        Binding::BindingValue dropped;
        for (size_t i = 0; i < 20000; ++i) dropped.Element(i).Member("n").SetUnsigned(i);
    }
    ASSERT_GT(Binding::PageSupply::RegionsReserved(), 0u);
    f.host.Shutdown();
    EXPECT_EQ(Binding::PageSupply::RegionsReserved(), 0u);
}

TEST(Runtime, StreamedRepliesAreClosedAndReleasedOnceWhateverHappens) {
    Fixture f;
    const std::string big(40000, 'x');
    // A success answered with a nonzero word whose low byte is 0.
    f.Answer("/wide", Streaming({0, {"[1,", "2]"}, std::nullopt, 0x100}));
    // A hint far beyond the body: 18 bytes.
    f.Answer("/hint", Streaming({0xFFFFFFFFu, {R"({"name":"abcdefg"})"}, std::nullopt}));
    // A reader that fails midway.
    f.Answer("/midway", Streaming({64, {"[1,", "2,", "3]"}, 2u}));
    // A body that outgrows the memory at hand once the first piece is in.
    f.Answer("/big", Streaming({16, {"[\"", "", big, big, "\"]"}, std::nullopt}));

    struct Row { const char* path; const char* error; /* "" for a success */ };
    const Row rows[] = {
        {"/wide", ""}, {"/hint", ""}, {"/midway", "Error reading streamed response for GET /midway: Stream read error"},
        {"/big", "Error reading streamed response for GET /big: Out of memory while reading the stream"},
    };
    for (const Row& row : rows) {
        const uint32_t closedBefore = f.host.HostStreamStats().closed;
        bool limited = false;
        // No 4 GiB reservation for the hint; for /big, no room for more than the first piece.
        f.host.SetYieldHook([&] {
            if (std::string_view(row.path) == "/big") {
                gAllocationLimit = 16 * 1024;
                limited = true;
            }
        });
        AllocationLimit limit(1 << 20);
        Outcome<Binding::BindingValue> got = f.runtime->Request<Binding::BindingValue>(HttpMethod::Get, row.path);
        gAllocationLimit = SIZE_MAX;
        EXPECT_EQ(got.Ok() ? "" : got.Error().message, row.error) << row.path;
        EXPECT_EQ(f.host.HostStreamStats().closed, closedBefore + 1) << row.path;
        EXPECT_EQ(f.host.HostStreamStats().extraCloses, 0u) << row.path;
        EXPECT_EQ(f.host.OutstandingHostReplies(), 0) << row.path;
        EXPECT_TRUE(limited || std::string_view(row.path) != "/big");
    }
    f.host.SetYieldHook({});
}

TEST(Runtime, NothingReachesTheHostBeforeInitialize) {
    Vemi::Host::Host host;
    ASSERT_TRUE(host.LoadEntry(&TestEntry, {}, "test-plugin"));
    TestRuntime& runtime = *gRuntime;
    std::vector<std::string> failures;
    auto note = [&](const auto& outcome) { failures.push_back(outcome.Ok() ? "ok" : outcome.Error().message); };
    note(runtime.Request<void>(HttpMethod::Post, "/x", "body"));
    note(runtime.Request<Binding::BindingValue>(HttpMethod::Get, "/x"));
    note(runtime.EmitEvent("OnJsonApiEvent", PluginResourceEvent{"/kav-a/v1/b", {}, {}}, 0));
    note(runtime.SubscribeToEvent<PluginResourceEvent>("OnJsonApiEvent_kav-a_v1_b", [](const auto&) {}, 0));
    note(runtime.SubscribeToResource<Binding::BindingValue>("/kav-a/v1/b", [](const auto&) {}));
    EXPECT_EQ(failures, std::vector<std::string>(5, kNotInitialized));
    EXPECT_EQ(runtime.SubscriptionCount("OnJsonApiEvent_kav-a_v1_b"), 0);
    for (EntryKind kind : {EntryKind::SendRequest, EntryKind::SendEvent, EntryKind::Subscribe})
        EXPECT_TRUE(host.GetTranscript().OfKind(kind).empty());

    // Once initialised, the same subscription reaches the host and counts.
    ASSERT_TRUE(host.Initialize(4));
    Outcome<void> subscribed = runtime.SubscribeToResource<Binding::BindingValue>("/kav-a/v1/b", [](const auto&) {});
    EXPECT_TRUE(subscribed.Ok());
    EXPECT_EQ(runtime.SubscriptionCount("OnJsonApiEvent_kav-a_v1_b"), 1);
    EXPECT_TRUE(host.FindSubscription("OnJsonApiEvent_kav-a_v1_b").has_value());
}
