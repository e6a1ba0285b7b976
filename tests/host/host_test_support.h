// Helpers the host tests share.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Vemi::HostTestSupport {

// argc and argv for a command's entry point, the texts kept alive with them.
class Arguments {
public:
    Arguments(std::vector<std::string> args) : args_(std::move(args)) {
        for (std::string& arg : args_) pointers_.push_back(arg.data());
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    [[nodiscard]] int count() const noexcept { return static_cast<int>(pointers_.size()); }
    [[nodiscard]] char** data() noexcept { return pointers_.data(); }

private:
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};

// What a command answered and printed.
struct Outcome {
    int status = 0;
    std::string out, err;
};

// A file's whole text; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace Vemi::HostTestSupport
