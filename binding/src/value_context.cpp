// Block pools and the interned string table of one value tree.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <kav/binding/hash.h>
#include <kav/binding/value_context.h>
#include "same_bytes.h"

namespace Vemi::Binding {
namespace {

struct EmptyStringStorage {
    StringEntry entry;
    char text[4];
};
inline uint32_t TextHash(std::string_view text) noexcept { return Fnv1a(text); }

constinit EmptyStringStorage gEmptyString = {{Fnv1a(""), 0, 0}, {0, 0, 0, 0}};

inline uint32_t ClassOf(size_t size) noexcept {
    return size == 0 ? 0 : static_cast<uint32_t>((size - 1) / ValueContext::kBlockGranule);
}
inline uint32_t BlockSize(uint32_t sizeClass) noexcept {
    return (sizeClass + 1) * ValueContext::kBlockGranule;
}
inline uint16_t ReadIndex(const void* block) noexcept {
    uint16_t index;
    std::memcpy(&index, block, sizeof index);
    return index;
}
inline void WriteIndex(void* block, uint16_t index) noexcept {
    std::memcpy(block, &index, sizeof index);
}

void* CheckedMalloc(size_t size) {
    void* p = PageSupply::InjectedFailure() ? nullptr : std::malloc(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// Largest string table an idle context keeps (256 KiB).
constexpr uint32_t kMaxKeptSlots = 1u << 15;

// A table slot is one word: the entry's address with the top 16 bits of its hash
// above it (addresses of user space fit in 48 bits), or on 32-bit systems the
// address beside the whole hash. 0 is an empty slot.
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr uint64_t kAddressMask = (uint64_t{1} << 48) - 1;
inline bool Fits(const StringEntry* entry) noexcept { return (reinterpret_cast<uintptr_t>(entry) & ~kAddressMask) == 0; }
inline uint64_t MakeSlot(const StringEntry* entry, uint32_t hash) noexcept {
    return reinterpret_cast<uintptr_t>(entry) | uint64_t{hash >> 16} << 48;
}
inline StringEntry* EntryOf(uint64_t slot) noexcept { return reinterpret_cast<StringEntry*>(slot & kAddressMask); }
inline bool MayHold(uint64_t slot, uint32_t hash) noexcept { return (slot >> 48) == (hash >> 16); }
inline uint32_t HashOf(uint64_t slot) noexcept { return EntryOf(slot)->hash; }
#else
inline bool Fits(const StringEntry*) noexcept { return true; }
inline uint64_t MakeSlot(const StringEntry* entry, uint32_t hash) noexcept {
    return uint64_t{hash} << 32 | reinterpret_cast<uintptr_t>(entry);
}
inline StringEntry* EntryOf(uint64_t slot) noexcept {
    return reinterpret_cast<StringEntry*>(static_cast<uintptr_t>(slot & 0xFFFFFFFFu));
}
inline bool MayHold(uint64_t slot, uint32_t hash) noexcept { return (slot >> 32) == hash; }
inline uint32_t HashOf(uint64_t slot) noexcept { return static_cast<uint32_t>(slot >> 32); }
#endif

inline size_t EntrySize(uint32_t length) noexcept { return sizeof(StringEntry) + length + 1; }

// Length, first, middle and last byte, mixed by one multiplication: enough to
// tell the names of one record apart.
inline uint32_t RecentSlot(const char* text, size_t length) noexcept {
    const uint32_t digest = static_cast<uint32_t>(length & 0xFF) | uint32_t{static_cast<uint8_t>(text[0])} << 8 |
                            uint32_t{static_cast<uint8_t>(text[length / 2])} << 16 |
                            uint32_t{static_cast<uint8_t>(text[length - 1])} << 24;
    static_assert(ValueContext::kRecentSlots == 1u << 7);
    return (digest * 0x9E3779B1u) >> (32 - 7);
}

}  // namespace

// Trees are built and dropped often, and conversions make short-lived roots: a few
// empty contexts are kept per thread so that such roots cost no general allocation.
// The slots are plain data so that they stay usable after the thread's cleanup ran
// (roots with static storage may still be destroyed then). The host's threads
// outlive the plugin, so every thread's slots are listed and plugin shutdown empties
// them all: a slot is filled only by its thread, and emptied by whoever exchanges
// it first, the thread itself or the shutdown.
class ContextCache {
public:
    static ValueContext* Pop() noexcept {
        for (uint32_t i = kCapacity; i-- != 0;) {
            std::atomic<ValueContext*>& item = slots_.items[i];
            if (item.load(std::memory_order_relaxed) == nullptr) continue;
            if (ValueContext* context = item.exchange(nullptr, std::memory_order_acquire)) return context;
        }
        return nullptr;
    }
    static bool Push(ValueContext* context) noexcept {
        if (slots_.closed) return false;
        static thread_local ThreadEnd end;  // lists the slots; empties them when the thread ends
        (void)end;
        for (std::atomic<ValueContext*>& item : slots_.items) {
            // Only this thread fills a slot: one seen empty stays so until it does.
            if (item.load(std::memory_order_relaxed) != nullptr) continue;
            item.store(context, std::memory_order_release);
            return true;
        }
        return false;
    }

    // Frees the contexts kept for every thread (they all stay usable).
    static void DrainAll() noexcept {
        Registry& registry = Threads();
        std::lock_guard<std::mutex> guard(registry.mutex);
        for (Slots* slots = registry.first; slots != nullptr; slots = slots->next) Drain(*slots);
        Drain(slots_);  // a thread that never kept one is not listed
    }

    // Contexts kept over all threads (tests).
    static size_t Count() noexcept {
        Registry& registry = Threads();
        std::lock_guard<std::mutex> guard(registry.mutex);
        size_t count = 0;
        for (Slots* slots = registry.first; slots != nullptr; slots = slots->next) {
            for (std::atomic<ValueContext*>& item : slots->items) count += item.load(std::memory_order_acquire) != nullptr;
        }
        return count;
    }

private:
    static constexpr uint32_t kCapacity = 4;
    struct Slots {
        std::atomic<ValueContext*> items[kCapacity];
        Slots* prev;
        Slots* next;
        bool closed;
    };
    struct Registry {
        std::mutex mutex;
        Slots* first = nullptr;
    };
    // Never destroyed: threads may end after static objects are gone.
    static Registry& Threads() noexcept {
        alignas(Registry) static unsigned char storage[sizeof(Registry)];
        static Registry* registry = new (storage) Registry();
        return *registry;
    }
    static void Drain(Slots& slots) noexcept {
        for (std::atomic<ValueContext*>& item : slots.items) {
            if (ValueContext* context = item.exchange(nullptr, std::memory_order_acquire)) Free(context);
        }
    }
    static void Free(ValueContext* context) noexcept {
        if (context->slots_ != context->inlineSlots_) std::free(context->slots_);
        std::free(context->pages_);
        context->~ValueContext();
        std::free(context);
    }
    struct ThreadEnd {
        ThreadEnd() noexcept {
            Registry& registry = Threads();
            std::lock_guard<std::mutex> guard(registry.mutex);
            slots_.prev = nullptr;
            slots_.next = registry.first;
            if (registry.first != nullptr) registry.first->prev = &slots_;
            registry.first = &slots_;
        }
        ~ThreadEnd() {
            slots_.closed = true;
            Registry& registry = Threads();
            std::lock_guard<std::mutex> guard(registry.mutex);
            if (slots_.prev != nullptr) slots_.prev->next = slots_.next;
            else registry.first = slots_.next;
            if (slots_.next != nullptr) slots_.next->prev = slots_.prev;
            Drain(slots_);
        }
    };
    static thread_local constinit Slots slots_;
};

thread_local constinit ContextCache::Slots ContextCache::slots_ = {};

ValueContext::ValueContext() noexcept : slots_(inlineSlots_), slotMask_(kInlineSlots - 1) {
    std::memset(inlineSlots_, 0, sizeof inlineSlots_);
    std::memset(recent_, 0, sizeof recent_);
    std::memset(memberHints_, 0, sizeof memberHints_);
    ResetPools();
}

void ValueContext::ClearHints() noexcept {
    std::memset(memberHints_, 0, sizeof memberHints_);
    hintsUsed_ = false;
}

void ValueContext::ResetPools() noexcept {
    for (uint32_t c = 0; c < kBlockClasses; ++c) {
        chains_[c] = nullptr;
        auto* page = reinterpret_cast<PageHeader*>(inlinePages_[c].bytes);
        FormatPage(page, c, kInlinePageSize);
        LinkPage(page, c);
        blocksInUse_[c] = 0;
    }
}

// Empties the table. A grown table that the last tree filled well is kept (and
// cleared) for the next tree of the same shape; a sparse one is given back.
void ValueContext::ResetTable(bool keepCapacity) noexcept {
    const uint32_t capacity = slotMask_ + 1;
    if (slots_ != inlineSlots_ && !(keepCapacity && capacity <= kMaxKeptSlots && stringCount_ * 4 >= capacity)) {
        std::free(slots_);
        slots_ = inlineSlots_;
        slotMask_ = kInlineSlots - 1;
    }
    if (stringCount_ != 0 || slots_ == inlineSlots_) std::memset(slots_, 0, (slotMask_ + 1) * sizeof(Slot));
    stringCount_ = 0;
    // Small trees never fill the cache: clearing it each time would cost them more
    // than it saves.
    if (recentUsed_) std::memset(recent_, 0, sizeof recent_);
    recentUsed_ = false;
    if (hintsUsed_) ClearHints();
}

ValueContext* ValueContext::Create() {
    if (ValueContext* cached = ContextCache::Pop()) return cached;
    void* memory = CheckedMalloc(sizeof(ValueContext));
    // Values keep the context's address in 48 bits, as user-space addresses are.
    if (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(memory)) >> 48 != 0) {
        std::free(memory);
        throw std::bad_alloc();
    }
    return new (memory) ValueContext();
}

void ValueContext::ReleaseCached() noexcept { ContextCache::DrainAll(); }

size_t ValueContext::CachedCount() noexcept { return ContextCache::Count(); }

void ValueContext::Destroy(ValueContext* context) noexcept {
    if (context == nullptr) return;
    if (context->Recyclable()) {
        if (context->slotMask_ + 1 > kMaxKeptSlots) context->ResetTable(false);
        if (ContextCache::Push(context)) return;
    }
    context->Clear();
    std::free(context->pages_);
    context->~ValueContext();
    std::free(context);
}

bool ValueContext::Recyclable() const noexcept {
    if (stringCount_ != 0 || pagesInUse_ != 0 || large_ != nullptr) return false;
    for (uint32_t c = 0; c < kBlockClasses; ++c) {
        if (blocksInUse_[c] != 0) return false;
    }
    return true;
}

// Frees what a tree left behind (values released out of order or never released).
void ValueContext::Clear() noexcept {
    if (DropAll()) return;
    // Some pages are not listed: free what can be found.
    for (uint32_t i = 0; i <= slotMask_; ++i) {
        if (slots_[i] != 0) FreeEntry(EntryOf(slots_[i]));
    }
    ResetTable(false);
    for (uint32_t c = 0; c < kBlockClasses; ++c) {
        for (PageHeader* page = chains_[c]; page != nullptr;) {
            PageHeader* next = page->next;
            if (!IsInline(page)) {
                UntrackPage(page);
                PageSupply::Return(page);
                --pagesInUse_;
            }
            page = next;
        }
    }
    for (uint32_t i = 0; i < pageCount_; ++i) PageSupply::Return(pages_[i]);
    pageCount_ = 0;
    pagesInUse_ = 0;
    untrackedPages_ = 0;  // full ones are lost, as the tree that kept them
    while (large_ != nullptr) FreeLarge(large_ + 1);
    largeBytes_ = 0;
    ResetPools();
}

bool ValueContext::DropAll() noexcept {
    if (untrackedPages_ != 0) return false;
    while (large_ != nullptr) {
        LargeHeader* next = large_->next;
        std::free(large_);
        large_ = next;
    }
    largeBytes_ = 0;
    for (uint32_t i = 0; i < pageCount_; ++i) PageSupply::Return(pages_[i]);
    pageCount_ = 0;
    pagesInUse_ = 0;
    ResetTable(true);
    ResetPools();
    return true;
}

void ValueContext::TrackPage(PageHeader* page) noexcept {
    if (pageCount_ == pageCapacity_ && pageCapacity_ < kUntracked) {
        uint32_t capacity = pageCapacity_ == 0 ? 64 : pageCapacity_ * 2;
        if (capacity > kUntracked) capacity = kUntracked;
        const size_t bytes = capacity * sizeof(PageHeader*);
        void* grown = pages_ == nullptr ? std::malloc(bytes) : std::realloc(pages_, bytes);
        if (grown != nullptr) {
            pages_ = static_cast<PageHeader**>(grown);
            pageCapacity_ = capacity;
        }
    }
    if (pageCount_ < pageCapacity_) {
        page->slot = static_cast<uint16_t>(pageCount_);
        pages_[pageCount_++] = page;
    } else {
        page->slot = kUntracked;
        ++untrackedPages_;
    }
}

void ValueContext::UntrackPage(PageHeader* page) noexcept {
    if (page->slot == kUntracked) {
        --untrackedPages_;
        return;
    }
    PageHeader* last = pages_[--pageCount_];
    pages_[page->slot] = last;
    last->slot = page->slot;
}

void* ValueContext::AllocateLarge(size_t size) {
    if (size > SIZE_MAX - sizeof(LargeHeader)) throw std::bad_alloc();
    auto* header = static_cast<LargeHeader*>(CheckedMalloc(sizeof(LargeHeader) + size));
    header->prev = nullptr;
    header->next = large_;
    if (large_ != nullptr) large_->prev = header;
    large_ = header;
    largeBytes_ += sizeof(LargeHeader) + size;
    return header + 1;
}

void ValueContext::FreeLarge(void* block) noexcept {
    LargeHeader* header = static_cast<LargeHeader*>(block) - 1;
    if (header->prev != nullptr) header->prev->next = header->next;
    else large_ = header->next;
    if (header->next != nullptr) header->next->prev = header->prev;
    std::free(header);
}

void ValueContext::FormatPage(PageHeader* page, uint32_t sizeClass, uint32_t usableSize) noexcept {
    const uint32_t size = BlockSize(sizeClass);
    const uint32_t first = (static_cast<uint32_t>(sizeof(PageHeader)) + size - 1) / size;
    const uint32_t end = usableSize / size;
    page->prev = page->next = nullptr;
    page->fresh = static_cast<uint16_t>(first < end ? first : 0);
    page->inUse = 0;
    page->freeHead = 0;
    page->slot = kUntracked;
    page->end = static_cast<uint16_t>(end);
}

bool ValueContext::IsInline(const PageHeader* page) const noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(page);
    return bytes >= inlinePages_[0].bytes && bytes < inlinePages_[kBlockClasses - 1].bytes + kInlinePageSize;
}

void ValueContext::LinkPage(PageHeader* page, uint32_t sizeClass) noexcept {
    page->prev = nullptr;
    page->next = chains_[sizeClass];
    if (page->next != nullptr) page->next->prev = page;
    chains_[sizeClass] = page;
}

void ValueContext::UnlinkPage(PageHeader* page, uint32_t sizeClass) noexcept {
    if (page->prev != nullptr) page->prev->next = page->next;
    else chains_[sizeClass] = page->next;
    if (page->next != nullptr) page->next->prev = page->prev;
    page->prev = page->next = nullptr;
}

// A fresh page for a class whose chain is empty, formatted and listed.
ValueContext::PageHeader* ValueContext::AddPage(uint32_t sizeClass) {
    auto* page = static_cast<PageHeader*>(PageSupply::Take());
    ++pagesInUse_;
    FormatPage(page, sizeClass, kPageSize);
    TrackPage(page);
    LinkPage(page, sizeClass);
    return page;
}

void* ValueContext::TakeBlock(uint32_t sizeClass) {
    PageHeader* page = chains_[sizeClass];
    if (page == nullptr) page = AddPage(sizeClass);
    const uint32_t size = BlockSize(sizeClass);
    // Header fields are read once into locals: re-reading them as one wide word
    // right after narrow stores would stall on store forwarding.
    uint32_t freeHead = page->freeHead;
    uint32_t fresh = page->fresh;
    unsigned char* block;
    if (freeHead != 0) {
        block = reinterpret_cast<unsigned char*>(page) + freeHead * size;
        freeHead = ReadIndex(block);
        page->freeHead = static_cast<uint16_t>(freeHead);
    } else {
        // A chained page with an empty free list still has fresh blocks.
        block = reinterpret_cast<unsigned char*>(page) + fresh * size;
        fresh = fresh + 1 < page->end ? fresh + 1 : 0;
        page->fresh = static_cast<uint16_t>(fresh);
    }
    ++page->inUse;
    ++blocksInUse_[sizeClass];
    if ((freeHead | fresh) == 0) UnlinkPage(page, sizeClass);
    return block;
}

void ValueContext::ReturnBlock(void* block, uint32_t sizeClass) noexcept {
    auto* bytes = static_cast<unsigned char*>(block);
    unsigned char* inlineStart = inlinePages_[sizeClass].bytes;
    const bool isInline = bytes >= inlineStart && bytes < inlineStart + kInlinePageSize;
    PageHeader* page;
    if (isInline) {
        page = reinterpret_cast<PageHeader*>(inlineStart);
    } else {
        page = reinterpret_cast<PageHeader*>(reinterpret_cast<uintptr_t>(bytes) & ~(uintptr_t{kPageSize} - 1));
    }
    const uint32_t size = BlockSize(sizeClass);
    const auto index = static_cast<uint16_t>((bytes - reinterpret_cast<unsigned char*>(page)) / size);
    if (page->freeHead == 0 && page->fresh == 0) LinkPage(page, sizeClass);  // was full: back on the chain
    WriteIndex(bytes, page->freeHead);
    page->freeHead = index;
    --page->inUse;
    --blocksInUse_[sizeClass];
    if (page->inUse == 0 && !isInline) {
        UnlinkPage(page, sizeClass);
        UntrackPage(page);
        PageSupply::Return(page);
        --pagesInUse_;
    }
}

void ValueContext::Free(void* block, size_t size) noexcept {
    if (block == nullptr) return;
    if (size > kMaxBlockSize) {
        FreeLarge(block);
        largeBytes_ -= sizeof(LargeHeader) + size;
        return;
    }
    ReturnBlock(block, ClassOf(size));
}

void* ValueContext::Reallocate(void* block, size_t oldSize, size_t newSize) {
    if (block == nullptr) return Allocate(newSize);
    if (oldSize > kMaxBlockSize && newSize > kMaxBlockSize) {
        if (newSize > SIZE_MAX - sizeof(LargeHeader)) throw std::bad_alloc();
        LargeHeader* header = static_cast<LargeHeader*>(block) - 1;
        auto* moved = PageSupply::InjectedFailure()
                          ? nullptr
                          : static_cast<LargeHeader*>(std::realloc(header, sizeof(LargeHeader) + newSize));
        if (moved == nullptr) throw std::bad_alloc();
        if (moved->prev != nullptr) moved->prev->next = moved;
        else large_ = moved;
        if (moved->next != nullptr) moved->next->prev = moved;
        largeBytes_ += newSize - oldSize;
        return moved + 1;
    }
    if (oldSize <= kMaxBlockSize && newSize <= kMaxBlockSize && ClassOf(oldSize) == ClassOf(newSize)) {
        return block;
    }
    void* fresh = Allocate(newSize);
    std::memcpy(fresh, block, oldSize < newSize ? oldSize : newSize);
    Free(block, oldSize);
    return fresh;
}

size_t ValueContext::HeapBytes() const noexcept {
    size_t bytes = sizeof(ValueContext) + largeBytes_ + size_t{pageCapacity_} * sizeof(PageHeader*);
    if (slots_ != inlineSlots_) bytes += (size_t{slotMask_} + 1) * sizeof(Slot);
    return bytes;
}

StringEntry* ValueContext::EmptyString() noexcept { return &gEmptyString.entry; }

uint32_t ValueContext::SlotOf(uint32_t hash) const noexcept {
    // The high half folded in, so that slots depend on all of the hash.
    return (hash ^ (hash >> 16)) & slotMask_;
}

StringEntry* ValueContext::Intern(std::string_view text) {
    if (text.empty()) return EmptyString();
    const uint32_t r = RecentSlot(text.data(), text.size());
    StringEntry* e = recent_[r];
    if (e != nullptr && e->length == text.size() && detail::SameBytes(e->Text(), text.data(), text.size())) {
        ++e->refs;
        return e;
    }
    return InternUncached(text, r);
}

// Kept out of Intern so that a hit in the cache of recent entries needs no frame.
StringEntry* ValueContext::InternUncached(std::string_view text, uint32_t recentSlot) {
    bool found = false;
    StringEntry* e = InternHashed(text, TextHash(text), found);
    // Only texts seen twice are cached: one-off texts would push the names out.
    if (found) {
        recent_[recentSlot] = e;
        recentUsed_ = true;
    }
    return e;
}

StringEntry* ValueContext::Intern(std::string_view text, uint32_t hash) {
    if (text.empty()) return EmptyString();
    bool found = false;
    return InternHashed(text, hash, found);
}

StringEntry* ValueContext::InternHashed(std::string_view text, uint32_t hash, bool& found) {
    const auto length = static_cast<uint32_t>(text.size());
    uint32_t slot = SlotOf(hash);
    for (; slots_[slot] != 0; slot = (slot + 1) & slotMask_) {
        if (!MayHold(slots_[slot], hash)) continue;
        StringEntry* e = EntryOf(slots_[slot]);
        if (e->hash == hash && e->length == length && detail::SameBytes(e->Text(), text.data(), length)) {
            ++e->refs;
            found = true;
            return e;
        }
    }
    // Keep the load at most 3/4.
    if ((stringCount_ + 1) * 4 > (slotMask_ + 1) * 3) {
        GrowTable();
        slot = SlotOf(hash);
        while (slots_[slot] != 0) slot = (slot + 1) & slotMask_;
    }
    auto* entry = static_cast<StringEntry*>(Allocate(EntrySize(length)));
    if (!Fits(entry)) {
        Free(entry, EntrySize(length));
        throw std::bad_alloc();
    }
    entry->hash = hash;
    entry->refs = 1;
    entry->length = length;
    char* out = reinterpret_cast<char*>(entry + 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    slots_[slot] = MakeSlot(entry, hash);
    ++stringCount_;
    return entry;
}

void ValueContext::AddRef(StringEntry* entry) noexcept {
    if (entry != nullptr && entry != EmptyString()) ++entry->refs;
}

void ValueContext::Release(StringEntry* entry) noexcept {
    if (entry == nullptr || entry == EmptyString()) return;
    if (--entry->refs != 0) return;
    uint32_t slot = SlotOf(entry->hash);
    while (EntryOf(slots_[slot]) != entry) {
        if (slots_[slot] == 0) return;  // not ours
        slot = (slot + 1) & slotMask_;
    }
    EraseSlot(slot);
    StringEntry*& recent = recent_[RecentSlot(entry->Text(), entry->length)];
    if (recent == entry) recent = nullptr;
    if (hintsUsed_) ClearHints();
    FreeEntry(entry);
    --stringCount_;
}

const StringEntry* ValueContext::FindString(std::string_view text) const noexcept {
    if (text.empty()) return EmptyString();
    const uint32_t hash = TextHash(text);
    for (uint32_t slot = SlotOf(hash); slots_[slot] != 0; slot = (slot + 1) & slotMask_) {
        const StringEntry* e = EntryOf(slots_[slot]);
        if (MayHold(slots_[slot], hash) && e->hash == hash && e->View() == text) return e;
    }
    return nullptr;
}

void ValueContext::GrowTable() {
    const uint32_t oldCapacity = slotMask_ + 1;
    const uint32_t capacity = oldCapacity * 2;
    auto* fresh = static_cast<Slot*>(CheckedMalloc(capacity * sizeof(Slot)));
    std::memset(fresh, 0, capacity * sizeof(Slot));
    Slot* old = slots_;
    slots_ = fresh;
    slotMask_ = capacity - 1;
    for (uint32_t i = 0; i < oldCapacity; ++i) {
        if (old[i] == 0) continue;
        uint32_t slot = SlotOf(HashOf(old[i]));
        while (slots_[slot] != 0) slot = (slot + 1) & slotMask_;
        slots_[slot] = old[i];
    }
    if (old != inlineSlots_) std::free(old);
}

// Linear probing without tombstones: shift later members of the run back.
void ValueContext::EraseSlot(uint32_t hole) noexcept {
    for (uint32_t next = (hole + 1) & slotMask_; slots_[next] != 0; next = (next + 1) & slotMask_) {
        const uint32_t home = SlotOf(HashOf(slots_[next]));
        const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (stays) continue;
        slots_[hole] = slots_[next];
        hole = next;
    }
    slots_[hole] = 0;
}

void ValueContext::FreeEntry(StringEntry* entry) noexcept { Free(entry, EntrySize(entry->length)); }

}  // namespace Vemi::Binding
