// Value-to-native rules for single values: lenient across kinds, strict about ranges
// and formats. Records and containers are in to_native_records.cpp.
#include <kav/binding/to_native.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <kav/binding/typed.h>
#include "conversion_messages.h"
#include "element_kinds.h"

namespace Vemi::Binding {
namespace {

// The range of an integer target.
struct IntegerTarget {
    const char* typeName;
    bool isSigned;
    int64_t min;   // signed targets only
    uint64_t max;  // for signed targets the positive maximum
};

template <class T>
constexpr IntegerTarget TargetOf(const char* typeName) noexcept {
    return {typeName, std::is_signed_v<T>, static_cast<int64_t>(std::numeric_limits<T>::min()),
            static_cast<uint64_t>(std::numeric_limits<T>::max())};
}

enum class TextNumber { Ok, Format, Range };

bool StartsWithMinus(const char* text) noexcept {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    return *text == '-';
}

// The whole text as a number in automatic base. Signed targets read into `bits` as
// an int64, unsigned ones as a uint64.
TextNumber ParseInteger(const char* text, const IntegerTarget& target, uint64_t& bits) noexcept {
    char* end = nullptr;
    errno = 0;
    if (target.isSigned) {
        const long long value = std::strtoll(text, &end, 0);
        if (*end != '\0') return TextNumber::Format;
        if (errno == ERANGE || value < target.min || value > static_cast<int64_t>(target.max)) return TextNumber::Range;
        bits = static_cast<uint64_t>(static_cast<int64_t>(value));
    } else {
        const unsigned long long value = std::strtoull(text, &end, 0);
        if (*end != '\0') return TextNumber::Format;
        // strtoull negates "-1" into the top of the range: any minus sign is out of range.
        if (errno == ERANGE || value > target.max || StartsWithMinus(text)) return TextNumber::Range;
        bits = value;
    }
    return TextNumber::Ok;
}

// The text step of the integer rule; answers the number as IntegerFrom does.
bool IntegerFromText(BindingResult& result, const char* text, std::string_view targetName,
                     const IntegerTarget& target, uint64_t& bits) {
    switch (ParseInteger(text, target, bits)) {
        case TextNumber::Ok:
            return true;
        case TextNumber::Format:
            Fail(result, kIncorrectFormat, text, targetName, target.typeName);
            return false;
        case TextNumber::Range:
            Fail(result, kOutOfRange, text, targetName, target.typeName);
            return false;
    }
    return false;
}

// Whether the target holds the number.
bool Holds(const IntegerTarget& target, int64_t v) noexcept {
    return target.isSigned ? v >= target.min && v <= static_cast<int64_t>(target.max)
                           : v >= 0 && static_cast<uint64_t>(v) <= target.max;
}
bool Holds(const IntegerTarget& target, uint64_t v) noexcept { return v <= target.max; }
bool Holds(const IntegerTarget& target, double v) noexcept {
    constexpr double kTwo63 = 9223372036854775808.0;
    constexpr double kTwo64 = 18446744073709551616.0;
    // The 64-bit maxima round up to 2^63 and 2^64 as doubles: those bounds are open.
    if (target.isSigned) {
        const bool belowMax =
            target.max == static_cast<uint64_t>(INT64_MAX) ? v < kTwo63 : v <= static_cast<double>(target.max);
        return v >= static_cast<double>(target.min) && belowMax;
    }
    const bool belowMax = target.max == UINT64_MAX ? v < kTwo64 : v <= static_cast<double>(target.max);
    return v >= 0.0 && belowMax;
}

// Two's complement bits of an accepted number.
uint64_t BitsOf(int64_t v) noexcept { return static_cast<uint64_t>(v); }
uint64_t BitsOf(uint64_t v) noexcept { return v; }
uint64_t BitsOf(double v) noexcept {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (v < 0.0) return static_cast<uint64_t>(static_cast<int64_t>(v));
    return v >= kTwo63 ? static_cast<uint64_t>(v - kTwo63) + (uint64_t{1} << 63) : static_cast<uint64_t>(v);
}

template <class Number>
bool Accept(BindingResult& result, Number v, std::string_view targetName, const IntegerTarget& target,
            uint64_t& bits) {
    if (!Holds(target, v)) {
        Fail(result, kOutOfRange, v, targetName, target.typeName);
        return false;
    }
    bits = BitsOf(v);
    return true;
}

// Answers the accepted number as 64 bits (two's complement for signed targets).
bool IntegerFrom(BindingResult& result, const BindingValue& input, std::string_view targetName,
                 const IntegerTarget& target, uint64_t& bits) {
    if (!result.Ok()) return false;
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return false;
        case ValueKind::Signed:
            return Accept(result, input.AsSigned(), targetName, target, bits);
        case ValueKind::Unsigned:
            return Accept(result, input.AsUnsigned(), targetName, target, bits);
        case ValueKind::Float:
            return Accept(result, input.AsFloat(), targetName, target, bits);
        case ValueKind::String:
            return IntegerFromText(result, input.AsString(), targetName, target, bits);
        case ValueKind::Enum:
            return Accept(result, int64_t{input.AsEnum().value}, targetName, target, bits);
        default:
            Fail(result, kInvalidType, targetName, target.typeName, KindName(input.Kind()));
            return false;
    }
}

template <class T>
void IntegerRule(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName,
                 const char* typeName) {
    static constexpr bool kSigned = std::is_signed_v<T>;
    uint64_t bits = 0;
    if (!IntegerFrom(result, input, targetName, TargetOf<T>(typeName), bits)) return;
    native = kSigned ? static_cast<T>(static_cast<int64_t>(bits)) : static_cast<T>(bits);
}

// An integer rounded to a real double first, then to T. Where the compiler keeps wider
// intermediates (the x87 unit of 32-bit x86) a plain cast would round only once.
template <class T, class Integer>
T ThroughDouble(Integer value) noexcept {
    volatile double wide = static_cast<double>(value);
    return static_cast<T>(wide);
}

template <class T>
void FloatingRule(BindingResult& result, T& native, const BindingValue& input, std::string_view targetName) {
    if (!result.Ok()) return;
    constexpr const char* typeName = std::is_same_v<T, float> ? "float" : "double";
    constexpr double kMax = std::numeric_limits<T>::max();
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return;
        // Integers go through double first: a float target then rounds twice, which
        // differs from a direct conversion above 2^53.
        case ValueKind::Signed:
            native = ThroughDouble<T>(input.AsSigned());
            return;
        case ValueKind::Enum:
            native = ThroughDouble<T>(input.AsEnum().value);
            return;
        case ValueKind::Unsigned:
            native = ThroughDouble<T>(input.AsUnsigned());
            return;
        case ValueKind::Float: {
            const double v = input.AsFloat();
            if (!(v >= -kMax && v <= kMax)) {
                Fail(result, kOutOfRange, v, targetName, typeName);
                return;
            }
            native = static_cast<T>(v);
            return;
        }
        case ValueKind::String: {
            const char* text = input.AsString();
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(text, &end);
            if (*end != '\0') {
                Fail(result, kIncorrectFormat, text, targetName, typeName);
                return;
            }
            if (errno == ERANGE || !(v >= -kMax && v <= kMax)) {
                Fail(result, kOutOfRange, text, targetName, typeName);
                return;
            }
            native = static_cast<T>(v);
            return;
        }
        default:
            Fail(result, kInvalidType, targetName, typeName, KindName(input.Kind()));
            return;
    }
}

