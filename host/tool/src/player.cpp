#include <kav/host_tool/player.h>

#include <kav/host_tool/serve.h>
#include <kav/host_tool/value_text.h>

#include <kav/platform/platform.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Vemi::HostTool {
namespace {

using Host::Entry;
using Host::EntryKind;

// The plugin's log lines, without its trace lines: those are not part of what it logs.
std::vector<Entry> PluginLogs(const Host::Transcript& transcript) {
    std::vector<Entry> logs = transcript.Logs();
    std::erase_if(logs, IsTraceLine);
    return logs;
}

std::string TimeStamp() {
    Platform::LocalTime t = Platform::GetLocalTime();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    return buffer;
}

const char* LevelWord(int64_t level) {
    static constexpr const char* kWords[] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};
    return level >= 0 && level < 4 ? kWords[level] : "LEVEL?";
}

struct Mismatch {
    std::string expected;
    std::string actual;
    std::optional<ValueDifference> at;  // where two values first differ
};

class Player {
public:
    Player(Host::Host& host, const Scenario& scenario, std::ostream& out, std::ostream& err, const PlayOptions& options)
        : host_(host), scenario_(scenario), out_(out), err_(err), options_(options) {
        // Log lines are stamped when the host receives them.
        host_.SetLogSink([stamps = stamps_](int32_t, std::string_view) {
            std::lock_guard lock(stamps->mutex);
            stamps->texts.push_back(TimeStamp());
        });
    }
    ~Player() { host_.SetLogSink(nullptr); }
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    PlayResult Play();

private:
    struct Stamps {
        std::mutex mutex;
        std::vector<std::string> texts;
    };

    void PrintNewEntries();
    void PrintLine(const std::string& line);
    void PrintStep(const Step& step);
    void Report(const std::string& text);
    bool Initialize(const Step* step);
    std::vector<std::string> Unread();
    bool Perform(const Step& step);
    void Skip(std::string_view what);
    bool Verify(const Step& step);
    std::optional<std::vector<std::string>> Snapshot(const Step& step, size_t event, size_t request, size_t log);
    bool AllExpected();
    std::optional<Mismatch> Check(const Step& step);
    std::optional<Mismatch> CheckReply(const Step& step);
    std::optional<Mismatch> CheckEvent(const Step& step);
    std::optional<Mismatch> CheckRequest(const Step& step);
    std::optional<Mismatch> CheckLog(const Step& step);
    std::string Where(int line) const { return Printable(scenario_.name) + ':' + std::to_string(line); }

    Host::Host& host_;
    const Scenario& scenario_;
    std::ostream& out_;
    std::ostream& err_;
    PlayOptions options_;
    std::shared_ptr<Stamps> stamps_ = std::make_shared<Stamps>();
    size_t printed_ = 0;   // transcript entries printed
    size_t logsSeen_ = 0;  // log entries among them
    std::optional<Host::ReplyData> lastReply_;
    size_t nextEvent_ = 0, nextRequest_ = 0, nextLog_ = 0;  // expectation cursors
    std::string failure_;  // everything reported on err_
    std::vector<Rewrite> rewrites_;
};

void Player::PrintLine(const std::string& line) {
    if (!options_.quiet && !line.empty()) out_ << line << '\n';
}

void Player::PrintStep(const Step& step) {
    if (!options_.quiet) out_ << Where(step.line) << ": " << Printable(step.shown) << '\n';
}

void Player::Report(const std::string& text) {
    out_.flush();
    err_ << text;
    err_.flush();
    failure_ += text;
}

void Player::PrintNewEntries() {
    std::vector<Entry> entries = host_.GetTranscript().Entries();
    for (; printed_ < entries.size(); ++printed_) {
        const Entry& entry = entries[printed_];
        std::string stamp;
        if (entry.kind == EntryKind::Log) {
            std::lock_guard lock(stamps_->mutex);
            if (logsSeen_ < stamps_->texts.size()) stamp = stamps_->texts[logsSeen_];
            ++logsSeen_;
        }
        PrintLine(TranscriptLine(entry, stamp, {options_.headers, options_.trace, options_.style}));
    }
    out_.flush();
}

