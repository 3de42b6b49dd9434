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

#include <gtest/gtest.h>

namespace {

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

TEST(Program, HelpRunsUnderTheGuardAndTheModulesComeAndGo) {
    wchar_t program[] = L"antiarp";
    wchar_t help[] = L"/?";
    wchar_t* argv[] = {program, help, nullptr};
    testing::internal::CaptureStdout();
    const int code = ProgramMain(2, argv);
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_NE(output.find("\t/install\tRegister Service."), std::string::npos) << output;
    EXPECT_FALSE(RegistryExists());
    EXPECT_EQ(ServiceDispatcher::instance, nullptr);
    EXPECT_EQ(InterfaceSocketARP::instance, nullptr);
    // The system's state store is not left behind for the instances of later tests.
    EXPECT_EQ(InterfaceSocketARP::CurrentStateStore(), nullptr);
}

} // namespace
