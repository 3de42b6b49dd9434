#include "Core_SocketARP/linux/Rtnetlink_linux.h"

#include "Ipv4Text.h"
#include "NetlinkBytes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::netlink::Message;
namespace rtnl = Core_SocketARP::rtnl;
using tw_netlink::AppendAttribute;
using tw_netlink::MessageBuilder;

using tw_test::Ip;

rtmsg RouteHeader(std::uint8_t dstLength = 0, std::uint8_t table = RT_TABLE_MAIN,
                  std::uint8_t type = RTN_UNICAST, std::uint8_t family = AF_INET) {
    rtmsg header{};
    header.rtm_family = family;
    header.rtm_dst_len = dstLength;
    header.rtm_table = table;
    header.rtm_type = type;
    return header;
}

Message DefaultRoute(std::uint32_t oif, const char* gateway) {
    return MessageBuilder(RTM_NEWROUTE, RouteHeader())
        .U32(RTA_OIF, oif)
        .U32(RTA_GATEWAY, Ip(gateway))
        .Build();
}

std::vector<std::uint8_t> NextHop(int ifindex, const char* gateway) {
    std::vector<std::uint8_t> attributes;
    if (gateway != nullptr) {
        const std::uint32_t address = Ip(gateway);
        AppendAttribute(attributes, RTA_GATEWAY, &address, sizeof address);
    }
    rtnexthop hop{};
    hop.rtnh_len = static_cast<unsigned short>(RTNH_LENGTH(attributes.size()));
    hop.rtnh_ifindex = ifindex;
    std::vector<std::uint8_t> bytes(RTNH_ALIGN(hop.rtnh_len), 0);
    std::memcpy(bytes.data(), &hop, sizeof hop);
    std::copy(attributes.begin(), attributes.end(), bytes.begin() + RTNH_LENGTH(0));
    return bytes;
}

std::vector<std::uint8_t> Hops(std::initializer_list<std::vector<std::uint8_t>> hops) {
    std::vector<std::uint8_t> bytes;
    for (const auto& hop : hops) {
        bytes.insert(bytes.end(), hop.begin(), hop.end());
    }
    return bytes;
}

std::vector<std::uint8_t> ViaHop(int ifindex) {
    std::vector<std::uint8_t> attributes;
    const std::uint8_t via[18] = {AF_INET6 & 0xff, 0, 0x20, 0x01, 0x0d, 0xb8};
    AppendAttribute(attributes, RTA_VIA, via, sizeof via);
    rtnexthop hop{};
    hop.rtnh_len = static_cast<unsigned short>(RTNH_LENGTH(attributes.size()));
    hop.rtnh_ifindex = ifindex;
    std::vector<std::uint8_t> bytes(RTNH_ALIGN(hop.rtnh_len), 0);
    std::memcpy(bytes.data(), &hop, sizeof hop);
    std::copy(attributes.begin(), attributes.end(), bytes.begin() + RTNH_LENGTH(0));
    return bytes;
}

Message Multipath(const std::vector<std::uint8_t>& hops) {
    return MessageBuilder(RTM_NEWROUTE, RouteHeader())
        .Attribute(RTA_MULTIPATH, hops.data(), hops.size())
        .Build();
}

using Gateways = std::vector<std::uint32_t>;

