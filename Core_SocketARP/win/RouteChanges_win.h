// Route-change and interface-change notification over IP Helper and the monitor's kernel
// events (Windows only).
#pragma once

#include "Core_Common/win/WinApi.h"

#include <winsock2.h>
#include <ws2ipdef.h>

// After ws2ipdef.h, which the interface-change types of netioapi.h need.
#include <iphlpapi.h>

#include "Core_SocketARP/NetworkStack.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace Core_SocketARP {

using NotifyRouteChangeFunction = DWORD(WINAPI*)(PHANDLE, LPOVERLAPPED);
using CancelIpChangeNotifyFunction = BOOL(WINAPI*)(LPOVERLAPPED);
using NotifyIpInterfaceChangeFunction = DWORD(WINAPI*)(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK,
                                                       PVOID, BOOLEAN, HANDLE*);
using CancelMibChangeNotify2Function = DWORD(WINAPI*)(HANDLE);
using NotifyRouteChange2Function = DWORD(WINAPI*)(ADDRESS_FAMILY, PIPFORWARD_CHANGE_CALLBACK, PVOID,
                                                  BOOLEAN, HANDLE*);

// How the subscription reaches its late-bound entry points; tests put their own in. Each is
// looked up when it is about to be used; null (or an empty function) when the platform lacks it.
struct RouteChangeEntryPoints {
    // Before every registration.
    std::function<NotifyRouteChangeFunction()> findNotifyRouteChange;
    // When a registration still pending has to be given up.
    std::function<CancelIpChangeNotifyFunction()> findCancelIpChangeNotify;
    // At registrations, until the interface notification is in place.
    std::function<NotifyIpInterfaceChangeFunction()> findNotifyIpInterfaceChange;
    // When the interface notification is given up, with the subscription.
    std::function<CancelMibChangeNotify2Function()> findCancelMibChangeNotify2;
    // At registrations, until the IPv6 route notification is in place.
    std::function<NotifyRouteChange2Function()> findNotifyRouteChange2;
};

// The entry points of the already loaded "Iphlpapi.dll".
RouteChangeEntryPoints SystemRouteChangeEntryPoints();

// An unnamed auto-reset event made with CreateEventW, not signalled.
std::unique_ptr<StopEvent> CreateKernelStopEvent();

// Route changes: one NotifyRouteChange registration per cycle, a fresh event from
// WSACreateEvent in an OVERLAPPED block that is otherwise zero. The registration stays pending
// across waits that end for other reasons; a wait that the change ends closes the cycle, and
// the monitor registers the next one. A registration given up while still pending (a new
// registration after a failed wait, the end of the subscription) is cancelled first; one that
// cannot be cancelled keeps its block and event for good, since the system may still complete
// into them.
//
// Interface changes, where the platform has NotifyIpInterfaceChange: registered once for IPv4
// at a registration; the callback, on a system thread, records the interface's index and sets
// an event of the subscription. It is cancelled with CancelMibChangeNotify2 before the
// subscription goes; what the callbacks write into stays for good when that fails.
//
// IPv6 route changes, where the platform has NotifyRouteChange2 (NotifyRouteChange tells of
// IPv4 ones only): registered once for IPv6 at a registration; the callback sets an event of
// the subscription, and a wait that finds it set is a routing change. Cancelled as the interface
// notification is.
//
// A wait is one WaitForMultipleObjects over, in this order, the stop event, the cycle's event,
// the IPv6 route event, the interface event, the kick event and the resolver's event, with the
// set's timeout: the lowest ready one wins.
class IpHelperRouteChanges final : public RouteChangeSubscription {
public:
    explicit IpHelperRouteChanges(RouteChangeEntryPoints entryPoints);
    ~IpHelperRouteChanges() override;
    IpHelperRouteChanges(const IpHelperRouteChanges&) = delete;
    IpHelperRouteChanges& operator=(const IpHelperRouteChanges&) = delete;

    RouteRegistration Register(SystemErrorCode& error) override;
    RouteWait Wait(const WaitSet& set, ChangeReport& report, SystemErrorCode& error) override;

    // How long a cancelled registration is given to complete before its block is kept.
    static constexpr DWORD cancel_completion_ms = 250;
    // Interface indexes kept between two waits; more make the report an overrun.
    static constexpr std::size_t interface_report_limit = 256;

private:
    struct Cycle;
    struct InterfaceWatch;
    struct RouteWatch;

    void EndCycle();
    bool CancelPending(Cycle& cycle);
    void WatchInterfaces();
    void EndInterfaceWatch();
    void WatchIpv6Routes();
    void EndIpv6RouteWatch();
    static void WINAPI OnIpv6RouteChange(PVOID context, PMIB_IPFORWARD_ROW2 row,
                                         MIB_NOTIFICATION_TYPE type);
    static void WINAPI OnInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW row,
                                         MIB_NOTIFICATION_TYPE type);

    RouteChangeEntryPoints entry_points_;
    std::unique_ptr<Cycle> cycle_;
    std::unique_ptr<InterfaceWatch> interfaces_;
    std::unique_ptr<RouteWatch> ipv6_routes_;
};

} // namespace Core_SocketARP
