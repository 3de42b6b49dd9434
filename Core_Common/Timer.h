#pragma once

#include "Core_Common/Lock.h"
#include "Core_Common/ObjectPool.h"
#include "Core_Common/TickClock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <new>
#include <utility>

namespace Core_Common {

struct TimerEntry;
class TimerNodeSlot;

// Room for one node of the timer list: its links (four words in the standard library's tree)
// and its value.
inline constexpr std::size_t timer_node_space =
    (4 * sizeof(void*) + sizeof(std::pair<const tick_value, TimerEntry*>) +
     alignof(std::max_align_t) - 1) /
    alignof(std::max_align_t) * alignof(std::max_align_t);

// The timer list's allocator: a node goes to the front of its entry's pooled slot, so that
// adding and removing a timer takes one object from the pool and nothing from the heap.
template <class T> class timer_node_allocator {
public:
    using value_type = T;

    explicit timer_node_allocator(TimerNodeSlot& slot) noexcept : slot_(&slot) {}
    template <class U>
    timer_node_allocator(const timer_node_allocator<U>& other) noexcept : slot_(other.slot_) {}

    T* allocate(std::size_t count);
    void deallocate(T* node, std::size_t count) noexcept;

    template <class U> bool operator==(const timer_node_allocator<U>& other) const noexcept {
        return slot_ == other.slot_;
    }

private:
    template <class U> friend class timer_node_allocator;
    TimerNodeSlot* slot_;
};

// Due time to entry, earliest first; equal due times in the order of insertion.
using TimerList = std::multimap<tick_value, TimerEntry*, std::less<tick_value>,
                                timer_node_allocator<std::pair<const tick_value, TimerEntry*>>>;

// One registered timer. Entries come from a pool of equally sized slots, each with the entry's
// node of the list in front of it.
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

using TimerEntryPool =
    ObjectPool<timer_node_space + (sizeof(TimerEntry) + alignof(std::max_align_t) - 1) /
                                      alignof(std::max_align_t) * alignof(std::max_align_t)>;

// The process-wide pool of timer entries.
TimerEntryPool& timer_entry_pool();

// The slot whose front the list's next node takes, and the pool it goes back to.
class TimerNodeSlot {
public:
    explicit TimerNodeSlot(TimerEntryPool& pool) : pool_(pool) {}

    // A new slot, with room for the node in front of the entry.
    void* Reserve() {
        reserved_ = pool_.AllocateObject();
        return static_cast<unsigned char*>(reserved_) + timer_node_space;
    }
    void* TakeReserved() noexcept { return std::exchange(reserved_, nullptr); }
    void GiveBack(void* slot) noexcept { pool_.FreeObject(slot); }

private:
    TimerEntryPool& pool_;
    void* reserved_ = nullptr;
};

template <class T> T* timer_node_allocator<T>::allocate(std::size_t count) {
    static_assert(sizeof(T) <= timer_node_space && alignof(T) <= alignof(std::max_align_t),
                  "the standard library's tree node no longer fits its room");
    void* slot = count == 1 ? slot_->TakeReserved() : nullptr;
    if (slot == nullptr) {
        throw std::bad_alloc(); // the list makes nodes only for entries
    }
    return static_cast<T*>(slot);
}

template <class T>
void timer_node_allocator<T>::deallocate(T* node, std::size_t /*count*/) noexcept {
    slot_->GiveBack(node);
}

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

    reentrant_lock mutex_;
    TimerNodeSlot node_slot_;
    TimerList list_;
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
