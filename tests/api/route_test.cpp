// GCC 12 reports false "may be used uninitialized" warnings inside the
// regular-expression compiler of libstdc++ when built with sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <kav/api/route.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

using namespace Vemi::Api;

namespace {

using Params = std::vector<std::pair<std::string, std::string>>;
PathParameters ToMap(const Params& params) { return PathParameters(params.begin(), params.end()); }

Route<> MakeRoute(std::string_view routeTemplate, HttpMethod method = HttpMethod::None, std::string custom = {}) {
    return Route<>{nullptr, nullptr, {method, std::move(custom)}, RoutePattern(routeTemplate)};
}

}  // namespace

TEST(Route, MethodCodesAndTexts) {
    const std::string_view texts[] = {"", "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT", "", "", ""};
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 0xFFFFFFFFu}) {
        HttpMethod method = HttpMethodFromHost(code);
        EXPECT_EQ(method, code <= 8 ? static_cast<HttpMethod>(code) : HttpMethod::None) << code;
        EXPECT_EQ(HttpMethodText(method), texts[std::min(code, 10u)]) << code;
    }
}

TEST(Route, DerivedFunctionNames) {
    const struct { std::string_view method, path, name; } table[] = {
        {"POST", "/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}",
         "PostKavPreEndOfGameV1RegistrationBySequenceEventNameByPriority"},
        {"DELETE", "/kav-pre-end-of-game/v1/registration/{sequenceEventName}",
         "DeleteKavPreEndOfGameV1RegistrationBySequenceEventName"},
        {"POST", "/kav-pre-end-of-game/v1/complete/{sequenceEventName}",
         "PostKavPreEndOfGameV1CompleteBySequenceEventName"},
        {"GET", "/kav-pre-end-of-game/v1/currentSequenceEvent", "GetKavPreEndOfGameV1CurrentSequenceEvent"},
        {"", "/a_b/{c}", "ABByC"}, {"", "x!y+z.w", "XYZW"}, {"", "/a}b", "Ab"},  // "}" keeps the flag
        {"", "/1a/{+rest}", "1aByRest"}, {"list", "/q", "ListQ"}, {"pAtCh", "", "Patch"},
    };
    for (const auto& row : table) EXPECT_EQ(DeriveFunctionName(row.method, row.path), row.name) << row.path;
}

TEST(Route, DeclaredPathsLoseOneTrailingSlash) {
    const std::pair<std::string_view, std::string_view> table[] = {
        {"/x/y/", "/x/y"}, {"/a//", "/a/"}, {"/", "/"}, {"", ""}, {"/x", "/x"}};
    for (auto [in, out] : table) EXPECT_EQ(NormalizeEndpointPath(in), out) << in;
}

TEST(Route, PercentDecoding) {
    const std::pair<std::string_view, std::string_view> table[] = {
        {"%41%2f+b", "A/ b"}, {"%4", "4"}, {"100%", "100"}, {"%", ""}, {"a%2", "a2"},
        {"%4a%4A", "JJ"}, {"%00", std::string_view("\0", 1)}, {"%ff", "\xff"},
        {"%zz", "\x10"}, {"%4z", "P"}, {"%1z", "\x10"}, {"%z4", "\x04"}, {"%+1", "\x01"}, {"%%41", "\x04" "1"}};
    for (auto [in, out] : table) EXPECT_EQ(PercentDecode(in), out) << in;
}

TEST(Route, TemplateTranslation) {
    using K = CaptureKind;
    const struct { std::string_view in, pattern; std::vector<RouteCapture> captures; } table[] = {
        {"/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}",
         "/kav-pre-end-of-game/v1/registration/([^/]*)/([^/]*)",
         {{K::Simple, "sequenceEventName"}, {K::Simple, "priority"}}},
        {"^$.*+?()[]|\\{x}", "\\^\\$\\.\\*\\+\\?\\(\\)\\[\\]\\|\\\\([^/]*)", {{K::Simple, "x"}}},
        {"/f/{+rest}{#frag}", "/f/(.*)#(.*)", {{K::Reserved, "rest"}, {K::Fragment, "frag"}}},
        {"{++a}{a+}{+a{b}{#}", "(.*)([^/]*)([^/]*)#(.*)",
         {{K::Reserved, "+a"}, {K::Simple, "a+"}, {K::Simple, "ab"}, {K::Fragment, ""}}},
        {"/a/{id", "/a/", {}},
    };
    for (const auto& row : table) {
        TemplateTranslation t = TranslateTemplate(row.in);
        EXPECT_TRUE(!t.literal && t.patternText == row.pattern && t.captures == row.captures) << row.in;
    }
    EXPECT_TRUE(TranslateTemplate("/a.b(c)").literal);
}

