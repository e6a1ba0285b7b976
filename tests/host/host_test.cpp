#include <kav/host/host.h>

#include "fake_plugin.h"

#include <kav/platform/platform.h>

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <sstream>
#include <thread>

namespace Vemi::Host {
namespace {

HostValue Borrowed(const char* data, uint32_t length) {
    HostValue v{HOST_VALUE_STRING, {}};
    v.u.string = {data, length};
    return v;
}

HostValue Scalar(uint32_t kind, uint64_t bits) { return HostValue{kind, {.u64 = bits}}; }

TEST(HostValueTest, CanonicalTextOfEveryKind) {
    static const char kEscapes[] = "q\"b\\ n\n r\r t\t b\b f\f \x01\x1f\x7f \xc3\xa9";
    static const char kNul[] = {'a', '\0', 'b'};
    static const uint8_t kBytes[] = {0x00, 0xab, 0xff};
    HostValue blob{HOST_VALUE_BLOB, {}}, nullBlob = blob;
    blob.u.blob = {kBytes, 3};
    nullBlob.u.blob = {nullptr, 3};
    const uint64_t bits[] = {std::bit_cast<uint64_t>(-0.0), std::bit_cast<uint64_t>(0.1), std::bit_cast<uint64_t>(1e300)};

    const struct {
        HostValue value;
        std::string expected;
    } cases[] = {
        {HostValue{}, "empty"},
        {Scalar(HOST_VALUE_BOOL, 1), "bool:true"}, {Scalar(HOST_VALUE_BOOL, 0), "bool:false"},
        {Scalar(HOST_VALUE_BOOL, 2), "bool:true"},
        {Scalar(HOST_VALUE_SIGNED, static_cast<uint64_t>(-5)), "signed:-5"},
        {Scalar(HOST_VALUE_SIGNED, uint64_t{1} << 63), "signed:-9223372036854775808"},
        {Scalar(HOST_VALUE_UNSIGNED, ~uint64_t{0}), "unsigned:18446744073709551615"},
        {Scalar(HOST_VALUE_FLOAT, bits[0]), "float:-0"},
        {Scalar(HOST_VALUE_FLOAT, bits[1]), "float:0.10000000000000001"},
        {Scalar(HOST_VALUE_FLOAT, bits[2]), "float:1.0000000000000001e+300"},
        {Borrowed("abXYZ", 2), "string:\"ab\""},  // not NUL-terminated at its length
        {Borrowed(nullptr, 5), "string:\"\""},
        {Borrowed(kNul, 3), "string:\"a\\u0000b\""},
        {Borrowed(kEscapes, sizeof kEscapes - 1),
         "string:\"q\\\"b\\\\ n\\n r\\r t\\t b\\b f\\f \\u0001\\u001f\x7f \xc3\xa9\""},
        {blob, "blob:00abff"}, {nullBlob, "blob:"}, {Scalar(42, 0), "unknown:42"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CanonicalText(c.value), c.expected);
        // A copy owns its contents and reads the same.
        OwnedValue copy = OwnedValue::Copy(c.value);
        EXPECT_EQ(copy.Canonical(), c.expected);
    }
}

TEST(HostValueTest, CollectionsAndStructures) {
    // A null key reads as "".
    HostStructEntry entries[3] = {
        {"a", Borrowed("xyz", 1), 0}, {nullptr, Scalar(HOST_VALUE_UNSIGNED, 3), 0}, {"q\"", {}, 0}};
    HostValue items[2] = {Scalar(HOST_VALUE_BOOL, 0), HostValue{HOST_VALUE_STRUCTURE, {}}};
    items[1].u.structure = {entries, 3};
    HostValue list{HOST_VALUE_COLLECTION, {}};
    list.u.collection = {items, 2};
    const std::string expected = R"([bool:false, {"a": string:"x", "": unsigned:3, "q\"": empty}])";
    EXPECT_EQ(CanonicalText(list), expected);

    HostValue broken = list;  // a null array counts as empty
    broken.u.collection.items = nullptr;
    EXPECT_EQ(CanonicalText(broken), "[]");

    OwnedValue copy = OwnedValue::Copy(list);
    entries[0].key = "changed";
    EXPECT_EQ(copy.Canonical(), expected);
    const HostValue& member = copy.get().u.collection.items[1];
    const HostStructEntry& first = member.u.structure.entries[0];
    EXPECT_EQ(first.key_owned, 1);
    EXPECT_EQ(uint32_t{first.value.kind}, uint32_t{HOST_VALUE_STRING_OWNED});
    ASSERT_NE(FindMember(member, ""), nullptr);
    EXPECT_EQ(uint64_t{FindMember(member, "")->u.u64}, 3u);
    EXPECT_EQ(FindMember(member, "b"), nullptr);

    std::vector<std::pair<std::string, OwnedValue>> members;
    members.emplace_back("n", SignedValue(-1));
    members.emplace_back("l", CollectionValue({}));
    members.emplace_back("f", FloatValue(1.5));
    members.emplace_back("s", StringValue("t"));
    OwnedValue built = StructureValue(std::move(members));
    EXPECT_EQ(built.Canonical(), R"({"n": signed:-1, "l": [], "f": float:1.5, "s": string:"t"})");
    HostValue raw = built.Release();
    EXPECT_EQ(built.kind(), uint32_t{HOST_VALUE_NONE});
    ReleaseHostValue(raw);
    EXPECT_EQ(CanonicalText(raw), "empty");
}

