#include <kav/host_tool/tool.h>

#include <kav/host_tool/cli.h>
#include <kav/host_tool/describe.h>
#include <kav/host_tool/openapi.h>
#include <kav/host_tool/player.h>
#include <kav/host_tool/snapshot.h>
#ifdef KAV_HOST_SERVE
#include <kav/host_tool/serve.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kMainHelpHead = R"help(Usage: kav-host COMMAND [OPTIONS] [ARGUMENTS]

Plays the game client's side of the plugin interface against a plugin library.

Commands:
)help";

constexpr std::string_view kMainHelpTail = R"help(
Every command takes -h or --help. Exit status: 0 success, 1 a failed expectation or a
plugin that could not be run, 2 a bad command line, unreadable input or bad scenario
lines.
)help";

constexpr std::string_view kRunHelp = R"help(Usage: kav-host run [OPTIONS] [SCENARIO...]
       kav-host run --print-builtin

Loads the plugin library, initialises it and plays each SCENARIO, a file in the scenario
language ("-" reads standard input) or a directory, whose *.kav files are played in name
order; without SCENARIO plays the built-in scenario: three events registered at 10, -5
and 0 by different owners, the session entering PreEndOfGame, each owner completing its
event when it is published, the completion POST and the session moving to EndOfGame.
Each scenario gets its own plugin instance, loaded and shut down for it.

Prints each step as "FILE:LINE: STEP", followed by the transcript lines it caused:
  #N -> request METHOD PATH => HTTP S (reply status R) [BODY]  a request to the plugin
  #N <- event KEY caller C PAYLOAD                              an event the plugin sent
  #N <- request METHOD URL [ARGUMENTS] => STATUS ...            a request the plugin sent
  #N <- log TIME| LEVEL| MESSAGE                                a log line of the plugin
  #N <- trace MESSAGE                                           a trace line (--trace)
A request to the plugin shows what a client of the host's local server receives, as
serve answers it (HTTP status and body), and the status of the plugin's reply record.
A failed expectation stops the scenario with "FILE:LINE: expectation failed", where the
values first differ, and the expected and actual texts below each other. Each scenario
ends with one closing line, "FILE: passed (...)" or "FILE: FAILED at line N (...)"; with
several, a last line counts them. Bad scenario lines are reported as "FILE:LINE: MESSAGE"
before anything runs.

Options:
  --plugin PATH     the plugin library to load (default: the one this build made)
  --entry NAME      the plugin's entry (default: "load_" and the library's file name
                    without "lib" and extension, "-" made "_"; then load_kav_pre_end_of_game)
  -q, --quiet       print only failures and the closing lines
  --strict          fail when the plugin sent an event, request or log line that no
                    expectation read
  --junit FILE      also write the results as JUnit XML, one test case per scenario: a
                    failed expectation is a failure; bad lines and a plugin that could
                    not be loaded are errors (with bad lines nothing is played, and the
                    other scenarios are skipped)
  -k, --keyword PATTERN
                    play only the scenarios whose name (the file as given) contains
                    PATTERN, letter case aside; repeated: any of them
  --headers         show the requests' and replies' headers in the transcript
  --trace           show the plugin's trace lines: why it refused or ignored a call
                    ("#N <- trace MESSAGE"); the built plugin sends them only in its
                    traced build, which is the default plugin with --trace
  --color WHEN      auto (default), always or never, for each stream on its own: auto
                    colours a terminal unless NO_COLOR is set
  --update          rewrite each scenario file's expectations that are not met to what
                    the plugin did (a snapshot); files with bad lines are left untouched
  --print-builtin   print the built-in scenario and exit
  -h, --help        this help

Exit status: 0 every scenario passed, 1 one failed, 2 a bad command line, an unreadable
scenario or bad lines.
)help";

constexpr std::string_view kDescribeHelp = R"help(Usage: kav-host describe [--plugin PATH] [--entry NAME] [--json | --openapi] [--builtins]

Loads the plugin library and prints the API description it hands the host: each
function with its method, path, parameters (name, kind, location) and result; each type
with its fields (name, kind, offset) or enumerators and their values; each event with
its payload type. The runtime's built-in types and events (tagged $builtin) are left
out unless --builtins is given.

