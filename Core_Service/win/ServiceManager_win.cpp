// The control operations' side of the Service Control Manager and the registry.
#include "Core_Common/win/ObjectSecurity_win.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/win/RunningMutex_win.h"
#include "Core_Service/win/ServiceRecovery_win.h"

namespace Core_Service {
namespace {

using Core_Common::ScopedKernelHandle;
using Core_Common::ScopedRegistryKey;
using Core_Common::ScopedServiceHandle;

class WinServiceHandle final : public ServiceHandle {
public:
    explicit WinServiceHandle(ScopedServiceHandle handle) : handle_(std::move(handle)) {}

    bool QueryState(std::uint32_t& state, ServiceError& error) override {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(handle_.get(), &status)) {
            error.code = GetLastError();
            return false;
        }
        state = status.dwCurrentState;
        return true;
    }

    bool Delete(ServiceError& error) override {
        if (!DeleteService(handle_.get())) {
            error.code = GetLastError();
            return false;
        }
        return true;
    }

    bool Start(ServiceError& error) override {
        if (!StartServiceW(handle_.get(), 0, nullptr)) {
            error.code = GetLastError();
            return false;
        }
        return true;
    }

    bool ControlStop(ServiceError& error) override {
        SERVICE_STATUS status{};
        if (!ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) {
            error.code = GetLastError();
            return false;
        }
        return true;
    }

    bool SetRestartOnFailure(ServiceError& error) override {
        return Core_Service::SetRestartOnFailure(handle_.get(), error.code);
    }

private:
    ScopedServiceHandle handle_;
};

// A list of names as the Service Control Manager takes it: each null-terminated, then one more.
std::wstring multi_string(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const auto& name : names) {
        text += name;
        text.push_back(L'\0');
    }
    text.push_back(L'\0');
    return text;
}

class WinManagerHandle final : public ManagerHandle {
public:
    explicit WinManagerHandle(ScopedServiceHandle handle) : handle_(std::move(handle)) {}

    std::unique_ptr<ServiceHandle> CreateServiceEntry(const ServiceDefinition& definition,
                                                      ServiceError& error) override {
        const std::wstring dependencies = multi_string(definition.dependencies);
        ScopedServiceHandle service(CreateServiceW(
            handle_.get(), definition.serviceName.c_str(), definition.displayName.c_str(),
            SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
            definition.commandLine.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr,
            nullptr));
        if (!service) {
            error.code = GetLastError();
            return nullptr;
        }
        return std::make_unique<WinServiceHandle>(std::move(service));
    }

    std::unique_ptr<ServiceHandle> OpenServiceEntry(const std::wstring& serviceName,
                                                    std::uint32_t access,
                                                    ServiceError& error) override {
        ScopedServiceHandle service(OpenServiceW(handle_.get(), serviceName.c_str(), access));
        if (!service) {
            error.code = GetLastError();
            return nullptr;
        }
        return std::make_unique<WinServiceHandle>(std::move(service));
    }

private:
    ScopedServiceHandle handle_;
};

// The Application log's sources, one key each.
const std::wstring event_sources_key =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

bool set_value(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes,
               ServiceError& error) {
    const LSTATUS status =
        RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    if (status != ERROR_SUCCESS) {
        error = {static_cast<std::uint32_t>(status), {}};
        return false;
    }
    return true;
}

class WinServiceManager final : public ServiceManager {
public:
    bool RegisterLogSource(const std::wstring& serviceName, const std::wstring& programPath,
                           ServiceError& error) override {
        HKEY created = nullptr;
        const LSTATUS status = RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, (event_sources_key + serviceName).c_str(), 0, nullptr,
            REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &created, nullptr);
        if (status != ERROR_SUCCESS) {
            error = {static_cast<std::uint32_t>(status), {}};
            return false;
        }
        const ScopedRegistryKey key(created);
        // The message texts are in the program's own message table.
        const auto pathBytes = static_cast<DWORD>((programPath.size() + 1) * sizeof(wchar_t));
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        return set_value(key.get(), L"EventMessageFile", REG_EXPAND_SZ, programPath.c_str(),
                         pathBytes, error) &&
               set_value(key.get(), L"TypesSupported", REG_DWORD, &types, sizeof types, error);
    }

    bool RemoveLogSource(const std::wstring& serviceName, ServiceError& error) override {
        const LSTATUS status =
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, (event_sources_key + serviceName).c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            error = {static_cast<std::uint32_t>(status), {}};
            return false;
        }
        return true;
    }

    std::unique_ptr<ManagerHandle> OpenManager(std::uint32_t access, ServiceError& error) override {
        ScopedServiceHandle manager(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access));
        if (!manager) {
            error.code = GetLastError();
            return nullptr;
        }
        return std::make_unique<WinManagerHandle>(std::move(manager));
    }

    bool WriteDescription(const std::wstring& serviceName,
                          const std::wstring& description) override {
        const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
        HKEY opened = nullptr;
        if (RegOpenKeyW(HKEY_LOCAL_MACHINE, path.c_str(), &opened) != ERROR_SUCCESS) {
            return false;
        }
        const ScopedRegistryKey key(opened);
        // REG_SZ data counts its terminating null.
        const auto bytes = static_cast<DWORD>((description.size() + 1) * sizeof(wchar_t));
        return RegSetValueExW(key.get(), L"Description", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(description.c_str()),
                              bytes) == ERROR_SUCCESS;
    }

    bool ReadProgramSecurity(const std::wstring& programPath,
                             std::vector<Core_Common::ObjectSecurity>& chain,
                             ServiceError& error) override {
        return Core_Common::read_path_chain(programPath, chain, error.code);
    }

    bool QueryService(const std::wstring& serviceName, ServiceQuery& query,
                      ServiceError& error) override {
        query = {};
        // The least the query needs: what every account may do.
        const ScopedServiceHandle manager(
            OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
        if (!manager) {
            error.code = GetLastError();
            return false;
        }
        const ScopedServiceHandle service(
            OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
        if (!service) {
            const DWORD code = GetLastError();
            if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
                return true;
            }
            error.code = code;
            return false;
        }
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service.get(), &status)) {
            error.code = GetLastError();
            return false;
        }
        query.installed = true;
        query.state = status.dwCurrentState;
        return true;
    }

    RunEndWait WaitForRunEnd(const std::wstring& serviceName, std::uint32_t timeoutMs,
                             ServiceError& error) override {
        const RunningMutex mutex = RunningMutex::Open(serviceName, error.code);
        if (!mutex) {
            return error.code == ERROR_FILE_NOT_FOUND ? RunEndWait::gone : RunEndWait::cannot_open;
        }
        switch (WaitForSingleObject(mutex.get(), timeoutMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            // Abandoned: the process of the run has ended, and its run with it. The wait made
            // this thread the owner; hand the mutex back so that a service started next (by a
            // restart) can own it.
            ReleaseMutex(mutex.get());
            return RunEndWait::ended;
        case WAIT_TIMEOUT:
            error.code = ERROR_SERVICE_REQUEST_TIMEOUT;
            return RunEndWait::no_response;
        default:
            error.code = GetLastError();
            return RunEndWait::cannot_open;
        }
    }
};

} // namespace

ServiceManager& SystemServiceManager() {
    static WinServiceManager manager;
    return manager;
}

} // namespace Core_Service
