#include "Core_SocketARP/app/ServiceHandler.h"

#include "Core_Common/DeadLoopDectector.h"
#include "Core_Common/InterfaceConnectorCommon.h"
#include "Core_Common/Log.h"
#include "Core_Common/Message.h"
#include "Core_Common/Timer.h"
#include "Core_Service/CommandLine.h"
#include "Core_Service/ServiceDispatcher.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/app/Program.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/ServiceFakes.h"
#include "fakes/ServiceLines.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using Core_Service::exit_failed;
using Core_Service::exit_success;
using Core_Service::exit_usage;
using Core_Service::ServiceDispatcher;
using Core_SocketARP::InterfaceSocketARP;
using namespace Core_Common::InterfaceConnectorCommon;

// The program's modules over a fake network stack with one answering gateway.
class ApplicationHandler : public testing::Test {
protected:
    void SetUp() override {
        stack.AddLink(3, "192.0.2.1");
        stack.Answer("192.0.2.1", {0x02, 0, 0, 0, 0, 0x01});
        InterfaceSocketARP::UseNetworkStack(stack);
        InitializeModules();
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        const std::string output = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::cerr << output;
        }
        ShutdownModules();
        ReleaseModules();
        InterfaceSocketARP::UseSystemNetworkStack();
    }

    std::size_t Passes() const { return stack.CallsStartingWith("ListInterfaces").size(); }

    tw_test::FakeNetworkStack stack;
};

TEST_F(ApplicationHandler, TakesTheDispatchersHandlerSlotWhileItLives) {
    {
        ServiceHandler handler;
        EXPECT_EQ(ServiceDispatcher::instance->Handler(), &handler);
        EXPECT_EQ(ServiceDispatcher::instance->ServiceName(), L"Tarnwick AntiARP");
    }
    EXPECT_EQ(ServiceDispatcher::instance->Handler(), nullptr);
}

// The stop control and the system's shutdown control both end the protection with the flush,
// before the service reports that it has stopped.
TEST_F(ApplicationHandler, StartTwiceBindsOnceAndStopOrShutdownFlushes) {
    for (const auto stop : {&ServiceHandler::OnStop, &ServiceHandler::OnShutdown}) {
        stack.calls.clear();
        ServiceHandler handler;
        EXPECT_TRUE(handler.OnStart());
        EXPECT_TRUE(handler.OnStart());
        EXPECT_TRUE(InterfaceSocketARP::started);
        EXPECT_EQ(Passes(), 1u);
        EXPECT_EQ(stack.staticEntries.size(), 1u);

        (handler.*stop)();
        EXPECT_FALSE(InterfaceSocketARP::started);
        EXPECT_EQ(stack.CallsStartingWith("Flush ").size(), 2u); // the pass's and the stop's
        (handler.*stop)();                                       // nothing more
        EXPECT_EQ(stack.CallsStartingWith("Flush ").size(), 2u);
    }
}

TEST_F(ApplicationHandler, StopWithoutStartDoesNothing) {
    ServiceHandler handler;
    handler.OnStop();
    EXPECT_TRUE(stack.calls.empty());
}

TEST_F(ApplicationHandler, IdleRunsThePendingWork) {
    ServiceHandler handler;
    int delivered = 0;
    Core_Common::InterfaceMessage::instance->QueueMessage([&] { ++delivered; }, 1);
    handler.OnIdle();
    EXPECT_EQ(delivered, 1);
}

TEST_F(ApplicationHandler, ShutdownStopsAProtectionStillRunning) {
    ServiceHandler handler;
    handler.OnStart();
    ShutdownModules();
    EXPECT_FALSE(InterfaceSocketARP::started);
    StartupModules(); // so that TearDown's phases find what they expect
}

TEST_F(ApplicationHandler, EverySixModulesExistBetweenTheirPhases) {
    EXPECT_NE(Core_Common::InterfaceDeadLoopDectector::instance, nullptr);
    EXPECT_NE(Core_Common::InterfaceLog::instance, nullptr);
    EXPECT_NE(Core_Common::InterfaceMessage::instance, nullptr);
    EXPECT_NE(Core_Common::InterfaceTimer::instance, nullptr);
    EXPECT_NE(ServiceDispatcher::instance, nullptr);
    EXPECT_NE(InterfaceSocketARP::instance, nullptr);
}

// The whole program with its own parts, for what touches neither the service manager nor the
// network: the exit code is the command line's, and the modules come and go.
TEST(Program, TheCommandLinesExitCodeEndsTheProcess) {
    tw_test::FakeNetworkStack stack;
    InterfaceSocketARP::UseNetworkStack(stack);
    for (const auto& [argument, expected] :
         {std::pair{L"/?", exit_success}, {L"--version", exit_success}, {L"/bogus", exit_usage}}) {
        wchar_t program[] = L"antiarp";
        std::wstring text = argument;
        wchar_t* argv[] = {program, text.data(), nullptr};
        testing::internal::CaptureStdout();
        const int code = ProgramMain(2, argv);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, expected) << output;
        EXPECT_FALSE(RegistryExists());
        EXPECT_EQ(ServiceDispatcher::instance, nullptr);
        EXPECT_EQ(InterfaceSocketARP::instance, nullptr);
        // The system's state store is not left behind for the instances of later tests.
        EXPECT_EQ(InterfaceSocketARP::CurrentStateStore(), nullptr);
    }
    InterfaceSocketARP::UseSystemNetworkStack();
    EXPECT_TRUE(stack.calls.empty());
}

