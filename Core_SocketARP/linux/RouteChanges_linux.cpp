#include "Core_SocketARP/linux/RouteChanges_linux.h"

#include "Core_SocketARP/linux/NeighbourFilter_linux.h"
#include "Core_SocketARP/linux/PollDeadline_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace Core_SocketARP {
namespace {

class EventFdStopEvent final : public StopEvent {
public:
    EventFdStopEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!fd_) {
            error_ = LastErrno();
        }
    }

    SystemErrorCode CreationError() const override { return error_; }

    void Signal() override {
        const std::uint64_t one = 1;
        // Fails only when the counter is full, which leaves it signalled anyway.
        [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
    }

    void Reset() override {
        std::uint64_t count = 0;
        // Fails with EAGAIN when nothing was signalled: reset already.
        [[maybe_unused]] const ssize_t read = ::read(fd_.get(), &count, sizeof count);
    }

    std::intptr_t NativeHandle() const override { return fd_.get(); }

private:
    ScopedFd fd_;
    SystemErrorCode error_ = 0;
};

} // namespace

std::unique_ptr<StopEvent> CreateEventFdStopEvent() { return std::make_unique<EventFdStopEvent>(); }

DrainResult DrainNotifications(const std::function<ssize_t()>& receive) {
    DrainResult result;
    for (int datagrams = 0; datagrams < drain_limit;) {
        const ssize_t length = receive();
        if (length > 0) {
            result.changed = true;
            ++datagrams;
            continue;
        }
        if (length == 0) { // an empty datagram: read, and nothing to tell
            ++datagrams;
            continue;
        }
        const int code = errno;
        if (code == EINTR) {
            continue;
        }
        if (code == ENOBUFS) {
            result.changed = true;
            result.overrun = true;
            continue;
        }
        if (code != EAGAIN && code != EWOULDBLOCK) {
            result.error = static_cast<SystemErrorCode>(code);
        }
        return result;
    }
    return result;
}

namespace {

ScopedFd OpenGroupSocket(std::initializer_list<int> groups, int receiveBuffer,
                         std::initializer_list<int> optionalGroups = {}) {
    ScopedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd) {
        ThrowErrno();
    }
    netlink::EnableExtendedAck(fd.get());
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ThrowErrno();
    }
    if (receiveBuffer > 0) {
        // More room where the system allows it; an overrun is handled anyway.
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    // The groups' numbers, not the old bitmask of nl_groups (which stops at group 32).
    for (const int group : groups) {
        if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) !=
            0) {
            ThrowErrno();
        }
    }
    // Groups that older kernels do not have (nexthop objects came with Linux 5.3).
    for (const int group : optionalGroups) {
        ::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group);
    }
    return fd;
}

} // namespace

ScopedFd OpenRouteChangeSocket() {
    // Policy rules and nexthop objects choose gateways and routers as routes do; a nexthop
    // object replaced with the kernel's compatibility mode off tells of it in its own group only.
    return OpenGroupSocket(
        {RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_RULE}, 0,
        {RTNLGRP_NEXTHOP});
}

ScopedFd OpenLinkChangeSocket() {
    return OpenGroupSocket({RTNLGRP_LINK, RTNLGRP_NEIGH, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR},
                           1 << 20);
}

void AddToReport(std::span<const std::uint8_t> datagram, ChangeReport& report) {
    const auto add = [&report](const nlmsghdr& header, std::span<const std::uint8_t> payload) {
        const netlink::Message message = netlink::MessageOf(header, payload);
        switch (message.type) {
        case RTM_NEWNEIGH:
        case RTM_DELNEIGH: {
            const auto neighbour = rtnl::DecodeNeighbour(message);
            if (neighbour) {
                if (std::string text = rtnl::NeighbourText(*neighbour); !text.empty()) {
                    report.neighbours.emplace_back(neighbour->index, std::move(text));
                }
            }
            break;
        }
        case RTM_NEWLINK:
        case RTM_DELLINK: {
            ifinfomsg link{};
            if (message.ReadHeader(link)) {
                report.links.push_back(static_cast<std::uint32_t>(link.ifi_index));
            }
            break;
        }
        case RTM_NEWADDR:
        case RTM_DELADDR: {
            ifaddrmsg address{};
            if (message.ReadHeader(address) &&
                (address.ifa_family == AF_INET || address.ifa_family == AF_INET6)) {
                report.links.push_back(address.ifa_index);
            }
            break;
        }
        default:
            break;
        }
        return false;
    };
    try {
        netlink::ForEachMessage(datagram, add);
    } catch (SystemErrorCode) {
        // A malformed message ends the datagram; what came before it counts.
    }
}

