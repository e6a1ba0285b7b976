// The parts of kav-host serve's server: the WebSocket subscribers (serve_socket.cpp), the
// HTTP connections and their answers (serve_http.cpp), and the server (serve.cpp).
#pragma once

#include "host_tool/serve.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <condition_variable>
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

constexpr std::string_view kSocketPath = "/ws";
constexpr std::string_view kApiPath = "/kav-host/api";  // the plugin's API description as JSON
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
    explicit Hub(size_t backlog) : backlog_(backlog) {}

    // Numbers the item and queues it for every subscriber of key (or of "*").
    void Publish(std::string_view source, std::string_view key, std::string_view payloadJson);
    // Changes session's keys and queues its acknowledgement, which carries the number of
    // the last item published before it: every later item reaches the session.
    void Subscribe(const std::shared_ptr<WsSession>& session, const std::vector<std::string>& add,
                   const std::vector<std::string>& remove);
    void Remove(const WsSession* session);
    // Closes every subscriber's connection and forgets them.
    void CloseAll();
    [[nodiscard]] size_t Backlog() const noexcept { return backlog_; }

private:
    struct Subscriber {
        std::shared_ptr<WsSession> session;
        std::set<std::string, std::less<>> keys;
    };
    std::mutex mutex_;
    uint64_t sequence_ = 0;
    std::map<const WsSession*, Subscriber> subscribers_;
    size_t backlog_;
};

// Serves one accepted connection over HTTP; an upgrade to kSocketPath becomes a WebSocket.
void StartHttpSession(tcp::socket&& socket, Server::Impl& server);
// Takes over an HTTP connection whose request asks for the upgrade.
void StartSocketSession(tcp::socket&& socket, Server::Impl& server, Request req);

}  // namespace detail

struct Server::Impl {
    using Request = detail::Request;

    Impl(Host::Host& host, ServeOptions options, std::ostream& out)
        : host(host), options(std::move(options)), out(out), hub(this->options.limits.backlog) {}

    // Declared before io: the connections that io's handlers still hold at its end use them.
    Host::Host& host;
    ServeOptions options;
    std::ostream& out;
    detail::Hub hub;
    uint16_t port = 0;
    std::vector<std::string> prefixes;  // first path segments of the plugin's functions, "/name/"
    const ApiFunctionEntry* fallback = nullptr;  // answers plugin paths no route matches

    std::atomic<size_t> connections{0};
    std::atomic<uint64_t> requests{0}, pluginEvents{0}, hostEvents{0}, pluginRequests{0};
    std::atomic<uint64_t> socketsOpened{0}, socketsDropped{0};

    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopRequested = false;
    bool stopped = false;

    detail::asio::io_context io{1};
    detail::Strand plugin = detail::asio::make_strand(io);
    detail::Strand accepting = detail::asio::make_strand(io);
    detail::tcp::acceptor acceptor{accepting};
    detail::asio::steady_timer acceptDelay{accepting};
    std::vector<std::thread> threads;

    void Accept();
    void Drain();  // on the plugin strand: what the plugin did, to the output and the hub
    [[nodiscard]] bool AllowedOrigin(std::string_view origin) const;
    [[nodiscard]] bool PluginPath(std::string_view path) const;
    // Answers req through done, possibly from another thread.
    void Handle(Request req, std::function<void(HttpAnswer)> done);
    [[nodiscard]] HttpAnswer PluginAnswer(const Request& req);
    [[nodiscard]] HttpAnswer SessionAnswer(const Request& req);
};

}  // namespace Vemi::HostTool
