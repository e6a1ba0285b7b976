#include <kav/host_tool/scenario.h>

#include <kav/host_tool/cli.h>
#include <kav/host_tool/value_text.h>

#include <kav/host_abi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <functional>

namespace Vemi::HostTool {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Takes the next blank-separated word off the front of rest.
std::string_view NextWord(std::string_view& rest) {
    rest = Trim(rest);
    size_t end = 0;
    while (end < rest.size() && !IsSpace(rest[end])) ++end;
    std::string_view word = rest.substr(0, end);
    rest = Trim(rest.substr(end));
    return word;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

constexpr std::string_view kLevels[] = {"Okay", "Warn", "Error", "Always"};
constexpr std::string_view kStepWords[] = {"initialize", "request", "session", "publish", "expect", "host", "skip"};
constexpr std::string_view kSkipWords[] = {"calls", "events", "requests", "logs"};
constexpr std::string_view kExpectWords[] = {"reply", "event", "request", "log", "phase", "no"};
constexpr std::string_view kReplyWords[] = {"ok", "status", "error", "body", "http"};
constexpr std::string_view kNoWords[] = {"event", "request", "log", "session"};
constexpr std::string_view kMethods[] = {"DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT"};

// ", got 'WORD'" when there is a word.
std::string Got(std::string_view word) { return word.empty() ? std::string() : ", got " + Quote(word); }

// A physical line and a column in characters.
struct Position {
    int line = 0;
    size_t column = 0;
};
using PositionOf = std::function<Position(size_t offset)>;

// Characters (UTF-8 sequences) in text: bytes that do not continue a sequence.
size_t CharactersIn(std::string_view text) {
    size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// What parsing a line, or a part of it, came to: nothing wrong, or what is.
struct [[nodiscard]] Parsed {
    std::optional<std::string> error;
};

Parsed Fail(std::string message) { return Parsed{std::move(message)}; }

// Parses one line into step.
class LineParser {
public:
    LineParser(std::string_view line, Step& step, const PositionOf& position, int& errorLine)
        : line_(line), step_(step), position_(position), errorLine_(errorLine) {}

    Parsed Parse(std::string_view rest);

private:
    // "at column C" (and the error's line) of a position inside part, a view into the line.
    std::string At(std::string_view part, size_t offset) const {
        Position where = position_(static_cast<size_t>(part.data() - line_.data()) + offset);
        errorLine_ = where.line;
        return "at column " + std::to_string(where.column);
    }
    Parsed Value(std::string_view text);
    Parsed Quoted(std::string_view text, std::string& out);
    Parsed Method(std::string_view word, const char* step);
    Parsed Phase(std::string_view word);
    Parsed Request(std::string_view rest);
    Parsed Session(std::string_view rest);
    Parsed Expect(std::string_view rest);
    Parsed ExpectReply(std::string_view rest);
    Parsed ExpectRequest(std::string_view rest);
    Parsed ExpectLog(std::string_view rest);
    Parsed ExpectNo(std::string_view rest);
    Parsed ExpectedValue(std::string_view rest);
    Parsed HostStub(std::string_view rest);
    Parsed Skip(std::string_view rest);
    // Nothing may follow after.
    static Parsed End(std::string_view rest, std::string_view after) {
        if (rest.empty()) return {};
        return Fail("unexpected text after " + Quote(after) + ": " + Quote(rest));
    }

    std::string_view line_;
    Step& step_;
    const PositionOf& position_;
    int& errorLine_;
};

// The step's value: kept with its canonical form.
Parsed LineParser::Value(std::string_view text) {
    ValueParse parsed = ParseValueText(text);
    if (!parsed.ok) return Fail("bad value " + At(text, parsed.column - 1) + ": " + Printable(parsed.error));
    // Shown as written: in the typed form, or in plain JSON.
    step_.expected = ValueText(parsed.value.get(), parsed.typed);
    step_.value = std::move(parsed.value);
    step_.marks = std::move(parsed.marks);
    step_.typed = parsed.typed;
    return {};
}

Parsed LineParser::Quoted(std::string_view text, std::string& out) {
    std::string error;
    size_t column = 0;
    if (ParseQuotedText(text, out, error, column)) return {};
    return Fail("bad text " + At(text, column - 1) + ": " + Printable(error));
}

Parsed LineParser::Method(std::string_view word, const char* step) {
    if (word.empty()) return Fail(std::string("'") + step + "' needs a method and a path");
    std::optional<uint32_t> method = MethodFromName(word);
    if (!method) {
        std::string hint = DidYouMean(word, kMethods);
        return Fail("unknown method " + Quote(word) + (hint.empty() ? " (DELETE, GET, HEAD, OPTIONS, PATCH, POST or PUT)" : hint));
    }
    step_.method = *method;
    return {};
}

Parsed LineParser::Phase(std::string_view word) {
    for (std::string_view phase : GameflowPhases()) {
        if (word == phase) {
            step_.text = phase;
            return {};
        }
    }
    return Fail("unknown phase " + Quote(word) + DidYouMean(word, GameflowPhases()));
}

Parsed LineParser::Parse(std::string_view rest) {
    std::string_view word = NextWord(rest);
    if (word == "initialize") {
        step_.kind = StepKind::Initialize;
        return End(rest, "initialize");
    }
    if (word == "request") return Request(rest);
    if (word == "session") return Session(rest);
    if (word == "publish") {
        step_.kind = StepKind::Publish;
        step_.text = NextWord(rest);
        if (step_.text.empty() || rest.empty()) return Fail("'publish' needs an event key and a value");
        return Value(rest);
    }
    if (word == "expect") return Expect(rest);
    if (word == "host") return HostStub(rest);
    if (word == "skip") return Skip(rest);
    return Fail("unknown step " + Quote(word) + DidYouMean(word, kStepWords));
}

Parsed LineParser::Request(std::string_view rest) {
    step_.kind = StepKind::Request;
    if (Parsed method = Method(NextWord(rest), "request"); method.error) return method;
    step_.path = NextWord(rest);
    if (step_.path.empty()) return Fail("'request' needs a path after the method");
    if (!rest.empty()) {
        step_.contentType = NextWord(rest);
        if (rest.empty()) return Fail("'request' needs a body after the content type " + Quote(step_.contentType));
        step_.body = std::string(rest);
    }
    return {};
}

Parsed LineParser::Session(std::string_view rest) {
    std::string_view phase = NextWord(rest);
    if (phase.empty()) return Fail("'session' needs a phase or 'delete'");
    if (Parsed end = End(rest, "session " + std::string(phase)); end.error) return end;
    if (phase == "delete") {
        step_.kind = StepKind::SessionDelete;
        return {};
    }
    step_.kind = StepKind::Session;
    return Phase(phase);
}

Parsed LineParser::Expect(std::string_view rest) {
    std::string_view what = NextWord(rest);
    if (what == "reply") return ExpectReply(rest);
    if (what == "event") {
        step_.kind = StepKind::ExpectEvent;
        step_.text = NextWord(rest);
        if (step_.text.empty()) return Fail("'expect event' needs an event key");
        if (rest.empty()) return {};
        return ExpectedValue(rest);
    }
    if (what == "request") return ExpectRequest(rest);
    if (what == "log") return ExpectLog(rest);
    if (what == "phase") {
        step_.kind = StepKind::ExpectPhase;
        std::string_view phase = NextWord(rest);
        if (phase.empty()) return Fail("'expect phase' needs a phase");
        if (Parsed end = End(rest, "expect phase " + std::string(phase)); end.error) return end;
        return Phase(phase);
    }
    if (what == "no") return ExpectNo(rest);
    if (what.empty()) return Fail("'expect' needs reply, event, request, log, phase or no");
    return Fail("unknown expectation " + Quote(what) + DidYouMean(what, kExpectWords));
}

Parsed LineParser::ExpectReply(std::string_view rest) {
    std::string_view aspect = NextWord(rest);
    if (aspect == "ok") {
        step_.kind = StepKind::ExpectReplyOk;
        return End(rest, "expect reply ok");
    }
    if (aspect == "status" || aspect == "http") {
        step_.kind = aspect == "http" ? StepKind::ExpectReplyHttp : StepKind::ExpectReplyStatus;
        std::string_view number = NextWord(rest);
        uint32_t status = 0;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), status);
        std::string form = "expect reply " + std::string(aspect);
        if (number.empty() || ec != std::errc() || end != number.data() + number.size()) {
            return Fail(Quote(form) + " needs a status number" + (number.empty() ? std::string() : Got(number)));
        }
        step_.number = status;
        return End(rest, form + ' ' + std::string(number));
    }
    if (aspect == "error") {
        step_.kind = StepKind::ExpectReplyError;
        if (rest.empty()) return Fail("'expect reply error' needs the error text in quotes");
        return Quoted(rest, step_.text);
    }
    if (aspect == "body") {
        step_.kind = StepKind::ExpectReplyBody;
        if (rest.empty()) return Fail("'expect reply body' needs a value");
        return ExpectedValue(rest);
    }
    return Fail("'expect reply' needs ok, status N, http N, error \"TEXT\" or body VALUE" + Got(aspect) +
                DidYouMean(aspect, kReplyWords));
}

Parsed LineParser::ExpectRequest(std::string_view rest) {
    step_.kind = StepKind::ExpectRequest;
    if (Parsed method = Method(NextWord(rest), "expect request"); method.error) return method;
    step_.path = NextWord(rest);
    if (step_.path.empty()) return Fail("'expect request' needs a url after the method");
    if (rest.empty()) return {};
    if (Parsed value = Value(rest); value.error) return value;
    if (step_.value.kind() != HOST_VALUE_COLLECTION) {
        return Fail("'expect request' needs the body arguments as a list [...], got " + Printable(*step_.expected));
    }
    return {};
}

Parsed LineParser::ExpectLog(std::string_view rest) {
    step_.kind = StepKind::ExpectLog;
    std::string_view level = NextWord(rest);
    step_.number = -1;
    for (size_t i = 0; i < std::size(kLevels); ++i) {
        if (EqualsNoCase(level, kLevels[i])) step_.number = static_cast<int64_t>(i);
    }
    if (step_.number < 0) {
        return Fail("'expect log' needs a level (Okay, Warn, Error or Always)" + Got(level) + DidYouMean(level, kLevels));
    }
    if (rest.empty()) return Fail("'expect log' needs the message in quotes after the level");
    return Quoted(rest, step_.text);
}

Parsed LineParser::ExpectNo(std::string_view rest) {
    std::string_view thing = NextWord(rest);
    if (thing == "event") {
        step_.kind = StepKind::ExpectNoEvent;
    } else if (thing == "request") {
        step_.kind = StepKind::ExpectNoRequest;
    } else if (thing == "log") {
        step_.kind = StepKind::ExpectNoLog;
    } else if (thing == "session") {
        step_.kind = StepKind::ExpectNoSession;
    } else {
        return Fail("'expect no' needs event, request, log or session" + Got(thing) + DidYouMean(thing, kNoWords));
    }
    return End(rest, "expect no " + std::string(thing));
}

// An expected value, or "contains" and one.
Parsed LineParser::ExpectedValue(std::string_view rest) {
    std::string_view after = rest;
    if (NextWord(after) == "contains") {
        if (after.empty()) return Fail("'contains' needs a value");
        step_.subset = true;
        rest = after;
    }
    return Value(rest);
}

// host METHOD PATH => STATUS [VALUE | error "TEXT"]
Parsed LineParser::HostStub(std::string_view rest) {
    step_.kind = StepKind::HostStub;
    if (Parsed method = Method(NextWord(rest), "host"); method.error) return method;
    step_.path = NextWord(rest);
    if (step_.path.empty() || step_.path == "=>") return Fail("'host' needs a path after the method");
    std::string_view arrow = NextWord(rest);
    if (arrow != "=>") return Fail("'host METHOD PATH' needs '=> STATUS' after the path" + Got(arrow));
    std::string_view number = NextWord(rest);
    uint32_t status = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), status);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size()) {
        return Fail("'host' needs a status number after '=>'" + Got(number));
    }
    step_.number = status;
    if (rest.empty()) return {};
    std::string_view after = rest;
    if (NextWord(after) == "error") {
        if (after.empty()) return Fail("'host ... error' needs the error text in quotes");
        step_.stubError.emplace();
        return Quoted(after, *step_.stubError);
    }
    return Value(rest);
}

