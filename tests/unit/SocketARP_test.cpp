#include "Core_SocketARP/SocketARP.h"

#include "Core_Common/Thread.h"
#include "Core_Common/Timer.h"
#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/Gate.h"
#include "fakes/PassLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Core_SocketARP::InterfaceSocketARP;
using Core_SocketARP::RouteRegistration;
using Core_SocketARP::SocketARP;
using tw_test::BoundLine;
using tw_test::ErrorLine;
using tw_test::FakeNetworkStack;
using tw_test::FakeRouteChanges;
using tw_test::FlushErrorLine;
using tw_test::Gate;

const std::vector<std::uint8_t> first_mac = {0x02, 0xab, 0xcd, 0xef, 0x10, 0x99};
const std::vector<std::uint8_t> second_mac = {0x0a, 0x00, 0x27, 0x00, 0x00, 0x05};
const std::string first_gateway = "192.168.1.1";
const std::string second_gateway = "192.168.1.254";

const std::string changed_line = "Routing table changed..\n";
const std::string not_supported_line = "pNotifyRouteChange not supported.\n";

std::string FirstBound() {
    return BoundLine(0, first_gateway, Core_Common::bytes_to_hex(first_mac));
}
std::string SecondBound() {
    return BoundLine(0, second_gateway, Core_Common::bytes_to_hex(second_mac));
}

// The module over a fake stack with one link whose gateway answers; every test ends with the
// protection stopped and the module gone, also when it fails halfway.
class ArpModuleTest : public testing::Test {
protected:
    void SetUp() override {
        stack.AddLink(7, first_gateway);
        stack.Answer(first_gateway, first_mac);
        stack.Answer(second_gateway, second_mac);
        InterfaceSocketARP::UseNetworkStack(stack);
        InterfaceSocketARP::Create();
        testing::internal::CaptureStdout();
        capturing_ = true;
    }

    void TearDown() override {
        gate.Open();
        InterfaceSocketARP::Stop();
        InterfaceSocketARP::Destroy();
        InterfaceSocketARP::UseSystemNetworkStack();
        if (capturing_) {
            // Failures of the test body were printed into the capture.
            const std::string text = testing::internal::GetCapturedStdout();
            if (HasFailure()) {
                std::cerr << text;
            }
        }
    }

    // Everything printed since SetUp; ends the capture.
    std::string Output() {
        capturing_ = false;
        return testing::internal::GetCapturedStdout();
    }

    // Moves the link's gateway while the monitor waits, then changes the routing table.
    void MoveGatewayAndChange(const std::string& gateway) {
        stack.adapters[0].gateway = gateway;
        changes.Change();
    }

    std::size_t Count(const std::string& prefix) const {
        return stack.CallsStartingWith(prefix).size();
    }

    SocketARP& Instance() { return *InterfaceSocketARP::instance; }

    FakeNetworkStack stack;
    FakeRouteChanges& changes = stack.routeChanges;
    Gate gate;

private:
    bool capturing_ = false;
};

using ArpModuleLifecycle = ArpModuleTest;
using RouteChangeMonitor = ArpModuleTest;

TEST_F(ArpModuleLifecycle, StartRegistersThenBindsOnTheCallingThreadBeforeTheMonitorRuns) {
    std::thread::id passThread;
    int registrationsDuringPass = -1;
    bool monitorRunningDuringPass = true;
    stack.onSendArpRequest = [&] {
        passThread = std::this_thread::get_id();
        registrationsDuringPass = changes.Registrations();
        monitorRunningDuringPass = Instance().running;
    };

    InterfaceSocketARP::Start();

    EXPECT_TRUE(InterfaceSocketARP::started);
    EXPECT_EQ(passThread, std::this_thread::get_id());
    EXPECT_EQ(registrationsDuringPass, 1);
    EXPECT_FALSE(monitorRunningDuringPass);
    EXPECT_EQ(stack.staticEntries.at({7, first_gateway}), first_mac);
    ASSERT_TRUE(changes.AwaitWaits(1));
    EXPECT_EQ(changes.Registrations(), 1);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, StartTwiceRunsOnePassAndOneMonitor) {
    InterfaceSocketARP::Start();
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    InterfaceSocketARP::Stop();

    EXPECT_EQ(Count("Ask"), 1U);
    EXPECT_EQ(changes.Registrations(), 1);
    EXPECT_EQ(changes.EndedSubscriptions(), 1);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, StopWithoutStartDoesNothingAndPrintsNothing) {
    InterfaceSocketARP::Stop();

    EXPECT_TRUE(stack.calls.empty());
    EXPECT_EQ(changes.StopSignals(), 0);
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_EQ(Output(), "");
}

