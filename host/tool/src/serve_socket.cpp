// kav-host serve's WebSocket side: the subscribers' connections and the hub that numbers
// everything published and fans it out to them.
#include "serve_server.h"

#include <deque>

namespace Vemi::HostTool::detail {
namespace {

constexpr size_t kMaxKeys = 1024;  // per WebSocket connection: a client cannot grow them without end

// {"subscribe": KEYS, "unsubscribe": KEYS}, KEYS a key or an array of keys, read as events:
// anything else stops the reading at once, and no tree of the message is built.
class KeysReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, KeysReader> {
public:
    std::vector<std::string> add, remove;
    size_t replay = 0;     // "replay": N, the last N items kept
    bool tooMany = false;  // more keys than a connection may hold: the rest were skipped
    bool any = false;      // a member was read

    bool StartObject() { return Enter(depth_ == 0); }
    bool EndObject(rapidjson::SizeType) { return Leave(depth_ == 1); }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        std::string_view name(text, length);
        keys_ = name == "subscribe" ? &add : name == "unsubscribe" ? &remove : nullptr;
        replayNext_ = name == "replay";
        any = true;
        return keys_ != nullptr || replayNext_;
    }
    bool Uint(unsigned count) {
        if (!replayNext_ || depth_ != 1) return false;
        replay = count;
        replayNext_ = false;
        return true;
    }
    bool Int(int count) { return count >= 0 && Uint(static_cast<unsigned>(count)); }
    bool StartArray() { return Enter(depth_ == 1 && keys_ != nullptr); }
    bool EndArray(rapidjson::SizeType) {
        keys_ = nullptr;
        return Leave(depth_ == 2);
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (keys_ == nullptr || depth_ == 0) return false;
        if (add.size() + remove.size() >= kMaxKeys) {
            tooMany = true;
        } else {
            keys_->emplace_back(text, length);
        }
        if (depth_ == 1) keys_ = nullptr;  // a single key, not in an array
        return true;
    }
    bool Default() { return false; }  // numbers, booleans, null

private:
    bool Enter(bool allowed) {
        if (allowed) ++depth_;
        return allowed;
    }
    bool Leave(bool allowed) {
        if (allowed) --depth_;
        return allowed;
    }
    int depth_ = 0;
    std::vector<std::string>* keys_ = nullptr;
    bool replayNext_ = false;
};

}  // namespace

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(tcp::socket&& socket, Server::Impl& server)
        : ws_(std::move(socket)), server_(server), closeTimer_(ws_.get_executor()) {
        ++server_.connections;
        ++server_.sockets;
    }
    ~WsSession() {
        --server_.connections;
        --server_.sockets;
    }

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
        server_.hub.Add(shared_from_this());  // from now on, a stop closes it
        ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

    // From any thread; never waits. Answers false when the session is gone or was dropped.
    // The queue is bounded in bytes; one message more than the bound is let through only
    // into an empty queue (it is shared with the other subscribers anyway).
    bool Deliver(std::shared_ptr<const std::string> message) {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        if (!queue_.empty() && queueBytes_ + message->size() > server_.options.limits.backlogBytes) {
            ++server_.socketsDropped;
            CloseLocked(websocket::close_code::policy_error);
            return false;
        }
        queueBytes_ += message->size();
        queue_.push_back(std::move(message));
        if (!writing_) {
            writing_ = true;
            asio::post(ws_.get_executor(), [self = shared_from_this()] { self->Write(); });
        }
        return true;
    }

    // From any thread: a close frame with code, then the connection ends.
    void Close(websocket::close_code code) {
        std::lock_guard lock(mutex_);
        CloseLocked(code);
    }

