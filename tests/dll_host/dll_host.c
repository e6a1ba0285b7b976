/*
 * A host of its own for the shipped plugin DLL, written in C99 from the public header
 * alone. It loads the DLL as the game client does (LoadLibrary, GetProcAddress), plays
 * the host's side of the boundary and checks what comes back:
 *
 *   dll_host [--preload DLL] PLUGIN.dll CHECK
 *
 * CHECK is one of: load, sequence, hostile, cycles, threads, oom. --preload loads
 * another DLL first (libgcc_s_dw2-1.dll: the plugin's own exceptions must still work).
 * Quiet when every check holds; otherwise one line per failed check and exit code 1.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kav/host_abi.h>

static int gFailures;

static void Fail(int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "dll_host.c:%d: ", line);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    ++gFailures;
}
#define CHECK(condition, ...) \
    do {                      \
        if (!(condition)) Fail(__LINE__, __VA_ARGS__); \
    } while (0)

/* ---- Journal of host calls ---------------------------------------------------------- */

static CRITICAL_SECTION gLock;
static char gJournal[16384];
static size_t gJournalLength;
static int gJournalOn = 1;
static char gLastLog[512];
static LONG gLogLines;

static void Note(const char* format, ...) {
    va_list args;
    EnterCriticalSection(&gLock);
    if (gJournalOn && gJournalLength < sizeof gJournal) {
        va_start(args, format);
        int n = vsnprintf(gJournal + gJournalLength, sizeof gJournal - gJournalLength, format, args);
        va_end(args);
        if (n > 0) gJournalLength += (size_t)n;
        if (gJournalLength >= sizeof gJournal) gJournalLength = sizeof gJournal - 1;
    }
    LeaveCriticalSection(&gLock);
}

static void ClearJournal(void) {
    EnterCriticalSection(&gLock);
    gJournalLength = 0;
    gJournal[0] = '\0';
    LeaveCriticalSection(&gLock);
}

/* ---- Reading the plugin's values (texts come with a length, not a NUL) --------------- */

static const HostValue* Member(const HostValue* v, const char* key) {
    uint32_t i;
    if (v == NULL || v->kind != HOST_VALUE_STRUCTURE) return NULL;
    for (i = 0; i < v->u.structure.count; ++i) {
        const HostStructEntry* e = &v->u.structure.entries[i];
        if (e->key != NULL && strcmp(e->key, key) == 0) return &e->value;
    }
    return NULL;
}

/* Writes a value as text: strings as they are, numbers in decimal, anything else by kind. */
static void Render(const HostValue* v, char* out, size_t size) {
    if (v == NULL) {
        snprintf(out, size, "<none>");
        return;
    }
    switch (v->kind) {
        case HOST_VALUE_STRING:
        case HOST_VALUE_STRING_OWNED: {
            uint32_t n = v->u.string.length;
            if (n >= size) n = (uint32_t)size - 1;
            if (n > 0) memcpy(out, v->u.string.data, n);
            out[n] = '\0';
            return;
        }
        case HOST_VALUE_SIGNED: snprintf(out, size, "%lld", (long long)v->u.i64); return;
        case HOST_VALUE_UNSIGNED: snprintf(out, size, "%llu", (unsigned long long)v->u.u64); return;
        case HOST_VALUE_BOOL: snprintf(out, size, "%s", v->u.boolean ? "true" : "false"); return;
        default: snprintf(out, size, "<kind %u>", (unsigned)v->kind); return;
    }
}

static void RenderMember(const HostValue* v, const char* key, char* out, size_t size) {
    Render(Member(v, key), out, size);
}

/* ---- What the host answers to the plugin's requests ---------------------------------- */

enum SessionReply {
    SESSION_LOBBY,          /* a structure {phase: "Lobby", gameData: 5} */
    SESSION_SHORT_TEXT,     /* phase text whose length stops short: "Pre" */
    SESSION_EMPTY_BODY,     /* a structure without members, null entries */
    SESSION_STREAM,         /* the body as a stream, size hint 0xFFFFFFFF */
    SESSION_STREAM_FAILING, /* a stream whose second read fails */
    SESSION_ERROR           /* error text and 503 */
};
static enum SessionReply gSessionReply = SESSION_LOBBY;
static enum SessionReply gCompletionReply = SESSION_LOBBY;
static LONG gReplyReleases, gStreamReads, gStreamCloses, gYields;

/* Texts handed over by length: each is followed by bytes that are not part of it. */
static const char kLobby[] = "LobbyXX";
static const char kPreEndOfGame[] = "PreEndOfGame!!";
static const char kPhase[] = "phase";
static const char kGameData[] = "gameData";

static char gStreamText[] = "{\"phase\": \"Lobby\", \"x\": [1, 2, 3]}";
static size_t gStreamPosition;

static uint32_t KAV_ABI StreamRead(void* reader, void* buffer, uint32_t* size, uint8_t* more) {
    size_t left = strlen(gStreamText) - gStreamPosition;
    uint32_t n = 0;
    LONG call = InterlockedIncrement(&gStreamReads);
    CHECK(reader == (void*)gStreamText, "stream read got another handle");
    CHECK(*more == 1 && *size == 4096, "stream read called with more %u, size %u", *more, (unsigned)*size);
    if (call == 1) { /* nothing yet: the plugin must yield and ask again */
        *size = 0;
        *more = 1;
        return 1;
    }
    if (gSessionReply == SESSION_STREAM_FAILING && call == 3) return 0;
    n = left < 7 ? (uint32_t)left : 7; /* a few bytes at a time */
    memcpy(buffer, gStreamText + gStreamPosition, n);
    gStreamPosition += n;
    *size = n;
    *more = gStreamPosition < strlen(gStreamText) ? 1 : 0;
    return 0x10000; /* true, but not in the low byte: read at full width */
}