Options:
  --plugin PATH   the plugin library to load (default: the one this build made)
  --entry NAME    the plugin's entry (default: from the library's file name, as run's)
  --json          print the description as JSON, as the records hold it
  --openapi       print it as an OpenAPI 3.1 document (what serve answers at
                  /openapi.json): paths, schemas of the types, events as webhooks
  --builtins      include the built-in types and events
  -h, --help      this help
)help";

constexpr std::string_view kDecodeHelp = R"help(Usage: kav-host decode --type CONTENT_TYPE [FILE]

The decode tool: the same arguments and output. "kav-host decode --help" prints its own
help when this build has it.
)help";

constexpr std::string_view kHelpHelp = R"help(Usage: kav-host help [COMMAND]

Prints the main help, or COMMAND's (the same as "kav-host COMMAND --help").
)help";

int Run(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);
int Describe(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);
int Decode(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);
int Help(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err);

#ifdef KAV_HOST_SERVE
int Serve(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    ServeTerminal terminal;
    terminal.out = config.terminal;
    terminal.noColor = config.noColor;
    terminal.tracedPlugin = config.tracedPluginPath;
    return RunServe(argc - 1, argv + 1, config.defaultPluginPath, out, err, terminal);
}
#endif

constexpr Command kCommands[] = {
    {"run", "run [SCENARIO...]",
     "load the plugin, play scenarios (without SCENARIO the built-in one), print what the host sees",
     kRunHelp, &Run},
    {"describe", "describe", "print the plugin's API description: functions, types and events", kDescribeHelp, &Describe},
    {"decode", "decode ARGS...", "decode serialized values (the decode tool)", kDecodeHelp, &Decode},
#ifdef KAV_HOST_SERVE
    {"serve", "serve [SCENARIO]", "serve the plugin over local HTTP and WebSocket, with a live page", "", &Serve},
#endif
    {"help", "help [COMMAND]", "print this help, or a command's", kHelpHelp, &Help},
};

std::vector<std::string_view> CommandNames() {
    std::vector<std::string_view> names;
    for (const Command& command : Commands()) names.push_back(command.name);
    return names;
}

const Command* FindCommand(std::string_view name) {
    for (const Command& command : Commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

void PrintMainHelp(std::ostream& out) {
    out << kMainHelpHead;
    for (const Command& command : Commands()) {
        std::string synopsis(command.synopsis);
        synopsis.resize(std::max<size_t>(synopsis.size() + 2, 19), ' ');
        out << "  " << synopsis << command.summary << '\n';
    }
    out << kMainHelpTail;
}

// Reads the scenarios named on the command line; reports what cannot be read on err.
bool ReadScenarios(const std::vector<std::string>& names, const ToolConfig& config, std::vector<Scenario>& scenarios,
                   std::ostream& err) {
    bool ok = true;
    auto add = [&](const std::string& path, std::string shownName) {
        std::string text;
        if (std::string reason = ReadTextFile(path, text); !reason.empty()) {
            ErrorLine(err, "cannot read the scenario file " + Quote(path) + ": " + reason);
            ok = false;
            return;
        }
        scenarios.push_back(ParseScenario(text, std::move(shownName)));
    };
    for (const std::string& name : names) {
        if (name == "-") {
            std::ostringstream content;
            content << (config.in != nullptr ? *config.in : std::cin).rdbuf();
            scenarios.push_back(ParseScenario(content.str(), "<stdin>"));
            continue;
        }
        std::error_code error;
        if (!std::filesystem::is_directory(name, error)) {
            add(name, name);
            continue;
        }
        std::vector<std::string> files;
        std::filesystem::directory_iterator it(name, error), end;
        for (; !error && it != end; it.increment(error)) {
            const std::filesystem::path& path = it->path();
            std::error_code typeError;
            // Joined with "/" as given, not the system's separator: the same names everywhere.
            if (path.extension() == ".kav" && !it->is_directory(typeError)) {
                files.push_back(name + (name.ends_with('/') ? "" : "/") + path.filename().string());
            }
        }
        if (error) {
            ErrorLine(err, "cannot read the directory " + Quote(name) + ": " + error.message());
            ok = false;
            continue;
        }
        if (files.empty()) {
            ErrorLine(err, "no scenario files (*.kav) in " + Quote(name));
            ok = false;
            continue;
        }
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) add(file, file);
    }
    return ok;
}

std::string XmlEscaped(std::string_view text) {
    std::string out;
    for (char c : Printable(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c; break;
        }
    }
    return out;
}

// Control bytes are escaped, but line breaks of a failure's text are kept.
std::string XmlText(std::string_view text) {
    std::string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        out += XmlEscaped(text.substr(start, end - start));
        if (end < text.size()) out += '\n';
        start = end + 1;
    }
    return out;
}

