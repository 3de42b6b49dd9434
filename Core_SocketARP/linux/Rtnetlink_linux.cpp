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

std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message) {
    ndmsg header{};
    if ((message.type != RTM_NEWNEIGH && message.type != RTM_DELNEIGH) ||
        !message.ReadHeader(header) || header.ndm_family != AF_INET) {
        return std::nullopt;
    }
    NeighbourRecord record;
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
