// The replies and streams the host hands the plugin. A reply's release function receives
// nothing but the record; the ledger finds the host that made it by the reply's
// content-type text, which every host reply allocates.
#include "host_impl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace Vemi::Host {
namespace detail {
namespace {

struct Ledger {
    std::mutex mutex;
    std::unordered_map<const void*, std::shared_ptr<ReplyCounters>> replies;
};

Ledger& TheLedger() {
    static Ledger* ledger = new Ledger;  // outlives every host, also in static destructors
    return *ledger;
}

void LedgerAdd(const void* key, const std::shared_ptr<ReplyCounters>& counters) noexcept {
    if (key == nullptr) return;
    try {
        Ledger& ledger = TheLedger();
        std::lock_guard lock(ledger.mutex);
        ledger.replies[key] = counters;
        ++counters->handed;
    } catch (...) {
    }
}

void LedgerRelease(const void* key) noexcept {
    if (key == nullptr) return;
    Ledger& ledger = TheLedger();
    std::lock_guard lock(ledger.mutex);
    auto it = ledger.replies.find(key);
    if (it == ledger.replies.end()) return;
    ++it->second->released;
    ledger.replies.erase(it);
}

char* CopyText(std::string_view text) noexcept {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void KAV_ABI ReleaseHostReply(ApiReply* reply) {
    if (reply == nullptr) return;
    LedgerRelease(reply->content_type);
    ReleaseHostValue(reply->body);
    std::free(const_cast<char*>(reply->error));
    std::free(const_cast<char*>(reply->content_type));
    if (reply->headers != nullptr) {
        for (uint32_t i = 0; i < reply->header_count; ++i) {
            std::free(const_cast<char*>(reply->headers[i].name));
            std::free(const_cast<char*>(reply->headers[i].value));
        }
        std::free(reply->headers);
    }
    std::memset(static_cast<void*>(reply), 0, sizeof *reply);
}

}  // namespace

uint32_t KAV_ABI ReadHostStream(void* handle, void* buffer, uint32_t* size, uint8_t* more) {
    auto* stream = static_cast<HostStream*>(handle);
    if (stream == nullptr || size == nullptr || more == nullptr) return 0;
    uint32_t index = stream->reads++;
    if (stream->closes != 0 || (stream->failAtRead && index >= *stream->failAtRead)) {
        *size = 0;
        return 0;
    }
    if (stream->next >= stream->chunks.size()) {
        *size = 0;
        *more = 0;
        return stream->readAnswer;
    }
    if (buffer == nullptr && *size != 0) return 0;
    const std::string& chunk = stream->chunks[stream->next];
    size_t count = std::min<size_t>(*size, chunk.size() - stream->offset);
    if (count != 0) std::memcpy(buffer, chunk.data() + stream->offset, count);
    stream->offset += count;
    if (stream->offset >= chunk.size()) {
        ++stream->next;
        stream->offset = 0;
    }
    *size = static_cast<uint32_t>(count);
    *more = stream->next < stream->chunks.size() ? 1 : 0;
    return stream->readAnswer;
}

void KAV_ABI CloseHostStream(void* handle) {
    if (handle != nullptr) ++static_cast<HostStream*>(handle)->closes;
}

}  // namespace detail

using namespace detail;

void Host::Impl::FillReply(ApiReply& reply, const HostReply& answer) noexcept {
    reply.body = CopyHostValue(answer.body.get());
    reply.status = answer.status;
    if (answer.error) {
        reply.error = CopyText(*answer.error);
        reply.has_error = 1;
    }
    reply.content_type = CopyText(answer.contentType);
    if (!answer.headers.empty()) {
        reply.headers = static_cast<ApiHeader*>(std::calloc(answer.headers.size(), sizeof(ApiHeader)));
        if (reply.headers != nullptr) {
            reply.header_count = static_cast<uint32_t>(answer.headers.size());
            for (size_t i = 0; i < answer.headers.size(); ++i) {
                reply.headers[i].name = CopyText(answer.headers[i].name);
                reply.headers[i].value = CopyText(answer.headers[i].value);
            }
        }
    }
    reply.release = &ReleaseHostReply;
    LedgerAdd(reply.content_type, replies);
}

}  // namespace Vemi::Host
