#include "Core_SocketARP/linux/PacketArpResolver_linux.h"

#include "Core_SocketARP/linux/PollDeadline_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace Core_SocketARP {
namespace {

rtnl::LinkRecord LinkOf(netlink::Socket& socket, std::uint32_t index) {
    netlink::Request request = rtnl::LinkRequest(index);
    for (const netlink::Message& message : socket.Transact(request)) {
        if (auto link = rtnl::DecodeLink(message); link && link->index == index) {
            return *link;
        }
    }
    ThrowCode(ENODEV);
}

} // namespace

PacketArpResolver::PacketArpResolver() = default;

PacketArpResolver::~PacketArpResolver() = default;

ResolverPace PacketArpResolver::Pace() const {
    // Read once: the pace stays the same for the process's life.
    static const std::chrono::milliseconds interval =
        ArpIntervalFrom(std::getenv("TARNWICK_ARP_INTERVAL_MS"));
    return {arp_tries, interval, EHOSTUNREACH};
}

std::chrono::milliseconds PacketArpResolver::ArpIntervalFrom(const char* setting) {
    if (setting == nullptr) {
        return arp_interval;
    }
    const std::string_view text(setting);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 10 || value > 1000) {
        return arp_interval;
    }
    return std::chrono::milliseconds{value};
}

void PacketArpResolver::Ask(const GatewayRequest& request) {
    Asked asked;
    asked.gateway = rtnl::ParseAddress(request.gateway);
    asked.text = request.gateway;
    asked.link.interfaceIndex = static_cast<int>(request.interfaceIndex);
    asked.link.ip = request.source.empty() ? 0 : rtnl::ParseAddress(request.source);
    // The link's hardware address as the pass found it a moment ago, or now: a retry or a
    // repair may come after it changed.
    HardwareAddress mac = request.linkAddress;
    if (mac.empty()) {
        if (!netlink_) {
            netlink_ = std::make_unique<netlink::Socket>();
        }
        const rtnl::LinkRecord link = LinkOf(*netlink_, request.interfaceIndex);
        if (!rtnl::TakesArp(link)) {
            ThrowCode(ENETUNREACH);
        }
        mac = link.address;
    }
    if (mac.size() != asked.link.mac.size()) {
        ThrowCode(ENETUNREACH);
    }
    std::copy(mac.begin(), mac.end(), asked.link.mac.begin());
    OpenSocket();
    const auto same = [&](const Asked& a) {
        return a.link.interfaceIndex == asked.link.interfaceIndex && a.gateway == asked.gateway;
    };
    if (const auto found = std::find_if(asked_.begin(), asked_.end(), same);
        found != asked_.end()) {
        *found = asked;
    } else {
        asked_.push_back(asked);
    }
    UpdateFilter({});
    // A request for one gateway alone goes to its hardware address: only it hears the question.
    arp::MacAddress destination = arp::broadcast_mac;
    if (request.destination.size() == destination.size()) {
        std::copy(request.destination.begin(), request.destination.end(), destination.begin());
    }
    socket_->Send(arp::Request(asked.link, asked.gateway), asked.link.interfaceIndex, destination);
}

void PacketArpResolver::Expect(const std::vector<GatewayRequest>& requests) {
    std::vector<std::uint32_t> senders;
    senders.reserve(requests.size());
    for (const GatewayRequest& request : requests) {
        senders.push_back(rtnl::ParseAddress(request.gateway));
    }
    OpenSocket();
    UpdateFilter(senders);
}

void PacketArpResolver::OpenSocket() {
    if (socket_) {
        return;
    }
    socket_ = std::make_unique<arp::PacketSocket>(0, arp::DropAllFilter());
    // More room than the default for a burst of answers; CAP_NET_ADMIN may exceed the system's
    // limit, and without it the default stays.
    const int bytes = receive_buffer_bytes;
    if (::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void PacketArpResolver::Forget(std::uint32_t interfaceIndex, const std::string& gateway) {
    std::erase_if(asked_, [&](const Asked& a) {
        return a.link.interfaceIndex == static_cast<int>(interfaceIndex) && a.text == gateway;
    });
}

void PacketArpResolver::UpdateFilter(std::vector<std::uint32_t> senders) {
    for (const Asked& asked : asked_) {
        if (std::find(senders.begin(), senders.end(), asked.gateway) == senders.end()) {
            senders.push_back(asked.gateway);
        }
    }
    const bool covered = std::all_of(senders.begin(), senders.end(), [&](std::uint32_t s) {
        return std::find(filtered_.begin(), filtered_.end(), s) != filtered_.end();
    });
    if (covered && !filtered_.empty()) {
        return;
    }
    // Replaced, not drained: what the old filter let in may be another gateway's answer.
    arp::AttachFilter(socket_->Fd(), arp::AnswerFilter(senders));
    filtered_ = std::move(senders);
}

std::vector<ArpEvent> PacketArpResolver::Collect(bool& lost) {
    lost = false;
    std::vector<ArpEvent> events;
    if (!socket_) {
        return events;
    }
    if (asked_.empty() && !filtered_.empty()) {
        // Nothing asked: the socket takes nothing in while the protection is idle. Not at the
        // last Forget: a pass forgets everything, then asks the same gateways again.
        socket_->SetFilter(arp::DropAllFilter());
        filtered_.clear();
        return events;
    }
    for (const arp::Received& received : socket_->ReceiveAllQueued(collect_limit)) {
        for (const Asked& asked : asked_) {
            if (const auto mac = arp::AcceptAnswer(received, asked.link, asked.gateway)) {
                events.push_back(ArpEvent{static_cast<std::uint32_t>(asked.link.interfaceIndex),
                                          asked.text, HardwareAddress(mac->begin(), mac->end()),
                                          0});
                break;
            }
        }
    }
    lost = socket_->DroppedSinceLastCall();
    return events;
}

bool PacketArpResolver::Wait(std::chrono::milliseconds timeout) {
    if (!socket_) {
        return false;
    }
    pollfd waiting{socket_->Fd(), POLLIN, 0};
    return PollUntilReady({&waiting, 1}, timeout);
}

std::intptr_t PacketArpResolver::NativeHandle() const { return socket_ ? socket_->Fd() : -1; }

} // namespace Core_SocketARP
