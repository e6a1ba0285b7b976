// kav-host serve: the mapping between HTTP and the host's records, the server with the
// real plugin and the fake one, hostile clients, and the loopback load test.
#include <kav/host_tool/player.h>
#include <kav/host_tool/openapi.h>
#include <kav/host_tool/serve.h>
#include <kav/host_tool/serve_load.h>

#include "host_test_support.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

using namespace Vemi;
using namespace Vemi::HostTool;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using HostTestSupport::Contains;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// ---- Mapping, no network ---------------------------------------------------------------

TEST(ServeMappingTest, RequestsAreBuiltAsTheHostBuildsThem) {
    // Methods by name: the known ones by their code, any other (lower case too) as a custom one.
    const std::pair<const char*, uint32_t> methods[] = {
        {"GET", API_METHOD_GET},         {"DELETE", API_METHOD_DELETE}, {"HEAD", API_METHOD_HEAD},
        {"OPTIONS", API_METHOD_OPTIONS}, {"PATCH", API_METHOD_PATCH},   {"PUT", API_METHOD_PUT},
        {"FROB", API_METHOD_CUSTOM},     {"get", API_METHOD_CUSTOM}};
    for (const auto& [method, code] : methods) {
        Host::RequestData request = RequestFromHttp(method, "/a/b?x=1&y", {}, std::nullopt);
        EXPECT_EQ(request.method, code) << method;
        EXPECT_EQ(request.customMethod, code == API_METHOD_CUSTOM ? method : "") << method;
        EXPECT_EQ(request.path, "/a/b?x=1&y");
        EXPECT_EQ(request.contentType, "");
        EXPECT_FALSE(request.body);
        EXPECT_TRUE(request.headers.empty() && request.arguments.empty());
    }
    // Header names in lower case; an empty body is no body, and then its content type means nothing.
    const std::vector<Host::Header> headers = {{"Content-Type", "application/json"}, {"X-Mode", "fast"}};
    const std::vector<Host::Header> sent = {{"content-type", "application/json"}, {"x-mode", "fast"}};
    for (std::string body : {R"({"a":1})", ""}) {
        Host::RequestData request = RequestFromHttp("POST", "/a", headers, body);
        EXPECT_EQ(request.method, uint32_t{API_METHOD_POST});
        EXPECT_EQ(request.contentType, body.empty() ? "" : "application/json");
        EXPECT_EQ(request.body, body.empty() ? std::nullopt : std::optional(body));
        EXPECT_EQ(request.headers, sent);
        EXPECT_TRUE(request.arguments.empty());
    }
}

Host::ReplyData Reply(uint32_t status, Host::OwnedValue body = {}, std::optional<std::string> error = std::nullopt) {
    Host::ReplyData reply;
    reply.delivered = true;
    reply.status = status;
    reply.body = std::move(body);
    if (error) {
        reply.hasError = true;
        reply.error = *error;
    }
    return reply;
}

TEST(ServeMappingTest, RepliesBecomeHttpAnswers) {
    Host::ReplyData streamed = Reply(0);
    streamed.streamed = true;
    streamed.streamBody = "alpha beta";
    Host::ReplyData brokenStream = streamed;
    brokenStream.streamFailed = true;
    Host::ReplyData typed = Reply(201, Host::StringValue("x"));
    typed.contentType = "application/vnd.api+json";
    typed.headers = {{"X-Trace", "7"}, {"Content-Length", "99"}, {"Bad Name", "x"}, {"X-Split", "a\r\nInjected: 1"}};
    Host::ReplyData errorWithoutFlag = Reply(409);
    errorWithoutFlag.error = "conflict";

    const struct {
        const char* label;
        Host::ReplyData reply;
        unsigned status;
        const char* contentType;
        std::string body;
        std::vector<Host::Header> headers;
    } cases[] = {
        {"no status, no body", Reply(0), 204, "", "", {}},
        {"no status, a body", Reply(0, Host::SignedValue(-5)), 200, "application/json", "-5", {}},
        {"a status of its own", typed, 201, "application/vnd.api+json", R"("x")", {{"X-Trace", "7"}}},
        {"204 drops a body", Reply(204, Host::BoolValue(true)), 204, "", "", {}},
        {"an error with its status", Reply(404, {}, "Invalid function"), 404, "application/json",
         R"({"status":404,"error":"Invalid function"})", {}},
        {"an error without a status", Reply(0, Host::SignedValue(1), "Expected value for argument 'name'."), 400,
         "application/json", R"({"status":400,"error":"Expected value for argument 'name'."})", {}},
        {"an error text without the flag", errorWithoutFlag, 409, "application/json", R"({"status":409,"error":"conflict"})", {}},
        {"a status HTTP has not", Reply(42), 500, "application/json", R"({"status":500,"error":"The plugin answered the status 42"})", {}},
        {"an informational status", Reply(101), 500, "application/json", R"({"status":500,"error":"The plugin answered the status 101"})", {}},
        {"a stream", streamed, 200, "application/octet-stream", "alpha beta", {}},
        {"a failed stream", brokenStream, 502, "application/json",
         R"({"status":502,"error":"The plugin's reply stream failed after 10 bytes"})", {}},
    };
    for (const auto& c : cases) {
        HttpAnswer answer = AnswerFromReply(c.reply);
        EXPECT_EQ(answer.status, c.status) << c.label;
        EXPECT_EQ(answer.contentType, c.contentType) << c.label;
        EXPECT_EQ(answer.body, c.body) << c.label;
        EXPECT_EQ(answer.headers, c.headers) << c.label;
    }
}

TEST(ServeMappingTest, ValuesBecomeJson) {
    std::vector<std::pair<std::string, Host::OwnedValue>> members;
    members.emplace_back("name", Host::StringValue("honor"));
    members.emplace_back("priority", Host::SignedValue(-5));
    members.emplace_back("tags", Host::CollectionValue({}));
    const uint8_t bytes[] = {0x00, 0xff, 0x10};
    // Nested deeper than the host's own copies go, as a chain that nothing releases.
    std::vector<HostValue> chain(Host::kMaxValueDepth + 5);
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        chain[i].kind = HOST_VALUE_COLLECTION;
        chain[i].u.collection = {&chain[i + 1], 1};
    }
    chain.back() = HostValue{HOST_VALUE_SIGNED, {.i64 = 1}};
    std::string deepText = ValueToJson(chain.front());

    const struct {
        Host::OwnedValue value;
        const char* json;
    } cases[] = {
        {Host::OwnedValue(), "null"}, {Host::BoolValue(false), "false"}, {Host::FloatValue(0.5), "0.5"},
        {Host::SignedValue(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
        {Host::UnsignedValue(std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
        {Host::FloatValue(std::nan("")), "null"}, {Host::FloatValue(-std::numeric_limits<double>::infinity()), "null"},
        {Host::StringValue("a\"b\\\n\x01"), R"("a\"b\\\n\u0001")"},
        {Host::StringValue("caf\xc3\xa9"), "\"caf\xc3\xa9\""},
        {Host::StringValue("bad \xff\xc3 and \xed\xa0\x80"), "\"bad \xef\xbf\xbd\xef\xbf\xbd and \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {Host::BlobValue(bytes), R"("00ff10")"},
        {Host::StructureValue(std::move(members)), R"({"name":"honor","priority":-5,"tags":[]})"},
    };
    for (const auto& c : cases) EXPECT_EQ(ValueToJson(c.value.get()), c.json);
    // Cut where the host's own copies stop, not at the stack's end; every level closed,
    // far past the writer's room for nesting on the stack.
    const size_t levels = static_cast<size_t>(Host::kMaxValueDepth);
    EXPECT_EQ(deepText, std::string(levels, '[') + "null" + std::string(levels, ']'));
}

// ---- A client of the server -----------------------------------------------------------------

const std::string kSecret = "0123456789abcdef0123456789abcdef0123456789abcdef";

struct Answer {
    unsigned status = 0;
    std::string body;
    std::string contentType;
    std::string allow;
};

Answer Send(uint16_t port, std::string_view method, std::string target, std::string body = {},
            std::vector<Host::Header> headers = {}) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> req;
    req.method_string(method);
    req.target(target);
    req.version(11);
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    req.set(http::field::authorization, BasicAuthorization("kav-host", kSecret));
    for (const Host::Header& header : headers) req.set(header.name, header.value);
    req.body() = std::move(body);
    req.prepare_payload();
    http::write(socket, req);
    beast::flat_buffer buffer;
    http::response<http::string_body> res;
    if (method == "HEAD") {
        http::response_parser<http::string_body> parser;
        parser.skip(true);
        http::read(socket, buffer, parser);
        res = parser.release();
    } else {
        http::read(socket, buffer, res);
    }
    return {res.result_int(), res.body(), std::string(res[http::field::content_type]), std::string(res[http::field::allow])};
}

// Writes bytes, then collects everything the server sends until it closes (closed is then
// set) or three seconds pass.
std::string Raw(uint16_t port, const std::string& bytes, bool* closed = nullptr, const char* address = "127.0.0.1") {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address(address), port));
    beast::error_code ignored;  // the server may close before it has read everything
    if (!bytes.empty()) asio::write(socket, asio::buffer(bytes), ignored);
    std::string received;
    std::array<char, 4096> chunk;
    std::function<void()> read = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](beast::error_code ec, size_t n) {
            received.append(chunk.data(), n);
            if (!ec) return read();
            if (closed != nullptr) *closed = true;
        });
    };
    if (closed != nullptr) *closed = false;
    read();
    io.run_for(3000ms);
    return received;
}

