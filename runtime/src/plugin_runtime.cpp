#include <kav/runtime/plugin_runtime.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <kav/api/route.h>
#include <kav/binding/value_context.h>
#include <kav/formats/json_reader.h>
#include <kav/logging/diagnostics.h>
#include <kav/logging/event_tracing.h>
#include <kav/logging/logger.h>
#include <kav/logging/positional_format.h>
#include <kav/runtime/memory.h>

namespace Vemi {

namespace {

PluginRuntime* RuntimeOf(void* context) { return static_cast<PluginRuntime*>(context); }

uint8_t InitializeCallback(void* context, const HostInit* init) noexcept {
    try {
        return context != nullptr && RuntimeOf(context)->Initialize(init) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void ShutdownCallback(void* context) noexcept { PluginRuntime::Shutdown(RuntimeOf(context)); }

void GetMemoryStatsCallback(void*, PluginMemoryStats* out) noexcept {
    // The host asks now and then, also while the plugin is idle: a point to let the
    // value store's idle memory decay without a thread of our own.
    Binding::PageSupply::Maintain();
    if (out == nullptr) return;
    Memory::Counters c = Memory::Snapshot();
    *out = PluginMemoryStats{c.peakBytes, c.liveAllocationsAtPeak, c.bytesAllocated, c.allocations,
                             c.bytesFreed,  c.frees,                 0};
}

LogTargetInterface* BuiltinTarget(LoggingInterface* logging, int which) {
    switch (which) {
        case 0: return logging->StdOutTarget(logging);
        case 1: return logging->StdErrTarget(logging);
        default: return logging->DebuggerConsoleTarget(logging);
    }
}

constexpr size_t kStreamChunk = 4096;
// A larger body grows as it is read.
constexpr size_t kMaxStreamReserve = 64 * 1024;
constexpr const char* kStreamReadError = "Stream read error";
constexpr const char* kStreamOutOfMemory = "Out of memory while reading the stream";

}  // namespace

PluginRuntime::PluginRuntime() {
    // The host's call, outside the loader lock: the place to reach the tracing library.
    (void)EventTracing::Acquire();
    LoggingInterface* logging = GetLoggingInterface();
    logging->AddRef(logging);
    callbacks_.initialize = &InitializeCallback;
    callbacks_.shutdown = &ShutdownCallback;
    callbacks_.get_memory_stats = &GetMemoryStatsCallback;
    Registry().Reset();
}

PluginRuntime::~PluginRuntime() {
    ClearEndpoints();
    logTarget_.reset();
    LoggingInterface* logging = GetLoggingInterface();
    logging->Release(logging);
    EventTracing::Release();
}

// ---- Load, Initialize, Shutdown ------------------------------------------------------

void PluginRuntime::Load(PluginLoadRecord& record, const char* shortName) {
    const ApiVersion host(record.major, record.minor, record.patch);
    if (!IsCompatible(host, kPluginApiVersion)) {
        std::string message = PositionalFormat(
            "%1 which supports plugin API %2 is not compatible with core's plugin API %3", shortName,
            kPluginApiVersion, host);
        AssertReport("ALE-EECF0606", message.c_str(), "", 0, "");
        std::abort();
    }
    coreVersion_ = host;
    shortName_ = shortName;
    recordName_ = shortName;
    names_ = MakePluginNames(shortName, kBackendPlugin);
    apiTags_ = {"Plugins", std::string("Plugin ") + shortName};
    SetApiNamePrefix(Api::DeriveFunctionName("", shortName));
    RegisterRuntimeTypes(Registry());
    OnLoad();
    const ApiDescription* description = BuildApiDescription();
    record.major = kPluginApiVersion.major;
    record.minor = kPluginApiVersion.minor;
    record.patch = kPluginApiVersion.patch;
    record.callbacks = &callbacks_;
    record.context = this;
    record.name = recordName_.c_str();
    record.description = description;
}

bool PluginRuntime::Initialize(const HostInit* init) {
    hostInit_ = init;
    const HostApi* api = init != nullptr ? init->api : nullptr;
    LoggingInterface* logging = GetLoggingInterface();
    if (logging->FindTarget(logging, "PluginLogTarget") == nullptr) {
        for (int which = 0; which < 3; ++which) {
            LogTargetInterface* target = BuiltinTarget(logging, which);
            if (target != nullptr) target->Unregister(target);
        }
        logging->SetMinimumLevel(logging, kLogOkay);
        logging->SetDroppedCategories(logging, kCategoryXTR);
        logTarget_.reset();
        logTarget_ = std::make_unique<PluginLogTarget>(api);
        Configure(*logTarget_, LogTargetSettings{logging->GetMinimumLevel(logging), 0, 0, kHostLineFormat});
    }
    std::string userAgent = PositionalFormat("VemiClient/%1 (%2)", coreVersion_, shortName_);
    Attach(init != nullptr ? init->plugin_id : 0, shortName_, std::move(userAgent));
    return OnInitialized();
}

void PluginRuntime::Shutdown(PluginRuntime* runtime) noexcept {
    if (runtime == nullptr) return;
    try {
        runtime->Teardown();
    } catch (...) {
    }
    delete runtime;
    // Trees are gone with the plugin: what the value store kept for the next one goes back.
    Binding::ValueContext::ReleaseCached();
    Binding::PageSupply::ReleaseReserve();
}

void RunLoadSequence(PluginRuntime* runtime, PluginLoadRecord* record, const char* shortName) noexcept {
    if (runtime == nullptr) return;
    if (record == nullptr) {
        delete runtime;  // the host could never reach it, nor shut it down
        return;
    }
    try {
        runtime->Load(*record, shortName);
    } catch (...) {
        // Out of memory while loading: the host sees no callbacks.
        record->callbacks = nullptr;
        record->context = nullptr;
        delete runtime;
    }
}

// ---- Host connection -----------------------------------------------------------------

void PluginRuntime::SendRequest(ApiReply* reply, const ApiRequest* request) {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->send_request != nullptr)
        hostInit_->api->send_request(hostInit_->api, reply, request);
}

void PluginRuntime::HostSlot1() {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->reserved1 != nullptr)
        hostInit_->api->reserved1();
}

void PluginRuntime::SendEvent(const HostOutgoingEvent* event) {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->send_event != nullptr)
        hostInit_->api->send_event(hostInit_->api, event);
}

