#include "host_tool/describe.h"

#include "host/host_value.h"
#include "host/transcript.h"

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

void DescribeApi(const PluginLoadRecord& record, std::ostream& out) {
    out << "plugin " << Text(record.name) << ", API " << record.major << '.' << record.minor << '.' << record.patch << '\n';
    const ApiDescription* description = record.description;
    if (description == nullptr) {
        out << "no API description\n";
        return;
    }
    uint32_t functions = description->functions != nullptr ? description->function_count : 0;
    out << "\nfunctions (" << functions << ")\n";
    for (uint32_t i = 0; i < functions; ++i) DescribeFunction(description->functions[i], out);

    uint32_t types = description->types != nullptr ? description->type_count : 0;
    out << "\ntypes (" << types << ")\n";
    for (uint32_t i = 0; i < types; ++i) DescribeType(description->types[i], out);

    uint32_t events = description->events != nullptr ? description->event_count : 0;
    out << "\nevents (" << events << ")\n";
    for (uint32_t i = 0; i < events; ++i) {
        const ApiEventEntry& event = description->events[i];
        out << "  " << InNameSpace(event.name, event.name_space) << ": payload " << Text(event.payload_type_name) << '\n';
        Description(out, "    ", event.description);
        Tags(out, "    ", event.tags, event.tag_count);
    }
}

}  // namespace Vemi::HostTool
