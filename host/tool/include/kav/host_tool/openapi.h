// The plugin's API description as an OpenAPI 3.1 document, for the tools front-end
// developers read and generate clients from (Swagger UI, Redoc, code generators).
#pragma once

#include <kav/host_abi.h>

#include <ostream>
#include <string>

namespace Vemi::HostTool {

struct OpenApiOptions {
    bool builtins = false;  // every built-in type and event, not only those referenced
    // The server's address ("http://127.0.0.1:8080"); empty: 127.0.0.1 with a port variable.
    std::string serverUrl;
    bool basicAuth = true;  // requests need the secret as Basic auth
};

// Paths with one operation per function (parameters by location, the body, the result
// and the error replies), components/schemas for the registered types the document
// refers to, and the registered events as webhooks. Reads the record defensively, as
// DescribeApi does.
void DescribeOpenApi(const PluginLoadRecord& record, std::ostream& out, const OpenApiOptions& options = {});

}  // namespace Vemi::HostTool
