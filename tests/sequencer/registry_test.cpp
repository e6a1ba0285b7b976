#include <kav/sequencer/pre_end_of_game_plugin.h>

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
    std::string Registered() {
        std::string text;
        for (const auto& [priority, e] : plugin.Events()) {
            // Appended, not `" " + Named(...)`: g++ 12 -O3 takes that insert for an overlapping copy (-Wrestrict).
            if (!text.empty()) text += ' ';
            text += Named(e.name.c_str(), priority);
        }
        return text;
    }
    void Register(const std::string& name, int32_t priority) { plugin.RegisterSequenceEvent(name, priority); }

    // Plays space-separated steps: "+name:priority" registers, "-name" deregisters,
    // "!name" completes; "enter", "end" and "delete" are session updates (PreEndOfGame,
    // EndOfGame, and a Delete of PreEndOfGame); "=name/priority" checks the current
    // event, "#n" the number of registered events, "@p" the current priority.
    void Play(const std::string& steps) {
        size_t at = 0;
        while (at < steps.size()) {
            size_t end = steps.find(' ', at);
            if (end == std::string::npos) end = steps.size();
            const std::string step = steps.substr(at, end - at);
            const std::string rest = step.substr(1);
            at = end + 1;
            SCOPED_TRACE(step);
            if (step == "enter") Enter();
            else if (step == "end") Enter(GameflowPhase::EndOfGame);
            else if (step == "delete") Enter(GameflowPhase::PreEndOfGame, PluginResourceEventType::Delete);
            else if (step[0] == '+') Register(rest.substr(0, rest.rfind(':')), std::stoi(rest.substr(rest.rfind(':') + 1)));
            else if (step[0] == '-') plugin.DeregisterSequenceEvent(rest);
            else if (step[0] == '!') plugin.CompleteSequenceEvent(rest);
            else if (step[0] == '=') EXPECT_EQ(Current(), rest);
            else if (step[0] == '#') EXPECT_EQ(plugin.Events().size(), std::stoul(rest));
            else if (step[0] == '@') EXPECT_EQ(plugin.CurrentPriority(), std::stoi(rest));
            else ADD_FAILURE() << "unknown step";
        }
    }
};

}  // namespace

TEST(SequenceRegistry, Scenarios) {
    // registered: "name<priority>" in priority order.
    struct Row { const char *what, *steps; Calls calls; const char* registered; GameflowPhase phase; };
    const Row rows[] = {
        {"ascending priority, completed once; events stay for the next PreEndOfGame",
         "+ten:10 +minus:-5 +zero:0 =/-1 enter !minus !zero =ten/10 !ten #3 end enter",
         {"publish minus/-5", "publish zero/0", "publish ten/10", "publish /-1", "complete", "publish minus/-5"},
         "minus-5 zero0 ten10", GameflowPhase::PreEndOfGame},
        {"a taken priority keeps the first event", "+first:4 +second:4 +first:4", {}, "first4", GameflowPhase::None},
        // In the phase the lowest match is current: refused. Completing the name advances to the next
        // entry of the same name; out of the phase the lowest entry with the name is removed.
        {"same name at two priorities", "+dup:1 +dup:5 enter -dup #2 !dup !dup end -dup",
         {"publish dup/1", "publish dup/5", "publish /-1", "complete"}, "dup5", GameflowPhase::EndOfGame},
        // Below the current one: not visited in this run; between current and next: visited next. A
        // second PreEndOfGame update restarts from the lowest priority.
        {"late registrations and a restart", "+a:10 +c:20 enter +early:5 +b:15 !a =b/15 enter",
         {"publish a/10", "publish b/15", "publish early/5"}, "early5 a10 b15 c20", GameflowPhase::PreEndOfGame},
        {"without events every update completes; a later registration waits for the next",
         "enter enter +late:1 enter", {"complete", "complete", "publish late/1"}, "late1", GameflowPhase::PreEndOfGame},
        // Its turn: refused; pending: removed; phase moved on: removed, the kept priority is not reset. A
        // Delete of the session keeps the stored phase.
        {"deregistration rules", "-missing +a:1 +b:2 enter -a -b #1 end =a/1 -a =/-1 @1 delete", {"publish a/1"}, "",
         GameflowPhase::EndOfGame},
        // Found before any sequence and again after its end; still in PreEndOfGame after the end,
        // deregistering it is refused as "their turn" and completing it advances past -1.
        {"minus one is an ordinary priority", "+m:-1 +n:3 =m/-1 enter !m !n =m/-1 -m #2 !m",
         {"publish m/-1", "publish n/3", "publish /-1", "complete", "publish n/3"}, "m-1 n3", GameflowPhase::PreEndOfGame},
        {"extreme priorities order by signed value", "+max:2147483647 +min:-2147483648 enter !min",
         {"publish min/-2147483648", "publish max/2147483647"}, "min-2147483648 max2147483647",
         GameflowPhase::PreEndOfGame},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Fixture f;
        f.Play(row.steps);
        EXPECT_EQ(f.hooks.Take(), row.calls);
        EXPECT_EQ(f.Registered(), row.registered);
        EXPECT_EQ(f.plugin.Phase(), row.phase);
    }
}

