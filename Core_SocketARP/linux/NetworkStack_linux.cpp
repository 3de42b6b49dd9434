#include "Core_SocketARP/linux/NetworkStack_linux.h"

#include "Core_SocketARP/linux/RouteChanges_linux.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Core_SocketARP {
namespace rtnl {
namespace {

std::uint32_t ReadU32(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), std::min(data.size(), sizeof value));
    return value;
}

// The next hops of a RTA_MULTIPATH attribute.
void AppendMultipathHops(std::span<const std::uint8_t> area, std::vector<NextHop>& hops) {
    while (area.size() >= sizeof(rtnexthop)) {
        rtnexthop hop{};
        std::memcpy(&hop, area.data(), sizeof hop);
        if (hop.rtnh_len < sizeof hop || hop.rtnh_len > area.size()) {
            return;
        }
        std::uint32_t gateway = 0;
        netlink::ForEachAttribute(area.subspan(RTNH_LENGTH(0), hop.rtnh_len - RTNH_LENGTH(0)),
                                  [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                      if (type == RTA_GATEWAY && data.size() == 4) {
                                          gateway = ReadU32(data);
                                      }
                                  });
        if (gateway != 0) {
            hops.push_back(NextHop{static_cast<std::uint32_t>(hop.rtnh_ifindex), gateway});
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
                                  }
                              });
    return link;
}

bool TakesArp(const LinkRecord& link) {
    return link.type == ARPHRD_ETHER && (link.flags & IFF_LOOPBACK) == 0 &&
           (link.flags & IFF_NOARP) == 0;
}

std::vector<NextHop> DefaultNextHops(const std::vector<netlink::Message>& routes) {
    std::vector<NextHop> hops;
    for (const netlink::Message& message : routes) {
        rtmsg header{};
        if (message.type != RTM_NEWROUTE || !message.ReadHeader(header) ||
            header.rtm_family != AF_INET || header.rtm_dst_len != 0 ||
            header.rtm_type != RTN_UNICAST) {
            continue;
        }
        std::uint32_t table = header.rtm_table; // RTA_TABLE, when present, holds all 32 bits
        std::uint32_t outputIndex = 0;
        std::uint32_t gateway = 0;
        std::vector<NextHop> multipath;
        bool hasMultipath = false;
        netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                                  [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                      if (type == RTA_TABLE && data.size() == 4) {
                                          table = ReadU32(data);
                                      } else if (type == RTA_OIF && data.size() == 4) {
                                          outputIndex = ReadU32(data);
                                      } else if (type == RTA_GATEWAY && data.size() == 4) {
                                          gateway = ReadU32(data);
                                      } else if (type == RTA_MULTIPATH) {
                                          hasMultipath = true;
                                          AppendMultipathHops(data, multipath);
                                      }
                                  });
        if (table != RT_TABLE_MAIN) {
            continue;
        }
        if (hasMultipath) {
            hops.insert(hops.end(), multipath.begin(), multipath.end());
        } else if (gateway != 0) {
            hops.push_back(NextHop{outputIndex, gateway});
        }
    }
    return hops;
}

std::string FirstGateway(const std::vector<NextHop>& hops, std::uint32_t linkIndex) {
    const auto hop = std::find_if(hops.begin(), hops.end(), [linkIndex](const NextHop& h) {
        return h.outputIndex == linkIndex;
    });
    if (hop == hops.end()) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &hop->gateway, text, sizeof text);
    return text;
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

std::optional<NeighbourRecord> DecodeNeighbour(const netlink::Message& message) {
    ndmsg header{};
    if (message.type != RTM_NEWNEIGH || !message.ReadHeader(header) ||
        header.ndm_family != AF_INET) {
        return std::nullopt;
    }
    NeighbourRecord record;
    record.index = static_cast<std::uint32_t>(header.ndm_ifindex);
    record.state = header.ndm_state;
    netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == NDA_DST) {
                                      record.destination.assign(data.begin(), data.end());
                                  }
                              });
    return record;
}

} // namespace rtnl

namespace {

[[noreturn]] void ThrowCode(int code) { throw SystemErrorCode{static_cast<std::uint32_t>(code)}; }

std::uint32_t ParseAddress(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        ThrowCode(EINVAL);
    }
    return address.s_addr;
}

