// The resolver of the Linux stack: ARP for IPv4 gateways, Neighbor Discovery for IPv6 routers,
// behind one resolver and one descriptor for the monitor's wait.
#pragma once

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/NetworkStack.h"

#include <memory>
#include <vector>

namespace Core_SocketARP {

// Hands each request to the resolver of its address's family; collects from both. Its native
// handle is an epoll descriptor that holds each resolver's socket once that is made, so that
// one poll of it wakes for the answers of either.
class FamilyResolver final : public ArpResolver {
public:
    FamilyResolver();
    // For tests: resolvers of one's own.
    FamilyResolver(std::unique_ptr<ArpResolver> arp, std::unique_ptr<ArpResolver> nd);
    ~FamilyResolver() override;

    // The ARP resolver's: the keeper paces both alike.
    ResolverPace Pace() const override;
    void Expect(const std::vector<GatewayRequest>& requests) override;
    void Ask(const GatewayRequest& request) override;
    void Forget(std::uint32_t interfaceIndex, const std::string& gateway) override;
    std::vector<ArpEvent> Collect(bool& lost) override;
    bool Wait(std::chrono::milliseconds timeout) override;
    std::intptr_t NativeHandle() const override;

private:
    ArpResolver& For(const std::string& address);
    // Puts the resolver's descriptor into the epoll set once it has one.
    void Watch(const ArpResolver& resolver);

    std::unique_ptr<ArpResolver> arp_;
    std::unique_ptr<ArpResolver> nd_;
    Core_Common::ScopedFd epoll_;
    std::vector<std::intptr_t> watched_;
};

} // namespace Core_SocketARP
