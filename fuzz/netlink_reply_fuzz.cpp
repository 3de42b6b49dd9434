// The netlink reply reader and every rtnetlink decoder, on datagrams as the kernel would send
// them. Input: a 32-bit peer address (for the choice of a source address), then datagrams,
// each with a 16-bit length in front. Replies belong to sequence 1 of port 0.
#include "FuzzInput.h"

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/NetworkStack_linux.h"

#include <vector>

namespace {

using namespace Core_SocketARP;

void Decode(const std::vector<netlink::Message>& messages, std::uint32_t peer) {
    std::vector<rtnl::AddressRecord> addresses;
    for (const netlink::Message& message : messages) {
        if (const auto link = rtnl::DecodeLink(message)) {
            rtnl::TakesArp(*link);
        }
        if (const auto address = rtnl::DecodeAddress(message)) {
            addresses.push_back(*address);
        }
        if (const auto neighbour = rtnl::DecodeNeighbour(message)) {
            tw_fuzz::Require(neighbour->destination.size() <= message.payload.size());
        }
    }
    const std::vector<rtnl::NextHop> hops = rtnl::DefaultNextHops(messages);
    for (const rtnl::NextHop& hop : hops) {
        tw_fuzz::Require(!rtnl::FirstGateway(hops, hop.outputIndex).empty());
    }
    for (const rtnl::AddressRecord& address : addresses) {
        if (const auto source = rtnl::SourceAddressFor(addresses, address.index, peer)) {
            tw_fuzz::Require(*source != 0);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tw_fuzz::Input input(data, size);
    const auto peer = input.Take<std::uint32_t>();
    netlink::ReplyReader reader(1, 0);
    try {
        while (!input.Empty()) {
            if (reader.Feed(input.TakeChunk())) {
                break;
            }
        }
    } catch (SystemErrorCode code) {
        tw_fuzz::Require(code != 0); // a kernel error is an errno, never "no error"
    }
    Decode(reader.Messages(), peer);
    return 0;
}
