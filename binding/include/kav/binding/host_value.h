// The host's tagged value (HostValue, from the public host header) as the binding
// layer handles it: releasing what a value owns, and the names of its kinds.
//
//   HostValue v = ...;            // e.g. kind HOST_VALUE_COLLECTION built with malloc
//   Vemi::Binding::ReleaseHostValue(v);   // frees owned texts, bytes, arrays, keys
//   // v.kind == HOST_VALUE_NONE, payload zeroed
//
// Everything a host value owns is allocated with malloc and freed with free.
#pragma once

#include <cstdint>

#include <kav/host_abi.h>

namespace Vemi::Binding {

// 12 bytes on a 32-bit host: kind word, then 8 payload bytes (a pointer and a length
// on 64-bit targets make the payload 12 bytes).
inline constexpr size_t kHostPayloadSize = sizeof(void*) + 4 > 8 ? sizeof(void*) + 4 : 8;
static_assert(sizeof(HostValue) == 4 + kHostPayloadSize, "kind word and packed payload");
static_assert(sizeof(HostStructEntry) == sizeof(void*) + sizeof(HostValue) + 1, "key, value, key-owned flag");
static_assert(sizeof(void*) != 4 || (sizeof(HostValue) == 12 && sizeof(HostStructEntry) == 17));

// Frees what the value owns, recursively (owned texts and bytes, element and entry
// arrays, owned keys), and leaves it as kind 0 with a zeroed payload.
void ReleaseHostValue(HostValue& value) noexcept;

// "bool", "signed", "unsigned", "float", "string" (5, 6), "blob" (7, 8),
// "collection", "structure"; "" for anything else, kind 0 included.
[[nodiscard]] const char* HostKindName(uint32_t kind) noexcept;

}  // namespace Vemi::Binding
