// The Windows route-change subscription over real kernel events and waits, with stand-ins for
// the late-bound NotifyRouteChange, CancelIPChangeNotify, NotifyIpInterfaceChange,
// NotifyRouteChange2 and CancelMibChangeNotify2; and the monitor over the platform's own entry
// points, whose NotifyRouteChange under Wine answers 50 (not supported).
#include "Core_Common/win/WinApi.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/IpHelperStack.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/win/RouteChanges_win.h"
#include "fakes/FakeIpHelperApi.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/win/RunningOnWine_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Core_SocketARP::ChangeReport;
using Core_SocketARP::InterfaceSocketARP;
using Core_SocketARP::IpHelperRouteChanges;
using Core_SocketARP::RouteChangeEntryPoints;
using Core_SocketARP::RouteRegistration;
using Core_SocketARP::RouteWait;
using Core_SocketARP::StopEvent;
using Core_SocketARP::SystemErrorCode;
using Core_SocketARP::WaitSet;
using tw_test::RunningOnWine;

constexpr auto deadline = std::chrono::seconds(20);

bool HandleIsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

bool Signalled(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

// The stand-in entry points record what they were given; plain functions, as the platform
// calls them.
struct EntryPointLog {
    std::mutex mutex;
    std::condition_variable registered;
    int lookups = 0;
    int registrations = 0;
    int cancellations = 0;
    DWORD result = ERROR_IO_PENDING;
    DWORD lastErrorToLeave = 0;
    LPOVERLAPPED overlapped = nullptr; // of the latest registration
    LPOVERLAPPED cancelled = nullptr;
    bool overlappedWasZeroed = false;
    bool eventWasSignalled = false;
    // NotifyIpInterfaceChange and CancelMibChangeNotify2.
    int interfaceRegistrations = 0;
    DWORD interfaceResult = NO_ERROR;
    ADDRESS_FAMILY family = AF_UNSPEC;
    BOOLEAN initialNotification = TRUE;
    PIPINTERFACE_CHANGE_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    std::vector<HANDLE> interfaceCancellations;
    DWORD interfaceCancelResult = NO_ERROR;
    // NotifyRouteChange2.
    ADDRESS_FAMILY routeFamily = AF_UNSPEC;
    BOOLEAN routeInitialNotification = TRUE;
    PIPFORWARD_CHANGE_CALLBACK routeCallback = nullptr;
    PVOID routeContext = nullptr;

    void Clear() {
        const std::lock_guard lock(mutex);
        lookups = registrations = cancellations = 0;
        result = ERROR_IO_PENDING;
        lastErrorToLeave = 0;
        overlapped = cancelled = nullptr;
        overlappedWasZeroed = eventWasSignalled = false;
        interfaceRegistrations = 0;
        interfaceResult = NO_ERROR;
        family = AF_UNSPEC;
        initialNotification = TRUE;
        callback = nullptr;
        context = nullptr;
        interfaceCancellations.clear();
        interfaceCancelResult = NO_ERROR;
        routeFamily = AF_UNSPEC;
        routeInitialNotification = TRUE;
        routeCallback = nullptr;
        routeContext = nullptr;
    }

    HANDLE LatestEvent() {
        const std::lock_guard lock(mutex);
        return overlapped != nullptr ? overlapped->hEvent : nullptr;
    }

    bool AwaitRegistrations(int count) {
        std::unique_lock lock(mutex);
        return registered.wait_for(lock, deadline, [&] { return registrations >= count; });
    }

    // Calls the registered callback on a thread of its own, as the system does.
    void InterfaceChanged(const MIB_IPINTERFACE_ROW* row) {
        PIPINTERFACE_CHANGE_CALLBACK call = nullptr;
        PVOID callContext = nullptr;
        {
            const std::lock_guard lock(mutex);
            call = callback;
            callContext = context;
        }
        ASSERT_NE(call, nullptr);
        std::thread system([&] {
            call(callContext, const_cast<PMIB_IPINTERFACE_ROW>(row), MibParameterNotification);
        });
        system.join();
    }

    void RouteChanged() {
        PIPFORWARD_CHANGE_CALLBACK call = nullptr;
        PVOID callContext = nullptr;
        {
            const std::lock_guard lock(mutex);
            call = routeCallback;
            callContext = routeContext;
        }
        ASSERT_NE(call, nullptr);
        MIB_IPFORWARD_ROW2 row{};
        std::thread system([&] { call(callContext, &row, MibAddInstance); });
        system.join();
    }

    void InterfaceChanged(NET_IFINDEX index) {
        MIB_IPINTERFACE_ROW row{};
        row.Family = AF_INET;
        row.InterfaceIndex = index;
        InterfaceChanged(&row);
    }
};

EntryPointLog entry_log;

const HANDLE interface_notification = reinterpret_cast<HANDLE>(0x5150);
const HANDLE route_notification = reinterpret_cast<HANDLE>(0x5160);

DWORD WINAPI StandInNotifyRouteChange(PHANDLE handle, LPOVERLAPPED overlapped) {
    const std::lock_guard lock(entry_log.mutex);
    ++entry_log.registrations;
    entry_log.overlapped = overlapped;
    entry_log.overlappedWasZeroed = overlapped->Internal == 0 && overlapped->InternalHigh == 0 &&
                                    overlapped->Offset == 0 && overlapped->OffsetHigh == 0 &&
                                    *handle == nullptr;
    entry_log.eventWasSignalled = Signalled(overlapped->hEvent);
    *handle = reinterpret_cast<HANDLE>(0x4711);
    entry_log.registered.notify_all();
    SetLastError(entry_log.lastErrorToLeave);
    return entry_log.result;
}

// Cancels as the system does: the request completes, and its event is set.
BOOL WINAPI StandInCancel(LPOVERLAPPED overlapped) {
    const std::lock_guard lock(entry_log.mutex);
    ++entry_log.cancellations;
    entry_log.cancelled = overlapped;
    SetEvent(overlapped->hEvent);
    return TRUE;
}

BOOL WINAPI RefusingCancel(LPOVERLAPPED overlapped) {
    const std::lock_guard lock(entry_log.mutex);
    ++entry_log.cancellations;
    entry_log.cancelled = overlapped;
    return FALSE;
}

DWORD WINAPI StandInNotifyIpInterfaceChange(ADDRESS_FAMILY family,
                                            PIPINTERFACE_CHANGE_CALLBACK callback, PVOID context,
                                            BOOLEAN initialNotification, HANDLE* handle) {
    const std::lock_guard lock(entry_log.mutex);
    ++entry_log.interfaceRegistrations;
    if (entry_log.interfaceResult != NO_ERROR) {
        return entry_log.interfaceResult;
    }
    entry_log.family = family;
    entry_log.callback = callback;
    entry_log.context = context;
    entry_log.initialNotification = initialNotification;
    *handle = interface_notification;
    return NO_ERROR;
}

DWORD WINAPI StandInNotifyRouteChange2(ADDRESS_FAMILY family, PIPFORWARD_CHANGE_CALLBACK callback,
                                       PVOID context, BOOLEAN initialNotification, HANDLE* handle) {
    const std::lock_guard lock(entry_log.mutex);
    entry_log.routeFamily = family;
    entry_log.routeCallback = callback;
    entry_log.routeContext = context;
    entry_log.routeInitialNotification = initialNotification;
    *handle = route_notification;
    return NO_ERROR;
}

DWORD WINAPI StandInCancelMibChangeNotify2(HANDLE handle) {
    const std::lock_guard lock(entry_log.mutex);
    entry_log.interfaceCancellations.push_back(handle);
    return entry_log.interfaceCancelResult;
}

RouteChangeEntryPoints StandIns(Core_SocketARP::CancelIpChangeNotifyFunction cancel,
                                bool interfaces = true) {
    RouteChangeEntryPoints entryPoints{[] {
                                           const std::lock_guard lock(entry_log.mutex);
                                           ++entry_log.lookups;
                                           return &StandInNotifyRouteChange;
                                       },
                                       [cancel] { return cancel; },
                                       {},
                                       {},
                                       {}};
    if (interfaces) {
        entryPoints.findNotifyIpInterfaceChange = [] { return &StandInNotifyIpInterfaceChange; };
        entryPoints.findCancelMibChangeNotify2 = [] { return &StandInCancelMibChangeNotify2; };
    }
    return entryPoints;
}

// A stop event whose handle no wait accepts.
class UnusableStopEvent final : public StopEvent {
public:
    SystemErrorCode CreationError() const override { return 0; }
    void Signal() override {}
    void Reset() override {}
    std::intptr_t NativeHandle() const override { return 0; }
};

class IpHelperRouteChangesTest : public testing::Test {
protected:
    void SetUp() override {
        entry_log.Clear();
        api.sendArp = [](std::uint32_t, std::uint32_t, void* buffer, std::uint32_t* length) {
            const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 1};
            std::memcpy(buffer, mac, sizeof mac);
            *length = sizeof mac;
            return std::uint32_t{0};
        };
    }

    RouteRegistration Register(IpHelperRouteChanges& subscription) {
        SystemErrorCode error = 0;
        return subscription.Register(error);
    }

    RouteWait Wait(IpHelperRouteChanges& subscription,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds{-1}) {
        report = {};
        SystemErrorCode error = 0;
        return subscription.Wait(WaitSet{*stop, kick.get(), &resolver, timeout}, report, error);
    }

    // An answer waits in the resolver, and its event is signalled.
    void Answer() {
        resolver.Ask({3, "10.1.1.1", "10.1.1.2"});
        ASSERT_TRUE(resolver.Wait(deadline));
    }

    std::unique_ptr<StopEvent> stop = Core_SocketARP::CreateKernelStopEvent();
    std::unique_ptr<StopEvent> kick = Core_SocketARP::CreateKernelStopEvent();
    tw_test::FakeIpHelperApi api;
    Core_SocketARP::IpHelperResolver resolver{api, Core_SocketARP::CreateKernelStopEvent()};
    ChangeReport report;
    IpHelperRouteChanges changes{StandIns(&StandInCancel)};
};

