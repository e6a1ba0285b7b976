#include <kav/host_tool/cli.h>
#include <kav/host_tool/describe.h>
#include <kav/host_tool/openapi.h>
#include <kav/host_tool/player.h>
#include <kav/host_tool/scenario.h>
#include <kav/host_tool/snapshot.h>
#include <kav/host_tool/tool.h>
#include <kav/host_tool/value_text.h>
#include <kav/platform/platform.h>

#include "host_test_support.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace Vemi::HostTool {
namespace {

using HostTestSupport::Arguments;
using HostTestSupport::Contains;

constexpr const char* kStepNames[] = {
    "initialize",   "request",      "session",      "session-delete", "publish",   "host",       "skip",       "reply-ok",
    "reply-status", "reply-error",  "reply-body",   "event",          "request?",  "log",
    "phase",        "no-event",     "no-request",   "no-log",         "no-session", "reply-http"};

// The step's kind and the fields it set, '|'-separated.
std::string Summary(const Step& step) {
    std::string text = kStepNames[static_cast<int>(step.kind)];
    auto add = [&](const std::string& field) { text += '|' + field; };
    if (step.method != 0) add(Host::MethodName(step.method));
    if (!step.path.empty()) add(step.path);
    if (!step.contentType.empty()) add(step.contentType);
    if (step.body) add("body=" + *step.body);
    if (!step.text.empty()) add(step.text);
    if (step.stubError) add("error=" + *step.stubError);
    if (step.subset) add("contains");
    if (step.expected) add(step.value.Canonical());  // the kinds, whatever the form written
    if (step.number != 0) add(std::to_string(step.number));
    return text;
}

// ---- Options and messages ----

TEST(CliTest, OptionsAreReadAgainstTheCommandsTable) {
    static constexpr OptionSpec kSpecs[] = {{"--plugin", "", "PATH"}, {"--quiet", "-q", ""}, {"--junit", "", "FILE"}};
    const struct {
        std::vector<const char*> args;
        const char* result;  // options and arguments, or the error
    } cases[] = {
        {{}, ""},
        {{"a.kav", "-", "-q", "--plugin", "p.so"}, "--quiet= --plugin=p.so | a.kav -"},
        {{"--plugin=x.so", "--plugin", "y.so"}, "--plugin=x.so --plugin=y.so |"},
        {{"--", "--quiet", "-q"}, "| --quiet -q"},
        {{"-h", "b"}, "help | b"},
        {{"--qiet"}, "unknown option '--qiet' (did you mean '--quiet'?)"},
        {{"--fast"}, "unknown option '--fast'"},
        {{"--hepl"}, "unknown option '--hepl' (did you mean '--help'?)"},
        {{"--plugin"}, "--plugin needs a PATH"},
        {{"--plugin="}, "--plugin needs a PATH"},
        {{"--junit", ""}, "--junit needs a FILE"},
        {{"--quiet=yes"}, "--quiet takes no value"},
        {{"-x\x01"}, "unknown option '-x\\x01'"},
    };
    for (const auto& c : cases) {
        Arguments argv({c.args.begin(), c.args.end()});
        CommandLine line;
        std::string error = ParseCommandLine(argv.count(), argv.data(), kSpecs, line);
        std::string got = error;
        if (error.empty()) {
            if (line.help) got += "help ";
            for (const auto& [name, value] : line.options) got += name + '=' + value + ' ';
            if (!line.options.empty() || line.help || !line.arguments.empty()) got += '|';
            for (const std::string& argument : line.arguments) got += ' ' + argument;
        }
        EXPECT_EQ(got, c.result) << (c.args.empty() ? "" : c.args[0]);
    }
    // The last of a repeated option counts.
    Arguments repeated({"--plugin", "a", "--plugin", "b"});
    CommandLine line;
    ASSERT_EQ(ParseCommandLine(repeated.count(), repeated.data(), kSpecs, line), "");
    EXPECT_EQ(line.Value("--plugin"), "b");
    EXPECT_FALSE(line.Value("--junit"));
}

TEST(CliTest, MessageHelpers) {
    static constexpr std::string_view kWords[] = {"initialize", "request", "session", "publish", "expect", "POST", "PUT"};
    // The word and its nearest, "" for none.
    const std::pair<const char*, const char*> nears[] = {
        {"reqest", "request"}, {"requets", "request"}, {"sesion", "session"}, {"Expect", "expect"}, {"post", "POST"},
        {"PUST", "POST"}, {"initialise", "initialize"}, {"xyz", ""}, {"request", ""}, {"", ""}, {"pub", ""},
        {"publishing", "publish"}, {"rqeuest", "request"}, {"ecpext", "expect"}, {"lobby", ""}};
    for (const auto& [word, nearest] : nears) EXPECT_EQ(Nearest(word, kWords), nearest) << word;
    EXPECT_EQ(DidYouMean("sesion", kWords), " (did you mean 'session'?)");
    EXPECT_EQ(DidYouMean("zzz", kWords), "");

    EXPECT_EQ(Printable(std::string_view("a\x01\tb\n\x7f\\\xc3\xa9", 9)), "a\\x01\\tb\\n\\x7f\\\xc3\xa9");
    EXPECT_EQ(Quote("x\ry"), "'x\\ry'");
    EXPECT_EQ(AsMessage("Cannot load it"), "cannot load it");
    EXPECT_EQ(AsMessage("API version 17"), "API version 17");
    EXPECT_EQ(AsMessage("/lib/x.so: bad"), "/lib/x.so: bad");

    // A terminal and NO_COLOR unset or empty.
    EXPECT_TRUE(ColorWanted(true, nullptr) && ColorWanted(true, ""));
    EXPECT_FALSE(ColorWanted(true, "1") || ColorWanted(false, nullptr));
}

TEST(CliTest, FilesThatCannotBeReadSayWhy) {
    std::string text = "left over";
    EXPECT_EQ(ReadTextFile("/no/such/file.kav", text), "No such file or directory");
    EXPECT_EQ(text, "");
    EXPECT_EQ(ReadTextFile(HOST_SCENARIOS, text), "Is a directory");
    EXPECT_EQ(ReadTextFile(HOST_SCENARIOS "/failing/bad_lines.kav", text), "");
    EXPECT_TRUE(text.starts_with("# Bad lines")) << text;
}

// ---- The scenario language ----

TEST(ScenarioTest, LinesBecomeSteps) {
    const std::pair<const char*, const char*> cases[] = {
        {"initialize", "initialize"},
        {"  request GET /a/b  ", "request|GET|/a/b"},
        {"request POST /a application/json {\"x\":  1} ", "request|POST|/a|application/json|body={\"x\":  1}"},
        {"request PUT /a text/plain x", "request|PUT|/a|text/plain|body=x"},
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
        {"expect request POST /x/y []", "request?|POST|/x/y|[]"},
        {"expect log always \"a b\"", "log|a b|3"},
        {"expect phase EndOfGame", "phase|EndOfGame"},
        {"expect no event", "no-event"},
        {"expect no session", "no-session"},
    };
    for (const auto& [line, summary] : cases) {
        LineParse parsed = ParseLine(line, 3);
        ASSERT_TRUE(parsed.step) << line << ": " << (parsed.error ? parsed.error->message : "");
        EXPECT_EQ(Summary(*parsed.step), summary) << line;
        EXPECT_EQ(parsed.step->line, 3);
    }
    EXPECT_FALSE(ParseLine("   # comment", 1).step);
    EXPECT_FALSE(ParseLine(" \t\r", 1).error);

    // A transcript echoes a step with a long expected value cut short.
    const std::pair<const char*, const char*> shown[] = {
        {"expect event E {\"data\": {\"name\": string:\"honor\", \"priority\": signed:-5}}", "expect event E {...}"},
        {"expect request POST /u [string:\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"]", "expect request POST /u [...]"},
        {"expect reply body {\"a\": signed:1}", "expect reply body {\"a\": signed:1}"},
        {"expect event E string:\"a string far longer than forty characters\"", "expect event E string:\"a string far longer than forty characters\""},
        {"publish K {\"data\": {\"name\": string:\"honor\", \"priority\": signed:-5}}", "publish K {\"data\": {\"name\": string:\"honor\", \"priority\": signed:-5}}"},
    };
    for (const auto& [line, text] : shown) {
        LineParse parsed = ParseLine(line, 1);
        ASSERT_TRUE(parsed.step) << line;
        EXPECT_EQ(parsed.step->shown, text);
    }
}

TEST(ScenarioTest, BadLinesGetClearMessages) {
    const std::pair<const char*, const char*> cases[] = {
        {"reqest POST /x", "unknown step 'reqest' (did you mean 'request'?)"},
        {"frobnicate", "unknown step 'frobnicate'"},
        {"req\x01" "est GET /x", "unknown step 'req\\x01est' (did you mean 'request'?)"},
        {"initialize now", "unexpected text after 'initialize': 'now'"},
        {"request", "'request' needs a method and a path"},
        {"request post /x", "unknown method 'post' (did you mean 'POST'?)"},
        {"request FETCH /x", "unknown method 'FETCH' (DELETE, GET, HEAD, OPTIONS, PATCH, POST or PUT)"},
        {"request POST /x application/json", "'request' needs a body after the content type 'application/json'"},
        {"request GET", "'request' needs a path after the method"},
        {"session", "'session' needs a phase or 'delete'"},
        {"session Halftime", "unknown phase 'Halftime'"},
        {"session Loby", "unknown phase 'Loby' (did you mean 'Lobby'?)"},
        {"expect phase endofgame", "unknown phase 'endofgame' (did you mean 'EndOfGame'?)"},
        {"session None extra", "unexpected text after 'session None': 'extra'"},
        {"publish Key", "'publish' needs an event key and a value"},
        {"expect", "'expect' needs reply, event, request, log, phase or no"},
        {"expect replies ok", "unknown expectation 'replies' (did you mean 'reply'?)"},
        {"expect reply", "'expect reply' needs ok, status N, http N, error \"TEXT\" or body VALUE"},
        {"expect reply okay", "'expect reply' needs ok, status N, http N, error \"TEXT\" or body VALUE, got 'okay'"},
        {"expect reply stauts 4", "'expect reply' needs ok, status N, http N, error \"TEXT\" or body VALUE, got 'stauts' (did you mean 'status'?)"},
        {"expect reply status -1", "'expect reply status' needs a status number, got '-1'"},
        {"expect reply status", "'expect reply status' needs a status number"},
        {"expect reply error Invalid", "bad text at column 20: expected a quoted text"},
        {"expect reply error \"a\" b", "bad text at column 24: unexpected text after the quoted text"},
        {"expect reply body", "'expect reply body' needs a value"},
        {"expect reply body {\"a\": signed:x}", "bad value at column 32: expected a signed 64-bit decimal number after 'signed:'"},
        // Columns count characters: "é" is one.
        {"expect reply body {\"\xc3\xa9\": signed:x}", "bad value at column 32: expected a signed 64-bit decimal number after 'signed:'"},
        {"expect reply error \"\xc3\xa9\xc3\xa9\" x", "bad text at column 25: unexpected text after the quoted text"},
        {"expect event", "'expect event' needs an event key"},
        {"expect request GET", "'expect request' needs a url after the method"},
        {"expect request GET /x string:\"not a list\"", "'expect request' needs the body arguments as a list [...], got string:\"not a list\""},
        {"expect request GET /x {}", "'expect request' needs the body arguments as a list [...], got {}"},
        {"expect log Info \"x\"", "'expect log' needs a level (Okay, Warn, Error or Always), got 'Info'"},
        {"expect log Warning \"x\"", "'expect log' needs a level (Okay, Warn, Error or Always), got 'Warning' (did you mean 'Warn'?)"},
        {"expect log Warn", "'expect log' needs the message in quotes after the level"},
        {"expect phase", "'expect phase' needs a phase"},
        {"expect no reply", "'expect no' needs event, request, log or session, got 'reply'"},
        {"expect no events", "'expect no' needs event, request, log or session, got 'events' (did you mean 'event'?)"},
        {"initialize \x1b[2J", "unexpected text after 'initialize': '\\x1b[2J'"},
    };
    for (const auto& [line, message] : cases) {
        LineParse parsed = ParseLine(line, 7);
        ASSERT_TRUE(parsed.error) << line;
        EXPECT_EQ(parsed.error->message, message) << line;
        EXPECT_EQ(parsed.error->line, 7);
    }
}

TEST(ScenarioTest, PlainJsonContainsStubsAndSkips) {
    const std::pair<const char*, const char*> steps[] = {
        {"expect reply body {\"name\": \"\", \"priority\": -1}", "reply-body|{\"name\": string:\"\", \"priority\": signed:-1}"},
        {"expect reply body contains {\"a\": {\"b\": true}}", "reply-body|contains|{\"a\": {\"b\": bool:true}}"},
        {"expect event K contains [1]", "event|K|contains|[unsigned:1]"},
        {"publish K {\"x\": 1.5, \"y\": null}", "publish|K|{\"x\": float:1.5, \"y\": empty}"},
        {"host GET /x => 200 {\"a\": 1}", "host|GET|/x|{\"a\": unsigned:1}|200"},
        {"host POST /x?q=1 => 503 error \"down\"", "host|POST|/x?q=1|error=down|503"},
        {"host GET /x => 204", "host|GET|/x|204"},
        {"skip calls", "skip|calls"},
        {"skip logs", "skip|logs"},
    };
    for (const auto& [line, summary] : steps) {
        LineParse parsed = ParseLine(line, 1);
        ASSERT_TRUE(parsed.step) << line << ": " << (parsed.error ? parsed.error->message : "");
        EXPECT_EQ(Summary(*parsed.step), summary) << line;
    }
    // Expected values are shown as written: plain JSON, or typed when some part is.
    EXPECT_EQ(ParseLine("expect event K {\"p\":-1,\"b\":[true]}", 1).step->expected, "{\"p\": -1, \"b\": [true]}");
    EXPECT_EQ(ParseLine("expect event K {\"p\":-1,\"b\":[bool:true]}", 1).step->expected, "{\"p\": signed:-1, \"b\": [bool:true]}");
    const std::pair<const char*, const char*> bad[] = {
        {"hots GET /x => 200", "unknown step 'hots' (did you mean 'host'?)"},
        {"host get /x => 200", "unknown method 'get' (did you mean 'GET'?)"},
        {"host GET => 200", "'host' needs a path after the method"},
        {"host GET /x 200", "'host METHOD PATH' needs '=> STATUS' after the path, got '200'"},
        {"host GET /x =>", "'host' needs a status number after '=>'"},
        {"host GET /x => ok", "'host' needs a status number after '=>', got 'ok'"},
        {"host GET /x => 200 error", "'host ... error' needs the error text in quotes"},
        {"host GET /x => 200 {\"a\" 1}", "bad value at column 25: expected ':' after a member name"},
        {"skip", "'skip' needs calls, events, requests or logs"},
        {"skip call", "'skip' needs calls, events, requests or logs, got 'call' (did you mean 'calls'?)"},
        {"skip calls now", "unexpected text after 'skip calls': 'now'"},
        {"expect reply body contains ", "'contains' needs a value"},
        {"expect event K contains", "'contains' needs a value"},
        {"expect reply body {\"a\": 01}", "bad value at column 25: expected a JSON number, got '01'"},
        {"expect reply body nope", "bad value at column 19: expected a value (JSON, or empty, bool:, signed:, unsigned:, float:, string:, blob:)"},
    };
    for (const auto& [line, message] : bad) {
        LineParse parsed = ParseLine(line, 2);
        ASSERT_TRUE(parsed.error) << line;
        EXPECT_EQ(parsed.error->message, message) << line;
    }
}

TEST(ScenarioTest, FilesAsEditorsShowThem) {
    // The text and what it gives: the errors, then the steps' lines and sources.
    const std::pair<const char*, const char*> cases[] = {
        // A byte-order mark at the start is not part of line 1.
        {"\xEF\xBB\xBFrequest GET /a\n", "1: request GET /a"},
        {"\xEF\xBB\xBF  expect reply body {\"a\" signed:1}", "s.kav:1: bad value at column 26: expected ':' after a member name"},
        // A continuation needs a next line.
        {"request GET /a \\", "s.kav:1: line 1 continues past the end of the file"},
        {"request GET /a\nexpect event K \\\n", "s.kav:2: line 2 continues past the end of the file\n1: request GET /a"},
        {"expect event K \\\n  {\"a\": \\\n", "s.kav:2: line 2 continues past the end of the file"},
        {"expect event K \\\n\nrequest GET /a", "1: expect event K\n3: request GET /a"},
        // Errors in a continued step name the physical line and its column.
        {"expect event K {\"a\": signed:1, \\\n    \"b\": signed:x}", "s.kav:2: bad value at column 17: expected a signed 64-bit decimal number after 'signed:'"},
        {"  expect event K \\\n  {\"\xc3\xa9\": \\\n   bool:maybe}", "s.kav:3: bad value at column 9: expected true or false after 'bool:'"},
        {"expect event K {\"a\" \\\n signed:1}", "s.kav:2: bad value at column 2: expected ':' after a member name"},
        {"expect bogus \\\n  more", "s.kav:1: unknown expectation 'bogus'"},
        {"publish K \\\n {\"x\": \\\n  [signed:1, \\\n  signed:2]}", "1: publish K {\"x\": [signed:1, signed:2]}"},
        // A comment is not continued; steps keep the number of their first line; a line's
        // \r is not part of it; a second initialize is an error.
        {"# head \\\r\nrequest GET /a\r\nexpect reply body {\"a\": \\\n    signed:1}\n\ninitialize\nbogus\ninitialize\n"
         "expect event K \\\n  string:\"x\"\n",
         "s.kav:7: unknown step 'bogus'\ns.kav:8: the plugin is initialized once, at line 6\n2: request GET /a\n"
         "3: expect reply body {\"a\": signed:1}\n6: initialize\n9: expect event K string:\"x\""},
    };
    for (const auto& [text, result] : cases) {
        Scenario scenario = ParseScenario(text, "s.kav");
        std::string got;
        // Appended, not "literal" + std::string: g++ 12 -O3 warns falsely (-Wrestrict) on that.
        for (const ParseError& error : scenario.errors) got.append(got.empty() ? "" : "\n").append(FormatError("s.kav", error));
        for (const Step& step : scenario.steps) {
            got.append(got.empty() ? "" : "\n").append(std::to_string(step.line)).append(": ").append(step.source);
        }
        EXPECT_EQ(got, result) << text;
    }
}

// ---- Values ----

TEST(ValueTextTest, ReadsCanonicalTextBack) {
    // The text and its canonical form, or the error with its column.
    const std::pair<const char*, const char*> cases[] = {
        {"empty", "empty"}, {" bool:false ", "bool:false"}, {"float:-0", "float:-0"},
        {"signed:-9223372036854775808", "signed:-9223372036854775808"},
        {"unsigned:18446744073709551615", "unsigned:18446744073709551615"},
        {"float:1e300", "float:1.0000000000000001e+300"},
        {R"(string:"q\"b\\ \n\t\u0001\u00e9\ud83d\ude00\/")", "string:\"q\\\"b\\\\ \\n\\t\\u0001\xc3\xa9\xf0\x9f\x98\x80/\""},
        {"blob:00ABff", "blob:00abff"}, {"blob:", "blob:"}, {"[]", "[]"}, {"{}", "{}"},
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
    for (const auto& [text, canonical] : cases) {
        ValueParse parsed = ParseValueText(text);
        std::string got = parsed.ok ? parsed.value.Canonical() : parsed.error + " at " + std::to_string(parsed.column);
        EXPECT_EQ(got, canonical) << text;
    }
    std::string deep(Host::kMaxValueDepth + 1, '[');
    EXPECT_EQ(ParseValueText(deep).error, "value nested too deeply");
}

TEST(ValueTextTest, FirstDifferenceIgnoresMemberOrder) {
    const struct {
        const char *expected, *actual, *difference;  // "" for equal values
    } cases[] = {
        {"{\"a\": signed:1, \"b\": string:\"x\"}", "{\"b\": string:\"x\", \"a\": signed:1}", ""},
        {"{\"data\": {\"name\": string:\"honor\", \"p\": signed:1}}", "{\"data\": {\"p\": signed:1, \"name\": string:\"stats\"}}",
         "$.data.name: expected string:\"honor\", got string:\"stats\""},
        {"{\"a\": signed:1}", "{\"a\": signed:1, \"b\": empty}", "$.b: expected no member, got empty"},
        {"{\"a\": signed:1, \"b\": empty}", "{\"a\": signed:1}", "$.b: expected empty, got no member"},
        {"{\"odd key\": [signed:1]}", "{\"odd key\": [signed:2]}", "$[\"odd key\"][0]: expected signed:1, got signed:2"},
        {"[signed:1, signed:2]", "[signed:1]", "$[1]: expected signed:2, got no item"},
        {"[signed:1]", "[signed:1, empty]", "$[1]: expected no item, got empty"},
        {"[signed:1, signed:2]", "[signed:2, signed:1]", "$[0]: expected signed:1, got signed:2"},
        {"{\"k\": signed:1, \"k\": signed:2}", "{\"k\": signed:1, \"k\": signed:2}", ""},
        {"{\"k\": signed:1, \"k\": signed:2}", "{\"k\": signed:2, \"k\": signed:1}", "$.k: expected signed:1, got signed:2"},
        {"signed:1", "unsigned:1", "$: expected signed:1, got unsigned:1"},
        {"float:0.1", "float:0.10000000000000001", ""},
        {"{\"a\": {}}", "{\"a\": []}", "$.a: expected {}, got []"},
        {"empty", "empty", ""},
    };
    for (const auto& c : cases) {
        ValueParse expected = ParseValueText(c.expected), actual = ParseValueText(c.actual);
        ASSERT_TRUE(expected.ok && actual.ok) << c.expected << " / " << c.actual;
        std::optional<ValueDifference> at = FirstDifference(expected.value.get(), actual.value.get());
        std::string got = at ? at->path + ": expected " + at->expected + ", got " + at->actual : "";
        EXPECT_EQ(got, c.difference) << c.expected << " / " << c.actual;
    }
    // Strings compare by text whether the value owns them or not.
    HostValue borrowed{};
    borrowed.kind = HOST_VALUE_STRING;
    borrowed.u.string = {"x", 1};
    EXPECT_FALSE(FirstDifference(Host::StringValue("x").get(), borrowed));
}

TEST(ValueTextTest, PlainJsonReadsAsThePluginReadsIt) {
    // The text, its canonical form (or error at column) and whether it used the typed form.
    const struct {
        const char *text, *canonical;
        bool typed;
    } cases[] = {
        {R"({"a": [1, -1, 1.5, 1e2, true, null, "x\n"]})",
         R"({"a": [unsigned:1, signed:-1, float:1.5, float:100, bool:true, empty, string:"x\n"]})", false},
        {"0", "unsigned:0", false},
        {"-0", "signed:0", false},
        {"18446744073709551615", "unsigned:18446744073709551615", false},
        {"18446744073709551616", "float:1.8446744073709552e+19", false},
        {"-9223372036854775809", "float:-9.2233720368547758e+18", false},
        {R"([string:"a", "b", empty])", R"([string:"a", string:"b", empty])", true},
        {"1.", "expected a JSON number, got '1.' at 1", false},
        {"[1, 2e]", "expected a JSON number, got '2e' at 5", false},
        {"-", "expected a JSON number, got '-' at 1", false},
        {"1e999", "number too big for a double: '1e999' at 1", false},
        {"+1", "expected a value (JSON, or empty, bool:, signed:, unsigned:, float:, string:, blob:) at 1", false},
        {"tru", "expected a value (JSON, or empty, bool:, signed:, unsigned:, float:, string:, blob:) at 1", false},
    };
    for (const auto& c : cases) {
        ValueParse parsed = ParseValueText(c.text);
        std::string got = parsed.ok ? parsed.value.Canonical() : parsed.error + " at " + std::to_string(parsed.column);
        EXPECT_EQ(got, c.canonical) << c.text;
        EXPECT_EQ(parsed.typed, c.typed) << c.text;
    }
}

TEST(ValueTextTest, PlainNumbersMatchAnyKindAndContainsASubset) {
    const struct {
        const char *expected, *actual;
        bool subset;
        const char* difference;  // "" for a match
    } cases[] = {
        {R"({"p": -1})", R"({"p": signed:-1})", false, ""},
        {R"({"p": -1})", R"({"p": float:-1})", false, ""},
        {R"({"p": 1})", R"({"p": signed:1})", false, ""},
        {"5", "float:5", false, ""},
        {"0.5", "float:0.5", false, ""},
        {"-0", "unsigned:0", false, ""},
        {"18446744073709551615", "signed:-1", false, "$: expected unsigned:18446744073709551615, got signed:-1"},
        {"9007199254740993", "float:9007199254740992", false, "$: expected unsigned:9007199254740993, got float:9007199254740992"},
        {"1.5", "unsigned:1", false, "$: expected float:1.5, got unsigned:1"},
        {R"({"p": 1})", R"({"p": unsigned:2})", false, "$.p: expected unsigned:1, got unsigned:2"},
        {"5", R"(string:"5")", false, "$: expected unsigned:5, got string:\"5\""},
        // The typed form keeps its kind.
        {"signed:5", "unsigned:5", false, "$: expected signed:5, got unsigned:5"},
        {R"([1, signed:1])", R"([signed:1, unsigned:1])", false, "$[1]: expected signed:1, got unsigned:1"},
        // contains: expected's members at every depth; lists keep their length.
        {R"({"a": 1})", R"({"b": empty, "a": unsigned:1})", true, ""},
        {R"({"a": 1})", R"({"b": empty, "a": unsigned:1})", false, "$.b: expected no member, got empty"},
        {R"({"d": {"x": 1}})", R"({"d": {"y": empty, "x": signed:1}})", true, ""},
        {R"([{"n": "a"}])", R"([{"n": string:"a", "p": signed:1}])", true, ""},
        {R"([{"n": "a"}])", R"([{"n": string:"a"}, {"n": string:"b"}])", true, "$[1]: expected no item, got {\"n\": string:\"b\"}"},
        {R"({"a": 1})", R"({"b": unsigned:1})", true, "$.a: expected unsigned:1, got no member"},
        {R"({"a": {}})", R"({"a": []})", true, "$.a: expected {}, got []"},
    };
    for (const auto& c : cases) {
        ValueParse expected = ParseValueText(c.expected), actual = ParseValueText(c.actual);
        ASSERT_TRUE(expected.ok && actual.ok) << c.expected << " / " << c.actual;
        std::optional<ValueDifference> at =
            FirstDifference(expected.value.get(), actual.value.get(), MatchRules{&expected.marks, c.subset});
        std::string got = at ? at->path + ": expected " + at->expected + ", got " + at->actual : "";
        EXPECT_EQ(got, c.difference) << c.expected << " / " << c.actual;
    }
}

TEST(ValueTextTest, SnapshotsReadBack) {
    // Plain JSON where there is a JSON form; typed where asked or where there is none.
    const struct {
        const char* value;
        bool typed;
        const char* text;
    } cases[] = {
        {R"({"a": [unsigned:1, signed:-1, float:0.5, float:5, bool:true, empty, string:"q\"\u0001"]})", false,
         R"({"a": [1, -1, 0.5, 5, true, null, "q\"\u0001"]})"},
        {"[blob:00ff, float:1e300]", false, "[blob:00ff, 1.0000000000000001e+300]"},
        {R"({"a": signed:1})", true, R"({"a": signed:1})"},
    };
    for (const auto& c : cases) {
        ValueParse value = ParseValueText(c.value);
        ASSERT_TRUE(value.ok) << c.value;
        std::string text = ValueText(value.value.get(), c.typed);
        EXPECT_EQ(text, c.text);
        ValueParse back = ParseValueText(text);
        ASSERT_TRUE(back.ok) << text;
        EXPECT_FALSE(FirstDifference(back.value.get(), value.value.get(), MatchRules{&back.marks, false})) << text;
    }
    ValueParse expected = ParseValueText(R"({"a": 1, "c": {"x": 1}, "gone": 1, "l": [{"k": 1}]})");
    ValueParse actual = ParseValueText(R"({"b": 2, "a": 3, "c": {"y": 5, "x": 4}, "l": [{"k": 1, "m": 2}, 7]})");
    EXPECT_EQ(Project(expected.value.get(), actual.value.get()).Canonical(),
              R"({"a": unsigned:3, "c": {"x": unsigned:4}, "l": [{"k": unsigned:1}, unsigned:7]})");
}

