#include <kav/host_tool/player.h>

namespace Vemi::HostTool {
namespace {

constexpr std::string_view kBuiltin = R"(# The built-in scenario: a whole pre-end-of-game sequence as the host sees it.
# While it initialises, the plugin fetches the gameflow session once.
expect request GET /kav-gameflow/v1/session

# Three owners register their events, out of priority order.
request POST /kav-pre-end-of-game/v1/registration/scoreboard/10
expect reply ok
request POST /kav-pre-end-of-game/v1/registration/honor/-5
expect reply ok
request POST /kav-pre-end-of-game/v1/registration/stats/0
expect reply ok

# Before any sequence there is no current event.
request GET /kav-pre-end-of-game/v1/currentSequenceEvent
expect reply body {"name": string:"", "priority": signed:-1}

# The session enters PreEndOfGame: the lowest priority becomes current. Every change is
# logged and published twice, under the resource's key and under OnJsonApiEvent.
session PreEndOfGame
expect log Always "PreEndOfGame sequence event changed - honor"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"honor", "priority": signed:-5}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent \
  {"data": {"name": string:"honor", "priority": signed:-5}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}

# Each owner completes its event when it is published.
request POST /kav-pre-end-of-game/v1/complete/honor
expect reply ok
expect log Always "PreEndOfGame sequence event changed - stats"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"stats", "priority": signed:0}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent

request POST /kav-pre-end-of-game/v1/complete/stats
expect reply ok
expect log Always "PreEndOfGame sequence event changed - scoreboard"
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"scoreboard", "priority": signed:10}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent

# The last completion publishes the empty event, then posts the gameflow completion,
# which moves the host's session to EndOfGame.
request POST /kav-pre-end-of-game/v1/complete/scoreboard
expect reply ok
expect log Always "PreEndOfGame sequence event changed - "
expect event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent \
  {"data": {"name": string:"", "priority": signed:-1}, "eventType": string:"Update", \
   "uri": string:"/kav-pre-end-of-game/v1/currentSequenceEvent"}
expect event OnJsonApiEvent
expect request POST /kav-gameflow/v1/session/event [string:"GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED"]
expect phase EndOfGame
expect no event
expect no request
)";

}  // namespace

std::string_view BuiltinScenario() noexcept { return kBuiltin; }

}  // namespace Vemi::HostTool
