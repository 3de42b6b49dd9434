#include "Core_SocketARP/ArpBinding.h"

#include "Core_Common/Utility.h"
#include "Core_SocketARP/ErrorDetail.h"
#include "fakes/CodeThrownBy.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/PassLines.h"
#include "fakes/ResolveMac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using tw_test::BoundLine;
using tw_test::CodeThrownBy;
using tw_test::ErrorLine;
using tw_test::FakeNetworkStack;
using tw_test::FlushErrorLine;
using tw_test::SystemText;

const std::vector<std::uint8_t> binding_gateway_mac = {0x02, 0xab, 0xcd, 0xef, 0x10, 0x99};
const std::vector<std::uint8_t> other_mac = {0x0a, 0x00, 0x27, 0x00, 0x00, 0x05};

class PassTest : public testing::Test {
protected:
    std::string Bind() {
        testing::internal::CaptureStdout();
        Core_SocketARP::BindGateways(stack);
        return testing::internal::GetCapturedStdout();
    }

    std::string Flush() {
        testing::internal::CaptureStdout();
        Core_SocketARP::FlushArpTables(stack);
        return testing::internal::GetCapturedStdout();
    }

    std::ptrdiff_t FirstCall(const std::string& prefix) const {
        const auto found =
            std::find_if(stack.calls.begin(), stack.calls.end(),
                         [&](const std::string& c) { return c.starts_with(prefix); });
        return found - stack.calls.begin();
    }

    std::ptrdiff_t LastCall(const std::string& prefix) const {
        const auto found =
            std::find_if(stack.calls.rbegin(), stack.calls.rend(),
                         [&](const std::string& c) { return c.starts_with(prefix); });
        return stack.calls.rend() - found - 1;
    }

    FakeNetworkStack stack;
};

using BindGatewaysTest = PassTest;

TEST_F(BindGatewaysTest, ReachableGatewayIsFlushedSilentlyAndPinnedWithOneLine) {
    stack.AddLink(7, "192.168.1.1");
    stack.Answer("192.168.1.1", binding_gateway_mac);

    EXPECT_EQ(Bind(), BoundLine(0, "192.168.1.1", "02abcdef1099"));
    const std::vector<std::string> expected = {"ListInterfaces", "ListAdapters", "Flush 7",
                                               "Ask 7 192.168.1.1 from none",
                                               "Create 7 192.168.1.1 02abcdef1099"};
    EXPECT_EQ(stack.calls, expected);
    EXPECT_EQ((stack.staticEntries.at({7, "192.168.1.1"})), binding_gateway_mac);
}

TEST_F(BindGatewaysTest, EmptyGatewayPrintsNothingButItsInterfaceIsStillFlushed) {
    stack.AddLink(3, "");
    stack.AddLink(4, "10.0.0.1");
    stack.Answer("10.0.0.1", binding_gateway_mac);

    EXPECT_EQ(Bind(), BoundLine(1, "10.0.0.1", "02abcdef1099"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), (std::vector<std::string>{"Flush 3", "Flush 4"}));
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 1u);
}

TEST_F(BindGatewaysTest, AllZeroGatewayIsNotSkippedAndItsFailureIsReported) {
    stack.AddLink(3, "0.0.0.0");

    EXPECT_EQ(Bind(), ErrorLine(0, FakeNetworkStack::unanswered_error));
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 3u); // every try
}

TEST_F(BindGatewaysTest, SilentGatewayGivesOneErrorLineAndTheNextAdapterIsStillBound) {
    stack.AddLink(2, "10.0.1.1");
    stack.AddLink(5, "10.0.2.1");
    stack.Answer("10.0.2.1", other_mac);

    EXPECT_EQ(Bind(), ErrorLine(0, FakeNetworkStack::unanswered_error) +
                          BoundLine(1, "10.0.2.1", "0a0027000005"));
    EXPECT_EQ(stack.staticEntries.size(), 1u);
    EXPECT_TRUE(stack.staticEntries.contains({5, "10.0.2.1"}));
}

