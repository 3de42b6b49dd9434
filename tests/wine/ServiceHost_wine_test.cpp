// The service host under Wine, end to end: the service test program installed, started,
// controlled, stopped and removed through Wine's Service Control Manager and registry.
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceManager.h"
#include "Core_Service/win/RunningMutex_win.h"
#include "Core_Service/win/ServiceRecovery_win.h"
#include "fakes/ServiceLines.h"
#include "wine/WineServiceSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace Core_Service;
using namespace wine_test;
using testing::Contains;
using testing::ElementsAre;
using tw_test::FailureLine;

class ServiceHostWineTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        const std::wstring tag =
            std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        // Blanks in the folder and the file name: the registered command must quote them.
        folder = fs::path(L"C:\\tw service tests") / (L"run " + tag);
        fs::create_directories(folder);
        program = folder / (L"svc " + tag + L".exe");
        ASSERT_TRUE(CopyFileW(fs::path(SERVICE_HOST_PROGRAM).make_preferred().c_str(),
                              program.c_str(), FALSE));
        service_name = L"Tarnwick Test svc " + tag;
        events = program.wstring() + L".events";
    }

    void TearDown() override {
        remove_service(service_name);
        remove_folder(folder);
    }

    // Runs the program with one argument (none: empty); its output, after checking its exit
    // code.
    std::string Run(const std::wstring& argument, DWORD code = 0) {
        const ProgramResult result = run_program(L"\"" + program.wstring() + L"\" " + argument);
        EXPECT_EQ(result.code, code) << narrow(argument);
        return result.output;
    }

    std::vector<std::string> Events() const {
        std::vector<std::string> lines;
        std::ifstream in(events);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    fs::path folder;
    fs::path program;
    fs::path events;
    std::wstring service_name;
};

TEST_F(ServiceHostWineTest, InstallRegistersTheQuotedPathAndTheDescription) {
    EXPECT_EQ(Run(L"/install"), "Service Register successed.\r\n");
    expect_registered(service_name, program);
}

TEST_F(ServiceHostWineTest, InstallOfAnInstalledServiceFailsAndWritesNoDescription) {
    EXPECT_EQ(Run(L"/i"), "Service Register successed.\r\n");
    const std::wstring key = registry_key(service_name);
    ASSERT_EQ(run_program(L"reg.exe delete " + key + L" /v Description /f").code, 0u);
    EXPECT_EQ(Run(L"-INSTALL", 1), crlf(FailureLine(ERROR_SERVICE_EXISTS)));
    EXPECT_NE(run_program(L"reg.exe query " + key + L" /v Description").code, 0u);
}

TEST_F(ServiceHostWineTest, StartedServiceReportsItsStatesTakesUserControlsAndStops) {
    Run(L"/install");
    EXPECT_EQ(Run(L"/start"), "Service Start successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    const std::wstring mutex_name = L"Global\\MUTEX_TARNWICK_SERVICE_" + service_name;
    EXPECT_TRUE(ScopedKernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, mutex_name.c_str())));

    {
        const auto service = open_service(service_name, SERVICE_USER_DEFINED_CONTROL);
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(service.get(), 128, &status));
        EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_EQ(status.dwControlsAccepted,
                  static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
    }
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    // The stop waited for the run to end: every state has been sent.
    auto events = Events();
    // The first idle call comes at some point of the run; the program's own end may follow.
    for (const char* loose : {"OnIdle", "Ended"}) {
        events.erase(std::remove(events.begin(), events.end(), loose), events.end());
    }
    // Stopping is reported before the handler's stop and again after it; the run loop's waits
    // meanwhile may repeat it with the next checkpoint.
    events.erase(std::unique(events.begin(), events.end(),
                             [](const std::string& a, const std::string& b) {
                                 return a == b && a == "Status 3 5";
                             }),
                 events.end());
    EXPECT_THAT(events,
                ElementsAre("OnStart", "Status 2 0", "Status 4 5", "OnUserControl 128",
                            "Status 4 5", "Status 3 5", "OnStop", "Status 3 5", "Status 1 0"));
    EXPECT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
}

TEST_F(ServiceHostWineTest, StopOfAServiceThatDoesNotRunFails) {
    Run(L"/install");
    EXPECT_EQ(Run(L"/stop", 1), crlf(FailureLine(ERROR_SERVICE_NOT_ACTIVE)));
}

