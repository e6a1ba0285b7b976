// The server of kav-host serve, on Boost.Beast.
#include "host_tool/serve.h"

#include "host_tool/scenario.h"
#include "serve_page.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace Vemi::HostTool {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr std::string_view kSocketPath = "/ws";
constexpr std::string_view kServerName = "kav-host";
constexpr size_t kMaxKeys = 1024;  // per WebSocket connection: a client cannot grow them without end

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

std::string Milliseconds(std::chrono::milliseconds time) { return std::to_string(time.count()) + " ms"; }

class WsSession;

// A text as a JSON string, its bytes made valid UTF-8 first.
void WriteText(JsonWriter& writer, std::string_view text) {
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

}  // namespace

struct Server::Impl {
    Impl(Host::Host& host, ServeOptions options, std::ostream& out)
        : host(host), options(std::move(options)), out(out), hub(this->options.limits.backlog) {}

    // Declared before io: the connections that io's handlers still hold at its end use them.
    Host::Host& host;
    ServeOptions options;
    std::ostream& out;
    Hub hub;
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

    asio::io_context io{1};
    asio::strand<asio::io_context::executor_type> plugin = asio::make_strand(io);
    asio::strand<asio::io_context::executor_type> accepting = asio::make_strand(io);
    tcp::acceptor acceptor{accepting};
    asio::steady_timer acceptDelay{accepting};
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

namespace {

// ---- WebSocket sessions -------------------------------------------------------------

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(tcp::socket&& socket, Server::Impl& server) : ws_(std::move(socket)), server_(server) {
        ++server_.connections;
    }
    ~WsSession() { --server_.connections; }

    void Start(Request req) {
        beast::get_lowest_layer(ws_).expires_never();  // the stream's own timeouts apply
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = server_.options.limits.requestTimeout;
        timeout.idle_timeout = server_.options.limits.idleTimeout;
        timeout.keep_alive_pings = true;  // a quiet watcher stays while it answers pings
        ws_.set_option(timeout);
        ws_.read_message_max(server_.options.limits.messageBytes);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        request_ = std::move(req);
        ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

    // From any thread; never waits. Answers false when the session is gone or was dropped.
    bool Deliver(std::shared_ptr<const std::string> message) {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        if (queue_.size() >= server_.hub.Backlog()) {
            closed_ = true;
            queue_.clear();
            ++server_.socketsDropped;
            asio::post(ws_.get_executor(), [self = shared_from_this()] {
                beast::error_code ignored;
                beast::get_lowest_layer(self->ws_).socket().close(ignored);
            });
            return false;
        }
        queue_.push_back(std::move(message));
        if (!writing_) {
            writing_ = true;
            asio::post(ws_.get_executor(), [self = shared_from_this()] { self->Write(); });
        }
        return true;
    }

    void Close() {
        asio::post(ws_.get_executor(), [self = shared_from_this()] {
            beast::error_code ignored;
            beast::get_lowest_layer(self->ws_).socket().close(ignored);
        });
    }

private:
    void OnAccept(beast::error_code ec) {
        if (ec) return End();
        ++server_.socketsOpened;
        Read();
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (ec) return End();  // closed, timed out, or a frame that breaks the protocol
        std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (!ws_.got_text()) {
            Reply(R"({"error":"Messages are JSON texts"})");
        } else {
            HandleMessage(text);
        }
        Read();
    }

    void HandleMessage(const std::string& text) {
        // Iterative: a message of nothing but brackets must not use up the stack.
        rapidjson::Document document;
        document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
        std::vector<std::string> add, remove;
        bool ok = !document.HasParseError() && document.IsObject() && document.MemberCount() != 0;
        if (ok) {
            for (auto& member : document.GetObject()) {
                std::string_view name(member.name.GetString(), member.name.GetStringLength());
                std::vector<std::string>* keys = name == "subscribe" ? &add : name == "unsubscribe" ? &remove : nullptr;
                ok = keys != nullptr && ReadKeys(member.value, *keys);
                if (!ok) break;
            }
        }
        if (!ok) {
            Reply(R"({"error":"Expected {\"subscribe\": [KEY, ...]} or {\"unsubscribe\": [KEY, ...]}; the key \"*\" is every key"})");
            return;
        }
        server_.hub.Subscribe(shared_from_this(), add, remove);
    }

    static bool ReadKeys(const rapidjson::Value& value, std::vector<std::string>& keys) {
        if (value.IsString()) {
            keys.emplace_back(value.GetString(), value.GetStringLength());
            return true;
        }
        if (!value.IsArray()) return false;
        for (const rapidjson::Value& key : value.GetArray()) {
            if (!key.IsString()) return false;
            keys.emplace_back(key.GetString(), key.GetStringLength());
        }
        return true;
    }

    void Reply(std::string text) { (void)Deliver(std::make_shared<const std::string>(std::move(text))); }

    void Write() {
        std::shared_ptr<const std::string> message;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                writing_ = false;
                return;
            }
            message = queue_.front();
        }
        ws_.text(true);
        ws_.async_write(asio::buffer(*message), [self = shared_from_this(), message](beast::error_code ec, size_t) {
            if (ec) return self->End();
            {
                std::lock_guard lock(self->mutex_);
                if (!self->queue_.empty()) self->queue_.pop_front();
            }
            self->Write();
        });
    }

