#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include "Core_SocketARP/NetworkStack.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace Core_SocketARP::arp {
namespace {

constexpr std::uint16_t hardware_ethernet = 1;
constexpr std::uint16_t protocol_ipv4 = 0x0800;

// Offsets in the ARP header.
constexpr std::uint32_t at_hardware_type = 0;
constexpr std::uint32_t at_protocol_type = 2;
constexpr std::uint32_t at_hardware_length = 4;
constexpr std::uint32_t at_protocol_length = 5;
constexpr std::uint32_t at_operation = 6;
constexpr std::uint32_t at_sender_ip = 14;
constexpr std::uint32_t at_target_ip = 24;

[[noreturn]] void ThrowErrno() { throw SystemErrorCode{static_cast<std::uint32_t>(errno)}; }

void PutU16(std::uint8_t* at, std::uint16_t host) {
    const std::uint16_t net = htons(host);
    std::memcpy(at, &net, sizeof net);
}

std::uint16_t GetU16(const std::uint8_t* at) {
    std::uint16_t net = 0;
    std::memcpy(&net, at, sizeof net);
    return ntohs(net);
}

sock_filter Statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }

sock_filter Jump(std::uint16_t code, std::uint32_t k, std::uint8_t ifTrue, std::uint8_t ifFalse) {
    return BPF_JUMP(code, k, ifTrue, ifFalse);
}

// Accepts Ethernet/IPv4 ARP packets of one operation whose address at `ipOffset` is `ip`.
std::vector<sock_filter> OperationFilter(std::uint16_t operation, std::uint32_t ipOffset,
                                         std::uint32_t ip) {
    // A mismatch jumps to the last instruction, which drops the packet.
    return {
        Statement(BPF_LD | BPF_H | BPF_ABS, at_hardware_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, hardware_ethernet, 0, 11),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_protocol_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, protocol_ipv4, 0, 9),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_hardware_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 6, 0, 7),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_protocol_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 5),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_operation),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, operation, 0, 3),
        // Loads are big-endian: compare with the address in host order.
        Statement(BPF_LD | BPF_W | BPF_ABS, ipOffset),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(ip), 0, 1),
        Statement(BPF_RET | BPF_K, 0xFFFF),
        Statement(BPF_RET | BPF_K, 0),
    };
}

timespec Remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<std::time_t>(seconds.count()),
                    static_cast<long>(nanoseconds.count())};
}

} // namespace

std::array<std::uint8_t, packet_size> Encode(const Packet& packet) {
    std::array<std::uint8_t, packet_size> bytes{};
    PutU16(&bytes[at_hardware_type], hardware_ethernet);
    PutU16(&bytes[at_protocol_type], protocol_ipv4);
    bytes[at_hardware_length] = 6;
    bytes[at_protocol_length] = 4;
    PutU16(&bytes[at_operation], packet.operation);
    std::copy(packet.senderMac.begin(), packet.senderMac.end(), &bytes[8]);
    std::memcpy(&bytes[at_sender_ip], &packet.senderIp, 4);
    std::copy(packet.targetMac.begin(), packet.targetMac.end(), &bytes[18]);
    std::memcpy(&bytes[at_target_ip], &packet.targetIp, 4);
    return bytes;
}

std::optional<Packet> Decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < packet_size || GetU16(&bytes[at_hardware_type]) != hardware_ethernet ||
        GetU16(&bytes[at_protocol_type]) != protocol_ipv4 || bytes[at_hardware_length] != 6 ||
        bytes[at_protocol_length] != 4) {
        return std::nullopt;
    }
    Packet packet;
    packet.operation = GetU16(&bytes[at_operation]);
    std::copy_n(&bytes[8], 6, packet.senderMac.begin());
    std::memcpy(&packet.senderIp, &bytes[at_sender_ip], 4);
    std::copy_n(&bytes[18], 6, packet.targetMac.begin());
    std::memcpy(&packet.targetIp, &bytes[at_target_ip], 4);
    return packet;
}

std::vector<sock_filter> ReplyFilter(std::uint32_t senderIp) {
    return OperationFilter(operation_reply, at_sender_ip, senderIp);
}

std::vector<sock_filter> RequestFilter(std::uint32_t targetIp) {
    return OperationFilter(operation_request, at_target_ip, targetIp);
}

std::vector<sock_filter> DropAllFilter() { return {Statement(BPF_RET | BPF_K, 0)}; }

void AttachFilter(int fd, const std::vector<sock_filter>& program) {
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(program.size());
    fprog.filter = const_cast<sock_filter*>(program.data());
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) {
        ThrowErrno();
    }
}

PacketSocket::PacketSocket(int interfaceIndex, const std::vector<sock_filter>& filter) {
    // Protocol 0: the socket receives nothing until it is bound below.
    fd_.reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_) {
        ThrowErrno();
    }
    AttachFilter(fd_.get(), filter);
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = interfaceIndex;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ThrowErrno();
    }
}

void PacketSocket::SetFilter(const std::vector<sock_filter>& filter) {
    AttachFilter(fd_.get(), filter);
    std::array<std::uint8_t, 64> bytes{};
    while (::recv(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT) >= 0 || errno == EINTR) {
    }
}

void PacketSocket::Send(const Packet& packet, int interfaceIndex, const MacAddress& destination) {
    const auto bytes = Encode(packet);
    sockaddr_ll remote{};
    remote.sll_family = AF_PACKET;
    remote.sll_protocol = htons(ETH_P_ARP);
    remote.sll_ifindex = interfaceIndex;
    remote.sll_halen = 6;
    std::copy(destination.begin(), destination.end(), remote.sll_addr);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        ThrowErrno();
    }
}

std::optional<Received> PacketSocket::Receive(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd waiting{fd_.get(), POLLIN, 0};
        const timespec timeout = Remaining(deadline);
        const int ready = ::ppoll(&waiting, 1, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno();
        }
        if (ready == 0) {
            return std::nullopt;
        }
        std::array<std::uint8_t, 64> bytes{};
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t length = ::recvfrom(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            ThrowErrno();
        }
        if (from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        const auto packet = Decode({bytes.data(), static_cast<std::size_t>(length)});
        if (packet) {
            return Received{*packet, from.sll_ifindex};
        }
    }
}

bool IsAnswer(const Received& received, const LinkEndpoint& link, std::uint32_t targetIp) {
    return received.interfaceIndex == link.interfaceIndex &&
           received.packet.operation == operation_reply && received.packet.senderIp == targetIp;
}

MacAddress Resolve(PacketSocket& socket, const LinkEndpoint& link, std::uint32_t targetIp,
                   int tries, std::chrono::milliseconds interval) {
    socket.SetFilter(ReplyFilter(targetIp));
    Packet request;
    request.operation = operation_request;
    request.senderMac = link.mac;
    request.senderIp = link.ip;
    request.targetIp = targetIp;
    for (int attempt = 0; attempt < tries; ++attempt) {
        socket.Send(request, link.interfaceIndex, broadcast_mac);
        const auto deadline = std::chrono::steady_clock::now() + interval;
        // The filter already passed only such replies; the check here is the one that counts.
        while (const auto received = socket.Receive(deadline)) {
            if (IsAnswer(*received, link, targetIp)) {
                return received->packet.senderMac;
            }
        }
    }
    throw SystemErrorCode{EHOSTUNREACH};
}

} // namespace Core_SocketARP::arp