TEST(HostRoutingTest, MatchPathTemplate) {
    const struct {
        const char *pattern, *path;
        bool matches;
    } cases[] = {
        {"/a/{id}", "/a/12", true},       {"/a/{id}", "/a/", true},           {"/a/{id}", "/a/12/", false},
        {"/a/{id}", "/A/12", false},      {"/a/{id}", "/a/12?x=/y", true},    {"/a/b", "/a/b?q", true},
        {"/a/b", "/a/bc", false},         {"/r/{n}/{p}", "/r/x/1", true},     {"/r/{n}/{p}", "/r/x", false},
        {"/f/{+rest}", "/f/x/y", true},   {"/f/{id}.json", "/f/7.json", true}, {"/f/{id}.json", "/f/7.xml", false},
        {"/h{#frag}", "/h#a/b", true},    {"/h{#frag}", "/h", false},          {"/open{", "/open{", true},
    };
    for (const auto& c : cases) EXPECT_EQ(MatchPathTemplate(c.pattern, c.path), c.matches) << c.pattern << ' ' << c.path;
}

void KAV_ABI NoHandler(ApiReply*, const ApiRequest*) {}

TEST(HostRoutingTest, FindFunctionPrefersTheRequestMethod) {
    auto entry = [](const char* path, uint32_t method, const char* custom = nullptr) {
        ApiFunctionEntry e{};
        e.handler = &NoHandler;
        e.path = path;
        e.method = method;
        e.custom_method = custom;
        return e;
    };
    ApiFunctionEntry entries[5] = {entry("/x/{id}", API_METHOD_GET), entry("/x/{id}", API_METHOD_POST),
                                   entry("/x/{id}", API_METHOD_ANY), entry("/x/{id}", API_METHOD_CUSTOM, "PURGE"),
                                   entry("/y", API_METHOD_PUT)};
    ApiDescription description{entries, 5, nullptr, 0, nullptr, 0};
    const struct {
        uint32_t method;
        const char *custom, *path;
        int expected;  // index, -1 for none
    } cases[] = {
        {API_METHOD_GET, "", "/x/1", 0},       {API_METHOD_POST, "", "/x/1", 1},
        {API_METHOD_DELETE, "", "/x/1", 2},    {API_METHOD_CUSTOM, "PURGE", "/x/1", 3},
        {API_METHOD_CUSTOM, "OTHER", "/x/1", 2}, {API_METHOD_GET, "", "/y", 4},
        {API_METHOD_GET, "", "/z", -1},
    };
    for (const auto& c : cases) {
        const ApiFunctionEntry* found = FindFunction(&description, c.method, c.custom, c.path);
        EXPECT_EQ(found == nullptr ? -1 : found - entries, c.expected) << c.method << " " << c.path;
    }
    entries[4].handler = nullptr;  // an entry without a handler takes nothing
    EXPECT_EQ(FindFunction(&description, API_METHOD_PUT, "", "/y"), nullptr);
    EXPECT_EQ(FindFunction(nullptr, API_METHOD_GET, "", "/x/1"), nullptr);
}

