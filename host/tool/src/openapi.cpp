#include <kav/host_tool/openapi.h>

#include <kav/host/host_value.h>
#include <kav/host/transcript.h>
#include <kav/host_tool/describe.h>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

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

using Value = rapidjson::Value;

// Builds values in the document's allocator; an object's members keep the order they were set in.
class Tree {
public:
    explicit Tree(rapidjson::Document::AllocatorType& allocator) : allocator_(allocator) {}

    static Value Object() { return Value(rapidjson::kObjectType); }
    static Value Array() { return Value(rapidjson::kArrayType); }
    Value String(std::string_view text) const {
        return Value(Data(text), static_cast<rapidjson::SizeType>(text.size()), allocator_);
    }
    Value Copy(const Value& value) const { return Value(value, allocator_); }

    // Object member: replaced when the key is already there.
    Value& Set(Value& object, std::string_view key, Value value) const {
        auto member = object.FindMember(Name(key));
        if (member != object.MemberEnd()) return member->value = value;
        object.AddMember(String(key), value, allocator_);
        return (object.MemberEnd() - 1)->value;
    }
    Value& Set(Value& object, std::string_view key, std::string_view text) const { return Set(object, key, String(text)); }
    // Object member, made an empty object when missing.
    Value& At(Value& object, std::string_view key) const {
        auto member = object.FindMember(Name(key));
        return member != object.MemberEnd() ? member->value : Set(object, key, Object());
    }
    static bool Has(const Value& object, std::string_view key) { return object.FindMember(Name(key)) != object.MemberEnd(); }
    Value& Push(Value& array, Value value) const {
        array.PushBack(value, allocator_);
        return array[array.Size() - 1];
    }

private:
    static Value Name(std::string_view key) {
        return Value(rapidjson::StringRef(Data(key), static_cast<rapidjson::SizeType>(key.size())));
    }
    // RapidJSON takes no null pointer, not even for an empty text.
    static const char* Data(std::string_view text) { return text.empty() ? "" : text.data(); }

    rapidjson::Document::AllocatorType& allocator_;
};

// Texts are quoted as the host quotes them everywhere else (RapidJSON would write "\u001F"
// where the host writes "\u001f").
class Printer : public rapidjson::PrettyWriter<rapidjson::StringBuffer> {
public:
    explicit Printer(rapidjson::StringBuffer& buffer) : PrettyWriter(buffer) { SetIndent(' ', 2); }
    bool String(const char* text, rapidjson::SizeType length, bool = false) {
        std::string quoted = Host::QuoteText(std::string_view(text, length));
        return RawValue(quoted.data(), quoted.size(), rapidjson::kStringType);
    }
    bool Key(const char* text, rapidjson::SizeType length, bool copy = false) { return String(text, length, copy); }
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

Value Ref(const Tree& tree, std::string_view section, std::string_view name) {
    Value ref = Tree::Object();
    tree.Set(ref, "$ref", "#/components/" + std::string(section) + "/" + ComponentName(name));
    return ref;
}

Value Integer(const Tree& tree, int64_t minimum, uint64_t maximum, std::string_view format = {}) {
    Value schema = Tree::Object();
    tree.Set(schema, "type", "integer");
    if (!format.empty()) tree.Set(schema, "format", format);
    tree.Set(schema, "minimum", Value(minimum));
    tree.Set(schema, "maximum", Value(maximum));
    return schema;
}

class Builder {
public:
    Builder(const Tree& tree, const ApiDescription& description, const OpenApiOptions& options)
        : tree_(tree), description_(description), options_(options) {
        for (uint32_t i = 0; description.types != nullptr && i < description.type_count; ++i) {
            const ApiTypeEntry& type = description.types[i];
            types_.emplace(Text(type.name), &type);
        }
    }

