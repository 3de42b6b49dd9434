// The whole program's start against one bare ARP round trip to its gateway, measured in the
// same run inside the lab's protected host: see bench/program_bench.sh.
//   Program_bench <antiarp> <gateway> [benchmark flags]
// Each repetition of BM_ProgramStartToPinned starts `antiarp -debug` and times until the
// gateway's PERMANENT entry is written (a neighbour event); then, untimed, SIGINT ends the run,
// whose flush clears the entry for the next repetition, and its exit status must be 0. Each
// repetition of BM_BareArpRoundTrip times one request and its reply on a socket opened
// beforehand.
#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/Netlink_linux.h"
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
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace arp = Core_SocketARP::arp;
namespace netlink = Core_SocketARP::netlink;
using lab_bench::AggregateReporter;
using lab_bench::Clock;
using lab_bench::DefaultLink;
using lab_bench::NeighbourWatch;

constexpr int repetitions = 20;
constexpr auto start_limit = std::chrono::seconds(5);

struct Lab {
    std::string program;
    arp::LinkEndpoint link;
    std::uint32_t gateway = 0;
};

Lab lab;

// `antiarp -debug` with its output thrown away; -1 when it cannot be started.
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

// Whether the process catches SIGINT: from the SigCgt mask of /proc/PID/status.
bool CatchesInterrupt(pid_t child) {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return (mask & (1ull << (SIGINT - 1))) != 0;
        }
    }
    return false;
}

// Ends a debug run as Ctrl+C does; true when it exits with status 0. Debug mode takes Ctrl+C
// from when its wait loop is about to begin, after the first binding pass: until then SIGINT
// would end the process at once.
bool EndProgram(pid_t child) {
    const auto deadline = Clock::now() + start_limit;
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

void BM_ProgramStartToPinned(benchmark::State& state) {
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
            watch.AwaitPermanent(lab.gateway, lab.link.interfaceIndex, start + start_limit);
        const auto end = Clock::now();
        if (!EndProgram(child)) {
            state.SkipWithError("the program did not end with exit status 0");
            return;
        }
        if (!pinned) {
            state.SkipWithError("the gateway was not pinned in time");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

void BM_BareArpRoundTrip(benchmark::State& state) {
    static arp::PacketSocket socket(lab.link.interfaceIndex, arp::ReplyFilter(lab.gateway));
    for (auto _ : state) {
        const auto seconds = lab_bench::ArpRoundTripSeconds(socket, lab.link, lab.gateway);
        if (!seconds) {
            state.SkipWithError("the gateway did not answer");
            return;
        }
        state.SetIterationTime(*seconds);
    }
}

const bool registered = [] {
    lab_bench::Repeated(benchmark::RegisterBenchmark("BM_BareArpRoundTrip", BM_BareArpRoundTrip),
                        repetitions);
    lab_bench::Repeated(
        benchmark::RegisterBenchmark("BM_ProgramStartToPinned", BM_ProgramStartToPinned),
        repetitions);
    return true;
}();

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: Program_bench <antiarp> <gateway> [flags]\n");
        return 2;
    }
    lab.program = argv[1];
    in_addr gateway{};
    if (inet_pton(AF_INET, argv[2], &gateway) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", argv[2]);
        return 2;
    }
    lab.gateway = gateway.s_addr;
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

    AggregateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& start = reporter.seconds["BM_ProgramStartToPinned"];
    auto& trip = reporter.seconds["BM_BareArpRoundTrip"];
    if (!start.contains("median") || !trip.contains("median")) {
        std::fprintf(stderr, "a benchmark failed\n");
        return 1;
    }
    const double limit = trip["median"] + 5e-3;
    std::printf("\nstart to pinned: median %.1f us, p95 %.1f us (%d starts); bare ARP round trip: "
                "median %.1f us, p95 %.1f us\n",
                start["median"] * 1e6, start["p95"] * 1e6, repetitions, trip["median"] * 1e6,
                trip["p95"] * 1e6);
    std::printf("ratio of medians start/round trip = %.1f; target: median <= round trip + 5 ms "
                "= %.1f us: %s\n",
                start["median"] / trip["median"], limit * 1e6,
                start["median"] <= limit ? "within target" : "OVER TARGET");
    return 0;
}
