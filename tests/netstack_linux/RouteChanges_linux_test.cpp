// The Linux route-change subscription and stop event. The notification sockets are stood in
// for by ends of datagram socket pairs, so the tests touch no routing table.
#include "Core_SocketARP/linux/RouteChanges_linux.h"

#include "Core_SocketARP/linux/NeighbourFilter_linux.h"

#include "NetlinkBytes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <thread>
#include <vector>

namespace {

using Core_SocketARP::DrainNotifications;
using Core_SocketARP::DrainResult;
using Core_SocketARP::NetlinkRouteChanges;
using Core_SocketARP::RouteRegistration;
using Core_SocketARP::RouteWait;
using Core_SocketARP::ScopedFd;
using Core_SocketARP::StopEvent;
using Core_SocketARP::SystemErrorCode;

// What one receive gives: a length, or -1 with this errno.
struct Receipt {
    ssize_t length;
    int error;
};

class ScriptedReceive {
public:
    explicit ScriptedReceive(std::deque<Receipt> script, Receipt afterwards = {-1, EAGAIN})
        : script_(std::move(script)), afterwards_(afterwards) {}

    ssize_t operator()() {
        ++calls;
        Receipt next = afterwards_;
        if (!script_.empty()) {
            next = script_.front();
            script_.pop_front();
        }
        errno = next.error;
        return next.length;
    }

    int calls = 0;

private:
    std::deque<Receipt> script_;
    Receipt afterwards_;
};

DrainResult Drain(ScriptedReceive& receive) {
    return DrainNotifications([&] { return receive(); });
}

TEST(DrainNotifications, ReadsEverythingQueuedAsOneChange) {
    ScriptedReceive receive({{20, 0}, {36, 0}, {52, 0}});
    const DrainResult result = Drain(receive);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.error, 0U);
    EXPECT_EQ(receive.calls, 4);
}

TEST(DrainNotifications, NothingQueuedIsNoChange) {
    ScriptedReceive receive({});
    const DrainResult result = Drain(receive);
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(result.error, 0U);
    EXPECT_EQ(receive.calls, 1);
}

TEST(DrainNotifications, OverrunOfTheBufferCountsAsAChangeAndReadingGoesOn) {
    ScriptedReceive receive({{-1, ENOBUFS}, {20, 0}});
    const DrainResult result = Drain(receive);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.error, 0U);
    EXPECT_EQ(receive.calls, 3);
}

TEST(DrainNotifications, EmptyDatagramIsReadButIsNoChange) {
    ScriptedReceive receive({{0, 0}});
    const DrainResult result = Drain(receive);
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(receive.calls, 2);
}

TEST(DrainNotifications, InterruptedReceiveIsRepeated) {
    ScriptedReceive receive({{-1, EINTR}});
    const DrainResult result = Drain(receive);
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(result.error, 0U);
    EXPECT_EQ(receive.calls, 2);
}

TEST(DrainNotifications, OtherReceiveErrorIsAFailureWithItsCode) {
    ScriptedReceive receive({{20, 0}, {-1, EBADF}});
    const DrainResult result = Drain(receive);
    EXPECT_EQ(result.error, static_cast<SystemErrorCode>(EBADF));
}

TEST(DrainNotifications, FloodEndsAtTheLimitAsAChange) {
    ScriptedReceive receive({}, {20, 0});
    const DrainResult result = Drain(receive);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(receive.calls, Core_SocketARP::drain_limit);
}

bool Readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

