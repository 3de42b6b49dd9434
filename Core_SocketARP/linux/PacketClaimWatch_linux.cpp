#include "Core_SocketARP/linux/PacketClaimWatch_linux.h"

#include "Core_SocketARP/ArpBinding.h"

#include <sys/socket.h>

#include <algorithm>

namespace Core_SocketARP {

PacketClaimWatch::PacketClaimWatch() = default;

PacketClaimWatch::~PacketClaimWatch() = default;

void PacketClaimWatch::Watch(const std::vector<WatchedPin>& pins) {
    std::vector<arp::PinnedClaim> claims;
    std::vector<WatchedPin> watched;
    for (const WatchedPin& pin : pins) {
        arp::PinnedClaim claim;
        const auto ip = ParseDottedQuad(pin.address);
        if (!ip || pin.mac.size() != claim.mac.size() || claims.size() == arp::claim_filter_limit) {
            continue;
        }
        claim.ip = *ip;
        claim.interfaceIndex = static_cast<int>(pin.interfaceIndex);
        std::copy(pin.mac.begin(), pin.mac.end(), claim.mac.begin());
        claims.push_back(claim);
        watched.push_back(pin);
    }
    if (!socket_) {
        socket_ = std::make_unique<arp::PacketSocket>(0, arp::ClaimFilter(claims));
        // Smaller than the default: what does not fit is counted by the kernel, not read.
        const int bytes = receive_buffer_bytes;
        ::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    } else {
        // Replaced, not drained: what the old filter let in is judged against the new pins.
        arp::AttachFilter(socket_->Fd(), arp::ClaimFilter(claims));
    }
    pins_ = std::move(watched);
    claims_ = std::move(claims);
}

std::vector<ForgedClaim> PacketClaimWatch::Collect(std::size_t limit, std::uint64_t& dropped) {
    dropped = 0;
    std::vector<ForgedClaim> found;
    if (!socket_) {
        return found;
    }
    for (const arp::Received& received : socket_->ReceiveAllQueued(limit)) {
        const arp::Packet& packet = received.packet;
        for (std::size_t i = 0; i < claims_.size(); ++i) {
            const arp::PinnedClaim& claim = claims_[i];
            if (claim.interfaceIndex != received.interfaceIndex || claim.ip != packet.senderIp ||
                claim.mac == packet.senderMac || received.vlanTagged) {
                continue;
            }
            const HardwareAddress mac(packet.senderMac.begin(), packet.senderMac.end());
            const auto same = std::find_if(found.begin(), found.end(), [&](const ForgedClaim& f) {
                return f.interfaceIndex == pins_[i].interfaceIndex &&
                       f.address == pins_[i].address && f.mac == mac;
            });
            if (same != found.end()) {
                ++same->frames;
            } else {
                found.push_back({pins_[i].interfaceIndex, pins_[i].address, mac, 1});
            }
            break;
        }
    }
    dropped = socket_->DropsSinceLastCall();
    return found;
}

std::intptr_t PacketClaimWatch::NativeHandle() const { return socket_ ? socket_->Fd() : -1; }

} // namespace Core_SocketARP
