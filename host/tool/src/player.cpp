#include "host_tool/player.h"

#include <platform/platform.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Vemi::HostTool {
namespace {

using Host::Entry;
using Host::EntryKind;

constexpr std::string_view kBuiltin = R"(# The built-in scenario: a whole pre-end-of-game sequence as the host sees it.
# While it initialises, the plugin fetches the gameflow session once.
expect request GET /kav-gameflow/v1/session

# Three owners register their events, out of priority order.
request POST /kav-pre-end-of-game/v1/registration/scoreboard/10
expect reply ok
request POST /kav-pre-end-of-game/v1/registration/honor/-5
expect reply ok
request POST /kav-pre-end-of-game/v1/registration/stats/0
expect reply ok

# Before any sequence there is no current event.
request GET /kav-pre-end-of-game/v1/currentSequenceEvent
expect reply body {"name": string:"", "priority": signed:-1}

# The session enters PreEndOfGame: the lowest priority becomes current. Every change is
# logged and published twice, under the resource's key and under OnJsonApiEvent.
session PreEndOfGame
expect log Always "PreEndOfGame sequence event changed - honor"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"honor", "priority": signed:-5}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent \
  {"data": {"name": string:"honor", "priority": signed:-5}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}

# Each owner completes its event when it is published.
request POST /kav-pre-end-of-game/v1/complete/honor
expect reply ok
expect log Always "PreEndOfGame sequence event changed - stats"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"stats", "priority": signed:0}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent

request POST /kav-pre-end-of-game/v1/complete/stats
expect reply ok
expect log Always "PreEndOfGame sequence event changed - scoreboard"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"scoreboard", "priority": signed:10}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent

# The last completion publishes the empty event, then posts the gameflow completion,
# which moves the host's session to EndOfGame.
request POST /kav-pre-end-of-game/v1/complete/scoreboard
expect reply ok
expect log Always "PreEndOfGame sequence event changed - "
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"", "priority": signed:-1}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent
expect request POST /kav-gameflow/v1/session/event [string:"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED"]
expect phase EndOfGame
expect no event
expect no request
)";

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

    int Play();

private:
    struct Stamps {
        std::mutex mutex;
        std::vector<std::string> texts;
    };

    void PrintNewEntries();
    bool Initialize(const Step* step);
    std::optional<Mismatch> Check(const Step& step);
    std::optional<Mismatch> CheckReply(const Step& step);
    std::string Where(int line) const { return scenario_.name + ':' + std::to_string(line); }

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
};

void Player::PrintNewEntries() {
    std::vector<Entry> entries = host_.GetTranscript().Entries();
    for (; printed_ < entries.size(); ++printed_) {
        const Entry& entry = entries[printed_];
        if (entry.kind != EntryKind::Log) {
            if (!options_.quiet) out_ << "  " << Host::FormatEntry(entry) << '\n';
            continue;
        }
        std::string stamp;
        {
            std::lock_guard lock(stamps_->mutex);
            if (logsSeen_ < stamps_->texts.size()) stamp = stamps_->texts[logsSeen_];
        }
        ++logsSeen_;
        if (!options_.quiet) {
            out_ << "  #" << entry.sequence << " <- log " << FormatLogLine(stamp, entry.number, entry.text) << '\n';
        }
    }
    out_.flush();
}

