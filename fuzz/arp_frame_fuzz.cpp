// The ARP frame decoding and the check that a frame answers a request, on any frame. Input:
// the link (interface index, MAC, IPv4 address), the address asked for and the interface the
// frame came in on, then the frame.
#include "FuzzInput.h"

#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace arp = Core_SocketARP::arp;
    tw_fuzz::Input input(data, size);
    arp::LinkEndpoint link;
    link.interfaceIndex = input.Take<std::int32_t>();
    link.mac = input.Take<arp::MacAddress>();
    link.ip = input.Take<std::uint32_t>();
    const auto target = input.Take<std::uint32_t>();
    const auto arrivedOn = input.Take<std::int32_t>();
    const auto frame = input.Rest();

    const auto packet = arp::Decode(frame);
    if (!packet) {
        return 0;
    }
    // What was decoded is what the frame holds.
    const auto encoded = arp::Encode(*packet);
    tw_fuzz::Require(std::equal(encoded.begin(), encoded.end(), frame.begin()));
    if (arp::IsAnswer(arp::Received{*packet, arrivedOn}, link, target)) {
        tw_fuzz::Require(packet->operation == arp::operation_reply && packet->senderIp == target &&
                         arrivedOn == link.interfaceIndex);
    }
    return 0;
}
