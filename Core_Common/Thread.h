#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Core_Common {

namespace thread_helper {

enum thread_priority_enum : std::int32_t {
    priority_above_normal = 0,
    priority_normal = 1,
    priority_below_normal = 2,
    priority_idle = 3,
};

// The Windows thread priority of a value: +1, 0, -1, -15; any other value is normal (0).
int windows_thread_priority(thread_priority_enum priority);

// The Linux nice value a thread takes for a value, from the nice value it inherited: one
// step up or down for above and below normal, the lowest (19) for idle.
int linux_thread_nice(thread_priority_enum priority, int inheritedNice);

// Sets the calling thread's priority (failure ignored) and gives the OS thread its name for
// debuggers (Linux keeps the first 15 bytes).
void apply_to_current_thread(const std::string& name, thread_priority_enum priority);

// What the OS says of the calling thread: its name ("" where the OS cannot tell) and its
// priority (Windows: the thread priority; Linux: the nice value).
std::string current_thread_name();
int current_thread_priority();

} // namespace thread_helper

// Owns one worker thread that runs a function under the crash guard at a chosen priority.
class thread_basic {
public:
    thread_basic() = default;
    // A thread still held is waited for: a std::thread must not be destroyed while joinable.
    ~thread_basic();
    thread_basic(const thread_basic&) = delete;
    thread_basic& operator=(const thread_basic&) = delete;

    // Starts the thread and returns without waiting for it to begin. A thread still held from
    // an earlier start is joined first. A failure to create the thread throws std::system_error.
    void start(std::function<void()> function, std::string name,
               thread_helper::thread_priority_enum priority);
    // Waits for the thread, if one is held, and lets it go.
    void join();

    // True from start until the function has returned; informational only.
    std::atomic<bool> running{false};

private:
    void thread_entry(const std::function<void()>& function, const std::string& name,
                      thread_helper::thread_priority_enum priority);

    std::unique_ptr<std::thread> handle;
};

// A worker with a FIFO of tasks and an optional inactivity timeout. Tasks run one at a time on
// the worker, in the order posted; on_timeout runs on the worker after timeout_ms without a
// task (0: no timeout). Every task, and every wake-up, starts a new full period.
//
// The silence is time in which the process ran: it is counted in steps of a tenth of the
// period, and a step counts no more than its own length however late the worker woke from it.
// While the process stood still (stopped by a signal, frozen, held by a debugger) the threads
// that post could not run either, so that time is not taken for silence.
class thread_advanced : public thread_basic {
public:
    static constexpr int silence_steps = 10;

    thread_advanced() = default;
    // Stops the worker if it still runs; queued tasks are dropped.
    ~thread_advanced();
    thread_advanced(const thread_advanced&) = delete;
    thread_advanced& operator=(const thread_advanced&) = delete;

    // Set before start.
    std::function<void()> on_timeout;
    std::int32_t timeout_ms = 0;

    void start(std::string name, thread_helper::thread_priority_enum priority);
    // From any thread, also from a task of this worker.
    void post(std::function<void()> task);
    // Waits until the worker is idle, ends it and joins it. Tasks still queued then are not
    // run. Not from the worker itself.
    void stop();

private:
    void run();

    std::deque<std::function<void()>> tasks;
    // Guards tasks and stop_requested; the worker waits on wakeup with it, so a post between
    // the worker's look at the queue and its wait cannot be lost.
    std::mutex queue_mutex;
    // Held by the worker except while it waits: stop takes it to wait for an idle worker.
    std::mutex wait_mutex;
    std::condition_variable wakeup;
    bool stop_requested = false;
};

} // namespace Core_Common
