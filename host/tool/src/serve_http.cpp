// kav-host serve's HTTP side: the connections with their limits, and the answers: the
// page, the host's session and the plugin's paths.
#include "serve_server.h"

#include <kav/host_tool/describe.h>
#include <kav/host_tool/openapi.h>
#include <kav/host_tool/scenario.h>
#include "serve_page.h"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <sstream>
#include <variant>

namespace Vemi::HostTool {

using namespace detail;

namespace {

// Names on the wire are ASCII: no locale is asked, one character at a time.
constexpr char AsciiLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || b.empty()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        size_t digit = kDigits.find(c);
        if (digit == std::string_view::npos) return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(digit);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes += static_cast<char>(bits >> count & 0xff);
        }
    }
    return bytes;
}

// The value of name in a query ("a=1&token=X") or a cookie header ("a=1; kav-host-8080=X").
std::optional<std::string_view> ItemOf(std::string_view items, std::string_view name, char separator) {
    while (!items.empty()) {
        size_t end = items.find(separator);
        std::string_view item = items.substr(0, end);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        if (item.starts_with(name) && item.size() > name.size() && item[name.size()] == '=') return item.substr(name.size() + 1);
        if (end == std::string_view::npos) break;
        items.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::optional<std::string_view> QueryToken(std::string_view target) {
    size_t query = target.find('?');
    if (query == std::string_view::npos) return std::nullopt;
    return ItemOf(target.substr(query + 1), "token", '&');
}

// An address as a URL names it: IPv6 in brackets.
std::string UrlHost(std::string_view address) {
    return address.find(':') != std::string_view::npos ? '[' + std::string(address) + ']' : std::string(address);
}

std::string Milliseconds(std::chrono::milliseconds time) { return std::to_string(time.count()) + " ms"; }

// A network thread that always finds another request waiting would keep its processor for
// the kernel's whole time slice (4 ms on many kernels) while the connections of a thread
// waiting for one wait as long: every kYieldEvery answers, it lets a waiting thread in.
constexpr unsigned kYieldEvery = 16;

void YieldNow() {
    thread_local unsigned answered = 0;
    if (++answered % kYieldEvery == 0) std::this_thread::yield();
}

class HttpSession : public IdleConnection, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(Socket&& socket, Server::Impl& server)
        : socket_(std::move(socket)), server_(server), timer_(socket_.get_executor()) {
        ++server_.connections;
        beast::error_code ec;
        // A reply goes out in one write: nothing is gained by waiting to fill a segment.
        socket_.set_option(tcp::no_delay(true), ec);
        asio::ip::address local = socket_.local_endpoint(ec).address();
        if (local.is_v6() && local.to_v6().is_v4_mapped()) local = local.to_v6().to_v4();
        if (!ec) local_ = UrlHost(local.to_string());
        shortest_ = std::max(std::min({Limits().idleTimeout, Limits().requestTimeout, Limits().writeTimeout}),
                             std::chrono::milliseconds(1));
    }
    ~HttpSession() {
        server_.LeaveIdle(*this);
        --server_.connections;
    }

    void Start() {
        asio::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->WaitForRequest(); });
    }

    void Evict() override {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (self->waiting_) self->Close();  // not if a request began meanwhile
        });
    }

    std::shared_ptr<IdleConnection> Keep() noexcept override { return weak_from_this().lock(); }