// Each switch as the program runs it (RunCommandLine), one after the other on one fake service
// manager and the fake network stack: its exit code and everything it prints. Only the runs
// touch the network; what is no switch touches nothing at all.
class CommandLineExitCodes : public testing::Test {
protected:
    void SetUp() override {
        stack.AddLink(3, "192.0.2.1");
        stack.Answer("192.0.2.1", {0x02, 0, 0, 0, 0, 0x01});
        InterfaceSocketARP::UseNetworkStack(stack);
        InitializeModules();
        Core_Common::create_instance(ServiceDispatcher::instance, manager, process);
        process.startedByManager = false;
    }
    void TearDown() override {
        ShutdownModules();
        ReleaseModules();
        InterfaceSocketARP::UseSystemNetworkStack();
    }

    tw_test::CallJournal journal;
    tw_test::FakeServiceManager manager{journal};
    tw_test::FakeServiceProcess process{journal};
    tw_test::FakeNetworkStack stack;
};

TEST_F(CommandLineExitCodes, EachSwitchEndsWithItsCode) {
    const auto narrow = [](const std::wstring& text) {
        return Core_Common::wide_to_narrow(text, 0);
    };
    const std::string help = Core_Service::HelpText();
    const std::string usage = "Unknown switch \"/bogus\".\n" + help;
    const std::string simulated = narrow(L"[NORMAL][ServiceDispatcher]服务运行在模拟状态\n");
    const std::string in_progress =
        narrow(L"[WARN][ServiceDispatcher]已有实例在运行，本次运行不改动 ARP 表\n");
    struct Case {
        const wchar_t* argument; // null: no argument
        int code;
        std::optional<std::string> output; // none: the runs' pass lines, not checked here
        bool network;
        std::function<void()> before = {};
        const wchar_t* option = nullptr;
    };
    const Case cases[] = {
        {L"/help", exit_success, help, false},
        {L"-h", exit_success, help, false},
        {L"--version", exit_success, Core_Service::VersionLine(L"Tarnwick AntiARP") + "\n", false},
        {L"/bogus", exit_usage, usage, false},
        {L"", exit_usage, "Unknown switch \"\".\n" + help, false},
        {L"--install", exit_usage, "Unknown switch \"--install\".\n" + help, false},
        // The status switch takes one option, and only that one.
        {L"/status",
         exit_usage,
         "Unknown option \"-j\" of /status: it takes --json only.\n" + help,
         false,
         {},
         L"-j"},
        {L"/stop", exit_failed, tw_test::FailureLine(tw_test::fake_error_no_such_service), false},
        {L"-i", exit_success, "Service Register successed.\n", false},
        {L"/install", exit_failed, tw_test::FailureLine(tw_test::fake_error_service_exists), false},
        {L"/start", exit_success, "Service Start successed.\n", false},
        // Refused by the service manager: no line, as ever, but the code tells.
        {L"/start", exit_failed, "", false},
        {L"/u", exit_failed, narrow(L"[ERROR][ServiceDispatcher]服务没有被停止，无法注销服务\n"),
         false},
        {L"/restart", exit_success, "Service Restart successed.\n", false},
        {L"/stop", exit_success, "Service Stop successed.\n", false},
        {L"/stop", exit_failed, tw_test::FailureLine(tw_test::fake_error_not_active), false},
        {L"-uninstall", exit_success, "Service Unregister successed.\n", false},
        {L"-debug", exit_failed, simulated + in_progress, false,
         [this] { process.mutexHeldElsewhere = true; }},
        {nullptr, exit_failed, in_progress, false},
        // Service mode that no service manager started: the pass runs, then no manager answers.
        {nullptr, exit_failed, std::nullopt, true, [this] { process.mutexHeldElsewhere = false; }},
        {L"-DEBUG", exit_success, std::nullopt, true},
    };
    for (const Case& c : cases) {
        const std::string shown = c.argument == nullptr ? "(none)" : narrow(c.argument);
        if (c.before) {
            c.before();
        }
        journal.Clear();
        const std::size_t calls = stack.calls.size();
        testing::internal::CaptureStdout();
        const int code = RunCommandLine(c.argument, c.option);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(code, c.code) << shown << "\n" << output;
        if (c.output) {
            EXPECT_EQ(output, *c.output) << shown;
        }
        EXPECT_EQ(stack.calls.size() != calls, c.network) << shown;
        if (c.code == exit_usage) {
            EXPECT_TRUE(journal.Entries().empty()) << shown;
        }
        // The runs stop what they started (debug mode) or leave it to the modules' end.
        InterfaceSocketARP::Stop();
    }
}

} // namespace