TEST(Route, SingleRouteMatching) {
    const struct { std::string_view routeTemplate, path; bool matches; Params params; } table[] = {
        {"/a/{id}", "/a/12", true, {{"id", "12"}}}, {"/a/{id}", "/a/", true, {{"id", ""}}},
        {"/a/{id}", "/a/12/", false, {}}, {"/a/{id}", "/A/12", false, {}},
        {"/a/{id}", "/a/x%41%2f+b", true, {{"id", "xA/ b"}}}, {"/f/{+rest}", "/f/x/y", true, {{"rest", "x/y"}}},
        {"/f{#frag}", "/f#x/y", true, {{"frag", "x/y"}}}, {"/f{#frag}", "/fx", false, {}},
        {"/{x}/{x}", "/a/b", true, {{"x", "b"}}}, {"/s/{n}", "/s/abc?x=1", true, {{"n", "abc?x=1"}}},
        {"/v.{n}", "/v.1", true, {{"n", "1"}}}, {"/v.{n}", "/vx1", false, {}},
        {"/p({n})", "/p(1)", true, {{"n", "1"}}}, {"/p({n})", "/p1", false, {}},
        {"/a/{id", "/a/", true, {}}, {"/a.b", "/a.b", true, {}}, {"/a.b", "/axb", false, {}},
        {"/a.b", "/a.b?q", false, {}}, {"/a.b", "/A.B", false, {}}, {"", "", true, {}}};
    for (const auto& row : table) {
        RoutePattern pattern(row.routeTemplate);
        ASSERT_TRUE(pattern.IsValid()) << row.routeTemplate;
        PathParameters params{{"stale", "x"}};
        EXPECT_EQ(pattern.Match(row.path, params), row.matches) << row.routeTemplate << " " << row.path;
        EXPECT_EQ(params, ToMap(row.params)) << row.routeTemplate << " " << row.path;
    }
}

TEST(Route, ListMatchingPrefersShortestCapturesAndKeepsTies) {
    const struct { std::vector<std::string_view> templates; std::string_view path; int taken; Params params; } table[] = {
        {{"/a/{x}", "/a/{y}"}, "/a/bc", 0, {{"x", "bc"}}}, {{"/a/{x}", "/{p}/{q}"}, "/a/b", 0, {{"x", "b"}}},
        {{"/{p}/{q}", "/a/{x}"}, "/a/b", 1, {{"x", "b"}}}, {{"/{p}", "/ab", "/{q}"}, "/ab", 1, {}},
        {{"/x", "/{p}"}, "/y", 1, {{"p", "y"}}}, {{"/x", "/{p}"}, "/z/", -1, {}}};
    for (const auto& row : table) {
        std::vector<int> ids{0, 1, 2};
        std::vector<Route<int, int>> routes;
        for (size_t i = 0; i < row.templates.size(); ++i) routes.push_back({&ids[i], &ids[i], {}, RoutePattern(row.templates[i])});
        RouteMatch<int, int> match;
        match.path = row.path;
        EXPECT_EQ(Match(match, routes), row.taken >= 0) << row.path;
        EXPECT_EQ(match.function ? *match.function : -1, row.taken) << row.path;
        EXPECT_EQ(match.endpoint, match.function);
        EXPECT_EQ(match.pathParameters, ToMap(row.params)) << row.path;
    }
}

