// The rtnetlink messages of the network stack: the requests it sends for links, gateways and
// neighbours, and the decoders of the kernel's answers and notifications. Pure, for tests with
// canned kernel messages.
#pragma once

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

struct NeighbourRecord {
    std::uint32_t index = 0;
    std::uint16_t state = 0; // NUD_*
    std::vector<std::uint8_t> destination;
    std::vector<std::uint8_t> hardwareAddress;
};

// Of a neighbour message, new or deleted.
std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message);

// An IPv4 address as the requests carry it (network byte order), from its dotted-decimal text;
// throws EINVAL for a text that is none.
std::uint32_t ParseAddress(const std::string& text);

// The dotted-decimal text of an IPv4 address (network byte order).
std::string AddressText(std::uint32_t address);

} // namespace rtnl
} // namespace Core_SocketARP
