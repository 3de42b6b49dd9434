// Route-change notification over rtnetlink and the monitor's stop event as an eventfd (Linux
// only).
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace Core_SocketARP {

// An eventfd that counts signals; a wait that returns with it reads it back to zero.
std::unique_ptr<StopEvent> CreateEventFdStopEvent();

// What one look at the queued notifications found: whether anything changed, whether the
// socket's buffer overran (notifications were lost), or the errno of a failure.
struct DrainResult {
    bool changed = false;
    bool overrun = false;
    SystemErrorCode error = 0;
};

// Reads the notifications queued on a socket until none is left. `receive` reads one datagram
// without blocking: its length, or -1 with errno set. An overrun of the socket's buffer
// (ENOBUFS) lost notifications, so it counts as a change. At most `drain_limit` datagrams are
// read, so that a flood cannot hold off the pass for good.
DrainResult DrainNotifications(const std::function<ssize_t()>& receive);
inline constexpr int drain_limit = 1024;

// A NETLINK_ROUTE socket, non-blocking, that is a member of RTNLGRP_IPV4_ROUTE,
// RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_RULE and, where the kernel has it,
// RTNLGRP_NEXTHOP. Throws errno.
ScopedFd OpenRouteChangeSocket();

// A NETLINK_ROUTE socket, non-blocking, that is a member of the link, neighbour and the two
// address groups, with a large receive buffer. Throws errno.
ScopedFd OpenLinkChangeSocket();

// Adds what one datagram of link, neighbour and address notifications touched to the report:
// neighbour entries of either family (new or deleted), links, and the links of addresses.
// Anything else, and anything malformed, is skipped.
void AddToReport(std::span<const std::uint8_t> datagram, ChangeReport& report);

// The first registration opens both sockets; they then stay members, so changes that come
// while a pass runs wait in their queues and end the next wait at once. A wait polls the stop
// event, both sockets, the kick event and the resolver together, and drains a socket before it
// reports: a burst of route changes makes one pass, a burst of other changes one repair. Routes
// are on a socket of their own, so that a flood of neighbour notifications can neither hide
// a route change nor pass for one. The other socket's filter lets in only the neighbour
// notifications of the watched entries (every one until they are told).
class NetlinkRouteChanges final : public RouteChangeSubscription {
public:
    using SocketOpener = std::function<ScopedFd()>; // throws SystemErrorCode

    explicit NetlinkRouteChanges(SocketOpener openRoutes = OpenRouteChangeSocket,
                                 SocketOpener openLinks = OpenLinkChangeSocket);

    RouteRegistration Register(SystemErrorCode& error) override;
    RouteWait Wait(const WaitSet& set, ChangeReport& report, SystemErrorCode& error) override;
    void WatchNeighbours(const std::optional<std::vector<WatchedNeighbour>>& entries) override;

    int SocketForTests() const { return routes_.get(); }
    int LinkSocketForTests() const { return links_.get(); }

private:
    SocketOpener open_routes_;
    SocketOpener open_links_;
    ScopedFd routes_;
    ScopedFd links_;
    std::optional<std::vector<WatchedNeighbour>> watched_;
};

} // namespace Core_SocketARP
