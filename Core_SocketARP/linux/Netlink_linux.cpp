#include "Core_SocketARP/linux/Netlink_linux.h"

#include "Core_SocketARP/ErrorDetail.h"
#include "Core_SocketARP/NetworkStack.h"
#include "Core_SocketARP/linux/SystemError_linux.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace Core_SocketARP {

namespace netlink {
namespace {

constexpr std::size_t receive_buffer_size = std::size_t{64} * 1024;
constexpr int dump_attempts = 3;
constexpr int reply_timeout_seconds = 5;

nlmsghdr ReadMessageHeader(const std::uint8_t* at) {
    nlmsghdr header{};
    std::memcpy(&header, at, sizeof header);
    return header;
}

int ReadInt(std::span<const std::uint8_t> bytes) {
    int value = 0;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The errno of a kernel error field (a negated errno). A value no errno could be negated from,
// INT_MIN among them (negating it overflows), is a protocol error.
int ErrnoOfKernelError(int error) {
    constexpr int highest_errno = 4095;
    return error < 0 && error >= -highest_errno ? -error : EPROTO;
}

// The errno of an NLMSG_ERROR message (0: an acknowledgement). Throws EBADMSG for one too short
// to hold the error field.
int ErrnoOfErrorMessage(std::span<const std::uint8_t> payload) {
    if (payload.size() < sizeof(int)) {
        ThrowCode(EBADMSG);
    }
    const int error = ReadInt(payload);
    return error == 0 ? 0 : ErrnoOfKernelError(error);
}

// The kernel's own words in the attributes that follow `offset` of a payload, where the
// message has them (NLM_F_ACK_TLVS), as iproute2's nl_dump_ext_ack reads them; empty otherwise.
std::string ExtendedAckMessage(std::uint16_t flags, std::span<const std::uint8_t> payload,
                               std::size_t offset) {
    if ((flags & NLM_F_ACK_TLVS) == 0 || offset > payload.size()) {
        return {};
    }
    std::string text;
    ForEachAttribute(payload.subspan(std::min(NLMSG_ALIGN(offset), payload.size())),
                     [&text](std::uint16_t type, std::span<const std::uint8_t> data) {
                         if (type == NLMSGERR_ATTR_MSG) {
                             text.assign(data.begin(), std::find(data.begin(), data.end(), 0));
                         }
                     });
    return text;
}

// The kernel's words of an NLMSG_ERROR message: its attributes follow the error field, the
// header of the request it answers and, unless the kernel left it out (NLM_F_CAPPED), the
// request's own payload.
std::string ErrorMessageText(std::uint16_t flags, std::span<const std::uint8_t> payload) {
    nlmsgerr error{};
    if (payload.size() < sizeof error) {
        return {};
    }
    std::memcpy(&error, payload.data(), sizeof error);
    std::size_t offset = sizeof error;
    if ((flags & NLM_F_CAPPED) == 0 && error.msg.nlmsg_len > NLMSG_HDRLEN) {
        offset += error.msg.nlmsg_len - NLMSG_HDRLEN;
    }
    return ExtendedAckMessage(flags, payload, offset);
}

} // namespace

Request::Request(std::uint16_t type, std::uint16_t flags) : buffer_(NLMSG_HDRLEN, 0) {
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_HDRLEN;
    header.nlmsg_type = type;
    header.nlmsg_flags = static_cast<std::uint16_t>(flags | NLM_F_REQUEST);
    std::memcpy(buffer_.data(), &header, sizeof header);
}

void Request::Append(const void* data, std::size_t length) {
    const std::size_t start = NLMSG_ALIGN(buffer_.size());
    const std::size_t end = start + length;
    if (end > std::numeric_limits<std::uint32_t>::max()) {
        ThrowCode(EMSGSIZE);
    }
    buffer_.resize(NLMSG_ALIGN(end), 0);
    std::memcpy(buffer_.data() + start, data, length);
    nlmsghdr header = ReadMessageHeader(buffer_.data());
    header.nlmsg_len = static_cast<std::uint32_t>(end);
    std::memcpy(buffer_.data(), &header, sizeof header);
}

void Request::AddAttribute(std::uint16_t type, const void* data, std::size_t length) {
    if (RTA_LENGTH(length) > std::numeric_limits<std::uint16_t>::max()) {
        ThrowCode(EMSGSIZE);
    }
    rtattr attribute{};
    attribute.rta_len = static_cast<std::uint16_t>(RTA_LENGTH(length));
    attribute.rta_type = type;
    std::vector<std::uint8_t> bytes(RTA_LENGTH(length), 0);
    std::memcpy(bytes.data(), &attribute, sizeof attribute);
    if (length > 0) {
        std::memcpy(bytes.data() + RTA_LENGTH(0), data, length);
    }
    Append(bytes.data(), bytes.size());
}

void Request::SetSequence(std::uint32_t sequence) {
    nlmsghdr header = ReadMessageHeader(buffer_.data());
    header.nlmsg_seq = sequence;
    std::memcpy(buffer_.data(), &header, sizeof header);
}

void Request::AddFlags(std::uint16_t flags) {
    nlmsghdr header = ReadMessageHeader(buffer_.data());
    header.nlmsg_flags = static_cast<std::uint16_t>(header.nlmsg_flags | flags);
    std::memcpy(buffer_.data(), &header, sizeof header);
}

std::uint16_t Request::Flags() const { return ReadMessageHeader(buffer_.data()).nlmsg_flags; }

void ForEachAttribute(
    std::span<const std::uint8_t> area,
    const std::function<void(std::uint16_t, std::span<const std::uint8_t>)>& visit) {
    while (area.size() >= sizeof(rtattr)) {
        rtattr attribute{};
        std::memcpy(&attribute, area.data(), sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > area.size()) {
            return;
        }
        visit(static_cast<std::uint16_t>(attribute.rta_type & NLA_TYPE_MASK),
              area.subspan(RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        area = area.subspan(std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), area.size()));
    }
}

void EnableExtendedAck(int fd) {
    const int on = 1;
    if (::setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &on, sizeof on) != 0 &&
        errno != ENOPROTOOPT) {
        ThrowErrno();
    }
}

std::span<const std::uint8_t> AttributeArea(const Message& message, std::size_t headerSize) {
    const std::size_t start = NLMSG_ALIGN(headerSize);
    if (message.payload.size() < start) {
        return {};
    }
    return std::span<const std::uint8_t>(message.payload).subspan(start);
}

Message MessageOf(const nlmsghdr& header, std::span<const std::uint8_t> payload) {
    return Message{header.nlmsg_type, header.nlmsg_flags, {payload.begin(), payload.end()}};
}

bool ForEachMessage(
    std::span<const std::uint8_t> datagram,
    const std::function<bool(const nlmsghdr&, std::span<const std::uint8_t>)>& visit) {
    std::size_t offset = 0;
    while (datagram.size() - offset >= sizeof(nlmsghdr)) {
        const nlmsghdr header = ReadMessageHeader(datagram.data() + offset);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > datagram.size() - offset) {
            ThrowCode(EBADMSG);
        }
        const auto payload =
            datagram.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
        offset = std::min<std::size_t>(offset + NLMSG_ALIGN(header.nlmsg_len), datagram.size());
        if (visit(header, payload)) {
            return true;
        }
    }
    return false;
}

