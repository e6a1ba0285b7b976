#include <kav/host_tool/openapi.h>

#include <kav/host/host_value.h>
#include <kav/host/transcript.h>
#include <kav/host_tool/describe.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace Vemi::HostTool {
namespace {

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

// A JSON value kept in insertion order, written once the document is complete.
class Json {
public:
    static Json Object() { return Json(Kind::Object); }
    static Json Array() { return Json(Kind::Array); }
    static Json String(std::string_view text) { return Json(Kind::Raw, Host::QuoteText(text)); }
    static Json Number(int64_t number) { return Json(Kind::Raw, std::to_string(number)); }
    static Json Number(uint64_t number) { return Json(Kind::Raw, std::to_string(number)); }
    static Json Bool(bool value) { return Json(Kind::Raw, value ? "true" : "false"); }

    // Object member: replaced when the key is already there.
    Json& Set(std::string_view key, Json value) {
        for (auto& [name, member] : members_) {
            if (name == key) return member = std::move(value);
        }
        members_.emplace_back(std::string(key), std::move(value));
        return members_.back().second;
    }
    Json& Set(std::string_view key, std::string_view text) { return Set(key, String(text)); }
    // Object member, made an empty object when missing.
    Json& At(std::string_view key) {
        for (auto& [name, member] : members_) {
            if (name == key) return member;
        }
        return Set(key, Object());
    }
    bool Has(std::string_view key) const {
        return std::any_of(members_.begin(), members_.end(), [&](const auto& member) { return member.first == key; });
    }
    Json& Push(Json value) {
        items_.push_back(std::move(value));
        return items_.back();
    }
    bool Empty() const { return members_.empty() && items_.empty(); }

    void Write(std::string& out, int indent) const {
        std::string pad(static_cast<size_t>(indent + 2), ' ');
        switch (kind_) {
            case Kind::Raw: out += raw_; return;
            case Kind::Array:
                if (items_.empty()) {
                    out += "[]";
                    return;
                }
                out += "[\n";
                for (size_t i = 0; i < items_.size(); ++i) {
                    out += pad;
                    items_[i].Write(out, indent + 2);
                    out += i + 1 < items_.size() ? ",\n" : "\n";
                }
                out += std::string(static_cast<size_t>(indent), ' ') + ']';
                return;
            case Kind::Object:
                if (members_.empty()) {
                    out += "{}";
                    return;
                }
                out += "{\n";
                for (size_t i = 0; i < members_.size(); ++i) {
                    out += pad + Host::QuoteText(members_[i].first) + ": ";
                    members_[i].second.Write(out, indent + 2);
                    out += i + 1 < members_.size() ? ",\n" : "\n";
                }
                out += std::string(static_cast<size_t>(indent), ' ') + '}';
                return;
        }
    }

private:
    enum class Kind { Raw, Array, Object };
    explicit Json(Kind kind, std::string raw = {}) : kind_(kind), raw_(std::move(raw)) {}

    Kind kind_;
    std::string raw_;
    std::vector<std::pair<std::string, Json>> members_;
    std::vector<Json> items_;
};

constexpr std::string_view kErrorSchema = "KavHostError";

// Component names allow letters, digits, ".", "-" and "_".
std::string ComponentName(std::string_view name) {
    std::string out;
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        out += plain ? c : '_';
    }
    return out.empty() ? "_" : out;
}

Json Ref(std::string_view section, std::string_view name) {
    Json ref = Json::Object();
    ref.Set("$ref", "#/components/" + std::string(section) + "/" + ComponentName(name));
    return ref;
}

Json Integer(int64_t minimum, uint64_t maximum, std::string_view format = {}) {
    Json schema = Json::Object();
    schema.Set("type", "integer");
    if (!format.empty()) schema.Set("format", format);
    schema.Set("minimum", Json::Number(minimum));
    schema.Set("maximum", Json::Number(maximum));
    return schema;
}

class Builder {
public:
    Builder(const ApiDescription& description, const OpenApiOptions& options)
        : description_(description), options_(options) {
        for (uint32_t i = 0; description.types != nullptr && i < description.type_count; ++i) {
            const ApiTypeEntry& type = description.types[i];
            types_.emplace(Text(type.name), &type);
        }
    }

