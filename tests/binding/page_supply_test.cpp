#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <kav/binding/value.h>

using namespace Vemi::Binding;

namespace {

// The supply's clock, in the test's hands: it moves only when told, or by one
// millisecond at each reading when `ticking` is set.
uint64_t gNow = 1'000'000;
bool gTicking = false;
uint64_t TestClock() noexcept { return gTicking ? gNow++ : gNow; }

class PageSupplyTest : public testing::Test {
protected:
    void SetUp() override {
        PageSupply::ReleaseReserve();
        previous_ = PageSupply::SetClock(&TestClock);
        gTicking = false;
    }
    void TearDown() override {
        PageSupply::SetClock(previous_);
        PageSupply::ReleaseReserve();
    }

    static uint64_t Calls() {
        const PageSupply::Counters c = PageSupply::RegionCounters();
        return c.mapped + c.discarded + c.unmapped;
    }

private:
    PageSupply::Clock previous_ = nullptr;
};

std::vector<void*> TakePages(size_t count) {
    std::vector<void*> pages;
    for (size_t i = 0; i < count; ++i) pages.push_back(PageSupply::Take());
    return pages;
}

void ReturnPages(const std::vector<void*>& pages) {
    for (void* page : pages) PageSupply::Return(page);
}

// A page taken and given back: the region passes through the reserve's slow path.
void TouchReserve() { PageSupply::Return(PageSupply::Take()); }

}  // namespace

// Building and dropping the same tree again and again, or one small tree per
// request, reaches a state in which no region is mapped, discarded or unmapped.
TEST_F(PageSupplyTest, SteadyBuildAndDropMakesNoSystemCall) {
    struct Case {
        const char* name;
        int records;
        int textLength;
    };
    const Case cases[] = {
        {"one request", 4, 8},
        {"about a megabyte", 8000, 20},
        {"large texts", 600, 200},  // texts beyond the pools mixed in
    };
    gTicking = true;  // time passes, but no region stays idle for the decay
    for (const Case& c : cases) {
        auto build = [&c] {
            BindingResult result;
            for (int i = 0; i < c.records; ++i) {
                BindingValue& record = result.value.Element(static_cast<size_t>(i));
                record.Member("id").SetUnsigned(static_cast<uint64_t>(i));
                record.Member("name").SetString(std::to_string(i) + std::string(static_cast<size_t>(c.textLength), 'n'));
                record.Member("tags").Element(1).SetString("beta");
            }
            return result.value.Context()->PagesInUse();
        };
        const size_t pages = build();
        const uint64_t warm = Calls();
        for (int round = 0; round < 20; ++round) ASSERT_EQ(build(), pages) << c.name;
        EXPECT_EQ(Calls(), warm) << c.name;
        EXPECT_EQ(PageSupply::PagesInUse(), 0u) << c.name;
        EXPECT_EQ(PageSupply::RegionsDiscarded(), 0u) << c.name;
    }
}

