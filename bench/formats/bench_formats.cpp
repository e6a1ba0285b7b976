// The three readers against their references, on generated documents of about
// 1 MB (JSON, MessagePack) and 300 KB (YAML). Comparisons are named NAME:ours and
// NAME:REFERENCE (see bench/ratios.py); the references are
//   floor        RapidJSON's SAX reader with a handler that does nothing, or
//                libyaml's bare event loop: what any reader on top must pay
//   document     rapidjson::Document::Parse
//   msgpack_cxx  msgpack::unpack
//   yaml_cpp     YAML::Load
//   store        no reader at all: the same BindingValue tree built (and released)
//                from an already parsed document, i.e. the value store's own share
// Each of our readers also reports, per iteration, the regions the page supply
// mapped, discarded and unmapped (0 once warm), and once per document the bytes its
// tree holds (pages and heap) beside rapidjson::Document's allocator total.
#include <benchmark/benchmark.h>
#include <msgpack.hpp>
#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <yaml-cpp/yaml.h>
#include <yaml.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <kav/formats/json_reader.h>
#include <kav/formats/msgpack_reader.h>
#include <kav/formats/yaml_reader.h>

namespace {

using Vemi::Binding::BindingResult;

constexpr size_t kJsonSize = 1 << 20;
constexpr size_t kYamlSize = 300 << 10;

const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};

// Many small records.
std::string RecordsJson() {
    std::string s = "[";
    char buf[512];
    for (unsigned i = 0; s.size() < kJsonSize; ++i) {
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\":%u,\"name\":\"user%u\",\"email\":\"user%u@example.com\",\"active\":%s,"
                      "\"score\":%.3f,\"tags\":[\"%s\",\"%s\"],\"parent\":null}",
                      i == 0 ? "" : ",", i, i, i, i % 3 == 0 ? "true" : "false", (i % 1000) * 0.731,
                      kWords[i % 8], kWords[(i * 5 + 3) % 8]);
        s += buf;
    }
    return s + "]";
}

// One large array of numbers: integers of every size, negatives and fractions.
std::string NumbersJson() {
    std::string s = "[";
    char buf[64];
    uint64_t x = 88172645463325252ull;
    for (unsigned i = 0; s.size() < kJsonSize; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        switch (i % 4) {
            case 0: std::snprintf(buf, sizeof buf, "%s%u", i == 0 ? "" : ",", static_cast<unsigned>(x % 100000)); break;
            case 1: std::snprintf(buf, sizeof buf, ",%lld", -static_cast<long long>(x % 1000000000)); break;
            case 2: std::snprintf(buf, sizeof buf, ",%.6g", static_cast<double>(x % 1000000) / 997.0); break;
            default: std::snprintf(buf, sizeof buf, ",%llu", static_cast<unsigned long long>(x)); break;
        }
        s += buf;
    }
    return s + "]";
}

// Objects nested eight deep whose member names repeat at every level.
void Nested(std::string& s, int depth, unsigned& leaf) {
    if (depth == 0) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "{\"id\":%u,\"label\":\"leaf%u\",\"weight\":%.2f}", leaf, leaf, leaf * 0.25);
        ++leaf;
        s += buf;
        return;
    }
    s += "{\"kind\":\"node\",";
    for (int k = 0; k < 4; ++k) {
        s += '"';
        s += kWords[k];
        s += "\":";
        Nested(s, depth - 1, leaf);
        s += ',';
    }
    s += "\"depth\":" + std::to_string(depth) + "}";
}

std::string NestedJson() {
    std::string s = "[";
    unsigned leaf = 0;
    while (s.size() < kJsonSize) {
        if (s.size() > 1) s += ',';
        Nested(s, 5, leaf);
    }
    return s + "]";
}

// Block-style YAML records, and the same document as JSON (for the store baseline).
void RecordsYaml(std::string& yaml, std::string& json) {
    yaml = "records:\n";
    json = "{\"records\":[";
    char buf[512];
    for (unsigned i = 0; yaml.size() < kYamlSize; ++i) {
        const char* a = kWords[i % 8];
        const char* b = kWords[(i * 5 + 3) % 8];
        const double score = (i % 1000) * 0.731;
        std::snprintf(buf, sizeof buf,
                      "  - id: %u\n    name: user%u\n    email: user%u@example.com\n    active: %s\n"
                      "    score: %.3f\n    tags:\n      - %s\n      - %s\n    parent: ~\n",
                      i, i, i, i % 3 == 0 ? "yes" : "no", score, a, b);
        yaml += buf;
        std::snprintf(buf, sizeof buf,
                      "%s{\"id\":%u,\"name\":\"user%u\",\"email\":\"user%u@example.com\",\"active\":%s,"
                      "\"score\":%.3f,\"tags\":[\"%s\",\"%s\"],\"parent\":null}",
                      i == 0 ? "" : ",", i, i, i, i % 3 == 0 ? "true" : "false", score, a, b);
        json += buf;
    }
    json += "]}";
}

