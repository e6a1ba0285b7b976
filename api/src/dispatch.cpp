// Request dispatch: the handler the host calls for every bound function. It checks
// the request against the function's route, binds header, query, path, host and
// body arguments, lets the callable convert and call, and fills the host's reply.
#include <kav/api/dispatch.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <kav/binding/host_value.h>
#include <kav/binding/page_supply.h>
#include <kav/binding/to_native.h>
#include <kav/binding/to_value.h>
#include <kav/formats/json_reader.h>
#include <kav/formats/content_type.h>
#include <kav/formats/msgpack_reader.h>
#include <kav/formats/yaml_reader.h>
#include <kav/logging/log.h>
#include <kav/logging/positional_format.h>

namespace Vemi::Api {
namespace {

using Binding::BindingResult;
using Binding::BindingTypeKind;
using Binding::BindingValue;

constexpr const char* kInvalidFunction = "Invalid function";
constexpr const char* kUnknownArgument = "Unknown argument '%1' for '%2'.";
constexpr const char* kInvalidLocation = "Argument '%1' for '%2' was specified in an invalid location.";
constexpr const char* kExpectedValue = "Expected value for argument '%1'.";
constexpr const char* kIndexFormat = "Index %1 is in an incorrect format";
constexpr const char* kIndexRange = "Index %1 is out of range";
constexpr const char* kIndexSegments = "Index path %1 has more than %2 segments";
constexpr const char* kMessagePackFailed = "Couldn't deserialize MessagePack value for parameter '%1' of '%2': %3";
constexpr const char* kJsonFailed = "Couldn't deserialize JSON value for parameter '%1' of '%2': %3";
constexpr const char* kYamlFailed = "Couldn't deserialize YAML value for parameter '%1' of '%2': %3";
constexpr const char* kExtraMessagePack = "Extra MessgePack data found in body";
constexpr const char* kUnsupportedBody = "Unsupported body content type";
constexpr const char* kNulInText = "Value for argument '%1' contains a NUL character.";
constexpr const char* kInternalError = "Internal error";
constexpr uint32_t kInvalidFunctionStatus = 404;
constexpr uint32_t kBadResultStatus = 400;
constexpr uint32_t kBadRequestStatus = 400;
constexpr uint32_t kInternalErrorStatus = 500;
// A path is logged up to this many bytes.
constexpr size_t kLoggedPathLength = 256;

[[nodiscard]] std::string_view TextOf(const char* text) noexcept {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

[[nodiscard]] char Lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive test on the length of the literal only.
[[nodiscard]] bool HasPrefix(std::string_view text, std::string_view literal) noexcept {
    if (text.size() < literal.size()) return false;
    for (size_t i = 0; i < literal.size(); ++i) {
        if (Lower(text[i]) != Lower(literal[i])) return false;
    }
    return true;
}

[[nodiscard]] bool IsSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[nodiscard]] std::string_view SkipSpaces(std::string_view text) noexcept {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    return text.substr(i);
}

// A malloc'd NUL-terminated copy; throws std::bad_alloc when none can be had.
[[nodiscard]] char* CopyText(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

void SetError(ApiReply& reply, std::string_view message) {
    reply.error = CopyText(message);
    reply.has_error = 1;
}

uint32_t KAV_ABI ReadStream(void* reader, void* buffer, uint32_t* size, uint8_t* more) {
    if (reader == nullptr) {
        // A stream that opened no reader has no body.
        if (size != nullptr) *size = 0;
        if (more != nullptr) *more = 0;
        return 1;
    }
    return static_cast<StreamReader*>(reader)->Read(buffer, size, more);
}

void KAV_ABI DestroyStream(void* stream) { delete static_cast<ResponseStream*>(stream); }

// One query argument; a later equal name supersedes an earlier one.
struct QueryArgument {
    std::string name;
    std::string value;
    bool superseded = false;
};

void SplitQuery(std::string_view path, std::vector<QueryArgument>& arguments) {
    const size_t mark = path.find('?');
    if (mark == std::string_view::npos) return;
    std::string_view query = path.substr(mark + 1);
    for (;;) {
        const size_t end = query.find('&');
        const std::string_view piece = query.substr(0, end);
        const size_t equals = piece.find('=');
        QueryArgument& argument = arguments.emplace_back();
        if (equals == std::string_view::npos) {
            argument.name = PercentDecode(piece);
        } else {
            argument.name = PercentDecode(piece.substr(0, equals));
            argument.value = PercentDecode(piece.substr(equals + 1));
        }
        if (end == std::string_view::npos) break;
        query.remove_prefix(end + 1);
    }
    if (arguments.size() < 2) return;
    if (arguments.size() <= 8) {
        for (size_t i = 0; i < arguments.size(); ++i) {
            for (size_t j = i + 1; j < arguments.size() && !arguments[i].superseded; ++j) {
                arguments[i].superseded = arguments[i].name == arguments[j].name;
            }
        }
        return;
    }
    std::vector<uint32_t> order(arguments.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return arguments[a].name < arguments[b].name; });
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        if (arguments[order[i]].name == arguments[order[i + 1]].name) arguments[order[i]].superseded = true;
    }
}

// The state of one dispatch.
class Dispatcher {
public:
    Dispatcher(const ApiRequest& request, HandlerContext& handler, Endpoint& endpoint, std::string_view path,
               HttpMethod method, std::string_view customMethod, PathParameters& pathParameters)
        : request_(request),
          handler_(handler),
          endpoint_(endpoint),
          function_(*endpoint.function),
          path_(path),
          method_(method),
          customMethod_(customMethod),
          pathParameters_(pathParameters) {}

