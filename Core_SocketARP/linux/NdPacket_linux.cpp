#include "Core_SocketARP/linux/NdPacket_linux.h"

#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/ArpPacket_linux.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Core_SocketARP::nd {
namespace {

constexpr std::uint8_t next_header_icmpv6 = 58;
constexpr std::uint8_t option_source_link_address = 1;
constexpr std::uint8_t option_target_link_address = 2;

// Offsets in the packet.
constexpr std::size_t at_payload_length = 4;
constexpr std::size_t at_next_header = 6;
constexpr std::size_t at_hop_limit = 7;
constexpr std::size_t at_source = 8;
constexpr std::size_t at_destination = 24;
constexpr std::size_t at_type = header_size;
constexpr std::size_t at_code = header_size + 1;
constexpr std::size_t at_checksum = header_size + 2;
constexpr std::size_t at_flags = header_size + 4;
constexpr std::size_t at_target = header_size + 8;

// The ICMPv6 checksum: the ones' complement sum over the pseudo-header (both addresses, the
// upper-layer length, the next header) and the message, its checksum field read as it is.
std::uint16_t Checksum(std::span<const std::uint8_t> packet, std::size_t messageLength) {
    std::uint32_t sum = 0;
    const auto add = [&sum](std::span<const std::uint8_t> bytes) {
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            const std::uint32_t high = bytes[i];
            const std::uint32_t low = i + 1 < bytes.size() ? bytes[i + 1] : 0;
            sum += high << 8 | low;
        }
    };
    add(packet.subspan(at_source, 32));
    sum += static_cast<std::uint32_t>(messageLength >> 16) +
           static_cast<std::uint32_t>(messageLength & 0xffff) + next_header_icmpv6;
    add(packet.subspan(header_size, messageLength));
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

void AppendOptions(std::vector<std::uint8_t>& bytes, std::uint8_t type,
                   const std::vector<MacAddress>& addresses) {
    for (const MacAddress& mac : addresses) {
        bytes.push_back(type);
        bytes.push_back(1); // in units of 8 bytes
        bytes.insert(bytes.end(), mac.begin(), mac.end());
    }
}

bool IsUnicast(const MacAddress& mac) { return (mac[0] & 0x01) == 0 && mac != MacAddress{}; }

sock_filter Statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }

// A program of checks, each a load and an equality that falls through on a match and drops on
// a mismatch, then the accept.
class FilterBuilder {
public:
    void Load(std::uint16_t size, std::uint32_t offset) {
        program_.push_back(Statement(BPF_LD | size | BPF_ABS, offset));
    }
    void And(std::uint32_t mask) { program_.push_back(Statement(BPF_ALU | BPF_AND | BPF_K, mask)); }
    void Expect(std::uint32_t value) {
        program_.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 0));
    }
    void ExpectAt(std::uint16_t size, std::uint32_t offset, std::uint32_t value) {
        Load(size, offset);
        Expect(value);
    }

    // A check that drops a value at or above `bound`.
    void ExpectBelow(std::uint32_t bound) {
        program_.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, bound, 0, 0));
    }

    std::vector<sock_filter> Finish() {
        program_.push_back(Statement(BPF_RET | BPF_K, 0xFFFF));
        return DropAtTheEnd();
    }
    // The checks as the head of a longer program, which follows them.
    std::vector<sock_filter> Head() {
        program_.push_back(Statement(BPF_JMP | BPF_JA, 1));
        return DropAtTheEnd();
    }

private:
    std::vector<sock_filter> DropAtTheEnd() {
        program_.push_back(Statement(BPF_RET | BPF_K, 0));
        const std::size_t drop = program_.size() - 1;
        for (std::size_t i = 0; i < drop; ++i) {
            const auto away = static_cast<std::uint8_t>(drop - i - 1);
            if (program_[i].code == (BPF_JMP | BPF_JGE | BPF_K)) {
                program_[i].jt = away;
            } else if (program_[i].code == (BPF_JMP | BPF_JEQ | BPF_K)) {
                program_[i].jf = away;
            }
        }
        return std::move(program_);
    }

private:
    std::vector<sock_filter> program_;
};

// The IPv6 version and ICMPv6 as the next header, checked by every filter.
void Ipv6Icmp(FilterBuilder& filter) {
    filter.Load(BPF_B, 0);
    filter.And(0xf0);
    filter.Expect(0x60);
    filter.ExpectAt(BPF_B, at_next_header, next_header_icmpv6);
}

} // namespace

