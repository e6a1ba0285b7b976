// The HostApi table the plugin calls: each slot finds its host through the table,
// records the call and never lets an exception reach the plugin.
#include "host_impl.h"

namespace Vemi::Host {

using namespace detail;

namespace {

void KAV_ABI ReservedSlot(void) {}

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

}  // namespace

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

}  // namespace Vemi::Host