static void KAV_ABI StreamClose(void* stream) {
    CHECK(stream == (void*)gStreamText, "stream close got another handle");
    InterlockedIncrement(&gStreamCloses);
}

static void KAV_ABI ReleaseHostReply(ApiReply* reply) {
    InterlockedIncrement(&gReplyReleases);
    free((void*)reply->body.u.structure.entries);
    memset(reply, 0, sizeof *reply);
}

static void FillSessionReply(ApiReply* reply) {
    HostStructEntry* entries;
    reply->release = ReleaseHostReply;
    switch (gSessionReply) {
        case SESSION_LOBBY:
        case SESSION_SHORT_TEXT:
            entries = (HostStructEntry*)calloc(2, sizeof *entries);
            entries[0].key = kGameData;
            entries[0].value.kind = HOST_VALUE_SIGNED;
            entries[0].value.u.i64 = 5;
            entries[1].key = kPhase;
            entries[1].value.kind = HOST_VALUE_STRING;
            entries[1].value.u.string.data = gSessionReply == SESSION_LOBBY ? kLobby : kPreEndOfGame;
            entries[1].value.u.string.length = gSessionReply == SESSION_LOBBY ? 5 : 3;
            reply->body.kind = HOST_VALUE_STRUCTURE;
            reply->body.u.structure.entries = entries;
            reply->body.u.structure.count = 2;
            return;
        case SESSION_EMPTY_BODY:
            reply->body.kind = HOST_VALUE_STRUCTURE; /* entries null, count 0 */
            return;
        case SESSION_STREAM:
        case SESSION_STREAM_FAILING:
            gStreamPosition = 0;
            gStreamReads = 0;
            reply->stream.read = StreamRead;
            reply->stream.release = StreamClose;
            reply->stream.source.size_hint = 0xFFFFFFFFu;
            reply->stream.handle = gStreamText;
            return;
        case SESSION_ERROR:
            reply->error = "Service unavailable";
            reply->has_error = 1;
            reply->status = 503;
            return;
    }
}

static uint32_t gPluginId = 7;

static void KAV_ABI SendRequest(const HostApi* api, ApiReply* reply, const ApiRequest* request) {
    char body[128] = "";
    const char* method = request->method == API_METHOD_GET ? "GET" : request->method == API_METHOD_POST ? "POST" : "?";
    uint32_t i;
    CHECK(api != NULL && api->log != NULL, "send_request without its table");
    for (i = 0; i < sizeof *reply; ++i) CHECK(((const unsigned char*)reply)[i] == 0, "reply not zeroed at %u", i);
    if (request->argument_count == 1) {
        CHECK(request->arguments[0].name == NULL, "body argument not positional");
        Render(&request->arguments[0].value, body, sizeof body);
    }
    Note("request %s %s %u ctx=%u%s%s\n", method, request->path, (unsigned)request->argument_count,
         (unsigned)request->request_context, body[0] ? " " : "", body);
    if (strcmp(request->path, "/kav-gameflow/v1/session") == 0) {
        FillSessionReply(reply);
    } else if (gCompletionReply == SESSION_ERROR) {
        reply->error = "Service unavailable";
        reply->has_error = 1;
        reply->status = 503;
    }
    /* otherwise an empty success without a release function: allowed */
}

static void KAV_ABI SendEvent(const HostApi* api, const HostOutgoingEvent* event) {
    char uri[96], type[32], name[64], priority[32];
    const HostValue* data = Member(&event->payload, "data");
    (void)api;
    RenderMember(&event->payload, "uri", uri, sizeof uri);
    RenderMember(&event->payload, "eventType", type, sizeof type);
    RenderMember(data, "name", name, sizeof name);
    RenderMember(data, "priority", priority, sizeof priority);
    Note("event %s %s %s '%s' %s %u\n", event->name, uri, type, name, priority, (unsigned)event->caller_value);
}

/* Subscriptions as the host keeps them. */
typedef struct {
    char key[96];
    HostEventCallback callback;
    void* context;
    int live;
} Subscription;
static Subscription gSubscriptions[16];
static int gSubscriptionCount;

static uint8_t KAV_ABI Subscribe(const HostApi* api, const char* key, uint32_t pluginId, HostEventCallback callback,
                                 void* context, uint32_t flag) {
    (void)api;
    Note("subscribe %s %u %u\n", key, (unsigned)pluginId, (unsigned)flag);
    EnterCriticalSection(&gLock);
    if (gSubscriptionCount < 16) {
        Subscription* s = &gSubscriptions[gSubscriptionCount++];
        snprintf(s->key, sizeof s->key, "%s", key);
        s->callback = callback;
        s->context = context;
        s->live = 1;
    }
    LeaveCriticalSection(&gLock);
    return 1;
}

