// The `kav-host serve` command: options, the starting scenario, and the server's life.
#include <kav/host_tool/player.h>
#include <kav/host_tool/scenario.h>
#include <kav/host_tool/serve.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <span>
#include <sstream>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kServeHelp = R"(Usage: kav-host serve [--port N] [--address ADDR] [--plugin PATH] [--entry NAME] [--no-auth] [--allow-origin URL]... [--quiet] [SCENARIO]

Loads and initialises the plugin as 'run' does and serves it on http://127.0.0.1:N/
until interrupted (Ctrl-C). SCENARIO, a scenario file, sets up the starting state: its
requests, session, publish and host steps are played before the server starts, and its
host stubs keep answering the plugin (its expectations are not checked; 'kav-host run'
does that).

  /                        a page: an explorer of the plugin's API (a form for each
                           function, its reply, the latest payload of each event it
                           declares), the session phase, a live list of everything
                           the plugin sends and, for the sequencer, forms to register,
                           deregister and complete events and the current event
  /kav-host/api            the plugin's API description, as describe --json prints it
  /openapi.json            the same as an OpenAPI 3.1 document (describe --openapi)
  /kav-gameflow/v1/session the host's gameflow session: GET; PUT {"phase": "PreEndOfGame"}
                           sets the phase and publishes it to the plugin; DELETE
  /ws                      WebSocket: send {"subscribe": ["KEY", ...]} ("*" is every
                           key); receive {"seq", "source", "key", "payload"} for each
                           event the plugin sends (source "plugin"), each event of the
                           host's to the plugin ("host"), each request the plugin
                           sends the host ("request", key the path) and each log line
                           of the plugin ("log", key "log", payload {"level",
                           "message"}). "replay": N in the message first sends the last
                           N items the keys match, of the last 256 kept (at most 1 MiB)
  the plugin's paths       the request goes to the plugin as the host builds it; the
                           reply comes back with its status (none: 200 with a body, 204
                           without), an error as {"status": N, "error": "TEXT"} (400 when
                           the reply has no status), the body as JSON; a path no
                           function has gets 404 {"status": 404, "error": "No resource
                           at PATH"} from the host, as in 'run'

Every request needs the secret made at each start: the serving line's address carries
it for the page (which keeps it as a cookie); curl passes it as Basic auth, any user
name: curl -u kav-host:SECRET. It is also in the lock file, readable by the user alone:
$XDG_RUNTIME_DIR/kav-host/serve-PORT.lock (or ~/.cache/kav-host/ without that
directory), as kav-host:PID:PORT:SECRET:http. Without it: 401. Requests must name the
server as it is reached (Host localhost, 127.0.0.1, [::1] or ADDR, with the port):
403 otherwise.

Requests are limited to 16 KiB of request line, headers, chunk extensions and trailer
(431; a trailer is dropped) and 1 MiB of body (413).

Options:
  --port N          the port (default 8080; 0 picks a free one)
  --address ADDR    listen on ADDR instead of 127.0.0.1 (anyone who reaches it drives
                    the plugin)
  --plugin PATH     the plugin library to load (default: the one this build made)
  --entry NAME      the plugin's entry (default: from the library's file name, as run's)
  --no-auth         ask for no secret (any local process, or user, drives the plugin)
  --allow-origin URL  let pages of URL (a dev server: http://localhost:5173) call the
                    server from the browser, with CORS; repeatable. They still need the
                    secret (Basic auth, or the cookie with credentials: "include")
  -q, --quiet       do not print the transcript of host and plugin calls
  --headers         show the requests' and replies' headers in the transcript
  --trace           show the plugin's trace lines (why it refused or ignored a call) in
                    the transcript; the built plugin sends them only in its traced build,
                    which is the default plugin with --trace
  --color WHEN      colour the transcript: auto (on a terminal, unless NO_COLOR is set),
                    always or never (default auto)
  -h, --help        this help
)";

struct ServeArguments {
    ServeOptions options;
    std::optional<std::string> plugin;
    std::string entry;
    std::optional<std::string> scenario;
    bool help = false;
    bool noAuth = false;
    std::string color = "auto";
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
        } else if (arg == "--no-auth") {
            arguments.noAuth = true;
        } else if (arg == "-q" || arg == "--quiet") {
            arguments.options.transcript = false;
        } else if (arg == "--headers") {
            arguments.options.headers = true;
        } else if (arg == "--trace") {
            arguments.options.trace = true;
        } else if (valueOf("--color")) {
            if (!value || !ColorMode(*value)) return "--color needs auto, always or never";
            arguments.color = *value;
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
        } else if (valueOf("--allow-origin")) {
            std::string error;
            std::string origin = OriginOption(value.value_or(""), error);
            if (origin.empty()) return "--allow-origin " + error;
            arguments.options.allowedOrigins.push_back(origin);
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

}  // namespace

std::string OriginOption(std::string_view origin, std::string& error) {
    std::string_view rest = origin;
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (rest.size() >= scheme.size() && std::equal(scheme.begin(), scheme.end(), rest.begin(),
                                                       [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
            rest.remove_prefix(scheme.size());
            break;
        }
    }
    if (rest.size() == origin.size()) {
        error = "needs an origin such as http://localhost:5173, not '" + std::string(origin) + "'";
        return {};
    }
    if (rest.size() > 1 && rest.ends_with('/')) {
        rest.remove_suffix(1);
        origin.remove_suffix(1);
    }
    if (rest.empty() || rest.find_first_of("/?#@ \t") != std::string_view::npos) {
        error = "needs a scheme, a host and a port at most (http://localhost:5173), not '" + std::string(origin) + "'";
        return {};
    }
    std::string lower;
    for (char c : origin) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

namespace {

bool IpAddress(const std::string& address) {
    if (address.find(':') != std::string::npos) {
        return address.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
    }
    int parts = 0;
    for (size_t at = 0; at <= address.size(); ++parts) {
        size_t end = std::min(address.find('.', at), address.size());
        unsigned number = 0;
        auto [last, error] = std::from_chars(address.data() + at, address.data() + end, number);
        if (error != std::errc() || last != address.data() + end || number > 255 || end - at > 3) return false;
        at = end + 1;
    }
    return parts == 4;
}

bool Loopback(std::string_view address) {
    return address == "127.0.0.1" || address == "::1" || address.starts_with("127.");
}

// The action steps of the scenario, as 'run' plays them; expectations are skipped.
bool PlaySetup(Host::Host& host, const Scenario& scenario, std::ostream& err) {
    bool explicitInitialize = false;
    for (const Step& step : scenario.steps) explicitInitialize |= step.kind == StepKind::Initialize;
    // Host stubs at the top first, as 'run' has them: they answer the plugin's initialisation.
    size_t stubs = 0;
    while (!explicitInitialize && stubs < scenario.steps.size() && scenario.steps[stubs].kind == StepKind::HostStub) {
        const Step& step = scenario.steps[stubs++];
        host.StubRequest(step.method, step.path, StubReply(step));
    }
    if (!explicitInitialize && !host.Initialize()) {
        err << "kav-host: initialize failed: " << host.LastError() << '\n';
        return false;
    }
    for (const Step& step : std::span(scenario.steps).subspan(stubs)) {
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
            case StepKind::HostStub: host.StubRequest(step.method, step.path, StubReply(step)); break;
            default: break;
        }
    }
    return true;
}

}  // namespace

std::string NewServeSecret() {
    std::random_device source("/dev/urandom");
    std::string secret;
    for (int i = 0; i < 6; ++i) {
        char digits[9];
        auto [end, error] = std::to_chars(digits, digits + 8, static_cast<uint32_t>(source()), 16);
        secret += std::string(static_cast<size_t>(8 - (end - digits)), '0') + std::string(digits, end);
    }
    return secret;
}

std::string BasicAuthorization(std::string_view user, std::string_view secret) {
    static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = std::string(user) + ':' + std::string(secret);
    std::string encoded = "Basic ";
    for (size_t i = 0; i < text.size(); i += 3) {
        uint32_t bits = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16;
        if (i + 1 < text.size()) bits |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
        if (i + 2 < text.size()) bits |= static_cast<unsigned char>(text[i + 2]);
        for (size_t k = 0; k < 4; ++k) encoded += i + k <= text.size() ? kDigits[bits >> (18 - 6 * k) & 63] : '=';
    }
    return encoded;
}

std::string ServeLockPath(uint16_t port) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* home = std::getenv("HOME");
    std::filesystem::path dir = runtime != nullptr && *runtime == '/' ? std::filesystem::path(runtime) / "kav-host"
                                : home != nullptr && *home == '/'     ? std::filesystem::path(home) / ".cache" / "kav-host"
                                                                      : std::filesystem::temp_directory_path() / "kav-host";
    return (dir / ("serve-" + std::to_string(port) + ".lock")).string();
}

std::string WriteServeLock(const std::string& path, uint16_t port, const std::string& secret) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path file(path);
    fs::path dir = file.parent_path();
    fs::create_directories(dir, ec);
    // The directory first: no other user may open the file, even before its mode is set.
    if (!ec) fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    if (ec) return "cannot make the directory '" + dir.string() + "': " + ec.message();
    fs::path self = fs::read_symlink("/proc/self", ec);
    const std::string pid = ec ? std::string("0") : self.string();
    fs::path temporary = file;
    temporary += ".new";
    fs::remove(temporary, ec);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
        if (out && !ec) out << "kav-host:" << pid << ':' << port << ':' << secret << ":http";
        if (!out || ec || !out.flush()) return "cannot write the lock file '" + path + "'";
    }
    fs::rename(temporary, file, ec);
    if (ec) return "cannot write the lock file '" + path + "': " + ec.message();
    return {};
}

