#include <kav/host_tool/describe.h>

#include <kav/host/host_value.h>
#include <kav/host_tool/cli.h>
#include <kav/host/transcript.h>

#include <string_view>
#include <vector>

namespace Vemi::HostTool {
namespace {

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

void Description(std::ostream& out, const char* indent, const char* description) {
    if (description != nullptr && *description != '\0') out << indent << "description: " << Host::QuoteText(description) << '\n';
}

void Tags(std::ostream& out, const char* indent, const char* const* tags, uint32_t count) {
    if (tags == nullptr || count == 0) return;
    out << indent << "tags:";
    for (uint32_t i = 0; i < count; ++i) out << (i == 0 ? " " : ", ") << Text(tags[i]);
    out << '\n';
}

std::string InNameSpace(const char* name, const char* nameSpace) {
    std::string text = Text(name);
    if (nameSpace != nullptr && *nameSpace != '\0') text += " (name space " + std::string(nameSpace) + ')';
    return text;
}

void DescribeFunction(const ApiFunctionEntry& function, std::ostream& out) {
    out << "  " << InNameSpace(function.name, function.name_space) << '\n';
    out << "    " << Host::MethodName(function.method, Text(function.custom_method)) << ' ' << Text(function.path) << '\n';
    Description(out, "    ", function.description);
    const ApiLocationNode* location = function.locations;
    for (uint32_t i = 0; function.parameters != nullptr && i < function.parameter_count; ++i) {
        const ApiParameterEntry& parameter = function.parameters[i];
        out << "    parameter " << Text(parameter.name) << ": "
            << TypeText(parameter.kind, parameter.element_kind, parameter.type_name);
        if (location != nullptr) {
            out << ", in " << LocationName(location->location);
            location = location->next;
        }
        if (parameter.optional != 0) out << ", optional";
        out << '\n';
    }
    out << "    result: " << TypeText(function.return_kind, function.return_element_kind, function.return_type_name);
    if (function.async_type_name != nullptr && *function.async_type_name != '\0') {
        out << " (asynchronous, " << function.async_type_name << ')';
    }
    out << '\n';
    Tags(out, "    ", function.tags, function.tag_count);
}

// The host's own types ("qhost"), which the host knows by their fixed identifiers.
struct HostType {
    uint32_t identifier;
    const char* name;
};
constexpr HostType kHostTypes[] = {
    {0xF4E3B901, "PluginManagerState"},  {0xFA58397C, "PluginManagerResource"},
    {0xDC24D2AD, "PluginResourceEventType"}, {0xA54F35FD, "PluginResourceEvent"},
    {0x739F2EF4, "PluginLcdsEvent"},     {0xF4476A4F, "PluginLcdsResponse"},
    {0x2C5E7588, "PluginServiceProxyResponse"},
};

const ApiTypeEntry* FindType(const ApiDescription* description, std::string_view name, bool suffix) {
    if (description == nullptr || description->types == nullptr) return nullptr;
    const ApiTypeEntry* found = nullptr;
    for (uint32_t i = 0; i < description->type_count; ++i) {
        const char* raw = description->types[i].name;
        std::string_view typeName = raw != nullptr ? raw : "";
        bool match = suffix ? typeName.size() > name.size() && typeName.ends_with(name) : typeName == name;
        if (!match) continue;
        if (found != nullptr) return nullptr;  // more than one: no guess
        found = &description->types[i];
    }
    return found;
}

std::string Named(const ApiTypeEntry& type) {
    return std::string(type.enumerators != nullptr ? "enum " : "struct ") + Text(type.name);
}

void DescribeType(const ApiTypeEntry& type, std::ostream& out) {
    bool isEnum = type.enumerators != nullptr;
    out << "  " << InNameSpace(type.name, type.name_space) << ": " << (isEnum ? "enum" : "struct") << ", " << type.size
        << " bytes\n";
    Description(out, "    ", type.description);
    for (uint32_t i = 0; type.fields != nullptr && i < type.member_count; ++i) {
        const ApiFieldEntry& field = type.fields[i];
        out << "    field " << Text(field.name) << ": " << TypeText(field.kind, field.element_kind, field.type_name)
            << ", offset " << field.offset << (field.optional != 0 ? ", optional" : "") << '\n';
    }
    for (uint32_t i = 0; isEnum && i < type.member_count; ++i) {
        out << "    " << Text(type.enumerators[i].name) << " = " << type.enumerators[i].value << '\n';
    }
    Tags(out, "    ", type.tags, type.tag_count);
}

}  // namespace

std::string PayloadTypeText(const ApiDescription* description, const char* payloadTypeName) {
    std::string_view given = payloadTypeName != nullptr ? payloadTypeName : "";
    if (given.empty()) return "none";
    if (given.size() == 9 && given[0] == '#') {
        uint32_t identifier = 0;
        bool hex = true;
        for (char c : given.substr(1)) {
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            hex &= digit >= 0;
            identifier = identifier * 16 + static_cast<uint32_t>(digit < 0 ? 0 : digit);
        }
        for (const HostType& known : kHostTypes) {
            if (!hex || known.identifier != identifier) continue;
            const ApiTypeEntry* type = FindType(description, known.name, false);
            return type != nullptr ? Named(*type) : known.name;
        }
        return Printable(given);
    }
    // "const char *__cdecl StaticType::Name<KEYWORD A::B::NAME>(void)"
    size_t open = given.find("StaticType::Name<");
    size_t close = given.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        std::string_view inner = given.substr(open + 17, close - open - 17);
        size_t space = inner.find(' ');
        std::string_view keyword = space == std::string_view::npos ? std::string_view() : inner.substr(0, space);
        std::string_view qualified = inner.substr(space == std::string_view::npos ? 0 : space + 1);
        size_t colons = qualified.rfind("::");
        std::string_view last = colons == std::string_view::npos ? qualified : qualified.substr(colons + 2);
        const ApiTypeEntry* type = FindType(description, last, false);
        if (type == nullptr) type = FindType(description, last, true);
        if (type != nullptr) return Named(*type);
        return (keyword.empty() ? std::string() : std::string(keyword) + ' ') + std::string(last);
    }
    return Printable(given);
}