static void KAV_ABI Unsubscribe(const HostApi* api, const char* key, uint32_t pluginId) {
    int i;
    (void)api;
    Note("unsubscribe %s %u\n", key, (unsigned)pluginId);
    EnterCriticalSection(&gLock);
    for (i = 0; i < gSubscriptionCount; ++i) {
        if (strcmp(gSubscriptions[i].key, key) == 0) gSubscriptions[i].live = 0;
    }
    LeaveCriticalSection(&gLock);
}

static void KAV_ABI Reserved(void) { Fail(__LINE__, "a reserved host slot was called"); }
static void KAV_ABI WaitEnter(const HostApi* api, const char* label, uint32_t value) {
    (void)api;
    CHECK(strcmp(label, "Wait: yield") == 0 && value == 0, "wait_enter(%s, %u)", label, (unsigned)value);
    InterlockedIncrement(&gYields);
}
static void KAV_ABI WaitYield(const HostApi* api) { (void)api; }
static void KAV_ABI WaitLeave(const HostApi* api) { (void)api; }

static void KAV_ABI HostLog(const HostApi* api, int32_t level, const char* message) {
    (void)api;
    InterlockedIncrement(&gLogLines);
    EnterCriticalSection(&gLock);
    snprintf(gLastLog, sizeof gLastLog, "%d %s", (int)level, message);
    LeaveCriticalSection(&gLock);
    if (strstr(message, "sequence event changed") != NULL) Note("log %d %s\n", (int)level, message);
}

static const HostApi gApi = {SendRequest, Reserved, SendEvent, Subscribe, Unsubscribe,
                             Reserved,    WaitYield, WaitEnter, WaitLeave, HostLog};
static HostInit gInit;

/* ---- The plugin ----------------------------------------------------------------------- */

typedef struct {
    HMODULE module;
    PluginLoadRecord record;
} Plugin;

static const char* gPluginPath;

static int LoadPlugin(Plugin* p) {
    PluginEntryFn entry;
    memset(p, 0, sizeof *p);
    p->module = LoadLibraryA(gPluginPath);
    if (p->module == NULL) {
        Fail(__LINE__, "LoadLibrary(%s) failed: %lu", gPluginPath, (unsigned long)GetLastError());
        return 0;
    }
    entry = (PluginEntryFn)(void (*)(void))GetProcAddress(p->module, KAV_PLUGIN_ENTRY_NAME);
    if (entry == NULL) {
        Fail(__LINE__, "no export %s", KAV_PLUGIN_ENTRY_NAME);
        return 0;
    }
    p->record.major = 18;
    p->record.minor = 2;
    p->record.patch = 1;
    entry(&p->record);
    return p->record.callbacks != NULL;
}

static int Initialize(Plugin* p) {
    gSubscriptionCount = 0;
    gInit.api = &gApi;
    gInit.plugin_id = gPluginId;
    return p->record.callbacks->initialize(p->record.context, &gInit) != 0;
}

static void Shutdown(Plugin* p) { p->record.callbacks->shutdown(p->record.context); }

static void Unload(Plugin* p) {
    if (p->module != NULL) CHECK(FreeLibrary(p->module), "FreeLibrary failed");
    p->module = NULL;
}

static void Stats(Plugin* p, PluginMemoryStats* stats) {
    memset(stats, 0xA5, sizeof *stats);
    p->record.callbacks->get_memory_stats(p->record.context, stats);
}

static const ApiFunctionEntry* Function(const Plugin* p, const char* name) {
    const ApiFunctionEntry* f;
    for (f = p->record.description->functions; f != NULL; f = f->next) {
        if (strcmp(f->name, name) == 0) return f;
    }
    return NULL;
}

/* Sends one request to the named function and answers the reply's error ("" when none);
 * the reply is released unless kept is given. */
static uint32_t gLastStatus;
static const char* Call(const Plugin* p, const char* function, uint32_t method, const char* path, ApiReply* kept) {
    static __thread char error[256];
    const ApiFunctionEntry* f = Function(p, function);
    ApiRequest request;
    ApiReply reply;
    if (f == NULL) return "<no such function>";
    memset(&request, 0, sizeof request); /* no arguments, headers, body, content type */
    request.method = method;
    request.path = path;
    request.handler_context = f->handler_context;
    request.request_context = 99;
    memset(&reply, 0x5A, sizeof reply); /* the plugin clears it first */
    f->handler(&reply, &request);
    snprintf(error, sizeof error, "%s", reply.error != NULL ? reply.error : "");
    CHECK((reply.error != NULL) == (reply.has_error != 0), "has_error %u with error %p", reply.has_error,
          (const void*)reply.error);
    CHECK(reply.content_type != NULL, "reply without content type");
    gLastStatus = reply.status;
    if (kept != NULL) {
        *kept = reply;
    } else {
        CHECK(reply.release != NULL, "reply without release");
        if (reply.release != NULL) reply.release(&reply);
        CHECK(reply.body.kind == 0 && reply.error == NULL && reply.release == NULL, "release left the reply filled");
    }
    return error;
}

static const char kRegister[] = "PostKavPreEndOfGameV1RegistrationBySequenceEventNameByPriority";
static const char kDeregister[] = "DeleteKavPreEndOfGameV1RegistrationBySequenceEventName";
static const char kComplete[] = "PostKavPreEndOfGameV1CompleteBySequenceEventName";
static const char kCurrent[] = "GetKavPreEndOfGameV1CurrentSequenceEvent";