bool Player::Initialize(const Step* step) {
    bool ok = host_.Initialize();
    PrintNewEntries();
    if (!ok) {
        Report((step ? Where(step->line) : scenario_.name) + ": " + options_.errStyle.Fail("initialize failed") + ": " +
               AsMessage(host_.LastError()) + '\n');
    }
    return ok;
}

std::string ReplyErrorText(const Host::ReplyData& reply) {
    return reply.hasError || !reply.error.empty() ? "error " + Host::QuoteText(reply.error) : "no error";
}

std::optional<Mismatch> Player::CheckReply(const Step& step) {
    Mismatch m;
    switch (step.kind) {
        case StepKind::ExpectReplyOk: m.expected = "no error"; break;
        case StepKind::ExpectReplyStatus: m.expected = "status " + std::to_string(step.number); break;
        case StepKind::ExpectReplyError: m.expected = "error " + Host::QuoteText(step.text); break;
        case StepKind::ExpectReplyHttp: m.expected = "HTTP " + std::to_string(step.number); break;
        default: m.expected = (step.subset ? "contains " : "") + *step.expected; break;
    }
    if (!lastReply_) {
        m.actual = "no reply (no request was sent yet)";
        return m;
    }
    const Host::ReplyData& reply = *lastReply_;
    switch (step.kind) {
        case StepKind::ExpectReplyOk:
            m.actual = ReplyErrorText(reply);
            if (m.actual != m.expected) m.actual += " (status " + std::to_string(reply.status) + ')';
            break;
        case StepKind::ExpectReplyStatus:
            m.actual = "status " + std::to_string(reply.status);
            if (m.actual != m.expected && AnswerFromReply(reply).status == step.number) {
                m.actual += " (the client receives HTTP " + std::to_string(step.number) + ": 'expect reply http " +
                            std::to_string(step.number) + "' checks that)";
            }
            break;
        case StepKind::ExpectReplyHttp: {
            unsigned http = AnswerFromReply(reply).status;
            if (http == step.number) return std::nullopt;
            m.actual = "HTTP " + std::to_string(http) + " (reply status " + std::to_string(reply.status) + ')';
            break;
        }
        case StepKind::ExpectReplyError: m.actual = ReplyErrorText(reply); break;
        default:
            m.actual = reply.body.Canonical();
            m.at = FirstDifference(step.value.get(), reply.body.get(), MatchRules{&step.marks, step.subset, !step.typed});
            return m.at ? std::optional<Mismatch>(m) : std::nullopt;
    }
    if (m.actual == m.expected) return std::nullopt;
    return m;
}

std::string RequestText(const Host::RequestData& request, bool withArguments) {
    std::string text = Host::MethodName(request.method, request.customMethod) + ' ' + request.path;
    if (withArguments) {
        std::vector<Host::OwnedValue> values;
        for (const Host::Argument& argument : request.arguments) values.push_back(argument.value);
        text += ' ' + Host::CollectionValue(std::move(values)).Canonical();
    }
    return text;
}

std::string LogText(const Entry& log) {
    return std::string(Host::LogLevelName(log.number)) + ' ' + Host::QuoteText(log.text);
}

std::optional<Mismatch> Player::CheckEvent(const Step& step) {
    Mismatch m;
    m.expected = step.text + (step.expected ? (step.subset ? " contains " : " ") + *step.expected : "");
    std::vector<Entry> events = host_.GetTranscript().Events();
    if (nextEvent_ >= events.size()) {
        m.actual = "no event";
        return m;
    }
    const Entry& event = events[nextEvent_++];
    m.actual = event.text + ' ' + event.payload.Canonical();
    if (event.text != step.text) return m;
    if (step.expected) m.at = FirstDifference(step.value.get(), event.payload.get(), MatchRules{&step.marks, step.subset, !step.typed});
    return m.at ? std::optional<Mismatch>(m) : std::nullopt;
}

