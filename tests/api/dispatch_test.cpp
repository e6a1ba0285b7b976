#include <kav/api/dispatch.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <kav/api/api_context.h>
#include <kav/binding/host_value.h>
#include <kav/binding/page_supply.h>
#include <kav/formats/canonical_text.h>
#include <kav/formats/json_reader.h>
#include <kav/formats/msgpack_reader.h>
#include <kav/formats/yaml_reader.h>
#include "recorded_log.h"

// Allocation failure on demand: while armed, the allocation that brings the count to 0
// throws, on this thread only. The matching deletes are ours too, so that a sanitizer's
// own operator delete never sees our malloc'd blocks.
namespace {
thread_local long gAllocationsBeforeFailure = -1;
}  // namespace

void* operator new(std::size_t size) {
    if (gAllocationsBeforeFailure >= 0 && gAllocationsBeforeFailure-- == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
// g++ takes the free inside a replaced operator delete for a mismatch with new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using namespace Vemi;
using namespace Vemi::Api;
using Binding::BindingTypeKind;
using Binding::BindingValue;

namespace {

// A function that records the canonical text of each value it is handed, and answers as told.
struct Probe final : Callable {
    void* Prepare(ApiResponse&, std::span<BindingValue> arguments, uint32_t, ArgumentStorage&) override {
        prepared = true;
        values.clear();
        for (const BindingValue& value : arguments) values.push_back(Formats::CanonicalText(value));
        return this;
    }
    void Call(ApiResponse& response, const RequestInfo*, void*, uint32_t) override {
        response.result.value = result;
        response.status = status;
        response.stream = std::move(stream);
    }
    void Release(void*) noexcept override {}
    size_t ArgumentCount() const noexcept override { return values.size(); }
    const Binding::StaticType* RequestInfoType() const noexcept override { return nullptr; }

    bool prepared = false;
    std::vector<std::string> values;
    BindingValue result;
    uint32_t status = 0;
    std::unique_ptr<ResponseStream> stream;
};

struct Outcome {
    std::string error;
    uint32_t status = 0;
    bool called = false;
    std::vector<std::string> values;
    bool sharedEmptyContentType = false;
};

struct Request {
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers = {};
    std::string contentType = {};
    std::optional<std::string> body = {};
    uint32_t method = API_METHOD_POST;
};

// Sends the request with the body in a buffer of exactly its length (no NUL after it).
void Send(void* handler, const Request& r, ApiReply& reply, const HostArgument* arguments = nullptr,
          uint32_t argumentCount = 0) {
    std::vector<ApiHeader> headers;
    for (const auto& [name, value] : r.headers) headers.push_back({name.c_str(), value.c_str()});
    std::unique_ptr<uint8_t[]> body(r.body ? new uint8_t[r.body->size()] : nullptr);
    if (r.body) std::memcpy(body.get(), r.body->data(), r.body->size());
    const ApiRequest request{r.method, r.path.c_str(), arguments, argumentCount, handler,
                             headers.data(), static_cast<uint32_t>(headers.size()), r.contentType.c_str(),
                             body.get(), r.body ? static_cast<uint32_t>(r.body->size()) : 0u, 0, nullptr};
    HandleRequest(&reply, &request);
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Binding::FunctionBuilder f(context_.Registry(), "Probe", 9);
        f.Argument("id", "", false, {BindingTypeKind::String})
            .Argument("verbose", "", false, {BindingTypeKind::Bool})
            .Argument("ids", "", false, {BindingTypeKind::Vector, BindingTypeKind::Int32})
            .Argument("filter", "", false, {BindingTypeKind::Struct})
            .Argument("X-Mode", "", false, {BindingTypeKind::String})
            .Argument("count", "", false, {BindingTypeKind::Int32})
            .Argument("token", "", false, {BindingTypeKind::String})
            .Argument("payload", "", false, {BindingTypeKind::Object})
            .Argument("quiet", "", true, {BindingTypeKind::Bool});
        auto probe = std::make_unique<Probe>();
        probe_ = probe.get();  // the context owns it
        Endpoint* endpoint = context_.DeclareEndpoint(*f.Finish(), HttpMethod::Post, "/probe/{id}", std::move(probe));
        endpoint->DeclareLocation(5, ArgumentLocation::Query);
        endpoint->DeclareLocation(6, ArgumentLocation::Header);
        endpoint->DeclareLocation(7, ArgumentLocation::Body);
        handler_ = context_.BuildApiDescription()->functions[0].handler_context;
    }

    Outcome Run(const Request& r, const HostArgument* arguments = nullptr, uint32_t count = 0) {
        probe_->prepared = false;
        probe_->values.assign(9, "-");
        ApiReply reply{};
        Send(handler_, r, reply, arguments, count);
        Outcome out{reply.error != nullptr ? reply.error : "", reply.status, probe_->prepared, probe_->values,
                    reply.content_type == SharedEmptyText()};
        EXPECT_EQ(+reply.has_error, reply.error != nullptr ? 1 : 0);
        reply.release(&reply);
        return out;
    }

    ApiContext context_;
    Probe* probe_ = nullptr;
    void* handler_ = nullptr;
};

// Parameter indexes of the probe.
enum { kId, kVerbose, kIds, kFilter, kMode, kCount, kToken, kPayload, kQuiet };

}  // namespace

TEST_F(DispatchTest, NamedTextsBindByLocation) {
    const struct {
        Request request;
        int parameter;
        std::string value;
    } table[] = {
        {{"/probe/a%20b"}, kId, "string:\"a b\""},
        {{"/probe/x"}, kVerbose, "bool:false"},  // bool default
        {{"/probe/x"}, kQuiet, "empty"},         // optional bools get none
        {{"/probe/x?verbose"}, kVerbose, "bool:true"}, {{"/probe/x?verbose="}, kVerbose, "bool:true"},
        {{"/probe/x?verbose=0"}, kVerbose, "string:\"0\""},
        {{"/probe/x?ids.2=7"}, kIds, "[empty, empty, string:\"7\"]"},
        {{"/probe/x?ids.0x1=7"}, kIds, "[empty, string:\"7\"]"},
        {{"/probe/x?ids.x1=7"}, kIds, "{\"x1\": string:\"7\"}"},
        {{"/probe/x?ids.1.a=%7B%7D"}, kIds, "[empty, {\"a\": string:\"{}\"}]"},  // no sniffing in paths
        {{"/probe/x?ids.65535=1"}, kIds, "65536 elements"}, {{"/probe/x?ids="}, kIds, "[]"},
        {{"/probe/x?ids=[1,2]"}, kIds, "[unsigned:1, unsigned:2]"},
        {{"/probe/x?filter={\"a\":1}"}, kFilter, "{\"a\": unsigned:1}"},
        {{"/probe/x?filter=---%0Aa:%20b"}, kFilter, "{\"a\": string:\"b\"}"},
        {{"/probe/x?filter=%82%A1a%01%A1b%02"}, kFilter, "{\"a\": signed:1, \"b\": signed:2}"},
        {{"/probe/x?filter="}, kFilter, "{}"}, {{"/probe/x?filter=plain"}, kFilter, "string:\"plain\""},
        {{"/probe/x?X-Mode={\"a\":1}"}, kMode, "string:\"{\\\"a\\\":1}\""},  // strings are never sniffed
        {{"/probe/x?count=5&count=6"}, kCount, "string:\"6\""},
        {{"/probe/x?count={\"a\":1}"}, kCount, "string:\"{\\\"a\\\":1}\""},  // no sniffing for int32
        {{"/probe/x", {{"x-mode", "fast"}}}, kMode, "string:\"fast\""},
        {{"/probe/x", {{"X-Mode", "fast"}}}, kMode, "empty"},
        {{"/probe/x", {{"token", "t1"}, {"token", "t2"}}}, kToken, "string:\"t2\""},
        {{"/probe/x", {}, "application/json", "{\"k\":[1]}"}, kPayload, "{\"k\": [unsigned:1]}"},
        {{"/probe/x", {}, "application/json; charset=utf-8", "[true]"}, kPayload, "[bool:true]"},
        {{"/probe/x", {}, "Application/VND.api+json", "1"}, kPayload, "unsigned:1"},
        {{"/probe/x", {}, "application/vnd.api+json; ext=bulk", "{\"a\":[]}"}, kPayload, "{\"a\": []}"},
        {{"/probe/x", {}, "application/x-yaml", "a: 1\n"}, kPayload, "{\"a\": unsigned:1}"},
        {{"/probe/x", {}, "application/x-msgpack-ext", "\x92\x01\x02"}, kPayload, "[signed:1, signed:2]"},
        // The body ends at its length (no NUL follows it), or at a NUL inside it.
        {{"/probe/x", {}, "application/json", std::string("[3]\0[", 5)}, kPayload, "[unsigned:3]"},
        {{"/probe/x", {}, "application/x-yaml", std::string("a: 1\0b: [", 10)}, kPayload, "{\"a\": unsigned:1}"},
    };
    for (const auto& row : table) {
        const Outcome out = Run(row.request);
        const std::string label = row.request.path + " " + row.request.contentType;
        ASSERT_TRUE(out.called) << label << ": " << out.error;
        const std::string& got = out.values[row.parameter];
        const auto elements = std::to_string(std::count(got.begin(), got.end(), ',') + 1) + " elements";
        EXPECT_EQ(row.value == "65536 elements" ? elements : got, row.value) << label;
    }
}

TEST_F(DispatchTest, FailureMessages) {
    std::string deep = "ids";
    for (int i = 0; i < 513; ++i) deep += ".a";
    const std::string jsonError = Formats::DecodeJson("{\"a\":").ErrorMessage();
    const std::string bodyJsonError = Formats::DecodeJson("[1").ErrorMessage();
    const std::string yamlError = Formats::DecodeYaml("[1").ErrorMessage();
    const std::string msgpackError = Formats::DecodeMessagePack(std::string_view("\xc1", 1)).ErrorMessage();
    const struct {
        Request request;
        std::string error;
        uint32_t status;
    } table[] = {
        {{"/probe/x?nope=1"}, "Unknown argument 'nope' for 'Probe'.", 0},
        {{"/probe/x?nope.2=1"}, "Unknown argument 'nope' for 'Probe'.", 0},
        {{"/probe/x?id=1"}, "Argument 'id' for 'Probe' was specified in an invalid location.", 0},
        {{"/probe/x", {{"count", "1"}}}, "", 0},  // a query-only parameter ignores headers
        {{"/probe/x?token=1"}, "Argument 'token' for 'Probe' was specified in an invalid location.", 0},
        {{"/probe/x?payload=1"}, "Argument 'payload' for 'Probe' was specified in an invalid location.", 0},
        {{"/probe/x?count="}, "Expected value for argument 'count'.", 0},
        {{"/probe/"}, "Expected value for argument 'id'.", 0},
        {{"/probe/x?ids.1z=7"}, "Index 1z is in an incorrect format", 0},
        {{"/probe/x?ids.08=7"}, "Index 08 is in an incorrect format", 0},
        {{"/probe/x?ids.4294967296=1"}, "Index 4294967296 is out of range", 0},
        {{"/probe/x?ids.2147483647=1"}, "Index 2147483647 is out of range", 0},
        {{"/probe/x?ids.65536=1"}, "Index 65536 is out of range", 0},
        {{"/probe/x?ids.99999999999999999999999=1"}, "Index 99999999999999999999999 is out of range", 0},
        {{"/probe/x?ids.60000.60000=1"}, "Index 60000 is out of range", 0},  // element budget
        {{"/probe/x?" + deep + "=1"}, "Index path " + deep.substr(4) + " has more than 512 segments", 0},
        {{"/probe/x?filter={\"a\":"}, "Couldn't deserialize JSON value for parameter 'filter' of 'Probe': " + jsonError, 0},
        {{"/probe/x", {}, "application/x-msgpack", std::string("\x92\x01\x02\x03", 4)},
         "Extra MessgePack data found in body", 0},
        {{"/probe/x", {}, "text/plain", "hi"}, "Unsupported body content type", 0},
        {{"/probe/x", {}, "", "hi"}, "Unsupported body content type", 0},
        {{"/probe/x", {}, "text/x-yaml", "a: 1"}, "Unsupported body content type", 0},
        {{"/probe/x", {}, "application/octet-stream", "ab"}, "Unsupported body content type", 0},
        {{"/probe/x", {}, "application/x-yaml", "[1"}, yamlError, 0},
        {{"/probe/x", {}, "application/vnd.api+json", "[1"}, bodyJsonError, 0},
        {{"/probe/x", {}, "application/x-msgpack", "\xc1"}, msgpackError, 0},
        // Texts with a NUL are refused.
        {{"/probe/a%00b"}, "Value for argument 'id' contains a NUL character.", 400},
        {{"/probe/%00"}, "Value for argument 'id' contains a NUL character.", 400},
        {{"/probe/x?count=5%00"}, "Value for argument 'count' contains a NUL character.", 400},
        {{"/probe/x?X-Mode=%00fast"}, "Value for argument 'X-Mode' contains a NUL character.", 400},
        {{"/probe/x?filter.name=a%00"}, "Value for argument 'name' contains a NUL character.", 400},
        // The body still runs after a binding failure and replaces its message.
        {{"/probe/x?nope=1", {}, "text/plain", "hi"}, "Unsupported body content type", 0},
        {{"/other/x"}, "Invalid function", 404}, {{"/probe/x", {}, "", {}, API_METHOD_GET}, "Invalid function", 404},
        {{"/probe/x", {}, "", {}, 99}, "Invalid function", 404},
    };
    for (const auto& row : table) {
        const Outcome out = Run(row.request);
        EXPECT_EQ(out.error, row.error) << row.request.path;
        EXPECT_EQ(out.status, row.status) << row.request.path;
        EXPECT_EQ(out.called, row.error.empty()) << row.request.path;
        EXPECT_TRUE(row.error.empty() || out.sharedEmptyContentType) << row.request.path;
    }
}

TEST_F(DispatchTest, HostArguments) {
    const char text[] = {'a', 'b', 'c'};  // no NUL after it
    const HostValue abc{HOST_VALUE_STRING, {.string = {text, 2}}};
    const HostValue seven{HOST_VALUE_SIGNED, {.i64 = 7}};
    const struct {
        std::vector<HostArgument> arguments;
        std::string error;
        int parameter;
        std::string value;
    } table[] = {
        {{{"count", seven}}, "", kCount, "signed:7"},
        {{{"token", abc}}, "", kToken, "string:\"ab\""},  // no location check for host arguments
        // Positional: array position plus the one path parameter.
        {{{nullptr, seven}, {nullptr, abc}}, "", kIds, "string:\"ab\""},
        {{{nullptr, seven}}, "", kVerbose, "signed:7"},
        {{{"nope", seven}}, "Unknown argument 'nope' for 'Probe'.", 0, ""},
        {std::vector<HostArgument>(9, {nullptr, seven}), "Unknown argument '9' for 'Probe'.", 0, ""},
    };
    for (const auto& row : table) {
        const Outcome out = Run({"/probe/x"}, row.arguments.data(), static_cast<uint32_t>(row.arguments.size()));
        EXPECT_EQ(out.error, row.error);
        EXPECT_EQ(row.error.empty() ? out.values[row.parameter] : "", row.value);
    }
}

TEST_F(DispatchTest, ReplyRecordAndRelease) {
    struct Chunks final : ResponseStream, StreamReader {
        explicit Chunks(bool* destroyed) : destroyed(destroyed) {}
        ~Chunks() override { *destroyed = true; }
        StreamReader* Open() noexcept override { return this; }
        uint32_t Read(void* buffer, uint32_t* size, uint8_t* more) noexcept override {
            std::memcpy(buffer, "abc", *size = 3);
            *more = 0;
            return 0x100;  // success whose low byte is 0: read at full width
        }
        bool* destroyed;
    };
    bool destroyed = false;
    probe_->result.Member("b").SetString("two");
    probe_->result.Member("a").SetSigned(-1);
    probe_->status = 201;
    probe_->stream = std::make_unique<Chunks>(&destroyed);

    ApiReply reply{};
    Send(handler_, {"/probe/x"}, reply);
    EXPECT_TRUE(reply.error == nullptr && reply.status == 201 && reply.content_type == SharedEmptyText());
    ASSERT_EQ(+reply.body.kind, static_cast<uint32_t>(HOST_VALUE_STRUCTURE));
    EXPECT_EQ(+reply.body.u.structure.count, 2u);
    ASSERT_NE(+reply.stream.read, nullptr);
    char buffer[8];
    uint32_t size = sizeof buffer;
    uint8_t more = 1;
    EXPECT_EQ(reply.stream.read(reply.stream.source.reader, buffer, &size, &more), 0x100u);
    EXPECT_EQ(std::string(buffer, size), "abc");
    reply.stream.release(reply.stream.handle);
    EXPECT_TRUE(destroyed);
    reply.release(&reply);
    const ApiReply zero{};
    EXPECT_EQ(std::memcmp(&reply, &zero, sizeof reply), 0);

    // A result the host form cannot hold: status 400 and the conversion's message.
    BindingValue* deep = &probe_->result;
    probe_->result.Reset();
    for (size_t i = 0; i < Binding::kMaxNestingDepth + 2; ++i) deep = &deep->Element(0);
    const Outcome out = Run({"/probe/x"});
    EXPECT_EQ(out.status, 400u);
    EXPECT_EQ(out.error, "Couldn't convert value to a host value because it is nested more than 512 levels deep.");
}

// ---- Member functions bound with BindEndpoint ------------------------------------------

namespace {

struct Event {
    std::string name;
    int32_t priority = -1;
};
void Describe(Binding::Record<Event>& r) { r.Name("SequenceEvent").Field("name", &Event::name).Field("priority", &Event::priority); }

class Sequencer {
public:
    void Register(const std::string& name, int32_t priority) { registered.push_back({name, priority}); }
    void Complete(const std::string& name) { registered.push_back({name, 0}); }
    Event Current() { return {"e", 3}; }
    void Inspect(const RequestInfo& info, ApiResponse& response, int32_t code) {
        seen = info;
        response.status = static_cast<uint32_t>(code);
        response.contentType = "text/x-test";
        response.headers["x-a"] = "1";
        response.responseMode = 7;
    }
    void Throw() { throw std::runtime_error("boom"); }

    std::vector<Event> registered;
    RequestInfo seen;
};

}  // namespace

class BoundDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        context_.SetApiNamePrefix("Kav");
        const Endpoint* bound[] = {
            context_.BindEndpoint(HttpMethod::Post, "/kav/v1/registration/{sequenceEventName}/{priority}", plugin_,
                                  &Sequencer::Register, {"sequenceEventName", "priority"}),
            context_.BindEndpoint(HttpMethod::Post, "/kav/v1/complete/{sequenceEventName}", plugin_,
                                  &Sequencer::Complete, {"sequenceEventName"}),
            context_.BindEndpoint(HttpMethod::Get, "/kav/v1/current", plugin_, &Sequencer::Current, {}),
            context_.BindEndpoint(HttpMethod::Custom, "/kav/v1/inspect", plugin_, &Sequencer::Inspect, {"code"}),
            context_.BindEndpoint(HttpMethod::Get, "/kav/v1/throw", plugin_, &Sequencer::Throw, {})};
        for (const Endpoint* endpoint : bound) ASSERT_NE(endpoint, nullptr);
        context_.FindEndpoint(context_.Registry().FindFunction("KavV1Inspect"))->SetMethod(HttpMethod::Custom, "LIST");
        description_ = context_.BuildApiDescription();
    }

    void* Handler(std::string_view name) const {
        for (const ApiFunctionEntry* f = description_->functions; f != nullptr; f = f->next) {
            if (name == f->name) return f->handler_context;
        }
        return nullptr;
    }

    ApiContext context_;
    Sequencer plugin_;
    const ApiDescription* description_ = nullptr;
};