uint8_t PluginRuntime::SubscribeHost(const char* key, uint32_t pluginId, HostEventCallback callback, void* context,
                                     uint32_t flag) {
    if (hostInit_ == nullptr || hostInit_->api == nullptr || hostInit_->api->subscribe == nullptr) return 0;
    return hostInit_->api->subscribe(hostInit_->api, key, pluginId, callback, context, flag);
}

void PluginRuntime::UnsubscribeHost(const char* key, uint32_t pluginId) {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->unsubscribe != nullptr)
        hostInit_->api->unsubscribe(hostInit_->api, key, pluginId);
}

void PluginRuntime::HostSlot5() {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->reserved5 != nullptr)
        hostInit_->api->reserved5();
}

void PluginRuntime::WaitYield() {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->wait_yield != nullptr)
        hostInit_->api->wait_yield(hostInit_->api);
}

void PluginRuntime::WaitEnter(const char* label, uint32_t value) {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->wait_enter != nullptr)
        hostInit_->api->wait_enter(hostInit_->api, label, value);
}

void PluginRuntime::WaitLeave() {
    if (hostInit_ != nullptr && hostInit_->api != nullptr && hostInit_->api->wait_leave != nullptr)
        hostInit_->api->wait_leave(hostInit_->api);
}

// ---- Subscriptions and host events ----------------------------------------------------

void PluginRuntime::Subscribe(const std::string& uri) {
    if (HostTable() == nullptr) return;  // before Initialize: counted, it would never reach the host
    const std::string key = EventKeyForUri(uri);
    int32_t count;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        count = ++subscriptionCounts_[key];
    }
    if (count != 1) return;
    Trace("%s: Subscribing to event: %s", shortName_.c_str(), key.c_str());
    // A refused subscription leaves nothing to undo; the resource simply stays unheard.
    (void)SubscribeToEvent<PluginResourceEvent>(
        key, [this](const PluginResourceEvent& event) { DispatchResourceEvent(event); }, HOST_SUBSCRIBE_RESOURCE);
}

void PluginRuntime::Unsubscribe(const std::string& uri) {
    const std::string key = EventKeyForUri(uri);
    int32_t count;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        count = --subscriptionCounts_[key];
    }
    if (count != 0) return;
    UnsubscribeHost(key.c_str(), pluginId_);
    std::shared_ptr<EventHandler> dropped;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        auto it = eventHandlers_.find(key);
        if (it != eventHandlers_.end()) {
            dropped = std::move(it->second);
            eventHandlers_.erase(it);
        }
    }
    Trace("%s: Unsubscribing to event: %s", shortName_.c_str(), key.c_str());
}

int32_t PluginRuntime::SubscriptionCount(const std::string& key) {
    std::lock_guard<std::mutex> guard(tablesMutex_);
    auto it = subscriptionCounts_.find(key);
    return it == subscriptionCounts_.end() ? 0 : it->second;
}

