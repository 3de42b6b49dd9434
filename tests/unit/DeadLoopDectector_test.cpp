#include "Core_Common/DeadLoopDectector.h"

#include <gtest/gtest.h>

namespace {

using namespace Core_Common;

class DeadLoopDectectorModule : public testing::Test {
protected:
    void SetUp() override {
        InterfaceTimer::Create();
        InterfaceDeadLoopDectector::Create();
    }
    void TearDown() override {
        InterfaceDeadLoopDectector::Destroy();
        InterfaceTimer::Destroy();
    }
};

TEST(DeadLoopDectectorConstants, ThirtySecondTickAndFiveMinutesOfSilence) {
    EXPECT_EQ(DeadLoopDectector::tick_period_seconds, 30);
    EXPECT_EQ(DeadLoopDectector::silence_limit_ms, 300000);
    EXPECT_STREQ(DeadLoopDectector::thread_name, "DeadLoopDectector_Thread");
}

TEST_F(DeadLoopDectectorModule, StartupRegistersTheTickAndShutdownRemovesIt) {
    auto& detector = *InterfaceDeadLoopDectector::instance;
    EXPECT_EQ(detector.timer_handle, nullptr);
    InterfaceDeadLoopDectector::Startup();
    EXPECT_NE(detector.timer_handle, nullptr);
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 1u);
    EXPECT_TRUE(detector.running);

    InterfaceDeadLoopDectector::Shutdown();
    EXPECT_EQ(detector.timer_handle, nullptr);
    EXPECT_EQ(InterfaceTimer::instance->TimerCount(), 0u);
    EXPECT_FALSE(detector.running); // the worker has been joined
}

TEST_F(DeadLoopDectectorModule, DestroyAfterTheTimerModuleWentTouchesNoTimer) {
    InterfaceDeadLoopDectector::Startup();
    InterfaceTimer::Destroy(); // clears every client's handle
    EXPECT_EQ(InterfaceDeadLoopDectector::instance->timer_handle, nullptr);
    InterfaceDeadLoopDectector::Shutdown(); // must not reach for the absent timer module
    InterfaceDeadLoopDectector::Destroy();
    EXPECT_EQ(InterfaceDeadLoopDectector::instance, nullptr);
}

TEST_F(DeadLoopDectectorModule, CreateTwiceLeavesOneIdleInstance) {
    InterfaceDeadLoopDectector::Create();
    ASSERT_NE(InterfaceDeadLoopDectector::instance, nullptr);
    EXPECT_EQ(InterfaceDeadLoopDectector::instance->timer_handle, nullptr);
    EXPECT_FALSE(InterfaceDeadLoopDectector::instance->running);
}

} // namespace