private:
    using Clock = Timer::clock_type;
    enum class Phase { None, Idle, Request, Write };

    const ServeLimits& Limits() const { return server_.options.limits; }

    // A connection kept alive waits for its next request's first byte within the idle time.
    void WaitForRequest() {
        if (buffer_.size() != 0) return ReadRequest();
        Watch(Phase::Idle, Limits().idleTimeout);
        waiting_ = true;
        server_.EnterIdle(*this);
        socket_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code ec, size_t n) {
            self->server_.LeaveIdle(*self);
            self->waiting_ = false;
            if (ec) return self->Close();
            self->buffer_.commit(n);
            self->ReadRequest();
        });
    }

    // From its first byte, the whole request must arrive within the request time; at its
    // end the read is cancelled, to answer 408 on the open connection.
    void ReadRequest() {
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(Limits().headerBytes));
        parser_->body_limit(Limits().bodyBytes);
        parser_->on_chunk_header(onChunkHeader_);
        headBytes_ = 0;
        trailerFrom_.reset();
        timedOut_ = false;
        Watch(Phase::Request, Limits().requestTimeout);
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

    // The one timer watches the deadline of the phase: armed at most the shortest limit
    // ahead, it is early enough for any phase that begins before it fires, so that a
    // request seldom touches it; firing early, it waits again.
    void Watch(Phase phase, std::chrono::milliseconds limit) {
        Clock::time_point now = Clock::now();
        phase_ = phase;
        deadline_ = now + limit;
        if (!armed_ || armedAt_ > deadline_) Arm(std::min(deadline_, now + shortest_));
    }

    void Arm(Clock::time_point at) {
        armed_ = true;
        armedAt_ = at;
        timer_.expires_at(at);
        timer_.async_wait([weak = weak_from_this(), at](beast::error_code) {
            auto self = weak.lock();
            if (!self || !self->armed_ || self->armedAt_ != at) return;  // set again or stopped since
            self->armed_ = false;
            self->OnTimer();
        });
    }

    void OnTimer() {
        if (phase_ == Phase::None) return;
        Clock::time_point now = Clock::now();
        if (now < deadline_) return Arm(std::min(deadline_, now + shortest_));
        if (phase_ == Phase::Request) {
            phase_ = Phase::None;
            timedOut_ = true;
            beast::error_code ignored;
            socket_.cancel(ignored);
            return;
        }
        Close();  // idle too long, or a client that does not read its reply
    }

    void StopWatching() {
        phase_ = Phase::None;
        if (!armed_) return;
        armed_ = false;
        timer_.cancel();
    }

    void OnRead(beast::error_code ec) {
        phase_ = Phase::None;
        if (ec == http::error::end_of_stream || ec == http::error::partial_message) return Close();
        if (timedOut_) {
            return Fail(408, "The request did not arrive within " + Milliseconds(Limits().requestTimeout));
        }
        if (ec == http::error::body_limit) {
            return Fail(413, "The body is larger than " + std::to_string(Limits().bodyBytes) + " bytes");
        }
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) return HeadTooLarge();
        if (ec && ec.category() == http::make_error_code(http::error::bad_method).category()) {
            return Fail(400, "Malformed request: " + ec.message());
        }
        if (ec) return Close();
        Request req = parser_->release();
        if (trailerFrom_ && !DropTrailer(req)) return HeadTooLarge();
        // Another origin's page allowed by --allow-origin: its answers carry CORS headers.
        std::string origin = server_.options.allowedOrigins.empty() ? std::string() : std::string(req[http::field::origin]);
        if (std::optional<HttpAnswer> refusal = server_.Refusal(req, local_)) {
            server_.AddCors(*refusal, origin);
            return Write(std::move(*refusal), false, req.method() == http::verb::head, req.version());
        }
        if (websocket::is_upgrade(req) && PathOf(req.target()) == kSocketPath) {
            StopWatching();
            StartSocketSession(tcp::socket(std::move(socket_)), server_, std::move(req));
            return;
        }
        // Kept here for the answer: one request at a time is read. done holds only the
        // connection, which std::function keeps without an allocation.
        asking_ = {req.keep_alive(), req.method() == http::verb::head, req.version(), std::move(origin)};
        server_.Handle(std::move(req), [self = shared_from_this()](HttpAnswer answer) {
            self->server_.AddCors(answer, self->asking_.origin);
            // Inline when the plugin ran on this connection's own thread.
            asio::dispatch(self->socket_.get_executor(), [self, answer = std::move(answer)]() mutable {
                const Asking& asked = self->asking_;
                self->Write(std::move(answer), asked.keepAlive, asked.head, asked.version);
            });
        });
    }

    void HeadTooLarge() {
        Fail(431, "The request line and headers are larger than " + std::to_string(Limits().headerBytes) + " bytes");
    }

    // Beast (1.74) bounds neither chunk extensions nor trailers: they count against the
    // head's limit here, and the read buffer's own limit bounds what a line may hold.
    void OnChunkHeader(uint64_t size, std::string_view extensions, beast::error_code& ec) {
        if (headBytes_ == 0) headBytes_ = HeadBytes(parser_->get());
        headBytes_ += extensions.size();
        if (headBytes_ > Limits().headerBytes) {
            ec = http::error::header_limit;
            return;
        }
        // The last chunk: its trailer's fields are about to join the headers.
        if (size == 0) trailerFrom_ = static_cast<size_t>(std::distance(parser_->get().begin(), parser_->get().end()));
    }

    static size_t HeadBytes(const Request& req) {
        size_t bytes = req.method_string().size() + req.target().size() + 12;
        for (const auto& field : req) bytes += field.name_string().size() + field.value().size() + 4;
        return bytes;
    }

    // Removes the trailer's fields: they reach neither the plugin nor the connection's
    // framing. Answers false when they and the head exceed the head's limit together.
    bool DropTrailer(Request& req) {
        size_t index = 0;
        for (auto it = req.begin(); it != req.end(); ++index) {
            if (index < *trailerFrom_) {
                ++it;
                continue;
            }
            headBytes_ += it->name_string().size() + it->value().size() + 4;
            it = req.erase(it);
        }
        return headBytes_ <= Limits().headerBytes;
    }

    void Fail(unsigned status, const std::string& error) { Write(ErrorAnswer(status, error), false, false, 11); }

    // The head is written here rather than by Beast's serializer, whose buffer sequences
    // cost more than the rest of the answer; the plugin's framing headers were dropped
    // before (AnswerFromReply), so the length and the connection's fate are ours alone.
    void Write(HttpAnswer answer, bool keepAlive, bool head, unsigned version) {
        std::string& out = head_;
        out.clear();
        out += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
        out += std::to_string(answer.status);
        out += ' ';
        std::string_view reason = http::obsolete_reason(static_cast<http::status>(answer.status));
        out.append(reason.data(), reason.size());
        out += "\r\nServer: ";
        out += kServerName;
        out += "\r\n";
        for (const Host::Header& header : answer.headers) {
            if (!answer.contentType.empty() && SameLetters(header.name, "Content-Type")) continue;
            out += header.name;
            out += ": ";
            out += header.value;
            out += "\r\n";
        }
        if (!answer.contentType.empty()) {
            out += "Content-Type: ";
            out += answer.contentType;
            out += "\r\n";
        }
        // These statuses have no body, and so no length.
        bool bodiless = answer.status < 200 || answer.status == 204 || answer.status == 304;
        if (bodiless) {
            answer.body.clear();
        } else {
            out += "Content-Length: ";
            out += std::to_string(answer.body.size());
            out += "\r\n";
        }
        if (!keepAlive && version != 10) out += "Connection: close\r\n";
        if (keepAlive && version == 10) out += "Connection: keep-alive\r\n";
        out += "\r\n";
        body_ = std::move(answer.body);
        if (head) body_.clear();  // the length stays, as for the GET
        Watch(Phase::Write, Limits().writeTimeout);
        std::array<asio::const_buffer, 2> buffers{asio::buffer(head_), asio::buffer(body_)};
        asio::async_write(socket_, buffers, [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
            ++self->server_.requests;
            YieldNow();
            self->phase_ = Phase::None;
            if (ec || !keepAlive) return self->Close();
            self->WaitForRequest();
        });
    }

    void Close() {
        StopWatching();
        beast::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.close(ignored);
    }

    // The request being answered, as its answer needs it.
    struct Asking {
        bool keepAlive = false;
        bool head = false;
        unsigned version = 11;
        std::string origin;  // an --allow-origin page's, for the CORS headers
    };

    Socket socket_;
    Server::Impl& server_;
    Asking asking_;
    // Room for a head at its limit and a little more: a line the parser cannot end within
    // it (a chunk extension, a trailer) ends the request.
    beast::flat_buffer buffer_{server_.options.limits.headerBytes + 4096};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string head_, body_;  // of the answer being written
    std::function<void(uint64_t, std::string_view, beast::error_code&)> onChunkHeader_ =
        [this](uint64_t size, std::string_view extensions, beast::error_code& ec) { OnChunkHeader(size, extensions, ec); };
    size_t headBytes_ = 0;               // the head, chunk extensions and trailer so far
    std::optional<size_t> trailerFrom_;  // the number of header fields before the trailer's
    Timer timer_;
    Phase phase_ = Phase::None;
    Clock::time_point deadline_;  // of the phase
    bool armed_ = false;          // timer_ waits, until armedAt_
    Clock::time_point armedAt_;
    std::chrono::milliseconds shortest_{1};  // of the limits in time
    bool timedOut_ = false;
    bool waiting_ = false;  // for a request's first byte: the connection may be evicted
    std::string local_;     // the address the client reached, as a Host names it
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

