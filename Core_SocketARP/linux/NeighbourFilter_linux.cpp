#include "Core_SocketARP/linux/NeighbourFilter_linux.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
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
constexpr std::uint32_t cell_family = 0;
constexpr std::uint32_t cell_link = 1;
constexpr std::uint32_t cell_address = 2; // to 5: an IPv6 address's four words

sock_filter Statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }

sock_filter Jump(std::uint16_t code, std::uint32_t k, std::uint8_t ifTrue, std::uint8_t ifFalse) {
    return BPF_JUMP(code, k, ifTrue, ifFalse);
}

} // namespace

std::optional<std::vector<sock_filter>>
NeighbourFilter(const std::vector<WatchedNeighbour>& entries) {
    // The entries of each family by link, each address as 32-bit words in the order they load.
    using Words = std::vector<std::uint32_t>;
    std::map<std::uint32_t, std::vector<Words>> ipv4;
    std::map<std::uint32_t, std::vector<Words>> ipv6;
    for (const WatchedNeighbour& entry : entries) {
        if (entry.address.size() != 4 && entry.address.size() != 16) {
            continue;
        }
        Words words(entry.address.size() / 4);
        for (std::size_t i = 0; i < words.size(); ++i) {
            std::uint32_t word = 0;
            std::memcpy(&word, entry.address.data() + 4 * i, 4);
            words[i] = ntohl(word);
        }
        auto& addresses = (words.size() == 1 ? ipv4 : ipv6)[entry.interfaceIndex];
        if (std::find(addresses.begin(), addresses.end(), words) == addresses.end()) {
            addresses.push_back(std::move(words));
        }
    }
    // Loads read in network byte order: the message's own fields (host order) are compared
    // byte-swapped where the host is little-endian, the address (network order) as it loads.
    std::vector<sock_filter> program = {
        Statement(BPF_LD | BPF_H | BPF_ABS, at_type),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, htons(RTM_NEWNEIGH), 2, 0),
        Jump(BPF_JMP | BPF_JEQ | BPF_K, htons(RTM_DELNEIGH), 1, 0),
        Statement(BPF_RET | BPF_K, accept),
        Statement(BPF_LD | BPF_B | BPF_ABS, at_family),
        Statement(BPF_ST, cell_family),
    };
    // One section a family: the link and the address attribute's words into the scratch
    // cells, then one block a link whose check jumps over the block on a mismatch (ja reaches
    // any distance, unlike the 8-bit offsets of a conditional jump), each address a chain of
    // word checks that falls to the next address on a mismatch.
    const auto section = [&program](std::uint8_t family,
                                    const std::map<std::uint32_t, std::vector<Words>>& byLink,
                                    std::uint32_t wordCount) {
        std::size_t size = 9 + 2 * std::size_t{wordCount};
        for (const auto& [link, addresses] : byLink) {
            size += 3 + addresses.size() * (2 * wordCount + 1) + 1;
        }
        program.push_back(Statement(BPF_LD | BPF_MEM, cell_family));
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, family, 1, 0));
        program.push_back(Statement(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(size)));
        const std::vector<sock_filter> load = {
            Statement(BPF_LD | BPF_W | BPF_ABS, at_link),
            Statement(BPF_ST, cell_link),
            // The kernel finds the address attribute wherever it is (0: none).
            Statement(BPF_LDX | BPF_W | BPF_IMM, NDA_DST),
            Statement(BPF_LD | BPF_W | BPF_IMM, at_attributes),
            Statement(BPF_LD | BPF_W | BPF_ABS,
                      static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_NLATTR)),
        };
        program.insert(program.end(), load.begin(), load.end());
        program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1));
        program.push_back(Statement(BPF_RET | BPF_K, drop));
        program.push_back(Statement(BPF_MISC | BPF_TAX, 0));
        // A load past the message's end ends the filter with a drop.
        for (std::uint32_t i = 0; i < wordCount; ++i) {
            program.push_back(Statement(BPF_LD | BPF_W | BPF_IND, NLA_HDRLEN + 4 * i));
            program.push_back(Statement(BPF_ST, cell_address + i));
        }
        for (const auto& [link, addresses] : byLink) {
            const auto perAddress = static_cast<std::uint32_t>(2 * wordCount + 1);
            program.push_back(Statement(BPF_LD | BPF_MEM, cell_link));
            program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, htonl(link), 1, 0));
            program.push_back(Statement(
                BPF_JMP | BPF_JA, static_cast<std::uint32_t>(addresses.size() * perAddress + 1)));
            for (const Words& words : addresses) {
                for (std::uint32_t i = 0; i < wordCount; ++i) {
                    program.push_back(Statement(BPF_LD | BPF_MEM, cell_address + i));
                    // On a mismatch: past this address's remaining checks and its return.
                    const auto skip = static_cast<std::uint8_t>(perAddress - 2 * (i + 1));
                    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, words[i], 0, skip));
                }
                program.push_back(Statement(BPF_RET | BPF_K, accept));
            }
            program.push_back(Statement(BPF_RET | BPF_K, drop));
        }
        program.push_back(Statement(BPF_RET | BPF_K, drop));
    };
    if (!ipv4.empty()) {
        section(AF_INET, ipv4, 1);
    }
    if (!ipv6.empty()) {
        section(AF_INET6, ipv6, 4);
    }
    program.push_back(Statement(BPF_RET | BPF_K, drop));
    if (program.size() > BPF_MAXINSNS) {
        return std::nullopt;
    }
    return program;
}

int FilterNeighbours(int fd, const std::optional<std::vector<WatchedNeighbour>>& entries) {
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
