#include "fakes/ServiceFakes.h"

#include "Core_Common/Utility.h"
#include "fakes/ServiceLines.h"

#include <chrono>
#include <sstream>

namespace tw_test {

using namespace Core_Service;

namespace {

std::string hex(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// A step that fails when the test set its error.
bool fails(std::uint32_t injected, std::uint32_t& error) {
    if (injected != 0) {
        error = injected;
        return true;
    }
    return false;
}

bool fails(std::uint32_t injected, const std::wstring& detail, ServiceError& error) {
    if (injected != 0) {
        error = {injected, detail};
        return true;
    }
    return false;
}

} // namespace

void CallJournal::Add(const std::string& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<std::string> CallJournal::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void CallJournal::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

class FakeServiceHandle final : public ServiceHandle {
public:
    FakeServiceHandle(FakeServiceManager& manager, std::wstring name)
        : manager_(manager), name_(std::move(name)) {
        ++manager_.openHandles;
    }
    ~FakeServiceHandle() override {
        --manager_.openHandles;
        manager_.journal_.Add("CloseService");
    }
    FakeServiceHandle(const FakeServiceHandle&) = delete;
    FakeServiceHandle& operator=(const FakeServiceHandle&) = delete;

    bool QueryState(std::uint32_t& state, ServiceError& error) override {
        manager_.journal_.Add("QueryState");
        ++manager_.queries;
        if ((manager_.failingQuery == 0 || manager_.failingQuery == manager_.queries) &&
            fails(manager_.queryError, manager_.failureDetail, error)) {
            return false;
        }
        state = Find().state;
        return true;
    }

    bool Delete(ServiceError& error) override {
        manager_.journal_.Add("Delete");
        if (fails(manager_.deleteError, manager_.failureDetail, error)) {
            return false;
        }
        manager_.services.erase(name_);
        return true;
    }

    bool Start(ServiceError& error) override {
        manager_.journal_.Add("Start");
        if (fails(manager_.startError, manager_.failureDetail, error)) {
            return false;
        }
        auto& service = Find();
        if (service.state != service_stopped) {
            error = {fake_error_already_running, {}};
            return false;
        }
        service.state = service_running;
        return true;
    }

    bool ControlStop(ServiceError& error) override {
        manager_.journal_.Add("ControlStop");
        if (fails(manager_.controlError, manager_.failureDetail, error)) {
            return false;
        }
        auto& service = Find();
        if (service.state == service_stopped) {
            error = {fake_error_not_active, {}};
            return false;
        }
        if (service.stopTakesEffect) {
            service.state = service_stopped;
        }
        return true;
    }

    bool SetRestartOnFailure(ServiceError& error) override {
        manager_.journal_.Add("SetRestartOnFailure");
        if (fails(manager_.restartError, manager_.failureDetail, error)) {
            return false;
        }
        Find().restartsOnFailure = true;
        return true;
    }

private:
    FakeServiceManager::Service& Find() { return manager_.services.at(name_); }

    FakeServiceManager& manager_;
    std::wstring name_;
};

class FakeManagerHandle final : public ManagerHandle {
public:
    explicit FakeManagerHandle(FakeServiceManager& manager) : manager_(manager) {
        ++manager_.openHandles;
    }
    ~FakeManagerHandle() override {
        --manager_.openHandles;
        manager_.journal_.Add("CloseManager");
    }
    FakeManagerHandle(const FakeManagerHandle&) = delete;
    FakeManagerHandle& operator=(const FakeManagerHandle&) = delete;

    std::unique_ptr<ServiceHandle> CreateServiceEntry(const ServiceDefinition& definition,
                                                      ServiceError& error) override {
        manager_.journal_.Add("CreateService " + narrow(definition.serviceName));
        if (fails(manager_.createError, manager_.failureDetail, error)) {
            return nullptr;
        }
        if (manager_.services.count(definition.serviceName) != 0) {
            error = {fake_error_service_exists, {}};
            return nullptr;
        }
        manager_.services[definition.serviceName].definition = definition;
        return std::make_unique<FakeServiceHandle>(manager_, definition.serviceName);
    }

    std::unique_ptr<ServiceHandle> OpenServiceEntry(const std::wstring& serviceName,
                                                    std::uint32_t access,
                                                    ServiceError& error) override {
        manager_.journal_.Add("OpenService " + narrow(serviceName) + " " + hex(access));
        if (fails(manager_.openServiceError, manager_.failureDetail, error)) {
            return nullptr;
        }
        if (manager_.services.count(serviceName) == 0) {
            error = {fake_error_no_such_service, {}};
            return nullptr;
        }
        return std::make_unique<FakeServiceHandle>(manager_, serviceName);
    }

private:
    FakeServiceManager& manager_;
};

std::unique_ptr<ManagerHandle> FakeServiceManager::OpenManager(std::uint32_t access,
                                                               ServiceError& error) {
    journal_.Add("OpenManager " + hex(access));
    if (fails(openManagerError, failureDetail, error)) {
        return nullptr;
    }
    return std::make_unique<FakeManagerHandle>(*this);
}

bool FakeServiceManager::WriteDescription(const std::wstring& serviceName,
                                          const std::wstring& description) {
    journal_.Add("WriteDescription " + narrow(serviceName));
    if (descriptionFails || services.count(serviceName) == 0) {
        return false;
    }
    descriptions[serviceName] = description;
    return true;
}

RunEndWait FakeServiceManager::WaitForRunEnd(const std::wstring& serviceName,
                                             std::uint32_t timeoutMs, ServiceError& error) {
    journal_.Add("WaitForRunEnd " + narrow(serviceName) + " " + std::to_string(timeoutMs));
    error = {runEndError, {}};
    return runEnd;
}

bool FakeServiceManager::RegisterLogSource(const std::wstring& serviceName,
                                           const std::wstring& programPath, ServiceError& error) {
    journal_.Add("RegisterLogSource " + narrow(serviceName));
    if (fails(logSourceError, failureDetail, error)) {
        return false;
    }
    logSources[serviceName] = programPath;
    return true;
}

bool FakeServiceManager::RemoveLogSource(const std::wstring& serviceName, ServiceError& error) {
    journal_.Add("RemoveLogSource " + narrow(serviceName));
    if (fails(logSourceError, failureDetail, error)) {
        return false;
    }
    logSources.erase(serviceName);
    return true;
}

bool FakeServiceManager::ReadProgramSecurity(const std::wstring& /*programPath*/,
                                             std::vector<Core_Common::ObjectSecurity>& chain,
                                             ServiceError& error) {
    if (fails(programSecurityError, failureDetail, error)) {
        return false;
    }
    chain = programSecurity;
    return true;
}

bool FakeServiceManager::QueryService(const std::wstring& serviceName, ServiceQuery& query,
                                      ServiceError& error) {
    journal_.Add("QueryService " + narrow(serviceName));
    if (fails(queryError, failureDetail, error)) {
        return false;
    }
    query = {};
    if (const auto found = services.find(serviceName); found != services.end()) {
        query.installed = true;
        query.state = found->second.state;
    }
    return true;
}

void FakeServiceProcess::OpenSystemLog(const std::wstring& serviceName) {
    journal_.Add("OpenSystemLog " + narrow(serviceName));
}

bool FakeServiceProcess::RunDispatcher(const std::wstring& serviceName,
                                       ServiceMainEntry serviceMain) {
    journal_.Add("RunDispatcher " + narrow(serviceName));
    if (!startedByManager) {
        return false;
    }
    serviceMain(0, nullptr);
    return true;
}

bool FakeServiceProcess::RegisterControlHandler(const std::wstring& serviceName,
                                                ServiceControlEntry handler) {
    journal_.Add("RegisterControlHandler " + narrow(serviceName));
    if (!registerSucceeds) {
        return false;
    }
    control = handler;
    return true;
}

bool FakeServiceProcess::SetStatus(const ServiceStatus& status, std::uint32_t& error) {
    journal_.Add("SetStatus " + std::to_string(status.currentState) + " " +
                 std::to_string(status.controlsAccepted));
    statuses.push_back(status);
    return !fails(statusError, error);
}

void FakeServiceProcess::CreateExitEvent() {
    journal_.Add("CreateExitEvent");
    std::lock_guard lock(event_mutex_);
    eventExists = true;
    eventSignalled = false;
}

void FakeServiceProcess::SignalExitEvent() {
    journal_.Add("SignalExitEvent");
    {
        std::lock_guard lock(event_mutex_);
        if (eventExists) {
            eventSignalled = true;
        }
    }
    event_changed_.notify_all();
}

WaitResult FakeServiceProcess::WaitExitEvent(std::uint32_t timeoutMs) {
    journal_.Add("Wait " + std::to_string(timeoutMs));
    ++waits;
    if (onWait) {
        onWait(waits);
    }
    // A loop that never ends would hang the test: end it, and let the test see the count.
    constexpr int runaway = 1000;
    if (waits >= runaway) {
        return WaitResult::signalled;
    }
    if (failingWaits > 0) {
        --failingWaits;
        return WaitResult::failed;
    }
    std::unique_lock lock(event_mutex_);
    if (!eventExists) {
        return WaitResult::failed;
    }
    if (waitsBlock) {
        event_changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return eventSignalled; });
    }
    return eventSignalled ? WaitResult::signalled : WaitResult::timed_out;
}

bool FakeServiceProcess::WaitUntilSignalled() {
    std::unique_lock lock(event_mutex_);
    return event_changed_.wait_for(lock, std::chrono::seconds(10),
                                   [this] { return eventSignalled; });
}

void FakeServiceProcess::CloseExitEvent() {
    journal_.Add("CloseExitEvent");
    std::lock_guard lock(event_mutex_);
    eventExists = false;
    eventSignalled = false;
}

bool FakeServiceProcess::CreateRunningMutex(const std::wstring& serviceName) {
    journal_.Add("CreateRunningMutex " + narrow(serviceName));
    mutexOwned = !mutexHeldElsewhere;
    return mutexOwned;
}

void FakeServiceProcess::ReleaseRunningMutex() {
    journal_.Add("ReleaseRunningMutex");
    mutexOwned = false;
}

void FakeServiceProcess::AddConsoleControlHandler(ConsoleControlEntry handler) {
    journal_.Add("AddConsoleControlHandler");
    console = handler;
}

bool RecordingServiceHandler::OnStart() {
    journal_.Add("OnStart");
    if (onStart) {
        onStart();
    }
    return startResult;
}

bool RecordingServiceHandler::OnBreak() {
    journal_.Add("OnBreak");
    return false;
}

void RecordingServiceHandler::OnStop() {
    journal_.Add("OnStop");
    if (onStop) {
        onStop();
    }
}

void RecordingServiceHandler::OnShutdown() {
    journal_.Add("OnShutdown");
    if (onStop) {
        onStop();
    }
}

void RecordingServiceHandler::OnSpare() { journal_.Add("OnSpare"); }

void RecordingServiceHandler::OnUserControl(std::uint32_t control) {
    journal_.Add("OnUserControl " + std::to_string(control));
}

void RecordingServiceHandler::OnIdle() {
    journal_.Add("OnIdle");
    ++idles;
}

} // namespace tw_test
