// Kernel messages built byte by byte for the netlink tests: attributes, a message as the netlink
// reader hands it over, and datagrams as the kernel sends them.
#pragma once

#include "Core_SocketARP/linux/Netlink_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tw_netlink {

inline void AppendAttribute(std::vector<std::uint8_t>& bytes, std::uint16_t type, const void* data,
                            std::size_t length) {
    const std::size_t start = bytes.size();
    bytes.resize(start + RTA_ALIGN(RTA_LENGTH(length)), 0);
    const rtattr attribute{static_cast<unsigned short>(RTA_LENGTH(length)), type};
    std::memcpy(bytes.data() + start, &attribute, sizeof attribute);
    if (length > 0) {
        std::memcpy(bytes.data() + start + RTA_LENGTH(0), data, length);
    }
}

// Appends one message to a datagram: its netlink header, then `payload`.
inline void AppendMessage(std::vector<std::uint8_t>& bytes, std::uint16_t type, std::uint16_t flags,
                          const void* payload, std::size_t length, std::uint32_t seq = 0,
                          std::uint32_t pid = 0) {
    const std::size_t start = bytes.size();
    bytes.resize(start + NLMSG_ALIGN(NLMSG_LENGTH(length)), 0);
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(length));
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = seq;
    header.nlmsg_pid = pid;
    std::memcpy(bytes.data() + start, &header, sizeof header);
    if (length > 0) {
        std::memcpy(bytes.data() + start + NLMSG_HDRLEN, payload, length);
    }
}

// A kernel message as the netlink reader hands it over: the family header, then attributes.
class MessageBuilder {
public:
    template <class Header> MessageBuilder(std::uint16_t type, const Header& header) {
        message_.type = type;
        message_.payload.resize(NLMSG_ALIGN(sizeof header), 0);
        std::memcpy(message_.payload.data(), &header, sizeof header);
    }

    MessageBuilder& Attribute(std::uint16_t type, const void* data, std::size_t length) {
        AppendAttribute(message_.payload, type, data, length);
        return *this;
    }

    MessageBuilder& U32(std::uint16_t type, std::uint32_t value) {
        return Attribute(type, &value, sizeof value);
    }

    Core_SocketARP::netlink::Message Build() const { return message_; }

    // The message alone in a datagram, as the kernel sends it.
    std::vector<std::uint8_t> Datagram() const {
        std::vector<std::uint8_t> bytes;
        AppendMessage(bytes, message_.type, message_.flags, message_.payload.data(),
                      message_.payload.size());
        return bytes;
    }

private:
    Core_SocketARP::netlink::Message message_;
};

} // namespace tw_netlink
