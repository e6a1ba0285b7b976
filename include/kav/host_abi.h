/*
 * The records and function tables exchanged between the host and the plugin.
 *
 * Plain C99 (also valid C++). The host is a 32-bit process: every record is a run of
 * little-endian 32-bit words, 8-bit flags and native pointers with no padding anywhere,
 * so the whole header is packed to 1. Numbers are fixed-width; texts are NUL-terminated
 * unless a field says otherwise. The host owns what it passes in; the plugin owns what
 * it hands back (load record contents, API description, reply contents).
 */
#ifndef KAV_HOST_ABI_H
#define KAV_HOST_ABI_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention of every function crossing the boundary: the platform's C one. */
#if defined(_WIN32) && !defined(_WIN64)
#define KAV_ABI __cdecl
#else
#define KAV_ABI
#endif

#if defined(_WIN32)
#define KAV_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define KAV_EXPORT __attribute__((visibility("default")))
#else
#define KAV_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The plugin API version this plugin speaks; the host's must be compatible with it. */
#define KAV_PLUGIN_API_VERSION_MAJOR 18
#define KAV_PLUGIN_API_VERSION_MINOR 0
#define KAV_PLUGIN_API_VERSION_PATCH 0

/* Name of the only exported symbol. */
#define KAV_PLUGIN_ENTRY_NAME "load_kav_pre_end_of_game"

/* HTTP-style method codes as the host sends and receives them; other codes mean 0. */
enum {
    API_METHOD_ANY = 0, /* no method: every method matches */
    API_METHOD_DELETE = 1,
    API_METHOD_GET = 2,
    API_METHOD_HEAD = 3,
    API_METHOD_OPTIONS = 4,
    API_METHOD_PATCH = 5,
    API_METHOD_POST = 6,
    API_METHOD_PUT = 7,
    API_METHOD_CUSTOM = 8 /* named by the custom method text */
};

/* Where a parameter's value may come from. 3 is unused. */
enum {
    API_LOCATION_ANY = 0,
    API_LOCATION_QUERY = 1,
    API_LOCATION_PATH = 2,
    API_LOCATION_HEADER = 4,
    API_LOCATION_BODY = 5
};

/* Type kinds in the API description; anything outside 1 to 19 is written as 0. */
enum {
    API_KIND_NONE = 0,
    API_KIND_BOOL = 1,
    API_KIND_INT8 = 2,
    API_KIND_UINT8 = 3,
    API_KIND_INT16 = 4,
    API_KIND_UINT16 = 5,
    API_KIND_INT32 = 6,
    API_KIND_UINT32 = 7,
    API_KIND_INT64 = 8,
    API_KIND_UINT64 = 9,
    API_KIND_FLOAT = 10,
    API_KIND_DOUBLE = 11,
    API_KIND_STRING = 12,
    API_KIND_OBJECT = 13,
    API_KIND_BLOB = 14,
    API_KIND_VECTOR = 15,
    API_KIND_ENUM = 16,
    API_KIND_STRUCT = 17,
    API_KIND_CALLBACK = 18,
    API_KIND_MAP = 19
};

/* Flag of HostApi.subscribe as this plugin uses it; its meaning is the host's. */
enum {
    HOST_SUBSCRIBE_RESOURCE = 0,
    HOST_SUBSCRIBE_SERVICE_PROXY = 1
};

/* Kinds of HostValue. */
enum {
    HOST_VALUE_NONE = 0,
    HOST_VALUE_BOOL = 1,
    HOST_VALUE_SIGNED = 2,
    HOST_VALUE_UNSIGNED = 3,
    HOST_VALUE_FLOAT = 4,
    HOST_VALUE_STRING = 5,       /* text not owned by the value */
    HOST_VALUE_STRING_OWNED = 6, /* text freed with the value */
    HOST_VALUE_BLOB = 7,         /* bytes not owned by the value */
    HOST_VALUE_BLOB_OWNED = 8,   /* bytes freed with the value */
    HOST_VALUE_COLLECTION = 9,   /* owned array of HostValue */
    HOST_VALUE_STRUCTURE = 10    /* owned array of HostStructEntry */
};

