// Drives the sequence registry through one whole pre-end-of-game sequence and
// prints what its two hooks were given. The registry's own log lines go to
// standard error.
#include <cstdio>

#include <kav/sequencer/pre_end_of_game_plugin.h>

using namespace Vemi::Client::PreEndOfGame;
using Api::GameflowPhase;
using Api::SequenceEvent;

namespace {

class PrintingHooks : public SequenceHooks {
public:
    void PublishCurrentSequenceEvent(const SequenceEvent& e) override {
        std::printf("  publication hook: {name: \"%s\", priority: %d}\n", e.name.c_str(), e.priority);
        std::fflush(stdout);
    }
    void PostPreEndOfGameCompleted() override {
        std::printf("  completion hook: POST \"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\"\n");
        std::fflush(stdout);
    }
};

void Step(const char* what) {
    std::printf("%s\n", what);
    std::fflush(stdout);
}

}  // namespace

int main() {
    PrintingHooks hooks;
    PreEndOfGamePlugin plugin(hooks);

    Step("register \"scoreboard\" at 10, \"honor\" at -5, \"missions\" at 0");
    plugin.RegisterSequenceEvent("scoreboard", 10);
    plugin.RegisterSequenceEvent("honor", -5);
    plugin.RegisterSequenceEvent("missions", 0);

    Step("session update: phase InProgress");
    plugin.OnGameflowSessionUpdate(PluginResourceEventType::Update, GameflowPhase::InProgress);
    Step("session update: phase PreEndOfGame");
    plugin.OnGameflowSessionUpdate(PluginResourceEventType::Update, GameflowPhase::PreEndOfGame);

    for (const char* name : {"honor", "missions", "scoreboard"}) {
        std::printf("complete \"%s\"\n", name);
        std::fflush(stdout);
        plugin.CompleteSequenceEvent(name);
    }
    SequenceEvent current = plugin.GetCurrentSequenceEvent();
    std::printf("current event afterwards: {name: \"%s\", priority: %d}\n", current.name.c_str(), current.priority);
    return 0;
}
