// MessagePack reader: one pass over the bytes with an explicit stack of frames.
#include <kav/formats/msgpack_reader.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include <kav/binding/limits.h>
#include <kav/logging/positional_format.h>

namespace Vemi::Formats {

using Binding::BindingResult;
using Binding::BindingValue;
using Binding::kMaxNestingDepth;

namespace {

// Multi-byte numbers are big-endian; they are loaded whole and byte-swapped.
static_assert(std::endian::native == std::endian::little);

enum class Class : uint8_t {
    PositiveFixint,
    NegativeFixint,
    FixMap,
    FixArray,
    FixStr,
    Nil,
    Invalid,  // 0xC1 and the ext formats
    False,
    True,
    Bin,
    Float32,
    Float64,
    Unsigned,
    Signed,
    Str,
    Array,
    Map,
};

struct Format {
    Class cls;
    uint8_t width;  // bytes of the length, count or number that follows the format byte
};

// Elements reserved at most for a collection whose announced count is more than the input has left.
constexpr uint64_t kReserveLimit = 1024;

constexpr std::array<Format, 256> kFormats = [] {
    std::array<Format, 256> t{};
    for (int b = 0x00; b <= 0x7F; ++b) t[b] = {Class::PositiveFixint, 0};
    for (int b = 0x80; b <= 0x8F; ++b) t[b] = {Class::FixMap, 0};
    for (int b = 0x90; b <= 0x9F; ++b) t[b] = {Class::FixArray, 0};
    for (int b = 0xA0; b <= 0xBF; ++b) t[b] = {Class::FixStr, 0};
    for (int b = 0xC0; b <= 0xDF; ++b) t[b] = {Class::Invalid, 0};
    for (int b = 0xE0; b <= 0xFF; ++b) t[b] = {Class::NegativeFixint, 0};
    t[0xC0] = {Class::Nil, 0};
    t[0xC2] = {Class::False, 0};
    t[0xC3] = {Class::True, 0};
    t[0xC4] = {Class::Bin, 1};
    t[0xC5] = {Class::Bin, 2};
    t[0xC6] = {Class::Bin, 4};
    t[0xCA] = {Class::Float32, 4};
    t[0xCB] = {Class::Float64, 8};
    t[0xCC] = {Class::Unsigned, 1};
    t[0xCD] = {Class::Unsigned, 2};
    t[0xCE] = {Class::Unsigned, 4};
    t[0xCF] = {Class::Unsigned, 8};
    t[0xD0] = {Class::Signed, 1};
    t[0xD1] = {Class::Signed, 2};
    t[0xD2] = {Class::Signed, 4};
    t[0xD3] = {Class::Signed, 8};
    t[0xD9] = {Class::Str, 1};
    t[0xDA] = {Class::Str, 2};
    t[0xDB] = {Class::Str, 4};
    t[0xDC] = {Class::Array, 2};
    t[0xDD] = {Class::Array, 4};
    t[0xDE] = {Class::Map, 2};
    t[0xDF] = {Class::Map, 4};
    return t;
}();

// An open container and its progress.
struct Frame {
    BindingValue* container;
    uint64_t count;  // items; a map counts names and values
    uint64_t index;  // next item
    const char* key;  // pending member name, inside the input
    uint32_t keyLength;
    bool map;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t length, BindingResult& result) noexcept
        : data_(data), length_(length), result_(result) {}

    void Run() {
        std::vector<Frame> frames;
        frames.reserve(16);
        bool rootRead = false;
        while (pos_ != length_) {
            // The value the next item fills: the root, the next element, or the member
            // of the pending name (after reading a name, which fills nothing).
            BindingValue* target;
            if (frames.empty()) {
                if (rootRead) break;
                rootRead = true;
                target = &result_.value;
            } else {
                Frame& top = frames.back();
                if (top.index == top.count) {
                    frames.pop_back();
                    continue;
                }
                if (!top.map) {
                    target = &top.container->Element(static_cast<size_t>(top.index++));
                } else if ((top.index++ & 1) == 0) {
                    if (!ReadKey(top)) return;
                    continue;
                } else {
                    target = &top.container->Member(std::string_view(top.key, top.keyLength));
                }
            }
            if (!ReadValue(*target, frames)) return;
        }
    }

