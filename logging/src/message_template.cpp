#include <kav/logging/diagnostics.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "format_directive.h"
#include <kav/logging/log.h>
#include <kav/logging/logger.h>
#include <kav/logging/positional_format.h>

namespace Vemi {

// ---------------------------------------------------------------------------
// Template arguments.

FieldValue FieldValue::Bool(bool value) {
    FieldValue v;
    v.kind = FieldKind::Bool;
    v.boolValue = value;
    return v;
}

FieldValue FieldValue::Signed(int64_t value) {
    FieldValue v;
    v.kind = FieldKind::Signed;
    v.signedValue = value;
    return v;
}

FieldValue FieldValue::Unsigned(uint64_t value) {
    FieldValue v;
    v.kind = FieldKind::Unsigned;
    v.unsignedValue = value;
    return v;
}

FieldValue FieldValue::Double(double value) {
    FieldValue v;
    v.kind = FieldKind::Double;
    v.doubleValue = value;
    return v;
}

FieldValue FieldValue::Text(std::string_view value) {
    FieldValue v;
    v.kind = FieldKind::Text;
    v.text.assign(value);
    return v;
}

bool FieldValue::IsEmpty() const noexcept {
    switch (kind) {
        case FieldKind::Bool: return !boolValue;
        case FieldKind::Signed: return signedValue == 0;
        case FieldKind::Unsigned: return unsignedValue == 0;
        case FieldKind::Double: return doubleValue == 0.0;
        case FieldKind::Text: return text.empty();
        default: return true;
    }
}

// ---------------------------------------------------------------------------
// Templates.

namespace {

struct Placeholder {
    std::string name;
    std::string alternative;
    std::string format;
    bool typedName = false;
    bool fieldOnly = false;
    bool hasAlternative = false;
    bool hasFormat = false;
    bool directive = false;
    size_t stars[2] = {};  // a directive's "*" arguments, in order
    size_t starCount = 0;
};

const char* KindSuffix(FieldKind kind) noexcept {
    switch (kind) {
        case FieldKind::Bool: return "_bool";
        case FieldKind::Signed:
        case FieldKind::Unsigned: return "_int";
        case FieldKind::Double: return "_float";
        case FieldKind::Text: return "_str";
        default: return "";
    }
}

// The conversion PositionalFormat picks for the argument's natural form.
char NaturalConversion(FieldKind kind) noexcept {
    switch (kind) {
        case FieldKind::Signed: return 'd';
        case FieldKind::Unsigned: return 'u';
        case FieldKind::Double: return 'g';
        default: return 's';
    }
}

bool HasTypeSuffix(const std::string& name) {
    static constexpr std::string_view kSuffixes[] = {"_bool", "_int", "_long", "_float", "_str", "_time", "_ip"};
    size_t underscore = name.rfind('_');
    if (underscore == std::string::npos) return false;
    std::string_view suffix = std::string_view(name).substr(underscore);
    for (std::string_view known : kSuffixes) {
        if (suffix == known) return true;
    }
    return false;
}

bool IsBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Builds the produced format. "%N" (the natural form) stays open to what follows:
// a digit or "$" written right after it would become part of it, so such a text
// first closes it with "$" and the argument's natural conversion, which prints the same.
class FormatWriter {
public:
    explicit FormatWriter(std::string& out) : out_(out) {}

    void Append(std::string_view text) {
        if (openEnd_ == out_.size() && !text.empty() && ((text[0] >= '0' && text[0] <= '9') || text[0] == '$')) {
            out_ += '$';
            out_ += openConversion_;
        }
        out_ += text;
    }
    void Append(char c) { Append(std::string_view(&c, 1)); }

    void Natural(size_t position, char conversion) {
        Append('%');
        out_ += std::to_string(position);
        openEnd_ = out_.size();
        openConversion_ = conversion;
    }

    // "%N$" and a directive text as it stands: one without a conversion is printed
    // the way PositionalFormat prints such a directive.
    void Directive(size_t position, const std::string& spec, char conversion) {
        if (spec.empty()) return Natural(position, conversion);
        Append('%');
        out_ += std::to_string(position);
        out_ += '$';
        out_ += spec;
    }

