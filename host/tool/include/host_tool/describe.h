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

// Functions with method, path, parameters (name, kind, location) and result; types with
// fields (name, kind, offset) or enumerators; events with their payload type. Reads the
// record defensively: null texts print empty, null arrays as none.
void DescribeApi(const PluginLoadRecord& record, std::ostream& out);

}  // namespace Vemi::HostTool
