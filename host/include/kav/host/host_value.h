// HostValue helpers for the replacement host: deep copies, release, builders, lookup and
// the canonical typed text used to print and compare payloads.
#pragma once

#include <kav/host_abi.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Vemi::Host {

// Values nested deeper than this are cut: a copy stops there (kind 0) and the canonical
// text shows "...". Keeps a cyclic or absurd value from a plugin off the stack's end.
inline constexpr int kMaxValueDepth = 256;

// Frees what an owning kind holds (strings 6, blobs 8, collections 9, structures 10 and
// owned keys, recursively, with free()) and leaves kind 0 with a zero payload.
void ReleaseHostValue(HostValue& value) noexcept;

// A deep copy that owns everything it points to: strings become kind 6, blobs kind 8, every
// key is owned. Never reads past a string's length; a null pointer reads as empty. Answers
// kind 0 where memory runs out. Unknown kinds are copied as their raw bytes.
[[nodiscard]] HostValue CopyHostValue(const HostValue& value) noexcept;

// The canonical typed text:
//   empty | bool:true | signed:-5 | unsigned:5 | float:<%.17g> | string:"<json escaped>"
//   | blob:<lowercase hex> | [a, b] | {"key": value, ...} in entry order | unknown:<kind>
// Strings escape \" \\ \n \r \t \b \f, other bytes below 0x20 as \u00xx; other bytes as is.
[[nodiscard]] std::string CanonicalText(const HostValue& value);

// A text as a quoted JSON string literal, escaped as in CanonicalText.
[[nodiscard]] std::string QuoteText(std::string_view text);

// The text of a string value (kinds 5 and 6), else empty.
[[nodiscard]] std::string_view StringOf(const HostValue& value) noexcept;

// The member named key of a structure value, or null.
[[nodiscard]] const HostValue* FindMember(const HostValue& value, std::string_view key) noexcept;

// A HostValue that owns what it holds: copying copies deeply, destruction releases.
class OwnedValue {
public:
    OwnedValue() noexcept : value_{} {}
    // Takes ownership of value (which must own its contents or hold none).
    static OwnedValue Adopt(const HostValue& value) noexcept;
    // A deep copy of value, independent of where it came from.
    static OwnedValue Copy(const HostValue& value) noexcept;

    OwnedValue(const OwnedValue& other) noexcept : value_(CopyHostValue(other.value_)) {}
    OwnedValue(OwnedValue&& other) noexcept : value_(other.value_) { other.value_ = HostValue{}; }
    OwnedValue& operator=(const OwnedValue& other) noexcept;
    OwnedValue& operator=(OwnedValue&& other) noexcept;
    ~OwnedValue() { ReleaseHostValue(value_); }

    [[nodiscard]] const HostValue& get() const noexcept { return value_; }
    [[nodiscard]] uint32_t kind() const noexcept { return value_.kind; }
    [[nodiscard]] std::string Canonical() const { return CanonicalText(value_); }
    // Gives up ownership: the caller frees the answer.
    [[nodiscard]] HostValue Release() noexcept;

private:
    HostValue value_;
};

// Builders; each answers an owning value (kind 0 where memory runs out).
[[nodiscard]] OwnedValue BoolValue(bool value) noexcept;
[[nodiscard]] OwnedValue SignedValue(int64_t value) noexcept;
[[nodiscard]] OwnedValue UnsignedValue(uint64_t value) noexcept;
[[nodiscard]] OwnedValue FloatValue(double value) noexcept;
[[nodiscard]] OwnedValue StringValue(std::string_view text) noexcept;
[[nodiscard]] OwnedValue BlobValue(std::span<const uint8_t> bytes) noexcept;
[[nodiscard]] OwnedValue CollectionValue(std::vector<OwnedValue> items) noexcept;
// Members in the given order; keys are owned copies.
[[nodiscard]] OwnedValue StructureValue(std::vector<std::pair<std::string, OwnedValue>> members) noexcept;

}  // namespace Vemi::Host