std::vector<std::uint8_t> Encode(const Message& message) {
    std::vector<std::uint8_t> bytes(header_size + message_size, 0);
    bytes[0] = 0x60;
    bytes[at_next_header] = next_header_icmpv6;
    bytes[at_hop_limit] = message.hopLimit;
    std::copy(message.source.begin(), message.source.end(), bytes.begin() + at_source);
    std::copy(message.destination.begin(), message.destination.end(),
              bytes.begin() + at_destination);
    bytes[at_type] = message.type;
    bytes[at_code] = message.code;
    bytes[at_flags] = message.flags;
    std::copy(message.target.begin(), message.target.end(), bytes.begin() + at_target);
    AppendOptions(bytes, option_source_link_address, message.sourceLinkAddresses);
    AppendOptions(bytes, option_target_link_address, message.targetLinkAddresses);
    const std::size_t length = bytes.size() - header_size;
    bytes[at_payload_length] = static_cast<std::uint8_t>(length >> 8);
    bytes[at_payload_length + 1] = static_cast<std::uint8_t>(length & 0xff);
    const std::uint16_t checksum = Checksum(bytes, length);
    bytes[at_checksum] = static_cast<std::uint8_t>(checksum >> 8);
    bytes[at_checksum + 1] = static_cast<std::uint8_t>(checksum & 0xff);
    return bytes;
}

std::optional<Message> Decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < header_size + message_size || (bytes[0] >> 4) != 6 ||
        bytes[at_next_header] != next_header_icmpv6) {
        return std::nullopt;
    }
    const std::size_t length =
        static_cast<std::size_t>(bytes[at_payload_length]) << 8 | bytes[at_payload_length + 1];
    if (length < message_size || length > bytes.size() - header_size) {
        return std::nullopt;
    }
    const auto packet = bytes.first(header_size + length);
    Message message;
    message.type = packet[at_type];
    if ((message.type != type_solicitation && message.type != type_advertisement) ||
        Checksum(packet, length) != 0) {
        return std::nullopt; // a correct checksum sums to zero with itself
    }
    message.hopLimit = packet[at_hop_limit];
    std::copy_n(packet.begin() + at_source, 16, message.source.begin());
    std::copy_n(packet.begin() + at_destination, 16, message.destination.begin());
    message.code = packet[at_code];
    message.flags = packet[at_flags];
    std::copy_n(packet.begin() + at_target, 16, message.target.begin());
    auto options = packet.subspan(header_size + message_size);
    while (!options.empty()) {
        if (options.size() < 2 || options[1] == 0 ||
            static_cast<std::size_t>(options[1]) * 8 > options.size()) {
            return std::nullopt;
        }
        const std::size_t size = static_cast<std::size_t>(options[1]) * 8;
        const std::uint8_t type = options[0];
        if (type == option_source_link_address || type == option_target_link_address) {
            if (size != 8) {
                return std::nullopt; // not an Ethernet address
            }
            MacAddress mac{};
            std::copy_n(options.begin() + 2, mac.size(), mac.begin());
            (type == option_source_link_address ? message.sourceLinkAddresses
                                                : message.targetLinkAddresses)
                .push_back(mac);
        }
        options = options.subspan(size);
    }
    return message;
}

Ipv6Bytes SolicitedNode(const Ipv6Bytes& address) {
    Ipv6Bytes group = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xff, 0, 0, 0};
    std::copy_n(address.begin() + 13, 3, group.begin() + 13);
    return group;
}

MacAddress MulticastMac(const Ipv6Bytes& group) {
    MacAddress mac = {0x33, 0x33, 0, 0, 0, 0};
    std::copy_n(group.begin() + 12, 4, mac.begin() + 2);
    return mac;
}

Message Solicitation(const LinkEndpoint& link, const Ipv6Bytes& target, bool unicast) {
    Message message;
    message.type = type_solicitation;
    message.source = link.address;
    message.destination = unicast ? target : SolicitedNode(target);
    message.target = target;
    message.sourceLinkAddresses.push_back(link.mac);
    return message;
}

std::optional<Advertised> AcceptAdvertisement(const Received& received, const LinkEndpoint& link,
                                              const Ipv6Bytes& router) {
    const Message& message = received.message;
    if (received.interfaceIndex != link.interfaceIndex || received.packetType != PACKET_HOST ||
        received.vlanTagged || message.type != type_advertisement || message.code != 0 ||
        message.hopLimit != hop_limit || message.source != router || message.target != router ||
        message.destination != link.address || (message.flags & flag_solicited) == 0 ||
        message.targetLinkAddresses.size() != 1 ||
        message.targetLinkAddresses.front() != received.ethernetSource ||
        !IsUnicast(received.ethernetSource)) {
        return std::nullopt;
    }
    return Advertised{received.ethernetSource, (message.flags & flag_router) != 0};
}

