// Readable printing of the API description a plugin hands the host at load.
#pragma once

#include <kav/host_abi.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace Vemi::HostTool {

// "bool", "int8", ..., "string", "object", "blob", "vector", "enum", "struct", "callback",
// "map"; "none" for 0, "kind N" outside the table.
[[nodiscard]] std::string KindName(uint32_t kind);
// "any", "query", "path", "header", "body"; "location N" else.
[[nodiscard]] std::string LocationName(uint32_t location);
// A kind with its element kind and type name: "int32", "vector<string>", "struct Foo".
[[nodiscard]] std::string TypeText(uint32_t kind, uint32_t elementKind, const char* typeName);

// The type an event's payload identity names, as "struct NAME" or "enum NAME" when the
// description has that type: the host's own types are known by their fixed identifiers
// ("#A54F35FD"), the plugin's by the type name inside a declared display name ("const
// char *__cdecl StaticType::Name<struct A::B>(void)"). Anything else is quoted as given.
[[nodiscard]] std::string PayloadTypeText(const ApiDescription* description, const char* payloadTypeName);

// A type or event of the runtime's own built-in set (tagged or in the name space $builtin).
[[nodiscard]] bool IsBuiltin(const char* nameSpace, const char* const* tags, uint32_t tagCount);

struct DescribeOptions {
    bool builtins = false;  // include the built-in types and events
};

// Functions with method, path, parameters (name, kind, location) and result; types with
// fields (name, kind, offset) or enumerators and their values; events with their payload
// type. Reads the record defensively: null texts print empty, null arrays as none.
void DescribeApi(const PluginLoadRecord& record, std::ostream& out, const DescribeOptions& options = {});
// The same as one JSON object: {"plugin": {...}, "functions": [...], "types": [...],
// "events": [...]}, each entry's fields under the record's field names in lower camel case.
void DescribeApiJson(const PluginLoadRecord& record, std::ostream& out, const DescribeOptions& options = {});

}  // namespace Vemi::HostTool
