#include "Core_SocketARP/linux/Rtnetlink_linux.h"

#include "Core_SocketARP/linux/SystemError_linux.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>

namespace Core_SocketARP {
namespace rtnl {
namespace {

std::uint32_t ReadU32(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), std::min(data.size(), sizeof value));
    return value;
}

constexpr const char* other_family_problem = "a next hop through a gateway of another family";
constexpr const char* unknown_form_problem = "a route form this program does not know";

void AddGateway(DefaultRoute& route, std::uint32_t gateway) {
    if (std::find(route.gateways.begin(), route.gateways.end(), gateway) == route.gateways.end()) {
        route.gateways.push_back(gateway);
    }
}

void AddProblem(DefaultRoute& route, const std::string& problem) {
    if (route.problem.empty()) {
        route.problem = problem;
    }
}

// The next hops by the link of a RTA_MULTIPATH attribute.
void AddMultipathHops(std::span<const std::uint8_t> area, std::uint32_t linkIndex,
                      DefaultRoute& route) {
    while (area.size() >= sizeof(rtnexthop)) {
        rtnexthop hop{};
        std::memcpy(&hop, area.data(), sizeof hop);
        if (hop.rtnh_len < sizeof hop || hop.rtnh_len > area.size()) {
            AddProblem(route, "a malformed list of next hops");
            return;
        }
        std::uint32_t gateway = 0;
        bool via = false;
        netlink::ForEachAttribute(area.subspan(RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0)),
                                  [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                      if (type == RTA_GATEWAY && data.size() == 4) {
                                          gateway = ReadU32(data);
                                      } else if (type == RTA_VIA) {
                                          via = true;
                                      }
                                  });
        if (static_cast<std::uint32_t>(hop.rtnh_ifindex) == linkIndex) {
            if (gateway != 0) {
                AddGateway(route, gateway);
            } else if (via) {
                AddProblem(route, other_family_problem);
            }
        }
        area = area.subspan(std::min<std::size_t>(RTNH_ALIGN(hop.rtnh_len), area.size()));
    }
}

} // namespace

std::optional<LinkRecord> DecodeLink(const netlink::Message& message) {
    ifinfomsg header{};
    if (message.type != RTM_NEWLINK || !message.ReadHeader(header)) {
        return std::nullopt;
    }
    LinkRecord link;
    link.index = static_cast<std::uint32_t>(header.ifi_index);
    link.type = header.ifi_type;
    link.flags = header.ifi_flags;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == IFLA_ADDRESS) {
                                      link.address.assign(data.begin(), data.end());
                                  } else if (type == IFLA_IFNAME) {
                                      const auto end = std::find(data.begin(), data.end(), 0);
                                      link.name.assign(data.begin(), end);
                                  }
                              });
    return link;
}

bool TakesArp(const LinkRecord& link) {
    return link.type == ARPHRD_ETHER && (link.flags & IFF_LOOPBACK) == 0 &&
           (link.flags & IFF_NOARP) == 0;
}

netlink::Request LinkRequest(std::uint32_t linkIndex) {
    netlink::Request request(RTM_GETLINK, 0);
    ifinfomsg header{};
    header.ifi_family = AF_UNSPEC;
    header.ifi_index = static_cast<int>(linkIndex);
    request.AddFamilyHeader(header);
    request.AddAttribute(IFLA_EXT_MASK, std::uint32_t{RTEXT_FILTER_SKIP_STATS});
    return request;
}

netlink::Request GatewayLookup(std::uint32_t linkIndex, std::uint32_t source,
                               std::uint32_t destination) {
    netlink::Request request(RTM_GETROUTE, 0);
    rtmsg header{};
    header.rtm_family = AF_INET;
    header.rtm_dst_len = 32;
    header.rtm_flags = RTM_F_FIB_MATCH;
    if (source != 0) {
        header.rtm_src_len = 32;
    }
    request.AddFamilyHeader(header);
    request.AddAttribute(RTA_DST, destination);
    request.AddAttribute(RTA_OIF, linkIndex);
    if (source != 0) {
        request.AddAttribute(RTA_SRC, source);
    }
    return request;
}

