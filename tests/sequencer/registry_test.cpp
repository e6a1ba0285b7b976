#include "sequencer/pre_end_of_game_plugin.h"

#include <gtest/gtest.h>

#include "recorded_log.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace Vemi::Client::PreEndOfGame;
using Api::GameflowPhase;
using Api::SequenceEvent;

namespace {

// prefix followed by the number, appended piece by piece: "e" + std::to_string(n) trips
// g++ 12's -Wrestrict at -O3.
std::string Named(const char* prefix, int64_t number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

// Records both outputs in one ordered log: "publish name/priority" or "complete".
class RecordingHooks : public SequenceHooks {
public:
    void PublishCurrentSequenceEvent(const SequenceEvent& e) override {
        calls.push_back("publish " + e.name + "/" + std::to_string(e.priority));
        if (onPublish) onPublish(e);
    }
    void PostPreEndOfGameCompleted() override { calls.push_back("complete"); }

    std::vector<std::string> Take() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    std::function<void(const SequenceEvent&)> onPublish;
};

using Calls = std::vector<std::string>;

struct Fixture {
    RecordingHooks hooks;
    PreEndOfGamePlugin plugin{hooks};

    void Enter(GameflowPhase phase = GameflowPhase::PreEndOfGame,
               PluginResourceEventType type = PluginResourceEventType::Update) {
        plugin.OnGameflowSessionUpdate(type, phase);
    }
    std::string Current() {
        SequenceEvent e = plugin.GetCurrentSequenceEvent();
        return e.name + "/" + std::to_string(e.priority);
    }
};

}  // namespace

TEST(SequenceRegistry, VisitsInAscendingPriorityAndCompletesOnce) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("ten", 10);
    f.plugin.RegisterSequenceEvent("minus", -5);
    f.plugin.RegisterSequenceEvent("zero", 0);
    EXPECT_EQ(f.Current(), "/-1");
    f.Enter();
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish minus/-5"}));
    f.plugin.CompleteSequenceEvent("minus");
    f.plugin.CompleteSequenceEvent("zero");
    EXPECT_EQ(f.Current(), "ten/10");
    f.plugin.CompleteSequenceEvent("ten");
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish zero/0", "publish ten/10", "publish /-1", "complete"}));
    // Events stay registered; the next PreEndOfGame runs them again.
    EXPECT_EQ(f.plugin.Events().size(), 3u);
    f.Enter(GameflowPhase::EndOfGame);
    f.Enter();
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish minus/-5"}));
}

TEST(SequenceRegistry, SessionUpdatesFollowTheStateTable) {
    struct Row {
        const char* what;
        std::vector<int32_t> priorities;
        PluginResourceEventType type;
        GameflowPhase phase;
        GameflowPhase storedPhase;
        Calls calls;
        int32_t current;
    };
    const std::vector<Row> rows = {
        {"other phase stores only", {1}, PluginResourceEventType::Update, GameflowPhase::Lobby,
         GameflowPhase::Lobby, {}, -1},
        {"create starts a sequence", {3, 1}, PluginResourceEventType::Create, GameflowPhase::PreEndOfGame,
         GameflowPhase::PreEndOfGame, {"publish e1/1"}, 1},
        {"no events completes at once", {}, PluginResourceEventType::Update, GameflowPhase::PreEndOfGame,
         GameflowPhase::PreEndOfGame, {"complete"}, -1},
        {"delete is ignored", {1}, PluginResourceEventType::Delete, GameflowPhase::PreEndOfGame,
         GameflowPhase::None, {}, -1},
        {"unknown event type acts as update", {2}, static_cast<PluginResourceEventType>(7),
         GameflowPhase::PreEndOfGame, GameflowPhase::PreEndOfGame, {"publish e2/2"}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Fixture f;
        for (int32_t p : row.priorities) f.plugin.RegisterSequenceEvent(Named("e", p), p);
        f.Enter(row.phase, row.type);
        EXPECT_EQ(f.hooks.Take(), row.calls);
        EXPECT_EQ(f.plugin.Phase(), row.storedPhase);
        EXPECT_EQ(f.plugin.CurrentPriority(), row.current);
    }
}

TEST(SequenceRegistry, DuplicatePriorityKeepsTheFirstEvent) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("first", 4);
    f.plugin.RegisterSequenceEvent("second", 4);
    f.plugin.RegisterSequenceEvent("first", 4);
    auto events = f.plugin.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[4], (SequenceEvent{"first", 4}));
}