// ---- describe ----

// A description with one of each thing the printers tell apart: a custom method, an
// optional parameter without a location, tags, an enum field, a built-in type and event.
class DescribeTest : public ::testing::Test {
protected:
    DescribeTest() {
        functions[0].next = &functions[1];
        functions[0].name = "PostRegistration";
        functions[0].name_space = "";
        functions[0].parameters = params;
        functions[0].parameter_count = 3;  // one more parameter than location nodes
        functions[0].locations = locations;
        functions[0].path = "/r/{sequenceEventName}/{priority}";
        functions[0].method = API_METHOD_POST;
        functions[0].help = "Tab\there, \"quoted\" \\ and \x01\x1f, caf\xc3\xa9";  // a text the document must escape
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
    }

    std::string Text(DescribeOptions options = {}) {
        std::ostringstream out;
        DescribeApi(record, out, options);
        return out.str();
    }

    ApiParameterEntry params[3] = {{&params[1], "sequenceEventName", "", API_KIND_STRING, 0, "", 0},
                                   {&params[2], "priority", "", API_KIND_INT32, 0, "", 0},
                                   {nullptr, "names", "Which ones", API_KIND_VECTOR, API_KIND_STRING, "", 1}};
    ApiLocationNode locations[2] = {{&locations[1], API_LOCATION_PATH}, {nullptr, API_LOCATION_QUERY}};
    const char* tags[2] = {"qhost", "x"};
    ApiFunctionEntry functions[2] = {};
    ApiFieldEntry fields[2] = {{&fields[1], "name", "", 0, API_KIND_STRING, 0, "", 0},
                               {nullptr, "phase", "", 8, API_KIND_ENUM, 0, "Phase", 1}};
    ApiEnumeratorEntry enumerators[2] = {{&enumerators[1], "None", "", 0}, {nullptr, "Down", "", -3}};
    const char* builtinTags[2] = {"$builtin", "help"};
    ApiTypeEntry types[4] = {{&types[1], "SequenceEvent", "", 16, "", nullptr, 0, fields, nullptr, 2},
                             {&types[2], "Phase", "qhost", 4, "", nullptr, 0, nullptr, enumerators, 2},
                             {&types[3], "BindingHelpFormat", "", 4, "", builtinTags, 2, nullptr, enumerators, 2},
                             {nullptr, "PluginResourceEvent", "", 64, "", nullptr, 0, nullptr, nullptr, 0}};
    ApiEventEntry events[2] = {
        {&events[1], "OnJsonApiEvent", "", "#A54F35FD", "Fired when a resource is changed.", nullptr, 0},
        {nullptr, "OnCallback", "$builtin", "#00000001", "", nullptr, 0}};
    ApiDescription description{functions, 2, types, 4, events, 2};
    PluginLoadRecord record{18, 0, 1, nullptr, nullptr, "demo", &description};
};

