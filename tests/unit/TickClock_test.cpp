#include "Core_Common/TickClock.h"

#include "fakes/FakeTickSource.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Core_Common::tick_now;
using Core_Common::tick_value;
using Core_Common::timestamp_auto;
using tw_test::FakeTickSource;
using tw_test::ScopedTickSource;

constexpr tick_value one_wrap = tick_value{1} << 32;

class TickClockTest : public testing::Test {
protected:
    FakeTickSource ticks{1000};
    ScopedTickSource scoped{ticks};
};

TEST_F(TickClockTest, FirstReadingIsTheSystemTickCount) {
    EXPECT_EQ(tick_now(), 1000u);
    ticks.Advance(25);
    EXPECT_EQ(tick_now(), 1025u);
}

TEST_F(TickClockTest, ReadingsAcrossTheWrapGrowByTheTrueElapsedTime) {
    ticks.Set(0xFFFFFF00u);
    const tick_value before = tick_now();
    ticks.Advance(0x200); // the 32-bit count wraps to 0x100
    const tick_value after = tick_now();
    EXPECT_GT(after, before);
    EXPECT_EQ(after - before, 0x200u);
    EXPECT_EQ(after, one_wrap + 0x100u);
}

TEST_F(TickClockTest, EveryDetectedWrapAddsOnePeriod) {
    ticks.Set(0xFFFFFFF0u);
    tick_now();
    ticks.Set(5);
    tick_now();
    ticks.Set(0xFFFFFFF0u);
    tick_now();
    ticks.Set(7);
    EXPECT_EQ(tick_now(), 2 * one_wrap + 7);
}

TEST_F(TickClockTest, AWrapPeriodWithoutAReadingIsLost) {
    ticks.Set(100);
    const tick_value before = tick_now();
    ticks.Set(200); // a whole wrap period and 100 ms later: indistinguishable from 100 ms
    EXPECT_EQ(tick_now() - before, 100u);
}

TEST_F(TickClockTest, ReplacingTheSourceStartsTheWrapTrackingAfresh) {
    ticks.Set(0xFFFFFFF0u);
    tick_now();
    FakeTickSource other(3);
    Core_Common::use_tick_source(&other);
    EXPECT_EQ(tick_now(), 3u); // no wrap counted against the old source's last reading
    Core_Common::use_tick_source(&ticks);
}

TEST(SystemTickClock, ConcurrentCallersSeeNonDecreasingValues) {
    std::vector<int> decreases(4, 0);
    std::vector<std::thread> threads;
    threads.reserve(decreases.size());
    for (int& decrease : decreases) {
        threads.emplace_back([&decrease] {
            tick_value last = tick_now();
            for (int i = 0; i < 2000; ++i) {
                const tick_value now = tick_now();
                decrease += now < last ? 1 : 0;
                last = now;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int count : decreases) {
        EXPECT_EQ(count, 0);
    }
}

class TimestampTest : public TickClockTest {};

TEST_F(TimestampTest, IsMadeAtTheCurrentTickValue) {
    ticks.Advance(500);
    timestamp_auto stamp;
    EXPECT_EQ(stamp.value(), 1500u);
    ticks.Advance(40);
    stamp.reset();
    EXPECT_EQ(stamp.value(), 1540u);
}

TEST_F(TimestampTest, AddsSignExtendedSecondsAndMilliseconds) {
    timestamp_auto stamp(10000);
    stamp.add_seconds(2);
    EXPECT_EQ(stamp.value(), 12000u);
    stamp.add_seconds(-3);
    EXPECT_EQ(stamp.value(), 9000u);
    stamp.add_milliseconds(-5);
    EXPECT_EQ(stamp.value(), 8995u);
    stamp.add_milliseconds(7);
    EXPECT_EQ(stamp.value(), 9002u);
}

TEST_F(TimestampTest, SecondsAreMultipliedAsA32BitNumber) {
    const tick_value start = 5 * one_wrap;
    timestamp_auto stamp(start);
    stamp.add_seconds(2147483);
    EXPECT_EQ(stamp.value(), start + 2147483000u);
    timestamp_auto overflowing(start);
    overflowing.add_seconds(2147484); // 2147484000 wraps to -2147483296
    EXPECT_EQ(overflowing.value(), start - 2147483296u);
}

TEST_F(TimestampTest, SecondsTruncateTowardZero) {
    timestamp_auto stamp(100000);
    EXPECT_EQ(stamp.milliseconds_to(101999), 1999);
    EXPECT_EQ(stamp.seconds_to(101999), 1);
    EXPECT_EQ(stamp.seconds_to(98001), -1);
    EXPECT_EQ(stamp.seconds_to(100999), 0);
    EXPECT_EQ(stamp.seconds_to(102000), 2);
}

TEST_F(TimestampTest, MillisecondsAreTakenOnTheLow32Bits) {
    timestamp_auto stamp(0xFFFFFFF0u);
    EXPECT_EQ(stamp.milliseconds_to(one_wrap + 0x10), 0x20);
    EXPECT_EQ(stamp.milliseconds_to(0xFFFFFFF0u - 5), -5);
    timestamp_auto origin(0);
    EXPECT_EQ(origin.milliseconds_to(0x7FFFFFFF), INT_MAX);
    EXPECT_EQ(origin.milliseconds_to(0x80000000u), INT_MIN); // 2^31 ms apart: wrapped
}

TEST_F(TimestampTest, ElapsedTimeFollowsTheClockAndIsNegativeForTheFuture) {
    timestamp_auto stamp;
    ticks.Advance(2500);
    EXPECT_EQ(stamp.elapsed_milliseconds(), 2500);
    EXPECT_EQ(stamp.elapsed_seconds(), 2);

    timestamp_auto future;
    future.add_seconds(3);
    ticks.Advance(1999);
    EXPECT_EQ(future.elapsed_milliseconds(), -1001);
    EXPECT_EQ(future.elapsed_seconds(), -1);
}

TEST_F(TimestampTest, ElapsedTimeIsExactAcrossTheWrap) {
    ticks.Set(0xFFFFFF00u);
    timestamp_auto stamp;
    ticks.Advance(0x300);
    EXPECT_EQ(stamp.elapsed_milliseconds(), 0x300);
}

// Seconds derive from the milliseconds through the object's own operations.
class FixedStamp final : public timestamp_auto {
public:
    FixedStamp() : timestamp_auto(0) {}
    int milliseconds_to(const tick_value& /*other*/) override { return 4321; }
    int elapsed_milliseconds() override { return -2999; }
};

TEST_F(TimestampTest, OverridingMillisecondsChangesSeconds) {
    FixedStamp fixed;
    timestamp_auto& stamp = fixed;
    EXPECT_EQ(stamp.seconds_to(0), 4);
    EXPECT_EQ(stamp.elapsed_seconds(), -2);
}

} // namespace
