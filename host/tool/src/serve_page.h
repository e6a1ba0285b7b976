// The page of kav-host serve, embedded in the binary (generated from host/tool/web/).
#pragma once

#include <span>
#include <string_view>

namespace Vemi::HostTool {

struct PageFile {
    std::string_view path;  // "/" for the page itself
    std::string_view contentType;
    std::string_view body;
};

[[nodiscard]] std::span<const PageFile> PageFiles() noexcept;

}  // namespace Vemi::HostTool
