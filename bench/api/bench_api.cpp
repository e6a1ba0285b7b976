// The whole request cycle of the handler: reply cleared, route matched, arguments
// bound and converted, the function called, the reply filled and released.
//   LiteralGet:    GET of a literal route answering a {name, priority} record
//   PostTwoParams: POST of "/.../{sequenceEventName}/{priority}" (string, int32)
// ":ours" matches with the route compiled when the endpoint was declared;
// ":compile_per_request" compiles the route anew for every request.
// allocs_per_request counts calls to malloc, calloc and realloc per request.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "allocation_counter.h"
#include <kav/api/api_context.h>
#include <kav/api/dispatch.h>

using namespace Vemi;
using namespace Vemi::Api;

namespace {

struct SequenceEvent {
    std::string name;
    int32_t priority = -1;
};
void Describe(Binding::Record<SequenceEvent>& r) {
    r.Name("SequenceEvent").Field("name", &SequenceEvent::name).Field("priority", &SequenceEvent::priority);
}

class Plugin {
public:
    void Register(const std::string& name, int32_t priority) {
        last_.name = name;
        last_.priority = priority;
    }
    SequenceEvent Current() { return last_; }

private:
    SequenceEvent last_{"post-game-summary", 10};
};

constexpr const char* kGetPath = "/kav-pre-end-of-game/v1/currentSequenceEvent";
constexpr const char* kPostTemplate = "/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}";
constexpr const char* kPostPath = "/kav-pre-end-of-game/v1/registration/post-game-summary/10";

struct Api {
    ApiContext context;
    Plugin plugin;
    void* getHandler = nullptr;
    void* postHandler = nullptr;

    Api() {
        context.SetApiNamePrefix("KavPreEndOfGame");
        context.BindEndpoint(HttpMethod::Get, kGetPath, plugin, &Plugin::Current, {});
        context.BindEndpoint(HttpMethod::Post, kPostTemplate, plugin, &Plugin::Register,
                             {"sequenceEventName", "priority"});
        const ApiDescription* description = context.BuildApiDescription();
        for (const ApiFunctionEntry* f = description->functions; f != nullptr; f = f->next) {
            (f->method == API_METHOD_GET ? getHandler : postHandler) = f->handler_context;
        }
    }
};

Api& Shared() {
    static Api api;
    return api;
}

ApiRequest MakeRequest(uint32_t method, const char* path, void* handler) {
    ApiRequest request{};
    request.method = method;
    request.path = path;
    request.handler_context = handler;
    request.content_type = "";
    return request;
}

// One request, reply cleared to reply released.
inline void Cycle(const ApiRequest& request, bool compilePerRequest, const char* routeTemplate) {
    ApiReply reply;
    if (compilePerRequest) {
        const RoutePattern route(routeTemplate);
        HandleRequestWithRoute(&reply, &request, &route);
    } else {
        HandleRequest(&reply, &request);
    }
    if (reply.has_error != 0) std::abort();
    benchmark::DoNotOptimize(reply.body);
    reply.release(&reply);
}

void Run(benchmark::State& state, uint32_t method, const char* path, bool get, bool compilePerRequest,
         const char* routeTemplate) {
    Api& api = Shared();
    const ApiRequest request = MakeRequest(method, path, get ? api.getHandler : api.postHandler);
    for (auto _ : state) Cycle(request, compilePerRequest, routeTemplate);
    constexpr int kCounted = 1000;
    const uint64_t before = Vemi::Bench::AllocationCount();
    for (int i = 0; i < kCounted; ++i) Cycle(request, compilePerRequest, routeTemplate);
    state.counters["allocs_per_request"] = static_cast<double>(Vemi::Bench::AllocationCount() - before) / kCounted;
}

void LiteralGetOurs(benchmark::State& state) { Run(state, API_METHOD_GET, kGetPath, true, false, kGetPath); }
void LiteralGetCompiled(benchmark::State& state) { Run(state, API_METHOD_GET, kGetPath, true, true, kGetPath); }
void PostTwoParamsOurs(benchmark::State& state) {
    Run(state, API_METHOD_POST, kPostPath, false, false, kPostTemplate);
}
void PostTwoParamsCompiled(benchmark::State& state) {
    Run(state, API_METHOD_POST, kPostPath, false, true, kPostTemplate);
}

}  // namespace

BENCHMARK(LiteralGetOurs)->Name("LiteralGet:ours");
BENCHMARK(LiteralGetCompiled)->Name("LiteralGet:compile_per_request");
BENCHMARK(PostTwoParamsOurs)->Name("PostTwoParams:ours");
BENCHMARK(PostTwoParamsCompiled)->Name("PostTwoParams:compile_per_request");

BENCHMARK_MAIN();
