#include "host/host.h"

#include <platform/platform.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <type_traits>
#include <unordered_map>

namespace Vemi::Host {
namespace {

// Depth of calls into a plugin on this thread: queued events are delivered only at 0, so
// the plugin is never re-entered from inside its own call.
thread_local int t_pluginDepth = 0;

struct PluginCall {
    PluginCall() noexcept { ++t_pluginDepth; }
    ~PluginCall() { --t_pluginDepth; }
    PluginCall(const PluginCall&) = delete;
    PluginCall& operator=(const PluginCall&) = delete;
};

constexpr uint32_t kStreamBuffer = 4096;
// A plugin stream that keeps answering "no data, more to come" is given up after this many
// reads in a row, rather than hanging the host.
constexpr uint32_t kMaxEmptyReads = 100000;

// ---- Replies the host hands out --------------------------------------------------------
// A reply's release function receives nothing but the record; the ledger finds the host
// that made it by the reply's content-type text, which every host reply allocates.

struct ReplyCounters {
    std::atomic<int64_t> handed{0};
    std::atomic<int64_t> released{0};
};

struct Ledger {
    std::mutex mutex;
    std::unordered_map<const void*, std::shared_ptr<ReplyCounters>> replies;
};

Ledger& TheLedger() {
    static Ledger* ledger = new Ledger;  // outlives every host, also in static destructors
    return *ledger;
}

void LedgerAdd(const void* key, const std::shared_ptr<ReplyCounters>& counters) noexcept {
    if (key == nullptr) return;
    try {
        Ledger& ledger = TheLedger();
        std::lock_guard lock(ledger.mutex);
        ledger.replies[key] = counters;
        ++counters->handed;
    } catch (...) {
    }
}

void LedgerRelease(const void* key) noexcept {
    if (key == nullptr) return;
    Ledger& ledger = TheLedger();
    std::lock_guard lock(ledger.mutex);
    auto it = ledger.replies.find(key);
    if (it == ledger.replies.end()) return;
    ++it->second->released;
    ledger.replies.erase(it);
}

char* CopyText(std::string_view text) noexcept {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void KAV_ABI ReleaseHostReply(ApiReply* reply) {
    if (reply == nullptr) return;
    LedgerRelease(reply->content_type);
    ReleaseHostValue(reply->body);
    std::free(const_cast<char*>(reply->error));
    std::free(const_cast<char*>(reply->content_type));
    if (reply->headers != nullptr) {
        for (uint32_t i = 0; i < reply->header_count; ++i) {
            std::free(const_cast<char*>(reply->headers[i].name));
            std::free(const_cast<char*>(reply->headers[i].value));
        }
        std::free(reply->headers);
    }
    std::memset(static_cast<void*>(reply), 0, sizeof *reply);
}

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

uint32_t KAV_ABI ReadHostStream(void* handle, void* buffer, uint32_t* size, uint8_t* more) {
    auto* stream = static_cast<HostStream*>(handle);
    if (stream == nullptr || size == nullptr || more == nullptr) return 0;
    uint32_t index = stream->reads++;
    if (stream->closes != 0 || (stream->failAtRead && index >= *stream->failAtRead)) {
        *size = 0;
        return 0;
    }
    if (stream->next >= stream->chunks.size()) {
        *size = 0;
        *more = 0;
        return stream->readAnswer;
    }
    if (buffer == nullptr && *size != 0) return 0;
    const std::string& chunk = stream->chunks[stream->next];
    size_t count = std::min<size_t>(*size, chunk.size() - stream->offset);
    if (count != 0) std::memcpy(buffer, chunk.data() + stream->offset, count);
    stream->offset += count;
    if (stream->offset >= chunk.size()) {
        ++stream->next;
        stream->offset = 0;
    }
    *size = static_cast<uint32_t>(count);
    *more = stream->next < stream->chunks.size() ? 1 : 0;
    return stream->readAnswer;
}

void KAV_ABI CloseHostStream(void* handle) {
    if (handle != nullptr) ++static_cast<HostStream*>(handle)->closes;
}

void KAV_ABI ReservedSlot(void) {}

std::string_view StripQuery(std::string_view path) noexcept { return path.substr(0, path.find('?')); }

std::string_view TextOr(const char* text) noexcept { return text == nullptr ? std::string_view{} : text; }

bool MatchTemplate(std::string_view pattern, std::string_view path) noexcept {
    while (!pattern.empty()) {
        if (pattern.front() == '{') {
            size_t close = pattern.find('}');
            if (close == std::string_view::npos) return pattern == path;
            char kind = close > 1 ? pattern[1] : '\0';
            pattern.remove_prefix(close + 1);
            if (kind == '#') {
                if (path.empty() || path.front() != '#') return false;
                path.remove_prefix(1);
            }
            // The longest capture first, as a greedy pattern would take it.
            size_t longest = kind == '+' || kind == '#' ? path.size() : std::min(path.find('/'), path.size());
            for (size_t n = longest + 1; n-- > 0;) {
                if (MatchTemplate(pattern, path.substr(n))) return true;
            }
            return false;
        }
        if (path.empty() || path.front() != pattern.front()) return false;
        pattern.remove_prefix(1);
        path.remove_prefix(1);
    }
    return path.empty();
}

RequestData CopyRequest(const ApiRequest& request) {
    RequestData data;
    data.method = request.method;
    data.customMethod = TextOr(request.custom_method);
    data.path = TextOr(request.path);
    if (request.arguments != nullptr) {
        for (uint32_t i = 0; i < request.argument_count; ++i) {
            const HostArgument& argument = request.arguments[i];
            Argument copy;
            if (argument.name != nullptr) copy.name = argument.name;
            copy.value = OwnedValue::Copy(argument.value);
            data.arguments.push_back(std::move(copy));
        }
    }
    if (request.headers != nullptr) {
        for (uint32_t i = 0; i < request.header_count; ++i) {
            data.headers.push_back({std::string(TextOr(request.headers[i].name)), std::string(TextOr(request.headers[i].value))});
        }
    }
    data.contentType = TextOr(request.content_type);
    if (request.body != nullptr) data.body.emplace(reinterpret_cast<const char*>(request.body), request.body_length);
    data.requestContext = request.request_context;
    return data;
}

ReplyData DescribeReply(const HostReply& answer) {
    ReplyData data;
    data.status = answer.status;
    data.hasError = answer.error.has_value();
    data.error = answer.error.value_or("");
    data.contentType = answer.contentType;
    data.headers = answer.headers;
    data.body = answer.body;
    if (answer.stream) {
        data.streamed = true;
        for (const std::string& chunk : answer.stream->chunks) data.streamBody += chunk;
        data.streamFailed = answer.stream->failAtRead.has_value();  // set up to fail
    }
    return data;
}

HostReply ErrorReply(uint32_t status, std::string error) {
    HostReply reply;
    reply.status = status;
    reply.error = std::move(error);
    return reply;
}

OwnedValue SessionEvent(const char* eventType, const std::optional<std::string>& phase) {
    std::vector<std::pair<std::string, OwnedValue>> members;
    members.emplace_back("uri", StringValue(kSessionUri));
    members.emplace_back("eventType", StringValue(eventType));
    OwnedValue data;
    if (phase) {
        std::vector<std::pair<std::string, OwnedValue>> session;
        session.emplace_back("phase", StringValue(*phase));
        data = StructureValue(std::move(session));
    }
    members.emplace_back("data", std::move(data));
    return StructureValue(std::move(members));
}

bool IsZero(const ApiReply& reply) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&reply);
    return std::all_of(bytes, bytes + sizeof reply, [](unsigned char b) { return b == 0; });
}

}  // namespace