std::vector<sock_filter> AdvertisementFilter() {
    FilterBuilder filter;
    filter.ExpectAt(BPF_B, SKF_AD_OFF + SKF_AD_PKTTYPE, PACKET_HOST);
    filter.ExpectAt(BPF_B, SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT, 0);
    Ipv6Icmp(filter);
    filter.ExpectAt(BPF_B, at_hop_limit, hop_limit);
    filter.ExpectAt(BPF_B, at_type, type_advertisement);
    filter.ExpectAt(BPF_B, at_code, 0);
    return filter.Finish();
}

std::vector<sock_filter> SolicitationFilter(const Ipv6Bytes& target) {
    FilterBuilder filter;
    Ipv6Icmp(filter);
    filter.ExpectAt(BPF_B, at_type, type_solicitation);
    for (std::size_t word = 0; word < 4; ++word) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            value = value << 8 | target[4 * word + i]; // loads are big-endian
        }
        filter.ExpectAt(BPF_W, static_cast<std::uint32_t>(at_target + 4 * word), value);
    }
    return filter.Finish();
}

std::vector<sock_filter> ClaimFilter(const std::vector<PinnedClaim>& pins) {
    if (pins.empty()) {
        return arp::DropAllFilter();
    }
    const auto load = [](std::uint16_t size, std::uint32_t offset) {
        return Statement(BPF_LD | size | BPF_ABS, offset);
    };
    const auto jump = [](std::uint32_t value, std::size_t match, std::size_t mismatch) {
        return sock_filter BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value,
                                    static_cast<std::uint8_t>(match),
                                    static_cast<std::uint8_t>(mismatch));
    };
    // What every packet must be: received from another host for this one (or a group), untagged,
    // an advertisement the neighbour table would take.
    static_assert(PACKET_HOST < PACKET_OTHERHOST && PACKET_BROADCAST < PACKET_OTHERHOST &&
                  PACKET_MULTICAST < PACKET_OTHERHOST && PACKET_OUTGOING > PACKET_OTHERHOST);
    FilterBuilder head;
    head.Load(BPF_B, SKF_AD_OFF + SKF_AD_PKTTYPE);
    head.ExpectBelow(PACKET_OTHERHOST);
    head.ExpectAt(BPF_B, SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT, 0);
    Ipv6Icmp(head);
    head.ExpectAt(BPF_B, at_type, type_advertisement);
    head.ExpectAt(BPF_B, at_code, 0);
    head.ExpectAt(BPF_B, at_hop_limit, hop_limit);
    std::vector<sock_filter> program = head.Head();
    // One block a pin, whose jumps stay inside it or go to the next block. Loads are big-endian:
    // the words compared are the bytes in order. A load past the packet's end drops it, so the
    // option is read only when the payload is longer than the bare advertisement.
    constexpr std::uint32_t ethernet_source = SKF_LL_OFF + 6;
    constexpr std::uint32_t at_option = header_size + message_size;
    constexpr std::size_t block = 26;
    const std::size_t listed = std::min(pins.size(), claim_filter_limit);
    for (std::size_t i = 0; i < listed; ++i) {
        const PinnedClaim& pin = pins[i];
        const auto word = [&pin](std::size_t at) {
            return std::uint32_t{pin.address[at]} << 24 | std::uint32_t{pin.address[at + 1]} << 16 |
                   std::uint32_t{pin.address[at + 2]} << 8 | pin.address[at + 3];
        };
        const std::uint32_t high = std::uint32_t{pin.mac[0]} << 24 |
                                   std::uint32_t{pin.mac[1]} << 16 |
                                   std::uint32_t{pin.mac[2]} << 8 | pin.mac[3];
        const std::uint32_t low = std::uint32_t{pin.mac[4]} << 8 | pin.mac[5];
        // Positions in the block, for the jumps: k is the instruction's own index.
        constexpr std::size_t check_source = 20;
        constexpr std::size_t pass = block - 2;
        constexpr std::size_t drop_pin = block - 1;
        const auto to = [](std::size_t k, std::size_t target) { return target - k - 1; };
        const sock_filter pinBlock[block] = {
            /* 0 */ load(BPF_W, at_target),
            /* 1 */ jump(word(0), 0, to(1, block)),
            /* 2 */ load(BPF_W, at_target + 4),
            /* 3 */ jump(word(4), 0, to(3, block)),
            /* 4 */ load(BPF_W, at_target + 8),
            /* 5 */ jump(word(8), 0, to(5, block)),
            /* 6 */ load(BPF_W, at_target + 12),
            /* 7 */ jump(word(12), 0, to(7, block)),
            /* 8 */ load(BPF_W, SKF_AD_OFF + SKF_AD_IFINDEX),
            /* 9 */ jump(static_cast<std::uint32_t>(pin.interfaceIndex), 0, to(9, block)),
            /* 10 */ load(BPF_H, at_payload_length),
            /* 11 */ jump(message_size, to(11, check_source), 0),
            // Options: a target link-layer address option for Ethernet first, or undecided.
            /* 12 */ load(BPF_B, at_option),
            /* 13 */ jump(option_target_link_address, 0, to(13, pass)),
            /* 14 */ load(BPF_B, at_option + 1),
            /* 15 */ jump(1, 0, to(15, pass)),
            /* 16 */ load(BPF_W, at_option + 2),
            /* 17 */ jump(high, 0, to(17, pass)),
            /* 18 */ load(BPF_H, at_option + 6),
            /* 19 */ jump(low, to(19, drop_pin), to(19, pass)),
            // No option: the Ethernet source, before the network header.
            /* 20 */ load(BPF_W, ethernet_source),
            /* 21 */ jump(high, 0, to(21, pass)),
            /* 22 */ load(BPF_H, ethernet_source + 4),
            /* 23 */ jump(low, to(23, drop_pin), 0),
            /* 24 */ Statement(BPF_RET | BPF_K, 0xFFFF),
            /* 25 */ Statement(BPF_RET | BPF_K, 0),
        };
        program.insert(program.end(), std::begin(pinBlock), std::end(pinBlock));
    }
    program.push_back(Statement(BPF_RET | BPF_K, 0));
    return program;
}

