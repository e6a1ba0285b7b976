// The kav-host command line: run, describe, decode and help.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

namespace Vemi::HostTool {

// The decode tool's entry: argv[0] is the command's name, the rest its arguments.
using DecodeFunction = int (*)(int argc, char** argv, std::FILE* out, std::FILE* err);

struct ToolConfig {
    std::string defaultPluginPath;  // empty: --plugin is required
    DecodeFunction decode = nullptr;  // null: decode is not available in this build
};

// Runs kav-host with argv (argv[0] the program). Answers the exit status: 0 success,
// 1 a failed expectation or a plugin that could not be run, 2 a bad command line or bad
// scenario lines. decode writes to stdout and stderr, everything else to out and err.
[[nodiscard]] int RunTool(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);

}  // namespace Vemi::HostTool