// Regions left in the reserve are discarded after the decay and unmapped after as
// long again, at most kDecayBatch of them at each visit (a region entering the
// reserve, or Maintain); regions in use or recently freed are untouched.
TEST_F(PageSupplyTest, IdleRegionsGoBackAfterTheDecayInBoundedVisits) {
    const uint64_t decay = PageSupply::kDecayMilliseconds;
    static_assert(PageSupply::kDecayBatch == 4, "the table counts visits of four regions");
    const std::vector<void*> held = TakePages(2 * PageSupply::kPagesPerRegion);  // stay in use throughout
    std::memset(held[0], 0x5A, kPageSize);
    ReturnPages(TakePages(10 * PageSupply::kPagesPerRegion));
    ASSERT_EQ(PageSupply::RegionsReserved(), 10u);
    const PageSupply::Counters start = PageSupply::RegionCounters();

    enum Visit { kTouch, kMaintain };
    struct Step {
        uint64_t advance;  // milliseconds before the visit
        Visit visit;
        size_t reserved;
        size_t discarded;
        uint64_t discardedCalls;  // since the start
        uint64_t unmappedCalls;
    };
    const Step steps[] = {
        {0, kMaintain, 10, 0, 0, 0},
        {decay - 1, kMaintain, 10, 0, 0, 0},  // not yet
        {1, kTouch, 10, 4, 4, 0},             // one batch; the touched region is fresh again
        {0, kMaintain, 10, 8, 8, 0},
        {0, kMaintain, 10, 9, 9, 0},          // the touched one is not due
        {0, kMaintain, 10, 9, 9, 0},
        {decay - 1, kMaintain, 10, 9, 9, 0},
        {1, kMaintain, 6, 5, 9, 4},           // the longest idle go first
        {0, kMaintain, 2, 1, 9, 8},
        {0, kMaintain, 1, 1, 10, 9},          // the last discarded one, then the touched one
        {0, kMaintain, 1, 1, 10, 9},
        {decay, kMaintain, 0, 0, 10, 10},
        {decay, kMaintain, 0, 0, 10, 10},     // an empty reserve: nothing to do
    };
    int index = 0;
    for (const Step& s : steps) {
        gNow += s.advance;
        if (s.visit == kTouch) TouchReserve();
        else PageSupply::Maintain();
        const PageSupply::Counters now = PageSupply::RegionCounters();
        EXPECT_EQ(PageSupply::RegionsReserved(), s.reserved) << index;
        EXPECT_EQ(PageSupply::RegionsDiscarded(), s.discarded) << index;
        EXPECT_EQ(now.discarded - start.discarded, s.discardedCalls) << index;
        EXPECT_EQ(now.unmapped - start.unmapped, s.unmappedCalls) << index;
        EXPECT_EQ(now.mapped, start.mapped) << index;
        ++index;
    }
    EXPECT_EQ(static_cast<unsigned char*>(held[0])[kPageSize - 1], 0x5A);
    ReturnPages(held);
    EXPECT_EQ(PageSupply::PagesInUse(), 0u);
}

// A busy process keeps one region in use and never moves a region into the reserve:
// its page traffic makes no system call, and the regions left in the reserve by an
// earlier large tree still decay, at the visits off the hot path.
TEST_F(PageSupplyTest, BusyProcessStillDecaysTheReserve) {
    std::vector<void*> held = TakePages(3);  // one region in use throughout
    ReturnPages(TakePages(9 * PageSupply::kPagesPerRegion));
    ASSERT_EQ(PageSupply::RegionsReserved(), 9u);
    gNow += 3 * PageSupply::kDecayMilliseconds;
    const uint64_t calls = Calls();
    for (int round = 0; round < 1000; ++round) ReturnPages(TakePages(4));  // the busy steady state
    EXPECT_EQ(Calls(), calls);
    EXPECT_EQ(PageSupply::RegionsDiscarded(), 0u);
    int visits = 0;
    for (; PageSupply::RegionsReserved() != 0 && visits < 100; ++visits) {
        const uint64_t before = Calls();
        PageSupply::Maintain();
        EXPECT_LE(Calls() - before, PageSupply::kDecayBatch);
        gNow += PageSupply::kDecayMilliseconds;
    }
    EXPECT_EQ(PageSupply::RegionsReserved(), 0u);
    EXPECT_EQ(visits, 6);  // four a visit: discard 4, unmap 4, discard 4, unmap 4, discard 1, unmap 1
    const uint64_t after = Calls();
    for (int round = 0; round < 100; ++round) PageSupply::Maintain();
    EXPECT_EQ(Calls(), after);
    ReturnPages(held);
}