bool MatchPathTemplate(std::string_view pathTemplate, std::string_view path) noexcept {
    return MatchTemplate(pathTemplate, StripQuery(path));
}

const ApiFunctionEntry* FindFunction(const ApiDescription* description, uint32_t method, std::string_view customMethod,
                                     std::string_view path) noexcept {
    if (description == nullptr || description->functions == nullptr) return nullptr;
    const ApiFunctionEntry* anyMethod = nullptr;
    const ApiFunctionEntry* pathOnly = nullptr;
    for (uint32_t i = 0; i < description->function_count; ++i) {
        const ApiFunctionEntry& entry = description->functions[i];
        if (entry.handler == nullptr || entry.path == nullptr || !MatchPathTemplate(entry.path, path)) continue;
        if (entry.method == method && (method != API_METHOD_CUSTOM || TextOr(entry.custom_method) == customMethod)) {
            return &entry;
        }
        if (entry.method == API_METHOD_ANY && anyMethod == nullptr) anyMethod = &entry;
        if (pathOnly == nullptr) pathOnly = &entry;
    }
    return anyMethod != nullptr ? anyMethod : pathOnly;
}

// ---- The host's state ------------------------------------------------------------------

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
    std::shared_ptr<ReplyCounters> replies = std::make_shared<ReplyCounters>();

    mutable std::mutex mutex;  // guards everything below; never held while calling the plugin
    std::map<std::string, SubscriptionInfo, std::less<>> subscriptions;
    std::deque<std::pair<std::string, OwnedValue>> pending;
    std::optional<std::string> phase{"None"};
    std::map<std::string, std::shared_ptr<RequestHandler>, std::less<>> handlers;
    std::shared_ptr<LogSink> logSink;
    std::shared_ptr<std::function<void()>> yieldHook;
    std::vector<std::unique_ptr<HostStream>> streams;

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