bool IsBuiltin(const char* nameSpace, const char* const* tags, uint32_t tagCount) {
    if (nameSpace != nullptr && std::string_view(nameSpace) == "$builtin") return true;
    for (uint32_t i = 0; tags != nullptr && i < tagCount; ++i) {
        if (tags[i] != nullptr && std::string_view(tags[i]) == "$builtin") return true;
    }
    return false;
}

std::string KindName(uint32_t kind) {
    static constexpr const char* kNames[] = {"none",   "bool",   "int8",   "uint8",  "int16",  "uint16",   "int32",
                                             "uint32", "int64",  "uint64", "float",  "double", "string",   "object",
                                             "blob",   "vector", "enum",   "struct", "callback", "map"};
    return kind < std::size(kNames) ? kNames[kind] : "kind " + std::to_string(kind);
}

std::string LocationName(uint32_t location) {
    switch (location) {
        case API_LOCATION_ANY: return "any";
        case API_LOCATION_QUERY: return "query";
        case API_LOCATION_PATH: return "path";
        case API_LOCATION_HEADER: return "header";
        case API_LOCATION_BODY: return "body";
        default: return "location " + std::to_string(location);
    }
}

std::string TypeText(uint32_t kind, uint32_t elementKind, const char* typeName) {
    std::string text = KindName(kind);
    if (elementKind != API_KIND_NONE && (kind == API_KIND_VECTOR || kind == API_KIND_MAP)) {
        text += '<' + KindName(elementKind) + '>';
    }
    if (typeName != nullptr && *typeName != '\0') text += ' ' + std::string(typeName);
    return text;
}

