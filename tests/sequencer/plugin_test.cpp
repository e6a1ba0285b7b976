// The plugin through the library boundary, driven by the replacement host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <kav/host/host.h>
#include <kav/host/host_value.h>
#include <kav/platform/platform.h>

using namespace Vemi::Host;

namespace {

constexpr const char* kEventKey = "OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent";

std::string EventText(const char* name, int priority) {
    return std::string(R"({"data": {"name": string:")") + name + R"(", "priority": signed:)" +
           std::to_string(priority) +
           R"(}, "eventType": string:"Update", "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"})";
}

// What publishing an event sends: under its own key, then under the general one.
std::vector<std::string> Published(const char* name, int priority) {
    return {std::string(kEventKey) + " " + EventText(name, priority), "OnJsonApiEvent " + EventText(name, priority)};
}

// A structure of named members.
OwnedValue Members(std::vector<std::pair<std::string, OwnedValue>> members) {
    return StructureValue(std::move(members));
}

struct Plugin {
    Host host;
    explicit Plugin(bool initialize = true, Version version = {}) {
        EXPECT_TRUE(host.Load(KAV_PLUGIN_PATH, version)) << host.LastError();
        EXPECT_TRUE(!initialize || host.Initialize(7));
    }
    ReplyData Call(uint32_t method, const std::string& path) { return host.Request(method, path); }
    // Every SendEvent as "key payload", and every SendRequest as "METHOD path args".
    std::vector<std::string> Outputs() {
        std::vector<std::string> out;
        for (const Entry& e : host.GetTranscript().Entries()) {
            if (e.kind == EntryKind::SendEvent) out.push_back(e.text + " " + e.payload.Canonical());
            if (e.kind == EntryKind::SendRequest) {
                // Appended piece by piece: chains of + on short texts trip g++ 12's -Wrestrict at -O3.
                std::string line(MethodName(e.request.method, ""));
                line += ' ';
                line += e.request.path;
                for (const Argument& a : e.request.arguments) {
                    line += ' ';
                    line += a.value.Canonical();
                }
                out.push_back(line);
            }
        }
        host.GetTranscript().Clear();
        return out;
    }
};

const std::string kCompletionPost =
    R"(POST /kav-gameflow/v1/session/event string:"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED")";

}  // namespace

TEST(PluginBoundary, LoadRecordAndInitialize) {
    Plugin p(false, Version{18, 2, 0});
    // Compared by value only: the record is packed, so no reference may bind to its fields.
    const PluginLoadRecord& r = p.host.Record();
    EXPECT_TRUE(r.major == 18 && r.minor == 0 && r.patch == 0);
    ASSERT_TRUE(r.callbacks != nullptr && r.context != nullptr && r.description != nullptr);
    EXPECT_STREQ(r.name, "kav-pre-end-of-game");
    EXPECT_EQ(+r.description->function_count, 4u);
    ASSERT_TRUE(p.host.Initialize(7));
    // Initialize subscribes to the session key and the three service-proxy events, then
    // fetches the session once.
    auto session = p.host.FindSubscription("OnJsonApiEvent_kav-gameflow_v1_session");
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->pluginId, 7u);
    EXPECT_EQ(session->flag, 0u);
    for (const char* key : {"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"}) {
        auto s = p.host.FindSubscription(key);
        ASSERT_TRUE(s.has_value()) << key;
        EXPECT_EQ(s->flag, 1u);
    }
    EXPECT_EQ(p.Outputs(), std::vector<std::string>{"GET /kav-gameflow/v1/session"});
}

