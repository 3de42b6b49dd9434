#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Core_Common {

// The platform's virtual memory, in the steps the page allocator takes. Each operation
// reports failure by its result and never throws.
class VirtualMemory {
public:
    virtual ~VirtualMemory() = default;
    virtual std::uint32_t PageSize() = 0;
    virtual std::uint32_t AllocationGranularity() = 0;
    // Reserves and commits read-write in one request; null when refused.
    virtual void* ReserveAndCommit(std::size_t size) = 0;
    // Reserves address space without access; null when refused.
    virtual void* Reserve(std::size_t size) = 0;
    virtual bool Commit(void* address, std::size_t size) = 0;
    virtual void Decommit(void* address, std::size_t size) = 0;
    // Gives back a whole span obtained from Reserve or ReserveAndCommit.
    virtual void Release(void* address, std::size_t size) = 0;
};

// The platform's virtual memory; defined in the OS part.
VirtualMemory& system_virtual_memory();

inline constexpr std::size_t page_size = 4096;
inline constexpr std::size_t region_size = 65536;
inline constexpr std::size_t pages_per_region = region_size / page_size;
inline constexpr std::size_t largest_page_request = 1073741824;

// Pages straight from virtual memory. Requests below 65536 bytes share 65536-byte regions of
// reserved address space and commit only the pages they use; larger ones get a span of their
// own. Freed pages are decommitted at once, and a region is released when all of its pages
// are free.
class PageAllocator {
public:
    explicit PageAllocator(VirtualMemory& memory);
    // Releases the regions that are left.
    ~PageAllocator();
    PageAllocator(const PageAllocator&) = delete;
    PageAllocator& operator=(const PageAllocator&) = delete;

    // Committed read-write memory of at least size bytes, page aligned; null for 0. Throws
    // std::runtime_error("crash") on a platform without 4096-byte pages and 65536-byte
    // granularity or for more than 1 GiB, and std::bad_alloc when the platform refuses.
    void* AllocatePages(std::size_t size);
    // Gives back memory from AllocatePages with the same size. An address in no region is
    // ignored.
    void FreePages(void* address, std::size_t size);

    std::size_t RegionCount();
    // Base address of the region at index (in list order) and how many of its pages are free.
    std::uintptr_t RegionBase(std::size_t index);
    std::size_t RegionFreePageCount(std::size_t index);

private:
    struct Region {
        unsigned char* base;
        std::uint32_t free_pages; // bit i: page i is reserved but not committed
    };

    void* AllocateFromRegions(std::size_t pages);

    VirtualMemory& memory_;
    std::uint32_t platform_page_size_;
    std::uint32_t platform_granularity_;
    std::mutex mutex_;
    std::vector<Region> regions_;
};

// The process-wide allocator over the platform's virtual memory, shared by every pool.
PageAllocator& process_page_allocator();

} // namespace Core_Common
