#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tw_test {

// A flag that one thread sets and another waits for, within a bound.
class WaitableFlag {
public:
    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }

    // Whether the flag was set within `bound`.
    bool WaitFor(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

} // namespace tw_test