std::optional<Mismatch> Player::CheckRequest(const Step& step) {
    Mismatch m;
    m.expected = Host::MethodName(step.method) + ' ' + step.path + (step.expected ? ' ' + *step.expected : "");
    std::vector<Entry> requests = host_.GetTranscript().Requests();
    if (nextRequest_ >= requests.size()) {
        m.actual = "no request";
        return m;
    }
    const Entry& request = requests[nextRequest_++];
    m.actual = RequestText(request.request, true);
    if (RequestText(request.request, false) != Host::MethodName(step.method) + ' ' + step.path) return m;
    if (step.expected) {
        std::vector<Host::OwnedValue> values;
        for (const Host::Argument& argument : request.request.arguments) values.push_back(argument.value);
        m.at = FirstDifference(step.value.get(), Host::CollectionValue(std::move(values)).get(),
                               MatchRules{&step.marks, false, !step.typed});
    }
    return m.at ? std::optional<Mismatch>(m) : std::nullopt;
}

std::optional<Mismatch> Player::CheckLog(const Step& step) {
    Mismatch m;
    m.expected = std::string(Host::LogLevelName(step.number)) + ' ' + Host::QuoteText(step.text);
    std::vector<Entry> logs = PluginLogs(host_.GetTranscript());
    if (nextLog_ >= logs.size()) {
        m.actual = "no log line";
        return m;
    }
    const Entry& log = logs[nextLog_++];
    m.actual = std::string(Host::LogLevelName(log.number)) + ' ' + Host::QuoteText(log.text);
    if (m.actual == m.expected) return std::nullopt;
    return m;
}

std::optional<Mismatch> Player::Check(const Step& step) {
    Host::Transcript& transcript = host_.GetTranscript();
    Mismatch m;
    switch (step.kind) {
        case StepKind::ExpectReplyOk:
        case StepKind::ExpectReplyStatus:
        case StepKind::ExpectReplyError:
        case StepKind::ExpectReplyBody:
        case StepKind::ExpectReplyHttp:
            return CheckReply(step);
        case StepKind::ExpectEvent: return CheckEvent(step);
        case StepKind::ExpectRequest: return CheckRequest(step);
        case StepKind::ExpectLog: return CheckLog(step);
        case StepKind::ExpectPhase:
        case StepKind::ExpectNoSession: {
            m.expected = step.kind == StepKind::ExpectPhase ? "phase " + step.text : "no session";
            std::optional<std::string> phase = host_.SessionPhase();
            m.actual = phase ? "phase " + *phase : "no session";
            if (m.actual == m.expected) return std::nullopt;
            return m;
        }
        case StepKind::ExpectNoEvent: {
            std::vector<Entry> events = transcript.Events();
            if (nextEvent_ >= events.size()) return std::nullopt;
            const Entry& event = events[nextEvent_];
            return Mismatch{"no event", event.text + ' ' + event.payload.Canonical(), std::nullopt};
        }
        case StepKind::ExpectNoRequest: {
            std::vector<Entry> requests = transcript.Requests();
            if (nextRequest_ >= requests.size()) return std::nullopt;
            return Mismatch{"no request", RequestText(requests[nextRequest_].request, true), std::nullopt};
        }
        case StepKind::ExpectNoLog: {
            std::vector<Entry> logs = PluginLogs(transcript);
            if (nextLog_ >= logs.size()) return std::nullopt;
            const Entry& log = logs[nextLog_];
            return Mismatch{"no log line", LogText(log), std::nullopt};
        }
        default:
            return std::nullopt;
    }
}

std::vector<std::string> Player::Unread() {
    Host::Transcript& transcript = host_.GetTranscript();
    std::vector<std::string> unread;
    std::vector<Entry> events = transcript.Events();
    for (size_t i = nextEvent_; i < events.size(); ++i) {
        unread.push_back("event " + events[i].text + ' ' + events[i].payload.Canonical());
    }
    std::vector<Entry> requests = transcript.Requests();
    for (size_t i = nextRequest_; i < requests.size(); ++i) unread.push_back("request " + RequestText(requests[i].request, true));
    std::vector<Entry> logs = PluginLogs(transcript);
    for (size_t i = nextLog_; i < logs.size(); ++i) unread.push_back("log " + LogText(logs[i]));
    return unread;
}