/* Delivers a gameflow session update with the given phase, as the host does. */
static void SessionUpdate(const char* phase, uint32_t phaseLength) {
    HostStructEntry dataEntries[1], eventEntries[3];
    HostEventRecord record;
    int i;
    memset(dataEntries, 0, sizeof dataEntries);
    memset(eventEntries, 0, sizeof eventEntries);
    dataEntries[0].key = kPhase;
    dataEntries[0].value.kind = HOST_VALUE_STRING;
    dataEntries[0].value.u.string.data = phase;
    dataEntries[0].value.u.string.length = phaseLength;
    eventEntries[0].key = "uri";
    eventEntries[0].value.kind = HOST_VALUE_STRING;
    eventEntries[0].value.u.string.data = "/kav-gameflow/v1/session/";
    eventEntries[0].value.u.string.length = 24; /* without the trailing slash */
    eventEntries[1].key = "eventType";
    eventEntries[1].value.kind = HOST_VALUE_UNSIGNED;
    eventEntries[1].value.u.u64 = 1; /* Update */
    eventEntries[2].key = "data";
    eventEntries[2].value.kind = HOST_VALUE_STRUCTURE;
    eventEntries[2].value.u.structure.entries = dataEntries;
    eventEntries[2].value.u.structure.count = 1;
    memset(&record, 0, sizeof record);
    record.key = "OnJsonApiEvent_kav-gameflow_v1_session";
    record.payload.kind = HOST_VALUE_STRUCTURE;
    record.payload.u.structure.entries = eventEntries;
    record.payload.u.structure.count = 3;
    for (i = 0; i < gSubscriptionCount; ++i) {
        if (gSubscriptions[i].live && strcmp(gSubscriptions[i].key, record.key) == 0) {
            record.context = gSubscriptions[i].context;
            gSubscriptions[i].callback(&record);
        }
    }
}

static void ExpectJournal(int line, const char* expected) {
    if (strcmp(gJournal, expected) != 0) Fail(line, "host calls differ.\n--- expected\n%s--- seen\n%s", expected, gJournal);
    ClearJournal();
}

/* ---- Checks --------------------------------------------------------------------------- */

static int CountList(const void* first, size_t nextOffset) {
    int n = 0;
    const char* entry = (const char*)first;
    while (entry != NULL && n < 1000) {
        ++n;
        memcpy(&entry, entry + nextOffset, sizeof entry);
    }
    return n;
}

static void CheckDescription(const Plugin* p) {
    const ApiDescription* d = p->record.description;
    const ApiTypeEntry* t;
    const ApiEventEntry* e;
    static const struct {
        const char* name;
        uint32_t method;
        int locations;
        const char* path;
    } kFunctions[] = {
        {kRegister, API_METHOD_POST, 2, "/kav-pre-end-of-game/v1/registration/{sequenceEventName}/{priority}"},
        {kDeregister, API_METHOD_DELETE, 1, "/kav-pre-end-of-game/v1/registration/{sequenceEventName}"},
        {kComplete, API_METHOD_POST, 1, "/kav-pre-end-of-game/v1/complete/{sequenceEventName}"},
        {kCurrent, API_METHOD_GET, 0, "/kav-pre-end-of-game/v1/currentSequenceEvent"},
    };
    size_t i;
    int phaseFound = 0, resourceEventFound = 0;
    if (d == NULL) {
        Fail(__LINE__, "no API description");
        return;
    }
    CHECK(d->function_count == 4 && CountList(d->functions, 0) == 4, "function count %u", (unsigned)d->function_count);
    for (i = 0; i < sizeof kFunctions / sizeof kFunctions[0]; ++i) {
        const ApiFunctionEntry* f = Function(p, kFunctions[i].name);
        const ApiLocationNode* node;
        int locations = 0;
        if (f == NULL) {
            Fail(__LINE__, "function %s not described", kFunctions[i].name);
            continue;
        }
        CHECK(f->method == kFunctions[i].method, "%s: method %u", f->name, (unsigned)f->method);
        CHECK(strcmp(f->path, kFunctions[i].path) == 0, "%s: path %s", f->name, f->path);
        CHECK(f->handler != NULL && f->handler_context != NULL, "%s: no handler", f->name);
        CHECK(f->reserved == 0 && f->endpoint_flag == 0 && f->string_groups == NULL && f->group_count == 0,
              "%s: reserved fields set", f->name);
        CHECK((int)f->parameter_count == kFunctions[i].locations &&
                  CountList(f->parameters, 0) == kFunctions[i].locations,
              "%s: %u parameters", f->name, (unsigned)f->parameter_count);
        for (node = f->locations; node != NULL; node = node->next, ++locations) {
            CHECK(node->location == API_LOCATION_PATH, "%s: location %u", f->name, (unsigned)node->location);
        }
        CHECK(locations == kFunctions[i].locations, "%s: %d location nodes", f->name, locations);
    }
    {
        const ApiFunctionEntry* current = Function(p, kCurrent);
        if (current != NULL) {
            CHECK(current->return_kind == API_KIND_STRUCT &&
                      strcmp(current->return_type_name, "KavPreEndOfGameSequenceEvent") == 0,
                  "current event returns kind %u %s", (unsigned)current->return_kind, current->return_type_name);
        }
    }
    /* The runtime's 7 types, the plugin's 3 and the built-in ones. */
    CHECK(d->type_count >= 10 && CountList(d->types, 0) == (int)d->type_count, "type count %u",
          (unsigned)d->type_count);
    for (t = d->types; t != NULL; t = t->next) {
        if (strcmp(t->name, "KavPreEndOfGameGameflowPhase") == 0) {
            const ApiEnumeratorEntry* en;
            int pre = 0;
            phaseFound = 1;
            CHECK(t->fields == NULL && t->member_count == 14 && CountList(t->enumerators, 0) == 14,
                  "GameflowPhase: %u enumerators", (unsigned)t->member_count);
            for (en = t->enumerators; en != NULL; en = en->next) {
                if (strcmp(en->name, "PreEndOfGame") == 0) pre = en->value == 11;
            }
            CHECK(pre, "PreEndOfGame is not 11");
        }
        if (strcmp(t->name, "PluginResourceEvent") == 0) {
            CHECK(t->enumerators == NULL && t->member_count == 3 && CountList(t->fields, 0) == 3,
                  "PluginResourceEvent: %u fields", (unsigned)t->member_count);
        }
    }
    CHECK(phaseFound, "no type KavPreEndOfGameGameflowPhase");
    CHECK(d->event_count >= 5 && CountList(d->events, 0) == (int)d->event_count, "event count %u",
          (unsigned)d->event_count);
    for (e = d->events; e != NULL; e = e->next) {
        if (strcmp(e->name, "OnJsonApiEvent") == 0) {
            resourceEventFound = strcmp(e->description, "Fired when a resource is changed.") == 0;
        }
    }
    CHECK(resourceEventFound, "event OnJsonApiEvent not described as it should be");
}