std::string StatusLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// "Host: x" in a raw request becomes the server's own name, with the secret.
std::string WithHost(std::string bytes, uint16_t port) {
    const std::string named = "Host: 127.0.0.1:" + std::to_string(port) + "\r\nAuthorization: " +
                              BasicAuthorization("kav-host", kSecret) + "\r\n";
    for (size_t at = bytes.find("Host: x\r\n"); at != std::string::npos; at = bytes.find("Host: x\r\n", at + named.size())) {
        bytes.replace(at, 9, named);
    }
    return bytes;
}

// A WebSocket client whose reads give up after a while.
class Watcher {
public:
    // receiveBuffer: a small window, so that a client that does not read is found out soon.
    explicit Watcher(uint16_t port, int receiveBuffer = 0) : ws_(io_) {
        tcp::socket& socket = beast::get_lowest_layer(ws_).socket();
        socket.open(tcp::v4());
        if (receiveBuffer != 0) socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& req) { req.set(http::field::authorization, BasicAuthorization("kav-host", kSecret)); }));
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/ws");
    }
    void Send(const std::string& text) {
        ws_.text(true);
        ws_.write(asio::buffer(text));
    }
    // The next message, or nothing when none comes within wait or the connection ended.
    std::optional<std::string> Read(std::chrono::milliseconds wait = 3000ms) {
        std::optional<std::string> message;
        beast::flat_buffer buffer;
        bool done = false;
        ws_.async_read(buffer, [&](beast::error_code ec, size_t) {
            done = true;
            if (!ec) message = beast::buffers_to_string(buffer.data());
        });
        io_.restart();
        io_.run_for(wait);
        if (!done) {
            beast::get_lowest_layer(ws_).cancel();
            io_.restart();
            io_.run_for(1000ms);
        }
        return message;
    }
    // Subscribes and answers the acknowledgement.
    std::string Subscribe(const std::string& keys) {
        Send(R"({"subscribe": )" + keys + "}");
        return Read().value_or("no acknowledgement");
    }
    tcp::socket& Socket() { return beast::get_lowest_layer(ws_).socket(); }
    // The code of the server's close frame, once a Read found the connection closed.
    [[nodiscard]] unsigned CloseCode() const { return ws_.reason().code; }

private:
    asio::io_context io_;
    websocket::stream<beast::tcp_stream> ws_;
};

ServeLimits FastLimits() {
    ServeLimits limits;
    limits.idleTimeout = 400ms;
    limits.requestTimeout = 400ms;
    limits.writeTimeout = 1000ms;
    return limits;
}

struct Served {
    explicit Served(const char* plugin, ServeLimits limits = FastLimits(), const char* address = "127.0.0.1",
                    std::vector<std::string> origins = {}) {
        EXPECT_TRUE(host.Load(plugin)) << host.LastError();
        EXPECT_TRUE(host.Initialize());
        ServeOptions options;
        options.address = address;
        options.port = 0;
        options.transcript = false;
        options.secret = kSecret;
        options.limits = limits;
        options.allowedOrigins = std::move(origins);
        server = std::make_unique<Server>(host, options, out);
        EXPECT_EQ(server->Start(), "");
        port = server->Port();
    }
    ~Served() {
        server->Stop();
        host.Shutdown();
    }
    Host::Host host;
    std::ostringstream out;
    std::unique_ptr<Server> server;
    uint16_t port = 0;
};

constexpr const char* kPlugin = KAV_HOST_PLUGIN_PATH;
const std::string kBase = "/kav-pre-end-of-game/v1/";
const std::string kSession = "/kav-gameflow/v1/session";

// ---- With the real plugin -----------------------------------------------------------------

