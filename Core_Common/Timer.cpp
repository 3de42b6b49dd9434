#include "Core_Common/Timer.h"

#include "Core_Common/Message.h"
#include "Core_Common/Singleton.h"

#include <new>
#include <utility>

namespace Core_Common {
namespace {

Timer& existing_timer() {
    if (InterfaceTimer::instance == nullptr) {
        throw 0;
    }
    return *InterfaceTimer::instance;
}

} // namespace

TimerEntryPool& timer_entry_pool() { return process_object_pool<TimerEntryPool::object_size>(); }

Timer::Timer() : Timer(timer_entry_pool()) {}

Timer::Timer(TimerEntryPool& pool)
    : node_slot_(pool), list_(TimerList::allocator_type(node_slot_)) {}

Timer::~Timer() {
    const std::lock_guard lock(mutex_);
    for (const auto& [due, entry] : list_) {
        *entry->handle_slot = nullptr;
        entry->~TimerEntry();
    }
    list_.clear(); // the nodes give their slots back
}

void Timer::AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
                     bool repeat) {
    // Formed as a 32-bit number like every interval of the tick clock.
    const auto interval = static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds) * 1000u);
    const std::int32_t period = repeat ? interval : timer_one_shot;
    const std::lock_guard lock(mutex_);
    TimerEntry* entry = *handle;
    if (entry == nullptr) {
        entry = new (node_slot_.Reserve())
            TimerEntry{handle, std::move(callback), timestamp_auto(), period, {}};
        entry->due.add_milliseconds(interval);
        // Takes the reserved slot's front for the node: nothing here can fail.
        entry->position = list_.emplace(entry->due.value(), entry);
    } else {
        entry->due.reset();
        entry->callback = std::move(callback);
        entry->due.add_milliseconds(interval);
        entry->period_ms = period;
        Reinsert(entry);
    }
    *handle = entry;
}

void Timer::RemoveTimer(timer_handle* handle) {
    // The handle is read under the lock: a pass on another thread may be returning this very
    // entry as a one-shot that fired.
    const std::lock_guard lock(mutex_);
    if (handle == nullptr || *handle == nullptr) {
        return;
    }
    Release(*handle);
    *handle = nullptr;
}

void Timer::RunDueTimers() {
    const tick_value now = tick_now();
    const std::lock_guard lock(mutex_);
    while (!list_.empty()) {
        TimerEntry* entry = list_.begin()->second;
        if (entry->due.milliseconds_to(now) <= 0) {
            break;
        }
        std::function<void()> call;
        if (entry->period_ms == timer_one_shot) {
            *entry->handle_slot = nullptr;
            call = std::move(entry->callback);
            Release(entry);
        } else {
            call = entry->callback;
            entry->due.add_milliseconds(entry->period_ms);
            if (entry->due.milliseconds_to(now) > 0) {
                entry->due.reset();
            }
            Reinsert(entry);
        }
        call();
    }
}

std::size_t Timer::TimerCount() {
    const std::lock_guard lock(mutex_);
    return list_.size();
}

// Moves the entry's node to the place of its new due time, behind its equals. The node is
// reused, so this allocates nothing and cannot fail.
void Timer::Reinsert(TimerEntry* entry) {
    auto node = list_.extract(entry->position);
    node.key() = entry->due.value();
    entry->position = list_.insert(std::move(node));
}

// Takes the entry out of the list; its node gives the slot back to the pool.
void Timer::Release(TimerEntry* entry) {
    const TimerList::iterator position = entry->position;
    entry->~TimerEntry();
    list_.erase(position);
}

void InterfaceTimer::Create() { create_instance(instance); }

void InterfaceTimer::Destroy() { destroy_instance(instance); }

void AddTimer(timer_handle* handle, std::int32_t seconds, std::function<void()> callback,
              bool repeat) {
    existing_timer().AddTimer(handle, seconds, std::move(callback), repeat);
}

void RemoveTimer(timer_handle* handle) { existing_timer().RemoveTimer(handle); }

void RunDueTimers() { existing_timer().RunDueTimers(); }

void DispatchPending() {
    if (InterfaceTimer::instance != nullptr) {
        InterfaceTimer::instance->RunDueTimers();
    }
    if (InterfaceMessage::instance != nullptr) {
        InterfaceMessage::instance->DeliverMessages();
    }
}

} // namespace Core_Common