TEST_F(BoundDispatch, TheFirstBindingOfANameStaysAndNamesMustMatchTheArguments) {
    EXPECT_EQ(context_.BindEndpoint(HttpMethod::Get, "/kav/v1/current", plugin_, &Sequencer::Current, {}), nullptr);
    EXPECT_EQ(context_.BindEndpoint(HttpMethod::Get, "/kav/v1/other/{x}", plugin_, &Sequencer::Complete, {}), nullptr);
}

TEST_F(BoundDispatch, ArgumentsAreConvertedOrRefusedWithTheirMessage) {
    const char* const registration = "PostKavV1RegistrationBySequenceEventNameByPriority";
    const char* const complete = "PostKavV1CompleteBySequenceEventName";
    struct Row { const char* function; Request request; std::string error; };
    const Row table[] = {
        {registration, {"/kav/v1/registration/a%20b/-2147483648"}, ""},
        {registration, {"/kav/v1/registration/a/2147483648"},
         "Value 2147483648 for 'priority' of type int32 is out of range"},
        {registration, {"/kav/v1/registration/a/x"}, "Value x for 'priority' of type int32 is in an incorrect format"},
        {registration, {"/kav/v1/registration//1"}, "Expected value for argument 'sequenceEventName'."},
        {complete, {"/kav/v1/complete/b?sequenceEventName=c"},
         "Argument 'sequenceEventName' for 'PostKavV1CompleteBySequenceEventName' was specified in an invalid "
         "location."},
        {complete, {"/kav/v1/complete/b", {}, "text/plain", "ignored"}, ""},
        {complete, {"/kav/v1/complete/b", {}, "", {}, API_METHOD_DELETE}, "Invalid function"},
        {"GetKavV1ThrowCaught", {"/kav/v1/throw", {}, "", {}, API_METHOD_GET}, "Invalid function"},
        {"GetKavV1Throw", {"/kav/v1/throw", {}, "", {}, API_METHOD_GET}, "Internal error"},
    };
    for (const Row& row : table) {
        ApiReply reply{};
        Send(Handler(row.function), row.request, reply);
        const std::string error = reply.error != nullptr ? reply.error : "";
        EXPECT_EQ(error, row.error) << row.request.path;
        EXPECT_TRUE(row.error != "Internal error" || reply.status == 500) << reply.status;
        reply.release(&reply);
    }
    ASSERT_EQ(plugin_.registered.size(), 2u);
    EXPECT_EQ(plugin_.registered[0].name, "a b");
    EXPECT_EQ(plugin_.registered[0].priority, INT_MIN);
    EXPECT_EQ(plugin_.registered[1].name, "b");
}