TEST_F(DescribeTest, PrintsFunctionsTypesAndEvents) {
    EXPECT_EQ(Text(),
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
              "\ntypes (3; --builtins adds 1 built-in)\n"
              "  SequenceEvent: struct, 16 bytes\n"
              "    field name: string, offset 0\n"
              "    field phase: enum Phase, offset 8, optional\n"
              "  Phase (name space qhost): enum, 4 bytes\n"
              "    None = 0\n"
              "    Down = -3\n"
              "  PluginResourceEvent: struct, 64 bytes\n"
              "\nevents (1; --builtins adds 1 built-in)\n"
              "  OnJsonApiEvent: payload struct PluginResourceEvent\n"
              "    description: \"Fired when a resource is changed.\"\n"
              "    sent first under its resource's key: /a/b/c/... gives OnJsonApiEvent_a_b_c\n");
}

TEST_F(DescribeTest, BuiltinsOnRequest) {
    std::string all = Text(DescribeOptions{true});
    EXPECT_TRUE(Contains(all, "\ntypes (4)\n"));
    EXPECT_TRUE(Contains(all, "  BindingHelpFormat: enum, 4 bytes\n    None = 0\n    Down = -3\n    tags: $builtin, help\n"));
    EXPECT_TRUE(Contains(all, "  OnCallback (name space $builtin): payload #00000001\n"));
}

