#include "Core_Common/win/WinApi.h"

#include <winsock2.h>

#include "Core_Common/ScopedHandle.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_SocketARP/win/RouteChanges_win.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace Core_SocketARP {
namespace {

struct WsaEventTraits {
    using Handle = WSAEVENT;
    static Handle invalid() { return WSA_INVALID_EVENT; }
    static void close(Handle event) { WSACloseEvent(event); }
};
using ScopedWsaEvent = Core_Common::ScopedHandle<WsaEventTraits>;

class KernelStopEvent final : public StopEvent {
public:
    KernelStopEvent() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (!event_) {
            error_ = GetLastError();
        }
    }

    SystemErrorCode CreationError() const override { return error_; }

    void Signal() override {
        if (event_) {
            SetEvent(event_.get());
        }
    }

    void Reset() override {
        if (event_) {
            ResetEvent(event_.get());
        }
    }

    std::intptr_t NativeHandle() const override {
        return reinterpret_cast<std::intptr_t>(event_.get());
    }

private:
    Core_Common::ScopedKernelHandle event_;
    SystemErrorCode error_ = 0;
};

bool Signalled(HANDLE event, DWORD milliseconds) {
    return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0;
}

template <class Function> Function Find(const std::function<Function()>& find) {
    return find ? find() : nullptr;
}

} // namespace

std::unique_ptr<StopEvent> CreateKernelStopEvent() { return std::make_unique<KernelStopEvent>(); }

struct IpHelperRouteChanges::Cycle {
    HANDLE registration = nullptr; // what NotifyRouteChange returns; not used further
    OVERLAPPED overlapped{};
    ScopedWsaEvent event;
    bool pending = false; // registered, and not known to have completed
};

struct IpHelperRouteChanges::InterfaceWatch {
    std::mutex mutex;
    std::vector<std::uint32_t> links; // under the mutex
    bool overrun = false;             // under the mutex
    // Manual-reset, set under the mutex while something is recorded.
    Core_Common::ScopedKernelHandle event;
    HANDLE notification = nullptr; // what NotifyIpInterfaceChange returns
};

struct IpHelperRouteChanges::RouteWatch {
    // Manual-reset, set by the callback; a wait that takes it resets it.
    Core_Common::ScopedKernelHandle event;
    HANDLE notification = nullptr; // what NotifyRouteChange2 returns
};

IpHelperRouteChanges::IpHelperRouteChanges(RouteChangeEntryPoints entryPoints)
    : entry_points_(std::move(entryPoints)) {}

IpHelperRouteChanges::~IpHelperRouteChanges() {
    EndIpv6RouteWatch();
    EndInterfaceWatch();
    EndCycle();
}

RouteRegistration IpHelperRouteChanges::Register(SystemErrorCode& error) {
    EndCycle();
    const NotifyRouteChangeFunction notify = Find(entry_points_.findNotifyRouteChange);
    if (notify == nullptr) {
        return RouteRegistration::unsupported;
    }
    auto cycle = std::make_unique<Cycle>();
    cycle->event.reset(WSACreateEvent());
    if (!cycle->event) {
        error = static_cast<SystemErrorCode>(WSAGetLastError());
        return RouteRegistration::failed;
    }
    cycle->overlapped.hEvent = cycle->event.get();
    const DWORD result = notify(&cycle->registration, &cycle->overlapped);
    // The result is the registration's own code. Not every implementation also sets the
    // thread's last error (Wine's answers 50 and leaves it alone), so that is not read.
    if (result != NO_ERROR && result != ERROR_IO_PENDING) {
        error = result;
        return RouteRegistration::failed;
    }
    cycle->pending = true;
    cycle_ = std::move(cycle);
    WatchInterfaces();
    WatchIpv6Routes();
    return RouteRegistration::registered;
}

RouteWait IpHelperRouteChanges::Wait(const WaitSet& set, ChangeReport& report,
                                     SystemErrorCode& error) {
    enum class Source { stop, route, ipv6Routes, interfaces, kick, answers };
    std::array<HANDLE, 6> handles{};
    std::array<Source, 6> sources{};
    DWORD count = 0;
    const auto add = [&](std::intptr_t handle, Source source) {
        handles[count] = reinterpret_cast<HANDLE>(handle);
        sources[count] = source;
        ++count;
    };
    // The stop event always takes part, so that a wait without a usable one fails.
    add(set.stop.NativeHandle(), Source::stop);
    if (cycle_) {
        add(reinterpret_cast<std::intptr_t>(cycle_->event.get()), Source::route);
    }
    if (ipv6_routes_) {
        add(reinterpret_cast<std::intptr_t>(ipv6_routes_->event.get()), Source::ipv6Routes);
    }
    if (interfaces_) {
        add(reinterpret_cast<std::intptr_t>(interfaces_->event.get()), Source::interfaces);
    }
    if (set.kick != nullptr && set.kick->NativeHandle() != 0) {
        add(set.kick->NativeHandle(), Source::kick);
    }
    if (set.resolver != nullptr && set.resolver->NativeHandle() != 0) {
        add(set.resolver->NativeHandle(), Source::answers);
    }
    DWORD timeout = INFINITE;
    if (set.timeout.count() >= 0) {
        timeout = static_cast<DWORD>(
            std::min<std::int64_t>(set.timeout.count(), std::int64_t{INFINITE} - 1));
    }
    // Any one of them, the lowest index when several are ready; only that one's auto-reset
    // signal is taken.
    const DWORD result = WaitForMultipleObjects(count, handles.data(), FALSE, timeout);
    const DWORD lastError = GetLastError();
    if (result == WAIT_TIMEOUT) {
        return RouteWait::timedOut;
    }
    if (result - WAIT_OBJECT_0 < count) {
        switch (sources[result - WAIT_OBJECT_0]) {
        case Source::stop:
            return RouteWait::stopped;
        case Source::route:
            cycle_->pending = false; // completed: the change used it up
            EndCycle();
            return RouteWait::changed;
        case Source::ipv6Routes:
            // The IPv4 registration stays pending: the pass that follows covers both.
            ResetEvent(ipv6_routes_->event.get());
            return RouteWait::changed;
        case Source::interfaces: {
            const std::lock_guard lock(interfaces_->mutex);
            report.links = std::exchange(interfaces_->links, {});
            report.overrun = std::exchange(interfaces_->overrun, false);
            ResetEvent(interfaces_->event.get());
            return RouteWait::repair;
        }
        case Source::kick:
            return RouteWait::kicked;
        case Source::answers:
            return RouteWait::answers;
        }
    }
    // What became of the registration is not known: it is given up, and the monitor registers
    // anew.
    EndCycle();
    error = result == WAIT_FAILED ? lastError : result;
    return RouteWait::failed;
}

