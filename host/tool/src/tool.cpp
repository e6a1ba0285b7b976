#include "host_tool/tool.h"

#include "host_tool/describe.h"
#include "host_tool/player.h"
#include "host_tool/serve.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kMainHelp = R"(Usage: kav-host COMMAND [OPTIONS] [ARGUMENTS]

Plays the game client's side of the plugin interface against a plugin library.

Commands:
  run [SCENARIO]   load and initialise the plugin, play a scenario (the built-in one
                   without SCENARIO) and print everything the host sees
  describe         print the plugin's API description: functions, types and events
  decode ARGS...   decode serialized values (the decode tool)
  serve [SCENARIO] serve the plugin over local HTTP and WebSocket, with a live page
  help [COMMAND]   print this help, or a command's

Every command takes -h or --help. Exit status: 0 success, 1 a failed expectation or a
plugin that could not be run, 2 a bad command line or bad scenario lines.
)";

constexpr std::string_view kRunHelp = R"(Usage: kav-host run [--plugin PATH] [--quiet] [SCENARIO]
       kav-host run --print-builtin

Loads the plugin library, initialises it and plays SCENARIO, a file in the scenario
language ("-" reads standard input); without SCENARIO plays the built-in scenario: three
events registered at 10, -5 and 0 by different owners, the session entering
PreEndOfGame, each owner completing its event when it is published, the completion POST
and the session moving to EndOfGame.

Prints each step as "FILE:LINE: STEP", followed by the transcript lines it caused:
  #N -> request METHOD PATH => STATUS [error "TEXT"] [BODY]   a request to the plugin
  #N <- event KEY caller C PAYLOAD                            an event the plugin sent
  #N <- request METHOD URL [ARGUMENTS] => STATUS ...          a request the plugin sent
  #N <- log TIME| LEVEL| MESSAGE                              a log line of the plugin
A failed expectation stops the run with "FILE:LINE: expectation failed" and the expected
and actual texts below each other (exit status 1); bad scenario lines are reported as
"FILE:LINE: MESSAGE" before anything runs (exit status 2).

Options:
  --plugin PATH     the plugin library to load (default: the one this build made)
  -q, --quiet       print only failures and the closing line
  --print-builtin   print the built-in scenario and exit
  -h, --help        this help
)";

constexpr std::string_view kDescribeHelp = R"(Usage: kav-host describe [--plugin PATH]

Loads the plugin library and prints the API description it hands the host: each
function with its method, path, parameters (name, kind, location) and result; each type
with its fields (name, kind, offset) or enumerators; each event with its payload type.

Options:
  --plugin PATH   the plugin library to load (default: the one this build made)
  -h, --help      this help
)";

constexpr std::string_view kDecodeHelp = R"(Usage: kav-host decode ARGS...

The decode tool: the same arguments and output. "kav-host decode --help" prints its own
help when this build has it.
)";

struct Options {
    std::optional<std::string> plugin;
    bool quiet = false;
    bool printBuiltin = false;
    bool help = false;
    std::vector<std::string> positional;
};

// Reads the options of run and describe; answers an error message, empty when fine.
std::string ReadOptions(int argc, char** argv, bool forRun, Options& options) {
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--plugin") {
            if (i + 1 >= argc) return "--plugin needs a path";
            options.plugin = argv[++i];
        } else if (arg.starts_with("--plugin=")) {
            options.plugin = std::string(arg.substr(9));
        } else if (forRun && (arg == "-q" || arg == "--quiet")) {
            options.quiet = true;
        } else if (forRun && arg == "--print-builtin") {
            options.printBuiltin = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option '" + std::string(arg) + "'";
        } else {
            options.positional.emplace_back(arg);
        }
    }
    if (options.plugin && options.plugin->empty()) return "--plugin needs a path";
    return {};
}

int Usage(std::ostream& err, const std::string& message, std::string_view command) {
    err << "kav-host: " << message << "\nTry 'kav-host " << command << (command.empty() ? "" : " ") << "--help'.\n";
    return kExitUsage;
}

std::optional<std::string> PluginPath(const Options& options, const ToolConfig& config, std::ostream& err) {
    if (options.plugin) {
        // The loader searches its own directories for a bare file name; a file of that
        // name here is what the user means.
        std::error_code error;
        if (options.plugin->find('/') == std::string::npos && std::filesystem::is_regular_file(*options.plugin, error)) {
            return "./" + *options.plugin;
        }
        return options.plugin;
    }
    if (!config.defaultPluginPath.empty()) return config.defaultPluginPath;
    err << "kav-host: this build has no plugin library of its own; name one with --plugin PATH\n";
    return std::nullopt;
}

