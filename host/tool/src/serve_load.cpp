#include <kav/host_tool/serve_load.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <rapidjson/document.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace Vemi::HostTool {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kCurrentKey = "OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent";
constexpr std::string_view kPrefix = "/kav-pre-end-of-game/v1/";

const rapidjson::Value* Member(const rapidjson::Value& value, const char* name) {
    if (!value.IsObject()) return nullptr;
    auto it = value.FindMember(name);
    return it == value.MemberEnd() ? nullptr : &it->value;
}

std::string TextOf(const rapidjson::Value* value) {
    return value != nullptr && value->IsString() ? std::string(value->GetString(), value->GetStringLength()) : std::string();
}

struct Load;

class Client : public std::enable_shared_from_this<Client> {
public:
    Client(Load& load, int index);
    void Start();

private:
    void Next();
    void OnRead(beast::error_code ec);

    Load& load_;
    int index_;
    int step_ = 0;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> req_;
    std::optional<http::response<http::string_body>> res_;
    unsigned expected_ = 0;
    bool readsCurrent_ = false;
    std::string current_;  // the current event's name as last read
    Clock::time_point sent_;
};

class Watcher : public std::enable_shared_from_this<Watcher> {
public:
    explicit Watcher(Load& load);
    void Start();
    void Close();

private:
    void Read();
    bool Check(const std::string& text);  // false: done or failed

    Load& load_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    bool subscribed_ = false;
    uint64_t last_ = 0;            // sequence number of the last item
    std::string pendingSecond_;    // payload the plugin must send again under OnJsonApiEvent
    bool restarted_ = false;       // the session entered PreEndOfGame since the last publication
    bool ended_ = true;            // the last publication was the empty event
    int64_t lastPriority_ = 0;
};

struct Load {
    LoadOptions options;
    asio::io_context io{1};
    tcp::endpoint endpoint;
    asio::steady_timer deadline{io};
    LoadResult result;
    std::vector<double> latencies;  // microseconds
    std::shared_ptr<Watcher> watcher;
    int clientsDone = 0;
    Clock::time_point first, last;

    void Fail(const std::string& why) {
        if (result.failure.empty()) result.failure = why;
        io.stop();
    }
    void StartClients() {
        first = Clock::now();
        for (int i = 0; i < options.clients; ++i) std::make_shared<Client>(*this, i)->Start();
    }
    void ClientDone();
    void Finish();
};

// ---- Clients ---------------------------------------------------------------------------------

Client::Client(Load& load, int index) : load_(load), index_(index), stream_(load.io) {}

void Client::Start() {
    stream_.async_connect(load_.endpoint, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->load_.Fail("client " + std::to_string(self->index_) + " cannot connect: " + ec.message());
        self->Next();
    });
}

void Client::Next() {
    if (step_ == load_.options.requestsPerClient) return load_.ClientDone();
    int k = step_++;
    req_ = {};
    req_.version(11);
    req_.set(http::field::host, load_.options.address + ':' + std::to_string(load_.options.port));
    if (!load_.options.authorization.empty()) req_.set(http::field::authorization, load_.options.authorization);
    req_.keep_alive(true);
    readsCurrent_ = false;
    auto get = [&] {
        req_.method(http::verb::get);
        req_.target(std::string(kPrefix) + "currentSequenceEvent");
        expected_ = 200;
        readsCurrent_ = true;
    };
    switch (k % 4) {
        case 0: {
            // Priorities grow with the step and differ between clients.
            int64_t priority = 1 + int64_t{k} * load_.options.clients + index_;
            req_.method(http::verb::post);
            req_.target(std::string(kPrefix) + "registration/c" + std::to_string(index_) + "s" + std::to_string(k) + '/' +
                        std::to_string(priority));
            expected_ = 204;
            break;
        }
        case 2:
            if (current_.empty()) {
                get();
            } else {
                req_.method(http::verb::post);
                req_.target(std::string(kPrefix) + "complete/" + current_);
                expected_ = 204;
            }
            break;
        case 3:
            if (index_ == 0 && (k / 4) % 5 == 0) {
                req_.method(http::verb::put);
                req_.target("/kav-gameflow/v1/session");
                req_.set(http::field::content_type, "application/json");
                req_.body() = R"({"phase": "PreEndOfGame"})";
                expected_ = 200;
            } else {
                get();
            }
            break;
        default: get(); break;
    }
    req_.prepare_payload();
    sent_ = Clock::now();
    http::async_write(stream_, req_, [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec) return self->load_.Fail("client " + std::to_string(self->index_) + " cannot send: " + ec.message());
        self->res_.emplace();
        http::async_read(self->stream_, self->buffer_, *self->res_,
                         [self](beast::error_code ec, size_t) { self->OnRead(ec); });
    });
}