TEST_F(BoundDispatch, RunningOutOfMemoryIsAnInternalErrorAtEveryStepAndLogged) {
    // Each pass fails one more allocation along the way, from route matching on, until
    // the request gets through: no step may turn a failure into another answer.
    const std::string path = "/kav/v1/complete/an-event-name-longer-than-a-short-string";
    const ApiRequest request{API_METHOD_POST, path.c_str(), nullptr, 0, Handler("PostKavV1CompleteBySequenceEventName"),
                             nullptr, 0, "", nullptr, 0, 0, nullptr};
    long failing = 0;
    for (;; ++failing) {
        ApiReply reply{};
        gAllocationsBeforeFailure = failing;
        HandleRequest(&reply, &request);
        const bool struck = gAllocationsBeforeFailure < 0;
        gAllocationsBeforeFailure = -1;
        const std::string error = reply.error != nullptr ? reply.error : "";
        const uint32_t status = reply.status;
        reply.release(&reply);
        if (failing == 0) {
            EXPECT_TRUE(plugin_.registered.empty()) << "the first allocation is the route's";
        }
        if (!struck) {
            EXPECT_EQ(error, "") << "with every allocation granted";
            break;
        }
        EXPECT_EQ(error, "Internal error") << "allocation " << failing;
        EXPECT_EQ(status, 500u) << "allocation " << failing;
        const std::vector<std::string> log = Testing::RecordedLogMessages();
        ASSERT_FALSE(log.empty()) << "allocation " << failing;
        EXPECT_EQ(log.back(), "Internal error handling " + path + ": std::bad_alloc") << "allocation " << failing;
        ASSERT_LT(failing, 1000);
    }
    EXPECT_GT(failing, 0);
}

