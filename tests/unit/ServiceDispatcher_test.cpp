#include "Core_Service/ServiceDispatcher.h"

#include "Core_Common/Utility.h"
#include "fakes/ServiceFakes.h"
#include "fakes/WaitableFlag.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>

namespace {

using namespace Core_Service;
using testing::ElementsAre;
using testing::ElementsAreArray;
using tw_test::CallJournal;
using tw_test::FakeServiceManager;
using tw_test::FakeServiceProcess;
using tw_test::RecordingServiceHandler;

// The single dispatcher on fakes, driving a recording handler.
class ServiceRunTest : public testing::Test {
protected:
    void SetUp() override {
        Core_Common::create_instance(ServiceDispatcher::instance, manager, process);
        dispatcher().SetServiceName(L"Tarnwick AntiARP");
        dispatcher().SetHandler(&handler);
    }
    void TearDown() override { Core_Common::destroy_instance(ServiceDispatcher::instance); }

    static ServiceDispatcher& dispatcher() { return *ServiceDispatcher::instance; }

    // Delivers a service control as the service manager does, through the registered handler.
    void Control(std::uint32_t code) {
        ASSERT_NE(process.control, nullptr);
        process.control(code);
    }

    std::vector<std::uint32_t> States() const {
        std::vector<std::uint32_t> states;
        for (const auto& status : process.statuses) {
            states.push_back(status.currentState);
        }
        return states;
    }

    CallJournal journal;
    FakeServiceManager manager{journal};
    FakeServiceProcess process{journal};
    RecordingServiceHandler handler{journal};
};

// The system log first: the first binding pass's lines are the service's first events.
TEST_F(ServiceRunTest, ServiceModeOpensTheSystemLogThenStartsTheHandlerBeforeConnecting) {
    process.startedByManager = false;
    // No service manager to connect to: the service did not run.
    EXPECT_FALSE(dispatcher().RunServiceMode());
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenSystemLog Tarnwick AntiARP", "CreateRunningMutex Tarnwick AntiARP",
                            "OnStart", "RunDispatcher Tarnwick AntiARP", "ReleaseRunningMutex"));
    EXPECT_TRUE(process.statuses.empty());
}

TEST_F(ServiceRunTest, ServiceModeDoesNotConnectWhenStartFails) {
    handler.startResult = false;
    EXPECT_FALSE(dispatcher().RunServiceMode());
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenSystemLog Tarnwick AntiARP", "CreateRunningMutex Tarnwick AntiARP",
                            "OnStart", "ReleaseRunningMutex"));
}

class StopControlTest : public ServiceRunTest,
                        public testing::WithParamInterface<std::pair<std::uint32_t, const char*>> {
};

// The stop control and the system's shutdown control: the service manager learns that the
// service is stopping before the handler's stop runs, and that it has stopped only after.
TEST_P(StopControlTest, EndsTheRunInItsOrder) {
    const auto [control, handlerCall] = GetParam();
    process.onWait = [this, control = control](int wait) {
        if (wait == 3) {
            Control(control);
        }
    };
    dispatcher().RunServiceMode();
    EXPECT_THAT(journal.Entries(), ElementsAreArray({
                                       "OpenSystemLog Tarnwick AntiARP",
                                       // Held from before the start until the service manager's
                                       // dispatcher has returned, on the main thread.
                                       "CreateRunningMutex Tarnwick AntiARP",
                                       "OnStart",
                                       "RunDispatcher Tarnwick AntiARP",
                                       "RegisterControlHandler Tarnwick AntiARP",
                                       "SetStatus 2 0",
                                       "CreateExitEvent",
                                       "SetStatus 4 5",
                                       "Wait 100",
                                       "OnIdle",
                                       "Wait 100",
                                       "OnIdle",
                                       "Wait 100",
                                       "SetStatus 3 5",
                                       handlerCall,
                                       "SignalExitEvent",
                                       "SetStatus 3 5",
                                       "CloseExitEvent",
                                       "SetStatus 1 0",
                                       "ReleaseRunningMutex",
                                   }));
    EXPECT_FALSE(process.mutexOwned);
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControlTest,
                         testing::Values(std::pair{control_stop, "OnStop"},
                                         std::pair{control_shutdown, "OnShutdown"}),
                         [](const auto& info) { return std::string(info.param.second); });