std::string Seconds(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
    return buffer;
}

}  // namespace

std::string JUnitXml(const std::vector<Scenario>& scenarios, const std::vector<PlayResult>& results) {
    size_t failures = 0, errors = 0, skipped = 0;
    double total = 0;
    for (const PlayResult& result : results) {
        skipped += result.skipped;
        errors += !result.skipped && result.error;
        failures += !result.skipped && !result.error && result.status != kExitPassed;
        total += result.seconds;
    }
    std::string tally = "tests=\"" + std::to_string(results.size()) + "\" failures=\"" + std::to_string(failures) +
                        "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) +
                        "\" time=\"" + Seconds(total) + "\"";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " + tally + ">\n";
    xml += "  <testsuite name=\"kav-host run\" " + tally + ">\n";
    for (size_t i = 0; i < results.size() && i < scenarios.size(); ++i) {
        const PlayResult& result = results[i];
        xml += "    <testcase classname=\"kav-host\" name=\"" + XmlEscaped(scenarios[i].name) + "\" time=\"" +
               Seconds(result.seconds) + "\"";
        if (result.status == kExitPassed && !result.skipped) {
            xml += "/>\n";
            continue;
        }
        if (result.skipped) {
            xml += ">\n      <skipped message=\"" + XmlEscaped(result.summary) + "\"/>\n    </testcase>\n";
            continue;
        }
        const char* element = result.error ? "error" : "failure";
        xml += std::string(">\n      <") + element + " message=\"" + XmlEscaped(result.summary) + "\">" +
               XmlText(result.failure) + "</" + element + ">\n    </testcase>\n";
    }
    xml += "  </testsuite>\n</testsuites>\n";
    return xml;
}

namespace {

constexpr OptionSpec kPluginOption{"--plugin", "", "PATH"};
constexpr OptionSpec kEntryOption{"--entry", "", "NAME"};

// Opens the JUnit file, or reports why it cannot be written.
bool OpenJUnit(const std::optional<std::string>& path, std::FILE*& file, std::ostream& err) {
    if (!path) return true;
    errno = 0;
    file = std::fopen(path->c_str(), "wb");
    if (file != nullptr) return true;
    ErrorLine(err, "cannot write the JUnit file " + Quote(*path) + ": " + std::strerror(errno));
    return false;
}

bool WriteJUnit(std::FILE* file, const std::string& path, const std::string& xml, std::ostream& err) {
    if (file == nullptr) return true;
    bool written = std::fwrite(xml.data(), 1, xml.size(), file) == xml.size();
    written = std::fclose(file) == 0 && written;
    if (!written) ErrorLine(err, "cannot write the JUnit file " + Quote(path));
    return written;
}

// -k: the scenario's name holds one of the patterns, letter case aside.
bool Selected(std::string_view name, const std::vector<std::string>& patterns) {
    if (patterns.empty()) return true;
    auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    };
    std::string shown = lower(name);
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::string& pattern) { return shown.find(lower(pattern)) != std::string::npos; });
}

