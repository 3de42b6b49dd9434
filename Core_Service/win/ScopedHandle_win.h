// The owners of the Windows handle kinds the service host uses.
#pragma once

#include "Core_Common/win/WinApi.h"
#include "Core_Service/ScopedHandle.h"

namespace Core_Service {

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { CloseHandle(handle); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { CloseServiceHandle(handle); }
};

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { RegCloseKey(handle); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;

} // namespace Core_Service