typedef struct HostValue HostValue;
typedef struct HostStructEntry HostStructEntry;
typedef struct HostArgument HostArgument;
typedef struct HostEventRecord HostEventRecord;
typedef struct HostOutgoingEvent HostOutgoingEvent;
typedef struct HostApi HostApi;
typedef struct HostInit HostInit;
typedef struct PluginMemoryStats PluginMemoryStats;
typedef struct PluginCallbacks PluginCallbacks;
typedef struct PluginLoadRecord PluginLoadRecord;
typedef struct ApiHeader ApiHeader;
typedef struct ApiRequest ApiRequest;
typedef struct ApiReplyStream ApiReplyStream;
typedef struct ApiReply ApiReply;
typedef struct ApiDescription ApiDescription;
typedef struct ApiFunctionEntry ApiFunctionEntry;
typedef struct ApiLocationNode ApiLocationNode;
typedef struct ApiStringGroup ApiStringGroup;
typedef struct ApiParameterEntry ApiParameterEntry;
typedef struct ApiTypeEntry ApiTypeEntry;
typedef struct ApiFieldEntry ApiFieldEntry;
typedef struct ApiEnumeratorEntry ApiEnumeratorEntry;
typedef struct ApiEventEntry ApiEventEntry;

/* Called by the host for each event of a subscribed key; the record is the host's. */
typedef void(KAV_ABI* HostEventCallback)(const HostEventRecord* event);

/* Handles one request of a described function: fills the reply, which the host then
 * owns and frees through reply->release. One handler serves every function. */
typedef void(KAV_ABI* ApiRequestHandler)(ApiReply* reply, const ApiRequest* request);

/* Reads up to *size bytes into buffer; sets *size to the count read and *more to 0 once
 * the stream is done (callers set it to 1 first). Answers 0 on a read failure, anything
 * else on success; the answer is a full 32-bit word, read at that width. */
typedef uint32_t(KAV_ABI* ApiStreamReadFn)(void* reader, void* buffer, uint32_t* size,
                                            uint8_t* more);

/* Closes a host stream handle, or destroys a stream object the plugin put in a reply. */
typedef void(KAV_ABI* ApiStreamReleaseFn)(void* stream);

/* Frees everything a reply owns and zeroes the record. */
typedef void(KAV_ABI* ApiReplyReleaseFn)(ApiReply* reply);

/* The exported entry; the host passes its version in and reads the filled record. */
typedef void(KAV_ABI* PluginEntryFn)(PluginLoadRecord* record);

/* The plugin's callbacks (PluginCallbacks). Initialize answers an 8-bit flag. */
typedef uint8_t(KAV_ABI* PluginInitializeFn)(void* context, const HostInit* init);
typedef void(KAV_ABI* PluginShutdownFn)(void* context);
typedef void(KAV_ABI* PluginMemoryStatsFn)(void* context, PluginMemoryStats* stats);

/* The host's services (HostApi), each taking the table's own address first. */
typedef void(KAV_ABI* HostSendRequestFn)(const HostApi* api, ApiReply* reply,
                                         const ApiRequest* request);
typedef void(KAV_ABI* HostReservedFn)(void);
typedef void(KAV_ABI* HostSendEventFn)(const HostApi* api, const HostOutgoingEvent* event);
typedef uint8_t(KAV_ABI* HostSubscribeFn)(const HostApi* api, const char* key,
                                          uint32_t plugin_id, HostEventCallback callback,
                                          void* context, uint32_t flag);
typedef void(KAV_ABI* HostUnsubscribeFn)(const HostApi* api, const char* key,
                                         uint32_t plugin_id);
typedef void(KAV_ABI* HostWaitFn)(const HostApi* api);
typedef void(KAV_ABI* HostWaitEnterFn)(const HostApi* api, const char* label, uint32_t value);
typedef void(KAV_ABI* HostLogFn)(const HostApi* api, int32_t level, const char* message);

#pragma pack(push, 1)

/* ---- Values --------------------------------------------------------------------- */

/* The tagged value every payload crosses the boundary in: 12 bytes on a 32-bit host.
 * A string or blob is a pointer and a length and need not be NUL-terminated. Whoever
 * holds an owning kind (6, 8, 9, 10) frees it; releasing leaves kind 0, payload zero. */
struct HostValue {
    uint32_t kind;
    union {
        uint8_t boolean;
        int64_t i64;
        uint64_t u64;
        double f64;
        struct { const char* data; uint32_t length; } string;
        struct { const uint8_t* data; uint32_t size; } blob;
        struct { struct HostValue* items; uint32_t count; } collection;
        struct { struct HostStructEntry* entries; uint32_t count; } structure;
        uint8_t raw[8];
    } u;
};

/* One member of a structure value: 17 bytes on a 32-bit host.
 * key_owned set: the key is freed with the entry. A null key reads as "". */
struct HostStructEntry {
    const char* key;
    HostValue value;
    uint8_t key_owned;
};

/* One argument of a request: name null for a positional argument. Owned by whoever
 * built the request's argument array. */
struct HostArgument {
    const char* name;
    HostValue value;
};

