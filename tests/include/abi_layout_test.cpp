// The layout as a C++ compiler sees it, the same as C sees it, and at run time the
// host's own numbers on a 32-bit target.
#include <gtest/gtest.h>

#include <cstdint>
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

// One row per measurement of ABI_MEASUREMENTS, in the same order, so a new row of the
// layout table is checked here without further edits.
struct Expected {
    const char* name;
    size_t value;  // kUnknown: no fixed number on this target
};
constexpr size_t kUnknown = SIZE_MAX;

#if UINTPTR_MAX == 0xFFFFFFFFu
// The host's word size: every number is the host's.
#define ABI_EXPECT_RECORD(T, words, pointers, bytes, values, size32) {"sizeof " #T, size32},
#define ABI_EXPECT_OFFSET(T, field, offset) {"offsetof " #T "." #field, offset},
constexpr size_t kHostValueSize = 12;
#else
// Sizes follow from the make-up; offsets depend on pointer width and are not fixed.
#define ABI_EXPECT_RECORD(T, words, pointers, bytes, values, size32) \
    {"sizeof " #T, ABI_MADE_OF(words, pointers, bytes, values)},
#define ABI_EXPECT_OFFSET(T, field, offset) {"offsetof " #T "." #field, kUnknown},
constexpr size_t kHostValueSize = ABI_HOST_VALUE_SIZE;
#endif

const Expected kExpected[] = {{"sizeof HostValue", kHostValueSize}, ABI_RECORDS(ABI_EXPECT_RECORD)
                                                                        ABI_OFFSETS(ABI_EXPECT_OFFSET)};
const size_t kMeasuredInCpp[] = ABI_MEASUREMENTS;
static_assert(std::size(kExpected) == std::size(kMeasuredInCpp));

// Read through a volatile pointer so the comparison happens in the running program, not
// only in the compiler's constant folding.
size_t AtRunTime(const size_t* values, size_t i) {
    const volatile size_t* read = values;
    return read[i];
}

TEST(HostAbiLayout, CAndCppAgree) {
    const size_t* in_c = nullptr;
    ASSERT_EQ(abi_layout_from_c(&in_c), std::size(kMeasuredInCpp));
    for (size_t i = 0; i < std::size(kMeasuredInCpp); ++i) {
        EXPECT_EQ(AtRunTime(in_c, i), AtRunTime(kMeasuredInCpp, i)) << kExpected[i].name;
    }
}

TEST(HostAbiLayout, SizesAndOffsetsAreTheHosts) {
    const size_t* in_c = nullptr;
    ASSERT_EQ(abi_layout_from_c(&in_c), std::size(kExpected));
    for (size_t i = 0; i < std::size(kExpected); ++i) {
        if (kExpected[i].value == kUnknown) continue;
        EXPECT_EQ(AtRunTime(kMeasuredInCpp, i), kExpected[i].value) << kExpected[i].name << " (C++)";
        EXPECT_EQ(AtRunTime(in_c, i), kExpected[i].value) << kExpected[i].name << " (C)";
    }
}

}  // namespace
