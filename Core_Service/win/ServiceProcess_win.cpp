// The service process's side of the Service Control Manager, the running mutex and the console.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_Service/ServiceProcess.h"
#include "Core_Service/win/RunningMutex_win.h"
#include "Core_Service/win/SystemLog_win.h"

#include <atomic>
#include <mutex>

namespace Core_Service {
namespace {

using Core_Common::ScopedKernelHandle;
using Core_Common::ScopedRegistryKey;
using Core_Common::ScopedServiceHandle;

// What the Windows callbacks forward to. Set before the callbacks can run.
std::atomic<ServiceMainEntry> service_main_entry = nullptr;
std::atomic<ServiceControlEntry> service_control_entry = nullptr;
std::atomic<ConsoleControlEntry> console_control_entry = nullptr;

// No C++ exception may unwind into the system's frames: the guard ends the process first, and
// noexcept stops anything that gets past it.
void WINAPI service_main_callback(DWORD argc, LPWSTR* argv) noexcept {
    if (const ServiceMainEntry entry = service_main_entry) {
        entry(argc, argv); // runs its body under the crash guard itself
    }
}

void WINAPI service_control_callback(DWORD control) noexcept {
    if (const ServiceControlEntry entry = service_control_entry) {
        Core_Common::RunGuarded([entry, control] { entry(control); });
    }
}

BOOL WINAPI console_control_callback(DWORD ctrlType) noexcept {
    const ConsoleControlEntry entry = console_control_entry;
    return entry != nullptr && entry(ctrlType) ? TRUE : FALSE;
}

class WinServiceProcess final : public ServiceProcess {
public:
    void OpenSystemLog(const std::wstring& serviceName) override {
        OpenEventLogSource(serviceName);
    }

    bool RunDispatcher(const std::wstring& serviceName, ServiceMainEntry serviceMain) override {
        service_main_entry = serviceMain;
        std::wstring name = serviceName;
        const SERVICE_TABLE_ENTRYW table[] = {
            {name.data(), &service_main_callback},
            {nullptr, nullptr},
        };
        return StartServiceCtrlDispatcherW(table) != FALSE;
    }

    bool RegisterControlHandler(const std::wstring& serviceName,
                                ServiceControlEntry handler) override {
        service_control_entry = handler;
        status_handle_ =
            RegisterServiceCtrlHandlerW(serviceName.c_str(), &service_control_callback);
        return status_handle_ != nullptr;
    }

    bool SetStatus(const ServiceStatus& status, std::uint32_t& error) override {
        SERVICE_STATUS record{};
        record.dwServiceType = status.serviceType;
        record.dwCurrentState = status.currentState;
        record.dwControlsAccepted = status.controlsAccepted;
        record.dwWin32ExitCode = status.win32ExitCode;
        record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        record.dwCheckPoint = status.checkPoint;
        record.dwWaitHint = status.waitHint;
        if (!SetServiceStatus(status_handle_, &record)) {
            error = GetLastError();
            return false;
        }
        return true;
    }

    void CreateExitEvent() override {
        std::lock_guard lock(event_mutex_);
        exit_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    // Called by control handlers on other threads while the run loop may close the event.
    void SignalExitEvent() override {
        std::lock_guard lock(event_mutex_);
        if (exit_event_) {
            SetEvent(exit_event_.get());
        }
    }

    WaitResult WaitExitEvent(std::uint32_t timeoutMs) override {
        HANDLE event = nullptr;
        {
            std::lock_guard lock(event_mutex_);
            event = exit_event_.get();
        }
        if (event == nullptr) {
            return WaitResult::failed;
        }
        // Only the waiting thread closes the event, so it stays valid for this wait.
        switch (WaitForSingleObject(event, timeoutMs)) {
        case WAIT_OBJECT_0:
            return WaitResult::signalled;
        case WAIT_TIMEOUT:
            return WaitResult::timed_out;
        default:
            return WaitResult::failed;
        }
    }

    void CloseExitEvent() override {
        std::lock_guard lock(event_mutex_);
        exit_event_.reset();
    }

    bool CreateRunningMutex(const std::wstring& serviceName) override {
        // Not owned at creation: for a mutex that exists already (still open in a process that
        // has ended its run, or in a stopper) the initial owner would be ignored. The wait
        // tells a free mutex, or one abandoned by an ended run, from one a run holds.
        running_mutex_ = RunningMutex::Make(serviceName);
        if (!running_mutex_) {
            return true;
        }
        switch (WaitForSingleObject(running_mutex_.get(), 0)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:
            return true;
        case WAIT_TIMEOUT:
            return false;
        default:
            running_mutex_ = RunningMutex();
            return true;
        }
    }

    void ReleaseRunningMutex() override {
        // The handle stays open; a mutex not owned, or none, fails silently.
        ReleaseMutex(running_mutex_.get());
    }

    void AddConsoleControlHandler(ConsoleControlEntry handler) override {
        console_control_entry = handler;
        SetConsoleCtrlHandler(&console_control_callback, TRUE);
    }

private:
    SERVICE_STATUS_HANDLE status_handle_ = nullptr;
    std::mutex event_mutex_;
    ScopedKernelHandle exit_event_;
    RunningMutex running_mutex_;
};

} // namespace

ServiceProcess& SystemServiceProcess() {
    static WinServiceProcess process;
    return process;
}

} // namespace Core_Service
