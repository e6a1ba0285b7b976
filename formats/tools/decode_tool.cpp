// The "decode" command: reads a document and prints its canonical text.
#include <kav/formats/decode_tool.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include <kav/formats/canonical_text.h>
#include <kav/formats/content_type.h>
#include <kav/formats/json_reader.h>
#include <kav/formats/msgpack_reader.h>
#include <kav/formats/yaml_reader.h>

namespace Vemi::Formats {

namespace {

constexpr const char* kUsage =
    "usage: decode --type CONTENT_TYPE [FILE]\n"
    "  CONTENT_TYPE: application/json, application/x-msgpack or application/x-yaml, matched\n"
    "  as the plugin matches a body's (\"application/json; charset=utf-8\" is JSON).\n"
    "  Reads FILE (standard input without FILE) and prints the decoded value.\n";

// A bad command line exits 2, as every command of kav-host does.
int UsageError(std::FILE* err, const std::string& message) {
    std::fprintf(err, "error: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool ReadAll(std::FILE* in, std::string& data) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) != 0) data.append(buffer, n);
    return std::ferror(in) == 0;
}

}  // namespace

int RunDecode(int argc, char** argv, std::FILE* out, std::FILE* err) {
    const char* type = nullptr;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, out);
            return 0;
        }
        if (arg == "--type") {
            if (i + 1 == argc) return UsageError(err, "--type needs a content type");
            type = argv[++i];
        } else if (arg.starts_with("--type=")) {
            type = argv[i] + 7;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError(err, "unknown option " + std::string(arg));
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            return UsageError(err, "more than one file given");
        }
    }
    if (type == nullptr) return UsageError(err, "--type is required");
    const BodyFormat format = BodyFormatOf(type);
    if (format == BodyFormat::Unsupported) return UsageError(err, "unsupported content type " + std::string(type));

    std::string data;
    const bool fromStdin = path == nullptr || std::strcmp(path, "-") == 0;
    // Our own words for a directory: Linux opens one and fails its first read, Windows
    // refuses to open it ("Permission denied").
    std::error_code typeError;
    if (!fromStdin && std::filesystem::is_directory(path, typeError)) {
        std::fprintf(err, "error: cannot read %s: Is a directory\n", path);
        return 2;
    }
    std::FILE* in = fromStdin ? stdin : std::fopen(path, "rb");
    // Input that cannot be read exits 2, as a bad command line does.
    if (in == nullptr) {
        std::fprintf(err, "error: cannot open %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    errno = 0;
    const bool read = ReadAll(in, data);
    const int readError = errno;
    if (!fromStdin) std::fclose(in);
    if (!read) {
        std::fprintf(err, "error: cannot read %s: %s\n", fromStdin ? "standard input" : path,
                     std::strerror(readError != 0 ? readError : EIO));
        return 2;
    }

    Binding::BindingResult result;
    switch (format) {
        case BodyFormat::Json:
            result = DecodeJson(data.data(), data.size());
            break;
        case BodyFormat::Yaml:
            result = DecodeYaml(data.data(), data.size());
            break;
        case BodyFormat::MessagePack: {
            size_t consumed = 0;
            result = DecodeMessagePack(data.data(), data.size(), &consumed);
            if (result.Ok() && consumed != data.size()) {
                std::fprintf(err, "error: Extra MessagePack data found at position %zu.\n", consumed);
                return 1;
            }
            break;
        }
        case BodyFormat::Unsupported:
            break;
    }
    if (!result.Ok()) {
        std::fprintf(err, "error: %s\n", result.ErrorMessage());
        return 1;
    }
    const std::string text = CanonicalText(result.value);
    std::fprintf(out, "%s\n", text.c_str());
    return std::fflush(out) == 0 ? 0 : 1;
}

}  // namespace Vemi::Formats
