#include "Core_Common/Thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Core_Common::thread_advanced;
using Core_Common::thread_basic;
namespace th = Core_Common::thread_helper;

namespace {

// Generous bounds for events that should come at once: only a hang reaches them.
constexpr auto event_limit = 30s;

template <class T> bool arrives(std::future<T>& future) {
    return future.wait_for(event_limit) == std::future_status::ready;
}

} // namespace

TEST(ThreadPriority, WindowsPrioritiesOfTheTable) {
    EXPECT_EQ(th::windows_thread_priority(th::priority_above_normal), 1);
    EXPECT_EQ(th::windows_thread_priority(th::priority_normal), 0);
    EXPECT_EQ(th::windows_thread_priority(th::priority_below_normal), -1);
    EXPECT_EQ(th::windows_thread_priority(th::priority_idle), -15);
    EXPECT_EQ(th::windows_thread_priority(static_cast<th::thread_priority_enum>(7)), 0);
    EXPECT_EQ(th::windows_thread_priority(static_cast<th::thread_priority_enum>(-1)), 0);
}

TEST(ThreadPriority, LinuxNiceValuesStepFromTheInheritedOne) {
    EXPECT_EQ(th::linux_thread_nice(th::priority_above_normal, 0), -1);
    EXPECT_EQ(th::linux_thread_nice(th::priority_normal, 5), 5);
    EXPECT_EQ(th::linux_thread_nice(th::priority_below_normal, 5), 6);
    EXPECT_EQ(th::linux_thread_nice(th::priority_idle, -3), 19);
    EXPECT_EQ(th::linux_thread_nice(static_cast<th::thread_priority_enum>(7), 4), 4);
    EXPECT_EQ(th::linux_thread_nice(th::priority_above_normal, -20), -20);
    EXPECT_EQ(th::linux_thread_nice(th::priority_below_normal, 19), 19);
}

class ThreadBasic : public ::testing::Test {
protected:
    thread_basic worker;
};

TEST_F(ThreadBasic, RunsTheFunctionOnItsOwnThreadAndJoins) {
    std::thread::id ranOn;
    worker.start([&] { ranOn = std::this_thread::get_id(); }, "Test_Worker", th::priority_normal);
    worker.join();
    EXPECT_NE(ranOn, std::thread::id());
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(worker.running);
}

TEST_F(ThreadBasic, JoinWithoutStartReturnsAtOnce) {
    worker.join();
    worker.join();
    EXPECT_FALSE(worker.running);
}

TEST_F(ThreadBasic, RunningLastsUntilTheFunctionReturns) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    worker.start([released] { released.wait(); }, "Test_Worker", th::priority_normal);
    EXPECT_TRUE(worker.running);
    release.set_value();
    worker.join();
    EXPECT_FALSE(worker.running);
}

TEST_F(ThreadBasic, StartsAgainAfterJoin) {
    int runs = 0;
    worker.start([&] { ++runs; }, "Test_Worker", th::priority_normal);
    worker.join();
    worker.start([&] { ++runs; }, "Test_Worker", th::priority_normal);
    worker.join();
    EXPECT_EQ(runs, 2);
}

TEST_F(ThreadBasic, StartingAgainWithoutJoinWaitsForTheFirstThread) {
    std::atomic<int> runs{0};
    worker.start([&] { ++runs; }, "Test_Worker", th::priority_normal);
    worker.start([&] { ++runs; }, "Test_Worker", th::priority_normal);
    worker.join();
    EXPECT_EQ(runs, 2);
}

TEST_F(ThreadBasic, GivesItsNameToTheOsThread) {
    std::string seen;
    worker.start([&] { seen = th::current_thread_name(); }, "SocketARP_Monitor",
                 th::priority_normal);
    worker.join();
#ifdef _WIN32
    EXPECT_EQ(seen, "SocketARP_Monitor");
#else
    // The kernel keeps 15 bytes.
    EXPECT_EQ(seen, "SocketARP_Monit");
#endif
}

