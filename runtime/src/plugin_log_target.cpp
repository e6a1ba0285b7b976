#include <kav/runtime/plugin_log_target.h>

#include <mutex>

namespace Vemi {

PluginLogTarget::PluginLogTarget(const HostApi* api) : LogTarget(kLogWarn, 0, 0, kHostLineFormat), api_(api) {}

PluginLogTarget::~PluginLogTarget() { Unregister(); }

bool PluginLogTarget::Write(const LogRecord& record) {
    std::lock_guard<Platform::RecursiveLock> guard(Lock());
    if (api_ != nullptr && api_->log != nullptr) api_->log(api_, record.level, record.message);
    return true;
}

}  // namespace Vemi
