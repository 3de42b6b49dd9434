#include "Core_SocketARP/GatewayKeeper.h"

#include "Core_SocketARP/ArpBinding.h"
#include "fakes/FakeNetworkStack.h"
#include "fakes/FakeStateStore.h"
#include "fakes/PassLines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Core_SocketARP::AdapterInfo;
using Core_SocketARP::GatewayKeeper;
using Core_SocketARP::GatewayMemory;
using Core_SocketARP::HardwareAddress;
using Core_SocketARP::TrustedGateways;
using tw_test::BoundLine;
using tw_test::ErrorLine;
using tw_test::FakeNetworkStack;
using tw_test::FakeStateStore;
using tw_test::NdBoundLine;
using tw_test::NdRemovedLine;

const HardwareAddress gateway_mac = {0x02, 0, 0, 0, 0, 0x01};
const HardwareAddress attacker_mac = {0x02, 0, 0, 0, 0, 0x66};
const HardwareAddress new_mac = {0x02, 0, 0, 0, 0, 0x02};
const HardwareAddress router_mac = {0x02, 0, 0, 0, 0, 0xa1};

constexpr std::uint32_t window_ms = GatewayKeeper::conflict_window.count();
constexpr std::uint32_t check_ms = GatewayKeeper::provisional_check.count() * 1000;

std::string Warning(const std::string& text) { return "[WARN][SocketARP]" + text + "\n"; }

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A keeper over the fake stack, driven as the monitor drives it, on the fake clock.
class KeeperTest : public testing::Test {
protected:
    KeeperTest() {
        stack.adapters = {AdapterInfo{7, "10.0.0.1", "10.0.0.2", "eth0", {}, 24}};
        stack.interfaces = {7};
    }

    std::string Pass() {
        testing::internal::CaptureStdout();
        Core_SocketARP::BindGateways(stack, keeper);
        return testing::internal::GetCapturedStdout();
    }

    // What the monitor does for `ms` of fake time: waits for the next deadline or answer,
    // then takes the answers and what came due.
    std::string RunFor(std::uint32_t ms) { return RunFor(keeper, ms); }
    std::string RunFor(GatewayKeeper& driven, std::uint32_t ms) {
        testing::internal::CaptureStdout();
        const std::uint32_t end = stack.clock.Ticks() + ms;
        while (stack.clock.Ticks() < end) {
            const auto next = driven.TimeToNextDeadline();
            const std::uint32_t left = end - stack.clock.Ticks();
            const auto wait = next ? std::min<std::int64_t>(next->count(), left) : left;
            resolver->Wait(std::chrono::milliseconds{wait});
            driven.TakeAnswers();
            driven.Tick();
        }
        return testing::internal::GetCapturedStdout();
    }

    // A pass of a keeper of its own over the same stack, until its windows have closed.
    std::string PassAndFinish(GatewayKeeper& own) {
        testing::internal::CaptureStdout();
        Core_SocketARP::BindGateways(stack, own);
        own.FinishWatches();
        return testing::internal::GetCapturedStdout();
    }

    void Remember(const HardwareAddress& mac) {
        store.text = GatewayMemory::Encode({{{"eth0", "10.0.0.1"}, {mac, 1}}});
    }
    std::optional<HardwareAddress> Remembered(const std::string& address = "10.0.0.1") {
        GatewayMemory reread(&store);
        return reread.Recall("eth0", address);
    }

    // The link's IPv6 side: its link-local address and routers.
    void Routers(std::vector<std::string> routers) {
        stack.adapters[0].linkLocal = "fe80::2";
        stack.adapters[0].routers = std::move(routers);
    }

    std::optional<HardwareAddress> Entry(const std::string& address = "10.0.0.1") {
        const auto entry = stack.staticEntries.find({7, address});
        if (entry == stack.staticEntries.end()) {
            return std::nullopt;
        }
        return entry->second;
    }

    FakeNetworkStack stack;
    FakeStateStore store;
    FakeStateStore trustedList;
    std::unique_ptr<Core_SocketARP::ArpResolver> resolver = stack.CreateResolver();
    GatewayMemory memory{&store, [] { return std::int64_t{1765000000}; }};
    TrustedGateways trusted{{&trustedList}};
    GatewayKeeper keeper{stack, *resolver, memory, trusted};
};

// Every adapter is asked at once, each answer is pinned as it comes, and the lines still come
// in adapter order: a silent gateway delays no other pin, only the others' lines.
TEST_F(KeeperTest, AllGatewaysAreAskedAtOncePinnedAsTheyAnswerAndPrintedInAdapterOrder) {
    stack.adapters = {AdapterInfo{1, "10.0.1.1", "", "eth1"},
                      AdapterInfo{2, "10.0.2.1", "", "eth2"},
                      AdapterInfo{3, "10.0.3.1", "", "eth3"}};
    stack.interfaces = {1, 2, 3};
    stack.AddAnswer("10.0.2.1", gateway_mac, 5);
    stack.AddAnswer("10.0.3.1", new_mac, 1);

    EXPECT_EQ(Pass(), ErrorLine(0, FakeNetworkStack::unanswered_error) +
                          BoundLine(1, "10.0.2.1", "020000000001") +
                          BoundLine(2, "10.0.3.1", "020000000002"));
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 5u);
    EXPECT_EQ(stack.CallsStartingWith("Create"),
              (std::vector<std::string>{"Create 3 10.0.3.1 020000000002",
                                        "Create 2 10.0.2.1 020000000001"}));
}

