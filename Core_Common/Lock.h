// The framework's own locks, for critical sections that are taken very often and are short, or
// seldom waited for. A locked instruction's price differs widely from one processor to the
// next (about 3 ns on the AMD EPYC these were first measured on, about 9 ns on the Intel Xeon
// of a later development machine, where new and delete of the C library's per-thread cache
// took 12.5 ns): taking one of these locks is one atomic exchange and giving it back one plain
// store, where a blocking mutex needs a second locked instruction to give back (so does the
// notify of an atomic wait, on a counter that all waits of the process share).
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
    bool try_lock() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == self) {
            ++depth_;
            return true;
        }
        if (!lock_.try_lock()) {
            return false;
        }
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
        return true;
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

// Whether this process can make every one of its threads pass a full memory barrier at once
// (Linux: membarrier's private expedited command, registered on the first call; not where a
// system-call filter refuses it). Windows answers no: FlushProcessWriteBuffers would do, but
// Wine, which the Windows tests run on, leaves it a stub.
bool process_barrier_ready() noexcept;
// Makes every running thread of the process pass a full memory barrier; only once
// process_barrier_ready() said yes.
void process_barrier() noexcept;

// A spin_lock that costs no locked instruction while one thread has it to itself: the first
// thread to take it holds it from then on with plain stores (the lock is biased to it). The
// first other thread to take it ends the bias for good, with one process_barrier() (a few
// microseconds); from then on it is the spin_lock for every thread, the biased one included.
// Without process_barrier_ready() it never biases.
//
// The biased thread announces itself (busy_) and then looks for the end of the bias (revoked_)
// with no fence in between; the thread that ends the bias stores revoked_, makes every thread
// pass a barrier, then waits until busy_ is clear. The barrier stands in for the fence the
// biased thread left out: either the biased thread sees revoked_, or its busy_ is seen.
class biased_lock {
public:
    void lock() noexcept {
        if (owner_.load(std::memory_order_relaxed) == this_thread_tag()) {
            busy_.store(true, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
            if (!revoked_.load(std::memory_order_relaxed)) {
                held_biased_ = true;
                return;
            }
            busy_.store(false, std::memory_order_relaxed);
        }
        lock_slowly();
    }
    void unlock() noexcept {
        if (held_biased_) {
            held_biased_ = false;
            busy_.store(false, std::memory_order_release);
            return;
        }
        lock_.unlock();
    }
    // Whether the lock is biased to a thread now (for tests).
    bool biased() const noexcept {
        return owner_.load(std::memory_order_relaxed) != nullptr &&
               !revoked_.load(std::memory_order_relaxed);
    }

private:
    // An address that is the calling thread's alone, as cheap to compare as a thread id. A
    // thread started after a joined one may get the same address, and with it the bias: the
    // joined one can hold the lock no more, and the join ordered its writes before the start.
    static const void* this_thread_tag() noexcept {
        static thread_local const char tag = 0;
        return &tag;
    }
    void lock_slowly() noexcept;

    spin_lock lock_;
    std::atomic<const void*> owner_{nullptr}; // set once, under lock_
    std::atomic<bool> revoked_{false};        // set once, under lock_
    std::atomic<bool> busy_{false};           // the biased thread holds it, or is about to
    bool held_biased_ = false;                // only the holder touches it
};

} // namespace Core_Common