TEST_F(IpHelperRouteChangesTest, MissingEntryPointIsUnsupportedAndIsLookedUpEveryTime) {
    int lookups = 0;
    IpHelperRouteChanges missing({[&]() -> Core_SocketARP::NotifyRouteChangeFunction {
                                      ++lookups;
                                      return nullptr;
                                  },
                                  {},
                                  {},
                                  {},
                                  {}});
    EXPECT_EQ(Register(missing), RouteRegistration::unsupported);
    EXPECT_EQ(Register(missing), RouteRegistration::unsupported);
    EXPECT_EQ(lookups, 2);
}

TEST_F(IpHelperRouteChangesTest, RegistrationGetsAZeroedBlockWithAFreshEventNotSignalled) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    EXPECT_EQ(entry_log.lookups, 1);
    EXPECT_TRUE(entry_log.overlappedWasZeroed);
    EXPECT_FALSE(entry_log.eventWasSignalled);
    EXPECT_TRUE(HandleIsOpen(entry_log.LatestEvent()));
}

TEST_F(IpHelperRouteChangesTest, ResultZeroAlsoCountsAsRegistered) {
    entry_log.result = NO_ERROR;
    EXPECT_EQ(Register(changes), RouteRegistration::registered);
}

// The code is the registration's own result; the thread's last error is not always set.
TEST_F(IpHelperRouteChangesTest, OtherResultIsAFailureWithThatResult) {
    entry_log.result = ERROR_NOT_SUPPORTED;
    entry_log.lastErrorToLeave = ERROR_IO_PENDING;
    SystemErrorCode error = 0;
    EXPECT_EQ(changes.Register(error), RouteRegistration::failed);
    EXPECT_EQ(error, static_cast<SystemErrorCode>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(HandleIsOpen(entry_log.LatestEvent()));
}

TEST_F(IpHelperRouteChangesTest, SignalledCycleEventIsAChangeAndTheEventIsClosed) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    SetEvent(event);

    EXPECT_EQ(Wait(changes), RouteWait::changed);
    EXPECT_FALSE(HandleIsOpen(event));
    EXPECT_EQ(entry_log.cancellations, 0); // the registration had completed
}

