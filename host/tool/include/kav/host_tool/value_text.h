// Reading the canonical typed text of host values back into values, so scenarios can
// write expected payloads and bodies in the form the transcript prints them.
#pragma once

#include <kav/host/host_value.h>

#include <optional>
#include <string>
#include <string_view>

namespace Vemi::HostTool {

struct ValueParse {
    bool ok = false;
    Host::OwnedValue value;
    std::string error;  // when !ok: what is wrong
    size_t column = 0;  // ... and where, 1-based in text
};

// Reads one value in the canonical form of Host::CanonicalText:
//   empty | bool:true | bool:false | signed:-5 | unsigned:5 | float:0.5 | string:"text"
//   | blob:00ff | [value, ...] | {"key": value, ...}
// Spaces are free between tokens; strings take the JSON escapes (\uXXXX included). The
// whole text must be one value.
[[nodiscard]] ValueParse ParseValueText(std::string_view text);

// A quoted text ("..." with JSON escapes), as scenarios write texts. Answers false when
// text is not exactly one quoted text, with the error and its 1-based column.
[[nodiscard]] bool ParseQuotedText(std::string_view text, std::string& out, std::string& error, size_t& column);

}  // namespace Vemi::HostTool

namespace Vemi::HostTool {

// Where two values first differ: the member path ("$", "$.data.name", "$.items[2]",
// "$[\"odd key\"]") and the two sides there, in canonical text; a side that has nothing
// there reads "no member" or "no item".
struct ValueDifference {
    std::string path;
    std::string expected;
    std::string actual;
};

// Compares expected with actual: scalars by their canonical text (so strings and blobs
// compare equal whether owned or not), lists item by item, structures member by member
// whatever their order (members of the same name pair up in order). Answers the first
// difference in expected's order, or nullopt when the values are equal.
[[nodiscard]] std::optional<ValueDifference> FirstDifference(const HostValue& expected, const HostValue& actual);

}  // namespace Vemi::HostTool
