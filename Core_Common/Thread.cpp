#include "Core_Common/Thread.h"

#include "Core_Common/CrashGuard.h"

#include <algorithm>
#include <chrono>

namespace Core_Common {

namespace thread_helper {

int windows_thread_priority(thread_priority_enum priority) {
    switch (priority) {
    case priority_above_normal:
        return 1;
    case priority_below_normal:
        return -1;
    case priority_idle:
        return -15;
    case priority_normal:
    default:
        return 0;
    }
}

int linux_thread_nice(thread_priority_enum priority, int inheritedNice) {
    constexpr int highest = -20;
    constexpr int lowest = 19;
    switch (priority) {
    case priority_above_normal:
        return inheritedNice > highest ? inheritedNice - 1 : highest;
    case priority_below_normal:
        return inheritedNice < lowest ? inheritedNice + 1 : lowest;
    case priority_idle:
        return lowest;
    case priority_normal:
    default:
        return inheritedNice;
    }
}

} // namespace thread_helper

thread_basic::~thread_basic() { join(); }

void thread_basic::start(std::function<void()> function, std::string name,
                         thread_helper::thread_priority_enum priority) {
    join();
    running = true;
    try {
        handle = std::make_unique<std::thread>(
            [this, function = std::move(function), name = std::move(name), priority] {
                thread_entry(function, name, priority);
            });
    } catch (const std::system_error&) {
        running = false;
        throw;
    }
}

void thread_basic::join() {
    if (handle) {
        handle->join();
        handle.reset();
    }
}

void thread_basic::thread_entry(const std::function<void()>& function, const std::string& name,
                                thread_helper::thread_priority_enum priority) {
    thread_helper::apply_to_current_thread(name, priority);
    RunGuarded(function);
    running = false;
}

thread_advanced::~thread_advanced() { stop(); }

void thread_advanced::start(std::string name, thread_helper::thread_priority_enum priority) {
    {
        const std::lock_guard queueLock(queue_mutex);
        stop_requested = false;
    }
    thread_basic::start([this] { run(); }, std::move(name), priority);
}

void thread_advanced::post(std::function<void()> task) {
    {
        const std::lock_guard queueLock(queue_mutex);
        tasks.push_back(std::move(task));
    }
    wakeup.notify_one();
}

void thread_advanced::stop() {
    {
        // The worker gives wait_mutex up only while it waits: this waits for an idle worker.
        const std::lock_guard waitLock(wait_mutex);
        const std::lock_guard queueLock(queue_mutex);
        stop_requested = true;
    }
    wakeup.notify_one();
    join();
}

void thread_advanced::run() {
    using std::chrono::milliseconds;
    // Lock order everywhere: wait_mutex before queue_mutex.
    std::unique_lock waitLock(wait_mutex);
    std::unique_lock queueLock(queue_mutex);
    // The silence of the current period, counted in steps; see silence_steps.
    milliseconds silence{0};
    for (;;) {
        if (!tasks.empty()) {
            std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            queueLock.unlock();
            task();
            task = nullptr;
            silence = milliseconds{0};
            queueLock.lock();
            continue;
        }
        if (stop_requested) {
            return;
        }
        // queue_mutex stays held until the wait has begun, so neither a post nor a stop can
        // slip in between the look at the queue and the wait.
        waitLock.unlock();
        bool silent = false;
        if (timeout_ms <= 0) {
            wakeup.wait(queueLock);
        } else {
            const milliseconds timeout{timeout_ms};
            const milliseconds step =
                std::min(timeout - silence, std::max(milliseconds{1}, timeout / silence_steps));
            const auto begin = std::chrono::steady_clock::now();
            if (wakeup.wait_until(queueLock, begin + step) == std::cv_status::timeout) {
                silence += std::min(step, std::chrono::duration_cast<milliseconds>(
                                              std::chrono::steady_clock::now() - begin));
            } else {
                silence = milliseconds{0}; // a wake-up starts a new period
            }
            // A task that came in just as the period ended means it was not silent.
            silent = silence >= timeout && tasks.empty() && !stop_requested;
        }
        queueLock.unlock();
        waitLock.lock();
        if (silent) {
            silence = milliseconds{0};
            on_timeout();
        }
        queueLock.lock();
    }
}

} // namespace Core_Common
