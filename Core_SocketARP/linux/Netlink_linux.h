// A thin rtnetlink client of our own: one request struct, checked attribute adds, replies
// read until their acknowledgement or NLMSG_DONE, kernel errors as errno codes with the
// kernel's own words of them (extended acknowledgements).
#pragma once

#include "Core_Common/linux/ScopedFd_linux.h"
#include "Core_SocketARP/NetworkStack.h"

#include <linux/netlink.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Core_SocketARP {

using Core_Common::ScopedFd;

namespace netlink {

// One request: nlmsghdr, the family header, then attributes. Every add is checked; one that
// does not fit throws EMSGSIZE.
class Request {
public:
    Request(std::uint16_t type, std::uint16_t flags);

    template <class Header> void AddFamilyHeader(const Header& header) {
        Append(&header, sizeof header);
    }
    void AddAttribute(std::uint16_t type, const void* data, std::size_t length);
    template <class Value> void AddAttribute(std::uint16_t type, const Value& value) {
        AddAttribute(type, &value, sizeof value);
    }

    void SetSequence(std::uint32_t sequence);
    void AddFlags(std::uint16_t flags);
    std::uint16_t Flags() const;
    std::span<const std::uint8_t> Bytes() const { return buffer_; }

private:
    void Append(const void* data, std::size_t length);

    std::vector<std::uint8_t> buffer_;
};

// A message of a reply: its type, flags and payload (what follows nlmsghdr).
struct Message {
    std::uint16_t type = 0;
    std::uint16_t flags = 0;
    std::vector<std::uint8_t> payload;

    // The family header at the start of the payload; false when the payload is shorter.
    template <class Header> bool ReadHeader(Header& header) const {
        if (payload.size() < sizeof header) {
            return false;
        }
        std::memcpy(&header, payload.data(), sizeof header);
        return true;
    }
};

// The message of a header and its payload (copied).
Message MessageOf(const nlmsghdr& header, std::span<const std::uint8_t> payload);

// Calls visit(type, data) for every well-formed attribute of an attribute area; stops at the
// first malformed one.
void ForEachAttribute(
    std::span<const std::uint8_t> area,
    const std::function<void(std::uint16_t, std::span<const std::uint8_t>)>& visit);

// Calls visit(header, payload) for each message of a datagram until it returns true (then
// true). Throws EBADMSG for a message that does not fit.
bool ForEachMessage(
    std::span<const std::uint8_t> datagram,
    const std::function<bool(const nlmsghdr&, std::span<const std::uint8_t>)>& visit);

// The attributes of a message: what follows its family header (aligned).
std::span<const std::uint8_t> AttributeArea(const Message& message, std::size_t headerSize);

// Asks the kernel to give its own words with every error (NETLINK_EXT_ACK). Kernels without
// the option (before 4.12) give the code alone. Throws the errno of any other failure.
void EnableExtendedAck(int fd);

// Collects the reply to one request from the datagrams the kernel sends.
class ReplyReader {
public:
    ReplyReader(std::uint32_t sequence, std::uint32_t portId)
        : sequence_(sequence), port_id_(portId) {}

    // Takes one datagram. Returns true once the reply is complete (an acknowledgement or
    // NLMSG_DONE). Throws the errno of a kernel error, also one inside NLMSG_DONE; EBADMSG for
    // a malformed message. Messages of other requests are skipped.
    bool Feed(std::span<const std::uint8_t> datagram);

    // The kernel's own words of the error Feed threw; empty when it gave none.
    const std::string& KernelMessage() const { return kernel_message_; }

    // The dump changed while it ran (NLM_F_DUMP_INTR); its content may be inconsistent.
    bool Interrupted() const { return interrupted_; }

    std::vector<Message>& Messages() { return messages_; }

private:
    std::uint32_t sequence_;
    std::uint32_t port_id_;
    bool interrupted_ = false;
    std::vector<Message> messages_;
    std::string kernel_message_;
};

// The answer to one request of a batch: its message, or the errno of its failure (0: an
// acknowledgement) with the kernel's own words of it (empty when it gave none).
struct GetAnswer {
    std::optional<Message> message;
    SystemErrorCode error = 0;
    std::string kernelMessage;
};

// Sorts the datagrams of a batch of get requests (sequences first, first + 1, ...) into their
// answers. Throws EBADMSG for a malformed message.
class BatchReader {
public:
    BatchReader(std::uint32_t first, std::size_t count, std::uint32_t portId)
        : first_(first), port_id_(portId), answers_(count), answered_(count, false) {}

    // Takes one datagram; true once every request has its answer.
    bool Feed(std::span<const std::uint8_t> datagram);

    std::vector<GetAnswer>& Answers() { return answers_; }

private:
    std::uint32_t first_;
    std::uint32_t port_id_;
    std::vector<GetAnswer> answers_;
    std::vector<bool> answered_;
    std::size_t left_ = answers_.size();
};

// An rtnetlink socket. Every failure throws its errno as SystemErrorCode; the kernel's own
// words of a refusal are kept for the code (ErrorDetail.h) until the socket's next request.
class Socket {
public:
    Socket();

    // Sends get requests in one datagram, without acknowledgements, and returns each one's
    // answer: one message, or the kernel's error for that request alone.
    std::vector<GetAnswer> GetEach(std::vector<Request>& requests);

    // Sends requests that answer with an acknowledgement only (new, delete) in one datagram,
    // and returns each one's answer: its errno (0: done) and the kernel's words of it.
    std::vector<GetAnswer> TransactEach(std::vector<Request>& requests);

    // Sends a request with NLM_F_ACK and returns the messages that came before the
    // acknowledgement (the answer of a get request).
    std::vector<Message> Transact(Request& request);

    // Sends a dump request and returns every message of the dump. An interrupted dump is run
    // again, a few times, then fails with EINTR.
    std::vector<Message> Dump(Request& request);

private:
    std::vector<Message> Exchange(Request& request, bool& interrupted);
    void Send(std::span<const std::uint8_t> bytes);
    template <class Reader> void ReadUntilDone(Reader& reader);

    ScopedFd fd_;
    std::uint32_t port_id_ = 0;
    std::uint32_t sequence_ = 0;
    std::vector<std::uint8_t> receive_buffer_;
};

} // namespace netlink
} // namespace Core_SocketARP