TEST_F(DescribeTest, Json) {
    std::ostringstream json;
    DescribeApiJson(record, json);
    const char* jsonParts[] = {
        "{\n  \"plugin\": {\"name\": \"demo\", \"version\": \"18.0.1\"},\n  \"functions\": [\n",
        "{\"name\": \"PostRegistration\", \"nameSpace\": \"\", \"method\": \"POST\", \"path\": \"/r/{sequenceEventName}/{priority}\"",
        "{\"name\": \"names\", \"kind\": \"vector\", \"elementKind\": \"string\", \"typeName\": \"\", \"location\": \"none\", \"optional\": true}",
        "\"result\": {\"kind\": \"struct\", \"elementKind\": \"none\", \"typeName\": \"SequenceEvent\"}, \"async\": \"\", \"tags\": [\"qhost\", \"x\"]}",
        "{\"name\": \"Phase\", \"nameSpace\": \"qhost\", \"kind\": \"enum\", \"size\": 4",
        "\"enumerators\": [{\"name\": \"None\", \"value\": 0, \"description\": \"\"}, {\"name\": \"Down\", \"value\": -3",
        "{\"name\": \"phase\", \"kind\": \"enum\", \"elementKind\": \"none\", \"typeName\": \"Phase\", \"offset\": 8, \"optional\": true}",
        "{\"name\": \"OnJsonApiEvent\", \"nameSpace\": \"\", \"payloadTypeName\": \"#A54F35FD\", \"payload\": \"struct PluginResourceEvent\"",
    };
    for (const char* part : jsonParts) EXPECT_TRUE(Contains(json.str(), part));
    EXPECT_FALSE(Contains(json.str(), "BindingHelpFormat"));
    EXPECT_TRUE(json.str().ends_with("]\n}\n"));
}

TEST_F(DescribeTest, PayloadTypesAndFallbacks) {
    // Event payloads name their type: the host's own by identifier, the plugin's by the
    // type name in the display name.
    const std::pair<const char*, const char*> payloads[] = {
        {"#A54F35FD", "struct PluginResourceEvent"},
        {"#a54f35fd", "struct PluginResourceEvent"},
        {"#2C5E7588", "PluginServiceProxyResponse"},  // known, but not in this description
        {"#12345678", "#12345678"},
        {"const char *__cdecl StaticType::Name<struct Vemi::Demo::SequenceEvent>(void)", "struct SequenceEvent"},
        {"const char *__cdecl StaticType::Name<enum Vemi::Phase>(void)", "enum Phase"},
        {"const char *__cdecl StaticType::Name<struct Vemi::Other>(void)", "struct Other"},
        {"const char *__cdecl StaticType::Name<struct Vemi::Event>(void)", "struct Event"},  // two types end so: no guess
        {"const char *__cdecl StaticType::Name<struct Vemi::Format>(void)", "enum BindingHelpFormat"},
        {"", "none"},
        {nullptr, "none"},
        {"odd\x01name", "odd\\x01name"},
    };
    for (const auto& [given, text] : payloads) EXPECT_EQ(PayloadTypeText(&description, given), text) << text;
    EXPECT_EQ(PayloadTypeText(nullptr, "#A54F35FD"), "PluginResourceEvent");

    EXPECT_EQ(TypeText(99, 0, nullptr), "kind 99");
    EXPECT_EQ(TypeText(API_KIND_MAP, API_KIND_STRUCT, "Item"), "map<struct> Item");
    EXPECT_EQ(LocationName(3), "location 3");
    PluginLoadRecord bare{};
    std::ostringstream none;
    DescribeApi(bare, none);
    EXPECT_EQ(none.str(), "plugin , API 0.0.0\nno API description\n");
}

// The document without the layout's white space, for comparing parts of it.
std::string Compact(const std::string& json) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < json.size(); ++i) {
        char c = json[i];
        if (quoted && c == '\\') {
            out += json.substr(i++, 2);
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (quoted || (c != ' ' && c != '\n')) out += c;
    }
    return out;
}

std::string OpenApiOf(const PluginLoadRecord& record, OpenApiOptions options = {}) {
    std::ostringstream out;
    DescribeOpenApi(record, out, options);
    return Compact(out.str());
}

