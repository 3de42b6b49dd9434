#include "Core_SocketARP/linux/Netlink_linux.h"

#include "Core_SocketARP/ErrorDetail.h"
#include "Core_SocketARP/NetworkStack.h"
#include "fakes/CodeThrownBy.h"

#include "NetlinkBytes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::netlink::BatchReader;
using Core_SocketARP::netlink::ForEachAttribute;
using Core_SocketARP::netlink::ReplyReader;
using Core_SocketARP::netlink::Request;
using tw_test::CodeThrownBy;

constexpr std::uint32_t sequence = 7;
constexpr std::uint32_t port = 4242;

// Builds datagrams of kernel messages.
class Datagram {
public:
    Datagram& Add(std::uint16_t type, std::uint16_t flags, const void* payload, std::size_t length,
                  std::uint32_t seq = sequence, std::uint32_t pid = port) {
        tw_netlink::AppendMessage(bytes_, type, flags, payload, length, seq, pid);
        return *this;
    }

    Datagram& Error(int error, std::uint32_t seq = sequence) {
        nlmsgerr payload{};
        payload.error = error;
        return Add(NLMSG_ERROR, 0, &payload, sizeof payload, seq);
    }

    // An error with the kernel's own words in an extended acknowledgement: after the header of
    // the request it answers and, unless `flags` has NLM_F_CAPPED, `echoed` bytes of its payload.
    Datagram& ErrorWithWords(int error, const std::string& words, std::uint16_t flags,
                             std::size_t echoed = 0) {
        nlmsgerr head{};
        head.error = error;
        head.msg.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + echoed);
        std::vector<std::uint8_t> payload(sizeof head);
        std::memcpy(payload.data(), &head, sizeof head);
        if ((flags & NLM_F_CAPPED) == 0) {
            payload.resize(payload.size() + echoed, 0xee);
        }
        payload.resize(NLMSG_ALIGN(payload.size()), 0);
        AppendWords(payload, words);
        return Add(NLMSG_ERROR, flags, payload.data(), payload.size());
    }

    // A dump's end that fails, with the kernel's own words after the error.
    Datagram& DoneWithWords(int error, const std::string& words) {
        std::vector<std::uint8_t> payload(sizeof error);
        std::memcpy(payload.data(), &error, sizeof error);
        AppendWords(payload, words);
        return Add(NLMSG_DONE, NLM_F_MULTI | NLM_F_ACK_TLVS, payload.data(), payload.size());
    }

    Datagram& Done(std::optional<int> error = std::nullopt) {
        if (error) {
            const int value = *error;
            return Add(NLMSG_DONE, NLM_F_MULTI, &value, sizeof value);
        }
        return Add(NLMSG_DONE, NLM_F_MULTI, nullptr, 0);
    }

    Datagram& Neighbour(int ifindex, std::uint16_t flags = NLM_F_MULTI) {
        ndmsg payload{};
        payload.ndm_family = AF_INET;
        payload.ndm_ifindex = ifindex;
        return Add(RTM_NEWNEIGH, flags, &payload, sizeof payload);
    }

    std::vector<std::uint8_t>& Bytes() { return bytes_; }

private:
    // The words as the kernel puts them: a string with its NUL, after another attribute.
    static void AppendWords(std::vector<std::uint8_t>& payload, const std::string& words) {
        const std::uint32_t offset = 20;
        tw_netlink::AppendAttribute(payload, NLMSGERR_ATTR_OFFS, &offset, sizeof offset);
        tw_netlink::AppendAttribute(payload, NLMSGERR_ATTR_MSG, words.c_str(), words.size() + 1);
    }

    std::vector<std::uint8_t> bytes_;
};

class ReplyReaderTest : public testing::Test {
protected:
    ReplyReader reader{sequence, port};
};

TEST_F(ReplyReaderTest, AcknowledgementCompletesTheReply) {
    Datagram datagram;
    datagram.Error(0);
    EXPECT_TRUE(reader.Feed(datagram.Bytes()));
    EXPECT_TRUE(reader.Messages().empty());
}

TEST_F(ReplyReaderTest, KernelErrorIsThrownAsItsErrno) {
    Datagram datagram;
    datagram.Error(-EEXIST);
    EXPECT_EQ(CodeThrownBy([&] { reader.Feed(datagram.Bytes()); }), std::uint32_t{EEXIST});
}

