// ARP over Ethernet and IPv4 on an AF_PACKET datagram socket: packets, the socket filters and
// the request/reply exchange. Shared by the network stack and the lab's attacker tool.
#pragma once

#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/PacketFrames_linux.h"

#include <linux/filter.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Core_SocketARP::arp {

using MacAddress = std::array<std::uint8_t, 6>;

inline constexpr std::uint16_t operation_request = 1;
inline constexpr std::uint16_t operation_reply = 2;
inline constexpr std::size_t packet_size = 28;
inline constexpr MacAddress broadcast_mac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// IPv4 addresses in network byte order, as they travel.
struct Packet {
    std::uint16_t operation = 0;
    MacAddress senderMac{};
    std::uint32_t senderIp = 0;
    MacAddress targetMac{};
    std::uint32_t targetIp = 0;
};

std::array<std::uint8_t, packet_size> Encode(const Packet& packet);

// Nothing unless the bytes hold an ARP packet for Ethernet (6-byte hardware addresses) and
// IPv4 (4-byte protocol addresses).
std::optional<Packet> Decode(std::span<const std::uint8_t> bytes);

// Socket filters over the ARP header (a datagram socket sees no Ethernet header). The answer
// filter passes only untagged Ethernet/IPv4 ARP replies delivered to this host whose sender
// is one of `senders` (with too many senders to list, any sender): the cheap first cut of a
// flood; AcceptAnswer is the check that counts. The request filter passes requests that ask
// for `targetIp`.
std::vector<sock_filter> AnswerFilter(const std::vector<std::uint32_t>& senders);
std::vector<sock_filter> ReplyFilter(std::uint32_t senderIp);
std::vector<sock_filter> RequestFilter(std::uint32_t targetIp);
std::vector<sock_filter> DropAllFilter();

// A pinned address on a link, for the claim filter.
struct PinnedClaim {
    int interfaceIndex = 0;
    std::uint32_t ip = 0; // network byte order
    MacAddress mac{};
};

// The claim filter passes the Ethernet/IPv4 ARP frames (requests and replies, gratuitous ones
// among them) that arrive untagged on the link of a pin, whose sender is the pin's address and
// whose sender MAC is not the pin's: frames that claim a pinned address for another MAC. Frames
// the host sends, and frames for other hosts, never pass. No pins: nothing passes. At most
// claim_filter_limit pins are listed; those beyond are not watched.
std::vector<sock_filter> ClaimFilter(const std::vector<PinnedClaim>& pins);
inline constexpr std::size_t claim_filter_limit = 256;

using packet::AttachFilter;

// A frame as the socket delivered it: its ARP packet and what the kernel tells of the frame.
struct Received {
    Packet packet;
    int interfaceIndex = 0;
    std::uint8_t packetType = 0; // PACKET_HOST, PACKET_BROADCAST, ...
    MacAddress ethernetSource{};
    bool vlanTagged = false;
};

// An ARP datagram socket on one link, or on every link of the namespace for index 0. The
// filter is attached before the socket is bound to the ARP protocol, so nothing unfiltered is
// ever queued. Closing one costs the kernel an RCU grace period (some 10 ms), so a user that
// makes many exchanges keeps its socket and changes the filter. Failures throw errno codes.
class PacketSocket {
public:
    PacketSocket(int interfaceIndex, const std::vector<sock_filter>& filter);

    // Replaces the filter, then drops what the old one let in.
    void SetFilter(const std::vector<sock_filter>& filter);

    void Send(const Packet& packet, int interfaceIndex, const MacAddress& destination);

    // The next packet that arrives by the deadline (not one the host sent).
    std::optional<Received> Receive(std::chrono::steady_clock::time_point deadline);

    // The packets already queued, up to `limit` frames read, in as few calls as it takes.
    std::vector<Received> ReceiveAllQueued(std::size_t limit);

    // Whether the kernel dropped frames for lack of room since the last call.
    bool DroppedSinceLastCall();
    // How many frames the kernel dropped for lack of room since the last call (of this or of
    // DroppedSinceLastCall: both read the counters, which resets them).
    std::uint64_t DropsSinceLastCall();

    int Fd() const { return frames_.Fd(); }

private:
    packet::FrameSocket frames_;
};

// The local end of an ARP exchange.
struct LinkEndpoint {
    int interfaceIndex = 0;
    MacAddress mac{};
    std::uint32_t ip = 0;
};

// The request that asks the gateway on the link: broadcast, sent from the link's own hardware
// address and its own IPv4 address (0 for an ARP probe).
Packet Request(const LinkEndpoint& link, std::uint32_t gatewayIp);

// The gateway's hardware address when the frame is an acceptable answer to the request of
// `link` for `gatewayIp`: an ARP reply for Ethernet and IPv4, sent by the gateway's address to
// the link's own IPv4 and hardware addresses, delivered to this host (not broadcast, not for
// another host) untagged on that very link, whose Ethernet source is its ARP sender, a unicast
// address that is not all zero. Nothing for everything else.
std::optional<MacAddress> AcceptAnswer(const Received& received, const LinkEndpoint& link,
                                       std::uint32_t gatewayIp);

} // namespace Core_SocketARP::arp
