#include "Core_Common/PageAllocator.h"

#include "fakes/FailingVirtualMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Core_Common::PageAllocator;
using tw_test::FailingVirtualMemory;

constexpr std::size_t page = 4096;

std::uintptr_t address_of(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

std::string crash_text(PageAllocator& pages, std::size_t size) {
    try {
        pages.AllocatePages(size);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no exception";
}

class PageAllocatorTest : public testing::Test {
protected:
    // Sixteen one-page allocations: exactly one region, in page order.
    std::vector<void*> FillOneRegion() {
        std::vector<void*> pages;
        pages.reserve(16);
        for (int i = 0; i < 16; ++i) {
            pages.push_back(allocator.AllocatePages(page));
        }
        return pages;
    }

    FailingVirtualMemory memory;
    PageAllocator allocator{memory};
};

TEST_F(PageAllocatorTest, ZeroBytesGiveNullWithoutTouchingThePlatform) {
    EXPECT_EQ(allocator.AllocatePages(0), nullptr);
    allocator.FreePages(nullptr, 0);
    EXPECT_EQ(memory.reserves + memory.commits + memory.large_spans, 0);
}

TEST_F(PageAllocatorTest, SixteenPagesFillOneRegionAndTheSeventeenthReservesASecond) {
    const auto pages = FillOneRegion();
    ASSERT_EQ(allocator.RegionCount(), 1u);
    EXPECT_EQ(memory.reserves, 1);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 0u);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(address_of(pages[i]), allocator.RegionBase(0) + i * page) << i;
        std::memset(pages[i], 0x5A, page); // committed and writable
    }

    void* seventeenth = allocator.AllocatePages(page);
    ASSERT_EQ(allocator.RegionCount(), 2u);
    EXPECT_EQ(memory.reserves, 2);
    EXPECT_EQ(address_of(seventeenth), allocator.RegionBase(1));
    EXPECT_EQ(allocator.RegionFreePageCount(1), 15u);
}

TEST_F(PageAllocatorTest, TwoFreedPagesInARegionServeATwoPageRequestButNotAThreePageOne) {
    auto pages = FillOneRegion();
    allocator.FreePages(pages[2], page);
    allocator.FreePages(pages[3], page);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 2u);

    void* two = allocator.AllocatePages(2 * page);
    EXPECT_EQ(two, pages[2]);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 0u);
    EXPECT_EQ(memory.reserves, 1);

    allocator.FreePages(two, 2 * page);
    void* three = allocator.AllocatePages(3 * page);
    ASSERT_EQ(allocator.RegionCount(), 2u);
    EXPECT_EQ(address_of(three), allocator.RegionBase(1));
    EXPECT_EQ(allocator.RegionFreePageCount(0), 2u);
}

TEST_F(PageAllocatorTest, RunSearchStartsAgainAfterAGap) {
    auto pages = FillOneRegion();
    allocator.FreePages(pages[2], page);
    allocator.FreePages(pages[4], page);
    allocator.FreePages(pages[5], page);
    void* two = allocator.AllocatePages(2 * page);
    EXPECT_EQ(two, pages[4]);
    EXPECT_EQ(allocator.RegionCount(), 1u);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 1u);
}

TEST_F(PageAllocatorTest, RegionsAreSearchedInListOrder) {
    auto first = FillOneRegion();
    auto second = FillOneRegion();
    allocator.FreePages(second[7], page);
    allocator.FreePages(first[9], page);
    EXPECT_EQ(allocator.AllocatePages(page), first[9]);
    EXPECT_EQ(allocator.AllocatePages(page), second[7]);
}

TEST_F(PageAllocatorTest, FiveThousandBytesTakeTwoConsecutivePages) {
    void* block = allocator.AllocatePages(5000);
    EXPECT_EQ(memory.committed_bytes, 2 * page);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 14u);
    std::memset(block, 1, 2 * page);
    EXPECT_EQ(address_of(allocator.AllocatePages(1)), address_of(block) + 2 * page);
}

TEST_F(PageAllocatorTest, SpansOf65536BytesAndMoreBypassTheRegions) {
    constexpr std::size_t over_fifteen_pages = 15 * page + 1;
    void* exact = allocator.AllocatePages(65536);
    void* rounded = allocator.AllocatePages(over_fifteen_pages); // rounds up to 16 pages
    void* larger = allocator.AllocatePages(200000);
    EXPECT_EQ(memory.large_spans, 3);
    EXPECT_EQ(memory.reserves, 0);
    EXPECT_EQ(allocator.RegionCount(), 0u);
    std::memset(larger, 1, 200000);
    allocator.FreePages(exact, 65536);
    allocator.FreePages(rounded, over_fifteen_pages);
    allocator.FreePages(larger, 200000);
    EXPECT_EQ(memory.releases, 3);
    EXPECT_EQ(memory.decommits, 0);
}

TEST_F(PageAllocatorTest, FifteenPagesStillComeFromARegion) {
    allocator.AllocatePages(15 * page);
    EXPECT_EQ(memory.large_spans, 0);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 1u);
}