    void End() {
        server_.hub.Remove(this);
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue_.clear();
    }

    websocket::stream<beast::tcp_stream> ws_;
    Server::Impl& server_;
    Request request_;
    beast::flat_buffer buffer_;
    std::mutex mutex_;  // guards the three below
    std::deque<std::shared_ptr<const std::string>> queue_;
    bool writing_ = false;
    bool closed_ = false;
};

void Hub::Publish(std::string_view source, std::string_view key, std::string_view payloadJson) {
    std::lock_guard lock(mutex_);
    ++sequence_;
    if (subscribers_.empty()) return;
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("seq");
    writer.Uint64(sequence_);
    writer.Key("source");
    writer.String(source.data(), static_cast<rapidjson::SizeType>(source.size()));
    writer.Key("key");
    WriteText(writer, key);
    writer.Key("payload");
    writer.RawValue(payloadJson.data(), payloadJson.size(), rapidjson::kObjectType);
    writer.EndObject();
    auto message = std::make_shared<const std::string>(buffer.GetString(), buffer.GetSize());
    for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        const auto& keys = it->second.keys;
        bool wanted = keys.find(key) != keys.end() || keys.find(std::string_view("*")) != keys.end();
        if (wanted && !it->second.session->Deliver(message)) {
            it = subscribers_.erase(it);  // dropped: its backlog was full
        } else {
            ++it;
        }
    }
}

void Hub::Subscribe(const std::shared_ptr<WsSession>& session, const std::vector<std::string>& add,
                    const std::vector<std::string>& remove) {
    std::lock_guard lock(mutex_);
    Subscriber& subscriber = subscribers_[session.get()];
    subscriber.session = session;
    if (subscriber.keys.size() + add.size() > kMaxKeys) {
        (void)session->Deliver(std::make_shared<const std::string>(
            R"({"error":"A connection subscribes to at most )" + std::to_string(kMaxKeys) + R"( keys"})"));
        return;
    }
    for (const std::string& key : add) subscriber.keys.insert(key);
    for (const std::string& key : remove) subscriber.keys.erase(key);
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("subscribed");
    writer.StartArray();
    for (const std::string& key : subscriber.keys) WriteText(writer, key);
    writer.EndArray();
    writer.Key("seq");
    writer.Uint64(sequence_);
    writer.EndObject();
    if (!session->Deliver(std::make_shared<const std::string>(buffer.GetString(), buffer.GetSize()))) {
        subscribers_.erase(session.get());
    }
}