static int CheckLoad(void) {
    Plugin p;
    PluginMemoryStats stats;
    /* Loading runs no code that Windows forbids under the loader lock: tracing reaches
     * Advapi32 only once the host calls in, and lets it go again at Shutdown. */
    int advapiBefore = GetModuleHandleA("advapi32.dll") != NULL;
    HMODULE module = LoadLibraryA(gPluginPath);
    if (module == NULL) {
        Fail(__LINE__, "LoadLibrary(%s) failed: %lu", gPluginPath, (unsigned long)GetLastError());
        return 0;
    }
    if (!advapiBefore) CHECK(GetModuleHandleA("advapi32.dll") == NULL, "loading the plugin loaded Advapi32");
    FreeLibrary(module);
    if (!advapiBefore) CHECK(GetModuleHandleA("advapi32.dll") == NULL, "unloading left Advapi32 loaded");

    if (!LoadPlugin(&p)) {
        Fail(__LINE__, "the export filled no callbacks");
        return 0;
    }
    CHECK(p.record.major == 18 && p.record.minor == 0 && p.record.patch == 0, "version %u.%u.%u",
          (unsigned)p.record.major, (unsigned)p.record.minor, (unsigned)p.record.patch);
    CHECK(p.record.callbacks->initialize != NULL && p.record.callbacks->shutdown != NULL &&
              p.record.callbacks->get_memory_stats != NULL,
          "a callback is missing");
    CHECK(p.record.context != NULL, "no context");
    CHECK(p.record.name != NULL && strcmp(p.record.name, "kav-pre-end-of-game") == 0, "name %s", p.record.name);
    CheckDescription(&p);
    Stats(&p, &stats);
    CHECK(stats.reserved == 0, "stats' last value not 0");
    CHECK(stats.allocations > 0 && stats.allocations >= stats.frees && stats.bytes_allocated >= stats.bytes_freed &&
              stats.peak_bytes >= stats.bytes_allocated - stats.bytes_freed && stats.peak_live_allocations > 0,
          "stats inconsistent: %llu allocations, %llu frees", (unsigned long long)stats.allocations,
          (unsigned long long)stats.frees);
    CHECK(Initialize(&p), "Initialize answered false");
    Shutdown(&p);
    if (!advapiBefore) CHECK(GetModuleHandleA("advapi32.dll") == NULL, "Advapi32 still loaded after Shutdown");
    Unload(&p);
    return 1;
}