TEST(SequenceRegistry, SessionUpdatesFollowTheStateTable) {
    using Type = PluginResourceEventType;
    struct Row { const char* what; std::vector<int32_t> priorities; Type type; GameflowPhase phase, storedPhase;
                 Calls calls; int32_t current; };
    const std::vector<Row> rows = {
        {"other phase stores only", {1}, Type::Update, GameflowPhase::Lobby, GameflowPhase::Lobby, {}, -1},
        {"create starts a sequence", {3, 1}, Type::Create, GameflowPhase::PreEndOfGame, GameflowPhase::PreEndOfGame,
         {"publish e1/1"}, 1},
        {"no events completes at once", {}, Type::Update, GameflowPhase::PreEndOfGame, GameflowPhase::PreEndOfGame,
         {"complete"}, -1},
        {"delete is ignored", {1}, Type::Delete, GameflowPhase::PreEndOfGame, GameflowPhase::None, {}, -1},
        {"unknown event type acts as update", {2}, static_cast<Type>(7), GameflowPhase::PreEndOfGame,
         GameflowPhase::PreEndOfGame, {"publish e2/2"}, 2},
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

TEST(SequenceRegistry, RefusedCompletionsChangeNothing) {
    // What leads up to the completion (the steps of Play), and the name completed.
    struct Row { const char *what, *steps, *name; };
    const Row rows[] = {
        {"not in the phase", "+a:1", "a"},
        {"no events", "enter", "a"},
        {"current priority absent after the end", "+a:1 enter !a", "a"},
        {"pending event is not current", "+a:1 +b:2 enter", "b"},
        {"names compare byte for byte", "+Name:1 enter", "name"},
        {"phase left while the event is still current", "+a:1 enter end", "a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Fixture f;
        f.Play(row.steps);
        f.hooks.Take();
        auto events = f.plugin.Events();
        int32_t current = f.plugin.CurrentPriority();
        f.plugin.CompleteSequenceEvent(row.name);
        EXPECT_TRUE(f.hooks.calls.empty());
        EXPECT_EQ(f.plugin.Events(), events);
        EXPECT_EQ(f.plugin.CurrentPriority(), current);
    }
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
        const std::string name = call.substr(8, call.find('/') - 8);
        published.push_back(name);
        const size_t dash = name.find('-');  // "t<thread>-<i>" has priority thread * 100 + i
        const int32_t priority =
            name.empty() ? -1 : std::stoi(name.substr(1, dash - 1)) * 100 + std::stoi(name.substr(dash + 1));
        EXPECT_EQ(call, "publish " + name + "/" + std::to_string(priority));
    }
    EXPECT_FALSE(published.empty());
    EXPECT_EQ(logged, published);
}