Host::Impl::Impl() {
    table.api.send_request = &SendRequest;
    table.api.reserved1 = &ReservedSlot;
    table.api.send_event = &SendEvent;
    table.api.subscribe = &Subscribe;
    table.api.unsubscribe = &Unsubscribe;
    table.api.reserved5 = &ReservedSlot;
    table.api.wait_yield = &WaitYield;
    table.api.wait_enter = &WaitEnter;
    table.api.wait_leave = &WaitLeave;
    table.api.log = &Log;
    table.magic = kMagic;
    table.impl = this;
}

size_t Host::Impl::Flush() {
    if (t_pluginDepth != 0) return 0;
    size_t delivered = 0;
    for (;;) {
        std::pair<std::string, OwnedValue> event;
        std::optional<SubscriptionInfo> subscriber;
        {
            std::lock_guard lock(mutex);
            if (pending.empty()) break;
            event = std::move(pending.front());
            pending.pop_front();
            auto it = subscriptions.find(event.first);
            if (it != subscriptions.end() && state == State::Initialized) subscriber = it->second;
        }
        Entry entry;
        entry.kind = EntryKind::Event;
        entry.text = event.first;
        entry.payload = event.second;
        entry.ok = subscriber.has_value();
        transcript.Append(std::move(entry));
        if (!subscriber) continue;
        HostEventRecord record{};
        record.key = event.first.c_str();
        record.payload = event.second.get();
        record.reserved = 0;
        record.context = subscriber->context;
        {
            PluginCall call;
            subscriber->callback(&record);
        }
        ++delivered;
    }
    return delivered;
}

