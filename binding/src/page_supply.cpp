// Process-wide page supply: 64 KiB regions from the platform, handed out as
// sixteen 4096-byte pages. Trees are built and dropped over and over, and each
// system call on the way (map, discard, unmap: every one flushes the TLB, dearly so
// on virtual machines) and each first touch of a page given back costs more than
// building the tree. So a wholly free region goes into a reserve as it is, with no
// system call, and is handed out again first. Memory goes back lazily, the way a
// general-purpose allocator decays its dirty pages: a region left in the reserve
// for kDecayMilliseconds is discarded (the system may take its memory back, the
// address range stays ours), and a discarded region left there as long again is
// unmapped. The clock is read only when a region enters the reserve or is mapped,
// and at Maintain (called by the runtime between host calls), never per page; each
// visit decays at most kDecayBatch regions, so a large tree dropped does not come
// back as a burst of system calls on one unrelated caller, and a busy process whose
// regions never enter the reserve still decays the ones idle there. The reserve holds
// at most kMaxReservedRegions; beyond that the region idle longest is unmapped at once.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include <kav/binding/page_supply.h>
#include <kav/platform/platform.h>

namespace Vemi::Binding {
namespace {

static_assert(Platform::kRegionSize == PageSupply::kPagesPerRegion * kPageSize);

constexpr uint32_t kAllPagesFree = 0xFFFFu;
constexpr size_t kMaxReserved = PageSupply::kMaxReservedRegions;
constexpr uint64_t kDecay = PageSupply::kDecayMilliseconds;
constexpr uint64_t kNothingDue = UINT64_MAX;

uint64_t PlatformMilliseconds() noexcept {
    const uint64_t perMillisecond = Platform::QueryPerformanceFrequency() / 1000;
    return Platform::QueryPerformanceCounter() / (perMillisecond != 0 ? perMillisecond : 1);
}

std::atomic<PageSupply::Clock> gClock{&PlatformMilliseconds};
std::atomic<PageSupply::FailureHook> gFailureHook{nullptr};

struct Region {
    char* base;
    uint32_t freeMask;  // bit i set: page i is free
    bool discarded;     // in the reserve, its memory handed back to the system
    Region* prevWithFree;
    Region* nextWithFree;
    uint64_t idleSince;  // clock when it entered the reserve or was discarded
};

class Supply {
public:
    void* Take() {
        if (PageSupply::InjectedFailure()) throw std::bad_alloc();
        std::lock_guard<std::mutex> guard(mutex_);
        if (withFree_ == nullptr) {
            // Regions in use first, then the reserve (most recently freed first: it is
            // the likeliest to be still in the caches), then the system.
            if (!kept_.empty()) {
                LinkFree(kept_.back());
                kept_.pop_back();
            } else if (!discarded_.empty()) {
                Region* region = discarded_.back();
                discarded_.pop_back();
                region->discarded = false;
                LinkFree(region);
            } else {
                AddRegion();
            }
            if (kept_.empty() && discarded_.empty()) nextDecay_.store(kNothingDue, std::memory_order_relaxed);
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
        Region* region = Owner(page);
        if (region == nullptr) return;
        const uint32_t bit = 1u << (static_cast<size_t>(page - region->base) / kPageSize);
        if ((region->freeMask & bit) != 0) return;  // returned twice: ignore
        const bool wasFull = region->freeMask == 0;
        region->freeMask |= bit;
        --pagesInUse_;
        if (wasFull) LinkFree(region);
        if (region->freeMask != kAllPagesFree) return;
        UnlinkFree(region);
        // The reserve was sized to its bound up front: no allocation here.
        if (kept_.size() + discarded_.size() == kMaxReserved) Unmap(EvictOldest());
        region->idleSince = Now();
        kept_.push_back(region);
        if (region->idleSince + kDecay < nextDecay_.load(std::memory_order_relaxed)) {
            nextDecay_.store(region->idleSince + kDecay, std::memory_order_relaxed);
        }
        Decay(region->idleSince);
    }

    void ReleaseReserve() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        for (Region* region : kept_) Unmap(region);
        for (Region* region : discarded_) Unmap(region);
        kept_.clear();
        discarded_.clear();
        nextDecay_.store(kNothingDue, std::memory_order_relaxed);
    }

    void Maintain() noexcept {
        // The steady state of a busy process: nothing in the reserve, one load.
        if (nextDecay_.load(std::memory_order_relaxed) == kNothingDue) return;
        const uint64_t now = Now();
        if (now < nextDecay_.load(std::memory_order_relaxed)) return;
        std::lock_guard<std::mutex> guard(mutex_);
        Decay(now);
    }

    size_t PagesInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return pagesInUse_;
    }
    size_t RegionsInUse() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return regions_.size() - kept_.size() - discarded_.size();
    }
    size_t RegionsReserved() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return kept_.size() + discarded_.size();
    }
    size_t RegionsDiscarded() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return discarded_.size();
    }
    PageSupply::Counters Counters() noexcept {
        std::lock_guard<std::mutex> guard(mutex_);
        return counters_;
    }