    void Run(ApiReply& reply);

private:
    template <class... Args>
    bool Fail(const char* format, const Args&... args) {
        response_.Fail(PositionalFormat(format, args...));
        return false;
    }

    void BindArguments();
    bool ApplyText(std::string_view name, std::string_view text, ArgumentLocation from);
    bool ApplyIndexPath(BindingValue& value, std::string_view indexPath, std::string_view text);
    bool RefuseNul(const BindingValue& value, std::string_view text, std::string_view parameter);
    void ApplyHostArguments();
    void ApplyBody();
    void FillRequestInfo(RequestInfo& info) const;
    void FillReply(ApiReply& reply);

    const ApiRequest& request_;
    HandlerContext& handler_;
    Endpoint& endpoint_;
    const Binding::FunctionRecord& function_;
    std::string_view path_;
    HttpMethod method_;
    std::string_view customMethod_;
    PathParameters& pathParameters_;
    ApiResponse response_;
    BindingValue arguments_;  // one element per parameter
    std::span<BindingValue> values_;
    uint32_t grownElements_ = 0;
};

// A string value ends at its first NUL: a text bound as a string with a NUL inside would
// be cut there (an empty name from "%00abc"), so it is refused whole.
bool Dispatcher::RefuseNul(const BindingValue& value, std::string_view text, std::string_view parameter) {
    if (value.Kind() != Binding::ValueKind::String || text.find('\0') == std::string_view::npos) return true;
    response_.status = kBadRequestStatus;
    return Fail(kNulInText, parameter);
}

bool Dispatcher::ApplyIndexPath(BindingValue& value, std::string_view indexPath, std::string_view text) {
    const size_t segments = static_cast<size_t>(std::count(indexPath.begin(), indexPath.end(), '.')) + 1;
    if (segments > kMaxIndexSegments) return Fail(kIndexSegments, indexPath, static_cast<uint32_t>(kMaxIndexSegments));
    BindingValue* current = &value;
    std::string_view rest = indexPath;
    std::string_view segment;
    std::string number;
    for (;;) {
        const size_t dot = rest.find('.');
        segment = rest.substr(0, dot);
        if (!segment.empty() && segment[0] >= '0' && segment[0] <= '9') {
            number.assign(segment);
            char* end = nullptr;
            errno = 0;
            const unsigned long index = std::strtoul(number.c_str(), &end, 0);
            if (end != number.c_str() + number.size()) return Fail(kIndexFormat, segment);
            if (errno == ERANGE || index > kMaxIndex) return Fail(kIndexRange, segment);
            const size_t size = current->Kind() == Binding::ValueKind::Collection ? current->Size() : 0;
            const size_t growth = index + 1 > size ? index + 1 - size : 0;
            if (growth > kMaxIndexElements - grownElements_) return Fail(kIndexRange, segment);
            grownElements_ += static_cast<uint32_t>(growth);
            current = &current->Element(index);
        } else {
            current = &current->Member(segment);
        }
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    DecodeParameterText(response_.result, *current, function_.name, segment, text, {}, false);
    return response_.result.Ok() && RefuseNul(*current, text, segment);
}

bool Dispatcher::ApplyText(std::string_view name, std::string_view text, ArgumentLocation from) {
    const size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const int32_t index = endpoint_.FindParameter(base);
    if (index < 0 || static_cast<size_t>(index) >= values_.size()) {
        return Fail(kUnknownArgument, base, function_.name);
    }
    const ArgumentLocation location = endpoint_.LocationOf(static_cast<size_t>(index));
    if (location != ArgumentLocation::Unspecified && location != from) {
        return Fail(kInvalidLocation, base, function_.name);
    }
    BindingValue& value = values_[static_cast<size_t>(index)];
    const Binding::ArgumentRecord& argument = function_.arguments[static_cast<size_t>(index)];
    if (dot != std::string_view::npos) return ApplyIndexPath(value, name.substr(dot + 1), text);
    const BindingTypeKind kind = argument.type.kind;
    if (text.empty()) {
        switch (kind) {
            case BindingTypeKind::Bool:
                value.SetBool(true);
                return true;
            case BindingTypeKind::Object:
            case BindingTypeKind::Struct:
                value.Reset();
                value.MakeStructure();
                return true;
            case BindingTypeKind::Vector:
                value.Reset();
                value.MakeCollection();
                return true;
            default:
                return Fail(kExpectedValue, argument.name);
        }
    }
    const bool sniff =
        kind == BindingTypeKind::Object || kind == BindingTypeKind::Vector || kind == BindingTypeKind::Struct;
    DecodeParameterText(response_.result, value, function_.name, argument.name, text, {}, sniff);
    return response_.result.Ok() && RefuseNul(value, text, argument.name);
}

void Dispatcher::BindArguments() {
    const std::vector<Binding::ArgumentRecord>& parameters = function_.arguments;
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].type.kind == BindingTypeKind::Bool && !parameters[i].optional) values_[i].SetBool(false);
    }

    // Headers: a parameter of location 0 or 4 is read from the header named like it in
    // lower case; of equal header names the last counts.
    const ApiHeader* headers = request_.header_count > 0 ? request_.headers : nullptr;
    if (headers != nullptr) {
        for (size_t i = 0; i < parameters.size(); ++i) {
            const ArgumentLocation location = endpoint_.LocationOf(i);
            if (location != ArgumentLocation::Unspecified && location != ArgumentLocation::Header) continue;
            const std::string& wanted = endpoint_.headerNames[i];
            for (uint32_t h = request_.header_count; h-- > 0;) {
                if (TextOf(headers[h].name) != wanted) continue;
                if (!ApplyText(parameters[i].name, TextOf(headers[h].value), ArgumentLocation::Header)) return;
                break;
            }
        }
    }

    std::vector<QueryArgument> query;
    SplitQuery(path_, query);
    for (const QueryArgument& argument : query) {
        if (argument.superseded) continue;
        if (!ApplyText(argument.name, argument.value, ArgumentLocation::Query)) return;
    }

    for (const auto& [name, value] : pathParameters_) {
        if (!ApplyText(name, value, ArgumentLocation::Path)) return;
    }

    ApplyHostArguments();
}

