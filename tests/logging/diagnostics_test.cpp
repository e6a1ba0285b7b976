#include <kav/logging/diagnostics.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <kav/logging/logger.h>

using namespace Vemi;

namespace {

class MessageTarget final : public LogTarget {
public:
    MessageTarget() : LogTarget(kLogOkay, 0, 0, "#M") {}
    ~MessageTarget() override { Unregister(); }
    bool Write(const LogRecord& record) override {
        records.push_back(record);
        messages.emplace_back(record.message);
        return true;
    }
    std::vector<LogRecord> records;
    std::vector<std::string> messages;
};

// A field as "kind:value", so expectations read as one short text.
std::string Describe(const FieldValue& v) {
    switch (v.kind) {
        case FieldKind::Bool: return std::string("bool:") + (v.boolValue ? "true" : "false");
        case FieldKind::Signed: return "signed:" + std::to_string(v.signedValue);
        case FieldKind::Unsigned: return "unsigned:" + std::to_string(v.unsignedValue);
        case FieldKind::Double: return "double:" + std::to_string(v.doubleValue);
        case FieldKind::Text: return "text:" + v.text;
        default: return "none";
    }
}

}  // namespace

TEST(AssertReport, LogsOneErrorRecordWithThePresentParts) {
    MessageTarget sink;  // the test runner keeps the Logger and the console quiet
    sink.Register();
    struct Case { const char *expression, *description, *file; int32_t line; const char* function;
                  const char* expected; };
    const Case cases[] = {
        {"ALE-EECF0606", "", "", 0, "", "Assertion failed!\n\nExpression: ALE-EECF0606"},
        {"", "", "", -5, "", "Assertion failed!\n\nLine: -5\n\n"},
        {"x > 0", "must be positive", "a.cpp", 12, "F",
         "Assertion failed!\n\nFile: a.cpp\nLine: 12\n\nFunction: F\n\nExpression: x > 0\n\nDescription: must be positive"},
        {nullptr, "only this", nullptr, 0, nullptr, "Assertion failed!\n\n\n\nDescription: only this"},
        {"%s%n", "", "", 0, "", "Assertion failed!\n\nExpression: %s%n"},  // texts are never formats
    };
    for (const Case& c : cases) {
        AssertReport(c.expression, c.description, c.file, c.line, c.function);
        ASSERT_FALSE(sink.records.empty());
        EXPECT_EQ(sink.messages.back(), c.expected);
        EXPECT_EQ(sink.records.back().level, kLogError);
        EXPECT_EQ(sink.records.back().Categories(), kCategoryDBG);
    }
    EXPECT_EQ(sink.records.size(), sizeof cases / sizeof cases[0]);
}