// The links that take ARP, in index order.
std::vector<rtnl::LinkRecord> ArpLinks(netlink::Socket& socket) {
    netlink::Request request(RTM_GETLINK, 0);
    ifinfomsg header{};
    header.ifi_family = AF_UNSPEC;
    request.AddFamilyHeader(header);
    request.AddAttribute(IFLA_EXT_MASK, std::uint32_t{RTEXT_FILTER_SKIP_STATS});
    std::vector<rtnl::LinkRecord> links;
    for (const netlink::Message& message : socket.Dump(request)) {
        if (auto link = rtnl::DecodeLink(message); link && rtnl::TakesArp(*link)) {
            links.push_back(std::move(*link));
        }
    }
    std::sort(links.begin(), links.end(), [](const rtnl::LinkRecord& a, const rtnl::LinkRecord& b) {
        return a.index < b.index;
    });
    return links;
}

rtnl::LinkRecord LinkOf(netlink::Socket& socket, std::uint32_t index) {
    netlink::Request request(RTM_GETLINK, 0);
    ifinfomsg header{};
    header.ifi_family = AF_UNSPEC;
    header.ifi_index = static_cast<int>(index);
    request.AddFamilyHeader(header);
    request.AddAttribute(IFLA_EXT_MASK, std::uint32_t{RTEXT_FILTER_SKIP_STATS});
    for (const netlink::Message& message : socket.Transact(request)) {
        if (auto link = rtnl::DecodeLink(message); link && link->index == index) {
            return *link;
        }
    }
    ThrowCode(ENODEV);
}

// The link by which the kernel would reach the address.
std::uint32_t OutputLinkTo(netlink::Socket& socket, std::uint32_t address) {
    netlink::Request request(RTM_GETROUTE, 0);
    rtmsg header{};
    header.rtm_family = AF_INET;
    header.rtm_dst_len = 32;
    request.AddFamilyHeader(header);
    request.AddAttribute(RTA_DST, address);
    for (const netlink::Message& message : socket.Transact(request)) {
        rtmsg route{};
        if (message.type != RTM_NEWROUTE || !message.ReadHeader(route)) {
            continue;
        }
        std::uint32_t outputIndex = 0;
        netlink::ForEachAttribute(netlink::AttributeArea(message, sizeof route),
                                  [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                      if (type == RTA_OIF && data.size() == 4) {
                                          std::memcpy(&outputIndex, data.data(), 4);
                                      }
                                  });
        if (outputIndex != 0) {
            return outputIndex;
        }
    }
    ThrowCode(ENETUNREACH);
}

std::vector<rtnl::AddressRecord> AddressesOf(netlink::Socket& socket, std::uint32_t index) {
    netlink::Request request(RTM_GETADDR, 0);
    ifaddrmsg header{};
    header.ifa_family = AF_INET;
    header.ifa_index = index;
    request.AddFamilyHeader(header);
    std::vector<rtnl::AddressRecord> addresses;
    for (const netlink::Message& message : socket.Dump(request)) {
        if (auto address = rtnl::DecodeAddress(message); address && address->index == index) {
            addresses.push_back(*address);
        }
    }
    return addresses;
}

void WriteNeighbour(const ArpEntry& entry, std::uint16_t flags) {
    const std::uint32_t destination = ParseAddress(entry.address);
    netlink::Request request(RTM_NEWNEIGH, flags);
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = static_cast<int>(entry.interfaceIndex);
    header.ndm_state = NUD_PERMANENT;
    request.AddFamilyHeader(header);
    request.AddAttribute(NDA_DST, destination);
    request.AddAttribute(NDA_LLADDR, entry.hardwareAddress.data(), entry.hardwareAddress.size());
    netlink::Socket socket;
    socket.Transact(request);
}

} // namespace

RtnetlinkNetworkStack::RtnetlinkNetworkStack() = default;

RtnetlinkNetworkStack::~RtnetlinkNetworkStack() = default;

std::vector<std::uint32_t> RtnetlinkNetworkStack::ListInterfaces() {
    netlink::Socket socket;
    const std::vector<rtnl::LinkRecord> links = ArpLinks(socket);
    std::vector<std::uint32_t> interfaces;
    interfaces.reserve(links.size());
    for (const rtnl::LinkRecord& link : links) {
        interfaces.push_back(link.index);
    }
    return interfaces;
}

