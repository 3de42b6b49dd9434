// The network stack over rtnetlink and AF_PACKET. The decoders are pure, for tests with
// canned kernel messages.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

namespace rtnl {

struct LinkRecord {
    std::uint32_t index = 0;
    std::uint16_t type = 0;  // ARPHRD_*
    std::uint32_t flags = 0; // IFF_*
    std::vector<std::uint8_t> address;
};

std::optional<LinkRecord> DecodeLink(const netlink::Message& message);

// Ethernet links that do ARP: not loopback, not IFF_NOARP.
bool TakesArp(const LinkRecord& link);

// One way out of a default route.
struct NextHop {
    std::uint32_t outputIndex = 0;
    std::uint32_t gateway = 0; // network byte order
};

// The next hops with a gateway of the IPv4 default routes of the main table, in dump order;
// the hops of a multipath route in their own order.
std::vector<NextHop> DefaultNextHops(const std::vector<netlink::Message>& routes);

// Dotted-decimal text of the first hop's gateway that leaves by the link; empty if none does.
std::string FirstGateway(const std::vector<NextHop>& hops, std::uint32_t linkIndex);

struct AddressRecord {
    std::uint32_t index = 0;
    std::uint8_t prefixLength = 0;
    std::uint32_t flags = 0; // IFA_F_*
    std::uint32_t local = 0; // network byte order
};

std::optional<AddressRecord> DecodeAddress(const netlink::Message& message);

// The link's primary IPv4 address to speak to `peer` with: the first primary address whose
// subnet holds the peer, else the first primary address.
std::optional<std::uint32_t> SourceAddressFor(const std::vector<AddressRecord>& addresses,
                                              std::uint32_t linkIndex, std::uint32_t peer);

struct NeighbourRecord {
    std::uint32_t index = 0;
    std::uint16_t state = 0; // NUD_*
    std::vector<std::uint8_t> destination;
};

std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message);

} // namespace rtnl

// The links that take ARP are both the interface list and the adapter list, in index order.
// An ARP request that nobody answers fails with EHOSTUNREACH.
class RtnetlinkNetworkStack final : public NetworkStack {
public:
    RtnetlinkNetworkStack();
    ~RtnetlinkNetworkStack() override;

    static constexpr int arp_tries = 3;
    static constexpr std::chrono::milliseconds arp_interval{1000};

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<AdapterInfo> ListAdapters() override;
    void FlushArpTable(std::uint32_t interfaceIndex) override;
    void SendArpRequest(const std::string& address, HardwareAddressBuffer& hardwareAddress,
                        std::uint32_t& length) override;
    bool CreateArpEntry(const ArpEntry& entry) override;
    void SetArpEntry(const ArpEntry& entry) override;
    std::unique_ptr<StopEvent> CreateStopEvent() override;
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override;

private:
    // One socket on every link, made at the first request and kept: closing a packet socket
    // waits for an RCU grace period, which would cost each request some 10 ms. The arrival
    // link of a reply is checked in user space.
    std::mutex arp_mutex_;
    std::unique_ptr<arp::PacketSocket> arp_socket_;
};

} // namespace Core_SocketARP
