// kav-host serve on loopback with the real plugin: keep-alive HTTP clients registering,
// completing and reading sequence events (one restarting the sequence now and then) while
// a WebSocket client watches everything published; the same load the load test checks.
//   ServeLoad/CLIENTS  one run of CLIENTS clients x 200 requests, server started afresh
// Counters: requests_per_second (answered requests over the run's wall time), p50_us and
// p99_us (latency of one request, write to answer), events (plugin events watched).
#include <benchmark/benchmark.h>

#include <kav/host/host.h>
#include <kav/host_tool/serve.h>
#include <kav/host_tool/serve_load.h>

#include <sstream>

using namespace Vemi;
using namespace Vemi::HostTool;

namespace {

constexpr int kRequestsPerClient = 200;

void ServeLoad(benchmark::State& state) {
    for (auto _ : state) {
        Host::Host host;
        if (!host.Load(KAV_HOST_PLUGIN_PATH) || !host.Initialize()) {
            state.SkipWithError(host.LastError().c_str());
            return;
        }
        ServeOptions options;
        options.port = 0;
        options.transcript = false;
        options.secret = NewServeSecret();
        std::ostringstream out;
        Server server(host, options, out);
        if (std::string error = server.Start(); !error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        LoadOptions load;
        load.port = server.Port();
        load.authorization = BasicAuthorization("kav-host", options.secret);
        load.clients = static_cast<int>(state.range(0));
        load.requestsPerClient = kRequestsPerClient;
        load.deadline = std::chrono::seconds(120);
        LoadResult result = RunLoad(load);
        server.Stop();
        host.Shutdown();
        if (!result.failure.empty()) {
            state.SkipWithError(result.failure.c_str());
            return;
        }
        state.counters["requests_per_second"] = result.requestsPerSecond;
        state.counters["p50_us"] = result.p50Microseconds;
        state.counters["p99_us"] = result.p99Microseconds;
        state.counters["events"] = static_cast<double>(result.pluginEvents);
    }
}
BENCHMARK(ServeLoad)->Arg(50)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