    // Blanks only: the natural form before them, if any, is open again afterwards.
    void TrimTrailingBlanks() {
        while (!out_.empty() && IsBlank(out_.back())) out_.pop_back();
    }

private:
    std::string& out_;
    size_t openEnd_ = std::string::npos;  // the end of the last natural form written
    char openConversion_ = 's';
};

void Process(Placeholder& placeholder, size_t position, const FieldValue* arguments, size_t count,
             FormatWriter& format, TemplateFields& fields) {
    if (position == 0 || position > count) return;
    const FieldValue& argument = arguments[position - 1];
    if (placeholder.typedName && !HasTypeSuffix(placeholder.name)) placeholder.name += KindSuffix(argument.kind);
    if (placeholder.hasAlternative && argument.IsEmpty()) {
        format.Append(placeholder.alternative);
        return;
    }
    if (!placeholder.name.empty()) fields.insert_or_assign(placeholder.name, argument);
    if (placeholder.fieldOnly) {
        format.TrimTrailingBlanks();
        return;
    }
    const char conversion = NaturalConversion(argument.kind);
    if (placeholder.directive) {
        // The directive keeps its argument, and each "*" its own, through explicit positions.
        std::string spec;
        size_t star = 0;
        for (size_t i = 1; i < placeholder.format.size(); ++i) {
            spec += placeholder.format[i];
            if (placeholder.format[i] == '*' && star < placeholder.starCount) {
                spec += std::to_string(placeholder.stars[star++]);
                spec += '$';
            }
        }
        format.Directive(position, spec, conversion);
    } else if (placeholder.hasFormat) {
        format.Directive(position, placeholder.format, conversion);
    } else {
        format.Natural(position, conversion);
    }
}

}  // namespace

void ExpandTemplate(const char* templateText, const FieldValue* arguments, size_t count, std::string& format,
                    TemplateFields& fields) {
    format.clear();
    fields.clear();
    if (templateText == nullptr) return;
    if (arguments == nullptr) count = 0;
    FormatWriter out(format);
    size_t current = 1;
    const char* p = templateText;
    while (*p != '\0') {
        char c = *p;
        if (c == '{' && p[1] == '{') {
            out.Append('{');
            p += 2;
        } else if (c == '}') {
            out.Append('}');
            p += p[1] == '}' ? 2 : 1;
        } else if (c == '%' && p[1] == '%') {
            out.Append("%%");
            p += 2;
        } else if (c == '%') {
            PositionalFormatDetail::Directive directive;
            size_t next = current;
            if (!PositionalFormatDetail::ParseDirective(p, count, next, directive)) return;
            Placeholder placeholder;
            placeholder.directive = true;
            placeholder.format.assign(directive.text, directive.length);
            placeholder.starCount = directive.starCount;
            std::copy(directive.stars, directive.stars + directive.starCount, placeholder.stars);
            Process(placeholder, directive.position, arguments, count, out, fields);
            current = directive.position + 1;
        } else if (c == '{') {
            ++p;
            Placeholder placeholder;
            if (*p == '#') {
                placeholder.typedName = true;
                ++p;
            }
            bool closed = false;
            while (*p != '\0' && !closed) {
                char k = *p++;
                switch (k) {
                    case '}': closed = true; continue;
                    case '!': placeholder.fieldOnly = true; continue;
                    case '?': placeholder.hasAlternative = true; continue;
                    case ':': placeholder.hasFormat = true; continue;
                    case '{': continue;
                    case '\\':
                        if (*p == '\0') continue;
                        k = *p++;
                        break;
                    default: break;
                }
                if (placeholder.hasFormat) {
                    placeholder.format += k;
                } else if (placeholder.hasAlternative) {
                    placeholder.alternative += k;
                } else {
                    placeholder.name += k;
                }
            }
            // A template that ends inside a placeholder drops it.
            if (!closed) return;
            Process(placeholder, current, arguments, count, out, fields);
            ++current;
        } else {
            out.Append(c);
            ++p;
        }
    }
}

std::string FormatTemplateMessage(const char* format, const FieldValue* arguments, size_t count) {
    using PositionalFormatDetail::Argument;
    using PositionalFormatDetail::ArgumentKind;
    if (arguments == nullptr) count = 0;
    std::vector<Argument> list(count);
    for (size_t i = 0; i < count; ++i) {
        const FieldValue& v = arguments[i];
        Argument& a = list[i];
        switch (v.kind) {
            case FieldKind::Bool:
                a.kind = ArgumentKind::CString;
                a.data = v.boolValue ? "true" : "false";
                break;
            case FieldKind::Signed:
                a.kind = ArgumentKind::Int64;
                a.signedValue = v.signedValue;
                break;
            case FieldKind::Unsigned:
                a.kind = ArgumentKind::UInt64;
                a.unsignedValue = v.unsignedValue;
                break;
            case FieldKind::Double:
                a.kind = ArgumentKind::Double;
                a.doubleValue = v.doubleValue;
                break;
            default:
                a.kind = ArgumentKind::Chars;
                a.data = v.text.data();
                a.size = v.text.size();
                break;
        }
    }
    return PositionalFormatDetail::Format(format, list.data(), count);
}

}  // namespace Vemi