// MessagePack of a JSON document, written with msgpack-cxx.
void Pack(msgpack::packer<msgpack::sbuffer>& p, const rapidjson::Value& v) {
    switch (v.GetType()) {
        case rapidjson::kNullType: p.pack_nil(); break;
        case rapidjson::kFalseType: p.pack_false(); break;
        case rapidjson::kTrueType: p.pack_true(); break;
        case rapidjson::kStringType: p.pack_str(v.GetStringLength()); p.pack_str_body(v.GetString(), v.GetStringLength()); break;
        case rapidjson::kNumberType:
            if (v.IsUint64()) p.pack_uint64(v.GetUint64());
            else if (v.IsInt64()) p.pack_int64(v.GetInt64());
            else p.pack_double(v.GetDouble());
            break;
        case rapidjson::kArrayType:
            p.pack_array(v.Size());
            for (const auto& e : v.GetArray()) Pack(p, e);
            break;
        case rapidjson::kObjectType:
            p.pack_map(v.MemberCount());
            for (const auto& m : v.GetObject()) {
                Pack(p, m.name);
                Pack(p, m.value);
            }
            break;
    }
}

std::string ToMessagePack(const std::string& json) {
    rapidjson::Document d;
    d.Parse(json.c_str());
    if (d.HasParseError()) std::abort();
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    Pack(packer, d);
    return std::string(buffer.data(), buffer.size());
}

// The BindingValue calls a reader makes for a parsed document.
void Build(Vemi::Binding::BindingValue& out, const rapidjson::Value& v) {
    switch (v.GetType()) {
        case rapidjson::kNullType: break;
        case rapidjson::kFalseType: out.SetBool(false); break;
        case rapidjson::kTrueType: out.SetBool(true); break;
        case rapidjson::kStringType: out.SetString(std::string_view(v.GetString(), v.GetStringLength())); break;
        case rapidjson::kNumberType:
            if (v.IsUint64()) out.SetUnsigned(v.GetUint64());
            else if (v.IsInt64()) out.SetSigned(v.GetInt64());
            else out.SetFloat(v.GetDouble());
            break;
        case rapidjson::kArrayType:
            out.MakeCollection();
            for (const auto& e : v.GetArray()) Build(out.Append(), e);
            break;
        case rapidjson::kObjectType:
            out.MakeStructure();
            for (const auto& m : v.GetObject()) {
                Build(out.Member(std::string_view(m.name.GetString(), m.name.GetStringLength())), m.value);
            }
            break;
    }
}

struct Parsed {
    explicit Parsed(const std::string& json) { document.Parse(json.c_str()); }
    rapidjson::Document document;
};

struct Documents {
    std::string records = RecordsJson();
    std::string numbers = NumbersJson();
    std::string nested = NestedJson();
    std::string recordsPack = ToMessagePack(records);
    std::string numbersPack = ToMessagePack(numbers);
    std::string nestedPack = ToMessagePack(nested);
    std::string yaml;
    std::string yamlTwin;
    Documents() { RecordsYaml(yaml, yamlTwin); }
};

const Documents& Docs() {
    static const Documents docs;
    return docs;
}

// ---- The timed functions, kept out of line so every reader is timed alike.

[[gnu::noinline]] BindingResult OursJson(const std::string& text) { return Vemi::Formats::DecodeJson(text.c_str()); }
[[gnu::noinline]] BindingResult OursJsonSized(const std::string& text) {
    return Vemi::Formats::DecodeJson(text.data(), text.size());
}
[[gnu::noinline]] bool FloorJson(const std::string& text) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    return !reader.Parse(stream, handler).IsError();
}
[[gnu::noinline]] bool FloorJsonSized(const std::string& text) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text.data(), text.size());
    return !reader.Parse(stream, handler).IsError();
}
[[gnu::noinline]] bool DocumentJson(const std::string& text) {
    rapidjson::Document d;
    d.Parse(text.c_str());
    return !d.HasParseError();
}
[[gnu::noinline]] BindingResult StoreOnly(const Parsed& parsed) {
    BindingResult result;
    Build(result.value, parsed.document);
    return result;
}
[[gnu::noinline]] BindingResult OursPack(const std::string& bytes) {
    return Vemi::Formats::DecodeMessagePack(bytes.data(), bytes.size());
}
[[gnu::noinline]] bool MsgpackCxx(const std::string& bytes) {
    msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size());
    return handle.get().type != msgpack::type::NIL;
}
[[gnu::noinline]] BindingResult OursYaml(const std::string& text) {
    return Vemi::Formats::DecodeYaml(text.data(), text.size());
}
[[gnu::noinline]] bool FloorYaml(const std::string& text) {
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    bool ok = true;
    for (;;) {
        yaml_event_t event;
        if (yaml_parser_parse(&parser, &event) == 0) {
            ok = false;
            break;
        }
        const bool end = event.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&event);
        if (end) break;
    }
    yaml_parser_delete(&parser);
    return ok;
}
[[gnu::noinline]] bool YamlCpp(const std::string& text) { return YAML::Load(text).IsMap(); }

