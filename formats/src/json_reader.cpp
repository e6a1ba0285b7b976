// JSON reader: RapidJSON's SAX reader in its default mode, with a handler that
// writes every event straight into the BindingValue being built.
#include <kav/formats/json_reader.h>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstdio>
#include <string>
#include <vector>

#include <kav/binding/limits.h>

namespace Vemi::Formats {

using Binding::BindingResult;
using Binding::BindingValue;
using Binding::kMaxNestingDepth;
using Binding::ValueKind;

namespace {

class Builder {
public:
    explicit Builder(BindingValue& root) : target_(&root) { open_.reserve(16); }

    bool Null() {
        Next();
        return true;
    }
    bool Bool(bool b) {
        Next().SetBool(b);
        return true;
    }
    bool Int(int i) {
        Next().SetSigned(int64_t{i});
        return true;
    }
    bool Uint(unsigned u) {
        Next().SetUnsigned(uint64_t{u});
        return true;
    }
    bool Int64(int64_t i) {
        Next().SetSigned(i);
        return true;
    }
    bool Uint64(uint64_t u) {
        Next().SetUnsigned(u);
        return true;
    }
    bool Double(double d) {
        Next().SetFloat(d);
        return true;
    }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // not enabled
    bool String(const char* text, rapidjson::SizeType length, bool) {
        Next().SetString(std::string_view(text, length));
        return true;
    }
    // Refusing here stops RapidJSON's recursion before its stack grows any deeper.
    bool StartObject() {
        if (open_.size() >= kMaxNestingDepth) return TooDeep();
        BindingValue& v = Next();
        v.MakeStructure();
        open_.push_back(&v);
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        target_ = &open_.back()->Member(std::string_view(text, length));
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        open_.pop_back();
        return true;
    }
    bool StartArray() {
        if (open_.size() >= kMaxNestingDepth) return TooDeep();
        BindingValue& v = Next();
        v.MakeCollection();
        open_.push_back(&v);
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        open_.pop_back();
        return true;
    }

    [[nodiscard]] bool TooDeepSeen() const noexcept { return tooDeep_; }

private:
    // The value the next event fills: a new element inside a collection, else the
    // member chosen by the last key (or the root).
    BindingValue& Next() {
        if (!open_.empty() && open_.back()->Kind() == ValueKind::Collection) return open_.back()->Append();
        return *target_;
    }
    bool TooDeep() {
        tooDeep_ = true;
        return false;
    }

    BindingValue* target_;
    std::vector<BindingValue*> open_;
    bool tooDeep_ = false;
};

template <class Stream>
BindingResult Decode(Stream& stream, const char* begin) {
    BindingResult result;
    Builder builder(result.value);
    rapidjson::Reader reader;
    const rapidjson::ParseResult parsed = reader.Parse(stream, builder);
    // Nothing but whitespace is an empty value, not an error.
    if (!parsed.IsError() || parsed.Code() == rapidjson::kParseErrorDocumentEmpty) return result;
    rapidjson::ParseErrorCode code = parsed.Code();
    size_t offset = parsed.Offset();
    const char* text = rapidjson::GetParseError_En(code);
    if (code == rapidjson::kParseErrorTermination && builder.TooDeepSeen()) {
        static const std::string kTooDeep =
            "Nesting is deeper than " + std::to_string(kMaxNestingDepth) + " levels.";
        text = kTooDeep.c_str();
        offset -= 1;  // the bracket that opened one level too many
    } else if (code == rapidjson::kParseErrorStringEscapeInvalid &&
               static_cast<unsigned char>(begin[offset]) < 0x20) {
        // A raw control character in a string is an encoding fault, not a bad escape.
        text = rapidjson::GetParseError_En(rapidjson::kParseErrorStringInvalidEncoding);
    }
    char message[256];
    std::snprintf(message, sizeof message, "Error: %s at offset %u.", text, static_cast<unsigned>(offset));
    result.Fail(message);
    return result;
}

}  // namespace

BindingResult DecodeJson(const char* text) {
    if (text == nullptr) return {};
    rapidjson::StringStream stream(text);
    return Decode(stream, text);
}

BindingResult DecodeJson(const char* data, size_t length) {
    if (data == nullptr || length == 0) return {};
    // Answers NUL at the end, so the reader stops there as at an embedded NUL.
    rapidjson::MemoryStream stream(data, length);
    return Decode(stream, data);
}

}  // namespace Vemi::Formats