TEST(MessageTemplate, PlaceholdersDirectivesAndFields) {
    const FieldValue text = FieldValue::Text("v");
    // `message`, when given, is the positional format of the arguments: what follows a placeholder stays
    // text and "*" arguments are the right ones.
    struct Case { const char* templateText; std::vector<FieldValue> arguments; const char* format;
                  std::map<std::string, std::string> fields; const char* message = nullptr; };
    const Case cases[] = {
        {"Error response for {method} {url}: {error}",
         {FieldValue::Text("GET"), FieldValue::Text("/x"), FieldValue::Text("boom")},
         "Error response for %1 %2: %3",
         {{"method", "text:GET"}, {"url", "text:/x"}, {"error", "text:boom"}}},
        // Typed names get the suffix of the argument's kind unless they carry a known one.
        {"{#count}", {FieldValue::Signed(3)}, "%1", {{"count_int", "signed:3"}}},
        {"{#count_int}", {FieldValue::Signed(3)}, "%1", {{"count_int", "signed:3"}}},
        {"{#n}{#f}{#r}{#s}", {FieldValue::Unsigned(1), FieldValue::Bool(true), FieldValue::Double(0.5), text},
         "%1%2%3%4",
         {{"n_int", "unsigned:1"}, {"f_bool", "bool:true"}, {"r_float", "double:0.500000"}, {"s_str", "text:v"}}},
        {"{#addr_ip}{#a_b}", {text, FieldValue::Signed(1)}, "%1%2", {{"addr_ip", "text:v"}, {"a_b_int", "signed:1"}}},
        // Alternatives replace empty arguments and record nothing.
        {"{n?none}", {FieldValue::Signed(0)}, "none", {}},
        {"{n?none}", {FieldValue::Signed(4)}, "%1", {{"n", "signed:4"}}},
        {"[{a?-}{b?-}{c?-}{d?-}]",
         {FieldValue::Bool(false), FieldValue::Double(0.0), FieldValue::Text(""), FieldValue::Unsigned(0)},
         "[----]",
         {}},
        // Field-only placeholders write nothing and trim the blanks before them.
        {"a \t{x!} b", {text}, "a b", {{"x", "text:v"}}},
        {"{count:08x}", {FieldValue::Unsigned(255)}, "%1$08x", {{"count", "unsigned:255"}}},
        {"{a\\}b\\:c}{d{e}", {text, text}, "%1%2", {{"a}b:c", "text:v"}, {"de", "text:v"}}},
        // Braces outside placeholders.
        {"{{x}}", {text}, "{x}", {}}, {"a}b{}", {text}, "a}b%1", {}},
        // Directives take the current position; %% stays escaped.
        {"%d items {x}", {FieldValue::Signed(5), text}, "%1$d items %2", {{"x", "text:v"}}},
        {"{x} %s", {text, text}, "%1 %2$s", {{"x", "text:v"}}}, {"%2$s/%s", {text, text, text}, "%2$s/%3$s", {}},
        {"%1 {x}", {text, text}, "%1 %2", {{"x", "text:v"}}}, {"%% {x}", {text}, "%% %1", {{"x", "text:v"}}},
        // Positions beyond the arguments, unterminated and repeated placeholders.
        {"{a} {b} {c}", {text, text}, "%1 %2 ", {{"a", "text:v"}, {"b", "text:v"}}},
        {"{a} %s!", {text}, "%1 !", {{"a", "text:v"}}}, {"{a} {b", {text, text}, "%1 ", {{"a", "text:v"}}},
        {"{a}{a}", {FieldValue::Signed(1), FieldValue::Signed(2)}, "%1%2", {{"a", "signed:2"}}},
        // A digit or "$" after a placeholder is never read as part of it.
        {"{a}5 items", {FieldValue::Signed(3)}, "%1$d5 items", {{"a", "signed:3"}}, "35 items"},
        {"Cost {p}$ each", {FieldValue::Double(2.5)}, "Cost %1$g$ each", {{"p", "double:2.500000"}}, "Cost 2.5$ each"},
        {"{a}{b?5}", {text, FieldValue::Signed(0)}, "%1$s5", {{"a", "text:v"}}},
        {"{a} {b!}7", {FieldValue::Unsigned(1), text}, "%1$u7", {{"a", "unsigned:1"}, {"b", "text:v"}}, "17"},
        {"{n}0{m}$", {FieldValue::Unsigned(1), FieldValue::Text("x")}, "%1$u0%2$s$",
         {{"n", "unsigned:1"}, {"m", "text:x"}}, "10x$"},
        {"{a}{{", {FieldValue::Bool(true)}, "%1{", {{"a", "bool:true"}}}, {"%1 5", {text}, "%1 5", {}},
        {"{a:}1", {text}, "%1$s1", {{"a", "text:v"}}},
        {"{a:5d}|", {FieldValue::Signed(42)}, "%1$5d|", {{"a", "signed:42"}}, "   42|"},
        // A directive without a conversion is written as it stands, and printed as PositionalFormat prints
        // one: its last character is the conversion, and the natural one replaces a digit.
        {"%5", {FieldValue::Signed(7)}, "%1$5", {}, "7"},
        {"{a:5}", {FieldValue::Signed(7)}, "%1$5", {{"a", "signed:7"}}, "7"},
        {"%5.2", {FieldValue::Signed(7)}, "%1$5.2", {}, "    7"},
        {"{a:-0}", {FieldValue::Unsigned(7)}, "%1$-0", {{"a", "unsigned:7"}}, "7"},
        {"{a:5}|", {FieldValue::Signed(42)}, "%1$5|", {{"a", "signed:42"}}, "   42"},
        {"{a:ll}", {FieldValue::Signed(7)}, "%1$ll", {{"a", "signed:7"}}, "7"},
        {"%hh", {FieldValue::Signed(70000)}, "%1$hh", {}, "4464"},  // "%hd"
        // A "*" width or precision keeps its own argument.
        {"{a} [%*d]", {text, FieldValue::Signed(5), FieldValue::Signed(42)}, "%1 [%3$*2$d]", {{"a", "text:v"}},
         "v [   42]"},
        {"{a} [%3$*2$d]", {text, FieldValue::Signed(5), FieldValue::Signed(42)}, "%1 [%3$*2$d]", {{"a", "text:v"}},
         "v [   42]"},
        {"{a} [%.*f]", {text, FieldValue::Signed(2), FieldValue::Double(3.14159)}, "%1 [%3$.*2$f]", {{"a", "text:v"}},
         "v [3.14]"},
        {"{a} %*.*f {b}", {text, FieldValue::Signed(8), FieldValue::Signed(2), FieldValue::Double(3.14159), text},
         "%1 %4$*2$.*3$f %5", {{"a", "text:v"}, {"b", "text:v"}}},
        {"{a} %-*1$s", {FieldValue::Signed(4), text}, "%1 %2$-*1$s", {{"a", "signed:4"}}},
    };
    for (const Case& c : cases) {
        std::string format = "stale";
        TemplateFields fields{{"stale", text}};
        ExpandTemplate(c.templateText, c.arguments.data(), c.arguments.size(), format, fields);
        EXPECT_EQ(format, c.format) << c.templateText;
        std::map<std::string, std::string> described;
        for (const auto& [name, value] : fields) described[name] = Describe(value);
        EXPECT_EQ(described, c.fields) << c.templateText;
        if (c.message != nullptr) {
            EXPECT_EQ(FormatTemplateMessage(format.c_str(), c.arguments.data(), c.arguments.size()), c.message)
                << c.templateText;
        }
    }
    std::string format;
    TemplateFields fields;
    ExpandTemplate(nullptr, nullptr, 3, format, fields);
    EXPECT_TRUE(format.empty() && fields.empty());
}

TEST(MessageTemplate, MessageIsThePositionalFormatOfTheArguments) {
    const FieldValue arguments[] = {FieldValue::Text("GET"), FieldValue::Unsigned(255), FieldValue::Signed(-2),
                                    FieldValue::Double(1.5), FieldValue::Bool(true)};
    std::string format;
    TemplateFields fields;
    ExpandTemplate("{method} {code:04x} %d {ratio} {ok} 100%%", arguments, 5, format, fields);
    EXPECT_EQ(FormatTemplateMessage(format.c_str(), arguments, 5), "GET 00ff -2 1.5 true 100%");
    EXPECT_EQ(FormatTemplateMessage("%1", nullptr, 4), "");
}
