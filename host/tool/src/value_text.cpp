#include <kav/host_tool/value_text.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace Vemi::HostTool {
namespace {

using Host::OwnedValue;

constexpr const char* kExpectedValue = "expected a value (empty, bool:, signed:, unsigned:, float:, string:, blob:, [ or {)";

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Fail(std::string message) {
        if (error_.empty()) {
            error_ = std::move(message);
            errorPos_ = pos_;
        }
        return false;
    }
    const std::string& Error() const { return error_; }
    size_t ErrorPos() const { return errorPos_; }

    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    }
    bool AtEnd() {
        SkipSpace();
        return pos_ >= text_.size();
    }
    bool Take(char c) {
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool TakeWord(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }
    // The run of characters that may form a number, a word or hex digits.
    std::string_view Token() {
        size_t start = pos_;
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            bool part = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
                        c == '-' || c == '.';
            if (!part) break;
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    bool Quoted(std::string& out);
    bool Value(OwnedValue& out, int depth);

private:
    bool Collection(OwnedValue& out, int depth);
    bool Structure(OwnedValue& out, int depth);
    bool Scalar(std::string_view kind, size_t start, OwnedValue& out);
    bool Hex4(uint32_t& code);
    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
    size_t errorPos_ = 0;
};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Reader::Hex4(uint32_t& code) {
    code = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = pos_ < text_.size() ? HexDigit(text_[pos_]) : -1;
        if (digit < 0) return Fail("expected four hex digits after \\u");
        code = code * 16 + static_cast<uint32_t>(digit);
        ++pos_;
    }
    return true;
}

bool Reader::Quoted(std::string& out) {
    SkipSpace();
    if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("expected a quoted text");
    ++pos_;
    out.clear();
    while (pos_ < text_.size()) {
        char c = text_[pos_++];
        if (c == '"') return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos_ >= text_.size()) break;
        char escape = text_[pos_++];
        switch (escape) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                uint32_t code = 0;
                if (!Hex4(code)) return false;
                // A surrogate pair spells one code point; a lone half is kept as is.
                if (code >= 0xD800 && code < 0xDC00 && TakeWord("\\u")) {
                    uint32_t low = 0;
                    if (!Hex4(low)) return false;
                    if (low >= 0xDC00 && low < 0xE000) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    } else {
                        AppendUtf8(out, code);
                        code = low;
                    }
                }
                AppendUtf8(out, code);
                break;
            }
            default:
                --pos_;
                return Fail(std::string("unknown escape \\") + escape);
        }
    }
    return Fail("unterminated quoted text");
}

bool Reader::Value(OwnedValue& out, int depth) {
    SkipSpace();
    if (depth >= Host::kMaxValueDepth) return Fail("value nested too deeply");
    if (pos_ >= text_.size()) return Fail(kExpectedValue);
    size_t start = pos_;
    if (Take('[')) return Collection(out, depth);
    if (Take('{')) return Structure(out, depth);
    std::string_view kind = Token();
    if (kind == "empty") {
        out = OwnedValue();
        return true;
    }
    if (pos_ >= text_.size() || text_[pos_] != ':') {
        pos_ = start;
        return Fail(kExpectedValue);
    }
    ++pos_;
    if (kind == "string") {
        std::string text;
        if (!Quoted(text)) return false;
        out = Host::StringValue(text);
        return true;
    }
    return Scalar(kind, start, out);
}

// After '[': items up to ']'.
bool Reader::Collection(OwnedValue& out, int depth) {
    std::vector<OwnedValue> items;
    if (!Take(']')) {
        do {
            OwnedValue item;
            if (!Value(item, depth + 1)) return false;
            items.push_back(std::move(item));
        } while (Take(','));
        if (!Take(']')) return Fail("expected ',' or ']'");
    }
    out = Host::CollectionValue(std::move(items));
    return true;
}

// After '{': "name": value members up to '}'.
bool Reader::Structure(OwnedValue& out, int depth) {
    std::vector<std::pair<std::string, OwnedValue>> members;
    if (!Take('}')) {
        do {
            std::string key;
            if (!Quoted(key)) return false;
            if (!Take(':')) return Fail("expected ':' after a member name");
            OwnedValue member;
            if (!Value(member, depth + 1)) return false;
            members.emplace_back(std::move(key), std::move(member));
        } while (Take(','));
        if (!Take('}')) return Fail("expected ',' or '}'");
    }
    out = Host::StructureValue(std::move(members));
    return true;
}

