// The monitor's reaction to a change of the default gateway, against the bare ARP round trip
// to that gateway, measured in the same run. Runs inside a network namespace whose one link
// has two gateways that answer ARP: see bench/route_change_bench.sh.
//   RouteChange_bench <gateway> <other-gateway> [benchmark flags]
// Each repetition of BM_RouteChangeToPinned replaces the default route by one through the
// other gateway and times until that gateway's PERMANENT entry is written; each repetition of
// BM_MultipathChangeToPinned replaces a route through one gateway by a multipath route through
// both and times until both entries are written PERMANENT; each repetition of
// BM_DeletedPinToPinned deletes the pinned entry, as an administrator's `ip neigh del` would,
// and times until it is pinned again; each repetition of BM_BareArpRoundTrip times one request
// and its reply on a socket opened beforehand.
#include "Core_SocketARP/GatewayKeeper.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
#include "Core_SocketARP/linux/NetworkStack_linux.h"
#include "bench/LabBench.h"

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
#include <thread>
#include <vector>

namespace {

namespace arp = Core_SocketARP::arp;
namespace netlink = Core_SocketARP::netlink;
using lab_bench::AggregateReporter;
using lab_bench::Clock;
using lab_bench::DefaultLink;
using lab_bench::NeighbourWatch;

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

// A default route of both gateways at once (multipath): each is a gateway of the link.
void ReplaceDefaultRouteByBoth(int linkIndex) {
    netlink::Request request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE);
    rtmsg header{};
    header.rtm_family = AF_INET;
    header.rtm_table = RT_TABLE_MAIN;
    header.rtm_protocol = RTPROT_BOOT;
    header.rtm_scope = RT_SCOPE_UNIVERSE;
    header.rtm_type = RTN_UNICAST;
    request.AddFamilyHeader(header);
    std::vector<std::uint8_t> hops;
    for (const std::uint32_t gateway : lab.gateways) {
        rtnexthop hop{};
        hop.rtnh_len = static_cast<unsigned short>(RTNH_LENGTH(RTA_LENGTH(sizeof gateway)));
        hop.rtnh_ifindex = linkIndex;
        rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(sizeof gateway)), RTA_GATEWAY};
        const std::size_t at = hops.size();
        hops.resize(at + RTNH_ALIGN(hop.rtnh_len), 0);
        std::memcpy(hops.data() + at, &hop, sizeof hop);
        std::memcpy(hops.data() + at + RTNH_LENGTH(0), &attribute, sizeof attribute);
        std::memcpy(hops.data() + at + RTNH_LENGTH(0) + RTA_LENGTH(0), &gateway, sizeof gateway);
    }
    request.AddAttribute(RTA_MULTIPATH, hops.data(), hops.size());
    netlink::Socket socket;
    socket.Transact(request);
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

