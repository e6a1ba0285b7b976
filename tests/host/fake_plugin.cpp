// The fake plugin of the host tests; see fake_plugin.h.
#include "fake_plugin.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace {

FakePluginState g_state;
const HostApi* g_api = nullptr;
thread_local int t_depth = 0;  // inside a host->plugin call on this thread
const char kSessionKey[] = "OnJsonApiEvent_kav-gameflow_v1_session";

struct Depth {
    Depth() { ++t_depth; }
    ~Depth() { --t_depth; }
};

// ---- Owned values --------------------------------------------------------------------

char* Dup(std::string_view text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

HostValue Text(std::string_view text) {
    HostValue v{};
    v.kind = HOST_VALUE_STRING_OWNED;
    v.u.string.data = Dup(text);
    v.u.string.length = static_cast<uint32_t>(text.size());
    return v;
}

HostValue Copy(const HostValue& in) {
    HostValue v = in;
    if (in.kind == HOST_VALUE_STRING || in.kind == HOST_VALUE_STRING_OWNED) {
        return Text(std::string_view(in.u.string.data ? in.u.string.data : "", in.u.string.data ? in.u.string.length : 0));
    }
    if (in.kind == HOST_VALUE_COLLECTION) {
        v.u.collection.items = static_cast<HostValue*>(std::calloc(in.u.collection.count + 1, sizeof(HostValue)));
        for (uint32_t i = 0; i < in.u.collection.count; ++i) v.u.collection.items[i] = Copy(in.u.collection.items[i]);
    } else if (in.kind == HOST_VALUE_STRUCTURE) {
        v.u.structure.entries = static_cast<HostStructEntry*>(std::calloc(in.u.structure.count + 1, sizeof(HostStructEntry)));
        for (uint32_t i = 0; i < in.u.structure.count; ++i) {
            v.u.structure.entries[i].key = Dup(in.u.structure.entries[i].key);
            v.u.structure.entries[i].key_owned = 1;
            v.u.structure.entries[i].value = Copy(in.u.structure.entries[i].value);
        }
    } else if (in.kind == HOST_VALUE_BLOB || in.kind == HOST_VALUE_BLOB_OWNED) {
        v.kind = HOST_VALUE_NONE;  // not needed by the tests
    }
    return v;
}

void Free(HostValue& v) {
    if (v.kind == HOST_VALUE_STRING_OWNED) std::free(const_cast<char*>(v.u.string.data));
    if (v.kind == HOST_VALUE_COLLECTION) {
        for (uint32_t i = 0; i < v.u.collection.count; ++i) Free(v.u.collection.items[i]);
        std::free(v.u.collection.items);
    }
    if (v.kind == HOST_VALUE_STRUCTURE) {
        for (uint32_t i = 0; i < v.u.structure.count; ++i) {
            Free(v.u.structure.entries[i].value);
            if (v.u.structure.entries[i].key_owned) std::free(const_cast<char*>(v.u.structure.entries[i].key));
        }
        std::free(v.u.structure.entries);
    }
    v = HostValue{};
}

HostValue Structure(std::vector<std::pair<const char*, HostValue>> members) {
    HostValue v{};
    v.kind = HOST_VALUE_STRUCTURE;
    v.u.structure.entries = static_cast<HostStructEntry*>(std::calloc(members.size() + 1, sizeof(HostStructEntry)));
    v.u.structure.count = static_cast<uint32_t>(members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        v.u.structure.entries[i].key = members[i].first;  // static text, not owned
        v.u.structure.entries[i].value = members[i].second;
    }
    return v;
}

std::string_view StringOf(const HostValue& v) {
    bool text = v.kind == HOST_VALUE_STRING || v.kind == HOST_VALUE_STRING_OWNED;
    return text && v.u.string.data ? std::string_view(v.u.string.data, v.u.string.length) : std::string_view{};
}

const HostValue* Member(const HostValue& v, std::string_view key) {
    if (v.kind != HOST_VALUE_STRUCTURE) return nullptr;
    for (uint32_t i = 0; i < v.u.structure.count; ++i) {
        if (key == v.u.structure.entries[i].key) return &v.u.structure.entries[i].value;
    }
    return nullptr;
}

// ---- Replies -------------------------------------------------------------------------

struct FakeStream {
    std::vector<std::string> chunks;
    size_t next = 0;
    bool failSecond = false;
};

uint32_t KAV_ABI ReadStream(void* reader, void* buffer, uint32_t* size, uint8_t* more) {
    auto* stream = static_cast<FakeStream*>(reader);
    if (stream->failSecond && stream->next == 1) return 0;
    const std::string& chunk = stream->chunks[stream->next++];
    std::memcpy(buffer, chunk.data(), chunk.size());  // chunks are far below the buffer size
    *size = static_cast<uint32_t>(chunk.size());
    *more = stream->next < stream->chunks.size();
    return 1;
}

void KAV_ABI DestroyStream(void* handle) {
    delete static_cast<FakeStream*>(handle);
    ++g_state.streamsDestroyed;
}

void KAV_ABI ReleaseReply(ApiReply* reply) {
    Free(reply->body);
    std::free(const_cast<char*>(reply->error));
    std::free(const_cast<char*>(reply->content_type));
    for (uint32_t i = 0; i < reply->header_count; ++i) {
        std::free(const_cast<char*>(reply->headers[i].name));
        std::free(const_cast<char*>(reply->headers[i].value));
    }
    std::free(reply->headers);
    std::memset(static_cast<void*>(reply), 0, sizeof *reply);
    ++g_state.repliesReleased;
}

void Fail(ApiReply* reply, uint32_t status, std::string_view error) {
    reply->error = Dup(error);
    reply->has_error = 1;
    reply->status = status;
}

// ---- Functions -----------------------------------------------------------------------

HostValue EchoValue(const ApiRequest& request, const char* function) {
    HostValue arguments{};
    arguments.kind = HOST_VALUE_COLLECTION;
    arguments.u.collection.items = static_cast<HostValue*>(std::calloc(request.argument_count + 1, sizeof(HostValue)));
    arguments.u.collection.count = request.argument_count;
    std::string names;
    for (uint32_t i = 0; i < request.argument_count; ++i) {
        arguments.u.collection.items[i] = Copy(request.arguments[i].value);
        names += request.arguments[i].name ? request.arguments[i].name : "-";
        names += ';';
    }
    std::string headers;
    for (uint32_t i = 0; i < request.header_count; ++i) {
        headers += std::string(request.headers[i].name) + '=' + request.headers[i].value + ';';
    }
    std::string_view body = request.body ? std::string_view(reinterpret_cast<const char*>(request.body), request.body_length) : "";
    bool terminated = request.body == nullptr || request.body[request.body_length] == '\0';
    return Structure({{"function", Text(function)},
                      {"method", HostValue{HOST_VALUE_UNSIGNED, {.u64 = request.method}}},
                      {"path", Text(request.path)},
                      {"contentType", Text(request.content_type ? request.content_type : "<null>")},
                      {"body", Text(terminated ? body : "<not terminated>")},
                      {"context", HostValue{HOST_VALUE_UNSIGNED, {.u64 = request.request_context}}},
                      {"names", Text(names)},
                      {"headers", Text(headers)},
                      {"arguments", arguments}});
}

// Sends a request to the host and returns its reply (the caller releases it).
ApiReply HostRequest(uint32_t method, const char* path, const HostArgument* arguments, uint32_t count) {
    ApiRequest request{};
    request.method = method;
    request.path = path;
    request.arguments = arguments;
    request.argument_count = count;
    request.request_context = g_state.pluginId;
    ApiReply reply{};
    g_api->send_request(g_api, &reply, &request);
    return reply;
}

void Release(ApiReply& reply) {
    if (reply.release) reply.release(&reply);
}

// Acts on the host as the real plugin's runtime does and answers what it saw.
void CallHost(std::string_view what, ApiReply* reply) {
    if (what == "event") {
        HostOutgoingEvent event{};
        event.name = "FakeEvent";
        event.payload = Text("ping");
        event.caller_value = 7;
        g_api->send_event(g_api, &event);
        Free(event.payload);
    } else if (what == "session" || what == "unknown" || what == "complete" || what == "resource" ||
               what == "blank") {
        // The host's answer passed on: its status, and its error or its body.
        HostArgument argument{};
        argument.value.kind = HOST_VALUE_STRING;
        argument.value.u.string.data = "GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED";
        argument.value.u.string.length = 40;
        ApiReply answer = what == "complete"   ? HostRequest(API_METHOD_POST, "/kav-gameflow/v1/session/event", &argument, 1)
                          : what == "resource" ? HostRequest(API_METHOD_POST, "/kav-fake/v1/resource", &argument, 1)
                          : what == "blank"    ? HostRequest(API_METHOD_GET, "/with blank", nullptr, 0)
                                               : HostRequest(API_METHOD_GET, what == "session" ? "/kav-gameflow/v1/session" : "/nowhere", nullptr, 0);
        reply->status = answer.status;
        if (answer.has_error) {
            Fail(reply, answer.status, answer.error);
        } else {
            reply->body = Copy(answer.body);
        }
        Release(answer);
    } else if (what == "drain") {
        // The runtime's drain: 4096-byte reads, a yield after a short read with more to come.
        ApiReply answer = HostRequest(API_METHOD_GET, "/host/stream", nullptr, 0);
        std::string text;
        bool failed = answer.stream.read == nullptr;
        while (!failed) {
            char buffer[4096];
            uint32_t size = sizeof buffer;
            uint8_t more = 1;
            if (!answer.stream.read(answer.stream.handle, buffer, &size, &more)) {
                failed = true;
                break;
            }
            text.append(buffer, size);
            if (!more) break;
            if (size < sizeof buffer) {
                g_api->wait_enter(g_api, "Wait: yield", 0);
                g_api->wait_yield(g_api);
                g_api->wait_leave(g_api);
            }
        }
        if (answer.stream.release) answer.stream.release(answer.stream.handle);
        reply->status = answer.stream.source.size_hint;  // shows the hint came through
        Release(answer);
        if (failed) {
            Fail(reply, 500, "Stream read error");
        } else {
            reply->body = Text(text);
        }
    } else if (what == "unsubscribe") {
        g_api->unsubscribe(g_api, kSessionKey, g_state.pluginId);
    } else {
        Fail(reply, 400, "Unknown call");
    }
}

struct Function {
    const char* name;
    uint32_t method;
};
const Function kFunctions[] = {
    {"GetItem", API_METHOD_GET}, {"PostItem", API_METHOD_POST}, {"Stream", API_METHOD_GET}, {"Call", API_METHOD_POST}};

void KAV_ABI HandleRequest(ApiReply* reply, const ApiRequest* request) {
    Depth depth;
    std::memset(static_cast<void*>(reply), 0, sizeof *reply);
    reply->release = &ReleaseReply;
    ++g_state.repliesMade;
    const auto* function = static_cast<const Function*>(request->handler_context);
    std::string_view path = request->path;
    if (function == nullptr || request->method != function->method) return Fail(reply, 404, "Invalid function");
    reply->content_type = Dup("application/x-fake");
    reply->headers = static_cast<ApiHeader*>(std::calloc(1, sizeof(ApiHeader)));
    reply->headers[0] = ApiHeader{Dup("X-Fake"), Dup(function->name)};
    reply->header_count = 1;
    reply->status = 200;
    if (function == &kFunctions[2]) {
        auto* stream = new FakeStream{{"alpha", "", "beta"}, 0, path.find("?fail") != std::string_view::npos};
        ++g_state.streamsMade;
        reply->stream.read = &ReadStream;
        reply->stream.release = &DestroyStream;
        reply->stream.source.reader = stream;
        reply->stream.handle = stream;
    } else if (function == &kFunctions[3]) {
        CallHost(path.substr(path.rfind('/') + 1), reply);
    } else {
        reply->body = EchoValue(*request, function->name);
    }
}

// ---- Description, events, callbacks --------------------------------------------------

ApiFunctionEntry g_entries[4];
ApiDescription g_description;

void Describe() {
    static const char* const kPaths[] = {"/fake/v1/items/{id}", "/fake/v1/items/{id}", "/fake/v1/stream", "/fake/v1/call/{what}"};
    for (int i = 0; i < 4; ++i) {
        g_entries[i] = ApiFunctionEntry{};
        g_entries[i].next = i < 3 ? &g_entries[i + 1] : nullptr;
        g_entries[i].handler_context = const_cast<Function*>(&kFunctions[i]);
        g_entries[i].name = kFunctions[i].name;
        g_entries[i].name_space = "";
        g_entries[i].handler = &HandleRequest;
        g_entries[i].path = kPaths[i];
        g_entries[i].method = kFunctions[i].method;
    }
    // Types of every shape a description can hold, for the description's readers.
    static const ApiEnumeratorEntry kColours[] = {
        {&kColours[1], "Red", "", 0}, {&kColours[2], "Blue", "", 2}, {nullptr, "Green", "", 1}};
    static const ApiFieldEntry kPartFields[] = {{&kPartFields[1], "name", "", 0, API_KIND_STRING, 0, "", 0},
                                                {nullptr, "weight", "In grams", 32, API_KIND_DOUBLE, 0, "", 1}};
    static const ApiFieldEntry kItemFields[] = {
        {&kItemFields[1], "id", "", 0, API_KIND_STRING, 0, "", 0},
        {&kItemFields[2], "colour", "", 32, API_KIND_ENUM, 0, "FakeColour", 0},
        {&kItemFields[3], "sizes", "", 40, API_KIND_VECTOR, API_KIND_INT32, "", 0},
        {&kItemFields[4], "labels", "", 64, API_KIND_MAP, API_KIND_STRING, "", 0},
        {&kItemFields[5], "parts", "", 96, API_KIND_VECTOR, API_KIND_STRUCT, "FakePart", 0},
        {&kItemFields[6], "shades", "", 120, API_KIND_MAP, API_KIND_ENUM, "FakeColour", 0},
        {nullptr, "extra", "", 152, API_KIND_OBJECT, 0, "", 1}};
    static const char* const kTags[] = {"fake"};
    static const ApiTypeEntry kTypes[] = {
        {&kTypes[1], "FakeColour", "", 4, "A colour", kTags, 1, nullptr, kColours, 3},
        {&kTypes[2], "FakePart", "", 40, "", nullptr, 0, kPartFields, nullptr, 2},
        {nullptr, "FakeItem", "", 168, "An item", nullptr, 0, kItemFields, nullptr, 7}};
    static const ApiEventEntry kEvents[] = {
        {nullptr, "FakeEvent", "", "const char *__cdecl StaticType::Name<struct Fake::FakeItem>(void)", "Sent on call/event",
         kTags, 1}};
    // GetItem and PostItem: the id in the path; PostItem's item in the body, a query flag.
    static const ApiParameterEntry kGetParameters[] = {{nullptr, "id", "", API_KIND_STRING, 0, "", 0}};
    static const ApiParameterEntry kPostParameters[] = {{&kPostParameters[1], "id", "", API_KIND_STRING, 0, "", 0},
                                                        {&kPostParameters[2], "item", "", API_KIND_STRUCT, 0, "FakeItem", 0},
                                                        {nullptr, "dryRun", "", API_KIND_BOOL, 0, "", 1}};
    static const ApiLocationNode kGetLocations[] = {{nullptr, API_LOCATION_PATH}};
    static const ApiLocationNode kPostLocations[] = {
        {&kPostLocations[1], API_LOCATION_PATH}, {&kPostLocations[2], API_LOCATION_BODY}, {nullptr, API_LOCATION_QUERY}};
    g_entries[0].parameters = kGetParameters;
    g_entries[0].parameter_count = 1;
    g_entries[0].locations = kGetLocations;
    g_entries[0].return_kind = API_KIND_STRUCT;
    g_entries[0].return_type_name = "FakeItem";
    g_entries[0].description = "One item";
    g_entries[1].parameters = kPostParameters;
    g_entries[1].parameter_count = 3;
    g_entries[1].locations = kPostLocations;
    g_entries[1].return_kind = API_KIND_VECTOR;
    g_entries[1].return_element_kind = API_KIND_STRUCT;
    g_entries[1].return_type_name = "FakePart";
    g_description = ApiDescription{g_entries, 4, kTypes, 3, kEvents, 1};
}

void KAV_ABI OnEvent(const HostEventRecord* event) {
    ++g_state.events;
    if (t_depth != 0) ++g_state.reentered;
    if (event->context != &g_state) ++g_state.wrongContext;
    const HostValue* data = Member(event->payload, "data");
    const HostValue* phase = data ? Member(*data, "phase") : nullptr;
    std::lock_guard lock(g_state.mutex);
    g_state.lastEventType = StringOf(*Member(event->payload, "eventType"));
    g_state.lastPhase = phase ? StringOf(*phase) : "";
}

uint8_t KAV_ABI Initialize(void* context, const HostInit* init) {
    Depth depth;
    if (context != &g_state) return 0;
    g_api = init->api;
    g_state.pluginId = init->plugin_id;
    g_api->subscribe(g_api, kSessionKey, init->plugin_id, &OnEvent, &g_state, HOST_SUBSCRIBE_RESOURCE);
    ApiReply session = HostRequest(API_METHOD_GET, "/kav-gameflow/v1/session", nullptr, 0);
    const HostValue* phase = Member(session.body, "phase");
    g_state.initialSession = phase ? std::string(StringOf(*phase)) : "error";
    Release(session);
    g_api->log(g_api, 3, "fake initialized");
    return 1;
}

void KAV_ABI Shutdown(void*) {
    Depth depth;
    // A host may shut down a plugin it never initialised.
    if (g_api != nullptr) g_api->unsubscribe(g_api, kSessionKey, g_state.pluginId);
    ++g_state.shutdownCalls;
}

void KAV_ABI MemoryStats(void*, PluginMemoryStats* stats) {
    *stats = PluginMemoryStats{};
    stats->allocations = g_state.repliesMade;
    stats->frees = g_state.repliesReleased;
}

const PluginCallbacks kCallbacks = {&Initialize, &Shutdown, &MemoryStats};

}  // namespace

extern "C" KAV_EXPORT FakePluginState* fake_plugin_state() { return &g_state; }

extern "C" KAV_EXPORT void KAV_ABI load_kav_pre_end_of_game(PluginLoadRecord* record) {
    g_state.~FakePluginState();
    new (&g_state) FakePluginState;
    g_state.hostMajor = record->major;
    g_state.hostMinor = record->minor;
    g_state.hostPatch = record->patch;
    Describe();
    record->major = 18;
    record->minor = 0;
    record->patch = 0;
    record->callbacks = &kCallbacks;
    record->context = &g_state;
    record->name = "fake-plugin";
    record->description = &g_description;
}
