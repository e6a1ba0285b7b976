// kav-host: the command line over the replacement host.
#include <kav/host_tool/tool.h>

#include <kav/formats/decode_tool.h>
#include <kav/platform/platform.h>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    Vemi::HostTool::ToolConfig config;
    config.defaultPluginPath = KAV_HOST_PLUGIN_PATH;
    config.decode = &Vemi::Formats::RunDecode;
#ifdef KAV_HOST_TRACED_PLUGIN_PATH
    config.tracedPluginPath = KAV_HOST_TRACED_PLUGIN_PATH;
#endif
    config.terminal = Vemi::Platform::IsTerminal(1);
    config.errTerminal = Vemi::Platform::IsTerminal(2);
    config.noColor = std::getenv("NO_COLOR");
    return Vemi::HostTool::RunTool(argc, argv, config, std::cout, std::cerr);
}