TEST(ServeTest, EndpointsSessionAndPage) {
    Served s(kPlugin);
    const struct {
        const char* method;
        std::string target;
        std::string body;
        unsigned status;
        std::string answer;
    } cases[] = {
        {"GET", kBase + "currentSequenceEvent", "", 200, R"({"name":"","priority":-1})"},
        {"POST", kBase + "registration/honor/-5", "", 204, ""},
        {"POST", kBase + "registration/stats/0", "", 204, ""},
        {"POST", kBase + "registration/x/2147483648", "", 400,
         R"({"status":400,"error":"Value 2147483648 for 'priority' of type int32 is out of range"})"},
        {"GET", kBase + "registration/honor/-5", "", 404, R"({"status":404,"error":"Invalid function"})"},
        // No function has the path: the host's own answer, as in run.
        {"GET", kBase + "nothing/here", "", 404, R"({"status":404,"error":"No resource at /kav-pre-end-of-game/v1/nothing/here"})"},
        {"GET", kBase + "nothing/here?x=1", "", 404, R"({"status":404,"error":"No resource at /kav-pre-end-of-game/v1/nothing/here"})"},
        {"FROB", kBase + "currentSequenceEvent", "", 404, R"({"status":404,"error":"Invalid function"})"},
        {"GET", "/elsewhere", "", 404, R"({"status":404,"error":"No resource at /elsewhere"})"},
        {"GET", kSession, "", 200, R"({"phase":"None"})"},
        {"PUT", kSession, R"({"phase":"Bogus"})", 400, ""},
        {"PUT", kSession, "not json", 400, ""},
        {"PUT", kSession, std::string(1000000, '['), 400, ""},
        {"PUT", kSession, R"({"phase":"PreEndOfGame"})", 200, R"({"phase":"PreEndOfGame"})"},
        {"GET", kBase + "currentSequenceEvent", "", 200, R"({"name":"honor","priority":-5})"},
        {"POST", kBase + "complete/honor", "", 204, ""},
        {"POST", kBase + "complete/stats", "", 204, ""},
        {"GET", kSession, "", 200, R"({"phase":"EndOfGame"})"},
        {"POST", kSession, "", 405, R"({"status":405,"error":"Allowed methods: GET, HEAD, PUT, PATCH, DELETE"})"},
        {"DELETE", kSession, "", 204, ""},
        {"GET", kSession, "", 404, R"({"status":404,"error":"No gameflow session"})"},
        {"PATCH", kSession, R"("Lobby")", 200, R"({"phase":"Lobby"})"},
        {"GET", "/ws", "", 426, R"({"status":426,"error":"This is the WebSocket endpoint: ask for an upgrade"})"},
        {"POST", "/", "", 405, R"({"status":405,"error":"Allowed methods: GET, HEAD"})"},
    };
    for (const auto& c : cases) {
        Answer answer = Send(s.port, c.method, c.target, c.body);
        EXPECT_EQ(answer.status, c.status) << c.method << ' ' << c.target << ' ' << answer.body;
        if (!c.answer.empty()) {
            EXPECT_EQ(answer.body, c.answer) << c.method << ' ' << c.target;
        }
        if (c.status == 405) {
            EXPECT_FALSE(answer.allow.empty());
        }
    }
    Answer page = Send(s.port, "GET", "/");
    EXPECT_EQ(page.status, 200u);
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_TRUE(Contains(page.body, "/page.js"));
    for (const char* file : {"/page.js", "/page.css"}) {
        Answer asset = Send(s.port, "GET", file);
        EXPECT_EQ(asset.status, 200u) << file;
        EXPECT_FALSE(asset.body.empty()) << file;
    }
    // HEAD is GET without the body, on the plugin's GET endpoints and the host's session.
    for (const std::string& target : {kBase + "currentSequenceEvent", kSession}) {
        Answer head = Send(s.port, "HEAD", target);
        EXPECT_EQ(head.status, 200u) << target;
        EXPECT_TRUE(head.body.empty()) << target;
    }
    EXPECT_EQ(Send(s.port, "HEAD", kBase + "complete/x").status, 404u);
    // The page is never framed by another site.
    std::string raw = Raw(s.port, WithHost("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", s.port));
    EXPECT_TRUE(Contains(raw, "\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"));
    EXPECT_TRUE(Contains(raw, "\r\nX-Frame-Options: DENY\r\n"));
}

TEST(ServeTest, SubscribersReceiveTheirEventsInOrder) {
    Served s(kPlugin);
    Watcher all(s.port), current(s.port), none(s.port);
    EXPECT_EQ(all.Subscribe(R"(["*"])"), R"({"subscribed":["*"],"seq":1})");  // the GET of the session in initialize
    EXPECT_TRUE(Contains(current.Subscribe(R"(["OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent", "x"])"),
                         "subscribed"));
    EXPECT_TRUE(Contains(none.Subscribe(R"("nobody")"), R"("subscribed":["nobody"])"));
    current.Send(R"({"unsubscribe": ["x"]})");
    EXPECT_TRUE(Contains(current.Read().value_or(""),
                         R"("subscribed":["OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent"])"));

    EXPECT_EQ(Send(s.port, "POST", kBase + "registration/honor/-5").status, 204u);
    EXPECT_EQ(Send(s.port, "PUT", kSession, R"({"phase":"PreEndOfGame"})").status, 200u);
    EXPECT_EQ(Send(s.port, "POST", kBase + "complete/honor").status, 204u);

    const std::string honor = R"({"data":{"name":"honor","priority":-5},"eventType":"Update","uri":"/kav-pre-end-of-game/v1/currentSequenceEvent"})";
    const std::string empty = R"({"data":{"name":"","priority":-1},"eventType":"Update","uri":"/kav-pre-end-of-game/v1/currentSequenceEvent"})";
    const std::vector<std::string> expected = {
        R"({"seq":2,"source":"host","key":"OnJsonApiEvent_kav-gameflow_v1_session","payload":{"uri":"/kav-gameflow/v1/session","eventType":"Update","data":{"phase":"PreEndOfGame"}}})",
        R"({"seq":3,"source":"log","key":"log","payload":{"level":"Always","message":"PreEndOfGame sequence event changed - honor"}})",
        R"({"seq":4,"source":"plugin","key":"OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent","payload":)" + honor + "}",
        R"({"seq":5,"source":"plugin","key":"OnJsonApiEvent","payload":)" + honor + "}",
        R"({"seq":6,"source":"log","key":"log","payload":{"level":"Always","message":"PreEndOfGame sequence event changed - "}})",
        R"({"seq":7,"source":"plugin","key":"OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent","payload":)" + empty + "}",
        R"({"seq":8,"source":"plugin","key":"OnJsonApiEvent","payload":)" + empty + "}",
        R"({"seq":9,"source":"request","key":"/kav-gameflow/v1/session/event","payload":{"method":"POST","arguments":["GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED"],"status":204}})",
        R"({"seq":10,"source":"host","key":"OnJsonApiEvent_kav-gameflow_v1_session","payload":{"uri":"/kav-gameflow/v1/session","eventType":"Update","data":{"phase":"EndOfGame"}}})",
    };
    for (const std::string& message : expected) EXPECT_EQ(all.Read().value_or("nothing"), message);
    EXPECT_EQ(current.Read().value_or("nothing"), expected[2]);
    EXPECT_EQ(current.Read().value_or("nothing"), expected[5]);
    EXPECT_FALSE(current.Read(200ms));
    EXPECT_FALSE(none.Read(200ms));
    EXPECT_EQ(s.server->Stats().pluginEvents, 4u);
}

// The OpenAPI document is describe --openapi's, with this server's address.
TEST(ServeTest, TheOpenApiDocumentNamesThisServer) {
    Served s(kPlugin);
    Answer answer = Send(s.port, "GET", "/openapi.json");
    EXPECT_EQ(answer.status, 200u);
    EXPECT_EQ(answer.contentType, "application/json; charset=utf-8");
    OpenApiOptions options;
    options.serverUrl = "http://127.0.0.1:" + std::to_string(s.port);
    std::ostringstream expected;
    DescribeOpenApi(s.host.Record(), expected, options);
    EXPECT_EQ(answer.body, expected.str());
    EXPECT_EQ(Send(s.port, "POST", "/openapi.json").status, 405u);
    EXPECT_TRUE(Send(s.port, "HEAD", "/openapi.json").body.empty());
}

