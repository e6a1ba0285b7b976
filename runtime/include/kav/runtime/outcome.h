// Results of the runtime's outbound operations: a value or an ApiError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <kav/api/http.h>
#include <kav/logging/diagnostics.h>

namespace Vemi {

struct ApiError {
    uint32_t code = 0;  // an HTTP status for requests, 0 when none
    std::string message;
    TemplateFields fields;

    // Records a non-zero code also as the field "errorCode_int".
    void SetCode(uint32_t value);
};

// The four request errors built from a template with {method}, {url} and {error}.
inline constexpr const char* kErrorConvertingParameters =
    "Request not sent: Error converting parameters for {method} {url}: {error}";
inline constexpr const char* kErrorResponse = "Error response for {method} {url}: {error}";
inline constexpr const char* kErrorReadingStream = "Error reading streamed response for {method} {url}: {error}";
inline constexpr const char* kErrorConvertingResponse = "Error converting response for {method} {url}: {error}";

[[nodiscard]] ApiError MakeRequestError(const char* templateText, Api::HttpMethod method, std::string_view url,
                                        std::string_view error, uint32_t code);

template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
    Outcome(ApiError error) : error_(std::move(error)) {}

    [[nodiscard]] bool Ok() const noexcept { return value_.has_value(); }
    [[nodiscard]] T& Value() { return *value_; }
    [[nodiscard]] const ApiError& Error() const { return error_; }

private:
    std::optional<T> value_;
    ApiError error_;
};

template <>
class [[nodiscard]] Outcome<void> {
public:
    Outcome() = default;
    Outcome(ApiError error) : ok_(false), error_(std::move(error)) {}

    [[nodiscard]] bool Ok() const noexcept { return ok_; }
    [[nodiscard]] const ApiError& Error() const { return error_; }

private:
    bool ok_ = true;
    ApiError error_;
};

}  // namespace Vemi
