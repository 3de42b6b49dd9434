#include "Core_Service/ServiceDispatcher.h"

#include "Core_Common/CrashGuard.h"
#include "Core_Common/Utility.h"

#include <chrono>
#include <condition_variable>

namespace Core_Service {
namespace {

constexpr std::uint32_t run_loop_wait_ms = 100;

// The time the service manager is told to allow between two reports of a stop in progress. The
// stop ends the monitor, whose pass in progress may take its three tries a second apart, and
// flushes every link; the run loop reports the stop's progress after each of its waits.
constexpr std::uint32_t stop_wait_hint_ms = 5000;

// How long the handler of a close, logoff or shutdown event waits for the debug run's stop.
// Windows ends the process when such a handler returns, and at the latest when its own
// allowance is over (5 s for a closed console, up to 20 s at logoff or shutdown).
constexpr std::chrono::milliseconds console_stop_wait{20000};

// Whether a debug run is in progress, for console handlers on threads of their own. Never
// freed: a handler on its way out must not meet it destroyed at the process's end.
struct ConsoleRun {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
};

ConsoleRun& console_run() {
    static ConsoleRun* const run = new ConsoleRun;
    return *run;
}

void set_console_run(bool running) {
    ConsoleRun& run = console_run();
    {
        std::lock_guard lock(run.mutex);
        run.running = running;
    }
    run.changed.notify_all();
}

void wait_for_console_run_end() {
    ConsoleRun& run = console_run();
    std::unique_lock lock(run.mutex);
    run.changed.wait_for(lock, console_stop_wait, [&run] { return !run.running; });
}

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

void ServiceDispatcher::ReportSystemFailure(const ServiceError& error) const {
    const std::wstring text = Core_Common::system_error_text(error.code);
    WriteLog(log_error, error.code,
             error.detail.empty() ? text
                                  : Core_Common::without_line_end(text) + L": " + error.detail);
}

void ServiceDispatcher::ReportRunInProgress() const {
    WriteLog(log_warn, 0, L"已有实例在运行，本次运行不改动 ARP 表");
}

bool ServiceDispatcher::RunServiceMode() {
    process_.HoldStopSignals(false);
    // Before the first binding pass: its pins and errors are the first events.
    process_.OpenSystemLog(service_name_);
    // Before anything else is touched: the service runs with the rights to change the ARP
    // tables, so a program file that others could replace is not run at all.
    if (const std::wstring refusal = process_.ProgramPlaceRefusal(); !refusal.empty()) {
        WriteLog(log_error, 0, refusal);
        return false;
    }
    // Taken on the main thread, which releases it once the service manager's dispatcher has
    // returned: the service thread is gone by then.
    if (!process_.CreateRunningMutex(service_name_)) {
        ReportRunInProgress();
        return false;
    }
    bool served = false;
    if (handler_ != nullptr && handler_.load()->OnStart()) {
        // Returns at once when the process was not started by the service manager.
        served = process_.RunDispatcher(service_name_, &ServiceDispatcher::ServiceMain);
    }
    process_.ReleaseRunningMutex();
    return served;
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

void ServiceDispatcher::EnterStopPending() {
    {
        std::lock_guard lock(status_mutex_);
        if (status_.currentState == service_stop_pending) {
            ++status_.checkPoint;
        } else {
            status_.currentState = service_stop_pending;
            status_.checkPoint = 1;
            status_.waitHint = stop_wait_hint_ms;
        }
    }
    ReportStatus();
}

void ServiceDispatcher::AdvanceStopCheckpoint() {
    {
        std::lock_guard lock(status_mutex_);
        if (status_.currentState != service_stop_pending) {
            return;
        }
        ++status_.checkPoint;
    }
    ReportStatus();
}

void ServiceDispatcher::RunLoop() {
    while (process_.WaitExitEvent(run_loop_wait_ms) != WaitResult::signalled) {
        // A stop under way on the control handler's thread: the service manager sees it go on.
        AdvanceStopCheckpoint();
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

    SetState(service_running, accept_stop | accept_shutdown);
    ReportStatus();

    RunLoop();

    EnterStopPending();
    process_.CloseExitEvent();
    {
        std::lock_guard lock(status_mutex_);
        status_.checkPoint = 0;
        status_.waitHint = 0;
    }
    SetState(service_stopped, 0);
    ReportStatus();
}

void ServiceDispatcher::ServiceControlHandler(std::uint32_t control) {
    switch (control) {
    case control_stop:
    case control_shutdown:
        // The handler's stop may take seconds (it ends the monitor and flushes): the service
        // manager learns first that the service is stopping, so that it neither times the stop
        // out nor shows the service hung. Stopped comes only after the handler's work, which a
        // system shutdown would otherwise cut short.
        EnterStopPending();
        if (InterfaceServiceHandler* handler = handler_) {
            if (control == control_stop) {
                handler->OnStop();
            } else {
                handler->OnShutdown();
            }
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
        process_.SignalExitEvent();
        return true;
    case ctrl_close_event:
    case ctrl_logoff_event:
    case ctrl_shutdown_event:
        // The process ends when this returns (the next handler, the system's own, would end it
        // at once): the flush must be done by then. Only the static state is touched after the
        // signal, as the dispatcher may be gone by the time the wait ends.
        process_.SignalExitEvent();
        wait_for_console_run_end();
        return true;
    default:
        return false;
    }
}

void ServiceDispatcher::ReportStatus() {
    std::uint32_t error = 0;
    bool sent = false;
    {
        // Sent under the lock: a record re-sent by the control handler's thread cannot overtake
        // a newer one of the service thread (stop-pending arriving after stopped).
        std::lock_guard lock(status_mutex_);
        sent = process_.SetStatus(status_, error);
    }
    if (!sent) {
        ReportSystemFailure({error, {}});
    }
}

bool ServiceDispatcher::RunDebugMode() {
    process_.HoldStopSignals(true);
    set_console_run(true);
    // Console events count from here on: one that comes during the start ends the run after
    // it, with the stop, instead of meeting the system's handler, which ends the process.
    process_.CreateExitEvent();
    process_.AddConsoleControlHandler(&console_entry);
    WriteLog(log_normal, 0, L"服务运行在模拟状态");
    bool started = false;
    if (process_.CreateRunningMutex(service_name_)) {
        started = handler_ != nullptr && handler_.load()->OnStart();
        if (started) {
            RunLoop();
        }
        process_.CloseExitEvent();
        if (started && handler_ != nullptr) {
            handler_.load()->OnStop();
        }
        process_.ReleaseRunningMutex();
    } else {
        ReportRunInProgress();
        process_.CloseExitEvent();
    }
    set_console_run(false);
    return started;
}

void InterfaceServiceDispatcher::Create() {
    Core_Common::create_instance(ServiceDispatcher::instance, SystemServiceManager(),
                                 SystemServiceProcess());
}

void InterfaceServiceDispatcher::Destroy() {
    Core_Common::destroy_instance(ServiceDispatcher::instance);
}

unsigned ParseCommandLine(const std::wstring& serviceName, const std::wstring& displayName,
                          const std::wstring& description, const wchar_t* argument,
                          const wchar_t* option) {
    ServiceDispatcher* dispatcher = ServiceDispatcher::instance;
    if (dispatcher == nullptr) {
        throw 0;
    }
    return dispatcher->ParseCommandLine(serviceName, displayName, description, argument, option);
}

} // namespace Core_Service
