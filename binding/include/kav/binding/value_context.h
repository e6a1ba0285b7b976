// The shared store behind one tree of BindingValues: block pools on pages of the
// page supply (kav/binding/page_supply.h) and the interned string table. Plain users
// never touch it: BindingValue creates its context on first need and destroys it
// with the root. Conversions and readers may use the context directly for scratch
// blocks:
//
//   ValueContext* ctx = ValueContext::Create();
//   void* block = ctx->Allocate(40);     // a 40-byte block from the pools
//   ctx->Free(block, 40);                // give it back with the same size
//   StringEntry* s = ctx->Intern("name"); // counted reference
//   ctx->Release(s);
//   ValueContext::Destroy(ctx);
//
// A context is used by one thread at a time; only the page supply is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <kav/binding/page_supply.h>

namespace Vemi::Binding {

// An interned string: header followed by the NUL-terminated text.
struct StringEntry {
    uint32_t hash;    // FNV-1a of the text (kav/binding/hash.h)
    uint32_t refs;    // counted references; the shared empty entry is not counted
    uint32_t length;  // bytes before the NUL

    [[nodiscard]] const char* Text() const noexcept {
        return reinterpret_cast<const char*>(this + 1);
    }
    [[nodiscard]] std::string_view View() const noexcept { return {Text(), length}; }
};
static_assert(sizeof(StringEntry) == 12, "string entries are a 12-byte header and the text");

class ValueContext {
public:
    static constexpr uint32_t kBlockClasses = 18;
    static constexpr uint32_t kBlockGranule = 4;
    static constexpr uint32_t kMaxBlockSize = kBlockClasses * kBlockGranule;  // 72
    static constexpr uint32_t kInlinePageSize = 144;
    static constexpr uint32_t kRecentSlots = 128;

    // One allocation; throws std::bad_alloc when memory is exhausted.
    [[nodiscard]] static ValueContext* Create();
    // Destroys the string table and every pool. Null is ignored.
    static void Destroy(ValueContext* context) noexcept;
    // Empty contexts are kept per thread for the next trees; this frees those of
    // every thread (plugin shutdown: the host's threads outlive the plugin).
    static void ReleaseCached() noexcept;
    // Contexts kept for reuse over all threads (tests and diagnostics).
    [[nodiscard]] static size_t CachedCount() noexcept;

    ValueContext(const ValueContext&) = delete;
    ValueContext& operator=(const ValueContext&) = delete;

    // Blocks of up to 72 bytes come from the pool of their size class (size rounded
    // up to a multiple of 4); larger ones from the general allocator. Free needs the
    // size given to Allocate. Sizes that are multiples of 8 give 8-aligned blocks.
    [[nodiscard]] void* Allocate(size_t size) {
        // Inline: most sizes are constants, so the class is found at compile time.
        if (size > kMaxBlockSize) return AllocateLarge(size);
        const uint32_t sizeClass = size == 0 ? 0 : static_cast<uint32_t>((size - 1) / kBlockGranule);
        // The common case, a fresh block of a page that keeps more: no call.
        PageHeader* page = chains_[sizeClass];
        if (page != nullptr && page->freeHead == 0 && page->fresh + 1u < page->end) {
            void* block = reinterpret_cast<unsigned char*>(page) + size_t{page->fresh} * (sizeClass + 1) * kBlockGranule;
            ++page->fresh;
            ++page->inUse;
            ++blocksInUse_[sizeClass];
            return block;
        }
        return TakeBlock(sizeClass);
    }
    void Free(void* block, size_t size) noexcept;
    // Moves a block to a new size, keeping the first min(oldSize, newSize) bytes.
    [[nodiscard]] void* Reallocate(void* block, size_t oldSize, size_t newSize);

    // Counted reference to the entry of a text (which must hold no NUL byte).
    // The empty text gives the shared, uncounted empty entry. Texts that recur
    // (member names, enumerations of words) are found in a small cache of recent
    // entries without being hashed; the hashed form, given the FNV-1a hash of the
    // text (kav/binding/hash.h), skips that cache.
    [[nodiscard]] StringEntry* Intern(std::string_view text);
    [[nodiscard]] StringEntry* Intern(std::string_view text, uint32_t hash);
    static void AddRef(StringEntry* entry) noexcept;
    // Drops one reference; the last one erases the entry.
    void Release(StringEntry* entry) noexcept;

    // Inspection, for tests and diagnostics.
    [[nodiscard]] const StringEntry* FindString(std::string_view text) const noexcept;
    [[nodiscard]] uint32_t StringCount() const noexcept { return stringCount_; }
    [[nodiscard]] uint32_t PagesInUse() const noexcept { return pagesInUse_; }
    // Bytes taken from the general allocator: the context itself, its table, its
    // list of pages and the blocks beyond the pools.
    [[nodiscard]] size_t HeapBytes() const noexcept;
    // Blocks in use in one size class (class 0 holds 4-byte blocks).
    [[nodiscard]] uint32_t BlocksInUse(uint32_t sizeClass) const noexcept {
        return sizeClass < kBlockClasses ? blocksInUse_[sizeClass] : 0;
    }

