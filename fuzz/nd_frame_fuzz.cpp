// The Neighbor Discovery packet decoding and the strict check that a packet answers a
// solicitation, on any packet. Input: the link (interface index, MAC, link-local address), the
// router asked for, what the kernel tells of the frame (interface, packet type, Ethernet source,
// VLAN tag), then the packet (what follows the Ethernet header).
#include "FuzzInput.h"

#include "Core_SocketARP/linux/NdPacket_linux.h"

#include <linux/if_packet.h>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace nd = Core_SocketARP::nd;
    tw_fuzz::Input input(data, size);
    nd::LinkEndpoint link;
    link.interfaceIndex = input.Take<std::int32_t>();
    link.mac = input.Take<nd::MacAddress>();
    link.address = input.Take<Core_SocketARP::Ipv6Bytes>();
    const auto router = input.Take<Core_SocketARP::Ipv6Bytes>();
    nd::Received received;
    received.interfaceIndex = input.Take<std::int32_t>();
    received.packetType = input.Take<std::uint8_t>();
    received.ethernetSource = input.Take<nd::MacAddress>();
    received.vlanTagged = (input.Take<std::uint8_t>() & 1) != 0;
    const auto packet = input.Rest();

    const auto message = nd::Decode(packet);
    if (!message) {
        return 0;
    }
    // What was decoded encodes to a packet that decodes the same.
    tw_fuzz::Require(nd::Decode(nd::Encode(*message)) == *message);
    received.message = *message;
    if (const auto answer = nd::AcceptAdvertisement(received, link, router)) {
        const nd::MacAddress& source = received.ethernetSource;
        tw_fuzz::Require(
            answer->mac == source && message->type == nd::type_advertisement &&
            message->code == 0 && message->hopLimit == nd::hop_limit && message->source == router &&
            message->target == router && message->destination == link.address &&
            (message->flags & nd::flag_solicited) != 0 &&
            message->targetLinkAddresses.size() == 1 && message->targetLinkAddresses[0] == source &&
            received.interfaceIndex == link.interfaceIndex && received.packetType == PACKET_HOST &&
            !received.vlanTagged && (source[0] & 1) == 0 && source != nd::MacAddress{} &&
            answer->router == ((message->flags & nd::flag_router) != 0));
    }
    return 0;
}