TEST_F(BoundDispatch, ARecordResultBecomesTheReplyBody) {
    ApiReply reply{};
    Send(Handler("GetKavV1Current"), {"/kav/v1/current", {}, "", {}, API_METHOD_GET}, reply);
    ASSERT_EQ(+reply.body.kind, static_cast<uint32_t>(HOST_VALUE_STRUCTURE));
    ASSERT_EQ(+reply.body.u.structure.count, 2u);
    EXPECT_STREQ(reply.body.u.structure.entries[0].key, "name");
    EXPECT_EQ(+reply.body.u.structure.entries[1].value.u.i64, 3);
    reply.release(&reply);

    // A path changed after declaration is matched as it now reads.
    context_.FindEndpoint(context_.Registry().FindFunction("GetKavV1Current"))->path = "/kav/v2/current";
    Send(Handler("GetKavV1Current"), {"/kav/v2/current", {}, "", {}, API_METHOD_GET}, reply);
    EXPECT_EQ(+reply.error, nullptr);
    reply.release(&reply);
}

TEST_F(BoundDispatch, TheFunctionSeesTheRequestAndSetsTheResponse) {
    ApiReply inspected{};
    const ApiHeader headers[] = {{"h", "1"}, {"code", "202"}, {"h", "2"}};
    // A literal route takes no query.
    const ApiRequest request{API_METHOD_CUSTOM, "/kav/v1/inspect", nullptr, 0, Handler("KavV1Inspect"), headers, 3,
                             nullptr, nullptr, 0, 42, "LIST"};
    HandleRequest(&inspected, &request);
    EXPECT_TRUE(inspected.error == nullptr && inspected.status == 202 && inspected.response_mode == 0);
    EXPECT_STREQ(inspected.content_type, "text/x-test");
    ASSERT_EQ(+inspected.header_count, 1u);
    EXPECT_STREQ(inspected.headers[0].name, "x-a");
    const RequestInfo& seen = plugin_.seen;
    EXPECT_TRUE(seen.requestContext == 42 && seen.context == &context_ && seen.method == HttpMethod::Custom &&
                seen.version == 1);
    EXPECT_EQ(seen.customMethod + " " + seen.path + " h=" + seen.headers.at("h"), "LIST /kav/v1/inspect h=2");
    EXPECT_GT(seen.receivedTicks, 16000000000000000ull);  // after 2020
    inspected.release(&inspected);
}