TEST(PluginBoundary, WholeSequenceThroughTheHost) {
    Plugin p;
    p.Outputs();
    EXPECT_EQ(p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/second/2").status, 0u);
    EXPECT_EQ(p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/first/1").status, 0u);
    ReplyData before = p.Call(API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent");
    EXPECT_EQ(before.body.Canonical(), R"({"name": string:"", "priority": signed:-1})");
    EXPECT_TRUE(before.released && before.releaseZeroed);

    p.host.SetSessionPhase("PreEndOfGame");
    EXPECT_EQ(p.Outputs(), Published("first", 1));
    p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/first");
    EXPECT_EQ(p.Outputs(), Published("second", 2));
    p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/second");
    std::vector<std::string> last = Published("", -1);
    last.push_back(kCompletionPost);
    EXPECT_EQ(p.Outputs(), last);
    // The host's gameflow moved on after the completion post.
    p.host.Pump();
    EXPECT_EQ(p.host.SessionPhase(), "EndOfGame");
    EXPECT_TRUE(p.Outputs().empty());
    EXPECT_EQ(p.host.OutstandingHostReplies(), 0);
}

TEST(PluginBoundary, NoEventsPostsOnceAndPublishesNothing) {
    Plugin p;
    p.Outputs();
    p.host.SetSessionPhase("PreEndOfGame");
    EXPECT_EQ(p.Outputs(), std::vector<std::string>{kCompletionPost});
}

TEST(PluginBoundary, InitialisedDuringPreEndOfGameStartsInsideInitialize) {
    Host host;
    ASSERT_TRUE(host.Load(KAV_PLUGIN_PATH));
    host.SetSessionPhase("PreEndOfGame");  // no subscriber yet: nothing delivered
    ASSERT_TRUE(host.Initialize(3));
    std::vector<std::string> requests;
    for (const Entry& e : host.GetTranscript().Requests()) requests.push_back(e.request.path);
    EXPECT_EQ(requests, (std::vector<std::string>{"/kav-gameflow/v1/session", "/kav-gameflow/v1/session/event"}));
}

TEST(PluginBoundary, EndpointEdgeCases) {
    struct Row { uint32_t method; const char* path; uint32_t status; const char* error; };
    const Row rows[] = {
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/12x", 0,
         "Value 12x for 'priority' of type int32 is in an incorrect format"},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/2147483648", 0,
         "Value 2147483648 for 'priority' of type int32 is out of range"},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration//5", 0, "Expected value for argument 'sequenceEventName'."},
        {API_METHOD_GET, "/kav-pre-end-of-game/v1/registration/a/1", 404, "Invalid function"},
        {API_METHOD_PUT, "/kav-pre-end-of-game/v1/currentSequenceEvent", 404, "Invalid function"},
        {API_METHOD_DELETE, "/kav-pre-end-of-game/v1/registration/missing", 0, ""},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/low/-2147483648", 0, ""},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/caf%C3%A9%20x/3", 0, ""},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/dup/3", 0, ""},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/x?sequenceEventName=y", 0,
         "Argument 'sequenceEventName' for 'PostKavPreEndOfGameV1CompleteBySequenceEventName' was specified in an "
         "invalid location."},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/%00/-100", 400,
         "Value for argument 'sequenceEventName' contains a NUL character."},
        {API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/ab%00c/2", 400,
         "Value for argument 'sequenceEventName' contains a NUL character."},
    };
    Plugin p;
    for (const Row& r : rows) {
        ReplyData reply = p.Call(r.method, r.path);
        EXPECT_EQ(reply.status, r.status) << r.path;
        EXPECT_EQ(reply.error, r.error) << r.path;
        EXPECT_EQ(reply.hasError, r.error[0] != '\0') << r.path;
        EXPECT_TRUE(reply.released) << r.path;
    }
    // Only the good registrations reached the registry: the lowest, then the decoded name
    // (a refused one at -100 or 2 would come between them).
    p.Outputs();
    p.host.SetSessionPhase("PreEndOfGame");
    std::vector<std::string> events = p.Outputs();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1], "OnJsonApiEvent " + EventText("low", -2147483647 - 1));
    p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/low");
    events = p.Outputs();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1], "OnJsonApiEvent " + EventText("caf\xC3\xA9 x", 3));
}

TEST(PluginBoundary, LogLinesReachTheHostAfterInitialize) {
    Plugin p;
    p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/1");
    p.host.SetSessionPhase("PreEndOfGame");
    std::vector<std::string> logs;  // "level text"
    for (const Entry& e : p.host.GetTranscript().Logs()) logs.push_back(std::to_string(e.number) + " " + e.text);
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "3 PreEndOfGame sequence event changed - a"), 1);
}

using PluginBoundaryDeathTest = ::testing::Test;

TEST(PluginBoundaryDeathTest, IncompatibleHostEndsTheProcess) {
#ifdef KAV_TEST_NO_REEXEC
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    for (Version v : {Version{17, 9, 9}, Version{19, 0, 0}}) {
        EXPECT_DEATH(
            {
                Host host;
                (void)host.Load(KAV_PLUGIN_PATH, v);
            },
            "Assertion failed!\\s+Expression: ALE-EECF0606");  // also GoogleTest's simple regex (Windows)
    }
    Plugin compatible(false, Version{18, 3, 1});
    EXPECT_TRUE(compatible.host.Loaded());
}

