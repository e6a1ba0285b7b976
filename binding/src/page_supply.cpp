// Process-wide page supply: 64 KiB regions from the platform, handed out as
// sixteen 4096-byte pages, each region released once all its pages are back.
// One wholly free region is kept in reserve: a request builds and drops a small
// tree, and mapping and unmapping a region for each would cost more than the work.
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
        if (withFree_ == nullptr) AddRegion();
        Region* region = withFree_;
        if (region == spare_) {
            // Prefer a region already in use, so the reserve stays whole.
            if (region->nextWithFree != nullptr) region = region->nextWithFree;
            else spare_ = nullptr;
        }
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
        if (region->freeMask == kAllPagesFree) {
            if (spare_ == nullptr) {
                spare_ = region;
                return;
            }
            if (!wasFull) UnlinkFree(region);
            regions_.erase(it - 1);
            Platform::ReleaseRegion(region->base);
            delete region;
        } else if (wasFull) {
            LinkFree(region);
        }
    }

    size_t PagesInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return pagesInUse_;
    }
    size_t RegionsInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return regions_.size() - (spare_ != nullptr ? 1 : 0);
    }
    size_t RegionsReserved() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return spare_ != nullptr ? 1 : 0;
    }

private:
    void AddRegion() {
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
    Region* spare_ = nullptr;       // the wholly free region kept in reserve
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
