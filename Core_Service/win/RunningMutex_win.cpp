#include "Core_Service/win/RunningMutex_win.h"

#include "Core_Common/win/ObjectSecurity_win.h"

namespace Core_Service {
namespace {

using Core_Common::ScopedKernelHandle;

// The private-namespace calls, looked up at run time: Wine's kernel32 has none of them but a
// stub of the first, and a static import would keep the program from starting there.
struct NamespaceApi {
    using CreateBoundary = HANDLE(WINAPI*)(LPCWSTR, ULONG);
    using AddSid = BOOL(WINAPI*)(HANDLE*, PSID);
    using DeleteBoundary = VOID(WINAPI*)(HANDLE);
    using CreateNamespace = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
    using OpenNamespace = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
    using CloseNamespace = BOOLEAN(WINAPI*)(HANDLE, ULONG);

    CreateBoundary createBoundary = nullptr;
    AddSid addSid = nullptr;
    DeleteBoundary deleteBoundary = nullptr;
    CreateNamespace createNamespace = nullptr;
    OpenNamespace openNamespace = nullptr;
    CloseNamespace closeNamespace = nullptr;

    bool complete() const {
        return createBoundary != nullptr && addSid != nullptr && deleteBoundary != nullptr &&
               createNamespace != nullptr && openNamespace != nullptr && closeNamespace != nullptr;
    }
};

template <class Function> Function kernel_function(const char* name) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel == nullptr ? nullptr
                             : reinterpret_cast<Function>(
                                   reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

const NamespaceApi& namespace_api() {
    static const NamespaceApi api = [] {
        NamespaceApi found;
        found.createBoundary =
            kernel_function<NamespaceApi::CreateBoundary>("CreateBoundaryDescriptorW");
        found.addSid = kernel_function<NamespaceApi::AddSid>("AddSIDToBoundaryDescriptor");
        found.deleteBoundary =
            kernel_function<NamespaceApi::DeleteBoundary>("DeleteBoundaryDescriptor");
        found.createNamespace =
            kernel_function<NamespaceApi::CreateNamespace>("CreatePrivateNamespaceW");
        found.openNamespace = kernel_function<NamespaceApi::OpenNamespace>("OpenPrivateNamespaceW");
        found.closeNamespace =
            kernel_function<NamespaceApi::CloseNamespace>("ClosePrivateNamespace");
        return found;
    }();
    return api;
}

const std::wstring mutex_prefix = L"MUTEX_TARNWICK_SERVICE_";

// SYSTEM and the Administrators, everything; no one else, anything.
constexpr const wchar_t* system_and_administrators = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// The same, owned by the Administrators, which only a process of that group can set.
constexpr const wchar_t* owned_by_administrators = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

// The boundary descriptor: the service's name and the Administrators group.
class Boundary {
public:
    explicit Boundary(const std::wstring& serviceName) {
        const NamespaceApi& api = namespace_api();
        boundary_ = api.createBoundary(serviceName.c_str(), 0);
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        if (boundary_ != nullptr &&
            (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
             !api.addSid(&boundary_, administrators))) {
            api.deleteBoundary(boundary_);
            boundary_ = nullptr;
        }
    }
    ~Boundary() {
        if (boundary_ != nullptr) {
            namespace_api().deleteBoundary(boundary_);
        }
    }
    Boundary(const Boundary&) = delete;
    Boundary& operator=(const Boundary&) = delete;

    HANDLE get() const { return boundary_; }

private:
    HANDLE boundary_ = nullptr;
};

bool system_or_administrators(Core_Common::Account account) {
    return account == Core_Common::Account::system ||
           account == Core_Common::Account::administrators;
}

} // namespace

void PrivateNamespaceTraits::close(Handle handle) {
    if (const auto close = namespace_api().closeNamespace) {
        close(handle, 0);
    }
}

RunningMutex RunningMutex::Make(const std::wstring& serviceName) {
    RunningMutex made;
    if (!namespace_api().complete()) {
        const std::wstring name = L"Global\\" + mutex_prefix + serviceName;
        Core_Common::SecurityAttributes owned(owned_by_administrators);
        made.mutex_.reset(CreateMutexW(owned.get(), FALSE, name.c_str()));
        if (!made.mutex_ && GetLastError() == ERROR_INVALID_OWNER) {
            // Not an administrator: a mutex of its own owner, which no other run trusts.
            Core_Common::SecurityAttributes plain(system_and_administrators);
            made.mutex_.reset(CreateMutexW(plain.get(), FALSE, name.c_str()));
        }
        if (made.mutex_ && GetLastError() == ERROR_ALREADY_EXISTS &&
            !system_or_administrators(Core_Common::owner_of(made.mutex_.get()))) {
            made.mutex_.reset();
        }
        return made;
    }
    const Boundary boundary(serviceName);
    if (boundary.get() == nullptr) {
        return made;
    }
    Core_Common::SecurityAttributes namespaceSecurity(system_and_administrators);
    // Made here, or opened when another process made it; made anew when its maker closed it
    // between the two calls (then it can no longer be opened).
    for (int attempt = 0; attempt < 3 && !made.namespace_; ++attempt) {
        made.namespace_.reset(namespace_api().createNamespace(namespaceSecurity.get(),
                                                              boundary.get(), serviceName.c_str()));
        if (!made.namespace_ && GetLastError() == ERROR_ALREADY_EXISTS) {
            made.namespace_.reset(
                namespace_api().openNamespace(boundary.get(), serviceName.c_str()));
        } else if (!made.namespace_) {
            break;
        }
    }
    if (!made.namespace_) {
        return made;
    }
    const std::wstring name = serviceName + L"\\" + mutex_prefix + serviceName;
    Core_Common::SecurityAttributes mutexSecurity(system_and_administrators);
    made.mutex_.reset(CreateMutexW(mutexSecurity.get(), FALSE, name.c_str()));
    return made;
}

RunningMutex RunningMutex::Open(const std::wstring& serviceName, std::uint32_t& error) {
    RunningMutex opened;
    if (!namespace_api().complete()) {
        const std::wstring name = L"Global\\" + mutex_prefix + serviceName;
        opened.mutex_.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
        if (!opened.mutex_) {
            error = GetLastError();
        } else if (!system_or_administrators(Core_Common::owner_of(opened.mutex_.get()))) {
            // Someone else's mutex of that name: no run of the service holds it.
            opened.mutex_.reset();
            error = ERROR_FILE_NOT_FOUND;
        }
        return opened;
    }
    const Boundary boundary(serviceName);
    if (boundary.get() == nullptr) {
        error = GetLastError();
        return opened;
    }
    opened.namespace_.reset(namespace_api().openNamespace(boundary.get(), serviceName.c_str()));
    if (!opened.namespace_) {
        error = GetLastError();
        // No namespace: no run has made one, or the last one has ended.
        if (error == ERROR_PATH_NOT_FOUND) {
            error = ERROR_FILE_NOT_FOUND;
        }
        return opened;
    }
    const std::wstring name = serviceName + L"\\" + mutex_prefix + serviceName;
    opened.mutex_.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    if (!opened.mutex_) {
        error = GetLastError();
    }
    return opened;
}

} // namespace Core_Service
