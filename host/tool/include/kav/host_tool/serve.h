// kav-host serve: the plugin behind a local HTTP and WebSocket server, as front ends meet
// it in the game client. Requests under the plugin's paths go through the replacement
// host's request record; the host's gameflow session is read and set over HTTP; every
// event the plugin sends (and the host's own events and the requests the plugin makes)
// reaches WebSocket subscribers as JSON, in order; "/" serves a page that drives it all.
//
// Every call into the plugin runs under one lock, one at a time: the plugin's sequencer
// takes no lock. Network work runs on the other threads and never waits for the plugin,
// and the plugin never waits for a client.
#pragma once

#include <kav/host/host.h>
#include <kav/host_tool/cli.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {

struct ServeLimits {
    size_t headerBytes = 16 * 1024;  // request line and headers together: 431 beyond
    size_t bodyBytes = 1024 * 1024;  // 413 beyond
    std::chrono::milliseconds idleTimeout{30000};     // waiting for the next request
    std::chrono::milliseconds requestTimeout{10000};  // a request, first byte to last: 408
    std::chrono::milliseconds writeTimeout{10000};    // a reply to a client that does not read
    size_t messageBytes = 64 * 1024;  // one WebSocket message from a client
    size_t keyBytes = 1024;           // one subscription key
    size_t keysBytes = 64 * 1024;     // all of one connection's keys together
    size_t backlogBytes = 1024 * 1024;  // queued for a WebSocket client: dropped beyond (1008)
    size_t connections = 256;         // open connections: the longest idle is closed beyond
};

struct ServeOptions {
    std::string address = "127.0.0.1";  // an IP address
    uint16_t port = 8080;  // 0: any free port
    int threads = 2;       // network threads
    bool transcript = true;  // print every host/plugin call to the output stream
    bool headers = false;    // ... with the requests' and replies' headers
    bool trace = false;      // ... and the plugin's trace lines
    Style style;             // colour of the transcript
    // Every request must carry it (Basic auth, any user name, or the page's cookie); empty:
    // none is asked for.
    std::string secret;
    // Origins of pages elsewhere (a dev server: "http://localhost:5173") that may call the
    // server from a browser, with CORS; as --allow-origin gave them, without a trailing "/".
    std::vector<std::string> allowedOrigins;
    ServeLimits limits;
};

// An origin as --allow-origin takes it: "http://" or "https://", a host, an optional port,
// nothing after ("/" alone is dropped). Empty when origin is not one, error then says why.
[[nodiscard]] std::string OriginOption(std::string_view origin, std::string& error);

struct ServeStats {
    uint64_t requests = 0;        // HTTP replies written
    uint64_t pluginEvents = 0;    // events the plugin sent
    uint64_t hostEvents = 0;      // events the host delivered to the plugin
    uint64_t pluginRequests = 0;  // requests the plugin sent to the host
    uint64_t socketsOpened = 0;   // WebSocket clients accepted
    uint64_t socketsDropped = 0;  // ... dropped for a full backlog
    uint64_t evicted = 0;         // idle connections closed to make room for a new one
};

// ---- The mapping between HTTP and the host's records (no network) ----

// A request as the host builds it: method code (API_METHOD_CUSTOM with the method's text
// for any other method), the target with its query, header names in lower case in their
// order, and the body with its content type when the message carries one.
[[nodiscard]] Host::RequestData RequestFromHttp(std::string_view method, std::string_view target,
                                                std::vector<Host::Header> headers,
                                                std::optional<std::string> body);

struct HttpAnswer {
    unsigned status = 200;
    std::string contentType;  // empty without a body
    std::string body;
    std::vector<Host::Header> headers;  // extra headers
};

// The plugin's reply as HTTP: an error is a JSON error body with the status (400 when the
// reply has none); otherwise the status (0: 200 with a body, 204 without), the content type
// (application/json when none) and the body as JSON, or the bytes a stream gave.
[[nodiscard]] HttpAnswer AnswerFromReply(const Host::ReplyData& reply);

// A request of a client of the host's local server, through the host to the plugin: HEAD
// is answered by the GET function when the plugin has no HEAD one; a path that no function
// of the plugin has gets the host's 404 "No resource at PATH". run and serve both ask so.
[[nodiscard]] Host::ReplyData AskPlugin(Host::Host& host, Host::RequestData request);

// The reply part of a request's transcript line: the HTTP status the client receives, the
// reply record's own status, with headers the answer's headers, then the body as sent
// (JSON spaced after ',' and ':'): ` => HTTP 200 (reply status 0) {"name": "", "priority": -1}`
[[nodiscard]] std::string ClientReplyText(const Host::ReplyData& reply, bool headers);

// {"status": N, "error": "TEXT"}
[[nodiscard]] HttpAnswer ErrorAnswer(unsigned status, std::string_view error);

// A host value as JSON: empty null, texts as strings (bad UTF-8 replaced by U+FFFD), blobs
// as lowercase hex strings, collections arrays, structures objects in member order; NaN
// and infinities null, nesting beyond Host::kMaxValueDepth null.
[[nodiscard]] std::string ValueToJson(const HostValue& value);

// ---- The server ----

class Server {
public:
    // host holds a loaded, initialized plugin and outlives the server; the transcript, when
    // printed, goes to out (written by one thread at a time).
    Server(Host::Host& host, ServeOptions options, std::ostream& out);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and starts the threads; answers an error text, empty when listening.
    [[nodiscard]] std::string Start();
    [[nodiscard]] uint16_t Port() const noexcept;
    // Blocks until SIGINT or SIGTERM (or Stop from another thread).
    void WaitForSignal();
    // Closes the listener and every connection and joins the threads. The plugin is left
    // as it is: its owner shuts it down.
    void Stop();
    [[nodiscard]] ServeStats Stats() const;
    // Writes text to the output between the transcript's lines, never inside one.
    void Say(std::string_view text);

    // Sends WebSocket subscribers of key an event of the host's, as if the host had
    // published it (without delivering it to the plugin).
    void Broadcast(std::string_view key, const HostValue& payload);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---- The secret ----

// A new random secret: 48 hexadecimal digits from the system's random source.
[[nodiscard]] std::string NewServeSecret();
// "Basic BASE64(user:secret)", as a client passes the secret.
[[nodiscard]] std::string BasicAuthorization(std::string_view user, std::string_view secret);
// Where serve leaves its lock file for port: $XDG_RUNTIME_DIR/kav-host/serve-PORT.lock,
// or $HOME/.cache/kav-host/serve-PORT.lock without a runtime directory.
[[nodiscard]] std::string ServeLockPath(uint16_t port);
// Writes "kav-host:PID:PORT:SECRET:http" to path, readable by the user alone (the file
// 0600, its directory 0700); answers an error text, empty when written.
[[nodiscard]] std::string WriteServeLock(const std::string& path, uint16_t port, const std::string& secret);

// `kav-host serve [--port N] [--address ADDR] [--plugin PATH] [--quiet] [SCENARIO]`;
// argv holds the command's arguments only. defaultPlugin: the build's own plugin, or empty.
// What serve's output meets: --color auto colours a terminal's output; --trace loads the
// traced plugin unless --plugin names one.
struct ServeTerminal {
    bool out = false;                // the output stream is a terminal
    const char* noColor = nullptr;   // the NO_COLOR environment variable
    std::string tracedPlugin;        // empty: --trace keeps the default plugin
};
[[nodiscard]] int RunServe(int argc, char** argv, const std::string& defaultPlugin, std::ostream& out,
                           std::ostream& err, const ServeTerminal& terminal = {});

}  // namespace Vemi::HostTool
