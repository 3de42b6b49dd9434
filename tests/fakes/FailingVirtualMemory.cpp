#include "fakes/FailingVirtualMemory.h"

namespace tw_test {

using Core_Common::system_virtual_memory;

bool FailingVirtualMemory::Allowed(int& left) {
    if (left == never) {
        return true;
    }
    if (left == 0) {
        return false;
    }
    --left;
    return true;
}

void* FailingVirtualMemory::ReserveAndCommit(std::size_t size) {
    if (!Allowed(reserves_before_failure)) {
        return nullptr;
    }
    ++large_spans;
    return system_virtual_memory().ReserveAndCommit(size);
}

void* FailingVirtualMemory::Reserve(std::size_t size) {
    if (!Allowed(reserves_before_failure)) {
        return nullptr;
    }
    ++reserves;
    return system_virtual_memory().Reserve(size);
}

bool FailingVirtualMemory::Commit(void* address, std::size_t size) {
    if (!Allowed(commits_before_failure)) {
        return false;
    }
    ++commits;
    committed_bytes += size;
    return system_virtual_memory().Commit(address, size);
}

void FailingVirtualMemory::Decommit(void* address, std::size_t size) {
    ++decommits;
    decommitted_bytes += size;
    system_virtual_memory().Decommit(address, size);
}

void FailingVirtualMemory::Release(void* address, std::size_t size) {
    ++releases;
    system_virtual_memory().Release(address, size);
}

} // namespace tw_test