TEST_F(ArpModuleLifecycle, StopEndsTheMonitorThenFlushesEveryInterfaceOnce) {
    stack.AddLink(9, "");
    stack.flushErrors[9] = 5;
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    stack.calls.clear();
    std::vector<bool> monitorRunningAtFlush;
    stack.onFlushArpTable = [&](std::uint32_t) {
        monitorRunningAtFlush.push_back(changes.EndedSubscriptions() == 0 || Instance().running);
    };

    InterfaceSocketARP::Stop();

    const std::vector<std::string> expected = {"ListInterfaces", "ListAdapters", "Flush 7",
                                               "Flush 9"};
    EXPECT_EQ(stack.calls, expected);
    EXPECT_EQ(monitorRunningAtFlush, (std::vector<bool>{false, false}));
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_TRUE(stack.staticEntries.empty());
    // The flush pass prints only its failures.
    const std::string firstPass = FlushErrorLine(1, 5) + FirstBound();
    EXPECT_EQ(Output(), firstPass + FlushErrorLine(1, 5));
}

TEST_F(ArpModuleLifecycle, ShutdownAfterStopDoesNothing) {
    InterfaceSocketARP::Start();
    InterfaceSocketARP::Stop();
    stack.calls.clear();

    InterfaceSocketARP::Shutdown();

    EXPECT_TRUE(stack.calls.empty());
    EXPECT_EQ(changes.StopSignals(), 1);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, ShutdownStopsARunningProtection) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    InterfaceSocketARP::Shutdown();

    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_FALSE(Instance().running);
    EXPECT_EQ(Count("Flush 7"), 2U);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, DestroyAfterShutdownFreesTheInstanceAtOnce) {
    InterfaceSocketARP::Start();
    InterfaceSocketARP::Shutdown();

    InterfaceSocketARP::Destroy();

    EXPECT_EQ(InterfaceSocketARP::instance, nullptr);
    EXPECT_EQ(changes.EndedSubscriptions(), 1);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, DestroyOfAStartedModuleEndsItsMonitorFirst) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    InterfaceSocketARP::Destroy();

    EXPECT_EQ(changes.EndedSubscriptions(), 1);
    // The flag does not go with the instance; Stop still flushes.
    EXPECT_TRUE(InterfaceSocketARP::started);
    stack.calls.clear();
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Count("Flush 7"), 1U);
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(ArpModuleLifecycle, CreateReplacesTheInstanceWithAFreshOne) {
    InterfaceSocketARP::Create();

    ASSERT_NE(InterfaceSocketARP::instance, nullptr);
    EXPECT_FALSE(Instance().running);
    EXPECT_EQ(&Instance().Stack(), &stack);
    EXPECT_EQ(Instance().GetStopEvent().CreationError(), 0U);
    EXPECT_EQ(Output(), "");
}

TEST_F(ArpModuleLifecycle, StartWithoutAnInstanceThrowsZeroAndStaysStopped) {
    InterfaceSocketARP::Destroy();

    int thrown = -1;
    try {
        InterfaceSocketARP::Start();
    } catch (int value) {
        thrown = value;
    }

    EXPECT_EQ(thrown, 0);
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_TRUE(stack.calls.empty());
    EXPECT_EQ(Output(), "");
}

TEST_F(RouteChangeMonitor, ChangePrintsItsLineThenOneBindingPass) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(2));

    EXPECT_EQ(stack.staticEntries.at({7, second_gateway}), second_mac);
    EXPECT_FALSE(stack.staticEntries.contains({7, first_gateway}));
    EXPECT_EQ(Count("ListInterfaces"), 2U);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound());
    // Only the kept entries' neighbour changes reach the monitor; during a pass every one does,
    // as its new pins are not watched yet.
    const auto watched = [](const std::string& gateway) {
        const std::uint32_t address = *Core_SocketARP::ParseDottedQuad(gateway);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
        return tw_test::FakeRouteChanges::Watched{
            {Core_SocketARP::WatchedNeighbour{7u, {bytes, bytes + 4}}}};
    };
    EXPECT_EQ(changes.WatchedNeighbours(),
              (std::vector<tw_test::FakeRouteChanges::Watched>{watched(first_gateway), std::nullopt,
                                                               watched(second_gateway)}));
}

TEST_F(RouteChangeMonitor, RunsOnItsNamedThread) {
    std::string name;
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    stack.onSendArpRequest = [&] { name = Core_Common::thread_helper::current_thread_name(); };

    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(2));

#ifdef _WIN32
    EXPECT_EQ(name, "SocketARP_Monitor");
#else
    EXPECT_EQ(name, "SocketARP_Monit"); // the kernel keeps 15 bytes
#endif
}

