#include "Core_Common/win/WinApi.h"

#include <winsock2.h>

#include "Core_Common/ScopedHandle.h"
#include "Core_Common/win/ScopedHandle_win.h"
#include "Core_SocketARP/win/RouteChanges_win.h"

#include <utility>

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

} // namespace

std::unique_ptr<StopEvent> CreateKernelStopEvent() { return std::make_unique<KernelStopEvent>(); }

struct IpHelperRouteChanges::Cycle {
    HANDLE registration = nullptr; // what NotifyRouteChange returns; not used further
    OVERLAPPED overlapped{};
    ScopedWsaEvent event;
    bool pending = false; // registered, and not known to have completed
};

IpHelperRouteChanges::IpHelperRouteChanges(RouteChangeEntryPoints entryPoints)
    : entry_points_(std::move(entryPoints)) {}

IpHelperRouteChanges::~IpHelperRouteChanges() { EndCycle(); }

RouteRegistration IpHelperRouteChanges::Register(SystemErrorCode& error) {
    EndCycle();
    const NotifyRouteChangeFunction notify =
        entry_points_.findNotifyRouteChange ? entry_points_.findNotifyRouteChange() : nullptr;
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
    return RouteRegistration::registered;
}

RouteWait IpHelperRouteChanges::Wait(StopEvent& stop, SystemErrorCode& error) {
    const HANDLE handles[2] = {reinterpret_cast<HANDLE>(stop.NativeHandle()),
                               cycle_ ? cycle_->event.get() : nullptr};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    const DWORD lastError = GetLastError();
    if (result == WAIT_OBJECT_0 + 1) {
        cycle_->pending = false;
    }
    EndCycle();
    if (result == WAIT_OBJECT_0) {
        return RouteWait::stopped;
    }
    if (result == WAIT_OBJECT_0 + 1) {
        return RouteWait::changed;
    }
    error = result == WAIT_FAILED ? lastError : result;
    return RouteWait::failed;
}

bool IpHelperRouteChanges::CancelPending(Cycle& cycle) {
    // A signalled event means the registration has completed: nothing is pending any more.
    if (Signalled(cycle.event.get(), 0)) {
        return true;
    }
    const CancelIpChangeNotifyFunction cancel =
        entry_points_.findCancelIpChangeNotify ? entry_points_.findCancelIpChangeNotify() : nullptr;
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
        static_cast<void>(cycle_->event.release());
        static_cast<void>(cycle_.release());
        return;
    }
    cycle_.reset();
}

} // namespace Core_SocketARP
