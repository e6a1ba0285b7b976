// Request methods and argument locations shared by endpoints, routes and dispatch.
#pragma once

#include <cstdint>
#include <string_view>

namespace Vemi::Api {

// Numbering is fixed by the host interface.
enum class HttpMethod : uint32_t {
    None = 0,  // endpoint accepts every method
    Delete = 1,
    Get = 2,
    Head = 3,
    Options = 4,
    Patch = 5,
    Post = 6,
    Put = 7,
    Custom = 8,  // named by a separate custom method text
};
static_assert(sizeof(HttpMethod) == 4);

// "DELETE", "GET", ...; empty for None and Custom (Custom is named by its own text).
[[nodiscard]] constexpr std::string_view HttpMethodText(HttpMethod method) noexcept {
    switch (method) {
        case HttpMethod::Delete: return "DELETE";
        case HttpMethod::Get: return "GET";
        case HttpMethod::Head: return "HEAD";
        case HttpMethod::Options: return "OPTIONS";
        case HttpMethod::Patch: return "PATCH";
        case HttpMethod::Post: return "POST";
        case HttpMethod::Put: return "PUT";
        case HttpMethod::None:
        case HttpMethod::Custom: break;
    }
    return {};
}

// Host codes 1..8 are taken as they are; anything else means "no method".
[[nodiscard]] constexpr HttpMethod HttpMethodFromHost(uint32_t code) noexcept {
    return code >= 1 && code <= 8 ? static_cast<HttpMethod>(code) : HttpMethod::None;
}

// Where one argument of a bound function may come from. 3 is not used.
enum class ArgumentLocation : uint32_t {
    Unspecified = 0,  // any place
    Query = 1,
    Path = 2,
    Header = 4,
    Body = 5,
};
static_assert(sizeof(ArgumentLocation) == 4);

}  // namespace Vemi::Api