void KAV_ABI LeavesRecordEmpty(PluginLoadRecord*) {}

// A library every machine has, without the plugin's entry.
#ifdef _WIN32
constexpr const char* kSystemLibrary = "msvcrt.dll";
constexpr const char* kSystemLibraryTried = "load_msvcrt, load_kav_pre_end_of_game";
#else
constexpr const char* kSystemLibrary = "libm.so.6";
constexpr const char* kSystemLibraryTried = "load_m, load_libm, load_kav_pre_end_of_game";
#endif

TEST(HostLoadTest, EntryNamesComeFromTheOptionOrTheFileName) {
    const struct {
        const char* path;
        const char* entry;
        std::vector<std::string> names;
    } cases[] = {
        {"build/libkav_hello.so", "", {"load_kav_hello", "load_libkav_hello", "load_kav_pre_end_of_game"}},
        {"C:\\plugins\\kav-hello.dll", "", {"load_kav_hello", "load_kav_pre_end_of_game"}},
        {"./libkav_pre_end_of_game.so", "", {"load_kav_pre_end_of_game", "load_libkav_pre_end_of_game"}},
        {"lib.so", "", {"load_lib", "load_kav_pre_end_of_game"}},
        {"dir.d/", "", {"load_kav_pre_end_of_game"}},
        {"libkav_hello.so", "load_other", {"load_other"}},
    };
    for (const auto& c : cases) EXPECT_EQ(EntryNames(c.path, c.entry), c.names) << c.path;
}

TEST(HostLoadTest, RefusesWhatCannotBeLoaded) {
    Host host;
    EXPECT_FALSE(host.Initialize());
    EXPECT_EQ(host.LastError(), "The plugin is not loaded");
    EXPECT_FALSE(host.Load("/nonexistent/libnothing.so"));
    // The loader's own reason follows; its wording is the system's.
    const std::string_view prefix = "Cannot load the plugin library '/nonexistent/libnothing.so': ";
    EXPECT_TRUE(host.LastError().starts_with(prefix) && host.LastError().size() > prefix.size()) << host.LastError();
    EXPECT_FALSE(host.Load(kSystemLibrary));
    EXPECT_EQ(host.LastError(), std::string("The library '") + kSystemLibrary + "' has no plugin entry (tried " + kSystemLibraryTried + ")");
    EXPECT_FALSE(host.LoadEntry(&LeavesRecordEmpty));
    EXPECT_EQ(host.LastError(), "The plugin left the load record without callbacks");
    EXPECT_FALSE(host.Loaded());
    EXPECT_EQ(host.Request(API_METHOD_GET, "/fake/v1/stream").status, 503u);
    for (const Entry& entry : host.GetTranscript().OfKind(EntryKind::Load)) EXPECT_FALSE(entry.ok);
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.Load(FAKE_PLUGIN_PATH, {18, 3, 1})) << host.LastError();
        library = Platform::LoadLibrary(FAKE_PLUGIN_PATH);
        auto stateOf = reinterpret_cast<FakePluginState* (*)()>(Platform::FindSymbol(library, "fake_plugin_state"));
        ASSERT_NE(stateOf, nullptr);
        state = stateOf();
        ASSERT_TRUE(host.Initialize(7)) << host.LastError();
    }
    void TearDown() override {
        host.Unload();
        Platform::FreeLibrary(library);
    }

    // Every reply the plugin made was released once, and the host's replies too.
    void ExpectAllReleased() {
        EXPECT_EQ(state->repliesMade, state->repliesReleased);
        EXPECT_EQ(state->streamsMade, state->streamsDestroyed);
        EXPECT_EQ(host.OutstandingHostReplies(), 0);
    }

    std::string LastPhase() {
        std::lock_guard lock(state->mutex);
        return state->lastEventType + ":" + state->lastPhase;
    }

    Host host;
    Platform::LibraryHandle library = nullptr;
    FakePluginState* state = nullptr;
};

