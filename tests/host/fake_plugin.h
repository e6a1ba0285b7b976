// A small plugin for the host tests, built on kav/host_abi.h alone. Its functions:
//   GET  /fake/v1/items/{id}   "GetItem"  echoes the request (a structure, see EchoValue)
//   POST /fake/v1/items/{id}   "PostItem" the same
//   GET  /fake/v1/stream       "Stream"   a streamed reply "alpha", (no data), "beta";
//                                         with ?fail the second read fails
//   POST /fake/v1/call/{what}  "Call"     acts on the host: event, session, complete,
//                                         drain, unsubscribe, unknown, resource, blank (see the source)
// Each checks its method as a real plugin does and answers 404 "Invalid function" otherwise.
#pragma once

#include <kav/host_abi.h>

#include <atomic>
#include <mutex>
#include <string>

struct FakePluginState {
    uint32_t hostMajor = 0, hostMinor = 0, hostPatch = 0;  // version the host passed in
    uint32_t pluginId = 0;
    std::atomic<uint32_t> shutdownCalls{0};
    std::atomic<uint32_t> repliesMade{0}, repliesReleased{0};
    std::atomic<uint32_t> streamsMade{0}, streamsDestroyed{0};
    std::atomic<uint32_t> events{0}, wrongContext{0}, reentered{0};
    std::mutex mutex;  // guards the texts below
    std::string initialSession;  // canonical-ish text of the GET in initialize
    std::string lastEventType, lastPhase;
};

// Reset by every call of the export.
extern "C" KAV_EXPORT FakePluginState* fake_plugin_state();
