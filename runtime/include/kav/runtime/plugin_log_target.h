// The log target that hands records to the host once the plugin is initialised.
#pragma once

#include <kav/host_abi.h>
#include <kav/logging/logger.h>

namespace Vemi {


class PluginLogTarget final : public LogTarget {
public:
    explicit PluginLogTarget(const HostApi* api);
    ~PluginLogTarget() override;

    [[nodiscard]] const char* GetName() const noexcept override { return "PluginLogTarget"; }
    // Forwards the level and the message only; the host applies its own format.
    bool Write(const LogRecord& record) override;

private:
    const HostApi* api_;
};

}  // namespace Vemi
