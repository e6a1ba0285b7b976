// kav-host run --update: a scenario file's expectations rewritten to what the plugin did.
#pragma once

#include <kav/host_tool/cli.h>
#include <kav/host_tool/player.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {

// text with each rewrite's step (its first line and the lines it continues on) replaced by
// the rewrite's steps, one a line, each with the first line's indentation and line end.
// Every other byte (comments, blank lines, steps met) is kept.
[[nodiscard]] std::string ApplyRewrites(std::string_view text, const std::vector<Rewrite>& rewrites);

// Plays the file at path in update mode and writes the rewritten text back when some
// expectation was rewritten; the scenario must have no bad lines (see PlayFile). Prints
// "PATH: updated (N expectations rewritten)" or "PATH: up to date" on out. Answers the
// exit status: kExitFailed when the play failed or the rewritten text would not read back
// (the file is left as it was).
[[nodiscard]] int UpdateFile(const std::string& pluginPath, const std::string& path, const Scenario& scenario,
                             std::ostream& out, std::ostream& err, const PlayOptions& options);

}  // namespace Vemi::HostTool
