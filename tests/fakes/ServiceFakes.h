#pragma once

#include "Core_Service/InterfaceServiceHandler.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/ServiceProcess.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tw_test {

// One ordered record of the calls into the service fakes and the handler, where the order
// across them is the behaviour.
class CallJournal {
public:
    void Add(const std::string& entry);
    std::vector<std::string> Entries() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// Win32 codes the fake service manager fails with, as the Service Control Manager would.
inline constexpr std::uint32_t fake_error_service_exists = 1073;
inline constexpr std::uint32_t fake_error_no_such_service = 1060;
inline constexpr std::uint32_t fake_error_already_running = 1056;
inline constexpr std::uint32_t fake_error_not_active = 1062;

// A service manager with a table of services and a failure to inject at every step.
class FakeServiceManager final : public Core_Service::ServiceManager {
public:
    struct Service {
        Core_Service::ServiceDefinition definition;
        std::uint32_t state = Core_Service::service_stopped;
        // Whether a stop control stops the service.
        bool stopTakesEffect = true;
        // Whether the service manager starts it again after a crash.
        bool restartsOnFailure = false;
    };

    explicit FakeServiceManager(CallJournal& journal) : journal_(journal) {}

    std::unique_ptr<Core_Service::ManagerHandle>
    OpenManager(std::uint32_t access, Core_Service::ServiceError& error) override;
    bool WriteDescription(const std::wstring& serviceName,
                          const std::wstring& description) override;
    Core_Service::RunEndWait WaitForRunEnd(const std::wstring& serviceName, std::uint32_t timeoutMs,
                                           Core_Service::ServiceError& error) override;
    bool RegisterLogSource(const std::wstring& serviceName, const std::wstring& programPath,
                           Core_Service::ServiceError& error) override;
    bool RemoveLogSource(const std::wstring& serviceName,
                         Core_Service::ServiceError& error) override;
    std::wstring ProgramPlaceRefusal(const std::wstring& programPath) override {
        placeChecked = programPath;
        return programPlaceRefusal;
    }
    bool ReadProgramSecurity(const std::wstring& programPath,
                             std::vector<Core_Common::ObjectSecurity>& chain,
                             Core_Service::ServiceError& error) override;
    // From the table; fails with queryError.
    bool QueryService(const std::wstring& serviceName, Core_Service::ServiceQuery& query,
                      Core_Service::ServiceError& error) override;

    std::map<std::wstring, Service> services;
    std::map<std::wstring, std::wstring> descriptions;
    // Registered log sources and their program files.
    std::map<std::wstring, std::wstring> logSources;

    // Non-zero: the step fails with this code (and the detail, for every step).
    std::wstring failureDetail;
    std::uint32_t openManagerError = 0;
    std::uint32_t openServiceError = 0;
    std::uint32_t createError = 0;
    std::uint32_t deleteError = 0;
    std::uint32_t startError = 0;
    std::uint32_t controlError = 0;
    std::uint32_t queryError = 0;
    // The query that fails with queryError, counted from 1; 0 for every query.
    int failingQuery = 0;
    bool descriptionFails = false;
    std::uint32_t restartError = 0;
    // The program file's security and its folders', as the platform would read them; a read
    // fails with programSecurityError.
    std::vector<Core_Common::ObjectSecurity> programSecurity;
    std::uint32_t programSecurityError = 0;
    std::uint32_t logSourceError = 0;
    Core_Service::RunEndWait runEnd = Core_Service::RunEndWait::ended;
    std::uint32_t runEndError = 0;
    // The install's answer about the program's place, and the path it was asked about.
    std::wstring programPlaceRefusal;
    std::wstring placeChecked;

    // Handles opened and not yet closed.
    int openHandles = 0;
    int queries = 0;

private:
    friend class FakeManagerHandle;
    friend class FakeServiceHandle;
    CallJournal& journal_;
};

// The service process side: the exit event and the running mutex are flags, a wait blocks
// only when asked to, and a test acts at a given wait through `onWait` (a control arriving
// meanwhile). Console events may come from a thread of the test's own.
class FakeServiceProcess final : public Core_Service::ServiceProcess {
public:
    explicit FakeServiceProcess(CallJournal& journal) : journal_(journal) {}

    void OpenSystemLog(const std::wstring& serviceName) override;
    std::wstring ProgramPlaceRefusal() override { return programPlaceRefusal; }

    bool RunDispatcher(const std::wstring& serviceName,
                       Core_Service::ServiceMainEntry serviceMain) override;
    bool RegisterControlHandler(const std::wstring& serviceName,
                                Core_Service::ServiceControlEntry handler) override;
    bool SetStatus(const Core_Service::ServiceStatus& status, std::uint32_t& error) override;
    void CreateExitEvent() override;
    void SignalExitEvent() override;
    Core_Service::WaitResult WaitExitEvent(std::uint32_t timeoutMs) override;
    void CloseExitEvent() override;
    bool CreateRunningMutex(const std::wstring& serviceName) override;
    void ReleaseRunningMutex() override;
    void AddConsoleControlHandler(Core_Service::ConsoleControlEntry handler) override;

    // Waits until the exit event has been signalled (from another thread); false after 10 s.
    bool WaitUntilSignalled();

    // Whether the process was started by the service manager: RunDispatcher then runs the
    // service entry (on the calling thread).
    bool startedByManager = true;
    bool registerSucceeds = true;
    std::uint32_t statusError = 0;
    // Called with the wait's number (from 1) before the wait returns.
    std::function<void(int)> onWait;
    // Waits to answer with a failure instead of the event's state.
    int failingWaits = 0;
    // Whether a wait lasts its time-out unless the event is signalled meanwhile (for events
    // sent from another thread); otherwise it answers at once.
    bool waitsBlock = false;
    // Whether another run holds the running mutex.
    bool mutexHeldElsewhere = false;
    // Service mode's answer about the program's place.
    std::wstring programPlaceRefusal;

    std::vector<Core_Service::ServiceStatus> statuses;
    Core_Service::ServiceControlEntry control = nullptr;
    Core_Service::ConsoleControlEntry console = nullptr;
    bool eventExists = false;
    bool eventSignalled = false;
    bool mutexOwned = false;
    int waits = 0;

private:
    CallJournal& journal_;
    // Guards the event's two flags, which a console event may change from another thread.
    std::mutex event_mutex_;
    std::condition_variable event_changed_;
};

// An application handler that records each call.
class RecordingServiceHandler final : public Core_Service::InterfaceServiceHandler {
public:
    explicit RecordingServiceHandler(CallJournal& journal) : journal_(journal) {}

    bool OnStart() override;
    bool OnBreak() override;
    void OnStop() override;
    void OnShutdown() override;
    void OnSpare() override;
    void OnUserControl(std::uint32_t control) override;
    void OnIdle() override;

    bool startResult = true;
    // Runs inside OnStart, after its record (a console event during the start).
    std::function<void()> onStart;
    // Runs inside OnStop and OnShutdown, after their record (a stop that takes a while).
    std::function<void()> onStop;
    int idles = 0;

private:
    CallJournal& journal_;
};

} // namespace tw_test