void Client::OnRead(beast::error_code ec) {
    std::string what = std::string(req_.method_string()) + ' ' + std::string(req_.target());
    if (ec) return load_.Fail("client " + std::to_string(index_) + ": no answer to " + what + ": " + ec.message());
    load_.latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent_).count());
    load_.last = Clock::now();
    ++load_.result.requests;
    if (res_->result_int() != expected_) {
        return load_.Fail(what + " answered " + std::to_string(res_->result_int()) + " " + res_->body() + ", not " +
                          std::to_string(expected_));
    }
    if (readsCurrent_) {
        rapidjson::Document document;
        document.Parse(res_->body().c_str(), res_->body().size());
        if (document.HasParseError() || Member(document, "name") == nullptr) {
            return load_.Fail(what + " answered " + res_->body());
        }
        current_ = TextOf(Member(document, "name"));
    }
    Next();
}

void Load::ClientDone() {
    if (++clientsDone < options.clients) return;
    // Every request is answered: one more, whose publication ends the watch, as the
    // items are delivered in order.
    auto stream = std::make_shared<beast::tcp_stream>(io);
    stream->async_connect(endpoint, [this, stream](beast::error_code ec) {
        if (ec) return Fail("cannot connect for the last request: " + ec.message());
        auto req = std::make_shared<http::request<http::string_body>>(http::verb::delete_, "/kav-gameflow/v1/session", 11);
        req->set(http::field::host, options.address + ':' + std::to_string(options.port));
        if (!options.authorization.empty()) req->set(http::field::authorization, options.authorization);
        req->keep_alive(false);
        http::async_write(*stream, *req, [this, stream, req](beast::error_code ec, size_t) {
            if (ec) Fail("cannot send the last request: " + ec.message());
        });
    });
}

// ---- The watcher -------------------------------------------------------------------------------

Watcher::Watcher(Load& load) : load_(load), ws_(load.io) {}

void Watcher::Start() {
    beast::get_lowest_layer(ws_).async_connect(load_.endpoint, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->load_.Fail("the watcher cannot connect: " + ec.message());
        std::string host = self->load_.options.address + ':' + std::to_string(self->load_.options.port);
        if (!self->load_.options.authorization.empty()) {
            self->ws_.set_option(websocket::stream_base::decorator([authorization = self->load_.options.authorization](
                                                                       websocket::request_type& req) {
                req.set(http::field::authorization, authorization);
            }));
        }
        self->ws_.async_handshake(host, "/ws", [self](beast::error_code ec) {
            if (ec) return self->load_.Fail("the watcher's handshake failed: " + ec.message());
            self->ws_.text(true);
            static const std::string kSubscribe = R"({"subscribe": ["*"]})";
            self->ws_.async_write(asio::buffer(kSubscribe), [self](beast::error_code ec, size_t) {
                if (ec) return self->load_.Fail("the watcher cannot subscribe: " + ec.message());
                self->Read();
            });
        });
    });
}

void Watcher::Close() {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
}

void Watcher::Read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec) return self->load_.Fail("the watcher lost its connection: " + ec.message());
        std::string text = beast::buffers_to_string(self->buffer_.data());
        self->buffer_.consume(self->buffer_.size());
        if (self->Check(text)) self->Read();
    });
}

