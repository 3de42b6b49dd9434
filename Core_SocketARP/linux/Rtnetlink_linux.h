// The rtnetlink messages of the network stack: the requests it sends for links, gateways and
// neighbours, and the decoders of the kernel's answers and notifications. Pure, for tests with
// canned kernel messages.
#pragma once

#include "Core_SocketARP/linux/Netlink_linux.h"

#include <cstdint>
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
