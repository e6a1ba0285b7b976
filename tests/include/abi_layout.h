/* Expected layout of the host records, shared by the C and the C++ checks.
 * A record is made of 32-bit words, native pointers, 8-bit flags and HostValues with no
 * gaps, so its size follows from that make-up on any target; on the 32-bit host it must
 * also be the host's own number. Offsets are checked on 32-bit only. */
#ifndef KAV_TESTS_ABI_LAYOUT_H
#define KAV_TESTS_ABI_LAYOUT_H

#include <kav/host_abi.h>

/* X(record, words, pointers, bytes, host values, size on the 32-bit host) */
#define ABI_RECORDS(X)                          \
    X(HostStructEntry, 0, 1, 1, 1, 17)          \
    X(HostArgument, 0, 1, 0, 1, 16)             \
    X(HostEventRecord, 1, 2, 0, 1, 24)          \
    X(HostOutgoingEvent, 2, 1, 0, 1, 24)        \
    X(HostApi, 0, 10, 0, 0, 40)                 \
    X(HostInit, 1, 1, 0, 0, 8)                  \
    X(PluginMemoryStats, 14, 0, 0, 0, 56)       \
    X(PluginCallbacks, 0, 3, 0, 0, 12)          \
    X(PluginLoadRecord, 3, 4, 0, 0, 28)         \
    X(ApiHeader, 0, 2, 0, 0, 8)                 \
    X(ApiRequest, 5, 7, 0, 0, 48)               \
    X(ApiReplyStream, 1, 4, 0, 0, 20)           \
    X(ApiReply, 4, 8, 2, 1, 62)                 \
    X(ApiDescription, 3, 3, 0, 0, 24)           \
    X(ApiLocationNode, 1, 1, 0, 0, 8)           \
    X(ApiStringGroup, 1, 2, 0, 0, 12)           \
    X(ApiFunctionEntry, 7, 15, 2, 0, 90)        \
    X(ApiParameterEntry, 2, 4, 1, 0, 25)        \
    X(ApiTypeEntry, 3, 7, 0, 0, 40)             \
    X(ApiFieldEntry, 3, 4, 1, 0, 29)            \
    X(ApiEnumeratorEntry, 1, 3, 0, 0, 16)       \
    X(ApiEventEntry, 1, 6, 0, 0, 28)

/* X(record, field, offset on the 32-bit host): the fields after a HostValue or an 8-bit
 * flag, and the slots and words whose position the host relies on. */
#define ABI_OFFSETS(X)                                                                  \
    X(HostValue, u, 4)                                                                  \
    X(HostStructEntry, value, 4) X(HostStructEntry, key_owned, 16)                      \
    X(HostArgument, value, 4)                                                           \
    X(HostEventRecord, payload, 4) X(HostEventRecord, context, 20)                      \
    X(HostOutgoingEvent, payload, 4) X(HostOutgoingEvent, caller_value, 16)             \
    X(HostApi, send_event, 8) X(HostApi, subscribe, 12) X(HostApi, unsubscribe, 16)     \
    X(HostApi, wait_yield, 24) X(HostApi, wait_enter, 28) X(HostApi, log, 36)           \
    X(HostInit, plugin_id, 4)                                                           \
    X(PluginCallbacks, get_memory_stats, 8)                                             \
    X(PluginLoadRecord, callbacks, 12) X(PluginLoadRecord, description, 24)             \
    X(ApiRequest, handler_context, 16) X(ApiRequest, request_context, 40)               \
    X(ApiRequest, custom_method, 44)                                                    \
    X(ApiReply, error, 12) X(ApiReply, has_error, 16) X(ApiReply, response_flag, 17)    \
    X(ApiReply, response_mode, 18) X(ApiReply, status, 22) X(ApiReply, header_count, 34) \
    X(ApiReply, stream, 38) X(ApiReply, release, 58)                                    \
    X(ApiReplyStream, source, 8) X(ApiReplyStream, handle, 16)                          \
    X(ApiDescription, events, 16)                                                       \
    X(ApiFunctionEntry, handler_context, 8) X(ApiFunctionEntry, thread_safe, 48)        \
    X(ApiFunctionEntry, async_type_name, 49) X(ApiFunctionEntry, handler, 61)           \
    X(ApiFunctionEntry, method, 73) X(ApiFunctionEntry, endpoint_flag, 77)              \
    X(ApiFunctionEntry, string_groups, 78) X(ApiFunctionEntry, custom_method, 86)       \
    X(ApiParameterEntry, type_name, 20) X(ApiParameterEntry, optional, 24)              \
    X(ApiTypeEntry, fields, 28) X(ApiTypeEntry, member_count, 36)                       \
    X(ApiFieldEntry, type_name, 24) X(ApiFieldEntry, optional, 28)                      \
    X(ApiEnumeratorEntry, value, 12)                                                    \
    X(ApiEventEntry, payload_type_name, 12) X(ApiEventEntry, tag_count, 24)

/* X(function type, result, parameters): every function that crosses the boundary, in
 * either direction. Each side calls through these types, so a result or parameter of
 * another width would be read wrongly by the other side (a result narrower than the
 * caller reads leaves the rest of the register undefined). */
