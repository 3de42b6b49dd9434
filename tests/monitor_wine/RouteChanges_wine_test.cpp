// The Windows route-change subscription over real kernel events and waits, with stand-ins for
// the late-bound NotifyRouteChange and CancelIPChangeNotify; and the monitor over the
// platform's own entry points, which under Wine answer 50 (not supported).
#include "Core_Common/win/WinApi.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/win/RouteChanges_win.h"
#include "fakes/FakeNetworkStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <iostream>
#include <mutex>
#include <string>

namespace {

using Core_SocketARP::InterfaceSocketARP;
using Core_SocketARP::IpHelperRouteChanges;
using Core_SocketARP::RouteChangeEntryPoints;
using Core_SocketARP::RouteRegistration;
using Core_SocketARP::RouteWait;
using Core_SocketARP::StopEvent;
using Core_SocketARP::SystemErrorCode;

constexpr auto deadline = std::chrono::seconds(20);

bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

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

    void Clear() {
        const std::lock_guard lock(mutex);
        lookups = registrations = cancellations = 0;
        result = ERROR_IO_PENDING;
        lastErrorToLeave = 0;
        overlapped = cancelled = nullptr;
        overlappedWasZeroed = eventWasSignalled = false;
    }

    HANDLE LatestEvent() {
        const std::lock_guard lock(mutex);
        return overlapped != nullptr ? overlapped->hEvent : nullptr;
    }

    bool AwaitRegistrations(int count) {
        std::unique_lock lock(mutex);
        return registered.wait_for(lock, deadline, [&] { return registrations >= count; });
    }
};

EntryPointLog entry_log;

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

RouteChangeEntryPoints StandIns(Core_SocketARP::CancelIpChangeNotifyFunction cancel) {
    return {[] {
                const std::lock_guard lock(entry_log.mutex);
                ++entry_log.lookups;
                return &StandInNotifyRouteChange;
            },
            [cancel] { return cancel; }};
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
    void SetUp() override { entry_log.Clear(); }

    RouteRegistration Register(IpHelperRouteChanges& changes) {
        SystemErrorCode error = 0;
        return changes.Register(error);
    }

    RouteWait Wait(IpHelperRouteChanges& changes) {
        SystemErrorCode error = 0;
        return changes.Wait(*stop, error);
    }

    std::unique_ptr<StopEvent> stop = Core_SocketARP::CreateKernelStopEvent();
    IpHelperRouteChanges changes{StandIns(&StandInCancel)};
};

TEST_F(IpHelperRouteChangesTest, MissingEntryPointIsUnsupportedAndIsLookedUpEveryTime) {
    int lookups = 0;
    IpHelperRouteChanges missing({[&]() -> Core_SocketARP::NotifyRouteChangeFunction {
                                      ++lookups;
                                      return nullptr;
                                  },
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

TEST_F(IpHelperRouteChangesTest, StopWinsWhenBothAreSignalledAndIsTaken) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    SetEvent(entry_log.LatestEvent());
    stop->Signal();

    EXPECT_EQ(Wait(changes), RouteWait::stopped);
    EXPECT_FALSE(Signalled(reinterpret_cast<HANDLE>(stop->NativeHandle())));
}

TEST_F(IpHelperRouteChangesTest, StopCancelsThePendingRegistrationThenClosesItsEvent) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    const LPOVERLAPPED overlapped = entry_log.overlapped;
    stop->Signal();

    EXPECT_EQ(Wait(changes), RouteWait::stopped);
    EXPECT_EQ(entry_log.cancellations, 1);
    EXPECT_EQ(entry_log.cancelled, overlapped);
    EXPECT_FALSE(HandleIsOpen(event));
}

// The system may still complete it: its event and block must stay.
TEST_F(IpHelperRouteChangesTest, RegistrationThatCannotBeCancelledKeepsItsEvent) {
    IpHelperRouteChanges refusing(StandIns(&RefusingCancel));
    ASSERT_EQ(Register(refusing), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    stop->Signal();

    EXPECT_EQ(Wait(refusing), RouteWait::stopped);
    EXPECT_EQ(entry_log.cancellations, 1);
    EXPECT_TRUE(HandleIsOpen(event));
    // A late completion lands in memory that is still there.
    entry_log.cancelled->Internal = 0;
    EXPECT_NE(SetEvent(event), FALSE);
}

TEST_F(IpHelperRouteChangesTest, FailedWaitGivesTheWaitsErrorAndEndsTheCycle) {
    ASSERT_EQ(Register(changes), RouteRegistration::registered);
    const HANDLE event = entry_log.LatestEvent();
    UnusableStopEvent unusable;
    SystemErrorCode error = 0;

    EXPECT_EQ(changes.Wait(unusable, error), RouteWait::failed);
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
            stack.adapters[0].gateway = "10.1.1.9";
            SetEvent(entry_log.LatestEvent()); // the routing table changes again
        }
    };

    SetEvent(entry_log.LatestEvent());
    ASSERT_TRUE(entry_log.AwaitRegistrations(3));
    InterfaceSocketARP::Stop(); // lets the second pass finish

    EXPECT_EQ(stack.CallsStartingWith("SendArp").size(), 3U);
    EXPECT_EQ(stack.CallsStartingWith("Create 3 10.1.1.9").size(), 1U);
    EXPECT_EQ(entry_log.cancellations, 1); // the last registration, given up at the stop
}

TEST_F(WindowsMonitorTest, StopWhileWaitingEndsTheMonitorWithoutAMessage) {
    InterfaceSocketARP::Start();
    ASSERT_TRUE(entry_log.AwaitRegistrations(1));

    InterfaceSocketARP::Stop();

    EXPECT_FALSE(InterfaceSocketARP::instance->running);
    EXPECT_EQ(stack.CallsStartingWith("SendArp").size(), 1U);
    EXPECT_EQ(entry_log.registrations, 1);
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
