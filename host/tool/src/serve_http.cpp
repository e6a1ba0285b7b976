// kav-host serve's HTTP side: the connections with their limits, and the answers: the
// page, the host's session and the plugin's paths.
#include "serve_server.h"

#include "host_tool/describe.h"
#include "host_tool/scenario.h"
#include "serve_page.h"

#include <sstream>

namespace Vemi::HostTool {

using namespace detail;

namespace {

std::string Milliseconds(std::chrono::milliseconds time) { return std::to_string(time.count()) + " ms"; }

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
                StartSocketSession(stream_.release_socket(), server_, std::move(req));
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

void detail::StartHttpSession(tcp::socket&& socket, Server::Impl& server) {
    std::make_shared<HttpSession>(std::move(socket), server)->Start();
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
    if (path == kApiPath) {
        // The plugin's API description, for the page's explorer; fixed once loaded.
        if (!read) return done(MethodNotAllowed("GET, HEAD"));
        std::ostringstream json;
        DescribeApiJson(host.Record(), json, {});
        HttpAnswer answer;
        answer.contentType = "application/json; charset=utf-8";
        answer.body = json.str();
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

}  // namespace Vemi::HostTool
