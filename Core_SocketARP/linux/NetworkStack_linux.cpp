#include "Core_SocketARP/linux/NetworkStack_linux.h"

#include "Core_SocketARP/linux/RouteChanges_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>

namespace Core_SocketARP {
namespace rtnl {
namespace {

std::uint32_t ReadU32(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    std::memcpy(&value, data.data(), std::min(data.size(), sizeof value));
    return value;
}

// One way out of a route.
struct NextHop {
    std::uint32_t outputIndex = 0;
    std::uint32_t gateway = 0; // network byte order
};

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

std::optional<std::uint32_t> DefaultGatewayOf(const netlink::Message& answer,
                                              std::uint32_t linkIndex) {
    rtmsg header{};
    if (answer.type != RTM_NEWROUTE || !answer.ReadHeader(header) || header.rtm_family != AF_INET ||
        header.rtm_dst_len != 0 || header.rtm_type != RTN_UNICAST) {
        return std::nullopt;
    }
    std::uint32_t outputIndex = 0;
    std::uint32_t gateway = 0;
    std::vector<NextHop> multipath;
    bool hasMultipath = false;
    netlink::ForEachAttribute(netlink::AttributeArea(answer, sizeof header),
                              [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                                  if (type == RTA_OIF && data.size() == 4) {
                                      outputIndex = ReadU32(data);
                                  } else if (type == RTA_GATEWAY && data.size() == 4) {
                                      gateway = ReadU32(data);
                                  } else if (type == RTA_MULTIPATH) {
                                      hasMultipath = true;
                                      AppendMultipathHops(data, multipath);
                                  }
                              });
    if (hasMultipath) {
        const auto hop =
            std::find_if(multipath.begin(), multipath.end(),
                         [linkIndex](const NextHop& h) { return h.outputIndex == linkIndex; });
        return hop == multipath.end() ? 0 : hop->gateway;
    }
    return outputIndex == linkIndex ? gateway : 0;
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

} // namespace rtnl

namespace {

std::uint32_t ParseAddress(const std::string& text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        ThrowCode(EINVAL);
    }
    return address.s_addr;
}

// A neighbour request for the IPv4 address (network byte order) on the link.
netlink::Request NeighbourRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                                  std::uint32_t destination, std::uint16_t state = 0) {
    netlink::Request request(type, flags);
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = static_cast<int>(linkIndex);
    header.ndm_state = state;
    request.AddFamilyHeader(header);
    request.AddAttribute(NDA_DST, destination);
    return request;
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

std::vector<std::uint32_t> IndexesOf(const std::vector<rtnl::LinkRecord>& links) {
    std::vector<std::uint32_t> indexes;
    indexes.reserve(links.size());
    for (const rtnl::LinkRecord& link : links) {
        indexes.push_back(link.index);
    }
    return indexes;
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

// Every IPv4 address of every link.
std::vector<rtnl::AddressRecord> AllAddresses(netlink::Socket& socket) {
    netlink::Request request(RTM_GETADDR, 0);
    ifaddrmsg header{};
    header.ifa_family = AF_INET;
    request.AddFamilyHeader(header);
    std::vector<rtnl::AddressRecord> addresses;
    for (const netlink::Message& message : socket.Dump(request)) {
        if (auto address = rtnl::DecodeAddress(message)) {
            addresses.push_back(*address);
        }
    }
    return addresses;
}

// Off-link destinations to ask the way to (documentation addresses, TEST-NET-3 and -2): a
// second one in case the first has a route of its own.
constexpr std::array<std::uint8_t[4], 2> off_link_destinations = {
    {{203, 0, 113, 1}, {198, 51, 100, 1}}};

// The gateways of the links' default routes (0: none), asked for every link at once. A lookup
// the kernel refuses (no route, link down) means no gateway.
std::vector<std::uint32_t> GatewaysOf(netlink::Socket& socket,
                                      const std::vector<std::uint32_t>& links,
                                      const std::vector<std::uint32_t>& sources) {
    std::vector<std::uint32_t> gateways(links.size(), 0);
    std::vector<std::size_t> open(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        open[i] = i;
    }
    for (const auto& bytes : off_link_destinations) {
        if (open.empty()) {
            break;
        }
        std::uint32_t destination = 0;
        std::memcpy(&destination, bytes, sizeof destination);
        std::vector<netlink::Request> requests;
        requests.reserve(open.size());
        for (const std::size_t i : open) {
            requests.push_back(rtnl::GatewayLookup(links[i], sources[i], destination));
        }
        const std::vector<netlink::GetAnswer> answers = socket.GetEach(requests);
        std::vector<std::size_t> unanswered;
        for (std::size_t k = 0; k < open.size(); ++k) {
            const std::size_t i = open[k];
            const auto& message = answers[k].message;
            if (!message) {
                continue; // refused: no gateway
            }
            if (const auto gateway = rtnl::DefaultGatewayOf(*message, links[i])) {
                gateways[i] = *gateway;
            } else {
                unanswered.push_back(i); // a more specific route matched: another destination
            }
        }
        open = std::move(unanswered);
    }
    return gateways;
}

std::string AddressText(std::uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

void WriteNeighbour(netlink::Socket& socket, const ArpEntry& entry, std::uint16_t flags) {
    netlink::Request request = NeighbourRequest(RTM_NEWNEIGH, flags, entry.interfaceIndex,
                                                ParseAddress(entry.address), NUD_PERMANENT);
    request.AddAttribute(NDA_LLADDR, entry.hardwareAddress.data(), entry.hardwareAddress.size());
    socket.Transact(request);
}

} // namespace

RtnetlinkNetworkStack::RtnetlinkNetworkStack() = default;

RtnetlinkNetworkStack::~RtnetlinkNetworkStack() = default;

std::vector<std::uint32_t> RtnetlinkNetworkStack::ListInterfaces() {
    const std::lock_guard lock(netlink_mutex_);
    return IndexesOf(ArpLinks(Netlink()));
}

std::vector<AdapterInfo> RtnetlinkNetworkStack::ListAdapters() { return Snapshot().adapters; }

netlink::Socket& RtnetlinkNetworkStack::Netlink() {
    if (!netlink_) {
        netlink_ = std::make_unique<netlink::Socket>();
    }
    return *netlink_;
}

NetworkSnapshot RtnetlinkNetworkStack::Snapshot() {
    const std::lock_guard lock(netlink_mutex_);
    netlink::Socket& socket = Netlink();
    const std::vector<rtnl::LinkRecord> links = ArpLinks(socket);
    const std::vector<rtnl::AddressRecord> addresses = AllAddresses(socket);
    std::map<std::uint32_t, std::vector<std::uint32_t>> neighbours = Neighbours(socket, 0);
    flush_plan_.clear();
    flush_errors_.reset();
    NetworkSnapshot snapshot;
    snapshot.interfaces = IndexesOf(links);
    snapshot.adapters.reserve(links.size());
    std::vector<std::uint32_t> own;
    own.reserve(links.size());
    for (const rtnl::LinkRecord& link : links) {
        own.push_back(rtnl::SourceAddressFor(addresses, link.index, 0).value_or(0));
    }
    const std::vector<std::uint32_t> gateways = GatewaysOf(socket, snapshot.interfaces, own);
    for (std::size_t i = 0; i < links.size(); ++i) {
        const rtnl::LinkRecord& link = links[i];
        AdapterInfo adapter;
        adapter.index = link.index;
        adapter.name = link.name;
        adapter.linkAddress = link.address;
        if (gateways[i] != 0) {
            adapter.gateway = AddressText(gateways[i]);
        }
        // The link's own address (and its subnet, where the trusted addresses are looked for).
        if (const auto source = rtnl::SourceAddressFor(addresses, link.index, gateways[i])) {
            adapter.address = AddressText(*source);
            for (const rtnl::AddressRecord& record : addresses) {
                if (record.index == link.index && record.local == *source) {
                    adapter.prefixLength = record.prefixLength;
                    break;
                }
            }
        }
        snapshot.adapters.push_back(std::move(adapter));
        flush_plan_[link.index] = std::move(neighbours[link.index]);
    }
    return snapshot;
}

std::map<std::uint32_t, std::vector<std::uint32_t>>
RtnetlinkNetworkStack::Neighbours(netlink::Socket& socket, std::uint32_t interfaceIndex) {
    netlink::Request dump(RTM_GETNEIGH, 0);
    ndmsg header{};
    header.ndm_family = AF_INET;
    dump.AddFamilyHeader(header);
    if (interfaceIndex != 0) {
        // Under strict checking the kernel filters by this attribute; the index is checked
        // below for kernels that do not.
        dump.AddAttribute(NDA_IFINDEX, interfaceIndex);
    }
    std::map<std::uint32_t, std::vector<std::uint32_t>> neighbours;
    for (const netlink::Message& message : socket.Dump(dump)) {
        const auto neighbour = rtnl::DecodeNeighbour(message);
        if (!neighbour || neighbour->destination.size() != 4 ||
            (interfaceIndex != 0 && neighbour->index != interfaceIndex)) {
            continue;
        }
        std::uint32_t destination = 0;
        std::memcpy(&destination, neighbour->destination.data(), sizeof destination);
        neighbours[neighbour->index].push_back(destination);
    }
    return neighbours;
}

void RtnetlinkNetworkStack::FlushArpTable(std::uint32_t interfaceIndex) {
    const std::lock_guard lock(netlink_mutex_);
    netlink::Socket& socket = Netlink();
    if (!flush_plan_.contains(interfaceIndex)) { // a flush without a snapshot before it
        flush_plan_.clear();
        flush_errors_.reset();
        flush_plan_[interfaceIndex] = std::move(Neighbours(socket, interfaceIndex)[interfaceIndex]);
    }
    if (!flush_errors_) {
        // The pass flushes every link of its snapshot, one right after the other: the entries
        // of them all go in one batch, and each link's failure is told at its own flush.
        std::vector<netlink::Request> removals;
        std::vector<std::uint32_t> owners;
        for (const auto& [index, destinations] : flush_plan_) {
            for (const std::uint32_t destination : destinations) {
                removals.push_back(NeighbourRequest(RTM_DELNEIGH, 0, index, destination));
                owners.push_back(index);
            }
        }
        const std::vector<SystemErrorCode> results = socket.TransactEach(removals);
        flush_errors_.emplace();
        for (std::size_t i = 0; i < results.size(); ++i) {
            // An entry gone since the dump is what the flush wants anyway.
            if (results[i] != 0 && results[i] != ENOENT && !flush_errors_->contains(owners[i])) {
                (*flush_errors_)[owners[i]] = results[i];
            }
        }
    }
    flush_plan_.erase(interfaceIndex);
    const auto error = flush_errors_->find(interfaceIndex);
    const SystemErrorCode code = error != flush_errors_->end() ? error->second : 0;
    if (flush_plan_.empty()) {
        flush_errors_.reset();
    }
    if (code != 0) {
        throw code;
    }
}

std::unique_ptr<ArpResolver> RtnetlinkNetworkStack::CreateResolver() {
    return std::make_unique<PacketArpResolver>();
}

bool RtnetlinkNetworkStack::CreateArpEntry(const ArpEntry& entry) {
    try {
        const std::lock_guard lock(netlink_mutex_);
        WriteNeighbour(Netlink(), entry, NLM_F_CREATE | NLM_F_EXCL);
        return true;
    } catch (SystemErrorCode) {
        return false;
    }
}

void RtnetlinkNetworkStack::SetArpEntry(const ArpEntry& entry) {
    const std::lock_guard lock(netlink_mutex_);
    WriteNeighbour(Netlink(), entry, NLM_F_CREATE | NLM_F_REPLACE);
}

void RtnetlinkNetworkStack::DeleteArpEntry(std::uint32_t interfaceIndex,
                                           const std::string& address) {
    netlink::Request remove =
        NeighbourRequest(RTM_DELNEIGH, 0, interfaceIndex, ParseAddress(address));
    const std::lock_guard lock(netlink_mutex_);
    netlink::Socket& socket = Netlink();
    try {
        socket.Transact(remove);
    } catch (SystemErrorCode code) {
        if (code != ENOENT) {
            throw;
        }
    }
}

std::optional<HardwareAddress> RtnetlinkNetworkStack::ReadStaticEntry(std::uint32_t interfaceIndex,
                                                                      const std::string& address) {
    netlink::Request get = NeighbourRequest(RTM_GETNEIGH, 0, interfaceIndex, ParseAddress(address));
    const std::lock_guard lock(netlink_mutex_);
    netlink::Socket& socket = Netlink();
    std::vector<netlink::Message> answer;
    try {
        answer = socket.Transact(get);
    } catch (SystemErrorCode code) {
        if (code == ENOENT) {
            return std::nullopt;
        }
        throw;
    }
    for (const netlink::Message& message : answer) {
        const auto neighbour = rtnl::DecodeNeighbour(message);
        if (neighbour && neighbour->index == interfaceIndex &&
            (neighbour->state & NUD_PERMANENT) != 0 && !neighbour->hardwareAddress.empty()) {
            return neighbour->hardwareAddress;
        }
    }
    return std::nullopt;
}

std::unique_ptr<StopEvent> RtnetlinkNetworkStack::CreateStopEvent() {
    return CreateEventFdStopEvent();
}

std::unique_ptr<RouteChangeSubscription> RtnetlinkNetworkStack::SubscribeRouteChanges() {
    return std::make_unique<NetlinkRouteChanges>();
}

PacketArpResolver::PacketArpResolver() = default;

PacketArpResolver::~PacketArpResolver() = default;

ResolverPace PacketArpResolver::Pace() const {
    return {RtnetlinkNetworkStack::arp_tries, RtnetlinkNetworkStack::arp_interval, EHOSTUNREACH};
}

void PacketArpResolver::Ask(const GatewayRequest& request) {
    Asked asked;
    asked.gateway = ParseAddress(request.gateway);
    asked.text = request.gateway;
    asked.link.interfaceIndex = static_cast<int>(request.interfaceIndex);
    asked.link.ip = request.source.empty() ? 0 : ParseAddress(request.source);
    // The link's hardware address as the pass found it a moment ago, or now: a retry or a
    // repair may come after it changed.
    HardwareAddress mac = request.linkAddress;
    if (mac.empty()) {
        if (!netlink_) {
            netlink_ = std::make_unique<netlink::Socket>();
        }
        const rtnl::LinkRecord link = LinkOf(*netlink_, request.interfaceIndex);
        if (!rtnl::TakesArp(link)) {
            ThrowCode(ENETUNREACH);
        }
        mac = link.address;
    }
    if (mac.size() != asked.link.mac.size()) {
        ThrowCode(ENETUNREACH);
    }
    std::copy(mac.begin(), mac.end(), asked.link.mac.begin());
    OpenSocket();
    const auto same = [&](const Asked& a) {
        return a.link.interfaceIndex == asked.link.interfaceIndex && a.gateway == asked.gateway;
    };
    if (const auto found = std::find_if(asked_.begin(), asked_.end(), same);
        found != asked_.end()) {
        *found = asked;
    } else {
        asked_.push_back(asked);
    }
    UpdateFilter({});
    // A request for one gateway alone goes to its hardware address: only it hears the question.
    arp::MacAddress destination = arp::broadcast_mac;
    if (request.destination.size() == destination.size()) {
        std::copy(request.destination.begin(), request.destination.end(), destination.begin());
    }
    socket_->Send(arp::Request(asked.link, asked.gateway), asked.link.interfaceIndex, destination);
}

void PacketArpResolver::Expect(const std::vector<GatewayRequest>& requests) {
    std::vector<std::uint32_t> senders;
    senders.reserve(requests.size());
    for (const GatewayRequest& request : requests) {
        senders.push_back(ParseAddress(request.gateway));
    }
    OpenSocket();
    UpdateFilter(senders);
}

void PacketArpResolver::OpenSocket() {
    if (socket_) {
        return;
    }
    socket_ = std::make_unique<arp::PacketSocket>(0, arp::DropAllFilter());
    // More room than the default for a burst of answers; CAP_NET_ADMIN may exceed the system's
    // limit, and without it the default stays.
    const int bytes = receive_buffer_bytes;
    if (::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(socket_->Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void PacketArpResolver::Forget(std::uint32_t interfaceIndex, const std::string& gateway) {
    std::erase_if(asked_, [&](const Asked& a) {
        return a.link.interfaceIndex == static_cast<int>(interfaceIndex) && a.text == gateway;
    });
}

void PacketArpResolver::UpdateFilter(std::vector<std::uint32_t> senders) {
    for (const Asked& asked : asked_) {
        if (std::find(senders.begin(), senders.end(), asked.gateway) == senders.end()) {
            senders.push_back(asked.gateway);
        }
    }
    const bool covered = std::all_of(senders.begin(), senders.end(), [&](std::uint32_t s) {
        return std::find(filtered_.begin(), filtered_.end(), s) != filtered_.end();
    });
    if (covered && !filtered_.empty()) {
        return;
    }
    // Replaced, not drained: what the old filter let in may be another gateway's answer.
    arp::AttachFilter(socket_->Fd(), arp::AnswerFilter(senders));
    filtered_ = std::move(senders);
}

std::vector<ArpEvent> PacketArpResolver::Collect(bool& lost) {
    lost = false;
    std::vector<ArpEvent> events;
    if (!socket_) {
        return events;
    }
    if (asked_.empty() && !filtered_.empty()) {
        // Nothing asked: the socket takes nothing in while the protection is idle. Not at the
        // last Forget: a pass forgets everything, then asks the same gateways again.
        socket_->SetFilter(arp::DropAllFilter());
        filtered_.clear();
        return events;
    }
    for (const arp::Received& received : socket_->ReceiveAllQueued(collect_limit)) {
        for (const Asked& asked : asked_) {
            if (const auto mac = arp::AcceptAnswer(received, asked.link, asked.gateway)) {
                events.push_back(ArpEvent{static_cast<std::uint32_t>(asked.link.interfaceIndex),
                                          asked.text, HardwareAddress(mac->begin(), mac->end()),
                                          0});
                break;
            }
        }
    }
    lost = socket_->DroppedSinceLastCall();
    return events;
}

bool PacketArpResolver::Wait(std::chrono::milliseconds timeout) {
    if (!socket_) {
        return false;
    }
    pollfd waiting{socket_->Fd(), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

std::intptr_t PacketArpResolver::NativeHandle() const { return socket_ ? socket_->Fd() : -1; }

NetworkStack& SystemNetworkStack() {
    static RtnetlinkNetworkStack stack;
    return stack;
}

} // namespace Core_SocketARP