TEST_F(BoundDispatch, AfterTeardownALateRequestFindsNoFunction) {
    void* late = Handler("GetKavV1Current");
    context_.ClearEndpoints();
    EXPECT_EQ(context_.Description(), nullptr);
    ApiReply reply{};
    Send(late, {"/kav/v1/current", {}, "", {}, API_METHOD_GET}, reply);
    EXPECT_STREQ(reply.error, "Invalid function");
    reply.release(&reply);
    HandleRequest(&reply, nullptr);
    EXPECT_EQ(+reply.status, 404u);
    EXPECT_EQ(+reply.content_type, SharedEmptyText());
    reply.release(&reply);
}

TEST(DecodeParameterText, ContentTypes) {
    const std::string msgpackError = Formats::DecodeMessagePack(std::string_view("\xc1", 1)).ErrorMessage();
    const std::string yamlError = Formats::DecodeYaml("[1").ErrorMessage();
    const struct {
        const char* contentType;
        std::string text;
        std::string value;  // canonical text, or the failure
    } table[] = {
        {"text/x-yaml", "a: 1", "{\"a\": unsigned:1}"}, {"Text/X-YAML; charset=utf-8", "- x", "[string:\"x\"]"},
        {"text/x-yaml", "[1", "Couldn't deserialize YAML value for parameter 'p' of 'F': " + yamlError},
        // Only bodies know these two.
        {"application/x-yaml", "a: 1", "string:\"a: 1\""}, {"application/vnd.api+json", "[1]", "string:\"[1]\""},
        {"application/octet-stream", std::string("a\0b", 3), "blob:610062"},
        {"application/x-msgpack", "\xc1",
         "Couldn't deserialize MessagePack value for parameter 'p' of 'F': " + msgpackError},
        {"application/x-msgpack-ext", "\x91\x07", "[signed:7]"}, {"", "[1", "string:\"[1\""},
    };
    for (const auto& row : table) {
        Binding::BindingResult result;
        BindingValue target;
        target.SetString("before");
        DecodeParameterText(result, target, "F", "p", row.text, row.contentType, false);
        if (result.Ok()) {
            EXPECT_EQ(Formats::CanonicalText(target), row.value) << row.contentType;
        } else {
            EXPECT_EQ(result.ErrorMessage(), row.value) << row.contentType;
            EXPECT_EQ(Formats::CanonicalText(target), "string:\"before\"") << row.contentType;  // unchanged
        }
    }
}