private:
    void CloseLocked(websocket::close_code code) {
        if (closed_) return;
        closed_ = true;
        queue_.clear();  // a write under way holds its own message
        queueBytes_ = 0;
        asio::post(ws_.get_executor(), [self = shared_from_this(), code] { self->SendClose(code); });
    }

    // After a write under way, which a client that does not read may hold up: the write
    // time bounds the wait.
    void SendClose(websocket::close_code code) {
        closeTimer_.expires_after(server_.options.limits.writeTimeout);
        closeTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->Abort();
        });
        // The handshake's answer may be sent while its handler has yet to run: the close
        // waits for it, or the client would see the connection end without a frame.
        if (!accepted_) {
            pendingClose_ = code;
            return;
        }
        if (!ws_.is_open()) return Abort();
        ws_.async_close(code, [self = shared_from_this()](beast::error_code) {
            self->closeTimer_.cancel();
            self->Abort();
        });
    }

    void Abort() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void OnAccept(beast::error_code ec) {
        accepted_ = true;
        if (ec) return End();
        ++server_.socketsOpened;
        if (pendingClose_) return SendClose(*pendingClose_);
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
        KeysReader keys;
        rapidjson::Reader reader;
        rapidjson::StringStream stream(text.c_str());
        bool ok = text.find('\0') == std::string::npos &&
                  !reader.Parse<rapidjson::kParseIterativeFlag>(stream, keys).IsError() && keys.any;
        if (!ok) {
            Reply(R"({"error":"Expected {\"subscribe\": [KEY, ...], \"replay\": N} or {\"unsubscribe\": [KEY, ...]}; the key \"*\" is every key"})");
            return;
        }
        server_.hub.Subscribe(shared_from_this(), keys.tooMany ? std::nullopt : std::optional(std::move(keys.add)), keys.remove,
                              keys.replay);
    }

    void Reply(std::string text) { (void)Deliver(std::make_shared<const std::string>(std::move(text))); }

    void Write() {
        std::shared_ptr<const std::string> message;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || closed_) {
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
                if (!self->queue_.empty()) {
                    self->queueBytes_ -= self->queue_.front()->size();
                    self->queue_.pop_front();
                }
            }
            self->Write();
        });
    }

    void End() {
        server_.hub.Remove(this);
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue_.clear();
        queueBytes_ = 0;
    }

    websocket::stream<beast::tcp_stream> ws_;
    Server::Impl& server_;
    Request request_;
    beast::flat_buffer buffer_;
    asio::steady_timer closeTimer_;
    std::mutex mutex_;  // guards the four below
    std::deque<std::shared_ptr<const std::string>> queue_;
    size_t queueBytes_ = 0;
    bool writing_ = false;
    bool closed_ = false;
    // On the connection's own thread: the handshake ended, and a close asked before it.
    bool accepted_ = false;
    std::optional<websocket::close_code> pendingClose_;
};

void Hub::Publish(std::string_view source, std::string_view key, std::string_view payloadJson) {
    std::lock_guard lock(mutex_);
    ++sequence_;
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
    kept_.push_back({std::string(key), message});
    keptBytes_ += message->size();
    while (kept_.size() > kReplayItems || (keptBytes_ > limits_.backlogBytes && kept_.size() > 1)) {
        keptBytes_ -= kept_.front().message->size();
        kept_.pop_front();
    }
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

void Hub::Subscribe(const std::shared_ptr<WsSession>& session, const std::optional<std::vector<std::string>>& add,
                    const std::vector<std::string>& remove, size_t replay) {
    auto refuse = [&session](std::string error) {
        (void)session->Deliver(std::make_shared<const std::string>(R"({"error":")" + error + R"("})"));
    };
    if (!add) return refuse("A connection subscribes to at most " + std::to_string(kMaxKeys) + " keys");
    std::lock_guard lock(mutex_);
    Subscriber& subscriber = subscribers_[session.get()];
    subscriber.session = session;
    // The acknowledgement echoes every key: their bytes together are bounded, not only their number.
    size_t keys = subscriber.keys.size(), bytes = subscriber.keyBytes;
    std::set<std::string_view> added;
    for (const std::string& key : *add) {
        if (key.size() > limits_.keyBytes) return refuse("A key is at most " + std::to_string(limits_.keyBytes) + " bytes");
        if (subscriber.keys.contains(key) || !added.insert(key).second) continue;
        ++keys;
        bytes += key.size();
    }
    if (keys > kMaxKeys) return refuse("A connection subscribes to at most " + std::to_string(kMaxKeys) + " keys");
    if (bytes > limits_.keysBytes) {
        return refuse("A connection's keys are at most " + std::to_string(limits_.keysBytes) + " bytes together");
    }
    for (const std::string& key : *add) {
        if (subscriber.keys.insert(key).second) subscriber.keyBytes += key.size();
    }
    for (const std::string& key : remove) {
        if (subscriber.keys.erase(key) != 0) subscriber.keyBytes -= key.size();
    }
    // The last items the keys now match, oldest first, before the acknowledgement.
    std::vector<std::shared_ptr<const std::string>> replayed;
    bool every = subscriber.keys.contains(std::string_view("*"));
    for (auto it = kept_.rbegin(); it != kept_.rend() && replayed.size() < replay; ++it) {
        if (every || subscriber.keys.contains(it->key)) replayed.push_back(it->message);
    }
    for (auto it = replayed.rbegin(); it != replayed.rend(); ++it) {
        if (!session->Deliver(*it)) {
            subscribers_.erase(session.get());
            return;
        }
    }
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

void Hub::Add(const std::shared_ptr<WsSession>& session) {
    std::lock_guard lock(mutex_);
    subscribers_[session.get()].session = session;
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
    for (auto& [pointer, subscriber] : subscribers) subscriber.session->Close(websocket::close_code::going_away);
}

void StartSocketSession(tcp::socket&& socket, Server::Impl& server, Request req) {
    std::make_shared<WsSession>(std::move(socket), server)->Start(std::move(req));
}

}  // namespace Vemi::HostTool::detail