    // The shared empty entry: "" with the hash of "".
    [[nodiscard]] static StringEntry* EmptyString() noexcept;

private:
    // Blocks never handed out are not on the free list: they are taken in address
    // order from `fresh`, so a new page is not written all over before its first use.
    struct PageHeader {
        PageHeader* prev;
        PageHeader* next;
        uint16_t fresh;     // block index of the first never-used block; 0: none left
        uint16_t inUse;
        uint16_t freeHead;  // block index; 0 ends the free list
        uint16_t slot;      // index in pages_ (kUntracked: not listed)
        uint16_t end;       // block index past the last block that fits the page
    };
    // Blocks beyond the pools carry this header so that a whole tree can be dropped
    // without visiting it.
    struct alignas(16) LargeHeader {
        LargeHeader* prev;
        LargeHeader* next;
    };
    static constexpr uint16_t kUntracked = 0xFFFF;
    // Table slot: the entry and (part of) its hash in one word, so that probing
    // reads almost no entry whose hash differs. 0: empty.
    using Slot = uint64_t;
    struct alignas(8) InlinePage {
        unsigned char bytes[kInlinePageSize];
    };
    static constexpr uint32_t kInlineSlots = 64;

    ValueContext() noexcept;
    ~ValueContext() = default;

    void FormatPage(PageHeader* page, uint32_t sizeClass, uint32_t usableSize) noexcept;
    [[nodiscard]] bool IsInline(const PageHeader* page) const noexcept;
    void LinkPage(PageHeader* page, uint32_t sizeClass) noexcept;
    void UnlinkPage(PageHeader* page, uint32_t sizeClass) noexcept;
    [[nodiscard]] void* TakeBlock(uint32_t sizeClass);
    [[nodiscard]] PageHeader* AddPage(uint32_t sizeClass);
    void ReturnBlock(void* block, uint32_t sizeClass) noexcept;
    [[nodiscard]] bool Recyclable() const noexcept;
    void Clear() noexcept;
    // Frees every block, page and string at once, leaving the context as new; the
    // tree's values must not be touched afterwards. False (nothing done) when some
    // page is not listed.
    [[nodiscard]] bool DropAll() noexcept;
    void TrackPage(PageHeader* page) noexcept;
    void UntrackPage(PageHeader* page) noexcept;
    void ResetPools() noexcept;
    void ResetTable(bool keepCapacity) noexcept;
    [[nodiscard]] void* AllocateLarge(size_t size);
    void FreeLarge(void* block) noexcept;

    [[nodiscard]] uint32_t SlotOf(uint32_t hash) const noexcept;
    [[nodiscard]] StringEntry* InternHashed(std::string_view text, uint32_t hash, bool& found);
    [[nodiscard, gnu::noinline]] StringEntry* InternUncached(std::string_view text, uint32_t recentSlot);
    void GrowTable();
    void EraseSlot(uint32_t slot) noexcept;
    void FreeEntry(StringEntry* entry) noexcept;
    void ClearHints() noexcept;

    PageHeader* chains_[kBlockClasses];
    InlinePage inlinePages_[kBlockClasses];
    Slot* slots_;
    uint32_t slotMask_;
    uint32_t stringCount_ = 0;
    uint32_t pagesInUse_ = 0;
    uint32_t blocksInUse_[kBlockClasses] = {};
    Slot inlineSlots_[kInlineSlots];
    // Entries found again in the table, by a cheap digest of their text; a slot is
    // cleared when its entry is freed.
    StringEntry* recent_[kRecentSlots];
    bool recentUsed_ = false;
    // Where the last two structures put their member of each rank, between which keys:
    // a structure of the same shape then needs neither the search nor the table
    // (value.cpp). Two, as trees mix two shapes of nodes. Cleared whenever an entry is
    // freed, so every entry named is live.
    struct MemberHint {
        StringEntry* key;
        StringEntry* before;  // null: the member went first
        StringEntry* after;   // null: the member went last
        uint32_t at;
        uint32_t length;      // the key's; 0: no hint (empty names get none)
    };
    static constexpr uint32_t kMemberHints = 16;
    MemberHint memberHints_[kMemberHints][2];
    bool hintsUsed_ = false;
    PageHeader** pages_ = nullptr;  // every 4096-byte page taken, for DropAll
    uint32_t pageCount_ = 0;
    uint32_t pageCapacity_ = 0;
    uint32_t untrackedPages_ = 0;
    LargeHeader* large_ = nullptr;  // blocks from the general allocator
    size_t largeBytes_ = 0;         // their sizes, headers included

    friend class ContextCache;
    friend class BindingValue;
};

}  // namespace Vemi::Binding
