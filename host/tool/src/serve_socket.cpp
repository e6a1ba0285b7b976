// kav-host serve's WebSocket side: the subscribers' connections and the hub that numbers
// everything published and fans it out to them.
#include "serve_server.h"

#include <deque>

namespace Vemi::HostTool::detail {
namespace {

constexpr size_t kMaxKeys = 1024;  // per WebSocket connection: a client cannot grow them without end

}  // namespace

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

void StartSocketSession(tcp::socket&& socket, Server::Impl& server, Request req) {
    std::make_shared<WsSession>(std::move(socket), server)->Start(std::move(req));
}

}  // namespace Vemi::HostTool::detail
