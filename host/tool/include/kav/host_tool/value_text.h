// Reading the canonical typed text of host values back into values, so scenarios can
// write expected payloads and bodies in the form the transcript prints them.
#pragma once

#include <kav/host/host_value.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {

// Which numbers of a value were written as plain JSON: such a number matches a number of
// any kind (signed, unsigned, float) with the same value. Shaped as the value: one child
// per item or member, in order.
struct ValueMarks {
    bool anyNumber = false;
    std::vector<ValueMarks> children;
};

struct ValueParse {
    bool ok = false;
    Host::OwnedValue value;
    ValueMarks marks;
    bool typed = false;  // some part was written in the typed form ("signed:1", "empty")
    std::string error;   // when !ok: what is wrong
    size_t column = 0;   // ... and where, 1-based in text
};

// Reads one value in the canonical form of Host::CanonicalText:
//   empty | bool:true | bool:false | signed:-5 | unsigned:5 | float:0.5 | string:"text"
//   | blob:00ff | [value, ...] | {"key": value, ...}
// or in plain JSON, freely mixed with it: null (empty), true, false, "text", and numbers
// with the kinds the plugin's JSON reader gives them: an integer not negative unsigned,
// a negative one signed, any other number (fraction, exponent, beyond 64 bits) float.
// Spaces are free between tokens; strings take the JSON escapes (\uXXXX included). The
// whole text must be one value.
[[nodiscard]] ValueParse ParseValueText(std::string_view text);

// value as text that ParseValueText reads back to an equal value: plain JSON where the
// value has a JSON form, the typed form where it has none (blobs, floats that are not
// finite); typed: the canonical form throughout.
[[nodiscard]] std::string ValueText(const HostValue& value, bool typed);

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

// How expected is matched beyond equality.
struct MatchRules {
    const ValueMarks* marks = nullptr;  // numbers written as plain JSON (ParseValueText)
    // Structures at every depth need only expected's members; lists still match item by
    // item, with the same length.
    bool subset = false;
    bool plain = false;  // expected was written in plain JSON: differences show it so
};

// Compares expected with actual: scalars by their canonical text (so strings and blobs
// compare equal whether owned or not; a number marked anyNumber by its value, whatever
// its kind), lists item by item, structures member by member whatever their order
// (members of the same name pair up in order). Answers the first difference in
// expected's order, or nullopt when the values are equal.
// actual with only the members expected names, at every depth where both are
// structures (lists item by item): what a "contains" expectation is rewritten to.
[[nodiscard]] Host::OwnedValue Project(const HostValue& expected, const HostValue& actual);

[[nodiscard]] std::optional<ValueDifference> FirstDifference(const HostValue& expected, const HostValue& actual,
                                                             const MatchRules& rules = {});

}  // namespace Vemi::HostTool