void Hub::Remove(const WsSession* session) {
    std::shared_ptr<WsSession> keep;  // released after the lock
    std::lock_guard lock(mutex_);
    auto it = subscribers_.find(session);
    if (it == subscribers_.end()) return;
    keep = std::move(it->second.session);
    subscribers_.erase(it);
}

void Hub::CloseAll() {
    std::map<const WsSession*, Subscriber> subscribers;
    {
        std::lock_guard lock(mutex_);
        subscribers.swap(subscribers_);
    }
    for (auto& [pointer, subscriber] : subscribers) subscriber.session->Close();
}

// ---- HTTP sessions --------------------------------------------------------------------

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, Server::Impl& server)
        : stream_(std::move(socket)), server_(server), requestTimer_(stream_.get_executor()) {
        ++server_.connections;
    }
    ~HttpSession() { --server_.connections; }

    void Start() {
        asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->WaitForRequest(); });
    }

private:
    const ServeLimits& Limits() const { return server_.options.limits; }

    // A connection kept alive waits for its next request's first byte within the idle time.
    void WaitForRequest() {
        if (buffer_.size() != 0) return ReadRequest();
        stream_.expires_after(Limits().idleTimeout);
        stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t n) {
            if (ec) return self->Close();
            self->buffer_.commit(n);
            self->ReadRequest();
        });
    }

    // From its first byte, the whole request must arrive within the request time. A timer
    // of its own rather than the stream's, which would close the socket before the 408.
    void ReadRequest() {
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(Limits().headerBytes));
        parser_->body_limit(Limits().bodyBytes);
        stream_.expires_never();
        timedOut_ = false;
        requestTimer_.expires_after(Limits().requestTimeout);
        requestTimer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
            auto self = weak.lock();
            if (ec || !self) return;
            self->timedOut_ = true;
            beast::error_code ignored;
            self->stream_.socket().cancel(ignored);
        });
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        requestTimer_.cancel();
        if (ec == http::error::end_of_stream || ec == http::error::partial_message) return Close();
        if (timedOut_) {
            return Fail(408, "The request did not arrive within " + Milliseconds(Limits().requestTimeout));
        }
        if (ec == http::error::body_limit) {
            return Fail(413, "The body is larger than " + std::to_string(Limits().bodyBytes) + " bytes");
        }
        if (ec == http::error::header_limit) {
            return Fail(431, "The request line and headers are larger than " + std::to_string(Limits().headerBytes) + " bytes");
        }
        if (ec && ec.category() == http::make_error_code(http::error::bad_method).category()) {
            return Fail(400, "Malformed request: " + ec.message());
        }
        if (ec) return Close();
        Request req = parser_->release();
        if (websocket::is_upgrade(req) && PathOf(req.target()) == kSocketPath) {
            auto origin = req.find(http::field::origin);
            if (origin == req.end() || server_.AllowedOrigin(origin->value())) {
                std::make_shared<WsSession>(stream_.release_socket(), server_)->Start(std::move(req));
                return;
            }
        }
        bool keepAlive = req.keep_alive();
        bool head = req.method() == http::verb::head;
        unsigned version = req.version();
        server_.Handle(std::move(req), [self = shared_from_this(), keepAlive, head, version](HttpAnswer answer) {
            asio::post(self->stream_.get_executor(), [self, answer = std::move(answer), keepAlive, head, version]() mutable {
                self->Write(std::move(answer), keepAlive, head, version);
            });
        });
    }

    void Fail(unsigned status, const std::string& error) { Write(ErrorAnswer(status, error), false, false, 11); }

    void Write(HttpAnswer answer, bool keepAlive, bool head, unsigned version) {
        auto res = std::make_shared<Response>(static_cast<http::status>(answer.status), version);
        res->set(http::field::server, kServerName);
        for (const Host::Header& header : answer.headers) res->insert(header.name, header.value);
        if (!answer.contentType.empty()) res->set(http::field::content_type, answer.contentType);
        res->body() = std::move(answer.body);
        res->keep_alive(keepAlive);
        res->prepare_payload();
        if (head) res->body().clear();  // the length stays, as for the GET
        stream_.expires_after(Limits().writeTimeout);
        http::async_write(stream_, *res, [self = shared_from_this(), res, keepAlive](beast::error_code ec, size_t) {
            ++self->server_.requests;
            if (ec || !keepAlive) return self->Close();
            self->WaitForRequest();
        });
    }

    void Close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    beast::tcp_stream stream_;
    Server::Impl& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    asio::steady_timer requestTimer_;
    bool timedOut_ = false;
};

