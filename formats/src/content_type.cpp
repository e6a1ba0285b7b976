#include <kav/formats/content_type.h>

namespace Vemi::Formats {
namespace {

[[nodiscard]] bool HasPrefix(std::string_view text, std::string_view literal) noexcept {
    if (text.size() < literal.size()) return false;
    for (size_t i = 0; i < literal.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != literal[i]) return false;
    }
    return true;
}

}  // namespace

BodyFormat BodyFormatOf(std::string_view contentType) noexcept {
    if (HasPrefix(contentType, "application/x-msgpack")) return BodyFormat::MessagePack;
    if (HasPrefix(contentType, "application/json") || HasPrefix(contentType, "application/vnd.api+json")) {
        return BodyFormat::Json;
    }
    if (HasPrefix(contentType, "application/x-yaml")) return BodyFormat::Yaml;
    return BodyFormat::Unsupported;
}

}  // namespace Vemi::Formats