void Dispatcher::ApplyHostArguments() {
    if (request_.arguments == nullptr) return;
    for (uint32_t i = 0; i < request_.argument_count && response_.result.Ok(); ++i) {
        const HostArgument& argument = request_.arguments[i];
        int32_t index = -1;
        if (argument.name != nullptr) {
            index = endpoint_.FindParameter(argument.name);
            if (index < 0) {
                Fail(kUnknownArgument, argument.name, function_.name);
                return;
            }
        } else {
            const uint64_t position = uint64_t{i} + pathParameters_.size();
            if (position >= values_.size()) {
                Fail(kUnknownArgument, position, function_.name);
                return;
            }
            index = static_cast<int32_t>(position);
        }
        const size_t slot = static_cast<size_t>(index);
        Binding::ConvertHostValue(response_.result, values_[slot], argument.value, function_.arguments[slot].name);
    }
}

void Dispatcher::ApplyBody() {
    if (request_.body == nullptr) return;
    size_t index = values_.size();
    for (size_t i = 0; i < values_.size(); ++i) {
        if (endpoint_.LocationOf(i) == ArgumentLocation::Body) {
            index = i;
            break;
        }
    }
    if (index == values_.size()) return;

    const std::string_view contentType = TextOf(request_.content_type);
    const auto* body = reinterpret_cast<const char*>(request_.body);
    const size_t length = request_.body_length;
    BindingResult decoded;
    switch (Formats::BodyFormatOf(contentType)) {
        case Formats::BodyFormat::MessagePack: {
            size_t consumed = 0;
            decoded = Formats::DecodeMessagePack(body, length, &consumed);
            if (decoded.Ok() && consumed != length) decoded.Fail(kExtraMessagePack);
            break;
        }
        case Formats::BodyFormat::Json: decoded = Formats::DecodeJson(body, length); break;
        case Formats::BodyFormat::Yaml: {
            // A YAML body is a text: it ends at a NUL inside it, as a JSON body does.
            const auto* nul = static_cast<const char*>(std::memchr(body, '\0', length));
            decoded = Formats::DecodeYaml(body, nul != nullptr ? static_cast<size_t>(nul - body) : length);
            break;
        }
        case Formats::BodyFormat::Unsupported: decoded.Fail(kUnsupportedBody); break;
    }
    if (!decoded.Ok()) {
        response_.Fail(decoded.ErrorMessage());
        return;
    }
    values_[index] = decoded.value;
}