// Everything ready at once: the stop, the change, the interfaces, the kick, the answers, in
// that order, each taken by the wait that returns it.
TEST_F(IpHelperRouteChangesTest, ReadyEventsEndTheWaitsInTheirOrderStopFirst) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    Answer();
    kick->Signal();
    entry_log.InterfaceChanged(5);
    SetEvent(entry_log.LatestEvent());
    stop->Signal();

    EXPECT_EQ(Wait(changes), RouteWait::stopped);
    EXPECT_FALSE(Signalled(reinterpret_cast<HANDLE>(stop->NativeHandle())));
    EXPECT_EQ(Wait(changes), RouteWait::changed);
    EXPECT_EQ(Wait(changes), RouteWait::repair);
    EXPECT_EQ(Wait(changes), RouteWait::kicked);
    EXPECT_EQ(Wait(changes), RouteWait::answers);
    EXPECT_EQ(Wait(changes, std::chrono::milliseconds{0}), RouteWait::timedOut);
}

// Only a change uses a registration up: the time running out, a kick or answers leave it
// pending, and a later change still ends a wait.
TEST_F(IpHelperRouteChangesTest, RegistrationStaysPendingAcrossWaitsThatEndForOtherReasons) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();

    EXPECT_EQ(Wait(changes, std::chrono::milliseconds{10}), RouteWait::timedOut);
    kick->Signal();
    EXPECT_EQ(Wait(changes), RouteWait::kicked);
    Answer();
    EXPECT_EQ(Wait(changes), RouteWait::answers);

    EXPECT_EQ(entry_log.registrations, 1);
    EXPECT_EQ(entry_log.cancellations, 0);
    EXPECT_TRUE(HandleIsOpen(event));
    SetEvent(event);
    EXPECT_EQ(Wait(changes), RouteWait::changed);
}

