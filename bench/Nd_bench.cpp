// The IPv6 routers' pins against the bare Neighbor Solicitation round trip to the router,
// measured in the same run inside the lab's protected host: see bench/nd_bench.sh.
//   Nd_bench <antiarp> <router> <second-router> <its MAC> <its namespace's file> [benchmark flags]
// BM_BareNsRoundTrip times one solicitation and its advertisement on a socket opened
// beforehand. Each repetition of BM_ProgramStartToRouterPinned starts `antiarp -debug` and
// times until the router's PERMANENT neighbour entry is written; then, untimed, SIGINT ends
// the run, whose stop removes the entry for the next repetition. Each repetition of
// BM_AdvertisementToRouterPinned, with the protection running in this process, sends a router
// advertisement of the second router from its own namespace and times until that router's
// entry is PERMANENT; then, untimed, an advertisement with a router lifetime of 0 withdraws the
// router, and its pin goes.
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/SocketARP.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/NdPacket_linux.h"
#include "Core_SocketARP/linux/NetworkStack_linux.h"
#include "bench/LabBench.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace nd = Core_SocketARP::nd;
using Core_SocketARP::Ipv6Bytes;
using lab_bench::AggregateReporter;
using lab_bench::Clock;
using lab_bench::NeighbourWatch;

constexpr int repetitions = 20;
constexpr auto limit = std::chrono::seconds(5);

struct Lab {
    std::string program;
    nd::LinkEndpoint link;
    Ipv6Bytes router{};
    Ipv6Bytes second{};
    std::string secondText;
    nd::MacAddress secondMac{};
    std::string secondNamespace;
};

Lab lab;

std::vector<std::uint8_t> Bytes(const Ipv6Bytes& address) {
    return {address.begin(), address.end()};
}

// The link of the default route, its MAC and its link-local address.
std::optional<nd::LinkEndpoint> Ipv6Link() {
    const auto link = lab_bench::DefaultLink();
    if (!link) {
        return std::nullopt;
    }
    nd::LinkEndpoint endpoint;
    endpoint.interfaceIndex = link->interfaceIndex;
    endpoint.mac = link->mac;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    bool found = false;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6 ||
            static_cast<int>(if_nametoindex(entry->ifa_name)) != endpoint.interfaceIndex) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        std::memcpy(endpoint.address.data(), address->sin6_addr.s6_addr, 16);
        if (Core_SocketARP::IsLinkLocal(endpoint.address)) {
            found = true;
            break;
        }
    }
    freeifaddrs(list);
    return found ? std::optional(endpoint) : std::nullopt;
}