// A discarded region serves pages again before the system is asked for a new one.
TEST_F(PageSupplyTest, DiscardedRegionsAreReused) {
    ReturnPages(TakePages(3 * PageSupply::kPagesPerRegion));
    gNow += PageSupply::kDecayMilliseconds;
    TouchReserve();
    ASSERT_EQ(PageSupply::RegionsDiscarded(), 2u);
    const uint64_t mapped = PageSupply::RegionCounters().mapped;
    std::vector<void*> pages = TakePages(3 * PageSupply::kPagesPerRegion);
    for (void* page : pages) std::memset(page, 0xCD, kPageSize);  // discarded memory stays writable
    EXPECT_EQ(PageSupply::RegionCounters().mapped, mapped);
    EXPECT_EQ(PageSupply::RegionsReserved(), 0u);
    ReturnPages(pages);
    EXPECT_EQ(PageSupply::RegionsReserved(), 3u);
    EXPECT_EQ(PageSupply::RegionsDiscarded(), 0u);
}

TEST_F(PageSupplyTest, ReserveIsBounded) {
    const size_t held = PageSupply::kMaxReservedRegions + 4;
    std::vector<void*> pages = TakePages(held * PageSupply::kPagesPerRegion);
    for (void* page : pages) {
        ASSERT_EQ(reinterpret_cast<uintptr_t>(page) % kPageSize, 0u);
        std::memset(page, 0xAB, kPageSize);
    }
    EXPECT_EQ(PageSupply::RegionsInUse(), held);
    std::vector<void*> sorted = pages;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    // Odd pages first, so that no region is whole until the second pass.
    const uint64_t unmapped = PageSupply::RegionCounters().unmapped;
    for (size_t i = 1; i < pages.size(); i += 2) PageSupply::Return(pages[i]);
    EXPECT_EQ(PageSupply::RegionsReserved(), 0u);
    for (size_t i = 0; i < pages.size(); i += 2) PageSupply::Return(pages[i]);
    PageSupply::Return(pages[0]);  // twice: ignored
    PageSupply::Return(nullptr);
    EXPECT_EQ(PageSupply::RegionsInUse(), 0u);
    EXPECT_EQ(PageSupply::RegionsReserved(), PageSupply::kMaxReservedRegions);
    EXPECT_EQ(PageSupply::RegionCounters().unmapped - unmapped, 4u);

    // The reserve serves new pages before the system is asked.
    const uint64_t mapped = PageSupply::RegionCounters().mapped;
    pages = TakePages(PageSupply::kMaxReservedRegions * PageSupply::kPagesPerRegion);
    EXPECT_EQ(PageSupply::RegionCounters().mapped, mapped);
    EXPECT_EQ(static_cast<unsigned char*>(pages.back())[0], 0xAB);
    ReturnPages(pages);
}

// Shutdown's call: every wholly free region goes back, trees still alive keep theirs.
TEST_F(PageSupplyTest, ReleaseReserveEmptiesIt) {
    BindingValue alive;
    for (int i = 0; i < 3000; ++i) alive.Element(static_cast<size_t>(i)).Member("n").SetSigned(i);
    {
        BindingValue dropped;
        for (int i = 0; i < 20000; ++i) dropped.Element(static_cast<size_t>(i)).Member("m").SetSigned(i);
    }
    const size_t reserved = PageSupply::RegionsReserved();
    ASSERT_GT(reserved, 0u);
    const uint64_t unmapped = PageSupply::RegionCounters().unmapped;
    PageSupply::ReleaseReserve();
    EXPECT_EQ(PageSupply::RegionsReserved(), 0u);
    EXPECT_EQ(PageSupply::RegionCounters().unmapped - unmapped, reserved);
    EXPECT_GT(PageSupply::RegionsInUse(), 0u);
    EXPECT_EQ(alive.GetElement(2999).GetMember("n").AsSigned(), 2999);
    PageSupply::ReleaseReserve();  // nothing left: no effect
    EXPECT_EQ(PageSupply::RegionCounters().unmapped - unmapped, reserved);
}