TEST_F(IpHelperRouteChangesTest, InterfaceChangesAreARepairOfTheirLinks) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    EXPECT_EQ(entry_log.interfaceRegistrations, 1);
    EXPECT_EQ(entry_log.family, AF_INET);
    EXPECT_EQ(entry_log.initialNotification, FALSE);

    entry_log.InterfaceChanged(5);
    entry_log.InterfaceChanged(7);
    entry_log.InterfaceChanged(5);
    ASSERT_EQ(Wait(changes), RouteWait::repair);
    EXPECT_EQ(report.links, (std::vector<std::uint32_t>{5, 7}));
    EXPECT_FALSE(report.overrun);
    EXPECT_EQ(Wait(changes, std::chrono::milliseconds{0}), RouteWait::timedOut); // all taken

    // No row: which interface is not known.
    entry_log.InterfaceChanged(nullptr);
    ASSERT_EQ(Wait(changes), RouteWait::repair);
    EXPECT_TRUE(report.overrun);
}

// A platform without the entry points, or a registration that fails, leaves the route
// changes working; a failed one is tried again at the next registration, and a working one is
// kept across cycles.
TEST_F(IpHelperRouteChangesTest, InterfaceNotificationIsRegisteredOnceWhereThePlatformHasIt) {
    IpHelperRouteChanges without(StandIns(&StandInCancel, false));
    ASSERT_EQ(Register(without), RouteRegistration::registered);
    EXPECT_EQ(Wait(without, std::chrono::milliseconds{0}), RouteWait::timedOut);
    EXPECT_EQ(entry_log.interfaceRegistrations, 0);

    entry_log.interfaceResult = ERROR_NOT_SUPPORTED;
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    EXPECT_EQ(Wait(changes, std::chrono::milliseconds{0}), RouteWait::timedOut);
    entry_log.interfaceResult = NO_ERROR;
    SetEvent(entry_log.LatestEvent());
    ASSERT_EQ(Wait(changes), RouteWait::changed);
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    SetEvent(entry_log.LatestEvent());
    ASSERT_EQ(Wait(changes), RouteWait::changed);
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    EXPECT_EQ(entry_log.interfaceRegistrations, 2);
    entry_log.InterfaceChanged(9);
    EXPECT_EQ(Wait(changes), RouteWait::repair);
}

// IPv6 route changes (NotifyRouteChange2, where the platform has it; NotifyRouteChange tells of
// IPv4 ones only) end a wait as a routing change, the IPv4 registration still pending; the
// notification is cancelled with the subscription.
TEST_F(IpHelperRouteChangesTest, Ipv6RouteChangeIsARoutingChangeAndLeavesTheIpv4OnePending) {
    RouteChangeEntryPoints entryPoints = StandIns(&StandInCancel);
    entryPoints.findNotifyRouteChange2 = [] { return &StandInNotifyRouteChange2; };
    auto subscription = std::make_unique<IpHelperRouteChanges>(entryPoints);
    ASSERT_EQ(Register(*subscription), RouteRegistration::registered);
    EXPECT_EQ(entry_log.routeFamily, AF_INET6);
    EXPECT_EQ(entry_log.routeInitialNotification, FALSE);
    entry_log.RouteChanged();
    EXPECT_EQ(Wait(*subscription), RouteWait::changed);
    EXPECT_EQ(Wait(*subscription, std::chrono::milliseconds{0}), RouteWait::timedOut);
    EXPECT_EQ(entry_log.registrations, 1);
    SetEvent(entry_log.LatestEvent());
    EXPECT_EQ(Wait(*subscription), RouteWait::changed);

    subscription.reset();
    EXPECT_EQ(entry_log.interfaceCancellations,
              (std::vector<HANDLE>{route_notification, interface_notification}));
}

