// The pre-end-of-game plugin: its bound types, its runtime with the four endpoints
// and the gameflow session subscription, and the export the host calls.
#pragma once

#include <memory>

#include <kav/binding/typed.h>
#include <kav/host_abi.h>
#include <kav/runtime/plugin_runtime.h>
#include <kav/sequencer/pre_end_of_game_plugin.h>

namespace Vemi::Client::PreEndOfGame::Api {

void Describe(Binding::Enumeration<GameflowPhase>& e);
void Describe(Binding::Record<GameflowSessionResource>& r);
void Describe(Binding::Record<SequenceEvent>& r);

}  // namespace Vemi::Client::PreEndOfGame::Api

KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::GameflowPhase, "enum");
KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::GameflowSessionResource, "struct");
KAV_STATIC_TYPE_NAME(Vemi::Client::PreEndOfGame::Api::SequenceEvent, "struct");

namespace Vemi::Client::PreEndOfGame {

inline constexpr const char* kShortName = "kav-pre-end-of-game";
inline constexpr const char* kCurrentSequenceEventUri = "/kav-pre-end-of-game/v1/currentSequenceEvent";
inline constexpr const char* kGameflowSessionUri = "/kav-gameflow/v1/session";
inline constexpr const char* kGameflowSessionEventUri = "/kav-gameflow/v1/session/event";
inline constexpr const char* kPreEndOfGameCompleted = "GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED";

class PreEndOfGameRuntime final : public PluginRuntime, public SequenceHooks {
public:
    PreEndOfGameRuntime();
    ~PreEndOfGameRuntime() override;

    void OnLoad() override;
    [[nodiscard]] bool OnInitialized() override;
    void PublishCurrentSequenceEvent(const Api::SequenceEvent& event) override;
    void PostPreEndOfGameCompleted() override;

    // Null only when allocating it failed.
    [[nodiscard]] PreEndOfGamePlugin* Plugin() noexcept { return plugin_.get(); }

private:
    std::unique_ptr<PreEndOfGamePlugin> plugin_;
};

}  // namespace Vemi::Client::PreEndOfGame

extern "C" KAV_EXPORT void load_kav_pre_end_of_game(PluginLoadRecord* record);
