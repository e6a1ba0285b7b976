// The object that binds a plugin to the host: load and version check, the three
// callbacks, host events and subscriptions, typed outbound requests and events, and
// service-proxy replies. A plugin derives from PluginRuntime and overrides OnLoad
// (register types and endpoints) and OnInitialized (subscribe).
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <kav/api/api_context.h>
#include <kav/binding/host_value.h>
#include <kav/binding/to_native.h>
#include <kav/binding/to_value.h>
#include <kav/binding/typed.h>
#include <kav/host_abi.h>
#include <kav/logging/log.h>
#include <kav/runtime/event_keys.h>
#include <kav/runtime/outcome.h>
#include <kav/runtime/plugin_info.h>
#include <kav/runtime/plugin_log_target.h>
#include <kav/runtime/runtime_types.h>

namespace Vemi {

// The host side of a plugin: slots 4 to 12 reach the host's function table.
class HostConnection {
public:
    virtual void Subscribe(const std::string& uri) = 0;
    virtual void Unsubscribe(const std::string& uri) = 0;
    virtual ~HostConnection() = default;
    virtual void Teardown() = 0;
    virtual void SendRequest(ApiReply* reply, const ApiRequest* request) = 0;
    virtual void HostSlot1() = 0;
    virtual void SendEvent(const HostOutgoingEvent* event) = 0;
    virtual uint8_t SubscribeHost(const char* key, uint32_t pluginId, HostEventCallback callback, void* context,
                                  uint32_t flag) = 0;
    virtual void UnsubscribeHost(const char* key, uint32_t pluginId) = 0;
    virtual void HostSlot5() = 0;
    virtual void WaitYield() = 0;
    virtual void WaitEnter(const char* label, uint32_t value) = 0;
    virtual void WaitLeave() = 0;
};

// A typed change of a followed resource; data keeps its default for a Delete.
template <class T>
struct ResourceUpdate {
    std::string uri;
    PluginResourceEventType eventType = PluginResourceEventType::Create;
    T data{};
};

class PluginRuntime;

namespace detail {
template <class T>
class TypedEventHandler;
}  // namespace detail

inline constexpr const char* kNotInitialized = "The plugin is not initialized";

// A handler stored under an event key; converts the host's payload and calls on.
class EventHandler {
public:
    virtual ~EventHandler() = default;
    virtual void Deliver(PluginRuntime& runtime, const HostEventRecord& record) = 0;
};

class TelemetrySink {
public:
    explicit TelemetrySink(PluginRuntime& runtime) : runtime_(runtime) {}
    // POST "/telemetry/v1/events/<eventName>" with the payload as body.
    template <class T>
    std::future<Outcome<void>> SendTelemetry(std::string_view eventName, const T& payload);

private:
    PluginRuntime& runtime_;
};

class PluginRuntime : public HostConnection, public Api::ApiContext {
public:
    using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse&)>;

    PluginRuntime();
    ~PluginRuntime() override;
    PluginRuntime(const PluginRuntime&) = delete;
    PluginRuntime& operator=(const PluginRuntime&) = delete;

    // Host connection.
    void Subscribe(const std::string& uri) override;
    void Unsubscribe(const std::string& uri) override;
    void Teardown() override;
    void SendRequest(ApiReply* reply, const ApiRequest* request) override;
    void HostSlot1() override;
    void SendEvent(const HostOutgoingEvent* event) override;
    uint8_t SubscribeHost(const char* key, uint32_t pluginId, HostEventCallback callback, void* context,
                          uint32_t flag) override;
    void UnsubscribeHost(const char* key, uint32_t pluginId) override;
    void HostSlot5() override;
    void WaitYield() override;
    void WaitEnter(const char* label, uint32_t value) override;
    void WaitLeave() override;

    // The plugin's hooks.
    virtual void OnLoad() {}
    [[nodiscard]] virtual bool OnInitialized() { return true; }

    // Load: checks the host's version (ends the process when incompatible), names the
    // plugin, registers the runtime's types, calls OnLoad, describes the API and fills
    // the record.
    void Load(PluginLoadRecord& record, const char* shortName);
    [[nodiscard]] bool Initialize(const HostInit* init);
    // The Shutdown callback: Teardown, then the runtime is destroyed.
    static void Shutdown(PluginRuntime* runtime) noexcept;

    // Enters an event the plugin sends into its API description: its name, T (registered
    // with the name prefix) as the payload's type, the description and the API tags.
    // Answers false when an event of that name was there already.
    template <class T>
    bool DeclareEvent(std::string_view name, std::string_view description = {});

