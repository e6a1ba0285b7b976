/* The layout as a C99 compiler sees it (also compiled as C++ where there is no GoogleTest). */
#include "abi_layout.h"

/* A negative array size stops the build; repeating the same extern declaration is fine. */
#define ABI_CHECK(condition) extern char abi_layout_check[(condition) ? 1 : -1]

ABI_CHECK_ALL
#if UINTPTR_MAX == 0xFFFFFFFFu
ABI_CHECK_ALL_32
#endif

void abi_check_slots(void* where);
void abi_check_slots(void* where) { ABI_SLOTS(ABI_POINT_AT_SLOT) }

static const size_t measured_in_c[] = ABI_MEASUREMENTS;

size_t abi_layout_from_c(const size_t** values);
size_t abi_layout_from_c(const size_t** values) {
    *values = measured_in_c;
    return sizeof(measured_in_c) / sizeof(measured_in_c[0]);
}
