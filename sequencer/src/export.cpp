// The only symbol the plugin library exports. It is compiled into the library itself
// (not an archive) so that hiding the archives' symbols leaves it visible.
#include <kav/runtime/plugin_entry.h>
#include <kav/sequencer/pre_end_of_game_runtime.h>

KAV_PLUGIN_ENTRY(load_kav_pre_end_of_game, Vemi::Client::PreEndOfGame::kShortName,
                 Vemi::Client::PreEndOfGame::PreEndOfGameRuntime);
