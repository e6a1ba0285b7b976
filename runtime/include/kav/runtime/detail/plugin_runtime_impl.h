// The definitions of PluginRuntime's templates: typed event handlers, outbound
// requests and events, resource and event subscriptions, telemetry. Only
// plugin_runtime.h includes this, after the class.
#pragma once

#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <kav/binding/host_value.h>
#include <kav/binding/typed.h>
#include <kav/logging/log.h>
#include <kav/runtime/event_keys.h>
#include <kav/runtime/plugin_runtime.h>

namespace Vemi {
namespace detail {

template <class T>
class TypedEventHandler final : public EventHandler {
public:
    explicit TypedEventHandler(std::function<void(const T&)> handler) : handler_(std::move(handler)) {}

    void Deliver(PluginRuntime& runtime, const HostEventRecord& record) override {
        const char* key = record.key != nullptr ? record.key : "";
        Binding::BindingResult value;
        Binding::ConvertHostValue(value, value.value, record.payload, "<result>");
        if (!value.Ok()) {
            Trace("%s: Couldn't convert payload %s for event %s: %s", runtime.shortName_.c_str(),
                  Binding::StaticType::Name<Resource>(), key, value.ErrorMessage());
            return;
        }
        T native{};
        Binding::BindingResult converted;
        Binding::ToNative(converted, native, value.value, "<result>", runtime.Registry());
        if (!converted.Ok()) {
            Trace("%s: Couldn't convert payload %s for event %s: %s", runtime.shortName_.c_str(),
                  Binding::StaticType::Name<Resource>(), key, converted.ErrorMessage());
            return;
        }
        Trace("%s: Handling event %s", runtime.shortName_.c_str(), key);
        handler_(native);
    }

private:
    std::function<void(const T&)> handler_;
};

template <class T>
inline constexpr bool kIsText = std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view> ||
                                std::is_same_v<std::decay_t<T>, const char*> || std::is_same_v<std::decay_t<T>, char*>;

// A body argument: a text becomes a string value, anything else goes by its type.
template <class T>
void BodyValue(Binding::BindingResult& result, const T& argument, const Binding::TypeRegistry& registry) {
    if constexpr (kIsText<T>) {
        result.value.SetString(std::string_view(argument));
    } else {
        Binding::ToValue(result, argument, registry);
    }
}

template <class T>
concept HasUri = requires(const T& value) {
    { value.uri } -> std::convertible_to<std::string_view>;
};

}  // namespace detail

template <class R, class... Args>
Outcome<R> PluginRuntime::Request(Api::HttpMethod method, std::string_view url, const Args&... body) {
    // Nothing could be sent, and a reply nobody filled would read as a success.
    if (HostTable() == nullptr || HostTable()->send_request == nullptr) return ApiError{0, kNotInitialized, {}};
    std::vector<HostArgument> arguments;
    arguments.reserve(sizeof...(Args));
    std::optional<std::string> failure;
    auto convert = [&](const auto& argument) {
        if (failure) return;
        Binding::BindingResult value;
        detail::BodyValue(value, argument, Registry());
        HostArgument host{};
        if (value.Ok()) Binding::ToHostValue(value, host.value, value.value, &Registry());
        if (!value.Ok()) {
            failure = value.ErrorMessage();
            return;
        }
        arguments.push_back(host);
    };
    (convert(body), ...);
    (void)convert;
    if (failure) {
        for (HostArgument& a : arguments) Binding::ReleaseHostValue(a.value);
        return MakeRequestError(kErrorConvertingParameters, method, url, *failure, 400);
    }
    if constexpr (std::is_void_v<R>) {
        std::optional<ApiError> error = Exchange(method, url, arguments, nullptr);
        if (error) return std::move(*error);
        return {};
    } else {
        Binding::BindingValue value;
        std::optional<ApiError> error = Exchange(method, url, arguments, &value);
        if (error) return std::move(*error);
        R native{};
        Binding::BindingResult converted;
        Binding::ToNative(converted, native, value, "<result>", Registry());
        if (!converted.Ok()) {
            return MakeRequestError(kErrorConvertingResponse, method, url, converted.ErrorMessage(), 0);
        }
        return Outcome<R>(std::move(native));
    }
}

template <class T>
bool PluginRuntime::DeclareEvent(std::string_view name, std::string_view description) {
    const Binding::TypeDescriptor* payload = Binding::RegisterType<T>(Registry(), ApiNamePrefix());
    bool existed = false;
    Binding::EventRecord* event = Registry().RegisterEvent(name, payload, &existed);
    if (event == nullptr || existed) return false;
    event->description = description;
    event->tags = ApiTags();
    return true;
}

template <class T>
Outcome<void> PluginRuntime::EmitEvent(std::string_view eventName, const T& payload, uint32_t callerValue) {
    if (HostTable() == nullptr || HostTable()->send_event == nullptr) return ApiError{0, kNotInitialized, {}};
    Binding::BindingResult value;
    Binding::ToValue(value, payload, Registry());
    if (!value.Ok()) return ApiError{0, value.ErrorMessage(), {}};
    std::string dispatchName;
    if constexpr (detail::HasUri<T>) {
        dispatchName = EventKeyForUri(payload.uri);
    } else {
        dispatchName = std::string(eventName);
    }
    Trace("%s: Sending event: %s", shortName_.c_str(), dispatchName.c_str());
    HostOutgoingEvent event{};
    Binding::BindingResult converted;
    Binding::ToHostValue(converted, event.payload, value.value, &Registry());
    if (!converted.Ok()) return ApiError{0, converted.ErrorMessage(), {}};
    event.name = dispatchName.c_str();
    event.caller_value = callerValue;
    SendEvent(&event);
    const std::string name(eventName);
    if (name != dispatchName) {
        event.name = name.c_str();
        SendEvent(&event);
    }
    Binding::ReleaseHostValue(event.payload);
    return {};
}

template <class T>
Outcome<void> PluginRuntime::SubscribeToResource(const std::string& uri,
                                                 std::function<void(const ResourceUpdate<T>&)> handler) {
    // Stored now, it would never reach the host: the count would already stand at 1.
    if (HostTable() == nullptr || HostTable()->subscribe == nullptr) return ApiError{0, kNotInitialized, {}};
    auto resourceHandler = [this, handler = std::move(handler)](const PluginResourceEvent& event) {
        ResourceUpdate<T> update;
        update.uri = event.uri;
        update.eventType = event.eventType;
        if (event.eventType != PluginResourceEventType::Delete) {
            Binding::BindingResult converted;
            Binding::ToNative(converted, update.data, event.data, "<value>", Registry());
            if (!converted.Ok()) {
                Trace("Couldn't convert resource %s to C++ while handling update for URL: %s",
                      Binding::StaticType::Name<T>(), event.uri.c_str());
                return;
            }
        }
        handler(update);
    };
    const bool pattern = uri.find('*') != std::string::npos;
    std::function<void(const PluginResourceEvent&)> stored;
    {
        std::lock_guard<std::mutex> guard(tablesMutex_);
        auto& table = pattern ? patternObservers_ : exactObservers_;
        table[uri] = resourceHandler;
        stored = table[uri];
    }
    Subscribe(uri);
    if (pattern) return {};
    Outcome<Binding::BindingValue> fetched = Request<Binding::BindingValue>(Api::HttpMethod::Get, uri);
    if (!fetched.Ok()) return {};
    PluginResourceEvent event;
    event.uri = uri;
    event.eventType = PluginResourceEventType::Create;
    event.data = std::move(fetched.Value());
    stored(event);
    return {};
}

template <class T>
Outcome<uint8_t> PluginRuntime::SubscribeToEvent(const std::string& eventName, std::function<void(const T&)> handler,
                                                 uint32_t flag) {
    if (HostTable() == nullptr || HostTable()->subscribe == nullptr) return ApiError{0, kNotInitialized, {}};
    StoreEventHandler(eventName, std::make_shared<detail::TypedEventHandler<T>>(std::move(handler)));
    return SubscribeHost(eventName.c_str(), pluginId_, &PluginRuntime::OnHostEvent, this, flag);
}

template <class T>
std::future<Outcome<void>> TelemetrySink::SendTelemetry(std::string_view eventName, const T& payload) {
    std::promise<Outcome<void>> promise;
    std::string url = "/telemetry/v1/events/" + std::string(eventName);
    promise.set_value(runtime_.Request<void>(Api::HttpMethod::Post, url, payload));
    return promise.get_future();
}

}  // namespace Vemi