TEST_F(HostTest, LoadRecordAndInitialize) {
    EXPECT_EQ((std::array{state->hostMajor, state->hostMinor, state->hostPatch}), (std::array{18u, 3u, 1u}));
    EXPECT_EQ(static_cast<void*>(host.Record().context), state);
    EXPECT_EQ(host.PluginName(), "fake-plugin");
    ASSERT_EQ(host.Functions().size(), 4u);
    EXPECT_STREQ(static_cast<const char*>(host.Functions()[3]->name), "Call");

    EXPECT_EQ(state->pluginId, 7u);
    EXPECT_EQ(state->initialSession, "None");
    auto subscription = host.FindSubscription(kSessionEventKey);
    ASSERT_TRUE(subscription);
    EXPECT_EQ(subscription->pluginId, 7u);
    EXPECT_EQ(subscription->flag, uint32_t{HOST_SUBSCRIBE_RESOURCE});
    EXPECT_EQ(subscription->context, state);
    EXPECT_FALSE(host.Initialize(7));
    EXPECT_EQ(host.LastError(), "The plugin is already initialized");
    ExpectAllReleased();
}

TEST_F(HostTest, RoutesRequestsAndReleasesEveryReply) {
    const struct {
        uint32_t method;
        const char* path;
        bool delivered;
        const char* function;
        uint32_t status;
        const char* error;
    } cases[] = {
        {API_METHOD_GET, "/fake/v1/items/3", true, "GetItem", 200, ""},
        {API_METHOD_POST, "/fake/v1/items/3", true, "PostItem", 200, ""},
        {API_METHOD_GET, "/fake/v1/items/3?x=1", true, "GetItem", 200, ""},
        {API_METHOD_DELETE, "/fake/v1/items/3", true, "GetItem", 404, "Invalid function"},
        {API_METHOD_GET, "/fake/v1/items/3/4", false, "", 404, "No resource at /fake/v1/items/3/4"},
        {API_METHOD_PUT, "/nothing", false, "", 404, "No resource at /nothing"},
    };
    for (const auto& c : cases) {
        ReplyData reply = host.Request(c.method, c.path);
        EXPECT_EQ(reply.delivered, c.delivered) << c.path;
        EXPECT_EQ(reply.function, c.function) << c.path;
        EXPECT_EQ(reply.status, c.status) << c.path;
        EXPECT_EQ(reply.error, c.error) << c.path;
        EXPECT_EQ(reply.hasError, *c.error != '\0') << c.path;
        EXPECT_EQ(reply.released, c.delivered) << c.path;
        EXPECT_EQ(reply.releaseZeroed, c.delivered) << c.path;
    }
    EXPECT_EQ(state->repliesMade, 4u);
    ExpectAllReleased();
}

TEST_F(HostTest, PassesArgumentsHeadersAndBody) {
    RequestData request;
    request.method = API_METHOD_POST;
    request.path = "/fake/v1/items/9";
    request.arguments.push_back({"a", SignedValue(-1)});
    request.arguments.push_back({std::nullopt, StringValue("x")});
    request.headers.push_back({"H", "v"});
    request.contentType = "text/plain";
    request.body = "hi";
    request.requestContext = 5;
    ReplyData reply = host.Request(request);
    EXPECT_EQ(reply.body.Canonical(),
              R"({"function": string:"PostItem", "method": unsigned:6, "path": string:"/fake/v1/items/9", )"
              R"("contentType": string:"text/plain", "body": string:"hi", "context": unsigned:5, )"
              R"("names": string:"a;-;", "headers": string:"H=v;", "arguments": [signed:-1, string:"x"]})");
    EXPECT_EQ(reply.contentType, "application/x-fake");
    EXPECT_EQ(reply.headers, (std::vector<Header>{{"X-Fake", "PostItem"}}));
    ExpectAllReleased();
}

TEST_F(HostTest, DrainsStreamedReplies) {
    ReplyData reply = host.Request(API_METHOD_GET, "/fake/v1/stream");
    EXPECT_TRUE(reply.streamed);
    EXPECT_FALSE(reply.streamFailed);
    EXPECT_EQ(reply.streamBody, "alphabeta");
    EXPECT_EQ(reply.streamReads, 3u);
    reply = host.Request(API_METHOD_GET, "/fake/v1/stream?fail");
    EXPECT_TRUE(reply.streamFailed);
    EXPECT_EQ(reply.streamBody, "alpha");
    EXPECT_TRUE(reply.releaseZeroed);
    EXPECT_EQ(state->streamsDestroyed, 2u);
    ExpectAllReleased();
}