HostReply Host::Impl::Answer(const RequestData& request) {
    std::string_view path = StripQuery(request.path);
    std::shared_ptr<RequestHandler> handler;
    {
        std::lock_guard lock(mutex);
        auto it = handlers.find(path);
        if (it != handlers.end()) handler = it->second;
    }
    if (handler) return (*handler)(request);

    if (path == kSessionUri && request.method == API_METHOD_GET) {
        std::lock_guard lock(mutex);
        if (!phase) return ErrorReply(404, "No gameflow session");
        HostReply reply;
        std::vector<std::pair<std::string, OwnedValue>> members;
        members.emplace_back("phase", StringValue(*phase));
        reply.body = StructureValue(std::move(members));
        return reply;
    }
    if (path == kSessionEventUri && request.method == API_METHOD_POST) {
        std::string_view event = request.arguments.empty() ? std::string_view{} : StringOf(request.arguments[0].value.get());
        if (event != kPreEndOfGameCompleted) return ErrorReply(400, "Unsupported gameflow event " + QuoteText(event));
        std::lock_guard lock(mutex);
        if (!phase) return ErrorReply(404, "No gameflow session");
        phase = "EndOfGame";
        Queue(std::string(kSessionEventKey), SessionEvent("Update", phase));
        HostReply reply;
        reply.status = kCompletionStatus;
        return reply;
    }
    return ErrorReply(404, "No handler for " + MethodName(request.method, request.customMethod) + ' ' + request.path);
}

void Host::Impl::FillReply(ApiReply& reply, const HostReply& answer) noexcept {
    reply.body = CopyHostValue(answer.body.get());
    reply.status = answer.status;
    if (answer.error) {
        reply.error = CopyText(*answer.error);
        reply.has_error = 1;
    }
    reply.content_type = CopyText(answer.contentType);
    if (!answer.headers.empty()) {
        reply.headers = static_cast<ApiHeader*>(std::calloc(answer.headers.size(), sizeof(ApiHeader)));
        if (reply.headers != nullptr) {
            reply.header_count = static_cast<uint32_t>(answer.headers.size());
            for (size_t i = 0; i < answer.headers.size(); ++i) {
                reply.headers[i].name = CopyText(answer.headers[i].name);
                reply.headers[i].value = CopyText(answer.headers[i].value);
            }
        }
    }
    reply.release = &ReleaseHostReply;
    LedgerAdd(reply.content_type, replies);
}

void KAV_ABI Host::Impl::SendRequest(const HostApi* api, ApiReply* reply, const ApiRequest* request) {
    Impl* self = From(api);
    if (self == nullptr || reply == nullptr) return;
    try {
        Entry entry;
        entry.kind = EntryKind::SendRequest;
        if (request != nullptr) entry.request = CopyRequest(*request);
        uint64_t sequence = self->transcript.Append(entry);

        HostReply answer;
        try {
            answer = request == nullptr ? ErrorReply(400, "No request") : self->Answer(entry.request);
        } catch (const std::exception& error) {
            answer = ErrorReply(500, std::string("Host handler failed: ") + error.what());
        }
        HostStream* stream = nullptr;
        if (answer.stream) {
            auto owned = std::make_unique<HostStream>();
            owned->chunks = answer.stream->chunks;
            owned->failAtRead = answer.stream->failAtRead;
            owned->readAnswer = answer.stream->readAnswer != 0 ? answer.stream->readAnswer : 1;
            stream = owned.get();
            std::lock_guard lock(self->mutex);
            self->streams.push_back(std::move(owned));
        }
        self->FillReply(*reply, answer);
        if (stream != nullptr) {
            reply->stream.read = &ReadHostStream;
            reply->stream.release = &CloseHostStream;
            reply->stream.source.size_hint = answer.stream->sizeHint;
            reply->stream.handle = stream;
        }
        entry.reply = DescribeReply(answer);
        self->transcript.Complete(sequence, std::move(entry));
    } catch (...) {
        // Out of memory before the reply was filled: a bare failure status.
        reply->status = 500;
    }
}

void KAV_ABI Host::Impl::SendEvent(const HostApi* api, const HostOutgoingEvent* event) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        Entry entry;
        entry.kind = EntryKind::SendEvent;
        if (event == nullptr) {
            entry.ok = false;
            entry.error = "No event";
        } else {
            entry.text = TextOr(event->name);
            entry.payload = OwnedValue::Copy(event->payload);
            entry.number = event->caller_value;
        }
        self->transcript.Append(std::move(entry));
    } catch (...) {
    }
}