// After "kind:" for the kinds with a word after the colon; start is where kind began.
bool Reader::Scalar(std::string_view kind, size_t start, OwnedValue& out) {
    size_t valueStart = pos_;
    std::string word(Token());
    auto failValue = [&](const char* what) {
        pos_ = valueStart;
        return Fail(std::string("expected ") + what + " after '" + std::string(kind) + ":'");
    };
    if (kind == "bool") {
        if (word != "true" && word != "false") return failValue("true or false");
        out = Host::BoolValue(word == "true");
        return true;
    }
    if (kind == "signed" || kind == "unsigned" || kind == "float") {
        if (word.empty()) return failValue("a number");
        char* end = nullptr;
        errno = 0;
        if (kind == "signed") {
            long long number = std::strtoll(word.c_str(), &end, 10);
            if (*end != '\0' || errno != 0) return failValue("a signed 64-bit decimal number");
            out = Host::SignedValue(number);
        } else if (kind == "unsigned") {
            unsigned long long number = std::strtoull(word.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || word[0] == '-') return failValue("an unsigned 64-bit decimal number");
            out = Host::UnsignedValue(number);
        } else {
            double number = std::strtod(word.c_str(), &end);
            if (*end != '\0') return failValue("a floating-point number");
            out = Host::FloatValue(number);
        }
        return true;
    }
    if (kind == "blob") {
        if (word.size() % 2 != 0) return failValue("an even number of hex digits");
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < word.size(); i += 2) {
            int high = HexDigit(word[i]), low = HexDigit(word[i + 1]);
            if (high < 0 || low < 0) return failValue("hex digits");
            bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
        out = Host::BlobValue(bytes);
        return true;
    }
    pos_ = start;
    return Fail("unknown value kind '" + std::string(kind) + "'");
}

}  // namespace

ValueParse ParseValueText(std::string_view text) {
    ValueParse result;
    Reader reader(text);
    if (reader.Value(result.value, 0)) {
        if (reader.AtEnd()) {
            result.ok = true;
            return result;
        }
        reader.Fail("unexpected text after the value");
    }
    result.value = Host::OwnedValue();
    result.error = reader.Error();
    result.column = reader.ErrorPos() + 1;
    return result;
}

bool ParseQuotedText(std::string_view text, std::string& out, std::string& error, size_t& column) {
    Reader reader(text);
    if (reader.Quoted(out)) {
        if (reader.AtEnd()) return true;
        reader.Fail("unexpected text after the quoted text");
    }
    error = reader.Error();
    column = reader.ErrorPos() + 1;
    return false;
}

}  // namespace Vemi::HostTool

namespace Vemi::HostTool {
namespace {

bool IsIdentifier(std::string_view key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
    for (char c : key) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string MemberPath(const std::string& path, std::string_view key) {
    return IsIdentifier(key) ? path + '.' + std::string(key) : path + '[' + Host::QuoteText(key) + ']';
}

std::string_view KeyOf(const HostStructEntry& entry) {
    return entry.key != nullptr ? std::string_view(entry.key) : std::string_view();
}

bool Compare(const HostValue& expected, const HostValue& actual, const std::string& path, int depth,
             ValueDifference& difference) {
    auto differ = [&] {
        difference = {path, Host::CanonicalText(expected), Host::CanonicalText(actual)};
        return false;
    };
    if (depth >= Host::kMaxValueDepth) return Host::CanonicalText(expected) == Host::CanonicalText(actual) || differ();
    if (expected.kind == HOST_VALUE_COLLECTION && actual.kind == HOST_VALUE_COLLECTION) {
        // Copied first: the packed record's fields are not aligned for a reference.
        const uint32_t expectedCount = expected.u.collection.count, actualCount = actual.u.collection.count;
        uint32_t count = std::max(expectedCount, actualCount);
        for (uint32_t i = 0; i < count; ++i) {
            std::string at = path + '[' + std::to_string(i) + ']';
            if (i >= actual.u.collection.count) {
                difference = {at, Host::CanonicalText(expected.u.collection.items[i]), "no item"};
                return false;
            }
            if (i >= expected.u.collection.count) {
                difference = {at, "no item", Host::CanonicalText(actual.u.collection.items[i])};
                return false;
            }
            if (!Compare(expected.u.collection.items[i], actual.u.collection.items[i], at, depth + 1, difference)) return false;
        }
        return true;
    }
    if (expected.kind == HOST_VALUE_STRUCTURE && actual.kind == HOST_VALUE_STRUCTURE) {
        std::vector<bool> used(actual.u.structure.count, false);
        for (uint32_t i = 0; i < expected.u.structure.count; ++i) {
            const HostStructEntry& member = expected.u.structure.entries[i];
            std::string at = MemberPath(path, KeyOf(member));
            uint32_t match = actual.u.structure.count;
            for (uint32_t j = 0; j < actual.u.structure.count && match == actual.u.structure.count; ++j) {
                if (!used[j] && KeyOf(actual.u.structure.entries[j]) == KeyOf(member)) match = j;
            }
            if (match == actual.u.structure.count) {
                difference = {at, Host::CanonicalText(member.value), "no member"};
                return false;
            }
            used[match] = true;
            if (!Compare(member.value, actual.u.structure.entries[match].value, at, depth + 1, difference)) return false;
        }
        for (uint32_t j = 0; j < actual.u.structure.count; ++j) {
            if (used[j]) continue;
            const HostStructEntry& extra = actual.u.structure.entries[j];
            difference = {MemberPath(path, KeyOf(extra)), "no member", Host::CanonicalText(extra.value)};
            return false;
        }
        return true;
    }
    return Host::CanonicalText(expected) == Host::CanonicalText(actual) || differ();
}

}  // namespace

std::optional<ValueDifference> FirstDifference(const HostValue& expected, const HostValue& actual) {
    ValueDifference difference;
    if (Compare(expected, actual, "$", 0, difference)) return std::nullopt;
    return difference;
}

}  // namespace Vemi::HostTool