bool ReplyReader::Feed(std::span<const std::uint8_t> datagram) {
    const auto take = [this](const nlmsghdr& header, std::span<const std::uint8_t> payload) {
        if (header.nlmsg_seq != sequence_ || header.nlmsg_pid != port_id_) {
            return false; // left over from an earlier request
        }
        if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
            interrupted_ = true;
        }
        switch (header.nlmsg_type) {
        case NLMSG_NOOP:
            return false;
        case NLMSG_ERROR: {
            const int error = ErrnoOfErrorMessage(payload);
            if (error == 0) {
                return true; // the acknowledgement
            }
            kernel_message_ = ErrorMessageText(header.nlmsg_flags, payload);
            ThrowCode(error);
        }
        case NLMSG_DONE:
            // A dump that fails part-way says so inside NLMSG_DONE, its words after the error.
            if (payload.size() >= sizeof(int)) {
                const int error = ReadInt(payload);
                if (error < 0) {
                    kernel_message_ = ExtendedAckMessage(header.nlmsg_flags, payload, sizeof(int));
                    ThrowCode(ErrnoOfKernelError(error));
                }
            }
            return true;
        case NLMSG_OVERRUN:
            ThrowCode(ENOBUFS);
        default:
            messages_.push_back(MessageOf(header, payload));
            return false;
        }
    };
    return ForEachMessage(datagram, take);
}