void PluginRuntime::StoreEventHandler(const std::string& key, std::shared_ptr<EventHandler> handler) {
    std::shared_ptr<EventHandler> previous;
    std::lock_guard<std::mutex> guard(tablesMutex_);
    previous = std::exchange(eventHandlers_[key], std::move(handler));
}

void PluginRuntime::OnHostEvent(const HostEventRecord* record) {
    if (record == nullptr || record->context == nullptr || record->key == nullptr) return;
    auto* runtime = static_cast<PluginRuntime*>(record->context);
    try {
        std::shared_ptr<EventHandler> handler;
        {
            std::lock_guard<std::mutex> guard(runtime->tablesMutex_);
            auto it = runtime->eventHandlers_.find(record->key);
            if (it == runtime->eventHandlers_.end()) return;
            handler = it->second;
        }
        handler->Deliver(*runtime, *record);
    } catch (...) {
        // Nothing may cross back into the host.
    }
}

void PluginRuntime::DispatchResourceEvent(const PluginResourceEvent& incoming) {
    // Only a uri without its leading "/" needs a copy of the event.
    const bool rooted = !incoming.uri.empty() && incoming.uri[0] == '/';
    PluginResourceEvent normalised;
    if (!rooted) {
        normalised.uri = "/" + incoming.uri;
        normalised.eventType = incoming.eventType;
        normalised.data = incoming.data;
    }
    const PluginResourceEvent& event = rooted ? incoming : normalised;
    std::vector<std::function<void(const PluginResourceEvent&)>> observers;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        auto exact = exactObservers_.find(event.uri);
        if (exact != exactObservers_.end()) observers.push_back(exact->second);
        for (const auto& [pattern, observer] : patternObservers_) {
            if (UriPatternMatches(pattern, event.uri)) observers.push_back(observer);
        }
    }
    for (const auto& observer : observers) observer(event);
}

void PluginRuntime::Teardown() {
    std::vector<std::string> keys;
    std::map<std::string, std::shared_ptr<EventHandler>> handlers;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        for (const auto& entry : eventHandlers_) keys.push_back(entry.first);
    }
    for (const std::string& key : keys) UnsubscribeHost(key.c_str(), pluginId_);
    decltype(exactObservers_) exact, patterns;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        handlers.swap(eventHandlers_);
        exact.swap(exactObservers_);
        patterns.swap(patternObservers_);
        subscriptionCounts_.clear();
    }
    std::lock_guard<std::mutex> guard(proxyMutex_);
    pendingRequests_.clear();
    asyncHandlers_.clear();
    receivedResponses_.clear();
}

// ---- Service proxy -------------------------------------------------------------------

void PluginRuntime::Attach(uint32_t pluginId, std::string shortName, std::string userAgent) {
    pluginId_ = pluginId;
    shortName_ = std::move(shortName);
    userAgent_ = std::move(userAgent);
    telemetry_ = std::make_unique<TelemetrySink>(*this);
    // A refused subscription leaves nothing to undo: those replies just go unheard.
    (void)SubscribeToEvent<PluginServiceProxyResponse>(
        "OnServiceProxyUuidEvent", [this](const PluginServiceProxyResponse& r) { OnServiceProxyUuid(r); },
        HOST_SUBSCRIBE_SERVICE_PROXY);
    (void)SubscribeToEvent<PluginServiceProxyResponse>(
        "OnServiceProxyMethodEvent", [this](const PluginServiceProxyResponse& r) { OnServiceProxyMethod(r); },
        HOST_SUBSCRIBE_SERVICE_PROXY);
    (void)SubscribeToEvent<PluginServiceProxyResponse>(
        "OnServiceProxyAsyncEvent", [this](const PluginServiceProxyResponse& r) { OnServiceProxyAsync(r); },
        HOST_SUBSCRIBE_SERVICE_PROXY);
}

void PluginRuntime::AddPendingServiceProxyRequest(const std::string& key, ServiceProxyHandler handler) {
    std::lock_guard<std::mutex> guard(proxyMutex_);
    pendingRequests_[key] = std::move(handler);
}

void PluginRuntime::SetAsyncServiceProxyHandler(const std::string& key, ServiceProxyHandler handler) {
    std::lock_guard<std::mutex> guard(proxyMutex_);
    asyncHandlers_[key] = std::move(handler);
}

size_t PluginRuntime::ReceivedServiceProxyResponses() {
    std::lock_guard<std::mutex> guard(proxyMutex_);
    return receivedResponses_.size();
}

void PluginRuntime::OnServiceProxyUuid(const PluginServiceProxyResponse& response) {
    {
        std::lock_guard<std::mutex> guard(proxyMutex_);
        receivedResponses_[response.uuid] = response;
    }
    Fulfil();
}

