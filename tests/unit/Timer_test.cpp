#include "Core_Common/Timer.h"

#include "Core_Common/InterfaceConnectorCommon.h"
#include "Core_Common/Message.h"
#include "fakes/CodeThrownBy.h"
#include "fakes/FailingVirtualMemory.h"
#include "fakes/FakeTickSource.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using Core_Common::InterfaceMessage;
using Core_Common::InterfaceTimer;
using Core_Common::message_position_back;
using Core_Common::timer_entry_pool;
using Core_Common::timer_handle;
using Core_Common::TimerEntry;
using Core_Common::TimerEntryPool;
using testing::ElementsAre;
using tw_test::CodeThrownBy;
using tw_test::FailingVirtualMemory;
using tw_test::FakeTickSource;
using tw_test::ScopedTickSource;

class TimerModuleTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(timer_entry_pool().LiveCount(), 0u);
        InterfaceTimer::Create();
    }
    void TearDown() override {
        InterfaceTimer::Destroy();
        InterfaceMessage::Destroy();
        EXPECT_EQ(timer_entry_pool().LiveCount(), 0u);
        EXPECT_EQ(timer_entry_pool().BlockCount(), 0u);
    }

    std::function<void()> Record(const std::string& name) {
        return [this, name] { fired.push_back(name); };
    }
    // The run loop: a pass every `step` ms for `total` ms, noting the tick of each firing.
    void RunLoop(std::uint32_t total, std::uint32_t step) {
        for (std::uint32_t elapsed = 0; elapsed < total; elapsed += step) {
            ticks.Advance(step);
            Core_Common::DispatchPending();
        }
    }

    FakeTickSource ticks{50000};
    ScopedTickSource scoped{ticks};
    std::vector<std::string> fired;
};

TEST_F(TimerModuleTest, OneShotFiresOnceAtLeastOneMillisecondAfterItIsDue) {
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 2, Record("once"), false);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->period_ms, -1);

    ticks.Advance(2000);
    Core_Common::RunDueTimers();
    EXPECT_TRUE(fired.empty()); // due now, not yet past
    ticks.Advance(1);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("once"));
    EXPECT_EQ(handle, nullptr);

    ticks.Advance(10000);
    Core_Common::RunDueTimers();
    EXPECT_EQ(fired.size(), 1u);
    Core_Common::RemoveTimer(&handle); // nothing to remove
    EXPECT_EQ(handle, nullptr);
}

TEST_F(TimerModuleTest, RepeatingTimerFiresEveryPeriodOnA100msLoop) {
    timer_handle handle = nullptr;
    std::vector<std::uint32_t> at;
    Core_Common::AddTimer(
        &handle, 2, [&] { at.push_back(ticks.Ticks()); }, true);
    RunLoop(10000, 100);
    ASSERT_EQ(at.size(), 4u);
    EXPECT_EQ(at[0] - 50000, 2100u);
    for (std::size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 2000u);
        EXPECT_LE(at[i] - at[i - 1], 2100u);
    }
    EXPECT_NE(handle, nullptr);
    Core_Common::RemoveTimer(&handle);
}

TEST_F(TimerModuleTest, BlockedDispatcherFiresOnceAndDropsMissedPeriods) {
    timer_handle handle = nullptr;
    std::vector<std::uint32_t> at;
    Core_Common::AddTimer(
        &handle, 2, [&] { at.push_back(ticks.Ticks() - 50000); }, true);
    ticks.Advance(10000); // five periods without a pass
    Core_Common::RunDueTimers();
    EXPECT_THAT(at, ElementsAre(10000u));
    Core_Common::RunDueTimers();
    EXPECT_EQ(at.size(), 1u);

    // The late timer restarts from the late pass: due at once, then every period.
    RunLoop(4500, 100);
    EXPECT_THAT(at, ElementsAre(10000u, 10100u, 12100u, 14100u));
    Core_Common::RemoveTimer(&handle);
}