TEST_F(RouteChangeMonitor, BurstOfChangesBeforeTheWaitMakesOnePass) {
    changes.OnWait([&](int wait) {
        if (wait == 1) {
            for (int i = 0; i < 5; ++i) {
                changes.Change();
            }
        }
    });
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(2));
    InterfaceSocketARP::Stop();

    EXPECT_EQ(Count("ListInterfaces"), 3U); // the first pass, one monitor pass, the flush pass
    EXPECT_EQ(Output(), FirstBound() + changed_line + FirstBound());
}

TEST_F(RouteChangeMonitor, StopWhileWaitingEndsTheThreadSilently) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    InterfaceSocketARP::Stop();

    EXPECT_FALSE(Instance().running);
    EXPECT_EQ(changes.EndedSubscriptions(), 1);
    EXPECT_EQ(changes.Waits(), 1);
    EXPECT_EQ(Output(), FirstBound());
}

TEST_F(RouteChangeMonitor, StopDuringAPassLetsThePassFinish) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    stack.onSendArpRequest = [&] { gate.Enter(); };
    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(gate.AwaitEntered());

    std::thread stopper([] { InterfaceSocketARP::Stop(); });
    const bool signalled = changes.AwaitStopSignals(1);
    gate.Open();
    stopper.join();

    EXPECT_TRUE(signalled);
    EXPECT_FALSE(Instance().running);
    EXPECT_FALSE(InterfaceSocketARP::started);
    // The pass wrote its entry before the flush pass began.
    const auto created = std::find(stack.calls.begin(), stack.calls.end(),
                                   "Create 7 " + second_gateway + " 0a0027000005");
    ASSERT_NE(created, stack.calls.end());
    EXPECT_EQ(std::count(created, stack.calls.end(), "Flush 7"), 1);
    EXPECT_EQ(changes.Waits(), 2); // the registered next cycle, which the stop ended
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound());
}

// The registration made before the first pass catches a change during it.
TEST_F(RouteChangeMonitor, ChangeDuringTheFirstPassLeadsToAMonitorPass) {
    stack.onSendArpRequest = [&] {
        stack.onSendArpRequest = nullptr;
        MoveGatewayAndChange(second_gateway);
    };

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(2));

    EXPECT_EQ(changes.LostChanges(), 0);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound());
}

// A change while the pass runs is caught by the next cycle's registration, made before it.
TEST_F(RouteChangeMonitor, ChangeDuringAPassLeadsToOneMorePass) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    bool moved = false;
    stack.onSendArpRequest = [&] {
        if (!moved) {
            moved = true;
            MoveGatewayAndChange(first_gateway);
        }
    };

    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(3));

    EXPECT_EQ(changes.LostChanges(), 0);
    EXPECT_EQ(stack.staticEntries.at({7, first_gateway}), first_mac);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound() + changed_line + FirstBound());
}

TEST_F(RouteChangeMonitor, StopWinsOverAChangeSignalledWithIt) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    stack.onSendArpRequest = [&] {
        changes.Change();
        Instance().GetStopEvent().Signal();
    };

    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));

    EXPECT_EQ(changes.Waits(), 2);
    EXPECT_EQ(Count("ListInterfaces"), 2U);
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound());
}

TEST_F(RouteChangeMonitor, MissingEntryPointPrintsNotSupportedAndEnds) {
    changes.ScriptRegistration(RouteRegistration::unsupported);

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));
    changes.Change();

    EXPECT_EQ(changes.Waits(), 0);
    EXPECT_EQ(changes.LostChanges(), 1);
    EXPECT_TRUE(InterfaceSocketARP::started);
    EXPECT_EQ(stack.staticEntries.at({7, first_gateway}), first_mac);
    InterfaceSocketARP::Stop();
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_EQ(Count("Flush 7"), 2U);
    EXPECT_EQ(Output(), FirstBound() + not_supported_line);
}

TEST_F(RouteChangeMonitor, EntryPointGoneAtALaterCyclePrintsNotSupportedAfterThePass) {
    changes.ScriptRegistration(RouteRegistration::registered);
    changes.ScriptRegistration(RouteRegistration::unsupported);
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));

    EXPECT_EQ(changes.Waits(), 1);
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound() + not_supported_line);
}

TEST_F(RouteChangeMonitor, FailedRegistrationPrintsItsCodeAndEnds) {
    changes.ScriptRegistration(RouteRegistration::failed, 50);

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));

    EXPECT_EQ(changes.Waits(), 0);
    EXPECT_TRUE(InterfaceSocketARP::started);
    EXPECT_EQ(Output(), FirstBound() + "NotifyRouteChange error...50\n");
}

TEST_F(RouteChangeMonitor, FailedWaitStartsANewCycleSilently) {
    changes.ScriptFailedWaits(1, 6);
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(2));

    EXPECT_EQ(changes.Registrations(), 2);
    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(3));
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line + SecondBound());
}