uint8_t KAV_ABI Host::Impl::Subscribe(const HostApi* api, const char* key, uint32_t pluginId,
                                      HostEventCallback callback, void* context, uint32_t flag) {
    Impl* self = From(api);
    if (self == nullptr) return 0;
    try {
        bool taken = key != nullptr && callback != nullptr;
        if (taken) {
            std::lock_guard lock(self->mutex);
            self->subscriptions[key] = SubscriptionInfo{key, pluginId, flag, callback, context};
        }
        Entry entry;
        entry.kind = EntryKind::Subscribe;
        entry.text = TextOr(key);
        entry.pluginId = pluginId;
        entry.number = flag;
        entry.ok = taken;
        self->transcript.Append(std::move(entry));
        return taken ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void KAV_ABI Host::Impl::Unsubscribe(const HostApi* api, const char* key, uint32_t pluginId) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        bool removed = false;
        if (key != nullptr) {
            std::lock_guard lock(self->mutex);
            auto it = self->subscriptions.find(std::string_view(key));
            if (it != self->subscriptions.end() && it->second.pluginId == pluginId) {
                self->subscriptions.erase(it);
                removed = true;
            }
        }
        Entry entry;
        entry.kind = EntryKind::Unsubscribe;
        entry.text = TextOr(key);
        entry.pluginId = pluginId;
        entry.ok = removed;
        self->transcript.Append(std::move(entry));
    } catch (...) {
    }
}

void KAV_ABI Host::Impl::WaitYield(const HostApi* api) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        self->Record(EntryKind::WaitYield, {});
        std::shared_ptr<std::function<void()>> hook;
        {
            std::lock_guard lock(self->mutex);
            hook = self->yieldHook;
        }
        if (hook) (*hook)();
    } catch (...) {
    }
}

void KAV_ABI Host::Impl::WaitEnter(const HostApi* api, const char* label, uint32_t value) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        self->Record(EntryKind::WaitEnter, std::string(TextOr(label)), value);
    } catch (...) {
    }
}

void KAV_ABI Host::Impl::WaitLeave(const HostApi* api) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        self->Record(EntryKind::WaitLeave, {});
    } catch (...) {
    }
}

void KAV_ABI Host::Impl::Log(const HostApi* api, int32_t level, const char* message) {
    Impl* self = From(api);
    if (self == nullptr) return;
    try {
        self->Record(EntryKind::Log, std::string(TextOr(message)), level);
        std::shared_ptr<LogSink> sink;
        {
            std::lock_guard lock(self->mutex);
            sink = self->logSink;
        }
        if (sink) (*sink)(level, TextOr(message));
    } catch (...) {
    }
}