    // A value of a kind, with the element kind of a vector or map and the registered name of
    // an enum or struct (or of a vector's or map's element type).
    Json Schema(uint32_t kind, uint32_t elementKind, const char* typeName) {
        switch (kind) {
            case API_KIND_BOOL: return Typed("boolean");
            case API_KIND_INT8: return Integer(-128, 127);
            case API_KIND_UINT8: return Integer(0, 255);
            case API_KIND_INT16: return Integer(-32768, 32767);
            case API_KIND_UINT16: return Integer(0, 65535);
            case API_KIND_INT32: return Integer(INT32_MIN, INT32_MAX, "int32");
            case API_KIND_UINT32: return Integer(0, UINT32_MAX);
            case API_KIND_INT64: return Integer(INT64_MIN, INT64_MAX, "int64");
            case API_KIND_UINT64: return Integer(0, UINT64_MAX);
            case API_KIND_FLOAT: return Typed("number", "float");
            case API_KIND_DOUBLE: return Typed("number", "double");
            case API_KIND_STRING: return Typed("string");
            case API_KIND_OBJECT: {
                Json any = Json::Object();
                any.Set("description", "Any JSON value");
                return any;
            }
            case API_KIND_BLOB: {
                Json blob = Typed("string");
                blob.Set("contentEncoding", "base16");
                blob.Set("description", "Bytes, as lower-case hexadecimal digits");
                return blob;
            }
            case API_KIND_VECTOR: {
                Json array = Typed("array");
                array.Set("items", Element(elementKind, typeName));
                return array;
            }
            case API_KIND_MAP: {
                Json map = Typed("object");
                map.Set("additionalProperties", Element(elementKind, typeName));
                return map;
            }
            case API_KIND_ENUM:
            case API_KIND_STRUCT: return Named(kind, typeName);
            case API_KIND_CALLBACK: {
                Json callback = Integer(0, UINT32_MAX);
                callback.Set("description", "A callback's identifier: its calls arrive as the event OnCallback");
                return callback;
            }
            default: {
                Json unknown = Json::Object();
                unknown.Set("description", "A value of the kind " + KindName(kind));
                return unknown;
            }
        }
    }

    Json TypeSchema(const ApiTypeEntry& type) {
        Json schema = Json::Object();
        std::string description = Text(type.description);
        if (type.enumerators != nullptr) {
            std::vector<const ApiEnumeratorEntry*> values;
            for (uint32_t i = 0; i < type.member_count; ++i) values.push_back(&type.enumerators[i]);
            std::stable_sort(values.begin(), values.end(), [](auto* a, auto* b) { return a->value < b->value; });
            schema.Set("type", "string");
            Json names = Json::Array();
            Json numbers = Json::Object();
            for (const ApiEnumeratorEntry* value : values) {
                names.Push(Json::String(Text(value->name)));
                numbers.Set(Text(value->name), Json::Number(static_cast<int64_t>(value->value)));
            }
            schema.Set("enum", std::move(names));
            schema.Set("x-kav-values", std::move(numbers));
            description += std::string(description.empty() ? "" : " ") +
                           "Sent as the enumerator's name; a request may also give its number (x-kav-values).";
        } else {
            schema.Set("type", "object");
            Json properties = Json::Object();
            Json required = Json::Array();
            bool anyRequired = false;
            for (uint32_t i = 0; type.fields != nullptr && i < type.member_count; ++i) {
                const ApiFieldEntry& field = type.fields[i];
                Json property = Schema(field.kind, field.element_kind, field.type_name);
                if (field.description != nullptr && *field.description != '\0') property.Set("description", field.description);
                properties.Set(Text(field.name), std::move(property));
                if (field.optional == 0) {
                    required.Push(Json::String(Text(field.name)));
                    anyRequired = true;
                }
            }
            schema.Set("properties", std::move(properties));
            if (anyRequired) schema.Set("required", std::move(required));
        }
        if (!description.empty()) schema.Set("description", description);
        if (type.name_space != nullptr && *type.name_space != '\0') schema.Set("x-kav-name-space", type.name_space);
        if (type.tag_count != 0) schema.Set("x-kav-tags", Tags(type.tags, type.tag_count));
        return schema;
    }

    // The types a schema refers to, and those theirs refer to.
    void Close() {
        std::vector<std::string> pending(referenced_.begin(), referenced_.end());
        while (!pending.empty()) {
            std::string name = std::move(pending.back());
            pending.pop_back();
            auto type = types_.find(name);
            if (type == types_.end() || type->second->fields == nullptr) continue;
            for (uint32_t i = 0; i < type->second->member_count; ++i) {
                const char* fieldType = type->second->fields[i].type_name;
                if (fieldType != nullptr && *fieldType != '\0' && referenced_.insert(fieldType).second) pending.push_back(fieldType);
            }
        }
    }

