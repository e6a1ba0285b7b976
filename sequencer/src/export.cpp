// The only symbol the plugin library exports. It is compiled into the library itself
// (not an archive) so that hiding the archives' symbols leaves it visible.
#include "platform/platform.h"
#include "sequencer/pre_end_of_game_runtime.h"

extern "C" void load_kav_pre_end_of_game(PluginLoadRecord* record) {
    using Vemi::Client::PreEndOfGame::PreEndOfGameRuntime;
    // Before anything can throw: our exceptions must unwind with our own unwinder,
    // whatever else the host has loaded.
    (void)Vemi::Platform::EnsureOwnUnwindTables();
    if (record == nullptr) return;  // nowhere to hand a runtime: build none
    PreEndOfGameRuntime* runtime = nullptr;
    try {
        runtime = new PreEndOfGameRuntime();
    } catch (...) {
        runtime = nullptr;  // no load: the record stays unfilled
    }
    Vemi::RunLoadSequence(runtime, record, Vemi::Client::PreEndOfGame::kShortName);
}