TEST_F(IpHelperRouteChangesTest, EndOfTheSubscriptionCancelsWhatIsPendingThenClosesItsEvents) {
    auto subscription = std::make_unique<IpHelperRouteChanges>(StandIns(&StandInCancel));
    ASSERT_EQ(Register(*subscription), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    const LPOVERLAPPED overlapped = entry_log.overlapped;
    stop->Signal();
    EXPECT_EQ(Wait(*subscription), RouteWait::stopped);
    EXPECT_EQ(entry_log.cancellations, 0); // the stop alone gives nothing up

    subscription.reset();
    EXPECT_EQ(entry_log.cancellations, 1);
    EXPECT_EQ(entry_log.cancelled, overlapped);
    EXPECT_FALSE(HandleIsOpen(event));
    EXPECT_EQ(entry_log.interfaceCancellations, std::vector<HANDLE>{interface_notification});
}

// The system may still complete it: its event and block must stay.
TEST_F(IpHelperRouteChangesTest, RegistrationThatCannotBeCancelledKeepsItsEvent) {
    auto refusing = std::make_unique<IpHelperRouteChanges>(StandIns(&RefusingCancel));
    ASSERT_EQ(Register(*refusing), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    entry_log.interfaceCancelResult = ERROR_INVALID_HANDLE;

    refusing.reset();
    EXPECT_EQ(entry_log.cancellations, 1);
    EXPECT_TRUE(HandleIsOpen(event));
    // Late completions land in memory that is still there.
    entry_log.cancelled->Internal = 0;
    EXPECT_NE(SetEvent(event), FALSE);
    entry_log.InterfaceChanged(5);
}

TEST_F(IpHelperRouteChangesTest, FailedWaitGivesTheWaitsErrorAndEndsTheCycle) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    UnusableStopEvent unusable;
    SystemErrorCode error = 0;

    EXPECT_EQ(changes.Wait(WaitSet{unusable}, report, error), RouteWait::failed);
    EXPECT_EQ(error, static_cast<SystemErrorCode>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(entry_log.cancellations, 1);
    EXPECT_FALSE(HandleIsOpen(event));
}

TEST_F(IpHelperRouteChangesTest, EveryRegistrationHasItsOwnEvent) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    SetEvent(entry_log.LatestEvent());
    ASSERT_EQ(Wait(changes), RouteWait::changed);

    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    EXPECT_EQ(entry_log.lookups, 2);
    EXPECT_FALSE(entry_log.eventWasSignalled);
    stop->Signal();
    EXPECT_EQ(Wait(changes), RouteWait::stopped);
}

TEST(KernelStopEvent, IsAutoResetAndMadeNotSignalled) {
    const auto stop = Core_SocketARP::CreateKernelStopEvent();
    ASSERT_EQ(stop->CreationError(), 0U);
    const auto handle = reinterpret_cast<HANDLE>(stop->NativeHandle());
    EXPECT_FALSE(Signalled(handle));
    stop->Signal();
    EXPECT_TRUE(Signalled(handle));  // the wait takes the signal
    EXPECT_FALSE(Signalled(handle)); // auto-reset
    stop->Signal();
    stop->Reset();
    EXPECT_FALSE(Signalled(handle));
}

// The module over a fake stack for the passes, with the Windows stop event and subscription.
class WindowsMonitorTest : public testing::Test {
protected:
    void SetUp() override {
        entry_log.Clear();
        stack.AddLink(3, "10.1.1.1");
        stack.Answer("10.1.1.1", {1, 2, 3, 4, 5, 6});
        stack.Answer("10.1.1.9", {1, 2, 3, 4, 5, 9});
        stack.makeStopEvent = [] { return Core_SocketARP::CreateKernelStopEvent(); };
        stack.subscribe = [] {
            return std::make_unique<IpHelperRouteChanges>(StandIns(&StandInCancel));
        };
        InterfaceSocketARP::UseNetworkStack(stack);
        InterfaceSocketARP::Create();
        testing::internal::CaptureStdout();
    }

    void TearDown() override {
        InterfaceSocketARP::Stop();
        InterfaceSocketARP::Destroy();
        InterfaceSocketARP::UseSystemNetworkStack();
        const std::string text = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::cerr << text;
        }
    }

    tw_test::FakeNetworkStack stack;
};

