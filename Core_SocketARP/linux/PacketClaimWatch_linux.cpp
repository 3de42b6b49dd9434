#include "Core_SocketARP/linux/PacketClaimWatch_linux.h"

#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>

namespace Core_SocketARP {
namespace {

void SetReceiveBuffer(int fd) {
    // Smaller than the default: what does not fit is counted by the kernel, not read.
    const int bytes = PacketClaimWatch::receive_buffer_bytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void AddTo(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        ThrowErrno();
    }
}

} // namespace

PacketClaimWatch::PacketClaimWatch() = default;

PacketClaimWatch::~PacketClaimWatch() = default;

void PacketClaimWatch::Watch(const std::vector<WatchedPin>& pins) {
    std::vector<arp::PinnedClaim> arpClaims;
    std::vector<WatchedPin> arpPins;
    std::vector<nd::PinnedClaim> ndClaims;
    std::vector<WatchedPin> ndPins;
    for (const WatchedPin& pin : pins) {
        if (pin.mac.size() != arp::MacAddress{}.size()) {
            continue;
        }
        if (const auto ip = ParseDottedQuad(pin.address)) {
            if (arpClaims.size() == arp::claim_filter_limit) {
                continue;
            }
            arp::PinnedClaim claim;
            claim.ip = *ip;
            claim.interfaceIndex = static_cast<int>(pin.interfaceIndex);
            std::copy(pin.mac.begin(), pin.mac.end(), claim.mac.begin());
            arpClaims.push_back(claim);
            arpPins.push_back(pin);
        } else if (const auto address = ParseIpv6(pin.address)) {
            if (ndClaims.size() == nd::claim_filter_limit) {
                continue;
            }
            nd::PinnedClaim claim;
            claim.address = *address;
            claim.interfaceIndex = static_cast<int>(pin.interfaceIndex);
            std::copy(pin.mac.begin(), pin.mac.end(), claim.mac.begin());
            ndClaims.push_back(claim);
            ndPins.push_back(pin);
        }
    }
    if (!epoll_) {
        Open(arpClaims, ndClaims);
    } else {
        // Replaced, not drained: what the old filters let in is judged against the new pins.
        arp::AttachFilter(arp_->Fd(), arp::ClaimFilter(arpClaims));
        arp::AttachFilter(nd_->Fd(), nd::ClaimFilter(ndClaims));
    }
    arpPins_ = std::move(arpPins);
    arpClaims_ = std::move(arpClaims);
    ndPins_ = std::move(ndPins);
    ndClaims_ = std::move(ndClaims);
}

void PacketClaimWatch::Open(const std::vector<arp::PinnedClaim>& arpClaims,
                            const std::vector<nd::PinnedClaim>& ndClaims) {
    ScopedFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        ThrowErrno();
    }
    auto arpSocket = std::make_unique<arp::PacketSocket>(0, arp::ClaimFilter(arpClaims));
    auto ndSocket = std::make_unique<nd::NdSocket>(0, nd::ClaimFilter(ndClaims));
    SetReceiveBuffer(arpSocket->Fd());
    SetReceiveBuffer(ndSocket->Fd());
    AddTo(epoll.get(), arpSocket->Fd());
    AddTo(epoll.get(), ndSocket->Fd());
    arp_ = std::move(arpSocket);
    nd_ = std::move(ndSocket);
    epoll_ = std::move(epoll);
}

void PacketClaimWatch::Count(std::vector<ForgedClaim>& found, const WatchedPin& pin,
                             const HardwareAddress& mac) {
    const auto same = std::find_if(found.begin(), found.end(), [&](const ForgedClaim& f) {
        return f.interfaceIndex == pin.interfaceIndex && f.address == pin.address && f.mac == mac;
    });
    if (same != found.end()) {
        ++same->frames;
    } else {
        found.push_back({pin.interfaceIndex, pin.address, mac, 1});
    }
}

std::vector<ForgedClaim> PacketClaimWatch::Collect(std::size_t limit, std::uint64_t& dropped) {
    dropped = 0;
    std::vector<ForgedClaim> found;
    if (!epoll_) {
        return found;
    }
    const std::vector<arp::Received> frames = arp_->ReceiveAllQueued(limit);
    for (const arp::Received& received : frames) {
        const arp::Packet& packet = received.packet;
        for (std::size_t i = 0; i < arpClaims_.size(); ++i) {
            const arp::PinnedClaim& claim = arpClaims_[i];
            if (claim.interfaceIndex != received.interfaceIndex || claim.ip != packet.senderIp ||
                claim.mac == packet.senderMac || received.vlanTagged) {
                continue;
            }
            Count(found, arpPins_[i], {packet.senderMac.begin(), packet.senderMac.end()});
            break;
        }
    }
    // The advertisements share what the ARP frames left of the limit.
    for (const nd::Received& received : nd_->ReceiveAllQueued(limit - frames.size())) {
        for (std::size_t i = 0; i < ndClaims_.size(); ++i) {
            if (const auto mac = nd::ClaimedMac(received, ndClaims_[i])) {
                Count(found, ndPins_[i], {mac->begin(), mac->end()});
                break;
            }
        }
    }
    dropped = arp_->DropsSinceLastCall() + nd_->DropsSinceLastCall();
    return found;
}

std::intptr_t PacketClaimWatch::NativeHandle() const { return epoll_ ? epoll_.get() : -1; }

} // namespace Core_SocketARP