    // A value of a kind, with the element kind of a vector or map and the registered name of
    // an enum or struct (or of a vector's or map's element type).
    Value Schema(uint32_t kind, uint32_t elementKind, const char* typeName) {
        switch (kind) {
            case API_KIND_BOOL: return Typed("boolean");
            case API_KIND_INT8: return Integer(tree_, -128, 127);
            case API_KIND_UINT8: return Integer(tree_, 0, 255);
            case API_KIND_INT16: return Integer(tree_, -32768, 32767);
            case API_KIND_UINT16: return Integer(tree_, 0, 65535);
            case API_KIND_INT32: return Integer(tree_, INT32_MIN, INT32_MAX, "int32");
            case API_KIND_UINT32: return Integer(tree_, 0, UINT32_MAX);
            case API_KIND_INT64: return Integer(tree_, INT64_MIN, INT64_MAX, "int64");
            case API_KIND_UINT64: return Integer(tree_, 0, UINT64_MAX);
            case API_KIND_FLOAT: return Typed("number", "float");
            case API_KIND_DOUBLE: return Typed("number", "double");
            case API_KIND_STRING: return Typed("string");
            case API_KIND_OBJECT: {
                Value any = Tree::Object();
                tree_.Set(any, "description", "Any JSON value");
                return any;
            }
            case API_KIND_BLOB: {
                Value blob = Typed("string");
                tree_.Set(blob, "contentEncoding", "base16");
                tree_.Set(blob, "description", "Bytes, as lower-case hexadecimal digits");
                return blob;
            }
            case API_KIND_VECTOR: {
                Value array = Typed("array");
                tree_.Set(array, "items", Element(elementKind, typeName));
                return array;
            }
            case API_KIND_MAP: {
                Value map = Typed("object");
                tree_.Set(map, "additionalProperties", Element(elementKind, typeName));
                return map;
            }
            case API_KIND_ENUM:
            case API_KIND_STRUCT: return Named(kind, typeName);
            case API_KIND_CALLBACK: {
                Value callback = Integer(tree_, 0, UINT32_MAX);
                tree_.Set(callback, "description", "A callback's identifier: its calls arrive as the event OnCallback");
                return callback;
            }
            default: {
                Value unknown = Tree::Object();
                tree_.Set(unknown, "description", "A value of the kind " + KindName(kind));
                return unknown;
            }
        }
    }