void detail::StartHttpSession(Socket&& socket, Server::Impl& server) {
    std::make_shared<HttpSession>(std::move(socket), server)->Start();
}

// The names this server is really reached by: a page of another name (DNS rebinding: a
// name of the attacker's that resolves here) reads nothing.
bool Server::Impl::AllowedHost(std::string_view host, std::string_view local) const {
    std::string_view name = host;
    if (size_t colon = host.rfind(':'); colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
        if (host.substr(colon + 1) != portText) return false;
        name = host.substr(0, colon);
    } else if (port != 80) {
        return false;
    }
    for (std::string_view known : {std::string_view("localhost"), std::string_view("127.0.0.1"), std::string_view("[::1]"),
                                   std::string_view(urlAddress), local}) {
        if (!known.empty() && SameLetters(name, known)) return true;
    }
    return false;
}

bool Server::Impl::CrossOrigin(std::string_view origin) const {
    for (const std::string& allowed : options.allowedOrigins) {
        if (SameLetters(origin, allowed)) return true;
    }
    return false;
}

void Server::Impl::AddCors(HttpAnswer& answer, std::string_view origin) const {
    if (origin.empty() || !CrossOrigin(origin)) return;
    answer.headers.push_back({"Access-Control-Allow-Origin", std::string(origin)});
    answer.headers.push_back({"Access-Control-Allow-Credentials", "true"});
    answer.headers.push_back({"Vary", "Origin"});
}