void Host::Impl::Call(const ApiFunctionEntry& function, const RequestData& request, ReplyData& reply) {
    std::vector<HostArgument> arguments(request.arguments.size());
    for (size_t i = 0; i < arguments.size(); ++i) {
        const Argument& argument = request.arguments[i];
        arguments[i].name = argument.name ? argument.name->c_str() : nullptr;
        arguments[i].value = argument.value.get();
    }
    std::vector<ApiHeader> headers(request.headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i].name = request.headers[i].name.c_str();
        headers[i].value = request.headers[i].value.c_str();
    }
    ApiRequest call{};
    call.method = request.method;
    call.path = request.path.c_str();
    call.arguments = arguments.empty() ? nullptr : arguments.data();
    call.argument_count = static_cast<uint32_t>(arguments.size());
    call.handler_context = function.handler_context;
    call.headers = headers.empty() ? nullptr : headers.data();
    call.header_count = static_cast<uint32_t>(headers.size());
    call.content_type = request.contentType.c_str();
    if (request.body) {
        call.body = reinterpret_cast<const uint8_t*>(request.body->c_str());  // NUL-terminated
        call.body_length = static_cast<uint32_t>(request.body->size());
    }
    call.request_context = request.requestContext;
    call.custom_method = request.method == API_METHOD_CUSTOM ? request.customMethod.c_str() : nullptr;

    ApiReply out{};
    PluginCall inside;
    function.handler(&out, &call);

    reply.delivered = true;
    reply.function = TextOr(function.name);
    reply.status = out.status;
    reply.hasError = out.has_error != 0;
    reply.error = TextOr(out.error);
    reply.responseFlag = out.response_flag;
    reply.responseMode = out.response_mode;
    reply.contentType = TextOr(out.content_type);
    if (out.headers != nullptr) {
        for (uint32_t i = 0; i < out.header_count; ++i) {
            reply.headers.push_back({std::string(TextOr(out.headers[i].name)), std::string(TextOr(out.headers[i].value))});
        }
    }
    reply.body = OwnedValue::Copy(out.body);

    if (out.stream.read != nullptr) {
        reply.streamed = true;
        std::array<char, kStreamBuffer> buffer;
        uint32_t emptyReads = 0;
        for (;;) {
            uint32_t size = kStreamBuffer;
            uint8_t more = 1;
            ++reply.streamReads;
            if (out.stream.read(out.stream.source.reader, buffer.data(), &size, &more) == 0) {
                reply.streamFailed = true;
                break;
            }
            size = std::min(size, kStreamBuffer);
            reply.streamBody.append(buffer.data(), size);
            if (more == 0) break;
            emptyReads = size == 0 ? emptyReads + 1 : 0;
            if (emptyReads >= kMaxEmptyReads) {
                reply.streamFailed = true;
                break;
            }
        }
    }
    if (out.stream.release != nullptr) out.stream.release(out.stream.handle);
    if (out.release != nullptr) {
        out.release(&out);
        reply.released = true;
        reply.releaseZeroed = IsZero(out);
    }
}

// ---- Host --------------------------------------------------------------------------------

Host::Host() : impl_(std::make_unique<Impl>()) {}

Host::~Host() { Unload(); }

bool Host::Load(const std::string& libraryPath, Version version) {
    Impl& s = *impl_;
    if (s.state != Impl::State::Empty) return s.Fail("A plugin is already loaded");
    Platform::LibraryHandle library = Platform::LoadLibrary(libraryPath.c_str());
    void* entry = library == nullptr ? nullptr : Platform::FindSymbol(library, KAV_PLUGIN_ENTRY_NAME);
    if (entry == nullptr) {
        std::string reason = library == nullptr ? Platform::LibraryError() : "";
        s.Fail(library == nullptr ? "Cannot load the plugin library '" + libraryPath + "'" + (reason.empty() ? "" : ": " + reason)
                                  : "The library '" + libraryPath + "' has no entry " KAV_PLUGIN_ENTRY_NAME);
        Platform::FreeLibrary(library);
        Entry failed;
        failed.kind = EntryKind::Load;
        failed.text = libraryPath;
        failed.ok = false;
        failed.error = s.lastError;
        s.transcript.Append(std::move(failed));
        return false;
    }
    s.library = library;
    if (!LoadEntry(reinterpret_cast<PluginEntryFn>(entry), version, libraryPath)) {
        Platform::FreeLibrary(s.library);
        s.library = nullptr;
        return false;
    }
    return true;
}

bool Host::LoadEntry(PluginEntryFn entry, Version version, std::string label) {
    Impl& s = *impl_;
    if (s.state != Impl::State::Empty) return s.Fail("A plugin is already loaded");
    s.record = PluginLoadRecord{};
    s.record.major = version.major;
    s.record.minor = version.minor;
    s.record.patch = version.patch;
    if (entry != nullptr) {
        PluginCall call;
        entry(&s.record);
    }
    Entry loaded;
    loaded.kind = EntryKind::Load;
    loaded.text = std::move(label);
    loaded.number = int64_t{version.major} * 10000 + version.minor * 100 + version.patch;
    if (entry == nullptr || s.record.callbacks == nullptr) {
        s.Fail(entry == nullptr ? "No plugin entry" : "The plugin left the load record without callbacks");
        loaded.ok = false;
        loaded.error = s.lastError;
        s.transcript.Append(std::move(loaded));
        s.record = PluginLoadRecord{};
        return false;
    }
    s.pluginName = TextOr(s.record.name);
    s.state = Impl::State::Loaded;
    s.transcript.Append(std::move(loaded));
    return true;
}