void BM_BareNsRoundTrip(benchmark::State& state) {
    static nd::NdSocket socket(lab.link.interfaceIndex, nd::AdvertisementFilter());
    const auto solicitation = nd::Encode(nd::Solicitation(lab.link, lab.router, false));
    for (auto _ : state) {
        const auto start = Clock::now();
        socket.Send(solicitation, lab.link.interfaceIndex,
                    nd::MulticastMac(nd::SolicitedNode(lab.router)));
        for (;;) {
            const auto received = socket.Receive(start + std::chrono::seconds(1));
            if (!received) {
                state.SkipWithError("the router did not answer");
                return;
            }
            if (nd::AcceptAdvertisement(*received, lab.link, lab.router)) {
                break;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

pid_t StartProgram() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::string debug = "-debug";
    char* const argv[] = {lab.program.data(), debug.data(), nullptr};
    pid_t child = -1;
    const int failed = posix_spawn(&child, lab.program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? child : -1;
}

bool CatchesInterrupt(pid_t child) {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & (1ULL << (SIGINT - 1))) != 0;
        }
    }
    return false;
}

// Ends a debug run as Ctrl+C does (once it takes Ctrl+C); true when it exits with status 0.
bool EndProgram(pid_t child) {
    const auto deadline = Clock::now() + limit;
    while (!CatchesInterrupt(child) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGINT);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_ProgramStartToRouterPinned(benchmark::State& state) {
    static NeighbourWatch watch;
    for (auto _ : state) {
        watch.Drain();
        const auto start = Clock::now();
        const pid_t child = StartProgram();
        if (child < 0) {
            state.SkipWithError("the program could not be started");
            return;
        }
        const bool pinned =
            watch.AwaitPermanent(Bytes(lab.router), lab.link.interfaceIndex, start + limit);
        const auto end = Clock::now();
        if (!EndProgram(child)) {
            state.SkipWithError("the program did not end with exit status 0");
            return;
        }
        if (!pinned) {
            state.SkipWithError("the router was not pinned in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

// A packet socket in the second router's namespace, for its advertisements.
nd::NdSocket& SecondRouterSocket() {
    static const auto socket = [] {
        const int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int other = open(lab.secondNamespace.c_str(), O_RDONLY | O_CLOEXEC);
        if (own < 0 || other < 0 || setns(other, CLONE_NEWNET) != 0) {
            std::perror("the second router's namespace");
            std::exit(1);
        }
        auto made = std::make_unique<nd::NdSocket>(static_cast<int>(if_nametoindex("eth0")),
                                                   Core_SocketARP::arp::DropAllFilter());
        if (setns(own, CLONE_NEWNET) != 0) {
            std::perror("back to the host's namespace");
            std::exit(1);
        }
        close(own);
        close(other);
        return made;
    }();
    return *socket;
}

// A router advertisement of the second router to every node: hop limit 255, its link-local
// address, the given router lifetime, its MAC in a source link-layer address option.
std::vector<std::uint8_t> Advertisement(std::uint16_t lifetime, const nd::MacAddress& mac) {
    std::vector<std::uint8_t> packet(40, 0);
    packet[0] = 0x60;
    packet[6] = 58;
    packet[7] = 255;
    std::copy(lab.second.begin(), lab.second.end(), packet.begin() + 8);
    const Ipv6Bytes everyNode = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::copy(everyNode.begin(), everyNode.end(), packet.begin() + 24);
    const std::vector<std::uint8_t> message = {134,
                                               0,
                                               0,
                                               0,
                                               64,
                                               0,
                                               static_cast<std::uint8_t>(lifetime >> 8),
                                               static_cast<std::uint8_t>(lifetime & 0xff),
                                               0,
                                               0,
                                               0,
                                               0,
                                               0,
                                               0,
                                               0,
                                               0,
                                               1,
                                               1,
                                               mac[0],
                                               mac[1],
                                               mac[2],
                                               mac[3],
                                               mac[4],
                                               mac[5]};
    packet.insert(packet.end(), message.begin(), message.end());
    packet[5] = static_cast<std::uint8_t>(message.size());
    std::uint32_t sum = 58 + static_cast<std::uint32_t>(message.size());
    for (std::size_t i = 8; i < packet.size(); i += 2) {
        sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
    }
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    packet[42] = static_cast<std::uint8_t>((~sum >> 8) & 0xff);
    packet[43] = static_cast<std::uint8_t>(~sum & 0xff);
    return packet;
}

void BM_AdvertisementToRouterPinned(benchmark::State& state) {
    static NeighbourWatch watch;
    static Core_SocketARP::RtnetlinkNetworkStack stack;
    nd::NdSocket& socket = SecondRouterSocket();
    const nd::MacAddress everyNode = {0x33, 0x33, 0, 0, 0, 1};
    for (auto _ : state) {
        watch.Drain();
        const auto start = Clock::now();
        socket.Send(Advertisement(600, lab.secondMac), static_cast<int>(if_nametoindex("eth0")),
                    everyNode);
        if (!watch.AwaitPermanent(Bytes(lab.second), lab.link.interfaceIndex, start + limit)) {
            state.SkipWithError("the advertised router was not pinned in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        // Withdrawn: its route goes, and the next pass removes its pin.
        socket.Send(Advertisement(0, lab.secondMac), static_cast<int>(if_nametoindex("eth0")),
                    everyNode);
        const auto deadline = Clock::now() + limit;
        while (stack.ReadStaticEntry(lab.link.interfaceIndex, lab.secondText)) {
            if (Clock::now() > deadline) {
                state.SkipWithError("the withdrawn router's pin stayed");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

const bool registered = [] {
    lab_bench::Repeated(benchmark::RegisterBenchmark("BM_BareNsRoundTrip", BM_BareNsRoundTrip),
                        repetitions);
    lab_bench::Repeated(benchmark::RegisterBenchmark("BM_ProgramStartToRouterPinned",
                                                     BM_ProgramStartToRouterPinned),
                        repetitions);
    lab_bench::Repeated(benchmark::RegisterBenchmark("BM_AdvertisementToRouterPinned",
                                                     BM_AdvertisementToRouterPinned),
                        repetitions);
    return true;
}();

} // namespace

int main(int argc, char** argv) {
    unsigned mac[6] = {};
    if (argc < 6 || std::sscanf(argv[4], "%x:%x:%x:%x:%x:%x", &mac[0], &mac[1], &mac[2], &mac[3],
                                &mac[4], &mac[5]) != 6) {
        std::fprintf(stderr, "usage: Nd_bench <antiarp> <router> <second-router> <its MAC> "
                             "<its namespace's file> [flags]\n");
        return 2;
    }
    for (std::size_t i = 0; i < lab.secondMac.size(); ++i) {
        lab.secondMac[i] = static_cast<std::uint8_t>(mac[i]);
    }
    const auto router = Core_SocketARP::ParseIpv6(argv[2]);
    const auto second = Core_SocketARP::ParseIpv6(argv[3]);
    if (!router || !second) {
        std::fprintf(stderr, "not IPv6 addresses: %s %s\n", argv[2], argv[3]);
        return 2;
    }
    lab.program = argv[1];
    lab.router = *router;
    lab.second = *second;
    lab.secondText = Core_SocketARP::Ipv6Text(*second);
    lab.secondNamespace = argv[5];
    argv[5] = argv[0];
    argc -= 5;
    argv += 5;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    const auto link = Ipv6Link();
    if (!link) {
        std::fprintf(stderr, "no default route with IPv6 here: run inside the lab\n");
        return 1;
    }
    lab.link = *link;

    // The first two run without the protection in this process; the third with it, its lines
    // to /dev/null.
    AggregateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter,
                                      "BM_BareNsRoundTrip|BM_ProgramStartToRouterPinned");
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    std::ofstream report("/proc/self/fd/" + std::to_string(console), std::ios::app);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(sink, STDOUT_FILENO);
    close(sink);
    using Core_SocketARP::InterfaceSocketARP;
    InterfaceSocketARP::Create();
    InterfaceSocketARP::Start();
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter, "BM_AdvertisementToRouterPinned");
    InterfaceSocketARP::Stop();
    InterfaceSocketARP::Destroy();
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(console);
    benchmark::Shutdown();

    auto& trip = reporter.seconds["BM_BareNsRoundTrip"];
    auto& start = reporter.seconds["BM_ProgramStartToRouterPinned"];
    auto& advertised = reporter.seconds["BM_AdvertisementToRouterPinned"];
    if (!trip.contains("median") || !start.contains("median") || !advertised.contains("median")) {
        std::fprintf(stderr, "a benchmark failed\n");
        return 1;
    }
    const auto line = [&](const char* what, std::map<std::string, double>& times, double margin) {
        const double bound = trip["median"] + margin;
        std::printf("%s: %d times, median %.1f us, p95 %.1f us; Neighbor Solicitation round "
                    "trip median %.1f us, p95 %.1f us; ratio of medians %.1f; target median <= "
                    "round trip + %.0f ms = %.1f us: %s\n",
                    what, repetitions, times["median"] * 1e6, times["p95"] * 1e6,
                    trip["median"] * 1e6, trip["p95"] * 1e6, times["median"] / trip["median"],
                    margin * 1e3, bound * 1e6,
                    times["median"] <= bound ? "within target" : "OVER TARGET");
    };
    std::printf("\n");
    line("start to the router pinned", start, 5e-3);
    line("router advertisement to the new router pinned", advertised, 2e-3);
    return 0;
}