TEST_F(DescribeTest, OpenApiEdges) {
    std::string document = OpenApiOf(record);
    const struct {
        const char* label;
        const char* part;
        bool present;
    } cases[] = {
        {"version", R"({"openapi":"3.1.0","info":{"title":"demo","version":"18.0.1",)", true},
        {"server with a port to fill", R"("servers":[{"url":"http://127.0.0.1:{port}","variables":{"port":{"default":"8080"}}}])", true},
        // The template's {priority} is a query parameter here: the path still declares it.
        {"path parameter", R"({"name":"sequenceEventName","in":"path","required":true,"schema":{"type":"string"}})", true},
        {"query parameter", R"({"name":"priority","in":"query","required":true,"schema":{"type":"integer","format":"int32")", true},
        {"template name without a parameter", R"({"name":"priority","in":"path","required":true,"description":"Captured by the route but no parameter of the function")", true},
        {"no location: any, as JSON text", R"({"name":"names","in":"query","description":"Which ones","required":false,"content":{"application/json":{"schema":{"type":"array","items":{"type":"string"}}}},"x-kav-location":"any"})", true},
        {"no result", R"("responses":{"204":{"description":"Done,withoutabody"})", false},
        {"no result", R"("responses":{"204":{"description":"Done, without a body"},"400":{"$ref":"#/components/responses/BadRequest"})", true},
        {"custom method", R"("/c":{"x-kav-custom-methods":{"PEEK":{"operationId":"GetCurrent","summary":"The current one","tags":["qhost","x"])", true},
        {"enum by value", R"("Phase":{"type":"string","enum":["Down","None"],"x-kav-values":{"Down":-3,"None":0})", true},
        {"optional field", R"("SequenceEvent":{"type":"object","properties":{"name":{"type":"string"},"phase":{"$ref":"#/components/schemas/Phase"}},"required":["name"]})", true},
        {"a type neither fields nor values", R"("PluginResourceEvent":{"type":"object","properties":{}})", true},
        {"built-in type left out", R"("BindingHelpFormat")", false},
        {"event", R"("webhooks":{"OnJsonApiEvent":{"post":{"operationId":"event-OnJsonApiEvent","summary":"Fired when a resource is changed.","requestBody":{"description":"The event's payload","content":{"application/json":{"schema":{"$ref":"#/components/schemas/PluginResourceEvent"}}}})", true},
        {"built-in event left out", R"("OnCallback")", false},
        {"error replies", R"("KavHostError":{"description":"An error reply: the HTTP status again and the message","type":"object","properties":{"status":{"type":"integer","minimum":100,"maximum":599},"error":{"type":"string"}},"required":["status","error"]})", true},
        {"Basic auth", R"("security":[{"basic":[]}])", true},
        {"escaped text", R"({"operationId":"PostRegistration","description":"Tab\there, \"quoted\" \\ and \u0001\u001f, caf)" "\xc3\xa9\"", true},
    };
    for (const auto& c : cases) EXPECT_EQ(Contains(document, c.part), c.present) << c.label << '\n' << document;
    rapidjson::Document parsed;
    parsed.Parse(document.data(), document.size());
    ASSERT_FALSE(parsed.HasParseError()) << document;
    const rapidjson::Value* help = rapidjson::Pointer("/paths/~1r~1{sequenceEventName}~1{priority}/post/description").Get(parsed);
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(std::string_view(help->GetString(), help->GetStringLength()), functions[0].help);

    OpenApiOptions served;
    served.serverUrl = "http://localhost:9";
    served.basicAuth = false;
    served.builtins = true;
    std::string all = OpenApiOf(record, served);
    EXPECT_TRUE(Contains(all, R"("servers":[{"url":"http://localhost:9"}])"));
    EXPECT_FALSE(Contains(all, "security"));
    EXPECT_TRUE(Contains(all, R"("BindingHelpFormat":{"type":"string")"));
    EXPECT_TRUE(Contains(all, R"("OnCallback":{"post":{"operationId":"event-OnCallback","requestBody":{"description":"The event's payload","content":{"application/json":{"schema":{"description":"A value of the type #00000001"}}}})"));

    PluginLoadRecord bare{};
    EXPECT_TRUE(OpenApiOf(bare).starts_with(R"({"openapi":"3.1.0","info":{"title":"plugin","version":"0.0.0",)"));
}

// Records, enumerations, arrays and maps, as a plugin hands them over.
TEST(OpenApiTest, TheFakePluginsTypes) {
    Host::Host host;
    ASSERT_TRUE(host.Load(FAKE_PLUGIN_PATH)) << host.LastError();
    std::string document = OpenApiOf(host.Record());
    host.Unload();
    const std::pair<const char*, const char*> cases[] = {
        {"enum field", R"("colour":{"$ref":"#/components/schemas/FakeColour"})"},
        {"array of int32", R"("sizes":{"type":"array","items":{"type":"integer","format":"int32","minimum":-2147483648,"maximum":2147483647}})"},
        {"map of strings", R"("labels":{"type":"object","additionalProperties":{"type":"string"}})"},
        {"array of records", R"("parts":{"type":"array","items":{"$ref":"#/components/schemas/FakePart"}})"},
        {"map of enums", R"("shades":{"type":"object","additionalProperties":{"$ref":"#/components/schemas/FakeColour"}})"},
        {"any value, optional", R"("extra":{"description":"Any JSON value"}},"required":["id","colour","sizes","labels","parts","shades"])"},
        {"field description", R"("weight":{"type":"number","format":"double","description":"In grams"})"},
        {"enum with values", R"("FakeColour":{"type":"string","enum":["Red","Green","Blue"],"x-kav-values":{"Red":0,"Green":1,"Blue":2},"description":"A colour Sent as the enumerator's name)"},
        {"two methods on one path", R"("/fake/v1/items/{id}":{"get":{"operationId":"GetItem","summary":"One item",)"},
        {"body parameter", R"("post":{"operationId":"PostItem","requestBody":{"description":"The argument item","required":true,"content":{"application/json":{"schema":{"$ref":"#/components/schemas/FakeItem"}},"application/x-yaml")"},
        {"optional query flag", R"({"name":"dryRun","in":"query","required":false,"schema":{"type":"boolean"}})"},
        {"array result", R"("200":{"description":"The result","content":{"application/json":{"schema":{"type":"array","items":{"$ref":"#/components/schemas/FakePart"}}}}})"},
        {"event payload by display name", R"("FakeEvent":{"post":{"operationId":"event-FakeEvent","summary":"Sent on call/event","tags":["fake"],"requestBody":{"description":"The event's payload","content":{"application/json":{"schema":{"$ref":"#/components/schemas/FakeItem"}}}})"},
    };
    for (const auto& [label, part] : cases) EXPECT_TRUE(Contains(document, part)) << label << '\n' << document;
}

// ---- Playing scenarios ----

struct Outcome {
    int status;
    std::string out, err;
};

Outcome Play(const std::string& text, const PlayOptions& options = {}) {
    std::ostringstream out, err;
    int status = RunScenario(FAKE_PLUGIN_PATH, ParseScenario(text, "t.kav"), out, err, options);
    return {status, out.str(), err.str()};
}

std::string LastLine(std::string text) {
    if (text.ends_with('\n')) text.pop_back();
    return text.substr(text.rfind('\n') + 1);  // the whole text when it has a single line
}

TEST(PlayerTest, ExpectationsAgainstTheFakePlugin) {
    const struct {
        const char* scenario;
        int line;  // of the failed expectation
        const char *expected, *actual;
        const char* difference = "";  // where a value first differs, shown before both whole values
    } cases[] = {
        {"expect reply ok", 1, "no error", "no reply (no request was sent yet)"},
        {"request DELETE /fake/v1/items/1\nexpect reply ok", 2, "no error", "error \"Invalid function\" (status 404)"},
        {"request GET /fake/v1/items/1\nexpect reply error \"x\"", 2, "error \"x\"", "no error"},
        {"request POST /fake/v1/call/session\nexpect reply body {\"phase\": string:\"Lobby\"}", 2,
         "{\"phase\": string:\"Lobby\"}", "{\"phase\": string:\"None\"}",
         "$.phase: expected string:\"Lobby\", got string:\"None\""},
        {"request POST /fake/v1/call/session\nexpect reply body {\"phase\": string:\"None\", \"extra\": empty}", 2,
         "{\"phase\": string:\"None\", \"extra\": empty}", "{\"phase\": string:\"None\"}",
         "$.extra: expected empty, got no member"},
        {"expect request GET /kav-gameflow/v1/session []\nexpect request GET /x", 2, "GET /x", "no request"},
        {"request POST /fake/v1/call/complete\nexpect request GET /kav-gameflow/v1/session\n"
         "expect request POST /kav-gameflow/v1/session/event [string:\"X\"]", 3,
         "POST /kav-gameflow/v1/session/event [string:\"X\"]",
         "POST /kav-gameflow/v1/session/event [string:\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"]",
         "$[0]: expected string:\"X\", got string:\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\""},
        {"request POST /fake/v1/call/event\nexpect no event", 2, "no event", "FakeEvent string:\"ping\""},
        {"request POST /fake/v1/call/event\nexpect event Other", 2, "Other", "FakeEvent string:\"ping\""},
        {"expect log Warn \"fake initialized\"", 1, "Warn \"fake initialized\"", "Always \"fake initialized\""},
        {"expect no log", 1, "no log line", "Always \"fake initialized\""},
        {"session delete\nexpect phase None", 2, "phase None", "no session"},
        {"expect phase Lobby", 1, "phase Lobby", "phase None"},
        {"expect no request", 1, "no request", "GET /kav-gameflow/v1/session []"},
        // A failure stops the scenario at once.
        {"request GET /fake/v1/items/1\nexpect reply status 500\nexpect reply status 200", 2, "status 500",
         "status 200"},
    };
    for (const auto& c : cases) {
        Outcome outcome = Play(c.scenario);
        EXPECT_EQ(outcome.status, 1) << c.scenario;
        std::string err = "t.kav:" + std::to_string(c.line) + ": expectation failed\n";
        if (*c.difference != '\0') err.append("  ").append(c.difference).append("\n");
        err.append("  expected: ").append(c.expected).append("\n  actual:   ").append(c.actual).append("\n");
        EXPECT_EQ(outcome.err, err) << c.scenario;
    }
    // Bad lines stop the scenario before anything runs.
    Outcome bad = Play("expect reply status 1\nbogus-free line\n");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "t.kav:2: unknown step 'bogus-free'\n");
}

TEST(PlayerTest, EveryRunEndsWithOneClosingLine) {
    const struct {
        const char* scenario;
        bool quiet, strict;
        int status;
        const char* closing;  // the last line of standard output
        const char* err;      // contained in standard error
    } cases[] = {
        {"request GET /fake/v1/items/1\nexpect reply ok", true, false, 0, "t.kav: passed (2 steps, 1 expectation met)", ""},
        {"request GET /fake/v1/items/1", false, false, 0, "t.kav: passed (1 step, 0 expectations met)", ""},
        {"request GET /fake/v1/items/1\nexpect reply ok\nexpect reply status 7\nexpect no event", true, false, 1,
         "t.kav: FAILED at line 3 (2 of 4 steps, 1 of 3 expectations met)", "t.kav:3: expectation failed\n"},
        // --strict: what the plugin sent and no expectation read fails the scenario.
        {"request POST /fake/v1/call/event", false, true, 1, "t.kav: FAILED at the end (1 of 1 step, 0 of 0 expectations met)",
         "t.kav: 3 calls of the plugin not expected (--strict)\n  event FakeEvent string:\"ping\"\n"
         "  request GET /kav-gameflow/v1/session []\n  log Always \"fake initialized\"\n"},
        {"expect request GET /kav-gameflow/v1/session\nexpect log Always \"fake initialized\"\n"
         "request POST /fake/v1/call/event\nexpect event FakeEvent", true, true, 0,
         "t.kav: passed (4 steps, 3 expectations met)", ""},
        {"expect log Always \"fake initialized\"\nexpect no event", true, true, 1,
         "t.kav: FAILED at the end (2 of 2 steps, 2 of 2 expectations met)",
         "t.kav: 1 call of the plugin not expected (--strict)\n  request GET /kav-gameflow/v1/session []\n"},
    };
    for (const auto& c : cases) {
        PlayOptions options;
        options.quiet = c.quiet;
        options.strict = c.strict;
        Outcome outcome = Play(c.scenario, options);
        EXPECT_EQ(outcome.status, c.status) << c.scenario;
        EXPECT_EQ(LastLine(outcome.out), c.closing) << c.scenario << "\n" << outcome.out;
        EXPECT_TRUE(Contains(outcome.err, c.err)) << c.scenario;
        if (c.quiet) {
            EXPECT_EQ(outcome.out, std::string(c.closing) + '\n');
        }
    }
}

TEST(PlayerTest, PlainJsonContainsSkipsAndHostStubs) {
    const struct {
        const char* scenario;
        int status;        // --strict
        const char* err;   // the whole standard error
    } cases[] = {
        {"skip calls\nrequest POST /fake/v1/call/session\nexpect reply body {\"phase\": \"None\"}\n"
         "expect request GET /kav-gameflow/v1/session", 0, ""},
        {"skip calls\nrequest GET /fake/v1/items/7\nexpect reply body contains {\"function\": \"GetItem\", \"method\": 2, "
         "\"arguments\": []}", 0, ""},
        {"request GET /fake/v1/items/7\nexpect reply body contains {\"method\": 3}", 1,
         "t.kav:2: expectation failed\n  $.method: expected 3, got unsigned:2\n  expected: contains {\"method\": 3}\n"},
        {"request GET /fake/v1/items/7\nexpect reply body contains {\"nothing\": null}", 1,
         "t.kav:2: expectation failed\n  $.nothing: expected null, got no member\n"},
        // skip: what was sent so far counts as read, of one kind or all.
        {"skip calls\nrequest POST /fake/v1/call/complete\n"
         "expect request POST /kav-gameflow/v1/session/event [\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"]", 0, ""},
        {"skip requests\nexpect log Always \"fake initialized\"", 0, ""},
        {"skip logs\nexpect request GET /kav-gameflow/v1/session", 0, ""},
        {"skip events\nexpect request GET /kav-gameflow/v1/session", 1,
         "t.kav: 1 call of the plugin not expected (--strict)\n  log Always \"fake initialized\"\n"},
        {"request POST /fake/v1/call/event\nskip events\nexpect no event\nskip calls", 0, ""},
        // A stub answers the plugin's request in the host's place, by method and path.
        {"skip calls\nhost POST /kav-fake/v1/resource => 201 {\"ok\": true}\nrequest POST /fake/v1/call/resource\n"
         "expect reply status 201\nexpect reply body {\"ok\": true}\n"
         "expect request POST /kav-fake/v1/resource [\"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"]", 0, ""},
        {"skip calls\nhost POST /kav-fake/v1/resource?x=1 => 500 error \"down\"\nrequest POST /fake/v1/call/resource\n"
         "expect reply error \"down\"\nexpect reply status 500\nskip calls", 0, ""},
        {"skip calls\nhost POST /kav-fake/v1/resource => 201\nhost POST /kav-fake/v1/resource => 202\n"
         "request POST /fake/v1/call/resource\nexpect reply status 202\nexpect reply body empty\nskip calls", 0, ""},
        // Unstubbed, or stubbed for another method: as without stubs.
        {"skip calls\nrequest POST /fake/v1/call/resource\nexpect reply error \"No handler for POST /kav-fake/v1/resource\"\n"
         "skip calls", 0, ""},
        {"host GET /kav-fake/v1/resource => 200 {}\nskip calls\nrequest POST /fake/v1/call/resource\nexpect reply status 404\n"
         "skip calls", 0, ""},
        {"host POST /kav-gameflow/v1/session => 200 {}\nskip calls\nrequest POST /fake/v1/call/session\n"
         "expect reply body {\"phase\": \"None\"}\nskip calls", 0, ""},
        // Stubs at the top answer the plugin while it initialises; the host's session stays.
        {"host GET /kav-gameflow/v1/session => 200 {\"phase\": \"PreEndOfGame\"}\n"
         "expect request GET /kav-gameflow/v1/session []\nexpect log Always \"fake initialized\"\nexpect phase None\n"
         "request POST /fake/v1/call/session\nexpect reply body {\"phase\": \"PreEndOfGame\"}\nskip calls", 0, ""},
    };
    for (const auto& c : cases) {
        PlayOptions options;
        options.strict = true;
        Outcome outcome = Play(c.scenario, options);
        EXPECT_EQ(outcome.status, c.status) << c.scenario << '\n' << outcome.err;
        EXPECT_TRUE(outcome.err.starts_with(c.err)) << c.scenario << '\n' << outcome.err;
    }
    // The stub answered the fetch in initialize: it shows between the first step and the second.
    Outcome stubbed = Play("host GET /kav-gameflow/v1/session => 200 {\"phase\": \"Lobby\"}\nexpect phase None\n");
    size_t first = stubbed.out.find("t.kav:1: host GET"), fetch = stubbed.out.find("<- request GET /kav-gameflow/v1/session "
                                                                                     "=> 200 {\"phase\": string:\"Lobby\"}\n");
    size_t second = stubbed.out.find("t.kav:2: expect phase None");
    EXPECT_TRUE(first < fetch && fetch < second && second != std::string::npos) << stubbed.out;
    EXPECT_EQ(LastLine(stubbed.out), "t.kav: passed (2 steps, 1 expectation met)");
}

TEST(PlayerTest, TranscriptShowsStepsEntriesAndLogLines) {
    Outcome outcome = Play("request POST /fake/v1/call/event\nexpect event FakeEvent\n");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const std::string& out = outcome.out;
    EXPECT_TRUE(Contains(out, "  #1 -> load \"" FAKE_PLUGIN_PATH "\" ok\n  #2 -> initialize plugin 1 => 1\n"));
    EXPECT_TRUE(Contains(out, "| ALWAYS| fake initialized\n"));
    EXPECT_TRUE(Contains(out, "t.kav:1: request POST /fake/v1/call/event\n  #6 -> request POST /fake/v1/call/event => HTTP 200 "
                              "(reply status 200)\n  #7 <- event FakeEvent caller 7 string:\"ping\"\n"
                              "t.kav:2: expect event FakeEvent\n"));
    EXPECT_TRUE(out.ends_with("t.kav: end of scenario\n  #8 -> shutdown\n  #9 <- unsubscribe OnJsonApiEvent_kav-gameflow_v1_session "
                              "plugin 1\nt.kav: passed (2 steps, 1 expectation met)\n"))
        << out;
    // A failure's closing line still comes last, after the shutdown.
    Outcome failed = Play("expect no log\n");
    EXPECT_TRUE(failed.out.ends_with("t.kav: stopped\n  #6 -> shutdown\n  #7 <- unsubscribe OnJsonApiEvent_kav-gameflow_v1_session "
                                     "plugin 1\nt.kav: FAILED at line 1 (0 of 1 step, 0 of 1 expectation met)\n"))
        << failed.out;
    // Control bytes from a scenario or the plugin reach the terminal escaped.
    Outcome escaped = Play("request GET /fake/v1/items/\x1b[2J\nexpect reply error \"\\u001b\"\n");
    EXPECT_FALSE(Contains(escaped.out, "\x1b") || Contains(escaped.err, "\x1b")) << escaped.out << escaped.err;
    EXPECT_TRUE(Contains(escaped.out, "t.kav:1: request GET /fake/v1/items/\\x1b[2J\n"
                                      "  #6 -> request GET /fake/v1/items/\\x1b[2J => HTTP 200 (reply status 200)\n      {"));
    EXPECT_EQ(FormatLogLine("2024-01-02T03:04:05.006", 1, "a\nb"), "2024-01-02T03:04:05.006|   WARN| a\\nb");
    EXPECT_EQ(FormatLogLine("t", 9, "m\x1b[31m"), "t| LEVEL?| m\\x1b[31m");
}

TEST(PlayerTest, LongLinesWrapUnderTheirLine) {
    std::string payload = "{\"data\": {\"name\": string:\"honor, or not\", \"priority\": signed:-5}, \"eventType\": "
                          "string:\"Update\", \"uri\": string:\"/kav-pre-end-of-game/v1/currentSequenceEvent\"}";
    const struct {
        std::string line;
        size_t width;
        bool color;
        std::string printed;
    } cases[] = {
        {"  #7 <- event E caller 0 string:\"short\"", 100, false, "  #7 <- event E caller 0 string:\"short\""},
        {"  #7 <- event E caller 0 string:\"short\"", 100, true, "  #7 \x1b[2m<-\x1b[0m event E caller 0 string:\"short\""},
        {"  #15 <- event OnJsonApiEvent caller 0 " + payload, 100, false,
         "  #15 <- event OnJsonApiEvent caller 0\n      {\"data\": {\"name\": string:\"honor, or not\", \"priority\": signed:-5},\n"
         "      \"eventType\": string:\"Update\", \"uri\": string:\"/kav-pre-end-of-game/v1/currentSequenceEvent\"}"},
        {"  #15 -> request GET /x => 0 " + payload, 60, true,
         "  #15 \x1b[2m->\x1b[0m request GET /x => 0\n      {\"data\": {\"name\": string:\"honor, or not\",\n"
         "      \"priority\": signed:-5}, \"eventType\": string:\"Update\",\n"
         "      \"uri\": string:\"/kav-pre-end-of-game/v1/currentSequenceEvent\"}"},
        // No payload and no place to break: left whole.
        {"  #3 <- log " + std::string(120, 'x'), 100, false, "  #3 <- log " + std::string(120, 'x')},
    };
    for (const auto& c : cases) EXPECT_EQ(WrapTranscriptLine(c.line, c.width, Style{c.color}), c.printed);

    // Colour: a pass in green, a failure in red.
    PlayOptions coloured;
    coloured.style.color = true;
    coloured.errStyle.color = true;
    coloured.quiet = true;
    EXPECT_EQ(Play("request GET /fake/v1/items/1", coloured).out, "t.kav: \x1b[32mpassed (1 step, 0 expectations met)\x1b[0m\n");
    Outcome failed = Play("expect phase Lobby", coloured);
    EXPECT_EQ(failed.out, "t.kav: \x1b[31mFAILED at line 1\x1b[0m (0 of 1 step, 0 of 1 expectation met)\n");
    EXPECT_TRUE(failed.err.starts_with("t.kav:1: \x1b[31mexpectation failed\x1b[0m\n")) << failed.err;
}

TEST(PlayerTest, JUnitXmlHasOneCaseAScenario) {
    std::vector<Scenario> scenarios{ParseScenario("", "a.kav"), ParseScenario("", "b<&>.kav")};
    PlayResult passed;
    passed.summary = "passed (1 step, 0 expectations met)";
    passed.seconds = 0.25;
    PlayResult failed;
    failed.status = kExitFailed;
    failed.summary = "FAILED at line 2 (1 of 2 steps, 0 of 1 expectation met)";
    failed.failure = "b.kav:2: expectation failed\n  expected: string:\"a\x01\"\n";
    failed.seconds = 0.5;
    EXPECT_EQ(JUnitXml(scenarios, {passed, failed}),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<testsuites tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\" time=\"0.750\">\n"
              "  <testsuite name=\"kav-host run\" tests=\"2\" failures=\"1\" errors=\"0\" skipped=\"0\" time=\"0.750\">\n"
              "    <testcase classname=\"kav-host\" name=\"a.kav\" time=\"0.250\"/>\n"
              "    <testcase classname=\"kav-host\" name=\"b&lt;&amp;&gt;.kav\" time=\"0.500\">\n"
              "      <failure message=\"FAILED at line 2 (1 of 2 steps, 0 of 1 expectation met)\">b.kav:2: expectation "
              "failed\n  expected: string:&quot;a\\x01&quot;\n</failure>\n"
              "    </testcase>\n"
              "  </testsuite>\n"
              "</testsuites>\n");
}

// ---- The command line ----

struct ToolRun {
    std::vector<std::string> args;
    bool withPlugin = true;  // the build's default plugin is the fake
    std::string in;          // standard input
    bool real = false;       // the build's default plugin is the real one (and its traced build)
    bool outTerminal = false, errTerminal = false;
};

Outcome RunKavHost(const ToolRun& run) {
    std::vector<std::string> args{"kav-host"};
    args.insert(args.end(), run.args.begin(), run.args.end());
    Arguments argv(std::move(args));
    ToolConfig config;
    if (run.withPlugin) config.defaultPluginPath = FAKE_PLUGIN_PATH;
    if (run.real) {
        config.defaultPluginPath = KAV_HOST_PLUGIN_PATH;
        config.tracedPluginPath = KAV_HOST_TRACED_PLUGIN_PATH;
    }
    config.terminal = run.outTerminal;
    config.errTerminal = run.errTerminal;
    std::istringstream in(run.in);
    config.in = &in;
    std::ostringstream out, err;
    int status = RunTool(argv.count(), argv.data(), config, out, err);
    return {status, out.str(), err.str()};
}

TEST(ToolTest, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        bool withPlugin;
        int status;
        const char* out;  // contained in standard output
        std::string err;  // contained in standard error
    };
    // What the system's loader says about a file it cannot load differs between systems.
    auto loaderSays = [](const std::string& path) {
        Vemi::Platform::LibraryHandle library = Vemi::Platform::LoadLibrary(path.c_str());
        EXPECT_EQ(library, nullptr) << path;
        return "cannot load the plugin library " + Quote(path) + ": " + Vemi::Platform::LibraryError() + "\n";
    };
    const Case cases[] = {
        {{}, true, 2, "", "Usage: kav-host COMMAND"},
        {{"--help"}, true, 0, "Usage: kav-host COMMAND", ""},
        {{"help"}, true, 0, "  run [SCENARIO...]  load the plugin, play scenarios", ""},
        {{"help", "describe"}, true, 0, "Usage: kav-host describe", ""},
        {{"help", "help"}, true, 0, "Usage: kav-host help [COMMAND]", ""},
        {{"help", "-h"}, true, 0, "Usage: kav-host help [COMMAND]", ""},
        {{"help", "nothing"}, true, 2, "", "kav-host: no help for 'nothing'\n"},
        {{"help", "rnu"}, true, 2, "", "kav-host: no help for 'rnu' (did you mean 'run'?)"},
        {{"help", "run", "describe"}, true, 2, "", "help takes one command, got 'describe'"},
        {{"help", "decode"}, true, 0, "Usage: kav-host decode --type CONTENT_TYPE [FILE]", ""},
        {{"run", "--help"}, true, 0, "Usage: kav-host run", ""},
        {{"describe", "-h"}, true, 0, "Usage: kav-host describe", ""},
        {{"decode", "--type", "application/json"}, true, 1, "", "kav-host: decode is not available in this build\n"},
        {{"frobnicate"}, true, 2, "", "kav-host: unknown command 'frobnicate'\nTry 'kav-host --help'."},
        {{"describ"}, true, 2, "", "kav-host: unknown command 'describ' (did you mean 'describe'?)"},
        {{"run", "--fast"}, true, 2, "", "kav-host: unknown option '--fast'\nTry 'kav-host run --help'."},
        {{"run", "--quite"}, true, 2, "", "kav-host: unknown option '--quite' (did you mean '--quiet'?)"},
        {{"run", "/no/such.kav"}, true, 2, "",
         "kav-host: cannot read the scenario file '/no/such.kav': No such file or directory\n"},
        {{"run", HOST_SCENARIOS "/failing/bad_lines.kav/"}, true, 2, "", "cannot read the scenario file"},
        {{"run", HOST_SCENARIOS "/../data"}, true, 2, "", "kav-host: no scenario files (*.kav) in '" HOST_SCENARIOS "/../data'\n"},
        {{"run", "/no/such.kav", "/no/other.kav"}, true, 2, "", "'/no/such.kav': No such file or directory\nkav-host: cannot "
                                                                "read the scenario file '/no/other.kav'"},
        {{"run", "--print-builtin"}, false, 0, "session PreEndOfGame\n", ""},
        {{"run", "--print-builtin", "a.kav"}, false, 2, "", "kav-host: --print-builtin takes no scenario file\n"},
        {{"run"}, false, 2, "", "this build has no plugin library of its own; name one with --plugin PATH"},
        {{"describe"}, false, 2, "", "name one with --plugin PATH"},
        {{"describe", "--plugin=/no/such.so"}, false, 1, "", "kav-host: " + loaderSays("/no/such.so")},
        {{"describe", "--plugin", HOST_SCENARIOS "/fake_events.kav"}, false, 1, "",
         loaderSays(HOST_SCENARIOS "/fake_events.kav")},
        {{"describe", "extra"}, true, 2, "", "describe takes no arguments, got 'extra'"},
        {{"describe"}, true, 0, "  Stream\n    GET /fake/v1/stream\n    result: none\n", ""},
        {{"describe", "--json"}, true, 0, "{\"name\": \"Stream\", \"nameSpace\": \"\", \"method\": \"GET\", \"path\": \"/fake/v1/stream\"", ""},
        {{"run", "--plugin", "/no/such.so", HOST_SCENARIOS "/fake_events.kav"}, false, 1,
         HOST_SCENARIOS "/fake_events.kav: FAILED to load the plugin\n", loaderSays("/no/such.so")},
        // The built-in scenario needs the real plugin: the fake has no registration.
        {{"run", "-q"}, true, 1, "<built-in>: FAILED at line 7 (", "<built-in>:7: expectation failed\n  expected: no error\n"},
    };
    for (const auto& c : cases) {
        Outcome outcome = RunKavHost({c.args, c.withPlugin, ""});
        std::string label;
        for (const std::string& arg : c.args) label += arg + ' ';
        EXPECT_EQ(outcome.status, c.status) << label;
        EXPECT_TRUE(Contains(outcome.out, c.out)) << label;
        EXPECT_TRUE(Contains(outcome.err, c.err)) << label;
    }
}

TEST(ToolTest, SeveralScenariosInOneRun) {
    const std::string events = HOST_SCENARIOS "/fake_events.kav";
    const std::string wrong = HOST_SCENARIOS "/failing/wrong_expectation.kav";
    const struct {
        std::vector<std::string> args;
        std::string in;
        int status;
        std::string out;  // the whole standard output, --quiet
    } cases[] = {
        {{events}, "", 0, events + ": passed (16 steps, 10 expectations met)\n"},
        {{events, "-"}, "expect log Always \"fake initialized\"\n", 0,
         events + ": passed (16 steps, 10 expectations met)\n<stdin>: passed (1 step, 1 expectation met)\n"
                  "2 scenarios: 2 passed, 0 failed\n"},
        {{wrong, events}, "", 1,
         wrong + ": FAILED at line 7 (4 of 6 steps, 2 of 3 expectations met)\n" + events +
             ": passed (16 steps, 10 expectations met)\n2 scenarios: 1 passed, 1 failed\n"},
        // A directory plays its *.kav files in name order.
        {{HOST_SCENARIOS}, "", 0,
         HOST_SCENARIOS "/fake_events.kav: passed (16 steps, 10 expectations met)\n" HOST_SCENARIOS
                        "/fake_requests.kav: passed (18 steps, 14 expectations met)\n" HOST_SCENARIOS
                        "/fake_session.kav: passed (22 steps, 16 expectations met)\n3 scenarios: 3 passed, 0 failed\n"},
        // Bad lines anywhere: nothing runs.
        {{events, HOST_SCENARIOS "/failing"}, "", 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"run", "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome outcome = RunKavHost({args, true, c.in});
        EXPECT_EQ(outcome.status, c.status) << c.args[0];
        EXPECT_EQ(outcome.out, c.out);
    }

    // --junit writes one test case per scenario; a path it cannot write stops the run first.
    std::filesystem::path junit = std::filesystem::path(testing::TempDir()) / "kav_host_tool_test.xml";
    Outcome written = RunKavHost({{"run", "-q", "--junit", junit.string(), wrong, events}, true, ""});
    EXPECT_EQ(written.status, 1);
    std::ifstream file(junit);
    std::string xml(std::istreambuf_iterator<char>(file), {});
    file.close();  // Windows removes no open file
    EXPECT_TRUE(Contains(xml, "<failure message=\"FAILED at line 7 (4 of 6 steps, 2 of 3 expectations met)\">" + wrong +
                                  ":7: expectation failed\n"));
    EXPECT_TRUE(Contains(xml, "<testcase classname=\"kav-host\" name=\"" + events + "\" time=\""));
    std::filesystem::remove(junit);
    Outcome unwritable = RunKavHost({{"run", "--junit", "/no/such/dir/r.xml", events}, true, ""});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_EQ(unwritable.out, "");
    EXPECT_EQ(unwritable.err, "kav-host: cannot write the JUnit file '/no/such/dir/r.xml': No such file or directory\n");
}

// ---- Snapshots: run --update ----

TEST(SnapshotTest, RewritesReplaceWholeStepsAndKeepTheRest) {
    const struct {
        std::string text;
        std::vector<Rewrite> rewrites;
        std::string result;
    } cases[] = {
        {"a\nb\nc\n", {{2, {"X"}}}, "a\nX\nc\n"},
        {"\xEF\xBB\xBF  a \\\n  b\nc", {{1, {"X", "Y"}}}, "\xEF\xBB\xBF  X\n  Y\nc"},
        {"# c\r\na\r\nb\r\n", {{2, {"X", "Y"}}, {3, {"Z"}}}, "# c\r\nX\r\nY\r\nZ\r\n"},
        {"a\nb", {{2, {"X", "Y"}}}, "a\nX\nY"},
        {"a\n", {{5, {"X"}}, {0, {"Y"}}}, "a\n"},
        // A long step continues under itself, broken after ", " outside quoted texts.
        {" a\n", {{1, {"expect event K {\"name\": \"" + std::string(40, 'x') + ", y\", \"priority\": -5, \"data\": [1, 2, 3], "
                       "\"more\": \"" + std::string(30, 'z') + "\"}"}}},
         " expect event K \\\n     {\"name\": \"" + std::string(40, 'x') + ", y\", \"priority\": -5, \"data\": [1, 2, 3], \\\n"
         "     \"more\": \"" + std::string(30, 'z') + "\"}\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(ApplyRewrites(c.text, c.rewrites), c.result) << c.text;
}

TEST(SnapshotTest, UpdateWritesWhatThePluginDid) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(testing::TempDir()) / "kav_host_update";
    fs::create_directories(dir);
    auto write = [&](const char* name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    };
    auto read = [](const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string wrong =
        "# Snapshot me.\r\n"
        "request GET /fake/v1/items/7\n"
        "expect reply status 500\r\n"
        "  expect reply body contains {\"function\": \"Wrong\", \\\n"
        "     \"method\": 2, \"gone\": 1}\n"
        "expect log Always \"fake initialized\"\n"
        "# a comment stays\n"
        "request POST /fake/v1/call/event\n"
        "expect event FakeEvent \"pong\"\n"
        "expect no request\n"
        "expect phase Lobby";
    const std::string right =
        "# Snapshot me.\r\n"
        "request GET /fake/v1/items/7\n"
        "expect reply status 200\r\n"
        "  expect reply body contains {\"function\": \"GetItem\", \"method\": 2}\n"
        "expect log Always \"fake initialized\"\n"
        "# a comment stays\n"
        "request POST /fake/v1/call/event\n"
        "expect event FakeEvent \"ping\"\n"
        "expect request GET /kav-gameflow/v1/session []\n"
        "expect no request\n"
        "expect phase None";
    std::string path = write("wrong.kav", wrong);
    Outcome updated = RunKavHost({{"run", "-q", "--update", path}, true, ""});
    EXPECT_EQ(updated.status, 0) << updated.err;
    EXPECT_EQ(updated.out, path + ": passed (8 steps, 6 expectations met)\n" + path + ": updated (5 expectations rewritten)\n");
    EXPECT_EQ(read(path), right);
    // The rewritten file passes, and a second update changes nothing.
    EXPECT_EQ(RunKavHost({{"run", "-q", "--strict", path}, true, ""}).status, 0);
    Outcome again = RunKavHost({{"run", "-q", "--update", path}, true, ""});
    EXPECT_EQ(again.out, path + ": passed (9 steps, 7 expectations met)\n" + path + ": up to date\n");
    EXPECT_EQ(read(path), right);

    // Bad lines, or an expectation with nothing to write: the file stays as it was.
    const std::string badText = "request GET /fake/v1/items/7\nexpect reply status 500\nbogus\n";
    std::string bad = write("bad.kav", badText);
    Outcome refused = RunKavHost({{"run", "-q", "--update", path, bad}, true, ""});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, bad + ":3: unknown step 'bogus'\n");
    EXPECT_EQ(read(bad), badText);
    std::string stuck = write("stuck.kav", "expect reply status 500\n");
    Outcome notUpdated = RunKavHost({{"run", "-q", "--update", stuck}, true, ""});
    EXPECT_EQ(notUpdated.status, 1);
    EXPECT_TRUE(notUpdated.out.ends_with(stuck + ": not updated\n")) << notUpdated.out;
    EXPECT_EQ(read(stuck), "expect reply status 500\n");
    // A request that no step can spell (its url has a blank): not written.
    const std::string blankText = "request POST /fake/v1/call/blank\nexpect no request\n";
    std::string blank = write("blank.kav", blankText);
    Outcome unspellable = RunKavHost({{"run", "-q", "--update", blank}, true, ""});
    EXPECT_EQ(unspellable.status, 1);
    EXPECT_EQ(unspellable.err, blank + ": the rewritten step at line 3 would not read back: bad value at column 26: "
                                       "expected a value (JSON, or empty, bool:, signed:, unsigned:, float:, string:, blob:)\n");
    EXPECT_EQ(read(blank), blankText);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"run", "--update"}, {"run", "--update", "-"}}) {
        Outcome usage = RunKavHost({args, true, ""});
        EXPECT_EQ(usage.status, 2);
        EXPECT_TRUE(Contains(usage.err, "--update rewrites scenario files: name them (not '-')")) << usage.err;
    }
    fs::remove_all(dir);
}

// ---- What a client receives, misuse, CI ----

const std::string kSeq = "/kav-pre-end-of-game/v1/";

TEST(ToolTest, RepliesReadAsTheLocalServerAnswersThem) {
    const struct {
        std::string scenario;
        int status;
        std::string out;  // contained in standard output
        std::string err;  // contained in standard error
    } cases[] = {
        {"request POST " + kSeq + "registration/a/abc\nexpect reply http 400\nexpect reply status 0", 0,
         "request POST " + kSeq + "registration/a/abc => HTTP 400 (reply status 0)\n      {\"status\": 400, "
         "\"error\": \"Value abc for 'priority' of type int32 is in an incorrect format\"}\n", ""},
        {"request POST " + kSeq + "registration/a/1\nexpect reply http 204", 0,
         "request POST " + kSeq + "registration/a/1 => HTTP 204 (reply status 0)\n", ""},
        {"request GET " + kSeq + "currentSequenceEvent\nexpect reply http 200", 0,
         "request GET " + kSeq + "currentSequenceEvent => HTTP 200 (reply status 0)\n      {\"name\": \"\", \"priority\": -1}\n", ""},
        // The path matches a function of another method: the plugin answers.
        {"request GET " + kSeq + "registration/a/1\nexpect reply http 404\nexpect reply error \"Invalid function\"", 0,
         "=> HTTP 404 (reply status 404)\n      {\"status\": 404, \"error\": \"Invalid function\"}\n", ""},
        // No function has the path: the host answers, under the plugin's paths or not.
        {"request GET " + kSeq + "nothing?x=1\nexpect reply http 404\nexpect reply error \"No resource at " + kSeq + "nothing\"", 0,
         "=> HTTP 404 (reply status 404)\n      {\"status\": 404, \"error\": \"No resource at " + kSeq + "nothing\"}\n", ""},
        {"request GET /other/thing\nexpect reply error \"No resource at /other/thing\"", 0, "", ""},
        // The record's status is not what the client receives: the failure says so.
        {"request POST " + kSeq + "registration/a/abc\nexpect reply status 400", 1, "",
         "  expected: status 400\n  actual:   status 0 (the client receives HTTP 400: 'expect reply http 400' checks that)\n"},
        {"request POST " + kSeq + "registration/a/1\nexpect reply http 200", 1, "",
         "  expected: HTTP 200\n  actual:   HTTP 204 (reply status 0)\n"},
    };
    for (const auto& c : cases) {
        Outcome outcome = RunKavHost({{"run", "-"}, true, c.scenario, true});
        EXPECT_EQ(outcome.status, c.status) << c.scenario << '\n' << outcome.err;
        EXPECT_TRUE(Contains(outcome.out, c.out)) << c.scenario << '\n' << outcome.out;
        EXPECT_TRUE(Contains(outcome.err, c.err)) << c.scenario << '\n' << outcome.err;
    }
    // Headers only when asked for.
    const std::string fake = "request POST /fake/v1/items/8 application/json {}\n";
    EXPECT_FALSE(Contains(RunKavHost({{"run", "-"}, true, fake}).out, "content-type"));
    EXPECT_TRUE(Contains(RunKavHost({{"run", "--headers", "-"}, true, fake}).out, "=> HTTP 200 (reply status 200) content-type: \"application/x-fake\" X-Fake: \"PostItem\"\n      {"));
}

// Each misuse of the sequencer answers as a success; --trace shows why nothing happened.
TEST(ToolTest, TraceShowsWhatThePluginRefused) {
    const std::string start = "request POST " + kSeq + "registration/a/1\n";
    const struct {
        std::string steps;
        std::string trace;  // the trace line's message
    } cases[] = {
        {"request POST " + kSeq + "registration/b/1", "Failed to register PreEndOfGame sequence event due to duplicate priority - events: a and b"},
        {"request DELETE " + kSeq + "registration/x", "PreEndOfGame sequence event not found during deregistration: x"},
        {"request POST " + kSeq + "complete/a", "Unexpected PreEndOfGame sequence event completion - not yet in PreEndOfGame phase: a"},
        {"session PreEndOfGame\nrequest POST " + kSeq + "complete/b", "Unexpected PreEndOfGame sequence event completion: Got b, waiting on a"},
        // Refused, not removed: the sequence waits for the event's completion, which still works.
        {"session PreEndOfGame\nrequest DELETE " + kSeq + "registration/a\nrequest POST " + kSeq + "complete/a\n"
         "expect phase EndOfGame",
         "PreEndOfGame sequence events cannot be deregistered when it is their turn: a"},
    };
    for (const auto& c : cases) {
        std::string scenario = start + c.steps + "\nexpect reply http 204\n";
        Outcome traced = RunKavHost({{"run", "--trace", "-"}, true, scenario, true});
        EXPECT_EQ(traced.status, 0) << c.steps << '\n' << traced.err;
        EXPECT_TRUE(Contains(traced.out, " <- trace " + c.trace + "\n")) << c.steps << '\n' << traced.out;
        Outcome plain = RunKavHost({{"run", "-"}, true, scenario, true});
        EXPECT_EQ(plain.status, 0) << c.steps;
        EXPECT_FALSE(Contains(plain.out, "<- trace") || Contains(plain.out, "[trace]")) << plain.out;
    }
    // Trace lines are not the plugin's log lines: --strict and expect no log pass over them.
    Outcome strict = RunKavHost({{"run", "--trace", "--strict", "-q", "-"}, true,
                                 start + "request POST " + kSeq + "registration/b/1\nexpect no log\nexpect request GET /kav-gameflow/v1/session\n", true});
    EXPECT_EQ(strict.status, 0) << strict.err;
}

TEST(ToolTest, ContinuousIntegration) {
    const std::string events = HOST_SCENARIOS "/fake_events.kav";
    const std::string requests = HOST_SCENARIOS "/fake_requests.kav";
    const std::string badLines = HOST_SCENARIOS "/failing/bad_lines.kav";
    std::filesystem::path junit = std::filesystem::path(testing::TempDir()) / "kav_host_ci_test.xml";
    auto report = [&](std::vector<std::string> args, int status) {
        std::filesystem::remove(junit);
        args.insert(args.begin(), {"run", "-q", "--junit", junit.string()});
        Outcome outcome = RunKavHost({args, true, ""});
        EXPECT_EQ(outcome.status, status) << args.back() << outcome.err;
        std::ifstream file(junit);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    // Bad lines: errors in the report, the other files skipped; nothing is played.
    std::string xml = report({events, badLines}, 2);
    EXPECT_TRUE(Contains(xml, "tests=\"2\" failures=\"0\" errors=\"1\" skipped=\"1\"")) << xml;
    EXPECT_TRUE(Contains(xml, "name=\"" + badLines + "\" time=\"0.000\">\n      <error message=\"bad lines\">" + badLines + ":")) << xml;
    EXPECT_TRUE(Contains(xml, "<skipped message=\"not played: another scenario has bad lines\"/>")) << xml;
    // A plugin that cannot be loaded is an error, not a failure.
    xml = report({"--plugin", "/no/such.so", events}, 1);
    EXPECT_TRUE(Contains(xml, "failures=\"0\" errors=\"1\"") && Contains(xml, "<error message=\"FAILED to load the plugin\">"))
        << xml;
    std::filesystem::remove(junit);

    // -k: a part of the scenario's name, letter case aside; repeated, any of them.
    const std::string eventsPassed = events + ": passed (16 steps, 10 expectations met)\n";
    const std::string requestsPassed = requests + ": passed (18 steps, 14 expectations met)\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the whole standard output
        std::string err;  // contained in standard error
    } cases[] = {
        {{"-k", "EVENTS", events, requests}, 0, eventsPassed, ""},
        {{"-k", "events", "-k", "requests", events, requests}, 0,
         eventsPassed + requestsPassed + "2 scenarios: 2 passed, 0 failed\n", ""},
        {{"-k", "session", HOST_SCENARIOS}, 0, HOST_SCENARIOS "/fake_session.kav: passed (22 steps, 16 expectations met)\n", ""},
        // A file not selected is not read for bad lines.
        {{"-k", "events", events, badLines}, 0, eventsPassed, ""},
        {{"-k", "nothing", events}, 2, "", "kav-host: no scenario matches -k 'nothing'\n"},
        {{"--color=sometimes", events}, 2, "", "--color needs auto, always or never, not 'sometimes'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"run", "-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome outcome = RunKavHost({args, true, ""});
        EXPECT_EQ(outcome.status, c.status) << c.args[1];
        EXPECT_EQ(outcome.out, c.out) << c.args[1];
        EXPECT_TRUE(Contains(outcome.err, c.err)) << c.args[1] << '\n' << outcome.err;
    }

    // Colour is decided for each stream: a terminal's stream is coloured, a file's is not.
    const struct {
        const char* color;
        bool outTerminal, errTerminal;
        bool outColored, errColored;
    } streams[] = {
        {"auto", true, false, true, false},
        {"auto", false, true, false, true},
        {"always", false, false, true, true},
        {"never", true, true, false, false},
    };
    for (const auto& c : streams) {
        ToolRun run{{"run", "-q", std::string("--color=") + c.color, "-"}, true, "expect phase Lobby\n"};
        run.outTerminal = c.outTerminal;
        run.errTerminal = c.errTerminal;
        Outcome outcome = RunKavHost(run);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(Contains(outcome.out, "\x1b["), c.outColored) << c.color << c.outTerminal << outcome.out;
        EXPECT_EQ(Contains(outcome.err, "\x1b["), c.errColored) << c.color << c.errTerminal << outcome.err;
    }
}

}  // namespace
}  // namespace Vemi::HostTool
