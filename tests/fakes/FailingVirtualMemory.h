#pragma once

#include "Core_Common/PageAllocator.h"

#include <cstddef>
#include <cstdint>

namespace tw_test {

// The platform's virtual memory with faults on demand: commits or reservations that fail
// after a number of successes, and other platform facts. Counts every call.
class FailingVirtualMemory final : public Core_Common::VirtualMemory {
public:
    static constexpr int never = -1;

    std::uint32_t page_size = 4096;
    std::uint32_t granularity = 65536;
    int commits_before_failure = never;  // successful commits left; 0 fails every one
    int reserves_before_failure = never; // the same for Reserve and ReserveAndCommit

    int reserves = 0;
    int large_spans = 0;
    int commits = 0;
    int decommits = 0;
    int releases = 0;
    std::size_t committed_bytes = 0;
    std::size_t decommitted_bytes = 0;

    std::uint32_t PageSize() override { return page_size; }
    std::uint32_t AllocationGranularity() override { return granularity; }
    void* ReserveAndCommit(std::size_t size) override;
    void* Reserve(std::size_t size) override;
    bool Commit(void* address, std::size_t size) override;
    void Decommit(void* address, std::size_t size) override;
    void Release(void* address, std::size_t size) override;

private:
    static bool Allowed(int& left);
};

} // namespace tw_test
