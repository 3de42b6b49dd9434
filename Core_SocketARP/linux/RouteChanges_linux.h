// Route-change notification over rtnetlink and the monitor's stop event as an eventfd (Linux
// only).
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <sys/types.h>

#include <functional>
#include <memory>

namespace Core_SocketARP {

// An eventfd that counts signals; a wait that returns with it reads it back to zero.
std::unique_ptr<StopEvent> CreateEventFdStopEvent();

// What one look at the queued notifications found: whether anything changed, or the errno of
// a failure.
struct DrainResult {
    bool changed = false;
    SystemErrorCode error = 0;
};

// Reads the notifications queued on a socket until none is left. `receive` reads one datagram
// without blocking: its length, or -1 with errno set. An overrun of the socket's buffer
// (ENOBUFS) lost notifications, so it counts as a change. At most `drain_limit` datagrams are
// read, so that a flood cannot hold off the pass for good.
DrainResult DrainNotifications(const std::function<ssize_t()>& receive);
inline constexpr int drain_limit = 1024;

// A NETLINK_ROUTE socket, non-blocking, that is a member of RTNLGRP_IPV4_ROUTE. Throws errno.
ScopedFd OpenRouteChangeSocket();

// The first registration opens the socket; it then stays a member, so changes that come while
// a pass runs wait in its queue and end the next wait at once. A wait polls the stop event and
// the socket together, and drains the socket before it reports a change: a burst of changes
// makes one pass.
class NetlinkRouteChanges final : public RouteChangeSubscription {
public:
    using SocketOpener = std::function<ScopedFd()>; // throws SystemErrorCode

    explicit NetlinkRouteChanges(SocketOpener open = OpenRouteChangeSocket);

    RouteRegistration Register(SystemErrorCode& error) override;
    RouteWait Wait(StopEvent& stop, SystemErrorCode& error) override;

    int SocketForTests() const { return socket_.get(); }

private:
    SocketOpener open_;
    ScopedFd socket_;
};

} // namespace Core_SocketARP