TEST_F(BindGatewaysTest, EveryFlushComesBeforeTheFirstArpRequest) {
    for (std::uint32_t index = 1; index <= 3; ++index) {
        const std::string gateway = "10.0." + std::to_string(index) + ".1";
        stack.AddLink(index, gateway);
        stack.Answer(gateway, binding_gateway_mac);
    }
    Bind();
    EXPECT_EQ(stack.CallsStartingWith("Flush").size(), 3u);
    EXPECT_LT(LastCall("Flush"), FirstCall("Ask"));
}

TEST_F(BindGatewaysTest, BracketedNumberIsTheListPositionNotTheInterfaceIndex) {
    stack.AddLink(12, "10.0.0.1");
    stack.AddLink(3, "10.0.0.2");
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.Answer("10.0.0.2", other_mac);

    EXPECT_EQ(Bind(),
              BoundLine(0, "10.0.0.1", "02abcdef1099") + BoundLine(1, "10.0.0.2", "0a0027000005"));
}

TEST_F(BindGatewaysTest, StaticEntryTakesTheAdapterRecordsOwnIndex) {
    stack.interfaces = {1, 2};
    stack.adapters = {AdapterInfo{20, "10.0.0.1", {}, {}}, AdapterInfo{10, "10.0.0.2", {}, {}}};
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.Answer("10.0.0.2", other_mac);

    Bind();
    EXPECT_EQ(stack.CallsStartingWith("Flush"), (std::vector<std::string>{"Flush 1", "Flush 2"}));
    EXPECT_EQ(stack.CallsStartingWith("Create"),
              (std::vector<std::string>{"Create 20 10.0.0.1 02abcdef1099",
                                        "Create 10 10.0.0.2 0a0027000005"}));
}

TEST_F(BindGatewaysTest, FailedCreateThenSuccessfulSetPrintsOnlyTheSuccessLine) {
    stack.AddLink(7, "10.0.0.1");
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.createFailures.insert("10.0.0.1");

    EXPECT_EQ(Bind(), BoundLine(0, "10.0.0.1", "02abcdef1099"));
    EXPECT_EQ(stack.CallsStartingWith("Set"),
              (std::vector<std::string>{"Set 7 10.0.0.1 02abcdef1099"}));
    EXPECT_EQ((stack.staticEntries.at({7, "10.0.0.1"})), binding_gateway_mac);
}

TEST_F(BindGatewaysTest, FailedCreateAndSetReportTheSetCode) {
    stack.AddLink(7, "10.0.0.1");
    stack.AddLink(8, "10.0.0.2");
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.Answer("10.0.0.2", other_mac);
    stack.createFailures.insert("10.0.0.1");
    stack.setErrors["10.0.0.1"] = 5;

    EXPECT_EQ(Bind(), ErrorLine(0, 5) + BoundLine(1, "10.0.0.2", "0a0027000005"));
}

TEST_F(BindGatewaysTest, SuccessfulCreateIsNotFollowedBySet) {
    stack.AddLink(7, "10.0.0.1");
    stack.Answer("10.0.0.1", binding_gateway_mac);
    Bind();
    EXPECT_TRUE(stack.CallsStartingWith("Set").empty());
}

TEST_F(BindGatewaysTest, ArpRequestFailureIsReportedWithItsCode) {
    stack.AddLink(7, "10.0.0.1");
    stack.Fail("10.0.0.1", 31);

    EXPECT_EQ(Bind(), ErrorLine(0, 31));
    EXPECT_TRUE(stack.CallsStartingWith("Create").empty());
}

TEST_F(BindGatewaysTest, FailedInterfaceEnumerationEndsThePassBeforeTheAdapters) {
    stack.AddLink(7, "10.0.0.1");
    stack.interfacesError = 5;

    EXPECT_EQ(Bind(), "ARP Error " + SystemText(5) + "\n");
    EXPECT_EQ(stack.calls, std::vector<std::string>{"ListInterfaces"});
}

TEST_F(BindGatewaysTest, FailedAdapterEnumerationEndsThePassWithoutFlushing) {
    stack.AddLink(7, "10.0.0.1");
    stack.adaptersError = 0;

    EXPECT_EQ(Bind(), "ARP Error " + SystemText(0) + "\n");
    EXPECT_EQ(stack.calls, (std::vector<std::string>{"ListInterfaces", "ListAdapters"}));
}