TEST(SequenceRegistry, SameNameAtTwoPriorities) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("dup", 1);
    f.plugin.RegisterSequenceEvent("dup", 5);
    f.Enter();
    // The lowest match is the current one: refused, and the entry at 5 stays too.
    f.plugin.DeregisterSequenceEvent("dup");
    EXPECT_EQ(f.plugin.Events().size(), 2u);
    // Completing the name advances to the next entry, which has the same name.
    f.plugin.CompleteSequenceEvent("dup");
    f.plugin.CompleteSequenceEvent("dup");
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish dup/1", "publish dup/5", "publish /-1", "complete"}));

    // Out of the phase the lowest entry with the name is removed.
    f.Enter(GameflowPhase::EndOfGame);
    f.plugin.DeregisterSequenceEvent("dup");
    auto events = f.plugin.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events.begin()->first, 5);
}

TEST(SequenceRegistry, RefusedCompletionsChangeNothing) {
    struct Row {
        const char* what;
        std::function<void(Fixture&)> setup;
        const char* name;
    };
    const std::vector<Row> rows = {
        {"not in the phase", [](Fixture& f) { f.plugin.RegisterSequenceEvent("a", 1); }, "a"},
        {"no events", [](Fixture& f) { f.Enter(); }, "a"},
        {"current priority absent after the end",
         [](Fixture& f) {
             f.plugin.RegisterSequenceEvent("a", 1);
             f.Enter();
             f.plugin.CompleteSequenceEvent("a");
         },
         "a"},
        {"pending event is not current",
         [](Fixture& f) {
             f.plugin.RegisterSequenceEvent("a", 1);
             f.plugin.RegisterSequenceEvent("b", 2);
             f.Enter();
         },
         "b"},
        {"names compare byte for byte",
         [](Fixture& f) {
             f.plugin.RegisterSequenceEvent("Name", 1);
             f.Enter();
         },
         "name"},
        {"phase left while the event is still current",
         [](Fixture& f) {
             f.plugin.RegisterSequenceEvent("a", 1);
             f.Enter();
             f.Enter(GameflowPhase::EndOfGame);
         },
         "a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Fixture f;
        row.setup(f);
        f.hooks.Take();
        auto events = f.plugin.Events();
        int32_t current = f.plugin.CurrentPriority();
        f.plugin.CompleteSequenceEvent(row.name);
        EXPECT_TRUE(f.hooks.calls.empty());
        EXPECT_EQ(f.plugin.Events(), events);
        EXPECT_EQ(f.plugin.CurrentPriority(), current);
    }
}

TEST(SequenceRegistry, RestartAndLateRegistrations) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("a", 10);
    f.plugin.RegisterSequenceEvent("c", 20);
    f.Enter();
    f.plugin.RegisterSequenceEvent("early", 5);  // below the current one: not visited in this run
    f.plugin.RegisterSequenceEvent("b", 15);     // between current and next: visited next
    f.plugin.CompleteSequenceEvent("a");
    EXPECT_EQ(f.Current(), "b/15");
    // A second PreEndOfGame update restarts from the lowest priority.
    f.Enter();
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish a/10", "publish b/15", "publish early/5"}));
    // With no events, every PreEndOfGame update posts the completion again, and a
    // registration afterwards waits for the next update.
    Fixture g;
    g.Enter();
    g.Enter();
    g.plugin.RegisterSequenceEvent("late", 1);
    EXPECT_EQ(g.hooks.Take(), (Calls{"complete", "complete"}));
    g.Enter();
    EXPECT_EQ(g.hooks.Take(), (Calls{"publish late/1"}));
}