    bool Shown(const ApiTypeEntry& type) const {
        return options_.builtins || !IsBuiltin(type.name_space, type.tags, type.tag_count) ||
               referenced_.count(Text(type.name)) != 0;
    }

    // A payload's type, from the display name of its type identity.
    Json Payload(const char* payloadTypeName) {
        std::string text = PayloadTypeText(&description_, payloadTypeName);
        for (std::string_view prefix : {std::string_view("struct "), std::string_view("enum ")}) {
            if (text.starts_with(prefix) && types_.count(text.substr(prefix.size())) != 0) {
                referenced_.insert(text.substr(prefix.size()));
                return Ref("schemas", text.substr(prefix.size()));
            }
        }
        Json any = Json::Object();
        any.Set("description", "A value of the type " + text);
        return any;
    }

    static Json Tags(const char* const* tags, uint32_t count) {
        Json array = Json::Array();
        for (uint32_t i = 0; tags != nullptr && i < count; ++i) array.Push(Json::String(Text(tags[i])));
        return array;
    }

private:
    static Json Typed(std::string_view type, std::string_view format = {}) {
        Json schema = Json::Object();
        schema.Set("type", type);
        if (!format.empty()) schema.Set("format", format);
        return schema;
    }

    Json Element(uint32_t elementKind, const char* typeName) {
        if (elementKind == API_KIND_ENUM || elementKind == API_KIND_STRUCT) return Named(elementKind, typeName);
        return Schema(elementKind, API_KIND_NONE, nullptr);
    }

    // A registered enum or struct by reference; without its descriptor, the bare JSON type.
    Json Named(uint32_t kind, const char* typeName) {
        std::string name = Text(typeName);
        if (types_.count(name) != 0) {
            referenced_.insert(name);
            return Ref("schemas", name);
        }
        Json schema = Typed(kind == API_KIND_ENUM ? "string" : "object");
        if (!name.empty()) schema.Set("description", "Of the type " + name + ", which the description does not hold");
        return schema;
    }

    const ApiDescription& description_;
    const OpenApiOptions& options_;
    std::map<std::string, const ApiTypeEntry*> types_;
    std::set<std::string> referenced_;
};

// The lower-case method keys of a path item; a function of any method answers them all.
std::vector<std::string> MethodKeys(uint32_t method) {
    switch (method) {
        case API_METHOD_ANY: return {"get", "put", "post", "delete", "patch"};
        case API_METHOD_DELETE: return {"delete"};
        case API_METHOD_GET: return {"get"};
        case API_METHOD_HEAD: return {"head"};
        case API_METHOD_OPTIONS: return {"options"};
        case API_METHOD_PATCH: return {"patch"};
        case API_METHOD_POST: return {"post"};
        case API_METHOD_PUT: return {"put"};
        default: return {};
    }
}

// The template as an OpenAPI path ("{+rest}" and "{#part}" lose their marks), with the
// names of its parameters.
std::string PathKey(std::string_view path, std::vector<std::string>& names) {
    std::string key = path.starts_with('/') ? "" : "/";
    bool inside = false;
    for (char c : path) {
        if (c == '{') {
            inside = true;
            names.emplace_back();
        } else if (c == '}') {
            inside = false;
        } else if (inside && names.back().empty() && (c == '+' || c == '#')) {
            continue;
        } else if (inside) {
            names.back() += c;
        }
        key += c;
    }
    return key;
}

bool JsonText(uint32_t kind) {
    return kind == API_KIND_OBJECT || kind == API_KIND_VECTOR || kind == API_KIND_STRUCT || kind == API_KIND_MAP;
}

