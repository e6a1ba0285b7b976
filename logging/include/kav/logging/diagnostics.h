// Assertion reports and message templates with named, typed fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Vemi {

// Logs the failed check as one multi-line record (level 2, DBG). Null texts
// count as empty; the program goes on.
void AssertReport(const char* expression, const char* description, const char* file, int32_t line,
                  const char* function) noexcept;

enum class FieldKind : uint8_t { None = 0, Bool = 1, Signed = 2, Unsigned = 3, Double = 4, Text = 5 };

// A template argument and a recorded field.
struct FieldValue {
    FieldKind kind = FieldKind::None;
    std::string text;
    union {
        uint64_t unsignedValue = 0;
        int64_t signedValue;
        double doubleValue;
        bool boolValue;
    };

    [[nodiscard]] static FieldValue Bool(bool value);
    [[nodiscard]] static FieldValue Signed(int64_t value);
    [[nodiscard]] static FieldValue Unsigned(uint64_t value);
    [[nodiscard]] static FieldValue Double(double value);
    [[nodiscard]] static FieldValue Text(std::string_view value);

    // false, 0, 0.0 and the empty text are empty (a template's "?" alternative applies).
    [[nodiscard]] bool IsEmpty() const noexcept;
};

using TemplateFields = std::unordered_map<std::string, FieldValue>;

// Turns a template such as "Error response for {method} {url}: {error}" into a
// positional format ("Error response for %1 %2: %3") and the named fields.
// Placeholders: "{name}", "{#name}" (name gets a type suffix), "?alt" (text for
// an empty argument), "!" (field only), ":fmt" (printf directive after "N$"),
// "\" escapes; "{{" and "}}" stand for braces; "%" directives take the current position,
// and their "*" widths and precisions keep their own. A "%N" followed by a digit or
// "$" is written "%N$" with its natural conversion, so what follows stays text.
void ExpandTemplate(const char* templateText, const FieldValue* arguments, size_t count, std::string& format,
                    TemplateFields& fields);

// PositionalFormat of a produced format with the same arguments. A bool
// argument prints as "true" or "false".
[[nodiscard]] std::string FormatTemplateMessage(const char* format, const FieldValue* arguments, size_t count);

}  // namespace Vemi