TEST(PluginBoundary, ConcurrentRequestsAndSessionUpdates) {
    Plugin p;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                // Appended piece by piece, as above.
                std::string name = "t";
                name += std::to_string(t);
                name += '_';
                name += std::to_string(i % 10);
                (void)p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/" + name + "/" +
                                                  std::to_string(t * 100 + i % 10));
                ReplyData current = p.Call(API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent");
                const HostValue* nameValue = FindMember(current.body.get(), "name");
                if (nameValue != nullptr && !StringOf(*nameValue).empty())
                    (void)p.Call(API_METHOD_POST,
                                 "/kav-pre-end-of-game/v1/complete/" + std::string(StringOf(*nameValue)));
                if (i % 4 == 0) (void)p.Call(API_METHOD_DELETE, "/kav-pre-end-of-game/v1/registration/" + name);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) p.host.SetSessionPhase(i % 2 ? "PreEndOfGame" : "InProgress");
    });
    for (auto& t : threads) t.join();
    // Consistent afterwards: the current event answers, and a full sequence still runs.
    p.host.SetSessionPhase("InProgress");
    p.Outputs();
    ReplyData current = p.Call(API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent");
    EXPECT_EQ(current.status, 0u);
    EXPECT_EQ(current.error, "");
    EXPECT_EQ(p.host.OutstandingHostReplies(), 0);
}