Parsed LineParser::Skip(std::string_view rest) {
    step_.kind = StepKind::Skip;
    std::string_view what = NextWord(rest);
    if (std::find(std::begin(kSkipWords), std::end(kSkipWords), what) == std::end(kSkipWords)) {
        return Fail("'skip' needs calls, events, requests or logs" + Got(what) + DidYouMean(what, kSkipWords));
    }
    step_.text = what;
    return End(rest, "skip " + std::string(what));
}

}  // namespace

bool IsExpectation(StepKind kind) noexcept { return kind >= StepKind::ExpectReplyOk; }

std::optional<uint32_t> MethodFromName(std::string_view name) noexcept {
    struct Known {
        std::string_view name;
        uint32_t method;
    };
    static constexpr Known kMethods[] = {{"DELETE", API_METHOD_DELETE}, {"GET", API_METHOD_GET},
                                         {"HEAD", API_METHOD_HEAD},     {"OPTIONS", API_METHOD_OPTIONS},
                                         {"PATCH", API_METHOD_PATCH},   {"POST", API_METHOD_POST},
                                         {"PUT", API_METHOD_PUT}};
    for (const Known& known : kMethods) {
        if (known.name == name) return known.method;
    }
    return std::nullopt;
}

const std::vector<std::string_view>& GameflowPhases() {
    static const std::vector<std::string_view> kPhases = {
        "None",       "Lobby",      "Matchmaking",   "CheckedIntoTournament", "ReadyCheck",
        "ChampSelect", "GameStart", "FailedToLaunch", "InProgress",           "Reconnect",
        "WaitingForStats", "PreEndOfGame", "EndOfGame", "TerminatedInError"};
    return kPhases;
}

