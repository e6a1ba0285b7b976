#include "host_tool/describe.h"
#include "host_tool/player.h"
#include "host_tool/scenario.h"
#include "host_tool/tool.h"
#include "host_tool/value_text.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace Vemi::HostTool {
namespace {

constexpr const char* kStepNames[] = {
    "initialize",   "request",      "session",      "session-delete", "publish",   "reply-ok",
    "reply-status", "reply-error",  "reply-body",   "event",          "request?",  "log",
    "phase",        "no-event",     "no-request",   "no-log",         "no-session"};

// The step's kind and the fields it set, '|'-separated.
std::string Summary(const Step& step) {
    std::string text = kStepNames[static_cast<int>(step.kind)];
    auto add = [&](const std::string& field) { text += '|' + field; };
    if (step.method != 0) add(Host::MethodName(step.method));
    if (!step.path.empty()) add(step.path);
    if (!step.contentType.empty()) add(step.contentType);
    if (step.body) add("body=" + *step.body);
    if (!step.text.empty()) add(step.text);
    if (step.expected) add(*step.expected);
    if (step.number != 0) add(std::to_string(step.number));
    return text;
}

TEST(ScenarioTest, LinesBecomeSteps) {
    struct Case {
        const char* line;
        const char* summary;
    };
    const Case cases[] = {
        {"initialize", "initialize"},
        {"  request GET /a/b  ", "request|GET|/a/b"},
        {"request POST /a application/json {\"x\":  1} ", "request|POST|/a|application/json|body={\"x\":  1}"},
        {"request PUT /a text/plain", "request|PUT|/a|text/plain|body="},
        {"session PreEndOfGame", "session|PreEndOfGame"},
        {"session delete", "session-delete"},
        {"publish Key {\"a\":signed:1}", "publish|Key|{\"a\": signed:1}"},
        {"expect reply ok", "reply-ok"},
        {"expect reply status 404", "reply-status|404"},
        {"expect reply error \"Invalid \\\"x\\\"\"", "reply-error|Invalid \"x\""},
        {"expect reply body [ string:\"a\" ,empty ]", "reply-body|[string:\"a\", empty]"},
        {"expect event OnJsonApiEvent", "event|OnJsonApiEvent"},
        {"expect event E float:0.1", "event|E|float:0.10000000000000001"},
        {"expect request POST /x/y [string:\"G\"]", "request?|POST|/x/y|[string:\"G\"]"},
        {"expect log always \"a b\"", "log|a b|3"},
        {"expect phase EndOfGame", "phase|EndOfGame"},
        {"expect no event", "no-event"},
        {"expect no session", "no-session"},
    };
    for (const Case& c : cases) {
        LineParse parsed = ParseLine(c.line, 3);
        ASSERT_TRUE(parsed.step) << c.line << ": " << (parsed.error ? parsed.error->message : "");
        EXPECT_EQ(Summary(*parsed.step), c.summary) << c.line;
        EXPECT_EQ(parsed.step->line, 3);
    }
    EXPECT_FALSE(ParseLine("   # comment", 1).step);
    EXPECT_FALSE(ParseLine(" \t\r", 1).error);
}

TEST(ScenarioTest, BadLinesGetClearMessages) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"reqest POST /x", "unknown step 'reqest'"},
        {"initialize now", "unexpected text after 'initialize': 'now'"},
        {"request", "'request' needs a method and a path"},
        {"request post /x", "unknown method 'post' (DELETE, GET, HEAD, OPTIONS, PATCH, POST or PUT)"},
        {"request GET", "'request' needs a path after the method"},
        {"session", "'session' needs a phase or 'delete'"},
        {"session Halftime", "unknown phase 'Halftime'"},
        {"session None extra", "unexpected text after 'session None': 'extra'"},
        {"publish Key", "'publish' needs an event key and a value"},
        {"expect", "'expect' needs reply, event, request, log, phase or no"},
        {"expect replies ok", "unknown expectation 'expect replies'"},
        {"expect reply", "'expect reply' needs ok, status N, error \"TEXT\" or body VALUE"},
        {"expect reply status -1", "'expect reply status' needs a status number, got '-1'"},
        {"expect reply error Invalid", "bad text at column 20: expected a quoted text"},
        {"expect reply error \"a\" b", "bad text at column 24: unexpected text after the quoted text"},
        {"expect reply body", "'expect reply body' needs a value"},
        {"expect reply body {\"a\": signed:x}", "bad value at column 32: expected a signed 64-bit decimal number after 'signed:'"},
        {"expect event", "'expect event' needs an event key"},
        {"expect request GET", "'expect request' needs a url after the method"},
        {"expect log Info \"x\"", "'expect log' needs a level (Okay, Warn, Error or Always), got 'Info'"},
        {"expect log Warn", "'expect log' needs the message in quotes after the level"},
        {"expect phase", "'expect phase' needs a phase"},
        {"expect no reply", "'expect no' needs event, request, log or session"},
    };
    for (const Case& c : cases) {
        LineParse parsed = ParseLine(c.line, 7);
        ASSERT_TRUE(parsed.error) << c.line;
        EXPECT_EQ(parsed.error->message, c.message) << c.line;
        EXPECT_EQ(parsed.error->line, 7);
    }
}