TEST_F(HostTest, CompletionMovesTheSessionAfterThePluginCallReturns) {
    host.SetSessionPhase("PreEndOfGame");
    EXPECT_EQ(LastPhase(), "Update:PreEndOfGame");
    host.GetTranscript().Clear();

    ReplyData reply = host.Request(API_METHOD_POST, "/fake/v1/call/complete");
    EXPECT_EQ(reply.status, kCompletionStatus);
    EXPECT_FALSE(reply.hasError);
    EXPECT_EQ(host.SessionPhase(), "EndOfGame");
    EXPECT_EQ(LastPhase(), "Update:EndOfGame");
    EXPECT_EQ(state->reentered, 0u);

    std::vector<Entry> entries = host.GetTranscript().Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].kind, EntryKind::Request);
    EXPECT_EQ(entries[0].request.path, "/fake/v1/call/complete");
    EXPECT_EQ(entries[0].reply.status, kCompletionStatus);
    EXPECT_EQ(entries[0].reply.function, "Call");
    EXPECT_EQ(entries[1].kind, EntryKind::SendRequest);
    EXPECT_EQ(entries[1].request.arguments[0].value.Canonical(), "string:\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"");
    EXPECT_EQ(entries[1].reply.status, kCompletionStatus);
    EXPECT_EQ(entries[2].kind, EntryKind::Event);
    EXPECT_EQ(entries[2].payload.Canonical(), R"({"uri": string:"/kav-gameflow/v1/session", )"
                                              R"("eventType": string:"Update", "data": {"phase": string:"EndOfGame"}})");
    ExpectAllReleased();
}

// A reader may take the record in turns and drop the kinds it never shows; the numbers
// run on across takes, and what a call causes still follows it.
TEST_F(HostTest, TranscriptTakenInTurnsAndKindsIgnored) {
    Transcript& transcript = host.GetTranscript();
    transcript.Clear();
    std::vector<Entry> taken{Entry{}};  // emptied by the take
    const struct {
        bool ignoreRequests;
        std::vector<EntryKind> kinds;
    } cases[] = {
        {false, {EntryKind::Event, EntryKind::Request}},
        {true, {EntryKind::Event}},
        {false, {EntryKind::Event, EntryKind::Request}},
    };
    uint64_t next = 0;
    for (const auto& c : cases) {
        transcript.Ignore(EntryKind::Request, c.ignoreRequests);
        EXPECT_EQ(transcript.Records(EntryKind::Request), !c.ignoreRequests);
        host.PublishEvent("OnPing", StringValue("ping"));
        ReplyData reply = host.Request(API_METHOD_GET, "/fake/v1/items/3");
        EXPECT_EQ(reply.function, "GetItem");  // the caller's reply is whole either way
        transcript.TakeInto(taken);
        std::vector<EntryKind> kinds;
        for (const Entry& entry : taken) {
            kinds.push_back(entry.kind);
            if (next != 0) {
                EXPECT_EQ(entry.sequence, next + 1);
            }
            next = entry.sequence;
            if (entry.kind == EntryKind::Request) {
                EXPECT_EQ(entry.reply.function, "GetItem");
            }
        }
        EXPECT_EQ(kinds, c.kinds) << c.ignoreRequests;
        EXPECT_EQ(transcript.Size(), 0u);
    }
    ExpectAllReleased();
}

