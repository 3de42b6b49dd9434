#include "Core_SocketARP/linux/NetworkStack_linux.h"

#include "Core_SocketARP/ErrorDetail.h"
#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/FamilyResolver_linux.h"
#include "Core_SocketARP/linux/Ipv6Routers_linux.h"
#include "Core_SocketARP/linux/PacketArpResolver_linux.h"
#include "Core_SocketARP/linux/PacketClaimWatch_linux.h"
#include "Core_SocketARP/linux/RouteChanges_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>

namespace Core_SocketARP {
namespace {

// The links that take ARP, in index order.
std::vector<rtnl::LinkRecord> ArpLinks(netlink::Socket& socket) {
    netlink::Request request = rtnl::LinkRequest(0);
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
constexpr std::array<std::uint8_t[4], 2> off_link_destinations_v4 = {
    {{203, 0, 113, 1}, {198, 51, 100, 1}}};

// A link's gateways, and what could not be made out of its default route.
struct LinkGateways {
    std::vector<std::uint32_t> gateways;
    std::string problem;
};

void Merge(LinkGateways& into, const rtnl::DefaultRoute& route) {
    for (const std::uint32_t gateway : route.gateways) {
        if (std::find(into.gateways.begin(), into.gateways.end(), gateway) == into.gateways.end()) {
            into.gateways.push_back(gateway);
        }
    }
    if (into.problem.empty()) {
        into.problem = route.problem;
    }
}

// The nexthop objects of these ids and, for groups, of their members: what the kernel answers.
std::map<std::uint32_t, rtnl::NexthopRecord> Nexthops(netlink::Socket& socket,
                                                      std::vector<std::uint32_t> wanted) {
    std::map<std::uint32_t, rtnl::NexthopRecord> known;
    // Two rounds: the objects, then their groups' members (a member is never a group).
    for (int round = 0; round < 2 && !wanted.empty(); ++round) {
        std::vector<netlink::Request> requests;
        requests.reserve(wanted.size());
        for (const std::uint32_t id : wanted) {
            requests.push_back(rtnl::NexthopRequest(id));
        }
        const std::vector<netlink::GetAnswer> answers = socket.GetEach(requests);
        std::vector<std::uint32_t> members;
        for (const netlink::GetAnswer& answer : answers) {
            if (!answer.message) {
                continue; // gone since the lookup: it stays unknown, and is reported
            }
            if (auto record = rtnl::DecodeNexthop(*answer.message); record && record->id != 0) {
                for (const std::uint32_t member : record->members) {
                    if (!known.contains(member) &&
                        std::find(members.begin(), members.end(), member) == members.end()) {
                        members.push_back(member);
                    }
                }
                known.insert_or_assign(record->id, std::move(*record));
            }
        }
        std::erase_if(members, [&known](std::uint32_t id) { return known.contains(id); });
        wanted = std::move(members);
    }
    return known;
}

// The gateways of the links' default routes, asked for every link at once: every next hop by
// the link of the route that off-link traffic takes from the link's own address, then of the
// one it takes from no address in particular (`ip rule` may choose another table for either),
// with the hops of nexthop objects that the answers name only by id. A lookup the kernel
// refuses (no route, link down) means no gateway.
std::vector<LinkGateways> GatewaysOf(netlink::Socket& socket,
                                     const std::vector<std::uint32_t>& links,
                                     const std::vector<std::uint32_t>& sources) {
    struct Lookup {
        std::size_t link;
        std::uint32_t source;
        std::optional<rtnl::DefaultRoute> route;
    };
    std::vector<Lookup> lookups;
    lookups.reserve(links.size() * 2);
    for (std::size_t i = 0; i < links.size(); ++i) {
        lookups.push_back({i, sources[i], std::nullopt});
        if (sources[i] != 0) {
            lookups.push_back({i, 0, std::nullopt});
        }
    }
    std::vector<std::size_t> open(lookups.size());
    for (std::size_t k = 0; k < open.size(); ++k) {
        open[k] = k;
    }
    for (const auto& bytes : off_link_destinations_v4) {
        if (open.empty()) {
            break;
        }
        std::uint32_t destination = 0;
        std::memcpy(&destination, bytes, sizeof destination);
        std::vector<netlink::Request> requests;
        requests.reserve(open.size());
        for (const std::size_t k : open) {
            requests.push_back(
                rtnl::GatewayLookup(links[lookups[k].link], lookups[k].source, destination));
        }
        const std::vector<netlink::GetAnswer> answers = socket.GetEach(requests);
        std::vector<std::size_t> unanswered;
        for (std::size_t n = 0; n < open.size(); ++n) {
            Lookup& lookup = lookups[open[n]];
            if (!answers[n].message) {
                continue; // refused: no gateway
            }
            lookup.route = rtnl::DefaultRouteOf(*answers[n].message, links[lookup.link]);
            if (!lookup.route) {
                unanswered.push_back(open[n]); // a more specific route matched: another destination
            }
        }
        open = std::move(unanswered);
    }
    std::vector<std::uint32_t> objects;
    for (const Lookup& lookup : lookups) {
        if (lookup.route && lookup.route->nexthopId != 0 &&
            std::find(objects.begin(), objects.end(), lookup.route->nexthopId) == objects.end()) {
            objects.push_back(lookup.route->nexthopId);
        }
    }
    const auto known = Nexthops(socket, std::move(objects));
    std::vector<LinkGateways> gateways(links.size());
    for (const Lookup& lookup : lookups) {
        if (!lookup.route) {
            continue;
        }
        Merge(gateways[lookup.link], *lookup.route);
        if (lookup.route->nexthopId != 0) {
            Merge(gateways[lookup.link],
                  rtnl::NexthopRoute(lookup.route->nexthopId, known, links[lookup.link]));
        }
    }
    return gateways;
}

// A neighbour request for the address of either family (dotted decimal or IPv6 text); EINVAL
// for a text of neither.
netlink::Request NeighbourFor(std::uint16_t type, std::uint16_t flags, std::uint32_t linkIndex,
                              const std::string& address, std::uint16_t state = 0) {
    if (IsIpv6Text(address)) {
        const auto bytes = ParseIpv6(address);
        if (!bytes) {
            ThrowCode(EINVAL);
        }
        return rtnl::NeighbourRequest(type, flags, linkIndex, *bytes, state);
    }
    return rtnl::NeighbourRequest(type, flags, linkIndex, rtnl::ParseAddress(address), state);
}

void WriteNeighbour(netlink::Socket& socket, const ArpEntry& entry, std::uint16_t flags) {
    netlink::Request request =
        NeighbourFor(RTM_NEWNEIGH, flags, entry.interfaceIndex, entry.address, NUD_PERMANENT);
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
    NetworkSnapshot snapshot;
    snapshot.interfaces = IndexesOf(links);
    snapshot.adapters.reserve(links.size());
    std::vector<std::uint32_t> own;
    own.reserve(links.size());
    for (const rtnl::LinkRecord& link : links) {
        own.push_back(rtnl::SourceAddressFor(addresses, link.index, 0).value_or(0));
    }
    const std::vector<LinkGateways> found = GatewaysOf(socket, snapshot.interfaces, own);
    std::vector<Ipv6Side> ipv6 = Ipv6SidesOf(socket, snapshot.interfaces);
    for (std::size_t i = 0; i < links.size(); ++i) {
        const rtnl::LinkRecord& link = links[i];
        const std::vector<std::uint32_t>& gateways = found[i].gateways;
        const std::uint32_t first = gateways.empty() ? 0 : gateways.front();
        AdapterInfo adapter;
        adapter.index = link.index;
        adapter.name = link.name;
        adapter.linkAddress = link.address;
        adapter.routeProblem = found[i].problem;
        if (first != 0) {
            adapter.gateway = rtnl::AddressText(first);
        }
        // The link's own address (and its subnet, where the trusted addresses are looked for).
        if (const auto source = rtnl::SourceAddressFor(addresses, link.index, first)) {
            adapter.address = rtnl::AddressText(*source);
            for (const rtnl::AddressRecord& record : addresses) {
                if (record.index == link.index && record.local == *source) {
                    adapter.prefixLength = record.prefixLength;
                    break;
                }
            }
        }
        for (std::size_t k = 1; k < gateways.size(); ++k) {
            FurtherGateway further{rtnl::AddressText(gateways[k])};
            if (const auto source = rtnl::SourceAddressFor(addresses, link.index, gateways[k])) {
                further.source = rtnl::AddressText(*source);
            }
            adapter.moreGateways.push_back(std::move(further));
        }
        adapter.linkLocal = std::move(ipv6[i].linkLocal);
        adapter.routers = std::move(ipv6[i].routers);
        snapshot.adapters.push_back(std::move(adapter));
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

std::vector<std::optional<SystemErrorCode>>
RtnetlinkNetworkStack::FlushArpTables(const std::vector<std::uint32_t>& interfaces) {
    std::vector<std::optional<SystemErrorCode>> results(interfaces.size());
    if (interfaces.empty()) {
        return results;
    }
    std::map<std::uint32_t, netlink::GetAnswer> failures; // each link's first failed removal
    try {
        const std::lock_guard lock(netlink_mutex_);
        netlink::Socket& socket = Netlink();
        const auto neighbours = Neighbours(socket, interfaces.size() == 1 ? interfaces.front() : 0);
        std::vector<netlink::Request> removals;
        std::vector<std::uint32_t> owners;
        for (const auto& [index, destinations] : neighbours) {
            if (std::find(interfaces.begin(), interfaces.end(), index) == interfaces.end()) {
                continue;
            }
            for (const std::uint32_t destination : destinations) {
                removals.push_back(rtnl::NeighbourRequest(RTM_DELNEIGH, 0, index, destination));
                owners.push_back(index);
            }
        }
        std::vector<netlink::GetAnswer> answers = socket.TransactEach(removals);
        for (std::size_t i = 0; i < answers.size(); ++i) {
            // An entry gone since the dump is what the flush wants anyway.
            if (answers[i].error != 0 && answers[i].error != ENOENT) {
                failures.try_emplace(owners[i], std::move(answers[i]));
            }
        }
    } catch (SystemErrorCode code) {
        // The dump or the batch failed: no link's table is known to be flushed.
        std::fill(results.begin(), results.end(), code);
        return results;
    }
    const netlink::GetAnswer* firstFailure = nullptr;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (const auto failure = failures.find(interfaces[i]); failure != failures.end()) {
            results[i] = failure->second.error;
            if (firstFailure == nullptr) {
                firstFailure = &failure->second;
            }
        }
    }
    if (firstFailure != nullptr) {
        // The kernel's words go with the first line that prints a failure.
        KeepErrorDetail(firstFailure->error, firstFailure->kernelMessage);
    }
    return results;
}

std::unique_ptr<ArpResolver> RtnetlinkNetworkStack::CreateResolver() {
    return std::make_unique<FamilyResolver>();
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
    netlink::Request remove = NeighbourFor(RTM_DELNEIGH, 0, interfaceIndex, address);
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
    netlink::Request get = NeighbourFor(RTM_GETNEIGH, 0, interfaceIndex, address);
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

std::vector<std::optional<HardwareAddress>> RtnetlinkNetworkStack::ReadStaticEntries(
    const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
    std::vector<netlink::Request> gets;
    gets.reserve(entries.size());
    for (const auto& [interfaceIndex, address] : entries) {
        gets.push_back(NeighbourFor(RTM_GETNEIGH, 0, interfaceIndex, address));
    }
    std::vector<netlink::GetAnswer> answers;
    {
        const std::lock_guard lock(netlink_mutex_);
        answers = Netlink().GetEach(gets);
    }
    std::vector<std::optional<HardwareAddress>> found(entries.size());
    for (std::size_t i = 0; i < entries.size() && i < answers.size(); ++i) {
        if (answers[i].error != 0 && answers[i].error != ENOENT) {
            throw SystemErrorCode{answers[i].error};
        }
        if (!answers[i].message) {
            continue;
        }
        const auto neighbour = rtnl::DecodeNeighbour(*answers[i].message);
        if (neighbour && neighbour->index == entries[i].first &&
            (neighbour->state & NUD_PERMANENT) != 0 && !neighbour->hardwareAddress.empty()) {
            found[i] = neighbour->hardwareAddress;
        }
    }
    return found;
}

std::unique_ptr<StopEvent> RtnetlinkNetworkStack::CreateStopEvent() {
    return CreateEventFdStopEvent();
}

std::unique_ptr<RouteChangeSubscription> RtnetlinkNetworkStack::SubscribeRouteChanges() {
    return std::make_unique<NetlinkRouteChanges>();
}

std::unique_ptr<ClaimWatch> RtnetlinkNetworkStack::CreateClaimWatch() {
    return std::make_unique<PacketClaimWatch>();
}
NetworkStack& SystemNetworkStack() {
    static RtnetlinkNetworkStack stack;
    return stack;
}

} // namespace Core_SocketARP
