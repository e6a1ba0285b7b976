#include <kav/host_tool/snapshot.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line without its blanks and line end.
std::string_view TrimEnd(std::string_view line) {
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    return line;
}

// Writes text to path through a file beside it, so a failed write leaves path whole.
std::string WriteFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".kav-update";
    errno = 0;
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return std::strerror(errno);
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fclose(file) == 0 && written;
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        return written ? error.message() : "write failed";
    }
    return {};
}

}  // namespace

std::string ApplyRewrites(std::string_view text, const std::vector<Rewrite>& rewrites) {
    std::string_view mark = text.starts_with(kByteOrderMark) ? kByteOrderMark : std::string_view();
    text.remove_prefix(mark.size());
    std::vector<std::string_view> lines;  // each with its '\n', the last maybe without
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    std::vector<const Rewrite*> order;
    for (const Rewrite& rewrite : rewrites) order.push_back(&rewrite);
    std::stable_sort(order.begin(), order.end(), [](const Rewrite* a, const Rewrite* b) { return a->line < b->line; });
    std::string out(mark);
    size_t next = 0;  // the next line to copy, 0-based
    for (const Rewrite* rewrite : order) {
        size_t first = static_cast<size_t>(rewrite->line - 1);
        if (rewrite->line < 1 || first < next || first >= lines.size()) continue;
        for (; next < first; ++next) out += lines[next];
        // The step runs on while its lines end in a backslash.
        size_t last = first;
        while (last + 1 < lines.size() && TrimEnd(lines[last]).ends_with('\\')) ++last;
        std::string_view line = lines[first];
        size_t indent = 0;
        while (indent < line.size() && (line[indent] == ' ' || line[indent] == '\t')) ++indent;
        std::string_view lastLine = lines[last];
        std::string ending = lastLine.ends_with("\r\n") ? "\r\n" : lastLine.ends_with('\n') ? "\n" : "";
        // Long steps continue on lines under them, broken as transcripts are.
        std::vector<std::string> physical;
        for (const std::string& step : rewrite->steps) {
            std::string wrapped = WrapTranscriptLine(std::string(line.substr(0, indent)) + step, kTranscriptWidth, Style{});
            for (size_t start = 0; start <= wrapped.size();) {
                size_t end = std::min(wrapped.find('\n', start), wrapped.size());
                bool more = end < wrapped.size();
                physical.push_back(wrapped.substr(start, end - start) + (more ? " \\" : ""));
                start = end + 1;
            }
        }
        for (size_t i = 0; i < physical.size(); ++i) {
            out += physical[i];
            // Lines before the last end even on the file's unterminated last line.
            out += ending.empty() && i + 1 < physical.size() ? std::string("\n") : ending;
        }
        next = last + 1;
    }
    for (; next < lines.size(); ++next) out += lines[next];
    return out;
}

int UpdateFile(const std::string& pluginPath, const std::string& path, const Scenario& scenario, std::ostream& out,
               std::ostream& err, const PlayOptions& options) {
    std::string text;
    if (std::string reason = ReadTextFile(path, text); !reason.empty()) {
        ErrorLine(err, "cannot read the scenario file " + Quote(path) + ": " + reason);
        return kExitUsage;
    }
    PlayOptions update = options;
    update.update = true;
    PlayResult result = PlayFile(pluginPath, scenario, out, err, update);
    if (result.status != kExitPassed) {
        out << scenario.name << ": " << options.style.Fail("not updated") << '\n';
        return result.status;
    }
    if (result.rewrites.empty()) {
        out << scenario.name << ": up to date\n";
        return kExitPassed;
    }
    std::string updated = ApplyRewrites(text, result.rewrites);
    // What the plugin sent may not be writable as a step (a url with a blank, a custom
    // method): the file is not touched rather than left with bad lines.
    Scenario check = ParseScenario(updated, scenario.name);
    if (!check.errors.empty()) {
        for (const ParseError& error : check.errors) {
            err << scenario.name << ": the rewritten step at line " << error.line << " would not read back: "
                << error.message << '\n';
        }
        out << scenario.name << ": " << options.style.Fail("not updated") << '\n';
        return kExitFailed;
    }
    if (std::string reason = WriteFile(path, updated); !reason.empty()) {
        ErrorLine(err, "cannot write the scenario file " + Quote(path) + ": " + reason);
        return kExitFailed;
    }
    out << scenario.name << ": " << options.style.Pass("updated") << " ("
        << Count(result.rewrites.size(), "expectation") << " rewritten)\n";
    return kExitPassed;
}

}  // namespace Vemi::HostTool
