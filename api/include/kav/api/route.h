// Route templates, their compilation and the matching of a request against routes.
//
// A template such as "/a/{id}/{+rest}" is literal text with parameters in braces:
// {name} takes one path segment, {+name} any text (slashes included) and {#name}
// a "#" followed by any text. A template without "{" is compared byte for byte;
// any other is compiled once into a regular expression that must match the whole
// request path. Nothing here throws to its caller, except std::bad_alloc where
// noted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <kav/api/http.h>

namespace Vemi::Api {

// "Delete/" + path, squeezed into an identifier: DELETE and
// "/kav-pre-end-of-game/v1/registration/{sequenceEventName}" give
// DeleteKavPreEndOfGameV1RegistrationBySequenceEventName. An empty method text
// adds no prefix. May throw std::bad_alloc.
[[nodiscard]] std::string DeriveFunctionName(std::string_view methodText, std::string_view path);

// Drops exactly one trailing "/" from a declared path longer than one character.
// May throw std::bad_alloc.
[[nodiscard]] std::string NormalizeEndpointPath(std::string_view path);

// "+" becomes a space and "%XY" the byte 0xXY; a "%" with fewer than two
// characters after it is dropped. A character of the pair that is no
// hexadecimal digit counts as 16, and the byte is (first * 16, cut to 8 bits)
// bitwise-or second: "%zz" gives 0x10, "%4z" gives 'P'. The result is raw bytes.
// May throw std::bad_alloc.
[[nodiscard]] std::string PercentDecode(std::string_view text);

enum class CaptureKind : uint8_t {
    Simple = 1,    // {name}: one path segment
    Reserved = 2,  // {+name}: any text
    Fragment = 3,  // {#name}: "#" and any text after it
};

struct RouteCapture {
    CaptureKind kind = CaptureKind::Simple;
    std::string name;

    friend bool operator==(const RouteCapture&, const RouteCapture&) = default;
};

// A template turned into pattern text and its parameters, without compiling.
// Endpoint declaration reads the parameter names from here.
struct TemplateTranslation {
    bool literal = true;       // the template holds no "{": compare it as it is
    std::string patternText;   // ECMAScript pattern, empty when literal
    std::vector<RouteCapture> captures;  // in template order
};
// May throw std::bad_alloc.
[[nodiscard]] TemplateTranslation TranslateTemplate(std::string_view routeTemplate);

// Path parameter name -> percent-decoded text. Lookups accept std::string_view.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};
using PathParameters = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

// A compiled template. Immutable once built, so matching is safe from several
// threads at once. A template whose pattern does not compile, or whose pattern
// text is longer than 1024 bytes, gives an invalid pattern that never matches.
class RoutePattern {
public:
    RoutePattern() = default;  // invalid: matches nothing
    explicit RoutePattern(std::string_view routeTemplate) noexcept;

    [[nodiscard]] bool IsValid() const noexcept { return valid_; }
    [[nodiscard]] bool IsLiteral() const noexcept { return literal_; }
    // The literal path, or the pattern text of a compiled template.
    [[nodiscard]] const std::string& Text() const noexcept { return text_; }
    [[nodiscard]] const std::vector<RouteCapture>& Captures() const noexcept { return captures_; }

    // True when the whole path matches. parameters is cleared first and, on a
    // match, holds every capture decoded (a later equal name overwrites an
    // earlier one); on no match it is left empty. Running out of memory is no
    // answer about the path: std::bad_alloc leaves, with parameters empty.
    [[nodiscard]] bool Match(std::string_view path, PathParameters& parameters) const;

private:
    [[nodiscard]] bool MatchSegments(std::string_view path, PathParameters& parameters) const;

    bool valid_ = false;
    bool literal_ = false;
    std::string text_;
    std::vector<RouteCapture> captures_;
    // Quick rejection before the regular expression: every match starts with
    // prefix_, ends with suffix_ and is at least minLength_ bytes long.
    std::string prefix_;
    std::string suffix_;
    size_t minLength_ = 0;
    // Set when every parameter is {name} and each one is followed by "/" or the end:
    // then each capture is the text up to the next "/", the only match the pattern
    // can make, and matching walks runs_ (the literal text around the captures)
    // without the regular expression.
    bool segmentsOnly_ = false;
    std::vector<std::string> runs_;
    std::regex regex_;
};

// What the method check needs from an endpoint.
struct RouteMethod {
    HttpMethod method = HttpMethod::None;
    std::string customMethod;  // compared only when both sides use the same method
};

// Method None accepts every request; otherwise the methods and the custom
// method texts must both be equal.
[[nodiscard]] inline bool MethodAccepts(const RouteMethod& route, HttpMethod method,
                                        std::string_view customMethod) noexcept {
    if (route.method == HttpMethod::None) return true;
    return route.method == method && route.customMethod == customMethod;
}

// One candidate for a request. Function and Endpoint are the records the route
// stands for; matching only carries the pointers through to the RouteMatch.
template <class Function = void, class Endpoint = void>
struct Route {
    const Function* function = nullptr;
    const Endpoint* endpoint = nullptr;
    RouteMethod method;
    RoutePattern pattern;
};

// One request's method and path in, the chosen route and its parameters out.
template <class Function = void, class Endpoint = void>
struct RouteMatch {
    HttpMethod method = HttpMethod::None;
    std::string customMethod;
    std::string path;
    const Function* function = nullptr;  // null when nothing matched
    const Endpoint* endpoint = nullptr;
    PathParameters pathParameters;
};

// Walks the routes in order and takes the first that accepts the method and
// path; a later one replaces it only when its decoded parameters are strictly
// shorter in total. A taken route without parameters ends the walk. Fills
// match.function, match.endpoint and match.pathParameters (cleared first) and
// answers whether a route was taken. Throws std::bad_alloc as RoutePattern::Match.
template <class Function, class Endpoint>
[[nodiscard]] bool Match(RouteMatch<Function, Endpoint>& match,
                         std::type_identity_t<std::span<const Route<Function, Endpoint>>> routes) {
    match.function = nullptr;
    match.endpoint = nullptr;
    match.pathParameters.clear();
    bool taken = false;
    size_t takenLength = 0;
    PathParameters candidate;
    for (const auto& route : routes) {
        if (!MethodAccepts(route.method, match.method, match.customMethod)) continue;
        if (!route.pattern.Match(match.path, candidate)) continue;
        size_t length = 0;
        for (const auto& [name, value] : candidate) length += value.size();
        if (!taken || length < takenLength) {
            taken = true;
            takenLength = length;
            match.function = route.function;
            match.endpoint = route.endpoint;
            match.pathParameters.swap(candidate);
        }
        // Nothing can be strictly shorter than an empty total.
        if (takenLength == 0) break;
    }
    return taken;
}

}  // namespace Vemi::Api
