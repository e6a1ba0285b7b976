#include <cstdio>

#include <kav/logging/diagnostics.h>
#include <kav/logging/log.h>
#include <kav/logging/logger.h>

namespace Vemi {

// ---------------------------------------------------------------------------
// Assertion report.

namespace {

class ReportBuffer {
public:
    void Append(const char* text) noexcept {
        for (; *text != '\0' && length_ + 1 < sizeof text_; ++text) text_[length_++] = *text;
        text_[length_] = '\0';
    }
    [[nodiscard]] const char* Text() const noexcept { return text_; }

private:
    char text_[kLogBufferSize] = {};
    size_t length_ = 0;
};

bool Present(const char* text) noexcept { return text != nullptr && text[0] != '\0'; }

}  // namespace

void AssertReport(const char* expression, const char* description, const char* file, int32_t line,
                  const char* function) noexcept {
    ReportBuffer report;
    report.Append("Assertion failed!\n\n");
    if (Present(file)) {
        report.Append("File: ");
        report.Append(file);
        report.Append("\n");
    }
    if (line != 0) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", static_cast<int>(line));
        report.Append("Line: ");
        report.Append(number);
        report.Append("\n\n");
    }
    if (Present(function)) {
        report.Append("Function: ");
        report.Append(function);
        report.Append("\n\n");
    }
    if (Present(expression)) {
        report.Append("Expression: ");
        report.Append(expression);
    }
    if (Present(description)) {
        report.Append("\n\nDescription: ");
        report.Append(description);
    }
    try {
        Log(kLogError, kCategoryDBG, "%s", report.Text());
    } catch (...) {
    }
}

}  // namespace Vemi
