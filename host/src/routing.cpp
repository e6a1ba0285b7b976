// Which function entry a request of the host goes to, the call into it, and the host's
// own resources that answer the plugin's requests.
#include "host_impl.h"

#include <algorithm>
#include <array>

namespace Vemi::Host {
namespace detail {
namespace {

constexpr uint32_t kStreamBuffer = 4096;
// A plugin stream that keeps answering "no data, more to come" is given up after this many
// reads in a row, rather than hanging the host.
constexpr uint32_t kMaxEmptyReads = 100000;

bool MatchTemplate(std::string_view pattern, std::string_view path) noexcept {
    while (!pattern.empty()) {
        if (pattern.front() == '{') {
            size_t close = pattern.find('}');
            if (close == std::string_view::npos) return pattern == path;
            char kind = close > 1 ? pattern[1] : '\0';
            pattern.remove_prefix(close + 1);
            if (kind == '#') {
                if (path.empty() || path.front() != '#') return false;
                path.remove_prefix(1);
            }
            // The longest capture first, as a greedy pattern would take it.
            size_t longest = kind == '+' || kind == '#' ? path.size() : std::min(path.find('/'), path.size());
            for (size_t n = longest + 1; n-- > 0;) {
                if (MatchTemplate(pattern, path.substr(n))) return true;
            }
            return false;
        }
        if (path.empty() || path.front() != pattern.front()) return false;
        pattern.remove_prefix(1);
        path.remove_prefix(1);
    }
    return path.empty();
}

bool IsZero(const ApiReply& reply) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&reply);
    return std::all_of(bytes, bytes + sizeof reply, [](unsigned char b) { return b == 0; });
}

// The reply's fields, copied out before the plugin releases it.
void CopyReply(const ApiReply& out, ReplyData& reply) {
    reply.status = out.status;
    reply.hasError = out.has_error != 0;
    reply.error = TextOr(out.error);
    reply.responseFlag = out.response_flag;
    reply.responseMode = out.response_mode;
    reply.contentType = TextOr(out.content_type);
    if (out.headers != nullptr) {
        for (uint32_t i = 0; i < out.header_count; ++i) {
            reply.headers.push_back({std::string(TextOr(out.headers[i].name)), std::string(TextOr(out.headers[i].value))});
        }
    }
    reply.body = OwnedValue::Copy(out.body);
}

// Reads the reply's stream to its end, a failed read, or too many empty reads in a row.
void DrainStream(const ApiReplyStream& stream, ReplyData& reply) {
    reply.streamed = true;
    std::array<char, kStreamBuffer> buffer;
    uint32_t emptyReads = 0;
    for (;;) {
        uint32_t size = kStreamBuffer;
        uint8_t more = 1;
        ++reply.streamReads;
        if (stream.read(stream.source.reader, buffer.data(), &size, &more) == 0) {
            reply.streamFailed = true;
            break;
        }
        size = std::min(size, kStreamBuffer);
        reply.streamBody.append(buffer.data(), size);
        if (more == 0) break;
        emptyReads = size == 0 ? emptyReads + 1 : 0;
        if (emptyReads >= kMaxEmptyReads) {
            reply.streamFailed = true;
            break;
        }
    }
}

}  // namespace

HostReply ErrorReply(uint32_t status, std::string error) {
    HostReply reply;
    reply.status = status;
    reply.error = std::move(error);
    return reply;
}

OwnedValue SessionEvent(const char* eventType, const std::optional<std::string>& phase) {
    std::vector<std::pair<std::string, OwnedValue>> members;
    members.emplace_back("uri", StringValue(kSessionUri));
    members.emplace_back("eventType", StringValue(eventType));
    OwnedValue data;
    if (phase) {
        std::vector<std::pair<std::string, OwnedValue>> session;
        session.emplace_back("phase", StringValue(*phase));
        data = StructureValue(std::move(session));
    }
    members.emplace_back("data", std::move(data));
    return StructureValue(std::move(members));
}

}  // namespace detail

using namespace detail;

bool MatchPathTemplate(std::string_view pathTemplate, std::string_view path) noexcept {
    return MatchTemplate(pathTemplate, StripQuery(path));
}

const ApiFunctionEntry* FindFunction(const ApiDescription* description, uint32_t method, std::string_view customMethod,
                                     std::string_view path) noexcept {
    if (description == nullptr || description->functions == nullptr) return nullptr;
    const ApiFunctionEntry* anyMethod = nullptr;
    const ApiFunctionEntry* pathOnly = nullptr;
    for (uint32_t i = 0; i < description->function_count; ++i) {
        const ApiFunctionEntry& entry = description->functions[i];
        if (entry.handler == nullptr || entry.path == nullptr || !MatchPathTemplate(entry.path, path)) continue;
        if (entry.method == method && (method != API_METHOD_CUSTOM || TextOr(entry.custom_method) == customMethod)) {
            return &entry;
        }
        if (entry.method == API_METHOD_ANY && anyMethod == nullptr) anyMethod = &entry;
        if (pathOnly == nullptr) pathOnly = &entry;
    }
    return anyMethod != nullptr ? anyMethod : pathOnly;
}