TEST_F(HostTest, SessionResourceLifecycle) {
    struct Step {
        std::function<void()> act;
        const char* seen;     // eventType:phase the plugin last saw
        const char* session;  // what the plugin's GET of the session answers
    };
    const Step steps[] = {
        {[&] { host.SetSessionPhase("ChampSelect"); }, "Update:ChampSelect", R"({"phase": string:"ChampSelect"})"},
        {[&] { host.DeleteSession(); }, "Delete:", "No gameflow session"},
        {[&] { host.SetSessionPhase("Lobby"); }, "Create:Lobby", R"({"phase": string:"Lobby"})"},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(LastPhase(), step.seen);
        ReplyData reply = host.Request(API_METHOD_POST, "/fake/v1/call/session");
        EXPECT_EQ(reply.hasError ? reply.error : reply.body.Canonical(), step.session);
    }
    EXPECT_EQ(state->events, 3u);
    EXPECT_EQ(state->wrongContext, 0u);

    host.DeleteSession();  // the completion needs a session
    EXPECT_EQ(host.Request(API_METHOD_POST, "/fake/v1/call/complete").error, "No gameflow session");
    EXPECT_EQ(host.Request(API_METHOD_POST, "/fake/v1/call/unknown").error, "No handler for GET /nowhere");
    ExpectAllReleased();
}

TEST_F(HostTest, UnsubscribeStopsDeliveries) {
    EXPECT_EQ(host.Request(API_METHOD_POST, "/fake/v1/call/unsubscribe").status, 200u);
    EXPECT_FALSE(host.FindSubscription(kSessionEventKey));
    host.SetSessionPhase("InProgress");
    host.PublishEvent("OtherKey", StringValue("x"));
    EXPECT_EQ(state->events, 0u);
    std::vector<Entry> deliveries = host.GetTranscript().Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_FALSE(deliveries[0].ok);
    EXPECT_EQ(deliveries[1].text, "OtherKey");
    EXPECT_TRUE(host.GetTranscript().OfKind(EntryKind::Unsubscribe).back().ok);
}

TEST_F(HostTest, StreamsRepliesToThePluginWithTheWaitTriple) {
    int yields = 0;
    host.SetYieldHook([&] { ++yields; });
    auto streamWith = [&](StreamSpec spec) {
        host.SetRequestHandler("/host/stream", [spec](const RequestData&) {
            HostReply reply;
            reply.stream = spec;
            return reply;
        });
    };
    streamWith({99, {"ab", "", std::string(5000, 'c')}, std::nullopt});
    ReplyData reply = host.Request(API_METHOD_POST, "/fake/v1/call/drain");
    EXPECT_EQ(StringOf(reply.body.get()), "ab" + std::string(5000, 'c'));
    EXPECT_EQ(reply.status, 99u);  // the size hint reached the plugin
    EXPECT_EQ(yields, 2);          // after "ab" and after the empty read; the 4096-byte read needs none
    std::vector<EntryKind> waits;
    for (const Entry& entry : host.GetTranscript().Entries()) {
        if (entry.kind >= EntryKind::WaitEnter && entry.kind <= EntryKind::WaitLeave) waits.push_back(entry.kind);
    }
    using enum EntryKind;
    EXPECT_EQ(waits, (std::vector{WaitEnter, WaitYield, WaitLeave, WaitEnter, WaitYield, WaitLeave}));
    EXPECT_EQ(host.GetTranscript().OfKind(EntryKind::WaitEnter)[0].text, "Wait: yield");

    streamWith({0, {"ab", "cd"}, 1});
    reply = host.Request(API_METHOD_POST, "/fake/v1/call/drain");
    EXPECT_EQ(reply.error, "Stream read error");
    StreamStats stats = host.HostStreamStats();
    EXPECT_EQ((std::array{stats.opened, stats.closed, stats.extraCloses}), (std::array{2u, 2u, 0u}));
    ExpectAllReleased();
}

