#include "Core_SocketARP/linux/Ipv6Routers_linux.h"

#include "Core_SocketARP/linux/Rtnetlink_linux.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>

namespace Core_SocketARP {
namespace {

std::vector<rtnl::Ipv6AddressRecord> Ipv6Addresses(netlink::Socket& socket, std::uint32_t link) {
    netlink::Request request(RTM_GETADDR, 0);
    ifaddrmsg header{};
    header.ifa_family = AF_INET6;
    // Under strict checking the kernel filters by the index; it is checked below as well.
    header.ifa_index = link;
    request.AddFamilyHeader(header);
    std::vector<rtnl::Ipv6AddressRecord> addresses;
    for (const netlink::Message& message : socket.Dump(request)) {
        if (auto address = rtnl::DecodeIpv6Address(message);
            address && (link == 0 || address->index == link)) {
            addresses.push_back(*address);
        }
    }
    return addresses;
}

// Off-link destinations to ask the way to (documentation prefixes): a second one in case the
// first has a route of its own.
constexpr std::array<Ipv6Bytes, 2> off_link_destinations_v6 = {
    Ipv6Bytes{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
    Ipv6Bytes{0x3f, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};

// What a lookup found for one link: the default route's gateways, or the nexthop object whose
// they are, and whether more advertised routers are to be looked for.
struct Found {
    std::vector<std::vector<std::uint8_t>> gateways;
    std::uint32_t nexthopId = 0;
    bool advertised = false;
    std::uint32_t table = 0;
};

// The gateways by the link of nexthop objects, a group's members asked in a second batch.
std::vector<std::vector<std::uint8_t>> NextHopGateways(netlink::Socket& socket, std::uint32_t id,
                                                       std::uint32_t link) {
    std::vector<netlink::Request> requests;
    requests.push_back(rtnl::NextHopRequest(id));
    std::vector<rtnl::RouteHop> hops;
    for (int level = 0; level < 2 && !requests.empty(); ++level) {
        std::vector<netlink::Request> members;
        for (const netlink::GetAnswer& answer : socket.GetEach(requests)) {
            const auto object = answer.message ? rtnl::DecodeNextHop(*answer.message)
                                               : std::optional<rtnl::NextHopRecord>{};
            if (!object) {
                continue;
            }
            hops.push_back(object->hop);
            // A group holds objects of its own, never groups.
            for (const std::uint32_t member : object->group) {
                members.push_back(rtnl::NextHopRequest(member));
            }
        }
        requests = std::move(members);
    }
    return rtnl::GatewaysVia(hops, link);
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
    Ipv6Bytes address{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), address.size()), address.begin());
    return Ipv6Text(address);
}

} // namespace

std::optional<Ipv6Bytes> CurrentLinkLocal(netlink::Socket& socket, std::uint32_t link) {
    return rtnl::LinkLocalFor(Ipv6Addresses(socket, link), link);
}

std::vector<Ipv6Side> Ipv6SidesOf(netlink::Socket& socket,
                                  const std::vector<std::uint32_t>& links) {
    std::vector<Ipv6Side> sides(links.size());
    const std::vector<rtnl::Ipv6AddressRecord> addresses = Ipv6Addresses(socket, 0);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (const auto own = rtnl::LinkLocalFor(addresses, links[i])) {
            sides[i].linkLocal = Ipv6Text(*own);
        }
        const bool hasIpv6 =
            std::any_of(addresses.begin(), addresses.end(),
                        [&](const rtnl::Ipv6AddressRecord& a) { return a.index == links[i]; });
        if (hasIpv6) {
            open.push_back(i);
        }
    }
    std::map<std::size_t, Found> found;
    for (const Ipv6Bytes& destination : off_link_destinations_v6) {
        if (open.empty()) {
            break;
        }
        std::vector<netlink::Request> requests;
        requests.reserve(open.size());
        for (const std::size_t i : open) {
            requests.push_back(rtnl::RouterLookup(links[i], destination));
        }
        const std::vector<netlink::GetAnswer> answers = socket.GetEach(requests);
        std::vector<std::size_t> unanswered;
        for (std::size_t k = 0; k < open.size(); ++k) {
            const std::size_t i = open[k];
            const auto route = answers[k].message ? rtnl::DecodeRoute(*answers[k].message)
                                                  : std::optional<rtnl::RouteRecord>{};
            if (!route || route->family != AF_INET6) {
                continue; // refused: no default route by the link
            }
            if (route->destinationLength != 0) {
                unanswered.push_back(i); // a more specific route matched: another destination
                continue;
            }
            if (route->type != RTN_UNICAST) {
                continue;
            }
            Found& result = found[i];
            result.gateways = rtnl::GatewaysVia(route->hops, links[i]);
            result.nexthopId = route->hops.empty() ? route->nexthopId : 0;
            result.advertised = route->protocol == RTPROT_RA;
            result.table = route->table;
        }
        open = std::move(unanswered);
    }
    for (auto& [i, result] : found) {
        if (result.nexthopId != 0) {
            result.gateways = NextHopGateways(socket, result.nexthopId, links[i]);
        }
        std::vector<netlink::Message> advertised;
        if (result.advertised) {
            netlink::Request dump = rtnl::RouteDump(AF_INET6, result.table, links[i], RTPROT_RA);
            try {
                advertised = socket.Dump(dump);
            } catch (SystemErrorCode) { // the table went since the lookup: its route is all
            }
        }
        for (const netlink::Message& message : advertised) {
            const auto route = rtnl::DecodeRoute(message);
            if (!route || route->destinationLength != 0 || route->type != RTN_UNICAST ||
                route->protocol != RTPROT_RA) {
                continue;
            }
            for (auto& gateway : rtnl::GatewaysVia(route->hops, links[i])) {
                if (std::find(result.gateways.begin(), result.gateways.end(), gateway) ==
                    result.gateways.end()) {
                    result.gateways.push_back(std::move(gateway));
                }
            }
        }
        for (const auto& gateway : result.gateways) {
            sides[i].routers.push_back(Text(gateway));
        }
    }
    return sides;
}

} // namespace Core_SocketARP