HostReply Host::Impl::Answer(const RequestData& request) {
    std::string_view path = StripQuery(request.path);
    std::shared_ptr<RequestHandler> handler;
    {
        std::lock_guard lock(mutex);
        if (!stubs.empty()) {
            auto stub = stubs.find(std::pair<uint32_t, std::string>(request.method, std::string(path)));
            if (stub != stubs.end()) return stub->second;
        }
        auto it = handlers.find(path);
        if (it != handlers.end()) handler = it->second;
    }
    if (handler) return (*handler)(request);

    if (path == kSessionUri && request.method == API_METHOD_GET) {
        std::lock_guard lock(mutex);
        if (!phase) return ErrorReply(404, "No gameflow session");
        HostReply reply;
        std::vector<std::pair<std::string, OwnedValue>> members;
        members.emplace_back("phase", StringValue(*phase));
        reply.body = StructureValue(std::move(members));
        return reply;
    }
    if (path == kSessionEventUri && request.method == API_METHOD_POST) {
        std::string_view event = request.arguments.empty() ? std::string_view{} : StringOf(request.arguments[0].value.get());
        if (event != kPreEndOfGameCompleted) return ErrorReply(400, "Unsupported gameflow event " + QuoteText(event));
        std::lock_guard lock(mutex);
        if (!phase) return ErrorReply(404, "No gameflow session");
        phase = "EndOfGame";
        Queue(std::string(kSessionEventKey), SessionEvent("Update", phase));
        HostReply reply;
        reply.status = kCompletionStatus;
        return reply;
    }
    return ErrorReply(404, "No handler for " + MethodName(request.method, request.customMethod) + ' ' + request.path);
}

namespace {

// The records a call lends the plugin: on the stack for the few a request usually has.
template <typename T, size_t N>
class CallRecords {
public:
    explicit CallRecords(size_t count) : heap_(count > N ? count : 0), data_(count > N ? heap_.data() : local_.data()) {}
    T& operator[](size_t i) noexcept { return data_[i]; }
    T* data() noexcept { return data_; }

private:
    std::array<T, N> local_{};
    std::vector<T> heap_;
    T* data_;
};

}  // namespace

void Host::Impl::Call(const ApiFunctionEntry& function, const RequestData& request, ReplyData& reply) {
    CallRecords<HostArgument, 8> arguments(request.arguments.size());
    for (size_t i = 0; i < request.arguments.size(); ++i) {
        const Argument& argument = request.arguments[i];
        arguments[i].name = argument.name ? argument.name->c_str() : nullptr;
        arguments[i].value = argument.value.get();
    }
    CallRecords<ApiHeader, 16> headers(request.headers.size());
    for (size_t i = 0; i < request.headers.size(); ++i) {
        headers[i].name = request.headers[i].name.c_str();
        headers[i].value = request.headers[i].value.c_str();
    }
    ApiRequest call{};
    call.method = request.method;
    call.path = request.path.c_str();
    call.arguments = request.arguments.empty() ? nullptr : arguments.data();
    call.argument_count = static_cast<uint32_t>(request.arguments.size());
    call.handler_context = function.handler_context;
    call.headers = request.headers.empty() ? nullptr : headers.data();
    call.header_count = static_cast<uint32_t>(request.headers.size());
    call.content_type = request.contentType.c_str();
    if (request.body) {
        call.body = reinterpret_cast<const uint8_t*>(request.body->c_str());  // NUL-terminated
        call.body_length = static_cast<uint32_t>(request.body->size());
    }
    call.request_context = request.requestContext;
    call.custom_method = request.method == API_METHOD_CUSTOM ? request.customMethod.c_str() : nullptr;

    ApiReply out{};
    PluginCall inside;
    function.handler(&out, &call);

    reply.delivered = true;
    reply.function = TextOr(function.name);
    CopyReply(out, reply);
    if (out.stream.read != nullptr) DrainStream(out.stream, reply);
    if (out.stream.release != nullptr) out.stream.release(out.stream.handle);
    if (out.release != nullptr) {
        out.release(&out);
        reply.released = true;
        reply.releaseZeroed = IsZero(out);
    }
}

}  // namespace Vemi::Host
