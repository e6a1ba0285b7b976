/*
 * The records and function tables exchanged between the host and the plugin.
 * Plain C99 (also valid C++), fixed-width fields, no padding where the host has none.
 * Numbers are little-endian 32-bit words unless a field says otherwise; pointers are
 * native pointers.
 */
#ifndef KAV_HOST_ABI_H
#define KAV_HOST_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* ---- Values --------------------------------------------------------------------- */

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

struct HostValue;
struct HostStructEntry;

/* The tagged value every payload crosses the boundary in: 12 bytes on a 32-bit host.
 * A string or blob is a pointer and a length and need not be NUL-terminated. */
typedef struct HostValue {
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
} HostValue;

/* One member of a structure value: 17 bytes on a 32-bit host.
 * key_owned set: the key is freed with the entry. A null key reads as "". */
typedef struct HostStructEntry {
    const char* key;
    HostValue value;
    uint8_t key_owned;
} HostStructEntry;

#pragma pack(pop)

#ifdef __cplusplus
}
#endif

#endif /* KAV_HOST_ABI_H */