NetlinkRouteChanges::NetlinkRouteChanges(SocketOpener openRoutes, SocketOpener openLinks)
    : open_routes_(std::move(openRoutes)), open_links_(std::move(openLinks)) {}

RouteRegistration NetlinkRouteChanges::Register(SystemErrorCode& error) {
    try {
        if (!routes_) {
            routes_ = open_routes_();
        }
        if (!links_) {
            links_ = open_links_();
            if (watched_) {
                FilterNeighbours(links_.get(), *watched_);
            }
        }
    } catch (SystemErrorCode code) {
        error = code;
        return RouteRegistration::failed;
    }
    return RouteRegistration::registered;
}

void NetlinkRouteChanges::WatchNeighbours(
    const std::optional<std::vector<WatchedNeighbour>>& entries) {
    watched_ = entries;
    if (links_) {
        // A filter that cannot be put lets every notification through, as before: no failure.
        FilterNeighbours(links_.get(), entries);
    }
}

RouteWait NetlinkRouteChanges::Wait(const WaitSet& set, ChangeReport& report,
                                    SystemErrorCode& error) {
    const auto stopFd = static_cast<int>(set.stop.NativeHandle());
    if (stopFd < 0 || !routes_ || !links_) {
        error = EBADF;
        return RouteWait::failed;
    }
    const int kickFd = set.kick != nullptr ? static_cast<int>(set.kick->NativeHandle()) : -1;
    const int resolverFd =
        set.resolver != nullptr ? static_cast<int>(set.resolver->NativeHandle()) : -1;
    const int claimsFd = set.claims != nullptr ? static_cast<int>(set.claims->NativeHandle()) : -1;
    const PollDeadline deadline(set.timeout);
    std::array<std::uint8_t, 16384> buffer{};
    const auto receiveFrom = [&buffer](int fd) {
        return [&buffer, fd] { return ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT); };
    };
    for (;;) {
        // Negative descriptors are left out of the poll.
        std::array<pollfd, 6> fds = {
            pollfd{stopFd, POLLIN, 0},       pollfd{routes_.get(), POLLIN, 0},
            pollfd{links_.get(), POLLIN, 0}, pollfd{kickFd, POLLIN, 0},
            pollfd{resolverFd, POLLIN, 0},   pollfd{claimsFd, POLLIN, 0}};
        const int ready = ::poll(fds.data(), fds.size(), deadline.Left());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = LastErrno();
            return RouteWait::failed;
        }
        for (const pollfd& fd : fds) {
            if (fd.fd >= 0 && (fd.revents & POLLNVAL) != 0) {
                error = EBADF;
                return RouteWait::failed;
            }
        }
        // The stop is looked at first: it wins when several are ready; then the routes.
        if ((fds[0].revents & POLLIN) != 0) {
            set.stop.Reset();
            return RouteWait::stopped;
        }
        for (const int socket : {1, 2}) {
            if ((fds[socket].revents & POLLHUP) !=
                0) { // nothing more will come: waiting on would spin
                error = EPIPE;
                return RouteWait::failed;
            }
        }
        if ((fds[1].revents & (POLLIN | POLLERR)) != 0) {
            const DrainResult drained = DrainNotifications(receiveFrom(routes_.get()));
            if (drained.error != 0) {
                error = drained.error;
                return RouteWait::failed;
            }
            if (drained.changed) {
                return RouteWait::changed;
            }
        }
        if ((fds[2].revents & (POLLIN | POLLERR)) != 0) {
            const int fd = links_.get();
            const DrainResult drained = DrainNotifications([&] {
                const ssize_t length = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (length > 0) {
                    AddToReport({buffer.data(), static_cast<std::size_t>(length)}, report);
                }
                return length;
            });
            if (drained.error != 0) {
                error = drained.error;
                return RouteWait::failed;
            }
            report.overrun = report.overrun || drained.overrun;
            if (report.overrun || !report.neighbours.empty() || !report.links.empty()) {
                return RouteWait::repair;
            }
        }
        if ((fds[3].revents & POLLIN) != 0) {
            set.kick->Reset();
            return RouteWait::kicked;
        }
        if ((fds[4].revents & POLLIN) != 0) {
            return RouteWait::answers;
        }
        if ((fds[5].revents & POLLIN) != 0) {
            return RouteWait::claims;
        }
        if (deadline.Passed()) {
            return RouteWait::timedOut;
        }
    }
}

} // namespace Core_SocketARP
