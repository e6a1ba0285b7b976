// A bounded load on a running `kav-host serve` over loopback, with the real plugin behind
// it: keep-alive HTTP clients registering, completing and reading sequence events (one of
// them restarting the sequence now and then) while a WebSocket client watches every item
// the server publishes. Shared by the load test, which checks the outcome, and the
// benchmark, which prints the figures.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace Vemi::HostTool {

struct LoadOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 0;
    int clients = 50;
    int requestsPerClient = 200;
    std::chrono::milliseconds deadline{60000};  // the whole run, connections included
    std::string authorization;                  // the Authorization header's value, if any
};

struct LoadResult {
    // Empty when every request was answered with the status it should have and the watcher
    // received every published item once, in order, each publication of the current event
    // twice in a row, and the publications in the order the sequence allows.
    std::string failure;
    uint64_t requests = 0;      // answered requests
    uint64_t published = 0;     // items the watcher received
    uint64_t pluginEvents = 0;  // ... of which events the plugin sent
    double seconds = 0;         // first request sent to last answer read
    double requestsPerSecond = 0;
    double p50Microseconds = 0;  // latency of a request, write to answer
    double p99Microseconds = 0;
};

// Runs the load against the server at address:port; its session must exist and the plugin
// must hold no events at priorities above 0.
[[nodiscard]] LoadResult RunLoad(const LoadOptions& options);

}  // namespace Vemi::HostTool
