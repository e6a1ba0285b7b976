// The pre-end-of-game sequence registry: named events ordered by priority,
// stepped through while the gameflow session is in PreEndOfGame.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <kav/platform/platform.h>
#include <kav/runtime/runtime_types.h>

namespace Vemi::Client::PreEndOfGame::Api {

enum class GameflowPhase : int32_t {
    None = 0,
    Lobby = 1,
    Matchmaking = 2,
    CheckedIntoTournament = 3,
    ReadyCheck = 4,
    ChampSelect = 5,
    GameStart = 6,
    FailedToLaunch = 7,
    InProgress = 8,
    Reconnect = 9,
    WaitingForStats = 10,
    PreEndOfGame = 11,
    EndOfGame = 12,
    TerminatedInError = 13,
};

struct GameflowSessionResource {
    GameflowPhase phase = GameflowPhase::None;
};

struct SequenceEvent {
    std::string name;
    int32_t priority = -1;

    friend bool operator==(const SequenceEvent&, const SequenceEvent&) = default;
};

}  // namespace Vemi::Client::PreEndOfGame::Api

namespace Vemi::Client::PreEndOfGame {

using Vemi::PluginResourceEventType;

// The registry's two outputs; the plugin's runtime carries them to the host.
class SequenceHooks {
public:
    // Called with every new current event (the empty event at the end).
    virtual void PublishCurrentSequenceEvent(const Api::SequenceEvent& event) = 0;
    // Called when the sequence is over; the outcome is not the registry's concern.
    virtual void PostPreEndOfGameCompleted() = 0;

protected:
    ~SequenceHooks() = default;
};

class PreEndOfGamePlugin {
public:
    explicit PreEndOfGamePlugin(SequenceHooks& hooks) : hooks_(hooks) {}
    virtual ~PreEndOfGamePlugin() = default;
    PreEndOfGamePlugin(const PreEndOfGamePlugin&) = delete;
    PreEndOfGamePlugin& operator=(const PreEndOfGamePlugin&) = delete;

    void RegisterSequenceEvent(const std::string& name, int32_t priority);
    void DeregisterSequenceEvent(const std::string& name);
    void CompleteSequenceEvent(const std::string& name);
    [[nodiscard]] Api::SequenceEvent GetCurrentSequenceEvent();
    void OnGameflowSessionUpdate(PluginResourceEventType type, Api::GameflowPhase phase);

    // Read-only views for diagnostics and tests.
    [[nodiscard]] std::map<int32_t, Api::SequenceEvent> Events();
    [[nodiscard]] int32_t CurrentPriority();
    [[nodiscard]] Api::GameflowPhase Phase();

private:
    void SetCurrentSequenceEvent(const Api::SequenceEvent& event);

    SequenceHooks& hooks_;
    std::map<int32_t, Api::SequenceEvent> events_;
    int32_t currentPriority_ = -1;
    Api::GameflowPhase phase_ = Api::GameflowPhase::None;
    // Requests and session updates may arrive on several host threads; a hook may
    // call back into the registry on the same thread, hence recursive.
    Platform::RecursiveLock lock_;
};

}  // namespace Vemi::Client::PreEndOfGame