// The plugin's log lines are the source "log"; a late subscriber asks for the last items.
TEST(ServeTest, LogLinesAndReplay) {
    Served s(kPlugin);
    Watcher logs(s.port);
    EXPECT_EQ(logs.Subscribe(R"(["log"])"), R"({"subscribed":["log"],"seq":1})");
    EXPECT_EQ(Send(s.port, "POST", kBase + "registration/honor/-5").status, 204u);
    EXPECT_EQ(Send(s.port, "PUT", kSession, R"({"phase":"PreEndOfGame"})").status, 200u);
    EXPECT_EQ(Send(s.port, "POST", kBase + "complete/honor").status, 204u);
    const std::string changed = R"({"seq":3,"source":"log","key":"log","payload":{"level":"Always","message":"PreEndOfGame sequence event changed - honor"}})";
    EXPECT_EQ(logs.Read().value_or("nothing"), changed);
    std::string ended = logs.Read().value_or("nothing");
    EXPECT_TRUE(Contains(ended, R"("source":"log","key":"log","payload":{"level":"Always","message":"PreEndOfGame sequence event changed - "}})")) << ended;

    // Items 1 (the session's GET) to 10 (the session's EndOfGame) were published.
    const struct {
        const char* message;
        std::vector<std::string> firstKeys;  // of the replayed items, in order; then the acknowledgement
        const char* acknowledgement;
    } cases[] = {
        {R"({"subscribe": ["*"], "replay": 2})", {R"("seq":9,"source":"request")", R"("seq":10,"source":"host")"}, R"({"subscribed":["*"],"seq":10})"},
        {R"({"subscribe": ["log"], "replay": 100})", {changed, R"("seq":6,"source":"log")"}, R"({"subscribed":["log"],"seq":10})"},
        {R"({"subscribe": ["OnJsonApiEvent"], "replay": 1})", {R"("seq":8,"source":"plugin","key":"OnJsonApiEvent")"}, R"({"subscribed":["OnJsonApiEvent"],"seq":10})"},
        {R"({"subscribe": ["nobody"], "replay": 5})", {}, R"({"subscribed":["nobody"],"seq":10})"},
        {R"({"subscribe": ["*"], "replay": 0})", {}, R"({"subscribed":["*"],"seq":10})"},
        {R"({"subscribe": ["*"]})", {}, R"({"subscribed":["*"],"seq":10})"},
        {R"({"subscribe": ["*"], "replay": -1})", {}, R"({"error":"Expected {\"subscribe\": [KEY, ...], \"replay\": N} or {\"unsubscribe\": [KEY, ...]}; the key \"*\" is every key"})"},
        {R"({"subscribe": ["*"], "replay": "2"})", {}, R"({"error":"Expected)"},
        {R"({"subscribe": [3]})", {}, R"({"error":"Expected)"},
    };
    for (const auto& c : cases) {
        Watcher late(s.port);
        late.Send(c.message);
        for (const std::string& part : c.firstKeys) {
            std::string item = late.Read().value_or("nothing");
            EXPECT_TRUE(Contains(item, part)) << c.message << '\n' << item;
        }
        std::string acknowledgement = late.Read().value_or("nothing");
        EXPECT_TRUE(acknowledgement.starts_with(c.acknowledgement)) << c.message << '\n' << acknowledgement;
        EXPECT_FALSE(late.Read(100ms)) << c.message;
    }
}

// A dev server's page on another origin: CORS for the origins --allow-origin named.
TEST(ServeHostileTest, OnlyAllowedOriginsGetCors) {
    Served s(kPlugin, FastLimits(), "127.0.0.1", {"http://localhost:5173"});
    const std::string port = std::to_string(s.port);
    const std::string host = "Host: 127.0.0.1:" + port + "\r\n";
    const std::string auth = "Authorization: " + BasicAuthorization("kav-host", kSecret) + "\r\n";
    const std::string preflight = "OPTIONS /kav-pre-end-of-game/v1/registration/a/1 HTTP/1.1\r\n" + host +
                                  "Access-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: authorization\r\n";
    const std::string get = "GET /kav-pre-end-of-game/v1/currentSequenceEvent HTTP/1.1\r\n" + host;
    const std::string upgrade = "GET /ws HTTP/1.1\r\n" + host +
                                "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n";
    const struct {
        const char* label;
        std::string bytes;
        const char* statusLine;
        std::vector<const char*> headers;  // in the answer
        bool cors;  // Access-Control-Allow-Origin in the answer
    } cases[] = {
        {"preflight", preflight + "Origin: http://localhost:5173\r\n", "HTTP/1.1 204 No Content",
         {"\r\nAccess-Control-Allow-Origin: http://localhost:5173\r\n", "\r\nAccess-Control-Allow-Credentials: true\r\n",
          "\r\nAccess-Control-Allow-Methods: GET, HEAD, POST, PUT, PATCH, DELETE, OPTIONS\r\n",
          "\r\nAccess-Control-Allow-Headers: authorization\r\n", "\r\nVary: Origin\r\n"},
         true},
        {"preflight in capitals", preflight + "Origin: HTTP://LOCALHOST:5173\r\n", "HTTP/1.1 204 No Content",
         {"\r\nAccess-Control-Allow-Origin: HTTP://LOCALHOST:5173\r\n"}, true},
        {"preflight, other port", preflight + "Origin: http://localhost:5174\r\n", "HTTP/1.1 403 Forbidden", {}, false},
        {"preflight, no origin", preflight, "HTTP/1.1 403 Forbidden", {}, false},
        {"preflight, foreign Host", "OPTIONS / HTTP/1.1\r\nHost: evil.example:" + port +
                                        "\r\nAccess-Control-Request-Method: GET\r\nOrigin: http://localhost:5173\r\n",
         "HTTP/1.1 403 Forbidden", {}, true},
        {"request", get + auth + "Origin: http://localhost:5173\r\n", "HTTP/1.1 200 OK", {"\r\nAccess-Control-Allow-Credentials: true\r\n"}, true},
        {"request without the secret", get + "Origin: http://localhost:5173\r\n", "HTTP/1.1 401 Unauthorized", {}, true},
        {"request, other origin", get + auth + "Origin: http://localhost:5174\r\n", "HTTP/1.1 403 Forbidden", {}, false},
        {"request, own page", get + auth + "Origin: http://127.0.0.1:" + port + "\r\n", "HTTP/1.1 200 OK", {}, false},
        {"OPTIONS that is no preflight", "OPTIONS /kav-pre-end-of-game/v1/currentSequenceEvent HTTP/1.1\r\n" + host +
                                             "Origin: http://localhost:5173\r\n",
         "HTTP/1.1 401 Unauthorized", {}, true},
        {"socket", upgrade + auth + "Origin: http://localhost:5173\r\n", "HTTP/1.1 101 Switching Protocols", {}, false},
        {"socket, other origin", upgrade + auth + "Origin: http://localhost:5174\r\n", "HTTP/1.1 403 Forbidden", {}, false},
    };
    for (const auto& c : cases) {
        std::string received = Raw(s.port, c.bytes + "Connection: close\r\n\r\n");
        EXPECT_EQ(StatusLine(received), c.statusLine) << c.label;
        for (const char* header : c.headers) EXPECT_TRUE(Contains(received, header)) << c.label << '\n' << received;
        EXPECT_EQ(Contains(received, "Access-Control-Allow-Origin:"), c.cors) << c.label << '\n' << received;
    }
}

// ---- With the fake plugin: the request record as the plugin sees it ---------------------------

TEST(ServeTest, TheFakePluginSeesTheRequestAsSent) {
    Served s(FAKE_PLUGIN_PATH);
    Answer answer = Send(s.port, "POST", "/fake/v1/items/7?x=%20", R"({"a":1})",
                         {{"Content-Type", "application/json"}, {"X-Mode", "fast"}});
    EXPECT_EQ(answer.status, 200u);
    for (const char* part : {R"("function":"PostItem")", R"("method":6)", R"("path":"/fake/v1/items/7?x=%20")",
                             R"("contentType":"application/json")", R"("body":"{\"a\":1}")", "x-mode=fast;",
                             R"("arguments":[])"}) {
        EXPECT_TRUE(Contains(answer.body, part));
    }
    EXPECT_EQ(Send(s.port, "GET", "/fake/v1/stream").body, "alphabeta");
    EXPECT_EQ(Send(s.port, "GET", "/fake/v1/stream?fail").status, 502u);
}

