#include "Core_Common/PageAllocator.h"

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

namespace Core_Common {
namespace {

constexpr std::uint32_t all_pages_free = (std::uint32_t{1} << pages_per_region) - 1;

std::size_t round_to_pages(std::size_t size) { return (size + page_size - 1) & ~(page_size - 1); }

// The mask of `pages` set bits starting at the lowest page of the first run of that many
// free pages, or 0 when the region has no such run.
std::uint32_t first_free_run(std::uint32_t free_pages, std::size_t pages) {
    const std::uint32_t run = (std::uint32_t{1} << pages) - 1;
    for (std::size_t first = 0; first + pages <= pages_per_region; ++first) {
        if (((free_pages >> first) & run) == run) {
            return run << first;
        }
    }
    return 0;
}

} // namespace

PageAllocator::PageAllocator(VirtualMemory& memory)
    : memory_(memory), platform_page_size_(memory.PageSize()),
      platform_granularity_(memory.AllocationGranularity()) {}

PageAllocator::~PageAllocator() {
    for (const Region& region : regions_) {
        memory_.Release(region.base, region_size);
    }
}

void* PageAllocator::AllocatePages(std::size_t size) {
    if (platform_page_size_ != page_size || platform_granularity_ != region_size) {
        throw std::runtime_error("crash");
    }
    if (size == 0) {
        return nullptr;
    }
    if (size > largest_page_request) {
        throw std::runtime_error("crash");
    }
    const std::size_t rounded = round_to_pages(size);
    void* result = nullptr;
    if (rounded >= region_size) {
        result = memory_.ReserveAndCommit(rounded);
    } else {
        const std::lock_guard lock(mutex_);
        result = AllocateFromRegions(rounded / page_size);
    }
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    return result;
}

void* PageAllocator::AllocateFromRegions(std::size_t pages) {
    for (Region& region : regions_) {
        if (static_cast<std::size_t>(std::popcount(region.free_pages)) < pages) {
            continue;
        }
        const std::uint32_t run = first_free_run(region.free_pages, pages);
        if (run == 0) {
            continue;
        }
        void* address = region.base + std::countr_zero(run) * page_size;
        if (!memory_.Commit(address, pages * page_size)) {
            return nullptr;
        }
        region.free_pages &= ~run;
        return address;
    }

    void* base = memory_.Reserve(region_size);
    if (base == nullptr) {
        return nullptr;
    }
    if (!memory_.Commit(base, pages * page_size)) {
        // No record of a region whose first pages were never handed out: it could never
        // become free again.
        memory_.Release(base, region_size);
        return nullptr;
    }
    const std::uint32_t used = (std::uint32_t{1} << pages) - 1;
    regions_.push_back(Region{static_cast<unsigned char*>(base), all_pages_free & ~used});
    return base;
}

void PageAllocator::FreePages(void* address, std::size_t size) {
    if (size == 0) {
        return;
    }
    const std::size_t rounded = round_to_pages(size);
    if (rounded >= region_size) {
        memory_.Release(address, rounded);
        return;
    }
    const auto first = reinterpret_cast<std::uintptr_t>(address);
    const std::lock_guard lock(mutex_);
    for (auto region = regions_.begin(); region != regions_.end(); ++region) {
        const auto base = reinterpret_cast<std::uintptr_t>(region->base);
        if (first < base || first >= base + region_size) {
            continue;
        }
        // Only pages inside this region, and only once: a stray free must not decommit memory
        // outside it, nor a repeated one count a page twice.
        const std::size_t first_page = (first - base) / page_size;
        const std::size_t end_page = std::min(pages_per_region, first_page + rounded / page_size);
        std::uint32_t freed = 0;
        for (std::size_t page = first_page; page < end_page; ++page) {
            freed |= std::uint32_t{1} << page;
        }
        if ((freed & ~region->free_pages) == 0) {
            return;
        }
        memory_.Decommit(region->base + first_page * page_size,
                         (end_page - first_page) * page_size);
        region->free_pages |= freed;
        if (region->free_pages == all_pages_free) {
            memory_.Release(region->base, region_size);
            regions_.erase(region);
        }
        return;
    }
}

std::size_t PageAllocator::RegionCount() {
    const std::lock_guard lock(mutex_);
    return regions_.size();
}

std::uintptr_t PageAllocator::RegionBase(std::size_t index) {
    const std::lock_guard lock(mutex_);
    return reinterpret_cast<std::uintptr_t>(regions_.at(index).base);
}

std::size_t PageAllocator::RegionFreePageCount(std::size_t index) {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::popcount(regions_.at(index).free_pages));
}

PageAllocator& process_page_allocator() {
    static PageAllocator allocator(system_virtual_memory());
    return allocator;
}

} // namespace Core_Common