TEST_F(TimerModuleTest, TimerThatIsLessThanAPeriodLateKeepsItsRhythm) {
    timer_handle handle = nullptr;
    std::vector<std::uint32_t> at;
    Core_Common::AddTimer(
        &handle, 2, [&] { at.push_back(ticks.Ticks() - 50000); }, true);
    ticks.Advance(3500);
    Core_Common::RunDueTimers();
    ticks.Advance(600); // next due at 4000
    Core_Common::RunDueTimers();
    EXPECT_THAT(at, ElementsAre(3500u, 4100u));
    Core_Common::RemoveTimer(&handle);
}

TEST_F(TimerModuleTest, AddingAgainReschedulesFromNowWithTheNewCallback) {
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 5, Record("old"), false);
    TimerEntry* entry = handle;
    ticks.Advance(3000);
    Core_Common::AddTimer(&handle, 5, Record("new"), true);
    EXPECT_EQ(handle, entry);
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 1u);
    EXPECT_EQ(timer_entry_pool().LiveCount(), 1u);

    ticks.Advance(2001); // the old due time has passed
    Core_Common::RunDueTimers();
    EXPECT_TRUE(fired.empty());
    ticks.Advance(3000);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("new"));
    EXPECT_NE(handle, nullptr); // now repeating
    Core_Common::RemoveTimer(&handle);
}

TEST_F(TimerModuleTest, TimersDueAtTheSameMillisecondFireInTheOrderAdded) {
    timer_handle a = nullptr;
    timer_handle b = nullptr;
    timer_handle c = nullptr;
    timer_handle d = nullptr;
    Core_Common::AddTimer(&a, 1, Record("A"), false);
    Core_Common::AddTimer(&d, 3, Record("D"), false);
    Core_Common::AddTimer(&b, 1, Record("B"), false);
    Core_Common::AddTimer(&c, 1, Record("C"), false);
    ticks.Advance(1001);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("A", "B", "C"));
    ticks.Advance(2000);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("A", "B", "C", "D"));
}

TEST_F(TimerModuleTest, EarlierDueTimeFiresFirstWhateverTheOrderAdded) {
    timer_handle late = nullptr;
    timer_handle early = nullptr;
    Core_Common::AddTimer(&late, 3, Record("late"), false);
    ticks.Advance(500);
    Core_Common::AddTimer(&early, 1, Record("early"), false);
    ticks.Advance(5000);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("early", "late"));
}

TEST_F(TimerModuleTest, RescheduledEqualTimerGoesBehindTheOthers) {
    timer_handle a = nullptr;
    timer_handle b = nullptr;
    Core_Common::AddTimer(&a, 1, Record("A"), false);
    Core_Common::AddTimer(&b, 1, Record("B"), false);
    Core_Common::AddTimer(&a, 1, Record("A again"), false);
    ticks.Advance(1001);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("B", "A again"));
}

TEST_F(TimerModuleTest, CallbackRemovingItsOwnTimerStopsItAndCompletes) {
    timer_handle handle = nullptr;
    bool completed = false;
    int count = 0;
    Core_Common::AddTimer(
        &handle, 1,
        [&] {
            ++count;
            Core_Common::RemoveTimer(&handle);
            completed = true;
        },
        true);
    ticks.Advance(1001);
    Core_Common::RunDueTimers();
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(completed);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 0u);
    ticks.Advance(5000);
    Core_Common::RunDueTimers();
    EXPECT_EQ(count, 1);
}

TEST_F(TimerModuleTest, CallbackKeepsItsCapturesAfterItsEntryIsGone) {
    timer_handle handle = nullptr;
    auto text = std::make_shared<std::string>("still here");
    std::string seen;
    Core_Common::AddTimer(
        &handle, 0,
        [&, text] {
            Core_Common::RemoveTimer(&handle);
            seen = *text;
        },
        true);
    text.reset();
    ticks.Advance(1);
    Core_Common::RunDueTimers();
    EXPECT_EQ(seen, "still here");
}

TEST_F(TimerModuleTest, CallbackMayAddTimersThatFireOnALaterPass) {
    timer_handle first = nullptr;
    timer_handle second = nullptr;
    Core_Common::AddTimer(
        &first, 0,
        [&] {
            fired.emplace_back("first");
            Core_Common::AddTimer(&second, 0, Record("second"), false);
        },
        false);
    ticks.Advance(1);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("first"));
    ticks.Advance(1);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("first", "second"));
}