bool Watcher::Check(const std::string& text) {
    rapidjson::Document message;
    message.Parse(text.c_str(), text.size());
    const rapidjson::Value* seq = message.HasParseError() ? nullptr : Member(message, "seq");
    if (seq == nullptr || !seq->IsUint64()) {
        load_.Fail("the watcher received " + text);
        return false;
    }
    if (!subscribed_) {
        if (Member(message, "subscribed") == nullptr) {
            load_.Fail("the watcher's first message is not the acknowledgement: " + text);
            return false;
        }
        subscribed_ = true;
        last_ = seq->GetUint64();
        load_.StartClients();
        return true;
    }
    if (seq->GetUint64() != last_ + 1) {
        load_.Fail("item " + std::to_string(seq->GetUint64()) + " arrived after item " + std::to_string(last_));
        return false;
    }
    last_ = seq->GetUint64();
    ++load_.result.published;
    std::string source = TextOf(Member(message, "source"));
    std::string key = TextOf(Member(message, "key"));
    const rapidjson::Value* payload = Member(message, "payload");
    const rapidjson::Value* data = payload ? Member(*payload, "data") : nullptr;
    if (!pendingSecond_.empty()) {
        // The plugin sends each publication twice, the second time under OnJsonApiEvent.
        if (source != "plugin" || key != "OnJsonApiEvent" || text.find(pendingSecond_) == std::string::npos) {
            load_.Fail("item " + std::to_string(last_) + " is not the second send of the publication before it: " + text);
            return false;
        }
        pendingSecond_.clear();
        ++load_.result.pluginEvents;
        return true;
    }
    if (source == "host") {
        std::string eventType = TextOf(payload ? Member(*payload, "eventType") : nullptr);
        if (eventType == "Delete") {
            // The last request's publication: everything before it has arrived.
            Close();
            load_.Finish();
            return false;
        }
        if (TextOf(data ? Member(*data, "phase") : nullptr) == "PreEndOfGame") restarted_ = true;
        return true;
    }
    if (source != "plugin") return true;
    ++load_.result.pluginEvents;
    if (key != kCurrentKey) {
        load_.Fail("item " + std::to_string(last_) + " is an unexpected event: " + text);
        return false;
    }
    const rapidjson::Value* priority = data ? Member(*data, "priority") : nullptr;
    if (priority == nullptr || !priority->IsInt64()) {
        load_.Fail("item " + std::to_string(last_) + " has no priority: " + text);
        return false;
    }
    int64_t p = priority->GetInt64();
    // Between restarts the sequence only climbs, and after its empty event only a restart
    // publishes again.
    bool fine = restarted_ || (!ended_ && (p == -1 || p > lastPriority_));
    if (!fine) {
        load_.Fail("item " + std::to_string(last_) + " publishes priority " + std::to_string(p) + " after " +
                   std::to_string(lastPriority_) + (ended_ ? " (the sequence had ended)" : ""));
        return false;
    }
    restarted_ = false;
    ended_ = p == -1;
    lastPriority_ = p;
    size_t at = text.find("\"payload\":");
    pendingSecond_ = at == std::string::npos ? text : text.substr(at);
    return true;
}

void Load::Finish() {
    if (!result.failure.empty()) return;
    io.stop();
}

}  // namespace

LoadResult RunLoad(const LoadOptions& options) {
    Load load;
    load.options = options;
    beast::error_code ec;
    load.endpoint = tcp::endpoint(asio::ip::make_address(options.address, ec), options.port);
    if (ec) {
        load.result.failure = "'" + options.address + "' is not an address";
        return load.result;
    }
    load.deadline.expires_after(options.deadline);
    load.deadline.async_wait([&load](beast::error_code ec) {
        if (ec) return;
        load.Fail("the run took longer than " + std::to_string(load.options.deadline.count()) + " ms: " +
                  std::to_string(load.result.requests) + " requests answered, " + std::to_string(load.clientsDone) + " of " +
                  std::to_string(load.options.clients) + " clients done, " + std::to_string(load.result.published) +
                  " items watched");
    });
    load.watcher = std::make_shared<Watcher>(load);
    load.watcher->Start();
    load.io.run();

    LoadResult result = load.result;
    if (result.failure.empty() && result.requests != uint64_t(options.clients) * options.requestsPerClient) {
        result.failure = "only " + std::to_string(result.requests) + " requests were answered";
    }
    result.seconds = std::chrono::duration<double>(load.last - load.first).count();
    if (result.seconds > 0) result.requestsPerSecond = double(result.requests) / result.seconds;
    std::vector<double>& latencies = load.latencies;
    if (!latencies.empty()) {
        auto at = [&](double q) {
            size_t index = std::min(latencies.size() - 1, size_t(q * double(latencies.size())));
            std::nth_element(latencies.begin(), latencies.begin() + index, latencies.end());
            return latencies[index];
        };
        result.p50Microseconds = at(0.50);
        result.p99Microseconds = at(0.99);
    }
    return result;
}

}  // namespace Vemi::HostTool