bool Server::Impl::AllowedOrigin(std::string_view origin, std::string_view local) const {
    if (CrossOrigin(origin)) return true;
    constexpr std::string_view scheme = "http://";
    return origin.size() > scheme.size() && SameLetters(origin.substr(0, scheme.size()), scheme) &&
           AllowedHost(origin.substr(scheme.size()), local);
}

// Basic auth with any user name and the secret, the page's cookie, or the secret in the
// address the serving line prints (which the page's answer turns into the cookie).
bool Server::Impl::Authorized(const Request& req) const {
    const std::string& secret = options.secret;
    if (secret.empty()) return true;
    for (auto [it, end] = req.equal_range(http::field::authorization); it != end; ++it) {
        std::string_view value = it->value();
        if (SameSecret(value, basicAuthorization)) return true;  // as curl -u sends it: nothing to decode
        if (value.size() < 6 || !SameLetters(value.substr(0, 6), "basic ")) continue;
        std::optional<std::string> credentials = Base64Decode(value.substr(6));
        if (!credentials) continue;
        size_t colon = credentials->find(':');
        if (colon != std::string::npos && SameSecret(std::string_view(*credentials).substr(colon + 1), secret)) return true;
    }
    std::string cookie = CookieName();
    for (auto [it, end] = req.equal_range(http::field::cookie); it != end; ++it) {
        std::optional<std::string_view> value = ItemOf(it->value(), cookie, ';');
        if (value && SameSecret(*value, secret)) return true;
    }
    std::optional<std::string_view> token = QueryToken(req.target());
    return PathOf(req.target()) == "/" && token && SameSecret(*token, secret);
}