void Dispatcher::FillRequestInfo(RequestInfo& info) const {
    info.requestContext = request_.request_context;
    info.context = handler_.context;
    info.receivedTicks = Platform::SystemTimeTicks() - kUnixEpochTicks;
    info.method = method_;
    if (method_ == HttpMethod::Custom) info.customMethod.assign(customMethod_);
    info.path.assign(TextOf(request_.path));
    if (request_.headers != nullptr) {
        info.headers.reserve(request_.header_count);
        for (uint32_t h = 0; h < request_.header_count; ++h) {
            info.headers.insert_or_assign(std::string(TextOf(request_.headers[h].name)),
                                          std::string(TextOf(request_.headers[h].value)));
        }
    }
}

void Dispatcher::FillReply(ApiReply& reply) {
    bool conversionFailed = false;
    if (!response_.result.Ok()) {
        SetError(reply, response_.result.ErrorMessage());
    } else {
        Binding::ToHostValue(response_.result, reply.body, response_.result.value, &handler_.context->Registry());
        if (!response_.result.Ok()) {
            conversionFailed = true;
            response_.stream.reset();
            SetError(reply, response_.result.ErrorMessage());
        }
    }
    reply.response_flag = response_.responseFlag;
    reply.response_mode = response_.responseMode >= 1 && response_.responseMode <= 3 ? response_.responseMode : 0;
    reply.status = conversionFailed ? kBadResultStatus : response_.status;
    reply.content_type = response_.contentType.empty() ? SharedEmptyText() : CopyText(response_.contentType);
    if (!response_.headers.empty()) {
        const size_t count = response_.headers.size();
        auto* headers = static_cast<ApiHeader*>(std::calloc(count, sizeof(ApiHeader)));
        if (headers == nullptr) throw std::bad_alloc();
        reply.headers = headers;
        for (const auto& [name, value] : response_.headers) {
            // Counted as they are filled, so a failed copy leaves a releasable reply.
            ApiHeader& header = headers[reply.header_count];
            header.name = CopyText(name);
            ++reply.header_count;
            header.value = CopyText(value);
        }
    }
    // Last: nothing after this can throw, so the stream is never left half-handed.
    if (response_.stream != nullptr) {
        ResponseStream* stream = response_.stream.release();
        reply.stream.read = &ReadStream;
        reply.stream.release = &DestroyStream;
        reply.stream.source.reader = stream->Open();
        reply.stream.reserved = 0;
        reply.stream.handle = stream;
    }
}

