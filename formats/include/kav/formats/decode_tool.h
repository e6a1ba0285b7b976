// The "decode" command: prints a JSON, MessagePack or YAML document as its
// canonical text (see canonical_text.h).
//
//   decode --type CONTENT_TYPE [FILE]      (standard input without FILE)
//
// Exit status 0 with the text on `out`; 1 with "error: MESSAGE" on `err` for input that
// does not decode; 2 for a bad command line (the usage added) or input that cannot be
// read; --help prints the usage on `out` and answers 0.
// Content types are matched as the plugin's dispatcher matches a body's (content_type.h).
#pragma once

#include <cstdio>

namespace Vemi::Formats {

[[nodiscard]] int RunDecode(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace Vemi::Formats
