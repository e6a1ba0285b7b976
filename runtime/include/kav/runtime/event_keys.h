// Event keys under which the host delivers resource changes, and uri patterns.
#pragma once

#include <string>
#include <string_view>

namespace Vemi {

// "OnJsonApiEvent" joined by "_" with the uri's first non-empty segments: three of
// them, or five under "kav-platform-config".
[[nodiscard]] std::string EventKeyForUri(std::string_view uri);

// A "*" in the pattern takes the characters up to the next "/" (at the very end of
// the pattern, at least one).
[[nodiscard]] bool UriPatternMatches(std::string_view pattern, std::string_view uri) noexcept;

}  // namespace Vemi
