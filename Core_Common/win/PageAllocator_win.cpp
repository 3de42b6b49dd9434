#include "Core_Common/PageAllocator.h"

#include "Core_Common/win/WinApi.h"

namespace Core_Common {
namespace {

class WindowsVirtualMemory final : public VirtualMemory {
public:
    WindowsVirtualMemory() { GetSystemInfo(&info_); }

    std::uint32_t PageSize() override { return info_.dwPageSize; }
    std::uint32_t AllocationGranularity() override { return info_.dwAllocationGranularity; }

    void* ReserveAndCommit(std::size_t size) override {
        return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }
    void* Reserve(std::size_t size) override {
        return VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
    }
    bool Commit(void* address, std::size_t size) override {
        return VirtualAlloc(address, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
    }
    void Decommit(void* address, std::size_t size) override {
        VirtualFree(address, size, MEM_DECOMMIT);
    }
    void Release(void* address, std::size_t /*size*/) override {
        VirtualFree(address, 0, MEM_RELEASE);
    }

private:
    SYSTEM_INFO info_{};
};

} // namespace

VirtualMemory& system_virtual_memory() {
    static WindowsVirtualMemory memory;
    return memory;
}

} // namespace Core_Common
