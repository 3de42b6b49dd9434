#pragma once

#include <cstdint>
#include <string>

namespace Core_Service {

// The status record a service sends to the service manager.
struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

inline constexpr std::uint32_t service_type_win32 = 0x30; // own process and share process
inline constexpr std::uint32_t accept_stop = 0x1;
inline constexpr std::uint32_t accept_shutdown = 0x4;

inline constexpr std::uint32_t control_stop = 1;
inline constexpr std::uint32_t control_pause = 2;
inline constexpr std::uint32_t control_continue = 3;
inline constexpr std::uint32_t control_interrogate = 4;
inline constexpr std::uint32_t control_shutdown = 5;
inline constexpr std::uint32_t control_user_first = 128;
inline constexpr std::uint32_t control_user_last = 255;

inline constexpr std::uint32_t ctrl_c_event = 0;
inline constexpr std::uint32_t ctrl_break_event = 1;
inline constexpr std::uint32_t ctrl_close_event = 2;
inline constexpr std::uint32_t ctrl_logoff_event = 5;
inline constexpr std::uint32_t ctrl_shutdown_event = 6;

enum class WaitResult { signalled, timed_out, failed };

using ServiceMainEntry = void (*)(std::uint32_t argc, wchar_t** argv);
using ServiceControlEntry = void (*)(std::uint32_t control);
using ConsoleControlEntry = bool (*)(std::uint32_t ctrlType);

// The service process's side of the service manager, and the console.
class ServiceProcess {
public:
    // Connects the process to the service manager, which runs serviceMain on a service thread
    // of its own; returns when the service has stopped, or at once (false) when the process
    // was not started by the service manager.
    // From the start of a run, signals that would end the process (Linux: SIGTERM, and in the
    // console also SIGINT, SIGQUIT, SIGHUP) are kept as requests until the run can take them,
    // so that a stop during the first binding pass still ends with the flush. Nothing to do on
    // Windows: the console control handler is added before the start, and service controls
    // come only once the service runs.
    virtual void HoldStopSignals(bool /*console*/) {}
    // Service mode: from here on the program's lines go to the platform's system log as well,
    // under the service's name (Windows: the Event Log's Application log). Nothing to do where
    // a service's standard output is the system log already (Linux: the journal).
    virtual void OpenSystemLog(const std::wstring& /*serviceName*/) {}
    // Service mode: why the service must not run this program file, empty when it may: the
    // file, or a folder above it, could be replaced by someone else than the administrator
    // (Linux: a user other than root). Not checked on Windows yet: empty.
    virtual std::wstring ProgramPlaceRefusal() { return {}; }
    virtual bool RunDispatcher(const std::wstring& serviceName, ServiceMainEntry serviceMain) = 0;
    // Registers the service's control handler and keeps the status handle.
    virtual bool RegisterControlHandler(const std::wstring& serviceName,
                                        ServiceControlEntry handler) = 0;
    // Sends the status record; false with the system error code on failure.
    virtual bool SetStatus(const ServiceStatus& status, std::uint32_t& error) = 0;

    // The exit event: manual reset, made unsignalled. Signalling or waiting on a closed (or
    // never made) event fails silently.
    virtual void CreateExitEvent() = 0;
    virtual void SignalExitEvent() = 0;
    virtual WaitResult WaitExitEvent(std::uint32_t timeoutMs) = 0;
    virtual void CloseExitEvent() = 0;

    // The running mutex, made or opened by name and taken by the calling thread, which is the
    // one to release it. False when another run holds it: then this one must leave the ARP
    // tables alone. True too when no mutex can be had at all; the run goes on without one. The
    // release keeps the handle open; releasing a mutex not owned fails silently.
    virtual bool CreateRunningMutex(const std::wstring& serviceName) = 0;
    virtual void ReleaseRunningMutex() = 0;

    // Console control events (Ctrl+C, Ctrl+Break, close, shutdown, logoff) reach `handler` on
    // a thread of their own; the handler is never removed.
    virtual void AddConsoleControlHandler(ConsoleControlEntry handler) = 0;

protected:
    ~ServiceProcess() = default;
};

// The platform's service process side.
ServiceProcess& SystemServiceProcess();

} // namespace Core_Service
