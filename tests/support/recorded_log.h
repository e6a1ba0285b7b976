// Every test binary's log records land in one recording target instead of on
// the console, so a passing run prints only the runner's lines.
#pragma once

#include <string>
#include <vector>

namespace Vemi::Testing {

// The messages recorded since the current test started, oldest first.
[[nodiscard]] std::vector<std::string> RecordedLogMessages();

}  // namespace Vemi::Testing
