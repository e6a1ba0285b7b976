#include <kav/host_tool/value_text.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

namespace Vemi::HostTool {
namespace {

using Host::OwnedValue;

constexpr const char* kExpectedValue = "expected a value (empty, bool:, signed:, unsigned:, float:, string:, blob:, [ or {)";
constexpr const char* kExpectedJsonValue = "expected a value (JSON, or empty, bool:, signed:, unsigned:, float:, string:, blob:)";

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
    bool Value(OwnedValue& out, ValueMarks& marks, int depth);
    bool Typed() const { return typed_; }

private:
    bool Collection(OwnedValue& out, ValueMarks& marks, int depth);
    bool Structure(OwnedValue& out, ValueMarks& marks, int depth);
    bool Scalar(std::string_view kind, size_t start, OwnedValue& out);
    bool JsonNumber(std::string_view token, size_t start, OwnedValue& out);
    bool Hex4(uint32_t& code);
    std::string_view text_;
    size_t pos_ = 0;
    bool typed_ = false;
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

bool Reader::Value(OwnedValue& out, ValueMarks& marks, int depth) {
    SkipSpace();
    if (depth >= Host::kMaxValueDepth) return Fail("value nested too deeply");
    if (pos_ >= text_.size()) return Fail(kExpectedValue);
    size_t start = pos_;
    if (Take('[')) return Collection(out, marks, depth);
    if (Take('{')) return Structure(out, marks, depth);
    if (text_[pos_] == '"') {
        std::string text;
        if (!Quoted(text)) return false;
        out = Host::StringValue(text);
        return true;
    }
    std::string_view kind = Token();
    bool colon = pos_ < text_.size() && text_[pos_] == ':';
    if (kind == "empty" || (!colon && kind == "null")) {
        typed_ |= kind == "empty";
        out = OwnedValue();
        return true;
    }
    if (!colon && (kind == "true" || kind == "false")) {
        out = Host::BoolValue(kind == "true");
        return true;
    }
    if (!colon && !kind.empty() && (kind[0] == '-' || (kind[0] >= '0' && kind[0] <= '9'))) {
        marks.anyNumber = true;
        return JsonNumber(kind, start, out);
    }
    if (!colon) {
        pos_ = start;
        return Fail(kind.empty() ? kExpectedValue : kExpectedJsonValue);
    }
    typed_ = true;
    ++pos_;
    if (kind == "string") {
        std::string text;
        if (!Quoted(text)) return false;
        out = Host::StringValue(text);
        return true;
    }
    return Scalar(kind, start, out);
}

// A number in JSON's form, with the kind the plugin's JSON reader gives it.
bool Reader::JsonNumber(std::string_view token, size_t start, OwnedValue& out) {
    std::string word(token);
    auto fail = [&] {
        pos_ = start;
        return Fail("expected a JSON number, got '" + word + "'");
    };
    // JSON's grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    size_t i = word[0] == '-' ? 1 : 0;
    auto digits = [&] {
        size_t from = i;
        while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
        return i - from;
    };
    size_t whole = digits();
    if (whole == 0 || (whole > 1 && word[word[0] == '-' ? 1 : 0] == '0')) return fail();
    bool integer = true;
    if (i < word.size() && word[i] == '.') {
        ++i;
        integer = false;
        if (digits() == 0) return fail();
    }
    if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
        ++i;
        integer = false;
        if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
        if (digits() == 0) return fail();
    }
    if (i != word.size()) return fail();
    errno = 0;
    if (integer && word[0] == '-') {
        long long number = std::strtoll(word.c_str(), nullptr, 10);
        if (errno == 0) {
            out = Host::SignedValue(number);
            return true;
        }
    } else if (integer) {
        unsigned long long number = std::strtoull(word.c_str(), nullptr, 10);
        if (errno == 0) {
            out = Host::UnsignedValue(number);
            return true;
        }
    }
    errno = 0;
    double number = std::strtod(word.c_str(), nullptr);
    if (errno == ERANGE && (number == HUGE_VAL || number == -HUGE_VAL)) {
        pos_ = start;
        return Fail("number too big for a double: '" + word + "'");
    }
    out = Host::FloatValue(number);
    return true;
}

// After '[': items up to ']'.
bool Reader::Collection(OwnedValue& out, ValueMarks& marks, int depth) {
    std::vector<OwnedValue> items;
    if (!Take(']')) {
        do {
            OwnedValue item;
            marks.children.emplace_back();
            if (!Value(item, marks.children.back(), depth + 1)) return false;
            items.push_back(std::move(item));
        } while (Take(','));
        if (!Take(']')) return Fail("expected ',' or ']'");
    }
    out = Host::CollectionValue(std::move(items));
    return true;
}

// After '{': "name": value members up to '}'.
bool Reader::Structure(OwnedValue& out, ValueMarks& marks, int depth) {
    std::vector<std::pair<std::string, OwnedValue>> members;
    if (!Take('}')) {
        do {
            std::string key;
            if (!Quoted(key)) return false;
            if (!Take(':')) return Fail("expected ':' after a member name");
            OwnedValue member;
            marks.children.emplace_back();
            if (!Value(member, marks.children.back(), depth + 1)) return false;
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
    if (reader.Value(result.value, result.marks, 0)) {
        if (reader.AtEnd()) {
            result.ok = true;
            result.typed = reader.Typed();
            return result;
        }
        reader.Fail("unexpected text after the value");
    }
    result.value = Host::OwnedValue();
    result.marks = {};
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

bool IsNumber(const HostValue& v) {
    return v.kind == HOST_VALUE_SIGNED || v.kind == HOST_VALUE_UNSIGNED || v.kind == HOST_VALUE_FLOAT;
}

// A double and an integer are the same number only when the double is that integer.
bool SameAsInteger(double f, const HostValue& integer) {
    if (!std::isfinite(f) || f != std::trunc(f)) return false;
    if (integer.kind == HOST_VALUE_SIGNED) {
        return f >= -9223372036854775808.0 && f < 9223372036854775808.0 && static_cast<int64_t>(f) == integer.u.i64;
    }
    return f >= 0 && f < 18446744073709551616.0 && static_cast<uint64_t>(f) == integer.u.u64;
}

// Numbers of any kinds with the same value.
bool SameNumber(const HostValue& a, const HostValue& b) {
    if (!IsNumber(a) || !IsNumber(b)) return false;
    if (a.kind == HOST_VALUE_FLOAT && b.kind == HOST_VALUE_FLOAT) return a.u.f64 == b.u.f64;
    if (a.kind == HOST_VALUE_FLOAT) return SameAsInteger(a.u.f64, b);
    if (b.kind == HOST_VALUE_FLOAT) return SameAsInteger(b.u.f64, a);
    if (a.kind == b.kind) return a.u.u64 == b.u.u64;
    const HostValue& s = a.kind == HOST_VALUE_SIGNED ? a : b;
    const HostValue& u = a.kind == HOST_VALUE_SIGNED ? b : a;
    return s.u.i64 >= 0 && static_cast<uint64_t>(s.u.i64) == u.u.u64;
}

const ValueMarks* Child(const ValueMarks* marks, uint32_t i) {
    return marks != nullptr && i < marks->children.size() ? &marks->children[i] : nullptr;
}

bool Compare(const HostValue& expected, const HostValue& actual, const std::string& path, int depth,
             ValueDifference& difference, const ValueMarks* marks, const MatchRules& rules) {
    auto shown = [&](const HostValue& value) { return ValueText(value, !rules.plain); };
    auto differ = [&] {
        difference = {path, shown(expected), Host::CanonicalText(actual)};
        return false;
    };
    bool subset = rules.subset;
    if (depth >= Host::kMaxValueDepth) return Host::CanonicalText(expected) == Host::CanonicalText(actual) || differ();
    if (marks != nullptr && marks->anyNumber) return SameNumber(expected, actual) || differ();
    if (expected.kind == HOST_VALUE_COLLECTION && actual.kind == HOST_VALUE_COLLECTION) {
        // Copied first: the packed record's fields are not aligned for a reference.
        const uint32_t expectedCount = expected.u.collection.count, actualCount = actual.u.collection.count;
        uint32_t count = std::max(expectedCount, actualCount);
        for (uint32_t i = 0; i < count; ++i) {
            std::string at = path + '[' + std::to_string(i) + ']';
            if (i >= actual.u.collection.count) {
                difference = {at, shown(expected.u.collection.items[i]), "no item"};
                return false;
            }
            if (i >= expected.u.collection.count) {
                difference = {at, "no item", Host::CanonicalText(actual.u.collection.items[i])};
                return false;
            }
            if (!Compare(expected.u.collection.items[i], actual.u.collection.items[i], at, depth + 1, difference,
                         Child(marks, i), rules)) {
                return false;
            }
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
                difference = {at, shown(member.value), "no member"};
                return false;
            }
            used[match] = true;
            if (!Compare(member.value, actual.u.structure.entries[match].value, at, depth + 1, difference,
                         Child(marks, i), rules)) {
                return false;
            }
        }
        for (uint32_t j = 0; j < actual.u.structure.count && !subset; ++j) {
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

std::optional<ValueDifference> FirstDifference(const HostValue& expected, const HostValue& actual,
                                               const MatchRules& rules) {
    ValueDifference difference;
    if (Compare(expected, actual, "$", 0, difference, rules.marks, rules)) return std::nullopt;
    return difference;
}

namespace {

void AppendJsonText(std::string& out, const HostValue& value, int depth) {
    if (depth >= Host::kMaxValueDepth) {
        out += Host::CanonicalText(value);
        return;
    }
    switch (value.kind) {
        case HOST_VALUE_NONE: out += "null"; return;
        case HOST_VALUE_BOOL: out += value.u.boolean != 0 ? "true" : "false"; return;
        case HOST_VALUE_SIGNED: out += std::to_string(value.u.i64); return;
        case HOST_VALUE_UNSIGNED: out += std::to_string(value.u.u64); return;
        case HOST_VALUE_FLOAT: {
            if (!std::isfinite(value.u.f64)) break;
            char buffer[40];
            std::snprintf(buffer, sizeof buffer, "%.17g", value.u.f64);
            out += buffer;
            return;
        }
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED: out += Host::QuoteText(Host::StringOf(value)); return;
        case HOST_VALUE_COLLECTION: {
            out += '[';
            for (uint32_t i = 0; i < value.u.collection.count; ++i) {
                if (i != 0) out += ", ";
                AppendJsonText(out, value.u.collection.items[i], depth + 1);
            }
            out += ']';
            return;
        }
        case HOST_VALUE_STRUCTURE: {
            out += '{';
            for (uint32_t i = 0; i < value.u.structure.count; ++i) {
                if (i != 0) out += ", ";
                out += Host::QuoteText(KeyOf(value.u.structure.entries[i])) + ": ";
                AppendJsonText(out, value.u.structure.entries[i].value, depth + 1);
            }
            out += '}';
            return;
        }
        default: break;
    }
    out += Host::CanonicalText(value);
}

}  // namespace

namespace {

Host::OwnedValue ProjectAt(const HostValue& expected, const HostValue& actual, int depth) {
    if (depth >= Host::kMaxValueDepth) return Host::OwnedValue::Copy(actual);
    if (expected.kind == HOST_VALUE_STRUCTURE && actual.kind == HOST_VALUE_STRUCTURE) {
        std::vector<std::pair<std::string, Host::OwnedValue>> members;
        std::vector<bool> used(actual.u.structure.count, false);
        for (uint32_t i = 0; i < expected.u.structure.count; ++i) {
            const HostStructEntry& member = expected.u.structure.entries[i];
            for (uint32_t j = 0; j < actual.u.structure.count; ++j) {
                if (used[j] || KeyOf(actual.u.structure.entries[j]) != KeyOf(member)) continue;
                used[j] = true;
                members.emplace_back(std::string(KeyOf(member)),
                                     ProjectAt(member.value, actual.u.structure.entries[j].value, depth + 1));
                break;
            }
        }
        return Host::StructureValue(std::move(members));
    }
    if (expected.kind == HOST_VALUE_COLLECTION && actual.kind == HOST_VALUE_COLLECTION) {
        std::vector<Host::OwnedValue> items;
        for (uint32_t i = 0; i < actual.u.collection.count; ++i) {
            const HostValue& item = actual.u.collection.items[i];
            items.push_back(i < expected.u.collection.count ? ProjectAt(expected.u.collection.items[i], item, depth + 1)
                                                            : Host::OwnedValue::Copy(item));
        }
        return Host::CollectionValue(std::move(items));
    }
    return Host::OwnedValue::Copy(actual);
}

}  // namespace

Host::OwnedValue Project(const HostValue& expected, const HostValue& actual) { return ProjectAt(expected, actual, 0); }

std::string ValueText(const HostValue& value, bool typed) {
    if (typed) return Host::CanonicalText(value);
    std::string out;
    AppendJsonText(out, value, 0);
    return out;
}

}  // namespace Vemi::HostTool
