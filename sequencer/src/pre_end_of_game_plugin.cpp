#include <kav/sequencer/pre_end_of_game_plugin.h>

#include <mutex>

#include <kav/logging/log.h>

namespace Vemi::Client::PreEndOfGame {

using Api::GameflowPhase;
using Api::SequenceEvent;
using Guard = std::lock_guard<Platform::RecursiveLock>;

void PreEndOfGamePlugin::RegisterSequenceEvent(const std::string& name, int32_t priority) {
    Guard guard(lock_);
    auto [it, inserted] = events_.try_emplace(priority, SequenceEvent{name, priority});
    if (!inserted) {
        Trace("Failed to register PreEndOfGame sequence event due to duplicate priority - events: %s and %s",
              it->second.name.c_str(), name.c_str());
    }
}

void PreEndOfGamePlugin::DeregisterSequenceEvent(const std::string& name) {
    Guard guard(lock_);
    auto match = events_.begin();
    while (match != events_.end() && match->second.name != name) ++match;
    if (match == events_.end()) {
        Trace("PreEndOfGame sequence event not found during deregistration: %s", name.c_str());
        return;
    }
    if (phase_ == GameflowPhase::PreEndOfGame && match->first == currentPriority_) {
        Trace("PreEndOfGame sequence events cannot be deregistered when it is their turn: %s", name.c_str());
        return;
    }
    events_.erase(match);
}

void PreEndOfGamePlugin::CompleteSequenceEvent(const std::string& name) {
    Guard guard(lock_);
    if (phase_ != GameflowPhase::PreEndOfGame) {
        Trace("Unexpected PreEndOfGame sequence event completion - not yet in PreEndOfGame phase: %s", name.c_str());
        return;
    }
    if (events_.empty()) {
        Trace("Unexpected PreEndOfGame sequence event completion - no PreEndOfGame events registered: %s",
              name.c_str());
        return;
    }
    auto current = events_.find(currentPriority_);
    if (current == events_.end()) {
        Trace("Unexpected PreEndOfGame sequence event completion: %s was not found in the sequence event list",
              name.c_str());
        return;
    }
    if (current->second.name != name) {
        Trace("Unexpected PreEndOfGame sequence event completion: Got %s, waiting on %s", name.c_str(),
              current->second.name.c_str());
        return;
    }
    auto next = std::next(current);
    if (next != events_.end()) {
        currentPriority_ = next->first;
        // Publish a copy: a hook may re-enter and change the map.
        SetCurrentSequenceEvent(SequenceEvent(next->second));
        return;
    }
    currentPriority_ = -1;
    SetCurrentSequenceEvent(SequenceEvent{});
    hooks_.PostPreEndOfGameCompleted();
}

SequenceEvent PreEndOfGamePlugin::GetCurrentSequenceEvent() {
    Guard guard(lock_);
    auto current = events_.find(currentPriority_);
    return current == events_.end() ? SequenceEvent{} : current->second;
}

void PreEndOfGamePlugin::OnGameflowSessionUpdate(PluginResourceEventType type, GameflowPhase phase) {
    Guard guard(lock_);
    if (type == PluginResourceEventType::Delete) return;
    phase_ = phase;
    if (phase != GameflowPhase::PreEndOfGame) return;
    if (events_.empty()) {
        hooks_.PostPreEndOfGameCompleted();
        return;
    }
    currentPriority_ = events_.begin()->first;
    SetCurrentSequenceEvent(SequenceEvent(events_.begin()->second));
}

void PreEndOfGamePlugin::SetCurrentSequenceEvent(const SequenceEvent& event) {
    Log(kLogAlways, kCategoryDBG, "PreEndOfGame sequence event changed - %s", event.name.c_str());
    hooks_.PublishCurrentSequenceEvent(event);
}

std::map<int32_t, SequenceEvent> PreEndOfGamePlugin::Events() {
    Guard guard(lock_);
    return events_;
}

int32_t PreEndOfGamePlugin::CurrentPriority() {
    Guard guard(lock_);
    return currentPriority_;
}

GameflowPhase PreEndOfGamePlugin::Phase() {
    Guard guard(lock_);
    return phase_;
}

}  // namespace Vemi::Client::PreEndOfGame
