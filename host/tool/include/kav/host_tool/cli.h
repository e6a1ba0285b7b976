// What every kav-host command shares: exit statuses, option parsing, message helpers,
// file reading and terminal colour. A new command reads its options with
// ParseCommandLine, reports a bad command line with UsageError and other failures with
// ErrorLine, and is added to the command table in tool.cpp.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Vemi::HostTool {

// Exit statuses of kav-host.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;  // an expectation failed, or the plugin could not be run
inline constexpr int kExitUsage = 2;   // bad command line, unreadable input or bad scenario lines

// ---- Options ----

struct OptionSpec {
    std::string_view name;       // "--plugin"
    std::string_view shortName;  // "-q", or empty
    std::string_view value;      // the value's name in messages ("PATH"); empty for a flag
};

struct CommandLine {
    std::vector<std::pair<std::string, std::string>> options;  // long name and value ("" for a flag), in order
    std::vector<std::string> arguments;
    bool help = false;  // -h or --help

    [[nodiscard]] bool Has(std::string_view name) const;
    // The value given last for name.
    [[nodiscard]] std::optional<std::string> Value(std::string_view name) const;
};

// Reads argv (the command's arguments, its name not included) against specs. -h and
// --help are always known; values come as "--name VALUE" or "--name=VALUE"; "--" ends
// the options; "-" alone is an argument. Answers the error message, empty when fine:
//   unknown option '--qiet' (did you mean '--quiet'?)
//   --plugin needs a PATH
//   --quiet takes no value
[[nodiscard]] std::string ParseCommandLine(int argc, char* const* argv, std::span<const OptionSpec> specs,
                                           CommandLine& line);

// ---- Messages ----
// Messages start in lower case after their "kav-host: " or "FILE:LINE: " prefix.

// "kav-host: MESSAGE" and "Try 'kav-host COMMAND --help'." to err; answers kExitUsage.
int UsageError(std::ostream& err, std::string_view command, std::string_view message);
// "kav-host: MESSAGE" to err.
void ErrorLine(std::ostream& err, std::string_view message);
// A message from elsewhere (the host, the loader) in the tool's style: first letter in
// lower case unless the first word is an acronym or a path.
[[nodiscard]] std::string AsMessage(std::string_view message);

// Text as it may be shown inside a one-line message: control bytes and DEL become \n, \t,
// \r or \xHH, and a backslash stays itself.
[[nodiscard]] std::string Printable(std::string_view text);
// "'text'", text made Printable.
[[nodiscard]] std::string Quote(std::string_view text);

// "1 step", "2 steps", "0 steps"; plural defaults to singular + "s".
[[nodiscard]] std::string Count(size_t count, std::string_view singular, std::string_view plural = {});

// The candidate closest to word by edit distance (letter case counting half), when it is
// close enough to be a likely typo; empty else.
[[nodiscard]] std::string_view Nearest(std::string_view word, std::span<const std::string_view> candidates);
// " (did you mean 'X'?)" for the Nearest candidate, or empty.
[[nodiscard]] std::string DidYouMean(std::string_view word, std::span<const std::string_view> candidates);

// ---- Files ----

// Reads the whole file at path into text. Answers empty on success, else the system's
// reason ("No such file or directory", "Is a directory", "Permission denied").
[[nodiscard]] std::string ReadTextFile(const std::string& path, std::string& text);

// ---- Colour ----

// Colour is used on a terminal unless NO_COLOR is set to a non-empty value.
[[nodiscard]] bool ColorWanted(bool terminal, const char* noColor) noexcept;
// --color WHEN, for one stream: "always", "never", or "auto" (ColorWanted).
[[nodiscard]] bool ColorMode(std::string_view when) noexcept;  // one of the three
[[nodiscard]] bool ColorWanted(std::string_view when, bool terminal, const char* noColor) noexcept;

struct Style {
    bool color = false;
    [[nodiscard]] std::string Pass(std::string_view text) const { return Paint("\x1b[32m", text); }
    [[nodiscard]] std::string Fail(std::string_view text) const { return Paint("\x1b[31m", text); }
    [[nodiscard]] std::string Dim(std::string_view text) const { return Paint("\x1b[2m", text); }

private:
    [[nodiscard]] std::string Paint(std::string_view code, std::string_view text) const {
        if (!color) return std::string(text);
        std::string painted(code);
        painted += text;
        painted += "\x1b[0m";
        return painted;
    }
};

}  // namespace Vemi::HostTool
