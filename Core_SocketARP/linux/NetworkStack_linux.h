// The network stack over rtnetlink and AF_PACKET. The decoders are pure, for tests with
// canned kernel messages.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <chrono>
#include <cstdint>
#include <map>
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
    std::string name;
};

std::optional<LinkRecord> DecodeLink(const netlink::Message& message);

// Ethernet links that do ARP: not loopback, not IFF_NOARP.
bool TakesArp(const LinkRecord& link);

// The question for a link's gateway: the route the kernel would take to an off-link
// destination with the link as output interface and its own address as source (so that
// `ip rule` selectors on either apply), answered with the routing entry that matched.
netlink::Request GatewayLookup(std::uint32_t linkIndex, std::uint32_t source,
                               std::uint32_t destination);

// The gateway (network byte order) of a lookup's answer when the matched entry is a default
// route leaving by the link; 0 when it is a default route without a gateway by the link;
// nothing when the entry is not a default route.
std::optional<std::uint32_t> DefaultGatewayOf(const netlink::Message& answer,
                                              std::uint32_t linkIndex);

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
    std::vector<std::uint8_t> hardwareAddress;
};

// Of a neighbour message, new or deleted.

std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message);

} // namespace rtnl

// The links that take ARP are both the interface list and the adapter list, in index order,
// from one link dump. A link's gateway is the one its off-link traffic would take, whatever
// table `ip rule` selects. An ARP request that nobody answers fails with EHOSTUNREACH.
class RtnetlinkNetworkStack : public NetworkStack {
public:
    RtnetlinkNetworkStack();
    ~RtnetlinkNetworkStack() override;

    static constexpr int arp_tries = 3;
    static constexpr std::chrono::milliseconds arp_interval{1000};

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<AdapterInfo> ListAdapters() override;
    NetworkSnapshot Snapshot() override;
    // Right after a snapshot, the first flush removes the entries the snapshot listed for every
    // link in one batch; each flush then reports its own link's failure. Callers flush every
    // link of the snapshot, as the passes do.
    void FlushArpTable(std::uint32_t interfaceIndex) override;
    std::unique_ptr<ArpResolver> CreateResolver() override;
    bool CreateArpEntry(const ArpEntry& entry) override;
    void SetArpEntry(const ArpEntry& entry) override;
    void DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) override;
    std::optional<HardwareAddress> ReadStaticEntry(std::uint32_t interfaceIndex,
                                                   const std::string& address) override;
    std::unique_ptr<StopEvent> CreateStopEvent() override;
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override;

private:
    // One socket for every request, made at the first and kept: making one costs more than
    // most requests. The passes and the monitor never use the stack at once; the lock is for
    // the callers that might.
    netlink::Socket& Netlink();
    // The IPv4 neighbour entries of one link (0: of every link), by link.
    static std::map<std::uint32_t, std::vector<std::uint32_t>> Neighbours(netlink::Socket& socket,
                                                                          std::uint32_t linkIndex);

    std::mutex netlink_mutex_;
    std::unique_ptr<netlink::Socket> netlink_;
    // The entries the last snapshot listed, by link, until the link is flushed; what the batch
    // that removed them all found, by link, until every link of the plan has been flushed.
    std::map<std::uint32_t, std::vector<std::uint32_t>> flush_plan_;
    std::optional<std::map<std::uint32_t, SystemErrorCode>> flush_errors_;
};

// The ARP requests of the passes on one packet socket for every link, made at the first
// request and kept: closing a packet socket waits for an RCU grace period (some 10 ms). Each
// answer is checked against the request of its own link (arp::AcceptAnswer).
class PacketArpResolver final : public ArpResolver {
public:
    PacketArpResolver();
    ~PacketArpResolver() override;

    ResolverPace Pace() const override;
    void Expect(const std::vector<GatewayRequest>& requests) override;
    void Ask(const GatewayRequest& request) override;
    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override;
    std::vector<ArpEvent> Collect(bool& lost) override;
    bool Wait(std::chrono::milliseconds timeout) override;
    std::intptr_t NativeHandle() const override;

    // The socket's receive buffer: room for a burst of answers while the monitor is busy.
    static constexpr int receive_buffer_bytes = 1 << 20;
    // Frames read by one Collect at most, so that a flood cannot hold the monitor there.
    static constexpr int collect_limit = 4096;

private:
    struct Asked {
        arp::LinkEndpoint link;
        std::uint32_t gateway = 0;
        std::string text;
    };

    void OpenSocket();
    // The filter passes the answers of every gateway asked, and of `senders`.
    void UpdateFilter(std::vector<std::uint32_t> senders);

    std::unique_ptr<arp::PacketSocket> socket_;
    std::unique_ptr<netlink::Socket> netlink_;
    std::vector<Asked> asked_;
    std::vector<std::uint32_t> filtered_; // the senders the socket's filter passes
};

} // namespace Core_SocketARP