TEST_F(HostTest, StubsAnswerByMethodAndPathBeforeEverythingElse) {
    auto stub = [](uint32_t status, std::optional<std::string> error = std::nullopt) {
        HostReply reply;
        reply.status = status;
        reply.error = std::move(error);
        reply.body = StringValue("stubbed");
        return std::optional<HostReply>(std::move(reply));
    };
    host.SetRequestHandler("/kav-fake/v1/resource", [](const RequestData&) { return HostReply{}; });
    // Each row: a stub change (method 0: none), then what the plugin's POST of the resource
    // and its GET of the session get: status and error or body.
    const struct {
        uint32_t method;
        const char* path;
        std::optional<HostReply> reply;
        const char *post, *session;
    } rows[] = {
        {0, "", std::nullopt, "200 empty", "200 {\"phase\": string:\"None\"}"},
        {API_METHOD_GET, "/kav-fake/v1/resource", stub(500), "200 empty", "200 {\"phase\": string:\"None\"}"},
        {API_METHOD_POST, "/kav-fake/v1/resource?ignored", stub(201), "201 string:\"stubbed\"", "200 {\"phase\": string:\"None\"}"},
        {API_METHOD_POST, "/kav-fake/v1/resource", stub(503, "down"), "503 error down", "200 {\"phase\": string:\"None\"}"},
        {API_METHOD_GET, "/kav-gameflow/v1/session", stub(404, "gone"), "503 error down", "404 error gone"},
        {API_METHOD_POST, "/kav-fake/v1/resource", std::nullopt, "200 empty", "404 error gone"},
        {API_METHOD_GET, "/kav-gameflow/v1/session", std::nullopt, "200 empty", "200 {\"phase\": string:\"None\"}"},
    };
    auto text = [](const ReplyData& reply) {
        return std::to_string(reply.status) + (reply.hasError ? " error " + reply.error : ' ' + reply.body.Canonical());
    };
    for (const auto& row : rows) {
        if (row.method != 0) host.StubRequest(row.method, row.path, row.reply);
        EXPECT_EQ(text(host.Request(API_METHOD_POST, "/fake/v1/call/resource")), row.post) << row.path;
        EXPECT_EQ(text(host.Request(API_METHOD_POST, "/fake/v1/call/session")), row.session) << row.path;
    }
    EXPECT_EQ(host.SessionPhase(), "None");  // a stub changes no state of the host
    ExpectAllReleased();
}

TEST_F(HostTest, HostApiSurvivesBadCalls) {
    const HostApi& api = host.Api();
    ApiRequest request{};
    request.method = API_METHOD_GET;
    request.path = nullptr;
    request.argument_count = 3;  // with a null array
    ApiReply reply{};
    api.send_request(&api, &reply, &request);
    EXPECT_EQ(uint32_t{reply.status}, 404u);
    EXPECT_STREQ(static_cast<const char*>(reply.error), "No handler for GET ");
    EXPECT_EQ(host.OutstandingHostReplies(), 1);
    reply.release(&reply);
    EXPECT_EQ(host.OutstandingHostReplies(), 0);

    api.send_request(&api, &reply, nullptr);
    EXPECT_STREQ(static_cast<const char*>(reply.error), "No request");
    reply.release(&reply);
    api.send_request(&api, nullptr, &request);
    api.send_event(&api, nullptr);
    EXPECT_EQ(api.subscribe(&api, nullptr, 7, nullptr, nullptr, 0), 0);
    api.unsubscribe(&api, nullptr, 7);
    api.unsubscribe(&api, kSessionEventKey.data(), 8);  // another plugin's id removes nothing
    EXPECT_TRUE(host.FindSubscription(kSessionEventKey));
    api.log(&api, 1, nullptr);
    api.wait_enter(&api, nullptr, 0);
    api.log(nullptr, 1, "lost");
    EXPECT_EQ(host.GetTranscript().Logs().back().text, "");
    ExpectAllReleased();
}