int Run(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    static constexpr OptionSpec kSpecs[] = {kPluginOption,
                                            kEntryOption,
                                            {"--quiet", "-q", ""},
                                            {"--strict", "", ""},
                                            {"--junit", "", "FILE"},
                                            {"--headers", "", ""},
                                            {"--trace", "", ""},
                                            {"--color", "", "WHEN"},
                                            {"--keyword", "-k", "PATTERN"},
                                            {"--print-builtin", "", ""},
                                            {"--update", "", ""}};
    CommandLine line;
    if (std::string error = ParseCommandLine(argc - 1, argv + 1, kSpecs, line); !error.empty()) {
        return UsageError(err, "run", error);
    }
    if (line.help) {
        out << kRunHelp;
        return kExitPassed;
    }
    std::string color = line.Value("--color").value_or("auto");
    if (!ColorMode(color)) return UsageError(err, "run", "--color needs auto, always or never, not " + Quote(color));
    if (line.Has("--print-builtin")) {
        if (!line.arguments.empty()) return UsageError(err, "run", "--print-builtin takes no scenario file");
        out << BuiltinScenario();
        return kExitPassed;
    }

    bool update = line.Has("--update");
    if (update && (line.arguments.empty() || std::find(line.arguments.begin(), line.arguments.end(), "-") != line.arguments.end())) {
        return UsageError(err, "run", "--update rewrites scenario files: name them (not '-')");
    }
    std::vector<Scenario> scenarios;
    if (line.arguments.empty()) {
        scenarios.push_back(ParseScenario(BuiltinScenario(), std::string(kBuiltinScenarioName)));
    } else if (!ReadScenarios(line.arguments, config, scenarios, err)) {
        return kExitUsage;
    }
    std::vector<std::string> patterns;
    for (const auto& [name, value] : line.options) {
        if (name == "--keyword") patterns.push_back(value);
    }
    std::erase_if(scenarios, [&](const Scenario& scenario) { return !Selected(scenario.name, patterns); });
    if (scenarios.empty()) {
        std::string shown;
        for (const std::string& pattern : patterns) shown += (shown.empty() ? "" : " or ") + Quote(pattern);
        return UsageError(err, "run", "no scenario matches -k " + shown);
    }

    PlayOptions play;
    play.quiet = line.Has("--quiet");
    play.strict = line.Has("--strict");
    play.headers = line.Has("--headers");
    play.trace = line.Has("--trace");
    play.style = Style{ColorWanted(color, config.terminal, config.noColor)};
    play.errStyle = Style{ColorWanted(color, config.errTerminal, config.noColor)};
    play.entry = line.Value("--entry").value_or("");

    // The JUnit file is opened first: a run is not wasted on a path that cannot be written.
    std::FILE* junit = nullptr;
    std::optional<std::string> junitPath = line.Value("--junit");
    bool bad = false;
    for (const Scenario& scenario : scenarios) bad |= !scenario.errors.empty();
    if (bad) {
        // Nothing is played; the report says which files have bad lines.
        for (const Scenario& scenario : scenarios) {
            for (const ParseError& error : scenario.errors) err << FormatError(scenario.name, error) << '\n';
        }
        if (!OpenJUnit(junitPath, junit, err)) return kExitUsage;
        std::vector<PlayResult> results;
        for (const Scenario& scenario : scenarios) {
            PlayResult result;
            if (!scenario.errors.empty()) {
                result.status = kExitUsage;
                result.error = true;
                result.summary = "bad lines";
                for (const ParseError& error : scenario.errors) result.failure += FormatError(scenario.name, error) + '\n';
            } else {
                result.skipped = true;
                result.summary = "not played: another scenario has bad lines";
            }
            results.push_back(std::move(result));
        }
        (void)WriteJUnit(junit, junitPath.value_or(""), JUnitXml(scenarios, results), err);
        return kExitUsage;
    }

    std::string plugin;
    std::optional<std::string> pluginOption = line.Value("--plugin");
    if (play.trace && !pluginOption && !config.tracedPluginPath.empty()) pluginOption = config.tracedPluginPath;
    if (!ResolvePluginPath(pluginOption, config, plugin, err)) return kExitUsage;
    if (update) {
        int status = kExitPassed;
        for (const Scenario& scenario : scenarios) {
            status = std::max(status, UpdateFile(plugin, scenario.name, scenario, out, err, play));
        }
        return status;
    }
    if (!OpenJUnit(junitPath, junit, err)) return kExitUsage;

    std::vector<PlayResult> results;
    size_t failed = 0;
    for (const Scenario& scenario : scenarios) {
        results.push_back(PlayFile(plugin, scenario, out, err, play));
        failed += results.back().status != kExitPassed;
    }
    if (scenarios.size() > 1) {
        std::string counts = Count(scenarios.size(), "scenario") + ": " + std::to_string(scenarios.size() - failed) +
                             " passed, " + std::to_string(failed) + " failed";
        out << (failed == 0 ? play.style.Pass(counts) : play.style.Fail(counts)) << '\n';
    }
    out.flush();
    int status = failed == 0 ? kExitPassed : kExitFailed;
    if (!WriteJUnit(junit, junitPath.value_or(""), JUnitXml(scenarios, results), err)) return kExitUsage;
    return status;
}