namespace {

// The step as echoed in a transcript: an expected value longer than this is cut.
constexpr size_t kShownValue = 40;

std::string Shown(const Step& step, std::string_view source) {
    bool hasValue = step.expected && IsExpectation(step.kind);
    if (!hasValue || step.expected->size() <= kShownValue) return std::string(source);
    char open = step.value.kind() == HOST_VALUE_COLLECTION ? '[' : step.value.kind() == HOST_VALUE_STRUCTURE ? '{' : 0;
    if (open == 0) return std::string(source);
    size_t at = source.find(open);
    if (at == std::string_view::npos) return std::string(source);
    return std::string(source.substr(0, at)) + (open == '[' ? "[...]" : "{...}");
}

LineParse ParseWith(std::string_view line, int lineNumber, const PositionOf& position) {
    LineParse result;
    std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') return result;
    Step step;
    step.line = lineNumber;
    step.source = text;
    int errorLine = lineNumber;
    LineParser parser(line, step, position, errorLine);
    Parsed parsed = parser.Parse(text);
    if (parsed.error) {
        result.error = ParseError{errorLine, std::move(*parsed.error)};
    } else {
        step.shown = Shown(step, text);
        result.step = std::move(step);
    }
    return result;
}

// A piece of a continued step: where it starts in the joined text and in its line.
struct Piece {
    size_t joinedStart;
    int line;
    std::string_view physical;
    size_t physicalStart;
};

}  // namespace