TEST_F(HostTest, TranscriptLines) {
    std::vector<std::pair<int32_t, std::string>> sunk;
    host.SetLogSink([&](int32_t level, std::string_view message) { sunk.emplace_back(level, message); });
    ASSERT_EQ(host.Request(API_METHOD_POST, "/fake/v1/call/event").status, 200u);
    host.Api().log(&host.Api(), 2, "bad \"thing\"\n");
    std::ostringstream out;
    host.GetTranscript().Print(out);
    const std::string expected =
        "#2 -> initialize plugin 7 => 1\n"
        "#3 <- subscribe OnJsonApiEvent_kav-gameflow_v1_session plugin 7 flag 0 => 1\n"
        "#4 <- request GET /kav-gameflow/v1/session => 200 {\"phase\": string:\"None\"}\n"
        "#5 <- log Always \"fake initialized\"\n"
        "#6 -> request POST /fake/v1/call/event => 200 application/x-fake\n"
        "#7 <- event FakeEvent caller 7 string:\"ping\"\n"
        "#8 <- log Error \"bad \\\"thing\\\"\\n\"\n";
    std::string text = out.str();
    EXPECT_EQ(text.substr(0, 10), "#1 -> load");
    EXPECT_EQ(text.substr(text.find('\n') + 1), expected);
    EXPECT_EQ(sunk, (std::vector<std::pair<int32_t, std::string>>{{2, "bad \"thing\"\n"}}));
    EXPECT_EQ(host.GetTranscript().Events()[0].payload.Canonical(), "string:\"ping\"");

    Entry entry;
    entry.kind = EntryKind::SendRequest;
    entry.sequence = 9;
    entry.request.method = API_METHOD_CUSTOM;
    entry.request.customMethod = "PURGE";
    entry.request.path = "/p";
    entry.request.arguments.push_back({"n", UnsignedValue(1)});
    entry.request.contentType = "text/plain";
    entry.request.body = "b";
    entry.reply.status = 404;
    entry.reply.hasError = true;
    entry.reply.error = "gone";
    entry.reply.streamed = true;
    entry.reply.streamBody = "s";
    entry.reply.streamFailed = true;
    EXPECT_EQ(FormatEntry(entry), "#9 <- request PURGE /p [n=unsigned:1] body text/plain \"b\" => 404 error \"gone\" stream \"s\" (failed)");
}

TEST_F(HostTest, ConcurrentRequestsAndSessionUpdates) {
    constexpr int kThreads = 4, kRequests = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                RequestData request;
                request.method = i % 2 ? API_METHOD_GET : API_METHOD_POST;
                request.path = "/fake/v1/items/" + std::to_string(t);
                request.arguments.push_back({std::nullopt, SignedValue(i)});
                ReplyData reply = host.Request(request);
                const HostValue* arguments = FindMember(reply.body.get(), "arguments");
                bool ok = reply.status == 200 && reply.releaseZeroed && arguments != nullptr &&
                          CanonicalText(*arguments) == "[signed:" + std::to_string(i) + "]";
                if (!ok) ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            host.SetSessionPhase(i % 2 ? "PreEndOfGame" : "InProgress");
            if (host.Request(API_METHOD_POST, "/fake/v1/call/complete").status != kCompletionStatus) ++failures;
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            if (host.Request(API_METHOD_GET, "/fake/v1/stream").streamBody != "alphabeta") ++failures;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(state->events, 100u);  // each phase change and each completion
    EXPECT_EQ(state->reentered, 0u);
    EXPECT_EQ(host.SessionPhase(), "EndOfGame");
    EXPECT_EQ(host.GetTranscript().Replies().size(), size_t{kThreads * kRequests + 100});
    ExpectAllReleased();
}

TEST_F(HostTest, ShutdownAndMemoryStats) {
    ASSERT_EQ(host.Request(API_METHOD_GET, "/fake/v1/items/1").status, 200u);
    std::optional<PluginMemoryStats> stats = host.MemoryStats();
    ASSERT_TRUE(stats);
    EXPECT_EQ((std::array<uint64_t, 2>{stats->allocations, stats->frees}), (std::array<uint64_t, 2>{1, 1}));

    host.Shutdown();
    EXPECT_EQ(state->shutdownCalls, 1u);
    EXPECT_TRUE(host.Subscriptions().empty());  // the plugin unsubscribed on its way out
    host.Shutdown();
    EXPECT_EQ(state->shutdownCalls, 1u);
    EXPECT_FALSE(host.MemoryStats());
    EXPECT_TRUE(host.Functions().empty());
    ReplyData reply = host.Request(API_METHOD_GET, "/fake/v1/items/1");
    EXPECT_EQ(reply.status, 503u);
    EXPECT_EQ(reply.error, "The plugin is not initialized");
    host.SetSessionPhase("Lobby");  // nobody to deliver to
    EXPECT_FALSE(host.GetTranscript().Deliveries().back().ok);

    host.Unload();
    ASSERT_TRUE(host.Load(FAKE_PLUGIN_PATH)) << host.LastError();  // a host can load again
    EXPECT_EQ(state->hostMinor, 0u);
}

}  // namespace
}  // namespace Vemi::Host