Json Operation(Builder& builder, const ApiFunctionEntry& function, const std::vector<std::string>& templateNames,
               std::string_view operationId) {
    Json operation = Json::Object();
    operation.Set("operationId", operationId);
    if (function.description != nullptr && *function.description != '\0') operation.Set("summary", function.description);
    if (function.help != nullptr && *function.help != '\0') operation.Set("description", function.help);
    if (function.tag_count != 0) operation.Set("tags", Builder::Tags(function.tags, function.tag_count));

    Json parameters = Json::Array();
    std::set<std::string> inPath;
    const ApiLocationNode* location = function.locations;
    bool hasBody = false;
    for (uint32_t i = 0; function.parameters != nullptr && i < function.parameter_count; ++i) {
        const ApiParameterEntry& parameter = function.parameters[i];
        uint32_t where = location != nullptr ? location->location : uint32_t{API_LOCATION_ANY};
        if (location != nullptr) location = location->next;
        Json schema = builder.Schema(parameter.kind, parameter.element_kind, parameter.type_name);
        if (where == API_LOCATION_BODY) {
            if (hasBody) continue;  // the body fills the first body parameter alone
            hasBody = true;
            Json content = Json::Object();
            for (std::string_view type : {"application/json", "application/x-yaml", "application/x-msgpack"}) {
                content.At(type).Set("schema", schema);
            }
            Json body = Json::Object();
            body.Set("description", parameter.description != nullptr && *parameter.description != '\0'
                                        ? std::string(parameter.description)
                                        : "The argument " + Text(parameter.name));
            body.Set("required", Json::Bool(parameter.optional == 0));
            body.Set("content", std::move(content));
            operation.Set("requestBody", std::move(body));
            continue;
        }
        Json entry = Json::Object();
        entry.Set("name", Text(parameter.name));
        // Any location: the query is where a client puts it (a header would do as well).
        entry.Set("in", where == API_LOCATION_PATH ? "path" : where == API_LOCATION_HEADER ? "header" : "query");
        if (parameter.description != nullptr && *parameter.description != '\0') entry.Set("description", parameter.description);
        bool isPath = where == API_LOCATION_PATH;
        if (isPath) inPath.insert(Text(parameter.name));
        entry.Set("required", Json::Bool(isPath || parameter.optional == 0));
        if (JsonText(parameter.kind) && !isPath) {
            // Sent as JSON text, which the plugin recognises by its first character.
            entry.At("content").At("application/json").Set("schema", std::move(schema));
        } else {
            entry.Set("schema", std::move(schema));
        }
        if (where == API_LOCATION_ANY) entry.Set("x-kav-location", "any");
        parameters.Push(std::move(entry));
    }
    for (const std::string& name : templateNames) {
        if (inPath.count(name) != 0) continue;
        // A segment the route captures that names no parameter: the plugin refuses it.
        Json entry = Json::Object();
        entry.Set("name", name);
        entry.Set("in", "path");
        entry.Set("required", Json::Bool(true));
        entry.Set("description", "Captured by the route but no parameter of the function");
        entry.At("schema").Set("type", "string");
        parameters.Push(std::move(entry));
    }
    if (!parameters.Empty()) operation.Set("parameters", std::move(parameters));

    Json& responses = operation.At("responses");
    if (function.return_kind == API_KIND_NONE) {
        responses.At("204").Set("description", "Done, without a body");
    } else {
        Json& ok = responses.At("200");
        ok.Set("description", "The result");
        ok.At("content").At("application/json").Set("schema",
                                                    builder.Schema(function.return_kind, function.return_element_kind,
                                                                   function.return_type_name));
    }
    responses.Set("400", Ref("responses", "BadRequest"));
    responses.Set("401", Ref("responses", "Unauthorized"));
    responses.Set("403", Ref("responses", "Forbidden"));
    responses.Set("default", Ref("responses", "Error"));
    if (function.async_type_name != nullptr && *function.async_type_name != '\0') {
        operation.Set("x-kav-async", function.async_type_name);
    }
    return operation;
}

Json ErrorResponse(std::string_view description) {
    Json response = Json::Object();
    response.Set("description", description);
    response.At("content").At("application/json").Set("schema", Ref("schemas", kErrorSchema));
    return response;
}

}  // namespace

