#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include "Ipv4Text.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

namespace arp = Core_SocketARP::arp;

using tw_test::Ip;

const arp::MacAddress gateway_mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const arp::MacAddress host_mac = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};

arp::Packet Reply(const char* sender) {
    arp::Packet packet;
    packet.operation = arp::operation_reply;
    packet.senderMac = gateway_mac;
    packet.senderIp = Ip(sender);
    packet.targetMac = host_mac;
    packet.targetIp = Ip("10.0.0.2");
    return packet;
}

TEST(ArpPacket, EncodesTheEthernetIpv4LayoutAndDecodesItBack) {
    const auto bytes = arp::Encode(Reply("10.0.0.1"));
    const std::array<std::uint8_t, 8> head = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x02};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), bytes.begin() + 8));
    const std::array<std::uint8_t, 4> sender = {10, 0, 0, 1};
    EXPECT_TRUE(std::equal(sender.begin(), sender.end(), bytes.begin() + 14));

    const auto decoded = arp::Decode(bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->operation, arp::operation_reply);
    EXPECT_EQ(decoded->senderMac, gateway_mac);
    EXPECT_EQ(decoded->senderIp, Ip("10.0.0.1"));
    EXPECT_EQ(decoded->targetMac, host_mac);
    EXPECT_EQ(decoded->targetIp, Ip("10.0.0.2"));
}

TEST(ArpPacket, DecodeRefusesOtherHardwareOrProtocolAndShortPackets) {
    auto bytes = arp::Encode(Reply("10.0.0.1"));
    EXPECT_FALSE(arp::Decode(std::span<const std::uint8_t>(bytes.data(), 27)));
    auto longHardware = bytes;
    longHardware[4] = 8;
    EXPECT_FALSE(arp::Decode(longHardware));
    auto otherProtocol = bytes;
    otherProtocol[2] = 0x86;
    otherProtocol[3] = 0xdd;
    EXPECT_FALSE(arp::Decode(otherProtocol));
    auto otherHardware = bytes;
    otherHardware[1] = 6;
    EXPECT_FALSE(arp::Decode(otherHardware));
}

// The filters run in the kernel on any socket: a local datagram pair carries crafted packets
// through them without any network.
class ArpFilterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds_), 0); }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }

    void Send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(send(fds_[0], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    void Send(const arp::Packet& packet) {
        const auto bytes = arp::Encode(packet);
        Send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }

    // The sender addresses of what passed, in order.
    std::vector<std::uint32_t> Passed() {
        std::vector<std::uint32_t> senders;
        std::array<std::uint8_t, 64> buffer{};
        for (;;) {
            const ssize_t length = recv(fds_[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (length < 0) {
                return senders;
            }
            const auto packet = arp::Decode({buffer.data(), static_cast<std::size_t>(length)});
            senders.push_back(packet ? packet->senderIp : 0);
        }
    }

    int fds_[2] = {-1, -1};
};

TEST_F(ArpFilterTest, ReplyFilterPassesOnlyRepliesFromTheGateway) {
    arp::AttachFilter(fds_[1], arp::ReplyFilter(Ip("10.0.0.1")));
    Send(Reply("10.0.0.1"));
    Send(Reply("10.0.0.66"));
    arp::Packet request = Reply("10.0.0.1");
    request.operation = arp::operation_request;
    Send(request);
    auto longHardware = arp::Encode(Reply("10.0.0.1"));
    longHardware[4] = 8;
    Send(std::vector<std::uint8_t>(longHardware.begin(), longHardware.end()));
    Send(std::vector<std::uint8_t>{0x45, 0x00});
    arp::Packet last = Reply("10.0.0.1");
    last.targetIp = Ip("10.0.0.3");
    Send(last);

    EXPECT_EQ(Passed(), (std::vector<std::uint32_t>{Ip("10.0.0.1"), Ip("10.0.0.1")}));
}

TEST_F(ArpFilterTest, RequestFilterPassesOnlyRequestsForTheClaimedAddress) {
    arp::AttachFilter(fds_[1], arp::RequestFilter(Ip("10.0.0.1")));
    arp::Packet request;
    request.operation = arp::operation_request;
    request.senderIp = Ip("10.0.0.2");
    request.targetIp = Ip("10.0.0.1");
    Send(request);
    arp::Packet other = request;
    other.targetIp = Ip("10.0.0.9");
    other.senderIp = Ip("10.0.0.8");
    Send(other);
    Send(Reply("10.0.0.1"));

    EXPECT_EQ(Passed(), std::vector<std::uint32_t>{Ip("10.0.0.2")});
}

// Every way a frame can fail to be the gateway's answer to this host's request on this link,
// each from the one acceptable frame with one thing changed.
TEST(ArpAnswer, OnlyAStrictReplyToThisLinksOwnRequestIsAccepted) {
    const arp::LinkEndpoint link{3, host_mac, Ip("10.0.0.2")};
    const arp::Received answer{Reply("10.0.0.1"), 3, PACKET_HOST, gateway_mac, false};
    ASSERT_EQ(arp::AcceptAnswer(answer, link, Ip("10.0.0.1")), gateway_mac);

    const std::vector<std::pair<const char*, void (*)(arp::Received&)>> variants = {
        {"request", [](arp::Received& r) { r.packet.operation = arp::operation_request; }},
        {"other sender", [](arp::Received& r) { r.packet.senderIp = Ip("10.0.0.66"); }},
        {"target IP not ours", [](arp::Received& r) { r.packet.targetIp = Ip("10.0.0.3"); }},
        {"target MAC not ours", [](arp::Received& r) { r.packet.targetMac[5] ^= 1; }},
        {"other link", [](arp::Received& r) { r.interfaceIndex = 4; }},
        {"broadcast", [](arp::Received& r) { r.packetType = PACKET_BROADCAST; }},
        {"multicast", [](arp::Received& r) { r.packetType = PACKET_MULTICAST; }},
        {"for another host", [](arp::Received& r) { r.packetType = PACKET_OTHERHOST; }},
        {"VLAN tag", [](arp::Received& r) { r.vlanTagged = true; }},
        {"Ethernet source differs",
         [](arp::Received& r) { r.ethernetSource = {0x02, 0x66, 0x66, 0x66, 0x66, 0x66}; }},
        {"multicast sender",
         [](arp::Received& r) { r.packet.senderMac[0] = r.ethernetSource[0] = 0x03; }},
        {"all-zero sender",
         [](arp::Received& r) { r.packet.senderMac = r.ethernetSource = arp::MacAddress{}; }},
    };
    for (const auto& [what, change] : variants) {
        arp::Received frame = answer;
        change(frame);
        EXPECT_FALSE(arp::AcceptAnswer(frame, link, Ip("10.0.0.1"))) << what;
    }
    // The answer to a probe (a link without an address of its own) is sent to 0.0.0.0.
    arp::Received toProbe = answer;
    toProbe.packet.targetIp = 0;
    EXPECT_EQ(arp::AcceptAnswer(toProbe, arp::LinkEndpoint{3, host_mac, 0}, Ip("10.0.0.1")),
              gateway_mac);
}

} // namespace