// serve's transcript is run's: the same requests give the same lines (their numbers
// aside), headers only when asked for, log lines in the host's log form.
TEST(ServeTest, TranscriptReadsAsRunsDoes) {
    const struct {
        const char* method;
        std::string target;
    } requests[] = {
        {"POST", kBase + "registration/a/abc"},
        {"POST", kBase + "registration/a/1"},
        {"GET", kBase + "registration/a/1"},
        {"GET", kBase + "currentSequenceEvent"},
        {"GET", kBase + "nothing/here"},
        {"GET", "/other/thing"},
    };
    // Without its "  #N " the line reads the same in both.
    auto lines = [](const std::string& text, std::string_view kind) {
        std::vector<std::string> found;
        std::istringstream in(text);
        bool taken = false;
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("      ")) {  // a wrapped line's continuation
                if (taken) found.back() += ' ' + line.substr(6);
                continue;
            }
            size_t at = line.find(kind);
            taken = line.starts_with("  #") && at != std::string::npos && at < 12;
            if (taken) found.push_back(line.substr(at));
        }
        return found;
    };
    std::string scenario;
    for (const auto& r : requests) scenario += std::string("request ") + r.method + ' ' + r.target + '\n';
    scenario += "session PreEndOfGame\n";
    std::ostringstream runOut, runErr;
    ASSERT_EQ(RunScenario(kPlugin, ParseScenario(scenario, "t.kav"), runOut, runErr), 0) << runErr.str();

    for (bool headers : {false, true}) {
        Host::Host host;
        ASSERT_TRUE(host.Load(kPlugin)) << host.LastError();
        ASSERT_TRUE(host.Initialize());
        ServeOptions options;
        options.port = 0;
        options.secret = kSecret;
        options.limits = FastLimits();
        options.headers = headers;
        std::ostringstream out;
        {
            Server server(host, options, out);
            ASSERT_EQ(server.Start(), "");
            for (const auto& r : requests) (void)Send(server.Port(), r.method, r.target);
            EXPECT_EQ(Send(server.Port(), "PUT", kSession, R"({"phase":"PreEndOfGame"})").status, 200u);
            server.Stop();
        }
        host.Shutdown();
        std::vector<std::string> served = lines(out.str(), "-> request ");
        std::vector<std::string> ran = lines(runOut.str(), "-> request ");
        ASSERT_EQ(served.size(), ran.size()) << out.str();
        for (size_t i = 0; i < ran.size(); ++i) {
            if (headers) {
                // The client's headers, then the same reply with its headers before the body.
                size_t statusEnd = ran[i].find(')', ran[i].find(" => ")) + 1;
                EXPECT_TRUE(Contains(served[i], " host: \"127.0.0.1:")) << served[i];
                std::string contentType = statusEnd < ran[i].size() ? " content-type: \"application/json\"" : "";
                EXPECT_TRUE(Contains(served[i], ran[i].substr(ran[i].find(" => "), statusEnd - ran[i].find(" => ")) +
                                                    contentType)) << served[i];
                EXPECT_TRUE(served[i].ends_with(ran[i].substr(statusEnd))) << served[i] << '\n' << ran[i];
            } else {
                EXPECT_EQ(served[i], ran[i]);
            }
        }
        std::vector<std::string> logs = lines(out.str(), "<- log ");
        ASSERT_EQ(logs.size(), 1u) << out.str();
        EXPECT_TRUE(logs[0].ends_with("| ALWAYS| PreEndOfGame sequence event changed - a")) << logs[0];
    }
}

// The command's lines (the serving line) and the transcript come from different threads
// and go through one writer: a line is never cut by another.
TEST(ServeTest, TheServingLineNeverCutsATranscriptLine) {
    Host::Host host;
    ASSERT_TRUE(host.Load(kPlugin)) << host.LastError();
    ASSERT_TRUE(host.Initialize());
    ServeOptions options;
    options.port = 0;
    options.transcript = true;
    options.secret = kSecret;
    options.limits = FastLimits();
    std::ostringstream out;
    {
        Server server(host, options, out);
        ASSERT_EQ(server.Start(), "");
        const uint16_t port = server.Port();
        std::thread client([port] {
            for (int i = 0; i < 30; ++i) {
                EXPECT_EQ(Send(port, "PUT", kSession, i % 2 ? R"({"phase":"Lobby"})" : R"({"phase":"None"})").status, 200u);
            }
        });
        for (int i = 0; i < 30; ++i) server.Say("kav-host: serving\n");
        client.join();
        server.Stop();
    }
    host.Shutdown();
    const std::string text = out.str();
    const std::string line = "kav-host: serving\n";
    int said = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size())) {
        ++said;
        EXPECT_TRUE(at == 0 || text[at - 1] == '\n') << text;
    }
    EXPECT_EQ(said, 30);
    EXPECT_TRUE(Contains(text, "  ")) << "no transcript";
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << "an unfinished line: " << text.substr(at);
        std::string_view one(text.data() + at, end - at);
        EXPECT_TRUE(one == "kav-host: serving" || one.starts_with("  ")) << one;
        at = end + 1;
    }
}

// ---- Hostile clients ------------------------------------------------------------------------