// A stop that takes a while (the handler's stop runs on the control handler's thread): each wait
// of the run loop meanwhile moves the checkpoint on, within the wait hint, until stopped.
TEST_F(ServiceRunTest, AStopReportsItsProgressWithinItsWaitHint) {
    tw_test::WaitableFlag stopping;
    tw_test::WaitableFlag finish;
    std::thread manager;
    handler.onStop = [&] {
        stopping.Set();
        EXPECT_TRUE(finish.WaitFor(std::chrono::seconds(10)));
    };
    process.onWait = [&](int wait) {
        if (wait == 1) {
            manager = std::thread([this] { Control(control_stop); });
            ASSERT_TRUE(stopping.WaitFor(std::chrono::seconds(10)));
        }
        if (wait == 4) {
            finish.Set();
            manager.join(); // the event is signalled before this wait answers
        }
    };
    dispatcher().RunServiceMode();
    ASSERT_EQ(States(), (std::vector<std::uint32_t>{service_start_pending, service_running,
                                                    service_stop_pending, service_stop_pending,
                                                    service_stop_pending, service_stop_pending,
                                                    service_stop_pending, service_stopped}));
    std::vector<std::uint32_t> checkpoints;
    for (const auto& status : process.statuses) {
        EXPECT_EQ(status.serviceType, 0x30u);
        EXPECT_EQ(status.win32ExitCode, 0u);
        EXPECT_EQ(status.serviceSpecificExitCode, 0u);
        EXPECT_EQ(status.waitHint, status.currentState == service_stop_pending ? 5000u : 0u);
        checkpoints.push_back(status.checkPoint);
    }
    EXPECT_EQ(checkpoints, (std::vector<std::uint32_t>{0, 0, 1, 2, 3, 4, 5, 0}));
}
TEST_F(ServiceRunTest, PauseContinueAndInterrogateResendTheUnchangedStatus) {
    process.onWait = [this](int wait) {
        if (wait == 1) {
            journal.Clear();
            Control(control_pause);
            Control(control_continue);
            Control(control_interrogate);
            EXPECT_THAT(journal.Entries(),
                        ElementsAre("SetStatus 4 5", "SetStatus 4 5", "SetStatus 4 5"));
            Control(control_stop);
        }
    };
    dispatcher().RunServiceMode();
}

TEST_F(ServiceRunTest, UserControlsReachTheHandlerThenTheStatusIsSent) {
    process.onWait = [this](int wait) {
        if (wait == 1) {
            journal.Clear();
            Control(128);
            Control(255);
            Control(127);
            Control(256);
            EXPECT_THAT(journal.Entries(),
                        ElementsAre("OnUserControl 128", "SetStatus 4 5", "OnUserControl 255",
                                    "SetStatus 4 5", "SetStatus 4 5", "SetStatus 4 5"));
            Control(control_stop);
        }
    };
    dispatcher().RunServiceMode();
}

TEST_F(ServiceRunTest, FailedRegistrationClearsTheHandlerAndSendsNothing) {
    process.registerSucceeds = false;
    dispatcher().RunServiceMode();
    EXPECT_THAT(journal.Entries(),
                ElementsAre("OpenSystemLog Tarnwick AntiARP", "CreateRunningMutex Tarnwick AntiARP",
                            "OnStart", "RunDispatcher Tarnwick AntiARP",
                            "RegisterControlHandler Tarnwick AntiARP", "ReleaseRunningMutex"));
    EXPECT_EQ(dispatcher().Handler(), nullptr);
    EXPECT_TRUE(process.statuses.empty());
}

TEST_F(ServiceRunTest, FailedStatusReportsAreReportedAndTheRunGoesOn) {
    process.statusError = 6;
    process.onWait = [this](int) { Control(control_stop); };
    testing::internal::CaptureStdout();
    dispatcher().RunServiceMode();
    const std::string output = testing::internal::GetCapturedStdout();
    const std::string line = "[ERROR][ServiceDispatcher][ error_code = 6 ] " +
                             Core_Common::wide_to_narrow(Core_Common::system_error_text(6), 0) +
                             "\n";
    std::string expected;
    for (std::size_t i = 0; i < process.statuses.size(); ++i) {
        expected += line;
    }
    EXPECT_EQ(process.statuses.size(), 5u);
    EXPECT_EQ(output, expected);
    EXPECT_EQ(States().back(), service_stopped);
}

