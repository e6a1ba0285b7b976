// The API description handed to the host: functions with their endpoints, types and
// events, as plain linked records that point into the registry and the endpoints.
// The records are packed, so their fields are assigned, never bound to references.
#include <map>
#include <mutex>

#include <kav/api/api_context.h>
#include "description_store.h"

namespace Vemi::Api {
namespace {

using Binding::BindingTypeKind;
using Binding::TypeReference;

// Numbers the record does not define are written as 0.
[[nodiscard]] uint32_t KindNumber(BindingTypeKind kind) noexcept {
    const auto number = static_cast<uint32_t>(kind);
    return number >= API_KIND_BOOL && number <= API_KIND_MAP ? number : uint32_t{API_KIND_NONE};
}

[[nodiscard]] uint32_t LocationNumber(ArgumentLocation location) noexcept {
    const auto number = static_cast<uint32_t>(location);
    return number >= API_LOCATION_QUERY && number <= API_LOCATION_BODY ? number : uint32_t{API_LOCATION_ANY};
}

[[nodiscard]] uint32_t MethodNumber(HttpMethod method) noexcept {
    const auto number = static_cast<uint32_t>(method);
    return number >= API_METHOD_DELETE && number <= API_METHOD_CUSTOM ? number : uint32_t{API_METHOD_ANY};
}

// The second reference when it is given, else the first.
[[nodiscard]] const TypeReference& Chosen(const TypeReference& first, const TypeReference& second) noexcept {
    return second.kind != BindingTypeKind::None ? second : first;
}

[[nodiscard]] const char* TypeName(const TypeReference& type) noexcept {
    switch (type.kind) {
        case BindingTypeKind::Vector:
        case BindingTypeKind::Enum:
        case BindingTypeKind::Struct:
        case BindingTypeKind::Map:
            if (type.descriptor != nullptr) return type.descriptor->name.c_str();
            break;
        default:
            break;
    }
    return SharedEmptyText();
}

// Links the entries of a contiguous run through their first field; answers the
// first, or null for none.
template <class Entry>
Entry* Link(Entry* first, size_t count) noexcept {
    for (size_t i = 0; i + 1 < count; ++i) first[i].next = &first[i + 1];
    if (count > 0) first[count - 1].next = nullptr;
    return count > 0 ? first : nullptr;
}

// Kind, element kind, type name and optional flag of a parameter or field entry.
template <class Entry>
void DescribeReference(Entry& entry, const TypeReference& type, bool optional) noexcept {
    entry.kind = KindNumber(type.kind);
    entry.element_kind = KindNumber(type.elementKind);
    entry.type_name = TypeName(type);
    entry.optional = optional ? 1 : 0;
}

}  // namespace

const char* const* ApiContext::DescriptionStore::Tags(const std::vector<std::string>& texts) {
    if (texts.empty()) return nullptr;
    std::vector<const char*>& pointers = tagArrays.emplace_back();
    pointers.reserve(texts.size());
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    return pointers.data();
}

void ApiContext::DescriptionStore::AddFunctions(const std::map<std::string_view, Endpoint*>& endpoints,
                                                const Binding::TypeRegistry& registry) {
    std::vector<const Binding::FunctionRecord*> described;
    described.reserve(endpoints.size());
    size_t parameterCount = 0;
    size_t locationCount = 0;
    for (const auto& [name, endpoint] : endpoints) {
        const Binding::FunctionRecord* function = registry.FindFunction(name);
        described.push_back(function);
        if (function != nullptr) parameterCount += function->arguments.size();
        locationCount += endpoint->locations.size();
    }
    functions.resize(endpoints.size());
    parameters.resize(parameterCount);
    locations.resize(locationCount);
    size_t nextParameter = 0;
    size_t nextLocation = 0;
    size_t i = 0;
    for (const auto& [name, endpoint] : endpoints) {
        ApiFunctionEntry& entry = functions[i];
        entry.name = entry.name_space = entry.return_type_name = entry.description = entry.help =
            entry.async_type_name = SharedEmptyText();
        if (described[i] != nullptr) DescribeFunction(entry, *described[i], nextParameter);
        DescribeEndpoint(entry, *endpoint, nextLocation);
        ++i;
    }
    Link(functions.data(), functions.size());
}

void ApiContext::DescriptionStore::DescribeFunction(ApiFunctionEntry& entry, const Binding::FunctionRecord& function,
                                                    size_t& nextParameter) {
    entry.name = function.name.c_str();
    entry.name_space = function.nameSpace.c_str();
    ApiParameterEntry* first = parameters.data() + nextParameter;
    for (const Binding::ArgumentRecord& argument : function.arguments) {
        ApiParameterEntry& p = parameters[nextParameter++];
        p.name = argument.name.c_str();
        p.description = argument.description.c_str();
        DescribeReference(p, Chosen(argument.type, argument.secondType), argument.optional);
    }
    entry.parameter_count = static_cast<uint32_t>(function.arguments.size());
    entry.parameters = Link(first, function.arguments.size());
    const TypeReference& returns = Chosen(function.returnType, function.secondReturnType);
    entry.return_kind = KindNumber(returns.kind);
    entry.return_element_kind = KindNumber(returns.elementKind);
    entry.return_type_name = TypeName(returns);
    entry.description = function.description.c_str();
    entry.help = function.help.c_str();
    entry.thread_safe = function.threadSafe ? 1 : 0;
    if (function.async && returns.descriptor != nullptr) entry.async_type_name = returns.descriptor->name.c_str();
    entry.tags = Tags(function.tags);
    entry.tag_count = static_cast<uint32_t>(function.tags.size());
}

void ApiContext::DescriptionStore::DescribeEndpoint(ApiFunctionEntry& entry, const Endpoint& endpoint,
                                                    size_t& nextLocation) {
    ApiLocationNode* first = locations.data() + nextLocation;
    for (ArgumentLocation location : endpoint.locations) locations[nextLocation++].location = LocationNumber(location);
    entry.locations = Link(first, endpoint.locations.size());
    entry.path = endpoint.path.c_str();
    entry.method = MethodNumber(endpoint.method);
    entry.endpoint_flag = endpoint.flag;
    entry.string_groups = nullptr;  // nothing in this system fills them
    entry.group_count = 0;
    entry.custom_method = endpoint.customMethod.c_str();
    entry.handler = &HandleRequest;
}

void ApiContext::DescriptionStore::AddTypes(const std::vector<const Binding::TypeDescriptor*>& registered) {
    size_t fieldCount = 0;
    size_t enumeratorCount = 0;
    for (const Binding::TypeDescriptor* type : registered) {
        if (type->isEnum) enumeratorCount += type->enumerators.size();
        else fieldCount += type->fields.size();
    }
    types.resize(registered.size());
    fields.resize(fieldCount);
    enumerators.resize(enumeratorCount);
    size_t nextField = 0;
    size_t nextEnumerator = 0;
    for (size_t t = 0; t < registered.size(); ++t) {
        const Binding::TypeDescriptor& type = *registered[t];
        ApiTypeEntry& entry = types[t];
        entry.name = type.name.c_str();
        entry.name_space = type.nameSpace.c_str();
        entry.size = type.nativeSize;
        entry.description = type.description.c_str();
        entry.tags = Tags(type.tags);
        entry.tag_count = static_cast<uint32_t>(type.tags.size());
        if (type.isEnum) DescribeEnumerators(entry, type, nextEnumerator);
        else DescribeFields(entry, type, nextField);
    }
    Link(types.data(), types.size());
}

void ApiContext::DescriptionStore::DescribeEnumerators(ApiTypeEntry& entry, const Binding::TypeDescriptor& type,
                                                       size_t& nextEnumerator) {
    ApiEnumeratorEntry* first = enumerators.data() + nextEnumerator;
    for (const auto& [name, enumerator] : type.enumerators) {
        ApiEnumeratorEntry& e = enumerators[nextEnumerator++];
        e.name = enumerator.name.c_str();
        e.description = enumerator.description.c_str();
        e.value = enumerator.value;
    }
    entry.fields = nullptr;
    entry.enumerators = Link(first, type.enumerators.size());
    entry.member_count = static_cast<uint32_t>(type.enumerators.size());
}

void ApiContext::DescriptionStore::DescribeFields(ApiTypeEntry& entry, const Binding::TypeDescriptor& type,
                                                  size_t& nextField) {
    ApiFieldEntry* first = fields.data() + nextField;
    for (const Binding::FieldDescriptor& field : type.fields) {
        ApiFieldEntry& f = fields[nextField++];
        f.name = field.name.c_str();
        f.description = field.description.c_str();
        f.offset = field.offset;
        DescribeReference(f, Chosen(field.type, field.secondType), field.optional);
    }
    entry.fields = Link(first, type.fields.size());
    entry.enumerators = nullptr;
    entry.member_count = static_cast<uint32_t>(type.fields.size());
}

void ApiContext::DescriptionStore::AddEvents(const std::vector<const Binding::EventRecord*>& registered) {
    events.resize(registered.size());
    for (size_t e = 0; e < registered.size(); ++e) {
        const Binding::EventRecord& event = *registered[e];
        ApiEventEntry& entry = events[e];
        entry.name = event.name.c_str();
        entry.name_space = event.nameSpace.c_str();
        entry.payload_type_name = event.payload != nullptr && event.payload->identity != nullptr
                                      ? event.payload->identity->name
                                      : SharedEmptyText();
        entry.description = event.description.c_str();
        entry.tags = Tags(event.tags);
        entry.tag_count = static_cast<uint32_t>(event.tags.size());
    }
    Link(events.data(), events.size());
}

void ApiContext::DescriptionStore::Finish() noexcept {
    top.functions = functions.empty() ? nullptr : functions.data();
    top.function_count = static_cast<uint32_t>(functions.size());
    top.types = types.empty() ? nullptr : types.data();
    top.type_count = static_cast<uint32_t>(types.size());
    top.events = events.empty() ? nullptr : events.data();
    top.event_count = static_cast<uint32_t>(events.size());
}

const ApiDescription* ApiContext::BuildApiDescription() {
    // Endpoints copied under the lock, indexed by function name.
    std::map<std::string_view, Endpoint*> index;
    {
        std::lock_guard<Platform::RecursiveLock> guard(lock_);
        for (const auto& [function, endpoint] : endpoints_) {
            if (function != nullptr) index.emplace(function->name, endpoint.get());
        }
    }
    auto store = std::make_unique<DescriptionStore>();
    store->AddFunctions(index, registry_);
    size_t i = 0;
    for (const auto& [name, endpoint] : index) {
        std::lock_guard<Platform::RecursiveLock> guard(lock_);
        auto [it, inserted] = handlerContexts_.try_emplace(std::string(name));
        if (inserted) it->second = std::make_unique<HandlerContext>();
        it->second->context = this;
        it->second->endpoint = endpoint;
        store->functions[i++].handler_context = it->second.get();
    }
    store->AddTypes(registry_.Types());
    store->AddEvents(registry_.Events());
    store->Finish();

    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    description_ = std::move(store);
    return &description_->top;
}

}  // namespace Vemi::Api