// A large tree dropped and the process then busy with one region in use: the regions
// left idle still decay, at the end of the next requests.
TEST(RequestCompletion, LetsIdleValueMemoryDecay) {
    using Binding::PageSupply;
    static uint64_t now = 1'000'000;
    const PageSupply::Clock previous = PageSupply::SetClock(+[]() noexcept -> uint64_t { return now; });
    PageSupply::ReleaseReserve();
    void* held = PageSupply::Take();
    {
        BindingValue dropped;
        for (size_t i = 0; i < 20000; ++i) dropped.Element(i).Member("m").SetSigned(static_cast<int64_t>(i));
    }
    const size_t reserved = PageSupply::RegionsReserved();
    ASSERT_GT(reserved, 1u);
    now += PageSupply::kDecayMilliseconds;
    PageSupply::Return(PageSupply::Take());  // busy: no region enters the reserve
    EXPECT_EQ(PageSupply::RegionsDiscarded(), 0u);
    for (size_t request = 0; request < reserved; ++request) {
        ApiReply reply{};
        HandleRequest(&reply, nullptr);
        reply.release(&reply);
    }
    EXPECT_EQ(PageSupply::RegionsDiscarded(), reserved);
    PageSupply::Return(held);
    PageSupply::ReleaseReserve();
    PageSupply::SetClock(previous);
}