// The kernel's answer to a link's gateway lookup: the routing entry that matched, every next
// hop of it by the link.
TEST(GatewayLookup, EveryNextHopOfTheMatchedDefaultRouteByTheLinkIsAGateway) {
    const Message spread =
        Multipath(Hops({NextHop(4, "10.0.4.1"), NextHop(5, "10.0.5.1"), NextHop(6, nullptr),
                        NextHop(5, "10.0.5.3"), NextHop(5, "10.0.5.1")}));
    // Any table: the one `ip rule` chose.
    const Message otherTable = MessageBuilder(RTM_NEWROUTE, RouteHeader(0, 100))
                                   .U32(RTA_OIF, 3)
                                   .U32(RTA_GATEWAY, Ip("10.0.3.1"))
                                   .Build();
    // A nexthop object: by id alone (compatibility mode off), or with its hops written out.
    const Message byId = MessageBuilder(RTM_NEWROUTE, RouteHeader()).U32(RTA_NH_ID, 7).Build();
    const Message byIdWithHops = MessageBuilder(RTM_NEWROUTE, RouteHeader())
                                     .U32(RTA_NH_ID, 7)
                                     .U32(RTA_OIF, 3)
                                     .U32(RTA_GATEWAY, Ip("10.0.3.1"))
                                     .Build();
    struct Case {
        Message answer;
        std::uint32_t link;
        Gateways gateways;
        std::uint32_t nexthopId;
        bool problem;
    };
    const std::vector<Case> cases = {
        {DefaultRoute(3, "10.0.1.1"), 3, {Ip("10.0.1.1")}, 0, false},
        {otherTable, 3, {Ip("10.0.3.1")}, 0, false},
        {spread, 5, {Ip("10.0.5.1"), Ip("10.0.5.3")}, 0, false},
        {spread, 4, {Ip("10.0.4.1")}, 0, false},
        {byId, 3, {}, 7, false},
        {byIdWithHops, 3, {Ip("10.0.3.1")}, 0, false},
        // Default routes without a gateway by the link.
        {DefaultRoute(2, "10.0.0.1"), 3, {}, 0, false},
        {MessageBuilder(RTM_NEWROUTE, RouteHeader()).U32(RTA_OIF, 3).Build(), 3, {}, 0, false},
        {spread, 6, {}, 0, false},
        {spread, 9, {}, 0, false},
        // A gateway this program cannot ask (another family), a form it does not know.
        {Multipath(Hops({NextHop(5, "10.0.5.1"), ViaHop(5)})), 5, {Ip("10.0.5.1")}, 0, true},
        {Multipath(Hops({ViaHop(4)})), 5, {}, 0, false},
        {MessageBuilder(RTM_NEWROUTE, RouteHeader()).Build(), 3, {}, 0, true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto route = rtnl::DefaultRouteOf(cases[i].answer, cases[i].link);
        ASSERT_TRUE(route) << i;
        EXPECT_EQ(route->gateways, cases[i].gateways) << i;
        EXPECT_EQ(route->nexthopId, cases[i].nexthopId) << i;
        EXPECT_EQ(!route->problem.empty(), cases[i].problem) << i << ": " << route->problem;
    }
    // No default route at all: a more specific one, another kind or family, another message.
    const std::vector<Message> others = {
        MessageBuilder(RTM_NEWROUTE, RouteHeader(24))
            .U32(RTA_OIF, 3)
            .U32(RTA_GATEWAY, Ip("10.0.1.9"))
            .Build(),
        MessageBuilder(RTM_NEWROUTE, RouteHeader(0, RT_TABLE_MAIN, RTN_BLACKHOLE)).Build(),
        MessageBuilder(RTM_NEWROUTE, RouteHeader(0, RT_TABLE_MAIN, RTN_UNICAST, AF_INET6))
            .U32(RTA_OIF, 3)
            .Build(),
        MessageBuilder(RTM_NEWLINK, ifinfomsg{}).Build(),
    };
    for (const Message& message : others) {
        EXPECT_FALSE(rtnl::DefaultRouteOf(message, 3));
    }
}

Message Nexthop(std::uint32_t id, std::uint32_t oif, const char* gateway,
                std::uint8_t family = AF_INET) {
    nhmsg header{};
    header.nh_family = family;
    MessageBuilder builder(RTM_NEWNEXTHOP, header);
    builder.U32(NHA_ID, id).U32(NHA_OIF, oif);
    if (family == AF_INET6) {
        const std::uint8_t address[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                          0,    0,    0,    0,    0, 0, 0, 1};
        builder.Attribute(NHA_GATEWAY, address, sizeof address);
    } else if (gateway != nullptr) {
        builder.U32(NHA_GATEWAY, Ip(gateway));
    }
    return builder.Build();
}

Message Group(std::uint32_t id, const std::vector<std::uint32_t>& members) {
    std::vector<nexthop_grp> entries;
    for (const std::uint32_t member : members) {
        nexthop_grp entry{};
        entry.id = member;
        entry.weight = 1;
        entries.push_back(entry);
    }
    return MessageBuilder(RTM_NEWNEXTHOP, nhmsg{})
        .U32(NHA_ID, id)
        .Attribute(NHA_GROUP, entries.data(), entries.size() * sizeof(nexthop_grp))
        .Build();
}

// Nexthop objects as the kernel answers for them, and a route's hops through them.
TEST(Nexthops, AnObjectOrTheMembersOfItsGroupByTheLinkAreTheRoutesHops) {
    std::map<std::uint32_t, rtnl::NexthopRecord> known;
    for (const Message& message :
         {Nexthop(1, 3, "10.0.3.1"), Nexthop(2, 3, "10.0.3.2"), Nexthop(3, 4, "10.0.4.1"),
          Nexthop(4, 3, nullptr), Nexthop(5, 3, nullptr, AF_INET6), Group(10, {1, 3, 2, 4}),
          Group(11, {1, 9}), Group(12, {10}), Group(13, {5, 2})}) {
        const auto record = rtnl::DecodeNexthop(message);
        ASSERT_TRUE(record);
        known[record->id] = *record;
    }
    EXPECT_EQ(known[10].members, (std::vector<std::uint32_t>{1, 3, 2, 4}));
    EXPECT_EQ(known[2].gateway, Ip("10.0.3.2"));
    EXPECT_TRUE(known[5].otherFamilyGateway);
    EXPECT_FALSE(rtnl::DecodeNexthop(MessageBuilder(RTM_NEWROUTE, RouteHeader()).Build()));

    struct Case {
        std::uint32_t id;
        std::uint32_t link;
        Gateways gateways;
        bool problem;
    };
    const std::vector<Case> cases = {
        {1, 3, {Ip("10.0.3.1")}, false},
        {1, 4, {}, false},
        {4, 3, {}, false}, // a device route: no gateway
        {10, 3, {Ip("10.0.3.1"), Ip("10.0.3.2")}, false},
        {10, 4, {Ip("10.0.4.1")}, false},
        {11, 3, {Ip("10.0.3.1")}, true}, // a member that could not be read
        {12, 3, {}, true},               // a group inside a group
        {13, 3, {Ip("10.0.3.2")}, true}, // a gateway of another family
        {99, 3, {}, true},
    };
    for (const Case& c : cases) {
        const rtnl::DefaultRoute route = rtnl::NexthopRoute(c.id, known, c.link);
        EXPECT_EQ(route.gateways, c.gateways) << c.id << " by " << c.link;
        EXPECT_EQ(!route.problem.empty(), c.problem) << c.id << " by " << c.link;
    }
}

TEST(GatewayLookup, AsksForTheMatchedEntryOfAnOffLinkDestinationByTheLinkFromItsAddress) {
    Core_SocketARP::netlink::Request request =
        rtnl::GatewayLookup(7, Ip("10.0.0.2"), Ip("203.0.113.1"));
    const auto bytes = request.Bytes();
    rtmsg header{};
    std::memcpy(&header, bytes.data() + NLMSG_HDRLEN, sizeof header);
    EXPECT_EQ(header.rtm_family, AF_INET);
    EXPECT_NE(header.rtm_flags & RTM_F_FIB_MATCH, 0u);
    std::vector<std::pair<std::uint16_t, std::uint32_t>> attributes;
    std::size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof header);
    while (at + RTA_LENGTH(4) <= bytes.size()) {
        rtattr attribute{};
        std::memcpy(&attribute, bytes.data() + at, sizeof attribute);
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at + RTA_LENGTH(0), sizeof value);
        attributes.emplace_back(attribute.rta_type, value);
        at += RTA_ALIGN(attribute.rta_len);
    }
    EXPECT_EQ(attributes,
              (std::vector<std::pair<std::uint16_t, std::uint32_t>>{
                  {RTA_DST, Ip("203.0.113.1")}, {RTA_OIF, 7}, {RTA_SRC, Ip("10.0.0.2")}}));
}