std::optional<DefaultRoute> DefaultRouteOf(const netlink::Message& answer,
                                           std::uint32_t linkIndex) {
    rtmsg header{};
    if (answer.type != RTM_NEWROUTE || !answer.ReadHeader(header) || header.rtm_family != AF_INET ||
        header.rtm_dst_len != 0 || header.rtm_type != RTN_UNICAST) {
        return std::nullopt;
    }
    DefaultRoute route;
    std::optional<std::uint32_t> outputIndex;
    std::uint32_t gateway = 0;
    bool via = false;
    bool multipath = false;
    netlink::ForEachAttribute(netlink::AttributeArea(answer, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == RTA_OIF && data.size() == 4) {
                                      outputIndex = ReadU32(data);
                                  } else if (type == RTA_GATEWAY && data.size() == 4) {
                                      gateway = ReadU32(data);
                                  } else if (type == RTA_VIA) {
                                      via = true;
                                  } else if (type == RTA_MULTIPATH) {
                                      multipath = true;
                                      AddMultipathHops(data, linkIndex, route);
                                  } else if (type == RTA_NH_ID && data.size() == 4) {
                                      route.nexthopId = ReadU32(data);
                                  }
                              });
    // With the compatibility mode on, the kernel writes a nexthop object's hops as well: those
    // are used, and the object is not asked for.
    if (multipath) {
        route.nexthopId = 0;
    } else if (outputIndex) {
        route.nexthopId = 0;
        if (*outputIndex == linkIndex) {
            if (gateway != 0) {
                AddGateway(route, gateway);
            } else if (via) {
                AddProblem(route, other_family_problem);
            }
        }
    } else if (route.nexthopId == 0) {
        AddProblem(route, unknown_form_problem);
    }
    return route;
}

netlink::Request NexthopRequest(std::uint32_t id) {
    netlink::Request request(RTM_GETNEXTHOP, 0);
    nhmsg header{};
    header.nh_family = AF_UNSPEC;
    request.AddFamilyHeader(header);
    request.AddAttribute(NHA_ID, id);
    return request;
}

std::optional<NexthopRecord> DecodeNexthop(const netlink::Message& message) {
    nhmsg header{};
    if ((message.type != RTM_NEWNEXTHOP && message.type != RTM_DELNEXTHOP) ||
        !message.ReadHeader(header)) {
        return std::nullopt;
    }
    NexthopRecord record;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == NHA_ID && data.size() == 4) {
                                      record.id = ReadU32(data);
                                  } else if (type == NHA_OIF && data.size() == 4) {
                                      record.outputIndex = ReadU32(data);
                                  } else if (type == NHA_GATEWAY) {
                                      if (header.nh_family == AF_INET && data.size() == 4) {
                                          record.gateway = ReadU32(data);
                                      } else {
                                          record.otherFamilyGateway = true;
                                      }
                                  } else if (type == NHA_GROUP) {
                                      for (std::size_t at = 0;
                                           at + sizeof(nexthop_grp) <= data.size();
                                           at += sizeof(nexthop_grp)) {
                                          record.members.push_back(ReadU32(data.subspan(at)));
                                      }
                                  }
                              });
    return record;
}

DefaultRoute NexthopRoute(std::uint32_t id, const std::map<std::uint32_t, NexthopRecord>& known,
                          std::uint32_t linkIndex) {
    DefaultRoute route;
    const auto object = known.find(id);
    if (object == known.end()) {
        AddProblem(route, "nexthop " + std::to_string(id) + " could not be read");
        return route;
    }
    const std::vector<std::uint32_t> hops =
        object->second.members.empty() ? std::vector<std::uint32_t>{id} : object->second.members;
    for (const std::uint32_t hopId : hops) {
        const auto hop = known.find(hopId);
        if (hop == known.end()) {
            AddProblem(route, "nexthop " + std::to_string(hopId) + " could not be read");
            continue;
        }
        if (!hop->second.members.empty()) {
            AddProblem(route, unknown_form_problem); // a group inside a group
            continue;
        }
        if (hop->second.outputIndex != linkIndex) {
            continue;
        }
        if (hop->second.gateway != 0) {
            AddGateway(route, hop->second.gateway);
        } else if (hop->second.otherFamilyGateway) {
            AddProblem(route, other_family_problem);
        }
    }
    return route;
}