// Does what a step that is not an expectation says; false when initializing failed.
bool Player::Perform(const Step& step) {
    switch (step.kind) {
        case StepKind::Initialize: return Initialize(&step);
        case StepKind::Request: lastReply_ = AskPlugin(host_, RequestOf(step)); break;
        case StepKind::Session: host_.SetSessionPhase(step.text); break;
        case StepKind::SessionDelete: host_.DeleteSession(); break;
        case StepKind::Publish: host_.PublishEvent(step.text, step.value); break;
        case StepKind::HostStub: host_.StubRequest(step.method, step.path, StubReply(step)); break;
        case StepKind::Skip: Skip(step.text); break;
        default: break;
    }
    return true;
}

// What the plugin sent so far of a kind ("calls": every kind) counts as read.
void Player::Skip(std::string_view what) {
    Host::Transcript& transcript = host_.GetTranscript();
    bool all = what == "calls";
    if (all || what == "events") nextEvent_ = transcript.Events().size();
    if (all || what == "requests") nextRequest_ = transcript.Requests().size();
    if (all || what == "logs") nextLog_ = transcript.Logs().size();
}

// Checks an expectation and reports a mismatch; false when it is not met.
bool Player::Verify(const Step& step) {
    size_t event = nextEvent_, request = nextRequest_, log = nextLog_;
    std::optional<Mismatch> mismatch = Check(step);
    if (!mismatch) return true;
    if (options_.update) {
        if (std::optional<std::vector<std::string>> steps = Snapshot(step, event, request, log)) {
            rewrites_.push_back({step.line, std::move(*steps)});
            return true;
        }
    }
    const Style& style = options_.errStyle;
    std::string text = Where(step.line) + ": " + style.Fail("expectation failed") + '\n';
    // Where the values first differ, unless that is the whole value.
    if (mismatch->at && mismatch->at->path != "$") {
        text += "  " + Printable(mismatch->at->path) + ": expected " + Printable(mismatch->at->expected) +
                ", got " + Printable(mismatch->at->actual) + '\n';
    }
    text += WrapTranscriptLine("  expected: " + Printable(mismatch->expected), kTranscriptWidth, Style{}) + '\n';
    text += WrapTranscriptLine("  actual:   " + Printable(mismatch->actual), kTranscriptWidth, Style{}) + '\n';
    Report(text);
    return false;
}

