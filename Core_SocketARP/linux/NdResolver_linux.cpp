#include "Core_SocketARP/linux/NdResolver_linux.h"

#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Ipv6Routers_linux.h"
#include "Core_SocketARP/linux/PacketArpResolver_linux.h"
#include "Core_SocketARP/linux/PollDeadline_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace Core_SocketARP {
namespace {

Ipv6Bytes ParseOrThrow(const std::string& text) {
    const auto address = ParseIpv6(text);
    if (!address) {
        ThrowCode(EINVAL);
    }
    return *address;
}

} // namespace

PacketNdResolver::PacketNdResolver() = default;

PacketNdResolver::~PacketNdResolver() = default;

ResolverPace PacketNdResolver::Pace() const {
    static const std::chrono::milliseconds interval =
        PacketArpResolver::ArpIntervalFrom(std::getenv("TARNWICK_ARP_INTERVAL_MS"));
    return {PacketArpResolver::arp_tries, interval, EHOSTUNREACH};
}

void PacketNdResolver::Ask(const GatewayRequest& request) {
    Asked asked;
    asked.router = ParseOrThrow(request.gateway);
    asked.text = request.gateway;
    asked.link.interfaceIndex = static_cast<int>(request.interfaceIndex);
    HardwareAddress mac = request.linkAddress;
    if (!request.source.empty()) {
        asked.link.address = ParseOrThrow(request.source);
    }
    // The link's addresses as the pass found them a moment ago, or now: a retry or a repair may
    // come after they changed (a link-local address that was still tentative, a new MAC).
    if (mac.empty() || request.source.empty()) {
        if (!netlink_) {
            netlink_ = std::make_unique<netlink::Socket>();
        }
        if (request.source.empty()) {
            const auto own = CurrentLinkLocal(*netlink_, request.interfaceIndex);
            if (!own) {
                ThrowCode(EADDRNOTAVAIL); // no address the router could answer to
            }
            asked.link.address = *own;
        }
        if (mac.empty()) {
            netlink::Request query = rtnl::LinkRequest(request.interfaceIndex);
            for (const netlink::Message& message : netlink_->Transact(query)) {
                if (auto link = rtnl::DecodeLink(message);
                    link && link->index == request.interfaceIndex && rtnl::TakesArp(*link)) {
                    mac = link->address;
                }
            }
        }
    }
    if (mac.size() != asked.link.mac.size()) {
        ThrowCode(ENETUNREACH);
    }
    std::copy(mac.begin(), mac.end(), asked.link.mac.begin());
    OpenSocket();
    const auto same = [&](const Asked& a) {
        return a.link.interfaceIndex == asked.link.interfaceIndex && a.router == asked.router;
    };
    if (const auto found = std::find_if(asked_.begin(), asked_.end(), same);
        found != asked_.end()) {
        *found = asked;
    } else {
        asked_.push_back(asked);
    }
    if (!filtering_) {
        socket_->SetFilter(nd::AdvertisementFilter());
        filtering_ = true;
    }
    // A request for one router alone goes to its hardware and IPv6 addresses: only it hears the
    // question.
    const bool direct = request.destination.size() == nd::MacAddress{}.size();
    nd::MacAddress destination = nd::MulticastMac(nd::SolicitedNode(asked.router));
    if (direct) {
        std::copy(request.destination.begin(), request.destination.end(), destination.begin());
    }
    socket_->Send(nd::Encode(nd::Solicitation(asked.link, asked.router, direct)),
                  asked.link.interfaceIndex, destination);
}

void PacketNdResolver::OpenSocket() {
    if (socket_) {
        return;
    }
    socket_ = std::make_unique<nd::NdSocket>(0, arp::DropAllFilter());
    const int bytes = receive_buffer_bytes;
    if (::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void PacketNdResolver::Forget(std::uint32_t interfaceIndex, const std::string& gateway) {
    std::erase_if(asked_, [&](const Asked& a) {
        return a.link.interfaceIndex == static_cast<int>(interfaceIndex) && a.text == gateway;
    });
}

std::vector<ArpEvent> PacketNdResolver::Collect(bool& lost) {
    lost = false;
    std::vector<ArpEvent> events;
    if (!socket_) {
        return events;
    }
    if (asked_.empty() && filtering_) {
        // Nothing asked: the socket takes nothing in while the protection is idle (not at the
        // last Forget: a pass forgets everything, then asks again).
        socket_->SetFilter(arp::DropAllFilter());
        filtering_ = false;
        return events;
    }
    for (const nd::Received& received : socket_->ReceiveAllQueued(collect_limit)) {
        for (const Asked& asked : asked_) {
            if (const auto answer = nd::AcceptAdvertisement(received, asked.link, asked.router)) {
                events.push_back(ArpEvent{
                    static_cast<std::uint32_t>(asked.link.interfaceIndex), asked.text,
                    HardwareAddress(answer->mac.begin(), answer->mac.end()), 0, !answer->router});
                break;
            }
        }
    }
    lost = socket_->DroppedSinceLastCall();
    return events;
}

bool PacketNdResolver::Wait(std::chrono::milliseconds timeout) {
    if (!socket_) {
        return false;
    }
    pollfd waiting{socket_->Fd(), POLLIN, 0};
    return PollUntilReady({&waiting, 1}, timeout);
}

std::intptr_t PacketNdResolver::NativeHandle() const { return socket_ ? socket_->Fd() : -1; }

} // namespace Core_SocketARP
