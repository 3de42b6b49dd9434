#include "Core_Service/ServiceDispatcher.h"

#include "Core_Common/CrashGuard.h"
#include "Core_Common/Utility.h"

namespace Core_Service {
namespace {

constexpr std::uint32_t run_loop_wait_ms = 100;

// Entries the platform calls; they reach the single dispatcher, if there is one.
void control_entry(std::uint32_t control) {
    if (ServiceDispatcher* dispatcher = ServiceDispatcher::instance) {
        dispatcher->ServiceControlHandler(control);
    }
}

bool console_entry(std::uint32_t ctrlType) {
    ServiceDispatcher* dispatcher = ServiceDispatcher::instance;
    return dispatcher != nullptr && dispatcher->ConsoleControlHandler(ctrlType);
}

} // namespace

ServiceDispatcher::ServiceDispatcher(ServiceManager& manager, ServiceProcess& process)
    : LogHelper(L"ServiceDispatcher"), manager_(manager), process_(process) {}

ServiceStatus ServiceDispatcher::Status() const {
    std::lock_guard lock(status_mutex_);
    return status_;
}

void ServiceDispatcher::ReportSystemFailure(std::uint32_t error) const {
    WriteLog(log_error, error, Core_Common::system_error_text(error));
}

void ServiceDispatcher::RunServiceMode() {
    process_.HoldStopSignals(false);
    // Before the first binding pass: its pins and errors are the first events.
    process_.OpenSystemLog(service_name_);
    if (handler_ == nullptr || !handler_.load()->OnStart()) {
        return;
    }
    // Returns at once when the process was not started by the service manager.
    process_.RunDispatcher(service_name_, &ServiceDispatcher::ServiceMain);
}

void ServiceDispatcher::ServiceMain(std::uint32_t /*argc*/, wchar_t** /*argv*/) {
    Core_Common::RunGuarded([] {
        if (ServiceDispatcher* dispatcher = instance) {
            dispatcher->RunService();
        }
    });
}

void ServiceDispatcher::SetState(std::uint32_t state, std::uint32_t controlsAccepted) {
    std::lock_guard lock(status_mutex_);
    status_.currentState = state;
    status_.controlsAccepted = controlsAccepted;
}

void ServiceDispatcher::RunLoop() {
    while (process_.WaitExitEvent(run_loop_wait_ms) != WaitResult::signalled) {
        if (handler_ != nullptr) {
            handler_.load()->OnIdle();
        }
    }
}

void ServiceDispatcher::RunService() {
    {
        std::lock_guard lock(status_mutex_);
        status_ = ServiceStatus{};
        status_.serviceType = service_type_win32;
    }
    if (!process_.RegisterControlHandler(service_name_, &control_entry)) {
        handler_ = nullptr;
        return;
    }
    SetState(service_start_pending, 0);
    ReportStatus();

    process_.CreateExitEvent();
    process_.CreateRunningMutex(service_name_);

    SetState(service_running, accept_stop | accept_shutdown);
    ReportStatus();

    RunLoop();

    SetState(service_stop_pending, accept_stop | accept_shutdown);
    ReportStatus();
    process_.CloseExitEvent();
    SetState(service_stopped, 0);
    ReportStatus();

    process_.ReleaseRunningMutex();
}

void ServiceDispatcher::ServiceControlHandler(std::uint32_t control) {
    switch (control) {
    case control_stop:
        if (handler_ != nullptr) {
            handler_.load()->OnStop();
        }
        process_.SignalExitEvent();
        return;
    case control_shutdown:
        if (handler_ != nullptr) {
            handler_.load()->OnShutdown();
        }
        process_.SignalExitEvent();
        return;
    default:
        if (control >= control_user_first && control <= control_user_last && handler_ != nullptr) {
            handler_.load()->OnUserControl(control);
        }
        // Pause, continue, interrogate and every other code re-send the unchanged record.
        ReportStatus();
        return;
    }
}

bool ServiceDispatcher::ConsoleControlHandler(std::uint32_t ctrlType) {
    switch (ctrlType) {
    case ctrl_c_event:
    case ctrl_break_event:
    case ctrl_close_event:
    case ctrl_shutdown_event:
        process_.SignalExitEvent();
        return true;
    default:
        // Logoff and the rest go to the next handler.
        return false;
    }
}

void ServiceDispatcher::ReportStatus() {
    const ServiceStatus status = Status();
    std::uint32_t error = 0;
    if (!process_.SetStatus(status, error)) {
        ReportSystemFailure(error);
    }
}

void ServiceDispatcher::RunDebugMode() {
    process_.HoldStopSignals(true);
    WriteLog(log_normal, 0, L"服务运行在模拟状态");
    process_.CreateRunningMutex(service_name_);
    if (handler_ != nullptr && handler_.load()->OnStart()) {
        process_.CreateExitEvent();
        process_.AddConsoleControlHandler(&console_entry);
        RunLoop();
        process_.CloseExitEvent();
        if (handler_ != nullptr) {
            handler_.load()->OnStop();
        }
    }
    process_.ReleaseRunningMutex();
}

void InterfaceServiceDispatcher::Create() {
    Core_Common::create_instance(ServiceDispatcher::instance, SystemServiceManager(),
                                 SystemServiceProcess());
}

void InterfaceServiceDispatcher::Destroy() {
    Core_Common::destroy_instance(ServiceDispatcher::instance);
}

unsigned ParseCommandLine(const std::wstring& serviceName, const std::wstring& displayName,
                          const std::wstring& description, const wchar_t* argument) {
    ServiceDispatcher* dispatcher = ServiceDispatcher::instance;
    if (dispatcher == nullptr) {
        throw 0;
    }
    return dispatcher->ParseCommandLine(serviceName, displayName, description, argument);
}

} // namespace Core_Service
