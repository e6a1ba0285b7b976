// Value trees and conversions against the standard containers.
//   BuildTree: build and drop 1,000 records {name, priority, tags: [two strings]}
//   CopyTree:  deep copy (and drop) of that tree
//   RoundTrip: a {name, priority} record to a value and back
//   InternDistinct: 10,000 texts seen once interned into a fresh context
//   DecayAcrossRequests: region system calls while a dropped tree's memory decays
// allocs_per_value counts calls to malloc, calloc and realloc for one tree divided by
// the values in it (6,001: the list, 1,000 records and five values in each).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "allocation_counter.h"
#include <kav/binding/typed.h>

using namespace Vemi::Binding;

namespace {

constexpr int kRecords = 1000;
constexpr double kValuesPerTree = 1 + kRecords * 6.0;

struct Names {
    std::vector<std::string> names;
    std::vector<std::string> groups;
    Names() {
        char text[32];
        for (int i = 0; i < kRecords; ++i) {
            std::snprintf(text, sizeof text, "sequence-event-%04d", i);
            names.emplace_back(text);
        }
        for (int i = 0; i < 10; ++i) groups.push_back("group-" + std::to_string(i));
    }
};
const Names& TreeNames() {
    static const Names names;
    return names;
}

void BuildOurs(BindingValue& root) {
    const Names& n = TreeNames();
    root.MakeCollection();
    for (int i = 0; i < kRecords; ++i) {
        BindingValue& record = root.Append();
        record.Member("name").SetString(n.names[i]);
        record.Member("priority").SetSigned(i);
        BindingValue& tags = record.Member("tags");
        tags.Append().SetString("pre-end-of-game");
        tags.Append().SetString(n.groups[i % 10]);
    }
}

// The same tree in standard containers.
struct StdValue {
    std::variant<std::monostate, int64_t, std::string, std::vector<StdValue>, std::map<std::string, StdValue>> v;
};

void BuildStd(StdValue& root) {
    const Names& n = TreeNames();
    auto& list = root.v.emplace<std::vector<StdValue>>();
    for (int i = 0; i < kRecords; ++i) {
        auto& record = list.emplace_back().v.emplace<std::map<std::string, StdValue>>();
        record["name"].v = n.names[i];
        record["priority"].v = int64_t{i};
        auto& tags = record["tags"].v.emplace<std::vector<StdValue>>();
        tags.emplace_back().v = std::string("pre-end-of-game");
        tags.emplace_back().v = n.groups[i % 10];
    }
}

template <class Build>
void CountAllocations(benchmark::State& state, Build build) {
    const uint64_t before = Vemi::Bench::AllocationCount();
    build();
    state.counters["allocs_per_value"] = static_cast<double>(Vemi::Bench::AllocationCount() - before) / kValuesPerTree;
}

void BuildTreeOurs(benchmark::State& state) {
    for (auto _ : state) {
        BindingValue root;
        BuildOurs(root);
        benchmark::DoNotOptimize(root);
    }
    CountAllocations(state, [] {
        BindingValue root;
        BuildOurs(root);
    });
}

void BuildTreeStd(benchmark::State& state) {
    for (auto _ : state) {
        StdValue root;
        BuildStd(root);
        benchmark::DoNotOptimize(root);
    }
    CountAllocations(state, [] {
        StdValue root;
        BuildStd(root);
    });
}

void CopyTreeOurs(benchmark::State& state) {
    BindingValue tree;
    BuildOurs(tree);
    for (auto _ : state) {
        BindingValue copy(tree);
        benchmark::DoNotOptimize(copy);
    }
    CountAllocations(state, [&tree] { BindingValue copy(tree); });
}

void CopyTreeStd(benchmark::State& state) {
    StdValue tree;
    BuildStd(tree);
    for (auto _ : state) {
        StdValue copy(tree);
        benchmark::DoNotOptimize(copy);
    }
    CountAllocations(state, [&tree] { StdValue copy(tree); });
}

struct Event {
    std::string name;
    int32_t priority = 0;
};
void Describe(Record<Event>& r) { r.Name("Event").Field("name", &Event::name).Field("priority", &Event::priority); }

void RoundTripOurs(benchmark::State& state) {
    TypeRegistry registry;
    RegisterType<Event>(registry, "Bench");
    const Event event{"champ-select", 42};
    for (auto _ : state) {
        BindingResult value;
        ToValue(value, event, registry);
        BindingResult result;
        Event back;
        ToNative(result, back, value.value, "<value>", registry);
        benchmark::DoNotOptimize(back);
    }
}

// The same by hand, without descriptors.
void RoundTripHandwritten(benchmark::State& state) {
    const Event event{"champ-select", 42};
    for (auto _ : state) {
        BindingResult value;
        value.value.Member("name").SetString(event.name);
        value.value.Member("priority").SetSigned(event.priority);
        Event back;
        back.name = value.value.GetMember("name").AsStringView();
        back.priority = static_cast<int32_t>(value.value.GetMember("priority").AsSigned());
        benchmark::DoNotOptimize(back);
    }
}

// Interning texts seen once: each is hashed and inserted into the string table.
void InternDistinct(benchmark::State& state) {
    std::vector<std::string> texts;
    for (int i = 0; i < 10000; ++i) {
        texts.push_back(std::to_string(i * 7919) + std::string(static_cast<size_t>(4 + i % 60), 'a' + i % 26));
    }
    for (auto _ : state) {
        ValueContext* context = ValueContext::Create();
        for (const std::string& text : texts) benchmark::DoNotOptimize(context->Intern(text));
        ValueContext::Destroy(context);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}

uint64_t gBenchNow = 0;
uint64_t BenchClock() noexcept { return gBenchNow; }
uint64_t RegionCalls() {
    const PageSupply::Counters c = PageSupply::RegionCounters();
    return c.mapped + c.discarded + c.unmapped;
}

// A large tree dropped, then small requests 20 ms apart, each ending with the
// runtime's visit to the page supply: the reserve decays a few regions per request.
// region_calls_per_request counts map, discard and unmap calls (each flushes the
// TLB); max_region_calls_per_request is the most one request paid.
void DecayAcrossRequests(benchmark::State& state) {
    const PageSupply::Clock previous = PageSupply::SetClock(&BenchClock);
    uint64_t calls = 0;
    uint64_t worst = 0;
    uint64_t requests = 0;
    for (auto _ : state) {
        {
            BindingValue large;
            for (size_t i = 0; i < 20000; ++i) large.Element(i).Member("id").SetSigned(static_cast<int64_t>(i));
        }
        for (int r = 0; r < 200; ++r) {
            gBenchNow += 20;
            const uint64_t before = RegionCalls();
            {
                BindingResult request;
                request.value.Member("name").SetString("champ-select");
                request.value.Member("priority").SetSigned(r);
                benchmark::DoNotOptimize(request);
            }
            PageSupply::Maintain();
            const uint64_t made = RegionCalls() - before;
            worst = std::max(worst, made);
            calls += made;
            ++requests;
        }
    }
    state.counters["region_calls_per_request"] = static_cast<double>(calls) / static_cast<double>(requests);
    state.counters["max_region_calls_per_request"] = static_cast<double>(worst);
    PageSupply::SetClock(previous);
}

}  // namespace

BENCHMARK(BuildTreeOurs)->Name("BuildTree:ours");
BENCHMARK(BuildTreeStd)->Name("BuildTree:std");
BENCHMARK(CopyTreeOurs)->Name("CopyTree:ours");
BENCHMARK(CopyTreeStd)->Name("CopyTree:std");
BENCHMARK(RoundTripOurs)->Name("RoundTrip:ours");
BENCHMARK(RoundTripHandwritten)->Name("RoundTrip:handwritten");

BENCHMARK(InternDistinct)->Name("InternDistinct");
BENCHMARK(DecayAcrossRequests)->Name("DecayAcrossRequests");
BENCHMARK_MAIN();