using Core_SocketARP::Ipv6Bytes;

Ipv6Bytes Ip6(const char* text) { return *Core_SocketARP::ParseIpv6(text); }

std::vector<std::uint8_t> Bytes(const Ipv6Bytes& address) {
    return {address.begin(), address.end()};
}

std::vector<std::uint8_t> NextHop6(int ifindex, const char* gateway) {
    std::vector<std::uint8_t> attributes;
    const Ipv6Bytes address = Ip6(gateway);
    AppendAttribute(attributes, RTA_GATEWAY, address.data(), address.size());
    rtnexthop hop{};
    hop.rtnh_len = static_cast<unsigned short>(RTNH_LENGTH(attributes.size()));
    hop.rtnh_ifindex = ifindex;
    std::vector<std::uint8_t> bytes(RTNH_ALIGN(hop.rtnh_len), 0);
    std::memcpy(bytes.data(), &hop, sizeof hop);
    std::copy(attributes.begin(), attributes.end(), bytes.begin() + RTNH_LENGTH(0));
    return bytes;
}

// The IPv6 routes a router lookup or an advertised routes' dump brings: a route's next hops of
// every kind, of either family's length, and those that leave by the link.
TEST(RouteRecords, NextHopsOfOwnMultipathOrANexthopObjectAndThoseByTheLink) {
    rtmsg header = RouteHeader(0, RT_TABLE_MAIN, RTN_UNICAST, AF_INET6);
    header.rtm_protocol = RTPROT_RA;
    const Ipv6Bytes router = Ip6("fe80::1");
    const auto single = rtnl::DecodeRoute(MessageBuilder(RTM_NEWROUTE, header)
                                              .U32(RTA_OIF, 3)
                                              .Attribute(RTA_GATEWAY, router.data(), router.size())
                                              .U32(RTA_TABLE, 1000)
                                              .Build());
    ASSERT_TRUE(single);
    EXPECT_EQ(single->protocol, RTPROT_RA);
    EXPECT_EQ(single->table, 1000u);
    EXPECT_EQ(rtnl::GatewaysVia(single->hops, 3),
              std::vector<std::vector<std::uint8_t>>{Bytes(router)});
    EXPECT_TRUE(rtnl::GatewaysVia(single->hops, 4).empty());

    std::vector<std::uint8_t> multipath = NextHop6(3, "fe80::1");
    for (const auto& hop :
         {NextHop6(4, "fe80::9"), NextHop6(3, "fe80::2"), NextHop6(3, "fe80::1")}) {
        multipath.insert(multipath.end(), hop.begin(), hop.end());
    }
    const auto spread = rtnl::DecodeRoute(
        MessageBuilder(RTM_NEWROUTE, RouteHeader(0, RT_TABLE_MAIN, RTN_UNICAST, AF_INET6))
            .Attribute(RTA_MULTIPATH, multipath.data(), multipath.size())
            .Build());
    ASSERT_TRUE(spread);
    EXPECT_EQ(rtnl::GatewaysVia(spread->hops, 3),
              (std::vector<std::vector<std::uint8_t>>{Bytes(router), Bytes(Ip6("fe80::2"))}));

    // A gateway of the other family's length is none.
    const auto mixed = rtnl::DecodeRoute(
        MessageBuilder(RTM_NEWROUTE, RouteHeader(0, RT_TABLE_MAIN, RTN_UNICAST, AF_INET6))
            .U32(RTA_OIF, 3)
            .U32(RTA_GATEWAY, Ip("10.0.0.1"))
            .U32(RTA_NH_ID, 12)
            .Build());
    ASSERT_TRUE(mixed);
    EXPECT_TRUE(rtnl::GatewaysVia(mixed->hops, 3).empty());
    EXPECT_EQ(mixed->nexthopId, 12u);

    nhmsg object{};
    object.nh_family = AF_INET6;
    const auto own = rtnl::DecodeNextHop(MessageBuilder(RTM_NEWNEXTHOP, object)
                                             .U32(NHA_ID, 12)
                                             .U32(NHA_OIF, 3)
                                             .Attribute(NHA_GATEWAY, router.data(), router.size())
                                             .Build());
    ASSERT_TRUE(own);
    EXPECT_EQ(own->id, 12u);
    EXPECT_EQ(own->hop.outputIndex, 3u);
    EXPECT_EQ(own->hop.gateway, Bytes(router));
    const nexthop_grp members[2] = {{12, 1, 0, 0}, {13, 1, 0, 0}};
    const auto group = rtnl::DecodeNextHop(MessageBuilder(RTM_NEWNEXTHOP, nhmsg{})
                                               .U32(NHA_ID, 20)
                                               .Attribute(NHA_GROUP, members, sizeof members)
                                               .Build());
    ASSERT_TRUE(group);
    EXPECT_EQ(group->group, (std::vector<std::uint32_t>{12, 13}));
    EXPECT_FALSE(rtnl::DecodeRoute(MessageBuilder(RTM_NEWLINK, ifinfomsg{}).Build()));
}