void DescribeOpenApi(const PluginLoadRecord& record, std::ostream& out, const OpenApiOptions& options) {
    static const ApiDescription kNone{};
    const ApiDescription& description = record.description != nullptr ? *record.description : kNone;
    Builder builder(description, options);
    std::string name = Text(record.name);

    Json document = Json::Object();
    document.Set("openapi", "3.1.0");
    Json& info = document.At("info");
    info.Set("title", name.empty() ? std::string("plugin") : name);
    info.Set("version", std::to_string(record.major) + '.' + std::to_string(record.minor) + '.' + std::to_string(record.patch));
    info.Set("description",
             "The API the plugin " + name + " describes to its host (plugin API version " + std::to_string(record.major) +
                 '.' + std::to_string(record.minor) + '.' + std::to_string(record.patch) +
                 "), as kav-host serve answers it. The webhooks are the events the plugin declares: kav-host serve "
                 "delivers them over its WebSocket /ws as {\"seq\", \"source\", \"key\", \"payload\"}, the payload "
                 "as described here.");
    Json& server = document.Set("servers", Json::Array()).Push(Json::Object());
    if (!options.serverUrl.empty()) {
        server.Set("url", options.serverUrl);
    } else {
        server.Set("url", "http://127.0.0.1:{port}");
        server.At("variables").At("port").Set("default", "8080");
    }

    Json& paths = document.At("paths");
    uint32_t functions = description.functions != nullptr ? description.function_count : 0;
    for (uint32_t i = 0; i < functions; ++i) {
        const ApiFunctionEntry& function = description.functions[i];
        std::vector<std::string> templateNames;
        std::string key = PathKey(Text(function.path), templateNames);
        Json& item = paths.At(key);
        std::string id = Text(function.name);
        if (function.method == API_METHOD_CUSTOM) {
            // OpenAPI 3.1 names only the standard methods.
            std::string method = Text(function.custom_method);
            item.At("x-kav-custom-methods").Set(method, Operation(builder, function, templateNames, id));
            continue;
        }
        std::vector<std::string> methods = MethodKeys(function.method);
        for (const std::string& method : methods) {
            if (item.Has(method)) continue;  // the first function of a path and method answers
            item.Set(method, Operation(builder, function, templateNames, methods.size() > 1 ? id + '_' + method : id));
        }
    }

    Json webhooks = Json::Object();
    for (uint32_t i = 0; description.events != nullptr && i < description.event_count; ++i) {
        const ApiEventEntry& event = description.events[i];
        if (!options.builtins && IsBuiltin(event.name_space, event.tags, event.tag_count)) continue;
        Json operation = Json::Object();
        operation.Set("operationId", "event-" + Text(event.name));
        if (event.description != nullptr && *event.description != '\0') operation.Set("summary", event.description);
        if (event.tag_count != 0) operation.Set("tags", Builder::Tags(event.tags, event.tag_count));
        Json& body = operation.At("requestBody");
        body.Set("description", "The event's payload");
        body.At("content").At("application/json").Set("schema", builder.Payload(event.payload_type_name));
        operation.At("responses").At("200").Set("description", "Received");
        Json& extension = operation.At("x-kav-event");
        extension.Set("name", Text(event.name));
        if (event.name_space != nullptr && *event.name_space != '\0') extension.Set("nameSpace", event.name_space);
        extension.Set("payloadType", Text(event.payload_type_name));
        webhooks.At(Text(event.name)).Set("post", std::move(operation));
    }
    builder.Close();

    Json& components = document.At("components");
    Json& schemas = components.At("schemas");
    for (uint32_t i = 0; description.types != nullptr && i < description.type_count; ++i) {
        const ApiTypeEntry& type = description.types[i];
        if (builder.Shown(type)) schemas.Set(ComponentName(Text(type.name)), builder.TypeSchema(type));
    }
    Json& error = schemas.Set(kErrorSchema, Json::Object());
    error.Set("description", "An error reply: the HTTP status again and the message");
    error.Set("type", "object");
    error.At("properties").Set("status", Integer(100, 599));
    error.At("properties").At("error").Set("type", "string");
    Json required = Json::Array();
    required.Push(Json::String("status"));
    required.Push(Json::String("error"));
    error.Set("required", std::move(required));

    Json& responses = components.At("responses");
    responses.Set("BadRequest", ErrorResponse("An argument could not be read (a missing value, a value of the wrong type or "
                                              "out of range, a body that does not decode) or the plugin refused it"));
    responses.Set("Unauthorized", ErrorResponse("The secret is missing or wrong"));
    responses.Set("Forbidden", ErrorResponse("The Host or Origin of the request is not served here"));
    responses.Set("Error", ErrorResponse("Another error: its status and message"));
    if (options.basicAuth) {
        Json& basic = components.At("securitySchemes").At("basic");
        basic.Set("type", "http");
        basic.Set("scheme", "basic");
        basic.Set("description", "Any user name, the secret of kav-host serve's lock file as the password");
        document.Set("security", Json::Array()).Push(Json::Object()).Set("basic", Json::Array());
    }
    if (!webhooks.Empty()) document.Set("webhooks", std::move(webhooks));

    std::string text;
    document.Write(text, 0);
    out << text << '\n';
}

}  // namespace Vemi::HostTool
