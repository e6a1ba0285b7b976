// Trace as log lines, for a plugin build whose refusals must be seen (kav-host --trace).
#include <kav/logging/log.h>

#include <cstdio>

namespace Vemi {

void Trace(const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    if (format == nullptr || std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
    va_end(args);
    Log(kLogOkay, kCategoryDBG, "[trace] %s", message);
}

}  // namespace Vemi
