#include "Core_SocketARP/linux/NdPacket_linux.h"

#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include <gtest/gtest.h>

#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace nd = Core_SocketARP::nd;
using Core_SocketARP::Ipv6Bytes;

Ipv6Bytes Address(const char* text) { return *Core_SocketARP::ParseIpv6(text); }

const nd::MacAddress router_mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const nd::MacAddress nd_host_mac = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
const nd::LinkEndpoint host{3, nd_host_mac, Address("fe80::2")};

// The router's answer to the host's solicitation, as its kernel sends it.
nd::Message Advertisement() {
    nd::Message message;
    message.type = nd::type_advertisement;
    message.source = Address("fe80::1");
    message.destination = host.address;
    message.flags = nd::flag_router | nd::flag_solicited | nd::flag_override;
    message.target = Address("fe80::1");
    message.targetLinkAddresses = {router_mac};
    return message;
}

// A solicitation as the resolver sends it, in bytes a kernel wrote: its checksum is the
// kernel's, and the decoding gives back what was encoded.
TEST(NdPacket, SolicitationHasTheKernelsLayoutAndChecksumAndDecodesBack) {
    const nd::Message solicitation = nd::Solicitation(host, Address("fe80::1"), false);
    const std::vector<std::uint8_t> bytes = nd::Encode(solicitation);
    // What a kernel with this host's addresses sent to ask for fe80::1 (captured on a packet
    // socket in a namespace).
    const std::vector<std::uint8_t> kernel = {
        0x60, 0x00, 0x00, 0x00, 0x00, 0x20, 0x3a, 0xff, 0xfe, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xff, 0x00, 0x00, 0x01, 0x87, 0x00, 0xe0, 0x33, 0x00,
        0x00, 0x00, 0x00, 0xfe, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    EXPECT_EQ(bytes, kernel);
    EXPECT_EQ(nd::Decode(bytes), solicitation);
    EXPECT_EQ(nd::MulticastMac(solicitation.destination),
              (nd::MacAddress{0x33, 0x33, 0xff, 0x00, 0x00, 0x01}));
    const nd::Message direct = nd::Solicitation(host, Address("fe80::1"), true);
    EXPECT_EQ(direct.destination, Address("fe80::1"));
}

// The bytes with the checksum a sender that means it would give them: over the addresses and
// whatever follows the IPv6 header, whatever the header's length says.
std::vector<std::uint8_t> Sealed(std::vector<std::uint8_t> bytes) {
    if (bytes.size() < nd::header_size + 4) {
        return bytes;
    }
    bytes[42] = bytes[43] = 0;
    std::uint32_t sum = 58 + static_cast<std::uint32_t>(bytes.size() - nd::header_size);
    for (std::size_t i = 8; i < bytes.size(); i += 2) {
        sum +=
            static_cast<std::uint32_t>(bytes[i] << 8) + (i + 1 < bytes.size() ? bytes[i + 1] : 0u);
    }
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    bytes[42] = static_cast<std::uint8_t>((~sum >> 8) & 0xff);
    bytes[43] = static_cast<std::uint8_t>(~sum & 0xff);
    return bytes;
}

// What is not a well-formed solicitation or advertisement decodes to nothing, each from the
// good packet with one thing changed; frame padding after the payload is no fault.
TEST(NdPacket, DecodeRefusesAnythingButWellFormedNeighborDiscovery) {
    const std::vector<std::uint8_t> good = nd::Encode(Advertisement());
    std::vector<std::uint8_t> padded = good;
    padded.resize(good.size() + 6, 0);
    EXPECT_EQ(nd::Decode(padded), Advertisement());

    const auto withOption = [](std::vector<std::uint8_t> option) {
        nd::Message message = Advertisement();
        message.targetLinkAddresses.clear();
        std::vector<std::uint8_t> bytes = nd::Encode(message);
        bytes.insert(bytes.end(), option.begin(), option.end());
        bytes[5] = static_cast<std::uint8_t>(bytes.size() - nd::header_size);
        return Sealed(bytes);
    };
    ASSERT_TRUE(nd::Decode(withOption({2, 1, 2, 0x11, 0x22, 0x33, 0x44, 0x55})));
    ASSERT_TRUE(nd::Decode(withOption({14, 1, 1, 2, 3, 4, 5, 6}))); // a nonce: skipped

    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> bad = {
        {"option of length 0", withOption({2, 0, 2, 0x11, 0x22, 0x33, 0x44, 0x55})},
        {"option past the packet", withOption({2, 2, 2, 0x11, 0x22, 0x33, 0x44, 0x55})},
        {"link-layer option of 16 bytes",
         withOption({2, 2, 2, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"option cut short", withOption({2})},
    };
    for (const auto& [what, bytes] : bad) {
        EXPECT_FALSE(nd::Decode(bytes)) << what;
    }
    const std::vector<std::pair<const char*, void (*)(std::vector<std::uint8_t>&)>> changes = {
        {"checksum", [](std::vector<std::uint8_t>& b) { b[43] ^= 1; }},
        {"IPv4", [](std::vector<std::uint8_t>& b) { b[0] = 0x45; }},
        {"next header UDP", [](std::vector<std::uint8_t>& b) { b[6] = 17; }},
        {"router advertisement", [](std::vector<std::uint8_t>& b) { b[40] = 134; }},
        {"payload past the packet", [](std::vector<std::uint8_t>& b) { b[5] += 8; }},
        {"payload shorter than a message", [](std::vector<std::uint8_t>& b) { b[5] = 16; }},
        {"cut short", [](std::vector<std::uint8_t>& b) { b.resize(50); }},
    };
    for (const auto& [what, change] : changes) {
        std::vector<std::uint8_t> bytes = good;
        change(bytes);
        EXPECT_FALSE(nd::Decode(std::string_view(what) == "checksum" ? bytes : Sealed(bytes)))
            << what;
    }
}

// Every way a packet can fail to be the router's answer to this host's solicitation on this
// link, each from the one acceptable packet with one thing changed.
TEST(NdAdvertisement, OnlyAStrictAnswerToThisLinksOwnSolicitationIsAccepted) {
    const Ipv6Bytes router = Address("fe80::1");
    const nd::Received answer{Advertisement(), 3, PACKET_HOST, router_mac, false};
    const auto accepted = nd::AcceptAdvertisement(answer, host, router);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->mac, router_mac);
    EXPECT_TRUE(accepted->router);

    const std::vector<std::pair<const char*, void (*)(nd::Received&)>> variants = {
        {"solicitation", [](nd::Received& r) { r.message.type = nd::type_solicitation; }},
        {"code 1", [](nd::Received& r) { r.message.code = 1; }},
        {"hop limit 64", [](nd::Received& r) { r.message.hopLimit = 64; }},
        {"from another address", [](nd::Received& r) { r.message.source = Address("fe80::66"); }},
        {"for another target", [](nd::Received& r) { r.message.target = Address("fe80::66"); }},
        {"to another address", [](nd::Received& r) { r.message.destination = Address("ff02::1"); }},
        {"unsolicited",
         [](nd::Received& r) { r.message.flags = nd::flag_router | nd::flag_override; }},
        {"no target link-layer option",
         [](nd::Received& r) { r.message.targetLinkAddresses = {}; }},
        {"two target link-layer options",
         [](nd::Received& r) { r.message.targetLinkAddresses.push_back(router_mac); }},
        {"option not the Ethernet source",
         [](nd::Received& r) { r.message.targetLinkAddresses[0][5] ^= 1; }},
        {"other link", [](nd::Received& r) { r.interfaceIndex = 4; }},
        {"multicast", [](nd::Received& r) { r.packetType = PACKET_MULTICAST; }},
        {"broadcast", [](nd::Received& r) { r.packetType = PACKET_BROADCAST; }},
        {"for another host", [](nd::Received& r) { r.packetType = PACKET_OTHERHOST; }},
        {"VLAN tag", [](nd::Received& r) { r.vlanTagged = true; }},
        {"group address",
         [](nd::Received& r) { r.message.targetLinkAddresses[0][0] = r.ethernetSource[0] = 0x03; }},
        {"all-zero address",
         [](nd::Received& r) { r.message.targetLinkAddresses[0] = r.ethernetSource = {}; }},
    };
    for (const auto& [what, change] : variants) {
        nd::Received packet = answer;
        change(packet);
        EXPECT_FALSE(nd::AcceptAdvertisement(packet, host, router)) << what;
    }
    // Without the Router flag the answer counts, and says so.
    nd::Received host_answer = answer;
    host_answer.message.flags = nd::flag_solicited;
    const auto notRouter = nd::AcceptAdvertisement(host_answer, host, router);
    ASSERT_TRUE(notRouter);
    EXPECT_FALSE(notRouter->router);
}

// What claims the pinned router's address for another MAC, as the claim watch decides it from
// the bytes the socket delivered: the target link-layer address option, else the Ethernet
// source, of an untagged advertisement for the router on its link.
TEST(NdClaim, AdvertisementsForThePinnedRouterWithAnotherMacAreClaims) {
    const nd::PinnedClaim pin{3, Address("fe80::1"), router_mac};
    const nd::MacAddress forger = {0x02, 0, 0, 0, 0, 0x66};
    const auto forged = [&forger] {
        nd::Message message = Advertisement();
        message.destination = Address("ff02::1");
        message.flags = nd::flag_router | nd::flag_override;
        message.targetLinkAddresses = {forger};
        return message;
    };
    struct Frame {
        const char* what;
        std::vector<std::uint8_t> bytes;
        int interfaceIndex = 3;
        nd::MacAddress ethernetSource;
        bool vlanTagged = false;
        std::optional<nd::MacAddress> claimed;
    };
    nd::Message bare = forged();
    bare.targetLinkAddresses.clear();
    nd::Message pinned = forged();
    pinned.targetLinkAddresses = {router_mac};
    nd::Message other = forged();
    other.target = Address("fe80::9");
    nd::Message coded = forged();
    coded.code = 1;
    // A hop-by-hop header (padding only) before the ICMPv6 message.
    std::vector<std::uint8_t> extended = nd::Encode(forged());
    extended[6] = 0;
    extended[5] += 8;
    const std::vector<std::uint8_t> hopByHop = {58, 0, 1, 4, 0, 0, 0, 0};
    extended.insert(extended.begin() + nd::header_size, hopByHop.begin(), hopByHop.end());
    const std::vector<Frame> frames = {
        {"forged option", nd::Encode(forged()), 3, router_mac, false, forger},
        {"forged source, no option", nd::Encode(bare), 3, forger, false, forger},
        {"the pinned MAC itself", nd::Encode(pinned), 3, forger, false, std::nullopt},
        {"the pinned MAC as source", nd::Encode(bare), 3, router_mac, false, std::nullopt},
        {"another target", nd::Encode(other), 3, forger, false, std::nullopt},
        {"another link", nd::Encode(forged()), 4, forger, false, std::nullopt},
        {"VLAN-tagged", nd::Encode(forged()), 3, forger, true, std::nullopt},
        {"a solicitation", nd::Encode(nd::Solicitation(host, pin.address, false)), 3, forger, false,
         std::nullopt},
        {"code 1", nd::Encode(coded), 3, forger, false, std::nullopt},
        {"an extension header", extended, 3, forger, false, std::nullopt},
    };
    for (const Frame& frame : frames) {
        std::optional<nd::MacAddress> claimed;
        if (const auto message = nd::Decode(frame.bytes)) {
            const nd::Received received{*message, frame.interfaceIndex, PACKET_MULTICAST,
                                        frame.ethernetSource, frame.vlanTagged};
            claimed = nd::ClaimedMac(received, pin);
        }
        EXPECT_EQ(claimed, frame.claimed) << frame.what;
    }
}

// The filters run in the kernel on any socket: a local datagram pair carries crafted packets
// through them without any network.
class NdFilterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_), 0); }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }

    void Send(const nd::Message& message) {
        const std::vector<std::uint8_t> bytes = nd::Encode(message);
        ASSERT_EQ(send(fds_[0], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }

    // The targets of what passed, in order.
    std::vector<Ipv6Bytes> Passed() {
        std::vector<Ipv6Bytes> targets;
        std::array<std::uint8_t, 256> buffer{};
        for (;;) {
            const ssize_t length = recv(fds_[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (length < 0) {
                return targets;
            }
            const auto message = nd::Decode({buffer.data(), static_cast<std::size_t>(length)});
            targets.push_back(message ? message->target : Ipv6Bytes{});
        }
    }

    int fds_[2] = {-1, -1};
};

TEST_F(NdFilterTest, AdvertisementFilterPassesAdvertisementsOfHopLimit255AndCode0Only) {
    Core_SocketARP::arp::AttachFilter(fds_[1], nd::AdvertisementFilter());
    Send(Advertisement());
    nd::Message forwarded = Advertisement();
    forwarded.hopLimit = 64;
    Send(forwarded);
    nd::Message coded = Advertisement();
    coded.code = 1;
    Send(coded);
    Send(nd::Solicitation(host, Address("fe80::1"), false));
    nd::Message other = Advertisement();
    other.target = Address("fe80::9");
    Send(other);
    EXPECT_EQ(Passed(), (std::vector<Ipv6Bytes>{Address("fe80::1"), Address("fe80::9")}));
}

TEST_F(NdFilterTest, SolicitationFilterPassesSolicitationsForTheClaimedAddressOnly) {
    Core_SocketARP::arp::AttachFilter(fds_[1], nd::SolicitationFilter(Address("fe80::1")));
    Send(nd::Solicitation(host, Address("fe80::1"), false));
    Send(nd::Solicitation(host, Address("fe80::1:0:0:1"), false));
    Send(nd::Solicitation(host, Address("fe80::9"), true));
    Send(Advertisement());
    EXPECT_EQ(Passed(), std::vector<Ipv6Bytes>{Address("fe80::1")});
}

} // namespace