void Dispatcher::Run(ApiReply& reply) {
    const size_t count = function_.arguments.size();
    if (count > 0) {
        arguments_.MakeCollection();
        arguments_.Element(count - 1);
        values_ = arguments_.Elements();
    }
    BindArguments();
    ApplyBody();

    Callable& callable = *endpoint_.callable;
    ArgumentStorage storage;
    void* prepared = nullptr;
    struct ReleaseGuard {
        Callable& callable;
        void*& prepared;
        ~ReleaseGuard() { callable.Release(prepared); }
    } guard{callable, prepared};

    if (response_.result.Ok()) prepared = callable.Prepare(response_, values_, request_.request_context, storage);
    if (response_.result.Ok()) {
        const Binding::StaticType* wanted = callable.RequestInfoType();
        if (wanted != nullptr && (*wanted == RequestInfoType() || *wanted == RequestInfoPointerType())) {
            RequestInfo info;
            FillRequestInfo(info);
            callable.Call(response_, &info, prepared, request_.request_context);
        } else {
            callable.Call(response_, nullptr, prepared, request_.request_context);
        }
    }
    FillReply(reply);
}

void Handle(ApiReply& reply, const ApiRequest* request, const RoutePattern* route) {
    auto* handler = request != nullptr ? static_cast<HandlerContext*>(request->handler_context) : nullptr;
    Endpoint* endpoint = handler != nullptr && handler->context != nullptr ? handler->endpoint : nullptr;
    if (endpoint == nullptr || endpoint->function == nullptr || endpoint->callable == nullptr) {
        SetError(reply, kInvalidFunction);
        reply.status = kInvalidFunctionStatus;
        return;
    }

    const HttpMethod method = HttpMethodFromHost(request->method);
    const std::string_view customMethod =
        method == HttpMethod::Custom ? TextOf(request->custom_method) : std::string_view();
    const std::string_view path = TextOf(request->path);

    // The endpoint's route was compiled when it was declared; an endpoint whose path
    // changed since gets its route compiled for this request alone.
    RoutePattern ownRoute;
    if (route == nullptr) {
        route = &endpoint->pattern;
        if (endpoint->compiledTemplate != endpoint->RouteTemplate()) {
            ownRoute = RoutePattern(endpoint->RouteTemplate());
            route = &ownRoute;
        }
    }
    PathParameters pathParameters;
    const bool methodAccepted = endpoint->method == HttpMethod::None ||
                                (endpoint->method == method && endpoint->customMethod == customMethod);
    if (!methodAccepted || !route->Match(path, pathParameters)) {
        SetError(reply, kInvalidFunction);
        reply.status = kInvalidFunctionStatus;
        return;
    }
    Dispatcher(*request, *handler, *endpoint, path, method, customMethod, pathParameters).Run(reply);
}

}  // namespace