std::optional<HttpAnswer> Server::Impl::Refusal(const Request& req, std::string_view local) const {
    size_t hosts = req.count(http::field::host);
    if (hosts > 1) return ErrorAnswer(400, "A request names one Host");
    if (hosts == 0) {
        if (req.version() >= 11) return ErrorAnswer(400, "An HTTP/1.1 request must name its Host");
    } else if (std::string_view host = req[http::field::host]; !AllowedHost(host, local)) {
        return ErrorAnswer(403, "The host " + std::string(host) + " is not served here: use http://127.0.0.1:" +
                                    std::to_string(port) + "/");
    }
    if (req.method() == http::verb::options && req.count(http::field::access_control_request_method) != 0) {
        // A browser's preflight carries no credentials: allowed origins get their CORS
        // headers here (AddCors), any other is refused.
        std::string_view origin = req[http::field::origin];
        if (!CrossOrigin(origin)) return ErrorAnswer(403, "Requests from the origin " + std::string(origin) + " are refused");
        HttpAnswer answer;
        answer.status = 204;
        answer.headers.push_back({"Access-Control-Allow-Methods", "GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS"});
        std::string_view asked = req[http::field::access_control_request_headers];
        answer.headers.push_back({"Access-Control-Allow-Headers", asked.empty() ? "Authorization, Content-Type" : std::string(asked)});
        answer.headers.push_back({"Access-Control-Max-Age", "600"});
        return answer;
    }
    if (!Authorized(req)) {
        HttpAnswer answer = ErrorAnswer(401, "Open the address the serving line printed, or pass the secret of the lock file "
                                             "as Basic auth (curl -u kav-host:SECRET)");
        answer.headers.push_back({"WWW-Authenticate", R"(Basic realm="kav-host serve", charset="UTF-8")"});
        return answer;
    }
    auto origin = req.find(http::field::origin);
    if (origin != req.end() && !AllowedOrigin(origin->value(), local)) {
        // A page of another site in the developer's browser must not drive the plugin.
        return ErrorAnswer(403, "Requests from the origin " + std::string(origin->value()) + " are refused");
    }
    return std::nullopt;
}