// The steps that meet what was seen where step failed: event, request and log are the
// cursors before it. Nullopt when nothing was seen to write (no reply yet).
std::optional<std::vector<std::string>> Player::Snapshot(const Step& step, size_t event, size_t request, size_t log) {
    Host::Transcript& transcript = host_.GetTranscript();
    // The value seen, in the step's form; a step written in its place (for "expect no")
    // gets the whole value in plain JSON.
    bool inserted = false;
    auto value = [&](const Host::OwnedValue& seen) {
        if (inserted) return ' ' + ValueText(seen.get(), false);
        if (!step.expected) return std::string();
        std::string text = step.subset ? " contains " : " ";
        return text + ValueText(step.subset ? Project(step.value.get(), seen.get()).get() : seen.get(), step.typed);
    };
    auto eventStep = [&](const Entry& e) { return "expect event " + e.text + value(e.payload); };
    auto requestStep = [&](const Entry& e) {
        std::vector<Host::OwnedValue> values;
        for (const Host::Argument& argument : e.request.arguments) values.push_back(argument.value);
        return "expect request " + RequestText(e.request, false) + value(Host::CollectionValue(std::move(values)));
    };
    auto logStep = [&](const Entry& e) { return "expect log " + LogText(e); };
    // The unread ones from cursor on, then the step itself.
    auto unread = [&](const std::vector<Entry>& entries, size_t cursor, auto write) {
        inserted = true;
        std::vector<std::string> steps;
        for (size_t i = cursor; i < entries.size(); ++i) steps.push_back(write(entries[i]));
        steps.push_back(step.source);
        return steps;
    };
    switch (step.kind) {
        case StepKind::ExpectReplyOk:
        case StepKind::ExpectReplyStatus:
        case StepKind::ExpectReplyError:
        case StepKind::ExpectReplyBody:
        case StepKind::ExpectReplyHttp: {
            if (!lastReply_) return std::nullopt;
            const Host::ReplyData& reply = *lastReply_;
            bool error = reply.hasError || !reply.error.empty();
            if (step.kind == StepKind::ExpectReplyStatus) return std::vector{"expect reply status " + std::to_string(reply.status)};
            if (step.kind == StepKind::ExpectReplyHttp) {
                return std::vector{"expect reply http " + std::to_string(AnswerFromReply(reply).status)};
            }
            if (step.kind == StepKind::ExpectReplyBody) return std::vector{"expect reply body" + value(reply.body)};
            return std::vector{error ? "expect reply error " + Host::QuoteText(reply.error) : std::string("expect reply ok")};
        }
        case StepKind::ExpectEvent: {
            std::vector<Entry> events = transcript.Events();
            return std::vector{event < events.size() ? eventStep(events[event]) : std::string("expect no event")};
        }
        case StepKind::ExpectRequest: {
            std::vector<Entry> requests = transcript.Requests();
            return std::vector{request < requests.size() ? requestStep(requests[request]) : std::string("expect no request")};
        }
        case StepKind::ExpectLog: {
            std::vector<Entry> logs = transcript.Logs();
            return std::vector{log < logs.size() ? logStep(logs[log]) : std::string("expect no log")};
        }
        case StepKind::ExpectPhase:
        case StepKind::ExpectNoSession: {
            std::optional<std::string> phase = host_.SessionPhase();
            return std::vector{phase ? "expect phase " + *phase : std::string("expect no session")};
        }
        case StepKind::ExpectNoEvent: {
            std::vector<Entry> events = transcript.Events();
            nextEvent_ = events.size();
            return unread(events, event, eventStep);
        }
        case StepKind::ExpectNoRequest: {
            std::vector<Entry> requests = transcript.Requests();
            nextRequest_ = requests.size();
            return unread(requests, request, requestStep);
        }
        case StepKind::ExpectNoLog: {
            std::vector<Entry> logs = transcript.Logs();
            nextLog_ = logs.size();
            return unread(logs, log, logStep);
        }
        default: return std::nullopt;
    }
}

// --strict: every call of the plugin was expected; else reports those that were not.
bool Player::AllExpected() {
    const Style& style = options_.errStyle;
    std::vector<std::string> unread = Unread();
    if (unread.empty()) return true;
    std::string text = scenario_.name + ": " + style.Fail(Count(unread.size(), "call") + " of the plugin not expected") +
                       " (--strict)\n";
    for (const std::string& line : unread) text += "  " + Printable(line) + '\n';
    Report(text);
    return false;
}

