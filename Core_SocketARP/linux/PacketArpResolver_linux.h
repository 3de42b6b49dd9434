// The ARP requests of the passes on one AF_PACKET socket for every link.
#pragma once

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Core_SocketARP {

// One packet socket for every link, made at the first request and kept: closing a packet
// socket waits for an RCU grace period (some 10 ms). Each answer is checked against the
// request of its own link (arp::AcceptAnswer). A request that nobody answers fails with
// EHOSTUNREACH.
class PacketArpResolver final : public ArpResolver {
public:
    PacketArpResolver();
    ~PacketArpResolver() override;

    static constexpr int arp_tries = 3;
    static constexpr std::chrono::milliseconds arp_interval{1000};

    // The interval between tries that a setting of TARNWICK_ARP_INTERVAL_MS asks for: a
    // decimal number of milliseconds from 10 to 1000. Anything else, or no setting, leaves
    // arp_interval. For lab scenarios with silent gateways, which need not wait whole seconds.
    static std::chrono::milliseconds ArpIntervalFrom(const char* setting);

    ResolverPace Pace() const override;
    void Expect(const std::vector<GatewayRequest>& requests) override;
    void Ask(const GatewayRequest& request) override;
    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override;
    std::vector<ArpEvent> Collect(bool& lost) override;
    bool Wait(std::chrono::milliseconds timeout) override;
    std::intptr_t NativeHandle() const override;

    // The socket's receive buffer: room for a burst of answers while the monitor is busy.
    static constexpr int receive_buffer_bytes = 1 << 20;
    // Frames read by one Collect at most, so that a flood cannot hold the monitor there.
    static constexpr int collect_limit = 4096;

private:
    struct Asked {
        arp::LinkEndpoint link;
        std::uint32_t gateway = 0;
        std::string text;
    };

    void OpenSocket();
    // The filter passes the answers of every gateway asked, and of `senders`.
    void UpdateFilter(std::vector<std::uint32_t> senders);

    std::unique_ptr<arp::PacketSocket> socket_;
    std::unique_ptr<netlink::Socket> netlink_;
    std::vector<Asked> asked_;
    std::vector<std::uint32_t> filtered_; // the senders the socket's filter passes
};

} // namespace Core_SocketARP