std::optional<MacAddress> ClaimedMac(const Received& received, const PinnedClaim& pin) {
    const Message& message = received.message;
    if (received.interfaceIndex != pin.interfaceIndex || received.vlanTagged ||
        received.packetType == PACKET_OUTGOING || received.packetType == PACKET_OTHERHOST ||
        message.type != type_advertisement || message.code != 0 || message.hopLimit != hop_limit ||
        message.target != pin.address) {
        return std::nullopt;
    }
    const MacAddress mac = message.targetLinkAddresses.empty()
                               ? received.ethernetSource
                               : message.targetLinkAddresses.front();
    if (mac == pin.mac) {
        return std::nullopt;
    }
    return mac;
}

NdSocket::NdSocket(int interfaceIndex, const std::vector<sock_filter>& filter)
    : frames_(interfaceIndex, ETH_P_IPV6, filter) {}

void NdSocket::SetFilter(const std::vector<sock_filter>& filter) { frames_.SetFilter(filter); }

void NdSocket::Send(std::span<const std::uint8_t> packet, int interfaceIndex,
                    const MacAddress& destination) {
    frames_.Send(packet, interfaceIndex, destination);
}

namespace {

// The frame's Neighbor Discovery message with what the kernel told of it; nothing for a frame
// that holds none.
std::optional<Received> Interpret(std::span<const std::uint8_t> bytes,
                                  const packet::FrameInfo& info) {
    const auto message = Decode(bytes);
    if (!message) {
        return std::nullopt;
    }
    return Received{*message, info.interfaceIndex, info.packetType, info.ethernetSource,
                    info.vlanTagged};
}

} // namespace

std::optional<Received> NdSocket::Receive(std::chrono::steady_clock::time_point deadline) {
    std::optional<Received> received;
    frames_.ReceiveUntil(deadline,
                         [&](std::span<const std::uint8_t> bytes, const packet::FrameInfo& info) {
                             received = Interpret(bytes, info);
                             return received.has_value();
                         });
    return received;
}

std::vector<Received> NdSocket::ReceiveAllQueued(std::size_t limit) {
    std::vector<Received> packets;
    frames_.ReadQueued(limit,
                       [&](std::span<const std::uint8_t> bytes, const packet::FrameInfo& info) {
                           if (auto packet = Interpret(bytes, info)) {
                               packets.push_back(std::move(*packet));
                           }
                       });
    return packets;
}

bool NdSocket::DroppedSinceLastCall() { return frames_.DropsSinceLastCall() != 0; }

std::uint64_t NdSocket::DropsSinceLastCall() { return frames_.DropsSinceLastCall(); }

} // namespace Core_SocketARP::nd