// -1 for characters outside the base64 alphabet ('=' included).
constexpr int8_t Base64Digit(unsigned char c) noexcept {
    if (c >= 'A' && c <= 'Z') return static_cast<int8_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<int8_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<int8_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

[[nodiscard]] bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out) {
    for (char c : text) {
        if (c != '=' && Base64Digit(static_cast<unsigned char>(c)) < 0) return false;
    }
    const size_t pad = text.find('=');
    if (pad != std::string_view::npos) text = text.substr(0, pad);
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    size_t inGroup = 0;
    for (char c : text) {
        group = group << 6 | static_cast<uint32_t>(Base64Digit(static_cast<unsigned char>(c)));
        if (++inGroup == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            inGroup = 0;
        }
    }
    if (inGroup >= 2) {
        group <<= 6 * (4 - inGroup);
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (inGroup == 3) out.push_back(static_cast<uint8_t>(group >> 8));
    }
    return true;
}

}  // namespace

void ConvertBool(BindingResult& result, bool& native, const BindingValue& input, std::string_view targetName) {
    if (!result.Ok()) return;
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return;
        case ValueKind::Bool:
            native = input.AsBool();
            return;
        case ValueKind::String: {
            const std::string_view text = input.AsStringView();
            if (text == "1" || text == "true") native = true;
            else if (text == "0" || text == "false") native = false;
            else Fail(result, kBoolFormat, text, targetName);
            return;
        }
        default:
            Fail(result, kBoolInvalidType, targetName, KindName(input.Kind()));
            return;
    }
}

void ConvertIntegerText(BindingResult& result, int64_t& native, const char* text, std::string_view targetName,
                        const char* typeName) {
    uint64_t bits = 0;
    if (!result.Ok()) return;
    if (IntegerFromText(result, text != nullptr ? text : "", targetName, TargetOf<int64_t>(typeName), bits)) {
        native = static_cast<int64_t>(bits);
    }
}
void ConvertIntegerText(BindingResult& result, uint64_t& native, const char* text, std::string_view targetName,
                        const char* typeName) {
    uint64_t bits = 0;
    if (!result.Ok()) return;
    if (IntegerFromText(result, text != nullptr ? text : "", targetName, TargetOf<uint64_t>(typeName), bits)) {
        native = bits;
    }
}

void ConvertInteger(BindingResult& result, int8_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "int8");
}
void ConvertInteger(BindingResult& result, uint8_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "uint8");
}
void ConvertInteger(BindingResult& result, int16_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "int16");
}
void ConvertInteger(BindingResult& result, uint16_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "uint16");
}
void ConvertInteger(BindingResult& result, int32_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "int32");
}
void ConvertInteger(BindingResult& result, uint32_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "uint32");
}
void ConvertInteger(BindingResult& result, int64_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "int64");
}
void ConvertInteger(BindingResult& result, uint64_t& native, const BindingValue& input, std::string_view targetName) {
    IntegerRule(result, native, input, targetName, "uint64");
}

