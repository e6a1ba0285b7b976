// The printf-style directive parser shared by PositionalFormat and the
// message templates.
#pragma once

#include <cstddef>

namespace Vemi::PositionalFormatDetail {

// Longest directive text ("%" up to the conversion, without position and "$").
inline constexpr size_t kDirectiveLimit = 60;

struct Directive {
    char text[kDirectiveLimit + 1];
    size_t length;
    size_t position;         // argument of the value, from 1
    bool explicitPosition;   // "%N" or "%N$"
    size_t stars[2];         // arguments of "*" width and precision
    size_t starCount;
};

// `cursor` points at the "%" of a directive that is not "%%". On success it
// moves past the directive. `nextSequential` is the counter of positions.
[[nodiscard]] bool ParseDirective(const char*& cursor, size_t argumentCount, size_t& nextSequential,
                                  Directive& directive) noexcept;

}  // namespace Vemi::PositionalFormatDetail
