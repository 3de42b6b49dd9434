#include "Core_SocketARP/linux/RouteChanges_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace Core_SocketARP {
namespace {

SystemErrorCode LastErrno() { return static_cast<SystemErrorCode>(errno); }

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
            continue;
        }
        if (code != EAGAIN && code != EWOULDBLOCK) {
            result.error = static_cast<SystemErrorCode>(code);
        }
        return result;
    }
    return result;
}

ScopedFd OpenRouteChangeSocket() {
    ScopedFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd) {
        throw LastErrno();
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw LastErrno();
    }
    // The group's number, not the old bitmask of nl_groups (which stops at group 32).
    const int group = RTNLGRP_IPV4_ROUTE;
    if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
        throw LastErrno();
    }
    return fd;
}

NetlinkRouteChanges::NetlinkRouteChanges(SocketOpener open) : open_(std::move(open)) {}

RouteRegistration NetlinkRouteChanges::Register(SystemErrorCode& error) {
    if (socket_) {
        return RouteRegistration::registered;
    }
    try {
        socket_ = open_();
    } catch (SystemErrorCode code) {
        error = code;
        return RouteRegistration::failed;
    }
    return RouteRegistration::registered;
}

RouteWait NetlinkRouteChanges::Wait(StopEvent& stop, SystemErrorCode& error) {
    const auto stopFd = static_cast<int>(stop.NativeHandle());
    if (stopFd < 0 || !socket_) {
        error = EBADF;
        return RouteWait::failed;
    }
    std::array<std::uint8_t, 8192> buffer{};
    const auto receive = [&] {
        return ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    };
    for (;;) {
        std::array<pollfd, 2> fds = {pollfd{stopFd, POLLIN, 0}, pollfd{socket_.get(), POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = LastErrno();
            return RouteWait::failed;
        }
        if ((fds[0].revents & POLLNVAL) != 0 || (fds[1].revents & POLLNVAL) != 0) {
            error = EBADF;
            return RouteWait::failed;
        }
        // The stop is looked at first: it wins when both are ready.
        if ((fds[0].revents & POLLIN) != 0) {
            stop.Reset();
            return RouteWait::stopped;
        }
        if ((fds[1].revents & POLLHUP) != 0) { // nothing more will come: waiting on would spin
            error = EPIPE;
            return RouteWait::failed;
        }
        if ((fds[1].revents & (POLLIN | POLLERR)) != 0) {
            const DrainResult drained = DrainNotifications(receive);
            if (drained.error != 0) {
                error = drained.error;
                return RouteWait::failed;
            }
            if (drained.changed) {
                return RouteWait::changed;
            }
        }
    }
}

} // namespace Core_SocketARP