TEST(ServeHostileTest, BadRequestsAreAnsweredAndClosed) {
    Served s(kPlugin);
    std::string big(20000, 'a');
    const struct {
        const char* label;
        std::string bytes;
        const char* statusLine;  // empty: closed without an answer
        bool closes = true;      // ... and then closed
    } cases[] = {
        {"headers too large", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
        {"request line too large", "GET /" + big + " HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
        {"body too large", "POST /kav-pre-end-of-game/v1/complete/x HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large"},
        {"chunked body too large",
         "POST /kav-pre-end-of-game/v1/complete/x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" +
             std::string(0x100001, 'b') + "\r\n0\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large"},
        {"garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "HTTP/1.1 400 Bad Request"},
        {"no version", "GET /\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"unknown version", "GET / HTTP/9.9\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"bad length", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"two lengths", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", "HTTP/1.1 400 Bad Request"},
        {"bad chunk", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "HTTP/1.1 400 Bad Request"},
        {"absolute target", "GET http://elsewhere/ HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
        {"foreign origin", "POST /kav-pre-end-of-game/v1/registration/a/1 HTTP/1.1\r\nHost: x\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.1 403 Forbidden"},
        {"foreign socket origin",
         "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Version: 13\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.1 403 Forbidden"},
        {"half a request line", "GET /kav-pre-end-of", "HTTP/1.1 408 Request Timeout"},
        {"headers without their end", "GET / HTTP/1.1\r\nHost: x\r\n", "HTTP/1.1 408 Request Timeout"},
        {"half a body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc", "HTTP/1.1 408 Request Timeout"},
        {"nothing at all", "", ""},
    };
    for (const auto& c : cases) {
        std::string received = Raw(s.port, WithHost(c.bytes, s.port));
        EXPECT_EQ(StatusLine(received), c.statusLine) << c.label;
        if (*c.statusLine != '\0') {
            EXPECT_EQ(Contains(received, "Connection: close"), c.closes) << c.label;
        }
    }
    // Nothing of the above reached the plugin, and the server still answers.
    EXPECT_EQ(Send(s.port, "GET", kBase + "currentSequenceEvent").body, R"({"name":"","priority":-1})");
}

TEST(ServeHostileTest, OnlyTheNamesTheServerIsReachedByAreServed) {
    Served s(kPlugin);
    const std::string port = std::to_string(s.port);
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n";
    const struct {
        std::string request;  // the request line's version and the headers
        const char* statusLine;
    } cases[] = {
        {"HTTP/1.1\r\nHost: 127.0.0.1:" + port, "HTTP/1.1 200 OK"},
        {"HTTP/1.1\r\nHost: localhost:" + port, "HTTP/1.1 200 OK"},
        {"HTTP/1.1\r\nHost: LocalHost:" + port, "HTTP/1.1 200 OK"},
        {"HTTP/1.1\r\nHost: [::1]:" + port, "HTTP/1.1 200 OK"},
        {"HTTP/1.0", "HTTP/1.0 200 OK"},  // HTTP/1.0 may leave Host out
        {"HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://localhost:" + port, "HTTP/1.1 200 OK"},
        // DNS rebinding: a name of the attacker's resolving to 127.0.0.1.
        {"HTTP/1.1\r\nHost: rebind.evil.example:" + port, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1\r\nHost: rebind.evil.example:" + port + "\r\n" + upgrade, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1\r\nHost: localhost.:" + port, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1\r\nHost: 127.0.0.1", "HTTP/1.1 403 Forbidden"},  // port 80
        {"HTTP/1.1\r\nHost: 127.0.0.1:1" + port, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: http://rebind.evil.example:" + port, "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nOrigin: null", "HTTP/1.1 403 Forbidden"},
        {"HTTP/1.1", "HTTP/1.1 400 Bad Request"},
        {"HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nHost: rebind.evil.example", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& c : cases) {
        std::string received = Raw(s.port, "GET /kav-gameflow/v1/session " + c.request + "\r\nAuthorization: " +
                                               BasicAuthorization("kav-host", kSecret) + "\r\n\r\n");
        EXPECT_EQ(StatusLine(received), c.statusLine) << c.request;
        EXPECT_EQ(Contains(received, R"({"phase":)"), std::string_view(c.statusLine).ends_with("200 OK")) << c.request;
    }
}

TEST(ServeHostileTest, ChunkExtensionsAndTrailersCountAsHead) {
    Served s(FAKE_PLUGIN_PATH);
    const std::string head = "POST /fake/v1/items/7 HTTP/1.1\r\nHost: x\r\nX-Mode: fast\r\nContent-Type: application/json\r\n"
                             "Transfer-Encoding: chunked\r\n";
    std::string manyExtensions;
    for (int i = 0; i < 20; ++i) manyExtensions += "1;e=" + std::string(1000, 'e') + "\r\n " + "\r\n";
    std::string manyTrailers;
    for (int i = 0; i < 200; ++i) manyTrailers += "X-T" + std::to_string(i) + ": " + std::string(100, 't') + "\r\n";
    const struct {
        const char* label;
        std::string bytes;
        const char* statusLine;
    } cases[] = {
        {"a small trailer", head + "\r\n2\r\n{}\r\n0\r\nX-Trailer: t\r\nConnection: close\r\n\r\n", "HTTP/1.1 200 OK"},
        {"a small extension", head + "\r\n2;a=b\r\n{}\r\n0\r\n\r\n", "HTTP/1.1 200 OK"},
        {"a trailer line over the limit", head + "\r\n2\r\n{}\r\n0\r\nX-Big: " + std::string(200000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"many trailer lines", head + "\r\n2\r\n{}\r\n0\r\n" + manyTrailers + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
        {"head and trailer together", head + "X-Pad: " + std::string(14000, 'p') + "\r\n\r\n2\r\n{}\r\n0\r\nX-T: " +
                                           std::string(3000, 't') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"an extension over the limit", head + "\r\n2;e=" + std::string(200000, 'e') + "\r\n{}\r\n0\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"many extensions", head + "\r\n" + manyExtensions + "0\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
        {"an extension on the last chunk", head + "\r\n2\r\n{}\r\n0;e=" + std::string(20000, 'e') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    for (const auto& c : cases) {
        std::string received = Raw(s.port, WithHost(c.bytes, s.port));
        EXPECT_EQ(StatusLine(received), c.statusLine) << c.label;
        // A trailer reaches neither the plugin nor the connection's framing.
        EXPECT_FALSE(Contains(received, "x-trailer")) << c.label;
        if (std::string_view(c.statusLine).ends_with("200 OK")) {
            EXPECT_TRUE(Contains(received, "x-mode=fast;")) << c.label;
            EXPECT_FALSE(Contains(received, "Connection: close")) << c.label;
        }
    }
}

TEST(ServeHostileTest, WithoutTheSecretNothingIsServed) {
    Served s(kPlugin);
    const std::string port = std::to_string(s.port);
    const std::string session = "GET /kav-gameflow/v1/session HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n";
    const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n";
    const struct {
        const char* label;
        std::string bytes;
        const char* statusLine;
        const char* header;  // in the answer
    } cases[] = {
        {"none", session, "HTTP/1.1 401 Unauthorized", "WWW-Authenticate: Basic realm=\"kav-host serve\""},
        {"the page without it", "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"a script of the page", "GET /page.js HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"the OpenAPI document", "GET /openapi.json HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"a socket", upgrade, "HTTP/1.1 401 Unauthorized", ""},
        {"another secret", session + "Authorization: " + BasicAuthorization("kav-host", kSecret + "0") + "\r\n",
         "HTTP/1.1 401 Unauthorized", ""},
        {"the secret as the user", session + "Authorization: " + BasicAuthorization(kSecret, "") + "\r\n",
         "HTTP/1.1 401 Unauthorized", ""},
        {"not Basic", session + "Authorization: Bearer " + kSecret + "\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"bad base64", session + "Authorization: Basic ***\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"the address's secret, not on the page", "GET /kav-gameflow/v1/session?token=" + kSecret + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                                      port + "\r\n",
         "HTTP/1.1 401 Unauthorized", ""},
        {"another port's cookie", session + "Cookie: kav-host-1=" + kSecret + "\r\n", "HTTP/1.1 401 Unauthorized", ""},
        {"Basic auth as curl -u sends it", session + "Authorization: " + BasicAuthorization("kav-host", kSecret) + "\r\n",
         "HTTP/1.1 200 OK", ""},
        {"Basic auth, any user", session + "Authorization: " + BasicAuthorization("me", kSecret) + "\r\n", "HTTP/1.1 200 OK", ""},
        {"basic in lower case", session + "Authorization: b" + BasicAuthorization("", kSecret).substr(1) + "\r\n",
         "HTTP/1.1 200 OK", ""},
        {"the cookie", session + "Cookie: a=b; kav-host-" + port + "=" + kSecret + "\r\n", "HTTP/1.1 200 OK", ""},
        {"the address's secret on the page", "GET /?token=" + kSecret + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n",
         "HTTP/1.1 303 See Other", ""},
        {"a wrong one on the page", "GET /?token=" + kSecret.substr(1) + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n",
         "HTTP/1.1 401 Unauthorized", ""},
        {"a socket with it", upgrade + "Cookie: kav-host-" + port + "=" + kSecret + "\r\n", "HTTP/1.1 101 Switching Protocols", ""},
    };
    for (const auto& c : cases) {
        std::string received = Raw(s.port, c.bytes + "Connection: close\r\n\r\n");
        EXPECT_EQ(StatusLine(received), c.statusLine) << c.label;
        EXPECT_TRUE(Contains(received, c.header)) << c.label;
    }
    std::string redirect = Raw(s.port, "GET /?token=" + kSecret + " HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n");
    EXPECT_TRUE(Contains(redirect, "\r\nLocation: /\r\n"));
    EXPECT_TRUE(Contains(redirect, "\r\nSet-Cookie: kav-host-" + port + "=" + kSecret + "; Path=/; HttpOnly; SameSite=Strict\r\n"));
}

TEST(ServeHostileTest, AtTheCapTheLongestIdleConnectionMakesRoom) {
    ServeLimits limits = FastLimits();
    limits.connections = 4;
    limits.idleTimeout = 20000ms;
    Served s(kPlugin, limits);
    // Four kept-alive connections, each idle after one answer, the first idle longest.
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> held;
    const std::string request = WithHost("GET /kav-gameflow/v1/session HTTP/1.1\r\nHost: x\r\n\r\n", s.port);
    auto ask = [&](tcp::socket& socket) {
        beast::error_code ec;
        asio::write(socket, asio::buffer(request), ec);
        beast::flat_buffer buffer;
        http::response<http::string_body> res;
        if (!ec) http::read(socket, buffer, res, ec);
        return ec ? 0u : res.result_int();
    };
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<tcp::socket>(io));
        held.back()->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), s.port));
        EXPECT_EQ(ask(*held.back()), 200u) << i;
    }
    // A fifth client is served; the first connection made room for it, the others stay.
    EXPECT_EQ(StatusLine(Raw(s.port, WithHost("GET /kav-gameflow/v1/session HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                                              s.port))),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(s.server->Stats().evicted, 1u);
    EXPECT_EQ(ask(*held[0]), 0u);
    for (int i = 1; i < 4; ++i) EXPECT_EQ(ask(*held[i]), 200u) << i;
}

TEST(ServeHostileTest, OnEveryAddressThePageDrivesItsOwnServer) {
    Served s(kPlugin, FastLimits(), "0.0.0.0");
    const std::string port = std::to_string(s.port);
    // 127.0.0.2 stands for the machine's other addresses: the page served from it is its origin.
    for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
        std::string request = "PUT /kav-gameflow/v1/session HTTP/1.1\r\nHost: " + std::string(address) + ":" + port +
                              "\r\nOrigin: http://" + address + ":" + port + "\r\nAuthorization: " +
                              BasicAuthorization("kav-host", kSecret) + "\r\nContent-Length: 17\r\nConnection: close\r\n\r\n"
                              R"({"phase":"Lobby"})";
        EXPECT_EQ(StatusLine(Raw(s.port, request, nullptr, address)), "HTTP/1.1 200 OK") << address;
        // ... and not a name the connection did not reach.
        std::string elsewhere = request;
        elsewhere.replace(elsewhere.find("Origin: http://") + 15, std::string_view(address).size(), "127.0.0.3");
        EXPECT_EQ(StatusLine(Raw(s.port, elsewhere, nullptr, address)), "HTTP/1.1 403 Forbidden") << address;
    }
}

TEST(ServeHostileTest, KeptAliveConnectionsAnswerInTurnAndCloseWhenIdle) {
    Served s(kPlugin);
    // Two requests in one write: both answered, in order; then the idle time closes it.
    std::string two = "GET /kav-gameflow/v1/session HTTP/1.1\r\nHost: x\r\n\r\n"
                      "GET /kav-pre-end-of-game/v1/nowhere HTTP/1.1\r\nHost: x\r\n\r\n";
    bool closed = false;
    std::string received = Raw(s.port, WithHost(two, s.port), &closed);
    EXPECT_EQ(StatusLine(received), "HTTP/1.1 200 OK");
    EXPECT_TRUE(Contains(received, "HTTP/1.1 404"));
    EXPECT_TRUE(closed);  // by the idle time, before the client gave up
}

TEST(ServeHostileTest, BadSocketMessagesAndFrames) {
    Served s(kPlugin);
    Watcher watcher(s.port);
    const std::string nested = R"({"subscribe":)" + std::string(60000, '[');
    for (std::string message : {std::string("not json"), std::string("[1,2]"), std::string(R"({"subscribe": 5})"),
                                std::string(R"({"subscribe": [1]})"), std::string(R"({"listen": ["x"]})"), std::string("{}"),
                                nested}) {
        watcher.Send(message);
        EXPECT_TRUE(Contains(watcher.Read().value_or(""), R"({"error":)")) << message;
    }
    std::string many = "[";
    for (int i = 0; i < 1025; ++i) many += (i ? ",\"k" : "\"k") + std::to_string(i) + '"';
    EXPECT_EQ(watcher.Subscribe(many + "]"), R"({"error":"A connection subscribes to at most 1024 keys"})");
    // Keys are bounded in bytes too, one and all together: every acknowledgement echoes them.
    EXPECT_EQ(watcher.Subscribe("[\"" + std::string(1025, 'k') + "\"]"), R"({"error":"A key is at most 1024 bytes"})");
    std::string refused;
    for (int i = 0; i < 10 && refused.empty(); ++i) {
        std::string keys = "[";
        for (int k = 0; k < 10; ++k) keys += (k ? ",\"" : "\"") + std::to_string(i * 10 + k) + std::string(1000, 'k') + '"';
        std::string answer = watcher.Subscribe(keys + "]");
        if (!Contains(answer, "subscribed")) refused = answer;
    }
    EXPECT_EQ(refused, R"({"error":"A connection's keys are at most 65536 bytes together"})");
    EXPECT_TRUE(Contains(watcher.Subscribe(R"(["*"])"), "subscribed"));

    // A frame that is not masked, as no client may send: the server closes the connection.
    Watcher broken(s.port);
    const unsigned char unmasked[] = {0x81, 0x02, 'h', 'i'};
    asio::write(broken.Socket(), asio::buffer(unmasked));
    EXPECT_FALSE(broken.Read());
    // A message over the limit: closed as well.
    Watcher greedy(s.port);
    greedy.Send(std::string(ServeLimits{}.messageBytes + 1, 'x'));
    EXPECT_FALSE(greedy.Read());

    EXPECT_EQ(Send(s.port, "PUT", kSession, R"({"phase":"Lobby"})").status, 200u);
    EXPECT_TRUE(Contains(watcher.Read().value_or(""), R"("phase":"Lobby")"));
}

TEST(ServeHostileTest, AClientThatStopsReadingIsDroppedWithoutBlocking) {
    ServeLimits limits = FastLimits();
    limits.backlogBytes = 256 * 1024;  // counted in bytes: a few large messages fill it
    limits.idleTimeout = 10000ms;
    limits.writeTimeout = 10000ms;
    Served s(kPlugin, limits);
    Watcher stuck(s.port, 4096), reader(s.port);
    EXPECT_TRUE(Contains(stuck.Subscribe(R"(["big"])"), "subscribed"));
    EXPECT_TRUE(Contains(reader.Subscribe(R"(["small"])"), "subscribed"));
    // More than the socket buffers hold: the stuck client's backlog fills, and publishing
    // goes on (a blocked publisher would hang here).
    Host::OwnedValue big = Host::StringValue(std::string(64 * 1024, 'z'));
    for (int i = 0; i < 2000 && s.server->Stats().socketsDropped == 0; ++i) s.server->Broadcast("big", big.get());
    EXPECT_EQ(s.server->Stats().socketsDropped, 1u);
    // The other client is served as before.
    s.server->Broadcast("small", Host::SignedValue(1).get());
    EXPECT_TRUE(Contains(reader.Read().value_or(""), R"("payload":1)"));
    // The stuck one, reading at last, finds what was under way, then the close frame: 1008.
    int messages = 0;
    while (stuck.Read() && messages < 10000) ++messages;
    EXPECT_EQ(stuck.CloseCode(), 1008u);
}

TEST(ServeHostileTest, SubscribersGetACloseFrameWhenTheServerStops) {
    Served s(kPlugin);
    Watcher subscribed(s.port), quiet(s.port);
    EXPECT_TRUE(Contains(subscribed.Subscribe(R"(["*"])"), "subscribed"));
    s.server->Stop();
    EXPECT_FALSE(subscribed.Read());
    EXPECT_FALSE(quiet.Read());
    EXPECT_EQ(subscribed.CloseCode(), 1001u);
    EXPECT_EQ(quiet.CloseCode(), 1001u);
}

// ---- The command line ------------------------------------------------------------------------

TEST(ServeCommandTest, BadCommandLinesStopBeforeServing) {
    std::string bad = testing::TempDir() + "/serve_bad.kav";
    {
        std::ofstream file(bad);
        file << "request POST /x\nreqest GET /y\n";
    }
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;  // in the error output, or the output for status 0
    } cases[] = {
        {{"--help"}, 0, "Usage: kav-host serve [--port N]"},
        {{"--port"}, 2, "kav-host: --port needs a number\nTry 'kav-host serve --help'.\n"},
        {{"--port", "70000"}, 2, "--port needs a number from 0 to 65535, not '70000'"},
        {{"--port=8x"}, 2, "not '8x'"},
        {{"--bogus"}, 2, "unknown option '--bogus'"},
        {{"a.kav", "b.kav"}, 2, "serve takes one scenario file"},
        {{"--address="}, 2, "--address needs an address"},
        {{"--color=sometimes"}, 2, "kav-host: --color needs auto, always or never\n"},
        {{"--color"}, 2, "kav-host: --color needs auto, always or never\n"},
        {{"--allow-origin"}, 2, "--allow-origin needs an origin such as http://localhost:5173, not ''"},
        {{"--allow-origin", "localhost:5173"}, 2, "not 'localhost:5173'"},
        {{"--allow-origin=http://localhost:5173/app"}, 2, "needs a scheme, a host and a port at most"},
        {{"--allow-origin", "https://"}, 2, "needs a scheme, a host and a port at most (http://localhost:5173), not 'https://'"},
        {{"/nonexistent/start.kav"}, 2, "cannot read the scenario file '/nonexistent/start.kav'"},
        {{bad}, 2, "serve_bad.kav:2: unknown step 'reqest'"},
        {{"--plugin", "/nonexistent/plugin.so", "--port", "0"}, 1, "Cannot load the plugin library"},
        {{"--address", "192.0.2.1x", "--port", "0"}, 2, "kav-host: '192.0.2.1x' is not an IP address (nor localhost)\n"},
        {{"--address", "example.com", "--port", "0"}, 2, "kav-host: 'example.com' is not an IP address (nor localhost)\n"},
        {{"--address", "localhost", "--port", "0", "--plugin", "/nonexistent/plugin.so"}, 1,
         "kav-host: Cannot load the plugin library"},
        {{"--no-auth", "--port", "0", "--plugin", "/nonexistent/plugin.so"}, 1,
         "kav-host: warning: --no-auth: any local process, or any user of this machine, can drive the plugin\n"},
        {{"--address", "0.0.0.0", "--port", "1", "--plugin", "/nonexistent/plugin.so"}, 1,
         "warning: serving on 0.0.0.0: anyone who can reach it can drive the plugin"},
    };
    for (const auto& c : cases) {
        HostTestSupport::Arguments argv(c.args);
        std::ostringstream out, err;
        EXPECT_EQ(RunServe(argv.count(), argv.data(), kPlugin, out, err), c.status) << c.args[0];
        EXPECT_TRUE(Contains((c.status == 0 ? out : err).str(), c.message)) << c.args[0] << ' ' << err.str();
        // localhost is the loopback address, not a warning; a name is refused before one.
        if (c.args.size() > 1 && (c.args[1] == "localhost" || c.args[1] == "example.com")) {
            EXPECT_FALSE(Contains(err.str(), "warning")) << c.args[1];
        }
    }
}

TEST(ServeCommandTest, TheSecretIsNewEachStartAndOnlyTheUserReadsItsLockFile) {
    std::string first = NewServeSecret(), second = NewServeSecret();
    EXPECT_EQ(first.size(), 48u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, second);
    EXPECT_EQ(BasicAuthorization("kav-host", "s3"), "Basic a2F2LWhvc3Q6czM=");
    EXPECT_EQ(BasicAuthorization("a", "b"), "Basic YTpi");

    namespace fs = std::filesystem;
    fs::path dir = fs::path(testing::TempDir()) / "serve_lock_test";
    fs::remove_all(dir);
    std::string path = (dir / "kav-host" / "serve-8080.lock").string();
    ASSERT_EQ(WriteServeLock(path, 8080, first), "");
    std::ifstream file(path);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(content.starts_with("kav-host:")) << content;
    EXPECT_TRUE(content.ends_with(":8080:" + first + ":http")) << content;
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(dir / "kav-host").permissions(), fs::perms::owner_all);
    ASSERT_EQ(WriteServeLock(path, 8080, second), "");  // a later start replaces it
    std::ifstream again(path);
    std::string replaced((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(replaced.ends_with(second + ":http"));
    EXPECT_FALSE(fs::exists(path + ".new"));
    fs::remove_all(dir);

    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* home = std::getenv("HOME");
    std::optional<std::string> savedRuntime = runtime ? std::optional<std::string>(runtime) : std::nullopt;
    std::optional<std::string> savedHome = home ? std::optional<std::string>(home) : std::nullopt;
    setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
    EXPECT_EQ(ServeLockPath(8080), "/run/user/1234/kav-host/serve-8080.lock");
    unsetenv("XDG_RUNTIME_DIR");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(ServeLockPath(0), "/home/someone/.cache/kav-host/serve-0.lock");
    if (savedRuntime) setenv("XDG_RUNTIME_DIR", savedRuntime->c_str(), 1);
    if (savedHome) setenv("HOME", savedHome->c_str(), 1);
}

// ---- Load ------------------------------------------------------------------------------------

TEST(ServeLoadTest, FiftyClientsEveryRequestAnsweredEveryEventOnceInOrder) {
    ServeLimits limits;
    Served s(kPlugin, limits);
    LoadOptions options;
    options.port = s.port;
    options.authorization = BasicAuthorization("load", kSecret);
    options.clients = 50;
    options.requestsPerClient = 80;
    options.deadline = 90s;
    LoadResult result = RunLoad(options);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.requests, 50u * 80u);
    EXPECT_EQ(result.pluginEvents, s.server->Stats().pluginEvents);
    EXPECT_GT(result.pluginEvents, 0u);
}

}  // namespace
