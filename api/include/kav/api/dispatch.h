// The pieces behind HandleRequest (kav/api/api_context.h) that tools, tests and
// benchmarks reach directly.
#pragma once

#include <cstdint>
#include <string_view>

#include <kav/api/api_context.h>
#include <kav/api/route.h>
#include <kav/binding/limits.h>
#include <kav/binding/value.h>
#include <kav/host_abi.h>

namespace Vemi::Api {

// Bounds of an index path such as "ids.2.name" in a query or header name. A larger
// index fails with "Index %1 is out of range", and so does growing the request's
// collections by more elements in total than kMaxIndexElements. A path of more
// segments fails with "Index path %1 has more than 512 segments".
inline constexpr uint32_t kMaxIndex = 65535;
inline constexpr uint32_t kMaxIndexElements = 65536;
inline constexpr size_t kMaxIndexSegments = Binding::kMaxNestingDepth;

// HandleRequest matching against `route` instead of the endpoint's compiled one
// (null: the endpoint's). Never throws.
void HandleRequestWithRoute(ApiReply* reply, const ApiRequest* request, const RoutePattern* route) noexcept;

// The reply-release function every reply carries: frees the body, the error text,
// the content type (unless it is SharedEmptyText()), the header texts and array,
// and zeroes the record. A stream in the reply is not touched: the host destroys
// it first through the reply's stream-release function.
void KAV_ABI ReleaseReply(ApiReply* reply) noexcept;

// Decodes one text into `target` by content type (compared case-insensitively as
// a prefix) or, with an empty content type and `sniff`, by its first bytes:
// MessagePack, JSON, YAML, a blob for "application/octet-stream", else a string.
// A decoder failure fails `result` with a message naming the parameter and the
// function and leaves `target` unchanged.
void DecodeParameterText(Binding::BindingResult& result, Binding::BindingValue& target,
                         std::string_view functionName, std::string_view parameterName, std::string_view text,
                         std::string_view contentType, bool sniff);

}  // namespace Vemi::Api