    // Typed outbound operations.
    template <class R = void, class... Args>
    [[nodiscard]] Outcome<R> Request(Api::HttpMethod method, std::string_view url, const Args&... body);
    template <class T>
    Outcome<void> EmitEvent(std::string_view eventName, const T& payload, uint32_t callerValue);
    // Before Initialize there is no host: all four fail with kNotInitialized, and the
    // subscriptions store nothing.
    template <class T>
    Outcome<void> SubscribeToResource(const std::string& uri, std::function<void(const ResourceUpdate<T>&)> handler);
    // Answers the host's answer to the subscription.
    template <class T>
    Outcome<uint8_t> SubscribeToEvent(const std::string& eventName, std::function<void(const T&)> handler,
                                      uint32_t flag);

    // Service proxy.
    void Attach(uint32_t pluginId, std::string shortName, std::string userAgent);
    void AddPendingServiceProxyRequest(const std::string& key, ServiceProxyHandler handler);
    void SetAsyncServiceProxyHandler(const std::string& key, ServiceProxyHandler handler);
    [[nodiscard]] size_t ReceivedServiceProxyResponses();
    [[nodiscard]] TelemetrySink* Telemetry() noexcept { return telemetry_.get(); }

    // State for plugins and tests.
    [[nodiscard]] const ApiVersion& CoreApiVersion() const noexcept { return coreVersion_; }
    [[nodiscard]] const PluginNames& Names() const noexcept { return names_; }
    [[nodiscard]] const std::vector<std::string>& ApiTags() const noexcept { return apiTags_; }
    [[nodiscard]] const std::string& ShortName() const noexcept { return shortName_; }
    [[nodiscard]] const std::string& UserAgent() const noexcept { return userAgent_; }
    [[nodiscard]] uint32_t PluginId() const noexcept { return pluginId_; }
    [[nodiscard]] const HostInit* GetHostInit() const noexcept { return hostInit_; }
    // The host's function table, null before Initialize.
    [[nodiscard]] const HostApi* HostTable() const noexcept { return hostInit_ != nullptr ? hostInit_->api : nullptr; }
    [[nodiscard]] const PluginCallbacks* Callbacks() const noexcept { return &callbacks_; }
    [[nodiscard]] int32_t SubscriptionCount(const std::string& key);

    // The event callback the host calls for every subscribed key.
    static void OnHostEvent(const HostEventRecord* record);

private:
    template <class T>
    friend class detail::TypedEventHandler;

    void StoreEventHandler(const std::string& key, std::shared_ptr<EventHandler> handler);
    void DispatchResourceEvent(const PluginResourceEvent& event);
    void OnServiceProxyUuid(const PluginServiceProxyResponse& response);
    void OnServiceProxyMethod(const PluginServiceProxyResponse& response);
    void OnServiceProxyAsync(const PluginServiceProxyResponse& response);
    void Fulfil();
    // Sends the request and reads the reply; body is null when no value is wanted.
    [[nodiscard]] std::optional<ApiError> Exchange(Api::HttpMethod method, std::string_view url,
                                                   std::vector<HostArgument>& arguments, Binding::BindingValue* body);
    // Reads the host's stream into text and closes it once, whatever happens. Answers
    // the failure's text, or null.
    [[nodiscard]] const char* DrainStream(const ApiReplyStream& stream, std::string& text) noexcept;

    ApiVersion coreVersion_;
    std::unique_ptr<PluginLogTarget> logTarget_;
    PluginNames names_;
    std::vector<std::string> apiTags_;
    const HostInit* hostInit_ = nullptr;
    PluginCallbacks callbacks_{};
    uint32_t pluginId_ = 0;
    std::string shortName_;
    // The text the load record points at: the host may read it until Shutdown, so nothing
    // assigns it after Load.
    std::string recordName_;
    std::string userAgent_;

    // Event and subscription tables, guarded for hosts that deliver on several threads.
    std::mutex tablesMutex_;
    std::map<std::string, std::shared_ptr<EventHandler>> eventHandlers_;
    std::map<std::string, int32_t> subscriptionCounts_;
    std::map<std::string, std::function<void(const PluginResourceEvent&)>> exactObservers_;
    std::map<std::string, std::function<void(const PluginResourceEvent&)>> patternObservers_;

    // Service-proxy tables.
    std::mutex proxyMutex_;
    std::map<std::string, ServiceProxyHandler> pendingRequests_;
    std::map<std::string, ServiceProxyHandler> asyncHandlers_;
    std::map<std::string, PluginServiceProxyResponse> receivedResponses_;
    std::unique_ptr<TelemetrySink> telemetry_;
};

// Runs the load with a runtime built by the export (or none when allocation failed:
// the record is then left unfilled and the host sees no callbacks). Without a record
// the runtime is destroyed.
void RunLoadSequence(PluginRuntime* runtime, PluginLoadRecord* record, const char* shortName) noexcept;

}  // namespace Vemi

// The templates' definitions.
#include <kav/runtime/detail/plugin_runtime_impl.h>
