// The runtime's own bound types: resource events, LCDS messages and service-proxy
// replies, registered in every plugin's registry under fixed identifiers.
#pragma once

#include <cstdint>
#include <string>

#include <kav/binding/registry.h>
#include <kav/binding/typed.h>
#include <kav/binding/value.h>

namespace Vemi {

// Names the payload in the event callback's trace lines.
struct Resource {};

enum class PluginManagerState : int32_t { NotReady = 0, PluginsInitialized = 1 };
struct PluginManagerResource {
    PluginManagerState state = PluginManagerState::NotReady;
};

enum class PluginResourceEventType : int32_t { Create = 0, Update = 1, Delete = 2 };
struct PluginResourceEvent {
    std::string uri;
    PluginResourceEventType eventType = PluginResourceEventType::Create;
    Binding::BindingValue data;
};

struct PluginLcdsEvent {
    std::string clientId;
    std::string subtopic;
    std::string typeName;
    Binding::BindingValue body;
};

struct PluginLcdsResponse {
    std::string typeName;
    Binding::BindingValue body;
};

struct PluginServiceProxyResponse {
    std::string uuid;
    std::string serviceName;
    std::string methodName;
    std::string payload;
    std::string status;
    std::string error;
};

void Describe(Binding::Enumeration<PluginManagerState>& e);
void Describe(Binding::Record<PluginManagerResource>& r);
void Describe(Binding::Enumeration<PluginResourceEventType>& e);
void Describe(Binding::Record<PluginResourceEvent>& r);
void Describe(Binding::Record<PluginLcdsEvent>& r);
void Describe(Binding::Record<PluginLcdsResponse>& r);
void Describe(Binding::Record<PluginServiceProxyResponse>& r);

// Registers the seven types and five events above, each tagged "qhost".
void RegisterRuntimeTypes(Binding::TypeRegistry& registry);

}  // namespace Vemi

KAV_STATIC_TYPE_NAME_ID(Vemi::Resource, "struct", 0x063574AD);
KAV_STATIC_TYPE_ID(Vemi::PluginManagerState, 0xF4E3B901);
KAV_STATIC_TYPE_ID(Vemi::PluginManagerResource, 0xFA58397C);
KAV_STATIC_TYPE_ID(Vemi::PluginResourceEventType, 0xDC24D2AD);
KAV_STATIC_TYPE_ID(Vemi::PluginResourceEvent, 0xA54F35FD);
KAV_STATIC_TYPE_ID(Vemi::PluginLcdsEvent, 0x739F2EF4);
KAV_STATIC_TYPE_ID(Vemi::PluginLcdsResponse, 0xF4476A4F);
KAV_STATIC_TYPE_ID(Vemi::PluginServiceProxyResponse, 0x2C5E7588);
