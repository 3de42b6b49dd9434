// The Neighbor Solicitations of the passes for IPv6 routers, on one AF_PACKET socket for every
// link.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/NdPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Core_SocketARP {

// One packet socket for every link, made at the first request and kept, its filter passing
// advertisements only while something is asked. Each answer is checked against the
// solicitation of its own link (nd::AcceptAdvertisement). A solicitation goes from the link's
// own link-local address (the request's source, or the link's current one), to the router's
// solicited-node group, or to the router's own hardware and IPv6 addresses for a request to one
// hardware address. Paced as the ARP resolver is; a request that nobody answers fails with
// EHOSTUNREACH.
class PacketNdResolver final : public ArpResolver {
public:
    PacketNdResolver();
    ~PacketNdResolver() override;

    ResolverPace Pace() const override;
    void Ask(const GatewayRequest& request) override;
    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override;
    std::vector<ArpEvent> Collect(bool& lost) override;
    bool Wait(std::chrono::milliseconds timeout) override;
    std::intptr_t NativeHandle() const override;

    static constexpr int receive_buffer_bytes = 1 << 20;
    static constexpr int collect_limit = 4096;

private:
    struct Asked {
        nd::LinkEndpoint link;
        Ipv6Bytes router{};
        std::string text;
    };

    void OpenSocket();

    std::unique_ptr<nd::NdSocket> socket_;
    std::unique_ptr<netlink::Socket> netlink_;
    std::vector<Asked> asked_;
    bool filtering_ = false; // the socket's filter passes advertisements
};

} // namespace Core_SocketARP