    Value TypeSchema(const ApiTypeEntry& type) {
        Value schema = Tree::Object();
        std::string description = Text(type.description);
        if (type.enumerators != nullptr) {
            std::vector<const ApiEnumeratorEntry*> values;
            for (uint32_t i = 0; i < type.member_count; ++i) values.push_back(&type.enumerators[i]);
            std::stable_sort(values.begin(), values.end(), [](auto* a, auto* b) { return a->value < b->value; });
            tree_.Set(schema, "type", "string");
            Value names = Tree::Array();
            Value numbers = Tree::Object();
            for (const ApiEnumeratorEntry* value : values) {
                tree_.Push(names, tree_.String(Text(value->name)));
                tree_.Set(numbers, Text(value->name), Value(static_cast<int64_t>(value->value)));
            }
            tree_.Set(schema, "enum", std::move(names));
            tree_.Set(schema, "x-kav-values", std::move(numbers));
            description += std::string(description.empty() ? "" : " ") +
                           "Sent as the enumerator's name; a request may also give its number (x-kav-values).";
        } else {
            tree_.Set(schema, "type", "object");
            Value properties = Tree::Object();
            Value required = Tree::Array();
            for (uint32_t i = 0; type.fields != nullptr && i < type.member_count; ++i) {
                const ApiFieldEntry& field = type.fields[i];
                Value property = Schema(field.kind, field.element_kind, field.type_name);
                if (field.description != nullptr && *field.description != '\0') tree_.Set(property, "description", field.description);
                tree_.Set(properties, Text(field.name), std::move(property));
                if (field.optional == 0) tree_.Push(required, tree_.String(Text(field.name)));
            }
            tree_.Set(schema, "properties", std::move(properties));
            if (!required.Empty()) tree_.Set(schema, "required", std::move(required));
        }
        if (!description.empty()) tree_.Set(schema, "description", description);
        if (type.name_space != nullptr && *type.name_space != '\0') tree_.Set(schema, "x-kav-name-space", type.name_space);
        if (type.tag_count != 0) tree_.Set(schema, "x-kav-tags", Tags(type.tags, type.tag_count));
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
    Value Payload(const char* payloadTypeName) {
        std::string text = PayloadTypeText(&description_, payloadTypeName);
        for (std::string_view prefix : {std::string_view("struct "), std::string_view("enum ")}) {
            if (text.starts_with(prefix) && types_.count(text.substr(prefix.size())) != 0) {
                referenced_.insert(text.substr(prefix.size()));
                return Ref(tree_, "schemas", text.substr(prefix.size()));
            }
        }
        Value any = Tree::Object();
        tree_.Set(any, "description", "A value of the type " + text);
        return any;
    }

    Value Tags(const char* const* tags, uint32_t count) const {
        Value array = Tree::Array();
        for (uint32_t i = 0; tags != nullptr && i < count; ++i) tree_.Push(array, tree_.String(Text(tags[i])));
        return array;
    }

private:
    Value Typed(std::string_view type, std::string_view format = {}) const {
        Value schema = Tree::Object();
        tree_.Set(schema, "type", type);
        if (!format.empty()) tree_.Set(schema, "format", format);
        return schema;
    }

    Value Element(uint32_t elementKind, const char* typeName) {
        if (elementKind == API_KIND_ENUM || elementKind == API_KIND_STRUCT) return Named(elementKind, typeName);
        return Schema(elementKind, API_KIND_NONE, nullptr);
    }

    // A registered enum or struct by reference; without its descriptor, the bare JSON type.
    Value Named(uint32_t kind, const char* typeName) {
        std::string name = Text(typeName);
        if (types_.count(name) != 0) {
            referenced_.insert(name);
            return Ref(tree_, "schemas", name);
        }
        Value schema = Typed(kind == API_KIND_ENUM ? "string" : "object");
        if (!name.empty()) tree_.Set(schema, "description", "Of the type " + name + ", which the description does not hold");
        return schema;
    }

    const Tree& tree_;
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

Value Operation(const Tree& tree, Builder& builder, const ApiFunctionEntry& function,
                const std::vector<std::string>& templateNames, std::string_view operationId) {
    Value operation = Tree::Object();
    tree.Set(operation, "operationId", operationId);
    if (function.description != nullptr && *function.description != '\0') tree.Set(operation, "summary", function.description);
    if (function.help != nullptr && *function.help != '\0') tree.Set(operation, "description", function.help);
    if (function.tag_count != 0) tree.Set(operation, "tags", builder.Tags(function.tags, function.tag_count));

    Value parameters = Tree::Array();
    std::set<std::string> inPath;
    const ApiLocationNode* location = function.locations;
    bool hasBody = false;
    for (uint32_t i = 0; function.parameters != nullptr && i < function.parameter_count; ++i) {
        const ApiParameterEntry& parameter = function.parameters[i];
        uint32_t where = location != nullptr ? location->location : uint32_t{API_LOCATION_ANY};
        if (location != nullptr) location = location->next;
        Value schema = builder.Schema(parameter.kind, parameter.element_kind, parameter.type_name);
        if (where == API_LOCATION_BODY) {
            if (hasBody) continue;  // the body fills the first body parameter alone
            hasBody = true;
            Value content = Tree::Object();
            for (std::string_view type : {"application/json", "application/x-yaml", "application/x-msgpack"}) {
                tree.Set(tree.At(content, type), "schema", tree.Copy(schema));
            }
            Value body = Tree::Object();
            tree.Set(body, "description", parameter.description != nullptr && *parameter.description != '\0'
                                              ? std::string(parameter.description)
                                              : "The argument " + Text(parameter.name));
            tree.Set(body, "required", Value(parameter.optional == 0));
            tree.Set(body, "content", std::move(content));
            tree.Set(operation, "requestBody", std::move(body));
            continue;
        }
        Value entry = Tree::Object();
        tree.Set(entry, "name", Text(parameter.name));
        // Any location: the query is where a client puts it (a header would do as well).
        tree.Set(entry, "in", where == API_LOCATION_PATH ? "path" : where == API_LOCATION_HEADER ? "header" : "query");
        if (parameter.description != nullptr && *parameter.description != '\0') tree.Set(entry, "description", parameter.description);
        bool isPath = where == API_LOCATION_PATH;
        if (isPath) inPath.insert(Text(parameter.name));
        tree.Set(entry, "required", Value(isPath || parameter.optional == 0));
        if (JsonText(parameter.kind) && !isPath) {
            // Sent as JSON text, which the plugin recognises by its first character.
            tree.Set(tree.At(tree.At(entry, "content"), "application/json"), "schema", std::move(schema));
        } else {
            tree.Set(entry, "schema", std::move(schema));
        }
        if (where == API_LOCATION_ANY) tree.Set(entry, "x-kav-location", "any");
        tree.Push(parameters, std::move(entry));
    }
    for (const std::string& name : templateNames) {
        if (inPath.count(name) != 0) continue;
        // A segment the route captures that names no parameter: the plugin refuses it.
        Value entry = Tree::Object();
        tree.Set(entry, "name", name);
        tree.Set(entry, "in", "path");
        tree.Set(entry, "required", Value(true));
        tree.Set(entry, "description", "Captured by the route but no parameter of the function");
        tree.Set(tree.At(entry, "schema"), "type", "string");
        tree.Push(parameters, std::move(entry));
    }
    if (!parameters.Empty()) tree.Set(operation, "parameters", std::move(parameters));

    Value& responses = tree.At(operation, "responses");
    if (function.return_kind == API_KIND_NONE) {
        tree.Set(tree.At(responses, "204"), "description", "Done, without a body");
    } else {
        Value& ok = tree.At(responses, "200");
        tree.Set(ok, "description", "The result");
        tree.Set(tree.At(tree.At(ok, "content"), "application/json"), "schema",
                 builder.Schema(function.return_kind, function.return_element_kind, function.return_type_name));
    }
    tree.Set(responses, "400", Ref(tree, "responses", "BadRequest"));
    tree.Set(responses, "401", Ref(tree, "responses", "Unauthorized"));
    tree.Set(responses, "403", Ref(tree, "responses", "Forbidden"));
    tree.Set(responses, "default", Ref(tree, "responses", "Error"));
    if (function.async_type_name != nullptr && *function.async_type_name != '\0') {
        tree.Set(operation, "x-kav-async", function.async_type_name);
    }
    return operation;
}

Value ErrorResponse(const Tree& tree, std::string_view description) {
    Value response = Tree::Object();
    tree.Set(response, "description", description);
    tree.Set(tree.At(tree.At(response, "content"), "application/json"), "schema", Ref(tree, "schemas", kErrorSchema));
    return response;
}

}  // namespace

void DescribeOpenApi(const PluginLoadRecord& record, std::ostream& out, const OpenApiOptions& options) {
    static const ApiDescription kNone{};
    const ApiDescription& description = record.description != nullptr ? *record.description : kNone;
    rapidjson::Document document(rapidjson::kObjectType);
    Tree tree(document.GetAllocator());
    Builder builder(tree, description, options);
    std::string name = Text(record.name);

    tree.Set(document, "openapi", "3.1.0");
    Value& info = tree.At(document, "info");
    tree.Set(info, "title", name.empty() ? std::string("plugin") : name);
    std::string version = std::to_string(record.major) + '.' + std::to_string(record.minor) + '.' + std::to_string(record.patch);
    tree.Set(info, "version", version);
    tree.Set(info, "description",
             "The API the plugin " + name + " describes to its host (plugin API version " + version +
                 "), as kav-host serve answers it. The webhooks are the events the plugin declares: kav-host serve "
                 "delivers them over its WebSocket /ws as {\"seq\", \"source\", \"key\", \"payload\"}, the payload "
                 "as described here.");
    Value& server = tree.Push(tree.Set(document, "servers", Tree::Array()), Tree::Object());
    if (!options.serverUrl.empty()) {
        tree.Set(server, "url", options.serverUrl);
    } else {
        tree.Set(server, "url", "http://127.0.0.1:{port}");
        tree.Set(tree.At(tree.At(server, "variables"), "port"), "default", "8080");
    }

    Value& paths = tree.At(document, "paths");
    uint32_t functions = description.functions != nullptr ? description.function_count : 0;
    for (uint32_t i = 0; i < functions; ++i) {
        const ApiFunctionEntry& function = description.functions[i];
        std::vector<std::string> templateNames;
        std::string key = PathKey(Text(function.path), templateNames);
        Value& item = tree.At(paths, key);
        std::string id = Text(function.name);
        if (function.method == API_METHOD_CUSTOM) {
            // OpenAPI 3.1 names only the standard methods.
            std::string method = Text(function.custom_method);
            tree.Set(tree.At(item, "x-kav-custom-methods"), method, Operation(tree, builder, function, templateNames, id));
            continue;
        }
        std::vector<std::string> methods = MethodKeys(function.method);
        for (const std::string& method : methods) {
            if (Tree::Has(item, method)) continue;  // the first function of a path and method answers
            tree.Set(item, method, Operation(tree, builder, function, templateNames, methods.size() > 1 ? id + '_' + method : id));
        }
    }

    Value webhooks = Tree::Object();
    for (uint32_t i = 0; description.events != nullptr && i < description.event_count; ++i) {
        const ApiEventEntry& event = description.events[i];
        if (!options.builtins && IsBuiltin(event.name_space, event.tags, event.tag_count)) continue;
        Value operation = Tree::Object();
        tree.Set(operation, "operationId", "event-" + Text(event.name));
        if (event.description != nullptr && *event.description != '\0') tree.Set(operation, "summary", event.description);
        if (event.tag_count != 0) tree.Set(operation, "tags", builder.Tags(event.tags, event.tag_count));
        Value& body = tree.At(operation, "requestBody");
        tree.Set(body, "description", "The event's payload");
        tree.Set(tree.At(tree.At(body, "content"), "application/json"), "schema", builder.Payload(event.payload_type_name));
        tree.Set(tree.At(tree.At(operation, "responses"), "200"), "description", "Received");
        Value& extension = tree.At(operation, "x-kav-event");
        tree.Set(extension, "name", Text(event.name));
        if (event.name_space != nullptr && *event.name_space != '\0') tree.Set(extension, "nameSpace", event.name_space);
        tree.Set(extension, "payloadType", Text(event.payload_type_name));
        tree.Set(tree.At(webhooks, Text(event.name)), "post", std::move(operation));
    }
    builder.Close();

    Value& components = tree.At(document, "components");
    Value& schemas = tree.At(components, "schemas");
    for (uint32_t i = 0; description.types != nullptr && i < description.type_count; ++i) {
        const ApiTypeEntry& type = description.types[i];
        if (builder.Shown(type)) tree.Set(schemas, ComponentName(Text(type.name)), builder.TypeSchema(type));
    }
    Value& error = tree.Set(schemas, kErrorSchema, Tree::Object());
    tree.Set(error, "description", "An error reply: the HTTP status again and the message");
    tree.Set(error, "type", "object");
    tree.Set(tree.At(error, "properties"), "status", Integer(tree, 100, 599));
    tree.Set(tree.At(tree.At(error, "properties"), "error"), "type", "string");
    Value required = Tree::Array();
    tree.Push(required, tree.String("status"));
    tree.Push(required, tree.String("error"));
    tree.Set(error, "required", std::move(required));

    Value& responses = tree.At(components, "responses");
    tree.Set(responses, "BadRequest", ErrorResponse(tree, "An argument could not be read (a missing value, a value of the wrong type or "
                                                          "out of range, a body that does not decode) or the plugin refused it"));
    tree.Set(responses, "Unauthorized", ErrorResponse(tree, "The secret is missing or wrong"));
    tree.Set(responses, "Forbidden", ErrorResponse(tree, "The Host or Origin of the request is not served here"));
    tree.Set(responses, "Error", ErrorResponse(tree, "Another error: its status and message"));
    if (options.basicAuth) {
        Value& basic = tree.At(tree.At(components, "securitySchemes"), "basic");
        tree.Set(basic, "type", "http");
        tree.Set(basic, "scheme", "basic");
        tree.Set(basic, "description", "Any user name, the secret of kav-host serve's lock file as the password");
        tree.Set(tree.Push(tree.Set(document, "security", Tree::Array()), Tree::Object()), "basic", Tree::Array());
    }
    if (!webhooks.ObjectEmpty()) tree.Set(document, "webhooks", std::move(webhooks));

    rapidjson::StringBuffer text;
    Printer printer(text);
    document.Accept(printer);
    out.write(text.GetString(), static_cast<std::streamsize>(text.GetSize())) << '\n';
}

}  // namespace Vemi::HostTool