// The window is what tells an attacker's answer from the gateway's: an answer just inside it
// is a conflict, one just after it is not (the gateway answered alone and is remembered).
TEST_F(KeeperTest, AnswerWithinTheConflictWindowIsAConflictAndOneAfterItIsNot) {
    for (const auto& [delay, conflict] : std::vector<std::pair<std::uint32_t, bool>>{
             {1, true}, {window_ms / 2, true}, {window_ms - 1, true}, {window_ms + 1, false}}) {
        stack.arpAnswers.clear();
        stack.AddAnswer("10.0.0.1", gateway_mac, 0);
        stack.AddAnswer("10.0.0.1", attacker_mac, delay);
        FakeStateStore ownStore;
        GatewayMemory ownMemory(&ownStore);
        GatewayKeeper own(stack, *resolver, ownMemory, trusted);
        const std::string output = PassAndFinish(own);
        EXPECT_EQ(output.find("two MAC addresses") != std::string::npos, conflict) << delay;
        EXPECT_EQ(ownStore.text.has_value(), !conflict) << delay;
    }
}

// Nothing known decides a conflict: removing the pin would leave the kernel's own entry to the
// flood, so one answer stays pinned, never remembered, and the gateway is asked again on the
// retry schedule: the later answer (an attacker answers at once), and never an address that
// answered more often than it was asked (a flooder).
TEST_F(KeeperTest, ConflictWithoutMemoryKeepsAnAnswerPinnedNotRememberedAndAsksAgain) {
    struct Case {
        int attackerAnswers;
        HardwareAddress kept;
    };
    for (const Case& c : {Case{1, gateway_mac}, Case{5, gateway_mac}}) {
        stack.arpAnswers.clear();
        stack.staticEntries.clear();
        for (int i = 0; i < c.attackerAnswers; ++i) {
            stack.AddAnswer("10.0.0.1", attacker_mac, static_cast<std::uint32_t>(i));
        }
        stack.AddAnswer("10.0.0.1", gateway_mac, 1);
        FakeStateStore ownStore;
        GatewayMemory ownMemory(&ownStore);
        GatewayKeeper own(stack, *resolver, ownMemory, trusted);
        const std::string output = PassAndFinish(own);
        // The first answer's pin is never withdrawn without a line saying what stands instead.
        EXPECT_EQ(output.substr(0, output.find('\n') + 1),
                  BoundLine(0, "10.0.0.1", "020000000066"));
        EXPECT_NE(output.find("two MAC addresses, 020000000066 and 020000000001: kept " +
                              Core_Common::bytes_to_hex(c.kept) + " pinned"),
                  std::string::npos)
            << output;
        EXPECT_EQ(Entry(), c.kept);
        EXPECT_TRUE(stack.CallsStartingWith("Delete").empty());
        EXPECT_FALSE(ownStore.text);
        EXPECT_EQ(own.RetryDelayMs(7, "10.0.0.1"), 1000);
    }
}

// An attacker who answers every request: the pin stands, the gateway is asked on the documented
// schedule (a pin does not reset it), and the log grows by a few lines a minute at most.
TEST_F(KeeperTest, PersistentAttackerIsAskedOnTheScheduleAndItsReportsAreBounded) {
    stack.AddAnswer("10.0.0.1", attacker_mac, 0);
    stack.AddAnswer("10.0.0.1", gateway_mac, 1);
    Pass();
    std::string output = RunFor(window_ms);
    std::vector<std::int64_t> delays;
    for (int round = 0; round < 9; ++round) {
        const auto delay = keeper.RetryDelayMs(7, "10.0.0.1");
        ASSERT_TRUE(delay);
        delays.push_back(*delay);
        output += RunFor(static_cast<std::uint32_t>(*delay) + window_ms);
    }
    EXPECT_EQ(delays, (std::vector<std::int64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000,
                                                 60000}));
    // About 4 minutes of attack: the first report, then one summary a minute.
    const std::size_t lines = CountOf(output, "\n");
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, 6u) << output;
    EXPECT_NE(output.find("times since the last report)"), std::string::npos);
    EXPECT_FALSE(store.text);
}

