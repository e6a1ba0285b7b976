// The kav-host command line: run, describe, decode and help.
#pragma once

#include <cstdio>
#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace Vemi::HostTool {

// The decode tool's entry: argv[0] is the command's name, the rest its arguments.
using DecodeFunction = int (*)(int argc, char** argv, std::FILE* out, std::FILE* err);

struct ToolConfig {
    std::string defaultPluginPath;    // empty: --plugin is required
    DecodeFunction decode = nullptr;  // null: decode is not available in this build
    std::string tracedPluginPath;     // with --trace and no --plugin; empty: the default one
    bool terminal = false;            // standard output is a terminal
    bool errTerminal = false;         // standard error is a terminal
    const char* noColor = nullptr;    // the NO_COLOR environment variable
    std::istream* in = nullptr;       // standard input ("-"); null: std::cin
};

// One command of kav-host: argv[0] is the command's name, the rest its arguments.
// Answers the exit status (cli.h).
using CommandFunction = int (*)(int argc, char** argv, const ToolConfig& config, std::ostream& out,
                                std::ostream& err);

struct Command {
    std::string_view name;
    std::string_view synopsis;  // the main help's line: "run [SCENARIO...]"
    std::string_view summary;   // ... and what it does, one line
    std::string_view help;      // the command's own help
    CommandFunction function;
};

// Every command, in the order the main help lists them.
[[nodiscard]] std::span<const Command> Commands();

// The plugin library to load: --plugin's PATH (a bare file name that exists here is taken
// as ./NAME, not searched for), else the build's own. Reports a missing one on err.
[[nodiscard]] bool ResolvePluginPath(const std::optional<std::string>& option, const ToolConfig& config,
                                     std::string& path, std::ostream& err);

// Runs kav-host with argv (argv[0] the program). Answers the exit status: 0 success,
// 1 a failed expectation or a plugin that could not be run, 2 a bad command line,
// unreadable input or bad scenario lines. decode writes to stdout and stderr, everything
// else to out and err.
[[nodiscard]] int RunTool(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);

}  // namespace Vemi::HostTool
