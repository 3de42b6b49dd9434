#include "Core_SocketARP/GatewayKeeper.h"

#include "Core_SocketARP/ArpBinding.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/FakeStateStore.h"
#include "fakes/PassLines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::GatewayKeeper;
using Core_SocketARP::GatewayMemory;
using Core_SocketARP::HardwareAddress;
using tw_test::BoundLine;
using tw_test::ErrorLine;
using tw_test::FakeNetworkStack;
using tw_test::FakeStateStore;

const HardwareAddress gateway_mac = {0x02, 0, 0, 0, 0, 0x01};
const HardwareAddress attacker_mac = {0x02, 0, 0, 0, 0, 0x66};
const HardwareAddress new_mac = {0x02, 0, 0, 0, 0, 0x02};

std::string Warning(const std::string& text) { return "[WARN][SocketARP]" + text + "\n"; }

// A keeper over the fake stack, driven as the monitor drives it, on the fake clock.
class KeeperTest : public testing::Test {
protected:
    KeeperTest() {
        stack.adapters = {AdapterInfo{7, "10.0.0.1", "10.0.0.2", "eth0"}};
        stack.interfaces = {7};
    }

    std::string Pass() {
        testing::internal::CaptureStdout();
        keeper.ResolvePass(stack.adapters);
        return testing::internal::GetCapturedStdout();
    }

    // What the monitor does for `ms` of fake time: waits for the next deadline or answer,
    // then takes the answers and what came due.
    std::string RunFor(std::uint32_t ms) {
        testing::internal::CaptureStdout();
        const std::uint32_t end = stack.clock.Ticks() + ms;
        for (;;) {
            const auto next = keeper.TimeToNextDeadline();
            const std::uint32_t left = end - stack.clock.Ticks();
            const auto wait = next ? std::min<std::int64_t>(next->count(), left) : left;
            resolver->Wait(std::chrono::milliseconds{wait});
            keeper.TakeAnswers();
            keeper.Tick();
            if (stack.clock.Ticks() >= end) {
                break;
            }
        }
        return testing::internal::GetCapturedStdout();
    }

    void Remember(const HardwareAddress& mac) {
        store.text = GatewayMemory::Encode({{{"eth0", "10.0.0.1"}, mac}});
    }

    std::optional<HardwareAddress> Entry() {
        const auto entry = stack.staticEntries.find({7, "10.0.0.1"});
        if (entry == stack.staticEntries.end()) {
            return std::nullopt;
        }
        return entry->second;
    }

    FakeNetworkStack stack;
    FakeStateStore store;
    std::unique_ptr<Core_SocketARP::ArpResolver> resolver = stack.CreateResolver();
    GatewayMemory memory{&store};
    GatewayKeeper keeper{stack, *resolver, memory};
};

// Every adapter is asked at once, each answer is pinned as it comes, and the lines still come
// in adapter order: a silent gateway delays no other pin, only the others' lines.
TEST_F(KeeperTest, AllGatewaysAreAskedAtOncePinnedAsTheyAnswerAndPrintedInAdapterOrder) {
    stack.adapters = {AdapterInfo{1, "10.0.1.1", "", "eth1"},
                      AdapterInfo{2, "10.0.2.1", "", "eth2"},
                      AdapterInfo{3, "10.0.3.1", "", "eth3"}};
    stack.AddAnswer("10.0.2.1", gateway_mac, 5);
    stack.AddAnswer("10.0.3.1", new_mac, 1);

    EXPECT_EQ(Pass(), ErrorLine(0, FakeNetworkStack::unanswered_error) +
                          BoundLine(1, "10.0.2.1", "020000000001") +
                          BoundLine(2, "10.0.3.1", "020000000002"));
    EXPECT_EQ(stack.calls, (std::vector<std::string>{
                               "Ask 1 10.0.1.1 from none", "Ask 2 10.0.2.1 from none",
                               "Ask 3 10.0.3.1 from none", "Create 3 10.0.3.1 020000000002",
                               "Create 2 10.0.2.1 020000000001", "Ask 1 10.0.1.1 from none",
                               "Ask 1 10.0.1.1 from none"}));
}

TEST_F(KeeperTest, CleanPinIsRememberedOnceItsWindowHasClosed) {
    stack.Answer("10.0.0.1", gateway_mac);
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_FALSE(store.text);
    EXPECT_EQ(RunFor(GatewayKeeper::conflict_window.count()), "");
    EXPECT_EQ(store.text, GatewayMemory::Encode({{{"eth0", "10.0.0.1"}, gateway_mac}}));
    // The same answer again is not written again.
    Pass();
    RunFor(GatewayKeeper::conflict_window.count());
    EXPECT_EQ(store.saves, 1);
}

