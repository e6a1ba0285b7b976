// Host: the plugin's lifecycle, the requests to it and the delivery of queued events.
#include <kav/host/host.h>

#include "host_impl.h"

#include <algorithm>

namespace Vemi::Host {

thread_local int detail::t_pluginDepth = 0;

using namespace detail;

// Outside any plugin call on this thread: each queued event to its subscriber, in order.
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

// ---- Host --------------------------------------------------------------------------------

std::vector<std::string> EntryNames(std::string_view libraryPath, std::string_view entry) {
    if (!entry.empty()) return {std::string(entry)};
    std::string_view file = libraryPath.substr(libraryPath.find_last_of("/\\") + 1);
    file = file.substr(0, file.find('.'));
    auto name = [](std::string_view stem) {
        std::string symbol = "load_";
        for (char c : stem) {
            bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            symbol += word ? c : '_';
        }
        return symbol;
    };
    std::vector<std::string> names;
    auto add = [&](std::string symbol) {
        if (std::find(names.begin(), names.end(), symbol) == names.end()) names.push_back(std::move(symbol));
    };
    if (file.starts_with("lib") && file.size() > 3) add(name(file.substr(3)));
    if (!file.empty()) add(name(file));
    add(KAV_PLUGIN_ENTRY_NAME);
    return names;
}

Host::Host() : impl_(std::make_unique<Impl>()) {}

Host::~Host() { Unload(); }

bool Host::Load(const std::string& libraryPath, Version version, std::string_view entryName) {
    Impl& s = *impl_;
    if (s.state != Impl::State::Empty) return s.Fail("A plugin is already loaded");
    Platform::LibraryHandle library = Platform::LoadLibrary(libraryPath.c_str());
    void* entry = nullptr;
    std::string tried;
    for (const std::string& name : EntryNames(libraryPath, entryName)) {
        if (library == nullptr || entry != nullptr) break;
        entry = Platform::FindSymbol(library, name.c_str());
        tried += (tried.empty() ? "" : ", ") + name;
    }
    if (entry == nullptr) {
        std::string reason = library == nullptr ? Platform::LibraryError() : "";
        s.Fail(library == nullptr ? "Cannot load the plugin library '" + libraryPath + "'" + (reason.empty() ? "" : ": " + reason)
                                  : "The library '" + libraryPath + "' has no plugin entry (tried " + tried + ")");
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
    uint64_t sequence = s.BeginRequest(request);
    ReplyData reply;
    const ApiFunctionEntry* function =
        Initialized() ? FindFunction(s.record.description, request.method, request.customMethod, request.path) : nullptr;
    if (!Initialized()) {
        reply.status = 503;
        reply.error = "The plugin is not initialized";
    } else if (function == nullptr) {
        reply.status = 404;
        // The host's own answer: no function of the plugin has this path.
        reply.error = "No resource at " + request.path.substr(0, request.path.find('?'));
    } else {
        s.Call(*function, request, reply);
    }
    if (!reply.delivered) reply.hasError = true;
    if (sequence != 0) s.transcript.CompleteReply(sequence, reply);
    s.Flush();
    return reply;
}

ReplyData Host::Request(uint32_t method, std::string path) {
    RequestData request;
    request.method = method;
    request.path = std::move(path);
    return Request(request);
}

ReplyData Host::RequestFunction(const ApiFunctionEntry& function, const RequestData& request) {
    Impl& s = *impl_;
    uint64_t sequence = s.BeginRequest(request);
    ReplyData reply;
    if (!Initialized() || function.handler == nullptr) {
        reply.status = 503;
        reply.error = "The plugin is not initialized";
        reply.hasError = true;
    } else {
        s.Call(function, request, reply);
    }
    if (sequence != 0) s.transcript.CompleteReply(sequence, reply);
    s.Flush();
    return reply;
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

void Host::StubRequest(uint32_t method, std::string path, std::optional<HostReply> reply) {
    std::lock_guard lock(impl_->mutex);
    std::pair<uint32_t, std::string> key{method, std::string(StripQuery(path))};
    if (reply) {
        impl_->stubs[std::move(key)] = std::move(*reply);
    } else {
        impl_->stubs.erase(key);
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
