#pragma once

#include "Core_Common/ObjectPool.h"
#include "Core_Common/TickClock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace Core_Common {

struct TimerEntry;

// Due time to entry, earliest first; equal due times in the order of insertion.
using TimerList = std::multimap<tick_value, TimerEntry*>;

// One registered timer. Entries come from a pool of equally sized slots.
struct TimerEntry {
    TimerEntry** handle_slot; // the client's handle, cleared when the entry goes
    std::function<void()> callback;
    timestamp_auto due;
    std::int32_t period_ms; // -1: one-shot
    // The entry's own place in the list, so that taking it out needs no search.
    TimerList::iterator position;
};

// A client's timer handle: its entry, or null while it has no timer. The module writes and
// clears it; the client keeps it at a fixed address while a timer is registered.
using timer_handle = TimerEntry*;

using TimerEntryPool = ObjectPool<sizeof(TimerEntry)>;

// The process-wide pool of timer entries.
TimerEntryPool& timer_entry_pool();

inline constexpr std::int32_t timer_one_shot = -1;

// Runs callbacks after whole seconds, once or repeatedly, on the thread that calls
// RunDueTimers. One re-entrant lock guards the list and is held while callbacks run, so a
// callback may add or remove timers, its own included.
class Timer {
public:
    Timer();
    explicit Timer(TimerEntryPool& pool);
    // Clears every client's handle and returns every entry.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // A null handle gets a new timer; a handle that holds one is rescheduled from now with the
    // new callback. Throws std::bad_alloc when no entry can be had.
    void AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
                  bool repeat);
    // Nothing for a null handle.
    void RemoveTimer(timer_handle* handle);
    // Fires every timer that has been due for at least 1 ms, earliest first; equal due times
    // in the order they were added. A repeating timer fires at most once per pass: missed
    // periods are dropped, not caught up.
    void RunDueTimers();

    std::size_t TimerCount();

private:
    void Reinsert(TimerEntry* entry);
    void Release(TimerEntry* entry);

    std::recursive_mutex mutex_;
    TimerList list_;
    TimerEntryPool& pool_;
};

class InterfaceTimer {
public:
    static inline Timer* instance = nullptr;

    static void Create();
    static void Destroy();
    static void Startup() {}
    static void Shutdown() {}
};

// The operations above on the single instance. Calling them while the module does not exist
// is a programming error and throws the integer 0.
void AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
              bool repeat);
void RemoveTimer(timer_handle* handle);
void RunDueTimers();

// The framework's pending-work pass on the calling thread: the due timers, then the queued
// messages. A module that does not exist is skipped.
void DispatchPending();

} // namespace Core_Common
