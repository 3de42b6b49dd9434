// The link-layer side shared by the ARP and the Neighbor Discovery sockets: a datagram packet
// socket of one Ethernet protocol whose frames are read in batches with what the kernel tells
// of each (its link, its kind, its Ethernet source, whether it carried a VLAN tag).
#pragma once

#include "Core_Common/linux/ScopedFd_linux.h"

#include <linux/filter.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace Core_SocketARP::packet {

// What the kernel tells of one received frame besides its payload.
struct FrameInfo {
    int interfaceIndex = 0;
    std::uint8_t packetType = 0; // PACKET_HOST, PACKET_BROADCAST, ...
    std::array<std::uint8_t, 6> ethernetSource{};
    bool vlanTagged = false;
};

// A frame's payload (cut at `frame_bytes`) and what the kernel told of it.
using FrameVisit = std::function<void(std::span<const std::uint8_t>, const FrameInfo&)>;

// Puts the classic BPF program on the socket, in place of any earlier one. Throws errno.
void AttachFilter(int fd, const std::vector<sock_filter>& program);

// A SOCK_DGRAM packet socket of one Ethernet protocol on one link, or on every link of the
// namespace for index 0. The filter is attached before the socket is bound to the protocol, so
// nothing unfiltered is ever queued. Failures throw errno codes.
class FrameSocket {
public:
    // Room for one frame: more than an ARP packet or a Neighbor Discovery message with a few
    // options needs; a longer one arrives cut short and fails its decoder's length check.
    static constexpr std::size_t frame_bytes = 256;

    FrameSocket(int interfaceIndex, std::uint16_t protocol, const std::vector<sock_filter>& filter);

    // Replaces the filter, then drops what the old one let in.
    void SetFilter(const std::vector<sock_filter>& filter);

    void Send(std::span<const std::uint8_t> payload, int interfaceIndex,
              const std::array<std::uint8_t, 6>& destination);

    // Reads up to `limit` queued frames in as few calls as it takes, never waiting, and hands
    // each one that the host did not send itself to `visit`. Returns the number of frames read:
    // 0 when nothing was queued.
    std::size_t ReadQueued(std::size_t limit, const FrameVisit& visit);

    // Hands frames to `take` one at a time as they arrive until it returns true (then true) or
    // the deadline passes (false). Frames already queued are read without a poll in between: under
    // a flood of frames that `take` refuses, a poll per frame slows the reading so that the queue
    // overflows.
    bool
    ReceiveUntil(std::chrono::steady_clock::time_point deadline,
                 const std::function<bool(std::span<const std::uint8_t>, const FrameInfo&)>& take);

    // How many frames the kernel dropped for lack of room since the last call: reading the
    // counters resets them. 0 when they cannot be read.
    std::uint64_t DropsSinceLastCall();

    int Fd() const { return fd_.get(); }

private:
    Core_Common::ScopedFd fd_;
    std::uint16_t protocol_;
};

} // namespace Core_SocketARP::packet