    [[nodiscard]] size_t Position() const noexcept { return pos_; }

private:
    template <class... Args>
    void Fail(const char* format, const Args&... args) {
        result_.Fail(PositionalFormat(format, args...));
    }

    // One value into target; a container is opened and filled by the later rounds.
    // False (and failed) on bad or truncated input.
    bool ReadValue(BindingValue& target, std::vector<Frame>& frames) {
        const uint8_t byte = data_[pos_++];
        const Format format = kFormats[byte];
        uint64_t n = 0;
        switch (format.cls) {
            case Class::PositiveFixint:
                target.SetSigned(byte);
                return true;
            case Class::NegativeFixint:
                target.SetSigned(static_cast<int8_t>(byte));
                return true;
            case Class::Nil:
                return true;
            case Class::False:
            case Class::True:
                target.SetBool(format.cls == Class::True);
                return true;
            case Class::Float32:
                if (!ReadInteger(4, n)) return false;
                target.SetFloat(std::bit_cast<float>(static_cast<uint32_t>(n)));
                return true;
            case Class::Float64:
                if (!ReadInteger(8, n)) return false;
                target.SetFloat(std::bit_cast<double>(n));
                return true;
            case Class::Unsigned:
                if (!ReadInteger(format.width, n)) return false;
                target.SetUnsigned(n);
                return true;
            case Class::Signed:
                if (!ReadInteger(format.width, n)) return false;
                target.SetSigned(SignExtend(n, format.width));
                return true;
            case Class::FixStr:
            case Class::Str: {
                std::string_view text;
                if (!ReadString(byte, format, text)) return false;
                target.SetString(text);
                return true;
            }
            case Class::Bin:
                return ReadBlob(target, format.width);
            case Class::FixArray:
            case Class::Array:
            case Class::FixMap:
            case Class::Map:
                return OpenContainer(target, byte, format, frames);
            case Class::Invalid:
                break;
        }
        Fail("Invalid MessagePack data at position %1.", pos_);
        return false;
    }

    bool ReadBlob(BindingValue& target, uint8_t width) {
        uint64_t n = 0;
        if (!ReadInteger(width, n)) return false;
        if (n > length_ - pos_) {
            Fail("Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.", n, pos_);
            return false;
        }
        target.SetBlob(data_ + pos_, static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n);
        return true;
    }

    // Makes target the container whose format byte was just read and opens its frame.
    bool OpenContainer(BindingValue& target, uint8_t byte, Format format, std::vector<Frame>& frames) {
        if (frames.size() == kMaxNestingDepth) {
            Fail("Invalid MessagePack data at position %1. Nesting is deeper than %2 levels.", pos_, kMaxNestingDepth);
            return false;
        }
        const bool map = format.cls == Class::FixMap || format.cls == Class::Map;
        uint64_t n = 0;
        if (format.width == 0) n = byte & 0x0F;
        else if (!ReadInteger(format.width, n)) return false;
        // A container that is already there (a repeated member name) keeps its items.
        if (map) {
            target.MakeStructure();
        } else {
            target.MakeCollection();
            // Every element takes at least one byte, so all the collections of one input
            // together never need more elements than it has bytes: announced counts are
            // trusted only that far. A count the bytes left can't hold is a lie, and gets
            // no more than kReserveLimit (nested ones would otherwise each hold the input's
            // size in unused elements); a longer collection grows as its elements arrive.
            const uint64_t plausible = n <= length_ - pos_ ? n : std::min(n, kReserveLimit);
            const auto reserve = static_cast<size_t>(std::min(plausible, static_cast<uint64_t>(reserveBudget_)));
            reserveBudget_ -= reserve;
            target.Reserve(reserve);
        }
        frames.push_back({&target, map ? n * 2 : n, 0, nullptr, 0, map});
        return true;
    }

