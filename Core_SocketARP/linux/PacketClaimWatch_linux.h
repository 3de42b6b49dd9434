// The claim watch on one AF_PACKET socket for every link, whose filter (rebuilt when the pins
// change) lets in only frames that claim a pinned address for another MAC.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Core_SocketARP {

class PacketClaimWatch final : public ClaimWatch {
public:
    PacketClaimWatch();
    ~PacketClaimWatch() override;

    // Makes the socket at the first call. A pin whose address is not dotted decimal, or whose
    // MAC is not 6 bytes, is not watched.
    void Watch(const std::vector<WatchedPin>& pins) override;
    std::vector<ForgedClaim> Collect(std::size_t limit, std::uint64_t& dropped) override;
    std::intptr_t NativeHandle() const override;

    // The socket's receive buffer: room for a few dozen frames between two reads, so that a
    // flood costs the kernel its filter and a drop, and the program a read now and then.
    static constexpr int receive_buffer_bytes = 16 * 1024;

private:
    std::unique_ptr<arp::PacketSocket> socket_;
    std::vector<WatchedPin> pins_;
    std::vector<arp::PinnedClaim> claims_; // the same, as the filter has them
};

} // namespace Core_SocketARP