// Frames that claim a settled pin for other MACs: of each MAC the first is told at once, the
// rest counted for one summary a period; the pinned MAC itself and pins still being asked are no
// claim; beyond a bound, further MACs share one report, so that made-up MACs cost no memory.
TEST_F(KeeperTest, ClaimsOfASettledPinAreToldOnceAMacAndCountedWithinABound) {
    stack.AddAnswer("10.0.0.1", gateway_mac, 0);
    Pass();
    const auto claim = [](std::uint8_t last, std::uint64_t frames) {
        return Core_SocketARP::ForgedClaim{7, "10.0.0.1", {0x02, 0, 0, 0, 1, last}, frames};
    };
    const auto report = [this](const std::vector<Core_SocketARP::ForgedClaim>& claims) {
        testing::internal::CaptureStdout();
        keeper.ReportClaims(claims);
        return testing::internal::GetCapturedStdout();
    };
    // Still in its conflict window: the round judges what answers.
    EXPECT_TRUE(keeper.WatchedPins().empty());
    EXPECT_EQ(report({claim(1, 5)}), "");
    RunFor(window_ms);
    EXPECT_EQ(keeper.WatchedPins(),
              (std::vector<Core_SocketARP::WatchedPin>{{7, "10.0.0.1", gateway_mac}}));

    EXPECT_EQ(report({claim(1, 5), {7, "10.0.0.1", gateway_mac, 3}, {7, "10.0.0.9", new_mac, 3}}),
              Warning("Gateway 10.0.0.1 on eth0 is pinned to 020000000001, and an ARP frame "
                      "claims it is at 020000000101: forged, and dropped by the pin"));
    std::vector<Core_SocketARP::ForgedClaim> many;
    for (std::uint8_t mac = 1; mac <= 20; ++mac) {
        many.push_back(claim(mac, 1000));
    }
    const std::string flood = report(many);
    EXPECT_EQ(CountOf(flood, "\n"), GatewayKeeper::claim_mac_limit) << flood;
    EXPECT_NE(flood.find("claims it is at further MAC addresses (the latest 020000000109)"),
              std::string::npos);
    EXPECT_EQ(RunFor(60 * 1000 - window_ms), "");
    const std::string summaries = RunFor(window_ms + 1);
    EXPECT_EQ(CountOf(summaries, "\n"), GatewayKeeper::claim_mac_limit + 1) << summaries;
    EXPECT_NE(summaries.find(Warning("Gateway 10.0.0.1 on eth0: ARP frames claim it is at "
                                     "020000000101, not at the pinned 020000000001: forged, and "
                                     "dropped by the pin (1004 times since the last report)")),
              std::string::npos);
    EXPECT_NE(summaries.find("further MAC addresses (the latest 020000000114), not at the pinned "
                             "020000000001: forged, and dropped by the pin (11999 times"),
              std::string::npos);
    EXPECT_EQ(Entry(), gateway_mac);
}

