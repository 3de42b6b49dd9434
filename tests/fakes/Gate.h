#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tw_test {

// Holds the threads that enter it (inside a hook or a stand-in) until the test opens it, and
// counts them.
class Gate {
public:
    static constexpr std::chrono::seconds deadline{20};

    // Waits until the gate is open, or at most `deadline`.
    void Enter() {
        std::unique_lock lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait_for(lock, deadline, [&] { return open_; });
    }

    // Whether `count` threads have entered within `deadline`.
    bool AwaitEntered(int count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return entered_ >= count; });
    }

    void Open() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    int Entered() {
        const std::lock_guard lock(mutex_);
        return entered_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
};

} // namespace tw_test
