// The replacement host: loads a plugin library, calls its export and plays the game
// client's side of the C ABI in kav/host_abi.h, recording every call in a Transcript.
//
// Delivery of host events: every event for the plugin (a published event, a session
// update) is queued and delivered through the plugin's event callback when the outermost
// host->plugin call on the current thread returns (Initialize, Request, SetSessionPhase,
// DeleteSession, PublishEvent, Pump). So an event caused by a request of the plugin (the
// session update after the completion POST) reaches the plugin after the plugin call
// that sent it has returned, never inside it: the plugin's code is not re-entered, as with
// a host that delivers events asynchronously. Events go to the subscriber of their key at
// delivery time; without one they are dropped (and recorded as such).
//
// The host's own resources, answered to HostApi.send_request:
//   GET  "/kav-gameflow/v1/session"        200, body {"phase": string}; 404 without a session
//   POST "/kav-gameflow/v1/session/event"  first argument the string
//        "GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED": the phase becomes EndOfGame, the
//        answer is 204 with an empty body, and a session Update is queued; any other
//        event 400, no session 404
//   anything else: 404 with the error "No handler for METHOD PATH"
// Stubs set with StubRequest come first, then handlers installed with SetRequestHandler. Session events carry the
// PluginResourceEvent form {"uri", "eventType", "data"}, eventType being the enumerator's
// name ("Create", "Update", "Delete"), which the plugin's enum conversion accepts.
#pragma once

#include <kav/host/host_value.h>
#include <kav/host/transcript.h>

#include <kav/host_abi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::Host {

inline constexpr std::string_view kSessionUri = "/kav-gameflow/v1/session";
inline constexpr std::string_view kSessionEventUri = "/kav-gameflow/v1/session/event";
inline constexpr std::string_view kSessionEventKey = "OnJsonApiEvent_kav-gameflow_v1_session";
inline constexpr std::string_view kPreEndOfGameCompleted = "GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED";
inline constexpr uint32_t kCompletionStatus = 204;

struct Version {
    uint32_t major = KAV_PLUGIN_API_VERSION_MAJOR;
    uint32_t minor = KAV_PLUGIN_API_VERSION_MINOR;
    uint32_t patch = KAV_PLUGIN_API_VERSION_PATCH;
};

// A streamed body the host hands the plugin: each read gives the next chunk (split when it
// is larger than the reader's buffer); an empty chunk is a read with no data yet and more
// to come. Read number failAtRead (0-based) and every later one answer 0; the others
// answer readAnswer, any nonzero 32-bit word.
struct StreamSpec {
    uint32_t sizeHint = 0;
    std::vector<std::string> chunks;
    std::optional<uint32_t> failAtRead;
    uint32_t readAnswer = 1;
};

// The host's answer to a request of the plugin.
struct HostReply {
    uint32_t status = 200;
    std::optional<std::string> error;  // set: error text and error flag
    std::string contentType;
    std::vector<Header> headers;
    OwnedValue body;
    std::optional<StreamSpec> stream;
};

using RequestHandler = std::function<HostReply(const RequestData& request)>;
using LogSink = std::function<void(int32_t level, std::string_view message)>;

struct SubscriptionInfo {
    std::string key;
    uint32_t pluginId = 0;
    uint32_t flag = 0;
    HostEventCallback callback = nullptr;
    void* context = nullptr;
};

struct StreamStats {
    uint32_t opened = 0;       // streams handed to the plugin
    uint32_t closed = 0;       // ... closed at least once
    uint32_t extraCloses = 0;  // closes beyond the first
};

// "{name}" matches one path segment (possibly empty, no "/"); "{+name}" any text; "{#name}"
// a "#" and any text; everything else itself. A query part of path is not matched.
[[nodiscard]] bool MatchPathTemplate(std::string_view pathTemplate, std::string_view path) noexcept;

// The function entry a request goes to: among the entries (with a handler) whose template
// matches the path, the first whose method equals the request's (and custom text, for a
// custom method), else the first with method 0, else the first. Null when no template
// matches.
[[nodiscard]] const ApiFunctionEntry* FindFunction(const ApiDescription* description, uint32_t method,
                                                   std::string_view customMethod, std::string_view path) noexcept;

// The entry names Load tries for the library at libraryPath, in order: entry alone when
// it is given; else "load_" and the file name up to its first "." (every character other
// than a letter, digit or "_" made "_"), first without and then with a leading "lib",
// and last KAV_PLUGIN_ENTRY_NAME. "build/libkav_hello.so" gives load_kav_hello,
// load_libkav_hello, load_kav_pre_end_of_game.
[[nodiscard]] std::vector<std::string> EntryNames(std::string_view libraryPath, std::string_view entry = {});

