// Plays a scenario against a loaded plugin through the replacement host, printing the
// transcript of what the host sees and checking the scenario's expectations.
#pragma once

#include <kav/host/host.h>
#include <kav/host_tool/cli.h>
#include <kav/host_tool/scenario.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {

struct PlayOptions {
    bool quiet = false;   // no transcript: only failures and the closing line
    bool strict = false;  // fail on events, requests and log lines no expectation read
    bool headers = false; // --headers: requests' and replies' headers in the transcript
    bool trace = false;   // --trace: the plugin's trace lines in the transcript
    Style style;          // colour of the transcript (out)
    Style errStyle;       // colour of failures (err)
    std::string entry;    // the plugin's entry; empty: from the library's file name
    // Snapshot: an expectation not met is not a failure but rewritten to what was seen
    // (PlayResult::rewrites), and the scenario goes on.
    bool update = false;
};

// The step at line (its first line) becomes these steps.
struct Rewrite {
    int line = 0;
    std::vector<std::string> steps;
};

// How run and serve print transcript entries.
struct TranscriptFormat {
    bool headers = false;
    bool trace = false;
    Style style;
};

// A trace line of the plugin: a log line at level Okay whose text starts with this. A
// plugin linked with kav_trace_lines sends its trace messages so; others send none.
inline constexpr std::string_view kTracePrefix = "[trace] ";
[[nodiscard]] bool IsTraceLine(const Host::Entry& entry);

// One transcript entry as run and serve print it, indented and wrapped, without the last
// newline: a request to the plugin shows what a client of the host's local server receives
// (ClientReplyText), a log line is stamped with stamp, a trace line reads
// "#N <- trace MESSAGE". Empty when the entry is not shown (a trace line without trace).
[[nodiscard]] std::string TranscriptLine(const Host::Entry& entry, std::string_view stamp, const TranscriptFormat& format);

// Local time as log lines are stamped: 2026-12-07T04:05:08.123
[[nodiscard]] std::string LogTimeStamp();

// Transcript lines longer than this are wrapped, their payload indented under them.
inline constexpr size_t kTranscriptWidth = 100;

// What became of one scenario.
struct PlayResult {
    int status = kExitPassed;
    bool error = false;   // not a failed expectation: bad lines, or a plugin that did not load
    bool skipped = false; // not played: another scenario has bad lines
    std::string summary;  // the closing line after "NAME: ", uncoloured
    std::string failure;  // what was reported on err
    double seconds = 0;
    std::vector<Rewrite> rewrites;  // PlayOptions::update
};

// The scenario `kav-host run` plays without a file, in the scenario language.
[[nodiscard]] std::string_view BuiltinScenario() noexcept;
inline constexpr std::string_view kBuiltinScenarioName = "<built-in>";

// "<timestamp>| <LEVEL>| <message>": the host's log form of a plugin log line. HostLog
// carries no categories, so the category field of the plugin's own form is left out.
[[nodiscard]] std::string FormatLogLine(std::string_view timestamp, int64_t level, std::string_view message);

// The host's answer a `host` step sets up.
[[nodiscard]] Host::HostReply StubReply(const Step& step);

// The request a `request` step sends.
[[nodiscard]] Host::RequestData RequestOf(const Step& step);

// Plays scenario (already parsed, without errors) against host, which holds a loaded
// plugin that is not yet initialized: the plugin is initialized at the `initialize` step,
// or before the first step when there is none, and shut down at the end. The transcript
// goes to out, a failure to err; the run ends with one closing line on out, last:
//   NAME: passed (32 steps, 24 expectations met)
//   NAME: FAILED at line 4 (3 of 32 steps, 2 of 24 expectations met)
[[nodiscard]] PlayResult PlayScenario(Host::Host& host, const Scenario& scenario, std::ostream& out,
                                      std::ostream& err, const PlayOptions& options = {});

// Reports the scenario's bad lines (kExitUsage), else loads pluginPath into a fresh host
// and plays the scenario.
[[nodiscard]] PlayResult PlayFile(const std::string& pluginPath, const Scenario& scenario, std::ostream& out,
                                  std::ostream& err, const PlayOptions& options = {});
[[nodiscard]] inline int RunScenario(const std::string& pluginPath, const Scenario& scenario, std::ostream& out,
                                     std::ostream& err, const PlayOptions& options = {}) {
    return PlayFile(pluginPath, scenario, out, err, options).status;
}

// The results as JUnit XML: one test suite, one test case per scenario (named by its
// file), a failure carrying the closing line as its message and what was reported on err;
// an error instead of a failure for bad lines and a plugin that did not load; a skipped
// element for a scenario not played.
[[nodiscard]] std::string JUnitXml(const std::vector<Scenario>& scenarios, const std::vector<PlayResult>& results);

// A transcript line (indent included) as printed: wrapped at ", " outside quoted texts
// when longer than width, continuation lines indented under it; arrows dimmed by style.
[[nodiscard]] std::string WrapTranscriptLine(std::string_view line, size_t width, const Style& style);

}  // namespace Vemi::HostTool