TEST_F(ServiceRunTest, IdleRunsAfterEveryWaitThatDoesNotSeeTheEvent) {
    process.failingWaits = 2;
    process.onWait = [this](int wait) {
        if (wait == 5) {
            Control(control_stop);
        }
    };
    dispatcher().RunServiceMode();
    EXPECT_EQ(handler.idles, 4);
}

TEST_F(ServiceRunTest, ControlsWithoutAHandlerStillEndTheRun) {
    process.onWait = [this](int) {
        dispatcher().SetHandler(nullptr);
        Control(control_stop);
    };
    dispatcher().RunServiceMode();
    EXPECT_THAT(journal.Entries(), testing::Not(testing::Contains("OnStop")));
    EXPECT_EQ(States().back(), service_stopped);
}

TEST_F(ServiceRunTest, EntriesDoNothingWithoutADispatcher) {
    process.onWait = [this](int) { Control(control_stop); };
    dispatcher().RunServiceMode();
    const ServiceControlEntry control = process.control;
    Core_Common::destroy_instance(ServiceDispatcher::instance);
    journal.Clear();
    control(control_stop);
    ServiceDispatcher::ServiceMain(0, nullptr);
    EXPECT_TRUE(journal.Entries().empty());
}

TEST_F(ServiceRunTest, DebugModeRunsTheHandlerInTheConsole) {
    process.onWait = [this](int wait) {
        if (wait == 2) {
            ASSERT_NE(process.console, nullptr);
            EXPECT_TRUE(process.console(ctrl_c_event));
        }
    };
    testing::internal::CaptureStdout();
    EXPECT_TRUE(dispatcher().RunDebugMode());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Core_Common::wide_to_narrow(L"[NORMAL][ServiceDispatcher]服务运行在模拟状态\n", 0));
    EXPECT_THAT(journal.Entries(), ElementsAreArray({
                                       // Console events count from the run's start.
                                       "CreateExitEvent",
                                       "AddConsoleControlHandler",
                                       "CreateRunningMutex Tarnwick AntiARP",
                                       "OnStart",
                                       "Wait 100",
                                       "OnIdle",
                                       "Wait 100",
                                       "SignalExitEvent",
                                       "CloseExitEvent",
                                       "OnStop",
                                       "ReleaseRunningMutex",
                                   }));
    EXPECT_TRUE(process.statuses.empty());
}

TEST_F(ServiceRunTest, DebugModeWithoutStartReleasesTheMutexAtOnce) {
    handler.startResult = false;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher().RunDebugMode());
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(journal.Entries(), ElementsAre("CreateExitEvent", "AddConsoleControlHandler",
                                               "CreateRunningMutex Tarnwick AntiARP", "OnStart",
                                               "CloseExitEvent", "ReleaseRunningMutex"));
}

// Ctrl+C while the first binding pass runs: the run starts, sees the event at its first wait and
// ends with the stop.
TEST_F(ServiceRunTest, ConsoleEventDuringTheStartEndsTheRunAfterIt) {
    handler.onStart = [this] {
        ASSERT_NE(process.console, nullptr);
        EXPECT_TRUE(process.console(ctrl_c_event));
    };
    testing::internal::CaptureStdout();
    dispatcher().RunDebugMode();
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(
        journal.Entries(),
        ElementsAreArray({"CreateExitEvent", "AddConsoleControlHandler",
                          "CreateRunningMutex Tarnwick AntiARP", "OnStart", "SignalExitEvent",
                          "Wait 100", "CloseExitEvent", "OnStop", "ReleaseRunningMutex"}));
}

// A program file that others could replace: one line, before the running mutex and the start.
TEST_F(ServiceRunTest, ServiceModeRefusesAProgramOthersCouldReplace) {
    process.programPlaceRefusal = L"The service does not run /var/tmp/drop/antiarp";
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher().RunServiceMode());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ERROR][ServiceDispatcher]The service does not run /var/tmp/drop/antiarp\n");
    EXPECT_THAT(journal.Entries(), ElementsAre("OpenSystemLog Tarnwick AntiARP"));
}