Message Address6(std::uint32_t index, const char* address, std::uint32_t flags) {
    ifaddrmsg header{};
    header.ifa_family = AF_INET6;
    header.ifa_index = index;
    header.ifa_prefixlen = 64;
    const Ipv6Bytes bytes = Ip6(address);
    return MessageBuilder(RTM_NEWADDR, header)
        .Attribute(IFA_ADDRESS, bytes.data(), bytes.size())
        .U32(IFA_FLAGS, flags)
        .Build();
}

// A solicitation goes from an address the router can answer to: a link-local one that is
// neither tentative nor failed; a deprecated one only when nothing else is there.
TEST(Ipv6AddressRecords, LinkLocalToSendFromIsOneTheLinkMayUseAlready) {
    std::vector<rtnl::Ipv6AddressRecord> addresses;
    for (const Message& message :
         {Address6(2, "2001:db8::2", 0), Address6(2, "fe80::a", IFA_F_TENTATIVE),
          Address6(2, "fe80::b", IFA_F_DADFAILED | IFA_F_TENTATIVE),
          Address6(2, "fe80::c", IFA_F_DEPRECATED), Address6(3, "fe80::3", 0),
          Address6(2, "fe80::d", IFA_F_PERMANENT)}) {
        const auto record = rtnl::DecodeIpv6Address(message);
        ASSERT_TRUE(record);
        addresses.push_back(*record);
    }
    EXPECT_EQ(rtnl::LinkLocalFor(addresses, 2), Ip6("fe80::d"));
    addresses.pop_back();
    EXPECT_EQ(rtnl::LinkLocalFor(addresses, 2), Ip6("fe80::c"));
    addresses.pop_back();
    addresses.pop_back();
    EXPECT_FALSE(rtnl::LinkLocalFor(addresses, 2));
    ifaddrmsg ipv4{};
    ipv4.ifa_family = AF_INET;
    EXPECT_FALSE(rtnl::DecodeIpv6Address(MessageBuilder(RTM_NEWADDR, ipv4).Build()));
}