void ConvertFloating(BindingResult& result, float& native, const BindingValue& input, std::string_view targetName) {
    FloatingRule(result, native, input, targetName);
}
void ConvertFloating(BindingResult& result, double& native, const BindingValue& input, std::string_view targetName) {
    FloatingRule(result, native, input, targetName);
}

void ConvertString(BindingResult& result, std::string& native, const BindingValue& input,
                   std::string_view targetName, const TypeRegistry& registry) {
    if (!result.Ok()) return;
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return;
        case ValueKind::String:
            native.assign(input.AsStringView());
            return;
        case ValueKind::Enum: {
            const EnumValue e = input.AsEnum();
            const char* name = registry.EnumeratorName(e.typeId, e.value);
            if (name == nullptr) Fail(result, kNoEnumerator, e.value, targetName);
            else native.assign(name);
            return;
        }
        default:
            Fail(result, kNotString, targetName);
            return;
    }
}

void ConvertEnum(BindingResult& result, int32_t& value, const BindingValue& input, std::string_view targetName,
                 const TypeDescriptor* enumType) {
    if (!result.Ok()) return;
    if (enumType == nullptr) {
        Fail(result, kUnregisteredEnum, targetName);
        return;
    }
    auto accept = [&](int32_t candidate) {
        if (!enumType->HasEnumeratorValue(candidate)) return false;
        value = candidate;
        return true;
    };
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return;
        case ValueKind::Signed: {
            const int64_t v = input.AsSigned();
            if (!accept(static_cast<int32_t>(static_cast<uint32_t>(v)))) {
                Fail(result, kNotValidEnum, v, enumType->name, targetName);
            }
            return;
        }
        case ValueKind::Unsigned: {
            const uint64_t v = input.AsUnsigned();
            if (!accept(static_cast<int32_t>(static_cast<uint32_t>(v)))) {
                Fail(result, kNotValidEnum, v, enumType->name, targetName);
            }
            return;
        }
        case ValueKind::String: {
            const char* text = input.AsString();
            if (const EnumeratorDescriptor* e = enumType->FindEnumerator(input.AsStringView())) {
                value = e->value;
                return;
            }
            uint64_t bits = 0;
            const IntegerTarget whole{enumType->name.c_str(), true, INT64_MIN, static_cast<uint64_t>(INT64_MAX)};
            if (ParseInteger(text, whole, bits) == TextNumber::Ok && accept(static_cast<int32_t>(static_cast<uint32_t>(bits)))) {
                return;
            }
            Fail(result, kNotValidEnum, text, enumType->name, targetName);
            return;
        }
        case ValueKind::Enum: {
            const int32_t v = input.AsEnum().value;
            if (!accept(v)) Fail(result, kNotValidEnum, v, enumType->name, targetName);
            return;
        }
        default:
            Fail(result, kEnumInvalidType, targetName, KindName(input.Kind()));
            return;
    }
}

void ConvertEnum(BindingResult& result, void* native, const BindingValue& input, std::string_view targetName,
                 const TypeDescriptor* enumType) {
    if (!result.Ok()) return;
    if (enumType != nullptr && enumType->nativeSize != 1 && enumType->nativeSize != 2 && enumType->nativeSize != 4 &&
        enumType->nativeSize != 8) {
        Fail(result, kEnumSize, targetName, enumType->name, enumType->nativeSize);
        return;
    }
    int32_t value = 0;
    ConvertEnum(result, value, input, targetName, enumType);
    if (!result.Ok()) return;
    switch (enumType->nativeSize) {
        case 1: {
            const auto v = static_cast<int8_t>(value);
            std::memcpy(native, &v, sizeof v);
            break;
        }
        case 2: {
            const auto v = static_cast<int16_t>(value);
            std::memcpy(native, &v, sizeof v);
            break;
        }
        case 4:
            std::memcpy(native, &value, sizeof value);
            break;
        default: {
            const auto v = static_cast<int64_t>(value);
            std::memcpy(native, &v, sizeof v);
            break;
        }
    }
}

void ConvertBlob(BindingResult& result, std::vector<uint8_t>& native, const BindingValue& input,
                 std::string_view targetName) {
    if (!result.Ok()) return;
    native.clear();
    switch (input.Kind()) {
        case ValueKind::Empty:
            Fail(result, kRequired, targetName);
            return;
        case ValueKind::Blob: {
            const auto bytes = input.AsBlob();
            native.assign(bytes.begin(), bytes.end());
            return;
        }
        case ValueKind::String:
            if (!DecodeBase64(input.AsStringView(), native)) {
                native.clear();
                Fail(result, kBadBase64, targetName);
            }
            return;
        default:
            Fail(result, kNotBlob, targetName);
            return;
    }
}

void ConvertObject(BindingResult& result, BindingValue& native, const BindingValue& input) {
    if (!result.Ok()) return;
    native = input;
}


}  // namespace Vemi::Binding
