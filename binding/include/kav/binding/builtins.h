// The types every registry holds from its reset on: the help records that describe a
// bound API, the asynchronous-operation types, the callback payload and the
// "OnCallback" event. TypeRegistry::Reset registers them; nothing else in the system
// fills or raises them, but bound functions and events may use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kav/binding/registry.h>
#include <kav/binding/typed.h>
#include <kav/binding/value.h>

namespace Vemi::Binding {

// ---- Help records ----------------------------------------------------------------

enum class BindingHelpFormat : int32_t {
    Full = 1,
    Epytext = 2,
};

struct BindingFullTypeIdentifier {
    std::string type;
    std::string elementType;
};

struct BindingFullArgumentHelp {
    std::string name;
    std::string description;
    BindingFullTypeIdentifier type;
    bool optional = false;
};

struct BindingFullFunctionHelp {
    std::string name;
    std::string nameSpace;
    std::vector<BindingFullArgumentHelp> arguments;
    BindingFullTypeIdentifier returns;
    std::string description;
    std::string help;
    bool threadSafe = false;
    std::string async;
    std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
    std::string name;
    std::string description;
    int32_t value = 0;
};

struct BindingFullFieldHelp {
    std::string name;
    std::string description;
    uint32_t offset = 0;
    BindingFullTypeIdentifier type;
    bool optional = false;
};

struct BindingFullTypeHelp {
    std::string name;
    std::string nameSpace;
    uint32_t size = 0;
    std::string description;
    std::vector<std::string> tags;
    std::vector<BindingFullFieldHelp> fields;
    std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
    std::string name;
    std::string nameSpace;
    BindingFullTypeIdentifier type;
    std::string description;
    std::vector<std::string> tags;
};

struct BindingFullApiHelp {
    std::vector<BindingFullFunctionHelp> functions;
    std::vector<BindingFullTypeHelp> types;
    std::vector<BindingFullEventHelp> events;
};

// ---- Asynchronous operations and callbacks ---------------------------------------

enum class BindingAsyncState : int32_t {
    None = 0,
    Running = 1,
    Cancelling = 2,
    Cancelled = 3,
    Succeeded = 4,
    Failed = 5,
};

struct BindingGenericEvent {
    BindingValue data;
};

struct BindingCallbackEvent {
    uint32_t id = 0;
    std::vector<BindingValue> parameters;
};

struct BindingGenericAsyncEvent {
    uint32_t asyncToken = 0;
    BindingValue data;
};

struct BindingAsyncFailureEvent {
    uint32_t asyncToken = 0;
    std::string error;
};

struct BindingAsyncCancelEvent {
    uint32_t asyncToken = 0;
};

void Describe(Enumeration<BindingHelpFormat>& e);
void Describe(Record<BindingFullTypeIdentifier>& r);
void Describe(Record<BindingFullArgumentHelp>& r);
void Describe(Record<BindingFullFunctionHelp>& r);
void Describe(Record<BindingFullEnumValueHelp>& r);
void Describe(Record<BindingFullFieldHelp>& r);
void Describe(Record<BindingFullTypeHelp>& r);
void Describe(Record<BindingFullEventHelp>& r);
void Describe(Record<BindingFullApiHelp>& r);
void Describe(Enumeration<BindingAsyncState>& e);
void Describe(Record<BindingGenericEvent>& r);
void Describe(Record<BindingCallbackEvent>& r);
void Describe(Record<BindingGenericAsyncEvent>& r);
void Describe(Record<BindingAsyncFailureEvent>& r);
void Describe(Record<BindingAsyncCancelEvent>& r);

inline constexpr const char* kCallbackEventName = "OnCallback";

// The nine help types, BindingHelpFormat first; each only if not yet registered.
void RegisterHelpTypes(TypeRegistry& registry);
// The six asynchronous and callback types, BindingAsyncState first, then the help types.
void RegisterAsyncBuiltins(TypeRegistry& registry);
// "OnCallback" with a BindingCallbackEvent payload, unless an event of that name exists.
void RegisterCallbackEvent(TypeRegistry& registry);

}  // namespace Vemi::Binding

KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingHelpFormat, "enum");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullTypeIdentifier, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullArgumentHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullFunctionHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullEnumValueHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullFieldHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullTypeHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullEventHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingFullApiHelp, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingAsyncState, "enum");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingGenericEvent, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingCallbackEvent, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingGenericAsyncEvent, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingAsyncFailureEvent, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Binding::BindingAsyncCancelEvent, "struct");
