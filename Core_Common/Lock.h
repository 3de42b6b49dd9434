// The framework's own locks, for critical sections that are taken very often and are short, or
// seldom waited for. A locked instruction's price differs widely from one processor to the
// next, and on the one these were measured on it made two thirds of a pooled allocation's
// time: taking one of these locks is one atomic exchange and giving it back one plain store,
// where a blocking mutex needs a second locked instruction to give back (so does the notify of
// an atomic wait, on a counter that all waits of the process share).
#pragma once

#include <atomic>
#include <thread>

namespace Core_Common {

// A waiter spins briefly, then yields, then sleeps for short whiles that grow up to a
// millisecond: a long wait costs little, and it ends at most a millisecond late.
class spin_lock {
public:
    void lock() noexcept {
        if (taken_.exchange(true, std::memory_order_acquire)) {
            wait();
        }
    }
    bool try_lock() noexcept {
        return !taken_.load(std::memory_order_relaxed) &&
               !taken_.exchange(true, std::memory_order_acquire);
    }
    void unlock() noexcept { taken_.store(false, std::memory_order_release); }

private:
    void wait() noexcept;

    std::atomic<bool> taken_{false};
};

// The same lock, which the thread that holds it may take again.
class reentrant_lock {
public:
    void lock() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        // Only this thread ever stores its own id: a stale read never shows it.
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return;
        }
        lock_.lock();
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() noexcept {
        if (--depth_ == 0) {
            owner_.store(std::thread::id(), std::memory_order_relaxed);
            lock_.unlock();
        }
    }

private:
    spin_lock lock_;
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0; // only the holder touches it
};

} // namespace Core_Common
