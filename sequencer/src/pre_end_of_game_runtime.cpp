#include <kav/sequencer/pre_end_of_game_runtime.h>

#include <new>

#include <kav/logging/log.h>

namespace Vemi::Client::PreEndOfGame {

namespace Api {

void Describe(Binding::Enumeration<GameflowPhase>& e) {
    e.Name("GameflowPhase")
        .Value("None", GameflowPhase::None)
        .Value("Lobby", GameflowPhase::Lobby)
        .Value("Matchmaking", GameflowPhase::Matchmaking)
        .Value("CheckedIntoTournament", GameflowPhase::CheckedIntoTournament)
        .Value("ReadyCheck", GameflowPhase::ReadyCheck)
        .Value("ChampSelect", GameflowPhase::ChampSelect)
        .Value("GameStart", GameflowPhase::GameStart)
        .Value("FailedToLaunch", GameflowPhase::FailedToLaunch)
        .Value("InProgress", GameflowPhase::InProgress)
        .Value("Reconnect", GameflowPhase::Reconnect)
        .Value("WaitingForStats", GameflowPhase::WaitingForStats)
        .Value("PreEndOfGame", GameflowPhase::PreEndOfGame)
        .Value("EndOfGame", GameflowPhase::EndOfGame)
        .Value("TerminatedInError", GameflowPhase::TerminatedInError);
}

void Describe(Binding::Record<GameflowSessionResource>& r) {
    r.Name("GameflowSessionResource").Field("phase", &GameflowSessionResource::phase);
}

void Describe(Binding::Record<SequenceEvent>& r) {
    r.Name("SequenceEvent").Field("name", &SequenceEvent::name).Field("priority", &SequenceEvent::priority);
}

}  // namespace Api

using Vemi::Api::HttpMethod;

PreEndOfGameRuntime::PreEndOfGameRuntime() : plugin_(new (std::nothrow) PreEndOfGamePlugin(*this)) {}

// The plugin goes first: its hooks reach this runtime.
PreEndOfGameRuntime::~PreEndOfGameRuntime() { plugin_.reset(); }

void PreEndOfGameRuntime::OnLoad() {
    if (plugin_ == nullptr) return;
    Binding::RegisterType<Api::GameflowPhase>(Registry(), ApiNamePrefix());
    Binding::RegisterType<Api::GameflowSessionResource>(Registry(), ApiNamePrefix());
    Binding::RegisterType<Api::SequenceEvent>(Registry(), ApiNamePrefix());

    PreEndOfGamePlugin& p = *plugin_;
    BindEndpoint(HttpMethod::Post, "/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}", p,
                 &PreEndOfGamePlugin::RegisterSequenceEvent, {"sequenceEventName", "priority"});
    BindEndpoint(HttpMethod::Delete, "/kav-pre-end-of-game/v1/registration/{sequenceEventName}", p,
                 &PreEndOfGamePlugin::DeregisterSequenceEvent, {"sequenceEventName"});
    BindEndpoint(HttpMethod::Post, "/kav-pre-end-of-game/v1/complete/{sequenceEventName}", p,
                 &PreEndOfGamePlugin::CompleteSequenceEvent, {"sequenceEventName"});
    BindEndpoint(HttpMethod::Get, kCurrentSequenceEventUri, p, &PreEndOfGamePlugin::GetCurrentSequenceEvent, {});
}

bool PreEndOfGameRuntime::OnInitialized() {
    if (plugin_ == nullptr) return true;
    // Initialize has the host's table, so this only fails as the host refuses it; the
    // plugin then waits, as it does for a session that never comes.
    (void)SubscribeToResource<Api::GameflowSessionResource>(
        kGameflowSessionUri, [this](const ResourceUpdate<Api::GameflowSessionResource>& update) {
            plugin_->OnGameflowSessionUpdate(update.eventType, update.data.phase);
        });
    return true;
}

void PreEndOfGameRuntime::PublishCurrentSequenceEvent(const Api::SequenceEvent& event) {
    PluginResourceEvent resource;
    resource.uri = kCurrentSequenceEventUri;
    resource.eventType = PluginResourceEventType::Update;
    Binding::BindingResult data;
    Binding::ToValue(data, event, Registry());
    if (!data.Ok()) {
        Trace("%s: Couldn't convert resource %s for event uri \"%s\"", kShortName,
              Binding::StaticType::Name<Api::SequenceEvent>(), kCurrentSequenceEventUri);
        return;
    }
    resource.data = std::move(data.value);
    (void)EmitEvent("OnJsonApiEvent", resource, 0);
}

void PreEndOfGameRuntime::PostPreEndOfGameCompleted() {
    (void)Request<void>(HttpMethod::Post, kGameflowSessionEventUri, kPreEndOfGameCompleted);
}

}  // namespace Vemi::Client::PreEndOfGame
