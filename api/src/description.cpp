// The API description handed to the host: functions with their endpoints, types and
// events, as plain linked records that point into the registry and the endpoints.
#include <map>
#include <mutex>

#include "api/api_context.h"
#include "description_store.h"

namespace Vemi::Api {
namespace {

using Binding::BindingTypeKind;
using Binding::TypeReference;

[[nodiscard]] uint32_t KindNumber(BindingTypeKind kind) noexcept {
    const auto number = static_cast<uint32_t>(kind);
    return number >= 1 && number <= 19 ? number : 0;
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

[[nodiscard]] uint32_t LocationNumber(ArgumentLocation location) noexcept {
    const auto number = static_cast<uint32_t>(location);
    return number >= 1 && number <= 5 ? number : 0;
}

[[nodiscard]] uint32_t MethodNumber(HttpMethod method) noexcept {
    const auto number = static_cast<uint32_t>(method);
    return number >= 1 && number <= 8 ? number : 0;
}

// Links the entries of a contiguous run through their first field.
template <class Entry>
void Link(Entry* first, size_t count) noexcept {
    for (size_t i = 0; i + 1 < count; ++i) first[i].next = &first[i + 1];
    if (count > 0) first[count - 1].next = nullptr;
}

}  // namespace

const ApiDescription* ApiContext::BuildApiDescription() {
    auto store = std::make_unique<DescriptionStore>();
    DescriptionStore& s = *store;

    // The records are packed, so their fields are assigned, never bound to references.
    auto tags = [&s](const std::vector<std::string>& texts) -> const char* const* {
        if (texts.empty()) return nullptr;
        std::vector<const char*>& pointers = s.tagArrays.emplace_back();
        pointers.reserve(texts.size());
        for (const std::string& text : texts) pointers.push_back(text.c_str());
        return pointers.data();
    };

    // Endpoints copied under the lock, indexed by function name.
    std::map<std::string_view, Endpoint*> index;
    {
        std::lock_guard<Platform::RecursiveLock> guard(lock_);
        for (const auto& [function, endpoint] : endpoints_) {
            if (function != nullptr) index.emplace(function->name, endpoint.get());
        }
    }

    // Functions.
    std::vector<const Binding::FunctionRecord*> described;
    described.reserve(index.size());
    size_t parameterCount = 0;
    size_t locationCount = 0;
    for (const auto& [name, endpoint] : index) {
        const Binding::FunctionRecord* function = registry_.FindFunction(name);
        described.push_back(function);
        if (function != nullptr) parameterCount += function->arguments.size();
        locationCount += endpoint->locations.size();
    }
    s.functions.resize(index.size());
    s.parameters.resize(parameterCount);
    s.locations.resize(locationCount);
    size_t nextParameter = 0;
    size_t nextLocation = 0;
    size_t i = 0;
    for (const auto& [name, endpoint] : index) {
        ApiFunctionEntry& entry = s.functions[i];
        const Binding::FunctionRecord* function = described[i];
        ++i;
        entry.name = entry.name_space = entry.return_type_name = entry.description = entry.help =
            entry.async_type_name = SharedEmptyText();
        if (function != nullptr) {
            entry.name = function->name.c_str();
            entry.name_space = function->nameSpace.c_str();
            ApiParameterEntry* parameters = s.parameters.data() + nextParameter;
            for (const Binding::ArgumentRecord& argument : function->arguments) {
                ApiParameterEntry& p = s.parameters[nextParameter++];
                const TypeReference& type = Chosen(argument.type, argument.secondType);
                p.name = argument.name.c_str();
                p.description = argument.description.c_str();
                p.kind = KindNumber(type.kind);
                p.element_kind = KindNumber(type.elementKind);
                p.type_name = TypeName(type);
                p.optional = argument.optional ? 1 : 0;
            }
            entry.parameter_count = static_cast<uint32_t>(function->arguments.size());
            entry.parameters = entry.parameter_count > 0 ? parameters : nullptr;
            Link(parameters, function->arguments.size());
            const TypeReference& returns = Chosen(function->returnType, function->secondReturnType);
            entry.return_kind = KindNumber(returns.kind);
            entry.return_element_kind = KindNumber(returns.elementKind);
            entry.return_type_name = TypeName(returns);
            entry.description = function->description.c_str();
            entry.help = function->help.c_str();
            entry.thread_safe = function->threadSafe ? 1 : 0;
            if (function->async && returns.descriptor != nullptr) entry.async_type_name = returns.descriptor->name.c_str();
            entry.tags = tags(function->tags);
            entry.tag_count = static_cast<uint32_t>(function->tags.size());
        }

        // The endpoint part.
        ApiLocationNode* nodes = s.locations.data() + nextLocation;
        for (ArgumentLocation location : endpoint->locations) s.locations[nextLocation++].location = LocationNumber(location);
        Link(nodes, endpoint->locations.size());
        entry.locations = endpoint->locations.empty() ? nullptr : nodes;
        entry.path = endpoint->path.c_str();
        entry.method = MethodNumber(endpoint->method);
        entry.endpoint_flag = endpoint->flag;
        entry.string_groups = nullptr;  // nothing in this system fills them
        entry.group_count = 0;
        entry.custom_method = endpoint->customMethod.c_str();
        entry.handler = &HandleRequest;

        std::lock_guard<Platform::RecursiveLock> guard(lock_);
        auto [it, inserted] = handlerContexts_.try_emplace(std::string(name));
        if (inserted) it->second = std::make_unique<HandlerContext>();
        it->second->context = this;
        it->second->endpoint = endpoint;
        entry.handler_context = it->second.get();
    }
    Link(s.functions.data(), s.functions.size());

    // Types.
    const std::vector<const Binding::TypeDescriptor*> types = registry_.Types();
    size_t fieldCount = 0;
    size_t enumeratorCount = 0;
    for (const Binding::TypeDescriptor* type : types) {
        if (type->isEnum) enumeratorCount += type->enumerators.size();
        else fieldCount += type->fields.size();
    }
    s.types.resize(types.size());
    s.fields.resize(fieldCount);
    s.enumerators.resize(enumeratorCount);
    size_t nextField = 0;
    size_t nextEnumerator = 0;
    for (size_t t = 0; t < types.size(); ++t) {
        const Binding::TypeDescriptor& type = *types[t];
        ApiTypeEntry& entry = s.types[t];
        entry.name = type.name.c_str();
        entry.name_space = type.nameSpace.c_str();
        entry.size = type.nativeSize;
        entry.description = type.description.c_str();
        entry.tags = tags(type.tags);
        entry.tag_count = static_cast<uint32_t>(type.tags.size());
        if (type.isEnum) {
            ApiEnumeratorEntry* first = s.enumerators.data() + nextEnumerator;
            for (const auto& [name, enumerator] : type.enumerators) {
                ApiEnumeratorEntry& e = s.enumerators[nextEnumerator++];
                e.name = enumerator.name.c_str();
                e.description = enumerator.description.c_str();
                e.value = enumerator.value;
            }
            Link(first, type.enumerators.size());
            entry.fields = nullptr;
            entry.enumerators = type.enumerators.empty() ? nullptr : first;
            entry.member_count = static_cast<uint32_t>(type.enumerators.size());
        } else {
            ApiFieldEntry* first = s.fields.data() + nextField;
            for (const Binding::FieldDescriptor& field : type.fields) {
                ApiFieldEntry& f = s.fields[nextField++];
                const TypeReference& reference = Chosen(field.type, field.secondType);
                f.name = field.name.c_str();
                f.description = field.description.c_str();
                f.offset = field.offset;
                f.kind = KindNumber(reference.kind);
                f.element_kind = KindNumber(reference.elementKind);
                f.type_name = TypeName(reference);
                f.optional = field.optional ? 1 : 0;
            }
            Link(first, type.fields.size());
            entry.fields = type.fields.empty() ? nullptr : first;
            entry.enumerators = nullptr;
            entry.member_count = static_cast<uint32_t>(type.fields.size());
        }
    }
    Link(s.types.data(), s.types.size());

    // Events.
    const std::vector<const Binding::EventRecord*> events = registry_.Events();
    s.events.resize(events.size());
    for (size_t e = 0; e < events.size(); ++e) {
        const Binding::EventRecord& event = *events[e];
        ApiEventEntry& entry = s.events[e];
        entry.name = event.name.c_str();
        entry.name_space = event.nameSpace.c_str();
        entry.payload_type_name = event.payload != nullptr && event.payload->identity != nullptr
                                      ? event.payload->identity->name
                                      : SharedEmptyText();
        entry.description = event.description.c_str();
        entry.tags = tags(event.tags);
        entry.tag_count = static_cast<uint32_t>(event.tags.size());
    }
    Link(s.events.data(), s.events.size());

    s.top.functions = s.functions.empty() ? nullptr : s.functions.data();
    s.top.function_count = static_cast<uint32_t>(s.functions.size());
    s.top.types = s.types.empty() ? nullptr : s.types.data();
    s.top.type_count = static_cast<uint32_t>(s.types.size());
    s.top.events = s.events.empty() ? nullptr : s.events.data();
    s.top.event_count = static_cast<uint32_t>(s.events.size());

    std::lock_guard<Platform::RecursiveLock> guard(lock_);
    description_ = std::move(store);
    return &description_->top;
}

}  // namespace Vemi::Api