Message Link(int index, std::uint16_t type, unsigned flags) {
    ifinfomsg header{};
    header.ifi_index = index;
    header.ifi_type = type;
    header.ifi_flags = flags;
    const std::uint8_t mac[6] = {0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(index)};
    return MessageBuilder(RTM_NEWLINK, header).Attribute(IFLA_ADDRESS, mac, sizeof mac).Build();
}

TEST(LinkRecords, OnlyEthernetLinksThatDoArpTakeArp) {
    const auto ethernet = rtnl::DecodeLink(Link(2, ARPHRD_ETHER, IFF_UP | IFF_BROADCAST));
    ASSERT_TRUE(ethernet);
    EXPECT_EQ(ethernet->index, 2u);
    EXPECT_EQ(ethernet->address, (std::vector<std::uint8_t>{0x02, 0, 0, 0, 0, 2}));
    EXPECT_TRUE(rtnl::TakesArp(*ethernet));
    // A link that is down still counts: adapters are not filtered by state.
    EXPECT_TRUE(rtnl::TakesArp(*rtnl::DecodeLink(Link(3, ARPHRD_ETHER, 0))));

    EXPECT_FALSE(
        rtnl::TakesArp(*rtnl::DecodeLink(Link(1, ARPHRD_LOOPBACK, IFF_LOOPBACK | IFF_UP))));
    EXPECT_FALSE(rtnl::TakesArp(*rtnl::DecodeLink(Link(4, ARPHRD_ETHER, IFF_NOARP))));
    EXPECT_FALSE(rtnl::TakesArp(*rtnl::DecodeLink(Link(5, ARPHRD_NONE, IFF_POINTOPOINT))));
    EXPECT_FALSE(rtnl::DecodeLink(MessageBuilder(RTM_NEWROUTE, RouteHeader()).Build()));
}