Socket::Socket() : receive_buffer_(receive_buffer_size) {
    fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd_) {
        ThrowErrno();
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ThrowErrno();
    }
    socklen_t length = sizeof local;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ThrowErrno();
    }
    port_id_ = local.nl_pid;
    EnableExtendedAck(fd_.get());
    // Strict checking makes the kernel filter dumps by the request's attributes; older kernels
    // lack it, and the callers filter again themselves.
    const int on = 1;
    ::setsockopt(fd_.get(), SOL_NETLINK, NETLINK_GET_STRICT_CHK, &on, sizeof on);
    // The kernel always answers; the limit only keeps a pass from hanging if it did not.
    const timeval timeout{reply_timeout_seconds, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void Socket::Send(std::span<const std::uint8_t> bytes) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent = -1;
    do {
        sent = ::sendto(fd_.get(), bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        ThrowErrno();
    }
    if (static_cast<std::size_t>(sent) != bytes.size()) {
        ThrowCode(EMSGSIZE);
    }
}

template <class Reader> void Socket::ReadUntilDone(Reader& reader) {
    for (;;) {
        const ssize_t received =
            ::recv(fd_.get(), receive_buffer_.data(), receive_buffer_.size(), MSG_TRUNC);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno();
        }
        if (static_cast<std::size_t>(received) > receive_buffer_.size()) {
            ThrowCode(EMSGSIZE);
        }
        if (reader.Feed({receive_buffer_.data(), static_cast<std::size_t>(received)})) {
            return;
        }
    }
}

std::vector<Message> Socket::Exchange(Request& request, bool& interrupted) {
    ForgetErrorDetail();
    request.SetSequence(++sequence_);
    Send(request.Bytes());
    ReplyReader reader(sequence_, port_id_);
    try {
        ReadUntilDone(reader);
    } catch (SystemErrorCode code) {
        KeepErrorDetail(code, reader.KernelMessage());
        throw;
    }
    interrupted = reader.Interrupted();
    return std::move(reader.Messages());
}

std::vector<GetAnswer> Socket::TransactEach(std::vector<Request>& requests) {
    for (Request& request : requests) {
        request.AddFlags(NLM_F_ACK);
    }
    return GetEach(requests);
}

std::vector<GetAnswer> Socket::GetEach(std::vector<Request>& requests) {
    ForgetErrorDetail();
    if (requests.empty()) {
        return {};
    }
    const std::uint32_t first = sequence_ + 1;
    std::vector<std::uint8_t> batch;
    for (Request& request : requests) {
        request.SetSequence(++sequence_);
        const auto bytes = request.Bytes();
        batch.insert(batch.end(), bytes.begin(), bytes.end());
    }
    Send(batch);
    BatchReader reader(first, requests.size(), port_id_);
    ReadUntilDone(reader);
    return std::move(reader.Answers());
}

bool BatchReader::Feed(std::span<const std::uint8_t> datagram) {
    const auto take = [this](const nlmsghdr& header, std::span<const std::uint8_t> payload) {
        // Modulo 2^32: a sequence before the batch becomes a huge index.
        const std::uint32_t index = header.nlmsg_seq - first_;
        if (header.nlmsg_pid != port_id_ || index >= answered_.size() || answered_[index] ||
            header.nlmsg_type == NLMSG_NOOP) {
            return false; // left over from an earlier request
        }
        GetAnswer& answer = answers_[index];
        if (header.nlmsg_type == NLMSG_ERROR) {
            answer.error = static_cast<SystemErrorCode>(ErrnoOfErrorMessage(payload));
            if (answer.error != 0) {
                answer.kernelMessage = ErrorMessageText(header.nlmsg_flags, payload);
            }
        } else {
            answer.message = MessageOf(header, payload);
        }
        answered_[index] = true;
        return --left_ == 0;
    };
    return ForEachMessage(datagram, take);
}

std::vector<Message> Socket::Transact(Request& request) {
    request.AddFlags(NLM_F_ACK);
    bool interrupted = false;
    return Exchange(request, interrupted);
}

std::vector<Message> Socket::Dump(Request& request) {
    request.AddFlags(NLM_F_DUMP);
    for (int attempt = 0; attempt < dump_attempts; ++attempt) {
        bool interrupted = false;
        std::vector<Message> messages = Exchange(request, interrupted);
        if (!interrupted) {
            return messages;
        }
    }
    ThrowCode(EINTR);
}

} // namespace netlink
} // namespace Core_SocketARP
