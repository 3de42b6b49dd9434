// The netlink reply readers (with the kernel's words of errors) and every rtnetlink decoder
// (links, addresses, neighbours, default routes and the nexthop objects they name), on
// datagrams as the kernel would send them. Input: a 32-bit peer address (for the choice of a
// source address) and a link index (for the gateway lookup's answer), then datagrams, each
// with a 16-bit length in front.
// Replies belong to sequence 1 of port 0; a batch of four requests, to sequences 1 to 4. Every
// datagram is also read as notifications of links, neighbours and addresses.
#include "FuzzInput.h"

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/RouteChanges_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

using namespace Core_SocketARP;

void Decode(const std::vector<netlink::Message>& messages, std::uint32_t peer,
            std::uint32_t linkIndex) {
    std::vector<rtnl::AddressRecord> addresses;
    std::map<std::uint32_t, rtnl::NexthopRecord> nexthops;
    std::vector<std::uint32_t> objects;
    for (const netlink::Message& message : messages) {
        if (const auto link = rtnl::DecodeLink(message)) {
            rtnl::TakesArp(*link);
        }
        if (const auto address = rtnl::DecodeAddress(message)) {
            addresses.push_back(*address);
        }
        if (const auto neighbour = rtnl::DecodeNeighbour(message)) {
            tw_fuzz::Require(neighbour->destination.size() <= message.payload.size() &&
                             neighbour->hardwareAddress.size() <= message.payload.size());
        }
        if (const auto route = rtnl::DefaultRouteOf(message, linkIndex)) {
            // Each gateway once, none of them 0.
            tw_fuzz::Require(std::find(route->gateways.begin(), route->gateways.end(), 0u) ==
                             route->gateways.end());
            if (route->nexthopId != 0) {
                objects.push_back(route->nexthopId);
            }
        }
        if (auto nexthop = rtnl::DecodeNexthop(message)) {
            tw_fuzz::Require(nexthop->members.size() <= message.payload.size() / 8);
            nexthops.insert_or_assign(nexthop->id, std::move(*nexthop));
        }
    }
    for (const std::uint32_t id : objects) {
        const rtnl::DefaultRoute route = rtnl::NexthopRoute(id, nexthops, linkIndex);
        tw_fuzz::Require(route.gateways.size() <= nexthops.size());
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
    const auto linkIndex = input.Take<std::uint32_t>();
    netlink::ReplyReader reader(1, 0);
    netlink::BatchReader batch(1, 4, 0);
    bool replyDone = false;
    bool batchDone = false;
    ChangeReport report;
    while (!input.Empty()) {
        const auto datagram = input.TakeChunk();
        AddToReport(datagram, report);
        try {
            replyDone = replyDone || reader.Feed(datagram);
        } catch (SystemErrorCode code) {
            tw_fuzz::Require(code != 0); // a kernel error is an errno, never "no error"
            replyDone = true;
        }
        try {
            batchDone = batchDone || batch.Feed(datagram);
        } catch (SystemErrorCode code) {
            tw_fuzz::Require(code != 0);
            batchDone = true;
        }
    }
    Decode(reader.Messages(), peer, linkIndex);
    tw_fuzz::Require(reader.KernelMessage().size() <= size);
    for (const netlink::GetAnswer& answer : batch.Answers()) {
        tw_fuzz::Require(!answer.message || answer.error == 0);
        // The kernel's words come only with an error.
        tw_fuzz::Require(answer.kernelMessage.empty() || answer.error != 0);
    }
    return 0;
}