int RunServe(int argc, char** argv, const std::string& defaultPlugin, std::ostream& out, std::ostream& err,
             const ServeTerminal& terminal) {
    ServeArguments arguments;
    if (std::string error = ReadArguments(argc, argv, arguments); !error.empty()) {
        err << "kav-host: " << error << "\nTry 'kav-host serve --help'.\n";
        return kExitUsage;
    }
    arguments.options.style.color = ColorWanted(arguments.color, terminal.out, terminal.noColor);
    if (arguments.help) {
        out << kServeHelp;
        return kExitPassed;
    }
    std::string plugin = arguments.plugin.value_or(
        arguments.options.trace && !terminal.tracedPlugin.empty() ? terminal.tracedPlugin : defaultPlugin);
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
    // A name would have to be resolved, and the page's origin would differ from it.
    if (arguments.options.address == "localhost") arguments.options.address = "127.0.0.1";
    if (!IpAddress(arguments.options.address)) {
        err << "kav-host: '" << arguments.options.address << "' is not an IP address (nor localhost)\n";
        return kExitUsage;
    }
    if (!arguments.noAuth) {
        arguments.options.secret = NewServeSecret();
    } else {
        err << "kav-host: warning: --no-auth: any local process, or any user of this machine, can drive the plugin\n";
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
            // Any address reaches the server on 0.0.0.0: the loopback one is shown.
            if (address == "0.0.0.0") address = "127.0.0.1";
            if (address == "[::]") address = "[::1]";
            const std::string& secret = arguments.options.secret;
            std::string lock = secret.empty() ? std::string() : ServeLockPath(server.Port());
            std::string lockError = secret.empty() ? std::string() : WriteServeLock(lock, server.Port(), secret);
            std::string lines = "kav-host: serving " + host.PluginName() + " on http://" + address + ':' +
                                std::to_string(server.Port()) + '/' + (secret.empty() ? "" : "?token=" + secret) +
                                " (Ctrl-C stops)\n";
            if (!secret.empty()) {
                lines += lockError.empty() ? "kav-host: the secret is in " + lock + "; curl -u kav-host:" + secret + " ...\n"
                                           : "kav-host: warning: " + lockError + "; curl -u kav-host:" + secret + " ...\n";
            }
            server.Say(lines);
            server.WaitForSignal();
            server.Stop();
            std::error_code ignored;
            if (!lock.empty() && lockError.empty()) std::filesystem::remove(lock, ignored);
        }
    }
    host.Shutdown();
    out << "kav-host: stopped" << std::endl;
    return status;
}

}  // namespace Vemi::HostTool