rtnl::AddressRecord Address(std::uint32_t index, const char* local, std::uint8_t prefix,
                            std::uint32_t flags = 0) {
    return rtnl::AddressRecord{index, prefix, flags, Ip(local)};
}

TEST(SourceAddress, PrimaryAddressInThePeersSubnetFirstElseTheFirstPrimary) {
    const std::vector<rtnl::AddressRecord> addresses = {
        Address(3, "10.9.9.9", 24),
        Address(2, "192.168.5.2", 24),
        Address(2, "10.0.0.2", 24, IFA_F_SECONDARY),
        Address(2, "10.0.0.3", 24),
    };
    EXPECT_EQ(rtnl::SourceAddressFor(addresses, 2, Ip("10.0.0.1")), Ip("10.0.0.3"));
    EXPECT_EQ(rtnl::SourceAddressFor(addresses, 2, Ip("172.16.0.1")), Ip("192.168.5.2"));
    EXPECT_EQ(rtnl::SourceAddressFor(addresses, 3, Ip("10.9.9.1")), Ip("10.9.9.9"));
    EXPECT_FALSE(rtnl::SourceAddressFor(addresses, 4, Ip("10.0.0.1")));
    EXPECT_FALSE(
        rtnl::SourceAddressFor({Address(2, "10.0.0.2", 24, IFA_F_SECONDARY)}, 2, Ip("10.0.0.1")));
    EXPECT_EQ(rtnl::SourceAddressFor({Address(2, "10.0.0.2", 32)}, 2, Ip("10.0.0.1")),
              Ip("10.0.0.2"));
}

TEST(SourceAddress, PrefixLongerThan32BitsMatchesNoSubnet) {
    EXPECT_EQ(rtnl::SourceAddressFor({Address(2, "10.0.0.2", 40), Address(2, "10.0.0.3", 24)}, 2,
                                     Ip("10.0.0.1")),
              Ip("10.0.0.3"));
    EXPECT_EQ(rtnl::SourceAddressFor({Address(2, "10.0.0.2", 255)}, 2, Ip("10.0.0.1")),
              Ip("10.0.0.2"));
}

TEST(AddressRecords, LocalAttributeWinsAndFlagsAttributeHoldsAllFlags) {
    ifaddrmsg header{};
    header.ifa_family = AF_INET;
    header.ifa_index = 2;
    header.ifa_prefixlen = 24;
    const auto record =
        rtnl::DecodeAddress(MessageBuilder(RTM_NEWADDR, header)
                                .U32(IFA_ADDRESS, Ip("10.0.0.99"))
                                .U32(IFA_LOCAL, Ip("10.0.0.2"))
                                .U32(IFA_FLAGS, IFA_F_SECONDARY | IFA_F_NOPREFIXROUTE)
                                .Build());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->local, Ip("10.0.0.2"));
    EXPECT_EQ(record->flags, std::uint32_t{IFA_F_SECONDARY | IFA_F_NOPREFIXROUTE});
    header.ifa_family = AF_INET6;
    EXPECT_FALSE(rtnl::DecodeAddress(MessageBuilder(RTM_NEWADDR, header).Build()));
}

TEST(NeighbourRecords, IndexStateAndDestination) {
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = 4;
    header.ndm_state = NUD_PERMANENT;
    const auto record = rtnl::DecodeNeighbour(
        MessageBuilder(RTM_NEWNEIGH, header).U32(NDA_DST, Ip("10.0.0.1")).Build());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->index, 4u);
    EXPECT_EQ(record->state, NUD_PERMANENT);
    const std::uint32_t address = Ip("10.0.0.1");
    EXPECT_EQ(record->destination,
              (std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&address),
                                         reinterpret_cast<const std::uint8_t*>(&address) + 4)));
}

} // namespace