bool Player::Initialize(const Step* step) {
    bool ok = host_.Initialize();
    PrintNewEntries();
    if (!ok) err_ << (step ? Where(step->line) : scenario_.name) << ": initialize failed: " << host_.LastError() << '\n';
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
        default: m.expected = *step.expected; break;
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
        case StepKind::ExpectReplyStatus: m.actual = "status " + std::to_string(reply.status); break;
        case StepKind::ExpectReplyError: m.actual = ReplyErrorText(reply); break;
        default: m.actual = reply.body.Canonical(); break;
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

std::optional<Mismatch> Player::Check(const Step& step) {
    Host::Transcript& transcript = host_.GetTranscript();
    Mismatch m;
    switch (step.kind) {
        case StepKind::ExpectReplyOk:
        case StepKind::ExpectReplyStatus:
        case StepKind::ExpectReplyError:
        case StepKind::ExpectReplyBody:
            return CheckReply(step);
        case StepKind::ExpectEvent: {
            m.expected = step.text + (step.expected ? ' ' + *step.expected : "");
            std::vector<Entry> events = transcript.Events();
            if (nextEvent_ >= events.size()) {
                m.actual = "no event";
                return m;
            }
            const Entry& event = events[nextEvent_++];
            std::string payload = event.payload.Canonical();
            m.actual = event.text + ' ' + payload;
            if (event.text == step.text && (!step.expected || *step.expected == payload)) return std::nullopt;
            return m;
        }
        case StepKind::ExpectRequest: {
            m.expected = Host::MethodName(step.method) + ' ' + step.path + (step.expected ? ' ' + *step.expected : "");
            std::vector<Entry> requests = transcript.Requests();
            if (nextRequest_ >= requests.size()) {
                m.actual = "no request";
                return m;
            }
            const Entry& request = requests[nextRequest_++];
            m.actual = RequestText(request.request, true);
            if (RequestText(request.request, step.expected.has_value()) == m.expected) return std::nullopt;
            return m;
        }
        case StepKind::ExpectLog: {
            m.expected = std::string(Host::LogLevelName(step.number)) + ' ' + Host::QuoteText(step.text);
            std::vector<Entry> logs = transcript.Logs();
            if (nextLog_ >= logs.size()) {
                m.actual = "no log line";
                return m;
            }
            const Entry& log = logs[nextLog_++];
            m.actual = std::string(Host::LogLevelName(log.number)) + ' ' + Host::QuoteText(log.text);
            if (m.actual == m.expected) return std::nullopt;
            return m;
        }
        case StepKind::ExpectPhase:
        case StepKind::ExpectNoSession: {
            m.expected = step.kind == StepKind::ExpectPhase ? step.text : "no session";
            m.actual = host_.SessionPhase().value_or("no session");
            if (m.actual == m.expected) return std::nullopt;
            return m;
        }
        case StepKind::ExpectNoEvent: {
            std::vector<Entry> events = transcript.Events();
            if (nextEvent_ >= events.size()) return std::nullopt;
            const Entry& event = events[nextEvent_];
            return Mismatch{"no event", event.text + ' ' + event.payload.Canonical()};
        }
        case StepKind::ExpectNoRequest: {
            std::vector<Entry> requests = transcript.Requests();
            if (nextRequest_ >= requests.size()) return std::nullopt;
            return Mismatch{"no request", RequestText(requests[nextRequest_].request, true)};
        }
        case StepKind::ExpectNoLog: {
            std::vector<Entry> logs = transcript.Logs();
            if (nextLog_ >= logs.size()) return std::nullopt;
            const Entry& log = logs[nextLog_];
            return Mismatch{"no log line", std::string(Host::LogLevelName(log.number)) + ' ' + Host::QuoteText(log.text)};
        }
        default:
            return std::nullopt;
    }
}

int Player::Play() {
    bool explicitInitialize = false;
    for (const Step& step : scenario_.steps) explicitInitialize |= step.kind == StepKind::Initialize;
    PrintNewEntries();
    if (!explicitInitialize && !Initialize(nullptr)) return kExitFailed;

    int result = kExitPassed;
    size_t expectations = 0;
    for (const Step& step : scenario_.steps) {
        if (!options_.quiet) out_ << Where(step.line) << ": " << step.source << '\n';
        switch (step.kind) {
            case StepKind::Initialize:
                if (!Initialize(&step)) result = kExitFailed;
                break;
            case StepKind::Request: {
                Host::RequestData request;
                request.method = step.method;
                request.path = step.path;
                request.contentType = step.contentType;
                request.body = step.body;
                lastReply_ = host_.Request(request);
                break;
            }
            case StepKind::Session: host_.SetSessionPhase(step.text); break;
            case StepKind::SessionDelete: host_.DeleteSession(); break;
            case StepKind::Publish: host_.PublishEvent(step.text, step.value); break;
            default: break;
        }
        PrintNewEntries();
        if (IsExpectation(step.kind)) {
            ++expectations;
            if (std::optional<Mismatch> mismatch = Check(step)) {
                err_ << Where(step.line) << ": expectation failed\n"
                     << "  expected: " << mismatch->expected << '\n'
                     << "  actual:   " << mismatch->actual << '\n';
                result = kExitFailed;
            }
        }
        if (result != kExitPassed) break;
    }

    if (!options_.quiet) out_ << scenario_.name << (result == kExitPassed ? ": end of scenario\n" : ": stopped\n");
    host_.Shutdown();
    PrintNewEntries();
    if (result == kExitPassed) {
        out_ << scenario_.name << ": passed, " << scenario_.steps.size() << " steps, " << expectations
             << " expectations met\n";
    }
    out_.flush();
    return result;
}

}  // namespace

std::string_view BuiltinScenario() noexcept { return kBuiltin; }

std::string FormatLogLine(std::string_view timestamp, int64_t level, std::string_view message) {
    std::string line(timestamp);
    line += "| ";
    line += LevelWord(level);
    line += "| ";
    // One transcript line per log line: line breaks inside the message are escaped.
    for (char c : message) {
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            line += c;
        }
    }
    return line;
}

int PlayScenario(Host::Host& host, const Scenario& scenario, std::ostream& out, std::ostream& err,
                 const PlayOptions& options) {
    Player player(host, scenario, out, err, options);
    return player.Play();
}

int RunScenario(const std::string& pluginPath, const Scenario& scenario, std::ostream& out, std::ostream& err,
                const PlayOptions& options) {
    if (!scenario.errors.empty()) {
        for (const ParseError& error : scenario.errors) err << FormatError(scenario.name, error) << '\n';
        return kExitUsage;
    }
    Host::Host host;
    if (!host.Load(pluginPath)) {
        err << "kav-host: " << host.LastError() << '\n';
        return kExitFailed;
    }
    return PlayScenario(host, scenario, out, err, options);
}

}  // namespace Vemi::HostTool