// Tables out of step for a moment leave no gateway unprotected: after the three lines, the pass
// goes on with the interfaces whose adapter has their index, positions counted among those.
TEST_F(BindGatewaysTest, DifferentCountsPrintThreeLinesThenPairAdaptersWithInterfacesByIndex) {
    stack.interfaces = {1, 2, 3};
    stack.adapters = {AdapterInfo{2, "10.0.0.2", {}, {}}, AdapterInfo{1, "10.0.0.1", {}, {}}};
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.Answer("10.0.0.2", other_mac);

    EXPECT_EQ(Bind(), "Error: interface.size() != adapters.size()\n"
                      "interface.size()=3\n"
                      "adapters.size()=2\n" +
                          BoundLine(0, "10.0.0.1", "02abcdef1099") +
                          BoundLine(1, "10.0.0.2", "0a0027000005"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), (std::vector<std::string>{"Flush 1", "Flush 2"}));
}

// A link whose default route's gateway cannot be made out is not protected: said, by its name.
TEST_F(BindGatewaysTest, LinkWhoseGatewayCannotBeFoundOutIsReportedByName) {
    stack.AddLink(7, "");
    stack.adapters[0].name = "eth0";
    stack.adapters[0].routeProblem = "nexthop 7 could not be read";
    EXPECT_EQ(Bind(), "[WARN][SocketARP]The default route of eth0 has a gateway that cannot be "
                      "found out (nexthop 7 could not be read): it is not pinned\n");
    EXPECT_EQ(stack.CallsStartingWith("Flush"), std::vector<std::string>{"Flush 7"});
}

TEST_F(BindGatewaysTest, FlushFailureIsReportedAndTheRestStillRuns) {
    stack.AddLink(7, "10.0.0.1");
    stack.AddLink(8, "10.0.0.2");
    stack.Answer("10.0.0.1", binding_gateway_mac);
    stack.Answer("10.0.0.2", other_mac);
    stack.flushErrors[7] = 50;

    EXPECT_EQ(Bind(), FlushErrorLine(0, 50) + BoundLine(0, "10.0.0.1", "02abcdef1099") +
                          BoundLine(1, "10.0.0.2", "0a0027000005"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), (std::vector<std::string>{"Flush 7", "Flush 8"}));
}

TEST_F(BindGatewaysTest, ExceptionsOtherThanSystemCodesLeaveThePass) {
    stack.AddLink(7, "10.0.0.1");
    stack.AddLink(8, "10.0.0.2");
    stack.onSendArpRequest = [] { throw 0; };
    testing::internal::CaptureStdout();
    EXPECT_THROW(Core_SocketARP::BindGateways(stack), int);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 1u);

    stack.onSendArpRequest = [] { throw std::runtime_error("not a system code"); };
    testing::internal::CaptureStdout();
    EXPECT_THROW(Core_SocketARP::BindGateways(stack), std::runtime_error);
    testing::internal::GetCapturedStdout();
}

TEST_F(BindGatewaysTest, EachPassEnumeratesAfresh) {
    stack.interfaces = {7};
    stack.adapters = {};
    const std::string first = Bind();
    EXPECT_EQ(first, "Error: interface.size() != adapters.size()\n"
                     "interface.size()=1\n"
                     "adapters.size()=0\n");

    stack.adapters = {AdapterInfo{7, "10.0.0.1", {}, {}}};
    stack.Answer("10.0.0.1", binding_gateway_mac);
    EXPECT_EQ(Bind(), BoundLine(0, "10.0.0.1", "02abcdef1099"));
}

using FlushArpTablesTest = PassTest;

TEST_F(FlushArpTablesTest, FlushesEveryInterfaceOnceInTableOrderAndPrintsNothing) {
    stack.AddLink(9, "10.0.0.1");
    stack.AddLink(4, "");
    stack.AddLink(6, "10.0.0.3");
    stack.staticEntries[{9, "10.0.0.1"}] = binding_gateway_mac;
    stack.staticEntries[{6, "10.0.0.3"}] = other_mac;

    EXPECT_EQ(Flush(), "");
    EXPECT_EQ(stack.calls, (std::vector<std::string>{"ListInterfaces", "ListAdapters", "Flush 9",
                                                     "Flush 4", "Flush 6"}));
    EXPECT_TRUE(stack.staticEntries.empty());
}