// {"phase": PHASE} or the phase alone as a JSON text; empty when neither or not a phase.
std::string PhaseFromBody(const std::string& body) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(body.c_str(), body.size());
    if (document.HasParseError()) return {};
    const rapidjson::Value* phase = &document;
    if (document.IsObject()) {
        auto member = document.FindMember("phase");
        if (member == document.MemberEnd()) return {};
        phase = &member->value;
    }
    if (!phase->IsString()) return {};
    std::string_view text(phase->GetString(), phase->GetStringLength());
    for (std::string_view known : GameflowPhases()) {
        if (known == text) return std::string(text);
    }
    return {};
}

HttpAnswer PhaseAnswer(const std::string& phase) {
    HttpAnswer answer;
    answer.contentType = "application/json";
    answer.body = R"({"phase":)" + ValueToJson(Host::StringValue(phase).get()) + "}";
    return answer;
}

HttpAnswer MethodNotAllowed(std::string_view allowed) {
    HttpAnswer answer = ErrorAnswer(405, "Allowed methods: " + std::string(allowed));
    answer.headers.push_back({"Allow", std::string(allowed)});
    return answer;
}

}  // namespace

// ---- The server's work --------------------------------------------------------------------

void Server::Impl::Accept() {
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than spin.
            acceptDelay.expires_after(std::chrono::milliseconds(50));
            acceptDelay.async_wait([this](beast::error_code waitError) {
                if (!waitError) Accept();
            });
            return;
        }
        if (connections >= options.limits.connections) {
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            std::make_shared<HttpSession>(std::move(socket), *this)->Start();
        }
        Accept();
    });
}

void Server::Impl::Drain() {
    Host::Transcript& transcript = host.GetTranscript();
    std::vector<Host::Entry> entries = transcript.Entries();
    transcript.Clear();  // a server runs for long: the record must not grow
    for (const Host::Entry& entry : entries) {
        if (options.transcript) out << "  " << Host::FormatEntry(entry) << '\n';
        switch (entry.kind) {
            case Host::EntryKind::SendEvent:
                ++pluginEvents;
                hub.Publish("plugin", entry.text, ValueToJson(entry.payload.get()));
                break;
            case Host::EntryKind::Event:
                ++hostEvents;
                hub.Publish("host", entry.text, ValueToJson(entry.payload.get()));
                break;
            case Host::EntryKind::SendRequest: {
                ++pluginRequests;
                rapidjson::StringBuffer buffer;
                JsonWriter writer(buffer);
                writer.StartObject();
                writer.Key("method");
                std::string method = Host::MethodName(entry.request.method, entry.request.customMethod);
                writer.String(method.c_str());
                writer.Key("arguments");
                writer.StartArray();
                for (const Host::Argument& argument : entry.request.arguments) {
                    std::string json = ValueToJson(argument.value.get());
                    writer.RawValue(json.data(), json.size(), rapidjson::kObjectType);
                }
                writer.EndArray();
                writer.Key("status");
                writer.Uint(entry.reply.status);
                if (entry.reply.hasError) {
                    writer.Key("error");
                    WriteText(writer, entry.reply.error);
                }
                writer.EndObject();
                hub.Publish("request", PathOf(entry.request.path), std::string_view(buffer.GetString(), buffer.GetSize()));
                break;
            }
            default: break;
        }
    }
    if (options.transcript && !entries.empty()) out.flush();
}