// Two addresses answer for the gateway within the window.
TEST_F(KeeperTest, ConflictWithoutARememberedAddressLeavesNoPinAndIsReported) {
    stack.AddAnswer("10.0.0.1", attacker_mac, 0);
    stack.AddAnswer("10.0.0.1", gateway_mac, 1);
    // The first answer is pinned at once, so that start stays fast...
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.1", "020000000066"));
    // ...and the second takes it back.
    EXPECT_EQ(RunFor(GatewayKeeper::conflict_window.count()),
              Warning("Gateway 10.0.0.1 on eth0 answered with two MAC addresses, 020000000066 "
                      "and 020000000001: no entry pinned, asking again later"));
    EXPECT_FALSE(Entry());
    EXPECT_FALSE(store.text);
    EXPECT_EQ(keeper.RetryDelayMs(7, "10.0.0.1"), 1000);
}

TEST_F(KeeperTest, RememberedAddressWinsAConflictAndTheOtherIsNeverPinned) {
    Remember(gateway_mac);
    stack.AddAnswer("10.0.0.1", attacker_mac, 0);
    stack.AddAnswer("10.0.0.1", gateway_mac, 1);
    EXPECT_EQ(Pass(), Warning("Gateway 10.0.0.1 on eth0 answered with two MAC addresses, "
                              "020000000066 and 020000000001: kept the remembered 020000000001") +
                          BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_TRUE(stack.CallsStartingWith("Create 7 10.0.0.1 020000000066").empty());
    RunFor(GatewayKeeper::conflict_window.count());
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_FALSE(keeper.RetryDelayMs(7, "10.0.0.1"));

    // Remembered first, the attacker later: the pin stays, the conflict is still reported.
    stack.arpAnswers.clear();
    stack.AddAnswer("10.0.0.1", gateway_mac, 0);
    stack.AddAnswer("10.0.0.1", attacker_mac, 3);
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_EQ(RunFor(GatewayKeeper::conflict_window.count()),
              Warning("Gateway 10.0.0.1 on eth0 answered with two MAC addresses, 020000000001 "
                      "and 020000000066: kept the remembered 020000000001"));
    EXPECT_EQ(Entry(), gateway_mac);
}

TEST_F(KeeperTest, AnotherAddressAnsweringAloneIsAReplacedGatewayPinnedAfterTheWindow) {
    Remember(gateway_mac);
    stack.Answer("10.0.0.1", new_mac);
    EXPECT_EQ(Pass(), Warning("Gateway 10.0.0.1 on eth0 has a new MAC address 020000000002 (was "
                              "020000000001): pinned and remembered") +
                          BoundLine(0, "10.0.0.1", "020000000002"));
    EXPECT_EQ(Entry(), new_mac);
    EXPECT_EQ(store.text, GatewayMemory::Encode({{{"eth0", "10.0.0.1"}, new_mac}}));
}

// A flood took answers away: what came alone proves nothing, unless it is the remembered one.
TEST_F(KeeperTest, LostAnswersLeaveAnAddressThatIsNotRememberedUnpinned) {
    stack.Answer("10.0.0.1", attacker_mac);
    stack.onSendArpRequest = [this] { stack.loseAnswers = true; };
    Pass();
    EXPECT_EQ(RunFor(GatewayKeeper::conflict_window.count()),
              Warning("Gateway 10.0.0.1 on eth0: answers were lost in a flood, only "
                      "020000000066 was seen: no entry pinned, asking again later"));
    EXPECT_FALSE(Entry());

    Remember(gateway_mac);
    GatewayMemory remembered(&store);
    GatewayKeeper keeper2(stack, *resolver, remembered);
    stack.Answer("10.0.0.1", gateway_mac);
    testing::internal::CaptureStdout();
    keeper2.ResolvePass(stack.adapters);
    keeper2.FinishWatches();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Entry(), gateway_mac);
}