TEST_F(RouteChangeMonitor, SuccessfulWaitClearsTheCountOfFailedOnes) {
    changes.OnWait([&](int wait) {
        // Waits 1, 2 and 4, 5 fail; wait 3 sees a change in between.
        if (wait == 1 || wait == 4) {
            changes.ScriptFailedWaits(2, 6);
        }
        if (wait == 3) {
            changes.Change();
        }
    });
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(6));

    EXPECT_EQ(changes.EndedSubscriptions(), 0);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line + FirstBound());
}

// A lasting failure would otherwise start cycle after cycle without end.
TEST_F(RouteChangeMonitor, WaitThatKeepsFailingEndsTheMonitorWithOneLine) {
    changes.ScriptFailedWaits(-1, 6);

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));

    EXPECT_EQ(changes.Waits(), SocketARP::wait_failure_limit);
    EXPECT_TRUE(InterfaceSocketARP::started);
    stack.calls.clear();
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Count("Flush 7"), 1U);
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_EQ(Output(),
              FirstBound() + "Route-change monitor ended: wait failed 3 times, error...6\n");
}

TEST_F(RouteChangeMonitor, StopEventThatCouldNotBeMadeEndsTheMonitorWithOneLine) {
    InterfaceSocketARP::Destroy();
    changes.FailStopEvents(8);
    InterfaceSocketARP::Create();

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));

    EXPECT_EQ(changes.Waits(), 0);
    EXPECT_TRUE(InterfaceSocketARP::started);
    InterfaceSocketARP::Stop();
    EXPECT_FALSE(InterfaceSocketARP::started);
    EXPECT_EQ(Count("Flush 7"), 2U);
    EXPECT_EQ(Output(), FirstBound() + "Route-change monitor ended: no stop event, error...8\n");
}

// The stop signal given to a monitor that had already ended is taken back, so the next
// monitor does not end at its first wait.
TEST_F(RouteChangeMonitor, StartAfterAMonitorEndedOnItsOwnGetsAWorkingMonitor) {
    changes.ScriptRegistration(RouteRegistration::unsupported);
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitEndedSubscriptions(1));
    InterfaceSocketARP::Stop();

    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(2));

    EXPECT_EQ(changes.EndedSubscriptions(), 1);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(),
              FirstBound() + not_supported_line + FirstBound() + changed_line + SecondBound());
}

TEST_F(RouteChangeMonitor, PassFailuresLeaveTheMonitorWaiting) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));

    MoveGatewayAndChange("192.168.1.77"); // nobody answers
    ASSERT_TRUE(changes.AwaitWaits(2));
    MoveGatewayAndChange(second_gateway);
    ASSERT_TRUE(changes.AwaitWaits(3));

    InterfaceSocketARP::Stop();
    EXPECT_EQ(Output(), FirstBound() + changed_line +
                            ErrorLine(0, FakeNetworkStack::unanswered_error) + changed_line +
                            SecondBound());
}

// Where the platform does not tell of changes to the ARP table, the timer module wakes the
// monitor every period to check the pins, on the thread that runs the timers.
class PinCheck : public ArpModuleTest {
protected:
    void SetUp() override {
        Core_Common::InterfaceTimer::Create();
        stack.pinCheckPeriod = std::chrono::seconds{10};
        ArpModuleTest::SetUp();
    }

    void TearDown() override {
        ArpModuleTest::TearDown();
        Core_Common::InterfaceTimer::Destroy();
    }
};

TEST_F(PinCheck, PinGoneFromTheTableIsPinnedAgainAtTheNextCheck) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(changes.AwaitWaits(1));
    changes.Elapse(Core_SocketARP::GatewayKeeper::conflict_window.count()); // the pin settles
    ASSERT_TRUE(changes.AwaitWaits(2));
    stack.staticEntries.clear(); // while the monitor waits: someone removed the pin

    changes.Elapse(9000);
    Core_Common::DispatchPending(); // not due yet
    EXPECT_EQ(Count("Read"), 0U);
    changes.Elapse(1000);
    Core_Common::DispatchPending();
    ASSERT_TRUE(changes.AwaitWaits(3)); // the kick

    EXPECT_EQ(stack.CallsStartingWith("Read"), std::vector<std::string>{"Read 7 " + first_gateway});
    EXPECT_EQ(Count("Ask 7 " + first_gateway), 1U); // written back as it was, without asking
    EXPECT_EQ(stack.staticEntries.at({7, first_gateway}), first_mac);
    InterfaceSocketARP::Stop();
    EXPECT_EQ(Core_Common::InterfaceTimer::instance->TimerCount(), 0U);
    EXPECT_EQ(Output(), FirstBound() + FirstBound());
}

} // namespace
