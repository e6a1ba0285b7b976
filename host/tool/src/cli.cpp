#include <kav/host_tool/cli.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace Vemi::HostTool {

bool CommandLine::Has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(), [&](const auto& option) { return option.first == name; });
}

std::optional<std::string> CommandLine::Value(std::string_view name) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return std::nullopt;
}

std::string ParseCommandLine(int argc, char* const* argv, std::span<const OptionSpec> specs, CommandLine& line) {
    bool optionsDone = false;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            line.arguments.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            line.help = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
        }
        const OptionSpec* spec = nullptr;
        for (const OptionSpec& candidate : specs) {
            if (name == candidate.name || (!candidate.shortName.empty() && name == candidate.shortName)) spec = &candidate;
        }
        if (spec == nullptr) {
            std::vector<std::string_view> names{"--help"};
            for (const OptionSpec& candidate : specs) names.push_back(candidate.name);
            return "unknown option " + Quote(name) + DidYouMean(name, names);
        }
        std::string value;
        if (!spec->value.empty()) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < argc && argv[i + 1] != nullptr) {
                value = argv[++i];
            }
            if (value.empty()) return std::string(spec->name) + " needs a " + std::string(spec->value);
        } else if (inlineValue) {
            return std::string(spec->name) + " takes no value";
        }
        line.options.emplace_back(std::string(spec->name), std::move(value));
    }
    return {};
}

int UsageError(std::ostream& err, std::string_view command, std::string_view message) {
    err << "kav-host: " << message << "\nTry 'kav-host " << command << (command.empty() ? "" : " ") << "--help'.\n";
    return kExitUsage;
}

void ErrorLine(std::ostream& err, std::string_view message) { err << "kav-host: " << message << '\n'; }

std::string AsMessage(std::string_view message) {
    std::string text = Printable(message);
    bool acronym = text.size() > 1 && std::isupper(static_cast<unsigned char>(text[1]));
    if (!text.empty() && !acronym && std::isupper(static_cast<unsigned char>(text[0]))) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string Quote(std::string_view text) { return '\'' + Printable(text) + '\''; }

std::string Count(size_t count, std::string_view singular, std::string_view plural) {
    std::string text = std::to_string(count) + ' ';
    if (count == 1) return text + std::string(singular);
    if (plural.empty()) return text + std::string(singular) + 's';
    return text + std::string(plural);
}

namespace {

bool SameLetter(char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
}

// Edit distance in half steps: a change of letter case costs 1, any other edit (a swap of
// two neighbours included) 2.
size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = 2 * i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = 2 * j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            char x = a[i - 1], y = b[j - 1];
            size_t change = x == y ? 0 : SameLetter(x, y) ? 1 : 2;
            d[i][j] = std::min({d[i - 1][j] + 2, d[i][j - 1] + 2, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && SameLetter(x, b[j - 2]) && SameLetter(a[i - 2], y)) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 2);
        }
    }
    return d[a.size()][b.size()];
}

// Letters two words share at their start, letter case aside.
size_t CommonPrefix(std::string_view a, std::string_view b) {
    size_t n = 0;
    while (n < a.size() && n < b.size() && SameLetter(a[n], b[n])) ++n;
    return n;
}

}  // namespace

std::string_view Nearest(std::string_view word, std::span<const std::string_view> candidates) {
    if (word.empty() || word.size() > 64) return {};
    std::string_view best;
    size_t bestDistance = SIZE_MAX;
    for (std::string_view candidate : candidates) {
        size_t distance = Distance(word, candidate);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = candidate;
        }
    }
    if (bestDistance == 0) return {};
    // A word that differs only in letter case always qualifies; else a typo: one edit in
    // short words, about one in three letters in longer ones.
    bool caseOnly = word.size() == best.size() && std::equal(word.begin(), word.end(), best.begin(), SameLetter);
    size_t allowed = 2 * std::max<size_t>(1, std::min(word.size(), best.size()) / 3);
    if (caseOnly || bestDistance <= allowed) return best;
    // Else a word that starts as one candidate does ("Warning", "replies"): four letters
    // at least, and no other candidate starting as long.
    std::string_view prefixed;
    size_t longest = 0;
    bool tie = false;
    for (std::string_view candidate : candidates) {
        size_t common = CommonPrefix(word, candidate);
        if (common > longest) {
            longest = common;
            prefixed = candidate;
            tie = false;
        } else if (common == longest) {
            tie = true;
        }
    }
    return longest >= 4 && !tie ? prefixed : std::string_view();
}

std::string DidYouMean(std::string_view word, std::span<const std::string_view> candidates) {
    std::string_view nearest = Nearest(word, candidates);
    if (nearest.empty()) return {};
    return " (did you mean " + Quote(nearest) + "?)";
}

std::string ReadTextFile(const std::string& path, std::string& text) {
    text.clear();
    // Our own words for a directory: Linux opens one and fails its first read, Windows
    // refuses to open it ("Permission denied").
    std::error_code typeError;
    if (std::filesystem::is_directory(path, typeError)) return "Is a directory";
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::strerror(errno != 0 ? errno : ENOENT);
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) != 0) text.append(buffer, n);
    int error = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(file);
    if (error != 0) {
        text.clear();
        return std::strerror(error);
    }
    return {};
}

bool ColorWanted(bool terminal, const char* noColor) noexcept {
    return terminal && (noColor == nullptr || *noColor == '\0');
}

bool ColorMode(std::string_view when) noexcept { return when == "auto" || when == "always" || when == "never"; }

bool ColorWanted(std::string_view when, bool terminal, const char* noColor) noexcept {
    return when == "always" || (when != "never" && ColorWanted(terminal, noColor));
}

}  // namespace Vemi::HostTool
