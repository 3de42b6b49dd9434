#include "Core_SocketARP/linux/ArpPacket_linux.h"

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// The checks every filter makes: an Ethernet/IPv4 ARP packet of the operation. Each check
// falls through on a match; its mismatch jump is set by Finish.
std::vector<sock_filter> ArpChecks(std::uint16_t operation) {
    return {
        Statement(BPF_LD | BPF_H | BPF_ABS, at_hardware_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, hardware_ethernet, 0, 0),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_protocol_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, protocol_ipv4, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_hardware_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 6, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_protocol_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 0),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_operation),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, operation, 0, 0),
    };
}

// Ends a program of checks with its verdicts: every check before `alternatives` jumps to the
// drop on a mismatch; from `alternatives` on, each check is one acceptable value, which jumps
// to the accept on a match, and none matching drops the packet.
std::vector<sock_filter> Finish(std::vector<sock_filter> program, std::size_t alternatives) {
    const bool hasAlternatives = alternatives < program.size();
    if (hasAlternatives) {
        program.push_back(Statement(BPF_RET | BPF_K, 0));
    }
    const std::size_t accept = program.size();
    program.push_back(Statement(BPF_RET | BPF_K, 0xFFFF));
    program.push_back(Statement(BPF_RET | BPF_K, 0));
    const std::size_t drop = program.size() - 1;
    for (std::size_t i = 0; i < accept; ++i) {
        sock_filter& instruction = program[i];
        if (BPF_CLASS(instruction.code) != BPF_JMP) {
            continue;
        }
        if (i >= alternatives) {
            instruction.jt = static_cast<std::uint8_t>(accept - i - 1);
        } else {
            instruction.jf = static_cast<std::uint8_t>(drop - i - 1);
        }
    }
    return program;
}

// Accepts Ethernet/IPv4 ARP packets of one operation whose address at `ipOffset` is `ip`.
std::vector<sock_filter> OperationFilter(std::uint16_t operation, std::uint32_t ipOffset,
                                         std::uint32_t ip) {
    std::vector<sock_filter> program = ArpChecks(operation);
    // Loads are big-endian: compare with the address in host order.
    program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, ipOffset));
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(ip), 0, 0));
    const std::size_t checks = program.size();
    return Finish(std::move(program), checks);
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

std::vector<sock_filter> AnswerFilter(const std::vector<std::uint32_t>& senders) {
    if (senders.empty()) {
        return DropAllFilter();
    }
    std::vector<sock_filter> program = {
        Statement(BPF_LD | BPF_B | BPF_ABS, SKF_AD_OFF + SKF_AD_PKTTYPE),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_HOST, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 0),
    };
    const std::vector<sock_filter> checks = ArpChecks(operation_reply);
    program.insert(program.end(), checks.begin(), checks.end());
    // Jumps are relative and at most 255 ahead: a longer list is left to the user-space check.
    constexpr std::size_t listed_limit = 200;
    if (senders.size() > listed_limit) {
        const std::size_t checks = program.size();
        return Finish(std::move(program), checks);
    }
    program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, at_sender_ip));
    const std::size_t alternatives = program.size();
    for (const std::uint32_t sender : senders) {
        // Loads are big-endian: compare with the address in host order.
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(sender), 0, 0));
    }
    return Finish(std::move(program), alternatives);
}

std::vector<sock_filter> ReplyFilter(std::uint32_t senderIp) { return AnswerFilter({senderIp}); }

std::vector<sock_filter> RequestFilter(std::uint32_t targetIp) {
    return OperationFilter(operation_request, at_target_ip, targetIp);
}

std::vector<sock_filter> DropAllFilter() { return {Statement(BPF_RET | BPF_K, 0)}; }

