// The host's state and the helpers its parts share: the reply ledger (reply_ledger.cpp),
// routing (routing.cpp), the HostApi callbacks (host_api.cpp) and Host (host.cpp).
#pragma once

#include <kav/host/host.h>

#include <kav/platform/platform.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <type_traits>

namespace Vemi::Host {
namespace detail {

// Depth of calls into a plugin on this thread: queued events are delivered only at 0, so
// the plugin is never re-entered from inside its own call.
extern thread_local int t_pluginDepth;

struct PluginCall {
    PluginCall() noexcept { ++t_pluginDepth; }
    ~PluginCall() { --t_pluginDepth; }
    PluginCall(const PluginCall&) = delete;
    PluginCall& operator=(const PluginCall&) = delete;
};

struct ReplyCounters {
    std::atomic<int64_t> handed{0};
    std::atomic<int64_t> released{0};
};

// A stream in a host reply. Owned by the host until the host goes away, so a read or close
// after close touches live memory.
struct HostStream {
    std::vector<std::string> chunks;
    std::optional<uint32_t> failAtRead;
    uint32_t readAnswer = 1;
    size_t next = 0;
    size_t offset = 0;
    std::atomic<uint32_t> reads{0};
    std::atomic<uint32_t> closes{0};
};

uint32_t KAV_ABI ReadHostStream(void* handle, void* buffer, uint32_t* size, uint8_t* more);
void KAV_ABI CloseHostStream(void* handle);

inline std::string_view StripQuery(std::string_view path) noexcept { return path.substr(0, path.find('?')); }

inline std::string_view TextOr(const char* text) noexcept { return text == nullptr ? std::string_view{} : text; }

HostReply ErrorReply(uint32_t status, std::string error);
OwnedValue SessionEvent(const char* eventType, const std::optional<std::string>& phase);

}  // namespace detail

struct Host::Impl {
    // The plugin gets &table.api; every slot finds the host from it.
    struct Table {
        HostApi api;
        uint32_t magic;
        Impl* impl;
    };
    static constexpr uint32_t kMagic = 0x54534F48;  // "HOST"
    static_assert(std::is_standard_layout_v<Table> && offsetof(Table, api) == 0);

    enum class State { Empty, Loaded, Initialized, ShutDown };

    Table table{};
    Transcript transcript;
    Platform::LibraryHandle library = nullptr;
    PluginLoadRecord record{};
    HostInit init{};
    std::string pluginName;
    std::string lastError;
    std::atomic<State> state{State::Empty};
    std::shared_ptr<detail::ReplyCounters> replies = std::make_shared<detail::ReplyCounters>();

    mutable std::mutex mutex;  // guards everything below; never held while calling the plugin
    std::map<std::string, SubscriptionInfo, std::less<>> subscriptions;
    std::deque<std::pair<std::string, OwnedValue>> pending;
    std::optional<std::string> phase{"None"};
    std::map<std::string, std::shared_ptr<RequestHandler>, std::less<>> handlers;
    std::map<std::pair<uint32_t, std::string>, HostReply> stubs;  // by method and path
    std::shared_ptr<LogSink> logSink;
    std::shared_ptr<std::function<void()>> yieldHook;
    std::vector<std::unique_ptr<detail::HostStream>> streams;

    Impl();

    static Impl* From(const HostApi* api) noexcept {
        if (api == nullptr) return nullptr;
        const Table* table = reinterpret_cast<const Table*>(api);
        return table->magic == kMagic ? table->impl : nullptr;
    }

    bool Fail(std::string error) {
        lastError = std::move(error);
        return false;
    }

    void Record(EntryKind kind, std::string text, int64_t number = 0, bool ok = true) {
        Entry entry;
        entry.kind = kind;
        entry.text = std::move(text);
        entry.number = number;
        entry.ok = ok;
        transcript.Append(std::move(entry));
    }

    // The entry of a request to the plugin, written before the call so that what the call
    // causes comes after it; its reply is set when the call ends.
    uint64_t BeginRequest(const RequestData& request) {
        if (!transcript.Records(EntryKind::Request)) return 0;
        Entry entry;
        entry.kind = EntryKind::Request;
        entry.request = request;
        return transcript.Append(std::move(entry));
    }

    void Queue(std::string key, OwnedValue payload) { pending.emplace_back(std::move(key), std::move(payload)); }

    size_t Flush();
    HostReply Answer(const RequestData& request);
    void FillReply(ApiReply& reply, const HostReply& answer) noexcept;
    void Call(const ApiFunctionEntry& function, const RequestData& request, ReplyData& reply);

    // HostApi slots
    static void KAV_ABI SendRequest(const HostApi* api, ApiReply* reply, const ApiRequest* request);
    static void KAV_ABI SendEvent(const HostApi* api, const HostOutgoingEvent* event);
    static uint8_t KAV_ABI Subscribe(const HostApi* api, const char* key, uint32_t pluginId,
                                     HostEventCallback callback, void* context, uint32_t flag);
    static void KAV_ABI Unsubscribe(const HostApi* api, const char* key, uint32_t pluginId);
    static void KAV_ABI WaitYield(const HostApi* api);
    static void KAV_ABI WaitEnter(const HostApi* api, const char* label, uint32_t value);
    static void KAV_ABI WaitLeave(const HostApi* api);
    static void KAV_ABI Log(const HostApi* api, int32_t level, const char* message);
};

}  // namespace Vemi::Host