bool Host::Initialize(uint32_t pluginId) {
    Impl& s = *impl_;
    if (s.state != Impl::State::Loaded) {
        return s.Fail(s.state == Impl::State::Initialized ? "The plugin is already initialized" : "The plugin is not loaded");
    }
    if (s.record.callbacks->initialize == nullptr) return s.Fail("The plugin has no initialize callback");
    s.init.api = &s.table.api;
    s.init.plugin_id = pluginId;
    Entry entry;
    entry.kind = EntryKind::Initialize;
    entry.pluginId = pluginId;
    uint64_t sequence = s.transcript.Append(entry);
    s.state = Impl::State::Initialized;  // the plugin may be called back from inside initialize
    uint8_t answer;
    {
        PluginCall call;
        answer = s.record.callbacks->initialize(s.record.context, &s.init);
    }
    entry.ok = answer != 0;
    if (!entry.ok) s.Fail("The plugin's initialize answered 0");
    s.transcript.Complete(sequence, std::move(entry));
    s.Flush();
    return answer != 0;
}

void Host::Shutdown() {
    Impl& s = *impl_;
    Impl::State state = s.state;
    if (state != Impl::State::Loaded && state != Impl::State::Initialized) return;
    s.Record(EntryKind::Shutdown, {});
    s.state = Impl::State::ShutDown;  // no more deliveries
    if (s.record.callbacks->shutdown != nullptr) {
        PluginCall call;
        s.record.callbacks->shutdown(s.record.context);
    }
    std::lock_guard lock(s.mutex);
    s.pending.clear();
}

void Host::Unload() {
    Impl& s = *impl_;
    Shutdown();
    if (s.library != nullptr) Platform::FreeLibrary(s.library);
    s.library = nullptr;
    s.record = PluginLoadRecord{};
    s.pluginName.clear();
    s.state = Impl::State::Empty;
    std::lock_guard lock(s.mutex);
    s.subscriptions.clear();
}

std::optional<PluginMemoryStats> Host::MemoryStats() {
    Impl& s = *impl_;
    if (!Loaded() || s.record.callbacks->get_memory_stats == nullptr) return std::nullopt;
    PluginMemoryStats stats{};
    PluginCall call;
    s.record.callbacks->get_memory_stats(s.record.context, &stats);
    return stats;
}

bool Host::Loaded() const noexcept {
    Impl::State state = impl_->state;
    return state == Impl::State::Loaded || state == Impl::State::Initialized;
}

bool Host::Initialized() const noexcept { return impl_->state == Impl::State::Initialized; }

const std::string& Host::LastError() const noexcept { return impl_->lastError; }

const PluginLoadRecord& Host::Record() const noexcept { return impl_->record; }

const std::string& Host::PluginName() const noexcept { return impl_->pluginName; }

std::vector<const ApiFunctionEntry*> Host::Functions() const {
    std::vector<const ApiFunctionEntry*> functions;
    const ApiDescription* description = impl_->record.description;
    if (!Loaded() || description == nullptr || description->functions == nullptr) return functions;
    for (uint32_t i = 0; i < description->function_count; ++i) functions.push_back(&description->functions[i]);
    return functions;
}

