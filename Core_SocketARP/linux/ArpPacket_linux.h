// ARP over Ethernet and IPv4 on an AF_PACKET datagram socket: packets, the socket filters and
// the request/reply exchange. Shared by the network stack and the lab's attacker tool.
#pragma once

#include "Core_SocketARP/linux/Netlink_linux.h"

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

// Socket filters over the ARP header (a datagram socket sees no Ethernet header): replies sent
// by `senderIp`; requests that ask for `targetIp`.
std::vector<sock_filter> ReplyFilter(std::uint32_t senderIp);
std::vector<sock_filter> RequestFilter(std::uint32_t targetIp);
std::vector<sock_filter> DropAllFilter();

void AttachFilter(int fd, const std::vector<sock_filter>& program);

struct Received {
    Packet packet;
    int interfaceIndex = 0;
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

private:
    ScopedFd fd_;
};

// The local end of an ARP exchange.
struct LinkEndpoint {
    int interfaceIndex = 0;
    MacAddress mac{};
    std::uint32_t ip = 0;
};

// Whether a packet received on `interfaceIndex` is the answer of `targetIp` to `link`.
bool IsAnswer(const Received& received, const LinkEndpoint& link, std::uint32_t targetIp);

// Asks for the hardware address of `targetIp` on the link: up to `tries` broadcast requests,
// `interval` apart. Sets the socket's filter to the target's replies. Throws EHOSTUNREACH when
// no answer comes.
MacAddress Resolve(PacketSocket& socket, const LinkEndpoint& link, std::uint32_t targetIp,
                   int tries, std::chrono::milliseconds interval);

} // namespace Core_SocketARP::arp