TEST(PluginBoundary, RepeatedLoadAndShutdownFreesThePluginsMemory) {
    // Keep the library mapped so that its counters survive each Shutdown.
    Vemi::Platform::LibraryHandle pin = Vemi::Platform::LoadLibrary(KAV_PLUGIN_PATH);
    ASSERT_NE(pin, nullptr);
    const int rounds = 1000;
    std::vector<uint64_t> liveAfterLoad, liveBlocksAfterLoad;
    for (int i = 0; i < rounds; ++i) {
        Host host;
        ASSERT_TRUE(host.Load(KAV_PLUGIN_PATH));
        auto stats = host.MemoryStats();
        ASSERT_TRUE(stats.has_value());
        liveAfterLoad.push_back(stats->bytes_allocated - stats->bytes_freed);
        liveBlocksAfterLoad.push_back(stats->allocations - stats->frees);
        EXPECT_GE(stats->allocations, stats->frees);
        EXPECT_GE(stats->peak_bytes, liveAfterLoad.back());
        ASSERT_TRUE(host.Initialize(1));
        (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/1");
        host.SetSessionPhase("PreEndOfGame");
        (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/a");
        host.Shutdown();
    }
    // Whatever one cycle allocates, Shutdown gives back: the bytes in use right after a
    // load are the same halfway and in the last round. (The first rounds fill the
    // per-thread cache of empty value contexts; what its few entries keep depends on the
    // trees they last held, and on a 32-bit target that settles a round later.)
    // Block sizes are the heap's actual sizes, which vary by a few bytes with where a
    // block lands; the count of live blocks is exact.
    const size_t settled = rounds / 2;
    EXPECT_EQ(liveBlocksAfterLoad.back(), liveBlocksAfterLoad[settled]);
    EXPECT_LT(std::llabs(static_cast<long long>(liveAfterLoad.back()) - static_cast<long long>(liveAfterLoad[settled])),
              1024);
    Vemi::Platform::FreeLibrary(pin);
}

namespace {

OwnedValue SessionUpdate(OwnedValue data) {
    return Members({{"uri", StringValue("/kav-gameflow/v1/session")}, {"eventType", StringValue("Update")},
                    {"data", std::move(data)}});
}

OwnedValue Phase(const char* phase) { return Members({{"phase", StringValue(phase)}}); }

}  // namespace

TEST(PluginBoundary, LoadRecordPointersStayValidUntilShutdown) {
    Host host;
    ASSERT_TRUE(host.Load(KAV_PLUGIN_PATH));
    // What a host keeps from the load: the pointers, and the texts it may read later.
    const PluginLoadRecord record = host.Record();
    const char* name = record.name;
    const ApiDescription* description = record.description;
    const PluginCallbacks* callbacks = record.callbacks;
    const std::string nameText = name;
    const auto functionTexts = [&] {
        std::vector<std::string> texts;
        for (uint32_t i = 0; i < description->function_count; ++i)
            texts.push_back(std::string(description->functions[i].name) + " " + description->functions[i].path);
        return texts;
    };
    const std::vector<std::string> functions = functionTexts();

    ASSERT_TRUE(host.Initialize(2));
    (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/1");
    host.SetSessionPhase("PreEndOfGame");
    (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/a");

    EXPECT_EQ(std::string(name), nameText);
    const PluginLoadRecord& now = host.Record();
    EXPECT_TRUE(now.name == name && now.description == description && now.callbacks == callbacks);
    EXPECT_EQ(functionTexts(), functions);
}

TEST(PluginBoundary, NullLoadRecordBuildsNothing) {
    Plugin p(false);
    Vemi::Platform::LibraryHandle library = Vemi::Platform::LoadLibrary(KAV_PLUGIN_PATH);
    ASSERT_NE(library, nullptr);
    auto entry = reinterpret_cast<PluginEntryFn>(Vemi::Platform::FindSymbol(library, KAV_PLUGIN_ENTRY_NAME));
    ASSERT_NE(entry, nullptr);
    const PluginMemoryStats before = *p.host.MemoryStats();
    for (int i = 0; i < 200; ++i) entry(nullptr);
    const PluginMemoryStats after = *p.host.MemoryStats();
    EXPECT_EQ(after.allocations - after.frees, before.allocations - before.frees);
    EXPECT_EQ(after.bytes_allocated - after.bytes_freed, before.bytes_allocated - before.bytes_freed);
    Vemi::Platform::FreeLibrary(library);
}

TEST(PluginBoundary, RefusedCompletionPostIsNeitherRepeatedNorLogged) {
    Plugin p;
    uint32_t posts = 0;
    p.host.SetRequestHandler("/kav-gameflow/v1/session/event", [&](const RequestData&) {
        ++posts;
        HostReply r;
        r.status = 503, r.error = "gameflow unavailable";
        return r;
    });
    (void)p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/1");
    p.host.SetSessionPhase("PreEndOfGame");
    p.host.GetTranscript().Clear();
    ReplyData reply = p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/a");
    p.host.Pump();
    EXPECT_TRUE(reply.status == 0 && reply.error.empty() && posts == 1) << reply.error << " " << posts;
    std::vector<std::string> logs;
    for (const Entry& e : p.host.GetTranscript().Logs()) logs.push_back(e.text);
    EXPECT_EQ(logs, std::vector<std::string>{"PreEndOfGame sequence event changed - "});
    std::vector<std::string> last = Published("", -1);
    last.push_back(kCompletionPost);
    EXPECT_EQ(p.Outputs(), last);
    EXPECT_EQ(p.host.OutstandingHostReplies(), 0);
}

TEST(PluginBoundary, SessionDataThatCannotBeReadOrLacksThePhase) {
    Plugin p;
    for (const char* event : {"a/1", "b/2", "c/3"}) {
        (void)p.Call(API_METHOD_POST, std::string("/kav-pre-end-of-game/v1/registration/") + event);
    }
    p.host.SetSessionPhase("PreEndOfGame");
    p.Outputs();
    const std::string session(kSessionEventKey);

    // Not convertible: dropped, the phase stays PreEndOfGame and completing goes on.
    p.host.PublishEvent(session, SessionUpdate(Phase("Bogus")));
    p.host.PublishEvent(session, SessionUpdate(StringValue("not a session")));
    EXPECT_TRUE(p.Outputs().empty());
    (void)p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/a");
    EXPECT_EQ(p.Outputs().size(), 2u);  // b published

    // No phase: read as None, so completing is refused.
    p.host.PublishEvent(session, SessionUpdate(StructureValue({})));
    (void)p.Call(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/b");
    EXPECT_TRUE(p.Outputs().empty());
    ReplyData current = p.Call(API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent");
    EXPECT_EQ(current.body.Canonical(), R"({"name": string:"b", "priority": signed:2})");
}

TEST(PluginBoundary, FailedInitialSessionFetchLeavesThePhaseNone) {
    struct Row { const char* name; HostReply reply; };
    HostReply refused;  // an error text wins over a body that says PreEndOfGame
    refused.status = 500;
    refused.error = "session unavailable";
    refused.body = Phase("PreEndOfGame");
    HostReply broken;  // a stream that fails before its end
    broken.stream = StreamSpec{0, {R"({"phase":)", R"("PreEndOfGame"})"}, 1u};
    HostReply garbled;  // a stream that is no JSON
    garbled.stream = StreamSpec{0, {R"({"phase":PreEndOfGame})"}, std::nullopt};
    for (const Row& row : {Row{"refused", refused}, Row{"broken", broken}, Row{"garbled", garbled}}) {
        Host host;
        ASSERT_TRUE(host.Load(KAV_PLUGIN_PATH));
        host.SetRequestHandler("/kav-gameflow/v1/session", [&](const RequestData&) { return row.reply; });
        ASSERT_TRUE(host.Initialize(5)) << row.name;
        ASSERT_EQ(host.GetTranscript().Requests().size(), 1u) << row.name;  // the fetch, and no completion post
        (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/a/1");
        host.GetTranscript().Clear();
        // Completing needs PreEndOfGame: refused, nothing published.
        (void)host.Request(API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/a");
        EXPECT_TRUE(host.GetTranscript().Events().empty()) << row.name;
        EXPECT_TRUE(host.GetTranscript().Requests().empty()) << row.name;
        EXPECT_EQ(host.OutstandingHostReplies(), 0) << row.name;
        EXPECT_EQ(host.HostStreamStats().opened, host.HostStreamStats().closed) << row.name;
    }
}
