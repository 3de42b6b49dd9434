// The network stack over rtnetlink, with the ARP requests of its resolver on an AF_PACKET
// socket.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

// The links that take ARP are both the interface list and the adapter list, in index order,
// from one link dump. A link's gateways are every next hop by the link that its off-link
// traffic may take, from the link's own address or from none, whatever table `ip rule` selects
// (multipath routes and nexthop objects and groups included). The resolver is a
// PacketArpResolver.
class RtnetlinkNetworkStack : public NetworkStack {
public:
    RtnetlinkNetworkStack();
    ~RtnetlinkNetworkStack() override;

    std::vector<std::uint32_t> ListInterfaces() override;
    std::vector<AdapterInfo> ListAdapters() override;
    NetworkSnapshot Snapshot() override;
    // One neighbour dump for the links, then every entry of theirs removed in one batch.
    std::vector<std::optional<SystemErrorCode>>
    FlushArpTables(const std::vector<std::uint32_t>& interfaces) override;
    std::unique_ptr<ArpResolver> CreateResolver() override;
    bool CreateArpEntry(const ArpEntry& entry) override;
    void SetArpEntry(const ArpEntry& entry) override;
    void DeleteArpEntry(std::uint32_t interfaceIndex, const std::string& address) override;
    std::optional<HardwareAddress> ReadStaticEntry(std::uint32_t interfaceIndex,
                                                   const std::string& address) override;
    // The entries' questions in one batch.
    std::vector<std::optional<HardwareAddress>>
    ReadStaticEntries(const std::vector<std::pair<std::uint32_t, std::string>>& entries) override;
    std::unique_ptr<StopEvent> CreateStopEvent() override;
    std::unique_ptr<RouteChangeSubscription> SubscribeRouteChanges() override;
    // A PacketClaimWatch.
    std::unique_ptr<ClaimWatch> CreateClaimWatch() override;

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
};

} // namespace Core_SocketARP
