#include "Core_SocketARP/linux/PacketFrames_linux.h"

#include "Core_SocketARP/linux/SystemError_linux.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace Core_SocketARP::packet {
namespace {

// One frame's room for recvmmsg: its bytes, its sender and its VLAN note.
struct FrameSlot {
    std::array<std::uint8_t, FrameSocket::frame_bytes> bytes{};
    sockaddr_ll from{};
    iovec data{};
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(tpacket_auxdata))> control{};
};

void Prepare(FrameSlot& slot, mmsghdr& header) {
    slot.data = {slot.bytes.data(), slot.bytes.size()};
    header = mmsghdr{};
    header.msg_hdr.msg_name = &slot.from;
    header.msg_hdr.msg_namelen = sizeof slot.from;
    header.msg_hdr.msg_iov = &slot.data;
    header.msg_hdr.msg_iovlen = 1;
    header.msg_hdr.msg_control = slot.control.data();
    header.msg_hdr.msg_controllen = slot.control.size();
}

FrameInfo InfoOf(const FrameSlot& slot, msghdr& message) {
    FrameInfo info{slot.from.sll_ifindex, slot.from.sll_pkttype, {}, false};
    if (slot.from.sll_halen == info.ethernetSource.size()) {
        std::copy_n(slot.from.sll_addr, info.ethernetSource.size(), info.ethernetSource.begin());
    }
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_PACKET && header->cmsg_type == PACKET_AUXDATA &&
            header->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
            tpacket_auxdata aux{};
            std::memcpy(&aux, CMSG_DATA(header), sizeof aux);
            info.vlanTagged = (aux.tp_status & TP_STATUS_VLAN_VALID) != 0 ||
                              (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) != 0;
        }
    }
    return info;
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

void AttachFilter(int fd, const std::vector<sock_filter>& program) {
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(program.size());
    fprog.filter = const_cast<sock_filter*>(program.data());
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) {
        ThrowErrno();
    }
}

FrameSocket::FrameSocket(int interfaceIndex, std::uint16_t protocol,
                         const std::vector<sock_filter>& filter)
    : protocol_(protocol) {
    // Protocol 0: the socket receives nothing until it is bound below.
    fd_.reset(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_) {
        ThrowErrno();
    }
    AttachFilter(fd_.get(), filter);
    // The kernel tells of each frame whether it carried a VLAN tag.
    const int on = 1;
    if (::setsockopt(fd_.get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0) {
        ThrowErrno();
    }
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(protocol_);
    local.sll_ifindex = interfaceIndex;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ThrowErrno();
    }
}

void FrameSocket::SetFilter(const std::vector<sock_filter>& filter) {
    AttachFilter(fd_.get(), filter);
    std::array<std::uint8_t, 64> bytes{};
    while (::recv(fd_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT) >= 0 || errno == EINTR) {
    }
}

void FrameSocket::Send(std::span<const std::uint8_t> payload, int interfaceIndex,
                       const std::array<std::uint8_t, 6>& destination) {
    sockaddr_ll remote{};
    remote.sll_family = AF_PACKET;
    remote.sll_protocol = htons(protocol_);
    remote.sll_ifindex = interfaceIndex;
    remote.sll_halen = 6;
    std::copy(destination.begin(), destination.end(), remote.sll_addr);
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_.get(), payload.data(), payload.size(), 0,
                        reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        ThrowErrno();
    }
}

std::size_t FrameSocket::ReadQueued(std::size_t limit, const FrameVisit& visit) {
    constexpr std::size_t batch = 32;
    std::array<FrameSlot, batch> slots;
    std::array<mmsghdr, batch> headers{};
    std::size_t read = 0;
    while (read < limit) {
        const std::size_t wanted = std::min(batch, limit - read);
        for (std::size_t i = 0; i < wanted; ++i) {
            Prepare(slots[i], headers[i]);
        }
        const int count = ::recvmmsg(fd_.get(), headers.data(), static_cast<unsigned>(wanted),
                                     MSG_DONTWAIT, nullptr);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            ThrowErrno();
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            const FrameSlot& slot = slots[i];
            if (slot.from.sll_pkttype == PACKET_OUTGOING) {
                continue;
            }
            const std::size_t length = std::min<std::size_t>(headers[i].msg_len, slot.bytes.size());
            visit({slot.bytes.data(), length}, InfoOf(slot, headers[i].msg_hdr));
        }
        read += static_cast<std::size_t>(count);
        if (static_cast<std::size_t>(count) < wanted) {
            break; // the queue is empty
        }
    }
    return read;
}

bool FrameSocket::ReceiveUntil(
    std::chrono::steady_clock::time_point deadline,
    const std::function<bool(std::span<const std::uint8_t>, const FrameInfo&)>& take) {
    bool taken = false;
    const FrameVisit offer = [&](std::span<const std::uint8_t> bytes, const FrameInfo& info) {
        taken = take(bytes, info);
    };
    for (;;) {
        while (ReadQueued(1, offer) > 0) {
            if (taken) {
                return true;
            }
        }
        pollfd waiting{fd_.get(), POLLIN, 0};
        const timespec timeout = Remaining(deadline);
        const int ready = ::ppoll(&waiting, 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            ThrowErrno();
        }
        if (ready == 0) {
            return false;
        }
    }
}

std::uint64_t FrameSocket::DropsSinceLastCall() {
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(fd_.get(), SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) {
        return 0;
    }
    return stats.tp_drops;
}

} // namespace Core_SocketARP::packet