template <class F>
void Run(benchmark::State& state, const std::string& input, F f, bool ours = false) {
    using Vemi::Binding::PageSupply;
    const PageSupply::Counters before = PageSupply::RegionCounters();
    for (auto _ : state) {
        auto r = f(input);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    if (!ours) return;
    const PageSupply::Counters after = PageSupply::RegionCounters();
    const auto perIteration = benchmark::Counter::kAvgIterations;
    state.counters["regions_mapped"] = benchmark::Counter(static_cast<double>(after.mapped - before.mapped), perIteration);
    state.counters["regions_discarded"] =
        benchmark::Counter(static_cast<double>(after.discarded - before.discarded), perIteration);
    state.counters["regions_unmapped"] =
        benchmark::Counter(static_cast<double>(after.unmapped - before.unmapped), perIteration);
}

// Fails the benchmark when our reader rejects the document, else reports what its
// tree holds against what rapidjson::Document holds for the same document.
// The reserve is emptied first, so that the region counters of the timed loop
// show this reader's steady state, not the decay of what earlier benchmarks left.
template <class F>
void Check(F decode, const std::string& input, benchmark::State& state, const std::string& json) {
    Vemi::Binding::ValueContext::ReleaseCached();  // a fresh context: no table kept from an earlier tree
    Vemi::Binding::PageSupply::ReleaseReserve();
    const BindingResult r = decode(input);
    if (!r.Ok()) {
        state.SkipWithError(r.ErrorMessage());
        return;
    }
    const Vemi::Binding::ValueContext* context = r.value.Context();
    const double pages = context != nullptr ? double(context->PagesInUse()) * Vemi::Binding::kPageSize : 0.0;
    const double heap = context != nullptr ? double(context->HeapBytes()) : 0.0;
    rapidjson::Document d;
    d.Parse(json.c_str());
    const double document = static_cast<double>(d.GetAllocator().Capacity());
    state.counters["tree_page_bytes"] = pages;
    state.counters["tree_heap_bytes"] = heap;
    state.counters["document_bytes"] = document;
    state.counters["memory_ratio"] = document > 0 ? (pages + heap) / document : 0.0;
}

// KAV_BENCH_ITERATIONS fixes every benchmark's iterations, so that runs under callgrind
// count the same work.
template <class F>
void Add(const std::string& name, F f) {
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), f);
    if (const char* n = std::getenv("KAV_BENCH_ITERATIONS")) b->Iterations(std::atoll(n));
}

void Register() {
    const Documents& d = Docs();
    struct Doc {
        const char* name;
        const std::string* json;
        const std::string* pack;
    };
    for (const Doc& doc : {Doc{"Records", &d.records, &d.recordsPack}, Doc{"Numbers", &d.numbers, &d.numbersPack},
                           Doc{"Nested", &d.nested, &d.nestedPack}}) {
        const std::string json = std::string("Json") + doc.name;
        const std::string sized = std::string("JsonSized") + doc.name;
        const std::string pack = std::string("Msgpack") + doc.name;
        const std::string* j = doc.json;
        const std::string* p = doc.pack;
        Add(json + ":ours", [j](benchmark::State& s) {
            Check(OursJson, *j, s, *j);
            Run(s, *j, OursJson, true);
        });
        Add(json + ":floor", [j](benchmark::State& s) { Run(s, *j, FloorJson); });
        Add(json + ":document", [j](benchmark::State& s) { Run(s, *j, DocumentJson); });
        Add(json + ":store", [j](benchmark::State& s) {
            const Parsed parsed(*j);
            for (auto _ : s) {
                auto r = StoreOnly(parsed);
                benchmark::DoNotOptimize(r);
            }
            s.SetBytesProcessed(static_cast<int64_t>(s.iterations() * j->size()));
        });
        Add(sized + ":ours", [j](benchmark::State& s) { Run(s, *j, OursJsonSized, true); });
        Add(sized + ":floor", [j](benchmark::State& s) { Run(s, *j, FloorJsonSized); });
        Add(pack + ":ours", [p, j](benchmark::State& s) {
            Check(OursPack, *p, s, *j);
            Run(s, *p, OursPack, true);
        });
        Add(pack + ":msgpack_cxx", [p](benchmark::State& s) { Run(s, *p, MsgpackCxx); });
    }
    const std::string* y = &d.yaml;
    const std::string* twin = &d.yamlTwin;
    Add("YamlRecords:ours", [y, twin](benchmark::State& s) {
        Check(OursYaml, *y, s, *twin);
        Run(s, *y, OursYaml, true);
    });
    Add("YamlRecords:floor", [y](benchmark::State& s) { Run(s, *y, FloorYaml); });
    Add("YamlRecords:yaml_cpp", [y](benchmark::State& s) { Run(s, *y, YamlCpp); });
    Add("YamlRecords:store", [y, twin](benchmark::State& s) {
        const Parsed parsed(*twin);
        for (auto _ : s) {
            auto r = StoreOnly(parsed);
            benchmark::DoNotOptimize(r);
        }
        s.SetBytesProcessed(static_cast<int64_t>(s.iterations() * y->size()));
    });
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
