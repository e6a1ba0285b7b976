// The server of kav-host serve, on Boost.Beast.
#include <kav/host_tool/serve.h>
#include <kav/host_tool/player.h>

#include "serve_server.h"

#include <boost/asio/signal_set.hpp>

#include <algorithm>
#include <csignal>

namespace Vemi::HostTool {

using namespace detail;

// ---- The server's work --------------------------------------------------------------------

void Server::Impl::Accept() {
    acceptor.async_accept(NextIo().get_executor(), [this](beast::error_code ec, Socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than spin.
            acceptDelay.expires_after(std::chrono::milliseconds(50));
            acceptDelay.async_wait([this](beast::error_code waitError) {
                if (!waitError) Accept();
            });
            return;
        }
        // At the cap the connection that has waited longest for a request makes room: one
        // client holding every connection cannot lock the others out. With none waiting
        // (all busy, or WebSockets), the new one is refused.
        if (connections >= options.limits.connections && !EvictIdlest()) {
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            StartHttpSession(std::move(socket), *this);
        }
        Accept();
    });
}

asio::io_context& Server::Impl::NextIo() {
    size_t index = nextIo.fetch_add(1, std::memory_order_relaxed) % (moreIo.size() + 1);
    return index == 0 ? io : *moreIo[index - 1];
}

void Server::Impl::EnterIdle(IdleConnection& connection) {
    std::lock_guard lock(idleMutex);
    if (connection.idleLinked) return;
    connection.idlePrev = idleLast;
    connection.idleNext = nullptr;
    (idleLast != nullptr ? idleLast->idleNext : idleFirst) = &connection;
    idleLast = &connection;
    connection.idleLinked = true;
}

namespace {
void Unlink(IdleConnection& connection, IdleConnection*& first, IdleConnection*& last) {
    (connection.idlePrev != nullptr ? connection.idlePrev->idleNext : first) = connection.idleNext;
    (connection.idleNext != nullptr ? connection.idleNext->idlePrev : last) = connection.idlePrev;
    connection.idlePrev = connection.idleNext = nullptr;
    connection.idleLinked = false;
}
}  // namespace

void Server::Impl::LeaveIdle(IdleConnection& connection) {
    std::lock_guard lock(idleMutex);
    if (connection.idleLinked) Unlink(connection, idleFirst, idleLast);
}

bool Server::Impl::EvictIdlest() {
    std::shared_ptr<IdleConnection> connection;
    {
        std::lock_guard lock(idleMutex);
        while (!connection && idleFirst != nullptr) {
            IdleConnection& first = *idleFirst;
            connection = first.Keep();  // none while its destructor waits to unlink it
            Unlink(first, idleFirst, idleLast);
        }
    }
    if (!connection) return false;
    ++evicted;
    connection->Evict();
    return true;
}

void Server::Impl::Drain() {
    Host::Transcript& transcript = host.GetTranscript();
    // A server runs for long: the record must not grow. The entries go through a vector
    // kept from one call to the next, whose room the record reuses.
    std::vector<Host::Entry>& entries = drained;
    transcript.TakeInto(entries);
    std::unique_lock outLock(outMutex, std::defer_lock);
    if (options.transcript && !entries.empty()) outLock.lock();
    for (const Host::Entry& entry : entries) {
        if (options.transcript) {
            std::string stamp = entry.kind == Host::EntryKind::Log ? LogTimeStamp() : std::string();
            std::string line = TranscriptLine(entry, stamp, {options.headers, options.trace, options.style});
            if (!line.empty()) out << line << '\n';
        }
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
            case Host::EntryKind::Log: {
                rapidjson::StringBuffer buffer;
                JsonWriter writer(buffer);
                writer.StartObject();
                writer.Key("level");
                writer.String(Host::LogLevelName(entry.number));
                writer.Key("message");
                WriteText(writer, entry.text);
                writer.EndObject();
                hub.Publish("log", "log", std::string_view(buffer.GetString(), buffer.GetSize()));
                break;
            }
            default: break;
        }
    }
    if (options.transcript && !entries.empty()) out.flush();
    entries.clear();
}

// ---- Server ----------------------------------------------------------------------------------

Server::Server(Host::Host& host, ServeOptions options, std::ostream& out)
    : impl_(std::make_unique<Impl>(host, std::move(options), out)) {}

Server::~Server() { Stop(); }

std::string Server::Start() {
    Impl& s = *impl_;
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
    s.portText = std::to_string(s.port);
    s.urlAddress = address.is_v6() ? '[' + s.options.address + ']' : s.options.address;
    if (!s.options.secret.empty()) s.basicAuthorization = BasicAuthorization("kav-host", s.options.secret);
    int threads = std::max(1, s.options.threads);
    for (int i = 1; i < threads; ++i) s.moreIo.push_back(std::make_unique<asio::io_context>(1));
    s.Drain();  // what happened before: load, initialize, the starting scenario
    // Only the transcript shows the calls into the plugin: without it they are not kept.
    if (!s.options.transcript) s.host.GetTranscript().Ignore(Host::EntryKind::Request);
    s.Accept();
    for (int i = 0; i < threads; ++i) {
        asio::io_context& io = i == 0 ? s.io : *s.moreIo[static_cast<size_t>(i - 1)];
        // The guard: a thread runs until stopped, also while no connection is on it.
        s.threads.emplace_back([&io, guard = asio::make_work_guard(io)] {
            for (;;) {
                try {
                    io.run();
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
    // WebSocket clients get their close frame (1001) while the threads still run.
    s.hub.CloseAll();
    for (int i = 0; i < 100 && s.sockets > 0 && !s.threads.empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    s.io.stop();
    for (auto& io : s.moreIo) io->stop();
    for (std::thread& thread : s.threads) thread.join();
    s.threads.clear();
    s.hub.CloseAll();
}

void Server::Say(std::string_view text) {
    std::lock_guard lock(impl_->outMutex);
    impl_->out << text;
    impl_->out.flush();
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
    stats.evicted = s.evicted;
    return stats;
}

void Server::Broadcast(std::string_view key, const HostValue& payload) {
    impl_->hub.Publish("host", key, ValueToJson(payload));
}

}  // namespace Vemi::HostTool
