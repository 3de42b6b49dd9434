// Route-change notification over IP Helper and the monitor's stop event (Windows only).
#pragma once

#include "Core_Common/win/WinApi.h"

#include "Core_SocketARP/NetworkStack.h"

#include <functional>
#include <memory>

namespace Core_SocketARP {

using NotifyRouteChangeFunction = DWORD(WINAPI*)(PHANDLE, LPOVERLAPPED);
using CancelIpChangeNotifyFunction = BOOL(WINAPI*)(LPOVERLAPPED);

// How the subscription reaches its late-bound entry points; tests put their own in.
struct RouteChangeEntryPoints {
    // Looked up before every registration; null when the platform lacks it.
    std::function<NotifyRouteChangeFunction()> findNotifyRouteChange;
    // Looked up when a registration still pending has to be given up; null when missing.
    std::function<CancelIpChangeNotifyFunction()> findCancelIpChangeNotify;
};

// The entry points of the already loaded "Iphlpapi.dll".
RouteChangeEntryPoints SystemRouteChangeEntryPoints();

// An unnamed auto-reset event made with CreateEventW, not signalled.
std::unique_ptr<StopEvent> CreateKernelStopEvent();

// One registration per cycle: a fresh event from WSACreateEvent in an OVERLAPPED block that is
// otherwise zero, handed to NotifyRouteChange; the wait is on the stop event and the cycle's
// event, in that order. The cycle's event is closed when its wait ends. A registration still
// pending then (stop, failed wait) is cancelled first; one that cannot be cancelled keeps its
// block and event for good, since the system may still complete into them.
class IpHelperRouteChanges final : public RouteChangeSubscription {
public:
    explicit IpHelperRouteChanges(RouteChangeEntryPoints entryPoints);
    ~IpHelperRouteChanges() override;
    IpHelperRouteChanges(const IpHelperRouteChanges&) = delete;
    IpHelperRouteChanges& operator=(const IpHelperRouteChanges&) = delete;

    RouteRegistration Register(SystemErrorCode& error) override;
    RouteWait Wait(StopEvent& stop, SystemErrorCode& error) override;

    // How long a cancelled registration is given to complete before its block is kept.
    static constexpr DWORD cancel_completion_ms = 250;

private:
    struct Cycle;
    void EndCycle();
    bool CancelPending(Cycle& cycle);

    RouteChangeEntryPoints entry_points_;
    std::unique_ptr<Cycle> cycle_;
};

} // namespace Core_SocketARP