TEST(KernelWords, AreReadWhereverTheExtendedAcknowledgementPutsThem) {
    const std::string words = "Nexthop id does not exist";
    struct Case {
        const char* name;
        Datagram datagram;
        std::string expected;
    };
    std::vector<Case> cases;
    cases.push_back({"capped request", {}, words});
    cases.back().datagram.ErrorWithWords(-EINVAL, words, NLM_F_ACK_TLVS | NLM_F_CAPPED, 40);
    cases.push_back({"whole request, unaligned", {}, words});
    cases.back().datagram.ErrorWithWords(-EINVAL, words, NLM_F_ACK_TLVS, 5);
    cases.push_back({"no extended acknowledgement", {}, ""});
    cases.back().datagram.ErrorWithWords(-EINVAL, words, 0, 8);
    cases.push_back({"inside NLMSG_DONE", {}, words});
    cases.back().datagram.DoneWithWords(-EINVAL, words);
    for (Case& c : cases) {
        ReplyReader reader(sequence, port);
        EXPECT_EQ(CodeThrownBy([&] { reader.Feed(c.datagram.Bytes()); }), std::uint32_t{EINVAL})
            << c.name;
        EXPECT_EQ(reader.KernelMessage(), c.expected) << c.name;
        nlmsghdr header{};
        std::memcpy(&header, c.datagram.Bytes().data(), sizeof header);
        if (header.nlmsg_type == NLMSG_ERROR) { // a batch's answer carries them as well
            BatchReader batch(sequence, 1, port);
            EXPECT_TRUE(batch.Feed(c.datagram.Bytes())) << c.name;
            EXPECT_EQ(batch.Answers()[0].error, std::uint32_t{EINVAL}) << c.name;
            EXPECT_EQ(batch.Answers()[0].kernelMessage, c.expected) << c.name;
        }
    }
}

