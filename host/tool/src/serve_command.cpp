// The `kav-host serve` command: options, the starting scenario, and the server's life.
#include "host_tool/player.h"
#include "host_tool/scenario.h"
#include "host_tool/serve.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kServeHelp = R"(Usage: kav-host serve [--port N] [--address ADDR] [--plugin PATH] [--entry NAME] [--quiet] [SCENARIO]

Loads and initialises the plugin as 'run' does and serves it on http://127.0.0.1:N/
until interrupted (Ctrl-C). SCENARIO, a scenario file, sets up the starting state: its
requests, session and publish steps are played before the server starts (its
expectations are not checked; 'kav-host run' does that).

  /                        a page: an explorer of the plugin's API (a form for each
                           function, its reply, the latest payload of each event it
                           declares), the session phase, a live list of everything
                           the plugin sends and, for the sequencer, forms to register,
                           deregister and complete events and the current event
  /kav-host/api            the plugin's API description, as describe --json prints it
  /kav-gameflow/v1/session the host's gameflow session: GET; PUT {"phase": "PreEndOfGame"}
                           sets the phase and publishes it to the plugin; DELETE
  /ws                      WebSocket: send {"subscribe": ["KEY", ...]} ("*" is every
                           key); receive {"seq", "source", "key", "payload"} for each
                           event the plugin sends (source "plugin"), each event of the
                           host's to the plugin ("host") and each request the plugin
                           sends the host ("request", key the path)
  the plugin's paths       the request goes to the plugin as the host builds it; the
                           reply comes back with its status (none: 200 with a body, 204
                           without), an error as {"status": N, "error": "TEXT"} (400 when
                           the reply has no status), the body as JSON

Requests are limited to 16 KiB of request line and headers and 1 MiB of body (413).

Options:
  --port N          the port (default 8080; 0 picks a free one)
  --address ADDR    listen on ADDR instead of 127.0.0.1 (anyone who reaches it drives
                    the plugin)
  --plugin PATH     the plugin library to load (default: the one this build made)
  --entry NAME      the plugin's entry (default: from the library's file name, as run's)
  -q, --quiet       do not print the transcript of host and plugin calls
  -h, --help        this help
)";

struct ServeArguments {
    ServeOptions options;
    std::optional<std::string> plugin;
    std::string entry;
    std::optional<std::string> scenario;
    bool help = false;
};

// Answers an error message, empty when the arguments are fine.
std::string ReadArguments(int argc, char** argv, ServeArguments& arguments) {
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> value;
        auto valueOf = [&](std::string_view option) -> bool {
            if (arg == option) {
                if (i + 1 < argc) value = argv[++i];
                return true;
            }
            if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=') {
                value = arg.substr(option.size() + 1);
                return true;
            }
            return false;
        };
        if (arg == "-h" || arg == "--help") {
            arguments.help = true;
        } else if (arg == "-q" || arg == "--quiet") {
            arguments.options.transcript = false;
        } else if (valueOf("--port")) {
            unsigned port = 0;
            if (!value) return "--port needs a number";
            auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), port);
            if (error != std::errc() || end != value->data() + value->size() || port > 65535) {
                return "--port needs a number from 0 to 65535, not '" + std::string(*value) + "'";
            }
            arguments.options.port = static_cast<uint16_t>(port);
        } else if (valueOf("--address")) {
            if (!value || value->empty()) return "--address needs an address";
            arguments.options.address = *value;
        } else if (valueOf("--plugin")) {
            if (!value || value->empty()) return "--plugin needs a path";
            arguments.plugin = std::string(*value);
        } else if (valueOf("--entry")) {
            if (!value || value->empty()) return "--entry needs a name";
            arguments.entry = std::string(*value);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option '" + std::string(arg) + "'";
        } else if (arguments.scenario) {
            return "serve takes one scenario file";
        } else {
            arguments.scenario = std::string(arg);
        }
    }
    return {};
}

