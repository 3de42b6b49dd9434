#pragma once

#include "Core_Common/Singleton.h"
#include "Core_Service/InterfaceServiceHandler.h"
#include "Core_Service/LogHelper.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/ServiceProcess.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Core_Service {

// Turns an application handler into a service or runs it in the console ("debug" mode), and
// carries out the control operations of the command line.
class ServiceDispatcher : public LogHelper, public Core_Common::Singleton<ServiceDispatcher> {
public:
    ServiceDispatcher(ServiceManager& manager, ServiceProcess& process);

    // Command line: runs a control operation, the help text or the version line (0; 3 when the
    // operation failed), or selects service mode (1), debug mode (2) or the status report (5 as
    // text, 6 as JSON, by `option`, the argument after the switch). A null argument (no
    // argument at all) selects service mode; an argument that is no switch, or an option the
    // status switch does not take, is named, with the help text, and nothing else is done (4).
    // Every other switch ignores `option`.
    unsigned ParseCommandLine(const std::wstring& serviceName, const std::wstring& displayName,
                              const std::wstring& description, const wchar_t* argument,
                              const wchar_t* option = nullptr);

    // Control operations, run in a controlling process. Each reports its failures and returns
    // whether it succeeded. An empty program path means this program's own file.
    bool ServiceInstall(const std::wstring& programPath, const std::wstring& serviceName,
                        const std::wstring& displayName,
                        const std::vector<std::wstring>& dependencies);
    bool WriteServiceDescription(const std::wstring& serviceName, const std::wstring& description);
    bool ServiceUninstall(const std::wstring& serviceName);
    bool ServiceStart(const std::wstring& serviceName);
    bool ServiceStop(const std::wstring& serviceName);
    bool ServiceRestart(const std::wstring& serviceName);

    // Run modes, on the main thread. Each holds the running mutex from before the handler's
    // OnStart until the run has ended; a mode that finds it held by another run says so in one
    // line and runs nothing, so that the other run's static entries stay. Service mode runs
    // nothing either from a program file that others could replace. Each returns whether its
    // run took place: service mode, whether the service manager ran the service.
    bool RunServiceMode();
    bool RunDebugMode();

    // The service entry the service manager's dispatcher calls on the service thread; runs
    // RunService of the dispatcher under the crash guard. Both arguments are ignored.
    static void ServiceMain(std::uint32_t argc, wchar_t** argv);
    // The service thread's work.
    void RunService();
    void ServiceControlHandler(std::uint32_t control);
    // Ctrl+C and Ctrl+Break signal the exit event; close, logoff and shutdown signal it and
    // return only once the debug run has finished its stop (or after a bound), since the
    // process ends as soon as they return. Every other event is left to the next handler.
    bool ConsoleControlHandler(std::uint32_t ctrlType);
    void ReportStatus();

    void SetServiceName(const std::wstring& serviceName) { service_name_ = serviceName; }
    const std::wstring& ServiceName() const { return service_name_; }
    // The application handler's slot; set and cleared by the handler itself.
    void SetHandler(InterfaceServiceHandler* handler) { handler_ = handler; }
    InterfaceServiceHandler* Handler() const { return handler_; }
    ServiceStatus Status() const;

private:
    // The manager and one service opened with the same access mask; the service closes first.
    struct OpenedService {
        std::unique_ptr<ManagerHandle> manager;
        std::unique_ptr<ServiceHandle> service;
    };

    // Whether no one but the system's own accounts could replace the program at that path or a
    // folder above it; a refusal names the path and what to do.
    bool ProgramSafeToRegister(const std::wstring& programPath) const;
    // Level ERROR, the code, its system text and the detail after it.
    void ReportSystemFailure(const ServiceError& error) const;
    // The one line of a run that found another run holding the running mutex.
    void ReportRunInProgress() const;
    // Opens both with one mask; a failure is reported and gives an empty result.
    std::optional<OpenedService> OpenForControl(const std::wstring& serviceName,
                                                std::uint32_t access) const;
    void SetState(std::uint32_t state, std::uint32_t controlsAccepted);
    // Reports stop-pending with its wait hint, or, once pending, the next checkpoint.
    void EnterStopPending();
    // The next checkpoint of a stop under way; nothing otherwise.
    void AdvanceStopCheckpoint();
    void RunLoop();

    ServiceManager& manager_;
    ServiceProcess& process_;
    // Written by the service thread, sent by it and by the control handler's thread.
    mutable std::mutex status_mutex_;
    ServiceStatus status_;
    std::wstring service_name_;
    // Read by the control handler's thread too.
    std::atomic<InterfaceServiceHandler*> handler_ = nullptr;
};

// Module wrapper operations of the service dispatcher.
class InterfaceServiceDispatcher {
public:
    // Makes the dispatcher on the platform's service manager and service process.
    static void Create();
    static void Destroy();
    static void Startup() {}
    static void Shutdown() {}
};

// The parser of the single dispatcher; it must exist.
unsigned ParseCommandLine(const std::wstring& serviceName, const std::wstring& displayName,
                          const std::wstring& description, const wchar_t* argument,
                          const wchar_t* option = nullptr);

} // namespace Core_Service
