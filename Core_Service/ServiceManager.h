#pragma once

#include "Core_Common/ObjectSecurity.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Core_Service {

// Service states as the service manager knows them.
inline constexpr std::uint32_t service_stopped = 1;
inline constexpr std::uint32_t service_start_pending = 2;
inline constexpr std::uint32_t service_stop_pending = 3;
inline constexpr std::uint32_t service_running = 4;

// Access masks of the control operations; the one mask opens both the manager and the service.
inline constexpr std::uint32_t access_manager_create_service = 0x0002;
inline constexpr std::uint32_t access_uninstall = 0x00010004; // DELETE | SERVICE_QUERY_STATUS
inline constexpr std::uint32_t access_start = 0x0010;         // SERVICE_START
inline constexpr std::uint32_t access_stop = 0x0020;          // SERVICE_STOP
inline constexpr std::uint32_t access_query_status = 0x0004;  // SERVICE_QUERY_STATUS

// How long a stop waits for the service's run to end.
inline constexpr std::uint32_t stop_wait_ms = 20000;

// What an install registers.
struct ServiceDefinition {
    std::wstring serviceName;
    std::wstring displayName;
    // The program file, in native form.
    std::wstring programPath;
    // What the service manager runs: the program path in double quotes, so that a path with a
    // blank cannot be read as a shorter executable path followed by arguments.
    std::wstring commandLine;
    std::vector<std::wstring> dependencies;
};

// The service as the install switch registers it: the program at its native path, run by that
// path in double quotes.
ServiceDefinition ProgramServiceDefinition(const std::wstring& serviceName,
                                           const std::wstring& displayName,
                                           const std::wstring& programPath,
                                           const std::vector<std::wstring>& dependencies = {});

// Why a call of the service manager failed: the system error code, and what the service manager
// said beyond the code's own text (empty when nothing).
struct ServiceError {
    std::uint32_t code = 0;
    std::wstring detail;
};

// One open service of the service manager; the destructor closes it. A failing call returns
// false and leaves the cause in `error`.
class ServiceHandle {
public:
    virtual ~ServiceHandle() = default;
    virtual bool QueryState(std::uint32_t& state, ServiceError& error) = 0;
    virtual bool Delete(ServiceError& error) = 0;
    // Asks for a start and returns without waiting for the service to run.
    virtual bool Start(ServiceError& error) = 0;
    // Sends the stop control; fails when the service does not run.
    virtual bool ControlStop(ServiceError& error) = 0;
    // Has the service manager start the service again, a few seconds later, when its process
    // ends without having stopped (a crash). Nothing to do where the platform's own service
    // definition says so (Linux: the unit).
    virtual bool SetRestartOnFailure(ServiceError& /*error*/) { return true; }
};

// The open service manager of the local machine; the destructor closes it.
class ManagerHandle {
public:
    virtual ~ManagerHandle() = default;
    // Null on failure, with the cause in `error`. An existing service is a failure, and so is a
    // program path the service manager could not run.
    virtual std::unique_ptr<ServiceHandle> CreateServiceEntry(const ServiceDefinition& definition,
                                                              ServiceError& error) = 0;
    virtual std::unique_ptr<ServiceHandle> OpenServiceEntry(const std::wstring& serviceName,
                                                            std::uint32_t access,
                                                            ServiceError& error) = 0;
};

enum class RunEndWait {
    ended,       // the running mutex was released, or abandoned by a process that has ended
    no_response, // time-out: the run still holds the mutex; the error is the system's code for
                 // a service that does not answer in time
    gone,        // no running mutex exists: no run is in progress
    cannot_open, // the running mutex exists but could not be opened or waited on
};

// What the service manager knows of a service, for a status report.
struct ServiceQuery {
    bool installed = false;
    // One of the service states above; meaningful only when installed.
    std::uint32_t state = 0;
};

// The service-manager side of the control operations.
class ServiceManager {
public:
    // Null on failure, with the cause in `error`.
    virtual std::unique_ptr<ManagerHandle> OpenManager(std::uint32_t access,
                                                       ServiceError& error) = 0;
    virtual bool WriteDescription(const std::wstring& serviceName,
                                  const std::wstring& description) = 0;
    // Registers the service as a source of the platform's system log whose message texts are in
    // the program file (Windows: an Event Log source), and removes it again; false with the
    // system error code on failure. Removing a source that was never registered succeeds.
    // Nothing to do where the log needs no registration (Linux: the journal).
    virtual bool RegisterLogSource(const std::wstring& /*serviceName*/,
                                   const std::wstring& /*programPath*/, ServiceError& /*error*/) {
        return true;
    }
    virtual bool RemoveLogSource(const std::wstring& /*serviceName*/, ServiceError& /*error*/) {
        return true;
    }
    // Why the service must not be registered with the program at `programPath`, empty when it
    // may: the file, or a folder above it, could be replaced by someone else than the
    // administrator (Linux: a user other than root), who would then have the service run their
    // program. Windows judges the security descriptors instead (ReadProgramSecurity): empty.
    virtual std::wstring ProgramPlaceRefusal(const std::wstring& /*programPath*/) { return {}; }
    // The security of the program file and of each folder above it up to its root (Windows:
    // their security descriptors), for an install to refuse a program that others than the
    // system's own accounts could replace. Empty where the platform judges no such thing
    // (Linux). False with the cause in `error` when it cannot be read.
    virtual bool ReadProgramSecurity(const std::wstring& /*programPath*/,
                                     std::vector<Core_Common::ObjectSecurity>& chain,
                                     ServiceError& /*error*/) {
        chain.clear();
        return true;
    }
    // Whether the service is installed, and its state, read without changing anything (Windows:
    // QueryServiceStatus; Linux: systemctl show). A service the manager does not know is no
    // failure: `installed` stays false. False with the cause in `error` when it cannot tell.
    virtual bool QueryService(const std::wstring& serviceName, ServiceQuery& query,
                              ServiceError& error) = 0;
    // Opens the service's running mutex by name and waits for it at most timeoutMs.
    virtual RunEndWait WaitForRunEnd(const std::wstring& serviceName, std::uint32_t timeoutMs,
                                     ServiceError& error) = 0;

protected:
    ~ServiceManager() = default;
};

// The platform's service manager.
ServiceManager& SystemServiceManager();

} // namespace Core_Service