TEST_F(ServiceHostWineTest, RestartOfARunningServiceStopsAndStartsIt) {
    Run(L"/install");
    Run(L"/start");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_EQ(Run(L"/restart"), "Service Restart successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    const auto events = Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "OnStart"), 2);
    EXPECT_THAT(events, Contains("OnStop"));
}

TEST_F(ServiceHostWineTest, RestartOfAStoppedServiceOnlyStartsIt) {
    Run(L"/install");
    EXPECT_EQ(Run(L"-restart"), "Service Restart successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_THAT(Events(), testing::Not(Contains("OnStop")));
}

TEST_F(ServiceHostWineTest, UninstallRemovesAStoppedServiceOnly) {
    Run(L"/install");
    Run(L"/start");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_EQ(Run(L"/uninstall", 1),
              "[ERROR][ServiceDispatcher]" + narrow(L"服务没有被停止，无法注销服务") + "\r\n");
    EXPECT_TRUE(open_service(service_name, SERVICE_QUERY_STATUS));
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
    EXPECT_EQ(Run(L"-U"), "Service Unregister successed.\r\n");
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
}

// The start lasts until the run's exit event is signalled: only a console handler present from
// the run's start can end it; the system's own would end the process with no stop.
TEST_F(ServiceHostWineTest, CtrlCDuringTheStartEndsTheRunAfterItWithTheStop) {
    SetEnvironmentVariableW(L"TW_TEST_HOLD_START", L"1");
    ChildProcess debug(L"\"" + program.wstring() + L"\" /debug", CREATE_NEW_CONSOLE);
    SetEnvironmentVariableW(L"TW_TEST_HOLD_START", nullptr);
    ASSERT_TRUE(debug.started());
    // The run's first line; the handler is in place before it.
    ASSERT_TRUE(debug.ReadUntil(crlf(narrow(L"[NORMAL][ServiceDispatcher]服务运行在模拟状态\n"))));
    EXPECT_EQ(send_ctrl_c(CONSOLE_EVENT_SENDER, debug.id()), 0u);
    EXPECT_TRUE(debug.WaitForExit());
    EXPECT_EQ(debug.Finish().code, 0u);
    EXPECT_THAT(Events(), ElementsAre("OnStart", "OnStop", "Ended"));
}

// A stopper's wait for the run's end: a time-out (with the system's code for a service that
// does not answer in time) while a run holds the running mutex, the end once that run's thread
// has gone without releasing it.
TEST(WaitForRunEndWine, TimesOutWhileARunHoldsTheMutexAndEndsWhenItIsAbandoned) {
    const std::wstring name = L"Tarnwick Test wait " + std::to_wstring(GetCurrentProcessId());
    const ScopedKernelHandle holding(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const ScopedKernelHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    RunningMutex mutex;
    std::thread run([&] {
        mutex = RunningMutex::Make(name);
        WaitForSingleObject(mutex.get(), 0);
        SetEvent(holding.get());
        WaitForSingleObject(release.get(), give_up_ms);
    });
    ASSERT_EQ(WaitForSingleObject(holding.get(), give_up_ms), static_cast<DWORD>(WAIT_OBJECT_0));
    ServiceManager& manager = SystemServiceManager();
    ServiceError error;
    EXPECT_EQ(manager.WaitForRunEnd(name, 50, error), RunEndWait::no_response);
    EXPECT_EQ(error.code, static_cast<std::uint32_t>(ERROR_SERVICE_REQUEST_TIMEOUT));
    SetEvent(release.get());
    run.join();
    EXPECT_EQ(manager.WaitForRunEnd(name, 50, error), RunEndWait::ended);
}

// Another account that makes and holds a mutex of the running mutex's old global name (under
// Wine, which has no private namespaces, still the name of the runs' own) keeps no run from
// starting and no stop waiting: it is not the runs' mutex.
TEST_F(ServiceHostWineTest, AMutexOfTheRunsNameHeldByAnotherAccountKeepsNoRunFromStarting) {
    const std::wstring global_name = L"Global\\MUTEX_TARNWICK_SERVICE_" + service_name;
    const ScopedKernelHandle squatter(CreateMutexW(nullptr, TRUE, global_name.c_str()));
    ASSERT_TRUE(squatter);
    Run(L"/install");
    EXPECT_EQ(Run(L"/start"), "Service Start successed.\r\n");
    ASSERT_TRUE(wait_for_state(service_name, SERVICE_RUNNING));
    EXPECT_EQ(Run(L"/stop"), "Service Stop successed.\r\n");
    EXPECT_TRUE(wait_for_state(service_name, SERVICE_STOPPED));
    const auto events = Events();
    EXPECT_THAT(events, Contains("OnStart"));
    EXPECT_THAT(events, Contains("OnStop"));
}

// What the install's service handle asks the service manager for, recorded at the call and
// passed on: Wine's service manager keeps no failure actions (Windows keeps them in the
// service's key, as FailureActions and FailureActionsOnNonCrashFailures) and knows no flag.
struct RecordedConfig {
    DWORD level = 0;
    DWORD resetPeriod = 0;
    std::vector<std::pair<SC_ACTION_TYPE, DWORD>> actions;
    BOOL onNonCrashFailures = FALSE;
};
std::vector<RecordedConfig> recorded_configs;

BOOL WINAPI record_config(SC_HANDLE service, DWORD level, LPVOID info) {
    RecordedConfig config;
    config.level = level;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* failure = static_cast<const SERVICE_FAILURE_ACTIONSW*>(info);
        config.resetPeriod = failure->dwResetPeriod;
        for (DWORD i = 0; i < failure->cActions; ++i) {
            config.actions.emplace_back(failure->lpsaActions[i].Type,
                                        failure->lpsaActions[i].Delay);
        }
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        config.onNonCrashFailures = static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(info)
                                        ->fFailureActionsOnNonCrashFailures;
    }
    recorded_configs.push_back(config);
    return ChangeServiceConfig2W(service, level, info);
}

// A run that crashes ends its process without reporting that it stopped: the service manager
// starts the service again, 5 s later, then 60 s later from the third failure of a day, also
// for a run that reports stopped with an error.
TEST_F(ServiceHostWineTest, TheInstalledServiceIsStartedAgainAfterACrash) {
    ServiceConfigApi& api = SystemServiceConfigApi();
    api.changeServiceConfig2 = &record_config;
    ServiceError error;
    const auto manager = SystemServiceManager().OpenManager(access_manager_create_service, error);
    ASSERT_TRUE(manager) << error.code;
    const auto service = manager->CreateServiceEntry(
        ProgramServiceDefinition(service_name, service_name, program.wstring()), error);
    ASSERT_TRUE(service) << error.code;
    EXPECT_TRUE(service->SetRestartOnFailure(error)) << error.code;
    api = ServiceConfigApi{};
    ASSERT_EQ(recorded_configs.size(), 2u);
    EXPECT_EQ(recorded_configs[0].level, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS));
    EXPECT_EQ(recorded_configs[0].resetPeriod, 86400u);
    EXPECT_THAT(recorded_configs[0].actions,
                ElementsAre(std::pair{SC_ACTION_RESTART, DWORD{5000}},
                            std::pair{SC_ACTION_RESTART, DWORD{5000}},
                            std::pair{SC_ACTION_RESTART, DWORD{60000}}));
    EXPECT_EQ(recorded_configs[1].level, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG));
    EXPECT_TRUE(recorded_configs[1].onNonCrashFailures);
}

TEST_F(ServiceHostWineTest, HelpFormsPrintTheHelpText) {
    for (const wchar_t* form : {L"/?", L"?", L"-?", L"/HELP"}) {
        EXPECT_EQ(Run(form), crlf(HelpText())) << narrow(form);
    }
}

// A switch with extra characters is no switch: named, with the help text, and nothing run. No
// argument at all is service mode, which cannot connect to the Service Control Manager.
TEST_F(ServiceHostWineTest, OnlyNoArgumentRunsServiceModeWhichCannotConnect) {
    EXPECT_EQ(Run(L"/installx", 2), crlf("Unknown switch \"/installx\".\n" + HelpText()));
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Run(L"", 1), "");
    EXPECT_THAT(Events(), ElementsAre("OnStart", "Ended"));
    EXPECT_FALSE(open_service(service_name, SERVICE_QUERY_STATUS));
}

} // namespace