TEST(SequenceRegistry, DeregistrationRules) {
    Fixture f;
    f.plugin.DeregisterSequenceEvent("missing");
    f.plugin.RegisterSequenceEvent("a", 1);
    f.plugin.RegisterSequenceEvent("b", 2);
    f.Enter();
    f.plugin.DeregisterSequenceEvent("a");  // its turn: refused
    f.plugin.DeregisterSequenceEvent("b");  // pending: removed
    EXPECT_EQ(f.plugin.Events().size(), 1u);
    f.Enter(GameflowPhase::EndOfGame);
    EXPECT_EQ(f.Current(), "a/1");
    f.plugin.DeregisterSequenceEvent("a");  // phase moved on: removed
    EXPECT_EQ(f.Current(), "/-1");
    EXPECT_EQ(f.plugin.CurrentPriority(), 1);  // the kept priority is not reset
    // A Delete of the session keeps the stored phase.
    f.Enter(GameflowPhase::PreEndOfGame, PluginResourceEventType::Delete);
    EXPECT_EQ(f.plugin.Phase(), GameflowPhase::EndOfGame);
}

TEST(SequenceRegistry, MinusOneIsAnOrdinaryPriority) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("m", -1);
    f.plugin.RegisterSequenceEvent("n", 3);
    EXPECT_EQ(f.Current(), "m/-1");  // found before any sequence
    f.Enter();
    f.plugin.CompleteSequenceEvent("m");
    f.plugin.CompleteSequenceEvent("n");
    EXPECT_EQ(f.Current(), "m/-1");  // and again after the end
    // Still in PreEndOfGame after the end: completing it advances past -1.
    f.plugin.DeregisterSequenceEvent("m");
    EXPECT_EQ(f.plugin.Events().size(), 2u);  // refused as "their turn"
    f.plugin.CompleteSequenceEvent("m");
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish m/-1", "publish n/3", "publish /-1", "complete", "publish n/3"}));
}

TEST(SequenceRegistry, ExtremePrioritiesOrderBySignedValue) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("max", 2147483647);
    f.plugin.RegisterSequenceEvent("min", -2147483647 - 1);
    f.Enter();
    f.plugin.CompleteSequenceEvent("min");
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish min/-2147483648", "publish max/2147483647"}));
}

TEST(SequenceRegistry, HookMayCallBackIntoTheRegistry) {
    Fixture f;
    f.plugin.RegisterSequenceEvent("a", 1);
    f.plugin.RegisterSequenceEvent("b", 2);
    // An owner that completes its event as soon as it is published, on the same thread.
    f.hooks.onPublish = [&](const SequenceEvent& e) {
        if (!e.name.empty()) f.plugin.CompleteSequenceEvent(e.name);
    };
    f.Enter();
    EXPECT_EQ(f.hooks.Take(), (Calls{"publish a/1", "publish b/2", "publish /-1", "complete"}));
    EXPECT_EQ(f.Current(), "/-1");
}

TEST(SequenceRegistry, ConcurrentCallersLeaveItConsistent) {
    Fixture f;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                std::string name = Named("t", t);
                name += Named("-", i % 20);
                f.plugin.RegisterSequenceEvent(name, t * 100 + i % 20);
                if (i % 7 == 0) f.Enter();
                f.plugin.CompleteSequenceEvent(f.plugin.GetCurrentSequenceEvent().name);
                if (i % 3 == 0) f.plugin.DeregisterSequenceEvent(name);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& [priority, event] : f.plugin.Events()) EXPECT_EQ(priority, event.priority);
    // Every publication is logged first, both under the registry's lock: the two
    // sequences match one for one, and each event is published with its own priority.
    const std::string changed = "PreEndOfGame sequence event changed - ";
    Calls logged, published;
    for (const std::string& message : Vemi::Testing::RecordedLogMessages()) {
        if (message.starts_with(changed)) logged.push_back(message.substr(changed.size()));
    }
    for (const std::string& call : f.hooks.calls) {
        if (!call.starts_with("publish ")) continue;
        std::string event = call.substr(8);
        std::string name = event.substr(0, event.find('/'));
        published.push_back(name);
        int32_t priority = std::stoi(event.substr(event.find('/') + 1));
        if (name.empty()) {
            EXPECT_EQ(priority, -1);
        } else {
            size_t dash = name.find('-');
            EXPECT_EQ(priority, std::stoi(name.substr(1, dash - 1)) * 100 + std::stoi(name.substr(dash + 1))) << name;
        }
    }
    EXPECT_FALSE(published.empty());
    EXPECT_EQ(logged, published);
}