bool IpHelperRouteChanges::CancelPending(Cycle& cycle) {
    // A signalled event means the registration has completed: nothing is pending any more.
    if (Signalled(cycle.event.get(), 0)) {
        return true;
    }
    const CancelIpChangeNotifyFunction cancel = Find(entry_points_.findCancelIpChangeNotify);
    return cancel != nullptr && cancel(&cycle.overlapped) != FALSE &&
           Signalled(cycle.event.get(), cancel_completion_ms);
}

void IpHelperRouteChanges::EndCycle() {
    if (!cycle_) {
        return;
    }
    if (cycle_->pending && !CancelPending(*cycle_)) {
        // The system may still write the completion into this block and signal its event:
        // both are kept for the rest of the process rather than freed under it.
        static_cast<void>(cycle_.release());
        return;
    }
    cycle_.reset();
}

void WINAPI IpHelperRouteChanges::OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW row,
                                                    MIB_NOTIFICATION_TYPE /*type*/) {
    auto& watch = *static_cast<InterfaceWatch*>(context);
    const std::lock_guard lock(watch.mutex);
    if (row == nullptr || watch.links.size() == interface_report_limit) {
        watch.overrun = true; // which interface is not known: every one is checked
    } else if (std::find(watch.links.begin(), watch.links.end(), row->InterfaceIndex) ==
               watch.links.end()) {
        watch.links.push_back(row->InterfaceIndex);
    }
    SetEvent(watch.event.get());
}

void IpHelperRouteChanges::WatchInterfaces() {
    if (interfaces_) {
        return;
    }
    const NotifyIpInterfaceChangeFunction notify = Find(entry_points_.findNotifyIpInterfaceChange);
    if (notify == nullptr) {
        return; // no interface notifications on this platform
    }
    auto watch = std::make_unique<InterfaceWatch>();
    watch->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!watch->event) {
        return;
    }
    // A failure leaves the pins to the periodic check; the next registration tries again.
    if (notify(AF_INET, &OnInterfaceChange, watch.get(), FALSE, &watch->notification) != NO_ERROR) {
        return;
    }
    interfaces_ = std::move(watch);
}

void WINAPI IpHelperRouteChanges::OnIpv6RouteChange(PVOID context, PMIB_IPFORWARD_ROW2 /*row*/,
                                                    MIB_NOTIFICATION_TYPE /*type*/) {
    SetEvent(static_cast<RouteWatch*>(context)->event.get());
}

void IpHelperRouteChanges::WatchIpv6Routes() {
    if (ipv6_routes_) {
        return;
    }
    const NotifyRouteChange2Function notify = Find(entry_points_.findNotifyRouteChange2);
    if (notify == nullptr) {
        return; // IPv6 routes are then read at the passes that IPv4 changes start
    }
    auto watch = std::make_unique<RouteWatch>();
    watch->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!watch->event) {
        return;
    }
    if (notify(AF_INET6, &OnIpv6RouteChange, watch.get(), FALSE, &watch->notification) !=
        NO_ERROR) {
        return;
    }
    ipv6_routes_ = std::move(watch);
}

void IpHelperRouteChanges::EndIpv6RouteWatch() {
    if (!ipv6_routes_) {
        return;
    }
    const CancelMibChangeNotify2Function cancel = Find(entry_points_.findCancelMibChangeNotify2);
    if (cancel != nullptr && cancel(ipv6_routes_->notification) == NO_ERROR) {
        ipv6_routes_.reset();
        return;
    }
    static_cast<void>(ipv6_routes_.release());
}

void IpHelperRouteChanges::EndInterfaceWatch() {
    if (!interfaces_) {
        return;
    }
    // Once the cancellation has returned, no callback runs or will run. Without it the
    // system may still call back into the watch: it is kept for the rest of the process.
    const CancelMibChangeNotify2Function cancel = Find(entry_points_.findCancelMibChangeNotify2);
    if (cancel != nullptr && cancel(interfaces_->notification) == NO_ERROR) {
        interfaces_.reset();
        return;
    }
    static_cast<void>(interfaces_.release());
}

} // namespace Core_SocketARP