/* ---- Events ----------------------------------------------------------------------- */

/* An event the host delivers to a HostEventCallback. Owned by the host; valid only
 * during the call. */
struct HostEventRecord {
    const char* key;
    HostValue payload;
    uint32_t reserved; /* not read by the plugin */
    void* context;     /* the context given to HostApi.subscribe */
};

/* An event the plugin sends through HostApi.send_event. Owned by the plugin; the host
 * copies what it keeps before returning. */
struct HostOutgoingEvent {
    const char* name;
    HostValue payload;
    uint32_t caller_value; /* passed through from the caller */
    uint32_t reserved;     /* 0 */
};

/* ---- Host services ---------------------------------------------------------------- */

/* The host's function table, owned by the host and valid while the plugin is loaded.
 * Every slot takes the table's own address first. */
struct HostApi {
    /* Synchronous: when it returns the host has filled reply (zeroed by the caller);
     * the caller frees it with reply->release when that is set. */
    HostSendRequestFn send_request;
    HostReservedFn reserved1; /* never called */
    /* Synchronous; the event stays the caller's. */
    HostSendEventFn send_event;
    /* From now on the host calls callback for events under key, with context in the
     * record. Answers nonzero when the host took the subscription. */
    HostSubscribeFn subscribe;
    /* No more callbacks for key. */
    HostUnsubscribeFn unsubscribe;
    HostReservedFn reserved5; /* never called */
    /* The wait triple, called as wait_enter("Wait: yield", 0), wait_yield, wait_leave
     * while a reply stream has no data yet; the host may call into the plugin meanwhile. */
    HostWaitFn wait_yield;
    HostWaitEnterFn wait_enter;
    HostWaitFn wait_leave;
    /* Records one log line; level 0 Okay, 1 Warn, 2 Error, 3 Always. */
    HostLogFn log;
};

/* Passed by the host to PluginCallbacks.initialize and kept by the plugin for its whole
 * life; owned by the host. */
struct HostInit {
    const HostApi* api;
    uint32_t plugin_id; /* given back on subscriptions and as request context */
};

/* ---- Load and callbacks ----------------------------------------------------------- */

/* The plugin's allocation counters, filled by PluginCallbacks.get_memory_stats into the
 * host's record. */
struct PluginMemoryStats {
    uint64_t peak_bytes;            /* most bytes in use at once */
    uint64_t peak_live_allocations; /* live allocations at that peak */
    uint64_t bytes_allocated;
    uint64_t allocations;
    uint64_t bytes_freed;
    uint64_t frees;
    uint64_t reserved; /* 0 */
};

/* The plugin's callbacks, owned by the plugin; context is PluginLoadRecord.context. */
struct PluginCallbacks {
    /* Called once; init stays valid until shutdown. Answers nonzero on success. */
    PluginInitializeFn initialize;
    /* Called once, last: ends all subscriptions and frees the plugin's runtime. */
    PluginShutdownFn shutdown;
    /* May be called any time between load and shutdown. */
    PluginMemoryStatsFn get_memory_stats;
};

/* Passed by the host to the entry and owned by the host. In: the host's plugin API
 * version. Out: the plugin's version and pointers to plugin-owned data that stays valid
 * until shutdown. */
struct PluginLoadRecord {
    uint32_t major;
    uint32_t minor;
    uint32_t patch;
    const PluginCallbacks* callbacks;
    void* context;     /* the plugin's runtime, first argument of every callback */
    const char* name;  /* the plugin's short name */
    const ApiDescription* description;
};

/* ---- Requests ---------------------------------------------------------------------- */

/* A (name, value) text pair of a request or reply. */
struct ApiHeader {
    const char* name;
    const char* value;
};

/* A request, owned by its sender (the host for requests to the plugin, the plugin for
 * HostApi.send_request) and valid only during the call. */
struct ApiRequest {
    uint32_t method;                 /* API_METHOD_* */
    const char* path;                /* may carry a query after the first '?' */
    const HostArgument* arguments;
    uint32_t argument_count;
    void* handler_context;           /* ApiFunctionEntry.handler_context of the target */
    const ApiHeader* headers;
    uint32_t header_count;
    const char* content_type;        /* of the body */
    const uint8_t* body;             /* null when there is none */
    uint32_t body_length;
    uint32_t request_context;        /* opaque, passed on to the function */
    const char* custom_method;       /* read only when method is API_METHOD_CUSTOM */
};

/* The streamed body of a reply. In a host reply: read and release (close) take handle,
 * source holds the size hint. In a plugin reply: read takes source.reader, release
 * destroys handle, the stream object the reply owns. read null: no stream. */
