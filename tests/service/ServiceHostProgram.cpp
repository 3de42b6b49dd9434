// A small service program for the service tests: the service dispatcher and the command line
// on the platform's real service manager, driving a handler that records what reaches it.
// Its service name comes from its file name, so that each test can have a service of its own.
// Records go to "<program>.events" (or $TW_TEST_EVENTS), and to standard error. With
// $TW_TEST_HOLD_START set, OnStart lasts until the run's exit event has been signalled (a stop
// that comes during a long first binding pass). With $TW_TEST_STOP_SIGNALS_AT_END set (Linux),
// a run sends its own stop signals to itself as the program's last step, as a burst of them
// that lasts until the process ends would.
#include "Core_Common/CrashGuard.h"
#include "Core_Common/Log.h"
#include "Core_Common/Utility.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceDispatcher.h"
#include "fakes/WaitableFlag.h"
#ifndef _WIN32
#include "Core_Service/linux/ServiceSystem_linux.h"

#include <csignal>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace {

using namespace Core_Service;

const std::wstring description =
    L"Protect you against ARP attack in the local network, attackers can no longer sniff your "
    L"traffic.";

class EventRecord {
public:
    explicit EventRecord(std::string path) : path_(std::move(path)) {}
    void Add(const std::string& event) {
        std::lock_guard lock(mutex_);
        std::ofstream(path_, std::ios::app) << event << '\n';
        std::cerr << event << std::endl;
    }

private:
    std::mutex mutex_;
    std::string path_;
};

class RecordingHandler final : public InterfaceServiceHandler {
public:
    RecordingHandler(EventRecord& record, tw_test::WaitableFlag& stop)
        : record_(record), stop_(stop) {}
    bool OnStart() override {
        record_.Add("OnStart");
        if (std::getenv("TW_TEST_HOLD_START") != nullptr &&
            !stop_.WaitFor(std::chrono::seconds(30))) {
            record_.Add("OnStart saw no stop");
        }
        return true;
    }
    bool OnBreak() override { return false; }
    void OnStop() override { record_.Add("OnStop"); }
    void OnShutdown() override { record_.Add("OnShutdown"); }
    void OnSpare() override {}
    void OnUserControl(std::uint32_t control) override {
        record_.Add("OnUserControl " + std::to_string(control));
    }
    void OnIdle() override {
        if (!idled_) {
            idled_ = true;
            record_.Add("OnIdle");
        }
    }

private:
    EventRecord& record_;
    tw_test::WaitableFlag& stop_;
    bool idled_ = false;
};

// Forwards to the platform's service process and records every status sent.
class RecordingProcess final : public ServiceProcess {
public:
    RecordingProcess(ServiceProcess& real, EventRecord& record, tw_test::WaitableFlag& stop)
        : real_(real), record_(record), stop_(stop) {}
    void HoldStopSignals(bool console) override { real_.HoldStopSignals(console); }
    bool RunDispatcher(const std::wstring& name, ServiceMainEntry entry) override {
        return real_.RunDispatcher(name, entry);
    }
    bool RegisterControlHandler(const std::wstring& name, ServiceControlEntry entry) override {
        return real_.RegisterControlHandler(name, entry);
    }
    bool SetStatus(const ServiceStatus& status, std::uint32_t& error) override {
        record_.Add("Status " + std::to_string(status.currentState) + " " +
                    std::to_string(status.controlsAccepted));
        return real_.SetStatus(status, error);
    }
    void CreateExitEvent() override { real_.CreateExitEvent(); }
    void SignalExitEvent() override {
        // Once the event is signalled, the run may end and this object with it (the console
        // thread calls this): only the flag, which outlives the process, is touched after.
        tw_test::WaitableFlag& stop = stop_;
        real_.SignalExitEvent();
        stop.Set();
    }
    WaitResult WaitExitEvent(std::uint32_t timeoutMs) override {
        return real_.WaitExitEvent(timeoutMs);
    }
    void CloseExitEvent() override { real_.CloseExitEvent(); }
    bool CreateRunningMutex(const std::wstring& name) override {
        return real_.CreateRunningMutex(name);
    }
    void ReleaseRunningMutex() override { real_.ReleaseRunningMutex(); }
    void AddConsoleControlHandler(ConsoleControlEntry entry) override {
        real_.AddConsoleControlHandler(entry);
    }

private:
    ServiceProcess& real_;
    EventRecord& record_;
    tw_test::WaitableFlag& stop_;
};