TEST_F(ThreadBasic, RunsAtTheChosenPriority) {
    const int inherited = th::current_thread_priority();
    int seen = 0;
    worker.start([&] { seen = th::current_thread_priority(); }, "Test_Worker",
                 th::priority_below_normal);
    worker.join();
#ifdef _WIN32
    EXPECT_EQ(seen, -1);
#else
    EXPECT_EQ(seen, th::linux_thread_nice(th::priority_below_normal, inherited));
#endif
    EXPECT_NE(seen, inherited);
}

TEST_F(ThreadBasic, UnknownPriorityRunsAtNormal) {
    const int inherited = th::current_thread_priority();
    int seen = 99;
    worker.start([&] { seen = th::current_thread_priority(); }, "Test_Worker",
                 static_cast<th::thread_priority_enum>(7));
    worker.join();
#ifdef _WIN32
    EXPECT_EQ(seen, 0);
    (void)inherited;
#else
    EXPECT_EQ(seen, inherited);
#endif
}

class ThreadAdvanced : public ::testing::Test {
protected:
    void TearDown() override { worker.stop(); }

    thread_advanced worker;
};

TEST_F(ThreadAdvanced, TasksRunInPostOrderOnTheWorker) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::promise<void> done;
    auto finished = done.get_future();
    for (int i = 0; i < 500; ++i) {
        worker.post([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    }
    worker.post([&] { done.set_value(); });
    worker.start("Test_Advanced", th::priority_normal);
    ASSERT_TRUE(arrives(finished));
    worker.stop();
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST_F(ThreadAdvanced, TaskMayPostToItsOwnWorker) {
    std::promise<int> second;
    auto result = second.get_future();
    worker.start("Test_Advanced", th::priority_normal);
    worker.post([&] { worker.post([&] { second.set_value(2); }); });
    ASSERT_TRUE(arrives(result));
    EXPECT_EQ(result.get(), 2);
}

TEST_F(ThreadAdvanced, EveryPostWakesAWorkerThatIsGoingIdle) {
    // One task at a time, each posted just as the worker turns to wait: a lost wake-up stalls.
    worker.start("Test_Advanced", th::priority_normal);
    for (int i = 0; i < 2000; ++i) {
        std::promise<void> ran;
        auto future = ran.get_future();
        worker.post([&] { ran.set_value(); });
        ASSERT_TRUE(arrives(future)) << "task " << i << " never ran";
    }
}

TEST_F(ThreadAdvanced, PostsFromManyThreadsLoseNoTask) {
    constexpr int producers = 4;
    constexpr int per_producer = 5000;
    std::atomic<int> count{0};
    std::promise<void> all;
    auto finished = all.get_future();
    worker.start("Test_Advanced", th::priority_normal);
    std::vector<std::thread> threads;
    threads.reserve(producers);
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            for (int i = 0; i < per_producer; ++i) {
                worker.post([&] {
                    if (++count == producers * per_producer) {
                        all.set_value();
                    }
                });
                if (i % 64 == 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(arrives(finished)) << count << " tasks ran";
    EXPECT_EQ(count, producers * per_producer);
}

TEST_F(ThreadAdvanced, ZeroTimeoutNeverCallsOnTimeout) {
    std::atomic<int> timeouts{0};
    worker.on_timeout = [&] { ++timeouts; };
    worker.timeout_ms = 0;
    worker.start("Test_Advanced", th::priority_normal);
    for (int i = 0; i < 3; ++i) {
        std::promise<void> ran;
        auto future = ran.get_future();
        worker.post([&] { ran.set_value(); });
        ASSERT_TRUE(arrives(future));
        std::this_thread::sleep_for(20ms); // idle time in which a timeout could happen
    }
    worker.stop();
    EXPECT_EQ(timeouts, 0);
}

TEST_F(ThreadAdvanced, OnTimeoutComesOnlyAfterAFullSilentPeriod) {
    using clock = std::chrono::steady_clock;
    constexpr auto period = 150ms;
    std::mutex mutex;
    std::vector<clock::time_point> taskTimes;
    std::vector<clock::time_point> timeoutTimes;
    std::promise<void> secondTimeout;
    auto second = secondTimeout.get_future();
    worker.timeout_ms = static_cast<std::int32_t>(period.count());
    worker.on_timeout = [&] {
        const std::lock_guard lock(mutex);
        timeoutTimes.push_back(clock::now());
        if (timeoutTimes.size() == 2) {
            secondTimeout.set_value();
        }
    };
    const auto started = clock::now();
    worker.start("Test_Advanced", th::priority_normal);
    // Tasks a third of a period apart keep the worker from ever being silent for a period.
    for (int i = 0; i < 6; ++i) {
        worker.post([&] {
            const std::lock_guard lock(mutex);
            taskTimes.push_back(clock::now());
        });
        std::this_thread::sleep_for(period / 3);
    }
    ASSERT_TRUE(arrives(second));
    worker.stop();

    const std::lock_guard lock(mutex);
    ASSERT_EQ(taskTimes.size(), 6u);
    ASSERT_GE(timeoutTimes.size(), 2u);
    // Each timeout comes a full period after the last event before it (a task, a timeout or
    // the start), never sooner.
    for (const auto& timeout : timeoutTimes) {
        clock::time_point previous = started;
        for (const auto& task : taskTimes) {
            if (task < timeout && task > previous) {
                previous = task;
            }
        }
        for (const auto& other : timeoutTimes) {
            if (other < timeout && other > previous) {
                previous = other;
            }
        }
        EXPECT_GE(timeout - previous, period);
    }
    // The silence after the last task is reported.
    EXPECT_GT(timeoutTimes.back(), taskTimes.back());
}

TEST_F(ThreadAdvanced, StopWhileIdleEndsTheWorker) {
    worker.start("Test_Advanced", th::priority_normal);
    std::promise<void> ran;
    auto future = ran.get_future();
    worker.post([&] { ran.set_value(); });
    ASSERT_TRUE(arrives(future));
    worker.stop();
    EXPECT_FALSE(worker.running);
}

TEST_F(ThreadAdvanced, StopWhileBusyReturnsOnlyAfterEveryQueuedTaskRan) {
    std::promise<void> entered;
    auto busy = entered.get_future();
    std::promise<void> stopCalled;
    std::shared_future<void> stopping = stopCalled.get_future().share();
    std::vector<int> ran;
    worker.start("Test_Advanced", th::priority_normal);
    // The first task runs until stop has been called, so stop begins while the worker is busy.
    worker.post([&, stopping] {
        entered.set_value();
        stopping.wait();
        ran.push_back(1);
    });
    worker.post([&] { ran.push_back(2); });
    worker.post([&] { ran.push_back(3); });
    ASSERT_TRUE(arrives(busy));
    // What had run when stop returned, read by the stopping thread itself: a stop that returned
    // before the worker was idle would find the list short.
    auto stopped = std::async(std::launch::async, [&] {
        stopCalled.set_value();
        worker.stop();
        return ran;
    });
    ASSERT_TRUE(arrives(stopped));
    EXPECT_EQ(stopped.get(), (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(worker.running);
}

TEST_F(ThreadAdvanced, StartsAgainAfterStop) {
    worker.start("Test_Advanced", th::priority_normal);
    worker.stop();
    std::promise<void> ran;
    auto future = ran.get_future();
    worker.start("Test_Advanced", th::priority_normal);
    worker.post([&] { ran.set_value(); });
    EXPECT_TRUE(arrives(future));
}

TEST(ThreadAdvancedLifetime, DestroyingARunningWorkerStopsIt) {
    std::atomic<bool> ran{false};
    {
        thread_advanced worker;
        worker.start("Test_Advanced", th::priority_normal);
        std::promise<void> done;
        auto future = done.get_future();
        worker.post([&] {
            ran = true;
            done.set_value();
        });
        ASSERT_TRUE(arrives(future));
    }
    EXPECT_TRUE(ran);
}
