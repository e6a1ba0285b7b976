// The parts of kav-host serve's server: the WebSocket subscribers (serve_socket.cpp), the
// HTTP connections and their answers (serve_http.cpp), and the server (serve.cpp).
#pragma once

#include <kav/host_tool/serve.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace Vemi::HostTool {
namespace detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;
using Strand = asio::strand<asio::io_context::executor_type>;
// An HTTP connection's socket and timer name their thread's event loop by its own type: no
// type-erased executor is copied and destroyed with each operation.
using Socket = tcp::socket::rebind_executor<asio::io_context::executor_type>::other;
using Timer = asio::basic_waitable_timer<std::chrono::steady_clock, asio::wait_traits<std::chrono::steady_clock>,
                                         asio::io_context::executor_type>;

constexpr std::string_view kSocketPath = "/ws";
constexpr std::string_view kApiPath = "/kav-host/api";  // the plugin's API description as JSON
constexpr std::string_view kOpenApiPath = "/openapi.json";  // the same as an OpenAPI 3.1 document
constexpr std::string_view kServerName = "kav-host";

inline std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

class WsSession;

// A text as a JSON string, its bytes made valid UTF-8 first.
inline void WriteText(JsonWriter& writer, std::string_view text) {
    std::string json = ValueToJson(Host::StringValue(text).get());
    writer.RawValue(json.data(), json.size(), rapidjson::kStringType);
}

// The WebSocket subscribers and the order of everything published to them.
class Hub {
public:
    explicit Hub(const ServeLimits& limits) : limits_(limits) {}

    // Numbers the item and queues it for every subscriber of key (or of "*").
    void Publish(std::string_view source, std::string_view key, std::string_view payloadJson);
    // Changes session's keys and queues its acknowledgement, which carries the number of
    // the last item published before it: every later item reaches the session. Before it,
    // replay: the last items of those kept (the last kReplayItems published, of at most
    // the limits' backlogBytes together) that the session's keys match.
    // add: none when it held more keys than a connection may have.
    void Subscribe(const std::shared_ptr<WsSession>& session, const std::optional<std::vector<std::string>>& add,
                   const std::vector<std::string>& remove, size_t replay = 0);
    static constexpr size_t kReplayItems = 256;  // the last items published, for a replay
    void Add(const std::shared_ptr<WsSession>& session);  // a subscriber of no key yet
    void Remove(const WsSession* session);
    // Closes every subscriber's connection (1001 going away) and forgets them.
    void CloseAll();
    [[nodiscard]] const ServeLimits& Limits() const noexcept { return limits_; }

private:
    struct Subscriber {
        std::shared_ptr<WsSession> session;
        std::set<std::string, std::less<>> keys;
        size_t keyBytes = 0;  // of keys together: bounds the acknowledgement too
    };
    struct Kept {
        std::string key;
        std::shared_ptr<const std::string> message;
    };
    std::mutex mutex_;
    uint64_t sequence_ = 0;
    std::map<const WsSession*, Subscriber> subscribers_;
    std::deque<Kept> kept_;  // at most kReplayItems, of backlogBytes together: a replay fits a backlog
    size_t keptBytes_ = 0;
    const ServeLimits& limits_;
};

// A connection that waits for its next request and may be closed to make room. The server
// links the waiting ones into a list, oldest first: no allocation per request.
class IdleConnection {
public:
    virtual ~IdleConnection() = default;
    virtual void Evict() = 0;  // from any thread
    // The connection while it is alive, else none (being destroyed).
    [[nodiscard]] virtual std::shared_ptr<IdleConnection> Keep() noexcept = 0;

    // The server's, under its idleMutex.
    IdleConnection* idlePrev = nullptr;
    IdleConnection* idleNext = nullptr;
    bool idleLinked = false;
};

// Serves one accepted connection over HTTP; an upgrade to kSocketPath becomes a WebSocket.
void StartHttpSession(Socket&& socket, Server::Impl& server);
// Takes over an HTTP connection whose request asks for the upgrade.
void StartSocketSession(tcp::socket&& socket, Server::Impl& server, Request req);

}  // namespace detail