TEST_F(TimerModuleTest, OneShotMayAddItselfAgainFromItsCallback) {
    timer_handle handle = nullptr;
    int count = 0;
    std::function<void()> again = [&] {
        if (++count < 3) {
            Core_Common::AddTimer(&handle, 1, again, false);
        }
    };
    Core_Common::AddTimer(&handle, 1, again, false);
    for (int i = 0; i < 5; ++i) {
        ticks.Advance(1001);
        Core_Common::RunDueTimers();
    }
    EXPECT_EQ(count, 3);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(TimerModuleTest, ZeroSecondsFiresOnTheFirstPassAtLeastOneMillisecondLater) {
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 0, Record("zero"), false);
    Core_Common::RunDueTimers();
    EXPECT_TRUE(fired.empty());
    ticks.Advance(1);
    Core_Common::RunDueTimers();
    EXPECT_THAT(fired, ElementsAre("zero"));
}

TEST_F(TimerModuleTest, RepeatingTimerFiresAcrossTheTickWrap) {
    ticks.Set(0xFFFFFFFFu - 1500);
    timer_handle handle = nullptr;
    int count = 0;
    Core_Common::AddTimer(
        &handle, 1, [&] { ++count; }, true);
    RunLoop(4000, 100);
    EXPECT_EQ(count, 3);
    Core_Common::RemoveTimer(&handle);
}

TEST_F(TimerModuleTest, DestroyClearsEveryHandleAndReturnsEveryEntry) {
    timer_handle a = nullptr;
    timer_handle b = nullptr;
    auto token = std::make_shared<int>(0);
    Core_Common::AddTimer(
        &a, 1, [token] {}, true);
    Core_Common::AddTimer(
        &b, 7, [token] {}, false);
    InterfaceTimer::Destroy();
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(timer_entry_pool().LiveCount(), 0u);
    EXPECT_EQ(timer_entry_pool().BlockCount(), 0u);
    InterfaceTimer::Destroy(); // safe when absent
}

TEST_F(TimerModuleTest, CreateReplacesTheInstanceAsDestroyWould) {
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 1, Record("A"), true);
    InterfaceTimer::Create();
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 0u);
}

TEST_F(TimerModuleTest, OperationsWithoutTheModuleThrowTheIntegerZero) {
    InterfaceTimer::Destroy();
    timer_handle handle = nullptr;
    EXPECT_EQ(CodeThrownBy<int>([&] {
                  Core_Common::AddTimer(
                      &handle, 1, [] {}, false);
              }),
              0);
    EXPECT_EQ(CodeThrownBy<int>([&] { Core_Common::RemoveTimer(&handle); }), 0);
    EXPECT_EQ(CodeThrownBy<int>([] { Core_Common::RunDueTimers(); }), 0);
}

TEST_F(TimerModuleTest, EntriesFillPagesOfThePoolAndAllGoBackWithTheLast) {
    const std::size_t per_block = TimerEntryPool::per_block;
    EXPECT_EQ(per_block, Core_Common::objects_per_block(TimerEntryPool::object_size));
    if (TimerEntryPool::object_size == 40) {
        EXPECT_EQ(per_block, 102u);
    }
    std::vector<timer_handle> handles(per_block + 1, nullptr);
    for (std::size_t i = 0; i < per_block; ++i) {
        Core_Common::AddTimer(
            &handles[i], 60, [] {}, false);
    }
    EXPECT_EQ(timer_entry_pool().BlockCount(), 1u);
    Core_Common::AddTimer(
        &handles[per_block], 60, [] {}, false);
    EXPECT_EQ(timer_entry_pool().BlockCount(), 2u);

    for (auto& handle : handles) {
        Core_Common::RemoveTimer(&handle);
        EXPECT_EQ(handle, nullptr);
    }
    EXPECT_EQ(timer_entry_pool().BlockCount(), 0u);
    timer_handle next = nullptr;
    Core_Common::AddTimer(
        &next, 60, [] {}, false);
    EXPECT_EQ(timer_entry_pool().BlockCount(), 1u);
    Core_Common::RemoveTimer(&next);
}

