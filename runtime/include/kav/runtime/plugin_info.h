// Versions, kinds and names of a plugin as the host sees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <kav/host_abi.h>

namespace Vemi {

struct ApiVersion {
    ApiVersion() = default;
    ApiVersion(uint32_t major_, uint32_t minor_, uint32_t patch_, std::string preRelease_ = {}, std::string build_ = {})
        : major(major_), minor(minor_), patch(patch_), preRelease(std::move(preRelease_)), build(std::move(build_)) {}

    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t patch = 0;
    std::string preRelease;
    std::string build;
};

// "major.minor.patch", then "-preRelease" and "+build" when those are not empty.
[[nodiscard]] std::string VersionText(const ApiVersion& version);
// PositionalFormat argument form of a version.
size_t PositionalText(const ApiVersion& version, char* buffer, size_t size);

// The host version is compatible when the majors agree and the host is not older.
[[nodiscard]] bool IsCompatible(const ApiVersion& host, const ApiVersion& plugin) noexcept;

inline const ApiVersion kPluginApiVersion{KAV_PLUGIN_API_VERSION_MAJOR, KAV_PLUGIN_API_VERSION_MINOR,
                                          KAV_PLUGIN_API_VERSION_PATCH};

struct PluginKind {
    std::string name;
    std::string qualifier;
};
inline const PluginKind kBackendPlugin{"backend", {}};
inline const PluginKind kFrontendPlugin{"frontend", {}};
// PositionalFormat argument form of a kind: "name:qualifier".
size_t PositionalText(const PluginKind& kind, char* buffer, size_t size);

struct PluginNames {
    std::string fullName;
    std::string shortName;
    std::string kindName;
    std::string kindQualifier;
};

// Full name = kind prefix + short name; an unknown kind gets "tnc-xx-" and an error line.
[[nodiscard]] PluginNames MakePluginNames(const std::string& shortName, const PluginKind& kind);

}  // namespace Vemi
