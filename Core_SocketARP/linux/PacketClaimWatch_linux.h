// The claim watch on two AF_PACKET sockets for every link, one for ARP and one for IPv6, whose
// filters (rebuilt when the pins change) let in only frames that claim a pinned address for
// another MAC: ARP frames for the IPv4 pins, Neighbor Advertisements for the IPv6 routers'.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/NdPacket_linux.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Core_SocketARP {

// Two sockets, each bound to its protocol, behind one epoll descriptor rather than one socket of
// every protocol: the kernel then runs each filter on its own protocol's frames only (not on
// every frame the host receives or sends), and each side keeps the socket and decoder its
// resolver already uses.
class PacketClaimWatch final : public ClaimWatch {
public:
    PacketClaimWatch();
    ~PacketClaimWatch() override;

    // Makes the sockets at the first call. A pin whose address is neither dotted decimal nor
    // IPv6 text, or whose MAC is not 6 bytes, is not watched.
    void Watch(const std::vector<WatchedPin>& pins) override;
    std::vector<ForgedClaim> Collect(std::size_t limit, std::uint64_t& dropped) override;
    // The epoll descriptor, readable while either socket has frames queued.
    std::intptr_t NativeHandle() const override;

    // Each socket's receive buffer: room for a few dozen frames between two reads, so that a
    // flood costs the kernel its filter and a drop, and the program a read now and then.
    static constexpr int receive_buffer_bytes = 16 * 1024;

private:
    void Open(const std::vector<arp::PinnedClaim>& arpClaims,
              const std::vector<nd::PinnedClaim>& ndClaims);
    void Count(std::vector<ForgedClaim>& found, const WatchedPin& pin, const HardwareAddress& mac);

    ScopedFd epoll_;
    std::unique_ptr<arp::PacketSocket> arp_;
    std::unique_ptr<nd::NdSocket> nd_;
    std::vector<WatchedPin> arpPins_; // the IPv4 pins watched, in the order of arpClaims_
    std::vector<arp::PinnedClaim> arpClaims_;
    std::vector<WatchedPin> ndPins_; // the IPv6 pins watched, in the order of ndClaims_
    std::vector<nd::PinnedClaim> ndClaims_;
};

} // namespace Core_SocketARP
