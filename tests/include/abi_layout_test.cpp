// The layout as a C++ compiler sees it, and the same as C sees it.
#include <gtest/gtest.h>

#include <iterator>
#include <type_traits>

#include "abi_layout.h"

#define ABI_CHECK(condition) static_assert(condition, #condition)

ABI_CHECK_ALL
#if UINTPTR_MAX == 0xFFFFFFFFu
ABI_CHECK_ALL_32
#endif

// C has no way to name a member's type; the header is the same text for both languages.
#define ABI_CHECK_SLOT(record, slot, T) \
    static_assert(std::is_same_v<decltype(record::slot), T>, #record "." #slot " is not " #T);
ABI_SLOTS(ABI_CHECK_SLOT)

extern "C" size_t abi_layout_from_c(const size_t** values);

namespace {

#define ABI_NAME_RECORD(T, words, pointers, bytes, values, size32) "sizeof " #T,
#define ABI_NAME_OFFSET(T, field, offset) "offsetof " #T "." #field,
const char* const kNames[] = {"sizeof HostValue", ABI_RECORDS(ABI_NAME_RECORD)
                                                      ABI_OFFSETS(ABI_NAME_OFFSET)};
const size_t kMeasuredInCpp[] = ABI_MEASUREMENTS;

TEST(HostAbiLayout, CAndCppAgree) {
    const size_t* in_c = nullptr;
    ASSERT_EQ(abi_layout_from_c(&in_c), std::size(kMeasuredInCpp));
    for (size_t i = 0; i < std::size(kMeasuredInCpp); ++i) {
        EXPECT_EQ(in_c[i], kMeasuredInCpp[i]) << kNames[i];
    }
}

}  // namespace