// Another run holds the running mutex: one line, and neither mode starts or stops anything.
TEST_F(ServiceRunTest, ModesThatFindARunInProgressLeaveItAlone) {
    process.mutexHeldElsewhere = true;
    const std::string line = Core_Common::wide_to_narrow(
        L"[WARN][ServiceDispatcher]已有实例在运行，本次运行不改动 ARP 表\n", 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher().RunServiceMode());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    EXPECT_THAT(journal.Entries(), ElementsAre("OpenSystemLog Tarnwick AntiARP",
                                               "CreateRunningMutex Tarnwick AntiARP"));

    journal.Clear();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(dispatcher().RunDebugMode());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              Core_Common::wide_to_narrow(L"[NORMAL][ServiceDispatcher]服务运行在模拟状态\n", 0) +
                  line);
    EXPECT_THAT(journal.Entries(),
                ElementsAre("CreateExitEvent", "AddConsoleControlHandler",
                            "CreateRunningMutex Tarnwick AntiARP", "CloseExitEvent"));
}

class DebugModeEndTest : public ServiceRunTest,
                         public testing::WithParamInterface<std::uint32_t> {};

TEST_P(DebugModeEndTest, CtrlCAndCtrlBreakEndTheRun) {
    process.onWait = [this](int wait) {
        if (wait == 1) {
            EXPECT_TRUE(process.console(GetParam()));
        }
    };
    testing::internal::CaptureStdout();
    dispatcher().RunDebugMode();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(process.waits, 1);
    EXPECT_EQ(journal.Entries().back(), "ReleaseRunningMutex");
}

INSTANTIATE_TEST_SUITE_P(CtrlCBreak, DebugModeEndTest,
                         testing::Values(ctrl_c_event, ctrl_break_event));

class DebugModeEndAfterStopTest : public ServiceRunTest,
                                  public testing::WithParamInterface<std::uint32_t> {};

// The process ends when the handler of a close, logoff or shutdown event returns: it returns only
// once the run has stopped (the event comes on a thread of its own, as the system sends it).
TEST_P(DebugModeEndAfterStopTest, CloseLogoffAndShutdownReturnOnlyAfterTheStop) {
    process.waitsBlock = true;
    std::thread system_thread;
    tw_test::WaitableFlag returned;
    process.onWait = [&](int wait) {
        if (wait != 1) {
            return;
        }
        system_thread = std::thread([&] {
            EXPECT_TRUE(process.console(GetParam()));
            journal.Add("handler returned");
            returned.Set();
        });
        // The run cannot stop while this wait of its loop lasts: a handler that has signalled
        // the event must still be waiting. (A bounded look: its return would come at once.)
        ASSERT_TRUE(process.WaitUntilSignalled());
        EXPECT_FALSE(returned.WaitFor(std::chrono::milliseconds(200)));
    };
    testing::internal::CaptureStdout();
    dispatcher().RunDebugMode();
    testing::internal::GetCapturedStdout();
    system_thread.join();
    const auto entries = journal.Entries();
    ASSERT_GE(entries.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(entries.end() - 4, entries.end()),
                ElementsAre("CloseExitEvent", "OnStop", "ReleaseRunningMutex", "handler returned"));
}

INSTANTIATE_TEST_SUITE_P(CloseLogoffShutdown, DebugModeEndAfterStopTest,
                         testing::Values(ctrl_close_event, ctrl_logoff_event, ctrl_shutdown_event));

TEST_F(ServiceRunTest, OtherEventsAreLeftToTheNextHandler) {
    process.onWait = [this](int wait) {
        if (wait == 1) {
            EXPECT_FALSE(process.console(3));
            EXPECT_FALSE(process.console(4));
            EXPECT_FALSE(process.console(7));
        }
        if (wait == 3) {
            process.console(ctrl_break_event);
        }
    };
    testing::internal::CaptureStdout();
    dispatcher().RunDebugMode();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(process.waits, 3);
    EXPECT_EQ(handler.idles, 2);
}

TEST(ServiceDispatcherModule, CreateTwiceLeavesOneDispatcherAndDestroyClearsIt) {
    InterfaceServiceDispatcher::Create();
    ServiceDispatcher* first = ServiceDispatcher::instance;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->ModuleName(), L"ServiceDispatcher");
    EXPECT_EQ(first->Handler(), nullptr);
    EXPECT_TRUE(first->ServiceName().empty());
    InterfaceServiceDispatcher::Create();
    EXPECT_NE(ServiceDispatcher::instance, nullptr);
    InterfaceServiceDispatcher::Destroy();
    EXPECT_EQ(ServiceDispatcher::instance, nullptr);
    InterfaceServiceDispatcher::Destroy();
    EXPECT_EQ(ServiceDispatcher::instance, nullptr);
}

} // namespace