int Run(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    Options options;
    if (std::string error = ReadOptions(argc, argv, true, options); !error.empty()) return Usage(err, error, "run");
    if (options.help) {
        out << kRunHelp;
        return kExitPassed;
    }
    if (options.printBuiltin) {
        out << BuiltinScenario();
        return kExitPassed;
    }
    if (options.positional.size() > 1) return Usage(err, "run takes one scenario file", "run");

    std::string text(BuiltinScenario());
    std::string name(kBuiltinScenarioName);
    if (!options.positional.empty()) {
        name = options.positional[0];
        std::ostringstream content;
        if (name == "-") {
            name = "<stdin>";
            content << std::cin.rdbuf();
        } else {
            std::ifstream file(name, std::ios::binary);
            if (!file) {
                err << "kav-host: cannot read the scenario file '" << name << "'\n";
                return kExitUsage;
            }
            content << file.rdbuf();
        }
        text = content.str();
    }
    Scenario scenario = ParseScenario(text, name);
    if (!scenario.errors.empty()) {
        for (const ParseError& error : scenario.errors) err << FormatError(scenario.name, error) << '\n';
        return kExitUsage;
    }
    std::optional<std::string> plugin = PluginPath(options, config, err);
    if (!plugin) return kExitUsage;
    PlayOptions play;
    play.quiet = options.quiet;
    return RunScenario(*plugin, scenario, out, err, play);
}

int Describe(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    Options options;
    if (std::string error = ReadOptions(argc, argv, false, options); !error.empty()) return Usage(err, error, "describe");
    if (options.help) {
        out << kDescribeHelp;
        return kExitPassed;
    }
    if (!options.positional.empty()) return Usage(err, "describe takes no arguments", "describe");
    std::optional<std::string> plugin = PluginPath(options, config, err);
    if (!plugin) return kExitUsage;
    Host::Host host;
    if (!host.Load(*plugin)) {
        err << "kav-host: " << host.LastError() << '\n';
        return kExitFailed;
    }
    DescribeApi(host.Record(), out);
    out.flush();
    // Initialised before it is shut down, as a real host does: a plugin may expect its
    // Shutdown only after Initialize.
    (void)host.Initialize();
    host.Unload();
    return kExitPassed;
}

int Decode(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    if (config.decode == nullptr) {
        if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
            out << kDecodeHelp;
        }
        err << "decode is not available in this build\n";
        return kExitFailed;
    }
    out.flush();
    err.flush();
    std::fflush(stdout);
    return config.decode(argc, argv, stdout, stderr);
}

}  // namespace

int RunTool(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    if (argc < 2) {
        err << kMainHelp;
        return kExitUsage;
    }
    std::string_view command = argv[1];
    // The command's own arguments, with the command's name in front (argv[0] of decode).
    int subArgc = argc - 1;
    char** subArgv = argv + 1;
    if (command == "run") return Run(subArgc - 1, subArgv + 1, config, out, err);
    if (command == "describe") return Describe(subArgc - 1, subArgv + 1, config, out, err);
    if (command == "decode") return Decode(subArgc, subArgv, config, out, err);
    if (command == "serve") return RunServe(subArgc - 1, subArgv + 1, config.defaultPluginPath, out, err);
    if (command == "-h" || command == "--help" || command == "help") {
        std::string_view topic = argc > 2 ? std::string_view(argv[2]) : std::string_view();
        if (command != "help" || topic.empty()) {
            out << kMainHelp;
        } else if (topic == "run") {
            out << kRunHelp;
        } else if (topic == "serve") {
            char help[] = "--help";
            char* serveArgv[] = {help, nullptr};
            return RunServe(1, serveArgv, config.defaultPluginPath, out, err);
        } else if (topic == "describe") {
            out << kDescribeHelp;
        } else if (topic == "decode") {
            if (config.decode != nullptr) {
                char name[] = "decode", help[] = "--help";
                char* decodeArgv[] = {name, help, nullptr};
                return Decode(2, decodeArgv, config, out, err);
            }
            out << kDecodeHelp;
        } else {
            return Usage(err, "no help for '" + std::string(topic) + "'", "");
        }
        return kExitPassed;
    }
    return Usage(err, "unknown command '" + std::string(command) + "'", "");
}

}  // namespace Vemi::HostTool