// A gateway left unpinned is asked again alone, 1 s after, then twice the last delay, up to
// 60 s; once it answers it is pinned and its line printed, and the delays start over.
TEST_F(KeeperTest, SilentGatewayIsRetriedAloneWithABackoffUntilItAnswers) {
    stack.AddLink(8, "10.0.0.9");
    stack.adapters.back().name = "eth1";
    stack.Answer("10.0.0.9", gateway_mac);
    Pass();
    std::vector<std::int64_t> delays;
    for (int failure = 0; failure < 8; ++failure) {
        delays.push_back(*keeper.RetryDelayMs(7, "10.0.0.1"));
        RunFor(static_cast<std::uint32_t>(delays.back()) + 3000); // the retry's own tries
    }
    EXPECT_EQ(delays,
              (std::vector<std::int64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_TRUE(stack.CallsStartingWith("Flush").empty());
    EXPECT_TRUE(stack.CallsStartingWith("Ask 8").size() == 1u);

    stack.Answer("10.0.0.1", gateway_mac);
    EXPECT_EQ(RunFor(60000 + 10), BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_FALSE(keeper.RetryDelayMs(7, "10.0.0.1"));
}

// A pin that something else removed or changed is resolved again, alone and without a flush;
// the keeper's own writes, and changes elsewhere, cost nothing.
TEST_F(KeeperTest, RepairPinsAgainWhatWasRemovedOrChangedAndOnlyThat) {
    stack.Answer("10.0.0.1", gateway_mac);
    Pass();
    RunFor(GatewayKeeper::conflict_window.count());
    const std::uint32_t gateway = *Core_SocketARP::ParseDottedQuad("10.0.0.1");
    stack.calls.clear();

    keeper.Repair({false, {{7, gateway}}, {}});      // its own write
    keeper.Repair({false, {{7, gateway + 1}}, {3}}); // elsewhere
    EXPECT_EQ(stack.calls, (std::vector<std::string>{"Read 7 10.0.0.1"}));

    stack.staticEntries.clear();
    keeper.Repair({false, {{7, gateway}}, {}});
    EXPECT_EQ(RunFor(GatewayKeeper::conflict_window.count()),
              BoundLine(0, "10.0.0.1", "020000000001"));
    stack.staticEntries[{7, "10.0.0.1"}] = attacker_mac;
    keeper.Repair({false, {}, {7}});
    RunFor(GatewayKeeper::conflict_window.count());
    EXPECT_EQ(Entry(), gateway_mac);
    stack.staticEntries.clear();
    keeper.CheckPins();
    RunFor(1);
    // Lost again while the window of that pin is still open: written again at once.
    stack.staticEntries.clear();
    keeper.Repair({false, {}, {7}});
    EXPECT_EQ(Entry(), gateway_mac);
    RunFor(GatewayKeeper::conflict_window.count());
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_TRUE(stack.CallsStartingWith("Flush").empty());
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 3u);
}

TEST_F(KeeperTest, ChangeOfTheLinkRetriesAWaitingGatewayAtOnce) {
    Pass();
    ASSERT_EQ(keeper.RetryDelayMs(7, "10.0.0.1"), 1000);
    stack.Answer("10.0.0.1", gateway_mac);
    testing::internal::CaptureStdout();
    keeper.Repair({false, {}, {7}});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(RunFor(5), BoundLine(0, "10.0.0.1", "020000000001"));
}

// The remembered gateways' text: what Encode writes Decode reads; anything else is refused.
TEST(GatewayMemoryText, RoundTripsAndRefusesWhatIsNotWhollyWellFormed) {
    const GatewayMemory::Entries entries = {{{"eth0", "10.0.0.1"}, gateway_mac},
                                            {{"eth1", "10.0.0.1"}, new_mac}};
    EXPECT_EQ(GatewayMemory::Decode(GatewayMemory::Encode(entries)), entries);
    const std::string header = "tarnwick-antiarp gateways 1\n";
    for (const std::string& bad :
         {std::string(""), std::string("other\n"), header + "eth0 10.0.0.1\n",
          header + "eth0 10.0.0.1 02000000000\n", header + "eth0 10.0.0.256 020000000001\n",
          header + "eth0 10.0.0.1 02000000000g\n", header + "eth0 10.0.0.1 020000000001 x\n",
          header + "eth0 10.0.0 020000000001\n",
          header + "eth0 10.0.0.1 " + std::string(18, 'a') + "\n"}) {
        EXPECT_FALSE(GatewayMemory::Decode(bad)) << bad;
    }
}

TEST(GatewayMemoryStore, UnreadableOrCorruptStateIsReportedOnceAndIgnoredAndAFailedSaveOnce) {
    FakeStateStore store;
    store.text = "garbage";
    GatewayMemory memory(&store);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(memory.Recall("eth0", "10.0.0.1"));
    EXPECT_FALSE(memory.Recall("eth0", "10.0.0.1"));
    store.saveError = 28;
    memory.Remember("eth0", "10.0.0.1", gateway_mac);
    memory.Remember("eth1", "10.0.0.1", gateway_mac);
    const std::string output = testing::internal::GetCapturedStdout();
    // The platform's text of the code, inside the report's own line.
    std::string text = Core_SocketARP::ErrorText(28);
    text.erase(text.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(output, "[WARN][SocketARP]The remembered gateways in the test's store are not "
                      "readable as such; they are ignored\n"
                      "[ERROR][SocketARP][ error_code = 28 ] The remembered gateways could not be "
                      "saved in the test's store: " +
                          text + "\n");
    EXPECT_EQ(store.loads, 1);
    EXPECT_EQ(memory.Recall("eth0", "10.0.0.1"), gateway_mac); // kept for the process
    store.saveError.reset();
    memory.Remember("eth0", "10.0.0.1", gateway_mac);
    EXPECT_EQ(GatewayMemory::Decode(*store.text)->size(), 2u);
}

} // namespace
