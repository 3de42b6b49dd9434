// The running mutex of a service's runs: held by the service's run or a debug run while it
// lasts, waited on by a stop. Only SYSTEM and the administrators can make it or take it, so that
// no other account can hold it first and keep every run from starting (or a stop waiting).
#pragma once

#include "Core_Common/ScopedHandle.h"
#include "Core_Common/win/ScopedHandle_win.h"

#include <cstdint>
#include <string>

namespace Core_Service {

struct PrivateNamespaceTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle);
};
using ScopedPrivateNamespace = Core_Common::ScopedHandle<PrivateNamespaceTraits>;

// The mutex lives in a private namespace whose boundary is the Administrators group (Windows
// Vista and later): an object can be made in it only by a process of that group, and the
// namespace and the mutex let only SYSTEM and the administrators in. Where the system has no
// private namespaces (Wine), it takes its global name "Global\MUTEX_TARNWICK_SERVICE_<name>",
// made with the Administrators as its owner; a mutex of that name with any other owner belongs
// to someone else and is left alone.
class RunningMutex {
public:
    // Makes the mutex, or opens the one a run in progress has made; owned by no one either way.
    // Empty when no mutex can be had.
    static RunningMutex Make(const std::wstring& serviceName);
    // Opens the mutex of a run in progress; empty with the system's code, ERROR_FILE_NOT_FOUND
    // when no run has one.
    static RunningMutex Open(const std::wstring& serviceName, std::uint32_t& error);

    HANDLE get() const { return mutex_.get(); }
    explicit operator bool() const { return mutex_.valid(); }

private:
    // The namespace stays open as long as the mutex: while its maker holds it, others find it.
    ScopedPrivateNamespace namespace_;
    Core_Common::ScopedKernelHandle mutex_;
};

} // namespace Core_Service