std::optional<AddressRecord> DecodeAddress(const netlink::Message& message) {
    ifaddrmsg header{};
    if (message.type != RTM_NEWADDR || !message.ReadHeader(header) ||
        header.ifa_family != AF_INET) {
        return std::nullopt;
    }
    AddressRecord record;
    record.index = header.ifa_index;
    record.prefixLength = header.ifa_prefixlen;
    record.flags = header.ifa_flags;
    bool hasLocal = false;
    std::uint32_t address = 0;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == IFA_LOCAL && data.size() == 4) {
                                      record.local = ReadU32(data);
                                      hasLocal = true;
                                  } else if (type == IFA_ADDRESS && data.size() == 4) {
                                      address = ReadU32(data);
                                  } else if (type == IFA_FLAGS && data.size() == 4) {
                                      record.flags = ReadU32(data);
                                  }
                              });
    if (!hasLocal) {
        record.local = address;
    }
    return record;
}

std::optional<std::uint32_t> SourceAddressFor(const std::vector<AddressRecord>& addresses,
                                              std::uint32_t linkIndex, std::uint32_t peer) {
    std::optional<std::uint32_t> first;
    for (const AddressRecord& record : addresses) {
        if (record.index != linkIndex || (record.flags & IFA_F_SECONDARY) != 0 ||
            record.local == 0) {
            continue;
        }
        // A prefix longer than 32 bits names no subnet; the mask is only made for one that does.
        if (record.prefixLength <= 32) {
            const std::uint32_t mask = record.prefixLength == 0
                                           ? 0
                                           : htonl(~std::uint32_t{0} << (32 - record.prefixLength));
            if ((record.local & mask) == (peer & mask)) {
                return record.local;
            }
        }
        if (!first) {
            first = record.local;
        }
    }
    return first;
}

netlink::Request NeighbourRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                                  std::uint32_t destination, std::uint16_t state) {
    netlink::Request request(type, flags);
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = static_cast<int>(linkIndex);
    header.ndm_state = state;
    request.AddFamilyHeader(header);
    request.AddAttribute(NDA_DST, destination);
    return request;
}

netlink::Request NeighbourRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                                  const Ipv6Bytes& destination, std::uint16_t state) {
    netlink::Request request(type, flags);
    ndmsg header{};
    header.ndm_family = AF_INET6;
    header.ndm_ifindex = static_cast<int>(linkIndex);
    header.ndm_state = state;
    request.AddFamilyHeader(header);
    request.AddAttribute(NDA_DST, destination);
    return request;
}

std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message) {
    ndmsg header{};
    if ((message.type != RTM_NEWNEIGH && message.type != RTM_DELNEIGH) ||
        !message.ReadHeader(header) ||
        (header.ndm_family != AF_INET && header.ndm_family != AF_INET6)) {
        return std::nullopt;
    }
    NeighbourRecord record;
    record.family = header.ndm_family;
    record.index = static_cast<std::uint32_t>(header.ndm_ifindex);
    record.state = header.ndm_state;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == NDA_DST) {
                                      record.destination.assign(data.begin(), data.end());
                                  } else if (type == NDA_LLADDR) {
                                      record.hardwareAddress.assign(data.begin(), data.end());
                                  }
                              });
    return record;
}

