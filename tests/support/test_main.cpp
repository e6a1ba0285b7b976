#include <gtest/gtest.h>

#include <mutex>

#include <kav/logging/logger.h>
#include "recorded_log.h"

namespace Vemi::Testing {
namespace {

class RecordingTarget final : public LogTarget {
public:
    RecordingTarget() : LogTarget(kLogOkay, 0, 0, "#M") {}
    ~RecordingTarget() override { Unregister(); }
    [[nodiscard]] const char* GetName() const noexcept override { return "RecordingLogTarget"; }
    bool Write(const LogRecord& record) override {
        std::lock_guard guard(Lock());
        messages_.emplace_back(record.message != nullptr ? record.message : "");
        return true;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard guard(Lock());
        return messages_;
    }
    void Clear() {
        std::lock_guard guard(Lock());
        messages_.clear();
    }

private:
    std::vector<std::string> messages_;
};

RecordingTarget& Recorder() {
    static RecordingTarget target;
    return target;
}

// Holds a reference on the Logger for the whole run, so a test's own AddRef and
// Release never rebuild it with the console targets back in place; each test
// still starts with the console quiet, in case one registered them again.
class QuietLogs final : public ::testing::EmptyTestEventListener {
public:
    void OnTestProgramStart(const ::testing::UnitTest&) override {
        LoggingInterface* api = GetLoggingInterface();
        api->AddRef(api);
    }
    void OnTestStart(const ::testing::TestInfo&) override {
        LoggingInterface* api = GetLoggingInterface();
        for (LogTargetInterface* console : {api->StdErrTarget(api), api->StdOutTarget(api),
                                            api->DebuggerConsoleTarget(api)}) {
            if (console != nullptr) console->Unregister(console);
        }
        Recorder().Clear();
        Recorder().Register();
    }
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        Recorder().Unregister();
        LoggingInterface* api = GetLoggingInterface();
        api->Release(api);
    }
};

}  // namespace

std::vector<std::string> RecordedLogMessages() { return Recorder().Messages(); }

}  // namespace Vemi::Testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new Vemi::Testing::QuietLogs);
    return RUN_ALL_TESTS();
}
