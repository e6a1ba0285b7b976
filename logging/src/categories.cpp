#include <atomic>
#include <cstring>
#include <mutex>

#include "lasting_mutex.h"
#include <kav/logging/logger.h>

namespace Vemi {

// Category names: 64 slots of three characters, packed into one word each so
// that readers on the logging path never see a half-written name.

namespace {

constexpr uint32_t PackName(const char* name) noexcept {
    uint32_t packed = 0;
    for (int i = 0; i < 3 && name[i] != '\0'; ++i) packed |= static_cast<uint32_t>(static_cast<unsigned char>(name[i])) << (8 * i);
    return packed;
}

// A zero word is a slot without a name ("???").
constinit std::atomic<uint32_t> gCategoryNames[kCategorySlotCount] = {
    PackName("DBG"), PackName("GEN"), PackName("XTR"), PackName("PRF"),
    PackName("MEM"), PackName("DSK"), PackName("NET"), PackName("TST"),
};
constinit std::atomic<uint32_t> gCategoryCount{8};
struct CategoryRegistrationTag;

struct SlotName {
    char text[4];
};

SlotName ReadSlot(size_t slot) noexcept {
    uint32_t packed = gCategoryNames[slot].load(std::memory_order_acquire);
    if (packed == 0) return SlotName{{'?', '?', '?', '\0'}};
    SlotName name{};
    for (int i = 0; i < 3; ++i) name.text[i] = static_cast<char>((packed >> (8 * i)) & 0xFF);
    return name;
}

// Slot of the name among the first `count` slots, or kCategorySlotCount.
size_t FindSlot(const char* name, size_t from, size_t count) noexcept {
    for (size_t slot = from; slot < count; ++slot) {
        if (std::strncmp(name, ReadSlot(slot).text, 3) == 0) return slot;
    }
    return kCategorySlotCount;
}

}  // namespace

LogCategories CategoryFromName(const char* name) noexcept {
    if (name == nullptr || name[0] == '\0') return 0;
    size_t count = gCategoryCount.load(std::memory_order_acquire);
    size_t slot = FindSlot(name, 0, count);
    if (slot < kCategorySlotCount) return LogCategories{1} << slot;

    // Registration is rare; the lock keeps two threads from taking two slots for one name.
    std::lock_guard guard(LastingMutex<CategoryRegistrationTag>());
    size_t now = gCategoryCount.load(std::memory_order_acquire);
    slot = FindSlot(name, count, now);
    if (slot < kCategorySlotCount) return LogCategories{1} << slot;
    if (now >= kCategorySlotCount) return 0;
    gCategoryNames[now].store(PackName(name), std::memory_order_release);
    gCategoryCount.fetch_add(1, std::memory_order_acq_rel);
    return LogCategories{1} << now;
}

size_t CategoryNames(char* buffer, size_t size, LogCategories categories) noexcept {
    if (buffer == nullptr || size == 0) return 0;
    size_t n = 0;
    bool first = true;
    for (size_t bit = 0; bit < kCategorySlotCount; ++bit) {
        if ((categories & (LogCategories{1} << bit)) == 0) continue;
        if (size - n < 2) break;
        if (!first) buffer[n++] = ';';
        first = false;
        SlotName name = ReadSlot(bit);
        for (const char* c = name.text; *c != '\0' && size - n >= 2; ++c) buffer[n++] = *c;
    }
    buffer[n] = '\0';
    return n;
}

}  // namespace Vemi