TEST_F(FlushArpTablesTest, PrintsOnlyTheFailuresWithTheirPositions) {
    stack.AddLink(9, "");
    stack.AddLink(4, "");
    stack.AddLink(6, "");
    stack.flushErrors[4] = 0;
    stack.flushErrors[6] = 50;

    EXPECT_EQ(Flush(), FlushErrorLine(1, 0) + FlushErrorLine(2, 50));
}

TEST_F(FlushArpTablesTest, EnumerationFailureEndsThePassAndDifferentCountsFlushEveryInterface) {
    stack.AddLink(9, "");
    stack.interfacesError = 122;
    EXPECT_EQ(Flush(), "ARP Error " + SystemText(122) + "\n");

    stack.interfacesError.reset();
    stack.interfaces.push_back(10);
    stack.calls.clear();
    EXPECT_EQ(Flush(), "Error: interface.size() != adapters.size()\n"
                       "interface.size()=2\n"
                       "adapters.size()=1\n");
    EXPECT_EQ(stack.CallsStartingWith("Flush"), (std::vector<std::string>{"Flush 9", "Flush 10"}));
}

class ArpBindingStepsTest : public testing::Test {
protected:
    FakeNetworkStack stack;
};

TEST_F(ArpBindingStepsTest, ResolveMacGivesTheFirstAnswerOrTheSilenceAfterEveryTry) {
    stack.AddAnswer("10.0.0.1", {1, 2, 3, 4, 5, 6}, 1500);
    EXPECT_EQ(tw_test::ResolveMac(stack, {3, "10.0.0.1", "10.0.0.2"}),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(
        stack.CallsStartingWith("Ask"),
        (std::vector<std::string>{"Ask 3 10.0.0.1 from 10.0.0.2", "Ask 3 10.0.0.1 from 10.0.0.2"}));
    EXPECT_EQ(CodeThrownBy([&] {
                  tw_test::ResolveMac(stack, {3, "10.0.0.9", ""});
              }),
              FakeNetworkStack::unanswered_error);
    EXPECT_EQ(stack.CallsStartingWith("Ask 3 10.0.0.9").size(), 3u);
}

TEST_F(ArpBindingStepsTest, SetStaticEntryRejectsMoreThanEightBytesWithCodeZero) {
    const std::vector<std::uint8_t> nine(9, 0x11);
    EXPECT_EQ(CodeThrownBy([&] { Core_SocketARP::SetStaticEntry(stack, 1, "10.0.0.1", nine); }),
              0u);
    EXPECT_TRUE(stack.calls.empty());

    Core_SocketARP::SetStaticEntry(stack, 1, "10.0.0.1", std::vector<std::uint8_t>(8, 0x22));
    EXPECT_EQ(stack.calls, std::vector<std::string>{"Create 1 10.0.0.1 2222222222222222"});
}

TEST(ArpErrorText, IsTheSystemErrorTextInTheNarrowCodePage) {
    const std::string text = Core_SocketARP::ErrorText(5);
    EXPECT_EQ(text.substr(0, 4), "[5] ");
    EXPECT_EQ(text, SystemText(5));
}

TEST(ArpErrorText, PlatformWordsKeptForTheCodeFollowTheSystemTextOnce) {
    const std::string plain = SystemText(22);
    const std::string body = Core_Common::without_line_end(plain);
    const std::string withWords = body + " (Nexthop id does not exist)" + plain.substr(body.size());

    Core_SocketARP::KeepErrorDetail(22, "Nexthop id does not exist");
    EXPECT_EQ(Core_SocketARP::ErrorText(22), withWords);
    EXPECT_EQ(Core_SocketARP::ErrorText(22), plain);

    Core_SocketARP::KeepErrorDetail(22, "Nexthop id does not exist");
    EXPECT_EQ(Core_SocketARP::ErrorText(5), SystemText(5));
    EXPECT_EQ(Core_SocketARP::ErrorText(22), plain);
}

} // namespace