std::string NeighbourText(const NeighbourRecord& neighbour) {
    const auto& bytes = neighbour.destination;
    if (neighbour.family == AF_INET && bytes.size() == 4) {
        return AddressText(ReadU32(bytes));
    }
    if (neighbour.family == AF_INET6 && bytes.size() == 16) {
        Ipv6Bytes address{};
        std::copy(bytes.begin(), bytes.end(), address.begin());
        return Ipv6Text(address);
    }
    return {};
}

namespace {

// A gateway of the route's family: 4 or 16 bytes.
bool GatewayOfFamily(std::uint8_t family, std::span<const std::uint8_t> data) {
    return (family == AF_INET && data.size() == 4) || (family == AF_INET6 && data.size() == 16);
}

void AppendHops(std::uint8_t family, std::span<const std::uint8_t> area,
                std::vector<RouteHop>& hops) {
    while (area.size() >= sizeof(rtnexthop)) {
        rtnexthop next{};
        std::memcpy(&next, area.data(), sizeof next);
        if (next.rtnh_len < sizeof next || next.rtnh_len > area.size()) {
            return;
        }
        RouteHop hop;
        hop.outputIndex = static_cast<std::uint32_t>(next.rtnh_ifindex);
        netlink::ForEachAttribute(area.subspan(RTNH_LENGTH(0), next.rtnh_len - RTNH_LENGTH(0)),
                                  [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                      if (type == RTA_GATEWAY && GatewayOfFamily(family, data)) {
                                          hop.gateway.assign(data.begin(), data.end());
                                      }
                                  });
        hops.push_back(std::move(hop));
        area = area.subspan(std::min<std::size_t>(RTNH_ALIGN(next.rtnh_len), area.size()));
    }
}

} // namespace

std::optional<RouteRecord> DecodeRoute(const netlink::Message& message) {
    rtmsg header{};
    if (message.type != RTM_NEWROUTE || !message.ReadHeader(header)) {
        return std::nullopt;
    }
    RouteRecord route;
    route.family = header.rtm_family;
    route.destinationLength = header.rtm_dst_len;
    route.type = header.rtm_type;
    route.protocol = header.rtm_protocol;
    route.table = header.rtm_table;
    RouteHop single;
    bool multipath = false;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == RTA_OIF && data.size() == 4) {
                                      single.outputIndex = ReadU32(data);
                                  } else if (type == RTA_GATEWAY &&
                                             GatewayOfFamily(route.family, data)) {
                                      single.gateway.assign(data.begin(), data.end());
                                  } else if (type == RTA_MULTIPATH) {
                                      multipath = true;
                                      AppendHops(route.family, data, route.hops);
                                  } else if (type == RTA_TABLE && data.size() == 4) {
                                      route.table = ReadU32(data);
                                  } else if (type == RTA_NH_ID && data.size() == 4) {
                                      route.nexthopId = ReadU32(data);
                                  }
                              });
    if (!multipath && single.outputIndex != 0) {
        route.hops.push_back(std::move(single));
    }
    return route;
}

std::vector<std::vector<std::uint8_t>> GatewaysVia(const std::vector<RouteHop>& hops,
                                                   std::uint32_t linkIndex) {
    std::vector<std::vector<std::uint8_t>> gateways;
    for (const RouteHop& hop : hops) {
        if (hop.outputIndex == linkIndex && !hop.gateway.empty() &&
            std::find(gateways.begin(), gateways.end(), hop.gateway) == gateways.end()) {
            gateways.push_back(hop.gateway);
        }
    }
    return gateways;
}

netlink::Request RouterLookup(std::uint32_t linkIndex, const Ipv6Bytes& destination) {
    netlink::Request request(RTM_GETROUTE, 0);
    rtmsg header{};
    header.rtm_family = AF_INET6;
    header.rtm_dst_len = 128;
    header.rtm_flags = RTM_F_FIB_MATCH;
    request.AddFamilyHeader(header);
    request.AddAttribute(RTA_DST, destination);
    request.AddAttribute(RTA_OIF, linkIndex);
    return request;
}