static int CheckSequence(void) {
    Plugin p;
    ApiReply reply;
    const char* name = NULL;
    char text[64];
    if (!LoadPlugin(&p)) return 0;
    ClearJournal();
    CHECK(Initialize(&p), "Initialize answered false");
    ExpectJournal(__LINE__,
                  "subscribe OnServiceProxyUuidEvent 7 1\n"
                  "subscribe OnServiceProxyMethodEvent 7 1\n"
                  "subscribe OnServiceProxyAsyncEvent 7 1\n"
                  "subscribe OnJsonApiEvent_kav-gameflow_v1_session 7 0\n"
                  "request GET /kav-gameflow/v1/session 0 ctx=7\n");
    CHECK(gReplyReleases == 1, "the session reply was released %ld times", gReplyReleases);

    CHECK(*Call(&p, kRegister, API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/second/2", NULL) == 0,
          "registration failed");
    CHECK(*Call(&p, kRegister, API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/fir%73t/-2147483648", NULL) == 0,
          "registration failed");
    CHECK(strcmp(Call(&p, kRegister, API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/x/2147483648", NULL),
                 "Value 2147483648 for 'priority' of type int32 is out of range") == 0,
          "an out-of-range priority was not refused");
    CHECK(strcmp(Call(&p, kComplete, API_METHOD_GET, "/kav-pre-end-of-game/v1/complete/first", NULL),
                 "Invalid function") == 0 && gLastStatus == 404,
          "a wrong method was not refused");
    ExpectJournal(__LINE__, "");

    SessionUpdate(kPreEndOfGame, 12);
    CHECK(*Call(&p, kCurrent, API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent", &reply) == 0,
          "current event failed");
    RenderMember(&reply.body, "name", text, sizeof text);
    name = text;
    CHECK(strcmp(name, "first") == 0, "current event is '%s'", name);
    RenderMember(&reply.body, "priority", text, sizeof text);
    CHECK(strcmp(text, "-2147483648") == 0, "current priority is %s", text);
    reply.release(&reply);
    CHECK(*Call(&p, kComplete, API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/first", NULL) == 0, "complete");
    CHECK(*Call(&p, kComplete, API_METHOD_POST, "/kav-pre-end-of-game/v1/complete/second", NULL) == 0, "complete");
    ExpectJournal(__LINE__,
                  "log 3 PreEndOfGame sequence event changed - first\n"
                  "event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent "
                  "/kav-pre-end-of-game/v1/currentSequenceEvent Update 'first' -2147483648 0\n"
                  "event OnJsonApiEvent /kav-pre-end-of-game/v1/currentSequenceEvent Update 'first' -2147483648 0\n"
                  "log 3 PreEndOfGame sequence event changed - second\n"
                  "event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent "
                  "/kav-pre-end-of-game/v1/currentSequenceEvent Update 'second' 2 0\n"
                  "event OnJsonApiEvent /kav-pre-end-of-game/v1/currentSequenceEvent Update 'second' 2 0\n"
                  "log 3 PreEndOfGame sequence event changed - \n"
                  "event OnJsonApiEvent_kav-pre-end-of-game_v1_currentSequenceEvent "
                  "/kav-pre-end-of-game/v1/currentSequenceEvent Update '' -1 0\n"
                  "event OnJsonApiEvent /kav-pre-end-of-game/v1/currentSequenceEvent Update '' -1 0\n"
                  "request POST /kav-gameflow/v1/session/event 1 ctx=7 GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\n");

    /* What the plugin handed over at load stays valid until Shutdown. */
    CHECK(strcmp(p.record.name, "kav-pre-end-of-game") == 0, "the name changed");
    CheckDescription(&p);
    Shutdown(&p);
    {
        /* Every subscription ends, in whatever order the plugin keeps them. */
        static const char* const kEnded[] = {
            "unsubscribe OnJsonApiEvent_kav-gameflow_v1_session 7\n", "unsubscribe OnServiceProxyAsyncEvent 7\n",
            "unsubscribe OnServiceProxyMethodEvent 7\n", "unsubscribe OnServiceProxyUuidEvent 7\n"};
        size_t i, length = 0;
        for (i = 0; i < 4; ++i) {
            CHECK(strstr(gJournal, kEnded[i]) != NULL, "Shutdown did not call %s", kEnded[i]);
            length += strlen(kEnded[i]);
        }
        CHECK(gJournalLength == length, "Shutdown called more of the host:\n%s", gJournal);
        ClearJournal();
    }
    Unload(&p);
    return 1;
}

/* Host replies that a careless or hostile host might give. */
static int CheckHostile(void) {
    static const struct {
        enum SessionReply reply;
        const char* what;
        LONG reads, closes; /* expected stream calls */
    } kCases[] = {
        {SESSION_SHORT_TEXT, "a phase text cut short by its length", 0, 0},
        {SESSION_EMPTY_BODY, "a structure without entries", 0, 0},
        {SESSION_ERROR, "an error reply", 0, 0},
        {SESSION_STREAM, "a stream with size hint 0xFFFFFFFF", 6, 1},
        {SESSION_STREAM_FAILING, "a stream whose read fails midway", 3, 1},
    };
    size_t i;
    for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
        Plugin p;
        LONG releases = gReplyReleases;
        gSessionReply = kCases[i].reply;
        gStreamCloses = 0;
        gStreamReads = 0;
        gYields = 0;
        if (!LoadPlugin(&p)) return 0;
        CHECK(Initialize(&p), "%s: Initialize answered false", kCases[i].what);
        CHECK(gReplyReleases == releases + 1, "%s: reply released %ld times", kCases[i].what, gReplyReleases - releases);
        CHECK(gStreamReads == kCases[i].reads && gStreamCloses == kCases[i].closes, "%s: %ld reads, %ld closes",
              kCases[i].what, gStreamReads, gStreamCloses);
        /* Every read that brought less than a buffer and announced more yields once. */
        if (kCases[i].reads > 0) CHECK(gYields == kCases[i].reads - 1, "%s: %ld yields", kCases[i].what, gYields);
        /* Whatever the fetch gave, the phase is no PreEndOfGame: completing finds nothing. */
        gCompletionReply = SESSION_ERROR;
        ClearJournal();
        SessionUpdate(kPreEndOfGame, 3); /* "Pre": no phase, dropped */
        SessionUpdate(kPreEndOfGame, 12);
        ExpectJournal(__LINE__, "request POST /kav-gameflow/v1/session/event 1 ctx=7 GAMEFLOW_EVENT.PRE_END_OF_GAME_COMPLETED\n");
        CHECK(*Call(&p, kCurrent, API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent", NULL) == 0,
              "%s: plugin no longer answers", kCases[i].what);
        gCompletionReply = SESSION_LOBBY;
        Shutdown(&p);
        Unload(&p);
    }
    gSessionReply = SESSION_LOBBY;
    {
        /* Null pointers a request may carry: arguments, headers, body, content type, custom
         * method; and a structure entry whose key is null. */
        Plugin p;
        const ApiFunctionEntry* f;
        ApiRequest request;
        ApiReply reply;
        HostArgument argument;
        if (!LoadPlugin(&p)) return 0;
        CHECK(Initialize(&p), "Initialize answered false");
        f = Function(&p, kRegister);
        memset(&request, 0, sizeof request);
        request.method = API_METHOD_CUSTOM;
        request.path = "/kav-pre-end-of-game/v1/registration/a/1";
        request.handler_context = f->handler_context;
        f->handler(&reply, &request);
        CHECK(reply.error != NULL && strcmp(reply.error, "Invalid function") == 0, "custom method without text");
        reply.release(&reply);
        request.method = API_METHOD_POST;
        memset(&argument, 0, sizeof argument);
        argument.value.kind = HOST_VALUE_STRING; /* null text of length 0, positional */
        request.arguments = &argument;
        request.argument_count = 1;
        f->handler(&reply, &request);
        CHECK(reply.error != NULL && strstr(reply.error, "Unknown argument") != NULL, "extra argument: %s",
              reply.error != NULL ? reply.error : "(none)");
        reply.release(&reply);
        Shutdown(&p);
        Unload(&p);
    }
    return 1;
}

/* Private memory the process has committed, walked from the system's own view. */
static size_t CommittedPrivateBytes(void) {
    MEMORY_BASIC_INFORMATION info;
    const char* address = NULL;
    size_t total = 0;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        address = (const char*)info.BaseAddress + info.RegionSize;
        if (address < (const char*)info.BaseAddress) break;
    }
    return total;
}

static int CheckCycles(void) {
    int cycle;
    unsigned long long live = 0, liveBytes = 0;
    size_t warm = 0, now = 0;
    gJournalOn = 0;
    for (cycle = 1; cycle <= 1000; ++cycle) {
        Plugin p;
        PluginMemoryStats stats;
        if (!LoadPlugin(&p)) return 0;
        CHECK(Initialize(&p), "cycle %d: Initialize answered false", cycle);
        if (*Call(&p, kRegister, API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/e/1", NULL) != 0) {
            Fail(__LINE__, "cycle %d: registration failed", cycle);
        }
        Stats(&p, &stats);
        /* The first loads may keep something for good; from the tenth on nothing grows. */
        if (cycle == 10) {
            live = stats.allocations - stats.frees;
            liveBytes = stats.bytes_allocated - stats.bytes_freed;
        } else if (cycle > 10 &&
                   (stats.allocations - stats.frees != live || stats.bytes_allocated - stats.bytes_freed != liveBytes)) {
            Fail(__LINE__, "cycle %d: %llu live allocations of %llu bytes, the tenth cycle had %llu of %llu", cycle,
                 stats.allocations - stats.frees, stats.bytes_allocated - stats.bytes_freed, live, liveBytes);
            return 1;
        }
        Shutdown(&p);
        Unload(&p);
        if (cycle == 50) warm = CommittedPrivateBytes();
    }
    now = CommittedPrivateBytes();
    CHECK(now <= warm + 1024 * 1024, "committed private memory grew from %lu to %lu bytes over 950 cycles",
          (unsigned long)warm, (unsigned long)now);
    gJournalOn = 1;
    return 1;
}

/* Several host threads at once: what the plugin must take from any thread at any time
 * (statistics, refused requests, reads), and the sequencer's endpoints one at a time, as
 * the host serialises them. */
static Plugin gThreadsPlugin;
static CRITICAL_SECTION gSequencerLock;
static LONG gThreadErrors;

static DWORD WINAPI HostThread(LPVOID argument) {
    int index = (int)(INT_PTR)argument, i;
    char path[128];
    for (i = 0; i < 300; ++i) {
        PluginMemoryStats stats;
        Stats(&gThreadsPlugin, &stats);
        if (stats.reserved != 0 || stats.frees > stats.allocations) InterlockedIncrement(&gThreadErrors);
        if (strcmp(Call(&gThreadsPlugin, kComplete, API_METHOD_DELETE, "/kav-pre-end-of-game/v1/complete/x", NULL),
                   "Invalid function") != 0) {
            InterlockedIncrement(&gThreadErrors);
        }
        if (strcmp(Call(&gThreadsPlugin, kRegister, API_METHOD_POST, "/kav-pre-end-of-game/v1/registration/x/y", NULL),
                   "Value y for 'priority' of type int32 is in an incorrect format") != 0) {
            InterlockedIncrement(&gThreadErrors);
        }
        EnterCriticalSection(&gSequencerLock);
        snprintf(path, sizeof path, "/kav-pre-end-of-game/v1/registration/t%d-%d/%d", index, i, index * 1000 + i);
        if (*Call(&gThreadsPlugin, kRegister, API_METHOD_POST, path, NULL) != 0) InterlockedIncrement(&gThreadErrors);
        *strrchr(path, '/') = '\0';
        if (*Call(&gThreadsPlugin, kCurrent, API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent", NULL) != 0) {
            InterlockedIncrement(&gThreadErrors);
        }
        if (*Call(&gThreadsPlugin, kDeregister, API_METHOD_DELETE, path, NULL) != 0) InterlockedIncrement(&gThreadErrors);
        LeaveCriticalSection(&gSequencerLock);
    }
    return 0;
}

static int CheckThreads(void) {
    HANDLE threads[4];
    int i;
    PluginMemoryStats before, after;
    gJournalOn = 0;
    InitializeCriticalSection(&gSequencerLock);
    if (!LoadPlugin(&gThreadsPlugin)) return 0;
    CHECK(Initialize(&gThreadsPlugin), "Initialize answered false");
    Stats(&gThreadsPlugin, &before);
    for (i = 0; i < 4; ++i) threads[i] = CreateThread(NULL, 0, HostThread, (LPVOID)(INT_PTR)i, 0, NULL);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (i = 0; i < 4; ++i) CloseHandle(threads[i]);
    Stats(&gThreadsPlugin, &after);
    CHECK(gThreadErrors == 0, "%ld wrong answers on host threads", gThreadErrors);
    /* 7,200 requests: a leak of one block each would show. */
    CHECK(after.allocations - after.frees <= before.allocations - before.frees + 64,
          "live allocations went from %llu to %llu", before.allocations - before.frees, after.allocations - after.frees);
    Shutdown(&gThreadsPlugin);
    Unload(&gThreadsPlugin);
    gJournalOn = 1;
    return 1;
}

/* Takes every free stretch of address space of at least 1 MiB, largest first: afterwards
 * the process cannot map anything large, while the holes left keep the small needs of
 * the system's own libraries served. */
static void* gHeld[65536];
static int gHeldCount;

static void HoldAddressSpace(void) {
    SIZE_T size;
    for (size = (SIZE_T)1 << (sizeof(void*) == 8 ? 46 : 30); size >= 1024 * 1024; size /= 2) {
        void* p;
        while (gHeldCount < 65536 && (p = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS)) != NULL) {
            gHeld[gHeldCount++] = p;
        }
    }
}

static void ReleaseAddressSpace(void) {
    while (gHeldCount > 0) VirtualFree(gHeld[--gHeldCount], 0, MEM_RELEASE);
}

/* Running out of memory while the plugin matches a route: the plugin throws and catches
 * inside itself, and the host gets the internal error, not "no such function". */
static int CheckOutOfMemory(void) {
    Plugin p;
    static const char prefix[] = "/kav-pre-end-of-game/v1/complete/";
    const size_t nameLength = 8u << 20;
    char* path = (char*)malloc(sizeof prefix + nameLength);
    const char* error;
    uint32_t status;
    if (path == NULL) return 0;
    memcpy(path, prefix, sizeof prefix - 1);
    memset(path + sizeof prefix - 1, 'n', nameLength);
    path[sizeof prefix - 1 + nameLength] = '\0';
    if (!LoadPlugin(&p)) return 0;
    CHECK(Initialize(&p), "Initialize answered false");
    HoldAddressSpace();
    error = Call(&p, kComplete, API_METHOD_POST, path, NULL);
    status = gLastStatus;
    ReleaseAddressSpace();
    CHECK(strcmp(error, "Internal error") == 0 && status == 500, "out of memory answered %u '%s'", (unsigned)status,
          error);
    CHECK(strstr(gLastLog, "Internal error") != NULL, "out of memory was not logged; last line: %s", gLastLog);
    CHECK(*Call(&p, kCurrent, API_METHOD_GET, "/kav-pre-end-of-game/v1/currentSequenceEvent", NULL) == 0,
          "the plugin no longer answers");
    Shutdown(&p);
    Unload(&p);
    free(path);
    return 1;
}

int main(int argc, char** argv) {
    int arg = 1, ran = 0;
    const char* check;
    InitializeCriticalSection(&gLock);
    if (argc > 2 && strcmp(argv[1], "--preload") == 0) {
        if (LoadLibraryA(argv[2]) == NULL) {
            fprintf(stderr, "cannot preload %s: %lu\n", argv[2], (unsigned long)GetLastError());
            return 2;
        }
        arg = 3;
    }
    if (argc - arg != 2) {
        fprintf(stderr, "usage: dll_host [--preload DLL] PLUGIN.dll load|sequence|hostile|cycles|threads|oom\n");
        return 2;
    }
    gPluginPath = argv[arg];
    check = argv[arg + 1];
    if (strcmp(check, "load") == 0) ran = CheckLoad();
    else if (strcmp(check, "sequence") == 0) ran = CheckSequence();
    else if (strcmp(check, "hostile") == 0) ran = CheckHostile();
    else if (strcmp(check, "cycles") == 0) ran = CheckCycles();
    else if (strcmp(check, "threads") == 0) ran = CheckThreads();
    else if (strcmp(check, "oom") == 0) ran = CheckOutOfMemory();
    else {
        fprintf(stderr, "unknown check %s\n", check);
        return 2;
    }
    if (!ran) Fail(__LINE__, "check %s could not run", check);
    return gFailures == 0 ? 0 : 1;
}