std::span<const std::string_view> StepWords() noexcept { return kStepWords; }

LineParse ParseLine(std::string_view line, int lineNumber) {
    PositionOf position = [&](size_t offset) {
        return Position{lineNumber, CharactersIn(line.substr(0, std::min(offset, line.size()))) + 1};
    };
    return ParseWith(line, lineNumber, position);
}

Scenario ParseScenario(std::string_view text, std::string name) {
    Scenario scenario;
    scenario.name = std::move(name);
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    int firstInitialize = 0;
    int lineNumber = 0;
    std::string joined;  // a step continued over lines ending in a backslash
    std::vector<Piece> pieces;
    int stepLine = 0;
    PositionOf position = [&](size_t offset) {
        const Piece* piece = &pieces.front();
        for (const Piece& candidate : pieces) {
            if (candidate.joinedStart <= offset) piece = &candidate;
        }
        size_t byte = std::min(piece->physicalStart + (offset - piece->joinedStart), piece->physical.size());
        return Position{piece->line, CharactersIn(piece->physical.substr(0, byte)) + 1};
    };
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        // The newline that ends the last line is not the start of another.
        if (line.empty() && start > text.size() && joined.empty() && lineNumber > 1) break;
        std::string_view trimmed = Trim(line);
        size_t trimmedStart = static_cast<size_t>(trimmed.data() - line.data());
        bool comment = joined.empty() && !trimmed.empty() && trimmed.front() == '#';
        bool continues = !comment && !trimmed.empty() && trimmed.back() == '\\';
        if (joined.empty()) {
            stepLine = lineNumber;
            pieces.clear();
        }
        if (continues) {
            // Nothing but the newline after it: the step runs off the end.
            bool last = start >= text.size();
            std::string_view part = Trim(trimmed.substr(0, trimmed.size() - 1));
            if (pieces.empty()) {
                // The first line keeps its indentation, so its columns count from its start.
                joined.assign(line.substr(0, trimmedStart));
            }
            pieces.push_back({joined.size(), lineNumber, line, trimmedStart});
            joined += part;
            joined += ' ';
            if (!last) continue;
            scenario.errors.push_back({lineNumber, "line " + std::to_string(lineNumber) + " continues past the end of the file"});
            joined.clear();
            continue;
        }
        std::string_view whole = line;
        if (!joined.empty()) {
            pieces.push_back({joined.size(), lineNumber, line, trimmedStart});
            joined += trimmed;
            whole = joined;
        } else {
            pieces.push_back({0, lineNumber, line, 0});
        }
        LineParse parsed = ParseWith(whole, stepLine, position);
        joined.clear();
        if (parsed.error) scenario.errors.push_back(std::move(*parsed.error));
        if (!parsed.step) continue;
        if (parsed.step->kind == StepKind::Initialize) {
            if (firstInitialize != 0) {
                scenario.errors.push_back({stepLine, "the plugin is initialized once, at line " + std::to_string(firstInitialize)});
                continue;
            }
            firstInitialize = stepLine;
        }
        scenario.steps.push_back(std::move(*parsed.step));
    }
    return scenario;
}

std::string FormatError(const std::string& name, const ParseError& error) {
    return Printable(name) + ':' + std::to_string(error.line) + ": " + error.message;
}

}  // namespace Vemi::HostTool
