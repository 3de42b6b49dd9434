#include "Core_SocketARP/linux/FamilyResolver_linux.h"

#include "Core_SocketARP/Ipv6Address.h"
#include "Core_SocketARP/linux/NdResolver_linux.h"
#include "Core_SocketARP/linux/PacketArpResolver_linux.h"
#include "Core_SocketARP/linux/PollDeadline_linux.h"

#include <poll.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>

namespace Core_SocketARP {

FamilyResolver::FamilyResolver()
    : FamilyResolver(std::make_unique<PacketArpResolver>(), std::make_unique<PacketNdResolver>()) {}

FamilyResolver::FamilyResolver(std::unique_ptr<ArpResolver> arp, std::unique_ptr<ArpResolver> nd)
    : arp_(std::move(arp)), nd_(std::move(nd)), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    // Without an epoll descriptor the monitor's wait has none to watch: answers are then taken
    // at the keeper's deadlines, and Wait polls both resolvers itself.
}

FamilyResolver::~FamilyResolver() = default;

ResolverPace FamilyResolver::Pace() const { return arp_->Pace(); }

ArpResolver& FamilyResolver::For(const std::string& address) {
    return IsIpv6Text(address) ? *nd_ : *arp_;
}

void FamilyResolver::Watch(const ArpResolver& resolver) {
    const std::intptr_t fd = resolver.NativeHandle();
    if (fd < 0 || !epoll_ || std::find(watched_.begin(), watched_.end(), fd) != watched_.end()) {
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = static_cast<int>(fd);
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, static_cast<int>(fd), &event) == 0) {
        watched_.push_back(fd);
    }
}

void FamilyResolver::Expect(const std::vector<GatewayRequest>& requests) {
    std::vector<GatewayRequest> ipv4;
    std::vector<GatewayRequest> ipv6;
    for (const GatewayRequest& request : requests) {
        (IsIpv6Text(request.gateway) ? ipv6 : ipv4).push_back(request);
    }
    // A family with nothing to ask opens nothing.
    if (!ipv4.empty()) {
        arp_->Expect(ipv4);
        Watch(*arp_);
    }
    if (!ipv6.empty()) {
        nd_->Expect(ipv6);
        Watch(*nd_);
    }
}

void FamilyResolver::Ask(const GatewayRequest& request) {
    ArpResolver& resolver = For(request.gateway);
    resolver.Ask(request);
    Watch(resolver);
}

void FamilyResolver::Forget(std::uint32_t interfaceIndex, const std::string& gateway) {
    For(gateway).Forget(interfaceIndex, gateway);
}

std::vector<ArpEvent> FamilyResolver::Collect(bool& lost) {
    bool lostArp = false;
    bool lostNd = false;
    std::vector<ArpEvent> events = arp_->Collect(lostArp);
    std::vector<ArpEvent> more = nd_->Collect(lostNd);
    events.insert(events.end(), std::make_move_iterator(more.begin()),
                  std::make_move_iterator(more.end()));
    lost = lostArp || lostNd;
    return events;
}

bool FamilyResolver::Wait(std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    if (epoll_ && !watched_.empty()) {
        fds.push_back({epoll_.get(), POLLIN, 0});
    } else {
        for (const ArpResolver* resolver : {arp_.get(), nd_.get()}) {
            if (const auto fd = resolver->NativeHandle(); fd >= 0) {
                fds.push_back({static_cast<int>(fd), POLLIN, 0});
            }
        }
    }
    if (fds.empty()) {
        return false; // nothing was ever asked: nothing can come
    }
    return PollUntilReady(fds, timeout);
}

std::intptr_t FamilyResolver::NativeHandle() const { return epoll_ ? epoll_.get() : -1; }

} // namespace Core_SocketARP