private:
    static uint64_t Now() noexcept { return gClock.load(std::memory_order_relaxed)(); }

    Region* Owner(char* page) const noexcept {
        // Regions are sorted by base: the owner is the last one starting at or before the page.
        auto it = std::upper_bound(regions_.begin(), regions_.end(), page,
                                   [](const char* p, const Region* r) { return p < r->base; });
        if (it == regions_.begin()) return nullptr;
        Region* region = *(it - 1);
        return static_cast<size_t>(page - region->base) < Platform::kRegionSize ? region : nullptr;
    }

    void AddRegion() {
        if (kept_.capacity() == 0) {
            kept_.reserve(kMaxReserved);
            discarded_.reserve(kMaxReserved);
        }
        char* base = static_cast<char*>(Platform::ReserveRegion());
        if (base == nullptr) throw std::bad_alloc();
        auto* region = new (std::nothrow) Region{base, kAllPagesFree, false, nullptr, nullptr, 0};
        if (region == nullptr) {
            Platform::ReleaseRegion(base);
            throw std::bad_alloc();
        }
        try {
            auto at = std::upper_bound(regions_.begin(), regions_.end(), base,
                                       [](const char* p, const Region* r) { return p < r->base; });
            regions_.insert(at, region);
        } catch (...) {
            Platform::ReleaseRegion(base);
            delete region;
            throw;
        }
        ++counters_.mapped;
        LinkFree(region);
        // A system call was made anyway: a good moment to look at the reserve.
        Decay(Now());
    }

    // The region that has waited longest: the oldest discarded one, else the oldest kept.
    Region* EvictOldest() noexcept {
        std::vector<Region*>& from = discarded_.empty() ? kept_ : discarded_;
        Region* region = from.front();
        from.erase(from.begin());
        return region;
    }

    // Both lists are in the order regions entered them, so the idle ones are at the
    // front. At most kDecayBatch regions per visit; what is left stays due.
    void Decay(uint64_t now) noexcept {
        if (now < nextDecay_.load(std::memory_order_relaxed)) return;
        size_t budget = PageSupply::kDecayBatch;
        size_t unmapped = 0;
        while (budget != 0 && unmapped < discarded_.size() && now >= discarded_[unmapped]->idleSince + kDecay) {
            Unmap(discarded_[unmapped++]);
            --budget;
        }
        discarded_.erase(discarded_.begin(), discarded_.begin() + static_cast<std::ptrdiff_t>(unmapped));
        size_t aged = 0;
        while (budget != 0 && aged < kept_.size() && now >= kept_[aged]->idleSince + kDecay) {
            --budget;
            Region* region = kept_[aged++];
            Platform::DiscardRegion(region->base);
            ++counters_.discarded;
            region->discarded = true;
            region->idleSince = now;
            discarded_.push_back(region);
        }
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(aged));
        // The next look is due when the oldest region left reaches its time.
        uint64_t next = kNothingDue;
        if (!discarded_.empty()) next = discarded_.front()->idleSince + kDecay;
        if (!kept_.empty()) next = std::min(next, kept_.front()->idleSince + kDecay);
        nextDecay_.store(next, std::memory_order_relaxed);
    }

    // Gives a wholly free region back to the system; the caller takes it off its list.
    void Unmap(Region* region) noexcept {
        auto it = std::lower_bound(regions_.begin(), regions_.end(), region->base,
                                   [](const Region* r, const char* p) { return r->base < p; });
        if (it != regions_.end() && *it == region) regions_.erase(it);
        Platform::ReleaseRegion(region->base);
        ++counters_.unmapped;
        delete region;
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
    std::vector<Region*> regions_;   // sorted by base
    Region* withFree_ = nullptr;     // regions in use that still have a free page
    std::vector<Region*> kept_;      // wholly free, as they are; oldest first
    std::vector<Region*> discarded_; // wholly free, memory handed back; oldest first
    // Written under the lock; Maintain reads it without, to stay off the lock when
    // nothing is due.
    std::atomic<uint64_t> nextDecay_{kNothingDue};
    size_t pagesInUse_ = 0;
    PageSupply::Counters counters_{};
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
void PageSupply::ReleaseReserve() noexcept { Instance().ReleaseReserve(); }
void PageSupply::Maintain() noexcept { Instance().Maintain(); }
size_t PageSupply::PagesInUse() noexcept { return Instance().PagesInUse(); }
size_t PageSupply::RegionsInUse() noexcept { return Instance().RegionsInUse(); }
size_t PageSupply::RegionsReserved() noexcept { return Instance().RegionsReserved(); }
size_t PageSupply::RegionsDiscarded() noexcept { return Instance().RegionsDiscarded(); }
PageSupply::Counters PageSupply::RegionCounters() noexcept { return Instance().Counters(); }

PageSupply::Clock PageSupply::SetClock(Clock clock) noexcept {
    return gClock.exchange(clock != nullptr ? clock : &PlatformMilliseconds);
}

PageSupply::FailureHook PageSupply::SetFailureHook(FailureHook hook) noexcept { return gFailureHook.exchange(hook); }

bool PageSupply::InjectedFailure() noexcept {
    const FailureHook hook = gFailureHook.load(std::memory_order_relaxed);
    return hook != nullptr && hook();
}

}  // namespace Vemi::Binding
