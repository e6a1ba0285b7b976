// GCC 12 reports false "may be used uninitialized" warnings inside the
// regular-expression compiler of libstdc++ when built with sanitizers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <kav/api/route.h>

#include <cctype>
#include <exception>

#include <kav/logging/log.h>

namespace Vemi::Api {
namespace {

// Results of the method prefix are capped like any formatted message.
constexpr size_t kFormatLimit = 4095;

// The regular-expression compiler recurses once per pattern element, so a
// longer pattern could exhaust a thread's stack; real routes stay far below.
constexpr size_t kMaxPatternLength = 1024;

constexpr bool IsNameSeparator(char c) {
    return c == '!' || c == '+' || c == '-' || c == '.' || c == '/' || c == '_';
}

constexpr bool IsPatternSpecial(char c) {
    switch (c) {
        case '^': case '$': case '.': case '*': case '+': case '?':
        case '(': case ')': case '[': case ']': case '|': case '\\':
            return true;
        default:
            return false;
    }
}

// 16 for a character that is no hexadecimal digit.
constexpr unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 16;
}

struct Translation {
    TemplateTranslation result;
    std::string prefix;  // literal text before the first parameter
    std::string suffix;  // literal text after the last parameter
    std::vector<std::string> runs;  // literal text before each parameter, then after the last
    size_t literalLength = 0;
};

Translation Translate(std::string_view routeTemplate) {
    Translation t;
    if (routeTemplate.find('{') == std::string_view::npos) return t;
    t.result.literal = false;
    std::string& pattern = t.result.patternText;
    pattern.reserve(routeTemplate.size() + 16);
    std::string run;  // literal characters since the last parameter
    bool first = true;
    bool inside = false;
    CaptureKind kind = CaptureKind::Simple;
    std::string name;
    auto literal = [&](char c) {
        run += c;
        ++t.literalLength;
    };
    for (char c : routeTemplate) {
        if (!inside) {
            if (c == '{') {
                inside = true;
                kind = CaptureKind::Simple;
                name.clear();
                continue;
            }
            if (IsPatternSpecial(c)) pattern += '\\';
            pattern += c;
            literal(c);
            continue;
        }
        if (c == '}') {
            switch (kind) {
                case CaptureKind::Simple: pattern += "([^/]*)"; break;
                case CaptureKind::Reserved: pattern += "(.*)"; break;
                case CaptureKind::Fragment: pattern += "#(.*)"; literal('#'); break;
            }
            if (first) t.prefix = run;
            first = false;
            t.runs.push_back(std::move(run));
            run.clear();
            t.result.captures.push_back({kind, std::move(name)});
            name.clear();
            inside = false;
        } else if ((c == '+' || c == '#') && name.empty() && kind == CaptureKind::Simple) {
            kind = c == '+' ? CaptureKind::Reserved : CaptureKind::Fragment;
        } else if (c == '{') {
            kind = CaptureKind::Simple;
        } else {
            name += c;
        }
    }
    t.runs.push_back(run);
    if (first) {
        t.prefix = std::move(run);  // no parameter closed: all of it is literal
    } else {
        t.suffix = std::move(run);
    }
    return t;
}

}  // namespace

std::string DeriveFunctionName(std::string_view methodText, std::string_view path) {
    // TODO: build the prefix with PositionalFormat("%1%2/") once kav/logging/positional_format.h lands.
    std::string text;
    if (!methodText.empty()) {
        text += methodText.front();
        for (char c : methodText.substr(1)) text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        text += '/';
        if (text.size() > kFormatLimit) text.resize(kFormatLimit);
    }
    text += path;

    std::string name;
    name.reserve(text.size() + 8);
    bool capitalise = true;
    for (char c : text) {
        if (IsNameSeparator(c)) {
            capitalise = true;
        } else if (c == '{') {
            name += "By";
            capitalise = true;
        } else if (c != '}') {
            name += capitalise ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            capitalise = false;
        }
    }
    return name;
}