void DecodeParameterText(BindingResult& result, BindingValue& target, std::string_view functionName,
                         std::string_view parameterName, std::string_view text, std::string_view contentType,
                         bool sniff) {
    sniff = sniff && contentType.empty();
    const char* failure = nullptr;
    BindingResult decoded;
    if (HasPrefix(contentType, "application/x-msgpack") ||
        (sniff && Formats::LooksLikeMessagePack(text.data(), text.size()))) {
        decoded = Formats::DecodeMessagePack(text.data(), text.size());
        failure = kMessagePackFailed;
    } else if (HasPrefix(contentType, "application/json") ||
               (sniff && !SkipSpaces(text).empty() && (SkipSpaces(text)[0] == '{' || SkipSpaces(text)[0] == '['))) {
        decoded = Formats::DecodeJson(text);
        failure = kJsonFailed;
    } else if (HasPrefix(contentType, "text/x-yaml") || (sniff && SkipSpaces(text).starts_with("---"))) {
        decoded = Formats::DecodeYaml(text);
        failure = kYamlFailed;
    } else if (HasPrefix(contentType, "application/octet-stream")) {
        target.SetBlob(text.data(), text.size());
        return;
    } else {
        target.SetString(text);
        return;
    }
    if (!decoded.Ok()) {
        result.Fail(PositionalFormat(failure, parameterName, functionName, decoded.ErrorMessage()));
        return;
    }
    target = decoded.value;
}

void ReleaseReply(ApiReply* reply) noexcept {
    if (reply == nullptr) return;
    Binding::ReleaseHostValue(reply->body);
    std::free(const_cast<char*>(reply->error));
    if (reply->content_type != SharedEmptyText()) std::free(const_cast<char*>(reply->content_type));
    if (reply->headers != nullptr) {
        for (uint32_t i = 0; i < reply->header_count; ++i) {
            std::free(const_cast<char*>(reply->headers[i].name));
            std::free(const_cast<char*>(reply->headers[i].value));
        }
        std::free(reply->headers);
    }
    *reply = ApiReply{};
}

namespace {

// Not the caller's fault (out of memory, most likely), so it goes to the log too.
void LogInternalError(const ApiRequest* request, const char* why) noexcept {
    const char* path = request != nullptr && request->path != nullptr ? request->path : "";
    try {
        Log(kLogError, kCategoryDBG, "Internal error handling %.*s: %s",
            static_cast<int>(strnlen(path, kLoggedPathLength)), path, why);
    } catch (...) {
    }
}

}  // namespace

void HandleRequestWithRoute(ApiReply* reply, const ApiRequest* request, const RoutePattern* route) noexcept {
    if (reply == nullptr) return;
    *reply = ApiReply{};
    reply->release = &ReleaseReply;
    reply->content_type = SharedEmptyText();  // every reply carries one, also a refused one
    bool failed = false;
    try {
        Handle(*reply, request, route);
    } catch (const std::exception& e) {
        failed = true;
        LogInternalError(request, e.what());
    } catch (...) {
        failed = true;
        LogInternalError(request, "unknown exception");
    }
    if (failed) {
        // Whatever was filled goes; the host sees one plain failure.
        if (reply->stream.release != nullptr && reply->stream.handle != nullptr) reply->stream.release(reply->stream.handle);
        ReleaseReply(reply);
        reply->release = &ReleaseReply;
        reply->content_type = SharedEmptyText();
        reply->status = kInternalErrorStatus;
        const size_t length = std::strlen(kInternalError);
        if (auto* text = static_cast<char*>(std::malloc(length + 1))) {
            std::memcpy(text, kInternalError, length + 1);
            reply->error = text;
            reply->has_error = 1;
        }
    }
    // The request's trees are gone: idle regions of the value store may decay now,
    // off the paths that build and drop them.
    Binding::PageSupply::Maintain();
}

void HandleRequest(ApiReply* reply, const ApiRequest* request) noexcept {
    HandleRequestWithRoute(reply, request, nullptr);
}

}  // namespace Vemi::Api