TEST(ScenarioTest, ContinuationsCommentsAndLineNumbers) {
    Scenario scenario = ParseScenario(
        "# head \\\r\n"
        "request GET /a\r\n"
        "expect reply body {\"a\": \\\n"
        "    signed:1}\n"
        "\n"
        "initialize\n"
        "bogus\n"
        "initialize\n"
        "expect event K \\",
        "s.kav");
    ASSERT_EQ(scenario.steps.size(), 4u);
    EXPECT_EQ(scenario.steps[0].line, 2);
    EXPECT_EQ(scenario.steps[0].path, "/a");  // no \r left over
    EXPECT_EQ(scenario.steps[1].line, 3);
    EXPECT_EQ(*scenario.steps[1].expected, "{\"a\": signed:1}");
    EXPECT_EQ(scenario.steps[1].source, "expect reply body {\"a\": signed:1}");
    EXPECT_EQ(scenario.steps[2].line, 6);
    EXPECT_EQ(scenario.steps[3].line, 9);
    ASSERT_EQ(scenario.errors.size(), 2u);
    EXPECT_EQ(FormatError(scenario.name, scenario.errors[0]), "s.kav:7: unknown step 'bogus'");
    EXPECT_EQ(FormatError(scenario.name, scenario.errors[1]), "s.kav:8: the plugin is initialized once, at line 6");

    Scenario builtin = ParseScenario(BuiltinScenario(), "b");
    EXPECT_TRUE(builtin.errors.empty()) << FormatError("b", builtin.errors.front());
    EXPECT_GT(builtin.steps.size(), 30u);
}

TEST(ValueTextTest, ReadsCanonicalTextBack) {
    struct Case {
        const char* text;
        const char* canonical;  // or the error with its column
    };
    const Case cases[] = {
        {"empty", "empty"},
        {" bool:false ", "bool:false"},
        {"signed:-9223372036854775808", "signed:-9223372036854775808"},
        {"unsigned:18446744073709551615", "unsigned:18446744073709551615"},
        {"float:-0", "float:-0"},
        {"float:1e300", "float:1.0000000000000001e+300"},
        {R"(string:"q\"b\\ \n\t\u0001\u00e9\ud83d\ude00\/")", "string:\"q\\\"b\\\\ \\n\\t\\u0001\xc3\xa9\xf0\x9f\x98\x80/\""},
        {"blob:00ABff", "blob:00abff"},
        {"blob:", "blob:"},
        {"[]", "[]"},
        {"{}", "{}"},
        {R"({"b":[signed:1,{"":empty}] , "a" : string:""})", R"({"b": [signed:1, {"": empty}], "a": string:""})"},
        // Errors: message at column.
        {"", "expected a value (empty, bool:, signed:, unsigned:, float:, string:, blob:, [ or {) at 1"},
        {"bool:yes", "expected true or false after 'bool:' at 6"},
        {"signed:99999999999999999999", "expected a signed 64-bit decimal number after 'signed:' at 8"},
        {"unsigned:-1", "expected an unsigned 64-bit decimal number after 'unsigned:' at 10"},
        {"float:1.5x", "expected a floating-point number after 'float:' at 7"},
        {"blob:abc", "expected an even number of hex digits after 'blob:' at 6"},
        {"blob:zz", "expected hex digits after 'blob:' at 6"},
        {"text:\"a\"", "unknown value kind 'text' at 1"},
        {"string:abc", "expected a quoted text at 8"},
        {"string:\"abc", "unterminated quoted text at 12"},
        {R"(string:"\x")", "unknown escape \\x at 10"},
        {R"(string:"\u12")", "expected four hex digits after \\u at 13"},
        {"[signed:1 signed:2]", "expected ',' or ']' at 11"},
        {"{signed:1}", "expected a quoted text at 2"},
        {"{\"a\" signed:1}", "expected ':' after a member name at 6"},
        {"empty empty", "unexpected text after the value at 7"},
    };
    for (const Case& c : cases) {
        ValueParse parsed = ParseValueText(c.text);
        std::string got = parsed.ok ? parsed.value.Canonical() : parsed.error + " at " + std::to_string(parsed.column);
        EXPECT_EQ(got, c.canonical) << c.text;
    }
    std::string deep(Host::kMaxValueDepth + 1, '[');
    EXPECT_EQ(ParseValueText(deep).error, "value nested too deeply");
}