netlink::Request RouteDump(std::uint8_t family, std::uint32_t table, std::uint32_t linkIndex,
                           std::uint8_t protocol) {
    netlink::Request request(RTM_GETROUTE, 0);
    rtmsg header{};
    header.rtm_family = family;
    header.rtm_protocol = protocol;
    request.AddFamilyHeader(header);
    request.AddAttribute(RTA_TABLE, table);
    request.AddAttribute(RTA_OIF, linkIndex);
    return request;
}

netlink::Request NextHopRequest(std::uint32_t id) {
    netlink::Request request(RTM_GETNEXTHOP, 0);
    nhmsg header{};
    request.AddFamilyHeader(header);
    request.AddAttribute(NHA_ID, id);
    return request;
}

std::optional<NextHopRecord> DecodeNextHop(const netlink::Message& message) {
    nhmsg header{};
    if (message.type != RTM_NEWNEXTHOP || !message.ReadHeader(header)) {
        return std::nullopt;
    }
    NextHopRecord record;
    netlink::ForEachAttribute(
        netlink::AttributeArea(message, sizeof header),
        [&](std::uint16_t type, std::span<const std::uint8_t> data) {
            if (type == NHA_ID && data.size() == 4) {
                record.id = ReadU32(data);
            } else if (type == NHA_OIF && data.size() == 4) {
                record.hop.outputIndex = ReadU32(data);
            } else if (type == NHA_GATEWAY && GatewayOfFamily(header.nh_family, data)) {
                record.hop.gateway.assign(data.begin(), data.end());
            } else if (type == NHA_GROUP) {
                for (std::size_t at = 0; at + sizeof(nexthop_grp) <= data.size();
                     at += sizeof(nexthop_grp)) {
                    record.group.push_back(ReadU32(data.subspan(at, 4)));
                }
            }
        });
    return record;
}

std::optional<Ipv6AddressRecord> DecodeIpv6Address(const netlink::Message& message) {
    ifaddrmsg header{};
    if (message.type != RTM_NEWADDR || !message.ReadHeader(header) ||
        header.ifa_family != AF_INET6) {
        return std::nullopt;
    }
    Ipv6AddressRecord record;
    record.index = header.ifa_index;
    record.prefixLength = header.ifa_prefixlen;
    record.flags = header.ifa_flags;
    // IFA_LOCAL where the address has a peer (IFA_ADDRESS is then the peer's), else IFA_ADDRESS.
    std::optional<Ipv6Bytes> local;
    std::optional<Ipv6Bytes> address;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  Ipv6Bytes bytes{};
                                  if (data.size() == bytes.size()) {
                                      std::copy(data.begin(), data.end(), bytes.begin());
                                  }
                                  if (type == IFA_LOCAL && data.size() == bytes.size()) {
                                      local = bytes;
                                  } else if (type == IFA_ADDRESS && data.size() == bytes.size()) {
                                      address = bytes;
                                  } else if (type == IFA_FLAGS && data.size() == 4) {
                                      record.flags = ReadU32(data);
                                  }
                              });
    if (!local && !address) {
        return std::nullopt;
    }
    record.local = local ? *local : *address;
    return record;
}

std::optional<Ipv6Bytes> LinkLocalFor(const std::vector<Ipv6AddressRecord>& addresses,
                                      std::uint32_t linkIndex) {
    std::optional<Ipv6Bytes> deprecated;
    for (const Ipv6AddressRecord& record : addresses) {
        if (record.index != linkIndex || !IsLinkLocal(record.local) ||
            (record.flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) != 0) {
            continue;
        }
        if ((record.flags & IFA_F_DEPRECATED) == 0) {
            return record.local;
        }
        if (!deprecated) {
            deprecated = record.local;
        }
    }
    return deprecated;
}

std::uint32_t ParseAddress(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        ThrowCode(EINVAL);
    }
    return address.s_addr;
}

std::string AddressText(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

} // namespace rtnl
} // namespace Core_SocketARP
