// Reserve is a mapping without access, commit grants read-write, decommit drops the pages'
// contents and access again, release unmaps. Linux has no allocation granularity of its own:
// the regions' 65536 bytes stand for it.
#include "Core_Common/PageAllocator.h"

#include <sys/mman.h>
#include <unistd.h>

namespace Core_Common {
namespace {

class LinuxVirtualMemory final : public VirtualMemory {
public:
    std::uint32_t PageSize() override { return static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)); }
    std::uint32_t AllocationGranularity() override { return region_size; }

    void* ReserveAndCommit(std::size_t size) override {
        return Map(size, PROT_READ | PROT_WRITE, 0);
    }
    void* Reserve(std::size_t size) override { return Map(size, PROT_NONE, MAP_NORESERVE); }
    bool Commit(void* address, std::size_t size) override {
        return mprotect(address, size, PROT_READ | PROT_WRITE) == 0;
    }
    void Decommit(void* address, std::size_t size) override {
        madvise(address, size, MADV_DONTNEED);
        mprotect(address, size, PROT_NONE);
    }
    void Release(void* address, std::size_t size) override { munmap(address, size); }

private:
    static void* Map(std::size_t size, int protection, int flags) {
        void* address = mmap(nullptr, size, protection, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
        return address == MAP_FAILED ? nullptr : address;
    }
};

} // namespace

VirtualMemory& system_virtual_memory() {
    static LinuxVirtualMemory memory;
    return memory;
}

} // namespace Core_Common