TEST_F(TimerModuleTest, ConcurrentClientsAndDispatcherKeepTheListConsistent) {
    std::atomic<bool> stop{false};
    std::atomic<int> fired_count{0};
    std::thread dispatcher([&] {
        while (!stop) {
            ticks.Advance(1);
            Core_Common::RunDueTimers();
        }
    });
    std::vector<std::thread> clients;
    clients.reserve(2);
    for (int t = 0; t < 2; ++t) {
        clients.emplace_back([&] {
            timer_handle handle = nullptr;
            for (int i = 0; i < 300; ++i) {
                Core_Common::AddTimer(
                    &handle, 0, [&] { ++fired_count; }, i % 2 == 0);
                Core_Common::RemoveTimer(&handle);
                EXPECT_EQ(handle, nullptr);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    stop = true;
    dispatcher.join();
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 0u);
    EXPECT_EQ(timer_entry_pool().LiveCount(), 0u);
}

TEST(TimerPool, FailingPoolRaisesOutOfMemoryFromAddTimerAndRecovers) {
    FakeTickSource ticks;
    ScopedTickSource scoped(ticks);
    FailingVirtualMemory memory;
    Core_Common::PageAllocator pages(memory);
    TimerEntryPool pool(pages);
    Core_Common::Timer timer(pool);

    memory.commits_before_failure = 0;
    timer_handle handle = nullptr;
    EXPECT_THROW(timer.AddTimer(
                     &handle, 1, [] {}, false),
                 std::bad_alloc);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(timer.TimerCount(), 0u);

    memory.commits_before_failure = FailingVirtualMemory::never;
    bool ran = false;
    timer.AddTimer(
        &handle, 1, [&] { ran = true; }, false);
    ticks.Advance(1001);
    timer.RunDueTimers();
    EXPECT_TRUE(ran);
    EXPECT_EQ(pool.BlockCount(), 0u);
}

class DispatchPendingTest : public TimerModuleTest {};

TEST_F(DispatchPendingTest, RunsDueTimersBeforeQueuedMessages) {
    InterfaceMessage::Create();
    InterfaceMessage::instance->QueueMessage(Record("queued earlier"), message_position_back);
    timer_handle handle = nullptr;
    Core_Common::AddTimer(
        &handle, 0,
        [this] {
            fired.emplace_back("timer");
            InterfaceMessage::instance->QueueMessage(Record("from the timer"),
                                                     message_position_back);
        },
        false);
    ticks.Advance(1);
    Core_Common::DispatchPending();
    EXPECT_THAT(fired, ElementsAre("timer", "queued earlier", "from the timer"));
}

TEST_F(DispatchPendingTest, SkipsAMissingTimerModule) {
    InterfaceTimer::Destroy();
    InterfaceMessage::Create();
    InterfaceMessage::instance->QueueMessage(Record("message"), message_position_back);
    Core_Common::DispatchPending();
    EXPECT_THAT(fired, ElementsAre("message"));
}

TEST_F(DispatchPendingTest, SkipsAMissingMessageModule) {
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 0, Record("timer"), false);
    ticks.Advance(1);
    Core_Common::DispatchPending();
    EXPECT_THAT(fired, ElementsAre("timer"));
}

TEST_F(DispatchPendingTest, DoesNothingWithoutEitherModule) {
    InterfaceTimer::Destroy();
    Core_Common::DispatchPending();
    EXPECT_TRUE(fired.empty());
}

TEST_F(DispatchPendingTest, ProgramModulesIncludeMessageAndTimer) {
    namespace connector = Core_Common::InterfaceConnectorCommon;
    InterfaceTimer::Destroy();
    connector::InitializeModules();
    ASSERT_NE(InterfaceMessage::instance, nullptr);
    ASSERT_NE(InterfaceTimer::instance, nullptr);
    timer_handle handle = nullptr;
    Core_Common::AddTimer(&handle, 30, Record("tick"), true);
    InterfaceMessage::instance->QueueMessage(Record("left over"), message_position_back);
    connector::StartupModules();
    connector::ShutdownModules(); // delivers what is queued
    EXPECT_THAT(fired, ElementsAre("left over"));
    connector::ReleaseModules();
    EXPECT_EQ(InterfaceMessage::instance, nullptr);
    EXPECT_EQ(InterfaceTimer::instance, nullptr);
    EXPECT_EQ(handle, nullptr);
}

} // namespace