std::string NormalizeEndpointPath(std::string_view path) {
    if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else if (text.size() - i > 2) {
            unsigned byte = ((HexValue(text[i + 1]) * 16) & 0xFF) | HexValue(text[i + 2]);
            out += static_cast<char>(byte);
            i += 2;
        }
        // A "%" too close to the end is dropped.
    }
    return out;
}

TemplateTranslation TranslateTemplate(std::string_view routeTemplate) {
    return Translate(routeTemplate).result;
}

RoutePattern::RoutePattern(std::string_view routeTemplate) noexcept {
    try {
        Translation t = Translate(routeTemplate);
        literal_ = t.result.literal;
        if (literal_) {
            text_ = routeTemplate;
            valid_ = true;
            return;
        }
        text_ = std::move(t.result.patternText);
        captures_ = std::move(t.result.captures);
        prefix_ = std::move(t.prefix);
        suffix_ = std::move(t.suffix);
        minLength_ = t.literalLength;
        segmentsOnly_ = true;
        for (size_t i = 0; i < captures_.size(); ++i) {
            const std::string& next = t.runs[i + 1];
            const bool last = i + 1 == captures_.size();
            if (captures_[i].kind != CaptureKind::Simple || (next.empty() ? !last : next[0] != '/')) {
                segmentsOnly_ = false;
            }
        }
        if (segmentsOnly_) runs_ = std::move(t.runs);
        if (text_.size() > kMaxPatternLength) {
            Trace("Route template '%.*s' is too long to compile", static_cast<int>(routeTemplate.size()),
                  routeTemplate.data());
            return;
        }
        // The polynomial (breadth-first) executor keeps deep recursion off the
        // stack on long paths, where the default one overflows it.
        auto flags = std::regex::ECMAScript | std::regex::optimize;
#ifdef __GLIBCXX__
        flags |= std::regex_constants::__polynomial;
#endif
        regex_.assign(text_, flags);
        valid_ = true;
    } catch (const std::exception& e) {
        Trace("Route template '%.*s' cannot be compiled: %s", static_cast<int>(routeTemplate.size()),
              routeTemplate.data(), e.what());
        valid_ = false;
    } catch (...) {
        valid_ = false;
    }
}

bool RoutePattern::MatchSegments(std::string_view path, PathParameters& parameters) const {
    struct ClearUnlessMatched {
        PathParameters& parameters;
        bool matched = false;
        ~ClearUnlessMatched() {
            if (!matched) parameters.clear();
        }
    } guard{parameters};
    size_t position = runs_[0].size();
    for (size_t i = 0; i < captures_.size(); ++i) {
        size_t end = path.find('/', position);
        if (end == std::string_view::npos) end = path.size();
        const std::string& next = runs_[i + 1];
        if (path.compare(end, next.size(), next) != 0) return false;
        parameters.insert_or_assign(captures_[i].name, PercentDecode(path.substr(position, end - position)));
        position = end + next.size();
    }
    guard.matched = position == path.size();
    return guard.matched;
}

bool RoutePattern::Match(std::string_view path, PathParameters& parameters) const {
    parameters.clear();
    if (!valid_) return false;
    if (literal_) return path == text_;
    if (path.size() < minLength_ || !path.starts_with(prefix_) || !path.ends_with(suffix_)) return false;
    if (segmentsOnly_) return MatchSegments(path, parameters);
    try {
        std::match_results<std::string_view::const_iterator> groups;
        if (!std::regex_match(path.begin(), path.end(), groups, regex_)) return false;
        for (size_t i = 0; i < captures_.size(); ++i) {
            const auto& group = groups[i + 1];
            if (!group.matched) {
                parameters.clear();
                return false;
            }
            parameters.insert_or_assign(captures_[i].name,
                                        PercentDecode(std::string_view(group.first, group.second)));
        }
        return true;
    } catch (const std::regex_error&) {
        // The matcher gave up on this path (its own limits): the pattern takes it not.
        parameters.clear();
        return false;
    } catch (...) {
        parameters.clear();
        throw;
    }
}

}  // namespace Vemi::Api