bool Loopback(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address.starts_with("127.");
}

// The action steps of the scenario, as 'run' plays them; expectations are skipped.
bool PlaySetup(Host::Host& host, const Scenario& scenario, std::ostream& err) {
    bool explicitInitialize = false;
    for (const Step& step : scenario.steps) explicitInitialize |= step.kind == StepKind::Initialize;
    if (!explicitInitialize && !host.Initialize()) {
        err << "kav-host: initialize failed: " << host.LastError() << '\n';
        return false;
    }
    for (const Step& step : scenario.steps) {
        switch (step.kind) {
            case StepKind::Initialize:
                if (!host.Initialize()) {
                    err << scenario.name << ':' << step.line << ": initialize failed: " << host.LastError() << '\n';
                    return false;
                }
                break;
            case StepKind::Request: (void)host.Request(RequestOf(step)); break;
            case StepKind::Session: host.SetSessionPhase(step.text); break;
            case StepKind::SessionDelete: host.DeleteSession(); break;
            case StepKind::Publish: host.PublishEvent(step.text, step.value); break;
            default: break;
        }
    }
    return true;
}

}  // namespace

int RunServe(int argc, char** argv, const std::string& defaultPlugin, std::ostream& out, std::ostream& err) {
    ServeArguments arguments;
    if (std::string error = ReadArguments(argc, argv, arguments); !error.empty()) {
        err << "kav-host: " << error << "\nTry 'kav-host serve --help'.\n";
        return kExitUsage;
    }
    if (arguments.help) {
        out << kServeHelp;
        return kExitPassed;
    }
    std::string plugin = arguments.plugin.value_or(defaultPlugin);
    if (plugin.empty()) {
        err << "kav-host: this build has no plugin library of its own; name one with --plugin PATH\n";
        return kExitUsage;
    }
    // The loader searches its own directories for a bare name; a file here is what is meant.
    std::error_code fileError;
    if (plugin.find('/') == std::string::npos && std::filesystem::is_regular_file(plugin, fileError)) plugin = "./" + plugin;

    Scenario scenario;
    if (arguments.scenario) {
        std::ifstream file(*arguments.scenario, std::ios::binary);
        std::ostringstream content;
        if (file) content << file.rdbuf();
        if (!file || file.bad() || std::filesystem::is_directory(*arguments.scenario, fileError)) {
            err << "kav-host: cannot read the scenario file '" << *arguments.scenario << "'\n";
            return kExitUsage;
        }
        scenario = ParseScenario(content.str(), *arguments.scenario);
        if (!scenario.errors.empty()) {
            for (const ParseError& error : scenario.errors) err << FormatError(scenario.name, error) << '\n';
            return kExitUsage;
        }
    }
    if (!Loopback(arguments.options.address)) {
        err << "kav-host: warning: serving on " << arguments.options.address
            << ": anyone who can reach it can drive the plugin\n";
    }

    Host::Host host;
    if (!host.Load(plugin, {}, arguments.entry)) {
        err << "kav-host: " << host.LastError() << '\n';
        return kExitFailed;
    }
    if (!PlaySetup(host, scenario, err)) return kExitFailed;
    int status = kExitPassed;
    {
        Server server(host, arguments.options, out);
        if (std::string error = server.Start(); !error.empty()) {
            err << "kav-host: " << error << '\n';
            status = kExitFailed;
        } else {
            std::string address = arguments.options.address.find(':') != std::string::npos
                                      ? '[' + arguments.options.address + ']'
                                      : arguments.options.address;
            out << "kav-host: serving " << host.PluginName() << " on http://" << address << ':' << server.Port()
                << "/ (Ctrl-C stops)" << std::endl;
            server.WaitForSignal();
            server.Stop();
        }
    }
    host.Shutdown();
    out << "kav-host: stopped" << std::endl;
    return status;
}

}  // namespace Vemi::HostTool
