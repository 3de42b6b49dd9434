#include "Core_Common/Lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Core_Common::reentrant_lock;
using Core_Common::spin_lock;

// Threads that add under the lock lose no addition; one holder keeps it for a while, so the
// others wait through every stage (spinning, yielding, sleeping).
template <class Lock> void ExpectMutualExclusion(Lock& lock) {
    constexpr int threads = 4;
    constexpr int rounds = 20000;
    long counter = 0;
    std::atomic<bool> held{false};
    std::thread holder([&] {
        const std::lock_guard guard(lock);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++counter;
    });
    while (!held) {
        std::this_thread::yield();
    }
    std::vector<std::thread> adders;
    adders.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        adders.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                const std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    holder.join();
    for (auto& adder : adders) {
        adder.join();
    }
    EXPECT_EQ(counter, 1 + threads * rounds);
}

TEST(SpinLock, HoldersExcludeEachOther) {
    spin_lock lock;
    ExpectMutualExclusion(lock);
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

TEST(ReentrantLock, HolderTakesItAgainAndOthersWaitForTheLastGivingBack) {
    reentrant_lock lock;
    ExpectMutualExclusion(lock);

    lock.lock();
    lock.lock();
    std::atomic<bool> taken{false};
    std::thread other([&] {
        const std::lock_guard guard(lock);
        taken = true;
    });
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // time in which it must not get in
    EXPECT_FALSE(taken);
    lock.unlock();
    other.join();
    EXPECT_TRUE(taken);
}

} // namespace
