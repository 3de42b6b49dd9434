#include "Core_Common/Lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Core_Common::biased_lock;
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

TEST(ReentrantLock, HolderTakesItAgainAndOthersGetInOnlyAfterTheLastGivingBack) {
    reentrant_lock lock;
    ExpectMutualExclusion(lock);

    // Another thread's attempt: try_lock answers at once, whoever holds the lock.
    const auto otherTakesIt = [&lock] {
        bool taken = false;
        std::thread([&] {
            taken = lock.try_lock();
            if (taken) {
                lock.unlock();
            }
        }).join();
        return taken;
    };
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    lock.lock();
    lock.unlock();
    lock.unlock();
    EXPECT_FALSE(otherTakesIt());
    lock.unlock();
    EXPECT_TRUE(otherTakesIt());
}

TEST(BiasedLock, FirstTakerHoldsItAloneUntilOthersComeThenAllExcludeEachOther) {
    biased_lock lock;
    lock.lock();
    lock.unlock();
    EXPECT_EQ(lock.biased(), Core_Common::process_barrier_ready());

    // The biased thread goes on taking it while two others come: the bias ends on the way and
    // no addition is lost.
    constexpr int rounds = 20000;
    long counter = 0;
    std::atomic<bool> go{false};
    std::vector<std::thread> others;
    others.reserve(2);
    for (int t = 0; t < 2; ++t) {
        others.emplace_back([&] {
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < rounds; ++i) {
                const std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    go = true;
    for (int i = 0; i < rounds; ++i) {
        const std::lock_guard guard(lock);
        ++counter;
    }
    for (auto& other : others) {
        other.join();
    }
    EXPECT_EQ(counter, 3 * rounds);
    EXPECT_FALSE(lock.biased());
    ExpectMutualExclusion(lock);
}

} // namespace
