// The owners of the Windows handle kinds.
#pragma once

#include "Core_Common/ScopedHandle.h"
#include "Core_Common/win/WinApi.h"

namespace Core_Common {

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { CloseHandle(handle); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not as a null handle.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle invalid() { return INVALID_HANDLE_VALUE; }
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

struct LibraryTraits {
    using Handle = HMODULE;
    static Handle invalid() { return nullptr; }
    static void close(Handle handle) { FreeLibrary(handle); }
};

// Memory the system hands out to be freed with LocalFree (security descriptors, for example).
struct LocalMemoryTraits {
    using Handle = void*;
    static Handle invalid() { return nullptr; }
    static void close(Handle memory) { LocalFree(memory); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;
using ScopedLibrary = ScopedHandle<LibraryTraits>;
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;

} // namespace Core_Common