int Describe(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    static constexpr OptionSpec kSpecs[] = {kPluginOption, kEntryOption, {"--json", "", ""}, {"--openapi", "", ""}, {"--builtins", "", ""}};
    CommandLine line;
    if (std::string error = ParseCommandLine(argc - 1, argv + 1, kSpecs, line); !error.empty()) {
        return UsageError(err, "describe", error);
    }
    if (line.help) {
        out << kDescribeHelp;
        return kExitPassed;
    }
    if (!line.arguments.empty()) return UsageError(err, "describe", "describe takes no arguments, got " + Quote(line.arguments[0]));
    if (line.Has("--json") && line.Has("--openapi")) return UsageError(err, "describe", "--json and --openapi exclude each other");
    std::string plugin;
    if (!ResolvePluginPath(line.Value("--plugin"), config, plugin, err)) return kExitUsage;
    Host::Host host;
    if (!host.Load(plugin, {}, line.Value("--entry").value_or(""))) {
        ErrorLine(err, AsMessage(host.LastError()));
        return kExitFailed;
    }
    DescribeOptions options;
    options.builtins = line.Has("--builtins");
    if (line.Has("--openapi")) {
        OpenApiOptions openApi;
        openApi.builtins = options.builtins;
        DescribeOpenApi(host.Record(), out, openApi);
    } else if (line.Has("--json")) {
        DescribeApiJson(host.Record(), out, options);
    } else {
        DescribeApi(host.Record(), out, options);
    }
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
        ErrorLine(err, "decode is not available in this build");
        return kExitFailed;
    }
    out.flush();
    err.flush();
    std::fflush(stdout);
    return config.decode(argc, argv, stdout, stderr);
}

int Help(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    CommandLine line;
    if (std::string error = ParseCommandLine(argc - 1, argv + 1, {}, line); !error.empty()) {
        return UsageError(err, "help", error);
    }
    if (line.help) {
        out << kHelpHelp;
        return kExitPassed;
    }
    if (line.arguments.size() > 1) return UsageError(err, "help", "help takes one command, got " + Quote(line.arguments[1]));
    if (line.arguments.empty()) {
        PrintMainHelp(out);
        return kExitPassed;
    }
    const std::string& topic = line.arguments[0];
    const Command* command = FindCommand(topic);
    if (command == nullptr) return UsageError(err, "", "no help for " + Quote(topic) + DidYouMean(topic, CommandNames()));
    if (command->function == &Decode && config.decode != nullptr) {
        char name[] = "decode", help[] = "--help";
        char* decodeArgv[] = {name, help, nullptr};
        return Decode(2, decodeArgv, config, out, err);
    }
    if (command->help.empty()) {
        // A command that prints its own help.
        char help[] = "--help";
        char* helpArgv[] = {argv[1], help, nullptr};
        return command->function(2, helpArgv, config, out, err);
    }
    out << command->help;
    return kExitPassed;
}

}  // namespace

std::span<const Command> Commands() { return kCommands; }

bool ResolvePluginPath(const std::optional<std::string>& option, const ToolConfig& config, std::string& path,
                       std::ostream& err) {
    if (option) {
        // The loader searches its own directories for a bare file name; a file of that
        // name here is what the user means.
        std::error_code error;
        path = option->find('/') == std::string::npos && std::filesystem::is_regular_file(*option, error)
                   ? "./" + *option
                   : *option;
        return true;
    }
    if (!config.defaultPluginPath.empty()) {
        path = config.defaultPluginPath;
        return true;
    }
    ErrorLine(err, "this build has no plugin library of its own; name one with --plugin PATH");
    return false;
}

int RunTool(int argc, char** argv, const ToolConfig& config, std::ostream& out, std::ostream& err) {
    if (argc < 2) {
        PrintMainHelp(err);
        return kExitUsage;
    }
    std::string_view name = argv[1] != nullptr ? argv[1] : "";
    if (name == "-h" || name == "--help") {
        PrintMainHelp(out);
        return kExitPassed;
    }
    const Command* command = FindCommand(name);
    if (command == nullptr) return UsageError(err, "", "unknown command " + Quote(name) + DidYouMean(name, CommandNames()));
    // The command's own arguments, with its name in front.
    return command->function(argc - 1, argv + 1, config, out, err);
}

}  // namespace Vemi::HostTool
