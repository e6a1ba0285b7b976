// The mapping between HTTP messages and the host's request and reply records.
#include <kav/host_tool/serve.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace Vemi::HostTool {
namespace {

// Appends to a string: a text is built where it ends up, without a buffer to copy from.
class StringOutput {
public:
    using Ch = char;
    explicit StringOutput(std::string& out) noexcept : out_(out) {}
    void Put(char c) { out_.push_back(c); }
    void Flush() noexcept {}

private:
    std::string& out_;
};

using JsonWriter = rapidjson::Writer<StringOutput, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;

// A JSON text written into a string, the writer's nesting kept on the stack to a depth of
// 32: an answer's text costs the one allocation of the string.
class JsonText {
public:
    JsonText() : pool_(levels_, sizeof levels_), writer_(output_, &pool_, kLevels) {}
    JsonText(const JsonText&) = delete;
    JsonText& operator=(const JsonText&) = delete;
    JsonWriter& Writer() noexcept { return writer_; }
    std::string Take() noexcept { return std::move(text_); }

private:
    static constexpr size_t kLevels = 32;
    alignas(std::max_align_t) char levels_[kLevels * 2 * sizeof(size_t) + 64];
    std::string text_;
    StringOutput output_{text_};
    rapidjson::MemoryPoolAllocator<> pool_;
    JsonWriter writer_;
};

// Length of the well-formed UTF-8 sequence at text[i], 0 when it is not one.
size_t Utf8Length(std::string_view text, size_t i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    unsigned char second = byte(i + 1);
    if (lead == 0xE0 && second < 0xA0) return 0;   // overlong
    if (lead == 0xED && second >= 0xA0) return 0;  // surrogate
    if (lead == 0xF0 && second < 0x90) return 0;   // overlong
    if (lead == 0xF4 && second >= 0x90) return 0;  // beyond U+10FFFF
    return length;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8Length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// The writer copies bytes as they are: bad sequences would make the whole text invalid JSON.
std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

void WriteText(JsonWriter& writer, std::string_view text) {
    if (IsValidUtf8(text)) {
        writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        return;
    }
    std::string valid = ValidUtf8(text);
    writer.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
}

void WriteValue(JsonWriter& writer, const HostValue& value, int depth) {
    if (depth >= Host::kMaxValueDepth) {
        writer.Null();
        return;
    }
    switch (value.kind) {
        case HOST_VALUE_BOOL: writer.Bool(value.u.boolean != 0); return;
        case HOST_VALUE_SIGNED: writer.Int64(value.u.i64); return;
        case HOST_VALUE_UNSIGNED: writer.Uint64(value.u.u64); return;
        case HOST_VALUE_FLOAT:
            if (std::isfinite(value.u.f64)) {
                writer.Double(value.u.f64);
            } else {
                writer.Null();
            }
            return;
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED: WriteText(writer, Host::StringOf(value)); return;
        case HOST_VALUE_BLOB:
        case HOST_VALUE_BLOB_OWNED: {
            static constexpr char kHex[] = "0123456789abcdef";
            std::string hex;
            if (value.u.blob.data != nullptr) {
                for (uint32_t i = 0; i < value.u.blob.size; ++i) {
                    hex += kHex[value.u.blob.data[i] >> 4];
                    hex += kHex[value.u.blob.data[i] & 15];
                }
            }
            writer.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
            return;
        }
        case HOST_VALUE_COLLECTION:
            writer.StartArray();
            if (value.u.collection.items != nullptr) {
                for (uint32_t i = 0; i < value.u.collection.count; ++i) {
                    WriteValue(writer, value.u.collection.items[i], depth + 1);
                }
            }
            writer.EndArray();
            return;
        case HOST_VALUE_STRUCTURE:
            writer.StartObject();
            if (value.u.structure.entries != nullptr) {
                for (uint32_t i = 0; i < value.u.structure.count; ++i) {
                    const HostStructEntry& entry = value.u.structure.entries[i];
                    WriteText(writer, entry.key == nullptr ? std::string_view{} : std::string_view(entry.key));
                    WriteValue(writer, entry.value, depth + 1);
                }
            }
            writer.EndObject();
            return;
        default: writer.Null(); return;
    }
}

struct KnownMethod {
    std::string_view name;
    uint32_t code;
};
constexpr KnownMethod kMethods[] = {{"DELETE", API_METHOD_DELETE}, {"GET", API_METHOD_GET},
                                    {"HEAD", API_METHOD_HEAD},     {"OPTIONS", API_METHOD_OPTIONS},
                                    {"PATCH", API_METHOD_PATCH},   {"POST", API_METHOD_POST},
                                    {"PUT", API_METHOD_PUT}};

// Headers that describe the HTTP message itself, which the server writes on its own.
bool FramingHeader(std::string_view name) {
    static constexpr std::string_view kFraming[] = {"content-length", "content-type", "transfer-encoding",
                                                    "connection",     "keep-alive",   "upgrade"};
    for (std::string_view framing : kFraming) {
        if (name.size() == framing.size() &&
            std::equal(name.begin(), name.end(), framing.begin(),
                       [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; })) {
            return true;
        }
    }
    return false;
}

// A line break in a header of the plugin's would split the reply: such headers are left out.
bool PlainHeaderText(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool TokenText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// A plugin's informational status would leave the client waiting for the real answer.
bool ValidStatus(uint32_t status) { return status >= 200 && status <= 599; }

}  // namespace

std::string ValueToJson(const HostValue& value) {
    JsonText json;
    WriteValue(json.Writer(), value, 0);
    return json.Take();
}

Host::RequestData RequestFromHttp(std::string_view method, std::string_view target, std::vector<Host::Header> headers,
                                  std::optional<std::string> body) {
    Host::RequestData request;
    request.method = API_METHOD_CUSTOM;
    for (const KnownMethod& known : kMethods) {
        if (known.name == method) request.method = known.code;
    }
    if (request.method == API_METHOD_CUSTOM) request.customMethod = method;
    request.path = target;
    for (Host::Header& header : headers) {
        for (char& c : header.name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (header.name == "content-type") request.contentType = header.value;
    }
    request.headers = std::move(headers);
    if (body && !body->empty()) {
        request.body = std::move(body);
    } else {
        request.contentType.clear();
    }
    return request;
}

HttpAnswer ErrorAnswer(unsigned status, std::string_view error) {
    JsonText json;
    JsonWriter& writer = json.Writer();
    writer.StartObject();
    writer.Key("status");
    writer.Uint(status);
    writer.Key("error");
    WriteText(writer, error);
    writer.EndObject();
    HttpAnswer answer;
    answer.status = status;
    answer.contentType = "application/json";
    answer.body = json.Take();
    return answer;
}

HttpAnswer AnswerFromReply(const Host::ReplyData& reply) {
    HttpAnswer answer;
    if (reply.hasError || !reply.error.empty()) {
        answer = ErrorAnswer(reply.status == 0 ? 400 : ValidStatus(reply.status) ? reply.status : 500, reply.error);
    } else if (reply.streamFailed) {
        answer = ErrorAnswer(502, "The plugin's reply stream failed after " + std::to_string(reply.streamBody.size()) + " bytes");
    } else if (!ValidStatus(reply.status) && reply.status != 0) {
        answer = ErrorAnswer(500, "The plugin answered the status " + std::to_string(reply.status));
    } else {
        bool hasBody = reply.streamed || reply.body.kind() != HOST_VALUE_NONE;
        answer.status = reply.status != 0 ? reply.status : hasBody ? 200 : 204;
        // These statuses carry no body in HTTP.
        bool bodyAllowed = answer.status >= 200 && answer.status != 204 && answer.status != 304;
        if (hasBody && bodyAllowed) {
            answer.body = reply.streamed ? reply.streamBody : ValueToJson(reply.body.get());
            answer.contentType = !reply.contentType.empty() ? reply.contentType
                                 : reply.streamed           ? "application/octet-stream"
                                                            : "application/json";
        }
    }
    for (const Host::Header& header : reply.headers) {
        if (!header.name.empty() && !FramingHeader(header.name) && TokenText(header.name) &&
            PlainHeaderText(header.value)) {
            answer.headers.push_back(header);
        }
    }
    return answer;
}

Host::ReplyData AskPlugin(Host::Host& host, Host::RequestData request) {
    if (request.method == API_METHOD_HEAD) {
        const ApiDescription* description = host.Record().description;
        const ApiFunctionEntry* function = Host::FindFunction(description, request.method, "", request.path);
        if (function == nullptr || (function->method != API_METHOD_HEAD && function->method != API_METHOD_ANY)) {
            // HEAD is GET without the body (which the connection leaves out).
            const ApiFunctionEntry* get = Host::FindFunction(description, API_METHOD_GET, "", request.path);
            if (get != nullptr && get->method == API_METHOD_GET) request.method = API_METHOD_GET;
        }
    }
    return host.Request(request);
}

namespace {

// Compact JSON as a person reads it: a space after each ',' and ':' outside strings.
std::string SpacedJson(std::string_view json) {
    std::string out;
    out.reserve(json.size() + json.size() / 8);
    bool quoted = false;
    for (size_t i = 0; i < json.size(); ++i) {
        char c = json[i];
        out += c;
        if (quoted) {
            if (c == '\\' && i + 1 < json.size()) {
                out += json[++i];
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',' || c == ':') {
            out += ' ';
        }
    }
    return out;
}

bool JsonType(std::string_view contentType) {
    std::string type(contentType.substr(0, contentType.find(';')));
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return type == "application/json" || type.ends_with("+json");
}

}  // namespace

std::string ClientReplyText(const Host::ReplyData& reply, bool headers) {
    HttpAnswer answer = AnswerFromReply(reply);
    std::string text = " => HTTP " + std::to_string(answer.status) + " (reply status " + std::to_string(reply.status) + ')';
    if (headers) {
        if (!answer.contentType.empty()) text += " content-type: " + Host::QuoteText(answer.contentType);
        for (const Host::Header& header : answer.headers) text += ' ' + header.name + ": " + Host::QuoteText(header.value);
    }
    // Bodies made of the reply's value, and error bodies, are JSON whatever their label.
    bool json = !reply.streamed || JsonType(answer.contentType);
    if (!answer.body.empty()) text += ' ' + (json ? SpacedJson(answer.body) : Host::QuoteText(answer.body));
    return text;
}

}  // namespace Vemi::HostTool