struct Server::Impl {
    using Request = detail::Request;

    Impl(Host::Host& host, ServeOptions options, std::ostream& out)
        : host(host), options(std::move(options)), out(out), hub(this->options.limits) {}

    // Declared before io: the connections that io's handlers still hold at its end use them.
    Host::Host& host;
    ServeOptions options;
    std::ostream& out;
    detail::Hub hub;
    uint16_t port = 0;
    std::string portText;    // port in decimal
    std::string urlAddress;  // options.address as a Host names it

    std::atomic<size_t> connections{0};
    std::atomic<uint64_t> requests{0}, pluginEvents{0}, hostEvents{0}, pluginRequests{0};
    std::atomic<uint64_t> socketsOpened{0}, socketsDropped{0}, evicted{0};
    std::atomic<size_t> sockets{0};  // WebSocket sessions alive

    std::mutex pluginMutex;  // held by every call into the plugin and the host's session
    std::mutex outMutex;  // one writer of out at a time: the transcript and the command's lines

    // Connections waiting for their next request, by when they began to: the first has
    // waited longest.
    std::mutex idleMutex;
    detail::IdleConnection* idleFirst = nullptr;
    detail::IdleConnection* idleLast = nullptr;

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    bool stopped = false;

    // One io_context for each network thread, as nginx has its workers: a connection stays
    // on the thread that accepted it and needs no strand. io is the first thread's, and
    // also runs the listener and the queue of calls waiting for the plugin lock, whose
    // handlers may hold connections of the others: these go after it.
    std::vector<std::unique_ptr<detail::asio::io_context>> moreIo;  // the other threads'
    std::atomic<size_t> nextIo{0};
    detail::asio::io_context io{1};
    detail::Strand plugin = detail::asio::make_strand(io);
    detail::Strand accepting = detail::asio::make_strand(io);
    detail::tcp::acceptor acceptor{accepting};
    detail::asio::steady_timer acceptDelay{accepting};
    std::vector<std::thread> threads;

    void Accept();
    void Drain();  // under the plugin lock: what the plugin did, to the output and the hub
    std::vector<Host::Entry> drained;  // Drain's, under the plugin lock
    [[nodiscard]] detail::asio::io_context& NextIo();  // for a new connection, in turn
    void EnterIdle(detail::IdleConnection& connection);
    void LeaveIdle(detail::IdleConnection& connection);  // also when not idle
    [[nodiscard]] bool EvictIdlest();
    // The answer that refuses req before anything else looks at it (a foreign Host, no
    // secret, a foreign Origin), or none. local: the address the connection reached.
    [[nodiscard]] std::optional<HttpAnswer> Refusal(const Request& req, std::string_view local) const;
    [[nodiscard]] bool AllowedHost(std::string_view host, std::string_view local) const;
    [[nodiscard]] bool AllowedOrigin(std::string_view origin, std::string_view local) const;
    // One of the origins --allow-origin named: answered with CORS headers.
    [[nodiscard]] bool CrossOrigin(std::string_view origin) const;
    // The CORS headers of an answer to origin, when it is a CrossOrigin.
    void AddCors(HttpAnswer& answer, std::string_view origin) const;
    [[nodiscard]] bool Authorized(const Request& req) const;
    std::string basicAuthorization;  // "Basic " and kav-host:SECRET in Base64: what curl -u sends
    [[nodiscard]] std::string CookieName() const { return "kav-host-" + std::to_string(port); }
    // Answers req through done, possibly from another thread.
    void Handle(Request req, std::function<void(HttpAnswer)> done);
    // req as the host hands it to the plugin; made outside the plugin lock.
    [[nodiscard]] static Host::RequestData PluginRequest(Request&& req);
    [[nodiscard]] HttpAnswer SessionAnswer(const Request& req);
};

}  // namespace Vemi::HostTool