#ifdef _WIN32
// The platform's service manager, with the program's place left unjudged: under Wine every file
// and folder belongs to the Wine user, which an install refuses to run a service from. The
// judgement is tested on its own.
class UnjudgedServiceManager final : public ServiceManager {
public:
    explicit UnjudgedServiceManager(ServiceManager& real) : real_(real) {}
    std::unique_ptr<ManagerHandle> OpenManager(std::uint32_t access, ServiceError& error) override {
        return real_.OpenManager(access, error);
    }
    bool WriteDescription(const std::wstring& name, const std::wstring& description) override {
        return real_.WriteDescription(name, description);
    }
    bool RegisterLogSource(const std::wstring& name, const std::wstring& program,
                           ServiceError& error) override {
        return real_.RegisterLogSource(name, program, error);
    }
    bool RemoveLogSource(const std::wstring& name, ServiceError& error) override {
        return real_.RemoveLogSource(name, error);
    }
    RunEndWait WaitForRunEnd(const std::wstring& name, std::uint32_t timeoutMs,
                             ServiceError& error) override {
        return real_.WaitForRunEnd(name, timeoutMs, error);
    }
    bool QueryService(const std::wstring& name, ServiceQuery& query, ServiceError& error) override {
        return real_.QueryService(name, query, error);
    }

private:
    ServiceManager& real_;
};
#endif

// `mode` is the parser's result: the run mode, or 0 for a switch.
int Run(const std::wstring* argument, unsigned& mode) {
    // Plain text work on the path: std::filesystem would convert it through the C locale,
    // which fails outside ASCII on Linux.
    const std::wstring program = Core_Common::module_file_path();
    std::wstring stem = program.substr(program.find_last_of(L"/\\") + 1);
    stem = stem.substr(0, stem.rfind(L'.'));
    const std::wstring service_name = L"Tarnwick Test " + stem;
    const char* events = std::getenv("TW_TEST_EVENTS");
    EventRecord record(events != nullptr ? std::string(events)
                                         : Core_Common::wide_to_narrow(
                                               program + L".events", Core_Common::code_page_ansi));

    // Set once the exit event has been signalled, for a start that waits for it.
    tw_test::WaitableFlag stop;
#ifdef _WIN32
    UnjudgedServiceManager manager(SystemServiceManager());
    RecordingProcess process(SystemServiceProcess(), record, stop);
#else
    // Never the machine's own unit directory or /run: the test names directories of its own.
    const char* unit_directory = std::getenv("TW_TEST_UNIT_DIR");
    const char* run_directory = std::getenv("TW_TEST_RUN_DIR");
    if (unit_directory == nullptr || run_directory == nullptr) {
        std::cerr << "TW_TEST_UNIT_DIR and TW_TEST_RUN_DIR must name test directories\n";
        return 3;
    }
    // The tests run it from temporary folders, which others may write.
    LinuxServiceManager manager(unit_directory, run_directory, false);
    LinuxServiceProcess real_process(run_directory, false);
    RecordingProcess process(real_process, record, stop);
#endif

    Core_Common::InterfaceLog::Create();
    Core_Common::create_instance(ServiceDispatcher::instance, manager, process);
    ServiceDispatcher& dispatcher = *ServiceDispatcher::instance;

    unsigned result = 0;
    Core_Common::RunGuarded([&] {
        result = ParseCommandLine(service_name, service_name, description,
                                  argument != nullptr ? argument->c_str() : nullptr);
    });
    // The exit codes as the program's.
    int code = result == command_done    ? exit_success
               : result == command_usage ? exit_usage
                                         : exit_failed;
    if (result == command_service_mode || result == command_debug_mode) {
        RecordingHandler handler(record, stop);
        dispatcher.SetHandler(&handler);
        dispatcher.SetServiceName(service_name);
        bool ran = false;
        Core_Common::RunGuarded([&] {
            ran = result == command_service_mode ? dispatcher.RunServiceMode()
                                                 : dispatcher.RunDebugMode();
        });
        code = ran ? exit_success : exit_failed;
        dispatcher.SetHandler(nullptr);
        record.Add("Ended");
    }
    Core_Common::destroy_instance(ServiceDispatcher::instance);
    Core_Common::InterfaceLog::Destroy();
    mode = result;
    return code;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    const std::wstring argument = argc >= 2 ? std::wstring(argv[1]) : std::wstring();
    unsigned mode = 0;
    return Run(argc >= 2 ? &argument : nullptr, mode);
}
#else
int main(int argc, char** argv) {
    const std::wstring argument =
        argc >= 2 ? Core_Common::narrow_to_wide(argv[1], Core_Common::code_page_ansi)
                  : std::wstring();
    unsigned mode = 0;
    const int code = Run(argc >= 2 ? &argument : nullptr, mode);
    if (std::getenv("TW_TEST_STOP_SIGNALS_AT_END") != nullptr) {
        if (mode == command_debug_mode) {
            for (const int signal_number : {SIGINT, SIGQUIT, SIGHUP}) {
                raise(signal_number);
            }
        }
        if (mode == command_service_mode || mode == command_debug_mode) {
            raise(SIGTERM);
        }
    }
    return code;
}
#endif