TEST(Route, MethodCheck) {
    const struct { HttpMethod routeMethod; std::string routeCustom; HttpMethod method; std::string custom; bool ok; } table[] = {
        {HttpMethod::None, "", HttpMethod::Delete, "", true}, {HttpMethod::None, "", HttpMethod::Get, "", true},
        {HttpMethod::None, "", HttpMethod::Custom, "ANY", true}, {HttpMethod::Custom, "LIST", HttpMethod::Custom, "LIST", true},
        {HttpMethod::Custom, "LIST", HttpMethod::Custom, "list", false}, {HttpMethod::Custom, "LIST", HttpMethod::Custom, "", false},
        {HttpMethod::Custom, "LIST", HttpMethod::Get, "", false}, {HttpMethod::Post, "", HttpMethod::Post, "", true},
        {HttpMethod::Post, "", HttpMethod::Delete, "", false}, {HttpMethod::Post, "", HttpMethod::None, "", false}};
    for (const auto& row : table) {
        Route<> routes[] = {MakeRoute("/m/{x}", row.routeMethod, row.routeCustom)};
        RouteMatch<> match{row.method, row.custom, "/m/1", nullptr, nullptr, {}};
        EXPECT_EQ(Match(match, routes), row.ok) << static_cast<int>(row.routeMethod) << row.custom;
    }
}

TEST(Route, OverlongTemplateNeverMatches) {
    PathParameters params;
    std::string longest(1024 - 7, 'a');  // with "([^/]*)" exactly at the limit
    EXPECT_TRUE(RoutePattern(longest + "{x}").Match(longest + "1", params));
    std::string huge = longest + "a";
    RoutePattern pattern(huge + "{x}");
    EXPECT_TRUE(!pattern.IsValid() && !pattern.Match(huge + "1", params));
    EXPECT_TRUE(RoutePattern(huge + huge).Match(huge + huge, params));  // literal: no limit
    EXPECT_FALSE(RoutePattern().Match("", params));
}

TEST(Route, LongPathsMatchWithoutExhaustingTheStack) {
    std::string tail(1000000, 'x');
    Route<> routes[] = {MakeRoute("/f/{+rest}")};
    RouteMatch<> match{HttpMethod::Get, "", "/f/" + tail, nullptr, nullptr, {}};
    ASSERT_TRUE(Match(match, routes));
    EXPECT_EQ(match.pathParameters["rest"], tail);
}

TEST(Route, ConcurrentMatchesOnOneRoute) {
    const RoutePattern pattern("/r/{name}/{priority}");
    std::vector<int> failures(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] {
        PathParameters params;
        for (std::string name = std::to_string(t * 1000); name.size() < 300; name += 'x')
            failures[t] += !pattern.Match("/r/" + name + "/-1", params) || params["name"] != name;
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// Templates of plain segments are matched without the regular expression; what they
// capture must be what the pattern captures.
TEST(Route, SegmentMatchingAgreesWithThePattern) {
    const std::string_view templates[] = {"/a/{x}",     "/a/{x}/{y}", "/a/{x}/b",  "{x}/{y}", "/a/{x}/",
                                          "/a/{x}/{y}/c.d", "/a/{x}{y}", "/a/{x}-{y}", "/a/{x", "/{x}/{y}z"};
    const std::string_view paths[] = {"/a/", "/a/1", "/a/1/", "/a/1/2", "/a/1/b", "/a/%41/b", "/a/1/2/c.d",
                                      "/a/1/2/cxd", "/a/1-2", "a/b", "/b/1", "/a/1/2/3", "/a//", "/a", "/a/\n/b",
                                      "/1/2z", "/1/z"};
    for (std::string_view routeTemplate : templates) {
        const RoutePattern pattern(routeTemplate);
        const TemplateTranslation translation = TranslateTemplate(routeTemplate);
        const std::regex reference(translation.patternText, std::regex::ECMAScript);
        for (std::string_view path : paths) {
            PathParameters got;
            std::match_results<std::string_view::const_iterator> groups;
            const bool expected = std::regex_match(path.begin(), path.end(), groups, reference);
            ASSERT_EQ(pattern.Match(path, got), expected) << routeTemplate << " " << path;
            if (!expected) continue;
            PathParameters want;
            for (size_t i = 0; i < translation.captures.size(); ++i) {
                want.insert_or_assign(translation.captures[i].name,
                                      PercentDecode(std::string_view(groups[i + 1].first, groups[i + 1].second)));
            }
            EXPECT_EQ(got, want) << routeTemplate << " " << path;
        }
    }
}