// The next cycle is registered before the pass, so a change during the pass is not lost.
TEST_F(WindowsMonitorTest, ChangeDuringAPassLeadsToOneMorePass) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(entry_log.AwaitRegistrations(1));
    bool moved = false;
    stack.onSendArpRequest = [&] {
        if (!moved) {
            moved = true;
            stack.adapters[0].gateway = "10.1.1.1";
            SetEvent(entry_log.LatestEvent()); // the routing table changes again
        }
    };

    // The gateway moves: the pass asks the new one, and meanwhile it moves back.
    stack.adapters[0].gateway = "10.1.1.9";
    SetEvent(entry_log.LatestEvent());
    ASSERT_TRUE(entry_log.AwaitRegistrations(3));
    InterfaceSocketARP::Stop(); // lets the second pass finish

    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 3U);
    EXPECT_EQ(stack.CallsStartingWith("Create 3 10.1.1.9").size(), 1U);
    EXPECT_EQ(entry_log.cancellations, 1); // the last registration, given up at the stop
}

TEST_F(WindowsMonitorTest, StopWhileWaitingEndsTheMonitorWithoutAMessage) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(entry_log.AwaitRegistrations(1));

    InterfaceSocketARP::Stop();

    EXPECT_FALSE(InterfaceSocketARP::instance->running);
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 1U);
    EXPECT_EQ(entry_log.registrations, 1);
}

// The callback's report reaches the keeper through the monitor's wait: the silent gateway of
// that link is asked again at once, not at its next retry.
TEST_F(WindowsMonitorTest, InterfaceChangeRetriesTheSilentGatewayOfItsLinkAtOnce) {
    stack.arpAnswers.erase("10.1.1.1");
    InterfaceSocketARP::Start();
    ASSERT_TRUE(entry_log.AwaitRegistrations(1));
    const std::size_t asked = stack.CallsStartingWith("Ask 3 10.1.1.1").size(); // its tries
    std::promise<void> askedAgain;
    bool once = false;
    stack.onSendArpRequest = [&] {
        if (!std::exchange(once, true)) {
            askedAgain.set_value();
        }
    };

    entry_log.InterfaceChanged(3);
    ASSERT_EQ(askedAgain.get_future().wait_for(deadline), std::future_status::ready);
    InterfaceSocketARP::Stop();

    EXPECT_EQ(stack.CallsStartingWith("Ask 3 10.1.1.1").size(), asked + 1);
    EXPECT_EQ(entry_log.interfaceCancellations, std::vector<HANDLE>{interface_notification});
}

// Under Wine the entry point exists and answers 50: one line, and the thread ends by itself.
TEST(WineMonitor, NotifyRouteChangeAnswering50EndsTheMonitorWithOneLine) {
    if (!RunningOnWine()) {
        GTEST_SKIP() << "the platform's NotifyRouteChange works here";
    }
    testing::internal::CaptureStdout();
    Core_SocketARP::BindGateways();
    const std::string firstPass = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    Core_SocketARP::FlushArpTables();
    const std::string flushPass = testing::internal::GetCapturedStdout();

    testing::internal::CaptureStdout();
    InterfaceSocketARP::Create();
    InterfaceSocketARP::Start();
    auto ended = std::async(std::launch::async, [] { InterfaceSocketARP::instance->join(); });
    const bool endedByItself = ended.wait_for(deadline) == std::future_status::ready;
    if (!endedByItself) {
        InterfaceSocketARP::instance->GetStopEvent().Signal();
        ended.wait();
    }
    const bool running = InterfaceSocketARP::instance->running;
    const bool started = InterfaceSocketARP::started;
    InterfaceSocketARP::Stop();
    InterfaceSocketARP::Destroy();
    const std::string output = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(endedByItself);
    EXPECT_FALSE(running);
    EXPECT_TRUE(started);
    EXPECT_EQ(output, firstPass + "NotifyRouteChange error...50\n" + flushPass);
}

} // namespace
