#include "Core_Common/ThreadStorage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using Core_Common::thread_specific_ptr;

std::atomic<int> live{0};

struct Counted {
    Counted() { ++live; }
    ~Counted() { --live; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

TEST(ThreadSpecificPtr, EachThreadSeesItsOwnValueDeletedWhenTheThreadEnds) {
    thread_specific_ptr<Counted> slot;
    slot.reset(new Counted());
    Counted* mine = slot.get();
    Counted* theirs = nullptr;
    std::thread([&] {
        EXPECT_EQ(slot.get(), nullptr);
        slot.reset(new Counted());
        theirs = slot.get();
        EXPECT_EQ(live.load(), 2);
    }).join();
    EXPECT_NE(theirs, nullptr);
    EXPECT_NE(theirs, mine);
    EXPECT_EQ(slot.get(), mine);
    EXPECT_EQ(live.load(), 1); // the ended thread's value is gone
    slot.reset();
    EXPECT_EQ(live.load(), 0);
}

TEST(ThreadSpecificPtr, DestroyingTheSlotDeletesTheCallingThreadsValue) {
    {
        thread_specific_ptr<Counted> slot;
        slot.reset(new Counted());
        slot.reset(new Counted()); // replacing deletes the old value
        EXPECT_EQ(live.load(), 1);
    }
    EXPECT_EQ(live.load(), 0);
}

} // namespace
