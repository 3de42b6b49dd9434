// The watchdog of the thread that runs the timers: a repeating timer feeds a worker thread;
// when the worker goes unfed for the silence limit, the timer thread is taken to be stuck in
// a dead loop and the worker throws into the crash guard, which ends the process.
#pragma once

#include "Core_Common/Thread.h"
#include "Core_Common/Timer.h"

#include <cstdint>

namespace Core_Common {

class DeadLoopDectector : public thread_advanced {
public:
    static constexpr std::int32_t tick_period_seconds = 30;
    static constexpr std::int32_t silence_limit_ms = 300000;
    static constexpr const char* thread_name = "DeadLoopDectector_Thread";

    DeadLoopDectector() = default;
    // Shorter periods, for tests.
    DeadLoopDectector(std::int32_t tickSeconds, std::int32_t silenceMs)
        : tick_seconds_(tickSeconds), silence_ms_(silenceMs) {}
    // Removes the timer if one is still registered; the timer module clears the handle when
    // it is destroyed first, so then nothing is touched.
    ~DeadLoopDectector();
    DeadLoopDectector(const DeadLoopDectector&) = delete;
    DeadLoopDectector& operator=(const DeadLoopDectector&) = delete;

    // Registers the repeating tick and starts the worker with its silence limit.
    void start();
    // Removes the tick, then stops and joins the worker.
    void stop();
    // On the timer thread: feeds the worker, which starts a new silent period.
    void tick();
    // On the worker after a full silent period: throws the integer 0. Never returns.
    [[noreturn]] void on_dead_loop();

    Core_Common::timer_handle timer_handle = nullptr;

private:
    std::int32_t tick_seconds_ = tick_period_seconds;
    std::int32_t silence_ms_ = silence_limit_ms;
};

class InterfaceDeadLoopDectector {
public:
    static inline DeadLoopDectector* instance = nullptr;

    static void Create();
    static void Destroy();
    static void Startup();
    static void Shutdown();
};

} // namespace Core_Common