namespace {

// The entries to show: every function; types and events without the built-in ones
// unless asked for.
struct Shown {
    std::vector<const ApiTypeEntry*> types;
    std::vector<const ApiEventEntry*> events;
    size_t hiddenTypes = 0, hiddenEvents = 0;
};

Shown Select(const ApiDescription& description, const DescribeOptions& options) {
    Shown shown;
    for (uint32_t i = 0; description.types != nullptr && i < description.type_count; ++i) {
        const ApiTypeEntry& type = description.types[i];
        if (!options.builtins && IsBuiltin(type.name_space, type.tags, type.tag_count)) {
            ++shown.hiddenTypes;
        } else {
            shown.types.push_back(&type);
        }
    }
    for (uint32_t i = 0; description.events != nullptr && i < description.event_count; ++i) {
        const ApiEventEntry& event = description.events[i];
        if (!options.builtins && IsBuiltin(event.name_space, event.tags, event.tag_count)) {
            ++shown.hiddenEvents;
        } else {
            shown.events.push_back(&event);
        }
    }
    return shown;
}

std::string Hidden(size_t count) {
    return count == 0 ? std::string() : "; --builtins adds " + std::to_string(count) + " built-in";
}

}  // namespace

void DescribeApi(const PluginLoadRecord& record, std::ostream& out, const DescribeOptions& options) {
    out << "plugin " << Text(record.name) << ", API " << record.major << '.' << record.minor << '.' << record.patch << '\n';
    const ApiDescription* description = record.description;
    if (description == nullptr) {
        out << "no API description\n";
        return;
    }
    uint32_t functions = description->functions != nullptr ? description->function_count : 0;
    bool described = false;
    for (uint32_t i = 0; i < functions; ++i) {
        const char* text = description->functions[i].description;
        described |= text != nullptr && *text != '\0';
    }
    // Empty is what the plugin handed over, not something left out here.
    out << "\nfunctions (" << functions << (functions != 0 && !described ? "; the plugin gives them no description" : "")
        << ")\n";
    for (uint32_t i = 0; i < functions; ++i) DescribeFunction(description->functions[i], out);

    Shown shown = Select(*description, options);
    out << "\ntypes (" << shown.types.size() << Hidden(shown.hiddenTypes) << ")\n";
    for (const ApiTypeEntry* type : shown.types) DescribeType(*type, out);

    out << "\nevents (" << shown.events.size() << Hidden(shown.hiddenEvents) << ")\n";
    for (const ApiEventEntry* event : shown.events) {
        out << "  " << InNameSpace(event->name, event->name_space) << ": payload "
            << PayloadTypeText(description, event->payload_type_name) << '\n';
        Description(out, "    ", event->description);
        if (event->name != nullptr && std::string_view(event->name) == "OnJsonApiEvent") {
            // The key the host sees first is not a registered event of its own.
            out << "    sent first under its resource's key: /a/b/c/... gives OnJsonApiEvent_a_b_c\n";
        }
        Tags(out, "    ", event->tags, event->tag_count);
    }
}

namespace {

std::string Json(const char* text) { return Host::QuoteText(Text(text)); }

std::string JsonTags(const char* const* tags, uint32_t count) {
    std::string json = "[";
    for (uint32_t i = 0; tags != nullptr && i < count; ++i) json += (i == 0 ? "" : ", ") + Json(tags[i]);
    return json + "]";
}

// "kind", "elementKind" and "typeName" members.
std::string JsonType(uint32_t kind, uint32_t elementKind, const char* typeName) {
    return "\"kind\": " + Host::QuoteText(KindName(kind)) + ", \"elementKind\": " + Host::QuoteText(KindName(elementKind)) +
           ", \"typeName\": " + Json(typeName);
}

}  // namespace

