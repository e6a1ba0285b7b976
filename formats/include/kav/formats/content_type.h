// Which reader a body's content type selects, as the plugin's request dispatcher and the
// decode tool both match it.
#pragma once

#include <cstdint>
#include <string_view>

namespace Vemi::Formats {

enum class BodyFormat : uint8_t { Unsupported, MessagePack, Json, Yaml };

// Compared case-insensitively on the length of each known type only (a prefix test), in
// this order: "application/x-msgpack" (so also "application/x-msgpack-ext"),
// "application/json" or "application/vnd.api+json", "application/x-yaml". So
// "application/json; charset=utf-8" and "APPLICATION/JSON" are JSON.
[[nodiscard]] BodyFormat BodyFormatOf(std::string_view contentType) noexcept;

}  // namespace Vemi::Formats
