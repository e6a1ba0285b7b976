// kav-host: the command line over the replacement host.
#include "host_tool/tool.h"

#include <platform/platform.h>

#include <cstdlib>
#include <iostream>

#ifdef KAV_HOST_HAVE_DECODE
// Generated from decode_wiring.cpp.in when the build has the decode tool.
int KavHostDecode(int argc, char** argv, std::FILE* out, std::FILE* err);
#endif

int main(int argc, char** argv) {
    Vemi::HostTool::ToolConfig config;
#ifdef KAV_HOST_PLUGIN_PATH
    config.defaultPluginPath = KAV_HOST_PLUGIN_PATH;
#endif
#ifdef KAV_HOST_HAVE_DECODE
    config.decode = &KavHostDecode;
#endif
    config.terminal = Vemi::Platform::IsTerminal(1);
    config.noColor = std::getenv("NO_COLOR");
    return Vemi::HostTool::RunTool(argc, argv, config, std::cout, std::cerr);
}