TEST_F(PageAllocatorTest, FreedPagesAreDecommittedAtOnce) {
    auto* kept = static_cast<unsigned char*>(allocator.AllocatePages(page));
    auto* freed = static_cast<unsigned char*>(allocator.AllocatePages(page));
    std::memset(freed, 0xAB, page);
    allocator.FreePages(freed, page);
    EXPECT_EQ(memory.decommits, 1);
    EXPECT_EQ(memory.decommitted_bytes, page);
    EXPECT_EQ(memory.releases, 0);

    auto* again = static_cast<unsigned char*>(allocator.AllocatePages(page));
    ASSERT_EQ(again, freed);
    EXPECT_EQ(again[0], 0); // a fresh commit: the old contents are gone
    EXPECT_EQ(again[page - 1], 0);
    allocator.FreePages(again, page);
    allocator.FreePages(kept, page);
}

TEST_F(PageAllocatorTest, RegionIsReleasedWhenAllItsPagesAreFree) {
    void* two = allocator.AllocatePages(2 * page);
    void* one = allocator.AllocatePages(page);
    allocator.FreePages(two, 2 * page);
    EXPECT_EQ(allocator.RegionCount(), 1u);
    EXPECT_EQ(memory.releases, 0);
    allocator.FreePages(one, page);
    EXPECT_EQ(allocator.RegionCount(), 0u);
    EXPECT_EQ(memory.releases, 1);

    allocator.AllocatePages(page);
    EXPECT_EQ(memory.reserves, 2);
}

TEST_F(PageAllocatorTest, OnlyTheEmptiedRegionIsReleased) {
    auto first = FillOneRegion();
    auto second = FillOneRegion();
    for (void* p : first) {
        allocator.FreePages(p, page);
    }
    ASSERT_EQ(allocator.RegionCount(), 1u);
    EXPECT_EQ(allocator.RegionBase(0), address_of(second[0]));
}

TEST_F(PageAllocatorTest, FreeOfAnAddressInNoRegionIsIgnored) {
    void* kept = allocator.AllocatePages(page);
    unsigned char outside[page] = {7};
    allocator.FreePages(outside, page);
    EXPECT_EQ(outside[0], 7);
    EXPECT_EQ(memory.decommits, 0);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 15u);
    allocator.FreePages(kept, page);
}

TEST_F(PageAllocatorTest, RepeatedFreeDoesNotCountAPageTwice) {
    auto pages = FillOneRegion();
    allocator.FreePages(pages[1], page);
    allocator.FreePages(pages[1], page);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 1u);
    EXPECT_EQ(memory.decommits, 1);
}

TEST_F(PageAllocatorTest, RefusedCommitOfANewRegionRaisesOutOfMemoryAndKeepsNoRegion) {
    memory.commits_before_failure = 0;
    EXPECT_THROW(allocator.AllocatePages(page), std::bad_alloc);
    EXPECT_EQ(allocator.RegionCount(), 0u);
    EXPECT_EQ(memory.releases, 1); // the reservation goes back

    memory.commits_before_failure = FailingVirtualMemory::never;
    EXPECT_NE(allocator.AllocatePages(page), nullptr);
    EXPECT_EQ(allocator.RegionCount(), 1u);
}

TEST_F(PageAllocatorTest, RefusedCommitInsideARegionKeepsItsFreePages) {
    allocator.AllocatePages(page);
    memory.commits_before_failure = 0;
    EXPECT_THROW(allocator.AllocatePages(2 * page), std::bad_alloc);
    EXPECT_EQ(allocator.RegionFreePageCount(0), 15u);
}

TEST_F(PageAllocatorTest, RefusedReservationRaisesOutOfMemory) {
    memory.reserves_before_failure = 0;
    EXPECT_THROW(allocator.AllocatePages(page), std::bad_alloc);
    EXPECT_THROW(allocator.AllocatePages(65536), std::bad_alloc);
    EXPECT_EQ(allocator.RegionCount(), 0u);
}

TEST_F(PageAllocatorTest, RequestAboveOneGibibyteIsACrash) {
    EXPECT_EQ(crash_text(allocator, 1073741825), "crash");
    memory.reserves_before_failure = 0; // exactly 1 GiB is a platform request, refused here
    EXPECT_THROW(allocator.AllocatePages(1073741824), std::bad_alloc);
}

TEST(PageAllocatorPlatform, OtherPageSizeOrGranularityIsACrash) {
    FailingVirtualMemory large_pages;
    large_pages.page_size = 8192;
    PageAllocator with_large_pages(large_pages);
    EXPECT_EQ(crash_text(with_large_pages, page), "crash");
    EXPECT_EQ(crash_text(with_large_pages, 0), "crash"); // checked before the zero size

    FailingVirtualMemory fine_granularity;
    fine_granularity.granularity = 4096;
    PageAllocator with_fine_granularity(fine_granularity);
    EXPECT_EQ(crash_text(with_fine_granularity, page), "crash");
    EXPECT_EQ(fine_granularity.reserves + fine_granularity.commits, 0);
}

TEST(PageAllocatorPlatform, ThePlatformHas4096BytePagesAnd65536ByteGranularity) {
    auto& memory = Core_Common::system_virtual_memory();
    EXPECT_EQ(memory.PageSize(), 4096u);
    EXPECT_EQ(memory.AllocationGranularity(), 65536u);
    auto& pages = Core_Common::process_page_allocator();
    void* block = pages.AllocatePages(page);
    ASSERT_NE(block, nullptr);
    std::memset(block, 3, page);
    pages.FreePages(block, page);
}

} // namespace