class Host {
public:
    Host();
    ~Host();  // Unload()
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- Lifecycle (host -> plugin) ----
    // Opens the library, finds the first of EntryNames(libraryPath, entry) it exports and
    // runs LoadEntry with it.
    [[nodiscard]] bool Load(const std::string& libraryPath, Version version = {}, std::string_view entry = {});
    // Calls entry with a load record holding version; fails when the plugin leaves the
    // record without callbacks. label names the plugin in the transcript.
    [[nodiscard]] bool LoadEntry(PluginEntryFn entry, Version version = {}, std::string label = "<entry>");
    // Calls initialize with the HostApi table and pluginId; answers the plugin's answer.
    // The plugin counts as initialized even when it answers 0: its Shutdown is still due.
    [[nodiscard]] bool Initialize(uint32_t pluginId = 1);
    // Calls shutdown once (also when Initialize was never called); queued events are dropped.
    void Shutdown();
    // Shutdown, then closes the library; a new Load may follow.
    void Unload();
    [[nodiscard]] std::optional<PluginMemoryStats> MemoryStats();

    [[nodiscard]] bool Loaded() const noexcept;       // loaded and not shut down
    [[nodiscard]] bool Initialized() const noexcept;  // initialized and not shut down
    [[nodiscard]] const std::string& LastError() const noexcept;
    // The record as the plugin filled it; its pointers are valid until Shutdown.
    [[nodiscard]] const PluginLoadRecord& Record() const noexcept;
    [[nodiscard]] const std::string& PluginName() const noexcept;  // copied at load
    // The function entries of the API description, in array order (empty after Shutdown).
    [[nodiscard]] std::vector<const ApiFunctionEntry*> Functions() const;

    // ---- Requests to the plugin ----
    // Sends request to the function entry FindFunction picks, with a zeroed reply; copies
    // the reply out, drains its stream, closes the stream and calls the reply's release
    // once. No matching template: 404 "No resource at PATH" (PATH without its query),
    // without calling the plugin; before Initialize or after Shutdown: 503 "The plugin is not initialized".
    // The body handed to the plugin is followed by a NUL byte.
    [[nodiscard]] ReplyData Request(const RequestData& request);
    [[nodiscard]] ReplyData Request(uint32_t method, std::string path);
    // As Request, but to function (one of Functions()) whatever its path template: the
    // plugin's own dispatcher then answers a path that none of its routes matches.
    [[nodiscard]] ReplyData RequestFunction(const ApiFunctionEntry& function, const RequestData& request);

    // ---- Events to the plugin (queued, see above) ----
    void PublishEvent(std::string key, OwnedValue payload);
    // Sets the session's phase and publishes it (eventType "Create" when there was no
    // session, else "Update").
    void SetSessionPhase(std::string phase);
    // Removes the session and publishes eventType "Delete" with empty data.
    void DeleteSession();
    [[nodiscard]] std::optional<std::string> SessionPhase() const;  // starts at "None"
    // Delivers queued events now (unless this thread is inside a plugin call); answers
    // how many reached a subscriber.
    size_t Pump();

    // ---- Host behaviour ----
    // Answers requests of the plugin to path (query ignored, any method) before the
    // host's own resources. An empty handler removes it. Called outside the host's lock.
    void SetRequestHandler(std::string path, RequestHandler handler);
    // Answers requests of the plugin with method to path (query ignored) with reply,
    // before handlers and the host's own resources, until replaced; nullopt removes it.
    // A stub answers in the host's place and changes none of its state (the session).
    void StubRequest(uint32_t method, std::string path, std::optional<HostReply> reply);
    // Also hands each HostApi.log line to sink.
    void SetLogSink(LogSink sink);
    // Runs on every HostApi.wait_yield (the host's "pending work").
    void SetYieldHook(std::function<void()> hook);

    // ---- Observation ----
    [[nodiscard]] Transcript& GetTranscript() noexcept;
    [[nodiscard]] std::vector<SubscriptionInfo> Subscriptions() const;
    [[nodiscard]] std::optional<SubscriptionInfo> FindSubscription(std::string_view key) const;
    [[nodiscard]] StreamStats HostStreamStats() const;
    // Replies of the host handed to the plugin and not yet freed through their release.
    [[nodiscard]] int64_t OutstandingHostReplies() const noexcept;
    // The table handed to the plugin, to drive the host's side directly.
    [[nodiscard]] const HostApi& Api() const noexcept;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Vemi::Host