bool Server::Impl::AllowedOrigin(std::string_view origin) const {
    std::string suffix = ':' + std::to_string(port);
    for (std::string_view name : {std::string_view("127.0.0.1"), std::string_view("localhost"), std::string_view("[::1]"),
                                  std::string_view(options.address)}) {
        if (origin == "http://" + std::string(name) + suffix) return true;
    }
    return false;
}

bool Server::Impl::PluginPath(std::string_view path) const {
    for (const std::string& prefix : prefixes) {
        if (path.starts_with(prefix)) return true;
    }
    return false;
}

void Server::Impl::Handle(Request req, std::function<void(HttpAnswer)> done) {
    std::string_view target = req.target();
    std::string_view path = PathOf(target);
    bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    auto origin = req.find(http::field::origin);
    if (origin != req.end() && !AllowedOrigin(origin->value())) {
        // A page of another site in the developer's browser must not drive the plugin.
        return done(ErrorAnswer(403, "Requests from the origin " + std::string(origin->value()) + " are refused"));
    }
    if (target.empty() || target.front() != '/') return done(ErrorAnswer(400, "The request target must be a path"));
    if (path == kSocketPath) return done(ErrorAnswer(426, "This is the WebSocket endpoint: ask for an upgrade"));
    for (const PageFile& file : PageFiles()) {
        if (path != file.path) continue;
        if (!read) return done(MethodNotAllowed("GET, HEAD"));
        HttpAnswer answer;
        answer.contentType = file.contentType;
        answer.body = file.body;
        answer.headers.push_back({"Cache-Control", "no-store"});
        return done(std::move(answer));
    }
    bool session = path == Host::kSessionUri;
    if (!session && !PluginPath(path)) {
        return done(ErrorAnswer(404, "No resource at " + std::string(path)));
    }
    // Every call into the plugin (and the host's session, which the plugin follows) runs
    // on the plugin strand, one at a time.
    asio::post(plugin, [this, req = std::move(req), session, done = std::move(done)]() mutable {
        HttpAnswer answer;
        try {
            answer = session ? SessionAnswer(req) : PluginAnswer(req);
        } catch (const std::exception& e) {
            answer = ErrorAnswer(500, e.what());
        }
        Drain();
        done(std::move(answer));
    });
}

HttpAnswer Server::Impl::PluginAnswer(const Request& req) {
    std::vector<Host::Header> headers;
    for (const auto& field : req) headers.push_back({std::string(field.name_string()), std::string(field.value())});
    Host::RequestData request = RequestFromHttp(req.method_string(), req.target(), headers, req.body());
    const ApiFunctionEntry* function =
        Host::FindFunction(host.Record().description, request.method, request.customMethod, request.path);
    Host::ReplyData reply = function == nullptr && fallback != nullptr ? host.RequestFunction(*fallback, request)
                                                                       : host.Request(request);
    return AnswerFromReply(reply);
}

HttpAnswer Server::Impl::SessionAnswer(const Request& req) {
    switch (req.method()) {
        case http::verb::get:
        case http::verb::head: {
            std::optional<std::string> phase = host.SessionPhase();
            return phase ? PhaseAnswer(*phase) : ErrorAnswer(404, "No gameflow session");
        }
        case http::verb::put:
        case http::verb::patch: {
            std::string phase = PhaseFromBody(req.body());
            if (phase.empty()) {
                std::string phases;
                for (std::string_view known : GameflowPhases()) phases += (phases.empty() ? "" : ", ") + std::string(known);
                return ErrorAnswer(400, "The body must be {\"phase\": PHASE}, PHASE one of " + phases);
            }
            host.SetSessionPhase(phase);
            return PhaseAnswer(phase);
        }
        case http::verb::delete_: {
            host.DeleteSession();
            HttpAnswer answer;
            answer.status = 204;
            return answer;
        }
        default: return MethodNotAllowed("GET, HEAD, PUT, PATCH, DELETE");
    }
}

