// The IPv6 side of the links for a pass: each link's own link-local address and its default
// routers, asked of the kernel over rtnetlink (Linux only).
#pragma once

#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Core_SocketARP {

struct Ipv6Side {
    std::string linkLocal;            // Ipv6Text; empty: none usable
    std::vector<std::string> routers; // Ipv6Text, the one the kernel uses now first
};

// For each link, in the same order. A link's routers are the next hops by the link of the
// default route the kernel would take for off-link traffic leaving by it (the lookup follows
// `ip rule`; the route's own next hops, multipath or a nexthop object's), and, where that route
// came from a router advertisement, every other advertised default route of the same table by
// the link: the kernel moves between advertised routers by itself, so each of them is pinned.
// A link without IPv6 addresses is not asked. One address dump, one batch of lookups, and a
// dump of advertised routes for each link that has them.
std::vector<Ipv6Side> Ipv6SidesOf(netlink::Socket& socket, const std::vector<std::uint32_t>& links);

// The link's link-local address to send from now (rtnl::LinkLocalFor), for requests made after
// the pass.
std::optional<Ipv6Bytes> CurrentLinkLocal(netlink::Socket& socket, std::uint32_t link);

} // namespace Core_SocketARP
