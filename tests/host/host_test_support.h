// Helpers the host tests share.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTestSupport {

// Passes when text holds part; a failure shows both.
inline testing::AssertionResult Contains(std::string_view text, std::string_view part) {
    if (text.find(part) != std::string_view::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// argc and argv for a command's entry point, the texts kept alive with them.
class Arguments {
public:
    Arguments(std::vector<std::string> args) : args_(std::move(args)) {
        for (std::string& arg : args_) pointers_.push_back(arg.data());
    }
    [[nodiscard]] int count() const noexcept { return static_cast<int>(pointers_.size()); }
    [[nodiscard]] char** data() noexcept { return pointers_.data(); }

private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};

}  // namespace Vemi::HostTestSupport
