// The monitor's reaction to a change of the default gateway, against the bare ARP round trip
// to that gateway, measured in the same run. Runs inside a network namespace whose one link
// has two gateways that answer ARP: see bench/route_change_bench.sh.
//   RouteChange_bench <gateway> <other-gateway> [benchmark flags]
// Each repetition of BM_RouteChangeToPinned replaces the default route by one through the
// other gateway and times until that gateway's PERMANENT entry is written; each repetition of
// BM_BareArpRoundTrip times one request and its reply on a socket opened beforehand.
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/NetworkStack_linux.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace arp = Core_SocketARP::arp;
namespace netlink = Core_SocketARP::netlink;
using Clock = std::chrono::steady_clock;

constexpr int repetitions = 60;
constexpr auto reaction_limit = std::chrono::seconds(5);

struct Lab {
    arp::LinkEndpoint link;
    std::array<std::uint32_t, 2> gateways{};
    std::array<std::string, 2> gatewayTexts;
};

Lab lab;

std::uint32_t ParseIp(const std::string& text) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text.c_str());
        std::exit(2);
    }
    return address.s_addr;
}

// The link of the default route, with what an ARP exchange on it needs.
std::optional<arp::LinkEndpoint> DefaultLink() {
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
                if (HoldsPermanent(static_cast<std::size_t>(length), address, linkIndex)) {
                    return true;
                }
            }
        }
    }

private:
    bool HoldsPermanent(std::size_t length, std::uint32_t address, int linkIndex) const {
        for (std::size_t offset = 0; length - offset >= sizeof(nlmsghdr);) {
            nlmsghdr header{};
            std::memcpy(&header, buffer_.data() + offset, sizeof header);
            if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) {
                return false;
            }
            netlink::Message message{header.nlmsg_type, header.nlmsg_flags, {}};
            message.payload.assign(
                buffer_.begin() + static_cast<std::ptrdiff_t>(offset) + NLMSG_HDRLEN,
                buffer_.begin() + static_cast<std::ptrdiff_t>(offset) + header.nlmsg_len);
            const auto neighbour = Core_SocketARP::rtnl::DecodeNeighbour(message);
            if (neighbour && neighbour->index == static_cast<std::uint32_t>(linkIndex) &&
                (neighbour->state & NUD_PERMANENT) != 0 && neighbour->destination.size() == 4 &&
                std::memcmp(neighbour->destination.data(), &address, 4) == 0) {
                return true;
            }
            offset += NLMSG_ALIGN(header.nlmsg_len);
        }
        return false;
    }

    Core_SocketARP::ScopedFd fd_;
    std::array<std::uint8_t, 16384> buffer_{};
};

void ReplaceDefaultRoute(std::uint32_t gateway, int linkIndex) {
    netlink::Request request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE);
    rtmsg header{};
    header.rtm_family = AF_INET;
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = RTPROT_BOOT;
    header.rtm_scope = RT_SCOPE_UNIVERSE;
    header.rtm_type = RTN_UNICAST;
    request.AddFamilyHeader(header);
    request.AddAttribute(RTA_GATEWAY, gateway);
    request.AddAttribute(RTA_OIF, static_cast<std::uint32_t>(linkIndex));
    netlink::Socket socket;
    socket.Transact(request);
}

double Percentile95(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// The gateway of the next change: the one that is not the default now.
int next_gateway = 1;

void BM_RouteChangeToPinned(benchmark::State& state) {
    static NeighbourWatch watch;
    for (auto _ : state) {
        const int target = next_gateway;
        next_gateway = 1 - next_gateway;
        watch.Drain();
        const auto start = Clock::now();
        ReplaceDefaultRoute(lab.gateways[target], lab.link.interfaceIndex);
        if (!watch.AwaitPermanent(lab.gateways[target], lab.link.interfaceIndex,
                                  start + reaction_limit)) {
            state.SkipWithError("the new gateway was not pinned in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

int next_round_trip = 0;

void BM_BareArpRoundTrip(benchmark::State& state) {
    static arp::PacketSocket socket(lab.link.interfaceIndex, arp::DropAllFilter());
    for (auto _ : state) {
        const std::uint32_t target = lab.gateways[next_round_trip];
        next_round_trip = 1 - next_round_trip;
        socket.SetFilter(arp::ReplyFilter(target));
        arp::Packet request;
        request.operation = arp::operation_request;
        request.senderMac = lab.link.mac;
        request.senderIp = lab.link.ip;
        request.targetIp = target;
        const auto start = Clock::now();
        socket.Send(request, lab.link.interfaceIndex, arp::broadcast_mac);
        for (;;) {
            const auto received = socket.Receive(start + std::chrono::seconds(1));
            if (!received) {
                state.SkipWithError("a gateway did not answer");
                return;
            }
            if (arp::IsAnswer(*received, lab.link, target)) {
                break;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

BENCHMARK(BM_BareArpRoundTrip)
    ->Iterations(1)
    ->Repetitions(repetitions)
    ->UseManualTime()
    ->ComputeStatistics("p95", Percentile95)
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RouteChangeToPinned)
    ->Iterations(1)
    ->Repetitions(repetitions)
    ->UseManualTime()
    ->ComputeStatistics("p95", Percentile95)
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMicrosecond);

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

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: RouteChange_bench <gateway> <other-gateway> [flags]\n");
        return 2;
    }
    lab.gatewayTexts = {argv[1], argv[2]};
    lab.gateways = {ParseIp(argv[1]), ParseIp(argv[2])};
    argv[2] = argv[0];
    argc -= 2;
    argv += 2;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    const auto link = DefaultLink();
    if (!link) {
        std::fprintf(stderr, "no default route here: run inside the lab\n");
        return 1;
    }
    lab.link = *link;
    ReplaceDefaultRoute(lab.gateways[0], lab.link.interfaceIndex);

    // The module's lines go to /dev/null; the report goes where standard output went.
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    std::ofstream report("/proc/self/fd/" + std::to_string(console), std::ios::app);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(sink, STDOUT_FILENO);
    close(sink);

    using Core_SocketARP::InterfaceSocketARP;
    InterfaceSocketARP::Create();
    InterfaceSocketARP::Start();

    AggregateReporter reporter;
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    InterfaceSocketARP::Stop();
    InterfaceSocketARP::Destroy();
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    benchmark::Shutdown();

    auto& reaction = reporter.seconds["BM_RouteChangeToPinned"];
    auto& trip = reporter.seconds["BM_BareArpRoundTrip"];
    if (!reaction.contains("median") || !trip.contains("median")) {
        std::fprintf(stderr, "a benchmark failed\n");
        return 1;
    }
    const double limit = trip["median"] + 2e-3;
    std::printf("changes=%d reaction median=%.1f us p95=%.1f us; ARP round trip median=%.1f us "
                "p95=%.1f us; ratio of medians reaction/round trip=%.2f; target median <= round "
                "trip + 2 ms = %.1f us: %s\n",
                repetitions, reaction["median"] * 1e6, reaction["p95"] * 1e6, trip["median"] * 1e6,
                trip["p95"] * 1e6, reaction["median"] / trip["median"], limit * 1e6,
                reaction["median"] <= limit ? "within target" : "OVER TARGET");
    return 0;
}
