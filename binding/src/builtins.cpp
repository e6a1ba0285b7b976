// The built-in help, asynchronous and callback types and the "OnCallback" event.
#include <kav/binding/builtins.h>

namespace Vemi::Binding {
namespace {

// Built-in types carry no name prefix.
constexpr std::string_view kNoPrefix = "";

}  // namespace

void Describe(Enumeration<BindingHelpFormat>& e) {
    e.Name("BindingHelpFormat")
        .Description("Help format for binding functions and types.")
        .Tags({"$builtin", "help"})
        .Value("Full", BindingHelpFormat::Full, "Native help format")
        .Value("Epytext", BindingHelpFormat::Epytext, "Python epytext format");
}

void Describe(Record<BindingFullTypeIdentifier>& r) {
    using T = BindingFullTypeIdentifier;
    r.Name("BindingFullTypeIdentifier")
        .Description("Describes the type of a value.")
        .Tags({"$builtin", "help"})
        .Field("type", &T::type)
        .Field("elementType", &T::elementType);
}

void Describe(Record<BindingFullArgumentHelp>& r) {
    using T = BindingFullArgumentHelp;
    r.Name("BindingFullArgumentHelp")
        .Description("Describes a function parameter.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("description", &T::description)
        .Field("type", &T::type)
        .Field("optional", &T::optional);
}

void Describe(Record<BindingFullFunctionHelp>& r) {
    using T = BindingFullFunctionHelp;
    r.Name("BindingFullFunctionHelp")
        .Description("Describes a function.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("arguments", &T::arguments)
        .Field("returns", &T::returns)
        .Field("description", &T::description)
        .Field("help", &T::help)
        .Field("threadSafe", &T::threadSafe)
        .Field("async", &T::async)
        .Field("tags", &T::tags);
}

void Describe(Record<BindingFullEnumValueHelp>& r) {
    using T = BindingFullEnumValueHelp;
    r.Name("BindingFullEnumValueHelp")
        .Description("Describes an enumerator.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("description", &T::description)
        .Field("value", &T::value);
}

void Describe(Record<BindingFullFieldHelp>& r) {
    using T = BindingFullFieldHelp;
    r.Name("BindingFullFieldHelp")
        .Description("Describes a member of a struct.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("description", &T::description)
        .Field("offset", &T::offset)
        .Field("type", &T::type)
        .Field("optional", &T::optional);
}

void Describe(Record<BindingFullTypeHelp>& r) {
    using T = BindingFullTypeHelp;
    r.Name("BindingFullTypeHelp")
        .Description("Describes a struct or enum type.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("size", &T::size)
        .Field("description", &T::description)
        .Field("tags", &T::tags)
        .Field("fields", &T::fields)
        .Field("values", &T::values);
}

void Describe(Record<BindingFullEventHelp>& r) {
    using T = BindingFullEventHelp;
    r.Name("BindingFullEventHelp")
        .Description("Describes an event.")
        .Tags({"$builtin", "help"})
        .Field("name", &T::name)
        .Field("nameSpace", &T::nameSpace)
        .Field("type", &T::type)
        .Field("description", &T::description)
        .Field("tags", &T::tags);
}

void Describe(Record<BindingFullApiHelp>& r) {
    using T = BindingFullApiHelp;
    r.Name("BindingFullApiHelp")
        .Description("Describes the exposed native API.")
        .Tags({"$builtin", "help"})
        .Field("functions", &T::functions)
        .Field("types", &T::types)
        .Field("events", &T::events);
}

void Describe(Enumeration<BindingAsyncState>& e) {
    e.Name("BindingAsyncState")
        .Description("Possible states of an asynchronous operation.")
        .Tags({"$builtin", "async"})
        .Value("None", BindingAsyncState::None, "Invalid state")
        .Value("Running", BindingAsyncState::Running, "The operation is in flight")
        .Value("Cancelling", BindingAsyncState::Cancelling, "A request to cancel the operation has been made")
        .Value("Cancelled", BindingAsyncState::Cancelled, "The operation was cancelled")
        .Value("Succeeded", BindingAsyncState::Succeeded, "The operation completed successfully")
        .Value("Failed", BindingAsyncState::Failed, "The operation encountered an error");
}

void Describe(Record<BindingGenericEvent>& r) {
    r.Name("BindingGenericEvent")
        .Description("Represents generic data for an event.")
        .Tags({"$builtin"})
        .Field("data", &BindingGenericEvent::data, 0, "Event data");
}

void Describe(Record<BindingCallbackEvent>& r) {
    using T = BindingCallbackEvent;
    r.Name("BindingCallbackEvent")
        .Description("Represents the parameters of a call to a provided callback.")
        .Tags({"$builtin"})
        .Field("id", &T::id, 0, "ID of the callback being invoked")
        .Field("parameters", &T::parameters, 0, "Callback parameters");
}

void Describe(Record<BindingGenericAsyncEvent>& r) {
    using T = BindingGenericAsyncEvent;
    r.Name("BindingGenericAsyncEvent")
        .Description("Represents generic data for an asynchronous event.")
        .Tags({"$builtin", "async"})
        .Field("asyncToken", &T::asyncToken, 0, "Asynchronous operation token")
        .Field("data", &T::data, 0, "Event data");
}

void Describe(Record<BindingAsyncFailureEvent>& r) {
    using T = BindingAsyncFailureEvent;
    r.Name("BindingAsyncFailureEvent")
        .Description("Represents a failed asynchronous operation.")
        .Tags({"$builtin", "async"})
        .Field("asyncToken", &T::asyncToken, 0, "Asynchronous operation token")
        .Field("error", &T::error, 0, "Error message");
}

void Describe(Record<BindingAsyncCancelEvent>& r) {
    r.Name("BindingAsyncCancelEvent")
        .Description("Represents a cancelled asynchronous operation.")
        .Tags({"$builtin", "async"})
        .Field("asyncToken", &BindingAsyncCancelEvent::asyncToken, 0, "Asynchronous operation token");
}

void RegisterHelpTypes(TypeRegistry& registry) {
    RegisterType<BindingHelpFormat>(registry, kNoPrefix);
    RegisterType<BindingFullTypeIdentifier>(registry, kNoPrefix);
    RegisterType<BindingFullArgumentHelp>(registry, kNoPrefix);
    RegisterType<BindingFullFunctionHelp>(registry, kNoPrefix);
    RegisterType<BindingFullEnumValueHelp>(registry, kNoPrefix);
    RegisterType<BindingFullFieldHelp>(registry, kNoPrefix);
    RegisterType<BindingFullTypeHelp>(registry, kNoPrefix);
    RegisterType<BindingFullEventHelp>(registry, kNoPrefix);
    RegisterType<BindingFullApiHelp>(registry, kNoPrefix);
}

void RegisterAsyncBuiltins(TypeRegistry& registry) {
    RegisterType<BindingAsyncState>(registry, kNoPrefix);
    RegisterType<BindingGenericEvent>(registry, kNoPrefix);
    RegisterType<BindingCallbackEvent>(registry, kNoPrefix);
    RegisterType<BindingGenericAsyncEvent>(registry, kNoPrefix);
    RegisterType<BindingAsyncFailureEvent>(registry, kNoPrefix);
    RegisterType<BindingAsyncCancelEvent>(registry, kNoPrefix);
    RegisterHelpTypes(registry);
}

void RegisterCallbackEvent(TypeRegistry& registry) {
    const TypeDescriptor* payload = FindType<BindingCallbackEvent>(registry);
    bool existed = false;
    EventRecord* event = registry.RegisterEvent(kCallbackEventName, payload, &existed);
    if (existed) return;
    event->description = "Fired when a callback is invoked.";
    event->tags = {"$builtin"};
}

}  // namespace Vemi::Binding