std::vector<sock_filter> ClaimFilter(const std::vector<PinnedClaim>& pins) {
    if (pins.empty()) {
        return DropAllFilter();
    }
    constexpr std::uint32_t at_sender_mac = 8;
    // The checks every frame passes; each jumps to the drop right after them on a mismatch.
    std::vector<sock_filter> program = {
        Statement(BPF_LD | BPF_B | BPF_ABS, SKF_AD_OFF + SKF_AD_PKTTYPE),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 0),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 0),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_hardware_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, hardware_ethernet, 0, 0),
        Statement(BPF_LD | BPF_H | BPF_ABS, at_protocol_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, protocol_ipv4, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_hardware_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 6, 0, 0),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_protocol_length),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 0),
    };
    // The first three drop on a match, the others on a mismatch.
    const std::size_t drop = program.size() + 1;
    for (std::size_t i = 0; i < program.size(); ++i) {
        sock_filter& check = program[i];
        if (BPF_CLASS(check.code) != BPF_JMP) {
            continue;
        }
        const auto away = static_cast<std::uint8_t>(drop - i - 1);
        if (i <= 4) {
            check.jt = away;
        } else {
            check.jf = away;
        }
    }
    program.push_back(Statement(BPF_JMP | BPF_JA, 1));
    program.push_back(Statement(BPF_RET | BPF_K, 0));
    // One block a pin, whose jumps stay inside it or go to the next block: a frame of its link
    // and address passes unless its sender MAC is the pin's.
    constexpr std::uint8_t block = 10;
    const std::size_t listed = std::min(pins.size(), claim_filter_limit);
    for (std::size_t i = 0; i < listed; ++i) {
        const PinnedClaim& pin = pins[i];
        const std::uint32_t high = std::uint32_t{pin.mac[0]} << 24 |
                                   std::uint32_t{pin.mac[1]} << 16 |
                                   std::uint32_t{pin.mac[2]} << 8 | pin.mac[3];
        const std::uint32_t low = std::uint32_t{pin.mac[4]} << 8 | pin.mac[5];
        const sock_filter pinBlock[block] = {
            // Loads are big-endian: compare with the address in host order.
            Statement(BPF_LD | BPF_W | BPF_ABS, at_sender_ip),
            Jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(pin.ip), 0, block - 2),
            Statement(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_IFINDEX),
            Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(pin.interfaceIndex), 0,
                 block - 4),
            Statement(BPF_LD | BPF_W | BPF_ABS, at_sender_mac),
            Jump(BPF_JMP | BPF_JEQ | BPF_K, high, 0, 2),
            Statement(BPF_LD | BPF_H | BPF_ABS, at_sender_mac + 4),
            Jump(BPF_JMP | BPF_JEQ | BPF_K, low, 1, 0),
            Statement(BPF_RET | BPF_K, 0xFFFF),
            Statement(BPF_RET | BPF_K, 0),
        };
        program.insert(program.end(), std::begin(pinBlock), std::end(pinBlock));
    }
    program.push_back(Statement(BPF_RET | BPF_K, 0));
    return program;
}

PacketSocket::PacketSocket(int interfaceIndex, const std::vector<sock_filter>& filter)
    : frames_(interfaceIndex, ETH_P_ARP, filter) {}

void PacketSocket::SetFilter(const std::vector<sock_filter>& filter) { frames_.SetFilter(filter); }

void PacketSocket::Send(const Packet& packet, int interfaceIndex, const MacAddress& destination) {
    frames_.Send(Encode(packet), interfaceIndex, destination);
}

namespace {

// The frame's ARP packet with what the kernel told of it; nothing for a frame that holds none.
std::optional<Received> Interpret(std::span<const std::uint8_t> bytes,
                                  const packet::FrameInfo& info) {
    const auto packet = Decode(bytes);
    if (!packet) {
        return std::nullopt;
    }
    return Received{*packet, info.interfaceIndex, info.packetType, info.ethernetSource,
                    info.vlanTagged};
}

} // namespace

std::optional<Received> PacketSocket::Receive(std::chrono::steady_clock::time_point deadline) {
    std::optional<Received> received;
    frames_.ReceiveUntil(deadline,
                         [&](std::span<const std::uint8_t> bytes, const packet::FrameInfo& info) {
                             received = Interpret(bytes, info);
                             return received.has_value();
                         });
    return received;
}

std::vector<Received> PacketSocket::ReceiveAllQueued(std::size_t limit) {
    std::vector<Received> packets;
    frames_.ReadQueued(limit,
                       [&](std::span<const std::uint8_t> bytes, const packet::FrameInfo& info) {
                           if (auto packet = Interpret(bytes, info)) {
                               packets.push_back(*packet);
                           }
                       });
    return packets;
}

bool PacketSocket::DroppedSinceLastCall() { return frames_.DropsSinceLastCall() != 0; }

std::uint64_t PacketSocket::DropsSinceLastCall() { return frames_.DropsSinceLastCall(); }

Packet Request(const LinkEndpoint& link, std::uint32_t gatewayIp) {
    Packet request;
    request.operation = operation_request;
    request.senderMac = link.mac;
    request.senderIp = link.ip;
    request.targetIp = gatewayIp;
    return request;
}

std::optional<MacAddress> AcceptAnswer(const Received& received, const LinkEndpoint& link,
                                       std::uint32_t gatewayIp) {
    const Packet& packet = received.packet;
    const MacAddress& sender = packet.senderMac;
    const bool unicastSender = (sender[0] & 0x01) == 0 && sender != MacAddress{};
    if (received.interfaceIndex != link.interfaceIndex || received.packetType != PACKET_HOST ||
        received.vlanTagged || packet.operation != operation_reply ||
        packet.senderIp != gatewayIp || packet.targetIp != link.ip ||
        packet.targetMac != link.mac || received.ethernetSource != sender || !unicastSender) {
        return std::nullopt;
    }
    return sender;
}

} // namespace Core_SocketARP::arp