void BM_DeletedPinToPinned(benchmark::State& state) {
    static NeighbourWatch watch;
    static Core_SocketARP::RtnetlinkNetworkStack stack;
    const std::uint32_t pinned = lab.gateways[1 - next_gateway];
    char pinnedText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &pinned, pinnedText, sizeof pinnedText);
    for (auto _ : state) {
        // Spaced beyond the pin's conflict window, so that each repair resolves the gateway
        // anew rather than writing back the pin of an open window.
        std::this_thread::sleep_for(Core_SocketARP::GatewayKeeper::conflict_window +
                                    std::chrono::milliseconds(50));
        watch.Drain();
        const auto start = Clock::now();
        stack.DeleteArpEntry(lab.link.interfaceIndex, pinnedText);
        if (!watch.AwaitPermanent(pinned, lab.link.interfaceIndex, start + reaction_limit)) {
            state.SkipWithError("the deleted pin was not written again in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

// From a route through the one gateway (set up untimed) to a multipath route through both: until
// both are pinned.
void BM_MultipathChangeToPinned(benchmark::State& state) {
    static NeighbourWatch watch;
    const std::vector<std::uint32_t> both(lab.gateways.begin(), lab.gateways.end());
    for (auto _ : state) {
        const int single = next_gateway;
        next_gateway = 1 - next_gateway;
        watch.Drain();
        ReplaceDefaultRoute(lab.gateways[single], lab.link.interfaceIndex);
        if (!watch.AwaitPermanent(lab.gateways[single], lab.link.interfaceIndex,
                                  Clock::now() + reaction_limit)) {
            state.SkipWithError("the one gateway was not pinned in time");
            return;
        }
        // The pass of the route through the one gateway has ended by the time the multipath
        // route comes: its last line follows its pins at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        watch.Drain();
        const auto start = Clock::now();
        ReplaceDefaultRouteByBoth(lab.link.interfaceIndex);
        if (!watch.AwaitPermanent(both, lab.link.interfaceIndex, start + reaction_limit)) {
            state.SkipWithError("the two gateways were not pinned in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    // The next benchmark starts from a route through one gateway, as it expects.
    next_gateway = 1;
    ReplaceDefaultRoute(lab.gateways[0], lab.link.interfaceIndex);
    watch.AwaitPermanent(lab.gateways[0], lab.link.interfaceIndex, Clock::now() + reaction_limit);
}

int next_round_trip = 0;

void BM_BareArpRoundTrip(benchmark::State& state) {
    static arp::PacketSocket socket(lab.link.interfaceIndex, arp::DropAllFilter());
    for (auto _ : state) {
        const std::uint32_t target = lab.gateways[next_round_trip];
        next_round_trip = 1 - next_round_trip;
        socket.SetFilter(arp::ReplyFilter(target));
        const auto seconds = lab_bench::ArpRoundTripSeconds(socket, lab.link, target);
        if (!seconds) {
            state.SkipWithError("a gateway did not answer");
            return;
        }
        state.SetIterationTime(*seconds);
    }
}

const bool registered = [] {
    lab_bench::Repeated(benchmark::RegisterBenchmark("BM_BareArpRoundTrip", BM_BareArpRoundTrip),
                        repetitions);
    lab_bench::Repeated(
        benchmark::RegisterBenchmark("BM_RouteChangeToPinned", BM_RouteChangeToPinned),
        repetitions);
    lab_bench::Repeated(
        benchmark::RegisterBenchmark("BM_MultipathChangeToPinned", BM_MultipathChangeToPinned),
        repetitions);
    lab_bench::Repeated(
        benchmark::RegisterBenchmark("BM_DeletedPinToPinned", BM_DeletedPinToPinned), repetitions);
    return true;
}();

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
    auto& multipath = reporter.seconds["BM_MultipathChangeToPinned"];
    auto& repair = reporter.seconds["BM_DeletedPinToPinned"];
    auto& trip = reporter.seconds["BM_BareArpRoundTrip"];
    if (!reaction.contains("median") || !multipath.contains("median") ||
        !repair.contains("median") || !trip.contains("median")) {
        std::fprintf(stderr, "a benchmark failed\n");
        return 1;
    }
    const double limit = trip["median"] + 2e-3;
    const auto line = [&](const char* what, std::map<std::string, double>& times) {
        std::printf("%s: %d times, median=%.1f us p95=%.1f us; ARP round trip median=%.1f us "
                    "p95=%.1f us; ratio of medians=%.2f; target median <= round trip + 2 ms = "
                    "%.1f us: %s\n",
                    what, repetitions, times["median"] * 1e6, times["p95"] * 1e6,
                    trip["median"] * 1e6, trip["p95"] * 1e6, times["median"] / trip["median"],
                    limit * 1e6, times["median"] <= limit ? "within target" : "OVER TARGET");
    };
    line("route change to the new gateway pinned", reaction);
    line("route change to both gateways of a multipath route pinned", multipath);
    std::printf("multipath route, both gateways pinned, against one gateway pinned, medians: "
                "%.1f us / %.1f us = %.2f\n",
                multipath["median"] * 1e6, reaction["median"] * 1e6,
                multipath["median"] / reaction["median"]);
    line("pin deleted to pinned again", repair);
    return 0;
}