void PluginRuntime::OnServiceProxyMethod(const PluginServiceProxyResponse& response) {
    std::string key = PositionalFormat("%1.%2", response.serviceName, response.methodName);
    {
        std::lock_guard<std::mutex> guard(proxyMutex_);
        receivedResponses_[key] = response;
    }
    Fulfil();
}

void PluginRuntime::OnServiceProxyAsync(const PluginServiceProxyResponse& response) {
    std::string key = PositionalFormat("%1.%2", response.serviceName, response.methodName);
    std::lock_guard<std::mutex> guard(proxyMutex_);
    auto it = asyncHandlers_.find(key);
    if (it == asyncHandlers_.end()) {
        Log(kLogError, kCategoryDBG, "%s: Could not find registered handler for async service proxy event %s",
            shortName_.c_str(), key.c_str());
        return;
    }
    it->second(response);
}

void PluginRuntime::Fulfil() {
    std::lock_guard<std::mutex> guard(proxyMutex_);
    for (auto received = receivedResponses_.begin(); received != receivedResponses_.end(); ++received) {
        auto pending = pendingRequests_.find(received->first);
        if (pending == pendingRequests_.end()) continue;
        pending->second(received->second);
        Log(kLogAlways, kCategoryDBG, "%s: Fulfilled service proxy request: %s", shortName_.c_str(),
            received->first.c_str());
        pendingRequests_.erase(pending);
        receivedResponses_.erase(received);
        return;
    }
}

// ---- Requests --------------------------------------------------------------------------

std::optional<ApiError> PluginRuntime::Exchange(Api::HttpMethod method, std::string_view url,
                                                std::vector<HostArgument>& arguments, Binding::BindingValue* body) {
    const std::string path(url);
    ApiRequest request{};
    const auto code = static_cast<uint32_t>(method);
    request.method = code >= 1 && code <= 8 ? code : 0;
    request.path = path.c_str();
    request.arguments = arguments.empty() ? nullptr : arguments.data();
    request.argument_count = static_cast<uint32_t>(arguments.size());
    request.request_context = pluginId_;
    ApiReply reply{};
    // The host's reply is released exactly once, also when reading it throws.
    struct ReplyRelease {
        ApiReply& reply;
        ~ReplyRelease() {
            if (reply.release != nullptr) reply.release(&reply);
        }
    } release{reply};
    SendRequest(&reply, &request);
    for (HostArgument& a : arguments) Binding::ReleaseHostValue(a.value);

    std::optional<ApiError> error;
    if (reply.error != nullptr) {
        error = MakeRequestError(kErrorResponse, method, url, reply.error, reply.status);
    } else if (body != nullptr) {
        if (reply.stream.read != nullptr) {
            std::string text;
            if (const char* failure = DrainStream(reply.stream, text)) {
                error = MakeRequestError(kErrorReadingStream, method, url, failure, 0);
            } else {
                Binding::BindingResult parsed = Formats::DecodeJson(text.data(), text.size());
                if (!parsed.Ok()) {
                    error = MakeRequestError(kErrorReadingStream, method, url, parsed.ErrorMessage(), 0);
                } else {
                    *body = std::move(parsed.value);
                }
            }
        } else {
            Binding::BindingResult converted;
            Binding::ConvertHostValue(converted, converted.value, reply.body, "<result>");
            if (!converted.Ok()) {
                error = MakeRequestError(kErrorConvertingResponse, method, url, converted.ErrorMessage(), 0);
            } else {
                *body = std::move(converted.value);
            }
        }
    }
    return error;
}

const char* PluginRuntime::DrainStream(const ApiReplyStream& stream, std::string& text) noexcept {
    const char* failure = nullptr;
    try {
        // The hint is the host's guess: the bytes read decide the size.
        text.reserve(std::min<size_t>(stream.source.size_hint, kMaxStreamReserve));
        char buffer[kStreamChunk];
        uint8_t more = 1;
        while (more != 0) {
            uint32_t size = kStreamChunk;
            more = 1;
            const uint32_t answer = stream.read(stream.handle, buffer, &size, &more);
            if (answer == 0) {
                failure = kStreamReadError;
                break;
            }
            if (size > kStreamChunk) size = kStreamChunk;  // never trust a count beyond the buffer
            text.append(buffer, size);
            if (size < kStreamChunk && more != 0) {
                WaitEnter("Wait: yield", 0);
                WaitYield();
                WaitLeave();
            }
        }
    } catch (const std::bad_alloc&) {
        failure = kStreamOutOfMemory;
    } catch (...) {
        failure = kStreamReadError;
    }
    if (failure != nullptr) std::string().swap(text);
    if (stream.release != nullptr) stream.release(stream.handle);
    return failure;
}

}  // namespace Vemi
