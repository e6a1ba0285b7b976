#include <kav/runtime/runtime_types.h>

namespace Vemi {

using Binding::Enumeration;
using Binding::Record;

void Describe(Enumeration<PluginManagerState>& e) {
    e.Name("PluginManagerState")
        .Tags({"qhost"})
        .Value("NotReady", PluginManagerState::NotReady)
        .Value("PluginsInitialized", PluginManagerState::PluginsInitialized);
}

void Describe(Record<PluginManagerResource>& r) {
    r.Name("PluginManagerResource").Tags({"qhost"}).Field("state", &PluginManagerResource::state);
}

void Describe(Enumeration<PluginResourceEventType>& e) {
    e.Name("PluginResourceEventType")
        .Tags({"qhost"})
        .Value("Create", PluginResourceEventType::Create)
        .Value("Update", PluginResourceEventType::Update)
        .Value("Delete", PluginResourceEventType::Delete);
}

void Describe(Record<PluginResourceEvent>& r) {
    r.Name("PluginResourceEvent")
        .Tags({"qhost"})
        .Field("uri", &PluginResourceEvent::uri)
        .Field("eventType", &PluginResourceEvent::eventType)
        .Field("data", &PluginResourceEvent::data);
}

void Describe(Record<PluginLcdsEvent>& r) {
    r.Name("PluginLcdsEvent")
        .Tags({"qhost"})
        .Field("clientId", &PluginLcdsEvent::clientId)
        .Field("subtopic", &PluginLcdsEvent::subtopic)
        .Field("typeName", &PluginLcdsEvent::typeName)
        .Field("body", &PluginLcdsEvent::body);
}

void Describe(Record<PluginLcdsResponse>& r) {
    r.Name("PluginLcdsResponse")
        .Tags({"qhost"})
        .Field("typeName", &PluginLcdsResponse::typeName)
        .Field("body", &PluginLcdsResponse::body);
}

void Describe(Record<PluginServiceProxyResponse>& r) {
    r.Name("PluginServiceProxyResponse")
        .Tags({"qhost"})
        .Field("uuid", &PluginServiceProxyResponse::uuid)
        .Field("serviceName", &PluginServiceProxyResponse::serviceName)
        .Field("methodName", &PluginServiceProxyResponse::methodName)
        .Field("payload", &PluginServiceProxyResponse::payload)
        .Field("status", &PluginServiceProxyResponse::status)
        .Field("error", &PluginServiceProxyResponse::error);
}

namespace {
void AddEvent(Binding::TypeRegistry& registry, const char* name, const Binding::TypeDescriptor* payload,
              const char* description) {
    bool existed = false;
    Binding::EventRecord* event = registry.RegisterEvent(name, payload, &existed);
    if (event == nullptr || existed) return;
    event->description = description;
    event->tags = {"qhost"};
}
}  // namespace

void RegisterRuntimeTypes(Binding::TypeRegistry& registry) {
    using Binding::RegisterType;
    RegisterType<PluginManagerState>(registry, "");
    RegisterType<PluginManagerResource>(registry, "");
    RegisterType<PluginResourceEventType>(registry, "");
    const auto* resourceEvent = RegisterType<PluginResourceEvent>(registry, "");
    const auto* lcdsEvent = RegisterType<PluginLcdsEvent>(registry, "");
    RegisterType<PluginLcdsResponse>(registry, "");
    const auto* proxy = RegisterType<PluginServiceProxyResponse>(registry, "");

    AddEvent(registry, "OnJsonApiEvent", resourceEvent, "Fired when a resource is changed.");
    AddEvent(registry, "OnLcdsEvent", lcdsEvent, "Fired when a message is received over the LCDS connection.");
    AddEvent(registry, "OnServiceProxyUuidEvent", proxy, "Fired when a uuid-based service proxy message is received.");
    AddEvent(registry, "OnServiceProxyMethodEvent", proxy,
             "Fired when a method-based service proxy message is received.");
    AddEvent(registry, "OnServiceProxyAsyncEvent", proxy, "Fired when an async service proxy message is received.");
}

}  // namespace Vemi
