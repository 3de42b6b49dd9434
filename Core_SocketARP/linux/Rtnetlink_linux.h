// The rtnetlink messages of the network stack: the requests it sends for links, gateways and
// neighbours, and the decoders of the kernel's answers and notifications. Pure, for tests with
// canned kernel messages.
#pragma once

#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <cstdint>
#include <map>
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

// The question for one link's record, without statistics (0: every link's, as a dump).
netlink::Request LinkRequest(std::uint32_t linkIndex);

// The question for a link's gateway: the route the kernel would take to an off-link
// destination with the link as output interface and, unless it is 0, the given source (so that
// `ip rule` selectors on either apply), answered with the routing entry that matched.
netlink::Request GatewayLookup(std::uint32_t linkIndex, std::uint32_t source,
                               std::uint32_t destination);

// What a matched default route says of the link's gateways.
struct DefaultRoute {
    // Its IPv4 gateways leaving by the link (network byte order), in the route's order.
    std::vector<std::uint32_t> gateways;
    // The nexthop object (or group) of a route that names only its id, as the kernel writes
    // routes with its nexthop compatibility mode off; 0: none.
    std::uint32_t nexthopId = 0;
    // What could not be made out of a next hop by the link (a gateway of another family, a form
    // this program does not know); empty: nothing.
    std::string problem;
};

// The default route of a lookup's answer, every next hop by the link; nothing when the matched
// entry is not a default route.
std::optional<DefaultRoute> DefaultRouteOf(const netlink::Message& answer, std::uint32_t linkIndex);

// The question for one nexthop object.
netlink::Request NexthopRequest(std::uint32_t id);

struct NexthopRecord {
    std::uint32_t id = 0;
    std::uint32_t outputIndex = 0;
    std::uint32_t gateway = 0; // IPv4, network byte order; 0: none
    bool otherFamilyGateway = false;
    std::vector<std::uint32_t> members; // the ids of a group's next hops
};

// Of a nexthop message, new or deleted.
std::optional<NexthopRecord> DecodeNexthop(const netlink::Message& message);

// The route of a nexthop object by the link: the object itself, or the members of its group
// looked up in `known` (a group's member is never a group). A member not known is a problem.
DefaultRoute NexthopRoute(std::uint32_t id, const std::map<std::uint32_t, NexthopRecord>& known,
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

// A neighbour request for the IPv4 address (network byte order) on the link.
netlink::Request NeighbourRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                                  std::uint32_t destination, std::uint16_t state = 0);
// The same for an IPv6 address (AF_INET6).
netlink::Request NeighbourRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                                  const Ipv6Bytes& destination, std::uint16_t state = 0);

struct NeighbourRecord {
    std::uint8_t family = 0; // AF_INET, AF_INET6
    std::uint32_t index = 0;
    std::uint16_t state = 0; // NUD_*
    std::vector<std::uint8_t> destination;
    std::vector<std::uint8_t> hardwareAddress;
};

// Of a neighbour message of either family, new or deleted.
std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message);

// The text of a neighbour's address as the adapter records hold it (dotted decimal, Ipv6Text);
// empty for an address of neither length.
std::string NeighbourText(const NeighbourRecord& neighbour);

// Routes of either family, decoded the same way: a route's ways out, of its own or of a nexthop
// object.

// One way out of a route: the link and the gateway (4 bytes for IPv4, 16 for IPv6; empty: the
// destination is on the link).
struct RouteHop {
    std::uint32_t outputIndex = 0;
    std::vector<std::uint8_t> gateway;
};

struct RouteRecord {
    std::uint8_t family = 0;
    std::uint8_t destinationLength = 0;
    std::uint8_t type = 0;     // RTN_*
    std::uint8_t protocol = 0; // RTPROT_*
    std::uint32_t table = 0;   // RTA_TABLE where given, else rtm_table
    // RTA_OIF with RTA_GATEWAY, or one a next hop of RTA_MULTIPATH.
    std::vector<RouteHop> hops;
    // RTA_NH_ID: the route's ways out are a nexthop object's (0: none). Kernels in their
    // compatibility mode give its hops as well.
    std::uint32_t nexthopId = 0;
};

// Of a RTM_NEWROUTE message.
std::optional<RouteRecord> DecodeRoute(const netlink::Message& message);

// The gateways of the hops that leave by the link, each once, in order.
std::vector<std::vector<std::uint8_t>> GatewaysVia(const std::vector<RouteHop>& hops,
                                                   std::uint32_t linkIndex);

// The question for a link's IPv6 default routers: the route the kernel would take to an
// off-link destination with the link as output interface, answered with the routing entry
// that matched.
netlink::Request RouterLookup(std::uint32_t linkIndex, const Ipv6Bytes& destination);

// A dump of the routes of one table that leave by the link and that one protocol installed,
// filtered by the kernel (strict checking).
netlink::Request RouteDump(std::uint8_t family, std::uint32_t table, std::uint32_t linkIndex,
                           std::uint8_t protocol);

// A nexthop object: a way out of its own, or a group of other objects.
struct NextHopRecord {
    std::uint32_t id = 0;
    RouteHop hop;
    std::vector<std::uint32_t> group;
};

netlink::Request NextHopRequest(std::uint32_t id);
std::optional<NextHopRecord> DecodeNextHop(const netlink::Message& message);

struct Ipv6AddressRecord {
    std::uint32_t index = 0;
    std::uint8_t prefixLength = 0;
    std::uint32_t flags = 0; // IFA_F_*
    Ipv6Bytes local{};
};

std::optional<Ipv6AddressRecord> DecodeIpv6Address(const netlink::Message& message);

// The link's link-local address to send from: the first that is neither tentative nor failed
// (a tentative one may not be a source yet), a deprecated one only when there is no other.
std::optional<Ipv6Bytes> LinkLocalFor(const std::vector<Ipv6AddressRecord>& addresses,
                                      std::uint32_t linkIndex);

// An IPv4 address as the requests carry it (network byte order), from its dotted-decimal text;
// throws EINVAL for a text that is none.
std::uint32_t ParseAddress(const std::string& text);

// The dotted-decimal text of an IPv4 address (network byte order).
std::string AddressText(std::uint32_t address);

} // namespace rtnl
} // namespace Core_SocketARP
