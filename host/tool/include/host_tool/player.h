// Plays a scenario against a loaded plugin through the replacement host, printing the
// transcript of what the host sees and checking the scenario's expectations.
#pragma once

#include "host/host.h"
#include "host_tool/scenario.h"

#include <ostream>
#include <string>
#include <string_view>

namespace Vemi::HostTool {

// Exit statuses of kav-host.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;  // an expectation failed, or the plugin could not be run
inline constexpr int kExitUsage = 2;   // bad command line or bad scenario lines

struct PlayOptions {
    bool quiet = false;  // no transcript: only failures and the closing line
};

// The scenario `kav-host run` plays without a file, in the scenario language.
[[nodiscard]] std::string_view BuiltinScenario() noexcept;
inline constexpr std::string_view kBuiltinScenarioName = "<built-in>";

// "<timestamp>| <LEVEL>| <message>": the host's log form of a plugin log line. HostLog
// carries no categories, so the category field of the plugin's own form is left out.
[[nodiscard]] std::string FormatLogLine(std::string_view timestamp, int64_t level, std::string_view message);

// Plays scenario (already parsed, without errors) against host, which holds a loaded
// plugin that is not yet initialized: the plugin is initialized at the `initialize` step,
// or before the first step when there is none, and shut down at the end. The transcript
// goes to out, a failure to err. Answers kExitPassed or kExitFailed.
[[nodiscard]] int PlayScenario(Host::Host& host, const Scenario& scenario, std::ostream& out, std::ostream& err,
                               const PlayOptions& options = {});

// Reports the scenario's bad lines (kExitUsage), else loads pluginPath into a fresh host
// and plays the scenario.
[[nodiscard]] int RunScenario(const std::string& pluginPath, const Scenario& scenario, std::ostream& out,
                              std::ostream& err, const PlayOptions& options = {});

}  // namespace Vemi::HostTool
