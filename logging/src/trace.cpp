// Trace discards its arguments. Alone in its file: a library that links kav_trace_lines
// takes that definition instead, and this one is never pulled from the archive.
#include <kav/logging/log.h>

namespace Vemi {

void Trace(const char*, ...) {}

}  // namespace Vemi