#define ABI_FUNCTIONS(X)                                                                    \
    X(HostEventCallback, void, (const HostEventRecord*))                                    \
    X(ApiRequestHandler, void, (ApiReply*, const ApiRequest*))                              \
    X(ApiStreamReadFn, uint32_t, (void*, void*, uint32_t*, uint8_t*))                       \
    X(ApiStreamReleaseFn, void, (void*))                                                    \
    X(ApiReplyReleaseFn, void, (ApiReply*))                                                 \
    X(PluginEntryFn, void, (PluginLoadRecord*))                                             \
    X(PluginInitializeFn, uint8_t, (void*, const HostInit*))                                \
    X(PluginShutdownFn, void, (void*))                                                      \
    X(PluginMemoryStatsFn, void, (void*, PluginMemoryStats*))                               \
    X(HostSendRequestFn, void, (const HostApi*, ApiReply*, const ApiRequest*))              \
    X(HostReservedFn, void, (void))                                                         \
    X(HostSendEventFn, void, (const HostApi*, const HostOutgoingEvent*))                    \
    X(HostSubscribeFn, uint8_t,                                                             \
      (const HostApi*, const char*, uint32_t, HostEventCallback, void*, uint32_t))          \
    X(HostUnsubscribeFn, void, (const HostApi*, const char*, uint32_t))                     \
    X(HostWaitFn, void, (const HostApi*))                                                   \
    X(HostWaitEnterFn, void, (const HostApi*, const char*, uint32_t))                       \
    X(HostLogFn, void, (const HostApi*, int32_t, const char*))

/* X(record, slot, function type): the function slots of the tables and records. */
#define ABI_SLOTS(X)                                                                        \
    X(HostApi, send_request, HostSendRequestFn) X(HostApi, reserved1, HostReservedFn)       \
    X(HostApi, send_event, HostSendEventFn) X(HostApi, subscribe, HostSubscribeFn)          \
    X(HostApi, unsubscribe, HostUnsubscribeFn) X(HostApi, reserved5, HostReservedFn)        \
    X(HostApi, wait_yield, HostWaitFn) X(HostApi, wait_enter, HostWaitEnterFn)              \
    X(HostApi, wait_leave, HostWaitFn) X(HostApi, log, HostLogFn)                           \
    X(PluginCallbacks, initialize, PluginInitializeFn)                                      \
    X(PluginCallbacks, shutdown, PluginShutdownFn)                                          \
    X(PluginCallbacks, get_memory_stats, PluginMemoryStatsFn)                               \
    X(ApiReply, release, ApiReplyReleaseFn)                                                 \
    X(ApiReplyStream, read, ApiStreamReadFn) X(ApiReplyStream, release, ApiStreamReleaseFn) \
    X(ApiFunctionEntry, handler, ApiRequestHandler)

/* The host calls and is called with the C convention, whatever its compiler's default
 * (/Gz stdcall, /Gr fastcall, /Gv vectorcall): spelled out here, not taken from the header
 * under test, so a function type that leaves it to the default stops the build there. */
#if defined(_WIN32) && !defined(_WIN64)
#define ABI_CDECL __cdecl
#else
#define ABI_CDECL
#endif

/* A second declaration of the same object with the expected type: in C and in C++ a
 * type that differs in its result, any parameter or its calling convention is a
 * conflicting declaration, which stops the build. */
#define ABI_CHECK_FUNCTION(T, result, parameters) \
    extern T abi_function_##T;                    \
    extern result(ABI_CDECL* abi_function_##T) parameters;
#define ABI_CHECK_EXPORT extern void ABI_CDECL load_kav_pre_end_of_game(PluginLoadRecord* record);

/* Inside a function taking void* where: a slot's address converts to T* only when the
 * slot has type T (C diagnoses the mismatch, C++ rejects it). */
#define ABI_POINT_AT_SLOT(record, slot, T) \
    T* record##_##slot = &((record*)where)->slot; (void)record##_##slot;

#define ABI_HOST_VALUE_SIZE (4 + (sizeof(void*) + 4 > 8 ? sizeof(void*) + 4 : 8))
#define ABI_MADE_OF(words, pointers, bytes, values) \
    (4 * (words) + sizeof(void*) * (pointers) + (bytes) + sizeof(HostValue) * (values))

/* ABI_CHECK(condition) is a file-scope compile-time assertion in each language. */
#define ABI_CHECK_RECORD(T, words, pointers, bytes, values, size32) \
    ABI_CHECK(sizeof(T) == ABI_MADE_OF(words, pointers, bytes, values));
#define ABI_CHECK_RECORD_32(T, words, pointers, bytes, values, size32) \
    ABI_CHECK(sizeof(T) == (size32));
#define ABI_CHECK_OFFSET_32(T, field, offset) ABI_CHECK(offsetof(T, field) == (offset));

#define ABI_CHECK_ALL                                    \
    ABI_CHECK(sizeof(HostValue) == ABI_HOST_VALUE_SIZE); \
    ABI_RECORDS(ABI_CHECK_RECORD)                        \
    ABI_FUNCTIONS(ABI_CHECK_FUNCTION)                    \
    ABI_CHECK_EXPORT

#define ABI_CHECK_ALL_32                   \
    ABI_CHECK(sizeof(HostValue) == 12);    \
    ABI_RECORDS(ABI_CHECK_RECORD_32)       \
    ABI_OFFSETS(ABI_CHECK_OFFSET_32)

/* Sizes then offsets, in table order, as measured by one language. */
#define ABI_MEASURE_RECORD(T, words, pointers, bytes, values, size32) sizeof(T),
#define ABI_MEASURE_OFFSET(T, field, offset) offsetof(T, field),
#define ABI_MEASUREMENTS \
    { sizeof(HostValue), ABI_RECORDS(ABI_MEASURE_RECORD) ABI_OFFSETS(ABI_MEASURE_OFFSET) }

#endif
