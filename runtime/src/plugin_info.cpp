#include <kav/runtime/plugin_info.h>

#include <algorithm>
#include <cstring>

#include <kav/logging/log.h>
#include <kav/logging/positional_format.h>

namespace Vemi {

std::string VersionText(const ApiVersion& version) {
    // The numbers go through a 33-byte buffer, as the host formats them.
    char numbers[33];
    std::string head = PositionalFormat("%1.%2.%3", version.major, version.minor, version.patch);
    size_t n = std::min(head.size(), sizeof numbers - 1);
    std::memcpy(numbers, head.data(), n);
    std::string text(numbers, n);
    if (!version.preRelease.empty()) text += "-" + version.preRelease;
    if (!version.build.empty()) text += "+" + version.build;
    return text;
}

namespace {
size_t CopyText(const std::string& text, char* buffer, size_t size) {
    if (size == 0) return 0;
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}
}  // namespace

size_t PositionalText(const ApiVersion& version, char* buffer, size_t size) {
    return CopyText(VersionText(version), buffer, size);
}

size_t PositionalText(const PluginKind& kind, char* buffer, size_t size) {
    return CopyText(kind.name + ":" + kind.qualifier, buffer, size);
}

bool IsCompatible(const ApiVersion& host, const ApiVersion& plugin) noexcept {
    if (host.major != plugin.major) return false;
    return host.minor > plugin.minor || (host.minor == plugin.minor && host.patch >= plugin.patch);
}

PluginNames MakePluginNames(const std::string& shortName, const PluginKind& kind) {
    const char* prefix = "tnc-xx-";
    if (kind.name == kBackendPlugin.name) {
        prefix = "tnc-be-";
    } else if (kind.name == kFrontendPlugin.name) {
        prefix = "tnc-fe-";
    } else {
        std::string message = PositionalFormat(
            "GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type", shortName, kind);
        Log(kLogError, kCategoryDBG, "            Plugin Manager| %s", message.c_str());
    }
    return PluginNames{prefix + shortName, shortName, kind.name, kind.qualifier};
}

}  // namespace Vemi
