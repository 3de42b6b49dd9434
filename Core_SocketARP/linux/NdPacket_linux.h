// IPv6 Neighbor Discovery over Ethernet on an AF_PACKET datagram socket: the solicitation and
// advertisement packets, the socket filters and the strict check of an answer. Shared by the
// network stack and the lab's tools.
#pragma once

#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/PacketFrames_linux.h"

#include <linux/filter.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace Core_SocketARP::nd {

using MacAddress = std::array<std::uint8_t, 6>;

inline constexpr std::uint8_t type_solicitation = 135;
inline constexpr std::uint8_t type_advertisement = 136;
// Neighbor Discovery never leaves its link: a packet that arrives with less was forwarded.
inline constexpr std::uint8_t hop_limit = 255;
// An advertisement's flags (the first byte after its checksum).
inline constexpr std::uint8_t flag_router = 0x80;
inline constexpr std::uint8_t flag_solicited = 0x40;
inline constexpr std::uint8_t flag_override = 0x20;
inline constexpr std::size_t header_size = 40;  // the IPv6 header
inline constexpr std::size_t message_size = 24; // ICMPv6 header, flags and target

// A Neighbor Solicitation or Advertisement in its IPv6 packet, without extension headers.
struct Message {
    std::uint8_t hopLimit = hop_limit;
    Ipv6Bytes source{};
    Ipv6Bytes destination{};
    std::uint8_t type = 0;
    std::uint8_t code = 0;
    std::uint8_t flags = 0;
    Ipv6Bytes target{};
    // The Ethernet link-layer address options, each as often as it came.
    std::vector<MacAddress> sourceLinkAddresses;
    std::vector<MacAddress> targetLinkAddresses;

    bool operator==(const Message&) const = default;
};

// The packet, its ICMPv6 checksum computed.
std::vector<std::uint8_t> Encode(const Message& message);

// Nothing unless the bytes (what follows the Ethernet header; bytes after the payload length are
// the frame's padding) hold an IPv6 packet whose next header is ICMPv6, a solicitation or an
// advertisement of its full size with a correct checksum, whose options are well formed (none of
// length 0, none running past the packet, a link-layer address option of 8 bytes).
std::optional<Message> Decode(std::span<const std::uint8_t> bytes);

// ff02::1:ffXX:XXXX, where a solicitation for the address goes, and the Ethernet group address
// of an IPv6 multicast address (33:33 and its last 32 bits).
Ipv6Bytes SolicitedNode(const Ipv6Bytes& address);
MacAddress MulticastMac(const Ipv6Bytes& group);

// The local end of an exchange: the link, its hardware address and its link-local address.
struct LinkEndpoint {
    int interfaceIndex = 0;
    MacAddress mac{};
    Ipv6Bytes address{};
};

// The solicitation that asks for `target` on the link, from the link's own link-local and
// hardware addresses (in a source link-layer address option): to the target's solicited-node
// group, or to the target itself (`unicast`: one host asked directly).
Message Solicitation(const LinkEndpoint& link, const Ipv6Bytes& target, bool unicast);

// A packet as the socket delivered it and what the kernel tells of its frame.
struct Received {
    Message message;
    int interfaceIndex = 0;
    std::uint8_t packetType = 0; // PACKET_HOST, PACKET_MULTICAST, ...
    MacAddress ethernetSource{};
    bool vlanTagged = false;
};

struct Advertised {
    MacAddress mac{};
    bool router = false; // the Router flag
};

// The router's hardware address when the packet is an acceptable answer to the solicitation of
// `link` for `router`: a Neighbor Advertisement (code 0) with hop limit 255, from the router's
// address to the link's own link-local address, for the router's address as its target, with
// the Solicited flag, carrying one target link-layer address option that is the frame's Ethernet
// source, a unicast address that is not all zero; delivered to this host (PACKET_HOST)
// untagged on that very link. Nothing for everything else. The Router flag is told, not
// required: a router that says it routes no more is reported by the caller.
std::optional<Advertised> AcceptAdvertisement(const Received& received, const LinkEndpoint& link,
                                              const Ipv6Bytes& router);

// Socket filters over the IPv6 header (a datagram socket sees no Ethernet header). The
// advertisement filter passes untagged ICMPv6 Neighbor Advertisements of hop limit 255 and code
// 0 delivered to this host: the cheap first cut of a flood; AcceptAdvertisement is the check
// that counts. The solicitation filter passes solicitations whose target is `target`.
std::vector<sock_filter> AdvertisementFilter();
std::vector<sock_filter> SolicitationFilter(const Ipv6Bytes& target);

// A pinned router on a link, for the claim filter.
struct PinnedClaim {
    int interfaceIndex = 0;
    Ipv6Bytes address{};
    MacAddress mac{};
};

// The claim filter passes the Neighbor Advertisements (ICMPv6 directly after the IPv6 header,
// code 0, hop limit 255: what the neighbour table would take) that arrive untagged on the link
// of a pin, not sent by the host nor for another host, whose target is the pin's address and
// whose MAC is not the pin's: that of a target link-layer address option in first place, or the
// Ethernet source when the advertisement carries no option. One with other options first passes
// undecided: ClaimedMac decides. No pins: nothing passes. At most claim_filter_limit pins are
// listed; those beyond are not watched.
std::vector<sock_filter> ClaimFilter(const std::vector<PinnedClaim>& pins);
inline constexpr std::size_t claim_filter_limit = 256;

// The MAC a received packet claims for the pin's address when it is not the pin's: the first
// target link-layer address option of such an advertisement (as the neighbour table takes the
// first), else its Ethernet source. Nothing for everything else.
std::optional<MacAddress> ClaimedMac(const Received& received, const PinnedClaim& pin);

// An IPv6 datagram socket on one link, or on every link of the namespace for index 0. As the
// ARP socket: the filter is attached before the socket is bound to the protocol, and closing
// one costs an RCU grace period, so a user keeps it. Failures throw errno codes.
class NdSocket {
public:
    NdSocket(int interfaceIndex, const std::vector<sock_filter>& filter);

    // Replaces the filter, then drops what the old one let in.
    void SetFilter(const std::vector<sock_filter>& filter);

    void Send(std::span<const std::uint8_t> packet, int interfaceIndex,
              const MacAddress& destination);

    // The next solicitation or advertisement that arrives by the deadline (not one the host
    // sent).
    std::optional<Received> Receive(std::chrono::steady_clock::time_point deadline);

    // Those already queued, up to `limit` packets read.
    std::vector<Received> ReceiveAllQueued(std::size_t limit);

    // Whether the kernel dropped packets for lack of room since the last call.
    bool DroppedSinceLastCall();
    // How many packets the kernel dropped for lack of room since the last call (of this or of
    // DroppedSinceLastCall: both read the counters, which resets them).
    std::uint64_t DropsSinceLastCall();

    int Fd() const { return frames_.Fd(); }

private:
    packet::FrameSocket frames_;
};

} // namespace Core_SocketARP::nd