// A settled router is watched as a gateway is, its claims told in the same way as those of
// Neighbor Advertisements.
TEST_F(KeeperTest, ClaimsOfASettledRouterAreToldAsNeighborAdvertisements) {
    stack.adapters[0].gateway.clear();
    Routers({"fe80::1"});
    stack.Answer("fe80::1", router_mac);
    Pass();
    RunFor(window_ms);
    EXPECT_EQ(keeper.WatchedPins(),
              (std::vector<Core_SocketARP::WatchedPin>{{7, "fe80::1", router_mac}}));
    const auto report = [this](std::uint64_t frames) {
        testing::internal::CaptureStdout();
        keeper.ReportClaims({{7, "fe80::1", attacker_mac, frames}});
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(report(1), Warning("Router fe80::1 on eth0 is pinned to 0200000000a1, and a Neighbor "
                                 "Advertisement claims it is at 020000000066: forged, and "
                                 "dropped by the pin"));
    EXPECT_EQ(report(41), "");
    EXPECT_EQ(RunFor(60 * 1000 + 1),
              Warning("Router fe80::1 on eth0: Neighbor Advertisements claim it is at "
                      "020000000066, not at the pinned 0200000000a1: forged, and dropped by the "
                      "pin (41 times since the last report)"));
}

TEST_F(KeeperTest, RememberedAddressIsPinnedBeforeAnyoneIsAskedAndWinsEveryConflict) {
    Remember(gateway_mac);
    stack.AddAnswer("10.0.0.1", attacker_mac, 0);
    stack.AddAnswer("10.0.0.1", gateway_mac, 1);
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_EQ(stack.calls[stack.calls.size() - 2], "Create 7 10.0.0.1 020000000001");
    EXPECT_EQ(stack.calls.back(), "Ask 7 10.0.0.1 from 10.0.0.2");
    EXPECT_EQ(RunFor(window_ms),
              Warning("Gateway 10.0.0.1 on eth0 answered with two MAC addresses, 020000000066 "
                      "and 020000000001: kept the remembered 020000000001"));
    EXPECT_TRUE(stack.CallsStartingWith("Create 7 10.0.0.1 020000000066").empty());
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_FALSE(keeper.RetryDelayMs(7, "10.0.0.1"));
}

// A different address answering alone for a remembered gateway: the remembered one is asked
// directly; while it answers, the other is an impostor.
TEST_F(KeeperTest, LoneOtherAnswerIsAnImpostorWhenTheRememberedGatewayAnswersDirectly) {
    Remember(gateway_mac);
    stack.AddAnswer("10.0.0.1", attacker_mac, 0);
    stack.AddAnswer("10.0.0.1", gateway_mac, 0);
    // Only the direct question reaches the gateway (the attacker stole its answers).
    stack.onSendArpRequest = [this] {
        const bool direct = stack.calls.back().find(" to ") != std::string::npos;
        stack.arpAnswers["10.0.0.1"][1].delayMs = direct ? 0 : 100000;
    };
    Pass();
    const std::string output = RunFor(3000);
    EXPECT_NE(output.find("answered with 020000000066 alone, not with the remembered "
                          "020000000001 (the test's store): asking 020000000001 directly"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("the remembered 020000000001 answered when asked directly: kept it "
                          "pinned; 020000000066, which answered alone before, is an impostor"),
              std::string::npos)
        << output;
    EXPECT_EQ(stack.CallsStartingWith("Ask 7 10.0.0.1 from 10.0.0.2 to 020000000001").size(), 1u);
    EXPECT_TRUE(stack.CallsStartingWith("Create 7 10.0.0.1 020000000066").empty());
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_EQ(Remembered(), gateway_mac);
}

// A replaced gateway costs seconds: while the remembered one stays silent, the new one is
// pinned provisionally and checked, the remembered one asked with it; the moment the remembered
// one answers it is pinned again. Only a replacement that answered alone through the whole
// quarantine is remembered.
TEST_F(KeeperTest, ReplacementIsPinnedProvisionallyAndRememberedOnlyAfterTheQuarantine) {
    Remember(gateway_mac);
    stack.Answer("10.0.0.1", new_mac);
    Pass();
    std::string output = RunFor(window_ms + 3000 + 10);
    EXPECT_NE(output.find("has a new MAC address 020000000002 (was 020000000001), and "
                          "020000000001 does not answer when asked directly: 020000000002 pinned "
                          "provisionally, not remembered"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(BoundLine(0, "10.0.0.1", "020000000002")), std::string::npos);
    EXPECT_EQ(Entry(), new_mac);
    EXPECT_EQ(Remembered(), gateway_mac);
    stack.calls.clear();
    RunFor(check_ms);
    EXPECT_EQ(stack.CallsStartingWith("Ask"),
              (std::vector<std::string>{"Ask 7 10.0.0.1 from 10.0.0.2",
                                        "Ask 7 10.0.0.1 from 10.0.0.2 to 020000000001"}));

    // The remembered gateway is back: pinned again at the next check.
    stack.AddAnswer("10.0.0.1", gateway_mac, 0);
    output = RunFor(check_ms + 2 * window_ms);
    EXPECT_NE(output.find("the remembered 020000000001 answers again: pinned again; 020000000002, "
                          "pinned provisionally, was an impostor"),
              std::string::npos)
        << output;
    EXPECT_EQ(Entry(), gateway_mac);

    // Gone for good: the replacement answers alone through the quarantine and is remembered.
    stack.Answer("10.0.0.1", new_mac);
    stack.staticEntries.clear(); // the pin is gone: the next pass flushes and asks
    Pass();
    RunFor(window_ms + 3000 + 10);
    const auto quarantine_ms =
        static_cast<std::uint32_t>(std::chrono::milliseconds{GatewayKeeper::quarantine}.count());
    RunFor(quarantine_ms - check_ms);
    EXPECT_EQ(Remembered(), gateway_mac);
    output = RunFor(3 * check_ms);
    EXPECT_NE(output.find("020000000002 has answered alone for 6 h, and the remembered "
                          "020000000001 not once: remembered in its place"),
              std::string::npos)
        << output;
    EXPECT_EQ(Remembered(), new_mac);
    EXPECT_EQ(Entry(), new_mac);
}

// The administrator's word is final: a trusted address is pinned from the list, any other
// answer is an impostor that is never written, and addresses that are not gateways are kept
// the same way on the links whose subnet holds them.
TEST_F(KeeperTest, TrustedAddressesArePinnedFromTheListAndNeverReplaced) {
    trustedList.text = "10.0.0.1 02-00-00-00-00-01\n"
                       "10.0.0.53, 020000000053\n"
                       "10.9.0.53 02:00:00:00:00:54\n"
                       "10.0.0.54 02:00:00:00:00:55 eth9\n";
    stack.Answer("10.0.0.1", attacker_mac);
    stack.Answer("10.0.0.53", {0x02, 0, 0, 0, 0, 0x53});
    EXPECT_EQ(Pass(),
              BoundLine(0, "10.0.0.1", "020000000001") + BoundLine(0, "10.0.0.53", "020000000053"));
    EXPECT_EQ(RunFor(3000),
              Warning("Gateway 10.0.0.1 on eth0 answered with 020000000066, not with the trusted "
                      "020000000001: kept the trusted one pinned; 020000000066 is an impostor"));
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_EQ(Entry("10.0.0.53"), (HardwareAddress{0x02, 0, 0, 0, 0, 0x53}));
    EXPECT_FALSE(Entry("10.9.0.53"));
    EXPECT_FALSE(Entry("10.0.0.54"));
    EXPECT_TRUE(stack.CallsStartingWith("Create 7 10.0.0.1 020000000066").empty());
    EXPECT_FALSE(store.text); // trusted addresses are not remembered
}

// A flood took answers away: what came alone proves nothing, unless it is the remembered one.
TEST_F(KeeperTest, LostAnswersKeepTheAnswerPinnedButNotRemembered) {
    stack.Answer("10.0.0.1", attacker_mac);
    stack.onSendArpRequest = [this] { stack.loseAnswers = true; };
    Pass();
    EXPECT_EQ(RunFor(window_ms),
              Warning("Gateway 10.0.0.1 on eth0: answers were lost in a flood, only 020000000066 "
                      "was seen: kept it pinned, not remembered; asking again in 1 s"));
    EXPECT_EQ(Entry(), attacker_mac);
    EXPECT_FALSE(store.text);
}

// A gateway that stays silent is asked again alone, 1 s after, then twice the last delay, up to
// 60 s; its failures print no further line but a rare reminder; once it answers it is pinned and
// its line printed.
TEST_F(KeeperTest, SilentGatewayIsRetriedAloneWithABackoffAndOnlyRemindedOf) {
    stack.AddLink(8, "10.0.0.9");
    stack.adapters.back().name = "eth1";
    stack.Answer("10.0.0.9", gateway_mac);
    Pass();
    stack.calls.clear();
    std::vector<std::int64_t> delays;
    std::string output;
    for (int failure = 0; failure < 8; ++failure) {
        delays.push_back(*keeper.RetryDelayMs(7, "10.0.0.1"));
        output += RunFor(static_cast<std::uint32_t>(delays.back()) + 3000);
    }
    EXPECT_EQ(delays,
              (std::vector<std::int64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_EQ(CountOf(output, "ARP Error"), 0u) << output;
    EXPECT_LE(CountOf(output, "\n"), 2u) << output;
    EXPECT_TRUE(stack.CallsStartingWith("Flush").empty());
    EXPECT_TRUE(stack.CallsStartingWith("Ask 8").empty());

    stack.Answer("10.0.0.1", gateway_mac);
    EXPECT_EQ(RunFor(60000 + 10), BoundLine(0, "10.0.0.1", "020000000001"));
    EXPECT_EQ(Entry(), gateway_mac);
    EXPECT_FALSE(keeper.RetryDelayMs(7, "10.0.0.1"));
}

// Each gateway's lines come in the order of what happened, and the pass's in adapter order: a
// conflict found while an earlier position is still silent is told after its pin's line.
TEST_F(KeeperTest, ConflictOfALaterPositionIsToldAfterItsPinAndAfterEarlierPositions) {
    stack.adapters = {AdapterInfo{1, "10.0.1.1", "", "eth1"},
                      AdapterInfo{2, "10.0.2.1", "", "eth2"}};
    stack.interfaces = {1, 2};
    stack.AddAnswer("10.0.2.1", attacker_mac, 0);
    stack.AddAnswer("10.0.2.1", gateway_mac, 1);
    const std::string output = Pass();
    EXPECT_EQ(output, ErrorLine(0, FakeNetworkStack::unanswered_error) +
                          BoundLine(1, "10.0.2.1", "020000000066") +
                          Warning("Gateway 10.0.2.1 on eth2 answered with two MAC addresses, "
                                  "020000000066 and 020000000001: kept 020000000001 pinned (the "
                                  "later answer: an attacker answers at once), not remembered; "
                                  "asking again in 1 s") +
                          BoundLine(1, "10.0.2.1", "020000000001"));
}

// A pin that something else removed or changed is written back at once, without asking and
// without a flush; the keeper's own writes, and changes elsewhere, cost nothing; a pin removed
// again and again is told at most once a period.
TEST_F(KeeperTest, RepairRestoresWhatWasRemovedOrChangedAtOnceAndOnlyThat) {
    stack.Answer("10.0.0.1", gateway_mac);
    Pass();
    RunFor(window_ms);
    stack.calls.clear();

    keeper.Repair({false, {{7, "10.0.0.1"}}, {}});  // its own write
    keeper.Repair({false, {{7, "10.0.0.2"}}, {3}}); // elsewhere
    EXPECT_EQ(stack.calls, (std::vector<std::string>{"Read 7 10.0.0.1"}));

    std::string output;
    for (int i = 0; i < 200; ++i) {
        if (i % 2 == 0) {
            stack.staticEntries.clear();
        } else {
            stack.staticEntries[{7, "10.0.0.1"}] = attacker_mac;
        }
        testing::internal::CaptureStdout();
        keeper.Repair({false, {{7, "10.0.0.1"}}, {}});
        output += testing::internal::GetCapturedStdout();
        EXPECT_EQ(Entry(), gateway_mac);
    }
    output += RunFor(60000);
    EXPECT_EQ(output,
              BoundLine(0, "10.0.0.1", "020000000001") +
                  Warning("Gateway 10.0.0.1 on eth0: its entry was removed or changed and "
                          "was pinned again to 020000000001 (199 times since the last report)"));
    EXPECT_TRUE(stack.CallsStartingWith("Ask").empty());
    EXPECT_TRUE(stack.CallsStartingWith("Flush").empty());
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

// A later pass leaves alone a link whose pins stand as the keeper chose them: no flush, no
// question, the same line; a link whose gateway changed is flushed and resolved.
TEST_F(KeeperTest, LaterPassLeavesStandingPinsInPlaceAndResolvesWhatChanged) {
    stack.AddLink(8, "10.0.8.1");
    stack.adapters.back().name = "eth1";
    stack.Answer("10.0.0.1", gateway_mac);
    stack.Answer("10.0.8.1", gateway_mac);
    stack.Answer("10.0.8.9", new_mac);
    Pass();
    RunFor(window_ms);
    stack.calls.clear();
    stack.adapters[1].gateway = "10.0.8.9";
    EXPECT_EQ(Pass(),
              BoundLine(0, "10.0.0.1", "020000000001") + BoundLine(1, "10.0.8.9", "020000000002"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), std::vector<std::string>{"Flush 8"});
    EXPECT_EQ(stack.CallsStartingWith("Ask"), std::vector<std::string>{"Ask 8 10.0.8.9 from none"});
    EXPECT_EQ(Entry(), gateway_mac);
}

// Every gateway the link's traffic may take is asked at once, each from the link's address on its
// subnet, and its line follows the first gateway's; a later pass with the same gateways leaves
// the link alone, and one without a gateway the link no longer uses flushes the link, so that
// its pin does not stay.
TEST_F(KeeperTest, EveryGatewayOfALinkIsPinnedInItsOrderAndOneNoLongerUsedIsUnpinned) {
    const HardwareAddress other_mac = {0x02, 0, 0, 0, 0, 0x05};
    stack.adapters[0].moreGateways = {{"10.0.0.3", "10.0.0.2"}, {"192.168.5.1", "192.168.5.2"}};
    stack.AddAnswer("10.0.0.1", gateway_mac, 5);
    stack.AddAnswer("10.0.0.3", new_mac, 1);
    stack.AddAnswer("192.168.5.1", other_mac, 0);
    const std::string all = BoundLine(0, "10.0.0.1", "020000000001") +
                            BoundLine(0, "10.0.0.3", "020000000002") +
                            BoundLine(0, "192.168.5.1", "020000000005");
    EXPECT_EQ(Pass(), all);
    EXPECT_EQ(
        stack.CallsStartingWith("Ask"),
        (std::vector<std::string>{"Ask 7 10.0.0.1 from 10.0.0.2", "Ask 7 10.0.0.3 from 10.0.0.2",
                                  "Ask 7 192.168.5.1 from 192.168.5.2"}));
    RunFor(window_ms);

    stack.calls.clear();
    EXPECT_EQ(Pass(), all);
    EXPECT_TRUE(stack.CallsStartingWith("Flush").empty());
    EXPECT_TRUE(stack.CallsStartingWith("Ask").empty());

    stack.adapters[0].moreGateways.pop_back();
    stack.calls.clear();
    EXPECT_EQ(Pass(),
              BoundLine(0, "10.0.0.1", "020000000001") + BoundLine(0, "10.0.0.3", "020000000002"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), std::vector<std::string>{"Flush 7"});
    EXPECT_FALSE(Entry("192.168.5.1"));
    EXPECT_EQ(Entry("10.0.0.3"), new_mac);
    EXPECT_EQ(keeper.Watched(), (std::vector<Core_SocketARP::WatchedNeighbour>{
                                    {7, {10, 0, 0, 1}}, {7, {10, 0, 0, 3}}}));
}

// "0.0.0.0", what the system lists for an adapter without a gateway, is asked as any gateway,
// but never pinned, whatever answers, nor asked again before the next pass.
TEST_F(KeeperTest, AllZeroGatewayIsAskedButNeverPinnedNorAskedAgain) {
    stack.adapters[0].gateway = "0.0.0.0";
    for (const bool answered : {true, false}) {
        stack.arpAnswers.clear();
        if (answered) {
            stack.Answer("0.0.0.0", gateway_mac);
        }
        EXPECT_EQ(Pass(), ErrorLine(0, answered ? 0 : FakeNetworkStack::unanswered_error));
        stack.calls.clear();
        EXPECT_EQ(RunFor(120000), "");
        EXPECT_TRUE(stack.CallsStartingWith("Ask").empty());
        EXPECT_TRUE(stack.staticEntries.empty());
    }
}

// Where the platform's request answers from the table (SendARP), the pin leaves the table for
// the moment of each request, and a different address counts only when it answers alike across
// the challenge's spaced tries.
TEST_F(KeeperTest, OnAPlatformThatAnswersFromTheTableEachRequestFindsTheTableWithoutThePin) {
    stack.answersFromTable = true;
    stack.Answer("10.0.0.1", attacker_mac);
    Remember(gateway_mac);
    GatewayMemory ownMemory(&store);
    GatewayKeeper windows(stack, *resolver, ownMemory, trusted);
    const std::string output = PassAndFinish(windows);
    EXPECT_EQ(stack.CallsStartingWith("Ask").size(), 4u); // the round, then 3 spaced tries
    EXPECT_EQ(stack.CallsStartingWith("Delete").size(), 4u);
    EXPECT_NE(output.find("pinned provisionally"), std::string::npos) << output;
    EXPECT_EQ(Entry(), attacker_mac);
    EXPECT_EQ(Remembered(), gateway_mac);

    // The next check finds the remembered address again: pinned again.
    stack.Answer("10.0.0.1", gateway_mac);
    RunFor(windows, check_ms + window_ms);
    EXPECT_EQ(Entry(), gateway_mac);
}

// A link's IPv6 routers are asked from its link-local address and pinned after its IPv4 side,
// each in a line that names the link as the zone of a link-local address. No flush touches
// them: a later pass that flushes the link leaves their pins standing, a router that is gone
// loses its pin, and the stop removes exactly the routers' pins.
TEST_F(KeeperTest, RoutersArePinnedAfterTheGatewayLeftByLaterPassesAndRemovedAtTheStop) {
    Routers({"fe80::1", "2001:db8::1"});
    stack.Answer("10.0.0.1", gateway_mac);
    stack.Answer("fe80::1", router_mac);
    stack.Answer("2001:db8::1", new_mac);
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.1", "020000000001") +
                          NdBoundLine(0, "fe80::1%eth0", "0200000000a1") +
                          NdBoundLine(0, "2001:db8::1", "020000000002"));
    EXPECT_EQ(stack.CallsStartingWith("Ask 7 fe80::1"),
              std::vector<std::string>{"Ask 7 fe80::1 from fe80::2"});
    EXPECT_EQ(RunFor(window_ms), ""); // routers that come together are each other's equals
    EXPECT_EQ(Remembered("fe80::1"), router_mac);
    EXPECT_NE(store.text->find("eth0 ipv6 fe80::1 02:00:00:00:00:a1 "), std::string::npos);

    stack.calls.clear();
    stack.adapters[0].gateway = "10.0.0.9";
    stack.Answer("10.0.0.9", new_mac);
    EXPECT_EQ(Pass(), BoundLine(0, "10.0.0.9", "020000000002") +
                          NdBoundLine(0, "fe80::1%eth0", "0200000000a1") +
                          NdBoundLine(0, "2001:db8::1", "020000000002"));
    EXPECT_EQ(stack.CallsStartingWith("Flush"), std::vector<std::string>{"Flush 7"});
    EXPECT_EQ(stack.CallsStartingWith("Ask"),
              std::vector<std::string>{"Ask 7 10.0.0.9 from 10.0.0.2"});
    EXPECT_EQ(Entry("fe80::1"), router_mac);

    stack.adapters[0].routers = {"fe80::1"};
    Pass();
    EXPECT_FALSE(Entry("2001:db8::1"));
    testing::internal::CaptureStdout();
    keeper.RemoveIpv6Pins();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), NdRemovedLine(0, "fe80::1%eth0"));
    EXPECT_FALSE(Entry("fe80::1"));
    EXPECT_EQ(Entry("10.0.0.9"), new_mac); // the flush's
}

// A router that comes to a link with a remembered or trusted router may be a host announcing
// itself: reported with its address and MAC, and pinned to that MAC like any router.
TEST_F(KeeperTest, NewRouterOnALinkWithAKnownRouterIsReportedAndPinned) {
    for (const bool trustedRouter : {false, true}) {
        FakeStateStore ownStore;
        FakeStateStore ownList;
        if (trustedRouter) {
            ownList.text = "fe80::1 02:00:00:00:00:a1 eth0\n";
        } else {
            ownStore.text = GatewayMemory::Encode({{{"eth0", "fe80::1"}, {router_mac, 1}}});
        }
        stack.adapters[0].gateway.clear();
        Routers({"fe80::1"});
        stack.Answer("fe80::1", router_mac);
        stack.Answer("fe80::66", attacker_mac);
        GatewayMemory ownMemory(&ownStore);
        TrustedGateways ownTrusted({&ownList});
        GatewayKeeper own(stack, *resolver, ownMemory, ownTrusted);
        PassAndFinish(own);
        stack.adapters[0].routers = {"fe80::1", "fe80::66"};
        const std::string output = PassAndFinish(own);
        EXPECT_EQ(output,
                  NdBoundLine(0, "fe80::1%eth0", "0200000000a1") +
                      NdBoundLine(0, "fe80::66%eth0", "020000000066") +
                      Warning("Router fe80::66 on eth0 is a router not seen before on eth0, at "
                              "020000000066: pinned to it and remembered; the routers known "
                              "there: fe80::1. Unless it is one of yours, a host on eth0 "
                              "advertises itself as a router: find it by its MAC, and have the "
                              "switch drop router advertisements from hosts (RA Guard)"))
            << trustedRouter;
        EXPECT_EQ(Entry("fe80::66"), attacker_mac);
    }
}

// An answer without the Router flag is pinned all the same, and told.
TEST_F(KeeperTest, RouterAnsweringWithoutTheRouterFlagIsReported) {
    Routers({"fe80::1"});
    stack.Answer("10.0.0.1", gateway_mac);
    stack.Answer("fe80::1", router_mac);
    stack.arpAnswers["fe80::1"][0].notRouter = true;
    const std::string output = Pass();
    EXPECT_EQ(output, BoundLine(0, "10.0.0.1", "020000000001") +
                          NdBoundLine(0, "fe80::1%eth0", "0200000000a1") +
                          Warning("Router fe80::1 on eth0 answered from 0200000000a1 without "
                                  "the Router flag: it says it routes no more, or another host "
                                  "answers for it"));
    EXPECT_EQ(Entry("fe80::1"), router_mac);
}

// The remembered gateways' text: every line is read on its own; what cannot be read is told
// with its line number and skipped, the rest kept.
TEST(GatewayMemoryText, ReadsLineByLineAndSkipsWhatItCannotRead) {
    const GatewayMemory::Entries entries = {{{"eth0", "10.0.0.1"}, {gateway_mac, 1765000000}},
                                            {{"eth0", "fe80::1"}, {router_mac, 1765000000}},
                                            {{"we ird\x7f%#,", "10.0.0.1"}, {new_mac, 0}}};
    const auto read = [](const std::string& text) {
        GatewayMemory::Reader reader;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            reader.Line(std::string_view(text).substr(start, end - start));
            start = end + 1;
        }
        return reader;
    };
    auto reader = read(GatewayMemory::Encode(entries));
    EXPECT_TRUE(reader.Readable());
    EXPECT_EQ(reader.Result(), entries);

    const std::string header = "tarnwick-antiarp gateways 2\r\n";
    struct Case {
        std::string line;
        std::string reason;
    };
    const std::vector<Case> bad = {
        {"eth0 ipv4 10.0.0.1 02:00:00:00:00:01", "4 fields where 5 belong"},
        {"eth0 ipv4 10.0.0.256 02:00:00:00:00:01 2026-12-07T17:00:00Z", "is not an IPv4 address"},
        {"eth0 ipv4 10.0.0.1 01:00:00:00:00:01 2026-12-07T17:00:00Z", "is not a MAC address"},
        {"eth0 ipv4 10.0.0.1 02:00:00:00:00:01 yesterday", "is not a time"},
        {"eth0 ipv9 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z", "family"},
        {"eth0 ipv6 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z", "is not an IPv6 address"},
        {"eth0 ipv4 fe80::1 02:00:00:00:00:01 2026-12-07T17:00:00Z", "is not an IPv4 address"},
        {"et%zz ipv4 10.0.0.1 02:00:00:00:00:01 2026-12-07T17:00:00Z", "link's name"},
        {std::string(2000, 'a'), "longer than"},
    };
    std::string text = header;
    for (const Case& c : bad) {
        text += c.line + "\r\n";
    }
    text += "eth1 ipv4 10.0.0.1 0200000000AB 2026-12-07T17:00:00Z\r\n";
    // An IPv6 address however written is kept in its one text.
    text += "eth1 ipv6 FE80:0:0::0:1 02:00:00:00:00:a1 2026-12-07T17:00:00Z\r\n";
    reader = read(text);
    ASSERT_EQ(reader.ProblemCount(), bad.size());
    for (std::size_t i = 0; i < GatewayMemory::reported_line_limit; ++i) {
        EXPECT_EQ(reader.Problems()[i].line, i + 2);
        EXPECT_NE(reader.Problems()[i].reason.find(bad[i].reason), std::string::npos)
            << reader.Problems()[i].reason;
    }
    EXPECT_EQ(reader.Result().size(), 2u);
    EXPECT_EQ(reader.Result().at({"eth1", "10.0.0.1"}).address,
              (HardwareAddress{0x02, 0, 0, 0, 0, 0xab}));
    EXPECT_EQ(reader.Result().at({"eth1", "fe80::1"}).address, router_mac);

    // The first format is still read, only its 12 digits of a unicast MAC; too many entries
    // keep the most recently confirmed.
    reader = read("tarnwick-antiarp gateways 1\neth0 10.0.0.1 020000000001\n"
                  "eth1 10.0.0.1 00000002000002\neth2 10.0.0.1 010000000001\n");
    EXPECT_EQ(reader.Result().at({"eth0", "10.0.0.1"}).address, gateway_mac);
    EXPECT_EQ(reader.Result().size(), 1u);
    EXPECT_EQ(reader.ProblemCount(), 2u);
    GatewayMemory::Entries many;
    for (std::size_t i = 0; i < GatewayMemory::entry_limit + 3; ++i) {
        many[{"eth" + std::to_string(i), "10.0.0.1"}] = {gateway_mac, static_cast<int>(i) + 1};
    }
    reader = read(GatewayMemory::Encode(many));
    EXPECT_EQ(reader.Result().size(), GatewayMemory::entry_limit);
    EXPECT_EQ(reader.Pruned(), 3u);
    EXPECT_FALSE(reader.Result().contains({"eth0", "10.0.0.1"}));
}

// What is stored but cannot be trusted or read is told once and never silently overwritten.
TEST(GatewayMemoryStore, UnreadableOrRefusedStateIsToldOnceKeptAsideAndAFailedSaveOnce) {
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
    std::string text = Core_SocketARP::ErrorText(28);
    text.erase(text.find_last_not_of("\r\n") + 1);
    EXPECT_EQ(output, "[WARN][SocketARP]The remembered gateways in the test's store are not "
                      "readable as such (its first line is not \"tarnwick-antiarp gateways 2\"): "
                      "kept aside as the test's store.bad; they are ignored\n"
                      "[ERROR][SocketARP][ error_code = 28 ] The remembered gateways could not be "
                      "saved in the test's store: " +
                          text + "\n");
    EXPECT_EQ(store.keptAside, "garbage");
    EXPECT_EQ(store.loads, 1);
    EXPECT_EQ(memory.Recall("eth0", "10.0.0.1"), gateway_mac); // kept for the process
    store.saveError.reset();
    memory.Remember("eth0", "10.0.0.1", gateway_mac);
    EXPECT_EQ(CountOf(*store.text, "10.0.0.1"), 2u);

    FakeStateStore refused;
    refused.refusal = "is writable by group or others";
    GatewayMemory untrusted(&refused);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(untrusted.Recall("eth0", "10.0.0.1"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[WARN][SocketARP]The remembered gateways in the test's store are not used: it is "
              "writable by group or others (it must be a regular file of root, writable by its "
              "owner only)\n");
}

// The administrator's list: every line on its own, the three ways to write a MAC, comments,
// commas; a bad line is told with its number and skipped.
TEST(TrustedGatewaysText, ReadsEntriesAndTellsBadLinesByNumber) {
    TrustedGateways::Reader reader;
    for (const char* line :
         {"# trusted", "10.0.0.1 00:11:22:33:44:55 eth0", "10.0.0.2,00-11-22-33-44-66\r",
          "10.0.0.3 0011223344AA   # file server", "", "10.0.0.4", "10.0.0.5 01:00:5e:00:00:01",
          "10.0.0.6 00:00:00:00:00:00", "10.0.0.999 00:11:22:33:44:55",
          "10.0.0.7 00:11:22:33:44:55 eth0 extra", "10.0.0.8 00:11:22:33:44:5",
          "FE80:0::1 00:11:22:33:44:77 eth0", "fe80::1::2 00:11:22:33:44:77 eth0"}) {
        reader.Line(line);
    }
    EXPECT_EQ(reader.Result(), (std::vector<TrustedGateways::Entry>{
                                   {"10.0.0.1", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "eth0"},
                                   {"10.0.0.2", {0x00, 0x11, 0x22, 0x33, 0x44, 0x66}, ""},
                                   {"10.0.0.3", {0x00, 0x11, 0x22, 0x33, 0x44, 0xaa}, ""},
                                   {"fe80::1", {0x00, 0x11, 0x22, 0x33, 0x44, 0x77}, "eth0"}}));
    std::vector<std::size_t> lines;
    for (const auto& problem : reader.Problems()) {
        lines.push_back(problem.line);
    }
    EXPECT_EQ(lines, (std::vector<std::size_t>{6, 7, 8, 9, 10, 11, 13}));
}

} // namespace
