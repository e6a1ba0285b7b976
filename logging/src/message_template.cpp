#include "logging/diagnostics.h"

#include <cstdio>
#include <vector>

#include "format_directive.h"
#include "logging/log.h"
#include "logging/logger.h"
#include "logging/positional_format.h"

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

void AppendPosition(std::string& format, size_t position) { format += std::to_string(position); }

void Process(Placeholder& placeholder, size_t position, const FieldValue* arguments, size_t count,
             std::string& format, TemplateFields& fields) {
    if (position == 0 || position > count) return;
    const FieldValue& argument = arguments[position - 1];
    if (placeholder.typedName && !HasTypeSuffix(placeholder.name)) placeholder.name += KindSuffix(argument.kind);
    if (placeholder.hasAlternative && argument.IsEmpty()) {
        format += placeholder.alternative;
        return;
    }
    if (!placeholder.name.empty()) fields.insert_or_assign(placeholder.name, argument);
    if (placeholder.fieldOnly) {
        while (!format.empty() && (format.back() == ' ' || format.back() == '\t' || format.back() == '\n' ||
                                   format.back() == '\r' || format.back() == '\v' || format.back() == '\f')) {
            format.pop_back();
        }
        return;
    }
    format += '%';
    AppendPosition(format, position);
    if (placeholder.directive) {
        // The directive keeps its argument through an explicit position.
        if (placeholder.format.size() > 1) {
            format += '$';
            format.append(placeholder.format, 1);
        }
    } else if (placeholder.hasFormat) {
        format += '$';
        format += placeholder.format;
    }
}

}  // namespace

void ExpandTemplate(const char* templateText, const FieldValue* arguments, size_t count, std::string& format,
                    TemplateFields& fields) {
    format.clear();
    fields.clear();
    if (templateText == nullptr) return;
    if (arguments == nullptr) count = 0;
    size_t current = 1;
    const char* p = templateText;
    while (*p != '\0') {
        char c = *p;
        if (c == '{' && p[1] == '{') {
            format += '{';
            p += 2;
        } else if (c == '}') {
            format += '}';
            p += p[1] == '}' ? 2 : 1;
        } else if (c == '%' && p[1] == '%') {
            format += "%%";
            p += 2;
        } else if (c == '%') {
            PositionalFormatDetail::Directive directive;
            size_t next = current;
            if (!PositionalFormatDetail::ParseDirective(p, count, next, directive)) return;
            Placeholder placeholder;
            placeholder.directive = true;
            placeholder.format.assign(directive.text, directive.length);
            Process(placeholder, directive.position, arguments, count, format, fields);
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
            Process(placeholder, current, arguments, count, format, fields);
            ++current;
        } else {
            format += c;
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
