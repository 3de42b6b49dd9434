// The binding pass against the bare ARP round trips it cannot avoid, measured in the same run.
// Runs inside a network namespace whose links have answering gateways: see
// bench/arp_binding_bench.sh, which builds them and runs this for 1 and for 16 links.
#include "Core_SocketARP/ArpBinding.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace arp = Core_SocketARP::arp;

struct Gateway {
    arp::LinkEndpoint link;
    std::uint32_t address = 0;
};

// Every adapter with a gateway, with what a bare ARP exchange on its link needs.
std::vector<Gateway> FindGateways() {
    std::map<int, arp::LinkEndpoint> links;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        const int index = static_cast<int>(if_nametoindex(entry->ifa_name));
        arp::LinkEndpoint& link = links[index];
        link.interfaceIndex = index;
        if (entry->ifa_addr->sa_family == AF_INET && link.ip == 0) {
            link.ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        } else if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto* packet = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            std::memcpy(link.mac.data(), packet->sll_addr, link.mac.size());
        }
    }
    freeifaddrs(list);
    std::vector<Gateway> gateways;
    for (const auto& adapter : Core_SocketARP::SystemNetworkStack().ListAdapters()) {
        in_addr address{};
        if (!adapter.gateway.empty() &&
            inet_pton(AF_INET, adapter.gateway.c_str(), &address) == 1) {
            gateways.push_back(Gateway{links[static_cast<int>(adapter.index)], address.s_addr});
        }
    }
    return gateways;
}

std::vector<Gateway>& Gateways() {
    static std::vector<Gateway> gateways = FindGateways();
    return gateways;
}

// One request and its reply per gateway, on sockets opened beforehand: the part of a pass that
// no implementation can save.
void BM_BareArpRoundTrips(benchmark::State& state) {
    std::vector<std::unique_ptr<arp::PacketSocket>> sockets;
    for (const Gateway& gateway : Gateways()) {
        sockets.push_back(std::make_unique<arp::PacketSocket>(gateway.link.interfaceIndex,
                                                              arp::ReplyFilter(gateway.address)));
    }
    for (auto _ : state) {
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            const Gateway& gateway = Gateways()[i];
            arp::Packet request;
            request.operation = arp::operation_request;
            request.senderMac = gateway.link.mac;
            request.senderIp = gateway.link.ip;
            request.targetIp = gateway.address;
            sockets[i]->Send(request, gateway.link.interfaceIndex, arp::broadcast_mac);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            for (;;) {
                const auto received = sockets[i]->Receive(deadline);
                if (!received) {
                    state.SkipWithError("a gateway did not answer");
                    return;
                }
                if (arp::AcceptAnswer(*received, gateway.link, gateway.address)) {
                    break;
                }
            }
        }
    }
    state.counters["links"] = static_cast<double>(sockets.size());
}

// The whole binding pass; its lines go to /dev/null.
void BM_BindingPass(benchmark::State& state) {
    std::fflush(stdout);
    const int console = dup(STDOUT_FILENO);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(sink, STDOUT_FILENO);
    for (auto _ : state) {
        Core_SocketARP::BindGateways();
    }
    std::fflush(stdout);
    dup2(console, STDOUT_FILENO);
    close(sink);
    close(console);
    state.counters["links"] = static_cast<double>(Gateways().size());
}

BENCHMARK(BM_BareArpRoundTrips)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BindingPass)->Unit(benchmark::kMicrosecond);

// Keeps the mean real time of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0) {
                seconds[run.run_name.function_name] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::size_t links = Gateways().size();
    if (links == 0) {
        std::fprintf(stderr, "no adapter with a gateway here: run inside the lab\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto pass = reporter.seconds.find("BM_BindingPass");
    const auto trips = reporter.seconds.find("BM_BareArpRoundTrips");
    if (pass == reporter.seconds.end() || trips == reporter.seconds.end()) {
        return 1;
    }
    const double ratio = pass->second / trips->second;
    const double limit = 1.5 + static_cast<double>(links) * 1e-3 / trips->second;
    std::printf("links=%zu pass=%.1f us round trips=%.1f us ratio pass/round trips=%.2f "
                "(target <= 1.5 + 1 ms per link = %.2f) %s\n",
                links, pass->second * 1e6, trips->second * 1e6, ratio, limit,
                ratio <= limit ? "within target" : "OVER TARGET");
    return 0;
}