namespace {

constexpr int kPluginSpins = 256;

inline void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

void Server::Impl::Handle(Request req, std::function<void(HttpAnswer)> done) {
    std::string_view target = req.target();
    std::string_view path = PathOf(target);
    bool read = req.method() == http::verb::get || req.method() == http::verb::head;
    if (target.empty() || target.front() != '/') return done(ErrorAnswer(400, "The request target must be a path"));
    if (path == kSocketPath) return done(ErrorAnswer(426, "This is the WebSocket endpoint: ask for an upgrade"));
    for (const PageFile& file : PageFiles()) {
        if (path != file.path) continue;
        if (!read) return done(MethodNotAllowed("GET, HEAD"));
        HttpAnswer answer;
        if (std::optional<std::string_view> token = QueryToken(target); path == "/" && token && !options.secret.empty()) {
            // The secret from the serving line's address becomes the page's cookie, and the
            // address bar loses it. Strict: no other site's page carries it along.
            answer.status = 303;
            answer.headers.push_back({"Location", "/"});
            if (SameSecret(*token, options.secret)) {
                answer.headers.push_back({"Set-Cookie", CookieName() + "=" + options.secret + "; Path=/; HttpOnly; SameSite=Strict"});
            }
        } else {
            answer.contentType = file.contentType;
            answer.body = file.body;
        }
        answer.headers.push_back({"Cache-Control", "no-store"});
        // Never inside another site's frame, whose clicks would carry this page's origin.
        answer.headers.push_back({"Content-Security-Policy", "frame-ancestors 'none'"});
        answer.headers.push_back({"X-Frame-Options", "DENY"});
        answer.headers.push_back({"X-Content-Type-Options", "nosniff"});
        return done(std::move(answer));
    }
    // The plugin's API description, for the page's explorer, and the same as an OpenAPI
    // document; both fixed once the plugin is loaded.
    if (path == kApiPath || path == kOpenApiPath) {
        if (!read) return done(MethodNotAllowed("GET, HEAD"));
        std::ostringstream json;
        if (path == kApiPath) {
            DescribeApiJson(host.Record(), json, {});
        } else {
            OpenApiOptions openApi;
            openApi.serverUrl = "http://" + urlAddress + ':' + portText;
            openApi.basicAuth = !options.secret.empty();
            DescribeOpenApi(host.Record(), json, openApi);
        }
        HttpAnswer answer;
        answer.contentType = "application/json; charset=utf-8";
        answer.body = json.str();
        answer.headers.push_back({"Cache-Control", "no-store"});
        return done(std::move(answer));
    }
    // Every other path is the host's: the plugin's functions, or its 404 (as in run). The
    // plugin's request is made before the plugin lock is taken and its answer after, so
    // that the lock is held only for the call.
    std::variant<Request, Host::RequestData> call;
    try {
        if (path == Host::kSessionUri) {
            call = std::move(req);
        } else {
            call = PluginRequest(std::move(req));
        }
    } catch (const std::exception& e) {
        return done(ErrorAnswer(500, e.what()));
    }
    // Every call into the plugin (and the host's session, which the plugin follows) runs
    // under the plugin lock, one at a time: at once on this thread when the lock is free,
    // else on the plugin strand, so that a network thread never waits for the plugin.
    auto underLock = [this](std::variant<Request, Host::RequestData>& call) -> std::variant<HttpAnswer, Host::ReplyData> {
        std::variant<HttpAnswer, Host::ReplyData> outcome;
        try {
            if (Request* session = std::get_if<Request>(&call)) {
                outcome = SessionAnswer(*session);
            } else {
                outcome = AskPlugin(host, std::move(std::get<Host::RequestData>(call)));
            }
        } catch (const std::exception& e) {
            outcome = ErrorAnswer(500, e.what());
        }
        Drain();
        return outcome;
    };
    auto answerOf = [](std::variant<HttpAnswer, Host::ReplyData>&& outcome) {
        try {
            if (Host::ReplyData* reply = std::get_if<Host::ReplyData>(&outcome)) return AnswerFromReply(*reply);
            return std::get<HttpAnswer>(std::move(outcome));
        } catch (const std::exception& e) {
            return ErrorAnswer(500, e.what());
        }
    };
    // A call holds the lock for microseconds: a short spin for it is cheaper than the two
    // hops between threads that the strand costs.
    std::unique_lock lock(pluginMutex, std::defer_lock);
    for (int spin = 0; spin < kPluginSpins && !lock.try_lock(); ++spin) CpuRelax();
    if (lock.owns_lock()) {
        std::variant<HttpAnswer, Host::ReplyData> outcome = underLock(call);
        lock.unlock();
        return done(answerOf(std::move(outcome)));
    }
    asio::post(plugin, [this, underLock, answerOf, call = std::move(call), done = std::move(done)]() mutable {
        std::unique_lock lock(pluginMutex);
        std::variant<HttpAnswer, Host::ReplyData> outcome = underLock(call);
        lock.unlock();
        done(answerOf(std::move(outcome)));
    });
}

Host::RequestData Server::Impl::PluginRequest(Request&& req) {
    std::vector<Host::Header> headers;
    headers.reserve(static_cast<size_t>(std::distance(req.begin(), req.end())));
    for (const auto& field : req) headers.push_back({std::string(field.name_string()), std::string(field.value())});
    return RequestFromHttp(req.method_string(), req.target(), std::move(headers), std::move(req.body()));
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