ReplyData Host::Request(const RequestData& request) {
    Impl& s = *impl_;
    Entry entry;
    entry.kind = EntryKind::Request;
    entry.request = request;
    uint64_t sequence = s.transcript.Append(entry);
    ReplyData& reply = entry.reply;
    const ApiFunctionEntry* function =
        Initialized() ? FindFunction(s.record.description, request.method, request.customMethod, request.path) : nullptr;
    if (!Initialized()) {
        reply.status = 503;
        reply.error = "The plugin is not initialized";
    } else if (function == nullptr) {
        reply.status = 404;
        reply.error = "No function for " + MethodName(request.method, request.customMethod) + ' ' + request.path;
    } else {
        s.Call(*function, request, reply);
    }
    if (!reply.delivered) reply.hasError = true;
    ReplyData answer = reply;
    s.transcript.Complete(sequence, std::move(entry));
    s.Flush();
    return answer;
}

ReplyData Host::Request(uint32_t method, std::string path) {
    RequestData request;
    request.method = method;
    request.path = std::move(path);
    return Request(request);
}

ReplyData Host::RequestFunction(const ApiFunctionEntry& function, const RequestData& request) {
    Impl& s = *impl_;
    Entry entry;
    entry.kind = EntryKind::Request;
    entry.request = request;
    uint64_t sequence = s.transcript.Append(entry);
    ReplyData& reply = entry.reply;
    if (!Initialized() || function.handler == nullptr) {
        reply.status = 503;
        reply.error = "The plugin is not initialized";
        reply.hasError = true;
    } else {
        s.Call(function, request, reply);
    }
    ReplyData answer = reply;
    s.transcript.Complete(sequence, std::move(entry));
    s.Flush();
    return answer;
}

void Host::PublishEvent(std::string key, OwnedValue payload) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->Queue(std::move(key), std::move(payload));
    }
    impl_->Flush();
}

void Host::SetSessionPhase(std::string phase) {
    {
        std::lock_guard lock(impl_->mutex);
        const char* eventType = impl_->phase ? "Update" : "Create";
        impl_->phase = std::move(phase);
        impl_->Queue(std::string(kSessionEventKey), SessionEvent(eventType, impl_->phase));
    }
    impl_->Flush();
}

void Host::DeleteSession() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->phase.reset();
        impl_->Queue(std::string(kSessionEventKey), SessionEvent("Delete", std::nullopt));
    }
    impl_->Flush();
}

std::optional<std::string> Host::SessionPhase() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->phase;
}

size_t Host::Pump() { return impl_->Flush(); }

void Host::SetRequestHandler(std::string path, RequestHandler handler) {
    std::lock_guard lock(impl_->mutex);
    if (handler) {
        impl_->handlers[std::move(path)] = std::make_shared<RequestHandler>(std::move(handler));
    } else {
        impl_->handlers.erase(path);
    }
}

void Host::SetLogSink(LogSink sink) {
    std::lock_guard lock(impl_->mutex);
    impl_->logSink = sink ? std::make_shared<LogSink>(std::move(sink)) : nullptr;
}

void Host::SetYieldHook(std::function<void()> hook) {
    std::lock_guard lock(impl_->mutex);
    impl_->yieldHook = hook ? std::make_shared<std::function<void()>>(std::move(hook)) : nullptr;
}

Transcript& Host::GetTranscript() noexcept { return impl_->transcript; }

std::vector<SubscriptionInfo> Host::Subscriptions() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<SubscriptionInfo> out;
    for (const auto& [key, info] : impl_->subscriptions) out.push_back(info);
    return out;
}

std::optional<SubscriptionInfo> Host::FindSubscription(std::string_view key) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->subscriptions.find(key);
    if (it == impl_->subscriptions.end()) return std::nullopt;
    return it->second;
}

StreamStats Host::HostStreamStats() const {
    std::lock_guard lock(impl_->mutex);
    StreamStats stats;
    for (const auto& stream : impl_->streams) {
        ++stats.opened;
        uint32_t closes = stream->closes;
        if (closes != 0) ++stats.closed;
        if (closes > 1) stats.extraCloses += closes - 1;
    }
    return stats;
}

int64_t Host::OutstandingHostReplies() const noexcept { return impl_->replies->handed - impl_->replies->released; }

const HostApi& Host::Api() const noexcept { return impl_->table.api; }

}  // namespace Vemi::Host
