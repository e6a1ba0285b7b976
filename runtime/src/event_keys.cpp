#include <kav/runtime/event_keys.h>

namespace Vemi {

std::string EventKeyForUri(std::string_view uri) {
    std::string key = "OnJsonApiEvent";
    size_t kept = 1;
    size_t limit = 4;
    size_t pos = 0;
    while (pos < uri.size() && kept < limit) {
        while (pos < uri.size() && uri[pos] == '/') ++pos;
        size_t end = uri.find('/', pos);
        if (end == std::string_view::npos) end = uri.size();
        if (end == pos) break;
        std::string_view segment = uri.substr(pos, end - pos);
        if (kept == 1 && segment == "kav-platform-config") limit = 6;
        key += '_';
        key += segment;
        ++kept;
        pos = end;
    }
    return key;
}

bool UriPatternMatches(std::string_view pattern, std::string_view uri) noexcept {
    // Walk both while both have characters left, so a trailing "*" needs at least one
    // character while one in the middle may take none.
    size_t p = 0, u = 0;
    while (p < pattern.size() && u < uri.size()) {
        if (pattern[p] == '*') {
            while (u < uri.size() && uri[u] != '/') ++u;
            ++p;
        } else if (pattern[p] == uri[u]) {
            ++p;
            ++u;
        } else {
            return false;
        }
    }
    return p == pattern.size() && u == uri.size();
}

}  // namespace Vemi