    static int64_t SignExtend(uint64_t n, uint8_t width) noexcept {
        switch (width) {
            case 1:
                return static_cast<int8_t>(n);
            case 2:
                return static_cast<int16_t>(n);
            case 4:
                return static_cast<int32_t>(n);
            default:
                return static_cast<int64_t>(n);
        }
    }

    // Big-endian unsigned integer of `width` bytes (1, 2, 4 or 8).
    bool ReadInteger(uint8_t width, uint64_t& out) {
        if (length_ - pos_ < width) {
            static constexpr const char* kTruncated[] = {
                "Invalid MessagePack data. 8-bit integer value at position %1 is truncated.",
                "Invalid MessagePack data. 16-bit integer value at position %1 is truncated.",
                "Invalid MessagePack data. 32-bit integer value at position %1 is truncated.",
                "Invalid MessagePack data. 64-bit integer value at position %1 is truncated."};
            Fail(kTruncated[std::bit_width(width) - 1u], pos_);
            return false;
        }
        const uint8_t* at = data_ + pos_;
        pos_ += width;
        switch (width) {
            case 1:
                out = *at;
                break;
            case 2: {
                uint16_t v;
                std::memcpy(&v, at, 2);
                out = __builtin_bswap16(v);
                break;
            }
            case 4: {
                uint32_t v;
                std::memcpy(&v, at, 4);
                out = __builtin_bswap32(v);
                break;
            }
            default: {
                uint64_t v;
                std::memcpy(&v, at, 8);
                out = __builtin_bswap64(v);
                break;
            }
        }
        return true;
    }

    // The text of a fixstr or str 8/16/32 whose format byte was just read.
    bool ReadString(uint8_t byte, Format format, std::string_view& text) {
        uint64_t size = byte & 0x1F;
        if (format.cls == Class::Str && !ReadInteger(format.width, size)) return false;
        if (size > length_ - pos_) {
            Fail("Invalid MessagePack data. String of size %1 at position %2 is truncated.", size, pos_);
            return false;
        }
        text = std::string_view(reinterpret_cast<const char*>(data_ + pos_), static_cast<size_t>(size));
        pos_ += static_cast<size_t>(size);
        return true;
    }

    // A member name: fixstr or str 8/16/32, kept as a view into the input.
    bool ReadKey(Frame& frame) {
        const uint8_t byte = data_[pos_++];
        const Format format = kFormats[byte];
        if (format.cls != Class::FixStr && format.cls != Class::Str) {
            Fail("Invalid MessagePack data at position %1. Map keys must be strings.", pos_);
            return false;
        }
        std::string_view key;
        if (!ReadString(byte, format, key)) return false;
        frame.key = key.data();
        frame.keyLength = static_cast<uint32_t>(key.size());
        return true;
    }

    const uint8_t* data_;
    size_t length_;
    size_t pos_ = 0;
    size_t reserveBudget_ = length_;
    BindingResult& result_;
};

}  // namespace

BindingResult DecodeMessagePack(const void* data, size_t length, size_t* consumed) {
    BindingResult result;
    if (data == nullptr) length = 0;
    Reader reader(static_cast<const uint8_t*>(data), length, result);
    reader.Run();
    if (consumed != nullptr) *consumed = reader.Position();
    return result;
}

bool LooksLikeMessagePack(const void* data, size_t length) noexcept {
    if (data == nullptr || length == 0) return false;
    const uint8_t first = *static_cast<const uint8_t*>(data);
    return (first >= 0x80 && first <= 0x9F) || (first >= 0xDC && first <= 0xDF);
}

}  // namespace Vemi::Formats
