#include "Core_SocketARP/linux/NeighbourFilter_linux.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <map>

namespace Core_SocketARP {
namespace {

// Where the filter reads a notification (each one comes alone in its datagram): the message
// type, then the neighbour header's family and link, then its attributes.
constexpr std::uint32_t at_type = offsetof(nlmsghdr, nlmsg_type);
constexpr std::uint32_t at_family = NLMSG_HDRLEN + offsetof(ndmsg, ndm_family);
constexpr std::uint32_t at_link = NLMSG_HDRLEN + offsetof(ndmsg, ndm_ifindex);
constexpr std::uint32_t at_attributes = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg));

constexpr std::uint32_t accept = 0xFFFFFFFF;
constexpr std::uint32_t drop = 0;
// Scratch memory cells of the filter.
constexpr std::uint32_t cell_link = 0;
constexpr std::uint32_t cell_address = 1;

sock_filter Statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }

sock_filter Jump(std::uint16_t code, std::uint32_t k, std::uint8_t ifTrue, std::uint8_t ifFalse) {
    return BPF_JUMP(code, k, ifTrue, ifFalse);
}

} // namespace

std::optional<std::vector<sock_filter>>
NeighbourFilter(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
    // Loads read in network byte order: the message's own fields (host order) are compared
    // byte-swapped where the host is little-endian, the address (network order) as it loads.
    std::vector<sock_filter> program = {
        Statement(BPF_LD | BPF_H | BPF_ABS, at_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, htons(RTM_NEWNEIGH), 2, 0),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, htons(RTM_DELNEIGH), 1, 0),
        Statement(BPF_RET | BPF_K, accept),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_family),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0),
        Statement(BPF_RET | BPF_K, drop),
        Statement(BPF_LD | BPF_W | BPF_ABS, at_link),
        Statement(BPF_ST, cell_link),
        // The kernel finds the address attribute wherever it is (0: none).
        Statement(BPF_LDX | BPF_W | BPF_IMM, NDA_DST),
        Statement(BPF_LD | BPF_W | BPF_IMM, at_attributes),
        Statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_NLATTR)),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        Statement(BPF_RET | BPF_K, drop),
        Statement(BPF_MISC | BPF_TAX, 0),
        Statement(BPF_LD | BPF_W | BPF_IND, NLA_HDRLEN),
        Statement(BPF_ST, cell_address),
    };
    std::map<std::uint32_t, std::vector<std::uint32_t>> byLink;
    for (const auto& [link, address] : entries) {
        auto& addresses = byLink[link];
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            addresses.push_back(address);
        }
    }
    std::size_t size = program.size() + 1;
    for (const auto& [link, addresses] : byLink) {
        size += 5 + 2 * addresses.size();
    }
    if (size > BPF_MAXINSNS) {
        return std::nullopt;
    }
    // One block a link: its check jumps over the block on a mismatch (ja reaches any distance,
    // unlike the 8-bit offsets of a conditional jump).
    for (const auto& [link, addresses] : byLink) {
        program.push_back(Statement(BPF_LD | BPF_MEM, cell_link));
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, htonl(link), 1, 0));
        program.push_back(
            Statement(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(2 + 2 * addresses.size())));
        program.push_back(Statement(BPF_LD | BPF_MEM, cell_address));
        for (const std::uint32_t address : addresses) {
            program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, ntohl(address), 0, 1));
            program.push_back(Statement(BPF_RET | BPF_K, accept));
        }
        program.push_back(Statement(BPF_RET | BPF_K, drop));
    }
    program.push_back(Statement(BPF_RET | BPF_K, drop));
    return program;
}

int FilterNeighbours(
    int fd, const std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>>& entries) {
    const auto program = entries ? NeighbourFilter(*entries) : std::nullopt;
    if (!program) {
        int unused = 0;
        if (::setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) != 0 &&
            errno != ENOENT) {
            return errno;
        }
        return 0;
    }
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(program->size());
    fprog.filter = const_cast<sock_filter*>(program->data());
    // Replaces the filter at once: a notification is let in by the one or the other.
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) {
        return errno;
    }
    return 0;
}

} // namespace Core_SocketARP