TEST(DescribeTest, PrintsFunctionsTypesAndEvents) {
    ApiParameterEntry params[3] = {};
    params[0] = {&params[1], "sequenceEventName", "", API_KIND_STRING, 0, "", 0};
    params[1] = {&params[2], "priority", "", API_KIND_INT32, 0, "", 0};
    params[2] = {nullptr, "names", "Which ones", API_KIND_VECTOR, API_KIND_STRING, "", 1};
    ApiLocationNode locations[2] = {{&locations[1], API_LOCATION_PATH}, {nullptr, API_LOCATION_QUERY}};
    const char* tags[] = {"qhost", "x"};
    ApiFunctionEntry functions[2] = {};
    functions[0].next = &functions[1];
    functions[0].name = "PostRegistration";
    functions[0].name_space = "";
    functions[0].parameters = params;
    functions[0].parameter_count = 3;  // one more parameter than location nodes
    functions[0].locations = locations;
    functions[0].path = "/r/{sequenceEventName}/{priority}";
    functions[0].method = API_METHOD_POST;
    functions[1].name = "GetCurrent";
    functions[1].name_space = "ns";
    functions[1].return_kind = API_KIND_STRUCT;
    functions[1].return_type_name = "SequenceEvent";
    functions[1].description = "The current one";
    functions[1].tags = tags;
    functions[1].tag_count = 2;
    functions[1].method = API_METHOD_CUSTOM;
    functions[1].custom_method = "PEEK";
    functions[1].path = "/c";
    ApiFieldEntry fields[2] = {{&fields[1], "name", "", 0, API_KIND_STRING, 0, "", 0},
                               {nullptr, "phase", "", 8, API_KIND_ENUM, 0, "Phase", 1}};
    ApiEnumeratorEntry enumerators[2] = {{&enumerators[1], "None", "", 0}, {nullptr, "Down", "", -3}};
    ApiTypeEntry types[2] = {{&types[1], "SequenceEvent", "", 16, "", nullptr, 0, fields, nullptr, 2},
                             {nullptr, "Phase", "qhost", 4, "", nullptr, 0, nullptr, enumerators, 2}};
    ApiEventEntry events[1] = {{nullptr, "OnJsonApiEvent", "", "Resource", "Fired when a resource is changed.", nullptr, 0}};
    ApiDescription description{functions, 2, types, 2, events, 1};
    PluginLoadRecord record{18, 0, 1, nullptr, nullptr, "demo", &description};

    std::ostringstream out;
    DescribeApi(record, out);
    EXPECT_EQ(out.str(),
              "plugin demo, API 18.0.1\n"
              "\nfunctions (2)\n"
              "  PostRegistration\n"
              "    POST /r/{sequenceEventName}/{priority}\n"
              "    parameter sequenceEventName: string, in path\n"
              "    parameter priority: int32, in query\n"
              "    parameter names: vector<string>, optional\n"
              "    result: none\n"
              "  GetCurrent (name space ns)\n"
              "    PEEK /c\n"
              "    description: \"The current one\"\n"
              "    result: struct SequenceEvent\n"
              "    tags: qhost, x\n"
              "\ntypes (2)\n"
              "  SequenceEvent: struct, 16 bytes\n"
              "    field name: string, offset 0\n"
              "    field phase: enum Phase, offset 8, optional\n"
              "  Phase (name space qhost): enum, 4 bytes\n"
              "    None = 0\n"
              "    Down = -3\n"
              "\nevents (1)\n"
              "  OnJsonApiEvent: payload Resource\n"
              "    description: \"Fired when a resource is changed.\"\n");

    EXPECT_EQ(TypeText(99, 0, nullptr), "kind 99");
    EXPECT_EQ(TypeText(API_KIND_MAP, API_KIND_STRUCT, "Item"), "map<struct> Item");
    EXPECT_EQ(LocationName(3), "location 3");
    PluginLoadRecord bare{};
    std::ostringstream none;
    DescribeApi(bare, none);
    EXPECT_EQ(none.str(), "plugin , API 0.0.0\nno API description\n");
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome Play(const std::string& text) {
    std::ostringstream out, err;
    int status = RunScenario(FAKE_PLUGIN_PATH, ParseScenario(text, "t.kav"), out, err);
    return {status, out.str(), err.str()};
}

TEST(PlayerTest, ExpectationsAgainstTheFakePlugin) {
    struct Case {
        const char* scenario;
        int status;
        const char* err;  // the whole of standard error
    };
    const Case cases[] = {
        {"expect reply ok", 1, "t.kav:1: expectation failed\n  expected: no error\n  actual:   no reply (no request was sent yet)\n"},
        {"request DELETE /fake/v1/items/1\nexpect reply ok", 1,
         "t.kav:2: expectation failed\n  expected: no error\n  actual:   error \"Invalid function\" (status 404)\n"},
        {"request GET /fake/v1/items/1\nexpect reply error \"x\"", 1,
         "t.kav:2: expectation failed\n  expected: error \"x\"\n  actual:   no error\n"},
        {"request POST /fake/v1/call/session\nexpect reply body {\"phase\": string:\"Lobby\"}", 1,
         "t.kav:2: expectation failed\n  expected: {\"phase\": string:\"Lobby\"}\n  actual:   {\"phase\": string:\"None\"}\n"},
        {"expect request GET /kav-gameflow/v1/session []\nexpect request GET /x", 1,
         "t.kav:2: expectation failed\n  expected: GET /x\n  actual:   no request\n"},
        {"request POST /fake/v1/call/complete\nexpect request GET /kav-gameflow/v1/session\n"
         "expect request POST /kav-gameflow/v1/session/event [string:\"X\"]", 1,
         "t.kav:3: expectation failed\n  expected: POST /kav-gameflow/v1/session/event [string:\"X\"]\n"
         "  actual:   POST /kav-gameflow/v1/session/event [string:\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"]\n"},
        {"request POST /fake/v1/call/event\nexpect no event", 1,
         "t.kav:2: expectation failed\n  expected: no event\n  actual:   FakeEvent string:\"ping\"\n"},
        {"request POST /fake/v1/call/event\nexpect event Other", 1,
         "t.kav:2: expectation failed\n  expected: Other\n  actual:   FakeEvent string:\"ping\"\n"},
        {"expect log Warn \"fake initialized\"", 1,
         "t.kav:1: expectation failed\n  expected: Warn \"fake initialized\"\n  actual:   Always \"fake initialized\"\n"},
        {"expect no log", 1, "t.kav:1: expectation failed\n  expected: no log line\n  actual:   Always \"fake initialized\"\n"},
        {"session delete\nexpect phase None", 1, "t.kav:2: expectation failed\n  expected: None\n  actual:   no session\n"},
        {"expect no request", 1,
         "t.kav:1: expectation failed\n  expected: no request\n  actual:   GET /kav-gameflow/v1/session []\n"},
        // Bad lines stop the scenario before anything runs; a failure stops it at once.
        {"expect reply status 1\nbogus-free line\n", 2, "t.kav:2: unknown step 'bogus-free'\n"},
        {"request GET /fake/v1/items/1\nexpect reply status 500\nexpect reply status 200", 1,
         "t.kav:2: expectation failed\n  expected: status 500\n  actual:   status 200\n"},
        {"session PreEndOfGame\nrequest POST /fake/v1/call/complete\nexpect reply status 204\nexpect phase EndOfGame\n"
         "request POST /fake/v1/call/event\nexpect event FakeEvent string:\"ping\"\nexpect no event", 0, ""},
    };
    for (const Case& c : cases) {
        Outcome outcome = Play(c.scenario);
        EXPECT_EQ(outcome.status, c.status) << c.scenario;
        EXPECT_EQ(outcome.err, c.err) << c.scenario;
    }
}

TEST(PlayerTest, TranscriptShowsStepsEntriesAndLogLines) {
    Outcome outcome = Play("request POST /fake/v1/call/event\nexpect event FakeEvent\n");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const std::string& out = outcome.out;
    EXPECT_NE(out.find("  #1 -> load \"" FAKE_PLUGIN_PATH "\" ok\n  #2 -> initialize plugin 1 => 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("| ALWAYS| fake initialized\n"), std::string::npos) << out;
    EXPECT_NE(out.find("t.kav:1: request POST /fake/v1/call/event\n  #6 -> request POST /fake/v1/call/event => 200 "
                       "application/x-fake\n  #7 <- event FakeEvent caller 7 string:\"ping\"\nt.kav:2: expect event FakeEvent\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("t.kav: end of scenario\n  #8 -> shutdown\n"), std::string::npos) << out;
    EXPECT_NE(out.find("t.kav: passed, 2 steps, 1 expectations met\n"), std::string::npos) << out;
    EXPECT_EQ(FormatLogLine("2024-01-02T03:04:05.006", 1, "a\nb"), "2024-01-02T03:04:05.006|   WARN| a\\nb");
    EXPECT_EQ(FormatLogLine("t", 9, "m"), "t| LEVEL?| m");
}

TEST(ToolTest, CommandLine) {
    struct Case {
        std::vector<const char*> args;
        bool withPlugin;  // the build's default plugin is the fake
        int status;
        const char* out;  // contained in standard output
        const char* err;  // contained in standard error
    };
    const Case cases[] = {
        {{}, true, 2, "", "Usage: kav-host COMMAND"},
        {{"--help"}, true, 0, "Usage: kav-host COMMAND", ""},
        {{"help", "describe"}, true, 0, "Usage: kav-host describe", ""},
        {{"help", "nothing"}, true, 2, "", "kav-host: no help for 'nothing'"},
        {{"run", "--help"}, true, 0, "Usage: kav-host run", ""},
        {{"describe", "-h"}, true, 0, "Usage: kav-host describe", ""},
        {{"decode", "--type", "application/json"}, true, 1, "", "decode is not available in this build\n"},
        {{"frobnicate"}, true, 2, "", "kav-host: unknown command 'frobnicate'\nTry 'kav-host --help'."},
        {{"run", "--fast"}, true, 2, "", "kav-host: unknown option '--fast'\nTry 'kav-host run --help'."},
        {{"run", "--plugin"}, true, 2, "", "--plugin needs a path"},
        {{"run", "a.kav", "b.kav"}, true, 2, "", "run takes one scenario file"},
        {{"run", "/no/such.kav"}, true, 2, "", "cannot read the scenario file '/no/such.kav'"},
        {{"run", "--print-builtin"}, false, 0, "session PreEndOfGame\n", ""},
        {{"run"}, false, 2, "", "this build has no plugin library of its own; name one with --plugin PATH"},
        {{"describe"}, false, 2, "", "name one with --plugin PATH"},
        {{"describe", "--plugin=/no/such.so"}, false, 1, "", "kav-host: Cannot load the plugin library '/no/such.so'"},
        {{"describe", "extra"}, true, 2, "", "describe takes no arguments"},
        {{"describe"}, true, 0, "  Stream\n    GET /fake/v1/stream\n    result: none\n", ""},
        // The built-in scenario needs the real plugin: the fake has no registration.
        {{"run", "-q"}, true, 1, "", "<built-in>:7: expectation failed\n  expected: no error\n"},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv{const_cast<char*>("kav-host")};
        for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
        ToolConfig config;
        if (c.withPlugin) config.defaultPluginPath = FAKE_PLUGIN_PATH;
        std::ostringstream out, err;
        std::string label = c.args.empty() ? "(none)" : c.args[0] + std::string(c.args.size() > 1 ? " " : "") +
                                                            (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(RunTool(static_cast<int>(argv.size()), argv.data(), config, out, err), c.status) << label;
        EXPECT_NE(out.str().find(c.out), std::string::npos) << label << ": " << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << label << ": " << err.str();
    }
}

}  // namespace
}  // namespace Vemi::HostTool
