#include <kav/runtime/event_keys.h>
#include <kav/runtime/plugin_info.h>

#include <gtest/gtest.h>

#include <kav/logging/logger.h>
#include <kav/logging/positional_format.h>

using namespace Vemi;

TEST(PluginInfo, VersionCompatibility) {
    struct Row { ApiVersion host, plugin; bool compatible; };
    const Row rows[] = {
        {{18, 0, 0}, kPluginApiVersion, true},  {{18, 3, 1}, kPluginApiVersion, true},
        {{18, 0, 5}, kPluginApiVersion, true},  {{17, 9, 9}, kPluginApiVersion, false},
        {{19, 0, 0}, kPluginApiVersion, false}, {{18, 0, 0}, {18, 2, 0}, false},
        {{18, 2, 0}, {18, 1, 7}, true},         {{18, 1, 6}, {18, 1, 7}, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(IsCompatible(r.host, r.plugin), r.compatible)
            << VersionText(r.host) << " against " << VersionText(r.plugin);
    }
}

TEST(PluginInfo, TextForms) {
    EXPECT_EQ(VersionText({18, 0, 0}), "18.0.0");
    EXPECT_EQ(VersionText({1, 2, 3, "beta", "7"}), "1.2.3-beta+7");
    EXPECT_EQ(VersionText({1, 2, 3, {}, "b"}), "1.2.3+b");
    EXPECT_EQ(VersionText({4294967295u, 4294967295u, 4294967295u}), "4294967295.4294967295.4294967295");
    EXPECT_EQ(PositionalFormat("VemiClient/%1 (%2)", ApiVersion{18, 2, 0}, "kav-pre-end-of-game"),
              "VemiClient/18.2.0 (kav-pre-end-of-game)");
    EXPECT_EQ(PositionalFormat("%1 which supports plugin API %2 is not compatible with core's plugin API %3",
                               "kav-pre-end-of-game", kPluginApiVersion, ApiVersion{17, 9, 9}),
              "kav-pre-end-of-game which supports plugin API 18.0.0 is not compatible with core's plugin API 17.9.9");
    EXPECT_EQ(PositionalFormat("[%1]", PluginKind{"widget", "x"}), "[widget:x]");
}

TEST(PluginInfo, NamesByKind) {
    struct Row { PluginKind kind; const char* full; };
    const Row rows[] = {{kBackendPlugin, "tnc-be-kav-pre-end-of-game"},
                        {kFrontendPlugin, "tnc-fe-kav-pre-end-of-game"},
                        {{"service", "q"}, "tnc-xx-kav-pre-end-of-game"}};
    for (const Row& r : rows) {
        PluginNames names = MakePluginNames("kav-pre-end-of-game", r.kind);
        EXPECT_EQ(names.fullName, r.full);
        EXPECT_EQ(names.shortName, "kav-pre-end-of-game");
        EXPECT_EQ(names.kindName, r.kind.name);
        EXPECT_EQ(names.kindQualifier, r.kind.qualifier);
    }
}

TEST(EventKeys, KeysFromUris) {
    const std::pair<const char*, const char*> rows[] = {
        {"/kav-gameflow/v1/session", "OnJsonApiEvent_kav-gameflow_v1_session"},
        {"/kav-gameflow/v1/session/extra/deep", "OnJsonApiEvent_kav-gameflow_v1_session"},
        {"//kav-gameflow///v1/session/", "OnJsonApiEvent_kav-gameflow_v1_session"},
        {"kav-gameflow/v1", "OnJsonApiEvent_kav-gameflow_v1"},
        {"/kav-platform-config/v1/namespaces/a/b/c", "OnJsonApiEvent_kav-platform-config_v1_namespaces_a_b"},
        {"/x/kav-platform-config/v1/a/b/c", "OnJsonApiEvent_x_kav-platform-config_v1"},
        {"/kav-pre-end-of-game/v1/currentSequenceEvent",
         "OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent"},
        {"", "OnJsonApiEvent"},
        {"///", "OnJsonApiEvent"},
    };
    for (const auto& [uri, key] : rows) EXPECT_EQ(EventKeyForUri(uri), key) << uri;
}

TEST(EventKeys, UriPatterns) {
    struct Row { const char *pattern, *uri; bool matches; };
    const Row rows[] = {
        {"/kav-x/v1/items/*", "/kav-x/v1/items/7", true}, {"/kav-x/v1/items/*", "/kav-x/v1/items/7/detail", false},
        {"/kav-x/v1/items/*", "/kav-x/v1/items/", false}, {"/kav-x/v1/*/detail", "/kav-x/v1/7/detail", true},
        {"/kav-x/v1/*/detail", "/kav-x/v1//detail", true}, {"/a/*/*", "/a/b/c", true}, {"/a/b", "/a/b", true},
        {"/a/b", "/a/bc", false}, {"/a/bc", "/a/b", false}, {"*", "anything", true},
    };
    for (const Row& r : rows) EXPECT_EQ(UriPatternMatches(r.pattern, r.uri), r.matches) << r.pattern << " " << r.uri;
}

#include <string>
#include <vector>

#include <kav/logging/logger.h>
#include <kav/runtime/plugin_log_target.h>

namespace {
std::vector<std::pair<int32_t, std::string>> gHostLines;
void HostLog(const HostApi*, int32_t level, const char* message) { gHostLines.emplace_back(level, message); }
}  // namespace

TEST(PluginLogTarget, ForwardsLevelAndMessageUnformatted) {
    HostApi api{};
    api.log = HostLog;
    gHostLines.clear();
    {
        PluginLogTarget target(&api);
        EXPECT_STREQ(target.GetName(), "PluginLogTarget");
        Configure(target, LogTargetSettings{kLogOkay, 0, 0, kHostLineFormat});
        EXPECT_TRUE(target.IsRegistered());
        Log(kLogAlways, kCategoryDBG, "sequence event changed - %s", "honor");
        Log(kLogError, kCategoryGEN, "%d%%", 5);
        LoggingInterface* logging = GetLoggingInterface();
        EXPECT_EQ(logging->FindTarget(logging, "PluginLogTarget"), target.Interface());
    }
    // The destructor unregistered it: nothing more reaches the host.
    Log(kLogAlways, kCategoryDBG, "after");
    const std::vector<std::pair<int32_t, std::string>> expected = {{3, "sequence event changed - honor"}, {2, "5%"}};
    EXPECT_EQ(gHostLines, expected);
}