PlayResult Player::Play() {
    auto started = std::chrono::steady_clock::now();
    bool explicitInitialize = false;
    size_t totalExpectations = 0;
    for (const Step& step : scenario_.steps) {
        explicitInitialize |= step.kind == StepKind::Initialize;
        totalExpectations += IsExpectation(step.kind);
    }
    const Style& style = options_.style;
    PrintNewEntries();
    int result = kExitPassed;
    std::string where;  // where a failure stopped the run
    size_t stepsDone = 0, met = 0;
    // Without an initialize step: before the first step that is not a host stub, so
    // stubs at the top answer what the plugin asks while it initialises.
    size_t initializeAt = scenario_.steps.size() + 1;
    if (!explicitInitialize) {
        initializeAt = 0;
        while (initializeAt < scenario_.steps.size() && scenario_.steps[initializeAt].kind == StepKind::HostStub) {
            ++initializeAt;
        }
    }
    for (size_t i = 0; result == kExitPassed && i <= scenario_.steps.size(); ++i) {
        if (i == initializeAt && !Initialize(nullptr)) {
            result = kExitFailed;
            where = "at initialize";
            break;
        }
        if (i == scenario_.steps.size()) break;
        const Step& step = scenario_.steps[i];
        PrintStep(step);
        bool ok = Perform(step);
        PrintNewEntries();
        if (ok && IsExpectation(step.kind)) {
            ok = Verify(step);
            met += ok ? 1 : 0;
        }
        if (!ok) {
            result = kExitFailed;
            where = "at line " + std::to_string(step.line);
            break;
        }
        ++stepsDone;
    }
    if (result == kExitPassed && options_.strict && !AllExpected()) {
        result = kExitFailed;
        where = "at the end";
    }

    if (!options_.quiet) out_ << scenario_.name << (result == kExitPassed ? ": end of scenario\n" : ": stopped\n");
    host_.Shutdown();
    PrintNewEntries();
    PlayResult played;
    played.status = result;
    size_t steps = scenario_.steps.size();
    if (result == kExitPassed) {
        played.summary = "passed (" + Count(steps, "step") + ", " + Count(met, "expectation") + " met)";
        out_ << scenario_.name << ": " << style.Pass(played.summary) << '\n';
    } else {
        std::string word = "FAILED " + where;
        played.summary = word + " (" + std::to_string(stepsDone) + " of " + Count(steps, "step") + ", " +
                         std::to_string(met) + " of " + Count(totalExpectations, "expectation") + " met)";
        out_ << scenario_.name << ": " << style.Fail(word) << played.summary.substr(word.size()) << '\n';
    }
    out_.flush();
    played.failure = failure_;
    played.rewrites = std::move(rewrites_);
    played.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return played;
}

}  // namespace

Host::HostReply StubReply(const Step& step) {
    Host::HostReply reply;
    reply.status = static_cast<uint32_t>(step.number);
    reply.error = step.stubError;
    reply.body = step.value;
    return reply;
}

std::string LogTimeStamp() { return TimeStamp(); }

bool IsTraceLine(const Host::Entry& entry) {
    return entry.kind == EntryKind::Log && entry.number == 0 && std::string_view(entry.text).starts_with(kTracePrefix);
}

std::string TranscriptLine(const Host::Entry& entry, std::string_view stamp, const TranscriptFormat& format) {
    std::string line = "  #" + std::to_string(entry.sequence) + " <- ";
    if (IsTraceLine(entry)) {
        if (!format.trace) return {};
        line += "trace " + Printable(std::string_view(entry.text).substr(kTracePrefix.size()));
    } else if (entry.kind == EntryKind::Log) {
        line += "log " + FormatLogLine(stamp, entry.number, entry.text);
    } else {
        Host::EntryFormat shown;
        shown.headers = format.headers;
        bool headers = format.headers;
        shown.reply = [headers](const Host::ReplyData& reply) { return ClientReplyText(reply, headers); };
        line = "  " + Printable(Host::FormatEntry(entry, shown));
    }
    return WrapTranscriptLine(line, kTranscriptWidth, format.style);
}

Host::RequestData RequestOf(const Step& step) {
    Host::RequestData request;
    request.method = step.method;
    request.path = step.path;
    request.contentType = step.contentType;
    request.body = step.body;
    return request;
}

std::string FormatLogLine(std::string_view timestamp, int64_t level, std::string_view message) {
    std::string line(timestamp);
    line += "| ";
    line += LevelWord(level);
    line += "| ";
    // One transcript line per log line: line breaks and other control bytes are escaped.
    line += Printable(message);
    return line;
}

PlayResult PlayScenario(Host::Host& host, const Scenario& scenario, std::ostream& out, std::ostream& err,
                        const PlayOptions& options) {
    Player player(host, scenario, out, err, options);
    return player.Play();
}

