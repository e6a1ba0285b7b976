// The scenario language of kav-host: one step a line, whole-line # comments, a line
// ending in a backslash continued on the next (README.md describes it). The steps:
//   initialize
//   request METHOD PATH [CONTENT-TYPE BODY...]
//   session PHASE | session delete
//   publish KEY VALUE
//   host METHOD PATH => STATUS [VALUE | error "TEXT"]
//   skip calls | skip events | skip requests | skip logs
//   expect reply ok | expect reply status N | expect reply error "TEXT"
//   expect reply body [contains] VALUE
//   expect event KEY [[contains] VALUE]
//   expect request METHOD URL [VALUE]
//   expect log LEVEL "TEXT"
//   expect phase PHASE
//   expect no event | expect no request | expect no log | expect no session
#pragma once

#include <kav/host/host_value.h>
#include <kav/host_tool/value_text.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Vemi::HostTool {

enum class StepKind : uint8_t {
    Initialize,
    Request,
    Session,
    SessionDelete,
    Publish,
    HostStub,
    Skip,
    ExpectReplyOk,
    ExpectReplyStatus,
    ExpectReplyError,
    ExpectReplyBody,
    ExpectEvent,
    ExpectRequest,
    ExpectLog,
    ExpectPhase,
    ExpectNoEvent,
    ExpectNoRequest,
    ExpectNoLog,
    ExpectNoSession,
    ExpectReplyHttp,  // the HTTP status a client of the host's local server receives
};

[[nodiscard]] bool IsExpectation(StepKind kind) noexcept;

struct Step {
    StepKind kind = StepKind::Initialize;
    int line = 0;
    std::string source;               // the line as written, trimmed (continued lines joined)
    std::string shown;                // source with a long expected value cut to "{...}" or "[...]"
    uint32_t method = 0;              // request, expect request (API_METHOD_*)
    std::string path;                 // request path, expect request url
    std::string contentType;          // request
    std::optional<std::string> body;  // request
    // session and expect phase: the phase; publish and expect event: the key;
    // expect reply error and expect log: the text.
    std::string text;
    // The expected value in canonical form (reply body, event payload, request body
    // arguments as a collection); publish: the payload's canonical form.
    std::optional<std::string> expected;
    Host::OwnedValue value;  // that value; publish: the payload
    int64_t number = 0;      // expect reply status/http: the status; expect log: the level
    // The value's plain JSON numbers, which match any number kind; typed: some part of it
    // is written in the typed form.
    ValueMarks marks;
    bool typed = false;
    bool subset = false;  // "contains": structures need only the expected members
    // host: the stub's method and path, status in number, body in value, or this error.
    std::optional<std::string> stubError;
    // skip: "calls", "events", "requests" or "logs" (in text).
};

struct ParseError {
    int line = 0;  // the physical line the message is about
    std::string message;
};

// One line: no step for a blank or comment line, else a step or an error. Columns in
// messages count characters (UTF-8 sequences) from 1 at the start of line.
struct LineParse {
    std::optional<Step> step;
    std::optional<ParseError> error;
};
[[nodiscard]] LineParse ParseLine(std::string_view line, int lineNumber);

struct Scenario {
    std::string name;  // file name used in messages
    std::vector<Step> steps;
    std::vector<ParseError> errors;  // every bad line; the scenario is not run when any
};
// Reads text (a UTF-8 byte-order mark at its start is skipped). Errors in a continued
// step name the physical line and its column, as an editor shows them.
[[nodiscard]] Scenario ParseScenario(std::string_view text, std::string name);

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT" to API_METHOD_*; nullopt else.
[[nodiscard]] std::optional<uint32_t> MethodFromName(std::string_view name) noexcept;
// The gameflow phases a session may take, in enumerator order.
[[nodiscard]] const std::vector<std::string_view>& GameflowPhases();
// The words a step may start with.
[[nodiscard]] std::span<const std::string_view> StepWords() noexcept;

// "name:line: message"
[[nodiscard]] std::string FormatError(const std::string& name, const ParseError& error);

}  // namespace Vemi::HostTool