void DescribeApiJson(const PluginLoadRecord& record, std::ostream& out, const DescribeOptions& options) {
    out << "{\n  \"plugin\": {\"name\": " << Json(record.name) << ", \"version\": \"" << record.major << '.' << record.minor
        << '.' << record.patch << "\"},\n";
    static const ApiDescription kNone{};
    const ApiDescription& description = record.description != nullptr ? *record.description : kNone;
    out << "  \"functions\": [";
    uint32_t functions = description.functions != nullptr ? description.function_count : 0;
    for (uint32_t i = 0; i < functions; ++i) {
        const ApiFunctionEntry& function = description.functions[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << Json(function.name) << ", \"nameSpace\": " << Json(function.name_space)
            << ", \"method\": " << Host::QuoteText(Host::MethodName(function.method, Text(function.custom_method)))
            << ", \"path\": " << Json(function.path) << ", \"description\": " << Json(function.description)
            << ",\n     \"parameters\": [";
        const ApiLocationNode* location = function.locations;
        for (uint32_t p = 0; function.parameters != nullptr && p < function.parameter_count; ++p) {
            const ApiParameterEntry& parameter = function.parameters[p];
            out << (p == 0 ? "" : ", ") << "{\"name\": " << Json(parameter.name) << ", "
                << JsonType(parameter.kind, parameter.element_kind, parameter.type_name) << ", \"location\": "
                << Host::QuoteText(location != nullptr ? LocationName(location->location) : "none")
                << ", \"optional\": " << (parameter.optional != 0 ? "true" : "false") << '}';
            if (location != nullptr) location = location->next;
        }
        out << "],\n     \"result\": {" << JsonType(function.return_kind, function.return_element_kind, function.return_type_name)
            << "}, \"async\": " << Json(function.async_type_name) << ", \"tags\": " << JsonTags(function.tags, function.tag_count)
            << '}';
    }
    out << (functions == 0 ? "],\n" : "\n  ],\n");

    Shown shown = Select(description, options);
    out << "  \"types\": [";
    for (size_t i = 0; i < shown.types.size(); ++i) {
        const ApiTypeEntry& type = *shown.types[i];
        out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << Json(type.name) << ", \"nameSpace\": " << Json(type.name_space)
            << ", \"kind\": \"" << (type.enumerators != nullptr ? "enum" : "struct") << "\", \"size\": " << type.size
            << ", \"description\": " << Json(type.description) << ", \"tags\": " << JsonTags(type.tags, type.tag_count);
        if (type.enumerators != nullptr) {
            out << ",\n     \"enumerators\": [";
            for (uint32_t e = 0; e < type.member_count; ++e) {
                const ApiEnumeratorEntry& enumerator = type.enumerators[e];
                out << (e == 0 ? "" : ", ") << "{\"name\": " << Json(enumerator.name) << ", \"value\": " << enumerator.value
                    << ", \"description\": " << Json(enumerator.description) << '}';
            }
        } else {
            out << ",\n     \"fields\": [";
            for (uint32_t f = 0; type.fields != nullptr && f < type.member_count; ++f) {
                const ApiFieldEntry& field = type.fields[f];
                out << (f == 0 ? "" : ", ") << "{\"name\": " << Json(field.name) << ", "
                    << JsonType(field.kind, field.element_kind, field.type_name) << ", \"offset\": " << field.offset
                    << ", \"optional\": " << (field.optional != 0 ? "true" : "false") << '}';
            }
        }
        out << "]}";
    }
    out << (shown.types.empty() ? "],\n" : "\n  ],\n");

    out << "  \"events\": [";
    for (size_t i = 0; i < shown.events.size(); ++i) {
        const ApiEventEntry& event = *shown.events[i];
        std::string payload = PayloadTypeText(&description, event.payload_type_name);
        out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << Json(event.name) << ", \"nameSpace\": " << Json(event.name_space)
            << ", \"payloadTypeName\": " << Json(event.payload_type_name) << ", \"payload\": " << Host::QuoteText(payload)
            << ", \"description\": " << Json(event.description) << ", \"tags\": " << JsonTags(event.tags, event.tag_count)
            << '}';
    }
    out << (shown.events.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace Vemi::HostTool