PlayResult PlayFile(const std::string& pluginPath, const Scenario& scenario, std::ostream& out, std::ostream& err,
                    const PlayOptions& options) {
    PlayResult result;
    if (!scenario.errors.empty()) {
        for (const ParseError& error : scenario.errors) result.failure += FormatError(scenario.name, error) + '\n';
        err << result.failure;
        result.status = kExitUsage;
        result.error = true;
        result.summary = "bad lines";
        return result;
    }
    Host::Host host;
    if (!host.Load(pluginPath, {}, options.entry)) {
        result.failure = "kav-host: " + AsMessage(host.LastError()) + '\n';
        err << result.failure;
        result.status = kExitFailed;
        result.error = true;
        result.summary = "FAILED to load the plugin";
        out << scenario.name << ": " << options.style.Fail(result.summary) << '\n';
        return result;
    }
    return PlayScenario(host, scenario, out, err, options);
}

namespace {

// Calls visit(i) for each index of text outside quoted texts (JSON escapes inside
// them); stops at the first index for which visit answers true, and answers it.
template <class Visit>
size_t FindOutsideQuotes(std::string_view text, Visit visit) {
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (visit(i)) {
            return i;
        }
    }
    return std::string_view::npos;
}

// Where the line may break: after ", " outside quoted texts.
std::vector<size_t> BreakPoints(std::string_view text) {
    std::vector<size_t> points;
    (void)FindOutsideQuotes(text, [&](size_t i) {
        if (text[i] == ',' && i + 1 < text.size() && text[i + 1] == ' ') points.push_back(i + 2);
        return false;
    });
    return points;
}

// Where the payload starts: the first '{' or '[' that starts a word outside quoted texts.
size_t PayloadStart(std::string_view text) {
    return FindOutsideQuotes(text, [&](size_t i) { return (text[i] == '{' || text[i] == '[') && i > 0 && text[i - 1] == ' '; });
}

std::string DimArrow(std::string_view line, const Style& style) {
    std::string text(line);
    if (!style.color) return text;
    for (std::string_view arrow : {std::string_view(" -> "), std::string_view(" <- ")}) {
        size_t at = text.find(arrow);
        if (at != std::string::npos && at < 24) return text.substr(0, at + 1) + style.Dim(arrow.substr(1, 2)) + text.substr(at + 3);
    }
    return text;
}

}  // namespace

std::string WrapTranscriptLine(std::string_view line, size_t width, const Style& style) {
    if (line.size() <= width) return DimArrow(line, style);
    size_t indent = 0;
    while (indent < line.size() && line[indent] == ' ') ++indent;
    std::string continuation(indent + 4, ' ');
    size_t payload = PayloadStart(line);
    std::string out;
    std::string_view rest = line;
    if (payload != std::string_view::npos && payload > indent) {
        out = DimArrow(line.substr(0, payload), style);
        while (!out.empty() && out.back() == ' ') out.pop_back();
        rest = line.substr(payload);
    } else {
        // No payload to put under the line: the head is the first line's part.
        size_t first = 0;
        for (size_t point : BreakPoints(line)) {
            if (point > width && first != 0) break;
            first = point;
        }
        if (first == 0) return DimArrow(line, style);
        out = DimArrow(line.substr(0, first), style);
        while (!out.empty() && out.back() == ' ') out.pop_back();
        rest = line.substr(first);
    }
    size_t room = width > continuation.size() ? width - continuation.size() : 1;
    while (!rest.empty()) {
        size_t cut = rest.size();
        if (rest.size() > room) {
            cut = 0;
            for (size_t point : BreakPoints(rest)) {
                if (point > room && cut != 0) break;
                cut = point;
            }
            if (cut == 0) cut = rest.size();  // one long token: left whole
        }
        std::string_view piece = rest.substr(0, cut);
        while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
        out += '\n' + continuation + std::string(piece);
        rest = rest.substr(cut);
    }
    return out;
}

}  // namespace Vemi::HostTool
