// What the lab's whole-process benchmarks share: the link of the default route and a watch
// on the namespace's neighbour events. Linux, inside a lab namespace.
#pragma once

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/Rtnetlink_linux.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lab_bench {

namespace arp = Core_SocketARP::arp;
namespace netlink = Core_SocketARP::netlink;
using Clock = std::chrono::steady_clock;

inline // The link of the default route, with what an ARP exchange on it needs.
    std::optional<arp::LinkEndpoint>
    DefaultLink() {
    std::optional<std::uint32_t> index;
    for (const auto& adapter : Core_SocketARP::SystemNetworkStack().ListAdapters()) {
        if (!adapter.gateway.empty()) {
            index = adapter.index;
            break;
        }
    }
    if (!index) {
        return std::nullopt;
    }
    arp::LinkEndpoint link;
    link.interfaceIndex = static_cast<int>(*index);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || if_nametoindex(entry->ifa_name) != *index) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_INET && link.ip == 0) {
            link.ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        } else if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* packet = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            std::memcpy(link.mac.data(), packet->sll_addr, link.mac.size());
        }
    }
    freeifaddrs(list);
    return link;
}

// Neighbour events of the namespace: a socket in RTNLGRP_NEIGH.
class NeighbourWatch {
public:
    NeighbourWatch()
        : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)) {
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        const int group = RTNLGRP_NEIGH;
        if (!fd_ || ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) ||
            ::setsockopt(fd_.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group)) {
            std::perror("neighbour watch");
            std::exit(1);
        }
    }

    void Drain() {
        while (::recv(fd_.get(), buffer_.data(), buffer_.size(), 0) > 0) {
        }
    }

    // Blocks until the address's entry on the link is written PERMANENT; false at the deadline.
    bool AwaitPermanent(std::uint32_t address, int linkIndex, Clock::time_point deadline) {
        return AwaitPermanent(std::vector<std::uint32_t>{address}, linkIndex, deadline);
    }

    // Blocks until every address's entry on the link has been written PERMANENT; false at the
    // deadline.
    bool AwaitPermanent(const std::vector<std::uint32_t>& addresses, int linkIndex,
                        Clock::time_point deadline) {
        std::vector<std::vector<std::uint8_t>> travelling;
        for (const std::uint32_t address : addresses) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
            travelling.emplace_back(bytes, bytes + sizeof address);
        }
        return AwaitPermanent(std::move(travelling), linkIndex, deadline);
    }

    // The same for one address of either family, as it travels (4 or 16 bytes).
    bool AwaitPermanent(const std::vector<std::uint8_t>& address, int linkIndex,
                        Clock::time_point deadline) {
        return AwaitPermanent(std::vector<std::vector<std::uint8_t>>{address}, linkIndex, deadline);
    }

    bool AwaitPermanent(std::vector<std::vector<std::uint8_t>> addresses, int linkIndex,
                        Clock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd entry{fd_.get(), POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            ssize_t length = 0;
            while ((length = ::recv(fd_.get(), buffer_.data(), buffer_.size(), 0)) > 0) {
                std::erase_if(addresses, [&](const std::vector<std::uint8_t>& address) {
                    return HoldsPermanent(static_cast<std::size_t>(length), address, linkIndex);
                });
                if (addresses.empty()) {
                    return true;
                }
            }
        }
    }

private:
    bool HoldsPermanent(std::size_t length, const std::vector<std::uint8_t>& address,
                        int linkIndex) const {
        const auto pinned = [&](const nlmsghdr& header, std::span<const std::uint8_t> payload) {
            const auto neighbour =
                Core_SocketARP::rtnl::DecodeNeighbour(netlink::MessageOf(header, payload));
            return neighbour && neighbour->index == static_cast<std::uint32_t>(linkIndex) &&
                   (neighbour->state & NUD_PERMANENT) != 0 && neighbour->destination == address;
        };
        try {
            return netlink::ForEachMessage(std::span(buffer_.data(), length), pinned);
        } catch (Core_SocketARP::SystemErrorCode) {
            return false; // a message that does not fit ends the datagram
        }
    }

    Core_SocketARP::ScopedFd fd_;
    std::array<std::uint8_t, 16384> buffer_{};
};

inline double Percentile95(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// Keeps each benchmark's median and 95th percentile of real time, in seconds.
class AggregateReporter final : public benchmark::ConsoleReporter {
public:
    AggregateReporter() : ConsoleReporter(OO_Tabular) {} // no colour codes in saved output

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && !run.error_occurred) {
                seconds[run.run_name.function_name][run.aggregate_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
    }

    std::map<std::string, std::map<std::string, double>> seconds;
};

// Times one ARP request to the target and its reply on an open socket whose filter lets that
// reply in; nothing when no reply comes within a second.
inline std::optional<double> ArpRoundTripSeconds(arp::PacketSocket& socket,
                                                 const arp::LinkEndpoint& link,
                                                 std::uint32_t target) {
    arp::Packet request;
    request.operation = arp::operation_request;
    request.senderMac = link.mac;
    request.senderIp = link.ip;
    request.targetIp = target;
    const auto start = Clock::now();
    socket.Send(request, link.interfaceIndex, arp::broadcast_mac);
    for (;;) {
        const auto received = socket.Receive(start + std::chrono::seconds(1));
        if (!received) {
            return std::nullopt;
        }
        if (arp::AcceptAnswer(*received, link, target)) {
            return std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
}

// A benchmark timed by hand once per repetition, reported as aggregates with the 95th
// percentile.
inline void Repeated(benchmark::internal::Benchmark* benchmark, int repetitions) {
    benchmark->Iterations(1)
        ->Repetitions(repetitions)
        ->UseManualTime()
        ->ComputeStatistics("p95", Percentile95)
        ->ReportAggregatesOnly()
        ->Unit(benchmark::kMicrosecond);
}

} // namespace lab_bench