struct ApiReplyStream {
    ApiStreamReadFn read;
    ApiStreamReleaseFn release;
    union {
        void* reader;
        uint32_t size_hint;
    } source;
    uint32_t reserved; /* 0 */
    void* handle;
};

/* A reply, zeroed by the caller and filled by the callee. Owns its body, error text,
 * content type (unless it is the shared empty text) and headers; the caller frees them
 * exactly once through release when that is set. */
struct ApiReply {
    HostValue body;
    const char* error;       /* null when the request succeeded */
    uint8_t has_error;       /* 1 when error is set */
    uint8_t response_flag;
    uint32_t response_mode;  /* 1, 2 or 3, else 0; meaning is the host's */
    uint32_t status;         /* HTTP status; 0 when the function set none */
    const char* content_type;
    ApiHeader* headers;
    uint32_t header_count;
    ApiReplyStream stream;
    ApiReplyReleaseFn release;
};

/* ---- API description ---------------------------------------------------------------- */
/* Handed to the host at load and owned by the plugin until shutdown; texts point into
 * the plugin's registry (the empty text stands for none). Every entry array is also a
 * singly linked list through its first field. */

/* The top record. */
struct ApiDescription {
    const ApiFunctionEntry* functions;
    uint32_t function_count;
    const ApiTypeEntry* types;
    uint32_t type_count;
    const ApiEventEntry* events;
    uint32_t event_count;
};

/* One parameter's allowed location, one node per parameter in parameter order. */
struct ApiLocationNode {
    const ApiLocationNode* next;
    uint32_t location; /* API_LOCATION_* */
};

/* A group of texts; this plugin describes none. */
struct ApiStringGroup {
    const ApiStringGroup* next;
    const char* const* texts;
    uint32_t count;
};

/* One function the host can call, with its endpoint. */
struct ApiFunctionEntry {
    const ApiFunctionEntry* next;
    uint32_t reserved;                  /* 0 */
    void* handler_context;              /* given back as ApiRequest.handler_context */
    const char* name;
    const char* name_space;
    const ApiParameterEntry* parameters;
    uint32_t parameter_count;
    uint32_t return_kind;               /* API_KIND_* */
    uint32_t return_element_kind;       /* of a vector or map, else 0 */
    const char* return_type_name;       /* registered name of a vector, enum, struct or map */
    const char* description;
    const char* help;
    uint8_t thread_safe;
    const char* async_type_name;        /* empty unless the function is asynchronous */
    const char* const* tags;
    uint32_t tag_count;
    /* Endpoint part. */
    ApiRequestHandler handler;
    const ApiLocationNode* locations;
    const char* path;                   /* path template */
    uint32_t method;                    /* API_METHOD_* */
    uint8_t endpoint_flag;              /* 0 */
    const ApiStringGroup* string_groups;
    uint32_t group_count;
    const char* custom_method;
};

/* One parameter of a function. */
struct ApiParameterEntry {
    const ApiParameterEntry* next;
    const char* name;
    const char* description;
    uint32_t kind;
    uint32_t element_kind;
    const char* type_name;
    uint8_t optional;
};

/* One registered type: a structure (fields set, enumerators null) or an enumeration
 * (the other way round); member_count counts whichever is set. */
struct ApiTypeEntry {
    const ApiTypeEntry* next;
    const char* name;
    const char* name_space;
    uint32_t size; /* of the native record, in bytes */
    const char* description;
    const char* const* tags;
    uint32_t tag_count;
    const ApiFieldEntry* fields;
    const ApiEnumeratorEntry* enumerators;
    uint32_t member_count;
};

/* One field of a structure type, in declaration order. */
struct ApiFieldEntry {
    const ApiFieldEntry* next;
    const char* name;
    const char* description;
    uint32_t offset; /* in the native record */
    uint32_t kind;
    uint32_t element_kind;
    const char* type_name;
    uint8_t optional;
};

/* One enumerator of an enumeration type. */
struct ApiEnumeratorEntry {
    const ApiEnumeratorEntry* next;
    const char* name;
    const char* description;
    int32_t value;
};

/* One registered event. */
struct ApiEventEntry {
    const ApiEventEntry* next;
    const char* name;
    const char* name_space;
    const char* payload_type_name; /* display name of the payload's type identity */
    const char* description;
    const char* const* tags;
    uint32_t tag_count;
};

#pragma pack(pop)

/* The plugin's only export. */
KAV_EXPORT void KAV_ABI load_kav_pre_end_of_game(PluginLoadRecord* record);

#ifdef __cplusplus
}
#endif

#endif /* KAV_HOST_ABI_H */
