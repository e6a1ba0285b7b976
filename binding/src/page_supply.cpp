// Process-wide page supply: 64 KiB regions from the platform, handed out as
// sixteen 4096-byte pages. Wholly free regions are kept in a bounded reserve:
// trees are built and dropped over and over, and mapping a region, faulting its
// pages in and unmapping it again cost more than building the tree. The first
// kHotRegions stay as they are; the next ones are discarded (the system may take
// their memory back whenever it needs it, yet reusing them costs no fault while it
// has not); beyond kMaxReserved a free region goes back to the system at once.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "binding/value_context.h"
#include "platform/platform.h"

namespace Vemi::Binding {
namespace {

static_assert(Platform::kRegionSize == PageSupply::kPagesPerRegion * kPageSize);

constexpr uint32_t kAllPagesFree = 0xFFFFu;
constexpr size_t kHotRegions = PageSupply::kHotRegions;
constexpr size_t kMaxReserved = PageSupply::kMaxReservedRegions;

struct Region {
    char* base;
    uint32_t freeMask;  // bit i set: page i is free
    Region* prevWithFree;
    Region* nextWithFree;
};

class Supply {
public:
    void* Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (withFree_ == nullptr) {
            // Regions in use first, then the reserve (hot before discarded), then the system.
            if (!hot_.empty()) {
                LinkFree(hot_.back());
                hot_.pop_back();
            } else if (!cold_.empty()) {
                LinkFree(cold_.back());
                cold_.pop_back();
            } else {
                AddRegion();
            }
        }
        Region* region = withFree_;
        const int page = __builtin_ctz(region->freeMask);
        region->freeMask &= ~(1u << page);
        if (region->freeMask == 0) UnlinkFree(region);
        ++pagesInUse_;
        return region->base + static_cast<size_t>(page) * kPageSize;
    }

    void Return(void* pointer) noexcept {
        if (pointer == nullptr) return;
        char* page = static_cast<char*>(pointer);
        std::lock_guard<std::mutex> guard(mutex_);
        // Regions are sorted by base: the owner is the last one starting at or before the page.
        auto it = std::upper_bound(regions_.begin(), regions_.end(), page,
                                   [](const char* p, const Region* r) { return p < r->base; });
        if (it == regions_.begin()) return;
        Region* region = *(it - 1);
        const size_t offset = static_cast<size_t>(page - region->base);
        if (offset >= Platform::kRegionSize) return;
        const uint32_t bit = 1u << (offset / kPageSize);
        if ((region->freeMask & bit) != 0) return;  // returned twice: ignore
        const bool wasFull = region->freeMask == 0;
        region->freeMask |= bit;
        --pagesInUse_;
        if (wasFull) LinkFree(region);
        if (region->freeMask != kAllPagesFree) return;
        UnlinkFree(region);
        // The vectors were reserved to their bound up front: no allocation here.
        if (hot_.size() < kHotRegions) {
            hot_.push_back(region);
        } else if (cold_.size() < kMaxReserved - kHotRegions) {
            Platform::DiscardRegion(region->base);
            cold_.push_back(region);
        } else {
            regions_.erase(it - 1);
            Platform::ReleaseRegion(region->base);
            delete region;
        }
    }

    size_t PagesInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return pagesInUse_;
    }
    size_t RegionsInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return regions_.size() - hot_.size() - cold_.size();
    }
    size_t RegionsReserved() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return hot_.size() + cold_.size();
    }

private:
    void AddRegion() {
        if (hot_.capacity() == 0) {
            hot_.reserve(kHotRegions);
            cold_.reserve(kMaxReserved - kHotRegions);
        }
        char* base = static_cast<char*>(Platform::ReserveRegion());
        if (base == nullptr) throw std::bad_alloc();
        auto* region = new Region{base, kAllPagesFree, nullptr, nullptr};
        try {
            auto at = std::upper_bound(regions_.begin(), regions_.end(), base,
                                       [](const char* p, const Region* r) { return p < r->base; });
            regions_.insert(at, region);
        } catch (...) {
            Platform::ReleaseRegion(base);
            delete region;
            throw;
        }
        LinkFree(region);
    }

    void LinkFree(Region* region) noexcept {
        region->prevWithFree = nullptr;
        region->nextWithFree = withFree_;
        if (withFree_ != nullptr) withFree_->prevWithFree = region;
        withFree_ = region;
    }

    void UnlinkFree(Region* region) noexcept {
        if (region->prevWithFree != nullptr) region->prevWithFree->nextWithFree = region->nextWithFree;
        else withFree_ = region->nextWithFree;
        if (region->nextWithFree != nullptr) region->nextWithFree->prevWithFree = region->prevWithFree;
        region->prevWithFree = region->nextWithFree = nullptr;
    }

    std::mutex mutex_;
    std::vector<Region*> regions_;  // sorted by base
    Region* withFree_ = nullptr;    // regions that still have a free page
    std::vector<Region*> hot_;      // wholly free, kept as they are
    std::vector<Region*> cold_;     // wholly free, discarded
    size_t pagesInUse_ = 0;
};

// Never destroyed: contexts may still return pages while static objects go away.
Supply& Instance() {
    alignas(Supply) static unsigned char storage[sizeof(Supply)];
    static Supply* supply = new (storage) Supply();
    return *supply;
}

}  // namespace

void* PageSupply::Take() { return Instance().Take(); }
void PageSupply::Return(void* page) noexcept { Instance().Return(page); }
size_t PageSupply::PagesInUse() noexcept { return Instance().PagesInUse(); }
size_t PageSupply::RegionsInUse() noexcept { return Instance().RegionsInUse(); }
size_t PageSupply::RegionsReserved() noexcept { return Instance().RegionsReserved(); }

}  // namespace Vemi::Binding