TEST(EventFdStopEvent, IsMadeNotSignalled) {
    const auto stop = Core_SocketARP::CreateEventFdStopEvent();
    EXPECT_EQ(stop->CreationError(), 0U);
    const auto fd = static_cast<int>(stop->NativeHandle());
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST(EventFdStopEvent, SignalStaysUntilReset) {
    const auto stop = Core_SocketARP::CreateEventFdStopEvent();
    const auto fd = static_cast<int>(stop->NativeHandle());
    stop->Signal();
    stop->Signal();
    EXPECT_TRUE(Readable(fd));
    stop->Reset();
    EXPECT_FALSE(Readable(fd));
    stop->Reset(); // nothing left to take back
    EXPECT_FALSE(Readable(fd));
}

// A subscription whose notification socket is one end of a socket pair; the test writes
// "notifications" into the other end.
class NetlinkRouteChangesTest : public testing::Test {
protected:
    void SetUp() override {
        int pair[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
        listener_ = pair[0];
        sender.reset(pair[1]);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
        link_listener_ = pair[0];
        linkSender.reset(pair[1]);
    }

    NetlinkRouteChanges::SocketOpener Opener() {
        return [this] {
            ++opens;
            return ScopedFd(std::exchange(listener_, -1));
        };
    }

    NetlinkRouteChanges::SocketOpener LinkOpener() {
        return [this] { return ScopedFd(std::exchange(link_listener_, -1)); };
    }

    void Notify(int count = 1) {
        for (int i = 0; i < count; ++i) {
            const char message[16] = {};
            ASSERT_EQ(::send(sender.get(), message, sizeof message, 0),
                      static_cast<ssize_t>(sizeof message));
        }
    }

    void NotifyLink(const std::vector<std::uint8_t>& datagram) {
        ASSERT_EQ(::send(linkSender.get(), datagram.data(), datagram.size(), 0),
                  static_cast<ssize_t>(datagram.size()));
    }

    RouteWait Wait(SystemErrorCode& error,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds{-1}) {
        report = {};
        return changes.Wait(Core_SocketARP::WaitSet{*stop, kick.get(), nullptr, timeout}, report,
                            error);
    }

    void Register() {
        SystemErrorCode error = 0;
        ASSERT_EQ(changes.Register(error), RouteRegistration::registered);
    }

    ScopedFd sender;
    ScopedFd linkSender;
    int opens = 0;
    NetlinkRouteChanges changes{Opener(), LinkOpener()};
    std::unique_ptr<StopEvent> stop = Core_SocketARP::CreateEventFdStopEvent();
    std::unique_ptr<StopEvent> kick = Core_SocketARP::CreateEventFdStopEvent();
    Core_SocketARP::ChangeReport report;

private:
    int listener_ = -1;
    int link_listener_ = -1;
};

// One notification of the link, neighbour and address groups.
template <class Header>
std::vector<std::uint8_t> Notification(std::uint16_t type, const Header& header,
                                       std::uint32_t destination = 0) {
    tw_netlink::MessageBuilder message(type, header);
    if (destination != 0) {
        message.U32(NDA_DST, destination);
    }
    return message.Datagram();
}

TEST_F(NetlinkRouteChangesTest, FirstRegistrationOpensTheSocketAndItStaysRegistered) {
    Register();
    Register();
    EXPECT_EQ(opens, 1);
}

TEST_F(NetlinkRouteChangesTest, FailedOpenIsAFailedRegistrationWithItsCode) {
    NetlinkRouteChanges failing([]() -> ScopedFd { throw SystemErrorCode{EPROTONOSUPPORT}; });
    SystemErrorCode error = 0;
    EXPECT_EQ(failing.Register(error), RouteRegistration::failed);
    EXPECT_EQ(error, static_cast<SystemErrorCode>(EPROTONOSUPPORT));
}

TEST_F(NetlinkRouteChangesTest, QueuedNotificationsMakeOneChangeAndAreAllRead) {
    Register();
    Notify(3);
    SystemErrorCode error = 0;
    EXPECT_EQ(Wait(error), RouteWait::changed);
    EXPECT_FALSE(Readable(changes.SocketForTests()));
}

// Between two waits the socket keeps collecting, as it does while a pass runs.
TEST_F(NetlinkRouteChangesTest, NotificationBetweenWaitsEndsTheNextWaitAtOnce) {
    Register();
    Notify();
    SystemErrorCode error = 0;
    ASSERT_EQ(Wait(error), RouteWait::changed);
    Register();
    Notify();
    EXPECT_EQ(Wait(error), RouteWait::changed);
}

TEST_F(NetlinkRouteChangesTest, StopWinsWhenBothAreReadyAndIsTaken) {
    Register();
    Notify();
    stop->Signal();
    SystemErrorCode error = 0;
    EXPECT_EQ(Wait(error), RouteWait::stopped);
    EXPECT_FALSE(Readable(static_cast<int>(stop->NativeHandle())));
    // The notification is still there for a later wait.
    EXPECT_EQ(Wait(error), RouteWait::changed);
}

TEST_F(NetlinkRouteChangesTest, WaitBlocksUntilAStopFromAnotherThread) {
    Register();
    auto waiting = std::async(std::launch::async, [&] {
        SystemErrorCode error = 0;
        return Wait(error);
    });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    stop->Signal();
    EXPECT_EQ(waiting.get(), RouteWait::stopped);
}

TEST_F(NetlinkRouteChangesTest, WaitBlocksUntilANotificationFromAnotherThread) {
    Register();
    auto waiting = std::async(std::launch::async, [&] {
        SystemErrorCode error = 0;
        return Wait(error);
    });
    Notify();
    EXPECT_EQ(waiting.get(), RouteWait::changed);
}

// What the link socket brings is a repair report of the touched neighbour entries (either
// family, as the adapter records write their addresses) and links; a route change on the other
// socket comes first, and the kick and the timeout come last.
TEST_F(NetlinkRouteChangesTest, LinkNeighbourAndAddressNotificationsMakeOneRepairReport) {
    Register();
    ndmsg neighbour{};
    neighbour.ndm_family = AF_INET;
    neighbour.ndm_ifindex = 4;
    ifinfomsg link{};
    link.ifi_index = 5;
    ifaddrmsg address{};
    address.ifa_family = AF_INET;
    address.ifa_index = 6;
    ifaddrmsg address6{};
    address6.ifa_family = AF_INET6;
    address6.ifa_index = 7;
    std::vector<std::uint8_t> both = Notification(RTM_DELNEIGH, neighbour, 0x0100000a);
    const std::vector<std::uint8_t> linkChange = Notification(RTM_NEWLINK, link);
    both.insert(both.end(), linkChange.begin(), linkChange.end());
    NotifyLink(both);
    ndmsg neighbour6{};
    neighbour6.ndm_family = AF_INET6;
    neighbour6.ndm_ifindex = 4;
    const std::uint8_t router[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    NotifyLink(tw_netlink::MessageBuilder(RTM_NEWNEIGH, neighbour6)
                   .Attribute(NDA_DST, router, sizeof router)
                   .Datagram());
    NotifyLink(Notification(RTM_NEWADDR, address));
    NotifyLink(Notification(RTM_NEWADDR, address6));
    Notify();
    SystemErrorCode error = 0;
    ASSERT_EQ(Wait(error), RouteWait::changed);
    ASSERT_EQ(Wait(error), RouteWait::repair);
    EXPECT_FALSE(report.overrun);
    EXPECT_EQ(report.neighbours, (std::vector<std::pair<std::uint32_t, std::string>>{
                                     {4, "10.0.0.1"}, {4, "fe80::1"}}));
    EXPECT_EQ(report.links, (std::vector<std::uint32_t>{5, 6, 7}));
    kick->Signal();
    EXPECT_EQ(Wait(error), RouteWait::kicked);
    EXPECT_EQ(Wait(error, std::chrono::milliseconds{0}), RouteWait::timedOut);
}

// Only the neighbour notifications of the watched entries (IPv4 and IPv6) get through the link
// socket's filter, wherever their address attribute lies; links and addresses as before;
// nothing watched, every one.
TEST_F(NetlinkRouteChangesTest, OnlyNeighbourNotificationsOfWatchedEntriesGetThrough) {
    constexpr std::uint32_t watched = 0x0100000a; // 10.0.0.1
    constexpr std::uint32_t other = 0x0900000a;
    const std::vector<std::uint8_t> router = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::vector<std::uint8_t> otherRouter = router;
    otherRouter[8] = 0x02; // fe80::200:0:0:1: the same last word
    const auto* watchedBytes = reinterpret_cast<const std::uint8_t*>(&watched);
    Register();
    changes.WatchNeighbours(std::vector<Core_SocketARP::WatchedNeighbour>{
        {4, {watchedBytes, watchedBytes + 4}}, {4, router}});
    ndmsg neighbour{};
    neighbour.ndm_family = AF_INET;
    neighbour.ndm_ifindex = 4;
    ndmsg elsewhere = neighbour;
    elsewhere.ndm_ifindex = 5;
    ndmsg ipv6 = neighbour;
    ipv6.ndm_family = AF_INET6;
    ndmsg ipv6Elsewhere = ipv6;
    ipv6Elsewhere.ndm_ifindex = 5;
    const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
    const std::vector<std::uint8_t> addressSecond =
        tw_netlink::MessageBuilder(RTM_NEWNEIGH, neighbour)
            .Attribute(NDA_LLADDR, mac, sizeof mac)
            .U32(NDA_DST, watched)
            .Datagram();
    const auto neighbour6 = [&](const ndmsg& header, const std::vector<std::uint8_t>& address) {
        return tw_netlink::MessageBuilder(RTM_NEWNEIGH, header)
            .Attribute(NDA_DST, address.data(), address.size())
            .Datagram();
    };
    ifinfomsg link{};
    link.ifi_index = 5;
    ifaddrmsg address{};
    address.ifa_family = AF_INET;
    address.ifa_index = 6;
    const std::vector<std::vector<std::uint8_t>> sent = {
        Notification(RTM_NEWNEIGH, neighbour, other),
        Notification(RTM_NEWNEIGH, elsewhere, watched),
        Notification(RTM_NEWNEIGH, ipv6, watched),
        neighbour6(ipv6, otherRouter),
        neighbour6(ipv6Elsewhere, router),
        neighbour6(neighbour, router),
        Notification(RTM_NEWNEIGH, neighbour),
        Notification(RTM_DELNEIGH, neighbour, watched),
        addressSecond,
        neighbour6(ipv6, router),
        Notification(RTM_NEWLINK, link),
        Notification(RTM_NEWADDR, address)};
    for (const auto& datagram : sent) {
        // A datagram the filter drops may or may not fail its send: nothing is asserted of it.
        ::send(linkSender.get(), datagram.data(), datagram.size(), 0);
    }
    SystemErrorCode error = 0;
    ASSERT_EQ(Wait(error), RouteWait::repair);
    EXPECT_EQ(report.neighbours, (std::vector<std::pair<std::uint32_t, std::string>>{
                                     {4, "10.0.0.1"}, {4, "10.0.0.1"}, {4, "fe80::1"}}));
    EXPECT_EQ(report.links, (std::vector<std::uint32_t>{5, 6}));

    ::send(linkSender.get(), sent[0].data(), sent[0].size(), 0);
    EXPECT_EQ(Wait(error, std::chrono::milliseconds{0}), RouteWait::timedOut);
    changes.WatchNeighbours(std::nullopt);
    NotifyLink(sent[0]);
    ASSERT_EQ(Wait(error), RouteWait::repair);
    EXPECT_EQ(report.neighbours,
              (std::vector<std::pair<std::uint32_t, std::string>>{{4, "10.0.0.9"}}));

    // A list too long for one filter lets every notification through.
    std::vector<Core_SocketARP::WatchedNeighbour> many;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        many.push_back({i, router});
    }
    EXPECT_FALSE(Core_SocketARP::NeighbourFilter(many));
    changes.WatchNeighbours(many);
    NotifyLink(sent[0]);
    ASSERT_EQ(Wait(error), RouteWait::repair);
}

TEST_F(NetlinkRouteChangesTest, WaitBeforeRegistrationFails) {
    SystemErrorCode error = 0;
    EXPECT_EQ(Wait(error), RouteWait::failed);
    EXPECT_EQ(error, static_cast<SystemErrorCode>(EBADF));
}

// A socket that can deliver nothing more must end the wait, not spin in it.
TEST_F(NetlinkRouteChangesTest, SocketThatHasHungUpIsAFailedWait) {
    Register();
    ASSERT_EQ(::shutdown(changes.SocketForTests(), SHUT_RDWR), 0);
    auto waiting = std::async(std::launch::async, [&] {
        SystemErrorCode error = 0;
        const RouteWait result = Wait(error);
        return std::make_pair(result, error);
    });
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [result, error] = waiting.get();
    EXPECT_EQ(result, RouteWait::failed);
    EXPECT_EQ(error, static_cast<SystemErrorCode>(EPIPE));
}

// The real socket: a member of the IPv4 route, rule and nexthop groups by number,
// non-blocking, not inherited.
TEST(RouteChangeSocket, JoinsTheGroupsOfRoutesRulesAndNexthops) {
    ScopedFd fd = Core_SocketARP::OpenRouteChangeSocket();
    ASSERT_TRUE(fd);
    std::vector<std::uint32_t> groups(4, 0);
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(std::uint32_t));
    ASSERT_EQ(::getsockopt(fd.get(), SOL_NETLINK, NETLINK_LIST_MEMBERSHIPS, groups.data(), &length),
              0);
    for (const unsigned group : {RTNLGRP_IPV4_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_NEXTHOP}) {
        const unsigned bit = group - 1;
        EXPECT_NE(groups[bit / 32] & (1U << (bit % 32)), 0U) << group;
    }
    EXPECT_NE(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
}

} // namespace