TEST(KernelWords, OfARefusalByTheKernelAreKeptForItsCode) {
    Core_SocketARP::netlink::Socket socket;
    // A neighbour get request may not name a state: the kernel refuses it in words.
    Request get(RTM_GETNEIGH, 0);
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = 1;
    header.ndm_state = NUD_PERMANENT;
    get.AddFamilyHeader(header);
    get.AddAttribute(NDA_DST, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(CodeThrownBy([&] { socket.Transact(get); }), std::uint32_t{EINVAL});
    EXPECT_NE(Core_SocketARP::TakeErrorDetail(EINVAL), "");
}

TEST_F(ReplyReaderTest, ErrorInsideDoneIsThrown) {
    Datagram datagram;
    datagram.Neighbour(3).Done(-ENODEV);
    EXPECT_EQ(CodeThrownBy([&] { reader.Feed(datagram.Bytes()); }), std::uint32_t{ENODEV});
}

TEST_F(ReplyReaderTest, ErrorThatNoErrnoCouldBeIsAProtocolError) {
    for (const int error : {INT_MIN, -4096, 1}) {
        Datagram failed;
        failed.Error(error);
        ReplyReader first(sequence, port);
        EXPECT_EQ(CodeThrownBy([&] { first.Feed(failed.Bytes()); }), std::uint32_t{EPROTO})
            << error;
    }
    Datagram done;
    done.Done(INT_MIN);
    EXPECT_EQ(CodeThrownBy([&] { reader.Feed(done.Bytes()); }), std::uint32_t{EPROTO});
}

TEST_F(ReplyReaderTest, DumpOverSeveralDatagramsEndsAtDone) {
    Datagram first;
    first.Neighbour(3).Neighbour(4);
    Datagram second;
    second.Neighbour(5).Done(0);
    EXPECT_FALSE(reader.Feed(first.Bytes()));
    EXPECT_TRUE(reader.Feed(second.Bytes()));
    ASSERT_EQ(reader.Messages().size(), 3u);
    ndmsg header{};
    ASSERT_TRUE(reader.Messages()[2].ReadHeader(header));
    EXPECT_EQ(header.ndm_ifindex, 5);
    EXPECT_FALSE(reader.Interrupted());
}

TEST_F(ReplyReaderTest, DoneWithoutPayloadCompletesTheDump) {
    Datagram datagram;
    datagram.Neighbour(3).Done();
    EXPECT_TRUE(reader.Feed(datagram.Bytes()));
    EXPECT_EQ(reader.Messages().size(), 1u);
}

TEST_F(ReplyReaderTest, MessagesOfOtherRequestsAreSkipped) {
    Datagram datagram;
    datagram.Error(-EPERM, sequence - 1);
    nlmsgerr stale{};
    datagram.Add(NLMSG_DONE, 0, &stale, sizeof stale, sequence, port + 1);
    datagram.Neighbour(3);
    EXPECT_FALSE(reader.Feed(datagram.Bytes()));
    EXPECT_EQ(reader.Messages().size(), 1u);
}

TEST_F(ReplyReaderTest, InterruptedDumpIsNoticed) {
    Datagram datagram;
    datagram.Neighbour(3, NLM_F_MULTI | NLM_F_DUMP_INTR).Done(0);
    EXPECT_TRUE(reader.Feed(datagram.Bytes()));
    EXPECT_TRUE(reader.Interrupted());
}

TEST_F(ReplyReaderTest, MalformedMessagesAreRejected) {
    Datagram tooLong;
    tooLong.Neighbour(3);
    nlmsghdr header{};
    std::memcpy(&header, tooLong.Bytes().data(), sizeof header);
    header.nlmsg_len += 64;
    std::memcpy(tooLong.Bytes().data(), &header, sizeof header);
    EXPECT_EQ(CodeThrownBy([&] { reader.Feed(tooLong.Bytes()); }), std::uint32_t{EBADMSG});

    Datagram shortError;
    shortError.Add(NLMSG_ERROR, 0, nullptr, 0);
    ReplyReader other(sequence, port);
    EXPECT_EQ(CodeThrownBy([&] { other.Feed(shortError.Bytes()); }), std::uint32_t{EBADMSG});
}

TEST(NetlinkRequest, HeaderFamilyHeaderAndAlignedAttributes) {
    Request request(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_EXCL);
    ndmsg header{};
    header.ndm_family = AF_INET;
    header.ndm_ifindex = 9;
    request.AddFamilyHeader(header);
    const std::uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    request.AddAttribute(NDA_LLADDR, mac, sizeof mac);
    request.AddAttribute(NDA_DST, std::uint32_t{0x0100000a});
    request.AddFlags(NLM_F_ACK);
    request.SetSequence(3);

    const auto bytes = request.Bytes();
    nlmsghdr top{};
    std::memcpy(&top, bytes.data(), sizeof top);
    const std::size_t expectedLength =
        NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)) + RTA_ALIGN(RTA_LENGTH(6)) + RTA_LENGTH(4);
    EXPECT_EQ(top.nlmsg_len, expectedLength);
    EXPECT_GE(bytes.size(), expectedLength);
    EXPECT_EQ(top.nlmsg_type, RTM_NEWNEIGH);
    EXPECT_EQ(top.nlmsg_flags, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK);
    EXPECT_EQ(top.nlmsg_seq, 3u);

    std::vector<std::pair<std::uint16_t, std::size_t>> attributes;
    ForEachAttribute(bytes.subspan(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)),
                                   expectedLength - NLMSG_HDRLEN - NLMSG_ALIGN(sizeof(ndmsg))),
                     [&](std::uint16_t type, std::span<const std::uint8_t> data) {
                         attributes.emplace_back(type, data.size());
                     });
    EXPECT_EQ(attributes,
              (std::vector<std::pair<std::uint16_t, std::size_t>>{{NDA_LLADDR, 6}, {NDA_DST, 4}}));
}

TEST(NetlinkRequest, AttributeTooLongForItsLengthFieldIsRefused) {
    Request request(RTM_NEWNEIGH, 0);
    const std::vector<std::uint8_t> big(70000, 0);
    EXPECT_EQ(CodeThrownBy([&] { request.AddAttribute(NDA_LLADDR, big.data(), big.size()); }),
              std::uint32_t{EMSGSIZE});
}

TEST(NetlinkAttributes, WalkStopsAtAMalformedAttribute) {
    std::vector<std::uint8_t> area(RTA_LENGTH(4) + RTA_LENGTH(4), 0);
    rtattr good{static_cast<unsigned short>(RTA_LENGTH(4)), NDA_DST};
    rtattr bad{static_cast<unsigned short>(RTA_LENGTH(400)), NDA_LLADDR};
    std::memcpy(area.data(), &good, sizeof good);
    std::memcpy(area.data() + RTA_LENGTH(4), &bad, sizeof bad);
    int visited = 0;
    ForEachAttribute(area, [&](std::uint16_t type, std::span<const std::uint8_t>) {
        EXPECT_EQ(type, NDA_DST);
        ++visited;
    });
    EXPECT_EQ(visited, 1);
}

} // namespace