std::vector<AdapterInfo> RtnetlinkNetworkStack::ListAdapters() {
    netlink::Socket socket;
    const std::vector<rtnl::LinkRecord> links = ArpLinks(socket);
    netlink::Request request(RTM_GETROUTE, 0);
    rtmsg header{};
    header.rtm_family = AF_INET;
    request.AddFamilyHeader(header);
    const std::vector<rtnl::NextHop> hops = rtnl::DefaultNextHops(socket.Dump(request));
    std::vector<AdapterInfo> adapters;
    adapters.reserve(links.size());
    for (const rtnl::LinkRecord& link : links) {
        adapters.push_back(AdapterInfo{link.index, rtnl::FirstGateway(hops, link.index)});
    }
    return adapters;
}

void RtnetlinkNetworkStack::FlushArpTable(std::uint32_t interfaceIndex) {
    netlink::Socket socket;
    netlink::Request dump(RTM_GETNEIGH, 0);
    ndmsg header{};
    header.ndm_family = AF_INET;
    dump.AddFamilyHeader(header);
    // Under strict checking the kernel filters by this attribute; the index is checked below
    // for kernels that do not.
    dump.AddAttribute(NDA_IFINDEX, interfaceIndex);
    for (const netlink::Message& message : socket.Dump(dump)) {
        const auto neighbour = rtnl::DecodeNeighbour(message);
        if (!neighbour || neighbour->index != interfaceIndex ||
            neighbour->destination.size() != 4) {
            continue;
        }
        netlink::Request remove(RTM_DELNEIGH, 0);
        ndmsg target{};
        target.ndm_family = AF_INET;
        target.ndm_ifindex = static_cast<int>(interfaceIndex);
        remove.AddFamilyHeader(target);
        remove.AddAttribute(NDA_DST, neighbour->destination.data(), 4);
        try {
            socket.Transact(remove);
        } catch (SystemErrorCode code) {
            if (code != ENOENT) { // gone since the dump: what the flush wants anyway
                throw;
            }
        }
    }
}

void RtnetlinkNetworkStack::SendArpRequest(const std::string& address,
                                           HardwareAddressBuffer& hardwareAddress,
                                           std::uint32_t& length) {
    const std::uint32_t target = ParseAddress(address);
    netlink::Socket socket;
    const std::uint32_t linkIndex = OutputLinkTo(socket, target);
    const rtnl::LinkRecord link = LinkOf(socket, linkIndex);
    if (!rtnl::TakesArp(link) || link.address.size() != arp::MacAddress{}.size()) {
        ThrowCode(ENETUNREACH);
    }
    const auto source = rtnl::SourceAddressFor(AddressesOf(socket, linkIndex), linkIndex, target);
    if (!source) {
        ThrowCode(EADDRNOTAVAIL);
    }
    arp::LinkEndpoint endpoint;
    endpoint.interfaceIndex = static_cast<int>(linkIndex);
    std::copy(link.address.begin(), link.address.end(), endpoint.mac.begin());
    endpoint.ip = *source;
    const std::lock_guard lock(arp_mutex_);
    if (!arp_socket_) {
        arp_socket_ = std::make_unique<arp::PacketSocket>(0, arp::DropAllFilter());
    }
    struct DropBetweenRequests {
        arp::PacketSocket& socket;
        ~DropBetweenRequests() {
            try {
                socket.SetFilter(arp::DropAllFilter());
            } catch (SystemErrorCode) { // the next request sets its own filter anyway
            }
        }
    } idle{*arp_socket_};
    const arp::MacAddress mac =
        arp::Resolve(*arp_socket_, endpoint, target, arp_tries, arp_interval);
    std::copy(mac.begin(), mac.end(), hardwareAddress.begin());
    length = static_cast<std::uint32_t>(mac.size());
}

bool RtnetlinkNetworkStack::CreateArpEntry(const ArpEntry& entry) {
    try {
        WriteNeighbour(entry, NLM_F_CREATE | NLM_F_EXCL);
        return true;
    } catch (SystemErrorCode) {
        return false;
    }
}

void RtnetlinkNetworkStack::SetArpEntry(const ArpEntry& entry) {
    WriteNeighbour(entry, NLM_F_CREATE | NLM_F_REPLACE);
}

std::unique_ptr<StopEvent> RtnetlinkNetworkStack::CreateStopEvent() {
    return CreateEventFdStopEvent();
}

std::unique_ptr<RouteChangeSubscription> RtnetlinkNetworkStack::SubscribeRouteChanges() {
    return std::make_unique<NetlinkRouteChanges>();
}

NetworkStack& SystemNetworkStack() {
    static RtnetlinkNetworkStack stack;
    return stack;
}

} // namespace Core_SocketARP
