// The ARP frame decoding and the strict check that a frame answers a request, on any frame.
// Input: the link (interface index, MAC, IPv4 address), the address asked for, what the kernel
// tells of the frame (interface, packet type, Ethernet source, VLAN tag), then the frame.
#include "FuzzInput.h"

#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include <linux/if_packet.h>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace arp = Core_SocketARP::arp;
    tw_fuzz::Input input(data, size);
    arp::LinkEndpoint link;
    link.interfaceIndex = input.Take<std::int32_t>();
    link.mac = input.Take<arp::MacAddress>();
    link.ip = input.Take<std::uint32_t>();
    const auto target = input.Take<std::uint32_t>();
    arp::Received received;
    received.interfaceIndex = input.Take<std::int32_t>();
    received.packetType = input.Take<std::uint8_t>();
    received.ethernetSource = input.Take<arp::MacAddress>();
    received.vlanTagged = (input.Take<std::uint8_t>() & 1) != 0;
    const auto frame = input.Rest();

    const auto packet = arp::Decode(frame);
    if (!packet) {
        return 0;
    }
    // What was decoded is what the frame holds.
    const auto encoded = arp::Encode(*packet);
    tw_fuzz::Require(std::equal(encoded.begin(), encoded.end(), frame.begin()));
    received.packet = *packet;
    if (const auto mac = arp::AcceptAnswer(received, link, target)) {
        const arp::MacAddress& sender = packet->senderMac;
        tw_fuzz::Require(*mac == sender && packet->operation == arp::operation_reply &&
                         packet->senderIp == target && packet->targetIp == link.ip &&
                         packet->targetMac == link.mac &&
                         received.interfaceIndex == link.interfaceIndex &&
                         received.packetType == PACKET_HOST && !received.vlanTagged &&
                         received.ethernetSource == sender && (sender[0] & 1) == 0 &&
                         sender != arp::MacAddress{});
    }
    return 0;
}