// ---- Server ----------------------------------------------------------------------------------

Server::Server(Host::Host& host, ServeOptions options, std::ostream& out)
    : impl_(std::make_unique<Impl>(host, std::move(options), out)) {}

Server::~Server() { Stop(); }

std::string Server::Start() {
    Impl& s = *impl_;
    for (const ApiFunctionEntry* function : s.host.Functions()) {
        std::string_view path = function->path == nullptr ? "" : function->path;
        size_t end = path.size() > 1 ? path.find('/', 1) : std::string_view::npos;
        if (path.empty() || path.front() != '/' || end == std::string_view::npos) continue;
        std::string prefix(path.substr(0, end + 1));
        if (prefix.find('{') != std::string::npos) continue;
        if (std::find(s.prefixes.begin(), s.prefixes.end(), prefix) == s.prefixes.end()) s.prefixes.push_back(prefix);
        if (s.fallback == nullptr && function->handler != nullptr) s.fallback = function;
    }
    beast::error_code ec;
    asio::ip::address address = asio::ip::make_address(s.options.address, ec);
    if (ec) return "'" + s.options.address + "' is not an IP address";
    tcp::endpoint endpoint(address, s.options.port);
    if (s.acceptor.open(endpoint.protocol(), ec); ec) return "cannot open a socket: " + ec.message();
    (void)s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (s.acceptor.bind(endpoint, ec); ec) {
        return "cannot listen on " + s.options.address + ":" + std::to_string(s.options.port) + ": " + ec.message();
    }
    if (s.acceptor.listen(asio::socket_base::max_listen_connections, ec); ec) return "cannot listen: " + ec.message();
    s.port = s.acceptor.local_endpoint().port();
    s.Drain();  // what happened before: load, initialize, the starting scenario
    s.Accept();
    for (int i = 0; i < std::max(1, s.options.threads); ++i) {
        s.threads.emplace_back([&s] {
            for (;;) {
                try {
                    s.io.run();
                    return;
                } catch (const std::exception&) {
                    // A handler ran out of memory, most likely; its connection is gone.
                }
            }
        });
    }
    return {};
}

uint16_t Server::Port() const noexcept { return impl_->port; }

void Server::WaitForSignal() {
    Impl& s = *impl_;
    asio::signal_set signals(s.io, SIGINT, SIGTERM);
    signals.async_wait([&s](beast::error_code ec, int) {
        if (ec) return;
        std::lock_guard lock(s.stopMutex);
        s.stopRequested = true;
        s.stopSignal.notify_all();
    });
    std::unique_lock lock(s.stopMutex);
    s.stopSignal.wait(lock, [&s] { return s.stopRequested; });
    lock.unlock();
    beast::error_code ignored;
    signals.cancel(ignored);
}

void Server::Stop() {
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.stopMutex);
        s.stopRequested = true;
        s.stopSignal.notify_all();
        if (s.stopped) return;
        s.stopped = true;
    }
    asio::post(s.accepting, [&s] {
        beast::error_code ignored;
        s.acceptor.close(ignored);
        s.acceptDelay.cancel();
    });
    s.hub.CloseAll();
    s.io.stop();
    for (std::thread& thread : s.threads) thread.join();
    s.threads.clear();
    s.hub.CloseAll();
}

ServeStats Server::Stats() const {
    const Impl& s = *impl_;
    ServeStats stats;
    stats.requests = s.requests;
    stats.pluginEvents = s.pluginEvents;
    stats.hostEvents = s.hostEvents;
    stats.pluginRequests = s.pluginRequests;
    stats.socketsOpened = s.socketsOpened;
    stats.socketsDropped = s.socketsDropped;
    return stats;
}

void Server::Broadcast(std::string_view key, const HostValue& payload) {
    impl_->hub.Publish("host", key, ValueToJson(payload));
}

}  // namespace Vemi::HostTool
